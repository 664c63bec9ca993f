// The reader packet decoder across whole commands and answers (with the PIN bytes it marks), and the pcap writer's
// bytes: file header, usbmon records, statuses, and a file read back record by record.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <iterator>

#include <usb.h>

#include "tools/workbench/pcap_writer.h"
#include "tools/workbench/reader_protocol.h"
#include "tools/workbench/text.h"

namespace sim::workbench {
namespace {

using Packet8 = std::vector<uint8_t>;

Packet8 p(std::initializer_list<uint8_t> bytes) {
    Packet8 packet(bytes);
    packet.resize(8, 0);
    return packet;
}

std::string field(const DecodedPacket& d, const std::string& name) {
    for (const auto& [key, value] : d.fields) {
        if (key == name) return value;
    }
    return "(none)";
}

TEST(ReaderProtocol, CardApduCommandAndItsAnswer) {
    ReaderProtocolDecoder decoder;
    // 13 data bytes: one header and three data packets of 6, 6 and 1 bytes.
    DecodedPacket header = decoder.decode(Flow::to_reader, p({0x01, 0x04, 0x21, 0x0D, 0x00, 0x03}));
    EXPECT_EQ(header.kind, "command header");
    EXPECT_EQ(field(header, "command"), "0x21");
    EXPECT_EQ(field(header, "length"), "13");
    EXPECT_EQ(field(header, "apdu_case"), "3");
    EXPECT_NE(header.text.find("13 data bytes in 3 packets"), std::string::npos) << header.text;
    const char* pieces[] = {"1/3", "2/3", "3/3"};
    const uint8_t counts[] = {6, 6, 1};
    for (int i = 0; i < 3; ++i) {
        DecodedPacket data = decoder.decode(Flow::to_reader, p({0x00, counts[i], 0x00, 0xA4, 0x04, 0x00, 0x07, 0xFF}));
        EXPECT_EQ(data.kind, "command data");
        EXPECT_EQ(field(data, "piece"), pieces[i]);
    }
    // The command is complete: a further data packet belongs to nothing.
    EXPECT_EQ(decoder.decode(Flow::to_reader, p({0x00, 0x01, 0x00})).kind, "data");

    DecodedPacket answer = decoder.decode(Flow::from_reader, p({0x01, 0x03, 0x03, 0x0A, 0x00}));
    EXPECT_EQ(answer.kind, "answer header");
    EXPECT_EQ(field(answer, "answer_kind"), "3");
    EXPECT_EQ(field(answer, "length"), "10");
    EXPECT_NE(answer.text.find("to the card APDU command"), std::string::npos) << answer.text;
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x06, 1, 2, 3, 4, 5, 6})).kind, "answer data");
    EXPECT_EQ(field(decoder.decode(Flow::from_reader, p({0x00, 0x04, 7, 8, 0x90, 0x00})), "piece"), "2/2");
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x02, 0x90, 0x00})).kind, "data");
}

TEST(ReaderProtocol, AnswerHeaderLengthFollowsTheCount) {
    ReaderProtocolDecoder decoder;
    // Count 2: the high length byte is not part of the header.
    EXPECT_EQ(field(decoder.decode(Flow::from_reader, p({0x01, 0x02, 0x03, 0x0A, 0x07})), "length"), "10");
    ReaderProtocolDecoder fresh;
    // Count 1: no length at all, whatever bytes 3 and 4 hold.
    EXPECT_EQ(field(fresh.decode(Flow::from_reader, p({0x01, 0x01, 0x05, 0x33, 0x44})), "length"), "0");
    // Count 0 and 7 are invalid.
    EXPECT_NE(fresh.decode(Flow::from_reader, p({0x01, 0x00, 0x05})).text.find("invalid"), std::string::npos);
    EXPECT_NE(fresh.decode(Flow::from_reader, p({0x01, 0x07, 0x05})).text.find("invalid"), std::string::npos);
}

