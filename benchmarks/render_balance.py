"""How loud each built-in program and drum sounds against fluidsynth playing TimGM6mb.

    python benchmarks/render_balance.py [--soundfont FILE] [--markdown] [--all]

One MIDI file plays every General MIDI program in turn on channel 0 (note
60, velocity 100, held 1 s, then 2 s to ring out), then every drum note
27-87 on channel 9 (velocity 100). ostina's built-in bank and fluidsynth
(`-R 0 -C 0`, the soundfont given, default TimGM6mb) render it once each;
each slot's loudness is its energy in dB, both channels summed (so that
panning does not count as level), and the figure is ostina's less
fluidsynth's. The target is every slot within +-6 dB. The table lists the
slots outside it (all of them with --all), then the spread by family.
"""
from __future__ import annotations

import argparse
import pathlib
import shutil
import sys
import tempfile

import numpy as np

from render_fidelity import RATE, fluidsynth_stereo, row
from render_speed import SOUNDFONT

from ostina_render import RenderOptions, render_array

HELD_SECONDS, SLOT_SECONDS = 1.0, 3.0
DRUMS = range(27, 88)
TOLERANCE_DB = 6.0
FAMILIES = ("piano", "chromatic percussion", "organ", "guitar", "bass", "strings", "ensemble", "brass", "reed",
            "pipe", "synth lead", "synth pad", "synth effects", "ethnic", "percussive", "sound effects")


def slots() -> list[tuple[str, int, int, int]]:
    """(name, channel, program, note) for each slot, in playing order."""
    pitched = [(f"program {program} ({FAMILIES[program // 8]})", 0, program, 60) for program in range(128)]
    return pitched + [(f"drum {note}", 9, 0, note) for note in DRUMS]


def write_song(target: pathlib.Path) -> None:
    import mido

    midi = mido.MidiFile(ticks_per_beat=1000)
    track = midi.add_track("balance")
    track.append(mido.MetaMessage("set_tempo", tempo=1_000_000))  # a tick is a millisecond
    rest = 0
    for _, channel, program, note in slots():
        track.append(mido.Message("program_change", channel=channel, program=program, time=rest))
        track.append(mido.Message("note_on", channel=channel, note=note, velocity=100))
        track.append(mido.Message("note_off", channel=channel, note=note, time=round(HELD_SECONDS * 1000)))
        rest = round((SLOT_SECONDS - HELD_SECONDS) * 1000)
    track.append(mido.MetaMessage("end_of_track", time=rest))
    midi.save(target)


def loudness_db(audio: np.ndarray, slot: int) -> float:
    """The energy of slot `slot` of (frames, 2) `audio`, both channels, in dB."""
    frames = round(SLOT_SECONDS * RATE)
    part = audio[slot * frames:(slot + 1) * frames]
    return float(10 * np.log10(max(float(np.sum(part ** 2)), 1e-20)))


def main(arguments: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--soundfont", default=SOUNDFONT, help=f"what fluidsynth plays (default {SOUNDFONT})")
    parser.add_argument("--markdown", action="store_true")
    parser.add_argument("--all", action="store_true", help="list every slot, not only those outside the target")
    options = parser.parse_args(arguments)
    if shutil.which("fluidsynth") is None:
        raise SystemExit("fluidsynth is not installed: apt-get install fluidsynth")
    with tempfile.TemporaryDirectory() as name:
        song = pathlib.Path(name) / "balance.mid"
        write_song(song)
        theirs = fluidsynth_stereo(song, options.soundfont, pathlib.Path(name))
        ours = render_array(song, options=RenderOptions(reverb=False, chorus=False)).astype(np.float64)
    differences = {slot[0]: loudness_db(ours, index) - loudness_db(theirs, index)
                   for index, slot in enumerate(slots())}
    print(row(["slot", "ostina less fluidsynth, dB"], options.markdown))
    if options.markdown:
        print("|---|---:|")
    for slot, difference in differences.items():
        if options.all or abs(difference) > TOLERANCE_DB:
            print(row([slot, f"{difference:+.1f}"], options.markdown))
    print()
    for family in (*FAMILIES, "drum"):
        found = [value for slot, value in differences.items() if f"({family})" in slot or slot.startswith(family)]
        print(f"{family}: {min(found):+.1f} to {max(found):+.1f} dB")
    within = sum(abs(value) <= TOLERANCE_DB for value in differences.values())
    print(f"within +-{TOLERANCE_DB:.0f} dB: {within} of {len(differences)} slots")
    return 0


if __name__ == "__main__":
    sys.exit(main())
