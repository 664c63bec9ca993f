// The simulated I/O manager: completion routines, pending propagation, cancel, built requests,
// pool tracking and fault injection.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kernel/test_stack.h"

namespace sim {
namespace {

using test::TestStack;

std::vector<std::string>* g_order = nullptr;

NTSTATUS record_and_continue(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    g_order->push_back(static_cast<const char*>(context));
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS signal_and_stop(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    (void)irp;
    g_order->push_back("stop");
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// A three-level stack: the IRP starts at the top; completion routines run from the bottom up.
TEST(Completion, RoutinesRunBottomUpAndMoreProcessingStopsThePass) {
    Kernel k(11);
    TestStack stack(k);
    std::vector<std::string> order;
    g_order = &order;
    NTSTATUS final_status = STATUS_PENDING;
    stack.upper_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, &record_and_continue, const_cast<char*>("upper"), TRUE, TRUE, TRUE);
        return IoCallDriver(stack.lower, irp);
    };
    stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    ASSERT_EQ(k.run_thread("caller", [&] {
        // The caller sits above the stack with a routine of its own that takes the IRP back.
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(static_cast<CCHAR>(stack.upper->StackSize + 1), FALSE);
        IoSetNextIrpStackLocation(irp);  // the caller's own location
        IoGetCurrentIrpStackLocation(irp)->DeviceObject = stack.upper;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, &signal_and_stop, &event, TRUE, TRUE, TRUE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoCallDriver(stack.upper, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        final_status = irp->IoStatus.Status;
        IoFreeIrp(irp);
    }), RunOutcome::completed) << k.bug_check_report();
    EXPECT_EQ(order, (std::vector<std::string>{"upper", "stop"}));
    EXPECT_EQ(final_status, STATUS_SUCCESS);
    EXPECT_EQ(k.live_irps(), 0u);
}

NTSTATUS only_on_error(PDEVICE_OBJECT, PIRP, PVOID context) {
    g_order->push_back(static_cast<const char*>(context));
    return STATUS_SUCCESS;
}

// The invoke flags decide which outcomes a routine sees.
TEST(Completion, InvokeFlagsSelectSuccessErrorAndCancel) {
    struct Case {
        NTSTATUS status;
        bool cancel;
        BOOLEAN on_success, on_error, on_cancel;
        bool expect_called;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, TRUE, FALSE, FALSE, true},
        {STATUS_SUCCESS, false, FALSE, TRUE, TRUE, false},
        {STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, true},
        {STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, false},
        {STATUS_CANCELLED, true, FALSE, FALSE, TRUE, true},
        {STATUS_CANCELLED, true, TRUE, FALSE, FALSE, false},
    };
    for (const Case& c : cases) {
        Kernel k(12);
        TestStack stack(k);
        std::vector<std::string> order;
        g_order = &order;
        stack.upper_handler = [&](PDEVICE_OBJECT, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, &only_on_error, const_cast<char*>("routine"), c.on_success, c.on_error,
                                   c.on_cancel);
            return IoCallDriver(stack.lower, irp);
        };
        stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancel;
            irp->IoStatus.Status = c.status;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return c.status;
        };
        ASSERT_EQ(k.run_thread("caller", [&] { stack.send_and_wait(stack.upper); }), RunOutcome::completed)
            << k.bug_check_report();
        EXPECT_EQ(!order.empty(), c.expect_called) << "status " << status_name(c.status);
    }
}

// A lower driver that pends and completes later from another thread: PendingReturned reaches the
// upper routine and the caller sees STATUS_PENDING then the final status.
TEST(Completion, PendingReturnedTravelsUp) {
    Kernel k(13);
    TestStack stack(k);
    std::vector<std::string> order;
    g_order = &order;
    PIRP held = nullptr;
    bool saw_pending_returned = false;
    stack.upper_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
                *static_cast<bool*>(context) = irp->PendingReturned;
                if (irp->PendingReturned) IoMarkIrpPending(irp);
                return STATUS_SUCCESS;
            },
            &saw_pending_returned, TRUE, TRUE, TRUE);
        return IoCallDriver(stack.lower, irp);
    };
    stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    NTSTATUS result = 0;
    k.spawn("caller", [&] { result = stack.send_and_wait(stack.upper); });
    k.spawn("completer", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -from_ms(5);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        held->IoStatus.Status = STATUS_IO_TIMEOUT;
        IoCompleteRequest(held, IO_NO_INCREMENT);
        KeLowerIrql(irql);
    });
    ASSERT_EQ(k.run(), RunOutcome::completed) << k.bug_check_report();
    EXPECT_TRUE(saw_pending_returned);
    EXPECT_EQ(result, STATUS_IO_TIMEOUT);
    EXPECT_EQ(k.live_irps(), 0u);
}

