#include "synth/midi_file.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "format.hpp"

// Messages count tracks as people do: "track 3" is the file's third track
// chunk, counted from 1 (MidiEvent::track counts the same chunks from 0).
// Byte positions in messages are offsets from the start of the file.

namespace ostina::synth {
namespace {

constexpr std::size_t kChunkHead = 8;     // four type bytes and a 32-bit length
constexpr std::uint32_t kHeaderBody = 6;  // format, track count, division
constexpr int kMaxQuantityBytes = 4;      // the longest variable-length quantity a file may hold
constexpr std::uint16_t kSmpteDivision = 0x8000;
constexpr std::uint8_t kMaxDataByte = 127;

constexpr std::uint8_t kMeta = 0xFF;
constexpr std::uint8_t kSysex = 0xF0;
constexpr std::uint8_t kSysexEscape = 0xF7;
constexpr std::uint8_t kTrackName = 0x03;
constexpr std::uint8_t kEndOfTrack = 0x2F;
constexpr std::uint8_t kSetTempo = 0x51;

[[noreturn]] void fail(std::string text) { throw MidiFileError(text); }

std::uint32_t big_endian(const std::uint8_t* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
    return value;
}

std::string tracks_text(std::uint64_t count) { return concat(count, count == 1 ? " track" : " tracks"); }

// Every byte is a Latin-1 character, so any name becomes valid text.
std::string latin1_to_utf8(const std::uint8_t* text, std::size_t length) {
    std::string out;
    out.reserve(length);
    for (const std::uint8_t* end = text + length; text != end; ++text) {
        if (*text < 0x80) {
            out += static_cast<char>(*text);
        } else {
            out += static_cast<char>(0xC0 | *text >> 6);
            out += static_cast<char>(0x80 | (*text & 0x3F));
        }
    }
    return out;
}

// The data bytes a system common or real-time byte takes on the wire. They
// have no place in a file; skipping them as the wire defines them plays what
// a damaged file still holds. The undefined F4, F5, F9 and FD take none.
int system_data_bytes(std::uint8_t status) {
    switch (status) {
        case 0xF1: return 1;  // time code quarter frame
        case 0xF2: return 2;  // song position
        case 0xF3: return 1;  // song select
        default: return 0;
    }
}

struct Header {
    std::uint16_t format = 0, tracks = 0, ticks_per_beat = 0;
    std::size_t end = 0;  // where the chunk after the header starts
};

Header read_header(const std::uint8_t* file, std::size_t size) {
    if (size < 4 || std::memcmp(file, "MThd", 4) != 0) fail("not a MIDI file (no MThd header)");
    if (size < kChunkHead) fail("the MThd header is cut off (truncated file?)");
    const std::uint32_t length = big_endian(file + 4, 4);
    if (length < kHeaderBody) fail(concat("the MThd header holds ", length, " bytes, fewer than the 6 it needs"));
    if (length > size - kChunkHead)
        fail(concat("the MThd header claims ", length, " bytes but only ", size - kChunkHead,
                    " remain (truncated file?)"));
    Header header;
    header.format = static_cast<std::uint16_t>(big_endian(file + 8, 2));
    header.tracks = static_cast<std::uint16_t>(big_endian(file + 10, 2));
    const auto division = static_cast<std::uint16_t>(big_endian(file + 12, 2));
    if (header.format == 2) fail("type 2 MIDI files (independent sequences) are not supported");
    if (header.format > 2) fail(concat("format ", header.format, " is not a MIDI file format (0, 1 or 2)"));
    if (division & kSmpteDivision) fail("SMPTE time division is not supported, only ticks per beat");
    if (division == 0) fail("the header gives 0 ticks per beat");
    header.ticks_per_beat = division;
    header.end = kChunkHead + length;
    return header;
}

struct TrackSpan {
    std::size_t begin, end;
};

// The track chunks, in file order. Other chunks are skipped; so are bytes at
// the end that do not make a whole chunk of another type, since nothing in
// them would be read. A track chunk cut short is an error.
std::vector<TrackSpan> find_tracks(const std::uint8_t* file, std::size_t size, const Header& header,
                                   std::vector<std::string>& notices) {
    std::vector<TrackSpan> tracks;
    for (std::size_t at = header.end; at < size;) {
        const std::size_t remain = size - at;
        const bool is_track = remain >= 4 && std::memcmp(file + at, "MTrk", 4) == 0;
        if (is_track && remain < kChunkHead)
            fail(concat("track ", tracks.size() + 1, "'s chunk is cut off in its length (truncated file?)"));
        const std::size_t body = remain < kChunkHead ? 0 : big_endian(file + at + 4, 4);
        if (remain < kChunkHead || body > remain - kChunkHead) {
            if (is_track)
                fail(concat("track ", tracks.size() + 1, "'s chunk claims ", body, " bytes but only ",
                            remain - kChunkHead, " remain (truncated file?)"));
            notices.push_back(concat("the file's last ", remain, " bytes do not make a whole chunk; they are ignored"));
            break;
        }
        if (is_track) tracks.push_back({at + kChunkHead, at + kChunkHead + body});
        at += kChunkHead + body;
    }
    if (tracks.empty() && header.tracks == 0) fail("the file holds no tracks");
    if (tracks.empty()) fail(concat("the header announces ", tracks_text(header.tracks), " but the file holds none"));
    if (tracks.size() != header.tracks) {
        const std::string read = tracks.size() == 1 ? "it is read" : concat("all ", tracks.size(), " are read");
        notices.push_back(concat("the header announces ", tracks_text(header.tracks), " but the file holds ",
                                 tracks.size(), "; ", read));
    }
    return tracks;
}

// By a channel status's high nibble, 8 to E.
constexpr MidiKind kChannelKinds[] = {
    MidiKind::note_off,       MidiKind::note_on,          MidiKind::key_pressure, MidiKind::control_change,
    MidiKind::program_change, MidiKind::channel_pressure, MidiKind::pitch_bend,
};

// One track chunk's events, read one at a time; every read stops at the
// chunk's end.
class TrackReader {
public:
    TrackReader(const std::uint8_t* file, TrackSpan span, std::uint32_t index, std::vector<MidiEvent>& out)
        : file_(file), at_(file + span.begin), end_(file + span.end), index_(index), out_(out) {}

