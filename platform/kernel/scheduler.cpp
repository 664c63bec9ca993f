// The simulated machine's scheduler: fibers, seeded switch points, virtual time, deadlock report.
#include "scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include <sys/prctl.h>

#if defined(__SANITIZE_ADDRESS__)
#define SIM_ASAN 1
extern "C" void __sanitizer_start_switch_fiber(void** fake_stack_save, const void* bottom, size_t size);
extern "C" void __sanitizer_finish_switch_fiber(void* fake_stack_save, const void** bottom_old,
                                                size_t* size_old);
extern "C" void __asan_unpoison_memory_region(void const volatile* addr, size_t size);
#else
#define SIM_ASAN 0
#endif

// Switching fibers. swapcontext also saves and restores the signal mask, a system call at every switch, twice per
// switch point (there and back), though no simulated thread ever touches its mask: at over a hundred switch points
// per APDU these calls took most of the host's CPU time per APDU. On x86-64 the scheduler switches on its own instead,
// keeping what a called function must preserve (rbx, rbp, r12 to r15, the stack pointer) and, as swapcontext
// does, each fiber's floating-point control words (MXCSR, x87 control word). A build with shadow stacks
// (-fcf-protection) keeps swapcontext, which knows how to switch those.
#if defined(__x86_64__) && !(defined(__CET__) && (__CET__ & 2))
#define SIM_OWN_SWITCH 1
#else
#define SIM_OWN_SWITCH 0
#endif

#if SIM_OWN_SWITCH
// Pushes the callee-saved registers and the control words on the running stack, stores the stack pointer in
// *save, and resumes the side whose stack pointer is `resume`.
extern "C" void sim_fiber_switch(void** save, void* resume);
// A new fiber's first return address: calls the function in r13 with r12 as its argument, both from the fiber's
// first frame; that function never returns.
extern "C" void sim_fiber_start();
asm(R"(
        .pushsection .text
        .p2align 4
        .globl sim_fiber_switch
        .hidden sim_fiber_switch
        .type sim_fiber_switch, @function
sim_fiber_switch:
        pushq %rbp
        pushq %rbx
        pushq %r12
        pushq %r13
        pushq %r14
        pushq %r15
        subq $8, %rsp
        stmxcsr (%rsp)
        fnstcw 4(%rsp)
        movq %rsp, (%rdi)
        movq %rsi, %rsp
        ldmxcsr (%rsp)
        fldcw 4(%rsp)
        addq $8, %rsp
        popq %r15
        popq %r14
        popq %r13
        popq %r12
        popq %rbx
        popq %rbp
        ret
        .size sim_fiber_switch, .-sim_fiber_switch

        .p2align 4
        .globl sim_fiber_start
        .hidden sim_fiber_start
        .type sim_fiber_start, @function
sim_fiber_start:
        movq %r12, %rdi
        callq *%r13
        ud2
        .size sim_fiber_start, .-sim_fiber_start
        .popsection
)");
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

std::vector<SimThread*>::iterator position_of(std::vector<SimThread*>& list, int id) {
    return std::lower_bound(list.begin(), list.end(), id, [](const SimThread* t, int key) { return t->id < key; });
}

// The lists hold few threads (those alive in one state), so a sorted vector beats any node-based set.
void insert_by_id(std::vector<SimThread*>& list, SimThread* thread) {
    if (list.empty() || list.back()->id < thread->id) {
        list.push_back(thread);
        return;
    }
    list.insert(position_of(list, thread->id), thread);
}

