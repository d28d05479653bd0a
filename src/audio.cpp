#include "audio.hpp"

#include <algorithm>

namespace ostina::audio {

AudioBuffer::AudioBuffer(std::uint64_t frames, std::uint32_t sample_rate, std::uint16_t channels)
    : format_{sample_rate, channels}, samples_(zeroed_samples(sample_count(frames, channels))) {}

std::uint64_t AudioBuffer::frames() const {
    return format_.channels == 0 ? 0 : samples_.size() / format_.channels;
}

std::size_t AudioBuffer::flat_index(std::uint64_t frame, std::uint64_t channel) const {
    std::uint64_t index = 0;
    if (channel >= format_.channels || __builtin_mul_overflow(frame, format_.channels, &index) ||
        __builtin_add_overflow(index, channel, &index) || index >= samples_.size())
        throw IndexError("Index out of bounds");
    return static_cast<std::size_t>(index);
}

float AudioBuffer::sample_at(std::uint64_t frame, std::uint64_t channel) const {
    return samples_[flat_index(frame, channel)];
}

void AudioBuffer::set_sample(std::uint64_t frame, std::uint64_t channel, float value) {
    samples_[flat_index(frame, channel)] = value;
}

void AudioBuffer::clear() { std::fill(samples_.begin(), samples_.end(), 0.0f); }

}  // namespace ostina::audio
