// qwardbus.sys: a USB bus for the Tavelo reader under Wine, for tests only. It is root-enumerated (qwardbus.inf),
// reports one PDO per reader that the reader host (qward-wine-host, a Linux process running our simulated reader
// firmware, card slot and keypad) says is plugged in, and answers each PDO's requests as a USB hub's PDO does:
// Plug and Play identification and capabilities, and every URB, which it forwards to the host over the link of
// wire.h and completes with the host's answer. A reader the host reports pulled out leaves the bus relations, so
// that the Plug and Play manager sends the function driver surprise removal and removal.
//
// It reaches the host through Winsock: Wine runs drivers in a user process (winedevice.exe) where ws2_32 is at
// hand. A Windows kernel has no Winsock; this driver exists only for the Wine run.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
extern "C" {
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>
}

#include "wire.h"

// ---- Winsock, as Wine's driver host process provides it ---------------------------------------------------------

extern "C" {
typedef UINT_PTR WSOCKET;
struct WSockAddrIn {
    USHORT family;
    USHORT port;  // network order
    ULONG address;  // network order
    UCHAR zero[8];
};
__declspec(dllimport) int __stdcall WSAStartup(USHORT version, void* data);
__declspec(dllimport) WSOCKET __stdcall socket(int family, int type, int protocol);
__declspec(dllimport) int __stdcall connect(WSOCKET s, const void* name, int length);
__declspec(dllimport) int __stdcall send(WSOCKET s, const char* buffer, int length, int flags);
__declspec(dllimport) int __stdcall recv(WSOCKET s, char* buffer, int length, int flags);
__declspec(dllimport) int __stdcall closesocket(WSOCKET s);
__declspec(dllimport) int __stdcall setsockopt(WSOCKET s, int level, int option, const char* value, int length);
}

namespace {

constexpr WSOCKET kNoSocket = ~static_cast<WSOCKET>(0);
constexpr int kAfInet = 2, kSockStream = 1, kIpProtoTcp = 6, kTcpNoDelay = 1;
constexpr ULONG kPoolTag = 0x42775171;  // "qQwB" in memory
constexpr USHORT kMaxUnits = 4;

// ---- Device records ------------------------------------------------------------------------------------------------

struct Bus;

struct Common {
    BOOLEAN is_bus;
};

// A reader on the bus.
struct Child {
    Common common;
    Bus* bus;
    USHORT unit;
    WireArrive identity;
    BOOLEAN present;   // plugged in, as the host last said
    BOOLEAN reported;  // in the last bus relations the Plug and Play manager asked for
};

// The bus: the function device on the root-enumerated PDO.
struct Bus {
    Common common;
    PDEVICE_OBJECT self;
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT root_pdo;
    PDEVICE_OBJECT children[kMaxUnits];  // guarded by lock
    KSPIN_LOCK lock;                      // children and the transfer queue
    LIST_ENTRY queue;                     // forwarded URBs waiting for the host's answer
    KMUTEX send_lock;
    WSOCKET socket;
    volatile LONG connected;
    volatile LONG64 next_id;
    HANDLE thread;
    KEVENT thread_done;
    ULONG port;
    ULONG device_serial;
};

Bus* TheBus = nullptr;

// A forwarded URB's request id and reader, kept in the IRP's driver context while it is queued.
ULONGLONG irp_id(PIRP irp) { return reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[0]); }
USHORT irp_unit(PIRP irp) { return static_cast<USHORT>(reinterpret_cast<ULONG_PTR>(irp->Tail.Overlay.DriverContext[1])); }
void set_irp_request(PIRP irp, ULONGLONG id, USHORT unit) {
    irp->Tail.Overlay.DriverContext[0] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(id));
    irp->Tail.Overlay.DriverContext[1] = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(unit));
}

NTSTATUS complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// ---- The link to the host ----------------------------------------------------------------------------------------

