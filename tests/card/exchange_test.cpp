// ExchangeReaderCommand called directly on a started reader: the wire format, the answer and its failures, the room in the answer buffer, and the awaited paths with cancel, shutdown, card removal and read failure.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "card_bench.h"
#include "protocol/packets.h"

namespace qward::card_test {
namespace {

using sim::from_ms;
using sim::Packet;
using sim::VirtualTime;

constexpr UCHAR kGuard = 0xEE;
constexpr size_t kGuardBytes = 16;
constexpr UCHAR kTestCommand = 0x55;  // a command code the firmware does not know; tests answer it themselves

const Packet kAbort = packet({0x01, 0x03, 0x17, 0x00, 0x00, 0x00, 0x00, 0x00});

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    UCHAR kind = 0;
    ULONG length = 0xDEAD;
    Bytes answer;          // the first `length` bytes of the answer buffer (all of it when length is off)
    bool guard_intact = true;
    VirtualTime took = 0;
};

// One exchange in a simulated thread. With an answer, the buffer has `capacity` bytes of room followed by guard
// bytes that must stay untouched.
Outcome exchange(CardBench& f, UCHAR code, const Bytes& data, bool answer, ULONG capacity = 64) {
    Outcome out;
    std::vector<UCHAR> buffer(capacity + kGuardBytes, kGuard);
    f.run([&] {
        UCHAR header[8] = {0x01, 0x03, code, 0, 0, 0, 0, 0};
        const VirtualTime begin = f.k.now();
        out.status = ExchangeReaderCommand(f.sc, header, data.empty() ? nullptr : data.data(),
                                           static_cast<ULONG>(data.size()), answer ? &out.kind : nullptr,
                                           answer ? buffer.data() : nullptr, answer ? capacity : 0,
                                           answer ? &out.length : nullptr);
        out.took = f.k.now() - begin;
    }, "exchange");
    const size_t shown = out.length <= capacity ? out.length : capacity;
    out.answer.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(shown));
    for (size_t i = capacity; i < buffer.size(); ++i) out.guard_intact &= buffer[i] == kGuard;
    return out;
}

Bytes counting(size_t n, uint8_t first = 1) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

// A reader with a card, started, that from now on sends only what the test scripts.
void start_scripted(CardBench& f) {
    f.start(std::make_shared<RecordingCard>());
    f.script();
}

// Posts the background read as a tracking request would.
void post_background_read(CardBench& f) {
    f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); }, "post");
    ASSERT_TRUE(f.re->PollActive);
}

TEST(ExchangeWire, HeaderLengthAndDataPackets) {
    struct Case {
        size_t length;
        bool answer;
        std::vector<size_t> counts;
    };
    const Case cases[] = {{0, true, {}}, {7, true, {6, 1}}, {13, false, {6, 6, 1}}, {12, true, {6, 6}}, {1, false, {1}}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.length) + (c.answer ? " with answer" : " without answer"));
        CardBench f(11);
        start_scripted(f);
        if (c.answer) f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
        const size_t before = f.written_count();
        const Bytes data = counting(c.length, 0x30);
        const Outcome out = exchange(f, kTestCommand, data, c.answer);
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        const auto commands = f.written(before);
        ASSERT_EQ(commands.size(), 1u);
        EXPECT_EQ(commands[0].header,
                  packet({0x01, 0x03, kTestCommand, static_cast<uint8_t>(c.length), 0x00, 0x00, 0x00, 0x00}));
        EXPECT_EQ(commands[0].counts, c.counts);
        EXPECT_EQ(commands[0].data, data);
        // With data and an answer, the last data packet is written and awaited through the background read,
        // which is then posted again; otherwise the background read, not running before, stays so.
        EXPECT_EQ(f.de->PollIrp != nullptr, c.answer && c.length > 0);
    }
}

