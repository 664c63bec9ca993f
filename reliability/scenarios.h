// The end-to-end scenarios of the reliability runs: each drives the machine through one area of the driver's work as an application, the Plug and Play manager and the power manager would.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "checkers.h"
#include "rig.h"

namespace sim::reliability {

// What a scenario body gets besides the machine. Expectations about results (the PIN was accepted, the card's
// answer came back) hold only in a run that nothing disturbs; the outside checkers hold in every run.
class Context {
   public:
    explicit Context(bool undisturbed) : undisturbed_(undisturbed) {}
    bool undisturbed() const { return undisturbed_; }
    void expect(bool holds, const std::string& what);
    const std::vector<Finding>& findings() const { return findings_; }

   private:
    bool undisturbed_;
    std::vector<Finding> findings_;
};

struct Scenario {
    const char* name;
    const char* what;
    // Runs in the run's main simulated thread, after the reader was plugged in and before the teardown.
    void (*body)(Rig& rig, Context& context);
};

const std::vector<Scenario>& scenarios();
const Scenario* find_scenario(std::string_view name);

}  // namespace sim::reliability
