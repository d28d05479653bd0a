import math

import pytest

from ostina import MidiChannel, MidiEvent, MidiMessage, Note, Velocity

EN_DASH = "\u2013"
VALUE_CLASSES = [(Note, 127), (Velocity, 127), (MidiChannel, 15)]


@pytest.mark.parametrize("cls, maximum", VALUE_CLASSES)
def test_value_range_boundaries(raises_exactly, cls, maximum):
    name = cls.__name__
    assert cls(0).value == 0 and cls(maximum).value == maximum
    for rejected in (maximum + 1, 255):
        raises_exactly(ValueError, f"{name} out of range: {rejected} (must be 0{EN_DASH}{maximum})", cls, rejected)
    for wide in (-1, 256):
        raises_exactly(OverflowError, "out of range integral type conversion attempted", cls, wide)
    raises_exactly(TypeError, "argument 'value': 'float' object cannot be interpreted as an integer", cls, 60.0)
    raises_exactly(TypeError, f"{name}.__new__() missing 1 required positional argument: 'value'", cls)
    raises_exactly(TypeError, f"{name}.__new__() takes 1 positional arguments but 2 were given", cls, 1, 2)
    raises_exactly(TypeError, f"{name}.__new__() got an unexpected keyword argument 'valu'", cls, valu=1)


@pytest.mark.parametrize("cls, maximum", VALUE_CLASSES)
def test_value_texts_and_equality(cls, maximum):
    value = cls(9)
    assert (repr(value), str(value)) == (f"{cls.__name__}(9)", "9")
    assert cls(True) == cls(1)
    assert value == cls(9) and not (value != cls(9)) and value != cls(10)
    assert value != 9 and not (value == 9)
    with pytest.raises(TypeError):
        value < cls(10)
    with pytest.raises(TypeError, match=f"unhashable type: 'builtins.{cls.__name__}'"):
        hash(value)
    with pytest.raises(AttributeError):
        value.value = 3


def test_equality_is_per_class():
    assert Note(60) != Velocity(60) and Note(60) != MidiChannel(0 + 12)


@pytest.mark.parametrize("number, hz", [
    (69, 440.0), (21, 27.5), (60, 261.6255653005986), (0, 8.175798915643707), (127, 12543.853951415975),
])
def test_to_hz(number, hz):
    assert Note(number).to_hz() == hz


def test_to_hz_follows_its_formula_for_every_note():
    for number in range(128):
        assert Note(number).to_hz() == 2 ** ((number + -69.0) / 12.0) * 440.0


@pytest.mark.parametrize("hz, number", [
    (440.0, 69), (261.63, 60), (269.2917795270241, 61), (0.0, 0), (-5.0, 0), (float("nan"), 0),
    (1e6, 127), (float("inf"), 127), (float("-inf"), 0), (8.0, 0), (5e-324, 0),
])
def test_from_hz_rounds_and_clamps(hz, number):
    assert Note.from_hz(hz) == Note(number)


def test_from_hz_round_trips_every_note():
    assert all(Note.from_hz(Note(n).to_hz()) == Note(n) for n in range(128))


def test_from_hz_conversion_failure(raises_exactly):
    raises_exactly(TypeError, "argument 'hz': must be real number, not str", Note.from_hz, "440")
    raises_exactly(TypeError, "Note.from_hz() missing 1 required positional argument: 'hz'", Note.from_hz)


NOTE_ON = "NoteOn { channel: MidiChannel(0), note: Note(60), velocity: Velocity(100) }"


