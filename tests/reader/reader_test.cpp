// The simulated reader behind the USB endpoints: card status answered and sent unasked, the command table, answer delays and withholding, refused writes, and the scripted mode.
#include <gtest/gtest.h>

#include <functional>

#include "platform/usb/usb_test_support.h"
#include "reader/reader.h"

namespace sim {
namespace {

using test::Submission;
using test::UrbClient;

class TestCard : public Card {
   public:
    Bytes reset(bool) override { return {0x3B, 0x00}; }
    void power_off() override { ++power_offs; }
    Bytes transmit(const Bytes&) override { return {0x90, 0x00}; }
    int power_offs = 0;
};

// A reader on a bus, and a driver thread that reaches it through the reader's two pipes.
struct ReaderBench {
    explicit ReaderBench(uint64_t seed = 1) : k(seed), usb(k), pdo(k, usb), reader(k, usb) {}

    void run(const std::function<void()>& body) {
        RunOutcome outcome = k.run_thread("driver", [&] {
            UrbClient c(pdo.device());
            client = &c;
            configuration = usb.description().configuration_descriptor();
            test::Selection selection = test::select_all(c, configuration);
            in = selection.pipe_for(0x81);
            out = selection.pipe_for(0x02);
            body();
            client = nullptr;
        });
        EXPECT_EQ(outcome, RunOutcome::completed) << k.bug_check_report() << k.scheduler().deadlock_report();
    }

    // One packet out; true when the reader took it within the time-out.
    bool write(Packet packet, int64_t timeout_ms = -1) {
        auto urb = test::transfer_urb(out, packet.data(), static_cast<ULONG>(packet.size()), false);
        auto submission = client->start(urb->get());
        if (!client->wait(*submission, timeout_ms)) client->cancel(*submission);
        return submission->status == STATUS_SUCCESS;
    }

    struct Read {
        NTSTATUS status = STATUS_PENDING;
        USBD_STATUS usbd_status = USBD_STATUS_PENDING;
        Packet packet;  // what arrived, TransferBufferLength bytes
        VirtualTime at = -1;
    };
    // One 8-byte read; a read that times out is cancelled.
    Read read(int64_t timeout_ms = -1) {
        Packet buffer(8);
        auto urb = test::transfer_urb(in, buffer.data(), 8, true);
        auto submission = client->start(urb->get());
        if (!client->wait(*submission, timeout_ms)) client->cancel(*submission);
        Read result;
        result.status = submission->status;
        result.usbd_status = urb->get()->UrbHeader.Status;
        buffer.resize(urb->get()->UrbBulkOrInterruptTransfer.TransferBufferLength);
        result.packet = buffer;
        result.at = submission->completed_at;
        return result;
    }

