"""AudioBuffer.to_list() vs the list floor (array('f').tolist()), n = 44100.

Usage: python benchmarks/bench_audio.py [--check]
"""
import ostina
from timing import N, best, finish, list_floor, report

TARGET = 1.2


def main():
    buf = ostina.AudioBuffer(N)  # prebuilt; only to_list() is timed
    base = list_floor(N)
    t = best(buf.to_list)
    finish(report(f"AudioBuffer({N}).to_list", t, base, TARGET))


if __name__ == "__main__":
    main()
