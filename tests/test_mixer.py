import ctypes
import ctypes.util
import math
import random

import pytest

from conftest import Callback, bits, f32
from ostina import Mixer, MixerChannel

# The pan factors come from the system library's single-precision routines;
# numpy's float32 sine and cosine differ from them in the last bit for many angles.
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
for _name in ("sinf", "cosf"):
    getattr(LIBM, _name).restype = ctypes.c_float
    getattr(LIBM, _name).argtypes = [ctypes.c_float]

PI32 = f32(math.pi)
NAN = float("nan")


# --- a small model of the mixer, in 32-bit steps ---------------------------

def pan_factors(pan):
    theta = f32(f32(f32(pan + 1.0) * 0.25) * PI32)
    return LIBM.cosf(theta), LIBM.sinf(theta)


def pan_law(sample, gain, pan):
    v = f32(f32(sample) * gain)
    left, right = pan_factors(pan)
    return f32(v * left), f32(v * right)


def model_mix(settings, buffers, master):
    """settings: (gain, pan, mute, solo) per channel, values as stored."""
    frames = len(buffers[0])
    out = [0.0] * (2 * frames)
    any_solo = any(solo for _, _, _, solo in settings)
    for (gain, pan, mute, solo), buffer in zip(settings, buffers):
        if (any_solo and not solo) or mute:
            continue
        for i, x in enumerate(buffer[:frames]):
            left, right = pan_law(x, gain, pan)
            out[2 * i] = f32(out[2 * i] + left)
            out[2 * i + 1] = f32(out[2 * i + 1] + right)
    return [f32(x * master) for x in out]


def same(got, expected):
    """Equal bits, except that any NaN matches any NaN (its sign and payload are not the point)."""
    return [math.isnan(x) or bits(x) for x in got] == [math.isnan(x) or bits(x) for x in expected]


def mixer_of(*names):
    mixer = Mixer()
    for name in names:
        mixer.add_channel(name)
    return mixer


def state(mixer):
    return repr(mixer), [repr(mixer.get_channel(i)) for i in range(len(mixer))]


# --- MixerChannel ---------------------------------------------------------

def test_channel_defaults():
    channel = MixerChannel()
    assert (channel.name, channel.gain, channel.pan, channel.mute, channel.solo) == ("Channel", f32(0.8), 0.0, False, False)
    assert repr(channel) == "MixerChannel(name='Channel', gain=0.80, pan=0.00, mute=false, solo=false)"
    assert MixerChannel(name="").name == ""


CLAMPS = [  # (given, stored gain, stored pan)
    (3.0, 2.0, 1.0), (-1.0, 0.0, -1.0), (5.0, 2.0, 1.0), (0.1, f32(0.1), f32(0.1)), (-0.3, 0.0, f32(-0.3)),
    (-0.0, -0.0, -0.0), (NAN, NAN, NAN), (float("inf"), 2.0, 1.0), (float("-inf"), 0.0, -1.0),
    (2.0000001, 2.0, 1.0), (1e300, 2.0, 1.0),  # narrowing to inf still clamps
    (2, 2.0, 1.0), (True, 1.0, 1.0),
]


@pytest.mark.parametrize("given, gain, pan", CLAMPS)
def test_gain_and_pan_clamp_everywhere(given, gain, pan):
    channel, mixer = MixerChannel(), mixer_of("a")
    channel.gain, channel.pan = given, given
    mixer.set_channel_gain(0, given)
    mixer.set_channel_pan(0, given)
    mixer.master_gain = given
    copy = mixer.get_channel(0)
    assert same((channel.gain, copy.gain, mixer.master_gain), [gain] * 3)
    assert same((channel.pan, copy.pan), [pan] * 2)


@pytest.mark.parametrize("given, text", [(NAN, "NaN"), (-0.0, "-0.00"), (1.5, "1.50"), (0.125, "0.12"),
                                         (0.375, "0.38"), (0.005, "0.00"), (0.015, "0.01"), (3.0, "2.00")])
