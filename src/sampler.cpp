#include "sampler.hpp"

#include <cmath>
#include <variant>

#include "numeric.hpp"

namespace ostina::sampler {
namespace {

constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kMaxVelocity = 127.0;

// Times may not run backwards; NaN counts as no time at all.
double clamp_time(double value) { return value >= 0.0 ? value : 0.0; }

// A NaN level is kept.
double clamp_level(double value) { return clamp_to(value, 0.0, 1.0); }

// The frame a position reads, saturating: negative and NaN positions read
// frame 0, positions past the largest index read that index. Every frame of
// every voice asks, so positions below 2^63 take the signed conversion, the
// plain one-instruction kind, before the general one.
std::uint64_t read_index(double position) {
    if (position > 0.0 && position < kTwoTo63)
        return static_cast<std::uint64_t>(static_cast<std::int64_t>(position));
    return saturating_count(position);
}

void enter_decay(Voice& voice) {
    voice.stage = EnvelopeStage::Decay;
    voice.level = 1.0;
    voice.stage_time = 0.0;
}

void enter_sustain(Voice& voice) {
    voice.level = voice.envelope.sustain();
    voice.stage = EnvelopeStage::Sustain;
}

void finish(Voice& voice) {
    voice.level = 0.0;
    voice.stage = EnvelopeStage::Finished;
    voice.active = false;
}

// One frame of the stage machine: sets the level the frame sounds at; false
// when the voice finishes on this frame, which it then does not sound.
bool step_envelope(Voice& voice) {
    const Envelope& envelope = voice.envelope;
    const double t = voice.stage_time;
    switch (voice.stage) {
    case EnvelopeStage::Attack:
        if (envelope.attack() <= 0.0) {
            enter_decay(voice);
        } else {
            voice.level = t / envelope.attack();
            if (voice.level >= 1.0) enter_decay(voice);
        }
        return true;
    case EnvelopeStage::Decay:
        if (envelope.decay() <= 0.0) {
            enter_sustain(voice);
        } else {
            voice.level = 1.0 - (t / envelope.decay()) * (1.0 - envelope.sustain());
            if (voice.level <= envelope.sustain()) enter_sustain(voice);
        }
        return true;
    case EnvelopeStage::Sustain:
        voice.level = envelope.sustain();
        return true;
    case EnvelopeStage::Release:
        if (envelope.release() > 0.0) {
            voice.level = (1.0 - t / envelope.release()) * voice.release_level;
            if (!(voice.level <= 0.0)) return true;
        }
        finish(voice);
        return false;
    case EnvelopeStage::Finished:
        break;
    }
    voice.active = false;
    return false;
}

// Wraps the position back into a usable loop once it reaches the loop's
// end; false when the position lies past the data, which ends the voice.
bool wrap_into_data(Voice& voice, std::uint64_t& index, const std::optional<LoopRegion>& loop,
                    std::uint64_t length) {
    if (loop) {
        const auto start = static_cast<double>(loop->start);
        voice.position = std::fmod(voice.position - start, static_cast<double>(loop->end - loop->start)) + start;
        index = read_index(voice.position);
    }
    return index < length;
}

// The interpolated value at `position` between frame `index` and the next,
// in 32-bit steps.
float between(float s0, float s1, double position, double index) {
    const float frac = narrow(position - index);
    return (s1 - s0) * frac + s0;
}

// What every frame of one voice's render reads.
struct VoiceRender {
    const float* data;
    std::uint64_t length;
    std::optional<LoopRegion> loop;
    // A usable loop ends within the data, so one comparison finds both the
    // loop's end and the data's.
    std::uint64_t limit;
    double dt;
    float gain;
    float* out;

    // One frame with every check of the stage machine and the read; false
    // when the voice ends on it.
    bool frame(Voice& v, std::size_t at) const {
        if (!step_envelope(v)) return false;
        v.stage_time += dt;
        std::uint64_t i = read_index(v.position);
        if (i >= limit && !wrap_into_data(v, i, loop, length)) {
            v.active = false;
            return false;
        }
        const float s1 = i + 1 < length ? data[i + 1] : data[i];
        const float value = between(data[i], s1, v.position, static_cast<double>(i));
        v.position += v.increment;
        out[at] += gain * (narrow(v.level) * value);
        return true;
    }

