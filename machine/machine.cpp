// The simulated machine: set-up, readers, transitions one at a time, the application's requests, waiting, and the
// teardown that ends with the kernel's leak check.
#include "machine.h"

#include <algorithm>
#include <cstdio>
#include <random>

#include <winsmcrd.h>

#include "platform/smclib/reader_data.h"

namespace sim {

namespace {

constexpr VirtualTime kQuiet = from_ms(10);  // a step has settled after this long without bus traffic
constexpr VirtualTime kSettleLimit = from_ms(2'000);
// How many scheduling steps check_quiet lets the other threads take while the counts it checks are not at rest.
constexpr int kQuietCheckSteps = 1000;

bool holds_stack(NodeState state) {
    return state == NodeState::added || state == NodeState::started || state == NodeState::stopped ||
           state == NodeState::surprise_removed;
}

}  // namespace

// ---- Variation ---------------------------------------------------------------------------------------------------

std::string Variation::describe() const {
    char text[96];
    std::snprintf(text, sizeof text, "bus %s, reader answers after %.1f ms",
                  timing == BusTiming::fast ? "fast" : "full speed", to_ms(answer_delay));
    return text;
}

Variation Variation::from_seed(uint64_t seed) {
    // A generator of its own: the scheduler's draws stay the interleaving's alone.
    std::mt19937_64 draw(seed ^ 0x9E3779B97F4A7C15ull);
    Variation v;
    v.timing = draw() % 3 == 0 ? BusTiming::fast : BusTiming::full_speed;
    // Mostly prompt, sometimes slow readers: 0 to 3 ms, or up to 40 ms.
    v.answer_delay = draw() % 4 == 0 ? from_us(static_cast<int64_t>(draw() % 40'000))
                                     : from_us(static_cast<int64_t>(draw() % 3'000));
    return v;
}

// ---- ReaderUnit ----------------------------------------------------------------------------------------------------

PDEVICE_OBJECT ReaderUnit::fdo() const { return node ? node->fdo() : nullptr; }

PDEVICE_EXTENSION ReaderUnit::extension() const {
    PDEVICE_OBJECT device = fdo();
    return device ? static_cast<PDEVICE_EXTENSION>(device->DeviceExtension) : nullptr;
}

NamedHandle* ReaderUnit::latest_open() {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        if (!it->handle.closed()) return &*it;
    }
    return nullptr;
}

NamedHandle* ReaderUnit::find_handle(const std::string& wanted) {
    for (auto it = handles.rbegin(); it != handles.rend(); ++it) {
        if (it->name == wanted) return &*it;
    }
    return nullptr;
}

size_t ReaderUnit::open_handles() const {
    return static_cast<size_t>(std::count_if(handles.begin(), handles.end(),
                                             [](const NamedHandle& h) { return h.handle.valid() && !h.handle.closed(); }));
}

// ---- Machine -------------------------------------------------------------------------------------------------------

Machine::Machine(MachineOptions options)
    : k(options.seed, options.settings),
      bus(k),
      pnp(k, bus),
      power(k),
      app(k, options.application),
      options_(std::move(options)),
      variation_(options_.vary_by_seed ? Variation::from_seed(options_.seed) : Variation{}) {
    KeInitializeEvent(&turn_, SynchronizationEvent, TRUE);
}

Machine::~Machine() {
    // The firmware and the USB devices go before the kernel they run in; their threads end with it.
    for (auto& unit : readers_) {
        if (unit->usb && unit->observer) unit->usb->remove_observer(unit->observer);
    }
    for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
        (*it)->pinpad.reset();
        (*it)->reader.reset();
        (*it)->usb.reset();
    }
}

template <typename Result, typename Fn>
Result Machine::act(const std::string& name, Result initial, Fn&& fn) {
    if (in_thread()) return fn();
    Result result = initial;
    run(name, [&] { result = fn(); });
    return result;
}

bool Machine::run(const std::string& name, const std::function<void()>& body) {
    if (!alive()) return false;
    const RunOutcome outcome = k.run_thread(name, body);
    if (observer_) observer_->checkpoint();
    return record(outcome);
}

bool Machine::record(RunOutcome outcome) {
    if (outcome == RunOutcome::completed) return true;
    outcome_ = to_string(outcome);
    report_ = k.bug_check_report() + k.scheduler().deadlock_report() + k.scheduler().abort_report();
    if (report_.empty()) report_ = "the run ended with " + outcome_;
    return false;
}

template <typename Result, typename Fn>
Result Machine::transition(const std::string& name, Result initial, Fn&& fn) {
    if (in_thread()) {
        take_turn();
        Result result = fn();
        give_turn();
        return result;
    }
    // From outside the machine: it is idle, so no other transition is under way.
    return act(name, initial, fn);
}

void Machine::take_turn() {
    if (in_thread()) KeWaitForSingleObject(&turn_, Executive, KernelMode, FALSE, nullptr);
}

void Machine::give_turn() {
    if (in_thread()) KeSetEvent(&turn_, IO_NO_INCREMENT, FALSE);
}

void Machine::reset_driver_globals() {
    // A driver image loaded afresh starts with zeroed globals; this process loads the same image again and again.
    DeviceCount = 0;
    UnitMap = 0;
}

// ---- The driver ----------------------------------------------------------------------------------------------------

NTSTATUS Machine::load_driver() {
    reset_driver_globals();
    entry_status_ = STATUS_PENDING;
    driver_ = pnp.load_driver("tavelo", &DriverEntry, &entry_status_);
    if (observer_) observer_->checkpoint();  // DriverEntry's debug output
    return entry_status_;
}

bool Machine::driver_loaded() const { return driver_ && pnp.loaded(driver_); }

// ---- Readers ---------------------------------------------------------------------------------------------------------

std::string Machine::next_reader_name() const {
    for (int i = 0;; ++i) {
        std::string name = "reader" + std::to_string(i);
        if (std::none_of(readers_.begin(), readers_.end(), [&](const auto& unit) { return unit->name == name; })) {
            return name;
        }
    }
}

ReaderUnit& Machine::add_reader(ReaderSpec spec) {
    auto unit = std::make_unique<ReaderUnit>();
    unit->name = spec.name.empty() ? next_reader_name() : spec.name;
    unit->address = static_cast<uint8_t>(readers_.size() + 1);
    unit->usb = std::make_unique<UsbDevice>(k, std::move(spec.device));
    unit->reader = std::make_unique<Reader>(k, *unit->usb);
    unit->reader->keep_history(options_.history);
    if (spec.pinpad) unit->pinpad = install_pinpad_commands(k, *unit->reader, std::move(spec.pinpad_options));
    if (spec.timing || options_.vary_by_seed) unit->usb->set_timing(spec.timing.value_or(variation_.timing));
    unit->answer_delay = spec.answer_delay.value_or(options_.vary_by_seed ? variation_.answer_delay : 0);
    if (spec.answer_delay || options_.vary_by_seed) unit->reader->set_answer_delay(unit->answer_delay);
    ReaderUnit* raw = unit.get();
    if (options_.watch_bus) {
        unit->observer = unit->usb->add_observer([this, raw](const BusEvent& event) { on_bus(*raw, event); });
    }
    readers_.push_back(std::move(unit));
    return *raw;
}

void Machine::on_bus(ReaderUnit& unit, const BusEvent& event) {
    last_activity_ = event.time;
    if (event.kind == BusEventKind::packet && event.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
        if (options_.history) unit.wire.push_back({event.time, event.device_to_host, event.data});
    }
    if (observer_) {
        observer_->on_bus_event(unit, event);
        observer_->checkpoint();
    }
}

NTSTATUS Machine::plug(ReaderUnit& unit, DeviceFunction* function) {
    if (!driver_ && entry_status_ == STATUS_PENDING) load_driver();  // the first reader: DriverEntry
    DeviceFunction* below = function ? function : unit.usb.get();
    return transition("plug " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        if (!NT_SUCCESS(entry_status_)) return entry_status_;
        if (!pnp.loaded(driver_)) reset_driver_globals();  // the Plug and Play manager loads the image again
        unit.node = &pnp.plug(driver_, unit.name, below);
        unit.node->pdo().keep_history(options_.history);
        driver_ = unit.node->driver();
        return unit.node->add_status();
    });
}

ReaderUnit* Machine::find_reader(const std::string& name) {
    for (auto it = readers_.rbegin(); it != readers_.rend(); ++it) {
        if ((*it)->name == name) return it->get();
    }
    return nullptr;
}

NTSTATUS Machine::start(ReaderUnit& unit, bool add_again) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("start " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        DeviceNode& node = *unit.node;
        if (add_again && !node.fdo() && node.pdo_device() && node.pdo().present() &&
            (node.state() == NodeState::removed || node.state() == NodeState::enumerated)) {
            if (!pnp.loaded(driver_)) reset_driver_globals();
            NTSTATUS added = pnp.add_device(node);
            driver_ = node.driver();
            if (!NT_SUCCESS(added)) return added;
        }
        if (!node.fdo() || (node.state() != NodeState::added && node.state() != NodeState::stopped)) {
            return STATUS_INVALID_DEVICE_STATE;
        }
        return pnp.start(node);
    });
}

NTSTATUS Machine::stop(ReaderUnit& unit) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("stop " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        return unit.node->state() == NodeState::started ? pnp.stop(*unit.node) : STATUS_INVALID_DEVICE_STATE;
    });
}

