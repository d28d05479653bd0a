"""Soundfont files as the synthesizer core's banks: SF2 and SF3 files read
once per process, and the built-in bank written out as an SF2 file.

A soundfont's sample data stays in its file, mapped into memory: only the
samples that notes play cost memory. The Ogg Vorbis samples of an SF3 file
are decoded with soundfile (of the render extra) when a note first plays
them, and kept.
"""
from __future__ import annotations

import os
from collections import OrderedDict

from . import _synth
from .errors import RenderError, needs_extra

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

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
