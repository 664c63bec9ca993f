// The simulated bus driver: its driver object, PDO creation and deletion, and the PDO's dispatch routines.
#include "bus.h"

#include <cstdio>

#include "host_request.h"

namespace sim {

namespace {

std::u16string to_u16(const std::string& text) {
    std::u16string result;
    for (char c : text) result += static_cast<char16_t>(c);
    return result;
}

void complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

}  // namespace

// The PDO's dispatch routines; a struct so that they can reach Pdo's private state.
struct BusDispatch {
    static void note(Pdo& pdo, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        PdoRequest request;
        request.major = stack->MajorFunction;
        request.minor = stack->MinorFunction;
        request.irql = KeGetCurrentIrql();
        request.time = pdo.bus_.kernel().now();
        if (stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            request.io_control_code = stack->Parameters.DeviceIoControl.IoControlCode;
        }
        if (stack->MajorFunction == IRP_MJ_POWER) {
            request.power_type = stack->Parameters.Power.Type;
            request.power_state = stack->Parameters.Power.State;
        }
        if (!pdo.history_ && request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL && request.minor == 0) {
            ++pdo.internal_controls_not_kept_;
            return;
        }
        pdo.received_.push_back(request);
    }

    // Every driver of a power IRP's stack calls PoStartNextPowerIrp once. The kernel's verifier
    // counts the calls per IRP, so the bus takes its own call back out of that count and keeps it
    // apart: the kernel's figure then checks the drivers above the bus.
    static void start_next_power_irp(Pdo& pdo, PIRP irp) {
        IrpRecord& record = pdo.bus_.kernel().irp_record(irp, "PoStartNextPowerIrp");
        record.start_next_power_calls--;
        PoStartNextPowerIrp(irp);
        pdo.start_next_power_calls_++;
    }

    static void notify_unplugged(Pdo& pdo) {
        if (pdo.unplug_notified_) return;
        pdo.unplug_notified_ = true;
        if (pdo.function_) pdo.function_->on_unplugged();
    }

    static void stop_function(Pdo& pdo) {
        if (!pdo.started_) return;
        pdo.started_ = false;
        if (pdo.function_) pdo.function_->on_stopped();
    }

    static NTSTATUS answer_capabilities(Pdo& pdo, PIO_STACK_LOCATION stack) {
        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
        if (!caps || caps->Version < 1 || caps->Size < sizeof(DEVICE_CAPABILITIES)) return STATUS_UNSUCCESSFUL;
        USHORT size = caps->Size;
        USHORT version = caps->Version;
        *caps = pdo.capabilities;
        caps->Size = size;
        caps->Version = version;
        return STATUS_SUCCESS;
    }

    // Carries out a Plug and Play request and completes it.
    static NTSTATUS finish_pnp(Pdo& pdo, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        UCHAR minor = stack->MinorFunction;
        NTSTATUS status = irp->IoStatus.Status;
        ULONG_PTR information = 0;
        auto failure = pdo.pnp_failures.find(minor);
        if (failure != pdo.pnp_failures.end()) {
            status = failure->second;
        } else {
            switch (minor) {
                case IRP_MN_START_DEVICE:
                    if (!pdo.present_) {
                        status = STATUS_NO_SUCH_DEVICE;
                        break;
                    }
                    pdo.started_ = true;
                    if (pdo.function_) pdo.function_->on_started();
                    status = STATUS_SUCCESS;
                    break;
                case IRP_MN_QUERY_STOP_DEVICE:
                case IRP_MN_CANCEL_STOP_DEVICE:
                case IRP_MN_QUERY_REMOVE_DEVICE:
                case IRP_MN_CANCEL_REMOVE_DEVICE:
                    status = STATUS_SUCCESS;
                    break;
                case IRP_MN_STOP_DEVICE:
                    stop_function(pdo);
                    status = STATUS_SUCCESS;
                    break;
                case IRP_MN_SURPRISE_REMOVAL:
                    // Whether the device was pulled out or failed, it is gone for its function.
                    pdo.surprise_removed_ = true;
                    notify_unplugged(pdo);
                    status = STATUS_SUCCESS;
                    break;
                case IRP_MN_REMOVE_DEVICE:
                    stop_function(pdo);
                    pdo.removals_++;
                    status = STATUS_SUCCESS;
                    break;
                case IRP_MN_QUERY_CAPABILITIES:
                    status = answer_capabilities(pdo, stack);
                    break;
                default:
                    // A request the bus does not handle keeps the status and information it came with.
                    information = irp->IoStatus.Information;
                    break;
            }
        }
        complete(irp, status, information);
        return status;
    }

