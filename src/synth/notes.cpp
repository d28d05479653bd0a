#include "synth/notes.hpp"

#include <array>
#include <deque>

namespace ostina::synth {

std::vector<NoteSpan> pair_notes(const MidiFile& file) {
    std::vector<NoteSpan> notes;
    std::array<std::uint8_t, 16> programs{};
    std::vector<std::deque<std::size_t>> sounding(16 * 128);  // per channel and key: indices into notes
    for (std::size_t index = 0; index < file.events.size(); ++index) {
        const MidiEvent& event = file.events[index];
        std::size_t slot = std::size_t{event.channel & 0x0Fu} * 128 + (event.data1 & 0x7Fu);
        if (event.kind == MidiKind::program_change) {
            programs[event.channel & 0x0F] = event.data1;
        } else if (event.kind == MidiKind::note_on) {
            sounding[slot].push_back(notes.size());
            notes.push_back({event.track, event.channel, event.data1, event.data2, programs[event.channel & 0x0F],
                             event.tick, file.end_tick, index, file.events.size()});
        } else if (event.kind == MidiKind::note_off && !sounding[slot].empty()) {
            NoteSpan& note = notes[sounding[slot].front()];
            sounding[slot].pop_front();
            note.end_tick = event.tick;
            note.end_index = index;
        }
    }
    return notes;
}

}  // namespace ostina::synth
