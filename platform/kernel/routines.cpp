// The kernel routines of wdm.h as the driver calls them: dispatcher objects, waits, spin locks,
// IRQL, pool, I/O manager, power manager entry points, run-time library and debug print.
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "kernel.h"

using sim::Kernel;
using sim::SimThread;
using sim::VirtualTime;
using sim::WakeReason;

namespace {

constexpr UCHAR kEventNotification = 0;
constexpr UCHAR kEventSynchronization = 1;
constexpr UCHAR kMutant = 2;

std::string ptr(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

// Turns a kernel time-out into an absolute virtual deadline (null means none).
VirtualTime deadline_from(Kernel& k, PLARGE_INTEGER timeout) {
    if (!timeout) return sim::kNever;
    LONGLONG value = timeout->QuadPart;
    if (value < 0) return k.now() - value;  // relative, 100 ns units
    return value;                           // absolute system time; boot is time 0
}

bool try_acquire(Kernel& k, PVOID object) {
    auto* header = static_cast<PDISPATCHER_HEADER>(object);
    switch (header->Type) {
        case kEventNotification:
            return header->SignalState != 0;
        case kEventSynchronization:
            if (header->SignalState == 0) return false;
            header->SignalState = 0;
            return true;
        case kMutant: {
            auto* mutex = static_cast<PKMUTEX>(object);
            auto* self = reinterpret_cast<PKTHREAD>(&k.thread());
            if (header->SignalState > 0 || mutex->OwnerThread == self) {
                header->SignalState--;
                mutex->OwnerThread = self;
                return true;
            }
            return false;
        }
        default:
            k.bug_check("INVALID_OBJECT", "KeWaitForSingleObject on " + ptr(object) +
                                              ", which is not an initialised event or mutex (type " +
                                              std::to_string(header->Type) + ")");
    }
}

// Wakes every thread blocked on the object; they race for it under the scheduler's choice.
// Only the blocked threads are looked at, in spawn order, as a scan of every thread would find them.
void wake_waiters(Kernel& k, const void* object) { k.scheduler().wake_waiting_on(object); }

const char* wait_kind(PVOID object) {
    auto* header = static_cast<PDISPATCHER_HEADER>(object);
    return header->Type == kMutant                       ? "mutex"
           : header->Type == kEventSynchronization ? "synchronization event"
                                                         : "notification event";
}

std::string wait_description(PVOID object) { return std::string(wait_kind(object)) + " " + ptr(object); }

}  // namespace

extern "C" {

// ---- IRQL -----------------------------------------------------------------------------------------

KIRQL NTAPI KeGetCurrentIrql(VOID) { return Kernel::current().irql(); }

VOID NTAPI KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    Kernel& k = Kernel::current();
    KIRQL old = k.irql();
    if (NewIrql < old) k.bug_check("IRQL_NOT_GREATER_OR_EQUAL", "KeRaiseIrql to " + std::to_string(NewIrql) + " from " + std::to_string(old));
    *OldIrql = old;
    k.set_irql(NewIrql);
}

VOID NTAPI KeLowerIrql(KIRQL NewIrql) {
    Kernel& k = Kernel::current();
    if (NewIrql > k.irql()) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeLowerIrql to " + std::to_string(NewIrql) + " from " + std::to_string(k.irql()));
    k.set_irql(NewIrql);
}

KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

// ---- Spin locks -------------------------------------------------------------------------------------
// A held lock stores its owner's kernel thread record; another thread that wants it spins (blocks)
// until it is released, which models a second processor.

VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
    Kernel& k = Kernel::current();
    auto& self = k.thread();
    auto me = reinterpret_cast<KSPIN_LOCK>(&self);
    if (k.irql() < DISPATCH_LEVEL) k.bug_check("IRQL_NOT_GREATER_OR_EQUAL", "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL on " + ptr(SpinLock));
    if (*SpinLock == me) {
        k.bug_check("SPIN_LOCK_ALREADY_OWNED", "spin lock " + ptr(SpinLock) + " acquired again by the thread that holds it");
    }
    k.scheduler().yield();
    while (*SpinLock != 0) {
        if (!k.scheduler().in_thread()) k.bug_check("SPIN_LOCK_DEADLOCK", "spin lock " + ptr(SpinLock) + " is held and the caller cannot wait");
        k.scheduler().block("spin lock " + ptr(SpinLock), SpinLock, sim::kNever);
    }
    *SpinLock = me;
    self.held_spin_locks.push_back(SpinLock);
}

VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) {
    Kernel& k = Kernel::current();
    auto& self = k.thread();
    if (*SpinLock != reinterpret_cast<KSPIN_LOCK>(&self)) {
        k.bug_check("SPIN_LOCK_NOT_OWNED", "spin lock " + ptr(SpinLock) + " released by a thread that does not hold it");
    }
    *SpinLock = 0;
    auto& held = self.held_spin_locks;
    for (auto it = held.begin(); it != held.end(); ++it) {
        if (*it == SpinLock) {
            held.erase(it);
            break;
        }
    }
    wake_waiters(k, SpinLock);
}

