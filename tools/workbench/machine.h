// The workbench's simulated machine: the kernel, the USB bus, the Plug and Play and power managers, an application,
// the Tavelo driver, and any number of readers with their firmware, keypad and card slot. Every operation runs in
// simulated threads until the machine is idle again and reports what it saw to a MachineObserver.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

namespace sim::workbench {

struct NamedHandle {
    std::string name;
    Handle handle;
};

// One reader: the USB device on the bus, the firmware behind it with the keypad, and its device node.
struct ReaderUnit {
    std::string name;
    uint8_t address = 0;  // its USB device address, for traces
    std::unique_ptr<UsbDevice> usb;
    std::unique_ptr<Reader> reader;
    std::shared_ptr<PinpadState> pinpad;
    DeviceNode* node = nullptr;
    std::vector<NamedHandle> handles;  // opened on this reader, closed ones included
    bool unplugged = false;            // pulled out; the removal waits for the last handle
    int observer = 0;
    int next_handle = 1;
    // The protocol the last successful IOCTL_SMARTCARD_SET_PROTOCOL on this reader selected; the SCARD_IO_REQUEST
    // of an `apdu` names it, as an application's transmit names the protocol it negotiated.
    ULONG protocol = 0x00000002;  // SCARD_PROTOCOL_T1 until one is selected

    // The driver's device object while it exists (null before AddDevice and after removal).
    PDEVICE_OBJECT fdo() const;
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
    // every millisecond of waiting.
    virtual void checkpoint() = 0;
};

class Machine {
   public:
    Machine(uint64_t seed, MachineObserver& observer);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    Kernel& kernel() { return k_; }
    Application& app() { return app_; }
    PnpManager& pnp() { return pnp_; }
    uint64_t seed() const { return seed_; }
    VirtualTime now() const { return k_.now(); }

    // False once a run ended in a bug check, a deadlock or the step limit; nothing runs after that.
    bool alive() const { return report_.empty(); }
    // What stopped the machine: the verifier's or the scheduler's report.
    const std::string& report() const { return report_; }
    const std::string& outcome() const { return outcome_; }

    // ---- Readers and the system --------------------------------------------------------------------------------
    const std::vector<std::unique_ptr<ReaderUnit>>& readers() const { return readers_; }
    ReaderUnit* find_reader(const std::string& name);
    bool driver_loaded() const;
    // Loads the driver for the first reader: DriverEntry's status. Later loads (after the last reader went) are
    // the Plug and Play manager's, inside AddDevice.
    NTSTATUS load_driver();
    bool driver_ever_loaded() const { return driver_ != nullptr; }
    // A new reader appears on the bus and AddDevice runs for it; `added` is AddDevice's status.
    ReaderUnit* plug(const std::string& name, NTSTATUS* added);
    // AddDevice again when the stack was removed, then IRP_MN_START_DEVICE.
    NTSTATUS start(ReaderUnit& unit);
    NTSTATUS stop(ReaderUnit& unit);
    NTSTATUS disable(ReaderUnit& unit);
    // Surprise removal; the removal follows at once when no handle is open, else at the last close.
    NTSTATUS unplug(ReaderUnit& unit, bool* removed_now);
    NTSTATUS sleep(SYSTEM_POWER_STATE state);
    NTSTATUS resume();
    std::vector<NTSTATUS> shutdown();
    // Device stacks of the readers that take part in system power (plugged in, with a driver attached).
    std::vector<PDEVICE_OBJECT> powered_stacks() const;
    bool asleep() const { return asleep_; }

    // ---- Card slot and keypad ----------------------------------------------------------------------------------
    void insert(ReaderUnit& unit, std::shared_ptr<Card> card);
    void remove(ReaderUnit& unit);
    void queue_person(ReaderUnit& unit, Person person);

    // ---- The application ---------------------------------------------------------------------------------------
    NTSTATUS open(ReaderUnit& unit, const std::string& name, NamedHandle** opened);
    // Closes the handle; removes an unplugged reader whose last handle this was (`removed` says so).
    NTSTATUS close(ReaderUnit& unit, NamedHandle& handle, bool* removed);
    IoResult ioctl(Handle& handle, ULONG code, const Bytes& input, ULONG output_size);
    std::shared_ptr<PendingRequest> ioctl_async(Handle& handle, ULONG code, const Bytes& input, ULONG output_size);
    bool cancel(PendingRequest& request);

    // ---- Time ------------------------------------------------------------------------------------------------------
    void wait(VirtualTime duration);
    // Waits until the request is done or `within` has passed; true when done.
    bool await(PendingRequest& request, VirtualTime within);
    // Lets the machine run on until the bus has been quiet for a while (at most two seconds), so that what a step
    // set off (a card-status packet, a re-posted read) shows up before the next step.
    void settle();

    // ---- Looking inside ----------------------------------------------------------------------------------------
    // SMCLIB's CurrentState for the reader, while its device object exists.
    std::optional<ULONG> card_state(const ReaderUnit& unit) const;

    // The end of a run: closes every open handle, removes every reader, which unloads the driver (the kernel then
    // checks that no pool is left). Returns what is wrong afterwards: requests that never completed.
    std::vector<std::string> teardown();

   private:
    bool run(const std::string& name, const std::function<void()>& body);
    void tick_until(const std::function<bool()>& done, VirtualTime limit);
    void reset_driver_globals();

    uint64_t seed_;
    MachineObserver& observer_;
    Kernel k_;
    Bus bus_;
    PnpManager pnp_;
    PowerManager power_;
    Application app_;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<std::unique_ptr<ReaderUnit>> readers_;
    std::string report_;
    std::string outcome_;
    bool asleep_ = false;
    std::vector<PDEVICE_OBJECT> sleeping_;
    VirtualTime last_activity_ = 0;
};

}  // namespace sim::workbench
