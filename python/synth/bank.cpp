// Bank: presets, instruments and samples built in code (users' samples,
// tests' small banks), and the library players are made from.
#include <algorithm>
#include <cstdint>
#include <limits>

#include "classes.hpp"
#include "format.hpp"
#include "samples.hpp"
#include "synth/builtin_bank.hpp"
#include "synth/mapped_file.hpp"
#include "synth/soundfont.hpp"

namespace ostina::py {
namespace {

using synth::Generator;
using synth::GeneratorSet;
using synth::Zone;

// A zone as Python gives it: generators as (name, amount) pairs, with
// keyRange and velRange as low + 256 * high (the file's two bytes).
using Generators = std::vector<std::tuple<std::string, std::int32_t>>;
using ZoneItems = std::tuple<std::uint32_t, Generators>;  // (target, generators)

synth::KeyRange range_of(std::int32_t amount, const std::string& name) {
    auto low = amount & 0xFF, high = amount >> 8;
    if (amount < 0 || high > 127 || low > 127 || low > high)
        throw ValueError(name + " " + std::to_string(amount) + " is not low + 256 * high with 0 <= low <= high <= 127");
    return {static_cast<std::uint8_t>(low), static_cast<std::uint8_t>(high)};
}

Zone zone_of(std::size_t target, const Generators& generators) {
    Zone zone;
    zone.target = target;
    for (const auto& [name, amount] : generators) {
        if (name == "keyRange") zone.keys = range_of(amount, name);
        else if (name == "velRange") zone.velocities = range_of(amount, name);
        else if (auto generator = synth::generator_named(name)) {
            if (amount < std::numeric_limits<std::int16_t>::min() || amount > std::numeric_limits<std::int16_t>::max())
                throw ValueError(name + " " + std::to_string(amount) + " does not fit in 16 bits");
            zone.generators.set(*generator, static_cast<std::int16_t>(amount));
        } else {
            throw ValueError("unknown generator '" + name + "'");
        }
    }
    return zone;
}

std::vector<Zone> zones_of(const std::vector<ZoneItems>& items) {
    std::vector<Zone> zones;
    for (const auto& [target, generators] : items) zones.push_back(zone_of(target, generators));
    return zones;
}

std::uint64_t add_sample(SharedBank& shared, Samples data, std::uint32_t rate, std::uint8_t original_key,
                         std::int32_t correction, std::uint32_t loop_start, std::uint32_t loop_end, std::string name) {
    if (correction < -128 || correction > 127) throw ValueError("a correction of " + std::to_string(correction) + " cents");
    auto frames = std::make_shared<const Samples>(std::move(data));
    synth::Sample sample;
    sample.name = std::move(name);
    sample.data = std::span<const float>(*frames);
    sample.owner = frames;
    sample.end = static_cast<std::uint32_t>(frames->size());
    sample.loop_start = loop_start;
    sample.loop_end = loop_end;
    sample.rate = rate;
    sample.original_key = original_key;
    sample.correction = static_cast<std::int8_t>(correction);
    return shared.bank->add_sample(std::move(sample));
}

std::uint64_t add_instrument(SharedBank& shared, std::vector<ZoneItems> zones, Generators global, std::string name) {
    synth::Instrument instrument{std::move(name), zone_of(0, global), zones_of(zones)};
    return shared.bank->add_instrument(std::move(instrument));
}

void add_preset(SharedBank& shared, std::uint16_t bank, std::uint8_t program, std::vector<ZoneItems> zones,
                Generators global, std::string name) {
    if (bank > synth::kDrumBank) throw ValueError("bank " + std::to_string(bank) + " is outside 0-128");
    if (program > 127) throw ValueError("program " + std::to_string(program) + " is outside 0-127");
    synth::Preset preset{std::move(name), bank, program, zone_of(0, global), zones_of(zones)};
    shared.bank->add_preset(std::move(preset));
}

std::string bank_repr(const SharedBank& shared) {
    return concat("Bank(samples=", shared.bank->sample_count(), ", instruments=", shared.bank->instrument_count(), ")");
}

// A compressed soundfont's samples decoded by a Python function of their
// bytes, called when a note first plays one; what it raises unwinds the call
// that played the note.
synth::SampleDecoder python_decoder(SharedObject function) {
    return [function](std::span<const std::byte> encoded) {
        Ref data = checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(encoded.data()),
                                                     static_cast<Py_ssize_t>(encoded.size())));
        Ref frames = checked(PyObject_CallFunctionObjArgs(function.get(), data.get(), nullptr));
        return std::make_shared<const std::vector<float>>(Convert<std::vector<float>>::from(frames.get()));
    };
}

