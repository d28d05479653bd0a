"""The library API: render a song to a file or to an array."""
from __future__ import annotations

import math
import os
import tempfile
import time
from collections.abc import Callable, Iterator, Mapping
from dataclasses import dataclass, field
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from . import instruments, output
from .engine import TAIL_SECONDS, Plan, Renderer, Selection, plan
from .errors import RenderError
from .instruments import Sound, UserSample
from .song import DRUM_CHANNEL, Song, read_song

Progress = Callable[[int], None]  # called with the frames just rendered

NORMALIZED_PEAK = 10 ** (-1 / 20)  # -1 dBFS
SPOOL_FRAMES = 1 << 16


@dataclass(frozen=True)
class RenderOptions:
    """How to render. Tracks count from 0 in file order, channels from 0 (9 is the drums).

    `program_samples` maps a program (0-127) and `drum_samples` a drum note to
    a sample file that replaces the built-in sound.
    """

    rate: int = 44100
    format: str = "wav"  # "wav" or "flac"
    bits: int = 16  # 16 or 24
    normalize: bool = False  # scale the whole result to a peak of -1 dBFS
    tracks: frozenset[int] | None = None  # only these tracks; None: all
    mute_tracks: frozenset[int] = frozenset()
    channels: frozenset[int] | None = None  # only these channels; None: all
    mute_channels: frozenset[int] = frozenset()
    program_samples: Mapping[int, UserSample] = field(default_factory=dict)
    drum_samples: Mapping[int, UserSample] = field(default_factory=dict)
    max_seconds: float = 6 * 3600  # longer songs are refused

    def check(self) -> None:
        if not 8000 <= self.rate <= 192000:
            raise RenderError(f"rate {self.rate} is outside 8000-192000")
        if self.format not in output.FORMATS:
            raise RenderError(f"unknown format {self.format!r}: choose wav or flac")
        if self.bits not in output.SUBTYPES:
            raise RenderError(f"{self.bits} bits are not offered: choose 16 or 24")
        for program in self.program_samples:
            if not 0 <= program <= 127:
                raise RenderError(f"program {program} is outside 0-127")
        for note in self.drum_samples:
            if not 0 <= note <= 127:
                raise RenderError(f"drum note {note} is outside 0-127")

    @property
    def selection(self) -> Selection:
        return Selection(self.tracks, self.mute_tracks, self.channels, self.mute_channels)


@dataclass(frozen=True)
class RenderReport:
    """What a render made. `frames` at `rate`; `peak` is linear (1.0 is full scale)."""

    source: str
    target: str
    frames: int
    rate: int
    notes: int
    wall_seconds: float
    peak: float
    clipped: int

    @property
    def seconds(self) -> float:
        return self.frames / self.rate

    @property
    def realtime_factor(self) -> float:
        return self.seconds / self.wall_seconds if self.wall_seconds > 0 else float("inf")

    @property
    def peak_dbfs(self) -> float:
        return 20 * float(np.log10(self.peak)) if self.peak > 0 else float("-inf")

    def summary(self) -> str:
        return (f"{self.source} -> {self.target}: {self.seconds:.1f} s of audio in {self.wall_seconds:.2f} s "
                f"({self.realtime_factor:.0f}x real time), peak {self.peak_dbfs:.1f} dBFS, "
                f"{self.clipped} clipped samples")


