// Decoding of the application's requests and replies for the transcript.
#include "requests.h"

#include "driver/driver.h"
#include "names.h"
#include "scenario.h"

namespace sim::workbench {

namespace {

// Output buffer size of a request whose command names none.
constexpr ULONG kDefaultOutput = 512;

// cbPciLength of the SCARD_IO_REQUEST that `apdu` puts before the APDU, after dwProtocol.
const Bytes kIoRequestLength = {0x08, 0x00, 0x00, 0x00};

Bytes ulong_bytes(uint64_t value) {
    Bytes bytes(4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    return bytes;
}

uint32_t read32(std::span<const uint8_t> bytes, size_t offset = 0) {
    if (bytes.size() < offset + 4) return 0;
    return static_cast<uint32_t>(bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
                                 static_cast<uint32_t>(bytes[offset + 3]) << 24);
}

std::string quoted_text(std::span<const uint8_t> bytes) {
    std::string text;
    for (uint8_t b : bytes) {
        if (b == 0) break;
        text += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    }
    return "\"" + text + "\"";
}

std::string apdu_text(std::span<const uint8_t> apdu) {
    std::vector<bool> secret = apdu_secret_bytes(apdu);
    std::string text = "APDU " + hex(apdu, &secret);
    if (apdu.size() >= 2) {
        std::string name = instruction_name(apdu[0], apdu[1]);
        if (apdu[0] == 0x80 && apdu[1] == 0x12 && apdu.size() >= 4 && apdu[2] == 0x00 && apdu[3] == 0x01) {
            name = "identify reader";
        }
        if (!name.empty()) text += " (" + name + ")";
    }
    return text;
}

std::string response_text(std::span<const uint8_t> response) {
    if (response.empty()) return "no response bytes";
    if (response.size() < 2) return "response " + hex(response);
    const uint8_t sw1 = response[response.size() - 2], sw2 = response[response.size() - 1];
    std::string text;
    if (response.size() > 2) {
        std::span<const uint8_t> data = response.first(response.size() - 2);
        text = "data " + hex(data);
        // Answers that are text, like the reader's identification, read better as text too.
        if (data.size() > 2 && data[0] == 0xD0 && data[1] == data.size() - 2) text += " " + quoted_text(data.subspan(2));
        text += ", ";
    }
    text += "SW " + hex(response.last(2));
    std::string meaning = status_word_meaning(sw1, sw2);
    if (!meaning.empty()) text += " (" + meaning + ")";
    return text;
}

std::string pin_structure_text(std::span<const uint8_t> s) {
    if (s.size() < 19) return "PIN_VERIFY_STRUCTURE of " + std::to_string(s.size()) + " bytes (too short)";
    std::string text = "PIN_VERIFY_STRUCTURE: timeout " + std::to_string(s[0]) + " s, digits " +
                       std::to_string(s[6]) + " to " + std::to_string(s[5]) + ", validation condition " +
                       std::to_string(s[7]);
    const uint32_t length = read32(s, 15);
    if (s.size() > 19) text += ", " + apdu_text(s.subspan(19, std::min<size_t>(length, s.size() - 19)));
    return text;
}

const AttributeName* attribute_of(uint32_t tag) {
    for (const AttributeName& a : attribute_names()) {
        if (a.tag == tag) return &a;
    }
    return nullptr;
}

}  // namespace

std::string protocol_text(uint64_t mask) {
    std::string text;
    if (mask & SCARD_PROTOCOL_T0) text = "T=0";
    if (mask & SCARD_PROTOCOL_T1) text += text.empty() ? "T=1" : " or T=1";
    if (mask & ~uint64_t(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) {
        text += (text.empty() ? "" : " + ") + hex32(static_cast<uint32_t>(mask & ~uint64_t(3)));
    }
    return text.empty() ? "none" : text;
}

std::string describe_request(ULONG code, std::span<const uint8_t> input) {
    switch (code) {
        case IOCTL_SMARTCARD_TRANSMIT:
            if (input.size() >= 8) return apdu_text(input.subspan(8));
            return "";
        case IOCTL_SMARTCARD_POWER:
            switch (read32(input)) {
                case SCARD_POWER_DOWN: return "SCARD_POWER_DOWN";
                case SCARD_COLD_RESET: return "SCARD_COLD_RESET";
                case SCARD_WARM_RESET: return "SCARD_WARM_RESET";
                default: return "";
            }
        case IOCTL_SMARTCARD_SET_PROTOCOL:
            if (input.size() >= 4) return protocol_text(read32(input));
            return "";
        case IOCTL_SMARTCARD_GET_ATTRIBUTE:
        case IOCTL_SMARTCARD_SET_ATTRIBUTE:
            if (input.size() >= 4) {
                const AttributeName* a = attribute_of(read32(input));
                return a ? std::string("attribute ") + a->name : "attribute " + hex32(read32(input));
            }
            return "";
        case IOCTL_FEATURE_VERIFY_PIN_DIRECT:
        case IOCTL_FEATURE_VERIFY_PIN_START:
            return pin_structure_text(input);
        default:
            return "";
    }
}

Bytes reply_payload(ULONG code, std::span<const uint8_t> reply) {
    if (code == IOCTL_SMARTCARD_TRANSMIT && reply.size() >= 8) return Bytes(reply.begin() + 8, reply.end());
    return Bytes(reply.begin(), reply.end());
}

std::string describe_reply(ULONG code, std::span<const uint8_t> input, std::span<const uint8_t> reply) {
    switch (code) {
        case IOCTL_SMARTCARD_TRANSMIT:
            if (reply.size() >= 8) return response_text(reply.subspan(8));
            return "";
        case IOCTL_SMARTCARD_POWER:
            if (!reply.empty()) return "ATR " + hex(reply);
            return "";
        case IOCTL_SMARTCARD_SET_PROTOCOL:
            if (reply.size() >= 4) return "selected " + protocol_text(read32(reply));
            return "";
        case IOCTL_SMARTCARD_GET_STATE:
            if (reply.size() >= 4) return "card state " + card_state_name(read32(reply));
            return "";
        case IOCTL_SMARTCARD_GET_ATTRIBUTE: {
            const AttributeName* a = input.size() >= 4 ? attribute_of(read32(input)) : nullptr;
            if (a && a->text) return quoted_text(reply);
            if (a && a->tag == SCARD_ATTR_ATR_STRING) return "ATR " + hex(reply);
            if (reply.size() == 4) return std::to_string(read32(reply));
            return "";
        }
        case CM_IOCTL_GET_FEATURE_REQUEST: {
            std::string text;
            size_t count = 0;
            for (size_t i = 0; i + 6 <= reply.size(); i += 6) {
                const uint32_t control = static_cast<uint32_t>(reply[i + 2]) << 24 | reply[i + 3] << 16 |
                                         reply[i + 4] << 8 | reply[i + 5];
                text += (text.empty() ? "" : ", ") + feature_name(reply[i]) + " " + hex32(control);
                ++count;
            }
            return count ? std::to_string(count) + " features: " + text : "";
        }
        case IOCTL_FEATURE_IFD_PIN_PROPERTIES:
            if (reply.size() >= 4) {
                return "display " + std::to_string(reply[0]) + " characters x " + std::to_string(reply[1]) +
                       " lines, entry validation condition " + std::to_string(reply[2]) + ", bTimeOut2 " +
                       std::to_string(reply[3]) + " s";
            }
            return "";
        case IOCTL_VENDOR_GET_VERSION: {
            // The reader's version text, then the driver's ("01.11" and its zero).
            if (reply.size() >= 6) {
                return "reader " + quoted_text(reply.first(reply.size() - 6)) + ", driver " + quoted_text(reply.last(6));
            }
            return "";
        }
        case IOCTL_FEATURE_VERIFY_PIN_START:
            if (reply.empty()) return "entry accepted: the reader prompts for the PIN";
            if (reply.size() == 1 && reply[0] == 0x57) return "0x57: the request was refused";
            return "";
        case IOCTL_FEATURE_VERIFY_PIN_DIRECT:
        case IOCTL_FEATURE_VERIFY_PIN_FINISH:
        case IOCTL_FEATURE_ABORT:
            if (reply.size() == 2) return response_text(reply);
            return "";
        case IOCTL_FEATURE_GET_KEY_PRESSED:
            if (reply.size() == 1) {
                std::string name = key_code_name(reply[0]);
                return "key event " + hex(reply) + (name.empty() ? "" : " (" + name + ")");
            }
            return "";
        default:
            return "";
    }
}

std::optional<AppRequest> app_request(const Command& c, ULONG protocol) {
    const ULONG out = c.output_size.value_or(kDefaultOutput);
    switch (c.verb) {
        case Verb::ioctl:
            return AppRequest{c.code, c.input, out};
        case Verb::apdu: {
            Bytes input = ulong_bytes(protocol);
            input.insert(input.end(), kIoRequestLength.begin(), kIoRequestLength.end());
            input.insert(input.end(), c.input.begin(), c.input.end());
            return AppRequest{IOCTL_SMARTCARD_TRANSMIT, input, out};
        }
        case Verb::reset:
        case Verb::power_down:
            return AppRequest{IOCTL_SMARTCARD_POWER, ulong_bytes(c.number), out};
        case Verb::protocol:
            return AppRequest{IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(c.number), out};
        case Verb::attribute:
            return AppRequest{IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(c.number), out};
        case Verb::features:
            return AppRequest{CM_IOCTL_GET_FEATURE_REQUEST, {}, out};
        case Verb::version:
            return AppRequest{IOCTL_VENDOR_GET_VERSION, {}, out};
        case Verb::track:
            return AppRequest{c.code, {}, 0};
        case Verb::pin:
            switch (c.pin.action) {
                case PinAction::direct: return AppRequest{IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(c.pin), out};
                case PinAction::start: return AppRequest{IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(c.pin), out};
                case PinAction::key: return AppRequest{IOCTL_FEATURE_GET_KEY_PRESSED, {}, c.output_size.value_or(1)};
                case PinAction::finish: return AppRequest{IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, out};
                case PinAction::abort: return AppRequest{IOCTL_FEATURE_ABORT, {}, out};
                case PinAction::properties: return AppRequest{IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, out};
            }
            return std::nullopt;
        default:
            return std::nullopt;
    }
}

}  // namespace sim::workbench
