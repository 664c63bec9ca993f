// The reader's firmware loop: takes what the host writes, assembles commands, runs the command table, and sends answers, card events and scripted packets at their virtual times.
#include "reader.h"

#include <algorithm>

#include "card_commands.h"

namespace sim {

Reader::Reader(Kernel& kernel, UsbDevice& usb, UCHAR in_endpoint, UCHAR out_endpoint)
    : k_(kernel), usb_(usb), in_endpoint_(in_endpoint), out_endpoint_(out_endpoint),
      alive_(std::make_shared<bool>(true)) {
    set_handler(PacketKind::control, control_request::card_status,
                [](Reader& reader, const ReaderCommand&) { reader.send(card_status_packet(reader.card_present())); });
    install_card_commands(*this);
    usb_.attach_peripheral(this);
    auto alive = alive_;
    Scheduler* scheduler = &k_.scheduler();
    thread_ = &k_.spawn("reader firmware", [this, alive, scheduler] { firmware_loop(this, alive, scheduler); }, true);
}

Reader::~Reader() {
    usb_.attach_peripheral(nullptr);
    *alive_ = false;
    Scheduler& scheduler = k_.scheduler();
    if (thread_->state == SimThread::State::blocked) scheduler.wake(*thread_);
    // A firmware thread taken off the processor inside a step (at a kernel call) still uses this object: it ends
    // the step first.
    while (in_step_ && scheduler.in_thread() && &scheduler.current() != thread_) {
        scheduler.block("reader going: its firmware ends its step", this, scheduler.now() + 1);
    }
}

// ---- Command table -----------------------------------------------------------------------------------

void Reader::set_handler(PacketKind kind, uint8_t code, Handler handler) {
    auto key = std::make_pair(static_cast<uint8_t>(kind), code);
    if (handler) {
        handlers_[key] = std::make_shared<const Handler>(std::move(handler));
    } else {
        handlers_.erase(key);
    }
}

bool Reader::has_handler(PacketKind kind, uint8_t code) const {
    return handlers_.count(std::make_pair(static_cast<uint8_t>(kind), code)) != 0;
}

void Reader::send(Packet packet) {
    if (answer_) {
        answer_->push_back(std::move(packet));
    } else {
        queue_out(k_.now(), std::move(packet));
    }
}

void Reader::send_answer(uint8_t answer_kind, const std::vector<uint8_t>& data) {
    send(answer_header(answer_kind, data.size()));
    for (Packet& packet : data_packets(data)) send(std::move(packet));
}

void Reader::drop_answers_in_preparation() {
    VirtualTime now = k_.now();
    std::erase_if(outgoing_, [now](const TimedPacket& queued) { return queued.time > now; });
}

// ---- Card slot ----------------------------------------------------------------------------------------

void Reader::insert_card(std::shared_ptr<Card> card) {
    if (card_) remove_card();
    card_ = std::move(card);
    if (mode_ == Mode::automatic) queue_out(k_.now(), card_status_packet(true));
}

void Reader::remove_card() {
    if (!card_) return;
    card_->power_off();
    card_.reset();
    if (mode_ == Mode::automatic) queue_out(k_.now(), card_status_packet(false));
}

// ---- Disturbances and script ---------------------------------------------------------------------------

void Reader::set_answer_delay(VirtualTime delay) { answer_delay_ = delay; }

void Reader::withhold_answers(int count) { withhold_ = count; }

void Reader::refuse_writes(bool refuse) { usb_.set_out_accepting(out_endpoint_, !refuse); }

void Reader::set_mode(Mode mode) {
    mode_ = mode;
    assembling_.reset();
}

void Reader::queue_packet(Packet packet) {
    ScriptStep step;
    step.packet = std::move(packet);
    add_step(std::move(step));
}

void Reader::queue_packet_at(VirtualTime when, Packet packet) {
    ScriptStep step;
    step.trigger = Trigger::at_time;
    step.time = when;
    step.packet = std::move(packet);
    add_step(std::move(step));
}

void Reader::queue_packet_after(VirtualTime delay, Packet packet) {
    ScriptStep step;
    step.trigger = Trigger::after_delay;
    step.time = delay;
    step.packet = std::move(packet);
    add_step(std::move(step));
}

void Reader::queue_reply_to_write(Packet packet, VirtualTime delay) {
    ScriptStep step;
    step.trigger = Trigger::after_write;
    step.time = delay;
    step.first_write = written_.size();
    step.packet = std::move(packet);
    add_step(std::move(step));
}

void Reader::add_step(ScriptStep step) {
    script_.push_back(std::move(step));
    kick();
}

// ---- Bus events --------------------------------------------------------------------------------------

void Reader::on_out_packet(UCHAR endpoint) {
    if (endpoint == out_endpoint_) kick();
}

void Reader::on_unplugged() {
    outgoing_.clear();
    script_.clear();
    assembling_.reset();
}

void Reader::on_power(DEVICE_POWER_STATE state) { power_ = state; }

// ---- The firmware thread --------------------------------------------------------------------------------

void Reader::firmware_loop(Reader* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler) {
    for (;;) {
        if (!*alive) return;
        self->work_ = false;
        self->in_step_ = true;
        VirtualTime next = self->step();
        self->in_step_ = false;  // a destructor that waits for the step keeps the object until here
        if (!*alive) return;
        if (self->work_) continue;
        if (scheduler->block("reader firmware", self, next) == WakeReason::stopping) return;
    }
}

VirtualTime Reader::step() {
    VirtualTime now = k_.now();
    while (std::optional<Packet> packet = usb_.device_take(out_endpoint_)) {
        // The script's reply steps count the writes; without a script and without history nothing needs them.
        if (history_ || !script_.empty()) written_.push_back({now, *packet});
        if (mode_ == Mode::automatic) process(*packet);
    }
    VirtualTime next = kNever;
    run_script(next);
    while (!outgoing_.empty() && outgoing_.front().time <= now) {
        TimedPacket out = std::move(outgoing_.front());
        outgoing_.pop_front();
        out.time = now;
        if (history_) {
            usb_.device_send(in_endpoint_, out.packet);
            sent_.push_back(std::move(out));
        } else {
            usb_.device_send(in_endpoint_, std::move(out.packet));
        }
    }
    if (!outgoing_.empty()) next = std::min(next, outgoing_.front().time);
    return next;
}

void Reader::process(const Packet& packet) {
    ReaderCommand command;
    // Data packets of a command being assembled go into its data alone: they are most of the traffic, and their
    // copy would be a heap allocation each.
    const bool assembled_data = packet.size() >= 2 && static_cast<PacketKind>(packet[0]) == PacketKind::data &&
                                assembling_.has_value();
    if (!assembled_data) command.header = packet;
    if (packet.size() < 2) {
        note_unhandled(std::move(command));
        return;
    }
    switch (static_cast<PacketKind>(packet[0])) {
        case PacketKind::control:
            command.kind = PacketKind::control;
            command.code = packet[1];
            dispatch(command);
            return;
        case PacketKind::header: {
            // A header always opens a new command; the rest of an unfinished one is dropped.
            command.kind = PacketKind::header;
            command.code = packet.size() > 2 ? packet[2] : 0;
            size_t length = packet.size() > 4 ? static_cast<size_t>(packet[3] | (packet[4] << 8)) : 0;
            assembling_.reset();
            if (length == 0) {
                dispatch(command);
            } else {
                command.data.reserve(length);
                assembling_ = std::move(command);
                expected_data_ = length;
            }
            return;
        }
        case PacketKind::data: {
            if (!assembling_) {
                command.kind = PacketKind::data;
                note_unhandled(std::move(command));
                return;
            }
            size_t count = std::min<size_t>({packet[1], kDataBytesPerPacket, packet.size() - 2});
            assembling_->data.insert(assembling_->data.end(), packet.begin() + 2,
                                     packet.begin() + 2 + static_cast<long>(count));
            if (assembling_->data.size() >= expected_data_) {
                ReaderCommand complete = std::move(*assembling_);
                assembling_.reset();
                complete.data.resize(expected_data_);
                dispatch(complete);
            }
            return;
        }
        default:
            command.kind = static_cast<PacketKind>(packet[0]);
            note_unhandled(std::move(command));
            return;
    }
}

void Reader::note_unhandled(ReaderCommand command) {
    if (history_) unhandled_.push_back(std::move(command));
}

void Reader::dispatch(const ReaderCommand& command) {
    auto found = handlers_.find(std::make_pair(static_cast<uint8_t>(command.kind), command.code));
    if (found == handlers_.end()) {
        // The reader stays silent on what it does not know; tests see it here.
        note_unhandled(command);
        return;
    }
    std::vector<Packet> nested;
    std::vector<Packet>* outer = answer_;
    std::vector<Packet>& answer = outer ? nested : answer_room_;
    answer.clear();
    answer_ = &answer;
    std::shared_ptr<const Handler> handler = found->second;  // a handler may replace itself
    (*handler)(*this, command);
    answer_ = outer;
    if (answer.empty()) return;
    if (withhold_ > 0) {
        --withhold_;
        ++withheld_;
        return;
    }
    VirtualTime when = k_.now() + answer_delay_;
    for (Packet& packet : answer) queue_out(when, std::move(packet));
}

void Reader::run_script(VirtualTime& next) {
    VirtualTime now = k_.now();
    while (!script_.empty()) {
        ScriptStep& step = script_.front();
        if (!step.armed) {
            step.armed = true;
            step.armed_at = now;
        }
        VirtualTime due = now;
        size_t write = 0;
        switch (step.trigger) {
            case Trigger::immediately: due = now; break;
            case Trigger::at_time: due = step.time; break;
            case Trigger::after_delay: due = step.armed_at + step.time; break;
            case Trigger::after_write:
                write = std::max(step.first_write, next_reply_write_);
                if (write >= written_.size()) return;  // waits for the host to write
                due = written_[write].time + step.time;
                break;
        }
        if (due > now) {
            next = std::min(next, due);
            return;
        }
        if (step.trigger == Trigger::after_write) next_reply_write_ = write + 1;
        queue_out(now, std::move(step.packet));
        script_.pop_front();
    }
}

void Reader::queue_out(VirtualTime when, Packet packet) {
    auto position = std::upper_bound(outgoing_.begin(), outgoing_.end(), when,
                                     [](VirtualTime time, const TimedPacket& queued) { return time < queued.time; });
    outgoing_.insert(position, TimedPacket{when, std::move(packet)});
    kick();
}

void Reader::kick() {
    work_ = true;
    if (thread_ && thread_->state == SimThread::State::blocked && thread_->wait_object == this) {
        k_.scheduler().wake(*thread_);
    }
}

}  // namespace sim
