#include "synth/tempo.hpp"

#include <algorithm>
#include <limits>

#include "errors.hpp"

namespace ostina::synth {
namespace {

constexpr TempoUnits kMicrosecondsPerSecond = 1'000'000;

}  // namespace

TempoMap::TempoMap(std::uint16_t ticks_per_beat, const std::vector<MidiEvent>& events)
    : ticks_per_beat_(ticks_per_beat) {
    if (ticks_per_beat == 0) throw ValueError("a tempo map needs 1 or more ticks per beat");
    std::vector<TempoChange> read;
    for (const MidiEvent& event : events)
        if (event.kind == MidiKind::tempo && event.value != 0) read.push_back({event.tick, event.value});
    // Stable, so that of one tick's changes the last read stays last.
    std::stable_sort(read.begin(), read.end(), [](const TempoChange& a, const TempoChange& b) { return a.tick < b.tick; });
    changes_.push_back({0, kDefaultTempo});
    for (const TempoChange& change : read) {
        if (change.tick == changes_.back().tick) changes_.back() = change;
        else changes_.push_back(change);
    }
    // At most 2^64 ticks of under 2^24 microseconds each: under 2^88 units.
    units_.reserve(changes_.size());
    units_.push_back(0);
    for (std::size_t i = 1; i < changes_.size(); ++i)
        units_.push_back(units_[i - 1] +
                         TempoUnits{changes_[i].tick - changes_[i - 1].tick} * changes_[i - 1].microseconds_per_beat);
}

TempoUnits TempoMap::units(std::uint64_t tick) const {
    // The first change is at tick 0, so one at or before `tick` exists.
    const auto after = std::upper_bound(changes_.begin(), changes_.end(), tick,
                                        [](std::uint64_t t, const TempoChange& change) { return t < change.tick; });
    const auto i = static_cast<std::size_t>(after - changes_.begin()) - 1;
    return units_[i] + TempoUnits{tick - changes_[i].tick} * changes_[i].microseconds_per_beat;
}

double TempoMap::seconds(std::uint64_t tick) const {
    return static_cast<double>(units(tick)) / static_cast<double>(kMicrosecondsPerSecond * ticks_per_beat_);
}

std::uint64_t TempoMap::frame(std::uint64_t tick, std::uint32_t rate) const {
    // t * rate + 1/2 = (2 * units * rate + D) / (2 * D), floored by the
    // integer division; 2 * 2^88 * 2^32 stays under 2^128.
    const TempoUnits d = kMicrosecondsPerSecond * ticks_per_beat_;
    const TempoUnits frame = (2 * units(tick) * rate + d) / (2 * d);
    constexpr std::uint64_t kLast = std::numeric_limits<std::uint64_t>::max();
    return frame > kLast ? kLast : static_cast<std::uint64_t>(frame);
}

}  // namespace ostina::synth
