"""How close ostina-render sounds to fluidsynth on real pieces, reverb and chorus off on both.

    python benchmarks/render_fidelity.py [--soundfont FILE] [--builtin | --written] [--calibrate] [--markdown]

Each piece (those of render_speed.py and a Mozart string quartet that
music21 writes from its corpus) is rendered by fluidsynth (`-R 0 -C 0`) and
by the players compared with it, at 44.1 kHz (fluidsynth writing floats, so
that its 16-bit dither does not count as sound). On the mono mix, with
librosa's features (2048-point frames, 512-frame hop):

- log-mel distance: the mean absolute difference of the 128-band mel
  spectrograms in dB, after the player's level is scaled to fluidsynth's
  total energy; each spectrogram is floored 80 dB under fluidsynth's loudest
  cell, and only frames where fluidsynth sounds (within 60 dB of its loudest
  frame) count;
- chroma: the Pearson correlation of the two 12-band chroma vectors, summed
  over half-second windows, window by window where fluidsynth sounds,
  averaged;
- onset lag: where the cross-correlation of the two onset-strength curves
  peaks, within 150 ms (positive: the player is late);
- bands: each band's share of the energy (below 500 Hz, 500 Hz-4 kHz,
  above 4 kHz) over fluidsynth's share, in dB;
- notes heard: the share of the file's note-ons that have an onset detected
  in the render within 30 ms (librosa's peak picking with a threshold of
  0.02, low enough to hear a string quartet's entries).

Players: ostina with `--soundfont FILE` (default TimGM6mb), with its
built-in bank (`--builtin`, against fluidsynth playing that soundfont), or, with `--written`, the built-in bank written
out by `--write-soundfont` and played by fluidsynth against ostina playing it
built in (with `--calibrate`, tinysoundfont playing the written bank too,
and no organ copy).
`--calibrate` adds the two references that show what the figures
mean: tinysoundfont (pip install tinysoundfont --no-deps; left out when
absent) on the same soundfont, another correct player; and fluidsynth with
every channel's program set to 16 (Drawbar Organ), a wrong instrument.
librosa provides the features (pip install librosa).
"""
from __future__ import annotations

import argparse
import importlib.util
import os
import pathlib
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from render_speed import SOUNDFONT, pieces

RATE = 44100
FFT, HOP = 2048, 512
FLOOR_DB, SOUNDING_DB = 80.0, 60.0
MAX_LAG_SECONDS, HEARD_SECONDS = 0.15, 0.030
CHROMA_WINDOW = 43  # hops: half a second
ONSET_THRESHOLD = 0.02
TAIL_SECONDS = 3.0
BANDS = ((0, 500), (500, 4000), (4000, RATE / 2))
ORGAN = 16
Audio = Any  # a (frames,) float64 array


def fluidsynth(song: pathlib.Path, soundfont: str, folder: pathlib.Path) -> Audio:
    return fluidsynth_stereo(song, soundfont, folder).mean(axis=1)


