// APDU transmit through IOCTL_SMARTCARD_TRANSMIT: the case table and the APDU blocks, malformed APDUs, the reader-management APDUs and every row of the management and card answer tables.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_bench.h"
#include "reader/cards/card_factory.h"
#include "support/bytes.h"

namespace qward::card_test {
namespace {

using sim::from_ms;
using sim::test::hex_bytes;
using sim::test::hex_text;

constexpr NTSTATUS kLengthMismatch = static_cast<NTSTATUS>(0xC0000048);

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes filled(size_t n, uint8_t value) { return Bytes(n, value); }

// The commands with this code that the host wrote from packet `from` on.
std::vector<WrittenCommand> commands_with_code(const CardBench& f, uint8_t code, size_t from) {
    std::vector<WrittenCommand> found;
    for (WrittenCommand& c : f.written(from)) {
        if (c.header.size() > 2 && c.header[0] == 0x01 && c.header[2] == code) found.push_back(std::move(c));
    }
    return found;
}

TEST(TransmitCases, EachCaseGoesOutAsItsBlock) {
    struct Case {
        std::string name;
        Bytes apdu;
        uint8_t apdu_case;
        Bytes block;
    };
    const Bytes data255 = filled(255, 0x5A);
    const std::vector<Case> cases = {
        {"case 1", hex_bytes("00 A4 00 00"), 1, hex_bytes("00 A4 00 00 00")},
        {"case 2", hex_bytes("00 B0 00 00 10"), 2, hex_bytes("00 B0 00 00 00 10")},
        {"case 2, Le 00", hex_bytes("00 B0 00 00 00"), 2, hex_bytes("00 B0 00 00 00 00")},
        {"case 3", hex_bytes("00 A4 04 00 07 A0 00 00 00 03 10 10"), 3,
         hex_bytes("00 A4 04 00 07 FF A0 00 00 00 03 10 10")},
        {"case 4", hex_bytes("00 88 00 00 02 11 22 08"), 4, hex_bytes("00 88 00 00 02 08 11 22 08")},
        {"case 4 with Lc 0", hex_bytes("00 B0 00 00 00 10"), 4, hex_bytes("00 B0 00 00 00 10 10")},
        {"case 3 with Lc 255", concat(hex_bytes("00 D6 00 00 FF"), data255), 3,
         concat(hex_bytes("00 D6 00 00 FF FF"), data255)},
        {"case 4 with Lc 255", concat(concat(hex_bytes("00 D6 00 00 FF"), data255), {0x20}), 4,
         concat(concat(hex_bytes("00 D6 00 00 FF 20"), data255), {0x20})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(41);
        auto card = std::make_shared<RecordingCard>(Bytes{0x3B, 0x00}, hex_bytes("61 62 90 00"));
        f.start(card);
        const size_t before = f.written_count();
        const sim::IoResult result = f.transmit(c.apdu);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(reply_body(result), hex_bytes("61 62 90 00"));
        const auto sent = commands_with_code(f, 0x21, before);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].header[1], 0x04);
        EXPECT_EQ(sent[0].header[5], c.apdu_case);
        EXPECT_EQ(size_t(sent[0].header[3] | sent[0].header[4] << 8), c.apdu.size() + 1);
        EXPECT_EQ(hex_text(sent[0].data), hex_text(c.block));
        ASSERT_EQ(card->apdus.size(), 1u) << "the firmware passed the APDU on";
        EXPECT_EQ(card->apdus[0], c.apdu);
    }
}

// Too short: the header and 67 00 with success. A length that fits no case: nothing, and 0xC0000048. Neither
// reaches the reader, and neither is taken for a management APDU.
TEST(TransmitCases, TooShortAndMismatchedApdus) {
    struct Case {
        const char* apdu;
        NTSTATUS status;
        const char* reply;
    };
    const Case cases[] = {
        {"", STATUS_SUCCESS, "67 00"},
        {"00", STATUS_SUCCESS, "67 00"},
        {"00 A4 00", STATUS_SUCCESS, "67 00"},
        {"00 B0 00 00 05 01", kLengthMismatch, nullptr},
        {"00 A4 04 00 07 A0 00", kLengthMismatch, nullptr},
        {"00 A4 04 00 01 A0 00 00", kLengthMismatch, nullptr},
        {"80 12 00 01 02 AA", kLengthMismatch, nullptr},
    };
    CardBench f(42);
    auto card = std::make_shared<RecordingCard>();
    f.start(card);
    const size_t before = f.written_count();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.apdu);
        const sim::IoResult result = f.transmit(hex_bytes(c.apdu));
        EXPECT_EQ(result.status, c.status);
        if (c.reply) {
            EXPECT_EQ(result.bytes, 10u);
            EXPECT_EQ(reply_body(result), hex_bytes(c.reply));
        } else {
            EXPECT_EQ(result.bytes, 0u);
        }
    }
    EXPECT_EQ(f.written_count(), before) << "nothing goes to the reader";
    EXPECT_TRUE(card->apdus.empty());

    // A reply buffer with room for the header but not the status word: refused, not "success with nothing".
    const sim::IoResult cramped = f.transmit(hex_bytes("00 A4 00"), 9);
    EXPECT_EQ(cramped.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(cramped.bytes, 0u);
}