bool send_all(WSOCKET s, const void* data, ULONG length) {
    const char* p = static_cast<const char*>(data);
    while (length) {
        int sent = send(s, p, static_cast<int>(length), 0);
        if (sent <= 0) return false;
        p += sent;
        length -= static_cast<ULONG>(sent);
    }
    return true;
}

bool receive_all(WSOCKET s, void* data, ULONG length) {
    char* p = static_cast<char*>(data);
    while (length) {
        int got = recv(s, p, static_cast<int>(length), 0);
        if (got <= 0) return false;
        p += got;
        length -= static_cast<ULONG>(got);
    }
    return true;
}

// One message: the header, then up to two pieces of payload. False when the link is down.
bool send_message(Bus* bus, USHORT type, USHORT unit, ULONGLONG id, const void* a = nullptr, ULONG a_length = 0,
                  const void* b = nullptr, ULONG b_length = 0) {
    if (!bus->connected) return false;
    WireHeader header{a_length + b_length, type, unit, id};
    KeWaitForSingleObject(&bus->send_lock, Executive, KernelMode, FALSE, nullptr);
    bool ok = send_all(bus->socket, &header, sizeof header) && (!a_length || send_all(bus->socket, a, a_length)) &&
              (!b_length || send_all(bus->socket, b, b_length));
    KeReleaseMutex(&bus->send_lock, FALSE);
    return ok;
}

// ---- The queue of forwarded URBs: a cancelled URB ends at once with STATUS_CANCELLED and the host is told -------
// (Wine 8 has IoCsqInitialize but not the rest of the cancel-safe queue, so the queue keeps the cancel routine
// itself: whoever clears the cancel routine owns the IRP's completion.)

void finish_cancelled(Bus* bus, PIRP irp) {
    ULONGLONG id = irp_id(irp);
    USHORT unit = irp_unit(irp);
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    urb->UrbHeader.Status = USBD_STATUS_CANCELED;
    complete(irp, STATUS_CANCELLED);
    send_message(bus, WIRE_CANCEL, unit, id);
}

VOID NTAPI cancel_urb(PDEVICE_OBJECT device, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Bus* bus = static_cast<Child*>(device->DeviceExtension)->bus;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&bus->lock, irql);
    finish_cancelled(bus, irp);
}

// Queues a forwarded URB; false when it was cancelled before it got there (it has ended then).
bool queue_urb(Bus* bus, PIRP irp) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    IoSetCancelRoutine(irp, cancel_urb);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        KeReleaseSpinLock(&bus->lock, irql);
        finish_cancelled(bus, irp);
        return false;
    }
    InsertTailList(&bus->queue, &irp->Tail.Overlay.ListEntry);
    KeReleaseSpinLock(&bus->lock, irql);
    return true;
}

