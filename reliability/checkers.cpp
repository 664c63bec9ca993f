// The outside checkers: the status table per I/O control and the end-of-run invariants, read from the kernel's and the application's books rather than from the driver's own word.
#include "checkers.h"

#include <cstdio>
#include <map>

#include "driver/driver.h"
#include "rig.h"

namespace sim::reliability {

namespace {

// STATUS_PORT_ALREADY_SET: what a transmit whose APDU length fits no case ends with.
constexpr NTSTATUS kApduLengthMismatch = static_cast<NTSTATUS>(0xC0000048L);

using Statuses = std::set<NTSTATUS>;

Statuses operator+(Statuses a, const Statuses& b) {
    a.insert(b.begin(), b.end());
    return a;
}

// Refusals of the device-control gate (not started, removal begun) and the library's size checks.
const Statuses kGate = {STATUS_SUCCESS, STATUS_DEVICE_REMOVED};
const Statuses kSizes = {STATUS_INVALID_PARAMETER, STATUS_BUFFER_TOO_SMALL};
// What a reader command exchange ends with when the reader, the card or the bus let it down: no answer in
// time, no card or a failed read, an answer of the wrong form, an allocation that failed.
// A packet that the bus driver failed ends the exchange with the bus driver's status: the device gone, not
// responding, or its pipe aborted.
const Statuses kExchange = {STATUS_IO_TIMEOUT, STATUS_NO_MEDIA, STATUS_INVALID_DEVICE_REQUEST,
                            STATUS_INSUFFICIENT_RESOURCES, STATUS_UNSUCCESSFUL, STATUS_DEVICE_NOT_CONNECTED,
                            STATUS_NO_SUCH_DEVICE, STATUS_CANCELLED};

const std::map<ULONG, Statuses>& table() {
    static const auto* statuses = new std::map<ULONG, Statuses>{
        {IOCTL_SMARTCARD_POWER, kGate + kSizes + kExchange + Statuses{STATUS_UNRECOGNIZED_MEDIA}},
        {IOCTL_SMARTCARD_GET_ATTRIBUTE, kGate + kSizes + Statuses{STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_STATE}},
        {IOCTL_SMARTCARD_SET_ATTRIBUTE, kGate + kSizes + Statuses{STATUS_NOT_SUPPORTED}},
        // The library's refusal of a request outside the selected protocol, or with none selected:
        // STATUS_INVALID_DEVICE_STATE.
        {IOCTL_SMARTCARD_TRANSMIT, kGate + kSizes + kExchange + Statuses{STATUS_DEVICE_PROTOCOL_ERROR, kApduLengthMismatch,
                                                                          STATUS_INVALID_DEVICE_STATE}},
        // Tracking: the card event, a cancel (cleanup, CancelIo, teardown), a second request while one waits, or
        // a background read that could not be posted.
        {IOCTL_SMARTCARD_IS_PRESENT, kGate + Statuses{STATUS_CANCELLED, STATUS_DEVICE_BUSY, STATUS_INVALID_DEVICE_STATE,
                                                      STATUS_INSUFFICIENT_RESOURCES}},
        {IOCTL_SMARTCARD_IS_ABSENT, kGate + Statuses{STATUS_CANCELLED, STATUS_DEVICE_BUSY, STATUS_INVALID_DEVICE_STATE,
                                                     STATUS_INSUFFICIENT_RESOURCES}},
        // The library refuses a protocol request with no card (STATUS_NO_MEDIA), with a mask naming no protocol
        // (STATUS_INVALID_DEVICE_REQUEST), with the card not powered (STATUS_INVALID_DEVICE_STATE) and with none
        // of the card's protocols in the mask (STATUS_NOT_SUPPORTED).
        {IOCTL_SMARTCARD_SET_PROTOCOL, kGate + kSizes + Statuses{STATUS_NOT_SUPPORTED, STATUS_INVALID_DEVICE_STATE,
                                                                 STATUS_NO_MEDIA, STATUS_INVALID_DEVICE_REQUEST}},
        {IOCTL_SMARTCARD_GET_STATE, kGate + Statuses{STATUS_BUFFER_TOO_SMALL}},
        {IOCTL_VENDOR_GET_VERSION, kGate + kSizes + kExchange},
        {IOCTL_VENDOR_COMMAND_1F, kGate + kSizes + kExchange},
        {IOCTL_VENDOR_COMMAND_2F, kGate + kSizes + kExchange},
        {IOCTL_VENDOR_COMMAND_3F, kGate + kSizes + kExchange},
        {CM_IOCTL_GET_FEATURE_REQUEST, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_VERIFY_PIN_START, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_GET_KEY_PRESSED, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_VERIFY_PIN_DIRECT, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_ABORT, kGate + kSizes + kExchange},
        {IOCTL_FEATURE_IFD_PIN_PROPERTIES, kGate + kSizes + kExchange},
    };
    return *statuses;
}

// Codes outside the whitelist never reach the library: refused, or the gate is closed.
const Statuses kRefused = {STATUS_INVALID_PARAMETER, STATUS_DEVICE_REMOVED};

// The reader's own error statuses, customer-defined codes of facility 0x010, that the version request passes on.
bool reader_answer_status(NTSTATUS status) {
    const auto value = static_cast<uint32_t>(status);
    return (value & 0x20000000u) != 0 && ((value >> 16) & 0x0FFFu) == 0x010;
}

const std::map<ULONG, const char*>& names() {
    static const auto* map = new std::map<ULONG, const char*>{
        {IOCTL_SMARTCARD_POWER, "IOCTL_SMARTCARD_POWER"},
        {IOCTL_SMARTCARD_GET_ATTRIBUTE, "IOCTL_SMARTCARD_GET_ATTRIBUTE"},
        {IOCTL_SMARTCARD_SET_ATTRIBUTE, "IOCTL_SMARTCARD_SET_ATTRIBUTE"},
        {IOCTL_SMARTCARD_TRANSMIT, "IOCTL_SMARTCARD_TRANSMIT"},
        {IOCTL_SMARTCARD_IS_PRESENT, "IOCTL_SMARTCARD_IS_PRESENT"},
        {IOCTL_SMARTCARD_IS_ABSENT, "IOCTL_SMARTCARD_IS_ABSENT"},
        {IOCTL_SMARTCARD_SET_PROTOCOL, "IOCTL_SMARTCARD_SET_PROTOCOL"},
        {IOCTL_SMARTCARD_GET_STATE, "IOCTL_SMARTCARD_GET_STATE"},
        {IOCTL_VENDOR_GET_VERSION, "IOCTL_VENDOR_GET_VERSION"},
        {IOCTL_VENDOR_COMMAND_1F, "IOCTL_VENDOR_COMMAND_1F"},
        {IOCTL_VENDOR_COMMAND_2F, "IOCTL_VENDOR_COMMAND_2F"},
        {IOCTL_VENDOR_COMMAND_3F, "IOCTL_VENDOR_COMMAND_3F"},
        {CM_IOCTL_GET_FEATURE_REQUEST, "CM_IOCTL_GET_FEATURE_REQUEST"},
        {IOCTL_FEATURE_VERIFY_PIN_START, "IOCTL_FEATURE_VERIFY_PIN_START"},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, "IOCTL_FEATURE_VERIFY_PIN_FINISH"},
        {IOCTL_FEATURE_GET_KEY_PRESSED, "IOCTL_FEATURE_GET_KEY_PRESSED"},
        {IOCTL_FEATURE_VERIFY_PIN_DIRECT, "IOCTL_FEATURE_VERIFY_PIN_DIRECT"},
        {IOCTL_FEATURE_ABORT, "IOCTL_FEATURE_ABORT"},
        {IOCTL_FEATURE_IFD_PIN_PROPERTIES, "IOCTL_FEATURE_IFD_PIN_PROPERTIES"},
    };
    return *map;
}

}  // namespace

