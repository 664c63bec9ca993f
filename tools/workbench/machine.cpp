// The workbench's simulated machine: set-up, operations in simulated threads, waiting with checkpoints, teardown.
#include "machine.h"

#include <algorithm>

#include "driver/driver.h"

namespace sim::workbench {

namespace {

constexpr VirtualTime kTick = from_ms(1);
constexpr VirtualTime kQuiet = from_ms(10);      // a step has settled after this long without bus traffic
constexpr VirtualTime kSettleLimit = from_ms(2'000);

void delay(VirtualTime duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -duration;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

bool holds_stack(NodeState state) {
    return state == NodeState::added || state == NodeState::started || state == NodeState::stopped ||
           state == NodeState::surprise_removed;
}

}  // namespace

// ---- ReaderUnit ----------------------------------------------------------------------------------------------------

PDEVICE_OBJECT ReaderUnit::fdo() const { return node ? node->fdo() : nullptr; }

NamedHandle* ReaderUnit::latest_open() {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        if (!it->handle.closed()) return &*it;
    }
    return nullptr;
}

NamedHandle* ReaderUnit::find_handle(const std::string& name) {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        if (it->name == name) return &*it;
    }
    return nullptr;
}

size_t ReaderUnit::open_handles() const {
    return static_cast<size_t>(std::count_if(handles.begin(), handles.end(),
                                             [](const NamedHandle& h) { return !h.handle.closed(); }));
}

// ---- Machine -------------------------------------------------------------------------------------------------------

Machine::Machine(uint64_t seed, MachineObserver& observer)
    : seed_(seed), observer_(observer), k_(seed), bus_(k_), pnp_(k_, bus_), power_(k_), app_(k_, "workbench") {}

Machine::~Machine() {
    // The firmware and the USB devices go before the kernel they run in; their threads end with it.
    for (auto& unit : readers_) {
        if (unit->usb) unit->usb->remove_observer(unit->observer);
    }
    for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
        (*it)->reader.reset();
        (*it)->pinpad.reset();
    }
}

bool Machine::run(const std::string& name, const std::function<void()>& body) {
    if (!alive()) return false;
    RunOutcome outcome = k_.run_thread(name, body);
    observer_.checkpoint();
    if (outcome == RunOutcome::completed) return true;
    outcome_ = to_string(outcome);
    report_ = k_.bug_check_report() + k_.scheduler().deadlock_report() + k_.scheduler().abort_report();
    if (report_.empty()) report_ = "the run ended with " + outcome_;
    return false;
}

void Machine::tick_until(const std::function<bool()>& done, VirtualTime limit) {
    const VirtualTime end = k_.now() + limit;
    run("workbench wait", [&] {
        while (!done() && k_.now() < end) {
            delay(std::min(kTick, end - k_.now()));
            observer_.checkpoint();
        }
    });
}

void Machine::reset_driver_globals() {
    // A driver image loaded afresh starts with zeroed globals; this process loads the same image again and again.
    DeviceCount = 0;
    UnitMap = 0;
}

ReaderUnit* Machine::find_reader(const std::string& name) {
    // The newest of that name: a reader pulled out and plugged in again is a new device.
    for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
        if ((*it)->name == name) return it->get();
    }
    return nullptr;
}

bool Machine::driver_loaded() const { return driver_ && pnp_.loaded(driver_); }

NTSTATUS Machine::load_driver() {
    NTSTATUS entry = STATUS_PENDING;
    reset_driver_globals();
    run("load driver", [&] { driver_ = pnp_.load_driver("tavelo", &DriverEntry, &entry); });
    return entry;
}

