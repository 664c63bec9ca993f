// Runs of the scenarios: one seeded run with an optional disturbance (an injected fault, the reader unplugged or the card pulled at a scheduling point), the sweeps over every fault and every point, and the tally the report prints.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "checkers.h"
#include "scenarios.h"

namespace sim::reliability {

enum class DisturbanceKind { none, fault, unplug, pull_card };

struct Disturbance {
    DisturbanceKind kind = DisturbanceKind::none;
    FaultSite site = FaultSite::pool;  // fault: the site whose nth call fails
    uint64_t nth = 0;                  // fault: the call (1-based); unplug, pull_card: the scheduling point
    std::string describe() const;
    // "pool:3", "irp:1", "bus:7", "unplug:120", "card:45"; empty when the text names none.
    static std::optional<Disturbance> parse(const std::string& text);
    std::string text() const;
};

struct RunSpec {
    std::string scenario;
    uint64_t seed = 1;
    Disturbance disturbance;
};

struct RunResult {
    RunSpec spec;
    RunOutcome outcome = RunOutcome::completed;
    std::vector<Finding> findings;
    bool disturbed = false;          // the fault was injected, or the unplug or pull happened
    uint64_t switches = 0;           // scheduling points of the run
    uint64_t body_switches = 0;      // scheduling points of the scenario body: the points a sweep disturbs
    uint64_t probes = 0;             // probes of the recovery check
    uint64_t probes_failed = 0;
    uint64_t site_calls = 0;         // fault: calls of the fault site during the run
    uint64_t requests = 0;           // I/O controls the application sent
    double virtual_ms = 0;
    bool clean() const { return findings.empty(); }
};

// The one command that replays a run; `program` is how the reliability tool was invoked.
std::string replay_command(const RunSpec& spec, const std::string& program);

RunResult run_once(const RunSpec& spec, bool trace_io = false);
// The same in a child process, so that a run that crashes (a driver that touches freed memory) is reported as a
// finding instead of ending the batch.
RunResult run_isolated(const RunSpec& spec);
// The trace of the run's kernel events, when run_once was asked for it.
const std::vector<std::string>& last_io_trace();

// What a batch of runs adds up to, per scenario and in all.
struct Tally {
    struct Line {
        uint64_t seeds = 0;
        uint64_t fault_points = 0;  // fault runs, each failing one call
        uint64_t unplug_points = 0;
        uint64_t card_points = 0;
        uint64_t runs = 0;
        uint64_t failed = 0;  // runs with a finding
        uint64_t probes = 0;  // recovery probes made
        uint64_t probes_failed = 0;
    };
    std::map<std::string, Line> per_scenario;
    std::map<std::string, uint64_t> runs_per_finding_kind;  // failing runs with at least one finding of the kind
    std::map<std::string, uint64_t> fault_points_per_site;
    std::vector<RunResult> failures;  // the first few of each scenario, with their findings
    uint64_t points_skipped = 0;      // scheduling points left out by a stride
    void add(const RunResult& result);
    uint64_t total(uint64_t Line::*field) const;
};

// Progress and failures as they happen; may be empty.
using Progress = std::function<void(const RunResult&)>;

// The scenario under seeds first .. first + count - 1, undisturbed.
void run_seeds(const std::string& scenario, uint64_t first, uint64_t count, Tally& tally, const Progress& progress = {});
// Fails the 1st, 2nd, ... call of the site in turn until a run makes fewer calls than that; at most `limit` runs.
void sweep_faults(const std::string& scenario, uint64_t seed, FaultSite site, Tally& tally,
                  const Progress& progress = {}, uint64_t limit = 100'000);
// Unplugs the reader, or pulls the card, at every `stride`-th scheduling point of the undisturbed run's scenario
// body (the recovery check and the teardown that follow it are not disturbed).
void sweep_points(const std::string& scenario, uint64_t seed, DisturbanceKind kind, uint64_t stride, Tally& tally,
                  const Progress& progress = {});

// The fault sites the sweeps go through.
const std::vector<FaultSite>& swept_sites();
std::string site_name(FaultSite site);

}  // namespace sim::reliability
