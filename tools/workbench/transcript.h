// The transcript of a run on the virtual timeline: events from every layer, written as readable text (coloured on a
// terminal) or as JSON lines. Producers mask PIN material before an event is made; the transcript prints what it is
// given.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "kernel.h"

namespace sim::workbench {

// Where an event comes from; the text form shows it as a column.
enum class Source {
    step,    // a scenario line being run
    note,    // a heading from the scenario
    app,     // what the application sent and got
    pnp,     // Plug and Play
    power,   // system power
    usb,     // URBs and the reader's packets
    card,    // card slot and card state
    keypad,  // the person at the keypad
    debug,   // the driver's debug output
    kernel,  // driver load and unload, verifier reports
    check,   // expectations that held or failed
    info,    // the workbench's own remarks
};
const char* to_string(Source source);

enum class Tone { plain, good, bad, dim };

struct Event {
    VirtualTime time = 0;
    Source source = Source::info;
    std::string reader;  // the reader it concerns, if any
    std::string text;    // one line for people
    Tone tone = Tone::plain;
    int detail = 0;      // 0: always shown; 1: shown with --verbose
    // For machines: name and value, the value already JSON (a number, true/false, or a quoted string).
    std::vector<std::pair<std::string, std::string>> fields;

    Event& field(std::string name, std::string json_value) {
        fields.emplace_back(std::move(name), std::move(json_value));
        return *this;
    }
    Event& text_field(std::string name, const std::string& value);
};

class TranscriptSink {
   public:
    virtual ~TranscriptSink() = default;
    virtual void write(const Event& event) = 0;
};

// "   12.345 ms  usb     reader0  ..." lines; colour by source and tone when asked.
class TextSink : public TranscriptSink {
   public:
    TextSink(std::FILE* out, bool colour, int detail) : out_(out), colour_(colour), detail_(detail) {}
    void write(const Event& event) override;
    static std::string format(const Event& event, bool colour);

   private:
    std::FILE* out_;
    bool colour_;
    int detail_;
};

// One JSON object per line: {"t_ms":12.345,"source":"usb","reader":"reader0","text":"...", ...fields}.
class JsonSink : public TranscriptSink {
   public:
    explicit JsonSink(std::FILE* out) : out_(out) {}
    void write(const Event& event) override;
    static std::string format(const Event& event);

   private:
    std::FILE* out_;
};

// Keeps every event in memory (for tests and for the end-of-run summary).
class MemorySink : public TranscriptSink {
   public:
    void write(const Event& event) override { events.push_back(event); }
    std::vector<Event> events;
};

// Holds events for another sink until told to pass them on or drop them: with many runs (--repeat) only a
// failing run's transcript is worth printing.
class HoldingSink : public TranscriptSink {
   public:
    explicit HoldingSink(std::shared_ptr<TranscriptSink> inner) : inner_(std::move(inner)) {}
    void write(const Event& event) override { held_.push_back(event); }
    void release() {
        for (const Event& event : held_) inner_->write(event);
        held_.clear();
    }
    void drop() { held_.clear(); }

   private:
    std::shared_ptr<TranscriptSink> inner_;
    std::vector<Event> held_;
};

class Transcript {
   public:
    void add_sink(std::shared_ptr<TranscriptSink> sink) { sinks_.push_back(std::move(sink)); }
    void emit(const Event& event);
    size_t count() const { return count_; }

   private:
    std::vector<std::shared_ptr<TranscriptSink>> sinks_;
    size_t count_ = 0;
};

// Whether to colour: `always`, `never`, or `auto` (a terminal, TERM not dumb, NO_COLOR unset).
bool colour_wanted(const std::string& mode, std::FILE* out);

}  // namespace sim::workbench
