"""Render Standard MIDI Files to audio with ostina's samplers and mixer.

    >>> from ostina_render import read_song, render_file, render_array, RenderOptions

The instruments are built from the toolkit's own oscillators and noise, so a
file renders with nothing else installed; any program or drum note can be
replaced by a sample file of the user's.

The names below load on first use, so that the command line can say which
extra is missing instead of failing on an import.
"""
from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from .errors import RenderError
    from .instruments import UserSample
    from .render import RenderOptions, RenderReport, render_array, render_file
    from .song import Controller, Note, ProgramChange, Song, Track, read_song
    from .timing import TempoChange, TempoMap

_HOMES = {
    "RenderError": "errors", "UserSample": "instruments",
    "RenderOptions": "render", "RenderReport": "render", "render_array": "render", "render_file": "render",
    "Controller": "song", "Note": "song", "ProgramChange": "song", "Song": "song", "Track": "song",
    "read_song": "song", "TempoChange": "timing", "TempoMap": "timing",
}
__all__ = sorted(_HOMES)


def __getattr__(name: str) -> Any:
    if name not in _HOMES:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    return getattr(importlib.import_module(f".{_HOMES[name]}", __name__), name)
