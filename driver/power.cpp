// Power requests of a reader device as its power policy owner: system set-power turned into device set-power, power-down with the card state saved, power-up with the card-status query and card tracking restarted.
#include "driver.h"

// A power-up completed at raised IRQL continues in a work item; this carries the IRP there.
struct POWER_UP_WORK {
    PIO_WORKITEM WorkItem;
    PIRP Irp;
};
typedef POWER_UP_WORK* PPOWER_UP_WORK;

// Kernels from Windows Vista on take power IRPs through IoCallDriver; older ones need PoCallDriver. The choice is
// made at start; before the first start the flag is clear and PoCallDriver is used.
static NTSTATUS CallPowerDriver(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    if (DeviceExtension->UseIoCallDriverForPower) {
        return IoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
    }
    return PoCallDriver(DeviceExtension->LowerDeviceObject, Irp);
}

// Ends this driver's part in a power request that goes up with the lower driver's status: the next power IRP
// may come, and the remove-lock hold taken in DispatchPower is given back.
static VOID EndPowerRequest(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    SmartcardReleaseRemoveLock(&DeviceExtension->SmartcardExtension);
    PoStartNextPowerIrp(Irp);
}

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);

    NTSTATUS status = SmartcardAcquireRemoveLock(&deviceExtension->SmartcardExtension);
    if (!NT_SUCCESS(status)) {
        // The device is being removed.
        PoStartNextPowerIrp(Irp);
        Irp->IoStatus.Status = status;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return status;
    }
    IncrementIoCount(deviceExtension);

    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    if (stack->MinorFunction != IRP_MN_SET_POWER) {
        // Queries, wait-wake and the rest: never vetoed, the lower drivers answer.
        SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
        PoStartNextPowerIrp(Irp);
        IoSkipCurrentIrpStackLocation(Irp);
        status = CallPowerDriver(deviceExtension, Irp);
        DecrementIoCount(deviceExtension);
        return status;
    }

    if (stack->Parameters.Power.Type == SystemPowerState) {
        // The remove lock stays held until the device set-power requested for this IRP has finished.
        IoMarkIrpPending(Irp);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, SystemPowerCompletion, deviceExtension, TRUE, TRUE, TRUE);
        (void)CallPowerDriver(deviceExtension, Irp);
        DecrementIoCount(deviceExtension);
        return STATUS_PENDING;
    }

    // The remove lock stays held until the completion routine of the device request.
    (void)SetDevicePower(DeviceObject, Irp);
    DecrementIoCount(deviceExtension);
    return STATUS_PENDING;
}

static VOID NTAPI PowerUpForRequestDone(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    UNREFERENCED_PARAMETER(IoStatus);
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
}

VOID PowerUpForRequest(PDEVICE_EXTENSION DeviceExtension)
{
    if (DeviceExtension->DevicePowerState == PowerDeviceD0 || DeviceExtension->SystemPowerState != PowerSystemWorking) {
        return;
    }
    // The request goes through DispatchPower and SetDevicePower like any other: the power-up reads the card
    // status, serves the tracking request and posts the background read. A second request for D0 that meets a
    // device already in D0 changes nothing.
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    POWER_STATE powerState;
    powerState.DeviceState = PowerDeviceD0;
    if (NT_SUCCESS(PoRequestPowerIrp(DeviceExtension->PhysicalDeviceObject, IRP_MN_SET_POWER, powerState,
                                     PowerUpForRequestDone, &done, NULL))) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    }
}

