// Byte strings written as hex text in tests ("3B 02 14 50") and back, for readable tables and failure messages.
#pragma once

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace sim::test {

// Pairs of hex digits, with any spaces between them; anything else is a mistake in the test itself.
inline std::vector<uint8_t> hex_bytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) throw std::invalid_argument("not hex: " + std::string(text));
        int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : (std::toupper(c) - 'A' + 10);
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits: " + std::string(text));
    return bytes;
}

template <typename Bytes>
std::string hex_text(const Bytes& bytes) {
    std::string text;
    char two[4];
    for (auto byte : bytes) {
        std::snprintf(two, sizeof two, "%02X", static_cast<unsigned>(static_cast<uint8_t>(byte)));
        if (!text.empty()) text += ' ';
        text += two;
    }
    return text;
}

}  // namespace sim::test
