// IsoCard: an ISO/IEC 7816-4 card with a small file system and one PIN, which can also be told to fall silent.
//
// File system (transparent EFs; sizes in bytes):
//
//   MF 3F00
//   |-- EF 2F00  application directory: one record template naming DF 5000   read always  update never
//   |-- EF 0002  card serial number, 8 bytes                                  read always  update never
//   `-- DF 5000  named F0 54 41 56 45 4C 4F 01 (F0 "TAVELO" 01)
//       |-- EF 5001  notes, 64 bytes of 00                                    read always  update always
//       |-- EF 5002  holder data, 32 bytes of 00                              read always  update with PIN
//       `-- EF 5003  secret, 16 bytes                                         read with PIN  update never
//
// Commands (CLA 00 only, else 6E 00; an unknown INS gives 6D 00; bytes that are no short APDU give 67 00):
//   SELECT        A4  P1 00 (MF, DF or EF by identifier; no data = MF), 01 (child DF), 02 (EF of the current DF),
//                     03 (parent DF), 04 (DF by name, a leading part of it will do); P2 00 (FCI), 04 (FCP),
//                     0C (no data back). The template comes back only when the APDU carries Le.
//   READ BINARY   B0  offset P1 P2 (15 bits; a short EF identifier in P1 gives 6A 81), Le bytes; 62 82 when
//                     the file ends first, 6B 00 for an offset at or past its end.
//   UPDATE BINARY D6  offset P1 P2, the data; 6A 84 when it would run past the end of the file.
//   VERIFY        20  P1 00, P2 the PIN reference (01 unless set otherwise; another gives 6A 88). The PIN is held
//                     as ASCII digits ("1234" is 31 32 33 34); trailing FF bytes in the command are padding, as
//                     a PIN pad leaves them in a fixed-length block. Three tries: a wrong PIN gives 63 Cx with x
//                     tries left and drops the verified state, a right one 90 00 and the tries back to three,
//                     and once no try is left 69 83 for every VERIFY. Without data (4 bytes, or 5 with P3 00)
//                     it reports: 90 00 while verified, else 63 Cx.
//   GET CHALLENGE 84  P1 P2 00, Le random bytes from the card's seeded generator.
// Access conditions not met give 69 82; READ or UPDATE BINARY with no EF selected 69 86.
//
// Power: a reset (cold or warm) answers the ATR and starts a session with the MF selected and the PIN not
// verified; power_off ends it. Files and the try counter survive both. Without power the card answers nothing.
#pragma once

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "reader/card.h"
#include "reader/cards/apdu.h"

namespace sim {

namespace iso_layout {
constexpr uint16_t mf = 0x3F00;
constexpr uint16_t ef_dir = 0x2F00;
constexpr uint16_t ef_serial = 0x0002;
constexpr uint16_t df_app = 0x5000;
constexpr uint16_t ef_notes = 0x5001;
constexpr uint16_t ef_holder = 0x5002;  // update needs the PIN
constexpr uint16_t ef_secret = 0x5003;  // read needs the PIN, update never
inline const Bytes app_aid = {0xF0, 0x54, 0x41, 0x56, 0x45, 0x4C, 0x4F, 0x01};
}  // namespace iso_layout

struct IsoCardOptions {
    std::string name = "iso";
    Bytes atr;                         // empty: the card does not answer a reset (but see MuteCard)
    std::string pin = "1234";          // ASCII digits
    uint8_t pin_reference = 0x01;      // P2 of VERIFY
    uint8_t pin_tries = 3;             // tries after a right PIN; at most 15
    uint32_t challenge_seed = 1;       // GET CHALLENGE is reproducible
    // Commands answered after each reset before the card falls silent until the next one; empty = never.
    std::optional<int> answers_before_mute;
    // Commands with this INS get no answer at all (the card hangs on them); the others are answered.
    std::optional<uint8_t> mute_on_ins;
};

class IsoCard : public Card {
   public:
    enum class Access { always, pin, never };

    explicit IsoCard(IsoCardOptions options);

    std::string name() const override { return options_.name; }
    Bytes reset(bool warm) override;
    void power_off() override;
    Bytes transmit(const Bytes& command) override;

    // ---- For tests and scenario checks --------------------------------------------------------
    bool powered() const { return powered_; }
    bool pin_verified() const { return verified_; }
    uint8_t pin_tries_left() const { return tries_left_; }
    int commands_seen() const { return commands_seen_; }
    // The contents of the EF with this identifier (identifiers are unique on this card); empty when none.
    std::optional<Bytes> ef_contents(uint16_t fid) const;

   private:
    struct File {
        uint16_t fid = 0;
        bool is_df = false;
        int parent = -1;  // index into files_; -1 for the MF
        Bytes name;       // DF name (AID)
        Bytes contents;   // EF body
        Access read = Access::always;
        Access update = Access::always;
    };

    int add_file(File file);
    std::optional<int> find_child(int df, uint16_t fid, std::optional<bool> want_df) const;
    bool allowed(Access access) const;
    Bytes fcp(int file, uint8_t p2) const;

    Bytes select(const CommandApdu& apdu);
    Bytes read_binary(const CommandApdu& apdu);
    Bytes update_binary(const CommandApdu& apdu);
    Bytes verify(const CommandApdu& apdu);
    Bytes get_challenge(const CommandApdu& apdu);

    IsoCardOptions options_;
    std::vector<File> files_;
    std::mt19937 challenge_rng_;

    bool powered_ = false;
    bool verified_ = false;
    uint8_t tries_left_;
    int current_df_ = 0;
    int current_ef_ = -1;
    int answers_since_reset_ = 0;
    int commands_seen_ = 0;
};

}  // namespace sim
