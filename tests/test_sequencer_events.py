import math
import random

import pytest

from conftest import bits
from ostina import EventSequence, Note, NoteEvent

EN_DASH = "\u2013"
NAN = float("nan")


def fields(event):
    return (bits(event.beat_position), bits(event.duration), event.note, event.velocity)


def sequence_of(*pairs):
    sequence = EventSequence()
    for index, (beat, duration) in enumerate(pairs):
        sequence.add_event(NoteEvent(beat, duration, index, 100))
    return sequence


def notes(events):
    return [event.note for event in events]


# ---------------------------------------------------------------------------
# NoteEvent


def test_note_event_fields_repr_and_end():
    event = NoteEvent(1.5, 0.25, 60, 100)
    assert (event.beat_position, event.duration, event.note, event.velocity) == (1.5, 0.25, 60, 100)
    assert repr(event) == "NoteEvent(beat=1.500, dur=0.250, note=60, vel=100)"
    assert NoteEvent(-1.0, -2.0, 60, 100).end_position() == -3.0
    assert repr(NoteEvent(-0.0004, 0.0625, 0, 0)) == "NoteEvent(beat=-0.000, dur=0.062, note=0, vel=0)"
    assert repr(NoteEvent(NAN, float("-inf"), 1, 2)) == "NoteEvent(beat=NaN, dur=-inf, note=1, vel=2)"


@pytest.mark.parametrize("args, kind, message", [
    ((0.0, 1.0, 128, 100), ValueError, f"Note out of range: 128 (must be 0{EN_DASH}127)"),
    ((0.0, 1.0, 60, 128), ValueError, f"Velocity out of range: 128 (must be 0{EN_DASH}127)"),
    ((0.0, 1.0, 128, 128), ValueError, f"Note out of range: 128 (must be 0{EN_DASH}127)"),
    ((0.0, 1.0, 60, 256), OverflowError, "out of range integral type conversion attempted"),
    (("0", 1.0, 300, 100), TypeError, "argument 'beat_position': must be real number, not str"),
    ((0.0, None, 60, 100), TypeError, "argument 'duration': must be real number, not NoneType"),
    ((0.0, 1.0, 60), TypeError, "NoteEvent.__new__() missing 1 required positional argument: 'velocity'"),
])
def test_note_event_construction_failures(raises_exactly, args, kind, message):
    raises_exactly(kind, message, NoteEvent, *args)


def test_note_event_setters(raises_exactly):
    event = NoteEvent(1.0, 2.0, 60, 100)
    raises_exactly(ValueError, f"Note out of range: 200 (must be 0{EN_DASH}127)", setattr, event, "note", 200)
    raises_exactly(ValueError, f"Velocity out of range: 128 (must be 0{EN_DASH}127)", setattr, event, "velocity", 128)
    raises_exactly(TypeError, "argument 'pos': must be real number, not str", setattr, event, "beat_position", "x")
    raises_exactly(TypeError, "argument 'dur': must be real number, not str", setattr, event, "duration", "x")
    assert fields(event) == fields(NoteEvent(1.0, 2.0, 60, 100))
    event.beat_position, event.duration, event.note, event.velocity = -0.0, NAN, 127, 0
    assert fields(event)[0] == bits(-0.0) and math.isnan(event.duration) and (event.note, event.velocity) == (127, 0)


def test_note_event_equality_is_ieee():
    assert NoteEvent(0.0, 1.0, 60, 100) == NoteEvent(-0.0, 1.0, 60, 100)
    nan_event = NoteEvent(NAN, 1.0, 60, 100)
    assert nan_event != nan_event
    for other in (NoteEvent(0.5, 1.0, 60, 100), NoteEvent(0.0, 2.0, 60, 100), NoteEvent(0.0, 1.0, 61, 100),
                  NoteEvent(0.0, 1.0, 60, 99)):
        assert NoteEvent(0.0, 1.0, 60, 100) != other
    with pytest.raises(TypeError):
        hash(NoteEvent(0.0, 1.0, 60, 100))


