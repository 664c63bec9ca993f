// The simulated kernel's core: instance, threads and IRQL, verifier, fault injection, pool,
// device objects, and the life of an IRP (send, complete, cancel, free).
#include "kernel.h"
#include "node_reuse.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace sim {

namespace {

Kernel* g_current = nullptr;
constexpr uint8_t kFreshPoolByte = 0xC5;  // new pool is not zeroed on Windows either
constexpr uint8_t kFreedByte = 0xDD;
constexpr CSHORT kIoTypeIrp = 6;
constexpr CSHORT kIoTypeDevice = 3;

std::string hex(uint64_t value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

std::string pointer_text(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

}  // namespace

const char* to_string(FaultSite site) {
    switch (site) {
        case FaultSite::pool: return "pool";
        case FaultSite::irp: return "irp";
        case FaultSite::create_device: return "create_device";
        case FaultSite::attach_device: return "attach_device";
        case FaultSite::register_interface: return "register_interface";
        case FaultSite::bus_transfer: return "bus_transfer";
        case FaultSite::count: break;
    }
    return "?";
}

std::string tag_chars(ULONG tag) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xff);
        if (c == 0) break;
        text += (c >= 32 && c < 127) ? c : '?';
    }
    return text;
}

std::string tag_text(ULONG tag) { return "'" + tag_chars(tag) + "' (" + hex(tag) + ")"; }

std::string describe_site(void* address) {
    Dl_info info{};
    if (address && dladdr(address, &info) && info.dli_sname) {
        int status = 0;
        char* demangled = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
        std::string name = (status == 0 && demangled) ? demangled : info.dli_sname;
        std::free(demangled);
        auto offset = reinterpret_cast<uintptr_t>(address) - reinterpret_cast<uintptr_t>(info.dli_saddr);
        return name + "+" + hex(offset);
    }
    return pointer_text(address);
}

// ---- Instance -----------------------------------------------------------------------------------

Kernel::Kernel(uint64_t seed, KernelSettings settings)
    : scheduler_(seed), settings_(settings), previous_(g_current) {
    g_current = this;
    scheduler_.on_reap = [this](SimThread& thread) { threads_.erase(&thread); };
}

Kernel::~Kernel() {
    if (!bug_checked()) scheduler_.stop_daemons();
    for (PIRP irp : irp_quarantine_) std::free(irp);
    for (auto& [irp, record] : irps_) {
        if (!record.freed) {
            std::free(record.system_buffer);
            std::free(irp);
        }
    }
    for (auto& [block, size] : pool_quarantine_) std::free(block);
    for (auto& [size, blocks] : spare_memory_) {
        for (void* memory : blocks) std::free(memory);
    }
    for (auto& [block, info] : pool_) std::free(block);
    for (auto& [device, record] : devices_) std::free(device);
    for (auto& [device, calls] : deleted_in_dispatch_) std::free(device);
    g_current = previous_;
}

Kernel& Kernel::current() {
    if (!g_current) {
        std::fprintf(stderr, "sim: a kernel routine was called with no simulated kernel running\n");
        std::abort();
    }
    return *g_current;
}

Kernel* Kernel::current_or_null() { return g_current; }

SimThread& Kernel::spawn(std::string name, std::function<void()> body, bool daemon, KIRQL irql) {
    SimThread& thread = scheduler_.spawn(std::move(name), std::move(body), daemon);
    thread.irql = irql;
    return thread;
}

RunOutcome Kernel::run_thread(std::string name, std::function<void()> body) {
    spawn(std::move(name), std::move(body));
    return scheduler_.run();
}

KernelThread& Kernel::thread() {
    SimThread* sim = scheduler_.current_or_null();
    if (!sim) return outside_thread_;
    // Called at every kernel routine: the thread's record is found through the thread itself once it exists.
    if (sim->kernel_data) return *static_cast<KernelThread*>(sim->kernel_data);
    auto& slot = threads_[sim];
    if (!slot) {
        slot = std::make_unique<KernelThread>();
        slot->sim = sim;
        sim->kernel_data = slot.get();
    }
    return *slot;
}

