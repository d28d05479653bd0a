"""The module entry and the rules every class follows, shown through classes
whose behaviour is otherwise simple."""
import inspect

import pytest

import ostina
from conftest import Callback, needs_plain_allocator
from ostina import AudioBuffer, AudioFormat

CLASS_ORDER = ["AudioFormat", "AudioBuffer", "MidiChannel", "Note", "Velocity", "MidiMessage",
               "MidiEvent", "SineOscillator", "SquareOscillator", "SawOscillator", "NoiseSource",
               "MixerChannel", "Mixer", "Step", "Pattern", "NoteEvent", "EventSequence",
               "TransportClock", "StepSequencer", "AudioSample", "Envelope", "SampleMapping",
               "SampleMap", "Sampler", "AudioOutput", "MidiInput"]


def test_module_holds_only_its_classes_in_order():
    public = [name for name in vars(ostina) if not name.startswith("__")]
    assert public == [name for name in CLASS_ORDER if hasattr(ostina, name)]
    assert ostina.__doc__ == ""


def test_reimport_reuses_type_objects():
    import importlib
    import sys
    spec = ostina.__spec__
    fresh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(fresh)
    assert fresh is not sys.modules["ostina"]
    assert fresh.AudioBuffer is AudioBuffer


@pytest.mark.parametrize("cls", [AudioFormat, AudioBuffer])
def test_class_shape(cls):
    assert (cls.__module__, cls.__qualname__) == ("builtins", cls.__name__)
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (cls,), {})
    instance = cls(1)
    with pytest.raises(AttributeError):
        instance.undeclared = 1
    assert not hasattr(instance, "__dict__")
    with pytest.raises(TypeError):
        __import__("weakref").ref(instance)


@pytest.mark.parametrize("call, message", [
    (lambda: AudioBuffer(), "AudioBuffer.__new__() missing 1 required positional argument: 'frames'"),
    (lambda: AudioBuffer(1, 2, 3, 4),
     "AudioBuffer.__new__() takes from 1 to 3 positional arguments but 4 were given"),
    (lambda: AudioBuffer(1, frames=2), "AudioBuffer.__new__() got multiple values for argument 'frames'"),
    (lambda: AudioBuffer(frame=2), "AudioBuffer.__new__() got an unexpected keyword argument 'frame'"),
    (lambda: AudioBuffer(1).sample_at(0, 0, 0),
     "AudioBuffer.sample_at() takes 2 positional arguments but 3 were given"),
    (lambda: AudioBuffer(1).sample_at(), "AudioBuffer.sample_at() missing 2 required positional "
                                         "arguments: 'frame' and 'channel'"),
    (lambda: AudioBuffer(1).set_sample(), "AudioBuffer.set_sample() missing 3 required positional "
                                          "arguments: 'frame', 'channel', and 'value'"),
    (lambda: AudioBuffer(1).set_sample(channel=0),
     "AudioBuffer.set_sample() missing 2 required positional arguments: 'frame' and 'value'"),
    (lambda: AudioBuffer(1).clear(1), "AudioBuffer.clear() takes no arguments (1 given)"),
    (lambda: AudioBuffer(1).to_list(x=1), "AudioBuffer.to_list() takes no keyword arguments"),
])
def test_argument_binding_messages(raises_exactly, call, message):
    raises_exactly(TypeError, message, call)


def test_unexpected_keyword_keeps_any_name(raises_exactly):
    raises_exactly(TypeError, "AudioBuffer.__new__() got an unexpected keyword argument '\udc80'",
                   lambda: AudioBuffer(1, **{"\udc80": 1}))


def test_keywords_bind_by_name():
    buffer = AudioBuffer(channels=2, frames=3)
    buffer.set_sample(value=0.5, channel=1, frame=2)
    assert buffer.sample_at(channel=1, frame=2) == 0.5


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __float__(self):
        return 0.25


@pytest.mark.parametrize("kind, message, call", [
    (OverflowError, "out of range integral type conversion attempted", lambda: AudioFormat(channels=65536)),
    (OverflowError, "out of range integral type conversion attempted", lambda: AudioFormat(-1)),
    (OverflowError, "out of range integral type conversion attempted", lambda: AudioFormat(2**32)),
    (OverflowError, "Python int too large to convert to C long", lambda: AudioFormat(2**63)),
    (TypeError, "argument 'sample_rate': 'float' object cannot be interpreted as an integer",
     lambda: AudioFormat(1.0)),
    (TypeError, "argument 'channels': 'NoneType' object cannot be interpreted as an integer",
     lambda: AudioFormat(channels=None)),
    (OverflowError, "can't convert negative int to unsigned", lambda: AudioBuffer(-1)),
    (OverflowError, "int too big to convert", lambda: AudioBuffer(2**64)),
    (TypeError, "argument 'frames': 'str' object cannot be interpreted as an integer", lambda: AudioBuffer("1")),
    (TypeError, "argument 'value': must be real number, not str", lambda: AudioBuffer(1).set_sample(0, 0, "x")),
    (TypeError, "argument 'value': must be real number, not NoneType",
     lambda: AudioBuffer(1).set_sample(0, 0, None)),
    (OverflowError, "int too large to convert to float", lambda: AudioBuffer(1).set_sample(0, 0, 10**400)),
])
def test_conversion_failures(raises_exactly, kind, message, call):
    raises_exactly(kind, message, call)


