// Names the workbench reads and prints: I/O control codes, NTSTATUS values, card states, Plug and Play states,
// APDU instructions, status words, PIN pad replies and key codes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace sim::workbench {

struct IoctlInfo {
    ULONG code;
    const char* name;  // as the Windows headers and the driver spell it
    const char* what;
};
// Every code the driver admits, then the standard smart card codes it refuses.
const std::vector<IoctlInfo>& ioctl_table();
// The name, or the code in hex.
std::string ioctl_name(ULONG code);
// A full name ("IOCTL_SMARTCARD_TRANSMIT"), a name without its IOCTL_, IOCTL_SMARTCARD_, IOCTL_FEATURE_ or
// CM_IOCTL_ prefix ("transmit", "verify_pin_direct"; '-' may stand for '_', any case), or a number.
std::optional<ULONG> parse_ioctl(std::string_view text);

// "STATUS_NO_MEDIA", or "0xE0100001" for codes without a name.
std::string status_name(NTSTATUS status);
// "STATUS_NO_MEDIA (0xC0000178)".
std::string status_text(NTSTATUS status);
// "STATUS_NO_MEDIA", "NO_MEDIA" (any case), or a number ("0xC0000178").
std::optional<NTSTATUS> parse_status(std::string_view text);
bool is_error(NTSTATUS status);

// SCARD_ABSENT ... SCARD_SPECIFIC as "ABSENT" ... "SPECIFIC".
std::string card_state_name(ULONG state);
std::optional<ULONG> parse_card_state(std::string_view text);

// ISO 7816-4 instruction names for the transcript ("SELECT", "VERIFY"); empty when not known.
std::string instruction_name(uint8_t cla, uint8_t ins);
// What a status word means ("success", "wrong PIN, 2 tries left"); empty when not known.
std::string status_word_meaning(uint8_t sw1, uint8_t sw2);
// PC/SC Part 10 PIN replies of the PIN pad controls ("cancelled by the user" for 64 01).
std::string pin_reply_meaning(uint8_t sw1, uint8_t sw2);
// The key code of a key report ("digit", "validation key").
std::string key_code_name(uint8_t code);
// PC/SC Part 10 feature tags of the feature list ("FEATURE_VERIFY_PIN_DIRECT").
std::string feature_name(uint8_t tag);

// Whether an APDU is a VERIFY, whose data field is a PIN and is never shown.
bool is_verify_apdu(std::span<const uint8_t> apdu);
// One flag per APDU byte: set for the data field of a VERIFY (bytes 5 to 5 + Lc - 1).
std::vector<bool> apdu_secret_bytes(std::span<const uint8_t> apdu);

}  // namespace sim::workbench