// Takes the queued URB with this id (any queued URB when `any`) unless its cancellation has begun, in which case
// the cancel routine ends it.
PIRP take_urb(Bus* bus, ULONGLONG id, bool any) {
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    PIRP found = nullptr;
    for (PLIST_ENTRY entry = bus->queue.Flink; entry != &bus->queue; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (!any && irp_id(irp) != id) continue;
        if (IoSetCancelRoutine(irp, nullptr)) {
            RemoveEntryList(entry);
            found = irp;
            break;
        }
        if (!any) break;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    return found;
}

// ---- URBs ----------------------------------------------------------------------------------------------------------

PUCHAR transfer_buffer(PVOID buffer, PMDL mdl) {
    if (buffer) return static_cast<PUCHAR>(buffer);
    if (mdl) return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    return nullptr;
}

// Forwards one URB to the host; the IRP stays queued until its answer or its cancellation.
NTSTATUS forward_urb(Child* child, PIRP irp, PURB urb) {
    Bus* bus = child->bus;
    WireUrb wire{};
    wire.function = urb->UrbHeader.Function;
    UCHAR extra[256];
    ULONG extra_length = 0;
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->UrbControlDescriptorRequest;
            wire.descriptor_type = d.DescriptorType;
            wire.descriptor_index = d.Index;
            wire.language_id = d.LanguageId;
            wire.length = d.TransferBufferLength;
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb->UrbSelectConfiguration;
            wire.configure = s.ConfigurationDescriptor != nullptr;
            if (!wire.configure) break;
            PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
            auto* info = &s.Interface;
            while (reinterpret_cast<PUCHAR>(info) + sizeof(USBD_INTERFACE_INFORMATION) - sizeof(USBD_PIPE_INFORMATION) <= end &&
                   info->Length && extra_length + sizeof(WireInterfaceChoice) <= sizeof extra) {
                WireInterfaceChoice choice{info->InterfaceNumber, info->AlternateSetting};
                RtlCopyMemory(extra + extra_length, &choice, sizeof choice);
                extra_length += sizeof choice;
                ++wire.interface_count;
                info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
            }
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb->UrbBulkOrInterruptTransfer;
            wire.pipe = reinterpret_cast<ULONG_PTR>(t.PipeHandle);
            wire.transfer_flags = t.TransferFlags;
            wire.length = t.TransferBufferLength;
            break;
        }
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            wire.pipe = reinterpret_cast<ULONG_PTR>(urb->UrbPipeRequest.PipeHandle);
            break;
        default:
            urb->UrbHeader.Status = USBD_STATUS_INVALID_URB_FUNCTION;
            return complete(irp, STATUS_NOT_SUPPORTED);
    }
    const void* out_data = extra;
    ULONG out_length = extra_length;
    if (wire.function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER && !(wire.transfer_flags & USBD_TRANSFER_DIRECTION_IN)) {
        auto& t = urb->UrbBulkOrInterruptTransfer;
        out_data = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
        out_length = out_data ? t.TransferBufferLength : 0;
    }
    if (!bus->connected) {
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
    ULONGLONG id = static_cast<ULONGLONG>(InterlockedIncrement64(&bus->next_id));
    set_irp_request(irp, id, child->unit);
    IoMarkIrpPending(irp);
    if (queue_urb(bus, irp)) {
        // Should the link go down meanwhile, the receive thread fails every queued URB, this one included.
        send_message(bus, WIRE_URB, child->unit, id, &wire, sizeof wire, out_data, out_length);
    }
    return STATUS_PENDING;
}

// The host's answer to URB `id`: the URB and its IRP completed as the host's bus completed them.
void finish_urb(Bus* bus, ULONGLONG id, const WireReply& reply, const UCHAR* data, ULONG data_length) {
    PIRP irp = take_urb(bus, id, false);
    if (!irp) return;  // cancelled meanwhile: it has ended, or its cancel routine ends it
    PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& d = urb->UrbControlDescriptorRequest;
            PUCHAR buffer = transfer_buffer(d.TransferBuffer, d.TransferBufferMDL);
            ULONG length = data_length < d.TransferBufferLength ? data_length : d.TransferBufferLength;
            if (buffer && length) RtlCopyMemory(buffer, data, length);
            d.TransferBufferLength = buffer ? length : 0;
            break;
        }
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& t = urb->UrbBulkOrInterruptTransfer;
            if (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) {
                PUCHAR buffer = transfer_buffer(t.TransferBuffer, t.TransferBufferMDL);
                ULONG length = data_length < t.TransferBufferLength ? data_length : t.TransferBufferLength;
                if (buffer && length) RtlCopyMemory(buffer, data, length);
                t.TransferBufferLength = buffer ? length : 0;
            } else {
                t.TransferBufferLength = reply.length < t.TransferBufferLength ? reply.length : t.TransferBufferLength;
            }
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            auto& s = urb->UrbSelectConfiguration;
            if (!s.ConfigurationDescriptor || reply.status < 0 || data_length < sizeof(WireConfiguration)) break;
            WireConfiguration configuration;
            RtlCopyMemory(&configuration, data, sizeof configuration);
            s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configuration.handle);
            ULONG offset = sizeof configuration;
            PUCHAR end = reinterpret_cast<PUCHAR>(urb) + urb->UrbHeader.Length;
            auto* info = &s.Interface;
            for (UCHAR i = 0; i < configuration.interface_count && offset + sizeof(WireInterface) <= data_length; ++i) {
                WireInterface wi;
                RtlCopyMemory(&wi, data + offset, sizeof wi);
                offset += sizeof wi;
                bool room = reinterpret_cast<PUCHAR>(info) < end && info->Length;
                if (room) {
                    info->Class = wi.class_code;
                    info->SubClass = wi.subclass;
                    info->Protocol = wi.protocol;
                    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(wi.handle);
                    info->NumberOfPipes = wi.pipe_count;
                }
                for (UCHAR p = 0; p < wi.pipe_count && offset + sizeof(WirePipe) <= data_length; ++p) {
                    WirePipe wp;
                    RtlCopyMemory(&wp, data + offset, sizeof wp);
                    offset += sizeof wp;
                    ULONG needed = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes) + (p + 1) * sizeof(USBD_PIPE_INFORMATION);
                    if (!room || info->Length < needed) continue;
                    USBD_PIPE_INFORMATION& pipe = info->Pipes[p];
                    pipe.MaximumPacketSize = wp.max_packet_size;
                    pipe.EndpointAddress = wp.endpoint_address;
                    pipe.Interval = wp.interval;
                    pipe.PipeType = static_cast<USBD_PIPE_TYPE>(wp.pipe_type);
                    pipe.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(wp.handle);
                    pipe.MaximumTransferSize = wp.max_transfer_size;
                }
                if (room) info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
            }
            break;
        }
        default:
            break;
    }
    urb->UrbHeader.Status = reply.usbd_status;
    complete(irp, reply.status);
}

