// Tests of SmartcardUpdateCardCapabilities: real cards' ATRs, the times derived from them, rejections, and generated ATRs judged by an independent length count.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "fake_reader.h"
#include "support/atr_length.h"
#include "support/bytes.h"

namespace sim::test {
namespace {

using Bytes = std::vector<uint8_t>;

// The Q-ward reader as its driver describes it: a 2 MHz clock and 5376, 10752 and 21505 bit/s (F = 372 with
// D = 1, 2 and 4).
ULONG kQwardRates[] = {5376, 10752, 21505};

void describe_qward(PSMARTCARD_EXTENSION e) {
    auto& caps = e->ReaderCapabilities;
    caps.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;
    caps.CLKFrequency.Default = 2000;
    caps.CLKFrequency.Max = 2000;
    caps.DataRate.Default = 5376;
    caps.DataRate.Max = 21505;
    caps.DataRatesSupported.List = kQwardRates;
    caps.DataRatesSupported.Entries = 3;
}

NTSTATUS update(PSMARTCARD_EXTENSION e, const Bytes& atr) {
    auto& record = e->CardCapabilities.ATR;
    std::memset(record.Buffer, 0, sizeof record.Buffer);
    std::copy_n(atr.begin(), std::min(atr.size(), sizeof record.Buffer), record.Buffer);
    record.Length = static_cast<UCHAR>(atr.size());
    return SmartcardUpdateCardCapabilities(e);
}

Bytes historical(PSMARTCARD_EXTENSION e) {
    const auto& h = e->CardCapabilities.HistoricalChars;
    return Bytes(h.Buffer, h.Buffer + h.Length);
}

// Runs body on the library record of a Q-ward reader; the run must end without a bug check and with no pool left.
void with_reader(uint64_t seed, const std::function<void(PSMARTCARD_EXTENSION)>& body) {
    Kernel k(seed);
    {
        FakeReader r(k);
        ASSERT_EQ(r.init_status, STATUS_SUCCESS);
        describe_qward(r.ext);
        run_clean(k, [&] { body(r.ext); });
    }
    EXPECT_TRUE(k.live_pool().empty()) << k.describe_live_pool();
}

constexpr ULONG T0 = SCARD_PROTOCOL_T0;
constexpr ULONG T1 = SCARD_PROTOCOL_T1;

// Longest ATR there can be: T=0 and T=1, a second T=1 group (whose values must not count), a T=15 group, 15
// historical bytes.
const char* const kAtr33 = "3B FF 13 00 00 C0 0A F1 FE 45 01 F1 20 77 00 1F 03 51 2D 77 61 72 64 20 6D 61 78 20 41 54 52 21 B9";
// The same with one more interface byte: well formed, correct TCK, and one byte too long.
const char* const kAtr34 = "3B FF 13 00 00 C0 0A F1 FE 45 01 F1 20 77 00 3F 03 00 51 2D 77 61 72 64 20 6D 61 78 20 41 54 52 21 99";

TEST(SmclibAtr, ReadsRealCards) {
    struct Case {
        const char* what;
        const char* atr;
        ULONG protocols;
        UCHAR fl, dl, n, wi, ifsc, cwi, bwi, edc;
        const char* historical;
        bool inverse;
    };
    const Case cases[] = {
        {"T=1 via TD2, TA1 = 13", "3B 95 13 81 01 80 73 FF 01 00 0B", T1, 1, 3, 0, 10, 32, 13, 4, 0, "80 73 FF 01 00", false},
        {"T=0 only, two historical bytes, no TCK", "3B 02 14 50", T0, 1, 1, 0, 10, 32, 13, 4, 0, "14 50", false},
        {"T=1 with TA1, IFSC 254, BWI 4, CWI 5", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7", T1, 1, 3, 0, 10,
         254, 5, 4, 0, "4A 43 4F 50 76 32 34 31", false},
        {"T=0 and T=1 and a T=15 group", "3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 C7 FC 10 00 01 90 00 74", T0 | T1, 9,
         6, 0, 10, 254, 5, 4, 0, "00 31 C0 64 C7 FC 10 00 01 90 00", false},
        {"T=0 only with TA1, no TCK", "3B 16 96 41 73 74 72 69 64", T0, 9, 6, 0, 10, 32, 13, 4, 0, "41 73 74 72 69 64", false},
        {"WI 40 from TC2", "3B 97 94 40 28 57 65 62 63 61 72 64", T0, 9, 4, 0, 40, 32, 13, 4, 0, "57 65 62 63 61 72 64",
         false},
        {"N = 255, D = 12", "3B FF 18 00 FF 81 31 FE 45 65 63 11 05 40 02 50 00 10 55 10 03 03 05 00 43", T1, 1, 8, 255, 10,
         254, 5, 4, 0, "65 63 11 05 40 02 50 00 10 55 10 03 03 05 00", false},
        {"inverse convention", "3F 65 25 00 2C 09 69 90 00", T0, 1, 1, 0, 10, 32, 13, 4, 0, "2C 09 69 90 00", true},
        {"TS and T0 only", "3B 00", T0, 1, 1, 0, 10, 32, 13, 4, 0, "", false},
        {"T=0 then T=1, no T=1 parameters", "3B 80 80 01 01", T0 | T1, 1, 1, 0, 10, 32, 13, 4, 0, "", false},
        {"T=1 alone, nothing else", "3B 80 01 81", T1, 1, 1, 0, 10, 32, 13, 4, 0, "", false},
        {"33 bytes; first T=1 group counts, CRC", kAtr33, T0 | T1, 1, 3, 0, 10, 254, 5, 4, 1,
         "51 2D 77 61 72 64 20 6D 61 78 20 41 54 52 21", false},
    };
    with_reader(1, [&](PSMARTCARD_EXTENSION e) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ": " + c.atr);
            Bytes atr = hex_bytes(c.atr);
            ASSERT_EQ(atr_announced_length(atr), atr.size()) << "table entry is not a whole ATR";
            ASSERT_EQ(update(e, atr), STATUS_SUCCESS);
            const auto& card = e->CardCapabilities;
            EXPECT_EQ(card.Protocol.Supported, c.protocols);
            EXPECT_EQ(card.Fl, c.fl);
            EXPECT_EQ(card.Dl, c.dl);
            EXPECT_EQ(card.N, c.n);
            EXPECT_EQ(card.T0.WI, c.wi);
            EXPECT_EQ(card.T1.IFSC, c.ifsc);
            EXPECT_EQ(card.T1.CWI, c.cwi);
            EXPECT_EQ(card.T1.BWI, c.bwi);
            EXPECT_EQ(card.T1.EDC, c.edc);
            EXPECT_EQ(hex_text(historical(e)), c.historical);
            EXPECT_EQ(card.InversConvention, c.inverse ? TRUE : FALSE);
            EXPECT_EQ(card.ATR.Length, atr.size()) << "the ATR itself is the caller's and stays";
        }
    });
}

