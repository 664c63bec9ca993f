// Tests of reading the reader's DEVICENAME settings: every setting, the defaults, what is refused, and the round trip through describe().
#include <gtest/gtest.h>

#include "ifd/config.h"

namespace sim::ifd {
namespace {

using A = KeypadEntry::Action;

TEST(ReaderConfig, SettingsAreRead) {
    struct Row {
        const char* text;
        std::function<void(ReaderConfig&)> expect;  // applied to the defaults
    };
    const std::vector<Row> rows = {
        {"", [](ReaderConfig&) {}},
        {"\"tavelo: \"", [](ReaderConfig&) {}},
        {"\"tavelo: card=iso bus=fast\"", [](ReaderConfig& c) { c.card = "iso"; c.fast_bus = true; }},
        {"tavelo:card=none", [](ReaderConfig& c) { c.card.clear(); }},
        {"card=iso:3B00", [](ReaderConfig& c) { c.card = "iso:3B00"; }},
        {"card=vicc", [](ReaderConfig& c) { c.vicc_port = 35963; }},
        {"card=vicc:40000;seed=7", [](ReaderConfig& c) { c.vicc_port = 40000; c.seed = 7; }},
        {"card=vicc card=iso", [](ReaderConfig& c) { c.card = "iso"; }},  // the last card setting counts
        {"pin=1234", [](ReaderConfig& c) { c.keypad = {{A::type, "1234"}}; }},
        {"keypad=123456,nokey:99,correct:4321,cancel,silent,type:11",
         [](ReaderConfig& c) {
             c.keypad = {{A::type, "123456"}, {A::type_only, "99"}, {A::correct, "4321"}, {A::cancel, ""},
                         {A::silent, ""}, {A::type, "11"}};
         }},
        {"key-delay=10\tfirst-key=0 vicc-timeout=250 bus=full-speed",
         [](ReaderConfig& c) { c.key_gap_ms = 10; c.first_key_ms = 0; c.vicc_answer_timeout_ms = 250; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        std::string error;
        std::optional<ReaderConfig> config = parse_reader_config(row.text, error);
        ASSERT_TRUE(config) << error;
        ReaderConfig expected;
        row.expect(expected);
        EXPECT_EQ(*config, expected) << describe(*config);
    }
}

TEST(ReaderConfig, MistakesAreRefusedWithTheSettingNamed) {
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"card", "card"},                 // no value
        {"card=", "card"},
        {"card=vicc:0", "card"},
        {"card=vicc:70000", "card"},
        {"card=vicc:12ab", "card"},
        {"pin=12a4", "pin"},
        {"pin=cancel", "pin"},             // pin= is digits only
        {"keypad=123,", "keypad"},         // an empty entry
        {"keypad=correct:", "keypad"},
        {"keypad=shout", "keypad"},
        {"key-delay=-5", "key-delay"},
        {"first-key=soon", "first-key"},
        {"vicc-timeout=0", "vicc-timeout"},
        {"bus=slow", "bus"},
        {"seed=x", "seed"},
        {"colour=blue", "colour"},
    };
    for (const auto& [text, key] : rows) {
        SCOPED_TRACE(text);
        std::string error;
        EXPECT_FALSE(parse_reader_config(text, error));
        EXPECT_NE(error.find(key), std::string::npos) << error;
    }
}

TEST(ReaderConfig, DescriptionReadsBackToTheSameConfiguration) {
    std::string error;
    for (const char* text : {"", "card=vicc:1234 keypad=cancel,1234,silent seed=9 bus=fast",
                             "card=none keypad=nokey:1,correct:22 key-delay=5 first-key=6 vicc-timeout=7"}) {
        std::optional<ReaderConfig> config = parse_reader_config(text, error);
        ASSERT_TRUE(config) << error;
        std::optional<ReaderConfig> again = parse_reader_config(describe(*config), error);
        ASSERT_TRUE(again) << describe(*config) << ": " << error;
        EXPECT_EQ(*again, *config) << describe(*config);
    }
}

}  // namespace
}  // namespace sim::ifd
