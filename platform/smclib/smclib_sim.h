// What the rest of the simulated platform and its tests may know of the smart card library's inner working.
#pragma once

#include <wdm.h>

namespace sim {

// Pool tag of every block the library allocates (request and reply buffers, the per-reader record behind
// OsData): the letters S, m, C, a in memory order.
constexpr ULONG kSmclibPoolTag = 0x61436D53;

// Tag under which the untagged remove-lock routines (SmartcardAcquireRemoveLock, SmartcardReleaseRemoveLock)
// keep their holds.
constexpr ULONG kSmclibUntaggedHold = 0;

}  // namespace sim