// A request shorter than its own 8-byte header (which SMCLIB's size check keeps from the I/O control) ends as a
// length mismatch, and no reply left from an earlier request goes back with it.
TEST(TransmitCases, RequestShorterThanItsHeader) {
    CardBench f(43);
    f.start(std::make_shared<RecordingCard>());
    ASSERT_EQ(f.transmit(hex_bytes("00 B0 00 00 02")).status, STATUS_SUCCESS);
    NTSTATUS status = STATUS_PENDING;
    ULONG information = 0x77;
    std::vector<UCHAR> request = {0x02, 0x00, 0x00, 0x00, 0x08};
    std::vector<UCHAR> reply(MIN_BUFFER_SIZE, 0xCC);
    f.run([&] {
        f.sc->IoRequest.RequestBuffer = request.data();
        f.sc->IoRequest.RequestBufferLength = static_cast<ULONG>(request.size());
        f.sc->IoRequest.ReplyBuffer = reply.data();
        f.sc->IoRequest.ReplyBufferLength = static_cast<ULONG>(reply.size());
        f.sc->IoRequest.Information = &information;
        status = TransmitApdu(f.sc);
    });
    EXPECT_EQ(status, kLengthMismatch);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(reply, std::vector<UCHAR>(MIN_BUFFER_SIZE, 0xCC));
}

// ---- Reader-management APDUs ---------------------------------------------------------------------------------

TEST(TransmitManagement, IdentifyRefusalsAndManagementBlocks) {
    struct Case {
        const char* apdu;
        const char* reply;
        const char* block;  // the management block sent, or nullptr when nothing goes to the reader
    };
    const char* identify = "D0 07 4B 56 58 33 31 30 37 90 00";
    const Case cases[] = {
        {"80 12 00 01 00", identify, nullptr},
        {"80 12 00 01 FF", identify, nullptr},  // Le is not compared with the answer
        {"80 12 00 01", "6A 86", nullptr},
        {"80 12 00 01 01 AA", "6A 86", nullptr},
        {"80 12 05 01 00", "6A 86", nullptr},
        {"80 12 00 02 00", "6A 86", nullptr},
        {"80 12 03 01", "6A 86", nullptr},
        {"80 12 03 01 01 AA", "6A 86", nullptr},
        {"80 12 03 01 00", "C1 00 90 00", "02"},
        {"80 12 02 01 03 AA BB CC", "C1 00 90 00", "01 03 AA BB CC"},
        {"80 12 02 01 02 AA BB 00", "C1 00 90 00", "01 02 AA BB"},
        // Without command data in the APDU, none is sent: P3 is Le, or absent, and not a count of bytes that
        // follow it.
        {"80 12 02 01 05", "C1 00 90 00", "01 00"},
        {"80 12 02 01", "C1 00 90 00", "01 00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.apdu);
        CardBench f(44);
        auto card = std::make_shared<RecordingCard>();
        f.start(card);
        ASSERT_FALSE(f.re->CardRequired);
        const size_t before = f.written_count();
        const sim::IoResult result = f.transmit(hex_bytes(c.apdu));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hex_text(reply_body(result)), hex_text(hex_bytes(c.reply)));
        EXPECT_TRUE(card->apdus.empty()) << "never passed to the card";
        const auto sent = commands_with_code(f, 0x07, before);
        if (c.block) {
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].header, packet({0x01, 0x03, 0x07, static_cast<uint8_t>(hex_bytes(c.block).size())}));
            EXPECT_EQ(hex_text(sent[0].data), hex_text(hex_bytes(c.block)));
            EXPECT_TRUE(f.re->CardRequired);
        } else {
            EXPECT_EQ(f.written_count(), before);
            EXPECT_FALSE(f.re->CardRequired);
        }
    }
}