// Every queued URB ends: the link to the host is gone, and with it every reader.
void fail_all_urbs(Bus* bus) {
    while (PIRP irp = take_urb(bus, 0, true)) {
        PURB urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
        urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
        complete(irp, STATUS_DEVICE_NOT_CONNECTED);
    }
}

// ---- Readers arriving and leaving --------------------------------------------------------------------------------

void write_hex(WCHAR*& p, ULONG value, int digits) {
    static const char kDigits[] = "0123456789ABCDEF";
    for (int i = digits - 1; i >= 0; --i) *p++ = static_cast<WCHAR>(kDigits[(value >> (4 * i)) & 0xF]);
}

void write_text(WCHAR*& p, const char* text) {
    while (*text) *p++ = static_cast<WCHAR>(*text++);
}

void arrive(Bus* bus, USHORT unit, const WireArrive& identity) {
    if (unit >= kMaxUnits) return;
    WCHAR name[40];
    WCHAR* p = name;
    write_text(p, "\\Device\\QwardBusReader");
    write_hex(p, InterlockedIncrement(reinterpret_cast<volatile LONG*>(&bus->device_serial)), 4);
    *p = 0;
    UNICODE_STRING device_name;
    RtlInitUnicodeString(&device_name, name);
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus->self->DriverObject, sizeof(Child), &device_name, FILE_DEVICE_UNKNOWN,
                                   FILE_DEVICE_SECURE_OPEN, FALSE, &pdo))) {
        DbgPrint("qwardbus: no device object for reader %u\n", unit);
        return;
    }
    auto* child = static_cast<Child*>(pdo->DeviceExtension);
    RtlZeroMemory(child, sizeof *child);
    child->bus = bus;
    child->unit = unit;
    child->identity = identity;
    child->present = TRUE;
    pdo->Flags |= DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    PDEVICE_OBJECT old = bus->children[unit];
    if (!old) bus->children[unit] = pdo;
    KeReleaseSpinLock(&bus->lock, irql);
    if (old) {
        DbgPrint("qwardbus: reader %u is plugged in already\n", unit);
        IoDeleteDevice(pdo);
        return;
    }
    DbgPrint("qwardbus: reader %u arrives (USB\\VID_%04X&PID_%04X)\n", unit, identity.vendor_id, identity.product_id);
    IoInvalidateDeviceRelations(bus->root_pdo, BusRelations);
}

