// Name tables of the workbench: I/O controls, statuses, card states, instructions, status words, keys, features.
#include "names.h"

#include <cstdio>

#include "driver/driver.h"
#include "text.h"

namespace sim::workbench {

const std::vector<IoctlInfo>& ioctl_table() {
    static const std::vector<IoctlInfo> table = {
        {IOCTL_SMARTCARD_POWER, "IOCTL_SMARTCARD_POWER", "power the card down, or reset it cold or warm (input: 4-byte minor code)"},
        {IOCTL_SMARTCARD_GET_ATTRIBUTE, "IOCTL_SMARTCARD_GET_ATTRIBUTE", "read a reader or card attribute (input: 4-byte tag)"},
        {IOCTL_SMARTCARD_SET_ATTRIBUTE, "IOCTL_SMARTCARD_SET_ATTRIBUTE", "set an attribute (input: 4-byte tag, value)"},
        {IOCTL_SMARTCARD_TRANSMIT, "IOCTL_SMARTCARD_TRANSMIT", "send an APDU (input: SCARD_IO_REQUEST, APDU)"},
        {IOCTL_SMARTCARD_IS_PRESENT, "IOCTL_SMARTCARD_IS_PRESENT", "complete when a card is in the slot"},
        {IOCTL_SMARTCARD_IS_ABSENT, "IOCTL_SMARTCARD_IS_ABSENT", "complete when the slot is empty"},
        {IOCTL_SMARTCARD_SET_PROTOCOL, "IOCTL_SMARTCARD_SET_PROTOCOL", "select T=0 or T=1 (input: 4-byte protocol mask)"},
        {IOCTL_SMARTCARD_GET_STATE, "IOCTL_SMARTCARD_GET_STATE", "the card state (reply: 4 bytes)"},
        {IOCTL_VENDOR_GET_VERSION, "IOCTL_VENDOR_GET_VERSION", "the reader's version text and the driver's"},
        {IOCTL_VENDOR_COMMAND_1F, "IOCTL_VENDOR_COMMAND_1F", "reader vendor command 0x1F"},
        {IOCTL_VENDOR_COMMAND_2F, "IOCTL_VENDOR_COMMAND_2F", "reader vendor data command 0x2F with the input bytes"},
        {IOCTL_VENDOR_COMMAND_3F, "IOCTL_VENDOR_COMMAND_3F", "reader vendor command 0x3F"},
        {CM_IOCTL_GET_FEATURE_REQUEST, "CM_IOCTL_GET_FEATURE_REQUEST", "the PC/SC Part 10 feature list"},
        {IOCTL_FEATURE_VERIFY_PIN_START, "IOCTL_FEATURE_VERIFY_PIN_START", "start a PIN entry on the keypad (input: PIN_VERIFY_STRUCTURE)"},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, "IOCTL_FEATURE_VERIFY_PIN_FINISH", "finish the PIN entry: the card's status word"},
        {IOCTL_FEATURE_GET_KEY_PRESSED, "IOCTL_FEATURE_GET_KEY_PRESSED", "the next key event of the PIN entry"},
        {IOCTL_FEATURE_VERIFY_PIN_DIRECT, "IOCTL_FEATURE_VERIFY_PIN_DIRECT", "a whole PIN verification in one request"},
        {IOCTL_FEATURE_ABORT, "IOCTL_FEATURE_ABORT", "abort the PIN entry"},
        {IOCTL_FEATURE_IFD_PIN_PROPERTIES, "IOCTL_FEATURE_IFD_PIN_PROPERTIES", "the keypad's PIN properties"},
        {IOCTL_SMARTCARD_CONFISCATE, "IOCTL_SMARTCARD_CONFISCATE", "standard, refused by this driver"},
        {IOCTL_SMARTCARD_EJECT, "IOCTL_SMARTCARD_EJECT", "standard, refused by this driver"},
        {IOCTL_SMARTCARD_SWALLOW, "IOCTL_SMARTCARD_SWALLOW", "standard, refused by this driver"},
        {IOCTL_SMARTCARD_GET_LAST_ERROR, "IOCTL_SMARTCARD_GET_LAST_ERROR", "standard, refused by this driver"},
        {IOCTL_SMARTCARD_GET_PERF_CNTR, "IOCTL_SMARTCARD_GET_PERF_CNTR", "standard, refused by this driver"},
    };
    return table;
}

std::string ioctl_name(ULONG code) {
    for (const IoctlInfo& info : ioctl_table()) {
        if (info.code == code) return info.name;
    }
    return hex32(code);
}

std::optional<ULONG> parse_ioctl(std::string_view text) {
    if (auto number = parse_number(text)) {
        if (*number > 0xFFFFFFFFull) return std::nullopt;
        return static_cast<ULONG>(*number);
    }
    std::string wanted = upper(text);
    for (char& c : wanted) {
        if (c == '-') c = '_';
    }
    for (const IoctlInfo& info : ioctl_table()) {
        std::string_view name = info.name;
        if (name == wanted) return info.code;
        for (std::string_view prefix : {"IOCTL_SMARTCARD_", "IOCTL_FEATURE_", "CM_IOCTL_", "IOCTL_"}) {
            if (name.starts_with(prefix) && name.substr(prefix.size()) == wanted) return info.code;
        }
    }
    return std::nullopt;
}

