import math
import os
import random
import signal
import subprocess
import sys
import time

import pytest

from conftest import Callback, needs_plain_allocator
from ostina import Note, Pattern, Step, StepSequencer

EN_DASH = "\u2013"
U64_MAX = 2**64 - 1


def fields(step):
    return (step.note, step.velocity, step.duration_ticks, step.active)


def drum_pattern():
    pattern = Pattern()
    pattern.set_step(0, Step(36, 100))
    pattern.set_step(4, Step(38, 90, 2))
    return pattern


# ---------------------------------------------------------------------------
# Step


def test_step_fields_and_repr():
    step = Step(60, 100, 4)
    assert fields(step) == (60, 100, 4, True)
    assert repr(step) == "Step(note=60, velocity=100, duration_ticks=4, active=true)"
    step.active = False
    assert repr(step) == "Step(note=60, velocity=100, duration_ticks=4, active=false)"
    assert fields(Step(note=0, velocity=127)) == (0, 127, 1, True)


@pytest.mark.parametrize("args, kind, message", [
    ((128, 100), ValueError, f"Note out of range: 128 (must be 0{EN_DASH}127)"),
    ((60, 128), ValueError, f"Velocity out of range: 128 (must be 0{EN_DASH}127)"),
    ((200, 200), ValueError, f"Note out of range: 200 (must be 0{EN_DASH}127)"),
    ((256, 0), OverflowError, "out of range integral type conversion attempted"),
    ((60, 100, 2**32), OverflowError, "out of range integral type conversion attempted"),
    ((60, 100, 1.0), TypeError, "argument 'duration_ticks': 'float' object cannot be interpreted as an integer"),
    ((60,), TypeError, "Step.__new__() missing 1 required positional argument: 'velocity'"),
])
def test_step_construction_failures(raises_exactly, args, kind, message):
    raises_exactly(kind, message, Step, *args)


def test_step_setters_check_and_leave_the_step_unchanged_on_failure(raises_exactly):
    step = Step(60, 100)
    raises_exactly(ValueError, f"Note out of range: 128 (must be 0{EN_DASH}127)", setattr, step, "note", 128)
    raises_exactly(ValueError, f"Velocity out of range: 200 (must be 0{EN_DASH}127)", setattr, step, "velocity", 200)
    raises_exactly(TypeError, "argument 'ticks': 'float' object cannot be interpreted as an integer", setattr,
                   step, "duration_ticks", 1.5)
    raises_exactly(TypeError, "argument 'active': 'int' object is not an instance of 'bool'", setattr, step,
                   "active", 1)
    assert fields(step) == (60, 100, 1, True)
    step.note, step.velocity, step.duration_ticks, step.active = 127, 0, 2**32 - 1, False
    assert fields(step) == (127, 0, 2**32 - 1, False)
    with pytest.raises(AttributeError):
        del step.note


def test_step_equality_covers_every_field():
    assert Step(60, 100) == Step(60, 100) and not Step(60, 100) != Step(60, 100)
    inactive = Step(60, 100)
    inactive.active = False
    for other in (Step(61, 100), Step(60, 99), Step(60, 100, 2), inactive):
        assert Step(60, 100) != other
    with pytest.raises(TypeError):
        hash(Step(60, 100))


# ---------------------------------------------------------------------------
# Pattern


def test_new_pattern_is_filled_with_inactive_steps():
    pattern = Pattern()
    assert (pattern.length, len(pattern), pattern.loop_enabled) == (16, 16, True)
    filler = Step(60, 0)
    filler.active = False
    assert all(pattern.get_step(i) == filler for i in range(16))
    assert repr(pattern) == "Pattern(length=16, active_steps=0, loop=true)"
    assert not Pattern(0) and Pattern(1)


