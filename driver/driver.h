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
    // How CancelBackgroundRead meets the background read's completion and its posting (usb/tracking.cpp); both
    // fields change only under OsData->SpinLock. PollIrpCancelling is the read that a canceller has asked to
    // end, until its completion has run; PollCancelState is one of the POLL_CANCEL_ values.
    PIRP volatile PollIrpCancelling;
    volatile UCHAR PollCancelState;
};

// DEVICE_EXTENSION.PollCancelState
constexpr UCHAR POLL_CANCEL_NONE = 0;
constexpr UCHAR POLL_CANCEL_ACTIVE = 1;  // the canceller is inside IoCancelIrp on PollIrpCancelling and frees it
constexpr UCHAR POLL_CANCEL_LEFT = 2;    // the canceller is done with PollIrpCancelling; its completion frees it
constexpr UCHAR POLL_CANCEL_POST = 3;    // a read was being posted when a canceller came; it is not to be sent

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
    // Set by QueryCardStatus when it took a card event that the reader had queued (the slot changed while the
    // device was stopped or powered down, or just as the status was asked for); ResumeCardTracking takes it back,
    // and a start clears it.
    BOOLEAN QueuedCardEventTaken;
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
// PASSIVE_LEVEL. Forwards IRP_MN_START_DEVICE and waits for it, configures the USB interface, reads the card
// state from the reader and serves a tracking request that waited across a stop, then marks the device started
// and enables the device interface; does not complete the IRP. The first failure is the result; a reader that
// does not answer the card-status query is none.
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// PASSIVE_LEVEL. Drops the USB configuration, ends the background read and passes IRP_MN_STOP_DEVICE down with
// the unconfigure status in it; returns the lower driver's status.
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// PASSIVE_LEVEL. Forwards IRP_MN_QUERY_CAPABILITIES and waits for it, takes the copy with the system-to-device
// power-state table and marks the device safe for surprise removal; does not complete the IRP. A structure
// smaller than 64 bytes or older than version 1 gives STATUS_UNSUCCESSFUL without forwarding.
NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Up to DISPATCH_LEVEL. Completion routine of a synchronous forward: signals the KEVENT in Context and hands
// the IRP back to the forwarding routine.
NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// PASSIVE_LEVEL. First reads what the reader queued on the IN pipe while nobody read it, until the pipe is quiet
// for 20 ms: each card event there sets the card state it reports and QueuedCardEventTaken, other packets are
// dropped. Then asks the reader for the card status (one write and one read, 1000 ms each) and sets
// CurrentState and CardPresent from the answer: a card only for {02 81 01}, no card for any other answer or
// none; after an answer it reads on until the pipe is quiet again, taking a card event that raced the request.
// Returns the write's status; when the write does not succeed only the queued card events have changed the state.
NTSTATUS QueryCardStatus(PSMARTCARD_EXTENSION SmartcardExtension);
// PASSIVE_LEVEL. Whether the running kernel is at least Version (an NTDDI value), through
// RtlIsNtDdiVersionAvailable when the kernel exports it, else from PsGetVersion.
BOOLEAN IsNtDdiVersionAvailable(ULONG Version);

