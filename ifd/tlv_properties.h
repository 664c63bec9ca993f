// FEATURE_GET_TLV_PROPERTIES, which this library offers on top of the driver's features (the driver itself, as
// Windows loads it, does not): the reader's PIN entry limits, display, firmware and USB identity as tag-length-value
// properties, so that middleware can fit its PIN entry requests to the reader before sending them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "control_codes.h"

namespace sim::ifd {

// The feature's tag in the feature list, and its control code in the driver's (Windows) form. The function number
// lies apart from the driver's own feature codes (3400, 3500 to 3508), and the driver refuses it: the library
// answers it before the driver is asked.
constexpr uint8_t kFeatureGetTlvProperties = 0x12;
constexpr uint32_t kTlvPropertiesFunction = 3618;
constexpr uint32_t kTlvPropertiesCode = kWindowsControlBase + 4 * kTlvPropertiesFunction;

// The property tags.
namespace property {
constexpr uint8_t lcd_layout = 0x01;               // 2 bytes
constexpr uint8_t entry_validation_condition = 0x02;
constexpr uint8_t timeout2 = 0x03;
constexpr uint8_t min_pin_size = 0x06;
constexpr uint8_t max_pin_size = 0x07;
constexpr uint8_t firmware_id = 0x08;              // text
constexpr uint8_t ppdu_support = 0x09;
constexpr uint8_t max_apdu_data_size = 0x0A;       // 4 bytes
constexpr uint8_t vendor_id = 0x0B;                // 2 bytes
constexpr uint8_t product_id = 0x0C;               // 2 bytes
}  // namespace property

// The PIN lengths a PIN entry on the keypad may be set up for: the driver refuses a PIN_VERIFY_STRUCTURE whose
// maximum length lies outside them with 6B 80.
constexpr uint8_t kMinPinSize = 4;
constexpr uint8_t kMaxPinSize = 16;

struct ReaderProperties {
    // From the driver's PIN properties (PIN_PROPERTIES_STRUCTURE).
    uint16_t lcd_layout = 0;
    uint8_t entry_validation_condition = 0;
    uint8_t timeout2 = 0;
    // The reader's version text; nothing when it is not known.
    std::optional<std::string> firmware;
    uint16_t vendor_id = 0;
    uint16_t product_id = 0;
};

// The driver's 4-byte PIN properties answer into the properties (the rest left as it is); false for an answer of
// another length.
bool take_pin_properties(const std::vector<uint8_t>& answer, ReaderProperties& properties);

// The reader's part of the driver's version answer, which is the reader's text followed by the driver's version
// ("NN.NN" and a zero byte); nothing when the answer has not that shape or the reader's part is empty.
std::optional<std::string> firmware_from_version_answer(const std::vector<uint8_t>& answer);

// The simulated reader's USB vendor and product IDs, as its device descriptor gives them.
void take_usb_identity(ReaderProperties& properties);

// The properties as TLVs in tag order (tag, length, value; numbers least significant byte first): wLcdLayout,
// bEntryValidationCondition, bTimeOut2, bMinPINSize, bMaxPINSize, sFirmwareID (when known), bPPDUSupport 0 (no
// PIN pad commands through the card channel), dwMaxAPDUDataSize 0 (short APDUs only), wIdVendor, wIdProduct.
std::vector<uint8_t> encode_tlv_properties(const ReaderProperties& properties);

// Appends the feature's entry (its code in the driver's form, most significant byte first) to the driver's
// feature list, which translate_feature_list then puts into the client's form.
void append_tlv_properties_feature(std::vector<uint8_t>& feature_list);

}  // namespace sim::ifd
