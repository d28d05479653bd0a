import ctypes
import ctypes.util
import math
import random
import subprocess
import sys
import textwrap

import pytest

from conftest import Callback, bits, f32, needs_plain_allocator
from ostina import AudioSample, Envelope, SampleMap, SampleMapping, Sampler

DASH = "\u2013"
LIBM = ctypes.CDLL(ctypes.util.find_library("m"))
LIBM.exp2.restype = ctypes.c_double
LIBM.exp2.argtypes = [ctypes.c_double]
FLAT = (0.0, 0.0, 1.0, 0.0)  # full level from the first frame, cut at note-off


def ramp(frames, step=1 / 16):
    return [k * step for k in range(frames)]


def sampler_of(data, envelope=FLAT, loop=None, rate=44100, sample_rate=44100, root_note=60, max_voices=8):
    sample = AudioSample(data, sample_rate, root_note)
    if loop is not None:
        sample.loop_start, sample.loop_end = loop
    sampler = Sampler(sample, rate, max_voices)
    sampler.set_envelope(Envelope(*envelope))
    return sampler


def same_bits(left, right):
    return [bits(x) for x in left] == [bits(x) for x in right]


# ---------------------------------------------------------------------------
# An independent model of the voice engine, frame-major as the algorithm is
# written, with every 32-bit step narrowed through ctypes.

def hz(note):
    return LIBM.exp2((note + -69.0) / 12.0) * 440.0


def clamp_time(value):
    return value if value >= 0.0 else 0.0


def clamp_level(value):
    return 0.0 if value < 0.0 else 1.0 if value > 1.0 else value


def saturate(position):
    if not position > 0.0:
        return 0
    return min(int(position), 2**64 - 1)


class ModelVoice:
    def __init__(self, note, velocity, increment, envelope):
        self.note, self.increment, self.envelope = note, increment, envelope
        self.gain = velocity / 127.0
        self.level = self.t = self.release_level = self.position = 0.0
        self.stage, self.active = "A", True

    def finish(self):
        self.level, self.stage, self.active = 0.0, "F", False

    def step_envelope(self):
        a, d, s, r = self.envelope
        if self.stage == "A":
            self.level = 1.0 if a <= 0 else self.t / a
            if a <= 0 or self.level >= 1.0:
                self.stage, self.level, self.t = "D", 1.0, 0.0
        elif self.stage == "D":
            if d <= 0:
                self.level, self.stage = s, "S"
            else:
                self.level = 1.0 - (self.t / d) * (1.0 - s)
                if self.level <= s:
                    self.level, self.stage = s, "S"
        elif self.stage == "S":
            self.level = s
        elif self.stage == "R":
            if r <= 0:
                self.finish()
            else:
                self.level = (1.0 - self.t / r) * self.release_level
                if self.level <= 0:
                    self.finish()
        else:
            self.active = False
        return self.active


class Model:
    def __init__(self, data, loop, rate, sample_rate, root_note, max_voices):
        self.data = [f32(x) for x in data]
        self.loop, self.rate, self.sample_rate = loop, rate, sample_rate
        self.root_note, self.max_voices = root_note, max_voices
        self.envelope = (0.005, 0.1, 0.8, 0.1)
        self.voices = []

    def set_envelope(self, a, d, s, r):
        self.envelope = (clamp_time(a), clamp_time(d), clamp_level(s), clamp_time(r))

    def note_on(self, note, velocity):
        if self.voices and len(self.voices) >= self.max_voices:
            del self.voices[0]
        increment = (self.sample_rate / self.rate) * (hz(note) / hz(self.root_note))
        self.voices.append(ModelVoice(note, velocity, increment, self.envelope))

    def release(self, note=None):
        for voice in self.voices:
            if voice.stage != "F" and note in (None, voice.note):
                voice.stage, voice.t, voice.release_level = "R", 0.0, voice.level

    def usable_loop(self):
        if self.loop is None:
            return None
        start, end = self.loop
        return self.loop if start < end <= len(self.data) else None

    def read(self, voice):
        """The interpolated value, or None when the voice runs out of data."""
        data, loop = self.data, self.usable_loop()
        i = saturate(voice.position)
        if loop and i >= loop[1]:
            voice.position = math.fmod(voice.position - loop[0], loop[1] - loop[0]) + loop[0]
            i = saturate(voice.position)
        if i >= len(data):
            return None
        s0 = data[i]
        s1 = data[i + 1] if i + 1 < len(data) else s0
        frac = f32(voice.position - i)
        return f32(f32(f32(s1 - s0) * frac) + s0)

    def render(self, frames):
        dt, out = 1.0 / self.rate, []
        for _ in range(frames):
            total = 0.0
            for voice in self.voices:
                if not voice.active or not voice.step_envelope():
                    continue
                voice.t += dt
                value = self.read(voice)
                if value is None:
                    voice.active = False
                    continue
                voice.position += voice.increment
                total = f32(total + f32(f32(voice.gain) * f32(f32(voice.level) * value)))
            out.append(-1.0 if total < -1.0 else 1.0 if total > 1.0 else total)
        self.voices = [voice for voice in self.voices if voice.active]
        return out


