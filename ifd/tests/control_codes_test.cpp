// Tests of the control code forms: Linux to Windows and back, codes of neither form, and the feature list's TLVs rewritten into the client's form.
#include <gtest/gtest.h>

#include "ifd/control_codes.h"

namespace sim::ifd {
namespace {

TEST(ControlCodes, ClientCodesInTheDriversForm) {
    struct Row {
        uint32_t client;
        uint32_t driver;
        CodeForm form;
    };
    const std::vector<Row> rows = {
        {0x42000D48, 0x313520, CodeForm::linux_form},    // CM_IOCTL_GET_FEATURE_REQUEST
        {0x42000DB1, 0x3136C4, CodeForm::linux_form},    // 3505, FEATURE_VERIFY_PIN_DIRECT
        {0x42000000, 0x310000, CodeForm::linux_form},
        {0x42000FFF, 0x313FFC, CodeForm::linux_form},    // the highest function number
        {0x42001000, 0x42001000, CodeForm::other},       // past it
        {0x313520, 0x313520, CodeForm::windows_form},
        {0x310004, 0x310004, CodeForm::windows_form},
        {0x313522, 0x313522, CodeForm::other},           // not METHOD_BUFFERED
        {0x00220000, 0x00220000, CodeForm::other},
        {0x41FFFFFF, 0x41FFFFFF, CodeForm::other},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << std::hex << row.client);
        DriverCode code = to_driver_code(row.client);
        EXPECT_EQ(code.code, row.driver);
        EXPECT_EQ(code.form, row.form);
        if (row.form != CodeForm::other) {
            EXPECT_EQ(to_client_code(code.code, code.form), row.client);
        }
    }
    EXPECT_EQ(to_client_code(0x12345678, CodeForm::linux_form), 0x12345678u);
}

// The driver's feature list: six TLVs with Windows codes.
const std::vector<uint8_t> kDriverList = {0x01, 0x04, 0x00, 0x31, 0x36, 0xB0, 0x02, 0x04, 0x00, 0x31, 0x36, 0xB4,
                                          0x05, 0x04, 0x00, 0x31, 0x36, 0xC0, 0x06, 0x04, 0x00, 0x31, 0x36, 0xC4,
                                          0x0A, 0x04, 0x00, 0x31, 0x36, 0xD0, 0x0B, 0x04, 0x00, 0x31, 0x36, 0xCC};

TEST(ControlCodes, FeatureListTakesTheClientsForm) {
    std::vector<uint8_t> list = kDriverList;
    translate_feature_list(list, CodeForm::linux_form);
    const std::vector<uint8_t> linux_list = {
        0x01, 0x04, 0x42, 0x00, 0x0D, 0xAC, 0x02, 0x04, 0x42, 0x00, 0x0D, 0xAD, 0x05, 0x04, 0x42, 0x00, 0x0D, 0xB0,
        0x06, 0x04, 0x42, 0x00, 0x0D, 0xB1, 0x0A, 0x04, 0x42, 0x00, 0x0D, 0xB4, 0x0B, 0x04, 0x42, 0x00, 0x0D, 0xB3};
    EXPECT_EQ(list, linux_list);
    std::vector<uint8_t> windows = kDriverList;
    translate_feature_list(windows, CodeForm::windows_form);
    EXPECT_EQ(windows, kDriverList);
}

TEST(ControlCodes, FeatureListEntriesThatAreNoCodesStayAsTheyAre) {
    // A 2-byte entry, a code entry, and a last entry cut short.
    std::vector<uint8_t> list = {0x12, 0x02, 0x31, 0x00, 0x06, 0x04, 0x00, 0x31, 0x36, 0xC4, 0x0A, 0x04, 0x00, 0x31};
    std::vector<uint8_t> expected = list;
    expected[6] = 0x42;
    expected[7] = 0x00;
    expected[8] = 0x0D;
    expected[9] = 0xB1;
    translate_feature_list(list, CodeForm::linux_form);
    EXPECT_EQ(list, expected);
}

}  // namespace
}  // namespace sim::ifd
