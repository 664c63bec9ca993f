// qward-reliability: seeded scenario runs, fault sweeps, unplug and card-pull sweeps, one-run replay, and the report of what was run and found.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "file_scenarios.h"
#include "runner.h"

using namespace sim::reliability;

namespace {

std::string program = "qward-reliability";

void usage() {
    std::puts(
        "usage: qward-reliability COMMAND [options]\n"
        "  list [--folder DIR]                   the scenarios\n"
        "  run --scenario S|FILE.qws --seed N [--disturb D] [--trace]\n"
        "                                        one run, with what its checkers found; D is pool:N, irp:N, bus:N\n"
        "                                        (the Nth call fails), unplug:N or card:N (at scheduling point N)\n"
        "  seeds [--scenario S|all|regressions] [--first N] [--count N]\n"
        "                                        undisturbed runs under consecutive seeds\n"
        "  sweep [--scenario S|all] [--seed N] [--sites pool,irp,bus] [--unplug-stride K] [--card-stride K]\n"
        "                                        every fault point of each site, and every Kth scheduling point with\n"
        "                                        the reader unplugged and with the card pulled (stride 0: none)\n"
        "  report [--seeds N] [--sweep-seeds N] [--stride K] [--fuzz-stats DIR]\n"
        "                                        seeds and sweeps of every scenario and seeds of every regression\n"
        "                                        story, then the figures, with the fuzz runs' statistics from DIR\n"
        "                                        (reliability/run.sh writes them)\n"
        "`all` is the scenario files (.qws) of --folder DIR (default: the source tree's reliability/scenarios);\n"
        "S may name one file (a path ending in .qws), `cpp` the same stories written in C++.\n"
        "After every scenario the recovery check heals the machine and probes the reader (see README.md).\n"
        "Every failing run is printed with its seed and the command that replays it. Exit status 1 when any\n"
        "run failed.");
}

struct Options {
    std::string command;
    std::string scenario = "all";
    uint64_t seed = 1;
    uint64_t first = 1;
    uint64_t count = 20;
    std::string disturb;
    bool trace = false;
    std::string sites = "pool,irp,bus";
    uint64_t unplug_stride = 1;
    uint64_t card_stride = 1;
    uint64_t seeds = 50;
    uint64_t sweep_seeds = 1;
    uint64_t stride = 0;  // report: 0 keeps the default stride of each sweep
    std::string fuzz_stats;
    bool quiet = false;
    std::string folder;  // scenario files that `all` takes in; empty: the source tree's reliability/scenarios
};

bool parse(int argc, char** argv, Options& o) {
    if (argc < 2) return false;
    o.command = argv[1];
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        auto number = [&](uint64_t& out) {
            std::string text;
            if (!value(text)) return false;
            char* end = nullptr;
            out = std::strtoull(text.c_str(), &end, 0);
            return end && *end == 0;
        };
        bool ok = true;
        if (arg == "--scenario") ok = value(o.scenario);
        else if (arg == "--seed") ok = number(o.seed);
        else if (arg == "--first") ok = number(o.first);
        else if (arg == "--count") ok = number(o.count);
        else if (arg == "--disturb") ok = value(o.disturb);
        else if (arg == "--trace") o.trace = true;
        else if (arg == "--sites") ok = value(o.sites);
        else if (arg == "--unplug-stride") ok = number(o.unplug_stride);
        else if (arg == "--card-stride") ok = number(o.card_stride);
        else if (arg == "--seeds") ok = number(o.seeds);
        else if (arg == "--sweep-seeds") ok = number(o.sweep_seeds);
        else if (arg == "--stride") ok = number(o.stride);
        else if (arg == "--fuzz-stats") ok = value(o.fuzz_stats);
        else if (arg == "--quiet") o.quiet = true;
        else if (arg == "--folder") ok = value(o.folder);
        else ok = false;
        if (!ok) {
            std::fprintf(stderr, "qward-reliability: bad option '%s'\n", arg.c_str());
            return false;
        }
    }
    return true;
}

std::string g_folder = QWARD_SCENARIO_DIR;

// "all": the scenario files of the folder; "cpp": the scenarios written in C++ (the same stories as the files, kept
// for the tests that replay fixed points of them); "regressions": the regression stories; or one scenario of
// either kind by name, or one file.
std::vector<std::string> selected(const std::string& which) {
    std::vector<std::string> names;
    if (which == "all") {
        for (const std::string& file : scenario_files(g_folder)) names.push_back(file);
    }
    for (const Scenario& s : scenarios()) {
        if (which == "cpp" || which == s.name) names.push_back(s.name);
    }
    if (which.ends_with(".qws")) names.push_back(which);
    for (const Scenario& s : regression_scenarios()) {
        if (which == "regressions" || which == s.name) names.push_back(s.name);
    }
    return names;
}

