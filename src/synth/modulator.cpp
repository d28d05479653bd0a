#include "synth/modulator.hpp"

#include <algorithm>
#include <cmath>

namespace ostina::synth {
namespace {

constexpr double kCurveScale = 40.0 / 96.0;  // the curves span 96 dB: 20/96 * log10 of a square

// Concave rises slowly, then steeply: -(20/96) log10((1 - x)^2), so that a
// falling controller scaled to 960 cB attenuates by 40 log10(127 / v) dB.
double concave(double x) { return x >= 1.0 ? 1.0 : std::clamp(-kCurveScale * std::log10(1.0 - x), 0.0, 1.0); }

// Convex is concave turned around: steep first, then slow.
double convex(double x) { return x <= 0.0 ? 0.0 : std::clamp(1.0 + kCurveScale * std::log10(x), 0.0, 1.0); }

double shaped(ModulatorSource::Curve curve, double x) {
    switch (curve) {
        case ModulatorSource::Curve::concave: return concave(x);
        case ModulatorSource::Curve::convex: return convex(x);
        case ModulatorSource::Curve::toggle: return x >= 0.5 ? 1.0 : 0.0;
        case ModulatorSource::Curve::linear: break;
    }
    return x;
}

struct Raw {
    double value;   // 0 to `maximum`
    double centre;  // where a bipolar source is 0
    double maximum;
};

// The source's value before its direction, polarity and curve; false for
// "no controller" and for sources this core does not know.
bool read_raw(ModulatorSource source, const ControllerState& state, Raw& raw) {
    if (source.is_controller()) {
        raw = {static_cast<double>(state.controllers[source.index()]), 64.0, 127.0};
        return true;
    }
    switch (source.index()) {
        case ModulatorSource::kNoteOnVelocity: raw = {double(state.velocity), 64.0, 127.0}; return true;
        case ModulatorSource::kNoteOnKey: raw = {double(state.key), 64.0, 127.0}; return true;
        case ModulatorSource::kPolyPressure: raw = {double(state.poly_pressure), 64.0, 127.0}; return true;
        case ModulatorSource::kChannelPressure: raw = {double(state.channel_pressure), 64.0, 127.0}; return true;
        case ModulatorSource::kPitchWheel: raw = {double(state.pitch_wheel), 8192.0, 16383.0}; return true;
        case ModulatorSource::kPitchWheelSensitivity:
            raw = {state.pitch_wheel_sensitivity, 64.0, 127.0};
            return true;
        default: return false;  // no controller, or one this core does not know
    }
}

}  // namespace

double source_value(ModulatorSource source, const ControllerState& state) {
    Raw raw{};
    if (!read_raw(source, state, raw)) return source.index() == ModulatorSource::kNone ? 1.0 : 0.0;
    if (source.bipolar()) {
        // Centred, so that a controller at rest (64, or the wheel at 8192) adds nothing.
        double y = std::clamp((raw.value - raw.centre) / raw.centre, -1.0, 1.0);
        if (source.descending()) y = -y;
        if (source.curve() == ModulatorSource::Curve::toggle) return y < 0.0 ? -1.0 : 1.0;
        double magnitude = shaped(source.curve(), std::fabs(y));
        return y < 0.0 ? -magnitude : magnitude;
    }
    double x = std::clamp(raw.value / raw.maximum, 0.0, 1.0);
    if (source.descending()) x = (raw.maximum - std::clamp(raw.value, 0.0, raw.maximum)) / raw.maximum;
    return shaped(source.curve(), x);
}

bool moves(ModulatorSource source) {
    if (source.is_controller()) return true;
    std::uint8_t index = source.index();
    return index != ModulatorSource::kNone && index != ModulatorSource::kNoteOnVelocity &&
           index != ModulatorSource::kNoteOnKey;
}

double SourceCache::value(ModulatorSource source, const ControllerState& state) {
    bool shared = moves(source) && !(source.index() == ModulatorSource::kPolyPressure && !source.is_controller());
    if (!shared) return source_value(source, state);
    for (std::size_t i = 0; i < size_; ++i)
        if (sources_[i] == source.bits) return values_[i];
    double value = source_value(source, state);
    if (size_ < kSize) {
        sources_[size_] = source.bits;
        values_[size_++] = value;
    }
    return value;
}

double contribution(const Modulator& modulator, const ControllerState& state, SourceCache* cache) {
    auto read = [&](ModulatorSource source) {
        return cache ? cache->value(source, state) : source_value(source, state);
    };
    double value = modulator.amount * read(modulator.source) * read(modulator.amount_source);
    return modulator.transform == Modulator::kAbsoluteValue ? std::fabs(value) : value;
}

double least_contribution(const Modulator& modulator, const ControllerState& state) {
    if (!moves(modulator.source) && !moves(modulator.amount_source)) return contribution(modulator, state);
    if (modulator.transform == Modulator::kAbsoluteValue) return 0.0;
    bool bipolar = (moves(modulator.source) && modulator.source.bipolar()) ||
                   (moves(modulator.amount_source) && modulator.amount_source.bipolar());
    double amount = modulator.amount;
    return bipolar ? -std::fabs(amount) : std::min(amount, 0.0);
}

namespace {

constexpr std::uint16_t kController = 0x80;
constexpr std::uint16_t kDescending = 0x100;
constexpr std::uint16_t kBipolar = 0x200;
constexpr std::uint16_t kConcave = 1 << 10;

constexpr ModulatorSource source(std::uint16_t bits) { return {bits}; }

// SoundFont 2.04 also lists note-on velocity to the filter's cutoff (-2400
// cents). It is left out, as fluidsynth and the other players measured
// leave it out in effect: with it, a soft note of a real soundfont sounds
// far duller than the soundfont's makers heard it. A zone may declare it.
constexpr Modulator kDefaults[] = {
    // Note-on velocity to attenuation.
    {source(kConcave | kDescending | ModulatorSource::kNoteOnVelocity), Generator::initialAttenuation, 960, {}, 0},
    // Channel pressure and the modulation wheel (CC1) to vibrato depth.
    {source(ModulatorSource::kChannelPressure), Generator::vibLfoToPitch, 50, {}, 0},
    {source(kController | 1), Generator::vibLfoToPitch, 50, {}, 0},
    // Volume (CC7) and expression (CC11) to attenuation, pan (CC10) to pan:
    // 500 tenths of a percent, so that the controller's whole range spans the
    // pan's (an amount of 1000 would reach the side at half the range).
    {source(kConcave | kDescending | kController | 7), Generator::initialAttenuation, 960, {}, 0},
    {source(kBipolar | kController | 10), Generator::pan, 500, {}, 0},
    {source(kConcave | kDescending | kController | 11), Generator::initialAttenuation, 960, {}, 0},
    // Reverb (CC91) and chorus (CC93) sends.
    {source(kController | 91), Generator::reverbEffectsSend, 200, {}, 0},
    {source(kController | 93), Generator::chorusEffectsSend, 200, {}, 0},
    // The pitch wheel, scaled by its sensitivity, to the pitch in cents.
    {source(kBipolar | ModulatorSource::kPitchWheel), Generator::fineTune, 12700,
     source(ModulatorSource::kPitchWheelSensitivity), 0},
};

}  // namespace

std::span<const Modulator> default_modulators() { return kDefaults; }

}  // namespace ostina::synth
