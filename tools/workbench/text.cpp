// Hex, durations, tokens and JSON strings for the workbench.
#include "text.h"

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

namespace sim::workbench {

namespace {

int nibble(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string hex_with(std::span<const uint8_t> bytes, const std::vector<bool>* secret, const char* gap) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i && *gap) text += gap;
        if (secret && i < secret->size() && (*secret)[i]) {
            text += "**";
        } else {
            text += digits[bytes[i] >> 4];
            text += digits[bytes[i] & 15];
        }
    }
    return text;
}

}  // namespace

std::string hex(std::span<const uint8_t> bytes, const std::vector<bool>* secret) { return hex_with(bytes, secret, " "); }

std::string hex_compact(std::span<const uint8_t> bytes, const std::vector<bool>* secret) {
    return hex_with(bytes, secret, "");
}

std::optional<Bytes> parse_hex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ':') {
            if (high >= 0) return std::nullopt;  // a lone digit between separators
            continue;
        }
        int value = nibble(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | value));
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return bytes;
}

std::optional<VirtualTime> parse_duration(std::string_view text) {
    size_t split = 0;
    while (split < text.size() && (std::isdigit(static_cast<unsigned char>(text[split])) || text[split] == '.')) ++split;
    if (split == 0) return std::nullopt;
    std::string number(text.substr(0, split));
    std::string unit = lower(text.substr(split));
    char* end = nullptr;
    double value = std::strtod(number.c_str(), &end);
    if (!end || *end != '\0' || !std::isfinite(value)) return std::nullopt;
    double scale = 0;  // 100 ns units per unit
    if (unit.empty() || unit == "ms") {
        scale = 10'000;
    } else if (unit == "s") {
        scale = 10'000'000;
    } else if (unit == "us") {
        scale = 10;
    } else if (unit == "min") {
        scale = 600'000'000;
    } else {
        return std::nullopt;
    }
    double ticks = value * scale;
    if (ticks > 1e15) return std::nullopt;
    return static_cast<VirtualTime>(std::llround(ticks));
}

std::string duration_text(VirtualTime duration) {
    char text[40];
    if (duration % 10'000'000 == 0) {
        std::snprintf(text, sizeof text, "%lld s", static_cast<long long>(duration / 10'000'000));
    } else if (duration % 10'000 == 0) {
        std::snprintf(text, sizeof text, "%lld ms", static_cast<long long>(duration / 10'000));
    } else {
        std::snprintf(text, sizeof text, "%.4f ms", to_ms(duration));
    }
    return text;
}

std::string time_text(VirtualTime time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", to_ms(time));
    return text;
}

std::optional<uint64_t> parse_number(std::string_view text) {
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty()) return std::nullopt;
    uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::string hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

Tokens tokenize(std::string_view line) {
    Tokens tokens;
    std::string word;
    bool in_word = false;
    bool quoted = false;
    for (char c : line) {
        if (quoted) {
            if (c == '"') {
                quoted = false;
            } else {
                word += c;
            }
            continue;
        }
        if (c == '"') {
            quoted = true;
            in_word = true;
            continue;
        }
        if (c == '#') break;
        if (std::isspace(static_cast<unsigned char>(c))) {
            if (in_word) tokens.words.push_back(std::move(word));
            word.clear();
            in_word = false;
            continue;
        }
        word += c;
        in_word = true;
    }
    if (quoted) {
        tokens.error = "a quote is not closed";
        return tokens;
    }
    if (in_word) tokens.words.push_back(std::move(word));
    return tokens;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    out += escape;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    out += '"';
    return out;
}

}  // namespace sim::workbench
