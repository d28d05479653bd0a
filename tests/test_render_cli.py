"""The ostina-render command: outputs, one-line errors that leave nothing behind, Ctrl-C."""
import io
import os
import re
import signal
import subprocess
import sys
import time

import mido
import numpy as np
import pytest
import soundfile

from conftest import needs_plain_allocator
from midi_songs import control, note, write_song
from ostina_render import RenderOptions, _synth, render_array, render_file
from ostina_render.dropin import pretty_midi_soundfont

TIMGM = pretty_midi_soundfont()


def ostina_render(*arguments):
    return subprocess.run([sys.executable, "-m", "ostina_render", *map(str, arguments)],
                          capture_output=True, text=True)


@pytest.fixture
def song(tmp_path):
    drums = [event for beat in range(8) for event in note(beat * 240, 60, 36 + beat % 11, channel=9)]
    return write_song(tmp_path / "song.mid", [note(0, 960) + note(480, 960, 67) + control(600, 10, 20), drums])


def test_the_command_writes_a_16_bit_stereo_wav_and_reports_one_line(tmp_path, song):
    result = ostina_render(song, "-o", tmp_path / "out.wav")
    assert result.returncode == 0 and result.stderr == ""
    assert result.stdout.count("\n") == 1 and "x real time" in result.stdout and "0 clipped samples" in result.stdout
    info = soundfile.info(tmp_path / "out.wav")
    assert (info.format, info.subtype, info.channels, info.samplerate) == ("WAV", "PCM_16", 2, 44100)


def test_same_file_and_options_give_the_same_bytes(tmp_path, song):
    for name in ("a.flac", "b.flac"):
        assert ostina_render(song, "-o", tmp_path / name, "--bits", "24", "-q").returncode == 0
    assert (tmp_path / "a.flac").read_bytes() == (tmp_path / "b.flac").read_bytes()


@pytest.mark.parametrize("format_name, bits", [("wav", 16), ("wav", 24), ("flac", 16), ("flac", 24)])
def test_files_hold_the_rendered_audio_rounded_to_their_bits(song, format_name, bits):
    options = RenderOptions(format=format_name, bits=bits, rate=22050)
    written = io.BytesIO()
    render_file(song, written, options)
    written.seek(0)
    stored, rate = soundfile.read(written, dtype="int32")
    scale = 2 ** (bits - 1) - 1
    expected = np.clip(np.rint(render_array(song, options=options).astype(np.float64) * scale), -scale, scale)
    assert rate == 22050 and np.array_equal(stored >> (32 - bits), expected.astype(np.int64))


@pytest.mark.parametrize("data_bytes, kind", [(0, b"RIFF"), (2**32 - 81, b"RIFF"), (2**32, b"RF64")])
def test_wav_data_past_4_gb_is_written_as_rf64(data_bytes, kind):
    header = _synth.Song.wav_header(44100, 16, data_bytes)
    assert len(header) == 80 and header[:4] == kind and header[76:80] == min(data_bytes, 2**32 - 1).to_bytes(4, "little")
    if kind == b"RF64":  # the true sizes are in the ds64 chunk
        assert header[12:16] == b"ds64" and int.from_bytes(header[28:36], "little") == data_bytes


def test_normalize_scales_the_peak_to_minus_1_dbfs(tmp_path, song):
    assert ostina_render(song, "-o", tmp_path / "n.wav", "--normalize", "-q").returncode == 0
    stored, _ = soundfile.read(tmp_path / "n.wav", dtype="int16")
    assert np.abs(stored.astype(np.int32)).max() == round(32767 * 10 ** (-1 / 20))


@pytest.mark.parametrize("batch", [False, True])
@pytest.mark.parametrize("quiet", [False, True])
def test_a_song_without_notes_renders_its_length_of_silence_and_says_so(tmp_path, batch, quiet):
    path = write_song(tmp_path / "quiet.mid", [control(960, 7, 100)])  # two beats at 120 bpm
    (tmp_path / "out").mkdir()
    output = ["--outdir", tmp_path / "out", "--workers", "1"] if batch else ["-o", tmp_path / "out" / "quiet.wav"]
    result = ostina_render(path, *output, *(["-q"] if quiet else []))
    notice = f"{path}: no notes to play"
    assert result.returncode == 0 and result.stderr.count(notice) == (0 if quiet else 1)
    audio, _ = soundfile.read(tmp_path / "out" / "quiet.wav")
    assert audio.shape == (44100, 2) and not audio.any()


