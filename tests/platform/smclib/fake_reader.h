// A fake smart card reader (device, test-supplied callbacks, application I/O controls) for exercising the smart card library.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "kernel.h"

#include <winsmcrd.h>
#include <smclib.h>

namespace sim::test {

constexpr ULONG kIoctTag = 0x74636F49;  // "Ioct" in memory order
constexpr ULONG kPnpTag = 0x00506E50;   // "PnP"

class FakeReader;

struct ReaderDevice {
    SMARTCARD_EXTENSION smartcard;
    FakeReader* reader;
};

// What a callback found in the extension when the library called it.
struct CallbackView {
    ULONG major = 0;
    ULONG minor = 0;
    PUCHAR request = nullptr;
    ULONG request_length = 0;
    PUCHAR reply = nullptr;
    ULONG reply_length = 0;
    bool has_information = false;
    PIRP current_irp = nullptr;
};

// One application I/O control: what the dispatch routine returned and how the IRP completed.
struct IoctlResult {
    NTSTATUS returned = STATUS_PENDING;
    bool completed = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    std::vector<UCHAR> output;  // the Information bytes the I/O manager would hand back
    std::vector<UCHAR> system_buffer;
    PIRP irp = nullptr;  // the IRP while it is outstanding
};

std::vector<UCHAR> ulong_bytes(ULONG value);
ULONG ulong_at(const std::vector<UCHAR>& bytes);

class FakeReader {
   public:
    // Creates the device and initialises the library for it (Tavelo Q-ward, unit 2, T=0 and T=1, no card).
    explicit FakeReader(Kernel& kernel);
    // Exits the library and deletes the device unless the run ended in a bug check (the kernel then
    // reclaims everything) or the test left the library something that SmartcardExit must refuse.
    ~FakeReader();
    FakeReader(const FakeReader&) = delete;
    FakeReader& operator=(const FakeReader&) = delete;

    // Sends the I/O control to the device from the calling simulated thread.
    std::shared_ptr<IoctlResult> ioctl(ULONG code, const std::vector<UCHAR>& input, ULONG output_length);

    // What the driver's card-event path does: new card state, and completion of a pending tracking request.
    void card_event(ULONG state);

    // The card state as the driver sets it (under OsData->SpinLock).
    void set_state(ULONG state);

    // A card that has been reset and runs `selected` (SCARD_SPECIFIC; UNDEFINED leaves it SCARD_PRESENT), its ATR
    // offering `supported`.
    void card_ready(ULONG selected = SCARD_PROTOCOL_T1, ULONG supported = SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1);

    Kernel& k;
    NTSTATUS init_status = STATUS_UNSUCCESSFUL;
    PDRIVER_OBJECT driver = nullptr;
    PDEVICE_OBJECT device = nullptr;
    PSMARTCARD_EXTENSION ext = nullptr;

    // Per ReaderFunction index: the behaviour (none = STATUS_SUCCESS), calls, and the view of the last call.
    std::function<NTSTATUS(PSMARTCARD_EXTENSION)> behaviour[16];
    int calls[16] = {};
    CallbackView seen[16];

    // The default tracking callback arms the request for cancellation as a driver does and leaves it pending.
    static NTSTATUS arm_tracking_request(PSMARTCARD_EXTENSION extension);
};

}  // namespace sim::test

namespace sim::test {

// Runs body as the application's thread and expects the run to end without a bug check or a deadlock.
void run_clean(Kernel& k, std::function<void()> body);

}  // namespace sim::test
