"""render_to_buffer(44100) of the four signal sources.

Usage: python benchmarks/bench_oscillator.py [--check] [--markdown]
The numpy references compute the same signals with whole-array operations
(the noise one draws from numpy's own generator: a 64-bit LCG does not
vectorise) and end in .tolist().
"""
import ostina
from timing import N, Case, floor_fn, numpy, run_cases

# (class, target ratio to the list floor)
SOURCES = [(ostina.SineOscillator, 1.9), (ostina.SquareOscillator, 1.2),
           (ostina.SawOscillator, 1.2), (ostina.NoiseSource, 1.2)]


def phases(source):
    return (numpy.arange(N, dtype=numpy.float64) * (source.frequency / source.sample_rate)) % 1.0


def numpy_render(source):
    name = type(source).__name__
    if name == "SineOscillator":
        return lambda: (numpy.sin(phases(source) * 2 * numpy.pi) * source.amplitude).astype(numpy.float32).tolist()
    if name == "SquareOscillator":
        return lambda: (numpy.where(phases(source) < 0.5, 1.0, -1.0) * source.amplitude).astype(numpy.float32).tolist()
    if name == "SawOscillator":
        return lambda: ((2 * phases(source) - 1) * source.amplitude).astype(numpy.float32).tolist()
    generator = numpy.random.default_rng(42)
    return lambda: ((generator.random(N, dtype=numpy.float32) * 2 - 1) * source.amplitude).tolist()


def cases():
    found = []
    for make, target in SOURCES:
        source = make()  # keeps its phase from one render to the next, as in use
        numpy_run = numpy_render(source) if numpy is not None else None
        found.append(Case(f"{make.__name__}.render_to_buffer", lambda s=source: s.render_to_buffer(N),
                          floor_fn(N), target, numpy_run))
    return found


if __name__ == "__main__":
    run_cases(cases())
