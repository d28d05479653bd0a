"""SoundFont 2 files from a bank given as plain tuples, laid out as
SoundFont 2.04 defines them: RIFF `sfbk` with its INFO, sdta and pdta lists.

The bank's shapes (any sequences will do for the tuples and lists):
  sample       (name, data, rate, original_key, correction, loop_start, loop_end);
               `data` float32 frames in [-1, 1] (an array or their bytes), the loop
               in frames from the sample's first, (0, 0) for none
  instrument   (name, global_zone, zones), each zone (sample_index, generators, modulators)
  preset       (name, bank, program, global_zone, zones), each zone (instrument_index, generators, modulators)
  global_zone  (generators, modulators); with both empty, no global zone is written
  generator    (name, amount), SoundFont 2.04's names; keyRange and velRange as low + 256 * high
  modulator    (source_bits, destination_name, amount, amount_source_bits, transform)
"""
from __future__ import annotations

import os
import struct

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Sequence
    from typing import Any, TypeAlias

    Generators: TypeAlias = Sequence[tuple[str, int]]
    Modulators: TypeAlias = Sequence[tuple[int, str, int, int, int]]
    GlobalZone: TypeAlias = tuple[Generators, Modulators]
    Zone: TypeAlias = tuple[int, Generators, Modulators]
    SampleEntry: TypeAlias = tuple[str, Any, int, int, int, int, int]
    InstrumentEntry: TypeAlias = tuple[str, GlobalZone, Sequence[Zone]]
    PresetEntry: TypeAlias = tuple[str, int, int, GlobalZone, Sequence[Zone]]
    Piece: TypeAlias = bytes | memoryview  # of bytes: its len() is its size
    Chunk: TypeAlias = list[Piece]

DEFAULT_NAME = "ostina built-in bank"

# The generators a zone may set, numbered as SoundFont 2.04 numbers them
# (src/synth/generators.hpp has the same table). `instrument` and
# `sampleID` are not among them: the writer adds them from a zone's target.
GENERATORS = {
    "startAddrsOffset": 0, "endAddrsOffset": 1, "startloopAddrsOffset": 2, "endloopAddrsOffset": 3,
    "startAddrsCoarseOffset": 4, "modLfoToPitch": 5, "vibLfoToPitch": 6, "modEnvToPitch": 7,
    "initialFilterFc": 8, "initialFilterQ": 9, "modLfoToFilterFc": 10, "modEnvToFilterFc": 11,
    "endAddrsCoarseOffset": 12, "modLfoToVolume": 13, "chorusEffectsSend": 15, "reverbEffectsSend": 16,
    "pan": 17, "delayModLFO": 21, "freqModLFO": 22, "delayVibLFO": 23, "freqVibLFO": 24,
    "delayModEnv": 25, "attackModEnv": 26, "holdModEnv": 27, "decayModEnv": 28, "sustainModEnv": 29,
    "releaseModEnv": 30, "keynumToModEnvHold": 31, "keynumToModEnvDecay": 32, "delayVolEnv": 33,
    "attackVolEnv": 34, "holdVolEnv": 35, "decayVolEnv": 36, "sustainVolEnv": 37, "releaseVolEnv": 38,
    "keynumToVolEnvHold": 39, "keynumToVolEnvDecay": 40, "keyRange": 43, "velRange": 44,
    "startloopAddrsCoarseOffset": 45, "keynum": 46, "velocity": 47, "initialAttenuation": 48,
    "endloopAddrsCoarseOffset": 50, "coarseTune": 51, "fineTune": 52, "sampleModes": 54,
    "scaleTuning": 56, "exclusiveClass": 57, "overridingRootKey": 58,
}
INSTRUMENT, SAMPLE_ID = 41, 53
# A zone's list starts with keyRange, then velRange; readers may skip a range found later.
FIRST_GENERATORS = {GENERATORS["keyRange"]: 0, GENERATORS["velRange"]: 1}
# The two bytes of a range and the bit flags of the sample modes read unsigned.
UNSIGNED_GENERATORS = {"keyRange", "velRange", "sampleModes"}

