"""A voice against its SoundFont formulas: the volume envelope's stages in
timecents and centibels, loop modes, tuning, attenuation and pan, and the filter."""
import math

import numpy as np
import pytest

from synth_banks import (CENTRE, RATE, bank_of, cents, dc_bank, frames_of, frequency, render, sine_bank,
                         synthesizer, timecents)

ENVELOPE = {"delayVolEnv": timecents(0.01), "attackVolEnv": timecents(0.02), "holdVolEnv": timecents(0.01),
            "decayVolEnv": timecents(0.5), "sustainVolEnv": 200, "releaseVolEnv": timecents(0.3)}


def envelope_levels(generators, key=60, held=RATE):
    """The left channel of one note at full velocity, held for `held` frames, over its
    voice's whole life, divided by the centre pan's share."""
    synth = synthesizer(dc_bank(list(generators.items())))
    synth.note_on(0, key, 127)
    audio = [render(synth, held)]
    synth.note_off(0, key)
    audio.append(render(synth, 2 * RATE))
    return np.concatenate(audio)[:, 0] / CENTRE, synth.active_voices


def test_the_volume_envelope_follows_its_stages_in_timecents_and_centibels():
    levels, voices = envelope_levels(ENVELOPE)
    delay, attack, hold = (frames_of(ENVELOPE[name]) for name in ("delayVolEnv", "attackVolEnv", "holdVolEnv"))
    decay = 2 ** (ENVELOPE["decayVolEnv"] / 1200) * RATE  # frames for a 100 dB fall
    assert not levels[:delay].any()
    ramp = np.arange(1, attack + 1) / attack  # linear in amplitude, sounding from the first frame
    np.testing.assert_allclose(levels[delay:delay + attack], ramp, rtol=1e-5, atol=1e-6)
    peak = delay + attack
    np.testing.assert_allclose(levels[peak:peak + hold], 1.0, rtol=1e-6)
    falling = np.arange(0, math.ceil(decay * 0.2))  # 200 cB is a fifth of the full fall
    np.testing.assert_allclose(levels[peak + hold + falling], 10 ** (-5 * falling / decay), rtol=1e-5)
    sustain = 10 ** (-200 / 200)
    assert levels[RATE - 1] == pytest.approx(sustain, rel=1e-6)
    release = 2 ** (ENVELOPE["releaseVolEnv"] / 1200) * RATE
    after = np.arange(0, 1000)
    np.testing.assert_allclose(levels[RATE + after], sustain * 10 ** (-5 * after / release), rtol=1e-5)
    # From -20 dB the release takes four fifths of its time to reach -100 dB, then the voice ends.
    ends = RATE + math.ceil(0.8 * release)
    assert levels[ends - 1] > 0 and not levels[ends:].any() and voices == 0


@pytest.mark.parametrize("key, factor", [(60, 1.0), (72, 0.5), (48, 2.0)])
def test_hold_and_decay_scale_with_the_key(key, factor):
    generators = {"holdVolEnv": timecents(0.1), "keynumToVolEnvHold": 100, "decayVolEnv": timecents(1.0),
                  "keynumToVolEnvDecay": 100, "sustainVolEnv": 1000}
    levels, _ = envelope_levels(generators, key, held=4 * RATE)
    attack = frames_of(-12000)
    hold = frames_of(generators["holdVolEnv"] + 100 * (60 - key))  # 100 timecents a key: an octave doubles
    assert hold == pytest.approx(0.1 * factor * RATE, rel=1e-3)
    assert levels[attack + hold] == pytest.approx(1.0, rel=1e-6) and levels[attack + hold + 1] < 0.9999
    # A sustain of 1000 cB is silence: the held note ends when its decay reaches it.
    decay = 2 ** ((generators["decayVolEnv"] + 100 * (60 - key)) / 1200) * RATE
    assert np.flatnonzero(levels)[-1] == attack + hold + math.ceil(decay) - 1


