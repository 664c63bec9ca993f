// Tests of the virtual cards: ISO/IEC 7816-4 commands and status words, the PIN's retry counter across power, cards that fall silent, and the ATR of every preset.
#include <gtest/gtest.h>

#include "kernel.h"
#include "reader/cards/card_factory.h"
#include "reader/cards/iso_card.h"
#include "support/atr_length.h"
#include "support/bytes.h"

#include <winsmcrd.h>
#include <smclib.h>

namespace sim::test {
namespace {

// One command and the exact response; `what` says why the card must answer so.
struct Step {
    const char* what;
    const char* command;
    const char* response;  // "" = no answer at all
};

void run_steps(Card& card, const std::vector<Step>& steps) {
    for (const Step& s : steps) {
        SCOPED_TRACE(std::string(s.what) + ": " + s.command);
        EXPECT_EQ(hex_text(card.transmit(hex_bytes(s.command))), hex_text(hex_bytes(s.response)));
    }
}

std::unique_ptr<IsoCard> powered_iso_card() {
    auto card = std::make_unique<IsoCard>(IsoCardOptions{.atr = preset_atr::iso});
    EXPECT_EQ(card->reset(false), preset_atr::iso);
    return card;
}

TEST(IsoCard, FileSystemCommands) {
    auto card = powered_iso_card();
    run_steps(*card, {
        {"MF is selected after the reset: no EF yet", "00 B0 00 00 08", "69 86"},
        {"EF of the MF by identifier", "00 A4 02 0C 02 00 02", "90 00"},
        {"serial number", "00 B0 00 00 08", "54 51 00 00 00 00 00 01 90 00"},
        {"more asked than the file holds", "00 B0 00 00 0A", "54 51 00 00 00 00 00 01 62 82"},
        {"Le 00 asks 256", "00 B0 00 02 00", "00 00 00 00 00 01 62 82"},
        {"offset at the end of the file", "00 B0 00 08 01", "6B 00"},
        {"serial number is never written", "00 D6 00 00 01 AA", "69 82"},
        {"DF by its whole name, FCI", "00 A4 04 00 08 F0 54 41 56 45 4C 4F 01 00",
         "6F 11 82 01 38 83 02 50 00 84 08 F0 54 41 56 45 4C 4F 01 90 00"},
        {"DF by the start of its name", "00 A4 04 0C 04 F0 54 41 56", "90 00"},
        {"no DF of that name", "00 A4 04 0C 02 A0 00", "6A 82"},
        {"EF of the DF, FCP with its size", "00 A4 02 04 02 50 01 00", "62 0B 82 01 01 83 02 50 01 80 02 00 40 90 00"},
        {"FCP cut to Le", "00 A4 02 04 02 50 01 04", "62 0B 82 01 90 00"},
        {"write the last two bytes of notes", "00 D6 00 3E 02 AB CD", "90 00"},
        {"and read them back", "00 B0 00 3E 02", "AB CD 90 00"},
        {"write one byte past the end", "00 D6 00 3F 02 AB CD", "6A 84"},
        {"write at an offset past the end", "00 D6 00 40 01 00", "6B 00"},
        {"UPDATE BINARY without data", "00 D6 00 00", "67 00"},
        {"UPDATE BINARY with Le", "00 D6 00 00 01 AA 01", "67 00"},
        {"sibling EF by identifier (P1 00)", "00 A4 00 0C 02 50 02", "90 00"},
        {"holder data: reading is free", "00 B0 00 00 02", "00 00 90 00"},
        {"holder data: writing needs the PIN", "00 D6 00 00 02 11 22", "69 82"},
        {"secret", "00 A4 02 0C 02 50 03", "90 00"},
        {"secret: reading needs the PIN", "00 B0 00 00 06", "69 82"},
        {"P1 02 wants an EF, 5000 is a DF", "00 A4 02 0C 02 50 00", "6A 82"},
        {"parent DF", "00 A4 03 0C", "90 00"},
        {"child DF (P1 01)", "00 A4 01 0C 02 50 00", "90 00"},
        {"selecting a DF leaves no EF selected", "00 B0 00 00 01", "69 86"},
        {"EF of the parent by identifier", "00 A4 00 0C 02 2F 00", "90 00"},
        {"application directory", "00 B0 00 00 04", "61 12 4F 08 90 00"},
        {"parent of the MF", "00 A4 03 0C", "6A 82"},
        {"no such file", "00 A4 00 0C 02 12 34", "6A 82"},
        {"identifier of 3 bytes", "00 A4 00 0C 03 3F 00 00", "67 00"},
        {"P1 02 without identifier", "00 A4 02 0C", "67 00"},
        {"selection by path is not offered", "00 A4 08 0C 02 3F 00", "6A 86"},
        {"P2 01 is no answer format", "00 A4 00 01 02 3F 00", "6A 86"},
        {"MF without data, no Le: status only", "00 A4 00 00", "90 00"},
        {"short EF identifier in READ BINARY", "00 B0 81 00 04", "6A 81"},
        {"READ BINARY without Le", "00 B0 00 00", "67 00"},
        {"proprietary class", "80 A4 00 0C 02 3F 00", "6E 00"},
        {"GET DATA is not offered", "00 CA 00 00 00", "6D 00"},
        {"three bytes", "00 A4 04", "67 00"},
        {"Lc 00 followed by data (extended length)", "00 A4 00 0C 00 3F 00", "67 00"},
        {"Lc says 5, 2 bytes follow", "00 A4 00 0C 05 3F 00", "67 00"},
        {"GET CHALLENGE with P2", "00 84 00 01 08", "6A 86"},
        {"GET CHALLENGE without Le", "00 84 00 00", "67 00"},
    });
}

TEST(IsoCard, PinVerification) {
    auto card = powered_iso_card();
    run_steps(*card, {
        {"tries left, 4-byte form", "00 20 00 01", "63 C3"},
        {"tries left, T=0 header form", "00 20 00 01 00", "63 C3"},
        {"wrong PIN", "00 20 00 01 04 31 32 33 35", "63 C2"},
        {"unknown PIN reference", "00 20 00 02 04 31 32 33 34", "6A 88"},
        {"P1 must be 00", "00 20 01 01 04 31 32 33 34", "6A 86"},
        {"Lc without data", "00 20 00 01 04", "67 00"},
        {"right PIN in an FF-padded block", "00 20 00 01 08 31 32 33 34 FF FF FF FF", "90 00"},
        {"verified now, and the tries are back", "00 20 00 01", "90 00"},
        {"holder data is not in the MF", "00 A4 00 0C 02 50 02", "6A 82"},
        {"application DF", "00 A4 04 0C 08 F0 54 41 56 45 4C 4F 01", "90 00"},
        {"holder data, from the DF", "00 A4 02 0C 02 50 02", "90 00"},
        {"written with the PIN verified", "00 D6 00 00 02 11 22", "90 00"},
        {"secret", "00 A4 02 0C 02 50 03", "90 00"},
        {"read with the PIN verified", "00 B0 00 00 10", "73 65 63 72 65 74 20 6F 66 20 54 61 76 65 6C 6F 90 00"},
        {"secret is never written", "00 D6 00 00 01 00", "69 82"},
        {"a wrong PIN drops the verified state", "00 20 00 01 04 39 39 39 39", "63 C2"},
        {"so the secret is closed again", "00 B0 00 00 10", "69 82"},
        {"PIN with other padding is a wrong PIN", "00 20 00 01 05 31 32 33 34 00", "63 C1"},
        {"right PIN", "00 20 00 01 04 31 32 33 34", "90 00"},
        {"tries back to three", "00 20 00 01 04 30 30 30 30", "63 C2"},
    });
    EXPECT_EQ(card->ef_contents(iso_layout::ef_holder)->at(1), 0x22);
}

TEST(IsoCard, PinBlocksAfterThreeWrongTriesForGood) {
    auto card = powered_iso_card();
    run_steps(*card, {
        {"first", "00 20 00 01 04 30 30 30 30", "63 C2"},
        {"second", "00 20 00 01 04 30 30 30 30", "63 C1"},
        {"third", "00 20 00 01 04 30 30 30 30", "63 C0"},
        {"right PIN, too late", "00 20 00 01 04 31 32 33 34", "69 83"},
        {"query", "00 20 00 01", "69 83"},
    });
    EXPECT_EQ(card->pin_tries_left(), 0);
    card->power_off();
    ASSERT_FALSE(card->reset(false).empty());
    run_steps(*card, {{"still blocked after power-off and reset", "00 20 00 01 04 31 32 33 34", "69 83"}});
}

TEST(IsoCard, PowerOffForgetsTheSessionButNotTheCard) {
    auto card = powered_iso_card();
    run_steps(*card, {
        {"one wrong try", "00 20 00 01 04 30 30 30 30", "63 C2"},
        {"notes", "00 A4 04 0C 08 F0 54 41 56 45 4C 4F 01", "90 00"},
        {"notes EF", "00 A4 02 0C 02 50 01", "90 00"},
        {"write", "00 D6 00 00 03 01 02 03", "90 00"},
    });
    card->power_off();
    EXPECT_FALSE(card->powered());
    EXPECT_TRUE(card->transmit(hex_bytes("00 20 00 01")).empty()) << "no answer without power";
    ASSERT_EQ(card->reset(false), preset_atr::iso);
    run_steps(*card, {
        {"the try counter survived", "00 20 00 01", "63 C2"},
        {"the selection did not", "00 B0 00 00 03", "69 86"},
        {"right PIN resets the counter", "00 20 00 01 04 31 32 33 34", "90 00"},
        {"back to the notes", "00 A4 00 0C 02 50 00", "90 00"},
        {"notes EF again", "00 A4 02 0C 02 50 01", "90 00"},
        {"the file kept its bytes", "00 B0 00 00 03", "01 02 03 90 00"},
    });
    ASSERT_TRUE(card->pin_verified());
    // Both kinds of reset and a power-off end the verified state.
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        ASSERT_EQ(hex_text(card->transmit(hex_bytes("00 20 00 01 04 31 32 33 34"))), "90 00");
        if (way == 2) {
            card->power_off();
            EXPECT_FALSE(card->pin_verified());
        }
        ASSERT_FALSE(card->reset(way == 1).empty());
        EXPECT_FALSE(card->pin_verified());
        EXPECT_EQ(hex_text(card->transmit(hex_bytes("00 20 00 01"))), "63 C3");
    }
}

TEST(IsoCard, NoAnswerBeforeTheFirstReset) {
    IsoCard card(IsoCardOptions{.atr = preset_atr::iso});
    EXPECT_TRUE(card.transmit(hex_bytes("00 A4 00 0C 02 3F 00")).empty());
}

TEST(IsoCard, ChallengesAreFreshButReproducible) {
    auto first = powered_iso_card();
    auto second = powered_iso_card();
    Bytes a = first->transmit(hex_bytes("00 84 00 00 08"));
    Bytes b = first->transmit(hex_bytes("00 84 00 00 08"));
    ASSERT_EQ(a.size(), 10u);
    EXPECT_EQ(hex_text(Bytes(a.end() - 2, a.end())), "90 00");
    EXPECT_NE(a, b) << "two challenges in a row must differ";
    EXPECT_EQ(second->transmit(hex_bytes("00 84 00 00 08")), a) << "the same seed gives the same challenges";
    EXPECT_EQ(first->transmit(hex_bytes("00 84 00 00 00")).size(), 258u) << "Le 00 asks 256 bytes";
}

TEST(IsoCard, FallsSilentAsTold) {
    IsoCard after_two(IsoCardOptions{.atr = preset_atr::iso, .answers_before_mute = 2});
    ASSERT_FALSE(after_two.reset(false).empty());
    EXPECT_EQ(hex_text(after_two.transmit(hex_bytes("00 20 00 01"))), "63 C3");
    EXPECT_EQ(hex_text(after_two.transmit(hex_bytes("00 20 00 01"))), "63 C3");
    EXPECT_TRUE(after_two.transmit(hex_bytes("00 20 00 01")).empty());
    EXPECT_TRUE(after_two.transmit(hex_bytes("00 A4 00 0C")).empty());
    ASSERT_FALSE(after_two.reset(true).empty());
    EXPECT_EQ(hex_text(after_two.transmit(hex_bytes("00 20 00 01"))), "63 C3") << "a reset wakes it";

    IsoCard hangs_on_verify(IsoCardOptions{.atr = preset_atr::iso, .mute_on_ins = 0x20});
    ASSERT_FALSE(hangs_on_verify.reset(false).empty());
    EXPECT_TRUE(hangs_on_verify.transmit(hex_bytes("00 20 00 01 04 31 32 33 34")).empty());
    EXPECT_EQ(hex_text(hangs_on_verify.transmit(hex_bytes("00 A4 00 0C"))), "90 00");
    EXPECT_EQ(hangs_on_verify.pin_tries_left(), 3) << "a command that got no answer changed nothing";

    auto mute_apdu = make_card("mute-apdu");
    ASSERT_EQ(mute_apdu->reset(false), preset_atr::iso);
    EXPECT_TRUE(mute_apdu->transmit(hex_bytes("00 A4 00 0C")).empty());

    auto mute = make_card("mute");
    EXPECT_TRUE(mute->reset(false).empty());
    EXPECT_TRUE(mute->reset(true).empty());
    EXPECT_TRUE(mute->transmit(hex_bytes("00 A4 00 0C")).empty());
}

TEST(CardFactory, NamesAndCustomAtrs) {
    ASSERT_FALSE(card_presets().empty());
    for (const CardPreset& preset : card_presets()) {
        SCOPED_TRACE(preset.name);
        auto card = make_card(preset.name);
        ASSERT_TRUE(card);
        EXPECT_EQ(card->name(), preset.name);
    }
    EXPECT_FALSE(make_card("nonesuch"));
    EXPECT_FALSE(make_card("iso:"));
    EXPECT_FALSE(make_card("iso:3B 0"));
    EXPECT_FALSE(make_card("iso:3B 0G"));
    auto custom = make_card("iso:3B 02 14 50");
    ASSERT_TRUE(custom);
    EXPECT_EQ(custom->name(), "iso:3B 02 14 50");
    EXPECT_EQ(hex_text(custom->reset(false)), "3B 02 14 50");
    EXPECT_EQ(hex_text(custom->transmit(hex_bytes("00 20 00 01"))), "63 C3");
}

// Every preset's ATR as the smart card library and the independent length count judge it.
TEST(CardFactory, PresetAtrsParseAsIntended) {
    struct Case {
        const char* name;
        size_t length;
        NTSTATUS status;  // of SmartcardUpdateCardCapabilities; unused for an empty ATR
        ULONG protocols;
    };
    constexpr ULONG T0 = SCARD_PROTOCOL_T0, T1 = SCARD_PROTOCOL_T1;
    const Case cases[] = {
        {"iso", 13, STATUS_SUCCESS, T0 | T1},
        {"iso-t0", 9, STATUS_SUCCESS, T0},
        {"iso-t1", 13, STATUS_SUCCESS, T1},
        {"iso-2", 2, STATUS_SUCCESS, T0},
        {"iso-4", 4, STATUS_SUCCESS, T0},
        {"iso-6", 6, STATUS_SUCCESS, T0 | T1},
        {"iso-7", 7, STATUS_SUCCESS, T0 | T1},
        {"iso-20", 20, STATUS_SUCCESS, T0 | T1},
        {"iso-long-atr", 33, STATUS_SUCCESS, T0 | T1},
        {"iso-inverse", 13, STATUS_SUCCESS, T0 | T1},
        {"mute", 0, STATUS_SUCCESS, 0},
        {"mute-apdu", 13, STATUS_SUCCESS, T0 | T1},
        {"long-atr", 36, STATUS_UNRECOGNIZED_MEDIA, 0},
        {"bad-tck", 13, STATUS_UNRECOGNIZED_MEDIA, 0},
        {"bad-ts", 13, STATUS_UNRECOGNIZED_MEDIA, 0},
        {"echo", 13, STATUS_SUCCESS, T0 | T1},
        {"openpgp", 21, STATUS_SUCCESS, T1},
        {"openpgp-max32", 21, STATUS_SUCCESS, T1},
    };
    ASSERT_EQ(std::size(cases), card_presets().size()) << "a preset without a case here";

    Kernel k(11);
    RunOutcome outcome = k.run_thread("app", [&] {
        SMARTCARD_EXTENSION e{};
        e.Version = SMCLIB_VERSION;
        ASSERT_EQ(SmartcardInitialize(&e), STATUS_SUCCESS);
        e.ReaderCapabilities.SupportedProtocols = T0 | T1;
        e.ReaderCapabilities.CLKFrequency.Default = 2000;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            auto card = make_card(c.name);
            ASSERT_TRUE(card);
            Bytes atr = card->reset(false);
            ASSERT_EQ(atr.size(), c.length);
            if (atr.empty()) continue;
            // Well formed by structure, even those the library must refuse for their content or length.
            EXPECT_TRUE(atr_complete(atr)) << hex_text(atr);
            std::copy(atr.begin(), atr.end(), e.CardCapabilities.ATR.Buffer);
            e.CardCapabilities.ATR.Length = static_cast<UCHAR>(atr.size());
            e.CardCapabilities.Protocol.Supported = 0;
            EXPECT_EQ(SmartcardUpdateCardCapabilities(&e), c.status) << hex_text(atr);
            if (c.status == STATUS_SUCCESS) {
                EXPECT_EQ(e.CardCapabilities.Protocol.Supported, c.protocols);
            }
        }
        SmartcardExit(&e);
    });
    EXPECT_EQ(outcome, RunOutcome::completed) << k.bug_check_report();
    EXPECT_TRUE(k.live_pool().empty()) << k.describe_live_pool();
}

