"""Conversions and property rules of the binding frame, through a small probe
extension built from the frame's own sources for this test run."""
import array
import importlib.util
import pathlib
import struct
import subprocess
import sysconfig

import pytest

from conftest import SANITIZE_FLAGS, Callback, Items, bits, compiler, f32, tool_environment

ROOT = pathlib.Path(__file__).resolve().parent.parent


@pytest.fixture(scope="module")
def Probe(tmp_path_factory):
    target = tmp_path_factory.mktemp("probe") / "frame_probe.abi3.so"
    subprocess.run([compiler(), "-std=c++20", "-O1", "-shared", "-fPIC", "-DPy_LIMITED_API=0x030B0000",
                    f"-I{sysconfig.get_paths()['include']}", f"-I{ROOT / 'src'}", f"-I{ROOT / 'python' / 'frame'}",
                    str(ROOT / "tests/probe/frame_probe.cpp"), *map(str, sorted((ROOT / "python" / "frame").glob("frame*.cpp"))),
                    "-o", str(target), *SANITIZE_FLAGS],
                   check=True, capture_output=True, text=True, env=tool_environment())
    spec = importlib.util.spec_from_file_location("frame_probe", target)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module.Probe


def numpy_bool():
    numpy = pytest.importorskip("numpy")
    return numpy.bool_


def test_booleans(Probe, raises_exactly):
    assert Probe(True).flag is True and Probe(flag=False).flag is False
    raises_exactly(TypeError, "argument 'flag': 'int' object is not an instance of 'bool'", Probe, 1)
    raises_exactly(TypeError, "argument 'flag': 'NoneType' object is not an instance of 'bool'", Probe, None)
    raises_exactly(TypeError, "argument 'text': 'NoneType' object is not an instance of 'str'", Probe, text=None)
    raises_exactly(TypeError, "argument 'data': 'NoneType' object is not an instance of 'Sequence'",
                   Probe.samples, None)


def test_numpy_boolean_scalars_count_as_booleans(Probe):
    boolean = numpy_bool()
    assert Probe(boolean(True)).flag is True and Probe(boolean(False)).flag is False


def test_a_numpy_named_boolean_without_conversion(Probe, raises_exactly):
    fake = type("bool_", (), {"__module__": "numpy"})
    raises_exactly(TypeError, "argument 'flag': object of type 'bool_' does not define a '__bool__' conversion",
                   Probe, fake())
    fake.__bool__ = lambda self: True
    assert Probe(fake()).flag is True


def test_text(Probe, raises_exactly):
    assert Probe().text == "Channel" and Probe(text="Bäss ♪").text == "Bäss ♪"
    raises_exactly(TypeError, "argument 'text': 'bytes' object is not an instance of 'str'", Probe, text=b"x")
    with pytest.raises(UnicodeEncodeError):
        Probe(text="\udc80")
    assert Probe(text=type("S", (str,), {})("sub")).text == "sub"


@pytest.mark.parametrize("data, expected", [
    ([0.1, 2, True], [0.10000000149011612, 2.0, 1.0]),
    ((1.5, -0.0), [1.5, -0.0]),
    (range(3), [0.0, 1.0, 2.0]),
    ([], []),
    ([1e40], [float("inf")]),
])
def test_sample_lists(Probe, data, expected):
    assert Probe.samples(data) == expected


@pytest.mark.parametrize("data, kind, message", [
    ("abc", TypeError, "argument 'data': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'data': 'int' object is not an instance of 'Sequence'"),
    ({1: 2}, TypeError, "argument 'data': 'dict' object is not an instance of 'Sequence'"),
    ([1.0, "x"], TypeError, "argument 'data': must be real number, not str"),
    ([10**400], OverflowError, "int too large to convert to float"),
])
def test_sample_list_failures(Probe, raises_exactly, data, kind, message):
    raises_exactly(kind, message, Probe.samples, data)


def test_lists_of_sample_lists(Probe, raises_exactly):
    assert Probe.nested([[1, 2], (3,), []]) == [[1.0, 2.0], [3.0], []]
    raises_exactly(TypeError, "argument 'channel_buffers': Can't extract `str` to `Vec`", Probe.nested, ["ab"])
    raises_exactly(TypeError, "argument 'channel_buffers': 'float' object is not an instance of 'Sequence'",
                   Probe.nested, [[1.0], 2.0])


