// The background read on the IN pipe, card events, and card presence tracking (the RDF_CARD_TRACKING callback).
#include "../driver/driver.h"
#include "../protocol/packets.h"

// Completion context of the background read; freed by the completion routine first thing.
struct BACKGROUND_READ_CONTEXT {
    PURB Urb;
    PSMARTCARD_EXTENSION SmartcardExtension;
};
typedef BACKGROUND_READ_CONTEXT* PBACKGROUND_READ_CONTEXT;

// Signals the event of the caller waiting in WritePacketAndAwait, if there is one. The pointer is read and
// the event signalled under the lock under which the waiter withdraws it, so a withdrawn event, whose frame
// may be gone, is never signalled.
static VOID WakeWaiter(PSMARTCARD_EXTENSION SmartcardExtension)
{
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
    PKEVENT event = SmartcardExtension->ReaderExtension->ResponseEvent;
    if (event != NULL) {
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
}

// Ends a read that was never sent because a canceller came while it was being posted, as a cancelled read ends.
static VOID EndPostAsCancelled(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    readerExtension->PollCancelled = TRUE;
    readerExtension->CardPresent = FALSE;
    WakeWaiter(SmartcardExtension);
}

// Builds and sends the background read; the caller has set PollActive for it. Every failure clears PollActive
// again and leaves PollIrp NULL: a flag that said "posted" with no read behind it would keep every later
// WritePacketAndAwait from posting one, and have it wait for a packet that no read delivers.
static NTSTATUS PostBackgroundRead(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;
    PKSPIN_LOCK osLock = &SmartcardExtension->OsData->SpinLock;

    PUSBD_PIPE_INFORMATION pipe = deviceExtension->InPipe;
    if (pipe == NULL) {
        // Not configured (before start, after stop).
        readerExtension->PollActive = FALSE;
        return STATUS_INVALID_DEVICE_STATE;
    }

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                       POOL_TAG));
    if (urb == NULL) {
        readerExtension->PollActive = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    // EventPacket is 8 bytes; the read never asks for more, whatever the endpoint reports.
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                           pipe->PipeHandle, readerExtension->EventPacket, NULL,
                                           PacketTransferLength(readerExtension->InPacketSize),
                                           USBD_TRANSFER_DIRECTION_IN, NULL);

    PIRP irp = IoAllocateIrp(deviceExtension->LowerDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        ExFreePoolWithTag(urb, POOL_TAG);
        readerExtension->PollActive = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;

    PBACKGROUND_READ_CONTEXT context = static_cast<PBACKGROUND_READ_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(BACKGROUND_READ_CONTEXT), POOL_TAG));
    if (context == NULL) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(urb, POOL_TAG);
        readerExtension->PollActive = FALSE;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    context->Urb = urb;
    context->SmartcardExtension = SmartcardExtension;
    IoSetCompletionRoutine(irp, BackgroundReadComplete, context, TRUE, TRUE, TRUE);

    // Published before it is sent: the completion may run inside IoCallDriver and must find its IRP here, and a
    // canceller must be able to reach the read from now on. A canceller that came while the read was being
    // built has asked for it not to be sent at all.
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(osLock);
    const BOOLEAN cancelled = deviceExtension->PollCancelState == POLL_CANCEL_POST;
    if (cancelled) {
        deviceExtension->PollCancelState = POLL_CANCEL_NONE;
        readerExtension->PollActive = FALSE;
    } else {
        deviceExtension->PollIrp = irp;
        // ReadFailed describes the latest read: a read that goes out tries the reader again, and the failure of an
        // earlier one concerns only the request that it was reported to.
        readerExtension->ReadFailed = FALSE;
    }
    KeReleaseSpinLock(osLock, oldIrql);
    if (cancelled) {
        ExFreePoolWithTag(context, POOL_TAG);
        IoFreeIrp(irp);
        ExFreePoolWithTag(urb, POOL_TAG);
        EndPostAsCancelled(SmartcardExtension);
        return STATUS_CANCELLED;
    }

    // A refused request has been completed, so its completion has already cleared PollIrp and PollActive.
    const NTSTATUS status = IoCallDriver(deviceExtension->LowerDeviceObject, irp);
    return NT_SUCCESS(status) ? STATUS_PENDING : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS StartBackgroundRead(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;
    PKSPIN_LOCK osLock = &SmartcardExtension->OsData->SpinLock;

    // Testing and setting PollActive is one step: the completion routine and a caller of WritePacketAndAwait
    // can arrive here at the same time on two processors, and only one of them may post.
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(osLock);
    if (readerExtension->PollActive) {
        KeReleaseSpinLock(osLock, oldIrql);
        return STATUS_PENDING;
    }
    readerExtension->PollActive = TRUE;
    // With PollActive clear no post was in progress, so a request to drop one is stale.
    if (deviceExtension->PollCancelState == POLL_CANCEL_POST) {
        deviceExtension->PollCancelState = POLL_CANCEL_NONE;
    }
    KeReleaseSpinLock(osLock, oldIrql);

    return PostBackgroundRead(SmartcardExtension);
}

