// The packet channel: synchronous single-packet writes and reads on the reader's pipes, and write-and-await through the background read.
#include "../driver/driver.h"
#include "../protocol/packets.h"

// Who owns a packet transfer once its caller's wait has ended. The caller and the completion routine each
// move the state with one interlocked operation, so exactly one of them frees the request and a caller that
// cancels never touches an IRP that the completion has already freed.
enum TRANSFER_STATE : LONG {
    TRANSFER_WAITING = 0,    // sent; the caller waits within its time-out
    TRANSFER_CANCELLING = 1, // the caller's wait timed out and it is cancelling the IRP; the caller frees
    TRANSFER_ABANDONED = 2,  // the caller has cancelled the IRP; the completion frees
    TRANSFER_COMPLETED = 3,  // the completion routine has run
};

// Completion context of one packet transfer. The transfer moves the packet through Buffer, which the request
// owns, never through the caller's buffer: a request that outlives its caller's interest (a wait that timed
// out) can then never read from or store into memory that the caller has given up.
struct PACKET_TRANSFER_CONTEXT {
    PURB Urb;
    PKEVENT Event;               // in the caller's frame; the caller waits until the completion has signalled it
    volatile LONG State;         // TRANSFER_STATE
    PUCHAR ReadDestination;      // a read's caller buffer, NULL for a write
    PNTSTATUS BusStatus;         // in the caller's frame: the bus driver's status of the transfer
    UCHAR Buffer[READER_PACKET_SIZE];
};
typedef PACKET_TRANSFER_CONTEXT* PPACKET_TRANSFER_CONTEXT;

enum PACKET_DIRECTION { PACKET_OUT, PACKET_IN };

// The endpoint's packet size, but never more than the 8-byte packet buffer, whatever the endpoint reports
// (configuration has refused endpoints that cannot carry 8 bytes).
ULONG PacketTransferLength(ULONG EndpointPacketSize)
{
    return EndpointPacketSize < READER_PACKET_SIZE ? EndpointPacketSize : READER_PACKET_SIZE;
}

// A time-out of N ms is a relative wait of |N| x 10,000 units of 100 ns.
static LARGE_INTEGER RelativeInterval(LONGLONG Milliseconds)
{
    LARGE_INTEGER interval;
    interval.QuadPart = -((Milliseconds < 0 ? -Milliseconds : Milliseconds) * 10000);
    return interval;
}

static VOID FreeTransfer(PIRP Irp, PPACKET_TRANSFER_CONTEXT Context)
{
    ExFreePoolWithTag(Context->Urb, POOL_TAG);
    ExFreePoolWithTag(Context, POOL_TAG);
    IoFreeIrp(Irp);
}

