// SineOscillator, SquareOscillator, SawOscillator and NoiseSource.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using oscillator::NoiseSource;

template <class Tone>
std::string tone_repr(const Tone& tone) {
    return concat(Bound<Tone>::name, "(frequency=", format_shortest(tone.frequency),
                  ", amplitude=", format_shortest(tone.amplitude), ", sample_rate=", tone.sample_rate, ")");
}

// The three tones differ only in their waveform and name.
template <class Tone, FixedString Text>
ClassDefinition define_tone() {
    return define<Tone>(
        Constructor<Text, &construct<Tone, double, double, std::uint32_t>>{},
        Property<"frequency", &Tone::frequency>{},
        Property<"amplitude", &Tone::amplitude>{},
        Property<"sample_rate", &Tone::sample_rate>{},
        Method<"render_to_buffer($self, frames)", &Tone::render>{},
        Repr<&tone_repr<Tone>>{});
}

std::string noise_repr(const NoiseSource& noise) {
    return concat("NoiseSource(amplitude=", format_shortest(noise.amplitude), ")");
}

}  // namespace

const ClassDefinition& Bound<oscillator::SineOscillator>::definition() {
    static const ClassDefinition definition = define_tone<
        oscillator::SineOscillator, "SineOscillator(frequency=440.0, amplitude=1.0, sample_rate=44100)">();
    return definition;
}

const ClassDefinition& Bound<oscillator::SquareOscillator>::definition() {
    static const ClassDefinition definition = define_tone<
        oscillator::SquareOscillator, "SquareOscillator(frequency=440.0, amplitude=1.0, sample_rate=44100)">();
    return definition;
}

const ClassDefinition& Bound<oscillator::SawOscillator>::definition() {
    static const ClassDefinition definition = define_tone<
        oscillator::SawOscillator, "SawOscillator(frequency=440.0, amplitude=1.0, sample_rate=44100)">();
    return definition;
}

const ClassDefinition& Bound<NoiseSource>::definition() {
    static const ClassDefinition definition = define<NoiseSource>(
        Constructor<"NoiseSource(amplitude=1.0, seed=42)", &construct<NoiseSource, double, std::uint64_t>>{},
        Property<"amplitude", &NoiseSource::amplitude>{},
        Method<"render_to_buffer($self, frames)", &NoiseSource::render>{},
        Repr<&noise_repr>{});
    return definition;
}

}  // namespace ostina::py
