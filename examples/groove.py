"""Renders a short drum-and-bass groove with ostina alone and writes it out.

    python examples/groove.py [FOLDER] [--bars N] [--bpm BPM] [--solo NAME] [--mute NAME] [--click]

Every sound starts as oscillators and noise; each track is a sampler with its
own envelope, driven block by block by a transport clock: the drums by
step-sequencer patterns, the bass by an event sequence. A mixer pans, scales,
mutes and solos the tracks into stereo. Writes groove.wav (16-bit stereo) and,
when matplotlib is installed, groove.png (waveform and piano roll) into FOLDER
(default out/). The same arguments give the same WAV bytes on every run.
"""
from __future__ import annotations

import argparse
import array
import dataclasses
import pathlib
import sys
import time
import wave
from collections.abc import Callable, Iterable, Sequence
from typing import Literal, NamedTuple

from ostina import (AudioSample, Envelope, EventSequence, Mixer, NoiseSource, Note, NoteEvent, Pattern,
                    Sampler, SawOscillator, SineOscillator, Step, StepSequencer, TransportClock)

RATE = 44100
BLOCK = 512  # frames per rendered block, as an audio callback would ask for them
STEPS_PER_BEAT = 4  # sixteenth notes

Kind = Literal["note_on", "note_off"]


class Hit(NamedTuple):
    """One note event a track played: where (beats), what, and how hard."""

    beat: float
    kind: Kind
    note: int
    velocity: int


@dataclasses.dataclass(frozen=True)
class Track:
    """Everything needed to render one track, as plain values that pickle.

    A track is either drums (`steps`: (index, note, velocity, length in steps)
    on a pattern of `pattern_length` sixteenths) or a line (`notes`: (start
    beat, length in beats, note, velocity), repeated every `phrase_beats`).
    """

    name: str
    data: list[float]
    root_note: int
    envelope: tuple[float, float, float, float]
    gain: float
    pan: float
    steps: tuple[tuple[int, int, int, int], ...] = ()
    pattern_length: int = 32
    notes: tuple[tuple[float, float, int, int], ...] = ()
    phrase_beats: float = 8.0
    loop: tuple[int, int] | None = None
    max_voices: int = 4
    muted: bool = False


class Stem(NamedTuple):
    """A rendered track: mono samples and the note events that made them."""

    samples: list[float]
    hits: list[Hit]


# Sound design. Decays multiply a gain per sample: plain float arithmetic
# without library calls, so the shapes come out the same everywhere.

def decayed(samples: Iterable[float], seconds: float) -> list[float]:
    """Scale `samples` by an exponential decay that falls to 1/1000 after `seconds`."""
    factor = 0.001 ** (1.0 / (seconds * RATE))
    out, gain = [], 1.0
    for sample in samples:
        out.append(sample * gain)
        gain *= factor
    return out


def mixed(*layers: Sequence[float]) -> list[float]:
    return [sum(values) for values in zip(*layers)]


def kick() -> list[float]:
    frames = int(0.35 * RATE)
    body = decayed(SineOscillator(52.0, 0.9, RATE).render_to_buffer(frames), 0.35)
    punch = decayed(SineOscillator(130.0, 0.5, RATE).render_to_buffer(frames), 0.04)
    click = decayed(NoiseSource(0.3, seed=1).render_to_buffer(frames), 0.004)
    return mixed(body, punch, click)


def snare() -> list[float]:
    frames = int(0.25 * RATE)
    rattle = decayed(NoiseSource(0.6, seed=2).render_to_buffer(frames), 0.18)
    tone = decayed(SineOscillator(185.0, 0.5, RATE).render_to_buffer(frames), 0.07)
    return mixed(rattle, tone)


def hat() -> list[float]:
    noise = NoiseSource(0.7, seed=3).render_to_buffer(int(0.06 * RATE) + 1)
    bright = [b - a for a, b in zip(noise, noise[1:])]  # a first difference keeps the highs
    return decayed(bright, 0.05)


