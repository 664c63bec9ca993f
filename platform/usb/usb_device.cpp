// The simulated USB bus below one device: URB dispatch, configuration and pipes, the completion context that moves packets frame by frame, cancel, abort, unplug.
#include "usb_device.h"

#include "node_reuse.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

namespace sim {

namespace {

// Pipe, interface and configuration handles are opaque numbers from this range; they only grow,
// so a handle of an earlier configuration never becomes valid again.
constexpr uintptr_t kHandleBase = 0x5B0000000000;

Packet bytes_of(const void* buffer, ULONG length) {
    if (!buffer || length == 0) return {};
    auto* start = static_cast<const uint8_t*>(buffer);
    return Packet(start, start + length);
}

USBD_PIPE_TYPE pipe_type_of(const EndpointSpec& endpoint) {
    switch (endpoint.type & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_CONTROL: return UsbdPipeTypeControl;
        case USB_ENDPOINT_TYPE_ISOCHRONOUS: return UsbdPipeTypeIsochronous;
        case USB_ENDPOINT_TYPE_BULK: return UsbdPipeTypeBulk;
        default: return UsbdPipeTypeInterrupt;
    }
}

std::string endpoint_text(const EndpointSpec& endpoint) {
    static const char* const kinds[] = {"control", "isochronous", "bulk", "interrupt"};
    char address[8];
    std::snprintf(address, sizeof address, "0x%02X", endpoint.address);
    return std::string("pipe ") + address + " (" + kinds[endpoint.type & USB_ENDPOINT_TYPE_MASK] + " " +
           (endpoint.is_in() ? "IN" : "OUT") + ")";
}

}  // namespace

UsbDevice::UsbDevice(Kernel& kernel, UsbDeviceSpec device)
    : k_(kernel), description_(std::move(device)), handle_base_(kHandleBase), alive_(std::make_shared<bool>(true)) {
    KeInitializeSpinLock(&lock_);
    auto alive = alive_;
    Scheduler* scheduler = &k_.scheduler();
    bus_thread_ = &k_.spawn(
        "usb bus", [this, alive, scheduler] { bus_loop(this, alive, scheduler); }, true, DISPATCH_LEVEL);
}

UsbDevice::~UsbDevice() {
    // The completion context may still be parked on this object; it leaves without touching it.
    *alive_ = false;
    Scheduler& scheduler = k_.scheduler();
    if (bus_thread_->state == SimThread::State::blocked) scheduler.wake(*bus_thread_);
    // Or it is off the processor in the middle of a pass (every kernel call is a switch point), still using this
    // object: it runs to the end of the pass, where it sees the device gone, before the memory goes.
    while (in_pass_ && scheduler.in_thread() && &scheduler.current() != bus_thread_) {
        scheduler.block("USB device going: its completion context ends its pass", this, scheduler.now() + 1);
    }
}

// ---- Dispatch ------------------------------------------------------------------------------------

NTSTATUS UsbDevice::internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) {
    (void)pdo;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_NOT_SUPPORTED;
    }
    auto* urb = static_cast<PURB>(stack->Parameters.Others.Argument1);
    uint64_t id = ++request_serial_;
    if (!urb) {
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    if (!observers_.empty()) notify(event_for(BusEventKind::submitted, id, irp, urb));
    if (gone_) return complete_now(irp, urb, id, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return handle_descriptor(irp, urb, id);
        case URB_FUNCTION_SELECT_CONFIGURATION: return handle_select_configuration(irp, urb, id);
        case URB_FUNCTION_ABORT_PIPE: return handle_abort_pipe(irp, urb, id);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL: return handle_reset_pipe(irp, urb, id);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return handle_transfer(irp, urb, id);
        default: return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION);
    }
}

NTSTATUS UsbDevice::complete_now(PIRP irp, PURB urb, uint64_t id, NTSTATUS status, USBD_STATUS usbd_status) {
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.id = id;
    completion.status = status;
    completion.usbd_status = usbd_status;
    finish(completion);
    return status;
}

