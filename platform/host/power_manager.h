// The simulated power manager's system side: system query-power and set-power requests to device stacks, and system sleep and wake over several devices.
#pragma once

#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "host_request.h"
#include "kernel.h"

namespace sim {

struct PowerResult {
    NTSTATUS status = STATUS_PENDING;
    // PoStartNextPowerIrp calls made for the IRP by the drivers above the bus.
    int start_next_power_calls = 0;
    uint64_t irp_serial = 0;
};

// Sends power requests to the top of a device stack from the calling simulated thread, with
// IoStatus.Status preset to STATUS_NOT_SUPPORTED, and waits for them. Only one request of a kind
// (system or device) is in a stack at a time: the next waits until the previous has completed,
// which is later than PoStartNextPowerIrp allows it, since every driver calls that first. On a
// kernel older than 6.0, where the next request depends on it, a completed request that no driver
// above the bus called PoStartNextPowerIrp for is a bug check.
// The device set-power requests that a power policy owner asks for with PoRequestPowerIrp are
// the kernel's (platform/kernel/power_work.cpp); they do not pass through here.
class PowerManager {
   public:
    explicit PowerManager(Kernel& k) : k_(k) {}

    PowerResult query_system_power(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state,
                                   POWER_ACTION action = PowerActionSleep);
    PowerResult set_system_power(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state,
                                 POWER_ACTION action = PowerActionSleep);
    // A device set-power or query as PoRequestPowerIrp would send it, for tests of the device path alone.
    PowerResult set_device_power(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);
    PowerResult query_device_power(PDEVICE_OBJECT device, DEVICE_POWER_STATE state);

    // System sleep: a query-power for `state` to every stack, then the set-power. When a query is
    // refused, the stacks already asked get a set-power to S0 (the query is called off) and the
    // refusal is returned. Otherwise the first failing set-power's status, or STATUS_SUCCESS.
    NTSTATUS sleep(const std::vector<PDEVICE_OBJECT>& devices, SYSTEM_POWER_STATE state,
                   POWER_ACTION action = PowerActionSleep);
    // Back to S0, the stacks in the reverse order of sleep().
    NTSTATUS wake(const std::vector<PDEVICE_OBJECT>& devices);

    // Every power request sent, in order.
    struct Sent {
        PDEVICE_OBJECT top = nullptr;
        UCHAR minor = 0;
        POWER_STATE_TYPE type = SystemPowerState;
        POWER_STATE state{};
        PowerResult result;
    };
    const std::vector<Sent>& history() const { return history_; }

   private:
    PowerResult send(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action);

    Kernel& k_;
    std::map<std::pair<PDEVICE_OBJECT, int>, std::shared_ptr<HostRequest>> active_;
    std::vector<Sent> history_;
};

}  // namespace sim
