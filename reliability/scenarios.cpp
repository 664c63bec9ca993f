// The scenarios: card events, sleep and resume, APDUs of every case, reset and ATR, PIN entry direct and in steps, stop and start, surprise removal, removal; and one regression story per driver fault found, each with every request's result predicted.
#include "scenarios.h"

#include <algorithm>

#include "reader/card_commands.h"
#include "reader/cards/card_factory.h"
#include "reader/cards/iso_card.h"

namespace sim::reliability {

// ---- Predictions ------------------------------------------------------------------------------------------------

Predicted Predicted::success_with(Bytes reply) {
    Predicted p;
    p.replies.push_back(std::move(reply));
    return p;
}

Predicted Predicted::success_with_one_of(std::vector<Bytes> replies) {
    Predicted p;
    p.replies = std::move(replies);
    return p;
}

Predicted Predicted::success_ending(Bytes tail) {
    Predicted p;
    p.ends_with = std::move(tail);
    return p;
}

Predicted Predicted::success_where(std::function<bool(const Bytes&)> holds, std::string text) {
    Predicted p;
    p.reply_holds = std::move(holds);
    p.reply_text = std::move(text);
    return p;
}

Predicted Predicted::failure(NTSTATUS status) {
    Predicted p;
    p.status = status;
    return p;
}

Predicted Predicted::some_failure() {
    Predicted p;
    p.any_failure = true;
    return p;
}

Predicted Predicted::state(std::initializer_list<ULONG> states) {
    Predicted p;
    for (ULONG state : states) p.replies.push_back(ulong_bytes(state));
    return p;
}

std::string Predicted::describe() const {
    std::string text = any_failure ? std::string("a failure status") : status_name(status);
    if (or_failure) text += " or a failure status";
    if (!replies.empty()) {
        text += " with ";
        for (size_t i = 0; i < replies.size(); ++i) {
            text += (i ? " or " : "") + (replies[i].size() == 4 && replies[i][0] <= 6 && !replies[i][1] && !replies[i][2]
                                             ? card_state_name(replies[i][0]) + " (" + hex(replies[i]) + ")"
                                             : hex(replies[i]));
        }
    }
    if (ends_with) text += " ending with " + hex(*ends_with);
    if (reply_holds) text += " with " + reply_text;
    return text;
}

bool Predicted::holds(NTSTATUS seen, const Bytes& reply) const {
    if (NT_ERROR(seen) && (any_failure || or_failure)) return true;
    if (any_failure || seen != status) return false;
    if (!replies.empty() && std::find(replies.begin(), replies.end(), reply) == replies.end()) return false;
    if (ends_with && (reply.size() < ends_with->size() ||
                      !std::equal(ends_with->begin(), ends_with->end(), reply.end() - ends_with->size()))) {
        return false;
    }
    return !reply_holds || reply_holds(reply);
}

void Context::expect(bool holds, const std::string& what) {
    if (!holds && undisturbed_) findings_.push_back({"expectation", what});
}

void Context::expect_result(const std::shared_ptr<PendingRequest>& request, const Predicted& predicted,
                            const std::string& what) {
    if (!request) {
        expect(false, what + ": the request could not be sent (no handle)");
        return;
    }
    predicted_.insert(request.get());
    if (!request->done()) {
        expect(false, what + ": expected " + predicted.describe() + ", the request is still outstanding");
        return;
    }
    const IoResult result = request->result();
    expect(predicted.holds(result.status, result.output),
           what + ": expected " + predicted.describe() + ", saw " + status_name(result.status) + " with " +
               hex(result.output));
}

void Context::expect_all_predicted(const std::vector<LoggedRequest>& logged, size_t count) {
    for (size_t i = 0; i < count && i < logged.size(); ++i) {
        if (!predicted_.count(logged[i].request.get())) {
            expect(false, logged[i].step + ": " + ioctl_name(logged[i].code) + " has no predicted result");
        }
    }
}

namespace {

constexpr ULONG kAtrRoom = 64;
constexpr ULONG kReplyRoom = 300;
const Bytes kSelectMf = {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
const Bytes kChallenge = {0x00, 0x84, 0x00, 0x00, 0x08};

std::shared_ptr<Card> card(std::string_view name) { return std::shared_ptr<Card>(make_card(name)); }

// A twin of the card in the slot, given the same resets and APDUs: the answers the scenario predicts come from the
// card model, not from what the driver happens to return.
class Twin {
   public:
    explicit Twin(std::string_view name) : card_(make_card(name)) {}
    Bytes atr(bool warm = false) { return card_->reset(warm); }
    Bytes response(const Bytes& apdu) { return card_->transmit(apdu); }
    // The transmit reply: the request's SCARD_IO_REQUEST, then the card's response.
    Bytes reply(const Bytes& apdu, ULONG protocol = SCARD_PROTOCOL_T1) {
        Bytes reply = transmit_request({}, protocol);
        const Bytes r = response(apdu);
        reply.insert(reply.end(), r.begin(), r.end());
        return reply;
    }
    // What the reader sends the card for a PIN typed into the PIN structure of pin_verify_structure().
    Bytes verify_response(std::string_view pin) {
        Bytes verify = {0x00, 0x20, 0x00, 0x01, 0x08};
        for (char digit : pin) verify.push_back(static_cast<uint8_t>(digit));
        while (verify.size() < 13) verify.push_back(0xFF);
        return response(verify);
    }

   private:
    std::unique_ptr<Card> card_;
};

// The transmit reply for an answer that the driver or the reader forms, not the card.
Bytes reply_of(const Bytes& response, ULONG protocol = SCARD_PROTOCOL_T1) {
    Bytes reply = transmit_request({}, protocol);
    reply.insert(reply.end(), response.begin(), response.end());
    return reply;
}

// One request, waited for and checked against its prediction.
IoResult call(Rig& rig, Context& c, Handle& h, ULONG code, const Bytes& input, ULONG room, const std::string& step,
              const Predicted& predicted) {
    auto request = rig.ioctl_async(h, code, input, room, step);
    rig.wait(request);
    c.expect_result(request, predicted, step);
    return request ? request->result() : IoResult{STATUS_INVALID_HANDLE, 0, {}};
}

IoResult transmit(Rig& rig, Context& c, Handle& h, const Bytes& apdu, const std::string& step, const Predicted& p,
                  ULONG room = kReplyRoom) {
    return call(rig, c, h, IOCTL_SMARTCARD_TRANSMIT, transmit_request(apdu), room, step, p);
}

void get_state(Rig& rig, Context& c, Handle& h, const std::string& step, const Predicted& p) {
    call(rig, c, h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), step, p);
}

// The state of a card that is in the slot and not powered.
Predicted unpowered_card() { return Predicted::state({SCARD_PRESENT, SCARD_SWALLOWED}); }

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

// Cold reset and protocol selection: the card ready for APDUs. The card offers T=0 and T=1; T=1 goes first, and
// the scenarios' APDUs are sent for it.
void power_up(Rig& rig, Context& c, Handle& h, Twin& twin, const std::string& step) {
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, step + " reset",
         Predicted::success_with(twin.atr()));
    call(rig, c, h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), sizeof(ULONG),
         step + " protocol", Predicted::success_with(ulong_bytes(SCARD_PROTOCOL_T1)));
}

