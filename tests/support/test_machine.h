// The one simulated machine as the test fixtures use it: runs that fail the test with the kernel's reports, and the
// driver's records of a plugged-in reader.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "machine/machine.h"

namespace qward::test_support {

// Runs `body` in a new simulated thread until the machine comes to rest; a bug check, a deadlock or the step limit
// fails the test with the kernel's reports.
inline bool run_to_rest(sim::Machine& machine, const std::function<void()>& body, const std::string& name) {
    if (machine.run(name, body)) return true;
    ADD_FAILURE() << "run '" << name << "' ended with " << machine.outcome() << "\n" << machine.report();
    return false;
}

// Loads the driver as a freshly loaded image and plugs the unit in (through `function` when given), then fills the
// bench's driver, node, fdo, de, sc and re from the driver's records.
template <typename Bench>
void load_driver_and_plug(Bench& bench, sim::ReaderUnit& unit, sim::DeviceFunction* function = nullptr) {
    EXPECT_EQ(bench.machine.load_driver(), STATUS_SUCCESS);
    bench.driver = bench.machine.driver();
    bench.machine.plug(unit, function);
    EXPECT_TRUE(bench.machine.alive()) << bench.machine.report();
    bench.node = unit.node;
    if (bench.node && bench.node->fdo()) {
        bench.fdo = bench.node->fdo();
        bench.de = unit.extension();
        bench.sc = &bench.de->SmartcardExtension;
        bench.re = bench.sc->ReaderExtension;
    }
    EXPECT_NE(bench.fdo, nullptr) << "AddDevice failed";
}

// The spec of the reader the fixtures plug in: named as the device node the tests know, without the PIN pad unless
// asked for.
inline sim::ReaderSpec fixture_reader(bool pinpad = false, sim::UsbDeviceSpec device = sim::UsbDeviceSpec::reader()) {
    sim::ReaderSpec spec;
    spec.name = "Q-ward";
    spec.device = std::move(device);
    spec.pinpad = pinpad;
    return spec;
}

// One machine with one reader, and the parts of them a fixture's tests name directly. The fixtures derive from it,
// so the machine and its reader exist before any member of the fixture is made.
struct OneReaderMachine {
    OneReaderMachine(uint64_t seed, sim::ReaderSpec spec, sim::KernelSettings settings = {})
        : machine(seed, settings),
          unit(machine.add_reader(std::move(spec))),
          k(machine.k),
          bus(machine.bus),
          pnp(machine.pnp),
          usb(*unit.usb),
          reader(*unit.reader),
          app(machine.app) {}
    OneReaderMachine(const OneReaderMachine&) = delete;
    OneReaderMachine& operator=(const OneReaderMachine&) = delete;

    sim::Machine machine;
    sim::ReaderUnit& unit;
    sim::Kernel& k;
    sim::Bus& bus;
    sim::PnpManager& pnp;
    sim::UsbDevice& usb;
    sim::Reader& reader;
    sim::Application& app;
};

}  // namespace qward::test_support
