// Whole runs of the workbench on the simulated machine: expectations that hold and fail with their line, replay
// by seed, PIN digits kept out of the transcript and the trace, requests left pending at the end, the transcript's
// text and JSON forms, and the session's commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>

#include "driver/driver.h"
#include "tools/workbench/names.h"
#include "tools/workbench/play.h"
#include "tools/workbench/requests.h"
#include "tools/workbench/runner.h"
#include "tools/workbench/session.h"
#include "tools/workbench/transcript.h"

namespace sim::workbench {
namespace {

struct RunResult {
    PlayReport report;
    std::vector<Event> events;

    std::string all_text() const {
        std::string text;
        for (const Event& e : events) text += TextSink::format(e, false) + "\n";
        return text;
    }
    std::string all_json() const {
        std::string text;
        for (const Event& e : events) text += JsonSink::format(e) + "\n";
        return text;
    }
    size_t count(Source source, const std::string& part) const {
        size_t n = 0;
        for (const Event& e : events) n += e.source == source && e.text.find(part) != std::string::npos;
        return n;
    }
};

RunResult play_text(const std::string& text, uint64_t seed = 1, const std::string& trace = "", bool keep_going = false) {
    Scenario scenario = parse_scenario(text);
    EXPECT_TRUE(scenario.errors.empty()) << scenario.errors[0].line << ": " << scenario.errors[0].message;
    Transcript transcript;
    auto memory = std::make_shared<MemorySink>();
    transcript.add_sink(memory);
    RunResult run;
    run.report = play(scenario, PlayOptions{seed, trace, keep_going}, transcript);
    run.events = memory->events;
    return run;
}

const char* const kCardSession = R"(plug
open
track present
insert iso
await present expect SUCCESS
reset expect SUCCESS 3B 86 *
protocol T1 expect SUCCESS 02 00 00 00
apdu 00 A4 04 00 08 F0 54 41 56 45 4C 4F 01 expect 90 00
)";

TEST(WorkbenchRun, ACardSessionPasses) {
    RunResult run = play_text(kCardSession);
    EXPECT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure << "\n" << run.all_text();
    EXPECT_EQ(run.report.commands_run, 8u);
    // The layers all show up: the driver's banner, the reader's packets decoded, the state change, the replies.
    EXPECT_EQ(run.count(Source::debug, "Loaded Tavelo USB Driver"), 1u);
    EXPECT_GE(run.count(Source::usb, "command header: card APDU command (0x21), case 3"), 1u);
    EXPECT_GE(run.count(Source::usb, "ATR data"), 1u);
    EXPECT_EQ(run.count(Source::card, "card state ABSENT -> PRESENT"), 1u);
    EXPECT_EQ(run.count(Source::card, "card state PRESENT -> SPECIFIC"), 1u);
    EXPECT_EQ(run.count(Source::app, "IOCTL_SMARTCARD_TRANSMIT -> STATUS_SUCCESS, 10 bytes: SW 90 00 (success)"), 1u);
    EXPECT_EQ(run.count(Source::check, "ok:"), 4u);
    EXPECT_EQ(run.count(Source::kernel, "driver unloaded"), 1u);
}

TEST(WorkbenchRun, AFailedExpectationStopsTheRunWithItsLine) {
    RunResult run = play_text(std::string(kCardSession) + "apdu 00 B0 00 00 02 expect 90 00\nremove\n");
    EXPECT_EQ(run.report.outcome, PlayOutcome::failed);
    EXPECT_EQ(run.report.failed_line, 9);
    EXPECT_EQ(run.report.commands_run, 9u);  // the `remove` after it did not run
    EXPECT_NE(run.report.failure.find("line 9: apdu 00 B0 00 00 02 expect 90 00"), std::string::npos) << run.report.failure;
    // READ BINARY with a DF selected and no EF: the card says so, and the failure shows what was seen.
    EXPECT_NE(run.report.failure.find("expected reply 90 00, saw 69 86"), std::string::npos) << run.report.failure;
    EXPECT_EQ(run.count(Source::check, "FAILED"), 1u);
    EXPECT_EQ(run.count(Source::card, "card removed"), 0u);
}

TEST(WorkbenchRun, KeepGoingRunsTheRestAndReportsTheFirstFailure) {
    RunResult run = play_text("plug expect NO_MEDIA\nexpect state present\nexpect device started\n", 1, "", true);
    EXPECT_EQ(run.report.outcome, PlayOutcome::failed);
    EXPECT_EQ(run.report.failed_line, 1);
    EXPECT_EQ(run.report.commands_run, 3u);
    EXPECT_EQ(run.count(Source::check, "FAILED"), 2u);
    EXPECT_EQ(run.count(Source::check, "ok: device started"), 1u);
}

TEST(WorkbenchRun, StatusExpectationsNameBothStatuses) {
    RunResult run = play_text("plug\nreset expect SUCCESS\n");
    EXPECT_EQ(run.report.outcome, PlayOutcome::failed);
    EXPECT_NE(run.report.failure.find("expected STATUS_SUCCESS, saw STATUS_NO_MEDIA (0xC0000178)"), std::string::npos)
        << run.report.failure;
}

TEST(WorkbenchRun, TheSameSeedReplaysTheSameRun) {
    const std::string text = std::string(kCardSession) + "remove\nawait present\n";
    RunResult first = play_text(text, 77);
    RunResult again = play_text(text, 77);
    ASSERT_EQ(first.report.outcome, PlayOutcome::passed) << first.report.failure;
    EXPECT_EQ(first.all_text(), again.all_text());
    EXPECT_EQ(first.report.end_time, again.report.end_time);
}

TEST(WorkbenchRun, PinDigitsNeverShow) {
    std::string trace = ::testing::TempDir() + "workbench_pin_test.pcap";
    RunResult run = play_text(R"(plug
track present
insert iso
await present
reset
protocol T1
keys 1234 ok
pin direct expect SUCCESS 90 00
apdu 00 20 00 01 04 31 32 33 34 expect 90 00
ioctl TRANSMIT in 0200000008000000 0020000104 31323334 expect SUCCESS 90 00
)",
                        1, trace);
    ASSERT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure << "\n" << run.all_text();
    for (const std::string& text : {run.all_text(), run.all_json()}) {
        EXPECT_EQ(text.find("keys 1234"), std::string::npos);
        EXPECT_EQ(text.find("31 32 33 34"), std::string::npos);
        EXPECT_EQ(text.find("31323334"), std::string::npos);
    }
    EXPECT_EQ(run.count(Source::step, "keys **** ok"), 1u);
    EXPECT_EQ(run.count(Source::keypad, "PIN so far: ****"), 1u);
    EXPECT_GE(run.count(Source::usb, "** ** ** **"), 1u);  // the VERIFY's data packet, masked

