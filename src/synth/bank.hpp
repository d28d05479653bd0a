// The bank: presets, instruments, zones and samples as the SoundFont 2.04
// model has them. A preset's zones each name an instrument; an instrument's
// zones each name a sample; a zone applies to the keys and velocities in its
// ranges, and a level's global zone gives its other zones their defaults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "synth/generators.hpp"
#include "synth/modulator.hpp"

namespace ostina::synth {

// A sample's frames and the points SoundFont 2.04 gives it, in frames
// from the start of its data. The frames are floats, 16-bit integers of full
// scale 32768 (a soundfont's own, mapped from its file), or still encoded
// (a compressed soundfont's bytes, or a built-in zone's recipe, made into
// frames by the bank's decoder when a note first plays them). `owner`
// keeps the frames alive (several samples may share one pool of data).
struct Sample {
    std::string name;
    std::shared_ptr<const void> owner;
    std::span<const float> data;
    std::span<const std::int16_t> pcm16;
    std::span<const std::byte> encoded;
    std::uint32_t start = 0, end = 0, loop_start = 0, loop_end = 0;
    std::uint32_t rate = 44100;  // frames per second
    std::uint8_t original_key = 60;
    std::int8_t correction = 0;  // cents
    float peak = -1.0f;          // the largest magnitude of its frames, full scale 1; measured on first use
    float loop_peak = -1.0f;     // ...and of its loop's, which a looping voice plays once past the loop's start
    // ...and of the frames from each block of kPeakBlock after `start` to `end`:
    // all that a voice reading from that block on can still play.
    std::vector<float> peaks_ahead;

    static constexpr std::uint32_t kPeakBlock = 512;

    std::size_t frames() const { return pcm16.empty() ? data.size() : pcm16.size(); }
    bool ready() const { return peak >= 0.0f; }
};
// A bank's samples move when it grows while voices read their peaks ahead:
// moved, a vector keeps its frames where they were.
static_assert(std::is_nothrow_move_constructible_v<Sample>);

// Turns an encoded sample's bytes into its frames, which samples may share.
using SampleDecoder = std::function<std::shared_ptr<const std::vector<float>>(std::span<const std::byte>)>;

struct KeyRange {
    std::uint8_t low = 0, high = 127;
    bool contains(std::uint8_t value) const { return low <= value && value <= high; }
};

struct Zone {
    KeyRange keys, velocities;
    GeneratorSet generators;
    std::vector<Modulator> modulators;
    std::size_t target = 0;  // the sample (instrument zone) or instrument (preset zone) it names
};

struct Instrument {
    std::string name;
    Zone global;  // its target is unused
    std::vector<Zone> zones;
};

struct Preset {
    std::string name;
    std::uint16_t bank = 0;  // 128 is the drum kits
    std::uint8_t program = 0;
    Zone global;
    std::vector<Zone> zones;
};

inline constexpr std::uint16_t kDrumBank = 128;

class Bank;

// What one voice plays: its sample, its generators summed over both levels,
// and its modulators (the defaults, with those of the zones merged in).
struct VoicePlan {
    const Sample* sample = nullptr;
    GeneratorValues generators{};
    std::vector<Modulator> modulators;
};

// What a note in both ranges plays, for each pair of a preset zone and one
// of its instrument's zones: a sample, with its generators summed over both
// levels.
struct Region {
    KeyRange keys, velocities;
    std::size_t sample = 0;
    GeneratorValues generators{};
};

class Bank {
public:
    // Each returns the new item's index. Zones must name items already added.
    std::size_t add_sample(Sample sample);
    std::size_t add_instrument(Instrument instrument);
    // A preset of the same bank and program replaces the earlier one.
    void add_preset(Preset preset);

    const Preset* find(std::uint16_t bank, std::uint8_t program) const;
    std::size_t sample_count() const { return samples_.size(); }
    std::size_t instrument_count() const { return instruments_.size(); }
    const Sample& sample(std::size_t index) const { return samples_.at(index); }
    const Instrument& instrument(std::size_t index) const { return instruments_.at(index); }
    const std::map<std::uint32_t, Preset>& presets() const { return presets_; }
    // Decodes the encoded samples when a note first plays them.
    void set_decoder(SampleDecoder decoder) { decoder_ = std::move(decoder); }
    // The sample made ready to play: decoded, and its peak measured. Samples
    // are completed on first use, so that a soundfont costs memory and time
    // only for what plays; a bank is used by one thread at a time.
    const Sample& ready_sample(std::size_t index) const;

    // The voices a note starts on `preset`, one for each pair of a preset zone
    // and one of its instrument's zones that both take the key and velocity.
    std::vector<VoicePlan> voices(const Preset& preset, std::uint8_t key, std::uint8_t velocity) const;
    std::vector<Region> regions(const Preset& preset) const;

private:
    void decode(Sample& sample) const;

    mutable std::vector<Sample> samples_;
    std::vector<Instrument> instruments_;
    SampleDecoder decoder_;
    std::map<std::uint32_t, Preset> presets_;  // by bank * 128 + program
};

// Where a synthesizer finds its presets.
class PresetSource {
public:
    virtual ~PresetSource() = default;
    // Whether the source has this preset; a source may build a preset when
    // it is first asked for.
    virtual bool has(std::uint16_t bank, std::uint8_t program) = 0;
    // Appends the voices a note starts on a preset the source has.
    virtual void voices(std::uint16_t bank, std::uint8_t program, std::uint8_t key, std::uint8_t velocity,
                        std::vector<VoicePlan>& plans) = 0;
};

// A bank as a source of its own presets.
class BankSource : public PresetSource {
public:
    explicit BankSource(std::shared_ptr<const Bank> bank) : bank_(std::move(bank)) {}
    bool has(std::uint16_t bank, std::uint8_t program) override { return bank_->find(bank, program) != nullptr; }
    void voices(std::uint16_t bank, std::uint8_t program, std::uint8_t key, std::uint8_t velocity,
                std::vector<VoicePlan>& plans) override;

private:
    std::shared_ptr<const Bank> bank_;
};

// A preset as a channel holds it once chosen: the bank and program that
// were found, which may be a fallback for the ones asked for.
struct PresetChoice {
    std::uint16_t bank = 0;
    std::uint8_t program = 0;
    bool found = false;
};

// Sources in the order they take precedence (users' samples before the
// built-in bank), with General MIDI's fallbacks: a program missing from its
// bank is taken from bank 0, a missing drum kit from kit 0. A drum kit is
// merged key by key: a note plays from the first source whose kit sounds it.
class Library {
public:
    void add(std::shared_ptr<PresetSource> source) { sources_.push_back(std::move(source)); }
    PresetChoice choose(std::uint16_t bank, std::uint8_t program);
    void voices(const PresetChoice& choice, std::uint8_t key, std::uint8_t velocity, std::vector<VoicePlan>& plans);

private:
    bool any_has(std::uint16_t bank, std::uint8_t program);
    std::vector<std::shared_ptr<PresetSource>> sources_;
};

}  // namespace ostina::synth
