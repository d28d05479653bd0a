"""Users' own samples, as single-zone presets in a bank that takes precedence
over the built-in one (which the synthesizer core makes from the engine's
oscillators and noise).

A program's sample sounds at its own pitch on its root note and follows
the keys from there; a drum note's sample plays at its own pitch and rings
out whatever the note-off.
"""
from __future__ import annotations

import math
import os
from dataclasses import dataclass
from functools import lru_cache

from . import _synth
from .errors import RenderError, needs_extra

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from typing import Any

    from .render import RenderOptions

DRUM_KIT = 128  # the bank of drum kits


def timecents(seconds: float) -> int:
    return round(1200 * math.log2(seconds))


# A program's sample: a quick attack, full level while held, a short release.
PROGRAM_ENVELOPE = [("attackVolEnv", timecents(0.002)), ("releaseVolEnv", timecents(0.15))]
# A drum's: it rings out; a note-off barely touches it in the sample's length.
DRUM_ENVELOPE = [("attackVolEnv", timecents(0.001)), ("releaseVolEnv", 8000)]


@dataclass(frozen=True)
class UserSample:
    """A sample file that replaces a program or a drum note. For a program it sounds at
    its own pitch on `root_note`; a drum note always plays it at its own pitch."""

    path: str
    root_note: int = 60


@lru_cache(maxsize=64)
def read_sample(path: str) -> tuple[Any, int]:
    """The file's audio mixed to mono float32, and its rate."""
    try:
        import numpy as np
        import soundfile
    except ImportError:
        raise needs_extra("users' samples") from None
    if not os.path.isfile(path):
        raise RenderError(f"{path}: no such sample file")
    try:
        data, rate = soundfile.read(path, dtype="float32", always_2d=True)
    except (soundfile.LibsndfileError, RuntimeError, TypeError, ValueError, OSError) as error:
        reason = getattr(error, "error_string", "") or str(error).strip() or type(error).__name__
        raise RenderError(f"{path}: cannot read this sample file ({reason})") from None
    if not len(data):
        raise RenderError(f"{path}: the sample file holds no audio")
    if not np.isfinite(data).all():
        raise RenderError(f"{path}: the sample file holds values that are not finite (NaN or infinity)")
    return np.ascontiguousarray(data.mean(axis=1, dtype=np.float32)), int(rate)


def _add_sample(bank: _synth.Bank, user: UserSample, root: int) -> int:
    if not 0 <= user.root_note <= 127:
        raise RenderError(f"{user.path}: root note {user.root_note} is outside 0-127")
    data, rate = read_sample(os.fspath(user.path))
    return bank.add_sample(data, rate, root, name=os.path.basename(user.path))


def user_bank(options: RenderOptions) -> _synth.Bank:
    """The users' samples of `options` as a bank: a preset of bank 0 for each program,
    and a drum kit with a zone for each drum note."""
    bank = _synth.Bank()
    for program, user in sorted(options.program_samples.items()):
        sample = _add_sample(bank, user, user.root_note)
        instrument = bank.add_instrument([(sample, PROGRAM_ENVELOPE)], name=f"program {program}")
        bank.add_preset(0, program, [(instrument, [])], name=os.path.basename(user.path))
    if options.drum_samples:
        zones = [(_add_sample(bank, user, note), [("keyRange", note | note << 8), *DRUM_ENVELOPE])
                 for note, user in sorted(options.drum_samples.items())]
        kit = bank.add_instrument(zones, name="users' drums")
        bank.add_preset(DRUM_KIT, 0, [(kit, [])], name="users' drums")
    return bank
