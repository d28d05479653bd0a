"""Reading a Standard MIDI File into notes, controllers and a tempo map, in ticks."""
from __future__ import annotations

import heapq
import io
import os
from collections import defaultdict, deque
from collections.abc import Iterator
from dataclasses import dataclass
from fractions import Fraction
from typing import Any

import mido

from .errors import RenderError
from .timing import TempoChange, TempoMap

DRUM_CHANNEL = 9  # channel 10 as musicians count


@dataclass(frozen=True, slots=True)
class Note:
    """One sounding note. Ticks are the file's; channels count from 0.

    `end_tick` is the tick of the note-off that ended it, or the end of the
    song for a note the file never ends. `program` is the channel's program
    when the note began. `start_index` and `end_index` place its note-on and
    note-off among all the file's messages, in time order and, within a tick,
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
    `index` places it among all the file's messages, as for notes."""

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
class Track:
    """A track chunk of the file: its name, the channels it plays and how many notes."""

    index: int
    name: str
    channels: tuple[int, ...]
    programs: tuple[int, ...]
    note_count: int


@dataclass(frozen=True)
class Song:
    """A whole MIDI file, read once. Events are in file order within a tick."""

    path: str
    format: int
    ticks_per_beat: int
    tracks: tuple[Track, ...]
    notes: tuple[Note, ...]
    controllers: tuple[Controller, ...]
    programs: tuple[ProgramChange, ...]
    tempo_map: TempoMap
    end_tick: int

    @property
    def duration(self) -> Fraction:
        """Seconds from the start to the last event of any track."""
        return self.tempo_map.seconds(self.end_tick)

    @property
    def channels(self) -> tuple[int, ...]:
        return tuple(sorted({note.channel for note in self.notes}))

    def seconds(self, tick: int) -> Fraction:
        return self.tempo_map.seconds(tick)


def read_song(path: str | os.PathLike[str], data: bytes | None = None) -> Song:
    """Read the MIDI file at `path`, or the file's bytes `data` read elsewhere (`path`
    then only names it); a file that cannot be read raises RenderError."""
    name = os.fspath(path)
    midi = _parse(name, read_bytes(name) if data is None else _nonempty(name, data))
    return _collect(name, midi)


def read_bytes(name: str) -> bytes:
    """A MIDI file's bytes; a file that is missing, unreadable or empty raises RenderError."""
    try:
        with open(name, "rb") as file:
            data = file.read()
    except FileNotFoundError:
        raise RenderError(f"{name}: no such file") from None
    except OSError as error:
        raise RenderError(f"{name}: cannot read ({error.strerror or error})") from None
    return _nonempty(name, data)


def _nonempty(name: str, data: bytes) -> bytes:
    if not data:
        raise RenderError(f"{name}: empty file")
    return data


def _parse(name: str, data: bytes) -> mido.MidiFile:
    if data[:4] != b"MThd":
        raise RenderError(f"{name}: not a MIDI file (no MThd header)")
    try:
        # clip: data bytes above 127 are clamped, as players do, instead of refusing the file.
        midi = mido.MidiFile(file=io.BytesIO(data), clip=True)
    except EOFError:
        raise RenderError(f"{name}: truncated MIDI file") from None
    except Exception as error:  # mido reports damage with many exception types
        raise RenderError(f"{name}: corrupt MIDI file ({_reason(error)})") from None
    if midi.type == 2:
        raise RenderError(f"{name}: type 2 MIDI files (independent sequences) are not supported")
    if midi.ticks_per_beat < 0:
        raise RenderError(f"{name}: SMPTE time division is not supported, only ticks per beat")
    if midi.ticks_per_beat == 0:
        raise RenderError(f"{name}: corrupt MIDI file (zero ticks per beat)")
    return midi


def _reason(error: BaseException) -> str:
    text = str(error).splitlines()[0] if str(error) else ""
    return text or type(error).__name__