SharedBank read_soundfont(const std::string& path, std::optional<SharedObject> decoder) {
    auto file = synth::MappedFile::open(path);
    synth::SoundFont font = synth::read_soundfont(file->bytes(), file);
    if (decoder) font.bank->set_decoder(python_decoder(*decoder));
    return {font.bank, font.name, font.notices};
}

SharedBank builtin_bank(std::uint32_t rate) { return {synth::BuiltinBank(rate).whole_bank(), "ostina built-in bank", {}}; }

// The bank's items in the shapes a soundfont writer takes: generators as
// (name, amount) pairs with keyRange and velRange first (low + 256 * high),
// modulators as SoundFont 2.04's five fields with the destination named.
using ModulatorRow = std::tuple<std::uint32_t, std::string, std::int32_t, std::uint32_t, std::uint32_t>;
using LevelRow = std::tuple<Generators, std::vector<ModulatorRow>>;
using ZoneRow = std::tuple<std::uint64_t, Generators, std::vector<ModulatorRow>>;

Generators generator_rows(const Zone& zone) {
    Generators rows;
    auto range = [&](const char* name, synth::KeyRange keys) {
        if (keys.low != 0 || keys.high != 127) rows.emplace_back(name, keys.low | keys.high << 8);
    };
    range("keyRange", zone.keys);
    range("velRange", zone.velocities);
    for (std::size_t i = 0; i < synth::kGeneratorCount; ++i) {
        auto generator = static_cast<Generator>(i);
        if (zone.generators.has(generator)) rows.emplace_back(std::string(synth::info(generator).name), zone.generators.get(generator));
    }
    return rows;
}

std::vector<ModulatorRow> modulator_rows(const Zone& zone) {
    std::vector<ModulatorRow> rows;
    for (const synth::Modulator& modulator : zone.modulators)
        rows.emplace_back(modulator.source.bits, std::string(synth::info(modulator.destination).name), modulator.amount,
                          modulator.amount_source.bits, modulator.transform);
    return rows;
}

LevelRow level_row(const Zone& global) { return {generator_rows(global), modulator_rows(global)}; }

std::vector<ZoneRow> zone_rows(const std::vector<Zone>& zones) {
    std::vector<ZoneRow> rows;
    for (const Zone& zone : zones) rows.emplace_back(zone.target, generator_rows(zone), modulator_rows(zone));
    return rows;
}

std::vector<std::tuple<std::string, std::uint16_t, std::uint8_t, LevelRow, std::vector<ZoneRow>>> preset_rows(
    const SharedBank& shared) {
    std::vector<std::tuple<std::string, std::uint16_t, std::uint8_t, LevelRow, std::vector<ZoneRow>>> rows;
    for (const auto& [key, preset] : shared.bank->presets())
        rows.emplace_back(preset.name, preset.bank, preset.program, level_row(preset.global), zone_rows(preset.zones));
    return rows;
}

std::vector<std::tuple<std::string, LevelRow, std::vector<ZoneRow>>> instrument_rows(const SharedBank& shared) {
    std::vector<std::tuple<std::string, LevelRow, std::vector<ZoneRow>>> rows;
    for (std::size_t i = 0; i < shared.bank->instrument_count(); ++i) {
        const synth::Instrument& instrument = shared.bank->instrument(i);
        rows.emplace_back(instrument.name, level_row(instrument.global), zone_rows(instrument.zones));
    }
    return rows;
}

std::int32_t relative(std::uint32_t point, std::uint32_t start) {
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(std::int64_t{point} - start, INT32_MIN, INT32_MAX));
}

