// A reader on the simulated USB bus with the driver loaded, driven through the Plug and Play manager, the power manager and an application, for the Plug and Play, power and dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "machine/machine.h"
#include "tests/support/test_machine.h"

namespace qward::test {

// A card for the slot; these tests only need the reader to report it.
class TestCard : public sim::Card {
   public:
    sim::Bytes reset(bool) override { return {0x3B, 0x00}; }
    sim::Bytes transmit(const sim::Bytes&) override { return {0x90, 0x00}; }
};

// Sits between the bus PDO and the USB device, so that a test can act at the moment a device set-power request
// reaches the bus driver.
class FunctionTap : public sim::DeviceFunction {
   public:
    explicit FunctionTap(sim::DeviceFunction& inner) : inner_(inner) {}
    NTSTATUS internal_device_control(PDEVICE_OBJECT pdo, PIRP irp) override {
        return inner_.internal_device_control(pdo, irp);
    }
    void on_started() override { inner_.on_started(); }
    void on_stopped() override { inner_.on_stopped(); }
    void on_unplugged() override { inner_.on_unplugged(); }
    void on_power(DEVICE_POWER_STATE state) override {
        inner_.on_power(state);
        if (on_power_hook) on_power_hook(state);
    }
    std::function<void(DEVICE_POWER_STATE)> on_power_hook;

   private:
    sim::DeviceFunction& inner_;
};

// One reader with the Tavelo driver, on the one simulated machine (with a tap between the bus and the USB device).
// Construction loads the driver (with the zeroed globals of a fresh image)
// and plugs the reader in, which runs AddDevice. The destructor removes whatever is left of the device; the
// Plug and Play manager then unloads the driver, and the kernel bug-checks on any pool the driver left: every
// test that does not end in a bug check ends with that leak check.
class Machine : public qward::test_support::OneReaderMachine {
   public:
    // With `pinpad` the reader also answers the PIN pad and vendor commands (version, capability, PIN entry).
    explicit Machine(uint64_t seed = 1, sim::KernelSettings settings = {}, bool pinpad = false);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    FunctionTap tap;
    sim::PowerManager& power;

    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    // The driver's records; valid until the removal.
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION de = nullptr;
    PSMARTCARD_EXTENSION sc = nullptr;
    PREADER_EXTENSION re = nullptr;

    sim::Pdo& pdo() const { return node->pdo(); }
    // The top of the device stack, where the host sends its requests.
    PDEVICE_OBJECT top() const { return node->top(); }

    // Runs body in a simulated PASSIVE_LEVEL thread until the machine is idle again. A bug check or deadlock
    // fails the test with the kernel's report and returns false.
    bool run(const std::function<void()>& body, const std::string& name = "test");
    // Lets virtual time pass while the bus and the reader work.
    void settle(int64_t ms);

    // IRP_MN_START_DEVICE and the queries that follow a successful start.
    NTSTATUS start();
    // The whole stack goes: query-remove and removal, or what is left after a surprise removal.
    NTSTATUS remove();
    // The reader is pulled out: surprise removal, then removal.
    NTSTATUS unplug();
    // Whether the device object is gone and the driver unloaded.
    bool torn_down() const;

    // A card in the slot from before the start, which the reader therefore does not announce.
    void insert_card_quietly();
    // The same while the reader cannot report it (it is suspended, say).
    void remove_card_quietly();
    void insert_card() { reader.insert_card(std::make_shared<TestCard>()); }
    void remove_card() { reader.remove_card(); }

    // Opens a handle on the reader (in a simulated thread of its own).
    sim::Handle open();
    // DeviceIoControl on the handle, in a simulated thread of its own.
    sim::IoResult ioctl(sim::Handle& handle, ULONG code, const std::vector<uint8_t>& input = {}, ULONG output = 0);
    // An overlapped DeviceIoControl: back once the dispatch routine has returned.
    std::shared_ptr<sim::PendingRequest> ioctl_async(sim::Handle& handle, ULONG code,
                                                     const std::vector<uint8_t>& input = {}, ULONG output = 0);

    // Whether the reader's device interface is enabled.
    bool interface_enabled() const;
    // How many URBs of this function have reached the USB device.
    size_t urbs(USHORT function) const;
    // Packets the host wrote that are card-status requests.
    size_t card_status_requests() const;

   private:
    std::vector<USHORT> urb_functions_;
    int observer_ = 0;
};

// Reader-control request {02 09 00 ...}: what the driver writes to ask for the card status.
bool is_card_status_request(const sim::Packet& packet);

}  // namespace qward::test
