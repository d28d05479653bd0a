"""A MIDI file's bytes, read with a bound, and the native reader's view of them."""
from __future__ import annotations

from . import _synth
from .errors import RenderError

MAX_MIDI_BYTES = 64 << 20  # larger inputs are refused: no MIDI file is this big, a device may be endless


def read_bytes(name: str, limit: int = MAX_MIDI_BYTES) -> bytes:
    """A MIDI file's bytes, at most `limit` of them; a file that is missing, unreadable,
    empty or larger raises RenderError."""
    try:
        with open(name, "rb") as file:
            data = file.read(limit + 1)
    except FileNotFoundError:
        raise RenderError(f"{name}: no such file") from None
    except IsADirectoryError:
        raise RenderError(f"{name}: is a folder, not a MIDI file") from None
    except OSError as error:
        raise RenderError(f"{name}: cannot read ({error.strerror or error})") from None
    return checked_bytes(name, data, limit)


def checked_bytes(name: str, data: bytes, limit: int = MAX_MIDI_BYTES) -> bytes:
    if not data:
        raise RenderError(f"{name}: empty file")
    if len(data) > limit:
        raise RenderError(f"{name}: larger than {_size(limit)}, the most a MIDI file may hold here")
    return data


def _size(count: int) -> str:
    return f"{count >> 20} MB" if count >= 1 << 20 else f"{count} bytes"


def parse(name: str, data: bytes) -> _synth.MidiFile:
    """The native reader's view of a file; damage raises RenderError naming the file."""
    try:
        return _synth.MidiFile(data)
    except ValueError as error:
        raise RenderError(f"{name}: {error}") from None
    except MemoryError:
        raise RenderError(f"{name}: not enough memory to read it") from None
