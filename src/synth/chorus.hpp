// The chorus unit, fed by the voices' mono chorus send: copies of the send
// through delay lines whose delays a sine LFO sweeps, each copy's LFO a
// fraction of a cycle after the last and its copy placed from left to
// right. The sweeping delays shift each copy's pitch a little, the copies
// beat against the voices, and the sound thickens.
//
// The LFOs are read from the synthesizer's frame count, so that the same
// calls give the same sound, and the lines hold no feedback: the unit is
// silent once the send has been silent for a line's length, and then rests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "synth/fed_period.hpp"

namespace ostina::synth {

struct ChorusSettings {
    std::uint32_t voices = 3;  // delay lines, 0-99
    double level = 2.0;        // 0-10: of the copies in the mix
    double speed = 0.3;        // 0.1-5: the LFOs' cycles a second
    double depth_ms = 8.0;     // 0-256: the sweep of each delay, shortest to longest
};

class Chorus {
public:
    // A chunk holds at most `chunk_frames` frames, for which its buffers are made at once.
    Chorus(const ChorusSettings& settings, std::uint32_t rate, std::uint32_t chunk_frames);

    // A chunk's copies, in three steps. `begin` takes the chunk's send, its
    // periods and the synthesizer's frame at its start; `run` then plays
    // them, which may be on a thread of its own; `add` adds each period's
    // copies, in order, to the mix at `left` and `right`. The LFOs are read
    // every 64 frames from the synthesizer's first. The send stays unchanged
    // until `run` returns.
    void begin(const float* send, std::span<const FedPeriod> periods, std::uint64_t frame);
    void run();
    void add(std::size_t period, float* left, float* right) const;
    // Whether `run` has anything to play in the chunk begun.
    bool plays() const;

    bool ringing() const { return !resting_; }
    // Whether the unit held sound after a period of the chunk `run` played.
    bool ringing_after(std::size_t period) const { return outcomes_[period].ringing; }

private:
    struct Copy {
        double phase;  // of its LFO, in cycles
        float left, right;
        std::uint64_t chunk;      // the chunk whose ends `start` and `end` hold
        std::int64_t start, end;  // delays, 32.32 fixed point frames
    };

    // Where a copy reads the line over a chunk, and its gains.
    struct Read {
        std::uint64_t position, increment;  // 32.32 fixed point frames
        float to_left, to_right;
    };

    // What became of a chunk's period: whether the unit played it, and held sound after it.
    struct Outcome {
        bool played, ringing;
    };

    std::int64_t delay_at(const Copy& copy, std::uint64_t frame) const;
    void settle(Copy& copy, std::uint64_t frame) const;
    Read read_for(Copy& copy, std::uint64_t frame) const;
    void write(const float* send, std::uint32_t frames);
    void sum_copies(std::uint64_t frame, float* left, float* right, std::uint32_t frames);
    bool play_period(const PlannedPeriod& period);

    std::vector<Copy> copies_;
    std::vector<float> line_;     // a power of two long
    std::uint32_t mask_ = 0;
    std::uint32_t at_ = 0;        // where the next frame is written
    double cycles_per_frame_;
    double shortest_, sweep_;     // frames: the least delay, and how far the LFO moves it
    float gain_;
    std::uint32_t silent_ = 0;    // frames since the send last sounded
    bool resting_ = true;
    const float* send_ = nullptr;  // the chunk's
    std::uint64_t frame_ = 0;      // the synthesizer's, at the chunk's start
    std::vector<PlannedPeriod> periods_;
    std::vector<Outcome> outcomes_;
    std::array<std::vector<float>, 2> sums_;  // the copies' sums over the chunk, left and right
};

}  // namespace ostina::synth
