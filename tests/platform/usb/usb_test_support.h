// A stand-in bus PDO that hands internal device controls to a DeviceFunction, and a client that builds URBs in pool and sends them from simulated threads with IoAllocateIrp, as a function driver does.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include <usbdlib.h>

#include "kernel.h"
#include "platform/usb/usb_device.h"

namespace sim::test {

constexpr ULONG kTestPoolTag = 0x74736554;  // "Test"

struct PdoExtension {
    DeviceFunction* function;
};

inline NTSTATUS NTAPI pdo_internal_device_control(PDEVICE_OBJECT device, PIRP irp) {
    return static_cast<PdoExtension*>(device->DeviceExtension)->function->internal_device_control(device, irp);
}

inline NTSTATUS NTAPI pdo_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = &pdo_internal_device_control;
    return STATUS_SUCCESS;
}

class TestPdo {
   public:
    TestPdo(Kernel& k, DeviceFunction& function) : k_(k) {
        PDRIVER_OBJECT driver = k.load_driver("test usb bus", &pdo_driver_entry);
        k.create_device(driver, sizeof(PdoExtension), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, &pdo_);
        static_cast<PdoExtension*>(pdo_->DeviceExtension)->function = &function;
        pdo_->Flags &= ~DO_DEVICE_INITIALIZING;
    }
    ~TestPdo() { k_.delete_device(pdo_); }
    PDEVICE_OBJECT device() const { return pdo_; }

   private:
    Kernel& k_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

// A zeroed URB in non-paged pool, freed when it goes out of scope.
class PoolUrb {
   public:
    explicit PoolUrb(size_t size) {
        urb_ = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kTestPoolTag));
        std::memset(urb_, 0, size);
    }
    ~PoolUrb() { ExFreePoolWithTag(urb_, kTestPoolTag); }
    PoolUrb(const PoolUrb&) = delete;
    PoolUrb& operator=(const PoolUrb&) = delete;
    PURB get() const { return urb_; }
    PURB operator->() const { return urb_; }

   private:
    PURB urb_ = nullptr;
};

inline std::unique_ptr<PoolUrb> descriptor_urb(UCHAR type, void* buffer, ULONG length) {
    auto urb = std::make_unique<PoolUrb>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST));
    UsbBuildGetDescriptorRequest(urb->get(), (USHORT)sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0,
                                 buffer, nullptr, length, nullptr);
    return urb;
}

inline std::unique_ptr<PoolUrb> transfer_urb(USBD_PIPE_HANDLE pipe, void* buffer, ULONG length, bool in) {
    auto urb = std::make_unique<PoolUrb>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER));
    UsbBuildInterruptOrBulkTransferRequest(urb->get(), (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                           buffer, nullptr, length,
                                           in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, nullptr);
    return urb;
}

inline std::unique_ptr<PoolUrb> pipe_urb(USHORT function, USBD_PIPE_HANDLE pipe) {
    auto urb = std::make_unique<PoolUrb>(sizeof(struct _URB_PIPE_REQUEST));
    urb->get()->UrbHeader.Length = sizeof(struct _URB_PIPE_REQUEST);
    urb->get()->UrbHeader.Function = function;
    urb->get()->UrbPipeRequest.PipeHandle = pipe;
    return urb;
}

inline std::unique_ptr<PoolUrb> unconfigure_urb() {
    auto urb = std::make_unique<PoolUrb>(sizeof(struct _URB_SELECT_CONFIGURATION));
    UsbBuildSelectConfigurationRequest(urb->get(), (USHORT)sizeof(struct _URB_SELECT_CONFIGURATION), nullptr);
    return urb;
}

// One URB on its way: filled in by the completion routine, which frees the IRP.
struct Submission {
    PURB urb = nullptr;
    PIRP irp = nullptr;
    KEVENT done;
    NTSTATUS dispatch_status = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    bool completed = false;
    VirtualTime completed_at = -1;
    int order = -1;  // position among the client's completions
    int* counter = nullptr;
};

