"""The built-in instruments, made from the toolkit's oscillators and noise, and users' own samples.

A pitched instrument has zones two octaves wide, each rooted at its lowest
note. Each zone's sample is one cycle of a sum of harmonics, stored at about
twice the output rate and played in a loop; only harmonics that stay below
40% of the output rate at the zone's top note are included, so linear
interpolation images and aliases little. The stored rate is chosen so that
the integer cycle length plays exactly in tune.

Drums are one-shot samples at the output rate, one per note.
"""
from __future__ import annotations

import math
import os
from collections.abc import Callable
from dataclasses import dataclass
from functools import lru_cache

import numpy as np
import numpy.typing as npt

from ostina import AudioSample, Envelope, NoiseSource, SineOscillator

from .errors import RenderError

Samples = npt.NDArray[np.float64]

ZONE_WIDTH = 24  # notes per zone
MAX_HARMONICS = 64
BRIGHTNESS_LIMIT = 0.4  # highest harmonic at a zone's top note, as a fraction of the output rate
OVERSAMPLING = 2  # zones are stored at about this many times the output rate
DRUM_RELEASE = 0.01  # seconds: how fast a choked drum falls silent


@dataclass(frozen=True)
class Sound:
    """What one sampler plays: its sample and envelope."""

    sample: AudioSample
    envelope: Envelope
    release_frames: int  # how long a released note rings at the most
    one_shot: bool = False  # drums: note-offs do not end them
    silent_after: int | None = None  # frames after which a held note has decayed to nothing, if it does

    def one_shot_frames(self, note: int, rate: int) -> int:
        """How long a note of a sample that is not looped sounds at the most: until
        its read position passes the end of the data, a frame or two spared for
        rounding."""
        increment = self.sample.sample_rate / rate * math.exp2((note - self.sample.root_note) / 12)
        return math.ceil(len(self.sample) / increment) + 3 if increment > 0 else 0


@dataclass(frozen=True)
class UserSample:
    """A sample file that replaces a program or a drum note. For a program it sounds at
    its own pitch on `root_note`; a drum note always plays it at its own pitch."""

    path: str
    root_note: int = 60


@dataclass(frozen=True)
class Family:
    """A General MIDI program family: its harmonic recipe, envelope and level."""

    name: str
    harmonics: Callable[[int], float]  # amplitude of harmonic h (h from 1)
    envelope: tuple[float, float, float, float]  # attack, decay, sustain, release in seconds / level
    level: float
    decay_follows_pitch: bool = False  # piano-like decays shorten as notes rise


def _odd(h: int) -> float:
    return 1.0 / h if h % 2 else 0.0


FAMILIES: tuple[Family, ...] = (
    Family("piano", lambda h: h ** -1.4 * (1.0 if h != 7 else 0.3), (0.002, 2.0, 0.0, 0.15), 0.10, True),
    Family("chromatic percussion", lambda h: {1: 1.0, 2: 0.1, 3: 0.35, 4: 0.45, 6: 0.15}.get(h, 0.0),
           (0.001, 1.2, 0.0, 0.35), 0.10, True),
    Family("organ", lambda h: {1: 1.0, 2: 0.7, 3: 0.5, 4: 0.45, 6: 0.3, 8: 0.25, 10: 0.1, 12: 0.1}.get(h, 0.0),
           (0.008, 0.05, 0.9, 0.06), 0.07),
    Family("guitar", lambda h: abs(math.sin(math.pi * h * 0.18)) / h, (0.002, 1.8, 0.0, 0.12), 0.11, True),
    Family("bass", lambda h: h ** -2.0, (0.004, 1.2, 0.3, 0.08), 0.12),
    Family("strings", lambda h: 1.0 / h, (0.09, 0.25, 0.85, 0.3), 0.07),
    Family("ensemble", lambda h: h ** -1.2, (0.15, 0.3, 0.85, 0.45), 0.07),
    Family("brass", lambda h: h ** -0.9 if h <= 12 else h ** -2.0, (0.04, 0.15, 0.8, 0.15), 0.07),
    Family("reed", lambda h: _odd(h) or 0.3 / h, (0.03, 0.1, 0.85, 0.1), 0.07),
    Family("pipe", lambda h: {1: 1.0, 2: 0.15, 3: 0.08, 4: 0.03}.get(h, 0.0), (0.05, 0.1, 0.9, 0.12), 0.09),
    Family("synth lead", _odd, (0.005, 0.1, 0.8, 0.08), 0.07),
    Family("synth pad", lambda h: h ** -1.5, (0.4, 0.5, 0.8, 0.9), 0.06),
    Family("synth effects", lambda h: 1.0 / h if h % 3 else 0.5 / h, (0.2, 1.0, 0.6, 1.2), 0.06),
    Family("ethnic", lambda h: h ** -0.9, (0.002, 1.0, 0.0, 0.2), 0.09, True),
    Family("percussive", lambda h: {1: 1.0, 2: 0.3, 5: 0.2}.get(h, 0.0), (0.001, 0.4, 0.0, 0.1), 0.11, True),
    Family("sound effects", lambda h: 0.0, (0.05, 0.3, 0.6, 0.3), 0.06),
)


