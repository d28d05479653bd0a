"""Renders a real piano piece from a MIDI file and draws its spectrogram.

    python examples/render_piece.py [FOLDER] [--midi FILE]

By default the piece is `1390.mid`, the example file that the miditoolkit
package ships (read from the installed package). The renderer's synthesizer
core plays it on its built-in General MIDI bank, made from ostina's
oscillators and noise.
Writes NAME.wav (44.1 kHz, 16-bit stereo) and, when matplotlib is installed,
NAME.png (a spectrogram of the first 20 seconds) into FOLDER (default out/).
"""
from __future__ import annotations

import argparse
import importlib.util
import pathlib
import sys

import numpy as np
import soundfile

from ostina_render import read_song, render_file


def bundled_piece() -> pathlib.Path:
    spec = importlib.util.find_spec("miditoolkit")
    if spec is None or not spec.submodule_search_locations:
        raise SystemExit("the default piece comes with miditoolkit: pip install miditoolkit, or pass --midi FILE")
    return pathlib.Path(spec.submodule_search_locations[0], "midi", "examples_data", "1390.mid")


def draw(wav: pathlib.Path, png: pathlib.Path, seconds: float = 20.0) -> bool:
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no spectrogram drawn")
        return False
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    audio, rate = soundfile.read(wav)
    mono = audio.mean(axis=1)
    start = int(np.flatnonzero(mono)[0]) if mono.any() else 0  # from the first sound
    mono = mono[start:start + int(seconds * rate)] + 1e-9  # a floor under silence for the logarithm
    figure, axes = plt.subplots(figsize=(9, 3.5), dpi=80)
    axes.specgram(mono, NFFT=2048, Fs=rate, noverlap=1024, cmap="magma", vmin=-140, xextent=(
        start / rate, start / rate + len(mono) / rate))
    axes.set(ylim=(0, 8000), xlabel="seconds", ylabel="Hz", title=f"{wav.stem}: ostina-render, built-in piano")
    figure.tight_layout()
    figure.savefig(png, metadata={"Software": None})
    plt.close(figure)
    return True


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", nargs="?", default="out", type=pathlib.Path)
    parser.add_argument("--midi", type=pathlib.Path, help="a MIDI file of your own")
    options = parser.parse_args(arguments)
    source = options.midi or bundled_piece()
    options.folder.mkdir(parents=True, exist_ok=True)
    wav = options.folder / f"{source.stem}.wav"
    song = read_song(source)
    print(f"{source.name}: {len(song.tracks)} tracks, {len(song.notes)} notes, {float(song.duration):.1f} s")
    print(render_file(song, wav).summary())
    if draw(wav, wav.with_suffix(".png")):
        print(f"spectrogram: {wav.with_suffix('.png')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
