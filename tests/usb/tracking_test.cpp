// The background read and card tracking: every case of the read's completion, tracking requests through SMCLIB, failed posts, cancelling the read, and cancel/completion races under many seeds.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <optional>
#include <ostream>
#include <vector>

#include "reader_fixture.h"

namespace qward::test {
namespace {

using sim::from_ms;

// A card that the reader's automatic mode can report; the tests here never talk to it.
class TestCard : public sim::Card {
   public:
    sim::Bytes reset(bool) override { return {0x3B, 0x00}; }
    sim::Bytes transmit(const sim::Bytes&) override { return {0x90, 0x00}; }
};

bool event_signalled(KEVENT& event) { return KeReadStateEvent(&event) != 0; }

// ---- The completion of the background read, case by case ---------------------------------------------------

enum class Ending { packet, cancel };

struct CompletionCase {
    const char* name;
    Ending ending;
    sim::Packet packet;
    bool waiter;
    bool removed_seen_before;
    ULONG state_before;
    // Expected afterwards.
    ULONG state;
    bool card_present;
    bool removed_seen;
    bool packet_ready;
    bool cancelled;
    bool failed;
    bool woken;
    bool reposted;
    bool tracking_completed;
};

sim::Packet p(std::initializer_list<uint8_t> bytes) { return ReaderFixture::packet(bytes); }

const std::vector<CompletionCase>& completion_cases() {
    constexpr ULONG A = SCARD_ABSENT, P = SCARD_PRESENT, S = SCARD_SPECIFIC;
    static const std::vector<CompletionCase> cases = {
        // name                                    ending          packet                       waiter removed before after  card   rmvd   ready  canc   fail   woken  repost track
        // A failed read says nothing about the card; the tracking request that relied on it is completed.
        {"failed read, waiter",                    Ending::packet, sim::Packet(9, 0x02),        true,  false,  P,     P,     true,  false, false, false, true,  true,  false, true},
        {"failed read, nobody waits",              Ending::packet, sim::Packet(9, 0x02),        false, false,  P,     P,     true,  false, false, false, true,  false, false, true},
        {"cancelled read, waiter",                 Ending::cancel, {},                          true,  false,  P,     P,     false, false, false, true,  false, true,  false, false},
        {"cancelled read, nobody waits",           Ending::cancel, {},                          false, false,  P,     P,     false, false, false, true,  false, false, false, false},
        {"short transfer, waiter",                 Ending::packet, {0x02, 0x81, 0x01, 0, 0},    true,  false,  P,     P,     true,  false, false, false, false, true,  false, false},
        {"short transfer, nobody waits",           Ending::packet, {0x02, 0x81, 0x01, 0, 0},    false, false,  P,     P,     true,  false, false, false, false, false, true,  false},
        {"card inserted",                          Ending::packet, p({0x02, 0x81, 0x01}),       false, true,   A,     P,     true,  false, false, false, false, false, false, true},
        {"card still in while powered",            Ending::packet, p({0x02, 0x81, 0x01}),       false, false,  S,     P,     true,  false, false, false, false, false, false, true},
        {"card removed while powered",             Ending::packet, p({0x02, 0x81, 0x00}),       false, false,  S,     A,     false, true,  false, false, false, false, false, true},
        {"slot byte 2 counts as no card",          Ending::packet, p({0x02, 0x81, 0x02}),       false, false,  P,     A,     false, true,  false, false, false, false, false, true},
        {"card status, waiter",                    Ending::packet, p({0x02, 0x81, 0x01}),       true,  false,  A,     P,     true,  false, true,  false, false, true,  false, true},
        {"other reader status, waiter",            Ending::packet, p({0x02, 0x80, 0x01}),       true,  false,  P,     P,     true,  false, true,  false, false, true,  false, false},
        {"other reader status, nobody waits",      Ending::packet, p({0x02, 0x80, 0x01}),       false, false,  P,     P,     true,  false, false, false, false, false, true,  false},
        {"data packet, waiter",                    Ending::packet, p({0x00, 0x02, 0xAA, 0xBB}), true,  false,  P,     P,     true,  false, true,  false, false, true,  false, false},
        {"data packet, nobody waits",              Ending::packet, p({0x00, 0x02, 0xAA, 0xBB}), false, false,  P,     P,     true,  false, true,  false, false, false, true,  false},
        {"answer header, waiter",                  Ending::packet, p({0x01, 0x01, 0x05}),       true,  false,  P,     P,     true,  false, true,  false, false, true,  false, false},
        {"answer header, nobody waits",            Ending::packet, p({0x01, 0x01, 0x05}),       false, false,  P,     P,     true,  false, true,  false, false, false, true,  false},
        {"answer after removal, waiter",           Ending::packet, p({0x01, 0x01, 0x05}),       true,  true,   A,     A,     false, false, false, false, false, true,  true,  false},
        {"answer after removal, nobody waits",     Ending::packet, p({0x01, 0x01, 0x05}),       false, true,   A,     A,     false, false, false, false, false, false, true,  false},
        {"unknown kind, waiter",                   Ending::packet, p({0x05, 0x01, 0x02}),       true,  false,  P,     P,     true,  false, true,  false, false, true,  false, true},
        {"unknown kind, nobody waits",             Ending::packet, p({0x05, 0x01, 0x02}),       false, false,  P,     P,     true,  false, false, false, false, false, true,  true},
    };
    return cases;
}

void PrintTo(const CompletionCase& c, std::ostream* out) { *out << c.name; }

class BackgroundReadCompletion : public ::testing::TestWithParam<CompletionCase> {};

TEST_P(BackgroundReadCompletion, Case) {
    const CompletionCase& c = GetParam();
    ReaderFixture f(41);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    const bool present_before = c.state_before > SCARD_ABSENT;
    std::shared_ptr<sim::HostRequest> tracking;
    f.run([&] {
        SetCardState(f.sc, c.state_before);
        f.re->CardPresent = present_before;
        f.re->CardRemovedSeen = c.removed_seen_before;
        // A request that waits for the other state stays pending, and CardTracking posts the read.
        tracking = f.send_tracking(present_before ? IOCTL_SMARTCARD_IS_ABSENT : IOCTL_SMARTCARD_IS_PRESENT);
    });
    ASSERT_EQ(tracking->dispatch_status(), STATUS_PENDING);
    ASSERT_EQ(f.queued_reads(), 1u);
    ASSERT_TRUE(f.re->PollActive);

    auto waiter = std::make_unique<KEVENT>();
    KeInitializeEvent(waiter.get(), NotificationEvent, FALSE);
    if (c.waiter) f.re->ResponseEvent = waiter.get();
    if (c.ending == Ending::packet) {
        f.reader.queue_packet(c.packet);
    } else {
        f.run([&] { EXPECT_TRUE(CancelBackgroundRead(f.de)); });
    }
    f.settle(10);

    EXPECT_EQ(f.sc->ReaderCapabilities.CurrentState, c.state);
    EXPECT_EQ(bool(f.re->CardPresent), c.card_present);
    EXPECT_EQ(bool(f.re->CardRemovedSeen), c.removed_seen);
    EXPECT_EQ(bool(f.re->EventPacketReady), c.packet_ready);
    EXPECT_EQ(bool(f.re->PollCancelled), c.cancelled);
    EXPECT_EQ(bool(f.re->ReadFailed), c.failed);
    EXPECT_EQ(event_signalled(*waiter), c.woken);
    // Posted again: one read outstanding, and the flags say so.
    EXPECT_EQ(f.queued_reads(), c.reposted ? 1u : 0u);
    EXPECT_EQ(f.de->PollIrp != nullptr, c.reposted);
    EXPECT_EQ(bool(f.re->PollActive), c.reposted);
    EXPECT_EQ(tracking->finished(), c.tracking_completed);
    if (c.tracking_completed) {
        EXPECT_EQ(tracking->status(), STATUS_SUCCESS);
        EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr);
    }
    if (c.ending == Ending::packet && c.packet.size() == 8) {
        // The packet stays in EventPacket in every case.
        EXPECT_EQ(sim::Packet(f.re->EventPacket, f.re->EventPacket + 8), c.packet);
    }
    f.re->ResponseEvent = nullptr;
}

INSTANTIATE_TEST_SUITE_P(EveryCase, BackgroundReadCompletion, ::testing::ValuesIn(completion_cases()),
                         [](const ::testing::TestParamInfo<CompletionCase>& info) {
                             std::string name;
                             for (const char* c = info.param.name; *c; ++c) {
                                 name += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
                             }
                             return name;
                         });

// ---- Sequences -------------------------------------------------------------------------------------------------

TEST(BackgroundRead, AfterACardEventNothingIsReadUntilSomethingNeedsIt) {
    ReaderFixture f(42);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); });
    f.reader.queue_packet(p({0x02, 0x81, 0x00}));
    f.settle(10);
    EXPECT_EQ(f.queued_reads(), 0u);
    EXPECT_EQ(f.de->PollIrp, nullptr);
    EXPECT_FALSE(f.re->PollActive);
    EXPECT_TRUE(f.re->CardRemovedSeen);

    // The first answer after the removal is dropped, the second is handed to the waiter.
    f.reader.queue_reply_to_write(p({0x01, 0x01, 0x07}), from_ms(2));
    f.reader.queue_packet_after(from_ms(3), p({0x01, 0x03, 0x03, 0x02, 0x00}));
    NTSTATUS status = STATUS_PENDING;
    f.run([&] {
        Bytes8 header = {0x01, 0x03, 0x41, 0, 0, 0, 0, 0};
        status = WritePacketAndAwait(f.sc, header.data(), 0);
    });
    // Woken without a packet by the dropped answer, as the exchange then reads on by itself.
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_FALSE(f.re->EventPacketReady);
    EXPECT_FALSE(f.re->CardRemovedSeen);
    f.settle(10);
    // The read posted after the drop took the next answer and keeps it for the exchange.
    EXPECT_TRUE(f.re->EventPacketReady);
    EXPECT_EQ(sim::Packet(f.re->EventPacket, f.re->EventPacket + 8), p({0x01, 0x03, 0x03, 0x02, 0x00}));
}