    static NTSTATUS pnp(PDEVICE_OBJECT device, PIRP irp) {
        Pdo* pdo = Bus::pdo_of(device);
        if (!pdo) {
            complete(irp, STATUS_NO_SUCH_DEVICE);
            return STATUS_NO_SUCH_DEVICE;
        }
        note(*pdo, irp);
        if (pdo->pnp_completion_delay >= 0) {
            Kernel& k = pdo->bus_.kernel();
            VirtualTime delay = pdo->pnp_completion_delay;
            IoMarkIrpPending(irp);
            k.spawn("bus: " + pnp_minor_name(IoGetCurrentIrpStackLocation(irp)->MinorFunction) + " for " + pdo->name_,
                    [&k, pdo, irp, delay] {
                        k.scheduler().sleep_for(delay);
                        finish_pnp(*pdo, irp);
                    });
            return STATUS_PENDING;
        }
        return finish_pnp(*pdo, irp);
    }

    static NTSTATUS power(PDEVICE_OBJECT device, PIRP irp) {
        Pdo* pdo = Bus::pdo_of(device);
        if (!pdo) {
            complete(irp, STATUS_NO_SUCH_DEVICE);
            return STATUS_NO_SUCH_DEVICE;
        }
        note(*pdo, irp);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        UCHAR minor = stack->MinorFunction;
        NTSTATUS status = irp->IoStatus.Status;
        auto failure = pdo->power_failures.find(minor);
        if (failure != pdo->power_failures.end()) {
            status = failure->second;
        } else if (minor == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
            DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
            bool power_up = state < pdo->device_power_;
            pdo->device_power_ = state;
            if (pdo->function_) pdo->function_->on_power(state);
            if (power_up && pdo->power_up_at_dispatch) {
                Kernel& k = pdo->bus_.kernel();
                IoMarkIrpPending(irp);
                k.spawn("bus: power-up completion for " + pdo->name_,
                        [pdo, irp] {
                            start_next_power_irp(*pdo, irp);
                            complete(irp, STATUS_SUCCESS);
                        },
                        false, DISPATCH_LEVEL);
                return STATUS_PENDING;
            }
            status = STATUS_SUCCESS;
        } else if (minor == IRP_MN_SET_POWER) {
            pdo->system_power_ = stack->Parameters.Power.State.SystemState;
            status = STATUS_SUCCESS;
        } else if (minor == IRP_MN_QUERY_POWER) {
            status = STATUS_SUCCESS;
        }
        // Wait-wake and power-sequence requests keep their status: the device cannot wake anything.
        start_next_power_irp(*pdo, irp);
        complete(irp, status);
        return status;
    }

    static NTSTATUS internal_device_control(PDEVICE_OBJECT device, PIRP irp) {
        Pdo* pdo = Bus::pdo_of(device);
        if (!pdo || !pdo->function_) {
            if (pdo) note(*pdo, irp);
            complete(irp, STATUS_INVALID_DEVICE_REQUEST);
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        note(*pdo, irp);
        return pdo->function_->internal_device_control(device, irp);
    }

    static NTSTATUS succeed(PDEVICE_OBJECT device, PIRP irp) {
        if (Pdo* pdo = Bus::pdo_of(device)) note(*pdo, irp);
        complete(irp, STATUS_SUCCESS);
        return STATUS_SUCCESS;
    }

    static NTSTATUS keep_status(PDEVICE_OBJECT device, PIRP irp) {
        if (Pdo* pdo = Bus::pdo_of(device)) note(*pdo, irp);
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
        driver->MajorFunction[IRP_MJ_CREATE] = succeed;
        driver->MajorFunction[IRP_MJ_CLOSE] = succeed;
        driver->MajorFunction[IRP_MJ_CLEANUP] = succeed;
        driver->MajorFunction[IRP_MJ_PNP] = pnp;
        driver->MajorFunction[IRP_MJ_POWER] = power;
        driver->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = keep_status;
        driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = internal_device_control;
        return STATUS_SUCCESS;
    }
};

// ---- Pdo ------------------------------------------------------------------------------------------------

Pdo::Pdo(Bus& bus, std::string name, DeviceFunction* function, ULONG port)
    : capabilities(Bus::default_capabilities(port)), bus_(bus), name_(std::move(name)), function_(function) {}

size_t Pdo::count(UCHAR major, UCHAR minor) const {
    size_t n = 0;
    for (auto& request : received_) n += request.major == major && request.minor == minor;
    if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL && minor == 0) n += internal_controls_not_kept_;
    return n;
}

size_t Pdo::count(UCHAR major) const {
    size_t n = 0;
    for (auto& request : received_) n += request.major == major;
    if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL) n += internal_controls_not_kept_;
    return n;
}

