// The recovery check of every reliability run: once the scenario and its disturbance are over, the rig heals the world (no more injected faults, a well-behaved reader plugged in and started, a fresh card in the slot) and probes the reader through a fresh handle; every probe must give the card's or the slot's answer on its first try.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "checkers.h"
#include "rig.h"

namespace sim::reliability {

struct RecoveryOutcome {
    uint64_t probes = 0;            // probes made
    uint64_t probes_failed = 0;
    // Kind "recovery": each failed probe with what was expected and what was seen, and a machine that did not
    // come to rest.
    std::vector<Finding> failures;
};

// Runs in the run's main simulated thread after the scenario body and before the teardown.
RecoveryOutcome check_recovery(Rig& rig);

// The probes in the order they run, for reports and tests.
const std::vector<std::string>& recovery_probe_names();

// The protocols an answer to reset offers, as SCARD_PROTOCOL_T0 and SCARD_PROTOCOL_T1 bits read from its TD
// bytes (T=0 alone when there is no TD1). 0 for bytes that are no answer to reset.
ULONG atr_protocols(const std::vector<uint8_t>& atr);

// The card state the driver must report for the slot: SCARD_ABSENT for an empty slot, SCARD_PRESENT or one of
// the states above it for a card.
bool state_matches_slot(ULONG state, bool card_in_slot);

}  // namespace sim::reliability