std::shared_ptr<PendingRequest> track(Rig& rig, Handle& h, ULONG code, const std::string& step) {
    return rig.ioctl_async(h, code, {}, 0, step);
}

void ended(Rig& rig, Context& c, const std::shared_ptr<PendingRequest>& request, const std::string& step,
           const Predicted& p) {
    rig.wait(request);
    c.expect_result(request, p, step);
}

// A request that an application thread of its own sends, so that the scenario goes on while the driver works on
// it: the driver serves most requests in the sending thread, which gets control back only when they are done.
class FromThread {
   public:
    FromThread(Rig& rig, Handle handle, ULONG code, Bytes input, ULONG room, const std::string& step)
        : state_(std::make_shared<State>()) {
        auto state = state_;
        rig.k.spawn("application thread: " + step, [&rig, handle, code, input, room, step, state]() mutable {
            state->request = rig.ioctl_async(handle, code, input, room, step);
            state->sent = true;
        });
    }
    // Waits until the request has been sent and has ended; the request, or null when it could not be sent.
    std::shared_ptr<PendingRequest> finish(Rig& rig) {
        // A sending thread stuck in the driver is left to the end-of-run checks after the request limit.
        int64_t pause = 1;
        for (int64_t waited = 0; !state_->sent && waited < to_ms(kRequestLimit); waited += pause) {
            rig.delay_ms(pause);
            pause = std::min<int64_t>(pause * 2, 1'000);
        }
        if (state_->sent) rig.wait(state_->request);
        return state_->request;
    }

   private:
    struct State {
        std::shared_ptr<PendingRequest> request;
        bool sent = false;
    };
    std::shared_ptr<State> state_;
};

// ---- Start and card events ---------------------------------------------------------------------------------

void card_events(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, nullptr, "start");
    get_state(rig, c, h, "state before", Predicted::state({SCARD_ABSENT}));
    for (int round = 0; round < 2; ++round) {
        const std::string r = "round " + std::to_string(round + 1);
        auto present = track(rig, h, IOCTL_SMARTCARD_IS_PRESENT, r + " is-present");
        rig.delay_ms(5);
        rig.insert_card(card("iso"));
        ended(rig, c, present, r + " is-present", Predicted::success());
        get_state(rig, c, h, r + " state", unpowered_card());
        auto absent = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, r + " is-absent");
        rig.delay_ms(3);
        rig.remove_card();
        ended(rig, c, absent, r + " is-absent", Predicted::success());
        rig.check_quiet(r);
    }
    // A second handle's tracking request, then a close of the first handle: cleanup cancels it.
    Handle other = rig.open("second handle");
    auto waiting = track(rig, other, IOCTL_SMARTCARD_IS_PRESENT, "tracking at cleanup");
    call(rig, c, h, IOCTL_SMARTCARD_IS_PRESENT, {}, 0, "second tracking request",
         Predicted::failure(STATUS_DEVICE_BUSY));
    rig.close(h);
    ended(rig, c, waiting, "tracking at cleanup", Predicted::failure(STATUS_CANCELLED));
    // CancelIo on a pending tracking request.
    auto cancelled = track(rig, other, IOCTL_SMARTCARD_IS_PRESENT, "tracking cancelled");
    if (cancelled) cancelled->cancel();
    ended(rig, c, cancelled, "tracking cancelled", Predicted::failure(STATUS_CANCELLED));
    rig.check_quiet("after cancel");
}