KIRQL Kernel::irql() {
    SimThread* sim = scheduler_.current_or_null();
    return sim ? sim->irql : outside_irql_;
}

void Kernel::set_irql(KIRQL irql) {
    SimThread* sim = scheduler_.current_or_null();
    if (sim) {
        sim->irql = irql;
    } else {
        outside_irql_ = irql;
    }
}

void Kernel::check_irql_restored(const char* what, KIRQL before) {
    KIRQL after = irql();
    if (after != before) {
        bug_check("IRQL_NOT_RESTORED", std::string(what) + " returned at IRQL " +
                                           std::to_string(after) + ", was called at IRQL " +
                                           std::to_string(before));
    }
}

// ---- Verifier -----------------------------------------------------------------------------------

void Kernel::bug_check(const std::string& rule, const std::string& detail) {
    std::string thread = scheduler_.in_thread() ? scheduler_.current().name : "(outside)";
    bug_check_rule_ = rule;
    bug_check_report_ = "*** BUG CHECK (driver verifier): " + rule + "\n    " + detail +
                        "\n    thread '" + thread + "' at " + std::to_string(to_ms(now())) + " ms";
    if (!scheduler_.in_thread()) {
        std::fprintf(stderr, "%s\n", bug_check_report_.c_str());
        std::abort();
    }
    scheduler_.abort_run(bug_check_report_);
}

// ---- Faults -------------------------------------------------------------------------------------

void Kernel::set_fault(FaultSite site, FaultPlan plan) {
    faults_[static_cast<int>(site)] = plan;
    fault_calls_[static_cast<int>(site)] = 0;
}

void Kernel::clear_faults() {
    for (int i = 0; i < static_cast<int>(FaultSite::count); ++i) set_fault(static_cast<FaultSite>(i), {});
}

bool Kernel::should_fail(FaultSite site) {
    auto index = static_cast<int>(site);
    const FaultPlan& plan = faults_[index];
    uint64_t call = ++fault_calls_[index];
    bool fail = false;
    if (plan.fail_nth != 0) {
        fail = plan.fail_all_after_nth ? call >= plan.fail_nth : call == plan.fail_nth;
    }
    if (!fail && plan.every_nth != 0) fail = call % plan.every_nth == 0;
    if (!fail && plan.per_million != 0) fail = scheduler_.random_below(1'000'000) < plan.per_million;
    if (fail) {
        ++faults_injected_;
        trace(std::string("fault injected: ") + to_string(site) + " call " + std::to_string(call));
    }
    return fail;
}

// ---- Pool -----------------------------------------------------------------------------------------

namespace {

constexpr size_t kSpareSizes = 64;        // distinct sizes kept
constexpr size_t kSparePerSize = 256;     // blocks kept per size

}  // namespace

void* Kernel::pool_allocate(SIZE_T size, ULONG tag, void* site) {
    if (irql() > DISPATCH_LEVEL) {
        bug_check("IRQL_NOT_LESS_OR_EQUAL", "ExAllocatePoolWithTag at IRQL " + std::to_string(irql()));
    }
    if (size == 0) {
        bug_check("BAD_POOL_CALLER", "ExAllocatePoolWithTag of 0 bytes, tag " + tag_text(tag) +
                                         ", from " + describe_site(site));
    }
    if (should_fail(FaultSite::pool)) return nullptr;
    void* block = take_spare(size);
    if (!block) block = std::malloc(size);
    if (!block) return nullptr;
    std::memset(block, kFreshPoolByte, size);
    insert_reusing(pool_, spare_pool_nodes_, block, PoolBlock{size, tag, site, ++pool_serial_});
    return block;
}


