#include "synth/filter.hpp"

#include <algorithm>
#include <cmath>

#include "synth/units.hpp"

namespace ostina::synth {
namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHighestShare = 0.45;    // of the rate: the cutoff stays below Nyquist
constexpr double kButterworthDb = 3.0103; // a two-pole low-pass of no resonance is 3 dB down at its cutoff
constexpr double kTiny = 1e-20;

}  // namespace

void LowPass::tune(double cutoff_cents, double resonance_centibels, std::uint32_t rate) {
    if (cutoff_cents == cutoff_ && resonance_centibels == resonance_) return;
    cutoff_ = cutoff_cents;
    resonance_ = resonance_centibels;
    double hertz = std::min(hertz_of_absolute_cents(cutoff_cents), kHighestShare * rate);
    double height_db = std::max(resonance_centibels, 0.0) / 10.0;
    // The gain at the cutoff is Q: a resonance of 0 is Butterworth's Q of
    // 1/sqrt(2), and each decibel of height above that raises the peak.
    double q = std::pow(10.0, (height_db - kButterworthDb) / 20.0);
    double dc_gain = std::pow(10.0, -height_db / 40.0);  // down by half the height
    double w = 2.0 * kPi * hertz / rate;
    double cosine = std::cos(w), alpha = std::sin(w) / (2.0 * q);
    double a0 = 1.0 + alpha;
    b0_ = (1.0 - cosine) / 2.0 * dc_gain / a0;
    b1_ = (1.0 - cosine) * dc_gain / a0;
    a1_ = -2.0 * cosine / a0;
    a2_ = (1.0 - alpha) / a0;
}

void LowPass::flush_tiny() {
    for (double* state : {&x1_, &x2_, &y1_, &y2_})
        if (std::fabs(*state) < kTiny) *state = 0.0;
}

}  // namespace ostina::synth