TEST(SmclibAtr, ProgrammingCurrentAndVoltageFromTb1AndTb2) {
    with_reader(2, [](PSMARTCARD_EXTENSION e) {
        ASSERT_EQ(update(e, hex_bytes("3F 65 25 00 2C 09 69 90 00")), STATUS_SUCCESS);  // TB1 = 25: II 1, PI1 5 V
        EXPECT_EQ(e->CardCapabilities.II, 1);
        EXPECT_EQ(e->CardCapabilities.P, 50);
        ASSERT_EQ(update(e, hex_bytes("3B A0 25 20 7D")), STATUS_SUCCESS);  // TB2 = 7D: 12.5 V in 0.1 V
        EXPECT_EQ(e->CardCapabilities.P, 0x7D);
    });
}

// Times in microseconds at the reader's clock (kHz), rounded up; F and D are those the PTS data puts in force.
TEST(SmclibAtr, TimesAtTheReaderClock) {
    struct Case {
        const char* what;
        const char* atr;
        UCHAR pts_type;
        ULONG clock_khz;
        ULONG etu, gt, wt, cwt, bwt, bgt;
        UCHAR pts_fl, pts_dl;
        ULONG data_rate;
    };
    const Case cases[] = {
        // F 372, D 1 at 2 MHz: one etu is 186 us; WT = 10 x 960 x 372 / 2 MHz; BWT = 11 etu + 16 x 960 x 372 / 2 MHz.
        {"all defaults", "3B 02 14 50", PTS_TYPE_DEFAULT, 2000, 186, 2232, 1785600, 1525758, 2859006, 4092, 1, 1, 5376},
        {"card asks D = 4, default PTS keeps D = 1", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7",
         PTS_TYPE_DEFAULT, 2000, 186, 2232, 1785600, 7998, 2859006, 4092, 1, 1, 5376},
        // D = 4 is 21505 bit/s, in the reader's list: etu 46.5 us; CWT 43 etu = 1999.5; BWT 511.5 + 2856960.
        {"card asks D = 4, optimal PTS takes it", "3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7",
         PTS_TYPE_OPTIMAL, 2000, 47, 558, 1785600, 2000, 2857472, 1023, 1, 3, 21505},
        // F 512, D 32 would be 125000 bit/s, which the reader does not run; WT follows TA1's F all the same.
        {"optimal PTS the reader cannot run", "3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 C7 FC 10 00 01 90 00 74",
         PTS_TYPE_OPTIMAL, 2000, 186, 2232, 2457600, 7998, 2859006, 4092, 1, 1, 5376},
        {"WI 40, F 512", "3B 97 94 40 28 57 65 62 63 61 72 64", PTS_TYPE_DEFAULT, 2000, 186, 2232, 9830400, 1525758,
         2859006, 4092, 1, 1, 5376},
        {"N = 5: 17 etu guard time", "3B 40 05", PTS_TYPE_DEFAULT, 2000, 186, 3162, 1785600, 1525758, 2859006, 4092, 1, 1,
         5376},
        {"N = 255 on a T=1 card: 11 etu", "3B FF 18 00 FF 81 31 FE 45 65 63 11 05 40 02 50 00 10 55 10 03 03 05 00 43",
         PTS_TYPE_DEFAULT, 2000, 186, 2046, 1785600, 7998, 2859006, 4092, 1, 1, 5376},
        // 3.58 MHz does not divide evenly: 103.9 us etu, WT 997541.9, BWT 1597210.05, CWT 852378.8.
        {"3.58 MHz rounds up", "3B 02 14 50", PTS_TYPE_DEFAULT, 3580, 104, 1247, 997542, 852379, 1597211, 2287, 1, 1, 9623},
        // Specific mode with TA1's values: the card takes no PTS, so D = 4 holds whatever PtsData.Type says.
        {"specific mode T=1 with TA1", "3B 90 13 11 01 93", PTS_TYPE_DEFAULT, 2000, 47, 558, 1785600, 381440, 2857472,
         1023, 1, 3, 21505},
        // F 512, D 32 in force: one etu is 8 us, while BWT's second term stays with F = 372.
        {"specific mode T=1, F 512 and D 32", "3B 90 96 11 01 16", PTS_TYPE_DEFAULT, 2000, 8, 96, 2457600, 65624, 2857048,
         176, 9, 6, 125000},
        // The driver's own PTS values (F 558, D 2) stay and set the etu: 139.5 us.
        {"user PTS values", "3B 02 14 50", PTS_TYPE_USER, 2000, 140, 1674, 1785600, 1144319, 2858495, 3069, 2, 2, 7168},
        {"specific mode with implicit values", "3B 90 13 11 11 83", PTS_TYPE_OPTIMAL, 2000, 186, 2232, 1785600, 1525758,
         2859006, 4092, 1, 1, 5376},
        // BWI 15: 32768 x 960 x 372 / 2 MHz is beyond a ULONG of microseconds; CWI 0 gives 12 etu.
        {"BWT saturates", "3B 80 81 21 F0 D0", PTS_TYPE_DEFAULT, 2000, 186, 2232, 1785600, 2232, 0xFFFFFFFF, 4092, 1, 1,
         5376},
    };
    with_reader(3, [&](PSMARTCARD_EXTENSION e) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ": " + c.atr);
            e->ReaderCapabilities.CLKFrequency.Default = c.clock_khz;
            e->ReaderCapabilities.CLKFrequency.Max = c.clock_khz;
            e->CardCapabilities.PtsData.Type = c.pts_type;
            if (c.pts_type == PTS_TYPE_USER) {
                e->CardCapabilities.PtsData.Fl = c.pts_fl;
                e->CardCapabilities.PtsData.Dl = c.pts_dl;
            }
            ASSERT_EQ(update(e, hex_bytes(c.atr)), STATUS_SUCCESS);
            const auto& card = e->CardCapabilities;
            EXPECT_EQ(card.etu, c.etu);
            EXPECT_EQ(card.GT, c.gt);
            EXPECT_EQ(card.T0.WT, c.wt);
            EXPECT_EQ(card.T1.CWT, c.cwt);
            EXPECT_EQ(card.T1.BWT, c.bwt);
            EXPECT_EQ(card.T1.BGT, c.bgt);
            EXPECT_EQ(card.PtsData.Fl, c.pts_fl);
            EXPECT_EQ(card.PtsData.Dl, c.pts_dl);
            EXPECT_EQ(card.PtsData.CLKFrequency, c.clock_khz);
            EXPECT_EQ(card.PtsData.DataRate, c.data_rate);
        }
    });
}

