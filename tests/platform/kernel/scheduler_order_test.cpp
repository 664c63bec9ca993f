// The scheduler's runnable and blocked lists: picks under a seed equal those of a scan of every thread in spawn order, through blocks, wake-ups, time-outs, spawns and endings.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "scheduler.h"

namespace sim {
namespace {

// Threads of `scheduler` in `state`, found by scanning every thread in spawn order.
std::vector<SimThread*> scan(const Scheduler& scheduler, SimThread::State state) {
    std::vector<SimThread*> found;
    for (const auto& thread : scheduler.threads()) {
        if (thread->state == state) found.push_back(thread.get());
    }
    return found;
}

// Replays a trace against a plain model of the scheduler: every thread in spawn order with its state, and at each
// switch the pick a scan of that list would make with a generator of the same seed. Returns the first switch that
// ran another thread than the model's pick, or an empty string; counts the switches that had three or more threads
// to choose from.
std::string first_divergence(const std::vector<TraceEvent>& trace, uint64_t seed, int* wide_choices) {
    std::mt19937_64 draws(seed);
    std::vector<std::pair<std::string, SimThread::State>> model;
    auto find = [&](const std::string& name) -> SimThread::State* {
        for (auto& [n, state] : model) {
            if (n == name) return &state;
        }
        return nullptr;
    };
    *wide_choices = 0;
    for (size_t i = 0; i < trace.size(); ++i) {
        const TraceEvent& e = trace[i];
        if (e.what == "spawned") {
            model.emplace_back(e.thread, SimThread::State::runnable);
            continue;
        }
        SimThread::State* state = find(e.thread);
        if (!state) return "event " + std::to_string(i) + " names an unknown thread " + e.thread;
        if (e.what.rfind("blocks on ", 0) == 0) {
            *state = SimThread::State::blocked;
        } else if (e.what == "woken" || e.what == "timed out") {
            *state = SimThread::State::runnable;
        } else if (e.what == "finished") {
            *state = SimThread::State::finished;
        } else if (e.what == "runs") {
            std::vector<std::string> runnable;
            for (const auto& [name, s] : model) {
                if (s == SimThread::State::runnable) runnable.push_back(name);
            }
            if (runnable.empty()) return "event " + std::to_string(i) + ": " + e.thread + " ran with nothing runnable";
            if (runnable.size() >= 3) ++*wide_choices;
            const size_t pick =
                runnable.size() > 1 ? std::uniform_int_distribution<uint64_t>(0, runnable.size() - 1)(draws) : 0;
            if (runnable[pick] != e.thread) {
                return "event " + std::to_string(i) + ": " + e.thread + " ran where a scan picks " + runnable[pick];
            }
        }
    }
    return "";
}

// A busy machine: workers that yield, sleep, wait on shared objects with time-outs, wake each other one by one
// and by object, spawn short-lived helpers and end early; daemons that serve with time-outs of their own. Every
// choice comes from generators of the workers' own, so the scheduler's generator makes only the picks. Inside the
// threads the lists are checked against a scan at every step.
struct Machine {
    explicit Machine(uint64_t seed) : scheduler(seed) {
        scheduler.tracing = true;
        for (int d = 0; d < 2; ++d) {
            scheduler.spawn("daemon " + std::to_string(d), [this, seed, d] { daemon(seed, d); }, true);
        }
        for (int w = 0; w < 9; ++w) {
            workers.push_back(&scheduler.spawn("worker " + std::to_string(w), [this, seed, w] { worker(seed, w); }));
        }
    }

    void check_lists() {
        if (scheduler.runnable_threads() != scan(scheduler, SimThread::State::runnable)) ++list_mismatches;
        if (scheduler.blocked_threads() != scan(scheduler, SimThread::State::blocked)) ++list_mismatches;
    }

    void worker(uint64_t seed, int index) {
        std::mt19937_64 own(seed * 1000 + static_cast<uint64_t>(index));
        for (int step = 0; step < 60; ++step) {
            check_lists();
            const VirtualTime now = scheduler.now();
            switch (own() % 8) {
                case 0:
                case 1:
                    scheduler.yield();
                    break;
                case 2:
                    scheduler.sleep_for(from_us(static_cast<int64_t>(own() % 3) * 500));
                    break;
                case 3:
                    scheduler.block("object", &objects[own() % 3],
                                    now + from_us(100 + static_cast<int64_t>(own() % 4000)));
                    break;
                case 4:
                    woken_by_object += scheduler.wake_waiting_on(&objects[own() % 3]);
                    break;
                case 5:
                    scheduler.wake(*workers[own() % workers.size()]);
                    break;
                case 6:
                    if (helpers < 12) {
                        const int n = helpers++;
                        scheduler.spawn("helper " + std::to_string(n), [this] {
                            check_lists();
                            scheduler.yield();
                            scheduler.sleep_for(from_us(700));
                            check_lists();
                        });
                    }
                    break;
                case 7:
                    if (own() % 30 == 0) return;  // ends early
                    break;
            }
        }
    }

