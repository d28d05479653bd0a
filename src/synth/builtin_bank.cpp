#include "synth/builtin_bank.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <tuple>

#include "errors.hpp"
#include "oscillator.hpp"
#include "synth/units.hpp"

namespace ostina::synth {
namespace {

// Sounds are summed in 64 bits and narrowed to 32 once, when they become a
// sample's frames.
using Signal = std::vector<double>;

constexpr int kKeyCount = 128;
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

constexpr std::int16_t kLoopContinuously = 1;
constexpr std::int16_t kNoLoop = 0;
constexpr std::int16_t kEmptyModSustain = 1000;  // 0.1 % below the peak: all the way down
constexpr double kVolEnvDecayDb = 100.0;         // a decay time is the time of this fall

// ---------------------------------------------------------------------------
// Pitched families: a cycle of a sum of harmonics per zone, looped.

constexpr int kZoneWidth = 24;                // keys per zone, rooted at its lowest key
constexpr int kMaxHarmonics = 64;
constexpr double kBrightnessLimit = 0.4;      // the highest harmonic at a zone's top key, over the output rate
constexpr double kOversampling = 2.0;         // a cycle is stored at about this times the output rate...
// ...but no longer than this: 64 harmonics still get 32 frames per cycle of
// the highest, more than the ~20 the oversampled zones give theirs, and the
// two lowest zones take a fifth of the memory.
constexpr std::size_t kMaxCycle = 2048;
constexpr std::uint64_t kNoiseSeed = 15;      // the noise's seed since its first day

// The struck and plucked designs start open and darken: the low-pass
// follows the modulation envelope, which rises with the volume's attack
// and falls back over the design's sweep, sooner on higher keys. A soft
// note sounds darker: velocity 0 lowers the cutoff by 2000 cents. Every
// filtered design declares both modulators, since players' defaults lack them.
constexpr Modulator kVelocityToCutoff{{0x100 | ModulatorSource::kNoteOnVelocity}, Generator::initialFilterFc, -2000, {}, 0};
constexpr double kKeyTrackingCents = 12700.0;  // a modulator amount moving the cutoff 100 cents a key
constexpr double kSilent = 100.0;               // a sustain this far down: the note fades out while held
constexpr int kMiddleC = 60;                    // where a design's times and cutoff are given

using Recipe = double (*)(int harmonic);  // the amplitude of harmonic h, from 1; null: noise

struct Vibrato {
    double delay = 0.0, hz = 0.0, cents = 0.0;  // none when `cents` is 0
};

// A struck string's prompt sound: the strings of a note first sound in
// phase and give their energy quickly to the bridge, then settle into a
// slower aftersound (the volume envelope's decay). The note starts
// `excess_db` louder and falls to its steady level, with `seconds` as the
// time constant at the zone's root.
struct Prompt {
    double excess_db = 0.0, seconds = 0.0;  // none when `seconds` is 0
};

// One instrument of the bank, shared by the programs that sound alike.
struct Design {
    std::string_view name;
    Recipe recipe;
    double attack, decay;      // seconds: the decay's to the sustain, or to silence for kSilent
    double sustain_db;         // below the peak
    double release;            // seconds
    double decay_per_key;      // timecents shorter a key up, for the decay and the darkening
    double level;              // its samples' peak, which balances the designs against each other
    double cutoff;             // Hz at key 60 and full velocity, once the sweep is over; 0: no filter
    double sweep;              // cents the cutoff rises by with the attack
    double sweep_seconds;      // ...and falls back over
    double tracking;           // the share of the key's pitch the cutoff follows
    Vibrato vibrato;
    double tilt = 0.0;         // dB an octave that lower keys are quieter by, about key 64
    Prompt prompt = {};
    double stretch = 0.0;      // a stiff string's inharmonicity at key 60, doubling every 10 keys up
    double bass_flattening = 0.0;  // how much less steep the recipe's fall is at key 0, an exponent, to none by key 72
};

double listed(int h, std::initializer_list<double> amplitudes) {
    return h <= static_cast<int>(amplitudes.size()) ? amplitudes.begin()[h - 1] : 0.0;
}
double power_law(int h, double exponent) { return std::pow(static_cast<double>(h), exponent); }
// A string plucked or struck at `position` of its length lacks the harmonics
// with a node there; a finger or hammer of some width never quite silences them.
double excited_at(int h, double position) { return 0.15 + 0.85 * std::fabs(std::sin(oscillator::kPi * h * position)); }
// Harmonics falling by `exponent` up to `knee`, then by `steeper`.
double bent(int h, int knee, double exponent, double steeper) {
    return h <= knee ? power_law(h, exponent) : power_law(knee, exponent) * power_law(h, steeper) / power_law(knee, steeper);
}
// Hammond-like drawbars at 8', 4', 2 2/3', 2', 1 1/3' and 1' (harmonics 1,
// 2, 3, 4, 6 and 8), set 8 8 6 6 4 4: each step below 8 is 3 dB down.
double drawbars(int h) { return listed(h, {1.0, 1.0, 0.5, 0.5, 0.0, 0.25, 0.0, 0.25}); }

enum DesignIndex : std::uint8_t {
    kPiano, kHarpsichord, kMallets, kOrgan, kFreeReeds, kGuitar, kOverdriven, kBass, kSynthBass, kBowed,
    kPlucked, kMembranes, kStringEnsemble, kChoir, kOrchestraHit, kBrass, kReeds, kPipes, kSynthLead,
    kSynthPad, kSynthEffects, kEthnicPlucks, kNoise, kDesignCount
};

// Spectra and times from the instruments' acoustics: piano and guitar
// strings excited near one end, decays of some ten seconds at middle C on a
// piano and a few on plucked strings, shortening up the keyboard; tuned bars
// sounding partials 1, 4 and 10; bowed strings' sawtooth and reeds' strong
// odd harmonics; flutes nearly sine; brass brightening as it swells.
const Design kDesigns[kDesignCount] = {
    {"piano", [](int h) { return excited_at(h, 1.0 / 8) * power_law(h, -1.6); },
     0.002, 14.0, kSilent, 0.8, 50, 0.175, 900, 1800, 1.5, 0.0, {}, 3.0, {12.0, 0.15}, 0.0004, 0.7},
    {"harpsichord", [](int h) { return excited_at(h, 0.08) * power_law(h, -0.9); },
     0.001, 7.0, kSilent, 0.12, 60, 0.151, 3500, 1200, 1.5, 0.8, {}},
    {"mallets", [](int h) { return listed(h, {1.0, 0.05, 0.25, 0.35, 0.2, 0.0, 0.0, 0.0, 0.15, 0.15, 0.0, 0.0, 0.1}); },
     0.001, 4.0, kSilent, 0.4, 60, 0.096, 5000, 1500, 0.25, 1.0, {}},
    {"drawbar organ", drawbars, 0.005, 0.05, 0.0, 0.05, 0, 0.087, 0, 0, 0, 0, {}},
    {"free reeds", [](int h) { return (h % 2 != 0 ? 1.0 : 0.7) * power_law(h, -0.9); },
     0.03, 0.1, 1.0, 0.08, 0, 0.120, 3500, 0, 0, 0.3, {}},
    {"guitar", [](int h) { return excited_at(h, 0.2) * power_law(h, -1.3); },
     0.002, 9.0, kSilent, 0.12, 50, 0.083, 1400, 2000, 1.2, 0.5, {}},
    {"overdriven guitar", [](int h) { return power_law(h, -0.8); },
     0.004, 4.0, 10.0, 0.1, 20, 0.161, 3000, 600, 0.5, 0.0, {}},
    {"bass", [](int h) { return excited_at(h, 0.12) * power_law(h, -1.4); },
     0.003, 10.0, kSilent, 0.08, 40, 0.115, 1000, 1800, 0.6, 0.5, {}},
    {"synth bass", [](int h) { return 1.0 / h; }, 0.002, 0.5, 8.0, 0.06, 0, 0.116, 700, 3000, 0.35, 0.5, {}},
    {"bowed strings", [](int h) { return 1.0 / h; },
     0.035, 0.3, 2.0, 0.15, 0, 0.151, 3000, 900, 0.2, 0.4, {0.3, 5.5, 12}},
    {"plucked strings", [](int h) { return excited_at(h, 0.3) * power_law(h, -1.6); },
     0.002, 4.0, kSilent, 0.3, 50, 0.089, 1800, 1800, 0.5, 0.7, {}},
    {"membranes", [](int h) { return bent(h, 2, -0.5, -1.5); },
     0.001, 2.5, kSilent, 0.4, 40, 0.142, 2500, 1500, 0.15, 0.5, {}},
    {"string ensemble", [](int h) { return power_law(h, -1.2); },
     0.025, 0.4, 2.0, 0.6, 0, 0.073, 3600, 600, 0.3, 0.4, {0.35, 5.0, 8}},
    {"choir", [](int h) { return h <= 8 ? listed(h, {1.0, 0.9, 0.7, 0.35, 0.2, 0.15, 0.1, 0.06}) : 0.06 * power_law(h, -2.0) * 64; },
     0.06, 0.4, 1.0, 0.3, 0, 0.110, 3000, 0, 0, 0.3, {0.3, 5.0, 10}},
    {"orchestra hit", [](int h) { return power_law(h, -0.8); },
     0.003, 3.0, kSilent, 0.2, 30, 0.250, 1500, 1200, 0.3, 0.3, {}},
    {"brass", [](int h) { return bent(h, 6, -0.5, -2.0); },
     0.03, 0.25, 3.0, 0.12, 0, 0.140, 2800, 1500, 0.25, 0.6, {0.45, 5.0, 8}},
    {"reeds", [](int h) { return (h % 2 != 0 ? 1.0 : 0.5) * power_law(h, -0.8); },
     0.025, 0.2, 1.5, 0.08, 0, 0.148, 3000, 600, 0.15, 0.5, {0.35, 5.0, 12}},
    {"pipes", [](int h) { return bent(h, 3, -1.3, -3.0); },
     0.04, 0.15, 1.0, 0.12, 0, 0.102, 0, 0, 0, 0, {0.25, 5.0, 10}},
    {"synth lead", [](int h) { return (h % 2 != 0 ? 1.0 : 0.35) / h; },
     0.005, 0.3, 2.0, 0.08, 0, 0.107, 2500, 1500, 0.3, 0.7, {0.5, 5.5, 15}},
    {"synth pad", [](int h) { return power_law(h, -1.5); },
     0.25, 1.0, 3.0, 0.8, 0, 0.069, 1600, 1200, 1.5, 0.5, {0.5, 4.0, 6}},
    {"synth effects", [](int h) { return h % 3 != 0 ? 1.0 / h : 0.5 / h; },
     0.1, 1.5, 6.0, 1.0, 0, 0.099, 2500, 1200, 1.0, 0.5, {}},
    {"ethnic plucks", [](int h) { return excited_at(h, 0.1) * power_law(h, -1.1); },
     0.002, 5.0, kSilent, 0.2, 50, 0.115, 2500, 1500, 0.6, 0.7, {}},
    {"sound effects", nullptr, 0.05, 0.3, 4.0, 0.3, 0, 0.082, 3000, 0, 0, 0.5, {}},
};

// Which design each General MIDI program plays, in runs of programs.
struct DesignRun {
    std::uint8_t first;  // the run's first program; it lasts up to the next run's
    DesignIndex design;
};
constexpr DesignRun kRuns[] = {
    {0, kPiano}, {6, kHarpsichord}, {8, kMallets}, {15, kPlucked}, {16, kOrgan}, {20, kFreeReeds},
    {24, kGuitar}, {29, kOverdriven}, {31, kGuitar}, {32, kBass}, {38, kSynthBass}, {40, kBowed},
    {45, kPlucked}, {47, kMembranes}, {48, kStringEnsemble}, {52, kChoir}, {55, kOrchestraHit},
    {56, kBrass}, {64, kReeds}, {72, kPipes}, {80, kSynthLead}, {88, kSynthPad}, {96, kSynthEffects},
    {104, kEthnicPlucks}, {108, kMallets}, {109, kReeds}, {110, kBowed}, {111, kReeds}, {112, kMallets},
    {116, kMembranes}, {119, kNoise},
};

DesignIndex design_of(int program) {
    DesignIndex design = kPiano;
    for (const DesignRun& run : kRuns)
        if (run.first <= program) design = run.design;
    return design;
}

// Each program's level against its design's, in dB: programs sharing a
// design are not equally loud in General MIDI playing. The designs' samples
// are made this much louder and their voices attenuated as much again, so
// that a trim can raise a program as well as lower it.
constexpr double kHeadroomDb = 12.0;
constexpr std::array<std::int8_t, kKeyCount> kProgramTrims{
    0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 3, 7, -3, -6, 5, 0,
    0, 0, 0, 0, 0, 0, 0, -2, 0, 0, 3, -6, 0, -3, 3, 4,
    0, 0, 0, 2, 0, -7, 0, 0, 0, 0, 3, 0, -3, 0, 6, 0,
    0, 0, 0, 0, 0, -3, 0, 7, 0, 0, 0, -5, 7, -4, 2, 3,
    0, 0, 0, -5, 0, 0, 2, 0, 0, 0, 0, 0, -3, 0, 4, 4,
    3, 0, 3, 0, 0, 4, 0, 0, 0, 0, 0, 3, 0, 0, 2, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0,
    0, -5, 0, -7, 3, -5, 0, -3, 0, -6, 12, 7, 8, -4, 0, 9,
};

std::int16_t rounded_absolute_cents(double hz) { return static_cast<std::int16_t>(std::round(absolute_cents_of_hertz(hz))); }

// A decay generator is the time of a 100 dB fall; the design gives the time to its sustain.
double full_decay(const Design& design) { return design.decay * kVolEnvDecayDb / std::max(design.sustain_db, 1.0); }

void set_brightness(const Design& design, GeneratorSet& set) {
    const double tracked = kMiddleC * 100.0 * design.tracking;
    set.set(Generator::initialFilterFc, in_range(rounded_absolute_cents(design.cutoff) - tracked, Generator::initialFilterFc));
    if (design.sweep == 0.0) return;
    set.set(Generator::modEnvToFilterFc, in_range(design.sweep, Generator::modEnvToFilterFc));
    set.set(Generator::attackModEnv, timecents(design.attack, Generator::attackModEnv));
    set.set(Generator::decayModEnv, timecents(design.sweep_seconds, Generator::decayModEnv));
    set.set(Generator::sustainModEnv, kEmptyModSustain);
    set.set(Generator::keynumToModEnvDecay, in_range(design.decay_per_key, Generator::keynumToModEnvDecay));
}

void set_vibrato(const Vibrato& vibrato, GeneratorSet& set) {
    if (vibrato.cents == 0.0) return;
    set.set(Generator::delayVibLFO, timecents(vibrato.delay, Generator::delayVibLFO));
    set.set(Generator::freqVibLFO, rounded_absolute_cents(vibrato.hz));
    set.set(Generator::vibLfoToPitch, in_range(vibrato.cents, Generator::vibLfoToPitch));
}

GeneratorSet design_generators(const Design& design) {
    GeneratorSet set;
    set.set(Generator::sampleModes, kLoopContinuously);
    set.set(Generator::initialAttenuation, static_cast<std::int16_t>(10 * kHeadroomDb));
    set.set(Generator::attackVolEnv, timecents(design.attack, Generator::attackVolEnv));
    set.set(Generator::decayVolEnv, timecents(full_decay(design), Generator::decayVolEnv));
    set.set(Generator::sustainVolEnv, in_range(design.sustain_db * 10.0, Generator::sustainVolEnv));
    set.set(Generator::releaseVolEnv, timecents(design.release, Generator::releaseVolEnv));
    if (design.decay_per_key != 0.0)
        set.set(Generator::keynumToVolEnvDecay, in_range(design.decay_per_key, Generator::keynumToVolEnvDecay));
    if (design.cutoff > 0.0) set_brightness(design, set);
    set_vibrato(design.vibrato, set);
    return set;
}

double headroomed(const Design& design) { return design.level * gain_of_decibels(kHeadroomDb); }

// The key, centred on 64, to attenuation: 64 keys are 5.33 octaves.
Modulator key_tilt(double db_per_octave) {
    const auto amount = static_cast<std::int16_t>(std::round(10.0 * db_per_octave * 64.0 / 12.0));
    return {{0x300 | ModulatorSource::kNoteOnKey}, Generator::initialAttenuation, amount, {}, 0};
}

std::vector<Modulator> design_modulators(const Design& design) {
    std::vector<Modulator> modulators;
    if (design.tilt != 0.0) modulators.push_back(key_tilt(design.tilt));
    if (design.cutoff <= 0.0) return modulators;
    const auto tracking = static_cast<std::int16_t>(std::round(kKeyTrackingCents * design.tracking));
    modulators.push_back(kVelocityToCutoff);
    modulators.push_back({{ModulatorSource::kNoteOnKey}, Generator::initialFilterFc, tracking, {}, 0});
    return modulators;
}

struct ZoneKeys {
    int root, top;
};

ZoneKeys zone_of_root(int root) { return {root, std::min(root + kZoneWidth - 1, kKeyCount - 1)}; }

std::vector<ZoneKeys> zone_keys() {
    std::vector<ZoneKeys> zones;
    for (int root = 0; root < kKeyCount; root += kZoneWidth) zones.push_back(zone_of_root(root));
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


// A stiff string's partial h sounds at h sqrt(1 + B h^2) times the
// fundamental; a loop of whole cycles holds it to the nearest whole number
// of cycles per loop, so a stretched design loops over many cycles.
constexpr double kStretchedLoopSeconds = 0.25;  // at the zone's root
constexpr int kFewestStretchedCycles = 8;

double inharmonicity(const Design& design, int root) { return design.stretch * std::exp2((root - 60) / 10.0); }

// A harmonic design's loop repeats its one cycle as often as it takes to
// reach this many frames: a voice then crosses the loop's seam, where it
// reads frame by frame, every few control periods instead of on nearly
// every one of a high note. The cycles are the same, so is the sound.
constexpr std::size_t kShortestLoop = 1024;

int loop_cycles(const Design& design, int root, std::size_t cycle) {
    if (design.stretch == 0.0) return static_cast<int>((kShortestLoop + cycle - 1) / cycle);
    return std::max(kFewestStretchedCycles, static_cast<int>(std::ceil(kStretchedLoopSeconds * key_hz(root))));
}

// A piano hammer stays on its string for a larger part of a period up the
// keyboard, so the bass sounds many partials and the treble few: partial h
// is multiplied by h to the power of the design's flattening, in full at key
// 0 and less up the keyboard, to none at key 72 (the piano's h^-1.6 falls as
// h^-0.9 in its lowest zone).
constexpr int kFlatteningEnds = 72;

double flattened(const Design& design, int root, int h) {
    if (design.bass_flattening == 0.0) return 1.0;
    const double share = 1.0 - static_cast<double>(std::min(root, kFlatteningEnds)) / kFlatteningEnds;
    return power_law(h, design.bass_flattening * share);
}

// Partial h's frequency over the fundamental's, with the zone's stretch.
double stretched(const Design& design, int root, int h) {
    return h * std::sqrt(1.0 + inharmonicity(design, root) * h * h);
}

// Adds `amplitude` times the sine read at `step` times each frame's index, modulo
// its length: in runs that do not wrap, without a division or a branch per frame.
void add_partial(Signal& total, const Samples& sine, std::size_t step, double amplitude) {
    const std::size_t frames = total.size();
    if (step == 0) return;  // a whole number of table lengths: the sine's zero at every frame
    std::size_t at = 0;
    for (std::size_t n = 0; n < frames;) {
        const std::size_t run = std::min(frames - n, (frames - at + step - 1) / step);
        const float* read = sine.data() + at;
        double* write = total.data() + n;
        for (std::size_t i = 0; i < run; ++i) write[i] += amplitude * read[i * step];
        n += run;
        at += run * step - frames;
    }
}

// The loop: `cycles` cycles of the root, `cycle` frames each. Partial h
// reads a sine of the loop's length at its own whole number of cycles per
// loop, so that every partial closes exactly on the loop; those above the
// band limit at the zone's top key are left out.
Signal partials_loop(const Design& design, const ZoneKeys& keys, std::size_t cycle, int cycles, std::uint32_t rate) {
    const std::size_t frames = cycle * static_cast<std::size_t>(cycles);
    const Samples sine = oscillator::SineOscillator{1.0, 1.0, static_cast<std::uint32_t>(frames)}.render(frames).result;
    const double limit = kBrightnessLimit * rate / key_hz(keys.top);
    Signal total(frames, 0.0);
    for (int h = 1; h <= kMaxHarmonics && stretched(design, keys.root, h) <= limit; ++h) {
        const double amplitude = design.recipe(h) * flattened(design, keys.root, h);
        if (amplitude == 0.0) continue;
        const auto per_loop = static_cast<std::size_t>(std::round(stretched(design, keys.root, h) * cycles));
        add_partial(total, sine, per_loop % frames, amplitude);
    }
    return total;
}

constexpr double kPromptLengths = 4.0;  // time constants: the prompt has fallen to 1.8 % of its excess

// The frames of a zone's prompt: its first, louder frames before the loop.
std::size_t prompt_frames(const Design& design, std::uint32_t sample_rate) {
    if (design.prompt.seconds <= 0.0) return 0;
    return static_cast<std::size_t>(std::ceil(kPromptLengths * design.prompt.seconds * sample_rate));
}

// The loop played on through the prompt, louder by a fading excess, then once as it is.
Signal with_prompt(const Design& design, const Signal& loop, std::uint32_t sample_rate) {
    const std::size_t prompt = prompt_frames(design, sample_rate);
    if (prompt == 0) return loop;
    const double excess = gain_of_decibels(design.prompt.excess_db) - 1.0;
    const double fall = std::exp(-1.0 / (design.prompt.seconds * sample_rate));  // a frame's, of exp(-t / seconds)
    const double last = std::pow(fall, static_cast<double>(prompt));
    Signal out(prompt + loop.size());
    double decaying = 1.0;
    for (std::size_t n = 0, at = 0; n < out.size(); ++n) {  // `at`: n modulo the loop, the phase running on
        out[n] = n < prompt ? (1.0 + excess * (decaying - last) / (1.0 - last)) * loop[at] : loop[at];
        decaying *= fall;
        if (++at == loop.size()) at = 0;
    }
    return out;
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

std::string zone_name(const Design& design, const ZoneKeys& keys) {
    return std::string(design.name) + " " + std::to_string(keys.root) + "-" + std::to_string(keys.top);
}

std::size_t zone_cycle(int root, std::uint32_t rate) { return std::min(oversampled_cycle(root, rate), kMaxCycle); }

std::shared_ptr<const Samples> harmonic_frames(const Design& design, int root, std::uint32_t rate) {
    const ZoneKeys keys = zone_of_root(root);
    const std::size_t cycle = zone_cycle(root, rate);
    const Signal loop = partials_loop(design, keys, cycle, loop_cycles(design, root, cycle), rate);
    return normalised(with_prompt(design, loop, stored_rate(root, cycle)), headroomed(design));
}

// A zone's recipe is its root key, as the one byte that names it: a
// harmonic zone's frames are made when a note first plays it, so that a
// song costs only the zones its keys reach.
constexpr auto kKeyBytes = [] {
    std::array<std::byte, kKeyCount> bytes{};
    for (int key = 0; key < kKeyCount; ++key) bytes[key] = static_cast<std::byte>(key);
    return bytes;
}();

// The zones' samples with their points but no frames yet: still encoded, as their recipes.
std::vector<Sample> harmonic_samples(const Design& design, std::uint32_t rate) {
    std::vector<Sample> samples;
    for (const ZoneKeys& keys : zone_keys()) {
        const std::size_t cycle = zone_cycle(keys.root, rate);
        Sample sample;
        sample.name = zone_name(design, keys);
        sample.rate = stored_rate(keys.root, cycle);
        sample.original_key = static_cast<std::uint8_t>(keys.root);
        sample.encoded = std::span(kKeyBytes).subspan(static_cast<std::size_t>(keys.root), 1);
        sample.loop_start = static_cast<std::uint32_t>(prompt_frames(design, sample.rate));
        sample.loop_end = sample.loop_start + static_cast<std::uint32_t>(cycle * loop_cycles(design, keys.root, cycle));
        samples.push_back(std::move(sample));
    }
    return samples;
}

// A zone's noise loop: whole cycles of the root, about half the output rate
// in frames (a quarter of a second at the root), as today.
std::size_t noise_frames(std::size_t cycle, std::uint32_t rate) {
    return cycle * std::max<std::size_t>(1, rate / (2 * cycle));
}

// A zone's, a noise's or a drum's frames are the same whenever they are
// made for a rate, so each is made once in a process and shared by every
// bank that plays them: a collection's songs, or a notebook's renders, build
// the piano (milliseconds) once.
enum class Made : std::uint8_t { zone, noise, drum };

std::shared_ptr<const Samples> made_once(Made kind, int index, std::uint32_t rate,
                                         const std::function<std::shared_ptr<const Samples>()>& make) {
    static std::mutex guard;
    static std::map<std::tuple<Made, int, std::uint32_t>, std::shared_ptr<const Samples>> made;
    std::lock_guard lock(guard);
    const auto key = std::make_tuple(kind, index, rate);
    if (auto found = made.find(key); found != made.end()) return found->second;
    return made.emplace(key, make()).first->second;
}

// Every zone's loop is a prefix of one seeded noise, so the zones share its frames.
std::vector<Sample> noise_samples(DesignIndex which, std::uint32_t rate) {
    const Design& design = kDesigns[which];
    std::size_t longest = 0;
    for (const ZoneKeys& keys : zone_keys())
        longest = std::max(longest, noise_frames(oversampled_cycle(keys.root, rate), rate));
    auto pool = made_once(Made::noise, which, rate, [&] {
        const Samples noise = oscillator::NoiseSource{1.0, kNoiseSeed}.render(longest).result;
        return normalised(Signal(noise.begin(), noise.end()), headroomed(design));
    });
    std::vector<Sample> samples;
    for (const ZoneKeys& keys : zone_keys()) {
        const std::size_t cycle = oversampled_cycle(keys.root, rate);
        samples.push_back(sample_of(zone_name(design, keys), pool, noise_frames(cycle, rate),
                                    stored_rate(keys.root, cycle), keys.root));
    }
    return samples;
}

// Makes a harmonic zone's frames from its recipe, once a process.
SampleDecoder zone_maker(DesignIndex which, std::uint32_t rate) {
    return [which, rate](std::span<const std::byte> recipe) {
        const int root = std::to_integer<int>(recipe.front());
        return made_once(Made::zone, which * kKeyCount + root, rate,
                         [&] { return harmonic_frames(kDesigns[which], root, rate); });
    };
}

Zone keys_zone(int low, int high, std::size_t target) {
    Zone zone;
    zone.keys = {static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(high)};
    zone.target = target;
    return zone;
}

// A design's bank: its instrument (index 0) and its samples; presets come one
// program at a time.
std::unique_ptr<Bank> design_bank(DesignIndex which, std::uint32_t rate) {
    const Design& design = kDesigns[which];
    auto bank = std::make_unique<Bank>();
    Instrument instrument;
    instrument.name = std::string(design.name);
    instrument.global.generators = design_generators(design);
    instrument.global.modulators = design_modulators(design);
    if (design.recipe != nullptr) bank->set_decoder(zone_maker(which, rate));
    for (Sample& sample : design.recipe != nullptr ? harmonic_samples(design, rate) : noise_samples(which, rate)) {
        const ZoneKeys keys = zone_of_root(sample.original_key);
        const std::size_t index = bank->add_sample(std::move(sample));
        instrument.zones.push_back(keys_zone(keys.root, keys.top, index));
    }
    bank->add_instrument(std::move(instrument));
    return bank;
}

Preset program_preset(std::uint8_t program) {
    Preset preset;
    preset.name = std::string(kDesigns[design_of(program)].name) + " " + std::to_string(program + 1);
    preset.program = program;
    Zone zone = keys_zone(0, kKeyCount - 1, 0);
    if (std::int8_t trim = kProgramTrims[program]) zone.generators.set(Generator::initialAttenuation, static_cast<std::int16_t>(-10 * trim));
    preset.zones.push_back(std::move(zone));
    return preset;
}

// ---------------------------------------------------------------------------
// The drum kit: one-shot samples at the output rate, one per note.

constexpr int kFirstDrum = 27;
constexpr int kLastDrum = 87;
constexpr int kDrumCount = kLastDrum - kFirstDrum + 1;
constexpr double kDrumLevel = 0.25;
// Each drum's level against kDrumLevel, in dB, notes 27 to 87: balanced as General MIDI kits play them.
constexpr std::array<std::int8_t, kDrumCount> kDrumTrims{
    0, 8, 8, 10, -3, -6, -7, -9, -3, -3, 0, 9, 0, 7, 0, 0,
    0, 0, 0, -9, -2, -2, -3, -2, -18, -3, -17, 7, -3, -4, -4, 0,
    -18, -8, -5, -5, -4, -2, -3, 0, -6, -5, 8, 0, 0, 0, 9, 2,
    -3, -2, 0, 4, 0, -13, -13, 4, 7, -8, -10, -6, 0,
};
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
    auto data = made_once(Made::drum, recipe.note, rate, [&] {
        const double level = kDrumLevel * gain_of_decibels(kDrumTrims[recipe.note - kFirstDrum]);
        return normalised(centred(drummer.hit(recipe)), level);
    });
    auto bank = std::make_unique<Bank>();
    const std::size_t sample = bank->add_sample(sample_of(std::string(recipe.name), data, data->size(), rate, recipe.note));

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

// Each design and each drum note has a bank of its own, whose samples are
// all added before any voice reads it: a voice plan points at its sample
// inside a bank, and a bank's samples move when one is added. A design's
// bank gains only presets afterwards, and its zones' frames, made in place
// when first played; neither moves anything.
struct BuiltinBank::State {
    explicit State(std::uint32_t rate) : rate(rate), drummer(rate) {}

    const Bank& program(std::uint8_t program);
    const Bank* drum(std::uint8_t note);
    void open_kit() {
        if (!kit) ++built;
        kit = true;
    }

    std::uint32_t rate;
    std::array<std::unique_ptr<Bank>, kDesignCount> designs;
    std::array<std::unique_ptr<Bank>, kDrumCount> drums;
    Drummer drummer;
    bool kit = false;
    std::size_t built = 0;
};

const Bank& BuiltinBank::State::program(std::uint8_t program) {
    const DesignIndex design = design_of(program);
    std::unique_ptr<Bank>& bank = designs[design];
    if (!bank) bank = design_bank(design, rate);
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

// Appends `from`'s samples (made ready), instruments and presets to `into`, with the
// zones' targets moved past what `into` held; its drum kit's zones join `kit`.
void append_bank(Bank& into, const Bank& from, Preset& kit) {
    const std::size_t first_sample = into.sample_count(), first_instrument = into.instrument_count();
    for (std::size_t i = 0; i < from.sample_count(); ++i) into.add_sample(from.ready_sample(i));
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
    for (int program = 0; program < kKeyCount; ++program) state_->program(static_cast<std::uint8_t>(program));
    for (const std::unique_ptr<Bank>& design : state_->designs) append_bank(*whole, *design, kit);
    for (int note = kFirstDrum; note <= kLastDrum; ++note)
        append_bank(*whole, *state_->drum(static_cast<std::uint8_t>(note)), kit);
    whole->add_preset(std::move(kit));
    return whole;
}

}  // namespace ostina::synth
