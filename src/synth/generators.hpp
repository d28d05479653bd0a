// Generators: the parameters a zone sets for the voices it starts, numbered,
// named and ranged as the SoundFont 2.04 format's generator summary.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ostina::synth {

enum class Generator : std::uint8_t {
    startAddrsOffset = 0,
    endAddrsOffset = 1,
    startloopAddrsOffset = 2,
    endloopAddrsOffset = 3,
    startAddrsCoarseOffset = 4,
    modLfoToPitch = 5,
    vibLfoToPitch = 6,
    modEnvToPitch = 7,
    initialFilterFc = 8,
    initialFilterQ = 9,
    modLfoToFilterFc = 10,
    modEnvToFilterFc = 11,
    endAddrsCoarseOffset = 12,
    modLfoToVolume = 13,
    chorusEffectsSend = 15,
    reverbEffectsSend = 16,
    pan = 17,
    delayModLFO = 21,
    freqModLFO = 22,
    delayVibLFO = 23,
    freqVibLFO = 24,
    delayModEnv = 25,
    attackModEnv = 26,
    holdModEnv = 27,
    decayModEnv = 28,
    sustainModEnv = 29,
    releaseModEnv = 30,
    keynumToModEnvHold = 31,
    keynumToModEnvDecay = 32,
    delayVolEnv = 33,
    attackVolEnv = 34,
    holdVolEnv = 35,
    decayVolEnv = 36,
    sustainVolEnv = 37,
    releaseVolEnv = 38,
    keynumToVolEnvHold = 39,
    keynumToVolEnvDecay = 40,
    instrument = 41,
    keyRange = 43,
    velRange = 44,
    startloopAddrsCoarseOffset = 45,
    keynum = 46,
    velocity = 47,
    initialAttenuation = 48,
    endloopAddrsCoarseOffset = 50,
    coarseTune = 51,
    fineTune = 52,
    sampleID = 53,
    sampleModes = 54,
    scaleTuning = 56,
    exclusiveClass = 57,
    overridingRootKey = 58,
};

inline constexpr std::size_t kGeneratorCount = 61;  // enumerators 0-60, endOper included

constexpr std::size_t index_of(Generator generator) { return static_cast<std::size_t>(generator); }

// What SoundFont 2.04 says of one generator. Ranges bound the value a
// voice uses after every level and modulator has been added; sample offsets
// and the index generators have none.
struct GeneratorInfo {
    std::string_view name;  // empty for the unused and reserved numbers
    std::int16_t default_value = 0;
    std::int32_t low = INT16_MIN;
    std::int32_t high = INT16_MAX;
    bool preset_level = true;  // whether a preset zone may set it (offsets, keynum and the like may not)
};

const GeneratorInfo& info(Generator generator);

// The generator with this SoundFont name ("attackVolEnv"), if any: the
// ones a zone may set, so neither the index generators nor the unused numbers.
std::optional<Generator> generator_named(std::string_view name);

// The amounts one zone sets; what it leaves unset comes from its level's
// global zone, then from the defaults.
class GeneratorSet {
public:
    void set(Generator generator, std::int16_t amount) {
        amounts_[index_of(generator)] = amount;
        present_.set(index_of(generator));
    }
    bool has(Generator generator) const { return present_.test(index_of(generator)); }
    std::int16_t get(Generator generator) const { return amounts_[index_of(generator)]; }

    // Every amount `other` sets replaces this one's.
    void overlay(const GeneratorSet& other);

private:
    std::array<std::int16_t, kGeneratorCount> amounts_{};
    std::bitset<kGeneratorCount> present_;
};

// The summed generator values of one voice, in 32 bits: a preset's
// amounts add to an instrument's, and modulators add to both.
using GeneratorValues = std::array<std::int32_t, kGeneratorCount>;

// The instrument level: defaults, replaced by the global zone's amounts and
// then the zone's own; the preset level's amounts (global, then zone) add to
// them, except for those a preset may not set.
GeneratorValues combine(const GeneratorSet& instrument, const GeneratorSet& preset);

}  // namespace ostina::synth