    // Reads up to the end-of-track, or the chunk's end when it has none, and
    // returns the last tick reached.
    std::uint64_t read(std::string& name) {
        while (at_ != end_) {
            tick_ += quantity("a delta time");
            const std::uint8_t lead = next();
            if (lead == kMeta) {
                if (!meta(name)) break;
            } else if (lead == kSysex || lead == kSysexEscape) {
                take(quantity("a sysex length"), "a sysex message");
            } else if (lead > kSysex) {
                for (int i = system_data_bytes(lead); i > 0; --i) next();
            } else {
                channel_message(lead);
            }
        }
        return tick_;
    }

private:
    // Every message about a track's bytes starts with its number.
    template <class... Pieces>
    [[noreturn]] void refuse(const Pieces&... pieces) const {
        fail(concat("track ", index_ + 1, " ", pieces...));
    }

    std::uint8_t next() {
        if (at_ == end_) refuse("ends in the middle of an event");
        return *at_++;
    }

    // Players read a status byte inside a message as the largest data value.
    std::uint8_t data() { return std::min(next(), kMaxDataByte); }

    std::uint32_t quantity(std::string_view what) {
        std::uint32_t value = 0;
        for (int i = 0; i < kMaxQuantityBytes; ++i) {
            const std::uint8_t byte = next();
            value = value << 7 | (byte & 0x7F);
            if (byte < 0x80) return value;
        }
        refuse("has ", what, " longer than four bytes");
    }

    const std::uint8_t* take(std::uint32_t length, std::string_view what) {
        const auto remain = static_cast<std::size_t>(end_ - at_);
        if (length > remain)
            refuse("has ", what, " of ", length, " bytes but only ", remain, " remain in its chunk");
        const std::uint8_t* body = at_;
        at_ += length;
        return body;
    }

