// The effect units played a chunk of periods at a time give the bits of the
// same periods played one chunk each, at a low rate and the usual one: the
// reverb across a rest inside a chunk with a send that wakes it in that
// chunk, and a chunk that starts at rest and wakes part way, whichever side
// plays first; the chorus with where it rests, period by period.
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
constexpr std::size_t kPeriods = 16;  // a chunk's, but for the first

// Silence with a burst of three periods at each of `starts`.
std::vector<float> bursts(std::size_t periods, const std::vector<std::size_t>& starts) {
    std::vector<float> send(periods * kPeriod, 0.0f);
    for (std::size_t start : starts)
        for (std::size_t i = start * kPeriod; i < (start + 3) * kPeriod; ++i) send[i] = i % 7 == 0 ? 0.5f : -0.25f;
    return send;
}

// The periods of a chunk from `first`, fed where the send sounds.
std::vector<FedPeriod> chunk_at(const std::vector<float>& send, std::size_t first, std::size_t count) {
    std::vector<FedPeriod> chunk;
    for (std::size_t p = first; p < std::min(send.size() / kPeriod, first + count); ++p)
        chunk.push_back({kPeriod, send[p * kPeriod] != 0.0f});
    return chunk;
}

struct Played {
    std::vector<float> out;          // left, then right
    std::vector<std::size_t> rests;  // the periods after which the unit came to rest
};

// The reverb over `send` in chunks of one period each (`lead` 0), or of
// kPeriods periods after a first one `lead` long, the sides in the order given.
Played reverberated(const std::vector<float>& send, std::uint32_t rate, std::size_t lead, bool right_first) {
    Reverb reverb(ReverbSettings{}, rate, 1.0, kPeriods * kPeriod);
    Played result{std::vector<float>(2 * send.size(), 0.0f), {}};
    for (std::size_t first = 0; first < send.size() / kPeriod;) {
        const std::vector<FedPeriod> chunk = chunk_at(send, first, lead == 0 ? 1 : first == 0 ? lead : kPeriods);
        reverb.begin(send.data() + first * kPeriod, chunk);
        reverb.run_side(right_first ? 1 : 0);
        reverb.run_side(right_first ? 0 : 1);
        for (std::size_t p = 0; p < chunk.size(); ++p) {
            const std::size_t frame = (first + p) * kPeriod;
            const bool was_ringing = reverb.ringing();
            reverb.add(p, result.out.data() + frame, result.out.data() + send.size() + frame);
            if (was_ringing && !reverb.ringing()) result.rests.push_back(first + p);
        }
        first += chunk.size();
    }
    return result;
}

bool same_bits(const std::vector<float>& a, const std::vector<float>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

void test_the_reverb_plays_a_chunk_of_periods_as_its_periods_one_by_one(std::uint32_t rate) {
    // Long enough for three rests: the reverberation falls to -180 dB in about 3.5 s.
    const std::size_t periods = 14 * rate / kPeriod;
    const std::size_t rest = reverberated(bursts(periods, {0}), rate, 0, false).rests.at(0);
    // A second burst two periods after the first rest, in the same chunk;
    // a third in the middle of a chunk that starts after the second rest.
    const std::size_t lead = rest - 5;
    const std::size_t second_rest = reverberated(bursts(periods, {0, rest + 2}), rate, 0, false).rests.at(1);
    std::size_t third = second_rest + kPeriods + 1;
    if ((third - lead) % kPeriods == 0) ++third;
    const std::vector<float> send = bursts(periods, {0, rest + 2, third});
    const Played alone = reverberated(send, rate, 0, false);
    const Played inside = reverberated(send, rate, lead, false);
    const Played swapped = reverberated(send, rate, lead, true);
    CHECK(alone.rests.size() == 3 && alone.rests[0] == rest && alone.rests[1] == second_rest);
    CHECK(inside.rests == alone.rests);
    CHECK(same_bits(alone.out, inside.out));
    CHECK(same_bits(alone.out, swapped.out));
    const auto woken = alone.out.begin() + static_cast<std::ptrdiff_t>(third * kPeriod);
    CHECK(std::any_of(woken, woken + 30 * kPeriod, [](float frame) { return frame != 0.0f; }));  // past the shortest comb
}

// The chorus over `send` in chunks of `per_chunk` periods, and the periods
// after which it held no sound.
Played chorused(const std::vector<float>& send, std::uint32_t rate, std::size_t per_chunk) {
    Chorus chorus(ChorusSettings{}, rate, kPeriods * kPeriod);
    Played result{std::vector<float>(2 * send.size(), 0.0f), {}};
    for (std::size_t first = 0; first < send.size() / kPeriod; first += per_chunk) {
        const std::vector<FedPeriod> chunk = chunk_at(send, first, per_chunk);
        chorus.begin(send.data() + first * kPeriod, chunk, first * kPeriod);
        if (chorus.plays()) chorus.run();
        for (std::size_t p = 0; p < chunk.size(); ++p) {
            const std::size_t frame = (first + p) * kPeriod;
            chorus.add(p, result.out.data() + frame, result.out.data() + send.size() + frame);
            if (!chorus.ringing_after(p)) result.rests.push_back(first + p);
        }
    }
    return result;
}

void test_the_chorus_plays_a_chunk_of_periods_as_its_periods_one_by_one(std::uint32_t rate) {
    const std::vector<float> send = bursts(200, {0, 40});
    const Played alone = chorused(send, rate, 1);
    const Played inside = chorused(send, rate, kPeriods);
    CHECK(same_bits(alone.out, inside.out));
    CHECK(inside.rests == alone.rests);
    // It rings through each burst and rests between them and after the last.
    const auto rested = [&](std::size_t period) {
        return std::binary_search(alone.rests.begin(), alone.rests.end(), period);
    };
    CHECK(!rested(3));
    CHECK(rested(39));
    CHECK(!rested(40));
    CHECK(rested(199));
}

}  // namespace

int main() {
    for (std::uint32_t rate : {8000u, 44100u}) {
        test_the_reverb_plays_a_chunk_of_periods_as_its_periods_one_by_one(rate);
        test_the_chorus_plays_a_chunk_of_periods_as_its_periods_one_by_one(rate);
    }
    return check::finish();
}
