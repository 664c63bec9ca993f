// A started reader with the driver loaded, the firmware's card and PIN pad commands, a keypad, an ISO card and an application handle, for the PIN pad and vendor control tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "driver/driver.h"
#include "machine/machine.h"
#include "tests/support/test_machine.h"
#include "reader/card_commands.h"
#include "reader/cards/iso_card.h"
#include "reader/keypad.h"
#include "reader/pin_commands.h"
#include "reader/reader.h"

namespace qward::pinpad_test {

using sim::Bytes;

// A reader command as the host wrote it: the header's code and the data that followed.
struct Command {
    uint8_t kind = 0;  // byte 0 of the opening packet
    uint8_t code = 0;  // command code (header byte 2) or request code (control byte 1)
    Bytes data;
};

// The fields of a PIN_VERIFY_STRUCTURE; the defaults ask for a 4- to 8-digit PIN, ASCII, left justified in an
// 8-byte field, validated by the key, for the ISO card's VERIFY of PIN 01.
struct VerifyRequest {
    uint8_t timer_out = 0;
    uint8_t timer_out2 = 0;
    uint8_t format_string = 0x82;
    uint8_t block_string = 0x08;
    uint8_t length_format = 0x00;
    uint8_t max_digits = 8;
    uint8_t min_digits = 4;
    uint8_t entry_validation = 0x02;
    uint8_t number_message = 0x01;
    uint16_t lang_id = 0x0409;
    uint8_t msg_index = 0;
    Bytes apdu = {0x00, 0x20, 0x00, 0x01, 0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    // ulDataLength as sent; the APDU's length when not set.
    std::optional<uint32_t> data_length;
};
// The byte-packed structure: 19 bytes, then the APDU.
Bytes verify_structure(const VerifyRequest& request);

// One reader with the driver, on the one simulated machine. Construction loads the driver with fresh globals (DeviceCount = 0) and plugs the
// reader in; start() starts it and opens a handle. The destructor closes the handle and removes the device, which
// unloads the driver: the kernel bug-checks on any pool left, and the test fails on any verifier report.
class PinpadBench : public qward::test_support::OneReaderMachine {
   public:
    explicit PinpadBench(uint64_t seed = 1);
    ~PinpadBench();
    PinpadBench(const PinpadBench&) = delete;
    PinpadBench& operator=(const PinpadBench&) = delete;

    std::shared_ptr<sim::PinpadState> pinpad;
    std::shared_ptr<sim::IsoCard> card;

    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION de = nullptr;
    PSMARTCARD_EXTENSION sc = nullptr;
    PREADER_EXTENSION re = nullptr;
    sim::Handle handle;

    sim::Keypad& keypad() { return *pinpad->keypad; }

    // Starts the device, with the ISO card (PIN "1234") in the slot unless told otherwise, and opens a handle.
    void start(bool with_card = true);
    // Cold reset and T=1: the card state becomes SCARD_SPECIFIC.
    void power_card();

    // Runs body in a simulated PASSIVE_LEVEL thread until the machine is idle; a bug check, deadlock or abort fails
    // the test and returns false.
    bool run(const std::function<void()>& body, const std::string& name = "test");
    void settle(int64_t ms);

    // I/O controls through the application handle.
    sim::IoResult ioctl(ULONG code, const Bytes& input = {}, ULONG output_size = 0);
    std::shared_ptr<sim::PendingRequest> ioctl_async(ULONG code, const Bytes& input = {}, ULONG output_size = 0);

    // The reader answers the command `code` with this answer (kind and data) from now on.
    void answer_command(uint8_t code, uint8_t kind, Bytes data);

    ULONG card_state() const { return sc->ReaderCapabilities.CurrentState; }
    size_t written_count() const { return reader.written().size(); }
    // What the host has written from packet `from` on, assembled into commands.
    std::vector<Command> written(size_t from = 0) const;
    // The command codes among them.
    std::vector<uint8_t> command_codes(size_t from = 0) const;
};

void delay_ms(int64_t ms);

}  // namespace qward::pinpad_test