    std::ifstream in(trace, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(bytes.size(), 1000u);
    EXPECT_EQ(bytes.find("1234"), std::string::npos) << "the PIN went into the trace";
}

TEST(WorkbenchRun, TraceHoldsEverySubmissionAndCompletion) {
    std::string trace = ::testing::TempDir() + "workbench_trace_test.pcap";
    RunResult run = play_text("plug\ninsert iso\n", 1, trace);
    ASSERT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure;
    std::ifstream in(trace, std::ios::binary);
    std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 24, submissions = 0, completions = 0;
    std::vector<uint8_t> first_setup;
    while (at + 16 <= b.size()) {
        size_t length = b[at + 8] | b[at + 9] << 8 | b[at + 10] << 16;
        const uint8_t* record = &b[at + 16];
        submissions += record[8] == 'S';
        completions += record[8] == 'C';
        if (first_setup.empty()) first_setup.assign(record + 40, record + 48);
        at += 16 + length;
    }
    EXPECT_EQ(at, b.size());
    EXPECT_EQ(submissions, completions + 0) << "every URB of a finished run completed";
    EXPECT_EQ(submissions, run.report.trace_records / 2);
    // The first URB is the device descriptor request of the start.
    EXPECT_EQ(first_setup, (std::vector<uint8_t>{0x80, 0x06, 0x00, 0x01, 0x00, 0x00, 0x12, 0x00}));
}

TEST(WorkbenchRun, UnknownReadersCardsAndRequestsAreReported) {
    struct Case {
        const char* scenario;
        const char* failure;
    };
    const Case cases[] = {
        {"insert iso\n", "no reader yet"},
        {"plug\ninsert platinum\n", "no card named \"platinum\""},
        {"plug\nawait nothing\n", "no overlapped request named \"nothing\""},
        {"plug\nexpect state absent on elsewhere\n", "no reader named \"elsewhere\""},
        {"plug\nplug reader0\n", "plugged in already"},
        {"plug\ntrack present\nawait present within 50ms\n", "still pending after 50 ms"},
        {"plug\ntrack present\ntrack present\n", "still pending"},
        {"plug\nresume\n", "not asleep"},
        {"plug\nclose\n", "no open handle"},
    };
    for (const Case& c : cases) {
        RunResult run = play_text(c.scenario);
        EXPECT_EQ(run.report.outcome, PlayOutcome::failed) << c.scenario;
        EXPECT_NE(run.report.failure.find(c.failure), std::string::npos) << c.scenario << " gave: " << run.report.failure;
    }
}

TEST(WorkbenchRun, RemovalsAndPowerFollowTheMachine) {
    RunResult run = play_text(R"(plug left
plug right
use left
track present
insert iso
await present
sleep
resume expect SUCCESS
disable on right expect SUCCESS
expect device removed on right
start on right expect SUCCESS
expect device started on right
unplug on left
expect device surprise_removed on left
close on left
expect device deleted on left
)");
    EXPECT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure << "\n" << run.all_text();
    EXPECT_EQ(run.count(Source::power, "system sleep to S3 (2 reader(s)) -> STATUS_SUCCESS"), 1u);
    EXPECT_EQ(run.count(Source::pnp, "last handle closed: IRP_MN_REMOVE_DEVICE sent"), 1u);
}

TEST(WorkbenchRun, AnUnplugWaitsForTheLastHandle) {
    RunResult run = play_text(R"(plug
open a
open b
unplug
expect device surprise_removed
ioctl GET_STATE out 4 via a expect DEVICE_REMOVED
close a
expect device surprise_removed
close b
expect device deleted
)");
    EXPECT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure << "\n" << run.all_text();
}

TEST(WorkbenchRun, ClosingAHandleCancelsTheTrackingRequest) {
    RunResult run = play_text(R"(plug
open
track present
close
await present expect CANCELLED
)");
    EXPECT_EQ(run.report.outcome, PlayOutcome::passed) << run.report.failure << "\n" << run.all_text();
}

TEST(Transcript, TextAndJsonForms) {
    Event e;
    e.time = from_ms(12) + from_us(345);
    e.source = Source::usb;
    e.reader = "reader0";
    e.text = "IN  02 81 01 \"x\"";
    e.text_field("kind", "card status").field("urb", "7");
    EXPECT_EQ(TextSink::format(e, false), "      12.345 ms  usb    reader0  IN  02 81 01 \"x\"");
    EXPECT_EQ(TextSink::format(e, true).rfind("\x1b[", 0), std::string::npos) << "usb lines are not coloured";
    EXPECT_EQ(JsonSink::format(e),
              "{\"t_ms\":12.345,\"source\":\"usb\",\"reader\":\"reader0\",\"text\":\"IN  02 81 01 \\\"x\\\"\","
              "\"kind\":\"card status\",\"urb\":7}");
    e.tone = Tone::bad;
    e.source = Source::check;
    EXPECT_EQ(TextSink::format(e, true).rfind("\x1b[1;31m", 0), 0u);
    EXPECT_NE(JsonSink::format(e).find("\"failure\":true"), std::string::npos);

    Event note;
    note.source = Source::note;
    note.text = "a heading";
    EXPECT_EQ(TextSink::format(note, false), "\n== a heading ==");

    auto memory = std::make_shared<MemorySink>();
    auto holding = std::make_shared<HoldingSink>(memory);
    holding->write(e);
    EXPECT_TRUE(memory->events.empty());
    holding->release();
    EXPECT_EQ(memory->events.size(), 1u);
    holding->write(e);
    holding->drop();
    holding->release();
    EXPECT_EQ(memory->events.size(), 1u);
}

TEST(Session, CommandsHistoryAndRepeat) {
    std::FILE* in = std::tmpfile();
    std::fputs("help keys\nplug\nkeys 12 ok\nbogus\nhistory\n!1\nstatus\ncards\nquit\nplug ignored\n", in);
    std::rewind(in);
    std::FILE* out = std::tmpfile();
    Scenario empty;
    Transcript transcript;
    auto memory = std::make_shared<MemorySink>();
    transcript.add_sink(memory);
    bool session_result = true;
    PlayReport report = play(empty, PlayOptions{}, transcript, [&](Runner& runner, Machine& machine) {
        LineSource source(in);
        Session session(runner, machine, out);
        session_result = session.run(source);
        return session_result;
    });
    std::rewind(out);
    std::string printed;
    for (int c; (c = std::fgetc(out)) != EOF;) printed += static_cast<char>(c);
    std::fclose(in);
    std::fclose(out);

    EXPECT_FALSE(session_result) << "the bogus line fails a piped session";
    EXPECT_NE(printed.find("The person at the keypad"), std::string::npos);
    EXPECT_NE(printed.find("unknown command \"bogus\""), std::string::npos);
    EXPECT_NE(printed.find("   1  plug\n   2  keys ** ok\n"), std::string::npos) << printed;
    // `!1` ran `plug` again, which plugged a second reader and made it the current one.
    EXPECT_NE(printed.find("  reader0: device started, card state ABSENT, slot empty\n"
                           "* reader1: device started"), std::string::npos) << printed;
    EXPECT_NE(printed.find("iso-t0"), std::string::npos);
    // Nothing ran after `quit`.
    size_t plugs = 0;
    for (const Event& e : memory->events) plugs += e.source == Source::step && e.text.find("plug") != std::string::npos;
    EXPECT_EQ(plugs, 2u);
    EXPECT_EQ(report.outcome, PlayOutcome::failed);
}

}  // namespace
}  // namespace sim::workbench

