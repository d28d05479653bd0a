"""Events take effect on their own frame, floor(t * rate + 1/2), with t exact
under the file's whole tempo map."""
from fractions import Fraction

import mido
import numpy as np
import pytest

from midi_songs import dc_sample, note, write_song
from ostina_render import RenderOptions, UserSample, read_song, render_array

KICK = 36


def tempo(tick, microseconds):
    return [(tick, mido.MetaMessage("set_tempo", tempo=microseconds))]


@pytest.fixture
def drum_options(tmp_path):
    # A one-frame, one-shot sample with no attack sounds on the very frame of its note and no other.
    def options(rate):
        click = dc_sample(tmp_path / f"click{rate}.wav", seconds=1 / rate, rate=rate)
        return RenderOptions(rate=rate, drum_samples={KICK: UserSample(click, KICK)})
    return options


def hits(ticks):
    return [event for tick in ticks for event in note(tick, 1, KICK, channel=9)]


@pytest.mark.parametrize("rate", [44100, 48000, 22050])
def test_drum_hits_start_on_their_frames_across_tempo_changes_in_another_track(tmp_path, drum_options, rate):
    # 96 ticks a beat; 0.5 s a beat, from tick 96 0.4 s, from tick 200 0.75 s (set in the second track).
    ticks = [0, 50, 96, 150, 199, 200, 333, 1000]
    path = write_song(tmp_path / "t.mid", [tempo(0, 500_000) + tempo(96, 400_000), tempo(200, 750_000) + hits(ticks)],
                      ticks_per_beat=96)

    def seconds(tick):
        spans = [(0, 96, Fraction(1, 2)), (96, 200, Fraction(2, 5)), (200, 10**9, Fraction(3, 4))]
        return sum(max(0, min(tick, end) - start) * beat / 96 for start, end, beat in spans)

    expected = [int(seconds(tick) * rate + Fraction(1, 2)) for tick in ticks]
    audio = render_array(path, options=drum_options(rate))
    assert list(np.flatnonzero(audio[:, 0])) == expected


def test_half_frames_round_up(tmp_path, drum_options):
    # 882 ticks a beat at 10 ms a beat: a tick is exactly half a frame at 44100 Hz.
    ticks = [1, 3, 5, 40, 41]
    path = write_song(tmp_path / "h.mid", [tempo(0, 10_000) + hits(ticks)], ticks_per_beat=882)
    audio = render_array(path, options=drum_options(44100))
    assert list(np.flatnonzero(audio[:, 0])) == [1, 2, 3, 20, 21]


def test_tempo_map_is_exact_over_many_changes(tmp_path):
    # 1000 tempo changes that a float clock would accumulate error over.
    changes = [event for i in range(1000) for event in tempo(7 * i, 333_333 + i)]
    path = write_song(tmp_path / "m.mid", [changes + note(7000, 10)], ticks_per_beat=7)
    song = read_song(path)
    exact = sum(Fraction(7 * (333_333 + i), 7 * 10**6) for i in range(1000))
    assert song.seconds(7000) == exact
    assert song.tempo_map.frame(7000, 44100) == int(exact * 44100 + Fraction(1, 2))


def test_release_starts_on_the_note_off_frame(tmp_path):
    path = write_song(tmp_path / "r.mid", [note(0, 480 * 3 + 7)], ticks_per_beat=480)
    options = RenderOptions(program_samples={0: UserSample(dc_sample(tmp_path / "dc.wav"), 60)})
    left = render_array(path, options=options)[:, 0]
    off = read_song(path).tempo_map.frame(480 * 3 + 7, 44100)
    assert left[off - 1] == left[off] > left[off + 1] > 0
    assert np.all(left[1000:off] == left[off])  # sustained at full level until then
