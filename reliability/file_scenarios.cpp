// Scenario files on the reliability rig: the workbench's parser, each command carried out with the rig's machine from
// inside the scenario body, each `expect` turned into a prediction or a check of the undisturbed run.
#include "file_scenarios.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "reader/cards/card_factory.h"
#include "reader/packets.h"
#include "tools/workbench/names.h"
#include "tools/workbench/requests.h"
#include "tools/workbench/runner.h"
#include "tools/workbench/scenario.h"
#include "tools/workbench/text.h"

namespace sim::reliability {

namespace wb = sim::workbench;

namespace {

// A request the file named with `as NAME` (or a tracking request): sent from a thread of its own unless its dispatch
// routine returns at once.
struct Named {
    struct State {
        std::shared_ptr<PendingRequest> request;
        bool returned = false;
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    ULONG code = 0;
    std::string handle;
};

std::string state_word(NodeState state) {
    std::string word = to_string(state);
    std::replace(word.begin(), word.end(), ' ', '_');
    return word;
}

// One run of a file's commands on the rig.
class Player {
   public:
    Player(const std::string& file, const std::vector<wb::Command>& commands, Rig& rig, Context& context)
        : file_(file), commands_(commands), rig_(rig), c_(context) {}

    void play() {
        play_range(0, commands_.size());
        if (!commands_.empty()) quiet_check(commands_.back());
        // A request the file never awaited has no prediction: its outcome is left open.
        for (auto& [name, n] : requests_) {
            (void)name;
            if (n.state->request) c_.leave_open(n.state->request);
        }
    }

   private:
    std::string step(const wb::Command& c) const { return file_ + ":" + std::to_string(c.line) + ": " + c.display; }

    void play_range(size_t from, size_t to) {
        for (size_t i = from; i < to; ++i) {
            const wb::Command& c = commands_[i];
            if (c.verb == wb::Verb::sleep) {
                // The lines up to the matching `resume` happen while the machine sleeps.
                size_t end = i + 1;
                while (end < to && commands_[end].verb != wb::Verb::resume) ++end;
                static const SYSTEM_POWER_STATE kStates[] = {PowerSystemWorking, PowerSystemSleeping1,
                                                             PowerSystemSleeping2, PowerSystemSleeping3,
                                                             PowerSystemHibernate};
                NTSTATUS status = rig_.sleep_and_wake(kStates[c.number], [&] {
                    asleep_ = true;
                    play_range(i + 1, end);
                    asleep_ = false;
                });
                check_status(c, status);
                if (end < to) check_status(commands_[end], status);
                i = end;
                continue;
            }
            run(c);
        }
    }

    // The remove lock and the I/O count at rest at the end of the file, once nothing it sent is outstanding (after
    // a line in the middle, a transition's own work may still be under way).
    void quiet_check(const wb::Command& c) {
        // While asleep the power transition holds the device's turn, and it is no quiet moment.
        if (asleep_ || !rig_.app.outstanding().empty()) return;
        for (const auto& [name, n] : requests_) {
            (void)name;
            if (!n.state->returned) return;  // a thread of the file's still on its way into the driver
        }
        switch (c.verb) {
            case wb::Verb::note:
            case wb::Verb::wait:
            case wb::Verb::expect_state:
            case wb::Verb::expect_pending:
            case wb::Verb::expect_debug:
            case wb::Verb::expect_device:
            case wb::Verb::expect_usb:
            case wb::Verb::expect_pool:
            case wb::Verb::expect_irps:
            case wb::Verb::expect_requests:
                return;
            default:
                rig_.check_quiet(step(c));
        }
    }

    void check_status(const wb::Command& c, NTSTATUS status) {
        if (c.expect.status) {
            c_.expect(status == *c.expect.status,
                      step(c) + ": expected " + status_name(*c.expect.status) + ", saw " + status_name(status));
        }
    }

    Predicted prediction(const wb::Command& c, ULONG code) {
        Predicted p;
        if (c.expect.status) p.status = *c.expect.status;
        if (c.expect.reply) {
            wb::BytePattern pattern = *c.expect.reply;
            p.reply_holds = [pattern, code](const std::vector<uint8_t>& reply) {
                return pattern.matches(wb::reply_payload(code, reply));
            };
            p.reply_text = "a reply matching " + pattern.text();
        }
        return p;
    }

