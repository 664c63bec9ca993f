// The interactive session: the scenario commands typed one at a time, with help, history, lists of cards, codes
// and attributes, and a status view. Line editing comes from libedit when the build found it.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "runner.h"

namespace sim::workbench {

// Lists printed by the session's commands and by the tool's --list options.
std::string cards_text();
std::string codes_text();
std::string attributes_text();
std::string session_help_text();

// Reads lines from a terminal (with editing when available) or from any stream (no prompt then).
class LineSource {
   public:
    explicit LineSource(std::FILE* in);
    ~LineSource();
    // False at the end of the input.
    bool read(const std::string& prompt, std::string& line);
    void remember(const std::string& line);  // for the terminal's own history (arrow keys)
    bool interactive() const { return interactive_; }

   private:
    std::FILE* in_;
    bool interactive_;
};

class Session {
   public:
    Session(Runner& runner, Machine& machine, std::FILE* out) : runner_(runner), machine_(machine), out_(out) {}
    // Runs until `quit` or the end of the input; false when a command failed and the input was not a terminal
    // (so that a piped session reports failure through the exit status).
    bool run(LineSource& input);

   private:
    // One typed line: a session command or a scenario command.
    void handle(const std::string& line);
    bool session_command(const std::vector<std::string>& words, const std::string& line);
    void run_file(const std::string& path);

    Runner& runner_;
    Machine& machine_;
    std::FILE* out_;
    std::vector<std::string> history_;  // as shown: PIN digits masked
    std::vector<std::string> typed_;    // as typed, for !N
    bool quit_ = false;
    bool failed_ = false;
    int line_number_ = 0;
};

}  // namespace sim::workbench