TEST(SmclibAtr, RejectsWhatIsNoUsableAtrAndChangesNothing) {
    const std::pair<const char*, std::string> cases[] = {
        {"TS 3C", "3C 02 14 50"},
        {"TS of an inverse card read in direct convention", "03 02 14 50"},
        {"empty", ""},
        {"TS alone", "3B"},
        {"historical byte missing", "3B 02 14"},
        {"announced TD1 missing", "3B 80"},
        {"TCK missing", "3B 95 13 81 01 80 73 FF 01 00"},
        {"wrong TCK", "3B 95 13 81 01 80 73 FF 01 00 0C"},
        {"byte past the structure", "3B 02 14 50 00"},
        {"TCK on an ATR that indicates T=0 only", "3B 02 14 50 46"},
        {"34 bytes, well formed", kAtr34},
        {"33 bytes and one more", std::string(kAtr33) + " 00"},
        {"only T=14 indicated", "3B 80 0E 8E"},
        {"specific mode for T=0 on a T=1 card", "3B 90 13 11 00 92"},
        {"F reserved (TA1 = 71)", "3B 10 71"},
        {"D reserved (TA1 = 10)", "3B 10 10"},
        {"D reserved (TA1 = 1A)", "3B 10 1A"},
    };
    with_reader(4, [&](PSMARTCARD_EXTENSION e) {
        // A card accepted before: its record must survive every rejection unchanged.
        ASSERT_EQ(update(e, hex_bytes("3B F8 13 00 00 81 31 FE 45 4A 43 4F 50 76 32 34 31 B7")), STATUS_SUCCESS);
        e->CardCapabilities.Protocol.Selected = T1;
        for (const auto& [what, text] : cases) {
            SCOPED_TRACE(std::string(what) + ": " + text);
            Bytes atr = hex_bytes(text);
            auto& record = e->CardCapabilities.ATR;
            std::memset(record.Buffer, 0, sizeof record.Buffer);
            std::copy(atr.begin(), atr.end(), record.Buffer);
            record.Length = static_cast<UCHAR>(atr.size());
            SCARD_CARD_CAPABILITIES before = e->CardCapabilities;
            EXPECT_EQ(SmartcardUpdateCardCapabilities(e), STATUS_UNRECOGNIZED_MEDIA);
            EXPECT_EQ(std::memcmp(&before, &e->CardCapabilities, sizeof before), 0);
        }
    });
}