def fluidsynth_stereo(song: pathlib.Path, soundfont: str, folder: pathlib.Path) -> Audio:
    """fluidsynth's render as (frames, 2), cut TAIL_SECONDS after the song's end: it renders
    until its last voice ends, and a looped voice that is never released (an organ's) never does."""
    from ostina_render import read_song

    target = folder / "fluidsynth.raw"
    longest = 8 * round((float(read_song(song).duration) + TAIL_SECONDS) * RATE)  # float stereo
    with subprocess.Popen(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(RATE), "-T", "raw",
                           "-O", "float", "-F", str(target), soundfont, str(song)],
                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) as process:
        while process.poll() is None:  # a size limit would stop it before it opens the file
            if target.exists() and target.stat().st_size >= longest:
                process.kill()
            time.sleep(0.02)
    if process.returncode not in (0, -signal.SIGKILL) or not target.exists():
        raise SystemExit(f"fluidsynth failed on {song.name} (exit status {process.returncode})")
    audio = np.fromfile(target, "<f4", count=longest // 4).reshape(-1, 2).astype(np.float64)
    target.unlink()
    return audio


def ostina(song: pathlib.Path, soundfont: str | None) -> Audio:
    from ostina_render import RenderOptions, render_array

    options = RenderOptions(soundfont=soundfont, reverb=False, chorus=False)  # as fluidsynth's -R 0 -C 0
    return render_array(song, options=options).astype(np.float64).mean(axis=1)


def tinysoundfont(song: pathlib.Path, soundfont: str) -> Audio:
    import tinysoundfont as tsf

    synth = tsf.Synth(samplerate=RATE)
    kit = synth.sfload(soundfont)
    synth.program_select(9, kit, 128, 0, is_drums=True)  # not a kit until a program change otherwise
    sequencer = tsf.Sequencer(synth)
    sequencer.midi_load(str(song), persistent=False)
    blocks = []
    while not sequencer.is_empty():
        blocks.append(np.frombuffer(synth.generate(4096), np.float32).copy())
    blocks.append(np.frombuffer(synth.generate(int(TAIL_SECONDS * RATE)), np.float32).copy())
    return np.concatenate(blocks).reshape(-1, 2).astype(np.float64).mean(axis=1)


def organ_copy(song: pathlib.Path, folder: pathlib.Path) -> pathlib.Path:
    """The song with every program change, and a first one on every channel but the drums', set to 16."""
    import mido

    midi = mido.MidiFile(song)
    for track in midi.tracks:
        for index, message in enumerate(track):
            if message.type == "program_change":
                track[index] = message.copy(program=ORGAN)
    channels = {message.channel for track in midi.tracks for message in track
                if message.type == "note_on" and message.channel != 9}
    midi.tracks[0][0:0] = [mido.Message("program_change", channel=channel, program=ORGAN) for channel in channels]
    target = folder / f"{song.stem}.organ.mid"
    midi.save(target)
    return target


def note_onsets(song: pathlib.Path) -> Audio:
    from ostina_render import read_song

    performance = read_song(song)
    seconds = {tick: float(performance.seconds(tick)) for tick in {note.start_tick for note in performance.notes}}
    return np.array([seconds[note.start_tick] for note in performance.notes])


class Features:
    """What the measures compare, from one mono render."""

    def __init__(self, audio: Audio, frames: int) -> None:
        import librosa

        audio = np.pad(audio, (0, max(0, frames - len(audio))))[:frames].astype(np.float32)
        self.power = np.abs(librosa.stft(audio, n_fft=FFT, hop_length=HOP)) ** 2
        self.mel = librosa.feature.melspectrogram(S=self.power, sr=RATE, n_mels=128)
        self.chroma = librosa.feature.chroma_stft(S=self.power, sr=RATE, tuning=0.0)
        self.onset = librosa.onset.onset_strength(S=librosa.power_to_db(self.mel), sr=RATE, hop_length=HOP)
        self.frequencies = librosa.fft_frequencies(sr=RATE, n_fft=FFT)

    def onsets(self) -> Audio:
        import librosa

        return librosa.onset.onset_detect(onset_envelope=self.onset, sr=RATE, hop_length=HOP, units="time",
                                          delta=ONSET_THRESHOLD)

    def band_shares(self) -> Audio:
        energy = np.array([self.power[(self.frequencies >= low) & (self.frequencies < high)].sum()
                           for low, high in BANDS])
        return energy / energy.sum()


def compare(reference: Features, player: Features, notes: Audio) -> dict[str, float]:
    ref_frames = reference.mel.sum(axis=0)
    sounding = ref_frames > ref_frames.max() * 10 ** (-SOUNDING_DB / 10)
    matched = player.mel * (reference.mel.sum() / max(player.mel.sum(), 1e-300))
    floor = reference.mel.max() * 10 ** (-FLOOR_DB / 10)
    ref_db, player_db = (10 * np.log10(np.maximum(mel[:, sounding], floor)) for mel in (reference.mel, matched))
    lag = onset_lag(reference.onset, player.onset)
    heard = player.onsets()
    nearest = np.abs(heard[np.clip(np.searchsorted(heard, notes), 1, len(heard) - 1)[:, None] - [1, 0]]
                     - notes[:, None]).min(axis=1) if len(heard) > 1 else np.full(len(notes), np.inf)
    shares = 10 * np.log10(player.band_shares() / reference.band_shares())
    return {"log-mel dB": float(np.abs(ref_db - player_db).mean()),
            "chroma": chroma_correlation(reference.chroma, player.chroma, sounding),
            "onset lag ms": lag * 1000,
            "low dB": float(shares[0]), "middle dB": float(shares[1]), "high dB": float(shares[2]),
            "notes heard": float((nearest <= HEARD_SECONDS).mean())}


def chroma_correlation(reference: Audio, player: Audio, sounding: Audio) -> float:
    def windows(chroma: Audio) -> Audio:
        whole = chroma.shape[1] // CHROMA_WINDOW * CHROMA_WINDOW
        summed = (chroma * sounding)[:, :whole].reshape(12, -1, CHROMA_WINDOW).sum(axis=2)
        centred = summed - summed.mean(axis=0)
        return centred / np.maximum(np.linalg.norm(centred, axis=0), 1e-12)
    heard = sounding[:len(sounding) // CHROMA_WINDOW * CHROMA_WINDOW].reshape(-1, CHROMA_WINDOW).any(axis=1)
    return float((windows(reference) * windows(player)).sum(axis=0)[heard].mean())


def onset_lag(reference: Audio, player: Audio) -> float:
    """Seconds by which `player`'s onset curve trails `reference`'s, to a fraction of a hop."""
    most = round(MAX_LAG_SECONDS * RATE / HOP)
    a, b = reference - reference.mean(), player - player.mean()
    lags = np.arange(-most, most + 1)
    score = np.array([np.dot(a[max(0, -lag):len(a) - max(0, lag)], b[max(0, lag):len(b) - max(0, -lag)])
                      for lag in lags])
    best = int(np.argmax(score))
    shift = 0.0
    if 0 < best < len(lags) - 1:  # the parabola through the peak and its neighbours
        left, middle, right = score[best - 1:best + 2]
        shift = 0.5 * (left - right) / (left - 2 * middle + right) if left - 2 * middle + right else 0.0
    return float((lags[best] + shift) * HOP / RATE)


def players(options: argparse.Namespace, folder: pathlib.Path) -> tuple[str, dict[str, Callable[..., Audio]]]:
    """What fluidsynth plays, and each player compared with it."""
    if options.written:
        written = str(folder / "builtin.sf2")
        subprocess.run([sys.executable, "-m", "ostina_render", "--write-soundfont", written], check=True,
                       stdout=subprocess.DEVNULL)
        compared = {"ostina, built in": lambda song: ostina(song, None)}
        if options.calibrate and importlib.util.find_spec("tinysoundfont"):
            compared["tinysoundfont"] = lambda song: tinysoundfont(song, written)
        return written, compared
    soundfont = options.soundfont or SOUNDFONT
    compared = {"ostina, built in" if options.builtin else "ostina": lambda song: ostina(
        song, None if options.builtin else soundfont)}
    if options.calibrate and importlib.util.find_spec("tinysoundfont"):
        compared["tinysoundfont"] = lambda song: tinysoundfont(song, soundfont)
        compared["fluidsynth, organ"] = lambda song: fluidsynth(organ_copy(song, folder), soundfont, folder)
    return soundfont, compared


def quartet(folder: pathlib.Path) -> tuple[str, pathlib.Path]:
    import music21

    target = folder / "k156.mid"
    music21.corpus.parse("mozart/k156/movement4").write("midi", fp=str(target))
    return "music21 Mozart K.156/iv, string quartet", target


MEASURES = ("log-mel dB", "chroma", "onset lag ms", "low dB", "middle dB", "high dB", "notes heard")
FORMATS = {"log-mel dB": "{:.1f}", "chroma": "{:.3f}", "notes heard": "{:.2f}"}  # the rest: "{:+.1f}"


def row(cells: list[str], markdown: bool) -> str:
    return "| " + " | ".join(cells) + " |" if markdown else "  ".join(cells)


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--soundfont", help=f"the soundfont fluidsynth plays, and ostina unless --builtin (default {SOUNDFONT})")
    chosen = parser.add_mutually_exclusive_group()
    chosen.add_argument("--builtin", action="store_true", help="ostina plays its built-in bank")
    chosen.add_argument("--written", action="store_true", help="fluidsynth plays the written built-in bank")
    parser.add_argument("--calibrate", action="store_true", help="add tinysoundfont and the organ copy")
    parser.add_argument("--markdown", action="store_true")
    options = parser.parse_args(arguments)
    if options.written and options.soundfont:
        parser.error("--written plays the written bank, not --soundfont")
    if shutil.which("fluidsynth") is None:
        raise SystemExit("fluidsynth is not installed: apt-get install fluidsynth")
    with tempfile.TemporaryDirectory() as name:
        folder = pathlib.Path(name)
        soundfont, compared = players(options, folder)
        print(f"against fluidsynth playing {os.path.basename(soundfont)}")
        print(row(["piece", "player", *MEASURES], options.markdown))
        if options.markdown:
            print("|---|---|" + "---:|" * len(MEASURES))
        for title, song in [*pieces(folder), quartet(folder)]:
            reference_audio = fluidsynth(song, soundfont, folder)
            rendered = {player: render(song) for player, render in compared.items()}
            frames = len(reference_audio)
            reference, notes = Features(reference_audio, frames), note_onsets(song)
            for player, audio in rendered.items():
                figures = compare(reference, Features(audio, frames), notes)
                cells = [FORMATS.get(measure, "{:+.1f}").format(figures[measure]) for measure in MEASURES]
                print(row([title, player, *cells], options.markdown), flush=True)
            fluid_notes = compare(reference, reference, notes)["notes heard"]
            print(row([title, "fluidsynth itself", *[""] * (len(MEASURES) - 1), f"{fluid_notes:.2f}"],
                      options.markdown), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
