// Runs scenario commands on the machine: each command's action, its lines in the transcript, and its expectations.
// Scenario files and the interactive session both go through it.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "machine.h"
#include "recorder.h"
#include "scenario.h"
#include "transcript.h"

namespace sim::workbench {

// The person at the keypad that a `keys` command describes.
Person keypad_person(const Command& c);

class Runner {
   public:
    Runner(Machine& machine, Recorder& recorder) : machine_(machine), recorder_(recorder) {}

    // Runs one command. False when an expectation failed, the command could not be carried out, or the machine
    // stopped (bug check, deadlock); failure() then says what was seen.
    bool run(const Command& command);
    const std::string& failure() const { return failure_; }
    // Whether the simulated machine has stopped for good (no later command can run).
    bool machine_stopped() const { return !machine_.alive(); }

    // The end of a run: every handle closed, every reader removed, the driver unloaded and its pool checked.
    // False with failure() set when something was left behind or the machine stopped.
    bool finish();

    // What the interactive `status` command prints: readers, their state, handles, requests.
    std::string status_report() const;

   private:
    ReaderUnit* reader_for(const Command& c);
    Handle* handle_for(const Command& c, ReaderUnit& unit, std::string* name);
    bool request(const Command& c, ULONG code, const Bytes& input, ULONG output_size);
    bool request_async(const Command& c, ULONG code, const Bytes& input, ULONG output_size, const std::string& name);
    Handle* named_request_handle(const Command& c, const std::string& name, ReaderUnit*& unit,
                                 std::string& handle_name);
    void emit_named_request(const ReaderUnit& unit, const std::string& name, const std::string& handle_name,
                            ULONG code, const Bytes& input, const char* how);
    bool request_from_thread(const Command& c, ULONG code, const Bytes& input, ULONG output_size,
                             const std::string& name);
    // Waits until `done` holds or `within` has passed, looking around every millisecond; true when it holds.
    bool wait_until(const std::function<bool()>& done, VirtualTime within);
    bool fault(const Command& c);
    bool reader_behaviour(const Command& c, ReaderUnit& unit);
    bool expect_usb(const Command& c, ReaderUnit& unit);
    bool expect_books(const Command& c);
    bool check(const Command& c, NTSTATUS status, const Bytes* reply);
    bool fail(const Command& c, const std::string& message);
    bool stopped(const Command& c);
    void note_driver_load(bool was_loaded);
    void hint_unseen_card_event(ReaderUnit& unit, std::optional<ULONG> before);
    void event(Source source, const std::string& reader, const std::string& text, Tone tone = Tone::plain);

    bool plug(const Command& c);
    bool pnp_step(const Command& c, ReaderUnit& unit);
    bool keys(const Command& c, ReaderUnit& unit);
    bool pin(const Command& c);

    Machine& machine_;
    Recorder& recorder_;
    std::string current_;  // the current reader's name
    // Per reader, how many of the packets the host wrote and the reader sent `expect usb` has used up.
    std::map<const ReaderUnit*, std::pair<size_t, size_t>> usb_seen_;
    std::string failure_;
};

}  // namespace sim::workbench
