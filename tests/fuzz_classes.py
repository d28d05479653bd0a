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

    def admits(self, value):
        return True

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
    """Floats of any bits, or in [low, high], and special values."""

    SPECIAL = (0.0, -0.0, 0.5, 1.0, -1.0, math.inf, -math.inf, math.nan, 1e308, 5e-324)

    def __init__(self, low=None, high=None, special=SPECIAL):
        self.low, self.high, self.special = low, high, special

    def admits(self, value):
        """Whether a hostile `value` may stand for one of these floats: a
        bounded kind keeps its bound for numbers too."""
        if self.low is None or not isinstance(value, (int, float)):
            return True
        return math.isnan(value) or abs(value) <= 2 * max(abs(self.low), abs(self.high))

    def draw(self, source):
        pick = source.integer(0, 3)
        if pick == 0:
            return source.choice(self.special)
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
        make = CLASSES[self.name].recipe(source)
        return make() if make is not None else None


U8 = Ints(0, 255)
NOTE = Ints(0, 127) | U8  # a 7-bit MIDI value, half the time in range
U16 = Ints(0, 2**16 - 1)
U32 = Ints(0, 2**32 - 1, (1, 44100))
U64 = Ints(0, 2**64 - 1, (1, 2**63))
# A count that becomes an allocation: small, or too large to represent (which
# must fail before anything is allocated). Sizes in between that the machine
# cannot provide are tested under an address-space limit (test_limits.py).
SIZE = Ints(0, 48, (2**61, 2**62))
# A position: mostly inside small containers, sometimes far outside.
INDEX = Ints(0, 12, (2**31, 2**63, 2**64 - 1))
MAYBE_INDEX = INDEX | Choice(None)
VOICES = Ints(0, 12, (2**64 - 1,))
FLOAT = Floats()
# Beats that bound a walk, and a step's length in beats: the walk takes one
# turn per step, so the fuzzed ranges stay short.
SPAN = Floats(-64.0, 64.0, (0.0, -0.0, 1.0, -1.0, math.inf, -math.inf, math.nan))
DURATION = Floats(0.0625, 4.0, (0.0, -0.0, 0.25, -1.0, math.inf, -math.inf, math.nan, 1e308))
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
    # Observed once both have taken all their calls; may change them.
    final: Optional[Callable] = None
    # Draws a recipe, a function that makes a new object, equal to the ones it
    # made before, each time. By default from the constructor.
    recipes: Optional[Callable] = None
    # Confined to the thread that created it.
    confined: bool = False
    # Cleared once no drawn arguments made an object.
    makeable: bool = True

    def recipe(self, source):
        """A recipe, or None when no object can be made here (a device the
        machine lacks)."""
        if self.recipes is not None:
            return self.recipes(source)
        for _ in range(40 if self.makeable else 1):
            make = partial(self.cls, **{name: kind.draw(source) for name, kind in self.new.items()})
            if makes(make):
                return make
        self.makeable = False
        return None


def makes(make):
    """Whether `make` makes an object, rather than refusing its arguments."""
    try:
        make()
    except (ValueError, OverflowError, IndexError, TypeError, RuntimeError, UnicodeEncodeError):
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


def _filled(make, fill, items):
    made = make()
    for item in items:
        fill(made, item)
    return made


def _mixer(source):
    return partial(_filled, ostina.Mixer, ostina.Mixer.add_channel, Lists(TEXT, 4).draw(source))


def _pattern(source):
    length = Ints(0, 16).draw(source)
    steps = [(source.integer(0, 20), (source.integer(0, 127), source.integer(0, 127), source.integer(0, 4)))
             for _ in range(source.integer(0, 6))]
    return partial(_filled, partial(ostina.Pattern, length),
                   lambda pattern, step: pattern.set_step(step[0], ostina.Step(*step[1])), steps)