namespace {

// Statuses that the kernel's own table does not name but this driver returns.
struct ExtraStatus {
    NTSTATUS status;
    const char* name;
};
constexpr ExtraStatus kExtraStatuses[] = {
    {static_cast<NTSTATUS>(0xC0000048L), "STATUS_PORT_ALREADY_SET"},  // the transmit's APDU length mismatch
};

// Every status a scenario can name: the kernel's table, read back through sim::status_name, and the extras.
const std::vector<std::pair<std::string, NTSTATUS>>& known_statuses() {
    static const std::vector<std::pair<std::string, NTSTATUS>> table = [] {
        std::vector<std::pair<std::string, NTSTATUS>> out;
        const NTSTATUS candidates[] = {
            STATUS_SUCCESS, STATUS_ABANDONED, STATUS_USER_APC, STATUS_ALERTED, STATUS_TIMEOUT, STATUS_PENDING,
            STATUS_BUFFER_OVERFLOW, STATUS_NO_MORE_ENTRIES, STATUS_UNSUCCESSFUL, STATUS_NOT_IMPLEMENTED,
            STATUS_INVALID_HANDLE, STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER_1, STATUS_INVALID_PARAMETER_2,
            STATUS_OBJECT_NAME_EXISTS, STATUS_NO_SUCH_DEVICE, STATUS_INVALID_DEVICE_REQUEST,
            STATUS_MORE_PROCESSING_REQUIRED, STATUS_NO_MEMORY, STATUS_ACCESS_DENIED, STATUS_BUFFER_TOO_SMALL,
            STATUS_OBJECT_NAME_NOT_FOUND, STATUS_OBJECT_NAME_COLLISION, STATUS_DELETE_PENDING,
            STATUS_INSUFFICIENT_RESOURCES, STATUS_DEVICE_NOT_READY, STATUS_IO_TIMEOUT, STATUS_NOT_SUPPORTED,
            STATUS_INVALID_BUFFER_SIZE, STATUS_CANCELLED, STATUS_NO_MEDIA, STATUS_INVALID_DEVICE_STATE,
            STATUS_DEVICE_PROTOCOL_ERROR, STATUS_DEVICE_BUSY, STATUS_DEVICE_DATA_ERROR, STATUS_DEVICE_NOT_CONNECTED,
            STATUS_DEVICE_POWER_FAILURE, STATUS_REQUEST_ABORTED, STATUS_NOT_FOUND, STATUS_UNRECOGNIZED_MEDIA,
            STATUS_DEVICE_REMOVED, STATUS_INVALID_DEVICE_OBJECT_PARAMETER,
        };
        for (NTSTATUS status : candidates) out.emplace_back(sim::status_name(status), status);
        for (const ExtraStatus& extra : kExtraStatuses) out.emplace_back(extra.name, extra.status);
        return out;
    }();
    return table;
}

}  // namespace

std::string status_name(NTSTATUS status) {
    for (const auto& [name, value] : known_statuses()) {
        if (value == status) return name;
    }
    return hex32(static_cast<uint32_t>(status));
}

std::string status_text(NTSTATUS status) {
    if (status == STATUS_SUCCESS) return "STATUS_SUCCESS";
    std::string name = status_name(status);
    std::string number = hex32(static_cast<uint32_t>(status));
    if (name == number) {
        // Facility 0x010 with the customer bit: the reader's own status codes, passed on by the driver.
        if ((static_cast<uint32_t>(status) & 0x2FFF0000u) == 0x20100000u) return number + " (reader status)";
        return number;
    }
    return name + " (" + number + ")";
}

std::optional<NTSTATUS> parse_status(std::string_view text) {
    if (auto number = text.starts_with("0x") || text.starts_with("0X") ? parse_number(text) : std::nullopt) {
        if (*number > 0xFFFFFFFFull) return std::nullopt;
        return static_cast<NTSTATUS>(static_cast<uint32_t>(*number));
    }
    std::string wanted = upper(text);
    if (!wanted.starts_with("STATUS_")) wanted = "STATUS_" + wanted;
    for (const auto& [name, value] : known_statuses()) {
        if (name == wanted) return value;
    }
    return std::nullopt;
}

bool is_error(NTSTATUS status) { return (static_cast<uint32_t>(status) >> 30) == 3; }

namespace {
constexpr const char* kCardStates[] = {"UNKNOWN", "ABSENT", "PRESENT", "SWALLOWED", "POWERED", "NEGOTIABLE", "SPECIFIC"};
}

std::string card_state_name(ULONG state) {
    if (state < std::size(kCardStates)) return kCardStates[state];
    return std::to_string(state);
}

