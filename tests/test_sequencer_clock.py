import math
import random

import pytest

from ostina import TransportClock

from conftest import Callback, bits

U64_MAX = 2**64 - 1


def test_new_clock():
    clock = TransportClock()
    assert (clock.bpm, clock.position, clock.ticks_per_beat, clock.state) == (120.0, 0.0, 480, "stopped")
    assert repr(clock) == "TransportClock(bpm=120.0, position=0.000, state='stopped')"
    assert str(clock) == repr(clock)


def test_repr_prints_one_and_three_decimals():
    clock = TransportClock(100.04)
    clock.play()
    clock.seek(1.23456)
    assert repr(clock) == "TransportClock(bpm=100.0, position=1.235, state='playing')"
    clock.pause()
    assert repr(clock) == "TransportClock(bpm=100.0, position=1.235, state='paused')"
    clock.bpm = 100.25  # ties go to the even digit
    clock.seek(0.0625)
    assert repr(clock) == "TransportClock(bpm=100.2, position=0.062, state='paused')"


STATES = {"stopped": lambda clock: clock.stop(), "playing": lambda clock: clock.play(),
          "paused": lambda clock: clock.pause()}


@pytest.mark.parametrize("start", STATES)
@pytest.mark.parametrize("operation, after, keeps_position", [
    ("play", "playing", True), ("pause", "paused", True), ("stop", "stopped", False),
])
def test_state_transitions_are_unconditional(start, operation, after, keeps_position):
    clock = TransportClock()
    STATES[start](clock)
    clock.seek(3.5)
    getattr(clock, operation)()
    assert clock.state == after
    assert clock.position == (3.5 if keeps_position else 0.0)


@pytest.mark.parametrize("start", STATES)
def test_seek_keeps_the_state(start):
    clock = TransportClock()
    STATES[start](clock)
    clock.seek(7.5)
    assert (clock.state, clock.position) == (start, 7.5)


@pytest.mark.parametrize("beat", [-3.0, -0.0, float("nan"), float("-inf"), -5e-324])
def test_seek_to_nothing_positive_rewinds_to_zero(beat):
    clock = TransportClock()
    clock.seek(2.0)
    clock.seek(beat)
    assert bits(clock.position) == bits(0.0)


def test_advance_only_while_playing():
    clock = TransportClock()
    clock.seek(1.0)
    assert clock.advance_by_frames(44100, 44100) is None
    clock.pause()
    assert clock.advance_by_frames(44100, 44100) is None
    assert clock.position == 1.0
    clock.stop()
    clock.play()
    assert clock.advance_by_frames(44100, 44100) == (0.0, 2.0)
    assert clock.advance_by_frames(44100, 44100) == (2.0, 4.0)
    clock.pause()
    assert clock.advance_by_frames(44100, 44100) is None
    clock.play()
    assert clock.advance_by_frames(22050, 44100) == (4.0, 5.0)


def test_advance_follows_the_stated_order():
    rng = random.Random(8)
    clock = TransportClock(97.3)
    clock.play()
    for _ in range(200):
        frames, rate = rng.randrange(2**40), rng.randrange(1, 2**32)
        old = clock.position
        new = ((float(frames) / float(rate)) * 97.3) / 60.0 + old
        assert clock.advance_by_frames(frames, rate) == (old, new)
        assert clock.position == new


@pytest.mark.parametrize("frames, position", [(1, math.inf), (0, math.nan)])
def test_advance_at_rate_zero_follows_ieee(frames, position):
    clock = TransportClock()
    clock.play()
    old, new = clock.advance_by_frames(frames, 0)
    assert old == 0.0
    assert math.isnan(new) and math.isnan(clock.position) if math.isnan(position) else new == clock.position == position


@pytest.mark.parametrize("start", STATES)
def test_advance_converts_arguments_in_every_state(raises_exactly, start):
    clock = TransportClock()
    STATES[start](clock)
    raises_exactly(TypeError, "argument 'frames': 'float' object cannot be interpreted as an integer",
                   clock.advance_by_frames, 1.0, 44100)
    raises_exactly(OverflowError, "can't convert negative int to unsigned", clock.advance_by_frames, -1, 44100)
    raises_exactly(OverflowError, "out of range integral type conversion attempted",
                   clock.advance_by_frames, 1, 2**32)
    raises_exactly(TypeError, "argument 'sample_rate': 'str' object cannot be interpreted as an integer",
                   clock.advance_by_frames, frames=1, sample_rate="x")