TEST(BackgroundRead, TwoPostersAtOnceSendOneRead) {
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        ReaderFixture f(seed);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        NTSTATUS first = 0, second = 0;
        f.k.spawn("second poster", [&] { second = StartBackgroundRead(f.sc); });
        f.run([&] { first = StartBackgroundRead(f.sc); });
        EXPECT_EQ(first, STATUS_PENDING);
        EXPECT_EQ(second, STATUS_PENDING);
        EXPECT_EQ(f.count_submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81), 1u) << "seed " << seed;
        f.finish();
        ASSERT_FALSE(f.k.bug_checked()) << "seed " << seed << "\n" << f.k.bug_check_report();
    }
}

// ---- Failed posts -----------------------------------------------------------------------------------------------

TEST(BackgroundRead, FailedPostLeavesNeitherPollIrpNorPollActive) {
    struct Case {
        const char* name;
        std::optional<sim::FaultSite> site;
        uint64_t nth;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"no pool for the URB", sim::FaultSite::pool, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"no IRP", sim::FaultSite::irp, 1, STATUS_INSUFFICIENT_RESOURCES},
        {"no pool for the context", sim::FaultSite::pool, 2, STATUS_INSUFFICIENT_RESOURCES},
        {"lower driver refuses", std::nullopt, 0, STATUS_INVALID_DEVICE_STATE},
    };
    for (const Case& c : cases) {
        ReaderFixture f(43);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        NTSTATUS status = STATUS_PENDING;
        f.run([&] {
            if (c.site) {
                f.k.set_fault(*c.site, {.fail_nth = c.nth});
            } else {
                f.usb.on_unplugged();
            }
            status = StartBackgroundRead(f.sc);
            f.k.clear_faults();
        });
        EXPECT_EQ(status, c.expected) << c.name;
        EXPECT_FALSE(f.re->PollActive) << c.name;
        EXPECT_EQ(f.de->PollIrp, nullptr) << c.name;
        EXPECT_EQ(f.queued_reads(), 0u) << c.name;
        if (!c.site) {
            EXPECT_TRUE(f.re->ReadFailed) << c.name;
            continue;
        }
        // Nothing stands in the way of the next post.
        f.run([&] { status = StartBackgroundRead(f.sc); });
        EXPECT_EQ(status, STATUS_PENDING) << c.name;
        EXPECT_EQ(f.queued_reads(), 1u) << c.name;
        EXPECT_TRUE(f.re->PollActive) << c.name;
    }
}

