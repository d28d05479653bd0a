#include "synth/bank.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "errors.hpp"

namespace ostina::synth {
namespace {

std::uint32_t preset_key(std::uint16_t bank, std::uint8_t program) { return std::uint32_t{bank} * 128 + program; }

void check_targets(const std::vector<Zone>& zones, std::size_t count, const char* what, const std::string& owner) {
    for (const Zone& zone : zones)
        if (zone.target >= count)
            throw ValueError(owner + ": a zone names " + what + " " + std::to_string(zone.target) + " of " +
                             std::to_string(count));
}

// `level`'s modulators merged into `list`: one of the same kind as a
// modulator already there replaces it when `replaces`, otherwise each adds.
void merge(std::vector<Modulator>& list, const std::vector<Modulator>& level, bool replaces) {
    for (const Modulator& modulator : level) {
        bool replaced = false;
        if (replaces)
            for (Modulator& present : list)
                if (present.same_kind(modulator)) {
                    present = modulator;
                    replaced = true;
                    break;
                }
        if (!replaced) list.push_back(modulator);
    }
}

// A level's modulators: its zone's replace its global zone's of the same kind.
std::vector<Modulator> level_modulators(const Zone& global, const Zone& zone) {
    std::vector<Modulator> list = global.modulators;
    merge(list, zone.modulators, true);
    return list;
}

GeneratorSet level_generators(const Zone& global, const Zone& zone) {
    GeneratorSet set = global.generators;
    set.overlay(zone.generators);
    return set;
}

bool takes(const Zone& zone, std::uint8_t key, std::uint8_t velocity) {
    return zone.keys.contains(key) && zone.velocities.contains(velocity);
}

}  // namespace

std::size_t Bank::add_sample(Sample sample) {
    auto size = sample.frames();
    if (sample.rate == 0) throw ValueError("sample '" + sample.name + "': a sample rate of 0");
    sample.peak = -1.0f;
    if (!sample.encoded.empty()) {  // its points count in frames it does not have until decoded
        samples_.push_back(std::move(sample));
        return samples_.size() - 1;
    }
    if (sample.start > sample.end || sample.end > size)
        throw ValueError("sample '" + sample.name + "': its frames " + std::to_string(sample.start) + "-" +
                         std::to_string(sample.end) + " lie outside its " + std::to_string(size) + " frames of data");
    if (sample.loop_start > sample.loop_end || sample.loop_end > size)
        throw ValueError("sample '" + sample.name + "': its loop " + std::to_string(sample.loop_start) + "-" +
                         std::to_string(sample.loop_end) + " lies outside its " + std::to_string(size) +
                         " frames of data");
    samples_.push_back(std::move(sample));
    return samples_.size() - 1;
}

// An encoded sample's frames, in place of its bytes; a sample that cannot be
// decoded is silent. Its loop counts from its first frame; a loop beyond
// the decoded frames is cut to them.
void Bank::decode(Sample& sample) const {
    std::shared_ptr<const std::vector<float>> frames = decoder_ ? decoder_(sample.encoded) : nullptr;
    if (!frames) frames = std::make_shared<const std::vector<float>>();
    auto size = static_cast<std::uint32_t>(std::min<std::size_t>(frames->size(), UINT32_MAX));
    sample.data = std::span<const float>(frames->data(), size);
    sample.owner = frames;
    sample.encoded = {};
    sample.start = 0;
    sample.end = size;
    sample.loop_end = std::min(sample.loop_end, size);
    sample.loop_start = std::min(sample.loop_start, sample.loop_end);
}

namespace {

// The largest magnitude of a sample's frames from `first` up to `last`, full scale 1.
float peak_of(const Sample& sample, std::uint32_t first, std::uint32_t last) {
    if (!sample.pcm16.empty()) {
        int largest = 0;
        for (std::int16_t frame : sample.pcm16.subspan(first, last - first)) largest = std::max(largest, std::abs(int{frame}));
        return static_cast<float>(largest) / 32768.0f;
    }
    float peak = 0.0f;
    for (float frame : sample.data.subspan(first, last - first)) peak = std::max(peak, std::fabs(frame));
    return peak;
}

// Each block's peak, then from the last block back the larger of its own and
// those after it.
std::vector<float> peaks_ahead_of(const Sample& sample) {
    const std::size_t frames = sample.end - sample.start;
    std::vector<float> peaks((frames + Sample::kPeakBlock - 1) / Sample::kPeakBlock);
    for (std::size_t block = 0; block < peaks.size(); ++block) {
        const std::size_t first = block * Sample::kPeakBlock, last = std::min(frames, first + Sample::kPeakBlock);
        peaks[block] = peak_of(sample, static_cast<std::uint32_t>(sample.start + first),
                               static_cast<std::uint32_t>(sample.start + last));
    }
    for (std::size_t block = peaks.size(); block-- > 1;) peaks[block - 1] = std::max(peaks[block - 1], peaks[block]);
    return peaks;
}

}  // namespace

const Sample& Bank::ready_sample(std::size_t index) const {
    Sample& sample = samples_.at(index);
    if (sample.ready()) return sample;
    if (!sample.encoded.empty()) decode(sample);
    // The loop's frames that lie within the sample's, where a voice reads them.
    const std::uint32_t loop_start = std::clamp(sample.loop_start, sample.start, sample.end);
    const std::uint32_t loop_end = std::clamp(sample.loop_end, loop_start, sample.end);
    sample.peaks_ahead = peaks_ahead_of(sample);
    sample.peak = sample.peaks_ahead.empty() ? 0.0f : sample.peaks_ahead.front();
    sample.loop_peak = peak_of(sample, loop_start, loop_end);
    return sample;
}

std::size_t Bank::add_instrument(Instrument instrument) {
    check_targets(instrument.zones, samples_.size(), "sample", "instrument '" + instrument.name + "'");
    instruments_.push_back(std::move(instrument));
    return instruments_.size() - 1;
}

void Bank::add_preset(Preset preset) {
    check_targets(preset.zones, instruments_.size(), "instrument", "preset '" + preset.name + "'");
    auto key = preset_key(preset.bank, preset.program);
    presets_.insert_or_assign(key, std::move(preset));
}

const Preset* Bank::find(std::uint16_t bank, std::uint8_t program) const {
    auto found = presets_.find(preset_key(bank, program));
    return found == presets_.end() ? nullptr : &found->second;
}

std::vector<VoicePlan> Bank::voices(const Preset& preset, std::uint8_t key, std::uint8_t velocity) const {
    std::vector<VoicePlan> plans;
    for (const Zone& preset_zone : preset.zones) {
        if (!takes(preset_zone, key, velocity)) continue;
        const Instrument& instrument = instruments_[preset_zone.target];
        GeneratorSet preset_level = level_generators(preset.global, preset_zone);
        std::vector<Modulator> preset_modulators = level_modulators(preset.global, preset_zone);
        for (const Zone& zone : instrument.zones) {
            if (!takes(zone, key, velocity)) continue;
            VoicePlan plan;
            plan.sample = &ready_sample(zone.target);
            plan.generators = combine(level_generators(instrument.global, zone), preset_level);
            plan.modulators.assign(default_modulators().begin(), default_modulators().end());
            merge(plan.modulators, level_modulators(instrument.global, zone), true);
            merge(plan.modulators, preset_modulators, false);  // the preset level adds to the instrument's
            plans.push_back(std::move(plan));
        }
    }
    return plans;
}

std::vector<Region> Bank::regions(const Preset& preset) const {
    auto overlap = [](KeyRange a, KeyRange b) {
        return KeyRange{std::max(a.low, b.low), std::min(a.high, b.high)};
    };
    std::vector<Region> regions;
    for (const Zone& preset_zone : preset.zones) {
        const Instrument& instrument = instruments_[preset_zone.target];
        GeneratorSet preset_level = level_generators(preset.global, preset_zone);
        for (const Zone& zone : instrument.zones) {
            KeyRange keys = overlap(preset_zone.keys, zone.keys), velocities = overlap(preset_zone.velocities, zone.velocities);
            if (keys.low > keys.high || velocities.low > velocities.high) continue;
            regions.push_back({keys, velocities, zone.target, combine(level_generators(instrument.global, zone), preset_level)});
        }
    }
    return regions;
}

void BankSource::voices(std::uint16_t bank, std::uint8_t program, std::uint8_t key, std::uint8_t velocity,
                        std::vector<VoicePlan>& plans) {
    if (const Preset* preset = bank_->find(bank, program)) {
        auto found = bank_->voices(*preset, key, velocity);
        for (VoicePlan& plan : found) plans.push_back(std::move(plan));
    }
}

bool Library::any_has(std::uint16_t bank, std::uint8_t program) {
    for (auto& source : sources_)
        if (source->has(bank, program)) return true;
    return false;
}

PresetChoice Library::choose(std::uint16_t bank, std::uint8_t program) {
    if (any_has(bank, program)) return {bank, program, true};
    if (bank == kDrumBank && any_has(kDrumBank, 0)) return {kDrumBank, 0, true};
    if (bank != kDrumBank && any_has(0, program)) return {0, program, true};
    return {bank, program, false};
}

void Library::voices(const PresetChoice& choice, std::uint8_t key, std::uint8_t velocity,
                     std::vector<VoicePlan>& plans) {
    if (!choice.found) return;
    for (auto& source : sources_) {
        if (!source->has(choice.bank, choice.program)) continue;
        auto before = plans.size();
        source->voices(choice.bank, choice.program, key, velocity, plans);
        if (choice.bank != kDrumBank || plans.size() > before) return;
    }
}

}  // namespace ostina::synth
