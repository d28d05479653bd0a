import ctypes
import os
import pathlib
import shutil
import struct
import subprocess
import sys

import pytest


# Set by .ci/sanitize: the C++ that tests compile themselves is checked like the
# extension (CMakeLists.txt, OSTINA_SANITIZE).
SANITIZED = bool(os.environ.get("OSTINA_SANITIZE"))
SANITIZE_FLAGS = (["-fsanitize=address,undefined,float-cast-overflow", "-fno-sanitize-recover=all",
                   "-fno-omit-frame-pointer", "-g"] if SANITIZED else [])

# Under the sanitizers an allocation that cannot be made ends the process
# (their operator new never throws std::bad_alloc), and their shadow memory
# does not fit under an address-space limit.
needs_plain_allocator = pytest.mark.skipif(SANITIZED, reason="the sanitizers' allocator aborts on failure")


ROOT = pathlib.Path(__file__).resolve().parent.parent


def compiler():
    found = shutil.which("c++") or shutil.which("g++")
    assert found, "a C++ compiler builds the extension, so one must be here"
    return found


@pytest.fixture(scope="session")
def fake_alsa(tmp_path_factory):
    """A directory holding the fake libasound.so.2."""
    directory = tmp_path_factory.mktemp("fake_alsa")
    subprocess.run([compiler(), "-std=c++20", "-O1", "-shared", "-fPIC", "-Wl,-soname,libasound.so.2",
                    f"-I{ROOT / 'src'}", str(ROOT / "tests" / "cpp" / "fake_libasound.cpp"),
                    "-o", str(directory / "libasound.so.2")], check=True, capture_output=True, text=True,
                   env=tool_environment())
    return directory


def tool_environment():
    """The environment for compilers, binutils and other players (fluidsynth),
    without the sanitizer runtime that .ci/sanitize preloads into the interpreter."""
    return {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}


def dead_pid():
    """The id of a process that has ended (and that no process reuses so soon)."""
    process = subprocess.Popen([sys.executable, "-c", ""])
    process.wait()
    return process.pid


def f32(value):
    """The double that a 32-bit float narrowed from `value` widens back to."""
    return ctypes.c_float(value).value  # a plain C narrowing: overflow gives inf


def bits(value):
    """The 64-bit pattern of a float, so that -0.0 and NaNs compare exactly."""
    return struct.pack("<d", value)


class Callback:
    """A number whose conversion first runs `action`: probes re-entrant use."""

    def __init__(self, action, value=0):
        self.action, self.value = action, value

    def __float__(self):
        self.action()
        return float(self.value)

    def __index__(self):
        self.action()
        return int(self.value)


class Items:
    """A sequence with nothing but a length and indexing: always read item by
    item through iteration, the reference for every faster reading."""

    def __init__(self, items):
        self.items = list(items)

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]


@pytest.fixture
def raises_exactly():
    """pytest.raises that also demands the exact class and the exact message."""

    def check(kind, message, call, *args, **kwargs):
        with pytest.raises(BaseException) as info:
            call(*args, **kwargs)
        assert type(info.value) is kind, repr(info.value)
        assert str(info.value) == message
        return info.value

    return check


class LongList(list):
    """A list whose length claims far more items than it holds."""

    def __len__(self):
        return 2**62


class LengthlessTuple(tuple):
    """A tuple that cannot tell its length."""

    def __len__(self):
        raise RuntimeError("no length")