    void judge(const wb::Command& c, const std::shared_ptr<PendingRequest>& request, ULONG code) {
        if (!request) {
            if (c.expect.any()) c_.expect(false, step(c) + ": the request could not be sent (no open handle)");
            return;
        }
        if (c.expect.any()) {
            c_.expect_result(request, prediction(c, code), step(c));
        } else {
            c_.leave_open(request);
        }
    }

    Handle* handle(const wb::Command& c) {
        if (!c.via.empty()) {
            auto found = handles_.find(c.via);
            if (found == handles_.end()) return nullptr;
            return &found->second;
        }
        for (auto it = order_.rbegin(); it != order_.rend(); ++it) {
            Handle& h = handles_[*it];
            if (!h.closed()) return &h;
        }
        // The first request opens a handle, as the workbench does.
        Handle opened = rig_.open(step(c));
        if (!opened.valid()) return nullptr;
        std::string name = "h" + std::to_string(++opened_);
        handles_[name] = opened;
        order_.push_back(name);
        return &handles_[name];
    }

    void request(const wb::Command& c) {
        std::optional<wb::AppRequest> r = wb::app_request(c, protocol_);
        if (!r) return;
        Handle* h = handle(c);
        if (!h || h->closed()) {
            if (c.expect.any()) c_.expect(false, step(c) + ": no open handle to send it through");
            return;
        }
        Named named;
        named.code = r->code;
        if (c.verb == wb::Verb::track) {
            named.state->request = rig_.ioctl_async(*h, r->code, r->input, r->output_size, step(c));
            named.state->returned = true;
            if (named.state->request) c_.leave_open(named.state->request);
            requests_[c.async_name] = named;
            return;
        }
        if (!c.async_name.empty()) {
            // Its own application thread: the driver may serve it in the sending thread.
            Handle copy = *h;
            auto state = named.state;
            Rig* rig = &rig_;
            const std::string what = step(c);
            rig_.k.spawn("application thread: " + what, [rig, copy, r, state, what]() mutable {
                state->request = rig->ioctl_async(copy, r->code, r->input, r->output_size, what);
                state->returned = true;
            });
            requests_[c.async_name] = named;
            // As in the workbench: the new thread runs until it waits for something that takes time, so the request
            // is on its way before the next line.
            LARGE_INTEGER interval;
            interval.QuadPart = -1;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
            return;
        }
        auto request = rig_.ioctl_async(*h, r->code, r->input, r->output_size, step(c));
        rig_.wait(request);
        if (request && r->code == IOCTL_SMARTCARD_SET_PROTOCOL && request->done() &&
            request->status() == STATUS_SUCCESS && request->output().size() >= 4) {
            protocol_ = request->output()[0];
        }
        judge(c, request, r->code);
    }