    Kernel k;
    UsbDevice usb;
    test::TestPdo pdo;
    Reader reader;
    UrbClient* client = nullptr;
    Packet configuration;
    USBD_PIPE_HANDLE in = nullptr;
    USBD_PIPE_HANDLE out = nullptr;
};

const Packet kStatusRequest = reader_packet({0x02, 0x09});
const Packet kCardPresent = reader_packet({0x02, 0x81, 0x01});
const Packet kNoCard = reader_packet({0x02, 0x81, 0x00});

TEST(ReaderCardStatus, AnswersRequestsAndReportsInsertionAndRemoval) {
    ReaderBench bench;
    auto card = std::make_shared<TestCard>();
    std::vector<Packet> seen;
    std::vector<VirtualTime> times;
    bench.run([&] {
        EXPECT_TRUE(bench.write(kStatusRequest));
        auto answer = bench.read();
        seen.push_back(answer.packet);
        times.push_back(answer.at);

        LARGE_INTEGER delay{};
        delay.QuadPart = -from_ms(30);
        VirtualTime inserted_at = bench.k.now();
        bench.reader.insert_card(card);  // unasked, with nobody reading yet
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(bench.usb.in_backlog(0x81), 1u) << "the status waits on the IN endpoint";
        ASSERT_EQ(bench.reader.sent().size(), 2u);
        EXPECT_EQ(bench.reader.sent()[1].time, inserted_at);
        seen.push_back(bench.read().packet);

        EXPECT_TRUE(bench.write(kStatusRequest));
        seen.push_back(bench.read().packet);

        // A read already waiting takes the removal as it happens.
        Packet buffer(8);
        auto urb = test::transfer_urb(bench.in, buffer.data(), 8, true);
        auto pending = bench.client->start(urb->get());
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        VirtualTime removed_at = bench.k.now();
        bench.reader.remove_card();
        bench.client->wait(*pending);
        seen.push_back(buffer);
        times.push_back(pending->completed_at - removed_at);
    });
    EXPECT_EQ(seen, (std::vector<Packet>{kNoCard, kCardPresent, kCardPresent, kNoCard}));
    EXPECT_EQ(times[0], from_ms(2)) << "request out in frame 1, answer in frame 2";
    EXPECT_EQ(times[1], from_ms(1));
    EXPECT_EQ(card->power_offs, 1);
    EXPECT_TRUE(bench.reader.unhandled().empty());
    EXPECT_EQ(bench.reader.written().size(), 2u);
    test::expect_clean(bench.k);
}

TEST(ReaderCommandTable, AssemblesCommandDataAndFramesAnswers) {
    ReaderBench bench;
    std::vector<ReaderCommand> received;
    // A stand-in for the APDU command the card services will add: answers with the data reversed.
    bench.reader.set_handler(PacketKind::header, 0x21, [&](Reader& reader, const ReaderCommand& command) {
        received.push_back(command);
        reader.send_answer(3, std::vector<uint8_t>(command.data.rbegin(), command.data.rend()));
    });
    std::vector<Packet> answer;
    bench.run([&] {
        EXPECT_TRUE(bench.write(reader_packet({0x01, 0x04, 0x21, 13, 0, 4})));
        EXPECT_TRUE(bench.write(reader_packet({0x00, 6, 1, 2, 3, 4, 5, 6})));
        EXPECT_TRUE(bench.write(reader_packet({0x00, 6, 7, 8, 9, 10, 11, 12})));
        EXPECT_TRUE(bench.write(reader_packet({0x00, 1, 13, 0xEE, 0xEE})));
        for (int i = 0; i < 4; ++i) answer.push_back(bench.read().packet);
        // Data beyond the announced length is not part of the command.
        EXPECT_TRUE(bench.write(reader_packet({0x01, 0x04, 0x21, 3, 0, 2})));
        EXPECT_TRUE(bench.write(reader_packet({0x00, 6, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6})));
        for (int i = 0; i < 2; ++i) bench.read();
        // A command nobody handles, and data outside any command, get no answer.
        EXPECT_TRUE(bench.write(reader_packet({0x01, 0x03, 0x55, 0, 0})));
        EXPECT_TRUE(bench.write(reader_packet({0x00, 2, 1, 2})));
        EXPECT_EQ(bench.read(50).status, STATUS_CANCELLED);
    });
    ASSERT_EQ(received.size(), 2u);
    EXPECT_EQ(received[0].data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    EXPECT_EQ(received[1].data, (std::vector<uint8_t>{0xA1, 0xA2, 0xA3}));
    EXPECT_EQ(received[0].header[5], 4);
    EXPECT_EQ(answer, (std::vector<Packet>{reader_packet({0x01, 3, 3, 13, 0}),
                                           reader_packet({0x00, 6, 13, 12, 11, 10, 9, 8}),
                                           reader_packet({0x00, 6, 7, 6, 5, 4, 3, 2}), reader_packet({0x00, 1, 1})}));
    ASSERT_EQ(bench.reader.unhandled().size(), 2u);
    EXPECT_EQ(bench.reader.unhandled()[0].code, 0x55);
    EXPECT_EQ(bench.reader.unhandled()[1].kind, PacketKind::data);
    test::expect_clean(bench.k);
}

TEST(ReaderDisturbances, WithheldLateAndRefused) {
    ReaderBench bench;
    bench.run([&] {
        bench.reader.withhold_answers(1);
        EXPECT_TRUE(bench.write(kStatusRequest));
        EXPECT_EQ(bench.read(100).status, STATUS_CANCELLED) << "the first answer is withheld";
        EXPECT_TRUE(bench.write(kStatusRequest));
        EXPECT_EQ(bench.read(100).packet, kNoCard);

        bench.reader.set_answer_delay(from_ms(40));
        EXPECT_TRUE(bench.write(kStatusRequest));
        VirtualTime arrived = bench.k.now();
        auto late = bench.read();
        EXPECT_EQ(late.packet, kNoCard);
        EXPECT_EQ(late.at - arrived, from_ms(41));
        bench.reader.set_answer_delay(0);

        bench.reader.refuse_writes(true);
        EXPECT_FALSE(bench.write(kStatusRequest, 1'000)) << "a refused write never completes";
        bench.reader.refuse_writes(false);
        EXPECT_TRUE(bench.write(kStatusRequest, 1'000));
        EXPECT_EQ(bench.read(100).packet, kNoCard);
    });
    EXPECT_EQ(bench.reader.withheld(), 1);
    EXPECT_EQ(bench.reader.written().size(), 4u) << "the refused packet never reached the reader";
    test::expect_clean(bench.k);
}

TEST(ReaderScript, SendsExactlyWhatIsQueuedAtItsTimes) {
    ReaderBench bench;
    bench.reader.set_mode(Reader::Mode::scripted);
    const Packet first = reader_packet({0x01, 3, 5, 0, 0});
    const Packet at_50 = reader_packet({0x00, 2, 0xAA, 0xBB});
    const Packet short_packet = {0x02, 0x81, 0x01, 0x00, 0x00};
    const Packet unknown_kind = reader_packet({0x07, 0x01});
    const Packet long_packet = {0x00, 6, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    bench.reader.queue_packet(first);
    bench.reader.queue_packet_at(from_ms(50), at_50);
    bench.reader.queue_packet_after(from_ms(10), short_packet);
    bench.reader.queue_reply_to_write(unknown_kind, from_ms(5));
    bench.reader.queue_reply_to_write(long_packet);
    std::vector<ReaderBench::Read> reads;
    std::vector<VirtualTime> writes;
    bench.run([&] {
        bench.reader.insert_card(std::make_shared<TestCard>());  // scripted: no card status
        for (int i = 0; i < 3; ++i) reads.push_back(bench.read());
        EXPECT_TRUE(bench.write(kStatusRequest));  // answered only by the script
        writes.push_back(bench.k.now());
        reads.push_back(bench.read());
        EXPECT_TRUE(bench.write(reader_packet({0x02, 0x0B})));
        writes.push_back(bench.k.now());
        reads.push_back(bench.read());
        EXPECT_EQ(bench.read(100).status, STATUS_CANCELLED) << "nothing beyond the script";
    });
    ASSERT_EQ(reads.size(), 5u);
    EXPECT_EQ(reads[0].packet, first);
    EXPECT_EQ(reads[0].at, from_ms(1));
    EXPECT_EQ(reads[1].packet, at_50);
    EXPECT_EQ(reads[1].at, from_ms(51));
    EXPECT_EQ(reads[2].packet, short_packet) << "a short packet arrives as it is";
    EXPECT_EQ(reads[2].status, STATUS_SUCCESS);
    EXPECT_EQ(reads[2].at, from_ms(61));
    EXPECT_EQ(reads[3].packet, unknown_kind);
    EXPECT_EQ(reads[3].at, writes[0] + from_ms(5) + from_ms(1));
    EXPECT_EQ(reads[4].packet, Packet(long_packet.begin(), long_packet.begin() + 8));
    EXPECT_EQ(reads[4].status, STATUS_UNSUCCESSFUL) << "longer than the 8-byte read";
    EXPECT_EQ(reads[4].usbd_status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(reads[4].at, writes[1] + from_ms(1));
    ASSERT_EQ(bench.reader.written().size(), 2u);
    EXPECT_EQ(bench.reader.written()[0].packet, kStatusRequest);
    EXPECT_EQ(bench.reader.written()[0].time, writes[0]);
    EXPECT_EQ(bench.reader.script_steps_left(), 0u);
    EXPECT_TRUE(bench.reader.unhandled().empty()) << "scripted mode leaves requests alone";
    test::expect_clean(bench.k);
}

TEST(ReaderUnplug, DropsWhatItWasAboutToSend) {
    ReaderBench bench;
    bench.reader.set_answer_delay(from_ms(20));
    bench.run([&] {
        EXPECT_TRUE(bench.write(kStatusRequest));
        bench.usb.on_unplugged();
        auto read = bench.read(100);
        EXPECT_EQ(read.status, STATUS_DEVICE_NOT_CONNECTED);
        LARGE_INTEGER delay{};
        delay.QuadPart = -from_ms(50);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
    });
    EXPECT_TRUE(bench.reader.sent().empty());
    test::expect_clean(bench.k);
}

}  // namespace
}  // namespace sim
