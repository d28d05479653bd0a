// Note, Velocity, MidiChannel, MidiMessage and MidiEvent.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using midi::MidiEvent;
using midi::MidiMessage;

template <class Value>
std::string number_text(Value value) {
    return concat(value.value());
}

// The three checked byte values share everything but their name, their
// range and (for notes) the frequency conversions.
template <class Value, FixedString Text, class... Extra>
ClassDefinition define_ranged(Extra... extra) {
    return define<Value>(
        Constructor<Text, &Value::make>{},
        Property<"value", &Value::value>{},
        Repr<static_cast<std::string (*)(Value)>(&midi::debug_text)>{},
        Str<&number_text<Value>>{},
        Equality{},
        extra...);
}

std::string message_repr(const MidiMessage& message) {
    return concat("MidiMessage(", midi::debug_text(message), ")");
}

std::string event_repr(const MidiEvent& event) {
    return concat("MidiEvent(", midi::debug_text(event.message), ", timestamp_us=", event.timestamp_us, ")");
}

}  // namespace

const ClassDefinition& Bound<midi::MidiChannel>::definition() {
    static const ClassDefinition definition = define_ranged<midi::MidiChannel, "MidiChannel(value)">();
    return definition;
}

const ClassDefinition& Bound<midi::Note>::definition() {
    static const ClassDefinition definition = define_ranged<midi::Note, "Note(value)">(
        Method<"to_hz($self)", &midi::to_hz>{},
        StaticMethod<"from_hz(hz)", &midi::note_from_hz>{});
    return definition;
}

const ClassDefinition& Bound<midi::Velocity>::definition() {
    static const ClassDefinition definition = define_ranged<midi::Velocity, "Velocity(value)">();
    return definition;
}

const ClassDefinition& Bound<MidiMessage>::definition() {
    static const ClassDefinition definition = define<MidiMessage>(
        StaticMethod<"note_on(channel, note, velocity)", &midi::note_on>{},
        StaticMethod<"note_off(channel, note, velocity)", &midi::note_off>{},
        StaticMethod<"control_change(channel, control, value)", &midi::control_change>{},
        StaticMethod<"program_change(channel, program)", &midi::program_change>{},
        StaticMethod<"pitch_bend(channel, value)", &midi::pitch_bend>{},
        StaticMethod<"clock()", &midi::clock>{},
        StaticMethod<"start()", &midi::start>{},
        StaticMethod<"stop()", &midi::stop>{},
        Repr<&message_repr>{},
        Str<static_cast<std::string (*)(const MidiMessage&)>(&midi::debug_text)>{},
        Equality{});
    return definition;
}

const ClassDefinition& Bound<MidiEvent>::definition() {
    static const ClassDefinition definition = define<MidiEvent>(
        Constructor<"MidiEvent(message, timestamp_us)", &construct<MidiEvent, MidiMessage, std::uint64_t>>{},
        Property<"message", &MidiEvent::message>{},
        Property<"timestamp_us", &MidiEvent::timestamp_us>{},
        Repr<&event_repr>{});
    return definition;
}

}  // namespace ostina::py