// driver/power.cpp
// Links a system set-power IRP that waits to the device set-power IRP requested for it; non-paged pool, freed
// by DevicePowerRequestCompletion (or by RequestDevicePowerIrp when the request cannot be made).
struct PowerRequestContext {
    PDEVICE_OBJECT DeviceObject;
    PIRP SystemIrp;
};
// PASSIVE_LEVEL. Holds the SMCLIB remove lock from here until the request has ended; set-power requests
// return STATUS_PENDING, every other power request goes down unchanged.
NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Up to DISPATCH_LEVEL; Context is the device extension. A system set-power that the lower driver completed
// successfully waits for the device set-power requested for it.
NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Up to DISPATCH_LEVEL. Requests the device set-power for the system IRP's state; completes the system IRP
// itself (with STATUS_SUCCESS, the device staying as it was) when the request cannot be made.
VOID RequestDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp);
// Up to DISPATCH_LEVEL; Context is a PowerRequestContext. Completes the system IRP, with STATUS_SUCCESS whatever
// became of the device IRP: a system set-power request is never failed.
VOID NTAPI DevicePowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PVOID Context, PIO_STATUS_BLOCK IoStatus);
// PASSIVE_LEVEL. Passes a device set-power down, towards more power with PowerUpCompletion, towards less after
// saving the card state and ending the background read with PowerDownCompletion, to the state the device is in
// with PowerDownCompletion alone; returns STATUS_PENDING.
NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// PASSIVE_LEVEL, from the device-control gate with the remove lock held. A device that the system's wake left in a
// lower-power state (its device request could not be made, or the reader did not take the card-status query) is
// asked to D0 before the request is served; returns once that device set-power has ended.
VOID PowerUpForRequest(PDEVICE_EXTENSION DeviceExtension);
// Up to DISPATCH_LEVEL; Context is the device extension.
NTSTATUS NTAPI PowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Up to DISPATCH_LEVEL; Context is the device extension. Queries the card status and restarts card tracking at
// PASSIVE_LEVEL: inline when called there, else from a work item that then completes the IRP.
NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// driver/dispatch.cpp
// Vendor and PC/SC Part 10 feature I/O control codes that the device-control gate admits besides the standard
// smart card codes; CM_IOCTL_GET_FEATURE_REQUEST announces the six feature codes.
constexpr ULONG IOCTL_VENDOR_GET_VERSION = SCARD_CTL_CODE(2049);
constexpr ULONG IOCTL_VENDOR_COMMAND_1F = SCARD_CTL_CODE(2079);
constexpr ULONG IOCTL_VENDOR_COMMAND_2F = SCARD_CTL_CODE(2095);
constexpr ULONG IOCTL_VENDOR_COMMAND_3F = SCARD_CTL_CODE(2111);
#ifndef CM_IOCTL_GET_FEATURE_REQUEST
#define CM_IOCTL_GET_FEATURE_REQUEST SCARD_CTL_CODE(3400)
#endif
constexpr ULONG IOCTL_FEATURE_VERIFY_PIN_START = SCARD_CTL_CODE(3500);
constexpr ULONG IOCTL_FEATURE_VERIFY_PIN_FINISH = SCARD_CTL_CODE(3501);
constexpr ULONG IOCTL_FEATURE_GET_KEY_PRESSED = SCARD_CTL_CODE(3504);
constexpr ULONG IOCTL_FEATURE_VERIFY_PIN_DIRECT = SCARD_CTL_CODE(3505);
constexpr ULONG IOCTL_FEATURE_ABORT = SCARD_CTL_CODE(3507);
constexpr ULONG IOCTL_FEATURE_IFD_PIN_PROPERTIES = SCARD_CTL_CODE(3508);
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

// Reader link. Transfers to the reader: each builds its own URB, IRP and completion context from non-paged
// pool with POOL_TAG, and the completion routine frees them and returns STATUS_MORE_PROCESSING_REQUIRED.

// A configuration that lacks the reader's IN or OUT pipe, or whose pipes cannot carry an 8-byte packet.
#ifndef STATUS_DEVICE_CONFIGURATION_ERROR
#define STATUS_DEVICE_CONFIGURATION_ERROR ((NTSTATUS)0xC0000182L)
#endif