@pytest.mark.parametrize("length, index", [(16, 16), (0, 0), (3, 2**64 - 1)])
def test_positions_past_the_end(raises_exactly, length, index):
    pattern = Pattern(length)
    raises_exactly(IndexError, f"Step index {index} out of range ({length})", pattern.get_step, index)
    assert pattern.set_step(index, Step(1, 1)) is False and pattern.toggle_step(index) is False
    assert repr(pattern) == f"Pattern(length={length}, active_steps=0, loop=true)"


def test_pattern_stores_and_hands_out_copies():
    pattern = Pattern(4)
    step = Step(40, 50)
    assert pattern.set_step(3, step) is True
    step.note = 41
    assert pattern.get_step(3).note == 40
    pattern.get_step(3).note = 42
    assert pattern.get_step(3).note == 40


def test_toggle_and_clear_touch_only_active():
    pattern = Pattern(4)
    pattern.set_step(1, Step(40, 50, 3))
    assert pattern.toggle_step(0) is True and pattern.toggle_step(1) is True
    assert (pattern.get_step(0).active, pattern.get_step(1).active) == (True, False)
    pattern.toggle_step(1)
    pattern.loop_enabled = False
    assert repr(pattern) == "Pattern(length=4, active_steps=2, loop=false)"
    pattern.clear()
    assert fields(pattern.get_step(1)) == (40, 50, 3, False)
    assert repr(pattern) == "Pattern(length=4, active_steps=0, loop=false)"


def test_pattern_argument_errors(raises_exactly):
    pattern = Pattern()
    raises_exactly(OverflowError, "can't convert negative int to unsigned", pattern.get_step, -1)
    raises_exactly(TypeError, "argument 'step': 'Note' object is not an instance of 'Step'", pattern.set_step, 0,
                   Note(1))
    raises_exactly(TypeError, "argument 'step': 'None' is not an instance of 'Step'", pattern.set_step, 0, None)
    raises_exactly(TypeError, "argument 'enabled': 'int' object is not an instance of 'bool'", setattr, pattern,
                   "loop_enabled", 0)
    raises_exactly(TypeError, "argument 'length': 'float' object cannot be interpreted as an integer", Pattern, 1.0)


def test_pattern_length_beyond_any_allocation():
    with pytest.raises(BaseException) as info:
        Pattern(2**63)
    assert (type(info.value).__name__, str(info.value)) == ("PanicException", "capacity overflow")


@needs_plain_allocator
def test_pattern_length_beyond_the_memory_left():
    with pytest.raises(MemoryError):
        Pattern(2**59)


def test_set_step_converting_the_index_meets_the_held_pattern(raises_exactly):
    pattern = Pattern()
    raises_exactly(RuntimeError, "Already mutably borrowed", pattern.set_step,
                   Callback(lambda: pattern.get_step(0)), Step(1, 1))
    assert pattern.get_step(0).active is False


# ---------------------------------------------------------------------------
# Step sequencer


def test_new_sequencer(raises_exactly):
    sequencer = StepSequencer(Pattern())
    assert (sequencer.step_duration, sequencer.current_step) == (0.25, 0)
    assert repr(sequencer) == "StepSequencer(step_duration=0.250, current_step=0)"
    raises_exactly(ValueError, f"MidiChannel out of range: 16 (must be 0{EN_DASH}15)", StepSequencer, Pattern(), 16)
    raises_exactly(TypeError, "argument 'pattern': 'Step' object is not an instance of 'Pattern'", StepSequencer,
                   Step(1, 1))
    StepSequencer(Pattern(), channel=15)


def test_sequencer_copies_the_pattern_after_converting_the_channel():
    # The channel converts before the pattern is read, so what its conversion
    # does to the pattern is in the sequencer's copy.
    pattern = Pattern()
    sequencer = StepSequencer(pattern, Callback(lambda: pattern.set_step(0, Step(36, 100)), 3))
    assert sequencer.process_beat_range(0.0, 0.25) == [("note_on", 36, 100, 0), ("note_off", 36, 0, 250000)]


