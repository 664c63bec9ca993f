// The scenarios: card events, sleep and resume, APDUs of every case, reset and ATR, PIN entry direct and in steps, stop and start, surprise removal, removal.
#include "scenarios.h"

#include "reader/cards/card_factory.h"
#include "reader/cards/iso_card.h"

namespace sim::reliability {

void Context::expect(bool holds, const std::string& what) {
    if (!holds && undisturbed_) findings_.push_back({"expectation", what});
}

namespace {

using Bytes = std::vector<uint8_t>;

constexpr ULONG kAtrRoom = 64;
constexpr ULONG kReplyRoom = 300;

std::shared_ptr<Card> card(std::string_view name) { return std::shared_ptr<Card>(make_card(name)); }

bool ends_with_sw(const IoResult& result, uint8_t sw1, uint8_t sw2) {
    const Bytes& out = result.output;
    return result.status == STATUS_SUCCESS && out.size() >= 2 && out[out.size() - 2] == sw1 && out.back() == sw2;
}

// Starts the reader with the card (if any) already in the slot, which the start finds with its status request.
Handle start_with(Rig& rig, Context& c, std::shared_ptr<Card> in_slot, const std::string& step) {
    if (in_slot) rig.insert_card_quietly(std::move(in_slot));
    NTSTATUS started = rig.start();
    c.expect(started == STATUS_SUCCESS, step + ": start returned " + status_name(started));
    Handle handle = rig.open(step);
    c.expect(handle.valid(), step + ": the reader could not be opened");
    rig.check_quiet(step);
    return handle;
}

// Cold reset and protocol selection: the card ready for APDUs.
void power_up(Rig& rig, Context& c, Handle& h, const std::string& step) {
    IoResult atr = rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, step + " reset");
    c.expect(atr.status == STATUS_SUCCESS && !atr.output.empty(), step + ": cold reset ended with " + status_name(atr.status));
    IoResult protocol = rig.ioctl(h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1),
                                  sizeof(ULONG), step + " protocol");
    c.expect(protocol.status == STATUS_SUCCESS, step + ": protocol selection ended with " + status_name(protocol.status));
}

IoResult transmit(Rig& rig, Handle& h, const Bytes& apdu, const std::string& step, ULONG room = kReplyRoom) {
    return rig.ioctl(h, IOCTL_SMARTCARD_TRANSMIT, transmit_request(apdu), room, step);
}

ULONG card_state(Rig& rig, Handle& h, const std::string& step) {
    IoResult state = rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), step);
    if (state.status != STATUS_SUCCESS || state.output.size() < 4) return 0;
    return state.output[0] | state.output[1] << 8 | state.output[2] << 16 | static_cast<ULONG>(state.output[3]) << 24;
}

// ---- Start and card events ---------------------------------------------------------------------------------

void card_events(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, nullptr, "start");
    c.expect(card_state(rig, h, "state before") == SCARD_ABSENT, "no card: the state is not SCARD_ABSENT");
    for (int round = 0; round < 2; ++round) {
        const std::string r = "round " + std::to_string(round + 1);
        auto present = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, r + " is-present");
        rig.delay_ms(5);
        rig.insert_card(card("iso"));
        rig.wait(present);
        c.expect(present && present->status() == STATUS_SUCCESS, r + ": the insertion did not end IS_PRESENT");
        rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), r + " state");
        auto absent = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, r + " is-absent");
        rig.delay_ms(3);
        rig.remove_card();
        rig.wait(absent);
        c.expect(absent && absent->status() == STATUS_SUCCESS, r + ": the removal did not end IS_ABSENT");
        rig.check_quiet(r);
    }
    // A second handle's tracking request, then a close of the first handle: cleanup cancels it.
    Handle other = rig.open("second handle");
    auto waiting = rig.ioctl_async(other, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, "tracking at cleanup");
    auto busy = rig.ioctl(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, "second tracking request");
    rig.close(h);
    rig.wait(waiting);
    c.expect(waiting && waiting->status() == STATUS_CANCELLED, "cleanup did not cancel the tracking request");
    // CancelIo on a pending tracking request.
    auto cancelled = rig.ioctl_async(other, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, "tracking cancelled");
    if (cancelled) cancelled->cancel();
    rig.wait(cancelled);
    rig.check_quiet("after cancel");
    (void)busy;
}

// ---- Sleep and resume -----------------------------------------------------------------------------------------

