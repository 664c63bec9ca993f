// The two forms of a smart card control code: pcsc-lite's SCARD_CTL_CODE(n) = 0x42000000 + n, which Linux clients send, and the Windows I/O control code 0x310000 + 4n, which the driver serves; and the feature list's TLVs rewritten into the client's form.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace sim::ifd {

enum class CodeForm {
    linux_form,    // 0x42000000 + n
    windows_form,  // 0x310000 + 4n (FILE_DEVICE_SMARTCARD, METHOD_BUFFERED, FILE_ANY_ACCESS)
    other,         // neither: passed on unchanged, and the driver refuses it
};

constexpr uint32_t kLinuxControlBase = 0x42000000;
constexpr uint32_t kWindowsControlBase = 0x310000;
constexpr uint32_t kMaxFunction = 0xFFF;  // the function number's 12 bits

struct DriverCode {
    uint32_t code = 0;  // what the driver is sent
    CodeForm form = CodeForm::other;  // how the client wrote it
};

// The client's code in the driver's form, with the form the client used.
DriverCode to_driver_code(uint32_t client_code);
// A Windows-form code in the given form (codes that are not Windows-form come back unchanged).
uint32_t to_client_code(uint32_t windows_code, CodeForm form);
// Rewrites the control codes of a feature list (TLVs: tag, length 4, code most significant byte first) into
// the client's form. Entries of another length are left alone, and a truncated last entry too.
void translate_feature_list(std::vector<uint8_t>& tlvs, CodeForm form);

}  // namespace sim::ifd