def test_process_beat_range_docstring():
    assert StepSequencer.process_beat_range.__doc__ == "Process a beat range and return MIDI events as tuples."
    assert StepSequencer.process_beat_range.__text_signature__ == "($self, start, end)"


def test_walk_in_blocks():
    sequencer = StepSequencer(drum_pattern())
    first = [("note_on", 36, 100, 0), ("note_off", 36, 0, 250000)]
    assert sequencer.process_beat_range(0.0, 1.0) == first
    assert sequencer.current_step == 3
    assert sequencer.process_beat_range(1.0, 2.0) == [("note_on", 38, 90, 1000000), ("note_off", 38, 0, 1500000)]
    assert sequencer.current_step == 7
    assert sequencer.process_beat_range(0.0, 1.0) == []
    sequencer.reset()
    assert sequencer.current_step == 0
    assert sequencer.process_beat_range(0.0, 1.0) == first


def test_steps_before_start_are_skipped_without_moving_the_cursor():
    pattern = Pattern()
    for index in range(4):
        pattern.set_step(index, Step(40 + index, 100))
    sequencer = StepSequencer(pattern)
    events = sequencer.process_beat_range(0.5, 1.0)
    assert [event[1] for event in events] == [42, 42, 43, 43]
    assert sequencer.current_step == 3
    assert sequencer.process_beat_range(1.0, 1.0) == [] and sequencer.current_step == 3


def test_index_wraps_whatever_loop_enabled_says():
    pattern = drum_pattern()
    pattern.loop_enabled = False
    sequencer = StepSequencer(pattern)
    sequencer.process_beat_range(0.0, 4.0)
    assert sequencer.process_beat_range(4.0, 4.25) == [("note_on", 36, 100, 4000000), ("note_off", 36, 0, 4250000)]
    assert sequencer.current_step == 0


def test_note_off_follows_its_own_note_on():
    pattern = Pattern(2)
    pattern.set_step(0, Step(50, 60, 2))
    pattern.set_step(1, Step(51, 61, 2))
    assert StepSequencer(pattern).process_beat_range(0.0, 0.5) == [
        ("note_on", 50, 60, 0), ("note_off", 50, 0, 500000), ("note_on", 51, 61, 250000), ("note_off", 51, 0, 750000)]


def test_sequencer_keeps_its_own_pattern_and_its_cursor_across_set_pattern():
    pattern = drum_pattern()
    sequencer = StepSequencer(pattern)
    pattern.clear()
    assert len(sequencer.process_beat_range(0.0, 0.25)) == 2
    sequencer.set_pattern(pattern)
    assert sequencer.current_step == 0
    assert sequencer.process_beat_range(0.0, 2.0) == []
    assert sequencer.current_step == 7


def test_a_new_step_duration_continues_from_the_last_step():
    pattern = Pattern(8)
    for index in range(8):
        pattern.set_step(index, Step(index, 1))
    sequencer = StepSequencer(pattern)
    sequencer.process_beat_range(0.0, 0.5)  # steps at 0.0 and 0.25
    sequencer.step_duration = 0.5
    events = sequencer.process_beat_range(0.0, 2.0)  # steps at 0.75, 1.25, 1.75
    assert [(kind, note, time) for kind, note, _, time in events if kind == "note_on"] == [
        ("note_on", 1, 750000), ("note_on", 2, 1250000), ("note_on", 3, 1750000)]
    assert repr(sequencer) == "StepSequencer(step_duration=0.500, current_step=3)"


def test_event_times_truncate_and_saturate():
    pattern = Pattern(1)
    pattern.set_step(0, Step(60, 100, 0))
    sequencer = StepSequencer(pattern)
    sequencer.step_duration = 2.0**70
    assert sequencer.process_beat_range(0.0, 2.0**71) == [
        ("note_on", 60, 100, 0), ("note_off", 60, 0, 0), ("note_on", 60, 100, U64_MAX), ("note_off", 60, 0, U64_MAX)]
    sequencer = StepSequencer(pattern)
    sequencer.step_duration = 0.1
    times = [time for _, _, _, time in sequencer.process_beat_range(0.0, 1.0)[::2]]
    beats = [0.0]
    while beats[-1] + 0.1 < 1.0:  # ten additions of 0.1 stay below 1.0: an eleventh step
        beats.append(beats[-1] + 0.1)
    assert times == [int(beat * 1000000.0) for beat in beats]
    assert times[-1] == 999999


