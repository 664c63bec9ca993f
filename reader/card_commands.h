// The reader firmware's card commands: cold and warm reset with the ATR in data packets, power-down, the card APDU command, the reader management command and the abort command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "card.h"
#include "reader.h"

namespace sim {

// Command codes (command header byte 2) that the card commands serve.
namespace reader_command {
constexpr uint8_t management = 0x07;
constexpr uint8_t abort = 0x17;
constexpr uint8_t card_apdu = 0x21;
}  // namespace reader_command

// Answer kinds (answer header byte 2) that the card commands send.
namespace answer_kind {
constexpr uint8_t data = 3;
constexpr uint8_t error = 8;   // data: reader error code, then for card commands SW1 SW2
constexpr uint8_t failed = 15; // data: reader error code
}  // namespace answer_kind

// Reader error codes, byte 0 of an error answer.
namespace reader_error {
constexpr uint8_t unknown_function = 0x07;  // a management block of a form the reader does not know
constexpr uint8_t wrong_length = 0x21;      // a command block whose length does not fit its form or case
constexpr uint8_t card_status_word = 0x81;  // the card ended the command with an error status word (in bytes 1, 2)
constexpr uint8_t card_mute = 0x72;         // the card gave no answer to an APDU
}  // namespace reader_error

struct CardCommandOptions {
    // Bytes of the ATR in the first data packet (at least 2 for a well-behaved reader) and in each later one
    // (1 to 6).
    size_t first_atr_piece = 6;
    size_t atr_piece = 6;
    // A card-present status packet sent between the reset request and the first ATR packet, or between the
    // first and the second ATR packet: both are allowed by the protocol and carry no ATR bytes.
    bool status_before_atr = false;
    bool status_within_atr = false;
    // A response that is only an error status word (SW1 0x64 to 0x6F) comes back as an error answer (kind 8,
    // reader_error::card_status_word, SW1, SW2) instead of the card's response (kind 3).
    bool errors_as_error_answer = false;
    // The most bytes the management store holds.
    size_t management_store_size = 32;
};

// What the card commands keep and what they saw, for tests and scenarios.
struct CardCommandState {
    CardCommandOptions options;
    // The bytes the last management command of form 1 stored; the form-2 command answers them.
    Bytes management_store;
    std::vector<Bytes> apdus;              // each APDU passed to the card, rebuilt from its APDU block
    std::vector<Bytes> management_blocks;  // each management block received
    int resets = 0;
    int power_downs = 0;
    int aborts = 0;
};

// Installs the card commands in the reader's command table (replacing those installed before) and returns their
// state, which the handlers share.
std::shared_ptr<CardCommandState> install_card_commands(Reader& reader, CardCommandOptions options = {});

// The APDU that an APDU block stands for (CLA INS P1 P2, Lc or 00, Le or FF, then the APDU from byte 5 on, one
// byte longer than the APDU), by the case in the command header; empty when the block does not fit the case.
std::optional<Bytes> apdu_from_block(uint8_t apdu_case, const Bytes& block);

}  // namespace sim
