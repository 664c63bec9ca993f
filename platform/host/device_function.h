// What a simulated device does behind its bus PDO: the requests beyond Plug and Play that reach
// the PDO (for USB, IOCTL_INTERNAL_USB_SUBMIT_URB) and the bus events it must react to.
#pragma once

#include <wdm.h>

namespace sim {

class DeviceFunction {
   public:
    virtual ~DeviceFunction() = default;

    // IRP_MJ_INTERNAL_DEVICE_CONTROL at the PDO. Completes the IRP or marks it pending and
    // completes it later; returns the status as a bus driver's dispatch routine would.
    virtual NTSTATUS internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) = 0;

    // The PDO was started (IRP_MN_START_DEVICE reached the bus driver successfully).
    virtual void on_started() {}
    // The PDO was stopped (IRP_MN_STOP_DEVICE) or removed (IRP_MN_REMOVE_DEVICE). The bus calls it
    // once per start: at the stop, or at the removal when no stop came in between.
    virtual void on_stopped() {}
    // The device was pulled out: pending and later requests fail as a real bus driver fails them.
    // Called once, before the PnP manager sends IRP_MN_SURPRISE_REMOVAL (or at that request when
    // it comes without the device leaving the bus).
    virtual void on_unplugged() {}
    // A device set-power request reached the bus driver; called from the PDO's dispatch routine at
    // PASSIVE_LEVEL before the request completes.
    virtual void on_power(DEVICE_POWER_STATE state) { (void)state; }
};

}  // namespace sim