namespace sim::workbench {
namespace {

TEST(Requests, RepliesAreDecodedPerControlCode) {
    struct Case {
        ULONG code;
        Bytes input;
        Bytes reply;
        const char* says;
    };
    const Bytes io = {0x02, 0, 0, 0, 8, 0, 0, 0};
    auto with_io = [&](Bytes tail) {
        Bytes all = io;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    const Case cases[] = {
        {IOCTL_SMARTCARD_TRANSMIT, with_io({0x00, 0xB0, 0, 0, 2}), with_io({0x12, 0x34, 0x90, 0x00}),
         "data 12 34, SW 90 00 (success)"},
        {IOCTL_SMARTCARD_TRANSMIT, with_io({0x80, 0x12, 0, 1, 0}),
         with_io({0xD0, 0x07, 'K', 'V', 'X', '3', '1', '0', '7', 0x90, 0x00}), "\"KVX3107\""},
        {IOCTL_SMARTCARD_TRANSMIT, with_io({0x00, 0x20, 0, 1}), with_io({0x63, 0xC1}), "wrong PIN, 1 try left"},
        {IOCTL_SMARTCARD_POWER, {1, 0, 0, 0}, {0x3B, 0x00}, "ATR 3B 00"},
        {IOCTL_SMARTCARD_SET_PROTOCOL, {3, 0, 0, 0}, {2, 0, 0, 0}, "selected T=1"},
        {IOCTL_SMARTCARD_GET_STATE, {}, {6, 0, 0, 0}, "card state SPECIFIC"},
        {IOCTL_SMARTCARD_GET_ATTRIBUTE, {0x00, 0x01, 0x01, 0x00}, {'T', 'a', 'v', 'e', 'l', 'o', 0}, "\"Tavelo\""},
        {CM_IOCTL_GET_FEATURE_REQUEST, {}, {0x06, 0x04, 0x00, 0x31, 0x36, 0xC4}, "1 features: FEATURE_VERIFY_PIN_DIRECT 0x003136C4"},
        {IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, {0x10, 0x02, 0x07, 0x1E}, "display 16 characters x 2 lines"},
        {IOCTL_VENDOR_GET_VERSION, {}, {'Q', '0', '1', '.', '1', '1', 0}, "reader \"Q\", driver \"01.11\""},
        {IOCTL_FEATURE_VERIFY_PIN_START, {}, {}, "entry accepted"},
        {IOCTL_FEATURE_VERIFY_PIN_START, {}, {0x57}, "refused"},
        {IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, {0x64, 0x00}, "PIN entry timed out"},
        {IOCTL_FEATURE_GET_KEY_PRESSED, {}, {0x0E}, "entry time-out"},
    };
    for (const Case& c : cases) {
        std::string text = describe_reply(c.code, c.input, c.reply);
        EXPECT_NE(text.find(c.says), std::string::npos) << ioctl_name(c.code) << " gave: " << text;
    }
    EXPECT_EQ(describe_request(IOCTL_SMARTCARD_TRANSMIT, with_io({0x00, 0x20, 0x00, 0x01, 0x02, 0x31, 0x32})),
              "APDU 00 20 00 01 02 ** ** (VERIFY)");
    EXPECT_EQ(describe_request(IOCTL_SMARTCARD_POWER, Bytes{2, 0, 0, 0}), "SCARD_WARM_RESET");
    EXPECT_EQ(reply_payload(IOCTL_SMARTCARD_TRANSMIT, with_io({0x90, 0x00})), (Bytes{0x90, 0x00}));
    EXPECT_EQ(reply_payload(IOCTL_SMARTCARD_GET_STATE, Bytes{2, 0, 0, 0}), (Bytes{2, 0, 0, 0}));
}

TEST(WorkbenchRun, AnInsertionNobodyListensForIsExplained) {
    RunResult quiet = play_text("plug\ninsert iso\n");
    EXPECT_EQ(quiet.count(Source::info, "the driver has not seen this yet"), 1u) << quiet.all_text();
    RunResult tracked = play_text("plug\ntrack present\ninsert iso\n");
    EXPECT_EQ(tracked.count(Source::info, "the driver has not seen this yet"), 0u) << tracked.all_text();
}

TEST(WorkbenchRun, UrbDetailIsMarkedForVerboseOnly) {
    RunResult run = play_text("plug\n");
    size_t submitted = 0, shown = 0;
    for (const Event& e : run.events) {
        if (e.source != Source::usb) continue;
        if (e.text.find("submitted") != std::string::npos) {
            ++submitted;
            EXPECT_EQ(e.detail, 1) << e.text;
        } else {
            shown += e.detail == 0;
        }
    }
    EXPECT_GT(submitted, 5u);
    EXPECT_GT(shown, 5u);  // descriptors, configuration, the card-status request and answer
}

}  // namespace
}  // namespace sim::workbench
