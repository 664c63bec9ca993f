// Plug and Play requests of a reader device: removal with its full clean-up; every other request goes down.
#include "driver.h"

// Remove-lock tag of this file: the bytes 'P', 'n', 'P', 0 in memory order.
static constexpr ULONG PNP_REMOVE_LOCK_TAG = 0x00506E50;

// Hands the request to the lower driver unchanged and gives up this request's count.
static NTSTATUS PassDown(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    DecrementIoCount(DeviceExtension);
    return status;
}

static VOID FreeInterfaceName(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->InterfaceName.Buffer != NULL) {
        RtlFreeUnicodeString(&DeviceExtension->InterfaceName);
    }
}

// Tears the device down and deletes it. Called with this request's count held; nothing of the device extension is
// touched after IoDeleteDevice.
static NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;

    // A surprise removal has already drained the remove lock and dropped the interface. Aborting the pipes and
    // completing a pending card-tracking request join this sequence with the USB and tracking work.
    if (deviceExtension->PnPState != PNP_SURPRISE_REMOVED) {
        // The result does not matter: the release-and-wait below drains every other holder either way.
        (void)SmartcardAcquireRemoveLockWithTag(smartcardExtension, PNP_REMOVE_LOCK_TAG);
        SmartcardReleaseRemoveLockAndWait(smartcardExtension);
        (void)IoSetDeviceInterfaceState(&deviceExtension->InterfaceName, FALSE);
        FreeInterfaceName(deviceExtension);
    }

    ReleaseUnitNumber(smartcardExtension->VendorAttr.UnitNo);
    deviceExtension->PnPState = PNP_REMOVED;
    FreeInterfaceName(deviceExtension);

    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    const NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, Irp);

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

    DecrementIoCount(deviceExtension);

    IoDetachDevice(deviceExtension->LowerDeviceObject);
    IoDeleteDevice(DeviceObject);
    return status;
}

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    if (deviceExtension->PnPState == PNP_REMOVED) {
        Irp->IoStatus.Status = STATUS_DELETE_PENDING;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }

    IncrementIoCount(deviceExtension);

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        return RemoveDevice(DeviceObject, Irp);
    }

    // Start, stop, the queries, capabilities and surprise removal come with the Plug and Play work; until then the
    // bus driver below answers them alone.
    return PassDown(deviceExtension, Irp);
}
