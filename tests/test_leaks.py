"""Every entry point, on its success and its failure paths, releases what it
creates: repeating it many times leaves traced memory (Python objects) and the
process's resident memory (what the C++ side allocates) flat.
OSTINA_LEAK_REPEATS sets the repeat count; the long run uses 100000."""
import array
import gc
import os
import resource
import tracemalloc

import pytest

import ostina
from conftest import SANITIZED, Callback, needs_plain_allocator
from ostina import (AudioBuffer, AudioFormat, MidiChannel, MidiEvent, MidiMessage, NoiseSource, Note,
                    SawOscillator, SineOscillator, SquareOscillator, Velocity)


def attempt(call):
    try:
        call()
    except BaseException:  # the failure path is the point; PanicException included
        pass


def written(target, **values):
    """Set each property in turn, then read them all back."""
    for name, value in values.items():
        setattr(target, name, value)
    return [getattr(target, name) for name in values]


def refused(target, **values):
    for name, value in values.items():
        attempt(lambda: setattr(target, name, value))


BUFFER = AudioBuffer(64, channels=2)
SOURCES = [SineOscillator(), SquareOscillator(), SawOscillator(), NoiseSource()]
MESSAGE = MidiMessage.note_on(1, 60, 100)
LOOPED = ostina.AudioSample([0.1 * k for k in range(8)], root_note=60)
LOOPED.loop_start = 2
ENVELOPE = ostina.Envelope(0.0001, 0.0001, 0.5, 0.0001)
ZONE = ostina.SampleMapping(LOOPED, 40, 80, 0, 127)
ZONES = ostina.SampleMap.single_sample(LOOPED)
ZONES.add_mapping(ZONE)
SAMPLER = ostina.Sampler(LOOPED, max_voices=4)
# sample input shapes; the first is long enough for the long-list output path
SHAPES = [[0.5] * 5000, (0.5,) * 9, array.array("f", [0.5] * 9), array.array("d", [0.5] * 9),
          memoryview(array.array("f", [0.5] * 9)), range(9)]
TRUTHS = [True, False]  # and numpy's boolean when there is numpy
try:
    import numpy
    SHAPES += [numpy.zeros(9, numpy.float32), numpy.zeros(9), numpy.zeros(18, numpy.float32)[::2]]
    TRUTHS.append(numpy.bool_(True))
except ImportError:  # numpy is optional
    pass
RELEASED = memoryview(array.array("f", [1.0]))
RELEASED.release()
BAD_SHAPES = [[0.5] * 99 + ["x"], (0.5, None), RELEASED, "abc", 5]
MIXER = ostina.Mixer()
MIXER.add_channel("a"), MIXER.add_channel("b")
# devices
OUTPUT = ostina.AudioOutput()  # keeps libasound's configuration loaded between calls
CLOCK = ostina.TransportClock()
PATTERN = ostina.Pattern()
PATTERN.set_step(0, ostina.Step(36, 100))
SEQUENCER = ostina.StepSequencer(PATTERN)
EVENTS = ostina.EventSequence()

