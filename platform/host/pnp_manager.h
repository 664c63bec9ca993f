// The simulated Plug and Play manager: driver loading, AddDevice, and the Plug and Play request sequences Windows sends to a device stack.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus.h"
#include "kernel.h"

namespace sim {

// Where a device stands with its drivers.
enum class NodeState {
    enumerated,        // PDO exists, no function driver attached (before AddDevice, or after it failed)
    added,             // AddDevice attached the function driver, not started yet
    started,
    stopped,           // IRP_MN_STOP_DEVICE, waiting for the next start
    surprise_removed,  // IRP_MN_SURPRISE_REMOVAL sent, IRP_MN_REMOVE_DEVICE still to come
    removed,           // stack torn down; the PDO stays while the device is plugged in
    deleted,           // the device left the bus and its PDO is gone
};
const char* to_string(NodeState state);

// One Plug and Play request sent, in order.
struct PnpStep {
    UCHAR minor = 0;
    NTSTATUS status = STATUS_SUCCESS;
    VirtualTime time = 0;
};

// One device on the bus and the drivers above it.
class DeviceNode {
   public:
    const std::string& name() const { return name_; }
    Pdo& pdo() const { return *pdo_; }
    // Null once the PDO has been deleted.
    PDEVICE_OBJECT pdo_device() const { return pdo_->device(); }
    // The device that AddDevice attached to the PDO; null before AddDevice and after removal.
    PDEVICE_OBJECT fdo() const { return fdo_; }
    // Where requests for the device enter: the top of the stack (the PDO alone when no driver is attached).
    PDEVICE_OBJECT top() const;
    PDRIVER_OBJECT driver() const { return driver_; }
    NodeState state() const { return state_; }
    NTSTATUS add_status() const { return add_status_; }
    // The answer of the last successful IRP_MN_QUERY_CAPABILITIES the PnP manager sent.
    const DEVICE_CAPABILITIES& capabilities() const { return capabilities_; }
    // Every Plug and Play request sent to the device, with its final status.
    const std::vector<PnpStep>& history() const { return history_; }
    // The minor functions of history(), for comparing sequences.
    std::vector<UCHAR> minors() const;

    DeviceNode(Kernel& k, std::string name, Pdo& pdo, PDRIVER_OBJECT driver);

   private:
    friend class PnpManager;
    Kernel& k_;
    std::string name_;
    Pdo* pdo_;
    PDRIVER_OBJECT driver_;
    PDEVICE_OBJECT fdo_ = nullptr;
    NodeState state_ = NodeState::enumerated;
    NTSTATUS add_status_ = STATUS_PENDING;
    DEVICE_CAPABILITIES capabilities_{};
    std::vector<PnpStep> history_;
};

// Sends what Windows' PnP manager sends, each request as an IRP from the calling simulated thread
// with IoStatus.Status preset to STATUS_NOT_SUPPORTED, and waits for it without a time limit.
// Requests go to the top of the device stack. Calls that send requests belong in a simulated
// thread (k.run_thread("pnp", ...)); the bus completes synchronously, so plug() also works outside.
class PnpManager {
   public:
    PnpManager(Kernel& k, Bus& bus);
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // ---- Drivers ----------------------------------------------------------------------------------
    // Loads a driver (Kernel::load_driver, which calls its DriverEntry); `status` gets DriverEntry's.
    PDRIVER_OBJECT load_driver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
    // Unloads it: Kernel::unload_driver calls DriverUnload and bug-checks when pool is left.
    void unload_driver(PDRIVER_OBJECT driver);
    bool loaded(PDRIVER_OBJECT driver) const;
    // Windows unloads a driver once its last device is removed and loads it again for the next
    // device; on by default. The driver object after a reload is a new one (DeviceNode::driver()).
    bool unload_unused_drivers = true;

    // ---- Devices -----------------------------------------------------------------------------------
    // A device appears on the bus: its PDO is created, its capabilities are queried from the PDO
    // alone, then the driver's AddDevice is called (DeviceNode::add_status()). A failed AddDevice
    // leaves nothing attached; anything else is a bug check.
    DeviceNode& plug(PDRIVER_OBJECT driver, std::string name, DeviceFunction* function);
    // AddDevice again for a device whose stack was removed while it stayed plugged in.
    NTSTATUS add_device(DeviceNode& node);

