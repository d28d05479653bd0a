"""A MIDI file's meaning through the whole song path: one note-off ends one
note, events of one tick keep the file's order, controllers act from their
own frame, selections pick tracks and channels, drums ring out and choke."""

import mido
import numpy as np
import pytest

from midi_songs import RATE, control, dc_sample, note, write_song
from ostina_render import RenderOptions, UserSample, read_song, render_array

BEAT = 480  # ticks; at the default tempo a beat is 0.5 s, 22050 frames
FRAMES_PER_BEAT = RATE // 2


@pytest.fixture
def dc(tmp_path):
    """Options whose programs 0 and 1 play constant samples of 0.25 and 0.5."""
    return RenderOptions(program_samples={0: UserSample(dc_sample(tmp_path / "a.wav", 0.25), 60),
                                          1: UserSample(dc_sample(tmp_path / "b.wav", 0.5), 60)})


def render(tmp_path, events, options, **kwargs):
    path = write_song(tmp_path / "song.mid", [events])
    return render_array(path, options=options, **kwargs)


def at_beat(beats):
    return int(beats * FRAMES_PER_BEAT)


def test_a_note_off_ends_only_its_own_note(tmp_path, dc):
    left = render(tmp_path, note(0, 4 * BEAT) + note(BEAT, BEAT), dc)[:, 0]
    one_voice = left[at_beat(0.5)]
    assert left[at_beat(1.5)] == pytest.approx(2 * one_voice, rel=1e-6)
    assert left[at_beat(3)] == pytest.approx(one_voice, rel=1e-6)  # the longer note rings on
    assert at_beat(4) < len(left) < at_beat(4) + RATE // 4  # the render ends when the release has


