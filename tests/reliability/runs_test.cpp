// Reliability runs in the test suite: a fixed batch of seeds for every scenario, short fault, unplug and card-pull sweeps, each run ending with the recovery check; the regression stories; replay determinism; and the runs that once failed.
#include <gtest/gtest.h>

#include "file_scenarios.h"
#include "recovery.h"
#include "runner.h"

namespace sim::reliability {
namespace {

std::string failures(const Tally& tally) {
    std::string text;
    for (const RunResult& r : tally.failures) {
        text += replay_command(r.spec, "qward-reliability") + "\n" + describe(r.findings);
    }
    return text;
}

class EveryScenario : public ::testing::TestWithParam<std::string> {};

TEST_P(EveryScenario, FixedSeedsRunClean) {
    Tally tally;
    run_seeds(GetParam(), 1, 12, tally);
    const Tally::Line& line = tally.per_scenario[GetParam()];
    EXPECT_EQ(line.seeds, 12u);
    // Every run ends with the whole recovery check.
    EXPECT_EQ(line.probes, 12 * recovery_probe_names().size());
    EXPECT_EQ(line.failed, 0u) << failures(tally);
}

TEST_P(EveryScenario, EveryFaultPointRunsClean) {
    Tally tally;
    for (FaultSite site : swept_sites()) sweep_faults(GetParam(), 1, site, tally);
    const Tally::Line& line = tally.per_scenario[GetParam()];
    // Each site was failed at least once: the scenario makes allocations, IRPs and transfers.
    EXPECT_GE(tally.fault_points_per_site["pool"], 1u);
    EXPECT_GE(tally.fault_points_per_site["irp"], 1u);
    EXPECT_GE(tally.fault_points_per_site["bus"], 1u);
    EXPECT_EQ(line.failed, 0u) << failures(tally);
}

TEST_P(EveryScenario, UnplugAndCardPullPointsRunClean) {
    Tally tally;
    sweep_points(GetParam(), 2, DisturbanceKind::unplug, 40, tally);
    sweep_points(GetParam(), 2, DisturbanceKind::pull_card, 40, tally);
    const Tally::Line& line = tally.per_scenario[GetParam()];
    EXPECT_GE(line.unplug_points, 3u);
    EXPECT_GE(line.card_points, 3u);
    EXPECT_EQ(line.probes, line.runs * recovery_probe_names().size());
    EXPECT_EQ(line.failed, 0u) << failures(tally);
}

std::vector<std::string> names() {
    std::vector<std::string> list;
    for (const Scenario& s : scenarios()) list.push_back(s.name);
    return list;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, EveryScenario, ::testing::ValuesIn(names()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// The scenario files, which the report sweeps: the same seeds and sweeps, named by their path.
std::vector<std::string> file_names() {
    enable_file_scenarios();
    std::vector<std::string> list = scenario_files(QWARD_SCENARIO_DIR);
    EXPECT_GE(list.size(), 9u) << "the scenario folder " << QWARD_SCENARIO_DIR;
    return list;
}

INSTANTIATE_TEST_SUITE_P(Files, EveryScenario, ::testing::ValuesIn(file_names()),
                         [](const auto& info) {
                             std::string name = info.param.substr(info.param.find_last_of('/') + 1);
                             name = name.substr(0, name.size() - 4);
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// One story per driver fault found: each fails on a driver that has the fault, by its predictions or by the
// recovery check after it.
class RegressionStory : public ::testing::TestWithParam<std::string> {};

TEST_P(RegressionStory, RunsCleanUnderEverySeed) {
    Tally tally;
    run_seeds(GetParam(), 1, 3, tally);
    EXPECT_EQ(tally.per_scenario[GetParam()].failed, 0u) << failures(tally);
}

std::vector<std::string> regression_names() {
    std::vector<std::string> list;
    for (const Scenario& s : regression_scenarios()) list.push_back(s.name);
    return list;
}

INSTANTIATE_TEST_SUITE_P(Regressions, RegressionStory, ::testing::ValuesIn(regression_names()),
                         [](const auto& info) {
                             std::string name = info.param;
                             for (char& c : name) c = c == '-' ? '_' : c;
                             return name;
                         });

// A scenario file written for one test.
std::string write_file(const std::string& name, const std::string& text) {
    const std::string path = ::testing::TempDir() + name;
    FILE* f = std::fopen(path.c_str(), "w");
    EXPECT_NE(f, nullptr) << path;
    if (f) {
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    return path;
}

const char* const kFileStart = "# a card session\nplug nostart expect SUCCESS\nreader silent\ninsert iso\nreader normal\n"
                               "start expect SUCCESS\nopen\nreset expect SUCCESS 3B 86 *\n";

TEST(ScenarioFiles, AWrongExpectationIsAFindingThatNamesTheFileAndLine) {
    enable_file_scenarios();
    const std::string path = write_file("wrong-expectation.qws", std::string(kFileStart) +
                                                                     "protocol T1 expect SUCCESS 01 00 00 00\n");
    RunResult r = run_once({path, 1, {}});
    ASSERT_EQ(r.findings.size(), 1u) << describe(r.findings);
    EXPECT_EQ(r.findings[0].kind, "expectation");
    EXPECT_NE(r.findings[0].detail.find("wrong-expectation.qws:9: protocol T1"), std::string::npos) << r.findings[0].detail;
    EXPECT_NE(r.findings[0].detail.find("saw STATUS_SUCCESS with 02 00 00 00"), std::string::npos) << r.findings[0].detail;
    EXPECT_EQ(replay_command(r.spec, "q"), "q run --scenario " + path + " --seed 1");
    // The same file with the right answer runs clean, the recovery check included.
    RunResult right = run_once({write_file("right-expectation.qws", std::string(kFileStart) +
                                                                         "protocol T1 expect SUCCESS 02 00 00 00\n"),
                                1, {}});
    EXPECT_TRUE(right.clean()) << describe(right.findings);
    EXPECT_EQ(right.probes, recovery_probe_names().size());
}

TEST(ScenarioFiles, ExpectationsHoldOnlyInAnUndisturbedRun) {
    enable_file_scenarios();
    // The first allocation fails: the start fails, and the predictions that follow are not held against the run.
    const std::string path = write_file("disturbed.qws", std::string(kFileStart) + "apdu 00 A4 00 00 02 3F 00 expect 90 00\n");
    RunResult r = run_once({path, 1, *Disturbance::parse("pool:1")});
    EXPECT_TRUE(r.disturbed);
    EXPECT_TRUE(r.clean()) << describe(r.findings);
}

TEST(ScenarioFiles, WhatARunCannotDoIsRefusedWhenTheFileIsLoaded) {
    struct Case {
        const char* name;
        const char* text;
        const char* says;
    };
    const Case cases[] = {
        {"two-readers.qws", "plug\nplug second\n", "two-readers.qws:2: a second `plug`"},
        {"use.qws", "plug\nuse reader0\n", "use.qws:2: `use`"},
        {"on.qws", "plug\nremove on other\n", "on.qws:2: `on READER`"},
        {"syntax.qws", "plug\nfail pool sometimes\n", "syntax.qws:2: `fail pool sometimes`"},
    };
    for (const Case& one : cases) {
        std::string error;
        EXPECT_EQ(file_scenario(write_file(one.name, one.text), &error), nullptr) << one.name;
        EXPECT_NE(error.find(one.says), std::string::npos) << error;
    }
    std::string error;
    EXPECT_EQ(file_scenario(::testing::TempDir() + "no-such-file.qws", &error), nullptr);
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

TEST(ScenarioFiles, LinesBetweenSleepAndResumeHappenWhileAsleep) {
    enable_file_scenarios();
    // The card leaves while the machine sleeps and the reader cannot report it; the wake finds the slot empty.
    const std::string path = write_file("asleep.qws", std::string(kFileStart) +
                                                          "track absent\nsleep S3 expect SUCCESS\nreader silent\nremove\n"
                                                          "reader normal\nresume expect SUCCESS\nawait absent expect SUCCESS\n"
                                                          "ioctl GET_STATE out 4 expect SUCCESS 01 00 00 00\n");
    RunResult r = run_once({path, 2, {}});
    EXPECT_TRUE(r.clean()) << describe(r.findings);
}

TEST(Replay, TheSameSpecGivesTheSameRun) {
    RunSpec spec{"pin-steps", 17, *Disturbance::parse("card:300")};
    RunResult a = run_once(spec);
    RunResult b = run_once(spec);
    EXPECT_EQ(a.switches, b.switches);
    EXPECT_EQ(a.virtual_ms, b.virtual_ms);
    EXPECT_EQ(describe(a.findings), describe(b.findings));
    EXPECT_TRUE(a.disturbed);
}

// The watcher acts inside the scenario body only: the recovery check and the teardown after it are not disturbed.
TEST(Watcher, ActsAtAPointInsideTheBodyAndNotBeyondIt) {
    RunResult plain = run_once({"card-events", 5, *Disturbance::parse("unplug:0")});
    ASSERT_TRUE(plain.clean()) << describe(plain.findings);
    EXPECT_FALSE(plain.disturbed);
    ASSERT_LT(plain.body_switches, plain.switches);
    RunResult inside = run_once({"card-events", 5, *Disturbance::parse("unplug:" + std::to_string(plain.body_switches / 2))});
    EXPECT_TRUE(inside.disturbed);
    RunResult in_recovery = run_once({"card-events", 5, *Disturbance::parse("unplug:" + std::to_string(plain.body_switches + 10))});
    EXPECT_FALSE(in_recovery.disturbed);
    EXPECT_TRUE(in_recovery.clean()) << describe(in_recovery.findings);
    RunResult beyond = run_once({"card-events", 5, *Disturbance::parse("unplug:" + std::to_string(plain.switches * 4))});
    EXPECT_FALSE(beyond.disturbed);
}

TEST(Faults, AFaultBeyondTheLastCallLeavesTheRunUndisturbed) {
    RunResult first = run_once({"removal", 1, *Disturbance::parse("pool:1")});
    EXPECT_TRUE(first.disturbed);
    RunResult beyond = run_once({"removal", 1, *Disturbance::parse("pool:1000000")});
    EXPECT_FALSE(beyond.disturbed);
    EXPECT_TRUE(beyond.clean()) << describe(beyond.findings);
}

// The report's figures count runs, not findings: a run with two pool findings and a deadlock is one failing run,
// one run with a leak and one with a hang; clean runs count for nothing.
TEST(Tally, CountsFailingRunsPerKindOfFinding) {
    Tally tally;
    RunResult leaking;
    leaking.spec = {"apdus", 1, *Disturbance::parse("pool:3")};
    leaking.findings = {{"pool", "2 block(s)"}, {"pool", "1 block(s)"}, {"deadlock", "every thread is blocked"}};
    RunResult clean;
    clean.spec = {"apdus", 2, {}};
    RunResult hanging;
    hanging.spec = {"removal", 1, *Disturbance::parse("unplug:7")};
    hanging.findings = {{"outstanding", "IOCTL_SMARTCARD_TRANSMIT"}};
    for (const RunResult* r : {&leaking, &clean, &hanging}) tally.add(*r);
    EXPECT_EQ(tally.total(&Tally::Line::runs), 3u);
    EXPECT_EQ(tally.total(&Tally::Line::failed), 2u);
    EXPECT_EQ(tally.runs_per_finding_kind["pool"], 1u);
    EXPECT_EQ(tally.runs_per_finding_kind["deadlock"], 1u);
    EXPECT_EQ(tally.runs_per_finding_kind["outstanding"], 1u);
    EXPECT_EQ(tally.runs_per_finding_kind.count("verifier"), 0u);
}

// Runs that once hung or failed, each for its own cause: a transfer queued while the reader was being unplugged
// that the bus never served; a header write that could not be built, after which the reader never answered the
// awaited last data packet; a data write that the bus failed; a card-status packet whose read decided "nobody
// waits" just before a write-and-await found the read still marked posted; a reset right after resume whose ATR
// went to the background read that power-up posted after completing the power IRP; a device power request that
// could not be made at resume.
TEST(FormerFindings, RunClean) {
    const RunSpec cases[] = {
        {"apdus", 1, *Disturbance::parse("unplug:1171")},
        {"apdus", 1, *Disturbance::parse("pool:26")},
        {"apdus", 1, *Disturbance::parse("pool:168")},
        {"pin-direct", 1, *Disturbance::parse("bus:11")},
        {"apdus", 1, *Disturbance::parse("card:514")},
        {"sleep-resume", 4, {}},
        {"sleep-resume", 1, *Disturbance::parse("pool:29")},
    };
    for (const RunSpec& spec : cases) {
        RunResult r = run_isolated(spec);
        EXPECT_TRUE(spec.disturbance.kind == DisturbanceKind::none || r.disturbed)
            << replay_command(spec, "qward-reliability") << " no longer reaches its disturbance";
        EXPECT_TRUE(r.clean()) << replay_command(spec, "qward-reliability") << "\n" << describe(r.findings);
    }
}

}  // namespace
}  // namespace sim::reliability