ReaderUnit* Machine::plug(const std::string& name, NTSTATUS* added) {
    *added = STATUS_PENDING;
    if (!alive() || !driver_) return nullptr;
    if (!pnp_.loaded(driver_)) reset_driver_globals();  // the Plug and Play manager loads the image again

    auto unit = std::make_unique<ReaderUnit>();
    unit->name = name;
    unit->address = static_cast<uint8_t>(readers_.size() + 1);
    unit->usb = std::make_unique<UsbDevice>(k_);
    unit->reader = std::make_unique<Reader>(k_, *unit->usb);
    unit->pinpad = install_pinpad_commands(k_, *unit->reader);
    ReaderUnit* raw = unit.get();
    unit->observer = unit->usb->add_observer([this, raw](const BusEvent& event) {
        last_activity_ = event.time;
        observer_.on_bus_event(*raw, event);
        observer_.checkpoint();
    });
    readers_.push_back(std::move(unit));
    run("plug " + name, [&] { raw->node = &pnp_.plug(driver_, name, raw->usb.get()); });
    if (raw->node) {
        driver_ = raw->node->driver();
        *added = raw->node->add_status();
    }
    return raw;
}

NTSTATUS Machine::start(ReaderUnit& unit) {
    NTSTATUS status = STATUS_PENDING;
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    if (unit.node->state() == NodeState::removed) {
        if (!pnp_.loaded(driver_)) reset_driver_globals();
        run("add device", [&] { status = pnp_.add_device(*unit.node); });
        driver_ = unit.node->driver();
        if (!NT_SUCCESS(status)) return status;
    }
    run("start " + unit.name, [&] { status = pnp_.start(*unit.node); });
    return status;
}

NTSTATUS Machine::stop(ReaderUnit& unit) {
    NTSTATUS status = STATUS_PENDING;
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    run("stop " + unit.name, [&] { status = pnp_.stop(*unit.node); });
    return status;
}

NTSTATUS Machine::disable(ReaderUnit& unit) {
    NTSTATUS status = STATUS_PENDING;
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    run("remove " + unit.name, [&] { status = pnp_.remove(*unit.node); });
    return status;
}

NTSTATUS Machine::unplug(ReaderUnit& unit, bool* removed_now) {
    NTSTATUS status = STATUS_PENDING;
    *removed_now = false;
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    unit.unplugged = true;
    run("unplug " + unit.name, [&] {
        status = pnp_.surprise_removal(*unit.node);
        if (unit.open_handles() == 0) {
            pnp_.finish_removal(*unit.node);
            *removed_now = true;
        }
    });
    return status;
}

std::vector<PDEVICE_OBJECT> Machine::powered_stacks() const {
    std::vector<PDEVICE_OBJECT> stacks;
    for (const auto& unit : readers_) {
        if (!unit->node || unit->unplugged) continue;
        NodeState state = unit->node->state();
        if (state == NodeState::added || state == NodeState::started || state == NodeState::stopped) {
            stacks.push_back(unit->node->top());
        }
    }
    return stacks;
}

NTSTATUS Machine::sleep(SYSTEM_POWER_STATE state) {
    NTSTATUS status = STATUS_PENDING;
    sleeping_ = powered_stacks();
    run("system sleep", [&] { status = power_.sleep(sleeping_, state); });
    asleep_ = NT_SUCCESS(status);
    return status;
}

NTSTATUS Machine::resume() {
    NTSTATUS status = STATUS_PENDING;
    // Stacks that went away while the system slept are not woken.
    std::vector<PDEVICE_OBJECT> still;
    for (PDEVICE_OBJECT top : sleeping_) {
        if (k_.find_device(top)) still.push_back(top);
    }
    run("system wake", [&] { status = power_.wake(still); });
    asleep_ = false;
    sleeping_.clear();
    return status;
}

std::vector<NTSTATUS> Machine::shutdown() {
    std::vector<NTSTATUS> statuses;
    run("shutdown", [&] { statuses = pnp_.shutdown(); });
    return statuses;
}

void Machine::insert(ReaderUnit& unit, std::shared_ptr<Card> card) {
    run("insert card", [&] { unit.reader->insert_card(std::move(card)); });
}

void Machine::remove(ReaderUnit& unit) {
    run("remove card", [&] { unit.reader->remove_card(); });
}

void Machine::queue_person(ReaderUnit& unit, Person person) { unit.pinpad->keypad->queue_person(std::move(person)); }

