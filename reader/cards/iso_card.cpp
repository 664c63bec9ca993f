// IsoCard: file system, session state and the ISO/IEC 7816-4 commands.
#include "iso_card.h"

#include <algorithm>

namespace sim {

namespace {

namespace sw = status_word;

constexpr uint8_t kIsoClass = 0x00;

namespace ins {
constexpr uint8_t verify = 0x20;
constexpr uint8_t get_challenge = 0x84;
constexpr uint8_t select = 0xA4;
constexpr uint8_t read_binary = 0xB0;
constexpr uint8_t update_binary = 0xD6;
}  // namespace ins

// SELECT P2: what comes back.
constexpr uint8_t kReturnFci = 0x00;
constexpr uint8_t kReturnFcp = 0x04;
constexpr uint8_t kReturnNothing = 0x0C;

constexpr uint8_t kPinPadding = 0xFF;

Bytes ascii(const char* text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

}  // namespace

IsoCard::IsoCard(IsoCardOptions options)
    : options_(std::move(options)), challenge_rng_(options_.challenge_seed), tries_left_(options_.pin_tries) {
    using A = Access;
    options_.pin_tries = std::min<uint8_t>(options_.pin_tries, 15);
    tries_left_ = options_.pin_tries;

    int mf = add_file({.fid = iso_layout::mf, .is_df = true});
    // Application template 61: AID (4F) and label (50) of the one application.
    Bytes dir = {0x61, 0x12, 0x4F, 0x08};
    dir.insert(dir.end(), iso_layout::app_aid.begin(), iso_layout::app_aid.end());
    Bytes label = ascii("Q-ward");
    dir.push_back(0x50);
    dir.push_back(static_cast<uint8_t>(label.size()));
    dir.insert(dir.end(), label.begin(), label.end());
    add_file({.fid = iso_layout::ef_dir, .parent = mf, .contents = dir, .update = A::never});
    add_file({.fid = iso_layout::ef_serial,
              .parent = mf,
              .contents = {0x54, 0x51, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01},
              .update = A::never});
    int app = add_file({.fid = iso_layout::df_app, .is_df = true, .parent = mf, .name = iso_layout::app_aid});
    add_file({.fid = iso_layout::ef_notes, .parent = app, .contents = Bytes(64, 0x00)});
    add_file({.fid = iso_layout::ef_holder, .parent = app, .contents = Bytes(32, 0x00), .update = A::pin});
    add_file({.fid = iso_layout::ef_secret,
              .parent = app,
              .contents = ascii("secret of Tavelo"),
              .read = A::pin,
              .update = A::never});
}

int IsoCard::add_file(File file) {
    files_.push_back(std::move(file));
    return static_cast<int>(files_.size()) - 1;
}

std::optional<int> IsoCard::find_child(int df, uint16_t fid, std::optional<bool> want_df) const {
    for (size_t i = 0; i < files_.size(); ++i) {
        const File& f = files_[i];
        if (f.parent == df && f.fid == fid && (!want_df || f.is_df == *want_df)) return static_cast<int>(i);
    }
    return std::nullopt;
}

std::optional<Bytes> IsoCard::ef_contents(uint16_t fid) const {
    for (const File& f : files_) {
        if (!f.is_df && f.fid == fid) return f.contents;
    }
    return std::nullopt;
}

bool IsoCard::allowed(Access access) const {
    return access == Access::always || (access == Access::pin && verified_);
}

Bytes IsoCard::reset(bool warm) {
    (void)warm;  // a warm reset of this card ends the session exactly as a cold one does
    if (options_.atr.empty()) {
        powered_ = false;
        return {};
    }
    powered_ = true;
    verified_ = false;
    current_df_ = 0;
    current_ef_ = -1;
    answers_since_reset_ = 0;
    return options_.atr;
}

void IsoCard::power_off() {
    powered_ = false;
    verified_ = false;
    current_df_ = 0;
    current_ef_ = -1;
}

Bytes IsoCard::transmit(const Bytes& command) {
    ++commands_seen_;
    if (!powered_) return {};
    if (options_.answers_before_mute && answers_since_reset_ >= *options_.answers_before_mute) return {};
    if (options_.mute_on_ins && command.size() >= 2 && command[1] == *options_.mute_on_ins) return {};
    ++answers_since_reset_;

    if (command.size() < 4) return response_apdu(sw::wrong_length);
    if (command[0] != kIsoClass) return response_apdu(sw::cla_not_supported);
    const uint8_t code = command[1];
    if (code != ins::select && code != ins::read_binary && code != ins::update_binary && code != ins::verify &&
        code != ins::get_challenge) {
        return response_apdu(sw::ins_not_supported);
    }
    std::optional<CommandApdu> apdu = parse_command_apdu(command);
    if (!apdu) return response_apdu(sw::wrong_length);
    switch (code) {
        case ins::select: return select(*apdu);
        case ins::read_binary: return read_binary(*apdu);
        case ins::update_binary: return update_binary(*apdu);
        case ins::verify: return verify(*apdu);
        default: return get_challenge(*apdu);
    }
}

// File control parameters: 62 (FCP) or 6F (FCI) around 82 file descriptor, 83 identifier, and 80 size for an
// EF or 84 name for a named DF.
Bytes IsoCard::fcp(int index, uint8_t p2) const {
    const File& f = files_[static_cast<size_t>(index)];
    Bytes body = {0x82, 0x01, static_cast<uint8_t>(f.is_df ? 0x38 : 0x01), 0x83, 0x02,
                  static_cast<uint8_t>(f.fid >> 8), static_cast<uint8_t>(f.fid & 0xFF)};
    if (!f.is_df) {
        body.insert(body.end(), {0x80, 0x02, static_cast<uint8_t>(f.contents.size() >> 8),
                                 static_cast<uint8_t>(f.contents.size() & 0xFF)});
    } else if (!f.name.empty()) {
        body.push_back(0x84);
        body.push_back(static_cast<uint8_t>(f.name.size()));
        body.insert(body.end(), f.name.begin(), f.name.end());
    }
    Bytes out = {static_cast<uint8_t>(p2 == kReturnFcp ? 0x62 : 0x6F), static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

Bytes IsoCard::select(const CommandApdu& apdu) {
    if (apdu.p2 != kReturnFci && apdu.p2 != kReturnFcp && apdu.p2 != kReturnNothing) {
        return response_apdu(sw::incorrect_p1_p2);
    }
    auto fid_of = [&] { return static_cast<uint16_t>(apdu.data[0] << 8 | apdu.data[1]); };
    const int parent = files_[static_cast<size_t>(current_df_)].parent;
    std::optional<int> found;
    switch (apdu.p1) {
        case 0x00:  // MF, DF or EF: the MF, the current DF, its children, its parent or the parent's children
            if (apdu.data.empty()) {
                found = 0;
                break;
            }
            if (apdu.data.size() != 2) return response_apdu(sw::wrong_length);
            if (fid_of() == iso_layout::mf) {
                found = 0;
            } else if (fid_of() == files_[static_cast<size_t>(current_df_)].fid) {
                found = current_df_;
            } else if (auto child = find_child(current_df_, fid_of(), std::nullopt)) {
                found = child;
            } else if (parent >= 0 && files_[static_cast<size_t>(parent)].fid == fid_of()) {
                found = parent;
            } else if (parent >= 0) {
                found = find_child(parent, fid_of(), std::nullopt);
            }
            break;
        case 0x01:  // child DF
        case 0x02:  // EF of the current DF
            if (apdu.data.size() != 2) return response_apdu(sw::wrong_length);
            found = find_child(current_df_, fid_of(), apdu.p1 == 0x01);
            break;
        case 0x03:  // parent DF
            if (!apdu.data.empty()) return response_apdu(sw::wrong_length);
            if (parent >= 0) found = parent;
            break;
        case 0x04:  // DF by name
            if (apdu.data.empty() || apdu.data.size() > 16) return response_apdu(sw::wrong_length);
            for (size_t i = 0; i < files_.size() && !found; ++i) {
                const Bytes& name = files_[i].name;
                if (files_[i].is_df && name.size() >= apdu.data.size() &&
                    std::equal(apdu.data.begin(), apdu.data.end(), name.begin())) {
                    found = static_cast<int>(i);
                }
            }
            break;
        default: return response_apdu(sw::incorrect_p1_p2);
    }
    if (!found) return response_apdu(sw::file_not_found);

    const File& file = files_[static_cast<size_t>(*found)];
    if (file.is_df) {
        current_df_ = *found;
        current_ef_ = -1;
    } else {
        current_df_ = file.parent;
        current_ef_ = *found;
    }
    if (apdu.p2 == kReturnNothing || !apdu.ne) return response_apdu(sw::ok);
    Bytes fci = fcp(*found, apdu.p2);
    if (fci.size() > *apdu.ne) fci.resize(*apdu.ne);
    return response_apdu(sw::ok, fci);
}

Bytes IsoCard::read_binary(const CommandApdu& apdu) {
    if (apdu.p1 & 0x80) return response_apdu(sw::function_not_supported);
    if (!apdu.data.empty() || !apdu.ne) return response_apdu(sw::wrong_length);
    if (current_ef_ < 0) return response_apdu(sw::no_current_ef);
    const File& ef = files_[static_cast<size_t>(current_ef_)];
    if (!allowed(ef.read)) return response_apdu(sw::security_not_satisfied);
    const size_t offset = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
    if (offset >= ef.contents.size()) return response_apdu(sw::wrong_p1_p2);
    const size_t count = std::min(*apdu.ne, ef.contents.size() - offset);
    const auto first = ef.contents.begin() + static_cast<std::ptrdiff_t>(offset);
    Bytes data(first, first + static_cast<std::ptrdiff_t>(count));
    return response_apdu(count < *apdu.ne ? sw::end_of_file : sw::ok, data);
}

Bytes IsoCard::update_binary(const CommandApdu& apdu) {
    if (apdu.p1 & 0x80) return response_apdu(sw::function_not_supported);
    if (apdu.data.empty() || apdu.ne) return response_apdu(sw::wrong_length);
    if (current_ef_ < 0) return response_apdu(sw::no_current_ef);
    File& ef = files_[static_cast<size_t>(current_ef_)];
    if (!allowed(ef.update)) return response_apdu(sw::security_not_satisfied);
    const size_t offset = static_cast<size_t>(apdu.p1) << 8 | apdu.p2;
    if (offset >= ef.contents.size()) return response_apdu(sw::wrong_p1_p2);
    if (offset + apdu.data.size() > ef.contents.size()) return response_apdu(sw::not_enough_memory);
    std::copy(apdu.data.begin(), apdu.data.end(), ef.contents.begin() + static_cast<std::ptrdiff_t>(offset));
    return response_apdu(sw::ok);
}

Bytes IsoCard::verify(const CommandApdu& apdu) {
    if (apdu.p1 != 0x00) return response_apdu(sw::incorrect_p1_p2);
    if (apdu.p2 != options_.pin_reference) return response_apdu(sw::reference_not_found);
    // "No data" is 4 bytes, or 5 whose P3 is 00 as a T=0 header carries it; any other Le is out of place.
    const bool query = apdu.data.empty() && (!apdu.ne || apdu.p3_zero);
    if (!query && (apdu.data.empty() || apdu.ne)) return response_apdu(sw::wrong_length);
    if (tries_left_ == 0) return response_apdu(sw::pin_blocked);
    if (query) return response_apdu(verified_ ? sw::ok : static_cast<uint16_t>(sw::verify_failed | tries_left_));

    Bytes offered = apdu.data;
    while (!offered.empty() && offered.back() == kPinPadding) offered.pop_back();
    if (offered == Bytes(options_.pin.begin(), options_.pin.end())) {
        verified_ = true;
        tries_left_ = options_.pin_tries;
        return response_apdu(sw::ok);
    }
    verified_ = false;
    --tries_left_;
    return response_apdu(static_cast<uint16_t>(sw::verify_failed | tries_left_));
}

Bytes IsoCard::get_challenge(const CommandApdu& apdu) {
    if (apdu.p1 != 0x00 || apdu.p2 != 0x00) return response_apdu(sw::incorrect_p1_p2);
    if (!apdu.data.empty() || !apdu.ne) return response_apdu(sw::wrong_length);
    Bytes challenge(*apdu.ne);
    for (uint8_t& byte : challenge) byte = static_cast<uint8_t>(challenge_rng_());
    return response_apdu(sw::ok, challenge);
}

}  // namespace sim