BASS_ROOT = 33  # A1
BASS_PERIOD = 800  # frames per cycle: whole cycles make a seamless loop


def bass() -> list[float]:
    hz = RATE / BASS_PERIOD  # 55.125 Hz, a hair above A1
    frames = 24 * BASS_PERIOD
    saw = SawOscillator(hz, 0.45, RATE).render_to_buffer(frames)
    sub = SineOscillator(hz, 0.55, RATE).render_to_buffer(frames)
    return mixed(saw, sub)


def blip() -> list[float]:
    return decayed(SineOscillator(Note(93).to_hz(), 0.3, RATE).render_to_buffer(int(0.03 * RATE)), 0.03)


def groove_tracks() -> list[Track]:
    """The groove: a two-step beat over two bars and a bass line in A minor."""
    kicks = ((0, 36, 120, 2), (10, 36, 110, 2), (16, 36, 120, 2), (26, 36, 105, 2), (27, 36, 90, 2))
    snares = ((4, 38, 115, 1), (12, 38, 115, 1), (20, 38, 115, 1), (28, 38, 115, 1), (31, 38, 45, 1))
    hats = tuple((index, 42, 95 if index % 4 == 2 else 55, 1) for index in range(0, 32, 2))
    clicks = tuple((index, 93, 100, 1) for index in range(0, 32, STEPS_PER_BEAT))
    line = ((0.0, 0.75, 33, 110), (0.75, 0.5, 33, 80), (1.5, 1.0, 36, 100), (2.75, 0.75, 31, 100),
            (3.5, 0.5, 33, 90), (4.0, 0.75, 33, 110), (4.75, 0.5, 45, 85), (5.5, 1.0, 40, 100),
            (6.5, 0.5, 38, 95), (7.0, 1.0, 36, 100))
    return [
        Track("Kick", kick(), 36, (0.0, 0.3, 0.0, 0.05), gain=1.0, pan=0.0, steps=kicks),
        Track("Snare", snare(), 38, (0.0, 0.2, 0.0, 0.08), gain=0.9, pan=0.1, steps=snares),
        Track("Hats", hat(), 42, (0.0, 0.05, 0.0, 0.02), gain=0.6, pan=-0.35, steps=hats),
        Track("Bass", bass(), BASS_ROOT, (0.004, 0.15, 0.7, 0.06), gain=0.6, pan=0.0, notes=line,
              loop=(BASS_PERIOD, 24 * BASS_PERIOD), max_voices=2),
        Track("Click", blip(), 93, (0.0, 0.03, 0.0, 0.01), gain=0.5, pan=0.5, steps=clicks, muted=True),
    ]


# Rendering: one track at a time, block by block along its own clock.

def frames_for(beats: float, bpm: float) -> int:
    return round(TransportClock(bpm).beats_to_seconds(beats) * RATE)


def step_source(track: Track) -> Callable[[float, float], list[Hit]]:
    pattern = Pattern(track.pattern_length)
    for index, note, velocity, length in track.steps:
        pattern.set_step(index, Step(note, velocity, length))
    sequencer = StepSequencer(pattern)
    sequencer.step_duration = 1.0 / STEPS_PER_BEAT

    def hits(old: float, new: float) -> list[Hit]:
        return [Hit(time / 1e6, kind, note, velocity)
                for kind, note, velocity, time in sequencer.process_beat_range(old, new)]
    return hits


def line_source(track: Track, beats: float) -> Callable[[float, float], list[Hit]]:
    sequence = EventSequence()
    start = 0.0
    while start < beats:
        for beat, length, note, velocity in track.notes:
            sequence.add_event(NoteEvent(start + beat, length, note, velocity))
        start += track.phrase_beats

    def hits(old: float, new: float) -> list[Hit]:
        return [hit for event in sequence.events_starting_in_range(old, new)
                for hit in (Hit(event.beat_position, "note_on", event.note, event.velocity),
                            Hit(event.end_position(), "note_off", event.note, 0))]
    return hits


