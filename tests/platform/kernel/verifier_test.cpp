// Each verifier rule with a deliberately broken driver routine that it must stop, and the
// well-behaved version of the same routine that it must let through.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "platform/kernel/test_stack.h"

namespace sim {
namespace {

using test::TestStack;

// Runs `body` in a simulated thread over a fresh test stack; returns the broken rule or "".
std::string run_rule(const std::function<void(Kernel&, TestStack&)>& body) {
    Kernel k(21);
    TestStack stack(k);
    RunOutcome outcome = k.run_thread("driver", [&] { body(k, stack); });
    if (outcome == RunOutcome::bugcheck) return k.bug_check_rule();
    EXPECT_EQ(outcome, RunOutcome::completed);
    return "";
}

VOID complete_in_cancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS free_and_stop(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS free_and_continue(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoFreeIrp(irp);
    return STATUS_SUCCESS;
}

struct RuleCase {
    const char* name;
    const char* rule;  // the rule the broken version breaks
    std::function<void(Kernel&, TestStack&)> broken;
    std::function<void(Kernel&, TestStack&)> sound;
};

// Sends a request down from a thread, with the lower driver replaced by `lower`.
void send_with_lower(TestStack& s, test::Dispatch lower) {
    s.lower_handler = std::move(lower);
    s.send_and_wait(s.upper);
}

const RuleCase kRules[] = {
    {"complete twice", "IRP_COMPLETED_TWICE",
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     }},
    {"complete with cancel routine set", "CANCEL_ROUTINE_STILL_SET",
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, &complete_in_cancel);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     },
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             IoSetCancelRoutine(irp, &complete_in_cancel);
             IoSetCancelRoutine(irp, nullptr);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;
         });
     }},
    {"pending not marked", "PENDING_NOT_MARKED",
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_PENDING;
         });
     },
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_PENDING;
         });
     }},
    {"free an IRP a lower driver owns", "IRP_FREED_WHILE_OWNED_BY_LOWER_DRIVER",
     [](Kernel&, TestStack& s) {
         s.lower_handler = [](PDEVICE_OBJECT, PIRP irp) {
             IoMarkIrpPending(irp);
             return STATUS_PENDING;  // keeps the IRP
         };
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoCallDriver(s.lower, irp);
         IoFreeIrp(irp);
     },
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_stop, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
     }},
    {"completion routine frees and lets completion go on", "IRP_FREED_IN_COMPLETION",
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_continue, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
     },
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_stop, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
     }},
    {"no stack location left", "NO_MORE_IRP_STACK_LOCATIONS",
     [](Kernel&, TestStack& s) {
         // The upper driver copies its location for the lower one, so it needs two.
         s.upper_handler = [&s](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(s.lower, irp);
         };
         PIRP irp = IoAllocateIrp(1, FALSE);  // room for the upper device only
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_stop, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.upper, irp);
     },
     [](Kernel&, TestStack& s) {
         s.upper_handler = [&s](PDEVICE_OBJECT, PIRP irp) {
             IoCopyCurrentIrpStackLocationToNext(irp);
             return IoCallDriver(s.lower, irp);
         };
         PIRP irp = IoAllocateIrp(s.upper->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_stop, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.upper, irp);
     }},
    {"driver-allocated IRP completed to the top", "ALLOCATED_IRP_COMPLETED_TO_IO_MANAGER",
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoCallDriver(s.lower, irp);
     },
     nullptr},
    {"wait with a time-out at DISPATCH_LEVEL", "IRQL_NOT_LESS_OR_EQUAL",
     [](Kernel&, TestStack&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER timeout;
         timeout.QuadPart = -10'000;
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
         KeLowerIrql(old);
     },
     [](Kernel&, TestStack&) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         KIRQL old;
         KeRaiseIrql(DISPATCH_LEVEL, &old);
         LARGE_INTEGER zero{};
         KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &zero);
         KeLowerIrql(old);
     }},
    {"spin lock acquired twice", "SPIN_LOCK_ALREADY_OWNED",
     [](Kernel&, TestStack&) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL a, b;
         KeAcquireSpinLock(&lock, &a);
         KeAcquireSpinLock(&lock, &b);
     },
     [](Kernel&, TestStack&) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KIRQL a;
         KeAcquireSpinLock(&lock, &a);
         KeReleaseSpinLock(&lock, a);
         KeAcquireSpinLock(&lock, &a);
         KeReleaseSpinLock(&lock, a);
     }},
    {"spin lock released when not held", "SPIN_LOCK_NOT_OWNED",
     [](Kernel&, TestStack&) {
         KSPIN_LOCK lock;
         KeInitializeSpinLock(&lock);
         KeReleaseSpinLock(&lock, PASSIVE_LEVEL);
     },
     nullptr},
    {"mutex released by a thread that does not own it", "THREAD_NOT_MUTEX_OWNER",
     [](Kernel& k, TestStack&) {
         static KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KEVENT owned;
         KeInitializeEvent(&owned, NotificationEvent, FALSE);
         k.spawn("owner", [&] {
             KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
             KeSetEvent(&owned, IO_NO_INCREMENT, FALSE);
             LARGE_INTEGER delay;
             delay.QuadPart = -from_ms(10);
             KeDelayExecutionThread(KernelMode, FALSE, &delay);
         });
         KeWaitForSingleObject(&owned, Executive, KernelMode, FALSE, nullptr);
         KeReleaseMutex(&mutex, FALSE);
     },
     [](Kernel&, TestStack&) {
         KMUTEX mutex;
         KeInitializeMutex(&mutex, 0);
         KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
         KeReleaseMutex(&mutex, FALSE);
     }},
    {"pool freed twice", "BAD_POOL_CALLER",
     [](Kernel&, TestStack&) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, 'VRK');
         ExFreePoolWithTag(block, 'VRK');
         ExFreePoolWithTag(block, 'VRK');
     },
     [](Kernel&, TestStack&) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, 'VRK');
         ExFreePoolWithTag(block, 'VRK');
     }},
    {"pool freed with the wrong tag", "BAD_POOL_CALLER",
     [](Kernel&, TestStack&) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 8, 'VRK');
         ExFreePoolWithTag(block, 'xxxx');
     },
     nullptr},
    {"pool left allocated at unload", "POOL_LEAK",
     [](Kernel& k, TestStack& s) {
         ExAllocatePoolWithTag(NonPagedPool, 24, 'VRK');
         IoDetachDevice(s.lower);
         IoDeleteDevice(s.upper);
         k.unload_driver(s.upper_driver);
     },
     [](Kernel& k, TestStack& s) {
         void* block = ExAllocatePoolWithTag(NonPagedPool, 24, 'VRK');
         ExFreePoolWithTag(block, 'VRK');
         IoDetachDevice(s.lower);
         IoDeleteDevice(s.upper);
         IoDeleteDevice(s.lower);
         k.unload_driver(s.upper_driver);
     }},
    {"device deleted while attached", "DEVICE_STILL_ATTACHED",
     [](Kernel&, TestStack& s) { IoDeleteDevice(s.upper); },
     [](Kernel&, TestStack& s) {
         IoDetachDevice(s.lower);
         IoDeleteDevice(s.upper);
     }},
    {"dispatch routine returns at another IRQL", "IRQL_NOT_RESTORED",
     [](Kernel&, TestStack& s) {
         send_with_lower(s, [](PDEVICE_OBJECT, PIRP irp) {
             static KSPIN_LOCK lock;
             KIRQL old;
             KeAcquireSpinLock(&lock, &old);
             irp->IoStatus.Status = STATUS_SUCCESS;
             IoCompleteRequest(irp, IO_NO_INCREMENT);
             return STATUS_SUCCESS;  // forgot to release the lock
         });
     },
     nullptr},
    {"completion routine returns at another IRQL", "IRQL_NOT_RESTORED",
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(
             irp,
             [](PDEVICE_OBJECT, PIRP irp, PVOID) -> NTSTATUS {
                 KIRQL old;
                 KeRaiseIrql(DISPATCH_LEVEL, &old);
                 IoFreeIrp(irp);
                 return STATUS_MORE_PROCESSING_REQUIRED;
             },
             nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
     },
     nullptr},
    {"cancel of a freed IRP", "IRP_USED_AFTER_FREE",
     [](Kernel&, TestStack& s) {
         PIRP irp = IoAllocateIrp(s.lower->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
         IoSetCompletionRoutine(irp, &free_and_stop, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(s.lower, irp);
         IoCancelIrp(irp);
     },
     nullptr},
};

std::string case_name(const ::testing::TestParamInfo<RuleCase>& info) {
    std::string name = info.param.name;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

// Rules whose sound version is simply not making the call have no second routine.
std::vector<RuleCase> with_sound_version() {
    std::vector<RuleCase> cases;
    for (const RuleCase& c : kRules) {
        if (c.sound) cases.push_back(c);
    }
    return cases;
}

class BrokenRoutine : public ::testing::TestWithParam<RuleCase> {};
class SoundRoutine : public ::testing::TestWithParam<RuleCase> {};

TEST_P(BrokenRoutine, IsStoppedWithTheRuleName) { EXPECT_EQ(run_rule(GetParam().broken), GetParam().rule); }

TEST_P(SoundRoutine, RunsClean) { EXPECT_EQ(run_rule(GetParam().sound), ""); }

INSTANTIATE_TEST_SUITE_P(Rules, BrokenRoutine, ::testing::ValuesIn(kRules), case_name);
INSTANTIATE_TEST_SUITE_P(Rules, SoundRoutine, ::testing::ValuesIn(with_sound_version()), case_name);

TEST(VerifierReport, NamesRuleCallObjectAndLeakSite) {
    Kernel k(22);
    TestStack stack(k);
    k.run_thread("driver", [&] {
        ExAllocatePoolWithTag(NonPagedPool, 24, 'VRK');
        k.check_no_pool_left("at the end of the test");
    });
    const std::string& report = k.bug_check_report();
    EXPECT_NE(report.find("POOL_LEAK"), std::string::npos) << report;
    EXPECT_NE(report.find("24 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'KRV'"), std::string::npos) << report;
    EXPECT_NE(report.find("thread 'driver'"), std::string::npos) << report;
}

// A second free is told from a free of memory that never was pool for as long as the block stays in the quarantine,
// however many frees came between, and with a host's shorter quarantine too.
TEST(VerifierReport, ASecondFreeIsNamedAsSuchWhileTheBlockIsQuarantined) {
    struct Case {
        size_t quarantine;
        int frees_between;
        const char* named;
    };
    for (const Case& c : {Case{4096, 0, "freed twice"}, Case{4096, 100, "freed twice"}, Case{8, 7, "freed twice"},
                          Case{8, 8, "not a pool block"}, Case{8, 50, "not a pool block"}}) {
        KernelSettings settings;
        settings.pool_quarantine = c.quarantine;
        Kernel k(23, settings);
        TestStack stack(k);
        k.run_thread("driver", [&] {
            void* block = ExAllocatePoolWithTag(NonPagedPool, 16, 'VRK');
            ExFreePoolWithTag(block, 'VRK');
            for (int i = 0; i < c.frees_between; ++i) {
                ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 24, 'VRK'), 'VRK');
            }
            ExFreePoolWithTag(block, 'VRK');
        });
        const std::string& report = k.bug_check_report();
        EXPECT_NE(report.find(c.named), std::string::npos)
            << "quarantine " << c.quarantine << ", " << c.frees_between << " frees between: " << report;
    }
}

}  // namespace
}  // namespace sim
