// Fuzz target: the I/O control surface. Any whitelisted code (or any code at all) with fuzzed input and reply buffer sizes, synchronous or overlapped, mixed with card insertions and removals, cancels and handle closes; every status is checked against what that control can return.
#include "fuzz_rig.h"

using namespace sim::reliability;
using namespace sim::reliability::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint64_t seed = 1 + in.byte();
    run_in_rig(seed, true, [&](Rig& rig, sim::Handle& handle) {
        std::shared_ptr<sim::PendingRequest> last;
        for (int step = 0; step < 24 && !in.empty(); ++step) {
            const uint8_t op = in.byte();
            switch (op % 8) {
                case 0: case 1: case 2: case 3: case 4: {
                    const uint8_t pick = in.byte();
                    ULONG code = whitelist()[pick % whitelist().size()];
                    if (pick >= 0xF0) code = 0x310000 | (in.u16() & 0x3FFC);  // any smart card control, buffered
                    const uint16_t input_size = in.byte() | (op & 0x20 ? in.byte() << 8 : 0);
                    std::vector<uint8_t> input = in.bytes(input_size);
                    input.resize(input_size, 0);
                    const ULONG output_size = in.u16() % 700;
                    if (op & 0x10) {
                        last = rig.ioctl_async(handle, code, input, output_size, "fuzz async");
                    } else {
                        rig.ioctl(handle, code, input, output_size, "fuzz");
                    }
                    break;
                }
                case 5:
                    if (rig.reader.card_present()) {
                        rig.remove_card();
                    } else {
                        rig.insert_card(std::shared_ptr<sim::Card>(sim::make_card(op & 0x10 ? "iso-t0" : "iso")));
                    }
                    break;
                case 6:
                    if (op & 0x10) {
                        if (last) last->cancel();
                    } else {
                        rig.close(handle);
                        handle = rig.open("fuzz reopen");
                    }
                    break;
                default:
                    rig.delay_ms(in.byte());
                    break;
            }
        }
        if (last) rig.wait(last);
    });
    return 0;
}