BOOLEAN CancelBackgroundRead(PDEVICE_EXTENSION DeviceExtension)
{
    PREADER_EXTENSION readerExtension = DeviceExtension->SmartcardExtension.ReaderExtension;
    PKSPIN_LOCK osLock = &DeviceExtension->SmartcardExtension.OsData->SpinLock;

    // IoCancelIrp cannot run under the lock (the bus may complete the cancelled read at once, and the
    // completion takes the lock), and outside it the completion may free the IRP at any moment. So the read is
    // claimed first: a completion that finds its IRP claimed while the canceller is still inside IoCancelIrp
    // leaves the IRP to the canceller, which frees it afterwards; one that comes later frees it itself. The
    // completion of a claimed read posts no new read, so the read ends even when its packet beat the cancel.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(osLock);
    PIRP irp = DeviceExtension->PollIrp;
    if (irp == NULL || DeviceExtension->PollIrpCancelling != NULL) {
        // No read is out, or the one that is out is being cancelled already. With PollActive set a read is
        // being posted (by a caller, or by a completion reading on): it is dropped before it is sent.
        const BOOLEAN posting = irp == NULL && readerExtension->PollActive;
        if (posting) {
            DeviceExtension->PollCancelState = POLL_CANCEL_POST;
        }
        KeReleaseSpinLock(osLock, oldIrql);
        return posting;
    }
    DeviceExtension->PollIrpCancelling = irp;
    DeviceExtension->PollCancelState = POLL_CANCEL_ACTIVE;
    KeReleaseSpinLock(osLock, oldIrql);

    IoCancelIrp(irp);

    oldIrql = KeAcquireSpinLockRaiseToDpc(osLock);
    const BOOLEAN completed = DeviceExtension->PollIrpCancelling != irp;
    if (!completed) {
        DeviceExtension->PollCancelState = POLL_CANCEL_LEFT;
    }
    KeReleaseSpinLock(osLock, oldIrql);

    if (completed) {
        IoFreeIrp(irp);
    }
    return TRUE;
}

// How the completion deals with the waiter and the pipe once it has sorted the packet.
enum READ_ON_ACTION {
    WAKE_WAITER,          // signal a waiter, if one is still there; read no further
    WAKE_OR_READ_ON,      // signal the waiter if there is one, otherwise post the next read
    WAKE_AND_READ_ON,     // post the next read and signal a waiter as well
    REST,                 // neither
};

