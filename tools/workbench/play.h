// One run of a scenario on a fresh machine: the machine, the recorder with its optional USB trace, the runner, and
// the outcome that the tool turns into its exit status.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "machine.h"
#include "scenario.h"
#include "transcript.h"

namespace sim::workbench {

struct PlayOptions {
    uint64_t seed = 1;
    std::string trace_path;   // empty: no trace
    bool keep_going = false;  // run the remaining commands after a failed expectation
};

enum class PlayOutcome {
    passed,
    failed,   // an expectation failed, or the run left something behind
    stopped,  // the simulated machine stopped: bug check, deadlock
    error,    // the trace file could not be written
};

struct PlayReport {
    PlayOutcome outcome = PlayOutcome::passed;
    int failed_line = 0;       // the first failing command's line; 0 for the end of the run
    std::string failure;       // what was expected and what was seen
    size_t commands_run = 0;
    VirtualTime end_time = 0;  // virtual time at the end of the run
    size_t trace_records = 0;
};

// Runs the commands in order, then the end-of-run teardown. `interactive`, when given, takes over after the
// commands on the same machine (the session); its result counts like a command's.
PlayReport play(const Scenario& scenario, const PlayOptions& options, Transcript& transcript,
                const std::function<bool(class Runner&, Machine&)>& interactive = {});

// The tool's exit status for an outcome: 0 passed, 1 failed, 3 machine stopped, 4 error (2 is for usage and
// scenario syntax errors, found before any run).
int exit_status(PlayOutcome outcome);

}  // namespace sim::workbench
