// MIDI values, note/frequency conversion and MIDI messages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

namespace ostina::midi {

// Throws the ValueError every ranged value reports, e.g.
// "Note out of range: 200 (must be 0–127)".
[[noreturn]] void throw_out_of_range(std::string_view kind, unsigned value, unsigned maximum);

// One byte that is only ever built through make(), so a value held anywhere
// is within 0..Kind::kMaximum. Kind supplies the name used in messages.
template <class Kind>
class RangedByte {
public:
    // The lowest value: always valid, and lets messages default-construct.
    constexpr RangedByte() = default;

    static RangedByte make(std::uint8_t value) {
        if (value > Kind::kMaximum) throw_out_of_range(Kind::kName, value, Kind::kMaximum);
        return RangedByte(value);
    }

    constexpr std::uint8_t value() const { return value_; }
    friend constexpr bool operator==(RangedByte, RangedByte) = default;

private:
    constexpr explicit RangedByte(std::uint8_t value) : value_(value) {}
    std::uint8_t value_ = 0;
};

struct NoteKind {
    static constexpr std::string_view kName = "Note";
    static constexpr std::uint8_t kMaximum = 127;
};
struct VelocityKind {
    static constexpr std::string_view kName = "Velocity";
    static constexpr std::uint8_t kMaximum = 127;
};
struct MidiChannelKind {
    static constexpr std::string_view kName = "MidiChannel";
    static constexpr std::uint8_t kMaximum = 15;
};
struct ControlNumberKind {
    static constexpr std::string_view kName = "ControlNumber";
    static constexpr std::uint8_t kMaximum = 127;
};

using Note = RangedByte<NoteKind>;
using Velocity = RangedByte<VelocityKind>;
using MidiChannel = RangedByte<MidiChannelKind>;
using ControlNumber = RangedByte<ControlNumberKind>;

// "Note(60)", "MidiChannel(0)", ...
std::string value_text(std::string_view kind, std::uint8_t value);

template <class Kind>
std::string debug_text(RangedByte<Kind> value) {
    return value_text(Kind::kName, value.value());
}

// Twelve-tone equal temperament with note 69 at 440 Hz.
double to_hz(Note note);
// Nearest note, halves away from zero, clamped to 0..127 (NaN gives 0).
Note note_from_hz(double hz);

// Each message variant names itself and lists its fields once, in printing
// order, through each_field; the debug text is built from that list.
struct NoteOn {
    static constexpr std::string_view kName = "NoteOn";
    MidiChannel channel;
    Note note;
    Velocity velocity;
    bool operator==(const NoteOn&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("note", note); visit("velocity", velocity);
    }
};

struct NoteOff {
    static constexpr std::string_view kName = "NoteOff";
    MidiChannel channel;
    Note note;
    Velocity velocity;
    bool operator==(const NoteOff&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("note", note); visit("velocity", velocity);
    }
};

struct ControlChange {
    static constexpr std::string_view kName = "ControlChange";
    MidiChannel channel;
    ControlNumber control;
    std::uint8_t value = 0;
    bool operator==(const ControlChange&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("control", control); visit("value", value);
    }
};

struct ProgramChange {
    static constexpr std::string_view kName = "ProgramChange";
    MidiChannel channel;
    std::uint8_t program = 0;
    bool operator==(const ProgramChange&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("program", program);
    }
};

struct PitchBend {
    static constexpr std::string_view kName = "PitchBend";
    MidiChannel channel;
    std::uint16_t value = 0;  // as received: no centring or 14-bit split
    bool operator==(const PitchBend&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("value", value);
    }
};

struct Aftertouch {
    static constexpr std::string_view kName = "Aftertouch";
    MidiChannel channel;
    Note note;
    std::uint8_t pressure = 0;
    bool operator==(const Aftertouch&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("note", note); visit("pressure", pressure);
    }
};

struct ChannelPressure {
    static constexpr std::string_view kName = "ChannelPressure";
    MidiChannel channel;
    std::uint8_t pressure = 0;
    bool operator==(const ChannelPressure&) const = default;
    template <class Visit>
    void each_field(Visit&& visit) const {
        visit("channel", channel); visit("pressure", pressure);
    }
};

// Real-time messages carry no channel and no data.
struct Clock {
    static constexpr std::string_view kName = "Clock";
    bool operator==(const Clock&) const = default;
};
struct Start {
    static constexpr std::string_view kName = "Start";
    bool operator==(const Start&) const = default;
};
struct Stop {
    static constexpr std::string_view kName = "Stop";
    bool operator==(const Stop&) const = default;
};
struct Continue {
    static constexpr std::string_view kName = "Continue";
    bool operator==(const Continue&) const = default;
};

// The alternative order is the message tag.
using MidiMessage = std::variant<NoteOn, NoteOff, ControlChange, ProgramChange, PitchBend,
                                 Aftertouch, ChannelPressure, Clock, Start, Stop, Continue>;

// Factories from raw numbers; ranges are checked in parameter order and the
// first failure is reported.
MidiMessage note_on(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity);
MidiMessage note_off(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity);
MidiMessage control_change(std::uint8_t channel, std::uint8_t control, std::uint8_t value);
MidiMessage program_change(std::uint8_t channel, std::uint8_t program);
MidiMessage pitch_bend(std::uint8_t channel, std::uint16_t value);
MidiMessage clock();
MidiMessage start();
MidiMessage stop();

// "NoteOn { channel: MidiChannel(0), note: Note(60), velocity: Velocity(100) }", "Clock".
std::string debug_text(const MidiMessage& message);

struct MidiEvent {
    MidiMessage message;
    std::uint64_t timestamp_us = 0;
};

}  // namespace ostina::midi