// ---- Bus ------------------------------------------------------------------------------------------------

Bus::Bus(Kernel& k, std::string name) : k_(k), name_(std::move(name)) {
    driver_ = k_.load_driver(name_, &BusDispatch::entry);
}

Bus::~Bus() {
    // The kernel outlives the bus in most tests; requests that still reach a PDO then find no
    // Pdo behind it and fail instead of touching freed memory.
    for (auto& pdo : pdos_) {
        if (pdo->device_ && k_.find_device(pdo->device_)) {
            *static_cast<Pdo**>(pdo->device_->DeviceExtension) = nullptr;
        }
    }
}

DEVICE_CAPABILITIES Bus::default_capabilities(ULONG port) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(DEVICE_CAPABILITIES);
    caps.Version = 1;
    caps.DeviceD1 = 0;
    caps.DeviceD2 = 1;
    caps.Removable = 1;
    caps.SurpriseRemovalOK = 0;
    caps.UniqueID = 0;
    caps.Address = port;
    caps.UINumber = port;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s < PowerSystemMaximum; ++s) caps.DeviceState[s] = PowerDeviceD3;
    caps.SystemWake = PowerSystemUnspecified;
    caps.DeviceWake = PowerDeviceUnspecified;
    caps.D1Latency = 0;
    caps.D2Latency = 0;
    caps.D3Latency = 0;
    return caps;
}

Pdo& Bus::create_pdo(std::string name, DeviceFunction* function) {
    ULONG port = next_port_++;
    auto pdo = std::make_unique<Pdo>(*this, std::move(name), function, port);
    std::u16string device_name = to_u16("\\Device\\USBPDO-" + std::to_string(port - 1));
    UNICODE_STRING unicode;
    unicode.Buffer = device_name.data();
    unicode.Length = static_cast<USHORT>(device_name.size() * sizeof(WCHAR));
    unicode.MaximumLength = unicode.Length;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = k_.create_device(driver_, sizeof(Pdo*), &unicode, FILE_DEVICE_USB, 0, &device);
    if (!NT_SUCCESS(status)) {
        k_.bug_check("BUS_PDO_NOT_CREATED", "the bus could not create the PDO for " + pdo->name_ + ": " +
                                                status_name(status));
    }
    *static_cast<Pdo**>(device->DeviceExtension) = pdo.get();
    device->Flags |= DO_POWER_PAGABLE;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    pdo->device_ = device;
    pdos_.push_back(std::move(pdo));
    return *pdos_.back();
}

void Bus::unplug(Pdo& pdo) {
    BusDispatch::notify_unplugged(pdo);
    pdo.present_ = false;
}

void Bus::delete_pdo(Pdo& pdo) {
    if (!pdo.device_) return;
    if (pdo.device_->AttachedDevice) {
        k_.bug_check("DEVICE_STILL_ATTACHED", "the bus deletes the PDO of " + pdo.name_ +
                                                  " while a device is still attached to it");
    }
    k_.delete_device(pdo.device_);
    pdo.device_ = nullptr;
}

Pdo* Bus::pdo_of(PDEVICE_OBJECT device) {
    if (!device || !device->DriverObject || device->DriverObject->MajorFunction[IRP_MJ_PNP] != &BusDispatch::pnp) {
        return nullptr;
    }
    return *static_cast<Pdo**>(device->DeviceExtension);
}

}  // namespace sim
