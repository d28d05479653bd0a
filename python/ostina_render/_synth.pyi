"""The synthesizer core of ostina-render: a MIDI file reader, banks of
presets in the SoundFont model, a synthesizer and a song renderer."""

from collections.abc import Callable, Sequence

from typing_extensions import Buffer

Generators = Sequence[tuple[str, int]]
Zone = tuple[int, Generators]
ModulatorRow = tuple[int, str, int, int, int]
LevelRow = tuple[list[tuple[str, int]], list[ModulatorRow]]
ZoneRow = tuple[int, list[tuple[str, int]], list[ModulatorRow]]

class MidiFile:
    """A Standard MIDI File read from its bytes; damage raises ValueError."""

    def __new__(cls, data: Buffer) -> MidiFile: ...
    @property
    def format(self) -> int: ...
    @property
    def ticks_per_beat(self) -> int: ...
    @property
    def end_tick(self) -> int: ...
    @property
    def track_names(self) -> list[str]: ...
    @property
    def notices(self) -> list[str]: ...
    def notes(self) -> list[tuple[int, int, int, int, int, int, int, int, int]]:
        """(track, channel, key, velocity, start tick, end tick, program, start index, end index)."""
    def controllers(self) -> list[tuple[int, int, int, int, int, int]]:
        """(track, channel, tick, controller, value, index)."""
    def programs(self) -> list[tuple[int, int, int, int, int, int]]:
        """(track, channel, tick, program, 0, index)."""
    def pitch_bends(self) -> list[tuple[int, int, int, int, int, int]]:
        """(track, channel, tick, value 0-16383, 0, index)."""
    def tempo_changes(self) -> list[tuple[int, int]]:
        """(tick, microseconds per beat), from tick 0."""
    def duration(self) -> float:
        """Seconds from the start to the last event of any track."""

class Bank:
    """Samples, instruments and presets built in code or read from a soundfont. Generators
    are named as the SoundFont 2.04 format names them; keyRange and velRange are
    low + 256 * high."""

    def __new__(cls) -> Bank: ...
    @staticmethod
    def read_soundfont(path: str, decoder: Callable[[bytes], object] | None = None) -> Bank:
        """An SF2 or SF3 file, mapped; `decoder` turns a compressed sample's bytes into float32
        frames when a note first plays it. Damage raises ValueError, an unreadable file RuntimeError."""
    @staticmethod
    def builtin(rate: int = 44100) -> Bank:
        """Every preset of the built-in bank, made for `rate`, in one bank."""
    def presets(self) -> list[tuple[str, int, int, LevelRow, list[ZoneRow]]]:
        """(name, bank, program, global zone, zones), by bank and program."""
    def instruments(self) -> list[tuple[str, LevelRow, list[ZoneRow]]]: ...
    def samples(self) -> list[tuple[str, int, int, int, int, int]]:
        """(name, sample rate, original key, correction, loop start, loop end), the loop from the sample's start."""
    def sample_data(self, index: int) -> bytes:
        """The sample's frames as 32-bit floats, full scale 1."""
    def regions(self, bank: int, program: int) -> list[tuple[int, int, int, int, int, list[tuple[str, int]]]]:
        """(key low, key high, velocity low, velocity high, sample, generators summed over both levels)."""
    @property
    def name(self) -> str: ...
    @property
    def notices(self) -> list[str]: ...
    def add_sample(self, data: Sequence[float] | Buffer, sample_rate: int, original_key: int = 60,
                   correction: int = 0, loop_start: int = 0, loop_end: int = 0, name: str = "") -> int: ...
    def add_instrument(self, zones: Sequence[Zone], global_zone: Generators = (), name: str = "") -> int: ...
    def add_preset(self, bank: int, program: int, zones: Sequence[Zone], global_zone: Generators = (),
                   name: str = "") -> None: ...

class Synthesizer:
    """Sixteen MIDI channels on a pool of voices: the banks' presets in their order, then the built-in bank's."""

    def __new__(cls, banks: Sequence[Bank] = (), builtin: bool = True, rate: int = 44100,
                polyphony: int = 256, reverb: bool = True, chorus: bool = True) -> Synthesizer:
        """`reverb` and `chorus` play the voices' sends (CC 91 and 93) through the effect units."""
    def note_on(self, channel: int, key: int, velocity: int) -> None: ...
    def note_off(self, channel: int, key: int) -> None: ...
    def control_change(self, channel: int, controller: int, value: int) -> None: ...
    def program_change(self, channel: int, program: int) -> None: ...
    def pitch_bend(self, channel: int, value: int) -> None: ...
    def channel_pressure(self, channel: int, value: int) -> None: ...
    def key_pressure(self, channel: int, key: int, value: int) -> None: ...
    def render(self, frames: int) -> bytes:
        """The next frames as interleaved stereo 32-bit floats."""
    @property
    def active_voices(self) -> int: ...

class Song:
    """A MIDI file rendered block by block, with its last notes' release after its end."""

    def __new__(cls, midi: MidiFile, banks: Sequence[Bank] = (), builtin: bool = True, rate: int = 44100,
                polyphony: int = 256, gain: float = 1.0, tail_seconds: float = 5.0,
                tracks: Sequence[int] | None = None, muted_tracks: Sequence[int] = (),
                channels: int = 65535, judged_gain: float | None = None, reverb: bool = True,
                chorus: bool = True, threads: int = 1) -> Song:
        """`judged_gain` is the mix's gain against which a voice and the effects' tail are judged
        inaudible (default `gain`); `reverb` and `chorus` play the voices' sends through the effect units;
        `threads` (1-256) play the voices and the effects, with the same bits for any number."""
    @property
    def frames(self) -> int:
        """Frames up to the song's last event."""
    @property
    def notes(self) -> int: ...
    @property
    def rendered(self) -> int: ...
    @property
    def finished(self) -> bool: ...
    @property
    def peak(self) -> float: ...
    @property
    def clipped(self) -> int: ...
    def prepare(self) -> None:
        """Builds the presets the song's notes play."""
    @property
    def fallbacks(self) -> list[tuple[int, int, int, int, bool]]:
        """(bank, program, bank played, program played, found) of each preset the song asks for
        that its banks lack, once prepared."""
    def render(self, frames: int) -> bytes:
        """The next frames (fewer at the end) as interleaved stereo 32-bit floats."""
    def render_pcm(self, frames: int, bits: int) -> bytes:
        """The next frames as interleaved stereo little-endian PCM of 16 or 24 bits."""
    @staticmethod
    def wav_header(rate: int, bits: int, data_bytes: int) -> bytes:
        """The 80-byte header of a stereo WAV file (RF64 past 4 GB) holding `data_bytes` of PCM."""
