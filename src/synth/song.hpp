// A song: a MIDI file's events placed on the frames of an output rate and
// played on a synthesizer, block by block, up to the song's last event and
// then on while its last notes ring out their release. When the effects
// still ring after the last note, the song ends once its output has stayed
// below a 16-bit step for a tenth of a second.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "synth/midi_file.hpp"
#include "synth/synthesizer.hpp"
#include "synth/tempo.hpp"

namespace ostina::synth {

// Which notes play: those of the chosen tracks (all, unless some are
// chosen), less the muted tracks, on the chosen channels. Every other
// message plays whatever its track, so a channel's controllers hold.
struct Selection {
    bool some_tracks = false;
    std::vector<std::uint32_t> tracks;        // sorted
    std::vector<std::uint32_t> muted_tracks;  // sorted
    std::uint16_t channels = 0xFFFF;  // one bit per channel, channel 0 the lowest

    bool plays(std::uint32_t track, std::uint8_t channel) const;
};

struct SongSettings {
    SynthesizerSettings synthesizer;
    double tail_seconds = 5.0;    // the longest the last notes may ring after the song's end
};

// A preset a song asks for that its library does not have: what plays
// instead (when `chosen.found`), or nothing.
struct PresetFallback {
    std::uint16_t bank = 0;
    std::uint8_t program = 0;
    PresetChoice chosen;
};

class SongRenderer {
public:
    SongRenderer(const MidiFile& file, std::shared_ptr<Library> library, const Selection& selection,
                 SongSettings settings);

    std::uint64_t frames() const { return end_; }  // up to the last event
    std::uint64_t notes() const { return notes_; }  // notes the selection plays
    std::uint64_t rendered() const { return handed_; }  // frames written so far
    // Builds every preset the song's notes play, as their note-ons would,
    // and finds those the library does not have as asked for.
    void prepare();
    const std::vector<PresetFallback>& fallbacks() const { return fallbacks_; }

    // Writes the next frames as interleaved stereo floats; returns how many
    // frames it wrote, fewer than `out` holds only when the song is over.
    std::size_t render(std::span<float> out);
    bool finished() const { return finished_ && taken_ == ready_; }

private:
    struct Timed {
        std::uint64_t frame;
        MidiEvent event;
    };
    std::uint32_t next_span() const;
    std::uint32_t tail_span(std::uint32_t heard, std::uint32_t span);
    void produce();

    std::vector<Timed> events_;
    std::vector<PresetFallback> fallbacks_;
    Synthesizer synthesizer_;
    SongSettings settings_;
    std::uint64_t notes_ = 0;
    std::uint64_t end_ = 0, tail_end_ = 0;
    std::uint64_t heard_until_ = 0;     // frames up to the last one heard
    std::uint64_t quiet_frames_ = 0;    // of silence that end a ringing tail
    bool ringing_ = false;              // the effects rang after the last voice
    std::uint64_t position_ = 0;        // frames played
    std::uint64_t handed_ = 0;          // frames written out
    std::uint32_t ready_ = 0, taken_ = 0;  // of the frames played and kept
    std::size_t next_ = 0;
    bool ended_ = false, finished_ = false;
    std::vector<float> left_, right_;
};

}  // namespace ostina::synth