void* Kernel::take_spare(size_t size) {
    auto found = spare_memory_.find(size);
    if (found == spare_memory_.end() || found->second.empty()) return nullptr;
    void* memory = found->second.back();
    found->second.pop_back();
    return memory;
}

void Kernel::keep_spare(void* memory, size_t size) {
#if defined(__SANITIZE_ADDRESS__)
    (void)size;
    std::free(memory);
#else
    auto found = spare_memory_.find(size);
    if (found == spare_memory_.end()) {
        if (spare_memory_.size() >= kSpareSizes) {
            std::free(memory);
            return;
        }
        found = spare_memory_.emplace(size, std::vector<void*>{}).first;
    }
    if (found->second.size() < kSparePerSize) {
        found->second.push_back(memory);
    } else {
        std::free(memory);
    }
#endif
}

void Kernel::pool_free(void* block, ULONG tag, bool check_tag, const char* call) {
    if (!block) bug_check("BAD_POOL_CALLER", std::string(call) + " of a null pointer");
    auto it = pool_.find(block);
    if (it == pool_.end()) {
        const bool quarantined = std::any_of(pool_quarantine_.begin(), pool_quarantine_.end(),
                                             [block](const auto& freed) { return freed.first == block; });
        if (quarantined) {
            bug_check("BAD_POOL_CALLER", std::string(call) + " of pool freed twice: " + pointer_text(block));
        }
        bug_check("BAD_POOL_CALLER", std::string(call) + " of memory that is not a pool block: " +
                                         pointer_text(block));
    }
    if (check_tag && it->second.tag != tag) {
        bug_check("BAD_POOL_CALLER", std::string(call) + " with tag " + tag_text(tag) +
                                         " of a block allocated with tag " + tag_text(it->second.tag) +
                                         " at " + describe_site(it->second.site));
    }
    const size_t size = it->second.size;
    std::memset(block, kFreedByte, size);
    keep_node(spare_pool_nodes_, pool_.extract(it));
    pool_quarantine_.emplace_back(block, size);
    if (pool_quarantine_.size() > settings_.pool_quarantine) {
        const auto [oldest, oldest_size] = pool_quarantine_.front();
        pool_quarantine_.pop_front();
        keep_spare(oldest, oldest_size);
    }
}

size_t Kernel::live_pool_with_tag(ULONG tag) const {
    size_t count = 0;
    for (auto& [block, info] : pool_) count += info.tag == tag;
    return count;
}

std::string Kernel::describe_live_pool() const {
    std::vector<const PoolBlock*> blocks;
    for (auto& [block, info] : pool_) blocks.push_back(&info);
    std::sort(blocks.begin(), blocks.end(), [](auto* a, auto* b) { return a->serial < b->serial; });
    std::ostringstream out;
    for (const PoolBlock* block : blocks) {
        const PoolBlock& info = *block;
        out << "\n    " << info.size << " bytes, tag " << tag_text(info.tag) << ", allocated at "
            << describe_site(info.site) << " (allocation #" << info.serial << ")";
    }
    return out.str();
}

void Kernel::check_no_pool_left(const std::string& when) {
    if (pool_.empty()) return;
    bug_check("POOL_LEAK", std::to_string(pool_.size()) + " pool block(s) left allocated " + when + ":" +
                               describe_live_pool());
}

// ---- Devices ---------------------------------------------------------------------------------------

DeviceRecord* Kernel::find_device(PDEVICE_OBJECT device) {
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : &it->second;
}

PDEVICE_OBJECT Kernel::top_of_stack(PDEVICE_OBJECT device) const {
    while (device && device->AttachedDevice) device = device->AttachedDevice;
    return device;
}

PDEVICE_OBJECT Kernel::lower_of(PDEVICE_OBJECT device) const {
    auto it = devices_.find(device);
    return it == devices_.end() ? nullptr : it->second.attached_to;
}