// ---- Cancelling the background read ------------------------------------------------------------------------------

TEST(BackgroundRead, CancelEndsThePostedReadWithoutPostingAgain) {
    ReaderFixture f(44);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.script();
    BOOLEAN found = TRUE;
    f.run([&] { found = CancelBackgroundRead(f.de); });
    EXPECT_FALSE(found) << "nothing was posted";
    f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); });
    f.run([&] { found = CancelBackgroundRead(f.de); });
    f.settle(5);
    EXPECT_TRUE(found);
    EXPECT_TRUE(f.re->PollCancelled);
    EXPECT_FALSE(f.re->PollActive);
    EXPECT_EQ(f.de->PollIrp, nullptr);
    EXPECT_EQ(f.de->PollIrpCancelling, nullptr);
    EXPECT_EQ(f.de->PollCancelState, POLL_CANCEL_NONE);
    EXPECT_EQ(f.queued_reads(), 0u);
}

// The canceller and the read's completion meet at every possible point: the read completes with a packet that
// would make it post again (nobody waits), just as a canceller arrives. The verifier stops the run if the
// canceller ever touches a freed IRP; afterwards no read may be left behind, whether the cancel caught the
// first read, the packet beat the cancel, or the completion had already posted the next read.
TEST(BackgroundRead, CancelRacingTheCompletionNeverTouchesAFreedIrp) {
    int cancelled_first = 0, packet_first = 0, cancelled_next = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        ReaderFixture f(seed);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        f.usb.set_timing(sim::BusTiming::fast);
        f.run([&] { EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING); });
        const sim::VirtualTime when = f.k.now() + from_ms(5);
        f.reader.queue_packet_at(when, p({0x00, 0x01, 0x42}));
        BOOLEAN cancelled = FALSE;
        f.run([&] {
            LARGE_INTEGER until;
            until.QuadPart = when;  // absolute: the moment the packet arrives
            KeDelayExecutionThread(KernelMode, FALSE, &until);
            cancelled = CancelBackgroundRead(f.de);
        }, "canceller");
        f.settle(5);
        EXPECT_TRUE(cancelled) << "seed " << seed;
        EXPECT_EQ(f.queued_reads(), 0u) << "seed " << seed;
        EXPECT_EQ(f.de->PollIrp, nullptr) << "seed " << seed;
        EXPECT_FALSE(f.re->PollActive) << "seed " << seed;
        EXPECT_EQ(f.de->PollIrpCancelling, nullptr) << "seed " << seed;
        EXPECT_EQ(f.de->PollCancelState, POLL_CANCEL_NONE) << "seed " << seed;
        // Either the cancel ended a read, or the packet was taken (and kept for a caller) and no read followed.
        EXPECT_TRUE(f.re->PollCancelled || f.re->EventPacketReady) << "seed " << seed;
        if (f.re->PollCancelled && f.re->EventPacketReady) {
            ++cancelled_next;
        } else if (f.re->PollCancelled) {
            ++cancelled_first;
        } else {
            ++packet_first;
        }
        f.finish();
        ASSERT_FALSE(f.k.bug_checked()) << "seed " << seed << "\n" << f.k.bug_check_report();
    }
    std::printf("cancel racing the completion over 200 seeds: %d cancelled the read, %d packet beat the cancel, "
                "%d cancelled the next read\n", cancelled_first, packet_first, cancelled_next);
}