NTSTATUS NTAPI PacketTransferComplete(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    UNREFERENCED_PARAMETER(DeviceObject);
    PPACKET_TRANSFER_CONTEXT context = static_cast<PPACKET_TRANSFER_CONTEXT>(Context);
    // Read before the state moves: once it has, a cancelling caller may free the context at any moment.
    PKEVENT event = context->Event;

    const LONG previous = InterlockedExchange(&context->State, TRANSFER_COMPLETED);
    if (previous == TRANSFER_CANCELLING) {
        // The caller is inside IoCancelIrp on this IRP and frees the request when it is done.
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }

    if (previous == TRANSFER_WAITING) {
        // The caller is still waiting and learns how the bus driver ended the transfer.
        *context->BusStatus = Irp->IoStatus.Status;
    }
    if (previous == TRANSFER_WAITING && context->ReadDestination != NULL) {
        // The caller is still waiting and counts the read as arrived. It receives exactly the bytes that the
        // bus transferred; the request buffer started as a copy of the caller's buffer, so a read that moved
        // nothing leaves that buffer as it was.
        ULONG received = context->Urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        if (received > READER_PACKET_SIZE) {
            received = READER_PACKET_SIZE;
        }
        RtlCopyMemory(context->ReadDestination, context->Buffer, received);
    }

    FreeTransfer(Irp, context);
    // Last: once signalled, the caller may return and its frame, the event's home, is gone.
    KeSetEvent(event, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds and sends one transfer and waits for it. A request that does not come back within the time-out is
// cancelled, and the call returns only after its completion has run: a late completion then cannot satisfy a
// later wait, store into a buffer whose caller has returned, or (for a read) take a packet that is meant for
// the next read. A transfer that the bus driver failed (device gone, not responding, pipe aborted) returns the
// bus driver's status: a write that failed did not reach the reader, whose answer would then never come, and a
// read that failed brought no packet, so the caller must not take its buffer for one.
static NTSTATUS TransferPacket(PSMARTCARD_EXTENSION SmartcardExtension, PACKET_DIRECTION Direction,
                               PUCHAR Packet, PLARGE_INTEGER Timeout)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    PDEVICE_EXTENSION deviceExtension = readerExtension->DeviceExtension;
    PUSBD_PIPE_INFORMATION pipe = Direction == PACKET_OUT ? deviceExtension->OutPipe : deviceExtension->InPipe;
    if (pipe == NULL) {
        // Not configured (before start, after stop): there is no pipe to send on.
        return STATUS_INVALID_DEVICE_STATE;
    }

    PURB urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
                                                       POOL_TAG));
    if (urb == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PIRP irp = IoAllocateIrp(static_cast<CCHAR>(readerExtension->LowerDeviceObject->StackSize + 1), FALSE);
    if (irp == NULL) {
        ExFreePoolWithTag(urb, POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    PPACKET_TRANSFER_CONTEXT context = static_cast<PPACKET_TRANSFER_CONTEXT>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PACKET_TRANSFER_CONTEXT), POOL_TAG));
    if (context == NULL) {
        IoFreeIrp(irp);
        ExFreePoolWithTag(urb, POOL_TAG);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    NTSTATUS busStatus = STATUS_SUCCESS;
    context->Urb = urb;
    context->Event = &event;
    context->State = TRANSFER_WAITING;
    context->ReadDestination = Direction == PACKET_IN ? Packet : NULL;
    context->BusStatus = &busStatus;
    RtlCopyMemory(context->Buffer, Packet, READER_PACKET_SIZE);

    const ULONG length = PacketTransferLength(Direction == PACKET_OUT ? readerExtension->OutPacketSize
                                                                      : readerExtension->InPacketSize);
    RtlZeroMemory(urb, sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                           pipe->PipeHandle, context->Buffer, NULL, length,
                                           Direction == PACKET_OUT ? USBD_TRANSFER_DIRECTION_OUT
                                                                   : USBD_TRANSFER_DIRECTION_IN,
                                           NULL);

    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, PacketTransferComplete, context, TRUE, TRUE, TRUE);

    (void)IoCallDriver(readerExtension->LowerDeviceObject, irp);

    NTSTATUS status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, Timeout);
    if (status == STATUS_SUCCESS) {
        return NT_SUCCESS(busStatus) ? STATUS_SUCCESS : busStatus;
    }

    if (InterlockedCompareExchange(&context->State, TRANSFER_CANCELLING, TRANSFER_WAITING) == TRANSFER_WAITING) {
        // The completion has not run and now leaves the request alive until this side is done with the IRP.
        IoCancelIrp(irp);
        if (InterlockedExchange(&context->State, TRANSFER_ABANDONED) == TRANSFER_COMPLETED) {
            FreeTransfer(irp, context);
        }
    } else {
        // The completion ran between the end of the wait and here, and has already delivered the request:
        // it came back in time after all.
        status = STATUS_SUCCESS;
    }
    // The bus completes a cancelled transfer at once; its completion signals the event.
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    if (status == STATUS_SUCCESS && !NT_SUCCESS(busStatus)) {
        status = busStatus;
    }
    return status;
}

NTSTATUS WritePacket(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, LONG Timeout)
{
    PDEVICE_EXTENSION deviceExtension = SmartcardExtension->ReaderExtension->DeviceExtension;
    LARGE_INTEGER interval = RelativeInterval(Timeout);

    KeWaitForSingleObject(&deviceExtension->WriteMutex, Executive, KernelMode, FALSE, NULL);
    const NTSTATUS status = TransferPacket(SmartcardExtension, PACKET_OUT, Packet, Timeout != 0 ? &interval : NULL);
    KeReleaseMutex(&deviceExtension->WriteMutex, FALSE);
    return status;
}

NTSTATUS ReadPacket(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, LONG Timeout)
{
    // A time-out of 0 is a zero interval, not an unlimited wait.
    LARGE_INTEGER interval = RelativeInterval(Timeout);
    return TransferPacket(SmartcardExtension, PACKET_IN, Packet, &interval);
}

NTSTATUS WritePacketAndAwait(PSMARTCARD_EXTENSION SmartcardExtension, PUCHAR Packet, ULONG Timeout)
{
    PREADER_EXTENSION readerExtension = SmartcardExtension->ReaderExtension;
    LARGE_INTEGER interval = RelativeInterval(static_cast<LONGLONG>(Timeout));

    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    // Published before the read is posted and the packet written, so that the answer cannot pass by unseen.
    readerExtension->ResponseEvent = &event;

    // StartBackgroundRead posts the read unless PollActive says, under the lock under which a finishing read
    // decides whether anyone waits, that one is posted: the flag is not tested outside it, where a read that is
    // finishing could still show it set and then post no successor.
    const NTSTATUS postStatus = StartBackgroundRead(SmartcardExtension);

    NTSTATUS status = WritePacket(SmartcardExtension, Packet, 0);
    // Without a posted background read nothing would hand over the answer, and the wait (without limit when the
    // time-out is 0) would never end: the packet has gone out, so the caller counts as woken at once without a
    // packet (EventPacketReady as it was) and reads the answer itself.
    if (status == STATUS_SUCCESS && postStatus == STATUS_PENDING) {
        status = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, Timeout != 0 ? &interval : NULL);
    }

    // Withdrawn under the lock under which every signaller reads it, so that nobody signals the event once
    // this frame is gone.
    const KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&SmartcardExtension->OsData->SpinLock);
    InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&readerExtension->ResponseEvent), NULL);
    KeReleaseSpinLock(&SmartcardExtension->OsData->SpinLock, oldIrql);
    return status;
}