    // Returns false at the end-of-track. A tempo meta longer than its three
    // bytes still gives them; a tempo of 0 would stop time and is ignored.
    bool meta(std::string& name) {
        const std::uint8_t type = next();
        const std::uint32_t length = quantity("a meta event length");
        const std::uint8_t* body = take(length, "a meta event");
        if (type == kEndOfTrack) return false;
        if (type == kSetTempo && length >= 3) {
            const std::uint32_t tempo = big_endian(body, 3);
            if (tempo != 0) out_.push_back({tick_, index_, tempo, MidiKind::tempo, 0, 0, 0});
        } else if (type == kTrackName && !named_) {
            name = latin1_to_utf8(body, length);
            named_ = true;
        }
        return true;
    }

    // Running status survives meta and sysex events: valid files never lean
    // on that, and damaged ones play more of their notes.
    void channel_message(std::uint8_t lead) {
        std::uint8_t status = lead, data1 = lead, data2 = 0;
        if (lead < 0x80) {
            if (running_ == 0) refuse("has a data byte where a status byte should be, at byte ", at_ - 1 - file_);
            status = running_;
        } else {
            running_ = lead;
            data1 = data();
        }
        const int type = status >> 4;
        if (type != 0xC && type != 0xD) data2 = data();
        // Written in place: an event built aside and copied in costs a
        // stalled reload of its freshly stored bytes.
        MidiEvent& event = out_.emplace_back();
        event.tick = tick_;
        event.track = index_;
        event.kind = type == 0x9 && data2 == 0 ? MidiKind::note_off : kChannelKinds[type - 8];
        event.channel = status & 0x0F;
        event.data1 = data1;
        event.data2 = data2;
        if (type == 0xE) event.value = data1 | std::uint32_t{data2} << 7;
    }

    const std::uint8_t* file_;
    const std::uint8_t* at_;
    const std::uint8_t* end_;
    std::uint32_t index_;
    std::vector<MidiEvent>& out_;
    std::uint64_t tick_ = 0;  // a delta adds at most 2^28, so 64 bits never overflow
    std::uint8_t running_ = 0;
    bool named_ = false;
};

// Merges the tracks' runs of events (bounded by `bounds`), each already in
// tick order, neighbour with neighbour: std::merge takes the first run's
// event on equal ticks, so the earlier track keeps its place, and the runs
// being sorted makes this cheaper than sorting the whole.
void merge_tracks(std::vector<MidiEvent>& events, std::vector<std::size_t> bounds) {
    if (bounds.size() <= 2) return;
    std::vector<MidiEvent> merged(events.size());
    const auto by_tick = [](const MidiEvent& a, const MidiEvent& b) { return a.tick < b.tick; };
    while (bounds.size() > 2) {
        std::size_t kept = 0;
        for (std::size_t i = 0; i + 1 < bounds.size(); i += 2) {
            const auto first = events.begin() + static_cast<std::ptrdiff_t>(bounds[i]);
            const auto middle = events.begin() + static_cast<std::ptrdiff_t>(bounds[i + 1]);
            const auto last = events.begin() + static_cast<std::ptrdiff_t>(bounds[std::min(i + 2, bounds.size() - 1)]);
            std::merge(first, middle, middle, last, merged.begin() + (first - events.begin()), by_tick);
            bounds[kept++] = bounds[i];
        }
        bounds[kept++] = bounds.back();
        bounds.resize(kept);
        events.swap(merged);
    }
}

}  // namespace

MidiFile read_midi_file(std::span<const std::byte> bytes) {
    const auto* file = reinterpret_cast<const std::uint8_t*>(bytes.data());
    const Header header = read_header(file, bytes.size());
    MidiFile midi;
    midi.format = header.format;
    midi.ticks_per_beat = header.ticks_per_beat;
    const std::vector<TrackSpan> tracks = find_tracks(file, bytes.size(), header, midi.notices);

    // An event takes two bytes at least (a delta and a data byte under
    // running status), so this is the most a track's bytes can hold.
    std::size_t most = 0;
    for (const TrackSpan& span : tracks) most += (span.end - span.begin) / 2;
    midi.events.reserve(most);
    midi.track_names.resize(tracks.size());
    std::vector<std::size_t> bounds{0};
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        TrackReader reader(file, tracks[i], static_cast<std::uint32_t>(i), midi.events);
        midi.end_tick = std::max(midi.end_tick, reader.read(midi.track_names[i]));
        bounds.push_back(midi.events.size());
    }
    merge_tracks(midi.events, std::move(bounds));
    return midi;
}

}  // namespace ostina::synth
