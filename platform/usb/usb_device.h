// The simulated USB bus below one device: the URBs of IOCTL_INTERNAL_USB_SUBMIT_URB, pipes with per-pipe FIFOs served by the bus's completion context, frame timing, unplugging, fault injection, and an observer list that sees every URB and packet.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <usbdi.h>

#include "kernel.h"
#include "platform/host/device_function.h"
#include "usb_descriptors.h"

namespace sim {

// How long a transfer takes. full_speed: each endpoint moves one packet per 1 ms frame, as a
// full-speed interrupt endpoint does. fast: transfers complete at the virtual time they become
// possible (still in queue order, still from the bus's completion context).
enum class BusTiming { full_speed, fast };

// When a cancelled transfer completes. at_once: inside the canceller's IoCancelIrp, as a bus completes a transfer
// that was still waiting in its queue. next_frame: from the bus's completion context at the next frame boundary, as
// a host controller completes a transfer it first has to take off its schedule; the canceller's IoCancelIrp returns
// with the transfer still the bus's.
enum class CancelDelivery { at_once, next_frame };

enum class BusEventKind {
    submitted,  // a URB reached the bus driver
    packet,     // bytes moved on the wire: a bulk/interrupt transaction, or descriptor data
    completed,  // the bus driver is about to complete the URB's IRP
};

struct BusEvent {
    BusEventKind kind = BusEventKind::submitted;
    VirtualTime time = 0;
    uint64_t id = 0;           // one number per URB submission, shared by its events
    USHORT function = 0;       // URB_FUNCTION_*
    PURB urb = nullptr;        // valid only during the callback
    PIRP irp = nullptr;        // valid only during the callback
    UCHAR endpoint = 0;        // 0 for requests on the default control pipe
    USBD_PIPE_TYPE pipe_type = UsbdPipeTypeControl;
    bool device_to_host = false;
    ULONG requested_length = 0;            // TransferBufferLength as submitted
    std::optional<std::array<uint8_t, 8>> setup;  // control requests: the setup packet
    Packet data;               // submitted: bytes offered (OUT); packet: bytes on the wire; completed: bytes returned
    NTSTATUS status = STATUS_PENDING;      // completed: the IRP's status
    USBD_STATUS usbd_status = USBD_STATUS_PENDING;  // completed: the URB header's status
};

using BusObserver = std::function<void(const BusEvent&)>;

// The firmware side of a device: told when the bus changes something it cares about. Calls may
// come from the bus's completion context at DISPATCH_LEVEL; they must not block.
class UsbPeripheral {
   public:
    virtual ~UsbPeripheral() = default;
    // A packet is waiting in an OUT endpoint's buffer (UsbDevice::device_take fetches it).
    virtual void on_out_packet(UCHAR endpoint) { (void)endpoint; }
    virtual void on_configured(bool configured) { (void)configured; }
    virtual void on_unplugged() {}
    virtual void on_power(DEVICE_POWER_STATE state) { (void)state; }
};

class UsbDevice : public DeviceFunction {
   public:
    static constexpr VirtualTime kFrame = from_ms(1);

    // The kernel must outlive the device; the device must outlive every URB sent to it.
    explicit UsbDevice(Kernel& kernel, UsbDeviceSpec device = UsbDeviceSpec::reader());
    ~UsbDevice() override;
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // ---- Bus side (DeviceFunction) -----------------------------------------------------------
    NTSTATUS internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) override;
    void on_started() override;
    // Stopped or removed: the configuration is dropped. The client must have ended its transfers first (see
    // stop_if_transfers_pending).
    void on_stopped() override;
    // Pulled out: queued transfers end with STATUS_NO_SUCH_DEVICE, every later URB fails with
    // STATUS_DEVICE_NOT_CONNECTED; both carry USBD_STATUS_DEVICE_GONE.
    void on_unplugged() override;
    // Below D0 the device is suspended: transfers stay queued until it is back in D0.
    void on_power(DEVICE_POWER_STATE state) override;

