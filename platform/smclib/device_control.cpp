// SmartcardDeviceControl: the I/O controls the library answers itself and the hand-over of the rest to the reader callbacks.
//
// Buffer sizes are checked before anything else happens to a request (bytes; "-" = not checked here):
//
// | I/O control                    | input | output            | input too short          | output too short        |
// |--------------------------------|-------|-------------------|--------------------------|-------------------------|
// | IOCTL_SMARTCARD_POWER          | 4     | -                 | STATUS_INVALID_PARAMETER | -                       |
// | IOCTL_SMARTCARD_GET_ATTRIBUTE  | 4     | the attribute's   | STATUS_INVALID_PARAMETER | STATUS_BUFFER_TOO_SMALL |
// | IOCTL_SMARTCARD_SET_ATTRIBUTE  | 4     | -                 | STATUS_INVALID_PARAMETER | -                       |
// | IOCTL_SMARTCARD_TRANSMIT       | 8     | 8                 | STATUS_INVALID_PARAMETER | STATUS_BUFFER_TOO_SMALL |
// | IOCTL_SMARTCARD_SET_PROTOCOL   | 4     | 4                 | STATUS_INVALID_PARAMETER | STATUS_BUFFER_TOO_SMALL |
// | IOCTL_SMARTCARD_GET_STATE      | -     | 4                 | -                        | STATUS_BUFFER_TOO_SMALL |
// | IOCTL_SMARTCARD_GET_LAST_ERROR | -     | 4                 | -                        | STATUS_BUFFER_TOO_SMALL |
// | IS_PRESENT, IS_ABSENT, EJECT, SWALLOW, CONFISCATE, GET_PERF_CNTR, vendor codes | - | - | - | -        |
//
// An input that lacks the value the request is about (the 4-byte minor code or attribute tag, the 8-byte
// SCARD_IO_REQUEST) makes the request malformed: STATUS_INVALID_PARAMETER. An output buffer that cannot hold the
// answer is STATUS_BUFFER_TOO_SMALL. Those are the statuses the I/O controls document for the two cases. The
// reply of a reset is the ATR, whose length only the callback knows, so IOCTL_SMARTCARD_POWER leaves that check to
// it (the callback returns STATUS_BUFFER_TOO_SMALL) rather than demand room for the longest ATR, 33 bytes, which
// would refuse a caller whose buffer fits the card's shorter ATR; a power-down has no reply at all.
//
// Before it calls the reader callback of a power, protocol or transmit request, the library looks at the card as
// the driver describes it (ReaderCapabilities.CurrentState, CardCapabilities.Protocol) and refuses a request that
// cannot succeed, with the status the I/O control documents for that case. A refused request reaches no callback
// and changes nothing: no card state, no protocol.
//
// | I/O control                  | refused when                                                 | status                        |
// |------------------------------|--------------------------------------------------------------|-------------------------------|
// | IOCTL_SMARTCARD_POWER        | no card: state SCARD_ABSENT or SCARD_UNKNOWN                 | STATUS_NO_MEDIA               |
// | IOCTL_SMARTCARD_SET_PROTOCOL | the mask names no protocol (T=0, T=1, raw)                   | STATUS_INVALID_DEVICE_REQUEST |
// |                              | no card                                                      | STATUS_NO_MEDIA               |
// |                              | the card is in the reader but not powered (SCARD_SWALLOWED)  | STATUS_INVALID_DEVICE_STATE   |
// |                              | none of the mask's protocols is among the card's             | STATUS_NOT_SUPPORTED          |
// | IOCTL_SMARTCARD_TRANSMIT     | no card                                                      | STATUS_NO_MEDIA               |
// |                              | no protocol selected (state below SCARD_SPECIFIC), or        | STATUS_INVALID_DEVICE_STATE   |
// |                              | SCARD_IO_REQUEST.dwProtocol not the selected protocol        |                               |
//
// The card's protocols are those of its last ATR (Protocol.Supported, written when the ATR is accepted); while no
// ATR has been accepted there are none to compare with and the callback decides. A card that is inserted but was
// never reset is the callback's to refuse (STATUS_INVALID_DEVICE_STATE) where the state cannot tell it: the Q-ward
// driver keeps SCARD_PRESENT both before and after a reset; only SCARD_SWALLOWED says "not powered" for certain. The mask is looked at before the card, as a malformed request
// is malformed whatever is in the slot.
//
// A missing callback: STATUS_NOT_SUPPORTED for the standard requests that need one (power, transmit, protocol,
// tracking, eject, swallow, confiscate), STATUS_INVALID_DEVICE_REQUEST for a code nobody knows (no
// RDF_IOCTL_VENDOR callback to pass it to).
//
// Every request but IOCTL_SMARTCARD_GET_STATE runs under OsData->Mutex, so callbacks of one reader never overlap
// and attribute answers never see a half-written card record; the card state itself is guarded by
// OsData->SpinLock, so reading it needs no wait behind a long-running callback.
#include "reader_data.h"

