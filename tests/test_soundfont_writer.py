"""The SoundFont 2 writer: its files read back with struct, their frames, what it
refuses, and one of its banks played by another SoundFont player."""
import re
import shutil
import struct
import subprocess

import numpy as np
import pytest
import soundfile

from conftest import ROOT, tool_environment
from midi_songs import note, write_song
from ostina_render.soundfont_writer import GENERATORS, soundfont_bytes, write_soundfont
from synth_banks import RATE, cents, frequency, key_range


def chunks(data):
    """{tag: payload} of the chunks in `data`; a RIFF's or LIST's subchunks, so read, under its kind."""
    found, at = {}, 0
    while at < len(data):
        tag, size = struct.unpack_from("<4sI", data, at)
        payload = data[at + 8:at + 8 + size]
        found.update({payload[:4]: chunks(payload[4:])} if tag in (b"RIFF", b"LIST") else {tag: payload})
        at += 8 + size + size % 2
    return found


def records(payload, layout):
    return list(struct.iter_unpack(layout, payload))


def small_bank(**changes):
    """Two samples; an instrument with a global zone and two zones; two presets, one a drum kit."""
    bank = {
        "samples": [("a", np.linspace(-1, 1, 100, dtype=np.float32), RATE, 60, -5, 10, 90),
                    ("b" * 25, np.zeros(7, np.float32).tobytes(), 22050, 72, 0, 0, 0)],
        "instruments": [("piano", ([("releaseVolEnv", -1200)], [(0x0502, "initialAttenuation", 960, 0, 0)]),
                         [(0, [("pan", -500), ("velRange", key_range(1, 100)), ("keyRange", key_range(0, 63))], []),
                          (1, [("sampleModes", 1)], [])])],
        "presets": [("grand", 0, 0, ([], []), [(0, [("coarseTune", 12)], [])]),
                    ("kit", 128, 0, ([("keyRange", key_range(35, 81))], []), [(0, [], [])])],
    }
    return {**bank, **changes}


def test_the_file_is_laid_out_as_soundfont_2_04_has_it():
    data = soundfont_bytes(**small_bank(), name="my bank")
    riff = chunks(data)[b"sfbk"]
    assert (struct.unpack_from("<I", data, 4)[0], list(riff), list(riff[b"INFO"]), list(riff[b"pdta"])) == (
        len(data) - 8, [b"INFO", b"sdta", b"pdta"], [b"ifil", b"isng", b"INAM", b"ISFT"],
        [b"phdr", b"pbag", b"pmod", b"pgen", b"inst", b"ibag", b"imod", b"igen", b"shdr"])
    assert [riff[b"INFO"][tag] for tag in (b"ifil", b"isng", b"INAM", b"ISFT")] == [
        struct.pack("<HH", 2, 1), b"EMU8000\0", b"my bank\0", b"ostina\0\0"]


def test_the_hydra_holds_its_zones_and_their_terminal_records():
    pdta = chunks(soundfont_bytes(**small_bank()))[b"sfbk"][b"pdta"]
    assert records(pdta[b"phdr"], "<20sHHHIII") == [
        (b"grand".ljust(20, b"\0"), 0, 0, 0, 0, 0, 0), (b"kit".ljust(20, b"\0"), 0, 128, 1, 0, 0, 0),
        (b"EOP".ljust(20, b"\0"), 0, 0, 3, 0, 0, 0)]
    assert records(pdta[b"pbag"], "<HH") == [(0, 0), (2, 0), (3, 0), (4, 0)]
    assert records(pdta[b"pgen"], "<HH") == [(51, 12), (41, 0), (43, key_range(35, 81)), (41, 0), (0, 0)]
    assert records(pdta[b"inst"], "<20sH") == [(b"piano".ljust(20, b"\0"), 0), (b"EOI".ljust(20, b"\0"), 3)]
    assert records(pdta[b"ibag"], "<HH") == [(0, 0), (1, 1), (5, 1), (7, 1)]
    assert records(pdta[b"imod"], "<HHhHH") == [(0x0502, 48, 960, 0, 0), (0, 0, 0, 0, 0)]
    assert records(pdta[b"igen"], "<HH") == [  # keyRange first, velRange next, sampleID last
        (38, 0x10000 - 1200), (43, key_range(0, 63)), (44, key_range(1, 100)), (17, 0x10000 - 500), (53, 0),
        (54, 1), (53, 1), (0, 0)]


def test_samples_are_placed_with_their_zero_frames_after_them():
    sdta, pdta = (chunks(soundfont_bytes(**small_bank()))[b"sfbk"][kind] for kind in (b"sdta", b"pdta"))
    assert records(pdta[b"shdr"], "<20sIIIIIBbHH") == [
        (b"a".ljust(20, b"\0"), 0, 100, 10, 90, RATE, 60, -5, 0, 1),
        (b"b" * 20, 146, 153, 146, 146, 22050, 72, 0, 0, 1), (b"EOS".ljust(20, b"\0"), 0, 0, 0, 0, 0, 0, 0, 0, 0)]
    assert not np.frombuffer(sdta[b"smpl"], "<i2")[[*range(100, 146), *range(153, 199)]].any()


