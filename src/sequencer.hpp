// Sequencing: a transport clock, a step sequencer over a pattern of steps,
// and a sorted sequence of note events on the beat axis.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ranges>
#include <string_view>
#include <utility>
#include <vector>

#include "midi.hpp"
#include "staged.hpp"

namespace ostina::sequencer {

// ---------------------------------------------------------------------------
// Transport clock

enum class TransportState : std::uint8_t { stopped, playing, paused };

std::string_view state_text(TransportState state);

class TransportClock {
public:
    // The tempo is stored as given here; only the setter clamps it.
    explicit TransportClock(double bpm) : bpm_(bpm) {}

    double bpm() const { return bpm_; }
    void set_bpm(double bpm);
    double position() const { return position_; }
    std::uint32_t ticks_per_beat() const { return ticks_per_beat_; }
    void set_ticks_per_beat(std::uint32_t ticks) { ticks_per_beat_ = ticks; }
    std::string_view state() const { return state_text(state_); }

    void play() { state_ = TransportState::playing; }
    void pause() { state_ = TransportState::paused; }
    void stop();
    void seek(double beat);

    struct Move {
        double position;
        void apply(TransportClock& clock) const noexcept { clock.position_ = position; }
    };
    using Span = std::optional<std::pair<double, double>>;
    // The beat span (old, new) the frames cover while playing; nothing otherwise.
    Staged<Span, Move> advance_by_frames(std::uint64_t frames, std::uint32_t sample_rate) const;

    double beats_to_seconds(double beats) const;
    double seconds_to_beats(double seconds) const;
    std::uint64_t beats_to_ticks(double beats) const;
    double ticks_to_beats(std::uint64_t ticks) const;

private:
    double bpm_;
    double position_ = 0.0;
    std::uint32_t ticks_per_beat_ = 480;
    TransportState state_ = TransportState::stopped;
};

// ---------------------------------------------------------------------------
// Steps, patterns and the step sequencer

struct Step {
    midi::Note note;
    midi::Velocity velocity;
    std::uint32_t duration_ticks = 1;  // note length, counted in steps
    bool active = true;

    // Checks the note, then the velocity.
    static Step make(std::uint8_t note, std::uint8_t velocity, std::uint32_t duration_ticks);
    // What fills a new pattern: silent and inactive.
    static Step empty();

    bool operator==(const Step&) const = default;
};

class Pattern {
public:
    explicit Pattern(std::uint64_t length);

    std::uint64_t length() const { return steps_.size(); }
    bool loop_enabled() const { return loop_enabled_; }
    void set_loop_enabled(bool enabled) { loop_enabled_ = enabled; }
    std::uint64_t active_steps() const;

    // False, and nothing changes, when `index` is past the end.
    bool set_step(std::uint64_t index, Step step);
    bool toggle_step(std::uint64_t index);
    // Throws IndexError "Step index <i> out of range (<length>)".
    Step get_step(std::uint64_t index) const;
    // The step an index lands on, wrapping around the pattern (which has steps).
    const Step& wrapped(std::uint64_t index) const { return steps_[index % steps_.size()]; }
    void clear();

private:
    std::vector<Step> steps_;
    bool loop_enabled_ = true;
};

enum class EventKind : std::uint8_t { note_on, note_off };

struct StepEvent {
    EventKind kind;
    std::uint8_t note;
    std::uint8_t velocity;
    std::uint64_t time_us;  // beat × 10^6, truncated and saturated
};

// Called every few million steps of a walk; throwing from it abandons the
// walk with the sequencer unchanged. Lets a caller stay interruptible.
using Poll = void (*)();

class StepSequencer {
public:
    StepSequencer(Pattern pattern, midi::MidiChannel channel);

    double step_duration() const { return step_duration_; }
    void set_step_duration(double duration) { step_duration_ = duration; }
    std::uint64_t current_step() const { return cursor_.current_step; }
    void set_pattern(Pattern pattern) { pattern_ = std::move(pattern); }
    void reset() { cursor_ = Cursor{}; }

    // Where the last processed step was; a negative beat means none yet.
    struct Cursor {
        std::uint64_t current_step = 0;
        double last_step_beat = -1.0;
        void apply(StepSequencer& sequencer) const noexcept { sequencer.cursor_ = *this; }
    };
    // The note-on/note-off pairs of the steps in [start, end) from the cursor on.
    Staged<std::vector<StepEvent>, Cursor> process_beat_range(double start, double end, Poll poll) const;

private:
    // Whether a walk from the cursor can process anything before `end`.
    bool walk_has_work(double start, double end) const;
    void process_step(double beat, std::vector<StepEvent>& events, Cursor& cursor) const;

    Pattern pattern_;
    Cursor cursor_;
    double step_duration_ = 0.25;
    midi::MidiChannel channel_;
};

// ---------------------------------------------------------------------------
// Note events and the event sequence

struct NoteEvent {
    double beat_position;
    double duration;
    midi::Note note;
    midi::Velocity velocity;

    // Checks the note, then the velocity; the floats are stored as given.
    static NoteEvent make(double beat_position, double duration, std::uint8_t note, std::uint8_t velocity);
    double end_position() const { return beat_position + duration; }

    bool operator==(const NoteEvent&) const = default;  // IEEE: NaN is unequal to itself
};

// The events of a sequence in stored order, read where they are stored; valid
// while the sequence is unchanged.
class EventView : public std::ranges::view_interface<EventView> {
public:
    using Chunks = std::vector<std::vector<NoteEvent>>;
    EventView(const Chunks& chunks, std::size_t size) : events_(std::views::join(chunks)), size_(size) {}

    auto begin() const { return events_.begin(); }
    auto end() const { return events_.end(); }
    std::size_t size() const { return size_; }

private:
    std::ranges::join_view<std::ranges::ref_view<const Chunks>> events_;
    std::size_t size_;
};

// Events kept in chunks of consecutive stored positions, so that an insertion
// moves at most one chunk's events instead of every later one.
class EventSequence {
public:
    std::uint64_t size() const { return size_; }
    EventView events() const { return EventView(chunks_, size_); }

    // After every event whose beat is less than or equal to the new one's.
    void add_event(NoteEvent event);

    Staged<std::optional<NoteEvent>, EraseAt<EventSequence>> remove_event(std::uint64_t index) const;

    // Events sounding strictly inside (start, end).
    std::vector<NoteEvent> events_in_range(double start, double end) const;
    // Events starting in [start, end).
    std::vector<NoteEvent> events_starting_in_range(double start, double end) const;
    // The latest end position, at least 0.0; NaN ends are ignored.
    double duration() const;
    void clear();

private:
    friend EraseAt<EventSequence>;
    void erase_at(std::size_t index) noexcept;

    using Chunk = std::vector<NoteEvent>;
    struct Place {
        std::size_t chunk;
        std::size_t offset;
    };
    class Walker;

    Place sorted_place(double beat) const;
    Place probed_place(double beat) const;
    void insert(Place place, NoteEvent event);
    Place split(Place place);
    void erase(Place place) noexcept;

    std::vector<Chunk> chunks_;  // none empty
    std::size_t size_ = 0;
    // No NaN beat stored since the sequence was last empty: the stored order
    // is then ascending, and chunk ends can steer the search.
    bool ascending_ = true;
};

}  // namespace ostina::sequencer
