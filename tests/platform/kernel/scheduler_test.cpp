// Scheduling, virtual time, dispatcher objects and deadlock reports of the simulated kernel.
#include <gtest/gtest.h>

#include <cfenv>
#include <chrono>
#include <atomic>
#include <future>
#include <thread>
#include <string>
#include <vector>

#include "kernel.h"
#include "ordered_post.h"

namespace sim {
namespace {

LARGE_INTEGER relative_ms(int64_t ms) {
    LARGE_INTEGER t;
    t.QuadPart = -ms * 10'000;
    return t;
}

TEST(VirtualTime, LongTimeOutCostsNoWallTime) {
    Kernel k(1);
    NTSTATUS status = STATUS_SUCCESS;
    auto start = std::chrono::steady_clock::now();
    k.run_thread("waiter", [&] {
        KEVENT never;
        KeInitializeEvent(&never, NotificationEvent, FALSE);
        LARGE_INTEGER fifty_seconds = relative_ms(50'000);
        status = KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &fifty_seconds);
    });
    auto wall = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(status, STATUS_TIMEOUT);
    EXPECT_EQ(k.now(), from_ms(50'000));
    EXPECT_LT(wall, std::chrono::seconds(1));
}

TEST(VirtualTime, EventSetBeforeTimeOutWinsAtItsOwnTime) {
    Kernel k(2);
    KEVENT event;
    NTSTATUS status = STATUS_PENDING;
    VirtualTime woke_at = 0;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    k.spawn("waiter", [&] {
        LARGE_INTEGER timeout = relative_ms(1'000);
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
        woke_at = k.now();
    });
    k.spawn("setter", [&] {
        LARGE_INTEGER delay = relative_ms(300);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    ASSERT_EQ(k.run(), RunOutcome::completed);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(woke_at, from_ms(300));
}

TEST(VirtualTime, ZeroTimeOutPollsWithoutWaiting) {
    Kernel k(3);
    std::vector<NTSTATUS> seen;
    k.run_thread("poller", [&] {
        KEVENT event;
        KeInitializeEvent(&event, SynchronizationEvent, FALSE);
        LARGE_INTEGER zero{};
        seen.push_back(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        seen.push_back(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero));
    });
    EXPECT_EQ(seen, (std::vector<NTSTATUS>{STATUS_TIMEOUT, STATUS_SUCCESS}));
    EXPECT_EQ(k.now(), 0);
}

// A notification event releases every waiter and stays set; a synchronization event releases one
// waiter per signal and resets itself.
TEST(Events, NotificationReleasesAllSynchronizationReleasesOne) {
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        Kernel k(4);
        KEVENT event;
        KeInitializeEvent(&event, type, FALSE);
        int released = 0;
        for (int i = 0; i < 3; ++i) {
            k.spawn("waiter", [&] {
                LARGE_INTEGER timeout = relative_ms(100);
                if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++released;
            });
        }
        k.spawn("setter", [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
        ASSERT_EQ(k.run(), RunOutcome::completed);
        if (type == NotificationEvent) {
            EXPECT_EQ(released, 3);
            EXPECT_EQ(KeReadStateEvent(&event), 1);
        } else {
            EXPECT_EQ(released, 1);
            EXPECT_EQ(KeReadStateEvent(&event), 0);
        }
    }
}

TEST(Events, ClearAndResetReportPreviousState) {
    Kernel k(5);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 0);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Mutexes, OwnerMayReacquireAndOthersWait) {
    Kernel k(6);
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    std::vector<std::string> order;
    k.spawn("first", [&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);  // recursive
        LARGE_INTEGER delay = relative_ms(10);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        order.push_back("first releases");
        KeReleaseMutex(&mutex, FALSE);
        KeReleaseMutex(&mutex, FALSE);
    });
    k.spawn("second", [&] {
        LARGE_INTEGER delay = relative_ms(1);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        order.push_back("second owns");
        KeReleaseMutex(&mutex, FALSE);
    });
    ASSERT_EQ(k.run(), RunOutcome::completed);
    EXPECT_EQ(order, (std::vector<std::string>{"first releases", "second owns"}));
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

// Two threads race to append to a shared list; the order depends only on the seed.
std::vector<TraceEvent> race(uint64_t seed, std::string* order) {
    Kernel k(seed);
    k.scheduler().tracing = true;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    for (const char* name : {"a", "b"}) {
        k.spawn(name, [&, name] {
            for (int i = 0; i < 8; ++i) {
                KIRQL irql;
                KeAcquireSpinLock(&lock, &irql);
                *order += name;
                KeReleaseSpinLock(&lock, irql);
            }
        });
    }
    EXPECT_EQ(k.run(), RunOutcome::completed);
    return k.scheduler().trace;
}

TEST(Determinism, SameSeedSameTraceOtherSeedOtherInterleaving) {
    std::string first, again;
    auto trace1 = race(42, &first);
    auto trace2 = race(42, &again);
    EXPECT_EQ(trace1, trace2);
    EXPECT_EQ(first, again);
    EXPECT_EQ(first.size(), 16u);

    bool differs = false;
    for (uint64_t seed = 43; seed < 60 && !differs; ++seed) {
        std::string other;
        race(seed, &other);
        differs = other != first;
    }
    EXPECT_TRUE(differs) << "no other seed interleaved the two threads differently";
}

// Without switch points a thread keeps the processor through its kernel calls, whatever the seed, and changes hands
// only where it waits or gives way; a thread that gives way until another has finished does not spin for ever.
TEST(Determinism, WithoutSwitchPointsThreadsChangeOnlyWhereTheyWaitOrGiveWay) {
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        Kernel k(seed);
        k.scheduler().preempt_per_mille = 0;
        std::string order;
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KEVENT go;
        KeInitializeEvent(&go, NotificationEvent, FALSE);
        bool b_done = false;
        for (const char* name : {"a", "b"}) {
            k.spawn(name, [&, name] {
                for (int i = 0; i < 4; ++i) {
                    KIRQL irql;
                    KeAcquireSpinLock(&lock, &irql);
                    order += name;
                    KeReleaseSpinLock(&lock, irql);
                    KeSetEvent(&go, 0, FALSE);
                }
                if (*name == 'b') b_done = true;
            });
        }
        k.spawn("waits for b", [&] {
            KeWaitForSingleObject(&go, Executive, KernelMode, FALSE, nullptr);
            while (!b_done) k.scheduler().give_way();
            order += "|";
        });
        ASSERT_EQ(k.run(), RunOutcome::completed) << "seed " << seed;
        std::string threads = order;
        std::erase(threads, '|');
        EXPECT_TRUE(threads == "aaaabbbb" || threads == "bbbbaaaa") << "seed " << seed << ": " << order;
        EXPECT_GT(order.find('|'), order.rfind('b')) << "seed " << seed << ": " << order;
    }
}

TEST(Deadlock, ReportNamesEveryBlockedThreadAndItsObject) {
    Kernel k(7);
    KMUTEX one, two;
    KeInitializeMutex(&one, 0);
    KeInitializeMutex(&two, 0);
    KEVENT both_hold;
    KeInitializeEvent(&both_hold, NotificationEvent, FALSE);
    int holding = 0;
    auto body = [&](PKMUTEX first, PKMUTEX second) {
        KeWaitForSingleObject(first, Executive, KernelMode, FALSE, nullptr);
        if (++holding == 2) KeSetEvent(&both_hold, IO_NO_INCREMENT, FALSE);
        KeWaitForSingleObject(&both_hold, Executive, KernelMode, FALSE, nullptr);
        KeWaitForSingleObject(second, Executive, KernelMode, FALSE, nullptr);
    };
    k.spawn("left", [&] { body(&one, &two); });
    k.spawn("right", [&] { body(&two, &one); });
    ASSERT_EQ(k.run(), RunOutcome::deadlock);
    const std::string& report = k.scheduler().deadlock_report();
    EXPECT_NE(report.find("thread 'left' waits on mutex"), std::string::npos) << report;
    EXPECT_NE(report.find("thread 'right' waits on mutex"), std::string::npos) << report;
}

TEST(Daemons, ServiceThreadsDoNotKeepARunGoingAndStopCleanly) {
    Kernel k(8);
    KEVENT work;
    KeInitializeEvent(&work, SynchronizationEvent, FALSE);
    int served = 0;
    bool stopped = false;
    k.spawn("service", [&] {
        while (KeWaitForSingleObject(&work, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS) ++served;
        stopped = true;
    }, /*daemon=*/true);
    ASSERT_EQ(k.run_thread("client", [&] { KeSetEvent(&work, IO_NO_INCREMENT, FALSE); }), RunOutcome::completed);
    EXPECT_EQ(served, 1);
    EXPECT_FALSE(stopped);
    k.scheduler().stop_daemons();
    EXPECT_TRUE(stopped);
}

TEST(SpinLocks, RaiseToDispatchAndRestore) {
    Kernel k(9);
    std::vector<KIRQL> seen;
    k.run_thread("t", [&] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        seen.push_back(KeGetCurrentIrql());
        KeAcquireSpinLock(&lock, &old);
        seen.push_back(KeGetCurrentIrql());
        KeReleaseSpinLock(&lock, old);
        seen.push_back(KeGetCurrentIrql());
    });
    EXPECT_EQ(seen, (std::vector<KIRQL>{PASSIVE_LEVEL, DISPATCH_LEVEL, PASSIVE_LEVEL}));
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

// Real time: a client on another OS thread posts work and waits for its answer, as a smart card
// daemon's threads do; a 30 ms kernel wait takes about 30 ms of wall time.
TEST(RealTime, PostedWorkRunsAndWaitsFollowTheWallClock) {
    Kernel k(10);
    k.scheduler().set_real_time(true);
    std::promise<VirtualTime> answer;
    std::thread client([&] {
        k.scheduler().post("client request", [&] {
            LARGE_INTEGER delay;
            delay.QuadPart = -from_ms(30);
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            answer.set_value(k.now());
        });
    });
    auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        auto done = answer.get_future().get();
        EXPECT_GE(done, from_ms(30));
        k.scheduler().request_stop();
    });
    EXPECT_EQ(k.scheduler().serve(), RunOutcome::completed);
    auto wall = std::chrono::steady_clock::now() - start;
    client.join();
    stopper.join();
    EXPECT_GE(wall, std::chrono::milliseconds(25));
    EXPECT_LT(wall, std::chrono::seconds(5));
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

// Work posted together from outside runs in the seed's order, which an OrderedPoster does not leave to chance: every
// item runs once, in the order it was posted, whatever the seed picks, even when an item waits in the middle.
TEST(RealTime, OrderedPosterRunsItemsInTheOrderTheyCame) {
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        Kernel k(seed);
        k.scheduler().set_real_time(true);
        std::vector<int> ran;
        auto poster = std::make_unique<OrderedPoster>(k.scheduler());
        std::thread client([&] {
            for (int i = 0; i < 40; ++i) {
                poster->post("item", [&, i] {
                    if (i % 10 == 3) k.scheduler().sleep_for(from_us(200));  // another posted thread runs meanwhile
                    ran.push_back(i);
                });
            }
            poster->post("last", [&] { k.scheduler().request_stop(); });
        });
        EXPECT_EQ(k.scheduler().serve(), RunOutcome::completed);
        client.join();
        std::vector<int> expected;
        for (int i = 0; i < 40; ++i) expected.push_back(i);
        EXPECT_EQ(ran, expected);
        poster->close();
        poster->post("after close", [&] { ran.push_back(-1); });
        EXPECT_EQ(ran.size(), 40u) << "nothing runs after close";
    }
}

// A host that posts a thread per request must not keep the finished ones.
TEST(RealTime, FinishedThreadsAreFreedBetweenRuns) {
    Kernel k(11);
    k.scheduler().set_real_time(true);
    std::atomic<int> served{0};
    std::thread client([&] {
        for (int i = 0; i < 200; ++i) k.scheduler().post("request", [&] { ++served; });
        k.scheduler().post("last", [&] { k.scheduler().request_stop(); });
    });
    EXPECT_EQ(k.scheduler().serve(), RunOutcome::completed);
    client.join();
    EXPECT_EQ(served, 200);
    EXPECT_LE(k.scheduler().threads().size(), 2u);
}

}  // namespace
}  // namespace sim


namespace sim {
namespace {

// call(): requests from several OS threads, each run by the calling thread when the machine is free, the others
// waiting meanwhile; a call that only waits (drive = false) is finished by a driving call's work. Every body runs
// once, its results are there when call() returns, and serve() ends cleanly.
TEST(RealTime, CallsFromSeveralThreadsEachRunOnceAndReturnTheirResults) {
    Kernel k(12);
    k.scheduler().set_real_time(true);
    KEVENT card;
    KeInitializeEvent(&card, NotificationEvent, FALSE);
    std::atomic<int> runs{0};
    std::vector<int> results(4 * 25, -1);
    std::atomic<bool> waited{false};
    std::thread server([&] { EXPECT_EQ(k.scheduler().serve(), RunOutcome::completed); });
    std::thread waiter([&] {
        bool ok = k.scheduler().call("card event wait", [&] {
            EXPECT_EQ(KeWaitForSingleObject(&card, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
            waited = true;
        }, false);
        EXPECT_TRUE(ok);
    });
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c) {
        clients.emplace_back([&, c] {
            for (int i = 0; i < 25; ++i) {
                const int slot = c * 25 + i;
                bool ok = k.scheduler().call("request", [&, slot] {
                    LARGE_INTEGER delay;
                    delay.QuadPart = -(slot % 3) * 1'000;  // none, 0.1 or 0.2 ms
                    if (delay.QuadPart != 0) KeDelayExecutionThread(KernelMode, FALSE, &delay);
                    ++runs;
                    results[slot] = slot * 7;
                });
                EXPECT_TRUE(ok);
                EXPECT_EQ(results[slot], slot * 7) << "the body's result is there when call() returns";
            }
        });
    }
    for (auto& client : clients) client.join();
    EXPECT_FALSE(waited) << "nothing has set the event yet";
    EXPECT_TRUE(k.scheduler().call("insert", [&] { KeSetEvent(&card, IO_NO_INCREMENT, FALSE); }));
    waiter.join();
    EXPECT_TRUE(waited);
    k.scheduler().request_stop();
    server.join();
    EXPECT_EQ(runs, 100);
    EXPECT_LE(k.scheduler().threads().size(), 2u) << "finished request threads are freed";
}

// Time-outs in real time: each sleep's thread runs at the virtual time the sleep names, however late its OS thread
// woke, so a run of 1 ms sleeps ends exactly that many milliseconds on and the lateness does not add up.
TEST(RealTime, SuccessiveSleepsEndAtTheirOwnVirtualTimes) {
    Kernel k(13);
    k.scheduler().set_real_time(true);
    std::thread server([&] { EXPECT_EQ(k.scheduler().serve(), RunOutcome::completed); });
    for (bool drive : {true, false}) {
        SCOPED_TRACE(drive ? "the calling thread runs the machine" : "the serving thread runs the machine");
        VirtualTime start = -1, end = -1;
        std::vector<VirtualTime> wakes;
        EXPECT_TRUE(k.scheduler().call("sleeper", [&] {
            start = k.now();
            for (int i = 0; i < 20; ++i) {
                LARGE_INTEGER delay;
                delay.QuadPart = -from_ms(1);
                KeDelayExecutionThread(KernelMode, FALSE, &delay);
                wakes.push_back(k.now());
            }
            end = k.now();
        }, drive));
        ASSERT_EQ(wakes.size(), 20u);
        for (size_t i = 0; i < wakes.size(); ++i) EXPECT_EQ(wakes[i], start + from_ms(static_cast<int64_t>(i) + 1));
        EXPECT_EQ(end - start, from_ms(20));
    }
    k.scheduler().request_stop();
    server.join();
}

// A bug check in one call's body stops the machine: that call and one waiting beside it return false, and so does
// every later call, at once; serve() reports the bug check.
TEST(RealTime, ABugCheckEndsEveryCallAndLaterCallsFailAtOnce) {
    Kernel k(14);
    k.scheduler().set_real_time(true);
    RunOutcome outcome = RunOutcome::completed;
    std::thread server([&] { outcome = k.scheduler().serve(); });
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    std::promise<bool> waiting_result;
    std::atomic<bool> entered{false};
    std::thread waiting([&] {
        waiting_result.set_value(k.scheduler().call("waits forever", [&] {
            entered = true;
            KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
        }, false));
    });
    // The waiting call's thread is in the machine before the fault.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!entered && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
    ASSERT_TRUE(entered);
    bool faulty = k.scheduler().call("faulty", [&] { k.bug_check("TEST_FAULT", "a test's deliberate fault"); });
    EXPECT_FALSE(faulty);
    auto result = waiting_result.get_future();
    EXPECT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready) << "the waiting call ended";
    EXPECT_FALSE(result.get());
    server.join();
    waiting.join();
    EXPECT_EQ(outcome, RunOutcome::bugcheck);
    bool ran = false;
    EXPECT_FALSE(k.scheduler().call("after", [&] { ran = true; }));
    EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace sim

namespace sim {
namespace {

// Switches save each fiber's registers and floating-point control words: every fiber keeps its rounding mode (x87
// and SSE alike) and the values it holds across switch points, whatever the others set meanwhile, and the side that
// runs the scheduler gets its own mode back.
TEST(Fibers, EachKeepsItsRoundingModeAndValuesAcrossSwitches) {
    const int modes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};
    ASSERT_EQ(fegetround(), FE_TONEAREST);
    Scheduler s(12);
    int wrong_mode = 0, wrong_quotient = 0, wrong_values = 0;
    std::vector<double> quotients(4);
    for (int i = 0; i < 4; ++i) {
        s.spawn("fiber " + std::to_string(i), [&, i] {
            fesetround(modes[i]);
            volatile double one = 1.0, three = 3.0;
            quotients[i] = one / three;  // SSE division: rounded by this fiber's MXCSR
            uint64_t a = static_cast<uint64_t>(i) * 11 + 1, b = a * 3, c = b ^ 0x55, d = c + a, e = d * 7;
            const uint64_t start = a + b + c + d + e;
            for (int round = 0; round < 50; ++round) {
                s.yield();
                if (fegetround() != modes[i]) ++wrong_mode;
                if (one / three != quotients[i]) ++wrong_quotient;
                a += 1, b += 2, c += 3, d += 4, e += 5;
            }
            if (a + b + c + d + e != start + 50 * 15) ++wrong_values;
        });
    }
    ASSERT_EQ(s.run(), RunOutcome::completed);
    EXPECT_EQ(fegetround(), FE_TONEAREST);
    fesetround(FE_TONEAREST);
    EXPECT_EQ(wrong_mode, 0);
    EXPECT_EQ(wrong_quotient, 0);
    EXPECT_EQ(wrong_values, 0);
    EXPECT_LT(quotients[2], quotients[1]);  // the modes did apply: downward below upward
    EXPECT_GT(s.switches(), 150u);
}

}  // namespace
}  // namespace sim
