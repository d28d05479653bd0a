#include "synth/song.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace ostina::synth {
namespace {

constexpr std::uint32_t kBlockFrames = 4096;  // the synthesizer's buffers stay in cache
constexpr double kQuietSeconds = 0.1;         // of output below a 16-bit step that end a ringing tail

bool is_note(const MidiEvent& event) { return event.kind == MidiKind::note_on || event.kind == MidiKind::note_off; }

bool contains(const std::vector<std::uint32_t>& sorted, std::uint32_t value) {
    return std::binary_search(sorted.begin(), sorted.end(), value);
}

}  // namespace

bool Selection::plays(std::uint32_t track, std::uint8_t channel) const {
    if (some_tracks && !contains(tracks, track)) return false;
    return !contains(muted_tracks, track) && (channels >> (channel & 0x0F) & 1) != 0;
}

SongRenderer::SongRenderer(const MidiFile& file, std::shared_ptr<Library> library, const Selection& selection,
                           SongSettings settings)
    : synthesizer_(std::move(library), settings.synthesizer), settings_(settings) {
    TempoMap tempo(file.ticks_per_beat, file.events);
    std::uint32_t rate = settings.synthesizer.rate;
    events_.reserve(file.events.size());
    for (const MidiEvent& event : file.events) {
        if (event.kind == MidiKind::tempo) continue;
        // A muted note's note-off goes too: it could end another track's note of its key.
        if (is_note(event) && !selection.plays(event.track, event.channel)) continue;
        if (event.kind == MidiKind::note_on) ++notes_;
        events_.push_back({tempo.frame(event.tick, rate), event});
    }
    end_ = tempo.frame(file.end_tick, rate);
    double tail = std::ceil(settings.tail_seconds * rate);
    tail_end_ = end_ + static_cast<std::uint64_t>(std::max(tail, 0.0));
    quiet_frames_ = static_cast<std::uint64_t>(std::ceil(kQuietSeconds * rate));
    left_.resize(kBlockFrames);
    right_.resize(kBlockFrames);
}

void SongRenderer::prepare() {
    std::vector<Channel> channels;
    for (std::uint8_t number = 0; number < 16; ++number) channels.emplace_back(number == kDrumChannel);
    std::set<std::pair<std::uint16_t, std::uint8_t>> presets;
    for (const Timed& timed : events_) {
        const MidiEvent& event = timed.event;
        Channel& channel = channels[event.channel & 0x0F];
        if (event.kind == MidiKind::control_change) channel.control_change(event.data1, event.data2);
        else if (event.kind == MidiKind::program_change) channel.program_change(event.data1);
        else if (event.kind == MidiKind::note_on) presets.insert({channel.bank(), channel.program()});
    }
    fallbacks_.clear();
    for (const auto& [bank, program] : presets) {
        PresetChoice chosen = synthesizer_.choose(bank, program);
        if (!chosen.found || chosen.bank != bank || chosen.program != program) fallbacks_.push_back({bank, program, chosen});
    }
}

// Frames up to the next thing that happens: an event, the song's end, the
// tail's end, or the end of a block. Blocks are counted from the song's
// start, so what the synthesizer is asked for never depends on how much
// the caller asks for at a time.
std::uint32_t SongRenderer::next_span() const {
    std::uint64_t span = kBlockFrames - position_ % kBlockFrames;
    if (next_ < events_.size()) span = std::min(span, events_[next_].frame - position_);
    span = std::min(span, (ended_ ? tail_end_ : end_) - position_);
    return static_cast<std::uint32_t>(span);
}

// The frames of a span played after the last voice ended that the song
// keeps. Without effects ringing the song ends with the last frame heard;
// with them, once no frame has been heard for the quiet time.
std::uint32_t SongRenderer::tail_span(std::uint32_t heard, std::uint32_t span) {
    ringing_ = ringing_ || synthesizer_.ringing();
    std::uint64_t end = ringing_ ? heard_until_ + quiet_frames_ : position_ + heard;
    if (end >= position_ + span) return span;
    finished_ = true;
    return static_cast<std::uint32_t>(end > position_ ? end - position_ : 0);
}

// Plays on to the next span and keeps its frames for the caller.
void SongRenderer::produce() {
    taken_ = ready_ = 0;
    while (ready_ == 0 && !finished_) {
        while (next_ < events_.size() && events_[next_].frame <= position_) synthesizer_.apply(events_[next_++].event);
        if (!ended_ && position_ >= end_) {  // the last frame's events come first
            synthesizer_.release_all();
            ended_ = true;
        }
        std::uint32_t span = next_span();
        if (ended_ && span == 0) {  // the tail's time is up
            finished_ = true;
            break;
        }
        std::uint32_t heard = synthesizer_.render(left_.data(), right_.data(), span);
        if (heard > 0) heard_until_ = position_ + heard;
        if (ended_ && synthesizer_.active_voices() == 0) span = tail_span(heard, span);
        position_ += span;
        ready_ = span;
    }
}

std::size_t SongRenderer::render(std::span<float> out) {
    std::size_t room = out.size() / 2, written = 0;
    while (written < room) {
        if (taken_ == ready_) {
            if (finished_) break;
            produce();
            continue;
        }
        std::size_t count = std::min<std::size_t>(room - written, ready_ - taken_);
        float* at = out.data() + 2 * written;
        for (std::size_t i = 0; i < count; ++i) {
            at[2 * i] = left_[taken_ + i];
            at[2 * i + 1] = right_[taken_ + i];
        }
        taken_ += static_cast<std::uint32_t>(count);
        written += count;
        handed_ += count;
    }
    return written;
}

}  // namespace ostina::synth
