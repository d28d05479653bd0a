"""The `ostina-render` command: argument parsing and messages only.

Rendering a MIDI file to WAV needs nothing beyond this package, so that
path imports none of the render extra's libraries.
"""
from __future__ import annotations

import argparse
import contextlib
import os
import sys

from . import progress
from .errors import RenderError

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, NoReturn

PROGRAM = "ostina-render"
QUIET_TRACKER = "ignore:resource_tracker:UserWarning"


def numbers(text: str, low: int, high: int, what: str) -> frozenset[int]:
    """A comma-separated list of whole numbers from `low` to `high`."""
    try:
        values = frozenset(int(part) for part in text.split(","))
    except ValueError:
        raise argparse.ArgumentTypeError(f"{what} must be whole numbers separated by commas: {text!r}") from None
    for value in values:
        if not low <= value <= high:
            raise argparse.ArgumentTypeError(f"{what} {value} is outside {low}-{high}")
    return values


def tracks(text: str) -> frozenset[int]:
    return numbers(text, 0, 65535, "track")


def channels(text: str) -> frozenset[int]:
    """Channels as musicians count them, 1-16, held from 0 as the file does."""
    return frozenset(channel - 1 for channel in numbers(text, 1, 16, "channel"))


def drum_assignment(text: str) -> tuple[int, str, int]:
    """NOTE=FILE: a drum note and the sample file it plays at the sample's own pitch."""
    if text.rpartition("@")[2].isdigit():
        raise argparse.ArgumentTypeError(f"a drum sample plays at its own pitch, so it takes no @ROOT: {text!r}")
    return assignment(f"{text}@60")  # the whole path, whatever "@" it holds


def assignment(text: str) -> tuple[int, str, int]:
    """NUMBER=FILE[@ROOT]: a program or drum note, a sample file and its root note (default 60)."""
    number, separator, rest = text.partition("=")
    path, at, root = rest.rpartition("@") if "@" in rest else (rest, "", "60")
    if not separator or not path:
        raise argparse.ArgumentTypeError(f"expected NUMBER=FILE or NUMBER=FILE@ROOT, not {text!r}")
    try:
        key, root_note = int(number), int(root)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected NUMBER=FILE or NUMBER=FILE@ROOT, not {text!r}") from None
    if not (0 <= key <= 127 and 0 <= root_note <= 127):
        raise argparse.ArgumentTypeError(f"numbers in {text!r} must be within 0-127")
    return key, path, root_note


class _Parser(argparse.ArgumentParser):
    """Option errors are one line and exit status 2, without the usage text."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message}\n")


def _checking_formatter(prog: str) -> argparse.HelpFormatter:
    """argparse makes a formatter to check each argument it is given; without a width
    each asks shutil (which loads bz2 and lzma) for the terminal's, 4 ms of the
    command's start-up. Help and usage, made after, are as wide as the terminal."""
    return argparse.HelpFormatter(prog, width=80)


def parser() -> argparse.ArgumentParser:
    p = _Parser(prog=PROGRAM, formatter_class=_checking_formatter, description="Render a Standard MIDI File (type 0 or 1) to "
                                "a WAV or FLAC file with ostina's built-in General MIDI instruments or a soundfont.")
    p.add_argument("inputs", nargs="*", metavar="INPUT", help="the MIDI file; with --outdir, "
                   "any number of MIDI files and folders (searched for *.mid and *.midi)")
    p.add_argument("-o", "--output", help="the audio file, or - for standard output (default: the input's "
                   "name with .wav or .flac); a FIFO or device is streamed into, a symlink written through")
    p.add_argument("--soundfont", metavar="FILE", help="play an SF2 or SF3 soundfont instead of the built-in "
                   "instruments; a preset it lacks plays bank 0 of its program")
    p.add_argument("--write-soundfont", metavar="FILE", help="write the built-in instruments, made for --rate, "
                   "as an SF2 file that SoundFont players load, and render nothing")
    p.add_argument("--rate", type=int, default=44100, help="sample rate in Hz (default 44100)")
    p.add_argument("--format", choices=("wav", "flac"), help="file format (default: from the output's "
                   "suffix, else wav; a suffix it contradicts is refused; WAV data past 4 GB is written as RF64)")
    p.add_argument("--bits", type=int, choices=(16, 24), default=16, help="bits per sample (default 16)")
    p.add_argument("--normalize", action="store_true", help="scale the result to a peak of -1 dBFS")
    p.add_argument("--gain", type=float, default=0.0, metavar="DB", help="raise (or, below 0, lower) the level "
                   "by DB decibels (default 0: the level of a SoundFont player at its default gain)")
    p.add_argument("--no-reverb", dest="reverb", action="store_false", help="play no reverb (default: the "
                   "reverb each voice sends to, by CC 91 or its soundfont, rings on after the song)")
    p.add_argument("--no-chorus", dest="chorus", action="store_false", help="play no chorus (default: the "
                   "chorus each voice sends to, by CC 93 or its soundfont)")
    p.add_argument("--polyphony", type=int, default=256, metavar="VOICES", help="the most voices sounding at "
                   "once (default 256); a new note beyond it takes the quietest released voice, else the oldest")
    p.add_argument("--threads", type=positive, metavar="N", help="play the voices and effects on N threads (default: one a "
                   "core, up to 4; one a worker for many files); the output is the same for any N")
    p.add_argument("--tracks", type=tracks, help="play only these tracks, counted from 0 (e.g. 1,2)")
    p.add_argument("--mute-tracks", type=tracks, default=frozenset(), help="silence these tracks")
    p.add_argument("--channels", type=channels, help="play only these channels, 1-16 (10 is the drums)")
    p.add_argument("--mute-channels", type=channels, default=frozenset(), help="silence these channels")
    p.add_argument("--sample", type=assignment, action="append", default=[], metavar="PROGRAM=FILE[@ROOT]",
                   help="play program PROGRAM (0-127) with a sample file (WAV, FLAC, OGG) sounding at its own "
                   "pitch on note ROOT (default 60); may be given many times")
    p.add_argument("--drum-sample", type=drum_assignment, action="append", default=[], metavar="NOTE=FILE",
                   help="play drum NOTE with a sample file; may be given many times")
    p.add_argument("--max-duration", type=float, default=6 * 3600, metavar="SECONDS",
                   help="refuse songs longer than this (default 6 hours)")
    p.add_argument("--max-midi-size", type=positive, default=64, metavar="MB",
                   help="refuse MIDI files larger than this many megabytes (default 64)")
    p.add_argument("-q", "--quiet", action="store_true", help="print nothing but errors")
    batch_arguments(p)
    p.formatter_class = argparse.HelpFormatter
    return p


