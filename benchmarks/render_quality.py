"""Spectral purity of the synthesizer core: its four-point interpolation, and
the built-in instruments.

    python benchmarks/render_quality.py [--markdown] [--rate 44100]

Interpolation: a sine recorded at the output rate (1 kHz, then 5 kHz) plays
shifted by -24 to +24 semitones. Every spectral peak that is not the tone
is an image or an alias of the interpolation; the worst is reported
relative to the tone.

Instruments: the first program of every family plays every note up to
108 at full velocity, and the strongest peak that is not a partial of the
note is reported relative to the strongest peak; the target is -40 dB or
lower for notes up to 96. Partials are the whole multiples of the note's
frequency and, since a piano's are stretched, a series followed up the
spectrum from the fundamental: each partial is predicted by a stiff
string's law (a n + c n^3, fitted to the partials found below it) and is
the strongest peak within a main lobe of the prediction and 40 dB of the
loudest peak, or the prediction where there is none. A peak counts as a
partial within a main lobe of either.

- The families that sustain a note (organ, strings, ensemble, brass, reed,
  pipe and the synths) are measured from 50 ms to 250 ms after the
  note-on: before their delayed vibrato, which would smear high partials
  past any window's main lobe, and past the attacks of all but the pad and
  the effects, which are measured as they swell.
- The struck and plucked families (piano, harpsichord, chromatic
  percussion, guitar, bass, pizzicato, ethnic plucks) are measured in the
  first 100 ms after their attack, as they decay.

Each window is a Blackman-Harris window zero-padded to 16384 frames (or
taken whole where it is longer, at high rates). The notes reported are
those whose partials lie at least three main lobes apart, so that at least
a third of the spectrum between partials is seen: from 37 and 48 up.
"""
from __future__ import annotations

import argparse
import sys
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

from ostina_render._synth import Bank, Synthesizer

WINDOW = 16384
SETTLE_SECONDS = 0.25  # the interpolation's tones: past the attack


class Group(NamedTuple):
    title: str
    families: dict[str, int]
    start: float  # seconds after the note-on
    seconds: float
    lowest: int  # the lowest note whose partials lie three main lobes apart, so that a third of the spectrum is seen


GROUPS = [
    Group("50-250 ms", {"organ": 16, "strings": 40, "ensemble": 48, "brass": 56, "reed": 64, "pipe": 72,
                        "synth lead": 80, "synth pad": 88, "synth effects": 96}, 0.050, 0.200, 37),
    Group("first 100 ms", {"piano": 0, "harpsichord": 6, "chromatic percussion": 8, "guitar": 24, "bass": 32,
                           "pizzicato": 45, "ethnic plucks": 104}, 0.005, 0.100, 48),
]
ANCHOR_DB = 40.0
SHIFTS = [-24, -12, -7, 5, 12, 19, 24]
HIGHEST, TARGET_UP_TO = 108, 96
Signal = npt.NDArray[np.float64]


def blackman_harris(n: int) -> Signal:
    k = np.arange(n) * (2 * np.pi / (n - 1))
    return 0.35875 - 0.48829 * np.cos(k) + 0.14128 * np.cos(2 * k) - 0.01168 * np.cos(3 * k)


def played(synthesizer: Synthesizer, rate: int, start: float = SETTLE_SECONDS, frames: int = WINDOW) -> Signal:
    skipped = int(start * rate)
    audio = np.frombuffer(synthesizer.render(skipped + frames), np.float32).reshape(-1, 2)
    return audio[skipped:, 0].astype(np.float64)


def peaks_of(samples: Signal) -> tuple[npt.NDArray[np.intp], Signal, float]:
    """Spectral peaks (bins of a transform of WINDOW points, or of the window's own
    length where it is longer), the spectrum in dB, and half the window's main lobe
    in those bins."""
    size = max(WINDOW, len(samples))
    spectrum = np.abs(np.fft.rfft(samples * blackman_harris(len(samples)), size))
    level = 20 * np.log10(spectrum + 1e-300)
    peaks = np.flatnonzero((level[1:-1] > level[:-2]) & (level[1:-1] >= level[2:])) + 1
    lobe = 4 * size / len(samples) + 1
    return peaks[peaks > lobe], level, lobe  # DC aside


