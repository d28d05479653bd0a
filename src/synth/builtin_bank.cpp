#include "synth/builtin_bank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>
#include <iterator>
#include <string>
#include <string_view>

#include "errors.hpp"
#include "oscillator.hpp"

namespace ostina::synth {
namespace {

// Sounds are summed in 64 bits and narrowed to 32 once, when they become a
// sample's frames.
using Signal = std::vector<double>;

constexpr int kKeyCount = 128;
constexpr int kProgramsPerFamily = 8;
constexpr int kFamilyCount = 16;
constexpr int kA4 = 69;
constexpr double kA4Hz = 440.0;

double key_hz(int key) { return kA4Hz * std::exp2((key - kA4) / 12.0); }

// Generator values, converted once here and held within the generator's range.

std::int16_t in_range(double value, Generator generator) {
    const GeneratorInfo& about = info(generator);
    return static_cast<std::int16_t>(std::clamp(std::round(value), double(about.low), double(about.high)));
}

// timecents = 1200 log2(seconds)
std::int16_t timecents(double seconds, Generator generator) {
    return in_range(1200.0 * std::log2(seconds), generator);
}

// centibels of attenuation = -200 log10(amplitude)
std::int16_t centibels(double amplitude, Generator generator) {
    return in_range(-200.0 * std::log10(amplitude), generator);
}

constexpr std::int16_t kLoopContinuously = 1;
constexpr std::int16_t kNoLoop = 0;
constexpr std::int16_t kSilentSustain = 1000;    // centibels: 100 dB down, where a held voice ends
constexpr std::int16_t kEmptyModSustain = 1000;  // 0.1 % below the peak: all the way down
constexpr double kVolEnvDecayDb = 100.0;         // a decay time is the time of this fall

// ---------------------------------------------------------------------------
// Pitched families: one cycle of a sum of harmonics per zone, looped.

constexpr int kZoneWidth = 24;                // keys per zone, rooted at its lowest key
constexpr int kMaxHarmonics = 64;
constexpr double kBrightnessLimit = 0.4;      // the highest harmonic at a zone's top key, over the output rate
constexpr double kOversampling = 2.0;         // a cycle is stored at about this times the output rate...
// ...but no longer than this: 64 harmonics still get 32 frames per cycle of
// the highest, more than the ~20 the oversampled zones give theirs, and the
// two lowest zones take a fifth of the memory.
constexpr std::size_t kMaxCycle = 2048;
constexpr std::uint64_t kNoiseSeed = 15;      // the noise family's index, as today

// Today's rule: a decay halves every two octaves up, 1200 timecents per 24 keys.
constexpr std::int16_t kDecayTimecentsPerKey = 50;
// The decaying families start open and darken by two octaves of cutoff, in
// a quarter of their volume decay: brightness fades before loudness does.
constexpr double kOpenCutoff = 13500.0;
constexpr double kDarkening = 2400.0;
constexpr double kDarkeningShare = 0.25;
// A soft note sounds darker: velocity 0 lowers the cutoff by two octaves.
// Every built-in instrument declares it, since the players' defaults lack it.
constexpr Modulator kVelocityToCutoff{{0x100 | ModulatorSource::kNoteOnVelocity}, Generator::initialFilterFc, -2400, {}, 0};

using Recipe = double (*)(int harmonic);  // the amplitude of harmonic h, from 1; null: noise

struct Family {
    std::string_view name;
    Recipe recipe;
    // Today's linear envelope: seconds, and the sustain as an amplitude.
    double attack, decay, sustain, release;
    double level;  // its samples' peak, which balances the families against each other
    bool decays;   // fades to silence while held, sooner on higher keys, darkening as it goes
};

double listed(int h, std::initializer_list<double> amplitudes) {
    return h <= static_cast<int>(amplitudes.size()) ? amplitudes.begin()[h - 1] : 0.0;
}
double odd(int h) { return h % 2 != 0 ? 1.0 / h : 0.0; }
double power_law(int h, double exponent) { return std::pow(static_cast<double>(h), exponent); }

// Attacks of the bowed and blown families are held to 30 ms and the pads'
// to 0.3 s; everything else is today's.
const Family kFamilies[kFamilyCount] = {
    {"piano", [](int h) { return power_law(h, -1.4) * (h == 7 ? 0.3 : 1.0); }, 0.002, 2.0, 0.0, 0.15, 0.10, true},
    {"chromatic percussion", [](int h) { return listed(h, {1.0, 0.1, 0.35, 0.45, 0.0, 0.15}); },
     0.001, 1.2, 0.0, 0.35, 0.10, true},
    {"organ", [](int h) { return listed(h, {1.0, 0.7, 0.5, 0.45, 0.0, 0.3, 0.0, 0.25, 0.0, 0.1, 0.0, 0.1}); },
     0.008, 0.05, 0.9, 0.06, 0.07, false},
    {"guitar", [](int h) { return std::fabs(std::sin(oscillator::kPi * h * 0.18)) / h; },
     0.002, 1.8, 0.0, 0.12, 0.11, true},
    {"bass", [](int h) { return power_law(h, -2.0); }, 0.004, 1.2, 0.3, 0.08, 0.12, true},
    {"strings", [](int h) { return 1.0 / h; }, 0.03, 0.25, 0.85, 0.3, 0.07, false},
    {"ensemble", [](int h) { return power_law(h, -1.2); }, 0.03, 0.3, 0.85, 0.45, 0.07, false},
    {"brass", [](int h) { return h <= 12 ? power_law(h, -0.9) : power_law(h, -2.0); },
     0.03, 0.15, 0.8, 0.15, 0.07, false},
    {"reed", [](int h) { return h % 2 != 0 ? 1.0 / h : 0.3 / h; }, 0.03, 0.1, 0.85, 0.1, 0.07, false},
    {"pipe", [](int h) { return listed(h, {1.0, 0.15, 0.08, 0.03}); }, 0.03, 0.1, 0.9, 0.12, 0.09, false},
    {"synth lead", odd, 0.005, 0.1, 0.8, 0.08, 0.07, false},
    {"synth pad", [](int h) { return power_law(h, -1.5); }, 0.3, 0.5, 0.8, 0.9, 0.06, false},
    {"synth effects", [](int h) { return h % 3 != 0 ? 1.0 / h : 0.5 / h; }, 0.2, 1.0, 0.6, 1.2, 0.06, false},
    {"ethnic", [](int h) { return power_law(h, -0.9); }, 0.002, 1.0, 0.0, 0.2, 0.09, true},
    {"percussive", [](int h) { return listed(h, {1.0, 0.3, 0.0, 0.0, 0.2}); }, 0.001, 0.4, 0.0, 0.1, 0.11, true},
    {"sound effects", nullptr, 0.05, 0.3, 0.6, 0.3, 0.06, false},
};

// Today's decay fell linearly in amplitude to its sustain level; a decay
// generator is the time of a 100 dB fall. This one passes today's sustain
// level when today's reached it, and silence when a sustain of 0 did.
double decay_seconds(const Family& family) {
    if (family.sustain <= 0.0) return family.decay;
    return family.decay * kVolEnvDecayDb / (-20.0 * std::log10(family.sustain));
}

GeneratorSet family_generators(const Family& family) {
    GeneratorSet set;
    set.set(Generator::sampleModes, kLoopContinuously);
    set.set(Generator::attackVolEnv, timecents(family.attack, Generator::attackVolEnv));
    set.set(Generator::decayVolEnv, timecents(decay_seconds(family), Generator::decayVolEnv));
    set.set(Generator::releaseVolEnv, timecents(family.release, Generator::releaseVolEnv));
    if (!family.decays) {
        set.set(Generator::sustainVolEnv, centibels(family.sustain, Generator::sustainVolEnv));
        return set;
    }
    set.set(Generator::sustainVolEnv, kSilentSustain);
    set.set(Generator::keynumToVolEnvDecay, kDecayTimecentsPerKey);
    set.set(Generator::initialFilterFc, in_range(kOpenCutoff - kDarkening, Generator::initialFilterFc));
    set.set(Generator::modEnvToFilterFc, in_range(kDarkening, Generator::modEnvToFilterFc));
    set.set(Generator::decayModEnv, timecents(decay_seconds(family) * kDarkeningShare, Generator::decayModEnv));
    set.set(Generator::sustainModEnv, kEmptyModSustain);
    set.set(Generator::keynumToModEnvDecay, kDecayTimecentsPerKey);
    return set;
}

struct ZoneKeys {
    int root, top;
};

std::vector<ZoneKeys> zone_keys() {
    std::vector<ZoneKeys> zones;
    for (int root = 0; root < kKeyCount; root += kZoneWidth)
        zones.push_back({root, std::min(root + kZoneWidth - 1, kKeyCount - 1)});
    return zones;
}

// The frames of one cycle of the root stored at about twice the output rate.
std::size_t oversampled_cycle(int root, std::uint32_t rate) {
    return std::max<std::size_t>(2, static_cast<std::size_t>(std::round(kOversampling * rate / key_hz(root))));
}

// The rate at which `cycle` frames play exactly the root's frequency.
std::uint32_t stored_rate(int root, std::size_t cycle) {
    return static_cast<std::uint32_t>(std::round(key_hz(root) * static_cast<double>(cycle)));
}

int harmonic_count(int top, std::uint32_t rate) {
    return static_cast<int>(std::clamp(std::floor(kBrightnessLimit * rate / key_hz(top)), 1.0, double(kMaxHarmonics)));
}

// Harmonic h reads the oscillator's cycle h frames at a time, so that every
// harmonic closes exactly on the loop.
Signal harmonic_cycle(Recipe recipe, std::size_t cycle, int harmonics) {
    const Samples sine = oscillator::SineOscillator{1.0, 1.0, static_cast<std::uint32_t>(cycle)}.render(cycle).result;
    Signal total(cycle, 0.0);
    for (int h = 1; h <= harmonics; ++h) {
        const double amplitude = recipe(h);
        if (amplitude == 0.0) continue;
        const std::size_t step = static_cast<std::size_t>(h) % cycle;
        std::size_t at = 0;  // h * n mod cycle, without a division per frame
        for (std::size_t n = 0; n < cycle; ++n) {
            total[n] += amplitude * sine[at];
            at += step;
            if (at >= cycle) at -= cycle;
        }
    }
    return total;
}

// `signal` scaled so that its peak is `level`, as frames.
std::shared_ptr<const Samples> normalised(const Signal& signal, double level) {
    double peak = 0.0;
    for (double value : signal) peak = std::max(peak, std::fabs(value));
    const double gain = level / (peak > 0.0 ? peak : 1.0);
    auto frames = std::make_shared<Samples>(zeroed_samples(signal.size()));
    for (std::size_t i = 0; i < signal.size(); ++i) (*frames)[i] = narrow(signal[i] * gain);
    return frames;
}

// The first `frames` of `pool`, its loop spanning them all (a one-shot ignores it).
Sample sample_of(std::string name, const std::shared_ptr<const Samples>& pool, std::size_t frames,
                 std::uint32_t rate, int root) {
    Sample sample;
    sample.name = std::move(name);
    sample.owner = pool;
    sample.data = std::span<const float>(pool->data(), frames);
    sample.end = sample.loop_end = static_cast<std::uint32_t>(frames);
    sample.rate = rate;
    sample.original_key = static_cast<std::uint8_t>(root);
    return sample;
}

std::string zone_name(const Family& family, const ZoneKeys& keys) {
    return std::string(family.name) + " " + std::to_string(keys.root) + "-" + std::to_string(keys.top);
}

std::vector<Sample> harmonic_samples(const Family& family, std::uint32_t rate) {
    std::vector<Sample> samples;
    for (const ZoneKeys& keys : zone_keys()) {
        const std::size_t cycle = std::min(oversampled_cycle(keys.root, rate), kMaxCycle);
        auto data = normalised(harmonic_cycle(family.recipe, cycle, harmonic_count(keys.top, rate)), family.level);
        samples.push_back(sample_of(zone_name(family, keys), data, cycle, stored_rate(keys.root, cycle), keys.root));
    }
    return samples;
}

// A zone's noise loop: whole cycles of the root, about half the output rate
// in frames (a quarter of a second at the root), as today.
std::size_t noise_frames(std::size_t cycle, std::uint32_t rate) {
    return cycle * std::max<std::size_t>(1, rate / (2 * cycle));
}

// Every zone's loop is a prefix of one seeded noise, so the zones share its frames.
std::vector<Sample> noise_samples(const Family& family, std::uint32_t rate) {
    std::size_t longest = 0;
    for (const ZoneKeys& keys : zone_keys())
        longest = std::max(longest, noise_frames(oversampled_cycle(keys.root, rate), rate));
    const Samples noise = oscillator::NoiseSource{1.0, kNoiseSeed}.render(longest).result;
    auto pool = normalised(Signal(noise.begin(), noise.end()), family.level);
    std::vector<Sample> samples;
    for (const ZoneKeys& keys : zone_keys()) {
        const std::size_t cycle = oversampled_cycle(keys.root, rate);
        samples.push_back(sample_of(zone_name(family, keys), pool, noise_frames(cycle, rate),
                                    stored_rate(keys.root, cycle), keys.root));
    }
    return samples;
}

Zone keys_zone(int low, int high, std::size_t target) {
    Zone zone;
    zone.keys = {static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(high)};
    zone.target = target;
    return zone;
}

// A family's bank: its instrument (index 0) and its samples; presets come one
// program at a time.
std::unique_ptr<Bank> family_bank(const Family& family, std::uint32_t rate) {
    auto bank = std::make_unique<Bank>();
    Instrument instrument;
    instrument.name = std::string(family.name);
    instrument.global.generators = family_generators(family);
    instrument.global.modulators = {kVelocityToCutoff};
    auto samples = family.recipe != nullptr ? harmonic_samples(family, rate) : noise_samples(family, rate);
    for (Sample& sample : samples) {
        const int root = sample.original_key;
        const std::size_t index = bank->add_sample(std::move(sample));
        instrument.zones.push_back(keys_zone(root, std::min(root + kZoneWidth - 1, kKeyCount - 1), index));
    }
    bank->add_instrument(std::move(instrument));
    return bank;
}

Preset program_preset(std::uint8_t program) {
    const Family& family = kFamilies[program / kProgramsPerFamily];
    Preset preset;
    preset.name = std::string(family.name) + " " + std::to_string(program % kProgramsPerFamily + 1);
    preset.program = program;
    preset.zones.push_back(keys_zone(0, kKeyCount - 1, 0));
    return preset;
}

// ---------------------------------------------------------------------------
// The drum kit: one-shot samples at the output rate, one per note.

constexpr int kFirstDrum = 27;
constexpr int kLastDrum = 87;
constexpr int kDrumCount = kLastDrum - kFirstDrum + 1;
constexpr double kDrumLevel = 0.25;
constexpr std::int16_t kLongestRelease = 8000;  // a note-off barely touches a hit, so a short note sounds whole
constexpr std::int16_t kHiHatClass = 1;
constexpr std::int16_t kTriangleClass = 2;
constexpr double kFallTo = 0.001;               // a drum's decay reaches this amplitude after its time
constexpr std::size_t kSineTable = 8192;        // frames of the drums' sine cycle

enum class Kind : std::uint8_t { tuned, shaker, hat, cymbal, kick, tom, snare, clap };

struct DrumRecipe {
    std::uint8_t note;
    std::string_view name;
    Kind kind;
    double seconds = 0.0;        // length and decay, as the kind reads them
    std::array<double, 3> hz{};  // tones, a cymbal's ring (0: none), a kick's sweep from and to, a tom's pitch
};

constexpr DrumRecipe kDrums[] = {
    {27, "high Q", Kind::tuned, 0.08, {2200.0}},
    {28, "slap", Kind::shaker, 0.1},
    {29, "scratch push", Kind::shaker, 0.15},
    {30, "scratch pull", Kind::shaker, 0.2},
    {31, "sticks", Kind::tuned, 0.05, {1800.0, 2600.0}},
    {32, "square click", Kind::tuned, 0.05, {1500.0}},
    {33, "metronome click", Kind::tuned, 0.04, {2000.0}},
    {34, "metronome bell", Kind::tuned, 0.5, {2637.0, 3951.0}},
    {35, "acoustic bass drum", Kind::kick, 0.0, {100.0, 40.0}},
    {36, "bass drum", Kind::kick, 0.0, {120.0, 45.0}},
    {37, "side stick", Kind::tuned, 0.05, {820.0, 1630.0}},
    {38, "acoustic snare", Kind::snare},
    {39, "hand clap", Kind::clap},
    {40, "electric snare", Kind::snare},
    {41, "low floor tom", Kind::tom, 0.0, {82.0}},
    {42, "closed hi-hat", Kind::hat, 0.06},
    {43, "high floor tom", Kind::tom, 0.0, {98.0}},
    {44, "pedal hi-hat", Kind::hat, 0.1},
    {45, "low tom", Kind::tom, 0.0, {110.0}},
    {46, "open hi-hat", Kind::hat, 0.6},
    {47, "low-mid tom", Kind::tom, 0.0, {131.0}},
    {48, "high-mid tom", Kind::tom, 0.0, {147.0}},
    {49, "crash cymbal", Kind::cymbal, 1.6},
    {50, "high tom", Kind::tom, 0.0, {175.0}},
    {51, "ride cymbal", Kind::cymbal, 1.4, {2320.0, 3170.0, 4510.0}},
    {52, "chinese cymbal", Kind::cymbal, 1.2},
    {53, "ride bell", Kind::tuned, 0.9, {2320.0, 3170.0, 4510.0}},
    {54, "tambourine", Kind::shaker, 0.25},
    {55, "splash cymbal", Kind::cymbal, 0.7},
    {56, "cowbell", Kind::tuned, 0.3, {562.0, 845.0}},
    {57, "crash cymbal 2", Kind::cymbal, 1.8},
    {58, "vibraslap", Kind::shaker, 0.8},
    {59, "ride cymbal 2", Kind::cymbal, 1.5, {2410.0, 3310.0, 4680.0}},
    {60, "high bongo", Kind::tuned, 0.2, {410.0}},
    {61, "low bongo", Kind::tuned, 0.25, {300.0}},
    {62, "mute high conga", Kind::tuned, 0.08, {370.0}},
    {63, "open high conga", Kind::tuned, 0.3, {330.0}},
    {64, "low conga", Kind::tuned, 0.35, {250.0}},
    {65, "high timbale", Kind::tuned, 0.3, {660.0}},
    {66, "low timbale", Kind::tuned, 0.35, {500.0}},
    {67, "high agogo", Kind::tuned, 0.3, {890.0, 1330.0}},
    {68, "low agogo", Kind::tuned, 0.3, {740.0, 1110.0}},
    {69, "cabasa", Kind::shaker, 0.15},
    {70, "maracas", Kind::shaker, 0.12},
    {71, "short whistle", Kind::tuned, 0.25, {2100.0}},
    {72, "long whistle", Kind::tuned, 0.6, {2100.0}},
    {73, "short guiro", Kind::shaker, 0.1},
    {74, "long guiro", Kind::shaker, 0.4},
    {75, "claves", Kind::tuned, 0.1, {2500.0}},
    {76, "high wood block", Kind::tuned, 0.1, {1200.0}},
    {77, "low wood block", Kind::tuned, 0.1, {900.0}},
    {78, "mute cuica", Kind::tuned, 0.15, {620.0, 930.0}},
    {79, "open cuica", Kind::tuned, 0.3, {470.0, 700.0}},
    {80, "mute triangle", Kind::tuned, 0.15, {4200.0, 6100.0}},
    {81, "open triangle", Kind::tuned, 1.2, {4200.0, 6100.0}},
    {82, "shaker", Kind::shaker, 0.15},
    {83, "jingle bell", Kind::shaker, 0.4},
    {84, "bell tree", Kind::tuned, 0.6, {3200.0}},
    {85, "castanets", Kind::tuned, 0.06, {1700.0}},
    {86, "mute surdo", Kind::tuned, 0.3, {220.0}},
    {87, "open surdo", Kind::tuned, 0.5, {180.0}},
};

constexpr bool in_note_order() {
    for (int i = 0; i < kDrumCount; ++i)
        if (kDrums[i].note != kFirstDrum + i) return false;
    return std::size(kDrums) == kDrumCount;
}
static_assert(in_note_order(), "the kit's table holds every note from the first to the last, in order");

// Closed and pedal hats choke the open one, a muted triangle the open one.
std::int16_t exclusive_class(int note) {
    switch (note) {
        case 42: case 44: case 46: return kHiHatClass;
        case 80: case 81: return kTriangleClass;
        default: return 0;
    }
}

// A drum's sound and the decay shaping it, by which its DC is taken out.
struct Hit {
    Signal sound;
    Signal envelope;
};

class Drummer {
public:
    explicit Drummer(std::uint32_t rate) : rate_(rate) {}
    Hit hit(const DrumRecipe& recipe);

private:
    std::size_t frames(double seconds) const { return static_cast<std::size_t>(seconds * rate_); }
    Signal fall(std::size_t frames, double seconds) const;
    Hit decayed(Signal body, double seconds) const;
    const Samples& sine_table();
    Signal sweep(double from_hz, double to_hz, double sweep_seconds, double seconds);
    Signal noise(double seconds, std::uint64_t seed, int brightness) const;
    Signal tones(const std::array<double, 3>& hz, double seconds);
    Hit kick(const DrumRecipe& recipe);
    Hit tom(const DrumRecipe& recipe);
    Hit snare(const DrumRecipe& recipe);
    Hit clap(const DrumRecipe& recipe) const;
    Hit cymbal(const DrumRecipe& recipe);