# ---------------------------------------------------------------------------
# EventSequence


def test_equal_beats_keep_the_order_they_were_added_in():
    sequence = EventSequence()
    for beat, note in [(2.0, 1), (0.0, 2), (1.0, 3), (1.0, 64)]:
        sequence.add_event(NoteEvent(beat, 1.0, note, 100))
    assert [(event.beat_position, event.note) for event in sequence.events()] == [(0.0, 2), (1.0, 3), (1.0, 64),
                                                                                   (2.0, 1)]


def test_range_queries():
    sequence = sequence_of((0.0, 1.0), (0.5, 1.0), (2.0, 1.0))
    assert notes(sequence.events_in_range(1.0, 2.0)) == [1]
    assert notes(sequence.events_starting_in_range(0.0, 2.0)) == [0, 1]
    assert notes(sequence.events_starting_in_range(2.0, 3.0)) == [2]
    assert notes(sequence.events_in_range(2.0, 1.0)) == []  # applied as given, not swapped
    assert notes(sequence.events_in_range(NAN, 5.0)) == notes(sequence.events_starting_in_range(0.0, NAN)) == []


def test_zero_length_event_starts_but_does_not_sound_at_the_start():
    sequence = sequence_of((1.0, 0.0))
    assert notes(sequence.events_starting_in_range(1.0, 2.0)) == [0]
    assert sequence.events_in_range(1.0, 2.0) == []
    assert notes(sequence.events_in_range(0.5, 2.0)) == [0]


def test_remove_event():
    sequence = sequence_of((2.0, 1.0), (0.0, 1.0), (1.0, 1.0))
    assert sequence.remove_event(5) is None and sequence.remove_event(3) is None and len(sequence) == 3
    removed = sequence.remove_event(0)
    assert fields(removed) == fields(NoteEvent(0.0, 1.0, 1, 100))
    assert len(sequence) == 2 and notes(sequence.events()) == [2, 0]
    with pytest.raises(OverflowError, match="can't convert negative int to unsigned"):
        sequence.remove_event(-1)
    assert len(sequence) == 2


@pytest.mark.parametrize("pairs, duration", [
    ((), 0.0), (((-4.0, 1.0),), 0.0), (((0.0, 4.0), (2.0, 1.0)), 4.0), (((NAN, 1.0), (1.0, 0.5)), 1.5),
    (((1.0, NAN), (0.0, 0.25)), 0.25), (((0.0, float("inf")),), float("inf")),
])
def test_duration_is_the_latest_end(pairs, duration):
    assert sequence_of(*pairs).duration() == duration


def test_sequence_repr_len_and_clear():
    sequence = EventSequence()
    assert repr(sequence) == "EventSequence(events=0, duration=0.000)" and len(sequence) == 0 and not sequence
    sequence.add_event(NoteEvent(1.5, 0.25, 60, 100))
    assert repr(sequence) == "EventSequence(events=1, duration=1.750)" and sequence
    sequence.clear()
    assert repr(sequence) == "EventSequence(events=0, duration=0.000)"


def test_sequence_holds_copies():
    event = NoteEvent(1.0, 1.0, 60, 100)
    sequence = EventSequence()
    sequence.add_event(event)
    sequence.add_event(NoteEvent(2.0, 1.0, 61, 100))
    event.beat_position = 5.0
    sequence.events()[0].beat_position = 7.0
    sequence.events_in_range(0.0, 9.0)[0].note = 1
    assert [(e.beat_position, e.note) for e in sequence.events()] == [(1.0, 60), (2.0, 61)]


def test_sequence_argument_errors(raises_exactly):
    sequence = EventSequence()
    raises_exactly(TypeError, "argument 'event': 'Note' object is not an instance of 'NoteEvent'",
                   sequence.add_event, Note(1))
    raises_exactly(TypeError, "argument 'end': must be real number, not str", sequence.events_in_range, 0.0, "x")
    raises_exactly(TypeError, "EventSequence.__new__() takes 0 positional arguments but 1 was given",
                   EventSequence, 1)
    assert len(sequence) == 0


