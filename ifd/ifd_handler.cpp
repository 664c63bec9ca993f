// The pcscd reader driver's C entry points (IFD handler API v3): each call becomes the I/O controls a Windows application sends to our driver through its smart card reader interface.
// pcsc-lite declares the entry points without C linkage of their own.
extern "C" {
#include <PCSC/ifdhandler.h>
}
#include <PCSC/reader.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "control_codes.h"
#include "host.h"
#include "log.h"
#include "status_map.h"
#include "tlv_properties.h"

namespace {

using sim::ifd::Host;
using sim::ifd::IfdCall;
using sim::ifd::IoOutcome;
using sim::ifd::LogLevel;
using Bytes = std::vector<uint8_t>;

// The Windows smart card I/O controls and values the driver takes (winsmcrd.h), by number: this file sees
// pcsc-lite's headers, whose types clash with the Windows ones.
namespace win {
constexpr uint32_t ioctl(uint32_t n) { return 0x310000 + 4 * n; }
constexpr uint32_t power = ioctl(1);
constexpr uint32_t get_attribute = ioctl(2);
constexpr uint32_t set_attribute = ioctl(3);
constexpr uint32_t transmit = ioctl(5);
constexpr uint32_t set_protocol = ioctl(12);
constexpr uint32_t get_state = ioctl(14);
constexpr uint32_t vendor_get_version = ioctl(2049);
constexpr uint32_t get_feature_request = ioctl(3400);
constexpr uint32_t pin_properties = ioctl(3508);
constexpr uint32_t power_down = 0;
constexpr uint32_t cold_reset = 1;
constexpr uint32_t warm_reset = 2;
constexpr uint32_t protocol_t0 = 1;
constexpr uint32_t protocol_t1 = 2;
constexpr uint32_t protocol_raw = 0x00010000;
constexpr uint32_t state_absent = 1;
constexpr uint32_t io_header_size = 8;  // SCARD_IO_REQUEST: dwProtocol, cbPciLength
// The version answer: the reader's text (up to 256 bytes) and the driver's.
constexpr uint32_t version_answer_room = 256 + 6;
}  // namespace win

constexpr int kMaxReaders = 16;

Bytes ulong_bytes(uint32_t value) {
    return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
            static_cast<uint8_t>(value >> 24)};
}

uint32_t read_ulong(const Bytes& bytes, size_t at = 0) {
    if (bytes.size() < at + 4) return 0;
    return bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16 | static_cast<uint32_t>(bytes[at + 3]) << 24;
}

std::string reader_name(DWORD lun) { return "reader " + std::to_string(lun >> 16); }

bool open(DWORD lun) {
    if (Host::instance().has_reader(lun)) return true;
    sim::ifd::log(LogLevel::error, reader_name(lun) + ": called before its channel was created");
    return false;
}

// What IFDHICCPresence last told the calling thread of each reader's card. pcscd's polling thread asks for the
// presence, then waits for a change: the wait is for a change from what that thread was told, not from the card's
// state when the wait begins, or a card that comes or goes in between (a card emulator that hangs up while being
// powered) is never reported. Other threads ask too (pcscd looks before each power-up) and must not change what the
// polling thread waits for, so each thread keeps its own record, one entry per reader (pcscd numbers its readers in
// the upper half of the Lun; it serves at most 16).
struct ReportedPresence {
    DWORD lun;
    bool present;
    bool valid;
    // The wait for the card to go ended: it went, even if a card is there again when pcscd looks (a card swapped
    // quickly, a card emulator that reconnects). That look is told "absent" once, so that pcscd ends its session
    // with the old card and powers the new one up, instead of taking it for the card it powered before.
    bool removal_seen;
};
thread_local ReportedPresence t_reported[16];

ReportedPresence& reported_entry(DWORD lun) {
    ReportedPresence& entry = t_reported[(lun >> 16) % 16];
    if (!entry.valid || entry.lun != lun) entry = {lun, false, false, false};
    return entry;
}

