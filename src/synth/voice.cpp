#include "synth/voice.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "synth/units.hpp"

namespace ostina::synth {
namespace {

constexpr double kFixedOne = 4294967296.0;    // 2^32: positions are 32.32 fixed point
constexpr float kFraction = 1.0f / 16777216.0f;  // 2^-24
constexpr double kHighestIncrement = 4096.0;  // frames of sample per output frame, at most
constexpr double kPi = 3.141592653589793;
constexpr double kChokeSeconds = 0.005;       // a choked note falls 100 dB in this time
constexpr double kSoftPedalCentibels = 50.0;  // notes struck with the soft pedal down: 5 dB softer
constexpr double kSoftPedalCents = 1200.0;    // and an octave darker
constexpr std::int64_t kCoarse = 32768;       // frames per coarse address offset
constexpr double kLeastTimecents = -12000.0;  // the shortest time a generator may give
constexpr double kInaudible = 1e-5;           // -100 dBFS: a third of a 16-bit step

std::int64_t offset(const GeneratorValues& values, Generator fine, Generator coarse) {
    return values[index_of(fine)] + kCoarse * values[index_of(coarse)];
}

double clamped(Generator generator, double value) {
    const GeneratorInfo& about = info(generator);
    return std::clamp(value, static_cast<double>(about.low), static_cast<double>(about.high));
}

// Four-point, third-order Hermite interpolation between x0 and x1, for one
// frame (float) or four at once (Lanes): the same operations in the same
// order, so either gives the same bits.
using Lanes = float __attribute__((vector_size(16)));
using IntLanes = std::int32_t __attribute__((vector_size(16)));

template <class T>
inline T hermite(T xm1, T x0, T x1, T x2, T t) {
    T c1 = 0.5f * (x1 - xm1);
    T c2 = xm1 - 2.5f * x0 + 2.0f * x1 - 0.5f * x2;
    T c3 = 0.5f * (x2 - xm1) + 1.5f * (x0 - x1);
    return ((c3 * t + c2) * t + c1) * t + x0;
}

// The position's fraction to 24 bits, which a float holds exactly.
inline std::int32_t fraction_bits(std::uint64_t position) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(position) >> 8);
}

inline float fraction_of(std::uint64_t position) { return static_cast<float>(fraction_bits(position)) * kFraction; }

// Four frames' four points each, a point to a row.
struct Points {
    Lanes before, at, after, next;
};

// Float data: one load of the four neighbours of each frame, turned from a
// frame to a row into a point to a row.
inline Points points_of(const float* a, const float* b, const float* c, const float* d) {
    auto around = [](const float* frame) {
        Lanes points;
        std::memcpy(&points, frame - 1, sizeof points);
        return points;
    };
    const IntLanes low_pairs = {0, 4, 1, 5}, high_pairs = {2, 6, 3, 7}, low_halves = {0, 1, 4, 5}, high_halves = {2, 3, 6, 7};
    const Lanes row_a = around(a), row_b = around(b), row_c = around(c), row_d = around(d);
    Lanes low_ab = __builtin_shuffle(row_a, row_b, low_pairs), high_ab = __builtin_shuffle(row_a, row_b, high_pairs);
    Lanes low_cd = __builtin_shuffle(row_c, row_d, low_pairs), high_cd = __builtin_shuffle(row_c, row_d, high_pairs);
    return {__builtin_shuffle(low_ab, low_cd, low_halves), __builtin_shuffle(low_ab, low_cd, high_halves),
            __builtin_shuffle(high_ab, high_cd, low_halves), __builtin_shuffle(high_ab, high_cd, high_halves)};
}

// 16-bit data read in place: each point loaded and converted on its own,
// which measures faster than converting four neighbours at once and turning
// them.
inline Points points_of(const std::int16_t* a, const std::int16_t* b, const std::int16_t* c, const std::int16_t* d) {
    auto row = [&](int offset) {
        return Lanes{static_cast<float>(a[offset]), static_cast<float>(b[offset]), static_cast<float>(c[offset]),
                     static_cast<float>(d[offset])};
    };
    return {row(-1), row(0), row(1), row(2)};
}