TEST(ReaderProtocol, KindSevenOrFifteenEndsAnAnswerEarly) {
    ReaderProtocolDecoder decoder;
    decoder.decode(Flow::to_reader, p({0x01, 0x03, 0x02, 0x00, 0x00}));
    decoder.decode(Flow::from_reader, p({0x01, 0x03, 0x05, 0x0C, 0x00}));
    decoder.decode(Flow::from_reader, p({0x00, 0x06, 'Q', '-', 'w', 'a', 'r', 'd'}));
    DecodedPacket end = decoder.decode(Flow::from_reader, p({0x01, 0x01, 0x07}));
    EXPECT_NE(end.text.find("ends the answer early"), std::string::npos) << end.text;
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x06})).kind, "data");
}

TEST(ReaderProtocol, ResetsBringAtrDataAndCardStatusIsNamed) {
    ReaderProtocolDecoder decoder;
    DecodedPacket reset = decoder.decode(Flow::to_reader, p({0x02, 0x01, 0x40}));
    EXPECT_EQ(reset.kind, "control request");
    EXPECT_EQ(field(reset, "request"), "0x01");
    EXPECT_NE(reset.text.find("cold-reset request"), std::string::npos);
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x06, 0x3B, 0x86, 0x80, 0x31, 0xFE, 0x45})).kind, "ATR data");
    // A card-present status between ATR pieces carries no ATR bytes and does not end the ATR.
    DecodedPacket present = decoder.decode(Flow::from_reader, p({0x02, 0x81, 0x01}));
    EXPECT_EQ(present.kind, "card status");
    EXPECT_EQ(field(present, "card_present"), "true");
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x01, 0xF0})).kind, "ATR data");
    // No card ends it.
    EXPECT_EQ(field(decoder.decode(Flow::from_reader, p({0x02, 0x81, 0x00})), "card_present"), "false");
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x00, 0x01, 0xF0})).kind, "data");
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x02, 0x80, 0x01})).kind, "reader status");
    EXPECT_EQ(decoder.decode(Flow::from_reader, p({0x05})).kind, "unknown");
}

TEST(ReaderProtocol, VerifyApduDataIsSecretOnTheWire) {
    ReaderProtocolDecoder decoder;
    // VERIFY 00 20 00 01 04 31 32 33 34 as an APDU block: 00 20 00 01 04 FF 31 32 33 34 (10 bytes).
    decoder.decode(Flow::to_reader, p({0x01, 0x04, 0x21, 0x0A, 0x00, 0x03}));
    DecodedPacket first = decoder.decode(Flow::to_reader, p({0x00, 0x06, 0x00, 0x20, 0x00, 0x01, 0x04, 0xFF}));
    DecodedPacket second = decoder.decode(Flow::to_reader, p({0x00, 0x04, 0x31, 0x32, 0x33, 0x34}));
    EXPECT_EQ(std::count(first.secret.begin(), first.secret.end(), true), 0);
    for (size_t i = 0; i < 8; ++i) EXPECT_EQ(second.secret[i], i >= 2 && i < 6) << i;

    // Not a VERIFY: nothing secret.
    decoder.decode(Flow::to_reader, p({0x01, 0x04, 0x21, 0x0A, 0x00, 0x03}));
    decoder.decode(Flow::to_reader, p({0x00, 0x06, 0x00, 0xD6, 0x00, 0x00, 0x04, 0xFF}));
    DecodedPacket plain = decoder.decode(Flow::to_reader, p({0x00, 0x04, 0x31, 0x32, 0x33, 0x34}));
    EXPECT_EQ(std::count(plain.secret.begin(), plain.secret.end(), true), 0);
}

