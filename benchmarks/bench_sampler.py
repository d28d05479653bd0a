"""Sampler.render(44100) and AudioSample construction vs the list floor.

Each timed render starts its voices afresh (notes below the sample's root,
so every voice sounds for the whole second) and clears them with panic().

Usage: python benchmarks/bench_sampler.py [--check]
"""
import math

import ostina
from timing import N, finish, floor_fn, paired, report

ROOT_NOTE = 60
# (voices, lowest note, target ratio vs list floor)
CASES = [(1, 48, None), (8, 48, 3.0), (32, 28, None)]
CONSTRUCTION_TARGET = None


def one_second():
    return [0.5 * math.sin(2.0 * math.pi * 220.0 * k / N) for k in range(N)]


def timed_render(voices, lowest):
    sampler = ostina.Sampler(ostina.AudioSample(one_second(), root_note=ROOT_NOTE), max_voices=voices)
    notes = range(lowest, lowest + voices)

    def run():
        for note in notes:
            sampler.note_on(note, 100)
        sampler.render(N)
        sampler.panic()

    return run


def main():
    floor = floor_fn(N)
    over = False
    for voices, lowest, target in CASES:
        t, base = paired(timed_render(voices, lowest), floor)
        over |= report(f"Sampler.render, {voices} voices", t, base, target)
    data = one_second()
    t, base = paired(lambda: ostina.AudioSample(data), floor)
    over |= report(f"AudioSample({N} floats)", t, base, CONSTRUCTION_TARGET)
    finish(over)


if __name__ == "__main__":
    main()