def test_channel_repr_prints_two_decimals_of_the_stored_float(given, text):
    channel = MixerChannel("Lead 1")
    channel.gain = given
    channel.pan = -0.25
    channel.mute = True
    assert repr(channel) == f"MixerChannel(name='Lead 1', gain={text}, pan=-0.25, mute=true, solo=false)"


def test_repr_inserts_names_as_they_are():
    assert repr(MixerChannel("it's \"x\"")) == "MixerChannel(name='it's \"x\"', gain=0.80, pan=0.00, mute=false, solo=false)"
    assert repr(mixer_of("a, b", "ü")) == "Mixer(master_gain=0.80, channels=[a, b, ü])"


@pytest.mark.parametrize("names, listed", [(["", "Bass"], ", Bass"), (["", ""], ", "), (["Keys", ""], "Keys, ")])
def test_mixer_repr_separates_empty_names(names, listed):
    assert repr(mixer_of(*names)) == f"Mixer(master_gain=0.80, channels=[{listed}])"


@pytest.mark.parametrize("attribute, value, message", [
    ("gain", "x", "argument 'gain': must be real number, not str"),
    ("pan", None, "argument 'pan': must be real number, not NoneType"),
    ("name", 5, "argument 'name': 'int' object is not an instance of 'str'"),
    ("mute", 1, "argument 'mute': 'int' object is not an instance of 'bool'"),
    ("solo", None, "argument 'solo': 'NoneType' object is not an instance of 'bool'"),
])
def test_channel_setters_name_their_argument(attribute, value, message, raises_exactly):
    channel = MixerChannel()
    raises_exactly(TypeError, message, setattr, channel, attribute, value)
    assert repr(channel) == repr(MixerChannel())
    with pytest.raises(AttributeError):
        delattr(channel, attribute)


def test_channel_setters_store():
    channel = MixerChannel()
    channel.name, channel.mute, channel.solo = "Bass", True, True
    assert (channel.name, channel.mute, channel.solo) == ("Bass", True, True)
    with pytest.raises(AttributeError):
        channel.volume = 1.0


PANS = [-1.0, -0.5, 0.0, 0.5, 1.0, -0.0, 0.3, -0.77, 1e-8, NAN]
SAMPLES = [1.0, 0.5, -0.3, 0.1, 1e-30, 3.0, -0.0, NAN, float("inf")]


@pytest.mark.parametrize("pan", PANS)
@pytest.mark.parametrize("gain", [0.8, 1.0, 0.37, 2.0, 0.0])
def test_process_sample_follows_the_pan_law(pan, gain):
    channel = MixerChannel()
    channel.gain, channel.pan = gain, pan
    for sample in SAMPLES:
        got = channel.process_sample(sample)
        assert type(got) is tuple
        assert same(got, pan_law(sample, channel.gain, channel.pan))


@pytest.mark.parametrize("pan, left, right", [
    (-1.0, 1.0, 0.0), (-0.5, 0.92387950, 0.38268346), (0.0, 0.70710677, 0.70710677),
    (0.5, 0.38268343, 0.92387950), (1.0, -4.3711388e-08, 1.0),
])
def test_pan_gains_at_unit_level(pan, left, right):
    channel = MixerChannel()
    channel.gain, channel.pan = 1.0, pan
    assert channel.process_sample(1.0) == (f32(left), f32(right))


def test_process_sample_mute_and_solo():
    channel = MixerChannel()
    assert channel.process_sample(0.5) == (f32(f32(0.5 * f32(0.8)) * LIBM.cosf(f32(0.25 * PI32))),) * 2
    channel.solo = True
    assert channel.process_sample(0.5) == MixerChannel().process_sample(0.5)
    channel.mute = True
    assert [bits(x) for x in channel.process_sample(NAN)] == [bits(0.0)] * 2


