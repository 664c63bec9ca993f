// Host-side IRPs: allocation, sending, completion bookkeeping and waiting in virtual time.
#include "host_request.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

std::string pnp_minor_name(UCHAR minor) {
    switch (minor) {
        case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
        case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
        case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
        case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
        case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
        case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
        case IRP_MN_CANCEL_STOP_DEVICE: return "IRP_MN_CANCEL_STOP_DEVICE";
        case IRP_MN_QUERY_DEVICE_RELATIONS: return "IRP_MN_QUERY_DEVICE_RELATIONS";
        case IRP_MN_QUERY_INTERFACE: return "IRP_MN_QUERY_INTERFACE";
        case IRP_MN_QUERY_CAPABILITIES: return "IRP_MN_QUERY_CAPABILITIES";
        case IRP_MN_QUERY_RESOURCES: return "IRP_MN_QUERY_RESOURCES";
        case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return "IRP_MN_QUERY_RESOURCE_REQUIREMENTS";
        case IRP_MN_QUERY_DEVICE_TEXT: return "IRP_MN_QUERY_DEVICE_TEXT";
        case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return "IRP_MN_FILTER_RESOURCE_REQUIREMENTS";
        case IRP_MN_QUERY_ID: return "IRP_MN_QUERY_ID";
        case IRP_MN_QUERY_PNP_DEVICE_STATE: return "IRP_MN_QUERY_PNP_DEVICE_STATE";
        case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    }
    char text[32];
    std::snprintf(text, sizeof text, "IRP_MN_0x%02X", minor);
    return text;
}

std::string power_minor_name(UCHAR minor) {
    switch (minor) {
        case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
        case IRP_MN_POWER_SEQUENCE: return "IRP_MN_POWER_SEQUENCE";
        case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
        case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
    }
    char text[32];
    std::snprintf(text, sizeof text, "IRP_MN_0x%02X", minor);
    return text;
}

std::string major_name(UCHAR major) {
    switch (major) {
        case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
        case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
        case IRP_MJ_READ: return "IRP_MJ_READ";
        case IRP_MJ_WRITE: return "IRP_MJ_WRITE";
        case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
        case IRP_MJ_SHUTDOWN: return "IRP_MJ_SHUTDOWN";
        case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
        case IRP_MJ_POWER: return "IRP_MJ_POWER";
        case IRP_MJ_SYSTEM_CONTROL: return "IRP_MJ_SYSTEM_CONTROL";
        case IRP_MJ_PNP: return "IRP_MJ_PNP";
    }
    char text[32];
    std::snprintf(text, sizeof text, "IRP_MJ_0x%02X", major);
    return text;
}

HostRequest::HostRequest(Kernel& k, PDEVICE_OBJECT target, std::string what)
    : k_(k), target_(target), what_(std::move(what)) {}

std::shared_ptr<HostRequest> HostRequest::create(Kernel& k, PDEVICE_OBJECT target, std::string what,
                                                 NTSTATUS preset) {
    if (!k.find_device(target)) {
        k.bug_check("INVALID_DEVICE_OBJECT", what + " addressed to an unknown or deleted device");
    }
    auto request = std::make_shared<HostRequest>(k, target, std::move(what));
    PIRP irp = k.allocate_irp(target->StackSize, IrpOrigin::host);
    if (!irp) {
        std::fprintf(stderr, "sim: out of memory for a host IRP\n");
        std::abort();
    }
    irp->IoStatus.Status = preset;
    irp->IoStatus.Information = 0;
    IrpRecord& record = k.irp_record(irp, "host request");
    request->irp_ = irp;
    request->serial_ = record.serial;
    // The record holds the request until the completion reaches the top; an IRP that never
    // completes keeps it alive until the kernel goes, which is what makes it visible.
    record.on_complete = [request](PIRP done) { request->finish(done); };
    return request;
}

PIO_STACK_LOCATION HostRequest::location() const {
    if (!irp_ || sent_) {
        std::fprintf(stderr, "sim: %s: the stack location is filled before the request is sent\n", what_.c_str());
        std::abort();
    }
    return IoGetNextIrpStackLocation(irp_);
}

NTSTATUS HostRequest::send() {
    if (sent_) k_.bug_check("HOST_REQUEST_SENT_TWICE", what_ + " sent twice");
    sent_ = true;
    sent_at_ = k_.now();
    auto keep = shared_from_this();  // the completion may drop the record's reference mid-call
    dispatch_status_ = k_.call_driver(target_, irp_, "I/O manager");
    if (dispatch_status_ != STATUS_PENDING && !finished_) {
        k_.bug_check("IRP_NOT_COMPLETED", what_ + " (IRP #" + std::to_string(serial_) +
                                              "): the dispatch routine returned " + status_name(dispatch_status_) +
                                              " without completing the IRP and without STATUS_PENDING");
    }
    return dispatch_status_;
}

bool HostRequest::wait(VirtualTime deadline) {
    Scheduler& scheduler = k_.scheduler();
    auto keep = shared_from_this();
    while (!finished_) {
        if (k_.now() >= deadline) return false;
        if (!scheduler.in_thread()) {
            std::fprintf(stderr, "sim: waiting for %s outside a simulated thread; run host calls inside k.run_thread\n",
                         what_.c_str());
            std::abort();
        }
        SimThread* self = &scheduler.current();
        waiters_.push_back(self);
        WakeReason reason = scheduler.block(what_ + " (IRP #" + std::to_string(serial_) + ")", this, deadline);
        waiters_.erase(std::remove(waiters_.begin(), waiters_.end(), self), waiters_.end());
        if (reason == WakeReason::stopping) break;
    }
    return finished_;
}

NTSTATUS HostRequest::send_and_wait() {
    send();
    wait();
    return status();
}

BOOLEAN HostRequest::cancel() {
    if (!sent_ || finished_ || !irp_) return FALSE;
    // The I/O manager keeps the IRP alive while it cancels it: a completion that races the
    // cancel leaves the free to the end of the cancel (see finish()).
    ++cancelling_;
    PIRP irp = irp_;
    BOOLEAN cancelled = k_.cancel_irp(irp);
    if (--cancelling_ == 0 && free_deferred_) {
        free_deferred_ = false;
        k_.free_irp(irp, "I/O manager");
    }
    return cancelled;
}

void HostRequest::finish(PIRP irp) {
    io_status_ = irp->IoStatus;
    if (IrpRecord* record = k_.find_irp(irp)) start_next_power_calls_ = record->start_next_power_calls;
    if (on_finish) on_finish(irp);
    if (cancelling_ > 0) {
        free_deferred_ = true;
    } else {
        k_.free_irp(irp, "I/O manager");
    }
    irp_ = nullptr;
    finished_ = true;
    finished_at_ = k_.now();
    for (SimThread* waiter : waiters_) k_.scheduler().wake(*waiter);
}

}  // namespace sim
