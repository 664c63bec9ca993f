// Scenario files (.qws, the workbench's language) as reliability scenarios: each line is carried out on the run's
// machine inside the scenario body, so that seeds, fault sweeps, unplug and card-pull sweeps, the outside checkers
// and the recovery check apply to any file. A line's `expect` is its prediction for an undisturbed run; what a
// finding names carries the file and the line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "scenarios.h"

namespace sim::reliability {

// The scenario of a file, by its path (read and parsed once, then kept); null with `error` set when the file cannot
// be read, does not parse, or uses what a reliability run cannot do (a second reader, `use`, `disable`).
const Scenario* file_scenario(std::string_view path, std::string* error = nullptr);
// The .qws files of a folder, sorted by name.
std::vector<std::string> scenario_files(const std::string& folder);
// Makes find_scenario() load a name ending in .qws as a file scenario.
void enable_file_scenarios();

}  // namespace sim::reliability
