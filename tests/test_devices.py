"""MidiInput and AudioOutput. libasound is loaded when a listing first needs
it, so every case runs in a fresh interpreter: against a fake libasound.so.2
built from the engine tests' fake system layer, against the machine's own
libasound, or with a libasound that cannot be used."""
import ctypes.util
import json
import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

import ostina
from conftest import compiler, tool_environment

ROOT = pathlib.Path(__file__).resolve().parent.parent
CREATE_FAILURE = "Failed to create MIDI input: MIDI support could not be initialized"
HOST_UNAVAILABLE = "the default host should always be available: HostUnavailable"
MIDI_SENT = "ostina::midi_input::PyMidiInput is unsendable, but sent to another thread"
MIDI_DROPPED = "ostina::midi_input::PyMidiInput is unsendable, but is being dropped on another thread"
OUTPUT_SENT = "ostina::audio_output::PyAudioOutput is unsendable, but sent to another thread"
OUTPUT_DROPPED = "ostina::audio_output::PyAudioOutput is unsendable, but is being dropped on another thread"

GENERIC, HARDWARE = 0x2, 0x10000
SOURCE, WRITE_ONLY = 0x21, 0x42

# Runs before each script: `outcome` gives a call's result or its exception,
# `on_thread` runs a call on another thread, `dropped` collects what the
# unraisable hook reports.
PRELUDE = """
import ctypes, json, sys, threading
import ostina

def outcome(call):
    try:
        return call()
    except BaseException as error:
        return [type(error).__name__, isinstance(error, Exception), str(error)]

def on_thread(call):
    box = []
    thread = threading.Thread(target=lambda: box.append(call()))
    thread.start()
    thread.join()
    return box[0]

dropped = []
sys.unraisablehook = lambda report: dropped.append([report.exc_type.__name__, str(report.exc_value)])
"""

FAKE_PRELUDE = """
fake = ctypes.CDLL("libasound.so.2")
fake.fake_alsa_client_name.restype = ctypes.c_char_p
"""


# A confined object dropped on another thread abandons its resources by
# design, which the sanitizer run's leak check would report.
ABANDONS = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}


def run_with_stderr(script, library_dir=None, **environment):
    """Runs `script` after the prelude in a new interpreter; returns what it
    printed as JSON, and everything written to its file descriptor 2."""
    env = dict(os.environ, **environment)
    if library_dir is not None:
        env["LD_LIBRARY_PATH"] = str(library_dir)
    code = PRELUDE + (FAKE_PRELUDE if library_dir is not None else "") + textwrap.dedent(script)
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout.splitlines()[-1]), result.stderr


def run(script, library_dir=None, **environment):
    """run_with_stderr, for the printed JSON alone."""
    return run_with_stderr(script, library_dir, **environment)[0]


needs_libasound = pytest.mark.skipif(ctypes.util.find_library("asound") is None,
                                     reason="libasound.so.2 (Debian's libasound2) is not installed")


# ---------------------------------------------------------------------------
# MidiInput over the fake library

def test_ports_are_listed_in_sequencer_order(fake_alsa):
    assert run("""
        fake.fake_alsa_add_client(24, b"Drums")
        fake.fake_alsa_add_client(20, b"Keys")
        fake.fake_alsa_add_port(24, 2, b"Kit", 0x2, 0x21)
        fake.fake_alsa_add_port(20, 1, b"Hardware only", 0x10000, 0x21)
        fake.fake_alsa_add_port(20, 0, b"Out", 0x2, 0x21)
        fake.fake_alsa_add_port(20, 3, b"Write only", 0x2, 0x42)
        fake.fake_alsa_add_port(20, 4, b"Gone", 0x2, 0x21)
        fake.fake_alsa_vanish_port(20, 4)
        fake.fake_alsa_add_port(24, 5, b"\\xff", 0x2, 0x21)
        m = ostina.MidiInput()
        print(json.dumps([m.list_ports(), repr(m)]))
    """, fake_alsa) == [["Keys:Out 20:0", "Drums:Kit 24:2"], "MidiInput(ports=2)"]


def test_repr_counts_the_ports_of_the_moment(fake_alsa):
    assert run("""
        m = ostina.MidiInput()
        before = repr(m)
        fake.fake_alsa_add_client(20, b"Keys")
        fake.fake_alsa_add_port(20, 0, b"Out", 0x2, 0x21)
        print(json.dumps([before, repr(m), m.list_ports()]))
    """, fake_alsa) == ["MidiInput(ports=0)", "MidiInput(ports=1)", ["Keys:Out 20:0"]]