# ---------------------------------------------------------------------------
# AudioSample

def test_sample_defaults_and_repr():
    sample = AudioSample([0.25] * 44100)
    assert (len(sample), sample.sample_rate, sample.root_note) == (44100, 44100, 69)
    assert (sample.loop_start, sample.loop_end) == (None, None)
    assert repr(sample) == "AudioSample(samples=44100, sr=44100, root_note=69, duration=1.000s)"


@pytest.mark.parametrize("frames, rate, duration, text", [
    (0, 44100, 0.0, "0.000"),
    (10, 0, 0.0, "0.000"),
    (1, 8, 0.125, "0.125"),
    (1, 16, 0.0625, "0.062"),     # a tie goes to the even digit
    (3, 7, 3 / 7, "0.429"),
])
def test_sample_duration(frames, rate, duration, text):
    sample = AudioSample([0.0] * frames, sample_rate=rate)
    assert bits(sample.duration_seconds()) == bits(duration)
    assert repr(sample) == f"AudioSample(samples={frames}, sr={rate}, root_note=69, duration={text}s)"


def test_empty_sample_is_false():
    assert not AudioSample([]) and AudioSample([0.0])


def test_sample_data_is_narrowed_and_copied():
    source = [0.1, 1e40, -2, True]
    sample = AudioSample(source)
    data = sample.data()
    assert same_bits(data, [f32(0.1), math.inf, -2.0, 1.0])
    data[0] = 5.0
    source[0] = 5.0
    assert bits(sample.data()[0]) == bits(f32(0.1))
    assert AudioSample(range(3)).data() == [0.0, 1.0, 2.0]


def test_root_note_checks_and_failed_write_keeps_value(raises_exactly):
    raises_exactly(ValueError, f"Note out of range: 128 (must be 0{DASH}127)", AudioSample, [0.0], root_note=128)
    sample = AudioSample([0.0], root_note=60)
    with pytest.raises(ValueError, match="200"):
        sample.root_note = 200
    assert sample.root_note == 60
    sample.root_note = 127
    assert sample.root_note == 127


def test_loop_points_are_stored_as_given():
    sample = AudioSample([0.0] * 4)
    sample.loop_start, sample.loop_end = 5, 3
    assert (sample.loop_start, sample.loop_end) == (5, 3)
    sample.loop_start = 2**64 - 1
    assert sample.loop_start == 2**64 - 1
    sample.loop_end = None
    assert sample.loop_end is None


@pytest.mark.parametrize("prop, value, kind, message", [
    ("loop_start", "x", TypeError, "argument 'start': 'str' object cannot be interpreted as an integer"),
    ("loop_end", -1, OverflowError, "can't convert negative int to unsigned"),
    ("root_note", 1.0, TypeError, "argument 'note': 'float' object cannot be interpreted as an integer"),
    ("root_note", 300, OverflowError, "out of range integral type conversion attempted"),
])
def test_sample_setter_errors(raises_exactly, prop, value, kind, message):
    sample = AudioSample([0.0])
    sample.loop_end = 1
    raises_exactly(kind, message, setattr, sample, prop, value)
    assert (sample.loop_start, sample.loop_end, sample.root_note) == (None, 1, 69)


