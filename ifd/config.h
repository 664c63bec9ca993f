// The reader's configuration, read from the DEVICENAME text of its reader.conf entry: what is in the card slot, who stands at the keypad, and how the simulated machine runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::ifd {

// What one person does at the keypad during one PIN entry.
struct KeypadEntry {
    enum class Action {
        type,        // types the digits, then presses the validation key
        type_only,   // types the digits and never validates (the entry times out)
        correct,     // mistypes, corrects with backspace and clear, types the digits, validates
        cancel,      // types a couple of digits, then presses cancel
        silent,      // never touches the keypad
    };
    Action action = Action::type;
    std::string digits;
    bool operator==(const KeypadEntry&) const = default;
};

struct ReaderConfig {
    // A built-in card by name ("openpgp", "iso", any name the card factory knows, "iso:" with an ATR in hex), or
    // empty for an empty slot. Ignored when vicc_port is set.
    std::string card = "openpgp";
    // Listen on 127.0.0.1 at this port for vsmartcard's card emulator: its connection is the card.
    std::optional<uint16_t> vicc_port;
    // One person per PIN entry, in order; the last one comes back for every later entry.
    std::vector<KeypadEntry> keypad = {{KeypadEntry::Action::type, "123456"}};
    uint32_t key_gap_ms = 150;     // between two keystrokes
    uint32_t first_key_ms = 400;   // from the prompt to the first keystroke
    bool fast_bus = false;         // transfers complete at once instead of one packet per 1 ms frame
    uint64_t seed = 1;
    uint32_t vicc_answer_timeout_ms = 10'000;

    bool operator==(const ReaderConfig&) const = default;
};

// What a DEVICENAME starts with, after its opening quote.
constexpr std::string_view kDeviceNamePrefix = "tavelo:";

// Reads "key=value" settings separated by blanks or ';' (reader.conf keeps a quoted DEVICENAME whole):
//   card=NAME | card=none | card=vicc | card=vicc:PORT     slot contents (vicc's default port is 35963)
//   pin=DIGITS                                            shorthand for keypad=DIGITS
//   keypad=ENTRY[,ENTRY...]  ENTRY: DIGITS | type:DIGITS | nokey:DIGITS | correct:DIGITS | cancel | silent
//   key-delay=MS  first-key=MS  bus=fast|full-speed  seed=N  vicc-timeout=MS
// In reader.conf: DEVICENAME "tavelo: card=openpgp keypad=123456,cancel" (quoted, and with the prefix; pcscd
// passes the quotes on, which are dropped here). Empty text gives the defaults. Returns nothing and sets `error` for text it cannot read.
std::optional<ReaderConfig> parse_reader_config(std::string_view text, std::string& error);

// The settings as text that parse_reader_config reads back to the same configuration.
std::string describe(const ReaderConfig& config);

}  // namespace sim::ifd
