// The recovery check: the heal (faults off, the reader calmed, the scenario's handles closed and its requests ended, the device plugged in and started again, a fresh card in the slot) and the probes, each judged on its first answer against the card model and the slot.
#include "recovery.h"

#include <cstdio>

#include "driver/driver.h"
#include "reader/cards/card_factory.h"

namespace sim::reliability {

namespace {

using Bytes = std::vector<uint8_t>;

// The card the probes use; the expected answers come from a twin of it made for the purpose.
constexpr const char* kProbeCard = "iso";
constexpr const char* kProbePin = "1234";
constexpr ULONG kAtrRoom = 64;
constexpr ULONG kReplyRoom = 300;
// As long as any request may take: a machine that has not come to rest by then never will.
constexpr VirtualTime kRestLimit = kRequestLimit;
// Before the probes, the driver may still have card events to take from the reader (the heal's card change, a
// card pulled during the scenario): one tracking request for each, as the resource manager would send them.
constexpr int kEventsToFollow = 6;

const char* const kProbes[] = {
    "device back",          "state at rest before the probes", "card removal seen", "card insertion seen",
    "cold reset",           "protocol selection",              "APDU select MF",    "APDU select EF",
    "APDU read binary",     "PIN on the keypad",               "state at rest after the probes",
};

std::shared_ptr<Card> probe_card() { return std::shared_ptr<Card>(make_card(kProbeCard)); }



std::string outcome(const IoResult& result) {
    return status_name(result.status) + " with " + hex(result.output);
}

ULONG read_ulong(const Bytes& bytes) {
    if (bytes.size() < 4) return 0;
    return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<ULONG>(bytes[3]) << 24;
}

class Prober {
   public:
    Prober(Rig& rig, RecoveryOutcome& out) : rig_(rig), out_(out) {}

    void run() {
        heal();
        const std::string failure = rig_.restore_device(probe_card());
        record("device back", failure.empty(), "a started device", failure);
        if (!failure.empty()) return;
        if (!rig_.replaced_reader()) {
            // A person takes out whatever card the scenario left and puts in a fresh one; the reader reports both.
            if (rig_.active_reader().card_present()) rig_.remove_card();
            rig_.insert_card(probe_card());
        }
        rest("after the heal");
        records_ = driver_records();
        handle_ = rig_.open("recovery");
        if (!handle_.valid()) {
            record("state at rest before the probes", false, "a handle on the reader", "the open failed");
            return;
        }
        auto tracking = state_at_rest("state at rest before the probes", kEventsToFollow);
        tracking = card_removal(tracking);
        card_insertion();
        const ULONG protocol = reset_and_protocol();
        apdus(protocol);
        pin();
        state_at_rest("state at rest after the probes", 1);
        rig_.close(handle_);
        if (out_.probes_failed && !out_.failures.empty()) out_.failures.front().detail += "\n    " + records_;
    }

   private:
    // The scenario's requests end and the world is put right.
    void heal() {
        rig_.k.clear_faults();
        rig_.calm_reader();
        // The scenario's own threads (an unplug under way, a keypad person typing) finish first.
        rest("after the scenario");
        // As an application that exits: its handles close, cleanup ends what waits, the rest runs to its end.
        for (Handle& handle : rig_.handles()) rig_.close(handle);
        for (const LoggedRequest& logged : rig_.requests()) rig_.wait(logged.request);
        rest("after the scenario's requests");
        // A reader that a failed power transition left unpowered on the bus gets the system's next wake: the
        // machine sleeps and wakes once more, and the device's power-up is asked for again.
        if (rig_.node && rig_.node->state() == NodeState::started && rig_.active_usb().power_state() != PowerDeviceD0) {
            rig_.sleep_and_wake(PowerSystemSleeping3);
            rest("after the extra wake");
        }
    }

    // What the driver's records say once the world is healed, for the report of a failing probe: the flags that
    // decide whether an exchange goes to the reader.
    std::string driver_records() {
        PDEVICE_EXTENSION de = rig_.device_extension();
        if (!de || !de->SmartcardExtension.ReaderExtension) return "driver records after the heal: none";
        PREADER_EXTENSION re = de->SmartcardExtension.ReaderExtension;
        char text[200];
        std::snprintf(text, sizeof text,
                      "driver records after the heal: ReadFailed %d, PollCancelled %d, PollActive %d, ShutdownSignalled "
                      "%d, DevicePowerState D%d, PinState %d",
                      re->ReadFailed, re->PollCancelled, re->PollActive, de->ShutdownSignalled,
                      static_cast<int>(de->DevicePowerState) - static_cast<int>(PowerDeviceD0), re->PinState);
        return text;
    }

    void rest(const std::string& when) {
        if (!rig_.settle(kRestLimit)) {
            out_.failures.push_back({"recovery", "the machine did not come to rest " + when + " within " +
                                                     std::to_string(static_cast<long long>(to_ms(kRestLimit))) +
                                                     " virtual ms"});
        }
    }

