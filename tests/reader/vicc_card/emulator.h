// The card emulator's end of a vicc connection, for tests: reads whole frames and writes answers, as vsmartcard's
// vicc does (a 2-byte big-endian length, then the payload).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace sim::test {

class ViccEmulator {
   public:
    using Bytes = std::vector<uint8_t>;
    // Takes ownership of a connected stream socket (-1: not connected).
    explicit ViccEmulator(int fd) : fd_(fd) {}
    ~ViccEmulator() { hang_up(); }
    ViccEmulator(const ViccEmulator&) = delete;
    ViccEmulator& operator=(const ViccEmulator&) = delete;

    bool connected() const { return fd_ >= 0; }
    // The next frame's payload; empty when the connection ended or nothing came within the read limit.
    Bytes frame() {
        uint8_t length[2];
        if (!read_exactly(length, 2)) return {};
        Bytes payload(static_cast<size_t>(length[0]) << 8 | length[1]);
        if (!payload.empty() && !read_exactly(payload.data(), payload.size())) return {};
        return payload;
    }
    void answer(const Bytes& payload) {
        Bytes out = {static_cast<uint8_t>(payload.size() >> 8), static_cast<uint8_t>(payload.size())};
        out.insert(out.end(), payload.begin(), payload.end());
        ASSERT_EQ(::send(fd_, out.data(), out.size(), MSG_NOSIGNAL), static_cast<ssize_t>(out.size()));
    }
    // Answers the power-on and get-ATR frames with `atr`. A power-off may come first (the slot powered down after the
    // card before), which vicc takes without an answer.
    void power_on(const Bytes& atr) {
        Bytes first = frame();
        if (first == Bytes{0x00}) first = frame();
        EXPECT_EQ(first, (Bytes{0x01}));
        EXPECT_EQ(frame(), (Bytes{0x04}));
        answer(atr);
    }
    // Whether the other side has closed the connection (a read gives end of stream within the read limit).
    bool closed_by_peer() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, kReadLimitMs) <= 0) return false;
        uint8_t byte;
        return ::recv(fd_, &byte, 1, 0) == 0;
    }
    void hang_up() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

   private:
    static constexpr int kReadLimitMs = 5000;  // a test that goes wrong fails instead of hanging
    bool read_exactly(uint8_t* out, size_t count) {
        size_t got = 0;
        while (got < count) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, kReadLimitMs) <= 0) return false;
            ssize_t n = ::recv(fd_, out + got, count - got, 0);
            if (n <= 0) return false;
            got += static_cast<size_t>(n);
        }
        return true;
    }
    int fd_;
};

// A socket connected to 127.0.0.1:port, or -1.
inline int connect_to(uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace sim::test