// ---- Sleep and resume -----------------------------------------------------------------------------------------

void sleep_resume(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "before sleep");
    auto absent = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking over sleep");
    NTSTATUS slept = rig.sleep_and_wake(PowerSystemSleeping3);
    c.expect(slept == STATUS_SUCCESS, "sleep and wake returned " + status_name(slept));
    // The card was powered down with the reader: a fresh reset brings it back.
    power_up(rig, c, h, twin, "after wake");
    transmit(rig, c, h, kSelectMf, "select after wake", Predicted::success_with(twin.reply(kSelectMf)));
    // The card leaves while the machine sleeps; the reader cannot report it, the power-up's status request finds it.
    rig.sleep_and_wake(PowerSystemSleeping3, [&] { rig.reader.set_mode(Reader::Mode::scripted); rig.remove_card(); rig.reader.set_mode(Reader::Mode::automatic); });
    rig.delay_ms(50);
    // Completed at the first wake (the card found then may be another) or at the second (the card is gone).
    ended(rig, c, absent, "tracking over sleep", Predicted::success());
    get_state(rig, c, h, "state after", Predicted::state({SCARD_ABSENT}));
    rig.check_quiet("after second wake");
}

// ---- APDUs of every case --------------------------------------------------------------------------------------

void apdus(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    struct Case {
        const char* what;
        Bytes apdu;
        uint8_t sw1, sw2;  // what the card answers, as a cross-check of the card model
    };
    const Case cases[] = {
        {"case 3 select MF", kSelectMf, 0x90, 0x00},
        {"case 4 select by name", {0x00, 0xA4, 0x04, 0x00, 0x08, 0xF0, 0x54, 0x41, 0x56, 0x45, 0x4C, 0x4F, 0x01, 0x00}, 0x90, 0x00},
        {"case 3 select EF", {0x00, 0xA4, 0x02, 0x0C, 0x02, 0x50, 0x01}, 0x90, 0x00},
        {"case 2 read", {0x00, 0xB0, 0x00, 0x00, 0x10}, 0x90, 0x00},
        {"case 3 update", {0x00, 0xD6, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04}, 0x90, 0x00},
        {"case 2 read 256", {0x00, 0xB0, 0x00, 0x00, 0x00}, 0x62, 0x82},
        {"case 1 verify status", {0x00, 0x20, 0x00, 0x01}, 0x63, 0xC3},
        {"case 2 challenge", kChallenge, 0x90, 0x00},
        {"unknown class", {0xA0, 0xB0, 0x00, 0x00, 0x01}, 0x6E, 0x00},
    };
    for (const Case& one : cases) {
        const Bytes reply = twin.reply(one.apdu);
        c.expect(reply.size() >= 2 && reply[reply.size() - 2] == one.sw1 && reply.back() == one.sw2,
                 std::string(one.what) + ": the card model answers " + hex(reply));
        transmit(rig, c, h, one.apdu, one.what, Predicted::success_with(reply));
    }
    // The reader's own APDUs: its identification, and its management store, which gives back what it stored.
    transmit(rig, c, h, {0x80, 0x12, 0x00, 0x01, 0x00}, "identify reader", Predicted::success_ending({0x90, 0x00}));
    transmit(rig, c, h, {0x80, 0x12, 0x05, 0x05}, "management other", Predicted::success_with(reply_of({0x6A, 0x86})));
    transmit(rig, c, h, {0x80, 0x12, 0x02, 0x01, 0x03, 0xAA, 0xBB, 0xCC}, "management store",
             Predicted::success_ending({0x90, 0x00}));
    transmit(rig, c, h, {0x80, 0x12, 0x03, 0x01, 0x00}, "management fetch",
             Predicted::success_with(reply_of({0xC1, 0x03, 0xAA, 0xBB, 0xCC, 0x90, 0x00})));
    // Malformed requests: no short APDU (the card's answer for it), an APDU of no case, too little reply room, a
    // request header cut short.
    transmit(rig, c, h, {0x00, 0xA4, 0x00}, "too short", Predicted::success_with(reply_of({0x67, 0x00})));
    transmit(rig, c, h, {0x00, 0xA4, 0x00, 0x00, 0x05, 0x3F}, "length mismatch",
             Predicted::failure(static_cast<NTSTATUS>(0xC0000048L)));
    transmit(rig, c, h, {0x00, 0xB0, 0x00, 0x00, 0x10}, "reply room too small",
             Predicted::failure(STATUS_BUFFER_TOO_SMALL), 12);
    // The read went to the card all the same (the card's answer did not fit): the twin reads too.
    twin.response({0x00, 0xB0, 0x00, 0x00, 0x10});
    call(rig, c, h, IOCTL_SMARTCARD_TRANSMIT, {0x02, 0x00, 0x00}, kReplyRoom, "header cut short",
         Predicted::failure(STATUS_INVALID_PARAMETER));
    // A batch in flight from two handles at once; neither answer depends on the other.
    Handle second = rig.open("second handle");
    const Bytes challenge = {0x00, 0x84, 0x00, 0x00, 0x04};
    const Bytes read = {0x00, 0xB0, 0x00, 0x00, 0x02};
    FromThread a(rig, h, IOCTL_SMARTCARD_TRANSMIT, transmit_request(challenge), kReplyRoom, "concurrent 1");
    FromThread b(rig, second, IOCTL_SMARTCARD_TRANSMIT, transmit_request(read), kReplyRoom, "concurrent 2");
    ended(rig, c, a.finish(rig), "concurrent 1", Predicted::success_with(twin.reply(challenge)));
    ended(rig, c, b.finish(rig), "concurrent 2", Predicted::success_with(twin.reply(read)));
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, "power down", Predicted::success_with({}));
    rig.check_quiet("end");
}