void depart(Bus* bus, USHORT unit) {
    if (unit >= kMaxUnits) return;
    KIRQL irql;
    KeAcquireSpinLock(&bus->lock, &irql);
    bool was_present = false;
    if (PDEVICE_OBJECT pdo = bus->children[unit]) {
        auto* child = static_cast<Child*>(pdo->DeviceExtension);
        was_present = child->present;
        child->present = FALSE;
    }
    KeReleaseSpinLock(&bus->lock, irql);
    if (!was_present) return;
    DbgPrint("qwardbus: reader %u is pulled out\n", unit);
    IoInvalidateDeviceRelations(bus->root_pdo, BusRelations);
}

// ---- The receive thread ------------------------------------------------------------------------------------------

VOID NTAPI link_thread(PVOID context) {
    Bus* bus = static_cast<Bus*>(context);
    auto* buffer = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, WIRE_MAX_PAYLOAD, kPoolTag));
    if (buffer) {
        WireHeader header;
        while (bus->connected && receive_all(bus->socket, &header, sizeof header)) {
            if (header.length > WIRE_MAX_PAYLOAD || !receive_all(bus->socket, buffer, header.length)) break;
            switch (header.type) {
                case WIRE_REPLY: {
                    if (header.length < sizeof(WireReply)) break;
                    WireReply reply;
                    RtlCopyMemory(&reply, buffer, sizeof reply);
                    finish_urb(bus, header.id, reply, buffer + sizeof reply, header.length - sizeof reply);
                    break;
                }
                case WIRE_ARRIVE: {
                    WireArrive identity{};
                    if (header.length >= sizeof identity) RtlCopyMemory(&identity, buffer, sizeof identity);
                    arrive(bus, header.unit, identity);
                    break;
                }
                case WIRE_DEPART:
                    depart(bus, header.unit);
                    break;
                default:
                    break;
            }
        }
        ExFreePoolWithTag(buffer, kPoolTag);
    }
    DbgPrint("qwardbus: the link to the reader host is closed\n");
    InterlockedExchange(&bus->connected, 0);
    fail_all_urbs(bus);
    for (USHORT unit = 0; unit < kMaxUnits; ++unit) depart(bus, unit);
    KeSetEvent(&bus->thread_done, IO_NO_INCREMENT, FALSE);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS connect_to_host(Bus* bus) {
    UCHAR wsa_data[512];
    if (WSAStartup(0x0202, wsa_data) != 0) return STATUS_UNSUCCESSFUL;
    WSOCKET s = socket(kAfInet, kSockStream, kIpProtoTcp);
    if (s == kNoSocket) return STATUS_INSUFFICIENT_RESOURCES;
    WSockAddrIn address{};
    address.family = kAfInet;
    address.port = static_cast<USHORT>(((bus->port & 0xFF) << 8) | ((bus->port >> 8) & 0xFF));
    address.address = 0x0100007F;  // 127.0.0.1
    if (connect(s, &address, sizeof address) != 0) {
        closesocket(s);
        DbgPrint("qwardbus: the reader host on port %lu does not answer\n", bus->port);
        return STATUS_CONNECTION_REFUSED;
    }
    int on = 1;
    setsockopt(s, kIpProtoTcp, kTcpNoDelay, reinterpret_cast<const char*>(&on), sizeof on);
    bus->socket = s;
    InterlockedExchange(&bus->connected, 1);
    KeClearEvent(&bus->thread_done);
    NTSTATUS status = PsCreateSystemThread(&bus->thread, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, link_thread, bus);
    if (!NT_SUCCESS(status)) {
        InterlockedExchange(&bus->connected, 0);
        closesocket(s);
        return status;
    }
    DbgPrint("qwardbus: connected to the reader host on port %lu\n", bus->port);
    send_message(bus, WIRE_HELLO, 0, 0);
    return STATUS_SUCCESS;
}

