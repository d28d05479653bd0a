"""Batch rendering: the same bytes from every executor, faults confined to their file,
reruns that skip, and outputs that never collide."""
import functools
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
from concurrent.futures import Future, ProcessPoolExecutor, ThreadPoolExecutor
from concurrent.futures.process import BrokenProcessPool

import mido
import pytest

from conftest import dead_pid
from midi_songs import note, write_song
from ostina_render import RenderOptions, render_file
from ostina_render.batch import Processes, find_jobs, render_batch

MIDI_TIMEOUT = 240  # seconds a subprocess may take before the test fails instead of hanging


def melody(path, pitches, beats=1, channel=0, program=0):
    """A file playing `pitches` one after another, `beats` each, at 120 bpm."""
    events = [(0, mido.Message("program_change", channel=channel, program=program))]
    for index, pitch in enumerate(pitches):
        events += note(index * 96 * beats, 96 * beats, pitch, channel=channel)
    path.parent.mkdir(parents=True, exist_ok=True)
    return write_song(path, [events], ticks_per_beat=96)


@pytest.fixture
def songs(tmp_path):
    """A folder of four songs of different lengths and sounds, two of them in subfolders."""
    folder = tmp_path / "songs"
    melody(folder / "short.mid", [60, 64])
    melody(folder / "strings" / "long.midi", [48, 55, 60, 67, 72, 67], beats=2, program=48)
    melody(folder / "strings" / "beat" / "drums.mid", [36, 38, 42, 46, 49], channel=9)
    melody(folder / "lead.MID", [72, 71, 69, 67, 65, 64, 62, 60], program=80)
    return folder


EXPECTED = {"short.wav", "strings/long.wav", "strings/beat/drums.wav", "lead.wav"}


def outputs(outdir):
    return {path.relative_to(outdir).as_posix(): path.read_bytes()
            for path in pathlib.Path(outdir).rglob("*") if path.is_file()}


@pytest.fixture
def one_by_one(songs, tmp_path):
    """Each song rendered on its own to a file, as `ostina-render SONG -o OUT` does."""
    for job in find_jobs([songs], tmp_path / "single"):
        os.makedirs(os.path.dirname(job.target), exist_ok=True)
        render_file(job.source, job.target, RenderOptions())
    return outputs(tmp_path / "single")


def cli(*arguments):
    return subprocess.run([sys.executable, "-m", "ostina_render", *map(str, arguments)],
                          capture_output=True, text=True, timeout=MIDI_TIMEOUT)


@pytest.mark.parametrize("executor", [None, Processes(2)], ids=["serial", "processes"])
def test_batch_writes_the_bytes_of_one_by_one_renders(songs, tmp_path, one_by_one, executor):
    report = render_batch(find_jobs([songs], tmp_path / "out"), executor=executor)
    assert set(one_by_one) == EXPECTED
    assert outputs(tmp_path / "out") == one_by_one
    assert [result.status for result in report.results] == ["done"] * 4


