#include "audio_output.hpp"

#include <atomic>
#include <memory>
#include <utility>

#include "errors.hpp"
#include "format.hpp"

namespace ostina::audio_output {
namespace {

using alsa::PcmCalls;

std::atomic<long> config_holders{0};

[[noreturn]] void host_unavailable() {
    throw Fault("the default host should always be available: HostUnavailable");
}

}  // namespace

// ---------------------------------------------------------------------------
// Display names

std::string display_name(const DeviceRecord& device) {
    if (!device.description || device.description->empty()) return device.pcm_id;
    const std::string& text = *device.description;
    auto end = text.find('\n');
    if (end == std::string::npos) return text;
    if (end > 0 && text[end - 1] == '\r') --end;
    return text.substr(0, end);
}

// ---------------------------------------------------------------------------
// The configuration hold

ConfigHold::ConfigHold(const PcmCalls* calls) : calls_(calls) {
    if (calls == nullptr) host_unavailable();
    alsa::QuietErrors quiet(calls->errors);
    if (config_holders.fetch_add(1) == 0 && calls->snd_config_update() < 0) {
        config_holders.fetch_sub(1);
        host_unavailable();
    }
}

ConfigHold::ConfigHold(ConfigHold&& other) noexcept : calls_(std::exchange(other.calls_, nullptr)) {}

ConfigHold::~ConfigHold() {
    if (calls_ == nullptr || config_holders.fetch_sub(1) != 1) return;
    alsa::QuietErrors quiet(calls_->errors);
    calls_->snd_config_update_free_global();
}

long ConfigHold::holders() { return config_holders.load(); }

// ---------------------------------------------------------------------------
// The card walk

namespace {

using Control = std::unique_ptr<alsa::snd_ctl_t, int (*)(alsa::snd_ctl_t*)>;
using PcmInfo = alsa::Owned<alsa::snd_pcm_info_t>;

std::optional<std::string> card_name(const PcmCalls& calls, alsa::snd_ctl_t* control) {
    auto info = alsa::allocate(calls.snd_ctl_card_info_malloc, calls.snd_ctl_card_info_free);
    if (!info || calls.snd_ctl_card_info(control, info.get()) < 0) return std::nullopt;
    return alsa::utf8_text(calls.snd_ctl_card_info_get_name(info.get()));
}

// The device's info record for `stream`, or null when it does not support it.
PcmInfo probe(const PcmCalls& calls, alsa::snd_ctl_t* control, int device, int stream) {
    auto info = alsa::allocate(calls.snd_pcm_info_malloc, calls.snd_pcm_info_free);
    if (!info) return info;
    calls.snd_pcm_info_set_device(info.get(), static_cast<unsigned>(device));
    calls.snd_pcm_info_set_subdevice(info.get(), 0);
    calls.snd_pcm_info_set_stream(info.get(), stream);
    if (calls.snd_ctl_pcm_info(control, info.get()) < 0) info.reset();
    return info;
}

std::optional<PhysicalDevice> card_device(const PcmCalls& calls, alsa::snd_ctl_t* control, int card,
                                          const std::optional<std::string>& card_name, int device) {
    PcmInfo playback = probe(calls, control, device, alsa::kStreamPlayback);
    PcmInfo capture = probe(calls, control, device, alsa::kStreamCapture);
    if (!playback && !capture) return std::nullopt;
    Direction direction = !capture ? Direction::playback_only
                          : !playback ? Direction::capture_only
                                      : Direction::both;
    const alsa::snd_pcm_info_t* source = playback ? playback.get() : capture.get();
    auto name = alsa::utf8_text(calls.snd_pcm_info_get_name(source));
    return PhysicalDevice{card, device, card_name, name ? *name : concat("Device ", device), direction};
}

void walk_card(const PcmCalls& calls, int card, std::vector<PhysicalDevice>& found) {
    alsa::snd_ctl_t* opened = nullptr;
    if (calls.snd_ctl_open(&opened, concat("hw:", card).c_str(), 0) < 0) return;
    Control control(opened, calls.snd_ctl_close);
    auto name = card_name(calls, opened);
    for (int device = -1; calls.snd_ctl_pcm_next_device(opened, &device) >= 0 && device != -1;)
        if (auto record = card_device(calls, opened, card, name, device)) found.push_back(std::move(*record));
}

}  // namespace

std::vector<PhysicalDevice> walk_cards(const PcmCalls& calls) {
    std::vector<PhysicalDevice> found;
    // A failing snd_card_next ends the walk: asking again with the same
    // number could go on for ever.
    for (int card = -1; calls.snd_card_next(&card) >= 0 && card != -1;) walk_card(calls, card, found);
    return found;
}

// ---------------------------------------------------------------------------
// The hint walk

namespace {

using Hints = std::unique_ptr<void*, int (*)(void**)>;

Direction hint_direction(const std::optional<std::string>& ioid) {
    if (ioid == "Output") return Direction::playback_only;
    if (ioid == "Input") return Direction::capture_only;
    return Direction::both;
}

std::optional<DeviceRecord> hint_device(const PcmCalls& calls, const void* hint) {
    Direction direction = hint_direction(alsa::take_utf8_text(calls.snd_device_name_get_hint(hint, "IOID")));
    auto name = alsa::take_utf8_text(calls.snd_device_name_get_hint(hint, "NAME"));
    auto description = alsa::take_utf8_text(calls.snd_device_name_get_hint(hint, "DESC"));
    if (!name) return std::nullopt;
    return DeviceRecord{std::move(*name), std::move(description), direction};
}

}  // namespace

std::vector<DeviceRecord> walk_hints(const PcmCalls& calls, std::set<std::string>& seen) {
    std::vector<DeviceRecord> devices;
    void** array = nullptr;
    if (calls.snd_device_name_hint(-1, "pcm", &array) < 0 || array == nullptr) return devices;
    Hints hints(array, calls.snd_device_name_free_hint);
    for (void** entry = array; *entry != nullptr; ++entry) {
        if (auto device = hint_device(calls, *entry)) {
            seen.insert(device->pcm_id);  // hints are never de-duplicated among themselves
            devices.push_back(std::move(*device));
        }
    }
    return devices;
}

// ---------------------------------------------------------------------------
// The listing

namespace {

struct CardPrefix {
    const char* prefix;
    const char* extra;
};

constexpr CardPrefix kCardPrefixes[] = {
    {"hw", "Direct hardware device without any conversions"},
    {"plughw", "Hardware device with all software conversions"},
};

void append_card_entries(const std::vector<PhysicalDevice>& cards, std::set<std::string>& seen,
                         std::vector<DeviceRecord>& devices) {
    for (const PhysicalDevice& physical : cards) {
        std::string base = physical.card_name ? concat(*physical.card_name, ", ", physical.pcm_name)
                                              : physical.pcm_name;
        for (const CardPrefix& kind : kCardPrefixes) {
            std::string pcm_id = concat(kind.prefix, ":CARD=", physical.card, ",DEV=", physical.device);
            if (!seen.insert(pcm_id).second) continue;
            devices.push_back({std::move(pcm_id), concat(base, '\n', kind.extra), physical.direction});
        }
    }
}

}  // namespace

std::vector<std::string> list_devices() { return list_devices(alsa::pcm_calls()); }

std::vector<std::string> list_devices(const PcmCalls* calls) {
    ConfigHold hold(calls);
    alsa::QuietErrors quiet(calls->errors);
    std::set<std::string> seen;
    std::vector<PhysicalDevice> cards = walk_cards(*calls);
    std::vector<DeviceRecord> devices = walk_hints(*calls, seen);
    append_card_entries(cards, seen, devices);
    std::vector<std::string> names;
    for (const DeviceRecord& device : devices)
        if (device.direction != Direction::capture_only) names.push_back(display_name(device));
    return names;
}

// ---------------------------------------------------------------------------
// The output object

AudioOutput::AudioOutput(std::uint32_t sample_rate, std::uint16_t channels, std::uint32_t buffer_size)
    : AudioOutput(alsa::pcm_calls(), sample_rate, channels, buffer_size) {}

AudioOutput::AudioOutput(const PcmCalls* calls, std::uint32_t sample_rate, std::uint16_t channels,
                         std::uint32_t buffer_size)
    : sample_rate(sample_rate), channels(channels), buffer_size(buffer_size), hold_(calls) {}

}  // namespace ostina::audio_output
