"""Rendering many files: on this process, on local worker processes or on a Dask cluster.

Workers receive the MIDI file's name and bytes and the options (plain values;
ostina's objects do not pickle) and send back the encoded file. The caller
writes it under a temporary name and renames it when complete, so the inputs
and outputs need no shared storage (users' sample files are read where the
file renders) and an interrupted batch leaves no truncated file under a final
name.
"""
from __future__ import annotations

import concurrent.futures as cf
import contextlib
import functools
import io
import logging
import multiprocessing
import os
import signal
import sys
import time
from collections import deque
from collections.abc import Callable, Collection, Iterable, Iterator, Sequence
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, Protocol, TypeAlias, cast

from .errors import RenderError, needs_extra
from .output import cannot_write, format_for, refuse_input, remove_stale, replacing
from .render import RenderOptions, RenderReport, load, render_file, soundfont_bank, usable_cores, users_bank
from .sources import midi_bytes

if TYPE_CHECKING:
    from distributed import Client

    from .sources import Source

MIDI_SUFFIXES = (".mid", ".midi")
LOST_CHECK_SECONDS = 1.0  # how long a wait goes without news before it asks whether the pool broke
LOST_GRACE_SECONDS = 1.0  # how long a broken process pool may take to fail the calls it still holds
PR_SET_PDEATHSIG = 1  # Linux's prctl option: a signal for this process when its parent dies

Status = Literal["done", "skipped", "failed"]


default_workers = usable_cores  # a worker a core


@dataclass(frozen=True)
class Job:
    """One MIDI file and the audio file it becomes. `size` is the input's length in bytes;
    `data` holds the bytes of a song given as an object rather than a path."""

    source: str
    target: str
    size: int
    data: bytes | None = field(default=None, repr=False, compare=False)

    @classmethod
    def of(cls, source: Source, target: str | os.PathLike[str]) -> Job:
        """The job for a path, or for a song given as anything `read_song` reads (a Song,
        bytes, a MIDI library's object), which is written as MIDI here, before any worker
        sees it; such a song has no path to name its output after, so `target` names it."""
        if isinstance(source, (str, os.PathLike)):
            return cls(os.fspath(source), os.fspath(target), _size(os.fspath(source)))
        name, data = midi_bytes(source)
        return cls(name, os.fspath(target), len(data), data)


@dataclass(frozen=True)
class Rendered:
    """What a worker sends back: the whole encoded file and its report."""

    data: bytes
    report: RenderReport


@dataclass(frozen=True)
class FileResult:
    """How one file of a batch went. `reason` (for "failed") is one line that starts with the source."""

    source: str
    target: str
    status: Status
    reason: str = ""
    report: RenderReport | None = None  # for "done"

    @property
    def seconds(self) -> float:
        """Seconds of audio written."""
        return self.report.seconds if self.report else 0.0


@dataclass(frozen=True)
class BatchReport:
    """Every file's result, in the order of the jobs, and the batch's wall time in seconds."""

    results: tuple[FileResult, ...]
    wall_seconds: float

    def count(self, status: Status) -> int:
        return sum(result.status == status for result in self.results)

    @property
    def failures(self) -> tuple[FileResult, ...]:
        return tuple(result for result in self.results if result.status == "failed")

    @property
    def seconds(self) -> float:
        """Seconds of audio rendered by this batch (skipped files not counted)."""
        return sum(result.seconds for result in self.results)

    @property
    def realtime_factor(self) -> float:
        return self.seconds / self.wall_seconds if self.wall_seconds > 0 else float("inf")

    def summary(self) -> str:
        return (f"{self.count('done')} done, {self.count('skipped')} skipped, {self.count('failed')} failed; "
                f"{self.seconds:.1f} s of audio in {self.wall_seconds:.2f} s "
                f"({self.realtime_factor:.1f}x real time)")


# Finding the work

