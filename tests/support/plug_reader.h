// Loads the reader driver as a freshly loaded image and plugs one reader in, for the test benches that
// share the field names driver, node, fdo, de, sc, re and the members pnp and run().
#pragma once

#include <gtest/gtest.h>

#include "driver/driver.h"
#include "platform/host/pnp_manager.h"

namespace qward::test_support {

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
