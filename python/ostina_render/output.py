"""Integer PCM from float blocks, and files that appear only when complete."""
from __future__ import annotations

import contextlib
import os
import tempfile
from collections.abc import Iterator
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np
import numpy.typing as npt

from .errors import RenderError

FORMATS = {"wav": "WAV", "flac": "FLAC"}
SUBTYPES = {16: "PCM_16", 24: "PCM_24"}
FULL_SCALE = {16: 32767, 24: 8388607}
WAV_LIMIT = 0xFFFFFFFF - (1 << 16)  # bytes of data a plain WAV can hold, less room for its header


@dataclass
class Meter:
    """The peak and the count of samples beyond full scale, over everything converted."""

    peak: float = 0.0
    clipped: int = 0

    def measure(self, block: npt.NDArray[np.floating]) -> None:
        if block.size:
            magnitude = np.abs(block)
            self.peak = max(self.peak, float(magnitude.max()))
            self.clipped += int(np.count_nonzero(magnitude > 1.0))


def to_pcm(block: npt.NDArray[np.floating], bits: int) -> npt.NDArray[np.int16] | npt.NDArray[np.int32]:
    """Round to the nearest step, ties to even, and clip at full scale (±32767 for 16 bits).

    24-bit samples travel in the top three bytes of 32-bit integers, as
    libsndfile expects them.
    """
    scale = FULL_SCALE[bits]
    scaled = block.astype(np.float64) * scale
    np.rint(scaled, out=scaled)
    np.clip(scaled, -scale, scale, out=scaled)
    if bits == 16:
        return scaled.astype(np.int16)
    return scaled.astype(np.int32) << 8


def container(format_name: str, bits: int, frames: int) -> str:
    """libsndfile's name for the file type: RF64 for WAV data past 4 GB."""
    if format_name == "wav" and frames * 2 * (bits // 8) > WAV_LIMIT:
        return "RF64"
    return FORMATS[format_name]


@contextlib.contextmanager
def sound_file(target: str | BinaryIO, rate: int, format_name: str, bits: int, frames: int) -> Iterator[object]:
    """A soundfile writer. A path is written under a temporary name, as `replacing` does;
    libsndfile writes it itself, so that a failed write comes back as an error."""
    import soundfile

    kind = container(format_name, bits, frames)
    if not isinstance(target, str):
        with soundfile.SoundFile(target, "w", rate, 2, SUBTYPES[bits], format=kind) as file:
            yield file
        return
    with replacing(target) as temporary, soundfile.SoundFile(temporary, "w", rate, 2, SUBTYPES[bits],
                                                             format=kind) as file:
        yield file


def write_pcm(file: object, block: npt.NDArray[np.floating], bits: int) -> None:
    """Convert and write one block. libsndfile reports a failed write (disk full, a
    file size limit) as an error of its own or as a short count; both become OSError."""
    try:
        file.write(to_pcm(block, bits))  # type: ignore[attr-defined]
    except (RuntimeError, AssertionError) as error:
        raise OSError(getattr(error, "error_string", "") or str(error) or "the write failed") from None


@contextlib.contextmanager
def replacing(target: str) -> Iterator[str]:
    """The path of a temporary file in `target`'s folder, renamed to `target` when the
    block ends without error; on any error, Ctrl-C included, the temporary file is
    removed and nothing appears at the path."""
    folder = os.path.dirname(os.path.abspath(target))
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{os.path.basename(target)}.", suffix=".part", dir=folder)
        os.close(handle)
    except OSError as error:
        raise cannot_write(target, error) from None
    try:
        yield temporary
        os.chmod(temporary, 0o666 & ~UMASK)  # mkstemp makes files only their owner may read
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


UMASK = _current_umask()  # read once, at import, before any thread of ours runs


def cannot_write(target: str, error: OSError) -> RenderError:
    return RenderError(f"{target}: cannot write ({error.strerror or error})")
