// The reader driver's device and reader records, its constants and the routines that the driver files share.
#pragma once

#include "ddk_includes.h"

// Pool tag of every allocation of the driver: the bytes 'K', 'R', 'V', 0 in memory order.
constexpr ULONG POOL_TAG = 0x0056524B;

// Unit numbers 0 to 7 are handed out through the bits of UnitMap; later readers take DeviceCount as their number.
constexpr ULONG UNIT_MAP_BITS = 8;

// DEVICE_EXTENSION.PnPState
constexpr ULONG PNP_NOT_STARTED = 0; // after AddDevice, and after a stop
constexpr ULONG PNP_STARTED = 1;
constexpr ULONG PNP_REMOVED = 2;
constexpr ULONG PNP_SURPRISE_REMOVED = 3;

// READER_EXTENSION.PinState
constexpr UCHAR PIN_CANCELLED = 0; // the user pressed the cancel key; also the value before the first entry
constexpr UCHAR PIN_IDLE = 1;
constexpr UCHAR PIN_ENTERING = 2;
constexpr UCHAR PIN_COMPLETE = 8; // ended, waiting for the finish step

// READER_EXTENSION.PinOutcome: how a time-out ended the PIN entry.
constexpr UCHAR OUTCOME_NONE = 0;
constexpr UCHAR OUTCOME_TIMED_OUT = 1;
constexpr UCHAR OUTCOME_TOO_SHORT = 2;

typedef struct _DEVICE_EXTENSION DEVICE_EXTENSION, *PDEVICE_EXTENSION;

// Per-reader state that lives as long as the device object. Fields marked volatile are read and written from
// several threads or from completion routines without a common lock.
struct _DEVICE_EXTENSION {
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    DEVICE_CAPABILITIES DeviceCapabilities; // DeviceState is the system-to-device power-state table
    volatile ULONG PnPState;
    UNICODE_STRING InterfaceName;
    KEVENT IdleEvent; // signalled while IoCount is 1
    KEVENT WriteDoneEvent;
    KEVENT ReadDoneEvent;
    volatile LONG IoCount; // requests in flight plus one
    KSPIN_LOCK IoCountLock;
    PUSBD_INTERFACE_INFORMATION InterfaceInfo;
    PUSBD_PIPE_INFORMATION InPipe; // points into InterfaceInfo
    PUSBD_PIPE_INFORMATION OutPipe; // points into InterfaceInfo
    KMUTEX WriteMutex;
    DEVICE_POWER_STATE DevicePowerState;
    SYSTEM_POWER_STATE SystemPowerState;
    SMARTCARD_EXTENSION SmartcardExtension;
    volatile BOOLEAN ShutdownSignalled;
    PIRP volatile PollIrp;
    BOOLEAN UseIoCallDriverForPower;
};

// Reader protocol and PIN pad state, in its own non-paged block from AddDevice to IRP_MN_REMOVE_DEVICE. The flags
// are single bytes written without a lock; their writers set them before they signal a waiter.
struct _READER_EXTENSION {
    PDEVICE_EXTENSION DeviceExtension;
    ULONG OutPacketSize;
    ULONG InPacketSize;
    PDEVICE_OBJECT LowerDeviceObject;
    UCHAR EventPacket[8];
    volatile BOOLEAN EventPacketReady;
    volatile BOOLEAN PollActive;
    PKEVENT volatile ResponseEvent; // withdrawn, read and signalled under OsData->SpinLock
    ULONG SavedCardState;
    volatile BOOLEAN ReadFailed;
    volatile BOOLEAN CardRequired;
    volatile BOOLEAN CardPresent;
    volatile BOOLEAN CardRemovedSeen;
    volatile BOOLEAN PollCancelled;
    UCHAR PinState;
    UCHAR PinMinDigits;
    UCHAR PinMaxDigits;
    LONG DigitCount;
    UCHAR EntryValidation;
    UCHAR PinOutcome;
};

// Driver-wide state, without a lock: the Plug and Play manager never runs AddDevice and IRP_MN_REMOVE_DEVICE of
// two readers at the same time.
extern UCHAR UnitMap;
extern ULONG DeviceCount;

// driver/entry.cpp
// PASSIVE_LEVEL, once at load; fills the dispatch table and prints the load banner.
extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// PASSIVE_LEVEL; nothing to do, every device is gone by the time it runs.
VOID NTAPI DriverUnload(PDRIVER_OBJECT DriverObject);
// PASSIVE_LEVEL, serialised by the Plug and Play manager; takes no lock; leaves nothing behind when it fails.
NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
// PASSIVE_LEVEL, same serialisation as AddDevice; frees the UnitMap bit of a unit number (none above 7).
VOID ReleaseUnitNumber(ULONG UnitNo);

// driver/state.cpp
// Any IRQL up to DISPATCH_LEVEL; take and release IoCountLock; return the new count.
LONG IncrementIoCount(PDEVICE_EXTENSION DeviceExtension);
LONG DecrementIoCount(PDEVICE_EXTENSION DeviceExtension);
// Any IRQL up to DISPATCH_LEVEL; take and release OsData->SpinLock, which the caller must not hold.
ULONG GetCardState(PSMARTCARD_EXTENSION SmartcardExtension);
VOID SetCardState(PSMARTCARD_EXTENSION SmartcardExtension, ULONG State);

// driver/pnp.cpp
// PASSIVE_LEVEL, one request at a time per device; completes the IRP or passes it to the lower driver.
NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// driver/power.cpp
// PASSIVE_LEVEL; completes the IRP.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// driver/dispatch.cpp
// PASSIVE_LEVEL in the requesting thread; each completes the IRP.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Reader callbacks (ReaderFunction[RDF_...]). SMCLIB calls them at PASSIVE_LEVEL, one per reader at a time, with
// the request in IoRequest; SMCLIB completes the IRP with the returned status.
// usb/tracking.cpp
NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension);
// card/power.cpp
NTSTATUS CardPower(PSMARTCARD_EXTENSION SmartcardExtension);
NTSTATUS SetProtocol(PSMARTCARD_EXTENSION SmartcardExtension);
// card/transmit.cpp
NTSTATUS TransmitApdu(PSMARTCARD_EXTENSION SmartcardExtension);
// pinpad/vendor.cpp
NTSTATUS VendorIoctl(PSMARTCARD_EXTENSION SmartcardExtension);