namespace sim::smclib {

namespace {

struct SizeRule {
    ULONG code;
    ULONG min_input;
    ULONG min_output;
};

constexpr SizeRule kSizeRules[] = {
    {IOCTL_SMARTCARD_POWER, sizeof(ULONG), 0},
    {IOCTL_SMARTCARD_GET_ATTRIBUTE, sizeof(ULONG), 0},
    {IOCTL_SMARTCARD_SET_ATTRIBUTE, sizeof(ULONG), 0},
    {IOCTL_SMARTCARD_TRANSMIT, sizeof(SCARD_IO_REQUEST), sizeof(SCARD_IO_REQUEST)},
    {IOCTL_SMARTCARD_SET_PROTOCOL, sizeof(ULONG), sizeof(ULONG)},
    {IOCTL_SMARTCARD_GET_STATE, 0, sizeof(ULONG)},
    {IOCTL_SMARTCARD_GET_LAST_ERROR, 0, sizeof(ULONG)},
};

struct Request {
    PSMARTCARD_EXTENSION extension;
    ReaderData* data;
    PIRP irp;
    ULONG code;
    PUCHAR buffer;  // the system buffer: the input on entry, the output on completion
    ULONG input_length;
    ULONG output_length;
    ULONG_PTR information;
};

ULONG read_ulong(const UCHAR* p) {
    ULONG value;
    RtlCopyMemory(&value, p, sizeof value);
    return value;
}

void write_ulong(UCHAR* p, ULONG value) { RtlCopyMemory(p, &value, sizeof value); }

void complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = NT_ERROR(status) ? 0 : information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS check_sizes(const Request& r) {
    for (const SizeRule& rule : kSizeRules) {
        if (rule.code != r.code) continue;
        if (r.input_length < rule.min_input) return STATUS_INVALID_PARAMETER;
        if (r.output_length < rule.min_output) return STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_SUCCESS;
}

// Hands the request to the reader callback at index; the caller holds OsData->Mutex.
NTSTATUS call_reader(Request& r, int index, NTSTATUS when_missing) {
    auto callback = r.extension->ReaderFunction[index];
    if (!callback) return when_missing;
    auto& io = r.extension->IoRequest;
    r.data->information = 0;
    io.Information = &r.data->information;
    io.RequestBuffer = r.buffer;
    io.RequestBufferLength = r.input_length;
    io.ReplyBuffer = r.buffer;
    io.ReplyBufferLength = r.output_length;
    NTSTATUS status = call_reader_callback("smart card reader callback", callback, r.extension);
    if (status == STATUS_PENDING) return status;
    if (!NT_ERROR(status) && r.data->information > r.output_length) {
        // The I/O manager would copy that many bytes into a caller's buffer that is not so long.
        verifier_stop("SMCLIB_REPLY_OVERRUN", "callback %d for I/O control %lu reported %lu reply bytes in a %lu-byte output buffer",
                      index, static_cast<unsigned long>(r.code), static_cast<unsigned long>(r.data->information),
                      static_cast<unsigned long>(r.output_length));
    }
    r.information = r.data->information;
    return status;
}

// The protocols a SET_PROTOCOL mask or an SCARD_IO_REQUEST can name; SCARD_PROTOCOL_DEFAULT and _OPTIMAL only
// say how to select among them.
constexpr ULONG kKnownProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1 | SCARD_PROTOCOL_RAW;

bool card_in_slot(ULONG state) { return state > SCARD_ABSENT; }

NTSTATUS power(Request& r) {
    ULONG minor = read_ulong(r.buffer);
    if (!card_in_slot(read_card_state(r.extension))) return STATUS_NO_MEDIA;
    r.extension->MinorIoControlCode = minor;
    NTSTATUS status = call_reader(r, RDF_CARD_POWER, STATUS_NOT_SUPPORTED);
    if (status != STATUS_SUCCESS || minor == SCARD_POWER_DOWN || r.information != 0) return status;
    // The reply of a reset is the ATR, which the callback also leaves in CardCapabilities.ATR; a callback that
    // put it only there still gets it to the caller.
    const auto& atr = r.extension->CardCapabilities.ATR;
    ULONG length = atr.Length < sizeof atr.Buffer ? atr.Length : sizeof atr.Buffer;
    if (length > r.output_length) return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(r.buffer, atr.Buffer, length);
    r.information = length;
    return status;
}

NTSTATUS set_protocol(Request& r) {
    ULONG mask = read_ulong(r.buffer);
    if (!(mask & kKnownProtocols)) return STATUS_INVALID_DEVICE_REQUEST;
    ULONG state = read_card_state(r.extension);
    if (!card_in_slot(state)) return STATUS_NO_MEDIA;
    if (state == SCARD_SWALLOWED) return STATUS_INVALID_DEVICE_STATE;
    ULONG supported = r.extension->CardCapabilities.Protocol.Supported;
    if (supported != 0 && !(mask & supported)) return STATUS_NOT_SUPPORTED;
    r.extension->MinorIoControlCode = mask;
    NTSTATUS status = call_reader(r, RDF_SET_PROTOCOL, STATUS_NOT_SUPPORTED);
    if (status != STATUS_SUCCESS || r.information != 0) return status;
    // The reply is the selected protocol, also when the callback found it already in force and answered nothing.
    write_ulong(r.buffer, r.extension->CardCapabilities.Protocol.Selected);
    r.information = sizeof(ULONG);
    return status;
}

// Answers one attribute into the output buffer.
class AttributeAnswer {
   public:
    explicit AttributeAnswer(Request& r) : r_(r) {}

    NTSTATUS bytes(const void* data, ULONG length) {
        if (length > r_.output_length) return STATUS_BUFFER_TOO_SMALL;
        RtlCopyMemory(r_.buffer, data, length);
        r_.information = length;
        return STATUS_SUCCESS;
    }
    NTSTATUS ulong(ULONG value) { return bytes(&value, sizeof value); }
    NTSTATUS byte(UCHAR value) { return bytes(&value, 1); }
    template <typename Text>
    NTSTATUS text(const Text& t) {
        // Strings go out without a terminating null, at most as long as the record's buffer.
        ULONG length = t.Length < sizeof t.Buffer ? t.Length : sizeof t.Buffer;
        return bytes(t.Buffer, length);
    }

   private:
    Request& r_;
};

NTSTATUS get_attribute(Request& r) {
    PSMARTCARD_EXTENSION e = r.extension;
    const auto& vendor = e->VendorAttr;
    const auto& reader = e->ReaderCapabilities;
    const auto& card = e->CardCapabilities;
    AttributeAnswer answer(r);
    ULONG id = read_ulong(r.buffer);
    ULONG state = read_card_state(e);
    ULONG selected = card.Protocol.Selected;
    bool negotiated = state == SCARD_SPECIFIC;

    switch (id) {
        case SCARD_ATTR_VENDOR_NAME: return answer.text(vendor.VendorName);
        case SCARD_ATTR_VENDOR_IFD_TYPE: return answer.text(vendor.IfdType);
        case SCARD_ATTR_VENDOR_IFD_VERSION: {
            const auto& v = vendor.IfdVersion;
            if (v.VersionMajor == 0 && v.VersionMinor == 0 && v.BuildNumber == 0) return STATUS_NOT_SUPPORTED;
            return answer.ulong((ULONG{v.VersionMajor} << 24) | (ULONG{v.VersionMinor} << 16) | v.BuildNumber);
        }
        case SCARD_ATTR_VENDOR_IFD_SERIAL_NO:
            if (vendor.IfdSerialNo.Length == 0) return STATUS_NOT_SUPPORTED;
            return answer.text(vendor.IfdSerialNo);
        case SCARD_ATTR_DEVICE_UNIT: return answer.ulong(vendor.UnitNo);
        case SCARD_ATTR_CHANNEL_ID: return answer.ulong((reader.ReaderType << 16) | (reader.Channel & 0xFFFF));
        case SCARD_ATTR_PROTOCOL_TYPES: return answer.ulong(reader.SupportedProtocols);
        case SCARD_ATTR_DEFAULT_CLK: return answer.ulong(reader.CLKFrequency.Default);
        case SCARD_ATTR_MAX_CLK: return answer.ulong(reader.CLKFrequency.Max);
        case SCARD_ATTR_DEFAULT_DATA_RATE: return answer.ulong(reader.DataRate.Default);
        case SCARD_ATTR_MAX_DATA_RATE: return answer.ulong(reader.DataRate.Max);
        case SCARD_ATTR_MAX_IFSD: return answer.ulong(reader.MaxIFSD);
        case SCARD_ATTR_POWER_MGMT_SUPPORT: return answer.ulong(reader.PowerMgmtSupport);
        case SCARD_ATTR_CHARACTERISTICS: return answer.ulong(reader.MechProperties);
        case SCARD_ATTR_ICC_PRESENCE: {
            if (state <= SCARD_ABSENT) return answer.byte(0);
            bool swallows = reader.MechProperties & SCARD_READER_SWALLOWS;
            return answer.byte(swallows && state == SCARD_PRESENT ? 1 : 2);
        }
        case SCARD_ATTR_ATR_STRING:
            if (state <= SCARD_ABSENT || card.ATR.Length == 0) return STATUS_INVALID_DEVICE_STATE;
            return answer.text(card.ATR);
        case SCARD_ATTR_CURRENT_PROTOCOL_TYPE: return answer.ulong(negotiated ? selected : SCARD_PROTOCOL_UNDEFINED);
        default: break;
    }

    // The remaining attributes describe the transmission in force: they exist only once a protocol is.
    bool t0 = selected == SCARD_PROTOCOL_T0;
    bool t1 = selected == SCARD_PROTOCOL_T1;
    switch (id) {
        case SCARD_ATTR_CURRENT_CLK:
        case SCARD_ATTR_CURRENT_F:
        case SCARD_ATTR_CURRENT_D:
        case SCARD_ATTR_CURRENT_N:
        case SCARD_ATTR_CURRENT_W:
        case SCARD_ATTR_CURRENT_IFSC:
        case SCARD_ATTR_CURRENT_IFSD:
        case SCARD_ATTR_CURRENT_BWT:
        case SCARD_ATTR_CURRENT_CWT:
        case SCARD_ATTR_CURRENT_EBC_ENCODING:
            if (!negotiated) return STATUS_INVALID_DEVICE_STATE;
            break;
        default: return STATUS_NOT_SUPPORTED;
    }
    switch (id) {
        case SCARD_ATTR_CURRENT_CLK: return answer.ulong(card.PtsData.CLKFrequency);
        case SCARD_ATTR_CURRENT_F: {
            ULONG f = kClockRateConversion[card.Fl & 0x0F];
            return f ? answer.ulong(f) : STATUS_NOT_SUPPORTED;
        }
        case SCARD_ATTR_CURRENT_D: {
            ULONG d = kBitRateAdjustment[card.Dl & 0x0F];
            return d ? answer.ulong(d) : STATUS_NOT_SUPPORTED;
        }
        case SCARD_ATTR_CURRENT_N: return answer.ulong(card.N);
        case SCARD_ATTR_CURRENT_W: return t0 ? answer.ulong(card.T0.WI) : STATUS_NOT_SUPPORTED;
        case SCARD_ATTR_CURRENT_IFSC: return t1 ? answer.ulong(card.T1.IFSC) : STATUS_NOT_SUPPORTED;
        case SCARD_ATTR_CURRENT_IFSD: return t1 ? answer.ulong(e->T1.IFSD) : STATUS_NOT_SUPPORTED;
        case SCARD_ATTR_CURRENT_BWT: return t1 ? answer.ulong(card.T1.BWT) : STATUS_NOT_SUPPORTED;
        case SCARD_ATTR_CURRENT_CWT: return t1 ? answer.ulong(card.T1.CWT) : STATUS_NOT_SUPPORTED;
        case SCARD_ATTR_CURRENT_EBC_ENCODING: return t1 ? answer.ulong(card.T1.EDC & 0x01) : STATUS_NOT_SUPPORTED;
        default: return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS set_attribute(Request& r) {
    switch (read_ulong(r.buffer)) {
        case SCARD_ATTR_DEVICE_IN_USE:
            return STATUS_SUCCESS;
        case SCARD_ATTR_SUPRESS_T1_IFS_REQUEST:
            r.data->suppress_t1_ifs_request = TRUE;
            return STATUS_SUCCESS;
        default:
            // Everything the library reports is the reader's or the card's own description: read-only.
            return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS transmit(Request& r) {
    ULONG state = read_card_state(r.extension);
    if (!card_in_slot(state)) return STATUS_NO_MEDIA;
    // The size check has made sure the request starts with an SCARD_IO_REQUEST; dwProtocol is its first member.
    ULONG protocol = read_ulong(r.buffer);
    if (state != SCARD_SPECIFIC || protocol != r.extension->CardCapabilities.Protocol.Selected) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    return call_reader(r, RDF_TRANSMIT, STATUS_NOT_SUPPORTED);
}

NTSTATUS serve(Request& r) {
    switch (r.code) {
        case IOCTL_SMARTCARD_POWER: return power(r);
        case IOCTL_SMARTCARD_SET_PROTOCOL: return set_protocol(r);
        case IOCTL_SMARTCARD_TRANSMIT: return transmit(r);
        case IOCTL_SMARTCARD_GET_ATTRIBUTE: return get_attribute(r);
        case IOCTL_SMARTCARD_SET_ATTRIBUTE: return set_attribute(r);
        case IOCTL_SMARTCARD_GET_LAST_ERROR:
            write_ulong(r.buffer, r.extension->LastError);
            r.information = sizeof(ULONG);
            return STATUS_SUCCESS;
        case IOCTL_SMARTCARD_EJECT: return call_reader(r, RDF_CARD_EJECT, STATUS_NOT_SUPPORTED);
        case IOCTL_SMARTCARD_SWALLOW: return call_reader(r, RDF_READER_SWALLOW, STATUS_NOT_SUPPORTED);
        case IOCTL_SMARTCARD_CONFISCATE: return call_reader(r, RDF_CARD_CONFISCATE, STATUS_NOT_SUPPORTED);
        case IOCTL_SMARTCARD_GET_PERF_CNTR: return STATUS_NOT_SUPPORTED;  // no performance counters are kept
        default: return call_reader(r, RDF_IOCTL_VENDOR, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// IOCTL_SMARTCARD_IS_PRESENT and IOCTL_SMARTCARD_IS_ABSENT. The request is marked pending before it is published
// in NotificationIrp, because from then on the driver's card-event path may complete it at any moment; so every
// request that got that far returns STATUS_PENDING, whoever completes it.
NTSTATUS track_card(Request& r) {
    PSMARTCARD_EXTENSION e = r.extension;
    OS_DEP_DATA& os = r.data->os;
    bool want_present = r.code == IOCTL_SMARTCARD_IS_PRESENT;

    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&os.SpinLock);
    bool present = e->ReaderCapabilities.CurrentState > SCARD_ABSENT;
    NTSTATUS refusal = STATUS_PENDING;
    if (present == want_present) {
        refusal = STATUS_SUCCESS;
    } else if (!e->ReaderFunction[RDF_CARD_TRACKING]) {
        refusal = STATUS_NOT_SUPPORTED;
    } else if (os.NotificationIrp) {
        refusal = STATUS_DEVICE_BUSY;
    } else {
        IoMarkIrpPending(r.irp);
        os.NotificationIrp = r.irp;
    }
    KeReleaseSpinLock(&os.SpinLock, old_irql);
    if (refusal != STATUS_PENDING) {
        complete(r.irp, refusal, 0);
        return refusal;
    }

    NTSTATUS status = call_reader_callback("smart card reader callback", e->ReaderFunction[RDF_CARD_TRACKING], e);
    if (status == STATUS_PENDING) return STATUS_PENDING;

    // The callback did not take the request on: take it back unless a card event or a cancel got there first.
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    KeAcquireSpinLockAtDpcLevel(&os.SpinLock);
    bool ours = os.NotificationIrp == r.irp;
    if (ours) os.NotificationIrp = nullptr;
    KeReleaseSpinLockFromDpcLevel(&os.SpinLock);
    if (ours) IoSetCancelRoutine(r.irp, nullptr);
    IoReleaseCancelSpinLock(cancel_irql);
    if (ours) complete(r.irp, status, 0);
    return STATUS_PENDING;
}

}  // namespace

}  // namespace sim::smclib

using namespace sim::smclib;

extern "C" NTSTATUS NTAPI SmartcardDeviceControl(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp) {
    const char* call = "SmartcardDeviceControl";
    ReaderData& data = reader_data(SmartcardExtension, call);
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u; smart card requests run at PASSIVE_LEVEL", call,
                      unsigned{KeGetCurrentIrql()});
    }
    if (!Irp) verifier_stop("INVALID_IRP", "%s without an IRP", call);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Request r{SmartcardExtension,
              &data,
              Irp,
              stack->Parameters.DeviceIoControl.IoControlCode,
              static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer),
              stack->Parameters.DeviceIoControl.InputBufferLength,
              stack->Parameters.DeviceIoControl.OutputBufferLength,
              0};

    NTSTATUS status = check_sizes(r);
    if (!NT_SUCCESS(status)) {
        complete(Irp, status, 0);
        return status;
    }

    if (r.code == IOCTL_SMARTCARD_GET_STATE) {
        write_ulong(r.buffer, read_card_state(SmartcardExtension));
        complete(Irp, STATUS_SUCCESS, sizeof(ULONG));
        return STATUS_SUCCESS;
    }

    OS_DEP_DATA& os = data.os;
    status = KeWaitForSingleObject(&os.Mutex, Executive, KernelMode, FALSE, nullptr);
    if (status != STATUS_SUCCESS) {
        // Only a machine that is shutting down breaks this wait off.
        complete(Irp, STATUS_CANCELLED, 0);
        return STATUS_CANCELLED;
    }
    SmartcardExtension->MajorIoControlCode = r.code;
    SmartcardExtension->MinorIoControlCode = 0;
    if (r.code == IOCTL_SMARTCARD_IS_PRESENT || r.code == IOCTL_SMARTCARD_IS_ABSENT) {
        status = track_card(r);
        KeReleaseMutex(&os.Mutex, FALSE);
        return status;
    }

    os.CurrentIrp = Irp;
    status = serve(r);
    os.CurrentIrp = nullptr;
    KeReleaseMutex(&os.Mutex, FALSE);
    // A callback that answers STATUS_PENDING has taken the request over and completes it itself.
    if (status != STATUS_PENDING) complete(Irp, status, r.information);
    return status;
}
