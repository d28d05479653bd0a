// The one list of the classes the module exposes: it declares each class's
// Bound specialisation here and is the exec step's registration table in
// module.cpp. A class file defines `definition()` for the types of its area.
#pragma once

#include "audio.hpp"
#include "audio_output.hpp"
#include "frame.hpp"
#include "midi.hpp"
#include "midi_input.hpp"
#include "mixer.hpp"
#include "oscillator.hpp"
#include "sampler.hpp"
#include "sequencer.hpp"

namespace ostina::py {

// X(area, Name) for every class the module registers, in registration order:
// the engine type area::Name, exposed to Python as Name.
#define OSTINA_CLASSES(X)                                                             \
    X(audio, AudioFormat)                                                             \
    X(audio, AudioBuffer)                                                             \
    X(midi, MidiChannel)                                                              \
    X(midi, Note)                                                                     \
    X(midi, Velocity)                                                                 \
    X(midi, MidiMessage)                                                              \
    X(midi, MidiEvent)                                                                \
    X(oscillator, SineOscillator)                                                     \
    X(oscillator, SquareOscillator)                                                   \
    X(oscillator, SawOscillator)                                                      \
    X(oscillator, NoiseSource)                                                        \
    X(mixer, MixerChannel)                                                            \
    X(mixer, Mixer)                                                                   \
    X(sequencer, Step)                                                                \
    X(sequencer, Pattern)                                                             \
    X(sequencer, NoteEvent)                                                           \
    X(sequencer, EventSequence)                                                       \
    X(sequencer, TransportClock)                                                      \
    X(sequencer, StepSequencer)                                                       \
    X(sampler, AudioSample)                                                           \
    X(sampler, Envelope)                                                              \
    X(sampler, SampleMapping)                                                         \
    X(sampler, SampleMap)                                                             \
    X(sampler, Sampler)                                                               \
    X(audio_output, AudioOutput)                                                      \
    X(midi_input, MidiInput)

#define OSTINA_BOUND(area, Name)                                 \
    template <>                                                  \
    struct Bound<area::Name> {                                   \
        static constexpr bool value = true;                      \
        static constexpr const char* name = #Name;               \
        static const ClassDefinition& definition();              \
    };

OSTINA_CLASSES(OSTINA_BOUND)

#undef OSTINA_BOUND

// A class whose objects stay on the thread that created them, with the full
// name its confinement messages use.
#define OSTINA_CONFINED(Engine, FullName)                        \
    template <>                                                  \
    struct Confinement<Engine> {                                 \
        static constexpr const char* name = FullName;            \
    }

OSTINA_CONFINED(audio_output::AudioOutput, pinned::kAudioOutputName);
OSTINA_CONFINED(midi_input::MidiInput, pinned::kMidiInputName);

#undef OSTINA_CONFINED

}  // namespace ostina::py
