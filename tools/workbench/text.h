// Text helpers of the workbench: hex bytes both ways, durations in virtual time, line tokens, JSON strings.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "kernel.h"

namespace sim::workbench {

using Bytes = std::vector<uint8_t>;

// "00 A4 04 00"; bytes whose `secret` flag is set print as "**".
std::string hex(std::span<const uint8_t> bytes, const std::vector<bool>* secret = nullptr);
// Compact form without spaces, for JSON ("00A40400").
std::string hex_compact(std::span<const uint8_t> bytes, const std::vector<bool>* secret = nullptr);
// Hex digits in one or more tokens ("00A4", "04 00"); spaces and ':' between bytes allowed. Empty on odd digit
// counts or non-hex characters.
std::optional<Bytes> parse_hex(std::string_view text);

// "300ms", "2s", "1.5s", "250us", "1min"; a bare number is milliseconds.
std::optional<VirtualTime> parse_duration(std::string_view text);
// "300 ms", "2.5 s": the shortest exact form.
std::string duration_text(VirtualTime duration);
// The timeline stamp: milliseconds with three decimals.
std::string time_text(VirtualTime time);

// Unsigned numbers in decimal or with a 0x prefix.
std::optional<uint64_t> parse_number(std::string_view text);
std::string hex32(uint32_t value);  // "0x00310004"
// A pool tag as its characters, the way `expect pool` spells it: 0x0056524B is KRV (the kernel's spelling).
using sim::tag_chars;

// Splits a line into words: whitespace separates, "double quotes" keep spaces, '#' outside quotes starts a
// comment. Empty when the line holds nothing.
struct Tokens {
    std::vector<std::string> words;
    std::string error;  // an unclosed quote
};
Tokens tokenize(std::string_view line);

std::string lower(std::string_view text);
std::string upper(std::string_view text);

// A JSON string literal with the quotes.
std::string json_string(std::string_view text);

}  // namespace sim::workbench
