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
spectrum from the fundamental, each the strongest peak about one spacing
above the last (a peak more than 40 dB down does not move the series).

- The families that sustain a note (organ, strings, ensemble, brass, reed,
  pipe and the synths) are measured from 50 ms to 250 ms after the
  note-on: past their attacks and before their delayed vibrato, which
  would smear high partials past any window's main lobe.
- The struck and plucked families (piano, harpsichord, chromatic
  percussion, guitar, bass, pizzicato, ethnic plucks) are measured in the
  first 100 ms after their attack, as they decay.

Each window is a Blackman-Harris window zero-padded to 16384 frames; the
notes whose partials it separates are reported (from 30 and 40 up).
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
    lowest: int  # the lowest note whose partials the window separates


GROUPS = [
    Group("50-250 ms", {"organ": 16, "strings": 40, "ensemble": 48, "brass": 56, "reed": 64, "pipe": 72,
                        "synth lead": 80, "synth pad": 88, "synth effects": 96}, 0.050, 0.200, 30),
    Group("first 100 ms", {"piano": 0, "harpsichord": 6, "chromatic percussion": 8, "guitar": 24, "bass": 32,
                           "pizzicato": 45, "ethnic plucks": 104}, 0.005, 0.100, 40),
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
    """Spectral peaks (bins of a WINDOW-point transform), the spectrum in dB, and
    half the window's main lobe in those bins."""
    spectrum = np.abs(np.fft.rfft(samples * blackman_harris(len(samples)), WINDOW))
    level = 20 * np.log10(spectrum + 1e-300)
    peaks = np.flatnonzero((level[1:-1] > level[:-2]) & (level[1:-1] >= level[2:])) + 1
    lobe = 4 * WINDOW / len(samples) + 1
    return peaks[peaks > lobe], level, lobe  # DC aside


def followed_partials(peaks: npt.NDArray[np.intp], level: Signal, bins: float) -> Signal:
    """A series from the fundamental up, each partial the strongest peak between 0.8
    and 1.25 spacings above the last (or one spacing above, where no peak within
    ANCHOR_DB of the strongest is), the spacing that of the last two."""
    strong = peaks[level[peaks] > level[peaks].max() - ANCHOR_DB]

    def strongest(low: float, high: float, otherwise: float) -> float:
        near = strong[(strong >= low) & (strong <= high)]
        return float(near[np.argmax(level[near])]) if near.size else otherwise

    series, spacing = [strongest(0.8 * bins, 1.25 * bins, bins)], bins
    while series[-1] + 0.8 * spacing < len(level):
        last = series[-1]
        partial = strongest(last + 0.8 * spacing, last + 1.25 * spacing, last + spacing)
        spacing = min(max(partial - last, 0.8 * bins), 2.0 * bins)
        series.append(partial)
    return np.array(series)


def worst_off(samples: Signal, hz: float, rate: int, partials: bool = False) -> float:
    """The strongest peak more than the window's main lobe away from `hz` (or, with
    `partials`, from every followed partial and every multiple of `hz`), in dB below
    the strongest peak."""
    peaks, level, lobe = peaks_of(samples)
    bins = hz / (rate / WINDOW)
    if partials:
        series = np.concatenate([followed_partials(peaks, level, bins), np.arange(1, len(level) / bins + 1) * bins])
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