@pytest.mark.parametrize("value, frame", [(1.0, 32767), (-1.0, -32768), (0.5 / 32768, 0), (1.5 / 32768, 2),
                                          (-1.5 / 32768, -2), (2.0, 32767), (-3.0, -32768)])
def test_frames_are_quantized_to_16_bits_by_rounding(value, frame):
    data = soundfont_bytes([("x", np.array([value], np.float32), RATE, 60, 0, 0, 0)], [], [])
    assert struct.unpack_from("<h", chunks(data)[b"sfbk"][b"sdta"][b"smpl"]) == (frame,)


def one_zone(target=0, generators=(), modulators=()):
    return small_bank(instruments=[("i", ([], []), [(target, list(generators), list(modulators))])])


def one_sample(data=np.zeros(100, np.float32), loop=(0, 0)):
    return small_bank(samples=[("s", data, RATE, 60, 0, *loop)])


ZONE = 'instrument 0 "i", zone 0: '


@pytest.mark.parametrize("bank, message", [
    (one_zone(target=2), ZONE + "names sample 2, but the bank has 2"),
    (one_zone(generators=[("sampleID", 1)]), ZONE + 'unknown generator "sampleID"'),
    (one_zone(generators=[("pan", 32768)]), ZONE + 'generator "pan" amount 32768 does not fit 16 bits'),
    (one_zone(generators=[("pan", 1), ("pan", 2)]), ZONE + 'generator "pan" is set twice'),
    (small_bank(presets=[("p", 129, 0, ([], []), [])]), 'preset 0 "p": bank 129 is outside 0-128'),
    (small_bank(presets=[("p", 0, 128, ([], []), [])]), 'preset 0 "p": program 128 is outside 0-127'),
    (small_bank(presets=[("p", 0, 0, ([], []), [(0, [], [])] * 65536)]),
     "the presets have 65536 zones, more than the 65535 a SoundFont 2 file can index"),
    (one_sample(data=b""), 'sample 0 "s": no frames'),
    (one_sample(loop=(50, 101)), 'sample 0 "s": loop 50-101 is outside its 100 frames'),
    (one_sample(data=[0.0, np.nan]), 'sample 0 "s": a frame is not a number'),
])
def test_what_the_file_cannot_hold_is_refused_in_one_line_and_nothing_is_written(tmp_path, bank, message):
    with pytest.raises(ValueError) as refusal:
        write_soundfont(tmp_path / "bank.sf2", **bank)
    assert (str(refusal.value), list(tmp_path.iterdir())) == (message, [])


def test_the_generator_numbers_are_the_synthesizer_core_s():
    header = (ROOT / "src" / "synth" / "generators.hpp").read_text()
    numbers = dict(re.findall(r"^\s+(\w+) = (\d+),$", header, re.MULTILINE))
    targets = ("instrument", "sampleID")  # written from a zone's target, not set by name
    assert GENERATORS == {name: int(number) for name, number in numbers.items() if name not in targets}


@pytest.mark.skipif(shutil.which("fluidsynth") is None, reason="fluidsynth is not installed")
def test_fluidsynth_plays_a_looped_sine_at_its_pitch(tmp_path):
    """A 440 Hz sine recorded at key 69, 30 cents sharp, played on key 60."""
    frames = round(200 * RATE / 440)
    hz = 200 * RATE / frames  # whole cycles fill the loop
    wave = np.sin(2 * np.pi * hz * np.arange(frames) / RATE).astype(np.float32) * 0.5
    bank = {"samples": [("sine", wave, RATE, 69, 30, 0, frames)],
            "instruments": [("sine", ([("sampleModes", 1)], []), [(0, [("keyRange", key_range(0, 127))], [])])],
            "presets": [("sine", 0, 0, ([], []), [(0, [("keyRange", key_range(48, 72))], [])])]}
    write_soundfont(tmp_path / "sine.sf2", **bank)
    write_song(tmp_path / "song.mid", [note(0, 960)])
    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", str(RATE), "-F", "out.wav", "sine.sf2",
                    "song.mid"], cwd=tmp_path, check=True, capture_output=True, timeout=60, env=tool_environment())
    left = soundfile.read(tmp_path / "out.wav", dtype="float32")[0][RATE // 5:RATE * 4 // 5, 0]
    expected = hz * 2 ** ((60 - 69) / 12 + 30 / 1200)
    assert (abs(cents(frequency(left) / expected)) < 3, np.sqrt(np.mean(left ** 2)) > 0.01) == (True, True)