def sound_lookup(options: RenderOptions) -> Callable[[int, int, int], tuple[object, Sound] | None]:
    """The sound for a (channel, program, note), with the pool it belongs to.

    Users' samples are read here, so a bad one is reported before anything renders.
    """
    rate = options.rate
    programs = {program: instruments.user_sound(user, rate) for program, user in options.program_samples.items()}
    drums = {note: instruments.user_sound(user, rate, drum_note=note) for note, user in options.drum_samples.items()}

    def lookup(channel: int, program: int, note: int) -> tuple[object, Sound] | None:
        if channel == DRUM_CHANNEL:
            if note in drums:
                return ("user drum", note), drums[note]
            kit = instruments.drum(note, rate)
            return (("drum", note), kit) if kit else None
        if program in programs:
            return ("user program", program), programs[program]
        zone = instruments.zone_of(note)
        return ("family", program // 8, zone), instruments.pitched_zone(program // 8, zone, rate)
    return lookup


def _song(source: Song | str | os.PathLike[str]) -> Song:
    return source if isinstance(source, Song) else read_song(source)


def stream(song: Song, options: RenderOptions, until: int | None = None) -> tuple[Plan, Iterator[npt.NDArray[np.float32]]]:
    """The planned song and its audio as stereo float blocks (frames x 2), up to frame `until`."""
    options.check()
    planned = plan(song, options.rate, options.selection, options.max_seconds)
    renderer = Renderer(options.rate, sound_lookup(options))
    return planned, renderer.blocks(planned, until)


def render_array(source: Song | str | os.PathLike[str], start: float = 0.0, end: float | None = None,
                 options: RenderOptions = RenderOptions()) -> npt.NDArray[np.float32]:
    """The audio from `start` to `end` seconds (None: to the end of the ringing) as a
    (frames, 2) float32 array. Rendering starts at the song's beginning either way."""
    song = _song(source)
    first = math.floor(start * options.rate + 0.5)
    last = None if end is None else math.floor(end * options.rate + 0.5)
    _, blocks = stream(song, options, last)
    kept, position = [], 0
    for block in blocks:
        begin, position = position, position + len(block)
        kept.append(block[max(0, first - begin): None if last is None else max(0, last - begin)])
    return np.concatenate(kept) if kept else np.zeros((0, 2), np.float32)


def render_file(source: Song | str | os.PathLike[str], target: str | os.PathLike[str] | BinaryIO,
                options: RenderOptions = RenderOptions(), progress: Progress | None = None) -> RenderReport:
    """Render a song to a WAV or FLAC file (or a binary file object), block by block.

    A path receives the file only when it is complete.
    """
    began = time.perf_counter()
    song = _song(source)
    planned, blocks = stream(song, options)
    destination = os.fspath(target) if isinstance(target, (str, os.PathLike)) else target
    name = destination if isinstance(destination, str) else str(getattr(target, "name", "<stream>"))
    frames_at_most = planned.frames + math.ceil(options.rate * TAIL_SECONDS)
    meter = output.Meter()
    try:
        with output.sound_file(destination, options.rate, options.format, options.bits, frames_at_most) as file:
            write = _write_normalized if options.normalize else _write
            frames = write(blocks, file, options.bits, meter, progress)
    except OSError as error:
        raise output.cannot_write(name, error) from None
    return RenderReport(song.path, name, frames, options.rate, planned.notes,
                        time.perf_counter() - began, meter.peak, meter.clipped)


Blocks = Iterator[npt.NDArray[np.float32]]


def _write(blocks: Blocks, file: object, bits: int, meter: output.Meter, progress: Progress | None) -> int:
    frames = 0
    for block in blocks:
        meter.measure(block)
        output.write_pcm(file, block, bits)
        frames += len(block)
        if progress:
            progress(len(block))
    return frames


def _write_normalized(blocks: Blocks, file: object, bits: int, meter: output.Meter,
                      progress: Progress | None) -> int:
    """Two passes: the floats are spooled to an unnamed temporary file while
    the peak is measured, then read back scaled to -1 dBFS."""
    measured = output.Meter()
    with tempfile.TemporaryFile() as spool:
        for block in blocks:
            measured.measure(block)
            spool.write(block.tobytes())
            if progress:
                progress(len(block))
        gain = NORMALIZED_PEAK / measured.peak if measured.peak > 0 else 1.0
        spool.seek(0)
        frames = 0
        while chunk := spool.read(SPOOL_FRAMES * 8):
            scaled = np.frombuffer(chunk, np.float32).reshape(-1, 2).astype(np.float64) * gain
            meter.measure(scaled)
            output.write_pcm(file, scaled, bits)
            frames += len(scaled)
    return frames
