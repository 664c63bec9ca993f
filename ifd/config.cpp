// Reading the reader's DEVICENAME settings.
#include "config.h"

#include <cctype>
#include <charconv>

#include "reader/vicc_card.h"

namespace sim::ifd {

namespace {

template <typename Number>
bool read_number(std::string_view text, Number& out) {
    if (text.empty()) return false;
    auto [end, problem] = std::from_chars(text.data(), text.data() + text.size(), out);
    return problem == std::errc() && end == text.data() + text.size();
}

bool all_digits(std::string_view text) {
    if (text.empty() || text.size() > 32) return false;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    }
    return true;
}

std::optional<KeypadEntry> read_entry(std::string_view text) {
    using A = KeypadEntry::Action;
    if (text == "cancel") return KeypadEntry{A::cancel, ""};
    if (text == "silent") return KeypadEntry{A::silent, ""};
    struct Prefix {
        std::string_view name;
        A action;
    };
    for (Prefix p : {Prefix{"type:", A::type}, Prefix{"nokey:", A::type_only}, Prefix{"correct:", A::correct}}) {
        if (text.starts_with(p.name)) {
            std::string_view digits = text.substr(p.name.size());
            if (!all_digits(digits)) return std::nullopt;
            return KeypadEntry{p.action, std::string(digits)};
        }
    }
    if (!all_digits(text)) return std::nullopt;
    return KeypadEntry{A::type, std::string(text)};
}

std::string entry_text(const KeypadEntry& entry) {
    switch (entry.action) {
        case KeypadEntry::Action::type: return entry.digits;
        case KeypadEntry::Action::type_only: return "nokey:" + entry.digits;
        case KeypadEntry::Action::correct: return "correct:" + entry.digits;
        case KeypadEntry::Action::cancel: return "cancel";
        case KeypadEntry::Action::silent: return "silent";
    }
    return "";
}

}  // namespace

std::optional<ReaderConfig> parse_reader_config(std::string_view text, std::string& error) {
    ReaderConfig config;
    // pcscd hands a quoted DEVICENAME over with its quotes; the "tavelo:" prefix is what spares the text pcscd's
    // check that a DEVICENAME without a colon names an existing file.
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') text = text.substr(1, text.size() - 2);
    if (text.starts_with(kDeviceNamePrefix)) text.remove_prefix(kDeviceNamePrefix.size());
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find_first_of(" \t;", at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view item = text.substr(at, end - at);
        at = end + 1;
        if (item.empty()) continue;
        size_t equals = item.find('=');
        if (equals == std::string_view::npos) {
            error = "setting without a value: '" + std::string(item) + "' (expected key=value)";
            return std::nullopt;
        }
        std::string_view key = item.substr(0, equals);
        std::string_view value = item.substr(equals + 1);
        auto bad = [&](const char* expected) {
            error = "bad value for " + std::string(key) + ": '" + std::string(value) + "' (" + expected + ")";
            return std::nullopt;
        };
        if (key == "card") {
            config.vicc_port.reset();
            if (value == "none") {
                config.card.clear();
            } else if (value == "vicc") {
                config.vicc_port = kViccDefaultPort;
            } else if (value.starts_with("vicc:")) {
                uint16_t port = 0;
                if (!read_number(value.substr(5), port) || port == 0) return bad("vicc:PORT, a TCP port");
                config.vicc_port = port;
            } else if (value.empty()) {
                return bad("a card name, none or vicc");
            } else {
                config.card = std::string(value);
            }
        } else if (key == "pin" || key == "keypad") {
            std::vector<KeypadEntry> entries;
            size_t from = 0;
            while (from <= value.size()) {
                size_t comma = value.find(',', from);
                if (comma == std::string_view::npos) comma = value.size();
                std::optional<KeypadEntry> entry = read_entry(value.substr(from, comma - from));
                if (!entry || (key == "pin" && entry->action != KeypadEntry::Action::type)) {
                    return bad(key == "pin" ? "the digits the person types"
                                            : "DIGITS, type:DIGITS, nokey:DIGITS, correct:DIGITS, cancel or silent");
                }
                entries.push_back(*entry);
                from = comma + 1;
            }
            config.keypad = std::move(entries);
        } else if (key == "key-delay") {
            if (!read_number(value, config.key_gap_ms)) return bad("milliseconds");
        } else if (key == "first-key") {
            if (!read_number(value, config.first_key_ms)) return bad("milliseconds");
        } else if (key == "vicc-timeout") {
            if (!read_number(value, config.vicc_answer_timeout_ms) || config.vicc_answer_timeout_ms == 0) {
                return bad("milliseconds");
            }
        } else if (key == "bus") {
            if (value == "fast") {
                config.fast_bus = true;
            } else if (value == "full-speed") {
                config.fast_bus = false;
            } else {
                return bad("fast or full-speed");
            }
        } else if (key == "seed") {
            if (!read_number(value, config.seed)) return bad("a number");
        } else {
            error = "unknown setting '" + std::string(key) + "'";
            return std::nullopt;
        }
    }
    return config;
}

std::string describe(const ReaderConfig& config) {
    std::string text = "card=";
    if (config.vicc_port) {
        text += "vicc:" + std::to_string(*config.vicc_port);
    } else {
        text += config.card.empty() ? "none" : config.card;
    }
    text += " keypad=";
    for (size_t i = 0; i < config.keypad.size(); ++i) text += (i ? "," : "") + entry_text(config.keypad[i]);
    text += " key-delay=" + std::to_string(config.key_gap_ms) + " first-key=" + std::to_string(config.first_key_ms);
    text += std::string(" bus=") + (config.fast_bus ? "fast" : "full-speed");
    text += " seed=" + std::to_string(config.seed);
    text += " vicc-timeout=" + std::to_string(config.vicc_answer_timeout_ms);
    return text;
}

}  // namespace sim::ifd
