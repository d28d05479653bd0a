"""The built-in instruments: a full drum kit, loops that close on whole
cycles in tune, no offset, and levels that leave a zone's sampler headroom."""
import math

import numpy as np
import pytest

from ostina import Sampler
from ostina_render import instruments

RATE = 44100


@pytest.mark.parametrize("note", range(35, 60))
def test_the_kit_covers_notes_35_to_59_centred_on_zero(note):
    sound = instruments.drum(note, RATE)
    data = np.asarray(sound.sample.data())
    assert sound.one_shot and sound.sample.loop_start is None
    assert np.abs(data).max() > 0.1 and abs(data.mean()) < 0.02 * np.abs(data).max()


@pytest.mark.parametrize("family", range(15))
@pytest.mark.parametrize("zone", [1, 2, 3, 4])
def test_zones_loop_on_whole_cycles_in_tune(family, zone):
    sample = instruments.pitched_zone(family, zone, RATE).sample
    data = np.asarray(sample.data())
    start, end = sample.loop_start, sample.loop_end
    assert (start, len(data)) == (0, end + 2) and np.array_equal(data[end:], data[start:start + 2])
    played = sample.sample_rate / end  # one cycle of the loop at the sample's own rate
    cents = 1200 * math.log2(played / instruments.note_hz(sample.root_note))
    assert abs(cents) < 0.01 and abs(data[:end].mean()) < 0.05 * np.abs(data).max()


@pytest.mark.parametrize("family", range(16))
def test_a_full_velocity_chord_in_one_zone_stays_below_the_samplers_clamp(family):
    zone = instruments.zone_of(60)
    sound = instruments.pitched_zone(family, zone, RATE)
    sampler = Sampler(sound.sample, sample_rate=RATE, max_voices=16)
    sampler.set_envelope(sound.envelope)
    for note in (48, 52, 55, 60, 64, 67):
        sampler.note_on(note, 127)
    assert np.abs(sampler.render(RATE)).max() < 1.0