// Reads `count` frames from `position` on, whose four points all lie in
// `data`; returns the position after the last.
template <class Frame>
std::uint64_t read_direct(const Frame* data, std::uint64_t position, std::uint64_t increment, float* out,
                          std::uint32_t count) {
    auto at = [](const Frame* frame, int offset) { return static_cast<float>(frame[offset]); };
    std::uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {  // four frames at once: their math in lanes
        std::uint64_t p1 = position + increment, p2 = p1 + increment, p3 = p2 + increment;
        Points points = points_of(data + (position >> 32), data + (p1 >> 32), data + (p2 >> 32), data + (p3 >> 32));
        IntLanes bits = {fraction_bits(position), fraction_bits(p1), fraction_bits(p2), fraction_bits(p3)};
        Lanes y = hermite(points.before, points.at, points.after, points.next,
                          __builtin_convertvector(bits, Lanes) * kFraction);
        std::memcpy(out + i, &y, sizeof y);
        position = p3 + increment;
    }
    for (; i < count; ++i) {
        const Frame* frame = data + (position >> 32);
        out[i] = hermite(at(frame, -1), at(frame, 0), at(frame, 1), at(frame, 2), fraction_of(position));
        position += increment;
    }
    return position;
}

// 16-bit frames are turned into floats a run at a time and read as float
// data: converting them in a row is exact, and reads about twice as fast as
// converting each point where it is read. The stage holds the points of a
// control period that reads up to 4 frames of the sample per frame played
// (two octaves up, at equal rates); longer runs are read in place.
constexpr std::int64_t kStagedFrames = 4 * kControlFrames + 4;

std::uint64_t read_direct(const std::int16_t* data, std::uint64_t position, std::uint64_t increment, float* out,
                          std::uint32_t count) {
    auto first = static_cast<std::int64_t>(position >> 32) - 1;
    auto last = static_cast<std::int64_t>((position + (count - 1) * increment) >> 32) + 2;
    if (last - first + 1 > kStagedFrames) return read_direct<std::int16_t>(data, position, increment, out, count);
    float staged[kStagedFrames];
    for (std::int64_t k = 0; k <= last - first; ++k) staged[k] = static_cast<float>(data[first + k]);
    std::uint64_t base = static_cast<std::uint64_t>(first) << 32;
    return read_direct<float>(staged, position - base, increment, out, count) + base;
}

}  // namespace

void Voice::start(const VoicePlan& plan, const ControllerState& state, const ChannelTuning& tuning,
                  std::uint8_t channel, std::uint64_t note, std::uint32_t rate, const VoiceOutput& output) {
    base_ = plan.generators;
    rate_ = rate;
    channel_ = channel;
    note_ = note;
    age_ = 0;
    hold_ = Hold::key;
    latched_ = false;
    soft_ = tuning.soft_pedal;
    const Sample& sample = *plan.sample;
    place_sample(sample);
    // Offsets that reach outside the sample read frames it has not measured:
    // a soundfont's other samples, 16-bit and so at most full scale.
    const bool reads_outside = start_ < sample.start || end_ > sample.end;
    peak_ = !reads_outside ? sample.peak : pcm16_ ? 1.0f : std::numeric_limits<float>::infinity();
    peaks_ahead_ = reads_outside ? std::span<const float>{} : std::span<const float>(sample.peaks_ahead);
    peaks_from_ = sample.start;
    // The sample's loop peak is of its loop's frames within its own; loop
    // offsets, or a loop reaching outside the sample, leave other frames.
    bool own_loop = loop_start_ == sample.loop_start && loop_end_ == sample.loop_end &&
                    sample.start <= sample.loop_start && sample.loop_end <= sample.end;
    loop_peak_ = own_loop ? sample.loop_peak : peak_;
    output_ = output;
    settled_ = Settled{};

    // The keynum and velocity generators stand in for the note's own.
    auto forced = [&](Generator generator) { return static_cast<int>(clamped(generator, base_[index_of(generator)])); };
    int forced_key = forced(Generator::keynum), forced_velocity = forced(Generator::velocity);
    int forced_root = forced(Generator::overridingRootKey);
    key_ = forced_key >= 0 ? static_cast<std::uint8_t>(forced_key) : state.key;
    velocity_ = forced_velocity >= 0 ? static_cast<std::uint8_t>(forced_velocity) : state.velocity;
    int root = forced_root >= 0 ? forced_root : sample.original_key;
    divide_modulators(plan.modulators, state);
    SourceCache cache;
    modulate(state, tuning.cents, cache);
    std::uint8_t key = key_;
    key_cents_ = (key - root) * value(Generator::scaleTuning) + sample.correction;
    rate_ratio_ = static_cast<double>(sample.rate) / rate;
    exclusive_class_ = static_cast<int>(value(Generator::exclusiveClass));
    start_envelopes(key);
    filtered_ = value(Generator::initialFilterFc) < LowPass::kOpenCents || value(Generator::initialFilterQ) > 0 ||
                value(Generator::modEnvToFilterFc) != 0 || value(Generator::modLfoToFilterFc) != 0 || soft_;
    filter_ = LowPass{};
    active_ = true;
    control();
    left_gain_ = left_target_;  // a note begins at its level: the attack is the envelope's
    right_gain_ = right_target_;
    reverb_gain_ = reverb_target_;
    chorus_gain_ = chorus_target_;
    left_step_ = right_step_ = reverb_step_ = chorus_step_ = 0.0f;
    glide_left_ = 0;
}

