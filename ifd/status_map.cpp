// NTSTATUS to IFD response codes, call by call.
#include "status_map.h"

#include <PCSC/ifdhandler.h>

#include <cstdint>

using NTSTATUS = int32_t;
#include <ntstatus.h>

namespace sim::ifd {

long to_ifd_code(uint32_t raw, IfdCall call, bool machine_down) {
    // A machine that bug-checked is a reader that is gone: pcscd stops using it.
    if (machine_down) return IFD_NO_SUCH_DEVICE;
    const auto status = static_cast<NTSTATUS>(raw);
    switch (status) {
        case STATUS_SUCCESS:
            return IFD_SUCCESS;
        case STATUS_DEVICE_REMOVED:
        case STATUS_DELETE_PENDING:
        case STATUS_NO_SUCH_DEVICE:
        case STATUS_DEVICE_NOT_CONNECTED:
            return IFD_NO_SUCH_DEVICE;
        case STATUS_BUFFER_TOO_SMALL:
            return IFD_ERROR_INSUFFICIENT_BUFFER;
        case STATUS_CANCELLED:
            // A card-event wait is cancelled when it runs out of time or is told to stop: nothing went wrong.
            return call == IfdCall::card_event ? IFD_SUCCESS : IFD_COMMUNICATION_ERROR;
        default:
            break;
    }
    switch (call) {
        case IfdCall::power:
            // pcscd reads any failure of a power-up as a card that cannot be used (swallowed).
            return status == STATUS_NOT_SUPPORTED ? IFD_NOT_SUPPORTED : IFD_ERROR_POWER_ACTION;
        case IfdCall::transmit:
            if (status == STATUS_NO_MEDIA) return IFD_ICC_NOT_PRESENT;
            if (status == STATUS_IO_TIMEOUT) return IFD_RESPONSE_TIMEOUT;
            return IFD_COMMUNICATION_ERROR;
        case IfdCall::set_protocol:
            if (status == STATUS_NOT_SUPPORTED || status == STATUS_INVALID_PARAMETER) return IFD_PROTOCOL_NOT_SUPPORTED;
            if (status == STATUS_NO_MEDIA) return IFD_ICC_NOT_PRESENT;
            return IFD_ERROR_PTS_FAILURE;
        case IfdCall::get_attribute:
        case IfdCall::set_attribute:
            if (status == STATUS_NOT_SUPPORTED) return IFD_ERROR_TAG;
            return IFD_COMMUNICATION_ERROR;
        case IfdCall::control:
            // The device-control gate refuses a code outside its list with STATUS_INVALID_PARAMETER.
            if (status == STATUS_INVALID_PARAMETER || status == STATUS_NOT_SUPPORTED) return IFD_ERROR_NOT_SUPPORTED;
            if (status == STATUS_IO_TIMEOUT) return IFD_RESPONSE_TIMEOUT;
            if (status == STATUS_NO_MEDIA) return IFD_ICC_NOT_PRESENT;
            return IFD_COMMUNICATION_ERROR;
        case IfdCall::presence:
        case IfdCall::card_event:
        case IfdCall::open:
            return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

}  // namespace sim::ifd
