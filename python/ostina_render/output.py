"""Audio files from PCM blocks, and files that appear only when complete.

WAV (RF64 past 4 GB) is written here from the core's PCM and header;
FLAC goes through soundfile (libsndfile), which the render extra brings.

An output path is never harmed: a symlink is written through to its target,
a FIFO or character device is streamed into, and anything else that is not
a regular file is refused. A regular file is written under a temporary name
beside it and renamed when complete.
"""
from __future__ import annotations

import contextlib
import fcntl
import io
import os
import stat

from . import _synth
from .errors import RenderError, needs_extra

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Callable, Iterable, Iterator
    from typing import Any, BinaryIO, TypeAlias

    Write: TypeAlias = Callable[[bytes], None]  # takes one block of interleaved stereo PCM

FORMATS = ("wav", "flac")
SUFFIX_FORMATS = {".wav": "wav", ".flac": "flac"}
PART_SUFFIX = ".part"  # outputs are written as .NAME.HOST.PID.XXXXXXXX.part, then renamed
HOST = os.uname().nodename or "localhost"
NAME_MAX = 255  # the longest file name Linux file systems take
SYSTEM_NAMES = ("/dev/fd/", "/dev/stdout", "/dev/stderr", "/proc/")  # names of open files: written in place
BITS = (16, 24)


def format_for(target: object, format_name: str | None) -> str:
    """The format a target gets: its suffix's, else `format_name`, else WAV. A format
    that contradicts the suffix is refused."""
    suffix = os.path.splitext(target)[1].lower() if isinstance(target, str) else ""
    implied = SUFFIX_FORMATS.get(suffix)
    if format_name is not None and implied is not None and format_name != implied:
        raise RenderError(f"{target}: the format {format_name} contradicts the suffix {suffix}")
    return format_name or implied or "wav"


def target_name(target: str | BinaryIO) -> str:
    """How messages name an output: its path, or a file object's name."""
    return target if isinstance(target, str) else str(getattr(target, "name", "<stream>"))


def refuse_input(source: str, target: str | BinaryIO) -> None:
    """A target that is the source file itself, also through links or an open file
    (standard output appending to it), is refused."""
    with contextlib.suppress(OSError, AttributeError, ValueError):  # no file to compare: not the same
        there = os.stat(target) if isinstance(target, str) else os.fstat(target.fileno())
        if os.path.samestat(os.stat(source), there):
            raise RenderError(f"{target_name(target)}: is the input {source}; name another output")


@contextlib.contextmanager
def writer(target: str | BinaryIO, rate: int, format_name: str, bits: int) -> Iterator[Write]:
    """A function that writes PCM blocks to `target`: a path (a regular file appears
    only when complete; see `destination` for what is streamed into) or a binary
    file object."""
    if not isinstance(target, str):
        with _encoder(_binary(target), rate, format_name, bits) as write:
            yield write
        return
    _, streamed = destination(target)
    if streamed:
        with open(target, "wb") as file, _encoder(file, rate, format_name, bits) as write:
            yield write
        return
    remove_stale([target])
    with replacing(target) as temporary, open(temporary, "wb") as file:
        with _encoder(file, rate, format_name, bits) as write:
            yield write


def destination(target: str) -> tuple[str, bool]:
    """The path to write for `target`, its symlinks followed, and whether it is
    streamed into rather than replaced: a FIFO, a character device, or any name
    the system gives an open file (/dev/stdout, /dev/fd/N, /proc/...), which is
    written where it stands."""
    path = os.path.realpath(target)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        return path, False
    except OSError as error:
        raise cannot_write(target, error) from None
    system_name = os.path.abspath(target).startswith(SYSTEM_NAMES)
    if stat.S_ISFIFO(mode) or stat.S_ISCHR(mode) or (stat.S_ISREG(mode) and system_name):
        return path, True
    if stat.S_ISDIR(mode):
        raise RenderError(f"{target}: is a folder, not a file to write")
    if not stat.S_ISREG(mode):
        kind = "a block device" if stat.S_ISBLK(mode) else "not a regular file"
        raise RenderError(f"{target}: is {kind}; refusing to write to it")
    return path, False