void Voice::place_sample(const Sample& sample) {
    data_ = sample.data.data();
    pcm16_ = sample.pcm16.empty() ? nullptr : sample.pcm16.data();
    data_scale_ = pcm16_ ? 1.0 / 32768.0 : 1.0;
    data_size_ = static_cast<std::int64_t>(sample.frames());
    auto within = [&](std::int64_t point) { return std::clamp<std::int64_t>(point, 0, data_size_); };
    start_ = within(sample.start + offset(base_, Generator::startAddrsOffset, Generator::startAddrsCoarseOffset));
    end_ = std::max(start_, within(sample.end + offset(base_, Generator::endAddrsOffset, Generator::endAddrsCoarseOffset)));
    loop_start_ = std::clamp<std::int64_t>(
        sample.loop_start + offset(base_, Generator::startloopAddrsOffset, Generator::startloopAddrsCoarseOffset),
        start_, end_);
    loop_end_ = std::clamp<std::int64_t>(
        sample.loop_end + offset(base_, Generator::endloopAddrsOffset, Generator::endloopAddrsCoarseOffset),
        start_, end_);
    int mode = base_[index_of(Generator::sampleModes)];
    bool valid = loop_end_ > loop_start_;
    loops_ = valid && (mode == 1 || mode == 3);
    loops_until_release_ = loops_ && mode == 3;
    position_ = static_cast<std::uint64_t>(start_) << 32;
}

void Voice::start_envelopes(std::uint8_t key) {
    double below_60 = 60.0 - key;  // keynumTo* generators scale hold and decay from key 60
    auto frames = [&](Generator generator, double extra = 0.0) {
        return frames_of_timecents(value(generator) + extra, rate_);
    };
    // A delay or hold at its least (-12000 timecents, the default) is none:
    // notes then begin on their note-on's frame.
    auto pause = [&](Generator generator, double extra = 0.0) {
        double timecents = value(generator) + extra;
        return timecents <= kLeastTimecents ? 0u : frames_of_timecents(timecents, rate_);
    };
    auto span = [&](Generator generator, double extra = 0.0) {
        return std::max(1.0, seconds_of_timecents(value(generator) + extra) * rate_);
    };
    EnvelopeSettings volume{pause(Generator::delayVolEnv), frames(Generator::attackVolEnv),
                            pause(Generator::holdVolEnv, value(Generator::keynumToVolEnvHold) * below_60),
                            span(Generator::decayVolEnv, value(Generator::keynumToVolEnvDecay) * below_60),
                            span(Generator::releaseVolEnv),
                            value(Generator::sustainVolEnv) / 1000.0};  // 1000 cB: a full fall of 100 dB
    EnvelopeSettings modulation{pause(Generator::delayModEnv), frames(Generator::attackModEnv),
                                pause(Generator::holdModEnv, value(Generator::keynumToModEnvHold) * below_60),
                                span(Generator::decayModEnv, value(Generator::keynumToModEnvDecay) * below_60),
                                span(Generator::releaseModEnv),
                                value(Generator::sustainModEnv) / 1000.0};  // in 0.1 % below the peak
    volume_ = Envelope(volume, Envelope::Scale::decibels);
    modulation_ = Envelope(modulation, Envelope::Scale::linear);
    modulation_lfo_ = Lfo(pause(Generator::delayModLFO), hertz_of_absolute_cents(value(Generator::freqModLFO)), rate_);
    vibrato_lfo_ = Lfo(pause(Generator::delayVibLFO), hertz_of_absolute_cents(value(Generator::freqVibLFO)), rate_);
}

