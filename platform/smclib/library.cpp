// The smart card library's life cycle per reader (SmartcardInitialize, SmartcardExit) and its remove lock.
#include "reader_data.h"

namespace sim::smclib {

namespace {

// Extensions older than this predate the layout the library works with.
constexpr ULONG kOldestVersion = 0x100;

// Allocates one of the library's buffers with at least MIN_BUFFER_SIZE bytes, zeroed.
PUCHAR allocate_buffer(ULONG& size) {
    if (size < MIN_BUFFER_SIZE) size = MIN_BUFFER_SIZE;
    auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, size, kSmclibPoolTag));
    if (buffer) RtlZeroMemory(buffer, size);
    return buffer;
}

void check_irql_at_most(KIRQL highest, const char* call) {
    KIRQL irql = KeGetCurrentIrql();
    if (irql > highest) {
        verifier_stop("IRQL_NOT_LESS_OR_EQUAL", "%s at IRQL %u, allowed up to %u", call, unsigned{irql},
                      unsigned{highest});
    }
}

NTSTATUS acquire(PSMARTCARD_EXTENSION extension, ULONG tag, const char* call) {
    check_irql_at_most(DISPATCH_LEVEL, call);
    ReaderData& data = reader_data(extension, call);
    auto& lock = data.os.RemoveLock;
    InterlockedIncrement(&lock.RefCount);
    if (lock.Removed) {
        // Removal has drained the lock; a late caller must not keep the drain waiting.
        if (InterlockedDecrement(&lock.RefCount) == 0) KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return STATUS_DELETE_PENDING;
    }
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&data.hold_lock);
    bool recorded = false;
    for (RemoveHold& hold : data.holds) {
        if (!hold.used) {
            hold = RemoveHold{tag, current_thread_key(), ++data.next_serial, TRUE};
            recorded = true;
            break;
        }
    }
    if (!recorded) ++data.untracked_holds;
    KeReleaseSpinLock(&data.hold_lock, old_irql);
    return STATUS_SUCCESS;
}

// Gives back one hold under tag; a tag that holds nothing is a verifier stop.
void drop_hold(ReaderData& data, ULONG tag, const char* call) {
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&data.hold_lock);
    for (RemoveHold& hold : data.holds) {
        if (hold.used && hold.tag == tag) {
            hold.used = FALSE;
            KeReleaseSpinLock(&data.hold_lock, old_irql);
            return;
        }
    }
    if (data.untracked_holds > 0) {
        --data.untracked_holds;
        KeReleaseSpinLock(&data.hold_lock, old_irql);
        return;
    }
    KeReleaseSpinLock(&data.hold_lock, old_irql);
    verifier_stop("SMCLIB_REMOVE_LOCK_NOT_HELD", "%s with tag '%.4s' (0x%lx), which holds no remove lock", call,
                  reinterpret_cast<const char*>(&tag), static_cast<unsigned long>(tag));
}

// Gives back the newest hold that the calling thread took, whatever its tag.
void drop_own_hold(ReaderData& data, const char* call) {
    PVOID self = current_thread_key();
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(&data.hold_lock);
    RemoveHold* newest = nullptr;
    for (RemoveHold& hold : data.holds) {
        if (hold.used && hold.thread == self && (!newest || hold.serial > newest->serial)) newest = &hold;
    }
    if (newest) {
        newest->used = FALSE;
    } else if (data.untracked_holds > 0) {
        --data.untracked_holds;
    } else {
        KeReleaseSpinLock(&data.hold_lock, old_irql);
        verifier_stop("SMCLIB_REMOVE_LOCK_NOT_HELD", "%s by a thread that holds no remove lock of this reader", call);
    }
    KeReleaseSpinLock(&data.hold_lock, old_irql);
}

void release(PSMARTCARD_EXTENSION extension, ULONG tag, const char* call) {
    check_irql_at_most(DISPATCH_LEVEL, call);
    ReaderData& data = reader_data(extension, call);
    drop_hold(data, tag, call);
    auto& lock = data.os.RemoveLock;
    LONG count = InterlockedDecrement(&lock.RefCount);
    if (count == 0) KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
    if (count < 0) verifier_stop("SMCLIB_REMOVE_LOCK_NOT_HELD", "%s drove the hold count below zero", call);
}

}  // namespace

ReaderData& reader_data(PSMARTCARD_EXTENSION extension, const char* call) {
    if (!extension) verifier_stop("SMCLIB_NOT_INITIALIZED", "%s with a null smart card extension", call);
    if (!extension->OsData) {
        verifier_stop("SMCLIB_NOT_INITIALIZED",
                      "%s on a smart card extension without OsData (SmartcardInitialize was not called, failed, or "
                      "SmartcardExit has run)",
                      call);
    }
    return *reinterpret_cast<ReaderData*>(extension->OsData);
}

ULONG read_card_state(PSMARTCARD_EXTENSION extension) {
    PKSPIN_LOCK lock = &extension->OsData->SpinLock;
    KIRQL old_irql = KeAcquireSpinLockRaiseToDpc(lock);
    ULONG state = extension->ReaderCapabilities.CurrentState;
    KeReleaseSpinLock(lock, old_irql);
    return state;
}

}  // namespace sim::smclib

using namespace sim::smclib;