std::vector<PDEVICE_OBJECT> Kernel::shutdown_devices() const {
    std::vector<PDEVICE_OBJECT> result;
    for (auto& [device, record] : devices_) {
        if (record.shutdown_registered) result.push_back(device);
    }
    return result;
}

NTSTATUS Kernel::create_device(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                               DEVICE_TYPE type, ULONG characteristics, PDEVICE_OBJECT* out) {
    if (irql() != PASSIVE_LEVEL) bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoCreateDevice above PASSIVE_LEVEL");
    *out = nullptr;
    if (should_fail(FaultSite::create_device)) return STATUS_INSUFFICIENT_RESOURCES;
    size_t header = (sizeof(DEVICE_OBJECT) + 15) & ~size_t{15};
    auto* device = static_cast<PDEVICE_OBJECT>(std::calloc(1, header + extension_size));
    if (!device) return STATUS_INSUFFICIENT_RESOURCES;
    device->Type = kIoTypeDevice;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extension_size);
    device->ReferenceCount = 0;
    device->DriverObject = driver;
    device->Flags = DO_DEVICE_INITIALIZING;
    device->Characteristics = characteristics;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceExtension = extension_size ? reinterpret_cast<char*>(device) + header : nullptr;
    if (driver) {
        device->NextDevice = driver->DeviceObject;
        driver->DeviceObject = device;
    }
    DeviceRecord record;
    record.device = device;
    if (name && name->Buffer) {
        for (USHORT i = 0; i < name->Length / 2; ++i) record.name += static_cast<char>(name->Buffer[i]);
        device->Flags |= DO_DEVICE_HAS_NAME;
    }
    devices_[device] = record;
    *out = device;
    return STATUS_SUCCESS;
}

void Kernel::delete_device(PDEVICE_OBJECT device) {
    DeviceRecord* record = find_device(device);
    if (!record) bug_check("INVALID_DEVICE_OBJECT", "IoDeleteDevice of an unknown or deleted device " + pointer_text(device));
    if (device->AttachedDevice) {
        bug_check("DEVICE_STILL_ATTACHED", "IoDeleteDevice of " + pointer_text(device) +
                                               " while another device is attached on top of it");
    }
    if (record->attached_to) {
        bug_check("DEVICE_STILL_ATTACHED", "IoDeleteDevice of " + pointer_text(device) +
                                               " before IoDetachDevice from the device below it");
    }
    if (PDRIVER_OBJECT driver = device->DriverObject) {
        for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
            if (*link == device) {
                *link = device->NextDevice;
                break;
            }
        }
    }
    const int in_dispatch = record->in_dispatch;
    devices_.erase(device);
    // The sender of a request that is being dispatched to the device holds a reference on it, as the I/O manager
    // does for a handle's requests: the memory stays until that dispatch routine has returned. The object counts
    // as deleted at once.
    if (in_dispatch > 0) {
        deleted_in_dispatch_.emplace_back(device, in_dispatch);
    } else {
        std::free(device);
    }
}

PDEVICE_OBJECT Kernel::attach_device(PDEVICE_OBJECT source, PDEVICE_OBJECT target) {
    if (should_fail(FaultSite::attach_device)) return nullptr;
    DeviceRecord* record = find_device(source);
    if (!record || !find_device(target)) {
        bug_check("INVALID_DEVICE_OBJECT", "IoAttachDeviceToDeviceStack with an unknown device");
    }
    PDEVICE_OBJECT top = top_of_stack(target);
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    record->attached_to = top;
    return top;
}

void Kernel::detach_device(PDEVICE_OBJECT target) {
    if (!find_device(target)) bug_check("INVALID_DEVICE_OBJECT", "IoDetachDevice of an unknown device");
    PDEVICE_OBJECT above = target->AttachedDevice;
    if (!above) bug_check("INVALID_DEVICE_OBJECT", "IoDetachDevice of a device with nothing attached");
    if (DeviceRecord* record = find_device(above)) record->attached_to = nullptr;
    target->AttachedDevice = nullptr;
}