def walk_model(pattern_steps, cursor, duration, start, end):
    """The walk performed literally as described, with its guards; returns (events, cursor)."""

    def count(value):
        return 0 if not value > 0 else U64_MAX if value >= 2.0**64 else int(value)

    if start >= end or not pattern_steps or not duration > 0 or end == math.inf or math.isnan(start):
        return [], cursor
    last = cursor[1]
    beat = 0.0 if last < 0 else last + duration
    if not end > beat or (not last < 0 and beat == last):
        return [], cursor
    events = []
    while True:
        if beat >= start:
            index = count(math.floor(beat / duration) if math.isfinite(beat / duration) else beat / duration)
            index %= len(pattern_steps)
            note, velocity, ticks, active = pattern_steps[index]
            if active:
                off = ticks * duration + beat
                events += [("note_on", note, velocity, count(beat * 1000000.0)),
                           ("note_off", note, 0, count(off * 1000000.0))]
            cursor = (index, beat)
        following = beat + duration
        if following == beat or not end > following:
            return events, cursor
        beat = following


def random_pattern(rng, length):
    pattern = Pattern(length)
    for index in range(length):
        if rng.random() < 0.6:
            pattern.set_step(index, Step(rng.randrange(128), rng.randrange(128), rng.randrange(4)))
    return pattern, [fields(pattern.get_step(index)) for index in range(length)]


@pytest.mark.parametrize("seed", range(6))
def test_walk_in_random_blocks_matches_one_walk_and_the_model(seed):
    rng = random.Random(seed)
    pattern, steps = random_pattern(rng, rng.randrange(1, 20))
    duration = rng.choice([0.25, 0.1, 1 / 3, 0.07, 1.5])
    whole = StepSequencer(pattern)
    whole.step_duration = duration
    expected, cursor = walk_model(steps, (0, -1.0), duration, 0.0, 40.0)
    assert whole.process_beat_range(0.0, 40.0) == expected
    assert whole.current_step == cursor[0]
    cuts = sorted(rng.uniform(0.0, 40.0) for _ in range(rng.randrange(1, 60)))
    blocks = StepSequencer(pattern)
    blocks.step_duration = duration
    collected = []
    for start, end in zip([0.0] + cuts, cuts + [40.0]):
        collected += blocks.process_beat_range(start, end)
    assert collected == expected
    assert blocks.current_step == whole.current_step


def test_start_of_minus_infinity_is_an_ordinary_walk():
    sequencer = StepSequencer(drum_pattern())
    assert sequencer.process_beat_range(float("-inf"), 2.0) == StepSequencer(drum_pattern()).process_beat_range(0.0, 2.0)
    assert sequencer.current_step == 7


def assert_prompt_and_unchanged(sequencer, start, end):
    before = (repr(sequencer), sequencer.current_step)
    began = time.perf_counter()
    assert sequencer.process_beat_range(start, end) == []
    assert time.perf_counter() - began < 10.0
    assert (repr(sequencer), sequencer.current_step) == before


@pytest.mark.parametrize("duration", [0.0, -0.0, -0.25, float("nan"), float("-inf")])
def test_durations_that_never_advance_return_nothing(duration):
    sequencer = StepSequencer(drum_pattern())
    sequencer.process_beat_range(0.0, 1.0)
    sequencer.step_duration = duration
    assert_prompt_and_unchanged(sequencer, 0.0, 1e9)
    assert_prompt_and_unchanged(sequencer, float("-inf"), 2.0)
    sequencer.step_duration = 0.25  # stored as given, so the walk resumes
    assert sequencer.process_beat_range(1.0, 2.0)[0] == ("note_on", 38, 90, 1000000)


