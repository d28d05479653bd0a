// A file's notes, each note-on paired with the note-off that ends it, for
// reading a song rather than playing it.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/midi_file.hpp"

namespace ostina::synth {

struct NoteSpan {
    std::uint32_t track = 0;
    std::uint8_t channel = 0, key = 0, velocity = 0;
    std::uint8_t program = 0;  // the channel's program when the note began
    std::uint64_t start_tick = 0, end_tick = 0;
    // Where the note-on and the note-off stand among the file's events; a
    // note the file never ends ends after them all, on the last tick.
    std::uint64_t start_index = 0, end_index = 0;
};

// Every note in the order of its note-on. A note-off ends the oldest
// sounding note of its channel and key; one without a note-on ends nothing.
std::vector<NoteSpan> pair_notes(const MidiFile& file);

}  // namespace ostina::synth