// ---- IRPs -----------------------------------------------------------------------------------------

PIRP Kernel::allocate_irp(CCHAR stack_size, IrpOrigin origin) {
    if (stack_size < 1) bug_check("INVALID_IRP", "IRP allocated with " + std::to_string(stack_size) + " stack locations");
    size_t size = IoSizeOfIrp(stack_size);
    auto* irp = static_cast<PIRP>(take_spare(size));
    if (irp) {
        std::memset(irp, 0, size);
    } else {
        irp = static_cast<PIRP>(std::calloc(1, size));
    }
    if (!irp) return nullptr;
    irp->Type = kIoTypeIrp;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = stack_size;
    irp->CurrentLocation = static_cast<CHAR>(stack_size + 1);
    irp->Tail.Overlay.CurrentStackLocation =
        reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stack_size;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(&thread());
    IrpRecord record;
    record.serial = ++irp_serial_;
    record.origin = origin;
    record.pending_marked.reset();
    record.location_completed.reset();
    record.dispatch_returned_pending.reset();
    record.memory_size = size;
    insert_reusing(irps_, spare_irp_nodes_, irp, std::move(record));
    return irp;
}

IrpRecord* Kernel::find_irp(PIRP irp) {
    auto it = irps_.find(irp);
    return it == irps_.end() ? nullptr : &it->second;
}

IrpRecord& Kernel::irp_record(PIRP irp, const char* call) {
    IrpRecord* record = find_irp(irp);
    if (!record) bug_check("INVALID_IRP", std::string(call) + " of " + pointer_text(irp) + ", which is not an IRP");
    if (record->freed) {
        bug_check("IRP_USED_AFTER_FREE", std::string(call) + " of IRP #" + std::to_string(record->serial) +
                                             " (" + pointer_text(irp) + ") after IoFreeIrp");
    }
    return *record;
}

size_t Kernel::live_irps() const {
    size_t count = 0;
    for (auto& [irp, record] : irps_) count += !record.freed;
    return count;
}

void Kernel::free_irp(PIRP irp, const char* call) {
    IrpRecord& record = irp_record(irp, call);
    if (record.sent) {
        bug_check("IRP_FREED_WHILE_OWNED_BY_LOWER_DRIVER",
                  std::string(call) + " of IRP #" + std::to_string(record.serial) +
                      ", which a lower driver still owns (sent with IoCallDriver and not completed)");
    }
    if (irp->CancelRoutine) {
        bug_check("IRP_FREED_WITH_CANCEL_ROUTINE", std::string(call) + " of IRP #" +
                                                       std::to_string(record.serial) +
                                                       " whose cancel routine is still set");
    }
    if (record.system_buffer) {
        std::free(record.system_buffer);
        record.system_buffer = nullptr;
    }
    record.freed = true;
    record.finished = true;
    record.on_complete = nullptr;
    std::memset(irp, kFreedByte, irp->Size);
    irp_quarantine_.push_back(irp);
    if (irp_quarantine_.size() > settings_.irp_quarantine) {
        PIRP oldest = irp_quarantine_.front();
        irp_quarantine_.pop_front();
        auto node = irps_.extract(oldest);
        const size_t size = node.mapped().memory_size;
        keep_node(spare_irp_nodes_, std::move(node));
        if (size) {
            keep_spare(oldest, size);
        } else {
            std::free(oldest);
        }
    }
}

void Kernel::pending_not_marked(PDEVICE_OBJECT device, uint64_t serial) {
    bug_check("PENDING_NOT_MARKED", "dispatch routine of device " + pointer_text(device) +
                                        " returned STATUS_PENDING for IRP #" + std::to_string(serial) +
                                        " without IoMarkIrpPending");
}

