// IsAtrComplete: the ATRs whose completeness the collection depends on, and a generated set checked against the independent ATR length computation.
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

#include "driver/driver.h"
#include "reader/cards/card_factory.h"
#include "support/atr_length.h"
#include "support/bytes.h"

namespace qward::card_test {
namespace {

using sim::test::hex_bytes;
using sim::test::hex_text;

// Bytes placed so that the last one ends a readable page and the next page cannot be read: a read past them
// ends the test process with a fault.
class FencedBytes {
   public:
    FencedBytes() {
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base_ = static_cast<uint8_t*>(mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) throw std::runtime_error("mmap");
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~FencedBytes() { munmap(base_, 2 * page_); }
    FencedBytes(const FencedBytes&) = delete;
    FencedBytes& operator=(const FencedBytes&) = delete;

    const UCHAR* place(const uint8_t* bytes, size_t n) {
        uint8_t* at = base_ + page_ - n;
        if (n) std::memcpy(at, bytes, n);
        return at;
    }

   private:
    size_t page_ = 0;
    uint8_t* base_ = nullptr;
};

// Complete exactly at its full length, and at no shorter prefix nor with a byte more.
void expect_complete_only_at_full_length(const std::vector<uint8_t>& atr) {
    std::vector<uint8_t> buffer = atr;
    buffer.push_back(0x00);
    for (size_t n = 0; n <= buffer.size(); ++n) {
        EXPECT_EQ(IsAtrComplete(buffer.data(), static_cast<ULONG>(n)) != FALSE, n == atr.size())
            << hex_text(atr) << " at " << n << " bytes";
    }
}

TEST(AtrComplete, ChainsOfIndicatorBytes) {
    const char* const atrs[] = {
        "3B 00",        // nothing announced: TS and T0
        "3B 02 14 50",  // two historical bytes
        "3B 80 01 81",  // TD1 indicates T=1: the check byte follows
        "3B 80 80 00",  // TD1 indicates T=0 and announces TD2, which indicates T=0: no check byte
    };
    for (const char* atr : atrs) expect_complete_only_at_full_length(hex_bytes(atr));
    // At 3 bytes, 3B 80 01 still lacks its check byte.
    const std::vector<uint8_t> t1 = hex_bytes("3B 80 01");
    EXPECT_FALSE(IsAtrComplete(t1.data(), 3));
}

TEST(AtrComplete, PresetCardsOfTheReader) {
    using namespace sim::preset_atr;
    for (const auto* atr : {&iso, &iso_t0, &iso_t1, &iso_2, &iso_4, &iso_6, &iso_7, &iso_20, &iso_33, &iso_inverse,
                            &too_long, &bad_tck}) {
        expect_complete_only_at_full_length(*atr);
    }
}

// A random ATR by its structure: indicator chains of up to five groups, any interface bytes, protocol numbers
// biased to 0 and 1, up to 15 historical bytes, and the check byte when some TD indicates a protocol other than 0.
std::vector<uint8_t> random_atr(std::mt19937& rng) {
    auto byte = [&] { return static_cast<uint8_t>(rng() & 0xFF); };
    std::vector<uint8_t> atr = {0x3B};
    const uint8_t k = static_cast<uint8_t>(rng() % 16);
    uint8_t y = static_cast<uint8_t>(rng() % 16);
    atr.push_back(static_cast<uint8_t>(y << 4 | k));
    bool tck = false;
    for (int group = 0; group < 5; ++group) {
        for (int bit = 0; bit < 3; ++bit) {
            if (y & (1 << bit)) atr.push_back(byte());
        }
        if (!(y & 0x8)) break;
        uint8_t next = group == 4 ? 0 : static_cast<uint8_t>(rng() % 16);
        const uint8_t t = rng() % 3 == 0 ? static_cast<uint8_t>(rng() % 16) : static_cast<uint8_t>(rng() % 2);
        atr.push_back(static_cast<uint8_t>(next << 4 | t));
        tck = tck || t != 0;
        y = next;
    }
    for (int i = 0; i < k; ++i) atr.push_back(byte());
    if (tck) atr.push_back(byte());
    return atr;
}

// Every prefix of each generated ATR, with bytes past the prefix that are not zero: the driver's answer must
// agree with the independent computation on the prefix alone, so it neither reads past the bytes collected nor
// misjudges a chain of indicator bytes.
TEST(AtrComplete, GeneratedAtrsAgreeWithTheIndependentLength) {
    std::mt19937 rng(7031);
    FencedBytes fence;
    int complete_seen = 0;
    for (int round = 0; round < 3000; ++round) {
        const std::vector<uint8_t> atr = random_atr(rng);
        std::vector<uint8_t> buffer = atr;
        for (int i = 0; i < 8; ++i) buffer.push_back(static_cast<uint8_t>(rng() | 0x80));
        for (size_t n = 0; n <= atr.size() + 1; ++n) {
            const std::vector<uint8_t> prefix(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
            const bool expected = sim::test::atr_complete(prefix);
            complete_seen += expected;
            ASSERT_EQ(IsAtrComplete(buffer.data(), static_cast<ULONG>(n)) != FALSE, expected)
                << hex_text(atr) << " at " << n << " bytes";
            // The collected bytes end where readable memory ends.
            ASSERT_EQ(IsAtrComplete(fence.place(prefix.data(), n), static_cast<ULONG>(n)) != FALSE, expected)
                << hex_text(atr) << " at " << n << " bytes, fenced";
        }
        ASSERT_EQ(sim::test::atr_announced_length(atr), atr.size()) << "generator: " << hex_text(atr);
    }
    EXPECT_EQ(complete_seen, 3000) << "every generated ATR is complete at its own length and nowhere else";
}

}  // namespace
}  // namespace qward::card_test
