// Logging through pcscd's log_msg when the daemon provides it.
#include "log.h"

#include <cstdio>
#include <mutex>

// Exported by pcscd for its reader drivers; absent when the library is loaded elsewhere.
extern "C" void log_msg(const int priority, const char* fmt, ...) __attribute__((weak));

namespace sim::ifd {

namespace {

std::mutex& observer_mutex() {
    static std::mutex m;
    return m;
}

std::function<void(LogLevel, const std::string&)>& observer() {
    static std::function<void(LogLevel, const std::string&)> f;
    return f;
}

}  // namespace

void log(LogLevel level, const std::string& text) {
    std::string line = "tavelo: " + text;
    if (log_msg) {
        log_msg(static_cast<int>(level), "%s", line.c_str());
    } else {
        std::fprintf(stderr, "%s\n", line.c_str());
    }
    std::lock_guard<std::mutex> lock(observer_mutex());
    if (observer()) observer()(level, text);
}

void set_log_observer(std::function<void(LogLevel, const std::string&)> f) {
    std::lock_guard<std::mutex> lock(observer_mutex());
    observer() = std::move(f);
}

}  // namespace sim::ifd