NTSTATUS UsbDevice::handle_descriptor(PIRP irp, PURB urb, uint64_t id) {
    auto& request = urb->UrbControlDescriptorRequest;
    // Buffers described only by an MDL are not modelled: the simulation has no MDLs.
    if (urb->UrbHeader.Length != sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) ||
        (!request.TransferBuffer && request.TransferBufferLength != 0)) {
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    if (k_.should_fail(FaultSite::bus_transfer)) {
        request.TransferBufferLength = 0;
        return complete_now(irp, urb, id, STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING);
    }
    Packet source;
    if (request.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE && request.Index == 0) {
        source = description_.device_descriptor();
    } else if (request.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE && request.Index == 0) {
        source = description_.configuration_descriptor();
    } else {
        // The device has no such descriptor and stalls the control pipe.
        request.TransferBufferLength = 0;
        return complete_now(irp, urb, id, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID);
    }
    auto moved = static_cast<ULONG>(std::min<size_t>(request.TransferBufferLength, source.size()));
    if (moved) std::memcpy(request.TransferBuffer, source.data(), moved);
    request.TransferBufferLength = moved;
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.id = id;
    completion.wire = Packet(source.begin(), source.begin() + moved);
    finish(completion);
    return STATUS_SUCCESS;
}

NTSTATUS UsbDevice::handle_select_configuration(PIRP irp, PURB urb, uint64_t id) {
    auto& select = urb->UrbSelectConfiguration;
    const size_t first = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    const size_t length = urb->UrbHeader.Length;
    if (length < first) return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    if (!select.ConfigurationDescriptor) {
        KIRQL old;
        KeAcquireSpinLock(&lock_, &old);
        stop_if_transfers_pending(old, "URB_FUNCTION_SELECT_CONFIGURATION with no configuration descriptor "
                                       "(the device set to its unconfigured state)");
        unconfigure_locked();
        KeReleaseSpinLock(&lock_, old);
        kick();
        if (peripheral_) peripheral_->on_configured(false);
        return complete_now(irp, urb, id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
    }

    PUSB_CONFIGURATION_DESCRIPTOR descriptor = select.ConfigurationDescriptor;
    if (descriptor->bConfigurationValue != description_.configuration_value) {
        return complete_now(irp, urb, id, STATUS_UNSUCCESSFUL, USBD_STATUS_SET_CONFIG_FAILED);
    }
    // As many interface informations as the configuration announces, each as long as its Length
    // says; a request that ends early carries fewer (the announced ones may not all exist).
    struct Choice {
        PUSBD_INTERFACE_INFORMATION information;
        const InterfaceSpec* interface;
    };
    std::vector<Choice> choices;
    size_t offset = first;
    for (int i = 0; i < descriptor->bNumInterfaces && offset < length; ++i) {
        if (offset + offsetof(USBD_INTERFACE_INFORMATION, Pipes) > length) {
            return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
        }
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        const InterfaceSpec* interface = description_.find_interface(information->InterfaceNumber, information->AlternateSetting);
        if (!interface) {
            return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INTERFACE_NOT_FOUND);
        }
        if (information->Length < GET_USBD_INTERFACE_SIZE(interface->endpoints.size()) ||
            offset + information->Length > length) {
            return complete_now(irp, urb, id, STATUS_BUFFER_TOO_SMALL, USBD_STATUS_BUFFER_TOO_SMALL);
        }
        choices.push_back({information, interface});
        offset += information->Length;
    }
    if (choices.empty()) return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);

    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    stop_if_transfers_pending(old, "URB_FUNCTION_SELECT_CONFIGURATION of configuration " +
                                       std::to_string(descriptor->bConfigurationValue) +
                                       " (the pipes of the configuration in force are closed)");
    unconfigure_locked();
    for (const Choice& choice : choices) {
        PUSBD_INTERFACE_INFORMATION information = choice.information;
        information->Class = choice.interface->class_code;
        information->SubClass = choice.interface->subclass;
        information->Protocol = choice.interface->protocol;
        information->Reserved = 0;
        information->InterfaceHandle = new_handle();
        information->NumberOfPipes = static_cast<ULONG>(choice.interface->endpoints.size());
        PUSBD_PIPE_INFORMATION pipes = information->Pipes;
        for (size_t i = 0; i < choice.interface->endpoints.size(); ++i) {
            const EndpointSpec& endpoint = choice.interface->endpoints[i];
            Pipe pipe;
            pipe.handle = new_handle();
            pipe.endpoint = endpoint;
            pipes[i].MaximumPacketSize = endpoint.max_packet_size;
            pipes[i].EndpointAddress = endpoint.address;
            pipes[i].Interval = endpoint.interval;
            pipes[i].PipeType = pipe_type_of(endpoint);
            pipes[i].PipeHandle = pipe.handle;
            pipes_[pipe.handle] = std::move(pipe);
        }
    }
    configuration_handle_ = new_handle();
    select.ConfigurationHandle = configuration_handle_;
    configured_ = true;
    KeReleaseSpinLock(&lock_, old);
    kick();
    if (peripheral_) peripheral_->on_configured(true);
    return complete_now(irp, urb, id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS UsbDevice::handle_abort_pipe(PIRP irp, PURB urb, uint64_t id) {
    if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    Pipe* pipe = find_pipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) {
        KeReleaseSpinLock(&lock_, old);
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    // The aborted transfers complete first, then the abort itself, all from the bus's context.
    claim_all(*pipe, STATUS_CANCELLED, USBD_STATUS_CANCELED);
    Completion completion;
    completion.irp = irp;
    completion.urb = urb;
    completion.id = id;
    completion.endpoint = pipe->endpoint;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    completions_.push_back(std::move(completion));
    KeReleaseSpinLock(&lock_, old);
    kick();
    return STATUS_PENDING;
}

NTSTATUS UsbDevice::handle_reset_pipe(PIRP irp, PURB urb, uint64_t id) {
    if (urb->UrbHeader.Length != sizeof(struct _URB_PIPE_REQUEST)) {
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    // Endpoints never stall here, so there is nothing to clear.
    if (!find_pipe(urb->UrbPipeRequest.PipeHandle)) {
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    return complete_now(irp, urb, id, STATUS_SUCCESS, USBD_STATUS_SUCCESS);
}

NTSTATUS UsbDevice::handle_transfer(PIRP irp, PURB urb, uint64_t id) {
    auto& transfer = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length != sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) ||
        (!transfer.TransferBuffer && transfer.TransferBufferLength != 0)) {
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER);
    }
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    if (gone_) {
        // Unplugged while this request was on its way in: the unplug has already failed what was queued, and a
        // transfer queued now would never be served.
        KeReleaseSpinLock(&lock_, old);
        return complete_now(irp, urb, id, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    }
    Pipe* pipe = find_pipe(transfer.PipeHandle);
    if (!pipe) {
        KeReleaseSpinLock(&lock_, old);
        return complete_now(irp, urb, id, STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    // The direction comes from the endpoint, as the host controller takes it; the flag is only
    // reported to observers.
    Transfer record;
    record.id = id;
    record.urb = urb;
    record.pipe = pipe->handle;
    record.doomed = k_.should_fail(FaultSite::bus_transfer);
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    irp->Tail.Overlay.DriverContext[0] = this;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, &UsbDevice::cancel_transfer);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr)) {
        // Cancelled before it could be queued; a cancel routine that already took over finds it queued.
        transfer.TransferBufferLength = 0;
        Completion completion;
        completion.irp = irp;
        completion.urb = urb;
        completion.id = id;
        completion.status = STATUS_CANCELLED;
        completion.usbd_status = USBD_STATUS_CANCELED;
        completion.endpoint = pipe->endpoint;
        completions_.push_back(std::move(completion));
    } else {
        insert_reusing(transfers_, spare_transfer_nodes_, irp, record);
        pipe->queue.push_back(irp);
    }
    KeReleaseSpinLock(&lock_, old);
    kick();
    return STATUS_PENDING;
}

