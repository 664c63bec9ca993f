// The simulated kernel's side of the smart card library's port: verifier stops become the kernel's bug checks, and
// reader callbacks are called through the kernel's IRQL check. Ordinary C++, unlike the library's other files.
#include <cstdarg>
#include <cstdio>
#include <string>

#include "kernel.h"
#include "smclib_port.h"

namespace sim::smclib {

void verifier_stop(const char* rule, const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string detail(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    std::vsnprintf(detail.data(), detail.size() + 1, format, again);
    va_end(again);
    Kernel::current().bug_check(rule, detail);
}

PVOID current_thread_key() { return KeGetCurrentThread(); }

NTSTATUS call_reader_callback(const char* what, NTSTATUS (*callback)(PSMARTCARD_EXTENSION), PSMARTCARD_EXTENSION extension) {
    return Kernel::current().call_checked(what, [&] { return callback(extension); });
}

}  // namespace sim::smclib
