"""Audio files from PCM blocks, and files that appear only when complete.

WAV (RF64 past 4 GB) is written here from the core's PCM and header;
FLAC goes through soundfile (libsndfile), which the render extra brings.
"""
from __future__ import annotations

import contextlib
import os

from . import _synth
from .errors import RenderError

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any, BinaryIO, TypeAlias

    Write: TypeAlias = Callable[[bytes], None]  # takes one block of interleaved stereo PCM

FORMATS = ("wav", "flac")
PART_SUFFIX = ".part"  # outputs are written as .NAME.XXXXXXXX.part, then renamed
BITS = (16, 24)
NEEDS_SOUNDFILE = "FLAC output needs the render extra: pip install 'ostina[render]'"


@contextlib.contextmanager
def writer(target: str | BinaryIO, rate: int, format_name: str, bits: int) -> Iterator[Write]:
    """A function that writes PCM blocks to `target`: a path, written under a temporary
    name and renamed when complete, or a binary file object."""
    if isinstance(target, str):
        with replacing(target) as temporary, open(temporary, "wb") as file:
            with _encoder(file, rate, format_name, bits) as write:
                yield write
    else:
        with _encoder(target, rate, format_name, bits) as write:
            yield write


def _encoder(file: BinaryIO, rate: int, format_name: str, bits: int) -> contextlib.AbstractContextManager[Write]:
    return _flac(file, rate, bits) if format_name == "flac" else _wav(file, rate, bits)


@contextlib.contextmanager
def _wav(file: BinaryIO, rate: int, bits: int) -> Iterator[Write]:
    """The header is written first and again at the end, when the data's length
    is known; a file object that cannot seek gets the whole file at the end."""
    if not _seekable(file):
        import shutil
        import tempfile

        with tempfile.TemporaryFile() as spool:
            with _wav(spool, rate, bits) as spooled:
                yield spooled
            spool.seek(0)
            shutil.copyfileobj(spool, file)
        return
    start = file.tell()
    file.write(_synth.Song.wav_header(rate, bits, 0))
    written = 0

    def write(block: bytes) -> None:
        nonlocal written
        file.write(block)
        written += len(block)
    yield write
    file.seek(start)
    file.write(_synth.Song.wav_header(rate, bits, written))
    file.seek(0, os.SEEK_END)


def _seekable(file: Any) -> bool:
    try:
        return bool(file.seekable())
    except (AttributeError, OSError, ValueError):
        return False


@contextlib.contextmanager
def _flac(file: BinaryIO, rate: int, bits: int) -> Iterator[Write]:
    try:
        import numpy as np
        import soundfile
    except ImportError:
        raise RenderError(NEEDS_SOUNDFILE) from None
    subtype = {16: "PCM_16", 24: "PCM_24"}[bits]
    with soundfile.SoundFile(file, "w", rate, 2, subtype, format="FLAC") as encoder:
        def write(block: bytes) -> None:
            if bits == 16:
                frames = np.frombuffer(block, "<i2").reshape(-1, 2)
            else:  # three bytes a sample, little-endian: into the top of 32-bit integers, as libsndfile takes them
                octets = np.frombuffer(block, np.uint8).reshape(-1, 3).astype(np.int32)
                frames = ((octets[:, 0] << 8) | (octets[:, 1] << 16) | (octets[:, 2] << 24)).reshape(-1, 2)
            try:
                encoder.write(frames)
            except (RuntimeError, AssertionError) as error:  # libsndfile's failed writes
                raise OSError(getattr(error, "error_string", "") or str(error) or "the write failed") from None
        yield write


@contextlib.contextmanager
def replacing(target: str) -> Iterator[str]:
    """The path of a temporary file in `target`'s folder, renamed to `target` when the
    block ends without error; on any error, Ctrl-C included, the temporary file is
    removed and nothing appears at the path."""
    try:
        temporary = _new_part_file(target)
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


def _new_part_file(target: str) -> str:
    """A new, empty file .NAME.XXXXXXXX.part beside `target`, only its owner may read.

    tempfile.mkstemp does the same, but importing tempfile costs the command's
    start-up more than a whole short render's writing."""
    folder = os.path.dirname(os.path.abspath(target))
    while True:
        path = os.path.join(folder, f".{os.path.basename(target)}.{os.urandom(4).hex()}{PART_SUFFIX}")
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            return path
        except FileExistsError:
            continue


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


UMASK = _current_umask()  # read once, at import, before any thread of ours runs


def cannot_write(target: str, error: OSError) -> RenderError:
    return RenderError(f"{target}: cannot write ({error.strerror or error})")
