"""Soundfont files in the synthesizer core: small banks written by the package's
writer and read back play as the same bank built in code; zones, levels, loop modes
and modulators follow the file; missing presets fall back with a notice; damage is
one line; and real soundfonts (pretty_midi's TimGM6mb, Debian's when installed) play."""
import math
import os
import random
import shutil
import struct
import subprocess
import sys

import mido
import numpy as np
import pytest

import ostina
from conftest import tool_environment
from midi_songs import control, note, write_song
from ostina_render import RenderError, RenderOptions, render_array, render_file
from ostina_render._synth import Bank, Synthesizer
from ostina_render.banks import load_soundfont
from ostina_render.soundfont import SoundFont
from ostina_render.soundfont_writer import write_soundfont
from synth_banks import RATE, frequency, render, synthesizer, timecents

TIMGM = os.path.join(os.path.dirname(__import__("pretty_midi").__file__), "TimGM6mb.sf2")
DEBIAN_SF2 = "/usr/share/sounds/sf2/FluidR3_GM.sf2"
DEBIAN_SF3 = "/usr/share/sounds/sf3/MuseScore_General_Lite.sf3"
NO_GLOBAL = ((), ())


def sine(hz, frames=RATE, rate=RATE, level=0.5):
    return (level * np.sin(2 * np.pi * hz * np.arange(frames) / rate)).astype(np.float32)


def quantized(data):
    """The frames as the file holds them, back in floats."""
    return np.clip(np.rint(np.asarray(data, np.float64) * 32768), -32768, 32767) / 32768


def one_sample_font(path, generators=(), modulators=(), data=None, loop=None, root=69, correction=0,
                    preset_generators=(), bank=0, program=0):
    data = sine(440.0) if data is None else data
    loop_start, loop_end = loop or (0, len(data))
    write_soundfont(path, [("tone", data, RATE, root, correction, loop_start, loop_end)],
                    [("instrument", NO_GLOBAL, [(0, list(generators), list(modulators))])],
                    [("preset", bank, program, NO_GLOBAL, [(0, list(preset_generators), [])])])
    return Bank.read_soundfont(str(path))


