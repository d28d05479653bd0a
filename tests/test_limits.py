"""Huge sizes under a limited address space: each case runs in its own
interpreter whose address space is capped, so that an allocation the machine
could grant still fails. A size that cannot be represented raises
PanicException "capacity overflow" before anything is allocated; a size that
can but does not fit raises MemoryError; neither crashes, and the receiver
stays as it was."""
import subprocess
import sys
import textwrap

import pytest

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

pytestmark = needs_plain_allocator

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


@pytest.mark.parametrize("call, expected", HUGE.values(), ids=HUGE.keys())
def test_huge_size_fails_cleanly(call, expected):
    assert run_limited(f"print(outcome(lambda: {call}))") == [expected]