def note_hz(note: float) -> float:
    return 440.0 * math.exp2((note - 69) / 12)


def zone_of(note: int) -> int:
    """The zone that plays `note`: zones are ZONE_WIDTH notes wide, from note 0."""
    return note // ZONE_WIDTH


def _release_frames(envelope: tuple[float, float, float, float], rate: int) -> int:
    return math.ceil(envelope[3] * rate) + 3


def _silent_after(envelope: tuple[float, float, float, float], rate: int) -> int | None:
    """When a held note that decays to a sustain of 0 has fallen silent: the
    stages end within a frame of their times, and a few frames spare the
    rounding of the envelope's clock."""
    attack, decay, sustain, _ = envelope
    return math.ceil(attack * rate) + math.ceil(decay * rate) + 8 if sustain == 0 else None


# Pitched zones.

def _harmonic_cycle(family: Family, cycle: int, harmonics: int) -> Samples:
    """One cycle of `cycle` frames plus two guard frames that repeat its start.

    Harmonic h reads the oscillator's own cycle h frames at a time, so every
    harmonic closes on the loop and interpolation across the seam stays smooth.
    """
    sine = np.asarray(SineOscillator(1.0, 1.0, cycle).render_to_buffer(cycle))
    frames = np.arange(cycle + 2)
    total = np.zeros(cycle + 2)
    for h in range(1, harmonics + 1):
        amplitude = family.harmonics(h)
        if amplitude:
            total += amplitude * sine[h * frames % cycle]
    return total


def _noise_loop(frames: int, seed: int) -> Samples:
    """Noise closed into a loop by two guard frames."""
    noise = np.asarray(NoiseSource(1.0, seed).render_to_buffer(frames))
    return np.concatenate([noise, noise[:2]])


def _normalized(samples: Samples, level: float) -> npt.NDArray[np.float32]:
    peak = float(np.max(np.abs(samples))) or 1.0
    return (samples * (level / peak)).astype(np.float32)


