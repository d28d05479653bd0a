// TransportClock, Step, Pattern, StepSequencer, NoteEvent and EventSequence.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {

using sequencer::EventSequence;
using sequencer::NoteEvent;
using sequencer::Pattern;
using sequencer::Step;
using sequencer::StepEvent;
using sequencer::StepSequencer;
using sequencer::TransportClock;

// A step event travels as the tuple (kind, note, velocity, time in µs).
template <>
struct Convert<StepEvent> {
    static PyObject* to(const StepEvent& event) {
        PyObject* kind = event.kind == sequencer::EventKind::note_on ? shared_text<"note_on">()
                                                                     : shared_text<"note_off">();
        return to_python(std::tuple{kind, event.note, event.velocity, event.time_us});
    }
};

namespace {

// The checked byte fields (notes, velocities) read and written as numbers;
// a number out of range leaves the field as it was.
template <auto Field>
std::uint8_t byte_of(const typename MemberOf<decltype(Field)>::Class& value) {
    return (value.*Field).value();
}

template <auto Field>
void set_byte(typename MemberOf<decltype(Field)>::Class& value, std::uint8_t number) {
    value.*Field = MemberOf<decltype(Field)>::Value::make(number);
}

std::string clock_repr(const TransportClock& clock) {
    return concat("TransportClock(bpm=", format_fixed(clock.bpm(), 1), ", position=",
                  format_fixed(clock.position(), 3), ", state='", clock.state(), "')");
}

std::string step_repr(const Step& step) {
    return concat("Step(note=", step.note.value(), ", velocity=", step.velocity.value(),
                  ", duration_ticks=", step.duration_ticks, ", active=", step.active, ")");
}

std::string pattern_repr(const Pattern& pattern) {
    return concat("Pattern(length=", pattern.length(), ", active_steps=", pattern.active_steps(),
                  ", loop=", pattern.loop_enabled(), ")");
}

std::string sequencer_repr(const StepSequencer& sequencer) {
    return concat("StepSequencer(step_duration=", format_fixed(sequencer.step_duration(), 3),
                  ", current_step=", sequencer.current_step(), ")");
}

std::string note_event_repr(const NoteEvent& event) {
    return concat("NoteEvent(beat=", format_fixed(event.beat_position, 3), ", dur=", format_fixed(event.duration, 3),
                  ", note=", event.note.value(), ", vel=", event.velocity.value(), ")");
}

std::string event_sequence_repr(const EventSequence& sequence) {
    return concat("EventSequence(events=", sequence.size(), ", duration=", format_fixed(sequence.duration(), 3), ")");
}

// The channel is converted and checked before the pattern is copied.
StepSequencer new_sequencer(Later<Pattern> pattern, std::uint8_t channel) {
    const midi::MidiChannel checked = midi::MidiChannel::make(channel);
    return StepSequencer(pattern.read(), checked);
}

// Long walks stay interruptible: the poll runs the interpreter's signal handlers.
Staged<std::vector<StepEvent>, StepSequencer::Cursor> process_beat_range(
    const StepSequencer& sequencer, double start, double end) {
    return sequencer.process_beat_range(start, end, &check_signals);
}

}  // namespace

const ClassDefinition& Bound<TransportClock>::definition() {
    static const ClassDefinition definition = define<TransportClock>(
        Constructor<"TransportClock(bpm=120.0)", &construct<TransportClock, double>>{},
        WritableProperty<"bpm", &TransportClock::bpm, &TransportClock::set_bpm>{},
        Property<"position", &TransportClock::position>{},
        WritableProperty<"ticks_per_beat", &TransportClock::ticks_per_beat, &TransportClock::set_ticks_per_beat, "tpb">{},
        Property<"state", &TransportClock::state>{},
        Method<"play($self)", &TransportClock::play>{},
        Method<"pause($self)", &TransportClock::pause>{},
        Method<"stop($self)", &TransportClock::stop>{},
        Method<"seek($self, beat)", &TransportClock::seek>{},
        Method<"advance_by_frames($self, frames, sample_rate)", &TransportClock::advance_by_frames>{},
        Method<"beats_to_seconds($self, beats)", &TransportClock::beats_to_seconds>{},
        Method<"seconds_to_beats($self, seconds)", &TransportClock::seconds_to_beats>{},
        Method<"beats_to_ticks($self, beats)", &TransportClock::beats_to_ticks>{},
        Method<"ticks_to_beats($self, ticks)", &TransportClock::ticks_to_beats>{},
        Repr<&clock_repr>{});
    return definition;
}

