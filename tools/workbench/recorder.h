// Watches the machine and writes what it sees: the reader packets decoded, URBs and control transfers, card-state
// changes, the keypad, the driver's debug output and overlapped requests that complete, to the transcript; every
// URB to the USB trace. PIN bytes are masked in both.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "machine.h"
#include "pcap_writer.h"
#include "reader_protocol.h"
#include "transcript.h"

namespace sim::workbench {

// A request sent from an application thread of its own: the request exists once its dispatch routine returned.
struct SentFromThread {
    std::shared_ptr<PendingRequest> request;
    bool returned = false;  // DeviceIoControl has returned in that thread
};

// An overlapped request the scenario named, watched until it completes.
struct WatchedRequest {
    std::string name;
    std::string reader;
    std::string handle;
    ULONG code = 0;
    Bytes input;
    std::shared_ptr<PendingRequest> request;  // null while `sender`'s thread is still in the dispatch routine
    bool reported = false;
    std::shared_ptr<SentFromThread> sender;   // set for requests sent `as NAME` from a thread of their own

    PendingRequest* pending() const { return request ? request.get() : sender ? sender->request.get() : nullptr; }
    bool done() const { return pending() && pending()->done(); }
};

class Recorder : public MachineObserver {
   public:
    Recorder(Transcript& transcript, PcapWriter* trace) : transcript_(transcript), trace_(trace) {}
    void attach(Machine& machine) { machine_ = &machine; }

    void on_bus_event(ReaderUnit& unit, const BusEvent& event) override;
    void checkpoint() override;

    void watch(WatchedRequest request) { watched_.push_back(std::move(request)); }
    WatchedRequest* find_request(const std::string& name);
    const std::vector<WatchedRequest>& watched() const { return watched_; }
    // Reports a completed request now (await uses it so that the result comes before the check).
    void report_completion(WatchedRequest& watched);

    // Emits an event stamped with the machine's time.
    void emit(Event event);

   private:
    struct ReaderWatch {
        ReaderProtocolDecoder decoder;
        std::map<uint64_t, DecodedPacket> out_decoded;  // OUT transfers by URB id, decoded at submission
        std::map<uint64_t, std::array<uint8_t, 8>> setups;  // control requests by URB id, for their completion
        std::optional<ULONG> card_state;
        int keypad_entries = -1;
        size_t keypad_digits = 0;
        Keypad::Entry keypad_entry = Keypad::Entry::idle;
    };

    void transcribe(ReaderUnit& unit, ReaderWatch& watch, const BusEvent& event);
    void trace(ReaderUnit& unit, ReaderWatch& watch, const BusEvent& event);
    void look_at_keypad(ReaderUnit& unit, ReaderWatch& watch);

    Transcript& transcript_;
    PcapWriter* trace_;
    Machine* machine_ = nullptr;
    std::map<const ReaderUnit*, ReaderWatch> watches_;
    std::vector<WatchedRequest> watched_;
    size_t debug_lines_ = 0;
    bool in_checkpoint_ = false;
};

// The transcript line of a completed application request: status, byte count, decoded reply.
Event request_result_event(const std::string& reader, const std::string& handle, ULONG code, const Bytes& input,
                           NTSTATUS status, ULONG_PTR bytes, const Bytes& output);

}  // namespace sim::workbench
