// Tone oscillators and a seeded noise source that render mono samples on
// demand, continuing seamlessly from one render to the next.
#pragma once

#include <cmath>
#include <cstdint>

#include "samples.hpp"
#include "staged.hpp"

namespace ostina::oscillator {

inline constexpr double kPi = 3.141592653589793;

// Waveforms over one cycle, phase p in [0, 1), peak 1.
struct SineWave {
    // p + p is exact, so the argument carries a single rounding (the
    // product with pi), the same at every phase.
    double operator()(double p) const { return std::sin((p + p) * kPi); }
};

struct SquareWave {
    double operator()(double p) const { return p < 0.5 ? 1.0 : -1.0; }
};

struct SawWave {
    double operator()(double p) const { return (p + p) - 1.0; }
};

// A phase accumulator; the waveform is the only difference between tones.
// Parameters are unchecked: a zero rate gives a NaN phase, a negative
// frequency runs the phase backwards.
template <class Wave>
struct ToneOscillator {
    double frequency = 440.0;
    double amplitude = 1.0;
    std::uint32_t sample_rate = 44100;
    double phase = 0.0;  // in cycles, kept in [0, 1)

    // The phase after a render, put in place once its samples are delivered.
    struct AdvancePhase {
        double phase;
        void apply(ToneOscillator& tone) const noexcept { tone.phase = phase; }
    };

    // The next `frames` samples; throws Fault "capacity overflow" for an
    // unrepresentable count.
    Staged<Samples, AdvancePhase> render(std::uint64_t frames) const;
};

extern template struct ToneOscillator<SineWave>;
extern template struct ToneOscillator<SquareWave>;
extern template struct ToneOscillator<SawWave>;

using SineOscillator = ToneOscillator<SineWave>;
using SquareOscillator = ToneOscillator<SquareWave>;
using SawOscillator = ToneOscillator<SawWave>;

// Linear congruential noise, uniform in [-amplitude, amplitude).
struct NoiseSource {
    double amplitude = 1.0;
    std::uint64_t state = 42;  // the seed until the first render

    struct AdvanceState {
        std::uint64_t state;
        void apply(NoiseSource& noise) const noexcept { noise.state = state; }
    };

    // As ToneOscillator::render.
    Staged<Samples, AdvanceState> render(std::uint64_t frames) const;
};

}  // namespace ostina::oscillator
