"""MIDI ticks to audio frames, exactly.

A tick's time in seconds is a sum over the tempo map of ticks times
microseconds per beat, divided by 10**6 * ticks_per_beat: a rational number.
Keeping the numerator as an integer ("tempo units") makes every frame
floor(t * rate + 1/2) exact, whatever the tempo changes or the rate.
"""
from __future__ import annotations

import bisect
from dataclasses import dataclass
from fractions import Fraction

DEFAULT_TEMPO = 500_000  # microseconds per beat: 120 beats per minute


@dataclass(frozen=True)
class TempoChange:
    """From `tick` on, a beat lasts `microseconds_per_beat`."""

    tick: int
    microseconds_per_beat: int

    @property
    def bpm(self) -> float:
        return 60_000_000 / self.microseconds_per_beat


class TempoMap:
    """The tempo of a whole file: changes from every track, in tick order.

    Several changes on one tick leave the last one read in force.
    """

    def __init__(self, ticks_per_beat: int, changes: tuple[TempoChange, ...] = ()) -> None:
        self.ticks_per_beat = ticks_per_beat
        last_on_tick = {change.tick: change for change in sorted(changes, key=lambda c: c.tick)}
        starts = [TempoChange(0, DEFAULT_TEMPO)] if 0 not in last_on_tick else []
        self.changes = tuple(starts + [last_on_tick[tick] for tick in sorted(last_on_tick)])
        self._ticks = [change.tick for change in self.changes]
        # Tempo units elapsed at each change, accumulated once.
        self._units = [0]
        for before, after in zip(self.changes, self.changes[1:]):
            self._units.append(self._units[-1] + (after.tick - before.tick) * before.microseconds_per_beat)

    @property
    def denominator(self) -> int:
        """Tempo units per second."""
        return 1_000_000 * self.ticks_per_beat

    def units(self, tick: int) -> int:
        """The time of `tick` in tempo units (seconds times `denominator`)."""
        index = bisect.bisect_right(self._ticks, tick) - 1
        change = self.changes[index]
        return self._units[index] + (tick - change.tick) * change.microseconds_per_beat

    def seconds(self, tick: int) -> Fraction:
        """The exact time of `tick` in seconds."""
        return Fraction(self.units(tick), self.denominator)

    def frame(self, tick: int, rate: int) -> int:
        """The frame at which an event on `tick` takes effect: floor(t * rate + 1/2)."""
        denominator = self.denominator
        return (2 * self.units(tick) * rate + denominator) // (2 * denominator)