VOID NTAPI UsbDevice::cancel_transfer(PDEVICE_OBJECT device, PIRP irp) {
    (void)device;
    auto* self = static_cast<UsbDevice*>(irp->Tail.Overlay.DriverContext[0]);
    IoReleaseCancelSpinLock(irp->CancelIrql);
    KIRQL old;
    KeAcquireSpinLock(&self->lock_, &old);
    auto found = self->transfers_.find(irp);
    if (found == self->transfers_.end()) {
        // Cannot happen: whoever takes a transfer out of its queue first clears its cancel routine.
        KeReleaseSpinLock(&self->lock_, old);
        return;
    }
    if (self->cancel_delivery_ == CancelDelivery::next_frame) {
        // Off its FIFO now, so the pipe's next transfer may go; completed when the next frame begins.
        Transfer& cancelled = found->second;
        if (Pipe* pipe = self->find_pipe(cancelled.pipe)) {
            auto position = std::find(pipe->queue.begin(), pipe->queue.end(), irp);
            if (position != pipe->queue.end()) pipe->queue.erase(position);
        }
        cancelled.cancel_due = (self->k_.now() / kFrame + 1) * kFrame;
        self->cancelling_.push_back(irp);
        KeReleaseSpinLock(&self->lock_, old);
        self->kick();
        return;
    }
    Transfer transfer = found->second;
    self->remove_transfer(irp);
    Completion completion;
    completion.irp = irp;
    completion.urb = transfer.urb;
    completion.id = transfer.id;
    completion.status = STATUS_CANCELLED;
    completion.usbd_status = USBD_STATUS_CANCELED;
    if (Pipe* pipe = self->find_pipe(transfer.pipe)) completion.endpoint = pipe->endpoint;
    KeReleaseSpinLock(&self->lock_, old);
    transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
    self->kick();  // the pipe's next transfer may now be at the head
    self->finish(completion);
}

