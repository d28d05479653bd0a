// The modulation and vibrato LFOs: triangles that start at 0 after their
// delay and rise first, read at any frame of a voice's life.
#pragma once

#include <cstdint>

namespace ostina::synth {

class Lfo {
public:
    Lfo() = default;
    // `delay` in frames; `hertz` cycles a second at `rate` frames a second.
    Lfo(std::uint32_t delay, double hertz, std::uint32_t rate);

    // The value, -1 to 1, `frame` frames after the voice began. It is
    // computed from the frame alone, so it never drifts.
    double at(std::uint64_t frame) const;

private:
    std::uint32_t delay_ = 0;
    double cycles_per_frame_ = 0.0;
};

}  // namespace ostina::synth
