"""Shared timing for the ostina benchmarks.

Every case is timed against a baseline measured in the same run, in
alternating rounds, so its ratio means the same on any machine.  Audio cases
use the list floor: the cost of building the Python list of floats that the
call returns (array('f').tolist() of the output length), which no binding
can avoid.  Where numpy is installed, a numpy implementation of the same
computation followed by .tolist() is timed as a speed reference (its bits may
differ from ostina's).

A bench_<area>.py script defines cases() and runs alone with
python benchmarks/bench_<area>.py [--check] [--markdown];
run_all.py runs every script's cases as one suite.
"""
import array
import dataclasses
import sys
import time
import timeit
from typing import Callable, Optional

N = 44100
REPEAT = 21   # many short rounds; the minimum filters out load bursts
RUN_SECONDS = 0.05
# CPU time of this process: a busy machine that takes the processor away
# between rounds inflates wall time, not this.
CLOCK = time.process_time

try:
    import numpy
except ImportError:  # numpy is optional: its reference column stays empty
    numpy = None


@dataclasses.dataclass
class Case:
    name: str
    run: Callable[[], object]
    baseline: Callable[[], object]
    target: Optional[float] = None         # highest acceptable ratio to the baseline
    numpy_run: Optional[Callable[[], object]] = None
    baseline_name: str = "list floor"
    rounds: int = REPEAT                    # fewer for cases that take seconds a call


def _calls(timer):
    """Warm up, then pick calls per round so one round takes ~RUN_SECONDS."""
    timer.timeit(1)
    per_call = timer.timeit(1)
    return max(1, int(RUN_SECONDS / max(per_call, 1e-9)))


def paired(fn, base_fn, repeat=REPEAT):
    """(fn, base_fn) minimum seconds per call, measured in alternating rounds.

    Alternating keeps both sides exposed to the same background load, so
    the ratio stays meaningful on a busy machine.
    """
    timers = [timeit.Timer(fn, timer=CLOCK), timeit.Timer(base_fn, timer=CLOCK)]
    numbers = [_calls(t) for t in timers]
    mins = [float("inf")] * 2
    for _ in range(repeat):
        for i, (t, k) in enumerate(zip(timers, numbers)):
            mins[i] = min(mins[i], t.timeit(k) / k)
    return mins[0], mins[1]


def floor_fn(n=N):
    """The list floor for n samples: array('f').tolist(), the array prebuilt."""
    return array.array("f", bytes(4 * n)).tolist


@dataclasses.dataclass
class Result:
    case: Case
    seconds: float
    baseline_seconds: float
    numpy_seconds: Optional[float] = None
    seconds_beside_numpy: Optional[float] = None

    @property
    def ratio(self):
        return self.seconds / self.baseline_seconds

    @property
    def numpy_ratio(self):
        if self.numpy_seconds is None:
            return None
        return self.seconds_beside_numpy / self.numpy_seconds

    @property
    def over(self):
        return self.case.target is not None and self.ratio > self.case.target


def measure(case):
    seconds, baseline_seconds = paired(case.run, case.baseline, case.rounds)
    result = Result(case, seconds, baseline_seconds)
    if numpy is not None and case.numpy_run is not None:
        result.seconds_beside_numpy, result.numpy_seconds = paired(case.run, case.numpy_run, case.rounds)
    return result


def _line(result):
    case = result.case
    line = (f"{case.name:<48} {result.seconds * 1e6:9.1f} us   {case.baseline_name} "
            f"{result.baseline_seconds * 1e6:9.1f} us   ratio {result.ratio:5.2f}")
    if case.target is not None:
        line += f" (target <= {case.target:.2f}: {'OVER' if result.over else 'ok'})"
    if result.numpy_ratio is not None:
        line += f"   vs numpy {result.numpy_ratio:5.2f}"
    return line


def markdown(results):
    """The README table of the figures."""
    rows = ["| case | ostina | baseline | ratio | target | ratio to numpy |",
            "|---|---:|---|---:|---:|---:|"]
    for r in results:
        target = f"≤ {r.case.target:g}" if r.case.target is not None else ""
        versus = f"{r.numpy_ratio:.2f}" if r.numpy_ratio is not None else ""
        rows.append(f"| {r.case.name} | {r.seconds * 1e6:.0f} µs | {r.case.baseline_name} | "
                    f"{r.ratio:.2f} | {target} | {versus} |")
    return "\n".join(rows)


def run_cases(cases, argv=None):
    """Time every case, print one line each; exit 1 with --check when a ratio is over target."""
    argv = sys.argv[1:] if argv is None else argv
    results = []
    for case in cases:
        results.append(measure(case))
        print(_line(results[-1]), flush=True)
    if "--markdown" in argv:
        print()
        print(markdown(results))
    if "--check" in argv and any(r.over for r in results):
        sys.exit(1)
    return results