void sleep_resume(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "before sleep");
    auto absent = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking over sleep");
    NTSTATUS slept = rig.sleep_and_wake(PowerSystemSleeping3);
    c.expect(slept == STATUS_SUCCESS, "sleep and wake returned " + status_name(slept));
    // The card was powered down with the reader: a fresh reset brings it back.
    power_up(rig, c, h, "after wake");
    IoResult select = transmit(rig, h, {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, "select after wake");
    c.expect(ends_with_sw(select, 0x90, 0x00), "select after wake ended with " + status_name(select.status));
    // The card leaves while the machine sleeps; the reader cannot report it, the power-up's status request finds it.
    rig.sleep_and_wake(PowerSystemSleeping3, [&] { rig.reader.set_mode(Reader::Mode::scripted); rig.remove_card(); rig.reader.set_mode(Reader::Mode::automatic); });
    rig.delay_ms(50);
    rig.wait(absent);
    c.expect(absent && absent->done(), "the card left during sleep and IS_ABSENT is still waiting");
    c.expect(card_state(rig, h, "state after") == SCARD_ABSENT, "the card left during sleep and the state says otherwise");
    rig.check_quiet("after second wake");
}

// ---- APDUs of every case --------------------------------------------------------------------------------------

void apdus(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "power");
    struct Case {
        const char* what;
        Bytes apdu;
        uint8_t sw1, sw2;
    };
    const Case cases[] = {
        {"case 3 select MF", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}, 0x90, 0x00},
        {"case 4 select by name", {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x54, 0x41, 0x56, 0x45, 0x4C, 0x4F, 0x01, 0x00}, 0x90, 0x00},
        {"case 3 select EF", {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x50, 0x01}, 0x90, 0x00},
        {"case 2 read", {0x00, 0xB0, 0x00, 0x00, 0x10}, 0x90, 0x00},
        {"case 3 update", {0x00, 0xD6, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04}, 0x90, 0x00},
        {"case 2 read 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, 0x62, 0x82},
        {"case 1 verify status", {0x00, 0x20, 0x00, 0x01}, 0x63, 0xC3},
        {"case 2 challenge", {0x00, 0x84, 0x00, 0x00, 0x08}, 0x90, 0x00},
        {"identify reader", {0x80, 0x12, 0x00, 0x01, 0x00}, 0x90, 0x00},
        {"management other", {0x80, 0x12, 0x05, 0x05}, 0x6A, 0x86},
        {"unknown class", {0xA0, 0xB0, 0x00, 0x00, 0x01}, 0x6E, 0x00},
    };
    for (const Case& one : cases) {
        IoResult result = transmit(rig, h, one.apdu, one.what);
        c.expect(ends_with_sw(result, one.sw1, one.sw2), std::string(one.what) + " ended with " +
                                                             status_name(result.status));
    }
    IoResult store = transmit(rig, h, {0x80, 0x12, 0x02, 0x01, 0x03, 0xAA, 0xBB, 0xCC}, "management store");
    IoResult fetch = transmit(rig, h, {0x80, 0x12, 0x03, 0x01, 0x00}, "management fetch");
    c.expect(store.status == STATUS_SUCCESS && fetch.status == STATUS_SUCCESS, "management APDUs failed");
    IoResult short_one = transmit(rig, h, {0x00, 0xA4, 0x00}, "too short");
    c.expect(ends_with_sw(short_one, 0x67, 0x00), "a 3-byte APDU did not give 67 00");
    IoResult mismatch = transmit(rig, h, {0x00, 0xA4, 0x00, 0x00, 0x05, 0x3F}, "length mismatch");
    c.expect(mismatch.status != STATUS_SUCCESS, "an APDU of no case was carried out");
    transmit(rig, h, {0x00, 0xB0, 0x00, 0x00, 0x10}, "reply room too small", 12);
    rig.ioctl(h, IOCTL_SMARTCARD_TRANSMIT, {0x02, 0x00, 0x00}, kReplyRoom, "header cut short");
    // A batch in flight from two handles at once.
    Handle second = rig.open("second handle");
    auto a = rig.ioctl_async(h, IOCTL_SMARTCARD_TRANSMIT, transmit_request({0x00, 0x84, 0x00, 0x00, 0x04}), kReplyRoom, "concurrent 1");
    auto b = rig.ioctl_async(second, IOCTL_SMARTCARD_TRANSMIT, transmit_request({0x00, 0xB0, 0x00, 0x00, 0x02}), kReplyRoom, "concurrent 2");
    rig.wait(a);
    rig.wait(b);
    IoResult down = rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, "power down");
    c.expect(down.status == STATUS_SUCCESS, "power down ended with " + status_name(down.status));
    rig.check_quiet("end");
}

// ---- Reset and ATR ---------------------------------------------------------------------------------------------

