"""Mixer.mix_down of 8 channels x 44100 frames (lists of floats) vs the list
floor of its 88200-float output, with the share spent reading the input.

Usage: python benchmarks/bench_mixer.py [--check]
The reading share is informational only (never gated by --check).
"""
import random

import ostina
from timing import N, finish, floor_fn, paired, report

CHANNELS = 8
TARGET = 3.0


def mixer_with(channels):
    mixer = ostina.Mixer()
    for c in range(channels):
        mixer.add_channel(f"ch{c}")
        mixer.set_channel_pan(c, c / (channels - 1) * 2 - 1)
    return mixer


def main():
    rng = random.Random(7)
    buffers = [[rng.uniform(-1.0, 1.0) for _ in range(N)] for _ in range(CHANNELS)]
    mixer = mixer_with(CHANNELS)
    # One channel too many: mix_down converts every buffer, then refuses the
    # count before mixing, so this times the reading of the input alone.
    reader = mixer_with(CHANNELS + 1)

    def mix():
        return mixer.mix_down(buffers)

    def read_only():
        try:
            reader.mix_down(buffers)
        except ValueError:
            pass

    t, base = paired(mix, floor_fn(2 * N))
    over = report(f"Mixer.mix_down {CHANNELS}x{N}", t, base, TARGET)
    t_mix, t_read = paired(mix, read_only)
    print(f"{'':<34} reading the input lists: {t_read * 1e6:9.1f} us = {t_read / t_mix:5.1%} of mix_down")
    finish(over)


if __name__ == "__main__":
    main()