def _binary(file: Any) -> BinaryIO:
    name = target_name(file)
    if not callable(getattr(file, "write", None)):
        raise RenderError(f"{type(file).__name__} is not a path or a binary file object to write to")
    if isinstance(file, io.TextIOBase) or "b" not in getattr(file, "mode", "b"):
        raise RenderError(f"{name}: is open in text mode; open it with 'wb'")
    with contextlib.suppress(AttributeError, ValueError):
        if not file.writable():
            raise RenderError(f"{name}: is not open for writing; open it with 'wb'")
    return file  # type: ignore[no-any-return]


@contextlib.contextmanager
def _encoder(file: BinaryIO, rate: int, format_name: str, bits: int) -> Iterator[Write]:
    """The headers are written first and again at the end, when the length is known;
    a file that cannot seek (a pipe, a device) gets the whole file at the end, spooled
    meanwhile in an unnamed temporary file."""
    if not _seekable(file):
        import shutil
        import tempfile

        with tempfile.TemporaryFile() as spool:
            with _encoder(spool, rate, format_name, bits) as spooled:
                yield spooled
            spool.seek(0)
            shutil.copyfileobj(spool, file)
            file.flush()
        return
    with (_flac if format_name == "flac" else _wav)(file, rate, bits) as write:
        yield write


@contextlib.contextmanager
def _wav(file: BinaryIO, rate: int, bits: int) -> Iterator[Write]:
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
    """Whether the file seeks as a regular file does: a device may say it seeks and not,
    and a file open for appending writes every header at its end."""
    try:
        seekable = bool(file.seekable())
    except (AttributeError, OSError, ValueError):
        return False
    try:
        descriptor = file.fileno()
        appending = fcntl.fcntl(descriptor, fcntl.F_GETFL) & os.O_APPEND
        return seekable and not appending and stat.S_ISREG(os.fstat(descriptor).st_mode)
    except (AttributeError, OSError, ValueError):  # an in-memory file
        return seekable


class _Kept:
    """The file as libsndfile writes it: the first error is kept, to be raised after
    libsndfile gives up, instead of being printed from inside its callback."""

    def __init__(self, file: BinaryIO) -> None:
        self.file = file
        self.error: Exception | None = None

    def write(self, data: bytes) -> int:
        return self._guarded(lambda: self.file.write(data), 0)

    def seek(self, offset: int, whence: int = 0) -> int:
        return self._guarded(lambda: self.file.seek(offset, whence), -1)

    def tell(self) -> int:
        return self._guarded(self.file.tell, -1)

    def _guarded(self, call: Callable[[], Any], failed: int) -> int:
        if self.error is not None:
            return failed
        try:
            return int(call())
        except Exception as error:
            self.error = error
            return failed

    @contextlib.contextmanager
    def libsndfile(self) -> Iterator[None]:
        """A call into libsndfile, whose failures (and the file's, kept) are OSErrors."""
        try:
            yield
        except (RuntimeError, AssertionError) as error:  # libsndfile's failed calls
            if self.error is not None:
                raise self.error from None
            raise OSError(getattr(error, "error_string", "") or str(error) or "the write failed") from None
        if self.error is not None:
            raise self.error


