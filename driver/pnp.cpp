// Plug and Play requests of a reader device: start with the card-status query, capabilities with the power-state table, the idle-waiting queries, stop, surprise removal and removal.
#include "driver.h"
#include "../protocol/packets.h"

// Remove-lock tag of this file: the bytes 'P', 'n', 'P', 0 in memory order.
static constexpr ULONG PNP_REMOVE_LOCK_TAG = 0x00506E50;

// How long the start and the power-up wait for the reader to take the card-status request and to answer it.
static constexpr LONG CARD_STATUS_TIMEOUT_MS = 1000;

// The system-to-device power-state table, indexed by SYSTEM_POWER_STATE: full power while the system works,
// off in every sleep state, hibernation and shutdown.
static const DEVICE_POWER_STATE SystemToDevicePowerState[PowerSystemMaximum] = {
    PowerDeviceD0, // PowerSystemUnspecified
    PowerDeviceD0, // PowerSystemWorking
    PowerDeviceD3, // PowerSystemSleeping1
    PowerDeviceD3, // PowerSystemSleeping2
    PowerDeviceD3, // PowerSystemSleeping3
    PowerDeviceD3, // PowerSystemHibernate
    PowerDeviceD3, // PowerSystemShutdown
};

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Hands the request to the lower driver unchanged and gives up this request's count.
static NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceExtension);
    return status;
}

NTSTATUS NTAPI SignalEventCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(Irp);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the request down with this driver's stack location copied and waits until the lower drivers are done;
// the IRP belongs to the caller again afterwards.
static NTSTATUS ForwardAndWait(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEventCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
        status = Irp->IoStatus.Status;
    }
    return status;
}

typedef BOOLEAN(NTAPI* RTL_IS_NTDDI_VERSION_AVAILABLE_ROUTINE)(ULONG Version);

BOOLEAN IsNtDdiVersionAvailable(ULONG Version)
{
    // Looked up by name: kernels before Windows Vista do not export the routine, and a static import would keep
    // the driver from loading there.
    UNICODE_STRING routineName;
    RtlInitUnicodeString(&routineName, L"RtlIsNtDdiVersionAvailable");
    const RTL_IS_NTDDI_VERSION_AVAILABLE_ROUTINE isAvailable =
        reinterpret_cast<RTL_IS_NTDDI_VERSION_AVAILABLE_ROUTINE>(MmGetSystemRoutineAddress(&routineName));
    if (isAvailable != NULL) {
        return isAvailable(Version);
    }
    // A kernel that old has no way to report its service pack here, so a version that names one never counts.
    if ((Version & 0xFFFF) != 0) {
        return FALSE;
    }
    ULONG majorVersion = 0;
    ULONG minorVersion = 0;
    PsGetVersion(&majorVersion, &minorVersion, NULL, NULL);
    return (((majorVersion << 8) + minorVersion) << 16) >= Version;
}

// How long the IN pipe must stay quiet before the reader counts as having nothing more queued (a queued packet
// goes out at the next poll of the interrupt endpoint, within a few frames), and how many queued packets are taken
// at most, so that a reader that never stops sending cannot hold the start or the power-up.
static constexpr LONG QUEUED_PACKET_QUIET_MS = 20;
static constexpr ULONG QUEUED_PACKET_LIMIT = 64;

// Takes a card-status packet (or whatever came in its place) as the slot's state: a card only for {02 81 01}.
static VOID TakeCardStatus(PSMARTCARD_EXTENSION SmartcardExtension, const UCHAR* Packet)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    if (IsCardStatusPacket(Packet) && Packet[CARD_STATUS_SLOT_OFFSET] == CARD_STATUS_CARD_PRESENT) {
        SetCardState(SmartcardExtension, SCARD_PRESENT);
        readerExtension->CardPresent = TRUE;
    } else {
        SetCardState(SmartcardExtension, SCARD_ABSENT);
        readerExtension->CardPresent = FALSE;
    }
}

