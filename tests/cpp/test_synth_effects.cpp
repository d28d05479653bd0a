// The effect units played a chunk of periods at a time give the bits of the
// same periods played one chunk each: the reverb across a rest inside a
// chunk and a send that wakes it in the same chunk, whichever side plays
// first; the chorus with where it rests, period by period.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "check.hpp"
#include "synth/chorus.hpp"
#include "synth/reverb.hpp"

using namespace ostina::synth;

namespace {

constexpr std::uint32_t kPeriod = 64;
constexpr std::uint32_t kRate = 8000;  // short delays: the unit rests within a few chunks of silence

// A burst of three periods, then silence.
std::vector<float> burst(std::size_t periods) {
    std::vector<float> send(periods * kPeriod, 0.0f);
    for (std::size_t i = 0; i < 3 * kPeriod; ++i) send[i] = i % 7 == 0 ? 0.5f : -0.25f;
    return send;
}

struct Played {
    std::vector<float> out;         // left, then right
    std::size_t rested = SIZE_MAX;  // the period after which the unit first rested
};

// Plays `send` in chunks of `per_chunk` periods, the first `lead` long, the
// sides in the order given.
Played played(const std::vector<float>& send, std::size_t lead, std::size_t per_chunk, bool right_first) {
    Reverb reverb(ReverbSettings{}, kRate, 1.0);
    const std::size_t periods = send.size() / kPeriod;
    Played result{std::vector<float>(2 * send.size(), 0.0f)};
    for (std::size_t first = 0; first < periods; first += first == 0 ? lead : per_chunk) {
        std::vector<FedPeriod> chunk;
        for (std::size_t p = first; p < std::min(periods, first + (first == 0 ? lead : per_chunk)); ++p)
            chunk.push_back({kPeriod, send[p * kPeriod] != 0.0f});
        reverb.begin(send.data() + first * kPeriod, chunk);
        reverb.run_side(right_first ? 1 : 0);
        reverb.run_side(right_first ? 0 : 1);
        for (std::size_t p = 0; p < chunk.size(); ++p) {
            const std::size_t frame = (first + p) * kPeriod;
            const bool was_ringing = reverb.ringing();
            reverb.add(p, result.out.data() + frame, result.out.data() + send.size() + frame);
            if (was_ringing && !reverb.ringing() && result.rested == SIZE_MAX) result.rested = first + p;
        }
    }
    return result;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void test_the_reverb_plays_a_chunk_of_periods_as_its_periods_one_by_one() {
    const std::size_t periods = 1000;
    const std::size_t rest = played(burst(periods), 1, 1, false).rested;
    CHECK(rest < periods - 20);
    // A second burst two periods after the rest, both inside one chunk of 16.
    std::vector<float> send = burst(periods);
    for (std::size_t i = 0; i < kPeriod; ++i) send[(rest + 2) * kPeriod + i] = 0.3f;
    const Played alone = played(send, 1, 1, false);
    const Played inside = played(send, rest - 5, 16, false);
    const Played swapped = played(send, rest - 5, 16, true);
    CHECK_EQ(inside.rested, rest);
    CHECK(same_bits(alone.out, inside.out));
    CHECK(same_bits(alone.out, swapped.out));
    const auto rings = alone.out.begin() + static_cast<std::ptrdiff_t>((rest + 2) * kPeriod);
    CHECK(std::any_of(rings, rings + 10 * kPeriod, [](float frame) { return frame != 0.0f; }));  // the second burst's
}

// The chorus over `send` in chunks of `per_chunk` periods; `rested` gets
// the periods after which it held no sound.
std::vector<float> chorused(const std::vector<float>& send, std::size_t per_chunk, std::vector<bool>& rested) {
    Chorus chorus(ChorusSettings{}, kRate);
    const std::size_t periods = send.size() / kPeriod;
    std::vector<float> out(2 * send.size(), 0.0f);
    rested.clear();
    for (std::size_t first = 0; first < periods; first += per_chunk) {
        std::vector<FedPeriod> chunk;
        for (std::size_t p = first; p < std::min(periods, first + per_chunk); ++p)
            chunk.push_back({kPeriod, send[p * kPeriod] != 0.0f});
        chorus.begin(send.data() + first * kPeriod, chunk, first * kPeriod);
        if (chorus.plays()) chorus.run();
        for (std::size_t p = 0; p < chunk.size(); ++p) {
            const std::size_t frame = (first + p) * kPeriod;
            chorus.add(p, out.data() + frame, out.data() + send.size() + frame);
            rested.push_back(!chorus.ringing_after(p));
        }
    }
    return out;
}

void test_the_chorus_plays_a_chunk_of_periods_as_its_periods_one_by_one() {
    std::vector<float> send = burst(200);
    for (std::size_t i = 0; i < kPeriod; ++i) send[40 * kPeriod + i] = 0.3f;
    std::vector<bool> rested_alone, rested_inside;
    const std::vector<float> alone = chorused(send, 1, rested_alone);
    const std::vector<float> inside = chorused(send, 16, rested_inside);
    CHECK(same_bits(alone, inside));
    CHECK(rested_alone == rested_inside);
    // It rests between the bursts, within a chunk, and rings after each.
    CHECK(!rested_alone[3] && rested_alone[39] && !rested_alone[40] && rested_alone.back());
}

}  // namespace

int main() {
    test_the_reverb_plays_a_chunk_of_periods_as_its_periods_one_by_one();
    test_the_chorus_plays_a_chunk_of_periods_as_its_periods_one_by_one();
    return check::finish();
}
