"""ostina-render against fluidsynth on real pieces, in the same run.

    python benchmarks/render_speed.py [--rounds 3] [--markdown] [--profile]

Pieces come from installed packages (never copied here): miditoolkit's
example and music21's test files, and a Bach chorale that music21 writes
from its corpus. Each round times `ostina-render` and then
`fluidsynth -ni -q -R 0 -C 0 -r 44100 -F out.wav TimGM6mb.sf2 song.mid`
(reverb and chorus off) as subprocesses; the best round of each counts.
Peak RSS is the child's maximum resident set. Needs the Debian packages
fluidsynth and timgm6mb-soundfont; without them only ostina is timed.

--profile adds where ostina's time goes on the longest piece: the sampler
renders (which build their lists), the mix-down, converting and writing,
and the Python around them (which also frees the lists).
"""
from __future__ import annotations

import argparse
import cProfile
import importlib.util
import math
import os
import pathlib
import pstats
import shutil
import subprocess
import sys
import tempfile
import time

SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"


def installed(package: str, *parts: str) -> pathlib.Path:
    spec = importlib.util.find_spec(package)
    assert spec and spec.submodule_search_locations, f"{package} is not installed"
    return pathlib.Path(spec.submodule_search_locations[0], *parts)


def pieces(folder: pathlib.Path) -> list[tuple[str, pathlib.Path]]:
    import music21

    chorale = folder / "bwv66.6.mid"
    music21.corpus.parse("bach/bwv66.6").write("midi", fp=str(chorale))
    primitives = installed("music21", "midi", "testPrimitive")
    return [("miditoolkit 1390.mid, piano", installed("miditoolkit", "midi", "examples_data", "1390.mid")),
            ("music21 test09.mid, piano study", primitives / "test09.mid"),
            ("music21 bwv66.6, chorale, 4 parts", chorale),
            ("music21 k525MIDIMvt1.mid, 6 tracks", installed("music21", "omr", "k525MIDIMvt1.mid")),
            ("music21 test04.mid, 18 tracks, 10 min", primitives / "test04.mid")]


def timed(command: list[str]) -> tuple[float, float]:
    """Wall seconds and peak RSS in MB of one run of `command`."""
    began = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - began
    if status != 0:
        raise SystemExit(f"{command[0]} failed: {process.stderr.read().decode() if process.stderr else ''}")
    return wall, usage.ru_maxrss / 1024


def measure(song: pathlib.Path, folder: pathlib.Path, rounds: int, fluidsynth: bool) -> dict[str, float]:
    best = {"ostina": math.inf, "rss": 0.0, "fluidsynth": math.inf}
    for _ in range(rounds):
        wall, rss = timed([sys.executable, "-m", "ostina_render", str(song), "-o", str(folder / "o.wav"), "-q"])
        best["ostina"], best["rss"] = min(best["ostina"], wall), max(best["rss"], rss)
        if fluidsynth:
            wall, _ = timed(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", "44100", "-F",
                             str(folder / "f.wav"), SOUNDFONT, str(song)])
            best["fluidsynth"] = min(best["fluidsynth"], wall)
    return best


def profile(song: pathlib.Path, folder: pathlib.Path) -> None:
    from ostina_render import read_song, render_file

    loaded = read_song(song)
    profiler = cProfile.Profile()
    profiler.runcall(render_file, loaded, str(folder / "p.wav"))
    stats = pstats.Stats(profiler).stats  # type: ignore[attr-defined]
    total = max(cumulative for (_, _, name), (_, _, _, cumulative, _) in stats.items() if name == "render_file")
    groups = {"sampler renders (building their lists)": ["render' of 'builtins.Sampler"],
              "mix-down": ["mix_down"], "the mix's list to an array": ["_struct.pack"],
              "PCM conversion and writing": ["to_pcm", "write' of", "sf_write"]}
    spent = {group: sum(own for (_, _, name), (_, _, own, _, _) in stats.items()
                        if any(key in name for key in keys)) for group, keys in groups.items()}
    spent["Python around them, freeing the lists"] = total - sum(spent.values())
    print(f"\nwhere the time goes ({song.name}, {total:.2f} s under the profiler):")
    for group, seconds in spent.items():
        print(f"  {group:40s} {seconds / total:6.1%}")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--profile", action="store_true")
    options = parser.parse_args()
    fluidsynth = bool(shutil.which("fluidsynth")) and os.path.exists(SOUNDFONT)
    from ostina_render import read_song

    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        rows, ratios = [], []
        for title, song in pieces(folder):
            seconds = float(read_song(song).duration)
            best = measure(song, folder, options.rounds, fluidsynth)
            ratio = best["fluidsynth"] / best["ostina"] if fluidsynth else math.nan
            ratios.append(ratio)
            rows.append((title, seconds, best["ostina"], seconds / best["ostina"], best["rss"],
                         best["fluidsynth"], ratio))
        geomean = math.exp(sum(map(math.log, ratios)) / len(ratios)) if fluidsynth else math.nan
        if options.markdown:
            print("| piece | audio | ostina-render | real-time factor | peak RSS | fluidsynth | speed-up |")
            print("|---|---:|---:|---:|---:|---:|---:|")
            for title, seconds, wall, factor, rss, fluid, ratio in rows:
                print(f"| {title} | {seconds:.0f} s | {wall:.2f} s | {factor:.0f}x | {rss:.0f} MB | {fluid:.2f} s | "
                      f"{ratio:.2f}x |")
            print(f"| geometric mean | | | | | | {geomean:.2f}x |")
        else:
            for title, seconds, wall, factor, rss, fluid, ratio in rows:
                print(f"{title:40s} {seconds:6.0f} s  ostina {wall:6.2f} s ({factor:4.0f}x, {rss:4.0f} MB)  "
                      f"fluidsynth {fluid:6.2f} s  speed-up {ratio:.2f}x")
            print(f"geometric mean speed-up: {geomean:.2f}x")
        if options.profile:
            profile(pieces(folder)[-1][1], folder)
    return 0


if __name__ == "__main__":
    sys.exit(main())
