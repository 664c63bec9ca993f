// Card power through IOCTL_SMARTCARD_POWER (resets with the ATR collection, power-down, the failure table, the reply buffer) and protocol selection with its masks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_bench.h"
#include "reader/cards/card_factory.h"
#include "support/bytes.h"

namespace qward::card_test {
namespace {

using sim::from_ms;
using sim::Packet;
using sim::VirtualTime;
using sim::test::hex_bytes;
using sim::test::hex_text;

const Packet kColdReset = packet({0x02, 0x01, 0x40});
const Packet kWarmReset = packet({0x02, 0x15, 0x40});
const Packet kPowerDown = packet({0x02, 0x0B, 0x00});

size_t count_written(const CardBench& f, const Packet& wanted, size_t from = 0) {
    size_t count = 0;
    for (size_t i = from; i < f.reader.written().size(); ++i) count += f.reader.written()[i].packet == wanted;
    return count;
}

// A 14-byte ATR: TD1 indicates T=1, ten historical bytes, and a check byte that makes the XOR of T0..TCK zero.
Bytes atr14() {
    Bytes atr = hex_bytes("3B 8A 01 54 41 56 45 4C 4F 2D 51 57 44");
    uint8_t tck = 0;
    for (size_t i = 1; i < atr.size(); ++i) tck ^= atr[i];
    atr.push_back(tck);
    return atr;
}

TEST(CardPowerReset, ColdAndWarmResetReturnTheAtr) {
    using namespace sim::preset_atr;
    const std::vector<Bytes> atrs = {iso, iso_t0, iso_2, iso_4, iso_6, iso_7, iso_20, iso_33, atr14()};
    for (const Bytes& atr : atrs) {
        for (const bool warm : {false, true}) {
            SCOPED_TRACE(hex_text(atr) + (warm ? " warm" : " cold"));
            CardBench f(61);
            auto card = std::make_shared<RecordingCard>(atr);
            f.start(card);
            const size_t before = f.written_count();
            const VirtualTime begin = f.k.now();
            const sim::IoResult result = f.power(warm ? SCARD_WARM_RESET : SCARD_COLD_RESET);
            EXPECT_EQ(result.status, STATUS_SUCCESS);
            EXPECT_EQ(hex_text(result.output), hex_text(atr));
            ASSERT_GT(f.written_count(), before);
            EXPECT_EQ(f.reader.written()[before].packet, warm ? kWarmReset : kColdReset);
            EXPECT_EQ(f.written_count(), before + 1) << "nothing but the reset request";
            EXPECT_EQ(card->resets, std::vector<bool>{warm});
            EXPECT_EQ(Bytes(f.sc->CardCapabilities.ATR.Buffer, f.sc->CardCapabilities.ATR.Buffer + atr.size()), atr);
            EXPECT_EQ(f.sc->CardCapabilities.ATR.Length, atr.size());
            // One pause of 100 ms after each packet.
            const int64_t packets = static_cast<int64_t>((atr.size() + 5) / 6);
            EXPECT_GE(f.k.now() - begin, from_ms(100 * packets));
            EXPECT_LT(f.k.now() - begin, from_ms(100 * packets + 100));
        }
    }
}

// How the reader cuts the ATR, and card-present statuses in between, do not change the ATR collected.
TEST(CardPowerReset, PiecesAndStatusPacketsBetweenThem) {
    struct Case {
        const char* name;
        sim::CardCommandOptions options;
        int packets;  // ATR and status packets the collection waits after
    };
    const Case cases[] = {
        {"6 + 6 + 2", {}, 3},
        {"2, then 1 at a time", {.first_atr_piece = 2, .atr_piece = 1}, 13},
        {"status before the ATR", {.status_before_atr = true}, 4},
        {"status within the ATR", {.status_within_atr = true}, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(62);
        f.start(std::make_shared<RecordingCard>(atr14()));
        f.set_firmware(c.options);
        const VirtualTime begin = f.k.now();
        const sim::IoResult result = f.power(SCARD_COLD_RESET);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hex_text(result.output), hex_text(atr14()));
        EXPECT_GE(f.k.now() - begin, from_ms(100 * c.packets));
        EXPECT_LT(f.k.now() - begin, from_ms(100 * c.packets + 100)) << "accepted after the last packet";
    }
}

// With the background read posted (a tracking request pending), the reset request goes out awaited: the read
// hands over the first ATR packet, and is posted again at the end.
TEST(CardPowerReset, AwaitedResetPostsTheBackgroundReadAgain) {
    CardBench f(63);
    f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso));
    auto tracking = f.track(IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_TRUE(f.re->PollActive);
    const size_t reads = f.in_reads;
    const sim::IoResult result = f.power(SCARD_COLD_RESET);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, sim::preset_atr::iso);
    // 13 bytes in three packets: the first came from the background read, the other two from reads of its own;
    // then the background read again.
    EXPECT_EQ(f.in_reads - reads, 3u);
    EXPECT_NE(f.de->PollIrp, nullptr);
    EXPECT_FALSE(tracking->done());
}

