"""A drop-in for pretty_midi's `PrettyMIDI.fluidsynth`, rendered by the synthesizer core.

The array follows what pretty_midi returns, as measured by running it (see
benchmarks/render_dropin.py): one channel (fluidsynth's left), float64,
scaled so that its peak is exactly 1, one second longer than the last note,
or controller or pitch bend of an instrument that plays notes, and empty for
a song without notes.
"""
from __future__ import annotations

import importlib.util
import math
import numbers
import os
import sys
from fractions import Fraction

from .render import RenderOptions, render_array
from .song import read_song

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    import numpy as np
    import numpy.typing as npt

    from .song import Song
    from .sources import Source

RING_SECONDS = 1  # how long pretty_midi lets the last events ring


def fluidsynth(midi: Source, fs: int = 44100, sf2_path: str | os.PathLike[str] | None = None
               ) -> npt.NDArray[np.float64]:
    """`midi` (a PrettyMIDI or anything `read_song` reads) at `fs` Hz, as pretty_midi's
    `fluidsynth` returns it. `sf2_path` None plays the soundfont in pretty_midi's wheel
    when pretty_midi is installed, else the built-in bank."""
    import numpy as np

    if isinstance(fs, numbers.Integral) or (isinstance(fs, float) and float(fs).is_integer()):
        fs = int(fs)  # pretty_midi takes numpy's integers and 22050.0 too
    song = read_song(midi)
    if not song.notes:
        return np.array([])
    frames = math.floor(fs * _last_event_seconds(midi, song)) + fs * RING_SECONDS
    options = RenderOptions(rate=fs, soundfont=sf2_path if sf2_path is not None else pretty_midi_soundfont())
    left = render_array(song, end=frames / fs, options=options)[:, 0].astype(np.float64)
    audio = np.pad(left, (0, frames - len(left)))
    peak = np.abs(audio).max()
    return audio / peak if peak > 0 else audio


def _last_event_seconds(midi: Source, song: Song) -> Fraction | float:
    """When the latest note ends, or the latest controller or pitch bend of a track's
    channel that plays notes comes, as pretty_midi counts an instrument's end: as a
    PrettyMIDI's instruments say, unrounded to the ticks its MIDI file is written in."""
    pretty_midi = sys.modules.get("pretty_midi")
    if pretty_midi is not None and isinstance(midi, pretty_midi.PrettyMIDI):
        return max(float(instrument.get_end_time()) for instrument in midi.instruments if instrument.notes)
    playing = {(note.track, note.channel) for note in song.notes}
    ticks = [note.end_tick for note in song.notes]
    ticks += [event.tick for events in (song.controllers, song.pitch_bends) for event in events
              if (event.track, event.channel) in playing]
    return song.seconds(max(ticks))


def pretty_midi_soundfont() -> str | None:
    """The General MIDI soundfont in pretty_midi's wheel, found without importing pretty_midi."""
    spec = importlib.util.find_spec("pretty_midi")
    for folder in (spec.submodule_search_locations or []) if spec else []:
        path = os.path.join(folder, "TimGM6mb.sf2")
        if os.path.isfile(path):
            return path
    return None
