// The interactive session: reading lines, session commands (help, history, !N, lists, status, run, quit) and the
// hand-over of scenario commands to the runner.
#include "session.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <unistd.h>

#include "names.h"
#include "reader/cards/card_factory.h"
#include "scenario.h"

#ifdef WORKBENCH_HAVE_EDITLINE
#include <editline/readline.h>
#endif

namespace sim::workbench {

std::string cards_text() {
    std::string out = "Cards for `insert` (or iso:ATR-HEX for an ISO card with that ATR):\n";
    for (const CardPreset& preset : card_presets()) {
        char line[160];
        std::snprintf(line, sizeof line, "  %-14s %s\n", preset.name, preset.what);
        out += line;
    }
    out += "The ISO cards hold a PIN \"1234\" (VERIFY 00 20 00 01 with the ASCII digits, FF padding), three tries.\n";
    return out;
}

std::string codes_text() {
    std::string out = "I/O control codes for `ioctl` (the part after IOCTL_SMARTCARD_, IOCTL_FEATURE_ or CM_IOCTL_ will do):\n";
    for (const IoctlInfo& info : ioctl_table()) {
        char line[200];
        std::snprintf(line, sizeof line, "  0x%06X  %-34s %s\n", static_cast<unsigned>(info.code), info.name, info.what);
        out += line;
    }
    return out;
}

std::string attributes_text() {
    std::string out = "Attributes for `attribute`:\n";
    for (const AttributeName& a : attribute_names()) {
        char line[120];
        std::snprintf(line, sizeof line, "  %-22s 0x%08X\n", a.name, static_cast<unsigned>(a.tag));
        out += line;
    }
    return out;
}

std::string session_help_text() {
    return help_text() +
           "\nIn this session also: help VERB, history, !N (run history entry N again), !!, status, cards, codes,\n"
           "attributes, run FILE (a scenario file's commands, here), quit. Virtual time stands still while you type.\n";
}

// ---- LineSource ----------------------------------------------------------------------------------------------------

LineSource::LineSource(std::FILE* in) : in_(in), interactive_(isatty(fileno(in)) != 0) {}

LineSource::~LineSource() = default;

bool LineSource::read(const std::string& prompt, std::string& line) {
#ifdef WORKBENCH_HAVE_EDITLINE
    if (interactive_ && in_ == stdin) {
        char* text = readline(prompt.c_str());
        if (!text) return false;
        line = text;
        std::free(text);
        return true;
    }
#endif
    if (interactive_) {
        std::fputs(prompt.c_str(), stdout);
        std::fflush(stdout);
    }
    line.clear();
    int c;
    while ((c = std::fgetc(in_)) != EOF && c != '\n') line += static_cast<char>(c);
    return !(c == EOF && line.empty());
}

void LineSource::remember(const std::string& line) {
#ifdef WORKBENCH_HAVE_EDITLINE
    if (interactive_) add_history(line.c_str());
#else
    (void)line;
#endif
}

// ---- Session -------------------------------------------------------------------------------------------------------

bool Session::run(LineSource& input) {
    if (input.interactive()) {
        std::fprintf(out_, "Tavelo Q-ward workbench, interactive (seed %llu). `help` lists the commands; try:\n"
                           "  plug, insert iso, reset, apdu 00 A4 04 00 08 F0 54 41 56 45 4C 4F 01, status, quit\n",
                     static_cast<unsigned long long>(machine_.seed()));
    }
    std::string line;
    while (!quit_) {
        std::string prompt = "qward " + time_text(machine_.now()) + "ms> ";
        if (!input.read(prompt, line)) break;
        std::string trimmed = line;
        while (!trimmed.empty() && (trimmed.back() == ' ' || trimmed.back() == '\r')) trimmed.pop_back();
        if (trimmed.empty()) continue;
        if (trimmed[0] == '!') {
            size_t index = 0;
            if (trimmed == "!!") {
                index = typed_.size();
            } else if (auto n = parse_number(trimmed.substr(1))) {
                index = static_cast<size_t>(*n);
            }
            if (index == 0 || index > typed_.size()) {
                std::fprintf(out_, "no history entry %s; `history` lists them\n", trimmed.c_str());
                continue;
            }
            trimmed = typed_[index - 1];
            LineResult echo = parse_line(trimmed, 0);
            std::fprintf(out_, "%s\n", echo.command ? echo.command->display.c_str() : trimmed.c_str());
        }
        input.remember(trimmed);
        handle(trimmed);
    }
    if (!machine_.alive()) return false;
    return !(failed_ && !input.interactive());
}

void Session::handle(const std::string& line) {
    Tokens tokens = tokenize(line);
    if (!tokens.words.empty() && session_command(tokens.words, line)) return;
    LineResult parsed = parse_line(line, ++line_number_);
    if (parsed.error) {
        std::fprintf(out_, "%s\n", parsed.error->message.c_str());
        failed_ = true;
        return;
    }
    if (!parsed.command) return;
    typed_.push_back(line);
    history_.push_back(parsed.command->display);
    if (!runner_.run(*parsed.command)) {
        failed_ = true;
        if (!machine_.alive()) {
            std::fprintf(out_, "The simulated machine has stopped; `quit` ends the session (replay it with --seed %llu "
                               "and the same commands in a file).\n",
                         static_cast<unsigned long long>(machine_.seed()));
        }
    }
}

bool Session::session_command(const std::vector<std::string>& words, const std::string& line) {
    const std::string verb = lower(words[0]);
    if (verb == "help" || verb == "?") {
        std::fputs(words.size() > 1 ? help_text(lower(words[1])).c_str() : session_help_text().c_str(), out_);
    } else if (verb == "history") {
        for (size_t i = 0; i < history_.size(); ++i) std::fprintf(out_, "%4zu  %s\n", i + 1, history_[i].c_str());
    } else if (verb == "status") {
        std::fputs(runner_.status_report().c_str(), out_);
    } else if (verb == "cards") {
        std::fputs(cards_text().c_str(), out_);
    } else if (verb == "codes") {
        std::fputs(codes_text().c_str(), out_);
    } else if (verb == "attributes") {
        std::fputs(attributes_text().c_str(), out_);
    } else if (verb == "quit" || verb == "exit") {
        quit_ = true;
    } else if (verb == "run" && words.size() == 2) {
        typed_.push_back(line);
        history_.push_back(line);
        run_file(words[1]);
    } else {
        return false;
    }
    return true;
}

void Session::run_file(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        std::fprintf(out_, "cannot read %s\n", path.c_str());
        return;
    }
    std::stringstream text;
    text << file.rdbuf();
    Scenario scenario = parse_scenario(text.str());
    for (const ParseError& error : scenario.errors) std::fprintf(out_, "%s:%d: %s\n", path.c_str(), error.line, error.message.c_str());
    if (!scenario.errors.empty()) return;
    for (const Command& command : scenario.commands) {
        if (!runner_.run(command)) {
            std::fprintf(out_, "%s: stopped at %s\n", path.c_str(), runner_.failure().c_str());
            failed_ = true;
            return;
        }
    }
}

}  // namespace sim::workbench
