// The simulated Windows machine inside the reader driver library: it runs on an OS thread of its own in real time, with our driver loaded, and each configured reader plugged into its USB bus; pcscd's threads reach it only through I/O controls on an application handle, as a Windows program reaches a reader.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config.h"

namespace sim::ifd {

// The outcome of an I/O control: the NTSTATUS, the bytes that came back, and whether the machine had stopped (a
// bug check) so that nothing was done.
struct IoOutcome {
    uint32_t status = 0;
    std::vector<uint8_t> output;
    bool machine_down = false;
};

// One per process, shared by every reader (pcscd loads the library once for all its readers of it).
class Host {
   public:
    static Host& instance();
    ~Host();

    // Boots the machine for the first reader (driver load); then plugs the reader in, starts it and opens an
    // application handle on its smart card reader interface. Empty on success, else what went wrong.
    std::string open_reader(uint32_t lun, const ReaderConfig& config);
    // Closes the handle and unplugs the reader. After the last reader the driver is unloaded with the verifier's
    // leak check and the machine stops. Empty when everything went cleanly, else the report (also logged).
    std::string close_reader(uint32_t lun);
    bool has_reader(uint32_t lun) const;

    // DeviceIoControl on the reader's handle.
    IoOutcome ioctl(uint32_t lun, uint32_t code, const std::vector<uint8_t>& input, uint32_t output_size);
    // Waits for the card to come (present_now false) or go (true) with IOCTL_SMARTCARD_IS_PRESENT or IS_ABSENT;
    // after timeout_ms (negative: no limit) the request is cancelled: STATUS_CANCELLED.
    IoOutcome wait_for_card_event(uint32_t lun, bool present_now, int timeout_ms);
    // Cancels the reader's card-event wait; when none runs, the next one returns at once instead.
    void stop_card_event_wait(uint32_t lun);

    // ---- Observation, for tests ------------------------------------------------------------------------------
    bool machine_running() const;
    // The report of the last machine that stopped with a bug check (empty if none did).
    std::string last_bug_check() const;

   private:
    Host();
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim::ifd