// ---- Plug and Play and power ------------------------------------------------------------------------

void UsbDevice::on_started() { started_ = true; }

void UsbDevice::on_stopped() {
    started_ = false;
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    stop_if_transfers_pending(old, "IRP_MN_STOP_DEVICE or IRP_MN_REMOVE_DEVICE at the bus driver (the "
                                   "configuration dropped)");
    unconfigure_locked();
    KeReleaseSpinLock(&lock_, old);
    kick();
    if (peripheral_) peripheral_->on_configured(false);
}

void UsbDevice::on_unplugged() {
    KIRQL old;
    KeAcquireSpinLock(&lock_, &old);
    gone_ = true;
    for (auto& [handle, pipe] : pipes_) claim_all(pipe, STATUS_NO_SUCH_DEVICE, USBD_STATUS_DEVICE_GONE);
    endpoints_.clear();
    KeReleaseSpinLock(&lock_, old);
    kick();
    if (peripheral_) peripheral_->on_unplugged();
}

void UsbDevice::on_power(DEVICE_POWER_STATE state) {
    power_ = state;
    kick();
    if (peripheral_) peripheral_->on_power(state);
}

void UsbDevice::set_timing(BusTiming timing) {
    timing_ = timing;
    kick();
}

// ---- Device side ----------------------------------------------------------------------------------

void UsbDevice::device_send(UCHAR endpoint, Packet packet) {
    if (gone_) return;
    buffer(endpoint).in.push_back(std::move(packet));
    kick();
}

std::optional<Packet> UsbDevice::device_take(UCHAR endpoint) {
    EndpointBuffer& endpoint_buffer = buffer(endpoint);
    if (endpoint_buffer.out.empty()) return std::nullopt;
    Packet packet = std::move(endpoint_buffer.out.front());
    endpoint_buffer.out.pop_front();
    kick();  // room for the next OUT packet
    return packet;
}

