"""The renderer never harms what its output names, killed runs clean up, and options
follow one set of rules in the command line and the library."""
import contextlib
import copy
import functools
import io
import math
import os
import pickle
import select
import signal
import stat
import subprocess
import sys
import threading
import time
import wave
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import soundfile

from conftest import dead_pid
from midi_songs import note, write_song
from ostina_render import RenderError, RenderOptions, render_array, render_file
from ostina_render.batch import find_jobs, render_batch

def ostina_render(*arguments, **run):
    return subprocess.run([sys.executable, "-m", "ostina_render", *map(str, arguments)],
                          capture_output=True, timeout=120, **run)


@pytest.fixture
def song(tmp_path):
    return write_song(tmp_path / "song.mid", [note(0, 480), note(480, 480, 64, channel=9)])


def one_line_error(result, status):
    err = result.stderr.decode()
    return result.returncode == status and err.startswith("ostina-render: error: ") and err.count("\n") == 1


@pytest.mark.parametrize("link", ["itself", "symlink", "hard link", "appended standard output"])
def test_an_output_that_is_the_input_is_refused_and_the_input_kept(tmp_path, song, link):
    original, target = song.read_bytes(), tmp_path / "out.wav"
    if link in ("itself", "appended standard output"):
        target = song
    else:
        (os.symlink if link == "symlink" else os.link)(song, target)
    with open(song, "ab") as appended:
        result = (ostina_render(song, "-o", target) if link != "appended standard output" else subprocess.run(
            [sys.executable, "-m", "ostina_render", song, "-o", "-"], stdout=appended, stderr=subprocess.PIPE))
    assert one_line_error(result, 1) and b"is the input" in result.stderr and song.read_bytes() == original


@pytest.mark.parametrize("format_name", ["wav", "flac"])
def test_streams_get_the_bytes_of_a_file(tmp_path, song, format_name):
    ostina_render(song, "-o", tmp_path / f"file.{format_name}", "-q")
    expected = (tmp_path / f"file.{format_name}").read_bytes()
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    heard = []
    reader = threading.Thread(target=lambda: heard.append(fifo.read_bytes()))
    reader.start()
    assert ostina_render(song, "-o", fifo, "--format", format_name, "-q").returncode == 0
    reader.join(60)
    stdout = ostina_render(song, "-o", "-", "--format", format_name, cwd=tmp_path)
    by_name = ostina_render(song, "-o", "/dev/stdout", "--format", format_name)  # its summary on stderr
    with open(tmp_path / "appended", "wb") as appended:
        appended.write(b"earlier output\n")
    with open(tmp_path / "appended", "ab") as appended:
        subprocess.run([sys.executable, "-m", "ostina_render", song, "-o", "-", "--format", format_name, "-q"],
                       stdout=appended, timeout=120, check=True)
    assert heard == [expected] and stdout.stdout == expected and b"-> <stdout>" in stdout.stderr
    assert by_name.stdout == expected and b"-> /dev/stdout" in by_name.stderr and (tmp_path / "appended").read_bytes() == b"earlier output\n" + expected
    (tmp_path / "appended").unlink()
    assert stat.S_ISFIFO(os.stat(fifo).st_mode) and sorted(os.listdir(tmp_path)) == ["fifo", f"file.{format_name}",
                                                                                      "song.mid"]
    if format_name == "wav":
        with wave.open(io.BytesIO(stdout.stdout)) as audio:  # the header holds the true length
            assert audio.getnframes() * 4 == len(expected) - 80


def test_a_symlink_is_written_through_to_its_target(tmp_path, song):
    (tmp_path / "real").mkdir()
    os.symlink("real/target.wav", tmp_path / "link.wav")
    assert ostina_render(song, "-o", tmp_path / "link.wav", "-q").returncode == 0
    assert os.readlink(tmp_path / "link.wav") == "real/target.wav"
    assert os.listdir(tmp_path / "real") == ["target.wav"] and soundfile.info(tmp_path / "real/target.wav").frames


@pytest.mark.parametrize("kind, status, said", [
    ("/dev/null", 0, b""), ("null device", 0, b""), ("full device", 1, b"(No space left on device)"),
    ("block device", 1, b"is a block device"), ("folder", 1, b"is a folder"),
])
def test_devices_are_streamed_into_and_never_replaced(tmp_path, song, kind, status, said):
    target = tmp_path / "node"
    if kind == "/dev/null":
        target = "/dev/null"
    elif kind == "folder":
        target.mkdir()
    else:
        if os.geteuid() != 0:
            pytest.skip("making device nodes needs root")
        device = {"null device": (stat.S_IFCHR, 1, 3), "full device": (stat.S_IFCHR, 1, 7),
                  "block device": (stat.S_IFBLK, 7, 0)}[kind]
        os.mknod(target, device[0] | 0o666, os.makedev(*device[1:]))
    mode = os.stat(target).st_mode
    result = ostina_render(song, "-o", target, "-q")
    assert (result.returncode == 0 and result.stderr == b"") if status == 0 else one_line_error(result, status)
    assert said in result.stderr and os.stat(target).st_mode == mode
    assert sorted(os.listdir(tmp_path)) == sorted(["song.mid", *([] if target == "/dev/null" else ["node"])])