void reset_atr(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    IoResult cold = rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, "cold reset");
    c.expect(cold.status == STATUS_SUCCESS && cold.output == preset_atr::iso, "cold reset did not return the ATR");
    IoResult warm = rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), kAtrRoom, "warm reset");
    c.expect(warm.status == STATUS_SUCCESS && warm.output == preset_atr::iso, "warm reset did not return the ATR");
    IoResult attribute = rig.ioctl(h, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ATR_STRING), kAtrRoom, "ATR attribute");
    c.expect(attribute.status == STATUS_SUCCESS && attribute.output == preset_atr::iso, "the ATR attribute differs");
    rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 4, "ATR room too small");
    rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, "power down");
    struct Swap {
        const char* card;
        bool accepted;
    };
    const Swap swaps[] = {{"iso-t0", true}, {"iso-long-atr", true}, {"iso-7", true}, {"iso-inverse", true},
                          {"bad-tck", false}, {"long-atr", false}, {"mute", false}};
    for (const Swap& swap : swaps) {
        // As the resource manager follows a card change: wait for the removal, then for the insertion.
        auto absent = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, std::string(swap.card) + " is-absent");
        rig.remove_card();
        rig.wait(absent);
        auto present = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, std::string(swap.card) + " is-present");
        rig.insert_card(card(swap.card));
        rig.wait(present);
        IoResult reset = rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom,
                                   std::string(swap.card) + " reset");
        c.expect((reset.status == STATUS_SUCCESS) == swap.accepted,
                 std::string(swap.card) + ": reset ended with " + status_name(reset.status));
    }
    rig.check_quiet("end");
}

// ---- PIN entry -------------------------------------------------------------------------------------------------

void pin_direct(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "power");
    rig.pinpad->keypad->queue_person(Person::typing("1234"));
    IoResult right = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "right PIN");
    c.expect(ends_with_sw(right, 0x90, 0x00), "the right PIN was not accepted: " + status_name(right.status));
    rig.pinpad->keypad->queue_person(Person::correcting("1234"));
    IoResult corrected = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "corrected PIN");
    c.expect(ends_with_sw(corrected, 0x90, 0x00), "the corrected PIN was not accepted");
    rig.pinpad->keypad->queue_person(Person::cancelling());
    IoResult cancelled = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "cancelled PIN");
    c.expect(ends_with_sw(cancelled, 0x64, 0x01), "a cancelled entry did not give 64 01");
    rig.pinpad->keypad->queue_person(Person::never_types());
    IoResult timed_out = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(5), 2, "timed-out PIN");
    c.expect(ends_with_sw(timed_out, 0x64, 0x00), "a timed-out entry did not give 64 00");
    rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(0, 20), 2, "refused structure");
    rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 1, "reply room too small");
    rig.check_quiet("end");
}

void pin_steps(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    IoResult features = rig.ioctl(h, CM_IOCTL_GET_FEATURE_REQUEST, {}, 64, "feature list");
    c.expect(features.status == STATUS_SUCCESS && features.output.size() == 36, "the feature list is not 36 bytes");
    rig.ioctl(h, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4, "PIN properties");
    rig.ioctl(h, IOCTL_VENDOR_GET_VERSION, {}, 64, "version");
    rig.ioctl(h, IOCTL_VENDOR_COMMAND_1F, {}, 0, "vendor 1F");
    rig.ioctl(h, IOCTL_VENDOR_COMMAND_2F, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, 0, "vendor data");
    rig.ioctl(h, IOCTL_VENDOR_COMMAND_3F, {}, 0, "vendor 3F");
    power_up(rig, c, h, "power");
    rig.pinpad->keypad->queue_person(Person::typing("1234"));
    IoResult start = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "start");
    c.expect(start.status == STATUS_SUCCESS && start.output.empty(), "the start was not accepted");
    // Key polls until the entry ends: four digits and the validation key, then nothing more to report.
    for (int poll = 0; poll < 8; ++poll) {
        IoResult key = rig.ioctl(h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "key poll");
        if (key.status != STATUS_SUCCESS || key.output.empty() || key.output[0] == 0x0D) break;
    }
    IoResult finish = rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "finish");
    c.expect(ends_with_sw(finish, 0x90, 0x00), "the finish did not give 90 00: " + status_name(finish.status));
    rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "finish with nothing to finish");
    // Started, then aborted while the person types.
    rig.pinpad->keypad->queue_person(Person::typing("12345678", false, from_ms(800)));
    rig.ioctl(h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "second start");
    rig.ioctl(h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll before abort");
    IoResult abort = rig.ioctl(h, IOCTL_FEATURE_ABORT, {}, 3, "abort");
    c.expect(abort.status == STATUS_SUCCESS, "the abort ended with " + status_name(abort.status));
    rig.ioctl(h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll after abort");
    rig.ioctl(h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 0, "poll without room");
    // A shutdown notice while nothing waits, and a tracking request alongside the PIN work.
    rig.pnp.shutdown();
    rig.check_quiet("end");
}

// ---- Stop and start ----------------------------------------------------------------------------------------------

void stop_start(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "power");
    auto tracking = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking over stop");
    NTSTATUS stopped = rig.stop();
    c.expect(stopped == STATUS_SUCCESS, "stop returned " + status_name(stopped));
    IoResult refused = transmit(rig, h, {0x00, 0x84, 0x00, 0x00, 0x08}, "transmit while stopped");
    c.expect(refused.status == STATUS_DEVICE_REMOVED, "a transmit while stopped ended with " + status_name(refused.status));
    NTSTATUS restarted = rig.start();
    c.expect(restarted == STATUS_SUCCESS, "restart returned " + status_name(restarted));
    // The start reads the card status anew: the card counts as unpowered, so the tracking request that waited
    // across the stop is completed and the resource manager powers the card again.
    rig.wait(tracking);
    c.expect(tracking && tracking->status() == STATUS_SUCCESS, "the tracking request over the stop was not served");
    power_up(rig, c, h, "power after restart");
    IoResult challenge = transmit(rig, h, {0x00, 0x84, 0x00, 0x00, 0x08}, "transmit after restart");
    c.expect(ends_with_sw(challenge, 0x90, 0x00), "the first transmit after the restart ended with " +
                                                      status_name(challenge.status));
    // Card events are seen again: the card leaves, and a new tracking request learns of it.
    auto absent = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking after restart");
    rig.remove_card();
    rig.wait(absent);
    c.expect(absent && absent->status() == STATUS_SUCCESS, "the removal after the restart did not end IS_ABSENT");
    c.expect(card_state(rig, h, "state after removal") == SCARD_ABSENT, "the card left and the state says otherwise");
    rig.close(h);
    h = rig.open("reopened");
    NTSTATUS veto = rig.query_remove_then_cancel();
    c.expect(veto == STATUS_SUCCESS, "query-remove then cancel returned " + status_name(veto));
    rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state after cancelled removal");
    rig.check_quiet("end");
}

