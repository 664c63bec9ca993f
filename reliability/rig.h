// The reliability runs' machine: the one simulated machine with a reader plugged in at the seed's speeds, and the
// recovery of a reader after a disturbance.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "machine/machine.h"
#include "reader/card_commands.h"

namespace sim::reliability {

using sim::kRequestLimit;
using sim::LoggedRequest;
using sim::Variation;

// The reliability runs' view of the one simulated machine (machine/machine.h): a reader with its firmware, keypad
// and card slot plugged in at the seed's bus timing and answer speed, the driver loaded, and a whole scenario played
// in simulated threads, every request logged for the checkers.
class Rig {
   public:
    explicit Rig(uint64_t seed);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    Machine machine;

   private:
    ReaderUnit& first_;  // the reader plugged in first
    ReaderUnit* active_;

   public:
    Kernel& k;
    Bus& bus;
    PnpManager& pnp;
    UsbDevice& usb;
    Reader& reader;
    std::shared_ptr<PinpadState>& pinpad;  // the first reader's
    PowerManager& power;
    Application& app;
    const Variation& variation;

    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS entry_status = STATUS_PENDING;
    DeviceNode* node = nullptr;  // the reader in use's device node

    // ---- Inside the run's simulated threads ------------------------------------------------------------
    // Plugs the reader in (AddDevice).
    void plug();
    // Plug and Play and power transitions are one at a time per device, as Windows sends them; a disturbance
    // that unplugs the reader takes the same turn. A request the device is in no state for (removed, or gone
    // before it started) is not sent: STATUS_INVALID_DEVICE_STATE (STATUS_NO_SUCH_DEVICE for an unplugged reader).
    NTSTATUS start();
    NTSTATUS stop();
    NTSTATUS sleep_and_wake(SYSTEM_POWER_STATE state, const std::function<void()>& while_asleep = {});
    NTSTATUS query_remove_then_cancel();
    NTSTATUS surprise_removal();
    // Closes every handle, then removes what is left of the device stack.
    void teardown();

    // A handle on the reader; invalid when the open failed.
    Handle open(const std::string& step);
    // An I/O control that is waited for up to kRequestLimit; a request still outstanding then is left to the
    // checkers.
    IoResult ioctl(Handle& handle, ULONG code, const std::vector<uint8_t>& input, ULONG output_size,
                   const std::string& step);
    std::shared_ptr<PendingRequest> ioctl_async(Handle& handle, ULONG code, const std::vector<uint8_t>& input,
                                                ULONG output_size, const std::string& step);
    // Waits for an asynchronous request up to kRequestLimit; true when it ended.
    bool wait(const std::shared_ptr<PendingRequest>& request);
    void close(Handle& handle);
    void delay_ms(int64_t ms);

    // The reader's card slot. A quiet change is one the reader does not report (it happened while it was off).
    void insert_card(std::shared_ptr<Card> card);
    void insert_card_quietly(std::shared_ptr<Card> card);
    void remove_card();

    // ---- The recovery check's machine (after the scenario body, before the teardown) ------------------------
    // Waits in the calling thread until the machine is at rest (Machine::rest). False when `limit` of virtual
    // time passes first.
    bool settle(VirtualTime limit);
    // The reader in use: the one plugged in first, or the one plugged in after it was unplugged.
    Reader& active_reader() { return *active_->reader; }
    UsbDevice& active_usb() { return *active_->usb; }
    PinpadState& active_pinpad() { return *active_->pinpad; }
    // The firmware's PIN pad and vendor commands installed afresh (after a scenario replaced one of them), with a
    // keypad of their own.
    void reinstall_pinpad_commands();
    // The reader's firmware back to normal: automatic answers at the seed's speed, none withheld, writes taken,
    // the keypad in service with nobody queued at it.
    void calm_reader();
    // Brings the device back to a started one once the trouble is over: what is left of an unplugged reader's
    // stack is removed (as Windows does once the last handle is closed) and a new reader, with `card` already in
    // its slot, is plugged in (a new device node, AddDevice; `card` is used for nothing else); a reader without
    // a driver stack (AddDevice or the start failed, or it was removed) is unplugged and plugged in the same way;
    // a stack that is added or stopped is started. Returns what went wrong, empty when the device is started.
    std::string restore_device(std::shared_ptr<Card> card);
    // Whether restore_device plugged in a new reader.
    bool replaced_reader() const { return active_ != &first_; }

    // ---- State for the checkers -----------------------------------------------------------------------------
    const std::vector<LoggedRequest>& requests() const { return machine.requests(); }
    std::vector<Handle>& handles() { return handles_; }
    // The driver's records while the device object exists; null otherwise.
    PDEVICE_EXTENSION device_extension() const { return active_->extension(); }
    // Facts observed while the run went on (remove lock held at a quiet moment, a removal that did not finish).
    std::vector<std::string>& observations() { return machine.observations(); }
    // Checks the remove lock and the I/O count at a moment when no request, Plug and Play or power
    // transition is under way; what is wrong goes to observations().
    void check_quiet(const std::string& step);
    bool removal_finished() const { return removal_finished_; }

   private:
    std::vector<Handle> handles_;
    bool removal_finished_ = false;
};

// The standard I/O control payloads the scenarios and fuzzers send.
std::vector<uint8_t> ulong_bytes(ULONG value);
// An 8-byte SCARD_IO_REQUEST for the protocol, then the APDU.
std::vector<uint8_t> transmit_request(const std::vector<uint8_t>& apdu, ULONG protocol = SCARD_PROTOCOL_T1);
// A PIN_VERIFY_STRUCTURE for a VERIFY APDU of the ISO card (ASCII PIN of 4 to 8 digits in an 8-byte block).
std::vector<uint8_t> pin_verify_structure(uint8_t timeout_seconds = 0, uint8_t max_digits = 8, uint8_t min_digits = 4);

}  // namespace sim::reliability
