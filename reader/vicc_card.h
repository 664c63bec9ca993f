// A card in the simulated reader's slot that is a card emulator reached over vsmartcard's socket protocol (vicc), and the TCP listener whose connections and disconnections are card insertions and removals.
//
// The protocol, both ways: every message is a 2-byte big-endian length and a payload. A 1-byte payload from the
// reader side is a control: 00 power off, 01 power on, 02 reset, 04 get ATR (the emulator answers with the ATR);
// any other payload is a command APDU, answered with the response APDU. The emulator connects to the reader side,
// and the card is in the slot while it stays connected.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "card.h"

namespace sim {

class OrderedPoster;
class Reader;
class Scheduler;

// vsmartcard's default port for the reader side.
constexpr uint16_t kViccDefaultPort = 35963;

namespace vicc_control {
constexpr uint8_t power_off = 0x00;
constexpr uint8_t power_on = 0x01;
constexpr uint8_t reset = 0x02;
constexpr uint8_t get_atr = 0x04;
}  // namespace vicc_control

// One connected emulator. Every exchange happens on the calling thread, which waits for the emulator's answer (the
// simulated machine stands still meanwhile, as it would for a slow card). An emulator that does not answer within
// the time-out, or that has gone, is a mute card from then on: the connection is closed and every later call
// answers nothing.
class ViccCard : public Card {
   public:
    // Takes ownership of a connected stream socket.
    explicit ViccCard(int socket, std::chrono::milliseconds answer_timeout = std::chrono::seconds(10));
    ~ViccCard() override;
    ViccCard(const ViccCard&) = delete;
    ViccCard& operator=(const ViccCard&) = delete;

    std::string name() const override { return "vicc"; }
    Bytes reset(bool warm) override;
    void power_off() override;
    Bytes transmit(const Bytes& apdu) override;

    bool connected() const;
    // Closes the connection; the card is mute from then on.
    void disconnect();
    // For the listener: whether the peer has closed the connection, judged without waiting. Data the emulator sent
    // unasked is dropped (the protocol has none).
    bool peer_gone();
    // The connection's descriptor, for the listener's poll. It stays open as long as the card: once the card turns
    // mute it is shut down, and a poll on it reports the end.
    int socket() const { return socket_; }

   private:
    bool send_frame(const Bytes& payload);
    std::optional<Bytes> receive_frame();
    void close_locked();

    mutable std::mutex mutex_;  // one exchange at a time; the listener's liveness check waits for it
    int socket_ = -1;
    bool open_ = true;  // false once the connection is shut down: the card is mute
    std::chrono::milliseconds timeout_;
    Bytes inbox_;  // received and not yet taken: a frame may come in pieces, or with the start of the next
};

// Listens on 127.0.0.1 for card emulators, one at a time: a connection is a card put into the slot, its end the
// card taken out. A second emulator that connects while one is in the slot is turned away (closed at once). Events
// are reported from the listener's own thread.
class ViccListener {
   public:
    // Called with the new card when an emulator connects, with null when it goes.
    using Event = std::function<void(std::shared_ptr<ViccCard>)>;

    // Port 0 picks a free port (port() tells which). Check listening() and error() after construction.
    ViccListener(uint16_t port, Event on_event,
                 std::chrono::milliseconds answer_timeout = std::chrono::seconds(10));
    ~ViccListener();
    ViccListener(const ViccListener&) = delete;
    ViccListener& operator=(const ViccListener&) = delete;

    bool listening() const { return listen_socket_ >= 0; }
    uint16_t port() const { return port_; }
    const std::string& error() const { return error_; }
    // Connections accepted so far, turned-away ones included.
    int connections() const { return connections_; }

   private:
    void loop();

    Event on_event_;
    std::chrono::milliseconds timeout_;
    int listen_socket_ = -1;
    int wake_[2] = {-1, -1};  // a pipe that ends the loop
    uint16_t port_ = 0;
    std::string error_;
    std::atomic<int> connections_{0};
    std::thread thread_;
};

// Puts a listener's cards into a reader of a running simulated machine: each connection and disconnection is posted
// into the machine as insert_card or remove_card. Create and destroy it inside the machine (a simulated thread);
// events still queued when it is destroyed are dropped.
class ViccSlot {
   public:
    ViccSlot(Scheduler& scheduler, Reader& reader, uint16_t port,
             std::chrono::milliseconds answer_timeout = std::chrono::seconds(10));
    ~ViccSlot();
    ViccSlot(const ViccSlot&) = delete;
    ViccSlot& operator=(const ViccSlot&) = delete;

    bool listening() const { return listener_ && listener_->listening(); }
    uint16_t port() const { return listener_ ? listener_->port() : 0; }
    std::string error() const { return listener_ ? listener_->error() : std::string(); }

   private:
    std::unique_ptr<OrderedPoster> events_;
    std::unique_ptr<ViccListener> listener_;
};

}  // namespace sim
