// Every engine type the module exposes, with its Python name. A class file
// defines `definition()` for the types of its area.
#pragma once

#include "audio.hpp"
#include "midi.hpp"
#include "oscillator.hpp"
// mixer

// sequencing
#include "sequencer.hpp"

// sampler

// devices

#include "frame.hpp"

namespace ostina::py {

#define OSTINA_BOUND(Engine, Name)                               \
    template <>                                                  \
    struct Bound<Engine> {                                       \
        static constexpr bool value = true;                      \
        static constexpr const char* name = Name;                \
        static const ClassDefinition& definition();              \
    }

OSTINA_BOUND(audio::AudioFormat, "AudioFormat");
OSTINA_BOUND(audio::AudioBuffer, "AudioBuffer");
OSTINA_BOUND(midi::MidiChannel, "MidiChannel");
OSTINA_BOUND(midi::Note, "Note");
OSTINA_BOUND(midi::Velocity, "Velocity");
OSTINA_BOUND(midi::MidiMessage, "MidiMessage");
OSTINA_BOUND(midi::MidiEvent, "MidiEvent");
OSTINA_BOUND(oscillator::SineOscillator, "SineOscillator");
OSTINA_BOUND(oscillator::SquareOscillator, "SquareOscillator");
OSTINA_BOUND(oscillator::SawOscillator, "SawOscillator");
OSTINA_BOUND(oscillator::NoiseSource, "NoiseSource");

// mixer

// sequencing
OSTINA_BOUND(sequencer::Step, "Step");
OSTINA_BOUND(sequencer::Pattern, "Pattern");
OSTINA_BOUND(sequencer::NoteEvent, "NoteEvent");
OSTINA_BOUND(sequencer::EventSequence, "EventSequence");
OSTINA_BOUND(sequencer::TransportClock, "TransportClock");
OSTINA_BOUND(sequencer::StepSequencer, "StepSequencer");

// sampler

// devices

#undef OSTINA_BOUND

}  // namespace ostina::py
