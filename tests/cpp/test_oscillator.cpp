// Signal-source cases pinned at engine level: exact first samples, seamless
// split renders, the degenerate zero rate, the noise formula, and faults that
// leave the state alone.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "check.hpp"
#include "oscillator.hpp"

using namespace ostina::oscillator;
using ostina::Fault;
using ostina::kMaxSamples;
using ostina::narrow;
using ostina::Samples;

namespace {

std::vector<std::uint32_t> bits_of(const Samples& samples) {
    std::vector<std::uint32_t> bits;
    for (float s : samples) bits.push_back(std::bit_cast<std::uint32_t>(s));
    return bits;
}

// Expected samples: each 64-bit value narrowed as the engine stores it.
std::vector<std::uint32_t> narrowed_bits(std::vector<double> values) {
    Samples samples;
    for (double v : values) samples.push_back(narrow(v));
    return bits_of(samples);
}

// Renders and commits, as the binding does once the samples are delivered.
template <class Source>
Samples render_committed(Source& source, std::uint64_t frames) {
    auto staged = source.render(frames);
    staged.change.apply(source);
    return std::move(staged.result);
}

// Both halves of a split render, joined.
template <class Source>
Samples render_in_two(Source source, std::uint64_t first, std::uint64_t second) {
    Samples joined = render_committed(source, first);
    const Samples rest = render_committed(source, second);
    joined.insert(joined.end(), rest.begin(), rest.end());
    return joined;
}

template <class Source>
void check_split_equals_whole(const Source& fresh) {
    const auto whole = bits_of(fresh.render(8).result);
    CHECK_EQ(bits_of(render_in_two(fresh, 3, 5)), whole);
}

// The generator written out independently of the engine.
std::vector<double> reference_noise(std::uint64_t state, double amplitude, int count) {
    std::vector<double> values;
    for (int i = 0; i < count; ++i) {
        state = state * 6364136223846793005ULL + 1;
        values.push_back((static_cast<double>(state >> 33) * 0x1p-30 - 1.0) * amplitude);
    }
    return values;
}

void test_first_samples() {
    CHECK_EQ(bits_of(SineOscillator{}.render(2).result), narrowed_bits({0.0, 0.06264832615852356}));
    CHECK_EQ(bits_of(SawOscillator{}.render(2).result), narrowed_bits({-1.0, -0.9800453782081604}));
    CHECK_EQ(bits_of(SquareOscillator{11025.0, 1.0, 44100}.render(5).result), narrowed_bits({1, 1, -1, -1, 1}));
    CHECK_EQ(bits_of(SquareOscillator{11025.0, -0.5, 44100}.render(3).result), narrowed_bits({-0.5, -0.5, 0.5}));
}

void test_split_renders_equal_one_render() {
    check_split_equals_whole(SineOscillator{1234.5, 0.8, 48000});
    check_split_equals_whole(SquareOscillator{-3000.0, 0.3, 22050});
    check_split_equals_whole(SawOscillator{17000.0, 1.5, 44100});
    check_split_equals_whole(NoiseSource{0.7, 12345});
}

void test_phase_stays_in_one_cycle() {
    SawOscillator backwards{-440.0, 1.0, 44100};
    render_committed(backwards, 1000);
    CHECK(backwards.phase >= 0.0 && backwards.phase < 1.0);
    const double before = backwards.phase;
    CHECK(render_committed(backwards, 0).empty());
    CHECK_EQ(backwards.phase, before);
}

void test_zero_rate_turns_phase_nan() {
    for (double frequency : {440.0, 0.0}) {
        SineOscillator sine{frequency, 1.0, 0};
        const Samples s = render_committed(sine, 3);
        CHECK(s[0] == 0.0f && std::isnan(s[1]) && std::isnan(s[2]) && std::isnan(sine.phase));
        SawOscillator saw{frequency, 2.0, 0};
        const Samples w = saw.render(2).result;
        CHECK(w[0] == -2.0f && std::isnan(w[1]));
        CHECK_EQ(bits_of(SquareOscillator{frequency, 2.0, 0}.render(3).result), narrowed_bits({2.0, -2.0, -2.0}));
    }
}

void test_noise_follows_formula() {
    CHECK_EQ((NoiseSource{1.0, 0}.render(1).result[0]), -1.0f);
    CHECK_EQ(bits_of(NoiseSource{}.render(64).result), narrowed_bits(reference_noise(42, 1.0, 64)));
    CHECK_EQ(bits_of(NoiseSource{-0.25, 7}.render(64).result), narrowed_bits(reference_noise(7, -0.25, 64)));
    NoiseSource source{1.0, 0};
    render_committed(source, 1);
    CHECK_EQ(source.state, 1u);
}

void test_noise_is_centred() {
    const Samples samples = NoiseSource{1.0, 42}.render(100000).result;
    double sum = 0.0;
    bool positive = false, negative = false;
    for (float s : samples) {
        sum += s;
        positive = positive || s > 0.0f;
        negative = negative || s < 0.0f;
        CHECK(s >= -1.0f && s <= 1.0f);
    }
    CHECK(positive && negative);
    CHECK(std::abs(sum / samples.size()) < 0.01);
}

void test_capacity_fault_changes_nothing() {
    constexpr std::uint64_t kHuge[] = {kMaxSamples + 1, std::numeric_limits<std::uint64_t>::max()};
    SineOscillator sine{440.0, 1.0, 44100};
    render_committed(sine, 7);
    const double phase = sine.phase;
    NoiseSource noise{1.0, 9};
    render_committed(noise, 7);
    const std::uint64_t state = noise.state;
    for (std::uint64_t frames : kHuge) {
        CHECK_THROWS(Fault, "capacity overflow", sine.render(frames));
        CHECK_THROWS(Fault, "capacity overflow", noise.render(frames));
    }
    CHECK_EQ(sine.phase, phase);
    CHECK_EQ(noise.state, state);
}

}  // namespace

int main() {
    test_first_samples();
    test_split_renders_equal_one_render();
    test_phase_stays_in_one_cycle();
    test_zero_rate_turns_phase_nan();
    test_noise_follows_formula();
    test_noise_is_centred();
    test_capacity_fault_changes_nothing();
    return check::finish();
}
