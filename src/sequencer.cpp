#include "sequencer.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <new>

#include "errors.hpp"
#include "format.hpp"
#include "numeric.hpp"

namespace ostina::sequencer {
namespace {

constexpr double kSecondsPerMinute = 60.0;
constexpr double kMicrosecondsPerBeat = 1000000.0;
// Steps walked between two polls: rare enough to cost nothing, frequent
// enough that an interrupt lands within a fraction of a second.
constexpr std::uint64_t kStepsPerPoll = std::uint64_t{1} << 22;

}  // namespace

// ---------------------------------------------------------------------------
// Transport clock

std::string_view state_text(TransportState state) {
    switch (state) {
        case TransportState::stopped: return "stopped";
        case TransportState::playing: return "playing";
        case TransportState::paused: return "paused";
    }
    throw Fault("unknown transport state");
}

void TransportClock::set_bpm(double bpm) {
    bpm_ = bpm > 1.0 ? bpm : 1.0;  // NaN fails the comparison and stores 1.0
}

void TransportClock::stop() {
    state_ = TransportState::stopped;
    position_ = 0.0;
}

void TransportClock::seek(double beat) {
    position_ = beat > 0.0 ? beat : 0.0;  // negative zero and NaN give 0.0
}

Staged<TransportClock::Span, TransportClock::Move> TransportClock::advance_by_frames(
    std::uint64_t frames, std::uint32_t sample_rate) const {
    if (state_ != TransportState::playing) return {std::nullopt, {position_}};
    const double old_position = position_;
    const double beats =
        (static_cast<double>(frames) / static_cast<double>(sample_rate) * bpm_) / kSecondsPerMinute;
    const double new_position = beats + old_position;
    return {std::pair{old_position, new_position}, {new_position}};
}

double TransportClock::beats_to_seconds(double beats) const {
    return (beats * kSecondsPerMinute) / bpm_;
}

double TransportClock::seconds_to_beats(double seconds) const {
    return (seconds * bpm_) / kSecondsPerMinute;
}

std::uint64_t TransportClock::beats_to_ticks(double beats) const {
    // std::round takes halves away from zero; the count saturates.
    return saturating_count(std::round(beats * static_cast<double>(ticks_per_beat_)));
}

double TransportClock::ticks_to_beats(std::uint64_t ticks) const {
    return static_cast<double>(ticks) / static_cast<double>(ticks_per_beat_);
}

// ---------------------------------------------------------------------------
// Steps and patterns

Step Step::make(std::uint8_t note, std::uint8_t velocity, std::uint32_t duration_ticks) {
    return Step{midi::Note::make(note), midi::Velocity::make(velocity), duration_ticks, true};
}

Step Step::empty() {
    return Step{midi::Note::make(60), midi::Velocity::make(0), 1, false};
}

namespace {

// `length` empty steps, or a capacity overflow.
std::vector<Step> empty_steps(std::uint64_t length) {
    return std::vector<Step>(checked_count<Step>(length), Step::empty());
}

}  // namespace

Pattern::Pattern(std::uint64_t length) : steps_(empty_steps(length)) {}

std::uint64_t Pattern::active_steps() const {
    std::uint64_t count = 0;
    for (const Step& step : steps_) count += step.active ? 1 : 0;
    return count;
}

bool Pattern::set_step(std::uint64_t index, Step step) {
    if (index >= steps_.size()) return false;
    steps_[index] = step;
    return true;
}

bool Pattern::toggle_step(std::uint64_t index) {
    if (index >= steps_.size()) return false;
    steps_[index].active = !steps_[index].active;
    return true;
}

Step Pattern::get_step(std::uint64_t index) const {
    if (index >= steps_.size())
        throw IndexError(concat("Step index ", index, " out of range (", length(), ")"));
    return steps_[index];
}

void Pattern::clear() {
    for (Step& step : steps_) step.active = false;
}

// ---------------------------------------------------------------------------
// Step sequencer

StepSequencer::StepSequencer(Pattern pattern, midi::MidiChannel channel)
    : pattern_(std::move(pattern)), channel_(channel) {}

bool StepSequencer::walk_has_work(double start, double end) const {
    // Zero, negative or NaN durations never advance toward `end`, and no
    // finite walk reaches +inf. A NaN start admits no step, so walking to
    // `end` would only take time.
    return step_duration_ > 0.0 && end != std::numeric_limits<double>::infinity() && !std::isnan(start);
}

void StepSequencer::process_step(double beat, std::vector<StepEvent>& events, Cursor& cursor) const {
    const std::uint64_t index = saturating_count(std::floor(beat / step_duration_)) % pattern_.length();
    const Step& step = pattern_.wrapped(index);
    if (step.active) {
        const double off_beat = static_cast<double>(step.duration_ticks) * step_duration_ + beat;
        events.push_back({EventKind::note_on, step.note.value(), step.velocity.value(),
                          saturating_count(beat * kMicrosecondsPerBeat)});
        events.push_back({EventKind::note_off, step.note.value(), 0,
                          saturating_count(off_beat * kMicrosecondsPerBeat)});
    }
    cursor = {index, beat};
}

Staged<std::vector<StepEvent>, StepSequencer::Cursor> StepSequencer::process_beat_range(
    double start, double end, Poll poll) const {
    Staged<std::vector<StepEvent>, Cursor> walk{{}, cursor_};
    if (start >= end || pattern_.length() == 0 || !walk_has_work(start, end)) return walk;
    const bool has_cursor = !(cursor_.last_step_beat < 0.0);
    const double next = has_cursor ? cursor_.last_step_beat + step_duration_ : 0.0;
    // A step that no longer moves the beat would process the last step again.
    if (!(end > next) || (has_cursor && next == cursor_.last_step_beat)) return walk;
    std::uint64_t until_poll = kStepsPerPoll;
    for (double beat = next; end > beat;) {
        if (beat >= start) process_step(beat, walk.result, walk.change);
        if (--until_poll == 0) {
            poll();
            until_poll = kStepsPerPoll;
        }
        const double following = beat + step_duration_;
        if (following == beat) break;  // the beat is too large to move by one step
        beat = following;
    }
    return walk;
}

// ---------------------------------------------------------------------------
// Note events and the event sequence

NoteEvent NoteEvent::make(double beat_position, double duration, std::uint8_t note, std::uint8_t velocity) {
    return NoteEvent{beat_position, duration, midi::Note::make(note), midi::Velocity::make(velocity)};
}

namespace {

// Events per chunk before it splits in two. Large enough that the chunk index
// stays small beside the events, small enough that moving the later events
// of one chunk costs little beside the call that inserts.
constexpr std::size_t kChunkLimit = 1024;
// A full chunk grows by a quarter, and by at least this many events: a long
// chunk's spare room stays under a quarter of its events, while growing
// copies only a few events per insertion.
constexpr std::size_t kSmallestGrowth = 8;

void make_room(std::vector<NoteEvent>& chunk) {
    if (chunk.size() < chunk.capacity()) return;
    const std::size_t grown = chunk.capacity() + std::max(chunk.capacity() / 4, kSmallestGrowth);
    chunk.reserve(std::min(grown, kChunkLimit));
}

std::vector<NoteEvent> first_chunk(NoteEvent event) {
    std::vector<NoteEvent> chunk;
    make_room(chunk);
    chunk.push_back(event);
    return chunk;
}

}  // namespace

// Reads events by stored position. Each read walks on from the chunk of the
// one before, so the positions a binary search visits, each nearer the last,
// cost about one pass over the chunks in all rather than one per read.
class EventSequence::Walker {
public:
    explicit Walker(const std::vector<Chunk>& chunks) : chunks_(chunks) {}

