"""What the randomized API test (test_fuzz.py) knows about each class: for
every constructor, method, static method and property, its parameters with a
kind of value to draw for each. Kinds draw values of the declared type, and
values that the parameter's own range refuses (a note of 200) are welcome;
sizes stay small, since the test makes many thousands of calls. Adding a class
is adding an entry here."""
import math
import struct
from dataclasses import dataclass, field
from functools import partial
from typing import Callable, Optional

import ostina


# Kinds: each draws one value from a source of choices (test_fuzz.py has one
# driven by hypothesis and a faster one driven by a seeded generator).

class Kind:
    def draw(self, source):
        raise NotImplementedError

    def __or__(self, other):
        return OneOf(self, other)


class Ints(Kind):
    """Integers in [low, high], now and then one of `edges`."""

    def __init__(self, low, high, edges=()):
        self.low, self.high, self.edges = low, high, (low, high, *edges)

    def draw(self, source):
        if source.integer(0, 3) == 0:
            return source.choice(self.edges)
        return source.integer(self.low, self.high)


class Floats(Kind):
    """Floats of any bits, or in [low, high], and the special values."""

    SPECIAL = (0.0, -0.0, 0.5, 1.0, -1.0, math.inf, -math.inf, math.nan, 1e308, 5e-324)

    def __init__(self, low=None, high=None):
        self.low, self.high = low, high

    def draw(self, source):
        pick = source.integer(0, 3)
        if pick == 0:
            return source.choice(self.SPECIAL)
        if self.low is None and pick == 1:
            return struct.unpack("<d", struct.pack("<Q", source.integer(0, 2**64 - 1)))[0]
        low, high = (-1e6, 1e6) if self.low is None else (self.low, self.high)
        return low + (high - low) * source.integer(0, 2**20) / 2**20


class Choice(Kind):
    def __init__(self, *values):
        self.values = values

    def draw(self, source):
        return source.choice(self.values)


class OneOf(Kind):
    def __init__(self, *kinds):
        self.kinds = kinds

    def draw(self, source):
        return source.choice(self.kinds).draw(source)


class Lists(Kind):
    def __init__(self, item, most):
        self.item, self.most = item, most

    def draw(self, source):
        return [self.item.draw(source) for _ in range(source.integer(0, self.most))]


class Mapped(Kind):
    def __init__(self, kind, function):
        self.kind, self.function = kind, function

    def draw(self, source):
        return self.function(self.kind.draw(source))


class Text(Kind):
    LETTERS = "aZ 0_-é–\u4e2d\U0001f3b5\x00"

    def draw(self, source):
        return "".join(source.choice(self.LETTERS) for _ in range(source.integer(0, 8)))


class Instance(Kind):
    """An object of the module's class `name`, made as its entry says."""

    def __init__(self, name):
        self.name = name

    def draw(self, source):
        return CLASSES[self.name].recipe(source)()


U8 = Ints(0, 255)
U16 = Ints(0, 2**16 - 1)
U32 = Ints(0, 2**32 - 1, (1, 44100))
U64 = Ints(0, 2**64 - 1, (1, 2**63))
# A count that becomes an allocation: small, or too large to represent (which
# must fail before anything is allocated). Sizes in between that the machine
# cannot provide are tested under an address-space limit (test_limits.py).
SIZE = Ints(0, 48, (2**61, 2**62))
# A position: mostly inside small containers, sometimes far outside.
INDEX = Ints(0, 12, (2**31, 2**63, 2**64 - 1))
FLOAT = Floats()
# A float that scales work (beats, seconds): small magnitudes and the non-finite.
SPAN = Floats(-64.0, 64.0)
BOOL = Choice(False, True)
TEXT = Text()
SAMPLES = Lists(FLOAT, 12) | Mapped(Lists(FLOAT, 3), tuple) | Mapped(Ints(0, 8), range)
SAMPLE_LISTS = Lists(SAMPLES, 4)


# Entries -----------------------------------------------------------------

