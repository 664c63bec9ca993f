// The reliability machine: driver load and plug-in, Plug and Play and power transitions one at a time, logged application requests, and the quiet-moment check of the remove lock and the I/O count.
#include "rig.h"

#include <algorithm>
#include <cstdio>

#include "platform/smclib/reader_data.h"

namespace sim::reliability {

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
    v.answer_delay = draw() % 4 == 0 ? from_us(static_cast<int64_t>(draw() % 40'000)) : from_us(static_cast<int64_t>(draw() % 3'000));
    return v;
}

Rig::Rig(uint64_t seed)
    : k(seed), bus(k), pnp(k, bus), usb(k), reader(k, usb), power(k), app(k), variation(Variation::from_seed(seed)) {
    pinpad = install_pinpad_commands(k, reader);
    active_pinpad_ = pinpad.get();
    usb.set_timing(variation.timing);
    reader.set_answer_delay(variation.answer_delay);
    KeInitializeEvent(&pnp_turn_, SynchronizationEvent, TRUE);
    // A freshly loaded driver image has zeroed globals; this process loads the same image again and again.
    DeviceCount = 0;
    UnitMap = 0;
    driver = pnp.load_driver("tavelo", &DriverEntry, &entry_status);
}

Rig::~Rig() = default;

Rig::ReaderUnit::ReaderUnit(Kernel& k, const Variation& variation) : usb(k), reader(k, usb) {
    pinpad = install_pinpad_commands(k, reader);
    usb.set_timing(variation.timing);
    reader.set_answer_delay(variation.answer_delay);
}

void Rig::lock_pnp() { KeWaitForSingleObject(&pnp_turn_, Executive, KernelMode, FALSE, nullptr); }
void Rig::unlock_pnp() { KeSetEvent(&pnp_turn_, IO_NO_INCREMENT, FALSE); }

void Rig::plug() {
    lock_pnp();
    if (NT_SUCCESS(entry_status)) node = &pnp.plug(driver, "Q-ward", &usb);
    unlock_pnp();
}

NTSTATUS Rig::start() {
    lock_pnp();
    NTSTATUS status = STATUS_PENDING;
    if (node && node->fdo() && (node->state() == NodeState::added || node->state() == NodeState::stopped)) {
        status = pnp.start(*node);
    }
    unlock_pnp();
    return status;
}

NTSTATUS Rig::stop() {
    lock_pnp();
    NTSTATUS status = STATUS_PENDING;
    if (node && node->state() == NodeState::started) status = pnp.stop(*node);
    unlock_pnp();
    return status;
}

NTSTATUS Rig::sleep_and_wake(SYSTEM_POWER_STATE state, const std::function<void()>& while_asleep) {
    lock_pnp();
    NTSTATUS status = STATUS_PENDING;
    // A stopped device gets the system's power requests as a started one does.
    if (node && (node->state() == NodeState::started || node->state() == NodeState::stopped)) {
        PDEVICE_OBJECT top = node->top();
        status = power.sleep({top}, state);
        if (while_asleep) while_asleep();
        NTSTATUS woken = power.wake({top});
        if (NT_SUCCESS(status)) status = woken;
    }
    unlock_pnp();
    return status;
}

NTSTATUS Rig::query_remove_then_cancel() {
    lock_pnp();
    NTSTATUS status = STATUS_PENDING;
    if (node && node->state() == NodeState::started) status = pnp.query_remove_then_cancel(*node);
    unlock_pnp();
    return status;
}

NTSTATUS Rig::surprise_removal() {
    lock_pnp();
    NTSTATUS status = STATUS_PENDING;
    if (node && node->pdo_device() && node->pdo().present()) status = pnp.surprise_removal(*node);
    unlock_pnp();
    return status;
}