KIRQL NTAPI KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
    Kernel& k = Kernel::current();
    KIRQL old = k.irql();
    if (old > DISPATCH_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeAcquireSpinLock above DISPATCH_LEVEL");
    k.set_irql(DISPATCH_LEVEL);
    KeAcquireSpinLockAtDpcLevel(SpinLock);
    return old;
}

VOID NTAPI KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Kernel& k = Kernel::current();
    KeReleaseSpinLockFromDpcLevel(SpinLock);
    if (NewIrql > DISPATCH_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeReleaseSpinLock to IRQL " + std::to_string(NewIrql));
    k.set_irql(NewIrql);
    k.scheduler().yield();
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) {
    *Irql = KeAcquireSpinLockRaiseToDpc(Kernel::current().cancel_spin_lock());
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) {
    KeReleaseSpinLock(Kernel::current().cancel_spin_lock(), Irql);
}

// ---- Events, mutexes, waits ---------------------------------------------------------------------------

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    std::memset(Event, 0, sizeof *Event);
    Event->Header.Type = Type == NotificationEvent ? kEventNotification : kEventSynchronization;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State ? 1 : 0;
}

LONG NTAPI KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait) {
    (void)Increment;
    Kernel& k = Kernel::current();
    if (k.irql() > DISPATCH_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeSetEvent above DISPATCH_LEVEL");
    if (Wait) k.bug_check("UNSUPPORTED_CALL", "KeSetEvent with Wait TRUE is not modelled");
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    wake_waiters(k, Event);
    k.scheduler().yield();
    return previous;
}

VOID NTAPI KeClearEvent(PRKEVENT Event) { Event->Header.SignalState = 0; }

LONG NTAPI KeResetEvent(PRKEVENT Event) {
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 0;
    return previous;
}

LONG NTAPI KeReadStateEvent(PRKEVENT Event) { return Event->Header.SignalState; }

VOID NTAPI KeInitializeMutex(PRKMUTEX Mutex, ULONG Level) {
    (void)Level;
    std::memset(Mutex, 0, sizeof *Mutex);
    Mutex->Header.Type = kMutant;
    Mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    Mutex->Header.SignalState = 1;
}

LONG NTAPI KeReadStateMutex(PRKMUTEX Mutex) { return Mutex->Header.SignalState; }

LONG NTAPI KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN Wait) {
    Kernel& k = Kernel::current();
    if (Wait) k.bug_check("UNSUPPORTED_CALL", "KeReleaseMutex with Wait TRUE is not modelled");
    auto* self = reinterpret_cast<PKTHREAD>(&k.thread());
    if (Mutex->Header.Type != kMutant) k.bug_check("INVALID_OBJECT", "KeReleaseMutex of " + ptr(Mutex) + ", which is not a mutex");
    if (Mutex->OwnerThread != self || Mutex->Header.SignalState > 0) {
        k.bug_check("THREAD_NOT_MUTEX_OWNER", "mutex " + ptr(Mutex) + " released by a thread that does not own it");
    }
    LONG previous = Mutex->Header.SignalState;
    if (++Mutex->Header.SignalState > 0) {
        Mutex->OwnerThread = nullptr;
        wake_waiters(k, Mutex);
    }
    k.scheduler().yield();
    return previous;
}

NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                                     BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    Kernel& k = Kernel::current();
    bool zero_timeout = Timeout && Timeout->QuadPart == 0;
    if (k.irql() >= DISPATCH_LEVEL && !zero_timeout) {
        k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeWaitForSingleObject on " + wait_description(Object) +
                                                  " with a non-zero time-out at IRQL " + std::to_string(k.irql()));
    }
    VirtualTime deadline = deadline_from(k, Timeout);
    k.scheduler().yield();
    while (!try_acquire(k, Object)) {
        if (zero_timeout || k.now() >= deadline) return STATUS_TIMEOUT;
        if (!k.scheduler().in_thread()) {
            k.bug_check("WAIT_OUTSIDE_THREAD", "KeWaitForSingleObject would block outside a simulated thread");
        }
        // The kind alone: a deadlock report prints the object's address with it, and a wait formats nothing.
        WakeReason reason = k.scheduler().block(wait_kind(Object), Object, deadline);
        if (reason == WakeReason::stopping) return STATUS_ALERTED;
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    Kernel& k = Kernel::current();
    if (k.irql() > APC_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "KeDelayExecutionThread above APC_LEVEL");
    k.scheduler().sleep_until(deadline_from(k, Interval));
    return STATUS_SUCCESS;
}