CALLS = {
    "format": lambda: (AudioFormat(48000, 1), repr(AudioFormat()), str(AudioFormat()),
                       AudioFormat() == AudioFormat(), AudioFormat() != 1, AudioFormat().sample_rate,
                       AudioFormat().channels),
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
    "messages": lambda: (MidiMessage.note_on(1, 60, 100), MidiMessage.note_off(0, 1, 2),
                         MidiMessage.control_change(1, 2, 3), MidiMessage.program_change(1, 2),
                         MidiMessage.pitch_bend(1, 2), MidiMessage.clock(), MidiMessage.start(), MidiMessage.stop(),
                         repr(MESSAGE), str(MESSAGE), MESSAGE == MESSAGE),
    "message errors": lambda: (attempt(lambda: MidiMessage.note_on(16, 1, 1)),
                               attempt(lambda: MidiMessage.note_on(1, 1.0, 1)), attempt(MidiMessage),
                               attempt(lambda: MidiMessage.clock(1)),
                               attempt(lambda: MidiMessage.control_change(1, 128, 3))),
    "events": lambda: (MidiEvent(MESSAGE, 5).message, repr(MidiEvent(MESSAGE, 5)), MidiEvent(MESSAGE, 5).timestamp_us,
                       attempt(lambda: MidiEvent(None, 1))),
    "sources": lambda: [(source.render_to_buffer(64), repr(source), source.amplitude) for source in SOURCES] +
                       [(tone(220.0, 0.5, 8000).frequency, tone().sample_rate)
                        for tone in (SineOscillator, SquareOscillator, SawOscillator)] + [NoiseSource(0.5, 7)],
    "source errors": lambda: [(attempt(lambda: source.render_to_buffer(-1)), attempt(lambda: source.render_to_buffer(2**62)))
                              for source in SOURCES] + [attempt(lambda: SineOscillator("x"))],

    # mixer
    "mixer channels": lambda: (ostina.MixerChannel("a").process_sample(0.5), repr(ostina.MixerChannel()),
                               ostina.MixerChannel() == ostina.MixerChannel("b"), ostina.MixerChannel() != 1,
                               setattr(ostina.MixerChannel(), "name", "x"), ostina.MixerChannel().name,
                               [written(ostina.MixerChannel(), gain=1.5, pan=-0.5, mute=truth, solo=truth)
                                for truth in TRUTHS],
                               (lambda c: c.process_sample(Callback(lambda: c == c)))(ostina.MixerChannel())),
    "mixer channel errors": lambda: (refused(ostina.MixerChannel(), gain="x", pan=None, mute=1, solo=1.5),
                                     attempt(lambda: ostina.MixerChannel(name=3)),
                                     attempt(lambda: delattr(ostina.MixerChannel(), "solo"))),
    "mixer": lambda: (lambda mixer: (
        mixer.add_channel("drums"), mixer.get_channel(0), mixer.set_channel_pan(0, 0.5), mixer.set_channel_gain(0, 1.5),
        [(mixer.set_channel_mute(0, truth), mixer.set_channel_solo(0, truth)) for truth in TRUTHS],
        mixer.channel_names(), mixer.channel_count(), written(mixer, master_gain=0.5), repr(mixer), len(mixer),
        mixer.mix_down([[0.5] * 16]), mixer.remove_channel(0), mixer.remove_channel(99)))(ostina.Mixer()),
    "mixer errors": lambda mixer=ostina.Mixer(): (
        attempt(lambda: mixer.get_channel(99)), attempt(lambda: mixer.set_channel_mute(99, True)),
        attempt(lambda: mixer.set_channel_solo(99, True)), attempt(lambda: mixer.set_channel_solo(0, 1.5)),
        refused(mixer, master_gain="x"), attempt(lambda: mixer.mix_down([[0.5]])),
        attempt(lambda: mixer.mix_down([[0.5], ["x"]])),
        attempt(lambda: mixer.mix_down("ab")), attempt(lambda: mixer.add_channel(None)),
        attempt(lambda: mixer.set_channel_gain(0, Callback(mixer.channel_count))),
        attempt(lambda: mixer.mix_down([[Callback(lambda: mixer.add_channel("x"))]]))),

    # sequencing
    "clock": lambda: (CLOCK.play(), CLOCK.advance_by_frames(512, 44100), CLOCK.pause(), CLOCK.advance_by_frames(1, 1),
                      CLOCK.stop(), CLOCK.seek(1.5), CLOCK.beats_to_ticks(1.5), CLOCK.ticks_to_beats(7),
                      CLOCK.beats_to_seconds(2.0), CLOCK.seconds_to_beats(2.0), CLOCK.state, repr(CLOCK),
                      setattr(CLOCK, "bpm", 90.0), CLOCK.bpm, CLOCK.position,
                      written(ostina.TransportClock(100.0), ticks_per_beat=96)),
    "clock errors": lambda: (attempt(lambda: CLOCK.advance_by_frames(-1, 1)), attempt(lambda: CLOCK.seek("x")),
                             attempt(lambda: setattr(CLOCK, "ticks_per_beat", 1.5))),
    "steps": lambda: (ostina.Step(60, 100, 2), repr(ostina.Step(1, 2)), ostina.Step(1, 2) == ostina.Step(1, 2),
                      [(written(ostina.Step(1, 2), note=60, velocity=90, duration_ticks=3, active=truth),
                        written(PATTERN, loop_enabled=truth)) for truth in TRUTHS],
                      PATTERN.clear(), PATTERN.set_step(3, ostina.Step(40, 90)), PATTERN.get_step(3),
                      PATTERN.toggle_step(5), repr(PATTERN), len(PATTERN), PATTERN.length, ostina.Pattern(32)),
    "step errors": lambda: (attempt(lambda: ostina.Step(128, 1)), attempt(lambda: PATTERN.get_step(99)),
                            refused(ostina.Step(1, 2), note=128, velocity=200, duration_ticks=-1, active=1.5),
                            refused(PATTERN, loop_enabled=1), PATTERN.set_step(99, ostina.Step(1, 2)),
                            PATTERN.toggle_step(99), attempt(lambda: PATTERN.set_step(0, None)),
                            attempt(lambda: ostina.Pattern(2**63))),
    "pattern memory": lambda: attempt(lambda: ostina.Pattern(2**59)),
    "step sequencer": lambda: (SEQUENCER.reset(), SEQUENCER.process_beat_range(0.0, 4.0),
                               SEQUENCER.set_pattern(PATTERN), repr(SEQUENCER), ostina.StepSequencer(PATTERN, 3),
                               written(SEQUENCER, step_duration=0.25), SEQUENCER.current_step),
    "step sequencer errors": lambda: (attempt(lambda: ostina.StepSequencer(PATTERN, 16)),
                                      attempt(lambda: SEQUENCER.process_beat_range(0.0, "x")),
                                      attempt(lambda: SEQUENCER.set_pattern(None)),
                                      refused(SEQUENCER, step_duration="x"),
                                      attempt(lambda: SEQUENCER.process_beat_range(Callback(SEQUENCER.reset), 1.0))),
    "event sequence": lambda: (EVENTS.add_event(ostina.NoteEvent(1.0, 0.5, 60, 100)), EVENTS.events(),
                       EVENTS.events_in_range(0.0, 2.0), EVENTS.events_starting_in_range(0.0, 2.0),
                       EVENTS.remove_event(0), EVENTS.remove_event(99), EVENTS.duration(), repr(EVENTS),
                       repr(ostina.NoteEvent(1.0, 0.5, 60, 100)), ostina.NoteEvent(1.0, 0.5, 60, 100).end_position(),
                       written(ostina.NoteEvent(1.0, 0.5, 60, 100), beat_position=2.0, duration=1.5, note=61,
                               velocity=90),
                       ostina.NoteEvent(1.0, 0.5, 60, 100) == ostina.NoteEvent(1.0, 0.5, 60, 100),
                       ostina.NoteEvent(1.0, 0.5, 60, 100) != ostina.NoteEvent(1.0, 0.5, 60, 90),
                       (lambda events: (events.add_event(ostina.NoteEvent(0.0, 1.0, 1, 1)), events.clear()))(
                           ostina.EventSequence())),
    "event sequence errors": lambda: (attempt(lambda: ostina.NoteEvent(0.0, 1.0, 128, 1)), attempt(lambda: EVENTS.add_event(1)),
                             attempt(lambda: EVENTS.remove_event(-1)),
                             refused(ostina.NoteEvent(0.0, 1.0, 1, 1), beat_position="x", duration=None, note=128,
                                     velocity=1.5)),

    # sampler
    "samples": lambda: (ostina.AudioSample([0.5, 0.25], 8000, 60).data(), repr(LOOPED), len(LOOPED),
                        LOOPED.duration_seconds(), LOOPED.loop_start, LOOPED.loop_end, setattr(LOOPED, "loop_end", 8),
                        LOOPED.sample_rate, LOOPED.root_note,
                        [written(ostina.AudioSample([0.5] * 4), loop_start=start, loop_end=end)
                         for start, end in ((1, 3), (None, 3), (1, None))],
                        setattr(LOOPED, "root_note", 60), attempt(lambda: setattr(LOOPED, "root_note", 200)),
                        attempt(lambda: setattr(LOOPED, "loop_start", "x")), attempt(lambda: ostina.AudioSample("abc")),
                        attempt(lambda: ostina.AudioSample([0.0, "x"])), attempt(lambda: ostina.AudioSample([], root_note=128))),
    "envelopes": lambda: (ostina.Envelope(-1.0, sustain=2.0), repr(ostina.Envelope()), ostina.Envelope() == ostina.Envelope(),
                          ostina.Envelope() != 1, setattr(ENVELOPE, "sustain", 0.5),
                          written(ostina.Envelope(), attack=0.1, decay=0.2, sustain=0.3, release=0.4),
                          attempt(lambda: setattr(ENVELOPE, "attack", "x"))),
    "sample maps": lambda: (ZONES.find_sample(60, 100), ZONES.find_sample(0, 0), repr(ZONES), len(ZONES),
                            ostina.SampleMap.single_sample(LOOPED), ostina.SampleMap().add_mapping(ZONE),
                            ZONE.matches(60, 100), repr(ZONE), ZONES.mapping_count(),
                            ostina.SampleMapping(LOOPED, 0, 127, 0, 127), attempt(lambda: ZONE.matches(128, 0)),
                            attempt(lambda: ZONES.find_sample(0, 128)), attempt(lambda: ostina.SampleMapping(LOOPED, 0, 0, 0, 200)),
                            attempt(lambda: ostina.SampleMap().add_mapping(None)),
                            attempt(lambda: ostina.SampleMap.single_sample(None))),
    "sampler": lambda: (SAMPLER.note_on(60, 100), SAMPLER.note_on(64, 0), SAMPLER.render(64), SAMPLER.note_off(60),
                        SAMPLER.all_notes_off(), SAMPLER.render(32), SAMPLER.set_envelope(ENVELOPE), repr(SAMPLER),
                        SAMPLER.active_voice_count(), SAMPLER.max_voices, setattr(SAMPLER, "max_voices", 3),
                        SAMPLER.sample_rate, SAMPLER.panic(), ostina.Sampler(LOOPED, 48000, 2)),
    "sampler errors": lambda: (attempt(lambda: SAMPLER.note_on(128, 1)), attempt(lambda: SAMPLER.note_on(1, 1.5)),
                               attempt(lambda: SAMPLER.render(2**62)),
                               attempt(lambda: SAMPLER.render(-1)), attempt(lambda: ostina.Sampler(None)),
                               attempt(lambda: SAMPLER.set_envelope(None)),
                               attempt(lambda: SAMPLER.note_off(Callback(SAMPLER.panic)))),
    "sampler memory": lambda: attempt(lambda: SAMPLER.render(2**60)),

    # devices
    "audio output": lambda: (ostina.AudioOutput(48000, 1, 256), OUTPUT.device_name(), OUTPUT.is_playing(),
                             OUTPUT.stop(), repr(OUTPUT)),  # list_devices: see test_devices.py
    "audio output errors": lambda: (attempt(lambda: ostina.AudioOutput(channels=70000)),
                                    attempt(lambda: ostina.AudioOutput(sample_rate="x")),
                                    attempt(lambda: OUTPUT.stop(1)), attempt(lambda: ostina.AudioOutput.list_devices(1))),
    "midi input": lambda: attempt(lambda: (lambda m: (m.list_ports(), repr(m)))(ostina.MidiInput("leak check"))),
    "midi input errors": lambda: (attempt(lambda: ostina.MidiInput(5)), attempt(lambda: ostina.MidiInput("a\0b"))),

    # sample input shapes
    "sample shapes": lambda: [ostina.AudioSample(shape).data() for shape in SHAPES] + [MIXER.mix_down(SHAPES[2:3] * 2)],
    "sample shape errors": lambda: [attempt(lambda: ostina.AudioSample(bad)) for bad in BAD_SHAPES],
}