// ---- Reset and ATR ---------------------------------------------------------------------------------------------

void reset_atr(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, "cold reset",
         Predicted::success_with(twin.atr()));
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_WARM_RESET), kAtrRoom, "warm reset",
         Predicted::success_with(twin.atr(true)));
    call(rig, c, h, IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(SCARD_ATTR_ATR_STRING), kAtrRoom, "ATR attribute",
         Predicted::success_with(preset_atr::iso));
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 4, "ATR room too small",
         Predicted::failure(STATUS_BUFFER_TOO_SMALL));
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, "power down", Predicted::success_with({}));
    struct Swap {
        const char* card;
        Predicted reset;
    };
    // A card whose ATR cannot be used is refused: one that never answers, or whose check byte is wrong, is no card
    // the reader can use; one whose ATR runs past the longest an ATR may be is refused with a failure status.
    const Swap swaps[] = {{"iso-t0", Predicted::success_with(Twin("iso-t0").atr())},
                          {"iso-long-atr", Predicted::success_with(Twin("iso-long-atr").atr())},
                          {"iso-7", Predicted::success_with(Twin("iso-7").atr())},
                          {"iso-inverse", Predicted::success_with(Twin("iso-inverse").atr())},
                          {"bad-tck", Predicted::failure(STATUS_UNRECOGNIZED_MEDIA)},
                          {"long-atr", Predicted::some_failure()},
                          {"mute", Predicted::failure(STATUS_UNRECOGNIZED_MEDIA)}};
    for (const Swap& swap : swaps) {
        const std::string name = swap.card;
        // As the resource manager follows a card change: wait for the removal, then for the insertion.
        auto absent = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, name + " is-absent");
        rig.remove_card();
        ended(rig, c, absent, name + " is-absent", Predicted::success());
        auto present = track(rig, h, IOCTL_SMARTCARD_IS_PRESENT, name + " is-present");
        rig.insert_card(card(swap.card));
        ended(rig, c, present, name + " is-present", Predicted::success());
        call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, name + " reset", swap.reset);
    }
    rig.check_quiet("end");
}

// ---- PIN entry -------------------------------------------------------------------------------------------------

void pin_direct(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    rig.pinpad->keypad->queue_person(Person::typing("1234"));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "right PIN",
         Predicted::success_with(twin.verify_response("1234")));
    rig.pinpad->keypad->queue_person(Person::correcting("1234"));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "corrected PIN",
         Predicted::success_with(twin.verify_response("1234")));
    rig.pinpad->keypad->queue_person(Person::cancelling());
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "cancelled PIN",
         Predicted::success_with({0x64, 0x01}));
    rig.pinpad->keypad->queue_person(Person::never_types());
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(5), 2, "timed-out PIN",
         Predicted::success_with({0x64, 0x00}));
    // At most 20 digits in an 8-byte PIN field: refused as invalid parameters before anybody types.
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(0, 20), 2, "refused structure",
         Predicted::success_with({0x6B, 0x80}));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 1, "reply room too small",
         Predicted::failure(STATUS_BUFFER_TOO_SMALL));
    rig.check_quiet("end");
}

