#include "synth/fed_period.hpp"

#include <algorithm>

namespace ostina::synth {

void plan_periods(const float* send, std::span<const FedPeriod> periods, std::vector<PlannedPeriod>& planned) {
    planned.clear();
    std::uint32_t at = 0;
    for (const FedPeriod& period : periods) {
        const bool sounds = std::any_of(send + at, send + at + period.frames, [](float frame) { return frame != 0.0f; });
        planned.push_back({at, period.frames, period.fed && sounds});
        at += period.frames;
    }
}

}  // namespace ostina::synth
