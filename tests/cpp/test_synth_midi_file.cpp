// The MIDI file reader on files built byte by byte (refusals, running
// status, clamping, damaged lengths, every truncation) and the tempo map
// against a plain exact sum.
#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "errors.hpp"
#include "synth/midi_file.hpp"
#include "synth/tempo.hpp"

using namespace ostina::synth;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes operator+(Bytes a, const Bytes& b) { return a.insert(a.end(), b.begin(), b.end()), a; }

Bytes chunk(const char* type, const Bytes& body, std::uint32_t length) {
    Bytes out(type, type + 4);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(length >> shift));
    return out + body;
}
Bytes chunk(const char* type, const Bytes& body) { return chunk(type, body, static_cast<std::uint32_t>(body.size())); }
Bytes header(std::uint16_t format, std::uint16_t tracks, std::uint16_t division = 96) {
    return chunk("MThd", {0, std::uint8_t(format), std::uint8_t(tracks >> 8), std::uint8_t(tracks),
                          std::uint8_t(division >> 8), std::uint8_t(division)});
}
Bytes track(const Bytes& body) { return chunk("MTrk", body); }
const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

// A heap copy of exactly the first `count` bytes, so a read past them is caught by AddressSanitizer.
MidiFile read(const Bytes& file, std::size_t count) {
    auto copy = std::make_unique<std::byte[]>(count);
    if (count != 0) std::memcpy(copy.get(), file.data(), count);
    return read_midi_file({copy.get(), count});
}
MidiFile read(const Bytes& file) { return read(file, file.size()); }

void test_refusals() {
    struct Case { Bytes file; const char* text; };
    const Bytes one = header(0, 1);
    const Case cases[] = {
        {{}, "not a MIDI file (no MThd header)"},
        {{'M', 'T', 'h', 'd', 0, 0}, "the MThd header is cut off (truncated file?)"},
        {chunk("MThd", {0, 0, 0, 1}), "the MThd header holds 4 bytes, fewer than the 6 it needs"},
        {chunk("MThd", {0, 0, 0}, 6), "the MThd header claims 6 bytes but only 3 remain (truncated file?)"},
        {header(2, 1) + track(kEnd), "type 2 MIDI files (independent sequences) are not supported"},
        {header(7, 1) + track(kEnd), "format 7 is not a MIDI file format (0, 1 or 2)"},
        {header(1, 1, 0xE250) + track(kEnd), "SMPTE time division is not supported, only ticks per beat"},
        {header(1, 1, 0) + track(kEnd), "the header gives 0 ticks per beat"},
        {header(1, 2), "the header announces 2 tracks but the file holds none"},
        {header(1, 1) + chunk("XFIH", {1, 2}), "the header announces 1 track but the file holds none"},
        {header(1, 0), "the file holds no tracks"},
        {header(1, 2) + track(kEnd) + chunk("MTrk", Bytes(1200), 5000),
         "track 2's chunk claims 5000 bytes but only 1200 remain (truncated file?)"},
        {one + Bytes{'M', 'T', 'r', 'k', 0, 0}, "track 1's chunk is cut off in its length (truncated file?)"},
        {one + track({0x81, 0x80, 0x80, 0x80, 0x00, 0x90, 60, 64}), "track 1 has a delta time longer than four bytes"},
        {one + track({0x00, 0x3C, 0x40}), "track 1 has a data byte where a status byte should be, at byte 23"},
        {header(1, 2) + track(kEnd) + track({0x00}), "track 2 ends in the middle of an event"},
        // The chunk says 3 bytes: the note's velocity lies outside it, though the file goes on.
        {one + chunk("MTrk", Bytes{0x00, 0x90, 0x3C, 0x40} + kEnd, 3), "track 1 ends in the middle of an event"},
        {one + track({0x00, 0xFF, 0x01, 0x10, 'a', 'b'}), "track 1 has a meta event of 16 bytes but only 2 remain in its chunk"},
        {one + track({0x00, 0xF0, 0x05, 1, 2}), "track 1 has a sysex message of 5 bytes but only 2 remain in its chunk"},
        {one + track({0x00, 0xFF, 0x01, 0x80, 0x80, 0x80, 0x80, 0x01}),
         "track 1 has a meta event length longer than four bytes"},
    };
    for (const Case& c : cases) CHECK_THROWS(MidiFileError, c.text, read(c.file));
}

