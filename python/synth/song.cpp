// MidiFile (a file read from its bytes, and what it holds) and Song (a file
// rendered block by block to floats or PCM).
#include <algorithm>

#include "classes.hpp"
#include "format.hpp"
#include "synth/notes.hpp"
#include "synth/tempo.hpp"

namespace ostina::py {
namespace {

using synth::MidiEvent;
using synth::MidiFile;
using synth::MidiKind;

MidiFile read_file(const Bytes& data) { return synth::read_midi_file(data); }

using NoteRow = std::tuple<std::uint32_t, std::uint8_t, std::uint8_t, std::uint8_t, std::uint64_t, std::uint64_t,
                           std::uint8_t, std::uint64_t, std::uint64_t>;

std::vector<NoteRow> notes(const MidiFile& file) {
    std::vector<NoteRow> rows;
    for (const synth::NoteSpan& note : synth::pair_notes(file))
        rows.emplace_back(note.track, note.channel, note.key, note.velocity, note.start_tick, note.end_tick,
                          note.program, note.start_index, note.end_index);
    return rows;
}

// (track, channel, tick, first data value, second data value, index) of the
// events of one kind; pitch bends give their 14-bit value as the first.
using EventRow = std::tuple<std::uint32_t, std::uint8_t, std::uint64_t, std::uint32_t, std::uint8_t, std::uint64_t>;

std::vector<EventRow> events_of(const MidiFile& file, MidiKind kind) {
    std::vector<EventRow> rows;
    for (std::size_t index = 0; index < file.events.size(); ++index) {
        const MidiEvent& event = file.events[index];
        if (event.kind != kind) continue;
        std::uint32_t first = kind == MidiKind::pitch_bend ? event.value : event.data1;
        rows.emplace_back(event.track, event.channel, event.tick, first, event.data2, index);
    }
    return rows;
}

std::vector<EventRow> controllers(const MidiFile& file) { return events_of(file, MidiKind::control_change); }
std::vector<EventRow> programs(const MidiFile& file) { return events_of(file, MidiKind::program_change); }
std::vector<EventRow> pitch_bends(const MidiFile& file) { return events_of(file, MidiKind::pitch_bend); }

std::vector<std::tuple<std::uint64_t, std::uint32_t>> tempo_changes(const MidiFile& file) {
    std::vector<std::tuple<std::uint64_t, std::uint32_t>> rows;
    synth::TempoMap tempo(file.ticks_per_beat, file.events);
    for (const synth::TempoChange& change : tempo.changes())
        rows.emplace_back(change.tick, change.microseconds_per_beat);
    return rows;
}

double duration(const MidiFile& file) {
    return synth::TempoMap(file.ticks_per_beat, file.events).seconds(file.end_tick);
}

std::string file_repr(const MidiFile& file) {
    return concat("MidiFile(format=", file.format, ", tracks=", file.track_names.size(),
                  ", ticks_per_beat=", file.ticks_per_beat, ", events=", file.events.size(), ")");
}

synth::Selection selection_of(const std::optional<std::vector<std::uint32_t>>& tracks,
                              std::vector<std::uint32_t> muted_tracks, std::uint16_t channels) {
    synth::Selection selection;
    selection.some_tracks = tracks.has_value();
    if (tracks) selection.tracks = *tracks;
    selection.muted_tracks = std::move(muted_tracks);
    std::ranges::sort(selection.tracks);
    std::ranges::sort(selection.muted_tracks);
    selection.channels = channels;
    return selection;
}

SongPlayer make_song(MidiFile file, std::vector<SharedBank> banks, bool builtin, std::uint32_t rate,
                     std::uint32_t polyphony, double gain, double tail_seconds,
                     std::optional<std::vector<std::uint32_t>> tracks, std::vector<std::uint32_t> muted_tracks,
                     std::uint16_t channels, std::optional<double> judged_gain, bool reverb, bool chorus,
                     std::uint32_t threads) {
    if (!(tail_seconds >= 0.0 && tail_seconds <= 3600.0))
        throw ValueError("a tail of " + std::to_string(tail_seconds) + " s");
    if (threads == 0 || threads > 256) throw ValueError(std::to_string(threads) + " threads: 1 to 256");
    synth::SongSettings settings{{rate, polyphony, gain, judged_gain.value_or(gain), reverb, chorus, threads},
                                 tail_seconds};
    return {synth::SongRenderer(file, make_library(banks, builtin, rate),
                                selection_of(tracks, std::move(muted_tracks), channels), settings),
            {}};
}

std::vector<float> render_into(SongPlayer& player, std::uint32_t frames) {
    check_frames(frames);
    std::vector<float> samples(std::size_t{frames} * 2);
    samples.resize(player.renderer.render(samples) * 2);
    player.meter.measure(samples);
    return samples;
}

Bytes render_floats(SongPlayer& player, std::uint32_t frames) { return bytes_of(render_into(player, frames)); }

void check_bits(std::uint32_t bits) {
    if (bits != 16 && bits != 24) throw ValueError(std::to_string(bits) + " bits: 16 or 24");
}

// Rendered, measured and converted a piece at a time, while each piece is
// still in the processor's cache.
Bytes render_pcm(SongPlayer& player, std::uint32_t frames, std::uint32_t bits) {
    check_bits(bits);
    check_frames(frames);
    constexpr std::uint32_t kPiece = 4096;
    std::vector<float> samples(2 * kPiece);
    Bytes pcm(std::size_t{frames} * 2 * (bits / 8));
    std::size_t written = 0;
    for (std::uint32_t done = 0; done < frames && !player.renderer.finished(); done += kPiece) {
        std::size_t made = player.renderer.render(std::span(samples).first(2 * std::min(kPiece, frames - done)));
        std::span<const float> piece(samples.data(), 2 * made);
        player.meter.measure(piece);
        synth::to_pcm(piece, static_cast<int>(bits), std::span(pcm).subspan(written, piece.size() * (bits / 8)));
        written += piece.size() * (bits / 8);
    }
    pcm.resize(written);
    return pcm;
}

Bytes wav_header(std::uint32_t rate, std::uint32_t bits, std::uint64_t data_bytes) {
    check_bits(bits);
    std::string header = synth::wav_header(rate, static_cast<int>(bits), data_bytes);
    const auto* start = reinterpret_cast<const std::byte*>(header.data());
    return Bytes(start, start + header.size());
}

std::uint64_t song_frames(const SongPlayer& player) { return player.renderer.frames(); }
std::uint64_t song_notes(const SongPlayer& player) { return player.renderer.notes(); }
std::uint64_t song_rendered(const SongPlayer& player) { return player.renderer.rendered(); }
bool song_finished(const SongPlayer& player) { return player.renderer.finished(); }
double song_peak(const SongPlayer& player) { return player.meter.peak; }
std::uint64_t song_clipped(const SongPlayer& player) { return player.meter.clipped; }
void prepare(SongPlayer& player) { player.renderer.prepare(); }

// (bank, program, bank played, program played, found) of each preset the
// song asks for that its library does not have as asked for.
std::vector<std::tuple<std::uint16_t, std::uint8_t, std::uint16_t, std::uint8_t, bool>> fallbacks(const SongPlayer& player) {
    std::vector<std::tuple<std::uint16_t, std::uint8_t, std::uint16_t, std::uint8_t, bool>> rows;
    for (const synth::PresetFallback& fallback : player.renderer.fallbacks())
        rows.emplace_back(fallback.bank, fallback.program, fallback.chosen.bank, fallback.chosen.program, fallback.chosen.found);
    return rows;
}

}  // namespace

const ClassDefinition& Bound<MidiFile>::definition() {
    static const ClassDefinition definition = define<MidiFile>(
        Constructor<"MidiFile(data)", &read_file>{},
        Property<"format", &MidiFile::format>{},
        Property<"ticks_per_beat", &MidiFile::ticks_per_beat>{},
        Property<"end_tick", &MidiFile::end_tick>{},
        Property<"track_names", &MidiFile::track_names>{},
        Property<"notices", &MidiFile::notices>{},
        Method<"notes($self)", &notes>{},
        Method<"controllers($self)", &controllers>{},
        Method<"programs($self)", &programs>{},
        Method<"pitch_bends($self)", &pitch_bends>{},
        Method<"tempo_changes($self)", &tempo_changes>{},
        Method<"duration($self)", &duration, "Seconds from the start to the last event of any track.">{},
        Repr<&file_repr>{});
    return definition;
}

const ClassDefinition& Bound<SongPlayer>::definition() {
    static const ClassDefinition definition = define<SongPlayer>(
        Constructor<"Song(midi, banks=(), builtin=True, rate=44100, polyphony=256, gain=1.0, tail_seconds=5.0, "
                    "tracks=None, muted_tracks=(), channels=65535, judged_gain=None, reverb=True, chorus=True, threads=1)",
                    &make_song>{},
        Property<"frames", &song_frames>{},
        Property<"notes", &song_notes>{},
        Property<"rendered", &song_rendered>{},
        Property<"finished", &song_finished>{},
        Property<"peak", &song_peak>{},
        Property<"clipped", &song_clipped>{},
        Method<"prepare($self)", &prepare>{},
        Property<"fallbacks", &fallbacks>{},
        Method<"render($self, frames)", &render_floats>{},
        Method<"render_pcm($self, frames, bits)", &render_pcm>{},
        StaticMethod<"wav_header(rate, bits, data_bytes)", &wav_header>{});
    return definition;
}

}  // namespace ostina::py
