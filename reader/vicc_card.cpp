// The vicc card: framed exchanges with a card emulator over TCP, and the listener thread that turns connections into card insertions and removals.
#include "vicc_card.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/kernel/ordered_post.h"
#include "platform/kernel/quiet_thread.h"
#include "reader.h"

namespace sim {

namespace {

void close_quietly(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

}  // namespace

// ---- ViccCard --------------------------------------------------------------------------------------------------------

ViccCard::ViccCard(int socket, std::chrono::milliseconds answer_timeout)
    : socket_(socket), open_(socket >= 0), timeout_(answer_timeout) {
    // Without it every answer waits for the peer's delayed acknowledgement, some 40 ms.
    int on = 1;
    setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // A receive waits at most the time-out by itself: an answer then costs one system call, not a poll and reads.
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout_.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>(timeout_.count() % 1000 * 1000);
    if (timeout_.count() <= 0) limit.tv_usec = 1;  // 0 would mean no limit
    setsockopt(socket_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

ViccCard::~ViccCard() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_locked();
    close_quietly(socket_);
}

bool ViccCard::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

void ViccCard::disconnect() {
    std::lock_guard<std::mutex> lock(mutex_);
    close_locked();
}

// The descriptor itself stays open until the card is destroyed: the listener may be polling it, and a number closed
// under its poll could be reused for another file meanwhile. Shut down, it reports its end to that poll.
void ViccCard::close_locked() {
    if (open_) ::shutdown(socket_, SHUT_RDWR);
    open_ = false;
}

Bytes ViccCard::reset(bool warm) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!send_frame({warm ? vicc_control::reset : vicc_control::power_on})) return {};
    if (!send_frame({vicc_control::get_atr})) return {};
    std::optional<Bytes> atr = receive_frame();
    return atr ? *atr : Bytes{};
}

void ViccCard::power_off() {
    std::lock_guard<std::mutex> lock(mutex_);
    send_frame({vicc_control::power_off});
}

Bytes ViccCard::transmit(const Bytes& apdu) {
    std::lock_guard<std::mutex> lock(mutex_);
    // A one-byte APDU would read as a control; no short APDU is that short.
    if (apdu.size() < 2) return {};
    if (!send_frame(apdu)) return {};
    std::optional<Bytes> response = receive_frame();
    return response ? *response : Bytes{};
}

bool ViccCard::peer_gone() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!open_) return true;
    uint8_t scratch[256];
    for (;;) {
        ssize_t got = ::recv(socket_, scratch, sizeof scratch, MSG_DONTWAIT);
        if (got > 0) continue;  // unasked data: nothing in the protocol, dropped
        if (got == 0) {
            close_locked();
            return true;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
        close_locked();
        return true;
    }
}

