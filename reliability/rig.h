// One simulated machine for a reliability run: kernel, bus, Plug and Play and power managers, the reader with its firmware, keypad and card, the driver, and an application whose every request is logged for the checkers.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "kernel.h"
#include "platform/host/application.h"
#include "platform/host/bus.h"
#include "platform/host/pnp_manager.h"
#include "platform/host/power_manager.h"
#include "platform/usb/usb_device.h"
#include "reader/card_commands.h"
#include "reader/pin_commands.h"
#include "reader/reader.h"

namespace sim::reliability {

// What the seed varies besides the interleaving: how fast the bus moves packets and how long the reader takes
// to answer.
struct Variation {
    BusTiming timing = BusTiming::full_speed;
    VirtualTime answer_delay = 0;
    std::string describe() const;
    static Variation from_seed(uint64_t seed);
};

// One I/O control as the application issued it; the outcome is read when the checkers run.
struct LoggedRequest {
    ULONG code = 0;
    size_t input_size = 0;
    ULONG output_size = 0;
    std::string step;  // the scenario step that sent it
    std::shared_ptr<PendingRequest> request;
};

// A virtual-time limit for a request that a correct driver always ends: far beyond every time-out the driver
// and the keypad use, so that only a request that would never end runs into it.
constexpr VirtualTime kRequestLimit = from_ms(600'000);

class Rig {
   public:
    explicit Rig(uint64_t seed);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    Kernel k;
    Bus bus;
    PnpManager pnp;
    UsbDevice usb;
    Reader reader;
    std::shared_ptr<PinpadState> pinpad;  // after the reader: its keypad refers to it
    PowerManager power;
    Application app;
    Variation variation;

    PDRIVER_OBJECT driver = nullptr;
    NTSTATUS entry_status = STATUS_PENDING;
    DeviceNode* node = nullptr;

    // ---- Inside the run's simulated threads ------------------------------------------------------------
    // Plugs the reader in (AddDevice).
    void plug();
    // Plug and Play and power transitions are one at a time per device, as Windows sends them; a disturbance
    // that unplugs the reader takes the same turn. Each returns STATUS_PENDING when the device is in no state
    // to take the request (removed, or gone before it started).
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
    // Waits in the calling thread until the machine is at rest: no other thread can run and none waits for a
    // time-out, so the bus, the reader's firmware, the keypad and the driver's timers are idle (a posted
    // background read may wait for a packet: it waits for no time-out). False when `limit` of virtual time
    // passes first.
    bool settle(VirtualTime limit);
    // The reader in use: the one plugged in first, or the one plugged in after it was unplugged.
    Reader& active_reader() { return *active_reader_; }
    UsbDevice& active_usb() { return *active_usb_; }
    PinpadState& active_pinpad() { return *active_pinpad_; }
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
    bool replaced_reader() const { return !replacements_.empty(); }

    // ---- State for the checkers -----------------------------------------------------------------------------
    const std::vector<LoggedRequest>& requests() const { return requests_; }
    std::vector<Handle>& handles() { return handles_; }
    // The driver's records while the device object exists; null otherwise.
    PDEVICE_EXTENSION device_extension() const;
    // Facts observed while the run went on (remove lock held at a quiet moment, a removal that did not finish).
    std::vector<std::string>& observations() { return observations_; }
    // Checks the remove lock and the I/O count at a moment when no request, Plug and Play or power
    // transition is under way; what is wrong goes to observations().
    void check_quiet(const std::string& step);
    bool removal_finished() const { return removal_finished_; }

   private:
    // A reader plugged in after the first one was unplugged: a USB device, firmware and keypad of its own.
    struct ReaderUnit {
        ReaderUnit(Kernel& k, const Variation& variation);
        UsbDevice usb;
        Reader reader;
        std::shared_ptr<PinpadState> pinpad;  // after the reader: its keypad refers to it
    };

    void lock_pnp();
    void unlock_pnp();
    void check_quiet_locked(const std::string& step);

    std::vector<LoggedRequest> requests_;
    std::vector<Handle> handles_;
    std::vector<std::string> observations_;
    KEVENT pnp_turn_{};
    bool removal_finished_ = false;
    // Declared last, so destroyed before the kernel, the bus and the Plug and Play manager, as usb and reader are.
    std::vector<std::unique_ptr<ReaderUnit>> replacements_;
    UsbDevice* active_usb_ = &usb;
    Reader* active_reader_ = &reader;
    PinpadState* active_pinpad_ = nullptr;
};

// The standard I/O control payloads the scenarios and fuzzers send.
std::vector<uint8_t> ulong_bytes(ULONG value);
// An 8-byte SCARD_IO_REQUEST for the protocol, then the APDU.
std::vector<uint8_t> transmit_request(const std::vector<uint8_t>& apdu, ULONG protocol = SCARD_PROTOCOL_T1);
// A PIN_VERIFY_STRUCTURE for a VERIFY APDU of the ISO card (ASCII PIN of 4 to 8 digits in an 8-byte block).
std::vector<uint8_t> pin_verify_structure(uint8_t timeout_seconds = 0, uint8_t max_digits = 8, uint8_t min_digits = 4);

}  // namespace sim::reliability
