// The smart card library's private per-reader record behind OsData, and the helpers its files share.
#pragma once

#include <stddef.h>

#include "smclib_port.h"
#include "smclib_sim.h"

namespace sim::smclib {

// ISO/IEC 7816-3 clock rate conversion factor F and baud rate adjustment factor D by their TA1 nibble; 0 marks a
// value reserved for future use. The ATR parser and the attribute answers both read them.
inline constexpr ULONG kClockRateConversion[16] = {372, 372, 558, 744, 1116, 1488, 1860, 0, 0, 512, 768, 1024, 1536, 2048, 0, 0};
inline constexpr ULONG kBitRateAdjustment[16] = {0, 1, 2, 4, 8, 16, 32, 64, 12, 20, 0, 0, 0, 0, 0, 0};

// One acquisition of the remove lock. The holder's thread is kept so that SmartcardReleaseRemoveLockAndWait,
// which takes no tag, can give back the hold its caller took.
struct RemoveHold {
    ULONG tag;
    PVOID thread;  // current_thread_key() of the holder
    ULONGLONG serial;
    BOOLEAN used;
};

// More holds than this at once are still counted, only their tags go unchecked.
constexpr int kMaxRemoveHolds = 64;

// Allocated as one pool block by SmartcardInitialize. Plain data only: the block lives in pool that the kernel
// may reclaim without running destructors.
struct ReaderData {
    OS_DEP_DATA os;  // first, so that OsData and the record share one address
    KSPIN_LOCK hold_lock;  // guards holds, untracked_holds and next_serial
    RemoveHold holds[kMaxRemoveHolds];
    ULONG untracked_holds;
    ULONGLONG next_serial;
    ULONG information;  // where IoRequest.Information points while a callback runs (under os.Mutex)
    BOOLEAN suppress_t1_ifs_request;
};
static_assert(__is_standard_layout(ReaderData) && offsetof(ReaderData, os) == 0,
              "OsData must be the head of the library's record");

// The record behind the extension's OsData; a verifier stop when the library was never initialised for it.
ReaderData& reader_data(PSMARTCARD_EXTENSION extension, const char* call);

// The card state, read under OsData->SpinLock as the driver's own accessors do.
ULONG read_card_state(PSMARTCARD_EXTENSION extension);

}  // namespace sim::smclib
