// The workbench runs on the one simulated machine (machine/machine.h): its names for the machine's parts, and the
// machine as the workbench sets it up.
#pragma once

#include <cstdint>

#include "machine/machine.h"

namespace sim::workbench {

using sim::Machine;
using sim::MachineObserver;
using sim::NamedHandle;
using sim::ReaderUnit;

// Every reader's bus watched (for the transcript and for settling after a step), waits that look around every
// millisecond, and the application named as the workbench.
inline MachineOptions workbench_options(uint64_t seed) {
    MachineOptions options;
    options.seed = seed;
    options.application = "workbench";
    options.watch_bus = true;
    options.tick = from_ms(1);
    return options;
}

}  // namespace sim::workbench