    // ---- Sequences (each returns the final status that matters) -------------------------------------------
    // IRP_MN_START_DEVICE; on success IRP_MN_QUERY_CAPABILITIES and IRP_MN_QUERY_PNP_DEVICE_STATE to
    // the started stack; on failure IRP_MN_REMOVE_DEVICE, as Windows tears down a stack that fails
    // to start. Returns the start's status.
    NTSTATUS start(DeviceNode& node);
    // Windows asks the whole stack for its capabilities once it has started; some driver stacks
    // also see the query before the start. When set, start() sends one to the stack first.
    bool query_capabilities_before_start = false;
    // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE, or IRP_MN_CANCEL_STOP_DEVICE when the query
    // fails. Returns the stop's status or the query's failure.
    NTSTATUS stop(DeviceNode& node);
    // IRP_MN_QUERY_REMOVE_DEVICE then IRP_MN_CANCEL_REMOVE_DEVICE. Returns the query's failure, or
    // else the cancel's status.
    NTSTATUS query_remove_then_cancel(DeviceNode& node);
    // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or IRP_MN_CANCEL_REMOVE_DEVICE when the
    // query fails. The PDO stays (the device is still plugged in). Returns the removal's status or
    // the query's failure.
    NTSTATUS remove(DeviceNode& node);
    // The device is pulled out: surprise_removal() then finish_removal(). Windows sends the removal
    // once the last handle is closed; close handles first, or use the two halves.
    NTSTATUS unplug(DeviceNode& node);
    // DeviceFunction::on_unplugged, then IRP_MN_SURPRISE_REMOVAL to a started (or stopped) stack.
    NTSTATUS surprise_removal(DeviceNode& node);
    // IRP_MN_REMOVE_DEVICE to what is left of the stack, then the bus deletes the PDO.
    NTSTATUS finish_removal(DeviceNode& node);

    // ---- Single requests -----------------------------------------------------------------------------
    // Any IRP_MJ_PNP request to the top of the stack; `fill` sets its parameters. The node's state
    // follows the outcome as in the sequences; a removal is checked and completed as there.
    NTSTATUS send_pnp(DeviceNode& node, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill = {});
    // IRP_MN_QUERY_CAPABILITIES with the caller's structure (to test Size or Version checks).
    NTSTATUS query_capabilities(DeviceNode& node, DEVICE_CAPABILITIES& caps);
    // System shutdown: IRP_MJ_SHUTDOWN to every device registered for it (Kernel::shutdown_devices),
    // in the order of the devices' nodes. Returns each final status.
    std::vector<NTSTATUS> shutdown();

    const std::vector<std::unique_ptr<DeviceNode>>& nodes() const { return nodes_; }
    Bus& bus() { return bus_; }

   private:
    struct DriverRecord {
        std::string name;
        PDRIVER_INITIALIZE entry = nullptr;
        PDRIVER_OBJECT object = nullptr;
        bool loaded = false;
        NTSTATUS entry_status = STATUS_SUCCESS;  // DriverEntry's answer at the last load
        std::vector<PDRIVER_OBJECT> objects;  // every object this driver has had
    };
    DriverRecord* record_of(PDRIVER_OBJECT driver);
    PDRIVER_OBJECT ensure_loaded(DriverRecord& record);
    NTSTATUS send_to(DeviceNode& node, PDEVICE_OBJECT target, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& fill, DEVICE_CAPABILITIES* caps_out);
    void follow(DeviceNode& node, UCHAR minor, NTSTATUS status);
    void after_removal(DeviceNode& node);
    void unload_if_unused(PDRIVER_OBJECT driver);

    Kernel& k_;
    Bus& bus_;
    std::vector<std::unique_ptr<DriverRecord>> drivers_;
    std::vector<std::unique_ptr<DeviceNode>> nodes_;
};

}  // namespace sim