    // ---- Set-up --------------------------------------------------------------------------
    const UsbDeviceSpec& description() const { return description_; }
    // Takes effect for descriptor requests and configurations that follow.
    void set_description(UsbDeviceSpec device) { description_ = std::move(device); }
    BusTiming timing() const { return timing_; }
    void set_timing(BusTiming timing);
    CancelDelivery cancel_delivery() const { return cancel_delivery_; }
    void set_cancel_delivery(CancelDelivery delivery) { cancel_delivery_ = delivery; }
    // Full-speed timing for a machine in real time: a transfer that finds every endpoint idle starts a frame at
    // once, the frames running on from it, instead of waiting for the next frame of a grid laid from boot. An
    // exchange that a client starts at any moment then takes exactly its frames (a host's frames run on
    // regardless, which adds up to one frame to the first packet). Off by default: seeded runs keep the grid.
    void set_frames_on_demand(bool on) { frames_on_demand_ = on; }
    void attach_peripheral(UsbPeripheral* peripheral) { peripheral_ = peripheral; }

    // ---- Device side (the firmware behind the endpoints) ---------------------------------------
    // Queues a packet on an IN endpoint; the host's next IN transfer on that endpoint takes it.
    // Packets longer than the transfer or the endpoint allow end the transfer with a data overrun.
    void device_send(UCHAR endpoint, Packet packet);
    // Takes the oldest packet the host wrote to an OUT endpoint, if any.
    std::optional<Packet> device_take(UCHAR endpoint);
    // While false, the OUT endpoint refuses (NAKs) every packet: OUT transfers stay queued.
    void set_out_accepting(UCHAR endpoint, bool accepting);
    // How many written packets an OUT endpoint buffers before it refuses more (default 1).
    void set_out_capacity(UCHAR endpoint, size_t packets);
    size_t in_backlog(UCHAR endpoint) const;

    // ---- Observation -----------------------------------------------------------------------
    int add_observer(BusObserver observer);
    void remove_observer(int id);
    bool configured() const { return configured_; }
    bool unplugged() const { return gone_; }
    bool started() const { return started_; }
    DEVICE_POWER_STATE power_state() const { return power_; }
    // Transfers waiting in the FIFO of the pipe for this endpoint.
    size_t queued_transfers(UCHAR endpoint) const;

   private:
    struct Pipe {
        USBD_PIPE_HANDLE handle = nullptr;
        EndpointSpec endpoint;
        std::deque<PIRP> queue;
        int64_t next_frame = 0;  // first frame in which this endpoint is free
    };
    struct Transfer {
        uint64_t id = 0;
        PURB urb = nullptr;
        USBD_PIPE_HANDLE pipe = nullptr;
        bool doomed = false;           // fault injected: fails at its slot without moving data
        VirtualTime slot_end = -1;     // when its transaction ends; -1 until it has a slot
        VirtualTime cancel_due = -1;   // cancelled with next_frame delivery: when it completes
    };
    // A request whose IRP the bus's completion context completes, in order.
    struct Completion {
        PIRP irp = nullptr;
        PURB urb = nullptr;
        uint64_t id = 0;
        NTSTATUS status = STATUS_SUCCESS;
        USBD_STATUS usbd_status = USBD_STATUS_SUCCESS;
        std::optional<EndpointSpec> endpoint;  // kept for the events: the pipe may be gone by then
        std::optional<Packet> wire;            // bytes of the transaction, for the packet event
    };
    struct EndpointBuffer {
        std::deque<Packet> in;
        std::deque<Packet> out;
        bool accepting = true;
        size_t capacity = 1;
    };

    static VOID NTAPI cancel_transfer(PDEVICE_OBJECT device, PIRP irp);