NTSTATUS Machine::disable(ReaderUnit& unit) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("remove " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        NodeState state = unit.node->state();
        return state == NodeState::added || state == NodeState::started || state == NodeState::stopped
                   ? pnp.remove(*unit.node)
                   : STATUS_INVALID_DEVICE_STATE;
    });
}

NTSTATUS Machine::query_remove(ReaderUnit& unit) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("query-remove " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        return unit.node->state() == NodeState::started ? pnp.query_remove_then_cancel(*unit.node)
                                                         : STATUS_INVALID_DEVICE_STATE;
    });
}

NTSTATUS Machine::surprise_remove(ReaderUnit& unit) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("unplug " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        DeviceNode& node = *unit.node;
        return node.pdo_device() && node.pdo().present() ? pnp.surprise_removal(node) : STATUS_NO_SUCH_DEVICE;
    });
}

NTSTATUS Machine::unplug(ReaderUnit& unit, bool* removed_now) {
    if (removed_now) *removed_now = false;
    if (!unit.node || unit.unplugged) return STATUS_NO_SUCH_DEVICE;
    unit.unplugged = true;
    return transition("unplug " + unit.name, NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        NTSTATUS status = pnp.surprise_removal(*unit.node);
        if (unit.open_handles() == 0 && unit.node->pdo_device()) {
            pnp.finish_removal(*unit.node);
            if (removed_now) *removed_now = true;
        }
        return status;
    });
}

