"""Render Standard MIDI Files to audio with ostina's synthesizer core.

    >>> from ostina_render import read_song, render_file, render_array, RenderOptions

The core plays a General MIDI bank built from the engine's own oscillators
and noise, so a file renders with nothing else installed; any program or
drum note can be replaced by a sample file of the user's. A song may be a
path, bytes or a MIDI library's object held in memory (see `sources`);
`fluidsynth` stands in for pretty_midi's, and `listen`, `spectrogram` and
`Song.piano_roll` serve notebooks.

The names below load on first use, so that the command line can say which
extra is missing instead of failing on an import.
"""
from __future__ import annotations

import importlib

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:  # the same names, for type checkers
    from typing import Any

    from .dropin import fluidsynth as fluidsynth
    from .errors import RenderError as RenderError
    from .instruments import UserSample as UserSample
    from .notebook import listen as listen, spectrogram as spectrogram
    from .render import RenderOptions as RenderOptions, RenderReport as RenderReport
    from .render import render_array as render_array, render_file as render_file
    from .song import Controller as Controller, Note as Note, PitchBend as PitchBend
    from .song import ProgramChange as ProgramChange
    from .song import Song as Song, Track as Track, read_song as read_song
    from .timing import TempoChange as TempoChange, TempoMap as TempoMap

_HOMES = {
    "fluidsynth": "dropin", "RenderError": "errors", "UserSample": "instruments",
    "listen": "notebook", "spectrogram": "notebook",
    "RenderOptions": "render", "RenderReport": "render", "render_array": "render", "render_file": "render",
    "Controller": "song", "Note": "song", "PitchBend": "song", "ProgramChange": "song", "Song": "song", "Track": "song",
    "read_song": "song", "TempoChange": "timing", "TempoMap": "timing",
}
__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
