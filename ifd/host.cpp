// The machine thread, the calls that pcscd's threads post into it, and the life of each reader from plug-in to the driver's unload and leak check.
#include "host.h"

#include <condition_variable>
#include <cstdio>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "log.h"
#include "machine/machine.h"
#include "platform/kernel/quiet_thread.h"
#include "reader/cards/card_factory.h"
#include "reader/cards/openpgp_card.h"
#include "reader/vicc_card.h"

namespace sim::ifd {

namespace {

// The PIN feature controls that start a PIN entry on the keypad.
constexpr ULONG kVerifyPinStart = SCARD_CTL_CODE(3500);
constexpr ULONG kVerifyPinDirect = SCARD_CTL_CODE(3505);

// One reader on the machine's bus and what the library keeps for it. Touched only on the machine thread.
struct Unit {
    uint32_t lun = 0;
    ReaderConfig config;
    ReaderUnit* hw = nullptr;  // the machine's reader: USB device, firmware, keypad
    std::unique_ptr<ViccSlot> vicc;
    DeviceNode* node = nullptr;
    Handle handle;
    std::shared_ptr<PendingRequest> card_event;  // the IS_PRESENT or IS_ABSENT request of the polling thread
    // A stop that came while no wait ran: the next wait returns at once (pcscd stops the wait to re-examine the
    // card's power state, and before it removes the reader).
    bool stop_pending = false;
    size_t pin_entries = 0;
};

MachineOptions pcscd_machine(uint64_t seed) {
    MachineOptions options;
    options.seed = seed;
    options.application = "pcscd";
    options.history = false;  // pcscd runs for days
    // A use of freed pool or of a freed IRP is still caught for the next few requests; a request's memory stays
    // warm in the cache across the wait for a card emulator's answer (a few per cent more APDUs per second with vicc).
    options.settings.pool_quarantine = 64;
    options.settings.irp_quarantine = 32;
    return options;
}

// The one simulated machine with what the library keeps per reader.
struct Machine {
    explicit Machine(uint64_t seed) : machine(pcscd_machine(seed)), k(machine.k), pnp(machine.pnp), app(machine.app) {}
    sim::Machine machine;
    Kernel& k;
    PnpManager& pnp;
    Application& app;
    std::map<uint32_t, std::shared_ptr<Unit>> units;
    size_t debug_lines_logged = 0;

    // The kernel's debug output (the driver's DbgPrint) goes to pcscd's log.
    void flush_debug_output() {
        for (; debug_lines_logged < k.debug_log().size(); ++debug_lines_logged) {
            std::string text = k.debug_log()[debug_lines_logged].text;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            log(LogLevel::info, "kernel debug output: " + text);
        }
    }
};

std::shared_ptr<Card> make_slot_card(const std::string& name) {
    if (name == "openpgp") return make_openpgp_card();
    return std::shared_ptr<Card>(make_card(name));
}

Person make_person(const KeypadEntry& entry, const ReaderConfig& config) {
    Person person;
    auto press = [&](Key key, char digit = '0') {
        person.strokes.push_back({from_ms(person.strokes.empty() ? config.first_key_ms : config.key_gap_ms), key, digit});
    };
    auto type = [&](const std::string& digits) {
        for (char d : digits) press(Key::digit, d);
    };
    switch (entry.action) {
        case KeypadEntry::Action::type:
            type(entry.digits);
            press(Key::validate);
            break;
        case KeypadEntry::Action::type_only:
            type(entry.digits);
            break;
        case KeypadEntry::Action::correct:
            type("98");
            press(Key::backspace);
            type("7");
            press(Key::clear);
            type(entry.digits);
            press(Key::validate);
            break;
        case KeypadEntry::Action::cancel:
            type("12");
            press(Key::cancel);
            break;
        case KeypadEntry::Action::silent:
            break;
    }
    return person;
}

}  // namespace

struct Host::Impl {
    mutable std::mutex mutex;
    std::recursive_mutex lifecycle;  // boot and shutdown, one at a time (a failed plug-in unplugs again inside)
    Machine* machine = nullptr;
    bool down = false;
    std::string bug_check;
    std::thread thread;
    int callers = 0;  // pcscd threads inside the machine's call(); the machine goes only once they have left
    std::condition_variable callers_gone;
    std::set<uint32_t> readers;  // open as pcscd sees them, the machine's state aside