NTSTATUS Machine::finish_removal(ReaderUnit& unit) {
    if (!unit.node) return STATUS_NO_SUCH_DEVICE;
    return transition("finish removal", NTSTATUS(STATUS_PENDING), [&]() -> NTSTATUS {
        return unit.node->pdo_device() ? pnp.finish_removal(*unit.node) : STATUS_NO_SUCH_DEVICE;
    });
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
    return transition("system sleep", NTSTATUS(STATUS_PENDING), [&] {
        sleeping_ = powered_stacks();
        NTSTATUS status = power.sleep(sleeping_, state);
        asleep_ = NT_SUCCESS(status);
        if (!asleep_) sleeping_.clear();
        return status;
    });
}

NTSTATUS Machine::resume() {
    return transition("system wake", NTSTATUS(STATUS_PENDING), [&] {
        // Stacks that went away while the system slept are not woken.
        std::vector<PDEVICE_OBJECT> still;
        for (PDEVICE_OBJECT top : sleeping_) {
            if (k.find_device(top)) still.push_back(top);
        }
        NTSTATUS status = power.wake(still);
        asleep_ = false;
        sleeping_.clear();
        if (in_thread()) k.scheduler().wake_waiting_on(&asleep_);
        return status;
    });
}

void Machine::wait_awake() {
    while (asleep_) k.scheduler().block("the system's wake", &asleep_, kNever);
}