NTSTATUS Kernel::call_driver(PDEVICE_OBJECT device, PIRP irp, const char* call) {
    IrpRecord& record = irp_record(irp, call);
    if (irql() > DISPATCH_LEVEL) bug_check("IRQL_NOT_LESS_OR_EQUAL", std::string(call) + " above DISPATCH_LEVEL");
    DeviceRecord* target = find_device(device);
    if (!target) bug_check("INVALID_DEVICE_OBJECT", std::string(call) + " to an unknown or deleted device " + pointer_text(device));
    if (record.finished) {
        bug_check("IRP_ALREADY_COMPLETED", std::string(call) + " of IRP #" + std::to_string(record.serial) +
                                               ", which has already been completed");
    }
    irp->CurrentLocation--;
    if (irp->CurrentLocation <= 0) {
        bug_check("NO_MORE_IRP_STACK_LOCATIONS", std::string(call) + " of IRP #" +
                                                     std::to_string(record.serial) + " to device " +
                                                     pointer_text(device) + " with no stack location left");
    }
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    stack->DeviceObject = device;
    int location = irp->CurrentLocation;
    record.sent = true;
    uint64_t serial = record.serial;
    PDRIVER_DISPATCH dispatch = device->DriverObject ? device->DriverObject->MajorFunction[stack->MajorFunction] : nullptr;
    if (!dispatch) bug_check("INVALID_DEVICE_OBJECT", "device " + pointer_text(device) + " has no dispatch routine for major function " + std::to_string(stack->MajorFunction));
    // The text costs three snprintf calls and several allocations per call; build it only when someone keeps it.
    if (trace_io) {
        trace("IRP #" + std::to_string(serial) + " major " + hex(stack->MajorFunction) + " minor " +
              hex(stack->MinorFunction) + " -> device " + pointer_text(device));
    }
    ++target->in_dispatch;
    scheduler_.yield();
    NTSTATUS status = call_checked("dispatch routine", [&] { return dispatch(device, irp); });
    if (DeviceRecord* still = find_device(device)) {
        --still->in_dispatch;
    } else {
        for (auto it = deleted_in_dispatch_.begin(); it != deleted_in_dispatch_.end(); ++it) {
            if (it->first != device) continue;
            if (--it->second == 0) {
                std::free(device);
                deleted_in_dispatch_.erase(it);
            }
            break;
        }
    }
    if (status == STATUS_PENDING) {
        // The IRP may already be completed and freed; its record remembers the marks. When the
        // completion has not reached this location yet, the mark may still come from the
        // completion routine below it, so the check waits for the completion.
        IrpRecord* after = find_irp(irp);
        if (after && after->serial == serial) {
            if (!after->location_completed[location]) {
                after->dispatch_returned_pending[location] = 1;
            } else if (!after->pending_marked[location]) {
                pending_not_marked(device, serial);
            }
        }
    }
    return status;
}