    // Runs body in a new simulated thread of the machine and waits for it; false when the machine is not there to
    // run it (never booted, or stopped by a bug check, in which case body may have been cut off). With `drive` the
    // calling pcscd thread runs the machine itself while it waits (Scheduler::call), so that a request costs no
    // hand-over to the machine's thread and back; a wait for a card event only waits.
    bool run(const char* name, std::function<void(Machine&)> body, bool drive = true) {
        Machine* m = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!machine || down) return false;
            m = machine;
            ++callers;
        }
        bool ok = m->k.scheduler().call(name, [m, body = std::move(body)] {
            body(*m);
            m->flush_debug_output();
        }, drive);
        std::lock_guard<std::mutex> lock(mutex);
        if (--callers == 0) callers_gone.notify_all();
        return ok;
    }

    // The machine thread: boot, serve until stopped, then report and tear down.
    void machine_thread(uint64_t seed, std::promise<std::string> booted) {
        auto m = std::make_unique<Machine>(seed);
        NTSTATUS entry = m->machine.load_driver();
        m->flush_debug_output();
        if (!NT_SUCCESS(entry)) {
            booted.set_value("DriverEntry failed: " + status_name(entry));
            return;
        }
        m->k.scheduler().set_real_time(true);
        // Applications are served here, not interleavings explored: a simulated thread runs until it waits. An
        // APDU then costs the machine about a third less time.
        m->k.scheduler().preempt_per_mille = 0;
        {
            std::lock_guard<std::mutex> lock(mutex);
            machine = m.get();
        }
        booted.set_value("");
        RunOutcome outcome = m->k.scheduler().serve();
        m->flush_debug_output();
        {
            std::lock_guard<std::mutex> lock(mutex);
            machine = nullptr;
            if (outcome != RunOutcome::completed) {
                down = true;
                bug_check = m->k.bug_check_report();
                if (bug_check.empty()) bug_check = m->k.scheduler().abort_report();
                if (bug_check.empty()) bug_check = std::string("the machine stopped: ") + to_string(outcome);
            }
        }
        {
            // Every call has returned by now or is about to (serve() has ended them); none may touch the machine
            // as it goes.
            std::unique_lock<std::mutex> lock(mutex);
            callers_gone.wait(lock, [&] { return callers == 0; });
        }
        if (outcome != RunOutcome::completed) {
            log(LogLevel::critical, "*** THE SIMULATED MACHINE STOPPED; every reader of this driver is gone ***");
            std::string report = bug_check;
            size_t from = 0;
            while (from < report.size()) {
                size_t end = report.find('\n', from);
                if (end == std::string::npos) end = report.size();
                log(LogLevel::critical, report.substr(from, end - from));
                from = end + 1;
            }
        }
        m.reset();
    }

    std::string boot(uint64_t seed) {
        if (thread.joinable()) thread.join();
        {
            std::lock_guard<std::mutex> lock(mutex);
            down = false;
            bug_check.clear();
        }
        std::promise<std::string> booted;
        std::future<std::string> result = booted.get_future();
        thread = thread_without_signals([this, seed, p = std::move(booted)]() mutable { machine_thread(seed, std::move(p)); });
        std::string error = result.get();
        if (!error.empty() && thread.joinable()) thread.join();
        if (error.empty()) log(LogLevel::info, "simulated machine booted in real time, driver loaded (seed " + std::to_string(seed) + ")");
        return error;
    }
};

Host& Host::instance() {
    static Host* host = new Host;  // never destroyed: pcscd may call in during its own exit
    return *host;
}

Host::Host() : impl_(std::make_unique<Impl>()) {}

Host::~Host() = default;

bool Host::machine_running() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->machine != nullptr;
}

std::string Host::last_bug_check() const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->bug_check;
}

bool Host::has_reader(uint32_t lun) const {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    return impl_->readers.count(lun) != 0;
}

