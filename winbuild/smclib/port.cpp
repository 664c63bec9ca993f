// SMCLIB.SYS's side of the smart card library's port (platform/smclib/smclib_port.h) for a Windows kernel: a broken
// rule is printed to the debugger and stops the machine with a bug check, as Driver Verifier would; reader
// callbacks are called directly. The library's other files are the simulated platform's, built unchanged.
#include <stdarg.h>

#include "platform/smclib/smclib_port.h"

// Bug check code of a verifier-detected violation in a driver.
#define SMCLIB_VERIFIER_BUGCHECK 0xC4
// vDbgPrintEx's component (DPFLTR_IHVDRIVER_ID) and level (DPFLTR_ERROR_LEVEL): shown whatever the filter.
#define SMCLIB_DEBUG_COMPONENT 77
#define SMCLIB_DEBUG_LEVEL 0

namespace sim::smclib {

void verifier_stop(const char* rule, const char* format, ...) {
    DbgPrint("SMCLIB: %s: ", rule);
    va_list args;
    va_start(args, format);
    vDbgPrintEx(SMCLIB_DEBUG_COMPONENT, SMCLIB_DEBUG_LEVEL, format, args);
    va_end(args);
    DbgPrint("\n");
    KeBugCheckEx(SMCLIB_VERIFIER_BUGCHECK, 0, reinterpret_cast<ULONG_PTR>(rule), 0, 0);
}

// mingw-w64's KeGetCurrentThread reads the processor block through GS inline, which only holds in a real kernel;
// the exported thread id serves every kernel.
PVOID current_thread_key() { return PsGetCurrentThreadId(); }

NTSTATUS call_reader_callback(const char*, NTSTATUS (*callback)(PSMARTCARD_EXTENSION), PSMARTCARD_EXTENSION extension) {
    return callback(extension);
}

}  // namespace sim::smclib

// An export driver: the kernel loads it for the drivers that import it and never calls its entry point; a loader
// that treats it as an ordinary DLL (Wine's) calls it with the DLL arguments, and a non-zero answer lets the load go on.
extern "C" ULONG_PTR NTAPI SmclibEntry(PVOID, ULONG, PVOID) { return 1; }
