// Fuzz target: the PIN_VERIFY_STRUCTURE and the key stream. The key-event state machine alone on every key code, then the whole verification (direct, or start, key polls and finish) with a fuzzed structure, fuzzed reply room and a person at the keypad pressing fuzzed keys at fuzzed times.
#include "fuzz_rig.h"

using namespace sim::reliability;
using namespace sim::reliability::fuzz;

namespace {

// The key-event state machine: whatever keys come, the digit count stays in range and "ended" agrees with the state.
void key_machine(Input& in) {
    READER_EXTENSION re{};
    re.EntryValidation = in.byte() & 0x07;
    re.PinMinDigits = in.byte() % 20;
    re.PinMaxDigits = in.byte() % 20;
    re.PinState = PIN_ENTERING;
    const int keys = in.byte() % 40;
    for (int i = 0; i < keys && re.PinState == PIN_ENTERING; ++i) {
        UCHAR reply = 0;
        const BOOLEAN ended = ApplyKeyEvent(&re, in.byte(), &reply);
        if (re.DigitCount < 0) fail("the digit count went below zero");
        if (re.PinState != PIN_ENTERING && re.PinState != PIN_COMPLETE && re.PinState != PIN_CANCELLED &&
            re.PinState != PIN_IDLE) {
            fail("PinState " + std::to_string(re.PinState) + " is no state");
        }
        if ((ended != FALSE) != (re.PinState != PIN_ENTERING)) fail("ApplyKeyEvent's answer disagrees with PinState");
    }
}

sim::Person person_from(Input& in) {
    sim::Person person;
    const int strokes = in.byte() % 12;
    for (int i = 0; i < strokes; ++i) {
        const uint8_t b = in.byte();
        const sim::VirtualTime gap = sim::from_ms(50 + (b >> 3) * 97);
        switch (b % 8) {
            case 0: case 1: case 2: case 3: person.type(std::string(1, static_cast<char>('0' + b % 10)), gap); break;
            case 4: person.press(sim::Key::backspace, gap); break;
            case 5: person.press(sim::Key::clear, gap); break;
            case 6: person.press(b & 0x80 ? sim::Key::cancel : sim::Key::reader_end, gap); break;
            default: person.press(sim::Key::validate, gap); break;
        }
    }
    return person;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    key_machine(in);
    const uint64_t seed = 1 + in.byte();
    const uint8_t mode = in.byte();
    // The structure: the well-formed one with fuzzed bytes written over it, then cut or lengthened.
    std::vector<uint8_t> structure = pin_verify_structure();
    const int edits = in.byte() % 6;
    for (int i = 0; i < edits; ++i) {
        const uint8_t at = in.byte();
        structure[at % structure.size()] = in.byte();
    }
    if (mode & 0x40) structure.resize(in.byte() % 64, 0xFF);
    sim::Person person = person_from(in);
    const ULONG room = mode & 0x80 ? in.byte() % 5 : 2;
    run_in_rig(seed, true, [&](Rig& rig, sim::Handle& handle) {
        rig.ioctl(handle, IOCTL_SMARTCARD_POWER, ulong_bytes(SCARD_COLD_RESET), 64, "reset");
        rig.ioctl(handle, IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(SCARD_PROTOCOL_T1), 4, "protocol");
        rig.pinpad->keypad->queue_person(person);
        if (mode & 0x01) {
            rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_DIRECT, structure, room, "direct");
        } else {
            rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_START, structure, room, "start");
            for (int poll = 0; poll < 14; ++poll) {
                sim::IoResult key = rig.ioctl(handle, IOCTL_FEATURE_GET_KEY_PRESSED, {}, 1, "poll");
                if (key.status != STATUS_SUCCESS || key.output.empty() || key.output[0] == 0x0D || key.output[0] == 0x1B ||
                    key.output[0] == 0x0E || key.output[0] == 0x40) {
                    break;
                }
            }
            if (mode & 0x02) rig.ioctl(handle, IOCTL_FEATURE_ABORT, {}, 3, "abort");
            rig.ioctl(handle, IOCTL_FEATURE_VERIFY_PIN_FINISH, {}, mode & 0x04 ? 2 : 3, "finish");
        }
        if (mode & 0x08) rig.remove_card();
    });
    return 0;
}