def output_target(arguments: argparse.Namespace) -> Any:
    """The output: a path, or standard output for -."""
    if arguments.output == "-":
        return sys.stdout.buffer
    return arguments.output or os.path.splitext(arguments.inputs[0])[0] + "." + (arguments.format or "wav")


def options_from(arguments: argparse.Namespace, target: Any = None) -> Any:
    """The render options the arguments give, their values checked for `target` (an
    output path or stream, None for a batch): what is wrong is a RenderError."""
    from .output import format_for
    from .render import RenderOptions

    options = RenderOptions(
        rate=arguments.rate, soundfont=arguments.soundfont, format=arguments.format, bits=arguments.bits,
        normalize=arguments.normalize,
        gain_db=arguments.gain, polyphony=arguments.polyphony, reverb=arguments.reverb, chorus=arguments.chorus,
        tracks=arguments.tracks, mute_tracks=arguments.mute_tracks, channels=arguments.channels,
        mute_channels=arguments.mute_channels,
        program_samples=user_samples(arguments.sample), drum_samples=user_samples(arguments.drum_sample),
        max_seconds=arguments.max_duration, max_midi_bytes=arguments.max_midi_size << 20, threads=arguments.threads)
    options.check()
    if target is not None:
        format_for(target, options.format)
    return options


def user_samples(assignments: list[tuple[int, str, int]]) -> dict[int, Any]:
    """Each key's sample file and root; read only when there are any, as is its module."""
    if not assignments:
        return {}
    from .instruments import UserSample

    return {key: UserSample(path, root) for key, path, root in assignments}


def render_one(arguments: argparse.Namespace, options: Any) -> None:
    from .render import render_file

    target = output_target(arguments)
    report = render_file(arguments.inputs[0], target, options, progress=not arguments.quiet)
    if not arguments.quiet:
        for notice in report.notices:
            print(notice, file=sys.stderr)
        print(report.summary(), file=sys.stderr if _is_standard_output(target) else sys.stdout)


def _is_standard_output(target: Any) -> bool:
    """Whether the audio goes to standard output, as - or by a name such as /dev/stdout:
    the summary then goes to stderr, not into the audio."""
    if target is sys.stdout.buffer:
        return True
    with contextlib.suppress(OSError, ValueError, AttributeError):
        return os.path.samestat(os.stat(target), os.fstat(sys.stdout.fileno()))
    return False


def write_bank(arguments: argparse.Namespace) -> None:
    from .banks import write_builtin_soundfont

    bank = write_builtin_soundfont(arguments.write_soundfont, arguments.rate)
    if not arguments.quiet:
        print(f"{arguments.write_soundfont}: the built-in bank for {arguments.rate} Hz, "
              f"{len(bank.presets())} presets of {len(bank.samples())} samples")