def test_channel_equality():
    a, b = MixerChannel("Drums"), MixerChannel("Drums")
    assert a == b and not (a != b)
    b.pan = 0.5
    assert a != b and not (a == b)
    b.pan = -0.0
    assert a == b
    for field, value in (("gain", 1.0), ("mute", True), ("solo", True), ("name", "drums")):
        c = MixerChannel("Drums")
        setattr(c, field, value)
        assert a != c
    assert MixerChannel("\u00e9") != MixerChannel("e\u0301")  # byte for byte, no normalisation
    assert (a == "Drums") is False and (a != "Drums") is True
    with pytest.raises(TypeError):
        a < b
    with pytest.raises(TypeError, match="unhashable type: 'builtins.MixerChannel'"):
        hash(a)


def test_nan_gain_never_equal():
    a = MixerChannel()
    a.gain = NAN
    assert a != a and not (a == a)
    assert a != MixerChannel() and not (MixerChannel() == a)


# --- Mixer: channels ------------------------------------------------------

def test_new_mixer():
    mixer = Mixer()
    assert (len(mixer), mixer.channel_count(), mixer.channel_names(), bool(mixer)) == (0, 0, [], False)
    assert mixer.master_gain == f32(0.8)
    assert repr(mixer) == "Mixer(master_gain=0.80, channels=[])"
    with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
        Mixer(1)


def test_add_channel_indices_and_names():
    mixer = Mixer()
    assert [mixer.add_channel(n) for n in ("Drums", "Bass", "Drums")] == [0, 1, 2]
    mixer.master_gain = 1
    assert (len(mixer), bool(mixer), mixer.channel_names()) == (3, True, ["Drums", "Bass", "Drums"])
    assert repr(mixer) == "Mixer(master_gain=1.00, channels=[Drums, Bass, Drums])"
    assert mixer.get_channel(1) == MixerChannel("Bass")


def test_remove_channel_shifts_and_returns_the_channel():
    mixer = mixer_of("Drums", "Bass", "Keys")
    mixer.set_channel_pan(0, 0.25)
    removed = mixer.remove_channel(0)
    assert type(removed) is MixerChannel and removed.name == "Drums" and removed.pan == 0.25
    assert mixer.channel_names() == ["Bass", "Keys"]
    assert mixer.get_channel(0) == MixerChannel("Bass")
    assert mixer.remove_channel(1).name == "Keys" and mixer.channel_names() == ["Bass"]


@pytest.mark.parametrize("index", [3, 5, 2**64 - 1])
def test_remove_past_the_end_returns_none(index):
    mixer = mixer_of("Drums", "Bass", "Keys")
    before = state(mixer)
    assert mixer.remove_channel(index) is None
    assert state(mixer) == before


def test_channels_come_out_as_copies():
    mixer = mixer_of("Drums")
    copy = mixer.get_channel(0)
    copy.gain, copy.name = 1.5, "Other"
    assert mixer.get_channel(0) == MixerChannel("Drums")
    mixer.set_channel_gain(0, 0.1)
    mixer.set_channel_mute(0, True)
    assert (copy.gain, copy.mute) == (1.5, False)
    assert mixer.get_channel(0) is not mixer.get_channel(0)


def test_per_channel_setters():
    mixer = mixer_of("a", "b")
    mixer.set_channel_gain(1, 1.25)
    mixer.set_channel_pan(1, -0.5)
    mixer.set_channel_mute(1, True)
    mixer.set_channel_solo(1, True)
    expected = MixerChannel("b")
    expected.gain, expected.pan, expected.mute, expected.solo = 1.25, -0.5, True, True
    assert mixer.get_channel(1) == expected and mixer.get_channel(0) == MixerChannel("a")


@pytest.mark.parametrize("call, message", [
    (lambda m: m.get_channel(5), "Channel index 5 out of range (3)"),
    (lambda m: m.get_channel(3), "Channel index 3 out of range (3)"),
    (lambda m: m.get_channel(2**64 - 1), "Channel index 18446744073709551615 out of range (3)"),
    (lambda m: m.set_channel_gain(5, 1.0), "Channel index 5 out of range"),
    (lambda m: m.set_channel_pan(3, 1.0), "Channel index 3 out of range"),
    (lambda m: m.set_channel_mute(5, True), "Channel index 5 out of range"),
    (lambda m: m.set_channel_solo(5, False), "Channel index 5 out of range"),
])
def test_index_errors(call, message, raises_exactly):
    mixer = mixer_of("Drums", "Bass", "Keys")
    before = state(mixer)
    raises_exactly(IndexError, message, call, mixer)
    assert state(mixer) == before