def damaged(tmp_path, song, how):
    data = song.read_bytes()
    broken = {"empty": b"", "truncated": data[: len(data) // 2], "not MIDI": b"RIFF" + data[4:],
              "no status": data[:22] + b"\x00\x40\x40" + data[25:],
              "type 2": data[:8] + b"\x00\x02" + data[10:], "SMPTE": data[:12] + b"\xe7\x28" + data[14:]}[how]
    path = tmp_path / "bad.mid"
    path.write_bytes(broken)
    return path


@pytest.mark.parametrize("how, reason", [
    ("missing", "no such file"), ("empty", "empty file"), ("truncated", "remain (truncated file?)"),
    ("not MIDI", "not a MIDI file"), ("no status", "track 1 has a data byte where a status byte should be"),
    ("type 2", "type 2 MIDI files"), ("SMPTE", "SMPTE time division is not supported"),
    ("text sample", "cannot read this sample file"), ("missing sample", "no such sample file"),
    ("unwritable", "cannot write"), ("too long", "more than the limit of 1 s"),
])
def test_bad_input_gets_one_line_a_failure_status_and_leaves_nothing(tmp_path, song, how, reason):
    out = tmp_path / "out"
    out.mkdir()
    target, extra, named = out / "x.wav", [], song
    if how == "missing":
        named = tmp_path / "absent.mid"
    elif how in ("text sample", "missing sample"):
        sample = tmp_path / "notes.txt"
        if how == "text sample":
            sample.write_text("not audio")
        extra, named = ["--sample", f"0={sample}"], sample
    elif how == "too long":
        extra = ["--max-duration", "1"]
    elif how == "unwritable":
        (out / "file").write_text("")
        target = named = out / "file" / "x.wav"
    else:
        named = damaged(tmp_path, song, how)
    result = ostina_render(named if how in ("missing",) or named.suffix == ".mid" and how != "text sample"
                           else song, "-o", target, *extra)
    assert result.returncode == 1 and result.stdout == ""
    assert result.stderr.startswith(f"ostina-render: error: {named}: ") and result.stderr.count("\n") == 1
    assert reason in result.stderr
    assert sorted(os.listdir(out)) == (["file"] if how == "unwritable" else [])


@pytest.mark.parametrize("source, limit", [("/dev/zero", []), ("big", ["--max-midi-size", "1"])])
def test_input_past_the_size_limit_is_refused_without_reading_it_all(tmp_path, source, limit):
    if source == "big":
        source = tmp_path / "big.mid"
        source.write_bytes(b"MThd" + bytes((1 << 20) + 10))
    result = ostina_render(source, "-o", tmp_path / "x.wav", *limit)
    size = "1 MB" if limit else "64 MB"
    assert (result.returncode, result.stderr) == (
        1, f"ostina-render: error: {source}: larger than {size}, the most a MIDI file may hold here\n")



@needs_plain_allocator
def test_memory_running_out_while_reading_gets_one_line_naming_the_file(tmp_path):
    # 40 MB of note-ons in one track: the reader's events outgrow the capped address space.
    body = b"\x00\x90\x3c\x40" + b"\x00\x3c\x40" * ((40 << 20) // 3)
    source = tmp_path / "dense.mid"
    source.write_bytes(b"MThd\x00\x00\x00\x06\x00\x00\x00\x01\x01\xe0MTrk" + len(body + b"\x00\xff\x2f\x00")
                       .to_bytes(4, "big") + body + b"\x00\xff\x2f\x00")
    capped = ("import resource, sys; resource.setrlimit(resource.RLIMIT_AS, (400 << 20, 400 << 20)); "
              "from ostina_render.cli import main; sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, "-c", capped, str(source), "-o", str(tmp_path / "x.wav")],
                            capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (1, f"ostina-render: error: {source}: not enough memory to read it\n")
    assert sorted(os.listdir(tmp_path)) == ["dense.mid"]

MEMORY_PROBE = """
import resource, sys, tempfile
sys.path.insert(0, sys.argv[2])
from midi_songs import note, write_song
from ostina_render import RenderOptions, render_file
minutes = int(sys.argv[1])
with tempfile.TemporaryDirectory() as folder:
    beats = minutes * 120
    path = write_song(folder + "/long.mid", [[e for b in range(0, beats, 2) for e in note(b * 480, 900, 40 + b % 40)]])
    render_file(path, folder + "/long.wav", RenderOptions(rate=8000))
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)
"""


def test_memory_does_not_grow_with_the_audios_length():
    def peak_kilobytes(minutes):
        probe = [sys.executable, "-c", MEMORY_PROBE, str(minutes), os.path.dirname(__file__)]
        return int(subprocess.run(probe, capture_output=True, text=True, check=True).stdout)
    assert peak_kilobytes(40) - peak_kilobytes(2) < 8 * 1024


@pytest.mark.parametrize("name", ["x.wav", "x.flac"])
def test_a_write_that_fails_midway_gets_one_line_with_the_reason_and_leaves_nothing(tmp_path, song, name):
    out = tmp_path / "out"
    out.mkdir()
    limited = ("import resource, signal, sys; signal.signal(signal.SIGXFSZ, signal.SIG_IGN); "
               "resource.setrlimit(resource.RLIMIT_FSIZE, (50_000, 50_000)); "
               "from ostina_render.cli import main; sys.exit(main(sys.argv[1:]))")
    result = subprocess.run([sys.executable, "-c", limited, str(song), "-o", str(out / name)],
                            capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (1, f"ostina-render: error: {out / name}: cannot write (File too large)\n")
    assert os.listdir(out) == []


EXTRA = ("numpy", "mido", "soundfile", "tqdm")
WITHOUT_EXTRA = ("import sys; sys.modules.update(dict.fromkeys({extra!r})); from ostina_render.cli import main; "
                 "status = main(); print(sorted(set({extra!r}) & {{name for name, m in sys.modules.items() if m}})); "
                 "sys.exit(status)")


@pytest.mark.parametrize("name, status", [("out.wav", 0), ("out.flac", 1)])
def test_a_wav_needs_nothing_of_the_render_extra_and_flac_names_the_install_that_works_here(tmp_path, song, name,
                                                                                          status):
    target = tmp_path / name
    command = [sys.executable, "-c", WITHOUT_EXTRA.format(extra=EXTRA), str(song), "-o", str(target), "-q"]
    environment = {key: value for key, value in os.environ.items() if key != "VIRTUAL_ENV"}
    result = subprocess.run(command, capture_output=True, text=True, cwd=tmp_path, env=environment)
    assert (result.returncode, result.stdout, target.exists()) == (status, "[]\n", status == 0)
    if status:
        # The pip of this environment, though not activated, and the clone's folder when installed from one.
        pip, requirement = re.fullmatch(r"ostina-render: error: FLAC output needs the render extra: "
                                        r"(\S+) install '(.+)\[render\]'\n", result.stderr).groups()
        assert os.path.samefile(tmp_path / pip, os.path.join(os.path.dirname(sys.executable), "pip"))
        assert requirement == "ostina" or (tmp_path / requirement / "pyproject.toml").exists()


@pytest.mark.parametrize("flags", [[], pytest.param(["--soundfont", TIMGM], marks=pytest.mark.skipif(
    TIMGM is None, reason="pretty_midi's soundfont is not installed"))], ids=["built-in bank", "soundfont"])
def test_a_file_renders_without_the_modules_it_does_not_use(tmp_path, song, flags):
    # Start-up is most of a short piece's time: these modules are imported only when used.
    unused = ("ostina_render.song", "ostina_render.instruments", "ostina_render.soundfont", "fractions", "typing",
              "dataclasses", "inspect", "shutil")
    script = f"import sys; from ostina_render.cli import main; main(); print(sorted(set({unused!r}) & set(sys.modules)))"
    result = subprocess.run([sys.executable, "-c", script, str(song), "-o", str(tmp_path / "out.wav"), "-q", *flags],
                            capture_output=True, text=True)
    assert (result.returncode, result.stdout, result.stderr) == (0, "[]\n", "")


def test_a_batch_needs_nothing_of_the_render_extra_either(tmp_path, song):
    command = [sys.executable, "-c", WITHOUT_EXTRA.format(extra=EXTRA), "--outdir", str(tmp_path / "out"), str(song),
               "--workers", "1", "-q"]
    result = subprocess.run(command, capture_output=True, text=True)
    assert (result.returncode, result.stderr) == (0, "") and os.listdir(tmp_path / "out") == ["song.wav"]


def test_ctrl_c_stops_cleanly_and_leaves_no_partial_output(tmp_path):
    long = write_song(tmp_path / "long.mid", [[e for beat in range(0, 4000, 2) for e in note(beat * 480, 960, 48 + beat % 24)]])
    out = tmp_path / "out"
    out.mkdir()
    process = subprocess.Popen([sys.executable, "-m", "ostina_render", str(long), "-o", str(out / "long.wav")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while not any(name.endswith(".part") for name in os.listdir(out)) and time.monotonic() < deadline:
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    _, stderr = process.communicate(timeout=60)
    assert process.returncode == 130 and "interrupted" in stderr and "Traceback" not in stderr
    assert os.listdir(out) == []
