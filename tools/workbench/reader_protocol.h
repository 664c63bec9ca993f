// Decodes the reader's 8-byte packets in both directions into named parts, following each command and answer
// across its data packets, and marks the PIN bytes that must never be shown.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace sim::workbench {

enum class Flow { to_reader, from_reader };

struct DecodedPacket {
    // "control request", "command header", "command data", "answer header", "answer data", "ATR data",
    // "card status", "reader status", "data", "unknown", "short packet".
    std::string kind;
    std::string text;  // one line for people: "command header: card APDU (0x21), case 3, 13 data bytes"
    std::vector<std::pair<std::string, std::string>> fields;  // for machines: name, value
    std::vector<bool> secret;  // one flag per packet byte: PIN material, never shown or written
};

// Names of the protocol's numbers; "" when unknown.
std::string control_request_name(uint8_t code);
std::string command_name(uint8_t code);
std::string answer_kind_name(uint8_t kind);

// One per reader: it keeps the command being written and the answer being read, so that data packets are told
// apart (command data, answer data, ATR bytes) and the data of a VERIFY APDU is marked secret.
class ReaderProtocolDecoder {
   public:
    DecodedPacket decode(Flow flow, std::span<const uint8_t> packet);

   private:
    DecodedPacket decode_to_reader(std::span<const uint8_t> packet);
    DecodedPacket decode_from_reader(std::span<const uint8_t> packet);

    // The command whose data packets are still to come.
    struct Command {
        uint8_t code = 0;
        size_t length = 0;    // announced data length
        size_t received = 0;  // data bytes seen so far
        size_t packets = 0;   // data packets expected in all
        size_t packet = 0;    // data packets seen so far
        std::vector<uint8_t> data;
    };
    std::optional<Command> command_;
    uint8_t last_command_ = 0;  // the command the next answer belongs to

    // The answer whose data packets are still to come.
    struct Answer {
        uint8_t kind = 0;
        size_t length = 0;
        size_t received = 0;
        size_t packets = 0;
        size_t packet = 0;
    };
    std::optional<Answer> answer_;
    bool atr_expected_ = false;  // a reset request went out: data packets carry the ATR
    size_t atr_bytes_ = 0;
};

}  // namespace sim::workbench
