// A chunk's control periods as the effect units take them. The synthesizer
// hands a unit all of a chunk's periods at once, so that the unit can play
// them on a thread of its own.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace ostina::synth {

struct FedPeriod {
    std::uint32_t frames;
    bool fed;  // whether a voice fed the unit's send; if not, the send's frames are +0
};

// A period as a unit plans it: where it starts in the chunk, and whether its
// send sounds (a fed period whose frames are all zeros does not).
struct PlannedPeriod {
    std::uint32_t at, frames;
    bool fed;
};

// A chunk's periods planned into `planned`, which keeps its room.
void plan_periods(const float* send, std::span<const FedPeriod> periods, std::vector<PlannedPeriod>& planned);

}  // namespace ostina::synth
