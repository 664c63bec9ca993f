// OS threads the simulation starts inside a host process, which take none of the process's signals.
#pragma once

#include <pthread.h>

#include <csignal>
#include <thread>
#include <utility>

namespace sim {

// Starts a thread with every signal blocked (it inherits the mask). A library loaded into a daemon must leave the
// daemon's signals to the daemon: pcscd waits for SIGINT and SIGTERM in a thread of its own and stops only when
// its main loop is interrupted, so one of these signals taken by a thread of ours would leave it running.
template <typename Body>
std::thread thread_without_signals(Body&& body) {
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);
    std::thread thread(std::forward<Body>(body));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return thread;
}

}  // namespace sim
