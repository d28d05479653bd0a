// The built-in bank: which presets it has and when it builds them, the
// pitched zones' keys, tuning and band limit, the drums, and determinism.
#include <cmath>
#include <numbers>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "synth/builtin_bank.hpp"

using namespace ostina;
using namespace ostina::synth;

namespace {

constexpr std::uint32_t kRate = 44100;
constexpr std::uint8_t kVelocity = 100;
constexpr int kNoiseFamily = 15;

std::vector<VoicePlan> play(BuiltinBank& bank, std::uint16_t number, std::uint8_t program, int key) {
    std::vector<VoicePlan> plans;
    bank.voices(number, program, static_cast<std::uint8_t>(key), kVelocity, plans);
    return plans;
}

std::int32_t value(const VoicePlan& plan, Generator generator) { return plan.generators[index_of(generator)]; }
double key_hz(int key) { return 440.0 * std::exp2((key - 69) / 12.0); }
double timecents(double seconds) { return 1200.0 * std::log2(seconds); }

// A program's zones in key order: each sample once, with the highest key it plays.
struct Seen {
    const Sample* sample;
    int top;
};
std::vector<Seen> zones_of(BuiltinBank& bank, std::uint8_t program) {
    std::vector<Seen> zones;
    for (int key = 0; key < 128; ++key) {
        const Sample* sample = play(bank, 0, program, key).at(0).sample;
        if (zones.empty() || zones.back().sample != sample) zones.push_back({sample, key});
        zones.back().top = key;
    }
    return zones;
}

void has_every_program_and_the_kit_only() {
    BuiltinBank bank(kRate);
    for (int program = 0; program < 128; ++program) CHECK(bank.has(0, static_cast<std::uint8_t>(program)));
    CHECK(bank.has(kDrumBank, 0));
    const struct { std::uint16_t bank; std::uint8_t program; } missing[] = {
        {0, 128}, {0, 255}, {1, 0}, {127, 0}, {kDrumBank, 1}, {129, 0}};
    for (const auto& each : missing) CHECK(!bank.has(each.bank, each.program));
    CHECK_EQ(bank.built(), 129u);
}

void presets_are_built_when_first_asked_for() {
    BuiltinBank bank(kRate);
    CHECK_EQ(bank.built(), 0u);
    bank.has(0, 5);
    bank.has(0, 5);
    CHECK_EQ(bank.built(), 1u);
    CHECK_EQ(play(bank, 0, 6, 60).size(), 1u);  // a voice request builds too, sharing the family's samples
    CHECK_EQ(bank.built(), 2u);
    play(bank, kDrumBank, 0, 36);
    play(bank, kDrumBank, 0, 38);
    CHECK_EQ(bank.built(), 3u);
}

void every_key_has_one_looped_zone_within_two_octaves_of_its_root() {
    BuiltinBank bank(kRate);
    for (int program = 0; program < 128; ++program)
        for (int key = 0; key < 128; ++key) {
            auto plans = play(bank, 0, static_cast<std::uint8_t>(program), key);
            CHECK_EQ(plans.size(), 1u);
            if (plans.size() != 1) continue;
            const int root = plans[0].sample->original_key;
            CHECK(root <= key && key < root + 24);
            CHECK_EQ(value(plans[0], Generator::sampleModes), 1);
            CHECK_EQ(value(plans[0], Generator::overridingRootKey), -1);
        }
}

// A loop of whole cycles whose rate over the cycle's frames is the root's
// frequency within 0.1 cent. A harmonic zone's loop is its cycle repeated to
// at least 1024 frames; the piano's is many cycles of its stretched
// partials, after its prompt sound.
void zones_play_their_root_in_tune() {
    BuiltinBank bank(kRate);
    for (int family = 0; family < 16; ++family)
        for (const Seen& zone : zones_of(bank, static_cast<std::uint8_t>(family * 8))) {
            const Sample& sample = *zone.sample;
            const double root_hz = key_hz(sample.original_key);
            const auto cycle = static_cast<std::uint32_t>(std::round(sample.rate / root_hz));
            const std::uint32_t loop = sample.loop_end - sample.loop_start;
            CHECK(cycle >= 2 && loop % cycle == 0);
            CHECK(std::fabs(1200.0 * std::log2(sample.rate / double(cycle) / root_hz)) < 0.1);
            CHECK(sample.loop_end == sample.end && sample.end == sample.data.size());
            if (family == 0) {
                CHECK(loop > cycle && sample.loop_start > 0 && sample.data.size() <= 2 * kRate);
                continue;
            }
            CHECK(sample.data.size() <= (family == kNoiseFamily ? kRate : 4096u));  // small: a few thousand frames
            if (family == kNoiseFamily) continue;
            CHECK(sample.loop_start == 0 && loop >= 1024 && loop < 1024 + cycle);
        }
}

// Harmonics 1..h of a loop of `frames` (h below half of them) hold this
// share of its energy: all of it when the loop closes smoothly, has no DC
// and nothing above harmonic h.
double share_in_harmonics(std::span<const float> loop, int h) {
    const std::size_t frames = loop.size();
    std::vector<double> cosine(frames), sine(frames);
    for (std::size_t n = 0; n < frames; ++n) {
        cosine[n] = std::cos(2.0 * std::numbers::pi * double(n) / double(frames));
        sine[n] = std::sin(2.0 * std::numbers::pi * double(n) / double(frames));
    }
    double total = 0.0, held = 0.0;
    for (float x : loop) total += double(x) * x;
    for (int k = 1; k <= h; ++k) {
        double re = 0.0, im = 0.0;
        for (std::size_t n = 0; n < frames; ++n) {
            re += loop[n] * cosine[k * n % frames];
            im += loop[n] * sine[k * n % frames];
        }
        held += 2.0 * (re * re + im * im) / double(frames);
    }
    return held / total;
}

void partials_stay_below_forty_percent_of_the_rate_at_each_zones_top() {
    BuiltinBank bank(kRate);
    for (int family = 0; family < 16; ++family) {
        if (family == kNoiseFamily) continue;
        for (const Seen& zone : zones_of(bank, static_cast<std::uint8_t>(family * 8))) {
            const Sample& sample = *zone.sample;
            const auto loop = sample.data.subspan(sample.loop_start, sample.loop_end - sample.loop_start);
            const double cycles = loop.size() / std::round(sample.rate / key_hz(sample.original_key));
            const int allowed = static_cast<int>(0.4 * kRate / key_hz(zone.top) * cycles);
            const int below_half = static_cast<int>((loop.size() - 1) / 2);
            CHECK(share_in_harmonics(loop, std::min(allowed, below_half)) > 1.0 - 1e-6);
        }
    }
}

void drums_are_centred_one_shots_at_their_own_pitch() {
    BuiltinBank bank(kRate);
    for (int note : {26, 88, 127}) CHECK(play(bank, kDrumBank, 0, note).empty());
    for (int note = 27; note <= 87; ++note) {
        auto plans = play(bank, kDrumBank, 0, note);
        CHECK_EQ(plans.size(), 1u);
        if (plans.size() != 1) continue;
        const Sample& sample = *plans[0].sample;
        CHECK_EQ(value(plans[0], Generator::sampleModes), 0);
        CHECK_EQ(int(sample.original_key), note);
        CHECK_EQ(value(plans[0], Generator::overridingRootKey), -1);
        CHECK_EQ(sample.rate, kRate);
        CHECK(sample.data.size() > 0 && sample.data.size() <= 2 * kRate);
        double sum = 0.0, magnitude = 0.0;
        for (float x : sample.data) {
            sum += x;
            magnitude += std::fabs(x);
        }
        CHECK(std::fabs(sum) < 1e-6 * magnitude);
    }
}

void hats_and_triangles_each_share_a_class() {
    BuiltinBank bank(kRate);
    auto group = [&](int note) { return value(play(bank, kDrumBank, 0, note).at(0), Generator::exclusiveClass); };
    CHECK(group(42) != 0 && group(42) == group(44) && group(42) == group(46));
    CHECK(group(80) != 0 && group(80) == group(81) && group(80) != group(42));
    for (int note = 27; note <= 87; ++note)
        if (note != 42 && note != 44 && note != 46 && note != 80 && note != 81) CHECK_EQ(group(note), 0);
}

// Which instrument design each program plays: one per General MIDI family,
// and the programs that sound unlike their family's name.
void programs_play_their_designs() {
    BuiltinBank bank(kRate);
    const struct { int program; std::string_view design; } designs[] = {
        {0, "piano"}, {6, "harpsichord"}, {8, "mallets"}, {15, "plucked strings"}, {16, "drawbar organ"},
        {21, "free reeds"}, {24, "guitar"}, {30, "overdriven guitar"}, {31, "guitar"}, {33, "bass"},
        {38, "synth bass"}, {40, "bowed strings"}, {45, "plucked strings"}, {46, "plucked strings"},
        {47, "membranes"}, {48, "string ensemble"}, {52, "choir"}, {55, "orchestra hit"}, {56, "brass"},
        {64, "reeds"}, {73, "pipes"}, {80, "synth lead"}, {88, "synth pad"}, {96, "synth effects"},
        {104, "ethnic plucks"}, {108, "mallets"}, {109, "reeds"}, {110, "bowed strings"}, {111, "reeds"},
        {114, "mallets"}, {116, "membranes"}, {119, "sound effects"}, {127, "sound effects"}};
    for (const auto& each : designs) {
        const std::string& name = play(bank, 0, static_cast<std::uint8_t>(each.program), 60).at(0).sample->name;
        CHECK_EQ(name.substr(0, name.rfind(' ')), std::string(each.design));
    }
}

// Struck and plucked designs fade out while held, sooner on higher keys,
// and start within 10 ms; bowed and blown ones speak in 20-60 ms and hold;
// organs within 10 ms, pads within 0.3 s. A piano's key up ends it within a
// second, a string section's in 0.5 to 1 s, a solo string's within 0.2 s.
void held_notes_fade_or_hold_by_family() {
    BuiltinBank bank(kRate);
    const struct { int program; bool fades; double fastest, slowest; } families[] = {
        {0, true, 0.0, 0.01}, {8, true, 0.0, 0.01}, {24, true, 0.0, 0.01}, {32, true, 0.0, 0.01},
        {104, true, 0.0, 0.01}, {112, true, 0.0, 0.01}, {16, false, 0.0, 0.01}, {40, false, 0.02, 0.06},
        {48, false, 0.02, 0.06}, {56, false, 0.02, 0.06}, {64, false, 0.02, 0.06}, {72, false, 0.02, 0.06},
        {88, false, 0.1, 0.3}};
    for (const auto& each : families) {
        const VoicePlan plan = play(bank, 0, static_cast<std::uint8_t>(each.program), 60).at(0);
        const std::int32_t attack = value(plan, Generator::attackVolEnv);
        CHECK(attack <= timecents(each.slowest) + 0.5);  // rounded to a timecent
        if (each.fastest > 0.0) CHECK(attack >= timecents(each.fastest) - 0.5);
        CHECK_EQ(value(plan, Generator::sustainVolEnv) >= 1000, each.fades);
        CHECK_EQ(value(plan, Generator::keynumToVolEnvDecay) > 0, each.fades);
    }
    CHECK(value(play(bank, 0, 0, 60).at(0), Generator::releaseVolEnv) <= timecents(1.0));
    // A section lets go more slowly than a solo string.
    const std::int32_t section = value(play(bank, 0, 48, 60).at(0), Generator::releaseVolEnv);
    CHECK(section >= timecents(0.5) - 0.5 && section <= timecents(1.0) + 0.5);
    CHECK(value(play(bank, 0, 40, 60).at(0), Generator::releaseVolEnv) <= timecents(0.2) + 0.5);
}

// Every sample of a bank, programs by key then drums by note.
std::vector<const Sample*> every_sample(BuiltinBank& bank) {
    std::vector<const Sample*> samples;
    for (int program = 0; program < 128; program += 8)
        for (const Seen& zone : zones_of(bank, static_cast<std::uint8_t>(program))) samples.push_back(zone.sample);
    for (int note = 27; note <= 87; ++note) samples.push_back(play(bank, kDrumBank, 0, note).at(0).sample);
    return samples;
}

// Frames are made once a process for each rate (the same bits whenever
// made: worker processes write what one process does, as the batch tests show).
void banks_of_one_rate_share_their_samples_frames() {
    BuiltinBank first(kRate), second(kRate), other(48000);
    auto a = every_sample(first), b = every_sample(second), c = every_sample(other);
    CHECK(a.size() == b.size() && a.size() == c.size());
    for (std::size_t i = 0; i < a.size() && i < b.size() && i < c.size(); ++i) {
        CHECK(a[i]->rate == b[i]->rate && a[i]->data.data() == b[i]->data.data());
        CHECK(a[i]->data.data() != c[i]->data.data());
    }
}

// The whole bank, as it is written out, holds every zone's frames, though
// a song's bank makes them only when a note plays them.
void the_whole_bank_holds_every_samples_frames() {
    auto whole = BuiltinBank(kRate).whole_bank();
    for (std::size_t i = 0; i < whole->sample_count(); ++i) {
        const Sample& sample = whole->sample(i);
        CHECK(sample.encoded.empty() && !sample.data.empty());
        CHECK(sample.end == sample.data.size() && sample.loop_end <= sample.end);
    }
}

void a_rate_of_zero_is_refused() {
    CHECK_THROWS(ValueError, "the built-in bank: a rate of 0 frames per second", BuiltinBank(0));
}

}  // namespace

int main() {
    has_every_program_and_the_kit_only();
    presets_are_built_when_first_asked_for();
    every_key_has_one_looped_zone_within_two_octaves_of_its_root();
    zones_play_their_root_in_tune();
    partials_stay_below_forty_percent_of_the_rate_at_each_zones_top();
    drums_are_centred_one_shots_at_their_own_pitch();
    hats_and_triangles_each_share_a_class();
    programs_play_their_designs();
    held_notes_fade_or_hold_by_family();
    banks_of_one_rate_share_their_samples_frames();
    the_whole_bank_holds_every_samples_frames();
    a_rate_of_zero_is_refused();
    return check::finish();
}