// A generator's value from its sum: pitch keeps what its modulators add (the
// pitch wheel goes far past fineTune's own range); every other value stays
// in its range.
double Voice::settled_value(std::size_t index, double sum) {
    auto generator = static_cast<Generator>(index);
    bool pitch = generator == Generator::fineTune || generator == Generator::coarseTune;
    return pitch ? sum : clamped(generator, sum);
}

// The modulators that read only the note are summed into the generators
// once; those that read the channel are kept for every change of it.
void Voice::divide_modulators(const std::vector<Modulator>& modulators, ControllerState state) {
    state.key = key_;
    state.velocity = velocity_;
    live_.clear();
    live_destinations_.clear();
    for (std::size_t i = 0; i < kGeneratorCount; ++i) fixed_[i] = base_[i];
    double least_attenuation = 0.0;  // what the channel's modulators could take off at most
    for (const Modulator& modulator : modulators) {
        auto destination = index_of(modulator.destination);
        if (!moves(modulator.source) && !moves(modulator.amount_source)) {
            fixed_[destination] += contribution(modulator, state);
            continue;
        }
        live_.push_back(modulator);
        if (std::find(live_destinations_.begin(), live_destinations_.end(), destination) == live_destinations_.end())
            live_destinations_.push_back(static_cast<std::uint8_t>(destination));
        if (modulator.destination == Generator::initialAttenuation)
            least_attenuation += least_contribution(modulator, state);
    }
    for (std::size_t i = 0; i < kGeneratorCount; ++i) values_[i] = settled_value(i, fixed_[i]);
    // The loudest the controllers could make the voice, the tremolo's swing
    // and the filter's resonant peak (half its height above DC) included:
    // the measure of when it has become inaudible for good.
    double attenuation = clamped(Generator::initialAttenuation,
                                 fixed_[index_of(Generator::initialAttenuation)] + least_attenuation);
    loudest_ = gain_of_centibels(attenuation - std::fabs(value(Generator::modLfoToVolume)) -
                                 value(Generator::initialFilterQ) / 2.0);
}

void Voice::modulate(ControllerState state, double tuning_cents, SourceCache& cache) {
    state.key = key_;
    state.velocity = velocity_;
    std::array<double, kGeneratorCount> sums;
    for (std::uint8_t destination : live_destinations_) sums[destination] = fixed_[destination];
    for (const Modulator& modulator : live_)
        sums[index_of(modulator.destination)] += contribution(modulator, state, &cache);
    for (std::uint8_t destination : live_destinations_) values_[destination] = settled_value(destination, sums[destination]);
    tuning_cents_ = tuning_cents;
    if (!filtered_ && active_ && value(Generator::initialFilterFc) < LowPass::kOpenCents) filtered_ = true;
}

