// The packet channel: time-outs, late completions of timed-out requests, bus failures, and write-and-await with the background read.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "reader_fixture.h"

namespace qward::test {
namespace {

using sim::from_ms;
using sim::VirtualTime;

const Bytes8 kStatusRequest = {0x02, 0x09, 0, 0, 0, 0, 0, 0};

void delay_ms(int64_t ms) {
    LARGE_INTEGER interval;
    interval.QuadPart = -ms * 10000;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

sim::Packet to_packet(const Bytes8& bytes) { return sim::Packet(bytes.begin(), bytes.end()); }

TEST(Channel, WriteReachesTheReaderAndReadReturnsItsAnswer) {
    ReaderFixture f(21);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    Bytes8 answer{};
    f.run([&] {
        Bytes8 request = kStatusRequest;
        EXPECT_EQ(WritePacket(f.sc, request.data(), 1000), STATUS_SUCCESS);
        EXPECT_EQ(ReadPacket(f.sc, answer.data(), 1000), STATUS_SUCCESS);
    });
    ASSERT_EQ(f.reader.written().size(), 1u);
    EXPECT_EQ(f.reader.written()[0].packet, to_packet(kStatusRequest));
    // The reader's firmware answers the card-status request; its slot is empty.
    EXPECT_EQ(answer, (Bytes8{0x02, 0x81, 0x00, 0, 0, 0, 0, 0}));
}

TEST(Channel, WriteWithTimeout0WaitsAsLongAsTheBusTakes) {
    ReaderFixture f(22);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.reader.refuse_writes(true);
    NTSTATUS status = STATUS_PENDING;
    VirtualTime returned = 0;
    f.k.spawn("reader takes writes again", [&] {
        delay_ms(70'000);
        f.reader.refuse_writes(false);
    });
    f.run([&] {
        Bytes8 request = kStatusRequest;
        status = WritePacket(f.sc, request.data(), 0);
        returned = f.k.now();
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_GE(returned, from_ms(70'000));
    ASSERT_EQ(f.reader.written().size(), 1u);
}

TEST(Channel, TimeoutsCountByTheirAbsoluteValue) {
    struct Case {
        bool write;
        LONG timeout;
    };
    const Case cases[] = {{true, 1000}, {true, -1000}, {false, 1000}, {false, -1000}, {false, 10'000}};
    for (const Case& c : cases) {
        ReaderFixture f(23);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        f.reader.refuse_writes(true);
        NTSTATUS status = STATUS_PENDING;
        VirtualTime took = 0;
        Bytes8 buffer;
        buffer.fill(0x5C);
        f.run([&] {
            const VirtualTime begin = f.k.now();
            status = c.write ? WritePacket(f.sc, buffer.data(), c.timeout) : ReadPacket(f.sc, buffer.data(), c.timeout);
            took = f.k.now() - begin;
        });
        const int64_t expected = c.timeout < 0 ? -c.timeout : c.timeout;
        EXPECT_EQ(status, STATUS_TIMEOUT) << (c.write ? "write " : "read ") << c.timeout;
        EXPECT_GE(took, from_ms(expected)) << c.timeout;
        EXPECT_LT(took, from_ms(expected + 2)) << c.timeout;
        Bytes8 untouched;
        untouched.fill(0x5C);
        EXPECT_EQ(buffer, untouched);
        // The request that timed out is gone from the bus.
        EXPECT_EQ(f.usb.queued_transfers(c.write ? 0x02 : 0x81), 0u);
    }
}

TEST(Channel, ReadWithTimeout0) {
    ReaderFixture f(24);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    Bytes8 first;
    first.fill(0x11);
    Bytes8 second{};
    NTSTATUS status = STATUS_PENDING;
    VirtualTime took = -1;
    f.run([&] {
        const VirtualTime begin = f.k.now();
        status = ReadPacket(f.sc, first.data(), 0);
        took = f.k.now() - begin;
    });
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(took, 0);
    Bytes8 untouched;
    untouched.fill(0x11);
    EXPECT_EQ(first, untouched);
    EXPECT_EQ(f.queued_reads(), 0u) << "the zero-time read must not stay queued and take a later packet";

    const Bytes8 later = {0x00, 0x01, 0x42, 0, 0, 0, 0, 0};
    f.reader.queue_packet(to_packet(later));
    f.settle(5);
    EXPECT_EQ(first, untouched);
    f.run([&] { status = ReadPacket(f.sc, second.data(), 1000); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(second, later);
}

// A transfer that the bus driver fails comes back with the bus driver's status, and a read that moved nothing
// leaves the caller's buffer as it was (so its old contents are never taken for a packet).
TEST(Channel, TransfersThatTheBusFailsReturnTheBusStatus) {
    for (bool write : {true, false}) {
        ReaderFixture f(25);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        f.reader.queue_packet(ReaderFixture::packet({0x00, 0x01, 0x99}));
        Bytes8 buffer;
        buffer.fill(0x33);
        const Bytes8 before = buffer;
        NTSTATUS status = STATUS_PENDING;
        f.run([&] {
            f.k.set_fault(sim::FaultSite::bus_transfer, {.fail_nth = 1});
            status = write ? WritePacket(f.sc, buffer.data(), 1000) : ReadPacket(f.sc, buffer.data(), 1000);
            f.k.clear_faults();
        });
        EXPECT_EQ(f.k.faults_injected(), 1u);
        EXPECT_EQ(status, STATUS_UNSUCCESSFUL) << (write ? "write" : "read");
        EXPECT_EQ(buffer, before) << (write ? "write" : "read");
        EXPECT_TRUE(f.reader.written().empty()) << "the failed transfer moved nothing";
    }
}

// A request that cannot be built is refused with nothing sent and nothing left allocated (the fixture's removal
// checks the pool), and a write gives WriteMutex back, so the next write goes through.
TEST(Channel, RequestThatCannotBeBuiltIsRefused) {
    struct Fault {
        const char* name;
        sim::FaultSite site;
        uint64_t nth;
    };
    const Fault faults[] = {{"URB", sim::FaultSite::pool, 1}, {"IRP", sim::FaultSite::irp, 1}, {"context", sim::FaultSite::pool, 2}};
    for (bool write : {true, false}) {
        for (const Fault& fault : faults) {
            ReaderFixture f(29);
            ASSERT_EQ(f.start(), STATUS_SUCCESS);
            f.script();
            const size_t before = f.submissions.size();
            NTSTATUS failed = STATUS_PENDING, next = STATUS_PENDING;
            f.run([&] {
                Bytes8 packet = kStatusRequest;
                f.k.set_fault(fault.site, {.fail_nth = fault.nth});
                failed = write ? WritePacket(f.sc, packet.data(), 1000) : ReadPacket(f.sc, packet.data(), 0);
                f.k.clear_faults();
            });
            // From another thread: a mutex still owned by the first would hold this write up for ever.
            f.run([&] {
                Bytes8 packet = kStatusRequest;
                next = WritePacket(f.sc, packet.data(), 1000);
            });
            EXPECT_EQ(failed, STATUS_INSUFFICIENT_RESOURCES) << (write ? "write, " : "read, ") << fault.name;
            EXPECT_EQ(next, STATUS_SUCCESS) << (write ? "write, " : "read, ") << fault.name;
            EXPECT_EQ(f.submissions.size(), before + 1) << (write ? "write, " : "read, ") << fault.name;
        }
    }
}

// A write that timed out must not satisfy the wait of the next write: the next write returns only once its own
// packet has gone out, and the abandoned packet never reaches the reader.
TEST(Channel, TimedOutWriteNeitherEndsTheNextWaitNorGoesOutLater) {
    ReaderFixture f(27);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    f.reader.refuse_writes(true);
    const Bytes8 abandoned = {0x01, 0x03, 0x17, 0, 0, 0, 0, 0};
    const Bytes8 next = {0x01, 0x03, 0x02, 0, 0, 0, 0, 0};
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    size_t on_wire = 0, on_wire_at_return = 0;
    f.observe([&](const sim::BusEvent& event) {
        if (event.kind == sim::BusEventKind::packet && event.endpoint == 0x02) ++on_wire;
    });
    f.run([&] {
        Bytes8 packet = abandoned;
        first = WritePacket(f.sc, packet.data(), 1000);
    });
    EXPECT_EQ(first, STATUS_TIMEOUT);
    EXPECT_EQ(f.usb.queued_transfers(0x02), 0u);
    f.reader.refuse_writes(false);
    f.run([&] {
        Bytes8 packet = next;
        second = WritePacket(f.sc, packet.data(), 1000);
        on_wire_at_return = on_wire;
    });
    EXPECT_EQ(second, STATUS_SUCCESS);
    f.settle(10);
    ASSERT_EQ(f.reader.written().size(), 1u);
    EXPECT_EQ(f.reader.written()[0].packet, to_packet(next));
    EXPECT_EQ(on_wire_at_return, 1u) << "the second write returned before its packet went out";
    EXPECT_EQ(on_wire, 1u);
}

// A read that timed out must not store into its caller's buffer afterwards, nor take the packet that the next
// read is waiting for.
TEST(Channel, TimedOutReadNeverStoresLaterAndLeavesTheNextPacketToTheNextRead) {
    ReaderFixture f(28);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    auto abandoned = std::make_unique<Bytes8>();
    abandoned->fill(0xAB);
    Bytes8 next{};
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    f.run([&] { first = ReadPacket(f.sc, abandoned->data(), 1000); });
    EXPECT_EQ(first, STATUS_TIMEOUT);
    const Bytes8 packet = {0x01, 0x02, 0x03, 0x04, 0, 0, 0, 0};
    f.reader.queue_packet(to_packet(packet));
    f.settle(10);
    f.run([&] { second = ReadPacket(f.sc, next.data(), 1000); });
    Bytes8 untouched;
    untouched.fill(0xAB);
    EXPECT_EQ(*abandoned, untouched);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_EQ(next, packet);
}

// A packet that arrives just as the read's time-out runs out: under every interleaving the result and the
// buffer agree (success with the packet, or a time-out with the buffer untouched), and nothing is freed twice.
TEST(Channel, ReadTimeoutRacingThePacketAgreesWithTheBuffer) {
    int successes = 0, timeouts = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        ReaderFixture f(seed);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        f.usb.set_timing(sim::BusTiming::fast);
        const Bytes8 packet = {0x00, 0x03, 0x0A, 0x0B, 0x0C, 0, 0, 0};
        Bytes8 buffer;
        buffer.fill(0xEE);
        NTSTATUS status = STATUS_PENDING;
        f.reader.queue_packet_at(f.k.now() + from_ms(1000), to_packet(packet));
        f.run([&] { status = ReadPacket(f.sc, buffer.data(), 1000); });
        Bytes8 untouched;
        untouched.fill(0xEE);
        if (status == STATUS_SUCCESS) {
            ++successes;
            EXPECT_EQ(buffer, packet) << "seed " << seed;
        } else {
            ++timeouts;
            EXPECT_EQ(status, STATUS_TIMEOUT) << "seed " << seed;
            EXPECT_EQ(buffer, untouched) << "seed " << seed;
        }
        f.settle(5);
        EXPECT_EQ(f.queued_reads(), 0u) << "seed " << seed;
        f.finish();
        ASSERT_FALSE(f.k.bug_checked()) << "seed " << seed << "\n" << f.k.bug_check_report();
    }
    std::printf("read racing its time-out over 200 seeds: %d delivered, %d timed out\n", successes, timeouts);
}

// ---- Write and await ----------------------------------------------------------------------------------------

TEST(WriteAndAwait, PostsTheBackgroundReadOnlyWhenNoneIsPosted) {
    for (bool posted_before : {false, true}) {
        ReaderFixture f(31);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        if (posted_before) f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); });
        const Bytes8 answer = {0x01, 0x01, 0x05, 0, 0, 0, 0, 0};
        f.reader.queue_reply_to_write(to_packet(answer), from_ms(3));
        NTSTATUS status = STATUS_PENDING;
        f.run([&] {
            Bytes8 header = {0x01, 0x03, 0x02, 0, 0, 0, 0, 0};
            status = WritePacketAndAwait(f.sc, header.data(), 0);
        });
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(f.count_submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81), 1u)
            << (posted_before ? "posted before" : "not posted before");
        EXPECT_TRUE(f.re->EventPacketReady);
        EXPECT_EQ(Bytes8(std::to_array(f.re->EventPacket)), answer);
        EXPECT_EQ(f.re->ResponseEvent, nullptr);
    }
}

TEST(WriteAndAwait, WithdrawsItsEventOnEveryPath) {
    enum class Disturbance { none, no_answer, write_allocation_fails, post_fails, read_overruns };
    struct Case {
        const char* name;
        Disturbance disturbance;
        ULONG timeout;
        NTSTATUS expected;
        int64_t min_ms, max_ms;  // how long the call took
        bool packet_ready;
    };
    const Case cases[] = {
        {"answer arrives", Disturbance::none, 0, STATUS_SUCCESS, 0, 10, true},
        {"no answer within 50 s", Disturbance::no_answer, 50'000, STATUS_TIMEOUT, 50'000, 50'002, false},
        {"write cannot be built", Disturbance::write_allocation_fails, 0, STATUS_INSUFFICIENT_RESOURCES, 0, 0, false},
        // Woken at once without a packet: the caller reads the answer itself.
        {"read cannot be posted", Disturbance::post_fails, 0, STATUS_SUCCESS, 0, 10, false},
        {"read fails", Disturbance::read_overruns, 0, STATUS_SUCCESS, 0, 10, false},
    };
    for (const Case& c : cases) {
        ReaderFixture f(32);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        if (c.disturbance == Disturbance::none) {
            f.reader.queue_reply_to_write(ReaderFixture::packet({0x01, 0x01, 0x05}), from_ms(2));
        } else if (c.disturbance == Disturbance::read_overruns) {
            f.reader.queue_reply_to_write(sim::Packet(9, 0x01), from_ms(2));
        }
        NTSTATUS status = STATUS_PENDING;
        VirtualTime took = -1;
        f.run([&] {
            // The background read's URB is the first allocation, the write's URB the first after it.
            if (c.disturbance == Disturbance::post_fails) f.k.set_fault(sim::FaultSite::pool, {.fail_nth = 1});
            if (c.disturbance == Disturbance::write_allocation_fails) f.k.set_fault(sim::FaultSite::pool, {.fail_nth = 3});
            Bytes8 header = {0x01, 0x03, 0x02, 0, 0, 0, 0, 0};
            const VirtualTime begin = f.k.now();
            status = WritePacketAndAwait(f.sc, header.data(), c.timeout);
            took = f.k.now() - begin;
            f.k.clear_faults();
        });
        EXPECT_EQ(status, c.expected) << c.name;
        EXPECT_EQ(f.re->ResponseEvent, nullptr) << c.name;
        EXPECT_GE(took, from_ms(c.min_ms)) << c.name;
        EXPECT_LE(took, from_ms(c.max_ms)) << c.name;
        EXPECT_EQ(bool(f.re->EventPacketReady), c.packet_ready) << c.name;
        if (c.disturbance == Disturbance::post_fails) {
            EXPECT_FALSE(f.re->PollActive) << c.name;
            EXPECT_EQ(f.de->PollIrp, nullptr) << c.name;
            EXPECT_EQ(f.reader.written().size(), 1u) << c.name << ": the packet still goes out";
        }
        if (c.disturbance == Disturbance::read_overruns) {
            EXPECT_TRUE(f.re->ReadFailed) << c.name;
        }
    }
}

// A post that fails leaves PollActive clear, so the next write-and-await posts a read of its own and is woken by
// it rather than waiting, without limit, for a read that was never sent.
TEST(WriteAndAwait, AfterAFailedPostTheNextCallPostsAgain) {
    ReaderFixture f(33);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    f.run([&] {
        f.k.set_fault(sim::FaultSite::pool, {.fail_nth = 1});
        EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_INSUFFICIENT_RESOURCES);
        f.k.clear_faults();
    });
    f.reader.queue_reply_to_write(ReaderFixture::packet({0x01, 0x01, 0x05}), from_ms(2));
    NTSTATUS status = STATUS_PENDING;
    f.run([&] {
        Bytes8 header = {0x01, 0x03, 0x02, 0, 0, 0, 0, 0};
        status = WritePacketAndAwait(f.sc, header.data(), 0);
    });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_TRUE(f.re->EventPacketReady);
}

}  // namespace
}  // namespace qward::test
