// The command runner: Plug and Play, power, card slot, keypad and application commands, expectations and checks.
#include "runner.h"

#include <algorithm>

#include "driver/driver.h"
#include "names.h"
#include "reader/cards/card_factory.h"
#include "reader/packets.h"
#include "requests.h"

namespace sim::workbench {

namespace {

std::string card_description(const std::string& name) {
    for (const CardPreset& preset : card_presets()) {
        if (name == preset.name) return preset.what;
    }
    if (name.starts_with("iso:")) return "ISO card with ATR " + name.substr(4);
    return "";
}

ULONG read_ulong(const Bytes& bytes) {
    ULONG value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

Person keypad_person(const Command& c) {
    if (c.keys_none) return Person::never_types();
    Person person;
    for (const KeyPress& k : c.keys) {
        switch (k.key) {
            case KeyPress::Key::digit: person.strokes.push_back({k.after, Key::digit, k.digit}); break;
            case KeyPress::Key::backspace: person.press(Key::backspace, k.after); break;
            case KeyPress::Key::clear: person.press(Key::clear, k.after); break;
            case KeyPress::Key::validate: person.press(Key::validate, k.after); break;
            case KeyPress::Key::cancel: person.press(Key::cancel, k.after); break;
            case KeyPress::Key::reader_end: person.press(Key::reader_end, k.after); break;
        }
    }
    return person;
}

void Runner::event(Source source, const std::string& reader, const std::string& text, Tone tone) {
    Event e;
    e.source = source;
    e.reader = reader;
    e.text = text;
    e.tone = tone;
    recorder_.emit(e);
}

bool Runner::fail(const Command& c, const std::string& message) {
    failure_ = "line " + std::to_string(c.line) + ": " + c.display + "\n    " + message;
    Event e;
    e.source = Source::check;
    e.text = "FAILED: " + message;
    e.tone = Tone::bad;
    e.field("line", std::to_string(c.line)).text_field("command", c.display).text_field("failure", message);
    recorder_.emit(e);
    return false;
}

bool Runner::stopped(const Command& c) {
    return fail(c, "the simulated machine stopped (" + machine_.outcome() + "):\n" + machine_.report());
}

bool Runner::check(const Command& c, NTSTATUS status, const Bytes* reply) {
    if (!machine_.alive()) return stopped(c);
    if (!c.expect.any()) return true;
    if (c.expect.status && status != *c.expect.status) {
        return fail(c, "expected " + status_text(*c.expect.status) + ", saw " + status_text(status));
    }
    if (c.expect.reply) {
        if (!reply) return fail(c, "expected reply " + c.expect.reply->text() + ", saw none");
        if (!c.expect.reply->matches(*reply)) {
            std::string seen = reply->empty() ? "no reply" : hex(*reply);
            // Without a status in the expectation, a failed request would otherwise read as a wrong reply.
            if (!c.expect.status && status != STATUS_SUCCESS) seen = status_text(status) + " and " + seen;
            return fail(c, "expected reply " + c.expect.reply->text() + ", saw " + seen);
        }
    }
    std::string what;
    if (c.expect.status) what = status_name(*c.expect.status);
    if (c.expect.reply) what += (what.empty() ? "" : ", ") + c.expect.reply->text();
    Event e;
    e.source = Source::check;
    e.text = "ok: " + what;
    e.tone = Tone::good;
    e.field("line", std::to_string(c.line));
    recorder_.emit(e);
    return true;
}

void Runner::hint_unseen_card_event(ReaderUnit& unit, std::optional<ULONG> before) {
    if (!machine_.alive() || !unit.node || unit.node->state() != NodeState::started) return;
    if (machine_.card_state(unit) != before) return;
    event(Source::info, unit.name,
          "the driver has not seen this yet: it reads the reader's card events only while a card-tracking request "
          "(`track present` or `track absent`) or an exchange keeps its read posted, as the Windows smart card "
          "service always does; the card state stays " +
              (before ? card_state_name(*before) : std::string("as it was")) + " until then");
}

void Runner::note_driver_load(bool was_loaded) {
    const bool loaded = machine_.driver_loaded();
    if (was_loaded && !loaded) event(Source::kernel, "", "driver unloaded: no reader is left for it (no pool left behind)");
    if (!was_loaded && loaded) event(Source::kernel, "", "driver loaded again for the new device (DriverEntry ran)");
}

ReaderUnit* Runner::reader_for(const Command& c) {
    const std::string& name = c.reader.empty() ? current_ : c.reader;
    if (name.empty()) {
        fail(c, "no reader yet: `plug` one first");
        return nullptr;
    }
    ReaderUnit* unit = machine_.find_reader(name);
    if (!unit) fail(c, "no reader named \"" + name + "\"");
    return unit;
}

Handle* Runner::handle_for(const Command& c, ReaderUnit& unit, std::string* name) {
    NamedHandle* handle = nullptr;
    if (!c.via.empty()) {
        handle = unit.find_handle(c.via);
        if (!handle) {
            fail(c, "no handle named \"" + c.via + "\" on " + unit.name);
            return nullptr;
        }
    } else {
        handle = unit.latest_open();
        if (!handle) {
            // Convenience for short scenarios: the first request opens a handle, as `open` would.
            NTSTATUS status = machine_.open(unit, "", &handle);
            event(Source::app, unit.name, "no handle open: opening one -> " + status_text(status));
            if (!handle) {
                fail(c, "cannot open a handle on " + unit.name + ": " + status_text(status));
                return nullptr;
            }
            event(Source::app, unit.name, handle->name + " opened");
        }
    }
    *name = handle->name;
    return &handle->handle;
}

bool Runner::request(const Command& c, ULONG code, const Bytes& input, ULONG output_size) {
    ReaderUnit* unit = reader_for(c);
    if (!unit) return false;
    std::string handle_name;
    Handle* handle = handle_for(c, *unit, &handle_name);
    if (!handle) return false;
    if (handle->closed()) return fail(c, "handle " + handle_name + " is closed");

    std::vector<bool> secret = ioctl_input_secret(code, input);
    std::string text = handle_name + " " + ioctl_name(code) + ", in " + std::to_string(input.size()) + ", out " +
                       std::to_string(output_size);
    std::string what = describe_request(code, input);
    if (!what.empty()) {
        text += ": " + what;
    } else if (!input.empty()) {
        text += ": " + hex(input, &secret);
    }
    Event sent;
    sent.source = Source::app;
    sent.reader = unit->name;
    sent.text = text;
    sent.text_field("event", "request").text_field("handle", handle_name).text_field("ioctl", ioctl_name(code))
        .text_field("input", hex_compact(input, &secret)).field("output_size", std::to_string(output_size));
    recorder_.emit(sent);

    IoResult result = machine_.ioctl(*handle, code, input, output_size);
    if (!machine_.alive()) return stopped(c);
    if (code == IOCTL_SMARTCARD_SET_PROTOCOL && result.status == STATUS_SUCCESS && result.output.size() >= 4) {
        unit->protocol = read_ulong(result.output);
    }
    recorder_.checkpoint();
    recorder_.emit(request_result_event(unit->name, handle_name, code, input, result.status, result.bytes, result.output));
    Bytes payload = reply_payload(code, result.output);
    return check(c, result.status, &payload);
}

// The transcript line of a request sent under a name: which handle, which I/O control, how it was sent, and
// what it asks for (PIN digits masked).
void Runner::emit_named_request(const ReaderUnit& unit, const std::string& name, const std::string& handle_name,
                                ULONG code, const Bytes& input, const char* how) {
    std::vector<bool> secret = ioctl_input_secret(code, input);
    std::string text = "[" + name + "] " + handle_name + " " + ioctl_name(code) + ", " + how;
    std::string what = describe_request(code, input);
    if (!what.empty()) text += ": " + what;
    Event sent;
    sent.source = Source::app;
    sent.reader = unit.name;
    sent.text = text;
    sent.text_field("event", "request").text_field("request", name).text_field("handle", handle_name)
        .text_field("ioctl", ioctl_name(code)).text_field("input", hex_compact(input, &secret));
    recorder_.emit(sent);
}

// The reader and handle a request sent under `name` goes through; null, with the line failed, when either is
// missing or a request of that name is still pending.
Handle* Runner::named_request_handle(const Command& c, const std::string& name, ReaderUnit*& unit,
                                     std::string& handle_name) {
    unit = reader_for(c);
    if (!unit) return nullptr;
    if (WatchedRequest* old = recorder_.find_request(name); old && !old->done()) {
        fail(c, "request \"" + name + "\" is still pending; give the new one another name with `as`");
        return nullptr;
    }
    return handle_for(c, *unit, &handle_name);
}

bool Runner::request_async(const Command& c, ULONG code, const Bytes& input, ULONG output_size, const std::string& name) {
    ReaderUnit* unit = nullptr;
    std::string handle_name;
    Handle* handle = named_request_handle(c, name, unit, handle_name);
    if (!handle) return false;
    emit_named_request(*unit, name, handle_name, code, input, "overlapped");

    std::shared_ptr<PendingRequest> pending = machine_.ioctl_async(*handle, code, input, output_size);
    if (!machine_.alive()) return stopped(c);
    if (!pending) return fail(c, "the request could not be sent");
    event(Source::app, unit->name, "[" + name + "] dispatch returned " + status_name(pending->dispatch_status()));
    recorder_.watch({name, unit->name, handle_name, code, input, pending, false});
    recorder_.checkpoint();
    return check(c, pending->done() ? pending->status() : STATUS_PENDING, nullptr);
}

bool Runner::request_from_thread(const Command& c, ULONG code, const Bytes& input, ULONG output_size,
                                 const std::string& name) {
    ReaderUnit* unit = nullptr;
    std::string handle_name;
    Handle* handle = named_request_handle(c, name, unit, handle_name);
    if (!handle) return false;
    if (handle->closed()) return fail(c, "handle " + handle_name + " is closed");
    emit_named_request(*unit, name, handle_name, code, input, "from an application thread");

    // The thread serves nobody else, so it keeps no run going: the script goes on while the driver works on its
    // request, and every later line's run lets it go on too.
    auto sender = std::make_shared<SentFromThread>();
    Handle copy = *handle;
    machine_.kernel().spawn(
        "application thread: " + name,
        [sender, copy, code, input, output_size]() mutable {
            sender->request = copy.ioctl_async(code, input, output_size);
            sender->returned = true;
        },
        true);
    recorder_.watch({name, unit->name, handle_name, code, input, nullptr, false, sender});
    // Runs the new thread until it waits for something that takes time: the request is then on its way.
    machine_.run("workbench", [] {
        LARGE_INTEGER interval;
        interval.QuadPart = -1;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    });
    if (!machine_.alive()) return stopped(c);
    recorder_.checkpoint();
    WatchedRequest* w = recorder_.find_request(name);
    if (sender->returned && sender->request) {
        event(Source::app, unit->name, "[" + name + "] dispatch returned " + status_name(sender->request->dispatch_status()));
    } else {
        event(Source::app, unit->name, "[" + name + "] the driver is working on it in the sending thread");
    }
    return check(c, w && w->done() ? w->pending()->status() : STATUS_PENDING, nullptr);
}

bool Runner::wait_until(const std::function<bool()>& done, VirtualTime within) {
    const VirtualTime end = machine_.now() + within;
    machine_.run("workbench wait", [&] {
        while (!done() && machine_.now() < end) {
            machine_.delay(std::min(from_ms(1), end - machine_.now()));
            recorder_.checkpoint();
        }
    });
    return done();
}

bool Runner::fault(const Command& c) {
    Kernel& k = machine_.kernel();
    if (c.fault_off && c.fault_site < 0) {
        k.clear_faults();
        event(Source::kernel, "", "fault injection off everywhere");
        return true;
    }
    const auto site = static_cast<FaultSite>(c.fault_site);
    FaultPlan plan;
    std::string how = "no call fails";
    if (!c.fault_off) {
        plan.fail_nth = c.fault_nth;
        plan.fail_all_after_nth = c.fault_from_nth;
        plan.every_nth = c.fault_every;
        plan.per_million = c.fault_per_million;
        if (c.fault_nth) {
            how = c.fault_from_nth ? "call " + std::to_string(c.fault_nth) + " from here and every later one fails"
                                   : "call " + std::to_string(c.fault_nth) + " from here fails";
        } else if (c.fault_every) {
            how = "every " + std::to_string(c.fault_every) + "th call from here fails";
        } else {
            how = std::to_string(c.fault_per_million / 10'000.0).substr(0, 6) + "% of the calls fail (seeded)";
        }
    }
    k.set_fault(site, plan);
    event(Source::kernel, "", std::string("fault injection at ") + to_string(site) + ": " + how);
    return true;
}

bool Runner::reader_behaviour(const Command& c, ReaderUnit& unit) {
    Reader& r = *unit.reader;
    std::string what;
    bool settle = false;
    machine_.run("reader " + c.name, [&] {
        if (c.name == "delay") {
            r.set_answer_delay(c.duration);
            what = "answers leave " + duration_text(c.duration) + " after their request";
        } else if (c.name == "withhold") {
            r.withhold_answers(static_cast<int>(c.number));
            what = "the next " + std::to_string(c.number) + " answer(s) are never sent";
        } else if (c.name == "refuse-writes") {
            r.refuse_writes(true);
            what = "the OUT endpoint takes nothing";
        } else if (c.name == "take-writes") {
            r.refuse_writes(false);
            what = "the OUT endpoint takes writes again";
        } else if (c.name == "silent") {
            r.set_mode(Reader::Mode::scripted);
            what = "falls silent: sends only scripted packets";
        } else if (c.name == "normal") {
            r.set_mode(Reader::Mode::automatic);
            r.set_answer_delay(0);
            r.withhold_answers(0);
            r.refuse_writes(false);
            what = "answers by itself again";
        } else if (c.name == "reply") {
            r.queue_reply_to_write(c.input, c.duration);
            what = "scripted: " + hex(c.input) + " " + duration_text(c.duration) + " after the next write";
        } else if (c.name == "send") {
            if (c.duration) {
                r.queue_packet_after(c.duration, c.input);
            } else {
                r.queue_packet(c.input);
            }
            what = "sends " + hex(c.input) + (c.duration ? " after " + duration_text(c.duration) : "");
            settle = true;
        } else if (c.name == "event") {
            r.queue_packet(card_status_packet(c.number != 0));
            what = std::string("reports a card ") + (c.number ? "inserted" : "removed") + ", unasked";
            settle = true;
        }
    });
    if (!machine_.alive()) return stopped(c);
    event(Source::usb, unit.name, "reader " + what);
    if (settle) machine_.settle();
    return machine_.alive() || stopped(c);
}

bool Runner::expect_usb(const Command& c, ReaderUnit& unit) {
    const std::vector<TimedPacket>& out = unit.reader->written();
    const std::vector<TimedPacket>& in = unit.reader->sent();
    auto& [out_seen, in_seen] = usb_seen_[&unit];
    struct Crossing {
        VirtualTime time;
        bool out;
        const Packet* packet;
    };
    std::vector<Crossing> crossings;
    for (size_t i = out_seen; i < out.size(); ++i) crossings.push_back({out[i].time, true, &out[i].packet});
    for (size_t i = in_seen; i < in.size(); ++i) crossings.push_back({in[i].time, false, &in[i].packet});
    std::stable_sort(crossings.begin(), crossings.end(),
                     [](const Crossing& a, const Crossing& b) { return a.time < b.time; });
    auto listing = [&](size_t from) {
        std::string text;
        for (size_t i = from; i < crossings.size() && i < from + 8; ++i) {
            text += std::string("\n      ") + (crossings[i].out ? "OUT " : "IN  ") + hex(*crossings[i].packet);
        }
        if (crossings.size() > from + 8) text += "\n      ... " + std::to_string(crossings.size() - from - 8) + " more";
        return text;
    };
    if (c.name == "none") {
        out_seen = out.size();
        in_seen = in.size();
        if (!crossings.empty()) {
            return fail(c, "expected no reader traffic, saw " + std::to_string(crossings.size()) + " packet(s):" + listing(0));
        }
        event(Source::check, unit.name, "ok: no reader traffic", Tone::good);
        return true;
    }
    const bool want_out = c.name == "OUT";
    for (size_t i = 0; i < crossings.size(); ++i) {
        if (crossings[i].out != want_out || !c.pattern->matches(*crossings[i].packet)) continue;
        for (size_t j = 0; j <= i; ++j) (crossings[j].out ? out_seen : in_seen) += 1;
        event(Source::check, unit.name, "ok: " + c.name + " " + hex(*crossings[i].packet), Tone::good);
        return true;
    }
    return fail(c, "expected an " + c.name + " packet " + c.pattern->text() + ", saw " +
                       (crossings.empty() ? std::string("no packets") : std::to_string(crossings.size()) + " packet(s):" + listing(0)));
}

bool Runner::expect_books(const Command& c) {
    Kernel& k = machine_.kernel();
    size_t seen = 0;
    std::string what;
    if (c.verb == Verb::expect_pool) {
        std::map<std::string, size_t> per_tag;
        std::optional<uint64_t> number_tag = c.name.empty() ? std::nullopt : parse_number(c.name);
        for (const auto& [block, record] : k.live_pool()) {
            (void)block;
            per_tag[tag_chars(record.tag)]++;
            if (c.name.empty() || tag_chars(record.tag) == c.name || (number_tag && *number_tag == record.tag)) ++seen;
        }
        what = "pool blocks" + (c.name.empty() ? std::string() : " tagged " + c.name);
        if (seen != c.number) {
            std::string tags;
            for (const auto& [tag, count] : per_tag) tags += (tags.empty() ? "" : ", ") + tag + " " + std::to_string(count);
            return fail(c, "expected " + std::to_string(c.number) + " " + what + ", saw " + std::to_string(seen) +
                               " (per tag: " + (tags.empty() ? std::string("none") : tags) + ")");
        }
    } else if (c.verb == Verb::expect_irps) {
        seen = k.live_irps();
        what = "live IRPs";
    } else {
        std::vector<std::shared_ptr<PendingRequest>> outstanding = machine_.app.outstanding();
        seen = outstanding.size();
        what = "outstanding requests";
        if (seen != c.number) {
            std::string list;
            for (const auto& r : outstanding) list += "\n      " + r->describe();
            return fail(c, "expected " + std::to_string(c.number) + " " + what + ", saw " + std::to_string(seen) + list);
        }
    }
    if (seen != c.number) {
        return fail(c, "expected " + std::to_string(c.number) + " " + what + ", saw " + std::to_string(seen));
    }
    event(Source::check, "", "ok: " + std::to_string(seen) + " " + what, Tone::good);
    return true;
}

bool Runner::plug(const Command& c) {
    std::string name = c.reader;
    if (name.empty()) {
        for (int i = 0;; ++i) {
            name = "reader" + std::to_string(i);
            if (!machine_.find_reader(name)) break;
        }
    }
    if (ReaderUnit* existing = machine_.find_reader(name);
        existing && existing->node && existing->node->state() != NodeState::deleted) {
        return fail(c, "a reader named \"" + name + "\" is plugged in already");
    }
    event(Source::pnp, name, "arrives on the USB bus (device address " + std::to_string(machine_.readers().size() + 1) + ")");
    if (!machine_.driver_ever_loaded()) {
        NTSTATUS entry = machine_.load_driver();
        if (!machine_.alive()) return stopped(c);
        event(Source::kernel, "", "driver loaded: DriverEntry -> " + status_text(entry));
        if (!NT_SUCCESS(entry)) return fail(c, "the driver did not load: DriverEntry returned " + status_text(entry));
    }
    const bool was_loaded = machine_.driver_loaded();
    ReaderUnit* unit = &machine_.add_reader(ReaderSpec{name});
    NTSTATUS added = machine_.plug(*unit);
    if (!machine_.alive()) return stopped(c);
    note_driver_load(was_loaded);
    if (!unit->node) return fail(c, "the reader could not be plugged in");
    current_ = name;
    event(Source::pnp, name, "AddDevice -> " + status_text(added));
    NTSTATUS status = added;
    if (!c.no_start && NT_SUCCESS(added)) {
        status = machine_.start(*unit);
        if (!machine_.alive()) return stopped(c);
        event(Source::pnp, name, "IRP_MN_START_DEVICE -> " + status_text(status));
    }
    bool ok = check(c, status, nullptr);
    machine_.settle();
    return ok && (machine_.alive() || stopped(c));
}

bool Runner::pnp_step(const Command& c, ReaderUnit& unit) {
    const bool was_loaded = machine_.driver_loaded();
    NTSTATUS status = STATUS_PENDING;
    switch (c.verb) {
        case Verb::start:
            status = machine_.start(unit);
            event(Source::pnp, unit.name, "IRP_MN_START_DEVICE -> " + status_text(status));
            break;
        case Verb::stop:
            status = machine_.stop(unit);
            event(Source::pnp, unit.name, "query-stop and IRP_MN_STOP_DEVICE -> " + status_text(status));
            break;
        case Verb::query_remove:
            status = machine_.query_remove(unit);
            event(Source::pnp, unit.name, "query-remove, then cancel-remove -> " + status_text(status));
            break;
        case Verb::disable:
            status = machine_.disable(unit);
            event(Source::pnp, unit.name, "query-remove and IRP_MN_REMOVE_DEVICE -> " + status_text(status));
            break;
        case Verb::unplug: {
            bool removed = false;
            status = machine_.unplug(unit, &removed);
            event(Source::pnp, unit.name, "pulled out: IRP_MN_SURPRISE_REMOVAL -> " + status_text(status));
            if (removed) {
                event(Source::pnp, unit.name, "no handle open: IRP_MN_REMOVE_DEVICE sent, the device is gone");
            } else {
                event(Source::pnp, unit.name, "IRP_MN_REMOVE_DEVICE waits until the " +
                                                  std::to_string(unit.open_handles()) + " open handle(s) are closed");
            }
            break;
        }
        default:
            break;
    }
    if (!machine_.alive()) return stopped(c);
    note_driver_load(was_loaded);
    bool ok = check(c, status, nullptr);
    machine_.settle();
    return ok && (machine_.alive() || stopped(c));
}

bool Runner::keys(const Command& c, ReaderUnit& unit) {
    Person person = keypad_person(c);
    VirtualTime total = 0;
    for (const Keystroke& k : person.strokes) total += k.after;
    machine_.queue_person(unit, std::move(person));
    event(Source::keypad, unit.name,
          c.keys_none ? "the next PIN entry: nobody types"
                      : "the next PIN entry: " + std::to_string(c.keys.size()) + " keys over " + duration_text(total) +
                            " from the prompt");
    return true;
}

bool Runner::run(const Command& c) {
    failure_.clear();
    if (!machine_.alive()) return stopped(c);
    if (c.verb != Verb::note) {
        Event step;
        step.source = Source::step;
        step.text = "line " + std::to_string(c.line) + ": " + c.display;
        step.field("line", std::to_string(c.line)).text_field("command", c.display);
        recorder_.emit(step);
    }
    switch (c.verb) {
        case Verb::plug:
            return plug(c);
        case Verb::start:
        case Verb::stop:
        case Verb::disable:
        case Verb::query_remove:
        case Verb::unplug: {
            ReaderUnit* unit = reader_for(c);
            return unit && pnp_step(c, *unit);
        }
        case Verb::use: {
            if (!machine_.find_reader(c.reader)) return fail(c, "no reader named \"" + c.reader + "\"");
            current_ = c.reader;
            return true;
        }
        case Verb::sleep: {
            static const SYSTEM_POWER_STATE kStates[] = {PowerSystemWorking, PowerSystemSleeping1, PowerSystemSleeping2,
                                                         PowerSystemSleeping3, PowerSystemHibernate};
            if (machine_.asleep()) return fail(c, "the system is asleep already; `resume` first");
            size_t stacks = machine_.powered_stacks().size();
            NTSTATUS status = machine_.sleep(kStates[c.number]);
            if (!machine_.alive()) return stopped(c);
            event(Source::power, "", "system sleep to S" + std::to_string(c.number) + " (" + std::to_string(stacks) +
                                         " reader(s)) -> " + status_text(status));
            return check(c, status, nullptr);
        }
        case Verb::resume: {
            if (!machine_.asleep()) return fail(c, "the system is not asleep");
            NTSTATUS status = machine_.resume();
            if (!machine_.alive()) return stopped(c);
            event(Source::power, "", "system wakes up to S0 -> " + status_text(status));
            bool ok = check(c, status, nullptr);
            machine_.settle();
            return ok && (machine_.alive() || stopped(c));
        }
        case Verb::shutdown: {
            std::vector<NTSTATUS> statuses = machine_.shutdown();
            if (!machine_.alive()) return stopped(c);
            std::string text = "IRP_MJ_SHUTDOWN to " + std::to_string(statuses.size()) + " device(s)";
            for (NTSTATUS s : statuses) text += ", " + status_name(s);
            event(Source::power, "", text);
            return true;
        }
        case Verb::insert: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            std::unique_ptr<Card> card = make_card(c.name);
            if (!card) return fail(c, "no card named \"" + c.name + "\"; `cards` lists them, or use iso:ATR-HEX");
            std::string what = card_description(c.name);
            const std::optional<ULONG> before = machine_.card_state(*unit);
            machine_.insert(*unit, std::move(card));
            event(Source::card, unit->name, "card \"" + c.name + "\" inserted" + (what.empty() ? "" : ": " + what));
            machine_.settle();
            hint_unseen_card_event(*unit, before);
            return machine_.alive() || stopped(c);
        }
        case Verb::remove: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            if (!unit->reader->card_present()) {
                event(Source::card, unit->name, "the slot is empty already");
                return true;
            }
            const std::optional<ULONG> before = machine_.card_state(*unit);
            machine_.remove(*unit);
            event(Source::card, unit->name, "card removed from the slot");
            machine_.settle();
            hint_unseen_card_event(*unit, before);
            return machine_.alive() || stopped(c);
        }
        case Verb::keys: {
            ReaderUnit* unit = reader_for(c);
            return unit && keys(c, *unit);
        }
        case Verb::open: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            if (!c.name.empty() && unit->find_handle(c.name) && !unit->find_handle(c.name)->handle.closed()) {
                return fail(c, "a handle named \"" + c.name + "\" is open already");
            }
            NamedHandle* handle = nullptr;
            NTSTATUS status = machine_.open(*unit, c.name, &handle);
            if (!machine_.alive()) return stopped(c);
            event(Source::app, unit->name,
                  "open the smart card reader interface -> " + status_text(status) + (handle ? ": " + handle->name : ""));
            return check(c, status, nullptr);
        }
        case Verb::close: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            NamedHandle* handle = c.name.empty() ? unit->latest_open() : unit->find_handle(c.name);
            if (!handle) return fail(c, c.name.empty() ? "no open handle on " + unit->name : "no handle named \"" + c.name + "\"");
            if (handle->handle.closed()) return fail(c, "handle " + handle->name + " is closed already");
            const bool was_loaded = machine_.driver_loaded();
            bool removed = false;
            NTSTATUS status = machine_.close(*unit, *handle, &removed);
            if (!machine_.alive()) return stopped(c);
            event(Source::app, unit->name, handle->name + " closed: cleanup -> " + status_text(status));
            if (removed) event(Source::pnp, unit->name, "last handle closed: IRP_MN_REMOVE_DEVICE sent, the device is gone");
            note_driver_load(was_loaded);
            machine_.settle();
            return machine_.alive() || stopped(c);
        }
        case Verb::ioctl:
        case Verb::apdu:
        case Verb::reset:
        case Verb::power_down:
        case Verb::protocol:
        case Verb::attribute:
        case Verb::features:
        case Verb::version:
        case Verb::pin:
        case Verb::track: {
            // An `apdu` names the protocol its reader negotiated, as an application's transmit does.
            ReaderUnit* unit = c.verb == Verb::apdu ? reader_for(c) : nullptr;
            if (c.verb == Verb::apdu && !unit) return false;
            std::optional<AppRequest> r = app_request(c, unit ? unit->protocol : SCARD_PROTOCOL_T1);
            if (!r) return fail(c, "internal: no request for the command");
            // Tracking requests return from their dispatch routine at once; every other request `as NAME` goes
            // from a thread of its own, since the driver may work on it in the sending thread.
            if (c.verb == Verb::track) return request_async(c, r->code, r->input, r->output_size, c.async_name);
            if (!c.async_name.empty()) return request_from_thread(c, r->code, r->input, r->output_size, c.async_name);
            return request(c, r->code, r->input, r->output_size);
        }
        case Verb::await: {
            WatchedRequest* w = recorder_.find_request(c.name);
            if (!w) return fail(c, "no overlapped request named \"" + c.name + "\"");
            const bool reported_before = w->reported;
            if (!wait_until([w] { return w->done(); }, c.duration)) {
                if (!machine_.alive()) return stopped(c);
                return fail(c, "request \"" + c.name + "\" is still pending after " + duration_text(c.duration) +
                                   (w->pending() ? "" : " (its DeviceIoControl has not returned)"));
            }
            recorder_.report_completion(*w);
            PendingRequest& done = *w->pending();
            if (reported_before) {
                event(Source::app, w->reader, "[" + c.name + "] had completed at " + time_text(done.completed_at()) +
                                                  " ms with " + status_name(done.status()));
            }
            IoResult result = done.result();
            if (w->code == IOCTL_SMARTCARD_SET_PROTOCOL && result.status == STATUS_SUCCESS && result.output.size() >= 4) {
                if (ReaderUnit* unit = machine_.find_reader(w->reader)) unit->protocol = read_ulong(result.output);
            }
            Bytes payload = reply_payload(w->code, result.output);
            return check(c, result.status, &payload);
        }
        case Verb::cancel: {
            WatchedRequest* w = recorder_.find_request(c.name);
            if (!w) return fail(c, "no overlapped request named \"" + c.name + "\"");
            if (w->done()) {
                event(Source::app, w->reader, "[" + c.name + "] has completed already: nothing to cancel");
                return true;
            }
            std::shared_ptr<PendingRequest> target = w->request ? w->request : w->sender->request;
            if (!target) {
                // Its DeviceIoControl has not returned yet: CancelIoEx finds the IRP through the handle all the same.
                ReaderUnit* unit = machine_.find_reader(w->reader);
                NamedHandle* handle = unit ? unit->find_handle(w->handle) : nullptr;
                if (handle) {
                    for (const auto& r : handle->handle.outstanding()) {
                        if (r->io_control_code() == w->code) target = r;
                    }
                }
                if (!target) return fail(c, "request \"" + c.name + "\" has not reached the driver yet");
            }
            bool ran = machine_.cancel(*target);
            if (!machine_.alive()) return stopped(c);
            event(Source::app, w->reader, "[" + c.name + "] CancelIoEx: " + (ran ? "the cancel routine ran" : "no cancel routine was set"));
            machine_.settle();
            return machine_.alive() || stopped(c);
        }
        case Verb::expect_state: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            std::optional<ULONG> state = machine_.card_state(*unit);
            if (!state) return fail(c, unit->name + " has no driver device now, so no card state");
            if (*state != c.number) {
                return fail(c, "expected card state " + card_state_name(static_cast<ULONG>(c.number)) + ", saw " +
                                   card_state_name(*state));
            }
            event(Source::check, unit->name, "ok: card state " + card_state_name(*state), Tone::good);
            return true;
        }
        case Verb::expect_pending: {
            WatchedRequest* w = recorder_.find_request(c.name);
            if (!w) return fail(c, "no overlapped request named \"" + c.name + "\"");
            if (w->done()) {
                return fail(c, "expected \"" + c.name + "\" pending, saw it completed with " + status_text(w->pending()->status()));
            }
            event(Source::check, w->reader, "ok: [" + c.name + "] is pending", Tone::good);
            return true;
        }
        case Verb::expect_debug: {
            for (const DebugLine& line : machine_.kernel().debug_log()) {
                if (line.text.find(c.name) != std::string::npos) {
                    event(Source::check, "", "ok: the debug output has \"" + c.name + "\"", Tone::good);
                    return true;
                }
            }
            return fail(c, "the debug output has no \"" + c.name + "\" (" +
                               std::to_string(machine_.kernel().debug_log().size()) + " lines)");
        }
        case Verb::expect_device: {
            ReaderUnit* unit = reader_for(c);
            if (!unit) return false;
            std::string state = unit->node ? to_string(unit->node->state()) : "not plugged";
            std::replace(state.begin(), state.end(), ' ', '_');  // "surprise removed" as the scenario spells it
            if (state != c.name) return fail(c, "expected device state " + c.name + ", saw " + state);
            event(Source::check, unit->name, "ok: device " + state, Tone::good);
            return true;
        }
        case Verb::fail:
            return fault(c);
        case Verb::reader: {
            ReaderUnit* unit = reader_for(c);
            return unit && reader_behaviour(c, *unit);
        }
        case Verb::expect_usb: {
            ReaderUnit* unit = reader_for(c);
            return unit && expect_usb(c, *unit);
        }
        case Verb::expect_pool:
        case Verb::expect_irps:
        case Verb::expect_requests:
            return expect_books(c);
        case Verb::wait:
            machine_.wait(c.duration);
            return machine_.alive() || stopped(c);
        case Verb::note: {
            Event e;
            e.source = Source::note;
            e.text = c.name;
            recorder_.emit(e);
            return true;
        }
        case Verb::seed:
            event(Source::info, "", "`seed` only counts at the start of a scenario file; use --seed here");
            return true;
    }
    return fail(c, "internal: command not handled");
}