def test_sample_rate_is_read_only():
    with pytest.raises(AttributeError):
        AudioSample([]).sample_rate = 1


# ---------------------------------------------------------------------------
# Envelope

def test_envelope_defaults_and_repr():
    envelope = Envelope()
    assert (envelope.attack, envelope.decay, envelope.sustain, envelope.release) == (0.005, 0.1, 0.8, 0.1)
    assert repr(envelope) == "Envelope(A=0.005, D=0.100, S=0.80, R=0.100)"
    assert repr(Envelope(0.0005, 2.5, 0.125, 1e9)) == "Envelope(A=0.001, D=2.500, S=0.12, R=1000000000.000)"


@pytest.mark.parametrize("field, given, stored", [
    ("attack", -1.0, 0.0), ("decay", math.nan, 0.0), ("release", -math.inf, 0.0), ("attack", math.inf, math.inf),
    ("sustain", -0.2, 0.0), ("sustain", 1.5, 1.0), ("sustain", math.nan, math.nan), ("sustain", 0.3, 0.3),
])
def test_envelope_clamps_on_construction_and_write(field, given, stored):
    built = Envelope(**{field: given})
    written = Envelope()
    setattr(written, field, given)
    assert bits(getattr(built, field)) == bits(getattr(written, field)) == bits(stored)


def test_envelope_equality():
    assert Envelope() == Envelope() and not Envelope() != Envelope()
    assert Envelope() != Envelope(release=0.2)
    odd = Envelope(sustain=math.nan)
    assert odd != odd and repr(odd) == "Envelope(A=0.005, D=0.100, S=NaN, R=0.100)"
    assert Envelope() != (0.005, 0.1, 0.8, 0.1)
    with pytest.raises(TypeError):
        Envelope() < Envelope()  # noqa: B015
    with pytest.raises(TypeError):
        hash(Envelope())


def test_envelope_setter_names_its_parameter(raises_exactly):
    envelope = Envelope()
    raises_exactly(TypeError, "argument 'val': must be real number, not str", setattr, envelope, "decay", "x")
    assert envelope == Envelope()


# ---------------------------------------------------------------------------
# SampleMapping and SampleMap

SAMPLE = AudioSample([0.5, -0.5], 22050, 60)


@pytest.mark.parametrize("bounds, message", [
    ((128, 200, 128, 128), f"Note out of range: 128 (must be 0{DASH}127)"),
    ((0, 200, 128, 128), f"Note out of range: 200 (must be 0{DASH}127)"),
    ((0, 0, 128, 255), f"Velocity out of range: 128 (must be 0{DASH}127)"),
    ((0, 0, 0, 255), f"Velocity out of range: 255 (must be 0{DASH}127)"),
])
def test_mapping_checks_in_parameter_order(raises_exactly, bounds, message):
    raises_exactly(ValueError, message, SampleMapping, SAMPLE, *bounds)


@pytest.mark.parametrize("note, velocity, expected", [
    (60, 0, True), (72, 127, True), (73, 64, False), (59, 64, False), (66, 10, True),
])
def test_mapping_matches_inclusive_bounds(note, velocity, expected):
    mapping = SampleMapping(SAMPLE, 60, 72, 0, 127)
    assert mapping.matches(note, velocity) is expected
    assert repr(mapping) == "SampleMapping(notes=60-72, vel=0-127)"


def test_inverted_mapping_matches_nothing():
    mapping = SampleMapping(SAMPLE, 72, 60, 0, 127)
    assert not any(mapping.matches(note, 64) for note in range(128))


def test_matches_checks_note_then_velocity(raises_exactly):
    mapping = SampleMapping(SAMPLE, 0, 127, 0, 127)
    raises_exactly(ValueError, f"Note out of range: 128 (must be 0{DASH}127)", mapping.matches, 128, 128)
    raises_exactly(ValueError, f"Velocity out of range: 128 (must be 0{DASH}127)", mapping.matches, 0, 128)


