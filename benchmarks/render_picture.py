"""The README's picture: spectrograms of a real piece, ostina's built-in bank above and fluidsynth
playing TimGM6mb below, reverb and chorus off on both.

    python benchmarks/render_picture.py [--out docs/1390-spectrogram.png] [--seconds 20]

The piece is the piano piece in miditoolkit's wheel; matplotlib draws the figure.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import tempfile

import numpy as np

from render_fidelity import RATE, fluidsynth
from render_speed import SOUNDFONT, pieces

from ostina_render import RenderOptions, render_array

FFT, HOP = 2048, 512


def decibels(audio: np.ndarray) -> np.ndarray:
    """The power spectrogram of mono `audio` in dB under its loudest cell, floored at -90."""
    frames = 1 + (len(audio) - FFT) // HOP
    window = np.hanning(FFT)
    blocks = np.lib.stride_tricks.as_strided(audio, (frames, FFT), (audio.strides[0] * HOP, audio.strides[0]))
    power = np.abs(np.fft.rfft(blocks * window, axis=1)) ** 2
    level = 10 * np.log10(power + 1e-20)
    return np.maximum(level - level.max(), -90.0).T


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default="docs/1390-spectrogram.png")
    parser.add_argument("--seconds", type=float, default=20.0, help="how much of the piece to draw")
    options = parser.parse_args(arguments)
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        title, song = pieces(folder)[0]
        frames = round(options.seconds * RATE)
        ours = render_array(song, options=RenderOptions(reverb=False, chorus=False)).astype(np.float64).mean(axis=1)
        theirs = fluidsynth(song, SOUNDFONT, folder)
    figure, axes = plt.subplots(2, 1, figsize=(10, 6), sharex=True, constrained_layout=True)
    for axis, audio, player in ((axes[0], ours, "ostina-render, built-in bank"),
                                (axes[1], theirs, "fluidsynth, TimGM6mb")):
        image = axis.imshow(decibels(audio[:frames]), origin="lower", aspect="auto", cmap="magma",
                            extent=(0, frames / RATE, 0, RATE / 2000))
        axis.set_ylim(0, 8)
        axis.set_ylabel("kHz")
        axis.set_title(f"{title}: {player}")
    axes[1].set_xlabel("seconds")
    figure.colorbar(image, ax=axes, label="dB")
    figure.savefig(options.out, dpi=80)
    print(f"wrote {options.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
