"""The reverb and chorus units through the song path: what the sends (CC 91 and
93) change and what they leave alone, the tail that rings after the last note
and where it ends, determinism, and the switches that turn the units off."""
import subprocess
import sys

import mido
import numpy as np
import pytest
import soundfile

from midi_songs import RATE, control, dc_sample, note, write_song
from synth_banks import dc_bank
from ostina_render import RenderError, RenderOptions, UserSample, _synth, render_array

STEP = 1 / 32768  # one step of 16-bit output
QUIET = RATE // 10  # frames of output below a step that end a ringing tail
DRY = RenderOptions(reverb=False, chorus=False)
REVERB = RenderOptions(chorus=False)
CHORUS = RenderOptions(reverb=False)
ORGAN = [(0, mido.Message("program_change", program=19))]  # a steady tone


def song(tmp_path, reverb=None, chorus=None, events=(), name="song.mid"):
    sends = (control(0, 91, reverb) if reverb is not None else []) + (control(0, 93, chorus) if chorus is not None else [])
    return write_song(tmp_path / name, [ORGAN + sends + note(0, 480) + list(events)])


def last_heard(audio):
    return np.flatnonzero(np.abs(audio).max(axis=1) >= STEP)[-1] + 1


@pytest.mark.parametrize("options", [RenderOptions(), REVERB, CHORUS])
def test_without_sends_the_effects_change_no_bit_and_no_length(tmp_path, options):
    path = song(tmp_path, reverb=0, chorus=0)
    assert np.array_equal(render_array(path, options=options), render_array(path, options=DRY))


@pytest.mark.parametrize("events", [[], control(240, 91, 127), control(100, 7, 40) + control(101, 91, 90)])
def test_with_the_effects_off_the_sends_change_no_bit(tmp_path, events):
    # Against the same messages with sends of 0: a send that moves during a
    # volume glide leaves the glide as it was.
    silent = [(tick, message.copy(value=0)) if message.control == 91 else (tick, message) for tick, message in events]
    plain = render_array(song(tmp_path, reverb=0, chorus=0, events=silent, name="plain.mid"), options=DRY)
    assert np.array_equal(render_array(song(tmp_path, reverb=127, chorus=127, events=events), options=DRY), plain)


def test_a_reverb_send_leaves_a_tail_that_grows_with_the_send(tmp_path):
    dry = render_array(song(tmp_path, reverb=127), options=DRY)
    full, half = (render_array(song(tmp_path, reverb=value, name=f"{value}.mid"), options=REVERB) for value in (127, 64))
    assert len(full) > len(half) > len(dry) + RATE // 2
    assert np.array_equal(full[:100], dry[:100])  # the reverb is heard after its shortest delay
    tail = slice(len(dry), len(half))
    np.testing.assert_allclose(full[tail], half[tail] * (127 / 64), rtol=1e-4, atol=1e-9)  # 200 * 127/128 against 200 * 64/128


def test_the_sends_follow_the_voices_gain_not_its_pan(tmp_path):
    centre = render_array(song(tmp_path, reverb=127), options=REVERB)
    left = render_array(song(tmp_path, reverb=127, events=control(0, 10, 0), name="left.mid"), options=REVERB)
    dry_end = len(render_array(song(tmp_path, reverb=127), options=DRY))
    assert len(left) == len(centre) and np.array_equal(left[dry_end:], centre[dry_end:])


def test_a_chorus_send_thickens_the_note_on_both_sides_and_rings_no_longer_than_its_delays(tmp_path):
    dry = render_array(song(tmp_path, chorus=127), options=DRY)
    wet = render_array(song(tmp_path, chorus=127), options=CHORUS)
    assert len(dry) <= len(wet) <= len(dry) + RATE // 40 + QUIET
    change = wet[: len(dry)] - dry
    assert all(np.sqrt(np.mean(change[:, side] ** 2)) > 0.3 * np.sqrt(np.mean(dry[:, side] ** 2)) for side in (0, 1))
    assert not np.array_equal(change[:, 0], change[:, 1])  # the copies are spread across the sides