TEST(CardPowerReset, ReplyBufferExactlyTheAtrAndOneByteShorter) {
    const Bytes atr = sim::preset_atr::iso;
    CardBench f(64);
    f.start(std::make_shared<RecordingCard>(atr));
    sim::IoResult result = f.power(SCARD_COLD_RESET, static_cast<ULONG>(atr.size()));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.output, atr);
    result = f.power(SCARD_COLD_RESET, static_cast<ULONG>(atr.size() - 1));
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.bytes, 0u);
}

TEST(CardPowerReset, ProtocolInForceMakesTheStateSpecific) {
    CardBench f(65);
    f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso));
    ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    EXPECT_NE(f.card_state(), static_cast<ULONG>(SCARD_SPECIFIC));
    ASSERT_EQ(f.set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    ASSERT_EQ(f.power(SCARD_WARM_RESET).status, STATUS_SUCCESS);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_SPECIFIC));
    EXPECT_EQ(f.sc->CardCapabilities.Protocol.Selected, static_cast<ULONG>(SCARD_PROTOCOL_T1));
}

TEST(CardPowerDown, LeavesPresentAndNoProtocol) {
    CardBench f(66);
    auto card = std::make_shared<RecordingCard>(sim::preset_atr::iso);
    f.start(card);
    ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(f.set_protocol(SCARD_PROTOCOL_Tx).status, STATUS_SUCCESS);
    ASSERT_EQ(f.card_state(), static_cast<ULONG>(SCARD_SPECIFIC));
    const size_t before = f.written_count();
    const sim::IoResult result = f.power(SCARD_POWER_DOWN);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_PRESENT));
    EXPECT_EQ(f.sc->CardCapabilities.Protocol.Selected, 0u);
    EXPECT_EQ(count_written(f, kPowerDown, before), 1u);
    EXPECT_EQ(f.written_count(), before + 1);
    EXPECT_EQ(card->power_offs, 1);
}

TEST(CardPowerDown, NoCardRefusesEveryCode) {
    CardBench f(67);
    f.start();
    ASSERT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    const size_t before = f.written_count();
    for (ULONG code : {SCARD_POWER_DOWN, SCARD_COLD_RESET, SCARD_WARM_RESET}) {
        EXPECT_EQ(f.power(code).status, STATUS_NO_MEDIA) << code;
    }
    EXPECT_EQ(f.written_count(), before);
}