VOID NTAPI KeQuerySystemTime(PLARGE_INTEGER CurrentTime) { CurrentTime->QuadPart = Kernel::current().now(); }

ULONGLONG NTAPI KeQueryInterruptTime(VOID) { return static_cast<ULONGLONG>(Kernel::current().now()); }

PKTHREAD NTAPI KeGetCurrentThread(VOID) { return reinterpret_cast<PKTHREAD>(&Kernel::current().thread()); }

VOID NTAPI KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR P1, ULONG_PTR P2, ULONG_PTR P3, ULONG_PTR P4) {
    char text[160];
    std::snprintf(text, sizeof text, "KeBugCheckEx(0x%x, 0x%llx, 0x%llx, 0x%llx, 0x%llx)", BugCheckCode,
                  (unsigned long long)P1, (unsigned long long)P2, (unsigned long long)P3, (unsigned long long)P4);
    Kernel::current().bug_check("DRIVER_BUG_CHECK", text);
}

// ---- Pool ---------------------------------------------------------------------------------------------

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
    (void)PoolType;
    return Kernel::current().pool_allocate(NumberOfBytes, Tag, __builtin_return_address(0));
}

PVOID NTAPI ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
    (void)PoolType;
    return Kernel::current().pool_allocate(NumberOfBytes, 0x656e6f4e /* 'None' */, __builtin_return_address(0));
}

VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag) { Kernel::current().pool_free(P, Tag, true, "ExFreePoolWithTag"); }

VOID NTAPI ExFreePool(PVOID P) { Kernel::current().pool_free(P, 0, false, "ExFreePool"); }

// ---- I/O manager ----------------------------------------------------------------------------------------

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject) {
    (void)Exclusive;
    return Kernel::current().create_device(DriverObject, DeviceExtensionSize, DeviceName, DeviceType,
                                           DeviceCharacteristics, DeviceObject);
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) { Kernel::current().delete_device(DeviceObject); }

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
    return Kernel::current().attach_device(SourceDevice, TargetDevice);
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) { Kernel::current().detach_device(TargetDevice); }

NTSTATUS NTAPI IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                         PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    Kernel& k = Kernel::current();
    if (k.irql() != PASSIVE_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoRegisterDeviceInterface above PASSIVE_LEVEL");
    if (!k.find_device(PhysicalDeviceObject)) return STATUS_INVALID_DEVICE_REQUEST;
    if (k.should_fail(sim::FaultSite::register_interface)) return STATUS_INSUFFICIENT_RESOURCES;
    char text[160];
    const GUID& g = *InterfaceClassGuid;
    std::snprintf(text, sizeof text,
                  "\\??\\SIM#DEVICE_%p#{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                  static_cast<void*>(PhysicalDeviceObject), g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    std::u16string name;
    for (const char* c = text; *c; ++c) name += static_cast<char16_t>(*c);
    if (ReferenceString && ReferenceString->Buffer) {
        name += u"\\";
        name.append(reinterpret_cast<const char16_t*>(ReferenceString->Buffer), ReferenceString->Length / 2);
    }
    // The symbolic link name is pool that the caller frees with RtlFreeUnicodeString.
    size_t bytes = (name.size() + 1) * sizeof(WCHAR);
    auto* buffer = static_cast<PWSTR>(k.pool_allocate(bytes, 0x72745355 /* 'UStr' */, __builtin_return_address(0)));
    if (!buffer) return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.c_str(), bytes);
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(name.size() * sizeof(WCHAR));
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes);
    auto& record = k.interfaces()[name];
    record.pdo = PhysicalDeviceObject;
    record.guid = g;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    Kernel& k = Kernel::current();
    if (!SymbolicLinkName || !SymbolicLinkName->Buffer) return STATUS_INVALID_PARAMETER;
    std::u16string name(reinterpret_cast<const char16_t*>(SymbolicLinkName->Buffer), SymbolicLinkName->Length / 2);
    auto it = k.interfaces().find(name);
    if (it == k.interfaces().end()) return STATUS_OBJECT_NAME_NOT_FOUND;
    bool already = it->second.enabled == static_cast<bool>(Enable);
    it->second.enabled = Enable;
    // Enabling an interface that is already enabled is not an error; Windows says so with an
    // informational status.
    if (already && Enable) return static_cast<NTSTATUS>(0x40000000L); /* STATUS_OBJECT_NAME_EXISTS */
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI IoRegisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    Kernel& k = Kernel::current();
    auto* record = k.find_device(DeviceObject);
    if (!record) return STATUS_INVALID_PARAMETER;
    record->shutdown_registered = true;
    return STATUS_SUCCESS;
}

VOID NTAPI IoUnregisterShutdownNotification(PDEVICE_OBJECT DeviceObject) {
    if (auto* record = Kernel::current().find_device(DeviceObject)) record->shutdown_registered = false;
}

