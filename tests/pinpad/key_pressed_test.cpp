// Key-press tracking through the device-control gate: every row of the key transition table with the reader answering one key, and the refusals before any key poll.
#include <gtest/gtest.h>

#include "pinpad_bench.h"

namespace qward::pinpad_test {
namespace {

struct Entry {
    UCHAR validation = 0x02;
    UCHAR min = 4;
    UCHAR max = 8;
    LONG count = 0;
};

struct Row {
    const char* name;
    Entry entry;
    uint8_t answer_kind;
    uint8_t key;
    NTSTATUS status;
    Bytes reply;
    LONG count;
    UCHAR state;
    UCHAR outcome;
};

constexpr uint8_t kData = 3;

const Row kRows[] = {
    {"digit", {0x01, 4, 4, 2}, kData, 0x2B, STATUS_SUCCESS, {0x2B}, 3, PIN_ENTERING, OUTCOME_NONE},
    {"digit reaching the maximum", {0x01, 4, 4, 3}, kData, 0x2B, STATUS_SUCCESS, {0x2B}, 4, PIN_COMPLETE, OUTCOME_NONE},
    {"digit reaching the maximum, not validating there", {0x02, 4, 4, 3}, kData, 0x2B, STATUS_SUCCESS, {0x2B}, 4,
     PIN_ENTERING, OUTCOME_NONE},
    {"digit past the maximum", {0x02, 4, 16, 16}, kData, 0x2B, STATUS_SUCCESS, {0x2B}, 17, PIN_ENTERING,
     OUTCOME_NONE},
    {"backspace", {0x02, 4, 8, 2}, kData, 0x08, STATUS_SUCCESS, {0x08}, 1, PIN_ENTERING, OUTCOME_NONE},
    {"backspace at no digits", {0x02, 4, 8, 0}, kData, 0x08, STATUS_SUCCESS, {0x08}, 0, PIN_ENTERING, OUTCOME_NONE},
    {"clear", {0x02, 4, 8, 5}, kData, 0x0A, STATUS_SUCCESS, {0x0A}, 0, PIN_ENTERING, OUTCOME_NONE},
    {"validation key when only the maximum validates", {0x01, 4, 8, 6}, kData, 0x0D, STATUS_SUCCESS, {0x00}, 6,
     PIN_ENTERING, OUTCOME_NONE},
    {"validation key, too few digits", {0x02, 4, 8, 3}, kData, 0x0D, STATUS_SUCCESS, {0x0D}, 3, PIN_ENTERING,
     OUTCOME_NONE},
    {"validation key, enough digits", {0x02, 4, 8, 4}, kData, 0x0D, STATUS_SUCCESS, {0x0D}, 4, PIN_COMPLETE,
     OUTCOME_NONE},
    {"validation key, maximum and key validate", {0x03, 4, 8, 4}, kData, 0x0D, STATUS_SUCCESS, {0x0D}, 4,
     PIN_COMPLETE, OUTCOME_NONE},
    {"validation key, no key validation", {0x04, 4, 8, 4}, kData, 0x0D, STATUS_SUCCESS, {0x0D}, 4, PIN_ENTERING,
     OUTCOME_NONE},
    {"time-out validating, too few digits", {0x06, 4, 8, 2}, kData, 0x0E, STATUS_SUCCESS, {0x0E}, 2, PIN_COMPLETE,
     OUTCOME_TOO_SHORT},
    {"time-out validating, enough digits", {0x04, 4, 8, 4}, kData, 0x0E, STATUS_SUCCESS, {0x0E}, 4, PIN_COMPLETE,
     OUTCOME_NONE},
    {"time-out not validating", {0x02, 4, 8, 6}, kData, 0x0E, STATUS_SUCCESS, {0x40}, 6, PIN_COMPLETE,
     OUTCOME_TIMED_OUT},
    {"cancel", {0x02, 4, 8, 3}, kData, 0x1B, STATUS_SUCCESS, {0x1B}, 3, PIN_CANCELLED, OUTCOME_NONE},
    {"entry ended by the reader", {0x02, 4, 8, 3}, kData, 0x40, STATUS_SUCCESS, {0x40}, 3, PIN_COMPLETE,
     OUTCOME_NONE},
    {"other key", {0x02, 4, 8, 3}, kData, 0x31, STATUS_SUCCESS, {0x31}, 3, PIN_ENTERING, OUTCOME_NONE},
    {"poll refused by the reader", {0x02, 4, 8, 3}, 15, 0x72, STATUS_SUCCESS, {0x40}, 3, PIN_ENTERING, OUTCOME_NONE},
    {"poll without a key report", {0x02, 4, 8, 3}, 8, 0x01, STATUS_IO_TIMEOUT, {}, 3, PIN_IDLE, OUTCOME_NONE},
};

TEST(KeyPressed, TransitionTableRowByRow) {
    PinpadBench f;
    f.start();
    f.power_card();
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.name);
        f.re->PinState = PIN_ENTERING;
        f.re->EntryValidation = row.entry.validation;
        f.re->PinMinDigits = row.entry.min;
        f.re->PinMaxDigits = row.entry.max;
        f.re->DigitCount = row.entry.count;
        f.re->PinOutcome = OUTCOME_NONE;
        f.answer_command(sim::pinpad_command::key_poll, row.answer_kind, {row.key});
        const size_t before = f.written_count();
        const sim::IoResult key = f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 4);
        EXPECT_EQ(key.status, row.status) << sim::status_name(key.status);
        EXPECT_EQ(key.output, row.reply);
        EXPECT_EQ(key.bytes, row.reply.size());
        EXPECT_EQ(f.re->DigitCount, row.count);
        EXPECT_EQ(f.re->PinState, row.state);
        EXPECT_EQ(f.re->PinOutcome, row.outcome);
        EXPECT_EQ(f.command_codes(before), std::vector<uint8_t>{0x44});
    }
}

