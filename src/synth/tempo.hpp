// Ticks to seconds and frames, exactly. A tick's time is a sum over the
// tempo map of ticks times microseconds per beat ("tempo units"), divided by
// 10^6 * ticks_per_beat: integers throughout, so the frame an event takes
// effect on, floor(t * rate + 1/2), is exact whatever the tempo changes.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/midi_file.hpp"

namespace ostina::synth {

inline constexpr std::uint32_t kDefaultTempo = 500'000;  // microseconds per beat: 120 beats a minute

struct TempoChange {
    std::uint64_t tick = 0;
    std::uint32_t microseconds_per_beat = kDefaultTempo;
};

using TempoUnits = unsigned __int128;  // ticks * microseconds per beat; 2^64 ticks at the slowest tempo fit

class TempoMap {
public:
    // The changes in tick order; of several on one tick the last one read
    // holds. Before the first change the tempo is 120 beats a minute.
    TempoMap(std::uint16_t ticks_per_beat, const std::vector<MidiEvent>& events);

    const std::vector<TempoChange>& changes() const { return changes_; }
    std::uint16_t ticks_per_beat() const { return ticks_per_beat_; }

    TempoUnits units(std::uint64_t tick) const;
    double seconds(std::uint64_t tick) const;
    // floor(t * rate + 1/2), saturated at the largest frame number.
    std::uint64_t frame(std::uint64_t tick, std::uint32_t rate) const;

private:
    std::uint16_t ticks_per_beat_;
    std::vector<TempoChange> changes_;  // the first at tick 0
    std::vector<TempoUnits> units_;     // elapsed at each change
};

}  // namespace ostina::synth
