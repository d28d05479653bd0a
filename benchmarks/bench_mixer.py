"""Mixer.mix_down of 8 channels x 44100 frames, given as lists and as numpy
arrays, against the floor of its 88200-float output list.

The numpy reference pans and sums the same channels with whole-array float32
operations and ends in .tolist(); the last case times reading the input
lists alone (a mix_down refused for its channel count after converting).

Usage: python benchmarks/bench_mixer.py [--check] [--markdown]
"""
import random

import ostina
from timing import N, Case, floor_fn, numpy, run_cases

CHANNELS = 8


def pans():
    return [c / (CHANNELS - 1) * 2 - 1 for c in range(CHANNELS)]


def mixer_with(channels):
    mixer = ostina.Mixer()
    for c, pan in zip(range(channels), pans() + [0.0]):
        mixer.add_channel(f"ch{c}")
        mixer.set_channel_pan(c, pan)
    return mixer


def numpy_mix(buffers):
    gain = numpy.float32(0.8)
    theta = [numpy.float32((pan + 1.0) * 0.25) * numpy.float32(numpy.pi) for pan in pans()]
    factors = [(numpy.cos(t, dtype=numpy.float32), numpy.sin(t, dtype=numpy.float32)) for t in theta]

    def run():
        out = numpy.zeros(2 * N, dtype=numpy.float32)
        for buffer, (left, right) in zip(buffers, factors):
            v = numpy.asarray(buffer, dtype=numpy.float32) * gain
            out[0::2] += v * left
            out[1::2] += v * right
        return (out * gain).tolist()

    return run


def cases():
    rng = random.Random(7)
    lists = [[rng.uniform(-1.0, 1.0) for _ in range(N)] for _ in range(CHANNELS)]
    mixer = mixer_with(CHANNELS)
    floor = floor_fn(2 * N)
    found = [Case(f"Mixer.mix_down, {CHANNELS} list channels", lambda: mixer.mix_down(lists), floor, 2.3,
                  numpy_mix(lists) if numpy is not None else None)]
    if numpy is not None:
        arrays = [numpy.array(buffer, dtype=numpy.float32) for buffer in lists]
        found.append(Case(f"Mixer.mix_down, {CHANNELS} numpy channels", lambda: mixer.mix_down(arrays), floor, 1.3,
                          numpy_mix(arrays)))
    reader = mixer_with(CHANNELS + 1)

    def read_only():
        try:
            reader.mix_down(lists)
        except ValueError:
            pass

    found.append(Case(f"  of which reading the {CHANNELS} lists", read_only, floor))
    return found


if __name__ == "__main__":
    run_cases(cases())
