// The TLV properties answer and the pieces it is made of.
#include "tlv_properties.h"

#include <algorithm>
#include <cctype>

#include "platform/usb/usb_descriptors.h"

namespace sim::ifd {

namespace {

// The driver's version text after the reader's: two digits, a dot, two digits, a zero byte.
constexpr size_t kDriverVersionLength = 6;

void put(std::vector<uint8_t>& out, uint8_t tag, uint32_t value, size_t length) {
    out.push_back(tag);
    out.push_back(static_cast<uint8_t>(length));
    for (size_t i = 0; i < length; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

}  // namespace

bool take_pin_properties(const std::vector<uint8_t>& answer, ReaderProperties& properties) {
    if (answer.size() != 4) return false;
    properties.lcd_layout = static_cast<uint16_t>(answer[0] | answer[1] << 8);
    properties.entry_validation_condition = answer[2];
    properties.timeout2 = answer[3];
    return true;
}

std::optional<std::string> firmware_from_version_answer(const std::vector<uint8_t>& answer) {
    if (answer.size() <= kDriverVersionLength) return std::nullopt;
    const uint8_t* driver = answer.data() + answer.size() - kDriverVersionLength;
    auto digit = [](uint8_t c) { return std::isdigit(c) != 0; };
    if (!digit(driver[0]) || !digit(driver[1]) || driver[2] != '.' || !digit(driver[3]) || !digit(driver[4]) ||
        driver[5] != 0) {
        return std::nullopt;
    }
    std::string text(answer.begin(), answer.end() - kDriverVersionLength);
    // A TLV's length is one byte.
    if (text.size() > 0xFF) text.resize(0xFF);
    return text;
}

void take_usb_identity(ReaderProperties& properties) {
    const UsbDeviceSpec device = UsbDeviceSpec::reader();
    properties.vendor_id = device.vendor_id;
    properties.product_id = device.product_id;
}

std::vector<uint8_t> encode_tlv_properties(const ReaderProperties& properties) {
    std::vector<uint8_t> out;
    put(out, property::lcd_layout, properties.lcd_layout, 2);
    put(out, property::entry_validation_condition, properties.entry_validation_condition, 1);
    put(out, property::timeout2, properties.timeout2, 1);
    put(out, property::min_pin_size, kMinPinSize, 1);
    put(out, property::max_pin_size, kMaxPinSize, 1);
    if (properties.firmware) {
        const size_t length = std::min<size_t>(properties.firmware->size(), 0xFF);
        out.push_back(property::firmware_id);
        out.push_back(static_cast<uint8_t>(length));
        out.insert(out.end(), properties.firmware->begin(), properties.firmware->begin() + static_cast<long>(length));
    }
    put(out, property::ppdu_support, 0, 1);
    put(out, property::max_apdu_data_size, 0, 4);
    put(out, property::vendor_id, properties.vendor_id, 2);
    put(out, property::product_id, properties.product_id, 2);
    return out;
}

void append_tlv_properties_feature(std::vector<uint8_t>& feature_list) {
    feature_list.push_back(kFeatureGetTlvProperties);
    feature_list.push_back(4);
    for (int shift = 24; shift >= 0; shift -= 8) feature_list.push_back(static_cast<uint8_t>(kTlvPropertiesCode >> shift));
}

}  // namespace sim::ifd