void erase_by_id(std::vector<SimThread*>& list, SimThread* thread) {
    auto at = position_of(list, thread->id);
    if (at != list.end() && *at == thread) list.erase(at);
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
    for (void* stack : spare_stacks_) std::free(stack);
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
    if (!spare_stacks_.empty()) {
        thread->stack_ = spare_stacks_.back();
        spare_stacks_.pop_back();
#if SIM_ASAN
        // What the stack's last thread left poisoned (its frames' red zones) is not the new thread's.
        __asan_unpoison_memory_region(thread->stack_, kStackSize);
#endif
    } else {
        thread->stack_ = std::aligned_alloc(64, kStackSize);
    }
    if (!thread->stack_) {
        std::fprintf(stderr, "sim: out of memory for a thread stack\n");
        std::abort();
    }
#if SIM_OWN_SWITCH
    // The first frame, as sim_fiber_switch leaves one, from the lowest address: the control words, r15, r14, r13,
    // r12, rbx, rbp, the return address. Its end lies 16-byte aligned, as a call needs it in sim_fiber_start.
    auto* frame = reinterpret_cast<uint64_t*>(static_cast<char*>(thread->stack_) + kStackSize - 128);
    uint32_t mxcsr = 0;
    uint16_t x87_control = 0;
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    asm volatile("fnstcw %0" : "=m"(x87_control));
    frame[0] = mxcsr | static_cast<uint64_t>(x87_control) << 32;
    frame[1] = frame[2] = frame[5] = frame[6] = 0;
    frame[3] = reinterpret_cast<uint64_t>(&Scheduler::fiber_run);
    frame[4] = reinterpret_cast<uint64_t>(this);
    frame[7] = reinterpret_cast<uint64_t>(&sim_fiber_start);
    thread->stack_pointer_ = frame;
#else
    thread->context_ = std::make_unique<ucontext_t>();
    getcontext(thread->context_.get());
    thread->context_->uc_stack.ss_sp = thread->stack_;
    thread->context_->uc_stack.ss_size = kStackSize;
    thread->context_->uc_link = nullptr;
    auto bits = reinterpret_cast<uintptr_t>(this);
    makecontext(thread->context_.get(), reinterpret_cast<void (*)()>(&Scheduler::fiber_entry), 2,
                static_cast<unsigned>(bits & 0xffffffffu), static_cast<unsigned>(bits >> 32));
#endif
    if (stopping_ && daemon) thread->wake_reason = WakeReason::stopping;
    SimThread& ref = *thread;
    threads_.push_back(std::move(thread));
    runnable_.push_back(&ref);  // the newest id: the list stays sorted
    if (!daemon) ++unfinished_workers_;
    if (tracing) trace.push_back({now_, ref.name, "spawned"});
    return ref;
}

void Scheduler::fiber_entry(unsigned lo, unsigned hi) {
    fiber_run(reinterpret_cast<Scheduler*>(static_cast<uintptr_t>(lo) | (static_cast<uintptr_t>(hi) << 32)));
}

void Scheduler::fiber_run(Scheduler* self) {
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(nullptr, &self->scheduler_stack_bottom_,
                                    &self->scheduler_stack_size_);
#endif
    SimThread* thread = self->current_;
    thread->body_();
    thread->body_ = nullptr;
    self->make_finished(*thread);
    if (self->tracing) self->trace.push_back({self->now_, thread->name, "finished"});
#if SIM_ASAN
    __sanitizer_start_switch_fiber(nullptr, self->scheduler_stack_bottom_,
                                   self->scheduler_stack_size_);
#endif
#if SIM_OWN_SWITCH
    sim_fiber_switch(&thread->stack_pointer_, self->scheduler_stack_pointer_);
#else
    setcontext(&self->scheduler_context_);
#endif
    std::abort();  // the scheduler never resumes a finished thread
}

void Scheduler::switch_to_thread(SimThread& thread) {
    current_ = &thread;
    ++switches_;
#if SIM_ASAN
    void* fake = nullptr;
    __sanitizer_start_switch_fiber(&fake, thread.stack_, thread.stack_size_);
#endif
#if SIM_OWN_SWITCH
    sim_fiber_switch(&scheduler_stack_pointer_, thread.stack_pointer_);
#else
    swapcontext(&scheduler_context_, thread.context_.get());
#endif
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
#if SIM_OWN_SWITCH
    sim_fiber_switch(&thread->stack_pointer_, scheduler_stack_pointer_);
#else
    swapcontext(thread->context_.get(), &scheduler_context_);
#endif
#if SIM_ASAN
    __sanitizer_finish_switch_fiber(thread->fake_stack_, &scheduler_stack_bottom_,
                                    &scheduler_stack_size_);
#endif
}

void Scheduler::make_blocked(SimThread& thread) {
    thread.state = SimThread::State::blocked;
    erase_by_id(runnable_, &thread);
    insert_by_id(blocked_, &thread);
}

void Scheduler::make_runnable(SimThread& thread, WakeReason reason) {
    thread.state = SimThread::State::runnable;
    thread.wake_reason = reason;
    erase_by_id(blocked_, &thread);
    insert_by_id(runnable_, &thread);
}

void Scheduler::make_finished(SimThread& thread) {
    thread.state = SimThread::State::finished;
    erase_by_id(runnable_, &thread);
    if (!thread.daemon) --unfinished_workers_;
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
    if (!current_ || preempt_per_mille == 0) return;
    if (preempt_per_mille < 1000 && random_below(1000) >= preempt_per_mille) return;
    switch_to_scheduler();
}

void Scheduler::give_way() {
    if (!current_) return;
    if (preempt_per_mille == 0) {
        switch_to_scheduler();
    } else {
        yield();  // the seed's draw, as at any switch point
    }
}

