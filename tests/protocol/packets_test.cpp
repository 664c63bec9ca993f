// The packet helpers: reader-control requests, command lengths, cutting command data into data packets, answer headers by count.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "driver/driver.h"
#include "protocol/packets.h"

namespace {

using Bytes = std::array<UCHAR, 8>;

TEST(Packets, ReaderRequestsCarryTheResetParameterOnlyForResets) {
    struct Case {
        UCHAR code;
        Bytes expected;
    };
    const Case cases[] = {
        {REQUEST_COLD_RESET, {0x02, 0x01, 0x40, 0, 0, 0, 0, 0}},
        {REQUEST_CARD_STATUS, {0x02, 0x09, 0x00, 0, 0, 0, 0, 0}},
        {REQUEST_POWER_DOWN, {0x02, 0x0B, 0x00, 0, 0, 0, 0, 0}},
        {REQUEST_WARM_RESET, {0x02, 0x15, 0x40, 0, 0, 0, 0, 0}},
    };
    for (const Case& c : cases) {
        Bytes packet;
        packet.fill(0xEE);
        BuildReaderRequest(packet.data(), c.code);
        EXPECT_EQ(packet, c.expected) << "request 0x" << std::hex << int(c.code);
    }
}

TEST(Packets, CommandDataLengthIsLittleEndianAndTouchesOnlyBytes3And4) {
    Bytes header = {0x01, 0x04, 0x21, 0, 0, 0x03, 0, 0};
    SetCommandDataLength(header.data(), 0x1234);
    EXPECT_EQ(header, (Bytes{0x01, 0x04, 0x21, 0x34, 0x12, 0x03, 0, 0}));
    SetCommandDataLength(header.data(), 0x0001'640D);  // only the low 16 bits reach the header
    EXPECT_EQ(header[3], 0x0D);
    EXPECT_EQ(header[4], 0x64);
    SetCommandDataLength(header.data(), 0);
    EXPECT_EQ(header, (Bytes{0x01, 0x04, 0x21, 0, 0, 0x03, 0, 0}));
}

// Cuts data into packets as a sender does: one BuildDataPacket per piece until nothing is left.
std::vector<Bytes> cut(const std::vector<UCHAR>& data) {
    std::vector<Bytes> packets;
    ULONG sent = 0;
    while (sent < data.size()) {
        Bytes packet;
        packet.fill(0xEE);
        const ULONG taken = BuildDataPacket(packet.data(), data.data() + sent, static_cast<ULONG>(data.size()) - sent);
        EXPECT_GE(taken, 1u);
        EXPECT_EQ(packet[1], taken);
        sent += taken;
        packets.push_back(packet);
    }
    return packets;
}

TEST(Packets, CommandDataGoesOutInPiecesOfSix) {
    struct Case {
        size_t length;
        std::vector<UCHAR> counts;
    };
    const Case cases[] = {{1, {1}}, {6, {6}}, {7, {6, 1}}, {12, {6, 6}}, {13, {6, 6, 1}}, {25, {6, 6, 6, 6, 1}}};
    for (const Case& c : cases) {
        std::vector<UCHAR> data(c.length);
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<UCHAR>(0xA0 + i);
        const std::vector<Bytes> packets = cut(data);
        ASSERT_EQ(packets.size(), c.counts.size()) << c.length << " bytes";
        std::vector<UCHAR> joined;
        for (size_t p = 0; p < packets.size(); ++p) {
            EXPECT_EQ(packets[p][0], 0x00) << "data packets are kind 0";
            EXPECT_EQ(packets[p][1], c.counts[p]) << c.length << " bytes, packet " << p;
            joined.insert(joined.end(), packets[p].begin() + 2, packets[p].begin() + 2 + packets[p][1]);
            // Nothing of an earlier piece or of the buffer's old contents trails the data.
            for (size_t b = 2 + packets[p][1]; b < 8; ++b) EXPECT_EQ(packets[p][b], 0) << "packet " << p << " byte " << b;
        }
        EXPECT_EQ(joined, data) << c.length << " bytes";
    }
}

TEST(Packets, ThirteenDataBytesFollowAHeaderWithLength0D00) {
    Bytes header = {0x01, 0x03, 0x42, 0, 0, 0, 0, 0};
    SetCommandDataLength(header.data(), 13);
    EXPECT_EQ(header[3], 0x0D);
    EXPECT_EQ(header[4], 0x00);
    std::vector<UCHAR> data(13, 0x5A);
    const std::vector<Bytes> packets = cut(data);
    ASSERT_EQ(packets.size(), 3u);
    EXPECT_EQ(packets[0][1], 6);
    EXPECT_EQ(packets[1][1], 6);
    EXPECT_EQ(packets[2][1], 1);
}

TEST(Packets, AnswerHeaderIsReadByItsCount) {
    struct Case {
        Bytes packet;
        bool valid;
        UCHAR kind;
        ULONG length;
    };
    const Case cases[] = {
        // Count 1: kind only, whatever bytes 3 and 4 hold.
        {{0x01, 0x01, 0x05, 0x0A, 0x07, 0xFF, 0xFF, 0xFF}, true, 5, 0},
        // Count 2: the high length byte is not read.
        {{0x01, 0x02, 0x03, 0x0A, 0x07, 0xFF, 0xFF, 0xFF}, true, 3, 10},
        // Count 3 to 6: both length bytes.
        {{0x01, 0x03, 0x03, 0x0A, 0x07, 0xFF, 0xFF, 0xFF}, true, 3, 0x070A},
        {{0x01, 0x06, 0x08, 0xFF, 0xFF, 0x11, 0x22, 0x33}, true, 8, 0xFFFF},
        // Count 0 and counts beyond 6 make the header invalid.
        {{0x01, 0x00, 0x05, 0, 0, 0, 0, 0}, false, 0, 0},
        {{0x01, 0x07, 0x05, 0x01, 0, 0, 0, 0}, false, 0, 0},
        {{0x01, 0xFF, 0x05, 0x01, 0, 0, 0, 0}, false, 0, 0},
        // Packets of another kind are no answer header.
        {{0x00, 0x02, 0x05, 0x01, 0, 0, 0, 0}, false, 0, 0},
        {{0x02, 0x81, 0x01, 0, 0, 0, 0, 0}, false, 0, 0},
    };
    for (const Case& c : cases) {
        UCHAR kind = 0xCC;
        ULONG length = 0xCCCCCCCC;
        const bool valid = ParseAnswerHeader(c.packet.data(), &kind, &length);
        EXPECT_EQ(valid, c.valid) << "count " << int(c.packet[1]) << " kind byte " << int(c.packet[0]);
        if (c.valid) {
            EXPECT_EQ(kind, c.kind);
            EXPECT_EQ(length, c.length) << "count " << int(c.packet[1]);
        } else {
            EXPECT_EQ(kind, 0xCC) << "an invalid header writes nothing";
            EXPECT_EQ(length, 0xCCCCCCCCu) << "an invalid header writes nothing";
        }
    }
}

TEST(Packets, CardStatusPacketIsKind2With81) {
    const Bytes present = {0x02, 0x81, 0x01, 0, 0, 0, 0, 0};
    const Bytes absent = {0x02, 0x81, 0x00, 0, 0, 0, 0, 0};
    const Bytes other_control = {0x02, 0x80, 0x01, 0, 0, 0, 0, 0};
    const Bytes header = {0x01, 0x81, 0x01, 0, 0, 0, 0, 0};
    EXPECT_TRUE(IsCardStatusPacket(present.data()));
    EXPECT_TRUE(IsCardStatusPacket(absent.data()));
    EXPECT_FALSE(IsCardStatusPacket(other_control.data()));
    EXPECT_FALSE(IsCardStatusPacket(header.data()));
}

}  // namespace
