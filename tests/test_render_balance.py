"""The built-in bank's balance: every program at note 60, velocity 100, and
every drum, within 6 dB of fluidsynth playing pretty_midi's TimGM6mb."""
import shutil
import subprocess

import numpy as np
import pytest

from ostina_render import RenderOptions, render_array
from conftest import tool_environment

mido = pytest.importorskip("mido")
pytest.importorskip("pretty_midi")
pytestmark = pytest.mark.skipif(shutil.which("fluidsynth") is None, reason="fluidsynth is not installed")

RATE, SLOT, HELD, TOLERANCE_DB = 44100, 3.0, 1.0, 6.0  # the rate the levels were balanced at
SLOTS = [(0, program, 60) for program in range(128)] + [(9, 0, note) for note in range(27, 88)]


def balance_song(path):
    midi = mido.MidiFile(ticks_per_beat=1000)
    track = midi.add_track()
    track.append(mido.MetaMessage("set_tempo", tempo=1_000_000))  # a tick is a millisecond
    rest = 0
    for channel, program, note in SLOTS:
        track.append(mido.Message("program_change", channel=channel, program=program, time=rest))
        track.append(mido.Message("note_on", channel=channel, note=note, velocity=100))
        track.append(mido.Message("note_off", channel=channel, note=note, time=round(HELD * 1000)))
        rest = round((SLOT - HELD) * 1000)
    track.append(mido.MetaMessage("end_of_track", time=rest))
    midi.save(path)


def slot_energies_db(audio):
    frames = round(SLOT * RATE)
    return np.array([10 * np.log10(max(float(np.sum(audio[i * frames:(i + 1) * frames] ** 2)), 1e-20))
                     for i in range(len(SLOTS))])


def test_every_program_and_drum_is_within_6_db_of_a_general_midi_player(tmp_path):
    from ostina_render.dropin import pretty_midi_soundfont

    song, raw = tmp_path / "balance.mid", tmp_path / "fluidsynth.raw"
    balance_song(song)
    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(RATE), "-T", "raw", "-O", "float",
                    "-F", str(raw), pretty_midi_soundfont(), str(song)], check=True, env=tool_environment(),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    theirs = np.fromfile(raw, "<f4").reshape(-1, 2).astype(np.float64)
    ours = render_array(song, options=RenderOptions(rate=RATE, reverb=False, chorus=False)).astype(np.float64)
    difference = slot_energies_db(ours) - slot_energies_db(theirs)
    outside = {SLOTS[i]: round(float(difference[i]), 1) for i in np.flatnonzero(np.abs(difference) > TOLERANCE_DB)}
    assert outside == {}
