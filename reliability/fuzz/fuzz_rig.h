// The machine the end-to-end fuzz targets share: a started reader with the driver, a body that drives it from the fuzzer's bytes, and the outside checkers at the end, any finding a crash.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "checkers.h"
#include "fuzz_input.h"
#include "reader/cards/card_factory.h"
#include "rig.h"

namespace sim::reliability::fuzz {

// With QWARD_FUZZ_TRACE set, each input run prints its requests and the kernel's I/O trace.
inline void print_trace(Rig& rig) {
    for (const LoggedRequest& logged : rig.requests()) {
        std::fprintf(stderr, "request %s (%s): %s\n", ioctl_name(logged.code).c_str(), logged.step.c_str(),
                     logged.request ? logged.request->describe().c_str() : "not sent");
    }
    for (const std::string& line : rig.k.io_trace) std::fprintf(stderr, "%s\n", line.c_str());
}

// What a run does when every thread comes to rest with work left: with a reader that keeps to its protocol that is
// a hang and a finding. A reader that withholds an answer keeps the driver waiting for it without limit, as the driver
// intends (a card may take long, a person at the keypad longer); what ends such a wait is the reader being unplugged (or
// the system shutting down), and what must hold is that everything then ends cleanly.
enum class AtRest { finding, unplug_the_reader };

// Runs `body` in the machine's main thread after the reader was plugged in (and, with `start`, started with an ISO
// card in the slot and a handle opened), then closes, removes, and fails on any finding of the checkers.
inline void run_in_rig(uint64_t seed, bool start, const std::function<void(Rig&, Handle&)>& body,
                       AtRest at_rest = AtRest::finding) {
    Rig rig(seed);
    rig.k.scheduler().preempt_per_mille = 1000;
    const bool trace = std::getenv("QWARD_FUZZ_TRACE") != nullptr;
    rig.k.trace_io = trace;
    rig.k.spawn("fuzz", [&] {
        rig.plug();
        Handle handle;
        if (start) {
            std::shared_ptr<Card> card(make_card("iso"));
            rig.insert_card_quietly(card);
            rig.start();
            handle = rig.open("fuzz");
        }
        body(rig, handle);
        rig.teardown();
    });
    RunOutcome outcome = rig.k.scheduler().run(20'000'000);
    if (outcome == RunOutcome::deadlock && at_rest == AtRest::unplug_the_reader) {
        rig.k.spawn("person unplugging the reader", [&] { rig.surprise_removal(); });
        outcome = rig.k.scheduler().run(20'000'000);
        if (trace) std::fprintf(stderr, "unplugged the reader at rest; the run then ended: %s\n", to_string(outcome));
    }
    std::vector<Finding> findings = check_run(rig, outcome);
    if (trace) print_trace(rig);
    if (!findings.empty()) {
        fail(describe(findings));
    }
}

}  // namespace sim::reliability::fuzz
