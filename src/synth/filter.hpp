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

    // Sets the response for a cutoff (absolute cents, taken to the nearest
    // point of a grid of 4 cents, finer for resonances above 12 dB) and a
    // resonance (centibels) at `rate`; the state carries on, so a moving
    // cutoff does not click. The cutoff is held below 45 % of the rate.
    void tune(double cutoff_cents, double resonance_centibels, std::uint32_t rate);

    // Filters `samples` in place. In 64 bits, which cost scalar code nothing
    // more, so that a steady input gives a steady output instead of a cycle
    // of rounding errors.
    void process(float* samples, std::uint32_t frames);

    // Clears a state that has decayed into subnormal numbers, which are slow
    // on most processors.
    void flush_tiny();

private:
    double b0_ = 1.0, b1_ = 0.0, a1_ = 0.0, a2_ = 0.0;
    double x1_ = 0.0, x2_ = 0.0, y1_ = 0.0, y2_ = 0.0;  // the last two inputs and outputs
    double cutoff_ = -1.0, resonance_ = -1.0;
    double q_ = 1.0, dc_gain_ = 1.0;  // of resonance_
    // Four outputs at once, from the four inputs' sums f and the two outputs
    // before them: y_k = f_k + h1 f_(k-1) + ... + last_k y_(-1) + before_k y_(-2).
    double h_[4] = {1.0, 0.0, 0.0, 0.0}, from_last_[4] = {}, from_before_[4] = {};
};

}  // namespace ostina::synth
