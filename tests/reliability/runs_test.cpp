// Reliability runs in the test suite: a fixed batch of seeds for every scenario, short fault, unplug and card-pull sweeps, replay determinism, and the known issues still reproducing.
#include <gtest/gtest.h>

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
    EXPECT_EQ(line.failed, 0u) << failures(tally);
}

TEST_P(EveryScenario, EveryFaultPointLeavesOnlyKnownIssues) {
    Tally tally;
    for (FaultSite site : swept_sites()) sweep_faults(GetParam(), 1, site, tally);
    const Tally::Line& line = tally.per_scenario[GetParam()];
    // Each site was failed at least once: the scenario makes allocations, IRPs and transfers.
    EXPECT_GE(tally.fault_points_per_site["pool"], 1u);
    EXPECT_GE(tally.fault_points_per_site["irp"], 1u);
    EXPECT_GE(tally.fault_points_per_site["bus"], 1u);
    EXPECT_EQ(line.failed, 0u) << failures(tally);
}

TEST_P(EveryScenario, UnplugAndCardPullPointsLeaveOnlyKnownIssues) {
    Tally tally;
    sweep_points(GetParam(), 2, DisturbanceKind::unplug, 40, tally);
    sweep_points(GetParam(), 2, DisturbanceKind::pull_card, 40, tally);
    const Tally::Line& line = tally.per_scenario[GetParam()];
    EXPECT_GE(line.unplug_points, 3u);
    EXPECT_GE(line.card_points, 3u);
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

TEST(Replay, TheSameSpecGivesTheSameRun) {
    RunSpec spec{"pin-steps", 17, *Disturbance::parse("card:300")};
    RunResult a = run_once(spec);
    RunResult b = run_once(spec);
    EXPECT_EQ(a.switches, b.switches);
    EXPECT_EQ(a.virtual_ms, b.virtual_ms);
    EXPECT_EQ(describe(a.findings), describe(b.findings));
    EXPECT_TRUE(a.disturbed);
}

TEST(Watcher, ActsAtAPointInsideTheRunAndNotBeyondIt) {
    RunResult plain = run_once({"card-events", 5, *Disturbance::parse("unplug:0")});
    ASSERT_TRUE(plain.clean()) << describe(plain.findings);
    EXPECT_FALSE(plain.disturbed);
    RunResult inside = run_once({"card-events", 5, *Disturbance::parse("unplug:" + std::to_string(plain.switches / 2))});
    EXPECT_TRUE(inside.disturbed);
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

// The known issues are taken out of the count only while they still happen: when one is fixed, this fails and
// its entry is to be removed.
TEST(KnownIssues, StillReproduce) {
    struct Case {
        const char* issue;
        RunSpec spec;
    };
    const Case cases[] = {
        {"reset-races-power-up-read", {"sleep-resume", 4, {}}},
        {"exchange-waits-for-unposted-read", {"apdus", 1, *Disturbance::parse("card:514")}},
        {"hang-after-fault-or-unplug", {"apdus", 1, *Disturbance::parse("pool:168")}},
    };
    for (const Case& c : cases) {
        RunResult r = run_isolated(c.spec);
        bool seen = false;
        for (const Finding& f : r.findings) {
            const KnownIssue* issue = known_issue(c.spec.scenario, r.disturbed, f);
            seen = seen || (issue && std::string(issue->id) == c.issue);
        }
        EXPECT_TRUE(seen) << c.issue << " no longer shows in " << replay_command(c.spec, "qward-reliability") << "\n"
                          << describe(r.findings);
    }
}

}  // namespace
}  // namespace sim::reliability
