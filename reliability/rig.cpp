// The reliability runs' machine: the one simulated machine set up for a run, and the recovery of the reader.
#include "rig.h"

namespace sim::reliability {

namespace {

MachineOptions rig_options(uint64_t seed) {
    MachineOptions options;
    options.seed = seed;
    options.vary_by_seed = true;  // the bus timing and the reader's answer speed drawn for the seed
    options.tick = 0;             // waits look around only when something happens: fewer scheduling points
    return options;
}

ReaderSpec rig_reader() {
    ReaderSpec spec;
    spec.name = "Q-ward";
    return spec;
}

}  // namespace

Rig::Rig(uint64_t seed)
    : machine(rig_options(seed)),
      first_(machine.add_reader(rig_reader())),
      active_(&first_),
      k(machine.k),
      bus(machine.bus),
      pnp(machine.pnp),
      usb(*first_.usb),
      reader(*first_.reader),
      pinpad(first_.pinpad),
      power(machine.power),
      app(machine.app),
      variation(machine.variation()) {
    entry_status = machine.load_driver();
    driver = machine.driver();
}

Rig::~Rig() = default;

void Rig::plug() {
    machine.plug(*active_);
    node = active_->node;
}

NTSTATUS Rig::start() { return machine.start(*active_, false); }

NTSTATUS Rig::stop() { return machine.stop(*active_); }

NTSTATUS Rig::sleep_and_wake(SYSTEM_POWER_STATE state, const std::function<void()>& while_asleep) {
    machine.take_turn();
    NTSTATUS status = STATUS_INVALID_DEVICE_STATE;
    // A stopped device gets the system's power requests as a started one does.
    if (node && (node->state() == NodeState::started || node->state() == NodeState::stopped)) {
        PDEVICE_OBJECT top = node->top();
        status = power.sleep({top}, state);
        if (while_asleep) while_asleep();
        NTSTATUS woken = power.wake({top});
        if (NT_SUCCESS(status)) status = woken;
    }
    machine.give_turn();
    return status;
}

NTSTATUS Rig::query_remove_then_cancel() { return machine.query_remove(*active_); }

NTSTATUS Rig::surprise_removal() { return machine.surprise_remove(*active_); }

void Rig::teardown() {
    machine.close_and_remove_all();
    if (!node) {
        removal_finished_ = true;
        return;
    }
    switch (node->state()) {
        case NodeState::enumerated:
        case NodeState::removed:
        case NodeState::deleted:
            removal_finished_ = true;
            break;
        default:
            machine.observations().push_back(std::string("the device stack was not removed: the node is ") +
                                             to_string(node->state()));
            break;
    }
}

Handle Rig::open(const std::string& step) {
    NamedHandle* opened = nullptr;
    machine.open(*active_, step, &opened, false);
    if (!opened) return Handle();
    handles_.push_back(opened->handle);
    return opened->handle;
}

std::shared_ptr<PendingRequest> Rig::ioctl_async(Handle& handle, ULONG code, const std::vector<uint8_t>& input,
                                                 ULONG output_size, const std::string& step) {
    return machine.ioctl_async(handle, code, input, output_size, step);
}

bool Rig::wait(const std::shared_ptr<PendingRequest>& request) {
    if (!request) return true;
    return request->wait(kRequestLimit);
}

IoResult Rig::ioctl(Handle& handle, ULONG code, const std::vector<uint8_t>& input, ULONG output_size,
                    const std::string& step) {
    return machine.ioctl(handle, code, input, output_size, step);
}

void Rig::close(Handle& handle) { machine.close(handle); }

void Rig::delay_ms(int64_t ms) { machine.delay(from_ms(ms)); }

void Rig::insert_card(std::shared_ptr<Card> card) { machine.insert(*active_, std::move(card)); }

void Rig::insert_card_quietly(std::shared_ptr<Card> card) { machine.insert(*active_, std::move(card), true); }

void Rig::remove_card() { machine.remove(*active_); }

bool Rig::settle(VirtualTime limit) { return machine.rest(limit); }

void Rig::reinstall_pinpad_commands() { active_->pinpad = install_pinpad_commands(k, *active_->reader); }

void Rig::calm_reader() {
    Reader& r = *active_->reader;
    // A change of mode drops a command the firmware is still assembling: only a scripted reader is switched.
    if (r.mode() != Reader::Mode::automatic) r.set_mode(Reader::Mode::automatic);
    r.withhold_answers(0);
    r.refuse_writes(false);
    r.set_answer_delay(variation.answer_delay);
    active_->pinpad->keypad_in_service = true;
    active_->pinpad->keypad->forget_people();
}

std::string Rig::restore_device(std::shared_ptr<Card> card) {
    machine.take_turn();
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
            machine.observations().push_back(std::string("the unplugged reader's stack was not removed: the node is ") +
                                             to_string(node->state()));
        }
        // A new reader; the card goes in while it is not plugged in yet: the start finds it with its status request.
        active_ = &machine.add_reader(rig_reader());
        machine.insert(*active_, std::move(card), true);
        // Inside this turn: the Plug and Play manager directly, not the machine's plug, which takes the turn.
        active_->node = &pnp.plug(driver, active_->name, active_->usb.get());
        node = active_->node;
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
    machine.give_turn();
    return failure;
}

void Rig::check_quiet(const std::string& step) { machine.check_quiet(*active_, step); }

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
