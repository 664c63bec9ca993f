// A loaded driver with one reader device on the simulated USB bus, set up and torn down without the Plug and Play work, for the reader-link tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "protocol/packets.h"

#include "machine/machine.h"
#include "tests/support/test_machine.h"
#include "platform/host/host_request.h"

namespace qward::test {

using Bytes8 = std::array<UCHAR, 8>;

// One URB as the bus saw it submitted.
struct Submission {
    sim::VirtualTime time = 0;
    USHORT function = 0;
    UCHAR endpoint = 0;
    bool device_to_host = false;
    ULONG requested_length = 0;
};

// The driver image, the bus with its PDO, the USB device and the reader behind it, and the driver's device
// records, on the one simulated machine. Construction loads the driver and runs AddDevice; start() starts the PDO
// and configures the device; the destructor (or finish()) cancels what is outstanding, removes the device and
// unloads the driver, which bug-checks on any pool the driver left.
class ReaderFixture : public qward::test_support::OneReaderMachine {
   public:
    explicit ReaderFixture(uint64_t seed, sim::UsbDeviceSpec device = sim::UsbDeviceSpec::reader());
    ~ReaderFixture();
    ReaderFixture(const ReaderFixture&) = delete;
    ReaderFixture& operator=(const ReaderFixture&) = delete;


    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION de = nullptr;
    PSMARTCARD_EXTENSION sc = nullptr;
    PREADER_EXTENSION re = nullptr;

    // Every URB submitted to the bus, in order.
    std::vector<Submission> submissions;
    // Adds a bus observer that finish() removes before it tears down, so that it may capture the test's locals.
    void observe(sim::BusObserver observer) { test_observers_.push_back(usb.add_observer(std::move(observer))); }
    size_t count_submissions(USHORT function, UCHAR endpoint) const;

    // Runs body in a simulated PASSIVE_LEVEL thread until the machine is idle again; fails the test on a bug
    // check or deadlock, with the kernel's report.
    void run(const std::function<void()>& body, const std::string& name = "test");
    // Lets virtual time pass (the bus and the reader work meanwhile).
    void settle(int64_t ms);

    // IRP_MN_START_DEVICE to the PDO, then ConfigureDevice from a simulated thread; ConfigureDevice's status.
    NTSTATUS start();

    // The reader sends only what the test queues.
    void script() { reader.set_mode(sim::Reader::Mode::scripted); }
    static sim::Packet packet(std::initializer_list<uint8_t> bytes);

    // A card-presence tracking request (IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT) sent through SMCLIB, as
    // the device-control gate hands it on; call from a simulated thread. The hook, when set, runs on the IRP
    // before SMCLIB sees it.
    std::shared_ptr<sim::HostRequest> send_tracking(ULONG code);
    std::function<void(PIRP)> before_smclib;

    // A read is outstanding at the bus on the IN endpoint.
    size_t queued_reads() const { return usb.queued_transfers(0x81); }

    // Cancels the background read, ends a pending tracking request, aborts the pipes, removes the device and
    // unloads the driver. Idempotent; the destructor calls it unless the run has bug-checked.
    void finish();

   private:
    bool finished_ = false;
    int observer_ = 0;
    std::vector<int> test_observers_;
};

}  // namespace qward::test