FULL_SCALE = 32768  # a 16-bit frame is x * 32768, as a reader scales it back by 1/32768
GUARD_FRAMES = 46  # zero frames after every sample, which SoundFont 2.04 requires
MONO_SAMPLE = 1
DRUM_BANK = 128
MAX_INDEX = 0xFFFF  # bag, generator and modulator indices, and a zone's target, are 16-bit
MAX_UINT32 = 0xFFFF_FFFF  # chunk sizes, frame positions and rates
TOO_LARGE = "the bank is too large for a SoundFont 2 file, whose sizes are 32-bit"
MAX_TEXT = 255  # an INFO text holds at most 256 bytes, its terminating zero included
VERSION = (2, 1)
SOUND_ENGINE = "EMU8000"
SOFTWARE = "ostina"

# The hydra's records; a `20s` field truncates a name to 20 bytes and pads it with zeros.
PRESET_HEADER = struct.Struct("<20sHHHIII")  # name, program, bank, first bag, library, genre, morphology
INSTRUMENT_HEADER = struct.Struct("<20sH")  # name, first bag
BAG = struct.Struct("<HH")  # first generator, first modulator
MODULATOR = struct.Struct("<HHhHH")  # source, destination, amount, amount source, transform
GENERATOR = struct.Struct("<HH")  # number, amount (its two bytes, whichever way they read)
SAMPLE_HEADER = struct.Struct("<20sIIIIIBbHH")  # name, start, end, loop start, loop end, rate, key, cents, link, type


def soundfont_bytes(samples: Sequence[SampleEntry], instruments: Sequence[InstrumentEntry],
                    presets: Sequence[PresetEntry], name: str = DEFAULT_NAME) -> bytes:
    """A SoundFont 2 file of the bank, whole.

    Parameters
    ----------
    samples, instruments, presets
        The bank, in the shapes this module's docstring gives; zones name
        samples and instruments by their index in these sequences.
    name
        The bank's name (INAM), cut to 255 bytes.

    Returns
    -------
    bytes
        The file. Anything the file cannot hold raises ValueError, saying
        what in one line.
    """
    return b"".join(_file(samples, instruments, presets, name))


def write_soundfont(target: str | os.PathLike[str], samples: Sequence[SampleEntry],
                    instruments: Sequence[InstrumentEntry], presets: Sequence[PresetEntry],
                    name: str = DEFAULT_NAME) -> None:
    """Write the bank as a SoundFont 2 file at `target`, which appears only when
    complete; parameters as soundfont_bytes takes them.

    A bank the file cannot hold raises ValueError before anything is written;
    a target that cannot be written raises RenderError.
    """
    from .output import cannot_write, replacing

    pieces = _file(samples, instruments, presets, name)
    path = os.fspath(target)
    try:
        with replacing(path) as temporary, open(temporary, "wb") as file:
            file.writelines(pieces)
    except OSError as error:
        raise cannot_write(path, error) from None


def _file(samples: Sequence[SampleEntry], instruments: Sequence[InstrumentEntry],
          presets: Sequence[PresetEntry], name: str) -> Chunk:
    frames, sample_headers = _sample_data(samples)
    hydra = [*_preset_chunks(presets, len(instruments)), *_instrument_chunks(instruments, len(samples)),
             _chunk(b"shdr", sample_headers)]
    info = [_chunk(b"ifil", struct.pack("<HH", *VERSION)), _chunk(b"isng", _text(SOUND_ENGINE)),
            _chunk(b"INAM", _text(name)), _chunk(b"ISFT", _text(SOFTWARE))]
    return _chunk(b"RIFF", b"sfbk", *_list(b"INFO", info), *_list(b"sdta", [_chunk(b"smpl", frames)]),
                  *_list(b"pdta", hydra))


def _chunk(tag: bytes, *payload: Piece) -> Chunk:
    size = sum(len(piece) for piece in payload)
    _check(size <= MAX_UINT32, TOO_LARGE)
    return [tag + struct.pack("<I", size), *payload, *([b"\0"] if size % 2 else [])]


def _list(kind: bytes, chunks: list[Chunk]) -> Chunk:
    return _chunk(b"LIST", kind, *(piece for chunk in chunks for piece in chunk))


def _text(text: str) -> bytes:
    """An INFO text: ASCII, ended by one or two zeros so that its size is even."""
    encoded = text.encode("ascii", "replace")[:MAX_TEXT]
    return encoded + b"\0" * (2 - len(encoded) % 2)


def _name(text: str) -> bytes:
    return text.encode("ascii", "replace")


