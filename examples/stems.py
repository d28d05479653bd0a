"""Renders the groove's tracks as stems in parallel, then mixes them.

    python examples/stems.py [FOLDER] [--bars N] [--workers N]
    python examples/stems.py [FOLDER] --dask             # a LocalCluster on this machine
    python examples/stems.py [FOLDER] --dask HOST:PORT   # a running Dask scheduler

ostina's objects do not pickle, so nothing of them crosses a process
boundary: each worker receives a track as plain values (a sample's data, a
pattern as steps, a note list) and builds its own sampler and sequencers.
The mix is the same, bit for bit, as rendering the stems one after the other.
Writes stems.wav (16-bit stereo) into FOLDER (default out/).
"""
# mypy: allow-untyped-calls
# (Dask's constructors carry no annotations.)
from __future__ import annotations

import argparse
import concurrent.futures
import multiprocessing
import pathlib
import sys
import time
from collections.abc import Sequence
from itertools import repeat

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
import groove  # noqa: E402  (the sound design and renderer of the groove example)
from groove import RATE, Stem, Track  # noqa: E402


def render_serially(tracks: Sequence[Track], bpm: float, beats: float) -> list[Stem]:
    return [groove.render_track(track, bpm, beats) for track in tracks]


def render_with_processes(tracks: Sequence[Track], bpm: float, beats: float, workers: int | None = None) -> list[Stem]:
    # Fresh interpreters, as on a cluster: a worker has only what it was sent.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(workers, mp_context=context) as pool:
        return list(pool.map(groove.render_track, tracks, repeat(bpm), repeat(beats)))


def render_with_dask(tracks: Sequence[Track], bpm: float, beats: float, address: str | None = None,
                     workers: int | None = None) -> list[Stem]:
    """On the scheduler at `address`, or on a LocalCluster of `workers` processes."""
    from dask.distributed import Client, LocalCluster

    cluster = None if address else LocalCluster(n_workers=workers or 2, threads_per_worker=1,
                                                 processes=True, dashboard_address=None)
    try:
        with Client(address or cluster) as client:
            # Workers elsewhere have ostina installed but not this example's code.
            client.upload_file(groove.__file__)
            futures = client.map(groove.render_track, tracks, bpm=bpm, beats=beats, pure=False)
            return list(client.gather(futures))
    finally:
        if cluster is not None:
            cluster.close()


def parse(arguments: Sequence[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n")[0])
    parser.add_argument("folder", nargs="?", default="out", type=pathlib.Path, help="output folder (default out/)")
    parser.add_argument("--bars", type=int, default=4, help="length in 4/4 bars (default 4)")
    parser.add_argument("--bpm", type=float, default=174.0, help="tempo (default 174)")
    parser.add_argument("--workers", type=int, default=None, help="worker processes (default: one per core)")
    parser.add_argument("--dask", nargs="?", const="", default=None, metavar="ADDRESS",
                        help="render on Dask: a LocalCluster, or the scheduler at ADDRESS")
    return parser.parse_args(arguments)


def main(arguments: Sequence[str] | None = None) -> None:
    options = parse(arguments)
    tracks = groove.groove_tracks()
    beats = 4.0 * options.bars
    started = time.perf_counter()
    if options.dask is None:
        where = "worker processes"
        stems = render_with_processes(tracks, options.bpm, beats, options.workers)
    else:
        where = f"Dask at {options.dask}" if options.dask else "a Dask LocalCluster"
        stems = render_with_dask(tracks, options.bpm, beats, options.dask or None, options.workers)
    stereo = groove.mix(tracks, stems)
    elapsed = time.perf_counter() - started
    seconds = len(stereo) / 2 / RATE

    options.folder.mkdir(parents=True, exist_ok=True)
    path = options.folder / "stems.wav"
    groove.write_wav(path, stereo)
    print(f"rendered {len(stems)} stems on {where} and mixed them in {elapsed:.2f} s")
    print(f"wrote {path}: {seconds:.2f} s of 16-bit stereo at {RATE} Hz")


if __name__ == "__main__":
    main()
