// The simulated reader's PIN formatting (coding, justification, units, length field) and the PIN blocks its verification start refuses.
#include <gtest/gtest.h>

#include "pinpad_bench.h"

namespace qward::pinpad_test {
namespace {

const Bytes kVerify8 = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

Bytes with_data(Bytes data) {
    Bytes apdu = {0x00, 0x20, 0x00, 0x01, static_cast<uint8_t>(data.size())};
    apdu.insert(apdu.end(), data.begin(), data.end());
    return apdu;
}

TEST(PinFormat, DigitsPutIntoTheApdu) {
    struct Case {
        const char* name;
        Bytes apdu;
        sim::PinFormat format;
        const char* digits;
        std::optional<Bytes> data;  // the APDU's data afterwards; none when the format does not fit
    };
    const Case cases[] = {
        {"ASCII, left", kVerify8, {0x82, 0x08, 0x00}, "1234", Bytes{0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"ASCII, right", kVerify8, {0x86, 0x08, 0x00}, "1234", Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0x31, 0x32, 0x33, 0x34}},
        {"binary, left, from byte 2", kVerify8, {0x90, 0x04, 0x00}, "907",
         Bytes{0xFF, 0xFF, 0x09, 0x00, 0x07, 0xFF, 0xFF, 0xFF}},
        {"BCD, right in a 4-byte field", with_data({0xFF, 0xFF, 0xFF, 0xFF}), {0x85, 0x04, 0x00}, "1234",
         Bytes{0xFF, 0xFF, 0x12, 0x34}},
        {"BCD, odd count keeps the filler nibble", with_data({0xFF, 0xFF, 0xFF, 0xFF}), {0x81, 0x04, 0x00}, "12345",
         Bytes{0x12, 0x34, 0x5F, 0xFF}},
        {"format 2 block: length nibble in bits, PIN from bit 8",
         with_data({0x2F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), {0x41, 0x47, 0x04}, "1234",
         Bytes{0x24, 0x12, 0x34, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"length byte in bytes, PIN from byte 1", with_data({0x00, 0xFF, 0xFF, 0xFF, 0xFF}), {0x89, 0x84, 0x10},
         "123456", Bytes{0x06, 0x12, 0x34, 0x56, 0xFF}},
        {"no digits leaves the filler", kVerify8, {0x82, 0x08, 0x00}, "", Bytes(8, 0xFF)},
        {"more digits than the field holds", kVerify8, {0x82, 0x04, 0x00}, "12345", std::nullopt},
        {"field past the data", kVerify8, {0x8A, 0x08, 0x00}, "1234", std::nullopt},
        {"length field past the data", kVerify8, {0x82, 0x88, 0x18}, "1234", std::nullopt},
        {"coding 3", kVerify8, {0x83, 0x08, 0x00}, "1234", std::nullopt},
        {"Lc longer than the APDU", {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF}, {0x82, 0x01, 0x00}, "1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<Bytes> apdu = sim::format_pin_apdu(c.apdu, c.format, c.digits);
        ASSERT_EQ(apdu.has_value(), c.data.has_value());
        if (!apdu) continue;
        EXPECT_EQ(Bytes(apdu->begin(), apdu->begin() + 5), Bytes(c.apdu.begin(), c.apdu.begin() + 5));
        EXPECT_EQ(Bytes(apdu->begin() + 5, apdu->end()), *c.data);
    }
}

// An APDU with Lc 0 (as OpenSC sends FEATURE_VERIFY_PIN_DIRECT) gets the PIN frame appended and Lc set;
// a trailing Le stays after the data.
TEST(PinFormat, ApduWithoutDataGetsThePinAppended) {
    struct Case {
        const char* name;
        Bytes apdu;
        sim::PinFormat format;
        const char* digits;
        Bytes expected;
    };
    const Case cases[] = {
        {"ASCII, frame as long as the PIN", {0x00, 0x20, 0x00, 0x81, 0x00}, {0x82, 0x00, 0x00}, "123456",
         {0x00, 0x20, 0x00, 0x81, 0x06, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36}},
        {"ASCII in an 8-byte block padded with FF", {0x00, 0x20, 0x00, 0x01, 0x00}, {0x82, 0x08, 0x00}, "1234",
         {0x00, 0x20, 0x00, 0x01, 0x08, 0x31, 0x32, 0x33, 0x34, 0xFF, 0xFF, 0xFF, 0xFF}},
        {"Le after the data stays last", {0x00, 0x20, 0x00, 0x81, 0x00, 0x00}, {0x82, 0x00, 0x00}, "12",
         {0x00, 0x20, 0x00, 0x81, 0x02, 0x31, 0x32, 0x00}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::optional<Bytes> apdu = sim::format_pin_apdu(c.apdu, c.format, c.digits);
        ASSERT_TRUE(apdu.has_value());
        EXPECT_EQ(*apdu, c.expected);
    }
}

// The reader checks the PIN block before it prompts: anything it could not complete is refused with 6B 80, which
// the start step reports as its refusal byte.
TEST(PinFormat, ReaderRefusesPinBlocksItCannotComplete) {
    struct Case {
        const char* name;
        VerifyRequest request;
    };
    VerifyRequest bcd_too_long;
    bcd_too_long.format_string = 0x81;
    bcd_too_long.block_string = 0x02;  // 8 BCD digits need 4 bytes
    VerifyRequest field_past_data;
    field_past_data.format_string = 0x8A;  // from byte 1: 8 bytes do not fit in 8
    VerifyRequest no_data;
    no_data.apdu = {0x00, 0x20, 0x00, 0x01};
    VerifyRequest coding_3;
    coding_3.format_string = 0x83;
    const Case cases[] = {
        {"BCD field too small", bcd_too_long},
        {"field past the data", field_past_data},
        {"APDU without data", no_data},
        {"coding 3", coding_3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PinpadBench f;
        f.start();
        const sim::IoResult result = f.ioctl(IOCTL_FEATURE_VERIFY_PIN_START, verify_structure(c.request), 4);
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        EXPECT_EQ(result.output, Bytes{0x57});
        EXPECT_EQ(f.pinpad->starts_refused, 1);
        EXPECT_EQ(f.keypad().entry(), sim::Keypad::Entry::idle);
    }
}

}  // namespace
}  // namespace qward::pinpad_test