extern "C" {

NTSTATUS NTAPI SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
    check_irql_at_most(PASSIVE_LEVEL, "SmartcardInitialize");
    if (!SmartcardExtension) verifier_stop("SMCLIB_NOT_INITIALIZED", "SmartcardInitialize with a null extension");
    if (SmartcardExtension->Version < kOldestVersion || SmartcardExtension->Version > SMCLIB_VERSION) {
        return STATUS_UNSUCCESSFUL;
    }
    auto& request = SmartcardExtension->SmartcardRequest;
    auto& reply = SmartcardExtension->SmartcardReply;
    request.Buffer = nullptr;
    reply.Buffer = nullptr;
    SmartcardExtension->OsData = nullptr;

    // All or nothing: a reader whose initialisation failed owns no pool of the library.
    request.Buffer = allocate_buffer(request.BufferSize);
    if (request.Buffer) reply.Buffer = allocate_buffer(reply.BufferSize);
    ReaderData* data = nullptr;
    if (reply.Buffer) data = static_cast<ReaderData*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(ReaderData), sim::kSmclibPoolTag));
    if (!data) {
        if (reply.Buffer) ExFreePoolWithTag(reply.Buffer, sim::kSmclibPoolTag);
        if (request.Buffer) ExFreePoolWithTag(request.Buffer, sim::kSmclibPoolTag);
        request.Buffer = nullptr;
        reply.Buffer = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    request.BufferLength = 0;
    reply.BufferLength = 0;

    RtlZeroMemory(data, sizeof *data);
    OS_DEP_DATA& os = data->os;
    KeInitializeMutex(&os.Mutex, 0);
    KeInitializeSpinLock(&os.SpinLock);
    os.RemoveLock.Removed = FALSE;
    os.RemoveLock.RefCount = 1;  // the bias that SmartcardReleaseRemoveLockAndWait gives up
    KeInitializeEvent(&os.RemoveLock.RemoveEvent, NotificationEvent, FALSE);
    os.RemoveLock.TagList.Flink = os.RemoveLock.TagList.Blink = &os.RemoveLock.TagList;
    KeInitializeSpinLock(&data->hold_lock);
    SmartcardExtension->OsData = &os;
    return STATUS_SUCCESS;
}

VOID NTAPI SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
    check_irql_at_most(PASSIVE_LEVEL, "SmartcardExit");
    if (!SmartcardExtension) verifier_stop("SMCLIB_NOT_INITIALIZED", "SmartcardExit with a null extension");
    if (POS_DEP_DATA os = SmartcardExtension->OsData) {
        if (os->NotificationIrp) {
            verifier_stop("SMCLIB_EXIT_WITH_TRACKING_REQUEST",
                          "SmartcardExit while the card-tracking request %p is still pending in OsData->NotificationIrp",
                          static_cast<void*>(os->NotificationIrp));
        }
        LONG holders = os->RemoveLock.RefCount - (os->RemoveLock.Removed ? 0 : 1);
        if (holders > 0) {
            verifier_stop("SMCLIB_EXIT_WITH_REMOVE_LOCK_HELD", "SmartcardExit while %ld remove-lock hold(s) are outstanding",
                          static_cast<long>(holders));
        }
        ExFreePoolWithTag(os, sim::kSmclibPoolTag);
        SmartcardExtension->OsData = nullptr;
    }
    if (SmartcardExtension->SmartcardRequest.Buffer) {
        ExFreePoolWithTag(SmartcardExtension->SmartcardRequest.Buffer, sim::kSmclibPoolTag);
        SmartcardExtension->SmartcardRequest.Buffer = nullptr;
    }
    if (SmartcardExtension->SmartcardReply.Buffer) {
        ExFreePoolWithTag(SmartcardExtension->SmartcardReply.Buffer, sim::kSmclibPoolTag);
        SmartcardExtension->SmartcardReply.Buffer = nullptr;
    }
}

NTSTATUS NTAPI SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    return acquire(SmartcardExtension, sim::kSmclibUntaggedHold, "SmartcardAcquireRemoveLock");
}

VOID NTAPI SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
    release(SmartcardExtension, sim::kSmclibUntaggedHold, "SmartcardReleaseRemoveLock");
}

NTSTATUS NTAPI SmartcardAcquireRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
    return acquire(SmartcardExtension, Tag, "SmartcardAcquireRemoveLockWithTag");
}

VOID NTAPI SmartcardReleaseRemoveLockWithTag(PSMARTCARD_EXTENSION SmartcardExtension, ULONG Tag) {
    release(SmartcardExtension, Tag, "SmartcardReleaseRemoveLockWithTag");
}

VOID NTAPI SmartcardReleaseRemoveLockAndWait(PSMARTCARD_EXTENSION SmartcardExtension) {
    const char* call = "SmartcardReleaseRemoveLockAndWait";
    check_irql_at_most(PASSIVE_LEVEL, call);
    ReaderData& data = reader_data(SmartcardExtension, call);
    auto& lock = data.os.RemoveLock;
    if (lock.Removed) verifier_stop("SMCLIB_REMOVE_LOCK_DRAINED_TWICE", "%s after the remove lock was already drained", call);
    drop_own_hold(data, call);
    lock.Removed = TRUE;
    // The caller's hold and the bias go together; whatever is left belongs to other holders.
    LONG others = InterlockedExchangeAdd(&lock.RefCount, -2) - 2;
    if (others == 0) {
        KeSetEvent(&lock.RemoveEvent, IO_NO_INCREMENT, FALSE);
        return;
    }
    KeWaitForSingleObject(&lock.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

}  // extern "C"
