// Fuzz target: the reader's answer stream. Every reader-control request and every reader command is answered with packets the fuzzer makes (any number, any length, any content), while the host runs start, reset, protocol, APDUs, the vendor and PIN controls and card tracking.
#include "fuzz_rig.h"

using namespace sim::reliability;
using namespace sim::reliability::fuzz;

namespace {

// Up to three packets of 0 to 8 bytes for each request the reader gets; an empty input answers nothing.
void answer_from(Input& in, sim::Reader& reader) {
    const int packets = in.byte() % 4;
    for (int i = 0; i < packets; ++i) {
        const size_t length = in.byte() % 9;
        std::vector<uint8_t> packet = in.bytes(length);
        packet.resize(length, 0);
        reader.send(packet);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    const uint64_t seed = 1 + in.byte();
    const uint8_t plan = in.byte();
    run_in_rig(seed, false, [&](Rig& rig, sim::Handle& handle) {
        for (int code = 0; code < 256; ++code) {
            for (sim::PacketKind kind : {sim::PacketKind::control, sim::PacketKind::header}) {
                rig.reader.set_handler(kind, static_cast<uint8_t>(code),
                                       [&in](sim::Reader& r, const sim::ReaderCommand&) { answer_from(in, r); });
            }
        }
        rig.insert_card_quietly(std::shared_ptr<sim::Card>(sim::make_card("iso")));
        if (rig.start() != STATUS_SUCCESS) return;
        handle = rig.open("fuzz");
        auto tracking = plan & 0x01 ? rig.ioctl_async(handle, IOCTL_SMARTCARD_IS_ABSENT, {}, 0, "tracking") : nullptr;
        rig.ioctl(handle, IOCTL_SMARTCARD_POWER, ulong_bytes(plan & 0x02 ? SCARD_WARM_RESET : SCARD_COLD_RESET), 64, "reset");
        rig.ioctl(handle, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1), 4, "protocol");
        rig.ioctl(handle, IOCTL_SMARTCARD_TRANSMIT, transmit_request({0x00, 0xA4, 0x04, 0x00, 0x02, 0x3F, 0x00, 0x10}), 300, "case 4");
        rig.ioctl(handle, IOCTL_SMARTCARD_TRANSMIT, transmit_request({0x00, 0xB0, 0x00, 0x00, 0x20}), 300, "case 2");
        rig.ioctl(handle, IOCTL_SMARTCARD_TRANSMIT, transmit_request({0x80, 0x12, 0x03, 0x01, 0x00}), 300, "management");
        if (plan & 0x04) rig.ioctl(handle, IOCTL_VENDOR_GET_VERSION, {}, 300, "version");
        if (plan & 0x08) rig.ioctl(handle, IOCTL_FEATURE_IFD_PIN_PROPERTIES, {}, 4, "properties");
        if (plan & 0x10) rig.ioctl(handle, IOCTL_VENDOR_COMMAND_2F, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0, "vendor data");
        if (plan & 0x20) {
            rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_START, pin_verify_structure(), 1, "PIN start");
            rig.ioctl(handle, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "key poll");
            rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, 3, "PIN finish");
        }
        if (plan & 0x40) rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_DIRECT, pin_verify_structure(5), 2, "PIN direct");
        rig.ioctl(handle, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_POWER_DOWN), 0, "power down");
        rig.close(handle);
        rig.wait(tracking);
    }, AtRest::unplug_the_reader);
    return 0;
}