# Entries whose failure is an allocation the machine refuses.
ALLOCATION_FAILURES = {"memory", "pattern memory", "sampler memory"}

# Calls per measured pass (two passes: resident memory, then traced memory).
REPEATS = int(os.environ.get("OSTINA_LEAK_REPEATS", "2500"))
# The interpreter's free lists (floats, lists, tuples) keep a varying number
# of freed objects, a few kilobytes at most; one object left behind per call
# is thousands of them.
TRACED_SLACK = 16 * 1024
# Resident memory moves by whole pages and with the allocators' caches.
RSS_SLACK = 512 * 1024


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def growth(call, measure):
    before = measure()
    for _ in range(REPEATS):
        call()
    gc.collect()
    return measure() - before


def traced_bytes():
    return tracemalloc.get_traced_memory()[0]


@pytest.mark.parametrize("call", [
    pytest.param(call, id=name, marks=[needs_plain_allocator] if name in ALLOCATION_FAILURES else [])
    for name, call in CALLS.items()])
def test_repeated_calls_stay_flat(call):
    for _ in range(200):  # warm caches and free lists
        call()
    gc.collect()
    # Resident memory first: tracing grows it with tables of its own.
    resident_growth = growth(call, resident_bytes)
    tracemalloc.start()
    try:
        traced_growth = growth(call, traced_bytes)
    finally:
        tracemalloc.stop()
    assert traced_growth < TRACED_SLACK, f"{traced_growth} traced bytes left behind"
    # The sanitizers hold freed memory in quarantine; their leak check stands in.
    assert SANITIZED or resident_growth < RSS_SLACK, f"resident memory grew by {resident_growth} bytes"
