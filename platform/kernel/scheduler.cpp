// The simulated machine's scheduler: fibers, seeded switch points, virtual time, deadlock report.
#include "scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
extern "C" void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                                size_t* size_old);
#else
#define SIM_ASAN 0
#endif

namespace sim {

namespace {

#if SIM_ASAN
constexpr size_t kStackSize = 1024 * 1024;
#else
constexpr size_t kStackSize = 256 * 1024;
#endif

// Threads abandoned by a bug check keep their stacks here for the life of the process: their
// frames may still own memory, and freeing the stack would turn that into leak reports.
std::vector<void*>& abandoned_stacks() {
    static auto* stacks = new std::vector<void*>;  // never destroyed: it must outlive the leak check
    return *stacks;
}

}  // namespace

const char* to_string(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::completed: return "completed";
        case RunOutcome::deadlock: return "deadlock";
        case RunOutcome::bugcheck: return "bug check";
        case RunOutcome::step_limit: return "step limit";
    }
    return "?";
}

Scheduler::Scheduler(uint64_t seed) : seed_(seed), rng_(seed) {}

Scheduler::~Scheduler() {
    for (auto& thread : threads_) {
        if (thread->state == SimThread::State::finished || !thread->stack_) {
            std::free(thread->stack_);
        } else {
            abandoned_stacks().push_back(thread->stack_);
        }
    }
}

SimThread& Scheduler::spawn(std::string name, std::function<void()> body, bool daemon) {
    auto thread = std::make_unique<SimThread>();
    thread->id = next_id_++;
    thread->name = std::move(name);
    thread->daemon = daemon;
    thread->body_ = std::move(body);
    thread->stack_size_ = kStackSize;
    thread->stack_ = std::aligned_alloc(64, kStackSize);
    if (!thread->stack_) {
        std::fprintf(stderr, "sim: out of memory for a thread stack\n");
        std::abort();
    }
    getcontext(&thread->context_);
    thread->context_.uc_stack.ss_sp = thread->stack_;
    thread->context_.uc_stack.ss_size = kStackSize;
    thread->context_.uc_link = nullptr;
    auto bits = reinterpret_cast<uintptr_t>(this);
    makecontext(&thread->context_, reinterpret_cast<void (*)()>(&Scheduler::fiber_entry), 2,
                static_cast<unsigned>(bits & 0xffffffffu), static_cast<unsigned>(bits >> 32));
    if (stopping_ && daemon) thread->wake_reason = WakeReason::stopping;
    SimThread& ref = *thread;
    threads_.push_back(std::move(thread));
    if (tracing) trace.push_back({now_, ref.name, "spawned"});
    return ref;
}

void Scheduler::fiber_entry(unsigned lo, unsigned hi) {
    auto* self = reinterpret_cast<Scheduler*>(static_cast<uintptr_t>(lo) |
                                              (static_cast<uintptr_t>(hi) << 32));
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &self->scheduler_stack_bottom_,
                                    &self->scheduler_stack_size_);
#endif
    SimThread* thread = self->current_;
    thread->body_();
    thread->body_ = nullptr;
    thread->state = SimThread::State::finished;
    if (self->tracing) self->trace.push_back({self->now_, thread->name, "finished"});
#if SIM_ASAN
    __sanitizer_start_switch_fiber(nullptr, self->scheduler_stack_bottom_,
                                   self->scheduler_stack_size_);
#endif
    setcontext(&self->scheduler_context_);
}

void Scheduler::switch_to_thread(SimThread& thread) {
    current_ = &thread;
    ++switches_;
#if SIM_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, thread.stack_, thread.stack_size_);
#endif
    swapcontext(&scheduler_context_, &thread.context_);
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(fake, nullptr, nullptr);
#endif
    current_ = nullptr;
}

void Scheduler::switch_to_scheduler() {
    SimThread* thread = current_;
#if SIM_ASAN
    __sanitizer_start_switch_fiber(&thread->fake_stack_, scheduler_stack_bottom_,
                                   scheduler_stack_size_);
#endif
    swapcontext(&thread->context_, &scheduler_context_);
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(thread->fake_stack_, &scheduler_stack_bottom_,
                                    &scheduler_stack_size_);
#endif
}

