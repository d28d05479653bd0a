#include "midi.hpp"

#include <cmath>

#include "errors.hpp"
#include "format.hpp"

namespace ostina::midi {
namespace {

// U+2013 EN DASH in UTF-8, spelled as bytes so the text does not depend on
// the compiler's execution character set.
constexpr std::string_view kEnDash = "\xE2\x80\x93";

constexpr double kA4Hz = 440.0;
constexpr double kA4Note = 69.0;
constexpr double kNotesPerOctave = 12.0;
constexpr double kLowestNote = 0.0;
constexpr double kHighestNote = 127.0;

std::string field_text(std::unsigned_integral auto value) { return concat(value); }

template <class Kind>
std::string field_text(RangedByte<Kind> value) {
    return debug_text(value);
}

struct IgnoreField {
    void operator()(std::string_view, const auto&) const {}
};

template <class Variant>
concept HasFields = requires(const Variant& message) { message.each_field(IgnoreField{}); };

// "Name { a: x, b: y }" for variants with fields, "Name" for the others.
template <class Variant>
std::string variant_text(const Variant& message) {
    std::string text(Variant::kName);
    if constexpr (HasFields<Variant>) {
        std::string_view separator = " { ";
        message.each_field([&](std::string_view name, const auto& value) {
            text += concat(separator, name, ": ", field_text(value));
            separator = ", ";
        });
        text += " }";
    }
    return text;
}

}  // namespace

void throw_out_of_range(std::string_view kind, unsigned value, unsigned maximum) {
    throw ValueError(concat(kind, " out of range: ", value, " (must be 0", kEnDash, maximum, ")"));
}

std::string value_text(std::string_view kind, std::uint8_t value) {
    return concat(kind, "(", value, ")");
}

double to_hz(Note note) {
    // Scaling by 440 after exp2, not folding it into the exponent, keeps note
    // 69 at exactly 440.0 and pins every other result bit.
    return std::exp2((static_cast<double>(note.value()) + -kA4Note) / kNotesPerOctave) * kA4Hz;
}

Note note_from_hz(double hz) {
    const double nearest = std::round(std::log2(hz / kA4Hz) * kNotesPerOctave + kA4Note);
    // The negated comparison also sends NaN (negative or NaN hz) to the lowest note.
    if (!(nearest > kLowestNote)) return Note::make(0);
    if (nearest > kHighestNote) return Note::make(127);
    return Note::make(static_cast<std::uint8_t>(nearest));
}

// Braced initialisers evaluate left to right, so the first bad argument in
// parameter order is the one reported.
MidiMessage note_on(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity) {
    return NoteOn{MidiChannel::make(channel), Note::make(note), Velocity::make(velocity)};
}

MidiMessage note_off(std::uint8_t channel, std::uint8_t note, std::uint8_t velocity) {
    return NoteOff{MidiChannel::make(channel), Note::make(note), Velocity::make(velocity)};
}

MidiMessage control_change(std::uint8_t channel, std::uint8_t control, std::uint8_t value) {
    return ControlChange{MidiChannel::make(channel), ControlNumber::make(control), value};
}

MidiMessage program_change(std::uint8_t channel, std::uint8_t program) {
    return ProgramChange{MidiChannel::make(channel), program};
}

MidiMessage pitch_bend(std::uint8_t channel, std::uint16_t value) {
    return PitchBend{MidiChannel::make(channel), value};
}

MidiMessage clock() { return Clock{}; }
MidiMessage start() { return Start{}; }
MidiMessage stop() { return Stop{}; }

std::string debug_text(const MidiMessage& message) {
    return std::visit([](const auto& variant) { return variant_text(variant); }, message);
}

}  // namespace ostina::midi