std::string Host::open_reader(uint32_t lun, const ReaderConfig& config) {
    std::lock_guard<std::recursive_mutex> life(impl_->lifecycle);
    bool need_boot = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (impl_->readers.count(lun)) return "reader already open";
        if (impl_->down) return "the simulated machine stopped with a bug check: " + impl_->bug_check;
        need_boot = impl_->machine == nullptr;
    }
    if (need_boot) {
        std::string error = impl_->boot(config.seed);
        if (!error.empty()) return error;
    }
    std::string error;
    bool ran = impl_->run("plug in reader", [&](Machine& m) {
        auto unit = std::make_shared<Unit>();
        unit->lun = lun;
        unit->config = config;
        // Kept from the start, so that a plug-in that fails half-way is taken apart by the close like any other.
        m.units[lun] = unit;
        ReaderSpec spec;
        spec.name = "Q-ward " + std::to_string(lun >> 16);
        if (config.fast_bus) spec.timing = BusTiming::fast;
        unit->hw = &m.machine.add_reader(std::move(spec));
        // pcscd's clients come at any moment of the bus's frames: each exchange takes exactly its frames.
        unit->hw->usb->set_frames_on_demand(true);
        if (config.vicc_port) {
            unit->vicc = std::make_unique<ViccSlot>(m.k.scheduler(), *unit->hw->reader, *config.vicc_port,
                                                    std::chrono::milliseconds(config.vicc_answer_timeout_ms));
            if (!unit->vicc->listening()) {
                error = "vicc: " + unit->vicc->error();
                return;
            }
            log(LogLevel::info, "waiting for vicc on 127.0.0.1:" + std::to_string(unit->vicc->port()));
        } else if (!config.card.empty()) {
            std::shared_ptr<Card> card = make_slot_card(config.card);
            if (!card) {
                error = "no built-in card is called '" + config.card + "'";
                return;
            }
            // In the slot before the reader starts: the start's card-status request finds it.
            m.machine.insert(*unit->hw, std::move(card), true);
        }
        NTSTATUS added = m.machine.plug(*unit->hw);
        unit->node = unit->hw->node;
        if (!unit->node || !unit->node->fdo()) {
            error = "AddDevice failed: " + status_name(added);
            return;
        }
        NTSTATUS started = m.machine.start(*unit->hw);
        if (!NT_SUCCESS(started)) {
            error = "IRP_MN_START_DEVICE failed: " + status_name(started);
            return;
        }
        NamedHandle* handle = nullptr;
        NTSTATUS opened = m.machine.open(*unit->hw, "pcscd", &handle);
        if (!NT_SUCCESS(opened) || !handle) {
            error = "opening the smart card reader interface failed: " + status_name(opened);
            return;
        }
        unit->handle = handle->handle;
    });
    if (!ran) return "the simulated machine stopped: " + last_bug_check();
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->readers.insert(lun);
    }
    if (!error.empty()) {
        // What was plugged in goes again (and with the last reader the driver), so that nothing is left behind.
        close_reader(lun);
        return error;
    }
    log(LogLevel::info, "reader " + std::to_string(lun >> 16) + " plugged in and started: " + describe(config));
    return "";
}

std::string Host::close_reader(uint32_t lun) {
    std::lock_guard<std::recursive_mutex> life(impl_->lifecycle);
    bool last = false;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        if (!impl_->readers.erase(lun)) return "reader not open";
        last = impl_->readers.empty();
    }
    std::string report;
    bool ran = impl_->run(last ? "unplug last reader and unload driver" : "unplug reader", [&](Machine& m) {
        auto found = m.units.find(lun);
        std::shared_ptr<Unit> unit;
        if (found != m.units.end()) {
            unit = found->second;
            m.units.erase(found);
        }
        DeviceNode* node = unit ? unit->node : nullptr;
        if (unit) {
            unit->stop_pending = true;
            if (unit->card_event && !unit->card_event->done()) unit->card_event->cancel();
            unit->vicc.reset();
            if (unit->handle.valid() && !unit->handle.closed()) unit->handle.close();
        }
        if (node && node->state() != NodeState::deleted) {
            NTSTATUS removed = m.pnp.unplug(*node);
            if (!NT_SUCCESS(removed)) report += "unplugging the reader: " + status_name(removed) + "\n";
        }
        if (unit && unit->hw) {
            // The firmware's and the bus's threads end with the reader, which is gone for good.
            unit->hw->pinpad.reset();
            unit->hw->reader.reset();
            unit->hw->usb.reset();
        }
        if (!last) return;
        // The Plug and Play manager unloads a driver with its last device; the kernel's unload bug-checks on any
        // pool the driver left behind.
        if (m.pnp.loaded(m.machine.driver())) m.pnp.unload_driver(m.machine.driver());
        if (!m.k.live_pool().empty()) report += "pool left allocated: " + m.k.describe_live_pool() + "\n";
        if (!m.app.outstanding().empty()) report += "requests never completed:" + m.app.describe_outstanding() + "\n";
        // Every call from pcscd ran in a simulated thread of its own; how many, by name, for the debug log.
        std::map<std::string, int> names;
        for (auto& thread : m.k.scheduler().threads()) ++names[thread->name];
        std::string counts;
        for (auto& [name, count] : names) counts += " " + name + "=" + std::to_string(count);
        log(LogLevel::debug, "simulated threads created:" + counts);
        m.k.scheduler().request_stop();
    });
    if (!ran) {
        report = "the simulated machine stopped with a bug check:\n" + last_bug_check();
    }
    if (last && impl_->thread.joinable()) impl_->thread.join();
    if (last) {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->down = false;
    }
    if (!report.empty()) {
        log(LogLevel::critical, "*** reader " + std::to_string(lun >> 16) + " shut down with errors ***");
        log(LogLevel::critical, report);
    } else if (last) {
        log(LogLevel::info, "last reader unplugged; driver unloaded; verifier leak check passed: no pool left");
    } else {
        log(LogLevel::info, "reader " + std::to_string(lun >> 16) + " unplugged");
    }
    return report;
}

