// The reader firmware's PIN pad and vendor commands, and the PIN formatting that puts the typed digits into the card's APDU.
#include "pin_commands.h"

#include <algorithm>
#include <iterator>

#include "card_commands.h"

namespace sim {

namespace {

constexpr size_t kApduHeaderLength = 5;  // CLA INS P1 P2 Lc
constexpr size_t kApduLcIndex = 4;
constexpr uint8_t kBlockConstants[] = {0x81, 0x82, 0x00, 0x00};  // PIN block bytes 5 to 8
constexpr size_t kBlockConstantsIndex = 5;
constexpr size_t kMaxDigits = 16;

// The status words the PIN commands answer with besides the card's.
constexpr uint8_t kSw1Refused = 0x6B;
constexpr uint8_t kSw2Refused = 0x80;
constexpr uint8_t kSw1NotAllowed = 0x69;
constexpr uint8_t kSw2NotAllowed = 0x85;
constexpr uint8_t kSw1PinEntry = 0x64;
constexpr uint8_t kSw2Cancelled = 0x01;

enum class Coding { binary = 0, bcd = 1, ascii = 2 };

// Writes `width` bits of value at bit `offset` of data, most significant bit first.
void put_bits(Bytes& data, size_t offset, size_t width, unsigned value) {
    for (size_t i = 0; i < width; ++i) {
        const size_t position = offset + i;
        const uint8_t mask = static_cast<uint8_t>(0x80 >> (position % 8));
        if ((value >> (width - 1 - i)) & 1) {
            data[position / 8] |= mask;
        } else {
            data[position / 8] &= static_cast<uint8_t>(~mask);
        }
    }
}

bool require_card(Reader& reader) {
    if (reader.card()) return true;
    reader.send(card_status_packet(false));
    return false;
}

void refuse(const std::shared_ptr<PinpadState>& state, Reader& reader) {
    ++state->starts_refused;
    reader.send_answer(answer_kind::error, {pinpad_error::bad_pin_block, kSw1Refused, kSw2Refused});
}

// The PIN block must name the constants the reader expects, an APDU that carries data, a maximum length of 1 to 16
// digits, and a format in which that many digits fit the APDU.
bool pin_block_acceptable(const Bytes& block) {
    if (block.size() < pin_block::length + kApduHeaderLength) return false;
    if (!std::equal(std::begin(kBlockConstants), std::end(kBlockConstants), block.begin() + kBlockConstantsIndex)) {
        return false;
    }
    const Bytes apdu(block.begin() + pin_block::length, block.end());
    if (apdu.size() != block[pin_block::apdu_length]) return false;
    const size_t max_digits = block[pin_block::max_digits];
    if (max_digits == 0 || max_digits > kMaxDigits) return false;
    const PinFormat format{block[pin_block::format_string], block[pin_block::block_string],
                           block[pin_block::length_format]};
    return format_pin_apdu(apdu, format, std::string(max_digits, '8')).has_value();
}

void verify_start(const std::shared_ptr<PinpadState>& state, Reader& reader, const ReaderCommand& command) {
    if (!require_card(reader)) return;
    const Bytes& block = command.data;
    if (reader.keeps_history()) state->pin_blocks.push_back(block);
    if (!state->keypad_in_service) {
        ++state->starts_refused;
        reader.send_answer(answer_kind::failed, {pinpad_error::keypad_locked});
        return;
    }
    if (!pin_block_acceptable(block)) {
        refuse(state, reader);
        return;
    }
    state->apdu_template.assign(block.begin() + pin_block::length, block.end());
    state->format = {block[pin_block::format_string], block[pin_block::block_string], block[pin_block::length_format]};
    const uint8_t seconds = block[pin_block::timer_out];
    const VirtualTime timeout = seconds ? from_ms(seconds * 1000LL) : state->options.keypad.default_timeout;
    state->keypad->begin_entry(timeout, block[pin_block::max_digits]);
    reader.send_answer(pinpad_answer::success, {});
}

void key_poll(const std::shared_ptr<PinpadState>& state, Reader& reader) {
    ++state->polls;
    if (state->keypad->poll() == Keypad::Poll::no_entry) {
        reader.send_answer(answer_kind::error, {pinpad_error::no_entry, kSw1NotAllowed, kSw2NotAllowed});
    }
}

// The reader puts the typed digits into the APDU and sends it to the card itself; the host learns only the card's
// status word: as a data answer for 90 00, as an error answer carrying it otherwise.
void verify_finish(const std::shared_ptr<PinpadState>& state, Reader& reader) {
    ++state->finishes;
    if (!require_card(reader)) return;
    Keypad& keypad = *state->keypad;
    if (keypad.entry() == Keypad::Entry::idle) {
        reader.send_answer(answer_kind::error, {pinpad_error::no_entry, kSw1NotAllowed, kSw2NotAllowed});
        return;
    }
    if (keypad.cancelled()) {
        keypad.end_entry();
        reader.send_answer(answer_kind::error, {pinpad_error::entry_cancelled, kSw1PinEntry, kSw2Cancelled});
        return;
    }
    const std::optional<Bytes> apdu = format_pin_apdu(state->apdu_template, state->format, keypad.digits());
    keypad.end_entry();
    if (!apdu) {
        reader.send_answer(answer_kind::error, {pinpad_error::bad_pin_block, kSw1Refused, kSw2Refused});
        return;
    }
    if (reader.keeps_history()) state->verify_apdus.push_back(*apdu);
    const Bytes response = reader.card()->transmit(*apdu);
    if (reader.keeps_history()) state->card_responses.push_back(response);
    if (response.size() < 2) {
        reader.send_answer(answer_kind::failed, {reader_error::card_mute});
        return;
    }
    const uint8_t sw1 = response[response.size() - 2];
    const uint8_t sw2 = response[response.size() - 1];
    if (sw1 == 0x90 && sw2 == 0x00) {
        reader.send_answer(answer_kind::data, {sw1, sw2});
    } else {
        reader.send_answer(answer_kind::error, {reader_error::card_status_word, sw1, sw2});
    }
}

}  // namespace

std::optional<Bytes> format_pin_apdu(const Bytes& apdu, const PinFormat& format, std::string_view digits) {
    if (apdu.size() < kApduHeaderLength) return std::nullopt;
    const size_t lc = apdu[kApduLcIndex];
    if (apdu.size() < kApduHeaderLength + lc) return std::nullopt;
    const size_t data_bits = lc * 8;

    const auto coding = static_cast<Coding>(format.format_string & 0x03);
    if ((format.format_string & 0x03) == 0x03) return std::nullopt;
    const size_t offset_unit = (format.format_string & 0x80) ? 8 : 1;
    const size_t frame_offset = ((format.format_string >> 3) & 0x0F) * offset_unit;
    const bool right_justified = (format.format_string & 0x04) != 0;
    const size_t digit_bits = coding == Coding::bcd ? 4 : 8;
    const size_t pin_bits = digits.size() * digit_bits;
    const size_t block_bytes = format.block_string & 0x0F;
    const size_t frame_bits = block_bytes ? block_bytes * 8 : pin_bits;
    const size_t length_bits = format.block_string >> 4;
    const size_t length_offset = (format.length_format & 0x0F) * ((format.length_format & 0x10) ? 8 : 1);

    if (pin_bits > frame_bits) return std::nullopt;
    Bytes data(apdu.begin() + kApduHeaderLength, apdu.begin() + static_cast<std::ptrdiff_t>(kApduHeaderLength + lc));
    if (lc == 0) {
        // An APDU without command data (Lc 0, as OpenSC sends it) asks the reader to append the PIN frame
        // itself and set Lc: the data is as long as the frame and the length field need, padded with FF.
        const size_t needed_bits = std::max(frame_offset + frame_bits, length_bits ? length_offset + length_bits : 0);
        const size_t needed_bytes = (needed_bits + 7) / 8;
        if (needed_bytes == 0 || needed_bytes > 255) return std::nullopt;
        data.assign(needed_bytes, 0xFF);
    } else {
        if (frame_offset + frame_bits > data_bits) return std::nullopt;
        if (length_bits && length_offset + length_bits > data_bits) return std::nullopt;
    }
    if (length_bits) put_bits(data, length_offset, length_bits, static_cast<unsigned>(digits.size()));
    size_t position = right_justified ? frame_offset + frame_bits - pin_bits : frame_offset;
    for (char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        const unsigned value = static_cast<unsigned>(digit - '0');
        put_bits(data, position, digit_bits, coding == Coding::ascii ? 0x30 + value : value);
        position += digit_bits;
    }
    Bytes result(apdu.begin(), apdu.begin() + kApduHeaderLength);
    result[kApduLcIndex] = static_cast<uint8_t>(data.size());
    result.insert(result.end(), data.begin(), data.end());
    // Whatever followed the command data (an Le byte) stays after it.
    result.insert(result.end(), apdu.begin() + static_cast<std::ptrdiff_t>(kApduHeaderLength + lc), apdu.end());
    return result;
}

std::shared_ptr<PinpadState> install_pinpad_commands(Kernel& kernel, Reader& reader, PinpadOptions options) {
    auto state = std::make_shared<PinpadState>();
    state->options = options;
    state->keypad = std::make_shared<Keypad>(kernel, reader, options.keypad);
    using P = PacketKind;
    reader.set_handler(P::header, pinpad_command::version, [state](Reader& r, const ReaderCommand&) {
        ++state->version_requests;
        r.send_answer(pinpad_answer::success, Bytes(state->options.version.begin(), state->options.version.end()));
    });
    reader.set_handler(P::header, pinpad_command::vendor_1f, [state](Reader& r, const ReaderCommand&) {
        ++state->vendor_1f;
        r.send_answer(pinpad_answer::success, state->options.vendor_1f_answer);
    });
    // The vendor data command and vendor command 0x3F have no answer.
    reader.set_handler(P::header, pinpad_command::vendor_data,
                       [state](Reader& r, const ReaderCommand& c) {
                           if (r.keeps_history()) state->vendor_data.push_back(c.data);
                       });
    reader.set_handler(P::header, pinpad_command::vendor_3f,
                       [state](Reader&, const ReaderCommand&) { ++state->vendor_3f; });
    reader.set_handler(P::header, pinpad_command::capability, [state](Reader& r, const ReaderCommand&) {
        ++state->capability_requests;
        r.send_answer(answer_kind::data, state->options.capability);
    });
    reader.set_handler(P::header, pinpad_command::verify_start,
                       [state](Reader& r, const ReaderCommand& c) { verify_start(state, r, c); });
    reader.set_handler(P::header, pinpad_command::key_poll,
                       [state](Reader& r, const ReaderCommand&) { key_poll(state, r); });
    reader.set_handler(P::header, pinpad_command::verify_finish,
                       [state](Reader& r, const ReaderCommand&) { verify_finish(state, r); });
    reader.set_handler(P::header, pinpad_command::abort, [state](Reader& r, const ReaderCommand&) {
        ++state->aborts;
        state->keypad->end_entry();
        r.send_answer(pinpad_answer::aborted, {});
    });
    return state;
}

}  // namespace sim
