// The machine the end-to-end fuzz targets share: a started reader with the driver, a body that drives it from the fuzzer's bytes, and the outside checkers at the end, any finding a crash.
#pragma once

#include <functional>
#include <string>

#include "checkers.h"
#include "fuzz_input.h"
#include "reader/cards/card_factory.h"
#include "rig.h"

namespace sim::reliability::fuzz {

// Runs `body` in the machine's main thread after the reader was plugged in (and, with `start`, started with an ISO
// card in the slot and a handle opened), then closes, removes, and fails on any finding of the checkers.
inline void run_in_rig(uint64_t seed, bool start, const std::function<void(Rig&, Handle&)>& body) {
    Rig rig(seed);
    rig.k.scheduler().preempt_per_mille = 1000;
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
    const RunOutcome outcome = rig.k.scheduler().run(20'000'000);
    std::vector<Finding> findings = check_run(rig, outcome);
    if (!findings.empty()) fail(describe(findings));
}

}  // namespace sim::reliability::fuzz
