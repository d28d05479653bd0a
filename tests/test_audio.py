import pytest

from conftest import bits, f32
from ostina import AudioBuffer, AudioFormat


@pytest.mark.parametrize("args, rate, channels, text, shown", [
    ((), 44100, 2, "44100Hz 2ch", "AudioFormat(sample_rate=44100, channels=2)"),
    ((0, 0), 0, 0, "0Hz 0ch", "AudioFormat(sample_rate=0, channels=0)"),
    ((4294967295, 65535), 4294967295, 65535, "4294967295Hz 65535ch",
     "AudioFormat(sample_rate=4294967295, channels=65535)"),
])
def test_format_fields_and_texts(args, rate, channels, text, shown):
    fmt = AudioFormat(*args)
    assert (fmt.sample_rate, fmt.channels, str(fmt), repr(fmt)) == (rate, channels, text, shown)


@pytest.mark.parametrize("args, frames, length, shown", [
    ((0,), 0, 0, "AudioBuffer(frames=0, sample_rate=44100, channels=1)"),
    ((10, 44100, 0), 0, 0, "AudioBuffer(frames=0, sample_rate=44100, channels=0)"),
    ((4, 44100, 2), 4, 8, "AudioBuffer(frames=4, sample_rate=44100, channels=2)"),
    ((3, 48000, 2), 3, 6, "AudioBuffer(frames=3, sample_rate=48000, channels=2)"),
])
def test_buffer_shape(args, frames, length, shown):
    buffer = AudioBuffer(*args)
    assert (buffer.frames, len(buffer), repr(buffer)) == (frames, length, shown)
    assert buffer.to_list() == [0.0] * length
    assert all(bits(x) == bits(0.0) for x in buffer.to_list())


def test_interleaved_positions():
    buffer = AudioBuffer(4, channels=2)
    buffer.set_sample(1, 1, 0.5)
    assert buffer.to_list()[3] == 0.5 and buffer.sample_at(1, 1) == 0.5
    assert sum(buffer.to_list()) == 0.5


@pytest.mark.parametrize("args, frame, channel", [
    ((4,), 4, 0),
    ((4, 44100, 2), 0, 2),          # a channel past the frame's width is refused, not wrapped
    ((10, 44100, 0), 0, 0),
    ((4, 44100, 2), 2**63, 0),      # the flat index would wrap around
    ((4, 44100, 2), 2**64 - 1, 1),
])
def test_positions_outside_are_refused(raises_exactly, args, frame, channel):
    buffer = AudioBuffer(*args)
    raises_exactly(IndexError, "Index out of bounds", buffer.sample_at, frame, channel)
    before = buffer.to_list()
    raises_exactly(IndexError, "Index out of bounds", buffer.set_sample, frame, channel, 1.0)
    assert buffer.to_list() == before


@pytest.mark.parametrize("value", [0.1, 1e40, -1e40, float("nan"), -0.0, 1e-46, 3.4028235e38])
def test_stored_values_are_narrowed(value):
    buffer = AudioBuffer(1)
    buffer.set_sample(0, 0, value)
    assert bits(buffer.sample_at(0, 0)) == bits(f32(value))


def test_narrowing_examples():
    buffer = AudioBuffer(2)
    buffer.set_sample(0, 0, 0.1)
    buffer.set_sample(1, 0, 1e40)
    assert buffer.to_list() == [0.10000000149011612, float("inf")]


def test_clear_zeroes_every_sample():
    buffer = AudioBuffer(3, channels=2)
    for frame in range(3):
        buffer.set_sample(frame, 1, -0.0 if frame == 0 else 0.25)
    buffer.clear()
    assert [bits(x) for x in buffer.to_list()] == [bits(0.0)] * 6


def test_format_is_a_fresh_copy():
    buffer = AudioBuffer(8)
    assert buffer.format == AudioFormat(44100, 1)
    assert buffer.format != AudioFormat()
    assert buffer.format is not buffer.format


def test_to_list_is_a_copy():
    buffer = AudioBuffer(2)
    samples = buffer.to_list()
    samples[0] = 9.0
    buffer.set_sample(1, 0, 1.0)
    assert samples == [9.0, 0.0] and buffer.to_list() == [0.0, 1.0]