// The six PC/SC feature codes this reader announces, each as tag, length 4 and the code, most significant byte
// first, in any order.
bool feature_list(const Bytes& reply) {
    const std::pair<uint8_t, ULONG> features[] = {
        {0x01, IOCTL_FEATURE_VERIFY_PIN_START}, {0x02, IOCTL_FEATURE_VERIFY_PIN_FINISH},
        {0x05, IOCTL_FEATURE_GET_KEY_PRESSED},  {0x06, IOCTL_FEATURE_VERIFY_PIN_DIRECT},
        {0x0A, IOCTL_FEATURE_IFD_PIN_PROPERTIES}, {0x0B, IOCTL_FEATURE_ABORT},
    };
    if (reply.size() != 6 * std::size(features)) return false;
    for (const auto& [tag, code] : features) {
        const Bytes entry = {tag, 4, static_cast<uint8_t>(code >> 24), static_cast<uint8_t>(code >> 16),
                             static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
        bool found = false;
        for (size_t at = 0; at + 6 <= reply.size(); at += 6) found |= std::equal(entry.begin(), entry.end(), reply.begin() + at);
        if (!found) return false;
    }
    return true;
}

void pin_steps(Rig& rig, Context& c) {
    Twin twin("iso");
    const PinpadOptions reader_options;
    Handle h = start_with(rig, c, card("iso"), "start");
    call(rig, c, h, CM_IOCTL_GET_FEATURE_REQUEST, {}, 64, "feature list",
         Predicted::success_where(feature_list, "the six feature codes"));
    // wLcdLayout and bTimeOut2 are the reader's; bEntryValidationCondition is the driver's to say.
    const Bytes& capability = reader_options.capability;
    call(rig, c, h, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4, "PIN properties",
         Predicted::success_where(
             [&](const Bytes& r) { return r.size() == 4 && r[0] == capability[1] && r[1] == capability[2] && r[3] == capability[3]; },
             "the reader's LCD layout " + hex({capability[1], capability[2]}) + " and time-out " + hex({capability[3]})));
    call(rig, c, h, IOCTL_VENDOR_GET_VERSION, {}, 64, "version",
         Predicted::success_where(
             [&](const Bytes& r) {
                 return r.size() > reader_options.version.size() &&
                        std::equal(reader_options.version.begin(), reader_options.version.end(), r.begin());
             },
             "the reader's version text '" + reader_options.version + "' first"));
    call(rig, c, h, IOCTL_VENDOR_COMMAND_1F, {}, 0, "vendor 1F", Predicted::success_with({}));
    call(rig, c, h, IOCTL_VENDOR_COMMAND_2F, {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07}, 0, "vendor data",
         Predicted::success_with({}));
    call(rig, c, h, IOCTL_VENDOR_COMMAND_3F, {}, 0, "vendor 3F", Predicted::success_with({}));
    power_up(rig, c, h, twin, "power");
    rig.pinpad->keypad->queue_person(Person::typing("1234"));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "start", Predicted::success_with({}));
    // Key polls until the entry ends: four digits, then the validation key.
    for (int poll = 0; poll < 5; ++poll) {
        call(rig, c, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "key poll " + std::to_string(poll + 1),
             Predicted::success_with({static_cast<uint8_t>(poll < 4 ? key_code::digit : key_code::validate)}));
    }
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "finish",
         Predicted::success_with(twin.verify_response("1234")));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "finish with nothing to finish",
         Predicted::failure(STATUS_INVALID_DEVICE_REQUEST));
    // Started, then aborted while the person types.
    rig.pinpad->keypad->queue_person(Person::typing("12345678", false, from_ms(800)));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "second start",
         Predicted::success_with({}));
    call(rig, c, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll before abort", Predicted::success_with({key_code::digit}));
    call(rig, c, h, IOCTL_FEATURE_ABORT, {}, 3, "abort", Predicted::success());
    call(rig, c, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll after abort",
         Predicted::failure(STATUS_INVALID_DEVICE_REQUEST));
    call(rig, c, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 0, "poll without room", Predicted::failure(STATUS_BUFFER_TOO_SMALL));
    // A shutdown notice while nothing waits.
    rig.pnp.shutdown();
    rig.check_quiet("end");
}

// ---- Stop and start ----------------------------------------------------------------------------------------------

void stop_start(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    auto tracking = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking over stop");
    NTSTATUS stopped = rig.stop();
    c.expect(stopped == STATUS_SUCCESS, "stop returned " + status_name(stopped));
    transmit(rig, c, h, kChallenge, "transmit while stopped", Predicted::failure(STATUS_DEVICE_REMOVED));
    NTSTATUS restarted = rig.start();
    c.expect(restarted == STATUS_SUCCESS, "restart returned " + status_name(restarted));
    // After the restart the channel is as a first start leaves it: each command gets its own answer at once.
    power_up(rig, c, h, twin, "power after restart");
    transmit(rig, c, h, kChallenge, "transmit after restart", Predicted::success_with(twin.reply(kChallenge)));
    transmit(rig, c, h, kSelectMf, "second transmit after restart", Predicted::success_with(twin.reply(kSelectMf)));
    // The tracking request from before the stop is served: the removal ends it.
    c.expect(tracking && !tracking->done(), "the tracking request from before the stop ended before the removal");
    rig.remove_card();
    ended(rig, c, tracking, "tracking over stop", Predicted::success());
    get_state(rig, c, h, "state after the removal", Predicted::state({SCARD_ABSENT}));
    rig.close(h);
    h = rig.open("reopened");
    NTSTATUS veto = rig.query_remove_then_cancel();
    c.expect(veto == STATUS_SUCCESS, "query-remove then cancel returned " + status_name(veto));
    get_state(rig, c, h, "state after cancelled removal", Predicted::state({SCARD_ABSENT}));
    rig.check_quiet("end");
}

