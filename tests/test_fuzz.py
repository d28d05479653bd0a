"""Randomized calls of every constructor, method, static method, property and
protocol of every class (described in fuzz_classes.py), with valid arguments
and with hostile ones: wrong types, numpy scalars, huge and negative ints,
NaN and infinities, odd sequences, objects of the other classes, arguments
that raise or call back into the receiver, wrong argument shapes.

Each call must return or raise one of the documented exception kinds, within
a bounded time. Every object has a twin that receives the same successful
calls; after every call, successful or not, the two must look the same
(properties, repr, str, len, contents, a short render). A failed call is
never repeated on the twin, so a failure that moved its receiver shows.
The two device classes are confined to their thread: a call from another
thread must be refused. Where the machine has no devices to make them with,
a second run over a fake sound library gives every call its receiver.

The default run makes a few thousand calls, derandomized, with every choice
drawn through hypothesis (which shrinks a failing example). The long run,
    OSTINA_FUZZ_CALLS=1000000 python -m pytest -q -s tests/test_fuzz.py
    OSTINA_FUZZ_CALLS=1000000 .ci/sanitize -s tests/test_fuzz.py
draws one seed per example through hypothesis and the choices from a seeded
generator, which is much faster; OSTINA_FUZZ_SEED varies its examples."""
import faulthandler
import gc
import math
import os
import random
import struct
import subprocess
import sys
import threading
import time

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import seed as hypothesis_seed
from hypothesis import strategies as st

import ostina
from conftest import SANITIZED, Callback, LengthlessTuple, LongList
from fuzz_classes import CLASSES, ENTRIES, Entry, Instance, Ints

