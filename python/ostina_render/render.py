"""The library API: render a song to a file or to an array.

Rendering runs in the synthesizer core from the MIDI file's bytes. A WAV
file needs nothing beyond this package; FLAC, users' samples and arrays
need the render extra (soundfile and numpy), imported only when used.
"""
from __future__ import annotations

import contextlib
import math
import numbers
import os
import time

from . import _synth, output
from .errors import RenderError
from .progress import progress_bar
from .records import Record
from .reading import MAX_MIDI_BYTES, parse
from .sources import midi_bytes

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Collection, Iterator, Mapping
    from typing import BinaryIO

    import numpy as np
    import numpy.typing as npt

    from .instruments import UserSample
    from .progress import Progress
    from .sources import Source

NORMALIZED_PEAK = 10 ** (-1 / 20)  # -1 dBFS
BLOCK_FRAMES = 1 << 16
MOST_THREADS = 256
VOICE_GROUPS = 4  # the core plays its voices in this many groups, on as many threads at most
TAIL_SECONDS = 5.0  # the longest a song's last notes may ring after its end
# The level follows the file's velocities and volumes as a SoundFont player
# at its default gain does (real pieces peak within a few dB of fluidsynth's
# renders), and a full orchestra stays below full scale.
DEFAULT_GAIN_DB = 0.0


class RenderOptions(Record):
    """How to render. Tracks count from 0 in file order, channels from 0 (9 is the drums).

    `soundfont` names an SF2 or SF3 file to play in place of the built-in bank.
    `program_samples` maps a program (0-127) and `drum_samples` a drum note to
    a sample file that replaces the bank's sound (None: none). `gain_db` adds to the
    default level; `polyphony` bounds the voices sounding at once. `reverb` and
    `chorus` play the effect units that the voices' sends feed (CC 91 and 93, and a
    soundfont's own sends); with either on, a song ends once its effects' tail has
    stayed below a 16-bit step for 0.1 s. `threads` play the voices and the effect units
    (None: one a core, up to 4); the output's bits are the same for any number.
    Options do not change; `replace` gives a copy with some changed.
    """

    rate: int
    soundfont: str | os.PathLike[str] | None
    format: str | None
    bits: int
    normalize: bool
    gain_db: float
    tracks: frozenset[int] | None
    mute_tracks: frozenset[int]
    channels: frozenset[int] | None
    mute_channels: frozenset[int]
    program_samples: Mapping[int, UserSample]
    drum_samples: Mapping[int, UserSample]
    polyphony: int
    reverb: bool
    chorus: bool
    max_seconds: float
    max_midi_bytes: int
    threads: int | None
    __slots__ = tuple(__annotations__)

    def __init__(self, rate: int = 44100, soundfont: str | os.PathLike[str] | None = None,
                 format: str | None = None,  # "wav" or "flac"; None: from the output's suffix, else wav
                 bits: int = 16,  # 16 or 24
                 normalize: bool = False,  # scale the whole result to a peak of -1 dBFS
                 gain_db: float = 0.0,
                 tracks: frozenset[int] | None = None,  # only these tracks; None: all
                 mute_tracks: frozenset[int] = frozenset(),
                 channels: frozenset[int] | None = None,  # only these channels; None: all
                 mute_channels: frozenset[int] = frozenset(),
                 program_samples: Mapping[int, UserSample] | None = None,
                 drum_samples: Mapping[int, UserSample] | None = None,
                 polyphony: int = 256, reverb: bool = True, chorus: bool = True,
                 max_seconds: float = 6 * 3600,  # longer songs are refused
                 max_midi_bytes: int = MAX_MIDI_BYTES,  # larger MIDI files are refused
                 threads: int | None = None) -> None:
        self._set({**locals(), "program_samples": {} if program_samples is None else program_samples,
                   "drum_samples": {} if drum_samples is None else drum_samples})

    def check(self) -> None:
        """Raise RenderError, in one line, for the first value of a wrong type or range."""
        _whole("rate", self.rate, 8000, 192000, "a rate of {} Hz")
        if self.format is not None and self.format not in output.FORMATS:
            raise RenderError(f"unknown format {self.format!r}: choose wav or flac")
        if self.bits not in output.BITS or isinstance(self.bits, bool):
            raise RenderError(f"{self.bits!r} bits are not offered: choose 16 or 24")
        _whole("polyphony", self.polyphony, 1, 65535, "a polyphony of {}")
        _whole("max_midi_bytes", self.max_midi_bytes, 1, 1 << 40, "a largest MIDI file of {} bytes")
        if self.threads is not None:
            _whole("threads", self.threads, 1, MOST_THREADS, "{} threads")
        _real("gain_db", self.gain_db, "a gain of {} dB")
        if not -96 <= self.gain_db <= 48:
            raise RenderError(f"a gain of {self.gain_db} dB is outside -96 to 48")
        _real("max_seconds", self.max_seconds, "a longest song of {} s")
        if not self.max_seconds > 0:
            raise RenderError(f"a longest song of {self.max_seconds} s: it must be more than 0")
        for name, switch in (("normalize", self.normalize), ("reverb", self.reverb), ("chorus", self.chorus)):
            if not isinstance(switch, bool):
                raise RenderError(f"{name} must be True or False, not {switch!r}")
        if self.soundfont is not None and not isinstance(self.soundfont, (str, os.PathLike)):
            raise RenderError(f"soundfont must be a path or None, not {type(self.soundfont).__name__}")
        for name, chosen, high in (("tracks", self.tracks, 65535), ("channels", self.channels, 15)):
            if chosen is not None:
                _check_numbers(name, chosen, high)
        _check_numbers("mute_tracks", self.mute_tracks, 65535)
        _check_numbers("mute_channels", self.mute_channels, 15)
        for name, samples, what in (("program_samples", self.program_samples, "program"),
                                    ("drum_samples", self.drum_samples, "drum note")):
            _samples(name, samples, what)

    def channel_mask(self) -> int:
        playing = set(range(16)) if self.channels is None else set(self.channels)
        return sum(1 << channel for channel in playing - set(self.mute_channels) if 0 <= channel < 16)

    def gain(self) -> float:
        return 10 ** ((DEFAULT_GAIN_DB + self.gain_db) / 20)