def sampler_for(track: Track) -> Sampler:
    sample = AudioSample(track.data, RATE, track.root_note)
    if track.loop is not None:
        sample.loop_start, sample.loop_end = track.loop
    sampler = Sampler(sample, RATE, track.max_voices)
    sampler.set_envelope(Envelope(*track.envelope))
    return sampler


def render_track(track: Track, bpm: float, beats: float,
                 progress: Callable[[int], None] | None = None) -> Stem:
    """Render one track for `beats` beats at `bpm`; each worker of stems.py runs this."""
    clock = TransportClock(bpm)
    sampler = sampler_for(track)
    source = step_source(track) if track.steps else line_source(track, beats)
    total = frames_for(beats, bpm)
    samples: list[float] = []
    played: list[Hit] = []
    pending: list[Hit] = []  # events reported ahead of their block, such as note-offs
    clock.play()
    while len(samples) < total:
        frames = min(BLOCK, total - len(samples))
        span = clock.advance_by_frames(frames, RATE)
        assert span is not None, "the clock is playing"
        old, new = span
        pending += source(old, new)
        due = sorted((hit for hit in pending if hit.beat < new), key=lambda hit: (hit.beat, hit.kind != "note_off"))
        pending = [hit for hit in pending if hit.beat >= new]
        samples += render_block(sampler, clock, due, len(samples), frames)
        played += due
        if progress:
            progress(frames)
    return Stem(samples, played)


def render_block(sampler: Sampler, clock: TransportClock, due: list[Hit], first: int, frames: int) -> list[float]:
    """Render `frames` frames from frame `first` on, each note event on its own frame."""
    block: list[float] = []
    for hit in due:
        offset = round(clock.beats_to_seconds(hit.beat) * RATE) - first
        block += sampler.render(min(max(offset, len(block)), frames) - len(block))
        if hit.kind == "note_on":
            sampler.note_on(hit.note, hit.velocity)
        else:
            sampler.note_off(hit.note)
    return block + sampler.render(frames - len(block))


def mix(tracks: Sequence[Track], stems: Sequence[Stem], solo: Iterable[str] = (),
        mute: Iterable[str] = ()) -> list[float]:
    """The stems mixed to interleaved stereo with each track's gain and pan."""
    mixer = Mixer()
    mixer.master_gain = 0.8
    solo, mute = set(solo), set(mute)
    for track in tracks:
        index = mixer.add_channel(track.name)
        mixer.set_channel_gain(index, track.gain)
        mixer.set_channel_pan(index, track.pan)
        mixer.set_channel_mute(index, track.muted or track.name in mute)
        mixer.set_channel_solo(index, track.name in solo)
    return mixer.mix_down([stem.samples for stem in stems])


# Output.