// The echo card answers as many bytes as Le asks for, counting down from INS, whatever the command means.
TEST(CardFactory, EchoCardAnswersWhatLeAsksFor) {
    auto card = make_card("echo");
    ASSERT_TRUE(card);
    EXPECT_EQ(card->reset(false), preset_atr::iso);
    struct Case {
        const char* command;
        size_t data_bytes;  // before 90 00
    };
    const Case cases[] = {
        {"00 B0 00 00", 0},                    // case 1
        {"00 B0 00 00 05", 5},                 // case 2
        {"00 B0 00 00 00", 256},               // case 2, Le 00
        {"00 D6 00 00 02 AA BB", 0},           // case 3
        {"00 88 00 00 02 AA BB 03", 3},        // case 4
        {"00 88 00 00 03 AA BB CC FF", 255},   // case 4, the largest Le short of 00
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Bytes command = hex_bytes(c.command);
        const Bytes answer = card->transmit(command);
        ASSERT_EQ(answer.size(), c.data_bytes + 2);
        EXPECT_EQ(answer[c.data_bytes], 0x90);
        EXPECT_EQ(answer[c.data_bytes + 1], 0x00);
        for (size_t i = 0; i < c.data_bytes; ++i) ASSERT_EQ(answer[i], static_cast<uint8_t>(command[1] - i)) << i;
    }
    EXPECT_EQ(hex_text(card->transmit(hex_bytes("00 B0 00"))), "67 00") << "shorter than a header";
    EXPECT_EQ(hex_text(card->transmit(hex_bytes("00 D6 00 00 05 AA"))), "67 00") << "fewer data bytes than Lc";
}

}  // namespace
}  // namespace sim::test
