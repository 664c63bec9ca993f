// The simulated Q-ward reader: its firmware, a daemon thread behind the USB endpoints that runs a command table keyed by packet kind and code, the card slot, and the controls a test uses to script or disturb what the reader sends.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "card.h"
#include "packets.h"
#include "platform/usb/usb_device.h"

namespace sim {

// One thing the host asked for: a reader-control request, or a reader command with the data its
// data packets carried.
struct ReaderCommand {
    PacketKind kind = PacketKind::control;
    uint8_t code = 0;                // control: byte 1; command: byte 2
    Packet header;                   // the packet that opened it
    std::vector<uint8_t> data;       // command: the command data, as long as the header announced
};

// A packet with the virtual time it crossed the reader's endpoint.
struct TimedPacket {
    VirtualTime time = 0;
    Packet packet;
};

class Reader : public UsbPeripheral {
   public:
    // Runs inside the firmware thread. What it sends with send() or send_answer() is one answer:
    // delayed or withheld as a whole (set_answer_delay, withhold_answers).
    using Handler = std::function<void(Reader&, const ReaderCommand&)>;

    enum class Mode {
        automatic,  // requests go through the command table; card events send a card status
        scripted,   // the reader sends only what the test queues; requests are only recorded
    };

    // Declare it after its kernel and its UsbDevice: it detaches from the device when destroyed.
    Reader(Kernel& kernel, UsbDevice& usb, UCHAR in_endpoint = 0x81, UCHAR out_endpoint = 0x02);
    ~Reader() override;
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    // ---- Command table ----------------------------------------------------------------------
    // Control requests are keyed by byte 1, commands by byte 2. An empty handler removes the entry.
    void set_handler(PacketKind kind, uint8_t code, Handler handler);
    bool has_handler(PacketKind kind, uint8_t code) const;

    // ---- For handlers ----------------------------------------------------------------------
    void send(Packet packet);
    // Answer header, then the data in data packets.
    void send_answer(uint8_t answer_kind, const std::vector<uint8_t>& data);
    // Drops the packets of answers whose time has not come yet (set_answer_delay): the reader is still working on
    // them. Packets due now, card events among them, still go out.
    void drop_answers_in_preparation();

    // ---- Card slot -------------------------------------------------------------------------
    // In automatic mode each insertion and removal sends a card-status packet unasked; inserting
    // into an occupied slot removes the old card first.
    void insert_card(std::shared_ptr<Card> card);
    void remove_card();
    bool card_present() const { return card_ != nullptr; }
    Card* card() const { return card_.get(); }

    // ---- Disturbances ----------------------------------------------------------------------
    // Every answer leaves this long after the request that caused it arrived.
    void set_answer_delay(VirtualTime delay);
    // The next `count` answers are dropped.
    void withhold_answers(int count);
    // While true the OUT endpoint takes nothing: the host's writes never complete.
    void refuse_writes(bool refuse);

    // ---- Script (both modes) --------------------------------------------------------------------
    // Steps run in the order queued; each sends one packet, of any length and content.
    void set_mode(Mode mode);
    Mode mode() const { return mode_; }
    void queue_packet(Packet packet);                            // as soon as the steps before it are done
    void queue_packet_at(VirtualTime when, Packet packet);       // not before this virtual time
    void queue_packet_after(VirtualTime delay, Packet packet);   // this long after the step before it
    // `delay` after the next packet the host writes (one that no earlier reply step has used).
    void queue_reply_to_write(Packet packet, VirtualTime delay = 0);
    size_t script_steps_left() const { return script_.size(); }

    // ---- Observation -----------------------------------------------------------------------
    // Whether the logs below (and the card commands' logs of APDUs and blocks) keep what passes. On by default for
    // tests; a host that runs for days turns it off, so that its memory stays flat however many requests it serves.
    // Off, the script still sees the writes it waits for.
    void keep_history(bool keep) { history_ = keep; }
    bool keeps_history() const { return history_; }
    const std::vector<TimedPacket>& written() const { return written_; }  // every packet the host wrote
    const std::vector<TimedPacket>& sent() const { return sent_; }        // every packet put on the IN endpoint
    const std::vector<ReaderCommand>& unhandled() const { return unhandled_; }
    int withheld() const { return withheld_; }
    DEVICE_POWER_STATE power_state() const { return power_; }

    // ---- UsbPeripheral --------------------------------------------------------------------------
    void on_out_packet(UCHAR endpoint) override;
    void on_unplugged() override;
    void on_power(DEVICE_POWER_STATE state) override;

   private:
    enum class Trigger { immediately, at_time, after_delay, after_write };
    struct ScriptStep {
        Trigger trigger = Trigger::immediately;
        VirtualTime time = 0;        // at_time: when; after_delay, after_write: how long after
        Packet packet;
        size_t first_write = 0;      // after_write: the writes it may answer start here
        bool armed = false;          // has reached the front of the script
        VirtualTime armed_at = 0;
    };

    static void firmware_loop(Reader* self, const std::shared_ptr<bool>& alive, Scheduler* scheduler);
    VirtualTime step();
    void process(const Packet& packet);
    void dispatch(const ReaderCommand& command);
    void note_unhandled(ReaderCommand command);
    void run_script(VirtualTime& next);
    void queue_out(VirtualTime when, Packet packet);
    void add_step(ScriptStep step);
    void kick();

    Kernel& k_;
    UsbDevice& usb_;
    UCHAR in_endpoint_;
    UCHAR out_endpoint_;
    Mode mode_ = Mode::automatic;
    // Shared, so that a running handler stays alive while it replaces itself, and a command costs no copy of it.
    std::map<std::pair<uint8_t, uint8_t>, std::shared_ptr<const Handler>> handlers_;
    std::shared_ptr<Card> card_;
    DEVICE_POWER_STATE power_ = PowerDeviceD0;

    std::optional<ReaderCommand> assembling_;  // a command whose data packets are still coming
    size_t expected_data_ = 0;
    std::vector<Packet>* answer_ = nullptr;     // collects the running handler's packets
    std::vector<Packet> answer_room_;           // answer_ when no other handler runs: its room is kept
    VirtualTime answer_delay_ = 0;
    int withhold_ = 0;
    int withheld_ = 0;

    std::deque<ScriptStep> script_;
    size_t next_reply_write_ = 0;  // first write a reply step has not used
    std::deque<TimedPacket> outgoing_;  // ordered by time, then by queueing

    std::vector<TimedPacket> written_;
    std::vector<TimedPacket> sent_;
    std::vector<ReaderCommand> unhandled_;
    bool history_ = true;

    SimThread* thread_ = nullptr;
    bool work_ = false;
    bool in_step_ = false;  // the firmware thread is inside step()
    std::shared_ptr<bool> alive_;
};

}  // namespace sim