    void daemon(uint64_t seed, int index) {
        std::mt19937_64 own(seed * 7 + static_cast<uint64_t>(index));
        for (;;) {
            check_lists();
            const VirtualTime deadline = scheduler.now() + from_us(200 + static_cast<int64_t>(own() % 1500));
            if (scheduler.block("service", &objects[3 + index], deadline) == WakeReason::stopping) return;
            woken_by_object += scheduler.wake_waiting_on(&objects[own() % 3]);
        }
    }

    Scheduler scheduler;
    std::vector<SimThread*> workers;
    int objects[5] = {};
    int helpers = 0;
    size_t woken_by_object = 0;
    int list_mismatches = 0;
};

TEST(SchedulerOrder, EverySwitchPicksWhatAScanInSpawnOrderWouldPick) {
    for (uint64_t seed : {1u, 2u, 7u, 42u, 1234u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        Machine machine(seed);
        ASSERT_EQ(machine.scheduler.run(), RunOutcome::completed);
        const std::vector<TraceEvent> trace = machine.scheduler.trace;  // before the daemons are told to stop
        int wide = 0;
        EXPECT_EQ(first_divergence(trace, seed, &wide), "");
        EXPECT_EQ(machine.list_mismatches, 0);
        // The run must have exercised what it is about: many multi-way picks, wake-ups by object, time-outs,
        // helpers spawned and finished mid-run.
        EXPECT_GT(wide, 50) << "too few switches with three or more threads to choose from";
        EXPECT_GT(machine.woken_by_object, 0u);
        EXPECT_GT(machine.helpers, 0);
        size_t timed_out = 0, finished = 0;
        for (const TraceEvent& e : trace) {
            timed_out += e.what == "timed out";
            finished += e.what == "finished";
        }
        EXPECT_GT(timed_out, 0u);
        EXPECT_EQ(finished, machine.workers.size() + static_cast<size_t>(machine.helpers));
        EXPECT_TRUE(machine.scheduler.runnable_threads().empty());
        EXPECT_EQ(machine.scheduler.blocked_threads().size(), 2u);  // the daemons

        machine.scheduler.stop_daemons();
        EXPECT_TRUE(machine.scheduler.runnable_threads().empty());
        EXPECT_TRUE(machine.scheduler.blocked_threads().empty());
        EXPECT_EQ(scan(machine.scheduler, SimThread::State::finished).size(), machine.scheduler.threads().size());
    }
}

TEST(SchedulerOrder, SameSeedSameTraceThroughBlocksWakesAndSpawns) {
    Machine first(99), second(99);
    ASSERT_EQ(first.scheduler.run(), RunOutcome::completed);
    ASSERT_EQ(second.scheduler.run(), RunOutcome::completed);
    EXPECT_EQ(first.scheduler.trace, second.scheduler.trace);
    EXPECT_EQ(first.scheduler.switches(), second.scheduler.switches());
    first.scheduler.stop_daemons();
    second.scheduler.stop_daemons();
}

// Waking by object: exactly the threads blocked on that object, in spawn order, each with a "woken" trace entry;
// threads blocked on something else, or sleeping, stay blocked until their own time.
TEST(SchedulerOrder, WakeWaitingOnWakesTheObjectsWaitersInSpawnOrder) {
    Scheduler s(5);
    s.tracing = true;
    int door = 0, window = 0;
    std::map<std::string, WakeReason> reasons;
    std::map<std::string, VirtualTime> woke_at;
    auto waiter = [&](const std::string& name, const void* object, VirtualTime deadline) {
        s.spawn(name, [&, name, object, deadline] {
            reasons[name] = s.block("waits", object, deadline);
            woke_at[name] = s.now();
        });
    };
    waiter("door 1", &door, from_ms(50));
    waiter("window", &window, from_ms(20));
    waiter("door 2", &door, kNever);
    waiter("door 3", &door, from_ms(50));
    size_t woken = 99;
    std::vector<std::string> order;
    s.spawn("opener", [&] {
        s.sleep_for(from_ms(10));
        woken = s.wake_waiting_on(&door);
        for (size_t i = s.trace.size() - woken; i < s.trace.size(); ++i) order.push_back(s.trace[i].thread);
        EXPECT_EQ(s.wake_waiting_on(&door), 0u);  // nobody is left on it
    });
    ASSERT_EQ(s.run(), RunOutcome::completed);
    EXPECT_EQ(woken, 3u);
    EXPECT_EQ(order, (std::vector<std::string>{"door 1", "door 2", "door 3"}));
    for (const char* name : {"door 1", "door 2", "door 3"}) {
        EXPECT_EQ(reasons[name], WakeReason::signalled) << name;
        EXPECT_EQ(woke_at[name], from_ms(10)) << name;
    }
    EXPECT_EQ(reasons["window"], WakeReason::timed_out);
    EXPECT_EQ(woke_at["window"], from_ms(20));
}

}  // namespace
}  // namespace sim
