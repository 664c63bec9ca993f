// Tests of the OpenPGP card: selection before anything else, the data objects middleware reads, PIN verification with its retry counters, and what a power cycle forgets.
#include <gtest/gtest.h>

#include "reader/cards/card_factory.h"
#include "reader/cards/openpgp_card.h"
#include "support/bytes.h"

namespace sim {
namespace {

Bytes hex(const char* text) { return test::hex_bytes(text); }

uint16_t sw(const Bytes& response) { return static_cast<uint16_t>(response[response.size() - 2] << 8 | response.back()); }

// The value of a TLV with a one- or two-byte tag inside a DO, or nothing.
std::optional<Bytes> find_tlv(const Bytes& data, uint16_t tag) {
    size_t at = 0;
    while (at < data.size()) {
        uint16_t t = data[at++];
        if ((t & 0x1F) == 0x1F) t = static_cast<uint16_t>(t << 8 | data[at++]);
        size_t length = data[at++];
        if (length == 0x81) length = data[at++];
        if (t == tag) return Bytes(data.begin() + static_cast<long>(at), data.begin() + static_cast<long>(at + length));
        at += length;
    }
    return std::nullopt;
}

struct Selected : testing::Test {
    void SetUp() override {
        EXPECT_EQ(card.reset(false), openpgp::atr);
        EXPECT_EQ(sw(card.transmit(hex("00 A4 04 00 06 D2 76 00 01 24 01"))), 0x9000);
    }
    OpenPgpCard card;
};

TEST(OpenPgpCard, AnswersOnlySelectionUntilTheApplicationIsSelected) {
    OpenPgpCard card;
    EXPECT_EQ(card.transmit(hex("00 CA 00 4F 00")), Bytes{}) << "unpowered cards answer nothing";
    card.reset(false);
    EXPECT_EQ(sw(card.transmit(hex("00 CA 00 4F 00"))), 0x6985);
    EXPECT_EQ(sw(card.transmit(hex("00 20 00 81 06 31 32 33 34 35 36"))), 0x6985);
    EXPECT_EQ(sw(card.transmit(hex("00 A4 04 00 05 A0 00 00 03 08"))), 0x6A82);
    EXPECT_EQ(sw(card.transmit(hex("00 A4 00 0C 02 3F 00"))), 0x6A82);
    // The full AID, with the FCI that carries it.
    Bytes fci = card.transmit(hex("00 A4 04 00 10 D2 76 00 01 24 01 02 00 FF FF 00 00 00 01 00 00 00"));
    EXPECT_EQ(sw(fci), 0x9000);
    fci.resize(fci.size() - 2);
    EXPECT_EQ(find_tlv(*find_tlv(fci, 0x6F), 0x84), openpgp::aid);
    EXPECT_TRUE(card.selected());
    EXPECT_EQ(sw(card.transmit(hex("80 CA 00 4F 00"))), 0x6E00);
    EXPECT_EQ(sw(card.transmit(hex("00 84 00 00 08"))), 0x6D00);
    EXPECT_EQ(sw(card.transmit(hex("00 CA"))), 0x6700);
}

TEST_F(Selected, DataObjectsAsMiddlewareReadsThem) {
    Bytes app = card.transmit(hex("00 CA 00 6E 00"));
    ASSERT_EQ(sw(app), 0x9000);
    app.resize(app.size() - 2);
    EXPECT_EQ(find_tlv(app, 0x4F), openpgp::aid);
    EXPECT_EQ(find_tlv(app, 0x5F52), (Bytes(openpgp::atr.begin() + 10, openpgp::atr.end() - 1)))
        << "historical bytes as in the ATR";
    std::optional<Bytes> discretionary = find_tlv(app, 0x73);
    ASSERT_TRUE(discretionary);
    EXPECT_EQ(find_tlv(*discretionary, 0xC4), hex("00 10 10 10 03 00 03"));
    EXPECT_EQ(find_tlv(*discretionary, 0xC5), Bytes(60, 0x00));
    EXPECT_EQ(find_tlv(*discretionary, 0xC1), hex("01 08 00 00 20 00"));
    Bytes holder = card.transmit(hex("00 CA 00 65 00"));
    holder.resize(holder.size() - 2);
    EXPECT_EQ(find_tlv(holder, 0x5F2D), hex("65 6E"));
    // Le cuts the answer; a DO the card lacks is 6A 88.
    EXPECT_EQ(card.transmit(hex("00 CA 00 4F 04")), hex("D2 76 00 01 90 00"));
    EXPECT_EQ(sw(card.transmit(hex("00 CA 7F 66 00"))), 0x6A88);
    EXPECT_EQ(card.transmit(hex("00 CA 7F 21 00")), hex("90 00"));
    // SELECT DATA of the three certificate occurrences, then of one that is not there.
    for (const char* p1 : {"00", "01", "02"}) {
        EXPECT_EQ(sw(card.transmit(hex((std::string("00 A5 ") + p1 + " 04 06 60 04 5C 02 7F 21").c_str()))), 0x9000);
    }
    EXPECT_EQ(sw(card.transmit(hex("00 A5 03 04 06 60 04 5C 02 7F 21"))), 0x6A88);
}

TEST_F(Selected, PinsCountTheirTriesApartAndARightPinRestoresThem) {
    struct Step {
        const char* apdu;
        uint16_t status;
        uint8_t pw1_tries;
        uint8_t pw3_tries;
    };
    const std::vector<Step> steps = {
        {"00 20 00 81", 0x63C3, 3, 3},                              // status query: not verified
        {"00 20 00 81 06 36 35 34 33 32 31", 0x63C2, 2, 3},        // wrong
        {"00 20 00 82 06 31 31 31 31 31 31", 0x63C1, 1, 3},        // 81 and 82 share PW1's counter
        {"00 20 00 83 08 31 32 33 34 35 36 37 38", 0x9000, 1, 3},  // PW3 right
        {"00 20 00 81 06 31 32 33 34 35 36", 0x9000, 3, 3},        // PW1 right: back to three
        {"00 20 00 81", 0x9000, 3, 3},                              // verified now
        {"00 20 00 82", 0x63C3, 3, 3},                              // 82 was not verified itself
        {"00 20 00 84 06 31 32 33 34 35 36", 0x6A86, 3, 3},        // no such reference
        {"00 20 00 83 05 31 32 33 34 35", 0x63C2, 3, 2},
        {"00 20 00 83 05 31 32 33 34 35", 0x63C1, 3, 1},
        {"00 20 00 83 05 31 32 33 34 35", 0x6983, 3, 0},           // the last try: blocked
        {"00 20 00 83 08 31 32 33 34 35 36 37 38", 0x6983, 3, 0},  // even the right PIN
        {"00 20 00 83", 0x6983, 3, 0},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.apdu);
        EXPECT_EQ(sw(card.transmit(hex(step.apdu))), step.status);
        EXPECT_EQ(card.tries_left(openpgp::pw1), step.pw1_tries);
        EXPECT_EQ(card.tries_left(openpgp::pw3), step.pw3_tries);
    }
    EXPECT_EQ(card.data_object(0x00C4), hex("00 10 10 10 03 00 00"));
}

TEST_F(Selected, PowerCycleForgetsVerificationButNotTheCounters) {
    EXPECT_EQ(sw(card.transmit(hex("00 20 00 81 06 31 32 33 34 35 36"))), 0x9000);
    EXPECT_EQ(sw(card.transmit(hex("00 20 00 83 05 30 30 30 30 30"))), 0x63C2);
    EXPECT_TRUE(card.verified(openpgp::pw1_sign));
    card.power_off();
    card.reset(true);
    EXPECT_FALSE(card.verified(openpgp::pw1_sign));
    EXPECT_FALSE(card.selected());
    EXPECT_EQ(sw(card.transmit(hex("00 A4 04 0C 06 D2 76 00 01 24 01"))), 0x9000);
    EXPECT_EQ(sw(card.transmit(hex("00 20 00 83"))), 0x63C2);
}

// The presets by name: the PIN length maximum the PW status bytes announce, alone (C4) and inside the application
// data (6E, 73, C4), with the counters after it; both take the same PINs.
TEST(OpenPgpCard, PresetsAnnounceTheirPinLengthMaximum) {
    struct Row {
        const char* name;
        const char* pw_status;
    };
    const Row rows[] = {{"openpgp", "00 10 10 10 03 00 03"}, {"openpgp-max32", "00 20 20 20 03 00 03"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Card> card = make_card(row.name);
        ASSERT_TRUE(card);
        EXPECT_EQ(card->name(), row.name);
        EXPECT_EQ(card->reset(false), openpgp::atr);
        EXPECT_EQ(sw(card->transmit(hex("00 A4 04 00 06 D2 76 00 01 24 01"))), 0x9000);
        Bytes status = card->transmit(hex("00 CA 00 C4 00"));
        EXPECT_EQ(status, hex((std::string(row.pw_status) + " 90 00").c_str()));
        Bytes app = card->transmit(hex("00 CA 00 6E 00"));
        ASSERT_EQ(sw(app), 0x9000);
        app.resize(app.size() - 2);
        std::optional<Bytes> discretionary = find_tlv(app, 0x73);
        ASSERT_TRUE(discretionary);
        EXPECT_EQ(find_tlv(*discretionary, 0xC4), hex(row.pw_status));
        EXPECT_EQ(sw(card->transmit(hex("00 20 00 81 06 36 35 34 33 32 31"))), 0x63C2);
        EXPECT_EQ(card->transmit(hex("00 CA 00 C4 00"))[4], 2) << "the counter the PW status bytes report";
        EXPECT_EQ(sw(card->transmit(hex("00 20 00 81 06 31 32 33 34 35 36"))), 0x9000);
    }
}

}  // namespace
}  // namespace sim
