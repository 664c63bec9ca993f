// The fake smart card reader's device, callbacks and application-side I/O controls.
#include "fake_reader.h"

#include <gtest/gtest.h>

namespace sim::test {

namespace {

FakeReader& reader_of(PSMARTCARD_EXTENSION extension) {
    return *CONTAINING_RECORD(extension, ReaderDevice, smartcard)->reader;
}

template <int Index>
NTSTATUS NTAPI callback(PSMARTCARD_EXTENSION extension) {
    FakeReader& r = reader_of(extension);
    ++r.calls[Index];
    CallbackView& view = r.seen[Index];
    view.major = extension->MajorIoControlCode;
    view.minor = extension->MinorIoControlCode;
    view.request = extension->IoRequest.RequestBuffer;
    view.request_length = extension->IoRequest.RequestBufferLength;
    view.reply = extension->IoRequest.ReplyBuffer;
    view.reply_length = extension->IoRequest.ReplyBufferLength;
    view.has_information = extension->IoRequest.Information != nullptr;
    view.current_irp = extension->OsData->CurrentIrp;
    return r.behaviour[Index] ? r.behaviour[Index](extension) : STATUS_SUCCESS;
}

template <int... Index>
void install_callbacks(PSMARTCARD_EXTENSION extension, std::integer_sequence<int, Index...>) {
    ((extension->ReaderFunction[Index] = &callback<Index>), ...);
}

NTSTATUS NTAPI dispatch_device_control(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<ReaderDevice*>(device->DeviceExtension);
    return SmartcardDeviceControl(&extension->smartcard, irp);
}

NTSTATUS NTAPI reader_driver_entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &dispatch_device_control;
    return STATUS_SUCCESS;
}

VOID NTAPI cancel_tracking_request(PDEVICE_OBJECT device, PIRP irp) {
    auto* extension = static_cast<ReaderDevice*>(device->DeviceExtension);
    extension->smartcard.OsData->NotificationIrp = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

template <typename Text>
void set_text(Text& text, const char* value) {
    text.Length = static_cast<USHORT>(std::strlen(value));
    std::memcpy(text.Buffer, value, text.Length);
}

}  // namespace

std::vector<UCHAR> ulong_bytes(ULONG value) {
    std::vector<UCHAR> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
}

ULONG ulong_at(const std::vector<UCHAR>& bytes) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
}

FakeReader::FakeReader(Kernel& kernel) : k(kernel) {
    driver = k.load_driver("fake reader", &reader_driver_entry);
    IoCreateDevice(driver, sizeof(ReaderDevice), nullptr, FILE_DEVICE_SMARTCARD, 0, FALSE, &device);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    auto* extension = static_cast<ReaderDevice*>(device->DeviceExtension);
    extension->reader = this;
    ext = &extension->smartcard;

    ext->Version = SMCLIB_VERSION;
    ext->SmartcardRequest.BufferSize = MIN_BUFFER_SIZE;
    ext->SmartcardReply.BufferSize = MIN_BUFFER_SIZE;
    set_text(ext->VendorAttr.VendorName, "Tavelo");
    set_text(ext->VendorAttr.IfdType, "Q-ward");
    ext->VendorAttr.UnitNo = 2;
    auto& caps = ext->ReaderCapabilities;
    caps.SupportedProtocols = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1;
    caps.ReaderType = SCARD_READER_TYPE_USB;
    caps.Channel = 2;
    caps.CLKFrequency.Default = 4000;
    caps.CLKFrequency.Max = 4000;
    caps.DataRate.Default = 10752;
    caps.DataRate.Max = 10752;
    caps.MaxIFSD = 254;
    caps.CurrentState = SCARD_ABSENT;
    install_callbacks(ext, std::make_integer_sequence<int, 10>{});
    behaviour[RDF_CARD_TRACKING] = &arm_tracking_request;

    init_status = SmartcardInitialize(ext);
    if (NT_SUCCESS(init_status)) ext->OsData->DeviceObject = device;
}