// Waits for the card to come or go (pcscd's polling thread, TAG_IFD_POLLING_THREAD_WITH_TIMEOUT): for a state other
// than the one pcscd was last told, so that a change it has not seen ends the wait at once.
RESPONSECODE wait_for_card_event(DWORD lun, int timeout_ms) {
    if (!open(lun)) return IFD_NO_SUCH_DEVICE;
    ReportedPresence& reported = reported_entry(lun);
    if (!reported.valid) {
        IoOutcome state = Host::instance().ioctl(lun, win::get_state, {}, 4);
        if (state.machine_down || state.status != 0) return sim::ifd::to_ifd_code(state.status, IfdCall::card_event, state.machine_down);
        reported.present = read_ulong(state.output) > win::state_absent;
        reported.valid = true;
    }
    const bool awaited_removal = reported.present;
    IoOutcome event = Host::instance().wait_for_card_event(lun, awaited_removal, timeout_ms);
    if (awaited_removal && !event.machine_down && event.status == 0) reported.removal_seen = true;
    return sim::ifd::to_ifd_code(event.status, IfdCall::card_event, event.machine_down);
}

// Ends the running card-event wait (TAG_IFD_STOP_POLLING_THREAD): pcscd re-examines the card's power state, or
// removes the reader.
RESPONSECODE stop_card_event_wait(DWORD lun) {
    if (!open(lun)) return IFD_NO_SUCH_DEVICE;
    Host::instance().stop_card_event_wait(lun);
    return IFD_SUCCESS;
}

RESPONSECODE answer_byte(uint8_t value, PDWORD length, PUCHAR out) {
    if (*length < 1) return IFD_ERROR_INSUFFICIENT_BUFFER;
    *length = 1;
    out[0] = value;
    return IFD_SUCCESS;
}

template <typename Function>
RESPONSECODE answer_function(Function* fn, PDWORD length, PUCHAR out) {
    if (*length < sizeof fn) return IFD_ERROR_INSUFFICIENT_BUFFER;
    *length = sizeof fn;
    std::memcpy(out, &fn, sizeof fn);
    return IFD_SUCCESS;
}