@contextlib.contextmanager
def _flac(file: BinaryIO, rate: int, bits: int) -> Iterator[Write]:
    try:
        import numpy as np
        import soundfile
    except ImportError:
        raise needs_extra("FLAC output") from None
    subtype = {16: "PCM_16", 24: "PCM_24"}[bits]
    kept = _Kept(file)
    with kept.libsndfile():
        encoder = soundfile.SoundFile(kept, "w", rate, 2, subtype, format="FLAC")

    def write(block: bytes) -> None:
        if bits == 16:
            frames = np.frombuffer(block, "<i2").reshape(-1, 2)
        else:  # three bytes a sample, little-endian: into the top of 32-bit integers, as libsndfile takes them
            octets = np.frombuffer(block, np.uint8).reshape(-1, 3).astype(np.int32)
            frames = ((octets[:, 0] << 8) | (octets[:, 1] << 16) | (octets[:, 2] << 24)).reshape(-1, 2)
        with kept.libsndfile():
            encoder.write(frames)
    try:
        yield write
    except BaseException:
        with contextlib.suppress(Exception):
            encoder.close()
        raise
    with kept.libsndfile():
        encoder.close()


@contextlib.contextmanager
def replacing(target: str) -> Iterator[str]:
    """The path of a temporary file beside `target` (its symlinks followed), renamed
    to it when the block ends without error; on any error, Ctrl-C included, the
    temporary file is removed and nothing appears at the path."""
    path, streamed = destination(target)
    if streamed:
        raise RenderError(f"{target}: is not a regular file; refusing to write to it")
    try:
        temporary = _new_part_file(path)
    except OSError as error:
        raise cannot_write(target, error) from None
    try:
        yield temporary
        os.chmod(temporary, _mode_for(path))  # the part file is made for its owner alone
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.remove(temporary)
        raise


def _mode_for(path: str) -> int:
    """The permissions of the file `path` replaces, or a new file's."""
    try:
        return stat.S_IMODE(os.stat(path).st_mode)
    except OSError:
        return 0o666 & ~UMASK


def _new_part_file(target: str) -> str:
    """A new, empty file .NAME.HOST.PID.XXXXXXXX.part beside `target`, only its owner
    may read. Host and process name its owner, so that a later run can tell a killed
    run's file from one still being written.

    tempfile.mkstemp would make the file, but importing tempfile costs the command's
    start-up more than a whole short render's writing."""
    folder, name = os.path.split(os.path.abspath(target))
    while True:
        path = os.path.join(folder, f"{_owner(name)}.{os.getpid()}.{os.urandom(4).hex()}{PART_SUFFIX}")
        try:
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
            return path
        except FileExistsError:
            continue


def remove_stale(targets: Iterable[str]) -> int:
    """Remove the temporary files that killed runs on this host left beside these
    outputs (beside what their symlinks name), once their owners are gone; return how many."""
    names_by_folder: dict[str, set[str]] = {}
    for target in targets:
        folder, name = os.path.split(os.path.realpath(target))
        names_by_folder.setdefault(folder, set()).add(_owner(name))
    removed = 0
    for folder, owners in names_by_folder.items():
        with contextlib.suppress(OSError), os.scandir(folder) as entries:
            for entry in entries:
                if _stale(entry.name, owners):
                    with contextlib.suppress(OSError):
                        os.remove(entry.path)
                        removed += 1
    return removed


def _owner(name: str) -> str:
    """.NAME.HOST of a part file, NAME cut so that the whole name stays within NAME_MAX."""
    room = NAME_MAX - len(f"..{HOST}.{'9' * 10}.{'0' * 8}{PART_SUFFIX}")
    return f".{name[:room]}.{HOST}"


def _stale(file_name: str, owners: set[str]) -> bool:
    if not file_name.endswith(PART_SUFFIX):
        return False
    # .NAME.HOST.PID.XXXXXXXX.part: the last two have no dots, NAME and HOST may.
    owner, _, pid = file_name[:-len(PART_SUFFIX)].rpartition(".")[0].rpartition(".")
    return owner in owners and pid.isdigit() and not _alive(int(pid))


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (PermissionError, OverflowError):
        return True  # another user's process, or a number no process has: leave it
    return True


def _current_umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


UMASK = _current_umask()  # read once, at import, before any thread of ours runs


def cannot_write(target: str, error: OSError) -> RenderError:
    return RenderError(f"{target}: cannot write ({error.strerror or error})")
