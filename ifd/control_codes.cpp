// Control code forms and the feature list's TLVs.
#include "control_codes.h"

namespace sim::ifd {

DriverCode to_driver_code(uint32_t client_code) {
    if (client_code >= kLinuxControlBase && client_code - kLinuxControlBase <= kMaxFunction) {
        return {kWindowsControlBase + 4 * (client_code - kLinuxControlBase), CodeForm::linux_form};
    }
    if ((client_code & ~(kMaxFunction << 2)) == kWindowsControlBase) return {client_code, CodeForm::windows_form};
    return {client_code, CodeForm::other};
}

uint32_t to_client_code(uint32_t windows_code, CodeForm form) {
    if (form != CodeForm::linux_form || (windows_code & ~(kMaxFunction << 2)) != kWindowsControlBase) {
        return windows_code;
    }
    return kLinuxControlBase + ((windows_code - kWindowsControlBase) >> 2);
}

void translate_feature_list(std::vector<uint8_t>& tlvs, CodeForm form) {
    size_t at = 0;
    while (at + 2 <= tlvs.size()) {
        size_t length = tlvs[at + 1];
        if (at + 2 + length > tlvs.size()) return;
        if (length == 4) {
            uint8_t* v = &tlvs[at + 2];
            uint32_t code = static_cast<uint32_t>(v[0]) << 24 | v[1] << 16 | v[2] << 8 | v[3];
            code = to_client_code(code, form);
            v[0] = static_cast<uint8_t>(code >> 24);
            v[1] = static_cast<uint8_t>(code >> 16);
            v[2] = static_cast<uint8_t>(code >> 8);
            v[3] = static_cast<uint8_t>(code);
        }
        at += 2 + length;
    }
}

}  // namespace sim::ifd
