// The simulated Windows kernel: one instance per test or run, holding the scheduler, pool, IRP
// bookkeeping, device objects, the verifier and the settings that the kernel routines answer from.
#pragma once

#include <bitset>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include <wdm.h>

#include "scheduler.h"

namespace sim {

// Places where the kernel can be told to fail a call, for sweeping every failure path.
enum class FaultSite : int {
    pool,                // ExAllocatePoolWithTag
    irp,                 // IoAllocateIrp, IoBuildDeviceIoControlRequest
    create_device,       // IoCreateDevice
    attach_device,       // IoAttachDeviceToDeviceStack
    register_interface,  // IoRegisterDeviceInterface
    bus_transfer,        // a USB transfer at the bus driver
    count
};
const char* to_string(FaultSite site);

// How one fault site fails: the nth call (1-based, 0 = never), and/or each call with a seeded
// probability. Counting starts when the plan is set.
struct FaultPlan {
    uint64_t fail_nth = 0;
    uint32_t per_million = 0;
    bool fail_all_after_nth = false;  // with fail_nth: every call from the nth on fails
    uint64_t every_nth = 0;           // every call whose number is a multiple of this fails (0 = none)
};

// A live pool allocation, as the leak report names it.
struct PoolBlock {
    size_t size = 0;
    ULONG tag = 0;
    void* site = nullptr;  // return address of the ExAllocatePoolWithTag call
    uint64_t serial = 0;
};

// A pool tag's printable characters ("Tvlo"), and those with the number beside them for reports.
std::string tag_chars(ULONG tag);
std::string tag_text(ULONG tag);
std::string describe_site(void* address);
std::string status_name(NTSTATUS status);

// How an IRP came to be, which decides what happens when its completion reaches the top.
enum class IrpOrigin { allocated, built_ioctl, host };

struct IrpRecord {
    uint64_t serial = 0;
    IrpOrigin origin = IrpOrigin::allocated;
    int callers_in_stack = 0;    // IoCallDriver frames that have sent it and not yet returned
    bool sent = false;           // passed down and not yet handed back by a completion
    bool completing = false;     // a completion pass is walking its stack
    int routine_depth = 0;       // completion routines of this IRP that are running
    bool restarted = false;      // a running completion routine completed it again
    bool finished = false;       // completion reached the top, or it was freed
    bool freed = false;
    // Per stack location (1 to StackCount, and StackCount + 1 for the sender; CCHAR allows at most 127 locations),
    // held inline: an IRP's record costs no allocation of its own.
    using Locations = std::bitset<129>;
    Locations pending_marked;  // SL_PENDING_RETURNED seen per stack location at completion
    Locations location_completed;
    Locations dispatch_returned_pending;  // checked when completion reaches the location
    bool completed_to_top = false;
    // Host IRPs: called when completion reaches the top; it owns the IRP from then on.
    std::function<void(PIRP)> on_complete;
    int start_next_power_calls = 0;
    size_t memory_size = 0;  // bytes allocated for the IRP (IoSizeOfIrp), for reuse after the quarantine
    PKEVENT user_event = nullptr;
    PIO_STATUS_BLOCK user_iosb = nullptr;
    void* system_buffer = nullptr;
    PVOID user_output = nullptr;
    ULONG user_output_length = 0;
};

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT attached_to = nullptr;  // the device this one sits on
    bool shutdown_registered = false;
    std::string name;
    DEVICE_POWER_STATE device_power = PowerDeviceD0;
    SYSTEM_POWER_STATE system_power = PowerSystemWorking;
    // Dispatch routines of this device being called now: the sender's reference keeps the object's memory.
    int in_dispatch = 0;
};

struct InterfaceRecord {
    PDEVICE_OBJECT pdo = nullptr;
    GUID guid{};
    bool enabled = false;
};

struct DebugLine {
    VirtualTime time;
    std::string text;
};

struct KernelSettings {
    ULONG major_version = 6;
    ULONG minor_version = 1;
    ULONG build_number = 7601;
    bool has_rtl_is_ntddi_version_available = true;
    bool echo_debug_print = false;  // copy DbgPrint to stderr as it happens
    // How many freed pool blocks and IRPs stay unusable, poisoned, so that a use after the free is caught as one. A
    // host that serves applications keeps fewer: the memory a request touches then stays in the processor's cache.
    size_t pool_quarantine = 4096;
    size_t irp_quarantine = 1024;
};