FakeReader::~FakeReader() {
    if (k.bug_checked()) return;
    POS_DEP_DATA os = ext->OsData;
    bool exit_allowed = !os || (!os->NotificationIrp && os->RemoveLock.RefCount == (os->RemoveLock.Removed ? 0 : 1));
    if (exit_allowed) SmartcardExit(ext);
    IoDeleteDevice(device);
}

std::shared_ptr<IoctlResult> FakeReader::ioctl(ULONG code, const std::vector<UCHAR>& input, ULONG output_length) {
    auto result = std::make_shared<IoctlResult>();
    auto input_length = static_cast<ULONG>(input.size());
    result->system_buffer.assign(std::max(input_length, output_length), 0xA5);
    std::copy(input.begin(), input.end(), result->system_buffer.begin());

    PIRP irp = k.allocate_irp(device->StackSize, IrpOrigin::host);
    irp->AssociatedIrp.SystemBuffer = result->system_buffer.empty() ? nullptr : result->system_buffer.data();
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    stack->Parameters.DeviceIoControl.IoControlCode = code;
    stack->Parameters.DeviceIoControl.InputBufferLength = input_length;
    stack->Parameters.DeviceIoControl.OutputBufferLength = output_length;
    k.irp_record(irp, "test ioctl").on_complete = [result, output_length](PIRP done) {
        result->completed = true;
        result->status = done->IoStatus.Status;
        result->information = done->IoStatus.Information;
        size_t n = std::min<size_t>(done->IoStatus.Information, output_length);
        result->output.assign(result->system_buffer.begin(), result->system_buffer.begin() + n);
        result->irp = nullptr;
        IoFreeIrp(done);
    };
    result->irp = irp;
    result->returned = IoCallDriver(device, irp);
    return result;
}

void FakeReader::set_state(ULONG state) {
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ext->OsData->SpinLock);
    ext->ReaderCapabilities.CurrentState = state;
    KeReleaseSpinLock(&ext->OsData->SpinLock, irql);
}

void FakeReader::card_ready(ULONG selected, ULONG supported) {
    ext->CardCapabilities.Protocol.Supported = supported;
    ext->CardCapabilities.Protocol.Selected = selected;
    set_state(selected == SCARD_PROTOCOL_UNDEFINED ? SCARD_PRESENT : SCARD_SPECIFIC);
}

void FakeReader::card_event(ULONG state) {
    set_state(state);
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    KeAcquireSpinLockAtDpcLevel(&ext->OsData->SpinLock);
    PIRP irp = ext->OsData->NotificationIrp;
    ext->OsData->NotificationIrp = nullptr;
    KeReleaseSpinLockFromDpcLevel(&ext->OsData->SpinLock);
    if (irp) IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(cancel_irql);
    if (!irp) return;
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS FakeReader::arm_tracking_request(PSMARTCARD_EXTENSION extension) {
    KIRQL cancel_irql;
    IoAcquireCancelSpinLock(&cancel_irql);
    KeAcquireSpinLockAtDpcLevel(&extension->OsData->SpinLock);
    if (PIRP irp = extension->OsData->NotificationIrp) {
        IoSetCancelRoutine(irp, &cancel_tracking_request);
        IoMarkIrpPending(irp);
    }
    KeReleaseSpinLockFromDpcLevel(&extension->OsData->SpinLock);
    IoReleaseCancelSpinLock(cancel_irql);
    return STATUS_PENDING;
}

}  // namespace sim::test

namespace sim::test {

void run_clean(Kernel& k, std::function<void()> body) {
    RunOutcome outcome = k.run_thread("app", std::move(body));
    EXPECT_EQ(outcome, RunOutcome::completed) << k.bug_check_report() << k.scheduler().deadlock_report();
    EXPECT_FALSE(k.bug_checked()) << k.bug_check_report();
}

}  // namespace sim::test
