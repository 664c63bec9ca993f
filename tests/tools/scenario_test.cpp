// The scenario language: commands and their fields, errors with their lines, reply patterns, masked display
// lines, the PIN_VERIFY_STRUCTURE, and the text helpers the parser rests on.
#include <gtest/gtest.h>

#include "driver/driver.h"
#include "tools/workbench/names.h"
#include "tools/workbench/scenario.h"

namespace sim::workbench {
namespace {

Command parse_ok(const std::string& line) {
    LineResult result = parse_line(line, 7);
    EXPECT_FALSE(result.error) << line << ": " << (result.error ? result.error->message : "");
    EXPECT_TRUE(result.command) << line;
    return result.command ? *result.command : Command{};
}

std::string parse_error(const std::string& line) {
    LineResult result = parse_line(line, 3);
    EXPECT_FALSE(result.command) << line << " parsed, though it should not";
    return result.error ? result.error->message : "";
}

TEST(ScenarioParser, ReaderAndSystemCommands) {
    Command plug = parse_ok("plug left nostart expect SUCCESS");
    EXPECT_EQ(plug.verb, Verb::plug);
    EXPECT_EQ(plug.reader, "left");
    EXPECT_TRUE(plug.no_start);
    EXPECT_EQ(plug.expect.status, STATUS_SUCCESS);
    EXPECT_EQ(plug.line, 7);

    Command bare = parse_ok("plug");
    EXPECT_TRUE(bare.reader.empty());
    EXPECT_FALSE(bare.no_start);
    EXPECT_FALSE(bare.expect.any());

    EXPECT_EQ(parse_ok("sleep").number, 3u);
    EXPECT_EQ(parse_ok("sleep s4 expect SUCCESS").number, 4u);
    EXPECT_EQ(parse_ok("unplug on right").reader, "right");
    EXPECT_EQ(parse_ok("stop on right expect DEVICE_REMOVED").expect.status, STATUS_DEVICE_REMOVED);
    EXPECT_EQ(parse_ok("use right").reader, "right");
    EXPECT_EQ(parse_ok("insert iso:3B00 on right").name, "iso:3B00");
}

TEST(ScenarioParser, ApplicationRequests) {
    Command ioctl = parse_ok("ioctl GET_STATE out 4 via h2 expect SUCCESS 02 00 00 00");
    EXPECT_EQ(ioctl.code, static_cast<ULONG>(IOCTL_SMARTCARD_GET_STATE));
    EXPECT_EQ(ioctl.output_size, 4u);
    EXPECT_EQ(ioctl.via, "h2");
    ASSERT_TRUE(ioctl.expect.reply);
    EXPECT_TRUE(ioctl.expect.reply->matches(Bytes{2, 0, 0, 0}));

    Command raw = parse_ok("ioctl 0x31202C in 01 02 0304 as slow");
    EXPECT_EQ(raw.code, 0x31202Cu);
    EXPECT_EQ(raw.input, (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(raw.async_name, "slow");

    Command apdu = parse_ok("apdu 00A4 04 00 02 3F00 out 300 expect 90 00");
    EXPECT_EQ(apdu.input, (Bytes{0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00}));
    EXPECT_EQ(apdu.output_size, 300u);
    EXPECT_FALSE(apdu.expect.status);
    EXPECT_TRUE(apdu.expect.reply->matches(Bytes{0x90, 0x00}));

    EXPECT_EQ(parse_ok("reset").number, static_cast<uint64_t>(SCARD_COLD_RESET));
    EXPECT_EQ(parse_ok("reset warm").number, static_cast<uint64_t>(SCARD_WARM_RESET));
    EXPECT_EQ(parse_ok("power-down").number, static_cast<uint64_t>(SCARD_POWER_DOWN));
    EXPECT_EQ(parse_ok("protocol T0,T1").number, static_cast<uint64_t>(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1));
    EXPECT_EQ(parse_ok("protocol t1").number, static_cast<uint64_t>(SCARD_PROTOCOL_T1));
    EXPECT_EQ(parse_ok("attribute vendor-name").number, static_cast<uint64_t>(SCARD_ATTR_VENDOR_NAME));
    EXPECT_EQ(parse_ok("attribute 0x10100").number, 0x10100u);

    Command track = parse_ok("track absent as gone");
    EXPECT_EQ(track.code, static_cast<ULONG>(IOCTL_SMARTCARD_IS_ABSENT));
    EXPECT_EQ(track.async_name, "gone");
    EXPECT_EQ(parse_ok("track present").async_name, "present");

    Command await = parse_ok("await gone within 2s expect CANCELLED");
    EXPECT_EQ(await.name, "gone");
    EXPECT_EQ(await.duration, from_ms(2000));
    EXPECT_EQ(await.expect.status, STATUS_CANCELLED);
    EXPECT_EQ(parse_ok("await gone").duration, from_ms(60'000));
}

TEST(ScenarioParser, KeysTakeDigitsNamesAndPauses) {
    Command c = parse_ok("keys 12 +2s back every 100ms 3 ok");
    ASSERT_EQ(c.keys.size(), 5u);
    EXPECT_EQ(c.keys[0].key, KeyPress::Key::digit);
    EXPECT_EQ(c.keys[0].digit, '1');
    EXPECT_EQ(c.keys[0].after, from_ms(300));
    EXPECT_EQ(c.keys[1].digit, '2');
    EXPECT_EQ(c.keys[2].key, KeyPress::Key::backspace);
    EXPECT_EQ(c.keys[2].after, from_ms(2000));  // the pause before it
    EXPECT_EQ(c.keys[3].digit, '3');
    EXPECT_EQ(c.keys[3].after, from_ms(100));   // the new default
    EXPECT_EQ(c.keys[4].key, KeyPress::Key::validate);

    EXPECT_TRUE(parse_ok("keys none").keys_none);
    EXPECT_EQ(parse_ok("keys cancel clear end").keys.size(), 3u);
    EXPECT_EQ(parse_ok("keys 1 on right").reader, "right");
}

TEST(ScenarioParser, PinRequests) {
    Command c = parse_ok("pin direct min 6 max 12 timeout 5 validate ok+timeout apdu 00 20 00 02 04 FF FF FF FF expect SUCCESS 90 00");
    EXPECT_EQ(c.pin.action, PinAction::direct);
    EXPECT_EQ(c.pin.min_digits, 6);
    EXPECT_EQ(c.pin.max_digits, 12);
    EXPECT_EQ(c.pin.timeout_s, 5);
    EXPECT_EQ(c.pin.validation, 0x06);
    EXPECT_EQ(c.pin.apdu, (Bytes{0x00, 0x20, 0x00, 0x02, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(c.expect.status, STATUS_SUCCESS);
    EXPECT_EQ(parse_ok("pin key").pin.action, PinAction::key);
    EXPECT_EQ(parse_ok("pin finish expect SUCCESS 64 01").pin.action, PinAction::finish);
    EXPECT_EQ(parse_ok("pin start validate max").pin.validation, 0x01);
}

TEST(ScenarioParser, Checks) {
    Command state = parse_ok("expect state specific on right");
    EXPECT_EQ(state.verb, Verb::expect_state);
    EXPECT_EQ(state.number, static_cast<uint64_t>(SCARD_SPECIFIC));
    EXPECT_EQ(state.reader, "right");
    EXPECT_EQ(parse_ok("expect pending gone").verb, Verb::expect_pending);
    Command debug = parse_ok("expect debug \"Loaded Tavelo\"");
    EXPECT_EQ(debug.verb, Verb::expect_debug);
    EXPECT_EQ(debug.name, "Loaded Tavelo");
    EXPECT_EQ(parse_ok("expect device surprise_removed").name, "surprise_removed");
    EXPECT_EQ(parse_ok("wait 1.5s").duration, from_ms(1500));
    EXPECT_EQ(parse_ok("note a heading with words").name, "a heading with words");
}

TEST(ScenarioParser, ErrorsSayWhatIsWrong) {
    struct Case {
        const char* line;
        const char* says;
    };
    const Case cases[] = {
        {"plgu", "unknown command \"plgu\""},
        {"apdu 00 A4 0", "not hex"},
        {"apdu 00 A4", "at least 4 bytes"},
        {"ioctl NO_SUCH_CODE", "not an I/O control"},
        {"apdu 00 A4 00 00 expect NOT_A_STATUS", "not a status name"},
        {"apdu 00 A4 00 00 expect 9", "not a whole number of hex bytes"},
        {"keys 12 banana", "not a key"},
        {"keys none 1", "nobody types"},
        {"wait soon", "not a duration"},
        {"sleep s7", "S1, S2, S3 or S4"},
        {"expect state nowhere", "not a card state"},
        {"expect status SUCCESS", "at the end of its own line"},
        {"expect device sideways", "not a device state"},
        {"protocol t2", "T0, T1"},
        {"pin sideways", "direct, start, key"},
        {"track maybe", "present or absent"},
        {"open h1 extra", "unexpected \"extra\""},
        {"stop expect SUCCESS 90 00", "no reply to expect"},
        {"note \"unclosed", "quote"},
        {"insert", "missing a card name"},
    };
    for (const Case& c : cases) {
        std::string message = parse_error(c.line);
        EXPECT_NE(message.find(c.says), std::string::npos) << c.line << " gave: " << message;
    }
}

TEST(ScenarioParser, WholeFileKeepsLinesSeedAndEveryError) {
    Scenario s = parse_scenario("# comment\nseed 42\n\nplug\nbogus line\ninsert iso   # a comment after\napdu 1\r\n");
    EXPECT_EQ(s.seed, 42u);
    ASSERT_EQ(s.commands.size(), 2u);
    EXPECT_EQ(s.commands[0].line, 4);
    EXPECT_EQ(s.commands[1].line, 6);
    EXPECT_EQ(s.commands[1].name, "iso");
    ASSERT_EQ(s.errors.size(), 2u);
    EXPECT_EQ(s.errors[0].line, 5);
    EXPECT_EQ(s.errors[1].line, 7);
}

TEST(BytePattern, Matching) {
    struct Case {
        std::vector<std::string> pattern;
        Bytes bytes;
        bool matches;
    };
    const Case cases[] = {
        {{"90", "00"}, {0x90, 0x00}, true},
        {{"9000"}, {0x90, 0x00}, true},
        {{"90", "00"}, {0x90, 0x01}, false},
        {{"90", "00"}, {0x90}, false},
        {{"90"}, {0x90, 0x00}, false},
        {{"??", "00"}, {0x61, 0x00}, true},
        {{"??"}, {}, false},
        {{"*", "90", "00"}, {0x01, 0x02, 0x90, 0x00}, true},
        {{"*", "90", "00"}, {0x90, 0x00}, true},
        {{"*", "90", "00"}, {0x90, 0x00, 0x01}, false},
        {{"3B", "*"}, {0x3B}, true},
        {{"3B", "*", "F0"}, {0x3B, 0xF0, 0x01, 0xF0}, true},
        {{"01", "*", "02", "*", "03"}, {0x01, 0x02, 0x02, 0x03, 0x03}, true},
        {{"01", "*", "02", "??"}, {0x01, 0x02}, false},
        {{"*"}, {}, true},
        {{}, {}, true},
        {{}, {0x00}, false},
    };
    for (const Case& c : cases) {
        std::string error;
        std::optional<BytePattern> pattern = BytePattern::parse(c.pattern, error);
        ASSERT_TRUE(pattern) << error;
        EXPECT_EQ(pattern->matches(c.bytes), c.matches) << pattern->text() << " against " << hex(c.bytes);
    }
}

TEST(Masking, DisplayLinesHidePinMaterial) {
    EXPECT_EQ(parse_ok("keys 1234 +1s 56 ok").display, "keys **** +1s ** ok");
    EXPECT_EQ(parse_ok("apdu 00 20 00 01 04 31 32 33 34 expect 90 00").display,
              "apdu 00 20 00 01 04 ** ** ** ** expect 90 00");
    // Not a VERIFY: shown as written.
    EXPECT_EQ(parse_ok("apdu 00 B0 00 00 04 expect * 90 00").display, "apdu 00 B0 00 00 04 expect * 90 00");
    EXPECT_EQ(parse_ok("ioctl TRANSMIT in 0200000008000000 00200001023132 out 20").display,
              "ioctl TRANSMIT in 02 00 00 00 08 00 00 00 00 20 00 01 02 ** ** out 20");
    EXPECT_EQ(parse_ok("pin direct apdu 00 20 00 01 02 31 32 max 8").display,
              "pin direct apdu 00 20 00 01 02 ** ** max 8");
}

TEST(Masking, IoctlInputSecretCoversVerifyDataOnly) {
    Bytes transmit = {0x02, 0, 0, 0, 8, 0, 0, 0, 0x00, 0x20, 0x00, 0x01, 0x02, 0x31, 0x32};
    std::vector<bool> secret = ioctl_input_secret(IOCTL_SMARTCARD_TRANSMIT, transmit);
    for (size_t i = 0; i < transmit.size(); ++i) EXPECT_EQ(secret[i], i >= 13) << i;

    PinRequest request;
    request.apdu = {0x00, 0x20, 0x00, 0x01, 0x02, 0x31, 0x32};
    Bytes structure = pin_verify_structure(request);
    secret = ioctl_input_secret(IOCTL_FEATURE_VERIFY_PIN_DIRECT, structure);
    for (size_t i = 0; i < structure.size(); ++i) EXPECT_EQ(secret[i], i >= 19 + 5) << i;

    Bytes select = {0x02, 0, 0, 0, 8, 0, 0, 0, 0x00, 0xA4, 0x00, 0x00, 0x02, 0x3F, 0x00};
    secret = ioctl_input_secret(IOCTL_SMARTCARD_TRANSMIT, select);
    EXPECT_EQ(std::count(secret.begin(), secret.end(), true), 0);
    EXPECT_EQ(secret.size(), select.size());
}

TEST(PinVerifyStructure, FieldsInPcscPart10Order) {
    PinRequest r;
    r.timeout_s = 0x1E;
    r.min_digits = 4;
    r.max_digits = 8;
    r.validation = 0x02;
    r.apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Bytes s = pin_verify_structure(r);
    ASSERT_EQ(s.size(), 19u + 13u);
    EXPECT_EQ(s[0], 0x1E);  // bTimerOut
    EXPECT_EQ(s[2], 0x82);  // bmFormatString
    EXPECT_EQ(s[3], 0x08);  // bmPINBlockString
    EXPECT_EQ(s[4], 0x00);  // bmPINLengthFormat
    EXPECT_EQ(s[5], 8);     // wPINMaxExtraDigit: maximum in the low byte
    EXPECT_EQ(s[6], 4);     //                    minimum in the high byte
    EXPECT_EQ(s[7], 0x02);  // bEntryValidationCondition
    EXPECT_EQ(s[9], 0x09);  // wLangId 0x0409, low byte first
    EXPECT_EQ(s[10], 0x04);
    EXPECT_EQ(s[15], 13);   // ulDataLength
    EXPECT_EQ(s[16], 0);
    EXPECT_EQ(Bytes(s.begin() + 19, s.end()), r.apdu);
}

TEST(HelpText, EveryCommandIsDescribed) {
    for (const char* verb : {"plug", "unplug", "disable", "start", "stop", "use", "sleep", "resume", "shutdown", "insert",
                             "remove", "keys", "open", "close", "ioctl", "apdu", "reset", "power-down", "protocol",
                             "attribute", "track", "await", "cancel", "pin", "features", "version", "expect", "wait",
                             "note", "seed"}) {
        EXPECT_EQ(help_text(verb).find("no command"), std::string::npos) << verb;
        // And the parser knows the verb: whatever it says about the line, it is not "unknown command".
        LineResult result = parse_line(verb, 1);
        if (result.error) {
            EXPECT_EQ(result.error->message.find("unknown command"), std::string::npos) << verb;
        }
    }
}

TEST(TextHelpers, DurationsHexAndTokens) {
    EXPECT_EQ(parse_duration("300ms"), from_ms(300));
    EXPECT_EQ(parse_duration("300"), from_ms(300));
    EXPECT_EQ(parse_duration("2s"), from_ms(2000));
    EXPECT_EQ(parse_duration("1.5s"), from_ms(1500));
    EXPECT_EQ(parse_duration("250us"), from_us(250));
    EXPECT_EQ(parse_duration("1min"), from_ms(60'000));
    EXPECT_FALSE(parse_duration("ms"));
    EXPECT_FALSE(parse_duration("3 hours"));
    EXPECT_EQ(duration_text(from_ms(1500)), "1500 ms");
    EXPECT_EQ(duration_text(from_ms(2000)), "2 s");

    EXPECT_EQ(parse_hex("00a4 0400"), (Bytes{0x00, 0xA4, 0x04, 0x00}));
    EXPECT_EQ(parse_hex("3B:00"), (Bytes{0x3B, 0x00}));
    EXPECT_FALSE(parse_hex("0 0"));
    EXPECT_FALSE(parse_hex("0G"));
    std::vector<bool> secret = {false, true};
    EXPECT_EQ(hex(Bytes{0x12, 0x34}, &secret), "12 **");
    EXPECT_EQ(hex_compact(Bytes{0x12, 0x34}, &secret), "12**");

    Tokens t = tokenize("note \"two words\" # comment \"ignored");
    EXPECT_EQ(t.words, (std::vector<std::string>{"note", "two words"}));
    EXPECT_TRUE(t.error.empty());
    EXPECT_FALSE(tokenize("note \"open").error.empty());
    EXPECT_EQ(json_string("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\n\\u0001\"");
}

TEST(Names, CodesStatusesAndStates) {
    EXPECT_EQ(parse_ioctl("IOCTL_SMARTCARD_TRANSMIT"), static_cast<ULONG>(IOCTL_SMARTCARD_TRANSMIT));
    EXPECT_EQ(parse_ioctl("transmit"), static_cast<ULONG>(IOCTL_SMARTCARD_TRANSMIT));
    EXPECT_EQ(parse_ioctl("verify-pin-direct"), static_cast<ULONG>(IOCTL_FEATURE_VERIFY_PIN_DIRECT));
    EXPECT_EQ(parse_ioctl("GET_FEATURE_REQUEST"), static_cast<ULONG>(CM_IOCTL_GET_FEATURE_REQUEST));
    EXPECT_EQ(parse_ioctl("vendor_get_version"), static_cast<ULONG>(IOCTL_VENDOR_GET_VERSION));
    EXPECT_EQ(parse_ioctl("0x310038"), static_cast<ULONG>(IOCTL_SMARTCARD_GET_STATE));
    EXPECT_FALSE(parse_ioctl("transmogrify"));
    EXPECT_EQ(ioctl_name(IOCTL_FEATURE_ABORT), "IOCTL_FEATURE_ABORT");
    EXPECT_EQ(ioctl_name(0x12345678), "0x12345678");

    EXPECT_EQ(parse_status("STATUS_NO_MEDIA"), STATUS_NO_MEDIA);
    EXPECT_EQ(parse_status("no_media"), STATUS_NO_MEDIA);
    EXPECT_EQ(parse_status("0xC0000178"), STATUS_NO_MEDIA);
    EXPECT_EQ(parse_status("PORT_ALREADY_SET"), static_cast<NTSTATUS>(0xC0000048));
    EXPECT_FALSE(parse_status("NO_SUCH_THING"));
    EXPECT_EQ(status_text(STATUS_NO_MEDIA), "STATUS_NO_MEDIA (0xC0000178)");
    EXPECT_EQ(status_text(STATUS_SUCCESS), "STATUS_SUCCESS");
    EXPECT_EQ(status_text(static_cast<NTSTATUS>(0xE0100001)), "0xE0100001 (reader status)");
    // Every name the parser accepts prints back as itself.
    for (const char* name : {"STATUS_CANCELLED", "STATUS_DEVICE_REMOVED", "STATUS_IO_TIMEOUT", "STATUS_BUFFER_TOO_SMALL",
                             "STATUS_UNRECOGNIZED_MEDIA", "STATUS_INVALID_DEVICE_REQUEST"}) {
        EXPECT_EQ(status_name(*parse_status(name)), name);
    }

    for (ULONG state = SCARD_UNKNOWN; state <= SCARD_SPECIFIC; ++state) {
        EXPECT_EQ(parse_card_state(card_state_name(state)), state);
    }
    EXPECT_EQ(parse_card_state("SCARD_SWALLOWED"), static_cast<ULONG>(SCARD_SWALLOWED));
    EXPECT_EQ(status_word_meaning(0x63, 0xC2), "wrong PIN, 2 tries left");
    EXPECT_EQ(status_word_meaning(0x64, 0x01), "PIN entry cancelled by the user");
}

}  // namespace
}  // namespace sim::workbench
