"""AudioBuffer.to_list() vs the list floor (array('f').tolist()), n = 44100.

Usage: python benchmarks/bench_audio.py [--check]
"""
import ostina
from timing import N, finish, floor_fn, paired, report

TARGET = 1.2


def main():
    buf = ostina.AudioBuffer(N)  # prebuilt; only to_list() is timed
    t, base = paired(buf.to_list, floor_fn(N))
    finish(report(f"AudioBuffer({N}).to_list", t, base, TARGET))


if __name__ == "__main__":
    main()
