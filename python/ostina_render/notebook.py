"""Listening and looking in a notebook: a player for a render, a piano roll and a spectrogram.

IPython and matplotlib (the notebook extra) are imported only here, when used.
"""
from __future__ import annotations

import importlib
import numbers

from .errors import RenderError, needs_extra
from .render import RenderOptions, render_array

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from typing import Any

    import numpy.typing as npt
    from IPython.display import Audio
    from matplotlib.figure import Figure

    from .song import Song
    from .sources import Source

SPECTROGRAM_FFT = 2048
SPECTROGRAM_OVERLAP = 1536
SPECTROGRAM_FLOOR_DB = -120  # the colour scale's bottom


def listen(source: Source, start: float | None = None, end: float | None = None,
           options: RenderOptions | None = None) -> Audio:
    """A player for the render of `source` (anything `read_song` reads) from `start` to
    `end` seconds, scaled so that the whole song peaks at -1 dBFS unless `options` are
    given, which then say (`normalize`); a bar shows the rendering."""
    display = _needs("IPython.display", "listen")
    import numpy as np

    options = options or RenderOptions(normalize=True)
    audio = render_array(source, start or 0.0, end, options, progress=True)
    if not len(audio):
        empty = end is not None and end <= (start or 0.0)
        raise RenderError(f"nothing to play from {start or 0} s to {end} s" if empty else
                          f"nothing to play from {start or 0} s: the song has stopped ringing by then")
    player: Audio = display.Audio(np.clip(audio, -1.0, 1.0).T, rate=options.rate, normalize=False)
    return player


def piano_roll(song: Song) -> Figure:
    """The song's notes as bars over seconds under its tempo map, a colour for each track."""
    pyplot = _needs("matplotlib.pyplot", "a piano roll")
    figure, axes = _figure(pyplot)
    for track in song.tracks:
        notes = [note for note in song.notes if note.track == track.index]
        if notes:
            starts = [float(song.seconds(note.start_tick)) for note in notes]
            ends = [float(song.seconds(note.end_tick)) for note in notes]
            axes.barh([note.pitch for note in notes], [end - start for start, end in zip(starts, ends)],
                      left=starts, height=0.8, edgecolor="white", linewidth=0.3,  # notes in a row stay apart
                      label=track.name or f"track {track.index}")
    axes.set(xlabel="seconds", ylabel="MIDI note", title=song.path)
    if song.notes:
        axes.legend(loc="upper right", fontsize="small")
    return figure


def spectrogram(audio: npt.ArrayLike, rate: int) -> Figure:
    """The spectrogram of `audio` (frames, or frames by channels or channels by frames, mixed
    to one): power in dB."""
    pyplot = _needs("matplotlib.pyplot", "a spectrogram")
    import numpy as np

    samples = np.asarray(audio, dtype=np.float64)
    if samples.ndim not in (1, 2):
        raise RenderError(f"audio must be frames, or frames by channels, not an array of shape {samples.shape}")
    if not (isinstance(rate, numbers.Real) and rate > 0):
        raise RenderError(f"rate must be a positive number of frames a second, not {rate!r}")
    # Mixed across the shorter side: frames by channels as render_array gives, or channels by frames
    mono = samples.mean(axis=int(samples.shape[1] < samples.shape[0])) if samples.ndim == 2 else samples
    mono = np.pad(mono, (0, max(0, SPECTROGRAM_FFT - len(mono))))  # a short sound still fills a frame
    figure, axes = _figure(pyplot)
    colours = pyplot.colormaps["magma"]
    with np.errstate(divide="ignore"):  # silence is -inf dB, drawn as the floor's colour
        _, _, _, image = axes.specgram(mono, NFFT=SPECTROGRAM_FFT, Fs=rate, noverlap=SPECTROGRAM_OVERLAP,
                                       vmin=SPECTROGRAM_FLOOR_DB, cmap=colours.with_extremes(bad=colours(0)))
    axes.set(xlabel="seconds", ylabel="Hz")
    figure.colorbar(image, ax=axes, label="dB")
    return figure


def _figure(pyplot: Any) -> tuple[Figure, Any]:
    """A figure that Jupyter shows when a cell returns it: made by pyplot, which registers
    the notebook's image format, and closed there, so that it is not drawn twice."""
    figure, axes = pyplot.subplots(figsize=(10, 4), layout="constrained")
    pyplot.close(figure)
    return figure, axes


def _needs(module: str, what: str) -> Any:
    try:
        return importlib.import_module(module)
    except ImportError:
        raise needs_extra(what, "notebook") from None
