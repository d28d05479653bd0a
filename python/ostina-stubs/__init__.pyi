"""Type information for the ostina extension module.

Samples are 32-bit floats handed out as Python floats; beats, seconds, Hz and
frame counts are named in each docstring. Integer parameters take anything
with `__index__`, float parameters anything with `__float__` or `__index__`.
"""

from collections.abc import Sequence
from typing import ClassVar, Literal, Protocol, Self, SupportsFloat, SupportsIndex, TypeAlias, final, type_check_only


_Int: TypeAlias = SupportsIndex
_Float: TypeAlias = SupportsFloat | SupportsIndex

@type_check_only
class _Samples(Protocol):
    """Anything the interpreter treats as a sequence of numbers: list, tuple, range, array."""

    def __len__(self) -> int:
        """The number of samples."""
    def __getitem__(self, index: int, /) -> _Float: ...

_EventKind: TypeAlias = Literal["note_on", "note_off"]

@type_check_only
class _ComparedByValue:
    """Equal when every field is equal; unhashable and unordered."""

    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...
    __hash__: ClassVar[None]  # type: ignore[assignment]

@final
class AudioFormat(_ComparedByValue):
    """A sample rate (frames per second) and a channel count; compares by value."""

    def __new__(cls, sample_rate: _Int = 44100, channels: _Int = 2) -> Self: ...
    @property
    def sample_rate(self) -> int:
        """Frames per second (int, 0..2**32-1)."""
    @property
    def channels(self) -> int:
        """Samples per frame (int, 0..65535)."""

@final
class AudioBuffer:
    """A zeroed block of 32-bit samples stored interleaved; len() is the sample count."""

    def __new__(cls, frames: _Int, sample_rate: _Int = 44100, channels: _Int = 1) -> Self: ...
    @property
    def frames(self) -> int:
        """Frame count (int): the sample count divided by channels, 0 without channels."""
    @property
    def format(self) -> AudioFormat:
        """A new AudioFormat with this buffer's rate and channel count."""
    def sample_at(self, frame: _Int, channel: _Int) -> float:
        """The sample at (frame, channel) as a float; IndexError outside the buffer."""
    def set_sample(self, frame: _Int, channel: _Int, value: _Float) -> None:
        """Store `value`, narrowed to 32 bits, at (frame, channel); IndexError outside the buffer."""
    def clear(self) -> None:
        """Set every sample to 0.0."""
    def to_list(self) -> list[float]:
        """All samples in interleaved order, as a new list of floats."""
    def __len__(self) -> int:
        """The sample count (frames x channels), not the frame count."""

@type_check_only
class _MidiValue(_ComparedByValue):
    """What the checked MIDI numbers share."""

    def __new__(cls, value: _Int) -> Self: ...
    @property
    def value(self) -> int:
        """The number (int): 0-127, or 0-15 for a channel."""

@final
class MidiChannel(_MidiValue):
    """A MIDI channel number 0-15; compares by value."""

@final
class Note(_MidiValue):
    """A MIDI note number 0-127 (69 is A4 = 440 Hz); compares by value."""

    def to_hz(self) -> float:
        """Frequency in Hz (float), twelve-tone equal temperament with A4 = 440 Hz."""
    @staticmethod
    def from_hz(hz: _Float) -> Note:
        """The nearest Note for a frequency in Hz, clamped to 0-127 (never raises a range error)."""

@final
class Velocity(_MidiValue):
    """A MIDI velocity 0-127; compares by value."""

@final
class MidiMessage(_ComparedByValue):
    """An immutable MIDI message, made only by the static constructors; compares by value."""

    @staticmethod
    def note_on(channel: _Int, note: _Int, velocity: _Int) -> MidiMessage:
        """A NoteOn message (channel 0-15, note and velocity 0-127)."""
    @staticmethod
    def note_off(channel: _Int, note: _Int, velocity: _Int) -> MidiMessage:
        """A NoteOff message (channel 0-15, note and velocity 0-127)."""
    @staticmethod
    def control_change(channel: _Int, control: _Int, value: _Int) -> MidiMessage:
        """A ControlChange message (channel 0-15, control 0-127, value 0-255 unchecked)."""
    @staticmethod
    def program_change(channel: _Int, program: _Int) -> MidiMessage:
        """A ProgramChange message (channel 0-15, program 0-255 unchecked)."""
    @staticmethod
    def pitch_bend(channel: _Int, value: _Int) -> MidiMessage:
        """A PitchBend message (channel 0-15, value 0-65535 stored as given)."""
    @staticmethod
    def clock() -> MidiMessage:
        """A Clock real-time message."""
    @staticmethod
    def start() -> MidiMessage:
        """A Start real-time message."""
    @staticmethod
    def stop() -> MidiMessage:
        """A Stop real-time message."""