std::optional<ULONG> parse_card_state(std::string_view text) {
    std::string wanted = upper(text);
    if (wanted.starts_with("SCARD_")) wanted = wanted.substr(6);
    for (ULONG i = 0; i < std::size(kCardStates); ++i) {
        if (wanted == kCardStates[i]) return i;
    }
    return std::nullopt;
}

std::string instruction_name(uint8_t cla, uint8_t ins) {
    if (cla == 0x80 && ins == 0x12) return "reader management";
    switch (ins) {
        case 0xA4: return "SELECT";
        case 0xB0: return "READ BINARY";
        case 0xB2: return "READ RECORD";
        case 0xD6: return "UPDATE BINARY";
        case 0x20: return "VERIFY";
        case 0x24: return "CHANGE REFERENCE DATA";
        case 0x84: return "GET CHALLENGE";
        case 0x88: return "INTERNAL AUTHENTICATE";
        case 0xC0: return "GET RESPONSE";
        case 0xCA: return "GET DATA";
        default: return "";
    }
}

std::string status_word_meaning(uint8_t sw1, uint8_t sw2) {
    uint16_t sw = static_cast<uint16_t>(sw1 << 8 | sw2);
    if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
        int left = sw2 & 0x0F;
        return "wrong PIN, " + std::to_string(left) + (left == 1 ? " try left" : " tries left");
    }
    if (sw1 == 0x61) return std::to_string(sw2) + " more bytes available";
    if (sw1 == 0x6C) return "wrong Le, " + std::to_string(sw2) + " bytes available";
    switch (sw) {
        case 0x9000: return "success";
        case 0x6282: return "end of file reached before Le bytes";
        case 0x6283: return "selected file invalidated";
        case 0x6700: return "wrong length";
        case 0x6981: return "command incompatible with the file";
        case 0x6982: return "security status not satisfied";
        case 0x6983: return "PIN blocked";
        case 0x6986: return "no current EF";
        case 0x6987: return "secure messaging data objects missing";
        case 0x69F0: return "reader: no card, or the command failed";
        case 0x69F1: return "reader: command refused";
        case 0x6A81: return "function not supported";
        case 0x6A82: return "file not found";
        case 0x6A83: return "record not found";
        case 0x6A84: return "not enough memory in the file";
        case 0x6A86: return "incorrect P1 P2";
        case 0x6A88: return "referenced data not found";
        case 0x6B00: return "offset outside the file";
        case 0x6D00: return "instruction not supported";
        case 0x6E00: return "class not supported";
        case 0x6F00: return "no precise diagnosis";
        default: return pin_reply_meaning(sw1, sw2);
    }
}

std::string pin_reply_meaning(uint8_t sw1, uint8_t sw2) {
    switch (sw1 << 8 | sw2) {
        case 0x6400: return "PIN entry timed out";
        case 0x6401: return "PIN entry cancelled by the user";
        case 0x6403: return "PIN too short at the time-out";
        case 0x6480: return "PIN entry aborted";
        case 0x6B80: return "PIN entry not possible: invalid parameters";
        default: return "";
    }
}

std::string key_code_name(uint8_t code) {
    switch (code) {
        case 0x00: return "validation key ignored (only the maximum length validates)";
        case 0x2B: return "digit";
        case 0x08: return "backspace";
        case 0x0A: return "clear";
        case 0x0D: return "validation key";
        case 0x1B: return "cancel key";
        case 0x0E: return "entry time-out (validates)";
        case 0x40: return "entry ended without validation";
        default: return "";
    }
}

std::string feature_name(uint8_t tag) {
    switch (tag) {
        case 0x01: return "FEATURE_VERIFY_PIN_START";
        case 0x02: return "FEATURE_VERIFY_PIN_FINISH";
        case 0x03: return "FEATURE_MODIFY_PIN_START";
        case 0x04: return "FEATURE_MODIFY_PIN_FINISH";
        case 0x05: return "FEATURE_GET_KEY_PRESSED";
        case 0x06: return "FEATURE_VERIFY_PIN_DIRECT";
        case 0x07: return "FEATURE_MODIFY_PIN_DIRECT";
        case 0x08: return "FEATURE_MCT_READER_DIRECT";
        case 0x09: return "FEATURE_MCT_UNIVERSAL";
        case 0x0A: return "FEATURE_IFD_PIN_PROPERTIES";
        case 0x0B: return "FEATURE_ABORT";
        default: {
            char text[24];
            std::snprintf(text, sizeof text, "feature 0x%02X", tag);
            return text;
        }
    }
}

bool is_verify_apdu(std::span<const uint8_t> apdu) { return apdu.size() >= 4 && apdu[1] == 0x20; }

std::vector<bool> apdu_secret_bytes(std::span<const uint8_t> apdu) {
    std::vector<bool> secret(apdu.size(), false);
    if (!is_verify_apdu(apdu) || apdu.size() <= 5) return secret;
    // Whatever follows the header of a VERIFY is PIN material: the Lc data and, whatever the length says, any
    // byte after it, so that a malformed length never uncovers a digit.
    for (size_t i = 5; i < apdu.size(); ++i) secret[i] = true;
    return secret;
}

}  // namespace sim::workbench