def test_the_sustain_pedal_holds_note_offs_until_it_rises(tmp_path, dc):
    events = note(0, BEAT) + control(BEAT // 2, 64, 127) + control(3 * BEAT, 64, 0)
    left = render(tmp_path, events, dc)[:, 0]
    release = at_beat(3)
    assert left[at_beat(2)] == left[release] == left[at_beat(0.5)]
    assert 0 < left[release + 1] < left[release]


@pytest.mark.parametrize("pedal_first", [False, True])
def test_events_on_one_tick_keep_the_files_order(tmp_path, dc, pedal_first):
    off, pedal = note(0, BEAT)[1], control(BEAT, 64, 127)[0]
    events = note(0, BEAT)[:1] + ([pedal, off] if pedal_first else [off, pedal]) + control(3 * BEAT, 64, 0)
    left = render(tmp_path, events, dc)[:, 0]
    held = left[at_beat(2)] == left[at_beat(0.5)]
    assert held == pedal_first and (held or left[at_beat(2)] == 0)


def test_each_channel_keeps_its_own_volume_and_selection_picks_channels_and_tracks(tmp_path, dc):
    path = write_song(tmp_path / "two.mid", [note(0, 4 * BEAT) + control(BEAT, 7, 50),
                                             note(0, 4 * BEAT, 64, channel=1)])
    both = render_array(path, options=dc)[:, 0]
    first = render_array(path, options=dc.replace(channels=frozenset({0})))[:, 0]
    second = render_array(path, options=dc.replace(mute_tracks=frozenset({0})))[:, 0]
    assert second[at_beat(0.5)] == second[at_beat(2)] > 0  # channel 1 ignores channel 0's volume
    assert first[at_beat(2)] < first[at_beat(0.5)]
    assert both[at_beat(2)] == pytest.approx(first[at_beat(2)] + second[at_beat(2)], rel=1e-6)


GLIDE = 64  # frames over which a volume or pan change moves the level


@pytest.mark.parametrize("number, value, factor", [(7, 50, (50 / 100) ** 2), (11, 64, (64 / 127) ** 2)])
def test_volume_and_expression_change_the_level_from_their_own_frame(tmp_path, dc, number, value, factor):
    left = render(tmp_path, note(0, 4 * BEAT) + control(BEAT + 3, number, value), dc)[:, 0]
    frame = read_song(tmp_path / "song.mid").tempo_map.frame(BEAT + 3, RATE)
    assert left[frame - 1] == left[at_beat(0.5)] > left[frame] > left[frame + GLIDE // 2]
    assert left[frame + GLIDE] == pytest.approx(left[frame - 1] * factor, rel=1e-5)


def test_pan_moves_the_note_from_its_own_frame(tmp_path, dc):
    audio = render(tmp_path, note(0, 4 * BEAT) + control(BEAT, 10, 0), dc)
    frame = at_beat(1)
    assert audio[frame - 1, 0] == audio[frame - 1, 1] > 0
    assert audio[frame + GLIDE, 1] == 0 and audio[frame + GLIDE, 0] > audio[frame - 1, 0]


def test_thousands_of_controller_changes_end_at_the_last_ones_level(tmp_path, dc):
    ramp = [event for i in range(2000) for event in control(i, 11, i % 128)]
    audio = render(tmp_path, note(0, 4000) + ramp, dc, end=3.0)
    frame = read_song(tmp_path / "song.mid").tempo_map.frame(1999, RATE)
    still = render(tmp_path, note(0, 4000) + control(0, 11, 1999 % 128), dc, end=3.0)
    # A change that follows another within a control period acts from the period's end.
    assert audio[frame + 2 * GLIDE, 0] == pytest.approx(still[frame + 2 * GLIDE, 0], rel=1e-6)


def test_a_program_change_switches_the_instrument_for_later_notes(tmp_path, dc):
    change = [(2 * BEAT, mido.Message("program_change", program=1))]
    left = render(tmp_path, note(0, 4 * BEAT) + change + note(2 * BEAT, BEAT, 64), dc)[:, 0]
    first = left[at_beat(1)]
    assert left[at_beat(2.5)] == pytest.approx(first + 2 * first, rel=1e-6)  # the held note keeps its program


def test_a_note_on_with_velocity_zero_is_a_note_off(tmp_path, dc):
    events = note(0, 4 * BEAT)[:1] + [(BEAT, mido.Message("note_on", note=60, velocity=0))]
    left = render(tmp_path, events, dc)[:, 0]
    assert 0 < left[at_beat(1) + 1] < left[at_beat(1)]


def test_odd_notes_render_without_error(tmp_path):
    # A note-off with no note-on, a note of no length, the outermost notes, a
    # note never ended, and data bytes above 127 in a hand-made track.
    events = ([(0, mido.Message("note_off", note=50))] + note(10, 0, 61) + note(20, 100, 0) + note(30, 100, 127)
              + note(40, 100, 62)[:1])
    path = write_song(tmp_path / "odd.mid", [events])
    data = bytearray(path.read_bytes())
    data += b"MTrk\x00\x00\x00\x08\x00\x90\xc8\xff\x00\xff\x2f\x00"
    data[10:12] = (2).to_bytes(2, "big")
    path.write_bytes(bytes(data))
    audio = render_array(path)
    assert np.isfinite(audio).all() and audio.any()


def test_drums_ring_out_whatever_their_length_and_a_one_tick_hit_sounds(tmp_path):
    short = render(tmp_path, note(0, 1, 36, channel=9), RenderOptions())
    long = render(tmp_path, note(0, 4 * BEAT, 36, channel=9), RenderOptions())
    assert np.abs(short[: RATE // 10]).max() > 0.01
    # The kit's release is the longest a zone may have: a note-off takes 1 dB a second off it.
    assert not long[len(short):].any()  # both end with the sample
    np.testing.assert_allclose(short, long[: len(short)], rtol=0.06, atol=1e-7)


def test_a_drum_sample_plays_at_its_own_pitch_and_a_song_ending_on_its_first_tick_sounds(tmp_path):
    click = dc_sample(tmp_path / "click.wav", seconds=0.1)
    options = RenderOptions(drum_samples={36: UserSample(click)})
    audio = render_array(write_song(tmp_path / "hit.mid", [note(0, 0, 36, channel=9)]), options=options)
    assert len(audio) == RATE // 10 and audio.all()


def test_a_closed_hat_chokes_the_open_hat(tmp_path):
    closed_alone = render(tmp_path, note(BEAT // 2, 10, 42, channel=9), RenderOptions())
    choked = render(tmp_path, note(0, 10, 46, channel=9) + note(BEAT // 2, 10, 42, channel=9), RenderOptions())
    open_alone = render(tmp_path, note(0, 10, 46, channel=9), RenderOptions())
    after = at_beat(0.5) + RATE // 50  # the choke's release is over
    assert np.abs(open_alone[after:after + 1000]).max() > 1e-4
    assert np.array_equal(choked[after:], closed_alone[after:len(choked)])
