"""A soundfont's presets for the toolkit: a preset's zones handed to the
`ostina` module as samples, so that a script can play them on its Sampler."""
from __future__ import annotations

import os
from typing import TYPE_CHECKING, NamedTuple

from .banks import load_soundfont

if TYPE_CHECKING:
    import ostina


class Zone(NamedTuple):
    """One zone of a preset: the sample a note in both ranges plays."""

    sample: ostina.AudioSample
    key_low: int
    key_high: int
    velocity_low: int
    velocity_high: int


class SoundFont:
    """A soundfont file's presets for the toolkit: a preset's zones as `ostina.AudioSample`
    values, alone or in an `ostina.SampleMap`, so that a script can play them on a `Sampler`.

    A zone's tuning (coarse and fine tune, the sample's pitch correction) is folded into
    the sample's `sample_rate`, a whole number: what remains is at most 866 / rate cents
    (0.04 cents at 22,050 Hz). The toolkit's sample has no envelope, filter, level or pan of
    its zone, and plays every key a semitone apart (scaleTuning is taken as 100). A looped
    zone's sample ends with its loop, since the toolkit's sampler wraps at the data's end;
    a zone that loops until its release (sampleModes 3) keeps looping.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._bank = load_soundfont(self.path)

    @property
    def name(self) -> str:
        return self._bank.name

    def presets(self) -> list[tuple[int, int, str]]:
        """(bank, program, name) of every preset, by bank and program; bank 128 holds the drum kits."""
        return [(bank, program, name) for name, bank, program, _, _ in self._bank.presets()]

    def zones(self, bank: int = 0, program: int = 0) -> list[Zone]:
        """The preset's zones in the file's order; ValueError when it has no such preset."""
        samples = self._bank.samples()
        return [Zone(self._audio_sample(index, samples[index], dict(generators)), key_low, key_high,
                     velocity_low, velocity_high)
                for key_low, key_high, velocity_low, velocity_high, index, generators
                in self._bank.regions(bank, program)]

    def sample_map(self, bank: int = 0, program: int = 0) -> ostina.SampleMap:
        """The preset's zones as a SampleMap, whose first match for a key and velocity is its zone."""
        import ostina

        mapping = ostina.SampleMap()
        for zone in self.zones(bank, program):
            mapping.add_mapping(ostina.SampleMapping(zone.sample, zone.key_low, zone.key_high,
                                                     zone.velocity_low, zone.velocity_high))
        return mapping

    def _audio_sample(self, index: int, header: tuple[str, int, int, int, int, int], generators: dict[str, int]) -> ostina.AudioSample:
        import array

        import ostina

        _, rate, original_key, correction, loop_start, loop_end = header
        frames = array.array("f", self._bank.sample_data(index))
        first = min(max(0, _offset(generators, "startAddrs")), len(frames))
        last = max(first, min(len(frames), len(frames) + _offset(generators, "endAddrs")))
        cents = generators["coarseTune"] * 100 + generators["fineTune"] + correction
        root = generators["overridingRootKey"]
        start = loop_start + _offset(generators, "startloopAddrs") - first
        end = loop_end + _offset(generators, "endloopAddrs") - first
        loops = generators["sampleModes"] in (1, 3) and 0 <= start < end <= last - first
        # The toolkit's sampler wraps where its data ends: a looped zone's data ends with its loop.
        sample = ostina.AudioSample(frames[first:first + end] if loops else frames[first:last],
                                    round(rate * 2 ** (cents / 1200)), root if root >= 0 else original_key)
        if loops:
            sample.loop_start, sample.loop_end = start, end
        return sample


def _offset(generators: dict[str, int], name: str) -> int:
    """A sample point's offset in frames: its fine and coarse (32,768-frame) generators."""
    return generators[f"{name}Offset"] + 32768 * generators[f"{name}CoarseOffset"]

