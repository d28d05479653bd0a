// Sample storage shared by every area that produces or holds audio.
#pragma once

#include <cstdint>
#include <vector>

#include "numeric.hpp"

namespace ostina {

using Samples = std::vector<float>;

// The one place a 64-bit intermediate becomes a stored 32-bit sample
// (round to nearest; out-of-range values become infinities, NaN stays NaN).
inline float narrow(double value) { return static_cast<float>(value); }

inline constexpr std::uint64_t kMaxSamples = kMaxCount<float>;

// A zero-filled array of `count` samples in one allocation; a capacity
// overflow past kMaxSamples.
inline Samples zeroed_samples(std::uint64_t count) { return Samples(checked_count<float>(count)); }

// a × b as a sample count, a fault when the product wraps around.
inline std::uint64_t sample_count(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) capacity_overflow();
    return product;
}

}  // namespace ostina
