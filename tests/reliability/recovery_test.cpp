// The recovery check: the heal undoes what the world did to the reader (faults, a misbehaving firmware, an unplug, a driver stack that never came up) and leaves a working driver's probes passing; the probes catch a driver whose records no longer let it serve the reader; the predictions of the scenarios and the figures that count the probes.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include "driver/driver.h"
#include "reader/cards/card_factory.h"
#include "recovery.h"
#include "runner.h"

namespace sim::reliability {
namespace {

struct Recovered {
    RunOutcome outcome = RunOutcome::completed;
    RecoveryOutcome recovery;
    std::vector<Finding> checks;  // the end-of-run checks after the teardown
    bool replaced = false;
    std::set<std::string> failed;  // the probes that failed
};

std::string describe(const Recovered& r) {
    std::string text = std::string(to_string(r.outcome)) + ", " + std::to_string(r.recovery.probes) + " probes\n";
    for (const Finding& f : r.recovery.failures) text += "  " + f.detail + "\n";
    return text + describe(r.checks);
}

// Plugs the reader in (after `before_plug`), runs `body` (the disturbance), then the recovery check and the
// teardown.
Recovered recover_after(const std::function<void(Rig&)>& body, const std::function<void(Rig&)>& before_plug = {}) {
    Rig rig(3);
    Recovered r;
    rig.k.spawn("test", [&] {
        if (before_plug) before_plug(rig);
        rig.plug();
        body(rig);
        r.recovery = check_recovery(rig);
        r.replaced = rig.replaced_reader();
        rig.teardown();
    });
    r.outcome = rig.k.scheduler().run(20'000'000);
    r.checks = check_run(rig, r.outcome);
    for (const Finding& f : r.recovery.failures) {
        for (const std::string& probe : recovery_probe_names()) {
            if (f.detail.rfind(probe + ":", 0) == 0) r.failed.insert(probe);
        }
    }
    return r;
}

// Started with a powered card, a protocol and a handle that the test leaves open.
void started_with_card(Rig& rig) {
    rig.insert_card_quietly(std::shared_ptr<Card>(make_card("iso")));
    rig.start();
    Handle h = rig.open("test");
    rig.ioctl(h, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64, "reset");
    rig.ioctl(h, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), 4, "protocol");
}

TEST(RecoveryCheck, AWorkingReaderPassesEveryProbeOnItsFirstTry) {
    Recovered r = recover_after(started_with_card);
    ASSERT_EQ(r.outcome, RunOutcome::completed) << describe(r);
    EXPECT_EQ(r.recovery.probes, recovery_probe_names().size());
    EXPECT_EQ(r.recovery.probes_failed, 0u) << describe(r);
    EXPECT_TRUE(r.checks.empty()) << describe(r);
    EXPECT_FALSE(r.replaced);
}

// What the world did is undone by the heal; the driver itself was never wrong, so every probe passes.
TEST(RecoveryCheck, TheHealUndoesWhatTheWorldDid) {
    struct Row {
        const char* what;
        std::function<void(Rig&)> body;
        bool replaced;
        std::function<void(Rig&)> before_plug;
    };
    const Row rows[] = {
        {"every later allocation, IRP and transfer fails",
         [](Rig& rig) {
             started_with_card(rig);
             for (FaultSite site : {FaultSite::pool, FaultSite::irp, FaultSite::bus_transfer}) {
                 rig.k.set_fault(site, FaultPlan{1, 0, true});
             }
         },
         false},
        {"the reader is scripted, slow, withholds answers and refuses writes, the keypad is out of service with a "
         "person queued who never types",
         [](Rig& rig) {
             started_with_card(rig);
             rig.reader.set_mode(Reader::Mode::scripted);
             rig.reader.set_answer_delay(from_ms(20'000));
             rig.reader.withhold_answers(5);
             rig.reader.refuse_writes(true);
             rig.pinpad->keypad_in_service = false;
             rig.pinpad->keypad->queue_person(Person::never_types());
         },
         false},
        {"an application left a tracking request waiting on its open handle",
         [](Rig& rig) {
             started_with_card(rig);
             Handle h = rig.open("left open");
             rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "left waiting");
         },
         false},
        {"the card was pulled and another card put in",
         [](Rig& rig) {
             started_with_card(rig);
             rig.remove_card();
             rig.insert_card(std::shared_ptr<Card>(make_card("iso-t0")));
         },
         false},
        {"the reader was unplugged with a handle open and a tracking request waiting",
         [](Rig& rig) {
             started_with_card(rig);
             Handle h = rig.open("second");
             rig.ioctl_async(h, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking");
             rig.surprise_removal();
         },
         true},
        {"AddDevice failed: no driver stack on the reader",
         [](Rig& rig) { EXPECT_EQ(rig.start(), STATUS_INVALID_DEVICE_STATE); }, true,
         [](Rig& rig) { rig.k.set_fault(FaultSite::pool, FaultPlan{1, 0, true}); }},
        {"the device was stopped and not started again",
         [](Rig& rig) {
             rig.insert_card_quietly(std::shared_ptr<Card>(make_card("iso")));
             rig.start();
             rig.stop();
         },
         false},
    };
    for (const Row& row : rows) {
        Recovered r = recover_after(row.body, row.before_plug);
        ASSERT_EQ(r.outcome, RunOutcome::completed) << row.what << "\n" << describe(r);
        EXPECT_EQ(r.recovery.probes, recovery_probe_names().size()) << row.what;
        EXPECT_EQ(r.recovery.probes_failed, 0u) << row.what << "\n" << describe(r);
        EXPECT_EQ(r.replaced, row.replaced) << row.what;
        EXPECT_TRUE(r.checks.empty()) << row.what << "\n" << describe(r);
    }
}

// A driver whose records no longer let it serve the reader fails the probes that depend on them. Each row plants
// a record the driver does not set right by itself once the trouble is over.
TEST(RecoveryCheck, ProbesCatchADriverThatDidNotComeBack) {
    struct Row {
        const char* what;
        std::function<void(PDEVICE_EXTENSION)> plant;
        std::vector<std::string> failing;
    };
    const Row rows[] = {
        {"the reader's IN pipe forgotten", [](PDEVICE_EXTENSION de) { de->InPipe = nullptr; },
         {"cold reset", "APDU select MF", "APDU select EF", "APDU read binary", "PIN on the keypad"}},
        {"a cancelled read remembered", [](PDEVICE_EXTENSION de) { de->SmartcardExtension.ReaderExtension->PollCancelled = TRUE; },
         {"APDU select MF"}},
        {"the device believed unpowered in a sleeping system: card tracking reads nothing",
         [](PDEVICE_EXTENSION de) {
             de->DevicePowerState = PowerDeviceD3;
             de->SystemPowerState = PowerSystemSleeping3;
         },
         {"card removal seen", "card insertion seen"}},
    };
    for (const Row& row : rows) {
        Recovered r = recover_after([&](Rig& rig) {
            started_with_card(rig);
            row.plant(rig.device_extension());
        });
        ASSERT_EQ(r.outcome, RunOutcome::completed) << row.what << "\n" << describe(r);
        for (const std::string& probe : row.failing) {
            EXPECT_TRUE(r.failed.count(probe)) << row.what << ": " << probe << " did not fail\n" << describe(r);
        }
        ASSERT_FALSE(r.recovery.failures.empty()) << row.what;
        EXPECT_EQ(r.recovery.failures.front().kind, "recovery");
        EXPECT_NE(r.recovery.failures.front().detail.find("driver records after the heal"), std::string::npos);
    }
}

TEST(RecoveryCheck, StateAtRestIsTheSlotsTruth) {
    struct Row {
        ULONG state;
        bool card;
        bool matches;
    };
    const Row rows[] = {{SCARD_ABSENT, false, true},     {SCARD_PRESENT, false, false},  {SCARD_UNKNOWN, false, false},
                        {SCARD_ABSENT, true, false},     {SCARD_PRESENT, true, true},    {SCARD_SWALLOWED, true, true},
                        {SCARD_SPECIFIC, true, true},    {SCARD_UNKNOWN, true, false},   {7, true, false}};
    for (const Row& row : rows) EXPECT_EQ(state_matches_slot(row.state, row.card), row.matches) << row.state << " " << row.card;
}

TEST(RecoveryCheck, ProtocolsAreReadFromTheAtr) {
    struct Row {
        const char* card;
        ULONG protocols;
    };
    const Row rows[] = {{"iso", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}, {"iso-t0", SCARD_PROTOCOL_T0},
                        {"iso-t1", SCARD_PROTOCOL_T1},                 {"iso-2", SCARD_PROTOCOL_T0},
                        {"iso-long-atr", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1},  // TD4 names T=15: no protocol
                        {"iso-inverse", SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1}};
    for (const Row& row : rows) {
        EXPECT_EQ(atr_protocols(make_card(row.card)->reset(false)), row.protocols) << row.card;
    }
    EXPECT_EQ(atr_protocols({}), 0u);
    EXPECT_EQ(atr_protocols({0x3C, 0x00}), 0u);        // no ATR's initial character
    EXPECT_EQ(atr_protocols({0x3B, 0x80}), 0u);        // TD1 announced and missing
}

// ---- Predictions of the scenarios -------------------------------------------------------------------------------

TEST(Predictions, HoldOnlyForTheirStatusAndReply) {
    Predicted with_failure = Predicted::success_with({0x2B});
    with_failure.or_failure = true;
    struct Row {
        const char* what;
        Predicted predicted;
        NTSTATUS status;
        std::vector<uint8_t> reply;
        bool holds;
    };
    const Row rows[] = {
        {"success", Predicted::success(), STATUS_SUCCESS, {0x01}, true},
        {"success, failed", Predicted::success(), STATUS_NO_MEDIA, {}, false},
        {"exact reply", Predicted::success_with({0x90, 0x00}), STATUS_SUCCESS, {0x90, 0x00}, true},
        {"exact reply, longer", Predicted::success_with({0x90, 0x00}), STATUS_SUCCESS, {0x00, 0x90, 0x00}, false},
        {"empty reply", Predicted::success_with({}), STATUS_SUCCESS, {0x00}, false},
        {"one of", Predicted::success_with_one_of({{0x01}, {0x02}}), STATUS_SUCCESS, {0x02}, true},
        {"ending", Predicted::success_ending({0x90, 0x00}), STATUS_SUCCESS, {0xC1, 0x90, 0x00}, true},
        {"ending, short", Predicted::success_ending({0x90, 0x00}), STATUS_SUCCESS, {0x00}, false},
        {"named failure", Predicted::failure(STATUS_CANCELLED), STATUS_CANCELLED, {}, true},
        {"named failure, other", Predicted::failure(STATUS_CANCELLED), STATUS_DEVICE_BUSY, {}, false},
        {"some failure", Predicted::some_failure(), STATUS_IO_TIMEOUT, {}, true},
        {"some failure, success", Predicted::some_failure(), STATUS_SUCCESS, {}, false},
        {"or failure, reply", with_failure, STATUS_SUCCESS, {0x2B}, true},
        {"or failure, failure", with_failure, STATUS_NO_MEDIA, {}, true},
        {"or failure, other reply", with_failure, STATUS_SUCCESS, {0x0D}, false},
        {"state", Predicted::state({SCARD_PRESENT, SCARD_SWALLOWED}), STATUS_SUCCESS, ulong_bytes(SCARD_SWALLOWED), true},
        {"state, other", Predicted::state({SCARD_ABSENT}), STATUS_SUCCESS, ulong_bytes(SCARD_SPECIFIC), false},
        {"property", Predicted::success_where([](const std::vector<uint8_t>& r) { return r.size() == 3; }, "3 bytes"),
         STATUS_SUCCESS, {1, 2, 3}, true},
    };
    for (const Row& row : rows) EXPECT_EQ(row.predicted.holds(row.status, row.reply), row.holds) << row.what;
}

TEST(Predictions, EveryRequestOfAnUndisturbedBodyHasOne) {
    Rig rig(3);
    Context undisturbed(true);
    Context disturbed(false);
    rig.k.spawn("test", [&] {
        rig.plug();
        rig.start();
        Handle h = rig.open("test");
        auto checked = rig.ioctl_async(h, IOCTL_SMARTCARD_GET_STATE, {}, 4, "checked");
        rig.wait(checked);
        undisturbed.expect_result(checked, Predicted::state({SCARD_PRESENT}), "checked");  // the slot is empty
        disturbed.expect_result(checked, Predicted::state({SCARD_PRESENT}), "checked");
        rig.ioctl(h, IOCTL_SMARTCARD_GET_STATE, {}, 4, "unchecked");
        undisturbed.expect_all_predicted(rig.requests(), rig.requests().size());
        disturbed.expect_all_predicted(rig.requests(), rig.requests().size());
        rig.teardown();
    });
    ASSERT_EQ(rig.k.scheduler().run(1'000'000), RunOutcome::completed);
    ASSERT_EQ(undisturbed.findings().size(), 2u);
    EXPECT_NE(undisturbed.findings()[0].detail.find("saw STATUS_SUCCESS with 01 00 00 00"), std::string::npos)
        << undisturbed.findings()[0].detail;
    EXPECT_NE(undisturbed.findings()[1].detail.find("unchecked"), std::string::npos);
    EXPECT_NE(undisturbed.findings()[1].detail.find("no predicted result"), std::string::npos);
    EXPECT_TRUE(disturbed.findings().empty());
}

// ---- The runs and the figures -----------------------------------------------------------------------------------

TEST(RecoveryRuns, EveryCompletedRunIsProbedAndItsFiguresSurviveTheChildProcess) {
    const RunSpec spec{"card-events", 4, *Disturbance::parse("card:100")};
    RunResult here = run_once(spec);
    RunResult there = run_isolated(spec);
    EXPECT_EQ(here.probes, recovery_probe_names().size());
    EXPECT_EQ(there.probes, here.probes);
    EXPECT_EQ(there.probes_failed, here.probes_failed);
    EXPECT_EQ(there.body_switches, here.body_switches);
    EXPECT_GT(here.switches, here.body_switches);
    Tally tally;
    tally.add(there);
    tally.add(there);
    EXPECT_EQ(tally.total(&Tally::Line::probes), 2 * here.probes);
}

TEST(RecoveryRuns, AFailedProbeIsAFindingOfItsOwnKind) {
    Tally tally;
    RunResult r;
    r.spec = {"apdus", 1, *Disturbance::parse("bus:12")};
    r.probes = 11;
    r.probes_failed = 3;
    r.findings = {{"recovery", "APDU select MF: expected ..."}, {"recovery", "APDU select EF: expected ..."}};
    tally.add(r);
    EXPECT_EQ(tally.runs_per_finding_kind["recovery"], 1u);
    EXPECT_EQ(tally.total(&Tally::Line::probes_failed), 3u);
    EXPECT_EQ(tally.total(&Tally::Line::failed), 1u);
}

}  // namespace
}  // namespace sim::reliability
