"""ostina-render against fluidsynth and symusic on real pieces, in the same run.

    python benchmarks/render_speed.py [--rounds 3] [--markdown] [--profile] [--soundfont FILE]

Pieces come from installed packages (never copied here): miditoolkit's
example and music21's test files, and a Bach chorale that music21 writes
from its corpus. Each round runs every renderer as a whole process writing
a 16-bit, 44.1 kHz stereo WAV to the same folder; the best round of each
counts:

- `ostina-render SONG -o out.wav --no-reverb --no-chorus` (its built-in bank);
- `fluidsynth -ni -q -R 0 -C 0 -r 44100 -F out.wav TimGM6mb.sf2 SONG`
  (Debian's fluidsynth and timgm6mb-soundfont; reverb and chorus off);
- symusic 0.5.9's Synthesizer with the same soundfont (pip install
  symusic==0.5.9; 0.6.0 fails to render), writing with its dump_wav;
- with the effects on, each at its defaults: `ostina-render SONG -o out.wav`
  against `fluidsynth -ni -q -r 44100 -F out.wav TimGM6mb.sf2 SONG`;
- ostina with the effects off on one thread (`--threads 1`), where its
  default plays the voices on one thread a core, up to 4, with the same bits.

Each peer's speed-up is against the ostina command of its pairing; the
one-thread column gives fluidsynth's (effects off) against it too.

With --soundfont FILE, every renderer plays FILE (ostina with its
--soundfont), and a column gives ostina's memory budget for each piece: 40 MB
plus the samples the song's programs, keys and velocities select, summed
from the soundfont's own tables at 16 bits a frame (a compressed sample
counts as decoded, at 32 bits).

Peak RSS is the renderer's maximum resident set, as GNU time (Debian's
`time`) reports it. A renderer that is not installed is left out. --profile adds where ostina's time goes, piece by
piece: start-up (the interpreter and the package's imports), reading the
file, building the presets it plays, rendering, and writing.
"""
from __future__ import annotations

import argparse
import importlib.util
import math
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

SOUNDFONT = "/usr/share/sounds/sf2/TimGM6mb.sf2"
SYMUSIC = """
import sys, symusic
synthesizer = symusic.Synthesizer(sys.argv[1], sample_rate=44100)
audio = synthesizer.render(symusic.Score(sys.argv[2]), stereo=True)
symusic.dump_wav(sys.argv[3], audio, 44100, use_int16=True)
"""


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


EFFECTS = "ostina, effects on"
ONE_THREAD = "ostina, one thread"
BASE = {"fluidsynth": "ostina", "symusic": "ostina", "fluidsynth, effects on": EFFECTS}  # each peer's pairing


def renderers(soundfont: str | None = None) -> dict[str, list[str]]:
    """Each renderer's command; SONG and OUT are filled in per run. The peers play
    `soundfont`, or TimGM6mb when ostina plays its built-in bank."""
    ostina = [sys.executable, "-m", "ostina_render", "SONG", "-o", "OUT", "-q"]
    ostina += ["--soundfont", soundfont] if soundfont else []
    commands = {"ostina": ostina + ["--no-reverb", "--no-chorus"], EFFECTS: ostina}
    commands[ONE_THREAD] = commands["ostina"] + ["--threads", "1"]
    peers_play = soundfont or SOUNDFONT
    if shutil.which("fluidsynth") and os.path.exists(peers_play):
        fluidsynth = ["fluidsynth", "-ni", "-q", "-r", "44100", "-F", "OUT", peers_play, "SONG"]
        commands["fluidsynth"] = fluidsynth[:3] + ["-R", "0", "-C", "0"] + fluidsynth[3:]
        commands["fluidsynth, effects on"] = fluidsynth
    if importlib.util.find_spec("symusic") and os.path.exists(peers_play) and peers_play.endswith(".sf2"):
        commands["symusic"] = [sys.executable, "-c", SYMUSIC, peers_play, "SONG", "OUT"]
    return commands