// usb/config.cpp
// PASSIVE_LEVEL. Sends the URB to LowerDeviceObject and waits for it without limit, holding one IoCount
// meanwhile; returns the IRP's status (the URB's USBD status is not examined).
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
// PASSIVE_LEVEL, at start after the lower drivers have started the device. Selects the configuration and
// fills InterfaceInfo, InPipe, OutPipe, InPacketSize and OutPacketSize; leaves InterfaceInfo NULL on failure.
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS GetConfigurationDescriptor(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectConfiguration(PDEVICE_OBJECT DeviceObject, PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor);
// PASSIVE_LEVEL, at removal and surprise removal. Aborts every pipe of InterfaceInfo; the bus completes the
// transfers queued on them (the background read among them) before it completes the abort.
NTSTATUS AbortPipes(PDEVICE_OBJECT DeviceObject);
// PASSIVE_LEVEL, at stop. Selects the unconfigured state.
NTSTATUS UnconfigureDevice(PDEVICE_OBJECT DeviceObject);

// usb/channel.cpp
// PASSIVE_LEVEL. One packet each; time-outs in milliseconds, a negative one counting as its absolute value. A
// request that does not come back in time is cancelled and waited for before the call returns, so it neither
// signals a later wait nor stores into the caller's buffer afterwards.
// Time-out 0: no limit.
NTSTATUS WritePacket(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, LONG Timeout);
// Time-out 0: STATUS_TIMEOUT unless the read completes during the call.
NTSTATUS ReadPacket(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, LONG Timeout);
// Publishes a waiter in ResponseEvent, makes sure the background read is posted, writes the packet and waits
// until the background read wakes the waiter (time-out 0: no limit); withdraws ResponseEvent on every path.
// When no background read could be posted the packet is still written, and the post's failure is returned
// without a wait, since no read would wake it. Must not run in two threads at once.
NTSTATUS WritePacketAndAwait(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, ULONG Timeout);
// Up to DISPATCH_LEVEL.
NTSTATUS NTAPI PacketTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Any IRQL. The length of every transfer on a pipe with this packet size: at most the 8-byte packet buffer.
ULONG PacketTransferLength(ULONG EndpointPacketSize);

// usb/tracking.cpp (CardTracking is with the reader callbacks above)
// Up to DISPATCH_LEVEL; the caller must not hold OsData->SpinLock. Posts the background read unless PollActive
// says it is posted: STATUS_PENDING when a read is (or already was) posted, STATUS_INVALID_DEVICE_STATE when
// the lower driver refused it or the device is not configured, STATUS_INSUFFICIENT_RESOURCES, STATUS_CANCELLED
// when CancelBackgroundRead stopped it before it was sent (it then ends as a cancelled read ends). After a
// failure neither PollIrp nor PollActive describe a read.
NTSTATUS StartBackgroundRead(PSMARTCARD_EXTENSION SmartcardExtension);
// Up to DISPATCH_LEVEL; the caller must not hold OsData->SpinLock. The way for stop and power-down to end the
// background read, instead of calling IoCancelIrp on PollIrp: cancels the posted read, or stops the one being
// posted, without ever touching an IRP that its completion has freed; the cancelled read's completion posts
// no next read. Returns whether it found a read to end; that read has ended, or ends when the bus completes it.
BOOLEAN CancelBackgroundRead(PDEVICE_EXTENSION DeviceExtension);
// Up to DISPATCH_LEVEL.
NTSTATUS NTAPI BackgroundReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
// Up to DISPATCH_LEVEL; takes the cancel spin lock, then OsData->SpinLock, so the caller holds neither.
// Completes OsData->NotificationIrp, if any, with STATUS_SUCCESS (STATUS_CANCELLED when its Cancel flag is set).
VOID CompleteTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension);
// The tracking request's cancel routine; called with the cancel spin lock held.
VOID NTAPI CancelTrackingRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// PASSIVE_LEVEL, once the card status has been read anew at start or power-up, with SavedCardState holding the
// state from before the stop or power-down. Posts the background read unless one is out, then completes the
// tracking request: when the card-status query took a card event the reader had queued (QueuedCardEventTaken), after
// a power-down (CardPowerLost) unless there was no card before and there is none now, after a stop when the slot
// went from empty to occupied or back.
VOID ResumeCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN CardPowerLost);
// PASSIVE_LEVEL, at start, with no background read out. Leaves the reader link as a first start does: no flag of
// a read, wait or answer from before a stop.
VOID ResetReaderLink(PSMARTCARD_EXTENSION SmartcardExtension);

// protocol/packets.cpp (constants in protocol/packets.h)
// Fills Packet with the reader-control request Code and its parameter (0x40 for the resets, else 0).
VOID BuildReaderRequest(PUCHAR Packet, UCHAR Code);
// Writes the command data length into bytes 3 (low) and 4 (high) of a command header; only the low 16 bits
// of Length fit.
VOID SetCommandDataLength(PUCHAR Header, ULONG Length);
// Fills Packet with the next data packet taken from Data, of which Remaining (not 0) bytes are still to be
// sent, and returns how many it took: 6, or Remaining when fewer are left.
ULONG BuildDataPacket(PUCHAR Packet, const UCHAR* Data, ULONG Remaining);
// Reads an answer header by its count: the kind is byte 2; the data length is byte 3 when the count is 2 or
// more, plus 256 times byte 4 when it is 3 or more; bytes beyond the count are not read. Returns FALSE,
// writing nothing, when the packet is not an answer header or its count is 0 or more than 6.
BOOLEAN ParseAnswerHeader(const UCHAR* Packet, PUCHAR AnswerKind, PULONG DataLength);
// Whether Packet is a card-status packet (kind 2, byte 1 0x81).
BOOLEAN IsCardStatusPacket(const UCHAR* Packet);

// protocol/answer_status.cpp
// Any IRQL; no state. The status of a reader answer by its kind and, for kind 8, the reader error code in
// AnswerData[0] (AnswerData may be NULL): customer-defined codes of facility 0x010, 0 for success.
NTSTATUS MapReaderAnswerStatus(UCHAR AnswerKind, const UCHAR* AnswerData);

