"""Reading a Standard MIDI File into notes, controllers and a tempo map, in ticks.

The native reader does the reading; this module turns what it found into
plain values for scripts. Rendering works from the file's bytes and never
needs them.
"""
from __future__ import annotations

from dataclasses import dataclass, field
from fractions import Fraction

from . import _synth
from .reading import parse
from .sources import midi_bytes
from .timing import TempoChange, TempoMap

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from matplotlib.figure import Figure

    from .sources import Source

DRUM_CHANNEL = 9  # channel 10 as musicians count


@dataclass(frozen=True, slots=True)
class Note:
    """One sounding note. Ticks are the file's; channels count from 0.

    `end_tick` is the tick of the note-off that ended it, or the end of the
    song for a note the file never ends. `program` is the channel's program
    when the note began. `start_index` and `end_index` place its note-on and
    note-off among all the file's events, in time order and, within a tick,
    in file order.
    """

    track: int
    channel: int
    pitch: int
    velocity: int
    start_tick: int
    end_tick: int
    program: int
    start_index: int
    end_index: int

    def start_beat(self, ticks_per_beat: int) -> Fraction:
        return Fraction(self.start_tick, ticks_per_beat)

    def end_beat(self, ticks_per_beat: int) -> Fraction:
        return Fraction(self.end_tick, ticks_per_beat)


@dataclass(frozen=True, slots=True)
class Controller:
    """A control change: `controller` (0-127) set to `value` (0-127) on `tick`.
    `index` places it among all the file's events, as for notes."""

    track: int
    channel: int
    tick: int
    controller: int
    value: int
    index: int


@dataclass(frozen=True, slots=True)
class ProgramChange:
    track: int
    channel: int
    tick: int
    program: int


@dataclass(frozen=True, slots=True)
class PitchBend:
    """The pitch wheel moved to `value` (0-16383, 8192 the centre) on `tick`."""

    track: int
    channel: int
    tick: int
    value: int


@dataclass(frozen=True, slots=True)
class Track:
    """A track chunk of the file: its name, the channels it plays and how many notes."""

    index: int
    name: str
    channels: tuple[int, ...]
    programs: tuple[int, ...]
    note_count: int


@dataclass(frozen=True)
class Song:
    """A whole MIDI file, read once. Events are in file order within a tick.

    `notices` are one-line remarks on a file that still reads (a header that
    miscounts its tracks); `data` is the file's bytes, which rendering reads.
    """

    path: str
    format: int
    ticks_per_beat: int
    tracks: tuple[Track, ...]
    notes: tuple[Note, ...]
    controllers: tuple[Controller, ...]
    programs: tuple[ProgramChange, ...]
    pitch_bends: tuple[PitchBend, ...]
    tempo_map: TempoMap
    end_tick: int
    notices: tuple[str, ...] = ()
    data: bytes = field(default=b"", repr=False, compare=False)

    @property
    def duration(self) -> Fraction:
        """Seconds from the start to the last event of any track."""
        return self.tempo_map.seconds(self.end_tick)

    @property
    def channels(self) -> tuple[int, ...]:
        return tuple(sorted({note.channel for note in self.notes}))

    def seconds(self, tick: int) -> Fraction:
        return self.tempo_map.seconds(tick)

    def piano_roll(self) -> Figure:
        """A matplotlib figure of the notes over seconds, a colour for each track (the notebook extra)."""
        from .notebook import piano_roll

        return piano_roll(self)


def read_song(source: Source, data: bytes | None = None) -> Song:
    """Read a MIDI file: a path, bytes, a binary file or a MIDI library's object (see
    `sources`), or the bytes `data` read elsewhere, which `source` then names. A file
    that cannot be read raises RenderError."""
    name, midi_data = midi_bytes(source, data=data)
    return _song(name, parse(name, midi_data), midi_data)


def _song(name: str, midi: _synth.MidiFile, data: bytes) -> Song:
    notes = tuple(Note(*row) for row in midi.notes())
    by_track: dict[int, list[Note]] = {}
    for note in notes:
        by_track.setdefault(note.track, []).append(note)
    names = midi.track_names
    tracks = tuple(_track(index, names[index], by_track.get(index, [])) for index in range(len(names)))
    controllers = tuple(Controller(track, channel, tick, number, value, index)
                        for track, channel, tick, number, value, index in midi.controllers())
    programs = tuple(ProgramChange(track, channel, tick, program)
                     for track, channel, tick, program, _, _ in midi.programs())
    bends = tuple(PitchBend(track, channel, tick, value) for track, channel, tick, value, _, _ in midi.pitch_bends())
    tempo = TempoMap(midi.ticks_per_beat, tuple(TempoChange(tick, micros) for tick, micros in midi.tempo_changes()))
    return Song(path=name, format=midi.format, ticks_per_beat=midi.ticks_per_beat, tracks=tracks, notes=notes,
                controllers=controllers, programs=programs, pitch_bends=bends, tempo_map=tempo,
                end_tick=midi.end_tick, notices=tuple(f"{name}: {notice}" for notice in midi.notices), data=data)


def _track(index: int, name: str, notes: list[Note]) -> Track:
    return Track(index=index, name=name, channels=tuple(sorted({note.channel for note in notes})),
                 programs=tuple(sorted({note.program for note in notes})), note_count=len(notes))
