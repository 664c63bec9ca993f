// The simulated Plug and Play manager: drivers, AddDevice with its checks, request sequences, removal and shutdown.
#include "pnp_manager.h"

#include <algorithm>
#include <cstdio>

#include "host_request.h"

namespace sim {

namespace {

std::string pointer_text(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

size_t device_count(PDRIVER_OBJECT driver) {
    size_t n = 0;
    for (PDEVICE_OBJECT d = driver ? driver->DeviceObject : nullptr; d; d = d->NextDevice) ++n;
    return n;
}

bool holds_stack(NodeState state) {
    return state == NodeState::added || state == NodeState::started || state == NodeState::stopped ||
           state == NodeState::surprise_removed;
}

}  // namespace

const char* to_string(NodeState state) {
    switch (state) {
        case NodeState::enumerated: return "enumerated";
        case NodeState::added: return "added";
        case NodeState::started: return "started";
        case NodeState::stopped: return "stopped";
        case NodeState::surprise_removed: return "surprise removed";
        case NodeState::removed: return "removed";
        case NodeState::deleted: return "deleted";
    }
    return "?";
}

// ---- DeviceNode ------------------------------------------------------------------------------------------

DeviceNode::DeviceNode(Kernel& k, std::string name, Pdo& pdo, PDRIVER_OBJECT driver)
    : k_(k), name_(std::move(name)), pdo_(&pdo), driver_(driver) {}

PDEVICE_OBJECT DeviceNode::top() const {
    PDEVICE_OBJECT pdo = pdo_->device();
    return pdo ? k_.top_of_stack(pdo) : nullptr;
}

std::vector<UCHAR> DeviceNode::minors() const {
    std::vector<UCHAR> result;
    for (auto& step : history_) result.push_back(step.minor);
    return result;
}

// ---- Drivers ---------------------------------------------------------------------------------------------------

PnpManager::PnpManager(Kernel& k, Bus& bus) : k_(k), bus_(bus) {}

PnpManager::DriverRecord* PnpManager::record_of(PDRIVER_OBJECT driver) {
    for (auto& record : drivers_) {
        if (std::find(record->objects.begin(), record->objects.end(), driver) != record->objects.end()) {
            return record.get();
        }
    }
    return nullptr;
}

PDRIVER_OBJECT PnpManager::load_driver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    record->entry = entry;
    NTSTATUS entry_status = STATUS_SUCCESS;
    record->object = k_.load_driver(name, entry, &entry_status);
    record->loaded = NT_SUCCESS(entry_status);
    record->entry_status = entry_status;
    record->objects.push_back(record->object);
    if (status) *status = entry_status;
    PDRIVER_OBJECT object = record->object;
    drivers_.push_back(std::move(record));
    return object;
}

PDRIVER_OBJECT PnpManager::ensure_loaded(DriverRecord& record) {
    if (record.loaded) return record.object;
    NTSTATUS entry_status = STATUS_SUCCESS;
    record.object = k_.load_driver(record.name, record.entry, &entry_status);
    record.objects.push_back(record.object);
    record.loaded = NT_SUCCESS(entry_status);
    record.entry_status = entry_status;
    return record.loaded ? record.object : nullptr;
}

void PnpManager::unload_driver(PDRIVER_OBJECT driver) {
    DriverRecord* record = record_of(driver);
    if (!record) {
        k_.unload_driver(driver);
        return;
    }
    if (!record->loaded) return;
    record->loaded = false;
    k_.unload_driver(record->object);
}

bool PnpManager::loaded(PDRIVER_OBJECT driver) const {
    for (auto& record : drivers_) {
        if (record->object == driver) return record->loaded;
    }
    return false;
}

void PnpManager::unload_if_unused(PDRIVER_OBJECT driver) {
    if (!unload_unused_drivers) return;
    DriverRecord* record = record_of(driver);
    if (!record || !record->loaded || record->object->DeviceObject) return;
    for (auto& node : nodes_) {
        if (record_of(node->driver_) == record && holds_stack(node->state_)) return;
    }
    record->loaded = false;
    k_.unload_driver(record->object);
}

// ---- Devices -------------------------------------------------------------------------------------------------------

DeviceNode& PnpManager::plug(PDRIVER_OBJECT driver, std::string name, DeviceFunction* function) {
    Pdo& pdo = bus_.create_pdo(name, function);
    nodes_.push_back(std::make_unique<DeviceNode>(k_, std::move(name), pdo, driver));
    DeviceNode& node = *nodes_.back();
    // Windows asks the bus for the capabilities of a new device before it loads any function driver.
    send_pnp(node, IRP_MN_QUERY_CAPABILITIES);
    add_device(node);
    return node;
}

NTSTATUS PnpManager::add_device(DeviceNode& node) {
    PDEVICE_OBJECT pdo = node.pdo_device();
    if (!pdo || !node.pdo_->present()) return node.add_status_ = STATUS_NO_SUCH_DEVICE;
    if (node.fdo_) return STATUS_INVALID_DEVICE_STATE;
    PDRIVER_OBJECT driver = node.driver_;
    if (DriverRecord* record = record_of(driver)) {
        driver = ensure_loaded(*record);
        if (!driver) return node.add_status_ = record->entry_status;
        node.driver_ = driver;
    }
    PDRIVER_ADD_DEVICE add = driver->DriverExtension ? driver->DriverExtension->AddDevice : nullptr;
    if (!add) return node.add_status_ = STATUS_INVALID_DEVICE_REQUEST;

    size_t devices_before = device_count(driver);
    NTSTATUS status = k_.call_checked("AddDevice", [&] { return add(driver, pdo); });
    node.add_status_ = status;
    if (!NT_SUCCESS(status)) {
        if (pdo->AttachedDevice) {
            k_.bug_check("ADD_DEVICE_FAILED_BUT_ATTACHED", "AddDevice for " + node.name_ + " returned " +
                                                               status_name(status) + " and left device " +
                                                               pointer_text(pdo->AttachedDevice) + " attached to the PDO");
        }
        if (device_count(driver) > devices_before) {
            k_.bug_check("ADD_DEVICE_FAILED_BUT_DEVICE_LEFT", "AddDevice for " + node.name_ + " returned " +
                                                                  status_name(status) + " and did not delete the device it created");
        }
        node.state_ = NodeState::enumerated;
        unload_if_unused(driver);
        return status;
    }
    if (!pdo->AttachedDevice) {
        k_.bug_check("ADD_DEVICE_DID_NOT_ATTACH", "AddDevice for " + node.name_ +
                                                      " succeeded without attaching a device to the PDO");
    }
    for (PDEVICE_OBJECT d = pdo->AttachedDevice; d; d = d->AttachedDevice) {
        if (d->Flags & DO_DEVICE_INITIALIZING) {
            k_.bug_check("DEVICE_INITIALIZING_NOT_CLEARED", "AddDevice for " + node.name_ + " left DO_DEVICE_INITIALIZING set on device " +
                                                                pointer_text(d) + "; the I/O manager refuses to open it");
        }
    }
    node.fdo_ = pdo->AttachedDevice;
    node.state_ = NodeState::added;
    return status;
}

// ---- Requests ---------------------------------------------------------------------------------------------------

NTSTATUS PnpManager::send_to(DeviceNode& node, PDEVICE_OBJECT target, UCHAR minor,
                             const std::function<void(IO_STACK_LOCATION&)>& fill, DEVICE_CAPABILITIES* caps_out) {
    auto request = HostRequest::create(k_, target, pnp_minor_name(minor) + " for " + node.name_);
    PIO_STACK_LOCATION stack = request->location();
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    // The PnP manager's own capability structure; shared with the request so that a completion
    // after a broken-off wait still writes into live memory.
    auto caps = std::make_shared<DEVICE_CAPABILITIES>();
    if (minor == IRP_MN_QUERY_CAPABILITIES) {
        caps->Size = sizeof(DEVICE_CAPABILITIES);
        caps->Version = 1;
        caps->Address = 0xFFFFFFFF;
        caps->UINumber = 0xFFFFFFFF;
        stack->Parameters.DeviceCapabilities.Capabilities = caps.get();
        request->on_finish = [caps](PIRP) {};
    }
    if (fill) fill(*stack);
    bool own_caps = minor == IRP_MN_QUERY_CAPABILITIES && stack->Parameters.DeviceCapabilities.Capabilities == caps.get();
    NTSTATUS status = request->send_and_wait();
    if (own_caps && NT_SUCCESS(status) && caps_out) *caps_out = *caps;
    node.history_.push_back({minor, status, k_.now()});
    follow(node, minor, status);
    return status;
}

NTSTATUS PnpManager::send_pnp(DeviceNode& node, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill) {
    PDEVICE_OBJECT top = node.top();
    if (!top) return STATUS_NO_SUCH_DEVICE;
    return send_to(node, top, minor, fill, &node.capabilities_);
}

NTSTATUS PnpManager::query_capabilities(DeviceNode& node, DEVICE_CAPABILITIES& caps) {
    return send_pnp(node, IRP_MN_QUERY_CAPABILITIES,
                    [&caps](IO_STACK_LOCATION& stack) { stack.Parameters.DeviceCapabilities.Capabilities = &caps; });
}

void PnpManager::follow(DeviceNode& node, UCHAR minor, NTSTATUS status) {
    switch (minor) {
        case IRP_MN_START_DEVICE:
            if (NT_SUCCESS(status) && node.fdo_) node.state_ = NodeState::started;
            break;
        case IRP_MN_STOP_DEVICE:
            if (node.fdo_) node.state_ = NodeState::stopped;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            if (node.fdo_) node.state_ = NodeState::surprise_removed;
            break;
        case IRP_MN_REMOVE_DEVICE:
            after_removal(node);
            break;
        default:
            break;
    }
}

// Removal must leave the PDO alone: the function driver detached and deleted its device before
// its dispatch routine returned.
void PnpManager::after_removal(DeviceNode& node) {
    PDEVICE_OBJECT pdo = node.pdo_device();
    if (node.fdo_ && k_.find_device(node.fdo_)) {
        k_.bug_check("DEVICE_NOT_DELETED_AT_REMOVE", "IRP_MN_REMOVE_DEVICE for " + node.name_ + " completed and device " +
                                                         pointer_text(node.fdo_) + " still exists");
    }
    if (pdo && pdo->AttachedDevice) {
        k_.bug_check("DEVICE_NOT_DETACHED_AT_REMOVE", "IRP_MN_REMOVE_DEVICE for " + node.name_ + " completed and device " +
                                                          pointer_text(pdo->AttachedDevice) + " is still attached to the PDO");
    }
    node.fdo_ = nullptr;
    node.state_ = NodeState::removed;
    if (!node.pdo_->present()) {
        bus_.delete_pdo(*node.pdo_);
        node.state_ = NodeState::deleted;
    }
    unload_if_unused(node.driver_);
}

// ---- Sequences -------------------------------------------------------------------------------------------------------

NTSTATUS PnpManager::start(DeviceNode& node) {
    if (query_capabilities_before_start) send_pnp(node, IRP_MN_QUERY_CAPABILITIES);
    NTSTATUS status = send_pnp(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        if (node.fdo_) send_pnp(node, IRP_MN_REMOVE_DEVICE);
        return status;
    }
    send_pnp(node, IRP_MN_QUERY_CAPABILITIES);
    send_pnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE);
    return status;
}

