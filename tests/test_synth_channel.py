"""Channel meaning as General MIDI players have it: pitch bend and its range,
tuning, pedals, exclusive classes, the polyphony limit and the channel-wide
controllers, played on the synthesizer core message by message."""
import math

import numpy as np
import pytest

from ostina_render._synth import Bank, Synthesizer
from synth_banks import CENTRE, RATE, cents, dc_bank, frequency, key_range, render, sine_bank, synthesizer, timecents


def bent(bend, rpn=None, tuning=()):
    bank, hz = sine_bank(220.0)
    synth = synthesizer(bank)
    if rpn is not None:  # RPN 0: the bend range, semitones and cents
        for controller, value in [(101, 0), (100, 0), (6, rpn[0]), (38, rpn[1])]:
            synth.control_change(0, controller, value)
    for controller, value in tuning:
        synth.control_change(0, controller, value)
    synth.note_on(0, 60, 127)
    synth.pitch_bend(0, bend)
    return cents(frequency(render(synth, RATE)[RATE // 10:, 0]) / hz)


@pytest.mark.parametrize("bend, rpn, expected", [
    (8192, None, 0.0), (0, None, -200.0), (16383, None, 200 * 8191 / 8192), (4096, None, -100.0),
    (0, (12, 0), -1200.0), (12288, (7, 50), 375.0), (0, (0, 0), 0.0),
])
def test_pitch_bend_follows_its_range_set_by_rpn_0(bend, rpn, expected):
    assert bent(bend, rpn) == pytest.approx(expected, abs=0.5)


@pytest.mark.parametrize("tuning, expected", [
    ([(101, 0), (100, 1), (6, 96), (38, 0)], 50.0),    # fine tuning: 14 bits around 8192, +-100 cents
    ([(101, 0), (100, 2), (6, 62)], -200.0),           # coarse tuning: semitones around 64
    ([(101, 127), (100, 127), (6, 80)], 0.0),          # the null parameter takes no data
])
def test_fine_and_coarse_tuning_rpns(tuning, expected):
    assert bent(8192, None, tuning) == pytest.approx(expected, abs=0.5)


def level_after(synth, frames):
    return render(synth, frames)[-1, 0]


def held_bank():
    return dc_bank([("releaseVolEnv", timecents(0.01))])


def test_the_sustain_pedal_holds_note_offs_until_it_rises():
    synth = synthesizer(held_bank())
    synth.note_on(0, 60, 127)
    synth.control_change(0, 64, 127)
    synth.note_off(0, 60)
    assert level_after(synth, RATE) == pytest.approx(CENTRE, rel=1e-6)
    synth.control_change(0, 64, 0)
    assert level_after(synth, RATE // 10) == 0 and synth.active_voices == 0


def test_sostenuto_holds_only_the_notes_down_when_it_went_down():
    synth = synthesizer(held_bank())
    synth.note_on(0, 60, 127)
    synth.control_change(0, 66, 127)
    synth.note_on(0, 64, 127)
    synth.note_off(0, 60)
    synth.note_off(0, 64)  # not held: its key went down after the pedal
    assert level_after(synth, RATE // 10) == pytest.approx(CENTRE, rel=1e-6) and synth.active_voices == 1
    synth.control_change(0, 66, 0)
    assert level_after(synth, RATE // 10) == 0


def test_the_soft_pedal_softens_the_notes_struck_while_it_is_down():
    synth = synthesizer(held_bank())
    synth.control_change(0, 67, 127)
    synth.note_on(0, 60, 127)
    synth.control_change(0, 67, 0)
    synth.note_on(0, 62, 127)
    soft_and_plain = level_after(synth, RATE // 10) / CENTRE
    assert soft_and_plain == pytest.approx(1 + 10 ** (-50 / 200), rel=1e-3)  # 5 dB softer, and darker (DC passes)


def test_a_note_off_ends_the_oldest_note_of_its_key_and_overlaps_ring_on():
    synth = synthesizer(held_bank())
    synth.note_on(0, 60, 127)
    synth.note_on(0, 60, 127)
    assert level_after(synth, 1000) == pytest.approx(2 * CENTRE, rel=1e-6)
    synth.note_off(0, 60)
    assert level_after(synth, RATE // 10) == pytest.approx(CENTRE, rel=1e-6)
    synth.note_on(0, 60, 0)  # velocity 0 is a note-off
    assert level_after(synth, RATE // 10) == 0


def kit():
    """Keys 42 and 46 in exclusive class 1, key 38 in none: a closed hat chokes the open one."""
    bank = Bank()
    sample = bank.add_sample(np.ones(RATE, np.float32), RATE, 60)
    zones = [(sample, [("keyRange", key_range(key, key)), ("exclusiveClass", group)])
             for key, group in [(38, 0), (42, 1), (46, 1)]]
    bank.add_preset(128, 0, [(bank.add_instrument(zones), [])])
    return bank


def test_an_exclusive_class_chokes_its_other_notes_quickly():
    synth = synthesizer(kit(), channels=(9,))
    synth.note_on(9, 46, 127)
    synth.note_on(9, 38, 127)
    render(synth, 1000)
    synth.note_on(9, 42, 127)
    assert synth.active_voices == 3
    render(synth, int(0.005 * RATE) + 64)
    assert synth.active_voices == 2  # the open hat fell 100 dB in 5 ms; the snare rings on


def test_the_polyphony_limit_steals_the_quietest_released_voice_then_the_oldest():
    bank = Bank()
    zones = []
    for key in range(60, 72):  # each key its own level, to tell which voices remain
        sample = bank.add_sample(np.full(RATE, (key - 59) / 64, np.float32), RATE, key)
        zones.append((sample, [("keyRange", key_range(key, key)), ("releaseVolEnv", timecents(2.0))]))
    bank.add_preset(0, 0, [(bank.add_instrument(zones), [])])
    synth = synthesizer(bank, polyphony=3)
    for key in (60, 61, 62):
        synth.note_on(0, key, 127)
    render(synth, 100)
    synth.note_off(0, 61)
    render(synth, 100)
    synth.note_on(0, 63, 127)  # takes 61's released voice
    synth.note_on(0, 64, 127)  # none released: takes the oldest, 60
    assert synth.active_voices == 3
    level = level_after(synth, 100) / CENTRE
    assert level == pytest.approx((3 + 4 + 5) / 64, rel=1e-5)


@pytest.mark.parametrize("controller", [120, 123])
def test_all_sound_off_silences_at_once_and_all_notes_off_releases(controller):
    synth = synthesizer(held_bank())
    for key in (60, 64):
        synth.note_on(0, key, 127)
    render(synth, 1000)
    synth.control_change(0, controller, 0)
    after = render(synth, RATE // 10)[:, 0]
    if controller == 120:
        assert not after.any()
    else:
        assert 0 < after[1] < after[0] and after[-1] == 0


def test_reset_all_controllers_restores_expression_and_the_wheel_but_keeps_volume():
    synth = synthesizer(held_bank())
    synth.control_change(0, 7, 100)
    synth.control_change(0, 11, 20)
    synth.note_on(0, 60, 127)
    synth.control_change(0, 121, 0)
    level = level_after(synth, 1000) / CENTRE
    assert level == pytest.approx((100 / 127) ** 2, rel=1e-5)


def test_volume_changes_glide_over_a_control_period_without_a_step():
    synth = synthesizer(held_bank())
    synth.note_on(0, 60, 127)
    render(synth, 1000)
    synth.control_change(0, 7, 64)
    left = render(synth, 200)[:, 0] / CENTRE
    target = (64 / 127) ** 2
    steps = np.abs(np.diff(left[:64]))
    assert left[0] > target and left[70] == pytest.approx(target, rel=1e-6)
    assert steps.max() < 2 * (1 - target) / 64


def test_a_drum_kit_plays_on_channel_10_whatever_the_bank_select():
    synth = synthesizer(kit(), channels=(9,))
    synth.control_change(9, 0, 5)
    synth.program_change(9, 40)  # no kit 40: kit 0 plays
    synth.note_on(9, 38, 127)
    assert synth.active_voices == 1
    synth.note_on(0, 38, 127)  # no melodic preset in this bank: nothing plays
    assert synth.active_voices == 1


def test_a_note_of_more_zones_than_voices_plays_as_many_as_fit():
    bank = Bank()
    sample = bank.add_sample(np.ones(RATE, np.float32), RATE, 60)
    bank.add_preset(0, 0, [(bank.add_instrument([(sample, []), (sample, [])]), [])])
    synth = synthesizer(bank, polyphony=1)
    synth.note_on(0, 60, 127)
    assert synth.active_voices == 1
