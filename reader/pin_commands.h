// The reader firmware's PIN pad and vendor commands: version, vendor commands, capability, and PIN verification start, key poll, finish and abort on the keypad, with the PIN formatted into the card's APDU inside the reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "card.h"
#include "keypad.h"
#include "reader.h"

namespace sim {

// Command codes (command header byte 2) that these commands serve.
namespace pinpad_command {
constexpr uint8_t version = 0x02;
constexpr uint8_t vendor_1f = 0x1F;
constexpr uint8_t vendor_data = 0x2F;
constexpr uint8_t vendor_3f = 0x3F;
constexpr uint8_t capability = 0x41;
constexpr uint8_t verify_start = 0x42;
constexpr uint8_t key_poll = 0x44;
constexpr uint8_t verify_finish = 0x45;
constexpr uint8_t abort = 0x46;
}  // namespace pinpad_command

// Answer kinds these commands send besides the card commands' data (3), error (8) and failed (15).
namespace pinpad_answer {
constexpr uint8_t aborted = 2;  // the PIN abort's answer
constexpr uint8_t success = 5;
}  // namespace pinpad_answer

// Reader error codes, byte 0 of the error answers these commands send.
namespace pinpad_error {
constexpr uint8_t bad_pin_block = 0x2A;     // the PIN block does not describe a PIN the APDU can take
constexpr uint8_t keypad_locked = 0x30;     // answer kind 15: the keypad is out of service
constexpr uint8_t no_entry = 0x31;          // no PIN entry to poll or finish
constexpr uint8_t entry_cancelled = 0x32;   // the person cancelled the entry being finished
}  // namespace pinpad_error

// The PIN block of the PIN verification start: 13 bytes, then the APDU that the reader completes with the PIN.
namespace pin_block {
constexpr size_t timer_out = 0;
constexpr size_t max_digits = 3;
constexpr size_t format_string = 9;
constexpr size_t block_string = 10;
constexpr size_t length_format = 11;
constexpr size_t apdu_length = 12;
constexpr size_t length = 13;
}  // namespace pin_block

// bmFormatString, bmPINBlockString and bmPINLengthFormat of the PIN verification.
struct PinFormat {
    uint8_t format_string = 0x82;  // byte units, PIN at offset 0, left justified, ASCII
    uint8_t block_string = 0x08;   // no length field, an 8-byte PIN field
    uint8_t length_format = 0x00;
};

// The APDU with the digits ('0' to '9') put in, as the format says: the PIN field and the length field lie in the
// APDU's data (after CLA INS P1 P2 Lc), their offsets counted in bits or bytes from its first bit; digits are
// binary (a byte each), BCD (a nibble each) or ASCII (a byte each), left or right justified in a PIN field of
// the block string's size (or just as long as the digits when that size is 0), most significant bit first; bits
// the PIN does not cover keep the APDU's filler. Empty when the fields do not fit the APDU's data.
std::optional<Bytes> format_pin_apdu(const Bytes& apdu, const PinFormat& format, std::string_view digits);

struct PinpadOptions {
    std::string version = "Q-ward 2.04";  // the version answer's text, without a terminating zero
    // The capability answer: a byte of the reader's own, wLcdLayout (little-endian: 16 characters, 2 lines),
    // bTimeOut2.
    Bytes capability = {0x01, 0x10, 0x02, 0x1E};
    Bytes vendor_1f_answer = {0x1F, 0x00};
    KeypadOptions keypad;
};

// What the commands keep and what they saw, for tests and scenarios.
struct PinpadState {
    PinpadOptions options;
    std::shared_ptr<Keypad> keypad;
    // While false the keypad is out of service and the verification start is refused with answer kind 15.
    bool keypad_in_service = true;

    Bytes apdu_template;  // the APDU of the running verification, as the host sent it
    PinFormat format;

    int version_requests = 0;
    int vendor_1f = 0;
    int vendor_3f = 0;
    std::vector<Bytes> vendor_data;  // the data of each vendor data command
    int capability_requests = 0;
    std::vector<Bytes> pin_blocks;   // the data of each verification start, accepted or not
    int starts_refused = 0;
    int polls = 0;
    int finishes = 0;
    int aborts = 0;
    std::vector<Bytes> verify_apdus;    // each APDU the finish sent to the card, with the PIN in it
    std::vector<Bytes> card_responses;  // and what the card answered
};

// Installs the commands in the reader's command table, with a keypad of their own, and returns their state.
std::shared_ptr<PinpadState> install_pinpad_commands(Kernel& kernel, Reader& reader, PinpadOptions options = {});

}  // namespace sim