// A canceller that meets a post in progress: it finds nothing yet (the read stays posted), stops the post before
// the read is sent, or cancels the read, also one published but not yet sent; in no interleaving is a read left
// without PollIrp or the reverse.
TEST(BackgroundRead, CancelRacingThePostLeavesConsistentState) {
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        ReaderFixture f(seed);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        BOOLEAN cancelled = FALSE;
        NTSTATUS posted = 0;
        f.k.spawn("canceller", [&] { cancelled = CancelBackgroundRead(f.de); });
        f.run([&] { posted = StartBackgroundRead(f.sc); }, "poster");
        // A post that the canceller stopped before it was sent says so.
        EXPECT_TRUE(posted == STATUS_PENDING || (cancelled && posted == STATUS_CANCELLED)) << "seed " << seed;
        f.settle(5);
        const bool outstanding = f.queued_reads() == 1;
        EXPECT_EQ(f.de->PollIrp != nullptr, outstanding) << "seed " << seed;
        EXPECT_EQ(bool(f.re->PollActive), outstanding) << "seed " << seed;
        if (cancelled) {
            EXPECT_FALSE(outstanding) << "seed " << seed;
        }
        if (!cancelled) {
            EXPECT_TRUE(outstanding) << "seed " << seed << ": a canceller that found nothing left it";
        }
        if (cancelled) {
            EXPECT_TRUE(f.re->PollCancelled) << "seed " << seed;
        }
        EXPECT_EQ(f.de->PollCancelState, POLL_CANCEL_NONE) << "seed " << seed;
        f.finish();
        ASSERT_FALSE(f.k.bug_checked()) << "seed " << seed << "\n" << f.k.bug_check_report();
    }
}