def _events(source):
    events = [(SPAN.draw(source), DURATION.draw(source), source.integer(0, 127), source.integer(0, 127))
              for _ in range(source.integer(0, 6))]
    return partial(_filled, ostina.EventSequence,
                   lambda sequence, event: sequence.add_event(ostina.NoteEvent(*event)), events)


def _sample_map(source):
    sample = ostina.AudioSample([0.5, -0.5])
    bounds = [[source.integer(0, 127) for _ in range(4)] for _ in range(source.integer(0, 3))]
    return partial(_filled, ostina.SampleMap,
                   lambda sample_map, four: sample_map.add_mapping(ostina.SampleMapping(sample, *four)), bounds)


def _looped(data, sample_rate, root_note, loop):
    sample = ostina.AudioSample(data, sample_rate, root_note)
    sample.loop_start, sample.loop_end = loop
    return sample


def _audio_sample(source):
    """Samples with loop points now and then, in range or not."""
    data = Lists(FLOAT, 12).draw(source) if source.integer(0, 3) else Lists(Floats(-1.0, 1.0), 300).draw(source)
    loop = (MAYBE_INDEX.draw(source), MAYBE_INDEX.draw(source)) if source.integer(0, 1) else (None, None)
    return partial(_looped, data, Ints(1, 96000, (0, 2**32 - 1)).draw(source), source.integer(0, 127), loop)