    // `count` frames as `frame` renders them, for reads known to lie before
    // `limit` - 1: the index needs no saturation or wrap, and its partner
    // exists. A sustained voice sounds at the same level on every frame.
    // Stops early when the voice finishes or reaches its sustain.
    template <bool Sustained>
    std::size_t run(Voice& v, std::size_t at, std::size_t count) const {
        const float sustained = narrow(v.envelope.sustain());
        for (std::size_t k = 0; k < count; ++k) {
            if constexpr (!Sustained) {
                if (!step_envelope(v)) return k;
            }
            v.stage_time += dt;
            const auto i = static_cast<std::int64_t>(v.position);
            const float value = between(data[i], data[i + 1], v.position, static_cast<double>(i));
            v.position += v.increment;
            out[at + k] += gain * ((Sustained ? sustained : narrow(v.level)) * value);
            if constexpr (!Sustained) {
                if (v.stage == EnvelopeStage::Sustain) return k + 1;
            }
        }
        return count;
    }

    // How many of the next `wanted` frames read before `limit` - 1 for
    // sure. The running sum of increments may drift from the exact sum by
    // half an ulp of the position per step; the bound allows a full ulp of
    // the limit per step and two more frames besides.
    std::size_t safe_frames(const Voice& v, std::size_t wanted) const {
        if (!(v.position >= 0.0) || !(v.increment >= 0.0) || limit < 2 || limit > kSafeLimit) return 0;
        const double room = static_cast<double>(limit - 1) - v.position;
        const double steps = room / (v.increment + static_cast<double>(limit) * kUlpPerUnit) - 2.0;
        if (!(steps > 0.0)) return 0;
        return steps >= static_cast<double>(wanted) ? wanted : static_cast<std::size_t>(steps);
    }