std::vector<NTSTATUS> Machine::shutdown() {
    return act("shutdown", std::vector<NTSTATUS>{}, [&] { return pnp.shutdown(); });
}

// ---- Card slot and keypad ----------------------------------------------------------------------------------------

void Machine::insert(ReaderUnit& unit, std::shared_ptr<Card> card, bool quietly) {
    auto body = [&] {
        if (!quietly) {
            unit.reader->insert_card(std::move(card));
            return 0;
        }
        const Reader::Mode mode = unit.reader->mode();
        unit.reader->set_mode(Reader::Mode::scripted);
        unit.reader->insert_card(std::move(card));
        unit.reader->set_mode(mode);
        return 0;
    };
    act("insert card", 0, body);
}

void Machine::remove(ReaderUnit& unit, bool quietly) {
    act("remove card", 0, [&] {
        if (!quietly) {
            unit.reader->remove_card();
            return 0;
        }
        const Reader::Mode mode = unit.reader->mode();
        unit.reader->set_mode(Reader::Mode::scripted);
        unit.reader->remove_card();
        unit.reader->set_mode(mode);
        return 0;
    });
}

void Machine::queue_person(ReaderUnit& unit, Person person) {
    if (unit.pinpad) unit.pinpad->keypad->queue_person(std::move(person));
}

// ---- The application ---------------------------------------------------------------------------------------------

NTSTATUS Machine::open(ReaderUnit& unit, const std::string& name, NamedHandle** opened, bool interface) {
    if (opened) *opened = nullptr;
    Handle handle;
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    if (interface) {
        if (!unit.node || !unit.node->pdo_device()) return STATUS_NO_SUCH_DEVICE;
        PDEVICE_OBJECT pdo = unit.node->pdo_device();
        status = act("open", NTSTATUS(STATUS_PENDING),
                     [&] { return app.open_interface(GUID_DEVINTERFACE_SMARTCARD_READER, handle, pdo); });
    } else {
        PDEVICE_OBJECT fdo = unit.fdo();
        if (!fdo) return STATUS_NO_SUCH_DEVICE;
        status = act("open", NTSTATUS(STATUS_PENDING), [&] { return app.open(fdo, handle); });
    }
    if (NT_SUCCESS(status) && handle.valid()) {
        unit.handles.push_back({name.empty() ? "h" + std::to_string(unit.next_handle) : name, handle});
        ++unit.next_handle;
        if (opened) *opened = &unit.handles.back();
    }
    return status;
}

Handle Machine::open_handle(ReaderUnit& unit, bool interface) {
    NamedHandle* opened = nullptr;
    open(unit, "", &opened, interface);
    return opened ? opened->handle : Handle();
}

NTSTATUS Machine::close(ReaderUnit& unit, NamedHandle& handle, bool* removed) {
    if (removed) *removed = false;
    if (!handle.handle.valid() || handle.handle.closed()) return STATUS_INVALID_HANDLE;
    const bool inside = in_thread();  // from outside, the machine is idle: no turn to wait for
    return act("close", NTSTATUS(STATUS_PENDING), [&] {
        NTSTATUS status = handle.handle.close();
        if (unit.unplugged && unit.open_handles() == 0 && unit.node && unit.node->pdo_device() &&
            unit.node->state() == NodeState::surprise_removed) {
            if (inside) take_turn();
            if (unit.node->pdo_device() && unit.node->state() == NodeState::surprise_removed) {
                pnp.finish_removal(*unit.node);
                if (removed) *removed = true;
            }
            if (inside) give_turn();
        }
        return status;
    });
}