bool Runner::finish() {
    failure_.clear();
    if (!machine_.alive()) {
        failure_ = "the simulated machine stopped (" + machine_.outcome() + "):\n" + machine_.report();
        return false;
    }
    Event e;
    e.source = Source::note;
    e.text = "end of run: closing handles, removing readers";
    recorder_.emit(e);
    // The removal at the end is no part of what the scenario disturbs.
    machine_.kernel().clear_faults();
    const bool was_loaded = machine_.driver_loaded();
    std::vector<std::string> problems = machine_.teardown();
    if (!machine_.alive()) {
        failure_ = "the simulated machine stopped at the end of the run (" + machine_.outcome() + "):\n" + machine_.report();
        event(Source::kernel, "", failure_, Tone::bad);
        return false;
    }
    note_driver_load(was_loaded);
    for (const WatchedRequest& w : recorder_.watched()) {
        if (w.sender && !w.sender->returned) {
            problems.push_back("request \"" + w.name + "\": its DeviceIoControl never returned (the driver kept the "
                               "sending thread)");
        }
    }
    if (!problems.empty()) {
        for (const std::string& p : problems) failure_ += (failure_.empty() ? "" : "\n") + p;
        event(Source::check, "", "FAILED at the end of the run: " + failure_, Tone::bad);
        return false;
    }
    return true;
}

std::string Runner::status_report() const {
    std::string out = "time " + time_text(machine_.now()) + " ms, seed " + std::to_string(machine_.seed()) +
                      ", driver " + (machine_.driver_loaded() ? "loaded" : "not loaded") +
                      (machine_.asleep() ? ", system asleep" : "") + "\n";
    if (machine_.readers().empty()) out += "no reader plugged in yet\n";
    for (const auto& unit : machine_.readers()) {
        out += (unit->name == current_ ? "* " : "  ") + unit->name + ": device " +
               (unit->node ? to_string(unit->node->state()) : "not plugged");
        if (std::optional<ULONG> state = machine_.card_state(*unit)) out += ", card state " + card_state_name(*state);
        out += unit->reader->card_present() ? ", card in the slot" : ", slot empty";
        for (const NamedHandle& h : unit->handles) {
            if (!h.handle.closed()) out += ", handle " + h.name;
        }
        out += "\n";
    }
    return out;
}

}  // namespace sim::workbench
