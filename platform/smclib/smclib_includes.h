// The one place where the smart card library's files include the kernel and smart card headers. The library is
// freestanding kernel code like the driver: the same files build into the simulated platform and, with mingw-w64,
// into SMCLIB.SYS for a Windows kernel (winbuild/smclib.sh).
#pragma once

#if defined(_WIN32)
// mingw-w64's wdm.h defines these two intrinsics inline and its intrinsic header declares them again, which C++
// rejects; claiming them as already defined keeps the wdm.h definitions only.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#else
#include <wdm.h>
#endif
#include <winsmcrd.h>
#include <smclib.h>