bool ViccCard::send_frame(const Bytes& payload) {
    if (!open_ || payload.size() > 0xFFFF) return false;
    // Whatever came unasked (the protocol has nothing of the kind) is dropped, or it would pass for the answer.
    inbox_.clear();
    uint8_t scratch[256];
    while (::recv(socket_, scratch, sizeof scratch, MSG_DONTWAIT) > 0) {
    }
    // One write per frame: the emulator reads the length and the payload with one receive each.
    Bytes frame;
    frame.reserve(payload.size() + 2);
    frame.push_back(static_cast<uint8_t>(payload.size() >> 8));
    frame.push_back(static_cast<uint8_t>(payload.size()));
    frame.insert(frame.end(), payload.begin(), payload.end());
    size_t sent = 0;
    while (sent < frame.size()) {
        ssize_t n = ::send(socket_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close_locked();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::optional<Bytes> ViccCard::receive_frame() {
    if (!open_) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (;;) {
        if (inbox_.size() >= 2) {
            const size_t length = static_cast<size_t>(inbox_[0]) << 8 | inbox_[1];
            if (inbox_.size() >= 2 + length) {
                Bytes payload(inbox_.begin() + 2, inbox_.begin() + 2 + static_cast<std::ptrdiff_t>(length));
                inbox_.erase(inbox_.begin(), inbox_.begin() + 2 + static_cast<std::ptrdiff_t>(length));
                return payload;
            }
        }
        // Each receive waits at most the time-out (SO_RCVTIMEO); the answer as a whole must come within it too.
        uint8_t buffer[4096];
        ssize_t n = ::recv(socket_, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || std::chrono::steady_clock::now() > deadline) {
            // A late answer would be taken for the answer to the next command: the emulator is dropped instead.
            close_locked();
            return std::nullopt;
        }
        inbox_.insert(inbox_.end(), buffer, buffer + n);
    }
}

// ---- ViccListener ------------------------------------------------------------------------------------------------------

ViccListener::ViccListener(uint16_t port, Event on_event, std::chrono::milliseconds answer_timeout)
    : on_event_(std::move(on_event)), timeout_(answer_timeout) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = std::string("socket: ") + std::strerror(errno);
        return;
    }
    int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 4) != 0) {
        error_ = "cannot listen on 127.0.0.1:" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return;
    }
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    if (::pipe2(wake_, O_CLOEXEC) != 0) {
        error_ = std::string("pipe: ") + std::strerror(errno);
        ::close(fd);
        return;
    }
    listen_socket_ = fd;
    thread_ = thread_without_signals([this] { loop(); });
}

ViccListener::~ViccListener() {
    if (thread_.joinable()) {
        char stop = 1;
        ssize_t ignored = ::write(wake_[1], &stop, 1);
        (void)ignored;
        thread_.join();
    }
    close_quietly(listen_socket_);
    close_quietly(wake_[0]);
    close_quietly(wake_[1]);
}

void ViccListener::loop() {
    std::shared_ptr<ViccCard> card;
    for (;;) {
        // The card's connection is watched for its end only: an answer arriving is the exchange's business, and
        // waking here for each one would cost a thread switch per APDU and a wait for the exchange's lock.
        // A card whose exchange dropped the connection (its emulator hung up or fell silent) has shut its socket
        // down, which the poll reports at once, whenever that happened.
        pollfd fds[3] = {{wake_[0], POLLIN, 0}, {listen_socket_, POLLIN, 0}, {card ? card->socket() : -1, POLLRDHUP, 0}};
        int ready = ::poll(fds, card ? 3 : 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[0].revents) break;
        if (card && fds[2].revents && card->peer_gone()) {
            card.reset();
            on_event_(nullptr);
        }
        if (fds[1].revents & POLLIN) {
            int peer = ::accept4(listen_socket_, nullptr, nullptr, SOCK_CLOEXEC);
            if (peer < 0) continue;
            ++connections_;
            if (card) {
                ::close(peer);  // the slot holds one card
                continue;
            }
            card = std::make_shared<ViccCard>(peer, timeout_);
            on_event_(card);
        }
    }
    if (card) card->disconnect();
}

// ---- ViccSlot -----------------------------------------------------------------------------------------------------------

ViccSlot::ViccSlot(Scheduler& scheduler, Reader& reader, uint16_t port, std::chrono::milliseconds answer_timeout)
    : events_(std::make_unique<OrderedPoster>(scheduler)) {
    OrderedPoster* events = events_.get();
    Reader* slot = &reader;
    listener_ = std::make_unique<ViccListener>(
        port,
        [events, slot](std::shared_ptr<ViccCard> card) {
            // Runs on the listener's thread: the reader is touched only inside the machine, and in the order the
            // events came (an emulator that hangs up and another that connects at once are a removal and then an
            // insertion, never the other way round, which would take the new card out of the slot).
            const char* what = card ? "vicc card inserted" : "vicc card removed";
            events->post(what, [slot, card] {
                if (card) {
                    slot->insert_card(card);
                } else {
                    slot->remove_card();
                }
            });
        },
        answer_timeout);
}

// Events still queued are dropped; the listener stops before the poster goes.
ViccSlot::~ViccSlot() {
    events_->close();
    listener_.reset();
}

}  // namespace sim