def main(argv: Sequence[str] | None = None) -> int:
    command = parser()
    arguments = command.parse_args(argv)
    if problem := batch_usage(arguments):
        command.error(problem)
    try:
        options = options_from(arguments, None if arguments.outdir or arguments.write_soundfont
                               else output_target(arguments))
    except RenderError as error:
        command.error(str(error))
    try:
        if arguments.write_soundfont is not None:
            write_bank(arguments)
        elif arguments.outdir is not None:
            return render_many(arguments, options)
        else:
            render_one(arguments, options)
    except RenderError as error:
        print(f"{PROGRAM}: error: {error}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"{PROGRAM}: error: not enough memory", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        written = "files finished so far are kept, no others" if arguments.outdir else "no output written"
        print(f"{PROGRAM}: interrupted; {written}", file=sys.stderr)
        if arguments.outdir:  # at once: an interrupted pool's threads are not waited for (see batch)
            sys.stdout.flush()
            sys.stderr.flush()
            os._exit(130)
        return 130
    return 0


# Many files: --outdir and the executors. Everything of the batch command is in this section.

def batch_arguments(p: argparse.ArgumentParser) -> None:
    group = p.add_argument_group("many files", "render several files or folders into --outdir")
    group.add_argument("--outdir", metavar="DIR", help="write each input's audio under DIR: files by their "
                       "name, a folder's files by their path within it")
    group.add_argument("--force", action="store_true", help="render again outputs that already exist")
    where = group.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive, metavar="N", help="render on N local processes "
                       "(default: the cores this process may use)")
    where.add_argument("--dask", metavar="ADDRESS", help="render on the Dask scheduler at ADDRESS, or on a "
                       "new local cluster with 'local' (needs the cluster extra)")


def positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected a whole number of at least 1, not {text!r}")
    return value


def batch_usage(arguments: argparse.Namespace) -> str | None:
    """What is wrong with the way the arguments ask for one file or many, if anything."""
    if arguments.write_soundfont is not None:
        return "--write-soundfont takes no MIDI input" if arguments.inputs or arguments.outdir else None
    if not arguments.inputs:
        return "the following arguments are required: INPUT"
    if "" in (arguments.output, arguments.outdir):
        return "an empty name is no output: name a file with -o or a folder with --outdir"
    if arguments.output == "-" and sys.stdout.isatty():
        return "-o - writes audio to standard output, which is a terminal here: redirect it or name a file"
    if arguments.outdir is not None:
        return "-o names one output; with --outdir the names come from the inputs" if arguments.output else None
    if len(arguments.inputs) > 1 or os.path.isdir(arguments.inputs[0]):
        return "several inputs or a folder need --outdir"
    if arguments.workers or arguments.dask or arguments.force:
        return "--workers, --dask and --force need --outdir"
    return None


class _Lines:
    """What the batch tells a file bar, without one: failures, one line each."""

    def write(self, text: str, file: Any) -> None:
        print(text, file=file)

    def set_postfix_str(self, text: str, refresh: bool) -> None:
        pass

    def update(self) -> None:
        pass


@contextlib.contextmanager
def files_bar(count: int, quiet: bool) -> Any:
    """A progress bar over files where someone watches (see `progress`), else one that only
    prints what the batch writes to it (failures and notices)."""
    bar = None if quiet else progress.bar_class()
    if bar is None:
        yield _Lines()
        return
    with bar(total=count, unit="file", desc="rendering", leave=False) as shown:
        yield shown


def render_many(arguments: argparse.Namespace, options: Any) -> int:
    from . import batch

    # An interrupted batch exits without waiting for its pool (see main); the resource tracker,
    # started with this process's warning options, then cleans up the pool's semaphores quietly.
    if QUIET_TRACKER not in sys.warnoptions:
        sys.warnoptions.append(QUIET_TRACKER)
    workers = arguments.workers or batch.default_workers()
    jobs = batch.find_jobs(arguments.inputs, arguments.outdir, arguments.format or "wav")
    if not jobs:
        raise RenderError(f"no MIDI files found in {', '.join(arguments.inputs)}")
    with contextlib.ExitStack() as stack, files_bar(len(jobs), arguments.quiet) as bar:
        executor = (stack.enter_context(batch.dask_client(arguments.dask, workers)) if arguments.dask
                    else batch.Processes(workers))
        audio = 0.0

        def heard(result: Any) -> None:
            nonlocal audio
            if result.status == "failed":
                bar.write(f"{PROGRAM}: error: {result.reason}", file=sys.stderr)
            elif result.report and not arguments.quiet:
                for notice in result.report.notices:
                    bar.write(notice, file=sys.stderr)
            audio += result.seconds
            bar.set_postfix_str(f"{audio:.1f} s audio", refresh=False)
            bar.update()
        report = batch.render_batch(jobs, options, executor, force=arguments.force, on_result=heard)
    if not arguments.quiet:
        print(report.summary())
    return 1 if report.count("failed") else 0


if __name__ == "__main__":
    sys.exit(main())