void disconnect(Bus* bus) {
    if (!bus->thread) return;
    InterlockedExchange(&bus->connected, 0);
    closesocket(bus->socket);
    KeWaitForSingleObject(&bus->thread_done, Executive, KernelMode, FALSE, nullptr);
    ZwClose(bus->thread);
    bus->thread = nullptr;
}

// ---- The PDOs' requests ------------------------------------------------------------------------------------------

// A multi-string of IDs in pool, as IRP_MN_QUERY_ID answers.
PWCHAR id_list(const Child* child, BUS_QUERY_ID_TYPE type) {
    auto* ids = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 512 * sizeof(WCHAR), kPoolTag));
    if (!ids) return nullptr;
    WCHAR* p = ids;
    const WireArrive& d = child->identity;
    auto usb_id = [&](bool revision) {
        write_text(p, "USB\\VID_");
        write_hex(p, d.vendor_id, 4);
        write_text(p, "&PID_");
        write_hex(p, d.product_id, 4);
        if (revision) {
            write_text(p, "&REV_");
            write_hex(p, d.bcd_device, 4);
        }
    };
    switch (type) {
        case BusQueryDeviceID:
            usb_id(false);
            *p++ = 0;
            break;
        case BusQueryHardwareIDs:
            usb_id(true);
            *p++ = 0;
            usb_id(false);
            *p++ = 0;
            *p++ = 0;
            break;
        case BusQueryCompatibleIDs:
            write_text(p, "USB\\Class_");
            write_hex(p, d.interface_class, 2);
            write_text(p, "&SubClass_");
            write_hex(p, d.interface_subclass, 2);
            write_text(p, "&Prot_");
            write_hex(p, d.interface_protocol, 2);
            *p++ = 0;
            write_text(p, "USB\\Class_");
            write_hex(p, d.interface_class, 2);
            write_text(p, "&SubClass_");
            write_hex(p, d.interface_subclass, 2);
            *p++ = 0;
            write_text(p, "USB\\Class_");
            write_hex(p, d.interface_class, 2);
            *p++ = 0;
            *p++ = 0;
            break;
        case BusQueryInstanceID:
            write_text(p, "QWARD");
            write_hex(p, child->unit, 4);
            *p++ = 0;
            break;
        default:
            ExFreePoolWithTag(ids, kPoolTag);
            return nullptr;
    }
    return ids;
}

NTSTATUS child_pnp(PDEVICE_OBJECT device, Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    ULONG_PTR information = irp->IoStatus.Information;
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE: {
            // A reader still plugged in keeps its PDO; one that was pulled out and left the relations goes.
            Bus* bus = child->bus;
            bool gone = !child->present && !child->reported;
            if (gone) {
                KIRQL irql;
                KeAcquireSpinLock(&bus->lock, &irql);
                if (bus->children[child->unit] == device) bus->children[child->unit] = nullptr;
                KeReleaseSpinLock(&bus->lock, irql);
            }
            complete(irp, STATUS_SUCCESS);
            if (gone) IoDeleteDevice(device);
            return STATUS_SUCCESS;
        }
        case IRP_MN_QUERY_ID:
            if (PWCHAR ids = id_list(child, stack->Parameters.QueryId.IdType)) {
                status = STATUS_SUCCESS;
                information = reinterpret_cast<ULONG_PTR>(ids);
            }
            break;
        case IRP_MN_QUERY_DEVICE_TEXT: {
            if (stack->Parameters.QueryDeviceText.DeviceTextType != DeviceTextDescription) break;
            static const char kText[] = "Tavelo Q-ward reader (simulated, on the Wine test bus)";
            auto* text = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, sizeof kText * sizeof(WCHAR), kPoolTag));
            if (!text) break;
            WCHAR* p = text;
            write_text(p, kText);
            *p = 0;
            status = STATUS_SUCCESS;
            information = reinterpret_cast<ULONG_PTR>(text);
            break;
        }
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            caps->Removable = TRUE;
            caps->SurpriseRemovalOK = FALSE;
            caps->UniqueID = FALSE;
            caps->DeviceD2 = TRUE;
            caps->Address = child->unit + 1;
            caps->UINumber = child->unit + 1;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s) caps->DeviceState[s] = PowerDeviceD3;
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) break;
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag));
            if (!relations) {
                status = STATUS_INSUFFICIENT_RESOURCES;
                break;
            }
            relations->Count = 1;
            relations->Objects[0] = device;
            ObReferenceObject(device);
            status = STATUS_SUCCESS;
            information = reinterpret_cast<ULONG_PTR>(relations);
            break;
        }
        default:
            break;
    }
    return complete(irp, status, information);
}

