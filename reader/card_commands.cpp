// The reader firmware's card commands: resets delivering the ATR, power-down, APDUs run on the card, the management store and the abort command.
#include "card_commands.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {

constexpr size_t kApduHeaderLength = 4;
constexpr size_t kBlockLcIndex = 4;
constexpr size_t kBlockDataIndex = 6;
constexpr size_t kCommandCaseIndex = 5;

constexpr uint8_t kManagementFormData = 0x01;
constexpr uint8_t kManagementFormQuery = 0x02;

Bytes sub_bytes(const Bytes& bytes, size_t from, size_t count) {
    return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                 bytes.begin() + static_cast<std::ptrdiff_t>(from + count));
}

Packet atr_packet(const Bytes& atr, size_t from, size_t count) {
    Packet packet(kReaderPacketSize, 0);
    packet[0] = static_cast<uint8_t>(PacketKind::data);
    packet[1] = static_cast<uint8_t>(count);
    std::copy_n(atr.begin() + static_cast<std::ptrdiff_t>(from), count, packet.begin() + 2);
    return packet;
}

// Without a card the reader answers a card command with the card status, which the host takes as "no card".
bool require_card(Reader& reader) {
    if (reader.card()) return true;
    reader.send(card_status_packet(false));
    return false;
}

void reset(const std::shared_ptr<CardCommandState>& state, Reader& reader, bool warm) {
    if (!require_card(reader)) return;
    ++state->resets;
    const Bytes atr = reader.card()->reset(warm);
    // A card that does not answer the reset leaves the reader silent; the host's wait runs out.
    if (atr.empty()) return;
    const CardCommandOptions& options = state->options;
    if (options.status_before_atr) reader.send(card_status_packet(true));
    const size_t piece = std::clamp<size_t>(options.atr_piece, 1, kDataBytesPerPacket);
    size_t count = std::min({std::max<size_t>(options.first_atr_piece, 1), kDataBytesPerPacket, atr.size()});
    size_t sent = 0;
    while (sent < atr.size()) {
        reader.send(atr_packet(atr, sent, count));
        if (sent == 0 && options.status_within_atr) reader.send(card_status_packet(true));
        sent += count;
        count = std::min(piece, atr.size() - sent);
    }
}

bool is_error_status_word(const Bytes& response) {
    return response.size() == 2 && response[0] >= 0x64 && response[0] <= 0x6F;
}

void card_apdu(const std::shared_ptr<CardCommandState>& state, Reader& reader, const ReaderCommand& command) {
    if (!require_card(reader)) return;
    const uint8_t apdu_case = command.header.size() > kCommandCaseIndex ? command.header[kCommandCaseIndex] : 0;
    std::optional<Bytes> apdu = apdu_from_block(apdu_case, command.data);
    if (!apdu) {
        reader.send_answer(answer_kind::error, {reader_error::wrong_length, 0x67, 0x00});
        return;
    }
    if (reader.keeps_history()) state->apdus.push_back(*apdu);
    const Bytes response = reader.card()->transmit(*apdu);
    if (response.size() < 2) {
        reader.send_answer(answer_kind::failed, {reader_error::card_mute});
    } else if (state->options.errors_as_error_answer && is_error_status_word(response)) {
        reader.send_answer(answer_kind::error, {reader_error::card_status_word, response[0], response[1]});
    } else {
        reader.send_answer(answer_kind::data, response);
    }
}

// Form 1 {01, Lc, data} stores the data and answers with no data; form 2 {02} answers what is stored.
void management(const std::shared_ptr<CardCommandState>& state, Reader& reader, const ReaderCommand& command) {
    if (!require_card(reader)) return;
    const Bytes& block = command.data;
    if (reader.keeps_history()) state->management_blocks.push_back(block);
    if (!block.empty() && block[0] == kManagementFormData) {
        if (block.size() < 2 || block.size() != block[1] + 2u || block[1] > state->options.management_store_size) {
            reader.send_answer(answer_kind::error, {reader_error::wrong_length});
            return;
        }
        state->management_store = sub_bytes(block, 2, block[1]);
        reader.send_answer(answer_kind::data, {});
    } else if (block.size() == 1 && block[0] == kManagementFormQuery) {
        reader.send_answer(answer_kind::data, state->management_store);
    } else {
        reader.send_answer(answer_kind::error, {reader_error::unknown_function});
    }
}

}  // namespace

std::optional<Bytes> apdu_from_block(uint8_t apdu_case, const Bytes& block) {
    if (block.size() < kApduHeaderLength + 1) return std::nullopt;
    Bytes apdu = sub_bytes(block, 0, kApduHeaderLength);
    const size_t lc = block[kBlockLcIndex];
    switch (apdu_case) {
        case 1:
            if (block.size() != 5) return std::nullopt;
            return apdu;
        case 2:
            if (block.size() != 6) return std::nullopt;
            apdu.push_back(block[5]);
            return apdu;
        case 3:  // the block's Le byte is a placeholder; the data follows it
            if (lc == 0 || block.size() != kBlockDataIndex + lc) return std::nullopt;
            break;
        case 4:  // the data, then Le once more as the APDU's last byte
            if (block.size() != kBlockDataIndex + lc + 1) return std::nullopt;
            break;
        default:
            return std::nullopt;
    }
    apdu.push_back(static_cast<uint8_t>(lc));
    apdu.insert(apdu.end(), block.begin() + kBlockDataIndex, block.end());
    return apdu;
}

std::shared_ptr<CardCommandState> install_card_commands(Reader& reader, CardCommandOptions options) {
    auto state = std::make_shared<CardCommandState>();
    state->options = options;
    reader.set_handler(PacketKind::control, control_request::cold_reset,
                       [state](Reader& r, const ReaderCommand&) { reset(state, r, false); });
    reader.set_handler(PacketKind::control, control_request::warm_reset,
                       [state](Reader& r, const ReaderCommand&) { reset(state, r, true); });
    reader.set_handler(PacketKind::control, control_request::power_down, [state](Reader& r, const ReaderCommand&) {
        ++state->power_downs;
        if (r.card()) r.card()->power_off();
    });
    reader.set_handler(PacketKind::header, reader_command::card_apdu,
                       [state](Reader& r, const ReaderCommand& c) { card_apdu(state, r, c); });
    reader.set_handler(PacketKind::header, reader_command::management,
                       [state](Reader& r, const ReaderCommand& c) { management(state, r, c); });
    // The abort command has no answer. It ends the command the reader is still working on: an answer that is
    // still being prepared (not yet on the IN endpoint) is dropped; one already on the endpoint still arrives.
    reader.set_handler(PacketKind::header, reader_command::abort, [state](Reader& r, const ReaderCommand&) {
        ++state->aborts;
        r.drop_answers_in_preparation();
    });
    return state;
}

}  // namespace sim
