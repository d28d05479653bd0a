// Sample storage shared by every area that produces or holds audio.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "errors.hpp"

namespace ostina {

using Samples = std::vector<float>;

// The one place a 64-bit intermediate becomes a stored 32-bit sample
// (round to nearest; out-of-range values become infinities, NaN stays NaN).
inline float narrow(double value) { return static_cast<float>(value); }

// Largest sample count whose byte size fits a signed 64-bit size.
inline constexpr std::uint64_t kMaxSamples =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / sizeof(float);

// A zero-filled array of `count` samples in one allocation. A count whose
// byte size cannot be represented is a fault, raised before anything changes;
// a representable size the system cannot provide throws std::bad_alloc.
inline Samples zeroed_samples(std::uint64_t count) {
    if (count > kMaxSamples) throw Fault("capacity overflow");
    return Samples(static_cast<std::size_t>(count));
}

// a × b as a sample count, a fault when the product wraps around.
inline std::uint64_t sample_count(std::uint64_t a, std::uint64_t b) {
    std::uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) throw Fault("capacity overflow");
    return product;
}

}  // namespace ostina
