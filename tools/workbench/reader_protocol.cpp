// The reader packet decoder: control requests, command headers and data, answer headers and data, ATR pieces and
// card status, with the PIN bytes of VERIFY APDUs marked secret.
#include "reader_protocol.h"

#include <cstdio>

#include "names.h"
#include "text.h"

namespace sim::workbench {

namespace {

constexpr size_t kPieceSize = 6;  // data bytes per data packet
constexpr uint8_t kCardApdu = 0x21;
constexpr uint8_t kPinVerifyStart = 0x42;
constexpr size_t kPinBlockSize = 13;  // the PIN block before the APDU of a PIN verification start
constexpr uint8_t kCardStatusCode = 0x81;

std::string hex8(uint8_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

std::string named(const std::string& name, uint8_t code) {
    return name.empty() ? "unknown " + hex8(code) : name + " (" + hex8(code) + ")";
}

std::string piece(size_t index, size_t total) { return std::to_string(index) + "/" + std::to_string(total); }

std::string count_of(size_t n, const char* one, const char* many) { return std::to_string(n) + " " + (n == 1 ? one : many); }

size_t pieces(size_t length) { return (length + kPieceSize - 1) / kPieceSize; }

// Whether byte `offset` of a command's data is PIN material. `data` holds the data bytes up to and including that
// byte. The card APDU command carries an APDU block (CLA INS P1 P2 Lc Le data); the PIN verification start carries
// the 13-byte PIN block and then the APDU that the reader completes with the PIN.
bool secret_command_byte(uint8_t code, const std::vector<uint8_t>& data, size_t offset) {
    if (code == kCardApdu) return data.size() > 1 && data[1] == 0x20 && offset >= 6;
    if (code == kPinVerifyStart) {
        size_t ins = kPinBlockSize + 1;
        return data.size() > ins && data[ins] == 0x20 && offset >= kPinBlockSize + 5;
    }
    return false;
}

}  // namespace

std::string control_request_name(uint8_t code) {
    switch (code) {
        case 0x01: return "cold-reset request";
        case 0x09: return "card-status request";
        case 0x0B: return "power-down request";
        case 0x15: return "warm-reset request";
        default: return "";
    }
}

std::string command_name(uint8_t code) {
    switch (code) {
        case 0x02: return "reader version request";
        case 0x07: return "reader management command";
        case 0x17: return "abort command";
        case 0x1F: return "vendor command 0x1F";
        case 0x21: return "card APDU command";
        case 0x2F: return "vendor data command";
        case 0x3F: return "vendor command 0x3F";
        case 0x41: return "reader capability request";
        case 0x42: return "PIN verification start";
        case 0x44: return "key poll";
        case 0x45: return "PIN verification finish";
        case 0x46: return "PIN abort";
        default: return "";
    }
}

std::string answer_kind_name(uint8_t kind) {
    switch (kind) {
        case 2: return "PIN aborted";
        case 3: return "data";
        case 5: return "success";
        case 6: return "failure";
        case 7: return "failure, ends the answer";
        case 8: return "error";
        case 15: return "refused";
        default: return "";
    }
}

DecodedPacket ReaderProtocolDecoder::decode(Flow flow, std::span<const uint8_t> packet) {
    DecodedPacket decoded = flow == Flow::to_reader ? decode_to_reader(packet) : decode_from_reader(packet);
    decoded.secret.resize(packet.size(), false);
    return decoded;
}

DecodedPacket ReaderProtocolDecoder::decode_to_reader(std::span<const uint8_t> p) {
    DecodedPacket d;
    if (p.size() < 2) {
        d.kind = "short packet";
        d.text = "short packet of " + std::to_string(p.size()) + " bytes";
        return d;
    }
    const uint8_t kind = p[0];
    d.fields.emplace_back("packet_kind", std::to_string(kind));
    if (kind == 2) {
        command_.reset();
        answer_.reset();
        const uint8_t code = p[1];
        const uint8_t parameter = p.size() > 2 ? p[2] : 0;
        d.kind = "control request";
        d.text = "control request: " + named(control_request_name(code), code);
        if (parameter) d.text += ", parameter " + hex8(parameter);
        d.fields.emplace_back("request", hex8(code));
        d.fields.emplace_back("request_name", control_request_name(code));
        atr_expected_ = code == 0x01 || code == 0x15;
        atr_bytes_ = 0;
        return d;
    }
    if (kind == 1) {
        atr_expected_ = false;
        answer_.reset();
        const uint8_t code = p.size() > 2 ? p[2] : 0;
        const size_t length = p.size() > 4 ? static_cast<size_t>(p[3] | p[4] << 8) : 0;
        d.kind = "command header";
        d.text = "command header: " + named(command_name(code), code);
        if (code == kCardApdu && p.size() > 5) {
            d.text += ", case " + std::to_string(p[5]);
            d.fields.emplace_back("apdu_case", std::to_string(p[5]));
        }
        d.text += length ? ", " + count_of(length, "data byte", "data bytes") + " in " +
                               count_of(pieces(length), "packet", "packets")
                         : ", no data";
        d.fields.emplace_back("command", hex8(code));
        d.fields.emplace_back("command_name", command_name(code));
        d.fields.emplace_back("length", std::to_string(length));
        last_command_ = code;
        if (length) {
            command_ = Command{code, length, 0, pieces(length), 0, {}};
        } else {
            command_.reset();
        }
        return d;
    }
    if (kind == 0) {
        const size_t count = p[1];
        const size_t shown = std::min<size_t>(count, p.size() - 2);
        d.secret.assign(p.size(), false);
        if (!command_) {
            d.kind = "data";
            d.text = "data packet, " + count_of(count, "byte", "bytes") + ", outside any command";
            d.fields.emplace_back("count", std::to_string(count));
            return d;
        }
        Command& c = *command_;
        ++c.packet;
        for (size_t i = 0; i < shown; ++i) {
            c.data.push_back(p[2 + i]);
            d.secret[2 + i] = secret_command_byte(c.code, c.data, c.received + i);
        }
        c.received += shown;
        d.kind = "command data";
        d.text = "command data " + piece(c.packet, c.packets) + " of the " + named(command_name(c.code), c.code) +
                 ", " + count_of(count, "byte", "bytes");
        d.fields.emplace_back("count", std::to_string(count));
        d.fields.emplace_back("command", hex8(c.code));
        d.fields.emplace_back("piece", piece(c.packet, c.packets));
        if (c.received >= c.length || c.packet >= c.packets) command_.reset();
        return d;
    }
    d.kind = "unknown";
    d.text = "packet of unknown kind " + hex8(kind);
    return d;
}

DecodedPacket ReaderProtocolDecoder::decode_from_reader(std::span<const uint8_t> p) {
    DecodedPacket d;
    if (p.size() < 2) {
        d.kind = "short packet";
        d.text = "short packet of " + std::to_string(p.size()) + " bytes";
        return d;
    }
    const uint8_t kind = p[0];
    d.fields.emplace_back("packet_kind", std::to_string(kind));
    if (kind == 2) {
        if (p[1] == kCardStatusCode) {
            const bool present = p.size() > 2 && p[2] == 0x01;
            d.kind = "card status";
            d.text = present ? "card status: a card is in the slot" : "card status: no card";
            d.fields.emplace_back("card_present", present ? "true" : "false");
            // A card leaving ends whatever was under way; a card arriving may come between ATR pieces.
            if (!present) {
                answer_.reset();
                atr_expected_ = false;
            }
        } else {
            d.kind = "reader status";
            d.text = "reader status " + hex8(p[1]) + " (not a card status)";
            d.fields.emplace_back("status_code", hex8(p[1]));
        }
        return d;
    }
    if (kind == 1) {
        const size_t count = p[1];
        const uint8_t answer_kind = p.size() > 2 ? p[2] : 0;
        size_t length = 0;
        if (count >= 2 && p.size() > 3) length = p[3];
        if (count >= 3 && p.size() > 4) length |= static_cast<size_t>(p[4]) << 8;
        d.kind = "answer header";
        d.fields.emplace_back("answer_kind", std::to_string(answer_kind));
        d.fields.emplace_back("answer_kind_name", answer_kind_name(answer_kind));
        d.fields.emplace_back("command", hex8(last_command_));
        if (count == 0 || count > 6) {
            d.text = "answer header, invalid (count " + std::to_string(count) + ")";
            answer_.reset();
            return d;
        }
        const bool ends_answer = answer_ && answer_->received < answer_->length &&
                                 (answer_kind == 7 || answer_kind == 15);
        std::string kind_name = answer_kind_name(answer_kind);
        d.text = "answer header: " + (kind_name.empty() ? "kind " + std::to_string(answer_kind)
                                                        : kind_name + " (kind " + std::to_string(answer_kind) + ")");
        if (ends_answer) {
            d.text += ", ends the answer early";
            answer_.reset();
            return d;
        }
        d.text += length ? ", " + count_of(length, "data byte", "data bytes") : ", no data";
        std::string to = command_name(last_command_);
        if (!to.empty()) d.text += ", to the " + to;
        d.fields.emplace_back("length", std::to_string(length));
        atr_expected_ = false;
        if (length) {
            answer_ = Answer{answer_kind, length, 0, pieces(length), 0};
        } else {
            answer_.reset();
        }
        return d;
    }
    if (kind == 0) {
        const size_t count = p[1];
        d.fields.emplace_back("count", std::to_string(count));
        if (answer_) {
            Answer& a = *answer_;
            ++a.packet;
            a.received += std::min<size_t>(count, p.size() - 2);
            d.kind = "answer data";
            d.text = "answer data " + piece(a.packet, a.packets) + ", " + count_of(count, "byte", "bytes");
            if (a.kind == 8 && a.packet == 1 && count >= 1 && p.size() > 2) {
                d.text += ", reader error code " + hex8(p[2]);
                if (count >= 3 && p.size() > 4) d.text += ", status word " + hex(p.subspan(3, 2));
            }
            if (last_command_ == 0x44 && a.kind == 3 && a.packet == 1 && count >= 1 && p.size() > 2) {
                std::string key = key_code_name(p[2]);
                d.text += ", key " + hex8(p[2]) + (key.empty() ? "" : " (" + key + ")");
            }
            d.fields.emplace_back("piece", piece(a.packet, a.packets));
            if (a.received >= a.length || a.packet >= a.packets) answer_.reset();
            return d;
        }
        if (atr_expected_) {
            atr_bytes_ += std::min<size_t>(count, p.size() - 2);
            d.kind = "ATR data";
            d.text = "ATR data, " + count_of(count, "byte", "bytes") + " (" + std::to_string(atr_bytes_) + " so far)";
            return d;
        }
        d.kind = "data";
        d.text = "data packet, " + count_of(count, "byte", "bytes") + ", outside any answer";
        return d;
    }
    d.kind = "unknown";
    d.text = "packet of unknown kind " + hex8(kind);
    return d;
}

}  // namespace sim::workbench
