// The vendor I/O controls through the device-control gate: versions, vendor commands, the feature list, the PIN properties, the request size guard and the reply room of finish and abort.
#include <gtest/gtest.h>

#include "pinpad_bench.h"

namespace qward::pinpad_test {
namespace {

const Bytes kFeatureList = {0x01, 0x04, 0x00, 0x31, 0x36, 0xB0, 0x02, 0x04, 0x00, 0x31, 0x36, 0xB4,
                            0x05, 0x04, 0x00, 0x31, 0x36, 0xC0, 0x06, 0x04, 0x00, 0x31, 0x36, 0xC4,
                            0x0A, 0x04, 0x00, 0x31, 0x36, 0xD0, 0x0B, 0x04, 0x00, 0x31, 0x36, 0xCC};
const Bytes kDriverVersion = {0x30, 0x31, 0x2E, 0x31, 0x31, 0x00};

Bytes counting(size_t n) {
    Bytes bytes(n);
    for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
    return bytes;
}

TEST(FeatureList, SixEntriesInOrderAndNoRoomForLess) {
    PinpadBench f;
    f.start();
    const sim::IoResult list = f.ioctl(CM_IOCTL_GET_FEATURE_REQUEST, {}, 36);
    EXPECT_EQ(list.status, STATUS_SUCCESS);
    EXPECT_EQ(list.bytes, 36u);
    EXPECT_EQ(list.output, kFeatureList);
    EXPECT_EQ(f.pinpad->capability_requests, 1);

    const size_t before = f.written_count();
    const sim::IoResult short_buffer = f.ioctl(CM_IOCTL_GET_FEATURE_REQUEST, {}, 35);
    EXPECT_EQ(short_buffer.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(short_buffer.bytes, 0u);
    EXPECT_EQ(f.written_count(), before) << "nothing may reach the reader";
}

TEST(FeatureList, AReaderThatDoesNotAnswerFailsTheRequest) {
    PinpadBench f;
    f.start();
    f.reader.withhold_answers(1);
    const sim::IoResult list = f.ioctl(CM_IOCTL_GET_FEATURE_REQUEST, {}, 36);
    EXPECT_EQ(list.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(list.bytes, 0u);
}

// A reader slower than the 10 s the driver waits for a first answer: the request fails, the reader is told to drop
// the command, and the requests after it get their own answers, not the late one.
TEST(FeatureList, ARequestGivenUpLeavesNothingForTheNextOnes) {
    PinpadBench f;
    f.pinpad->options.capability = {0x00, 0x10, 0x02, 0x1E};
    f.start();
    f.reader.set_answer_delay(sim::from_ms(12'000));
    const sim::IoResult slow = f.ioctl(IOCTL_VENDOR_GET_VERSION, {}, 64);
    EXPECT_EQ(slow.status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(f.pinpad->aborts, 0) << "the PIN abort is not the command abort";
    f.reader.set_answer_delay(0);
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const sim::IoResult properties = f.ioctl(IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4);
        EXPECT_EQ(properties.status, STATUS_SUCCESS);
        EXPECT_EQ(properties.output, (Bytes{0x10, 0x02, 0x07, 0x1E}));
        f.settle(5'000);
    }
}

TEST(PinProperties, LayoutAndTimeOutFromTheCapabilityAnswer) {
    PinpadBench f;
    f.pinpad->options.capability = {0x00, 0x10, 0x02, 0x1E};
    f.start();
    const sim::IoResult properties = f.ioctl(IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4);
    EXPECT_EQ(properties.status, STATUS_SUCCESS);
    EXPECT_EQ(properties.output, (Bytes{0x10, 0x02, 0x07, 0x1E}));

    const size_t before = f.written_count();
    EXPECT_EQ(f.ioctl(IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 3).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(f.written_count(), before);
}

// A capability answer too short to carry the layout and the second time-out is not turned into properties.
TEST(PinProperties, AShortCapabilityAnswerIsRefusedNotFilledIn) {
    struct Case {
        const char* name;
        uint8_t kind;
        Bytes data;
    };
    const Case cases[] = {
        {"three bytes", 3, {0x00, 0x10, 0x02}},
        {"one byte", 3, {0x00}},
        {"error answer without data", 7, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        f.start();
        f.answer_command(sim::pinpad_command::capability, c.kind, c.data);
        const sim::IoResult properties = f.ioctl(IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4);
        EXPECT_EQ(properties.status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(properties.bytes, 0u);
        EXPECT_TRUE(properties.output.empty());
    }
}

TEST(Version, ReaderTextThenDriverVersion) {
    PinpadBench f;
    f.start();
    Bytes expected(f.pinpad->options.version.begin(), f.pinpad->options.version.end());
    expected.insert(expected.end(), kDriverVersion.begin(), kDriverVersion.end());
    const sim::IoResult version = f.ioctl(IOCTL_VENDOR_GET_VERSION, {}, 64);
    EXPECT_EQ(version.status, STATUS_SUCCESS);
    EXPECT_EQ(version.output, expected);

    // Room is judged once the reader's text is known, and nothing is written without it.
    const sim::IoResult tight = f.ioctl(IOCTL_VENDOR_GET_VERSION, {}, static_cast<ULONG>(expected.size() - 1));
    EXPECT_EQ(tight.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(tight.bytes, 0u);
    EXPECT_EQ(f.pinpad->version_requests, 2);
}

TEST(Version, ReaderAnswersByKind) {
    struct Case {
        const char* name;
        uint8_t kind;
        Bytes data;
        NTSTATUS status;
        Bytes reply;
    };
    const Case cases[] = {
        {"empty success answer", 5, {}, STATUS_SUCCESS, kDriverVersion},
        {"error answer with code 01", 8, {0x01}, static_cast<NTSTATUS>(0xA010001C), {}},
        {"error answer without data", 8, {}, static_cast<NTSTATUS>(0xE0100000), {}},
        {"failure answer", 6, {}, static_cast<NTSTATUS>(0xA010000A), {}},
        {"data answer", 3, {0x41}, static_cast<NTSTATUS>(0xE0100000), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        f.start();
        f.answer_command(sim::pinpad_command::version, c.kind, c.data);
        const sim::IoResult version = f.ioctl(IOCTL_VENDOR_GET_VERSION, {}, 64);
        EXPECT_EQ(version.status, c.status) << sim::status_name(version.status);
        EXPECT_EQ(version.output, c.reply);
        EXPECT_EQ(version.bytes, c.reply.size());
    }
}

TEST(VendorCommands, PassedToTheReaderWithEmptyReplies) {
    PinpadBench f;
    f.start();
    const sim::IoResult c1f = f.ioctl(IOCTL_VENDOR_COMMAND_1F, {}, 16);
    EXPECT_EQ(c1f.status, STATUS_SUCCESS);
    EXPECT_EQ(c1f.bytes, 0u);
    EXPECT_EQ(f.pinpad->vendor_1f, 1);
    // The answer to 0x1F was read, so the next command gets its own answer.
    EXPECT_EQ(f.ioctl(CM_IOCTL_GET_FEATURE_REQUEST, {}, 36).output, kFeatureList);

    const sim::IoResult c3f = f.ioctl(IOCTL_VENDOR_COMMAND_3F, {}, 16);
    EXPECT_EQ(c3f.status, STATUS_SUCCESS);
    EXPECT_EQ(c3f.bytes, 0u);
    EXPECT_EQ(f.pinpad->vendor_3f, 1);

    const sim::IoResult c2f = f.ioctl(IOCTL_VENDOR_COMMAND_2F, {}, 16);
    EXPECT_EQ(c2f.status, STATUS_SUCCESS);
    ASSERT_EQ(f.pinpad->vendor_data.size(), 1u);
    EXPECT_TRUE(f.pinpad->vendor_data[0].empty());
}

TEST(VendorCommands, DataCommandGoesOutWithAnEmptySlot) {
    PinpadBench f;
    f.start(false);
    ASSERT_EQ(f.card_state(), static_cast<ULONG>(SCARD_ABSENT));
    const Bytes data = counting(20);
    EXPECT_EQ(f.ioctl(IOCTL_VENDOR_COMMAND_2F, data, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(f.pinpad->vendor_data.size(), 1u);
    EXPECT_EQ(f.pinpad->vendor_data[0], data);
    EXPECT_TRUE(f.re->CardRequired) << "the card requirement is back once the command has gone out";
}

TEST(SizeGuard, LongestRequestPassesInFull) {
    PinpadBench f;
    f.start();
    const Bytes data = counting(25602);
    EXPECT_EQ(f.ioctl(IOCTL_VENDOR_COMMAND_2F, data, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(f.pinpad->vendor_data.size(), 1u);
    EXPECT_EQ(f.pinpad->vendor_data[0], data);
}

// One byte more is refused with an error status, not answered with success, whatever the code.
TEST(SizeGuard, OneByteMoreIsRefusedWithoutReaderTraffic) {
    PinpadBench f;
    f.start();
    const Bytes data = counting(25603);
    for (ULONG code : {IOCTL_VENDOR_COMMAND_2F, IOCTL_VENDOR_GET_VERSION,
                       static_cast<ULONG>(CM_IOCTL_GET_FEATURE_REQUEST), IOCTL_FEATURE_VERIFY_PIN_DIRECT,
                       IOCTL_FEATURE_ABORT}) {
        SCOPED_TRACE(code);
        const size_t before = f.written_count();
        const sim::IoResult refused = f.ioctl(code, data, 64);
        EXPECT_EQ(refused.status, STATUS_INVALID_PARAMETER) << sim::status_name(refused.status);
        EXPECT_EQ(refused.bytes, 0u);
        EXPECT_EQ(f.written_count(), before);
    }
    EXPECT_TRUE(f.pinpad->vendor_data.empty());
}

TEST(ReplyRoom, FinishAndAbortWantThreeBytesForTheirTwo) {
    PinpadBench f;
    f.start();
    for (ULONG code : {IOCTL_FEATURE_VERIFY_PIN_FINISH, IOCTL_FEATURE_ABORT}) {
        SCOPED_TRACE(code);
        const size_t before = f.written_count();
        const sim::IoResult small = f.ioctl(code, {}, 2);
        EXPECT_EQ(small.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(small.bytes, 0u);
        EXPECT_EQ(f.written_count(), before);
    }
    // Right after the start no PIN entry has been made: the zero-filled state is a cancelled one.
    const sim::IoResult finish = f.ioctl(IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3);
    EXPECT_EQ(finish.status, STATUS_SUCCESS);
    EXPECT_EQ(finish.output, (Bytes{0x64, 0x01}));
    const sim::IoResult abort = f.ioctl(IOCTL_FEATURE_ABORT, {}, 3);
    EXPECT_EQ(abort.status, STATUS_SUCCESS);
    EXPECT_EQ(abort.output, (Bytes{0x64, 0x80}));
    EXPECT_EQ(f.pinpad->aborts, 1);
    EXPECT_EQ(f.pinpad->finishes, 0) << "the cancelled entry was finished without the reader";
}

}  // namespace
}  // namespace qward::pinpad_test