// The management APDU 80 12 02 01 takes its data from the APDU alone, never from what an earlier, longer request
// left in the library's request buffer.
TEST(TransmitManagement, ManagementDataComesOnlyFromTheApdu) {
    CardBench f(45);
    f.start(std::make_shared<RecordingCard>());
    ASSERT_EQ(f.transmit(concat(hex_bytes("00 D6 00 00 C8"), filled(200, 0x5A))).status, STATUS_SUCCESS);
    const size_t before = f.written_count();
    const sim::IoResult result = f.transmit(hex_bytes("80 12 02 01 C8"));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    const auto sent = commands_with_code(f, 0x07, before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(hex_text(sent[0].data), "01 00");
}

TEST(TransmitManagement, StoreAndReadBackThroughTheFirmware) {
    CardBench f(46);
    f.start(std::make_shared<RecordingCard>());
    EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("80 12 02 01 04 54 41 56 4F")))), "C1 00 90 00");
    EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("80 12 03 01 00")))), "C1 04 54 41 56 4F 90 00");
    EXPECT_EQ(f.firmware->management_store, hex_bytes("54 41 56 4F"));
}

TEST(TransmitManagement, EveryRowOfTheAnswerTable) {
    struct Case {
        uint8_t kind;
        Bytes data;
        const char* reply;
    };
    const std::vector<Case> cases = {
        {3, hex_bytes("01 02 03 04"), "C1 04 01 02 03 04 90 00"},
        {3, {}, "C1 00 90 00"},
        {6, {}, "69 F0"},
        {6, hex_bytes("12"), "69 F0"},
        {7, {}, "69 F0"},
        {5, {}, "6F 00"},
        {2, hex_bytes("01"), "6F 00"},
        {9, {}, "6F 00"},
        {8, hex_bytes("07"), "69 F1"},
        {8, hex_bytes("10"), "69 F1"},
        {8, hex_bytes("16"), "69 F1"},
        {8, hex_bytes("17"), "69 F1"},
        {8, hex_bytes("18"), "69 F1"},
        {8, hex_bytes("29"), "69 F1"},
        {8, hex_bytes("19"), "69 87"},
        {8, hex_bytes("21"), "67 00"},
        {8, hex_bytes("2A"), "69 F0"},
        {8, hex_bytes("2B"), "69 F0"},
        {8, hex_bytes("81 6A 81"), "6A 81"},
        {8, hex_bytes("81 6A 82"), "6A 82"},
        {8, hex_bytes("84 6A 83"), "6A 83"},
        {8, hex_bytes("84 6A 88"), "6A 83"},
        {8, hex_bytes("81 6A 88"), "6A 83"},
        {8, hex_bytes("81 6A 84"), "6F 00"},
        {8, hex_bytes("84 90 00"), "6F 00"},
        {8, hex_bytes("81"), "6F 00"},
        {8, hex_bytes("82"), "69 83"},
        {8, hex_bytes("85"), "62 83"},
        {8, hex_bytes("00"), "6F 00"},
        {8, hex_bytes("06"), "6F 00"},
        {8, hex_bytes("FF"), "6F 00"},
        {8, {}, "6F 00"},
    };
    CardBench f(47);
    f.start(std::make_shared<RecordingCard>());
    const Case* current = nullptr;
    f.reader.set_handler(sim::PacketKind::header, 0x07, [&](sim::Reader& r, const sim::ReaderCommand&) {
        r.send_answer(current->kind, current->data);
    });
    for (const Case& c : cases) {
        SCOPED_TRACE("kind " + std::to_string(c.kind) + " data " + hex_text(c.data));
        current = &c;
        const sim::IoResult result = f.transmit(hex_bytes("80 12 03 01 00"));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hex_text(reply_body(result)), hex_text(hex_bytes(c.reply)));
    }
}

