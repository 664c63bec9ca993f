// The workbench's scenario language: one command per line, parsed into commands with their line numbers; the same
// commands serve the interactive session. The help table here is the language's one description.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text.h"

namespace sim::workbench {

enum class Verb {
    // readers and the system
    plug, unplug, disable, query_remove, start, stop, use, sleep, resume, shutdown,
    // the card slot and the keypad
    insert, remove, keys,
    // the application
    open, close, ioctl, apdu, reset, power_down, protocol, attribute, track, await, cancel, pin, features, version,
    // faults and the reader's behaviour
    fail, reader,
    // checks
    expect_state, expect_pending, expect_debug, expect_device, expect_usb, expect_pool, expect_irps, expect_requests,
    // time and the run
    wait, note, seed,
};

// A reply pattern: hex bytes, "??" for any one byte, "*" for any run of bytes (none included).
class BytePattern {
   public:
    static std::optional<BytePattern> parse(const std::vector<std::string>& words, std::string& error);
    bool matches(std::span<const uint8_t> bytes) const;
    std::string text() const;
    bool empty() const { return items_.empty(); }

   private:
    struct Item {
        enum class Type { byte, any_byte, any_run } type = Type::byte;
        uint8_t value = 0;
    };
    std::vector<Item> items_;
};

// What a command expects of its outcome; empty parts are not checked.
struct Expectation {
    std::optional<NTSTATUS> status;
    std::optional<BytePattern> reply;
    bool any() const { return status || reply; }
};

struct KeyPress {
    enum class Key { digit, backspace, clear, validate, cancel, reader_end } key = Key::digit;
    char digit = '0';
    VirtualTime after = 0;  // since the key before it (the first: since the PIN entry began)
};

enum class PinAction { direct, start, key, finish, abort, properties };

// The PIN_VERIFY_STRUCTURE that `pin direct` and `pin start` send.
struct PinRequest {
    PinAction action = PinAction::direct;
    uint8_t timeout_s = 30;        // bTimerOut
    uint8_t min_digits = 4;        // wPINMaxExtraDigit, high byte
    uint8_t max_digits = 8;        // wPINMaxExtraDigit, low byte
    uint8_t validation = 0x02;     // bEntryValidationCondition
    uint8_t format = 0x82;         // bmFormatString: ASCII digits, left-justified, from the APDU's data byte 0
    uint8_t block = 0x08;          // bmPINBlockString: an 8-byte PIN block
    uint8_t length_format = 0x00;  // bmPINLengthFormat
    Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};  // VERIFY, 8 FFs
};
// The PIN_VERIFY_STRUCTURE bytes of PC/SC Part 10 for the request.
Bytes pin_verify_structure(const PinRequest& request);

struct Command {
    Verb verb = Verb::note;
    int line = 0;
    std::string display;  // the line as the transcript shows it: PIN digits and VERIFY data masked

    std::string reader;  // plug's name, `use`'s name, or `on READER`; empty = the current reader
    std::string name;    // handle, request, card, state, device state or text, by verb
    std::string via;     // the handle a request goes through; empty = the reader's latest
    ULONG code = 0;                     // ioctl: the control code
    Bytes input;                        // ioctl: input bytes; apdu: the APDU
    std::optional<ULONG> output_size;   // ioctl, apdu: the output buffer size
    std::string async_name;             // ioctl ... as NAME: overlapped
    uint64_t number = 0;                // reset: minor code; protocol: mask; attribute: tag; sleep: S-state; seed
    bool no_start = false;              // plug ... nostart
    VirtualTime duration = 0;           // wait; await ... within
    std::vector<KeyPress> keys;         // keys; empty with keys_none: a person who never types
    bool keys_none = false;
    PinRequest pin;
    Expectation expect;

    // fail: the kernel's fault site (FaultSite's value; -1 with fault_off: every site) and how its calls fail,
    // counted from this line on.
    int fault_site = -1;
    uint64_t fault_nth = 0;         // the nth call (1 = the next one)
    bool fault_from_nth = false;    // with fault_nth: that call and every later one
    uint64_t fault_every = 0;       // every call whose number is a multiple of this
    uint32_t fault_per_million = 0; // a seeded share of the calls
    bool fault_off = false;         // the site (or every site) fails no more

    // reader: the action (delay, withhold, refuse-writes, take-writes, silent, normal, reply, send, event) in
    // `name`; reply and send: the packet in `input`, its delay in `duration`; withhold: the count in `number`;
    // event: present or absent in `number` (1 or 0).
    // expect usb: the direction (OUT, IN or none) in `name` and the packet pattern.
    std::optional<BytePattern> pattern;
    // expect pool: the tag (empty: every tag) in `name`, the number of blocks in `number`; expect irps and
    // expect requests: the number in `number`.
};

struct ParseError {
    int line = 0;
    std::string message;
};

struct Scenario {
    std::vector<Command> commands;
    std::vector<ParseError> errors;
    std::optional<uint64_t> seed;  // from a `seed` line
};

// Parses a whole scenario. Every line is parsed, so that all errors are reported at once.
Scenario parse_scenario(std::string_view text);
// One line: a command, nothing (blank or comment), or an error.
struct LineResult {
    std::optional<Command> command;
    std::optional<ParseError> error;
};
LineResult parse_line(std::string_view line, int line_number);

// The language's description: one entry per verb, in the order `help` lists them.
struct VerbHelp {
    const char* group;
    const char* verb;
    const char* synopsis;
    const char* what;
};
const std::vector<VerbHelp>& verb_help();
// The help text: every verb, or one verb in full with its examples.
std::string help_text(std::string_view verb = {});

// Attribute names for `attribute`: "vendor-name" and so on.
struct AttributeName {
    const char* name;
    ULONG tag;
    bool text;  // the value is a string, not a number
};
const std::vector<AttributeName>& attribute_names();

// PIN material in an I/O control's input: the data of a VERIFY APDU sent with IOCTL_SMARTCARD_TRANSMIT, or the
// abData of a PIN_VERIFY_STRUCTURE. One flag per input byte.
std::vector<bool> ioctl_input_secret(ULONG code, std::span<const uint8_t> input);

}  // namespace sim::workbench
