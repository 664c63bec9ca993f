// A started reader with the driver loaded, the reader firmware's card commands and an application handle, for the card services tests.
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

namespace qward::card_test {

using sim::Bytes;

// The SCARD_IO_REQUEST that every transmit request here starts with (T=1, 8 bytes); the reply must repeat it.
inline const Bytes kIoHeader = {0x02, 0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00};

// A card that answers every APDU with a fixed response and remembers what it was sent.
class RecordingCard : public sim::Card {
   public:
    explicit RecordingCard(Bytes atr = {0x3B, 0x00}, Bytes response = {0x90, 0x00})
        : atr_(std::move(atr)), response_(std::move(response)) {}
    Bytes reset(bool warm) override {
        resets.push_back(warm);
        return atr_;
    }
    void power_off() override { ++power_offs; }
    Bytes transmit(const Bytes& apdu) override {
        apdus.push_back(apdu);
        return response_;
    }
    std::vector<bool> resets;  // true for a warm reset
    int power_offs = 0;
    std::vector<Bytes> apdus;

   private:
    Bytes atr_;
    Bytes response_;
};

// A command or reader-control request as the host wrote it: the opening packet and the data that followed it.
struct WrittenCommand {
    sim::Packet header;
    Bytes data;
    size_t data_packets = 0;
    std::vector<size_t> counts;  // byte 1 of each data packet
};

// One reader with the driver, on the one simulated machine. Construction loads the driver with fresh globals and
// plugs the reader in; start() starts it through the Plug and Play manager and opens a handle. The destructor closes
// the handle, removes the device (which unloads the driver, and the kernel bug-checks on any pool left) and fails
// the test on any verifier report.
class CardBench : public qward::test_support::OneReaderMachine {
   public:
    explicit CardBench(uint64_t seed = 1);
    ~CardBench();
    CardBench(const CardBench&) = delete;
    CardBench& operator=(const CardBench&) = delete;

    std::shared_ptr<sim::CardCommandState> firmware;

    PDRIVER_OBJECT driver = nullptr;
    sim::DeviceNode* node = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_EXTENSION de = nullptr;
    PSMARTCARD_EXTENSION sc = nullptr;
    PREADER_EXTENSION re = nullptr;
    sim::Handle handle;

    // Starts the device with the card (if any) already in the slot, so that the start's card-status query
    // finds it, and opens a handle.
    void start(std::shared_ptr<sim::Card> card = nullptr);
    // Installs the firmware's card commands again with these options.
    void set_firmware(sim::CardCommandOptions options) { firmware = sim::install_card_commands(reader, options); }
    // From now on the reader sends only what the test queues.
    void script() { reader.set_mode(sim::Reader::Mode::scripted); }

    // Runs body in a simulated PASSIVE_LEVEL thread until the machine is idle; a bug check, deadlock or abort
    // fails the test and returns false.
    bool run(const std::function<void()>& body, const std::string& name = "test");
    void settle(int64_t ms);

    // I/O controls through the application handle, each in a simulated thread.
    sim::IoResult ioctl(ULONG code, const Bytes& input, ULONG output_size);
    sim::IoResult power(ULONG minor, ULONG output_size = 64);
    // The APDU after kIoHeader. A card in the slot without a protocol in force gets T=1 in force first (the record
    // only, as the driver's protocol callback does it).
    sim::IoResult transmit(const Bytes& apdu, ULONG output_size = MIN_BUFFER_SIZE);
    sim::IoResult set_protocol(ULONG mask, ULONG output_size = sizeof(ULONG));
    // A card-tracking request left pending; it keeps the background read posted.
    std::shared_ptr<sim::PendingRequest> track(ULONG code);

    ULONG card_state() const { return sc->ReaderCapabilities.CurrentState; }
    // What the host has written from packet `from` on, assembled into commands.
    std::vector<WrittenCommand> written(size_t from = 0) const;
    size_t written_count() const { return reader.written().size(); }
    // Reads submitted on the IN pipe so far: the background read's and the packet channel's.
    size_t in_reads = 0;

   private:
    bool started_ = false;
    int observer_ = 0;
};

// The reply bytes of a transmit, without the 8-byte header (which must be kIoHeader).
Bytes reply_body(const sim::IoResult& result);

// The packet bytes given, zero-padded to 8.
sim::Packet packet(std::initializer_list<uint8_t> bytes);
// An answer header announcing `length` bytes (count 3), and the data packets carrying `data`.
sim::Packet answer_header(uint8_t kind, size_t length);
std::vector<sim::Packet> data_packets(const Bytes& data);

void delay_ms(int64_t ms);

}  // namespace qward::card_test
