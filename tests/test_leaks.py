"""Every entry point, on its success and its failure paths, releases what it
creates: repeating it many times leaves traced memory (Python objects) and the
process's resident memory (what the C++ side allocates) flat.
OSTINA_LEAK_REPEATS sets the repeat count; the long run uses 100000."""
import gc
import os
import resource
import tracemalloc

import pytest

import ostina
from conftest import SANITIZED, needs_plain_allocator
from ostina import (AudioBuffer, AudioFormat, MidiChannel, MidiEvent, MidiMessage, NoiseSource, Note,
                    SawOscillator, SineOscillator, SquareOscillator, Velocity)


def attempt(call):
    try:
        call()
    except BaseException:  # the failure path is the point; PanicException included
        pass


class Callback:
    def __init__(self, action):
        self.action = action

    def __float__(self):
        self.action()
        return 0.0


BUFFER = AudioBuffer(64, channels=2)
SOURCES = [SineOscillator(), SquareOscillator(), SawOscillator(), NoiseSource()]
MESSAGE = MidiMessage.note_on(1, 60, 100)

CALLS = {
    "format": lambda: (AudioFormat(48000, 1), repr(AudioFormat()), str(AudioFormat()),
                       AudioFormat() == AudioFormat(), AudioFormat() != 1),
    "format errors": lambda: attempt(lambda: AudioFormat(channels=70000)),
    "buffer": lambda: (AudioBuffer(16, 48000, 2).to_list(), BUFFER.format, BUFFER.frames, len(BUFFER),
                       repr(BUFFER), BUFFER.sample_at(3, 1), BUFFER.set_sample(3, 1, 0.5), BUFFER.clear()),
    "binding errors": lambda: (attempt(lambda: AudioBuffer()), attempt(lambda: AudioBuffer(1, x=2)),
                               attempt(lambda: AudioBuffer(1, frames=1)), attempt(lambda: BUFFER.clear(1)),
                               attempt(lambda: BUFFER.set_sample(0, 0, "x")),
                               attempt(lambda: BUFFER.sample_at(0, 5)), attempt(lambda: AudioBuffer(-1))),
    "panic": lambda: attempt(lambda: AudioBuffer(2**62)),
    "memory": lambda: attempt(lambda: AudioBuffer(2**60)),
    "re-entrancy": lambda: attempt(lambda: BUFFER.set_sample(0, 0, Callback(BUFFER.clear))),
    "values": lambda: [(cls(9), repr(cls(9)), str(cls(9)), cls(9) == cls(9), cls(9) != cls(8), cls(9).value)
                       for cls in (Note, Velocity, MidiChannel)] + [Note(60).to_hz(), Note.from_hz(440.0)],
    "value errors": lambda: (attempt(lambda: Note(200)), attempt(lambda: MidiChannel(300)),
                             attempt(lambda: Velocity(1.5)), attempt(lambda: Note.from_hz("x"))),
    "messages": lambda: (MidiMessage.note_off(0, 1, 2), MidiMessage.control_change(1, 2, 3),
                         MidiMessage.program_change(1, 2), MidiMessage.pitch_bend(1, 2), MidiMessage.clock(),
                         MidiMessage.start(), MidiMessage.stop(), repr(MESSAGE), str(MESSAGE), MESSAGE == MESSAGE),
    "message errors": lambda: (attempt(lambda: MidiMessage.note_on(16, 1, 1)),
                               attempt(lambda: MidiMessage.note_on(1, 1.0, 1)), attempt(MidiMessage),
                               attempt(lambda: MidiMessage.clock(1))),
    "events": lambda: (MidiEvent(MESSAGE, 5).message, repr(MidiEvent(MESSAGE, 5)), MidiEvent(MESSAGE, 5).timestamp_us,
                       attempt(lambda: MidiEvent(None, 1))),
    "sources": lambda: [(source.render_to_buffer(64), repr(source), source.amplitude) for source in SOURCES],
    "source errors": lambda: [(attempt(lambda: source.render_to_buffer(-1)), attempt(lambda: source.render_to_buffer(2**62)))
                              for source in SOURCES] + [attempt(lambda: SineOscillator("x"))],

    # mixer

    # sequencing

    # sampler

    # devices
}


# Entries whose failure is an allocation the machine refuses.
ALLOCATION_FAILURES = {"memory"}

REPEATS = int(os.environ.get("OSTINA_LEAK_REPEATS", "5000"))
# Resident memory moves by whole pages and with the allocators' caches.
RSS_SLACK = 512 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


@pytest.mark.parametrize("call", [
    pytest.param(call, id=name, marks=[needs_plain_allocator] if name in ALLOCATION_FAILURES else [])
    for name, call in CALLS.items()])
def test_repeated_calls_stay_flat(call):
    for _ in range(200):  # warm caches and free lists
        call()
    gc.collect()
    tracemalloc.start()
    try:
        traced, resident = tracemalloc.get_traced_memory()[0], resident_bytes()
        for _ in range(REPEATS):
            call()
        gc.collect()
        traced_growth = tracemalloc.get_traced_memory()[0] - traced
        resident_growth = resident_bytes() - resident
    finally:
        tracemalloc.stop()
    assert traced_growth < 4096, f"{traced_growth} traced bytes left behind"
    # The sanitizers hold freed memory in quarantine; their leak check stands in.
    assert SANITIZED or resident_growth < RSS_SLACK, f"resident memory grew by {resident_growth} bytes"