def test_map_first_match_in_insertion_order():
    low, high = AudioSample([0.25], root_note=1), AudioSample([0.75], root_note=2)
    zones = SampleMap()
    zones.add_mapping(SampleMapping(low, 0, 127, 0, 127))
    zones.add_mapping(SampleMapping(high, 60, 72, 0, 127))
    assert zones.find_sample(64, 100).root_note == 1
    assert len(zones) == zones.mapping_count() == 2 and repr(zones) == "SampleMap(mappings=2)"
    narrow = SampleMap()
    narrow.add_mapping(SampleMapping(high, 60, 72, 0, 127))
    narrow.add_mapping(SampleMapping(low, 0, 127, 0, 127))
    assert narrow.find_sample(64, 100).root_note == 2
    assert narrow.find_sample(80, 100).root_note == 1


def test_map_lookup_checks_and_misses(raises_exactly):
    empty = SampleMap()
    assert empty.find_sample(60, 100) is None and not empty and repr(empty) == "SampleMap(mappings=0)"
    raises_exactly(ValueError, f"Note out of range: 128 (must be 0{DASH}127)", empty.find_sample, 128, 0)
    raises_exactly(ValueError, f"Velocity out of range: 200 (must be 0{DASH}127)", empty.find_sample, 0, 200)


def test_map_copies_in_and_out():
    sample = AudioSample([0.5, 0.25], 8000, 50)
    sample.loop_start, sample.loop_end = 0, 2
    zones = SampleMap.single_sample(sample)
    mapping = SampleMapping(sample, 0, 10, 0, 10)
    zones.add_mapping(mapping)
    sample.root_note, sample.loop_end = 51, None
    found = zones.find_sample(127, 127)
    assert (found.data(), found.sample_rate, found.root_note, found.loop_start, found.loop_end) == \
        ([0.5, 0.25], 8000, 50, 0, 2)
    found.root_note = 0
    assert zones.find_sample(127, 127).root_note == 50
    assert zones.find_sample(0, 0) is not zones.find_sample(0, 0)


def test_map_argument_types(raises_exactly):
    raises_exactly(TypeError, "argument 'mapping': 'AudioSample' object is not an instance of 'SampleMapping'",
                   SampleMap().add_mapping, SAMPLE)
    raises_exactly(TypeError, "argument 'sample': 'None' is not an instance of 'AudioSample'",
                   SampleMap.single_sample, None)


# ---------------------------------------------------------------------------
# Sampler: construction, properties, validation

def test_sampler_defaults():
    sampler = Sampler(SAMPLE)
    assert repr(sampler) == "Sampler(max_voices=8, active=0, sr=44100)"
    assert (sampler.max_voices, sampler.sample_rate, sampler.active_voice_count()) == (8, 44100, 0)
    sampler.max_voices = 2**64 - 1
    sampler.note_on(60, 1)
    assert repr(sampler) == f"Sampler(max_voices={2**64 - 1}, active=1, sr=44100)"
    with pytest.raises(AttributeError):
        sampler.sample_rate = 1