// Each slow parameter is computed again only when what it depends on has
// moved: most voices hold still between events, and the math library's
// functions would otherwise cost as much as the frames themselves.
void Voice::control() {
    bool modulation_lfo_routed = value(Generator::modLfoToPitch) != 0 || value(Generator::modLfoToFilterFc) != 0 ||
                                 value(Generator::modLfoToVolume) != 0;
    double modulation_lfo = modulation_lfo_routed ? modulation_lfo_.at(age_) : 0.0;
    double vibrato = value(Generator::vibLfoToPitch) != 0 ? vibrato_lfo_.at(age_) : 0.0;
    double envelope = modulation_.level();
    double cents = key_cents_ + value(Generator::coarseTune) * 100.0 + value(Generator::fineTune) + tuning_cents_ +
                   vibrato * value(Generator::vibLfoToPitch) + modulation_lfo * value(Generator::modLfoToPitch) +
                   envelope * value(Generator::modEnvToPitch);
    if (cents != settled_.cents) {
        settled_.cents = cents;
        double increment = std::min(rate_ratio_ * ratio_of_cents(cents), kHighestIncrement);
        increment_ = std::max<std::uint64_t>(1, static_cast<std::uint64_t>(std::llround(increment * kFixedOne)));
    }
    if (filtered_) {
        double cutoff = value(Generator::initialFilterFc) + envelope * value(Generator::modEnvToFilterFc) +
                        modulation_lfo * value(Generator::modLfoToFilterFc) - (soft_ ? kSoftPedalCents : 0.0);
        filter_.tune(cutoff, value(Generator::initialFilterQ), rate_);
        filter_.flush_tiny();
    }
    double centibels = value(Generator::initialAttenuation) + (soft_ ? kSoftPedalCentibels : 0.0) -
                       modulation_lfo * value(Generator::modLfoToVolume);
    double pan = value(Generator::pan);
    // The sends in 0.1 % of the voice's level; none to a unit that is off.
    double reverb = output_.reverb ? value(Generator::reverbEffectsSend) / 1000.0 : 0.0;
    double chorus = output_.chorus ? value(Generator::chorusEffectsSend) / 1000.0 : 0.0;
    if (centibels != settled_.centibels || pan != settled_.pan || reverb != settled_.reverb ||
        chorus != settled_.chorus) {
        settled_ = {settled_.cents, centibels, pan, reverb, chorus};
        double gain = gain_of_centibels(centibels) * output_.gain * data_scale_;
        double angle = (pan + 500.0) / 1000.0 * (kPi / 2);  // -500 all left, 500 all right
        glide_to(static_cast<float>(gain * std::cos(angle)), static_cast<float>(gain * std::sin(angle)),
                 static_cast<float>(gain * reverb), static_cast<float>(gain * chorus));
    }
    // A voice whose envelope can only fall and that is already below -100
    // dBFS at the loudest its controllers could make it is inaudible for
    // good: it ends, and takes no more time. A voice plays nothing louder
    // than the frames ahead of it again, or than its loop's once it plays
    // the loop for good (loop mode 3 leaves it, for its sample's end).
    float peak = in_loop() && !loops_until_release_ ? loop_peak_ : peak_ahead();
    if (volume_.stage() >= Envelope::Stage::decay && volume_.level() * peak * loudest_ * output_.judged_gain < kInaudible)
        active_ = false;
}

// A new target starts a glide of one control period from the gain now; the
// same target lets a glide under way run its course.
void Voice::glide_to(float left, float right, float reverb, float chorus) {
    if (left == left_target_ && right == right_target_ && reverb == reverb_target_ && chorus == chorus_target_) return;
    left_target_ = left;
    right_target_ = right;
    reverb_target_ = reverb;
    chorus_target_ = chorus;
    auto step = [](float target, float gain) { return (target - gain) / static_cast<float>(kControlFrames); };
    left_step_ = step(left_target_, left_gain_);
    right_step_ = step(right_target_, right_gain_);
    reverb_step_ = step(reverb_target_, reverb_gain_);
    chorus_step_ = step(chorus_target_, chorus_gain_);
    glide_left_ = kControlFrames;
}

// The largest magnitude ahead of the block the voice reads in (from its
// interpolation's first point), and its loop's if it will loop.
float Voice::peak_ahead() const {
    if (peaks_ahead_.empty()) return peak_;
    std::int64_t first = static_cast<std::int64_t>(position_ >> 32) - 1 - peaks_from_;
    auto block = static_cast<std::size_t>(std::max<std::int64_t>(first, 0) / Sample::kPeakBlock);
    float ahead = block < peaks_ahead_.size() ? peaks_ahead_[block] : 0.0f;
    return loops_ ? std::max(ahead, loop_peak_) : ahead;
}

bool Voice::releasing() const { return volume_.stage() == Envelope::Stage::release; }

double Voice::level() const { return volume_.level() * std::max(left_gain_, right_gain_); }

void Voice::release() {
    hold_ = Hold::released;
    latched_ = false;
    volume_.release();
    modulation_.release();
    if (loops_until_release_) loops_ = false;  // plays on from the loop to the sample's end
}

void Voice::choke() {
    hold_ = Hold::released;
    latched_ = false;
    volume_.hurry(kChokeSeconds * rate_);
    modulation_.release();
}

// Frames from now in which all four points every frame reads lie inside the
// data the voice plays directly: no loop seam, no edge.
std::uint32_t Voice::direct_frames(std::uint32_t limit) const {
    std::int64_t index = static_cast<std::int64_t>(position_ >> 32);
    std::int64_t first = loops_ && index >= loop_start_ ? loop_start_ : start_;
    std::int64_t last = loops_ ? loop_end_ : end_;  // reads stay below it
    if (index - 1 < first || index + 3 > last) return 0;
    std::uint64_t bound = static_cast<std::uint64_t>(last - 2) << 32;  // the position must stay below
    std::uint64_t room = bound - 1 - position_;
    // Mostly the whole span fits, which a product shows without a division
    // (a span is at most a control period, an increment below 2^44).
    if (std::uint64_t{limit - 1} * increment_ <= room) return limit;
    std::uint64_t frames = room / increment_ + 1;
    return static_cast<std::uint32_t>(std::min<std::uint64_t>(frames, limit));
}