def test_a_single_run_removes_the_temporary_file_of_a_killed_run_only(tmp_path, song):
    host = os.uname().nodename
    stale, live = (f".out.wav.{host}.{pid}.0a1b2c3d.part" for pid in (dead_pid(), os.getpid()))
    for name in (stale, live):
        (tmp_path / name).write_bytes(b"left")
    assert ostina_render(song, "-o", tmp_path / "out.wav", "-q").returncode == 0
    assert sorted(os.listdir(tmp_path)) == [live, "out.wav", "song.mid"]


@pytest.fixture
def long_songs(tmp_path):
    """A dense song that takes seconds to render, which starts first, and short ones."""
    folder = tmp_path / "songs"
    folder.mkdir()
    write_song(folder / "dense.mid", [[e for beat in range(600) for key in range(64) for e in note(beat * 480, 960, 30 + key)]])
    for index in range(3):
        write_song(folder / f"short{index}.mid", [[e for beat in range(40) for e in note(beat * 480, 480, 60 + index)]])
    return folder


@pytest.fixture
def batch():
    """Starts a batch command; whatever of it is left is killed after the test."""
    started = []

    def start(songs, out, where):
        started.append(subprocess.Popen([sys.executable, "-m", "ostina_render", "--outdir", str(out), str(songs),
                                         *where], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                        start_new_session=True))
        return started[-1]
    yield start
    for process in started:
        with contextlib.suppress(ProcessLookupError):
            os.killpg(process.pid, signal.SIGKILL)
        process.communicate()


def wait_for_a_file(out, timeout=90):
    deadline = time.monotonic() + timeout
    while not (out.exists() and any(name.endswith(".wav") for name in os.listdir(out))):
        assert time.monotonic() < deadline
        time.sleep(0.05)


@pytest.mark.parametrize("where", [["--workers", "2"], ["--dask", "local"]], ids=["processes", "dask"])
def test_a_batch_parent_killed_by_sigkill_leaves_nothing_holding_its_output(long_songs, tmp_path, batch, where):
    process = batch(long_songs, tmp_path / "out", where)
    wait_for_a_file(tmp_path / "out")
    process.kill()
    process.wait()
    assert select.select([process.stdout], [], [], 5)[0] and process.stdout.read() == b""  # end of file


@pytest.mark.parametrize("to", ["parent", "group"])
def test_sigint_to_the_batch_stops_at_once_and_keeps_finished_files(long_songs, tmp_path, batch, to):
    out = tmp_path / "out"
    process = batch(long_songs, out, ["--workers", "2"])
    wait_for_a_file(out)
    began = time.monotonic()
    (process.send_signal if to == "parent" else functools.partial(os.killpg, process.pid))(signal.SIGINT)
    _, err = process.communicate(timeout=60)
    assert process.returncode == 130 and time.monotonic() - began < 1.5
    assert err == b"ostina-render: interrupted; files finished so far are kept, no others\n"
    kept = os.listdir(out)
    assert kept and all(name.startswith("short") and soundfile.info(out / name).duration > 19 for name in kept)


@pytest.mark.parametrize("arguments", [
    ["-o", ""], ["--rate", "7999"], ["--rate", "44100.5"], ["--max-duration", "nan"], ["--max-duration", "-1"],
    ["--max-duration", "inf"], ["--gain", "100"], ["--polyphony", "0"], ["--drum-sample", "36=kick.wav@40"],
    ["--format", "flac"], ["--threads", "0"],
])
def test_every_option_value_error_is_one_line_with_status_2(tmp_path, song, arguments):
    result = ostina_render(song, "-o", tmp_path / "x.wav", *arguments)
    assert one_line_error(result, 2) and result.stdout == b"" and not (tmp_path / "x.wav").exists()


@pytest.mark.parametrize("arguments, said", [
    (["--tracks", "5"], "tracks 5 hold no notes; its notes are on tracks 0-1 (counted from 0)"),
    (["--channels", "3,4"], "channels 3-4 hold no notes; its notes are on channels 1, 10 (counted from 1)"),
    (["--tracks", "1", "--channels", "1"], "channels 1 hold no notes; its notes are on channels 10"),
])
def test_a_selection_without_notes_is_refused_naming_what_the_file_has(tmp_path, song, arguments, said):
    result = ostina_render(song, "-o", tmp_path / "x.wav", *arguments)
    assert one_line_error(result, 1) and said in result.stderr.decode()


