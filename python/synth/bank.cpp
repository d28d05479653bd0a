// Bank: presets, instruments and samples built in code (users' samples,
// tests' small banks), and the library players are made from.
#include <limits>

#include "classes.hpp"
#include "format.hpp"
#include "samples.hpp"
#include "synth/builtin_bank.hpp"

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

}  // namespace

std::shared_ptr<synth::Library> make_library(const std::optional<SharedBank>& bank, bool builtin, std::uint32_t rate) {
    auto library = std::make_shared<synth::Library>();
    if (bank) library->add(std::make_shared<synth::BankSource>(bank->bank));
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
        Repr<&bank_repr>{});
    return definition;
}

}  // namespace ostina::py