void UsbDevice::set_out_accepting(UCHAR endpoint, bool accepting) {
    buffer(endpoint).accepting = accepting;
    kick();
}

void UsbDevice::set_out_capacity(UCHAR endpoint, size_t packets) {
    buffer(endpoint).capacity = packets;
    kick();
}

size_t UsbDevice::in_backlog(UCHAR endpoint) const {
    auto it = endpoints_.find(endpoint);
    return it == endpoints_.end() ? 0 : it->second.in.size();
}

size_t UsbDevice::queued_transfers(UCHAR endpoint) const {
    size_t count = 0;
    for (auto& [handle, pipe] : pipes_) {
        if (pipe.endpoint.address == endpoint) count += pipe.queue.size();
    }
    return count;
}

// ---- The bus's completion context ----------------------------------------------------------------

void UsbDevice::bus_loop(UsbDevice* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler) {
    for (;;) {
        if (!*alive) return;
        self->work_ = false;
        self->in_pass_ = true;
        VirtualTime next = self->service(alive);
        self->in_pass_ = false;  // a destructor that waits for the pass keeps the object until here
        if (!*alive) return;  // the device went away while a completion routine or the firmware ran
        if (self->work_) continue;
        if (scheduler->block("USB bus completion context", self, next) == WakeReason::stopping) return;
    }
}

VirtualTime UsbDevice::service(const std::shared_ptr<bool>& alive) {
    for (;;) {
        VirtualTime next = kNever;
        std::vector<UCHAR> delivered;
        std::optional<Completion> completion;
        KeAcquireSpinLockAtDpcLevel(&lock_);
        complete_due_cancels(next);
        if (power_ == PowerDeviceD0 && !gone_) run_transactions(next, delivered);
        if (!completions_.empty()) {
            completion = std::move(completions_.front());
            completions_.pop_front();
        }
        KeReleaseSpinLockFromDpcLevel(&lock_);
        if (peripheral_) {
            for (UCHAR endpoint : delivered) {
                peripheral_->on_out_packet(endpoint);
                if (!*alive) return kNever;
            }
        }
        if (!completion) return next;
        finish(*completion);
        // A completion routine may wait, and the device may be destroyed meanwhile: nothing of it is touched then.
        if (!*alive) return kNever;
    }
}

void UsbDevice::complete_due_cancels(VirtualTime& next) {
    if (cancelling_.empty()) return;
    VirtualTime now = k_.now();
    std::vector<PIRP> waiting;
    for (PIRP irp : cancelling_) {
        auto found = transfers_.find(irp);
        Transfer& transfer = found->second;
        if (transfer.cancel_due > now) {
            next = std::min(next, transfer.cancel_due);
            waiting.push_back(irp);
            continue;
        }
        transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Completion completion;
        completion.irp = irp;
        completion.urb = transfer.urb;
        completion.id = transfer.id;
        completion.status = STATUS_CANCELLED;
        completion.usbd_status = USBD_STATUS_CANCELED;
        if (Pipe* pipe = find_pipe(transfer.pipe)) completion.endpoint = pipe->endpoint;
        completions_.push_back(std::move(completion));
        keep_node(spare_transfer_nodes_, transfers_.extract(found));
    }
    cancelling_ = std::move(waiting);
}

