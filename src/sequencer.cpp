#include "sequencer.hpp"

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

std::size_t EventSequence::upper_bound(double beat) const {
    // Written comparison for comparison so that NaN beats, new or stored,
    // land where this exact search puts them.
    if (events_.empty()) return 0;
    std::size_t base = 0;
    std::size_t size = events_.size();
    while (size > 1) {
        const std::size_t half = size / 2;
        const std::size_t mid = base + half;
        if (beat >= events_[mid].beat_position) base = mid;
        size -= half;
    }
    return beat >= events_[base].beat_position ? base + 1 : base;
}

void EventSequence::add_event(NoteEvent event) {
    events_.insert(events_.begin() + static_cast<std::ptrdiff_t>(upper_bound(event.beat_position)), event);
}

void EventSequence::erase_at(std::size_t index) noexcept {
    if (index < events_.size()) events_.erase(events_.begin() + static_cast<std::ptrdiff_t>(index));
}

Staged<std::optional<NoteEvent>, EraseAt<EventSequence>> EventSequence::remove_event(std::uint64_t index) const {
    if (index >= events_.size()) return {std::nullopt, {events_.size()}};
    return {events_[index], {static_cast<std::size_t>(index)}};
}

namespace {

template <class Keep>
std::vector<NoteEvent> copies_where(const std::vector<NoteEvent>& events, Keep keep) {
    std::vector<NoteEvent> kept;
    for (const NoteEvent& event : events)
        if (keep(event)) kept.push_back(event);
    return kept;
}

}  // namespace

std::vector<NoteEvent> EventSequence::events_in_range(double start, double end) const {
    return copies_where(events_, [&](const NoteEvent& event) {
        return event.beat_position < end && event.beat_position + event.duration > start;
    });
}

std::vector<NoteEvent> EventSequence::events_starting_in_range(double start, double end) const {
    return copies_where(events_, [&](const NoteEvent& event) {
        return start <= event.beat_position && event.beat_position < end;
    });
}

double EventSequence::duration() const {
    double latest = 0.0;
    for (const NoteEvent& event : events_) {
        const double end = event.end_position();
        if (end > latest) latest = end;  // a NaN end fails the comparison
    }
    return latest;
}

}  // namespace ostina::sequencer
