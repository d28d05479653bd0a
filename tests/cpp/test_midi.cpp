// MIDI engine cases that no Python call reaches or that are best pinned here:
// the variants never built from Python, message bytes and float edges.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "midi.hpp"

using namespace ostina::midi;
using ostina::ValueError;

namespace {

// Written as explicit bytes so a hyphen or another encoding cannot pass.
const std::string kEnDash = "\xE2\x80\x93";

std::string range_text(const char* kind, int value, int maximum) {
    return std::string(kind) + " out of range: " + std::to_string(value) + " (must be 0" + kEnDash +
           std::to_string(maximum) + ")";
}

struct Named {
    MidiMessage message;
    const char* text;
};

// One message per variant, in tag order.
std::vector<Named> every_variant() {
    return {
        {note_on(0, 60, 100), "NoteOn { channel: MidiChannel(0), note: Note(60), velocity: Velocity(100) }"},
        {note_off(3, 0, 0), "NoteOff { channel: MidiChannel(3), note: Note(0), velocity: Velocity(0) }"},
        {control_change(1, 7, 200), "ControlChange { channel: MidiChannel(1), control: ControlNumber(7), value: 200 }"},
        {program_change(2, 255), "ProgramChange { channel: MidiChannel(2), program: 255 }"},
        {pitch_bend(15, 65535), "PitchBend { channel: MidiChannel(15), value: 65535 }"},
        {Aftertouch{MidiChannel::make(0), Note::make(60), 64}, "Aftertouch { channel: MidiChannel(0), note: Note(60), pressure: 64 }"},
        {ChannelPressure{MidiChannel::make(0), 64}, "ChannelPressure { channel: MidiChannel(0), pressure: 64 }"},
        {clock(), "Clock"},
        {start(), "Start"},
        {stop(), "Stop"},
        {Continue{}, "Continue"},
    };
}

// ControlNumber has no Python class, so its limit is pinned only here.
void test_range_limits_and_messages() {
    CHECK_EQ(ControlNumber::make(127).value(), 127);
    CHECK_EQ(MidiChannel::make(15).value(), 15);
    CHECK_THROWS(ValueError, range_text("ControlNumber", 128, 127), ControlNumber::make(128));
    CHECK_THROWS(ValueError, range_text("Velocity", 255, 127), Velocity::make(255));
    CHECK_THROWS(ValueError, range_text("MidiChannel", 16, 15), MidiChannel::make(16));
}

// The first bad argument in parameter order is the one reported.
void test_factory_check_order() {
    CHECK_THROWS(ValueError, range_text("MidiChannel", 16, 15), note_on(16, 128, 128));
    CHECK_THROWS(ValueError, range_text("Note", 128, 127), note_off(0, 128, 128));
    CHECK_THROWS(ValueError, range_text("Velocity", 128, 127), note_on(0, 60, 128));
    CHECK_THROWS(ValueError, range_text("MidiChannel", 16, 15), control_change(16, 128, 0));
    CHECK_THROWS(ValueError, range_text("ControlNumber", 128, 127), control_change(0, 128, 0));
}

void test_debug_text_of_every_variant() {
    const auto cases = every_variant();
    for (std::size_t tag = 0; tag < cases.size(); ++tag) {
        CHECK_EQ(cases[tag].message.index(), tag);
        CHECK_EQ(debug_text(cases[tag].message), cases[tag].text);
    }
}

void test_equality_is_per_variant_and_field() {
    const auto cases = every_variant();
    for (std::size_t i = 0; i < cases.size(); ++i)
        for (std::size_t j = 0; j < cases.size(); ++j) CHECK_EQ(cases[i].message == cases[j].message, i == j);
    CHECK(note_on(0, 60, 100) == note_on(0, 60, 100));
    CHECK(!(note_on(0, 60, 100) == note_off(0, 60, 100)));
    CHECK(!(note_on(0, 60, 100) == note_on(0, 60, 99)));
    CHECK(!(pitch_bend(0, 8192) == pitch_bend(1, 8192)));
}

void test_to_hz_values() {
    struct Case { int note; double hz; };
    const Case cases[] = {{69, 440.0}, {21, 27.5}, {60, 261.6255653005986},
                          {0, 8.175798915643707}, {127, 12543.853951415975}};
    for (const auto& c : cases) CHECK_EQ(to_hz(Note::make(c.note)), c.hz);
}

void test_note_from_hz_rounds_and_clamps() {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    struct Case { double hz; int note; };
    const Case cases[] = {
        {440.0, 69}, {261.63, 60}, {269.2917795270241, 61},  // exactly 60.5: away from zero
        {0.0, 0}, {-5.0, 0}, {-kInf, 0}, {std::nan(""), 0}, {1e6, 127}, {kInf, 127},
        {8.0, 0}, {12543.853951415975, 127},
    };
    for (const auto& c : cases) CHECK_EQ(note_from_hz(c.hz).value(), c.note);
    CHECK_EQ(std::log2(269.2917795270241 / 440.0) * 12.0 + 69.0, 60.5);
    for (int n = 0; n <= 127; ++n) CHECK_EQ(note_from_hz(to_hz(Note::make(n))).value(), n);
}

}  // namespace

int main() {
    test_range_limits_and_messages();
    test_factory_check_order();
    test_debug_text_of_every_variant();
    test_equality_is_per_variant_and_field();
    test_to_hz_values();
    test_note_from_hz_rounds_and_clamps();
    return check::finish();
}