// The longest management answer fills the answer area; one byte more is refused without a reply, and the
// exchange after it is unaffected.
TEST(TransmitManagement, AnswerAreaLimit) {
    CardBench f(48);
    f.start(std::make_shared<RecordingCard>());
    size_t length = 258;
    f.reader.set_handler(sim::PacketKind::header, 0x07, [&](sim::Reader& r, const sim::ReaderCommand&) {
        r.send_answer(3, filled(length, 0x33));
    });
    sim::IoResult result = f.transmit(hex_bytes("80 12 03 01 00"));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.bytes, 8u + 2 + 258 + 2);
    // The length byte of the tag carries the low byte of the answer's length.
    EXPECT_EQ(reply_body(result), concat(concat(hex_bytes("C1 02"), filled(258, 0x33)), hex_bytes("90 00")));

    length = 259;
    result = f.transmit(hex_bytes("80 12 03 01 00"));
    EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(result.bytes, 0u);

    length = 2;
    result = f.transmit(hex_bytes("80 12 03 01 00"));
    EXPECT_EQ(hex_text(reply_body(result)), "C1 02 33 33 90 00");
}

TEST(TransmitManagement, NoCardGivesStatusWordOtherFailuresNoReply) {
    {
        // A transmit needs a card: the smart card library refuses it before the driver sees the APDU.
        SCOPED_TRACE("no card in the slot");
        CardBench f(49);
        f.start();
        const size_t before = f.written_count();
        const sim::IoResult result = f.transmit(hex_bytes("80 12 03 01 00"));
        EXPECT_EQ(result.status, STATUS_NO_MEDIA);
        EXPECT_EQ(result.bytes, 0u);
        EXPECT_EQ(f.written_count(), before) << "nothing goes to the reader";
    }
    {
        SCOPED_TRACE("card pulled during the command");
        CardBench f(50);
        f.start(std::make_shared<RecordingCard>());
        f.reader.set_handler(sim::PacketKind::header, 0x07,
                             [](sim::Reader& r, const sim::ReaderCommand&) { r.remove_card(); });
        auto tracking = f.track(IOCTL_SMARTCARD_IS_ABSENT);
        const sim::IoResult result = f.transmit(hex_bytes("80 12 02 01 01 AA"));
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(hex_text(reply_body(result)), "69 F0");
        EXPECT_TRUE(tracking->done());
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    }
    {
        SCOPED_TRACE("malformed answer");
        CardBench f(51);
        f.start(std::make_shared<RecordingCard>());
        f.reader.set_handler(sim::PacketKind::header, 0x07,
                             [](sim::Reader& r, const sim::ReaderCommand&) { r.send(packet({0x00, 0x01, 0xAA})); });
        const sim::IoResult result = f.transmit(hex_bytes("80 12 03 01 00"));
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(result.bytes, 0u);
    }
}

// ---- Card APDU answers ---------------------------------------------------------------------------------------------

