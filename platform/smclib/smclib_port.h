// What the smart card library needs from the kernel it runs in beyond the DDK routines: how a broken rule stops the
// machine and how a reader callback is called. The simulated platform answers with its verifier (sim_port.cpp),
// SMCLIB.SYS with a bug check (winbuild/smclib/port.cpp).
#pragma once

#include "smclib_includes.h"

namespace sim::smclib {

// Ends the run the way the kernel's verifier does, naming the rule that the caller broke; the detail is
// printf-formatted.
[[noreturn]] void verifier_stop(const char* rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Something that tells the calling thread from every other one (the remove lock keeps it with each hold).
PVOID current_thread_key();

// Calls one of the reader driver's callbacks; `what` names it in a report when it breaks a rule.
NTSTATUS call_reader_callback(const char* what, NTSTATUS (*callback)(PSMARTCARD_EXTENSION), PSMARTCARD_EXTENSION extension);

}  // namespace sim::smclib