// card/exchange.cpp
// PASSIVE_LEVEL, inside the SMCLIB callbacks (one at a time per reader); may block without limit while the
// reader withholds an answer. Carries out one reader command: writes DataLength into Header bytes 3 and 4, sends
// the header and the data, and, when AnswerData is given, reads the answer into it. AnswerKind, AnswerData and
// AnswerLength are all given (the command has an answer) or all NULL (it has none); AnswerCapacity is the room in
// AnswerData, and no byte is ever stored past it. AnswerKind is written as soon as the answer header is parsed.
NTSTATUS ExchangeReaderCommand(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Header, const UCHAR* Data,
                               ULONG DataLength, PUCHAR AnswerKind, PUCHAR AnswerData, ULONG AnswerCapacity,
                               PULONG AnswerLength);
// PASSIVE_LEVEL, by a callback that has finished with the background read that WritePacketAndAwait used: clears
// PollActive so that the next StartBackgroundRead posts a read, unless a read is still outstanding.
VOID ReleaseBackgroundRead(PREADER_EXTENSION ReaderExtension);

// card/power.cpp (CardPower and SetProtocol are with the reader callbacks above)
// Any IRQL; no state. Whether the AtrLength bytes collected so far are one whole answer to reset by its own
// structure (interface bytes, historical bytes, check byte); reads no byte at or past AtrLength.
BOOLEAN IsAtrComplete(const UCHAR* Atr, ULONG AtrLength);

// PIN pad and vendor controls. Every reader command of these handlers has an answer of at most 256 bytes; the
// reply convention: a handler with a reply stores its length in *IoRequest.Information and in
// IoRequest.ReplyBufferLength, a handler with an empty reply stores 0 in *IoRequest.Information.
constexpr ULONG READER_ANSWER_CAPACITY = 256;
// A reader answer as the handlers keep it. Data is zero-filled before the exchange, so bytes that the answer did
// not supply read as 0.
struct READER_ANSWER {
    UCHAR Kind;   // 0 until an answer header has been parsed
    ULONG Length; // answer data bytes stored in Data
    UCHAR Data[READER_ANSWER_CAPACITY];
};

// pinpad/vendor.cpp (VendorIoctl is with the reader callbacks above)
// PASSIVE_LEVEL, inside the vendor callback. Sends the reader command Code (command header count 3) with its
// data; with Answer given, reads the answer into it, else expects none. Returns the exchange's status.
NTSTATUS ExchangePinpadCommand(PSMARTCARD_EXTENSION SmartcardExtension, UCHAR Code, const UCHAR* Data,
                               ULONG DataLength, READER_ANSWER* Answer);
// Any IRQL. Records a reply of Length bytes: *IoRequest.Information and IoRequest.ReplyBufferLength.
VOID SetReplyLength(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Length);

// pinpad/pin_verify.cpp
// PASSIVE_LEVEL, inside the vendor callback; each reads the PIN_VERIFY_STRUCTURE (start, direct) in full before it
// writes a reply byte, and moves the PIN entry state of READER_EXTENSION.
// Empty reply (accepted), the byte 0x57 (refused), or the failure of the reader command.
NTSTATUS PinVerifyStart(PSMARTCARD_EXTENSION SmartcardExtension);
// Two-byte status word; STATUS_INVALID_DEVICE_REQUEST when no PIN entry is there to finish. Needs 2 reply bytes.
NTSTATUS PinVerifyFinish(PSMARTCARD_EXTENSION SmartcardExtension);
// The whole verification in one request: start, key polls until the entry ends, finish. Two-byte status word.
NTSTATUS PinVerifyDirect(PSMARTCARD_EXTENSION SmartcardExtension);
// Ends the PIN entry on the reader; two-byte status word (64 80 for the reader's abort answer). Needs 2 reply bytes.
NTSTATUS PinAbort(PSMARTCARD_EXTENSION SmartcardExtension);

// pinpad/key_pressed.cpp
// PASSIVE_LEVEL, inside the vendor callback. One key event of the running PIN entry, as a one-byte reply.
NTSTATUS GetKeyPressed(PSMARTCARD_EXTENSION SmartcardExtension);
// Any IRQL. Moves the PIN entry (PIN_ENTERING) by one key reported by the reader: digit count, state and
// time-out outcome. Stores in *ReplyByte what the application is told about the key and returns whether the key
// ended the entry (PinState PIN_COMPLETE or PIN_CANCELLED afterwards).
BOOLEAN ApplyKeyEvent(PREADER_EXTENSION ReaderExtension, UCHAR Key, PUCHAR ReplyByte);