TEST(TransmitAnswers, EveryRowOfTheCardAnswerTable) {
    struct Case {
        const char* name;
        std::vector<sim::Packet> packets;
        NTSTATUS status;
        const char* reply;  // after the header; nullptr: no reply bytes (an error status)
    };
    auto answer = [](uint8_t kind, const Bytes& data) {
        std::vector<sim::Packet> packets = {answer_header(kind, data.size())};
        for (sim::Packet& p : data_packets(data)) packets.push_back(std::move(p));
        return packets;
    };
    const std::vector<Case> cases = {
        {"card response", answer(3, hex_bytes("61 62 90 00")), STATUS_SUCCESS, "61 62 90 00"},
        {"other kind passed on", answer(5, hex_bytes("6A 82")), STATUS_SUCCESS, "6A 82"},
        {"kind 2 passed on", answer(2, hex_bytes("90 00")), STATUS_SUCCESS, "90 00"},
        {"reader error with card status word", answer(8, hex_bytes("85 6A 82")), STATUS_SUCCESS, "6A 82"},
        {"reader error, one byte", answer(8, hex_bytes("85")), STATUS_SUCCESS, "00 00"},
        {"reader error, no byte", answer(8, {}), STATUS_SUCCESS, "00 00"},
        {"failure 0x42", answer(15, hex_bytes("42")), STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"failure 0x43", answer(15, hex_bytes("43")), STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"failure 0x80", answer(15, hex_bytes("80")), STATUS_DEVICE_PROTOCOL_ERROR, nullptr},
        {"failure 0x72, card mute", answer(15, hex_bytes("72")), STATUS_IO_TIMEOUT, nullptr},
        {"failure 0x01", answer(15, hex_bytes("01")), STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {"failure without code", answer(15, {}), STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {"cut off by kind 7", {answer_header(3, 10), packet({0x00, 6, 1, 2, 3, 4, 5, 6}), packet({0x01, 0x01, 0x07})},
         STATUS_SUCCESS, ""},
        {"cut off by kind 15", {answer_header(3, 10), packet({0x01, 0x01, 0x0F})}, STATUS_INVALID_DEVICE_REQUEST,
         nullptr},
        {"longer than the answer area", answer(3, filled(259, 0x44)), STATUS_INVALID_DEVICE_REQUEST, nullptr},
        {"the answer area full", answer(3, filled(258, 0x44)), STATUS_SUCCESS, nullptr},
        {"a data packet instead of the answer header", {packet({0x00, 0x02, 0x90, 0x00})},
         STATUS_INVALID_DEVICE_REQUEST, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(52);
        f.start(std::make_shared<RecordingCard>());
        f.reader.set_handler(sim::PacketKind::header, 0x21, [&](sim::Reader& r, const sim::ReaderCommand&) {
            for (const sim::Packet& p : c.packets) r.send(p);
        });
        const sim::IoResult result = f.transmit(hex_bytes("00 B0 00 00 02"));
        EXPECT_EQ(result.status, c.status);
        if (c.reply) {
            EXPECT_EQ(hex_text(reply_body(result)), hex_text(hex_bytes(c.reply)));
        } else if (NT_ERROR(c.status)) {
            EXPECT_EQ(result.bytes, 0u);
        } else {
            EXPECT_EQ(reply_body(result), filled(258, 0x44));
        }
    }
}

// The longest card response, 256 data bytes and the status word, asked for with Le 00: the reply carries it
// whole after the header, 266 bytes in all.
TEST(TransmitAnswers, FullResponseOf256BytesAndStatusWordComesBackWhole) {
    struct Case {
        const char* name;
        Bytes apdu;
    };
    const Case cases[] = {
        {"READ BINARY", hex_bytes("00 B0 00 00 00")},
        {"GET CHALLENGE", hex_bytes("00 84 00 00 00")},
    };
    Bytes response;
    for (int i = 0; i < 256; ++i) response.push_back(static_cast<uint8_t>(i));
    response = concat(response, hex_bytes("90 00"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(54);
        auto card = std::make_shared<RecordingCard>(Bytes{0x3B, 0x00}, response);
        f.start(card);
        const sim::IoResult result = f.transmit(c.apdu);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.bytes, 8u + 258);
        EXPECT_EQ(reply_body(result), response);
        ASSERT_EQ(card->apdus.size(), 1u);
        EXPECT_EQ(card->apdus[0], c.apdu);
    }
}

// The reader firmware with real and misbehaving cards: the answers as the driver turns them into replies.
TEST(TransmitAnswers, FirmwareWithVirtualCards) {
    {
        SCOPED_TRACE("ISO card: select the application, read the notes");
        CardBench f(53);
        f.start(std::shared_ptr<sim::Card>(sim::make_card("iso")));
        ASSERT_EQ(f.power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
        EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("00 A4 04 0C 08 F0 54 41 56 45 4C 4F 01")))), "90 00");
        EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("00 A4 02 0C 02 50 01")))), "90 00");
        EXPECT_EQ(reply_body(f.transmit(hex_bytes("00 B0 00 00 04"))), hex_bytes("00 00 00 00 90 00"));
        EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("00 A4 02 0C 02 77 77")))), "6A 82");
    }
    {
        SCOPED_TRACE("error status words as reader errors");
        CardBench f(54);
        f.start(std::make_shared<RecordingCard>(Bytes{0x3B, 0x00}, hex_bytes("6A 82")));
        f.set_firmware({.errors_as_error_answer = true});
        EXPECT_EQ(hex_text(reply_body(f.transmit(hex_bytes("00 A4 00 00")))), "6A 82");
    }
    {
        SCOPED_TRACE("no card: the firmware answers with the card-absent status");
        CardBench f(56);
        f.start();
        EXPECT_EQ(f.transmit(hex_bytes("00 A4 00 00")).status, STATUS_NO_MEDIA);
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    }
    {
        SCOPED_TRACE("mute card");
        CardBench f(55);
        f.start(std::make_shared<sim::MuteCard>());
        EXPECT_EQ(f.transmit(hex_bytes("00 A4 00 00")).status, STATUS_IO_TIMEOUT);
        // The state the transmit found (T=1 in force, see CardBench::transmit) is left as it was.
        EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_SPECIFIC)) << "a complete kind-15 answer is no cut-off";
    }
}

