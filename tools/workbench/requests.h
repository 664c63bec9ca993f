// What the application sent and got, in words: each I/O control's input and reply decoded (APDUs and status
// words, ATRs, protocols, attributes, the feature list, PIN pad replies), with PIN material masked.
#pragma once

#include <optional>
#include <span>
#include <string>

#include <winsmcrd.h>

#include "platform/host/application.h"
#include "text.h"

namespace sim::workbench {

// "APDU 00 A4 04 00 ... (SELECT)", "SCARD_COLD_RESET", "" when there is nothing to say beyond the bytes.
std::string describe_request(ULONG code, std::span<const uint8_t> input);
// The reply's bytes decoded for this code and input: "response 90 00 (success)", "ATR 3B ...", "T=1".
std::string describe_reply(ULONG code, std::span<const uint8_t> input, std::span<const uint8_t> reply);
// What the expectation of a request compares: the response APDU for IOCTL_SMARTCARD_TRANSMIT (the reply without
// the SCARD_IO_REQUEST header), the reply bytes otherwise.
Bytes reply_payload(ULONG code, std::span<const uint8_t> reply);
// The I/O control that an application command sends (apdu, reset, power-down, protocol, attribute, features,
// version, pin, track, ioctl): its code, input and output buffer size. Empty for every other command. An `apdu`'s
// SCARD_IO_REQUEST names `protocol`, the one its reader negotiated.
struct Command;
struct AppRequest {
    ULONG code = 0;
    Bytes input;
    ULONG output_size = 0;
};
std::optional<AppRequest> app_request(const Command& c, ULONG protocol = SCARD_PROTOCOL_T1);

// "T=0", "T=1", "T=0 or T=1".
std::string protocol_text(uint64_t mask);

}  // namespace sim::workbench