void Rig::teardown() {
    for (Handle& handle : handles_) close(handle);
    lock_pnp();
    if (node) {
        switch (node->state()) {
            case NodeState::added:
            case NodeState::started:
            case NodeState::stopped:
                pnp.remove(*node);
                break;
            case NodeState::surprise_removed:
                pnp.finish_removal(*node);
                break;
            default:
                break;
        }
        switch (node->state()) {
            case NodeState::enumerated:
            case NodeState::removed:
            case NodeState::deleted:
                removal_finished_ = true;
                break;
            default:
                observations_.push_back(std::string("the device stack was not removed: the node is ") +
                                        to_string(node->state()));
                break;
        }
    } else {
        removal_finished_ = true;
    }
    unlock_pnp();
}

Handle Rig::open(const std::string& step) {
    Handle handle;
    if (!node || !node->fdo()) return handle;
    NTSTATUS status = app.open(node->fdo(), handle);
    if (NT_SUCCESS(status)) handles_.push_back(handle);
    (void)step;
    return handle;
}

std::shared_ptr<PendingRequest> Rig::ioctl_async(Handle& handle, ULONG code, const std::vector<uint8_t>& input,
                                                 ULONG output_size, const std::string& step) {
    if (!handle.valid() || handle.closed()) return nullptr;
    auto request = handle.ioctl_async(code, input, output_size);
    requests_.push_back(LoggedRequest{code, input.size(), output_size, step, request});
    return request;
}

bool Rig::wait(const std::shared_ptr<PendingRequest>& request) {
    if (!request) return true;
    return request->wait(kRequestLimit);
}

IoResult Rig::ioctl(Handle& handle, ULONG code, const std::vector<uint8_t>& input, ULONG output_size,
                    const std::string& step) {
    auto request = ioctl_async(handle, code, input, output_size, step);
    if (!request) return IoResult{STATUS_INVALID_HANDLE, 0, {}};
    wait(request);
    return request->result();
}

void Rig::close(Handle& handle) {
    if (handle.valid() && !handle.closed()) handle.close();
}

void Rig::delay_ms(int64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

void Rig::insert_card(std::shared_ptr<Card> card) { active_reader_->insert_card(std::move(card)); }

void Rig::insert_card_quietly(std::shared_ptr<Card> card) {
    Reader::Mode mode = active_reader_->mode();
    active_reader_->set_mode(Reader::Mode::scripted);
    active_reader_->insert_card(std::move(card));
    active_reader_->set_mode(mode);
}

void Rig::remove_card() { active_reader_->remove_card(); }

bool Rig::settle(VirtualTime limit) {
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
            s.yield();
            continue;
        }
        VirtualTime next = kNever;
        for (SimThread* thread : s.blocked_threads()) next = std::min(next, thread->deadline);
        if (next == kNever) return true;
        if (next > until) return false;
        s.sleep_until(next);
    }
}

void Rig::reinstall_pinpad_commands() {
    std::shared_ptr<PinpadState> fresh = install_pinpad_commands(k, *active_reader_);
    if (active_reader_ == &reader) pinpad = fresh;
    for (auto& unit : replacements_) {
        if (&unit->reader == active_reader_) unit->pinpad = fresh;
    }
    active_pinpad_ = fresh.get();
}

void Rig::calm_reader() {
    Reader& r = *active_reader_;
    // A change of mode drops a command the firmware is still assembling: only a scripted reader is switched.
    if (r.mode() != Reader::Mode::automatic) r.set_mode(Reader::Mode::automatic);
    r.withhold_answers(0);
    r.refuse_writes(false);
    r.set_answer_delay(variation.answer_delay);
    active_pinpad_->keypad_in_service = true;
    active_pinpad_->keypad->forget_people();
}