def find_jobs(inputs: Iterable[str | os.PathLike[str]], outdir: str | os.PathLike[str],
              format_name: str = "wav") -> list[Job]:
    """Jobs for files and folders. A folder is searched recursively for *.mid and *.midi and its
    files keep their paths relative to it under `outdir`; a file named directly goes to
    `outdir` by its stem. Two inputs with one output path raise RenderError, as does an
    `outdir` that is not a folder."""
    if os.path.exists(outdir) and not os.path.isdir(outdir):
        raise RenderError(f"{os.fspath(outdir)}: is a file, not a folder for the outputs")
    pairs: dict[str, str] = {}  # source -> target; a file named twice is one job
    for item in inputs:
        name = os.fspath(item)
        if os.path.isdir(name):
            for path in _midi_files(name):
                pairs.setdefault(path, _target(os.path.relpath(path, name), outdir, format_name))
        else:
            pairs.setdefault(name, _target(os.path.basename(name), outdir, format_name))
    _refuse_collisions(pairs)
    return [Job(source, target, _size(source)) for source, target in pairs.items()]


def _midi_files(folder: str) -> Iterator[str]:
    for root, folders, files in os.walk(folder):
        folders.sort()
        for name in sorted(files):
            if name.lower().endswith(MIDI_SUFFIXES):
                yield os.path.join(root, name)


def _target(relative: str, outdir: str | os.PathLike[str], format_name: str) -> str:
    return os.path.join(os.fspath(outdir), os.path.splitext(relative)[0] + "." + format_name)


def _refuse_collisions(pairs: dict[str, str]) -> None:
    by_target: dict[str, list[str]] = {}
    for source, target in pairs.items():
        by_target.setdefault(os.path.normpath(os.path.abspath(target)), []).append(source)
    clashes = [f"{pairs[sources[0]]} from {' and '.join(sources)}" for sources in by_target.values()
               if len(sources) > 1]
    if clashes:
        raise RenderError(f"{len(clashes)} output(s) would be written by two inputs: {'; '.join(clashes)}")


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0  # the render reports what is wrong with it


# What a worker runs

def render_bytes(source: str, midi: bytes, options: RenderOptions) -> Rendered:
    """Render the MIDI file `source`, given as its bytes, in memory and return the encoded audio.

    Runs on a worker; messages and the report name `source`.
    """
    buffer = io.BytesIO()
    report = render_file(load(source, options, midi), buffer, options)
    return Rendered(buffer.getvalue(), report)


# Writing on the caller's side

def write_file(target: str, data: bytes) -> None:
    """Write `data` under a temporary name beside `target`, then rename it to `target`."""
    os.makedirs(os.path.dirname(os.path.abspath(target)), exist_ok=True)
    with replacing(target) as temporary, open(temporary, "wb") as file:
        file.write(data)


# Executors

@dataclass(frozen=True)
class Processes:
    """Local worker processes, started fresh (spawned, not forked).

    Given to `render_batch` it makes a pool, and a fresh one when a worker's death breaks it.
    `initializer` runs once in each worker as it starts. A worker exits when the process
    that made the pool dies, even by SIGKILL, so no worker outlives its batch.
    """

    workers: int = field(default_factory=default_workers)
    initializer: Callable[[], object] | None = None

    def __call__(self) -> cf.ProcessPoolExecutor:
        return cf.ProcessPoolExecutor(self.workers, multiprocessing.get_context("spawn"),
                                      initializer=functools.partial(_start_worker, os.getpid(), self.initializer))


def _start_worker(parent: int, initializer: Callable[[], object] | None) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # Ctrl-C is the caller's to handle: it kills the workers
    exit_with_parent(parent)
    if initializer is not None:
        initializer()


def exit_with_parent(parent: int) -> None:
    """Have the kernel kill this process when `parent`, which started it, dies. The signal is
    tied to the thread that started the process and is asked for only now, so a parent that
    died before is seen by the process having been handed to another."""
    if sys.platform.startswith("linux"):
        import ctypes

        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)
    if os.getppid() != parent:
        os._exit(1)


def kill_workers(executor: cf.ProcessPoolExecutor) -> None:
    """Kill a process pool's workers at once: ProcessPoolExecutor.kill_workers from Python
    3.14; before it, the pool's table of processes, the one private name read here."""
    if hasattr(executor, "kill_workers"):
        with contextlib.suppress(RuntimeError, ValueError):
            executor.kill_workers()
        return
    for process in list((getattr(executor, "_processes", None) or {}).values()):
        with contextlib.suppress(OSError, ValueError, AttributeError):
            process.kill()