// A conductor track and a track that leans on running status across metas,
// sysex and system bytes, with data bytes to clamp, a second name and bytes
// after its end.
const Bytes kSong =
    header(1, 2) +
    track({0x00, 0xFF, 0x03, 0x05, 'T', 'e', 'm', 'p', 'o', 0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20,
           0x60, 0xFF, 0x51, 0x03, 0x00, 0x00, 0x00, 0x81, 0x00, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,
           0x00, 0xFF, 0x2F, 0x00}) +
    track({0x00, 0xFF, 0x03, 0x03, 'P', 0xE9, 'a', 0x00, 0xC1, 0x05, 0x00, 0x91, 0x3C, 0x64,
           0x10, 0x3E, 0x00, 0x00, 0xFF, 0x01, 0x01, 'x', 0x00, 0xF0, 0x01, 0xF7, 0x00, 0x40, 0x50,
           0x00, 0xF8, 0x00, 0xF2, 0x01, 0x02, 0x00, 0x41, 0x51, 0x20, 0xB1, 0x07, 0xC8, 0x00, 0xE1, 0x00, 0x40,
           0x00, 0xE1, 0x7F, 0x7F, 0x00, 0xA1, 0x3C, 0x22, 0x00, 0xD1, 0x90, 0x00, 0x81, 0x3C, 0x40,
           0x00, 0xFF, 0x03, 0x01, 'Z', 0x83, 0x60, 0xFF, 0x2F, 0x00, 0x00, 0x3C});

using Expected = std::tuple<std::uint64_t, std::uint32_t, MidiKind, int, int, int, std::uint32_t>;

void check_events(const MidiFile& file, const std::vector<Expected>& expected) {
    std::vector<Expected> events;
    for (const MidiEvent& e : file.events) events.emplace_back(e.tick, e.track, e.kind, e.channel, e.data1, e.data2, e.value);
    CHECK(events == expected);
}

void test_events_names_and_end() {
    using enum MidiKind;
    const MidiFile file = read(kSong);
    CHECK_EQ(file.format, 1);
    CHECK_EQ(file.ticks_per_beat, 96);
    CHECK(file.track_names == std::vector<std::string>({"Tempo", "P\xC3\xA9" "a"}));
    CHECK(file.notices.empty());
    CHECK_EQ(file.end_tick, 528u);  // the second track's end-of-track; the tempo of 0 (tick 96) is dropped
    check_events(file, {{0, 0, tempo, 0, 0, 0, 500000}, {0, 1, program_change, 1, 5, 0, 0}, {0, 1, note_on, 1, 60, 100, 0},
                        {16, 1, note_off, 1, 62, 0, 0}, {16, 1, note_on, 1, 64, 80, 0}, {16, 1, note_on, 1, 65, 81, 0},
                        {48, 1, control_change, 1, 7, 127, 0}, {48, 1, pitch_bend, 1, 0, 64, 8192},
                        {48, 1, pitch_bend, 1, 127, 127, 16383}, {48, 1, key_pressure, 1, 60, 34, 0},
                        {48, 1, channel_pressure, 1, 127, 0, 0}, {48, 1, note_off, 1, 60, 64, 0},
                        {224, 0, tempo, 0, 0, 0, 1000000}});
}

// Five tracks (an odd count at every merge) of notes on shared ticks keep track order.
void test_shared_ticks_keep_track_order() {
    Bytes file = header(1, 5);
    std::vector<Expected> expected;
    for (std::uint8_t t = 0; t < 5; ++t) {
        file = file + track(Bytes{0x00, std::uint8_t(0x90 | t), 60, 1, 0x0A, 61, 1} + kEnd);
        expected.insert(expected.begin() + t, {0, t, MidiKind::note_on, t, 60, 1, 0});
        expected.emplace_back(10, t, MidiKind::note_on, t, 61, 1, 0);
    }
    check_events(read(file), expected);
}

void test_notices() {
    struct Case { Bytes file; const char* notice; std::size_t tracks; };
    const Bytes t = track(kEnd);
    const Case cases[] = {
        {header(1, 3) + t + t, "the header announces 3 tracks but the file holds 2; all 2 are read", 2},
        {header(1, 2) + t, "the header announces 2 tracks but the file holds 1; it is read", 1},
        {header(1, 1) + t + chunk("XFIH", {1, 2, 3}) + t, "the header announces 1 track but the file holds 2; all 2 are read", 2},
        {header(1, 1) + t + Bytes(5), "the file's last 5 bytes do not make a whole chunk; they are ignored", 1},
        {header(1, 1) + t + chunk("XFIH", {1, 2, 3, 4}, 99), "the file's last 12 bytes do not make a whole chunk; they are ignored", 1},
        {chunk("MThd", {0, 0, 0, 1, 0, 96, 0xAA, 0xBB}) + t, nullptr, 1},  // a longer header's extra bytes are skipped
    };
    for (const Case& c : cases) {
        const MidiFile file = read(c.file);
        CHECK(c.notice ? file.notices == std::vector<std::string>{c.notice} : file.notices.empty());
        CHECK_EQ(file.track_names.size(), c.tracks);
    }
}