@pytest.mark.parametrize("call, kind, message", [
    (lambda s: s.note_on(128, 128), ValueError, f"Note out of range: 128 (must be 0{DASH}127)"),
    (lambda s: s.note_on(60, 128), ValueError, f"Velocity out of range: 128 (must be 0{DASH}127)"),
    (lambda s: s.note_off(255), ValueError, f"Note out of range: 255 (must be 0{DASH}127)"),
    (lambda s: s.note_on(300, 1), OverflowError, "out of range integral type conversion attempted"),
    (lambda s: s.note_on(60, 1.0), TypeError, "argument 'velocity': 'float' object cannot be interpreted as an integer"),
    (lambda s: s.render(-1), OverflowError, "can't convert negative int to unsigned"),
    (lambda s: s.render("x"), TypeError, "argument 'frames': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.set_envelope(None), TypeError, "argument 'envelope': 'None' is not an instance of 'Envelope'"),
    (lambda s: setattr(s, "max_voices", "x"), TypeError, "argument 'v': 'str' object cannot be interpreted as an integer"),
    (lambda s: s.all_notes_off(1), TypeError, "Sampler.all_notes_off() takes no arguments (1 given)"),
])
def test_failed_calls_leave_voices_untouched(raises_exactly, call, kind, message):
    sampler, twin = (sampler_of(ramp(64), envelope=(0.001, 0.01, 0.5, 0.01)) for _ in range(2))
    for s in (sampler, twin):
        s.note_on(60, 100)
        s.render(30)
    raises_exactly(kind, message, call, sampler)
    assert (sampler.max_voices, sampler.active_voice_count()) == (8, 1)
    assert same_bits(sampler.render(80), twin.render(80))


def test_constructor_argument_errors(raises_exactly):
    raises_exactly(TypeError, "argument 'sample': 'list' object is not an instance of 'AudioSample'", Sampler, [0.0])
    raises_exactly(TypeError, "Sampler.__new__() missing 1 required positional argument: 'sample'", Sampler)
    raises_exactly(OverflowError, "out of range integral type conversion attempted", Sampler, SAMPLE, 2**32)


def test_impossible_render_size_changes_nothing():
    sampler = sampler_of([0.5] * 4)
    sampler.note_on(60, 127)
    with pytest.raises(BaseException) as info:
        sampler.render(2**62)
    assert type(info.value).__name__ == "PanicException" and str(info.value) == "capacity overflow"
    assert sampler.active_voice_count() == 1 and sampler.render(5) == [0.5] * 4 + [0.0]


@needs_plain_allocator
def test_list_failure_leaves_voices_untouched():
    # The block fits under the address-space limit, the list of floats does not.
    script = textwrap.dedent("""
        import resource
        from ostina import AudioSample, Sampler
        sampler = Sampler(AudioSample([0.5] * 4, root_note=60))
        sampler.note_on(60, 127)
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) for line in status if line.startswith("VmSize")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 800 * 2**20, resource.RLIM_INFINITY))
        try:
            sampler.render(50_000_000)
        except MemoryError:
            print("MemoryError", sampler.active_voice_count())
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.stdout.split() == ["MemoryError", "1"], result.stderr


@pytest.mark.parametrize("call", [
    lambda s: s.note_on(Callback(s.active_voice_count, 60), 100),
    lambda s: s.render(Callback(lambda: repr(s), 5)),
    lambda s: s.note_off(Callback(lambda: s.max_voices, 60)),
])
def test_reentrant_argument_meets_the_held_sampler(raises_exactly, call):
    sampler = sampler_of([0.5] * 16)
    sampler.note_on(60, 127)
    raises_exactly(RuntimeError, "Already mutably borrowed", call, sampler)
    assert sampler.active_voice_count() == 1 and sampler.render(2) == [0.5, 0.5]


def test_sampler_keeps_its_own_copies():
    sample = AudioSample([0.5] * 8, root_note=60)
    sampler = Sampler(sample)
    envelope = Envelope(0.0, 0.0, 0.5, 0.0)
    sampler.set_envelope(envelope)
    sample.root_note, sample.loop_start, sample.loop_end = 72, 0, 8
    envelope.sustain = 1.0
    sampler.note_on(60, 127)
    assert sampler.render(10) == [0.5] + [0.25] * 7 + [0.0, 0.0]  # the attack frame sounds at 1.0


# ---------------------------------------------------------------------------
# Sampler: playback

def test_default_envelope_reaches_full_level_on_frame_221():
    sampler = sampler_of([1.0] * 300, envelope=(0.005, 0.1, 0.8, 0.1))
    sampler.note_on(60, 127)
    out = sampler.render(230)
    t, expected = 0.0, []
    for _ in range(222):
        expected.append(f32(t / 0.005))
        t += 1 / 44100
    expected[221] = 1.0
    assert same_bits(out[:222], expected)
    assert out.index(1.0) == 221 and out[0] == 0.0
    assert 0.8 < out[222] < 1.0  # the decay starts from t = dt


@pytest.mark.parametrize("note, root, sample_rate, rate, increment", [
    (60, 60, 44100, 44100, 1.0), (72, 60, 44100, 44100, 2.0), (48, 60, 44100, 44100, 0.5),
    (69, 69, 22050, 44100, 0.5), (81, 69, 48000, 48000, 2.0), (57, 69, 96000, 48000, 1.0),
])
def test_increments(note, root, sample_rate, rate, increment):
    sampler = sampler_of(ramp(64, 1 / 128), rate=rate, sample_rate=sample_rate, root_note=root)
    sampler.note_on(note, 127)
    assert sampler.render(16) == [k * increment / 128 for k in range(16)]


ONCE = list(range(8)) + [None] * 4  # None: the voice has ended


@pytest.mark.parametrize("loop, frames_read", [
    ((2, 6), [0, 1, 2, 3, 4, 5] + [2, 3, 4, 5] * 4),
    ((2, 8), list(range(8)) + [2, 3, 4, 5, 6, 7] * 3),
    ((0, 1), [0] * 20),
    ((2, 9), ONCE), ((6, 2), ONCE), ((4, 4), ONCE), ((None, 6), ONCE), ((2, None), ONCE),
])
def test_loop_read_orders(loop, frames_read):
    sampler = sampler_of(ramp(8), loop=loop, root_note=60)
    sampler.note_on(60, 127)
    out = sampler.render(len(frames_read))
    assert out == [0.0 if frame is None else frame / 16 for frame in frames_read]
    assert sampler.active_voice_count() == (0 if frames_read[-1] is None else 1)


def test_loop_seam_interpolates_with_the_frame_after_the_loop():
    sampler = sampler_of(ramp(8), loop=(2, 6), root_note=72)
    sampler.note_on(60, 127)  # increment 0.5
    out = sampler.render(16)
    assert out[11] == f32(f32((6 / 16 - 5 / 16) * 0.5) + 5 / 16)
    assert out[12:16] == [2 / 16, f32(2.5 / 16), 3 / 16, f32(3.5 / 16)]


def test_loop_continues_through_release():
    sampler = sampler_of([0.5] * 4, envelope=(0.0, 0.0, 1.0, 1.0), loop=(0, 4))
    sampler.note_on(60, 127)
    sampler.render(10)
    sampler.note_off(60)
    out = sampler.render(20)
    assert all(0.0 < x <= 0.5 for x in out) and sampler.active_voice_count() == 1


def test_non_looping_voice_ends_after_its_data():
    sampler = sampler_of([0.25] * 5)
    sampler.note_on(60, 127)
    assert sampler.render(7) == [0.25] * 5 + [0.0, 0.0]
    assert sampler.active_voice_count() == 0


@pytest.mark.parametrize("data", [[], [0.5]])
def test_short_samples(data):
    sampler = sampler_of(data)
    sampler.note_on(60, 127)
    assert sampler.render(3) == data + [0.0] * (3 - len(data))
    assert sampler.active_voice_count() == 0


def test_render_zero_and_no_voices():
    sampler = sampler_of([0.5] * 8)
    assert sampler.render(5) == [0.0] * 5
    sampler.note_on(60, 127)
    assert sampler.render(0) == [] and sampler.active_voice_count() == 1
    assert sampler.render(2) == [0.5, 0.5]


@pytest.mark.parametrize("max_voices, notes, survivors", [
    (2, [60, 61, 62], [61, 62]),
    (0, [60, 61], [61]),
    (1, [60, 60], [60]),
    (3, [60, 60], [60, 60]),
])
def test_stealing_drops_the_oldest(max_voices, notes, survivors):
    sampler = sampler_of([1 / 64] * 64, max_voices=max_voices)
    velocities = {60: 127, 61: 64, 62: 32}
    for note in notes:
        sampler.note_on(note, velocities[note])
    model = Model([1 / 64] * 64, None, 44100, 44100, 60, max_voices)
    model.set_envelope(*FLAT)
    for note in survivors:
        model.note_on(note, velocities[note])
    assert sampler.active_voice_count() == len(survivors)
    assert same_bits(sampler.render(3), model.render(3))


def test_stealing_removes_one_voice_even_over_the_limit():
    sampler = sampler_of([0.0] * 8)
    for note in range(4):
        sampler.note_on(note, 1)
    sampler.max_voices = 1
    sampler.note_on(10, 1)
    assert sampler.active_voice_count() == 4
    sampler.note_off(0)  # the oldest was stolen: nothing releases
    sampler.render(1)
    assert sampler.active_voice_count() == 4


def test_note_off_releases_every_voice_of_the_note():
    sampler = sampler_of([0.25] * 64)
    for note in (60, 60, 61):
        sampler.note_on(note, 127)
    sampler.note_off(62)
    assert sampler.render(1) == [0.75]
    sampler.note_off(60)
    assert sampler.render(1) == [0.25] and sampler.active_voice_count() == 1
    sampler.all_notes_off()
    assert sampler.render(1) == [0.0] and sampler.active_voice_count() == 0


def test_voice_released_before_any_render_never_sounds():
    sampler = sampler_of([1.0] * 64, envelope=(0.0, 0.0, 1.0, 0.5))
    sampler.note_on(60, 127)
    sampler.note_off(60)
    assert sampler.render(3) == [0.0] * 3 and sampler.active_voice_count() == 0


def test_release_restarts_from_the_current_level():
    sampler = sampler_of([1.0] * 64, envelope=(0.0, 0.0, 1.0, 10 / 44100), rate=44100)
    model = Model([1.0] * 64, None, 44100, 44100, 60, 8)
    model.set_envelope(0.0, 0.0, 1.0, 10 / 44100)
    for target in (sampler, model):
        target.note_on(60, 127)
    outs = []
    for target, off in ((sampler, sampler.note_off), (model, model.release)):
        out = target.render(2)
        off(60)
        out += target.render(4)
        off(60)
        out += target.render(12)
        outs.append(out)
    assert same_bits(*outs)
    assert outs[0][6] == outs[0][5] and outs[0][6] > outs[0][7] > 0.0
    assert outs[0][-1] == 0.0 and sampler.active_voice_count() == 0


def test_release_time_zero_cuts_on_the_next_frame():
    sampler = sampler_of([0.5] * 64)
    sampler.note_on(60, 127)
    sampler.render(3)
    sampler.note_off(60)
    assert sampler.render(2) == [0.0, 0.0] and sampler.active_voice_count() == 0


@pytest.mark.parametrize("value, count, expected", [(0.9, 3, 1.0), (-0.6, 2, -1.0), (0.3, 3, f32(f32(0.3) * 3))])
def test_sum_is_clamped_per_frame(value, count, expected):
    sampler = sampler_of([value] * 8)
    for _ in range(count):
        sampler.note_on(60, 127)
    assert sampler.render(1) == [expected]


def test_nan_passes_the_clamp():
    sampler = sampler_of([math.nan, 2.0])
    sampler.note_on(60, 127)
    out = sampler.render(2)
    assert math.isnan(out[0]) and out[1] == 1.0


def test_set_envelope_affects_only_later_voices():
    sampler = sampler_of([1.0] * 64)
    sampler.note_on(60, 127)
    sampler.set_envelope(Envelope(0.0, 0.0, 0.5, 0.0))
    sampler.note_on(61, 127)
    assert sampler.render(1) == [1.0]  # 1.0 + 0.5, clamped
    sampler.note_off(61)
    assert sampler.render(1) == [1.0]
    sampler.note_on(62, 127)
    sampler.note_off(60)
    assert sampler.render(2) == [1.0, 0.5]  # the attack frame sounds at 1.0


def test_panic_silences_everything():
    sampler = sampler_of([0.5] * 64, loop=(0, 64))
    for note in (60, 61, 62):
        sampler.note_on(note, 100)
    sampler.render(10)
    sampler.panic()
    assert sampler.active_voice_count() == 0 and sampler.render(4) == [0.0] * 4


# ---------------------------------------------------------------------------
# Against the model

def random_sample(rng):
    frames = rng.choice([0, 1, 2, rng.randrange(3, 40)])
    data = [rng.uniform(-1.2, 1.2) for _ in range(frames)]
    loop = rng.choice([None, None, (rng.randrange(0, frames + 2), rng.randrange(0, frames + 2)),
                       (0, frames), (frames // 3, max(1, frames - 2))])
    return data, loop


def random_envelope(rng):
    def time():
        return rng.choice([0.0, -0.1, rng.uniform(0.0, 0.004), rng.uniform(0.0, 0.02)])
    return time(), time(), rng.choice([0.0, 1.0, rng.uniform(-0.2, 1.2)]), time()


@pytest.mark.parametrize("seed", range(12))
def test_random_sessions_match_the_model(seed):
    rng = random.Random(seed)
    data, loop = random_sample(rng)
    rate = rng.choice([8000, 22050, 44100])
    sample_rate = rng.choice([8000, 44100, 48000])
    root, max_voices = rng.randrange(40, 90), rng.randrange(0, 6)
    sampler = sampler_of(data, envelope=(0.005, 0.1, 0.8, 0.1), loop=loop, rate=rate,
                         sample_rate=sample_rate, root_note=root, max_voices=max_voices)
    model = Model(data, loop, rate, sample_rate, root, max_voices)
    notes = [rng.randrange(30, 100) for _ in range(4)]
    for _ in range(60):
        action = rng.random()
        if action < 0.35:
            note, velocity = rng.choice(notes), rng.randrange(0, 128)
            sampler.note_on(note, velocity)
            model.note_on(note, velocity)
        elif action < 0.55:
            note = rng.choice(notes)
            sampler.note_off(note)
            model.release(note)
        elif action < 0.6:
            sampler.all_notes_off()
            model.release()
        elif action < 0.7:
            envelope = random_envelope(rng)
            sampler.set_envelope(Envelope(*envelope))
            model.set_envelope(*envelope)
        else:
            frames = rng.choice([0, 1, rng.randrange(2, 200)])
            assert same_bits(sampler.render(frames), model.render(frames))
        assert sampler.active_voice_count() == len(model.voices)


@pytest.mark.parametrize("blocks", [[1, 999], [300, 0, 300, 400], [7] * 142 + [6]])
def test_blocks_join_to_one_render(blocks):
    def started():
        data = [math.sin(k / 5.0) for k in range(200)]
        sampler = sampler_of(data, envelope=(0.002, 0.004, 0.6, 0.01), loop=(50, 180), root_note=57)
        for note in (57, 64, 69, 45):
            sampler.note_on(note, 90)
        sampler.note_off(64)  # one voice fades out across the blocks
        return sampler

    sampler, joined = started(), []
    for size in blocks:
        joined += sampler.render(size)
    assert same_bits(joined, started().render(1000))


def test_long_looped_session_matches_the_model():
    data = [0.4 * math.sin(k / 7.0) for k in range(300)]
    settings = dict(loop=(40, 290), rate=44100, sample_rate=48000, root_note=60, max_voices=8)
    sampler = sampler_of(data, envelope=(0.001, 0.003, 0.7, 0.002), **settings)
    model = Model(data, **{key: settings[key] for key in ("loop", "rate", "sample_rate", "root_note", "max_voices")})
    model.set_envelope(0.001, 0.003, 0.7, 0.002)
    for note, velocity in ((48, 100), (55, 90), (60, 127), (67, 60), (72, 30)):
        sampler.note_on(note, velocity)
        model.note_on(note, velocity)
    assert same_bits(sampler.render(2000), model.render(2000))
    sampler.note_off(55)
    model.release(55)
    assert same_bits(sampler.render(800), model.render(800))


@pytest.mark.parametrize("loop, tail, voices", [(None, [0.0], 0), ((0, 4), [math.nan] * 3, 1)])
def test_zero_output_rate_follows_ieee_arithmetic(loop, tail, voices):
    sampler = sampler_of([0.5] * 4, envelope=(0.005, 0.1, 0.8, 0.1), loop=loop, rate=0)
    sampler.note_on(60, 127)  # an infinite increment and time step
    out = sampler.render(1 + len(tail))
    assert out[0] == 0.0 and [math.isnan(x) or x for x in out[1:]] == [math.isnan(x) or x for x in tail]
    assert sampler.active_voice_count() == voices