NTSTATUS Machine::open(ReaderUnit& unit, const std::string& name, NamedHandle** opened) {
    *opened = nullptr;
    if (!unit.node || !unit.node->pdo_device()) return STATUS_NO_SUCH_DEVICE;
    Handle handle;
    NTSTATUS status = STATUS_PENDING;
    PDEVICE_OBJECT pdo = unit.node->pdo_device();
    run("open", [&] { status = app_.open_interface(GUID_DEVINTERFACE_SMARTCARD_READER, handle, pdo); });
    if (NT_SUCCESS(status) && handle.valid()) {
        unit.handles.push_back({name.empty() ? "h" + std::to_string(unit.next_handle) : name, handle});
        ++unit.next_handle;
        *opened = &unit.handles.back();
    }
    return status;
}

NTSTATUS Machine::close(ReaderUnit& unit, NamedHandle& handle, bool* removed) {
    NTSTATUS status = STATUS_PENDING;
    *removed = false;
    run("close", [&] {
        status = handle.handle.close();
        if (unit.unplugged && unit.open_handles() == 0 && unit.node &&
            unit.node->state() == NodeState::surprise_removed) {
            pnp_.finish_removal(*unit.node);
            *removed = true;
        }
    });
    return status;
}

IoResult Machine::ioctl(Handle& handle, ULONG code, const Bytes& input, ULONG output_size) {
    IoResult result;
    run("application", [&] { result = handle.ioctl(code, input, output_size); });
    return result;
}

std::shared_ptr<PendingRequest> Machine::ioctl_async(Handle& handle, ULONG code, const Bytes& input, ULONG output_size) {
    std::shared_ptr<PendingRequest> request;
    run("application", [&] { request = handle.ioctl_async(code, input, output_size); });
    return request;
}

bool Machine::cancel(PendingRequest& request) {
    bool cancelled = false;
    run("cancel", [&] { cancelled = request.cancel(); });
    return cancelled;
}

void Machine::wait(VirtualTime duration) {
    tick_until([] { return false; }, duration);
}

bool Machine::await(PendingRequest& request, VirtualTime within) {
    tick_until([&] { return request.done(); }, within);
    return request.done();
}

void Machine::settle() {
    const VirtualTime start = k_.now();
    tick_until([&] { return k_.now() - std::max(last_activity_, start) >= kQuiet; }, kSettleLimit);
}

std::optional<ULONG> Machine::card_state(const ReaderUnit& unit) const {
    PDEVICE_OBJECT fdo = unit.fdo();
    if (!fdo || !const_cast<Kernel&>(k_).find_device(fdo)) return std::nullopt;
    auto* extension = static_cast<PDEVICE_EXTENSION>(fdo->DeviceExtension);
    return extension->SmartcardExtension.ReaderCapabilities.CurrentState;
}

std::vector<std::string> Machine::teardown() {
    std::vector<std::string> problems;
    if (!alive()) return problems;
    if (asleep_) resume();
    for (auto& unit : readers_) {
        for (NamedHandle& handle : unit->handles) {
            bool removed = false;
            if (!handle.handle.closed()) close(*unit, handle, &removed);
        }
    }
    for (auto& unit : readers_) {
        if (!unit->node || !alive()) continue;
        NodeState state = unit->node->state();
        if (state == NodeState::surprise_removed) {
            run("finish removal", [&] { pnp_.finish_removal(*unit->node); });
        } else if (holds_stack(state)) {
            run("remove " + unit->name, [&] { pnp_.remove(*unit->node); });
        }
    }
    settle();
    if (!alive()) return problems;
    for (const auto& request : app_.outstanding()) {
        problems.push_back("a request never completed: " + request->describe());
    }
    for (auto& unit : readers_) {
        if (unit->node && holds_stack(unit->node->state())) {
            problems.push_back(unit->name + " is still " + to_string(unit->node->state()) + " after its removal");
        }
    }
    return problems;
}

}  // namespace sim::workbench
