#include "synth/generators.hpp"

namespace ostina::synth {
namespace {

constexpr std::int32_t kAny = INT16_MIN;  // with kAnyHigh: no range of its own
constexpr std::int32_t kAnyHigh = INT16_MAX;

struct Row {
    Generator generator;
    GeneratorInfo info;
};

// SoundFont 2.04's generator summary: name, default, range, and whether
// a preset zone may set it.
constexpr Row kRows[] = {
    {Generator::startAddrsOffset, {"startAddrsOffset", 0, kAny, kAnyHigh, false}},
    {Generator::endAddrsOffset, {"endAddrsOffset", 0, kAny, kAnyHigh, false}},
    {Generator::startloopAddrsOffset, {"startloopAddrsOffset", 0, kAny, kAnyHigh, false}},
    {Generator::endloopAddrsOffset, {"endloopAddrsOffset", 0, kAny, kAnyHigh, false}},
    {Generator::startAddrsCoarseOffset, {"startAddrsCoarseOffset", 0, kAny, kAnyHigh, false}},
    {Generator::modLfoToPitch, {"modLfoToPitch", 0, -12000, 12000}},
    {Generator::vibLfoToPitch, {"vibLfoToPitch", 0, -12000, 12000}},
    {Generator::modEnvToPitch, {"modEnvToPitch", 0, -12000, 12000}},
    {Generator::initialFilterFc, {"initialFilterFc", 13500, 1500, 13500}},
    {Generator::initialFilterQ, {"initialFilterQ", 0, 0, 960}},
    {Generator::modLfoToFilterFc, {"modLfoToFilterFc", 0, -12000, 12000}},
    {Generator::modEnvToFilterFc, {"modEnvToFilterFc", 0, -12000, 12000}},
    {Generator::endAddrsCoarseOffset, {"endAddrsCoarseOffset", 0, kAny, kAnyHigh, false}},
    {Generator::modLfoToVolume, {"modLfoToVolume", 0, -960, 960}},
    {Generator::chorusEffectsSend, {"chorusEffectsSend", 0, 0, 1000}},
    {Generator::reverbEffectsSend, {"reverbEffectsSend", 0, 0, 1000}},
    {Generator::pan, {"pan", 0, -500, 500}},
    {Generator::delayModLFO, {"delayModLFO", -12000, -12000, 5000}},
    {Generator::freqModLFO, {"freqModLFO", 0, -16000, 4500}},
    {Generator::delayVibLFO, {"delayVibLFO", -12000, -12000, 5000}},
    {Generator::freqVibLFO, {"freqVibLFO", 0, -16000, 4500}},
    {Generator::delayModEnv, {"delayModEnv", -12000, -12000, 5000}},
    {Generator::attackModEnv, {"attackModEnv", -12000, -12000, 8000}},
    {Generator::holdModEnv, {"holdModEnv", -12000, -12000, 5000}},
    {Generator::decayModEnv, {"decayModEnv", -12000, -12000, 8000}},
    {Generator::sustainModEnv, {"sustainModEnv", 0, 0, 1000}},
    {Generator::releaseModEnv, {"releaseModEnv", -12000, -12000, 8000}},
    {Generator::keynumToModEnvHold, {"keynumToModEnvHold", 0, -1200, 1200}},
    {Generator::keynumToModEnvDecay, {"keynumToModEnvDecay", 0, -1200, 1200}},
    {Generator::delayVolEnv, {"delayVolEnv", -12000, -12000, 5000}},
    {Generator::attackVolEnv, {"attackVolEnv", -12000, -12000, 8000}},
    {Generator::holdVolEnv, {"holdVolEnv", -12000, -12000, 5000}},
    {Generator::decayVolEnv, {"decayVolEnv", -12000, -12000, 8000}},
    {Generator::sustainVolEnv, {"sustainVolEnv", 0, 0, 1440}},
    {Generator::releaseVolEnv, {"releaseVolEnv", -12000, -12000, 8000}},
    {Generator::keynumToVolEnvHold, {"keynumToVolEnvHold", 0, -1200, 1200}},
    {Generator::keynumToVolEnvDecay, {"keynumToVolEnvDecay", 0, -1200, 1200}},
    {Generator::startloopAddrsCoarseOffset, {"startloopAddrsCoarseOffset", 0, kAny, kAnyHigh, false}},
    {Generator::keynum, {"keynum", -1, -1, 127, false}},
    {Generator::velocity, {"velocity", -1, -1, 127, false}},
    {Generator::initialAttenuation, {"initialAttenuation", 0, 0, 1440}},
    {Generator::endloopAddrsCoarseOffset, {"endloopAddrsCoarseOffset", 0, kAny, kAnyHigh, false}},
    {Generator::coarseTune, {"coarseTune", 0, -120, 120}},
    {Generator::fineTune, {"fineTune", 0, -99, 99}},
    {Generator::sampleModes, {"sampleModes", 0, 0, 3, false}},
    {Generator::scaleTuning, {"scaleTuning", 100, 0, 1200}},
    {Generator::exclusiveClass, {"exclusiveClass", 0, 0, 127, false}},
    {Generator::overridingRootKey, {"overridingRootKey", -1, -1, 127, false}},
};

struct Table {
    std::array<GeneratorInfo, kGeneratorCount> infos{};
    constexpr Table() {
        // Unlisted numbers (unused, reserved, the index and range generators)
        // keep an empty name and take no part in a voice's values.
        for (GeneratorInfo& entry : infos) entry.preset_level = false;
        for (const Row& row : kRows) infos[index_of(row.generator)] = row.info;
    }
};

constexpr Table kTable{};

}  // namespace

const GeneratorInfo& info(Generator generator) { return kTable.infos[index_of(generator)]; }

std::optional<Generator> generator_named(std::string_view name) {
    for (const Row& row : kRows)
        if (row.info.name == name) return row.generator;
    return std::nullopt;
}

void GeneratorSet::overlay(const GeneratorSet& other) {
    for (std::size_t i = 0; i < kGeneratorCount; ++i)
        if (other.present_.test(i)) {
            amounts_[i] = other.amounts_[i];
            present_.set(i);
        }
}

GeneratorValues combine(const GeneratorSet& instrument, const GeneratorSet& preset) {
    GeneratorValues values{};
    for (std::size_t i = 0; i < kGeneratorCount; ++i) {
        auto generator = static_cast<Generator>(i);
        const GeneratorInfo& about = info(generator);
        values[i] = instrument.has(generator) ? instrument.get(generator) : about.default_value;
        if (about.preset_level && preset.has(generator)) values[i] += preset.get(generator);
    }
    return values;
}

}  // namespace ostina::synth