// Reads what the reader has queued on its IN pipe while nobody read it (the device stopped, not yet started or
// powered down) until the pipe stays quiet. A card that went in or out meanwhile left a card event there, which
// looks exactly like the answer to the card-status request; read as that answer, it would leave the real answer
// behind for the next command. Each card event is taken as the slot's state it reports, the latest last, and is
// noted for ResumeCardTracking, which completes the waiting tracking request as the background read would have once
// that read runs again (completed here, its owner could send a command that raced these reads for the answer); any
// other packet is left from a command before the stop and is dropped. A read that fails (no packet in time, the bus
// or the pool failing) ends the drain.
static VOID DrainQueuedPackets(PSMARTCARD_EXTENSION SmartcardExtension)
{
    for (ULONG taken = 0; taken < QUEUED_PACKET_LIMIT; ++taken) {
        UCHAR packet[READER_PACKET_SIZE];
        RtlZeroMemory(packet, sizeof(packet));
        if (ReadPacket(SmartcardExtension, packet, QUEUED_PACKET_QUIET_MS) != STATUS_SUCCESS) {
            return;
        }
        if (IsCardStatusPacket(packet)) {
            TakeCardStatus(SmartcardExtension, packet);
            SmartcardExtension->ReaderExtension->QueuedCardEventTaken = TRUE;
        }
    }
}

NTSTATUS QueryCardStatus(PSMARTCARD_EXTENSION SmartcardExtension)
{
    UCHAR request[READER_PACKET_SIZE];
    UCHAR answer[READER_PACKET_SIZE];
    BuildReaderRequest(request, REQUEST_CARD_STATUS);
    RtlZeroMemory(answer, sizeof(answer));

    // What is already queued came before the request, so it cannot be the answer.
    DrainQueuedPackets(SmartcardExtension);
    const NTSTATUS status = WritePacket(SmartcardExtension, request, CARD_STATUS_TIMEOUT_MS);
    if (status != STATUS_SUCCESS) {
        return status;
    }
    // A read that brings nothing leaves the buffer zero, which is judged as "no card" like any other answer.
    const NTSTATUS readStatus = ReadPacket(SmartcardExtension, answer, CARD_STATUS_TIMEOUT_MS);
    TakeCardStatus(SmartcardExtension, answer);
    // A card that went in or out just as the reader took the request sends its event ahead of the answer or right
    // after it; either way the packet that follows is the newer one, and left on the pipe it would be taken for
    // the answer to the next command.
    if (readStatus == STATUS_SUCCESS) {
        DrainQueuedPackets(SmartcardExtension);
    }
    return STATUS_SUCCESS;
}

// How often the stop and the removal look whether a cancelled background read has finished, and how many looks a
// read that is being posted, with no IRP out yet, gets to either go out or drop itself.
static constexpr LONGLONG READ_END_POLL_100NS = 10 * 1000 * 10; // 10 ms
static constexpr ULONG READ_POST_POLL_LIMIT = 10;