class InlineExecutor(cf.Executor):
    """Runs each call at once, in this process: the serial batch."""

    def submit(self, fn: Callable[..., Any], /, *args: Any, **kwargs: Any) -> cf.Future[Any]:
        future: cf.Future[Any] = cf.Future()
        try:
            future.set_result(fn(*args, **kwargs))
        except Exception as error:
            future.set_exception(error)
        return future


ExecutorLike: TypeAlias = "cf.Executor | Callable[[], cf.Executor] | Client | None"


class _Pool(Protocol):
    def slots(self) -> int: ...
    def submit(self, source: str, midi: bytes, options: RenderOptions) -> Any: ...
    def wait(self, futures: Collection[Any], every: bool) -> set[Any]: ...
    def renew(self) -> bool: ...
    def close(self, futures: Collection[Any], interrupted: bool) -> None: ...


class _Local:
    """A concurrent.futures executor, or one made (and remade) from a factory. `concurrency`
    calls are in flight at once."""

    def __init__(self, executor: cf.Executor, make: Callable[[], cf.Executor] | None, concurrency: int) -> None:
        self.executor, self.make, self.concurrency = executor, make, concurrency

    def slots(self) -> int:
        return self.concurrency

    def submit(self, source: str, midi: bytes, options: RenderOptions) -> Any:
        return self.executor.submit(render_bytes, source, midi, options)

    def wait(self, futures: Collection[Any], every: bool) -> set[Any]:
        """The first calls to finish; with `every`, once the pool broke, all of them. A broken pool
        fails every call it holds at once, except that CPython's can lose a call submitted while
        a dead worker breaks it: never failed, it is failed here. A wait without news asks the
        executor whether it broke, as its public API tells: it then refuses a new call."""
        while not every:
            done = cf.wait(futures, timeout=LOST_CHECK_SECONDS, return_when=cf.FIRST_COMPLETED)[0]
            if done:
                return done
            every = self._refuses_calls()
        done, lost = cf.wait(futures, timeout=LOST_GRACE_SECONDS)
        for future in lost:
            with contextlib.suppress(cf.InvalidStateError):  # failed meanwhile after all
                future.set_exception(BrokenProcessPool("the pool broke as this call was given to it"))
        return done | lost

    def _refuses_calls(self) -> bool:
        if not isinstance(self.executor, cf.ProcessPoolExecutor):
            return False  # only a process pool loses calls
        try:
            self.executor.submit(int)  # a call that does nothing
        except cf.BrokenExecutor:
            return True
        except RuntimeError:  # shut down by its owner: its calls still finish
            return False
        return False

    def renew(self) -> bool:
        if self.make is None:
            return False
        self._stop()
        self.executor = self.make()
        return True

    def close(self, futures: Collection[Any], interrupted: bool) -> None:
        if self.make is None:
            for future in futures:
                future.cancel()
        elif interrupted:
            self._stop(wait=False)
        else:
            self.executor.shutdown(wait=True, cancel_futures=True)

    def _stop(self, wait: bool = True) -> None:
        """Kill the workers of a pool of ours, any that a broken one left behind (see wait) included.
        An interrupted pool is not waited for: a worker killed while it sent its result leaves
        the pool's thread waiting for the rest of it."""
        if isinstance(self.executor, cf.ProcessPoolExecutor):
            kill_workers(self.executor)
        self.executor.shutdown(wait=wait, cancel_futures=True)