// One kernel-level thread record per simulated thread (KeGetCurrentThread's answer).
struct KernelThread {
    SimThread* sim = nullptr;
    std::vector<PKSPIN_LOCK> held_spin_locks;
};

class Kernel {
   public:
    explicit Kernel(uint64_t seed, KernelSettings settings = {});
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel that the routines of wdm.h act on.
    static Kernel& current();
    static Kernel* current_or_null();

    Scheduler& scheduler() { return scheduler_; }
    KernelSettings& settings() { return settings_; }
    VirtualTime now() const { return scheduler_.now(); }

    // Spawns a simulated thread that starts at PASSIVE_LEVEL (DISPATCH_LEVEL for dpc threads).
    SimThread& spawn(std::string name, std::function<void()> body, bool daemon = false,
                     KIRQL irql = PASSIVE_LEVEL);
    // Spawns body as a thread and runs the machine until it is idle again.
    RunOutcome run_thread(std::string name, std::function<void()> body);
    RunOutcome run() { return scheduler_.run(); }

    // ---- Verifier ---------------------------------------------------------------------------
    // Stops the run with a bug check naming the rule, the call and the object.
    [[noreturn]] void bug_check(const std::string& rule, const std::string& detail);
    bool bug_checked() const { return !bug_check_report_.empty(); }
    const std::string& bug_check_report() const { return bug_check_report_; }
    const std::string& bug_check_rule() const { return bug_check_rule_; }

    // ---- Fault injection -----------------------------------------------------------------------
    void set_fault(FaultSite site, FaultPlan plan);
    void clear_faults();
    bool should_fail(FaultSite site);
    uint64_t calls_at(FaultSite site) const { return fault_calls_[static_cast<int>(site)]; }
    uint64_t faults_injected() const { return faults_injected_; }

    // ---- Pool ----------------------------------------------------------------------------------
    void* pool_allocate(SIZE_T size, ULONG tag, void* site);
    void pool_free(void* block, ULONG tag, bool check_tag, const char* call);
    const std::unordered_map<void*, PoolBlock>& live_pool() const { return pool_; }
    size_t live_pool_with_tag(ULONG tag) const;
    uint64_t pool_allocations() const { return pool_serial_; }
    // Bug checks when anything is left allocated (the report lists tag, size and site).
    void check_no_pool_left(const std::string& when);
    std::string describe_live_pool() const;

    // ---- IRPs ----------------------------------------------------------------------------------
    PIRP allocate_irp(CCHAR stack_size, IrpOrigin origin);
    IrpRecord& irp_record(PIRP irp, const char* call);
    IrpRecord* find_irp(PIRP irp);
    void free_irp(PIRP irp, const char* call);
    NTSTATUS call_driver(PDEVICE_OBJECT device, PIRP irp, const char* call);
    void complete_request(PIRP irp, CCHAR boost);
    BOOLEAN cancel_irp(PIRP irp);
    size_t live_irps() const;
    uint64_t irps_allocated() const { return irp_serial_; }