const ClassDefinition& Bound<Step>::definition() {
    static const ClassDefinition definition = define<Step>(
        Constructor<"Step(note, velocity, duration_ticks=1)", &Step::make>{},
        WritableProperty<"note", &byte_of<&Step::note>, &set_byte<&Step::note>>{},
        WritableProperty<"velocity", &byte_of<&Step::velocity>, &set_byte<&Step::velocity>>{},
        WritableProperty<"duration_ticks", &Step::duration_ticks, &assign<&Step::duration_ticks>, "ticks">{},
        WritableProperty<"active", &Step::active, &assign<&Step::active>>{},
        Equality{},
        Repr<&step_repr>{});
    return definition;
}

const ClassDefinition& Bound<Pattern>::definition() {
    static const ClassDefinition definition = define<Pattern>(
        Constructor<"Pattern(length=16)", &construct<Pattern, std::uint64_t>>{},
        Property<"length", &Pattern::length>{},
        WritableProperty<"loop_enabled", &Pattern::loop_enabled, &Pattern::set_loop_enabled, "enabled">{},
        Method<"set_step($self, index, step)", &Pattern::set_step>{},
        Method<"get_step($self, index)", &Pattern::get_step>{},
        Method<"toggle_step($self, index)", &Pattern::toggle_step>{},
        Method<"clear($self)", &Pattern::clear>{},
        Length<&Pattern::length>{},
        Repr<&pattern_repr>{});
    return definition;
}

const ClassDefinition& Bound<StepSequencer>::definition() {
    static const ClassDefinition definition = define<StepSequencer>(
        Constructor<"StepSequencer(pattern, channel=0)", &new_sequencer>{},
        WritableProperty<"step_duration", &StepSequencer::step_duration, &StepSequencer::set_step_duration, "dur">{},
        Property<"current_step", &StepSequencer::current_step>{},
        Method<"set_pattern($self, pattern)", &StepSequencer::set_pattern>{},
        Method<"reset($self)", &StepSequencer::reset>{},
        Method<"process_beat_range($self, start, end)", &process_beat_range,
               "Process a beat range and return MIDI events as tuples.">{},
        Repr<&sequencer_repr>{});
    return definition;
}

const ClassDefinition& Bound<NoteEvent>::definition() {
    static const ClassDefinition definition = define<NoteEvent>(
        Constructor<"NoteEvent(beat_position, duration, note, velocity)", &NoteEvent::make>{},
        WritableProperty<"beat_position", &NoteEvent::beat_position, &assign<&NoteEvent::beat_position>, "pos">{},
        WritableProperty<"duration", &NoteEvent::duration, &assign<&NoteEvent::duration>, "dur">{},
        WritableProperty<"note", &byte_of<&NoteEvent::note>, &set_byte<&NoteEvent::note>>{},
        WritableProperty<"velocity", &byte_of<&NoteEvent::velocity>, &set_byte<&NoteEvent::velocity>>{},
        Method<"end_position($self)", &NoteEvent::end_position>{},
        Equality{},
        Repr<&note_event_repr>{});
    return definition;
}

const ClassDefinition& Bound<EventSequence>::definition() {
    static const ClassDefinition definition = define<EventSequence>(
        Constructor<"EventSequence()", &construct<EventSequence>>{},
        Method<"add_event($self, event)", &EventSequence::add_event>{},
        Method<"remove_event($self, index)", &EventSequence::remove_event>{},
        Method<"events($self)", &EventSequence::events>{},
        Method<"events_in_range($self, start, end)", &EventSequence::events_in_range>{},
        Method<"events_starting_in_range($self, start, end)", &EventSequence::events_starting_in_range>{},
        Method<"duration($self)", &EventSequence::duration>{},
        Method<"clear($self)", &EventSequence::clear>{},
        Length<&EventSequence::size>{},
        Repr<&event_sequence_repr>{});
    return definition;
}

}  // namespace ostina::py
