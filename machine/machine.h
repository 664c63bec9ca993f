// The one simulated machine every host of the driver builds on: the kernel with its verifier, the USB bus, the Plug
// and Play and power managers, an application, the Tavelo driver, and any number of readers, each with its USB
// device, firmware, keypad and card slot. The unit-test fixtures, the reliability runs, the benchmark, the workbench
// and the pcscd reader driver all set the machine up through it.
//
// Every operation works from inside a simulated thread (the reliability runs play a whole scenario in one) and from
// outside one, where it runs in a simulated thread of its own until the machine is idle again (the workbench and the
// test fixtures go step by step).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "kernel.h"
#include "platform/host/application.h"
#include "platform/host/bus.h"
#include "platform/host/pnp_manager.h"
#include "platform/host/power_manager.h"
#include "platform/usb/usb_device.h"
#include "reader/card.h"
#include "reader/keypad.h"
#include "reader/pin_commands.h"
#include "reader/reader.h"

namespace sim {

// A virtual-time limit for a request that a correct driver always ends: far beyond every time-out the driver and
// the keypad use, so that only a request that would never end runs into it.
constexpr VirtualTime kRequestLimit = from_ms(600'000);

// What the seed varies besides the interleaving, when the machine is asked to: how fast the bus moves packets and
// how long the readers take to answer.
struct Variation {
    BusTiming timing = BusTiming::full_speed;
    VirtualTime answer_delay = 0;
    std::string describe() const;
    static Variation from_seed(uint64_t seed);
};

// How a reader is built.
struct ReaderSpec {
    std::string name;                         // empty: reader0, reader1, ... in the order of plugging
    UsbDeviceSpec device = UsbDeviceSpec::reader();
    std::optional<BusTiming> timing;          // unset: the machine's variation (full speed without one)
    std::optional<VirtualTime> answer_delay;  // unset: the machine's variation (at once without one)
    bool pinpad = true;                       // the PIN pad and vendor commands, with a keypad of their own
    PinpadOptions pinpad_options;
};

struct NamedHandle {
    std::string name;
    Handle handle;
};

// One reader packet on the wire (an interrupt transaction): out to the reader or in from it.
struct WirePacket {
    VirtualTime time = 0;
    bool in = false;
    Bytes bytes;
};

// One reader: the USB device on the bus, the firmware behind it with its keypad, and its device node.
struct ReaderUnit {
    std::string name;
    uint8_t address = 0;  // its USB device address, for traces
    std::unique_ptr<UsbDevice> usb;
    std::unique_ptr<Reader> reader;
    std::shared_ptr<PinpadState> pinpad;  // after the reader: its keypad refers to it. Null without a PIN pad.
    DeviceNode* node = nullptr;
    std::vector<NamedHandle> handles;     // opened on this reader, closed ones included
    bool unplugged = false;               // pulled out; the removal waits for the last handle
    VirtualTime answer_delay = 0;         // how fast the firmware answers when nothing disturbs it
    // The protocol the last successful IOCTL_SMARTCARD_SET_PROTOCOL on this reader selected, which an
    // application's transmit names in its SCARD_IO_REQUEST (the host keeps it).
    ULONG protocol = 0x00000002;  // SCARD_PROTOCOL_T1 until one is selected
    int next_handle = 1;
    int observer = 0;
    // The packets on the reader's interrupt pipes, when the machine watches its bus.
    std::vector<WirePacket> wire;

    // The driver's device object and records while they exist (null before AddDevice and after removal).
    PDEVICE_OBJECT fdo() const;
    PDEVICE_EXTENSION extension() const;
    // The latest handle that is still open.
    NamedHandle* latest_open();
    NamedHandle* find_handle(const std::string& name);
    size_t open_handles() const;
};

class MachineObserver {
   public:
    virtual ~MachineObserver() = default;
    // Every URB submission, packet and completion on a reader's bus, as it happens.
    virtual void on_bus_event(ReaderUnit& unit, const BusEvent& event) = 0;
    // A moment to look around: new debug output, card states, overlapped requests. Called at every bus event and
    // every step of waiting.
    virtual void checkpoint() = 0;
};

// One I/O control as the application issued it; the outcome is read when the checks run.
struct LoggedRequest {
    ULONG code = 0;
    size_t input_size = 0;
    ULONG output_size = 0;
    std::string step;  // what sent it (a scenario line, a recovery probe)
    std::shared_ptr<PendingRequest> request;
};

struct MachineOptions {
    uint64_t seed = 1;
    KernelSettings settings{};
    std::string application = "application";
    // Readers get the bus timing and answer speed that Variation::from_seed draws for the seed.
    bool vary_by_seed = false;
    // A bus observer per reader: the time of the last bus activity (for settle()), the wire log and the
    // MachineObserver. Off, the bus carries no observer of the machine's (the benchmark's host cost).
    bool watch_bus = false;
    // Waiting (wait, await, settle) looks around every this long, for the observer; 0: only when something
    // happens on the bus, or the wait ends (fewer scheduling points, for the reliability runs).
    VirtualTime tick = from_ms(1);
    // The logs tests read back (every packet on the wire and through the reader, each APDU the card saw, the bus
    // requests of the reader's PDO). A host that serves requests for days turns them off: its memory then stays
    // flat, however many requests it serves.
    bool history = true;
};

class Machine {
   public:
    explicit Machine(MachineOptions options = {});
    explicit Machine(uint64_t seed, KernelSettings settings = {}) : Machine(MachineOptions{seed, settings}) {}
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    const MachineOptions& options() const { return options_; }
    uint64_t seed() const { return options_.seed; }
    const Variation& variation() const { return variation_; }
    VirtualTime now() const { return k.now(); }
    Kernel& kernel() { return k; }
    void set_observer(MachineObserver* observer) { observer_ = observer; }

    // ---- Running ---------------------------------------------------------------------------------------------
    // Runs body in a new simulated thread until the machine is idle again. False once a run ended in a bug check,
    // a deadlock or the step limit; report() then says why, and nothing runs after that.
    bool run(const std::string& name, const std::function<void()>& body);
    bool alive() const { return report_.empty(); }
    // Takes the outcome of a run made elsewhere (a whole scenario in one thread): false, with report() set, when it
    // did not complete.
    bool record(RunOutcome outcome);
    const std::string& report() const { return report_; }
    const std::string& outcome() const { return outcome_; }
    // Whether the caller is a simulated thread (operations then run in it).
    bool in_thread() { return k.scheduler().in_thread(); }

    // ---- The driver --------------------------------------------------------------------------------------------
    // Loads the driver image afresh (zeroed globals): DriverEntry's status. Later loads, after the last reader
    // went, are the Plug and Play manager's, inside AddDevice.
    NTSTATUS load_driver();
    PDRIVER_OBJECT driver() const { return driver_; }
    bool driver_ever_loaded() const { return driver_ != nullptr; }
    bool driver_loaded() const;
    NTSTATUS entry_status() const { return entry_status_; }

    // ---- Readers -----------------------------------------------------------------------------------------------
    // Builds a reader (USB device, firmware, keypad), not plugged in yet.
    ReaderUnit& add_reader(ReaderSpec spec = {});
    // The reader appears on the bus and AddDevice runs for it (through `function` instead of the USB device when
    // given, to stand between the bus and the device); AddDevice's status. The driver is loaded first if it never
    // was.
    NTSTATUS plug(ReaderUnit& unit, DeviceFunction* function = nullptr);
    const std::vector<std::unique_ptr<ReaderUnit>>& readers() const { return readers_; }
    // The newest reader of that name: a reader pulled out and plugged in again is a new device.
    ReaderUnit* find_reader(const std::string& name);
    // The name the next reader gets when its spec names none.
    std::string next_reader_name() const;

    // Plug and Play and power transitions are one at a time, as Windows sends them: a simulated thread that wants
    // one while another thread's is under way waits for its turn (a transition asked for from outside the machine
    // runs alone: the machine is idle between such calls). A transition the device is in no state for is not
    // sent: STATUS_INVALID_DEVICE_STATE.
    // The turn itself, for a host that makes several transitions in one (inside a simulated thread; nothing
    // outside one).
    void take_turn();
    void give_turn();
    // IRP_MN_START_DEVICE to an added or stopped stack; with `add_again`, AddDevice first when the stack was
    // removed (or AddDevice failed) and the reader is still plugged in.
    NTSTATUS start(ReaderUnit& unit, bool add_again = true);
    // Query-stop, then IRP_MN_STOP_DEVICE, to a started stack.
    NTSTATUS stop(ReaderUnit& unit);
    // Orderly removal (query-remove, then remove) of a stack that is there; the reader stays plugged in.
    NTSTATUS disable(ReaderUnit& unit);
    // Query-remove, then cancel-remove, to a started stack.
    NTSTATUS query_remove(ReaderUnit& unit);
    // The reader leaves the bus: surprise removal, and nothing more (the host removes the rest of the stack when it
    // chooses, with finish_removal). Not sent to a reader that is gone already.
    NTSTATUS surprise_remove(ReaderUnit& unit);
    // Pulled out: surprise removal now, the removal at once when no handle is open, else at the last close
    // (`removed_now` says which).
    NTSTATUS unplug(ReaderUnit& unit, bool* removed_now = nullptr);
    // What is left of an unplugged reader's stack is removed (as Windows does once the last handle is closed).
    NTSTATUS finish_removal(ReaderUnit& unit);
    // System sleep to `state` for every reader that takes part in system power; resume wakes them.
    NTSTATUS sleep(SYSTEM_POWER_STATE state);
    NTSTATUS resume();
    bool asleep() const { return asleep_; }
    // Inside a simulated thread: waits until the system is awake (a person who unplugs a reader while the system
    // sleeps is seen at the wake).
    void wait_awake();
    // Device stacks of the readers that take part in system power (plugged in, with a driver attached).
    std::vector<PDEVICE_OBJECT> powered_stacks() const;
    std::vector<NTSTATUS> shutdown();

    // ---- Card slot and keypad --------------------------------------------------------------------------------
    // A quiet change is one the reader does not report (it happened while it was off, or before it was plugged
    // in: the start finds the card with its status request).
    void insert(ReaderUnit& unit, std::shared_ptr<Card> card, bool quietly = false);
    void remove(ReaderUnit& unit, bool quietly = false);
    void queue_person(ReaderUnit& unit, Person person);

    // ---- The application -------------------------------------------------------------------------------------
    // Opens the reader's smart card interface (as a program finds the reader), or its device object directly
    // (`interface` false: tests of requests before the start). The handle is the unit's, named `name` (default
    // h1, h2, ...); `opened` is null when the open failed.
    NTSTATUS open(ReaderUnit& unit, const std::string& name, NamedHandle** opened, bool interface = true);
    Handle open_handle(ReaderUnit& unit, bool interface = true);
    // Closes the handle; removes an unplugged reader whose last handle this was (`removed` says so).
    NTSTATUS close(ReaderUnit& unit, NamedHandle& handle, bool* removed = nullptr);
    NTSTATUS close(Handle& handle);
    // DeviceIoControl, waited for up to kRequestLimit (the status stays STATUS_PENDING past it).
    IoResult ioctl(Handle& handle, ULONG code, const Bytes& input = {}, ULONG output_size = 0,
                   const std::string& step = "");
    // Overlapped: back once the dispatch routine has returned. Null for a handle that is not open.
    std::shared_ptr<PendingRequest> ioctl_async(Handle& handle, ULONG code, const Bytes& input = {},
                                                ULONG output_size = 0, const std::string& step = "");
    bool cancel(PendingRequest& request);
    // Every request sent through the machine, in order.
    const std::vector<LoggedRequest>& requests() const { return requests_; }

    // ---- Time --------------------------------------------------------------------------------------------------
    void wait(VirtualTime duration);
    // Waits until the request is done or `within` has passed; true when done.
    bool await(PendingRequest& request, VirtualTime within);
    // Runs on until the bus has been quiet for a while (at most two seconds), so that what a step set off (a
    // card-status packet, a re-posted read) has happened before the next step.
    void settle();
    // Waits until the machine is at rest: no other thread can run and none waits for a time-out, so the bus, the
    // firmware, the keypad and the driver's timers are idle (a posted background read may wait for a packet: it
    // waits for no time-out). False when `limit` of virtual time passes first. Inside a simulated thread only.
    bool rest(VirtualTime limit = kRequestLimit);
    void delay(VirtualTime duration);

    // ---- Looking inside ----------------------------------------------------------------------------------------
    // SMCLIB's CurrentState for the reader, while its device object exists.
    std::optional<ULONG> card_state(const ReaderUnit& unit) const;
    // Checks the remove lock and the I/O count at a moment when no request, Plug and Play or power transition is
    // under way; while the counts are off, the threads that can run go first (at most 1,000 scheduling steps,
    // without letting time pass). What is wrong goes to observations() and is returned.
    std::string check_quiet(ReaderUnit& unit, const std::string& step);
    // Facts observed while the run went on (a remove lock held at a quiet moment, a removal that did not finish).
    std::vector<std::string>& observations() { return observations_; }

    // Wakes a sleeping system, closes every open handle and removes every reader's stack, which unloads the driver
    // (the kernel then checks that no pool is left). Returns the stacks that were not removed.
    std::vector<std::string> close_and_remove_all();
    // The end of a stepwise run: close_and_remove_all, then the machine runs on until the bus is quiet; requests
    // that never completed are added to what it returns.
    std::vector<std::string> teardown();

    // Parts of the machine, public for the hosts and tests that reach into them. Declared before the readers,
    // which go first.
    Kernel k;
    Bus bus;
    PnpManager pnp;
    PowerManager power;
    Application app;

   private:
    template <typename Result, typename Fn>
    Result act(const std::string& name, Result initial, Fn&& fn);
    template <typename Result, typename Fn>
    Result transition(const std::string& name, Result initial, Fn&& fn);
    void reset_driver_globals();
    void tick_until(const std::function<bool()>& done, VirtualTime limit);
    void on_bus(ReaderUnit& unit, const BusEvent& event);

    MachineOptions options_;
    Variation variation_;
    MachineObserver* observer_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    NTSTATUS entry_status_ = STATUS_PENDING;
    std::string report_;
    std::string outcome_;
    bool asleep_ = false;
    std::vector<PDEVICE_OBJECT> sleeping_;
    VirtualTime last_activity_ = 0;
    KEVENT turn_{};  // signalled while no transition is under way
    std::vector<LoggedRequest> requests_;
    std::vector<std::string> observations_;
    // Declared last: the firmware and USB devices go before the kernel they run in.
    std::vector<std::unique_ptr<ReaderUnit>> readers_;
};

}  // namespace sim