NTSTATUS NTAPI BackgroundReadComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PBACKGROUND_READ_CONTEXT context = static_cast<PBACKGROUND_READ_CONTEXT>(Context);
    PURB urb = context->Urb;
    PSMARTCARD_EXTENSION smartcardExtension = context->SmartcardExtension;
    ExFreePoolWithTag(context, POOL_TAG);

    PREADER_EXTENSION readerExtension = smartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;
    const NTSTATUS status = Irp->IoStatus.Status;
    const ULONG received = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    const PUCHAR packet = readerExtension->EventPacket;
    READ_ON_ACTION action = REST;
    BOOLEAN completeTracking = FALSE;
    // Set for a packet that is meant for a waiter only if there is one: EventPacketReady is then set with it.
    BOOLEAN readyForWaiter = FALSE;

    // The flags are set before the waiter is signalled, so that a woken waiter sees them.
    if (!NT_SUCCESS(status)) {
        // A failed or cancelled read is not posted again; the flags tell the command exchange and power-up.
        if (status == STATUS_CANCELLED) {
            // Stop and power-down cancel the read; the start or power-up that follows reads the card status
            // anew, and the tracking request waits for it.
            readerExtension->PollCancelled = TRUE;
            readerExtension->CardPresent = FALSE;
        } else {
            // The bus failed the read. It says nothing about the card, so CardPresent keeps the last report. The
            // tracking request that relied on this read would otherwise wait with nothing watching the reader: it
            // is completed, its owner looks at the card state again, and its next tracking request posts a new
            // read, which tries the reader again.
            readerExtension->ReadFailed = TRUE;
            completeTracking = TRUE;
        }
        action = WAKE_WAITER;
    } else if (received != READER_PACKET_SIZE) {
        // A transfer of the wrong length carries no card information, and changes none.
        action = WAKE_OR_READ_ON;
    } else if (packet[PACKET_KIND_OFFSET] == PACKET_KIND_CONTROL && packet[CONTROL_CODE_OFFSET] == CARD_STATUS_CODE) {
        if (packet[CARD_STATUS_SLOT_OFFSET] == CARD_STATUS_CARD_PRESENT) {
            SetCardState(smartcardExtension, SCARD_PRESENT);
            readerExtension->CardPresent = TRUE;
            readerExtension->CardRemovedSeen = FALSE;
        } else {
            SetCardState(smartcardExtension, SCARD_ABSENT);
            readerExtension->CardPresent = FALSE;
            readerExtension->CardRemovedSeen = TRUE;
        }
        // Handed to a waiter if there is one; otherwise the read rests until the next tracking request,
        // write-and-await or power-up.
        readyForWaiter = TRUE;
        action = WAKE_WAITER;
        completeTracking = TRUE;
    } else if (packet[PACKET_KIND_OFFSET] == PACKET_KIND_DATA) {
        // Kept for the next caller that expects an answer, also when nobody waits now.
        readerExtension->EventPacketReady = TRUE;
        action = WAKE_OR_READ_ON;
    } else if (packet[PACKET_KIND_OFFSET] == PACKET_KIND_HEADER) {
        readerExtension->EventPacketReady = TRUE;
        action = WAKE_OR_READ_ON;
        if (readerExtension->CardRemovedSeen) {
            // The first answer after a card removal belongs to the command that the removal interrupted: it is
            // dropped and the pipe read on; a waiter is woken without a packet.
            readerExtension->CardRemovedSeen = FALSE;
            readerExtension->EventPacketReady = FALSE;
            action = WAKE_AND_READ_ON;
        }
    } else {
        // Another reader status (kind 2), or a kind without a meaning: handed to a waiter as it is. A packet of
        // unknown kind also ends the pending tracking request, whose owner then looks at the card state again.
        readyForWaiter = TRUE;
        action = WAKE_OR_READ_ON;
        completeTracking = packet[PACKET_KIND_OFFSET] != PACKET_KIND_CONTROL;
    }

    // The finished read is forgotten, and the next one (if any) taken on, in one step under the lock with
    // which CancelBackgroundRead looks at them: a canceller finds either this IRP, which it may claim, or the
    // next read being posted, which it can stop, never a gap in between. A claimed read posts no next one, and
    // while its canceller is still inside IoCancelIrp, the canceller frees the IRP.
    // Whether a caller waits is decided in the same step as PollActive: WritePacketAndAwait publishes its event
    // and then posts the read unless PollActive, under this lock, says that one is posted. So a waiter that
    // comes after this step finds PollActive as this completion leaves it and posts the read itself when none
    // follows, and one that came before is woken here; none is left waiting for a read that nobody posts.
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&smartcardExtension->OsData->SpinLock);
    const BOOLEAN waiting = readerExtension->ResponseEvent != NULL;
    if (readyForWaiter && waiting) {
        readerExtension->EventPacketReady = TRUE;
    }
    const BOOLEAN wake = waiting && action != REST;
    BOOLEAN readOn = action == WAKE_AND_READ_ON || (action == WAKE_OR_READ_ON && !waiting);
    if (deviceExtension->PollIrp == Irp) {
        deviceExtension->PollIrp = NULL;
    }
    BOOLEAN cancellerFrees = FALSE;
    if (deviceExtension->PollIrpCancelling == Irp) {
        cancellerFrees = deviceExtension->PollCancelState == POLL_CANCEL_ACTIVE;
        deviceExtension->PollIrpCancelling = NULL;
        deviceExtension->PollCancelState = POLL_CANCEL_NONE;
        readOn = FALSE;
    }
    readerExtension->PollActive = readOn;
    KeReleaseSpinLock(&smartcardExtension->OsData->SpinLock, oldIrql);

    // The next read goes out before the waiter is woken, so that a waiter that then posts a read of its own
    // finds this one posted.
    if (readOn) {
        (void)PostBackgroundRead(smartcardExtension);
    }
    if (wake) {
        WakeWaiter(smartcardExtension);
    }

    ExFreePoolWithTag(urb, POOL_TAG);
    if (!cancellerFrees) {
        IoFreeIrp(Irp);
    }
    if (completeTracking) {
        CompleteTrackingRequest(smartcardExtension);
    }
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID CompleteTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&SmartcardExtension->OsData->SpinLock);
    PIRP irp = SmartcardExtension->OsData->NotificationIrp;
    if (irp == NULL) {
        KeReleaseSpinLockFromDpcLevel(&SmartcardExtension->OsData->SpinLock);
        IoReleaseCancelSpinLock(cancelIrql);
        return;
    }
    SmartcardExtension->OsData->NotificationIrp = NULL;
    IoSetCancelRoutine(irp, NULL);
    KeReleaseSpinLockFromDpcLevel(&SmartcardExtension->OsData->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);

    irp->IoStatus.Information = 0;
    if (irp->Cancel) {
        irp->IoStatus.Status = STATUS_CANCELLED;
    } else {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoAcquireCancelSpinLock(&cancelIrql);
        IoSetCancelRoutine(irp, NULL);
        IoReleaseCancelSpinLock(cancelIrql);
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID NTAPI CancelTrackingRequest(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_EXTENSION deviceExtension = static_cast<PDEVICE_EXTENSION>(DeviceObject->DeviceExtension);
    POS_DEP_DATA osData = deviceExtension->SmartcardExtension.OsData;
    // Only the request being cancelled is taken out; under the cancel spin lock it is the one stored there.
    if (osData->NotificationIrp == Irp) {
        osData->NotificationIrp = NULL;
    }
    Irp->IoStatus.Information = 0;
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoReleaseCancelSpinLock(Irp->CancelIrql);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

// Takes an armed tracking request back and completes it with Status, unless a card event or a cancel has
// completed it in the meantime.
static VOID FailTrackingRequest(PSMARTCARD_EXTENSION SmartcardExtension, PIRP Irp, NTSTATUS Status)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&SmartcardExtension->OsData->SpinLock);
    const BOOLEAN stillPending = SmartcardExtension->OsData->NotificationIrp == Irp;
    if (stillPending) {
        SmartcardExtension->OsData->NotificationIrp = NULL;
        IoSetCancelRoutine(Irp, NULL);
    }
    KeReleaseSpinLockFromDpcLevel(&SmartcardExtension->OsData->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);

    if (stillPending) {
        Irp->IoStatus.Information = 0;
        Irp->IoStatus.Status = Irp->Cancel ? STATUS_CANCELLED : Status;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
    }
}

