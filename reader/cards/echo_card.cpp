// The echo card's answers.
#include "echo_card.h"

#include "apdu.h"
#include "card_factory.h"

namespace sim {

Bytes EchoCard::reset(bool) { return preset_atr::iso; }

Bytes EchoCard::transmit(const Bytes& apdu) {
    const std::optional<CommandApdu> command = parse_command_apdu(apdu);
    if (!command) return response_apdu(status_word::wrong_length);
    // The data counts down from the instruction byte, so that a reader that mixed up or dropped bytes shows.
    Bytes data(command->ne.value_or(0));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(command->ins - i);
    return response_apdu(status_word::ok, data);
}

}  // namespace sim
