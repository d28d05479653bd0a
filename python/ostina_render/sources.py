"""What a song may be given as, turned into a MIDI file's name and bytes.

A path, a Song, a MIDI file's bytes or a binary file object; or an object of
a MIDI library the caller has imported, written as a MIDI file in memory by
that library's own writer. A library is recognised only when it is already
in `sys.modules`, so that no check imports one.
"""
from __future__ import annotations

import importlib
import io
import os
import sys
from collections.abc import Callable

from .errors import RenderError
from .reading import MAX_MIDI_BYTES, checked_bytes, read_bytes

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from typing import Any, TypeAlias

    # A path, a Song, bytes, a binary file or a mido, pretty_midi, miditoolkit, symusic or music21 object
    Source: TypeAlias = Any

ACCEPTED = ("a path, a Song, a MIDI file's bytes or binary file object, or a mido.MidiFile, "
            "pretty_midi.PrettyMIDI, miditoolkit.MidiFile, symusic.Score or music21 stream")


def _write_music21(stream: Any) -> bytes:
    translate = importlib.import_module("music21.midi.translate")
    return bytes(translate.music21ObjectToMidiFile(stream).writestr())


def _written_to_file(write: Callable[[Any, io.BytesIO], object]) -> Callable[[Any], bytes]:
    def written(thing: Any) -> bytes:
        buffer = io.BytesIO()
        write(thing, buffer)
        return buffer.getvalue()
    return written


# (module, class path within it, its writer as bytes)
WRITERS: tuple[tuple[str, str, Callable[[Any], bytes]], ...] = (
    ("mido", "MidiFile", _written_to_file(lambda midi, file: midi.save(file=file))),
    ("pretty_midi", "PrettyMIDI", _written_to_file(lambda midi, file: midi.write(file))),
    ("miditoolkit", "MidiFile", _written_to_file(lambda midi, file: midi.dump(file=file))),
    ("symusic", "Score", lambda score: bytes(score.dumps_midi())),
    ("music21", "stream.Stream", _write_music21),
)


def midi_bytes(source: Source, limit: int = MAX_MIDI_BYTES, data: bytes | None = None) -> tuple[str, bytes]:
    """The name that messages give `source`, and its MIDI file's bytes (at most `limit`):
    `data` when given, read elsewhere, which the path `source` then only names."""
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        if not isinstance(name, str):
            raise RenderError(f"a path is a str, not {type(name).__name__}: {name!r}")
        return name, read_bytes(name, limit) if data is None else checked_bytes(name, data, limit)
    from .song import Song  # after paths, which the command's start-up then does without

    if data is not None:
        raise RenderError(f"bytes read elsewhere are named by a path, not by a {type(source).__name__}")
    if isinstance(source, Song):
        return source.path, checked_bytes(source.path, source.data, limit)
    if isinstance(source, (bytes, bytearray, memoryview)):
        return "<bytes>", checked_bytes("<bytes>", bytes(source), limit)
    if hasattr(source, "read"):
        return _from_file(source, limit)
    for module, path, write in WRITERS:
        kind = _library_class(module, path)
        if kind is not None and isinstance(source, kind):
            return _written(source, f"<{module}.{type(source).__name__}>", write, limit)
    raise RenderError(f"{type(source).__name__} is not a song: give {ACCEPTED}")


def _library_class(module: str, path: str) -> Any:
    """The class (or what checks for it, as symusic's Score) when `module` was imported."""
    found: Any = sys.modules.get(module)
    for part in path.split(".") if found is not None else ():
        found = getattr(found, part, None)
    return found if hasattr(found, "__instancecheck__") else None


def _written(thing: Any, name: str, write: Callable[[Any], bytes], limit: int) -> tuple[str, bytes]:
    try:
        data = write(thing)
    except Exception as error:  # the library's own failure, said in its words
        raise RenderError(f"{name}: its library could not write it as MIDI ({error})") from None
    return name, checked_bytes(name, data, limit)


def _from_file(file: Any, limit: int) -> tuple[str, bytes]:
    label = getattr(file, "name", None)
    name = label if isinstance(label, str) else "<file>"
    if isinstance(file, io.TextIOBase):
        raise RenderError(f"{name}: opened as text; open the MIDI file with 'rb'")
    try:
        data = file.read(limit + 1)
    except Exception as error:  # a file object may be anything with a read method
        raise RenderError(f"{name}: cannot read ({getattr(error, 'strerror', None) or error!r})") from None
    if not isinstance(data, bytes):
        raise RenderError(f"{name}: gave {type(data).__name__}, not bytes; open the MIDI file with 'rb'")
    return name, checked_bytes(name, data, limit)
