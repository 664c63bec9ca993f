// The outside checkers of a reliability run: what the application may see per I/O control, and the end-of-run invariants (verifier, hangs, outstanding requests, IRPs, pool per tag, remove lock, removal).
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <wdm.h>

#include "kernel.h"

namespace sim::reliability {

class Rig;

// One thing a checker found wrong.
struct Finding {
    std::string kind;    // "verifier", "deadlock", "step limit", "outstanding", "status", "reply", "IRP", "pool",
                         // "remove lock", "removal", "expectation"
    std::string detail;
};

// The statuses a request with this I/O control code can end with, whatever the reader, the card or the
// machine do: the gate's refusals, the library's size checks and the statuses of the driver's handlers.
const std::set<NTSTATUS>& allowed_statuses(ULONG code);
// Whether the code is one of the I/O controls the device-control gate admits.
bool whitelisted(ULONG code);
// Every admitted code, in a fixed order.
const std::vector<ULONG>& whitelist();
bool status_allowed(ULONG code, NTSTATUS status);
// "IOCTL_SMARTCARD_TRANSMIT" and the like, or the code in hex.
std::string ioctl_name(ULONG code);

// The end-of-run checks, in the order they are reported. A run that ended in a bug check, a deadlock or the
// step limit is reported as that alone: the machine's state is no longer meaningful after it.
std::vector<Finding> check_run(Rig& rig, RunOutcome outcome);

// One finding per line, for reports.
std::string describe(const std::vector<Finding>& findings);
// Bytes as "90 00" ("no bytes" when empty), and a card state by its name, for findings.
std::string hex(const std::vector<uint8_t>& bytes);
std::string card_state_name(ULONG state);

}  // namespace sim::reliability
