// The machine's audio output side through ALSA: a listing of the PCM devices
// that can play, and an output object that names the default device. No
// stream is ever opened.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "alsa.hpp"

namespace ostina::audio_output {

enum class Direction { capture_only, playback_only, both };

struct DeviceRecord {
    std::string pcm_id;                      // what would be opened: "default", "hw:CARD=0,DEV=3"
    std::optional<std::string> description;  // may hold several lines
    Direction direction = Direction::both;
};

// The first line of the description ("\r\n" counts as a line end), or the
// pcm id when there is no description or an empty one.
std::string display_name(const DeviceRecord& device);

// A PCM device found on a sound card.
struct PhysicalDevice {
    int card = 0;
    int device = 0;
    std::optional<std::string> card_name;
    std::string pcm_name;
    Direction direction = Direction::both;
};

// One holder of libasound's global configuration. The process counts its
// holders: the first hold reads the configuration (snd_config_update), the
// last release frees it. Throws Fault "the default host should always be
// available: HostUnavailable" when the library or the update fails.
class ConfigHold {
public:
    explicit ConfigHold(const alsa::PcmCalls* calls);
    ConfigHold(ConfigHold&& other) noexcept;
    ConfigHold& operator=(ConfigHold&&) = delete;
    ~ConfigHold();

    static long holders();

private:
    const alsa::PcmCalls* calls_;
};

// The sound cards' PCM devices that support a stream, in card then device order.
std::vector<PhysicalDevice> walk_cards(const alsa::PcmCalls& calls);

// The PCM name hints with a usable NAME, in order, each NAME added to `seen`.
std::vector<DeviceRecord> walk_hints(const alsa::PcmCalls& calls, std::set<std::string>& seen);

// Display names of every output-capable device: hints first, then the "hw"
// and "plughw" entries of each card device whose pcm id no hint took.
std::vector<std::string> list_devices();
std::vector<std::string> list_devices(const alsa::PcmCalls* calls);

class AudioOutput {
public:
    AudioOutput(std::uint32_t sample_rate, std::uint16_t channels, std::uint32_t buffer_size);
    AudioOutput(const alsa::PcmCalls* calls, std::uint32_t sample_rate, std::uint16_t channels,
                std::uint32_t buffer_size);

    std::string device_name() const { return display_name(device_); }
    bool is_playing() const { return playing_; }
    void stop() { playing_ = false; }

    std::uint32_t sample_rate;
    std::uint16_t channels;
    std::uint32_t buffer_size;

private:
    DeviceRecord device_{"default", "Default Audio Device", Direction::both};
    bool playing_ = false;  // nothing starts playback
    ConfigHold hold_;
};

}  // namespace ostina::audio_output