inline NTSTATUS NTAPI submission_complete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* submission = static_cast<Submission*>(context);
    submission->status = irp->IoStatus.Status;
    submission->completed = true;
    submission->completed_at = Kernel::current().now();
    submission->order = (*submission->counter)++;
    submission->irp = nullptr;
    IoFreeIrp(irp);
    KeSetEvent(&submission->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Call only from inside a simulated thread.
class UrbClient {
   public:
    explicit UrbClient(PDEVICE_OBJECT pdo) : pdo_(pdo) {}

    std::shared_ptr<Submission> start(PURB urb) {
        auto submission = std::make_shared<Submission>();
        submission->urb = urb;
        submission->counter = &completions_;
        KeInitializeEvent(&submission->done, NotificationEvent, FALSE);
        PIRP irp = IoAllocateIrp(pdo_->StackSize, FALSE);
        submission->irp = irp;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb;
        IoSetCompletionRoutine(irp, &submission_complete, submission.get(), TRUE, TRUE, TRUE);
        submission->dispatch_status = IoCallDriver(pdo_, irp);
        return submission;
    }

    // True when it completed within the time-out (in ms; negative: no limit).
    bool wait(Submission& submission, int64_t timeout_ms = -1) {
        LARGE_INTEGER timeout;
        timeout.QuadPart = -timeout_ms * 10'000;
        KeWaitForSingleObject(&submission.done, Executive, KernelMode, FALSE, timeout_ms < 0 ? nullptr : &timeout);
        return submission.completed;
    }

    NTSTATUS submit(PURB urb) {
        auto submission = start(urb);
        wait(*submission);
        return submission->status;
    }

    // Cancels a submission that has not completed and waits for its completion.
    void cancel(Submission& submission) {
        if (!submission.completed) IoCancelIrp(submission.irp);
        wait(submission);
    }

   private:
    PDEVICE_OBJECT pdo_;
    int completions_ = 0;
};

// What a select-configuration request returned, copied out of the URB.
struct Selection {
    NTSTATUS status = STATUS_PENDING;
    USBD_CONFIGURATION_HANDLE configuration = nullptr;
    std::vector<USBD_INTERFACE_INFORMATION> interfaces;  // heads only
    std::vector<std::vector<USBD_PIPE_INFORMATION>> pipes;  // per interface

    USBD_PIPE_HANDLE pipe_for(UCHAR endpoint) const {
        for (auto& list : pipes) {
            for (auto& pipe : list) {
                if (pipe.EndpointAddress == endpoint) return pipe.PipeHandle;
            }
        }
        return nullptr;
    }
};

// Selects every interface of the configuration in alternate setting 0, as the reader's driver does.
inline Selection select_all(UrbClient& client, Packet& configuration) {
    Selection result;
    auto* descriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration.data());
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (LONG number = 0; number < 256 && list.size() < descriptor->bNumInterfaces; ++number) {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(descriptor, descriptor, number, 0, -1, -1, -1);
        if (found) list.push_back({found, nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB urb = USBD_CreateConfigurationRequestEx(descriptor, list.data());
    if (!urb) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    result.status = client.submit(urb);
    result.configuration = urb->UrbSelectConfiguration.ConfigurationHandle;
    for (size_t i = 0; list[i].InterfaceDescriptor; ++i) {
        PUSBD_INTERFACE_INFORMATION information = list[i].Interface;
        result.interfaces.push_back(*information);
        result.pipes.emplace_back(information->Pipes, information->Pipes + information->NumberOfPipes);
    }
    ExFreePool(urb);
    return result;
}

// Fails the test unless the run ended without a bug check and left no pool and no IRP behind.
inline void expect_clean(Kernel& k) {
    EXPECT_FALSE(k.bug_checked()) << k.bug_check_report();
    EXPECT_TRUE(k.live_pool().empty()) << "pool left:" << k.describe_live_pool();
    EXPECT_EQ(k.live_irps(), 0u);
}

}  // namespace sim::test
