// Tests of the vicc card against a scripted card emulator on a loopback socket: the frames each card operation sends, the answers it takes, a silent or vanished emulator, and insertion and removal through the listener and the reader's slot.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel.h"
#include "platform/usb/usb_device.h"
#include "reader/reader.h"
#include "reader/vicc_card.h"
#include "reader/vicc_card/emulator.h"

namespace {

using sim::Bytes;
using namespace std::chrono_literals;

using Emulator = sim::test::ViccEmulator;
using sim::test::connect_to;

// A card on one end of a socket pair and the emulator on the other.
struct Pair {
    explicit Pair(std::chrono::milliseconds timeout = 2s) {
        int fds[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        card = std::make_unique<sim::ViccCard>(fds[0], timeout);
        emulator = std::make_unique<Emulator>(fds[1]);
    }
    std::unique_ptr<sim::ViccCard> card;
    std::unique_ptr<Emulator> emulator;
};

const Bytes kAtr = {0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B};

TEST(ViccCard, EachOperationSendsItsFramesAndTakesTheAnswer) {
    struct Row {
        const char* what;
        std::function<Bytes(sim::ViccCard&)> call;
        std::vector<Bytes> frames;  // what the emulator must receive
        Bytes answer;               // what it answers (nothing when empty)
        Bytes expected;             // what the call returns
    };
    const Bytes select = {0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00};
    const Bytes long_response = [] {
        Bytes r(300, 0x5A);
        r.push_back(0x90);
        r.push_back(0x00);
        return r;
    }();
    std::vector<Row> rows = {
        {"cold reset", [](sim::ViccCard& c) { return c.reset(false); }, {{0x01}, {0x04}}, kAtr, kAtr},
        {"warm reset", [](sim::ViccCard& c) { return c.reset(true); }, {{0x02}, {0x04}}, kAtr, kAtr},
        {"power off", [](sim::ViccCard& c) { c.power_off(); return Bytes{}; }, {{0x00}}, {}, {}},
        {"apdu", [&](sim::ViccCard& c) { return c.transmit(select); }, {select}, {0x90, 0x00}, {0x90, 0x00}},
        {"long answer", [&](sim::ViccCard& c) { return c.transmit({0x00, 0xB0, 0x00, 0x00, 0x00}); },
         {{0x00, 0xB0, 0x00, 0x00, 0x00}}, long_response, long_response},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        Pair pair;
        std::thread emulator([&] {
            for (const Bytes& frame : row.frames) EXPECT_EQ(pair.emulator->frame(), frame);
            if (!row.answer.empty()) pair.emulator->answer(row.answer);
        });
        EXPECT_EQ(row.call(*pair.card), row.expected);
        emulator.join();
        EXPECT_TRUE(pair.card->connected());
    }
}

TEST(ViccCard, SilentEmulatorIsDroppedAndTheCardTurnsMute) {
    Pair pair(200ms);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pair.card->transmit({0x00, 0x84, 0x00, 0x00, 0x08}), Bytes{});
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_FALSE(pair.card->connected());
    EXPECT_EQ(pair.emulator->frame(), (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
    EXPECT_TRUE(pair.emulator->closed_by_peer());
    // A late answer is never taken for the next command's: nothing is sent any more.
    EXPECT_EQ(pair.card->reset(false), Bytes{});
}

TEST(ViccCard, VanishedEmulatorMakesAMuteCard) {
    Pair pair;
    EXPECT_FALSE(pair.card->peer_gone());
    pair.emulator->hang_up();
    EXPECT_EQ(pair.card->transmit({0x00, 0xA4, 0x00, 0x00}), Bytes{});
    EXPECT_TRUE(pair.card->peer_gone());
    EXPECT_FALSE(pair.card->connected());
}

TEST(ViccCard, TooShortApduIsNotSentAsAControl) {
    Pair pair(200ms);
    EXPECT_EQ(pair.card->transmit({0x01}), Bytes{});
    EXPECT_TRUE(pair.card->connected());
    std::thread emulator([&] { EXPECT_EQ(pair.emulator->frame(), (Bytes{0x00, 0xCA, 0x00, 0x4F, 0x00})); pair.emulator->answer({0x6A, 0x88}); });
    EXPECT_EQ(pair.card->transmit({0x00, 0xCA, 0x00, 0x4F, 0x00}), (Bytes{0x6A, 0x88}));
    emulator.join();
}

// Events the listener reported, for a test thread to wait on.
struct EventLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::shared_ptr<sim::ViccCard>> events;
    bool wait_for(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 3s, [&] { return events.size() >= count; });
    }
    void add(std::shared_ptr<sim::ViccCard> card) {
        std::lock_guard<std::mutex> lock(mutex);
        events.push_back(std::move(card));
        changed.notify_all();
    }
};

TEST(ViccListener, ConnectionIsInsertionSecondEmulatorIsTurnedAwayHangUpIsRemoval) {
    EventLog log;
    sim::ViccListener listener(0, [&](std::shared_ptr<sim::ViccCard> card) { log.add(std::move(card)); });
    ASSERT_TRUE(listener.listening()) << listener.error();
    ASSERT_NE(listener.port(), 0);

    Emulator first(connect_to(listener.port()));
    ASSERT_TRUE(log.wait_for(1));
    ASSERT_NE(log.events[0], nullptr);
    int nodelay = 0;
    socklen_t size = sizeof nodelay;
    getsockopt(log.events[0]->socket(), IPPROTO_TCP, TCP_NODELAY, &nodelay, &size);
    EXPECT_EQ(nodelay, 1);

    Emulator second(connect_to(listener.port()));
    EXPECT_TRUE(second.closed_by_peer());
    EXPECT_EQ(listener.connections(), 2);

    // The card in the slot still answers through the first connection.
    std::thread emulator([&] { EXPECT_EQ(first.frame(), (Bytes{0x00, 0x20, 0x00, 0x81})); first.answer({0x63, 0xC3}); });
    EXPECT_EQ(log.events[0]->transmit({0x00, 0x20, 0x00, 0x81}), (Bytes{0x63, 0xC3}));
    emulator.join();

    first.hang_up();
    ASSERT_TRUE(log.wait_for(2));
    EXPECT_EQ(log.events[1], nullptr);
    EXPECT_FALSE(log.events[0]->connected());

    // The slot is free again for the next emulator.
    Emulator third(connect_to(listener.port()));
    ASSERT_TRUE(log.wait_for(3));
    EXPECT_NE(log.events[2], nullptr);
}

// A card that an exchange turned mute (its emulator hung up or fell silent) leaves the slot, whether the listener
// was already watching its connection or looked only afterwards.
TEST(ViccListener, CardTurnedMuteByAnExchangeIsRemoval) {
    struct Row {
        const char* what;
        bool drop_before_listener_looks;  // the exchange fails inside the insertion event, before the next poll
    };
    for (Row row : {Row{"emulator fell silent while watched", false}, Row{"dropped before the listener looked", true}}) {
        SCOPED_TRACE(row.what);
        EventLog log;
        sim::ViccListener listener(
            0,
            [&](std::shared_ptr<sim::ViccCard> card) {
                if (card && row.drop_before_listener_looks) card->disconnect();
                log.add(std::move(card));
            },
            200ms);
        ASSERT_TRUE(listener.listening()) << listener.error();
        Emulator emulator(connect_to(listener.port()));
        ASSERT_TRUE(log.wait_for(1));
        ASSERT_NE(log.events[0], nullptr);
        if (!row.drop_before_listener_looks) {
            EXPECT_EQ(log.events[0]->transmit({0x00, 0x84, 0x00, 0x00, 0x08}), Bytes{});  // no answer comes
        }
        EXPECT_FALSE(log.events[0]->connected());
        ASSERT_TRUE(log.wait_for(2)) << "the mute card was never reported gone";
        EXPECT_EQ(log.events[1], nullptr);
        if (!row.drop_before_listener_looks) {
            EXPECT_EQ(emulator.frame(), (Bytes{0x00, 0x84, 0x00, 0x00, 0x08}));
        }
        EXPECT_TRUE(emulator.closed_by_peer());
        // The emulator may connect again: the slot takes its new card.
        Emulator again(connect_to(listener.port()));
        ASSERT_TRUE(log.wait_for(3));
        EXPECT_NE(log.events[2], nullptr);
    }
}

TEST(ViccListener, PortInUseIsReported) {
    sim::ViccListener first(0, [](std::shared_ptr<sim::ViccCard>) {});
    ASSERT_TRUE(first.listening());
    sim::ViccListener second(first.port(), [](std::shared_ptr<sim::ViccCard>) {});
    EXPECT_FALSE(second.listening());
    EXPECT_NE(second.error().find(std::to_string(first.port())), std::string::npos) << second.error();
}

// The slot in a machine running in real time: what the reader holds, asked from inside the machine.
TEST(ViccSlot, ConnectionsBecomeInsertionsAndRemovalsInTheReader) {
    sim::Kernel k(3);
    sim::UsbDevice usb(k);
    sim::Reader reader(k, usb);
    k.scheduler().set_real_time(true);
    std::unique_ptr<sim::ViccSlot> slot;
    std::promise<uint16_t> port;
    k.scheduler().post("make slot", [&] {
        slot = std::make_unique<sim::ViccSlot>(k.scheduler(), reader, 0);
        port.set_value(slot->listening() ? slot->port() : 0);
    });
    // Asks the machine whether a card is in the slot; polls until the answer is `want` or two seconds have passed.
    auto wait_for_card = [&](bool want) {
        for (int i = 0; i < 200; ++i) {
            std::promise<bool> present;
            k.scheduler().post("look", [&] { present.set_value(reader.card_present()); });
            if (present.get_future().get() == want) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    };
    std::vector<sim::Packet> sent_statuses;
    std::thread client([&] {
        uint16_t p = port.get_future().get();
        ASSERT_NE(p, 0);
        EXPECT_TRUE(wait_for_card(false));
        {
            Emulator emulator(connect_to(p));
            EXPECT_TRUE(wait_for_card(true));
            emulator.hang_up();
            EXPECT_TRUE(wait_for_card(false));
        }
        // Emulators that hang up and reconnect at once: the removal and the insertion reach the machine together, and
        // the slot ends up holding the new card every time.
        auto current = std::make_unique<Emulator>(connect_to(p));
        EXPECT_TRUE(wait_for_card(true));
        for (int swap = 0; swap < 8; ++swap) {
            current->hang_up();
            current = std::make_unique<Emulator>(connect_to(p));
            std::this_thread::sleep_for(50ms);
            EXPECT_TRUE(wait_for_card(true)) << "swap " << swap << " left the slot empty";
        }
        current->hang_up();
        EXPECT_TRUE(wait_for_card(false));
        k.scheduler().post("drop slot", [&] { slot.reset(); });
        k.scheduler().request_stop();
    });
    EXPECT_EQ(k.scheduler().serve(), sim::RunOutcome::completed);
    client.join();
    // Each change was announced to the host with a card-status packet: present, then absent, for every card in turn.
    std::vector<uint8_t> announced;
    for (const sim::TimedPacket& p : reader.sent()) {
        if (p.packet.size() >= 3 && p.packet[0] == 0x02 && p.packet[1] == 0x81) announced.push_back(p.packet[2]);
    }
    std::vector<uint8_t> expected;
    for (int card = 0; card < 10; ++card) expected.insert(expected.end(), {1, 0});
    EXPECT_EQ(announced, expected);
}

}  // namespace