void UsbDevice::run_transactions(VirtualTime& next, std::vector<UCHAR>& delivered) {
    VirtualTime now = k_.now();
    for (auto& [handle, pipe] : pipes_) {
        while (!pipe.queue.empty()) {
            PIRP irp = pipe.queue.front();
            auto found = transfers_.find(irp);
            Transfer& transfer = found->second;
            const EndpointBuffer& endpoint_buffer = buffer(pipe.endpoint.address);
            bool ready = transfer.doomed ||
                         (pipe.endpoint.is_in() ? !endpoint_buffer.in.empty()
                                                : endpoint_buffer.accepting &&
                                                      endpoint_buffer.out.size() < endpoint_buffer.capacity);
            if (!ready) {
                transfer.slot_end = -1;  // NAKed; it gets a new slot when the device is ready
                break;
            }
            if (transfer.slot_end < 0) transfer.slot_end = reserve_slot(pipe);
            if (transfer.slot_end > now) {
                next = std::min(next, transfer.slot_end);
                break;
            }
            // A transfer whose cancel routine has been taken belongs to that routine.
            if (!IoSetCancelRoutine(irp, nullptr)) break;
            pipe.queue.pop_front();
            Transfer taken = transfer;
            keep_node(spare_transfer_nodes_, transfers_.extract(found));
            perform(pipe, irp, taken, delivered);
        }
    }
}

VirtualTime UsbDevice::reserve_slot(Pipe& pipe) {
    VirtualTime now = k_.now();
    if (timing_ == BusTiming::fast) return now;
    if (frames_on_demand_) {
        bool idle = true;
        for (auto& [handle, other] : pipes_) idle = idle && frame_origin_ + other.next_frame * kFrame <= now;
        if (idle) {
            frame_origin_ = now;
            for (auto& [handle, other] : pipes_) other.next_frame = 0;
        }
    }
    // The first frame that starts at or after now and in which the endpoint is free.
    int64_t frame = std::max<int64_t>((now - frame_origin_ + kFrame - 1) / kFrame, pipe.next_frame);
    pipe.next_frame = frame + 1;
    return frame_origin_ + (frame + 1) * kFrame;
}

void UsbDevice::perform(Pipe& pipe, PIRP irp, Transfer& transfer, std::vector<UCHAR>& delivered) {
    auto& bulk = transfer.urb->UrbBulkOrInterruptTransfer;
    auto* bytes = static_cast<uint8_t*>(bulk.TransferBuffer);
    // One transaction per transfer: never more than the buffer the URB names, nor than a packet.
    ULONG limit = std::min<ULONG>(bulk.TransferBufferLength, pipe.endpoint.max_packet_size);
    Completion completion;
    completion.irp = irp;
    completion.urb = transfer.urb;
    completion.id = transfer.id;
    completion.endpoint = pipe.endpoint;
    EndpointBuffer& endpoint_buffer = buffer(pipe.endpoint.address);
    if (transfer.doomed) {
        bulk.TransferBufferLength = 0;
        completion.status = STATUS_UNSUCCESSFUL;
        completion.usbd_status = USBD_STATUS_DEV_NOT_RESPONDING;
    } else if (pipe.endpoint.is_in()) {
        Packet packet = std::move(endpoint_buffer.in.front());
        endpoint_buffer.in.pop_front();
        auto moved = static_cast<ULONG>(std::min<size_t>(packet.size(), limit));
        const bool overrun = packet.size() > limit;
        if (moved) std::memcpy(bytes, packet.data(), moved);
        bulk.TransferBufferLength = moved;
        if (!observers_.empty()) {
            packet.resize(moved);
            completion.wire = std::move(packet);
        }
        if (overrun) {
            // The device sent more than the transfer could take.
            completion.status = STATUS_UNSUCCESSFUL;
            completion.usbd_status = USBD_STATUS_DATA_OVERRUN;
        }
    } else {
        Packet packet = bytes_of(bytes, limit);
        if (!observers_.empty()) completion.wire = packet;
        endpoint_buffer.out.push_back(std::move(packet));
        delivered.push_back(pipe.endpoint.address);
        bulk.TransferBufferLength = limit;
    }
    completions_.push_back(std::move(completion));
}