def _whole(name: str, value: object, low: int, high: int, said: str) -> None:
    if not isinstance(value, int) or isinstance(value, bool):
        raise RenderError(f"{name} must be a whole number, not {value!r}")
    if not low <= value <= high:
        raise RenderError(f"{said.format(value)} is outside {low}-{high}")


def _real(name: str, value: object, said: str) -> None:
    if not isinstance(value, numbers.Real) or isinstance(value, bool):
        raise RenderError(f"{name} must be a number, not {value!r}")
    if not math.isfinite(value):
        raise RenderError(f"{said.format(value)}: it must be a finite number")


def _check_numbers(name: str, chosen: object, high: int) -> None:
    if not isinstance(chosen, (set, frozenset, list, tuple, range)) or not all(
            isinstance(number, int) and not isinstance(number, bool) for number in chosen):
        raise RenderError(f"{name} must be a set of whole numbers, not {chosen!r}")
    for number in chosen:
        if not 0 <= number <= high:
            raise RenderError(f"{name}: {number} is outside 0-{high}")


def _samples(name: str, samples: object, what: str) -> None:
    from collections.abc import Mapping

    if isinstance(samples, Mapping) and not samples:
        return  # none: the command's start-up then does without their module
    from .instruments import UserSample

    if not isinstance(samples, Mapping) or not all(isinstance(user, UserSample) for user in samples.values()):
        raise RenderError(f"{name} must map numbers to UserSample values, not {samples!r}")
    for key in samples:
        if not isinstance(key, int) or isinstance(key, bool) or not 0 <= key <= 127:
            raise RenderError(f"{what} {key!r} is outside 0-127")


