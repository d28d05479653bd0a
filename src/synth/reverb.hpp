// The reverb unit: a Schroeder-Moorer reverberator fed by the voices' mono
// reverb send. Each side runs eight comb filters in parallel, each with a
// one-pole low-pass in its feedback (the damping), into four allpass
// filters in series; the right side's delays are a little longer than the
// left's, which makes the two sides differ, and the width mixes them.
//
// Every comb is given the feedback that makes its echoes fall 60 dB in the
// room's decay time, so that no comb rings on after the others. When the
// send has been silent and the output too quiet to matter for long enough
// to have passed through every delay, the state is cleared to exact zeros
// and the unit rests until the send sounds again: a decaying state never
// reaches the subnormal numbers that are slow on most processors.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "synth/fed_period.hpp"

namespace ostina::synth {

struct ReverbSettings {
    double room_size = 0.2;  // 0-1: a decay time (to -60 dB) from 0.65 s to 11 s, 1.15 s at 0.2
    double damping = 0.0;    // 0-1: how much faster the highs decay than the lows
    double width = 0.5;      // 0-1: 0 the same on both sides, 1 each side its own
    double level = 0.9;      // 0-1: of the reverberation in the mix
};

class Reverb {
public:
    // `judged_scale` turns the output into the scale at which the mix is
    // judged inaudible (the judged gain over the mix's gain); a chunk holds
    // at most `chunk_frames` frames, for which its buffers are made at once.
    Reverb(const ReverbSettings& settings, std::uint32_t rate, double judged_scale, std::uint32_t chunk_frames);

    static constexpr std::size_t kSides = 2;

    // A chunk's reverberation, in three steps. `begin` takes the chunk's
    // send and periods; `run_side` then plays each side, which may run on
    // threads of their own, in either order; `add` adds each period's
    // output, in order, to the mix at `left` and `right`. The send stays
    // unchanged until the last period is added. The bits are those of the
    // periods played one by one.
    void begin(const float* send, std::span<const FedPeriod> periods);
    void run_side(std::size_t side);
    void add(std::size_t period, float* left, float* right);
    // Whether `run_side` has anything to play in the chunk begun.
    bool plays() const { return first_played_ < periods_.size(); }

    // Whether the unit holds any sound: false once it has come to rest.
    bool ringing() const { return !resting_; }

private:
    class Comb {
    public:
        Comb(std::uint32_t length, double feedback, double damping);
        // Adds the comb's output for `in` to `out`.
        template <bool Damped>
        void run(const float* in, float* out, std::uint32_t frames);
        void clear();

    private:
        std::vector<float> line_;
        std::uint32_t at_ = 0;
        float feedback_, damping_, undamped_;
        float store_ = 0.0f;  // the feedback low-pass's last output
    };

    class Allpass {
    public:
        explicit Allpass(std::uint32_t length);
        void run(float* samples, std::uint32_t frames);  // in place
        void clear();

    private:
        std::vector<float> line_;
        std::uint32_t at_ = 0;
    };

    struct Side {
        std::vector<Comb> combs;
        std::vector<Allpass> allpasses;
    };

    template <bool Damped>
    void reverberate(Side& side, const float* send, float* out, std::uint32_t frames);
    void play_side(std::size_t side, std::size_t first);
    std::size_t first_playing(std::size_t from) const;
    void rest();

    std::array<Side, kSides> sides_;
    bool damped_;
    float direct_, across_;   // the wet gains of a side's own output and the other's
    double judged_scale_;
    std::uint32_t longest_;   // frames through the longest path of delays
    std::uint32_t quiet_ = 0; // frames since the send or the output last sounded
    bool resting_ = true;
    const float* send_ = nullptr;           // the chunk's
    std::vector<PlannedPeriod> periods_;
    std::size_t first_played_ = 0;          // the chunk's first period the sides play
    std::array<std::vector<float>, kSides> wet_;  // each side's output over the chunk
};

}  // namespace ostina::synth