def played(bank, key=69, velocity=127, frames=RATE // 2, release_after=None, controls=()):
    synth = synthesizer(bank)
    for number, value in controls:
        synth.control_change(0, number, value)
    synth.note_on(0, key, velocity)
    if release_after is None:
        return render(synth, frames)
    held = render(synth, release_after)
    synth.note_off(0, key)
    return np.concatenate([held, render(synth, frames - release_after)])


GENERATOR_CASES = [
    [("sampleModes", 1)],
    [("sampleModes", 1), ("coarseTune", -12), ("fineTune", 37)],
    [("sampleModes", 1), ("initialAttenuation", 120), ("pan", -250)],
    [("sampleModes", 1), ("attackVolEnv", -3000), ("decayVolEnv", -1000), ("sustainVolEnv", 300)],
    [("sampleModes", 1), ("initialFilterFc", 7000), ("initialFilterQ", 60), ("modEnvToFilterFc", -1200),
     ("decayModEnv", -1200)],
    [("sampleModes", 1), ("vibLfoToPitch", 50), ("freqVibLFO", -1200), ("delayVibLFO", -4000)],
    [("sampleModes", 0), ("startAddrsOffset", 100), ("endAddrsOffset", -30000)],
    [("sampleModes", 1), ("overridingRootKey", 57), ("scaleTuning", 50)],
    [("sampleModes", 1), ("coarseTune", 36)],  # six frames read per frame played
]


@pytest.mark.parametrize("generators", GENERATOR_CASES)
def test_a_written_bank_plays_as_the_same_bank_built_in_code(tmp_path, generators):
    data = sine(440.0)
    from_file = one_sample_font(tmp_path / "one.sf2", generators, data=data)
    in_code = Bank()
    sample = in_code.add_sample(quantized(data).astype(np.float32), RATE, 69, 0, 0, len(data))
    in_code.add_preset(0, 0, [(in_code.add_instrument([(sample, generators)]), [])])
    heard, expected = played(from_file, key=64, release_after=8000), played(in_code, key=64, release_after=8000)
    assert np.abs(expected).max() > 1e-3
    np.testing.assert_allclose(heard, expected, rtol=0, atol=2e-6 * np.abs(expected).max())


def test_tuning_comes_from_the_root_key_correction_and_tune_generators(tmp_path):
    bank = one_sample_font(tmp_path / "tuned.sf2", [("sampleModes", 1), ("coarseTune", 2), ("fineTune", -30)],
                           root=69, correction=12)
    heard = frequency(played(bank, key=69)[RATE // 10:, 0])
    assert 1200 * math.log2(heard / 440.0) == pytest.approx(200 - 30 + 12, abs=0.5)


def test_preset_generators_add_to_the_instrument_and_offsets_there_are_ignored(tmp_path):
    alone = one_sample_font(tmp_path / "alone.sf2", [("sampleModes", 1), ("initialAttenuation", 60)])
    added = one_sample_font(tmp_path / "added.sf2", [("sampleModes", 1), ("initialAttenuation", 60)],
                            preset_generators=[("initialAttenuation", 140), ("startAddrsOffset", 2000)])
    ratio = np.abs(played(added)[4000:]).max() / np.abs(played(alone)[4000:]).max()
    assert 20 * math.log10(ratio) == pytest.approx(-14.0, abs=0.05)


def split_font(path):
    """Two samples a fifth apart, split at key 60 and, above it, at velocity 64; a global
    zone gives every zone its loop and its attenuation, which one zone overrides."""
    write_soundfont(path, [("low", sine(220.0), RATE, 57, 0, 0, RATE), ("high", sine(330.0), RATE, 64, 0, 0, RATE)],
                    [("split", ([("sampleModes", 1), ("initialAttenuation", 100)], []),
                      [(0, [("keyRange", 0 | 59 << 8)], []),
                       (1, [("keyRange", 60 | 127 << 8), ("velRange", 0 | 63 << 8), ("initialAttenuation", 0)], []),
                       (0, [("keyRange", 60 | 127 << 8), ("velRange", 64 | 127 << 8)], [])])],
                    [("split", 0, 0, NO_GLOBAL, [(0, [("keyRange", 0 | 100 << 8)], [])])])
    return Bank.read_soundfont(str(path))


@pytest.mark.parametrize(("key", "velocity", "hz", "attenuation_db"), [
    (59, 100, 220.0 * 2 ** (2 / 12), 10), (60, 40, 330.0 * 2 ** (-4 / 12), 0), (60, 64, 220.0 * 2 ** (3 / 12), 10),
])
def test_zones_are_chosen_by_key_and_velocity_with_their_global_zone(tmp_path, key, velocity, hz, attenuation_db):
    bank = split_font(tmp_path / "split.sf2")
    audio = played(bank, key=key, velocity=velocity)[RATE // 10:, 0]
    assert frequency(audio) == pytest.approx(hz, rel=1e-4)
    loud = played(one_sample_font(tmp_path / "ref.sf2", [("sampleModes", 1)]), velocity=velocity)[RATE // 10:, 0]
    assert 20 * math.log10(np.abs(audio).max() / np.abs(loud).max()) == pytest.approx(-attenuation_db, abs=0.1)


def test_a_key_outside_the_preset_zone_is_silent(tmp_path):
    assert not played(split_font(tmp_path / "split.sf2"), key=101).any()


@pytest.mark.parametrize(("mode", "sounds_after_its_end", "sounds_after_release"), [
    (0, False, False), (1, True, True), (3, True, False),
])
def test_loop_modes(tmp_path, mode, sounds_after_its_end, sounds_after_release):
    """A 0.1 s sample looped over its middle: mode 3 loops while held, then plays out its end."""
    frames = RATE // 10
    bank = one_sample_font(tmp_path / "loop.sf2", [("sampleModes", mode), ("releaseVolEnv", 4000)],
                           data=sine(441.0, frames), loop=(frames // 4, frames // 2))
    audio = played(bank, frames=RATE, release_after=RATE // 2)[:, 0]
    assert bool(np.abs(audio[RATE // 4:RATE // 2]).max() > 1e-3) == sounds_after_its_end
    assert bool(np.abs(audio[RATE // 2 + frames:]).max() > 1e-3) == sounds_after_release


@pytest.mark.parametrize("reach", [("endAddrsOffset", RATE // 2), ("startAddrsOffset", -(RATE // 2))])
def test_a_voice_whose_offsets_reach_a_loud_neighbour_is_judged_by_full_scale(tmp_path, reach):
    """A quarter second of a quiet sample (-40 dB) beside half a second of a loud one in
    the file's pool, the zone's offsets reaching into the loud one: judged by its own
    peak, the voice would end at -60 dB of its 0.5 s decay, 0.3 s in, amid the loud frames."""
    quiet, loud = np.full(RATE // 4, 0.01, np.float32), np.ones(RATE // 2, np.float32)
    pool = [("quiet", quiet, RATE, 60, 0, 0, 0), ("loud", loud, RATE, 60, 0, 0, 0)]
    if reach[0] == "startAddrsOffset":
        pool.reverse()
    zone = [("sampleModes", 0), ("decayVolEnv", timecents(0.5)), ("sustainVolEnv", 1000), reach]
    quiet_index = [name for name, *_ in pool].index("quiet")
    write_soundfont(tmp_path / "pool.sf2", pool, [("quiet", NO_GLOBAL, [(quiet_index, zone, [])])],
                    [("quiet", 0, 0, NO_GLOBAL, [(0, [], [])])])
    audio = played(Bank.read_soundfont(str(tmp_path / "pool.sf2")), key=60, frames=RATE)[:, 0]
    assert np.abs(audio[int(0.32 * RATE):int(0.4 * RATE)]).min() > 5e-5  # the loud frames at -64 to -80 dB


def test_a_zone_modulator_moves_its_generator_with_the_controller(tmp_path):
    """CC1 (a unipolar linear controller source, 0x81) adds up to 200 cB of attenuation."""
    bank = one_sample_font(tmp_path / "mod.sf2", [("sampleModes", 1)], [(0x81, "initialAttenuation", 200, 0, 0)])
    quiet, full = played(bank, controls=[(1, 127)]), played(bank, controls=[(1, 0)])
    assert 20 * math.log10(np.abs(quiet).max() / np.abs(full).max()) == pytest.approx(-20.0, abs=0.05)


@pytest.mark.parametrize("modulators, filtered", [
    ((), 1.0),  # no default modulator moves the cutoff with velocity, as in SoundFont players
    ([(0x0102, "initialFilterFc", -2400, 0, 0)], 0.58),  # declared: velocity 1 takes 2400 cents off
])
def test_velocity_moves_the_cutoff_only_where_a_zone_declares_it(tmp_path, modulators, filtered):
    """A 6 kHz tone under the open cutoff; at velocity 1 the declared modulator puts the
    cutoff at 5.05 kHz, which passes 6 kHz at 1 / sqrt(1 + (6 / 5.05)^4)."""
    bank = one_sample_font(tmp_path / "soft.sf2", [("sampleModes", 1)], modulators, data=sine(6000.0))
    loud, soft = (np.abs(played(bank, velocity=velocity)[RATE // 4:, 0]).max() for velocity in (127, 1))
    velocity_gain = (1 / 127) ** 2  # 40 log10(127 / 1) dB
    assert soft / loud / velocity_gain == pytest.approx(filtered, abs=0.04)


@pytest.mark.parametrize("modulator", [
    (0x81, "initialAttenuation", 200, 0, 7),  # an unknown transform
    (0x86, "initialAttenuation", 200, 0, 0),  # CC6 (data entry) may not be a source
    (0x0505, "initialAttenuation", 200, 0, 0),  # an unknown general source
])
def test_modulators_it_cannot_play_are_left_out_and_counted(tmp_path, modulator):
    bank = one_sample_font(tmp_path / "odd.sf2", [("sampleModes", 1)], [modulator])
    assert bank.notices == ["1 modulators of kinds not played (linked, or of unknown sources) are left out"]
    plain = one_sample_font(tmp_path / "plain.sf2", [("sampleModes", 1)])
    assert np.array_equal(played(bank, controls=[(1, 127), (6, 127)]), played(plain, controls=[(1, 127), (6, 127)]))


# Rendering songs with a soundfont

def test_missing_presets_fall_back_to_bank_0_once_each_with_a_notice(tmp_path):
    font = tmp_path / "piano.sf2"
    one_sample_font(font, [("sampleModes", 1)])
    song = write_song(tmp_path / "song.mid", [
        control(0, 0, 5) + note(0, 480, 69) + note(960, 480, 69)
        + [(0, mido.Message("program_change", program=0))],
        note(0, 480, 38, channel=9),
        [(0, mido.Message("program_change", program=7, channel=2))] + note(0, 480, 60, channel=2)])
    report = render_file(str(song), tmp_path / "out.wav", RenderOptions(soundfont=str(font)))
    assert report.notices == (
        f"{song}: bank 0 program 7 is not in {font}; its notes are silent",
        f"{song}: bank 5 program 0 is not in {font}; playing bank 0 program 0",
        f"{song}: drum kit 0 is not in {font}; its notes are silent",
    )
    assert report.peak > 0.01


@pytest.mark.parametrize(("damage", "message"), [
    (lambda data: b"RIFX" + data[4:], "not a SoundFont file (no RIFF 'sfbk' header)"),
    (lambda data: data[:len(data) // 2], "truncated: its RIFF header claims {size} bytes where {half} remain"),
    (lambda data: data.replace(b"pdta", b"pdtx"), "damaged: it has no preset data (no 'pdta' list)"),
    (lambda data: data.replace(b"ifil\x04\x00\x00\x00\x02\x00", b"ifil\x04\x00\x00\x00\x04\x00"),
     "version 4.1 is not offered: SoundFont 2 and 3 files are"),
    (lambda data: data.replace(b"shdr\x5c\x00", b"shdr\x5b\x00"), "damaged: its 'shdr' chunk of 91 bytes is not whole "
     "46-byte records"),
])
def test_a_damaged_soundfont_is_one_line_naming_the_file(tmp_path, damage, message):
    good = tmp_path / "good.sf2"
    one_sample_font(good)
    data = good.read_bytes()
    bad = tmp_path / "bad.sf2"
    bad.write_bytes(damage(data))
    expected = message.format(size=len(data) - 8, half=len(data) // 2 - 8)
    with pytest.raises(RenderError, match="^") as caught:
        load_soundfont(bad)
    assert str(caught.value) == f"{bad}: {expected}"


@pytest.mark.parametrize(("path", "message"), [("missing.sf2", "no such file"), (".", "is a folder, not a soundfont")])
def test_a_soundfont_that_is_not_there_is_one_line(tmp_path, path, message):
    song = write_song(tmp_path / "song.mid", [note(0, 480)])
    with pytest.raises(RenderError) as caught:
        render_array(str(song), options=RenderOptions(soundfont=str(tmp_path / path)))
    assert str(caught.value) == f"{tmp_path / path}: {message}"


def mutate(data, rng):
    """A damaged copy: bytes of the tables overwritten, or the file cut short."""
    data = bytearray(data)
    if rng.random() < 0.2:
        return bytes(data[:rng.randrange(len(data))])
    tables = data.find(b"pdta")
    for _ in range(rng.randint(1, 8)):
        at = rng.randrange(tables if rng.random() < 0.1 else max(0, tables - 8), len(data))
        data[at] = rng.randrange(256)
    return bytes(data)


def test_mutated_soundfonts_load_and_play_or_are_refused_in_one_line(tmp_path):
    """Under the sanitizer build too: no read strays outside the file."""
    original = open(TIMGM, "rb").read()
    song = write_song(tmp_path / "song.mid", [note(0, 200, key) + note(0, 200, 36, channel=9) for key in (40, 60, 80)])
    midi = __import__("ostina_render")._synth.MidiFile(song.read_bytes())
    rng = random.Random(2312)
    refused = 0
    for attempt in range(60):
        path = tmp_path / "mutated.sf2"
        path.write_bytes(mutate(original, rng))
        try:
            bank = Bank.read_soundfont(str(path))  # the file may go: its mapping stays
        except ValueError as error:
            assert "\n" not in str(error)
            refused += 1
            continue
        from ostina_render._synth import Song

        player = Song(midi, [bank], False)
        player.prepare()
        while not player.finished:
            player.render(1 << 15)
    assert 0 < refused < 60


# Real soundfonts

def test_timgm6mb_plays_a_real_piece_close_to_fluidsynth(tmp_path):
    """A piano piece from miditoolkit's wheel: every second of it that fluidsynth sounds,
    ostina sounds too, with loudness that follows fluidsynth's over time."""
    piece = os.path.join(os.path.dirname(__import__("miditoolkit").__file__), "midi", "examples_data", "1390.mid")
    audio = render_array(piece, 0, 30, RenderOptions(soundfont=TIMGM)).mean(axis=1)
    assert np.abs(audio).max() < 1.0
    if shutil.which("fluidsynth") is None:
        pytest.skip("Debian's fluidsynth is not installed")
    import soundfile

    subprocess.run(["fluidsynth", "-ni", "-q", "-R", "0", "-C", "0", "-r", "44100", "-F", str(tmp_path / "f.wav"),
                    TIMGM, piece], check=True, capture_output=True, timeout=120, env=tool_environment())
    reference = soundfile.read(tmp_path / "f.wav")[0][:len(audio)].mean(axis=1)
    levels = [np.sqrt(np.mean(np.square(x[: len(x) // 4410 * 4410].reshape(-1, 4410)), axis=1)) for x in (audio, reference)]
    assert np.corrcoef(np.log(levels[0] + 1e-6), np.log(levels[1] + 1e-6))[0, 1] > 0.9


@pytest.mark.parametrize("path", [DEBIAN_SF2, DEBIAN_SF3])
def test_debian_soundfonts_play_every_general_midi_program(path):
    if not os.path.exists(path):
        pytest.skip(f"{path} is not installed")
    bank = load_soundfont(path)
    synth = Synthesizer([bank], builtin=False, rate=RATE)
    synth.control_change(0, 7, 127)
    for program in range(0, 128, 9):
        synth.program_change(0, program)
        synth.note_on(0, 60, 100)
        assert np.abs(render(synth, RATE // 5)).max() > 1e-3, program
        synth.note_off(0, 60)
        render(synth, RATE)


def test_the_built_in_bank_written_out_plays_as_the_built_in_bank(tmp_path):
    target = tmp_path / "builtin.sf2"
    command = [sys.executable, "-m", "ostina_render", "--write-soundfont", str(target), "-q"]
    assert subprocess.run(command).returncode == 0
    song = write_song(tmp_path / "song.mid", [note(0, 480, 60) + note(480, 480, 64), note(0, 240, 38, channel=9),
                                              [(0, mido.Message("program_change", program=40))]
                                              + note(0, 900, 67)])
    builtin = render_array(str(song))
    written = render_array(str(song), options=RenderOptions(soundfont=str(target)))
    assert len(load_soundfont(target).presets()) == 129
    assert np.abs(builtin).max() > 0.01
    assert np.abs(written - builtin).max() < 1e-3  # its 16-bit frames


# The toolkit's view

def test_a_soundfont_piano_plays_on_the_toolkit_sampler_in_tune():
    font = SoundFont(TIMGM)
    assert font.presets()[0] == (0, 0, "Piano 1")
    sample = font.sample_map(0, 0).find_sample(69, 100)
    zone = next(z for z in font.zones(0, 0) if z.key_low <= 69 <= z.key_high and z.velocity_low <= 100 <= z.velocity_high)
    assert sample.sample_rate == zone.sample.sample_rate and len(sample) == len(zone.sample)
    assert sample.loop_end == len(sample)
    sampler = ostina.Sampler(sample, sample_rate=RATE)
    sampler.note_on(69, 100)
    synth = Synthesizer([load_soundfont(TIMGM)], builtin=False, rate=RATE)
    synth.note_on(0, 69, 100)
    toolkit, core = np.array(sampler.render(1 << 15)), render(synth, 1 << 15)[:, 0]
    assert strongest_hz(toolkit) == strongest_hz(core) == pytest.approx(440.0, abs=RATE / (1 << 15))


def strongest_hz(audio):
    spectrum = np.abs(np.fft.rfft(audio * np.hanning(len(audio))))
    return np.argmax(spectrum) * RATE / len(audio)


def test_a_soundfont_is_read_once_per_process_until_its_file_changes(tmp_path):
    path = tmp_path / "font.sf2"
    one_sample_font(path)
    first = load_soundfont(path)
    assert load_soundfont(str(path)) is first
    os.utime(path, ns=(1, 1))
    assert load_soundfont(path) is not first
