// One reliability run and the sweeps: the scenario in the machine's main thread, a watcher thread that acts at the nth scheduling point, fault plans per site, and the outside checkers at the end.
#include "runner.h"

#include "recovery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <csignal>
#include <sys/wait.h>
#include <unistd.h>
#include <memory>
#include <set>

namespace sim::reliability {

namespace {

// Far more switches than any scenario needs; a run that has not come to rest by then is stuck.
constexpr uint64_t kMaxSteps = 20'000'000;
constexpr size_t kFailuresKept = 5;

std::vector<std::string>& io_trace_store() {
    static auto* store = new std::vector<std::string>;
    return *store;
}

struct SiteName {
    FaultSite site;
    const char* name;
};
constexpr SiteName kSiteNames[] = {
    {FaultSite::pool, "pool"},
    {FaultSite::irp, "irp"},
    {FaultSite::bus_transfer, "bus"},
    {FaultSite::create_device, "create-device"},
    {FaultSite::attach_device, "attach-device"},
    {FaultSite::register_interface, "interface"},
};

// Waits for the nth scheduling point of the run and then acts. It is one more runnable thread among the others:
// while any other thread can run it only yields (each of its turns is a switch the scheduler counts), and when
// none can it sleeps until the next time-out of the others, so that virtual time moves as it would without it.
// Present in the undisturbed base run of a sweep as well (with point 0: never acts), the schedules of the base
// run and of the run that acts at point n are the same up to n.
void watch(Kernel& k, const bool& body_done, uint64_t point, const std::function<void()>& act, bool& acted,
           uint64_t& acted_at) {
    Scheduler& s = k.scheduler();
    SimThread* self = &s.current();
    for (;;) {
        // The disturbance belongs to the scenario body; the recovery check comes after it.
        if (body_done) return;
        if (point != 0 && s.switches() >= point) break;
        bool others = false;
        VirtualTime next = kNever;
        for (auto& thread : s.threads()) {
            if (thread.get() == self) continue;
            if (thread->state == SimThread::State::runnable) others = true;
            if (thread->state == SimThread::State::blocked) next = std::min(next, thread->deadline);
        }
        if (others) {
            s.yield();
            continue;
        }
        // Everything else waits for something no time-out brings: the run is over, or stuck (which the
        // scheduler reports once this thread is out of the way).
        if (next == kNever) return;
        s.sleep_until(next);
    }
    acted = true;
    acted_at = s.switches();
    act();
}

}  // namespace

std::string site_name(FaultSite site) {
    for (const SiteName& entry : kSiteNames) {
        if (entry.site == site) return entry.name;
    }
    return to_string(site);
}

const std::vector<FaultSite>& swept_sites() {
    static const auto* sites = new std::vector<FaultSite>{FaultSite::pool, FaultSite::irp, FaultSite::bus_transfer};
    return *sites;
}

std::string Disturbance::text() const {
    switch (kind) {
        case DisturbanceKind::none: return "";
        case DisturbanceKind::fault: return site_name(site) + ":" + std::to_string(nth);
        case DisturbanceKind::unplug: return "unplug:" + std::to_string(nth);
        case DisturbanceKind::pull_card: return "card:" + std::to_string(nth);
    }
    return "";
}

std::string Disturbance::describe() const {
    switch (kind) {
        case DisturbanceKind::none: return "undisturbed";
        case DisturbanceKind::fault: return "call " + std::to_string(nth) + " of " + site_name(site) + " fails";
        case DisturbanceKind::unplug:
            return nth ? "reader unplugged at scheduling point " + std::to_string(nth) : "unplug watcher only";
        case DisturbanceKind::pull_card:
            return nth ? "card pulled at scheduling point " + std::to_string(nth) : "card watcher only";
    }
    return "";
}

std::optional<Disturbance> Disturbance::parse(const std::string& text) {
    auto colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    std::string what = text.substr(0, colon);
    Disturbance d;
    try {
        size_t used = 0;
        d.nth = std::stoull(text.substr(colon + 1), &used);
        if (used != text.size() - colon - 1) return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
    if (what == "unplug") {
        d.kind = DisturbanceKind::unplug;
        return d;
    }
    if (what == "card") {
        d.kind = DisturbanceKind::pull_card;
        return d;
    }
    for (const SiteName& entry : kSiteNames) {
        if (what == entry.name) {
            d.kind = DisturbanceKind::fault;
            d.site = entry.site;
            return d;
        }
    }
    return std::nullopt;
}

std::string replay_command(const RunSpec& spec, const std::string& program) {
    std::string command = program + " run --scenario " + spec.scenario + " --seed " + std::to_string(spec.seed);
    if (spec.disturbance.kind != DisturbanceKind::none) command += " --disturb " + spec.disturbance.text();
    return command;
}

const std::vector<std::string>& last_io_trace() { return io_trace_store(); }

RunResult run_once(const RunSpec& spec, bool trace_io) {
    RunResult result;
    result.spec = spec;
    const Scenario* scenario = find_scenario(spec.scenario);
    if (!scenario) {
        result.findings.push_back({"usage", "there is no scenario named '" + spec.scenario + "'"});
        return result;
    }
    const Disturbance& d = spec.disturbance;
    auto rig = std::make_unique<Rig>(spec.seed);
    Kernel& k = rig->k;
    k.trace_io = trace_io;
    Context context(d.kind == DisturbanceKind::none || (d.kind != DisturbanceKind::fault && d.nth == 0));
    if (d.kind == DisturbanceKind::fault) k.set_fault(d.site, FaultPlan{d.nth, 0, false});

    bool body_done = false;
    RecoveryOutcome recovery;
    k.spawn("scenario " + spec.scenario, [&] {
        rig->plug();
        scenario->body(*rig, context);
        body_done = true;
        result.body_switches = k.scheduler().switches();
        context.expect_all_predicted(rig->requests(), rig->requests().size());
        recovery = check_recovery(*rig);
        rig->teardown();
    });
    bool acted = false;
    uint64_t acted_at = 0;
    if (d.kind == DisturbanceKind::unplug || d.kind == DisturbanceKind::pull_card) {
        std::function<void()> act;
        if (d.kind == DisturbanceKind::unplug) {
            act = [&] { k.spawn("unplug", [&] { rig->surprise_removal(); }); };
        } else {
            act = [&] { rig->remove_card(); };
        }
        k.spawn("watcher", [&, act] { watch(k, body_done, d.nth, act, acted, acted_at); });
    }
    result.outcome = k.scheduler().run(kMaxSteps);

    result.findings = check_run(*rig, result.outcome);
    if (result.outcome == RunOutcome::completed) {
        for (const Finding& finding : context.findings()) result.findings.push_back(finding);
        for (const Finding& finding : recovery.failures) result.findings.push_back(finding);
        result.probes = recovery.probes;
        result.probes_failed = recovery.probes_failed;
    }
    result.switches = k.scheduler().switches();
    result.virtual_ms = to_ms(k.now());
    result.requests = rig->requests().size();
    if (d.kind == DisturbanceKind::fault) {
        result.site_calls = k.calls_at(d.site);
        result.disturbed = k.faults_injected() > 0;
    } else {
        result.disturbed = acted;
    }
    (void)acted_at;
    if (trace_io) {
        io_trace_store() = k.io_trace;
        // The packets on the wire, after the kernel's events: each line carries its virtual time.
        auto packets = [](const char* who, const std::vector<TimedPacket>& list) {
            for (const TimedPacket& p : list) {
                std::string line = "[" + std::to_string(to_ms(p.time)) + " ms] " + who;
                char byte[4];
                for (uint8_t b : p.packet) {
                    std::snprintf(byte, sizeof byte, " %02X", b);
                    line += byte;
                }
                io_trace_store().push_back(line);
            }
        };
        packets("host wrote:", rig->reader.written());
        packets("reader sent:", rig->reader.sent());
    }
    return result;
}

namespace {

// A run's result as bytes for the pipe from the child process: numbers, then findings, fields split by unit
// separators and findings by record separators.
std::string encode(const RunResult& r) {
    std::string text = std::to_string(static_cast<int>(r.outcome)) + "\x1f" + std::to_string(r.disturbed) + "\x1f" +
                       std::to_string(r.switches) + "\x1f" + std::to_string(r.site_calls) + "\x1f" +
                       std::to_string(r.requests) + "\x1f" + std::to_string(r.virtual_ms) + "\x1f" +
                       std::to_string(r.body_switches) + "\x1f" + std::to_string(r.probes) + "\x1f" +
                       std::to_string(r.probes_failed) + "\x1e";
    for (const Finding& f : r.findings) text += f.kind + "\x1f" + f.detail + "\x1e";
    return text;
}

void decode(const std::string& text, RunResult& r) {
    std::vector<std::string> records;
    size_t start = 0;
    for (size_t end; (end = text.find('\x1e', start)) != std::string::npos; start = end + 1) {
        records.push_back(text.substr(start, end - start));
    }
    if (records.empty()) return;
    std::vector<std::string> head;
    start = 0;
    for (size_t end; (end = records[0].find('\x1f', start)) != std::string::npos; start = end + 1) {
        head.push_back(records[0].substr(start, end - start));
    }
    head.push_back(records[0].substr(start));
    if (head.size() == 9) {
        r.outcome = static_cast<RunOutcome>(std::stoi(head[0]));
        r.disturbed = head[1] == "1";
        r.switches = std::stoull(head[2]);
        r.site_calls = std::stoull(head[3]);
        r.requests = std::stoull(head[4]);
        r.virtual_ms = std::stod(head[5]);
        r.body_switches = std::stoull(head[6]);
        r.probes = std::stoull(head[7]);
        r.probes_failed = std::stoull(head[8]);
    }
    for (size_t i = 1; i < records.size(); ++i) {
        size_t split = records[i].find('\x1f');
        if (split == std::string::npos) continue;
        r.findings.push_back({records[i].substr(0, split), records[i].substr(split + 1)});
    }
}

}  // namespace

RunResult run_isolated(const RunSpec& spec) {
    std::fflush(nullptr);
    int fds[2];
    if (pipe(fds) != 0) return run_once(spec);
    pid_t child = fork();
    if (child < 0) {
        close(fds[0]);
        close(fds[1]);
        return run_once(spec);
    }
    if (child == 0) {
        close(fds[0]);
        std::string text = encode(run_once(spec));
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        close(fds[1]);
        _exit(0);
    }
    close(fds[1]);
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    RunResult result;
    result.spec = spec;
    decode(text, result);
    if (WIFSIGNALED(status)) {
        const int signal = WTERMSIG(status);
        result.outcome = RunOutcome::bugcheck;
        // The child could not say whether its disturbance happened; a planned one is taken as having happened.
        result.disturbed = spec.disturbance.kind == DisturbanceKind::fault || spec.disturbance.nth != 0;
        result.findings.push_back({"crash", std::string("the run died of signal ") + std::to_string(signal) + " (" +
                                                strsignal(signal) + "); replay it under a debugger or the asan build"});
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || text.empty()) {
        result.findings.push_back({"crash", "the run's process ended without a result (exit status " +
                                                std::to_string(WEXITSTATUS(status)) + ")"});
    }
    return result;
}

void Tally::add(const RunResult& result) {
    Line& line = per_scenario[result.spec.scenario];
    ++line.runs;
    line.probes += result.probes;
    line.probes_failed += result.probes_failed;
    switch (result.spec.disturbance.kind) {
        case DisturbanceKind::none: ++line.seeds; break;
        case DisturbanceKind::fault:
            if (result.disturbed) {
                ++line.fault_points;
                ++fault_points_per_site[site_name(result.spec.disturbance.site)];
            }
            break;
        case DisturbanceKind::unplug: line.unplug_points += result.disturbed; break;
        case DisturbanceKind::pull_card: line.card_points += result.disturbed; break;
    }
    if (!result.clean()) {
        std::set<std::string> kinds;
        for (const Finding& f : result.findings) kinds.insert(f.kind);
        for (const std::string& kind : kinds) ++runs_per_finding_kind[kind];
        ++line.failed;
        size_t kept = std::count_if(failures.begin(), failures.end(), [&](const RunResult& r) {
            return r.spec.scenario == result.spec.scenario;
        });
        if (kept < kFailuresKept) failures.push_back(result);
    }
}

uint64_t Tally::total(uint64_t Line::*field) const {
    uint64_t sum = 0;
    for (auto& [name, line] : per_scenario) sum += line.*field;
    return sum;
}

void run_seeds(const std::string& scenario, uint64_t first, uint64_t count, Tally& tally, const Progress& progress) {
    for (uint64_t seed = first; seed < first + count; ++seed) {
        RunResult result = run_isolated({scenario, seed, {}});
        tally.add(result);
        if (progress) progress(result);
    }
}

void sweep_faults(const std::string& scenario, uint64_t seed, FaultSite site, Tally& tally, const Progress& progress,
                  uint64_t limit) {
    for (uint64_t nth = 1; nth <= limit; ++nth) {
        Disturbance d;
        d.kind = DisturbanceKind::fault;
        d.site = site;
        d.nth = nth;
        RunResult result = run_isolated({scenario, seed, d});
        tally.add(result);
        if (progress) progress(result);
        // The run made fewer calls than nth: every call of the scenario has had its turn.
        if (!result.disturbed) break;
    }
}

void sweep_points(const std::string& scenario, uint64_t seed, DisturbanceKind kind, uint64_t stride, Tally& tally,
                  const Progress& progress) {
    Disturbance base;
    base.kind = kind;
    base.nth = 0;
    RunResult plain = run_isolated({scenario, seed, base});
    tally.add(plain);
    if (progress) progress(plain);
    if (!plain.clean() || stride == 0) return;
    for (uint64_t point = 1; point <= plain.body_switches; point += stride) {
        Disturbance d;
        d.kind = kind;
        d.nth = point;
        RunResult result = run_isolated({scenario, seed, d});
        tally.add(result);
        if (progress) progress(result);
    }
    tally.points_skipped += plain.body_switches - (plain.body_switches + stride - 1) / stride;
}

}  // namespace sim::reliability
