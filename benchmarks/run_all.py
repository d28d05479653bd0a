"""Every ostina benchmark as one suite.

Usage: python benchmarks/run_all.py [--check] [--markdown]
Each line gives a hot path's time, its ratio to a baseline timed in the same
run and, where numpy is installed, its ratio to a numpy implementation.
--markdown adds the README table; --check exits 1 when a ratio is over its
target.
"""
import importlib
import platform

import timing

SCRIPTS = ["bench_audio", "bench_oscillator", "bench_sampler", "bench_mixer", "bench_sequencer"]


def main():
    version = timing.numpy.__version__ if timing.numpy is not None else "not installed"
    print(f"Python {platform.python_version()}, numpy {version}, n = {timing.N} frames")
    cases = [case for script in SCRIPTS for case in importlib.import_module(script).cases()]
    timing.run_cases(cases)


if __name__ == "__main__":
    main()
