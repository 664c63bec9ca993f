// EchoCard: a card for measuring exchanges of every size. It answers any short APDU with as many data bytes as its Le
// asks for (256 for Le 00; none without Le), then 90 00, whatever the command; a command it cannot read as a short
// APDU gets 67 00. ATR: the ISO card's (T=0 and T=1).
#pragma once

#include "reader/card.h"

namespace sim {

class EchoCard : public Card {
   public:
    std::string name() const override { return "echo"; }
    Bytes reset(bool warm) override;
    Bytes transmit(const Bytes& apdu) override;
};

}  // namespace sim
