// The keypad thread: scripted key presses at their virtual times, the digits of the running entry, the entry time-out, and the answers to key polls that had to wait for a key.
#include "keypad.h"

#include <algorithm>

#include "card_commands.h"

namespace sim {

// ---- Person -------------------------------------------------------------------------------------------------------

Person& Person::type(std::string_view digits, VirtualTime gap) {
    for (char digit : digits) strokes.push_back({gap, Key::digit, digit});
    return *this;
}

Person& Person::press(Key key, VirtualTime after) {
    strokes.push_back({after, key, '0'});
    return *this;
}

Person Person::typing(std::string_view pin, bool validate, VirtualTime gap) {
    Person person;
    person.type(pin, gap);
    if (validate) person.press(Key::validate, gap);
    return person;
}

Person Person::correcting(std::string_view pin, VirtualTime gap) {
    Person person;
    person.type("98", gap).press(Key::backspace, gap).type("7", gap).press(Key::clear, gap);
    person.type(pin, gap).press(Key::validate, gap);
    return person;
}

Person Person::cancelling(VirtualTime gap) {
    Person person;
    person.type("12", gap).press(Key::cancel, gap);
    return person;
}

// ---- Keypad -------------------------------------------------------------------------------------------------------

Keypad::Keypad(Kernel& kernel, Reader& reader, KeypadOptions options)
    : k_(kernel), reader_(reader), options_(options), alive_(std::make_shared<bool>(true)) {
    auto alive = alive_;
    Scheduler* scheduler = &k_.scheduler();
    thread_ = &k_.spawn("reader keypad", [this, alive, scheduler] { thread_loop(this, alive, scheduler); }, true);
}

Keypad::~Keypad() {
    *alive_ = false;
    if (thread_->state == SimThread::State::blocked) k_.scheduler().wake(*thread_);
}

void Keypad::queue_person(Person person) { people_.push_back(std::move(person)); }

void Keypad::forget_people() { people_.clear(); }

void Keypad::begin_entry(VirtualTime timeout, size_t max_digits) {
    entry_ = Entry::entering;
    cancelled_ = false;
    entry_card_ = reader_.card();
    max_digits_ = max_digits;
    timeout_ = timeout;
    last_activity_ = k_.now();
    strokes_.clear();
    events_.clear();
    digits_.clear();
    poll_waiting_ = false;
    ++entries_begun_;
    if (!people_.empty()) {
        VirtualTime at = k_.now();
        for (const Keystroke& stroke : people_.front().strokes) {
            at += stroke.after;
            strokes_.push_back({at, stroke});
        }
        people_.pop_front();
    }
    kick();
}

void Keypad::end_entry() {
    entry_ = Entry::idle;
    strokes_.clear();
    events_.clear();
    digits_.clear();
    poll_waiting_ = false;
    kick();
}

Keypad::Poll Keypad::poll() {
    if (entry_ == Entry::idle) return Poll::no_entry;
    if (!events_.empty()) {
        const uint8_t code = events_.front();
        events_.pop_front();
        answer(code);
        return Poll::answered;
    }
    // Nothing more will happen in an entry that has ended; the host learns that it is over.
    if (entry_ == Entry::ended) {
        answer(key_code::entry_ended);
        return Poll::answered;
    }
    poll_waiting_ = true;
    kick();
    return Poll::waiting;
}

void Keypad::answer(uint8_t code) {
    reported_.push_back(code);
    reader_.send_answer(answer_kind::data, {code});
}

void Keypad::press(const Keystroke& stroke) {
    switch (stroke.key) {
        case Key::digit:
            // Digits past the entry's maximum are reported but not kept: the PIN field has no room for them.
            if (digits_.size() < max_digits_) digits_.push_back(stroke.digit);
            events_.push_back(key_code::digit);
            break;
        case Key::backspace:
            if (!digits_.empty()) digits_.pop_back();
            events_.push_back(key_code::backspace);
            break;
        case Key::clear:
            digits_.clear();
            events_.push_back(key_code::clear);
            break;
        case Key::validate:
            events_.push_back(key_code::validate);
            break;
        case Key::cancel:
            events_.push_back(key_code::cancel);
            finish_entry(true);
            break;
        case Key::reader_end:
            events_.push_back(key_code::entry_ended);
            finish_entry(false);
            break;
    }
}

void Keypad::finish_entry(bool cancelled) {
    entry_ = Entry::ended;
    cancelled_ = cancelled;
    strokes_.clear();
}

VirtualTime Keypad::step() {
    const VirtualTime now = k_.now();
    if (entry_ != Entry::idle && reader_.card() != entry_card_) {
        // The card the entry was for has left: the entry is dropped without a word, since the card-status packet
        // already told the host, and an answer now would be taken for the answer to its next command.
        entry_ = Entry::idle;
        strokes_.clear();
        events_.clear();
        poll_waiting_ = false;
        return kNever;
    }
    if (entry_ == Entry::entering) {
        while (!strokes_.empty() && strokes_.front().time <= now && entry_ == Entry::entering) {
            const Scheduled due = strokes_.front();
            strokes_.pop_front();
            last_activity_ = due.time;
            press(due.stroke);
        }
        if (entry_ == Entry::entering && now >= last_activity_ + timeout_) {
            events_.push_back(key_code::timed_out);
            finish_entry(false);
        }
    }
    if (poll_waiting_ && !events_.empty()) {
        poll_waiting_ = false;
        const uint8_t code = events_.front();
        events_.pop_front();
        answer(code);
    }
    if (entry_ != Entry::entering) return kNever;
    VirtualTime next = last_activity_ + timeout_;
    if (!strokes_.empty()) next = std::min(next, strokes_.front().time);
    return next;
}

void Keypad::thread_loop(Keypad* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler) {
    for (;;) {
        if (!*alive) return;
        const VirtualTime next = self->step();
        if (scheduler->block("reader keypad", self, next) == WakeReason::stopping) return;
    }
}

void Keypad::kick() {
    if (thread_ && thread_->state == SimThread::State::blocked && thread_->wait_object == this) {
        k_.scheduler().wake(*thread_);
    }
}

}  // namespace sim
