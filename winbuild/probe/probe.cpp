// Smallest kernel driver the Windows build accepts: DriverEntry, a debug print and one SMCLIB import; test_checks.sh breaks copies of it.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
}

extern "C" VOID NTAPI SmartcardInvertData(PUCHAR Buffer, ULONG Length);

static VOID NTAPI ProbeUnload(PDRIVER_OBJECT)
{
}

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    UCHAR pattern[2] = {0x3F, 0x3B};
    SmartcardInvertData(pattern, sizeof(pattern));
    DbgPrint("winbuild probe loaded %02x\n", pattern[0]);
    DriverObject->DriverUnload = ProbeUnload;
    return STATUS_SUCCESS;
}