// One point of the signal the voice plays, where a direct read would leave
// it: across a loop's seam the loop repeats, outside the sample it is silent.
template <class Frame>
float Voice::fetch(const Frame* data, std::int64_t index) const {
    std::int64_t length = loop_end_ - loop_start_;
    if (loops_ && (index >= loop_end_ || (in_loop() && index < loop_start_))) {
        std::int64_t from = (index - loop_start_) % length;
        index = loop_start_ + (from < 0 ? from + length : from);
    }
    return index >= start_ && index < end_ ? static_cast<float>(data[index]) : 0.0f;
}

// Moves one frame on; false when a sample that does not loop has ended.
bool Voice::step_position() {
    position_ += increment_;
    auto index = static_cast<std::int64_t>(position_ >> 32);
    if (loops_) {
        if (index >= loop_end_) {
            std::int64_t length = loop_end_ - loop_start_;
            std::int64_t wrapped = loop_start_ + (index - loop_start_) % length;
            position_ = (static_cast<std::uint64_t>(wrapped) << 32) | (position_ & 0xFFFFFFFFu);
        }
        return true;
    }
    return index < end_;
}

// The sample read at the voice's pitch for the next frames, into `mono`.
// Returns the frames read, fewer when a sample that does not loop ends.
std::uint32_t Voice::read_span(float* mono, std::uint32_t frames) {
    return pcm16_ ? read_frames(pcm16_, mono, frames) : read_frames(data_, mono, frames);
}

template <class Frame>
std::uint32_t Voice::read_frames(const Frame* data, float* mono, std::uint32_t frames) {
    std::uint32_t done = 0;
    while (done < frames) {
        std::uint32_t direct = direct_frames(frames - done);
        if (direct == 0) {  // one frame by the careful path
            auto index = static_cast<std::int64_t>(position_ >> 32);
            mono[done++] = hermite(fetch(data, index - 1), fetch(data, index), fetch(data, index + 1),
                                   fetch(data, index + 2), fraction_of(position_));
            if (!step_position()) break;
            continue;
        }
        std::uint64_t position = read_direct(data, position_, increment_, mono + done, direct);
        position_ = position - increment_;
        done += direct;
        if (!step_position()) break;  // the last direct frame's step, with its wrap or end
    }
    if (done < frames) active_ = false;
    return done;
}