const std::set<NTSTATUS>& allowed_statuses(ULONG code) {
    auto it = table().find(code);
    return it == table().end() ? kRefused : it->second;
}

bool whitelisted(ULONG code) { return table().count(code) != 0; }

const std::vector<ULONG>& whitelist() {
    static const auto* codes = [] {
        auto* list = new std::vector<ULONG>;
        for (auto& [code, statuses] : table()) list->push_back(code);
        return list;
    }();
    return *codes;
}

bool status_allowed(ULONG code, NTSTATUS status) {
    if (allowed_statuses(code).count(status)) return true;
    // The version request passes the reader's error answer on.
    return code == IOCTL_VENDOR_GET_VERSION && reader_answer_status(status);
}

std::string ioctl_name(ULONG code) {
    auto it = names().find(code);
    if (it != names().end()) return it->second;
    char text[16];
    std::snprintf(text, sizeof text, "0x%06X", code);
    return text;
}

std::vector<Finding> check_run(Rig& rig, RunOutcome outcome) {
    std::vector<Finding> findings;
    Kernel& k = rig.k;
    switch (outcome) {
        case RunOutcome::completed: break;
        case RunOutcome::bugcheck:
            findings.push_back({"verifier", k.bug_check_report().empty() ? k.scheduler().abort_report()
                                                                          : k.bug_check_report()});
            return findings;
        case RunOutcome::deadlock: {
            std::string report = k.scheduler().deadlock_report();
            // What the driver's records say about the hang, when they say something definite.
            if (PDEVICE_EXTENSION de = rig.device_extension()) {
                PREADER_EXTENSION re = de->SmartcardExtension.ReaderExtension;
                if (re && re->ResponseEvent && !de->PollIrp) {
                    report += "  diagnosis: a caller is inside WritePacketAndAwait (ResponseEvent set), waiting for its "
                              "write or for the background read's packet, while no background read is posted "
                              "(PollIrp NULL, PollActive " + std::to_string(re->PollActive) + ")\n";
                }
            }
            findings.push_back({"deadlock", report});
            return findings;
        }
        case RunOutcome::step_limit:
            findings.push_back({"step limit", "the run did not come to rest within the scheduler's step limit"});
            return findings;
    }
    if (k.bug_checked()) findings.push_back({"verifier", k.bug_check_report()});

    for (auto& request : rig.app.outstanding()) {
        findings.push_back({"outstanding", request->describe()});
    }
    for (const LoggedRequest& logged : rig.requests()) {
        // A request that never became an IRP (the handle's device object was already gone) is the I/O
        // manager's refusal, not an answer of the driver.
        if (!logged.request || !logged.request->done() || logged.request->irp_serial() == 0) continue;
        NTSTATUS status = logged.request->status();
        if (!status_allowed(logged.code, status)) {
            findings.push_back({"status", logged.step + ": " + ioctl_name(logged.code) + " (input " +
                                              std::to_string(logged.input_size) + ", output " +
                                              std::to_string(logged.output_size) + " bytes) ended with " +
                                              status_name(status) + ", which it cannot return"});
        }
        if (logged.request->information_exceeded_output()) {
            findings.push_back({"reply", logged.step + ": " + ioctl_name(logged.code) + " reported " +
                                             std::to_string(logged.request->bytes()) + " bytes for an output of " +
                                             std::to_string(logged.output_size)});
        }
    }
    for (const std::string& observation : rig.observations()) {
        findings.push_back({observation.find("remove lock") != std::string::npos ||
                                    observation.find("I/O count") != std::string::npos
                                ? "remove lock"
                                : "removal",
                            observation});
    }
    if (size_t irps = k.live_irps(); irps != 0) {
        findings.push_back({"IRP", std::to_string(irps) + " IRP(s) neither completed to their sender nor freed"});
    }
    std::map<ULONG, std::pair<size_t, size_t>> per_tag;  // blocks, bytes
    for (auto& [block, info] : k.live_pool()) {
        auto& entry = per_tag[info.tag];
        ++entry.first;
        entry.second += info.size;
    }
    for (auto& [tag, entry] : per_tag) {
        findings.push_back({"pool", std::to_string(entry.first) + " block(s), " + std::to_string(entry.second) +
                                        " bytes left with tag '" + tag_text(tag) + "'"});
    }
    return findings;
}

std::string hex(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return "no bytes";
    // Built by hand: every expected and seen answer of a run is written out, thousands per second of runs.
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(bytes.size() * 3);
    for (uint8_t b : bytes) {
        if (!text.empty()) text += ' ';
        text += kDigits[b >> 4];
        text += kDigits[b & 0x0F];
    }
    return text;
}

std::string card_state_name(ULONG state) {
    static const char* const names[] = {"SCARD_UNKNOWN",  "SCARD_ABSENT",     "SCARD_PRESENT", "SCARD_SWALLOWED",
                                        "SCARD_POWERED", "SCARD_NEGOTIABLE", "SCARD_SPECIFIC"};
    if (state < sizeof names / sizeof names[0]) return names[state];
    return "state " + std::to_string(state);
}

std::string describe(const std::vector<Finding>& findings) {
    std::string text;
    for (const Finding& finding : findings) text += "  [" + finding.kind + "] " + finding.detail + "\n";
    return text;
}

}  // namespace sim::reliability