    // Waits until the named request's DeviceIoControl has returned and the request has ended, at most `within`.
    bool wait_named(Named& n, VirtualTime within) {
        const VirtualTime end = rig_.k.now() + within;
        int64_t pause = 1;
        while (!n.state->returned && rig_.k.now() < end) {
            rig_.delay_ms(pause);
            pause = std::min<int64_t>(pause * 2, 1'000);
        }
        if (!n.state->returned || !n.state->request) return n.state->returned;
        const VirtualTime left = end > rig_.k.now() ? end - rig_.k.now() : 0;
        return n.state->request->wait(left);
    }

    void run(const wb::Command& c) {
        switch (c.verb) {
            case wb::Verb::plug:
                // The rig plugged the reader in before the body (AddDevice).
                if (!c.no_start) check_status(c, rig_.start());
                return;
            case wb::Verb::start:
                check_status(c, rig_.start());
                return;
            case wb::Verb::stop:
                check_status(c, rig_.stop());
                return;
            case wb::Verb::unplug:
                check_status(c, rig_.surprise_removal());
                return;
            case wb::Verb::query_remove:
                check_status(c, rig_.query_remove_then_cancel());
                return;
            case wb::Verb::disable:
                // The orderly removal: the file's handles are closed, then the device is removed.
                rig_.teardown();
                c_.expect(rig_.removal_finished(), step(c) + ": the removal did not finish");
                return;
            case wb::Verb::resume:
                return;  // without a `sleep` before it: nothing to wake
            case wb::Verb::shutdown:
                rig_.pnp.shutdown();
                return;
            case wb::Verb::insert:
                rig_.insert_card(std::shared_ptr<Card>(make_card(c.name)));
                return;
            case wb::Verb::remove:
                rig_.remove_card();
                return;
            case wb::Verb::keys:
                rig_.active_pinpad().keypad->queue_person(wb::keypad_person(c));
                return;
            case wb::Verb::open: {
                Handle h = rig_.open(step(c));
                check_status(c, h.valid() ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE);
                if (!h.valid()) return;
                std::string name = c.name.empty() ? "h" + std::to_string(opened_ + 1) : c.name;
                ++opened_;
                handles_[name] = h;
                order_.push_back(name);
                return;
            }
            case wb::Verb::close: {
                std::string name = c.name;
                if (name.empty()) {
                    for (auto it = order_.rbegin(); it != order_.rend() && name.empty(); ++it) {
                        if (!handles_[*it].closed()) name = *it;
                    }
                }
                auto found = handles_.find(name);
                if (found != handles_.end()) rig_.close(found->second);
                return;
            }
            case wb::Verb::ioctl:
            case wb::Verb::apdu:
            case wb::Verb::reset:
            case wb::Verb::power_down:
            case wb::Verb::protocol:
            case wb::Verb::attribute:
            case wb::Verb::features:
            case wb::Verb::version:
            case wb::Verb::pin:
            case wb::Verb::track:
                request(c);
                return;
            case wb::Verb::await: {
                auto found = requests_.find(c.name);
                if (found == requests_.end()) {
                    c_.expect(false, step(c) + ": no request named " + c.name);
                    return;
                }
                Named& n = found->second;
                // `within` bounds the wait in an undisturbed run; a disturbed one waits as long as any request may.
                wait_named(n, c_.undisturbed() ? c.duration : kRequestLimit);
                if (!n.state->returned) {
                    c_.expect(false, step(c) + ": its DeviceIoControl has not returned");
                    return;
                }
                if (n.state->request && !n.state->request->done() && c_.undisturbed()) {
                    c_.expect(false, step(c) + ": still pending after " + wb::duration_text(c.duration));
                    c_.leave_open(n.state->request);
                    return;
                }
                judge(c, n.state->request, n.code);
                return;
            }
            case wb::Verb::cancel: {
                auto found = requests_.find(c.name);
                if (found == requests_.end()) return;
                std::shared_ptr<PendingRequest> target = found->second.state->request;
                if (!target) {
                    // Still in its dispatch routine: CancelIoEx finds the IRP through the handle.
                    for (auto& [name, h] : handles_) {
                        (void)name;
                        for (const auto& r : h.outstanding()) {
                            if (r->io_control_code() == found->second.code) target = r;
                        }
                    }
                }
                if (target) target->cancel();
                return;
            }
            case wb::Verb::expect_state: {
                PDEVICE_EXTENSION extension = rig_.device_extension();
                if (!extension) {
                    c_.expect(false, step(c) + ": no driver device, so no card state");
                    return;
                }
                const ULONG state = extension->SmartcardExtension.ReaderCapabilities.CurrentState;
                c_.expect(state == c.number, step(c) + ": expected " + card_state_name(static_cast<ULONG>(c.number)) +
                                                 ", saw " + card_state_name(state));
                return;
            }
            case wb::Verb::expect_pending: {
                auto found = requests_.find(c.name);
                const bool pending = found != requests_.end() &&
                                     (!found->second.state->request || !found->second.state->request->done());
                c_.expect(pending, step(c) + ": expected it pending, it has ended");
                return;
            }
            case wb::Verb::expect_debug: {
                bool seen = false;
                for (const DebugLine& line : rig_.k.debug_log()) seen |= line.text.find(c.name) != std::string::npos;
                c_.expect(seen, step(c) + ": not in the debug output");
                return;
            }
            case wb::Verb::expect_device: {
                const std::string state = rig_.node ? state_word(rig_.node->state()) : "not plugged";
                c_.expect(state == c.name, step(c) + ": saw " + state);
                return;
            }
            case wb::Verb::expect_usb:
                expect_usb(c);
                return;
            case wb::Verb::expect_pool: {
                size_t seen = 0;
                std::optional<uint64_t> number_tag = c.name.empty() ? std::nullopt : wb::parse_number(c.name);
                for (const auto& [block, record] : rig_.k.live_pool()) {
                    (void)block;
                    seen += c.name.empty() || wb::tag_chars(record.tag) == c.name || (number_tag && *number_tag == record.tag);
                }
                c_.expect(seen == c.number, step(c) + ": saw " + std::to_string(seen) + " pool blocks");
                return;
            }
            case wb::Verb::expect_irps:
                c_.expect(rig_.k.live_irps() == c.number, step(c) + ": saw " + std::to_string(rig_.k.live_irps()) + " IRPs");
                return;
            case wb::Verb::expect_requests:
                c_.expect(rig_.app.outstanding().size() == c.number,
                          step(c) + ": saw " + std::to_string(rig_.app.outstanding().size()) + " requests outstanding");
                return;
            case wb::Verb::fail: {
                if (c.fault_off && c.fault_site < 0) {
                    rig_.k.clear_faults();
                    return;
                }
                FaultPlan plan;
                if (!c.fault_off) plan = FaultPlan{c.fault_nth, c.fault_per_million, c.fault_from_nth, c.fault_every};
                rig_.k.set_fault(static_cast<FaultSite>(c.fault_site), plan);
                return;
            }
            case wb::Verb::reader:
                reader(c);
                return;
            case wb::Verb::wait:
                rig_.delay_ms(std::max<int64_t>(1, static_cast<int64_t>(to_ms(c.duration))));
                return;
            case wb::Verb::note:
            case wb::Verb::seed:
            case wb::Verb::sleep:  // handled by play_range
            case wb::Verb::use:
                return;
        }
    }

    void reader(const wb::Command& c) {
        Reader& r = rig_.active_reader();
        if (c.name == "delay") {
            r.set_answer_delay(c.duration);
        } else if (c.name == "withhold") {
            r.withhold_answers(static_cast<int>(c.number));
        } else if (c.name == "refuse-writes") {
            r.refuse_writes(true);
        } else if (c.name == "take-writes") {
            r.refuse_writes(false);
        } else if (c.name == "silent") {
            r.set_mode(Reader::Mode::scripted);
        } else if (c.name == "normal") {
            r.set_mode(Reader::Mode::automatic);
            r.set_answer_delay(rig_.variation.answer_delay);
            r.withhold_answers(0);
            r.refuse_writes(false);
        } else if (c.name == "reply") {
            r.queue_reply_to_write(c.input, c.duration);
        } else if (c.name == "send") {
            if (c.duration) {
                r.queue_packet_after(c.duration, c.input);
            } else {
                r.queue_packet(c.input);
            }
        } else if (c.name == "event") {
            r.queue_packet(card_status_packet(c.number != 0));
        }
    }

    void expect_usb(const wb::Command& c) {
        const Reader& r = rig_.active_reader();
        if (&r != usb_reader_) {
            usb_reader_ = &r;
            out_seen_ = in_seen_ = 0;
        }
        struct Crossing {
            VirtualTime time;
            bool out;
            const Packet* packet;
        };
        std::vector<Crossing> crossings;
        for (size_t i = out_seen_; i < r.written().size(); ++i) crossings.push_back({r.written()[i].time, true, &r.written()[i].packet});
        for (size_t i = in_seen_; i < r.sent().size(); ++i) crossings.push_back({r.sent()[i].time, false, &r.sent()[i].packet});
        std::stable_sort(crossings.begin(), crossings.end(), [](const Crossing& a, const Crossing& b) { return a.time < b.time; });
        if (c.name == "none") {
            out_seen_ = r.written().size();
            in_seen_ = r.sent().size();
            c_.expect(crossings.empty(), step(c) + ": saw " + std::to_string(crossings.size()) + " packet(s)");
            return;
        }
        const bool out = c.name == "OUT";
        for (size_t i = 0; i < crossings.size(); ++i) {
            if (crossings[i].out != out || !c.pattern->matches(*crossings[i].packet)) continue;
            for (size_t j = 0; j <= i; ++j) (crossings[j].out ? out_seen_ : in_seen_) += 1;
            return;
        }
        c_.expect(false, step(c) + ": no such packet among " + std::to_string(crossings.size()));
    }

    const std::string& file_;
    const std::vector<wb::Command>& commands_;
    Rig& rig_;
    Context& c_;
    std::map<std::string, Handle> handles_;
    std::vector<std::string> order_;
    int opened_ = 0;
    std::map<std::string, Named> requests_;
    ULONG protocol_ = SCARD_PROTOCOL_T1;
    bool asleep_ = false;
    const Reader* usb_reader_ = nullptr;
    size_t out_seen_ = 0;
    size_t in_seen_ = 0;
};

struct FileEntry {
    std::string path;
    std::string file;  // the name findings show
    std::string what;
    std::vector<wb::Command> commands;
    Scenario scenario;
};

std::map<std::string, std::unique_ptr<FileEntry>, std::less<>>& loaded() {
    static auto* files = new std::map<std::string, std::unique_ptr<FileEntry>, std::less<>>();
    return *files;
}

// What a reliability run cannot carry out: the rig has one reader, plugged in before the body.
std::string unsupported(const wb::Command& c, bool& plugged) {
    switch (c.verb) {
        case wb::Verb::plug:
            if (plugged) return "a second `plug`: a reliability run has one reader";
            plugged = true;
            return "";
        case wb::Verb::use:
            return "`use`: a reliability run has one reader";
        default:
            break;
    }
    if (!c.reader.empty()) return "`on READER`: a reliability run has one reader";
    return "";
}

}  // namespace

const Scenario* file_scenario(std::string_view path, std::string* error) {
    auto found = loaded().find(path);
    if (found != loaded().end()) return &found->second->scenario;
    std::ifstream in{std::string(path)};
    if (!in) {
        if (error) *error = "cannot read " + std::string(path);
        return nullptr;
    }
    std::stringstream text;
    text << in.rdbuf();
    wb::Scenario parsed = wb::parse_scenario(text.str());
    auto entry = std::make_unique<FileEntry>();
    entry->path = std::string(path);
    entry->file = entry->path.substr(entry->path.find_last_of('/') == std::string::npos ? 0 : entry->path.find_last_of('/') + 1);
    if (!parsed.errors.empty()) {
        if (error) *error = entry->file + ":" + std::to_string(parsed.errors[0].line) + ": " + parsed.errors[0].message;
        return nullptr;
    }
    bool plugged = false;
    for (const wb::Command& c : parsed.commands) {
        std::string why = unsupported(c, plugged);
        if (!why.empty()) {
            if (error) *error = entry->file + ":" + std::to_string(c.line) + ": " + why;
            return nullptr;
        }
    }
    // The first comment line says what the file does.
    std::string first;
    std::getline(std::istringstream(text.str()) >> std::ws, first);
    entry->what = first.rfind("#", 0) == 0 ? first.substr(first.find_first_not_of("# ")) : "scenario file";
    entry->commands = std::move(parsed.commands);
    FileEntry* raw = entry.get();
    entry->scenario.name = raw->path.c_str();
    entry->scenario.what = raw->what.c_str();
    entry->scenario.body = [raw](Rig& rig, Context& context) { Player(raw->file, raw->commands, rig, context).play(); };
    const Scenario* scenario = &entry->scenario;
    loaded()[entry->path] = std::move(entry);
    return scenario;
}

std::vector<std::string> scenario_files(const std::string& folder) {
    std::vector<std::string> files;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name.ends_with(".qws")) files.push_back(folder + "/" + name);
        }
        closedir(dir);
    }
    std::sort(files.begin(), files.end());
    return files;
}

void enable_file_scenarios() {
    set_scenario_loader([](std::string_view name) -> const Scenario* {
        if (!name.ends_with(".qws")) return nullptr;
        return file_scenario(name);
    });
}

}  // namespace sim::reliability