TEST(KeyPressed, NoKeyPollWithoutRoomOrWithoutAnEntry) {
    PinpadBench f;
    f.start();
    f.power_card();
    for (UCHAR state : {PIN_CANCELLED, PIN_IDLE, PIN_ENTERING, PIN_COMPLETE}) {
        SCOPED_TRACE(static_cast<int>(state));
        f.re->PinState = state;
        const size_t before = f.written_count();
        EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 0).status, STATUS_BUFFER_TOO_SMALL);
        if (state != PIN_ENTERING) {
            const sim::IoResult key = f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1);
            EXPECT_EQ(key.status, STATUS_INVALID_DEVICE_REQUEST);
            EXPECT_EQ(key.bytes, 0u);
            EXPECT_EQ(f.re->PinState, state);
        }
        EXPECT_EQ(f.written_count(), before);
    }
}

// The sequences of the key rules as an application meets them, key by key from the reader.
TEST(KeyPressed, SequencesFromStartToTheEnd) {
    struct Case {
        const char* name;
        uint8_t entry_validation;
        uint8_t max_digits;
        std::vector<uint8_t> keys;
        std::vector<uint8_t> replies;
        UCHAR final_state;
        Bytes finish;
    };
    const Case cases[] = {
        {"validation key needs four digits", 0x02, 8, {0x2B, 0x2B, 0x2B, 0x0D, 0x2B, 0x0D},
         {0x2B, 0x2B, 0x2B, 0x0D, 0x2B, 0x0D}, PIN_COMPLETE, {}},
        {"maximum of four ends it, the validation key before does nothing", 0x01, 4, {0x2B, 0x0D, 0x2B, 0x2B, 0x2B},
         {0x2B, 0x00, 0x2B, 0x2B, 0x2B}, PIN_COMPLETE, {}},
        {"backspace after clear", 0x02, 8, {0x2B, 0x0A, 0x08}, {0x2B, 0x0A, 0x08}, PIN_ENTERING, {}},
        {"time-out with too few digits", 0x06, 8, {0x2B, 0x2B, 0x0E}, {0x2B, 0x2B, 0x0E}, PIN_COMPLETE, {0x64, 0x03}},
        {"time-out not validating", 0x02, 8, {0x0E}, {0x40}, PIN_COMPLETE, {0x64, 0x00}},
        {"cancel", 0x02, 8, {0x2B, 0x1B}, {0x2B, 0x1B}, PIN_CANCELLED, {0x64, 0x01}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        f.start();
        f.power_card();
        VerifyRequest r;
        r.entry_validation = c.entry_validation;
        r.max_digits = c.max_digits;
        ASSERT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_START, verify_structure(r), 4).status, STATUS_SUCCESS);
        std::vector<uint8_t> replies;
        for (uint8_t key : c.keys) {
            f.answer_command(sim::pinpad_command::key_poll, kData, {key});
            const sim::IoResult result = f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1);
            ASSERT_EQ(result.status, STATUS_SUCCESS);
            ASSERT_EQ(result.output.size(), 1u);
            replies.push_back(result.output[0]);
        }
        EXPECT_EQ(replies, c.replies);
        EXPECT_EQ(f.re->PinState, c.final_state);
        if (c.final_state != PIN_ENTERING) {
            EXPECT_EQ(f.ioctl(IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1).status, STATUS_INVALID_DEVICE_REQUEST);
        }
        if (!c.finish.empty()) {
            const size_t before = f.written_count();
            EXPECT_EQ(f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3).output, c.finish);
            const std::vector<uint8_t> expected_traffic =
                c.final_state == PIN_CANCELLED ? std::vector<uint8_t>{} : std::vector<uint8_t>{0x46};
            EXPECT_EQ(f.command_codes(before), expected_traffic);
        }
    }
}

}  // namespace
}  // namespace qward::pinpad_test
