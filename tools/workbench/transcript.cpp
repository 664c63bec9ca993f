// Transcript sinks: the text form with its columns and colours, and the JSON-lines form.
#include "transcript.h"

#include <cstdlib>
#include <unistd.h>

#include "text.h"

namespace sim::workbench {

const char* to_string(Source source) {
    switch (source) {
        case Source::step: return "step";
        case Source::note: return "note";
        case Source::app: return "app";
        case Source::pnp: return "pnp";
        case Source::power: return "power";
        case Source::usb: return "usb";
        case Source::card: return "card";
        case Source::keypad: return "keypad";
        case Source::debug: return "debug";
        case Source::kernel: return "kernel";
        case Source::check: return "check";
        case Source::info: return "info";
    }
    return "?";
}

Event& Event::text_field(std::string name, const std::string& value) {
    return field(std::move(name), json_string(value));
}

namespace {

const char* colour_of(const Event& event) {
    switch (event.tone) {
        case Tone::good: return "\x1b[32m";
        case Tone::bad: return "\x1b[1;31m";
        case Tone::dim: return "\x1b[2m";
        case Tone::plain: break;
    }
    switch (event.source) {
        case Source::step: return "\x1b[1m";
        case Source::note: return "\x1b[1;36m";
        case Source::app: return "\x1b[34m";
        case Source::pnp:
        case Source::power: return "\x1b[35m";
        case Source::usb: return "";
        case Source::card: return "\x1b[33m";
        case Source::keypad: return "\x1b[36m";
        case Source::debug: return "\x1b[2;37m";
        case Source::kernel: return "\x1b[35m";
        case Source::check: return "\x1b[32m";
        case Source::info: return "\x1b[2m";
    }
    return "";
}

}  // namespace

std::string TextSink::format(const Event& event, bool colour) {
    std::string line;
    if (event.source == Source::note) {
        line = "\n== " + event.text + " ==";
    } else {
        char stamp[48];
        std::snprintf(stamp, sizeof stamp, "%12s ms  %-6s ", time_text(event.time).c_str(), to_string(event.source));
        line = stamp;
        if (!event.reader.empty()) line += event.reader + "  ";
        line += event.text;
    }
    if (!colour) return line;
    const char* code = colour_of(event);
    if (!*code) return line;
    return std::string(code) + line + "\x1b[0m";
}

void TextSink::write(const Event& event) {
    if (event.detail > detail_) return;
    std::fprintf(out_, "%s\n", format(event, colour_).c_str());
    std::fflush(out_);
}

std::string JsonSink::format(const Event& event) {
    std::string line = "{\"t_ms\":" + time_text(event.time) + ",\"source\":" + json_string(to_string(event.source));
    if (!event.reader.empty()) line += ",\"reader\":" + json_string(event.reader);
    line += ",\"text\":" + json_string(event.text);
    if (event.tone == Tone::bad) line += ",\"failure\":true";
    if (event.detail) line += ",\"detail\":" + std::to_string(event.detail);
    for (const auto& [name, value] : event.fields) line += "," + json_string(name) + ":" + value;
    line += "}";
    return line;
}

void JsonSink::write(const Event& event) {
    std::fprintf(out_, "%s\n", format(event).c_str());
    std::fflush(out_);
}

void Transcript::emit(const Event& event) {
    ++count_;
    for (auto& sink : sinks_) sink->write(event);
}

bool colour_wanted(const std::string& mode, std::FILE* out) {
    if (mode == "always") return true;
    if (mode == "never") return false;
    if (std::getenv("NO_COLOR")) return false;
    const char* term = std::getenv("TERM");
    if (!term || std::string(term) == "dumb") return false;
    return isatty(fileno(out)) != 0;
}

}  // namespace sim::workbench
