#include "oscillator.hpp"

namespace ostina::oscillator {
namespace {

// Knuth's 64-bit multiplier: with an odd increment the generator runs
// through all 2^64 states.
constexpr std::uint64_t kLcgMultiplier = 6364136223846793005ULL;
constexpr std::uint64_t kLcgIncrement = 1;
// The low bits of a power-of-two LCG repeat quickly; keep only the top 31.
constexpr int kLcgOutputShift = 33;
// 2^30 spreads the 31-bit output over [0, 2), which the -1 offset centres on zero.
constexpr double kNoiseScale = 1073741824.0;

double noise_value(std::uint64_t state) {
    const auto bits = static_cast<double>(state >> kLcgOutputShift);
    return bits / kNoiseScale + -1.0;
}

// p - floor(p), the phase wrap. std::floor is a library call on baseline
// x86-64 and would sit on the loop's dependency chain; a phase advanced by
// less than a cycle lands in [-1, 2), where floor is -1, 0 or 1 and these
// branches give the same bits. Zero (whose sign floor keeps), NaN, infinities
// and larger steps take std::floor.
double wrap_phase(double p) {
    if (p > 0.0 && p < 1.0) return p;
    if (p >= 1.0 && p < 2.0) return p - 1.0;
    if (p >= -1.0 && p < 0.0) return p - -1.0;
    return p - std::floor(p);
}

}  // namespace

template <class Wave>
Staged<Samples, typename ToneOscillator<Wave>::AdvancePhase> ToneOscillator<Wave>::render(std::uint64_t frames) const {
    Samples samples = zeroed_samples(frames);
    const Wave wave;
    const double gain = amplitude;
    const double increment = frequency / static_cast<double>(sample_rate);
    double p = phase;
    for (float& sample : samples) {
        sample = narrow(wave(p) * gain);
        p = wrap_phase(p + increment);
    }
    return {std::move(samples), {p}};
}

template struct ToneOscillator<SineWave>;
template struct ToneOscillator<SquareWave>;
template struct ToneOscillator<SawWave>;

Staged<Samples, NoiseSource::AdvanceState> NoiseSource::render(std::uint64_t frames) const {
    Samples samples = zeroed_samples(frames);
    const double gain = amplitude;
    std::uint64_t s = state;
    for (float& sample : samples) {
        s = s * kLcgMultiplier + kLcgIncrement;
        sample = narrow(noise_value(s) * gain);
    }
    return {std::move(samples), {s}};
}

}  // namespace ostina::oscillator