def test_results_as_tuples(Probe):
    assert Probe.pair("a", True) == ("a", True)


@pytest.mark.parametrize("name, value, parameter, shown", [
    ("flag", 1, "solo", "'int' object is not an instance of 'bool'"),
    ("text", 3, "text", "'int' object is not an instance of 'str'"),
    ("level", "x", "gain", "must be real number, not str"),
])
def test_setters_name_their_own_parameter(Probe, raises_exactly, name, value, parameter, shown):
    probe = Probe()
    before = getattr(probe, name)
    raises_exactly(TypeError, f"argument '{parameter}': {shown}", setattr, probe, name, value)
    assert getattr(probe, name) == before


def test_setters_store_and_refuse_deletion(Probe, raises_exactly):
    probe = Probe()
    probe.flag, probe.text, probe.level = True, "new", 0.1
    assert (probe.flag, probe.text, probe.level) == (True, "new", 0.10000000149011612)
    raises_exactly(AttributeError, "can't delete attribute", delattr, probe, "text")


def test_setter_converts_before_taking_the_object(Probe):
    probe = Probe()

    class Level:
        def __float__(self):
            return 0.5 if probe.text == "Channel" else 0.0  # a read is still allowed here

    probe.level = Level()
    assert probe.level == 0.5


class Claims:
    """A sequence whose reported length is not what iteration yields."""

    def __init__(self, items, length):
        self.items, self.length = items, length

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


@pytest.mark.parametrize("length", [2**60, 0, KeyboardInterrupt()])
def test_sequences_are_iterated_not_measured(Probe, length):
    assert Probe.samples(Claims([1.0, 2.0, 3.0], length)) == [1.0, 2.0, 3.0]


# Sample lists arrive in many shapes; the common ones are read without
# iteration, and every shape must give what iterating it would give.

VALUES = [0.1, -0.0, 1.0, -1.0, 1e-45, 3.4028235677973366e38, 1e40, -1e40, float("inf"), float("nan"),
          1 + 2**-24, 1 + 3 * 2**-24, 0.5]  # the two ties narrow to even


def sample_bits(values):
    return [bits(value) for value in values]


def shapes(values):
    """The same doubles in every shape a caller may hand over."""
    found = {"list": list(values), "tuple": tuple(values), "custom": Items(values),
             "array d": array.array("d", values), "memoryview d": memoryview(array.array("d", values)),
             "float subclass": [type("F", (float,), {})(v) for v in values]}
    try:
        import numpy
    except ImportError:
        return found
    doubled = numpy.repeat(numpy.array(values, dtype=numpy.float64), 2)
    found.update({"numpy f8": numpy.array(values, dtype=numpy.float64), "numpy f8 strided": doubled[::2],
                  "numpy f8 big-endian": numpy.array(values, dtype=">f8"),
                  "numpy f8 column": doubled.reshape(-1, 2)[:, 0], "numpy scalars": list(numpy.array(values))})
    return found


@pytest.mark.parametrize("shape", list(shapes(VALUES)))
def test_every_shape_of_doubles_narrows_alike(Probe, shape):
    expected = [f32(value) for value in VALUES]
    assert sample_bits(Probe.samples(shapes(VALUES)[shape])) == sample_bits(expected)


def float32_shapes(values):
    stored = array.array("f", values)
    found = {"array f": stored, "memoryview f": memoryview(stored), "custom": Items(stored),
             "memoryview cast": memoryview(stored.tobytes()).cast("f")}
    try:
        import numpy
    except ImportError:
        return found
    single = numpy.frombuffer(stored.tobytes(), dtype=numpy.float32)
    found.update({"numpy f4": single.copy(), "numpy f4 strided": numpy.repeat(single, 3)[::3],
                  "numpy f4 readonly": single, "numpy f4 masked": numpy.ma.masked_array(single)})
    return found


SIGNALLING_NAN = 0x7F800001


@pytest.mark.parametrize("shape", list(float32_shapes([0.0])))
def test_32_bit_items_read_as_python_floats_would(Probe, shape):
    stored = array.array("f", VALUES)
    stored.frombytes(struct.pack("<I", SIGNALLING_NAN))
    expected = [f32(value) for value in stored.tolist()]  # each item through a Python float
    assert sample_bits(Probe.samples(float32_shapes(stored)[shape])) == sample_bits(expected)


