// The module entry: one exec step registers every class in table order.
#include "classes.hpp"

namespace ostina::py {
namespace {

struct Registration {
    const char* name;
    PyTypeObject* (*type)();
};

template <BoundType T>
constexpr Registration registration() {
    return {Bound<T>::name, &type_of<T>};
}

constexpr Registration kClasses[] = {
    registration<audio::AudioFormat>(),
    registration<audio::AudioBuffer>(),
    registration<midi::MidiChannel>(),
    registration<midi::Note>(),
    registration<midi::Velocity>(),
    registration<midi::MidiMessage>(),
    registration<midi::MidiEvent>(),
    registration<oscillator::SineOscillator>(),
    registration<oscillator::SquareOscillator>(),
    registration<oscillator::SawOscillator>(),
    registration<oscillator::NoiseSource>(),

    // mixer
    registration<mixer::MixerChannel>(),
    registration<mixer::Mixer>(),

    // sequencing
    registration<sequencer::Step>(),
    registration<sequencer::Pattern>(),
    registration<sequencer::NoteEvent>(),
    registration<sequencer::EventSequence>(),
    registration<sequencer::TransportClock>(),
    registration<sequencer::StepSequencer>(),

    // sampler
    registration<sampler::AudioSample>(),
    registration<sampler::Envelope>(),
    registration<sampler::SampleMapping>(),
    registration<sampler::SampleMap>(),
    registration<sampler::Sampler>(),

    // devices
    registration<audio_output::AudioOutput>(),
    registration<midi_input::MidiInput>(),
};

int exec_module(PyObject* module) {
    return guarded([&] {
        if (!PyModule_Check(module)) raise_cast_failure(module, "PyModule");
        for (const Registration& entry : kClasses) {
            auto* type = reinterpret_cast<PyObject*>(entry.type());
            if (type == nullptr || PyModule_AddObjectRef(module, entry.name, type) < 0)
                throw PythonError{};
        }
        return 0;
    }, -1);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "ostina", "", 0, nullptr, module_slots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace ostina::py

PyMODINIT_FUNC PyInit_ostina() { return PyModuleDef_Init(&ostina::py::module_definition); }
