"""ostina_render.fluidsynth against pretty_midi's PrettyMIDI.fluidsynth, in the same run.

    python benchmarks/render_dropin.py [--rounds 3] [--markdown]

Needs pretty_midi and pyfluidsynth (pip install pretty_midi pyfluidsynth; the
latter loads Debian's libfluidsynth3), and librosa for the closeness figures.
Each piece of render_speed.py is read once with pretty_midi and rendered by
both calls at 44.1 kHz, both playing the TimGM6mb.sf2 in pretty_midi's wheel;
the best of `--rounds` in-process calls counts. For each piece:

- the rules the drop-in follows, checked on pretty_midi's own array: its
  dtype and shape, its peak (exactly 1), and its length against one second
  after the last note, controller or pitch bend of an instrument that plays
  notes (`int(fs * end) + fs`);
- how far the drop-in's length is from pretty_midi's, in samples;
- closeness by render_fidelity.py's measures (log-mel distance, chroma),
  with pretty_midi's array as the reference. pretty_midi leaves fluidsynth's
  reverb and chorus on, which the drop-in does not play.
"""
from __future__ import annotations

import argparse
import math
import pathlib
import sys
import tempfile
import time
from typing import Any

import numpy as np

from render_fidelity import RATE, Features, compare, note_onsets, row
from render_speed import pieces


def best_seconds(call: Any, rounds: int) -> tuple[float, Any]:
    best, result = math.inf, None
    for _ in range(rounds):
        began = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - began)
    return best, result


def expected_length(midi: Any) -> int:
    """One second after the last note, controller or pitch bend of an instrument that plays notes."""
    ends = [instrument.get_end_time() for instrument in midi.instruments if instrument.notes]
    return int(RATE * max(ends)) + RATE


def main(arguments: list[str] | None = None) -> int:
    import pretty_midi

    from ostina_render import fluidsynth

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    options = parser.parse_args(arguments)
    columns = ["piece", "pretty_midi s", "ostina s", "speed-up", "dtype, peak", "length rule",
               "length diff", "log-mel dB", "chroma"]
    print(row(columns, options.markdown))
    if options.markdown:
        print("|---|" + "---:|" * (len(columns) - 1))
    ratios = []
    with tempfile.TemporaryDirectory() as name:
        for title, path in pieces(pathlib.Path(name)):
            midi = pretty_midi.PrettyMIDI(str(path))
            theirs_s, theirs = best_seconds(lambda: midi.fluidsynth(fs=RATE), options.rounds)
            ours_s, ours = best_seconds(lambda: fluidsynth(midi, fs=RATE), options.rounds)
            ratios.append(theirs_s / ours_s)
            frames = len(theirs)
            figures = compare(Features(theirs, frames), Features(ours, frames), note_onsets(path))
            print(row([title, f"{theirs_s:.2f}", f"{ours_s:.2f}", f"{theirs_s / ours_s:.1f}x",
                       f"{theirs.dtype}, {np.abs(theirs).max():.3f}", f"{frames - expected_length(midi):+d}",
                       f"{len(ours) - frames:+d}", f"{figures['log-mel dB']:.1f}", f"{figures['chroma']:.3f}"],
                      options.markdown), flush=True)
    print(f"geometric mean speed-up: {math.prod(ratios) ** (1 / len(ratios)):.1f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
