// Short command APDUs of ISO/IEC 7816-4 as the virtual cards read them, and the status words they answer with.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "reader/card.h"

namespace sim {

// SW1 SW2 of ISO/IEC 7816-4 that the virtual cards use.
namespace status_word {
constexpr uint16_t ok = 0x9000;
constexpr uint16_t end_of_file = 0x6282;             // fewer bytes than Le before the end of the file
constexpr uint16_t verify_failed = 0x63C0;           // | tries left, in the low nibble
constexpr uint16_t wrong_length = 0x6700;
constexpr uint16_t incompatible_file = 0x6981;       // command incompatible with the file structure
constexpr uint16_t security_not_satisfied = 0x6982;
constexpr uint16_t pin_blocked = 0x6983;
constexpr uint16_t no_current_ef = 0x6986;
constexpr uint16_t function_not_supported = 0x6A81;
constexpr uint16_t file_not_found = 0x6A82;
constexpr uint16_t not_enough_memory = 0x6A84;
constexpr uint16_t incorrect_p1_p2 = 0x6A86;
constexpr uint16_t reference_not_found = 0x6A88;
constexpr uint16_t wrong_p1_p2 = 0x6B00;             // offset outside the file
constexpr uint16_t ins_not_supported = 0x6D00;
constexpr uint16_t cla_not_supported = 0x6E00;
}  // namespace status_word

struct CommandApdu {
    uint8_t cla = 0;
    uint8_t ins = 0;
    uint8_t p1 = 0;
    uint8_t p2 = 0;
    Bytes data;                     // the Lc command data bytes
    std::optional<size_t> ne;       // bytes expected back: Le, 256 for Le = 00; empty without Le
    bool p3_zero = false;           // a 5-byte APDU whose P3 is 00 (Le 256, or "no data" in a T=0 header)
};

// Splits a short APDU into header, data and Le by its length (cases 1 to 4). Empty for bytes that are none:
// fewer than 4, or a length that fits no case (Lc = 00 with more bytes following means an extended APDU, which
// these cards do not take).
std::optional<CommandApdu> parse_command_apdu(const Bytes& command);

// A response APDU: the data, then SW1 SW2.
Bytes response_apdu(uint16_t status, const Bytes& data = {});

}  // namespace sim
