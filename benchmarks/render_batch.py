"""Batch rendering of real MIDI files: serially, then on one worker process per core.

The files are those shipped in the installed music21 package (midi/testPrimitive/
and omr/), read where they are. Prints the aggregate real-time factor of each
run and the parallel efficiency max(T_largest, T_serial / cores) / T_parallel,
where T_largest is the longest single file's render in the serial run: no
schedule can finish before it, nor before the serial work shared evenly.

    PYTHONPATH=python .venv/bin/python benchmarks/render_batch.py [--workers N]
"""
from __future__ import annotations

import argparse
import importlib.util
import os
import pathlib
import sys
import tempfile
import time

from ostina_render.batch import BatchReport, ExecutorLike, Processes, default_workers, find_jobs, render_batch

TARGET_EFFICIENCY = 0.8


def music21_files() -> list[pathlib.Path]:
    spec = importlib.util.find_spec("music21")
    if spec is None or spec.origin is None:
        sys.exit("music21 is not installed: pip install music21")
    root = pathlib.Path(spec.origin).parent
    return sorted([*(root / "midi" / "testPrimitive").glob("*.mid"), *(root / "omr").glob("*.mid")])


def timed(files: list[pathlib.Path], outdir: str, executor: ExecutorLike) -> tuple[BatchReport, float]:
    began = time.perf_counter()
    report = render_batch(find_jobs(files, outdir), executor=executor)
    return report, time.perf_counter() - began


def busy(_: int = 0) -> float:
    """The wall time of a fixed piece of pure-Python work."""
    began = time.perf_counter()
    total = 0
    for i in range(5_000_000):
        total += i * i
    return time.perf_counter() - began


def free_cores(cores: int) -> float:
    """How many cores' worth of work the machine gave `cores` processes at once: a shared,
    loaded machine gives fewer than `cores`, and no batch can be faster than that allows."""
    with Processes(cores)() as pool:
        list(pool.map(busy, range(cores)))  # start the workers first
        alone = busy()
        began = time.perf_counter()
        list(pool.map(busy, range(cores)))
        return cores * alone / (time.perf_counter() - began)


def outputs(folder: str) -> dict[str, bytes]:
    return {path.name: path.read_bytes() for path in pathlib.Path(folder).iterdir()}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=default_workers(), help="default: the usable cores")
    cores = parser.parse_args().workers
    files = music21_files()
    available = free_cores(cores)
    with tempfile.TemporaryDirectory() as serial_dir, tempfile.TemporaryDirectory() as parallel_dir:
        serial, t_serial = timed(files, serial_dir, None)
        parallel, t_parallel = timed(files, parallel_dir, Processes(cores))
        identical = outputs(serial_dir) == outputs(parallel_dir)
    failed = serial.failures + parallel.failures
    for result in failed:
        print(f"failed: {result.reason}")
    t_largest = max(result.report.wall_seconds for result in serial.results if result.report)
    efficiency = max(t_largest, t_serial / cores) / t_parallel
    print(f"{len(files)} files, {serial.seconds:.1f} s of audio, {cores} cores (os.sched_getaffinity: "
          f"{len(os.sched_getaffinity(0))}), load average {os.getloadavg()[0]:.2f}")
    print(f"serial:      {t_serial:7.2f} s  {serial.seconds / t_serial:6.1f}x real time")
    print(f"{cores} workers:   {t_parallel:7.2f} s  {parallel.seconds / t_parallel:6.1f}x real time "
          "(pool start-up included)")
    print(f"core capacity free for {cores} processes before the runs: {available:.2f}")
    print(f"largest file: {t_largest:.2f} s")
    print(f"parallel efficiency: {efficiency:.2f} (target {TARGET_EFFICIENCY})")
    print(f"outputs byte-identical: {identical}")
    if failed or not identical:
        sys.exit(1)


if __name__ == "__main__":
    main()