// The failure table, row by row, with a reader that sends only what each row scripts.
TEST(CardPowerFailures, EveryRow) {
    using namespace sim::preset_atr;
    struct Case {
        const char* name;
        ULONG code;
        std::vector<Packet> packets;  // the first 1 ms after the reset request, each further one 1 ms later
        NTSTATUS status;
        ULONG state;
        bool power_down;
        int64_t at_least_ms = 0;
        bool refuse_writes = false;
    };
    auto pieces = [](const Bytes& atr, size_t first) {
        std::vector<Packet> packets;
        for (size_t at = 0; at < atr.size();) {
            const size_t n = std::min(at == 0 ? first : size_t{6}, atr.size() - at);
            Packet p(8, 0);
            p[1] = static_cast<uint8_t>(n);
            std::copy_n(atr.begin() + static_cast<std::ptrdiff_t>(at), n, p.begin() + 2);
            packets.push_back(p);
            at += n;
        }
        return packets;
    };
    const ULONG P = SCARD_PRESENT, W = SCARD_SWALLOWED, A = SCARD_ABSENT;
    const std::vector<Case> cases = {
        {"power-down not written within 1 s", SCARD_POWER_DOWN, {}, STATUS_IO_TIMEOUT, P, false, 1000, true},
        {"cold reset not written within 50 s", SCARD_COLD_RESET, {}, STATUS_IO_TIMEOUT, P, false, 50'000, true},
        {"warm reset not written within 1 s", SCARD_WARM_RESET, {}, STATUS_IO_TIMEOUT, P, false, 1000, true},
        {"no packet within 50 s", SCARD_COLD_RESET, {}, STATUS_UNRECOGNIZED_MEDIA, W, true, 50'000},
        {"no packet within 50 s after ATR data", SCARD_COLD_RESET, {pieces(iso, 6)[0]}, STATUS_IO_TIMEOUT, W, true,
         50'100},
        {"first ATR packet of 1 byte", SCARD_COLD_RESET, {packet({0x00, 0x01, 0x3B})}, STATUS_UNRECOGNIZED_MEDIA, W,
         true},
        {"first ATR packet of 0 bytes", SCARD_WARM_RESET, {packet({0x00, 0x00})}, STATUS_UNRECOGNIZED_MEDIA, W, true},
        {"ATR packet of 7 bytes", SCARD_COLD_RESET, {packet({0x00, 0x07, 0x3B, 0x86, 0x80, 0x31, 0xFE, 0x45})},
         STATUS_UNRECOGNIZED_MEDIA, P, false},
        {"later ATR packet of 7 bytes", SCARD_COLD_RESET,
         {pieces(iso, 6)[0], packet({0x00, 0x07, 0x51, 0x2D, 0x77, 0x61, 0x72, 0x64})}, STATUS_UNRECOGNIZED_MEDIA, P,
         false},
        {"other reader status", SCARD_COLD_RESET, {packet({0x02, 0x80, 0x01})}, STATUS_IO_TIMEOUT, W, true},
        {"card-absent status", SCARD_COLD_RESET, {pieces(iso, 6)[0], packet({0x02, 0x81, 0x00})}, STATUS_NO_MEDIA, A,
         false},
        {"answer header", SCARD_COLD_RESET, {packet({0x01, 0x01, 0x05})}, STATUS_NO_MEDIA, P, false},
        {"unknown kind", SCARD_WARM_RESET, {packet({0x07, 0x02, 0x3B, 0x00})}, STATUS_NO_MEDIA, P, false},
        {"36 ATR bytes", SCARD_COLD_RESET, pieces(too_long, 6), STATUS_IO_TIMEOUT, W, true},
        {"34 ATR bytes", SCARD_COLD_RESET, pieces(too_long, 4), STATUS_IO_TIMEOUT, W, true},
        {"ATR refused by the library", SCARD_COLD_RESET, pieces(bad_tck, 6), STATUS_UNRECOGNIZED_MEDIA, P, false},
        {"ATR of neither convention", SCARD_COLD_RESET, pieces(bad_ts, 6), STATUS_UNRECOGNIZED_MEDIA, P, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(68);
        f.start(std::make_shared<RecordingCard>(iso));
        f.script();
        for (size_t i = 0; i < c.packets.size(); ++i) {
            if (i == 0) {
                f.reader.queue_reply_to_write(c.packets[i], from_ms(1));
            } else {
                f.reader.queue_packet_after(from_ms(1), c.packets[i]);
            }
        }
        if (c.refuse_writes) f.reader.refuse_writes(true);
        const size_t before = f.written_count();
        const VirtualTime begin = f.k.now();
        const sim::IoResult result = f.power(c.code);
        const VirtualTime took = f.k.now() - begin;
        f.reader.refuse_writes(false);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(f.card_state(), c.state);
        EXPECT_EQ(count_written(f, kPowerDown, before), c.power_down ? 1u : 0u);
        EXPECT_GE(took, from_ms(c.at_least_ms));
        EXPECT_EQ(f.reader.script_steps_left(), 0u);
    }
}

// A card that never answers the reset, with the real firmware: the collection gives up after 50 s and powers the
// card down.
TEST(CardPowerFailures, MuteCardWithTheFirmware) {
    CardBench f(69);
    f.start(std::make_shared<sim::MuteCard>());
    const size_t before = f.written_count();
    const sim::IoResult result = f.power(SCARD_COLD_RESET);
    EXPECT_EQ(result.status, STATUS_UNRECOGNIZED_MEDIA);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_SWALLOWED));
    EXPECT_EQ(count_written(f, kPowerDown, before), 1u);
    EXPECT_EQ(f.firmware->power_downs, 1);
}

// The card leaves during the reset while a tracking request waits: it learns of the removal.
TEST(CardPowerFailures, CardRemovedDuringResetCompletesTracking) {
    CardBench f(70);
    f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso));
    f.reader.set_handler(sim::PacketKind::control, 0x01, [](sim::Reader& r, const sim::ReaderCommand&) {
        r.send(packet({0x00, 0x06, 0x3B, 0x86, 0x80, 0x31, 0xFE, 0x45}));
        r.remove_card();
    });
    auto tracking = f.track(IOCTL_SMARTCARD_IS_ABSENT);
    const sim::IoResult result = f.power(SCARD_COLD_RESET);
    EXPECT_EQ(result.status, STATUS_NO_MEDIA);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    EXPECT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
}

