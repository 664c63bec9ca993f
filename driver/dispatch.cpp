// Dispatch routines for create, close, cleanup, system control, shutdown and the device-control gate of a reader device.
#include "driver.h"

// Remove-lock tag of the device-control gate: the bytes 'I', 'o', 'c', 't' in memory order.
static constexpr ULONG GATE_REMOVE_LOCK_TAG = 0x74636F49;

// The I/O control codes that reach SMCLIB. The standard codes that the reader cannot serve (confiscate, eject,
// swallow, last error, performance counters) are left out on purpose.
static const ULONG AdmittedIoControlCodes[] = {
    IOCTL_SMARTCARD_POWER,
    IOCTL_SMARTCARD_GET_ATTRIBUTE,
    IOCTL_SMARTCARD_SET_ATTRIBUTE,
    IOCTL_SMARTCARD_TRANSMIT,
    IOCTL_SMARTCARD_IS_PRESENT,
    IOCTL_SMARTCARD_IS_ABSENT,
    IOCTL_SMARTCARD_SET_PROTOCOL,
    IOCTL_SMARTCARD_GET_STATE,
    IOCTL_VENDOR_GET_VERSION,
    IOCTL_VENDOR_COMMAND_1F,
    IOCTL_VENDOR_COMMAND_2F,
    IOCTL_VENDOR_COMMAND_3F,
    CM_IOCTL_GET_FEATURE_REQUEST,
    IOCTL_FEATURE_VERIFY_PIN_START,
    IOCTL_FEATURE_VERIFY_PIN_FINISH,
    IOCTL_FEATURE_GET_KEY_PRESSED,
    IOCTL_FEATURE_VERIFY_PIN_DIRECT,
    IOCTL_FEATURE_ABORT,
    IOCTL_FEATURE_IFD_PIN_PROPERTIES,
};

static BOOLEAN IsAdmittedIoControlCode(ULONG IoControlCode)
{
    for (ULONG i = 0; i < ARRAYSIZE(AdmittedIoControlCodes); ++i) {
        if (AdmittedIoControlCodes[i] == IoControlCode) {
            return TRUE;
        }
    }
    return FALSE;
}

static NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

// Opening and closing a handle is the lower driver's answer; there is no state to check and nothing to count.
NTSTATUS NTAPI DispatchCreateClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
}

// The cleanup of any handle ends the pending card-tracking request, whichever handle it came through.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    POS_DEP_DATA osData = deviceExtension->SmartcardExtension.OsData;

    // The count is taken before the state is read, so a removal that frees the records waits for this request,
    // or this request sees PNP_REMOVED and leaves them alone.
    IncrementIoCount(deviceExtension);
    if (deviceExtension->PnPState == PNP_REMOVED) {
        CompleteRequest(Irp, STATUS_SUCCESS);
        DecrementIoCount(deviceExtension);
        return STATUS_SUCCESS;
    }

    // A card event can complete the tracking request at this very moment (CompleteTrackingRequest), and once
    // completed the IRP may be gone, so it is never passed to IoCancelIrp from an unlocked read. It is taken out
    // under the cancel spin lock and OsData->SpinLock, the locks under which every other path takes it out
    // (the card event, its cancel routine, SMCLIB): if it is still there, this routine alone owns it, clears its
    // cancel routine and completes it as its cancel routine would; if not, someone else has already ended it.
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&osData->SpinLock);
    PIRP trackingIrp = osData->NotificationIrp;
    if (trackingIrp != NULL) {
        osData->NotificationIrp = NULL;
        IoSetCancelRoutine(trackingIrp, NULL);
    }
    KeReleaseSpinLockFromDpcLevel(&osData->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);
    if (trackingIrp != NULL) {
        CompleteRequest(trackingIrp, STATUS_CANCELLED);
    }

    CompleteRequest(Irp, STATUS_SUCCESS);
    DecrementIoCount(deviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    if (deviceExtension->PnPState == PNP_REMOVED) {
        return CompleteRequest(Irp, STATUS_DELETE_PENDING);
    }
    IncrementIoCount(deviceExtension);
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);
    DecrementIoCount(deviceExtension);
    return status;
}

// Wakes a caller that waits for a packet from the reader, so that the system does not wait for a reader command
// (a PIN entry, for example) to time out. The request is not passed down.
NTSTATUS NTAPI DispatchShutdown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    // As in DispatchCleanup: counted before the state is read, so the records are there while they are used.
    IncrementIoCount(deviceExtension);
    if (deviceExtension->PnPState != PNP_REMOVED) {
        // The waiter withdraws its event under the same lock, so an event read here is still live while it is
        // signalled. The flag is set before the signal, as every writer of a flag does, so the woken waiter
        // sees it.
        const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&smartcardExtension->OsData->SpinLock);
        PKEVENT responseEvent = smartcardExtension->ReaderExtension->ResponseEvent;
        if (responseEvent != NULL) {
            deviceExtension->ShutdownSignalled = TRUE;
            KeSetEvent(responseEvent, IO_NO_INCREMENT, FALSE);
        }
        KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, oldIrql);
    }
    CompleteRequest(Irp, STATUS_SUCCESS);
    DecrementIoCount(deviceExtension);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    // Counted before the state is read: a removal frees SMCLIB's records only once the count is at rest, so a
    // request that saw the device started can still use them, also when the remove lock is no longer to be had.
    IncrementIoCount(deviceExtension);
    if (deviceExtension->PnPState != PNP_STARTED) {
        CompleteRequest(Irp, STATUS_DEVICE_REMOVED);
        DecrementIoCount(deviceExtension);
        return STATUS_DEVICE_REMOVED;
    }
    const ULONG ioControlCode = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceIoControl.IoControlCode;

    if (!NT_SUCCESS(SmartcardAcquireRemoveLockWithTag(smartcardExtension, GATE_REMOVE_LOCK_TAG))) {
        // Removal has begun. The card state is still readable (SMCLIB answers it from the extension without
        // calling the reader), so the resource manager can still see the reader go.
        NTSTATUS status;
        if (ioControlCode == IOCTL_SMARTCARD_GET_STATE) {
            status = SmartcardDeviceControl(smartcardExtension, Irp);
        } else {
            status = CompleteRequest(Irp, STATUS_DEVICE_REMOVED);
        }
        DecrementIoCount(deviceExtension);
        return status;
    }

    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;

    NTSTATUS status;
    if (IsAdmittedIoControlCode(ioControlCode)) {
        // The system works but the reader was left powered down at its wake: it is powered up for this request,
        // which would otherwise fail, or wait for card events that nothing reads.
        PowerUpForRequest(deviceExtension);
        // SMCLIB completes the IRP, or leaves a card-tracking request pending and returns STATUS_PENDING.
        status = SmartcardDeviceControl(smartcardExtension, Irp);
    } else {
        status = CompleteRequest(Irp, STATUS_INVALID_PARAMETER);
    }

    SmartcardReleaseRemoveLockWithTag(smartcardExtension, GATE_REMOVE_LOCK_TAG);
    DecrementIoCount(deviceExtension);
    return status;
}
