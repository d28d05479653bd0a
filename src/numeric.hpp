// Number helpers every area shares: the saturating float-to-count
// conversion, the clamp, and the size checks in front of allocations whose
// count a caller chooses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

#include "errors.hpp"

namespace ostina {

// 2^64: the first double past the largest unsigned 64-bit count.
inline constexpr double kTwoTo64 = 18446744073709551616.0;

// Converts to an unsigned 64-bit count, truncating toward zero; NaN and
// negatives give 0, values past the top give the largest count.
inline std::uint64_t saturating_count(double value) {
    if (!(value > 0.0)) return 0;  // NaN too
    if (value >= kTwoTo64) return std::numeric_limits<std::uint64_t>::max();
    return static_cast<std::uint64_t>(value);
}

// `value` replaced by a bound only when strictly outside lowest..highest.
// Comparisons with NaN are false, so NaN passes through, and -0.0 at a bound
// of 0.0 keeps its sign: both are part of what the clamped values store.
template <class Number>
Number clamp_to(Number value, Number lowest, Number highest) {
    if (value < lowest) return lowest;
    if (value > highest) return highest;
    return value;
}

// A count whose byte size cannot be represented: an internal fault, raised
// before anything changes.
[[noreturn]] inline void capacity_overflow() { throw Fault("capacity overflow"); }

// Largest count of `Element`s whose byte size fits a signed 64-bit size.
template <class Element>
inline constexpr std::uint64_t kMaxCount =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(Element);

// `count` as the size of a container of `Element`s, or a capacity overflow.
// A representable size the system cannot provide is left to the allocation,
// which throws std::bad_alloc.
template <class Element>
std::size_t checked_count(std::uint64_t count) {
    if (count > kMaxCount<Element>) capacity_overflow();
    return static_cast<std::size_t>(count);
}

}  // namespace ostina
