// Messages of the reader driver into pcscd's log (its log_msg, when the library runs inside pcscd), or to standard error.
#pragma once

#include <functional>
#include <string>

namespace sim::ifd {

// pcsc-lite's priorities: PCSC_LOG_DEBUG .. PCSC_LOG_CRITICAL.
enum class LogLevel { debug = 0, info = 1, error = 2, critical = 3 };

void log(LogLevel level, const std::string& text);

// Receives every message as well, for tests; an empty function removes it.
void set_log_observer(std::function<void(LogLevel, const std::string&)> observer);

}  // namespace sim::ifd
