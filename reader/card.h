// The card in the reader's slot as the firmware sees it; the virtual cards implement it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

using Bytes = std::vector<uint8_t>;

class Card {
   public:
    virtual ~Card() = default;
    virtual std::string name() const { return "card"; }
    // Contacts reset, after powering them up (cold) or with power kept (warm): the answer to reset.
    // An empty answer is a card that stays silent.
    virtual Bytes reset(bool warm) = 0;
    // Contacts powered and the card cold-reset: its answer to reset.
    Bytes power_on() { return reset(false); }
    virtual void power_off() {}
    // One command APDU in, the response APDU (data, then SW1 SW2) out.
    virtual Bytes transmit(const Bytes& apdu) = 0;
};

}  // namespace sim