NTSTATUS NTAPI SystemPowerCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);

    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        // The failure goes up unchanged; no device request follows.
        EndPowerRequest(deviceExtension, Irp);
        return STATUS_SUCCESS;
    }
    deviceExtension->SystemPowerState = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
    RequestDevicePowerIrp(DeviceObject, Irp);
    // The system IRP waits until the device IRP for it has finished (or RequestDevicePowerIrp has completed it).
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID RequestDevicePowerIrp(PDEVICE_OBJECT DeviceObject, PIRP SystemIrp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(SystemIrp);

    POWER_STATE deviceState;
    deviceState.DeviceState = deviceExtension->DeviceCapabilities.DeviceState[stack->Parameters.Power.State.SystemState];

    PowerRequestContext* context = static_cast<PowerRequestContext*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequestContext), POOL_TAG));
    if (context != NULL) {
        context->DeviceObject = DeviceObject;
        context->SystemIrp = SystemIrp;
        if (NT_SUCCESS(PoRequestPowerIrp(deviceExtension->PhysicalDeviceObject, stack->MinorFunction, deviceState,
                                         DevicePowerRequestCompletion, context, NULL))) {
            // The device IRP travels down this stack through DispatchPower and SetDevicePower.
            return;
        }
        ExFreePoolWithTag(context, POOL_TAG);
    }

    // No pool for the context, or no device IRP. A system set-power request is never failed: the system goes to
    // its state whatever this device does. The device stays in the state it was in (DevicePowerState unchanged),
    // so the next request for D0 takes the power-up path and asks the reader again.
    EndPowerRequest(deviceExtension, SystemIrp);
    SystemIrp->IoStatus.Information = 0;
    SystemIrp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(SystemIrp, IO_NO_INCREMENT);
}

