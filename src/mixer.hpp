// Mixer channels with gain, constant-power pan, mute and solo, and the
// mix-down of one mono buffer per channel into interleaved stereo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "samples.hpp"
#include "staged.hpp"

namespace ostina::mixer {

// The 32-bit float nearest to 0.8, for channels and the master gain alike.
inline constexpr float kDefaultGain = 0.8f;

// A gain of 0..2 or a pan of -1..1, replaced only when strictly outside its
// range: NaN passes through and -0.0 keeps its sign.
float clamp_gain(float gain);
float clamp_pan(float pan);

class MixerChannel {
public:
    explicit MixerChannel(std::string name = "Channel") : name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    float gain() const { return gain_; }
    float pan() const { return pan_; }
    bool mute() const { return mute_; }
    bool solo() const { return solo_; }

    void set_name(std::string name) { name_ = std::move(name); }
    void set_gain(float gain) { gain_ = clamp_gain(gain); }
    void set_pan(float pan) { pan_ = clamp_pan(pan); }
    void set_mute(bool mute) { mute_ = mute; }
    void set_solo(bool solo) { solo_ = solo; }

    // (left, right) of one sample; a muted channel gives (0, 0).
    std::pair<float, float> process_sample(float sample) const;

    // Field by field in declaration order; floats compare as floats.
    bool operator==(const MixerChannel&) const = default;

private:
    float gain_ = kDefaultGain;
    float pan_ = 0.0f;
    bool mute_ = false;
    bool solo_ = false;
    std::string name_;
};

class Mixer {
public:
    float master_gain() const { return master_gain_; }
    void set_master_gain(float gain) { master_gain_ = clamp_gain(gain); }

    std::uint64_t channel_count() const { return channels_.size(); }
    std::vector<std::string> channel_names() const;

    // An append that runs out of memory leaves the channels as they were.
    struct AppendChannel {
        MixerChannel channel;
        void apply(Mixer& mixer) { mixer.channels_.push_back(std::move(channel)); }
    };

    // Appends a channel with the default settings; its index is the channel
    // count before the call.
    Staged<std::uint64_t, AppendChannel> add_channel(std::string name) const;
    // Removes the channel at `index` and hands it back, shifting later ones
    // down; an index past the end removes nothing and gives nothing.
    Staged<std::optional<MixerChannel>, EraseAt<Mixer>> remove_channel(std::uint64_t index) const;

    // A copy of one channel; IndexError past the end (naming the count).
    MixerChannel get_channel(std::uint64_t index) const;

    // One field of one channel; IndexError past the end.
    void set_channel_gain(std::uint64_t index, float gain);
    void set_channel_pan(std::uint64_t index, float pan);
    void set_channel_mute(std::uint64_t index, bool mute);
    void set_channel_solo(std::uint64_t index, bool solo);

    // Interleaved stereo of 2 × len(buffers[0]) samples; exactly one buffer
    // per channel (ValueError otherwise).
    Samples mix_down(const std::vector<Samples>& buffers) const;

private:
    friend EraseAt<Mixer>;
    void erase_at(std::size_t index) noexcept;
    MixerChannel& channel(std::uint64_t index);

    std::vector<MixerChannel> channels_;
    float master_gain_ = kDefaultGain;
};

}  // namespace ostina::mixer