// The filter, the volume envelope and the gains over the read frames, added
// to both sides. The envelope's level moves by a step (`Adds`, the attack)
// or by a factor; the gains glide by a step a frame, a glide's first step
// heard on its first frame. Four frames at a time, each lane's level and
// gains computed from the span's start, so that no chain runs from frame to
// frame. `ToReverb` and `ToChorus` add the sends to their buses too, with
// gains that glide as the sides' do; a send of no gain adds nothing.
template <bool Filtered, bool Adds, bool ToReverb, bool ToChorus>
void Voice::shape_span(float* mono, float* left, float* right, SendBuses buses, std::uint32_t frames) {
    if constexpr (Filtered) filter_.process(mono, frames);
    const float level = static_cast<float>(volume_.level());
    const float change = static_cast<float>(Adds ? volume_.step() : volume_.ratio());
    const float left_step = left_step_, right_step = right_step_;
    const Lanes counts = {1.0f, 2.0f, 3.0f, 4.0f};
    Lanes levels = Adds ? level + (counts - 1.0f) * change
                        : level * Lanes{1.0f, change, change * change, change * change * change};
    const float four = Adds ? 4.0f * change : change * change * change * change;
    Lanes left_gains = left_gain_ + counts * left_step, right_gains = right_gain_ + counts * right_step;
    const float reverb_step = reverb_step_, chorus_step = chorus_step_;
    Lanes reverb_gains = reverb_gain_ + counts * reverb_step, chorus_gains = chorus_gain_ + counts * chorus_step;
    std::uint32_t i = 0;
    for (; i + 4 <= frames; i += 4) {
        Lanes sample, out_left, out_right;
        std::memcpy(&sample, mono + i, sizeof sample);
        std::memcpy(&out_left, left + i, sizeof out_left);
        std::memcpy(&out_right, right + i, sizeof out_right);
        sample *= levels;
        out_left += sample * left_gains;
        out_right += sample * right_gains;
        std::memcpy(left + i, &out_left, sizeof out_left);
        std::memcpy(right + i, &out_right, sizeof out_right);
        if constexpr (ToReverb) {
            Lanes to_reverb;
            std::memcpy(&to_reverb, buses.reverb + i, sizeof to_reverb);
            to_reverb += sample * reverb_gains;
            std::memcpy(buses.reverb + i, &to_reverb, sizeof to_reverb);
            reverb_gains += 4.0f * reverb_step;
        }
        if constexpr (ToChorus) {
            Lanes to_chorus;
            std::memcpy(&to_chorus, buses.chorus + i, sizeof to_chorus);
            to_chorus += sample * chorus_gains;
            std::memcpy(buses.chorus + i, &to_chorus, sizeof to_chorus);
            chorus_gains += 4.0f * chorus_step;
        }
        levels = Adds ? levels + four : levels * four;
        left_gains += 4.0f * left_step;
        right_gains += 4.0f * right_step;
    }
    for (std::uint32_t lane = 0; i < frames; ++i, ++lane) {  // the last frames, from the lanes' next values
        float sample = mono[i] * levels[lane];
        left[i] += sample * left_gains[lane];
        right[i] += sample * right_gains[lane];
        if constexpr (ToReverb) buses.reverb[i] += sample * reverb_gains[lane];
        if constexpr (ToChorus) buses.chorus[i] += sample * chorus_gains[lane];
    }
    left_gain_ += static_cast<float>(frames) * left_step;
    right_gain_ += static_cast<float>(frames) * right_step;
    reverb_gain_ += static_cast<float>(frames) * reverb_step;
    chorus_gain_ += static_cast<float>(frames) * chorus_step;
}

// The span's shaping for the voice's state, chosen once a span: a voice
// without sends costs what it did before the effect units. A send of no
// gain would add zeros, which leave a bus's sums as they are (a sum of
// floats is never -0 once it starts from +0).
void Voice::shape(float* mono, float* left, float* right, SendBuses buses, std::uint32_t frames) {
    using Shaper = void (Voice::*)(float*, float*, float*, SendBuses, std::uint32_t);
    // Indexed by the four flags' bits, Filtered the highest.
    static constexpr auto kShapers = []<std::size_t... Index>(std::index_sequence<Index...>) {
        return std::array<Shaper, sizeof...(Index)>{
            &Voice::shape_span<(Index & 8) != 0, (Index & 4) != 0, (Index & 2) != 0, (Index & 1) != 0>...};
    }(std::make_index_sequence<16>{});
    std::size_t index = (filtered_ ? 8 : 0) + (volume_.adds() ? 4 : 0) + (sends_to_reverb() ? 2 : 0) +
                        (sends_to_chorus() ? 1 : 0);
    (this->*kShapers[index])(mono, left, right, buses, frames);
}

std::uint32_t Voice::render(float* left, float* right, SendBuses buses, std::uint32_t frames) {
    std::uint32_t sounded = 0;
    float mono[kControlFrames];
    while (frames > 0 && active_) {
        std::uint32_t span = std::min(frames, kControlFrames);
        span = static_cast<std::uint32_t>(std::min<std::uint64_t>(span, volume_.frames_left()));
        if (glide_left_ > 0) span = std::min(span, glide_left_);
        std::uint32_t made = read_span(mono, span);
        shape(mono, left, right, buses, made);
        volume_.advance(span);
        modulation_.advance(span);
        age_ += span;
        if (glide_left_ > 0 && (glide_left_ -= span) == 0) {
            left_gain_ = left_target_;  // exactly there, whatever the steps' rounding
            right_gain_ = right_target_;
            reverb_gain_ = reverb_target_;
            chorus_gain_ = chorus_target_;
            left_step_ = right_step_ = reverb_step_ = chorus_step_ = 0.0f;
        }
        if (volume_.finished()) active_ = false;
        left += span;
        right += span;
        buses = {buses.reverb + span, buses.chorus + span};
        frames -= span;
        sounded += made;
    }
    return sounded;
}

}  // namespace ostina::synth