    void record(const std::string& probe, bool ok, const std::string& expected, const std::string& seen) {
        ++out_.probes;
        if (ok) return;
        ++out_.probes_failed;
        out_.failures.push_back({"recovery", probe + ": expected " + expected + ", saw " + seen});
    }

    IoResult request(ULONG code, const Bytes& input, ULONG room, const std::string& step) {
        return rig_.ioctl(handle_, code, input, room, "recovery " + step);
    }

    std::shared_ptr<PendingRequest> track(ULONG code, const std::string& step) {
        return rig_.ioctl_async(handle_, code, {}, 0, "recovery " + step);
    }

    // The state, or a text saying why there is none.
    bool state(ULONG& value, std::string& seen, const std::string& step) {
        IoResult result = request(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG), step + " state");
        if (result.status != STATUS_SUCCESS || result.output.size() != sizeof(ULONG)) {
            seen = "GET_STATE ending with " + outcome(result);
            return false;
        }
        value = read_ulong(result.output);
        seen = card_state_name(value);
        return true;
    }

    // As the resource manager follows a reader: it asks for the state and sends the tracking request for the
    // opposite. A request that completes at once took a card event the driver had not taken yet, and the next
    // one follows (at most `rounds` in all). Once the machine is at rest with a tracking request pending, the
    // state must be the slot's. Returns the pending request.
    std::shared_ptr<PendingRequest> state_at_rest(const std::string& probe, int rounds) {
        const bool card = rig_.active_reader().card_present();
        const std::string truth = card ? "SCARD_PRESENT or above (a card is in the slot)" : "SCARD_ABSENT (the slot is empty)";
        std::string events;
        for (int round = 0; round < rounds; ++round) {
            ULONG before = 0;
            std::string seen;
            if (!state(before, seen, probe)) {
                record(probe, false, truth, seen);
                return nullptr;
            }
            const bool absent = before == SCARD_ABSENT;
            const char* name = absent ? "IS_PRESENT" : "IS_ABSENT";
            auto tracking = track(absent ? IOCTL_SMARTCARD_IS_PRESENT : IOCTL_SMARTCARD_IS_ABSENT, probe);
            rest("with a tracking request pending");
            if (tracking && !tracking->done()) {
                ULONG after = 0;
                const bool read = state(after, seen, probe);
                record(probe, read && state_matches_slot(after, card), truth + " with " + name + " pending",
                       seen + " with " + name + " pending" + events);
                return tracking;
            }
            const NTSTATUS status = tracking ? tracking->status() : STATUS_INVALID_HANDLE;
            events += std::string("; ") + name + " after " + card_state_name(before) + " ended at once with " +
                      status_name(status);
            if (status != STATUS_SUCCESS) break;
        }
        record(probe, false, truth + " with a tracking request pending", "no tracking request stayed pending" + events);
        return nullptr;
    }

    std::shared_ptr<PendingRequest> card_removal(std::shared_ptr<PendingRequest> tracking) {
        const std::string probe = "card removal seen";
        if (!tracking || tracking->io_control_code() != IOCTL_SMARTCARD_IS_ABSENT) {
            // The state check left no IS_ABSENT waiting: one is sent now, which must wait for the removal.
            if (tracking) {
                tracking->cancel();
                rig_.wait(tracking);
            }
            tracking = track(IOCTL_SMARTCARD_IS_ABSENT, "removal");
            rest("with IS_ABSENT pending");
            if (!tracking || tracking->done()) {
                record(probe, false, "IS_ABSENT pending while the card is in",
                       "it ended with " + status_name(tracking ? tracking->status() : STATUS_INVALID_HANDLE));
                rig_.remove_card();
                rest("after the removal");
                return nullptr;
            }
        }
        rig_.remove_card();
        const bool ended = rig_.wait(tracking);
        ULONG after = 0;
        std::string seen;
        const bool read = state(after, seen, "removal");
        record(probe, ended && tracking->status() == STATUS_SUCCESS && read && after == SCARD_ABSENT,
               "IS_ABSENT ending with STATUS_SUCCESS, then SCARD_ABSENT",
               std::string("IS_ABSENT ") + (ended ? "ending with " + status_name(tracking->status()) : "still pending") +
                   ", then " + seen);
        return nullptr;
    }

    void card_insertion() {
        const std::string probe = "card insertion seen";
        auto tracking = track(IOCTL_SMARTCARD_IS_PRESENT, "insertion");
        rest("with IS_PRESENT pending");
        if (!tracking || tracking->done()) {
            record(probe, false, "IS_PRESENT pending while the slot is empty",
                   "it ended with " + status_name(tracking ? tracking->status() : STATUS_INVALID_HANDLE));
            rig_.insert_card(probe_card());
            rest("after the insertion");
            return;
        }
        rig_.insert_card(probe_card());
        const bool ended = rig_.wait(tracking);
        ULONG after = 0;
        std::string seen;
        const bool read = state(after, seen, "insertion");
        record(probe, ended && tracking->status() == STATUS_SUCCESS && read && state_matches_slot(after, true),
               "IS_PRESENT ending with STATUS_SUCCESS, then SCARD_PRESENT or above",
               std::string("IS_PRESENT ") + (ended ? "ending with " + status_name(tracking->status()) : "still pending") +
                   ", then " + seen);
    }