def _check(condition: bool, message: str) -> None:
    if not condition:
        raise ValueError(message)


# The sample data.

def _sample_data(samples: Sequence[SampleEntry]) -> tuple[Piece, bytes]:
    """The `smpl` chunk's 16-bit frames, each sample followed by its zero frames,
    and the `shdr` records that place them."""
    import numpy as np

    places = [f'sample {index} "{sample[0]}"' for index, sample in enumerate(samples)]
    frames = [_frames(place, sample[1]) for place, sample in zip(places, samples)]
    starts = [0]
    for data in frames:
        starts.append(starts[-1] + len(data) + GUARD_FRAMES)
    _check(2 * starts[-1] <= MAX_UINT32, TOO_LARGE)  # before the frames are allocated
    headers = [_sample_header(place, sample, start, len(data))
               for place, sample, start, data in zip(places, samples, starts, frames)]
    pcm = np.zeros(starts[-1], "<i2")  # the zeros after each sample stay
    for start, data in zip(starts, frames):
        pcm[start:start + len(data)] = np.clip(np.rint(data * FULL_SCALE), -32768, 32767)
    terminal = SAMPLE_HEADER.pack(b"EOS", 0, 0, 0, 0, 0, 0, 0, 0, 0)
    return pcm.view(np.uint8).data, b"".join(headers) + terminal


def _frames(where: str, data: Any) -> Any:
    """The sample's frames as a float32 array, without copying an array that is one."""
    import numpy as np

    as_bytes = isinstance(data, (bytes, bytearray, memoryview))
    try:
        values = np.frombuffer(data, "<f4") if as_bytes else np.asarray(data, np.float32)
    except ValueError:
        raise ValueError(f"{where}: its data is not float32 frames") from None
    _check(values.ndim == 1, f"{where}: its data is not one channel of frames")
    _check(len(values) > 0, f"{where}: no frames")
    _check(not np.isnan(values).any(), f"{where}: a frame is not a number")
    return values


def _sample_header(where: str, sample: SampleEntry, start: int, frames: int) -> bytes:
    name, _, rate, original_key, correction, loop_start, loop_end = sample
    _check(0 < rate <= MAX_UINT32, f"{where}: rate {rate} is not a 32-bit count of frames per second")
    _check(0 <= original_key <= 127 or original_key == 255, f"{where}: original key {original_key} is "
           "outside 0-127 (or 255, unpitched)")
    _check(-128 <= correction <= 127, f"{where}: correction {correction} cents is outside -128-127")
    _check(0 <= loop_start <= loop_end <= frames, f"{where}: loop {loop_start}-{loop_end} is outside its "
           f"{frames} frames")
    return SAMPLE_HEADER.pack(_name(name), start, start + frames, start + loop_start, start + loop_end,
                              rate, original_key, correction, 0, MONO_SAMPLE)


# The hydra: headers, then each level's bags, modulators and generators.

def _preset_chunks(presets: Sequence[PresetEntry], instrument_count: int) -> list[Chunk]:
    zones = _ZoneLists("preset", INSTRUMENT, "instrument", instrument_count)
    headers = []
    for index, (name, bank, program, global_zone, preset_zones) in enumerate(presets):
        where = f'preset {index} "{name}"'
        _check(0 <= bank <= DRUM_BANK, f"{where}: bank {bank} is outside 0-{DRUM_BANK}")
        _check(0 <= program <= 127, f"{where}: program {program} is outside 0-127")
        headers.append((_name(name), program, bank, zones.add(where, global_zone, preset_zones)))
    headers.append((b"EOP", 0, 0, len(zones.bags)))
    bags, modulators, generators = zones.records()
    records = b"".join(PRESET_HEADER.pack(*header, 0, 0, 0) for header in headers)
    return [_chunk(b"phdr", records), _chunk(b"pbag", bags), _chunk(b"pmod", modulators),
            _chunk(b"pgen", generators)]


def _instrument_chunks(instruments: Sequence[InstrumentEntry], sample_count: int) -> list[Chunk]:
    zones = _ZoneLists("instrument", SAMPLE_ID, "sample", sample_count)
    headers = [(_name(name), zones.add(f'instrument {index} "{name}"', global_zone, instrument_zones))
               for index, (name, global_zone, instrument_zones) in enumerate(instruments)]
    headers.append((b"EOI", len(zones.bags)))
    bags, modulators, generators = zones.records()
    records = b"".join(INSTRUMENT_HEADER.pack(*header) for header in headers)
    return [_chunk(b"inst", records), _chunk(b"ibag", bags), _chunk(b"imod", modulators),
            _chunk(b"igen", generators)]