@final
class MidiEvent:
    """A MIDI message stamped with a time in microseconds."""

    def __new__(cls, message: MidiMessage, timestamp_us: _Int) -> Self: ...
    @property
    def message(self) -> MidiMessage:
        """A new copy of the stamped message."""
    @property
    def timestamp_us(self) -> int:
        """The timestamp in microseconds (int)."""

@type_check_only
class _Tone:
    """What the three tone oscillators share."""

    def __new__(cls, frequency: _Float = 440.0, amplitude: _Float = 1.0, sample_rate: _Int = 44100) -> Self: ...
    @property
    def frequency(self) -> float:
        """Frequency in Hz (float)."""
    @property
    def amplitude(self) -> float:
        """Peak value the waveform is scaled by (float)."""
    @property
    def sample_rate(self) -> int:
        """Samples per second (int)."""
    def render_to_buffer(self, frames: _Int) -> list[float]:
        """The next `frames` samples as a new list of floats (32-bit values)."""

@final
class SineOscillator(_Tone):
    """A sine tone rendered on demand; the phase carries on from call to call."""

@final
class SquareOscillator(_Tone):
    """A square tone (+amplitude then -amplitude per cycle) rendered on demand."""

@final
class SawOscillator(_Tone):
    """A rising saw tone from -amplitude towards +amplitude, rendered on demand."""

@final
class NoiseSource:
    """Seeded white noise in [-amplitude, amplitude); the same seed gives the same samples."""

    def __new__(cls, amplitude: _Float = 1.0, seed: _Int = 42) -> Self: ...
    @property
    def amplitude(self) -> float:
        """Scale factor of the noise (float)."""
    def render_to_buffer(self, frames: _Int) -> list[float]:
        """The next `frames` samples as a new list of floats (32-bit values)."""

@final
class MixerChannel(_ComparedByValue):
    """One channel's settings: name, gain, pan, mute and solo; compares by value."""

    def __new__(cls, name: str = "Channel") -> Self: ...
    @property
    def name(self) -> str:
        """The channel name (str)."""
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def gain(self) -> float:
        """Linear gain, a 32-bit float clamped to 0.0-2.0 on write."""
    @gain.setter
    def gain(self, value: _Float) -> None: ...
    @property
    def pan(self) -> float:
        """Pan from -1.0 (left) to 1.0 (right), a 32-bit float clamped on write."""
    @pan.setter
    def pan(self, value: _Float) -> None: ...
    @property
    def mute(self) -> bool:
        """Whether the channel is silenced (bool)."""
    @mute.setter
    def mute(self, value: bool) -> None: ...
    @property
    def solo(self) -> bool:
        """Whether the channel is soloed in a Mixer (bool)."""
    @solo.setter
    def solo(self, value: bool) -> None: ...
    def process_sample(self, sample: _Float) -> tuple[float, float]:
        """The (left, right) pair of one sample after gain and constant-power pan; (0.0, 0.0) when muted."""