    NTSTATUS handle_descriptor(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS handle_select_configuration(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS handle_abort_pipe(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS handle_reset_pipe(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS handle_transfer(PIRP irp, PURB urb, uint64_t id);
    NTSTATUS complete_now(PIRP irp, PURB urb, uint64_t id, NTSTATUS status, USBD_STATUS usbd_status);

    // The completion context's body; it touches the device only while `alive` says it exists.
    static void bus_loop(UsbDevice* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler);
    // One pass of the completion context; returns when there is nothing to do before the time it returns, or at
    // once when `alive` says the device was destroyed during a callback.
    VirtualTime service(const std::shared_ptr<bool>& alive);
    // Hands the cancelled transfers whose frame has come to the completion list; lock_ held.
    void complete_due_cancels(VirtualTime& next);
    void run_transactions(VirtualTime& next, std::vector<UCHAR>& delivered);
    void perform(Pipe& pipe, PIRP irp, Transfer& transfer, std::vector<UCHAR>& delivered);
    VirtualTime reserve_slot(Pipe& pipe);
    void finish(const Completion& completion);
    // Takes every queued transfer of a pipe that is not being cancelled; lock_ held.
    void claim_all(Pipe& pipe, NTSTATUS status, USBD_STATUS usbd_status);
    // The transfers the client still has queued on the pipes, described per pipe; empty when there are none.
    // lock_ held.
    std::string pending_transfers_locked() const;
    // The bus's verifier at a configuration change (a select-configuration request, with or without a
    // configuration, or a stop or removal that drops the configuration): a client must have aborted or cancelled
    // every transfer on the pipes being closed, and seen it complete, before it asks for the change. Transfers
    // still queued stop the run with USB_TRANSFERS_PENDING_AT_CONFIGURATION_CHANGE instead of being cancelled
    // behind the client's back. lock_ held on entry; released before the stop.
    void stop_if_transfers_pending(KIRQL old_irql, const std::string& change);
    void unconfigure_locked();
    bool remove_transfer(PIRP irp);
    void kick();

    Pipe* find_pipe(USBD_PIPE_HANDLE handle);
    EndpointBuffer& buffer(UCHAR endpoint) { return endpoints_[endpoint]; }
    void* new_handle() { return reinterpret_cast<void*>(handle_base_ + (++handle_serial_ << 4)); }
    void notify(const BusEvent& event);
    BusEvent event_for(BusEventKind kind, uint64_t id, PIRP irp, PURB urb, const EndpointSpec* endpoint = nullptr);

    Kernel& k_;
    UsbDeviceSpec description_;
    BusTiming timing_ = BusTiming::full_speed;
    CancelDelivery cancel_delivery_ = CancelDelivery::at_once;
    bool frames_on_demand_ = false;
    VirtualTime frame_origin_ = 0;  // where frame 0 starts; frames are kFrame long from there
    UsbPeripheral* peripheral_ = nullptr;
    KSPIN_LOCK lock_ = 0;  // pipes, transfers and the completion list

    bool started_ = false;
    bool configured_ = false;
    bool gone_ = false;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;
    USBD_CONFIGURATION_HANDLE configuration_handle_ = nullptr;

    std::map<USBD_PIPE_HANDLE, Pipe> pipes_;    // ordered by creation: handles only grow
    std::unordered_map<PIRP, Transfer> transfers_;  // looked up, never iterated
    // Nodes of ended transfers, kept for the next ones: a transfer then costs no heap call.
    std::vector<std::unordered_map<PIRP, Transfer>::node_type> spare_transfer_nodes_;
    std::deque<Completion> completions_;
    // Cancelled transfers waiting for their frame (next_frame delivery): off their pipe's FIFO, still the bus's.
    std::vector<PIRP> cancelling_;
    std::map<UCHAR, EndpointBuffer> endpoints_;

    uintptr_t handle_base_ = 0;
    uint64_t handle_serial_ = 0;
    uint64_t request_serial_ = 0;

    std::map<int, BusObserver> observers_;
    int next_observer_ = 1;

    SimThread* bus_thread_ = nullptr;
    bool work_ = false;  // something changed since the bus thread last looked
    bool in_pass_ = false;  // the bus thread is inside service()
    std::shared_ptr<bool> alive_;
};

}  // namespace sim