// FEATURE_GET_TLV_PROPERTIES, answered here from what the driver says about the reader: its PIN properties (the
// reader's answer: without it the request fails, as the PIN properties request does), its version text when the
// reader gives one, the PIN length limits of the driver's PIN entry, and the USB identity.
RESPONSECODE answer_tlv_properties(DWORD lun, PUCHAR out, DWORD room, LPDWORD returned) {
    sim::ifd::ReaderProperties properties;
    IoOutcome pin = Host::instance().ioctl(lun, win::pin_properties, {}, 4);
    RESPONSECODE code = sim::ifd::to_ifd_code(pin.status, IfdCall::control, pin.machine_down);
    if (code != IFD_SUCCESS) return code;
    if (!sim::ifd::take_pin_properties(pin.output, properties)) return IFD_COMMUNICATION_ERROR;
    IoOutcome version = Host::instance().ioctl(lun, win::vendor_get_version, {}, win::version_answer_room);
    if (version.machine_down) return sim::ifd::to_ifd_code(version.status, IfdCall::control, true);
    if (version.status == 0) properties.firmware = sim::ifd::firmware_from_version_answer(version.output);
    sim::ifd::take_usb_identity(properties);
    Bytes answer = sim::ifd::encode_tlv_properties(properties);
    if (answer.size() > room || !out) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(out, answer.data(), answer.size());
    if (returned) *returned = static_cast<DWORD>(answer.size());
    return IFD_SUCCESS;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    std::string error;
    std::optional<sim::ifd::ReaderConfig> config = sim::ifd::parse_reader_config(DeviceName ? DeviceName : "", error);
    if (!config) {
        sim::ifd::log(LogLevel::critical, reader_name(Lun) + ": DEVICENAME not understood: " + error);
        return IFD_COMMUNICATION_ERROR;
    }
    error = Host::instance().open_reader(Lun, *config);
    if (!error.empty()) {
        sim::ifd::log(LogLevel::critical, reader_name(Lun) + ": cannot start the reader: " + error);
        return IFD_COMMUNICATION_ERROR;
    }
    return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    (void)Channel;
    char defaults[] = "";
    return IFDHCreateChannelByName(Lun, defaults);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    std::string report = Host::instance().close_reader(Lun);
    return report.empty() ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length,
                                                                         PUCHAR Value) {
    if (!Length || !Value) return IFD_COMMUNICATION_ERROR;
    switch (Tag) {
        case TAG_IFD_SLOTS_NUMBER: return answer_byte(1, Length, Value);
        case TAG_IFD_SIMULTANEOUS_ACCESS: return answer_byte(kMaxReaders, Length, Value);
        // Calls for different readers may overlap: the machine takes them one at a time.
        case TAG_IFD_THREAD_SAFE: return answer_byte(1, Length, Value);
        case TAG_IFD_SLOT_THREAD_SAFE: return answer_byte(0, Length, Value);
        case TAG_IFD_POLLING_THREAD_KILLABLE: return answer_byte(0, Length, Value);
        case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: return answer_function(&wait_for_card_event, Length, Value);
        case TAG_IFD_STOP_POLLING_THREAD: return answer_function(&stop_card_event_wait, Length, Value);
        default: break;
    }
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    // The ATR under its IFD tag, and every PC/SC attribute (the same numbers as Windows') from the driver.
    DWORD attribute = Tag == TAG_IFD_ATR ? SCARD_ATTR_ATR_STRING : Tag;
    if ((attribute >> 16) == 0) return IFD_ERROR_TAG;
    IoOutcome outcome = Host::instance().ioctl(Lun, win::get_attribute, ulong_bytes(attribute), *Length);
    RESPONSECODE code = sim::ifd::to_ifd_code(outcome.status, IfdCall::get_attribute, outcome.machine_down);
    if (code != IFD_SUCCESS) return code;
    *Length = static_cast<DWORD>(outcome.output.size());
    std::memcpy(Value, outcome.output.data(), outcome.output.size());
    return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length,
                                                                         PUCHAR Value) {
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    if ((Tag >> 16) == 0) return IFD_ERROR_TAG;
    Bytes input = ulong_bytes(Tag);
    if (Value) input.insert(input.end(), Value, Value + Length);
    IoOutcome outcome = Host::instance().ioctl(Lun, win::set_attribute, input, 0);
    return sim::ifd::to_ifd_code(outcome.status, IfdCall::set_attribute, outcome.machine_down);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol,
                                                                               UCHAR Flags, UCHAR PTS1, UCHAR PTS2,
                                                                               UCHAR PTS3) {
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    // pcscd asks for SCARD_PROTOCOL_T0 or T1, the same bits as Windows'.
    uint32_t mask = Protocol & (win::protocol_t0 | win::protocol_t1);
    if (mask == 0) return IFD_PROTOCOL_NOT_SUPPORTED;
    IoOutcome outcome = Host::instance().ioctl(Lun, win::set_protocol, ulong_bytes(mask), 4);
    return sim::ifd::to_ifd_code(outcome.status, IfdCall::set_protocol, outcome.machine_down);
}