    // Returns the protocol for the APDUs: the one selected, or T=1 when the selection failed.
    ULONG reset_and_protocol() {
        twin_ = probe_card();
        const Bytes atr = twin_->reset(false);
        IoResult reset = request(IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), kAtrRoom, "cold reset");
        record("cold reset", reset.status == STATUS_SUCCESS && reset.output == atr,
               "STATUS_SUCCESS with the ATR " + hex(atr), outcome(reset));

        const ULONG mask = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
        const ULONG offered = atr_protocols(atr) & mask;
        IoResult selected = request(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(mask), sizeof(ULONG), "protocol");
        const ULONG protocol = read_ulong(selected.output);
        const bool one = protocol != 0 && (protocol & (protocol - 1)) == 0;
        const bool ok = selected.status == STATUS_SUCCESS && selected.output.size() == sizeof(ULONG) && one &&
                        (protocol & offered) == protocol;
        record("protocol selection", ok,
               "STATUS_SUCCESS with one protocol of the card's (mask " + std::to_string(offered) + ")",
               outcome(selected));
        return ok ? protocol : SCARD_PROTOCOL_T1;
    }

    void apdus(ULONG protocol) {
        struct Apdu {
            const char* probe;
            Bytes command;
        };
        const Apdu apdus[] = {
            {"APDU select MF", {0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00}},
            // The card serial number: eight bytes that no command can change.
            {"APDU select EF", {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x00, 0x02}},
            {"APDU read binary", {0x00, 0xB0, 0x00, 0x00, 0x08}},
        };
        for (const Apdu& apdu : apdus) {
            // The reply: the request's SCARD_IO_REQUEST, then the card's response.
            Bytes expected = transmit_request({}, protocol);
            const Bytes response = twin_->transmit(apdu.command);
            expected.insert(expected.end(), response.begin(), response.end());
            IoResult result =
                request(IOCTL_SMARTCARD_TRANSMIT, transmit_request(apdu.command, protocol), kReplyRoom, apdu.probe);
            record(apdu.probe, result.status == STATUS_SUCCESS && result.output == expected,
                   "STATUS_SUCCESS with " + hex(expected), outcome(result));
        }
    }

    void pin() {
        // What the reader sends the card: the VERIFY of the PIN structure with the typed digits in its 8-byte field.
        Bytes verify = {0x00, 0x20, 0x00, 0x01, 0x08};
        for (const char* digit = kProbePin; *digit; ++digit) verify.push_back(static_cast<uint8_t>(*digit));
        while (verify.size() < 13) verify.push_back(0xFF);
        const Bytes expected = twin_->transmit(verify);
        rig_.active_pinpad().keypad->queue_person(Person::typing(kProbePin));
        IoResult result = request(IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(), 2, "PIN");
        record("PIN on the keypad", result.status == STATUS_SUCCESS && result.output == expected,
               "STATUS_SUCCESS with " + hex(expected), outcome(result));
    }

    Rig& rig_;
    RecoveryOutcome& out_;
    Handle handle_;
    std::shared_ptr<Card> twin_;
    std::string records_;
};

}  // namespace

const std::vector<std::string>& recovery_probe_names() {
    static const auto* names = new std::vector<std::string>(std::begin(kProbes), std::end(kProbes));
    return *names;
}

ULONG atr_protocols(const Bytes& atr) {
    if (atr.size() < 2 || (atr[0] != 0x3B && atr[0] != 0x3F)) return 0;
    ULONG protocols = 0;
    size_t i = 1;
    uint8_t indicator = atr[1];
    bool first = true;
    for (;;) {
        // TAi, TBi and TCi as the indicator announces them; TDi last.
        for (uint8_t bit = 0x10; bit <= 0x40; bit <<= 1) {
            if (indicator & bit) ++i;
        }
        if (!(indicator & 0x80)) break;
        ++i;
        if (i >= atr.size()) return 0;
        indicator = atr[i];
        const uint8_t t = indicator & 0x0F;
        if (t == 0) protocols |= SCARD_PROTOCOL_T0;
        if (t == 1) protocols |= SCARD_PROTOCOL_T1;
        first = false;
    }
    return first ? SCARD_PROTOCOL_T0 : protocols;
}

bool state_matches_slot(ULONG state, bool card_in_slot) {
    return card_in_slot ? state >= SCARD_PRESENT && state <= SCARD_SPECIFIC : state == SCARD_ABSENT;
}

RecoveryOutcome check_recovery(Rig& rig) {
    RecoveryOutcome out;
    Prober(rig, out).run();
    return out;
}

}  // namespace sim::reliability
