"""Tiny shared timing helper for the ostina benchmark scripts.

Every ratio is measured in one run against a baseline measured in the same
run, so the numbers are comparable across machines.  The baseline ("list
floor") is the cost of building a Python list of floats from 32-bit values.
"""
import array
import sys
import timeit

N = 44100
REPEAT = 21   # many short runs; the minimum filters out load bursts
RUN_SECONDS = 0.05


def _calls(timer):
    """Warm up, then pick calls per run so one run takes ~RUN_SECONDS."""
    timer.timeit(3)
    per_call = min(timer.repeat(repeat=3, number=1))
    return max(1, int(RUN_SECONDS / per_call))


def best(fn, repeat=REPEAT):
    """Minimum seconds per call of fn() over `repeat` runs, after a warm-up."""
    timer = timeit.Timer(fn)
    number = _calls(timer)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def paired(fn, base_fn, repeat=REPEAT):
    """(fn, base_fn) minimum seconds per call, measured in alternating runs.

    Alternating keeps both sides exposed to the same background load, so
    the ratio stays meaningful on a busy machine.
    """
    timers = [timeit.Timer(fn), timeit.Timer(base_fn)]
    numbers = [_calls(t) for t in timers]
    mins = [float("inf")] * 2
    for _ in range(repeat):
        for i, (t, k) in enumerate(zip(timers, numbers)):
            mins[i] = min(mins[i], t.timeit(k) / k)
    return mins[0], mins[1]


def floor_fn(n=N):
    """The list floor: array.array('f', data).tolist() for n values."""
    arr = array.array("f", [0.0] * n)  # prebuilt; only tolist() is timed
    return arr.tolist


def report(name, t, base, target=None, base_name="list floor"):
    """Print one line; return True if the ratio is over its target."""
    ratio = t / base
    line = (f"{name:<34} ostina {t * 1e6:9.1f} us   {base_name} "
            f"{base * 1e6:9.1f} us   ratio {ratio:5.2f}")
    over = False
    if target is not None:
        over = ratio > target
        line += f"   target <= {target:.1f}   {'over target' if over else 'ok'}"
    else:
        line += f"   {'ostina faster' if t < base else base_name + ' faster'}"
    print(line)
    return over


def finish(over_any):
    """Exit 0 normally; with --check, exit 1 if any ratio was over target."""
    if "--check" in sys.argv[1:] and over_any:
        sys.exit(1)
    sys.exit(0)
