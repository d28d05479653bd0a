#include "mixer.hpp"

#include <math.h>

#include <algorithm>

#include "format.hpp"
#include "numeric.hpp"

namespace ostina::mixer {
namespace {

// π rounded to 32 bits (3.14159274), so θ is computed wholly in single precision.
constexpr float kPanPi = 3.14159265358979323846f;

// The constant-power factors of a pan position: (cos θ, sin θ).
struct PanGains {
    float left;
    float right;
};

PanGains pan_gains(float pan) {
    const float theta = ((pan + 1.0f) * 0.25f) * kPanPi;
    // The system library's single-precision routine, called at run time: a
    // compile-time evaluation or another implementation may differ in the
    // last bit.
    float sine = 0.0f, cosine = 0.0f;
    ::sincosf(theta, &sine, &cosine);
    return {cosine, sine};
}

// Adds one channel's contribution to the interleaved output, frame by frame
// up to the shorter of the two lengths.
void accumulate_channel(Samples& output, const Samples& input, float gain, PanGains gains) {
    const std::size_t frames = std::min(input.size(), output.size() / 2);
    for (std::size_t i = 0; i < frames; ++i) {
        const float v = input[i] * gain;
        output[2 * i] += v * gains.left;
        output[2 * i + 1] += v * gains.right;
    }
}

bool any_solo(const std::vector<MixerChannel>& channels) {
    return std::any_of(channels.begin(), channels.end(), [](const MixerChannel& c) { return c.solo(); });
}

}  // namespace

float clamp_gain(float gain) { return clamp_to(gain, 0.0f, 2.0f); }

float clamp_pan(float pan) { return clamp_to(pan, -1.0f, 1.0f); }

std::pair<float, float> MixerChannel::process_sample(float sample) const {
    if (mute_) return {0.0f, 0.0f};
    const float v = sample * gain_;
    const PanGains gains = pan_gains(pan_);
    return {v * gains.left, v * gains.right};
}

std::vector<std::string> Mixer::channel_names() const {
    std::vector<std::string> names;
    names.reserve(channels_.size());
    for (const MixerChannel& c : channels_) names.push_back(c.name());
    return names;
}

Staged<std::uint64_t, Mixer::AppendChannel> Mixer::add_channel(std::string name) const {
    return {channels_.size(), AppendChannel{MixerChannel(std::move(name))}};
}

Staged<std::optional<MixerChannel>, EraseAt<Mixer>> Mixer::remove_channel(std::uint64_t index) const {
    if (index >= channels_.size()) return {std::nullopt, {channels_.size()}};
    return {channels_[index], {static_cast<std::size_t>(index)}};
}

void Mixer::erase_at(std::size_t index) noexcept {
    if (index < channels_.size()) channels_.erase(channels_.begin() + static_cast<std::ptrdiff_t>(index));
}

MixerChannel Mixer::get_channel(std::uint64_t index) const {
    if (index >= channels_.size())
        throw IndexError(concat("Channel index ", index, " out of range (", channels_.size(), ")"));
    return channels_[index];
}

MixerChannel& Mixer::channel(std::uint64_t index) {
    if (index >= channels_.size()) throw IndexError(concat("Channel index ", index, " out of range"));
    return channels_[index];
}

void Mixer::set_channel_gain(std::uint64_t index, float gain) { channel(index).set_gain(gain); }

void Mixer::set_channel_pan(std::uint64_t index, float pan) { channel(index).set_pan(pan); }

void Mixer::set_channel_mute(std::uint64_t index, bool mute) { channel(index).set_mute(mute); }

void Mixer::set_channel_solo(std::uint64_t index, bool solo) { channel(index).set_solo(solo); }

Samples Mixer::mix_down(const std::vector<Samples>& buffers) const {
    if (buffers.size() != channels_.size())
        throw ValueError(concat("Expected ", channels_.size(), " buffers, got ", buffers.size()));
    if (buffers.empty()) return {};
    Samples output = zeroed_samples(sample_count(buffers[0].size(), 2));
    const bool solo_mode = any_solo(channels_);
    for (std::size_t c = 0; c < channels_.size(); ++c) {
        const MixerChannel& channel = channels_[c];
        if (channel.mute() || (solo_mode && !channel.solo())) continue;
        accumulate_channel(output, buffers[c], channel.gain(), pan_gains(channel.pan()));
    }
    // Once, after every channel: the sums are scaled, not each contribution.
    for (float& sample : output) sample *= master_gain_;
    return output;
}

}  // namespace ostina::mixer