// ---- Surprise removal and removal -------------------------------------------------------------------------------

void surprise_removal(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    Handle other = rig.open("second handle");
    auto tracking = track(rig, other, IOCTL_SMARTCARD_IS_ABSENT, "tracking at unplug");
    rig.pinpad->keypad->queue_person(Person::typing("1234", true, from_ms(2'000)));
    FromThread pin(rig, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "PIN entry at unplug");
    rig.delay_ms(1'500);
    NTSTATUS gone = rig.surprise_removal();
    c.expect(gone == STATUS_SUCCESS, "surprise removal returned " + status_name(gone));
    // The resource manager learns from the tracking request's completion that the reader is going.
    ended(rig, c, tracking, "tracking at unplug", Predicted::success());
    ended(rig, c, pin.finish(rig), "PIN entry at unplug", Predicted::some_failure());
    transmit(rig, c, h, kChallenge, "transmit after unplug", Predicted::failure(STATUS_DEVICE_REMOVED));
    get_state(rig, c, h, "state after unplug", Predicted::failure(STATUS_DEVICE_REMOVED));
}

void removal(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    auto tracking = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking at removal");
    transmit(rig, c, h, kChallenge, "transmit before removal", Predicted::success_with(twin.reply(kChallenge)));
    // The handle closes (the resource manager lets go), then the Plug and Play manager removes the device.
    rig.close(h);
    ended(rig, c, tracking, "tracking at removal", Predicted::failure(STATUS_CANCELLED));
    rig.teardown();
    c.expect(rig.removal_finished(), "the removal did not finish");
}

// ---- Regressions: one story per driver fault found ------------------------------------------------------------

// A background read that the bus fails (here the read that a tracking request posts) is reported to the request
// it concerns, and the next exchange tries the reader again.
void read_failure_then_apdu(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    rig.k.set_fault(FaultSite::bus_transfer, FaultPlan{1, 0, false});
    auto tracking = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking whose read fails");
    rig.delay_ms(20);
    c.expect(rig.k.faults_injected() == 1, "the background read was not the transfer that failed");
    transmit(rig, c, h, kSelectMf, "APDU after the failed read", Predicted::success_with(twin.reply(kSelectMf)));
    transmit(rig, c, h, kChallenge, "second APDU after the failed read", Predicted::success_with(twin.reply(kChallenge)));
    // The tracking request that relied on the failed read was completed (its owner looks at the state again and
    // asks anew, which posts a new read), or still waits and sees the removal.
    if (tracking && tracking->done()) {
        ended(rig, c, tracking, "tracking whose read fails", Predicted::success());
        tracking = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking after the failed read");
        rig.delay_ms(20);
    }
    rig.remove_card();
    ended(rig, c, tracking, "removal seen", Predicted::success());
    get_state(rig, c, h, "state after the removal", Predicted::state({SCARD_ABSENT}));
}

// Stopped, the machine sleeps and wakes, then the device starts again: a started device is a powered one, so the
// insertion is seen and the reset works.
void stop_sleep_start(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, nullptr, "start");
    c.expect(rig.stop() == STATUS_SUCCESS, "the stop failed");
    NTSTATUS slept = rig.sleep_and_wake(PowerSystemSleeping3);
    c.expect(slept == STATUS_SUCCESS, "sleep and wake while stopped returned " + status_name(slept));
    c.expect(rig.start() == STATUS_SUCCESS, "the start after the wake failed");
    auto present = track(rig, h, IOCTL_SMARTCARD_IS_PRESENT, "insertion after the start");
    rig.delay_ms(5);
    rig.insert_card(card("iso"));
    ended(rig, c, present, "insertion after the start", Predicted::success());
    get_state(rig, c, h, "state after the insertion", unpowered_card());
    power_up(rig, c, h, twin, "power after the start");
    transmit(rig, c, h, kSelectMf, "APDU after the start", Predicted::success_with(twin.reply(kSelectMf)));
}

// A PIN verification start with the slot empty ends with STATUS_NO_MEDIA; the slot is known empty, so the state
// stays SCARD_ABSENT and the tracking request keeps waiting for a card.
void pin_start_without_card(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, nullptr, "start");
    auto present = track(rig, h, IOCTL_SMARTCARD_IS_PRESENT, "tracking with the slot empty");
    rig.pinpad->keypad->queue_person(Person::never_types());
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "PIN start without a card",
         Predicted::failure(STATUS_NO_MEDIA));
    rig.settle(kRequestLimit);
    c.expect(present && !present->done(), "the PIN start with the slot empty ended the tracking request");
    get_state(rig, c, h, "state after the PIN start", Predicted::state({SCARD_ABSENT}));
    rig.insert_card(card("iso"));
    ended(rig, c, present, "tracking with the slot empty", Predicted::success());
    power_up(rig, c, h, twin, "power");
}

// Protocol selection without a card, and with a mask the card cannot run, is refused and changes no state.
void protocol_refused(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, nullptr, "start");
    call(rig, c, h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), sizeof(ULONG),
         "protocol without a card", Predicted::some_failure());
    get_state(rig, c, h, "state after the refusal", Predicted::state({SCARD_ABSENT}));
    auto present = track(rig, h, IOCTL_SMARTCARD_IS_PRESENT, "tracking after the refusal");
    rig.settle(kRequestLimit);
    c.expect(present && !present->done(), "with the slot empty, IS_PRESENT ended before any card came");
    Twin twin("iso-t0");
    rig.insert_card(card("iso-t0"));
    ended(rig, c, present, "tracking after the refusal", Predicted::success());
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, "reset",
         Predicted::success_with(twin.atr()));
    // A card reset and not yet given a protocol: this driver reports it present until a protocol is selected.
    const Predicted reset_state = Predicted::state({SCARD_PRESENT, SCARD_POWERED, SCARD_NEGOTIABLE});
    IoResult before = call(rig, c, h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state after the reset", reset_state);
    call(rig, c, h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), sizeof(ULONG),
         "T=1 for a T=0 card", Predicted::some_failure());
    call(rig, c, h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state after the refused mask",
         Predicted::success_with(before.output));
    call(rig, c, h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), sizeof(ULONG),
         "a mask with the card's protocol", Predicted::success_with(ulong_bytes(SCARD_PROTOCOL_T0)));
    call(rig, c, h, IOCTL_SMARTCARD_TRANSMIT, transmit_request(kSelectMf, SCARD_PROTOCOL_T0), kReplyRoom,
         "APDU under T=0", Predicted::success_with(twin.reply(kSelectMf, SCARD_PROTOCOL_T0)));
}