WakeReason Scheduler::block(std::string_view what, const void* object, VirtualTime deadline) {
    SimThread& thread = current();
    if (thread.daemon && stopping_) return WakeReason::stopping;
    make_blocked(thread);
    thread.waiting_for.assign(what);
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
    make_runnable(thread, WakeReason::signalled);
    if (tracing) trace.push_back({now_, thread.name, "woken"});
}

VirtualTime Scheduler::earliest_deadline() const {
    VirtualTime next = kNever;
    for (const SimThread* thread : blocked_) next = std::min(next, thread->deadline);
    return next;
}

size_t Scheduler::wake_waiting_on(const void* object) {
    return wake_blocked_if([object](const SimThread& t) { return t.wait_object == object; }, WakeReason::signalled,
                           "woken");
}

void Scheduler::sleep_until(VirtualTime when) {
    if (when <= now_) {
        give_way();
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
    VirtualTime next = earliest_deadline();
    if (next == kNever) return false;
    now_ = std::max(now_, next);
    wake_blocked_if([this](const SimThread& t) { return t.deadline <= now_; }, WakeReason::timed_out, "timed out");
    return true;
}

std::string Scheduler::describe_blocked() const {
    std::ostringstream out;
    out << "deadlock at " << to_ms(now_) << " ms: every thread is blocked and no time-out is pending\n";
    for (const SimThread* thread : blocked_) {
        out << "  thread '" << thread->name << "'" << (thread->daemon ? " (service)" : "")
            << " waits on " << thread->waiting_for;
        if (thread->wait_object) out << " @" << thread->wait_object;
        out << "\n";
    }
    return out.str();
}

RunOutcome Scheduler::run(uint64_t max_steps) {
    if (aborted_) return RunOutcome::bugcheck;
    for (uint64_t step = 0; step < max_steps; ++step) {
        if (runnable_.empty()) {
            if (unfinished_workers_ == 0 && !stopping_) return RunOutcome::completed;
            if (blocked_.empty()) return RunOutcome::completed;
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
        SimThread* next = runnable_[random_below(runnable_.size())];
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

std::chrono::steady_clock::time_point Scheduler::wall_point(VirtualTime when) const {
    return wall_origin_ + std::chrono::nanoseconds(when * 100);
}

namespace {

// A timed wait of an OS thread ends up to the kernel's timer slack (50 us by default) after its time; a bus frame is
// 1 ms. Set once per OS thread that waits for the machine's time-outs.
void keep_time_closely() {
    static thread_local bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
        done = true;
    }
}

}  // namespace

void Scheduler::wait_for_time_out(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                                  VirtualTime when) {
    keep_time_closely();
    const auto due = wall_point(when);
    const auto watch_from = due - kWatchBeforeTimeOut;
    if (std::chrono::steady_clock::now() < watch_from) {
        wake.wait_until(lock, watch_from);
        return;
    }
    lock.unlock();
    while (std::chrono::steady_clock::now() < due) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
    lock.lock();
}

void Scheduler::post(std::string name, std::function<void()> body) {
    std::lock_guard<std::mutex> lock(outside_mutex_);
    posted_.push_back({std::move(name), std::move(body)});
    if (!running_) kick_locked();
}

void Scheduler::request_stop() {
    std::lock_guard<std::mutex> lock(outside_mutex_);
    stop_requested_ = true;
    if (serve_waiting_) serve_waiter_.wake.notify_one();
}

void Scheduler::kick_locked() {
    for (Waiter* waiter : waiters_) {
        if (waiter->driver) {
            waiter->wake.notify_one();
            return;
        }
    }
    if (serve_waiting_) serve_waiter_.wake.notify_one();
}

bool Scheduler::work_due_locked() const { return !posted_.empty() || next_deadline_ <= wall_now(); }

// A long-running host posts a thread per request: finished threads are freed between runs so
// that neither memory nor the scheduler's scans grow with the number of requests served. Their
// stacks are kept for the threads that come next.
void Scheduler::reap_finished() {
    std::erase_if(threads_, [this](const std::unique_ptr<SimThread>& thread) {
        if (thread->state != SimThread::State::finished) return false;
        if (on_reap) on_reap(*thread);
        if (spare_stacks_.size() < 16) {
            spare_stacks_.push_back(thread->stack_);
        } else {
            std::free(thread->stack_);
        }
        thread->stack_ = nullptr;
        return true;
    });
}

RunOutcome Scheduler::run_due() {
    for (;;) {
        RunOutcome outcome = run();
        if (outcome != RunOutcome::completed) return outcome;
        const VirtualTime wall = wall_now();
        const VirtualTime next = earliest_deadline();
        if (next <= wall) {
            // The time-out's threads run at the time it names, however late this OS thread woke.
            now_ = std::max(now_, next);
            wake_blocked_if([this](const SimThread& t) { return t.deadline <= now_; }, WakeReason::timed_out,
                            nullptr);
            continue;
        }
        {
            std::lock_guard<std::mutex> lock(outside_mutex_);
            if (posted_.empty()) return RunOutcome::completed;
            taken_.swap(posted_);
        }
        now_ = std::max(now_, wall);
        for (Posted& posted : taken_) spawn(std::move(posted.name), std::move(posted.body));
        taken_.clear();
    }
}

void Scheduler::drive(std::unique_lock<std::mutex>& lock) {
    running_ = true;
    lock.unlock();
    RunOutcome outcome = run_due();
    VirtualTime next = kNever;
    if (outcome == RunOutcome::completed) {
        reap_finished();
        next = earliest_deadline();
    }
    lock.lock();
    running_ = false;
    next_deadline_ = next;
    if (outcome != RunOutcome::completed) {
        has_stopped_ = true;
        stopped_ = outcome;
        for (Waiter* waiter : waiters_) waiter->wake.notify_one();
        if (serve_waiting_) serve_waiter_.wake.notify_one();
        return;
    }
    // Drivers that waited for the machine to be free may run what came meanwhile, and one of them keeps time: a
    // driver that went to sleep while the machine ran waits with no time limit, and nobody else would wake for a
    // time-out this run left (a request sleeping in the machine would then never end). The serving thread keeps
    // time when an earlier time-out came up than the one it sleeps towards and no driver waits for it.
    bool driver_waits = false;
    for (Waiter* waiter : waiters_) driver_waits = driver_waits || waiter->driver;
    if (driver_waits && (!posted_.empty() || next != kNever)) {
        kick_locked();
    } else if (!driver_waits && serve_waiting_ && (next < serve_armed_ || !posted_.empty() || stop_requested_)) {
        serve_waiter_.wake.notify_one();
    }
}

bool Scheduler::call(std::string name, std::function<void()> body, bool drive_machine) {
    // Shared with the thread's body: a thread cut off by the end of serve() may still run after this call has gone.
    auto waiter = std::make_shared<Waiter>();
    waiter->driver = drive_machine;
    std::unique_lock<std::mutex> lock(outside_mutex_);
    if (serve_ended_ || has_stopped_) return false;
    posted_.push_back({std::move(name), [this, waiter, body = std::move(body)] {
                           body();
                           std::lock_guard<std::mutex> done(outside_mutex_);
                           waiter->done = true;
                           waiter->wake.notify_one();
                       }});
    if (!drive_machine && !running_) kick_locked();
    while (!waiter->done && !has_stopped_ && !serve_ended_) {
        if (drive_machine && !running_ && work_due_locked()) {
            drive(lock);
            continue;
        }
        waiters_.push_back(waiter.get());
        if (!drive_machine || running_ || next_deadline_ == kNever) {
            waiter->wake.wait(lock);
        } else {
            wait_for_time_out(lock, waiter->wake, next_deadline_);
        }
        waiters_.erase(std::find(waiters_.begin(), waiters_.end(), waiter.get()));
    }
    // With this driver gone the serving thread keeps time, if no other driver does.
    if (drive_machine && !running_ && serve_waiting_ && next_deadline_ < serve_armed_) {
        bool driver_waits = false;
        for (Waiter* other : waiters_) driver_waits = driver_waits || other->driver;
        if (!driver_waits) serve_waiter_.wake.notify_one();
    }
    return waiter->done;
}

RunOutcome Scheduler::serve() {
    if (!real_time_) set_real_time(true);
    std::unique_lock<std::mutex> lock(outside_mutex_);
    RunOutcome outcome = RunOutcome::completed;
    for (;;) {
        if (has_stopped_) {
            outcome = stopped_;
            break;
        }
        if (!running_ && work_due_locked()) {
            drive(lock);
            continue;
        }
        if (stop_requested_ && !running_ && posted_.empty()) break;
        serve_waiting_ = true;
        serve_armed_ = running_ ? kNever : next_deadline_;
        if (serve_armed_ == kNever) {
            serve_waiter_.wake.wait(lock);
        } else {
            wait_for_time_out(lock, serve_waiter_.wake, serve_armed_);
        }
        serve_waiting_ = false;
    }
    serve_ended_ = true;
    // Calls still waiting end: nothing will run them now.
    for (Waiter* waiter : waiters_) waiter->wake.notify_one();
    return outcome;
}

void Scheduler::stop_daemons() {
    stopping_ = true;
    wake_blocked_if([](const SimThread& t) { return t.daemon; }, WakeReason::stopping, nullptr);
    run();
}

}  // namespace sim
