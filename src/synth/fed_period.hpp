// A control period of a chunk as the effect units take it: its frames, and
// whether any voice fed the unit's send in it (false promises a silent send,
// which is not read). The synthesizer hands a unit a chunk's periods at once,
// so that the unit can play them on a thread of its own.
#pragma once

#include <cstdint>

namespace ostina::synth {

struct FedPeriod {
    std::uint32_t frames;
    bool fed;
};

}  // namespace ostina::synth