// ---- Card tracking ----------------------------------------------------------------------------------------------

TEST(CardTracking, RequestsCompleteOnCardEvents) {
    ReaderFixture f(51);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.run([&] { SetCardState(f.sc, SCARD_ABSENT); });
    std::shared_ptr<sim::HostRequest> present;
    f.run([&] { present = f.send_tracking(IOCTL_SMARTCARD_IS_PRESENT); });
    EXPECT_EQ(present->dispatch_status(), STATUS_PENDING);
    EXPECT_FALSE(present->finished());
    EXPECT_EQ(f.queued_reads(), 1u);

    f.reader.insert_card(std::make_shared<TestCard>());
    f.settle(10);
    ASSERT_TRUE(present->finished());
    EXPECT_EQ(present->status(), STATUS_SUCCESS);
    EXPECT_EQ(present->information(), 0u);
    EXPECT_EQ(f.sc->ReaderCapabilities.CurrentState, ULONG{SCARD_PRESENT});
    EXPECT_EQ(f.queued_reads(), 0u) << "the read rests after a card event";

    std::shared_ptr<sim::HostRequest> absent;
    f.run([&] { absent = f.send_tracking(IOCTL_SMARTCARD_IS_ABSENT); });
    EXPECT_EQ(absent->dispatch_status(), STATUS_PENDING);
    f.reader.remove_card();
    f.settle(10);
    ASSERT_TRUE(absent->finished());
    EXPECT_EQ(absent->status(), STATUS_SUCCESS);
    EXPECT_EQ(f.sc->ReaderCapabilities.CurrentState, ULONG{SCARD_ABSENT});
    EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr);
}

TEST(CardTracking, WithTheReadAlreadyPostedNothingMoreIsPosted) {
    ReaderFixture f(52);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.run([&] {
        SetCardState(f.sc, SCARD_ABSENT);
        EXPECT_EQ(StartBackgroundRead(f.sc), STATUS_PENDING);
    });
    std::shared_ptr<sim::HostRequest> request;
    f.run([&] { request = f.send_tracking(IOCTL_SMARTCARD_IS_PRESENT); });
    EXPECT_EQ(request->dispatch_status(), STATUS_PENDING);
    EXPECT_EQ(f.count_submissions(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER, 0x81), 1u);
}

