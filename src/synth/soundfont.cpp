#include "synth/soundfont.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <map>
#include <optional>
#include <string_view>

#include "errors.hpp"

namespace ostina::synth {
namespace {

static_assert(std::endian::native == std::endian::little, "16-bit sample frames are read in place");

using Bytes = std::span<const std::byte>;

std::uint16_t u16(Bytes bytes, std::size_t at) {
    return static_cast<std::uint16_t>(std::to_integer<unsigned>(bytes[at]) | std::to_integer<unsigned>(bytes[at + 1]) << 8);
}

std::uint32_t u32(Bytes bytes, std::size_t at) { return u16(bytes, at) | std::uint32_t{u16(bytes, at + 2)} << 16; }

std::string id_of(Bytes bytes) {
    std::string id;
    for (std::byte b : bytes.first(4)) {
        auto c = std::to_integer<unsigned char>(b);
        id += c >= 0x20 && c < 0x7F ? static_cast<char>(c) : '?';
    }
    return id;
}

// A name of the file's fixed field, up to its first zero byte, its bytes
// read as Latin-1 and given as UTF-8.
std::string name_of(Bytes field) {
    std::string name;
    for (std::byte b : field) {
        auto c = std::to_integer<unsigned char>(b);
        if (c == 0) break;
        if (c < 0x80) {
            name += static_cast<char>(c);
        } else {
            name += static_cast<char>(0xC0 | c >> 6);
            name += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return name;
}

struct Chunk {
    std::string id;
    Bytes body;
};

// The chunks one after another in `bytes`. A chunk of odd size is followed
// by a zero pad byte; some writers leave it out, and a chunk follows at once.
std::vector<Chunk> chunks_in(Bytes bytes, std::string_view where) {
    std::vector<Chunk> chunks;
    std::size_t at = 0;
    while (bytes.size() - at >= 8) {
        std::string id = id_of(bytes.subspan(at));
        std::uint32_t size = u32(bytes, at + 4);
        std::size_t remain = bytes.size() - at - 8;
        if (size > remain)
            throw ValueError("damaged: its '" + id + "' chunk in " + std::string(where) + " claims " +
                             std::to_string(size) + " bytes where " + std::to_string(remain) + " remain");
        chunks.push_back({id, bytes.subspan(at + 8, size)});
        at += 8 + size;
        if (size % 2 == 1 && at < bytes.size() && bytes[at] == std::byte{0}) ++at;
    }
    return chunks;
}

using Lists = std::map<std::string, std::vector<Chunk>>;

Lists lists_of(Bytes file) {
    if (file.size() < 12 || id_of(file) != "RIFF" || id_of(file.subspan(8)) != "sfbk")
        throw ValueError("not a SoundFont file (no RIFF 'sfbk' header)");
    std::uint32_t size = u32(file, 4);
    if (size < 4 || size - 4 > file.size() - 12)
        throw ValueError("truncated: its RIFF header claims " + std::to_string(size) + " bytes where " +
                         std::to_string(file.size() - 8) + " remain");
    Lists lists;
    for (const Chunk& chunk : chunks_in(file.subspan(12, size - 4), "the file"))
        if (chunk.id == "LIST" && chunk.body.size() >= 4)
            lists[id_of(chunk.body)] = chunks_in(chunk.body.subspan(4), "the " + id_of(chunk.body) + " list");
    return lists;
}

std::optional<Bytes> find(const Lists& lists, const std::string& list, const std::string& id) {
    auto found = lists.find(list);
    if (found == lists.end()) return std::nullopt;
    for (const Chunk& chunk : found->second)
        if (chunk.id == id) return chunk.body;
    return std::nullopt;
}

// One table of the preset data: whole records of `size` bytes, with the
// terminal record SoundFont 2.04 ends each table with.
Bytes table(const Lists& lists, const std::string& id, std::size_t size) {
    auto body = find(lists, "pdta", id);
    if (!body) throw ValueError("damaged: it has no '" + id + "' chunk");
    if (body->size() % size != 0 || body->size() < size)
        throw ValueError("damaged: its '" + id + "' chunk of " + std::to_string(body->size()) +
                         " bytes is not whole " + std::to_string(size) + "-byte records");
    return *body;
}

struct Bag {
    std::uint16_t generator, modulator;  // the first of each in its table
};

struct RawGenerator {
    std::uint16_t oper, amount;
};

struct RawModulator {
    std::uint16_t source, destination;
    std::int16_t amount;
    std::uint16_t amount_source, transform;
};

struct Header {
    std::string name;
    std::uint16_t bag;
    std::uint16_t program = 0, bank = 0;  // presets only
};

// What did not stop the file from playing, counted for its notices.
struct Counts {
    std::size_t modulators = 0, dangling = 0, samples = 0, duplicates = 0;
};

// A level of the file: its headers, bags, generators and modulators.
struct Level {
    std::vector<Header> headers;  // the terminal record included
    std::vector<Bag> bags;        // the terminal record included
    std::vector<RawGenerator> generators;
    std::vector<RawModulator> modulators;
    Generator terminal;           // instrument (presets) or sampleID (instruments)
    std::size_t targets;          // what the terminal generator may name
    std::string what;             // "preset" or "instrument"
};

std::vector<Bag> bags_of(Bytes bytes) {
    std::vector<Bag> bags;
    for (std::size_t at = 0; at < bytes.size(); at += 4) bags.push_back({u16(bytes, at), u16(bytes, at + 2)});
    return bags;
}

std::vector<RawGenerator> generators_of(Bytes bytes) {
    std::vector<RawGenerator> generators;
    for (std::size_t at = 0; at < bytes.size(); at += 4) generators.push_back({u16(bytes, at), u16(bytes, at + 2)});
    return generators;
}

std::vector<RawModulator> modulators_of(Bytes bytes) {
    std::vector<RawModulator> modulators;
    for (std::size_t at = 0; at < bytes.size(); at += 10)
        modulators.push_back({u16(bytes, at), u16(bytes, at + 2), static_cast<std::int16_t>(u16(bytes, at + 4)),
                              u16(bytes, at + 6), u16(bytes, at + 8)});
    return modulators;
}

std::vector<Header> preset_headers(Bytes bytes) {
    std::vector<Header> headers;
    for (std::size_t at = 0; at < bytes.size(); at += 38)
        headers.push_back({name_of(bytes.subspan(at, 20)), u16(bytes, at + 24), u16(bytes, at + 20), u16(bytes, at + 22)});
    return headers;
}

std::vector<Header> instrument_headers(Bytes bytes) {
    std::vector<Header> headers;
    for (std::size_t at = 0; at < bytes.size(); at += 22) headers.push_back({name_of(bytes.subspan(at, 20)), u16(bytes, at + 20)});
    return headers;
}

// The controller numbers SoundFont 2.04 does not allow as sources.
bool reserved_controller(std::uint8_t number) {
    return number == 0 || number == 6 || number == 32 || number == 38 || (number >= 98 && number <= 101) ||
           number >= 120;
}

bool known_source(ModulatorSource source) {
    if (static_cast<unsigned>(source.curve()) > 3) return false;
    if (source.is_controller()) return !reserved_controller(source.index());
    switch (source.index()) {
        case ModulatorSource::kNone:
        case ModulatorSource::kNoteOnVelocity:
        case ModulatorSource::kNoteOnKey:
        case ModulatorSource::kPolyPressure:
        case ModulatorSource::kChannelPressure:
        case ModulatorSource::kPitchWheel:
        case ModulatorSource::kPitchWheelSensitivity: return true;
        default: return false;
    }
}

// A modulator the core plays, or none: linked modulators (a destination
// with its top bit set), unknown sources, destinations and transforms are
// left out, as SoundFont 2.04 has players ignore what they do not know.
std::optional<Modulator> modulator_of(const RawModulator& raw) {
    if (raw.destination >= kGeneratorCount) return std::nullopt;
    auto destination = static_cast<Generator>(raw.destination);
    ModulatorSource source{raw.source}, amount_source{raw.amount_source};
    if (info(destination).name.empty() || !known_source(source) || !known_source(amount_source)) return std::nullopt;
    if (raw.transform != Modulator::kLinear && raw.transform != Modulator::kAbsoluteValue) return std::nullopt;
    return Modulator{source, destination, raw.amount, amount_source, raw.transform};
}

KeyRange range_of(std::uint16_t amount) {
    return {static_cast<std::uint8_t>(amount & 0xFF), static_cast<std::uint8_t>(amount >> 8)};
}

// The generators and modulators of one bag; `target` is what its terminal
// generator names, if it has one. Generators after the terminal one are
// ignored, as SoundFont 2.04 says.
Zone zone_of(const Level& level, std::size_t bag, std::optional<std::size_t>& target, Counts& counts) {
    Zone zone;
    auto end_of = [&](auto member, std::size_t size) {
        return bag + 1 < level.bags.size() ? level.bags[bag + 1].*member : size;
    };
    std::size_t first = level.bags[bag].generator, last = end_of(&Bag::generator, level.generators.size());
    std::size_t first_modulator = level.bags[bag].modulator, last_modulator = end_of(&Bag::modulator, level.modulators.size());
    if (first > last || last > level.generators.size() || first_modulator > last_modulator ||
        last_modulator > level.modulators.size())
        throw ValueError("damaged: the " + level.what + " zones' generator or modulator indices run out of order");
    for (std::size_t i = first; i < last; ++i) {
        const RawGenerator& raw = level.generators[i];
        if (raw.oper == index_of(level.terminal)) {
            target = raw.amount;
            break;
        }
        if (raw.oper == index_of(Generator::keyRange)) zone.keys = range_of(raw.amount);
        else if (raw.oper == index_of(Generator::velRange)) zone.velocities = range_of(raw.amount);
        else if (raw.oper < kGeneratorCount && !info(static_cast<Generator>(raw.oper)).name.empty())
            zone.generators.set(static_cast<Generator>(raw.oper), static_cast<std::int16_t>(raw.amount));
    }
    for (std::size_t i = first_modulator; i < last_modulator; ++i) {
        if (auto modulator = modulator_of(level.modulators[i])) zone.modulators.push_back(*modulator);
        else ++counts.modulators;
    }
    return zone;
}

// The zones of the level's item `item`: a first zone without the terminal
// generator is its global zone; any other such zone is ignored.
void read_zones(const Level& level, std::size_t item, Zone& global, std::vector<Zone>& zones, Counts& counts) {
    std::size_t first = level.headers[item].bag, last = level.headers[item + 1].bag;
    if (first > last || last > level.bags.size())
        throw ValueError("damaged: " + level.what + " '" + level.headers[item].name + "' names zones " +
                         std::to_string(first) + "-" + std::to_string(last) + " of " +
                         std::to_string(level.bags.size()));
    for (std::size_t bag = first; bag < last; ++bag) {
        std::optional<std::size_t> target;
        Zone zone = zone_of(level, bag, target, counts);
        if (!target) {
            if (bag == first) global = std::move(zone);
        } else if (*target < level.targets) {
            zone.target = *target;
            zones.push_back(std::move(zone));
        } else {
            ++counts.dangling;
        }
    }
}

Level level_of(const Lists& lists, const std::string& prefix, std::vector<Header> headers, Generator terminal,
               std::size_t targets, std::string what) {
    return {std::move(headers), bags_of(table(lists, prefix + "bag", 4)),
            generators_of(table(lists, prefix + "gen", 4)), modulators_of(table(lists, prefix + "mod", 10)),
            terminal, targets, std::move(what)};
}

struct SampleData {
    Bytes bytes;  // the smpl chunk
    std::shared_ptr<const void> owner;
    bool compressed;  // an SF3 file, whose samples may be encoded
};

// A sample as the bank holds it. A 16-bit sample's points are frames of the
// whole smpl chunk; points outside it are cut to it. An encoded sample's
// start and end are bytes of the chunk, its loop frames from its own start.
Sample sample_of(Bytes header, const SampleData& data, Counts& counts) {
    Sample sample;
    sample.name = name_of(header.first(20));
    std::uint32_t start = u32(header, 20), end = u32(header, 24), loop_start = u32(header, 28), loop_end = u32(header, 32);
    sample.rate = u32(header, 36);
    auto key = std::to_integer<std::uint8_t>(header[40]);
    sample.original_key = key <= 127 ? key : 60;  // 255: unpitched, played at 60
    sample.correction = static_cast<std::int8_t>(std::to_integer<std::uint8_t>(header[41]));
    std::uint16_t type = u16(header, 44);
    sample.owner = data.owner;
    bool usable = sample.rate > 0 && (type & 0x8000) == 0;  // ROM samples are not in the file
    if (sample.rate == 0) sample.rate = 44100;
    if (data.compressed && (type & 0x10) != 0) {
        if (usable && start < end && end <= data.bytes.size()) {
            sample.encoded = data.bytes.subspan(start, end - start);
            sample.loop_start = loop_start;
            sample.loop_end = loop_end;
            return sample;
        }
        ++counts.samples;
        return sample;
    }
    sample.pcm16 = {reinterpret_cast<const std::int16_t*>(data.bytes.data()), data.bytes.size() / 2};
    auto frames = static_cast<std::uint32_t>(std::min<std::size_t>(sample.pcm16.size(), UINT32_MAX));
    sample.end = usable ? std::min(end, frames) : 0;
    sample.start = std::min(start, sample.end);
    if (sample.end < end || sample.start < start || !usable) ++counts.samples;
    bool loop_inside = loop_start <= loop_end && loop_end <= frames;
    sample.loop_start = loop_inside ? loop_start : sample.start;
    sample.loop_end = loop_inside ? loop_end : sample.start;
    return sample;
}

SampleData sample_data(const Lists& lists, std::uint16_t major, std::shared_ptr<const void> owner) {
    Bytes bytes = find(lists, "sdta", "smpl").value_or(Bytes{});
    if (reinterpret_cast<std::uintptr_t>(bytes.data()) % alignof(std::int16_t) != 0 && major < 3)
        throw ValueError("damaged: its sample data begins at an odd byte");
    return {bytes, std::move(owner), major >= 3};
}

void add_samples(Bank& bank, Bytes headers, const SampleData& data, Counts& counts) {
    for (std::size_t at = 0; at + 46 < headers.size(); at += 46) bank.add_sample(sample_of(headers.subspan(at, 46), data, counts));
}

void add_instruments(Bank& bank, const Level& level, Counts& counts) {
    for (std::size_t item = 0; item + 1 < level.headers.size(); ++item) {
        Instrument instrument{level.headers[item].name, {}, {}};
        read_zones(level, item, instrument.global, instrument.zones, counts);
        bank.add_instrument(std::move(instrument));
    }
}

void add_presets(Bank& bank, const Level& level, Counts& counts) {
    for (std::size_t item = 0; item + 1 < level.headers.size(); ++item) {
        const Header& header = level.headers[item];
        Preset preset{header.name, header.bank, static_cast<std::uint8_t>(header.program), {}, {}};
        read_zones(level, item, preset.global, preset.zones, counts);
        if (header.program > 127 || header.bank > kDrumBank) continue;  // no MIDI message can choose it
        if (bank.find(header.bank, preset.program)) {
            ++counts.duplicates;  // the first of a bank and program plays
            continue;
        }
        bank.add_preset(std::move(preset));
    }
}

void note(std::vector<std::string>& notices, std::size_t count, const std::string& what) {
    if (count > 0) notices.push_back(std::to_string(count) + " " + what);
}

}  // namespace

SoundFont read_soundfont(std::span<const std::byte> file, std::shared_ptr<const void> owner) {
    Lists lists = lists_of(file);
    SoundFont font;
    if (auto version = find(lists, "INFO", "ifil"); version && version->size() >= 4) {
        font.major = u16(*version, 0);
        font.minor = u16(*version, 2);
    }
    if (font.major != 2 && font.major != 3)
        throw ValueError("version " + std::to_string(font.major) + "." + std::to_string(font.minor) +
                         " is not offered: SoundFont 2 and 3 files are");
    if (auto name = find(lists, "INFO", "INAM")) font.name = name_of(*name);
    if (!lists.count("pdta")) throw ValueError("damaged: it has no preset data (no 'pdta' list)");
    font.bank = std::make_shared<Bank>();
    Counts counts;
    SampleData data = sample_data(lists, font.major, std::move(owner));
    Bytes samples = table(lists, "shdr", 46);
    add_samples(*font.bank, samples, data, counts);
    Level instruments = level_of(lists, "i", instrument_headers(table(lists, "inst", 22)), Generator::sampleID,
                                 font.bank->sample_count(), "instrument");
    add_instruments(*font.bank, instruments, counts);
    Level presets = level_of(lists, "p", preset_headers(table(lists, "phdr", 38)), Generator::instrument,
                             font.bank->instrument_count(), "preset");
    add_presets(*font.bank, presets, counts);
    note(font.notices, counts.modulators, "modulators of kinds not played (linked, or of unknown sources) are left out");
    note(font.notices, counts.dangling, "zones name samples or instruments the file does not have; they are left out");
    note(font.notices, counts.samples, "samples lie outside the sample data, or in ROM; they are cut or silent");
    note(font.notices, counts.duplicates, "presets repeat a bank and program; the first of each plays");
    if (find(lists, "sdta", "sm24")) font.notices.push_back("its 24-bit samples play at 16 bits");
    return font;
}

}  // namespace ostina::synth