NTSTATUS child_internal_ioctl(Child* child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->Parameters.DeviceIoControl.IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB: {
            PURB urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
            if (!urb) return complete(irp, STATUS_INVALID_PARAMETER);
            return forward_urb(child, irp, urb);
        }
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* port_status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (port_status) *port_status = child->present ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
            return complete(irp, STATUS_SUCCESS);
        }
        default:
            return complete(irp, STATUS_NOT_SUPPORTED);
    }
}

// ---- The bus's own requests --------------------------------------------------------------------------------------

NTSTATUS forward_and_wait_done(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    if (irp->PendingReturned) KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS forward_and_wait(Bus* bus, PIRP irp) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, forward_and_wait_done, &done, TRUE, TRUE, TRUE);
    NTSTATUS status = IoCallDriver(bus->lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS bus_pnp(Bus* bus, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE: {
            NTSTATUS status = forward_and_wait(bus, irp);
            if (NT_SUCCESS(status) && !bus->connected) status = connect_to_host(bus);
            return complete(irp, status);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations) break;
            ULONG size = FIELD_OFFSET(DEVICE_RELATIONS, Objects) + kMaxUnits * sizeof(PDEVICE_OBJECT);
            auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, kPoolTag));
            if (!relations) return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            relations->Count = 0;
            KIRQL irql;
            KeAcquireSpinLock(&bus->lock, &irql);
            for (PDEVICE_OBJECT pdo : bus->children) {
                if (!pdo) continue;
                auto* child = static_cast<Child*>(pdo->DeviceExtension);
                child->reported = child->present;
                if (!child->present) continue;
                relations->Objects[relations->Count++] = pdo;
                ObReferenceObject(pdo);
            }
            KeReleaseSpinLock(&bus->lock, irql);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            break;
        }
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_REMOVE_DEVICE: {
            disconnect(bus);
            irp->IoStatus.Status = STATUS_SUCCESS;
            if (stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL) break;
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(bus->lower, irp);
            IoDetachDevice(bus->lower);
            TheBus = nullptr;
            IoDeleteDevice(bus->self);
            return status;
        }
        default:
            break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(bus->lower, irp);
}

NTSTATUS NTAPI dispatch_pnp(PDEVICE_OBJECT device, PIRP irp) {
    auto* common = static_cast<Common*>(device->DeviceExtension);
    if (common->is_bus) return bus_pnp(reinterpret_cast<Bus*>(common), irp);
    return child_pnp(device, reinterpret_cast<Child*>(common), irp);
}

NTSTATUS NTAPI dispatch_power(PDEVICE_OBJECT device, PIRP irp) {
    auto* common = static_cast<Common*>(device->DeviceExtension);
    PoStartNextPowerIrp(irp);
    if (common->is_bus) {
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(reinterpret_cast<Bus*>(common)->lower, irp);
    }
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) status = STATUS_SUCCESS;
    return complete(irp, status);
}

NTSTATUS NTAPI dispatch_internal_ioctl(PDEVICE_OBJECT device, PIRP irp) {
    auto* common = static_cast<Common*>(device->DeviceExtension);
    if (common->is_bus) return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    return child_internal_ioctl(reinterpret_cast<Child*>(common), irp);
}