class _Dask:
    """A Dask client. The scheduler retries a task whose worker died, then reports KilledWorker.
    A soundfont goes to each worker once, as a file it keeps."""

    def __init__(self, client: Client, concurrency: int | None) -> None:
        self.client: Any = client  # distributed's methods carry no type hints
        self.concurrency = concurrency
        self.uploaded: dict[str, str] = {}  # the caller's soundfont path -> its name on the workers

    def slots(self) -> int:
        if self.concurrency is not None:
            return self.concurrency
        threads: int = sum(self.client.nthreads().values())
        return max(1, 2 * threads)  # two a thread keeps workers fed

    def submit(self, source: str, midi: bytes, options: RenderOptions) -> Any:
        if options.soundfont is None:
            return self.client.submit(render_bytes, source, midi, options, pure=False)
        from .cluster import render_with_upload, upload_soundfont

        path = os.fspath(options.soundfont)
        if path not in self.uploaded:
            self.uploaded[path] = upload_soundfont(self.client, path)
        return self.client.submit(render_with_upload, source, midi, options, self.uploaded[path], pure=False)

    def wait(self, futures: Collection[Any], every: bool) -> set[Any]:
        from distributed import wait

        when = "ALL_COMPLETED" if every else "FIRST_COMPLETED"
        return set(wait(list(futures), return_when=when).done)  # type: ignore[no-untyped-call]

    def renew(self) -> bool:
        return True

    def close(self, futures: Collection[Any], interrupted: bool) -> None:
        if futures:
            self.client.cancel(list(futures))


def _distributed(name: str) -> Any:
    """A class of Dask's distributed, when a caller has imported it; else None."""
    module = sys.modules.get("distributed")
    return getattr(module, name, None) if module is not None else None


def _pool(executor: ExecutorLike, concurrency: int | None) -> _Pool:
    if executor is None:
        return _Local(InlineExecutor(), None, 1)
    client = _distributed("Client")
    if client is not None and isinstance(executor, client):
        return _Dask(cast("Client", executor), concurrency)
    if isinstance(executor, cf.Executor):
        return _Local(executor, None, concurrency or default_workers())
    make = cast("Callable[[], cf.Executor]", executor)
    made = concurrency or (executor.workers if isinstance(executor, Processes) else default_workers())
    return _Local(make(), make, made)


@contextlib.contextmanager
def dask_client(address: str, workers: int) -> Iterator[Client]:
    """A client of the scheduler at `address`, or of a new LocalCluster of `workers` processes
    when `address` is "local"."""
    try:
        from distributed import Client, LocalCluster
    except ImportError:
        raise needs_extra("--dask", "cluster") from None
    with contextlib.ExitStack() as stack:
        try:
            if address == "local":
                # Its logs are quiet: the batch reports each file that fails.
                cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                    n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                    silence_logs=logging.CRITICAL))
                client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
            else:
                client = stack.enter_context(Client(address, timeout=30))  # type: ignore[no-untyped-call]
        except (OSError, TimeoutError, ValueError) as error:  # ValueError: an address it cannot parse
            raise RenderError(f"cannot reach the Dask scheduler at {address} ({error})") from None
        yield client


# The batch

def render_batch(jobs: Sequence[Job], options: RenderOptions = RenderOptions(), executor: ExecutorLike = None,
                 *, force: bool = False, on_result: Callable[[FileResult], None] | None = None,
                 concurrency: int | None = None) -> BatchReport:
    """Render every job; one that fails does not stop the others.

    `executor` is None (this process, one file after another), a concurrent.futures Executor,
    a function that makes one (such as `Processes(4)`; a pool a dead worker broke is then
    replaced), or a Dask client. `concurrency` is how many files are in flight at once: by
    default a `Processes`' workers, twice a Dask cluster's threads, else the machine's cores.
    Existing outputs are skipped unless `force`; an output that is its own input fails.
    Largest inputs start first. Each output's format follows its suffix (see `find_jobs`)
    unless `options.format` says. `on_result` hears of each file as it finishes.
    """
    began = time.perf_counter()
    options.check()
    if executor is not None and options.threads is None:
        options = options.replace(threads=1)  # the workers share the cores, a thread each
    if concurrency is not None and (not isinstance(concurrency, int) or concurrency < 1):
        raise RenderError(f"concurrency must be a whole number of at least 1, not {concurrency!r}")
    users_bank(options)  # reads users' samples: a bad one is reported once, before anything renders
    soundfont_bank(options)  # and the soundfont, which each worker then reads once
    finished: dict[Job, FileResult] = {}

    def finish(job: Job, result: FileResult) -> None:
        finished[job] = result
        if on_result:
            on_result(result)

    remove_stale(job.target for job in jobs)
    todo = []
    for job in sorted(jobs, key=lambda job: (-job.size, job.source)):
        try:
            refuse_input(job.source, job.target)
            format_for(job.target, options.format)
        except RenderError as error:
            finish(job, _failed(job, str(error)))
            continue
        if not force and os.path.exists(job.target):
            finish(job, FileResult(job.source, job.target, "skipped"))
        else:
            todo.append(job)
    if todo:
        _run(todo, options, _pool(executor, concurrency), finish)
    return BatchReport(tuple(finished[job] for job in jobs), time.perf_counter() - began)


