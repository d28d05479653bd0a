// Every engine type the module exposes, with its Python name. A class file
// defines `definition()` for the types of its area.
#pragma once

#include "audio.hpp"
#include "midi.hpp"
#include "oscillator.hpp"
// mixer
#include "mixer.hpp"

// sequencing
#include "sequencer.hpp"

// sampler
#include "sampler.hpp"

// devices
#include "audio_output.hpp"
#include "midi_input.hpp"

#include "frame.hpp"

namespace ostina::py {

#define OSTINA_BOUND(Engine, Name)                               \
    template <>                                                  \
    struct Bound<Engine> {                                       \
        static constexpr bool value = true;                      \
        static constexpr const char* name = Name;                \
        static const ClassDefinition& definition();              \
    }

// A class whose objects stay on the thread that created them, with the full
// name its confinement messages use.
#define OSTINA_CONFINED(Engine, FullName)                        \
    template <>                                                  \
    struct Confinement<Engine> {                                 \
        static constexpr const char* name = FullName;            \
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
OSTINA_BOUND(mixer::MixerChannel, "MixerChannel");
OSTINA_BOUND(mixer::Mixer, "Mixer");

// sequencing
OSTINA_BOUND(sequencer::Step, "Step");
OSTINA_BOUND(sequencer::Pattern, "Pattern");
OSTINA_BOUND(sequencer::NoteEvent, "NoteEvent");
OSTINA_BOUND(sequencer::EventSequence, "EventSequence");
OSTINA_BOUND(sequencer::TransportClock, "TransportClock");
OSTINA_BOUND(sequencer::StepSequencer, "StepSequencer");

// sampler
OSTINA_BOUND(sampler::AudioSample, "AudioSample");
OSTINA_BOUND(sampler::Envelope, "Envelope");
OSTINA_BOUND(sampler::SampleMapping, "SampleMapping");
OSTINA_BOUND(sampler::SampleMap, "SampleMap");
OSTINA_BOUND(sampler::Sampler, "Sampler");

// devices
OSTINA_BOUND(audio_output::AudioOutput, "AudioOutput");
OSTINA_BOUND(midi_input::MidiInput, "MidiInput");
OSTINA_CONFINED(audio_output::AudioOutput, "ostina::audio_output::PyAudioOutput");
OSTINA_CONFINED(midi_input::MidiInput, "ostina::midi_input::PyMidiInput");

#undef OSTINA_BOUND
#undef OSTINA_CONFINED

}  // namespace ostina::py
