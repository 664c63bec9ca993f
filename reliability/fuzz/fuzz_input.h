// Reading a fuzzer's bytes as a sequence of small decisions, and stopping a fuzz run with the machine's own report when a checker fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sim::reliability::fuzz {

// Takes bytes from the front of the input; once it is used up every read gives zeros, so that each input, however
// short, describes one whole run.
class Input {
   public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(byte() | byte() << 8); }
    uint32_t u32() { return static_cast<uint32_t>(u16() | static_cast<uint32_t>(u16()) << 16); }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out;
        while (n-- && at_ < size_) out.push_back(data_[at_++]);
        return out;
    }
    bool empty() const { return at_ >= size_; }
    size_t left() const { return size_ - at_; }

   private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

// A checker failed: print what it found and abort, which the fuzzer records as a crash with this input.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "reliability check failed:\n%s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

}  // namespace sim::reliability::fuzz