@pytest.mark.parametrize("build, text", [
    (lambda: MidiMessage.note_on(0, 60, 100), NOTE_ON),
    (lambda: MidiMessage.note_off(15, 127, 0),
     "NoteOff { channel: MidiChannel(15), note: Note(127), velocity: Velocity(0) }"),
    (lambda: MidiMessage.control_change(1, 7, 100),
     "ControlChange { channel: MidiChannel(1), control: ControlNumber(7), value: 100 }"),
    (lambda: MidiMessage.control_change(0, 7, 200),
     "ControlChange { channel: MidiChannel(0), control: ControlNumber(7), value: 200 }"),
    (lambda: MidiMessage.program_change(2, 255), "ProgramChange { channel: MidiChannel(2), program: 255 }"),
    (lambda: MidiMessage.pitch_bend(0, 65535), "PitchBend { channel: MidiChannel(0), value: 65535 }"),
    (lambda: MidiMessage.pitch_bend(channel=0, value=8192), "PitchBend { channel: MidiChannel(0), value: 8192 }"),
    (MidiMessage.clock, "Clock"), (MidiMessage.start, "Start"), (MidiMessage.stop, "Stop"),
])
def test_message_texts(build, text):
    message = build()
    assert (str(message), repr(message)) == (text, f"MidiMessage({text})")
    assert message == build() and not (message != build())


@pytest.mark.parametrize("call, kind, message", [
    (lambda: MidiMessage.note_on(16, 60, 100), ValueError, f"MidiChannel out of range: 16 (must be 0{EN_DASH}15)"),
    (lambda: MidiMessage.note_on(0, 128, 100), ValueError, f"Note out of range: 128 (must be 0{EN_DASH}127)"),
    (lambda: MidiMessage.note_off(0, 60, 128), ValueError, f"Velocity out of range: 128 (must be 0{EN_DASH}127)"),
    (lambda: MidiMessage.note_on(16, 128, 128), ValueError, f"MidiChannel out of range: 16 (must be 0{EN_DASH}15)"),
    (lambda: MidiMessage.control_change(0, 128, 0), ValueError,
     f"ControlNumber out of range: 128 (must be 0{EN_DASH}127)"),
    (lambda: MidiMessage.program_change(16, 0), ValueError, f"MidiChannel out of range: 16 (must be 0{EN_DASH}15)"),
    # conversion of every argument comes before any range check
    (lambda: MidiMessage.note_on(16, 256, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: MidiMessage.note_on(16, 60.0, 1), TypeError,
     "argument 'note': 'float' object cannot be interpreted as an integer"),
    (lambda: MidiMessage.pitch_bend(0, 65536), OverflowError, "out of range integral type conversion attempted"),
    (lambda: MidiMessage.note_off(0, 60), TypeError,
     "MidiMessage.note_off() missing 1 required positional argument: 'velocity'"),
    (lambda: MidiMessage.clock(1), TypeError, "MidiMessage.clock() takes no arguments (1 given)"),
    (lambda: MidiMessage(), TypeError, "cannot create 'builtins.MidiMessage' instances"),
])
def test_message_failures(raises_exactly, call, kind, message):
    raises_exactly(kind, message, call)


def test_message_equality():
    on = MidiMessage.note_on(0, 60, 100)
    assert on != MidiMessage.note_off(0, 60, 100) and on != MidiMessage.note_on(0, 60, 101)
    assert MidiMessage.clock() == MidiMessage.clock() and MidiMessage.clock() != MidiMessage.start()
    assert on != NOTE_ON
    with pytest.raises(TypeError):
        MidiMessage.clock() < MidiMessage.start()
    with pytest.raises(TypeError):
        hash(on)


def test_event_holds_copies():
    message = MidiMessage.note_on(0, 60, 100)
    event = MidiEvent(message, 2**64 - 1)
    assert repr(event) == f"MidiEvent({NOTE_ON}, timestamp_us=18446744073709551615)"
    assert event.timestamp_us == 2**64 - 1
    assert event.message == message and event.message is not event.message
    assert repr(MidiEvent(MidiMessage.clock(), 1500)) == "MidiEvent(Clock, timestamp_us=1500)"
    assert event != MidiEvent(message, 2**64 - 1) and str(event) == repr(event)


@pytest.mark.parametrize("args, kind, message", [
    ((None, 0), TypeError, "argument 'message': 'None' is not an instance of 'MidiMessage'"),
    ((Note(1), 0), TypeError, "argument 'message': 'Note' object is not an instance of 'MidiMessage'"),
    ((MidiMessage.stop(), -1), OverflowError, "can't convert negative int to unsigned"),
])
def test_event_failures(raises_exactly, args, kind, message):
    raises_exactly(kind, message, MidiEvent, *args)