void Kernel::complete_request(PIRP irp, CCHAR boost) {
    (void)boost;
    if (IrpRecord* known = find_irp(irp); known && known->freed && known->completed_to_top) {
        bug_check("IRP_COMPLETED_TWICE", "IoCompleteRequest of IRP #" + std::to_string(known->serial) +
                                             ", which was already completed and freed");
    }
    IrpRecord& record = irp_record(irp, "IoCompleteRequest");
    if (irql() > DISPATCH_LEVEL) bug_check("IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest above DISPATCH_LEVEL");
    if (record.finished) {
        bug_check("IRP_COMPLETED_TWICE", "IoCompleteRequest of IRP #" + std::to_string(record.serial) +
                                             ", which has already been completed");
    }
    if (record.completing && record.routine_depth == 0) {
        bug_check("IRP_COMPLETED_TWICE", "IoCompleteRequest of IRP #" + std::to_string(record.serial) +
                                             " while its completion is in progress");
    }
    if (irp->CancelRoutine) {
        bug_check("CANCEL_ROUTINE_STILL_SET", "IoCompleteRequest of IRP #" + std::to_string(record.serial) +
                                                  " with its cancel routine still set");
    }
    if (irp->IoStatus.Status == STATUS_PENDING) {
        bug_check("IRP_COMPLETED_WITH_PENDING", "IoCompleteRequest of IRP #" + std::to_string(record.serial) +
                                                    " with IoStatus.Status STATUS_PENDING");
    }
    if (!record.sent && record.origin != IrpOrigin::host) {
        bug_check("IRP_NOT_OWNED", "IoCompleteRequest of IRP #" + std::to_string(record.serial) +
                                       ", which was never sent to a driver");
    }
    if (record.completing) record.restarted = true;
    uint64_t serial = record.serial;
    bool outer_completing = record.completing;
    record.completing = true;
    record.sent = false;
    if (trace_io) trace("IRP #" + std::to_string(serial) + " completed with " + status_name(irp->IoStatus.Status));

    // Walk up the stack: each location's completion routine runs in the context of the driver
    // above it; STATUS_MORE_PROCESSING_REQUIRED hands the IRP back to that driver.
    while (irp->CurrentLocation <= irp->StackCount) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        int location = irp->CurrentLocation;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        IrpRecord* live = find_irp(irp);
        live->pending_marked[location] = irp->PendingReturned != FALSE;
        live->location_completed[location] = 1;
        if (live->dispatch_returned_pending[location] && !irp->PendingReturned) {
            pending_not_marked(stack->DeviceObject, serial);
        }
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        UCHAR control = stack->Control;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        stack->Control = 0;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        bool invoke = false;
        if (routine) {
            if (NT_SUCCESS(irp->IoStatus.Status)) invoke = control & SL_INVOKE_ON_SUCCESS;
            else invoke = control & SL_INVOKE_ON_ERROR;
            if (irp->Cancel) invoke = invoke || (control & SL_INVOKE_ON_CANCEL);
        }
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount) IoMarkIrpPending(irp);
            continue;
        }
        PDEVICE_OBJECT owner = irp->CurrentLocation <= irp->StackCount
                                   ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                   : nullptr;
        live->routine_depth++;
        live->restarted = false;
        NTSTATUS result = call_checked("completion routine", [&] { return routine(owner, irp, context); });
        IrpRecord* after = find_irp(irp);
        if (!after || after->serial != serial || after->freed) {
            if (result != STATUS_MORE_PROCESSING_REQUIRED) {
                bug_check("IRP_FREED_IN_COMPLETION", "a completion routine freed IRP #" + std::to_string(serial) +
                                                         " and did not return STATUS_MORE_PROCESSING_REQUIRED");
            }
            return;
        }
        after->routine_depth--;
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The driver owns the IRP again (or completed it anew, which ran its own pass).
            if (!after->restarted) after->completing = outer_completing;
            after->restarted = false;
            return;
        }
        if (after->restarted) {
            bug_check("IRP_COMPLETED_TWICE", "a completion routine completed IRP #" + std::to_string(serial) +
                                                 " again and returned " + status_name(result) +
                                                 " instead of STATUS_MORE_PROCESSING_REQUIRED");
        }
    }

    IrpRecord& done = irp_record(irp, "IoCompleteRequest");
    done.completing = false;
    done.finished = true;
    done.completed_to_top = true;
    switch (done.origin) {
        case IrpOrigin::allocated:
            bug_check("ALLOCATED_IRP_COMPLETED_TO_IO_MANAGER",
                      "IRP #" + std::to_string(serial) +
                          " from IoAllocateIrp was completed to the top; its completion routine must free "
                          "it and return STATUS_MORE_PROCESSING_REQUIRED");
        case IrpOrigin::built_ioctl: {
            if (done.system_buffer && done.user_output && done.user_output_length) {
                size_t n = std::min<size_t>(irp->IoStatus.Information, done.user_output_length);
                if (NT_SUCCESS(irp->IoStatus.Status) || NT_WARNING(irp->IoStatus.Status)) {
                    std::memcpy(done.user_output, done.system_buffer, n);
                }
            }
            if (done.user_iosb) *done.user_iosb = irp->IoStatus;
            PKEVENT event = done.user_event;
            done.finished = false;  // free_irp below marks it
            free_irp(irp, "I/O manager");
            if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
            return;
        }
        case IrpOrigin::host: {
            auto handler = std::move(done.on_complete);
            if (handler) handler(irp);
            return;
        }
    }
}