def test_client_lives_under_its_name_until_collected(fake_alsa):
    assert run("""
        named, plain = ostina.MidiInput("Notebook"), ostina.MidiInput()
        names = [fake.fake_alsa_client_name(128).decode(), fake.fake_alsa_client_name(129).decode()]
        lists = [named.list_ports(), plain.list_ports()]
        del named, plain
        print(json.dumps([names, lists, fake.fake_alsa_open_handles()]))
    """, fake_alsa) == [["Notebook", "ostina"], [[], []], 0]


@pytest.mark.parametrize("setup, name", [
    ("", "'a\\0b'"),
    ("fake.fake_alsa_fail(b'snd_seq_open')", "'ostina'"),
    ("fake.fake_alsa_fail(b'snd_seq_set_client_name')", "'ostina'"),
])
def test_creation_failure_leaves_no_client(fake_alsa, setup, name):
    assert run(f"""
        {setup}
        print(json.dumps([outcome(lambda: ostina.MidiInput({name})), fake.fake_alsa_open_handles()]))
    """, fake_alsa) == [["RuntimeError", True, CREATE_FAILURE], 0]


def test_client_name_must_be_text():
    with pytest.raises(TypeError) as info:
        ostina.MidiInput(b"ostina")
    assert str(info.value) == "argument 'client_name': 'bytes' object is not an instance of 'str'"


def test_midi_input_is_confined_to_its_thread(fake_alsa):
    assert run("""
        m = ostina.MidiInput()
        print(json.dumps([on_thread(lambda: outcome(m.list_ports)), on_thread(lambda: outcome(lambda: repr(m))),
                          m.list_ports()]))
    """, fake_alsa) == [["PanicException", False, MIDI_SENT]] * 2 + [[]]


def test_a_later_thread_is_another_thread(fake_alsa):
    # The system may hand a new thread the id of one that has ended.
    assert run("""
        box = [on_thread(ostina.MidiInput)]
        sent = on_thread(lambda: outcome(box[0].list_ports))
        print(json.dumps(sent))
    """, fake_alsa, **ABANDONS) == ["PanicException", False, MIDI_SENT]


@pytest.mark.parametrize("script", [
    # made here, last reference dropped on another thread
    "m = ostina.MidiInput()\nbox = [m]\ndel m\non_thread(box.clear)",
    # made on another thread, dropped here
    "box = [on_thread(ostina.MidiInput)]\nbox.clear()",
])
def test_midi_input_dropped_on_another_thread_is_abandoned(fake_alsa, script):
    assert run(script + """
print(json.dumps([dropped, fake.fake_alsa_open_handles()]))
    """, fake_alsa, **ABANDONS) == [[["RuntimeError", MIDI_DROPPED]], 1]


# The fake library reports every failure it is told to make to libasound's
# error handler too, whose default prints an "ALSA lib ..." line. The module
# keeps the handler silent around its own calls and puts back the one it found.
QUIET_FAILURES = [
    ("snd_seq_open", "ostina.MidiInput", ["RuntimeError", True, CREATE_FAILURE]),
    ("snd_seq_set_client_name", "ostina.MidiInput", ["RuntimeError", True, CREATE_FAILURE]),
    ("snd_config_update", "ostina.AudioOutput", ["PanicException", False, HOST_UNAVAILABLE]),
    ("snd_device_name_hint", "ostina.AudioOutput.list_devices", []),
]


@pytest.mark.parametrize("failing, call, result", QUIET_FAILURES)
def test_library_errors_never_reach_stderr(fake_alsa, failing, call, result):
    printed, stderr = run_with_stderr(f"""
        fake.fake_alsa_fail(b"{failing}")
        print(json.dumps(outcome({call})))
    """, fake_alsa)
    assert (printed, stderr) == (result, "")


def test_installed_error_handler_is_put_back(fake_alsa):
    cases = [(failing, call) for failing, call, _ in QUIET_FAILURES]
    assert run(f"""
        fake.fake_alsa_count_errors()
        results = []
        for failing, call in {cases!r}:
            fake.fake_alsa_reset()
            fake.fake_alsa_fail(failing.encode())
            results.append(outcome(eval(call)))
        counted = [fake.fake_alsa_errors_counted(), fake.fake_alsa_counting_errors()]
        fake.fake_alsa_fail(b"snd_config_update")
        fake.snd_config_update()  # a failure outside the module reaches the handler
        print(json.dumps([results, counted, fake.fake_alsa_errors_counted()]))
    """, fake_alsa) == [[result for *_, result in QUIET_FAILURES], [0, 1], 1]


# ---------------------------------------------------------------------------
# AudioOutput over the fake library

