import math

import pytest

from conftest import bits, f32
from ostina import NoiseSource, SawOscillator, SineOscillator, SquareOscillator

TONES = [SineOscillator, SquareOscillator, SawOscillator]
SOURCES = [lambda: SineOscillator(1234.5, 0.7), lambda: SquareOscillator(-300.0, 0.5),
           lambda: SawOscillator(97.0, 2.0, 8000), lambda: NoiseSource(0.3, 7)]


def sine(p):
    return math.sin((p + p) * 3.141592653589793)


WAVES = {SineOscillator: sine, SquareOscillator: lambda p: 1.0 if p < 0.5 else -1.0,
         SawOscillator: lambda p: (p + p) - 1.0}


def tone_reference(cls, frequency, amplitude, rate, frames):
    increment, phase, out = frequency / rate, 0.0, []
    for _ in range(frames):
        out.append(f32(WAVES[cls](phase) * amplitude))
        phase = phase + increment
        phase = phase - math.floor(phase)
    return out


def noise_reference(amplitude, seed, frames):
    state, out = seed, []
    for _ in range(frames):
        state = (state * 6364136223846793005 + 1) % 2**64
        out.append(f32(((state >> 33) / 1073741824.0 + -1.0) * amplitude))
    return out


@pytest.mark.parametrize("cls, expected", [
    (SineOscillator, [0.0, 0.06264832615852356]),
    (SawOscillator, [-1.0, -0.9800453782081604]),
    (SquareOscillator, [1.0, 1.0]),
])
def test_first_samples(cls, expected):
    assert cls().render_to_buffer(2) == expected


def test_square_quarter_rate():
    assert SquareOscillator(11025, 1.0, 44100).render_to_buffer(5) == [1.0, 1.0, -1.0, -1.0, 1.0]


@pytest.mark.parametrize("cls", TONES)
@pytest.mark.parametrize("frequency, amplitude, rate", [
    (440.0, 1.0, 44100), (-261.6, 0.5, 48000), (30000.0, 3.0, 44100), (0.0, 1.0, 1), (-0.0, 1.0, 7),
    (-1e-300, 1.0, 1),                      # the wrap rounds up to exactly 1.0
    (1e17, 1.0, 3), (-2.0**60, 1.0, 1),     # phases past 2^52 are already integral
    (0.75, 1.0, 1), (-0.25, 1.0, 1), (1.0 - 2**-53, 1.0, 1),
])
def test_tones_match_their_formula_bit_for_bit(cls, frequency, amplitude, rate):
    rendered = cls(frequency, amplitude, rate).render_to_buffer(500)
    assert [bits(x) for x in rendered] == [bits(x) for x in tone_reference(cls, frequency, amplitude, rate, 500)]


@pytest.mark.parametrize("amplitude, seed", [(1.0, 42), (0.25, 0), (-1.0, 2**64 - 1)])
def test_noise_matches_its_generator(amplitude, seed):
    assert NoiseSource(amplitude, seed).render_to_buffer(300) == noise_reference(amplitude, seed, 300)


def test_noise_is_centred_in_both_signs():
    samples = NoiseSource().render_to_buffer(100_000)
    assert min(samples) < -0.99 and max(samples) > 0.99
    assert -1.0 <= min(samples) and max(samples) < 1.0
    assert abs(sum(samples) / len(samples)) < 0.01


def test_noise_seeds():
    assert NoiseSource(seed=0).render_to_buffer(1) == [-1.0]
    assert NoiseSource(seed=5).render_to_buffer(50) == NoiseSource(seed=5).render_to_buffer(50)
    assert NoiseSource(seed=5).render_to_buffer(50) != NoiseSource(seed=6).render_to_buffer(50)


@pytest.mark.parametrize("make", SOURCES)
def test_split_renders_equal_one_render(make):
    split = make()
    pieces = split.render_to_buffer(3) + split.render_to_buffer(0) + split.render_to_buffer(5)
    assert pieces == make().render_to_buffer(8)


@pytest.mark.parametrize("cls", [SineOscillator, SawOscillator])
def test_zero_rate_turns_the_phase_nan(cls):
    first, *rest = cls(440.0, 1.0, 0).render_to_buffer(4)
    assert first == tone_reference(cls, 440.0, 1.0, 1, 1)[0]
    assert all(math.isnan(x) for x in rest)


def test_zero_rate_square_settles_low():
    assert SquareOscillator(0.0, 0.5, 0).render_to_buffer(3) == [0.5, -0.5, -0.5]


@pytest.mark.parametrize("make, text", [
    (SineOscillator, "SineOscillator(frequency=440, amplitude=1, sample_rate=44100)"),
    (lambda: SawOscillator(220.5, 0.5, 48000), "SawOscillator(frequency=220.5, amplitude=0.5, sample_rate=48000)"),
    (lambda: SquareOscillator(1e21, -0.0, 0), "SquareOscillator(frequency=1000000000000000000000, amplitude=-0, "
                                              "sample_rate=0)"),
    (lambda: SineOscillator(float("nan"), float("-inf")), "SineOscillator(frequency=NaN, amplitude=-inf, "
                                                          "sample_rate=44100)"),
    (lambda: SineOscillator(1e-7, 0.1), "SineOscillator(frequency=0.0000001, amplitude=0.1, sample_rate=44100)"),
    (NoiseSource, "NoiseSource(amplitude=1)"),
    (lambda: NoiseSource(0.25), "NoiseSource(amplitude=0.25)"),
])
def test_reprs(make, text):
    assert repr(make()) == str(make()) == text


@pytest.mark.parametrize("cls", TONES)
def test_tone_properties_are_read_only(cls):
    tone = cls(220.0, 0.5, 22050)
    assert (tone.frequency, tone.amplitude, tone.sample_rate) == (220.0, 0.5, 22050)
    with pytest.raises(AttributeError):
        tone.frequency = 1.0


@pytest.mark.parametrize("call, kind, message", [
    (lambda: SineOscillator(sample_rate=-1), OverflowError, "out of range integral type conversion attempted"),
    (lambda: SawOscillator(frequency="x"), TypeError, "argument 'frequency': must be real number, not str"),
    (lambda: SquareOscillator(frequency=None), TypeError, "argument 'frequency': must be real number, not NoneType"),
    (lambda: NoiseSource(amplitude=[]), TypeError, "argument 'amplitude': must be real number, not list"),
    (lambda: NoiseSource(seed=-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: NoiseSource().render_to_buffer(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda: SineOscillator().render_to_buffer(), TypeError,
     "SineOscillator.render_to_buffer() missing 1 required positional argument: 'frames'"),
])
def test_failures(raises_exactly, call, kind, message):
    raises_exactly(kind, message, call)


@pytest.mark.parametrize("make", SOURCES)
def test_capacity_overflow_leaves_the_state_alone(make):
    source, fresh = make(), make()
    with pytest.raises(BaseException, match="^capacity overflow$") as info:
        source.render_to_buffer(2**62)
    assert type(info.value).__name__ == "PanicException"
    assert source.render_to_buffer(10) == fresh.render_to_buffer(10)


@pytest.mark.parametrize("make", SOURCES)
def test_reentrant_frames_conversion_is_refused(raises_exactly, make):
    source, fresh = make(), make()

    class Frames:
        def __index__(self):
            source.amplitude  # a read while the render holds the source
            return 4

    raises_exactly(RuntimeError, "Already mutably borrowed", source.render_to_buffer, Frames())
    assert source.render_to_buffer(4) == fresh.render_to_buffer(4)
