"""Oscillator/noise render_to_buffer(44100) vs the list floor, plus numpy.

Usage: python benchmarks/bench_oscillator.py [--check]
The numpy comparison is informational only (never gated by --check).
"""
import ostina
from timing import N, finish, floor_fn, paired, report

try:
    import numpy as np
except ImportError:  # numpy is optional
    np = None

# (name, factory, target ratio vs list floor)
CASES = [
    ("SineOscillator", ostina.SineOscillator, 2.0),
    ("SquareOscillator", ostina.SquareOscillator, 1.3),
    ("SawOscillator", ostina.SawOscillator, 1.3),
    ("NoiseSource", ostina.NoiseSource, 1.3),
]


def numpy_impls(src, n):
    """numpy versions of the same signals, each ending in .tolist()."""
    sr = getattr(src, "sample_rate", 44100)
    inc = getattr(src, "frequency", 440.0) / sr
    amp = src.amplitude
    steps = np.arange(n, dtype=np.float64) * inc  # precomputed accumulation

    def phase():
        return steps % 1.0

    def sine():
        return (np.sin((phase() * 2) * np.pi) * amp).astype(np.float32).tolist()

    def square():
        return (np.where(phase() < 0.5, 1.0, -1.0) * amp).astype(np.float32).tolist()

    def saw():
        return ((2 * phase() - 1) * amp).astype(np.float32).tolist()

    def noise():
        # A vectorised 64-bit LCG is awkward in numpy; a fair stand-in is a
        # fresh generator drawing n float32 values in [-1, 1).
        rng = np.random.default_rng(42)
        return ((rng.random(n, dtype=np.float32) * 2 - 1) * amp).tolist()

    return {"SineOscillator": sine, "SquareOscillator": square,
            "SawOscillator": saw, "NoiseSource": noise}


def main():
    floor = floor_fn(N)
    over = False
    timings = []
    for name, factory, target in CASES:
        src = factory()  # keeps phase between calls; that's fine
        render = lambda: src.render_to_buffer(N)  # noqa: E731
        t, base = paired(render, floor)
        over |= report(f"{name}.render_to_buffer", t, base, target)
        timings.append((name, src, render))
    if np is None:
        print("numpy not importable: skipping numpy comparison")
    else:
        for name, src, render in timings:
            t, t_np = paired(render, numpy_impls(src, N)[name])
            report(f"{name} vs numpy", t, t_np, base_name="numpy")
    finish(over)


if __name__ == "__main__":
    main()