def test_configuration_is_held_by_objects_and_listings(fake_alsa):
    assert run("""
        counts = lambda: [fake.fake_alsa_calls(b"snd_config_update"),
                          fake.fake_alsa_calls(b"snd_config_update_free_global")]
        ostina.AudioOutput.list_devices()
        seen = [counts()]
        first, second = ostina.AudioOutput(), ostina.AudioOutput()
        ostina.AudioOutput.list_devices()
        seen.append(counts())
        del first
        seen.append(counts())
        del second
        seen.append(counts())
        print(json.dumps(seen))
    """, fake_alsa) == [[1, 1], [2, 1], [2, 1], [2, 2]]


def test_listing_filters_hints_and_adds_card_entries(fake_alsa):
    assert run("""
        fake.fake_alsa_add_card(0, b"Onboard")
        fake.fake_alsa_add_pcm(0, 0, 1, 0, b"Analog", None)
        fake.fake_alsa_add_pcm(0, 1, 0, 1, None, b"Mic")
        fake.fake_alsa_add_hint(b"out", b"Speakers\\r\\nfront", b"Output")
        fake.fake_alsa_add_hint(b"in", b"Microphone", b"Input")
        fake.fake_alsa_add_hint(b"hw:CARD=0,DEV=0", None, None)
        fake.fake_alsa_add_hint(b"out", b"", None)
        print(json.dumps(ostina.AudioOutput.list_devices()))
    """, fake_alsa) == ["Speakers", "hw:CARD=0,DEV=0", "out", "Onboard, Analog"]


def test_audio_output_dropped_on_another_thread_keeps_its_hold(fake_alsa):
    assert run("""
        out = ostina.AudioOutput()
        sent = on_thread(lambda: [outcome(out.device_name), outcome(out.is_playing), outcome(out.stop),
                                  outcome(lambda: repr(out))])
        box = [out]
        del out
        on_thread(box.clear)
        ostina.AudioOutput.list_devices()
        print(json.dumps([sent, dropped, fake.fake_alsa_calls(b"snd_config_update_free_global")]))
    """, fake_alsa, **ABANDONS) == [[["PanicException", False, OUTPUT_SENT]] * 4, [["RuntimeError", OUTPUT_DROPPED]], 0]


def test_list_devices_works_on_any_thread(fake_alsa):
    assert run("""
        fake.fake_alsa_add_hint(b"default", b"Default", None)
        print(json.dumps(on_thread(ostina.AudioOutput.list_devices)))
    """, fake_alsa) == ["Default"]


def test_fake_listings_leave_nothing_behind(fake_alsa):
    # Here the listings succeed at a fake library's speed, which the
    # machine's libasound does not offer to the in-process leak check.
    growth = run("""
        import gc, tracemalloc
        fake.fake_alsa_add_client(20, b"Keys")
        fake.fake_alsa_add_port(20, 0, b"Out", 0x2, 0x21)
        fake.fake_alsa_add_hint(b"default", b"Default", None)
        def calls():
            m = ostina.MidiInput("leak check")
            m.list_ports(), repr(m), ostina.AudioOutput.list_devices()
            outcome(lambda: ostina.MidiInput("a\\0b"))
        for _ in range(200):
            calls()
        gc.collect()
        tracemalloc.start()
        before = tracemalloc.get_traced_memory()[0]
        for _ in range(5000):
            calls()
        gc.collect()
        print(json.dumps([tracemalloc.get_traced_memory()[0] - before, fake.fake_alsa_live_records(),
                          fake.fake_alsa_open_handles()]))
    """, fake_alsa)
    assert growth[0] < 4096 and growth[1:] == [0, 0], growth


# ---------------------------------------------------------------------------
# AudioOutput in this process, and against the machine's libasound

def test_output_object_names_the_default_device():
    out = ostina.AudioOutput(sample_rate=0, buffer_size=0)
    assert (out.device_name(), out.is_playing(), out.stop(), out.is_playing()) == \
        ("Default Audio Device", False, None, False)
    assert repr(out) == "AudioOutput(device='Default Audio Device', playing=false)"


@pytest.mark.parametrize("arguments, message", [
    ({"channels": 70000}, "out of range integral type conversion attempted"),
    ({"sample_rate": -1}, "out of range integral type conversion attempted"),
    ({"buffer_size": 2**32}, "out of range integral type conversion attempted"),
])
def test_output_arguments_convert_as_unsigned(raises_exactly, arguments, message):
    raises_exactly(OverflowError, message, ostina.AudioOutput, **arguments)


def test_output_arguments_name_the_parameter(raises_exactly):
    raises_exactly(TypeError, "argument 'channels': 'float' object cannot be interpreted as an integer",
                   ostina.AudioOutput, channels=2.0)


# libasound reports no IOID for PCMs outside a card's configuration, so the
# direction rules are left to the fake library. A literal CR and LF end the
# first line of one description.
ALSA_CONFIG = """
pcm.sink {{ type null }}
pcm.speakers {{ type asym playback.pcm "sink"
    hint {{ show on description "Speakers{newline}Front pair" }} }}
pcm.monitor {{ type null
    hint {{ show on description "Monitor{cr}{newline}Second line" }} }}
pcm.bare {{ type null
    hint.show on }}
"""