BOOLEAN Kernel::cancel_irp(PIRP irp) {
    IrpRecord& record = irp_record(irp, "IoCancelIrp");
    (void)record;
    KIRQL old_irql;
    IoAcquireCancelSpinLock(&old_irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(old_irql);
        return FALSE;
    }
    irp->CancelIrql = old_irql;
    PDEVICE_OBJECT device = irp->CurrentLocation <= irp->StackCount
                                ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                : nullptr;
    KIRQL before = irql();
    routine(device, irp);
    auto& held = thread().held_spin_locks;
    for (PKSPIN_LOCK lock : held) {
        if (lock == &cancel_spin_lock_) {
            bug_check("CANCEL_SPIN_LOCK_NOT_RELEASED", "a cancel routine returned holding the cancel spin lock");
        }
    }
    if (irql() != old_irql) {
        bug_check("IRQL_NOT_RESTORED", "cancel routine returned at IRQL " + std::to_string(irql()) +
                                           ", should have released the cancel spin lock to IRQL " +
                                           std::to_string(old_irql));
    }
    (void)before;
    return TRUE;
}

// ---- Drivers -------------------------------------------------------------------------------------------

namespace {
NTSTATUS invalid_device_request(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}
}  // namespace

PDRIVER_OBJECT Kernel::load_driver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status) {
    auto driver = std::make_unique<DRIVER_OBJECT>();
    auto extension = std::make_unique<DRIVER_EXTENSION>();
    std::memset(driver.get(), 0, sizeof(DRIVER_OBJECT));
    std::memset(extension.get(), 0, sizeof(DRIVER_EXTENSION));
    driver->Type = 4;
    driver->Size = sizeof(DRIVER_OBJECT);
    driver->DriverExtension = extension.get();
    extension->DriverObject = driver.get();
    driver->DriverInit = entry;
    for (auto& dispatch : driver->MajorFunction) dispatch = &invalid_device_request;
    PDRIVER_OBJECT result = driver.get();
    drivers_.push_back(std::move(driver));
    driver_extensions_.push_back(std::move(extension));
    trace("load driver " + name);
    NTSTATUS entry_status = STATUS_SUCCESS;
    if (entry) {
        static WCHAR registry_path[] = {'\\', 'R', 'e', 'g', 'i', 's', 't', 'r', 'y', 0};
        UNICODE_STRING path;
        RtlInitUnicodeString(&path, registry_path);
        entry_status = call_checked("DriverEntry", [&] { return entry(result, &path); });
    }
    if (status) *status = entry_status;
    return result;
}

void Kernel::unload_driver(PDRIVER_OBJECT driver) {
    if (driver->DeviceObject) {
        bug_check("DRIVER_UNLOADED_WITH_DEVICES", "driver unloaded while device " + pointer_text(driver->DeviceObject) + " still exists");
    }
    if (driver->DriverUnload) call_checked("DriverUnload", [&] { driver->DriverUnload(driver); });
    check_no_pool_left("when the driver unloaded");
}

// ---- Debug output -----------------------------------------------------------------------------------

void Kernel::debug_print(const std::string& text) {
    debug_log_.push_back({now(), text});
    if (settings_.echo_debug_print) std::fprintf(stderr, "[%10.3f ms] %s", to_ms(now()), text.c_str());
}

void Kernel::trace(const std::string& text) {
    if (trace_io) io_trace.push_back("[" + std::to_string(to_ms(now())) + " ms] " + text);
}

}  // namespace sim
