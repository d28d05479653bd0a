// SoundFont units to engine quantities, each converted once where a
// generator's value becomes a frame count, a gain or a frequency.
#pragma once

#include <cmath>
#include <cstdint>

namespace ostina::synth {

// Timecents: seconds = 2^(tc / 1200).
inline double seconds_of_timecents(double timecents) { return std::exp2(timecents / 1200.0); }

// A time in timecents as a whole number of frames at `rate`, at least `minimum`.
inline std::uint32_t frames_of_timecents(double timecents, std::uint32_t rate, std::uint32_t minimum = 0) {
    double frames = std::round(seconds_of_timecents(timecents) * rate);
    if (!(frames >= minimum)) return minimum;
    return frames >= 4e9 ? 4'000'000'000u : static_cast<std::uint32_t>(frames);
}

// Centibels of attenuation: gain = 10^(-cB / 200).
inline double gain_of_centibels(double centibels) { return std::pow(10.0, -centibels / 200.0); }

// Cents: a frequency ratio of 2^(cents / 1200).
inline double ratio_of_cents(double cents) { return std::exp2(cents / 1200.0); }

// Absolute cents: 6900 is 440 Hz, so 0 is 8.176 Hz (MIDI key 0).
inline double hertz_of_absolute_cents(double cents) { return 440.0 * std::exp2((cents - 6900.0) / 1200.0); }
inline double absolute_cents_of_hertz(double hertz) { return 6900.0 + 1200.0 * std::log2(hertz / 440.0); }

// A level in decibels as a gain: the inverse of attenuation, 10 cB to the dB.
inline double gain_of_decibels(double decibels) { return gain_of_centibels(-10.0 * decibels); }

}  // namespace ostina::synth