def test_dask_local_cluster_writes_the_bytes_of_one_by_one_renders(songs, tmp_path, one_by_one):
    script = textwrap.dedent(f"""
        from ostina_render.batch import dask_client, find_jobs, render_batch
        with dask_client("local", 2) as client:
            report = render_batch(find_jobs([{str(songs)!r}], {str(tmp_path / "out")!r}), executor=client)
        print(report.summary())
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=MIDI_TIMEOUT)
    assert run.returncode == 0, run.stderr
    assert outputs(tmp_path / "out") == one_by_one


def test_corrupt_and_missing_files_are_reported_while_the_others_finish(songs, tmp_path, one_by_one):
    bad = songs / "strings" / "bad.mid"
    bad.write_bytes(b"MThd\x00\x00\x00\x06\x00\x01\x00\x01\x00\x60MTrk\x00\x00\x10\x00\x90\x3c")
    missing = tmp_path / "missing.mid"
    run = cli("--outdir", tmp_path / "out", "--workers", 2, songs, missing)
    assert run.returncode == 1
    errors = sorted(line for line in run.stderr.splitlines() if line.startswith("ostina-render: error: "))
    assert len(errors) == 2  # sorted: tmp_path/missing.mid before tmp_path/songs/...
    assert errors[0].startswith(f"ostina-render: error: {missing}: no such file")
    assert errors[1].startswith(f"ostina-render: error: {bad}: ")
    assert outputs(tmp_path / "out") == one_by_one
    assert "4 done, 0 skipped, 2 failed" in run.stdout


VICTIM = "long"


def die_rendering(victim):
    """Run in each worker as it starts: the worker renders `victim` a little and then is killed."""
    from ostina_render import batch

    whole = batch.render_bytes

    def render_bytes(source, midi, options):
        if victim in source:
            batch.render_file(source, batch.io.BytesIO(), options,
                              progress=lambda frames: os.kill(os.getpid(), signal.SIGKILL))
        return whole(source, midi, options)
    batch.render_bytes = render_bytes


def test_a_killed_worker_fails_its_file_only_and_a_rerun_completes_it(songs, tmp_path, one_by_one):
    jobs = find_jobs([songs], tmp_path / "out")
    report = render_batch(jobs, executor=Processes(2, functools.partial(die_rendering, VICTIM)))
    failed = [result for result in report.results if result.status == "failed"]
    assert [VICTIM in result.source for result in failed] == [True]
    assert set(outputs(tmp_path / "out")) == EXPECTED - {"strings/long.wav"}  # no final or temporary file
    rerun = render_batch(jobs, executor=Processes(2))
    assert sorted(result.status for result in rerun.results) == ["done", "skipped", "skipped", "skipped"]
    assert outputs(tmp_path / "out") == one_by_one


class BrokenPool(ThreadPoolExecutor):
    """A pool whose worker died before it was given anything."""

    def submit(self, fn, /, *args, **kwargs):
        raise BrokenProcessPool("a child process terminated abruptly")


class LosingPool(ProcessPoolExecutor):
    """A process pool that broke as it was given its first two calls, and lost them: they
    never finish, and it refuses every call after them."""

    def __init__(self, workers):
        super().__init__(workers)
        self.accepted = 0

    def submit(self, fn, /, *args, **kwargs):
        self.accepted += 1
        if self.accepted > 2:
            raise BrokenProcessPool("a child process terminated abruptly")
        return Future()


@pytest.mark.parametrize("broken", [BrokenPool, LosingPool])
def test_a_pool_that_broke_as_files_were_given_to_it_is_replaced(songs, tmp_path, one_by_one, broken):
    pools = iter([broken(2), ThreadPoolExecutor(2)])
    report = render_batch(find_jobs([songs], tmp_path / "out"), executor=lambda: next(pools))
    assert [result.status for result in report.results] == ["done"] * 4
    assert outputs(tmp_path / "out") == one_by_one


def test_a_rerun_skips_existing_outputs_and_removes_stale_temporary_files_of_dead_runs_only(songs, tmp_path,
                                                                                              one_by_one):
    out = tmp_path / "out"
    assert cli("--outdir", out, "--workers", 1, songs).returncode == 0
    (out / "lead.wav").write_bytes(b"kept")
    host = os.uname().nodename
    stale = out / "strings" / f".long.wav.{host}.{dead_pid()}.0a1b2c3d.part"
    kept = {f".long.wav.{host}.{os.getpid()}.0a1b2c3d.part",  # a run still writing
            f".long.wav.other-host.{dead_pid()}.0a1b2c3d.part",  # whose owner this host cannot see
            ".long.wav.0a1b2c3d.part"}  # without an owner
    for name in (stale.name, *kept):
        (out / "strings" / name).write_bytes(b"left by a run")
    run = cli("--outdir", out, songs)
    assert run.returncode == 0 and "0 done, 4 skipped, 0 failed" in run.stdout
    assert outputs(out) == {**one_by_one, "lead.wav": b"kept", **{f"strings/{name}": b"left by a run" for name in kept}}


def test_force_renders_existing_outputs_again(songs, tmp_path, one_by_one):
    out = tmp_path / "out"
    assert cli("--outdir", out, "--workers", 1, songs).returncode == 0
    (out / "lead.wav").write_bytes(b"old")
    run = cli("--outdir", out, "--force", songs)
    assert run.returncode == 0 and "4 done, 0 skipped, 0 failed" in run.stdout
    assert outputs(out) == one_by_one


def test_files_named_directly_go_under_outdir_by_their_stem(songs, tmp_path, one_by_one):
    run = cli("--outdir", tmp_path / "out", songs / "strings" / "long.midi", songs / "short.mid")
    assert run.returncode == 0
    assert outputs(tmp_path / "out") == {"long.wav": one_by_one["strings/long.wav"],
                                         "short.wav": one_by_one["short.wav"]}


@pytest.mark.parametrize("clash", [["a/x.mid", "b/x.mid"], ["x.mid", "x.midi"]])
def test_inputs_with_one_output_path_are_refused_before_anything_renders(tmp_path, clash):
    folder = tmp_path / "in"
    for name in clash:
        melody(folder / name, [60])
    run = cli("--outdir", tmp_path / "out", *(folder / name for name in clash))
    assert run.returncode == 1
    assert run.stderr.startswith("ostina-render: error: 1 output(s) would be written by two inputs: ")
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("arguments", [
    ["a.mid", "b.mid"],  # several inputs without --outdir
    ["a.mid", "--workers", "2"],
    ["a.mid", "--outdir", "o", "--workers", "2", "--dask", "local"],
    ["a.mid", "--outdir", "o", "-o", "a.wav"],
    ["a.mid", "--outdir", "o", "--workers", "0"],
])
def test_contradictory_arguments_are_refused(tmp_path, arguments):
    run = subprocess.run([sys.executable, "-m", "ostina_render", *arguments], cwd=tmp_path,
                         capture_output=True, text=True, timeout=MIDI_TIMEOUT)
    assert run.returncode == 2 and run.stderr.splitlines()[-1].startswith("ostina-render: error: ")
    assert os.listdir(tmp_path) == []


def test_dask_workers_play_a_soundfont_from_their_own_copy(songs, tmp_path):
    """The soundfont goes to each worker once and is kept in its local folder: the renders
    match one-by-one renders with the caller's file."""
    font = os.path.join(os.path.dirname(__import__("pretty_midi").__file__), "TimGM6mb.sf2")
    for job in find_jobs([songs], tmp_path / "single"):
        os.makedirs(os.path.dirname(job.target), exist_ok=True)
        render_file(job.source, job.target, RenderOptions(soundfont=font))
    script = textwrap.dedent(f"""
        import os
        from ostina_render import RenderOptions
        from ostina_render.batch import dask_client, find_jobs, render_batch
        with dask_client("local", 2) as client:
            report = render_batch(find_jobs([{str(songs)!r}], {str(tmp_path / "out")!r}),
                                  RenderOptions(soundfont={font!r}), executor=client)
            kept = client.run(lambda dask_worker: sorted(name for name in os.listdir(dask_worker.local_directory)
                                                         if name.startswith("ostina-")))
        print(report.summary())
        print(sorted(map(len, kept.values())))
    """)
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=MIDI_TIMEOUT)
    assert run.returncode == 0, run.stderr
    assert run.stdout.splitlines()[-1] == "[1, 1]"
    assert outputs(tmp_path / "out") == outputs(tmp_path / "single")
