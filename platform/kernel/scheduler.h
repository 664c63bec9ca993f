// The simulated machine's scheduler: simulated threads on fibers, one running at a time, a seeded
// choice at every switch point, and virtual time that advances only when nothing can run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <ucontext.h>

namespace sim {

// Virtual time in the kernel's unit, 100 ns, counted from boot.
using VirtualTime = int64_t;
constexpr VirtualTime kNever = INT64_MAX;
constexpr VirtualTime from_ms(int64_t ms) { return ms * 10'000; }
constexpr VirtualTime from_us(int64_t us) { return us * 10; }
constexpr double to_ms(VirtualTime t) { return static_cast<double>(t) / 10'000.0; }

enum class WakeReason { signalled, timed_out, stopping };

class Scheduler;

struct SimThread {
    enum class State { runnable, blocked, finished };

    int id = 0;  // grows with every spawn: the order of ids is the order of spawning
    std::string name;
    bool daemon = false;  // serves others (bus, reader firmware); does not keep a run going
    // Read it freely; only the scheduler writes it, since it keeps its runnable and blocked lists in step.
    State state = State::runnable;
    uint8_t irql = 0;

    // What the thread waits for while blocked, for wake-ups and the deadlock report.
    std::string waiting_for;
    const void* wait_object = nullptr;
    VirtualTime deadline = kNever;
    WakeReason wake_reason = WakeReason::signalled;

    // Per-thread data of the layers above (the kernel keeps its thread record here).
    void* kernel_data = nullptr;

   private:
    friend class Scheduler;
    std::function<void()> body_;
    // Where the thread stopped: a context of swapcontext's (out of line, it is large) or, when the switches are the
    // scheduler's own, a stack pointer.
    std::unique_ptr<ucontext_t> context_;
    void* stack_pointer_ = nullptr;
    void* stack_ = nullptr;
    size_t stack_size_ = 0;
    void* fake_stack_ = nullptr;  // AddressSanitizer's per-fiber bookkeeping
};

struct TraceEvent {
    VirtualTime time;
    std::string thread;
    std::string what;
    bool operator==(const TraceEvent&) const = default;
};

enum class RunOutcome { completed, deadlock, bugcheck, step_limit };
const char* to_string(RunOutcome outcome);

class Scheduler {
   public:
    explicit Scheduler(uint64_t seed);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Creates a simulated thread; it first runs when run() picks it.
    SimThread& spawn(std::string name, std::function<void()> body, bool daemon = false);

    // Runs simulated threads until every non-daemon thread has finished and nothing is runnable
    // (daemons stay parked; time does not advance for them alone), or until a deadlock, a bug
    // check, or max_steps switches.
    RunOutcome run(uint64_t max_steps = 50'000'000);

    // Wakes every daemon with WakeReason::stopping and runs until all threads have ended.
    void stop_daemons();

    // ---- Real time ---------------------------------------------------------------------------
    // For hosts whose clients wait in real time (a smart card daemon): virtual time follows the
    // wall clock, and serve() runs the machine until request_stop(), taking work posted from other
    // OS threads. Everything else stays as in virtual time: one simulated thread at a time. A
    // time-out's threads run at the virtual time it names, even when the OS thread that runs them
    // wakes a little late: waits that follow one another on the virtual clock (a bus's frames) do
    // not add up the lateness of each wake-up. Work posted from outside runs at the wall time it
    // was taken, or later.
    void set_real_time(bool on);
    bool real_time() const { return real_time_; }
    // Thread-safe: runs `body` in a new simulated thread as soon as the machine can.
    void post(std::string name, std::function<void()> body);
    // Thread-safe, from any OS thread but the one in serve(): runs `body` in a new simulated thread
    // and returns once it has finished (true), or once the machine has stopped (false: a bug check,
    // after which `body` may have been cut off, or the end of serve()). With `drive`, the calling
    // OS thread runs the machine itself whenever no other OS thread does, waiting out its time-outs
    // in the meantime: a request then needs no hand-over to the serving thread and back, each a
    // wake-up of a sleeping OS thread. Without it, the call only waits (for requests that wait for
    // something from outside, such as a card insertion, and would otherwise keep a thread busy).
    // The simulated threads move between OS threads this way; nothing of theirs is tied to one.
    bool call(std::string name, std::function<void()> body, bool drive = true);
    // Thread-safe: makes serve() return once nothing is runnable.
    void request_stop();
    RunOutcome serve();
    // Called for each finished thread that serve() frees, so the layers above drop their records.
    std::function<void(SimThread&)> on_reap;

    // ---- Called from inside simulated threads -------------------------------------------------
    bool in_thread() const { return current_ != nullptr; }
    SimThread& current();
    SimThread* current_or_null() { return current_; }
    // A switch point: the seed decides whether another runnable thread goes first.
    void yield();
    // Lets the other runnable threads go first whatever preempt_per_mille says: for a thread that waits, without
    // blocking, for others to finish what they are doing.
    void give_way();
    // Blocks the current thread until wake(), its deadline, or the end of the run for daemons. `what` is copied
    // into the thread's own text, whose room stays from one wait to the next: a wait allocates nothing.
    WakeReason block(std::string_view what, const void* object, VirtualTime deadline);
    void wake(SimThread& thread);
    // Wakes every thread blocked on `object`, in spawn order; returns how many.
    size_t wake_waiting_on(const void* object);
    void sleep_until(VirtualTime when);
    void sleep_for(VirtualTime duration) { sleep_until(now_ + duration); }
    // Ends the run from inside a thread (a bug check); the thread never runs again.
    [[noreturn]] void abort_run(const std::string& report);

    // ---- State -----------------------------------------------------------------------------
    VirtualTime now() const { return now_; }
    bool stopping() const { return stopping_; }
    const std::string& abort_report() const { return abort_report_; }
    const std::string& deadlock_report() const { return deadlock_report_; }
    uint64_t seed() const { return seed_; }
    uint64_t switches() const { return switches_; }
    // A draw from the run's seeded generator, for components that vary with the seed.
    uint64_t random_below(uint64_t bound);
    const std::vector<std::unique_ptr<SimThread>>& threads() const { return threads_; }
    // The runnable and the blocked threads, each in spawn order.
    const std::vector<SimThread*>& runnable_threads() const { return runnable_; }
    const std::vector<SimThread*>& blocked_threads() const { return blocked_; }

    // Trace of switches, blocks and wake-ups; the same seed gives the same trace.
    bool tracing = false;
    std::vector<TraceEvent> trace;
    void note(const std::string& what);

    // Switch points can be made rarer for speed: a thread keeps running at a switch point unless
    // a draw below preempt_per_mille says otherwise. 1000 means every switch point is a coin toss. 0 means no
    // switch points at all and no draws for them: a thread runs until it waits or gives way, as a thread of a real
    // machine mostly does (for a host that serves applications rather than explores interleavings).
    uint32_t preempt_per_mille = 1000;

   private:
    // Waits on `wake` until the wall time of `when`, or less when woken; the caller looks again either way. An OS
    // thread's timed wait ends some tens of microseconds late on a busy or virtual machine, which every bus frame of
    // an exchange would add: the last kWatchBeforeTimeOut is spent watching the clock instead, at most that much
    // processor time per time-out.
    void wait_for_time_out(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, VirtualTime when);
    static constexpr std::chrono::microseconds kWatchBeforeTimeOut{50};
    static void fiber_entry(unsigned lo, unsigned hi);  // makecontext's entry: the scheduler's address in halves
    [[noreturn]] static void fiber_run(Scheduler* self);
    void switch_to_thread(SimThread& thread);
    void switch_to_scheduler();
    bool advance_time();
    void reap_finished();
    VirtualTime wall_now() const;
    std::chrono::steady_clock::time_point wall_point(VirtualTime when) const;
    // Runs the machine in real time until nothing is runnable, no time-out is due on the wall clock
    // and nothing is posted: due time-outs first, each at its own virtual time, then posted work.
    RunOutcome run_due();
    // With outside_mutex_ held by `lock` and no other OS thread running the machine: runs it on this
    // OS thread (run_due with the lock released), then publishes what the others need to know.
    struct Waiter;
    void drive(std::unique_lock<std::mutex>& lock);
    bool work_due_locked() const;
    // Wakes an OS thread that can run posted work: a waiting driver, else the serving thread.
    void kick_locked();
    std::string describe_blocked() const;
    // State changes, each keeping the lists below in step with SimThread::state.
    void make_blocked(SimThread& thread);
    void make_runnable(SimThread& thread, WakeReason reason);
    void make_finished(SimThread& thread);
    // Makes runnable, in spawn order, every blocked thread for which `which` holds; `event` names the change in
    // the trace (none when null). Returns how many.
    template <typename Which>
    size_t wake_blocked_if(Which which, WakeReason reason, const char* event) {
        size_t woken = 0;
        for (size_t i = 0; i < blocked_.size();) {
            SimThread& thread = *blocked_[i];
            if (!which(thread)) {
                ++i;
                continue;
            }
            make_runnable(thread, reason);  // leaves blocked_: the next one moves to index i
            if (tracing && event) trace.push_back({now_, thread.name, event});
            ++woken;
        }
        return woken;
    }
    VirtualTime earliest_deadline() const;

    uint64_t seed_;
    std::mt19937_64 rng_;
    std::vector<std::unique_ptr<SimThread>> threads_;  // every thread not yet reaped, in spawn order
    // The runnable threads and the blocked ones, each sorted by id, kept up to date at every state change: a
    // switch then picks among the runnable threads without scanning every thread ever spawned, and the pick's
    // index means the same thread as in a scan of threads_ in spawn order, so a seed picks what it always did.
    std::vector<SimThread*> runnable_;
    std::vector<SimThread*> blocked_;
    size_t unfinished_workers_ = 0;  // non-daemon threads that have not finished
    SimThread* current_ = nullptr;
    ucontext_t scheduler_context_{};
    void* scheduler_stack_pointer_ = nullptr;
    const void* scheduler_stack_bottom_ = nullptr;
    size_t scheduler_stack_size_ = 0;
    VirtualTime now_ = 0;
    int next_id_ = 1;
    uint64_t switches_ = 0;
    bool stopping_ = false;
    bool aborted_ = false;
    std::string abort_report_;
    std::string deadlock_report_;

    bool real_time_ = false;
    std::chrono::steady_clock::time_point wall_origin_{};
    // Stacks of threads that serve() freed, kept for the next threads (a request is a thread).
    std::vector<void*> spare_stacks_;

    // Shared with OS threads outside the machine, under outside_mutex_.
    struct Posted {
        std::string name;
        std::function<void()> body;
    };
    // An OS thread waiting in call() or serve().
    struct Waiter {
        std::condition_variable wake;
        bool done = false;    // its call has finished
        bool driver = false;  // may run the machine
    };
    std::mutex outside_mutex_;
    // Swapped with taken_ (the driving thread's, outside the lock) to be spawned: both keep their room, and
    // posting allocates nothing once they have grown.
    std::vector<Posted> posted_;
    std::vector<Posted> taken_;
    bool stop_requested_ = false;
    bool serve_ended_ = false;              // serve() has returned: calls fail from now on
    bool running_ = false;                   // an OS thread is running the machine
    RunOutcome stopped_ = RunOutcome::completed;  // a bug check or step limit ends every call
    bool has_stopped_ = false;
    VirtualTime next_deadline_ = kNever;     // the earliest time-out, as the last run left it
    std::vector<Waiter*> waiters_;           // in call(), in arrival order
    Waiter serve_waiter_;
    bool serve_waiting_ = false;
    VirtualTime serve_armed_ = kNever;       // the time-out the serving thread sleeps towards
};

}  // namespace sim
