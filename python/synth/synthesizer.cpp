// Synthesizer: the channels and voices played message by message, for
// scripts and tests that hold the events themselves.
#include "classes.hpp"

namespace ostina::py {
namespace {

using synth::Synthesizer;

std::uint8_t channel_of(std::uint8_t channel) {
    if (channel > 15) throw ValueError("channel " + std::to_string(channel) + " is outside 0-15");
    return channel;
}

std::uint8_t data_of(std::uint8_t value, const char* what) {
    if (value > 127) throw ValueError(std::string(what) + " " + std::to_string(value) + " is outside 0-127");
    return value;
}

Synthesizer make_synthesizer(std::vector<SharedBank> banks, bool builtin, std::uint32_t rate,
                             std::uint32_t polyphony, bool reverb, bool chorus) {
    return Synthesizer(make_library(banks, builtin, rate), {rate, polyphony, 1.0, 1.0, reverb, chorus});
}

void note_on(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t key, std::uint8_t velocity) {
    synthesizer.note_on(channel_of(channel), data_of(key, "key"), data_of(velocity, "velocity"));
}

void note_off(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t key) {
    synthesizer.note_off(channel_of(channel), data_of(key, "key"));
}

void control_change(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t controller, std::uint8_t value) {
    synthesizer.control_change(channel_of(channel), data_of(controller, "controller"), data_of(value, "value"));
}

void program_change(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t program) {
    synthesizer.program_change(channel_of(channel), data_of(program, "program"));
}

void pitch_bend(Synthesizer& synthesizer, std::uint8_t channel, std::uint16_t value) {
    if (value > 16383) throw ValueError("pitch bend " + std::to_string(value) + " is outside 0-16383");
    synthesizer.pitch_bend(channel_of(channel), value);
}

void key_pressure(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t key, std::uint8_t value) {
    synthesizer.key_pressure(channel_of(channel), data_of(key, "key"), data_of(value, "pressure"));
}

void channel_pressure(Synthesizer& synthesizer, std::uint8_t channel, std::uint8_t value) {
    synthesizer.channel_pressure(channel_of(channel), data_of(value, "pressure"));
}

// The next frames as interleaved stereo 32-bit floats.
Bytes render(Synthesizer& synthesizer, std::uint32_t frames) {
    check_frames(frames);
    std::vector<float> left(frames), right(frames);
    synthesizer.render(left.data(), right.data(), frames);
    std::vector<float> interleaved(std::size_t{frames} * 2);
    for (std::uint32_t i = 0; i < frames; ++i) {
        interleaved[2 * i] = left[i];
        interleaved[2 * i + 1] = right[i];
    }
    return bytes_of(interleaved);
}

std::uint64_t active_voices(const Synthesizer& synthesizer) { return synthesizer.active_voices(); }

}  // namespace

const ClassDefinition& Bound<Synthesizer>::definition() {
    static const ClassDefinition definition = define<Synthesizer>(
        Constructor<"Synthesizer(banks=(), builtin=True, rate=44100, polyphony=256, reverb=True, chorus=True)",
                    &make_synthesizer>{},
        Method<"note_on($self, channel, key, velocity)", &note_on>{},
        Method<"note_off($self, channel, key)", &note_off>{},
        Method<"control_change($self, channel, controller, value)", &control_change>{},
        Method<"program_change($self, channel, program)", &program_change>{},
        Method<"pitch_bend($self, channel, value)", &pitch_bend>{},
        Method<"channel_pressure($self, channel, value)", &channel_pressure>{},
        Method<"key_pressure($self, channel, key, value)", &key_pressure>{},
        Method<"render($self, frames)", &render>{},
        Property<"active_voices", &active_voices>{});
    return definition;
}

}  // namespace ostina::py