TEST(CardTracking, CancelledThroughItsCancelRoutine) {
    ReaderFixture f(53);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.run([&] { SetCardState(f.sc, SCARD_ABSENT); });
    std::shared_ptr<sim::HostRequest> request;
    f.run([&] { request = f.send_tracking(IOCTL_SMARTCARD_IS_PRESENT); });
    ASSERT_FALSE(request->finished());
    BOOLEAN cancelled = FALSE;
    f.run([&] { cancelled = request->cancel(); });
    EXPECT_TRUE(cancelled) << "the request was armed with a cancel routine";
    ASSERT_TRUE(request->finished());
    EXPECT_EQ(request->status(), STATUS_CANCELLED);
    EXPECT_EQ(request->information(), 0u);
    EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr);
    // The background read is not the request's; it keeps running.
    EXPECT_EQ(f.queued_reads(), 1u);
}

// IoCancelIrp before CardTracking armed the request finds no cancel routine and only sets the Cancel flag; the
// request then waits for the next card event, which completes it as cancelled.
TEST(CardTracking, CancelFlagSetBeforeArmingEndsItCancelledAtTheNextCardEvent) {
    ReaderFixture f(54);
    ASSERT_EQ(f.start(), STATUS_SUCCESS);
    f.run([&] { SetCardState(f.sc, SCARD_ABSENT); });
    BOOLEAN early_cancel = TRUE;
    f.before_smclib = [&](PIRP irp) { early_cancel = IoCancelIrp(irp); };
    std::shared_ptr<sim::HostRequest> request;
    f.run([&] { request = f.send_tracking(IOCTL_SMARTCARD_IS_PRESENT); });
    f.before_smclib = nullptr;
    EXPECT_FALSE(early_cancel);
    EXPECT_EQ(request->dispatch_status(), STATUS_PENDING);
    f.settle(100);
    EXPECT_FALSE(request->finished()) << "nothing completes it before a card event";

    f.reader.insert_card(std::make_shared<TestCard>());
    f.settle(10);
    ASSERT_TRUE(request->finished());
    EXPECT_EQ(request->status(), STATUS_CANCELLED);
    EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr);
}

NTSTATUS g_tracking_returned = 0;
NTSTATUS recording_card_tracking(PSMARTCARD_EXTENSION smartcard) {
    g_tracking_returned = CardTracking(smartcard);
    return g_tracking_returned;
}

// A tracking request that was armed when the background read could not be posted: no card event would ever
// complete it, so it is completed at once with the failure, while the callback keeps to STATUS_PENDING for the
// request it marked pending.
TEST(CardTracking, FailedPostCompletesTheArmedRequestWithTheFailure) {
    struct Case {
        const char* name;
        std::optional<sim::FaultSite> site;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"no pool", sim::FaultSite::pool, STATUS_INSUFFICIENT_RESOURCES},
        {"no IRP", sim::FaultSite::irp, STATUS_INSUFFICIENT_RESOURCES},
        // The bus fails the read inside IoCallDriver: its completion ends the request, as a failed read ends it,
        // and its owner looks at the card state again.
        {"lower driver refuses", std::nullopt, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        ReaderFixture f(55);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.sc->ReaderFunction[RDF_CARD_TRACKING] = recording_card_tracking;
        g_tracking_returned = 0;
        f.run([&] { SetCardState(f.sc, SCARD_ABSENT); });
        std::shared_ptr<sim::HostRequest> request;
        f.run([&] {
            if (c.site) {
                f.k.set_fault(*c.site, {.fail_nth = 1});
            } else {
                f.usb.on_unplugged();
            }
            request = f.send_tracking(IOCTL_SMARTCARD_IS_PRESENT);
            f.k.clear_faults();
        });
        EXPECT_EQ(g_tracking_returned, STATUS_PENDING) << c.name;
        EXPECT_EQ(request->dispatch_status(), STATUS_PENDING) << c.name;
        ASSERT_TRUE(request->finished()) << c.name;
        EXPECT_EQ(request->status(), c.expected) << c.name;
        EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr) << c.name;
        EXPECT_FALSE(f.re->PollActive) << c.name;
        EXPECT_EQ(f.de->PollIrp, nullptr) << c.name;
    }
}