def selected_sample_mb(song: pathlib.Path, soundfont: str) -> float:
    """Megabytes of the samples the song's notes select: for each note, the zones of its
    preset (bank 0 for a program, kit 0 for the drums when the file lacks the one asked
    for) that take its key and velocity."""
    from ostina_render import _synth
    from ostina_render.banks import load_soundfont

    bank = load_soundfont(soundfont)
    presets = {(bank_number, program) for _, bank_number, program, _, _ in bank.presets()}
    regions: dict[tuple[int, int], list[tuple[int, int, int, int, int, list[tuple[str, int]]]]] = {}
    chosen: set[int] = set()
    for _, channel, key, velocity, _, _, program, _, _ in _synth.MidiFile(song.read_bytes()).notes():
        preset = (128, program) if channel == 9 else (0, program)
        if preset not in presets:
            preset = (preset[0], 0) if channel == 9 else preset
        if preset not in presets:
            continue
        if preset not in regions:
            regions[preset] = bank.regions(*preset)
        chosen.update(sample for low, high, soft, loud, sample, _ in regions[preset]
                      if low <= key <= high and soft <= velocity <= loud)
    compressed = soundfont.endswith(".sf3")
    return sum(len(bank.sample_data(index)) // (1 if compressed else 2) for index in chosen) / 2**20


def timed(command: list[str], folder: pathlib.Path) -> tuple[float, float]:
    """Wall seconds and peak RSS in MB of one run of `command`. GNU time reports the
    peak, since a child's own count would start from this process's size."""
    report = folder / "time.txt"
    began = time.perf_counter()
    result = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", str(report), *command],
                            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    wall = time.perf_counter() - began
    if result.returncode != 0:
        raise SystemExit(f"{command[0]} failed: {result.stderr.decode()}")
    return wall, int(report.read_text().split()[-1]) / 1024


def measure(song: pathlib.Path, folder: pathlib.Path, rounds: int,
            soundfont: str | None) -> dict[str, tuple[float, float]]:
    """Each renderer's best wall time and its peak RSS, rounds interleaved."""
    best: dict[str, tuple[float, float]] = {}
    for _ in range(rounds):
        for name, command in renderers(soundfont).items():
            filled = [str(song) if part == "SONG" else str(folder / f"{name}.wav") if part == "OUT" else part
                      for part in command]
            wall, rss = timed(filled, folder)
            previous = best.get(name, (math.inf, 0.0))
            best[name] = (min(previous[0], wall), max(previous[1], rss))
    return best


def geometric_mean(values: list[float]) -> float:
    return math.exp(sum(map(math.log, values)) / len(values)) if values else math.nan


def profile(song: pathlib.Path, folder: pathlib.Path) -> dict[str, float]:
    """Seconds of each stage of one render, in this process; start-up in a fresh one."""
    began = time.perf_counter()
    subprocess.run([sys.executable, "-c", "import ostina_render.cli, ostina_render.render"], check=True)
    spent = {"start-up": time.perf_counter() - began}
    from ostina_render import _synth, render

    options = render.RenderOptions()
    clock = time.perf_counter()
    performance = render.load(song, options)
    spent["reading"] = time.perf_counter() - clock
    clock = time.perf_counter()
    player = render.player(performance, options)
    spent["building presets"] = time.perf_counter() - clock
    rendering = writing = 0.0
    with open(folder / "p.wav", "wb") as file:
        file.write(_synth.Song.wav_header(44100, 16, 0))
        while not player.finished:
            clock = time.perf_counter()
            block = player.render_pcm(render.BLOCK_FRAMES, 16)
            rendering += time.perf_counter() - clock
            clock = time.perf_counter()
            file.write(block)
            writing += time.perf_counter() - clock
    spent["rendering"], spent["writing"] = rendering, writing
    return spent


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--profile", action="store_true")
    parser.add_argument("--soundfont", help="the soundfont every renderer plays (default: ostina's built-in "
                        "bank against TimGM6mb)")
    options = parser.parse_args()
    from ostina_render import read_song

    names = list(renderers(options.soundfont))
    peers = [name for name in names if name in BASE]
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        rows = []
        for title, song in pieces(folder):
            seconds = float(read_song(song).duration)
            budget = 40 + selected_sample_mb(song, options.soundfont) if options.soundfont else 40.0
            rows.append((title, seconds, budget, measure(song, folder, options.rounds, options.soundfont)))
        ratios = {peer: [best[peer][0] / best[BASE[peer]][0] for _, _, _, best in rows] for peer in peers}
        one_thread = [best.get("fluidsynth", (math.nan,))[0] / best[ONE_THREAD][0] for _, _, _, best in rows]
        header = ["piece", "audio", "ostina-render", "real-time factor", "peak RSS (budget)", EFFECTS,
                  f"{ONE_THREAD}, fluidsynth's ratio", *[f"{peer}, ostina's speed-up" for peer in peers]]
        print("| " + " | ".join(header) + " |" if options.markdown else "  ".join(header))
        if options.markdown:
            print("|---|" + "---:|" * (len(header) - 1))
        for index, (title, seconds, budget, best) in enumerate(rows):
            wall, rss = best["ostina"]
            cells = [title, f"{seconds:.0f} s", f"{wall:.3f} s", f"{seconds / wall:.0f}x", f"{rss:.0f} MB ({budget:.0f})",
                     f"{best[EFFECTS][0]:.3f} s", f"{best[ONE_THREAD][0]:.3f} s, {one_thread[index]:.2f}x",
                     *[f"{best[peer][0]:.3f} s, {ratios[peer][index]:.2f}x" for peer in peers]]
            print("| " + " | ".join(cells) + " |" if options.markdown else "  ".join(cells))
        means = ["geometric mean", "", "", "", "", "", f"{geometric_mean(one_thread):.2f}x",
                 *[f"{geometric_mean(ratios[peer]):.2f}x" for peer in peers]]
        print("| " + " | ".join(means) + " |" if options.markdown else "  ".join(means))
        if options.profile:
            print("\nwhere ostina's time goes (seconds):")
            for title, song in pieces(folder):
                spent = profile(song, folder)
                print(f"  {title}: " + ", ".join(f"{stage} {value:.4f}" for stage, value in spent.items()))
    return 0


if __name__ == "__main__":
    sys.exit(main())