bool is_regression(const std::string& name) {
    for (const Scenario& s : regression_scenarios()) {
        if (name == s.name) return true;
    }
    return false;
}

void print_failure(const RunResult& r) {
    std::printf("FAILED %s seed %llu (%s), %s after %.3f virtual ms:\n%s  replay: %s\n", r.spec.scenario.c_str(),
                static_cast<unsigned long long>(r.spec.seed), r.spec.disturbance.describe().c_str(),
                sim::to_string(r.outcome), r.virtual_ms, describe(r.findings).c_str(),
                replay_command(r.spec, program).c_str());
    std::fflush(stdout);
}

Progress printer(bool quiet) {
    return [quiet](const RunResult& r) {
        if (!r.clean()) print_failure(r);
        else if (!quiet && r.spec.disturbance.kind == DisturbanceKind::none) {
            std::printf("ok %s seed %llu: %llu requests, %llu switches, %.1f virtual ms\n", r.spec.scenario.c_str(),
                        static_cast<unsigned long long>(r.spec.seed), static_cast<unsigned long long>(r.requests),
                        static_cast<unsigned long long>(r.switches), r.virtual_ms);
        }
    };
}

int run_one(const Options& o) {
    RunSpec spec{o.scenario, o.seed, {}};
    if (!o.disturb.empty()) {
        auto d = Disturbance::parse(o.disturb);
        if (!d) {
            std::fprintf(stderr, "qward-reliability: cannot read the disturbance '%s'\n", o.disturb.c_str());
            return 2;
        }
        spec.disturbance = *d;
    }
    RunResult r = run_once(spec, o.trace);
    if (o.trace) {
        for (const std::string& line : last_io_trace()) std::printf("%s\n", line.c_str());
    }
    std::printf("%s seed %llu, %s: %s; %s; %llu requests, %llu scheduling points (%llu in the scenario body), "
                "%.3f virtual ms; recovery check: %llu probes, %llu failed\n",
                spec.scenario.c_str(), static_cast<unsigned long long>(spec.seed), spec.disturbance.describe().c_str(),
                sim::to_string(r.outcome), r.disturbed ? "disturbed" : "not disturbed",
                static_cast<unsigned long long>(r.requests), static_cast<unsigned long long>(r.switches),
                static_cast<unsigned long long>(r.body_switches), r.virtual_ms,
                static_cast<unsigned long long>(r.probes), static_cast<unsigned long long>(r.probes_failed));
    if (r.clean()) {
        std::puts("clean: every checker passed");
        return 0;
    }
    print_failure(r);
    return 1;
}

// The statistics files of the fuzz runs: one "<target>.stats" per target, lines "key value".
struct FuzzStats {
    uint64_t execs = 0;
    uint64_t seconds = 0;
    uint64_t corpus = 0;
    uint64_t crashes = 0;
    uint64_t regressions = 0;
    std::string note;
};

std::map<std::string, FuzzStats> read_fuzz_stats(const std::string& dir) {
    std::map<std::string, FuzzStats> stats;
    DIR* d = opendir(dir.c_str());
    if (!d) return stats;
    while (dirent* entry = readdir(d)) {
        std::string name = entry->d_name;
        if (name.size() < 7 || name.substr(name.size() - 6) != ".stats") continue;
        FuzzStats s;
        std::ifstream in(dir + "/" + name);
        std::string key;
        while (in >> key) {
            if (key == "note") {
                std::getline(in, s.note);
                continue;
            }
            uint64_t value = 0;
            in >> value;
            if (key == "execs") s.execs += value;
            else if (key == "seconds") s.seconds += value;
            else if (key == "corpus") s.corpus = value;
            else if (key == "crashes") s.crashes += value;
            else if (key == "regressions") s.regressions = value;
        }
        stats[name.substr(0, name.size() - 6)] = s;
    }
    closedir(d);
    return stats;
}