def followed_partials(peaks: npt.NDArray[np.intp], level: Signal, bins: float, lobe: float) -> Signal:
    """A series from the fundamental up. Partial n is predicted as a n + c n^3 (a stiff
    string's n sqrt(1 + B n^2), to its first terms) fitted to the partials found so far,
    and found as the strongest peak within ANCHOR_DB of the loudest and within a main
    lobe of the prediction (wider until three are found); where there is none the
    prediction stands, as at a partial that the strike point leaves out."""
    strong = peaks[level[peaks] > level[peaks].max() - ANCHOR_DB]
    found: list[tuple[int, float]] = []  # (partial number, place in bins), rising with the number
    series: list[float] = []
    number = 1
    while True:
        if len(found) >= 2:
            numbers = np.array([n for n, _ in found], dtype=np.float64)
            terms = np.stack([numbers, numbers**3], axis=1)
            places = np.array([at for _, at in found])
            a, c = np.linalg.lstsq(terms, places, rcond=None)[0]
            if c < 0:  # a string only stretches: fit a n alone, so the series keeps rising
                a, c = float(numbers @ places / (numbers @ numbers)), 0.0
            expected = a * number + c * number**3
        else:
            expected = number * (found[0][1] if found else bins)
        if expected >= len(level):
            return np.array(series)
        reach = lobe if len(found) >= 3 else max(lobe, 0.05 * bins)
        near = strong[np.abs(strong - expected) <= reach]
        if near.size:
            found.append((number, float(near[np.argmax(level[near])])))
        series.append(found[-1][1] if near.size else expected)
        number += 1


def worst_off(samples: Signal, hz: float, rate: int, partials: bool = False) -> float:
    """The strongest peak more than the window's main lobe away from `hz` (or, with
    `partials`, from every followed partial and every multiple of `hz`), in dB below
    the strongest peak."""
    peaks, level, lobe = peaks_of(samples)
    if peaks.size == 0:
        return -200.0  # silence: nothing is off
    bins = hz / (rate / (2 * (len(level) - 1)))
    if partials:
        multiples = np.arange(1, len(level) / bins + 1) * bins
        series = np.concatenate([followed_partials(peaks, level, bins, lobe), multiples])
        distance = np.abs(peaks[:, None] - series[None, :]).min(axis=1)
    else:
        distance = np.abs(peaks - bins)
    off = distance > lobe
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
            row.append(worst_off(played(synthesizer, rate), tone * 2 ** (shift / 12), rate))
        results[f"{tone / 1000:.0f} kHz sine"] = row
    return results


def instruments(rate: int, group: Group) -> dict[str, list[float]]:
    def note(program: int, key: int) -> float:
        synthesizer = Synthesizer(rate=rate)
        synthesizer.program_change(0, program)
        synthesizer.note_on(0, key, 127)
        audio = played(synthesizer, rate, group.start, round(group.seconds * rate))
        return worst_off(audio, 440.0 * 2 ** ((key - 69) / 12), rate, partials=True)
    keys = range(group.lowest, HIGHEST + 1)
    return {name: [note(program, key) for key in keys] for name, program in group.families.items()}


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
    worst = -200.0
    for group in GROUPS:
        split = TARGET_UP_TO - group.lowest + 1
        low_notes, high_notes = f"notes {group.lowest}-{TARGET_UP_TO}", f"notes {TARGET_UP_TO + 1}-{HIGHEST}"
        print(f"\n| family, {group.title} | worst, {low_notes} | worst, {high_notes} |\n|---|---|---|"
              if options.markdown else f"\n{group.title}")
        for name, values in instruments(options.rate, group).items():
            low, high = max(values[:split]), max(values[split:])
            worst = max(worst, low)
            print(f"| {name} | {low:.1f} dB | {high:.1f} dB |" if options.markdown
                  else f"{name:20s} {low_notes}: worst {low:6.1f} dB   {high_notes}: worst {high:6.1f} dB")
    print(f"\nworst for notes up to {TARGET_UP_TO}: {worst:.1f} dB (target -40 dB)")
    return 0 if worst <= -40 else 1


if __name__ == "__main__":
    sys.exit(main())