// The system shuts down while a transmit waits without limit for the reader's answer: the command is aborted at
// the reader and the request ends.
TEST(TransmitAnswers, ShutdownBreaksOffTheWaitAndAbortsTheCommand) {
    CardBench f(57);
    f.start(std::make_shared<RecordingCard>());
    f.reader.set_handler(sim::PacketKind::header, 0x21, [](sim::Reader&, const sim::ReaderCommand&) {});
    f.k.spawn("shutdown", [&] {
        delay_ms(30'000);
        f.pnp.shutdown();
    });
    const sim::VirtualTime begin = f.k.now();
    const sim::IoResult result = f.transmit(hex_bytes("00 D6 00 00 02 11 22"));
    EXPECT_EQ(result.status, STATUS_NO_MEDIA);
    EXPECT_GE(f.k.now() - begin, from_ms(30'000));
    EXPECT_EQ(f.firmware->aborts, 1);
    EXPECT_FALSE(f.de->ShutdownSignalled);
}

// The firmware's reading of APDU blocks: each case back into its APDU, and blocks that do not fit their case.
TEST(FirmwareBlocks, ApduFromBlock) {
    struct Case {
        uint8_t apdu_case;
        const char* block;
        const char* apdu;  // nullptr: refused
    };
    const Case cases[] = {
        {1, "00 A4 00 00 00", "00 A4 00 00"},
        {2, "00 B0 00 00 00 10", "00 B0 00 00 10"},
        {3, "00 A4 04 00 02 FF 3F 00", "00 A4 04 00 02 3F 00"},
        {4, "00 88 00 00 02 08 11 22 08", "00 88 00 00 02 11 22 08"},
        {4, "00 B0 00 00 00 10 10", "00 B0 00 00 00 10"},
        {1, "00 A4 00 00", nullptr},
        {1, "00 A4 00 00 00 FF", nullptr},
        {2, "00 B0 00 00 00", nullptr},
        {3, "00 A4 04 00 03 FF 3F 00", nullptr},
        {3, "00 A4 04 00 00 FF", nullptr},
        {4, "00 88 00 00 02 08 11 22", nullptr},
        {5, "00 A4 00 00 00", nullptr},
        {0, "00 A4 00 00 00", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.apdu_case) + ": " + c.block);
        const std::optional<Bytes> apdu = sim::apdu_from_block(c.apdu_case, hex_bytes(c.block));
        if (c.apdu) {
            ASSERT_TRUE(apdu.has_value());
            EXPECT_EQ(hex_text(*apdu), hex_text(hex_bytes(c.apdu)));
        } else {
            EXPECT_FALSE(apdu.has_value());
        }
    }
}

}  // namespace
}  // namespace qward::card_test
