"""Small banks built in code for the synthesizer core's tests, and the helpers
that play them: what a voice does can then be held against its formula."""
import math

import numpy as np

from ostina_render._synth import Bank, Synthesizer

RATE = 44100
CENTRE = math.cos(math.pi / 4)  # each side's share of a voice panned to the middle


def timecents(seconds):
    return round(1200 * math.log2(seconds))


def frames_of(timecents_value, rate=RATE):
    return round(2 ** (timecents_value / 1200) * rate)


def key_range(low, high):
    return low | high << 8


def bank_of(data, generators=(), rate=RATE, root=60, loop=None, correction=0, program=0, bank=0):
    """A bank of one preset: one sample under one instrument zone with `generators`."""
    built = Bank()
    loop_start, loop_end = loop or (0, 0)
    sample = built.add_sample(np.asarray(data, np.float32), rate, root, correction, loop_start, loop_end)
    instrument = built.add_instrument([(sample, list(generators))])
    built.add_preset(bank, program, [(instrument, [])])
    return built


def dc_bank(generators=(), value=1.0, frames=4 * RATE):
    """A constant looped sample: whatever plays it shows its envelope and gain directly."""
    return bank_of(np.full(frames, value), [("sampleModes", 1), *generators], loop=(0, frames))


def sine_bank(hz, generators=(), rate=RATE, root=60, correction=0, cycles=200):
    """A looped sine whose whole cycles fill the loop, recorded at `rate` with `root` as its key."""
    frames = round(cycles * rate / hz)
    hz = cycles * rate / frames  # exactly periodic in the loop
    wave = np.sin(2 * np.pi * hz * np.arange(frames) / rate)
    return bank_of(wave, [("sampleModes", 1), *generators], rate, root, (0, frames), correction), hz


def synthesizer(bank, polyphony=256, full_volume=True, channels=(0,)):
    """A synthesizer of `bank` alone; with `full_volume` its channels' CC7 is at 127, so that
    levels show the zone's own attenuation."""
    synth = Synthesizer([bank], builtin=False, rate=RATE, polyphony=polyphony)
    if full_volume:
        for channel in channels:
            synth.control_change(channel, 7, 127)
    return synth


def render(synth, frames):
    """The next frames as a (frames, 2) float32 array."""
    return np.frombuffer(synth.render(frames), np.float32).reshape(-1, 2)


def frequency(mono, rate=RATE):
    """The frequency of a steady tone: whole cycles between its first and last rising
    zero crossings, each placed between frames by linear interpolation."""
    rising = np.flatnonzero((mono[:-1] < 0) & (mono[1:] >= 0))
    at = rising + mono[rising] / (mono[rising] - mono[rising + 1])
    return (len(at) - 1) * rate / (at[-1] - at[0])


def cents(ratio):
    return 1200 * math.log2(ratio)
