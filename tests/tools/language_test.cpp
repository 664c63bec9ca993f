// The scenario commands a driver test needs: faults from a line on, the reader's misbehaviour, requests left running
// while later lines act, the packets on the wire, and the machine's books. Each command is parsed into its fields,
// refused with a clear error when malformed, and shown to act on the machine: a run where it did nothing would fail.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tools/workbench/names.h"
#include "tools/workbench/play.h"
#include "tools/workbench/scenario.h"
#include "tools/workbench/transcript.h"

namespace sim::workbench {
namespace {

Command parse_ok(const std::string& line) {
    LineResult result = parse_line(line, 4);
    EXPECT_FALSE(result.error) << line << ": " << (result.error ? result.error->message : "");
    EXPECT_TRUE(result.command) << line;
    return result.command ? *result.command : Command{};
}

TEST(LanguageParser, FaultPlans) {
    struct Case {
        const char* line;
        int site;
        uint64_t nth;
        bool from;
        uint64_t every;
        uint32_t per_million;
        bool off;
    };
    const Case cases[] = {
        {"fail pool next", 0, 1, false, 0, 0, false},
        {"fail irp nth 3", 1, 3, false, 0, 0, false},
        {"fail device from 2", 2, 2, true, 0, 0, false},
        {"fail attach next", 3, 1, false, 0, 0, false},
        {"fail interface every 4", 4, 0, false, 4, 0, false},
        {"fail bus share 5%", 5, 0, false, 0, 50'000, false},
        {"fail bus share 0.5%", 5, 0, false, 0, 5'000, false},
        {"fail pool off", 0, 0, false, 0, 0, true},
        {"fail off", -1, 0, false, 0, 0, true},
    };
    for (const Case& one : cases) {
        Command c = parse_ok(one.line);
        EXPECT_EQ(c.verb, Verb::fail) << one.line;
        EXPECT_EQ(c.fault_site, one.site) << one.line;
        EXPECT_EQ(c.fault_nth, one.nth) << one.line;
        EXPECT_EQ(c.fault_from_nth, one.from) << one.line;
        EXPECT_EQ(c.fault_every, one.every) << one.line;
        EXPECT_EQ(c.fault_per_million, one.per_million) << one.line;
        EXPECT_EQ(c.fault_off, one.off) << one.line;
    }
}

TEST(LanguageParser, ReaderBehaviour) {
    Command delay = parse_ok("reader delay 250ms on right");
    EXPECT_EQ(delay.verb, Verb::reader);
    EXPECT_EQ(delay.name, "delay");
    EXPECT_EQ(delay.duration, from_ms(250));
    EXPECT_EQ(delay.reader, "right");
    EXPECT_EQ(parse_ok("reader withhold").number, 1u);
    EXPECT_EQ(parse_ok("reader withhold 3").number, 3u);
    Command reply = parse_ok("reader reply 01 03 03 02 00 after 5ms");
    EXPECT_EQ(reply.name, "reply");
    EXPECT_EQ(reply.input, (Bytes{0x01, 0x03, 0x03, 0x02, 0x00}));
    EXPECT_EQ(reply.duration, from_ms(5));
    EXPECT_EQ(parse_ok("reader send FF").input, Bytes{0xFF});
    EXPECT_EQ(parse_ok("reader event present").number, 1u);
    EXPECT_EQ(parse_ok("reader event absent").number, 0u);
    for (const char* bare : {"reader silent", "reader normal", "reader refuse-writes", "reader take-writes"}) {
        EXPECT_EQ(parse_ok(bare).verb, Verb::reader) << bare;
    }
}

TEST(LanguageParser, ChecksOfTheWireAndTheBooks) {
    Command out = parse_ok("expect usb OUT 01 04 21 ?? * on left");
    EXPECT_EQ(out.verb, Verb::expect_usb);
    EXPECT_EQ(out.name, "OUT");
    EXPECT_EQ(out.reader, "left");
    ASSERT_TRUE(out.pattern);
    EXPECT_TRUE(out.pattern->matches(Bytes{0x01, 0x04, 0x21, 0x0E, 0x00, 0x03, 0x00, 0x00}));
    EXPECT_FALSE(out.pattern->matches(Bytes{0x01, 0x04, 0x07, 0x0E}));
    EXPECT_EQ(parse_ok("expect usb in 01 03 *").name, "IN");
    EXPECT_EQ(parse_ok("expect usb none").name, "none");

    Command tagged = parse_ok("expect pool KRV 2");
    EXPECT_EQ(tagged.verb, Verb::expect_pool);
    EXPECT_EQ(tagged.name, "KRV");
    EXPECT_EQ(tagged.number, 2u);
    Command all = parse_ok("expect pool 0");
    EXPECT_TRUE(all.name.empty());
    EXPECT_EQ(all.number, 0u);
    EXPECT_EQ(parse_ok("expect irps 1").verb, Verb::expect_irps);
    EXPECT_EQ(parse_ok("expect requests 0").verb, Verb::expect_requests);
}

TEST(LanguageParser, EveryRequestCanBeLeftRunning) {
    for (const char* line : {"apdu 00 B0 00 00 02 as read expect PENDING", "reset as r", "reset warm as r",
                             "power-down as r", "protocol T1 as r", "attribute atr as r", "features as r",
                             "version as r", "pin direct as r", "pin start min 4 as r", "pin key as r",
                             "ioctl GET_STATE out 4 as r"}) {
        Command c = parse_ok(line);
        EXPECT_FALSE(c.async_name.empty()) << line;
    }
    EXPECT_EQ(parse_ok("apdu 00 B0 00 00 02 as read").input, (Bytes{0x00, 0xB0, 0x00, 0x00, 0x02}));
    Command pin = parse_ok("pin direct timeout 5 out 1 as verify expect BUFFER_TOO_SMALL");
    EXPECT_EQ(pin.output_size, 1u);
    EXPECT_EQ(pin.pin.timeout_s, 5u);
    EXPECT_EQ(pin.async_name, "verify");
    EXPECT_EQ(parse_ok("pin key out 0").output_size, 0u);
}

TEST(LanguageParser, MalformedLinesAreRefusedWithAReason) {
    struct Case {
        const char* line;
        const char* says;
    };
    const Case cases[] = {
        {"fail disk next", "pool, irp, bus"},
        {"fail pool", "missing how"},
        {"fail pool nth 0", "count from 1"},
        {"fail pool every 0", "use `off`"},
        {"fail pool share 5", "percentage"},
        {"fail pool share 150%", "percentage"},
        {"fail pool sometimes", "next, nth N"},
        {"reader dance", "delay, withhold"},
        {"reader delay soon", "not a duration"},
        {"reader reply", "packet in hex"},
        {"reader reply 0G", "packet in hex"},
        {"reader event maybe", "present or absent"},
        {"expect usb OUT", "packet pattern"},
        {"expect usb sideways 01", "OUT, IN or none"},
        {"expect pool", "missing"},
        {"expect pool KRV lots", "number"},
        {"expect irps", "missing"},
        {"expect books 1", "usb, pool, irps or requests"},
    };
    for (const Case& one : cases) {
        LineResult result = parse_line(one.line, 9);
        EXPECT_FALSE(result.command) << one.line;
        ASSERT_TRUE(result.error) << one.line;
        EXPECT_NE(result.error->message.find(one.says), std::string::npos) << one.line << ": " << result.error->message;
    }
}

TEST(LanguageParser, HelpDocumentsEveryNewCommandWithAnExample) {
    const std::string all = help_text("all");
    for (const char* needle : {"fail pool|irp|bus|device|attach|interface", "fail off", "reader delay", "reader withhold",
                               "reader refuse-writes", "reader silent", "reader normal", "reader reply", "reader send",
                               "reader event", "expect usb OUT", "expect usb none", "expect pool", "expect irps",
                               "expect requests", "as NAME"}) {
        EXPECT_NE(all.find(needle), std::string::npos) << needle;
    }
    for (const char* verb : {"fail", "reader", "as"}) {
        const std::string one = help_text(verb);
        EXPECT_NE(one.find("Example"), std::string::npos) << verb << ":\n" << one;
    }
}

// ---- Runs on the machine --------------------------------------------------------------------------------------

struct Played {
    PlayReport report;
    std::string text;
};

Played play_text(const std::string& text, uint64_t seed = 1) {
    Scenario scenario = parse_scenario(text);
    EXPECT_TRUE(scenario.errors.empty()) << scenario.errors[0].line << ": " << scenario.errors[0].message;
    Transcript transcript;
    auto memory = std::make_shared<MemorySink>();
    transcript.add_sink(memory);
    Played run;
    run.report = play(scenario, PlayOptions{seed, "", false}, transcript);
    for (const Event& e : memory->events) run.text += TextSink::format(e, false) + "\n";
    return run;
}

// A started reader with a reset ISO card that speaks T=1, ready for APDUs.
const std::string kReady = R"(plug expect SUCCESS
open
track present
insert iso
await present expect SUCCESS
reset expect SUCCESS
protocol T1 expect SUCCESS
)";

void expect_passes(const std::string& body, uint64_t seed = 1) {
    Played run = play_text(kReady + body, seed);
    EXPECT_EQ(run.report.outcome, PlayOutcome::passed) << "line " << run.report.failed_line << ": " << run.report.failure
                                                       << "\n" << run.text;
}

// The line number in the whole text (after kReady) of a body's line.
int body_line(int n) { return 7 + n; }

void expect_fails_at(const std::string& body, int line, const std::string& says) {
    Played run = play_text(kReady + body);
    EXPECT_EQ(run.report.outcome, PlayOutcome::failed) << run.text;
    EXPECT_EQ(run.report.failed_line, body_line(line)) << run.report.failure;
    EXPECT_NE(run.report.failure.find(says), std::string::npos) << run.report.failure;
}

TEST(LanguageRun, FaultsFailTheCallsTheyName) {
    // The next allocation fails: the APDU is refused; the one after it goes through.
    expect_passes("fail pool next\napdu 00 A4 00 00 02 3F 00 expect INSUFFICIENT_RESOURCES\n"
                  "apdu 00 A4 00 00 02 3F 00 expect 90 00\n");
    // Without the fault the same request succeeds, so the expectation above can fail.
    expect_fails_at("apdu 00 A4 00 00 02 3F 00 expect INSUFFICIENT_RESOURCES\n", 1, "saw STATUS_SUCCESS");
    // A far call number leaves the next requests alone; every call, or a share of 100 %, fails them.
    expect_passes("fail pool nth 100000\napdu 00 A4 00 00 02 3F 00 expect 90 00\nfail pool every 1\n"
                  "apdu 00 A4 00 00 02 3F 00 expect INSUFFICIENT_RESOURCES\nfail pool off\n"
                  "apdu 00 A4 00 00 02 3F 00 expect 90 00\nfail pool share 100%\n"
                  "apdu 00 A4 00 00 02 3F 00 expect INSUFFICIENT_RESOURCES\nfail off\n"
                  "apdu 00 A4 00 00 02 3F 00 expect 90 00\n");
    // Every transfer fails from here until the fault is off; then the reader answers again.
    expect_fails_at("fail bus from 1\napdu 00 A4 00 00 02 3F 00 expect 90 00\n", 2, "expected reply 90 00");
    // A second reader: the bus's PDO is the first device created, the driver's device object the second; the
    // driver's attach and interface registration are the first of their kind.
    const std::string one = "plug expect SUCCESS\n";
    for (const char* fault : {"fail device nth 2", "fail attach next", "fail interface next"}) {
        Played run = play_text(one + fault + "\nplug second expect SUCCESS\n");
        EXPECT_EQ(run.report.outcome, PlayOutcome::failed) << fault << "\n" << run.text;
        EXPECT_EQ(run.report.failed_line, 3) << fault;
        EXPECT_NE(run.report.failure.find("expected STATUS_SUCCESS, saw"), std::string::npos) << run.report.failure;
        Played clean = play_text(one + fault + "\nfail off\nplug second expect SUCCESS\n");
        EXPECT_EQ(clean.report.outcome, PlayOutcome::passed) << fault << ": " << clean.report.failure;
    }
}

TEST(LanguageRun, TheBooksCountPoolIrpsAndRequests) {
    // At rest nothing is outstanding; a tracking request is one request and two IRPs (its own and the read it
    // keeps posted).
    expect_passes("expect requests 0\nexpect irps 0\ntrack absent\nexpect requests 1\nexpect irps 2\n"
                  "cancel absent\nawait absent expect CANCELLED\nexpect requests 0\n");
    expect_fails_at("expect pool KRV 999\n", 1, "per tag: ");
    expect_fails_at("track absent\nexpect irps 0\n", 2, "expected 0 live IRPs, saw 2");
    expect_fails_at("track absent\nexpect requests 0\n", 2, "outstanding");
    Played gone = play_text("plug expect SUCCESS\nopen\nclose\ndisable expect SUCCESS\nexpect pool KRV 0\n"
                            "expect irps 0\nexpect requests 0\n");
    EXPECT_EQ(gone.report.outcome, PlayOutcome::passed) << gone.report.failure;
}

TEST(LanguageRun, TheWireShowsEveryPacketOnce) {
    // The last packet of the reset's ATR uses up everything before it; then the bus is quiet until the APDU.
    expect_passes("expect usb IN 00 01 F0 *\nexpect usb none\nwait 50ms\nexpect usb none\n"
                  "apdu 00 A4 00 00 02 3F 00 expect 90 00\n"
                  "expect usb OUT 01 04 21 ?? *\nexpect usb IN 01 03 03 02 00 *\nexpect usb IN 00 02 90 00 *\n"
                  "expect usb none\n");
    // What was matched is used up: the same header is not there a second time.
    expect_fails_at("expect usb IN 00 01 F0 *\napdu 00 A4 00 00 02 3F 00\nexpect usb OUT 01 04 21 *\nexpect usb OUT 01 04 21 *\n", 4,
                    "expected an OUT packet 01 04 21 *");
    // `none` fails on traffic and names the packets.
    expect_fails_at("expect usb IN 00 01 F0 *\napdu 00 A4 00 00 02 3F 00\nexpect usb none\n", 3, "OUT 01 04 21");
}

TEST(LanguageRun, TheReaderMisbehavesAsTold) {
    // A withheld answer: the version request fails (it waits for the answer with a time limit of its own, no read
    // being posted); the next one gets its answer.
    expect_fails_at("reader withhold\nversion expect SUCCESS\n", 2, "expected STATUS_SUCCESS, saw STATUS_");
    expect_passes("reader withhold\nversion\nversion expect SUCCESS *\n");
    // Refused writes leave the request in flight until the reader takes writes again.
    expect_passes("reader refuse-writes\napdu 00 A4 00 00 02 3F 00 as select\nwait 2s\nexpect pending select\n"
                  "reader take-writes\nawait select expect SUCCESS 90 00\n");
    // A silent reader sends nothing, the request waits; its answer scripted by hand arrives and ends it.
    expect_passes("reader silent\napdu 00 A4 00 00 02 3F 00 as select\nwait 1s\nexpect pending select\n"
                  "expect usb OUT 01 04 21 *\nexpect usb OUT 00 *\nwait 10ms\n"
                  "reader send 01 03 03 02 00 00 00 00\nreader send 00 02 90 00 00 00 00 00\n"
                  "await select expect SUCCESS 90 00\nreader normal\napdu 00 A4 00 00 02 3F 00 expect 90 00\n");
    // Scripted replies follow the host's writes.
    expect_passes("reader silent\nreader reply 01 03 03 02 00 00 00 00 after 2ms\nreader reply 00 02 6A 82 00 00 00 00\n"
                  "apdu 00 A4 00 00 02 3F 00 as select\nawait select within 1s expect SUCCESS 6A 82\nreader normal\n");
    // An answer delayed past the time the next line waits for it.
    expect_passes("reader delay 3s\nversion as late\nwait 1s\nexpect pending late\nawait late expect SUCCESS *\n");
    // An unsolicited card event: the reader reports a removal with the card still in its slot.
    expect_passes("track absent\nreader event absent\nawait absent expect SUCCESS\nexpect state absent\n");
    expect_fails_at("track absent\nwait 100ms\nexpect pending absent\nawait absent within 1s\n", 4, "still pending");
}

TEST(LanguageRun, AQueryRemoveCalledOffLeavesTheReaderStarted) {
    expect_passes("track absent\nquery-remove expect SUCCESS\nexpect device started\nexpect pending absent\n"
                  "apdu 00 A4 00 00 02 3F 00 expect SUCCESS 90 00\n");
    EXPECT_EQ(parse_ok("query-remove on right expect SUCCESS").verb, Verb::query_remove);
}

TEST(LanguageRun, RequestsLeftRunningWhileLaterLinesAct) {
    // Without `as` a PIN entry runs to its end on its own line; with it the next lines run while the person types.
    expect_passes("keys 1234 ok every 1s\npin direct as verify\nexpect pending verify\nexpect requests 1\n"
                  "await verify expect SUCCESS 90 00\nexpect requests 0\n");
    expect_fails_at("keys 1234 ok every 1s\npin direct\nexpect pending verify\n", 3, "no overlapped request");
    // The card pulled while the person types: the verification ends without reaching the card.
    expect_passes("keys 1 2 +3s 3 4 ok\npin direct as verify\nwait 500ms\nremove\nawait verify expect SUCCESS 6B 80\n");
    // A stop while an APDU is in flight waits for it; after the restart the card needs a reset.
    expect_passes("reader delay 200ms\napdu 00 B0 00 00 10 as read\nexpect pending read\nstop expect SUCCESS\n"
                  "await read expect SUCCESS 69 86\nstart expect SUCCESS\nreader normal\n"
                  "apdu 00 A4 00 00 02 3F 00 expect INVALID_DEVICE_STATE\nreset expect SUCCESS\n"
                  "protocol T1 expect SUCCESS\napdu 00 A4 00 00 02 3F 00 expect 90 00\n");
    // Cancelling a request whose DeviceIoControl has not returned finds its IRP through the handle.
    expect_passes("keys none\npin direct as verify\nwait 200ms\ncancel verify\nawait verify\nexpect requests 0\n");
}

}  // namespace
}  // namespace sim::workbench