@lru_cache(maxsize=512)
def pitched_zone(family_index: int, zone: int, rate: int) -> Sound:
    """The sound of a program family (program // 8) for the notes of `zone`, at output `rate`."""
    family = FAMILIES[family_index]
    root = zone * ZONE_WIDTH
    root_hz = note_hz(root)
    cycle = max(2, round(OVERSAMPLING * rate / root_hz))
    if family.name == "sound effects":
        data = _noise_loop(cycle * max(1, rate // (2 * cycle)), seed=family_index)
        stored_rate = round(root_hz * cycle)
    else:
        top_hz = note_hz(root + ZONE_WIDTH - 1)
        harmonics = max(1, min(MAX_HARMONICS, int(BRIGHTNESS_LIMIT * rate / top_hz)))
        data = _harmonic_cycle(family, cycle, harmonics)
        stored_rate = round(root_hz * cycle)  # one cycle of `cycle` frames then plays at exactly root_hz
    sample = AudioSample(_normalized(data, family.level), sample_rate=stored_rate, root_note=root)
    sample.loop_start = 0
    sample.loop_end = len(data) - 2
    envelope = _pitched_envelope(family, root)
    return Sound(sample, Envelope(*envelope), _release_frames(envelope, rate), silent_after=_silent_after(envelope, rate))


def _pitched_envelope(family: Family, root: int) -> tuple[float, float, float, float]:
    attack, decay, sustain, release = family.envelope
    if family.decay_follows_pitch:
        # Higher strings ring shorter: the decay halves every two octaves above middle C.
        decay *= min(1.5, math.exp2(-(root - 60) / 24))
    return attack, decay, sustain, release


# Drums.

TABLE = 8192


@lru_cache(maxsize=1)
def _sine_table() -> Samples:
    """One cycle of the sine oscillator, for tones whose pitch moves."""
    return np.asarray(SineOscillator(1.0, 1.0, TABLE).render_to_buffer(TABLE + 1))


def _sweep(start_hz: float, end_hz: float, sweep_seconds: float, seconds: float, rate: int) -> Samples:
    """A sine gliding exponentially from `start_hz` to `end_hz`, read from the oscillator's table."""
    t = np.arange(int(seconds * rate)) / rate
    hz = end_hz + (start_hz - end_hz) * _libm(math.exp, -t / sweep_seconds)
    phase = np.cumsum(hz / rate) % 1.0 * TABLE
    index = phase.astype(np.int64)
    table = _sine_table()
    return table[index] + (table[index + 1] - table[index]) * (phase - index)


def _noise(seconds: float, rate: int, seed: int, brightness: int = 0) -> Samples:
    """Noise; each degree of `brightness` differentiates it once (a gentle high-pass)."""
    noise = np.asarray(NoiseSource(1.0, seed).render_to_buffer(int(seconds * rate) + brightness))
    return np.diff(noise, n=brightness) if brightness else noise


def _decay(frames: int, seconds: float, rate: int) -> Samples:
    """An exponential fall to 1/1000 after `seconds`."""
    return _libm(lambda x: 0.001 ** x, np.arange(frames) / (seconds * rate))


def _libm(function: Callable[[float], float], values: Samples) -> Samples:
    """`function` of each value through the C math library, as Python's math does:
    numpy's own exp and power take code paths that differ from one processor to
    another, and the same file must give the same bytes on every machine."""
    return np.fromiter(map(function, values.tolist()), np.float64, len(values))


def _tones(freqs: tuple[float, ...], seconds: float, rate: int) -> Samples:
    frames = int(seconds * rate)
    return sum((np.asarray(SineOscillator(f, 1.0, rate).render_to_buffer(frames)) for f in freqs), np.zeros(frames))


def _drum(body: Samples, seconds: float, rate: int) -> Samples:
    return body * _decay(len(body), seconds, rate)


def _kick(rate: int, start: float = 120.0, end: float = 45.0) -> Samples:
    return _drum(_sweep(start, end, 0.04, 0.45, rate), 0.4, rate)


def _tom(hz: float) -> Callable[[int], Samples]:
    def make(rate: int) -> Samples:
        body = _sweep(hz * 1.6, hz, 0.05, 0.6, rate) + 0.15 * _noise(0.6, rate, seed=int(hz))
        return _drum(body, 0.5, rate)
    return make


def _snare(rate: int, seed: int = 38) -> Samples:
    tone = _sweep(260.0, 185.0, 0.02, 0.3, rate)
    return _drum(0.6 * tone * _decay(len(tone), 0.08, rate) + _noise(0.3, rate, seed, 1), 0.22, rate)


def _clap(rate: int) -> Samples:
    noise = _noise(0.35, rate, seed=39, brightness=1)
    bursts = np.zeros(len(noise))
    for start in (0.0, 0.011, 0.022, 0.033):
        begin = int(start * rate)
        bursts[begin:] += _decay(len(noise) - begin, 0.02 if start < 0.03 else 0.25, rate)
    return noise * bursts


def _hat(seconds: float, seed: int) -> Callable[[int], Samples]:
    return lambda rate: _drum(_noise(seconds + 0.05, rate, seed, brightness=2), seconds, rate)


def _cymbal(seconds: float, seed: int, ring: tuple[float, ...] = ()) -> Callable[[int], Samples]:
    def make(rate: int) -> Samples:
        body = _noise(seconds, rate, seed, brightness=1)
        if ring:
            body = body + 0.3 * _tones(ring, seconds, rate)[: len(body)]
        return _drum(body, seconds, rate)
    return make


def _tuned(freqs: tuple[float, ...], seconds: float) -> Callable[[int], Samples]:
    return lambda rate: _drum(_tones(freqs, seconds, rate), seconds, rate)


def _shaker(seconds: float, seed: int) -> Callable[[int], Samples]:
    return lambda rate: _drum(_noise(seconds, rate, seed, brightness=2), seconds / 2, rate)


DRUMS: dict[int, Callable[[int], Samples]] = {
    27: _tuned((2200.0,), 0.08), 28: _shaker(0.1, 28), 29: _shaker(0.15, 29), 30: _shaker(0.2, 30),
    31: _tuned((1800.0, 2600.0), 0.05), 32: _tuned((1500.0,), 0.05), 33: _tuned((2000.0,), 0.04),
    34: _tuned((2637.0, 3951.0), 0.5),
    35: lambda rate: _kick(rate, 100.0, 40.0), 36: _kick,
    37: _tuned((820.0, 1630.0), 0.05),
    38: _snare, 39: _clap, 40: lambda rate: _snare(rate, seed=40),
    41: _tom(82.0), 43: _tom(98.0), 45: _tom(110.0), 47: _tom(131.0), 48: _tom(147.0), 50: _tom(175.0),
    42: _hat(0.06, 42), 44: _hat(0.1, 44), 46: _hat(0.6, 46),
    49: _cymbal(1.6, 49), 51: _cymbal(1.4, 51, (2320.0, 3170.0, 4510.0)), 52: _cymbal(1.2, 52),
    53: _tuned((2320.0, 3170.0, 4510.0), 0.9), 54: _shaker(0.25, 54), 55: _cymbal(0.7, 55),
    56: _tuned((562.0, 845.0), 0.3), 57: _cymbal(1.8, 57), 58: _shaker(0.8, 58),
    59: _cymbal(1.5, 59, (2410.0, 3310.0, 4680.0)),
    60: _tuned((410.0,), 0.2), 61: _tuned((300.0,), 0.25), 62: _tuned((370.0,), 0.08),
    63: _tuned((330.0,), 0.3), 64: _tuned((250.0,), 0.35), 65: _tuned((660.0,), 0.3), 66: _tuned((500.0,), 0.35),
    67: _tuned((890.0, 1330.0), 0.3), 68: _tuned((740.0, 1110.0), 0.3), 69: _shaker(0.15, 69),
    70: _shaker(0.12, 70), 71: _tuned((2100.0,), 0.25), 72: _tuned((2100.0,), 0.6), 73: _shaker(0.1, 73),
    74: _shaker(0.4, 74), 75: _tuned((2500.0,), 0.1), 76: _tuned((1200.0,), 0.1), 77: _tuned((900.0,), 0.1),
    78: _tuned((620.0, 930.0), 0.15), 79: _tuned((470.0, 700.0), 0.3), 80: _tuned((4200.0, 6100.0), 0.15),
    81: _tuned((4200.0, 6100.0), 1.2), 82: _shaker(0.15, 82), 83: _shaker(0.4, 83), 84: _tuned((3200.0,), 0.6),
    85: _tuned((1700.0,), 0.06), 86: _tuned((220.0,), 0.3), 87: _tuned((180.0,), 0.5),
}
DRUM_LEVEL = 0.25
CHOKES = {42: (46,), 44: (46,), 80: (81,)}  # a closed hat silences the open one, a muted triangle the open one


@lru_cache(maxsize=128)
def drum(note: int, rate: int) -> Sound | None:
    """The kit's sound for `note` at `rate`, or None for a note the kit does not have."""
    make = DRUMS.get(note)
    if make is None:
        return None
    sample = AudioSample(_normalized(make(rate), DRUM_LEVEL), sample_rate=rate, root_note=note)
    return _one_shot(sample, rate)


def _one_shot(sample: AudioSample, rate: int) -> Sound:
    envelope = (0.0, 0.0, 1.0, DRUM_RELEASE)
    return Sound(sample, Envelope(*envelope), _release_frames(envelope, rate), one_shot=True)


# Users' samples.

USER_ENVELOPE = (0.002, 0.0, 1.0, 0.15)


@lru_cache(maxsize=64)
def _read_user_sample(path: str) -> tuple[npt.NDArray[np.float32], int]:
    import soundfile

    if not os.path.isfile(path):
        raise RenderError(f"{path}: no such sample file")
    try:
        data, rate = soundfile.read(path, dtype="float32", always_2d=True)
    except (soundfile.LibsndfileError, RuntimeError, TypeError, ValueError, OSError) as error:
        reason = getattr(error, "error_string", "") or str(error).strip() or type(error).__name__
        raise RenderError(f"{path}: cannot read this sample file ({reason})") from None
    if not len(data):
        raise RenderError(f"{path}: the sample file holds no audio")
    return np.ascontiguousarray(data.mean(axis=1, dtype=np.float32)), int(rate)


def user_sound(user: UserSample, rate: int, drum_note: int | None = None) -> Sound:
    """A sound from a user's file, for a program or for the drum note `drum_note`:
    stereo is mixed to mono, any rate and bit depth."""
    if not 0 <= user.root_note <= 127:
        raise RenderError(f"{user.path}: root note {user.root_note} is outside 0-127")
    data, sample_rate = _read_user_sample(os.fspath(user.path))
    root = user.root_note if drum_note is None else drum_note
    sample = AudioSample(data, sample_rate=sample_rate, root_note=root)
    if drum_note is not None:
        return _one_shot(sample, rate)
    return Sound(sample, Envelope(*USER_ENVELOPE), _release_frames(USER_ENVELOPE, rate))