def write_wav(path: pathlib.Path, stereo: Sequence[float]) -> None:
    """16-bit stereo, each sample clamped to [-1, 1] and rounded to the nearest step."""
    pcm = array.array("h", (round(max(-1.0, min(1.0, value)) * 32767) for value in stereo))
    if sys.byteorder == "big":
        pcm.byteswap()
    with wave.open(str(path), "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(pcm.tobytes())


def note_bars(hits: Iterable[Hit], clock: TransportClock) -> dict[int, list[tuple[float, float]]]:
    """(start, length) in seconds of every note played, by note number."""
    bars: dict[int, list[tuple[float, float]]] = {}
    started: dict[int, float] = {}
    for hit in sorted(hits, key=lambda hit: (hit.beat, hit.kind != "note_off")):
        seconds = clock.beats_to_seconds(hit.beat)
        if hit.kind == "note_on":
            started[hit.note] = seconds
        elif hit.note in started:
            bars.setdefault(hit.note, []).append((started[hit.note], seconds - started.pop(hit.note)))
    return bars


def draw_png(path: pathlib.Path, stereo: Sequence[float], stems: Sequence[tuple[Track, Stem]],
             bpm: float) -> bool:
    """Waveform above, piano roll of the audible tracks below; False without matplotlib."""
    try:
        import matplotlib
    except ImportError:
        return False
    matplotlib.use("Agg")
    from matplotlib import pyplot

    clock = TransportClock(bpm)
    figure, (wave_axes, roll_axes) = pyplot.subplots(2, 1, figsize=(11, 6), sharex=True)
    seconds = [index / RATE for index in range(len(stereo) // 2)]
    wave_axes.plot(seconds, stereo[0::2], linewidth=0.4, label="left")
    wave_axes.plot(seconds, stereo[1::2], linewidth=0.4, label="right", alpha=0.7)
    wave_axes.set(ylabel="sample", ylim=(-1, 1), title=f"{path.stem}: {bpm:g} bpm")
    wave_axes.legend(loc="upper right")
    for number, (track, stem) in enumerate(stems):
        colour = f"C{number}"
        for note, bars in note_bars(stem.hits, clock).items():
            roll_axes.broken_barh(bars, (note - 0.4, 0.8), color=colour)
        roll_axes.plot([], [], color=colour, linewidth=6, label=track.name)
    roll_axes.set(xlabel="seconds", ylabel="MIDI note")
    roll_axes.margins(y=0.3)
    roll_axes.legend(loc="upper right", ncol=len(stems))
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    pyplot.close(figure)
    return True


def audible(tracks: Sequence[Track], solo: Sequence[str], mute: Sequence[str]) -> list[bool]:
    return [not (track.muted or track.name in mute or (solo and track.name not in solo)) for track in tracks]


class Progress:
    """A one-line progress bar on stderr, redrawn every 5 percent."""

    def __init__(self, total: int) -> None:
        self.total, self.done, self.shown = total, 0, -1

    def __call__(self, frames: int) -> None:
        self.done += frames
        percent = 100 * self.done // self.total // 5 * 5
        if percent != self.shown:
            self.shown = percent
            print(f"\rrendering {percent:3d}%", end="\n" if percent == 100 else "", file=sys.stderr, flush=True)


def parse(arguments: Sequence[str] | None = None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("folder", nargs="?", default="out", type=pathlib.Path, help="output folder (default out/)")
    parser.add_argument("--bars", type=int, default=4, help="length in 4/4 bars (default 4)")
    parser.add_argument("--bpm", type=float, default=174.0, help="tempo (default 174)")
    names = [track.name for track in groove_tracks()]
    parser.add_argument("--solo", action="append", default=[], choices=names, help="solo a track (repeatable)")
    parser.add_argument("--mute", action="append", default=[], choices=names, help="mute a track (repeatable)")
    parser.add_argument("--click", action="store_true", help="hear the click track")
    return parser.parse_args(arguments)


def main(arguments: Sequence[str] | None = None) -> None:
    options = parse(arguments)
    tracks = groove_tracks()
    if options.click:
        tracks = [dataclasses.replace(track, muted=False) for track in tracks]
    beats = 4.0 * options.bars
    progress = Progress(frames_for(beats, options.bpm) * len(tracks))
    started = time.perf_counter()
    stems = [render_track(track, options.bpm, beats, progress) for track in tracks]
    stereo = mix(tracks, stems, options.solo, options.mute)
    elapsed = time.perf_counter() - started
    seconds = len(stereo) / 2 / RATE
    peak = max(map(abs, stereo), default=0.0)

    options.folder.mkdir(parents=True, exist_ok=True)
    wav_path = options.folder / "groove.wav"
    write_wav(wav_path, stereo)
    print(f"wrote {wav_path}: {seconds:.2f} s of 16-bit stereo at {RATE} Hz, peak {peak:.3f}")
    png_path = options.folder / "groove.png"
    heard = [(track, stem) for track, stem, on in zip(tracks, stems, audible(tracks, options.solo, options.mute)) if on]
    if draw_png(png_path, stereo, heard, options.bpm):
        print(f"wrote {png_path}")
    else:
        print("matplotlib is not installed: skipped the PNG")
    print(f"rendered {seconds:.2f} s of audio in {elapsed:.2f} s: {seconds / elapsed:.1f}x real time")


if __name__ == "__main__":
    main()