@final
class Mixer:
    """Named channels with gain, pan, mute and solo mixed down to interleaved stereo; len() counts channels."""

    def __new__(cls) -> Self: ...
    @property
    def master_gain(self) -> float:
        """Gain applied to the whole mix, a 32-bit float clamped to 0.0-2.0 on write."""
    @master_gain.setter
    def master_gain(self, value: _Float) -> None: ...
    def add_channel(self, name: str) -> int:
        """Append a channel with default settings; returns its index (int)."""
    def remove_channel(self, index: _Int) -> MixerChannel | None:
        """Remove the channel at `index` and return it, or None when there is none."""
    def get_channel(self, index: _Int) -> MixerChannel:
        """A copy of the channel at `index`; IndexError when out of range."""
    def set_channel_gain(self, index: _Int, gain: _Float) -> None:
        """Set a channel's gain, clamped to 0.0-2.0; IndexError when out of range."""
    def set_channel_pan(self, index: _Int, pan: _Float) -> None:
        """Set a channel's pan, clamped to -1.0-1.0; IndexError when out of range."""
    def set_channel_mute(self, index: _Int, mute: bool) -> None:
        """Mute or unmute a channel; IndexError when out of range."""
    def set_channel_solo(self, index: _Int, solo: bool) -> None:
        """Solo or unsolo a channel; IndexError when out of range."""
    def channel_count(self) -> int:
        """The number of channels (int)."""
    def channel_names(self) -> list[str]:
        """The channel names in index order."""
    def mix_down(self, channel_buffers: Sequence[_Samples]) -> list[float]:
        """Mix one mono list per channel into an interleaved stereo list of floats (L, R, L, R, ...)."""
    def __len__(self) -> int:
        """The number of channels."""

@final
class Step(_ComparedByValue):
    """One step of a pattern: note, velocity, length in steps and on/off; compares by value."""

    def __new__(cls, note: _Int, velocity: _Int, duration_ticks: _Int = 1) -> Self: ...
    @property
    def note(self) -> int:
        """MIDI note number (int, 0-127)."""
    @note.setter
    def note(self, value: _Int) -> None: ...
    @property
    def velocity(self) -> int:
        """Note-on velocity (int, 0-127)."""
    @velocity.setter
    def velocity(self, value: _Int) -> None: ...
    @property
    def duration_ticks(self) -> int:
        """Note length counted in steps (int)."""
    @duration_ticks.setter
    def duration_ticks(self, value: _Int) -> None: ...
    @property
    def active(self) -> bool:
        """Whether the step sounds (bool)."""
    @active.setter
    def active(self, value: bool) -> None: ...

@final
class Pattern:
    """A fixed-length row of steps, all inactive at first; len() is the step count."""

    def __new__(cls, length: _Int = 16) -> Self: ...
    @property
    def length(self) -> int:
        """The number of steps (int)."""
    @property
    def loop_enabled(self) -> bool:
        """A stored flag (bool); the step sequencer always wraps around the pattern."""
    @loop_enabled.setter
    def loop_enabled(self, value: bool) -> None: ...
    def set_step(self, index: _Int, step: Step) -> bool:
        """Store a copy of `step` at `index`; returns False (changing nothing) when out of range."""
    def get_step(self, index: _Int) -> Step:
        """A copy of the step at `index`; IndexError when out of range."""
    def toggle_step(self, index: _Int) -> bool:
        """Flip the step's `active`; returns False (changing nothing) when out of range."""
    def clear(self) -> None:
        """Make every step inactive, keeping notes, velocities and lengths."""
    def __len__(self) -> int:
        """The number of steps."""

@final
class NoteEvent(_ComparedByValue):
    """A note placed on the beat axis: start and length in beats, note and velocity; compares by value."""

    def __new__(cls, beat_position: _Float, duration: _Float, note: _Int, velocity: _Int) -> Self: ...
    @property
    def beat_position(self) -> float:
        """Start of the note in beats (float)."""
    @beat_position.setter
    def beat_position(self, value: _Float) -> None: ...
    @property
    def duration(self) -> float:
        """Length of the note in beats (float)."""
    @duration.setter
    def duration(self, value: _Float) -> None: ...
    @property
    def note(self) -> int:
        """MIDI note number (int, 0-127)."""
    @note.setter
    def note(self, value: _Int) -> None: ...
    @property
    def velocity(self) -> int:
        """Note-on velocity (int, 0-127)."""
    @velocity.setter
    def velocity(self, value: _Int) -> None: ...
    def end_position(self) -> float:
        """Start plus length, in beats (float)."""

@final
class EventSequence:
    """Note events kept sorted by start beat; len() is the event count."""

    def __new__(cls) -> Self: ...
    def add_event(self, event: NoteEvent) -> None:
        """Insert a copy of `event` after every event that starts at or before it."""
    def remove_event(self, index: _Int) -> NoteEvent | None:
        """Remove the event at `index` and return it, or None when there is none."""
    def events(self) -> list[NoteEvent]:
        """Copies of all events in start order."""
    def events_in_range(self, start: _Float, end: _Float) -> list[NoteEvent]:
        """Copies of the events sounding inside (start, end), in beats, both bounds exclusive."""
    def events_starting_in_range(self, start: _Float, end: _Float) -> list[NoteEvent]:
        """Copies of the events starting in [start, end), in beats."""
    def duration(self) -> float:
        """The latest end position in beats (float, at least 0.0)."""
    def clear(self) -> None:
        """Remove every event."""
    def __len__(self) -> int:
        """The number of events."""