class RenderReport(Record):
    """What a render made. `frames` at `rate`; `peak` is linear (1.0 is full scale).
    `notices` are one-line remarks on the input that did not stop the render."""

    source: str
    target: str
    frames: int
    rate: int
    notes: int
    wall_seconds: float
    peak: float
    clipped: int
    notices: tuple[str, ...]
    __slots__ = tuple(__annotations__)

    def __init__(self, source: str, target: str, frames: int, rate: int, notes: int, wall_seconds: float,
                 peak: float, clipped: int, notices: tuple[str, ...] = ()) -> None:
        self._set(locals())

    @property
    def seconds(self) -> float:
        return self.frames / self.rate

    @property
    def realtime_factor(self) -> float:
        return self.seconds / self.wall_seconds if self.wall_seconds > 0 else float("inf")

    @property
    def peak_dbfs(self) -> float:
        return 20 * math.log10(self.peak) if self.peak > 0 else float("-inf")

    def summary(self) -> str:
        return (f"{self.source} -> {self.target}: {self.seconds:.1f} s of audio in {self.wall_seconds:.2f} s "
                f"({self.realtime_factor:.0f}x real time), peak {self.peak_dbfs:.1f} dBFS, "
                f"{self.clipped} clipped samples")


class Performance(Record):
    """A MIDI file ready to render: its name, the native reader's view and what it noticed."""

    name: str
    midi: _synth.MidiFile
    notices: tuple[str, ...]
    __slots__ = tuple(__annotations__)

    def __init__(self, name: str, midi: _synth.MidiFile, notices: tuple[str, ...]) -> None:
        self._set(locals())


def load(source: Source | Performance, options: RenderOptions = RenderOptions(),
         data: bytes | None = None) -> Performance:
    """The song to render: a path, a Song, bytes, a binary file or a MIDI library's object
    (see `sources`), or the bytes `data` read elsewhere, which `source` then names."""
    if isinstance(source, Performance):
        return source
    name, data = midi_bytes(source, options.max_midi_bytes, data)
    midi = parse(name, data)
    return Performance(name, midi, tuple(f"{name}: {notice}" for notice in midi.notices))


def usable_cores() -> int:
    """The cores this process may run on."""
    return len(os.sched_getaffinity(0))


def player(performance: Performance, options: RenderOptions, gain: float | None = None) -> _synth.Song:
    """A native song for `options`, its presets built; a song longer than the limit is refused.
    `gain` (linear) replaces the options' level; voices are still judged inaudible at that
    level, so that a louder render of the song is the same render, scaled."""
    options.check()
    refuse_empty_selection(performance, options)
    banks = [bank for bank in (users_bank(options), soundfont_bank(options)) if bank is not None]
    try:
        song = _synth.Song(performance.midi, banks, options.soundfont is None, options.rate, options.polyphony,
                           options.gain() if gain is None else gain, TAIL_SECONDS,
                           None if options.tracks is None else sorted(options.tracks), sorted(options.mute_tracks),
                           options.channel_mask(), options.gain(), options.reverb, options.chorus,
                           options.threads or min(usable_cores(), VOICE_GROUPS))
    except MemoryError:
        raise RenderError(f"{performance.name}: not enough memory to render it") from None
    seconds = song.frames / options.rate
    if seconds > options.max_seconds:
        raise RenderError(f"{performance.name}: the song lasts {seconds:.0f} s, more than the limit of "
                          f"{options.max_seconds:.0f} s")
    song.prepare()
    return song


def _sounding(performance: Performance) -> set[tuple[int, int]]:
    """The (track, channel) pairs that have notes."""
    return {(row[0], row[1]) for row in performance.midi.notes()}


def _spans(chosen: Collection[int], base: int = 0) -> str:
    """Numbers as "1-3, 5", counted from `base`."""
    spans: list[list[int]] = []
    for number in sorted({number + base for number in chosen}):
        if spans and number == spans[-1][1] + 1:
            spans[-1][1] = number
        else:
            spans.append([number, number])
    return ", ".join(f"{low}" if low == high else f"{low}-{high}" for low, high in spans)