// ---- Protocol selection ----------------------------------------------------------------------------------------

TEST(SetProtocolMasks, SelectionByMaskAndCard) {
    using namespace sim::preset_atr;
    struct Case {
        const char* name;
        Bytes atr;
        ULONG mask;
        ULONG selected;
        NTSTATUS status;
    };
    // A mask the card cannot run is refused by the smart card library before the driver sees it: no protocol
    // is selected and the card state stays as the reset left it.
    const Case cases[] = {
        {"T0|T1 card, mask T0|T1", iso, SCARD_PROTOCOL_Tx, SCARD_PROTOCOL_T1, STATUS_SUCCESS},
        {"T0|T1 card, mask T0", iso, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T0, STATUS_SUCCESS},
        {"T0|T1 card, mask T1", iso, SCARD_PROTOCOL_T1, SCARD_PROTOCOL_T1, STATUS_SUCCESS},
        {"T1 card, mask T0", iso_t1, SCARD_PROTOCOL_T0, SCARD_PROTOCOL_UNDEFINED, STATUS_NOT_SUPPORTED},
        {"T0 card, mask T0|T1", iso_t0, SCARD_PROTOCOL_Tx, SCARD_PROTOCOL_T0, STATUS_SUCCESS},
        {"T0|T1 card, mask raw", iso, SCARD_PROTOCOL_RAW, SCARD_PROTOCOL_UNDEFINED, STATUS_NOT_SUPPORTED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(71);
        f.start(std::make_shared<RecordingCard>(c.atr));
        ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        const ULONG state_after_reset = f.card_state();
        const size_t before = f.written_count();
        const sim::IoResult result = f.set_protocol(c.mask);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(f.sc->CardCapabilities.Protocol.Selected, c.selected);
        EXPECT_EQ(f.written_count(), before) << "nothing goes to the reader";
        if (c.status != STATUS_SUCCESS) {
            EXPECT_TRUE(result.output.empty());
            EXPECT_EQ(f.card_state(), state_after_reset);
            continue;
        }
        ASSERT_EQ(result.output.size(), 4u);
        EXPECT_EQ(result.output, (Bytes{static_cast<uint8_t>(c.selected), 0, 0, 0}));
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_SPECIFIC));
    }
}