NTSTATUS NTAPI dispatch_other(PDEVICE_OBJECT device, PIRP irp) {
    auto* common = static_cast<Common*>(device->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE || stack->MajorFunction == IRP_MJ_CLOSE ||
        stack->MajorFunction == IRP_MJ_CLEANUP) {
        return complete(irp, STATUS_SUCCESS);
    }
    if (common->is_bus) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(reinterpret_cast<Bus*>(common)->lower, irp);
    }
    return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
}

ULONG ConfiguredPort = 0;

NTSTATUS NTAPI add_device(PDRIVER_OBJECT driver, PDEVICE_OBJECT root_pdo) {
    if (TheBus) return STATUS_DEVICE_ALREADY_ATTACHED;
    PDEVICE_OBJECT self = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(Bus), nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_DEVICE_SECURE_OPEN,
                                     FALSE, &self);
    if (!NT_SUCCESS(status)) return status;
    auto* bus = static_cast<Bus*>(self->DeviceExtension);
    RtlZeroMemory(bus, sizeof *bus);
    bus->common.is_bus = TRUE;
    bus->self = self;
    bus->root_pdo = root_pdo;
    bus->port = ConfiguredPort;
    bus->socket = kNoSocket;
    KeInitializeSpinLock(&bus->lock);
    InitializeListHead(&bus->queue);
    KeInitializeMutex(&bus->send_lock, 0);
    KeInitializeEvent(&bus->thread_done, NotificationEvent, FALSE);
    bus->lower = IoAttachDeviceToDeviceStack(self, root_pdo);
    if (!bus->lower) {
        IoDeleteDevice(self);
        return STATUS_NO_SUCH_DEVICE;
    }
    self->Flags |= DO_POWER_PAGABLE;
    self->Flags &= ~DO_DEVICE_INITIALIZING;
    TheBus = bus;
    return STATUS_SUCCESS;
}

VOID NTAPI unload(PDRIVER_OBJECT) {}

// The reader host's TCP port: the Port value under the service's Parameters key, set when the bus is installed.
ULONG read_port(PUNICODE_STRING registry_path) {
    ULONG port = 0, default_port = 0;
    RTL_QUERY_REGISTRY_TABLE table[2];
    RtlZeroMemory(table, sizeof table);
    table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
    table[0].Name = const_cast<PWSTR>(L"Port");
    table[0].EntryContext = &port;
    table[0].DefaultType = REG_DWORD;
    table[0].DefaultData = &default_port;
    table[0].DefaultLength = sizeof default_port;
    WCHAR path[256];
    RtlZeroMemory(path, sizeof path);
    UNICODE_STRING parameters{0, sizeof path - sizeof(WCHAR), path};  // room for the terminating null stays
    RtlCopyUnicodeString(&parameters, registry_path);
    RtlAppendUnicodeToString(&parameters, L"\\Parameters");
    NTSTATUS status = RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, parameters.Buffer, table, nullptr, nullptr);
    return NT_SUCCESS(status) ? port : 0;
}

}  // namespace

extern "C" NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registry_path) {
    ConfiguredPort = read_port(registry_path);
    DbgPrint("qwardbus: loaded; reader host port %lu\n", ConfiguredPort);
    // What this kernel answers to the version question that steers the reader driver's choice of power call.
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, L"RtlIsNtDdiVersionAvailable");
    using IsAvailable = BOOLEAN(NTAPI*)(ULONG);
    if (auto is_available = reinterpret_cast<IsAvailable>(MmGetSystemRoutineAddress(&name))) {
        DbgPrint("qwardbus: RtlIsNtDdiVersionAvailable(NTDDI_VISTA) = %u\n", is_available(0x06000000));
    }
    if (!ConfiguredPort) return STATUS_DEVICE_CONFIGURATION_ERROR;
    for (int i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) driver->MajorFunction[i] = dispatch_other;
    driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
    driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = dispatch_internal_ioctl;
    driver->DriverExtension->AddDevice = add_device;
    driver->DriverUnload = unload;
    return STATUS_SUCCESS;
}