SimThread& Scheduler::current() {
    if (!current_) {
        std::fprintf(stderr, "sim: a blocking kernel service was called outside a simulated thread\n");
        std::abort();
    }
    return *current_;
}

uint64_t Scheduler::random_below(uint64_t bound) {
    if (bound <= 1) return 0;
    return std::uniform_int_distribution<uint64_t>(0, bound - 1)(rng_);
}

void Scheduler::note(const std::string& what) {
    if (tracing) trace.push_back({now_, current_ ? current_->name : std::string("-"), what});
}

void Scheduler::yield() {
    if (!current_) return;
    if (preempt_per_mille < 1000 && random_below(1000) >= preempt_per_mille) return;
    switch_to_scheduler();
}

WakeReason Scheduler::block(std::string what, const void* object, VirtualTime deadline) {
    SimThread& thread = current();
    if (thread.daemon && stopping_) return WakeReason::stopping;
    thread.state = SimThread::State::blocked;
    thread.waiting_for = std::move(what);
    thread.wait_object = object;
    thread.deadline = deadline;
    thread.wake_reason = WakeReason::signalled;
    if (tracing) trace.push_back({now_, thread.name, "blocks on " + thread.waiting_for});
    switch_to_scheduler();
    thread.wait_object = nullptr;
    thread.deadline = kNever;
    return thread.wake_reason;
}

void Scheduler::wake(SimThread& thread) {
    if (thread.state != SimThread::State::blocked) return;
    thread.state = SimThread::State::runnable;
    thread.wake_reason = WakeReason::signalled;
    if (tracing) trace.push_back({now_, thread.name, "woken"});
}

void Scheduler::sleep_until(VirtualTime when) {
    if (when <= now_) {
        yield();
        return;
    }
    while (now_ < when) {
        if (block("sleep", nullptr, when) == WakeReason::stopping) return;
    }
}

void Scheduler::abort_run(const std::string& report) {
    aborted_ = true;
    abort_report_ = report;
    if (tracing) trace.push_back({now_, current_ ? current_->name : "-", "bug check"});
    if (!current_) {
        std::fprintf(stderr, "%s\n", report.c_str());
        std::abort();
    }
    switch_to_scheduler();
    std::fprintf(stderr, "sim: a thread resumed after a bug check\n");
    std::abort();
}

// Moves virtual time to the earliest deadline and wakes the threads whose deadline it is.
bool Scheduler::advance_time() {
    VirtualTime next = kNever;
    for (auto& thread : threads_) {
        if (thread->state == SimThread::State::blocked) next = std::min(next, thread->deadline);
    }
    if (next == kNever) return false;
    now_ = std::max(now_, next);
    for (auto& thread : threads_) {
        if (thread->state == SimThread::State::blocked && thread->deadline <= now_) {
            thread->state = SimThread::State::runnable;
            thread->wake_reason = WakeReason::timed_out;
            if (tracing) trace.push_back({now_, thread->name, "timed out"});
        }
    }
    return true;
}

std::string Scheduler::describe_blocked() const {
    std::ostringstream out;
    out << "deadlock at " << to_ms(now_) << " ms: every thread is blocked and no time-out is pending\n";
    for (auto& thread : threads_) {
        if (thread->state != SimThread::State::blocked) continue;
        out << "  thread '" << thread->name << "'" << (thread->daemon ? " (service)" : "")
            << " waits on " << thread->waiting_for;
        if (thread->wait_object) out << " @" << thread->wait_object;
        out << "\n";
    }
    return out.str();
}