class _ZoneLists:
    """One level's zones (the presets' or the instruments'): a bag for each zone,
    holding where its modulators and generators start in the level's lists."""

    def __init__(self, level: str, target_generator: int, target_kind: str, target_count: int) -> None:
        self.level, self.target_generator = level, target_generator
        self.target_kind, self.target_count = target_kind, target_count
        self.bags: list[tuple[int, int]] = []
        self.generators: list[bytes] = []
        self.modulators: list[bytes] = []

    def add(self, where: str, global_zone: GlobalZone, zones: Sequence[Zone]) -> int:
        """Adds one preset's or instrument's zones; returns the index of its first bag."""
        first = len(self.bags)
        global_generators, global_modulators = global_zone
        if global_generators or global_modulators:
            self._zone(f"{where}, global zone", global_generators, global_modulators, ())
        for number, (target, generators, modulators) in enumerate(zones):
            zone = f"{where}, zone {number}"
            _check(0 <= target < self.target_count, f"{zone}: names {self.target_kind} {target}, but the bank "
                   f"has {self.target_count}")
            _check(target <= MAX_INDEX, f"{zone}: names {self.target_kind} {target}, past {MAX_INDEX}, "
                   "the last a zone can name")
            self._zone(zone, generators, modulators, (GENERATOR.pack(self.target_generator, target),))
        return first

    def _zone(self, where: str, generators: Generators, modulators: Modulators, target: tuple[bytes, ...]) -> None:
        self.bags.append((len(self.generators), len(self.modulators)))
        self.generators += [*_generator_records(where, generators), *target]  # the target comes last
        self.modulators += [_modulator_record(where, modulator) for modulator in modulators]

    def records(self) -> tuple[bytes, bytes, bytes]:
        """The bag, modulator and generator lists, each ended by its terminal record."""
        for count, what in ((len(self.bags), "zones"), (len(self.generators), "generators"),
                            (len(self.modulators), "modulators")):
            _check(count <= MAX_INDEX, f"the {self.level}s have {count} {what}, more than the {MAX_INDEX} "
                   "a SoundFont 2 file can index")
        bags = [*self.bags, (len(self.generators), len(self.modulators))]
        return (b"".join(BAG.pack(*bag) for bag in bags), b"".join(self.modulators) + bytes(MODULATOR.size),
                b"".join(self.generators) + bytes(GENERATOR.size))


def _generator_records(where: str, generators: Generators) -> list[bytes]:
    """The zone's generators in the order SoundFont 2.04 demands; the others keep theirs."""
    numbered: dict[int, int] = {}
    for name, amount in generators:
        number = _generator_number(where, name)
        _check(number not in numbered, f'{where}: generator "{name}" is set twice')
        low, high = (0, 0xFFFF) if name in UNSIGNED_GENERATORS else (-0x8000, 0x7FFF)
        _check(low <= amount <= high, f'{where}: generator "{name}" amount {amount} does not fit 16 bits')
        numbered[number] = amount & 0xFFFF  # its two bytes, as the record holds them
    ordered = sorted(numbered.items(), key=lambda pair: FIRST_GENERATORS.get(pair[0], len(FIRST_GENERATORS)))
    return [GENERATOR.pack(number, amount) for number, amount in ordered]


def _modulator_record(where: str, modulator: tuple[int, str, int, int, int]) -> bytes:
    source, destination, amount, amount_source, transform = modulator
    number = _generator_number(where, destination)
    for value, what in ((source, "source"), (amount_source, "amount source"), (transform, "transform")):
        _check(0 <= value <= 0xFFFF, f"{where}: modulator {what} {value} does not fit 16 bits")
    _check(-0x8000 <= amount <= 0x7FFF, f"{where}: modulator amount {amount} does not fit 16 bits")
    return MODULATOR.pack(source, number, amount, amount_source, transform)


def _generator_number(where: str, name: str) -> int:
    number = GENERATORS.get(name)
    if number is None:
        raise ValueError(f'{where}: unknown generator "{name}"')
    return number
