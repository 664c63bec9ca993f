// The one place where the driver's NTSTATUS answers become the IFD handler's response codes.
#pragma once

#include <cstdint>

namespace sim::ifd {

// The IFD handler call that a status answers.
enum class IfdCall { power, transmit, set_protocol, get_attribute, set_attribute, presence, control, card_event, open };

// The response code for a request that ended with `status` (an NTSTATUS); `machine_down` when the simulated
// machine stopped (a bug check) and answers nothing any more.
long to_ifd_code(uint32_t status, IfdCall call, bool machine_down = false);

}  // namespace sim::ifd
