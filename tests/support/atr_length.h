// The length that an answer to reset announces, worked out from its bytes alone: the yardstick for tests of ATR parsing and completeness checks.
//
// Written independently of the library's and the driver's ATR walks (recursion over the chain of indicator bytes
// instead of an index loop, std::popcount instead of a nibble table), so that a test comparing them with it is not
// comparing a routine with a copy of itself.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace sim::test {

namespace atr_length_detail {

struct InterfaceEnd {
    size_t next;     // index just past the last interface byte
    bool tck;        // some TDi indicates a protocol other than T=0
};

// `at` is the index of an indicator byte: T0 (at == 1) or a TDi. Its high nibble says which of TA, TB, TC, TD
// follow; the TD, when announced, is the last of them and the next indicator.
inline std::optional<InterfaceEnd> interface_end(std::span<const uint8_t> atr, size_t at, bool tck) {
    if (at >= atr.size()) return std::nullopt;
    const uint8_t indicator = atr[at];
    const bool is_td = at > 1;
    const bool tck_here = tck || (is_td && (indicator & 0x0F) != 0);
    const size_t announced = static_cast<size_t>(std::popcount(static_cast<unsigned>(indicator >> 4)));
    if (!(indicator & 0x80)) return InterfaceEnd{at + 1 + announced, tck_here};
    return interface_end(atr, at + announced, tck_here);
}

}  // namespace atr_length_detail

// The number of bytes the ATR announces: TS, T0, the interface bytes, the K historical bytes of T0 and the check
// byte TCK when some TDi indicates a protocol other than T=0. Empty while the bytes given end before the last
// indicator byte, so that the length cannot be known yet. TS is not looked at.
inline std::optional<size_t> atr_announced_length(std::span<const uint8_t> atr) {
    if (atr.size() < 2) return std::nullopt;
    auto end = atr_length_detail::interface_end(atr, 1, false);
    if (!end) return std::nullopt;
    return end->next + (atr[1] & 0x0F) + (end->tck ? 1 : 0);
}

inline std::optional<size_t> atr_announced_length(const std::vector<uint8_t>& atr) {
    return atr_announced_length(std::span<const uint8_t>(atr));
}

// True when the bytes are exactly one whole ATR by its own structure.
inline bool atr_complete(std::span<const uint8_t> atr) {
    auto length = atr_announced_length(atr);
    return length && *length == atr.size();
}

inline bool atr_complete(const std::vector<uint8_t>& atr) { return atr_complete(std::span<const uint8_t>(atr)); }

}  // namespace sim::test
