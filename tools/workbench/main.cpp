// The reader workbench: runs the Tavelo reader driver on the simulated machine from scenario files, the built-in
// default scenario or an interactive session, and shows what happened on every layer on the virtual timeline.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "default_scenario.h"
#include "play.h"
#include "runner.h"
#include "scenario.h"
#include "session.h"
#include "transcript.h"

using namespace sim::workbench;

namespace {

const char* const kUsage =
    "usage: qward-workbench [options] [SCENARIO...]\n"
    "\n"
    "With no scenario it plays the built-in default scenario, which shows every capability of the driver once.\n"
    "SCENARIO files (see tools/workbench/scenarios/) run one after the other, each on a fresh machine; '-' reads\n"
    "one from standard input.\n"
    "\n"
    "  -i, --interactive   an interactive session (after the scenarios given, on the same machine)\n"
    "  --seed N            the scheduler's seed: the same seed replays a run exactly (default: the scenario's\n"
    "                      `seed` line, else 1); `--seed random` picks one and prints it\n"
    "  --repeat N          run each scenario N times with seeds S, S+1, ...; stop at the first failure\n"
    "  --trace FILE        write every URB to FILE as a pcap (usbmon link type) for Wireshark and tshark;\n"
    "                      with several runs it holds the last one (the failing one, when a run fails)\n"
    "  --json              the transcript as JSON lines\n"
    "  -v, --verbose       also every URB submission and completion\n"
    "  -q, --quiet         no transcript: only failures and the summary\n"
    "  --color WHEN        auto (default), always or never\n"
    "  --keep-going        carry on after a failed expectation\n"
    "  --check             parse the scenarios and stop: syntax errors only\n"
    "  --print-default     print the default scenario, to start a scenario file from it\n"
    "  --help-scenario     the scenario language, every command explained\n"
    "  --list-cards, --list-codes, --list-attributes\n"
    "\n"
    "Exit status: 0 passed, 1 an expectation failed (the line and what was seen are printed), 2 usage or\n"
    "scenario syntax error, 3 the simulated machine stopped (bug check or deadlock), 4 the trace file could not\n"
    "be written.\n";

struct Options {
    std::vector<std::string> files;
    bool interactive = false;
    std::optional<uint64_t> seed;
    uint64_t repeat = 1;
    std::string trace;
    bool json = false;
    int detail = 0;
    bool quiet = false;
    std::string colour = "auto";
    bool keep_going = false;
    bool check_only = false;
};

struct ScenarioSource {
    std::string name;  // as the failure message names it: a path, "-" or "default scenario"
    std::string replay_argument;  // what to put on the command line to run it again
    std::string text;
};

int usage_error(const std::string& message) {
    std::fprintf(stderr, "qward-workbench: %s\n(qward-workbench --help shows the options)\n", message.c_str());
    return 2;
}

bool read_file(const std::string& path, std::string& text) {
    if (path == "-") {
        std::stringstream buffer;
        buffer << std::cin.rdbuf();
        text = buffer.str();
        return true;
    }
    std::ifstream file(path);
    if (!file) return false;
    std::stringstream buffer;
    buffer << file.rdbuf();
    text = buffer.str();
    return true;
}

std::string seconds_text(sim::VirtualTime time) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f s", sim::to_ms(time) / 1000.0);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](const char* what) -> const char* {
            if (i + 1 >= argc) return nullptr;
            (void)what;
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--help-scenario") {
            std::fputs(help_text("all").c_str(), stdout);
            return 0;
        } else if (arg == "--list-cards") {
            std::fputs(cards_text().c_str(), stdout);
            return 0;
        } else if (arg == "--list-codes") {
            std::fputs(codes_text().c_str(), stdout);
            return 0;
        } else if (arg == "--list-attributes") {
            std::fputs(attributes_text().c_str(), stdout);
            return 0;
        } else if (arg == "--print-default") {
            std::fputs(kDefaultScenario, stdout);
            return 0;
        } else if (arg == "-i" || arg == "--interactive") {
            o.interactive = true;
        } else if (arg == "--seed") {
            const char* v = value("seed");
            if (!v) return usage_error("--seed needs a number");
            if (std::string(v) == "random") {
                o.seed = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) % 1'000'000'000;
            } else if (auto n = parse_number(v)) {
                o.seed = *n;
            } else {
                return usage_error(std::string("--seed ") + v + ": not a number");
            }
        } else if (arg == "--repeat") {
            const char* v = value("repeat");
            auto n = v ? parse_number(v) : std::nullopt;
            if (!n || *n == 0) return usage_error("--repeat needs a count of at least 1");
            o.repeat = *n;
        } else if (arg == "--trace") {
            const char* v = value("trace");
            if (!v) return usage_error("--trace needs a file name");
            o.trace = v;
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "-v" || arg == "--verbose") {
            o.detail = 1;
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--color" || arg == "--colour") {
            const char* v = value("color");
            if (!v || (std::strcmp(v, "auto") && std::strcmp(v, "always") && std::strcmp(v, "never"))) {
                return usage_error("--color takes auto, always or never");
            }
            o.colour = v;
        } else if (arg == "--keep-going") {
            o.keep_going = true;
        } else if (arg == "--check") {
            o.check_only = true;
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "-") {
            return usage_error("unknown option " + arg);
        } else {
            o.files.push_back(arg);
        }
    }

    std::vector<ScenarioSource> sources;
    for (const std::string& path : o.files) {
        ScenarioSource source{path, path, ""};
        if (!read_file(path, source.text)) return usage_error("cannot read " + path);
        sources.push_back(std::move(source));
    }
    if (sources.empty() && !o.interactive) sources.push_back({"default scenario", "", kDefaultScenario});

    std::vector<Scenario> scenarios;
    bool syntax_errors = false;
    for (const ScenarioSource& source : sources) {
        scenarios.push_back(parse_scenario(source.text));
        for (const ParseError& error : scenarios.back().errors) {
            std::fprintf(stderr, "%s:%d: %s\n", source.name.c_str(), error.line, error.message.c_str());
            syntax_errors = true;
        }
    }
    if (syntax_errors) return 2;
    if (o.check_only) {
        std::printf("%zu scenario(s) parsed, no errors\n", scenarios.size());
        return 0;
    }

    Transcript transcript;
    std::shared_ptr<HoldingSink> holding;
    if (!o.quiet) {
        std::shared_ptr<TranscriptSink> sink;
        if (o.json) {
            sink = std::make_shared<JsonSink>(stdout);
        } else {
            sink = std::make_shared<TextSink>(stdout, colour_wanted(o.colour, stdout), o.detail);
        }
        // Many runs: only the transcript of a failing one is printed.
        if (o.repeat > 1) {
            holding = std::make_shared<HoldingSink>(sink);
            sink = holding;
        }
        transcript.add_sink(sink);
    }
    // With --json the summary goes to standard error, so that standard output stays JSON lines alone.
    std::FILE* summary = o.json && !o.quiet ? stderr : stdout;

    // A session alone runs on an empty scenario; after scenario files it continues on the last one's machine.
    if (o.interactive && scenarios.empty()) {
        scenarios.emplace_back();
        sources.push_back({"session", "-i < (the same commands)", ""});
    }

    int worst = 0;
    for (size_t s = 0; s < scenarios.size(); ++s) {
        const Scenario& scenario = scenarios[s];
        const ScenarioSource& source = sources[s];
        const uint64_t first_seed = o.seed.value_or(scenario.seed.value_or(1));
        const bool last = s + 1 == scenarios.size();
        for (uint64_t r = 0; r < o.repeat; ++r) {
            const uint64_t seed = first_seed + r;
            PlayOptions options{seed, o.trace, o.keep_going};
            std::function<bool(Runner&, sim::workbench::Machine&)> session;
            if (o.interactive && last && r + 1 == o.repeat) {
                session = [&](Runner& runner, sim::workbench::Machine& machine) {
                    LineSource input(stdin);
                    Session interactive(runner, machine, stdout);
                    return interactive.run(input);
                };
            }
            if (!o.quiet && !o.json && o.repeat == 1) {
                std::fprintf(stdout, "Tavelo Q-ward workbench: %s, seed %llu\n", source.name.c_str(),
                             static_cast<unsigned long long>(seed));
            }
            PlayReport report = play(scenario, options, transcript, session);
            if (holding) {
                if (report.outcome == PlayOutcome::passed) {
                    holding->drop();
                } else {
                    std::fprintf(stdout, "Tavelo Q-ward workbench: %s, seed %llu (the failing run)\n",
                                 source.name.c_str(), static_cast<unsigned long long>(seed));
                    holding->release();
                }
            }
            std::string replay = "qward-workbench --seed " + std::to_string(seed) +
                                 (source.replay_argument.empty() ? "" : " " + source.replay_argument);
            if (report.outcome == PlayOutcome::passed) {
                if (scenario.commands.empty()) {
                    std::fprintf(summary, "\n%s: ended cleanly (%s of virtual time, seed %llu)\n", source.name.c_str(),
                                 seconds_text(report.end_time).c_str(), static_cast<unsigned long long>(seed));
                } else if (o.repeat == 1) {
                    std::fprintf(summary, "\n%s: passed (%zu commands, %s of virtual time, seed %llu)\n",
                                 source.name.c_str(), report.commands_run, seconds_text(report.end_time).c_str(),
                                 static_cast<unsigned long long>(seed));
                } else if (r + 1 == o.repeat) {
                    std::fprintf(summary, "%s: passed with each of the %llu seeds %llu to %llu\n", source.name.c_str(),
                                 static_cast<unsigned long long>(o.repeat), static_cast<unsigned long long>(first_seed),
                                 static_cast<unsigned long long>(seed));
                }
                if (!o.trace.empty()) {
                    std::fprintf(summary, "USB trace: %s (%zu records); decode it with\n"
                                          "  tshark -X lua_script:tools/wireshark/qward.lua -r %s -Y qward\n",
                                 o.trace.c_str(), report.trace_records, o.trace.c_str());
                }
                continue;
            }
            std::string where = source.name + (report.failed_line ? ":" + std::to_string(report.failed_line) : "");
            const char* what = report.outcome == PlayOutcome::stopped ? "the simulated machine stopped"
                               : report.outcome == PlayOutcome::error ? "error"
                                                                      : "FAILED";
            std::fprintf(stderr, "\n%s: %s\n  %s\nreplay this run with: %s\n", where.c_str(), what,
                         report.failure.c_str(), replay.c_str());
            worst = std::max(worst, exit_status(report.outcome));
            break;
        }
    }
    return worst;
}
