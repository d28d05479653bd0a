"""Spectral purity of the synthesizer core: its four-point interpolation, and
the built-in sustained instruments.

    python benchmarks/render_quality.py [--markdown] [--rate 44100]

Interpolation: a sine recorded at the output rate (1 kHz, then 5 kHz) plays
shifted by -24 to +24 semitones. Every spectral peak that is not the tone
is an image or an alias of the interpolation; the worst is reported
relative to the tone.

Instruments: the first program of every family that sustains a note
(organ, strings, ensemble, brass, reed, pipe and the synths) plays every
note from 21 to 108 at full velocity. From 0.25 s into each note, the
strongest peak that is not a partial (a whole multiple of the note's
frequency) is reported relative to the strongest peak; the target is
-40 dB or lower for notes up to 96. (The struck and plucked families decay
through such a window, which smears any measure of this kind.)

Every measure takes a Blackman-Harris window of 16384 frames.
"""
from __future__ import annotations

import argparse
import sys

import numpy as np
import numpy.typing as npt

from ostina_render._synth import Bank, Synthesizer

WINDOW = 16384
SETTLE_SECONDS = 0.25  # past every attack
SUSTAINED = {"organ": 16, "strings": 40, "ensemble": 48, "brass": 56, "reed": 64, "pipe": 72, "synth lead": 80,
             "synth pad": 88, "synth effects": 96}
SHIFTS = [-24, -12, -7, 5, 12, 19, 24]
LOWEST, HIGHEST, TARGET_UP_TO = 21, 108, 96
Signal = npt.NDArray[np.float64]


def blackman_harris(n: int) -> Signal:
    k = np.arange(n) * (2 * np.pi / (n - 1))
    return 0.35875 - 0.48829 * np.cos(k) + 0.14128 * np.cos(2 * k) - 0.01168 * np.cos(3 * k)


def played(synthesizer: Synthesizer, rate: int) -> Signal:
    settle = int(SETTLE_SECONDS * rate)
    audio = np.frombuffer(synthesizer.render(settle + WINDOW), np.float32).reshape(-1, 2)
    return audio[settle:, 0].astype(np.float64)


def peaks_of(samples: Signal) -> tuple[npt.NDArray[np.intp], Signal]:
    spectrum = np.abs(np.fft.rfft(samples * blackman_harris(len(samples))))
    level = 20 * np.log10(spectrum + 1e-300)
    peaks = np.flatnonzero((level[1:-1] > level[:-2]) & (level[1:-1] >= level[2:])) + 1
    return peaks[peaks > 5], level  # DC aside


def worst_off(samples: Signal, hz: float, rate: int, partials: bool) -> float:
    """The strongest peak more than the window's main lobe away from `hz` (or, with
    `partials`, from every multiple of it), in dB below the strongest peak."""
    peaks, level = peaks_of(samples)
    bins = hz / (rate / len(samples))
    nearest = np.maximum(np.round(peaks / bins), 1) * bins if partials else bins
    off = np.abs(peaks - nearest) > 5  # the window's main lobe is 4 bins wide each side
    return float(level[peaks[off]].max() - level[peaks].max()) if off.any() else -200.0


def interpolation(rate: int) -> dict[str, list[float]]:
    results = {}
    for tone in (1000.0, 5000.0):
        cycles = 400
        frames = round(cycles * rate / tone)
        tone = cycles * rate / frames  # whole cycles in the loop
        bank = Bank()
        sample = bank.add_sample(np.sin(2 * np.pi * tone * np.arange(frames) / rate), rate, 60, 0, 0, frames)
        bank.add_preset(0, 0, [(bank.add_instrument([(sample, [("sampleModes", 1)])]), [])])
        row = []
        for shift in SHIFTS:
            synthesizer = Synthesizer([bank], builtin=False, rate=rate)
            synthesizer.note_on(0, 60 + shift, 127)
            row.append(worst_off(played(synthesizer, rate), tone * 2 ** (shift / 12), rate, partials=False))
        results[f"{tone / 1000:.0f} kHz sine"] = row
    return results


def instruments(rate: int) -> dict[str, list[float]]:
    def note(program: int, key: int) -> float:
        synthesizer = Synthesizer(rate=rate)
        synthesizer.program_change(0, program)
        synthesizer.note_on(0, key, 127)
        return worst_off(played(synthesizer, rate), 440.0 * 2 ** ((key - 69) / 12), rate, partials=True)
    return {name: [note(program, key) for key in range(LOWEST, HIGHEST + 1)] for name, program in SUSTAINED.items()}


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=int, default=44100)
    parser.add_argument("--markdown", action="store_true", help="print the README tables")
    options = parser.parse_args(arguments)
    shifts = " | ".join(f"{shift:+d}" for shift in SHIFTS)
    print(f"| interpolation, semitones | {shifts} |" if options.markdown else f"interpolation: {SHIFTS}")
    if options.markdown:
        print("|---|" + "---:|" * len(SHIFTS))
    for name, row in interpolation(options.rate).items():
        cells = " | ".join(f"{value:.0f} dB" for value in row)
        print(f"| {name} | {cells} |" if options.markdown else f"{name:14s} {cells}")
    split = TARGET_UP_TO - LOWEST + 1
    print("\n| family | worst, notes 21-96 | worst, notes 97-108 |\n|---|---|---|" if options.markdown else "")
    worst = -200.0
    for name, values in instruments(options.rate).items():
        low, high = max(values[:split]), max(values[split:])
        worst = max(worst, low)
        print(f"| {name} | {low:.1f} dB | {high:.1f} dB |" if options.markdown
              else f"{name:14s} notes 21-96: worst {low:6.1f} dB   notes 97-108: worst {high:6.1f} dB")
    print(f"\nworst for notes up to {TARGET_UP_TO}: {worst:.1f} dB (target -40 dB)")
    return 0 if worst <= -40 else 1


if __name__ == "__main__":
    sys.exit(main())
