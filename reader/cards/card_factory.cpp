// The card presets by name.
#include "card_factory.h"

#include <cctype>
#include <optional>
#include <string>

#include "echo_card.h"
#include "iso_card.h"
#include "openpgp_card.h"

namespace sim {

namespace {

struct Preset {
    CardPreset description;
    Bytes atr;                              // for an ISO card
    bool mute = false;                      // a MuteCard instead
    std::optional<int> answers_before_mute;
    bool echo = false;                      // an EchoCard instead
    std::optional<uint8_t> openpgp_max_pin;  // an OpenPgpCard announcing this PIN length maximum instead
};

const std::vector<Preset>& presets() {
    static const std::vector<Preset> table = {
        {{"iso", "ISO card, T=0 and T=1, 13-byte ATR"}, preset_atr::iso},
        {{"iso-t0", "ISO card, T=0 only, 9-byte ATR without TCK"}, preset_atr::iso_t0},
        {{"iso-t1", "ISO card, T=1 only, 13-byte ATR"}, preset_atr::iso_t1},
        {{"iso-2", "ISO card, ATR 3B 00"}, preset_atr::iso_2},
        {{"iso-4", "ISO card, ATR 3B 02 14 50"}, preset_atr::iso_4},
        {{"iso-6", "ISO card, T=0 and T=1, 6-byte ATR: one full packet"}, preset_atr::iso_6},
        {{"iso-7", "ISO card, T=0 and T=1, 7-byte ATR: two packets"}, preset_atr::iso_7},
        {{"iso-20", "ISO card, T=0 and T=1, TA1 13, 20-byte ATR"}, preset_atr::iso_20},
        {{"iso-long-atr", "ISO card with the longest valid ATR, 33 bytes"}, preset_atr::iso_33},
        {{"iso-inverse", "ISO card of the inverse convention (TS 3F)"}, preset_atr::iso_inverse},
        {{"mute", "answers neither reset nor command"}, {}, true},
        {{"mute-apdu", "ISO card that answers the reset and no command"}, preset_atr::iso, false, 0},
        {{"long-atr", "well-formed 36-byte ATR, longer than any ATR may be"}, preset_atr::too_long},
        {{"bad-tck", "the iso ATR with a wrong TCK"}, preset_atr::bad_tck},
        {{"bad-ts", "the iso ATR with TS 3C"}, preset_atr::bad_ts},
        {{"echo", "answers any APDU with as many bytes as its Le asks for, then 90 00"}, preset_atr::iso, false, {}, true},
        {{"openpgp", "OpenPGP card v2.0, PINs of up to 16 characters"}, {}, false, {}, false, 16},
        {{"openpgp-max32", "OpenPGP card v2.0 announcing PINs of up to 32 characters"}, {}, false, {}, false, 32},
    };
    return table;
}

std::optional<Bytes> parse_hex(std::string_view text) {
    Bytes bytes;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
        int nibble = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
        if (high < 0) {
            high = nibble;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | nibble));
            high = -1;
        }
    }
    if (high >= 0 || bytes.empty()) return std::nullopt;
    return bytes;
}

}  // namespace

const std::vector<CardPreset>& card_presets() {
    static const std::vector<CardPreset> names = [] {
        std::vector<CardPreset> out;
        for (const Preset& p : presets()) out.push_back(p.description);
        return out;
    }();
    return names;
}

std::unique_ptr<Card> make_card(std::string_view name) {
    constexpr std::string_view kCustom = "iso:";
    if (name.starts_with(kCustom)) {
        std::optional<Bytes> atr = parse_hex(name.substr(kCustom.size()));
        if (!atr) return nullptr;
        return std::make_unique<IsoCard>(IsoCardOptions{.name = std::string(name), .atr = *atr});
    }
    for (const Preset& p : presets()) {
        if (name != p.description.name) continue;
        if (p.mute) return std::make_unique<MuteCard>();
        if (p.echo) return std::make_unique<EchoCard>();
        if (p.openpgp_max_pin) {
            return make_openpgp_card(
                OpenPgpCardOptions{.name = p.description.name, .max_pin_length = *p.openpgp_max_pin});
        }
        return std::make_unique<IsoCard>(
            IsoCardOptions{.name = p.description.name, .atr = p.atr, .answers_before_mute = p.answers_before_mute});
    }
    return nullptr;
}

}  // namespace sim