__attribute__((visibility("default"))) RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr,
                                                                  PDWORD AtrLength) {
    if (AtrLength) *AtrLength = 0;
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    uint32_t minor = 0;
    switch (Action) {
        case IFD_POWER_UP: minor = win::cold_reset; break;
        case IFD_RESET: minor = win::warm_reset; break;
        case IFD_POWER_DOWN: minor = win::power_down; break;
        default: return IFD_NOT_SUPPORTED;
    }
    IoOutcome outcome = Host::instance().ioctl(Lun, win::power, ulong_bytes(minor), MAX_ATR_SIZE);
    RESPONSECODE code = sim::ifd::to_ifd_code(outcome.status, IfdCall::power, outcome.machine_down);
    if (code != IFD_SUCCESS || minor == win::power_down) return code;
    if (outcome.output.size() > MAX_ATR_SIZE || !Atr || !AtrLength) return IFD_ERROR_POWER_ACTION;
    std::memcpy(Atr, outcome.output.data(), outcome.output.size());
    *AtrLength = static_cast<DWORD>(outcome.output.size());
    return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci,
                                                                       PUCHAR TxBuffer, DWORD TxLength,
                                                                       PUCHAR RxBuffer, PDWORD RxLength,
                                                                       PSCARD_IO_HEADER RecvPci) {
    if (!RxLength) return IFD_COMMUNICATION_ERROR;
    DWORD room = *RxLength;
    *RxLength = 0;
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    // pcscd numbers the protocol (0 for T=0, 1 for T=1); the driver wants the SCARD_IO_REQUEST of Windows.
    uint32_t protocol = SendPci.Protocol == 0   ? win::protocol_t0
                        : SendPci.Protocol == 1 ? win::protocol_t1
                                                : win::protocol_raw;
    Bytes input = ulong_bytes(protocol);
    Bytes length = ulong_bytes(win::io_header_size);
    input.insert(input.end(), length.begin(), length.end());
    if (TxBuffer) input.insert(input.end(), TxBuffer, TxBuffer + TxLength);
    IoOutcome outcome = Host::instance().ioctl(Lun, win::transmit, input, room + win::io_header_size);
    RESPONSECODE code = sim::ifd::to_ifd_code(outcome.status, IfdCall::transmit, outcome.machine_down);
    if (code != IFD_SUCCESS) return code;
    if (outcome.output.size() < win::io_header_size) return IFD_COMMUNICATION_ERROR;
    size_t answer = outcome.output.size() - win::io_header_size;
    if (answer > room) return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, outcome.output.data() + win::io_header_size, answer);
    *RxLength = static_cast<DWORD>(answer);
    if (RecvPci) *RecvPci = SendPci;
    return IFD_SUCCESS;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHICCPresence(DWORD Lun) {
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    IoOutcome outcome = Host::instance().ioctl(Lun, win::get_state, {}, 4);
    RESPONSECODE code = sim::ifd::to_ifd_code(outcome.status, IfdCall::presence, outcome.machine_down);
    if (code != IFD_SUCCESS) return code;
    ReportedPresence& reported = reported_entry(Lun);
    const bool present = read_ulong(outcome.output) > win::state_absent && !reported.removal_seen;
    reported = {Lun, present, true, false};
    return present ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}

__attribute__((visibility("default"))) RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer,
                                                                 DWORD TxLength, PUCHAR RxBuffer, DWORD RxLength,
                                                                 LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned) *pdwBytesReturned = 0;
    if (!open(Lun)) return IFD_NO_SUCH_DEVICE;
    sim::ifd::DriverCode code = sim::ifd::to_driver_code(static_cast<uint32_t>(dwControlCode));
    if (code.code == sim::ifd::kTlvPropertiesCode) return answer_tlv_properties(Lun, RxBuffer, RxLength, pdwBytesReturned);
    Bytes input;
    if (TxBuffer) input.assign(TxBuffer, TxBuffer + TxLength);
    IoOutcome outcome = Host::instance().ioctl(Lun, code.code, input, static_cast<uint32_t>(RxLength));
    RESPONSECODE result = sim::ifd::to_ifd_code(outcome.status, IfdCall::control, outcome.machine_down);
    if (result != IFD_SUCCESS) return result;
    if (code.code == win::get_feature_request) {
        // The library's own feature after the driver's; a buffer with room for the driver's list alone is too small.
        sim::ifd::append_tlv_properties_feature(outcome.output);
        sim::ifd::translate_feature_list(outcome.output, code.form);
    }
    if (outcome.output.size() > RxLength || (!RxBuffer && !outcome.output.empty())) return IFD_ERROR_INSUFFICIENT_BUFFER;
    if (!outcome.output.empty()) std::memcpy(RxBuffer, outcome.output.data(), outcome.output.size());
    if (pdwBytesReturned) *pdwBytesReturned = static_cast<DWORD>(outcome.output.size());
    return IFD_SUCCESS;
}

}  // extern "C"
