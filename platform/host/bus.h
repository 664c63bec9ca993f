// The simulated bus driver and its PDOs: what a function driver's forwarded requests meet at the bottom of the stack.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "device_function.h"
#include "kernel.h"

namespace sim {

// One request as it reached a PDO.
struct PdoRequest {
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG io_control_code = 0;            // IRP_MJ_INTERNAL_DEVICE_CONTROL
    POWER_STATE_TYPE power_type = SystemPowerState;  // IRP_MJ_POWER
    POWER_STATE power_state{};
    KIRQL irql = PASSIVE_LEVEL;
    VirtualTime time = 0;
};

// A device on the bus as its bus driver sees it. The test may change the behaviour fields at any
// time; they take effect with the next request.
class Pdo {
   public:
    const std::string& name() const { return name_; }
    // Null once the bus has deleted the PDO (after the removal of an unplugged device).
    PDEVICE_OBJECT device() const { return device_; }
    DeviceFunction* function() const { return function_; }

    // ---- Behaviour ------------------------------------------------------------------------------
    // The answer to IRP_MN_QUERY_CAPABILITIES (Size and Version stay the caller's).
    DEVICE_CAPABILITIES capabilities{};
    // Plug and Play minor functions that fail, and their status (IRP_MN_START_DEVICE, ...).
    std::map<UCHAR, NTSTATUS> pnp_failures;
    // Power minor functions that fail, system and device requests alike (IRP_MN_SET_POWER, ...).
    std::map<UCHAR, NTSTATUS> power_failures;
    // Plug and Play requests are marked pending and completed this long after they arrive, from a
    // bus thread; below zero they are completed in the dispatch routine.
    VirtualTime pnp_completion_delay = -1;
    // A device set-power to a higher power state is completed from a bus thread running at
    // DISPATCH_LEVEL, as bus drivers that complete from their DPC do; the completion routines of
    // the drivers above then run at DISPATCH_LEVEL.
    bool power_up_at_dispatch = false;

    // ---- State as the bus sees it --------------------------------------------------------------------
    bool present() const { return present_; }      // still plugged in
    bool started() const { return started_; }      // started and not stopped or removed since
    bool surprise_removed() const { return surprise_removed_; }
    int removals() const { return removals_; }     // IRP_MN_REMOVE_DEVICE requests completed
    DEVICE_POWER_STATE device_power() const { return device_power_; }
    SYSTEM_POWER_STATE system_power() const { return system_power_; }
    // Every request that reached the PDO, in order; without history, the Plug and Play and power requests only.
    const std::vector<PdoRequest>& received() const { return received_; }
    // Off, the bus's own traffic (IRP_MJ_INTERNAL_DEVICE_CONTROL, a request per USB transfer) is counted but not
    // kept: a host that runs for days keeps its memory flat.
    void keep_history(bool keep) { history_ = keep; }
    size_t count(UCHAR major, UCHAR minor) const;
    size_t count(UCHAR major) const;
    // PoStartNextPowerIrp calls the bus made itself (the kernel's count excludes them).
    int start_next_power_calls() const { return start_next_power_calls_; }

    Pdo(class Bus& bus, std::string name, DeviceFunction* function, ULONG port);

   private:
    friend class Bus;
    friend struct BusDispatch;
    Bus& bus_;
    std::string name_;
    DeviceFunction* function_;
    PDEVICE_OBJECT device_ = nullptr;
    bool present_ = true;
    bool started_ = false;
    bool surprise_removed_ = false;
    bool unplug_notified_ = false;
    int removals_ = 0;
    DEVICE_POWER_STATE device_power_ = PowerDeviceD0;
    SYSTEM_POWER_STATE system_power_ = PowerSystemWorking;
    std::vector<PdoRequest> received_;
    bool history_ = true;
    size_t internal_controls_not_kept_ = 0;
    int start_next_power_calls_ = 0;
};

// The bus driver: a driver object of its own whose devices are the PDOs.
class Bus {
   public:
    explicit Bus(Kernel& k, std::string name = "usbhub");
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    Kernel& kernel() { return k_; }
    PDRIVER_OBJECT driver() const { return driver_; }

    // Enumerates a new device: creates its PDO (a named, initialised device object of the bus
    // driver). The function, which may be null, is not owned and must outlive the PDO.
    Pdo& create_pdo(std::string name, DeviceFunction* function);
    // The device leaves the bus: DeviceFunction::on_unplugged, then the PDO reports it missing.
    void unplug(Pdo& pdo);
    // Deletes the PDO's device object; nothing may be attached to it any more.
    void delete_pdo(Pdo& pdo);

    const std::vector<std::unique_ptr<Pdo>>& pdos() const { return pdos_; }
    // The Pdo behind one of this bus's device objects, or null.
    static Pdo* pdo_of(PDEVICE_OBJECT device);

    // What a USB hub answers for a full-speed device without remote wake-up on port `port`:
    // Version 1, Size 64, Removable, not SurpriseRemovalOK (the function driver sets that),
    // DeviceD2 (USB suspend), no wake, latencies 0, Address and UINumber the port, and the
    // system-to-device table S0 -> D0, S1..S5 -> D3 (a device that cannot wake the system has no
    // reason to stay in D2 while it sleeps), the unspecified entry left PowerDeviceUnspecified.
    static DEVICE_CAPABILITIES default_capabilities(ULONG port);

   private:
    Kernel& k_;
    std::string name_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<Pdo>> pdos_;
    ULONG next_port_ = 1;
};

}  // namespace sim