    // ---- Devices, interfaces, shutdown ------------------------------------------------------------
    DeviceRecord* find_device(PDEVICE_OBJECT device);
    const std::map<PDEVICE_OBJECT, DeviceRecord>& devices() const { return devices_; }
    std::map<std::u16string, InterfaceRecord>& interfaces() { return interfaces_; }
    std::vector<PDEVICE_OBJECT> shutdown_devices() const;
    PDEVICE_OBJECT top_of_stack(PDEVICE_OBJECT device) const;
    PDEVICE_OBJECT lower_of(PDEVICE_OBJECT device) const;
    NTSTATUS create_device(PDRIVER_OBJECT driver, ULONG extension_size, PUNICODE_STRING name,
                           DEVICE_TYPE type, ULONG characteristics, PDEVICE_OBJECT* out);
    void delete_device(PDEVICE_OBJECT device);
    PDEVICE_OBJECT attach_device(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void detach_device(PDEVICE_OBJECT target);

    // ---- Drivers ---------------------------------------------------------------------------------
    // Creates the driver object (every major function failing with STATUS_INVALID_DEVICE_REQUEST
    // until the driver sets it) and calls the driver's entry point.
    PDRIVER_OBJECT load_driver(const std::string& name, PDRIVER_INITIALIZE entry, NTSTATUS* status = nullptr);
    // Calls DriverUnload; every device must be gone and every pool block freed by then.
    void unload_driver(PDRIVER_OBJECT driver);

    // ---- Threads, IRQL, locks --------------------------------------------------------------------
    KernelThread& thread();
    KIRQL irql();
    void set_irql(KIRQL irql);
    PKSPIN_LOCK cancel_spin_lock() { return &cancel_spin_lock_; }
    // Calls a driver routine and checks that it gives back the IRQL it was called at.
    template <typename Fn>
    auto call_checked(const char* what, Fn&& fn) {
        KIRQL before = irql();
        if constexpr (std::is_void_v<decltype(fn())>) {
            fn();
            check_irql_restored(what, before);
        } else {
            auto result = fn();
            check_irql_restored(what, before);
            return result;
        }
    }
    void check_irql_restored(const char* what, KIRQL before);
    [[noreturn]] void pending_not_marked(PDEVICE_OBJECT device, uint64_t serial);

    // ---- Debug output ----------------------------------------------------------------------------
    std::vector<DebugLine>& debug_log() { return debug_log_; }
    void debug_print(const std::string& text);

    // Power IRPs passed down with PoCallDriver (IoCallDriver is the other way).
    uint64_t po_call_driver_count = 0;

    // Human-readable trace of kernel events (IRPs sent and completed); off unless asked for.
    bool trace_io = false;
    std::vector<std::string> io_trace;
    void trace(const std::string& text);

   private:
    Scheduler scheduler_;
    KernelSettings settings_;
    std::string bug_check_report_;
    std::string bug_check_rule_;

    FaultPlan faults_[static_cast<int>(FaultSite::count)];
    uint64_t fault_calls_[static_cast<int>(FaultSite::count)] = {};
    uint64_t faults_injected_ = 0;

    // Live blocks, hashed: looked up on every free; reports list them by allocation number.
    std::unordered_map<void*, PoolBlock> pool_;
    // Freed blocks with their sizes, oldest first. Searched only when a free names no live block, to tell a block
    // freed twice from memory that never was pool.
    std::deque<std::pair<void*, size_t>> pool_quarantine_;
    uint64_t pool_serial_ = 0;

    // Live IRPs and the quarantined ones (a thousand or more), looked up on every IRP call; hashed, as nothing
    // depends on their order. Records keep their address while others come and go.
    std::unordered_map<PIRP, IrpRecord> irps_;
    std::deque<PIRP> irp_quarantine_;

    // What leaves a quarantine is kept for the next allocation instead of going back to the heap: memory by size
    // (few sizes recur: URBs, IRPs of a stack depth, a driver's buffers) and the records' hash nodes. A request's
    // pool blocks and IRPs then cost no heap calls. Under AddressSanitizer memory goes back to the heap, so that it
    // sees every block come and go.
    void* take_spare(size_t size);
    void keep_spare(void* memory, size_t size);
    std::unordered_map<size_t, std::vector<void*>> spare_memory_;
    std::vector<std::unordered_map<void*, PoolBlock>::node_type> spare_pool_nodes_;
    std::vector<std::unordered_map<PIRP, IrpRecord>::node_type> spare_irp_nodes_;
    uint64_t irp_serial_ = 0;

    std::map<PDEVICE_OBJECT, DeviceRecord> devices_;
    // Deleted devices whose memory a dispatch call in progress still refers to, with the count of those calls.
    std::vector<std::pair<PDEVICE_OBJECT, int>> deleted_in_dispatch_;
    std::map<std::u16string, InterfaceRecord> interfaces_;

    std::map<SimThread*, std::unique_ptr<KernelThread>> threads_;
    KernelThread outside_thread_;  // calls made from outside any simulated thread
    KIRQL outside_irql_ = PASSIVE_LEVEL;
    KSPIN_LOCK cancel_spin_lock_ = 0;

    std::vector<DebugLine> debug_log_;
    std::vector<std::unique_ptr<DRIVER_OBJECT>> drivers_;
    std::vector<std::unique_ptr<DRIVER_EXTENSION>> driver_extensions_;
    Kernel* previous_ = nullptr;
};

// The status code's name as the DDK spells it ("STATUS_NO_MEDIA"), or hex when unknown.
std::string status_name(NTSTATUS status);

}  // namespace sim