TEST(ReaderProtocol, PinVerificationStartHidesTheApduData) {
    ReaderProtocolDecoder decoder;
    // 13-byte PIN block, then the VERIFY template 00 20 00 01 04 + 4 data bytes: 22 bytes, 4 packets.
    Bytes data = {0x1E, 0x09, 0x04, 0x08, 0x00, 0x81, 0x82, 0x00, 0x00, 0x82, 0x04, 0x00, 0x09,
                  0x00, 0x20, 0x00, 0x01, 0x04, 0x31, 0x32, 0x33, 0x34};
    decoder.decode(Flow::to_reader, p({0x01, 0x03, 0x42, static_cast<uint8_t>(data.size()), 0x00}));
    std::vector<bool> secret;
    for (size_t offset = 0; offset < data.size(); offset += 6) {
        size_t n = std::min<size_t>(6, data.size() - offset);
        Packet8 packet = {0x00, static_cast<uint8_t>(n)};
        packet.insert(packet.end(), data.begin() + static_cast<long>(offset), data.begin() + static_cast<long>(offset + n));
        packet.resize(8, 0);
        DecodedPacket d = decoder.decode(Flow::to_reader, packet);
        for (size_t i = 0; i < n; ++i) secret.push_back(d.secret[2 + i]);
    }
    for (size_t i = 0; i < data.size(); ++i) EXPECT_EQ(secret[i], i >= 18) << i;
}

TEST(ReaderProtocol, KeyPollAnswersNameTheKey) {
    ReaderProtocolDecoder decoder;
    decoder.decode(Flow::to_reader, p({0x01, 0x03, 0x44, 0x00, 0x00}));
    decoder.decode(Flow::from_reader, p({0x01, 0x03, 0x03, 0x01, 0x00}));
    DecodedPacket key = decoder.decode(Flow::from_reader, p({0x00, 0x01, 0x2B}));
    EXPECT_NE(key.text.find("key 0x2B (digit)"), std::string::npos) << key.text;
    decoder.decode(Flow::to_reader, p({0x01, 0x03, 0x45, 0x00, 0x00}));
    decoder.decode(Flow::from_reader, p({0x01, 0x03, 0x08, 0x03, 0x00}));
    DecodedPacket error = decoder.decode(Flow::from_reader, p({0x00, 0x03, 0x81, 0x63, 0xC2}));
    EXPECT_NE(error.text.find("reader error code 0x81, status word 63 C2"), std::string::npos) << error.text;
}

uint32_t le32(const std::vector<uint8_t>& b, size_t at) {
    return static_cast<uint32_t>(b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24);
}

TEST(PcapWriter, FileHeaderNamesTheUsbmonLinkType) {
    std::vector<uint8_t> h = pcap_file_header();
    ASSERT_EQ(h.size(), 24u);
    EXPECT_EQ(le32(h, 0), 0xA1B2C3D4u);
    EXPECT_EQ(h[4] | h[5] << 8, 2);
    EXPECT_EQ(h[6] | h[7] << 8, 4);
    EXPECT_EQ(le32(h, 20), 220u);
}

TEST(PcapWriter, UsbmonRecordLayout) {
    UsbmonRecord r;
    r.id = 0x1122334455667788ull;
    r.type = 'S';
    r.transfer = UsbmonTransfer::interrupt;
    r.endpoint = 0x02;
    r.device = 3;
    r.bus = 1;
    r.length = 8;
    r.data = {0x01, 0x04, 0x21, 0x0D, 0x00, 0x03, 0x00, 0x00};
    r.status = -EINPROGRESS;
    r.interval = 1;
    r.time = from_ms(2'500) + from_us(7);
    std::vector<uint8_t> b = encode_usbmon(r);
    ASSERT_EQ(b.size(), 64u + 8u);
    EXPECT_EQ(le32(b, 0), 0x55667788u);
    EXPECT_EQ(le32(b, 4), 0x11223344u);
    EXPECT_EQ(b[8], 'S');
    EXPECT_EQ(b[9], 1);     // interrupt
    EXPECT_EQ(b[10], 0x02);
    EXPECT_EQ(b[11], 3);
    EXPECT_EQ(b[12] | b[13] << 8, 1);
    EXPECT_EQ(b[14], '-');  // no setup packet
    EXPECT_EQ(b[15], 0);    // data present
    EXPECT_EQ(le32(b, 16), 2u);       // seconds
    EXPECT_EQ(le32(b, 24), 500'007u);  // microseconds
    EXPECT_EQ(static_cast<int32_t>(le32(b, 28)), -EINPROGRESS);
    EXPECT_EQ(le32(b, 32), 8u);  // length
    EXPECT_EQ(le32(b, 36), 8u);  // captured
    EXPECT_EQ(le32(b, 48), 1u);  // interval
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 64, b.end()), r.data);

    UsbmonRecord control;
    control.type = 'S';
    control.transfer = UsbmonTransfer::control;
    control.endpoint = 0x80;
    control.setup = std::array<uint8_t, 8>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00};
    control.length = 18;
    std::vector<uint8_t> c = encode_usbmon(control);
    ASSERT_EQ(c.size(), 64u);
    EXPECT_EQ(c[14], 0);    // setup present
    EXPECT_EQ(c[15], '<');  // an IN submission carries no data
    EXPECT_EQ(std::vector<uint8_t>(c.begin() + 40, c.begin() + 48), Bytes(control.setup->begin(), control.setup->end()));
}