NTSTATUS CardTracking(PSMARTCARD_EXTENSION SmartcardExtension)
{
    KIRQL cancelIrql;
    IoAcquireCancelSpinLock(&cancelIrql);
    KeAcquireSpinLockAtDpcLevel(&SmartcardExtension->OsData->SpinLock);
    PIRP irp = SmartcardExtension->OsData->NotificationIrp;
    if (irp != NULL) {
        IoSetCancelRoutine(irp, CancelTrackingRequest);
        IoMarkIrpPending(irp);
    }
    KeReleaseSpinLockFromDpcLevel(&SmartcardExtension->OsData->SpinLock);
    IoReleaseCancelSpinLock(cancelIrql);

    // A powered-down reader is not read: a read posted now would be sent at power-up together with the card-status
    // query and take the reader's answer away from it, so that a card in the slot would be reported absent. The
    // power-up completes the request or posts the read itself once it has the card state.
    if (SmartcardExtension->ReaderExtension->DeviceExtension->DevicePowerState != PowerDeviceD0) {
        return STATUS_PENDING;
    }
    const NTSTATUS status = StartBackgroundRead(SmartcardExtension);
    if (status == STATUS_PENDING || irp == NULL) {
        return status;
    }
    // The request is marked pending and armed, so this call must return STATUS_PENDING, and it must not stay
    // pending either: with no background read posted, no card event would ever complete it. It is completed
    // here with the failure, which the application sees as the request's status.
    FailTrackingRequest(SmartcardExtension, irp, status);
    return STATUS_PENDING;
}

