"""Real MIDI files nobody here wrote, read from installed packages: whole
renders, and a few thousand seeded mutations of them through the reader,
the renderer and the command."""
import importlib.util
import io
import os
import pathlib
import random

import mido
import numpy as np
import pytest

from ostina_render import RenderError, RenderOptions, read_song, render_array, render_file
from ostina_render.cli import main

MUTATIONS = int(os.environ.get("OSTINA_RENDER_MUTATIONS", "2000"))


def installed(package, *parts):
    return pathlib.Path(importlib.util.find_spec(package).submodule_search_locations[0], *parts)


PIANO = installed("miditoolkit", "midi", "examples_data", "1390.mid")
PRIMITIVES = installed("music21", "midi", "testPrimitive")
TIMGM = installed("pretty_midi", "TimGM6mb.sf2")
SMALL = sorted(path for path in PRIMITIVES.glob("*.mid") if path.stat().st_size < 4000)


@pytest.mark.parametrize("path", [PIANO, PRIMITIVES / "test09.mid"], ids=lambda path: path.name)
def test_real_pieces_render_whole_without_clipping(path):
    song = read_song(path)
    reference = mido.MidiFile(path)
    assert len(song.notes) == sum(message.type == "note_on" and message.velocity > 0
                                  for track in reference.tracks for message in track)
    report = render_file(song, io.BytesIO())
    assert report.frames >= song.tempo_map.frame(song.end_tick, 44100)
    assert report.clipped == 0 and -30 < report.peak_dbfs < 0


@pytest.mark.parametrize("soundfont", [None, TIMGM], ids=["built-in bank", "TimGM6mb"])
def test_a_real_piece_has_the_same_bits_on_any_number_of_threads(soundfont):
    renders = [render_array(PIANO, options=RenderOptions(soundfont=soundfont, threads=threads))
               for threads in (1, 2, 4, 7)]
    assert all(np.array_equal(renders[0], other) for other in renders[1:])


def chunk_lengths(data):
    return [i + 4 for i in range(len(data) - 8) if data[i:i + 4] in (b"MThd", b"MTrk")]


def many_notes(rng):
    """A file of thousands of note-ons of one pitch, most never ended: polyphony's worst case."""
    events = bytes([0x00, 0x90, 60, 100]) + bytes([0x00, 60, 100]) * rng.randint(1000, 20000) + b"\x00\xff\x2f\x00"
    return (b"MThd" + (6).to_bytes(4, "big") + bytes([0, 0, 0, 1, 1, 224])
            + b"MTrk" + len(events).to_bytes(4, "big") + events)


def mutate(data, rng):
    data = bytearray(data)
    how = rng.randrange(6)
    if how == 0:  # bit flips
        for _ in range(rng.randint(1, 8)):
            data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
    elif how == 1:  # truncation
        del data[rng.randrange(len(data)):]
    elif how == 2:  # a chunk length that lies
        at = rng.choice(chunk_lengths(data) or [4])
        data[at:at + 4] = rng.choice([0, 1, 0xFFFFFFFF, rng.randrange(1 << 32)]).to_bytes(4, "big")
    elif how == 3:  # a header that lies: its format, track count or division
        at = rng.choice([8, 10, 12])
        data[at:at + 2] = rng.choice([0, 1, 2, 3, 0xFFFF, rng.randrange(1 << 16)]).to_bytes(2, "big")
    elif how == 4:  # bytes inserted or removed
        at = rng.randrange(len(data))
        data[at:at + rng.randint(0, 3)] = bytes(rng.randrange(256) for _ in range(rng.randint(0, 3)))
    else:
        return many_notes(rng)
    return bytes(data)


def test_mutated_real_files_are_read_and_rendered_or_refused_cleanly(tmp_path):
    rng = random.Random(16)
    originals = [path.read_bytes() for path in SMALL]
    path = tmp_path / "mutant.mid"
    outcomes = {"rendered": 0, "refused": 0}
    for _ in range(MUTATIONS):
        path.write_bytes(mutate(rng.choice(originals), rng))
        try:
            render_array(read_song(path), end=0.05, options=RenderOptions(max_seconds=60))
            outcomes["rendered"] += 1
        except RenderError as error:
            assert "\n" not in str(error) and str(error).startswith(str(path))
            outcomes["refused"] += 1
    assert min(outcomes.values()) > MUTATIONS // 20, outcomes


# Options good and bad, mutated along with the file: the command's rules hold for every pairing.
OPTION_MUTATIONS = [[], [], ["--rate", "7999"], ["--rate", "8000.5"], ["--tracks", "0,1"], ["--tracks", "99"],
                    ["--channels", "10"], ["--mute-channels", "1,16"], ["--max-duration", "nan"], ["--gain", "-200"],
                    ["--format", "flac"], ["--polyphony", "1"], ["--normalize"], ["--bits", "24"], ["-o", "-"]]


def test_mutated_real_files_through_the_command_leave_only_complete_output(tmp_path, capsysbinary):
    rng = random.Random(17)
    originals = [path.read_bytes() for path in SMALL]
    out = tmp_path / "out"
    out.mkdir()
    statuses = set()
    for index in range(40):
        source = tmp_path / f"mutant{index}.mid"
        source.write_bytes(mutate(rng.choice(originals), rng))
        target = out / f"{index}.wav"
        arguments = [str(source), "-o", str(target), "--max-duration", "30", "-q", "--rate", "8000",
                     *rng.choice(OPTION_MUTATIONS)]
        try:
            status = main(arguments)
        except SystemExit as exit:  # an option's value: argparse's way out
            status = exit.code
        lines = capsysbinary.readouterr().err.decode().splitlines()
        statuses.add(status)
        # Refused: one line. Rendered: nothing, or notices on the file that still read.
        assert (len(lines) == 1 and lines[0].startswith("ostina-render: error: ")) if status else \
            all(line.startswith(f"{source}: ") for line in lines), lines
        assert status in (0, 1, 2) and all(name.endswith(".wav") for name in os.listdir(out))  # nothing temporary
        assert target.exists() == (status == 0 and "-" not in arguments[-1:])
    assert statuses == {0, 1, 2}
