// OpenPgpCard: a small OpenPGP card of application version 2.0 (no keys on it), enough for PC/SC middleware to recognise it, read its data objects and verify its PINs, on the keypad too.
//
// ATR: 3B DA 11 FF 81 B1 FE 55 1F 03 00 31 84 73 80 01 80 00 90 00 E4 (T=1), the one of OpenPGP v2.0 tokens whose
// card capabilities (historical bytes 73 80 01 80) announce command chaining and no extended lengths: the reader
// carries short APDUs only.
// Application: AID D2 76 00 01 24 01 02 00 FF FF 00 00 00 01 00 00 (version 2.0, manufacturer FFFF, the test-card
// number, serial 00000001). Until it is selected every command but SELECT answers 69 85.
// Commands (CLA 00):
//   SELECT        A4 04 00  by DF name: the application (its full AID or the first 6 bytes) answers an FCI with the AID
//                           (6F 12 84 10 AID) when Le is given; any other name 6A 82.
//   GET DATA      CA P1 P2  the data objects below; others 6A 88. The answer is cut to Le.
//   SELECT DATA   A5 P1 04  data 60 04 5C 02 7F 21: one of the three cardholder certificates (P1 00 to 02, all
//                           empty): 90 00; any other occurrence or data 6A 88.
//   VERIFY        20 00 P2  P2 81 and 82: PW1 (default "123456", 6 digits or more), 83: PW3 ("12345678", 8 or more).
//                           Three tries each: a wrong PIN gives 63 Cx with x tries left, a right one 90 00 and the
//                           tries back to three, no tries left 69 83. Without data it reports: 90 00 while verified,
//                           else 63 Cx. PW1 and PW3 keep their counters apart; 81 and 82 share PW1's.
// Anything else: 6D 00 (unknown instruction), 6E 00 (other class), 67 00 (no short APDU).
// Data objects: 4F AID; 5E login data (empty); 65 cardholder data (5B name "Tavelo<<Test", 5F2D "en", 5F35 "9");
// 6E application data (4F, 5F52 historical bytes, 73 with C0 extended capabilities, C1 C2 C3 algorithm attributes
// RSA 2048, C4 PW status, C5 fingerprints, C6 CA fingerprints, CD dates: every fingerprint and date zero, no key);
// 7A security support (93 signature counter 0); 5F50 URL (empty); 5F52 historical bytes; C4 PW status;
// 0101 and 0102 private DOs (empty); 7F21 cardholder certificate (empty).
// C4, PW status bytes: 00 (PW1 for one signature), the maximum lengths of PW1, RC and PW3 (10 10 10: 16 each, or
// what the options announce), then the tries left of PW1, the resetting code (0: none) and PW3.
#pragma once

#include <memory>
#include <string>

#include "reader/card.h"
#include "reader/cards/apdu.h"

namespace sim {

namespace openpgp {
inline const Bytes atr = {0x3B, 0xDA, 0x11, 0xFF, 0x81, 0xB1, 0xFE, 0x55, 0x1F, 0x03, 0x00,
                          0x31, 0x84, 0x73, 0x80, 0x01, 0x80, 0x00, 0x90, 0x00, 0xE4};
inline const Bytes aid = {0xD2, 0x76, 0x00, 0x01, 0x24, 0x01, 0x02, 0x00,
                          0xFF, 0xFF, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
constexpr uint8_t pw1_sign = 0x81;
constexpr uint8_t pw1 = 0x82;
constexpr uint8_t pw3 = 0x83;
}  // namespace openpgp

struct OpenPgpCardOptions {
    std::string name = "openpgp";
    std::string user_pin = "123456";
    std::string admin_pin = "12345678";
    uint8_t tries = 3;
    // The longest PW1, RC and PW3 the PW status bytes announce. Cards of version 2 announce 32 and more (many 64
    // or 127); middleware asks a PIN pad for PINs of up to this length unless the reader says it takes fewer.
    uint8_t max_pin_length = 16;
};

class OpenPgpCard : public Card {
   public:
    explicit OpenPgpCard(OpenPgpCardOptions options = {});

    std::string name() const override { return options_.name; }
    Bytes reset(bool warm) override;
    void power_off() override;
    Bytes transmit(const Bytes& command) override;

    // ---- For tests --------------------------------------------------------------------------------------
    bool selected() const { return selected_; }
    bool verified(uint8_t reference) const;
    uint8_t tries_left(uint8_t reference) const;
    // A data object as GET DATA answers it, or nothing.
    std::optional<Bytes> data_object(uint16_t tag) const;

   private:
    Bytes select(const CommandApdu& apdu);
    Bytes select_data(const CommandApdu& apdu);
    Bytes get_data(const CommandApdu& apdu);
    Bytes verify(const CommandApdu& apdu);
    Bytes pw_status() const;

    OpenPgpCardOptions options_;
    bool powered_ = false;
    bool selected_ = false;
    uint8_t pw1_tries_;
    uint8_t pw3_tries_;
    bool pw1_sign_verified_ = false;
    bool pw1_verified_ = false;
    bool pw3_verified_ = false;
};

std::unique_ptr<Card> make_openpgp_card(OpenPgpCardOptions options = {});

}  // namespace sim