struct DirectSetProtocol {
    NTSTATUS status = STATUS_PENDING;
    ULONG information = 0x77;
    std::vector<UCHAR> reply = std::vector<UCHAR>(8, 0xCC);
};

DirectSetProtocol set_protocol_directly(CardBench& f, ULONG mask, ULONG reply_length) {
    DirectSetProtocol out;
    f.run([&] {
        f.sc->MinorIoControlCode = mask;
        f.sc->IoRequest.ReplyBuffer = out.reply.data();
        f.sc->IoRequest.ReplyBufferLength = reply_length;
        f.sc->IoRequest.Information = &out.information;
        out.status = SetProtocol(f.sc);
    });
    return out;
}

// The callback itself refuses a selection without a card that answered its reset, whatever the library checked
// before: a card state of SCARD_SPECIFIC would claim a negotiated card that is not there.
TEST(SetProtocolMasks, NoUsableCardIsRefusedAndTheStateStays) {
    struct Row {
        const char* name;
        ULONG state;
        ULONG mask;
        NTSTATUS expected;
    };
    const Row cases[] = {
        {"slot empty", SCARD_ABSENT, SCARD_PROTOCOL_Tx, STATUS_NO_MEDIA},
        {"reset failed", SCARD_SWALLOWED, SCARD_PROTOCOL_Tx, STATUS_INVALID_DEVICE_STATE},
        {"T=1 card, mask T=0", SCARD_PRESENT, SCARD_PROTOCOL_T0, STATUS_NOT_SUPPORTED},
    };
    for (const Row& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(74);
        f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso_t1));
        ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        f.run([&] { SetCardState(f.sc, c.state); });
        const DirectSetProtocol out = set_protocol_directly(f, c.mask, 8);
        EXPECT_EQ(out.status, c.expected);
        EXPECT_EQ(out.information, 0x77u);
        EXPECT_EQ(out.reply, std::vector<UCHAR>(8, 0xCC));
        EXPECT_EQ(f.card_state(), c.state);
        EXPECT_EQ(f.sc->CardCapabilities.Protocol.Selected, 0u);
    }
}

TEST(SetProtocolMasks, ProtocolAlreadyInForceTouchesNothing) {
    CardBench f(72);
    f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso));
    ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(f.set_protocol(SCARD_PROTOCOL_T1).status, STATUS_SUCCESS);
    const DirectSetProtocol out = set_protocol_directly(f, SCARD_PROTOCOL_T1, 8);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.information, 0x77u);
    EXPECT_EQ(out.reply, std::vector<UCHAR>(8, 0xCC));
}

// A reply buffer too short for the 32-bit protocol value is refused before anything changes.
TEST(SetProtocolMasks, ShortReplyBufferIsRefused) {
    for (ULONG length : {0u, 1u, 3u}) {
        SCOPED_TRACE(length);
        CardBench f(73);
        f.start(std::make_shared<RecordingCard>(sim::preset_atr::iso));
        ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        const ULONG state = f.card_state();
        const DirectSetProtocol out = set_protocol_directly(f, SCARD_PROTOCOL_Tx, length);
        EXPECT_EQ(out.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(out.reply, std::vector<UCHAR>(8, 0xCC)) << "nothing written into the reply buffer";
        EXPECT_EQ(out.information, 0x77u);
        EXPECT_EQ(f.sc->CardCapabilities.Protocol.Selected, 0u);
        EXPECT_EQ(f.card_state(), state);

        const DirectSetProtocol fits = set_protocol_directly(f, SCARD_PROTOCOL_Tx, 4);
        EXPECT_EQ(fits.status, STATUS_SUCCESS);
        EXPECT_EQ(fits.information, 4u);
        EXPECT_EQ(fits.reply, (std::vector<UCHAR>{2, 0, 0, 0, 0xCC, 0xCC, 0xCC, 0xCC}));
    }
}

}  // namespace
}  // namespace qward::card_test