std::string Rig::restore_device(std::shared_ptr<Card> card) {
    lock_pnp();
    std::string failure;
    if (node && node->pdo_device() && node->pdo().present() &&
        (node->state() == NodeState::enumerated || node->state() == NodeState::removed)) {
        // No driver stack on a reader that is plugged in: AddDevice or the start failed, or it was removed. A
        // person unplugs it and plugs it in again (its firmware starts afresh, with no card event of the time
        // without a driver still queued).
        pnp.unplug(*node);
    }
    if (node && (!node->pdo_device() || !node->pdo().present())) {
        // Unplugged: Windows removes what is left of the stack once the last handle is closed.
        switch (node->state()) {
            case NodeState::added:
            case NodeState::started:
            case NodeState::stopped:
            case NodeState::surprise_removed:
                pnp.finish_removal(*node);
                break;
            default:
                break;
        }
        if (node->state() != NodeState::deleted && node->state() != NodeState::removed &&
            node->state() != NodeState::enumerated) {
            observations_.push_back(std::string("the unplugged reader's stack was not removed: the node is ") +
                                    to_string(node->state()));
        }
        auto unit = std::make_unique<ReaderUnit>(k, variation);
        // The card goes in while the reader is not plugged in yet: the start finds it with its status request.
        unit->reader.set_mode(Reader::Mode::scripted);
        unit->reader.insert_card(std::move(card));
        unit->reader.set_mode(Reader::Mode::automatic);
        active_usb_ = &unit->usb;
        active_reader_ = &unit->reader;
        active_pinpad_ = unit->pinpad.get();
        replacements_.push_back(std::move(unit));
        node = &pnp.plug(driver, "Q-ward", active_usb_);
    }
    if (!node) {
        failure = "the reader was never plugged in (DriverEntry returned " + status_name(entry_status) + ")";
    } else if (node->state() == NodeState::added || node->state() == NodeState::stopped) {
        NTSTATUS started = pnp.start(*node);
        if (!NT_SUCCESS(started)) failure = "the start returned " + status_name(started);
    }
    if (failure.empty() && node->state() != NodeState::started) {
        failure = std::string("the device is not started: the node is ") + to_string(node->state());
    }
    unlock_pnp();
    return failure;
}

PDEVICE_EXTENSION Rig::device_extension() const {
    if (!node || !node->fdo()) return nullptr;
    return static_cast<PDEVICE_EXTENSION>(node->fdo()->DeviceExtension);
}

void Rig::check_quiet(const std::string& step) {
    // A transition of another thread (an unplug) is not a quiet moment: wait for its turn to end.
    lock_pnp();
    check_quiet_locked(step);
    unlock_pnp();
}

void Rig::check_quiet_locked(const std::string& step) {
    PDEVICE_EXTENSION de = device_extension();
    if (!de || !node || node->state() != NodeState::started) return;
    POS_DEP_DATA os = de->SmartcardExtension.OsData;
    if (!os) return;
    // The library keeps a bias of one on the lock until removal drains it; anything above is a hold that no
    // running request accounts for.
    if (os->RemoveLock.RefCount != 1) {
        observations_.push_back(step + ": remove lock holds " + std::to_string(os->RemoveLock.RefCount - 1) +
                                " acquisition(s) with no request under way");
    }
    if (de->IoCount != 1) {
        observations_.push_back(step + ": I/O count " + std::to_string(de->IoCount) +
                                " with no request under way (1 when idle)");
    }
}

std::vector<uint8_t> ulong_bytes(ULONG value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

std::vector<uint8_t> transmit_request(const std::vector<uint8_t>& apdu, ULONG protocol) {
    std::vector<uint8_t> bytes = ulong_bytes(protocol);
    std::vector<uint8_t> length = ulong_bytes(8);
    bytes.insert(bytes.end(), length.begin(), length.end());
    bytes.insert(bytes.end(), apdu.begin(), apdu.end());
    return bytes;
}

std::vector<uint8_t> pin_verify_structure(uint8_t timeout_seconds, uint8_t max_digits, uint8_t min_digits) {
    const std::vector<uint8_t> apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    const auto length = static_cast<uint32_t>(apdu.size());
    std::vector<uint8_t> bytes = {timeout_seconds, 0x00, 0x82, 0x08, 0x00, max_digits, min_digits, 0x02, 0x01,
                                  0x09, 0x04, 0x00, 0x00, 0x00, 0x00,
                                  static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)};
    bytes.insert(bytes.end(), apdu.begin(), apdu.end());
    return bytes;
}

}  // namespace sim::reliability