@pytest.mark.parametrize("call, kind, message", [
    (lambda m: m.get_channel(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda m: m.remove_channel(2**64), OverflowError, "int too big to convert"),
    (lambda m: m.remove_channel(0.0), TypeError, "argument 'index': 'float' object cannot be interpreted as an integer"),
    (lambda m: m.set_channel_gain(99, "x"), TypeError, "argument 'gain': must be real number, not str"),
    (lambda m: m.set_channel_pan(-1, "x"), OverflowError, "can't convert negative int to unsigned"),
    (lambda m: m.set_channel_mute(99, 1), TypeError, "argument 'mute': 'int' object is not an instance of 'bool'"),
    (lambda m: m.set_channel_solo(0), TypeError, "Mixer.set_channel_solo() missing 1 required positional argument: 'solo'"),
    (lambda m: m.add_channel(None), TypeError, "argument 'name': 'NoneType' object is not an instance of 'str'"),
    (lambda m: m.add_channel(), TypeError, "Mixer.add_channel() missing 1 required positional argument: 'name'"),
    (lambda m: m.channel_count(1), TypeError, "Mixer.channel_count() takes no arguments (1 given)"),
    (lambda m: setattr(m, "master_gain", "x"), TypeError, "argument 'gain': must be real number, not str"),
])
def test_argument_failures_change_nothing(call, kind, message, raises_exactly):
    mixer = mixer_of("Drums", "Bass", "Keys")
    before = state(mixer)
    raises_exactly(kind, message, call, mixer)
    assert state(mixer) == before


# --- Mixer: mix_down ------------------------------------------------------

def test_mix_down_doc():
    assert Mixer.mix_down.__doc__ == "Mix a list of per-channel mono sample buffers into interleaved stereo output."
    assert Mixer.mix_down.__text_signature__ == "($self, channel_buffers)"


def test_empty_mixer_mixes_to_nothing():
    assert Mixer().mix_down([]) == [] and Mixer().mix_down(()) == []


@pytest.mark.parametrize("names, buffers, message", [
    (("a", "b"), [], "Expected 2 buffers, got 0"),
    ((), [[1.0]], "Expected 0 buffers, got 1"),
    (("a",), [[1.0], [], []], "Expected 1 buffers, got 3"),
])
def test_buffer_count_must_match(names, buffers, message, raises_exactly):
    raises_exactly(ValueError, message, mixer_of(*names).mix_down, buffers)


def test_muted_and_silenced_channels_still_need_their_buffer(raises_exactly):
    mixer = mixer_of("a", "b")
    mixer.set_channel_mute(0, True)
    mixer.set_channel_solo(1, True)
    raises_exactly(ValueError, "Expected 2 buffers, got 1", mixer.mix_down, [[1.0]])


@pytest.mark.parametrize("buffers, message", [
    ("ab", "argument 'channel_buffers': Can't extract `str` to `Vec`"),
    (5, "argument 'channel_buffers': 'int' object is not an instance of 'Sequence'"),
    ([[1.0], "ab"], "argument 'channel_buffers': Can't extract `str` to `Vec`"),
    ([[1.0], [None]], "argument 'channel_buffers': must be real number, not NoneType"),
    ([[1.0] * 100, [0.0] * 99 + ["x"]], "argument 'channel_buffers': must be real number, not str"),
    ([[1.0], {1.0}], "argument 'channel_buffers': 'set' object is not an instance of 'Sequence'"),
])
def test_the_whole_argument_is_converted_before_the_count(buffers, message, raises_exactly):
    # Three channels against two buffers: the conversion error still wins.
    mixer = mixer_of("a", "b", "c")
    before = state(mixer)
    raises_exactly(TypeError, message, mixer.mix_down, buffers)
    assert state(mixer) == before


def test_default_channel_single_sample():
    expected = f32(f32(f32(f32(1.0) * f32(0.8)) * LIBM.cosf(f32(0.25 * PI32))) * f32(0.8))
    assert mixer_of("a").mix_down([[1.0]]) == [expected, expected]
    assert abs(expected - 0.45254835) < 1e-7


@pytest.mark.parametrize("first, second, expected_frames", [(3, 5, 3), (5, 3, 5), (0, 4, 0), (4, 0, 4)])
def test_frames_come_from_buffer_zero(first, second, expected_frames):
    mixer = mixer_of("a", "b")
    mixer.master_gain = 1.0
    a, b = [0.25 * (i + 1) for i in range(first)], [-0.125 * (i + 1) for i in range(second)]
    out = mixer.mix_down([a, b])
    assert len(out) == 2 * expected_frames
    assert out == model_mix([(f32(0.8), 0.0, False, False)] * 2, [a, b], 1.0)


def test_hard_pans():
    mixer = mixer_of("left", "right")
    mixer.set_channel_gain(0, 1.0)
    mixer.set_channel_gain(1, 1.0)
    mixer.set_channel_pan(0, -1.0)
    mixer.set_channel_pan(1, 1.0)
    mixer.master_gain = 1.0
    assert [bits(x) for x in mixer.mix_down([[0.5], [0.0]])] == [bits(0.5), bits(0.0)]
    assert mixer.mix_down([[0.0], [0.5]]) == [f32(-4.3711388e-08 * 0.5), 0.5]


@pytest.mark.parametrize("mute, solo, heard", [
    ((False, False, False), (False, True, False), [1]),
    ((False, True, False), (False, True, False), []),       # a soloed muted channel stays silent
    ((False, False, False), (True, False, True), [0, 2]),
    ((False, False, False), (False, False, False), [0, 1, 2]),
    ((True, False, False), (False, False, False), [1, 2]),
])
def test_solo_and_mute(mute, solo, heard):
    mixer = mixer_of("a", "b", "c")
    for i in range(3):
        mixer.set_channel_mute(i, mute[i])
        mixer.set_channel_solo(i, solo[i])
        mixer.set_channel_pan(i, [-1.0, 0.0, 1.0][i])
    buffers = [[0.5, 0.25], [0.125, 1.0], [1.0, -0.5]]
    settings = [(f32(0.8), [-1.0, 0.0, 1.0][i], i not in heard, False) for i in range(3)]
    assert mixer.mix_down(buffers) == model_mix(settings, buffers, f32(0.8))


def test_master_gain_applies_once_and_nothing_clips():
    mixer = mixer_of("a", "b")
    for i in range(2):
        mixer.set_channel_gain(i, 2.0)
    buffers = [[1.0, -1.0, 0.75], [1.0, -1.0, 0.0]]
    mixer.master_gain = 1.0
    unity = mixer.mix_down(buffers)
    assert max(unity) > 2.0 and min(unity) < -2.0
    mixer.master_gain = 2.0
    assert mixer.mix_down(buffers) == [f32(x * 2.0) for x in unity]
    mixer.master_gain = 0.0
    assert [bits(x) for x in mixer.mix_down(buffers)] == [bits(math.copysign(0.0, x)) for x in unity]


def test_master_gain_scales_the_sum_not_each_contribution():
    # 0.7 and 0.11 scaled by 0.3 round differently when each term is scaled first.
    settings = [(1.0, -1.0, False, False)] * 2
    mixer = mixer_of("a", "b")
    for i in range(2):
        mixer.set_channel_gain(i, 1.0)
        mixer.set_channel_pan(i, -1.0)
    mixer.master_gain = 0.3
    buffers = [[0.7, 1e-3], [0.11, 7.0]]
    out = mixer.mix_down(buffers)
    assert out[0] != f32(f32(f32(0.7) * f32(0.3)) + f32(f32(0.11) * f32(0.3)))
    assert [bits(x) for x in out] == [bits(x) for x in model_mix(settings, buffers, f32(0.3))]


def test_sequences_other_than_lists():
    mixer = mixer_of("a", "b")
    assert mixer.mix_down((range(3), (0.5, 1, True))) == mixer.mix_down([[0.0, 1.0, 2.0], [0.5, 1.0, 1.0]])


def test_mix_down_reads_and_never_changes():
    mixer = mixer_of("a", "b")
    mixer.set_channel_pan(1, 0.3)
    buffers = [[0.1, 0.2], [0.3, 0.4]]
    before = state(mixer)
    assert mixer.mix_down(buffers) == mixer.mix_down(buffers)
    assert state(mixer) == before and buffers == [[0.1, 0.2], [0.3, 0.4]]


def test_random_mixes_match_the_model():
    rng = random.Random(20261208)
    for _ in range(60):
        count = rng.randint(1, 6)
        mixer = mixer_of(*(f"c{i}" for i in range(count)))
        for i in range(count):
            mixer.set_channel_gain(i, rng.choice([rng.uniform(-0.5, 2.5), 1.0, 0.0]))
            mixer.set_channel_pan(i, rng.choice([rng.uniform(-1.5, 1.5), -1.0, 1.0, 0.0]))
            mixer.set_channel_mute(i, rng.random() < 0.2)
            mixer.set_channel_solo(i, rng.random() < 0.15)
        mixer.master_gain = rng.uniform(0.0, 2.2)
        buffers = [[rng.uniform(-1.5, 1.5) for _ in range(rng.randint(0, 40))] for _ in range(count)]
        channels = [mixer.get_channel(i) for i in range(count)]
        settings = [(c.gain, c.pan, c.mute, c.solo) for c in channels]
        expected = model_mix(settings, buffers, mixer.master_gain)
        assert same(mixer.mix_down(buffers), expected)


# --- re-entrancy and late failures ----------------------------------------

def test_conversion_calling_back_into_a_changing_mixer(raises_exactly):
    mixer = mixer_of("a")
    before = state(mixer)
    raises_exactly(RuntimeError, "Already mutably borrowed", mixer.set_channel_gain, 0, Callback(mixer.channel_names))
    raises_exactly(RuntimeError, "Already borrowed", mixer.mix_down, [[Callback(lambda: mixer.add_channel("x"))]])
    raises_exactly(RuntimeError, "Already mutably borrowed", mixer.remove_channel, Callback(mixer.channel_count))
    assert state(mixer) == before
    # Reading while mixing is fine: mix_down holds the mixer shared.
    assert mixer.mix_down([[Callback(mixer.channel_count, 1.0)]]) == mixer.mix_down([[1.0]])


def test_property_setter_converts_before_taking_the_channel():
    channel = MixerChannel()
    channel.gain = Callback(lambda: channel.pan, 1.5)
    assert channel.gain == 1.5


def test_a_shrinking_buffer_is_read_as_far_as_it_goes():
    mixer = mixer_of("a")
    buffer = [0.5, 0.25, 0.125, 1.0]
    buffer[1] = Callback(lambda: buffer.pop(), 0.25)
    assert mixer.mix_down([buffer]) == mixer.mix_down([[0.5, 0.25, 0.125]])


@pytest.mark.parametrize("channels, call", [
    (2, lambda m: m.remove_channel(0)),
    (300, lambda m: m.add_channel("new")),  # an index past the small-int cache is allocated
])
def test_running_out_of_memory_for_the_result_changes_nothing(channels, call):
    testcapi = pytest.importorskip("_testcapi")
    failures = 0
    for start in range(8):
        mixer = mixer_of(*(f"c{i}" for i in range(channels)))
        before = state(mixer)
        testcapi.set_nomemory(start, start + 1)
        try:
            call(mixer)
        except MemoryError:
            failures += 1
            after = state(mixer)
        else:
            after = None
        finally:
            testcapi.remove_mem_hooks()
        if after is not None:
            assert after == before
    assert failures > 0