VOID ResumeCardTracking(PSMARTCARD_EXTENSION SmartcardExtension, BOOLEAN CardPowerLost)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;

    // The background read runs again before anyone learns that the reader is back: before the tracking request
    // is completed (its owner typically resets the card at once) and before the start or power IRP is. A request
    // that follows then finds the read posted and sends its command as a write-and-await; with the read posted
    // only afterwards, it would race the command's own reads for the answer (an ATR packet taken by the
    // background read is lost to the reset that waits for it).
    if (readerExtension->DeviceExtension->PollIrp == NULL) {
        readerExtension->PollActive = FALSE;
        (void)StartBackgroundRead(SmartcardExtension);
    }

    // After a power-down the card lost its power and the reader could not watch the slot: a card found now always
    // completes the tracking request, whatever the state before (it may be another card, and it must be powered
    // again). Only "no card before and after" leaves the request pending, with the read watching for the card.
    // After a stop the reader kept the card powered: the request completes only when the slot went from empty to
    // occupied or back, as a card event would have completed it.
    // A card event that the card-status query found queued is one the background read would have reported: the
    // slot changed meanwhile, also when it ends as it began (a card swapped, or put in and pulled again).
    const ULONG cardState = GetCardState(SmartcardExtension);
    const ULONG savedState = readerExtension->SavedCardState;
    const BOOLEAN slotChanged = (cardState > SCARD_ABSENT) != (savedState > SCARD_ABSENT) ||
                                readerExtension->QueuedCardEventTaken;
    readerExtension->QueuedCardEventTaken = FALSE;
    if (slotChanged || (CardPowerLost && (cardState == SCARD_PRESENT || cardState != savedState))) {
        CompleteTrackingRequest(SmartcardExtension);
    }
}

VOID ResetReaderLink(PSMARTCARD_EXTENSION SmartcardExtension)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;

    // What the reads and waits of before the stop recorded: the stop's cancel of the background read, a failed
    // read, a packet set aside for a waiter, a removal whose interrupted answer never came, a shutdown's wake.
    // None of it concerns a request made after the start; left set, the first exchange would end with
    // STATUS_NO_MEDIA on a healthy card, and the reader's real answer would then be taken by the next one.
    readerExtension->PollCancelled = FALSE;
    readerExtension->ReadFailed = FALSE;
    readerExtension->EventPacketReady = FALSE;
    readerExtension->CardRemovedSeen = FALSE;
    readerExtension->QueuedCardEventTaken = FALSE;
    deviceExtension->ShutdownSignalled = FALSE;
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
    if (deviceExtension->PollIrp == NULL && deviceExtension->PollIrpCancelling == NULL) {
        readerExtension->PollActive = FALSE;
    }
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
}