// The answer as it comes back, row by row: what the exchange returns, stores and leaves in the card state.
TEST(ExchangeAnswer, RowsOfTheAnswerAndItsFailures) {
    const Bytes ten = counting(10, 0xA0);
    struct Case {
        const char* name;
        std::vector<Packet> packets;  // the first 1 ms after the header, each further one 1 ms later
        NTSTATUS status;
        UCHAR kind;
        ULONG length;  // 0xDEAD: not written
        Bytes answer;
        ULONG state = SCARD_PRESENT;
        ULONG capacity = 64;
        int64_t at_least_ms = 0;
    };
    const Packet p6 = packet({0x00, 6, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5});
    const Packet p4 = packet({0x00, 4, 0xA6, 0xA7, 0xA8, 0xA9});
    const Packet p6b = packet({0x00, 6, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xAB});
    const Packet ten_header = packet({0x01, 0x03, 0x03, 0x0A, 0x00});
    const std::vector<Case> cases = {
        {"kind 5 without data", {packet({0x01, 0x01, 0x05, 0x0A, 0x07})}, STATUS_SUCCESS, 5, 0, {}},
        {"10 bytes in 6 and 4", {ten_header, p6, p4}, STATUS_SUCCESS, 3, 10, ten},
        {"count 2 leaves the high length byte out", {packet({0x01, 0x02, 0x03, 0x0A, 0x07}), p6, p4}, STATUS_SUCCESS,
         3, 10, ten},
        {"a last packet of 6 stores all 12", {ten_header, p6, p6b}, STATUS_SUCCESS, 3, 12, counting(12, 0xA0)},
        {"header count 0", {packet({0x01, 0x00, 0x03, 0x05})}, STATUS_INVALID_DEVICE_REQUEST, 0, 0xDEAD, {}},
        {"header count 7", {packet({0x01, 0x07, 0x03, 0x05})}, STATUS_INVALID_DEVICE_REQUEST, 0, 0xDEAD, {}},
        {"first packet is data", {p6}, STATUS_INVALID_DEVICE_REQUEST, 0, 0xDEAD, {}},
        {"first packet of unknown kind", {packet({0x05, 0x01, 0x03})}, STATUS_INVALID_DEVICE_REQUEST, 0, 0xDEAD, {}},
        {"no first packet within 10 s", {}, STATUS_INVALID_DEVICE_REQUEST, 0, 0xDEAD, {}, SCARD_PRESENT, 64, 10'000},
        {"other reader status first", {packet({0x02, 0x80, 0x00})}, STATUS_IO_TIMEOUT, 0, 0xDEAD, {}},
        {"card-present status first", {packet({0x02, 0x81, 0x01})}, STATUS_IO_TIMEOUT, 0, 0xDEAD, {}},
        {"card-absent status first", {packet({0x02, 0x81, 0x00})}, STATUS_NO_MEDIA, 0, 0xDEAD, {}, SCARD_ABSENT},
        {"card-absent status for data", {ten_header, p6, packet({0x02, 0x81, 0x00})}, STATUS_NO_MEDIA, 3, 0xDEAD, {},
         SCARD_ABSENT},
        {"other reader status for data", {ten_header, packet({0x02, 0x81, 0x02})}, STATUS_IO_TIMEOUT, 3, 0xDEAD, {}},
        {"kind 7 cuts the answer off", {ten_header, p6, packet({0x01, 0x01, 0x07})}, STATUS_SUCCESS, 7, 0, {}},
        {"kind 15 cuts the answer off", {ten_header, packet({0x01, 0x01, 0x0F})}, STATUS_SUCCESS, 15, 0, {},
         SCARD_SWALLOWED},
        {"another answer header for data", {ten_header, packet({0x01, 0x01, 0x03})}, STATUS_INVALID_DEVICE_REQUEST, 3,
         0xDEAD, {}},
        {"unknown kind for data", {ten_header, packet({0x09, 0x01, 0x03})}, STATUS_INVALID_DEVICE_REQUEST, 3, 0xDEAD,
         {}},
        {"data packet missing for 50 s", {ten_header, p6}, STATUS_IO_TIMEOUT, 3, 0xDEAD, {}, SCARD_PRESENT, 64,
         50'000},
        // A data packet cannot hold more than 6 bytes; one that claims 7 is not taken as data.
        {"data packet claiming 7 bytes", {ten_header, packet({0x00, 7, 1, 2, 3, 4, 5, 6})},
         STATUS_INVALID_DEVICE_REQUEST, 3, 0xDEAD, {}},
        // No byte is stored past the room the caller gave.
        {"answer exactly the room", {packet({0x01, 0x03, 0x03, 0x08, 0x00}), p6, packet({0x00, 2, 0xA6, 0xA7})},
         STATUS_SUCCESS, 3, 8, counting(8, 0xA0), SCARD_PRESENT, 8},
        {"announced answer beyond the room", {ten_header, p6, p4}, STATUS_INVALID_DEVICE_REQUEST, 3, 8,
         counting(8, 0xA0), SCARD_PRESENT, 8},
        {"last packet beyond the room", {packet({0x01, 0x03, 0x03, 0x08, 0x00}), p6, p6b},
         STATUS_INVALID_DEVICE_REQUEST, 3, 8, counting(8, 0xA0), SCARD_PRESENT, 8},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(12);
        start_scripted(f);
        for (size_t i = 0; i < c.packets.size(); ++i) {
            if (i == 0) {
                f.reader.queue_reply_to_write(c.packets[i], from_ms(1));
            } else {
                f.reader.queue_packet_after(from_ms(1), c.packets[i]);
            }
        }
        const Outcome out = exchange(f, kTestCommand, {}, true, c.capacity);
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(out.kind, c.kind);
        EXPECT_EQ(out.length, c.length);
        if (c.length != 0xDEAD) {
            EXPECT_EQ(out.answer, c.answer);
        }
        EXPECT_TRUE(out.guard_intact) << "stored past the answer buffer";
        EXPECT_EQ(f.card_state(), c.state);
        EXPECT_GE(out.took, from_ms(c.at_least_ms));
        EXPECT_EQ(f.reader.script_steps_left(), 0u);
    }
}

// A first answer header without data ends the exchange: nothing more is read.
TEST(ExchangeAnswer, AnswerWithoutDataReadsNothingMore) {
    CardBench f(13);
    start_scripted(f);
    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    f.reader.queue_packet_after(from_ms(1), packet({0x00, 0x01, 0x77}));
    const size_t reads = f.in_reads;
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(f.in_reads - reads, 1u);
    f.settle(10);
    EXPECT_EQ(f.usb.in_backlog(0x81), 1u) << "the data packet after it is left on the pipe";
}

// An answer too long for the buffer is still read to its end, so that its packets do not end up as the answer to
// the next command.
TEST(ExchangeAnswer, AnAnswerTooLongIsReadToItsEnd) {
    CardBench f(14);
    start_scripted(f);
    f.reader.queue_reply_to_write(answer_header(3, 30), from_ms(1));
    for (const Packet& p : data_packets(counting(30))) f.reader.queue_packet_after(from_ms(1), p);
    const Outcome first = exchange(f, kTestCommand, {}, true, 8);
    EXPECT_EQ(first.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(first.guard_intact);
    EXPECT_EQ(first.answer, counting(8));

    f.reader.queue_reply_to_write(answer_header(3, 2), from_ms(1));
    f.reader.queue_packet_after(from_ms(1), packet({0x00, 0x02, 0x90, 0x00}));
    const Outcome second = exchange(f, kTestCommand, {}, true, 8);
    EXPECT_EQ(second.status, STATUS_SUCCESS);
    EXPECT_EQ(second.answer, (Bytes{0x90, 0x00}));
}

// ---- With the background read running ------------------------------------------------------------------------

TEST(ExchangeAwait, HeaderWithoutDataTakesTheAnswerFromTheBackgroundRead) {
    CardBench f(21);
    start_scripted(f);
    post_background_read(f);
    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    const size_t reads = f.in_reads;
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.kind, 5);
    EXPECT_EQ(f.in_reads - reads, 1u) << "no read of its own: only the background read posted again";
    EXPECT_NE(f.de->PollIrp, nullptr);
    EXPECT_TRUE(f.re->PollActive);
    EXPECT_FALSE(f.re->EventPacketReady);
}

// Only the last data packet waits for the answer: the reader answers once the command is complete, so waiting
// after any earlier packet would never end.
TEST(ExchangeAwait, OnlyTheLastDataPacketAwaitsTheAnswer) {
    CardBench f(22);
    f.start(std::make_shared<RecordingCard>());
    std::vector<Bytes> received;
    f.reader.set_handler(sim::PacketKind::header, kTestCommand, [&](sim::Reader& r, const sim::ReaderCommand& c) {
        received.push_back(c.data);
        r.send_answer(3, {0x61, 0x62, 0x63});
    });
    post_background_read(f);
    const size_t before = f.written_count();
    const size_t reads = f.in_reads;
    const Outcome out = exchange(f, kTestCommand, counting(7), true);
    EXPECT_EQ(out.status, STATUS_SUCCESS);
    EXPECT_EQ(out.answer, (Bytes{0x61, 0x62, 0x63}));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(f.written(before)[0].counts, (std::vector<size_t>{6, 1}));
    // The header came from the background read; the one data packet was read directly; then the read again.
    EXPECT_EQ(f.in_reads - reads, 2u);
    EXPECT_NE(f.de->PollIrp, nullptr);
}

// A command without an answer (vendor command 0x3F, say) is written and done, with or without data: the reader
// sends nothing back, so a wait for "its" packet would last until some unrelated packet came, if ever. The
// background read stays as it was; a packet it put aside before the command went out is no answer to anything
// sent from now on, and is dropped.
TEST(ExchangeAwait, CommandWithoutAnswerDoesNotWait) {
    for (size_t length : {size_t{0}, size_t{9}}) {
        SCOPED_TRACE(std::to_string(length) + " data bytes");
        CardBench f(24);
        start_scripted(f);
        post_background_read(f);
        f.re->EventPacketReady = TRUE;
        const size_t reads = f.in_reads;
        const Outcome out = exchange(f, kTestCommand, counting(length), false);
        EXPECT_EQ(out.status, STATUS_SUCCESS);
        EXPECT_LT(out.took, from_ms(100));
        EXPECT_EQ(f.in_reads, reads);
        EXPECT_FALSE(f.re->EventPacketReady) << "a packet from before the command is not taken for an answer";
        EXPECT_TRUE(f.re->PollActive) << "the background read stays as it was";
        EXPECT_NE(f.de->PollIrp, nullptr);
    }
}

TEST(ExchangeAwait, CancelledBackgroundReadAfterTheHeaderAbortsTheCommand) {
    CardBench f(25);
    start_scripted(f);
    post_background_read(f);
    f.k.spawn("stop", [&] {
        delay_ms(5);
        EXPECT_TRUE(CancelBackgroundRead(f.de));
    });
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_FALSE(f.reader.written().empty());
    EXPECT_EQ(f.reader.written().back().packet, kAbort);
    EXPECT_FALSE(f.re->PollCancelled);
    EXPECT_FALSE(f.de->ShutdownSignalled);
    EXPECT_EQ(f.de->PollIrp, nullptr) << "not posted again";
    EXPECT_EQ(out.kind, 0);
}

TEST(ExchangeAwait, BrokenOffWaitAfterTheLastDataPacketAbortsTheCommand) {
    for (const bool shutdown : {true, false}) {
        SCOPED_TRACE(shutdown ? "shutdown" : "background read cancelled");
        CardBench f(26);
        start_scripted(f);
        post_background_read(f);
        VirtualTime broken_off = 0;
        f.k.spawn("break off", [&] {
            delay_ms(100);
            broken_off = f.k.now();
            if (shutdown) {
                f.pnp.shutdown();
            } else {
                CancelBackgroundRead(f.de);
            }
        });
        const size_t before = f.written_count();
        const Outcome out = exchange(f, 0x42, counting(13), true);
        EXPECT_EQ(out.status, STATUS_NO_MEDIA);
        const auto commands = f.written(before);
        ASSERT_EQ(commands.size(), 2u);
        EXPECT_EQ(commands[0].counts, (std::vector<size_t>{6, 6, 1}));
        EXPECT_EQ(commands[1].header, kAbort);
        EXPECT_GE(f.reader.written().back().time, broken_off);
        EXPECT_FALSE(f.de->ShutdownSignalled);
        EXPECT_FALSE(f.re->PollCancelled);
    }
}

// ShutdownSignalled alone does not end an exchange whose header went out awaited: it reads the answer itself, and
// the wake-up is used up, so the next command is not ended by it. An answer that does not come within 10 s of
// that read gives the command up: the reader is told to drop it.
TEST(ExchangeAwait, ShutdownAfterAHeaderWithoutDataReadsOnAndUsesTheWakeUp) {
    CardBench f(27);
    start_scripted(f);
    post_background_read(f);
    f.k.spawn("shutdown", [&] {
        delay_ms(100);
        f.pnp.shutdown();
    });
    const size_t before = f.written_count();
    const size_t reads = f.in_reads;
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_INVALID_DEVICE_REQUEST) << "no answer came within 10 s of its own read";
    EXPECT_GE(out.took, from_ms(100 + 10'000));
    EXPECT_FALSE(f.de->ShutdownSignalled);
    const auto commands = f.written(before);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].header, kAbort) << "the command given up is aborted";
    EXPECT_GE(f.in_reads - reads, 1u);

    // A command with data after it is carried out, not ended as if the shutdown had broken its own wait off.
    post_background_read(f);
    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    const Outcome next = exchange(f, 0x42, counting(7), true);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.kind, 5);
}

