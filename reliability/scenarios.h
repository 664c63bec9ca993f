// The end-to-end scenarios of the reliability runs: each drives the machine through one area of the driver's work as an application, the Plug and Play manager and the power manager would.
#pragma once

#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "checkers.h"
#include "rig.h"

namespace sim::reliability {

// The result a scenario predicts for one request in a run that nothing disturbs: its status (or any failure
// status), and where the reply matters, the reply itself, one of a few replies, the bytes it ends with, or a
// property of it.
struct Predicted {
    NTSTATUS status = STATUS_SUCCESS;
    bool any_failure = false;
    bool or_failure = false;                       // the predicted success, or any failure status
    std::vector<std::vector<uint8_t>> replies;     // one of these exactly; empty: not predicted
    std::optional<std::vector<uint8_t>> ends_with;
    std::function<bool(const std::vector<uint8_t>&)> reply_holds;
    std::string reply_text;                        // what reply_holds asks for, for the finding

    static Predicted success() { return {}; }
    static Predicted success_with(std::vector<uint8_t> reply);
    static Predicted success_with_one_of(std::vector<std::vector<uint8_t>> replies);
    static Predicted success_ending(std::vector<uint8_t> tail);
    static Predicted success_where(std::function<bool(const std::vector<uint8_t>&)> holds, std::string text);
    static Predicted failure(NTSTATUS status);
    static Predicted some_failure();
    // The card state as IOCTL_SMARTCARD_GET_STATE reports it: one of these.
    static Predicted state(std::initializer_list<ULONG> states);
    std::string describe() const;
    bool holds(NTSTATUS status, const std::vector<uint8_t>& reply) const;
};

// What a scenario body gets besides the machine. Expectations about results (the PIN was accepted, the card's
// answer came back) hold only in a run that nothing disturbs; the outside checkers hold in every run.
class Context {
   public:
    explicit Context(bool undisturbed) : undisturbed_(undisturbed) {}
    bool undisturbed() const { return undisturbed_; }
    void expect(bool holds, const std::string& what);
    // Checks a request's result against the prediction (in an undisturbed run) and records that it has one. A
    // request still outstanding has no result: that is a finding too.
    void expect_result(const std::shared_ptr<PendingRequest>& request, const Predicted& predicted,
                       const std::string& what);
    // In an undisturbed run, every request the scenario body sent (the first `count` logged) has a prediction.
    void expect_all_predicted(const std::vector<LoggedRequest>& logged, size_t count);
    // A request whose outcome the scenario leaves open (a scenario file's request without `expect`).
    void leave_open(const std::shared_ptr<PendingRequest>& request) { predicted_.insert(request.get()); }
    const std::vector<Finding>& findings() const { return findings_; }

   private:
    bool undisturbed_;
    std::vector<Finding> findings_;
    std::set<const PendingRequest*> predicted_;
};

struct Scenario {
    const char* name;
    const char* what;
    // Runs in the run's main simulated thread, after the reader was plugged in and before the teardown.
    std::function<void(Rig& rig, Context& context)> body;
};

// The scenarios that the seeds and every sweep run.
const std::vector<Scenario>& scenarios();
// One story per driver fault that was found and fixed, each run undisturbed (seeds only): it fails on a driver
// that has the fault again.
const std::vector<Scenario>& regression_scenarios();
// Either kind, by name; a name that the loader knows (a scenario file's path) through the loader.
const Scenario* find_scenario(std::string_view name);
void set_scenario_loader(const Scenario* (*loader)(std::string_view name));

}  // namespace sim::reliability
