// The simulated power manager's system side: one power request of a kind per stack, query and set, sleep and wake.
#include "power_manager.h"

#include <cstdio>

namespace sim {

PowerResult PowerManager::send(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                               POWER_ACTION action) {
    if (!k_.find_device(device)) return PowerResult{STATUS_NO_SUCH_DEVICE, 0, 0};
    PDEVICE_OBJECT top = k_.top_of_stack(device);
    auto key = std::make_pair(top, static_cast<int>(type));
    for (auto it = active_.find(key); it != active_.end() && !it->second->finished(); it = active_.find(key)) {
        it->second->wait();
    }

    char what[128];
    std::snprintf(what, sizeof what, "%s %s%d", power_minor_name(minor).c_str(), type == SystemPowerState ? "S" : "D",
                  type == SystemPowerState ? static_cast<int>(state.SystemState) - 1
                                           : static_cast<int>(state.DeviceState) - 1);
    auto request = HostRequest::create(k_, top, what, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION stack = request->location();
    stack->MajorFunction = IRP_MJ_POWER;
    stack->MinorFunction = minor;
    stack->Parameters.Power.SystemContext = 0;
    stack->Parameters.Power.Type = type;
    stack->Parameters.Power.State = state;
    stack->Parameters.Power.ShutdownType = action;
    active_[key] = request;
    PowerResult result;
    result.irp_serial = request->serial();
    result.status = request->send_and_wait();
    result.start_next_power_calls = request->start_next_power_calls();
    if (active_[key] == request) active_.erase(key);

    bool driver_above_bus = k_.lower_of(top) != nullptr;
    if (k_.settings().major_version < 6 && driver_above_bus && result.start_next_power_calls == 0) {
        k_.bug_check("PO_START_NEXT_POWER_IRP_MISSING",
                     std::string(what) + " (IRP #" + std::to_string(result.irp_serial) +
                         ") completed without PoStartNextPowerIrp from the driver; on this kernel the device "
                         "would never get another power request");
    }
    history_.push_back({top, minor, type, state, result});
    return result;
}

PowerResult PowerManager::query_system_power(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE power{};
    power.SystemState = state;
    return send(device, IRP_MN_QUERY_POWER, SystemPowerState, power, action);
}

PowerResult PowerManager::set_system_power(PDEVICE_OBJECT device, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    POWER_STATE power{};
    power.SystemState = state;
    return send(device, IRP_MN_SET_POWER, SystemPowerState, power, action);
}

PowerResult PowerManager::set_device_power(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
    POWER_STATE power{};
    power.DeviceState = state;
    return send(device, IRP_MN_SET_POWER, DevicePowerState, power, PowerActionNone);
}

PowerResult PowerManager::query_device_power(PDEVICE_OBJECT device, DEVICE_POWER_STATE state) {
    POWER_STATE power{};
    power.DeviceState = state;
    return send(device, IRP_MN_QUERY_POWER, DevicePowerState, power, PowerActionNone);
}

NTSTATUS PowerManager::sleep(const std::vector<PDEVICE_OBJECT>& devices, SYSTEM_POWER_STATE state, POWER_ACTION action) {
    for (size_t i = 0; i < devices.size(); ++i) {
        NTSTATUS query = query_system_power(devices[i], state, action).status;
        if (!NT_SUCCESS(query)) {
            for (size_t j = 0; j < i; ++j) set_system_power(devices[j], PowerSystemWorking, PowerActionNone);
            return query;
        }
    }
    NTSTATUS result = STATUS_SUCCESS;
    for (PDEVICE_OBJECT device : devices) {
        NTSTATUS status = set_system_power(device, state, action).status;
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    return result;
}

NTSTATUS PowerManager::wake(const std::vector<PDEVICE_OBJECT>& devices) {
    NTSTATUS result = STATUS_SUCCESS;
    for (auto it = devices.rbegin(); it != devices.rend(); ++it) {
        NTSTATUS status = set_system_power(*it, PowerSystemWorking, PowerActionNone).status;
        if (NT_SUCCESS(result) && !NT_SUCCESS(status)) result = status;
    }
    return result;
}

}  // namespace sim
