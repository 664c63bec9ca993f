// Power manager entry points and work items of the simulated kernel.
#include <cstring>

#include "kernel.h"

using sim::Kernel;

struct _IO_WORKITEM {
    PDEVICE_OBJECT device;
    bool queued;
};

namespace {
constexpr ULONG kWorkItemTag = 0x6b576f49;  // 'IoWk'
}

extern "C" {

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    Kernel& k = Kernel::current();
    ++k.po_call_driver_count;
    return k.call_driver(DeviceObject, Irp, "PoCallDriver");
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) {
    Kernel& k = Kernel::current();
    auto& record = k.irp_record(Irp, "PoStartNextPowerIrp");
    ++record.start_next_power_calls;
    if (record.start_next_power_calls > 1) {
        k.bug_check("PO_START_NEXT_POWER_IRP_TWICE", "PoStartNextPowerIrp called twice for IRP #" +
                                                         std::to_string(record.serial) + " by one driver");
    }
}

POWER_STATE NTAPI PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    Kernel& k = Kernel::current();
    auto* record = k.find_device(DeviceObject);
    POWER_STATE previous{};
    if (!record) k.bug_check("INVALID_DEVICE_OBJECT", "PoSetPowerState of an unknown device");
    if (Type == DevicePowerState) {
        previous.DeviceState = record->device_power;
        record->device_power = State.DeviceState;
    } else {
        previous.SystemState = record->system_power;
        record->system_power = State.SystemState;
    }
    return previous;
}

NTSTATUS NTAPI PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction, POWER_STATE PowerState,
                                 PREQUEST_POWER_COMPLETE CompletionFunction, PVOID Context, PIRP* Irp) {
    Kernel& k = Kernel::current();
    if (!k.find_device(DeviceObject)) return STATUS_INVALID_PARAMETER_2;
    if (MinorFunction != IRP_MN_SET_POWER && MinorFunction != IRP_MN_QUERY_POWER && MinorFunction != IRP_MN_WAIT_WAKE) {
        return STATUS_INVALID_PARAMETER_2;
    }
    if (k.should_fail(sim::FaultSite::irp)) return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = k.top_of_stack(DeviceObject);
    PIRP irp = k.allocate_irp(top->StackSize, sim::IrpOrigin::host);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = MinorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = PowerState;
    if (Irp) *Irp = irp;
    k.find_irp(irp)->on_complete = [&k, DeviceObject, MinorFunction, PowerState, CompletionFunction,
                                    Context](PIRP done) {
        IO_STATUS_BLOCK status = done->IoStatus;
        if (CompletionFunction) {
            k.call_checked("power request callback", [&] {
                CompletionFunction(DeviceObject, MinorFunction, PowerState, Context, &status);
            });
        }
        k.free_irp(done, "power manager");
    };
    // The power manager sends the request from its own thread.
    k.spawn("power manager: device request", [&k, top, irp] { k.call_driver(top, irp, "power manager"); });
    return STATUS_PENDING;
}

PIO_WORKITEM NTAPI IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
    Kernel& k = Kernel::current();
    auto* item = static_cast<PIO_WORKITEM>(k.pool_allocate(sizeof(_IO_WORKITEM), kWorkItemTag, __builtin_return_address(0)));
    if (!item) return nullptr;
    item->device = DeviceObject;
    item->queued = false;
    return item;
}

VOID NTAPI IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
    Kernel& k = Kernel::current();
    if (IoWorkItem->queued) k.bug_check("WORK_ITEM_FREED_WHILE_QUEUED", "IoFreeWorkItem of a queued work item");
    k.pool_free(IoWorkItem, kWorkItemTag, true, "IoFreeWorkItem");
}

VOID NTAPI IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                           PVOID Context) {
    (void)QueueType;
    Kernel& k = Kernel::current();
    if (IoWorkItem->queued) k.bug_check("WORK_ITEM_QUEUED_TWICE", "IoQueueWorkItem of a work item already queued");
    IoWorkItem->queued = true;
    k.spawn("work item", [&k, IoWorkItem, WorkerRoutine, Context] {
        IoWorkItem->queued = false;
        PDEVICE_OBJECT device = IoWorkItem->device;
        k.call_checked("work item routine", [&] { WorkerRoutine(device, Context); });
    });
}

}  // extern "C"