def test_a_send_that_jumps_glides_instead_of_clicking(tmp_path):
    options = RenderOptions(reverb=False, program_samples={0: UserSample(dc_sample(tmp_path / "dc.wav", 0.25), 60)})
    events = control(0, 93, 0) + note(0, 1920) + control(960, 93, 127)
    left = render_array(write_song(tmp_path / "jump.mid", [events]), options=options)[:, 0]
    frame = RATE  # beat 2 at the default tempo
    rise = left[frame + RATE // 10] - left[frame - 1]
    assert rise > 0.05 and np.abs(np.diff(left[frame - 1: frame + RATE // 10])).max() < rise / 32


@pytest.mark.parametrize("rate", [RATE, 22050])
def test_a_ringing_tail_ends_a_tenth_of_a_second_after_the_last_frame_above_a_16_bit_step(tmp_path, rate):
    audio = render_array(song(tmp_path, reverb=100, chorus=40), options=RenderOptions(rate=rate))
    assert len(audio) - last_heard(audio) == rate // 10


def test_the_tail_is_judged_at_the_options_level_when_normalizing(tmp_path):
    path = song(tmp_path, reverb=100)
    plain, normalized = render_array(path), render_array(path, options=RenderOptions(normalize=True))
    assert len(normalized) == len(plain) and np.abs(normalized).max() > 4 * np.abs(plain).max()


def test_the_tail_cap_bounds_the_reverb_too(tmp_path):
    midi = _synth.MidiFile(song(tmp_path, reverb=127).read_bytes())
    player = _synth.Song(midi, tail_seconds=0.2)
    frames = len(player.render(10 * RATE)) // 8
    assert frames == player.frames + int(0.2 * RATE) and player.finished


def test_a_silent_send_decays_to_exact_zeros(tmp_path):
    audio = render_array(song(tmp_path, reverb=127, chorus=127, events=control(12 * 480, 7, 100)))
    assert len(audio) == 6 * RATE and np.abs(audio[RATE:2 * RATE]).max() > 1e-6
    assert not audio[4 * RATE:].any()


def test_the_same_song_gives_the_same_bits_whatever_the_block_size(tmp_path):
    midi = _synth.MidiFile(song(tmp_path, reverb=127, chorus=127, events=control(300, 91, 30)).read_bytes())

    def rendered(block):
        player = _synth.Song(midi)
        return b"".join(iter(lambda: player.render(block), b""))
    whole = rendered(1 << 20)
    assert all(rendered(block) == whole for block in (1, 333, 4096)) and len(whole) > 8 * RATE


@pytest.mark.parametrize("flags, options", [
    ([], RenderOptions()), (["--no-reverb"], CHORUS), (["--no-chorus"], REVERB), (["--no-reverb", "--no-chorus"], DRY),
])
def test_the_command_switches_the_effects_off_as_the_options_do(tmp_path, flags, options):
    path = song(tmp_path, reverb=127, chorus=127)
    result = subprocess.run([sys.executable, "-m", "ostina_render", path, "-o", tmp_path / "out.wav", "-q", *flags])
    expected = np.clip(np.rint(render_array(path, options=options).astype(np.float64) * 32767), -32767, 32767)
    assert result.returncode == 0 and np.array_equal(soundfile.read(tmp_path / "out.wav", dtype="int16")[0], expected)


@pytest.mark.parametrize("field, value, said", [
    ("reverb", "yes", "reverb must be True or False, not 'yes'"),
    ("chorus", 1, "chorus must be True or False, not 1"),
    ("reverb", None, "reverb must be True or False, not None"),
])
def test_a_switch_that_is_not_a_bool_is_refused_in_one_line(field, value, said):
    with pytest.raises(RenderError) as raised:
        RenderOptions(**{field: value}).check()
    assert str(raised.value) == said


def held_note_then_silence(bank, **switches):
    synth = _synth.Synthesizer([bank], builtin=False, **switches)
    synth.note_on(0, 60, 100)
    during = render(synth, RATE // 2)
    synth.note_off(0, 60)
    return during, render(synth, RATE)


def render(synth, frames):
    return np.frombuffer(synth.render(frames), np.float32).reshape(-1, 2)


@pytest.mark.parametrize("generator, unit", [("reverbEffectsSend", "reverb"), ("chorusEffectsSend", "chorus")])
def test_a_zones_own_send_feeds_its_unit_with_the_controllers_at_0(generator, unit):
    def bank(send):
        return dc_bank([("releaseVolEnv", -12000), (generator, send)], value=0.25)
    plain, plain_after = held_note_then_silence(bank(0))
    sent, sent_after = held_note_then_silence(bank(500))
    off, off_after = held_note_then_silence(bank(500), **{unit: False})
    assert np.array_equal(off, plain) and np.array_equal(off_after, plain_after) and not plain_after[RATE // 20:].any()
    changed = sent_after[RATE // 20:].any() if unit == "reverb" else not np.array_equal(sent, plain)
    assert changed


@pytest.mark.parametrize("rate", [8000, 192000])
def test_the_units_play_at_the_rates_offered(tmp_path, rate):
    path = song(tmp_path, reverb=127, chorus=127)
    audio, dry = (render_array(path, options=RenderOptions(rate=rate, reverb=on, chorus=on)) for on in (True, False))
    assert np.isfinite(audio).all() and len(audio) > len(dry) + rate // 2
    assert len(audio) - last_heard(audio) == rate // 10