@dataclass
class Entry:
    cls: type
    # Constructor parameters in order; None for a class Python cannot instantiate.
    new: Optional[dict]
    methods: dict = field(default_factory=dict)  # name -> {parameter: kind}
    statics: dict = field(default_factory=dict)
    properties: tuple = ()  # read-only
    writable: dict = field(default_factory=dict)  # property -> kind of its setter's value
    # A call that changes the object, for arguments that call back into it.
    poke: Optional[Callable] = None
    # Observable state beyond properties, repr, str and len: `render` moves an
    # object and its twin the same way, `contents` only reads.
    render: Optional[Callable] = None
    contents: Optional[Callable] = None
    # Draws a recipe, a function that makes a new object, equal to the ones it
    # made before, each time. By default from the constructor.
    recipes: Optional[Callable] = None
    # Confined to the thread that created it.
    confined: bool = False

    def recipe(self, source):
        if self.recipes is not None:
            return self.recipes(source)
        while True:
            make = partial(self.cls, **{name: kind.draw(source) for name, kind in self.new.items()})
            if makes(make):
                return make


def makes(make):
    """Whether `make` makes an object, rather than refusing its arguments."""
    try:
        make()
    except (ValueError, OverflowError, IndexError, TypeError):
        return False
    except BaseException as error:  # the module's PanicException
        if type(error).__name__ == "PanicException":
            return False
        raise
    return True


def render(frames):
    return lambda source: source.render_to_buffer(frames)


def _message(source):
    message = ostina.MidiMessage
    channel, note, velocity = source.integer(0, 15), source.integer(0, 127), source.integer(0, 127)
    return source.choice([
        partial(message.note_on, channel, note, velocity), partial(message.note_off, channel, note, velocity),
        partial(message.control_change, channel, note, velocity), partial(message.program_change, channel, note),
        partial(message.pitch_bend, channel, source.integer(0, 2**16 - 1)),
        message.clock, message.start, message.stop])


def _tone(cls):
    return Entry(cls, {"frequency": FLOAT, "amplitude": FLOAT, "sample_rate": U32},
                 methods={"render_to_buffer": {"frames": SIZE}},
                 properties=("frequency", "amplitude", "sample_rate"),
                 poke=render(1), render=render(4))


def _value(cls, top):
    return Entry(cls, {"value": Ints(0, top) | U8}, properties=("value",))


ENTRIES = [
    Entry(ostina.AudioFormat, {"sample_rate": U32, "channels": U16}, properties=("sample_rate", "channels")),
    Entry(ostina.AudioBuffer, {"frames": SIZE, "sample_rate": U32, "channels": Ints(0, 4)},
          methods={"sample_at": {"frame": INDEX, "channel": INDEX},
                   "set_sample": {"frame": INDEX, "channel": INDEX, "value": FLOAT},
                   "clear": {}, "to_list": {}},
          properties=("frames", "format"), poke=lambda buffer: buffer.clear(),
          contents=lambda buffer: buffer.to_list()),
    _value(ostina.MidiChannel, 15),
    Entry(ostina.Note, {"value": Ints(0, 127) | U8}, methods={"to_hz": {}}, statics={"from_hz": {"hz": FLOAT}},
          properties=("value",)),
    _value(ostina.Velocity, 127),
    Entry(ostina.MidiMessage, None,
          statics={"note_on": {"channel": U8, "note": U8, "velocity": U8},
                   "note_off": {"channel": U8, "note": U8, "velocity": U8},
                   "control_change": {"channel": U8, "control": U8, "value": U8},
                   "program_change": {"channel": U8, "program": U8},
                   "pitch_bend": {"channel": U8, "value": U16},
                   "clock": {}, "start": {}, "stop": {}},
          recipes=_message),
    Entry(ostina.MidiEvent, {"message": Instance("MidiMessage"), "timestamp_us": U64},
          properties=("message", "timestamp_us")),
    _tone(ostina.SineOscillator),
    _tone(ostina.SquareOscillator),
    _tone(ostina.SawOscillator),
    Entry(ostina.NoiseSource, {"amplitude": FLOAT, "seed": U64},
          methods={"render_to_buffer": {"frames": SIZE}}, properties=("amplitude",),
          poke=render(1), render=render(4)),

    # mixer

    # sequencing

    # sampler

    # devices
]

CLASSES = {entry.cls.__name__: entry for entry in ENTRIES}