def _run(todo: list[Job], options: RenderOptions, pool: _Pool, finish: Callable[[Job, FileResult], None]) -> None:
    """Keep the workers busy, largest first. When a worker's death breaks the pool, the files that
    were in it are tried again one at a time on a fresh pool: the one that breaks it alone fails."""
    queue, suspects = deque(todo), deque[Job]()
    running: dict[Any, tuple[Job, bool]] = {}  # future -> (job, tried alone)

    def start(job: Job, alone: bool) -> bool:
        """False if the pool broke since the last wait; the job then waits for a fresh pool."""
        try:
            _, midi = midi_bytes(job.source, options.max_midi_bytes, job.data)
        except RenderError as error:
            finish(job, _failed(job, str(error)))
            return True
        try:
            own = options.replace(format=format_for(job.target, options.format))
            running[pool.submit(job.source, midi, own)] = (job, alone)
        except BrokenProcessPool:
            (suspects if alone else queue).appendleft(job)
            return False
        return True

    interrupted = False
    try:
        while queue or suspects or running:
            healthy = True
            if suspects and not running:
                healthy = start(suspects.popleft(), True)
            room = pool.slots() if queue and not suspects else 0
            while healthy and queue and len(running) < room:
                healthy = start(queue.popleft(), False)
            broken = not healthy and not running  # else the calls it holds report it
            if running:
                done = pool.wait(running, every=False)
                broken = any(_broke(future) for future in done)
                if broken:
                    done = pool.wait(running, every=True)  # a broken pool fails every call it holds
                for future in done:
                    job, alone = running.pop(future)
                    if _broke(future) and not alone:
                        suspects.append(job)
                    else:
                        finish(job, _outcome(job, future))
            if broken and not pool.renew():
                for job in [*suspects, *queue]:
                    finish(job, _failed(job, "not rendered: the executor broke and cannot be renewed"))
                return
    except KeyboardInterrupt:
        interrupted = True
        complete = [future for future in running if future.done() and not future.cancelled()]
        for future in complete:  # keep the files that finished
            job, _ = running.pop(future)
            if not _broke(future):
                finish(job, _outcome(job, future))
        raise
    finally:
        pool.close(running, interrupted)


def _broke(future: Any) -> bool:
    """Whether a worker died holding this call. Dask's KilledWorker also fails the
    tasks that waited on the workers a bad one killed, so it is treated alike."""
    error = future.exception()
    return isinstance(error, BrokenProcessPool) or _killed_worker(error)


def _killed_worker(error: BaseException | None) -> bool:
    killed = _distributed("KilledWorker")
    return killed is not None and isinstance(error, killed)


def _outcome(job: Job, future: Any) -> FileResult:
    try:
        rendered: Rendered = future.result()
    except BrokenProcessPool:
        return _failed(job, "the worker process rendering it died")
    except RenderError as error:
        return _failed(job, str(error))
    except Exception as error:
        if _killed_worker(error):
            return _failed(job, "the Dask workers rendering it died (KilledWorker)")
        lines = str(error).strip().splitlines()
        return _failed(job, f"{type(error).__name__}: {lines[0]}" if lines else type(error).__name__)
    try:
        write_file(job.target, rendered.data)
    except OSError as error:
        return _failed(job, str(cannot_write(job.target, error)))
    except RenderError as error:
        return _failed(job, str(error))
    return FileResult(job.source, job.target, "done",
                      report=rendered.report.replace(target=job.target))


def _failed(job: Job, reason: str) -> FileResult:
    line = reason if reason.startswith(job.source) else f"{job.source}: {reason}"
    return FileResult(job.source, job.target, "failed", line)
