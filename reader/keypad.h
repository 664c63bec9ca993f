// The reader's PIN keypad: the keys a scripted person presses in virtual time, the digits the keypad keeps for the running PIN entry, the entry time-out, and the key events it reports to the host's key polls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "reader.h"

namespace sim {

// Key codes in a key poll's answer (data byte 0 of a data answer).
namespace key_code {
constexpr uint8_t digit = 0x2B;  // any digit key: the digit itself stays in the reader
constexpr uint8_t backspace = 0x08;
constexpr uint8_t clear = 0x0A;
constexpr uint8_t validate = 0x0D;
constexpr uint8_t cancel = 0x1B;
constexpr uint8_t timed_out = 0x0E;    // no key for the entry's time-out
constexpr uint8_t entry_ended = 0x40;  // the reader ended the entry on its own
}  // namespace key_code

enum class Key {
    digit,
    backspace,
    clear,
    validate,
    cancel,
    reader_end,  // not a key: the reader breaks the entry off itself (reported as entry_ended)
};

struct Keystroke {
    VirtualTime after = 0;  // since the keystroke before it; the first one since the entry began
    Key key = Key::digit;
    char digit = '0';       // Key::digit only
};

// What one person does at the keypad during one PIN entry, from the moment the reader starts prompting.
struct Person {
    std::vector<Keystroke> strokes;

    // Each digit of `digits` (characters '0' to '9'), `gap` after the keystroke before.
    Person& type(std::string_view digits, VirtualTime gap = from_ms(300));
    Person& press(Key key, VirtualTime after = from_ms(300));

    // Somebody who never touches the keypad.
    static Person never_types() { return {}; }
    // Types the PIN, then presses the validation key unless told not to.
    static Person typing(std::string_view pin, bool validate = true, VirtualTime gap = from_ms(300));
    // Mistypes, rubs out one digit with backspace, then all of them with clear, types the PIN and validates.
    static Person correcting(std::string_view pin, VirtualTime gap = from_ms(300));
    // Types a couple of digits, thinks better of it and presses cancel.
    static Person cancelling(VirtualTime gap = from_ms(300));
};

struct KeypadOptions {
    // The entry time-out when the host's PIN block asks for the reader's default (bTimerOut 0).
    VirtualTime default_timeout = from_ms(30'000);
};

// The keypad runs in a thread of its own, so that key presses and the entry time-out happen at their virtual times
// whether or not a key poll is waiting. Its kernel and reader must outlive it; once destroyed it touches neither
// (the PIN commands' handlers own it, so it goes with the reader's command table).
class Keypad {
   public:
    enum class Entry {
        idle,      // no PIN entry: keys are ignored
        entering,  // prompting; keys change the digits and are reported
        ended,     // cancelled, timed out or ended by the reader: keys are ignored, the digits are kept
    };
    enum class Poll { answered, waiting, no_entry };

    Keypad(Kernel& kernel, Reader& reader, KeypadOptions options = {});
    ~Keypad();
    Keypad(const Keypad&) = delete;
    Keypad& operator=(const Keypad&) = delete;

    // The people at the keypad for the coming entries, one per entry in order; with nobody queued nobody types.
    void queue_person(Person person);
    // The people still queued go away without typing (a test that puts the keypad back to rest).
    void forget_people();

    // ---- For the firmware's PIN commands (run inside a command handler) ------------------------------------------
    // Starts prompting: the digits are gone, the next person begins, the time-out runs from now.
    void begin_entry(VirtualTime timeout, size_t max_digits);
    // Stops prompting and forgets a waiting key poll; the digits are gone.
    void end_entry();
    // A key poll: answered now when an event is there (or the entry has ended), else when the next event comes.
    // A poll whose card leaves the slot before that is never answered: the card-status packet tells the host.
    Poll poll();

    // ---- State and observation ---------------------------------------------------------------------------------
    Entry entry() const { return entry_; }
    bool cancelled() const { return cancelled_; }
    // The digits typed in the current (or last) entry, as characters '0' to '9'; at most the entry's maximum.
    const std::string& digits() const { return digits_; }
    bool poll_waiting() const { return poll_waiting_; }
    // Every key code answered to a key poll, in order.
    const std::vector<uint8_t>& reported() const { return reported_; }
    int entries_begun() const { return entries_begun_; }
    size_t people_waiting() const { return people_.size(); }

   private:
    struct Scheduled {
        VirtualTime time = 0;
        Keystroke stroke;
    };

    static void thread_loop(Keypad* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler);
    VirtualTime step();
    void press(const Keystroke& stroke);
    void finish_entry(bool cancelled);
    void answer(uint8_t code);
    void kick();

    Kernel& k_;
    Reader& reader_;
    KeypadOptions options_;
    std::deque<Person> people_;

    Entry entry_ = Entry::idle;
    bool cancelled_ = false;
    Card* entry_card_ = nullptr;  // the card in the slot when the entry began
    size_t max_digits_ = 0;
    VirtualTime timeout_ = 0;
    VirtualTime last_activity_ = 0;
    std::deque<Scheduled> strokes_;
    std::deque<uint8_t> events_;  // reported by the next polls
    std::string digits_;
    bool poll_waiting_ = false;

    std::vector<uint8_t> reported_;
    int entries_begun_ = 0;

    SimThread* thread_ = nullptr;
    std::shared_ptr<bool> alive_;
};

}  // namespace sim