def test_a_mute_of_what_a_file_lacks_is_a_notice_so_a_folder_still_renders(tmp_path, song):
    result = ostina_render("--outdir", tmp_path / "out", song, "--mute-channels", "2,10", "--mute-tracks", "7")
    assert result.returncode == 0 and result.stderr.decode().splitlines() == [
        f"{song}: no notes to mute on tracks 7", f"{song}: no notes to mute on channels 2"]


@pytest.mark.parametrize("inputs, said", [
    (["empty"], "no MIDI files found in"), (["song.mid", "--outdir", "song.mid"], "is a file, not a folder"),
    (["song.mid", "--sample", "0=bad.wav"], "values that are not finite"),
])
def test_batch_and_sample_errors_are_one_line_before_anything_renders(tmp_path, song, inputs, said):
    (tmp_path / "empty").mkdir()
    soundfile.write(tmp_path / "bad.wav", np.array([0.5, math.nan, 0.2]), 8000, subtype="FLOAT")
    arguments = inputs if "--outdir" in inputs else [*inputs, "--outdir", "out"]
    result = ostina_render(*arguments, cwd=tmp_path)
    assert one_line_error(result, 1) and said in result.stderr.decode() and not (tmp_path / "out").exists()


@pytest.mark.parametrize("call", [
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(rate=22050.0)),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(channels=0)),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(tracks={"1"})),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(tracks=[5])),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(mute_tracks=None)),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(gain_db=math.nan)),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(program_samples={0: "kick.wav"})),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(format="flac")),
    lambda song, path: render_file(song, open(path / "x.wav", "w")),
    lambda song, path: render_file(song, open(path / "x.flac", "w")),
    lambda song, path: render_file(song, path / "x.wav", RenderOptions(drum_samples={36: "kick.wav"})),
    lambda song, path: render_array(song, start=math.nan),
    lambda song, path: render_array(song, end=math.inf),
    lambda song, path: render_batch(find_jobs([song], path / "out"), concurrency=0),
    lambda song, path: render_array(song, options=RenderOptions(threads=0)),
])
def test_the_library_raises_render_error_for_bad_values_in_one_line(tmp_path, song, capfd, call):
    with pytest.raises(RenderError) as raised:
        call(song, tmp_path)
    assert "\n" not in str(raised.value) and capfd.readouterr().err == ""
    assert sorted(os.listdir(tmp_path)) in (["song.mid"], ["song.mid", "x.flac"], ["song.mid", "x.wav"])


def test_options_do_not_change_and_replace_gives_a_changed_copy():
    options = RenderOptions(48000, threads=2)
    changed = options.replace(bits=24)
    assert (changed.bits, changed.rate, changed.threads, options.bits) == (24, 48000, 2, 16)
    assert changed == options.replace(bits=24) != options
    mixed = RenderOptions(mute_tracks=frozenset({1}), reverb=False, format="flac")  # fields that share defaults
    for copied in (pickle.loads(pickle.dumps(mixed)), copy.deepcopy(mixed), mixed.replace()):
        assert repr(copied) == repr(mixed) and copied == mixed
    assert RenderOptions().program_samples is not RenderOptions().program_samples  # no default shared
    assert repr(changed).startswith("RenderOptions(rate=48000, soundfont=None, format=None, bits=24, ")
    for change in (lambda: setattr(options, "rate", 8000), lambda: delattr(options, "rate")):
        with pytest.raises(AttributeError, match="a RenderOptions does not change"):
            change()
    with pytest.raises(TypeError, match="^RenderOptions has no field 'rat'$"):
        options.replace(rat=8000)
    assert options == RenderOptions(48000, threads=2)


@pytest.mark.parametrize("format_name", ["wav", "flac"])
def test_the_format_follows_the_suffix_in_the_library_too_on_names_of_any_length(tmp_path, song, format_name):
    target = tmp_path / f"{'n' * 240}.{format_name}"
    render_file(song, target)
    assert soundfile.info(target).format == format_name.upper()


class Counting(ThreadPoolExecutor):
    """Counts the calls it holds at once; each takes a little while."""

    def __init__(self, workers):
        super().__init__(workers)
        self.lock, self.held, self.most = threading.Lock(), 0, 0

    def submit(self, fn, /, *args, **kwargs):
        with self.lock:
            self.held += 1
            self.most = max(self.most, self.held)
        future = super().submit(lambda: (time.sleep(0.2), fn(*args, **kwargs))[1])
        future.add_done_callback(self.release)
        return future

    def release(self, _):
        with self.lock:
            self.held -= 1


def test_a_foreign_executors_concurrency_is_the_parameter_not_its_workers(tmp_path):
    songs = [write_song(tmp_path / f"{index}.mid", [note(0, 240, 60 + index)]) for index in range(6)]
    with Counting(8) as executor:
        report = render_batch(find_jobs(songs, tmp_path / "out"), executor=executor, concurrency=2)
    assert report.count("done") == 6 and executor.most == 2
