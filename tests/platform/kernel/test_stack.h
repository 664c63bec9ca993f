// A two-device stack of small test drivers whose dispatch routines the test supplies, for
// exercising the simulated I/O manager and its verifier.
#pragma once

#include <functional>
#include <memory>

#include "kernel.h"

namespace sim::test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// Every major function of a test driver lands here and runs the device's handler.
struct TestDeviceExtension {
    Dispatch* handler;
};

inline NTSTATUS test_dispatch(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<TestDeviceExtension*>(device->DeviceExtension);
    return (*extension->handler)(device, irp);
}

inline NTSTATUS test_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& dispatch : driver->MajorFunction) dispatch = &test_dispatch;
    return STATUS_SUCCESS;
}

// A lower device (think: the bus PDO) with an upper device attached on top of it.
class TestStack {
   public:
    explicit TestStack(Kernel& kernel) : k(kernel) {
        lower_driver = k.load_driver("lower", &test_driver_entry);
        upper_driver = k.load_driver("upper", &test_driver_entry);
        lower = make_device(lower_driver, &lower_handler);
        upper = make_device(upper_driver, &upper_handler);
        k.attach_device(upper, lower);
    }

    // Sends an internal device control from the calling simulated thread, as a driver sends a
    // request it built, and waits for it; returns the final status.
    NTSTATUS send_and_wait(PDEVICE_OBJECT target, ULONG code = 0x220003) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, target, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
        NTSTATUS status = IoCallDriver(target, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = iosb.Status;
        }
        return status;
    }

    Kernel& k;
    PDRIVER_OBJECT lower_driver = nullptr;
    PDRIVER_OBJECT upper_driver = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT upper = nullptr;
    Dispatch lower_handler = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    Dispatch upper_handler = [this](PDEVICE_OBJECT, PIRP irp) {
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(lower, irp);
    };

   private:
    PDEVICE_OBJECT make_device(PDRIVER_OBJECT driver, Dispatch* handler) {
        PDEVICE_OBJECT device = nullptr;
        k.create_device(driver, sizeof(TestDeviceExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, &device);
        static_cast<TestDeviceExtension*>(device->DeviceExtension)->handler = handler;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return device;
    }
};

}  // namespace sim::test
