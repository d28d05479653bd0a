#include "synth/filter.hpp"

#include <algorithm>
#include <cmath>

#include "synth/units.hpp"

namespace ostina::synth {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHighestShare = 0.45;    // of the rate: the cutoff stays below Nyquist
constexpr double kButterworthQ = 0.7071067811865476;  // a two-pole low-pass of no resonance
constexpr double kTiny = 1e-20;
// A moving cutoff is followed on a grid, so that a cutoff swept by an
// envelope retunes the filter every few control periods instead of every
// one. For a broad peak (a Q up to 4, 12 dB) the grid's points are 4 cents
// apart: the cutoff is at most 2 cents (0.12 %) from where it should be,
// which moves the response by about 0.05 dB (0.3 dB at most, for cutoffs
// near 19 kHz, where the response is steepest). A sharper peak moves
// further for the same error, so the grid is finer by the Q beyond that.
constexpr double kCutoffStepCents = 4.0;
constexpr double kBroadQ = 4.0;

}  // namespace

void LowPass::tune(double cutoff_cents, double resonance_centibels, std::uint32_t rate) {
    const bool resonance_moved = resonance_centibels != resonance_;
    if (resonance_moved) {
        resonance_ = resonance_centibels;
        double height_db = std::max(resonance_centibels, 0.0) / 10.0;
        // The gain at the cutoff over the gain at DC is Q: the height itself,
        // and for a resonance of 0 Butterworth's 1/sqrt(2), 3 dB down there.
        q_ = height_db > 0.0 ? gain_of_decibels(height_db) : kButterworthQ;
        dc_gain_ = gain_of_decibels(-height_db / 2.0);  // down by half the height
    }
    const double step = kCutoffStepCents * std::min(1.0, kBroadQ / q_);
    cutoff_cents = std::nearbyint(cutoff_cents / step) * step;
    if (!resonance_moved && cutoff_cents == cutoff_) return;
    cutoff_ = cutoff_cents;
    double hertz = std::min(hertz_of_absolute_cents(cutoff_cents), kHighestShare * rate);
    double w = 2.0 * kPi * hertz / rate;
    double cosine = std::cos(w), alpha = std::sin(w) / (2.0 * q_);
    double a0 = 1.0 + alpha;
    b0_ = (1.0 - cosine) / 2.0 * dc_gain_ / a0;
    b1_ = (1.0 - cosine) * dc_gain_ / a0;
    a1_ = -2.0 * cosine / a0;
    a2_ = (1.0 - alpha) / a0;
    // The recursion y_k = f_k - a1 y_(k-1) - a2 y_(k-2), unrolled four frames.
    double p_before[2] = {0.0, 1.0}, q_before[2] = {1.0, 0.0};  // y_(-2), y_(-1) in terms of themselves
    for (int k = 0; k < 4; ++k) {
        if (k > 0) h_[k] = -a1_ * h_[k - 1] - (k > 1 ? a2_ * h_[k - 2] : 0.0);
        from_last_[k] = -a1_ * p_before[1] - a2_ * p_before[0];
        from_before_[k] = -a1_ * q_before[1] - a2_ * q_before[0];
        p_before[0] = p_before[1], p_before[1] = from_last_[k];
        q_before[0] = q_before[1], q_before[1] = from_before_[k];
    }
}

namespace {

using Pair = double __attribute__((vector_size(16)));  // two lanes of 64 bits

}  // namespace

// Four frames at a time, each output computed from the two outputs before
// the four: the recursion's chain of latency then spans four frames instead
// of one, and the products in between run two by two, side by side.
void LowPass::process(float* samples, std::uint32_t frames) {
    const double b0 = b0_, b1 = b1_, a1 = a1_, a2 = a2_;
    const Pair h_second = {0.0, h_[1]}, h_third = {h_[1], h_[1]}, h_fourth = {h_[2], h_[2]};
    const Pair h_last = {0.0, h_[3]};
    const Pair last_01 = {from_last_[0], from_last_[1]}, last_23 = {from_last_[2], from_last_[3]};
    const Pair before_01 = {from_before_[0], from_before_[1]}, before_23 = {from_before_[2], from_before_[3]};
    double x1 = x1_, x2 = x2_, y1 = y1_, y2 = y2_;
    std::uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        const Pair x_01 = {samples[i], samples[i + 1]}, x_23 = {samples[i + 2], samples[i + 3]};
        const Pair back_01 = {x1, x_01[0]}, back_23 = {x_01[1], x_23[0]};  // each frame's input before
        const Pair two_01 = {x2, x1};                                     // and two before
        const Pair f_01 = b0 * (x_01 + two_01) + b1 * back_01;           // b2 equals b0 in a low-pass
        const Pair f_23 = b0 * (x_23 + x_01) + b1 * back_23;
        const Pair f0 = {f_01[0], f_01[0]}, f_12 = {f_01[1], f_23[0]};
        const Pair history_01 = last_01 * y1 + before_01 * y2, history_23 = last_23 * y1 + before_23 * y2;
        const Pair out_01 = (f_01 + h_second * f0) + history_01;
        const Pair out_23 = (((f_23 + h_third * f_12) + h_fourth * f_01) + h_last * f0) + history_23;
        samples[i] = static_cast<float>(out_01[0]);
        samples[i + 1] = static_cast<float>(out_01[1]);
        samples[i + 2] = static_cast<float>(out_23[0]);
        samples[i + 3] = static_cast<float>(out_23[1]);
        x2 = x_23[0], x1 = x_23[1], y2 = out_23[0], y1 = out_23[1];
    }
    for (; i < frames; ++i) {  // direct form I for the last frames
        double x = samples[i];
        double y = b0 * (x + x2) + b1 * x1 - a2 * y2 - a1 * y1;
        samples[i] = static_cast<float>(y);
        x2 = x1, x1 = x, y2 = y1, y1 = y;
    }
    x1_ = x1, x2_ = x2, y1_ = y1, y2_ = y2;
}

void LowPass::flush_tiny() {
    for (double* state : {&x1_, &x2_, &y1_, &y2_})
        if (std::fabs(*state) < kTiny) *state = 0.0;
}

}  // namespace ostina::synth