    static constexpr std::uint64_t kSafeLimit = std::uint64_t{1} << 52;  // exact as a double
    static constexpr double kUlpPerUnit = 0x1p-52;
};

// Renders one voice into `out`, adding its contribution frame by frame.
// Voices are independent and each frame's sum takes them in list order, so
// rendering voice after voice gives the same sums as visiting every voice
// at every frame. Stretches that cannot reach the loop's or the data's end
// take the lighter path of VoiceRender::run, which does the same arithmetic.
void render_voice(Voice& voice, const AudioSample& sample, const std::optional<LoopRegion>& loop,
                  double dt, float* out, std::size_t frames) {
    const VoiceRender render{sample.data().data(), sample.size(), loop, loop ? loop->end : sample.size(),
                             dt, narrow(voice.velocity_gain), out};
    Voice v = voice;  // a local copy the compiler can keep in registers
    std::size_t at = 0;
    while (at < frames && v.active) {
        const std::size_t safe = render.safe_frames(v, frames - at);
        if (safe == 0) {
            if (!render.frame(v, at)) break;
            ++at;
        } else {
            at += v.stage == EnvelopeStage::Sustain ? render.run<true>(v, at, safe) : render.run<false>(v, at, safe);
        }
    }
    voice = v;
}

// NaN sums pass through unchanged.
void clamp_block(Samples& block) {
    for (float& sample : block) sample = clamp_to(sample, -1.0f, 1.0f);
}

}  // namespace

// ---------------------------------------------------------------------------
// AudioSample

AudioSample::AudioSample(Samples data, std::uint32_t sample_rate, std::uint8_t root_note)
    : data_(std::move(data)), sample_rate_(sample_rate), root_note_(midi::Note::make(root_note)) {}

double AudioSample::duration_seconds() const {
    if (sample_rate_ == 0) return 0.0;
    return static_cast<double>(data_.size()) / static_cast<double>(sample_rate_);
}

std::optional<LoopRegion> AudioSample::usable_loop() const {
    if (!loop_start_ || !loop_end_ || *loop_start_ >= *loop_end_ || *loop_end_ > data_.size())
        return std::nullopt;
    return LoopRegion{*loop_start_, *loop_end_};
}

// ---------------------------------------------------------------------------
// Envelope

Envelope::Envelope(double attack, double decay, double sustain, double release)
    : attack_(clamp_time(attack)), decay_(clamp_time(decay)), sustain_(clamp_level(sustain)),
      release_(clamp_time(release)) {}

void Envelope::set_attack(double value) { attack_ = clamp_time(value); }
void Envelope::set_decay(double value) { decay_ = clamp_time(value); }
void Envelope::set_sustain(double value) { sustain_ = clamp_level(value); }
void Envelope::set_release(double value) { release_ = clamp_time(value); }

// ---------------------------------------------------------------------------
// SampleMapping and SampleMap

// The members are declared in checking order, so the first bad bound in
// parameter order is the one reported.
SampleMapping::SampleMapping(AudioSample sample, std::uint8_t note_low, std::uint8_t note_high,
                             std::uint8_t velocity_low, std::uint8_t velocity_high)
    : sample_(std::move(sample)),
      note_low_(midi::Note::make(note_low)),
      note_high_(midi::Note::make(note_high)),
      velocity_low_(midi::Velocity::make(velocity_low)),
      velocity_high_(midi::Velocity::make(velocity_high)) {}

bool SampleMapping::contains(midi::Note note, midi::Velocity velocity) const {
    return note_low_.value() <= note.value() && note.value() <= note_high_.value() &&
           velocity_low_.value() <= velocity.value() && velocity.value() <= velocity_high_.value();
}

bool SampleMapping::matches(std::uint8_t note, std::uint8_t velocity) const {
    const auto checked_note = midi::Note::make(note);
    return contains(checked_note, midi::Velocity::make(velocity));
}

SampleMap SampleMap::single_sample(AudioSample sample) {
    SampleMap map;
    map.add_mapping(SampleMapping(std::move(sample), 0, 127, 0, 127));
    return map;
}

std::optional<AudioSample> SampleMap::find_sample(std::uint8_t note, std::uint8_t velocity) const {
    const auto checked_note = midi::Note::make(note);
    const auto checked_velocity = midi::Velocity::make(velocity);
    for (const SampleMapping& mapping : mappings_)
        if (mapping.contains(checked_note, checked_velocity)) return mapping.sample();
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Sampler

Sampler::Sampler(AudioSample sample, std::uint32_t sample_rate, std::uint64_t max_voices)
    : sample_(std::move(sample)), max_voices_(max_voices), sample_rate_(sample_rate) {}

void Sampler::note_on(std::uint8_t note, std::uint8_t velocity) {
    process_midi(midi::note_on(0, note, velocity));
}

void Sampler::note_off(std::uint8_t note) { process_midi(midi::note_off(0, note, 0)); }

void Sampler::process_midi(const midi::MidiMessage& message) {
    if (const auto* on = std::get_if<midi::NoteOn>(&message)) start_voice(on->note, on->velocity);
    else if (const auto* off = std::get_if<midi::NoteOff>(&message)) release_voices(off->note);
}

void Sampler::all_notes_off() { release_voices(std::nullopt); }

std::uint64_t Sampler::active_voice_count() const {
    std::uint64_t count = 0;
    for (const Voice& voice : voices_) count += voice.active ? 1 : 0;
    return count;
}

void Sampler::start_voice(midi::Note note, midi::Velocity velocity) {
    Voice voice;
    voice.envelope = envelope_;
    const double rate_ratio = static_cast<double>(sample_.sample_rate()) / static_cast<double>(sample_rate_);
    voice.increment = rate_ratio * (midi::to_hz(note) / midi::to_hz(sample_.root()));
    voice.velocity_gain = static_cast<double>(velocity.value()) / kMaxVelocity;
    voice.note = note;
    // Exactly one voice goes per note-on, even over the limit; stealing
    // frees a slot first, so the append cannot fail after it.
    if (!voices_.empty() && voices_.size() >= max_voices_) voices_.erase(voices_.begin());
    voices_.push_back(voice);
}

// Restarts the release of voices already releasing, from their level now.
void Sampler::release_voices(std::optional<midi::Note> only) {
    for (Voice& voice : voices_) {
        if (voice.stage == EnvelopeStage::Finished || (only && voice.note != *only)) continue;
        voice.stage = EnvelopeStage::Release;
        voice.stage_time = 0.0;
        voice.release_level = voice.level;
    }
}

Staged<Samples, Sampler::AdvanceVoices> Sampler::render(std::uint64_t frames) const {
    Samples block = zeroed_samples(frames);
    std::vector<Voice> next = voices_;
    const double dt = 1.0 / static_cast<double>(sample_rate_);
    const std::optional<LoopRegion> loop = sample_.usable_loop();
    for (Voice& voice : next)
        if (voice.active) render_voice(voice, sample_, loop, dt, block.data(), block.size());
    clamp_block(block);
    std::erase_if(next, [](const Voice& voice) { return !voice.active; });
    return {std::move(block), AdvanceVoices{std::move(next)}};
}

}  // namespace ostina::sampler
