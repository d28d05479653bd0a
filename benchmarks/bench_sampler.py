"""Sampler.render(44100) with 1, 8 and 32 voices, and AudioSample construction.

Each timed render starts its voices afresh (notes below the sample's root,
so every voice sounds for the whole second) and clears them with panic().
The numpy reference renders the same voices with whole-array operations:
linear interpolation at each voice's rate under the attack/decay/sustain
ramp, summed and clipped.

Usage: python benchmarks/bench_sampler.py [--check] [--markdown]
"""
import math

import ostina
from timing import N, Case, floor_fn, numpy, run_cases

ROOT_NOTE = 60
# (voices, lowest note, target ratio to the list floor)
RENDERS = [(1, 48, None), (8, 48, 2.5), (32, 28, None)]


def one_second():
    return [0.5 * math.sin(2.0 * math.pi * 220.0 * k / N) for k in range(N)]


def timed_render(data, voices, lowest):
    sampler = ostina.Sampler(ostina.AudioSample(data, root_note=ROOT_NOTE), max_voices=voices)
    notes = range(lowest, lowest + voices)

    def run():
        for note in notes:
            sampler.note_on(note, 100)
        sampler.render(N)
        sampler.panic()

    return run


def numpy_render(data, voices, lowest):
    table = numpy.array(data, dtype=numpy.float32)
    frames = numpy.arange(N, dtype=numpy.float64)
    attack, decay, sustain = 0.005, 0.1, 0.8
    notes = range(lowest, lowest + voices)
    increments = [2.0 ** ((note - ROOT_NOTE) / 12) for note in notes]

    def run():
        t = frames / N
        level = numpy.where(t < attack, t / attack,
                            numpy.maximum(1.0 - (t - attack) / decay * (1.0 - sustain), sustain))
        total = numpy.zeros(N, dtype=numpy.float32)
        for increment in increments:
            position = frames * increment
            index = position.astype(numpy.int64)
            playing = index < len(table) - 1
            index = numpy.minimum(index, len(table) - 2)
            frac = (position - index).astype(numpy.float32)
            value = (table[index + 1] - table[index]) * frac + table[index]
            total += numpy.where(playing, value * (level * (100 / 127)).astype(numpy.float32), 0)
        return numpy.clip(total, -1.0, 1.0).tolist()

    return run


def cases():
    data = one_second()
    floor = floor_fn(N)
    found = [Case(f"Sampler.render, {voices} voice{'s' if voices > 1 else ''}", timed_render(data, voices, lowest),
                  floor, target, numpy_render(data, voices, lowest) if numpy is not None else None)
             for voices, lowest, target in RENDERS]
    found.append(Case(f"AudioSample from a list", lambda: ostina.AudioSample(data), floor, 0.4,
                      (lambda: numpy.array(data, dtype=numpy.float32)) if numpy is not None else None))
    if numpy is not None:
        array = numpy.array(data, dtype=numpy.float32)
        found.append(Case("AudioSample from a numpy float32 array", lambda: ostina.AudioSample(array), floor, 0.05,
                          lambda: numpy.array(array)))
    return found


if __name__ == "__main__":
    run_cases(cases())