NTSTATUS NTAPI IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return Kernel::current().call_driver(DeviceObject, Irp, "IoCallDriver");
}

VOID NTAPI IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) { Kernel::current().complete_request(Irp, PriorityBoost); }

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    Kernel& k = Kernel::current();
    if (k.irql() > DISPATCH_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoAllocateIrp above DISPATCH_LEVEL");
    if (k.should_fail(sim::FaultSite::irp)) return nullptr;
    return k.allocate_irp(StackSize, sim::IrpOrigin::allocated);
}

VOID NTAPI IoFreeIrp(PIRP Irp) { Kernel::current().free_irp(Irp, "IoFreeIrp"); }

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    Kernel& k = Kernel::current();
    auto& record = k.irp_record(Irp, "IoReuseIrp");
    if (record.sent) k.bug_check("IRP_FREED_WHILE_OWNED_BY_LOWER_DRIVER", "IoReuseIrp of an IRP a lower driver owns");
    CCHAR count = Irp->StackCount;
    USHORT size = Irp->Size;
    PETHREAD thread = Irp->Tail.Overlay.Thread;
    std::memset(Irp, 0, size);
    Irp->Type = 6;
    Irp->Size = size;
    Irp->StackCount = count;
    Irp->CurrentLocation = static_cast<CHAR>(count + 1);
    Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + count;
    Irp->Tail.Overlay.Thread = thread;
    Irp->IoStatus.Status = Iostatus;
    record.finished = false;
    record.completing = false;
    record.pending_marked.reset();
    record.location_completed.reset();
    record.dispatch_returned_pending.reset();
    record.completed_to_top = false;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
    Kernel& k = Kernel::current();
    if (k.irql() != PASSIVE_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoBuildDeviceIoControlRequest above PASSIVE_LEVEL");
    if (k.should_fail(sim::FaultSite::irp)) return nullptr;
    PIRP irp = k.allocate_irp(DeviceObject->StackSize, sim::IrpOrigin::built_ioctl);
    if (!irp) return nullptr;
    auto& record = *k.find_irp(irp);
    record.user_event = Event;
    record.user_iosb = IoStatusBlock;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
    if (METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_BUFFERED) {
        size_t size = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (size) {
            record.system_buffer = std::calloc(1, size);
            if (InputBuffer && InputBufferLength) std::memcpy(record.system_buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = record.system_buffer;
            record.user_output = OutputBuffer;
            record.user_output_length = OutputBufferLength;
        }
    } else {
        next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
    }
    return irp;
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) { return Kernel::current().cancel_irp(Irp); }

// ---- Run-time library, versions, debug print ---------------------------------------------------------------

VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (!SourceString) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = 0;
    while (SourceString[n]) ++n;
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
}

VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) Kernel::current().pool_free(UnicodeString->Buffer, 0, false, "RtlFreeUnicodeString");
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

SIZE_T NTAPI RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const UCHAR*>(Source1);
    auto* b = static_cast<const UCHAR*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}

BOOLEAN NTAPI RtlIsNtDdiVersionAvailable(ULONG Version) {
    auto& s = Kernel::current().settings();
    ULONG running = ((s.major_version << 8) | s.minor_version) << 16;
    return Version <= running;
}

BOOLEAN NTAPI PsGetVersion(PULONG MajorVersion, PULONG MinorVersion, PULONG BuildNumber, PUNICODE_STRING CSDVersion) {
    auto& s = Kernel::current().settings();
    if (MajorVersion) *MajorVersion = s.major_version;
    if (MinorVersion) *MinorVersion = s.minor_version;
    if (BuildNumber) *BuildNumber = s.build_number;
    if (CSDVersion) CSDVersion->Length = 0;
    return FALSE;  // a free build
}

PVOID NTAPI MmGetSystemRoutineAddress(PUNICODE_STRING SystemRoutineName) {
    Kernel& k = Kernel::current();
    if (k.irql() != PASSIVE_LEVEL) k.bug_check("IRQL_NOT_LESS_OR_EQUAL", "MmGetSystemRoutineAddress above PASSIVE_LEVEL");
    std::u16string name(reinterpret_cast<const char16_t*>(SystemRoutineName->Buffer), SystemRoutineName->Length / 2);
    if (name == u"RtlIsNtDdiVersionAvailable" && k.settings().has_rtl_is_ntddi_version_available) {
        return reinterpret_cast<PVOID>(&RtlIsNtDdiVersionAvailable);
    }
    if (name == u"PsGetVersion") return reinterpret_cast<PVOID>(&PsGetVersion);
    return nullptr;
}

ULONG __cdecl DbgPrint(PCSTR Format, ...) {
    char text[1024];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(text, sizeof text, Format, args);
    va_end(args);
    Kernel::current().debug_print(text);
    return STATUS_SUCCESS;
}

}  // extern "C"
