// Audio format and interleaved sample buffer.
#pragma once

#include <cstdint>

#include "samples.hpp"

namespace ostina::audio {

struct AudioFormat {
    std::uint32_t sample_rate = 44100;
    std::uint16_t channels = 2;

    bool operator==(const AudioFormat&) const = default;
};

// Samples stored frame after frame; the sample of frame f, channel c sits at
// f × channels + c. The sample count is fixed at construction.
class AudioBuffer {
public:
    AudioBuffer(std::uint64_t frames, std::uint32_t sample_rate, std::uint16_t channels);

    std::uint64_t frames() const;
    std::uint64_t size() const { return samples_.size(); }
    AudioFormat format() const { return format_; }
    const Samples& samples() const { return samples_; }

    float sample_at(std::uint64_t frame, std::uint64_t channel) const;
    void set_sample(std::uint64_t frame, std::uint64_t channel, float value);
    void clear();

private:
    // Throws IndexError for a channel beyond the frame's width or a flat
    // index past the end (computed without wrap-around).
    std::size_t flat_index(std::uint64_t frame, std::uint64_t channel) const;

    AudioFormat format_;
    Samples samples_;
};

}  // namespace ostina::audio