@final
class TransportClock:
    """A tempo, a position in beats and a play state, with beat/second/tick conversions."""

    def __new__(cls, bpm: _Float = 120.0) -> Self: ...
    @property
    def bpm(self) -> float:
        """Tempo in beats per minute (float); at least 1.0 after a write."""
    @bpm.setter
    def bpm(self, value: _Float) -> None: ...
    @property
    def position(self) -> float:
        """Current position in beats (float)."""
    @property
    def ticks_per_beat(self) -> int:
        """Tick resolution of the tick conversions (int, default 480)."""
    @ticks_per_beat.setter
    def ticks_per_beat(self, value: _Int) -> None: ...
    @property
    def state(self) -> Literal["stopped", "playing", "paused"]:
        """The play state (str): "stopped", "playing" or "paused"."""
    def play(self) -> None:
        """Start or resume playing from the current position."""
    def pause(self) -> None:
        """Pause, keeping the position."""
    def stop(self) -> None:
        """Stop and rewind to beat 0.0."""
    def seek(self, beat: _Float) -> None:
        """Move to `beat` (beats); anything not above 0.0 moves to 0.0."""
    def advance_by_frames(self, frames: _Int, sample_rate: _Int) -> tuple[float, float] | None:
        """While playing, advance by `frames` at `sample_rate` (Hz) and return the (old, new) beats; else None."""
    def beats_to_seconds(self, beats: _Float) -> float:
        """Beats converted to seconds at the current tempo (float)."""
    def seconds_to_beats(self, seconds: _Float) -> float:
        """Seconds converted to beats at the current tempo (float)."""
    def beats_to_ticks(self, beats: _Float) -> int:
        """Beats converted to a rounded, non-negative tick count (int)."""
    def ticks_to_beats(self, ticks: _Int) -> float:
        """Ticks converted to beats (float)."""

@final
class StepSequencer:
    """Walks its own copy of a pattern, one step per `step_duration` beats, and reports note events."""

    def __new__(cls, pattern: Pattern, channel: _Int = 0) -> Self: ...
    @property
    def step_duration(self) -> float:
        """Beats from one step to the next (float, default 0.25)."""
    @step_duration.setter
    def step_duration(self, value: _Float) -> None: ...
    @property
    def current_step(self) -> int:
        """Index of the last step processed (int)."""
    def set_pattern(self, pattern: Pattern) -> None:
        """Replace the pattern by a copy of `pattern`, keeping the cursor."""
    def reset(self) -> None:
        """Rewind the cursor so the next range starts again from beat 0."""
    def process_beat_range(self, start: _Float, end: _Float) -> list[tuple[_EventKind, int, int, int]]:
        """(kind, note, velocity, time in microbeats) tuples for the steps in [start, end), in beats."""

@final
class AudioSample:
    """Mono 32-bit sample data with its rate, root note and optional loop points; len() counts frames."""

    def __new__(cls, data: _Samples, sample_rate: _Int = 44100, root_note: _Int = 69) -> Self: ...
    @property
    def sample_rate(self) -> int:
        """Frames per second of the data (int)."""
    @property
    def root_note(self) -> int:
        """The note (int, 0-127) at which the data plays at its own speed."""
    @root_note.setter
    def root_note(self, value: _Int) -> None: ...
    @property
    def loop_start(self) -> int | None:
        """First frame of the loop region (int), or None."""
    @loop_start.setter
    def loop_start(self, value: _Int | None) -> None: ...
    @property
    def loop_end(self) -> int | None:
        """End frame of the loop region, exclusive (int), or None."""
    @loop_end.setter
    def loop_end(self, value: _Int | None) -> None: ...
    def duration_seconds(self) -> float:
        """Length in seconds (float); 0.0 when the rate is 0."""
    def data(self) -> list[float]:
        """The frames as a new list of floats."""
    def __len__(self) -> int:
        """The number of frames."""