def refuse_empty_selection(performance: Performance, options: RenderOptions) -> None:
    """A choice of tracks or channels that holds none of a file's notes is refused, naming what it has."""
    if options.tracks is None and options.channels is None:
        return
    sounding = _sounding(performance)
    if not sounding:
        return  # a file without notes renders its silence, whatever is chosen
    if options.tracks is not None:
        sounding_tracks = {track for track, _ in sounding}
        if not sounding_tracks & set(options.tracks):
            raise RenderError(f"{performance.name}: tracks {_spans(options.tracks)} hold no notes; its notes are "
                              f"on tracks {_spans(sounding_tracks)} (counted from 0)")
        sounding = {(track, channel) for track, channel in sounding if track in options.tracks}
    sounding_channels = {channel for _, channel in sounding}
    if options.channels is not None and not sounding_channels & set(options.channels):
        raise RenderError(f"{performance.name}: channels {_spans(options.channels, 1)} hold no notes; its notes "
                          f"are on channels {_spans(sounding_channels, 1)} (counted from 1)")


def mute_notices(performance: Performance, options: RenderOptions) -> tuple[str, ...]:
    """A line for each muted track or channel that has no notes to mute."""
    if not options.mute_tracks and not options.mute_channels:
        return ()
    sounding = _sounding(performance)
    silent_tracks = set(options.mute_tracks) - {track for track, _ in sounding}
    silent_channels = set(options.mute_channels) - {channel for _, channel in sounding}
    return tuple(f"{performance.name}: no notes to mute on {what} {_spans(silent, base)}"
                 for what, silent, base in (("tracks", silent_tracks, 0), ("channels", silent_channels, 1)) if silent)


def soundfont_bank(options: RenderOptions) -> _synth.Bank | None:
    if options.soundfont is None:
        return None
    from .banks import load_soundfont

    return load_soundfont(options.soundfont)


def fallback_notices(name: str, fallbacks: list[tuple[int, int, int, int, bool]],
                     options: RenderOptions) -> tuple[str, ...]:
    """One line for each preset the song asks for that its bank does not have."""
    where = "the built-in bank" if options.soundfont is None else os.fspath(options.soundfont)
    return tuple(f"{name}: {_preset(bank, program)} is not in {where}; "
                 + (f"playing {_preset(played_bank, played_program)}" if found else "its notes are silent")
                 for bank, program, played_bank, played_program, found in fallbacks)


def _preset(bank: int, program: int) -> str:
    return f"drum kit {program}" if bank == 128 else f"bank {bank} program {program}"


def users_bank(options: RenderOptions) -> _synth.Bank | None:
    """The users' samples as a bank, read here, or None when there are none."""
    if not options.program_samples and not options.drum_samples:
        return None
    from .instruments import user_bank

    return user_bank(options)


def notices(performance: Performance, song: _synth.Song, options: RenderOptions) -> tuple[str, ...]:
    found = (*performance.notices, *mute_notices(performance, options), *soundfont_notices(options),
             *fallback_notices(performance.name, song.fallbacks, options))
    if song.notes:
        return found
    return (*found, f"{performance.name}: no notes to play; writing {song.frames / options.rate:.1f} s of silence")


def soundfont_notices(options: RenderOptions) -> tuple[str, ...]:
    if options.soundfont is None:
        return ()
    from .banks import load_soundfont, soundfont_notices as of_bank

    return of_bank(os.fspath(options.soundfont), load_soundfont(options.soundfont))