VOID NTAPI DevicePowerRequestCompletion(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                        PVOID Context, PIO_STATUS_BLOCK IoStatus)
{
    // DeviceObject is the PDO that the request was made for; the reader's own device comes with the context.
    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    PowerRequestContext* context = static_cast<PowerRequestContext*>(Context);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(context->DeviceObject->DeviceExtension);
    PIRP systemIrp = context->SystemIrp;
    // A device IRP that failed leaves DevicePowerState where it was; the system request still succeeds, since a
    // driver cannot fail a system set-power request.
    UNREFERENCED_PARAMETER(IoStatus);

    systemIrp->IoStatus.Status = STATUS_SUCCESS;
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Information = 0;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
    // The hold taken when the system IRP entered DispatchPower.
    SmartcardReleaseRemoveLock(&deviceExtension->SmartcardExtension);
    ExFreePoolWithTag(context, POOL_TAG);
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PSMARTCARD_EXTENSION smartcardExtension = &deviceExtension->SmartcardExtension;
    const DEVICE_POWER_STATE requested = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.DeviceState;

    IoMarkIrpPending(Irp);
    if (requested < deviceExtension->DevicePowerState) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerUpCompletion, deviceExtension, TRUE, TRUE, TRUE);
    } else if (requested == deviceExtension->DevicePowerState) {
        // The state the device is in already (D0 when the power manager reaffirms the working state, or a second
        // request for D0): nothing changes. Ending the background read here would leave the tracking request that
        // the resource manager keeps pending with nothing watching the slot, since no power-up follows to post
        // the read again.
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerDownCompletion, deviceExtension, TRUE, TRUE, TRUE);
    } else {
        smartcardExtension->ReaderExtension->SavedCardState = GetCardState(smartcardExtension);
        // PollIrp may be completed and freed by the background read's completion at any moment, so it is never
        // handed to IoCancelIrp directly: the reader link's cancel claims the posted read under
        // OsData->SpinLock before it cancels it, and whichever of it and the completion comes last frees the IRP.
        (void)CancelBackgroundRead(deviceExtension);
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, PowerDownCompletion, deviceExtension, TRUE, TRUE, TRUE);
    }
    (void)CallPowerDriver(deviceExtension, Irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI PowerDownCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    if (NT_SUCCESS(Irp->IoStatus.Status) && stack->MinorFunction == IRP_MN_SET_POWER) {
        deviceExtension->DevicePowerState = stack->Parameters.Power.State.DeviceState;
        PoSetPowerState(deviceExtension->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    }
    EndPowerRequest(deviceExtension, Irp);
    return STATUS_SUCCESS;
}

// The power-up work: the card-status query, the tracking decision, completing the IRP and restarting the
// background read. Runs at PASSIVE_LEVEL, where the packet channel can wait for the reader. Returns
// STATUS_MORE_PROCESSING_REQUIRED when it has completed the IRP itself, STATUS_SUCCESS when the IRP is to go up
// with the lower driver's status.
static NTSTATUS FinishPowerUp(PDEVICE_EXTENSION DeviceExtension, PIRP Irp)
{
    PSMARTCARD_EXTENSION smartcardExtension = &DeviceExtension->SmartcardExtension;
    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    const PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);

    readerExtension->PollCancelled = FALSE;
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    if (!NT_SUCCESS(Irp->IoStatus.Status)) {
        EndPowerRequest(DeviceExtension, Irp);
        return STATUS_SUCCESS;
    }
    // A reader that does not take the request leaves DevicePowerState at the lower-power value, so that the next
    // request for D0 takes this path again.
    if (QueryCardStatus(smartcardExtension) != STATUS_SUCCESS) {
        EndPowerRequest(DeviceExtension, Irp);
        return STATUS_SUCCESS;
    }

    readerExtension->ReadFailed = FALSE;
    ResumeCardTracking(smartcardExtension, TRUE);

    SmartcardReleaseRemoveLock(smartcardExtension);
    DeviceExtension->DevicePowerState = stack->Parameters.Power.State.DeviceState;
    PoSetPowerState(DeviceExtension->DeviceObject, DevicePowerState, stack->Parameters.Power.State);
    PoStartNextPowerIrp(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

static VOID NTAPI PowerUpWorker(PDEVICE_OBJECT DeviceObject, PVOID Context)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    PPOWER_UP_WORK work = static_cast<PPOWER_UP_WORK>(Context);
    PIO_WORKITEM workItem = work->WorkItem;
    PIRP irp = work->Irp;
    ExFreePoolWithTag(work, POOL_TAG);

    // The completion routine has stopped the IRP's completion, so when the work leaves the IRP to go up with the
    // lower driver's status, it is completed again from here.
    if (FinishPowerUp(deviceExtension, irp) != STATUS_MORE_PROCESSING_REQUIRED) {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    IoFreeWorkItem(workItem);
}

NTSTATUS NTAPI PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(Context);

    // A failed power-up needs no reader work, and at PASSIVE_LEVEL the work runs here.
    if (KeGetCurrentIrql() == PASSIVE_LEVEL || !NT_SUCCESS(Irp->IoStatus.Status)) {
        return FinishPowerUp(deviceExtension, Irp);
    }

    // A bus driver that completes the power-up from its DPC calls this routine at DISPATCH_LEVEL, where the
    // card-status query must not wait. The IRP is held here (marked pending, its completion stopped) and the
    // whole power-up work runs in a work item at PASSIVE_LEVEL, in the same order and with the same results; the
    // work item completes the IRP. The device object stays referenced while the work item is queued.
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    PIO_WORKITEM workItem = IoAllocateWorkItem(deviceExtension->DeviceObject);
    PPOWER_UP_WORK work = NULL;
    if (workItem != NULL) {
        work = static_cast<PPOWER_UP_WORK>(ExAllocatePoolWithTag(NonPagedPool, sizeof(POWER_UP_WORK), POOL_TAG));
    }
    if (work != NULL) {
        work->WorkItem = workItem;
        work->Irp = Irp;
        IoQueueWorkItem(workItem, PowerUpWorker, DelayedWorkQueue, work);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    if (workItem != NULL) {
        IoFreeWorkItem(workItem);
    }
    // Without a work item the reader cannot be asked at this level. The power-up ends as when the reader does
    // not take the card-status request: the IRP goes up with the lower driver's success and DevicePowerState
    // keeps the lower-power value, so the next request for D0 takes the power-up path and asks again.
    deviceExtension->SmartcardExtension.ReaderExtension->PollCancelled = FALSE;
    EndPowerRequest(deviceExtension, Irp);
    return STATUS_SUCCESS;
}
