"""AudioBuffer.to_list() of 44100 samples, distinct values and silence.

Usage: python benchmarks/bench_audio.py [--check] [--markdown]
"""
import random

import ostina
from timing import N, Case, floor_fn, numpy, run_cases

TARGET = 1.1


def buffer_of(values):
    buffer = ostina.AudioBuffer(len(values))
    for frame, value in enumerate(values):
        buffer.set_sample(frame, 0, value)
    return buffer


def case(name, values):
    buffer = buffer_of(values)
    numpy_run = numpy.array(values, dtype=numpy.float32).tolist if numpy is not None else None
    return Case(f"AudioBuffer.to_list, {name}", buffer.to_list, floor_fn(N), TARGET, numpy_run)


def cases():
    rng = random.Random(3)
    return [case("distinct values", [rng.uniform(-1.0, 1.0) for _ in range(N)]),
            case("silence", [0.0] * N)]


if __name__ == "__main__":
    run_cases(cases())