def test_bpm_setter_clamps_but_the_constructor_does_not():
    assert TransportClock(0.5).bpm == 0.5 and TransportClock(0).bpm == 0.0
    clock = TransportClock()
    for given, stored in [(0, 1.0), (-40, 1.0), (0.5, 1.0), (float("nan"), 1.0), (90, 90.0), (1.0, 1.0)]:
        clock.bpm = given
        assert clock.bpm == stored


def test_ticks_per_beat_is_stored_as_given(raises_exactly):
    clock = TransportClock()
    clock.ticks_per_beat = 0
    assert clock.ticks_per_beat == 0
    assert clock.beats_to_ticks(12345.6) == 0 and clock.ticks_to_beats(5) == math.inf
    assert math.isnan(clock.ticks_to_beats(0))
    raises_exactly(OverflowError, "out of range integral type conversion attempted", setattr, clock,
                   "ticks_per_beat", 2**32)
    raises_exactly(TypeError, "argument 'tpb': 'float' object cannot be interpreted as an integer", setattr,
                   clock, "ticks_per_beat", 4.0)
    raises_exactly(TypeError, "argument 'bpm': must be real number, not str", setattr, clock, "bpm", "x")
    assert clock.ticks_per_beat == 0


def test_conversions_between_beats_and_seconds():
    clock = TransportClock()
    assert clock.beats_to_seconds(1.0) == 0.5 and clock.seconds_to_beats(0.5) == 1.0
    clock.bpm = 93.7
    for value in (0.1, 1.3, 7.77, 1e9):
        assert clock.beats_to_seconds(value) == (value * 60.0) / 93.7
        assert clock.seconds_to_beats(value) == (value * 93.7) / 60.0
    zero = TransportClock(0)
    assert zero.beats_to_seconds(1.0) == math.inf and math.isnan(zero.beats_to_seconds(0.0))


@pytest.mark.parametrize("tpb, beats, ticks", [
    (480, 0.5, 240), (480, -1.0, 0), (480, float("nan"), 0), (480, 1e30, U64_MAX), (480, float("inf"), U64_MAX),
    (480, float("-inf"), 0), (4, 0.625, 3), (4, 0.375, 2), (4, -0.625, 0), (4, -0.1, 0), (1, 0.49999999999999994, 0),
    (1, 2.0**64, U64_MAX), (1, 2.0**64 - 2048, 2**64 - 2048), (1, 2.0**53 + 2, 2**53 + 2),
])
def test_beats_to_ticks_rounds_halves_away_and_saturates(tpb, beats, ticks):
    clock = TransportClock()
    clock.ticks_per_beat = tpb
    assert clock.beats_to_ticks(beats) == ticks


@pytest.mark.parametrize("ticks", [0, 960, 1, 2**53 + 1, U64_MAX])
def test_ticks_to_beats_divides_floats(ticks):
    assert TransportClock().ticks_to_beats(ticks) == float(ticks) / 480.0


def test_conversion_errors_name_their_arguments(raises_exactly):
    clock = TransportClock()
    for method, name in [("seek", "beat"), ("beats_to_seconds", "beats"), ("seconds_to_beats", "seconds"),
                         ("beats_to_ticks", "beats")]:
        raises_exactly(TypeError, f"argument '{name}': must be real number, not NoneType", getattr(clock, method),
                       None)
    raises_exactly(TypeError, "argument 'ticks': 'float' object cannot be interpreted as an integer",
                   clock.ticks_to_beats, 1.0)
    raises_exactly(TypeError, "argument 'bpm': must be real number, not str", TransportClock, "x")
    raises_exactly(TypeError, "TransportClock.play() takes no arguments (1 given)", clock.play, 1)


def test_conversion_calling_back_meets_the_held_clock(raises_exactly):
    clock = TransportClock()
    clock.seek(2.0)
    raises_exactly(RuntimeError, "Already mutably borrowed", clock.seek, Callback(lambda: clock.position, 5.0))
    raises_exactly(RuntimeError, "Already borrowed", clock.advance_by_frames, Callback(clock.play, 1), 44100)
    assert (clock.position, clock.state) == (2.0, "stopped")
    # A reading method holds the clock shared, so reading it again is fine.
    assert clock.beats_to_seconds(Callback(lambda: clock.position, 1.0)) == 0.5


def test_clocks_compare_by_identity():
    clock = TransportClock()
    assert clock != TransportClock() and clock == clock
    assert isinstance(hash(clock), int)