@pytest.mark.parametrize("start, end", [
    (0.0, float("inf")), (float("-inf"), float("inf")), (float("nan"), 1.0e300), (0.0, float("nan")), (2.0, 1.0),
])
def test_ranges_without_a_finite_walk_return_nothing(start, end):
    assert_prompt_and_unchanged(StepSequencer(drum_pattern()), start, end)
    assert_prompt_and_unchanged(StepSequencer(Pattern(0)), 0.0, 1.0)


def test_walk_stops_where_a_step_no_longer_moves_the_beat():
    pattern = Pattern()
    pattern.set_step(4, Step(70, 80))
    sequencer = StepSequencer(pattern)
    sequencer.step_duration = 2.0**60 + 256
    sequencer.process_beat_range(0.0, 2.0**60 + 512)  # steps at 0 and 2^60 + 256
    sequencer.step_duration = 128.0
    beat = 2.0**60 + 512  # (2^60 + 256) + 128 rounds up to it, and + 128 again rounds back
    assert beat + 128.0 == beat
    began = time.perf_counter()
    events = sequencer.process_beat_range(0.0, 2.0**62)
    assert time.perf_counter() - began < 10.0
    assert events == [("note_on", 70, 80, U64_MAX), ("note_off", 70, 0, U64_MAX)]
    assert sequencer.current_step == 4
    # The last step cannot be passed, and it is not processed a second time.
    assert_prompt_and_unchanged(sequencer, 0.0, 2.0**62)


def interrupt_after(seconds):
    """Arms SIGALRM to raise KeyboardInterrupt, as Ctrl-C's handler does."""

    def handler(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, seconds)
    return previous


def test_a_long_walk_is_interruptible_and_leaves_the_sequencer_unchanged():
    pattern = Pattern()
    sequencer = StepSequencer(pattern)
    sequencer.process_beat_range(0.0, 1.0)
    before = repr(sequencer)
    previous = interrupt_after(0.2)
    began = time.perf_counter()
    try:
        with pytest.raises(KeyboardInterrupt):
            # Long enough to need the interrupt, short enough to end if it is missed.
            sequencer.process_beat_range(0.0, 1e9)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert time.perf_counter() - began < 30.0
    assert repr(sequencer) == before
    # The cursor was not written: the walk resumes after the first block.
    pattern.set_step(4, Step(38, 90))
    sequencer.set_pattern(pattern)
    assert sequencer.process_beat_range(1.0, 1.25) == [("note_on", 38, 90, 1000000), ("note_off", 38, 0, 1250000)]


def test_ctrl_c_from_another_process_ends_the_walk():
    script = ("import ostina, sys\n"
              "s = ostina.StepSequencer(ostina.Pattern())\n"
              "try:\n"
              "    print('walking', flush=True)\n"
              "    s.process_beat_range(0.0, 1e15)\n"
              "except KeyboardInterrupt:\n"
              "    print('interrupted', s.current_step, flush=True)\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "walking\n"
        time.sleep(0.2)
        os.kill(child.pid, signal.SIGINT)
        output, _ = child.communicate(timeout=60)
    finally:
        child.kill()
    assert output == "interrupted 0\n"


def test_converting_an_argument_meets_the_held_sequencer(raises_exactly):
    sequencer = StepSequencer(drum_pattern())
    raises_exactly(RuntimeError, "Already mutably borrowed", sequencer.process_beat_range,
                   Callback(lambda: sequencer.current_step), 1.0)
    raises_exactly(TypeError, "argument 'end': must be real number, not str", sequencer.process_beat_range, 0.0, "1")
    raises_exactly(TypeError, "argument 'dur': must be real number, not str", setattr, sequencer, "step_duration", "x")
    assert sequencer.process_beat_range(0.0, 0.25) == [("note_on", 36, 100, 0), ("note_off", 36, 0, 250000)]
