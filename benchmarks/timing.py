"""Tiny shared timing helper for the ostina benchmark scripts.

Every ratio is measured in one run against a baseline measured in the same
run, so the numbers are comparable across machines.  The baseline ("list
floor") is the cost of building a Python list of floats from 32-bit values.
"""
import array
import sys
import timeit

N = 44100
REPEAT = 7


def best(fn, repeat=REPEAT):
    """Minimum seconds per call of fn() over `repeat` runs, after a warm-up."""
    timer = timeit.Timer(fn)
    number, _ = timer.autorange()  # doubles as warm-up; picks calls per run
    return min(timer.repeat(repeat=repeat, number=number)) / number


def list_floor(n=N):
    """Seconds per call of array.array('f', data).tolist() for n values."""
    arr = array.array("f", [0.0] * n)  # prebuilt; only tolist() is timed
    return best(arr.tolist)


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
        line += f"   {'ostina faster' if t < base else 'numpy faster'}"
    print(line)
    return over


def finish(over_any):
    """Exit 0 normally; with --check, exit 1 if any ratio was over target."""
    if "--check" in sys.argv[1:] and over_any:
        sys.exit(1)
    sys.exit(0)