CALLS_PER_EXAMPLE = 25
TOTAL_CALLS = int(os.environ.get("OSTINA_FUZZ_CALLS", "2500"))
EXAMPLES = max(1, -(-TOTAL_CALLS // (CALLS_PER_EXAMPLE * len(ENTRIES))))
# Past this many calls the choices come from the seeded generator.
LONG = TOTAL_CALLS > 20000
SEED = int(os.environ.get("OSTINA_FUZZ_SEED", "0"))

# Set in the run over the fake sound library, where the devices can be made.
FAKE_DEVICES = bool(os.environ.get("OSTINA_FUZZ_FAKE_DEVICES"))

# Every call finishes well within this; the watchdog ends a run that hangs.
TIME_LIMIT = 20.0 if SANITIZED else 2.0
WATCHDOG = 300.0

try:
    ostina.AudioBuffer(2**62)
except BaseException as panic:  # noqa: B036 - the class is what we want
    PanicException = type(panic)


class CallbackError(Exception):
    """Raised on purpose by an argument's conversion hook."""


DOCUMENTED = {TypeError, OverflowError, ValueError, IndexError, RuntimeError, AttributeError, MemoryError,
              UnicodeEncodeError, CallbackError}


UNSENDABLE = " is unsendable, but sent to another thread"


def documented(error, elsewhere):
    """Whether `error` is one the calls may raise; `elsewhere` when the call
    ran on a thread other than its receiver's."""
    if type(error) is PanicException:
        return str(error) == "capacity overflow" or (elsewhere and str(error).endswith(UNSENDABLE))
    return type(error) in DOCUMENTED


# Sources of choices -----------------------------------------------------------

class HypothesisSource:
    def __init__(self, data):
        self.data = data

    def integer(self, low, high):
        return self.data.draw(st.integers(low, high))

    def choice(self, options):
        return self.data.draw(st.sampled_from(options))


class RandomSource:
    def __init__(self, seed):
        self.random = random.Random(seed)

    def integer(self, low, high):
        return self.random.randint(low, high)

    def choice(self, options):
        return options[self.random.randrange(len(options))]


# Hostile arguments ------------------------------------------------------

def fail():
    raise CallbackError("from a conversion hook")


class LyingSequence:
    """A sequence whose length promises far more items than it yields."""

    def __len__(self):
        return 2**60

    def __getitem__(self, index):
        if index >= 3:
            raise IndexError(index)
        return 0.5


class FloatSubclass(float):
    pass


class IntSubclass(int):
    pass


class StrSubclass(str):
    pass


# Hostile values that depend on the receiver are made once per receiver, so
# that the twin meets its own.
class Receiver:
    """The receiver itself as an argument."""

    def make(self, receiver, entry):
        return receiver


class Reenter:
    """A number whose conversion reads the receiver, or changes it (`poke`)."""

    def __init__(self, poke):
        self.poke = poke

    def make(self, receiver, entry):
        if self.poke and entry.poke is not None:
            return Callback(lambda: entry.poke(receiver))
        return Callback(lambda: repr(receiver))


class InList:
    """A receiver-dependent `value` as an item of a sample list."""

    def __init__(self, value):
        self.value = value

    def make(self, receiver, entry):
        return [0.5, made(self.value, receiver, entry)]


def made(value, receiver, entry):
    return value.make(receiver, entry) if isinstance(value, (Receiver, Reenter, InList)) else value


HOSTILE_VALUES = [None, "x", "", b"\x00", 1.5, -1, 0, 2**63, 2**64, -2**63 - 1, 2**100, True, False, math.nan,
                  math.inf, -math.inf, -0.0, [], [1.0], [[1.0, 2.0]], [[[0.0]]], [1, "x"], (1.0, 2.0), range(3),
                  {}, object(), "\ud800", [0.25] * 2000, numpy.float64(2.5), numpy.int64(7), numpy.bool_(True),
                  numpy.float32("nan"), numpy.uint8(255), numpy.int32(-3), numpy.array([0.25, 0.5]),
                  LyingSequence(), Callback(fail), Callback(lambda: None, 300), Callback(lambda: None, -2), Receiver(),
                  Reenter(poke=False), Reenter(poke=True), LongList([0.5, 0.25]), LengthlessTuple((0.5,)),
                  FloatSubclass(0.5), IntSubclass(3), StrSubclass("a"), [0.5, Callback(fail)],
                  [[0.5], [Callback(fail)]], InList(Reenter(poke=True)), [InList(Reenter(poke=False))]]


def hostile(source):
    if source.integer(0, 3) == 0:  # an object of any class
        return Instance(source.choice(list(CLASSES))).draw(source)
    return source.choice(HOSTILE_VALUES)


def argument(source, kind):
    if source.integer(0, 3) == 0:
        value = hostile(source)
        if kind.admits(value):
            return value
    return kind.draw(source)


SHAPES = ["positional"] * 4 + ["keyword"] * 3 + ["mixed"] * 2 + ["omit", "extra", "unknown", "twice"]


def arguments(source, parameters):
    """Positional values and keywords for a call with `parameters`, mostly
    well-formed and sometimes not (a missing, extra, unknown or doubled
    argument)."""
    names = list(parameters)
    values = [argument(source, parameters[name]) for name in names]
    shape = source.choice(SHAPES)
    if shape == "positional":
        return values, {}
    if shape == "keyword":
        return [], dict(zip(names, values))
    if shape == "mixed":
        cut = source.integer(0, len(names))
        return values[:cut], dict(zip(names[cut:], values[cut:]))
    if shape == "omit":
        return values[:source.integer(0, len(names))], {}
    if shape == "extra":
        return values + [hostile(source)], {}
    if shape == "unknown":
        return values, {"unknown_argument": 1}
    return values, dict(zip(names[:1], values[:1]))


def bound_call(function, args, kwargs, receiver, entry):
    return function(*[made(value, receiver, entry) for value in args],
                    **{name: made(value, receiver, entry) for name, value in kwargs.items()})


# Observing ------------------------------------------------------------------

def plain(value):
    """`value` in a comparable form: floats by their bits (NaN equals NaN),
    objects of the module by class, repr and what their entry can read."""
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, numpy.ndarray):
        return plain(value.tolist())
    if isinstance(value, (list, tuple)):
        return [plain(item) for item in value]
    entry = CLASSES.get(type(value).__name__)
    if entry is not None and type(value) is entry.cls:
        return (type(value).__name__, repr(value), fields(entry, value))
    return value


def fields(entry, obj):
    seen = [plain(getattr(obj, name)) for name in (*entry.properties, *entry.writable)]
    if entry.contents is not None:
        seen.append(plain(entry.contents(obj)))
    return seen


def attempt(call):
    """What `call` did, ("returned", value) or ("raised", exception), and how long it took."""
    start = time.perf_counter()
    try:
        result = ("returned", call())
    except BaseException as error:  # the module's PanicException derives from BaseException
        result = ("raised", error)
    return result, time.perf_counter() - start


def outcome(call, elsewhere=False):
    """What `call` did, run on this thread or on another one (`elsewhere`)."""
    if elsewhere:
        answer = []
        thread = threading.Thread(target=lambda: answer.append(attempt(call)))
        # A collection on that thread would drop confined objects there, which
        # abandons them by design.
        gc.disable()
        try:
            thread.start()
            thread.join()
        finally:
            gc.enable()
        result, elapsed = answer[0]
    else:
        result, elapsed = attempt(call)
    assert elapsed < TIME_LIMIT, f"a call took {elapsed:.1f} s"
    if result[0] == "raised":
        assert documented(result[1], elsewhere), f"undocumented {type(result[1]).__name__}: {result[1]}"
    return result


def same_outcome(first, second):
    if first[0] != second[0]:
        return False
    if first[0] == "raised":
        return type(first[1]) is type(second[1]) and str(first[1]) == str(second[1])
    return plain(first[1]) == plain(second[1])


def observe(entry, obj):
    """Everything visible about `obj`; a renderer renders (its twin will too)."""
    seen = [repr(obj), str(obj), *fields(entry, obj)]
    if hasattr(type(obj), "__len__"):
        seen.append(len(obj))
    if entry.render is not None:
        seen.append(plain(outcome(lambda: entry.render(obj))))
    return seen


# Calls --------------------------------------------------------------------

def protocol_calls(entry):
    """Protocol operations, as functions of (obj, other)."""
    calls = {
        "repr": lambda obj, other: repr(obj),
        "str": lambda obj, other: str(obj),
        "len": lambda obj, other: len(obj),
        "truth": lambda obj, other: bool(obj),
        "equal": lambda obj, other: obj == other,
        "unequal": lambda obj, other: obj != other,
        "order": lambda obj, other: obj < other,
        "hash": lambda obj, other: hash(obj) and None,  # identity hashes differ between twins
        "new attribute": lambda obj, other: setattr(obj, "undeclared", other),
    }
    for name in entry.properties:
        calls[f"assign {name}"] = lambda obj, other, name=name: setattr(obj, name, other)
    for name in entry.writable:
        calls[f"delete {name}"] = lambda obj, other, name=name: delattr(obj, name)
    return calls


# Protocol calls that the module answers itself, rather than the interpreter.
ENTERING = {"repr", "str"}


def receiver_call(source, entry):
    """A call on a receiver: its label, a function of the receiver, and
    whether it enters the module (which a confined receiver then refuses on
    another thread)."""
    protocols = protocol_calls(entry)
    kind, name = source.choice([("method", name) for name in entry.methods] +
                               [("set", name) for name in entry.writable] +
                               [("protocol", name) for name in protocols])
    if kind == "method":
        args, kwargs = arguments(source, entry.methods[name])
        return name, lambda obj: bound_call(getattr(obj, name), args, kwargs, obj, entry), True
    if kind == "set":
        # A setter converts before it takes its receiver: a hook that changed
        # the receiver then would succeed, so hooks here only read.
        value = argument(source, entry.writable[name])
        value = Reenter(poke=False) if isinstance(value, (Reenter, InList)) else value
        return f"{name} =", lambda obj: setattr(obj, name, made(value, obj, entry)), True
    other = source.choice([Receiver(), hostile(source)])
    return name, lambda obj: protocols[name](obj, made(other, obj, entry)), name in ENTERING


def free_call(source, entry, make):
    """A constructor or static method call, and whether it is a constructor
    call; hooks reach a bystander object. A class without a constructor is
    called too, and must refuse."""
    kind, name = source.choice([("new", None)] + [("static", name) for name in entry.statics])
    args, kwargs = arguments(source, (entry.new or {}) if kind == "new" else entry.statics[name])
    target = entry.cls if kind == "new" else getattr(entry.cls, name)
    bystander = make() if make is not None else None
    return kind == "new", lambda: bound_call(target, args, kwargs, bystander, entry)


CALLS_MADE = 0


def run_calls(source, entry, make):
    """Calls on an object and its twin, both made by `make`; only free calls
    when nothing can be made (a device the machine lacks)."""
    global CALLS_MADE
    obj, twin = (make(), make()) if make is not None else (None, None)
    for _ in range(CALLS_PER_EXAMPLE):
        CALLS_MADE += 1
        if obj is None or source.integer(0, 4) == 0:
            constructs, free = free_call(source, entry, make)
            result = outcome(free)
            assert not (constructs and entry.new is None and result[0] == "returned"), "made without a constructor"
            continue
        label, call, enters = receiver_call(source, entry)
        elsewhere = entry.confined and source.integer(0, 3) == 0
        result = outcome(lambda: call(obj), elsewhere)
        assert not (elsewhere and enters and result[0] == "returned"), f"{label} ran on another thread"
        if result[0] == "returned":
            replayed = outcome(lambda: call(twin), elsewhere)
            assert same_outcome(result, replayed), f"{label}: the twin answered differently"
        assert observe(entry, obj) == observe(entry, twin), f"{label} -> {result}: the object and its twin differ"
    if obj is not None and entry.final is not None:
        assert plain(entry.final(obj)) == plain(entry.final(twin)), "the object and its twin differ at the end"


def fuzz(data, entry):
    source = RandomSource(data.draw(st.integers(0, 2**64 - 1))) if LONG else HypothesisSource(data)
    # A call that hangs ends the run with every thread's traceback.
    faulthandler.dump_traceback_later(WATCHDOG, exit=True)
    try:
        run_calls(source, entry, entry.recipe(source))
    finally:
        faulthandler.cancel_dump_traceback_later()


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda entry: entry.cls.__name__)
def test_random_calls(entry):
    options = settings(max_examples=EXAMPLES, deadline=None, database=None, derandomize=not LONG,
                       suppress_health_check=list(HealthCheck))
    test = options(given(st.data())(lambda data: fuzz(data, entry)))
    if LONG:
        test = hypothesis_seed(SEED * len(ENTRIES) + ENTRIES.index(entry))(test)
    test()
    assert entry.makeable or not FAKE_DEVICES, f"no {entry.cls.__name__} could be made"