def _lookups(sample_map):
    return [sample_map.find_sample(note, velocity) for note in (0, 60, 127) for velocity in (0, 100)]


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
    Entry(ostina.MixerChannel, {"name": TEXT},
          writable={"name": TEXT, "gain": FLOAT, "pan": FLOAT, "mute": BOOL, "solo": BOOL},
          methods={"process_sample": {"sample": FLOAT}}, poke=lambda channel: setattr(channel, "gain", 0.5)),
    Entry(ostina.Mixer, {}, writable={"master_gain": FLOAT},
          methods={"add_channel": {"name": TEXT}, "remove_channel": {"index": INDEX},
                   "get_channel": {"index": INDEX},
                   "set_channel_gain": {"index": INDEX, "gain": FLOAT},
                   "set_channel_pan": {"index": INDEX, "pan": FLOAT},
                   "set_channel_mute": {"index": INDEX, "mute": BOOL},
                   "set_channel_solo": {"index": INDEX, "solo": BOOL},
                   "channel_count": {}, "channel_names": {}, "mix_down": {"channel_buffers": SAMPLE_LISTS}},
          poke=lambda mixer: mixer.add_channel("poked"), recipes=_mixer,
          contents=lambda mixer: [mixer.get_channel(index) for index in range(len(mixer))]),

    # sequencing
    Entry(ostina.Step, {"note": NOTE, "velocity": NOTE, "duration_ticks": U32},
          writable={"note": NOTE, "velocity": NOTE, "duration_ticks": U32, "active": BOOL}),
    Entry(ostina.Pattern, {"length": SIZE}, properties=("length",), writable={"loop_enabled": BOOL},
          methods={"set_step": {"index": INDEX, "step": Instance("Step")}, "get_step": {"index": INDEX},
                   "toggle_step": {"index": INDEX}, "clear": {}},
          poke=lambda pattern: pattern.clear(), recipes=_pattern,
          contents=lambda pattern: [pattern.get_step(index) for index in range(len(pattern))]),
    Entry(ostina.NoteEvent, {"beat_position": FLOAT, "duration": FLOAT, "note": NOTE, "velocity": NOTE},
          writable={"beat_position": FLOAT, "duration": FLOAT, "note": NOTE, "velocity": NOTE},
          methods={"end_position": {}}),
    Entry(ostina.EventSequence, {},
          methods={"add_event": {"event": Instance("NoteEvent")}, "remove_event": {"index": INDEX},
                   "events": {}, "events_in_range": {"start": FLOAT, "end": FLOAT},
                   "events_starting_in_range": {"start": FLOAT, "end": FLOAT}, "duration": {}, "clear": {}},
          poke=lambda sequence: sequence.clear(), recipes=_events, contents=lambda sequence: sequence.events()),
    Entry(ostina.TransportClock, {"bpm": FLOAT}, properties=("position", "state"),
          writable={"bpm": FLOAT, "ticks_per_beat": U32},
          methods={"play": {}, "pause": {}, "stop": {}, "seek": {"beat": FLOAT},
                   "advance_by_frames": {"frames": U64, "sample_rate": U32},
                   "beats_to_seconds": {"beats": FLOAT}, "seconds_to_beats": {"seconds": FLOAT},
                   "beats_to_ticks": {"beats": FLOAT}, "ticks_to_beats": {"ticks": U64}},
          poke=lambda clock: clock.play()),
    Entry(ostina.StepSequencer, {"pattern": Instance("Pattern"), "channel": Ints(0, 15) | U8},
          properties=("current_step",), writable={"step_duration": DURATION},
          methods={"set_pattern": {"pattern": Instance("Pattern")}, "reset": {},
                   "process_beat_range": {"start": SPAN, "end": SPAN}},
          poke=lambda sequencer: sequencer.reset(), render=lambda sequencer: sequencer.process_beat_range(0.0, 0.5),
          # The walks leave the cursor past the first render's range; from the
          # start again, a walk shows the pattern and the step duration.
          final=lambda sequencer: (sequencer.reset(), sequencer.process_beat_range(0.0, 8.0))),

    # sampler
    Entry(ostina.AudioSample, {"data": SAMPLES, "sample_rate": U32, "root_note": NOTE},
          properties=("sample_rate",),
          writable={"root_note": NOTE, "loop_start": MAYBE_INDEX, "loop_end": MAYBE_INDEX},
          methods={"duration_seconds": {}, "data": {}}, poke=lambda sample: setattr(sample, "root_note", 60),
          recipes=_audio_sample, contents=lambda sample: sample.data()),
    Entry(ostina.Envelope, {"attack": FLOAT, "decay": FLOAT, "sustain": FLOAT, "release": FLOAT},
          writable={"attack": FLOAT, "decay": FLOAT, "sustain": FLOAT, "release": FLOAT}),
    Entry(ostina.SampleMapping, {"sample": Instance("AudioSample"), "note_low": NOTE, "note_high": NOTE,
                                 "velocity_low": NOTE, "velocity_high": NOTE},
          methods={"matches": {"note": U8, "velocity": U8}}),
    Entry(ostina.SampleMap, {}, statics={"single_sample": {"sample": Instance("AudioSample")}},
          methods={"add_mapping": {"mapping": Instance("SampleMapping")},
                   "find_sample": {"note": U8, "velocity": U8}, "mapping_count": {}},
          poke=lambda sample_map: sample_map.add_mapping(ostina.SampleMapping(ostina.AudioSample([0.0]), 0, 1, 0, 1)),
          recipes=_sample_map, contents=_lookups),
    Entry(ostina.Sampler, {"sample": Instance("AudioSample"), "sample_rate": U32, "max_voices": VOICES},
          properties=("sample_rate",), writable={"max_voices": VOICES},
          methods={"set_envelope": {"envelope": Instance("Envelope")}, "note_on": {"note": NOTE, "velocity": NOTE},
                   "note_off": {"note": NOTE}, "all_notes_off": {}, "panic": {}, "active_voice_count": {},
                   "render": {"frames": SIZE}},
          poke=lambda sampler: sampler.panic(), render=lambda sampler: sampler.render(4)),

    # devices
    Entry(ostina.AudioOutput, {"sample_rate": U32, "channels": U16, "buffer_size": U32},
          statics={"list_devices": {}}, methods={"device_name": {}, "is_playing": {}, "stop": {}},
          poke=lambda output: output.stop(), confined=True),
    Entry(ostina.MidiInput, {"client_name": TEXT}, methods={"list_ports": {}}, confined=True),
]

CLASSES = {entry.cls.__name__: entry for entry in ENTRIES}