def _timed_messages(midi: mido.MidiFile) -> Iterator[tuple[int, int, Any]]:
    """(tick, track, message) for every message, merged in time order; ties keep track order."""
    def absolute(index: int, track: mido.MidiTrack) -> Iterator[tuple[int, int, Any]]:
        tick = 0
        for message in track:
            tick += message.time
            yield tick, index, message
    return heapq.merge(*(absolute(i, track) for i, track in enumerate(midi.tracks)),
                       key=lambda item: (item[0], item[1]))


class _Collector:
    """Pairs note-ons with note-offs and follows each channel's program."""

    def __init__(self) -> None:
        self.program = [0] * 16
        # Per (channel, pitch): the notes begun and not yet ended, oldest first,
        # as (index of the note-on, track, tick, velocity, program).
        self.sounding: defaultdict[tuple[int, int], deque[tuple[int, int, int, int, int]]] = defaultdict(deque)
        self.ended: list[Note] = []
        self.controllers: list[Controller] = []
        self.programs: list[ProgramChange] = []
        self.tempos: list[TempoChange] = []
        self.track_names: dict[int, str] = {}
        self.end_tick = 0
        self.index = 0  # of the message being taken

    def take(self, tick: int, track: int, message: Any) -> None:
        self.end_tick = max(self.end_tick, tick)
        self.index += 1
        kind = message.type
        if kind == "note_on" and message.velocity > 0:
            begun = (self.index, track, tick, message.velocity, self.program[message.channel])
            self.sounding[message.channel, message.note].append(begun)
        elif kind in ("note_on", "note_off"):
            self._end_note(tick, message.channel, message.note)
        elif kind == "control_change":
            self.controllers.append(Controller(track, message.channel, tick, message.control, message.value,
                                               self.index))
        elif kind == "program_change":
            self.program[message.channel] = message.program
            self.programs.append(ProgramChange(track, message.channel, tick, message.program))
        elif kind == "set_tempo" and message.tempo > 0:
            self.tempos.append(TempoChange(tick, message.tempo))
        elif kind == "track_name":
            self.track_names.setdefault(track, message.name)

    def _end_note(self, tick: int, channel: int, pitch: int) -> None:
        # A note-off ends the oldest sounding note of its pitch; one without a note-on ends nothing.
        begun = self.sounding.get((channel, pitch))
        if begun:
            self._keep(begun.popleft(), channel, pitch, tick, self.index)

    def _keep(self, begun: tuple[int, int, int, int, int], channel: int, pitch: int, end: int,
              end_index: int) -> None:
        start_index, track, start, velocity, program = begun
        self.ended.append(Note(track, channel, pitch, velocity, start, end, program, start_index, end_index))

    def notes(self) -> tuple[Note, ...]:
        """Every note in the order of its note-on; notes never ended end with the song,
        after its last message."""
        for (channel, pitch), begun in self.sounding.items():
            for note in begun:
                self._keep(note, channel, pitch, self.end_tick, self.index + 1)
        self.sounding.clear()
        return tuple(sorted(self.ended, key=lambda note: note.start_index))


def _collect(name: str, midi: mido.MidiFile) -> Song:
    collector = _Collector()
    for tick, track, message in _timed_messages(midi):
        collector.take(tick, track, message)
    notes = collector.notes()
    by_track: defaultdict[int, list[Note]] = defaultdict(list)
    for note in notes:
        by_track[note.track].append(note)
    tracks = tuple(_track(index, collector.track_names.get(index, ""), by_track[index])
                   for index in range(len(midi.tracks)))
    return Song(path=name, format=midi.type, ticks_per_beat=midi.ticks_per_beat, tracks=tracks, notes=notes,
                controllers=tuple(collector.controllers), programs=tuple(collector.programs),
                tempo_map=TempoMap(midi.ticks_per_beat, tuple(collector.tempos)), end_tick=collector.end_tick)


def _track(index: int, name: str, notes: list[Note]) -> Track:
    return Track(index=index, name=name, channels=tuple(sorted({note.channel for note in notes})),
                 programs=tuple(sorted({note.program for note in notes})), note_count=len(notes))