@final
class Envelope(_ComparedByValue):
    """A linear ADSR envelope: attack, decay and release in seconds, sustain a level 0-1; compares by value."""

    def __new__(cls, attack: _Float = 0.005, decay: _Float = 0.1, sustain: _Float = 0.8, release: _Float = 0.1) -> Self: ...
    @property
    def attack(self) -> float:
        """Attack time in seconds (float, not below 0.0)."""
    @attack.setter
    def attack(self, value: _Float) -> None: ...
    @property
    def decay(self) -> float:
        """Decay time in seconds (float, not below 0.0)."""
    @decay.setter
    def decay(self, value: _Float) -> None: ...
    @property
    def sustain(self) -> float:
        """Sustain level (float, clamped to 0.0-1.0)."""
    @sustain.setter
    def sustain(self, value: _Float) -> None: ...
    @property
    def release(self) -> float:
        """Release time in seconds (float, not below 0.0)."""
    @release.setter
    def release(self, value: _Float) -> None: ...

@final
class SampleMapping:
    """A sample for a zone of notes and velocities (bounds inclusive, 0-127)."""

    def __new__(cls, sample: AudioSample, note_low: _Int, note_high: _Int, velocity_low: _Int, velocity_high: _Int) -> Self: ...
    def matches(self, note: _Int, velocity: _Int) -> bool:
        """Whether the note and velocity (0-127) both lie in the zone (bool)."""

@final
class SampleMap:
    """Zones searched in insertion order, the first match winning; len() counts zones."""

    def __new__(cls) -> Self: ...
    @staticmethod
    def single_sample(sample: AudioSample) -> SampleMap:
        """A map with one zone covering every note and velocity."""
    def add_mapping(self, mapping: SampleMapping) -> None:
        """Append a copy of `mapping`."""
    def find_sample(self, note: _Int, velocity: _Int) -> AudioSample | None:
        """A copy of the first matching zone's sample, or None."""
    def mapping_count(self) -> int:
        """The number of zones (int)."""
    def __len__(self) -> int:
        """The number of zones."""

@final
class Sampler:
    """Polyphonic playback of one sample at pitch under an ADSR envelope, rendered to mono lists."""

    def __new__(cls, sample: AudioSample, sample_rate: _Int = 44100, max_voices: _Int = 8) -> Self: ...
    @property
    def max_voices(self) -> int:
        """Voice limit (int); a note-on beyond it drops the oldest voice."""
    @max_voices.setter
    def max_voices(self, value: _Int) -> None: ...
    @property
    def sample_rate(self) -> int:
        """Output rate in frames per second (int)."""
    def set_envelope(self, envelope: Envelope) -> None:
        """Use `envelope` for notes started from now on."""
    def note_on(self, note: _Int, velocity: _Int) -> None:
        """Start a voice for the note and velocity (0-127)."""
    def note_off(self, note: _Int) -> None:
        """Release every voice of the note (0-127)."""
    def all_notes_off(self) -> None:
        """Release every voice."""
    def panic(self) -> None:
        """Drop every voice at once."""
    def active_voice_count(self) -> int:
        """The number of sounding voices, releases included (int)."""
    def render(self, frames: _Int) -> list[float]:
        """The next `frames` mono samples as a new list of floats, each clamped to -1.0-1.0."""

@final
class AudioOutput:
    """Names the default output device; lists the machine's playback devices (needs libasound)."""

    def __new__(cls, sample_rate: _Int = 44100, channels: _Int = 2, buffer_size: _Int = 512) -> Self: ...
    @staticmethod
    def list_devices() -> list[str]:
        """Display names of the playback-capable ALSA PCM devices (list of str)."""
    def device_name(self) -> str:
        """Display name of the default device (str)."""
    def is_playing(self) -> bool:
        """Whether the output plays (bool); always False, nothing is ever played."""
    def stop(self) -> None:
        """Clear the playing flag."""

@final
class MidiInput:
    """An ALSA sequencer client under `client_name` that lists MIDI source ports (needs libasound)."""

    def __new__(cls, client_name: str = "ostina") -> Self: ...
    def list_ports(self) -> list[str]:
        """Subscribable MIDI source ports as "client:port client_number:port_number" strings."""
