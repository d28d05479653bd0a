"""Running out of memory. Huge sizes run in an interpreter whose address
space is capped, so that an allocation the machine could grant still fails:
a size that cannot be represented raises PanicException "capacity overflow"
before anything is allocated, a size that can but does not fit raises
MemoryError, neither crashes, and the receiver stays as it was. Results that
cannot be built (the interpreter's allocator made to fail) leave their
object as it was too."""
import subprocess
import sys
import textwrap

import pytest

import ostina

from conftest import needs_plain_allocator

LIMIT = 2**29
# Samples of a render that fit under LIMIT (128 MiB) where their list of float
# objects (1 GiB) does not.
FITS_NOT_AS_LIST = 2**25

PRELUDE = f"""
import resource
import ostina
resource.setrlimit(resource.RLIMIT_AS, ({LIMIT}, {LIMIT}))

def outcome(call):
    try:
        call()
    except BaseException as error:
        return f"{{type(error).__name__}}: {{error}}"
    return "returned"
"""

MEMORY = "MemoryError: "
OVERFLOW = "PanicException: capacity overflow"


def run_limited(body):
    """Runs `body` after PRELUDE in a fresh interpreter; its printed lines."""
    result = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
                            capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    return result.stdout.splitlines()


SOURCES = ["SineOscillator(1234.5, 0.7)", "SquareOscillator(-300.0, 0.5)", "SawOscillator(97.0, 2.0, 8000)",
           "NoiseSource(0.3, 7)"]


@needs_plain_allocator
@pytest.mark.parametrize("source", SOURCES)
def test_render_that_cannot_build_its_list_leaves_the_source_unchanged(source):
    lines = run_limited(f"""
        source, twin = ostina.{source}, ostina.{source}
        source.render_to_buffer(5), twin.render_to_buffer(5)
        print(outcome(lambda: source.render_to_buffer({FITS_NOT_AS_LIST})))
        print(source.render_to_buffer(64) == twin.render_to_buffer(64))
    """)
    assert lines == [MEMORY, "True"]


# Objects that both render or walk and keep state: each is built twice, moved
# the same way, then one of them is asked for a result too large to deliver.
STATEFUL = {
    "sampler": ("s = ostina.Sampler(ostina.AudioSample([0.5, -0.25, 1.0] * 100)); s.note_on(60, 100)",
                f"s.render({FITS_NOT_AS_LIST})", "s.render(64), s.active_voice_count()"),
    # 2**22 active steps walked at once: the events fit, their tuples do not.
    "step sequencer": ("p = ostina.Pattern(1); p.set_step(0, ostina.Step(60, 100)); s = ostina.StepSequencer(p); "
                       "s.step_duration = 1.0",
                       "s.process_beat_range(0.0, 2.0**22)", "s.current_step, s.process_beat_range(0.0, 8.0)"),
}


@needs_plain_allocator
@pytest.mark.parametrize("build, huge, after", STATEFUL.values(), ids=STATEFUL.keys())
def test_result_that_cannot_be_delivered_leaves_the_object_unchanged(build, huge, after):
    lines = run_limited(f"""
        {build.replace("s =", "twin =").replace("s.", "twin.")}
        {build}
        print(outcome(lambda: {huge}))
        print(({after}) == ({after.replace("s.", "twin.")}))
    """)
    assert lines == [MEMORY, "True"]


# Each call, with what it must raise under the limit.
HUGE = {
    "buffer frames": ("ostina.AudioBuffer(2**40)", MEMORY),
    "buffer samples": ("ostina.AudioBuffer(2**61, channels=2)", OVERFLOW),
    "buffer product": ("ostina.AudioBuffer(2**63, channels=65535)", OVERFLOW),
    "buffer list": (f"ostina.AudioBuffer({FITS_NOT_AS_LIST}).to_list()", MEMORY),
    **{f"{name} frames": (f"ostina.{source}.render_to_buffer(2**40)", MEMORY)
       for name, source in zip(["sine", "square", "saw", "noise"], SOURCES)},
    **{f"{name} samples": (f"ostina.{source}.render_to_buffer(2**61)", OVERFLOW)
       for name, source in zip(["sine", "square", "saw", "noise"], SOURCES)},

    # mixer
    "mixdown list": ("(lambda mixer: (mixer.add_channel('a'), "
                     f"mixer.mix_down([[0.25] * {FITS_NOT_AS_LIST // 4}])))(ostina.Mixer())", MEMORY),
    # sequencing
    "pattern steps": ("ostina.Pattern(2**40)", MEMORY),
    "pattern bytes": ("ostina.Pattern(2**61)", OVERFLOW),
    # sampler
    "sampler frames": ("ostina.Sampler(ostina.AudioSample([0.5])).render(2**40)", MEMORY),
    "sampler samples": ("ostina.Sampler(ostina.AudioSample([0.5])).render(2**61)", OVERFLOW),
    "sample data list": (f"ostina.AudioSample([0.25] * {FITS_NOT_AS_LIST}).data()", MEMORY),
}


@needs_plain_allocator
@pytest.mark.parametrize("call, expected", HUGE.values(), ids=HUGE.keys())
def test_huge_size_fails_cleanly(call, expected):
    assert run_limited(f"print(outcome(lambda: {call}))") == [expected]


def sequencer():
    pattern = ostina.Pattern(4)
    pattern.set_step(1, ostina.Step(60, 100, 2))
    return ostina.StepSequencer(pattern)


def mixer():
    made = ostina.Mixer()
    for name in ("a", "b", "c"):
        made.add_channel(name)
    return made


def events():
    made = ostina.EventSequence()
    for beat in (0.0, 1.5, 3.0):
        made.add_event(ostina.NoteEvent(beat, 0.5, 60, 100))
    return made


def sampler():
    made = ostina.Sampler(ostina.AudioSample([0.5, -0.25, 1.0] * 50))
    made.note_on(60, 100)
    return made


# Calls that change their object and return a result: how to make the object,
# the call, and what to compare after it. (TransportClock.advance_by_frames
# builds its tuple of two floats from the interpreter's free lists, which
# this way of failing does not reach.)
CHANGE_AND_RETURN = {
    **{source.split("(")[0]: (lambda source=source: eval("ostina." + source),  # noqa: S307
                              lambda made: made.render_to_buffer(16), lambda made: made.render_to_buffer(16))
       for source in SOURCES},
    "Sampler.render": (sampler, lambda made: made.render(16), lambda made: (made.render(64), repr(made))),
    "StepSequencer.process_beat_range": (sequencer, lambda made: made.process_beat_range(0.0, 2.0),
                                         lambda made: (repr(made), made.process_beat_range(0.0, 4.0))),
    "Mixer.remove_channel": (mixer, lambda made: made.remove_channel(1), repr),
    "EventSequence.remove_event": (events, lambda made: made.remove_event(1),
                                   lambda made: [repr(event) for event in made.events()]),
}


@pytest.mark.parametrize("make, call, look", CHANGE_AND_RETURN.values(), ids=CHANGE_AND_RETURN.keys())
def test_result_that_cannot_be_built_leaves_the_object_unchanged(make, call, look):
    testcapi = pytest.importorskip("_testcapi")
    failures = 0
    for allocation in range(8):  # the first allocations of the call fail in turn
        made, twin = make(), make()
        testcapi.set_nomemory(allocation, allocation + 1)
        try:
            call(made)
            delivered = True
        except MemoryError:
            delivered = False
            failures += 1
        finally:
            testcapi.remove_mem_hooks()
        if delivered:
            call(twin)
        assert look(made) == look(twin)
    assert failures > 0