    std::uint32_t rate_;
    Samples table_;  // one sine cycle and its first frame again, made for the first drum that needs it
};

// An exponential fall to kFallTo after `seconds`, through libm's exp.
Signal Drummer::fall(std::size_t count, double seconds) const {
    const double per_frame = std::log(kFallTo) / (seconds * rate_);
    Signal envelope(count);
    for (std::size_t n = 0; n < count; ++n) envelope[n] = std::exp(per_frame * static_cast<double>(n));
    return envelope;
}

Hit Drummer::decayed(Signal body, double seconds) const {
    Signal envelope = fall(body.size(), seconds);
    for (std::size_t n = 0; n < body.size(); ++n) body[n] *= envelope[n];
    return {std::move(body), std::move(envelope)};
}

const Samples& Drummer::sine_table() {
    if (table_.empty()) table_ = oscillator::SineOscillator{1.0, 1.0, kSineTable}.render(kSineTable + 1).result;
    return table_;
}

// The oscillator's own cycle at `phase` (0 to 1), by linear interpolation:
// within 1e-7 of the sine, at a fraction of the cost of a libm sine per frame.
double sine_at(const Samples& table, double phase) {
    const double at = phase * kSineTable;
    const auto i = static_cast<std::size_t>(at);
    return table[i] + (double(table[i + 1]) - table[i]) * (at - static_cast<double>(i));
}

// A sine gliding exponentially from `from_hz` to `to_hz`.
Signal Drummer::sweep(double from_hz, double to_hz, double sweep_seconds, double seconds) {
    const Samples& table = sine_table();
    Signal out(frames(seconds));
    double phase = 0.0;
    for (std::size_t n = 0; n < out.size(); ++n) {
        const double t = static_cast<double>(n) / rate_;
        phase += (to_hz + (from_hz - to_hz) * std::exp(-t / sweep_seconds)) / rate_;
        phase -= std::floor(phase);
        out[n] = sine_at(table, phase);
    }
    return out;
}

// Noise; each degree of `brightness` differentiates it once, a gentle high-pass.
Signal Drummer::noise(double seconds, std::uint64_t seed, int brightness) const {
    const Samples raw = oscillator::NoiseSource{1.0, seed}.render(frames(seconds) + brightness).result;
    Signal out(raw.begin(), raw.end());
    for (int pass = 0; pass < brightness; ++pass) {
        for (std::size_t n = 0; n + 1 < out.size(); ++n) out[n] = out[n + 1] - out[n];
        out.pop_back();
    }
    return out;
}

Signal Drummer::tones(const std::array<double, 3>& hz, double seconds) {
    const Samples& table = sine_table();
    Signal out(frames(seconds), 0.0);
    for (double frequency : hz) {
        if (frequency == 0.0) break;
        // Whole cycles in a step change nothing but would leave the table.
        const double step = frequency / rate_ - std::floor(frequency / rate_);
        double phase = 0.0;
        for (double& value : out) {
            value += sine_at(table, phase);
            phase += step;
            if (phase >= 1.0) phase -= 1.0;
        }
    }
    return out;
}

constexpr double kKickSweep = 0.04, kKickSeconds = 0.45, kKickDecay = 0.4;
constexpr double kTomRise = 1.6, kTomSweep = 0.05, kTomSeconds = 0.6, kTomDecay = 0.5, kTomNoise = 0.15;
constexpr double kSnareFrom = 260.0, kSnareTo = 185.0, kSnareSweep = 0.02, kSnareSeconds = 0.3;
constexpr double kSnareTone = 0.6, kSnareToneDecay = 0.08, kSnareDecay = 0.22;
constexpr double kClapSeconds = 0.35;
struct Burst {
    double start, decay;  // seconds
};
// Three slaps, then the room's tail.
constexpr Burst kClapBursts[] = {{0.0, 0.02}, {0.011, 0.02}, {0.022, 0.02}, {0.033, 0.25}};
constexpr double kCymbalRing = 0.3;

Hit Drummer::kick(const DrumRecipe& recipe) {
    return decayed(sweep(recipe.hz[0], recipe.hz[1], kKickSweep, kKickSeconds), kKickDecay);
}

Hit Drummer::tom(const DrumRecipe& recipe) {
    const double hz = recipe.hz[0];
    Signal body = sweep(hz * kTomRise, hz, kTomSweep, kTomSeconds);
    const Signal rattle = noise(kTomSeconds, static_cast<std::uint64_t>(hz), 0);
    for (std::size_t n = 0; n < body.size(); ++n) body[n] += kTomNoise * rattle[n];
    return decayed(std::move(body), kTomDecay);
}

Hit Drummer::snare(const DrumRecipe& recipe) {
    const Signal tone = sweep(kSnareFrom, kSnareTo, kSnareSweep, kSnareSeconds);
    const Signal tone_fall = fall(tone.size(), kSnareToneDecay);
    Signal body = noise(kSnareSeconds, recipe.note, 1);
    for (std::size_t n = 0; n < body.size(); ++n) body[n] += kSnareTone * tone[n] * tone_fall[n];
    return decayed(std::move(body), kSnareDecay);
}

Hit Drummer::clap(const DrumRecipe& recipe) const {
    Signal sound = noise(kClapSeconds, recipe.note, 1);
    Signal bursts(sound.size(), 0.0);
    for (const Burst& each : kClapBursts) {
        const std::size_t begin = std::min(frames(each.start), sound.size());
        const Signal burst = fall(sound.size() - begin, each.decay);
        for (std::size_t n = begin; n < sound.size(); ++n) bursts[n] += burst[n - begin];
    }
    for (std::size_t n = 0; n < sound.size(); ++n) sound[n] *= bursts[n];
    return {std::move(sound), std::move(bursts)};
}

Hit Drummer::cymbal(const DrumRecipe& recipe) {
    Signal body = noise(recipe.seconds, recipe.note, 1);
    if (recipe.hz[0] != 0.0) {
        const Signal ring = tones(recipe.hz, recipe.seconds);
        for (std::size_t n = 0; n < body.size(); ++n) body[n] += kCymbalRing * ring[n];
    }
    return decayed(std::move(body), recipe.seconds);
}

Hit Drummer::hit(const DrumRecipe& recipe) {
    constexpr double kHatTail = 0.05;  // seconds a hat rings past its decay time
    switch (recipe.kind) {
        case Kind::tuned: return decayed(tones(recipe.hz, recipe.seconds), recipe.seconds);
        case Kind::shaker: return decayed(noise(recipe.seconds, recipe.note, 2), recipe.seconds / 2);
        case Kind::hat: return decayed(noise(recipe.seconds + kHatTail, recipe.note, 2), recipe.seconds);
        case Kind::cymbal: return cymbal(recipe);
        case Kind::kick: return kick(recipe);
        case Kind::tom: return tom(recipe);
        case Kind::snare: return snare(recipe);
        case Kind::clap: return clap(recipe);
    }
    throw Fault("an unknown kind of drum");
}

// The hit less its mean, taken out in the shape of its own decay, so that
// it starts and ends at rest instead of on a step.
Signal centred(Hit hit) {
    double sum = 0.0, weight = 0.0;
    for (std::size_t n = 0; n < hit.sound.size(); ++n) {
        sum += hit.sound[n];
        weight += hit.envelope[n];
    }
    const double offset = weight > 0.0 ? sum / weight : 0.0;
    for (std::size_t n = 0; n < hit.sound.size(); ++n) hit.sound[n] -= offset * hit.envelope[n];
    return std::move(hit.sound);
}

// A note's bank: its one-shot sample, an instrument of one zone and the kit
// preset sounding it on that key alone.
std::unique_ptr<Bank> drum_bank(const DrumRecipe& recipe, Drummer& drummer, std::uint32_t rate) {
    auto data = normalised(centred(drummer.hit(recipe)), kDrumLevel);
    auto bank = std::make_unique<Bank>();
    const std::size_t sample =
        bank->add_sample(sample_of(std::string(recipe.name), data, data->size(), rate, recipe.note));

    Instrument instrument;
    instrument.name = std::string(recipe.name);
    Zone zone = keys_zone(recipe.note, recipe.note, sample);
    zone.generators.set(Generator::sampleModes, kNoLoop);
    zone.generators.set(Generator::releaseVolEnv, kLongestRelease);
    if (std::int16_t group = exclusive_class(recipe.note)) zone.generators.set(Generator::exclusiveClass, group);
    instrument.zones.push_back(std::move(zone));
    instrument.global.modulators = {kVelocityToCutoff};
    const std::size_t index = bank->add_instrument(std::move(instrument));

    Preset kit;
    kit.name = "drum kit";
    kit.bank = kDrumBank;
    kit.zones.push_back(keys_zone(recipe.note, recipe.note, index));
    bank->add_preset(std::move(kit));
    return bank;
}

void append_voices(const Bank& bank, std::uint16_t number, std::uint8_t program, std::uint8_t key,
                   std::uint8_t velocity, std::vector<VoicePlan>& plans) {
    auto found = bank.voices(*bank.find(number, program), key, velocity);
    plans.insert(plans.end(), std::make_move_iterator(found.begin()), std::make_move_iterator(found.end()));
}

}  // namespace

// Each family and each drum note has a bank of its own, complete before any
// voice reads it: a voice plan points at its sample inside a bank, and a
// bank's samples move when one is added. A family's bank gains only presets
// afterwards, which move nothing.
struct BuiltinBank::State {
    explicit State(std::uint32_t rate) : rate(rate), drummer(rate) {}