void UsbDevice::finish(const Completion& completion) {
    completion.urb->UrbHeader.Status = completion.usbd_status;
    completion.irp->IoStatus.Status = completion.status;
    completion.irp->IoStatus.Information = 0;
    if (observers_.empty()) {
        IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
        return;
    }
    const EndpointSpec* endpoint = completion.endpoint ? &*completion.endpoint : nullptr;
    if (completion.wire) {
        BusEvent packet = event_for(BusEventKind::packet, completion.id, completion.irp, completion.urb, endpoint);
        packet.data = *completion.wire;
        notify(packet);
    }
    BusEvent done = event_for(BusEventKind::completed, completion.id, completion.irp, completion.urb, endpoint);
    done.status = completion.status;
    done.usbd_status = completion.usbd_status;
    if (completion.wire && done.device_to_host) done.data = *completion.wire;
    notify(done);
    IoCompleteRequest(completion.irp, IO_NO_INCREMENT);
}

// ---- Queues ----------------------------------------------------------------------------------------

void UsbDevice::claim_all(Pipe& pipe, NTSTATUS status, USBD_STATUS usbd_status) {
    std::deque<PIRP> kept;
    for (PIRP irp : pipe.queue) {
        if (!IoSetCancelRoutine(irp, nullptr)) {
            kept.push_back(irp);  // its cancel routine is on the way and completes it
            continue;
        }
        auto found = transfers_.find(irp);
        Transfer transfer = found->second;
        keep_node(spare_transfer_nodes_, transfers_.extract(found));
        transfer.urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        Completion completion;
        completion.irp = irp;
        completion.urb = transfer.urb;
        completion.id = transfer.id;
        completion.status = status;
        completion.usbd_status = usbd_status;
        completion.endpoint = pipe.endpoint;
        completions_.push_back(std::move(completion));
    }
    pipe.queue = std::move(kept);
}

std::string UsbDevice::pending_transfers_locked() const {
    std::string list;
    size_t total = 0;
    for (const auto& [handle, pipe] : pipes_) {
        size_t count = 0;
        for (PIRP irp : pipe.queue) {
            // A transfer whose cancel routine has been taken is being cancelled: the routine only waits for this
            // lock and then, with at_once delivery, completes it inside the canceller's IoCancelIrp. It is as good
            // as completed. With next_frame delivery the routine moves it to cancelling_, counted below.
            if (irp->Cancel && !irp->CancelRoutine && cancel_delivery_ == CancelDelivery::at_once) continue;
            ++count;
        }
        // Cancelled, but not completed yet: the client has not seen them end.
        size_t cancelling = 0;
        for (PIRP irp : cancelling_) {
            if (transfers_.at(irp).pipe == handle) ++cancelling;
        }
        if (count + cancelling == 0) continue;
        total += count + cancelling;
        if (!list.empty()) list += ", ";
        list += endpoint_text(pipe.endpoint) + ": " + std::to_string(count + cancelling) + " transfer(s)";
        if (cancelling) list += " (" + std::to_string(cancelling) + " cancelled, their completion not delivered yet)";
    }
    if (total == 0) return {};
    return std::to_string(total) + " transfer(s) not completed: " + list;
}

void UsbDevice::stop_if_transfers_pending(KIRQL old_irql, const std::string& change) {
    std::string pending = pending_transfers_locked();
    if (pending.empty()) return;
    KeReleaseSpinLock(&lock_, old_irql);
    k_.bug_check("USB_TRANSFERS_PENDING_AT_CONFIGURATION_CHANGE",
                 change + " with " + pending +
                     "; the client must abort its pipes (URB_FUNCTION_ABORT_PIPE) or cancel its transfers, and wait "
                     "for their completion, before the configuration changes or goes");
}

void UsbDevice::unconfigure_locked() {
    // stop_if_transfers_pending has let through only transfers whose cancel routine is on its way; they stay in
    // transfers_, where that routine finds and completes them once the pipes are gone.
    pipes_.clear();
    configured_ = false;
    configuration_handle_ = nullptr;
}

