"""The built-in bank as the synthesizer plays it: every General MIDI program
and drum sounds, struck and plucked families decay while held, bowed and
blown ones speak within about 40 ms."""
import numpy as np
import pytest

from ostina_render._synth import Synthesizer

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