def test_a_note_released_in_its_attack_falls_from_where_it_was():
    levels, _ = envelope_levels({"attackVolEnv": timecents(0.1), "releaseVolEnv": timecents(0.1)}, held=RATE // 20)
    at = RATE // 20
    assert levels[at - 1] == pytest.approx(0.5, abs=1e-3)
    assert levels[at + 1] < levels[at - 1] and levels[at + 441] == pytest.approx(0.5 * 10 ** (-0.5), rel=1e-3)


def ramp_bank(mode, frames=1000, loop=(200, 400)):
    return bank_of(np.arange(frames) / frames, [("sampleModes", mode), ("releaseVolEnv", timecents(0.05))],
                   loop=loop)


@pytest.mark.parametrize("mode, loop_offset, tail, ends_at", [(1, 0, 0, 0.8), (1, 1, 0, 1.0), (0, 0, 0, 0.8),
                                                              (3, 0, 1000, 1.0)])
def test_a_voice_is_judged_inaudible_by_the_peak_of_the_frames_ahead_of_it(mode, loop_offset, tail, ends_at):
    # A loud attack of 1.0 before frames of 0.1: past the attack, whether it loops them
    # or not, the voice is 20 dB quieter than its sample's peak, and ends when its
    # envelope is at -80 dB. A loop moved by an offset is judged by the whole sample's
    # peak, as are its frames unknown; a loop that a release leaves for a loud tail, by
    # the tail's.
    prefix, rest = 1000, RATE
    data = np.concatenate([np.ones(prefix), np.full(rest, 0.1), np.ones(tail)])
    decay = timecents(0.5)
    generators = [("sampleModes", mode), ("decayVolEnv", decay), ("sustainVolEnv", 1000),
                  ("startloopAddrsOffset", loop_offset)]
    synth = synthesizer(bank_of(data, generators, loop=(prefix, prefix + rest)))
    synth.note_on(0, 60, 127)
    levels = render(synth, RATE)[:, 0]
    last = np.flatnonzero(levels)[-1]
    assert ends_at * frames_of(decay) <= last < ends_at * frames_of(decay) + 2 * 64


@pytest.mark.parametrize("mode", [0, 1, 3])
def test_loop_modes(mode):
    synth = synthesizer(ramp_bank(mode))
    synth.note_on(0, 60, 127)
    held = render(synth, 2000)[:, 0] / CENTRE
    synth.note_off(0, 60)
    released = render(synth, 3000)[:, 0] / CENTRE
    attack = frames_of(-12000)
    plays = np.arange(attack, 1000)  # past the attack, at the sample's own rate: every frame exact
    if mode == 0:  # once through, then the voice ends at the sample's end
        np.testing.assert_allclose(held[plays], plays / 1000, rtol=1e-6)
        assert not held[1001:].any()
    else:  # the loop repeats while the key is down
        looped = 200 + (np.arange(attack, 2000) - 200) % 200
        np.testing.assert_allclose(held[attack:2000][400 - attack:], looped[400 - attack:] / 1000, rtol=2e-5)
    if mode == 3:  # released, it plays on from the loop to the sample's end and stops there
        assert released[:1000].any() and not released[1000:].any()
    if mode == 1:  # it loops on through the release
        assert released[2000] > 0


@pytest.mark.parametrize("generators, key, expected_cents", [
    ([], 60, 0), ([], 67, 700), ([], 48, -1200),
    ([("coarseTune", 3)], 60, 300), ([("fineTune", -37)], 60, -37), ([("scaleTuning", 50)], 72, 600),
    ([("overridingRootKey", 57)], 60, 300), ([("coarseTune", -2), ("fineTune", 99)], 64, 299),
])
def test_a_notes_frequency_follows_key_root_and_tuning_within_half_a_cent(generators, key, expected_cents):
    bank, hz = sine_bank(220.0, generators)
    synth = synthesizer(bank)
    synth.note_on(0, key, 127)
    tone = render(synth, RATE)[RATE // 10:, 0]
    assert cents(frequency(tone) / hz) == pytest.approx(expected_cents, abs=0.5)


@pytest.mark.parametrize("rate, correction", [(22050, 0), (48000, 0), (44100, -30), (96000, 12)])
def test_the_samples_own_rate_and_pitch_correction_are_tuned_in(rate, correction):
    bank, hz = sine_bank(330.0, rate=rate, correction=correction)
    synth = synthesizer(bank)
    synth.note_on(0, 60, 127)
    tone = render(synth, RATE)[RATE // 10:, 0]
    assert cents(frequency(tone) / hz) == pytest.approx(correction, abs=0.5)


@pytest.mark.parametrize("attenuation, pan, velocity, volume", [
    (0, 0, 127, 127), (100, 0, 127, 127), (0, -500, 127, 127), (0, 250, 127, 127),
    (0, 0, 64, 127), (0, 0, 127, 64), (60, -100, 90, 100),
])
def test_attenuation_pan_velocity_and_volume_set_the_level(attenuation, pan, velocity, volume):
    synth = synthesizer(dc_bank([("initialAttenuation", attenuation), ("pan", pan)]))
    synth.control_change(0, 7, volume)
    synth.note_on(0, 60, velocity)
    left, right = render(synth, 4096)[-1]
    # Velocity and CC7 attenuate by 40 log10(127 / value) dB, the concave curve over 960 cB.
    centibels = attenuation - 400 * math.log10(velocity / 127) - 400 * math.log10(volume / 127)
    gain = 10 ** (-centibels / 200)
    angle = (pan + 500) / 1000 * math.pi / 2
    assert (left, right) == (pytest.approx(gain * math.cos(angle), rel=1e-5, abs=1e-7),
                             pytest.approx(gain * math.sin(angle), rel=1e-5, abs=1e-7))


CUTOFF = 7217  # 1 cent from the nearest point of the 4-cent grid on which the filter follows it


def steady_tone(cutoff=None, resonance=0):
    """A sine at CUTOFF's frequency, filtered at `cutoff` (None: not at all), half a second in."""
    generators = [] if cutoff is None else [("initialFilterFc", cutoff), ("initialFilterQ", resonance)]
    bank, _ = sine_bank(440 * 2 ** ((CUTOFF - 6900) / 1200), generators)
    synth = synthesizer(bank)
    synth.note_on(0, 60, 127)
    return render(synth, RATE)[RATE // 2:, 0].astype(np.float64)


@pytest.mark.parametrize("resonance, expected_db", [(0, -3.0103), (120, 6.0), (200, 10.0), (400, 20.0)])
def test_the_filter_passes_its_cutoff_at_the_resonance_less_half_its_height(resonance, expected_db):
    """At the cutoff the gain over DC's is the resonance's height (Butterworth's -3 dB
    without one), and DC falls by half the height. A sharp peak needs a finer grid: on
    the 4-cent one, 400 cB would lose 0.06 dB here."""
    def level(tone):
        return math.sqrt(np.mean(tone ** 2))
    gain = level(steady_tone(CUTOFF, resonance)) / level(steady_tone())
    assert 20 * math.log10(gain) == pytest.approx(expected_db, abs=0.03)


@pytest.mark.parametrize("resonance, cutoff, other, same", [
    (0, 7214, 7216, True), (0, 7218, 7216, True),  # halfway: to the even point
    (0, 7219, 7218, False), (0, 7219, 7221, True), (400, 7217, 7216, False),
])
def test_the_filter_takes_its_cutoff_to_the_nearest_point_of_its_grid(resonance, cutoff, other, same):
    assert (steady_tone(cutoff, resonance) == steady_tone(other, resonance)).all() == same


def test_the_same_calls_give_the_same_bits():
    def run():
        bank, _ = sine_bank(440.0, [("modLfoToPitch", 50), ("freqModLFO", 0), ("initialFilterFc", 9000),
                                    ("initialFilterQ", 100), ("modEnvToFilterFc", 2000)])
        synth = synthesizer(bank)
        synth.note_on(0, 60, 100)
        synth.note_on(0, 64, 80)
        first = synth.render(10_000)
        synth.pitch_bend(0, 12_000)
        return first + synth.render(20_000)
    assert run() == run()


def test_calls_cut_where_control_periods_end_give_the_bits_of_one_call():
    """Voices play a render's periods in runs: the runs must neither cut a period nor
    move where a channel's second message in one period takes effect (its period's end)."""
    def run(cuts):
        bank, _ = sine_bank(440.0, [("initialFilterFc", 6000), ("modEnvToFilterFc", 3000), ("decayModEnv", -2400),
                                    ("decayVolEnv", -1200), ("sustainVolEnv", 300), ("vibLfoToPitch", 30),
                                    ("reverbEffectsSend", 300), ("chorusEffectsSend", 300)])
        synth = synthesizer(bank)
        for key in range(55, 67, 2):
            synth.note_on(0, key, 100)
        audio = synth.render(99)
        synth.control_change(0, 7, 90)
        synth.control_change(0, 7, 60)  # in the same period: read at its end, frame 128
        for frames in cuts:
            audio += synth.render(frames)
        return audio
    assert run([29, 1024, 2048, 3900]) == run([7001])