    const Bank& program(std::uint8_t program);
    const Bank* drum(std::uint8_t note);
    void open_kit() {
        if (!kit) ++built;
        kit = true;
    }

    std::uint32_t rate;
    std::array<std::unique_ptr<Bank>, kFamilyCount> families;
    std::array<std::unique_ptr<Bank>, kDrumCount> drums;
    Drummer drummer;
    bool kit = false;
    std::size_t built = 0;
};

const Bank& BuiltinBank::State::program(std::uint8_t program) {
    std::unique_ptr<Bank>& bank = families[program / kProgramsPerFamily];
    if (!bank) bank = family_bank(kFamilies[program / kProgramsPerFamily], rate);
    if (bank->find(0, program) == nullptr) {
        bank->add_preset(program_preset(program));
        ++built;
    }
    return *bank;
}

// The kit is built a note at a time: all of it is some 26 s of sound, 4.5 MB
// at 44.1 kHz, where a song plays a handful of its notes.
const Bank* BuiltinBank::State::drum(std::uint8_t note) {
    if (note < kFirstDrum || note > kLastDrum) return nullptr;
    std::unique_ptr<Bank>& bank = drums[note - kFirstDrum];
    if (!bank) bank = drum_bank(kDrums[note - kFirstDrum], drummer, rate);
    return bank.get();
}

BuiltinBank::BuiltinBank(std::uint32_t rate) {
    if (rate == 0) throw ValueError("the built-in bank: a rate of 0 frames per second");
    state_ = std::make_unique<State>(rate);
}

BuiltinBank::~BuiltinBank() = default;

bool BuiltinBank::has(std::uint16_t bank, std::uint8_t program) {
    if (bank == 0 && program < kKeyCount) {
        state_->program(program);
        return true;
    }
    if (bank == kDrumBank && program == 0) {
        state_->open_kit();
        return true;
    }
    return false;
}

void BuiltinBank::voices(std::uint16_t bank, std::uint8_t program, std::uint8_t key, std::uint8_t velocity,
                         std::vector<VoicePlan>& plans) {
    if (!has(bank, program)) return;
    const Bank* source = bank == kDrumBank ? state_->drum(key) : &state_->program(program);
    if (source != nullptr) append_voices(*source, bank, program, key, velocity, plans);
}

std::size_t BuiltinBank::built() const { return state_->built; }

namespace {

// Appends `from`'s samples, instruments and presets to `into`, with the
// zones' targets moved past what `into` held; its drum kit's zones join `kit`.
void append_bank(Bank& into, const Bank& from, Preset& kit) {
    const std::size_t first_sample = into.sample_count(), first_instrument = into.instrument_count();
    for (std::size_t i = 0; i < from.sample_count(); ++i) into.add_sample(from.sample(i));
    for (std::size_t i = 0; i < from.instrument_count(); ++i) {
        Instrument instrument = from.instrument(i);
        for (Zone& zone : instrument.zones) zone.target += first_sample;
        into.add_instrument(std::move(instrument));
    }
    for (const auto& [key, found] : from.presets()) {
        Preset preset = found;
        for (Zone& zone : preset.zones) zone.target += first_instrument;
        if (preset.bank == kDrumBank) kit.zones.insert(kit.zones.end(), preset.zones.begin(), preset.zones.end());
        else into.add_preset(std::move(preset));
    }
}

}  // namespace

std::shared_ptr<Bank> BuiltinBank::whole_bank() {
    auto whole = std::make_shared<Bank>();
    Preset kit;
    kit.name = "drum kit";
    kit.bank = kDrumBank;
    for (int program = 0; program < kKeyCount; program += kProgramsPerFamily) {
        for (int member = program; member < program + kProgramsPerFamily; ++member)
            state_->program(static_cast<std::uint8_t>(member));
        append_bank(*whole, *state_->families[program / kProgramsPerFamily], kit);
    }
    for (int note = kFirstDrum; note <= kLastDrum; ++note)
        append_bank(*whole, *state_->drum(static_cast<std::uint8_t>(note)), kit);
    whole->add_preset(std::move(kit));
    return whole;
}

}  // namespace ostina::synth