// A reset whose reply room cannot hold the ATR leaves card tracking as every other reset does: the removal after
// it ends the pending IS_ABSENT.
void small_atr_room_then_removal(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    auto absent = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking over the reset");
    call(rig, c, h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 4, "reset with 4 bytes of room",
         Predicted::failure(STATUS_BUFFER_TOO_SMALL));
    rig.delay_ms(20);
    rig.remove_card();
    ended(rig, c, absent, "tracking over the reset", Predicted::success());
    get_state(rig, c, h, "state after the removal", Predicted::state({SCARD_ABSENT}));
}

// The reader refuses a PIN verification start with an error of its own (not invalid parameters): the application
// is told with a failure status, and no PIN entry is left to poll.
void pin_start_error_answer(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    rig.reader.set_handler(PacketKind::header, pinpad_command::verify_start, [](Reader& r, const ReaderCommand&) {
        r.send_answer(answer_kind::error, {reader_error::card_status_word, 0x69, 0x82});
    });
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "start the reader refuses",
         Predicted::some_failure());
    call(rig, c, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll after the refused start",
         Predicted::failure(STATUS_INVALID_DEVICE_REQUEST));
    rig.reinstall_pinpad_commands();
    rig.active_pinpad().keypad->queue_person(Person::typing("1234"));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "PIN after the refused start",
         Predicted::success_with(twin.verify_response("1234")));
}