NTSTATUS Machine::close(Handle& handle) {
    for (auto& unit : readers_) {
        for (NamedHandle& named : unit->handles) {
            if (named.handle.valid() && named.handle.id() == handle.id()) return close(*unit, named);
        }
    }
    if (!handle.valid() || handle.closed()) return STATUS_INVALID_HANDLE;
    return act("close", NTSTATUS(STATUS_PENDING), [&] { return handle.close(); });
}

std::shared_ptr<PendingRequest> Machine::ioctl_async(Handle& handle, ULONG code, const Bytes& input,
                                                     ULONG output_size, const std::string& step) {
    if (!handle.valid() || handle.closed()) return nullptr;
    auto request = act("application", std::shared_ptr<PendingRequest>(),
                       [&] { return handle.ioctl_async(code, input, output_size); });
    if (request) requests_.push_back(LoggedRequest{code, input.size(), output_size, step, request});
    return request;
}

IoResult Machine::ioctl(Handle& handle, ULONG code, const Bytes& input, ULONG output_size, const std::string& step) {
    if (!handle.valid() || handle.closed()) return IoResult{STATUS_INVALID_HANDLE, 0, {}};
    IoResult result = act("application", IoResult{}, [&] {
        auto request = handle.ioctl_async(code, input, output_size);
        requests_.push_back(LoggedRequest{code, input.size(), output_size, step, request});
        request->wait(kRequestLimit);
        return request->result();
    });
    return result;
}

bool Machine::cancel(PendingRequest& request) {
    return act("cancel", false, [&] { return request.cancel(); });
}

// ---- Time --------------------------------------------------------------------------------------------------------