// ---- Surprise removal and removal -------------------------------------------------------------------------------

void surprise_removal(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "power");
    Handle other = rig.open("second handle");
    auto tracking = rig.ioctl_async(other, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking at unplug");
    rig.pinpad->keypad->queue_person(Person::typing("1234", true, from_ms(2'000)));
    auto pin = rig.ioctl_async(h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "PIN entry at unplug");
    rig.delay_ms(1'500);
    NTSTATUS gone = rig.surprise_removal();
    c.expect(gone == STATUS_SUCCESS, "surprise removal returned " + status_name(gone));
    rig.wait(tracking);
    rig.wait(pin);
    IoResult after = transmit(rig, h, {0x00, 0x84, 0x00, 0x00, 0x08}, "transmit after unplug");
    c.expect(after.status == STATUS_DEVICE_REMOVED || after.status == STATUS_NO_SUCH_DEVICE,
             "a transmit after the unplug ended with " + status_name(after.status));
    rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state after unplug");
}

void removal(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, "power");
    auto tracking = rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking at removal");
    transmit(rig, h, {0x00, 0x84, 0x00, 0x00, 0x08}, "transmit before removal");
    // The handle closes (the resource manager lets go), then the Plug and Play manager removes the device.
    rig.close(h);
    rig.wait(tracking);
    c.expect(tracking && tracking->status() == STATUS_CANCELLED, "the tracking request did not end at cleanup");
    rig.teardown();
    c.expect(rig.removal_finished(), "the removal did not finish");
}

}  // namespace

const std::vector<Scenario>& scenarios() {
    static const auto* list = new std::vector<Scenario>{
        {"card-events", "start; card insertions and removals with presence tracking; cleanup and CancelIo of tracking", card_events},
        {"sleep-resume", "a powered card across system sleep and wake; the card leaves while asleep", sleep_resume},
        {"apdus", "APDUs of cases 1 to 4, management APDUs, malformed ones, two handles at once", apdus},
        {"reset-atr", "cold and warm reset, the ATR attribute, cards with odd, bad, long and no ATRs", reset_atr},
        {"pin-direct", "PIN verification in one request: right, corrected, cancelled, timed out, refused", pin_direct},
        {"pin-steps", "feature list, properties, vendor commands, PIN start/key polls/finish, abort, shutdown", pin_steps},
        {"stop-start", "stop and restart with a tracking request outstanding; query-remove called off", stop_start},
        {"surprise-removal", "the reader pulled out during a PIN entry with tracking outstanding", surprise_removal},
        {"removal", "handles closed, then the device removed", removal},
    };
    return *list;
}

const Scenario* find_scenario(std::string_view name) {
    for (const Scenario& scenario : scenarios()) {
        if (name == scenario.name) return &scenario;
    }
    return nullptr;
}

}  // namespace sim::reliability