int report(const Options& o) {
    auto started = std::chrono::steady_clock::now();
    Tally tally;
    Progress progress = printer(true);
    const uint64_t unplug_stride = o.stride ? o.stride : o.unplug_stride;
    const uint64_t card_stride = o.stride ? o.stride : o.card_stride;
    std::vector<std::string> names = selected(o.scenario);
    // The regression stories go with every report of all scenarios; they are told apart by name.
    if (o.scenario == "all") {
        for (const std::string& name : selected("regressions")) names.push_back(name);
    }
    for (const std::string& name : names) {
        run_seeds(name, o.first, o.seeds, tally, progress);
        // A regression story is a prediction of an undisturbed run: it is not swept.
        for (uint64_t s = 0; s < o.sweep_seeds && !is_regression(name); ++s) {
            for (sim::FaultSite site : swept_sites()) sweep_faults(name, o.first + s, site, tally, progress);
            if (unplug_stride) sweep_points(name, o.first + s, DisturbanceKind::unplug, unplug_stride, tally, progress);
            if (card_stride) sweep_points(name, o.first + s, DisturbanceKind::pull_card, card_stride, tally, progress);
        }
        const Tally::Line& line = tally.per_scenario[name];
        std::fprintf(stderr, "  %-28s done: %llu runs, %llu failed\n", name.c_str(),
                     static_cast<unsigned long long>(line.runs), static_cast<unsigned long long>(line.failed));
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

    std::printf("\nReliability figures (%.0f s of runs; stride %llu/%llu for unplug/card points)\n\n", seconds,
                static_cast<unsigned long long>(unplug_stride), static_cast<unsigned long long>(card_stride));
    std::printf("%-44s %7s %8s %8s %8s %8s %7s %9s %9s\n", "scenario", "seeds", "faults", "unplug", "card", "runs",
                "failed", "probes", "p.failed");
    auto print_line = [](const std::string& name, const Tally::Line& line) {
        std::printf("%-44s %7llu %8llu %8llu %8llu %8llu %7llu %9llu %9llu\n", name.c_str(),
                    static_cast<unsigned long long>(line.seeds), static_cast<unsigned long long>(line.fault_points),
                    static_cast<unsigned long long>(line.unplug_points),
                    static_cast<unsigned long long>(line.card_points), static_cast<unsigned long long>(line.runs),
                    static_cast<unsigned long long>(line.failed), static_cast<unsigned long long>(line.probes),
                    static_cast<unsigned long long>(line.probes_failed));
    };
    Tally::Line all;
    for (auto& [name, line] : tally.per_scenario) {
        print_line(name, line);
        for (uint64_t Tally::Line::*field : {&Tally::Line::seeds, &Tally::Line::fault_points, &Tally::Line::unplug_points,
                                             &Tally::Line::card_points, &Tally::Line::runs, &Tally::Line::failed,
                                             &Tally::Line::probes, &Tally::Line::probes_failed}) {
            all.*field += line.*field;
        }
    }
    print_line("total", all);
    std::printf("\nscenarios x seeds: %zu x %llu = %llu undisturbed runs\n", tally.per_scenario.size(),
                static_cast<unsigned long long>(o.seeds), static_cast<unsigned long long>(tally.total(&Tally::Line::seeds)));
    std::printf("fault points swept:");
    for (auto& [site, n] : tally.fault_points_per_site) std::printf(" %s %llu,", site.c_str(), static_cast<unsigned long long>(n));
    std::printf(" in all %llu\n", static_cast<unsigned long long>(tally.total(&Tally::Line::fault_points)));
    std::printf("recovery check: %llu runs, %llu probes, %llu failed probes in %llu run(s)\n",
                static_cast<unsigned long long>(all.runs), static_cast<unsigned long long>(all.probes),
                static_cast<unsigned long long>(all.probes_failed),
                static_cast<unsigned long long>(tally.runs_per_finding_kind.count("recovery")
                                                    ? tally.runs_per_finding_kind.at("recovery")
                                                    : 0));
    std::printf("unplug points swept: %llu; card-pull points swept: %llu; points left out by the stride: %llu\n",
                static_cast<unsigned long long>(tally.total(&Tally::Line::unplug_points)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::card_points)),
                static_cast<unsigned long long>(tally.points_skipped));

    uint64_t failed = tally.total(&Tally::Line::failed);
    auto runs_with = [&](std::initializer_list<const char*> kinds) {
        uint64_t n = 0;
        for (const char* kind : kinds) {
            auto it = tally.runs_per_finding_kind.find(kind);
            if (it != tally.runs_per_finding_kind.end()) n += it->second;
        }
        return static_cast<unsigned long long>(n);
    };
    // The bar is zero in each of the first three; the rest say what else a failing run can show.
    std::printf("\nfound: %llu failing run(s): pool leaks %llu, hangs %llu, verifier reports %llu; crashes %llu, "
                "IRPs left %llu, statuses or replies not allowed %llu, remove lock or removal %llu, scenario "
                "expectations %llu, recovery %llu\n",
                static_cast<unsigned long long>(failed), runs_with({"pool"}),
                runs_with({"deadlock", "step limit", "outstanding"}), runs_with({"verifier"}), runs_with({"crash"}),
                runs_with({"IRP"}), runs_with({"status", "reply"}), runs_with({"remove lock", "removal"}),
                runs_with({"expectation"}), runs_with({"recovery"}));
    for (const RunResult& r : tally.failures) {
        std::printf("  %s seed %llu, %s: %s\n    replay: %s\n", r.spec.scenario.c_str(),
                    static_cast<unsigned long long>(r.spec.seed), r.spec.disturbance.describe().c_str(),
                    r.findings.empty() ? "" : (r.findings.front().kind + ": " + r.findings.front().detail.substr(0, 160)).c_str(),
                    replay_command(r.spec, program).c_str());
    }

    if (!o.fuzz_stats.empty()) {
        auto stats = read_fuzz_stats(o.fuzz_stats);
        std::printf("\nfuzzing (%s):\n", o.fuzz_stats.c_str());
        if (stats.empty()) std::printf("  no statistics found\n");
        for (auto& [target, s] : stats) {
            std::printf("  %-22s %12llu executions in %5llu s, corpus %5llu, crashes %llu, inputs of earlier findings %llu%s\n",
                        target.c_str(), static_cast<unsigned long long>(s.execs),
                        static_cast<unsigned long long>(s.seconds), static_cast<unsigned long long>(s.corpus),
                        static_cast<unsigned long long>(s.crashes), static_cast<unsigned long long>(s.regressions),
                        s.note.c_str());
        }
    }
    return failed == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 0) program = argv[0];
    Options o;
    if (!parse(argc, argv, o)) {
        usage();
        return 2;
    }
    enable_file_scenarios();
    if (!o.folder.empty()) g_folder = o.folder;
    {
        std::vector<std::string> files = scenario_files(g_folder);
        if (files.empty()) {
            std::fprintf(stderr, "qward-reliability: no scenario files (.qws) in %s\n", g_folder.c_str());
            return 2;
        }
        for (const std::string& file : files) {
            std::string error;
            if (!file_scenario(file, &error)) {
                std::fprintf(stderr, "qward-reliability: %s\n", error.c_str());
                return 2;
            }
        }
    }
    if (o.scenario.ends_with(".qws")) {
        std::string error;
        if (!file_scenario(o.scenario, &error)) {
            std::fprintf(stderr, "qward-reliability: %s\n", error.c_str());
            return 2;
        }
    }
    if (o.command == "list") {
        std::printf("scenario files (%s; `all` sweeps them):\n", g_folder.c_str());
        for (const std::string& file : scenario_files(g_folder)) {
            std::printf("%-44s %s\n", file.c_str(), file_scenario(file)->what);
        }
        std::printf("\nthe same stories in C++ (--scenario cpp), kept for the tests that replay fixed points of them:\n");
        for (const Scenario& s : scenarios()) std::printf("%-28s %s\n", s.name, s.what);
        std::printf("\nregression stories (seeds only; --scenario regressions runs them all):\n");
        for (const Scenario& s : regression_scenarios()) std::printf("%-28s %s\n", s.name, s.what);
        return 0;
    }
    if (o.command != "report" && o.command != "seeds" && o.command != "sweep" && o.command != "run") {
        usage();
        return 2;
    }
    if (o.scenario != "all" && o.scenario != "cpp" && o.scenario != "regressions" && !find_scenario(o.scenario)) {
        std::fprintf(stderr, "qward-reliability: no scenario named '%s' (see 'list')\n", o.scenario.c_str());
        return 2;
    }
    if (o.command == "run") return run_one(o);
    if (o.command == "report") return report(o);

    Tally tally;
    Progress progress = printer(o.quiet);
    for (const std::string& name : selected(o.scenario)) {
        if (o.command == "seeds") {
            run_seeds(name, o.first, o.count, tally, progress);
            continue;
        }
        if (is_regression(name)) {
            std::fprintf(stderr, "qward-reliability: %s is a regression story, run by seeds only\n", name.c_str());
            continue;
        }
        std::stringstream sites(o.sites);
        std::string site;
        while (std::getline(sites, site, ',')) {
            auto d = Disturbance::parse(site + ":1");
            if (!d || d->kind != DisturbanceKind::fault) {
                std::fprintf(stderr, "qward-reliability: unknown fault site '%s'\n", site.c_str());
                return 2;
            }
            sweep_faults(name, o.seed, d->site, tally, progress);
        }
        if (o.unplug_stride) sweep_points(name, o.seed, DisturbanceKind::unplug, o.unplug_stride, tally, progress);
        if (o.card_stride) sweep_points(name, o.seed, DisturbanceKind::pull_card, o.card_stride, tally, progress);
    }
    uint64_t failed = tally.total(&Tally::Line::failed);
    std::printf("%llu runs: %llu seeds, %llu fault points, %llu unplug points, %llu card points; %llu failed; "
                "recovery check: %llu probes, %llu failed\n",
                static_cast<unsigned long long>(tally.total(&Tally::Line::runs)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::seeds)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::fault_points)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::unplug_points)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::card_points)),
                static_cast<unsigned long long>(failed),
                static_cast<unsigned long long>(tally.total(&Tally::Line::probes)),
                static_cast<unsigned long long>(tally.total(&Tally::Line::probes_failed)));
    return failed == 0 ? 0 : 1;
}