TEST(SmclibAtr, ProtocolsAgainstTheReaderAndTheSelectedOne) {
    with_reader(5, [](PSMARTCARD_EXTENSION e) {
        auto& protocol = e->CardCapabilities.Protocol;
        const Bytes both = hex_bytes("3B DB 96 00 80 B1 FE 45 1F 83 00 31 C0 64 C7 FC 10 00 01 90 00 74");
        const Bytes t0_only = hex_bytes("3B 02 14 50");
        const Bytes t1_only = hex_bytes("3B 80 01 81");

        // A protocol in force stays when the card (after a reset) still offers it...
        protocol.Selected = T1;
        ASSERT_EQ(update(e, both), STATUS_SUCCESS);
        EXPECT_EQ(protocol.Selected, T1);
        // ...and goes when the new ATR does not offer it.
        ASSERT_EQ(update(e, t0_only), STATUS_SUCCESS);
        EXPECT_EQ(protocol.Selected, SCARD_PROTOCOL_UNDEFINED);
        // The specific mode selects its protocol and offers nothing else.
        ASSERT_EQ(update(e, hex_bytes("3B 90 13 11 01 93")), STATUS_SUCCESS);
        EXPECT_EQ(protocol.Selected, T1);
        EXPECT_EQ(protocol.Supported, T1);

        // A reader that runs T=0 only: the card's T=1 is of no use and a T=1-only card none at all.
        e->ReaderCapabilities.SupportedProtocols = T0;
        ASSERT_EQ(update(e, both), STATUS_SUCCESS);
        EXPECT_EQ(protocol.Supported, T0);
        EXPECT_EQ(update(e, t1_only), STATUS_UNRECOGNIZED_MEDIA);
    });
}