bool UsbDevice::remove_transfer(PIRP irp) {
    auto found = transfers_.find(irp);
    if (found == transfers_.end()) return false;
    if (Pipe* pipe = find_pipe(found->second.pipe)) {
        auto position = std::find(pipe->queue.begin(), pipe->queue.end(), irp);
        if (position != pipe->queue.end()) pipe->queue.erase(position);
    }
    keep_node(spare_transfer_nodes_, transfers_.extract(found));
    return true;
}

UsbDevice::Pipe* UsbDevice::find_pipe(USBD_PIPE_HANDLE handle) {
    auto found = pipes_.find(handle);
    return found == pipes_.end() ? nullptr : &found->second;
}

void UsbDevice::kick() {
    work_ = true;
    if (bus_thread_->state == SimThread::State::blocked && bus_thread_->wait_object == this) {
        k_.scheduler().wake(*bus_thread_);
    }
}

// ---- Observers -------------------------------------------------------------------------------------

int UsbDevice::add_observer(BusObserver observer) {
    int id = next_observer_++;
    observers_[id] = std::move(observer);
    return id;
}

void UsbDevice::remove_observer(int id) { observers_.erase(id); }

void UsbDevice::notify(const BusEvent& event) {
    if (observers_.empty()) return;
    auto snapshot = observers_;  // an observer may add or remove observers
    for (auto& [id, observer] : snapshot) observer(event);
}

BusEvent UsbDevice::event_for(BusEventKind kind, uint64_t id, PIRP irp, PURB urb, const EndpointSpec* endpoint) {
    BusEvent event;
    event.kind = kind;
    event.time = k_.now();
    event.id = id;
    event.irp = irp;
    event.urb = urb;
    event.function = urb->UrbHeader.Function;
    bool submitted = kind == BusEventKind::submitted;
    auto take_endpoint = [&](USBD_PIPE_HANDLE handle) {
        const EndpointSpec* known = endpoint;
        if (!known) {
            if (Pipe* pipe = find_pipe(handle)) known = &pipe->endpoint;
        }
        if (known) {
            event.endpoint = known->address;
            event.pipe_type = pipe_type_of(*known);
            event.device_to_host = known->is_in();
        }
    };
    switch (event.function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: {
            auto& request = urb->UrbControlDescriptorRequest;
            event.device_to_host = true;
            if (submitted) {
                event.requested_length = request.TransferBufferLength;
                event.setup = std::array<uint8_t, 8>{0x80,
                                                     0x06,  // GET_DESCRIPTOR
                                                     request.Index,
                                                     request.DescriptorType,
                                                     static_cast<uint8_t>(request.LanguageId & 0xFF),
                                                     static_cast<uint8_t>(request.LanguageId >> 8),
                                                     static_cast<uint8_t>(request.TransferBufferLength & 0xFF),
                                                     static_cast<uint8_t>((request.TransferBufferLength >> 8) & 0xFF)};
            }
            break;
        }
        case URB_FUNCTION_SELECT_CONFIGURATION: {
            if (submitted && urb->UrbHeader.Length >= offsetof(struct _URB_SELECT_CONFIGURATION, Interface)) {
                auto* descriptor = urb->UrbSelectConfiguration.ConfigurationDescriptor;
                UCHAR value = descriptor ? descriptor->bConfigurationValue : 0;
                event.setup = std::array<uint8_t, 8>{0x00, 0x09 /* SET_CONFIGURATION */, value, 0, 0, 0, 0, 0};
            }
            break;
        }
        case URB_FUNCTION_ABORT_PIPE:
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
            take_endpoint(urb->UrbPipeRequest.PipeHandle);
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
            auto& transfer = urb->UrbBulkOrInterruptTransfer;
            take_endpoint(transfer.PipeHandle);
            if (submitted) {
                event.requested_length = transfer.TransferBufferLength;
                if (!event.device_to_host) event.data = bytes_of(transfer.TransferBuffer, transfer.TransferBufferLength);
            }
            break;
        }
        default:
            break;
    }
    return event;
}

}  // namespace sim