def test_empty_arrays(Probe):
    assert Probe.samples(array.array("f")) == [] and Probe.samples(memoryview(b"").cast("d")) == []


@pytest.mark.parametrize("data, expected", [
    (memoryview(b"\x01\x02"), [1.0, 2.0]),             # bytes are items too
    (array.array("i", [3, -4]), [3.0, -4.0]),
    ([0.5, 1, True], [0.5, 1.0, 1.0]),                   # floats first, then others
])
def test_other_items_take_the_general_path(Probe, data, expected):
    assert Probe.samples(data) == expected


@pytest.mark.parametrize("make", [list, tuple])
def test_a_bad_item_deep_in_a_list(Probe, raises_exactly, make):
    raises_exactly(TypeError, "argument 'data': must be real number, not str",
                   Probe.samples, make([0.25] * 1000 + ["x"] + [0.5]))
    raises_exactly(OverflowError, "int too large to convert to float", Probe.samples, make([0.25] * 9 + [10**400]))


def test_unreadable_buffers_report_as_before(Probe, raises_exactly):
    view = memoryview(array.array("f", [1.0]))
    view.release()
    raises_exactly(ValueError, "operation forbidden on released memoryview object", Probe.samples, view)


def test_arrays_of_other_dimensions_report_as_iteration_does(Probe):
    numpy = pytest.importorskip("numpy")
    square = numpy.zeros((2, 2), dtype=numpy.float32)
    with pytest.raises(TypeError) as direct:
        Probe.samples(square)
    with pytest.raises(TypeError) as rows:
        Probe.samples(list(square))
    assert str(direct.value) == str(rows.value)
    with pytest.raises(TypeError) as scalar:
        Probe.samples(numpy.float32(1.0).reshape(()))
    assert "argument 'data'" in str(scalar.value)


def test_a_copy_is_kept(Probe):
    numpy = pytest.importorskip("numpy")
    source = numpy.array([0.5, 0.25], dtype=numpy.float32)
    result = Probe.samples(source)
    source[0] = 9.0
    assert result == [0.5, 0.25]


@pytest.mark.parametrize("values", [[0.0] * 64, [1.5, 1.5, -0.0, 0.0, 0.0], [float("nan")] * 3])
def test_result_lists_hold_one_new_float_per_sample(Probe, values):
    result = Probe.samples(values)
    assert sample_bits(result) == sample_bits(values)
    assert len({id(item) for item in result}) == len(result)


@pytest.mark.parametrize("size", [4095, 4096, 44100])  # long results are built by another route
def test_long_results_widen_every_sample(Probe, size):
    values = [((k * 7919) % 10007 - 5003) / 4099.0 for k in range(size)]
    result = Probe.samples(values)
    assert sample_bits(result) == sample_bits([f32(v) for v in values])
    assert len({id(item) for item in result}) == size


def test_an_array_read_is_released_again(Probe):
    stored = array.array("f", [1.0, 2.0])
    assert Probe.samples(stored) == [1.0, 2.0]
    stored.append(3.0)  # a buffer still held would refuse the resize
    assert stored.tolist() == [1.0, 2.0, 3.0]


def test_a_list_changed_while_read_is_read_as_its_iterator_would(Probe):
    shrinking = [1.0, None, 3.0, 4.0]
    shrinking[1] = Callback(shrinking.pop, 2.0)
    assert Probe.samples(shrinking) == [1.0, 2.0, 3.0]
    growing = [1.0, None]
    growing[1] = Callback(lambda: growing.append(5.0), 2.0)
    assert Probe.samples(growing) == [1.0, 2.0, 5.0]
    dropping = [None]
    dropping[0] = Callback(dropping.clear, 7.0)  # the item outlives its place in the list
    assert Probe.samples(dropping) == [7.0]


def test_a_list_subclass_is_read_through_its_own_iteration(Probe):
    class Reversed(list):
        def __iter__(self):
            return iter(self[::-1])

    assert Probe.samples(Reversed([1.0, 2.0])) == [2.0, 1.0]
