"""Soundfonts: SF2 and SF3 files read into the synthesizer core once per
process, and a preset's zones handed to the toolkit as samples.

A soundfont's sample data stays in its file, mapped into memory: only the
samples that notes play cost memory. The Ogg Vorbis samples of an SF3 file
are decoded with soundfile (of the render extra) when a note first plays
them, and kept.
"""
from __future__ import annotations

import os
from collections import OrderedDict
from typing import NamedTuple

from . import _synth
from .errors import RenderError, needs_extra

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    import ostina

KEPT_SOUNDFONTS = 8  # the most a process keeps mapped; a batch worker reads each once

_kept: OrderedDict[tuple[str, int, int], _synth.Bank] = OrderedDict()


def load_soundfont(path: str | os.PathLike[str]) -> _synth.Bank:
    """The soundfont at `path` as a bank, read once per process while the file is
    unchanged; a missing, unreadable or damaged file raises RenderError naming it."""
    name = os.fspath(path)
    try:
        status = os.stat(name)
    except FileNotFoundError:
        raise RenderError(f"{name}: no such file") from None
    except OSError as error:
        raise RenderError(f"{name}: cannot read ({error.strerror or error})") from None
    key = (os.path.realpath(name), status.st_size, status.st_mtime_ns)
    if key in _kept:
        _kept.move_to_end(key)
        return _kept[key]
    bank = _read(name)
    _kept[key] = bank
    if len(_kept) > KEPT_SOUNDFONTS:
        _kept.popitem(last=False)
    return bank


def _read(name: str) -> _synth.Bank:
    if os.path.isdir(name):
        raise RenderError(f"{name}: is a folder, not a soundfont")
    try:
        return _synth.Bank.read_soundfont(name, _Decoder(name))
    except ValueError as error:
        raise RenderError(f"{name}: {error}") from None
    except RuntimeError as error:  # the system's reason the file cannot be mapped
        raise RenderError(f"{name}: cannot read ({error})") from None
    except MemoryError:
        raise RenderError(f"{name}: not enough memory to read it") from None


class _Decoder:
    """Decodes a compressed sample's bytes into float32 frames (its first channel).
    A sample that does not decode is silent, and counted."""

    def __init__(self, name: str) -> None:
        self.name = name
        self.failures = 0

    def __call__(self, data: bytes) -> npt.NDArray[np.float32]:
        try:
            import io

            import numpy as np
            import soundfile
        except ImportError:
            raise needs_extra(f"{self.name}: its compressed samples") from None
        try:
            frames, _ = soundfile.read(io.BytesIO(data), dtype="float32", always_2d=True)
        except (RuntimeError, ValueError, TypeError):  # libsndfile's errors derive from RuntimeError
            self.failures += 1
            return np.zeros(0, np.float32)
        return np.ascontiguousarray(frames[:, 0])


def write_builtin_soundfont(target: str | os.PathLike[str], rate: int = 44100) -> _synth.Bank:
    """Writes the built-in bank, its samples made for output at `rate`, as an SF2 file
    that SoundFont players load; returns the bank written."""
    from .soundfont_writer import write_soundfont

    try:
        import numpy  # noqa: F401  (the writer's, for the sample frames)
    except ImportError:
        raise needs_extra("writing a soundfont") from None
    bank = _synth.Bank.builtin(rate)
    samples = [(name, bank.sample_data(index), sample_rate, key, correction, loop_start, loop_end)
               for index, (name, sample_rate, key, correction, loop_start, loop_end) in enumerate(bank.samples())]
    write_soundfont(target, samples, bank.instruments(), bank.presets(), name=bank.name)
    return bank


def soundfont_notices(path: str, bank: _synth.Bank) -> tuple[str, ...]:
    """What of the soundfont does not play, one line each, naming the file."""
    return tuple(f"{path}: {notice}" for notice in bank.notices)


# The toolkit's view of a soundfont.

class Zone(NamedTuple):
    """One zone of a preset: the sample a note in both ranges plays."""

    sample: ostina.AudioSample
    key_low: int
    key_high: int
    velocity_low: int
    velocity_high: int


class SoundFont:
    """A soundfont file's presets for the toolkit: a preset's zones as `ostina.AudioSample`
    values, alone or in an `ostina.SampleMap`, so that a script can play them on a `Sampler`.

    A zone's tuning (coarse and fine tune, the sample's pitch correction) is folded into
    the sample's `sample_rate`, a whole number: what remains is at most 866 / rate cents
    (0.04 cents at 22,050 Hz). The toolkit's sample has no envelope, filter, level or pan of
    its zone, and plays every key a semitone apart (scaleTuning is taken as 100). A looped
    zone's sample ends with its loop, since the toolkit's sampler wraps at the data's end;
    a zone that loops until its release (sampleModes 3) keeps looping.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._bank = load_soundfont(self.path)

    @property
    def name(self) -> str:
        return self._bank.name

    def presets(self) -> list[tuple[int, int, str]]:
        """(bank, program, name) of every preset, by bank and program; bank 128 holds the drum kits."""
        return [(bank, program, name) for name, bank, program, _, _ in self._bank.presets()]

    def zones(self, bank: int = 0, program: int = 0) -> list[Zone]:
        """The preset's zones in the file's order; ValueError when it has no such preset."""
        samples = self._bank.samples()
        return [Zone(self._audio_sample(index, samples[index], dict(generators)), key_low, key_high,
                     velocity_low, velocity_high)
                for key_low, key_high, velocity_low, velocity_high, index, generators
                in self._bank.regions(bank, program)]

    def sample_map(self, bank: int = 0, program: int = 0) -> ostina.SampleMap:
        """The preset's zones as a SampleMap, whose first match for a key and velocity is its zone."""
        import ostina

        mapping = ostina.SampleMap()
        for zone in self.zones(bank, program):
            mapping.add_mapping(ostina.SampleMapping(zone.sample, zone.key_low, zone.key_high,
                                                     zone.velocity_low, zone.velocity_high))
        return mapping

    def _audio_sample(self, index: int, header: tuple[str, int, int, int, int, int], generators: dict[str, int]) -> ostina.AudioSample:
        import array

        import ostina

        _, rate, original_key, correction, loop_start, loop_end = header
        frames = array.array("f", self._bank.sample_data(index))
        first = min(max(0, _offset(generators, "startAddrs")), len(frames))
        last = max(first, min(len(frames), len(frames) + _offset(generators, "endAddrs")))
        cents = generators["coarseTune"] * 100 + generators["fineTune"] + correction
        root = generators["overridingRootKey"]
        start = loop_start + _offset(generators, "startloopAddrs") - first
        end = loop_end + _offset(generators, "endloopAddrs") - first
        loops = generators["sampleModes"] in (1, 3) and 0 <= start < end <= last - first
        # The toolkit's sampler wraps where its data ends: a looped zone's data ends with its loop.
        sample = ostina.AudioSample(frames[first:first + end] if loops else frames[first:last],
                                    round(rate * 2 ** (cents / 1200)), root if root >= 0 else original_key)
        if loops:
            sample.loop_start, sample.loop_end = start, end
        return sample


def _offset(generators: dict[str, int], name: str) -> int:
    """A sample point's offset in frames: its fine and coarse (32,768-frame) generators."""
    return generators[f"{name}Offset"] + 32768 * generators[f"{name}CoarseOffset"]