// The lower driver's one queued IRP, guarded by the cancel spin lock as a cancel-safe queue is.
PIRP g_queued = nullptr;

VOID cancel_held(PDEVICE_OBJECT, PIRP irp) {
    if (g_queued == irp) g_queued = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST(Cancel, WithoutCancelRoutineOnlyMarksTheIrp) {
    Kernel k(14);
    TestStack stack(k);
    PIRP held = nullptr;
    stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        held = irp;
        return STATUS_PENDING;
    };
    BOOLEAN cancelled = TRUE;
    k.spawn("caller", [&] { stack.send_and_wait(stack.upper); });
    k.spawn("canceller", [&] {
        LARGE_INTEGER delay;
        delay.QuadPart = -from_ms(1);
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        cancelled = IoCancelIrp(held);
        EXPECT_TRUE(held->Cancel);
        held->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(held, IO_NO_INCREMENT);
    });
    ASSERT_EQ(k.run(), RunOutcome::completed) << k.bug_check_report();
    EXPECT_FALSE(cancelled);
}

NTSTATUS signal_owner(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Cancel and completion race for a held IRP; whichever wins, the IRP completes exactly once
// (the verifier would stop the run otherwise) and the owner sees one of the two statuses. The
// owner allocated the IRP and frees it only after both the completion and the canceller are
// done, which is what keeps the canceller from touching a freed IRP.
TEST(Cancel, RaceWithCompletionCompletesOnceUnderEverySeed) {
    int cancelled_runs = 0, completed_runs = 0;
    for (uint64_t seed = 100; seed < 160; ++seed) {
        Kernel k(seed);
        TestStack stack(k);
        PIRP held = nullptr;
        KEVENT queued, completed, cancel_done;
        KeInitializeEvent(&queued, NotificationEvent, FALSE);
        KeInitializeEvent(&completed, NotificationEvent, FALSE);
        KeInitializeEvent(&cancel_done, NotificationEvent, FALSE);
        stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
            IoMarkIrpPending(irp);
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            IoSetCancelRoutine(irp, &cancel_held);
            g_queued = held = irp;
            IoReleaseCancelSpinLock(irql);
            KeSetEvent(&queued, IO_NO_INCREMENT, FALSE);
            return STATUS_PENDING;
        };
        NTSTATUS result = 0;
        k.spawn("owner", [&] {
            PIRP irp = IoAllocateIrp(stack.lower->StackSize, FALSE);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            IoSetCompletionRoutine(irp, &signal_owner, &completed, TRUE, TRUE, TRUE);
            IoCallDriver(stack.lower, irp);
            KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
            KeWaitForSingleObject(&cancel_done, Executive, KernelMode, FALSE, nullptr);
            result = irp->IoStatus.Status;
            IoFreeIrp(irp);
        });
        k.spawn("canceller", [&] {
            KeWaitForSingleObject(&queued, Executive, KernelMode, FALSE, nullptr);
            IoCancelIrp(held);
            KeSetEvent(&cancel_done, IO_NO_INCREMENT, FALSE);
        });
        k.spawn("completer", [&] {
            KeWaitForSingleObject(&queued, Executive, KernelMode, FALSE, nullptr);
            // Take the IRP off the queue unless the cancel routine already has.
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            PIRP mine = g_queued;
            if (mine && !IoSetCancelRoutine(mine, nullptr)) mine = nullptr;
            g_queued = nullptr;
            IoReleaseCancelSpinLock(irql);
            if (mine) {
                mine->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(mine, IO_NO_INCREMENT);
            }
        });
        ASSERT_EQ(k.run(), RunOutcome::completed) << "seed " << seed << "\n" << k.bug_check_report();
        ASSERT_TRUE(result == STATUS_CANCELLED || result == STATUS_SUCCESS) << status_name(result);
        (result == STATUS_CANCELLED ? cancelled_runs : completed_runs)++;
        EXPECT_EQ(k.live_irps(), 0u);
    }
    // Both outcomes must occur across the seeds, or the race was never exercised.
    EXPECT_GT(cancelled_runs, 0);
    EXPECT_GT(completed_runs, 0);
}