TEST(ExchangeAwait, CardRequiredWithoutCardStopsBeforeTheData) {
    CardBench f(28);
    f.start();  // no card: CardPresent clear
    f.script();
    f.re->CardRequired = TRUE;
    ASSERT_FALSE(f.re->CardPresent);
    size_t before = f.written_count();
    Outcome out = exchange(f, kTestCommand, counting(7), true);
    EXPECT_EQ(out.status, STATUS_NO_MEDIA);
    auto commands = f.written(before);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].data_packets, 0u) << "the header alone went out";

    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_SUCCESS) << "a command without data is sent normally";
    EXPECT_EQ(out.kind, 5);
}

TEST(ExchangeAwait, FailedBackgroundReadEndsTheExchangeWithNoMedia) {
    CardBench f(29);
    start_scripted(f);
    f.run([&] {
        // The next transfer, the background read, fails at the bus when the reader's answer reaches it.
        f.k.set_fault(sim::FaultSite::bus_transfer, {.fail_nth = 1});
        EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING);
        f.k.clear_faults();
    }, "post a doomed read");
    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_NO_MEDIA);
    EXPECT_TRUE(f.re->ReadFailed);
    EXPECT_EQ(f.de->PollIrp, nullptr) << "not posted again";
    EXPECT_EQ(out.kind, 0);

    // The failure was reported to the exchange it concerned; the next one tries the reader again.
    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    const Outcome next = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.kind, 5);
    EXPECT_FALSE(f.re->ReadFailed);
}