void Machine::delay(VirtualTime duration) {
    LARGE_INTEGER interval;
    interval.QuadPart = -duration;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Machine::tick_until(const std::function<bool()>& done, VirtualTime limit) {
    const VirtualTime tick = options_.tick;
    act("workbench wait", 0, [&] {
        const VirtualTime end = k.now() + limit;
        while (!done() && k.now() < end) {
            delay(tick > 0 ? std::min(tick, end - k.now()) : end - k.now());
            if (observer_) observer_->checkpoint();
        }
        return 0;
    });
}

void Machine::wait(VirtualTime duration) {
    tick_until([] { return false; }, duration);
}

bool Machine::await(PendingRequest& request, VirtualTime within) {
    if (options_.tick > 0) {
        tick_until([&] { return request.done(); }, within);
    } else {
        act("workbench wait", 0, [&] {
            request.wait(within);
            if (observer_) observer_->checkpoint();
            return 0;
        });
    }
    return request.done();
}

void Machine::settle() {
    const VirtualTime start = k.now();
    if (options_.tick > 0) {
        tick_until([&] { return k.now() - std::max(last_activity_, start) >= kQuiet; }, kSettleLimit);
        return;
    }
    // Without ticks: sleep to the moment the bus will have been quiet long enough, again while it was busy.
    act("workbench wait", 0, [&] {
        for (;;) {
            const VirtualTime quiet_at = std::max(last_activity_, start) + kQuiet;
            const VirtualTime until = std::min(quiet_at, start + kSettleLimit);
            if (k.now() >= until) break;
            delay(until - k.now());
            if (observer_) observer_->checkpoint();
        }
        return 0;
    });
}

bool Machine::rest(VirtualTime limit) {
    Scheduler& s = k.scheduler();
    SimThread* self = &s.current();
    const VirtualTime until = s.now() + limit;
    for (;;) {
        bool others = false;
        for (SimThread* thread : s.runnable_threads()) {
            if (thread != self) {
                others = true;
                break;
            }
        }
        if (others) {
            s.give_way();
            continue;
        }
        VirtualTime next = kNever;
        for (SimThread* thread : s.blocked_threads()) next = std::min(next, thread->deadline);
        if (next == kNever) return true;
        if (next > until) return false;
        s.sleep_until(next);
    }
}

// ---- Looking inside ----------------------------------------------------------------------------------------------

std::optional<ULONG> Machine::card_state(const ReaderUnit& unit) const {
    PDEVICE_OBJECT fdo = unit.fdo();
    if (!fdo || !const_cast<Kernel&>(k).find_device(fdo)) return std::nullopt;
    return unit.extension()->SmartcardExtension.ReaderCapabilities.CurrentState;
}

std::string Machine::check_quiet(ReaderUnit& unit, const std::string& step) {
    // A transition of another thread (an unplug) is not a quiet moment: wait for its turn to end.
    return transition("check", std::string(), [&] {
        std::string found;
        PDEVICE_EXTENSION de = unit.extension();
        if (!de || unit.node->state() != NodeState::started || !de->SmartcardExtension.OsData) return found;
        POS_DEP_DATA os = de->SmartcardExtension.OsData;
        // A thread whose request has just ended may still be on its way out of the driver: the power manager
        // returns from the dispatch routine of a power-up that the driver asked for only after the request that
        // waited for it has completed. While the counts are not at rest and another thread can run, the others
        // run first (a bounded number of scheduling steps, virtual time standing still), so that only holds that
        // no running thread gives back are counted.
        Scheduler& scheduler = k.scheduler();
        const SimThread* self = &scheduler.current();
        for (int steps = 0; steps < kQuietCheckSteps; ++steps) {
            const bool at_rest = os->RemoveLock.RefCount == 1 && de->IoCount == 1;
            const bool others = std::any_of(scheduler.runnable_threads().begin(), scheduler.runnable_threads().end(),
                                            [self](const SimThread* thread) { return thread != self; });
            if (at_rest || !others) break;
            scheduler.give_way();
        }
        if (unit.extension() != de || unit.node->state() != NodeState::started) return found;
        // The library keeps a bias of one on the lock until removal drains it; anything above is a hold that no
        // running request accounts for.
        if (os->RemoveLock.RefCount != 1) {
            found = step + ": remove lock holds " + std::to_string(os->RemoveLock.RefCount - 1) +
                    " acquisition(s) with no request under way";
            observations_.push_back(found);
        }
        if (de->IoCount != 1) {
            std::string count =
                step + ": I/O count " + std::to_string(de->IoCount) + " with no request under way (1 when idle)";
            observations_.push_back(count);
            found += (found.empty() ? "" : "; ") + count;
        }
        return found;
    });
}

// ---- The end -----------------------------------------------------------------------------------------------------

std::vector<std::string> Machine::close_and_remove_all() {
    std::vector<std::string> problems;
    if (!alive()) return problems;
    if (asleep_) resume();
    for (auto& unit : readers_) {
        for (NamedHandle& handle : unit->handles) {
            if (handle.handle.valid() && !handle.handle.closed()) close(*unit, handle);
        }
    }
    for (auto& unit : readers_) {
        if (!unit->node || !alive()) continue;
        NodeState state = unit->node->state();
        if (state == NodeState::surprise_removed) {
            finish_removal(*unit);
        } else if (holds_stack(state)) {
            transition("remove " + unit->name, 0, [&] {
                pnp.remove(*unit->node);
                return 0;
            });
        }
    }
    if (!alive()) return problems;
    for (auto& unit : readers_) {
        if (unit->node && holds_stack(unit->node->state())) {
            problems.push_back(unit->name + " is still " + to_string(unit->node->state()) + " after its removal");
        }
    }
    return problems;
}

std::vector<std::string> Machine::teardown() {
    std::vector<std::string> problems = close_and_remove_all();
    if (!alive()) return problems;
    settle();
    if (!alive()) return problems;
    std::vector<std::string> outstanding;
    for (const auto& request : app.outstanding()) {
        outstanding.push_back("a request never completed: " + request->describe());
    }
    problems.insert(problems.begin(), outstanding.begin(), outstanding.end());
    return problems;
}

}  // namespace sim