RunOutcome Scheduler::run(uint64_t max_steps) {
    if (aborted_) return RunOutcome::bugcheck;
    std::vector<SimThread*> runnable;
    for (uint64_t step = 0; step < max_steps; ++step) {
        runnable.clear();
        bool work_left = false;
        for (auto& thread : threads_) {
            if (thread->state == SimThread::State::runnable) runnable.push_back(thread.get());
            if (!thread->daemon && thread->state != SimThread::State::finished) work_left = true;
        }
        if (runnable.empty()) {
            if (!work_left && !stopping_) return RunOutcome::completed;
            bool any_blocked = std::any_of(threads_.begin(), threads_.end(), [](auto& t) {
                return t->state == SimThread::State::blocked;
            });
            if (!any_blocked) return RunOutcome::completed;
            if (real_time_) {
                // Time follows the wall clock: serve() waits for it.
                return RunOutcome::completed;
            }
            if (!advance_time()) {
                if (stopping_) return RunOutcome::completed;
                deadlock_report_ = describe_blocked();
                return RunOutcome::deadlock;
            }
            continue;
        }
        SimThread* next = runnable[random_below(runnable.size())];
        if (real_time_) now_ = std::max(now_, wall_now());
        if (tracing) trace.push_back({now_, next->name, "runs"});
        switch_to_thread(*next);
        if (aborted_) return RunOutcome::bugcheck;
    }
    return RunOutcome::step_limit;
}

void Scheduler::set_real_time(bool on) {
    real_time_ = on;
    // Virtual time so far counts as having passed: the wall clock continues from it.
    wall_origin_ = std::chrono::steady_clock::now() - std::chrono::nanoseconds(now_ * 100);
}

VirtualTime Scheduler::wall_now() const {
    auto elapsed = std::chrono::steady_clock::now() - wall_origin_;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count() / 100;
}

void Scheduler::post(std::string name, std::function<void()> body) {
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        posted_.emplace_back(std::move(name), std::move(body));
    }
    posted_signal_.notify_all();
}

void Scheduler::request_stop() {
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        stop_requested_ = true;
    }
    posted_signal_.notify_all();
}

void Scheduler::take_posted() {
    std::deque<std::pair<std::string, std::function<void()>>> work;
    {
        std::lock_guard<std::mutex> lock(posted_mutex_);
        work.swap(posted_);
    }
    for (auto& [name, body] : work) spawn(std::move(name), std::move(body));
}

void Scheduler::wait_for_wall_clock(VirtualTime deadline) {
    std::unique_lock<std::mutex> lock(posted_mutex_);
    auto ready = [&] { return !posted_.empty() || stop_requested_; };
    if (deadline == kNever) {
        posted_signal_.wait(lock, ready);
    } else {
        auto when = wall_origin_ + std::chrono::nanoseconds(deadline * 100);
        posted_signal_.wait_until(lock, when, ready);
    }
}

// A long-running host posts a thread per request: finished threads are freed between runs so
// that neither memory nor the scheduler's scans grow with the number of requests served.
void Scheduler::reap_finished() {
    std::erase_if(threads_, [this](const std::unique_ptr<SimThread>& thread) {
        if (thread->state != SimThread::State::finished) return false;
        if (on_reap) on_reap(*thread);
        std::free(thread->stack_);
        thread->stack_ = nullptr;
        return true;
    });
}

RunOutcome Scheduler::serve() {
    if (!real_time_) set_real_time(true);
    for (;;) {
        take_posted();
        RunOutcome outcome = run();
        if (outcome == RunOutcome::completed) reap_finished();
        if (outcome == RunOutcome::bugcheck || outcome == RunOutcome::step_limit) return outcome;
        // Nothing can run: wait for the next deadline on the wall clock or for posted work.
        VirtualTime next = kNever;
        for (auto& thread : threads_) {
            if (thread->state == SimThread::State::blocked) next = std::min(next, thread->deadline);
        }
        {
            std::lock_guard<std::mutex> lock(posted_mutex_);
            if (stop_requested_ && posted_.empty()) return RunOutcome::completed;
        }
        wait_for_wall_clock(next);
        now_ = std::max(now_, wall_now());
        for (auto& thread : threads_) {
            if (thread->state == SimThread::State::blocked && thread->deadline <= now_) {
                thread->state = SimThread::State::runnable;
                thread->wake_reason = WakeReason::timed_out;
            }
        }
    }
}

void Scheduler::stop_daemons() {
    stopping_ = true;
    for (auto& thread : threads_) {
        if (thread->daemon && thread->state == SimThread::State::blocked) {
            thread->state = SimThread::State::runnable;
            thread->wake_reason = WakeReason::stopping;
        }
    }
    run();
}

}  // namespace sim