    // One past the last event is the end of the last chunk.
    Place place(std::size_t index) {
        while (index < start_) start_ -= chunks_[--chunk_].size();
        while (chunk_ + 1 < chunks_.size() && index - start_ >= chunks_[chunk_].size())
            start_ += chunks_[chunk_++].size();
        return {chunk_, index - start_};
    }

    double beat(std::size_t index) {
        const Place at = place(index);
        return chunks_[at.chunk][at.offset].beat_position;
    }

private:
    const std::vector<Chunk>& chunks_;
    std::size_t chunk_ = 0;
    std::size_t start_ = 0;  // stored position of the chunk's first event
};

// On ascending events without NaN the search below ends at the first event
// past `beat`: in the first chunk that ends past it, or else at the very end.
EventSequence::Place EventSequence::sorted_place(double beat) const {
    const auto ends_by_beat = [beat](const Chunk& chunk) { return chunk.back().beat_position <= beat; };
    const auto chunk = std::partition_point(chunks_.begin(), chunks_.end(), ends_by_beat);
    if (chunk == chunks_.end()) return {chunks_.size() - 1, chunks_.back().size()};
    const auto is_past = [](double x, const NoteEvent& event) { return x < event.beat_position; };
    const auto after = std::upper_bound(chunk->begin(), chunk->end(), beat, is_past);
    return {static_cast<std::size_t>(chunk - chunks_.begin()), static_cast<std::size_t>(after - chunk->begin())};
}

// The insertion search over stored positions, written comparison for
// comparison, so that NaN beats, new or stored, land where this exact search
// puts them. Needs at least one event.
EventSequence::Place EventSequence::probed_place(double beat) const {
    Walker walker(chunks_);
    std::size_t base = 0;
    std::size_t size = size_;
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (beat >= walker.beat(mid)) base = mid;
        size -= half;
    }
    return walker.place(beat >= walker.beat(base) ? base + 1 : base);
}

