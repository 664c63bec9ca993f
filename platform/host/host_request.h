// One IRP that the host side (PnP manager, power manager, I/O manager for an application) sends to a device stack, and the wait for its completion.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"

namespace sim {

// Names for reports and histories: "IRP_MN_START_DEVICE", "IRP_MJ_DEVICE_CONTROL".
std::string pnp_minor_name(UCHAR minor);
std::string power_minor_name(UCHAR minor);
std::string major_name(UCHAR major);

// The request is shared between its sender and the IRP's completion record, so that a completion
// that arrives after the sender has given up (a time-out, a test that ended) still finds it.
class HostRequest : public std::enable_shared_from_this<HostRequest> {
   public:
    // Allocates the IRP with one stack location per device of the stack above `target` and presets
    // IoStatus.Status (the PnP manager presets STATUS_NOT_SUPPORTED; the I/O manager STATUS_SUCCESS).
    static std::shared_ptr<HostRequest> create(Kernel& k, PDEVICE_OBJECT target, std::string what,
                                               NTSTATUS preset = STATUS_NOT_SUPPORTED);
    HostRequest(const HostRequest&) = delete;
    HostRequest& operator=(const HostRequest&) = delete;

    // The first driver's stack location; fill it before send().
    PIO_STACK_LOCATION location() const;
    // Null once the completion has reached the top and the IRP has been freed.
    PIRP irp() const { return irp_; }

    // Runs when the completion reaches the top, before the IRP is freed (copy buffers back here).
    std::function<void(PIRP)> on_finish;

    // IoCallDriver to the target from the calling thread. A dispatch routine that returns anything
    // but STATUS_PENDING without having completed the IRP stops the run with a bug check: the IRP
    // would hang with nobody knowing.
    NTSTATUS send();
    // Blocks the calling simulated thread until the IRP has completed or the deadline (virtual time)
    // has passed; true when completed.
    bool wait(VirtualTime deadline = kNever);
    // send(), then wait without a time limit; the final IoStatus.Status.
    NTSTATUS send_and_wait();
    // IoCancelIrp while the IRP is outstanding; FALSE when there is nothing to cancel.
    BOOLEAN cancel();

    bool sent() const { return sent_; }
    bool finished() const { return finished_; }
    // Final IoStatus.Status; STATUS_PENDING while outstanding.
    NTSTATUS status() const { return finished_ ? io_status_.Status : STATUS_PENDING; }
    ULONG_PTR information() const { return io_status_.Information; }
    // What the top dispatch routine returned.
    NTSTATUS dispatch_status() const { return dispatch_status_; }
    uint64_t serial() const { return serial_; }
    const std::string& what() const { return what_; }
    Kernel& kernel() const { return k_; }
    PDEVICE_OBJECT target() const { return target_; }
    VirtualTime sent_at() const { return sent_at_; }
    VirtualTime finished_at() const { return finished_at_; }
    // PoStartNextPowerIrp calls that drivers above the bus made for this IRP, read at completion.
    int start_next_power_calls() const { return start_next_power_calls_; }

    HostRequest(Kernel& k, PDEVICE_OBJECT target, std::string what);  // use create()

   private:
    void finish(PIRP irp);

    Kernel& k_;
    PDEVICE_OBJECT target_;
    std::string what_;
    PIRP irp_ = nullptr;
    uint64_t serial_ = 0;
    bool sent_ = false;
    int cancelling_ = 0;         // cancel() calls in progress, which keep the IRP allocated
    bool free_deferred_ = false;  // completed during a cancel; freed when the cancel returns
    bool finished_ = false;
    IO_STATUS_BLOCK io_status_{};
    NTSTATUS dispatch_status_ = STATUS_PENDING;
    VirtualTime sent_at_ = 0;
    VirtualTime finished_at_ = 0;
    int start_next_power_calls_ = 0;
    std::vector<SimThread*> waiters_;
};

}  // namespace sim