def test_remove_event_index_converting_meets_the_held_sequence(raises_exactly):
    sequence = sequence_of((0.0, 1.0))

    class Index:
        def __index__(self):
            len(sequence)
            return 0

    raises_exactly(RuntimeError, "Already mutably borrowed", sequence.remove_event, Index())
    assert len(sequence) == 1


def upper_bound_model(beats, x):
    """The insertion search exactly as described, comparison for comparison."""
    if not beats:
        return 0
    base, size = 0, len(beats)
    while size > 1:
        half = size // 2
        mid = base + half
        if x >= beats[mid]:
            base = mid
        size -= half
    return base + 1 if x >= beats[base] else base


@pytest.mark.parametrize("seed", range(5))
def test_random_insertions_and_queries_follow_the_model(seed):
    rng = random.Random(seed)
    sequence, model = EventSequence(), []
    for index in range(300):
        beat = rng.choice([rng.uniform(-4, 16), float(rng.randrange(8)), NAN, -0.0, float("inf")])
        duration = rng.choice([rng.uniform(0, 4), 0.0, -1.0, NAN])
        record = (beat, duration, index % 128, rng.randrange(128))
        sequence.add_event(NoteEvent(*record))
        model.insert(upper_bound_model([r[0] for r in model], beat), record)
    assert [fields(event) for event in sequence.events()] == [fields(NoteEvent(*r)) for r in model]
    for _ in range(50):
        start, end = sorted(rng.uniform(-5, 17) for _ in range(2))
        sounding = [r for r in model if r[0] < end and r[0] + r[1] > start]
        starting = [r for r in model if start <= r[0] < end]
        assert [fields(e) for e in sequence.events_in_range(start, end)] == [fields(NoteEvent(*r)) for r in sounding]
        assert [fields(e) for e in sequence.events_starting_in_range(start, end)] == [
            fields(NoteEvent(*r)) for r in starting]


# ---------------------------------------------------------------------------
# Sequences long enough to be stored in several chunks

MANY = 3000
INF = float("inf")
BEATS = {
    "few equal beats": lambda rng, index: float(rng.randrange(3)),
    "ascending": lambda rng, index: index * 0.25,
    "random": lambda rng, index: rng.uniform(-50, 50),
    "NaN first and after many": lambda rng, index: NAN if index in (3, 2000) else float(rng.randrange(40)),
    "mixed specials": lambda rng, index: rng.choice([NAN, -0.0, 0.0, INF, -INF, float(rng.randrange(5))]),
}


def records(events):
    return [None if event is None else fields(event) for event in events]


@pytest.mark.parametrize("pattern", BEATS)
def test_long_sequences_follow_the_model(pattern):
    """Order, removal indices and range queries, against the insertion search's model."""
    rng, sequence, model = random.Random(pattern), EventSequence(), []
    for index in range(MANY):
        record = (BEATS[pattern](rng, index), 0.5 + index % 3, index % 128, index // 128)
        sequence.add_event(NoteEvent(*record))
        model.insert(upper_bound_model([r[0] for r in model], record[0]), record)
    # A run of removals at one index empties whole chunks; the rest land anywhere.
    indices = [MANY // 3] * 1500 + [rng.randrange(MANY - 1400) for _ in range(600)]
    removed = records(sequence.remove_event(index) for index in indices)
    expected = [model.pop(index) if index < len(model) else None for index in indices]
    spans = [sorted(rng.uniform(-60, 60) for _ in range(2)) for _ in range(20)] + [(-INF, INF)]
    found = [(records(sequence.events_in_range(start, end)), records(sequence.events_starting_in_range(start, end)))
             for start, end in spans]
    models = [(records(NoteEvent(*r) for r in model if r[0] < end and r[0] + r[1] > start),
               records(NoteEvent(*r) for r in model if start <= r[0] < end)) for start, end in spans]
    assert (removed, records(sequence.events()), found) == (
        records(None if r is None else NoteEvent(*r) for r in expected), records(NoteEvent(*r) for r in model), models)