def blocks(song: _synth.Song, bits: int | None, progress: Progress | None = None) -> Iterator[bytes]:
    """The song's audio block by block: PCM of `bits`, or 32-bit floats when None."""
    while not song.finished:
        block = song.render(BLOCK_FRAMES) if bits is None else song.render_pcm(BLOCK_FRAMES, bits)
        if progress:
            progress(len(block) // (8 if bits is None else bits // 4))
        if block:
            yield block


def render_array(source: Source, start: float = 0.0, end: float | None = None,
                 options: RenderOptions = RenderOptions(), progress: Progress | bool | None = None
                 ) -> npt.NDArray[np.float32]:
    """The audio from `start` to `end` seconds (None: to the end of the ringing) as a
    (frames, 2) float32 array. Rendering starts at the song's beginning either way.
    `progress` is as `render_file`'s."""
    import numpy as np

    for name, seconds in (("start", start), ("end", end)):
        if seconds is not None:
            _real(name, seconds, name + " {} s")
    if end is not None and end < start:
        raise RenderError(f"end {end} s comes before start {start} s")
    _check_progress(progress)
    options.check()
    performance = load(source, options)
    song = player(performance, options)
    first = math.floor(start * options.rate + 0.5)
    last = None if end is None else math.floor(end * options.rate + 0.5)
    kept, position = [], 0
    heard = song.frames if last is None else min(last, song.frames)
    with _watched(progress, song, options, heard) as advance:
        if options.normalize:
            song = _normalized(performance, song, options, advance)
        for block in blocks(song, None, advance):
            frames = np.frombuffer(block, np.float32).reshape(-1, 2)
            begin, position = position, position + len(frames)
            kept.append(frames[max(0, first - begin): None if last is None else max(0, last - begin)])
            if last is not None and position >= last:
                break
    return np.concatenate(kept) if kept else np.zeros((0, 2), np.float32)


def render_file(source: Source | Performance, target: str | os.PathLike[str] | BinaryIO,
                options: RenderOptions = RenderOptions(), progress: Progress | bool | None = None) -> RenderReport:
    """Render a song to a WAV or FLAC file (or a binary file object), block by block.

    A path receives the file only when it is complete. `progress` is a function called
    with each block's frames as it renders, or True for a bar where someone watches: tqdm's
    notebook bar in Jupyter, its text bar on a terminal, none otherwise.
    """
    began = time.perf_counter()
    _check_progress(progress)
    options.check()
    destination = os.fspath(target) if isinstance(target, (str, os.PathLike)) else target
    name = output.target_name(destination)
    format_name = output.format_for(destination, options.format)
    options = options.replace(format=format_name)
    performance = load(source, options)
    output.refuse_input(performance.name, destination)
    song = player(performance, options)
    try:  # the output opens first, so that one that cannot is said before any rendering
        with output.writer(destination, options.rate, format_name, options.bits) as write, \
                _watched(progress, song, options, song.frames) as advance:
            if options.normalize:
                song = _normalized(performance, song, options, advance)
            for block in blocks(song, options.bits, advance):
                write(block)
    except OSError as error:
        raise output.cannot_write(name, error) from None
    return RenderReport(performance.name, name, song.rendered, options.rate, song.notes,
                        time.perf_counter() - began, song.peak, song.clipped, notices(performance, song, options))


def _check_progress(progress: object) -> None:
    if not (progress is None or isinstance(progress, bool) or callable(progress)):
        raise RenderError(f"progress must be True, False, None or a function, not {progress!r}")


@contextlib.contextmanager
def _watched(progress: Progress | bool | None, song: _synth.Song, options: RenderOptions,
             heard: int) -> Iterator[Progress | None]:
    """`progress` itself, or for True a bar over the `heard` frames of `song` and, when
    normalizing, the whole song's measuring pass before them."""
    if progress is True:
        frames = heard + (song.frames if options.normalize else 0)
        with progress_bar(frames / options.rate, options.rate) as advance:
            yield advance
    else:
        yield progress or None


def _normalized(performance: Performance, song: _synth.Song, options: RenderOptions,
                progress: Progress | None) -> _synth.Song:
    """A second song whose gain brings the first's peak to -1 dBFS: the first is
    rendered only to measure it (which `progress` hears of), so nothing is kept in
    memory or on disk."""
    for _ in blocks(song, 16, progress):
        pass
    if not song.peak > 0 or math.isinf(song.peak):
        return player(performance, options)
    return player(performance, options, options.gain() * NORMALIZED_PEAK / song.peak)