@needs_libasound
def test_real_library_lists_configured_hints(tmp_path):
    config = tmp_path / "asound.conf"
    config.write_text(ALSA_CONFIG.format(newline="\n", cr="\r"), newline="")
    names = run("print(json.dumps(ostina.AudioOutput.list_devices()))", ALSA_CONFIG_PATH=str(config))
    hints = ["Speakers", "Monitor", "bare"]
    assert names[:len(hints)] == hints
    cards = names[len(hints):]
    assert cards[0::2] == cards[1::2]  # the hw and plughw entries of each card device
    if not list(pathlib.Path("/dev/snd").glob("controlC*")):
        assert cards == []


@needs_libasound
@pytest.mark.skipif(os.path.exists("/dev/snd/seq"), reason="this machine has a sequencer device")
def test_real_library_without_sequencer():
    # libasound's default handler would print "ALSA lib seq_hw.c:...(snd_seq_hw_open)
    # open /dev/snd/seq failed"; it must be back in place afterwards.
    printed, stderr = run_with_stderr("""
        library = ctypes.CDLL("libasound.so.2")
        handler = lambda: ctypes.c_void_p.in_dll(library, "snd_lib_error").value
        before = handler()
        print(json.dumps([outcome(ostina.MidiInput), handler() == before]))
    """)
    assert printed == [["RuntimeError", True, CREATE_FAILURE], True]
    assert stderr == ""


@needs_libasound
def test_real_library_output_is_confined_to_its_thread():
    assert run("""
        out = ostina.AudioOutput()
        sent = on_thread(lambda: outcome(out.device_name))
        box = [on_thread(ostina.AudioOutput)]
        box.clear()
        print(json.dumps([sent, dropped, repr(out)]))
    """, **ABANDONS) == [["PanicException", False, OUTPUT_SENT], [["RuntimeError", OUTPUT_DROPPED]],
             "AudioOutput(device='Default Audio Device', playing=false)"]


# ---------------------------------------------------------------------------
# A libasound that cannot be used

@pytest.fixture(params=["broken", "incomplete"])
def unusable_alsa(request, tmp_path):
    """A libasound.so.2 that does not load, or loads without the functions."""
    library = tmp_path / "libasound.so.2"
    if request.param == "broken":
        library.write_bytes(b"not a shared object\n")
    else:
        source = tmp_path / "empty.cpp"
        source.write_text("int unrelated_symbol = 1;\n")
        subprocess.run([compiler(), "-shared", "-fPIC", "-Wl,-soname,libasound.so.2", str(source),
                        "-o", str(library)], check=True, capture_output=True, env=tool_environment())
    return tmp_path


def test_unusable_library_takes_the_failure_paths(unusable_alsa):
    assert run("""
        print(json.dumps([outcome(ostina.AudioOutput.list_devices), outcome(ostina.AudioOutput),
                          outcome(ostina.MidiInput)]))
    """, LD_LIBRARY_PATH=str(unusable_alsa)) == [
        ["PanicException", False, HOST_UNAVAILABLE], ["PanicException", False, HOST_UNAVAILABLE],
        ["RuntimeError", True, CREATE_FAILURE]]


@needs_libasound
def test_library_is_loaded_on_first_use_only():
    assert run("""
        loaded = lambda: "libasound" in open("/proc/self/maps").read()
        before = loaded()
        ostina.AudioOutput.list_devices()
        print(json.dumps([before, loaded()]))
    """) == [False, True]


def test_wheel_links_no_alsa_library():
    readelf = shutil.which("readelf")
    assert readelf, "binutils come with the compiler that built the module"
    dynamic = subprocess.run([readelf, "-d", ostina.__file__], check=True, capture_output=True, text=True,
                             env=tool_environment()).stdout
    needed = [line for line in dynamic.splitlines() if "(NEEDED)" in line]
    assert needed and not any("asound" in line for line in needed)


def test_signatures_and_class_shape():
    assert str(__import__("inspect").signature(ostina.MidiInput)) == "(client_name='ostina')"
    assert ostina.AudioOutput.__text_signature__ == "(sample_rate=44100, channels=2, buffer_size=512)"
    assert ostina.AudioOutput.list_devices.__text_signature__ == "()"
    assert ostina.MidiInput.list_ports.__text_signature__ == "($self)"
    for cls in (ostina.MidiInput, ostina.AudioOutput):
        with pytest.raises(TypeError, match="is not an acceptable base type"):
            type("Sub", (cls,), {})
    with pytest.raises(AttributeError):
        ostina.AudioOutput().playing = True
