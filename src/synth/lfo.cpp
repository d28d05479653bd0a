#include "synth/lfo.hpp"

#include <cmath>

namespace ostina::synth {

Lfo::Lfo(std::uint32_t delay, double hertz, std::uint32_t rate)
    : delay_(delay), cycles_per_frame_(hertz / static_cast<double>(rate)) {}

double Lfo::at(std::uint64_t frame) const {
    if (frame < delay_) return 0.0;
    double cycles = static_cast<double>(frame - delay_) * cycles_per_frame_;
    double phase = cycles - std::floor(cycles);
    // Up from 0 to 1 in the first quarter, down to -1 by three quarters, back to 0.
    if (phase < 0.25) return 4.0 * phase;
    if (phase < 0.75) return 2.0 - 4.0 * phase;
    return 4.0 * phase - 4.0;
}

}  // namespace ostina::synth