// A direct verification that ends with 6B 80 because the card is not ready (not reset) ends the reader's entry
// too: no PIN entry is left prompting, and a finish has nothing to send to the card.
void pin_direct_card_not_ready(Rig& rig, Context& c) {
    Handle h = start_with(rig, c, card("iso"), "start");
    rig.pinpad->keypad->queue_person(Person::typing("12", false, from_ms(1'000)));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "PIN with the card not reset",
         Predicted::success_with({0x6B, 0x80}));
    c.expect(rig.pinpad->keypad->entry() != Keypad::Entry::entering,
             "the reader is still prompting for the PIN after the verification ended");
    rig.delay_ms(3'000);
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "finish after it",
         Predicted::failure(STATUS_INVALID_DEVICE_REQUEST));
    c.expect(rig.pinpad->verify_apdus.empty(), "a PIN was sent to the card: " +
                                                   (rig.pinpad->verify_apdus.empty() ? std::string() : hex(rig.pinpad->verify_apdus[0])));
}

// A reader answer that comes after its command gave up is not taken for the answer to the next command.
void late_answer(Rig& rig, Context& c) {
    const PinpadOptions reader_options;
    Handle h = start_with(rig, c, card("iso"), "start");
    // No tracking request and no exchange yet: the background read is not running, so the version request waits
    // for its answer with its own time limit, which the reader overruns.
    rig.reader.set_answer_delay(from_ms(11'000));
    call(rig, c, h, IOCTL_VENDOR_GET_VERSION, {}, 64, "version the reader answers late", Predicted::some_failure());
    rig.reader.set_answer_delay(rig.variation.answer_delay);
    rig.delay_ms(2'000);
    const Bytes& capability = reader_options.capability;
    call(rig, c, h, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4, "next command",
         Predicted::success_where(
             [&](const Bytes& r) { return r.size() == 4 && r[0] == capability[1] && r[1] == capability[2] && r[3] == capability[3]; },
             "its own answer: the reader's LCD layout and time-out"));
    call(rig, c, h, IOCTL_VENDOR_GET_VERSION, {}, 64, "version in time",
         Predicted::success_where(
             [&](const Bytes& r) {
                 return r.size() > reader_options.version.size() &&
                        std::equal(reader_options.version.begin(), reader_options.version.end(), r.begin());
             },
             "the reader's version text first"));
}

// A shutdown notice wakes a key poll that waits for the reader; afterwards a command with data runs as always.
void shutdown_during_key_poll(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    rig.pinpad->keypad->queue_person(Person::typing("1234", true, from_ms(2'000)));
    call(rig, c, h, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "start", Predicted::success_with({}));
    FromThread poll(rig, h, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll at shutdown");
    rig.delay_ms(500);
    rig.pnp.shutdown();
    // The woken poll ends: with the key that then comes, or with a failure.
    Predicted key = Predicted::success_with({key_code::digit});
    key.or_failure = true;
    ended(rig, c, poll.finish(rig), "poll at shutdown", key);
    call(rig, c, h, IOCTL_FEATURE_ABORT, {}, 3, "abort", Predicted::success());
    transmit(rig, c, h, kSelectMf, "APDU with data after the shutdown", Predicted::success_with(twin.reply(kSelectMf)));
}

// Reply room too small for the answer that the driver forms itself: refused with STATUS_BUFFER_TOO_SMALL (a
// 3-byte APDU, whose answer 67 00 needs 10 bytes), or with a failure (a management APDU with no card).
void short_reply_room(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    transmit(rig, c, h, {0x00, 0xA4, 0x00}, "3-byte APDU, 9 bytes of room", Predicted::failure(STATUS_BUFFER_TOO_SMALL), 9);
    auto absent = track(rig, h, IOCTL_SMARTCARD_IS_ABSENT, "tracking the removal");
    rig.remove_card();
    ended(rig, c, absent, "tracking the removal", Predicted::success());
    transmit(rig, c, h, {0x80, 0x12, 0x02, 0x01, 0x01, 0xAA}, "management APDU without a card, 9 bytes of room",
             Predicted::some_failure(), 9);
}

// The device power request cannot be made at resume (its allocation fails): the system set-power request still
// succeeds, as every system set-power request must.
void wake_without_power_request(Rig& rig, Context& c) {
    Twin twin("iso");
    Handle h = start_with(rig, c, card("iso"), "start");
    power_up(rig, c, h, twin, "power");
    const uint64_t before = rig.k.faults_injected();
    NTSTATUS woken = rig.sleep_and_wake(PowerSystemSleeping3, [&] { rig.k.set_fault(FaultSite::pool, FaultPlan{1, 0, false}); });
    rig.k.clear_faults();
    c.expect(rig.k.faults_injected() == before + 1, "no allocation failed at the wake");
    c.expect(woken == STATUS_SUCCESS, "the system set-power request ended with " + status_name(woken));
    call(rig, c, h, IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), "state after the wake", Predicted::success());
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
        {"stop-start", "stop and restart with a tracking request outstanding; APDUs after it; query-remove called off", stop_start},
        {"surprise-removal", "the reader pulled out during a PIN entry with tracking outstanding", surprise_removal},
        {"removal", "handles closed, then the device removed", removal},
    };
    return *list;
}

const std::vector<Scenario>& regression_scenarios() {
    static const auto* list = new std::vector<Scenario>{
        {"read-failure-then-apdu", "a background read the bus fails, then APDUs and a removal", read_failure_then_apdu},
        {"stop-sleep-start", "stop, sleep and wake while stopped, start; an insertion and a reset", stop_sleep_start},
        {"pin-start-without-card", "a PIN start with the slot empty leaves the state absent and tracking waiting", pin_start_without_card},
        {"protocol-refused", "protocol selection without a card and with a mask the card cannot run", protocol_refused},
        {"small-atr-room-then-removal", "a reset with too little reply room, then a card removal", small_atr_room_then_removal},
        {"pin-start-error-answer", "the reader refuses a PIN start with an error answer of its own", pin_start_error_answer},
        {"pin-direct-card-not-ready", "a direct PIN verification with the card not reset, then a finish", pin_direct_card_not_ready},
        {"late-answer", "a reader answer after its command gave up, then the next commands", late_answer},
        {"shutdown-during-key-poll", "a shutdown wakes a key poll; then a command with data", shutdown_during_key_poll},
        {"short-reply-room", "too little reply room for answers the driver forms itself", short_reply_room},
        {"wake-without-power-request", "the device power request cannot be made at resume", wake_without_power_request},
    };
    return *list;
}

namespace {
const Scenario* (*g_loader)(std::string_view) = nullptr;
}  // namespace

void set_scenario_loader(const Scenario* (*loader)(std::string_view name)) { g_loader = loader; }

const Scenario* find_scenario(std::string_view name) {
    for (const auto* list : {&scenarios(), &regression_scenarios()}) {
        for (const Scenario& scenario : *list) {
            if (name == scenario.name) return &scenario;
        }
    }
    return g_loader ? g_loader(name) : nullptr;
}

}  // namespace sim::reliability