// Returns once no background read is out. A cancelled USB transfer may complete later, from the bus driver's own
// context, and its completion routine still uses the reader record and SMCLIB's lock. A read that is out always
// comes back once cancelled, so that wait has no limit; PollActive without an IRP is either a read being posted
// (which publishes its IRP or drops itself at once) or a flag an exchange left set with no read behind it, so
// that wait is short.
static VOID WaitForBackgroundReadEnd(PDEVICE_EXTENSION DeviceExtension)
{
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    PKSPIN_LOCK osLock = &DeviceExtension->SmartcardExtension.OsData->SpinLock;
    ULONG postingLooks = 0;
    for (;;) {
        const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(osLock);
        const BOOLEAN irpOut = DeviceExtension->PollIrp != NULL || DeviceExtension->PollIrpCancelling != NULL;
        const BOOLEAN posting = !irpOut && readerExtension->PollActive;
        KeReleaseSpinLock(osLock, oldIrql);
        if (!irpOut && (!posting || postingLooks >= READ_POST_POLL_LIMIT)) {
            return;
        }
        if (posting) {
            ++postingLooks;
        }
        // A read that came back with a packet just before the cancel may have read on; that one is ended too.
        (void)CancelBackgroundRead(DeviceExtension);
        LARGE_INTEGER interval;
        interval.QuadPart = -READ_END_POLL_100NS;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    deviceExtension->InterfaceInfo = NULL;

    NTSTATUS status = ForwardAndWait(deviceExtension, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = ConfigureDevice(DeviceObject);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    deviceExtension->UseIoCallDriverForPower = IsNtDdiVersionAvailable(NTDDI_VISTA);
    // A started device is a powered device: the bus has powered it for the start. A power-up that came while the
    // device was stopped could not reach the reader and left DevicePowerState at the lower-power value.
    if (deviceExtension->DevicePowerState != PowerDeviceD0) {
        POWER_STATE powerState;
        powerState.DeviceState = PowerDeviceD0;
        deviceExtension->DevicePowerState = PowerDeviceD0;
        (void)PoSetPowerState(DeviceObject, DevicePowerState, powerState);
    }

    ResetReaderLink(smartcardExtension);
    // A reader that does not answer does not fail the start; a write that it does not take leaves the card state
    // as it was.
    (void)QueryCardStatus(smartcardExtension);
    // A tracking request that waited across a stop is served again: the background read watches the slot, and a
    // card that came or went while the reader was stopped completes the request.
    if (smartcardExtension->OsData->NotificationIrp != NULL) {
        ResumeCardTracking(smartcardExtension, FALSE);
    }
    // Without a tracking request the queued card events concern nobody after this start.
    smartcardExtension->ReaderExtension->QueuedCardEventTaken = FALSE;

    // Requests are admitted only now that the card state has been read, and before the interface appears: an
    // application that opens the interface as soon as it arrives (the smart card service does) must find the
    // device started. After a stop the interface is still enabled, and enabling it again answers with an
    // informational status.
    deviceExtension->PnPState = PNP_STARTED;
    status = IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, TRUE);
    if (!NT_SUCCESS(status)) {
        deviceExtension->PnPState = PNP_NOT_STARTED;
        return status;
    }
    return STATUS_SUCCESS;
}

NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    if (deviceExtension->InterfaceInfo != NULL) {
        ExFreePoolWithTag(deviceExtension->InterfaceInfo, POOL_TAG);
        deviceExtension->InterfaceInfo = NULL;
        deviceExtension->InPipe = NULL;
        deviceExtension->OutPipe = NULL;
    }
    // The tracking request that the resource manager keeps pending waits across the stop; the next start decides
    // against this state whether the card changed meanwhile.
    deviceExtension->SmartcardExtension.ReaderExtension->SavedCardState =
        GetCardState(&deviceExtension->SmartcardExtension);
    // PollIrp may be completed and freed by the background read's completion at any moment, so it is never
    // handed to IoCancelIrp directly: the reader link's cancel claims the posted read under OsData->SpinLock
    // before it cancels it, and whichever of it and the completion comes last frees the IRP. The configuration
    // is dropped only once the read has ended: the bus driver requires the pipes to be idle by then.
    (void)CancelBackgroundRead(deviceExtension);
    WaitForBackgroundReadEnd(deviceExtension);

    const NTSTATUS unconfigureStatus = UnconfigureDevice(DeviceObject);

    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->IoStatus.Status = unconfigureStatus;
    const NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
    deviceExtension->PnPState = PNP_NOT_STARTED;
    return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;

    if (capabilities->Version < 1 || capabilities->Size < sizeof(DEVICE_CAPABILITIES)) {
        return STATUS_UNSUCCESSFUL;
    }
    capabilities->SurpriseRemovalOK = TRUE;

    Irp->IoStatus.Status = STATUS_SUCCESS;
    const NTSTATUS status = ForwardAndWait(deviceExtension, Irp);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    // The table goes into the driver's own copy only; the bus driver's table travels up unchanged.
    RtlCopyMemory(&deviceExtension->DeviceCapabilities, capabilities, sizeof(DEVICE_CAPABILITIES));
    for (ULONG systemState = 0; systemState < PowerSystemMaximum; ++systemState) {
        deviceExtension->DeviceCapabilities.DeviceState[systemState] = SystemToDevicePowerState[systemState];
    }
    // The lower drivers may have written the whole structure.
    capabilities->SurpriseRemovalOK = TRUE;
    return status;
}

// The common part of surprise removal and removal: ends the USB transfers and the pending card-tracking request,
// waits until no I/O control or power request holds the device, and withdraws the device interface.
static VOID DrainDevice(PDEVICE_OBJECT DeviceObject)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    (void)AbortPipes(DeviceObject);
    // The result does not matter: the release-and-wait below drains every other holder either way.
    (void)SmartcardAcquireRemoveLockWithTag(smartcardExtension, PNP_REMOVE_LOCK_TAG);
    // Completed before the wait, not after it: the resource manager's tracking request holds no lock, and it
    // learns from the completion that the reader is going.
    if (smartcardExtension->OsData->NotificationIrp != NULL) {
        CompleteTrackingRequest(smartcardExtension);
    }
    SmartcardReleaseRemoveLockAndWait(smartcardExtension);
    // Until the wait above the gate still admitted I/O controls, so an application that answered the completion
    // with a new IS_PRESENT or IS_ABSENT may have armed another tracking request, and its card tracking may have
    // posted a background read on the pipes aborted above. No I/O control can come any more: that request is
    // completed and that read cancelled here, so that nothing is pending or posted when SMCLIB's records and the
    // reader record are freed.
    CompleteTrackingRequest(smartcardExtension);
    (void)CancelBackgroundRead(deviceExtension);
    WaitForBackgroundReadEnd(deviceExtension);
    (void)IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
    if (deviceExtension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&deviceExtension->InterfaceName);
    }
}

