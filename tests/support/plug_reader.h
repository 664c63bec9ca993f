// Loads the reader driver as a freshly loaded image and plugs one reader in, for the test benches that
// share the field names driver, node, fdo, de, sc, re and the members pnp and run(); and the run of one body in
// a simulated thread that those benches' run() is.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "driver/driver.h"
#include "kernel.h"
#include "platform/host/pnp_manager.h"

namespace qward::test_support {

// Runs `body` in a new simulated thread until the machine comes to rest; a bug check, a deadlock or the step
// limit fails the test with the kernel's reports.
inline bool run_to_rest(sim::Kernel& k, const std::function<void()>& body, const std::string& name) {
    const sim::RunOutcome outcome = k.run_thread(name, body);
    if (outcome == sim::RunOutcome::completed) return true;
    ADD_FAILURE() << "run '" << name << "' ended with " << sim::to_string(outcome) << "\n"
                  << k.bug_check_report() << k.scheduler().deadlock_report() << k.scheduler().abort_report();
    return false;
}

template <typename Bench>
void load_driver_and_plug(Bench& bench, sim::DeviceFunction* function) {
    // A freshly loaded driver image has zeroed globals; this process loads the same image again and again.
    DeviceCount = 0;
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    bench.driver = bench.pnp.load_driver("tavelo", &DriverEntry, &entry);
    EXPECT_EQ(entry, STATUS_SUCCESS);
    bench.run([&] { bench.node = &bench.pnp.plug(bench.driver, "Q-ward", function); }, "plug");
    if (bench.node && bench.node->fdo()) {
        bench.fdo = bench.node->fdo();
        bench.de = static_cast<PDEVICE_EXTENSION>(bench.fdo->DeviceExtension);
        bench.sc = &bench.de->SmartcardExtension;
        bench.re = bench.sc->ReaderExtension;
    }
    EXPECT_NE(bench.fdo, nullptr) << "AddDevice failed";
}

}  // namespace qward::test_support