// An answer that comes after its command was given up (no first answer within 10 s) is not taken for the answer
// to the next command: the reader is told to drop the command, and what it sent meanwhile is read and dropped.
TEST(ExchangeAnswer, LateAnswerOfACommandGivenUpIsNotTheNextOnesAnswer) {
    CardBench f(15);
    start_scripted(f);
    const VirtualTime begin = f.k.now();
    f.reader.queue_packet_at(begin + from_ms(10'030), answer_header(3, 2));
    f.reader.queue_packet_after(from_ms(1), packet({0x00, 0x02, 0x6A, 0x82}));
    const size_t before = f.written_count();
    const Outcome given_up = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(given_up.status, STATUS_INVALID_DEVICE_REQUEST);
    const auto commands = f.written(before);
    ASSERT_EQ(commands.size(), 2u);
    EXPECT_EQ(commands[1].header, kAbort);

    f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
    const Outcome next = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.kind, 5) << "the late answer (kind 3, 6A 82) was taken for this one";
    EXPECT_EQ(next.length, 0u);
}

TEST(ExchangeAwait, ReadFailedDuringADataReadGivesNoMedia) {
    CardBench f(30);
    start_scripted(f);
    f.reader.queue_reply_to_write(packet({0x01, 0x03, 0x03, 0x0A, 0x00}), from_ms(1));
    f.k.spawn("read fails", [&] {
        delay_ms(1000);
        f.re->ReadFailed = TRUE;
    });
    const Outcome out = exchange(f, kTestCommand, {}, true);
    EXPECT_EQ(out.status, STATUS_NO_MEDIA) << "not STATUS_IO_TIMEOUT";
    EXPECT_GE(out.took, from_ms(50'000));
}

// A packet that does not reach the reader (its request cannot be built, or the bus driver fails it) ends the
// exchange at once with that status: the answer it would wait for, without limit on the awaited paths, never
// comes. Once part of the command has gone out, the reader is told to drop it.
TEST(ExchangeAwait, WriteThatDoesNotReachTheReaderEndsTheExchange) {
    struct Case {
        const char* name;
        bool read_posted;     // the background read runs, so a header without data goes out awaited
        size_t data;          // bytes of command data
        sim::FaultSite site;
        uint64_t nth;         // which call of the site fails
        NTSTATUS status;
        bool abort;
    };
    // Pool calls per write: URB, context. Bus calls: one per transfer, the background read's post included.
    const Case cases[] = {
        {"awaited header, no URB", true, 0, sim::FaultSite::pool, 1, STATUS_INSUFFICIENT_RESOURCES, false},
        {"plain header, no URB", false, 7, sim::FaultSite::pool, 1, STATUS_INSUFFICIENT_RESOURCES, false},
        {"plain header, bus fails it", false, 7, sim::FaultSite::bus_transfer, 1, STATUS_UNSUCCESSFUL, false},
        {"first data packet, no URB", false, 13, sim::FaultSite::pool, 3, STATUS_INSUFFICIENT_RESOURCES, true},
        {"first data packet, bus fails it", false, 13, sim::FaultSite::bus_transfer, 2, STATUS_UNSUCCESSFUL, true},
        {"awaited last data packet, bus fails it", false, 7, sim::FaultSite::bus_transfer, 4, STATUS_UNSUCCESSFUL,
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CardBench f(31);
        start_scripted(f);
        if (c.read_posted) {
            // Marked as posted with no read behind it, so that the header's write-and-await posts none and only
            // its own write can fail.
            f.re->PollActive = TRUE;
        }
        // An answer the reader would give if it had the command; it must not be read.
        f.reader.queue_reply_to_write(packet({0x01, 0x01, 0x05}), from_ms(1));
        const size_t before = f.written_count();
        const Bytes data = counting(c.data);
        Outcome out;
        std::vector<UCHAR> buffer(16);
        f.run([&] {
            UCHAR header[8] = {0x01, 0x03, kTestCommand, 0, 0, 0, 0, 0};
            f.k.set_fault(c.site, {.fail_nth = c.nth});
            const VirtualTime begin = f.k.now();
            out.status = ExchangeReaderCommand(f.sc, header, data.empty() ? nullptr : data.data(),
                                               static_cast<ULONG>(data.size()), &out.kind, buffer.data(), 16,
                                               &out.length);
            out.took = f.k.now() - begin;
            f.k.clear_faults();
        }, "exchange");
        EXPECT_EQ(out.status, c.status);
        EXPECT_EQ(f.k.faults_injected(), 1u);
        EXPECT_EQ(out.kind, 0) << "no answer was read";
        EXPECT_LT(out.took, from_ms(100)) << "no wait for an answer that cannot come";
        const bool aborted = f.written_count() > before && f.reader.written().back().packet == kAbort;
        EXPECT_EQ(aborted, c.abort);
    }
}

TEST(ExchangeAwait, CardPulledMidCommand) {
    CardBench f(32);
    f.start(std::make_shared<RecordingCard>());
    f.reader.set_handler(sim::PacketKind::header, kTestCommand,
                         [](sim::Reader& r, const sim::ReaderCommand&) { r.remove_card(); });
    auto tracking = f.track(IOCTL_SMARTCARD_IS_ABSENT);
    ASSERT_FALSE(tracking->done());
    ASSERT_TRUE(f.re->PollActive);
    const Outcome out = exchange(f, kTestCommand, counting(5), true);
    EXPECT_EQ(out.status, STATUS_NO_MEDIA);
    EXPECT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    EXPECT_TRUE(tracking->done());
    EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
    EXPECT_EQ(f.de->PollIrp, nullptr) << "left for the next tracking request to post";
    EXPECT_FALSE(f.re->PollActive);
}

}  // namespace
}  // namespace qward::card_test