static NTSTATUS SurpriseRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    // Set first: from here on the device-control gate refuses every request.
    deviceExtension->PnPState = PNP_SURPRISE_REMOVED;
    DrainDevice(DeviceObject);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    return PassDown(deviceExtension, Irp);
}

// Tears the device down and deletes it. Called with this request's count held; nothing of the device extension is
// touched after IoDeleteDevice.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    // A surprise removal has already drained the device and dropped the interface.
    if (deviceExtension->PnPState != PNP_SURPRISE_REMOVED) {
        DrainDevice(DeviceObject);
    }

    ReleaseUnitNumber(smartcardExtension->VendorAttr.UnitNo);
    deviceExtension->PnPState = PNP_REMOVED;
    if (deviceExtension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&deviceExtension->InterfaceName);
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);

    // A cleanup, shutdown or device control that entered before PNP_REMOVED was set still uses SMCLIB's records
    // and the reader record: each holds a count while it does, and each one that enters later sees the state and
    // touches nothing. So the records are freed only once the count is back at rest.
    DecrementIoCount(deviceExtension);
    KeWaitForSingleObject(&deviceExtension->IdleEvent, Executive, KernelMode, FALSE, NULL);

    if (deviceExtension->InterfaceInfo != NULL) {
        ExFreePoolWithTag(deviceExtension->InterfaceInfo, POOL_TAG);
        deviceExtension->InterfaceInfo = NULL;
        deviceExtension->InPipe = NULL;
        deviceExtension->OutPipe = NULL;
    }
    if (smartcardExtension->OsData != NULL) {
        SmartcardExit(smartcardExtension);
    }
    if (smartcardExtension->ReaderExtension != NULL) {
        ExFreePoolWithTag(smartcardExtension->ReaderExtension, POOL_TAG);
        smartcardExtension->ReaderExtension = NULL;
    }

    IoDetachDevice(deviceExtension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}

// IRP_MN_QUERY_STOP_DEVICE and IRP_MN_QUERY_REMOVE_DEVICE: never refused, but answered only once every other
// counted request has finished.
static NTSTATUS QueryStopOrRemove(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    DecrementIoCount(DeviceExtension);
    KeWaitForSingleObject(&DeviceExtension->IdleEvent, Executive, KernelMode, FALSE, NULL);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

// IRP_MN_START_DEVICE: the IRP is completed here with the start's status.
static NTSTATUS StartDeviceAndComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    const NTSTATUS status = StartDevice(DeviceObject, Irp);
    CompleteRequest(Irp, status);
    DecrementIoCount(deviceExtension);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    if (deviceExtension->PnPState == PNP_REMOVED) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }

    IncrementIoCount(deviceExtension);

    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return StartDeviceAndComplete(DeviceObject, Irp);
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
        return QueryStopOrRemove(deviceExtension, Irp);
    case IRP_MN_REMOVE_DEVICE:
        return RemoveDevice(DeviceObject, Irp);
    case IRP_MN_STOP_DEVICE:
        status = StopDevice(DeviceObject, Irp);
        DecrementIoCount(deviceExtension);
        return status;
    case IRP_MN_QUERY_CAPABILITIES:
        status = QueryCapabilities(DeviceObject, Irp);
        CompleteRequest(Irp, status);
        DecrementIoCount(deviceExtension);
        return status;
    case IRP_MN_SURPRISE_REMOVAL:
        return SurpriseRemoveDevice(DeviceObject, Irp);
    default:
        // IRP_MN_CANCEL_STOP_DEVICE and IRP_MN_CANCEL_REMOVE_DEVICE among them: the queries changed nothing.
        return PassDown(deviceExtension, Irp);
    }
}