TEST(BuiltRequests, BufferedOutputIsCopiedBackAndTheIrpFreed) {
    Kernel k(15);
    TestStack stack(k);
    stack.lower_handler = [&](PDEVICE_OBJECT, PIRP irp) {
        auto* buffer = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        buffer[0] = 'o';
        buffer[1] = 'k';
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 2;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    char out[4] = {};
    IO_STATUS_BLOCK iosb{};
    ASSERT_EQ(k.run_thread("caller", [&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        char in[3] = {'a', 'b', 'c'};
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS),
                                                 stack.upper, in, 3, out, 4, FALSE, &event, &iosb);
        IoCallDriver(stack.upper, irp);
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    }), RunOutcome::completed);
    EXPECT_EQ(iosb.Information, 2u);
    EXPECT_EQ(std::string(out, 2), "ok");
    EXPECT_EQ(out[2], 0);
    EXPECT_EQ(k.live_irps(), 0u);
}

TEST(Pool, TracksBlocksPerTagAndInjectsFaultsOnTheNthCall) {
    Kernel k(16);
    constexpr ULONG tag = 'VRK';
    void* a = ExAllocatePoolWithTag(NonPagedPool, 16, tag);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 32, tag);
    EXPECT_EQ(k.live_pool_with_tag(tag), 2u);
    ExFreePoolWithTag(a, tag);
    EXPECT_EQ(k.live_pool_with_tag(tag), 1u);
    EXPECT_NE(k.describe_live_pool().find("32 bytes"), std::string::npos);
    ExFreePoolWithTag(b, tag);

    k.set_fault(FaultSite::pool, {.fail_nth = 2});
    void* first = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    void* third = ExAllocatePoolWithTag(NonPagedPool, 8, tag);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(k.faults_injected(), 1u);
    ExFreePoolWithTag(first, tag);
    ExFreePoolWithTag(third, tag);
    EXPECT_TRUE(k.live_pool().empty());
}

TEST(Versions, KernelVersionIsASetting) {
    Kernel k(17, KernelSettings{.major_version = 5, .minor_version = 1, .build_number = 2600});
    EXPECT_FALSE(RtlIsNtDdiVersionAvailable(NTDDI_VISTA));
    EXPECT_TRUE(RtlIsNtDdiVersionAvailable(NTDDI_WINXP));
    ULONG major = 0, minor = 0;
    PsGetVersion(&major, &minor, nullptr, nullptr);
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 1u);
    UNICODE_STRING name;
    WCHAR text[] = {'R', 't', 'l', 'I', 's', 'N', 't', 'D', 'd', 'i', 'V', 'e', 'r', 's', 'i', 'o', 'n',
                    'A', 'v', 'a', 'i', 'l', 'a', 'b', 'l', 'e', 0};
    RtlInitUnicodeString(&name, text);
    EXPECT_NE(MmGetSystemRoutineAddress(&name), nullptr);
    k.settings().has_rtl_is_ntddi_version_available = false;
    EXPECT_EQ(MmGetSystemRoutineAddress(&name), nullptr);
}

TEST(DebugPrint, IsCapturedWithItsTime) {
    Kernel k(18);
    DbgPrint("Loaded %s - %d\n", "x", 7);
    ASSERT_EQ(k.debug_log().size(), 1u);
    EXPECT_EQ(k.debug_log()[0].text, "Loaded x - 7\n");
}

// The sender of a request holds the device object while the dispatch routine runs: a device that its driver
// deletes at the switch point before the dispatch (a removal in another thread) keeps its memory until the routine
// has returned, which finds it through the object as always, and is gone afterwards.
TEST(DeviceObjects, ADeviceDeletedWhileARequestIsOnItsWayStaysUntilTheDispatchReturns) {
    int dispatched_after_delete = 0;
    for (uint64_t seed = 1; seed <= 40; ++seed) {
        Kernel k(seed);
        TestStack stack(k);
        bool deleted = false;
        bool reached = false;
        stack.upper_handler = [&](PDEVICE_OBJECT, PIRP irp) {
            reached = true;
            dispatched_after_delete += deleted;
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        NTSTATUS status = STATUS_PENDING;
        ASSERT_EQ(k.run_thread("sender", [&] {
            k.spawn("removal", [&] {
                IoDetachDevice(stack.lower);
                IoDeleteDevice(stack.upper);
                deleted = true;
            });
            status = stack.send_and_wait(stack.upper);
        }), RunOutcome::completed) << k.bug_check_report();
        EXPECT_TRUE(reached);
        EXPECT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(k.find_device(stack.upper), nullptr);
    }
    EXPECT_GT(dispatched_after_delete, 0) << "no seed deleted the device while the request was on its way";
}

}  // namespace
}  // namespace sim