// A tracking request whose sender keeps the IRP until both a cancel and a completion are done with it, as the
// I/O manager keeps the IRPs it cancels: the sender's own completion routine hands the IRP back every time.
struct HeldRequest {
    PIRP irp = nullptr;
    KEVENT done;
    int completions = 0;
    NTSTATUS dispatch = STATUS_PENDING;
};

NTSTATUS NTAPI held_request_completed(PDEVICE_OBJECT, PIRP, PVOID context) {
    auto* request = static_cast<HeldRequest*>(context);
    ++request->completions;
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Call from a simulated thread.
void send_held(ReaderFixture& f, HeldRequest& request, ULONG code) {
    KeInitializeEvent(&request.done, NotificationEvent, FALSE);
    request.irp = IoAllocateIrp(static_cast<CCHAR>(f.fdo->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(request.irp);  // the sender's own location
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request.irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = 0;
    next->Parameters.DeviceIoControl.OutputBufferLength = 0;
    IoSetCompletionRoutine(request.irp, held_request_completed, &request, TRUE, TRUE, TRUE);
    request.irp->IoStatus.Status = STATUS_SUCCESS;
    request.dispatch = IoCallDriver(f.fdo, request.irp);
}

// The application cancels the tracking request just as the reader reports a card: whichever wins, the request is
// completed once, as cancelled or as successful, and nothing is left behind.
TEST(CardTracking, CancelRacingTheCardEventCompletesOnce) {
    int successes = 0, cancellations = 0;
    for (uint64_t seed = 1; seed <= 200; ++seed) {
        ReaderFixture f(seed);
        ASSERT_EQ(f.start(), STATUS_SUCCESS);
        f.script();
        f.usb.set_timing(sim::BusTiming::fast);
        HeldRequest request;
        f.run([&] {
            SetCardState(f.sc, SCARD_ABSENT);
            send_held(f, request, IOCTL_SMARTCARD_IS_PRESENT);
        });
        ASSERT_EQ(request.dispatch, STATUS_PENDING);
        ASSERT_EQ(f.queued_reads(), 1u);
        const sim::VirtualTime when = f.k.now() + from_ms(5);
        f.reader.queue_packet_at(when, p({0x02, 0x81, 0x01}));
        f.run([&] {
            LARGE_INTEGER until;
            until.QuadPart = when;
            KeDelayExecutionThread(KernelMode, FALSE, &until);
            IoCancelIrp(request.irp);
        }, "application");
        f.settle(5);
        EXPECT_EQ(request.completions, 1) << "seed " << seed;
        const NTSTATUS status = request.irp->IoStatus.Status;
        if (status == STATUS_SUCCESS) {
            ++successes;
        } else {
            ++cancellations;
            EXPECT_EQ(status, STATUS_CANCELLED) << "seed " << seed;
        }
        EXPECT_EQ(request.irp->CancelRoutine, nullptr) << "seed " << seed;
        EXPECT_EQ(f.sc->OsData->NotificationIrp, nullptr) << "seed " << seed;
        EXPECT_EQ(f.sc->ReaderCapabilities.CurrentState, ULONG{SCARD_PRESENT}) << "seed " << seed;
        f.run([&] { IoFreeIrp(request.irp); });
        f.finish();
        ASSERT_FALSE(f.k.bug_checked()) << "seed " << seed << "\n" << f.k.bug_check_report();
    }
    std::printf("tracking cancel racing a card event over 200 seeds: %d completed, %d cancelled\n", successes,
                cancellations);
}

}  // namespace
}  // namespace qward::test
