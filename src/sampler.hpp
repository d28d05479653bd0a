// Samples, envelopes, key/velocity maps and the polyphonic sampler.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "midi.hpp"
#include "samples.hpp"
#include "staged.hpp"

namespace ostina::sampler {

// The region [start, end) a voice repeats.
struct LoopRegion {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
};

// Mono frames with their rate, the note at which they play at their own
// speed, and loop points stored as given (checked only when played).
class AudioSample {
public:
    AudioSample(Samples data, std::uint32_t sample_rate, std::uint8_t root_note);

    const Samples& data() const { return data_; }
    std::uint64_t size() const { return data_.size(); }
    std::uint32_t sample_rate() const { return sample_rate_; }
    double duration_seconds() const;

    std::uint8_t root_note() const { return root_note_.value(); }
    void set_root_note(std::uint8_t note) { root_note_ = midi::Note::make(note); }
    midi::Note root() const { return root_note_; }

    std::optional<std::uint64_t> loop_start() const { return loop_start_; }
    void set_loop_start(std::optional<std::uint64_t> start) { loop_start_ = start; }
    std::optional<std::uint64_t> loop_end() const { return loop_end_; }
    void set_loop_end(std::optional<std::uint64_t> end) { loop_end_ = end; }

    // The loop as played: both points set, start < end <= size().
    std::optional<LoopRegion> usable_loop() const;

private:
    Samples data_;
    std::uint32_t sample_rate_;
    midi::Note root_note_;
    std::optional<std::uint64_t> loop_start_;
    std::optional<std::uint64_t> loop_end_;
};

// A linear ADSR description. Times are seconds, never negative or NaN;
// sustain is a level kept within [0, 1] (a NaN sustain stays NaN).
class Envelope {
public:
    Envelope(double attack = 0.005, double decay = 0.1, double sustain = 0.8, double release = 0.1);

    double attack() const { return attack_; }
    double decay() const { return decay_; }
    double sustain() const { return sustain_; }
    double release() const { return release_; }
    void set_attack(double value);
    void set_decay(double value);
    void set_sustain(double value);
    void set_release(double value);

    // As floats: a NaN sustain makes an envelope unequal to every envelope.
    bool operator==(const Envelope&) const = default;

private:
    double attack_;
    double decay_;
    double sustain_;
    double release_;
};

// A key and velocity zone holding its own sample; bounds are inclusive and
// an inverted range matches nothing.
class SampleMapping {
public:
    SampleMapping(AudioSample sample, std::uint8_t note_low, std::uint8_t note_high,
                  std::uint8_t velocity_low, std::uint8_t velocity_high);

    bool matches(std::uint8_t note, std::uint8_t velocity) const;
    bool contains(midi::Note note, midi::Velocity velocity) const;
    const AudioSample& sample() const { return sample_; }
    std::uint8_t note_low() const { return note_low_.value(); }
    std::uint8_t note_high() const { return note_high_.value(); }
    std::uint8_t velocity_low() const { return velocity_low_.value(); }
    std::uint8_t velocity_high() const { return velocity_high_.value(); }

private:
    AudioSample sample_;
    midi::Note note_low_, note_high_;
    midi::Velocity velocity_low_, velocity_high_;
};

// Zones in the order they were added; the first match wins.
class SampleMap {
public:
    static SampleMap single_sample(AudioSample sample);

    void add_mapping(SampleMapping mapping) { mappings_.push_back(std::move(mapping)); }
    std::optional<AudioSample> find_sample(std::uint8_t note, std::uint8_t velocity) const;
    std::uint64_t mapping_count() const { return mappings_.size(); }

private:
    std::vector<SampleMapping> mappings_;
};

enum class EnvelopeStage : std::uint8_t { Attack, Decay, Sustain, Release, Finished };

// One sounding note. Voices read the sampler's own sample, which never
// changes after construction, so they need no copy of it.
struct Voice {
    Envelope envelope;
    double level = 0.0;
    double stage_time = 0.0;
    double release_level = 0.0;
    EnvelopeStage stage = EnvelopeStage::Attack;
    double velocity_gain = 0.0;
    double position = 0.0;
    double increment = 0.0;
    bool active = true;
    midi::Note note;
};

class Sampler {
public:
    Sampler(AudioSample sample, std::uint32_t sample_rate, std::uint64_t max_voices);

    std::uint64_t max_voices() const { return max_voices_; }
    void set_max_voices(std::uint64_t count) { max_voices_ = count; }
    std::uint32_t sample_rate() const { return sample_rate_; }
    const std::vector<Voice>& voices() const { return voices_; }

    void set_envelope(Envelope envelope) { envelope_ = envelope; }
    // Validate note (then velocity) and pass the message on channel 0.
    void note_on(std::uint8_t note, std::uint8_t velocity);
    void note_off(std::uint8_t note);
    // Only NoteOn and NoteOff do anything; the channel is not consulted.
    void process_midi(const midi::MidiMessage& message);
    void all_notes_off();
    void panic() { voices_.clear(); }
    std::uint64_t active_voice_count() const;

    // The voices after a render, put in place once its block has been delivered.
    struct AdvanceVoices {
        std::vector<Voice> voices;
        void apply(Sampler& sampler) noexcept { sampler.voices_ = std::move(voices); }
    };

    // The next `frames` mono samples and the voices after them. Throws Fault
    // "capacity overflow" for an unrepresentable count.
    Staged<Samples, AdvanceVoices> render(std::uint64_t frames) const;

private:
    void start_voice(midi::Note note, midi::Velocity velocity);
    void release_voices(std::optional<midi::Note> only);

    AudioSample sample_;
    std::vector<Voice> voices_;  // oldest first
    std::uint64_t max_voices_;
    Envelope envelope_;
    std::uint32_t sample_rate_;
};

}  // namespace ostina::sampler
