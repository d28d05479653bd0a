// Standard MIDI Files (types 0 and 1) read from their bytes: every track's
// channel messages and tempo changes, merged in time order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "errors.hpp"

namespace ostina::synth {

// A file that cannot be read, said in plain words in one line ("a track's
// chunk claims 5000 bytes but only 1200 remain"); the binding raises it as
// ValueError.
struct MidiFileError : ValueError {
    using ValueError::ValueError;
};

enum class MidiKind : std::uint8_t {
    note_off,         // data1 key, data2 velocity; a note-on of velocity 0 is read as one
    note_on,          // data1 key, data2 velocity (1-127)
    key_pressure,     // data1 key, data2 pressure
    control_change,   // data1 controller, data2 value
    program_change,   // data1 program
    channel_pressure, // data1 pressure
    pitch_bend,       // value: 14 bits, 8192 the centre
    tempo,            // value: microseconds per beat (never 0)
};

struct MidiEvent {
    std::uint64_t tick = 0;   // from the start of the file
    std::uint32_t track = 0;  // the index of its track chunk, from 0
    std::uint32_t value = 0;  // pitch bends and tempos
    MidiKind kind = MidiKind::note_on;
    std::uint8_t channel = 0;  // 0-15
    std::uint8_t data1 = 0, data2 = 0;  // data bytes, clamped to 127
};

struct MidiFile {
    std::uint16_t format = 0;          // 0 or 1
    std::uint16_t ticks_per_beat = 0;  // never 0
    std::vector<std::string> track_names;  // one per track chunk read, "" when unnamed
    // Every event of every track, in time order; events of one tick keep the
    // file's order (track by track, then as each track has them).
    std::vector<MidiEvent> events;
    std::uint64_t end_tick = 0;  // the last tick of any track, its end-of-track included
    std::vector<std::string> notices;  // one-line remarks on a file that still reads
};

// Reads a whole file. Throws MidiFileError for a file that is not a MIDI
// file, is damaged or truncated, or is of a kind not played (type 2, SMPTE
// time). Every read is bounded by the bytes that remain.
MidiFile read_midi_file(std::span<const std::byte> bytes);

}  // namespace ostina::synth