// One randomly built ATR and what a correct evaluation makes of it, worked out while building it.
struct GeneratedAtr {
    Bytes bytes;
    Bytes historical;
    ULONG offered = 0;  // T=0 / T=1 by the TDi, T=0 without TD1
    int ta2_protocol = -1;
    bool tck = false;
};

GeneratedAtr generate_atr(std::mt19937& rng) {
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    static const uint8_t kValidFl[] = {0, 1, 2, 3, 4, 5, 6, 9, 10, 11, 12, 13};
    static const uint8_t kValidDl[] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    static const uint8_t kProtocols[] = {0, 1, 0, 1, 2, 14, 15};

    GeneratedAtr out;
    Bytes& atr = out.bytes;
    atr = {static_cast<uint8_t>(pick(2) ? 0x3B : 0x3F), 0};
    int tds = pick(6);
    size_t indicator = 1;
    for (int group = 1; group <= tds + 1; ++group) {
        uint8_t present = static_cast<uint8_t>(pick(8) | (group <= tds ? 8 : 0));
        atr[indicator] |= static_cast<uint8_t>(present << 4);
        if (present & 1) {
            if (group == 1) {
                atr.push_back(static_cast<uint8_t>(kValidFl[pick(12)] << 4 | kValidDl[pick(9)]));
            } else if (group == 2) {
                out.ta2_protocol = pick(2);
                atr.push_back(static_cast<uint8_t>(pick(2) << 4 | out.ta2_protocol));
            } else {
                atr.push_back(static_cast<uint8_t>(rng()));
            }
        }
        if (present & 2) atr.push_back(static_cast<uint8_t>(rng()));
        if (present & 4) atr.push_back(static_cast<uint8_t>(rng()));
        if (present & 8) {
            uint8_t t = kProtocols[pick(7)];
            if (t == 0) out.offered |= SCARD_PROTOCOL_T0;
            if (t == 1) out.offered |= SCARD_PROTOCOL_T1;
            if (t != 0) out.tck = true;
            indicator = atr.size();
            atr.push_back(t);
        }
    }
    if (tds == 0) out.offered = SCARD_PROTOCOL_T0;
    int k = pick(16);
    atr[1] |= static_cast<uint8_t>(k);
    for (int i = 0; i < k; ++i) out.historical.push_back(static_cast<uint8_t>(rng()));
    atr.insert(atr.end(), out.historical.begin(), out.historical.end());
    if (out.tck) {
        uint8_t check = 0;
        for (size_t i = 1; i < atr.size(); ++i) check ^= atr[i];
        atr.push_back(check);
    }
    return out;
}