def test_integer_and_float_protocols_are_accepted():
    assert AudioFormat(Index(48000), True) == AudioFormat(48000, 1)
    assert AudioFormat(2**32 - 1, 65535).sample_rate == 2**32 - 1
    assert len(AudioBuffer(Index(3))) == 3
    buffer = AudioBuffer(1)
    buffer.set_sample(0, 0, Real())
    assert buffer.sample_at(0, 0) == 0.25
    buffer.set_sample(0, 0, Index(3))
    assert buffer.sample_at(0, 0) == 3.0


def test_type_error_subclass_passes_through_unnamed():
    class Odd(TypeError):
        pass

    class Raises:
        def __index__(self):
            raise Odd("own text")

    with pytest.raises(Odd, match="^own text$"):
        AudioBuffer(Raises())


def test_renamed_type_error_keeps_the_cause():
    root = KeyError("root")

    class Raises:
        def __float__(self):
            raise TypeError("inner") from root

    with pytest.raises(TypeError) as info:
        AudioBuffer(1).set_sample(0, 0, Raises())
    assert str(info.value) == "argument 'value': inner"
    assert info.value.__cause__ is root


def test_panic_exception_is_a_base_exception_outside_the_module():
    with pytest.raises(BaseException) as info:
        AudioBuffer(2**61)
    panic = type(info.value)
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert str(info.value) == "capacity overflow"
    assert not hasattr(ostina, "PanicException")
    with pytest.raises(panic):  # the same class every time
        AudioBuffer(2**62, channels=2)


@needs_plain_allocator
def test_representable_but_impossible_size_is_memory_error():
    with pytest.raises(MemoryError):
        AudioBuffer(2**61 - 1)


def test_text_signatures():
    assert str(inspect.signature(AudioBuffer)) == "(frames, sample_rate=44100, channels=1)"
    assert str(inspect.signature(AudioFormat)) == "(sample_rate=44100, channels=2)"
    assert AudioBuffer.sample_at.__text_signature__ == "($self, frame, channel)"
    assert AudioBuffer.clear.__text_signature__ == "($self)"


def test_equality_protocol():
    a, b = AudioFormat(), AudioFormat()
    assert a == b and not (a != b)
    assert a != AudioFormat(44100, 1)
    assert (a == (44100, 2)) is False and (a != "x") is True
    for order in ("__lt__", "__le__", "__gt__", "__ge__"):
        assert getattr(a, order)(b) is NotImplemented
    with pytest.raises(TypeError, match="^unhashable type: 'builtins.AudioFormat'$"):
        hash(a)
    buffer = AudioBuffer(1)
    assert buffer == buffer and buffer != AudioBuffer(1) and hash(buffer) == hash(buffer)


def test_length_uses_the_mapping_slot_only():
    import operator
    buffer = AudioBuffer(3)
    assert len(buffer) == 3 and bool(buffer) and not AudioBuffer(0)
    with pytest.raises(TypeError):
        buffer[0]
    with pytest.raises(TypeError):
        operator.length_hint(iter(buffer))


def test_read_only_and_str_fallback():
    buffer = AudioBuffer(2)
    with pytest.raises(AttributeError, match="not writable"):
        buffer.frames = 3
    assert str(buffer) == repr(buffer)


@pytest.mark.parametrize("call, action, message", [
    # changing call holds the buffer exclusively while converting `value`
    (lambda b, r: b.set_sample(0, 0, r), lambda b: b.sample_at(0, 0), "Already mutably borrowed"),
    (lambda b, r: b.set_sample(0, 0, r), lambda b: b.clear(), "Already borrowed"),
    # reading call holds the buffer shared while converting `channel`
    (lambda b, r: b.sample_at(0, r), lambda b: b.clear(), "Already borrowed"),
])
def test_reentrant_conversion_meets_the_held_access(raises_exactly, call, action, message):
    buffer = AudioBuffer(2)
    buffer.set_sample(0, 0, 0.5)
    raises_exactly(RuntimeError, message, call, buffer, Callback(lambda: action(buffer)))
    assert buffer.to_list() == [0.5, 0.0]
    buffer.clear()  # access was released on the failure path
    assert buffer.to_list() == [0.0, 0.0]


def test_shared_access_nests():
    buffer = AudioBuffer(2)
    assert buffer.sample_at(0, Callback(lambda: buffer.sample_at(1, 0))) == 0.0
