"""Every method that takes samples reads them alike whatever shape they come
in: lists, tuples, array.array, numpy arrays (contiguous or strided),
memoryviews and plain sequences give the same results, failures included.
A plain sequence is always read item by item, so it is the reference."""
import array

import pytest

from conftest import Items, LengthlessTuple, LongList, bits, f32
from ostina import AudioSample, Mixer, Sampler

numpy = pytest.importorskip("numpy")

NAN, INF = float("nan"), float("inf")
# Ties between two 32-bit neighbours narrow to even; the rest spans signs,
# zeros, the subnormal edge and the largest 32-bit value.
VALUES = [0.1, -0.0, 0.0, 0.5, -0.75, 1 + 2**-24, 1 + 3 * 2**-24, 1e-45, -3.4028234663852886e38, INF, NAN,
          0.333333333333, -1.0, 0.999999] * 7


def shapes(values):
    """The same doubles, or their 32-bit narrowings, in every shape a caller may use."""
    doubles = numpy.array(values, dtype=numpy.float64)
    singles = doubles.astype(numpy.float32)
    return {
        "list": list(values),
        "tuple": tuple(values),
        "custom sequence": Items(values),
        "array d": array.array("d", values),
        "array f": array.array("f", values),
        "numpy f8": doubles,
        "numpy f4": singles,
        "numpy f8 strided": numpy.repeat(doubles, 2)[::2],
        "numpy f4 strided": numpy.repeat(singles, 3)[1::3],
        "numpy f4 big-endian": singles.astype(">f4"),
        "memoryview d": memoryview(array.array("d", values)),
        "memoryview f": memoryview(singles),
        "numpy scalars": list(singles),
    }


SHAPES = list(shapes([0.0]))


def as_bits(values):
    return [bits(value) for value in values]


@pytest.mark.parametrize("shape", SHAPES)
def test_audio_sample_keeps_the_narrowed_values(shape):
    sample = AudioSample(shapes(VALUES)[shape])
    assert as_bits(sample.data()) == as_bits([f32(value) for value in VALUES])


@pytest.mark.parametrize("shape", SHAPES)
def test_sampler_renders_the_same_from_every_shape(shape):
    def render(data):
        sampler = Sampler(AudioSample(data, root_note=60))
        sampler.note_on(67, 100)
        return sampler.render(40)

    values = [k / 64 - 0.25 for k in range(64)]
    assert as_bits(render(shapes(values)[shape])) == as_bits(render(Items(values)))


@pytest.mark.parametrize("shape", SHAPES)
def test_mix_down_mixes_the_same_from_every_shape(shape):
    mixer = Mixer()
    for pan in (-0.5, 0.25):
        mixer.set_channel_pan(mixer.add_channel("c"), pan)
    finite = [value for value in VALUES if value == value]
    reference = mixer.mix_down([Items(finite), Items(finite[::-1])])
    given = mixer.mix_down([shapes(finite)[shape], shapes(finite[::-1])[shape]])
    assert as_bits(given) == as_bits(reference)


def test_mix_down_of_a_two_dimensional_array_reads_its_rows():
    mixer = Mixer()
    mixer.add_channel("a"), mixer.add_channel("b")
    rows = numpy.arange(12, dtype=numpy.float32).reshape(2, 6) / 8
    assert as_bits(mixer.mix_down(rows)) == as_bits(mixer.mix_down([Items(rows[0]), Items(rows[1])]))


def test_arrays_are_copied():
    source = numpy.array([0.5, 0.25], dtype=numpy.float32)
    sample = AudioSample(source)
    source[0] = 9.0
    assert sample.data() == [0.5, 0.25]


# Shapes that hold a bad item somewhere: each must fail exactly as a plain
# sequence with the same items does.
BAD = [0.25] * 300 + ["x"] + [0.5]
BAD_SHAPES = {
    "list": BAD, "tuple": tuple(BAD), "custom sequence": Items(BAD),
    "numpy objects": numpy.array(BAD, dtype=object),
}


def failure(call, *args):
    with pytest.raises(BaseException) as info:
        call(*args)
    return type(info.value), str(info.value)


@pytest.mark.parametrize("shape", list(BAD_SHAPES))
def test_a_bad_item_fails_alike_everywhere(shape):
    expected = (TypeError, "argument 'data': must be real number, not str")
    assert failure(AudioSample, BAD_SHAPES[shape]) == expected
    mixer = Mixer()
    mixer.add_channel("a")
    assert failure(mixer.mix_down, [BAD_SHAPES[shape]]) == (
        TypeError, "argument 'channel_buffers': must be real number, not str")


@pytest.mark.parametrize("data, message", [
    ("abc", "argument 'data': Can't extract `str` to `Vec`"),
    (5, "argument 'data': 'int' object is not an instance of 'Sequence'"),
    (numpy.float32(1.0), "argument 'data': 'float32' object is not an instance of 'Sequence'"),
    (numpy.zeros((2, 2), dtype=numpy.float32), None),
])
def test_refusals_are_unchanged(data, message):
    kind, text = failure(AudioSample, data)
    assert kind is TypeError
    if message is None:  # a 2-D array is iterated: its rows are not numbers
        assert text == failure(AudioSample, list(data))[1]
    else:
        assert text == message


def test_a_released_memoryview_reports_as_before():
    view = memoryview(array.array("f", [1.0]))
    view.release()
    assert failure(AudioSample, view) == (ValueError, "operation forbidden on released memoryview object")


@pytest.mark.parametrize("subclass", [LongList, LengthlessTuple])
def test_a_list_or_tuple_subclass_is_read_for_its_items_whatever_its_length_says(subclass):
    values = [0.5, -0.25]
    assert AudioSample(subclass(values)).data() == values
    mixer = Mixer()
    mixer.add_channel("c")
    assert mixer.mix_down(subclass([subclass(values)])) == mixer.mix_down([values])


def test_a_masked_array_is_read_as_iteration_reads_it():
    masked = numpy.ma.masked_array([0.5, 2.0, 0.25], mask=[False, True, False], dtype=numpy.float32)
    with pytest.warns(UserWarning):
        expected = AudioSample(Items(masked)).data()
    with pytest.warns(UserWarning):
        assert as_bits(AudioSample(masked).data()) == as_bits(expected)


@pytest.mark.parametrize("shape", SHAPES)
def test_mix_down_storage_reused_between_calls_starts_clean(shape):
    mixer = Mixer()
    mixer.add_channel("a"), mixer.add_channel("b")
    long = [0.25] * 5000
    mixer.mix_down([long, long])
    with pytest.raises(TypeError):
        mixer.mix_down([long, long[:99] + ["x"]])  # fails after reading into reused storage
    short = [0.5, -0.125, 0.75]
    assert as_bits(mixer.mix_down([shapes(short)[shape], shapes(short[::-1])[shape]])) == as_bits(
        mixer.mix_down([Items(short), Items(short[::-1])]))
