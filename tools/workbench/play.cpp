// Plays a scenario on a fresh machine and reports how it went.
#include "play.h"

#include "machine.h"
#include "pcap_writer.h"
#include "recorder.h"
#include "runner.h"

namespace sim::workbench {

int exit_status(PlayOutcome outcome) {
    switch (outcome) {
        case PlayOutcome::passed: return 0;
        case PlayOutcome::failed: return 1;
        case PlayOutcome::stopped: return 3;
        case PlayOutcome::error: return 4;
    }
    return 4;
}

PlayReport play(const Scenario& scenario, const PlayOptions& options, Transcript& transcript,
                const std::function<bool(Runner&, Machine&)>& interactive) {
    PlayReport report;
    PcapWriter trace;
    if (!options.trace_path.empty()) {
        std::string error;
        if (!trace.open(options.trace_path, error)) {
            report.outcome = PlayOutcome::error;
            report.failure = error;
            return report;
        }
    }
    Recorder recorder(transcript, trace.is_open() ? &trace : nullptr);
    Machine machine(workbench_options(options.seed));
    machine.set_observer(&recorder);
    recorder.attach(machine);
    Runner runner(machine, recorder);

    auto note_failure = [&](int line) {
        if (report.outcome == PlayOutcome::passed) {
            report.outcome = machine.alive() ? PlayOutcome::failed : PlayOutcome::stopped;
            report.failed_line = line;
            report.failure = runner.failure();
        }
    };
    for (const Command& command : scenario.commands) {
        ++report.commands_run;
        if (!runner.run(command)) {
            note_failure(command.line);
            if (!options.keep_going || !machine.alive()) break;
        }
    }
    if (interactive && machine.alive()) {
        if (!interactive(runner, machine)) {
            if (report.outcome == PlayOutcome::passed) {
                report.outcome = machine.alive() ? PlayOutcome::failed : PlayOutcome::stopped;
                report.failure = machine.alive() ? "a command of the session failed" : machine.report();
            }
        }
    }
    if (!runner.finish()) {
        if (report.outcome == PlayOutcome::passed) {
            report.outcome = machine.alive() ? PlayOutcome::failed : PlayOutcome::stopped;
            report.failure = runner.failure();
        }
    }
    report.end_time = machine.now();
    report.trace_records = trace.records();
    return report;
}

}  // namespace sim::workbench
