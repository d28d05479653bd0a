// Modulators: a controller's value, shaped by a curve, scaled by an amount
// (and a second source) and added to a generator of every voice, as the
// SoundFont 2.04 format defines them, with its default modulators.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "synth/generators.hpp"

namespace ostina::synth {

// A source, packed as SoundFont 2.04 packs it: bits 0-6 the index, bit 7
// set for a MIDI controller (else the general palette), bit 8 the direction
// (set: from max to min), bit 9 the polarity (set: bipolar), bits 10-15 the
// curve type.
struct ModulatorSource {
    std::uint16_t bits = 0;

    // The general palette's indices.
    static constexpr std::uint8_t kNone = 0;
    static constexpr std::uint8_t kNoteOnVelocity = 2;
    static constexpr std::uint8_t kNoteOnKey = 3;
    static constexpr std::uint8_t kPolyPressure = 10;
    static constexpr std::uint8_t kChannelPressure = 13;
    static constexpr std::uint8_t kPitchWheel = 14;
    static constexpr std::uint8_t kPitchWheelSensitivity = 16;

    enum class Curve : std::uint8_t { linear = 0, concave = 1, convex = 2, toggle = 3 };

    std::uint8_t index() const { return bits & 0x7F; }
    bool is_controller() const { return (bits & 0x80) != 0; }
    bool descending() const { return (bits & 0x100) != 0; }
    bool bipolar() const { return (bits & 0x200) != 0; }
    Curve curve() const { return static_cast<Curve>(bits >> 10); }
};

struct Modulator {
    static constexpr std::uint16_t kLinear = 0, kAbsoluteValue = 2;  // the transforms offered

    ModulatorSource source;
    Generator destination = Generator::initialAttenuation;
    std::int16_t amount = 0;
    ModulatorSource amount_source;  // scales `amount`; "no controller" reads as 1
    std::uint16_t transform = kLinear;

    // Modulators are the same one when everything but their amount agrees:
    // a zone's modulator then replaces a default one instead of adding to it.
    bool same_kind(const Modulator& other) const {
        return source.bits == other.source.bits && destination == other.destination &&
               amount_source.bits == other.amount_source.bits && transform == other.transform;
    }
};

// What a modulator's sources read: the note's and its channel's state.
struct ControllerState {
    std::uint8_t velocity = 0;
    std::uint8_t key = 0;
    std::uint8_t poly_pressure = 0;
    std::uint8_t channel_pressure = 0;
    std::uint16_t pitch_wheel = 8192;  // 14 bits, 8192 the centre
    // The pitch wheel's range as a source: semitones plus cents / 100,
    // read against 127 as a unipolar value.
    double pitch_wheel_sensitivity = 2.0;
    const std::uint8_t* controllers = nullptr;  // 128 MIDI controller values
};

// A source's value after its direction, polarity and curve: 0 to 1, or -1
// to 1 for a bipolar one (centred on 64, on 8192 for the pitch wheel).
double source_value(ModulatorSource source, const ControllerState& state);

// Source values read once and kept: those that read only the channel's
// state (its controllers, pressure and wheel), which every voice of the
// channel shares.
class SourceCache {
public:
    double value(ModulatorSource source, const ControllerState& state);

private:
    static constexpr std::size_t kSize = 16;
    std::array<std::uint16_t, kSize> sources_{};
    std::array<double, kSize> values_{};
    std::size_t size_ = 0;
};

// Whether a source can move while a note sounds: the MIDI controllers, the
// pressures and the pitch wheel can; "no controller", the key and the
// velocity cannot.
bool moves(ModulatorSource source);

// What a modulator adds to its destination now.
double contribution(const Modulator& modulator, const ControllerState& state, SourceCache* cache = nullptr);

// The least a modulator may add while its note sounds: what it adds now when
// it reads only the note (its key, its velocity), else the least its
// controllers could make it add.
double least_contribution(const Modulator& modulator, const ControllerState& state);

// SoundFont 2.04's default modulators, which every voice has unless a
// zone's modulator of the same kind replaces one.
std::span<const Modulator> default_modulators();

}  // namespace ostina::synth