TEST(PcapWriter, UrbEndingsMapToUsbmonStatuses) {
    EXPECT_EQ(usbmon_status(STATUS_SUCCESS, USBD_STATUS_SUCCESS), 0);
    EXPECT_EQ(usbmon_status(STATUS_CANCELLED, USBD_STATUS_CANCELED), -ENOENT);
    EXPECT_EQ(usbmon_status(STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE), -ESHUTDOWN);
    EXPECT_EQ(usbmon_status(STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID), -EPIPE);
    EXPECT_EQ(usbmon_status(STATUS_UNSUCCESSFUL, USBD_STATUS_DATA_OVERRUN), -EOVERFLOW);
    EXPECT_EQ(usbmon_status(STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING), -EPROTO);
    EXPECT_EQ(usbmon_status(STATUS_CANCELLED, USBD_STATUS_SUCCESS), -ENOENT);
    EXPECT_EQ(usbmon_status(STATUS_UNSUCCESSFUL, USBD_STATUS_INVALID_PARAMETER), -EIO);
}

TEST(PcapWriter, WritesRecordsThatReadBack) {
    std::string path = ::testing::TempDir() + "workbench_writer_test.pcap";
    {
        PcapWriter writer;
        std::string error;
        ASSERT_TRUE(writer.open(path, error)) << error;
        UsbmonRecord submit;
        submit.id = 1;
        submit.type = 'S';
        submit.endpoint = 0x81;
        submit.length = 8;
        submit.status = -EINPROGRESS;
        submit.time = from_ms(1);
        writer.write(submit);
        UsbmonRecord complete = submit;
        complete.type = 'C';
        complete.status = 0;
        complete.data = {0x02, 0x81, 0x01, 0, 0, 0, 0, 0};
        complete.time = from_ms(3);
        writer.write(complete);
        EXPECT_EQ(writer.records(), 2u);
    }
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(file.size(), 24u + (16 + 64) + (16 + 72));
    size_t at = 24;
    EXPECT_EQ(le32(file, at + 4), 1000u);  // microseconds of the first stamp
    EXPECT_EQ(le32(file, at + 8), 64u);
    EXPECT_EQ(le32(file, at + 12), 64u);
    at += 16 + 64;
    EXPECT_EQ(le32(file, at + 4), 3000u);
    EXPECT_EQ(le32(file, at + 8), 72u);
    EXPECT_EQ(file[at + 16 + 8], 'C');
    EXPECT_EQ(file[at + 16 + 64 + 2], 0x01);

    PcapWriter bad;
    std::string error;
    EXPECT_FALSE(bad.open("/nonexistent-folder/x.pcap", error));
    EXPECT_NE(error.find("/nonexistent-folder/x.pcap"), std::string::npos);
}

}  // namespace
}  // namespace sim::workbench