// (name, sample rate, original key, correction, loop start, loop end), the
// loop counted from the sample's first frame.
std::vector<std::tuple<std::string, std::uint32_t, std::uint8_t, std::int32_t, std::int32_t, std::int32_t>> sample_rows(
    const SharedBank& shared) {
    std::vector<std::tuple<std::string, std::uint32_t, std::uint8_t, std::int32_t, std::int32_t, std::int32_t>> rows;
    for (std::size_t i = 0; i < shared.bank->sample_count(); ++i) {
        const synth::Sample& sample = shared.bank->sample(i);
        rows.emplace_back(sample.name, sample.rate, sample.original_key, sample.correction,
                          relative(sample.loop_start, sample.start), relative(sample.loop_end, sample.start));
    }
    return rows;
}

Bytes sample_data(const SharedBank& shared, std::uint64_t index) {
    if (index >= shared.bank->sample_count())
        throw IndexError("sample " + std::to_string(index) + " of " + std::to_string(shared.bank->sample_count()));
    const synth::Sample& sample = shared.bank->ready_sample(index);
    std::vector<float> frames(sample.end - sample.start);
    for (std::size_t i = 0; i < frames.size(); ++i)
        frames[i] = sample.pcm16.empty() ? sample.data[sample.start + i]
                                         : static_cast<float>(sample.pcm16[sample.start + i]) / 32768.0f;
    return bytes_of(frames);
}

// (key low, key high, velocity low, velocity high, sample, generators) of
// each pair of a preset zone and an instrument zone: what a note in both
// ranges plays, with its generators summed over both levels.
std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint64_t,
                       std::vector<std::tuple<std::string, std::int32_t>>>>
regions(const SharedBank& shared, std::uint16_t bank, std::uint8_t program) {
    const synth::Preset* preset = shared.bank->find(bank, program);
    if (preset == nullptr)
        throw ValueError("the bank has no preset of bank " + std::to_string(bank) + ", program " + std::to_string(program));
    std::vector<std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint64_t,
                           std::vector<std::tuple<std::string, std::int32_t>>>> rows;
    for (const synth::Region& region : shared.bank->regions(*preset)) {
        std::vector<std::tuple<std::string, std::int32_t>> values;
        for (std::size_t i = 0; i < synth::kGeneratorCount; ++i)
            if (auto name = synth::info(static_cast<Generator>(i)).name; !name.empty())
                values.emplace_back(std::string(name), region.generators[i]);
        rows.emplace_back(region.keys.low, region.keys.high, region.velocities.low, region.velocities.high,
                          region.sample, std::move(values));
    }
    return rows;
}

const std::string& bank_name(const SharedBank& shared) { return shared.name; }
const std::vector<std::string>& bank_notices(const SharedBank& shared) { return shared.notices; }

}  // namespace

std::shared_ptr<synth::Library> make_library(const std::vector<SharedBank>& banks, bool builtin, std::uint32_t rate) {
    auto library = std::make_shared<synth::Library>();
    for (const SharedBank& bank : banks) library->add(std::make_shared<synth::BankSource>(bank.bank));
    if (builtin) library->add(std::make_shared<synth::BuiltinBank>(rate));
    return library;
}

const ClassDefinition& Bound<SharedBank>::definition() {
    static const ClassDefinition definition = define<SharedBank>(
        Constructor<"Bank()", &construct<SharedBank>>{},
        Method<"add_sample($self, data, sample_rate, original_key=60, correction=0, loop_start=0, loop_end=0, "
               "name=\"\")", &add_sample>{},
        Method<"add_instrument($self, zones, global_zone=(), name=\"\")", &add_instrument>{},
        Method<"add_preset($self, bank, program, zones, global_zone=(), name=\"\")", &add_preset>{},
        StaticMethod<"read_soundfont(path, decoder=None)", &read_soundfont>{},
        StaticMethod<"builtin(rate=44100)", &builtin_bank>{},
        Method<"presets($self)", &preset_rows>{},
        Method<"instruments($self)", &instrument_rows>{},
        Method<"samples($self)", &sample_rows>{},
        Method<"sample_data($self, index)", &sample_data>{},
        Method<"regions($self, bank, program)", &regions>{},
        Property<"name", &bank_name>{},
        Property<"notices", &bank_notices>{},
        Repr<&bank_repr>{});
    return definition;
}

}  // namespace ostina::py
