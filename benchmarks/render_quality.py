"""Spectral purity of the renderer's built-in pitched instruments.

    python benchmarks/render_quality.py [--markdown] [--rate 44100]

Every pitched program family (not the drums, the percussive family or the
sound effects) plays every note from 21 to 108 on a sampler of its zone. In
the sustained part of each note, under a Blackman-Harris window, the script
finds the strongest spectral peak that is not a partial (a whole multiple of
the note's frequency) and reports it relative to the strongest peak. Aliases
of harmonics and interpolation images land off the partials; the target is
-40 dB or lower for notes up to 96.
"""
from __future__ import annotations

import argparse
import sys

import numpy as np
import numpy.typing as npt

from ostina import Sampler
from ostina_render import instruments

WINDOW = 16384
SETTLE_SECONDS = 0.25  # past every attack and most of the decay's start
PITCHED_FAMILIES = [i for i, family in enumerate(instruments.FAMILIES)
                    if family.name not in ("percussive", "sound effects")]
LOWEST, HIGHEST, TARGET_UP_TO = 21, 108, 96


def blackman_harris(n: int) -> npt.NDArray[np.float64]:
    k = np.arange(n) * (2 * np.pi / (n - 1))
    return 0.35875 - 0.48829 * np.cos(k) + 0.14128 * np.cos(2 * k) - 0.01168 * np.cos(3 * k)


def render_note(family: int, note: int, rate: int) -> npt.NDArray[np.float64]:
    sound = instruments.pitched_zone(family, instruments.zone_of(note), rate)
    sampler = Sampler(sound.sample, sample_rate=rate, max_voices=1)
    sampler.set_envelope(sound.envelope)
    sampler.note_on(note, 127)
    settle = int(SETTLE_SECONDS * rate)
    return np.asarray(sampler.render(settle + WINDOW)[settle:])


def worst_off_partial(samples: npt.NDArray[np.float64], note: int, rate: int) -> float:
    """The strongest peak off the partials, in dB below the strongest peak."""
    spectrum = np.abs(np.fft.rfft(samples * blackman_harris(len(samples))))
    level = 20 * np.log10(spectrum + 1e-300)
    peaks = np.flatnonzero((level[1:-1] > level[:-2]) & (level[1:-1] >= level[2:])) + 1
    strongest = level[peaks].max()
    bin_hz = rate / len(samples)
    f0_bins = instruments.note_hz(note) / bin_hz
    nearest_partial = np.maximum(np.round(peaks / f0_bins), 1) * f0_bins
    off = np.abs(peaks - nearest_partial) > 5  # the window's main lobe is 4 bins wide each side
    off &= peaks > 5  # DC
    return float(level[peaks[off]].max() - strongest) if off.any() else -200.0


def measure(rate: int) -> dict[str, list[float]]:
    return {instruments.FAMILIES[f].name: [worst_off_partial(render_note(f, n, rate), n, rate)
                                          for n in range(LOWEST, HIGHEST + 1)] for f in PITCHED_FAMILIES}


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=int, default=44100)
    parser.add_argument("--markdown", action="store_true", help="print the README table")
    options = parser.parse_args(arguments)
    results = measure(options.rate)
    split = TARGET_UP_TO - LOWEST + 1
    if options.markdown:
        print("| family | worst, notes 21-96 | worst, notes 97-108 |")
        print("|---|---|---|")
    worst = -200.0
    for name, values in results.items():
        low, high = max(values[:split]), max(values[split:])
        worst = max(worst, low)
        at = LOWEST + int(np.argmax(values[:split]))
        if options.markdown:
            print(f"| {name} | {low:.1f} dB | {high:.1f} dB |")
        else:
            print(f"{name:22s} notes 21-96: worst {low:6.1f} dB (note {at})   notes 97-108: worst {high:6.1f} dB")
    print(f"\nworst for notes up to {TARGET_UP_TO}: {worst:.1f} dB (target -40 dB)")
    return 0 if worst <= -40 else 1


if __name__ == "__main__":
    sys.exit(main())