void EventSequence::add_event(NoteEvent event) {
    const bool stays_ascending = ascending_ && !std::isnan(event.beat_position);
    if (chunks_.empty())
        chunks_.push_back(first_chunk(event));
    else
        insert(stays_ascending ? sorted_place(event.beat_position) : probed_place(event.beat_position), event);
    ++size_;
    ascending_ = stays_ascending;
}

// A split changes no stored position, so one that stands when growing the
// chunk afterwards fails leaves the sequence as it was.
void EventSequence::insert(Place place, NoteEvent event) {
    if (chunks_[place.chunk].size() == kChunkLimit) place = split(place);
    Chunk& chunk = chunks_[place.chunk];
    make_room(chunk);
    chunk.insert(chunk.begin() + static_cast<std::ptrdiff_t>(place.offset), event);
}

// Replaces a full chunk with its two halves, copied without spare room, and
// says where `place` is now. Everything that can fail comes before the first
// change.
EventSequence::Place EventSequence::split(Place place) {
    if (chunks_.size() == chunks_.capacity()) chunks_.reserve(2 * chunks_.size());
    const Chunk& full = chunks_[place.chunk];
    const auto middle = full.begin() + static_cast<std::ptrdiff_t>(full.size() / 2);
    Chunk front(full.begin(), middle);
    Chunk back(middle, full.end());
    const std::size_t half = front.size();
    chunks_[place.chunk] = std::move(front);
    chunks_.insert(chunks_.begin() + static_cast<std::ptrdiff_t>(place.chunk + 1), std::move(back));
    if (place.offset <= half) return place;
    return {place.chunk + 1, place.offset - half};
}

void EventSequence::erase(Place place) noexcept {
    Chunk& chunk = chunks_[place.chunk];
    chunk.erase(chunk.begin() + static_cast<std::ptrdiff_t>(place.offset));
    if (chunk.empty()) chunks_.erase(chunks_.begin() + static_cast<std::ptrdiff_t>(place.chunk));
    if (--size_ == 0) ascending_ = true;
}

void EventSequence::erase_at(std::size_t index) noexcept {
    if (index < size_) erase(Walker(chunks_).place(index));
}

Staged<std::optional<NoteEvent>, EraseAt<EventSequence>> EventSequence::remove_event(std::uint64_t index) const {
    if (index >= size_) return {std::nullopt, {size_}};
    const Place at = Walker(chunks_).place(static_cast<std::size_t>(index));
    return {chunks_[at.chunk][at.offset], {static_cast<std::size_t>(index)}};
}

void EventSequence::clear() {
    chunks_.clear();
    size_ = 0;
    ascending_ = true;
}

namespace {

template <class Keep>
std::vector<NoteEvent> copies_where(const std::vector<std::vector<NoteEvent>>& chunks, Keep keep) {
    std::vector<NoteEvent> kept;
    for (const std::vector<NoteEvent>& chunk : chunks)
        for (const NoteEvent& event : chunk)
            if (keep(event)) kept.push_back(event);
    return kept;
}

}  // namespace

std::vector<NoteEvent> EventSequence::events_in_range(double start, double end) const {
    return copies_where(chunks_, [&](const NoteEvent& event) {
        return event.beat_position < end && event.beat_position + event.duration > start;
    });
}

std::vector<NoteEvent> EventSequence::events_starting_in_range(double start, double end) const {
    return copies_where(chunks_, [&](const NoteEvent& event) {
        return start <= event.beat_position && event.beat_position < end;
    });
}

double EventSequence::duration() const {
    double latest = 0.0;
    for (const Chunk& chunk : chunks_)
        for (const NoteEvent& event : chunk) {
            const double end = event.end_position();
            if (end > latest) latest = end;  // a NaN end fails the comparison
        }
    return latest;
}

}  // namespace ostina::sequencer
