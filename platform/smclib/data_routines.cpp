// The smart card library's helpers for reader callbacks: raw copies, protocol framing, inversion, logging (the ATR evaluation is in atr.cpp).
#include "reader_data.h"

using namespace sim::smclib;

extern "C" {

NTSTATUS NTAPI SmartcardRawRequest(PSMARTCARD_EXTENSION SmartcardExtension) {
    reader_data(SmartcardExtension, "SmartcardRawRequest");
    auto& io = SmartcardExtension->IoRequest;
    auto& request = SmartcardExtension->SmartcardRequest;
    if (io.RequestBufferLength > request.BufferSize) return STATUS_BUFFER_TOO_SMALL;
    if (io.RequestBufferLength) RtlCopyMemory(request.Buffer, io.RequestBuffer, io.RequestBufferLength);
    request.BufferLength = io.RequestBufferLength;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI SmartcardRawReply(PSMARTCARD_EXTENSION SmartcardExtension) {
    reader_data(SmartcardExtension, "SmartcardRawReply");
    auto& io = SmartcardExtension->IoRequest;
    const auto& reply = SmartcardExtension->SmartcardReply;
    if (reply.BufferLength > reply.BufferSize) {
        // Whatever wrote that length has already run past the library's reply buffer.
        verifier_stop("SMCLIB_REPLY_OVERRUN", "SmartcardRawReply with SmartcardReply.BufferLength %lu beyond its BufferSize %lu",
                      static_cast<unsigned long>(reply.BufferLength), static_cast<unsigned long>(reply.BufferSize));
    }
    if (reply.BufferLength > io.ReplyBufferLength) return STATUS_BUFFER_TOO_SMALL;
    if (reply.BufferLength) RtlCopyMemory(io.ReplyBuffer, reply.Buffer, reply.BufferLength);
    if (io.Information) *io.Information = reply.BufferLength;
    return STATUS_SUCCESS;
}

// T=0 and T=1 framing: the readers this platform serves run the card protocol themselves and exchange whole
// APDUs, so the library's block and procedure-byte engines are not part of it.
NTSTATUS NTAPI SmartcardT0Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    (void)SmartcardExtension;
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI SmartcardT0Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    (void)SmartcardExtension;
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI SmartcardT1Request(PSMARTCARD_EXTENSION SmartcardExtension) {
    (void)SmartcardExtension;
    return STATUS_NOT_SUPPORTED;
}

NTSTATUS NTAPI SmartcardT1Reply(PSMARTCARD_EXTENSION SmartcardExtension) {
    (void)SmartcardExtension;
    return STATUS_NOT_SUPPORTED;
}

// Inverse convention (TS = 0x3F): the card sends each byte with its bits in reverse order and complemented.
VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length) {
    for (ULONG i = 0; i < Length; ++i) {
        UCHAR value = Buffer[i];
        UCHAR reversed = 0;
        for (int bit = 0; bit < 8; ++bit) {
            reversed = static_cast<UCHAR>((reversed << 1) | (value & 1));
            value >>= 1;
        }
        Buffer[i] = static_cast<UCHAR>(~reversed);
    }
}

// No system event log is kept; the entry is dropped.
VOID NTAPI SmartcardLogError(PVOID Object, NTSTATUS ErrorCode, PUNICODE_STRING Insertion, ULONG DumpData) {
    (void)Object;
    (void)ErrorCode;
    (void)Insertion;
    (void)DumpData;
}

}  // extern "C"