NTSTATUS PnpManager::stop(DeviceNode& node) {
    NTSTATUS query = send_pnp(node, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(query)) {
        send_pnp(node, IRP_MN_CANCEL_STOP_DEVICE);
        return query;
    }
    return send_pnp(node, IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::query_remove_then_cancel(DeviceNode& node) {
    NTSTATUS query = send_pnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    NTSTATUS cancel = send_pnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
    return NT_SUCCESS(query) ? cancel : query;
}

NTSTATUS PnpManager::remove(DeviceNode& node) {
    NTSTATUS query = send_pnp(node, IRP_MN_QUERY_REMOVE_DEVICE);
    if (!NT_SUCCESS(query)) {
        send_pnp(node, IRP_MN_CANCEL_REMOVE_DEVICE);
        return query;
    }
    return send_pnp(node, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::surprise_removal(DeviceNode& node) {
    if (!node.pdo_device()) return STATUS_NO_SUCH_DEVICE;
    bus_.unplug(*node.pdo_);
    if (node.state_ == NodeState::started || node.state_ == NodeState::stopped) {
        return send_pnp(node, IRP_MN_SURPRISE_REMOVAL);
    }
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::finish_removal(DeviceNode& node) {
    if (!node.pdo_device()) return STATUS_NO_SUCH_DEVICE;
    return send_pnp(node, IRP_MN_REMOVE_DEVICE);
}

NTSTATUS PnpManager::unplug(DeviceNode& node) {
    NTSTATUS surprise = surprise_removal(node);
    if (surprise == STATUS_NO_SUCH_DEVICE) return surprise;
    return finish_removal(node);
}

std::vector<NTSTATUS> PnpManager::shutdown() {
    std::vector<PDEVICE_OBJECT> registered = k_.shutdown_devices();
    std::vector<PDEVICE_OBJECT> order;
    // Device addresses differ from run to run; the order of the nodes does not.
    for (auto& node : nodes_) {
        for (PDEVICE_OBJECT d = node->pdo_device(); d; d = d->AttachedDevice) {
            if (std::find(registered.begin(), registered.end(), d) != registered.end()) order.push_back(d);
        }
    }
    for (PDEVICE_OBJECT d : registered) {
        if (std::find(order.begin(), order.end(), d) == order.end()) order.push_back(d);
    }
    std::vector<NTSTATUS> results;
    for (PDEVICE_OBJECT device : order) {
        auto request = HostRequest::create(k_, device, "IRP_MJ_SHUTDOWN to " + pointer_text(device), STATUS_SUCCESS);
        request->location()->MajorFunction = IRP_MJ_SHUTDOWN;
        results.push_back(request->send_and_wait());
    }
    return results;
}

}  // namespace sim