TEST(SmclibAtr, GeneratedAtrsAgreeWithAnIndependentLengthCount) {
    constexpr uint32_t kSeed = 0x7A5E10;
    constexpr int kAtrs = 3000;
    std::mt19937 rng(kSeed);
    int accepted = 0, too_long = 0, unusable = 0, with_tck = 0;
    with_reader(6, [&](PSMARTCARD_EXTENSION e) {
        for (int n = 0; n < kAtrs; ++n) {
            GeneratedAtr g = generate_atr(rng);
            const Bytes& atr = g.bytes;
            SCOPED_TRACE("seed " + std::to_string(kSeed) + ", ATR #" + std::to_string(n) + ": " + hex_text(atr));
            ASSERT_EQ(atr_announced_length(atr), atr.size());

            bool usable = g.offered != 0 && (g.ta2_protocol < 0 || (g.offered & (1u << g.ta2_protocol)));
            bool fits = atr.size() <= 33;
            NTSTATUS expected = usable && fits ? STATUS_SUCCESS : STATUS_UNRECOGNIZED_MEDIA;
            e->CardCapabilities.Protocol.Selected = 0;
            ASSERT_EQ(update(e, atr), expected);
            if (expected == STATUS_SUCCESS) {
                ++accepted;
                ULONG supported = g.ta2_protocol >= 0 ? (1u << g.ta2_protocol) : g.offered;
                EXPECT_EQ(e->CardCapabilities.Protocol.Supported, supported);
                EXPECT_EQ(historical(e), g.historical);
                EXPECT_EQ(e->CardCapabilities.InversConvention, atr[0] == 0x3F ? TRUE : FALSE);
            } else {
                ++(fits ? unusable : too_long);
            }
            if (!usable || !fits) continue;

            // Every shorter piece is incomplete by both counts, and so is the ATR with a byte more.
            for (size_t length = 0; length < atr.size(); ++length) {
                Bytes piece(atr.begin(), atr.begin() + static_cast<std::ptrdiff_t>(length));
                ASSERT_FALSE(atr_complete(piece)) << "piece of " << length;
                ASSERT_EQ(update(e, piece), STATUS_UNRECOGNIZED_MEDIA) << "piece of " << length;
            }
            Bytes longer = atr;
            longer.push_back(static_cast<uint8_t>(rng()));
            EXPECT_FALSE(atr_complete(longer));
            EXPECT_EQ(update(e, longer), STATUS_UNRECOGNIZED_MEDIA);

            // The check byte guards every bit; without one, a changed historical byte goes unnoticed.
            Bytes changed = atr;
            if (g.tck) {
                ++with_tck;
                changed[1 + rng() % (changed.size() - 1)] ^= static_cast<uint8_t>(1u << (rng() % 8));
                EXPECT_EQ(update(e, changed), STATUS_UNRECOGNIZED_MEDIA) << hex_text(changed);
            } else if (!g.historical.empty()) {
                changed.back() ^= 0xFF;
                EXPECT_EQ(update(e, changed), STATUS_SUCCESS) << hex_text(changed);
            }
        }
    });
    // The generator must have reached every kind of outcome, or the loop proved little.
    EXPECT_GT(accepted, kAtrs / 4);
    EXPECT_GT(too_long, 0);
    EXPECT_GT(unusable, 0);
    EXPECT_GT(with_tck, kAtrs / 10);
}

// The yardstick itself, on the completeness cases the driver's collection of the ATR depends on.
TEST(SmclibAtr, IndependentLengthCountOnKnownShapes) {
    struct Case {
        const char* bytes;
        std::optional<size_t> length;
    };
    const Case cases[] = {
        {"", std::nullopt},
        {"3B", std::nullopt},
        {"3B 00", 2},
        {"3B 02", 4},
        {"3B 80", std::nullopt},           // TD1 not yet there
        {"3B 80 01", 4},                   // T=1 indicated: TCK follows
        {"3B 80 80", std::nullopt},        // TD2 not yet there
        {"3B 80 80 00", 4},                // T=0 twice: no TCK
        {"3B 95 13 81 01", 11},
        {"3B F8 13 00 00 81 31", 18},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(atr_announced_length(hex_bytes(c.bytes)), c.length);
    }
}

}  // namespace
}  // namespace sim::test
