// The voice filter: a two-pole resonant low-pass whose cutoff is in absolute
// cents and whose resonance is the height, in centibels, of its peak above
// the gain at DC (which falls by half that height).
#pragma once

#include <cstdint>

namespace ostina::synth {

class LowPass {
public:
    // The filter is open (passes the signal unchanged) from this cutoff on,
    // when it is not resonant: about 20 kHz.
    static constexpr double kOpenCents = 13500.0;

    // Sets the response for a cutoff (absolute cents) and a resonance
    // (centibels) at `rate`; the state carries on, so a moving cutoff does
    // not click. The cutoff is held below 45 % of the rate.
    void tune(double cutoff_cents, double resonance_centibels, std::uint32_t rate);

    // Direct form I, summed so that only one product and one difference
    // wait for the previous output: the loop's chain of latency is short. In
    // 64 bits, which cost a scalar loop nothing more, so that a steady input
    // gives a steady output instead of a cycle of rounding errors.
    float process(float input) {
        double x = input;
        double y = b0_ * (x + x2_) + b1_ * x1_ - a2_ * y2_ - a1_ * y1_;  // b2 equals b0 in a low-pass
        x2_ = x1_;
        x1_ = x;
        y2_ = y1_;
        y1_ = y;
        return static_cast<float>(y);
    }

    // Clears a state that has decayed into subnormal numbers, which are slow
    // on most processors.
    void flush_tiny();

private:
    double b0_ = 1.0, b1_ = 0.0, a1_ = 0.0, a2_ = 0.0;
    double x1_ = 0.0, x2_ = 0.0, y1_ = 0.0, y2_ = 0.0;  // the last two inputs and outputs
    double cutoff_ = -1.0, resonance_ = -1.0;
};

}  // namespace ostina::synth
