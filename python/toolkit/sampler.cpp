// AudioSample, Envelope, SampleMapping, SampleMap and Sampler.
#include "classes.hpp"
#include "format.hpp"

namespace ostina::py {
namespace {

using sampler::AudioSample;
using sampler::Envelope;
using sampler::SampleMap;
using sampler::SampleMapping;
using sampler::Sampler;

std::string sample_repr(const AudioSample& sample) {
    return concat("AudioSample(samples=", sample.size(), ", sr=", sample.sample_rate(),
                  ", root_note=", sample.root_note(), ", duration=", format_fixed(sample.duration_seconds(), 3), "s)");
}

std::string envelope_repr(const Envelope& envelope) {
    return concat("Envelope(A=", format_fixed(envelope.attack(), 3), ", D=", format_fixed(envelope.decay(), 3),
                  ", S=", format_fixed(envelope.sustain(), 2), ", R=", format_fixed(envelope.release(), 3), ")");
}

std::string mapping_repr(const SampleMapping& mapping) {
    return concat("SampleMapping(notes=", mapping.note_low(), "-", mapping.note_high(),
                  ", vel=", mapping.velocity_low(), "-", mapping.velocity_high(), ")");
}

std::string map_repr(const SampleMap& map) { return concat("SampleMap(mappings=", map.mapping_count(), ")"); }

std::string sampler_repr(const Sampler& sampler) {
    return concat("Sampler(max_voices=", sampler.max_voices(), ", active=", sampler.active_voice_count(),
                  ", sr=", sampler.sample_rate(), ")");
}

}  // namespace

const ClassDefinition& Bound<AudioSample>::definition() {
    static const ClassDefinition definition = define<AudioSample>(
        Constructor<"AudioSample(data, sample_rate=44100, root_note=69)",
                    &construct<AudioSample, Samples, std::uint32_t, std::uint8_t>>{},
        Property<"sample_rate", &AudioSample::sample_rate>{},
        WritableProperty<"root_note", &AudioSample::root_note, &AudioSample::set_root_note, "note">{},
        WritableProperty<"loop_start", &AudioSample::loop_start, &AudioSample::set_loop_start, "start">{},
        WritableProperty<"loop_end", &AudioSample::loop_end, &AudioSample::set_loop_end, "end">{},
        Method<"duration_seconds($self)", &AudioSample::duration_seconds>{},
        Method<"data($self)", &AudioSample::data>{},
        Length<&AudioSample::size>{},
        Repr<&sample_repr>{});
    return definition;
}

const ClassDefinition& Bound<Envelope>::definition() {
    static const ClassDefinition definition = define<Envelope>(
        Constructor<"Envelope(attack=0.005, decay=0.1, sustain=0.8, release=0.1)",
                    &construct<Envelope, double, double, double, double>>{},
        WritableProperty<"attack", &Envelope::attack, &Envelope::set_attack, "val">{},
        WritableProperty<"decay", &Envelope::decay, &Envelope::set_decay, "val">{},
        WritableProperty<"sustain", &Envelope::sustain, &Envelope::set_sustain, "val">{},
        WritableProperty<"release", &Envelope::release, &Envelope::set_release, "val">{},
        Repr<&envelope_repr>{},
        Equality{});
    return definition;
}

const ClassDefinition& Bound<SampleMapping>::definition() {
    static const ClassDefinition definition = define<SampleMapping>(
        Constructor<"SampleMapping(sample, note_low, note_high, velocity_low, velocity_high)",
                    &construct<SampleMapping, AudioSample, std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>>{},
        Method<"matches($self, note, velocity)", &SampleMapping::matches>{},
        Repr<&mapping_repr>{});
    return definition;
}

const ClassDefinition& Bound<SampleMap>::definition() {
    static const ClassDefinition definition = define<SampleMap>(
        Constructor<"SampleMap()", &construct<SampleMap>>{},
        StaticMethod<"single_sample(sample)", &SampleMap::single_sample>{},
        Method<"add_mapping($self, mapping)", &SampleMap::add_mapping>{},
        Method<"find_sample($self, note, velocity)", &SampleMap::find_sample>{},
        Method<"mapping_count($self)", &SampleMap::mapping_count>{},
        Length<&SampleMap::mapping_count>{},
        Repr<&map_repr>{});
    return definition;
}

const ClassDefinition& Bound<Sampler>::definition() {
    static const ClassDefinition definition = define<Sampler>(
        Constructor<"Sampler(sample, sample_rate=44100, max_voices=8)",
                    &construct<Sampler, AudioSample, std::uint32_t, std::uint64_t>>{},
        WritableProperty<"max_voices", &Sampler::max_voices, &Sampler::set_max_voices, "v">{},
        Property<"sample_rate", &Sampler::sample_rate>{},
        Method<"set_envelope($self, envelope)", &Sampler::set_envelope>{},
        Method<"note_on($self, note, velocity)", &Sampler::note_on>{},
        Method<"note_off($self, note)", &Sampler::note_off>{},
        Method<"all_notes_off($self)", &Sampler::all_notes_off>{},
        Method<"panic($self)", &Sampler::panic>{},
        Method<"active_voice_count($self)", &Sampler::active_voice_count>{},
        Method<"render($self, frames)", &Sampler::render, "Render audio into a list of f32 samples (mono).">{},
        Repr<&sampler_repr>{});
    return definition;
}

}  // namespace ostina::py
