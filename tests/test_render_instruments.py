"""The built-in bank as the synthesizer plays it: every General MIDI program
and drum sounds, struck and plucked families decay while held, bowed and
blown ones speak within about 40 ms, the piano's bass is rich in partials."""
import numpy as np
import pytest

from ostina_render._synth import Synthesizer
from ostina_render.banks import write_builtin_soundfont

RATE = 44100
DECAYING = [*range(16), *range(24, 29), 31]  # pianos, mallets, the unamplified guitars
SPEAKING = [program for family in (2, 5, 6, 7, 8, 9) for program in range(8 * family, 8 * family + 8)]


def envelope(program=0, key=60, channel=0, seconds=3.0):
    """The peak of each 10 ms of one held note, both sides together."""
    synth = Synthesizer(rate=RATE)
    synth.program_change(channel, program)
    synth.note_on(channel, key, 100)
    audio = np.frombuffer(synth.render(int(seconds * RATE)), np.float32).reshape(-1, 2)
    blocks = np.abs(audio).max(axis=1)[: len(audio) // 441 * 441].reshape(-1, 441)
    return blocks.max(axis=1)


@pytest.mark.parametrize("program", range(128))
def test_every_program_sounds_unclipped(program):
    levels = envelope(program, seconds=0.3)
    assert 1e-3 < levels.max() < 0.5


@pytest.mark.parametrize("key", range(27, 88))
def test_every_drum_of_the_kit_sounds(key):
    assert envelope(key=key, channel=9, seconds=0.3).max() > 1e-3


@pytest.mark.parametrize("program", DECAYING)
def test_struck_and_plucked_notes_decay_while_held(program):
    levels = envelope(program, seconds=6.0)
    assert levels[-1] < levels[5] * 10 ** (-40 / 20)


@pytest.mark.parametrize("program", SPEAKING)
def test_bowed_and_blown_notes_reach_their_level_within_40_ms(program):
    levels = envelope(program, seconds=0.5)
    assert levels[4] >= 0.8 * levels[20:].max()  # by 50 ms, at the latest


def test_the_pianos_partials_fall_less_steeply_in_the_bass(tmp_path):
    bank = write_builtin_soundfont(tmp_path / "builtin.sf2")
    falls = []  # the fourth partial against the first, in dB, in the zones rooted at keys 24 and 72
    for key_low, _, _, _, index, _ in bank.regions(0, 0):
        if key_low in (24, 72):
            _, rate, root, _, start, end = bank.samples()[index]
            spectrum = np.abs(np.fft.rfft(np.frombuffer(bank.sample_data(index), np.float32)[start:end]))
            cycles = round((end - start) * 440.0 * 2 ** ((root - 69) / 12) / rate)  # in the loop
            fourth, first = (spectrum[round(h * cycles * 0.97):round(h * cycles * 1.05) + 1].max() for h in (4, 1))
            falls.append(20 * np.log10(fourth / first))
    assert falls[0] - falls[1] > 4.0  # h^-1.13 against h^-1.6: 5.6 dB
