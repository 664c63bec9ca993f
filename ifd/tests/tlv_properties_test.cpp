// Tests of the TLV properties answer: its encoding with and without the firmware text, the reader's part of the
// driver's version answer, the PIN properties it takes over, and the feature list entry in both code forms.
#include <gtest/gtest.h>

#include "ifd/tlv_properties.h"
#include "support/bytes.h"

namespace sim::ifd {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes hex(const char* text) { return test::hex_bytes(text); }

Bytes with_driver_version(const std::string& reader, const char* driver = "01.11") {
    Bytes out(reader.begin(), reader.end());
    out.insert(out.end(), driver, driver + std::char_traits<char>::length(driver));
    out.push_back(0);
    return out;
}

TEST(TlvProperties, EncodingInTagOrderLeastSignificantByteFirst) {
    ReaderProperties properties;
    properties.lcd_layout = 0x0210;
    properties.entry_validation_condition = 0x07;
    properties.timeout2 = 0x1E;
    properties.vendor_id = 0x1A2B;
    properties.product_id = 0x3C4D;
    const Bytes common_tail = hex("09 01 00  0A 04 00 00 00 00  0B 02 2B 1A  0C 02 4D 3C");
    Bytes without = hex("01 02 10 02  02 01 07  03 01 1E  06 01 04  07 01 10");
    without.insert(without.end(), common_tail.begin(), common_tail.end());
    EXPECT_EQ(encode_tlv_properties(properties), without) << "no sFirmwareID while the firmware is not known";

    properties.firmware = "Q-ward 2.04";
    Bytes with = hex("01 02 10 02  02 01 07  03 01 1E  06 01 04  07 01 10  08 0B 51 2D 77 61 72 64 20 32 2E 30 34");
    with.insert(with.end(), common_tail.begin(), common_tail.end());
    EXPECT_EQ(encode_tlv_properties(properties), with);

    // A text longer than a TLV can carry is cut to 255 bytes, and the TLVs after it still parse.
    properties.firmware = std::string(300, 'x');
    const Bytes long_text = encode_tlv_properties(properties);
    ASSERT_EQ(long_text.size(), without.size() + 2 + 255);
    EXPECT_EQ(long_text[16], property::firmware_id);
    EXPECT_EQ(long_text[17], 0xFF);
    EXPECT_EQ(Bytes(long_text.end() - static_cast<long>(common_tail.size()), long_text.end()), common_tail);
}

TEST(TlvProperties, FirmwareIsTheReadersPartOfTheVersionAnswer) {
    struct Row {
        const char* what;
        Bytes answer;
        std::optional<std::string> firmware;
    };
    Bytes no_zero = with_driver_version("Q-ward 2.04");
    no_zero.back() = '!';
    const std::vector<Row> rows = {
        {"reader text and driver version", with_driver_version("Q-ward 2.04"), "Q-ward 2.04"},
        {"a one-character reader text", with_driver_version("Q"), "Q"},
        {"the driver's version alone", with_driver_version(""), std::nullopt},
        {"no zero byte at the end", no_zero, std::nullopt},
        {"not a version at the end", with_driver_version("Q-ward", "1x.11"), std::nullopt},
        {"no dot", with_driver_version("Q-ward", "01011"), std::nullopt},
        {"too short", hex("31 2E 31 31 00"), std::nullopt},
        {"empty", {}, std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(firmware_from_version_answer(row.answer), row.firmware);
    }
}

TEST(TlvProperties, PinPropertiesAnswerOfFourBytesOnly) {
    ReaderProperties properties;
    ASSERT_TRUE(take_pin_properties(hex("10 02 07 1E"), properties));
    EXPECT_EQ(properties.lcd_layout, 0x0210);
    EXPECT_EQ(properties.entry_validation_condition, 0x07);
    EXPECT_EQ(properties.timeout2, 0x1E);
    for (const Bytes& answer : {hex("10 02 07"), hex("00 00 00 00 00"), Bytes{}}) {
        ReaderProperties untouched;
        untouched.lcd_layout = 0x1234;
        EXPECT_FALSE(take_pin_properties(answer, untouched)) << answer.size() << " bytes";
        EXPECT_EQ(untouched.lcd_layout, 0x1234);
    }
}

TEST(TlvProperties, FeatureEntryInTheClientsForm) {
    struct Row {
        CodeForm form;
        Bytes entry;
    };
    const Row rows[] = {
        {CodeForm::linux_form, hex("12 04 42 00 0E 22")},   // 0x42000000 + 3618
        {CodeForm::windows_form, hex("12 04 00 31 38 88")},  // 0x310000 + 4 * 3618
    };
    for (const Row& row : rows) {
        Bytes list = hex("06 04 00 31 36 C4");
        append_tlv_properties_feature(list);
        translate_feature_list(list, row.form);
        ASSERT_EQ(list.size(), 12u);
        EXPECT_EQ(Bytes(list.begin() + 6, list.end()), row.entry);
        // A request in either form reaches the library's code, which neither form mistakes for another.
        const uint32_t client = static_cast<uint32_t>(row.entry[2]) << 24 | row.entry[3] << 16 | row.entry[4] << 8 | row.entry[5];
        EXPECT_EQ(to_driver_code(client).code, kTlvPropertiesCode);
        EXPECT_EQ(to_driver_code(client).form, row.form);
    }
}

}  // namespace
}  // namespace sim::ifd