IoOutcome Host::ioctl(uint32_t lun, uint32_t code, const std::vector<uint8_t>& input, uint32_t output_size) {
    IoOutcome outcome;
    outcome.status = static_cast<uint32_t>(STATUS_DEVICE_REMOVED);
    bool ran = impl_->run("DeviceIoControl", [&](Machine& m) {
        auto found = m.units.find(lun);
        if (found == m.units.end()) return;
        Unit& unit = *found->second;
        if ((code == kVerifyPinStart || code == kVerifyPinDirect) && !unit.config.keypad.empty() &&
            unit.hw->pinpad->keypad->people_waiting() == 0) {
            // The person for this PIN entry steps up to the keypad; the last one configured stays for good.
            size_t index = std::min(unit.pin_entries, unit.config.keypad.size() - 1);
            m.machine.queue_person(*unit.hw, make_person(unit.config.keypad[index], unit.config));
            ++unit.pin_entries;
        }
        IoResult result = unit.handle.ioctl(code, input, output_size);
        if (!NT_SUCCESS(result.status)) {
            char text[96];
            std::snprintf(text, sizeof text, "reader %u: I/O control 0x%06X ended with ", lun >> 16, code);
            log(LogLevel::debug, text + status_name(result.status));
        }
        outcome.status = static_cast<uint32_t>(result.status);
        outcome.output = std::move(result.output);
    });
    outcome.machine_down = !ran;
    return outcome;
}

IoOutcome Host::wait_for_card_event(uint32_t lun, bool present_now, int timeout_ms) {
    IoOutcome outcome;
    outcome.status = static_cast<uint32_t>(STATUS_DEVICE_REMOVED);
    bool ran = impl_->run("card event wait", [&](Machine& m) {
        auto found = m.units.find(lun);
        if (found == m.units.end()) return;
        std::shared_ptr<Unit> unit = found->second;
        if (unit->stop_pending) {
            unit->stop_pending = false;
            outcome.status = static_cast<uint32_t>(STATUS_CANCELLED);
            return;
        }
        auto request = unit->handle.ioctl_async(present_now ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
        unit->card_event = request;
        if (!request->wait(timeout_ms < 0 ? kNever : from_ms(timeout_ms))) {
            request->cancel();
            request->wait();
        }
        if (unit->card_event == request) unit->card_event.reset();
        outcome.status = static_cast<uint32_t>(request->status());
    }, false);
    outcome.machine_down = !ran;
    return outcome;
}

void Host::stop_card_event_wait(uint32_t lun) {
    impl_->run("stop card event wait", [&](Machine& m) {
        auto found = m.units.find(lun);
        if (found == m.units.end()) return;
        Unit& unit = *found->second;
        if (unit.card_event && !unit.card_event->done()) {
            unit.card_event->cancel();
        } else {
            unit.stop_pending = true;
        }
    });
}

}  // namespace sim::ifd