// Deltas of 2^28 - 1 pass 32 bits of ticks; the track has no end-of-track.
void test_huge_deltas() {
    Bytes body;
    for (int i = 0; i < 20; ++i) body = body + Bytes{0xFF, 0xFF, 0xFF, 0x7F, 0x90, 60, 64};
    const MidiFile file = read(header(0, 1) + track(body));
    CHECK(file.events.size() == 20 && file.events.back().tick == 20 * 0x0FFF'FFFFull &&
          file.end_tick == 20 * 0x0FFF'FFFFull);
}

bool reads(const Bytes& file, std::size_t count) {
    try {
        return (void)read(file, count), true;
    } catch (const MidiFileError&) {
        return false;
    }
}

// Every cut of the file, and every length the second track's chunk could
// claim, reads or refuses within the bytes. Of the cuts only the whole file
// and those just past the first track, too short for a chunk's head, read.
void test_every_cut_and_claimed_length() {
    const std::size_t first_track_end = 14 + 8 + 35;
    for (std::size_t count = 0; count <= kSong.size(); ++count)
        CHECK_EQ(reads(kSong, count), count - first_track_end <= 3 || count == kSong.size());
    Bytes file = kSong;
    for (std::uint32_t length = 0; length < 90; ++length) {
        for (int i = 0; i < 4; ++i) file[first_track_end + 4 + i] = std::uint8_t(length >> (24 - 8 * i));
        CHECK(reads(file, file.size()) || length != 73);
    }
}

MidiEvent tempo_at(std::uint64_t tick, std::uint32_t tempo) { return {tick, 0, tempo, MidiKind::tempo}; }

TempoUnits exact_units(const std::vector<MidiEvent>& events, std::uint64_t tick) {
    TempoUnits units = 0;
    std::uint64_t from = 0;
    std::uint32_t tempo = kDefaultTempo;
    for (const MidiEvent& e : events) {
        if (e.tick > tick) break;
        units += TempoUnits{e.tick - from} * tempo;
        from = e.tick;
        tempo = e.value;
    }
    return units + TempoUnits{tick - from} * tempo;
}

void test_tempo_map_is_exact() {
    std::mt19937_64 random(7);
    for (int round = 0; round < 20; ++round) {
        const auto tpb = static_cast<std::uint16_t>(1 + random() % 32767);
        std::vector<MidiEvent> events;
        std::uint64_t tick = random() % 3;  // sometimes a change at tick 0
        for (int i = 0; i < 300; ++i, tick += random() % 4 == 0 ? 0 : random() % (1u << 28))
            events.push_back(tempo_at(tick, static_cast<std::uint32_t>(1 + random() % 0xFF'FFFF)));
        const TempoMap map(tpb, events);
        const TempoUnits d = TempoUnits{1'000'000} * tpb;
        for (int i = 0; i < 2000; ++i) {
            const std::uint64_t at = i % 2 ? random() % (tick + 1000) : events[random() % events.size()].tick + i % 4 - 1;
            const TempoUnits units = exact_units(events, at);
            CHECK(map.units(at) == units);
            for (std::uint32_t rate : {1u, 44100u, 96000u, 0xFFFF'FFFFu}) {
                const TempoUnits scaled = units * rate;
                const TempoUnits frame = scaled / d + (2 * (scaled % d) >= d);
                CHECK_EQ(map.frame(at, rate), static_cast<std::uint64_t>(std::min<TempoUnits>(frame, UINT64_MAX)));
            }
        }
    }
}

// Several changes on one tick and changes at tick 0 are among the random ones above.
void test_tempo_changes_and_frames() {
    const TempoMap map(480, {tempo_at(480, 600000), tempo_at(480, 1000000)});
    CHECK(map.changes().size() == 2 && map.changes()[0].microseconds_per_beat == kDefaultTempo);
    CHECK_EQ(map.seconds(1440), 2.5);  // half a second, then two at the last of tick 480's tempos
    struct Case { std::uint32_t tempo; std::uint64_t tick; std::uint32_t rate; std::uint64_t frame; };
    constexpr std::uint64_t kMax = UINT64_MAX;
    for (const Case& c : {Case{500000, 1, 1, 1}, {500000, 3, 1, 2}, {500000, 5, 1, 3},  // halves go up, not to even
                          {499999, 1, 1, 0}, {1000000, kMax, 1, kMax}, {1000000, kMax / 2, 2, kMax - 1},
                          {1000000, kMax / 2 + 1, 2, kMax}, {0xFFFFFF, kMax, 0xFFFFFFFF, kMax}}) {
        const TempoMap one(1, {tempo_at(0, c.tempo)});
        CHECK_EQ(one.frame(c.tick, c.rate), c.frame);
    }
    CHECK_THROWS(ostina::ValueError, "a tempo map needs 1 or more ticks per beat", TempoMap(0, {}));
}

}  // namespace

int main() {
    test_refusals();
    test_events_names_and_end();
    test_shared_ticks_keep_track_order();
    test_notices();
    test_huge_deltas();
    test_every_cut_and_claimed_length();
    test_tempo_map_is_exact();
    test_tempo_changes_and_frames();
    return check::finish();
}