def test_devices_over_the_fake_library_take_every_call(fake_alsa):
    """Where this machine has no sound devices, the device objects cannot be
    made and only their free calls are tried; over the fake library every
    call has its receiver."""
    selected = [f"{__file__}::test_random_calls[{entry.cls.__name__}]" for entry in ENTRIES if entry.confined]
    environment = dict(os.environ, LD_LIBRARY_PATH=str(fake_alsa), OSTINA_FUZZ_FAKE_DEVICES="1")
    result = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *selected],
                            capture_output=True, text=True, env=environment, timeout=WATCHDOG)
    assert result.returncode == 0, result.stdout + result.stderr


def test_every_class_and_member_is_described():
    assert sorted(CLASSES) == sorted(name for name in vars(ostina) if not name.startswith("__"))
    for name, entry in CLASSES.items():
        members = {member for member in vars(entry.cls) if not member.startswith("__")}
        assert members == {*entry.methods, *entry.statics, *entry.properties, *entry.writable}, name


@pytest.fixture(scope="module", autouse=True)
def figures():
    """Prints the run's figures (shown with pytest -s)."""
    start = time.perf_counter()
    yield
    print(f"\nfuzz: {CALLS_MADE} calls in {time.perf_counter() - start:.0f} s")


class MovesOnFailure:
    """Counts its calls, also the ones it then refuses."""

    __slots__ = ("calls",)

    def __init__(self):
        self.calls = 0

    @property
    def count(self):
        return self.calls

    def step(self, by):
        self.calls += 1
        if by > 3:
            raise ValueError("too far")

    def __repr__(self):
        return f"MovesOnFailure({self.calls})"


class RaisesUndocumented(MovesOnFailure):
    __slots__ = ()

    def step(self, by):
        return 1 // (by - by)


@pytest.mark.parametrize("cls, complaint", [(MovesOnFailure, "the object and its twin differ"),
                                            (RaisesUndocumented, "undocumented ZeroDivisionError")])
def test_the_checks_catch_a_faulty_class(cls, complaint):
    entry = Entry(cls, {}, methods={"step": {"by": Ints(0, 8)}}, properties=("count",))
    with pytest.raises(AssertionError, match=complaint):
        for seed in range(100):
            run_calls(RandomSource(seed), entry, cls)
