"""The built extensions: the toolkit's module and the renderer's synthesizer
core, each stable-ABI and exporting its init function only, and a wheel that
runs on any manylinux system."""
import json
import pathlib
import re
import shutil
import subprocess
import sys
import zipfile

import pytest

import ostina
from conftest import SANITIZED, tool_environment
from ostina_render import _synth

ROOT = pathlib.Path(__file__).resolve().parent.parent
# What a manylinux system always provides: glibc's own libraries.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}


MODULES = {"PyInit_ostina": ostina.__file__, "PyInit__synth": _synth.__file__}


def test_modules_are_built_for_the_stable_abi():
    assert [pathlib.Path(path).name for path in MODULES.values()] == ["ostina.abi3.so", "_synth.abi3.so"]


@pytest.mark.parametrize("init, path", MODULES.items())
def test_each_module_exports_its_init_function_only(init, path):
    nm = shutil.which("nm")
    assert nm, "binutils come with the compiler that built the module"
    listing = subprocess.run([nm, "-D", "--defined-only", path],
                             check=True, capture_output=True, text=True, env=tool_environment()).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == [init]


def test_the_toolkit_module_carries_nothing_of_the_synthesizer():
    toolkit, core = (pathlib.Path(path).read_bytes() for path in MODULES.values())
    for text in (b"MThd", b"initialFilterFc"):  # the MIDI file reader's and the generators' own
        assert text in core and text not in toolkit


def needed_libraries(path):
    dynamic = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True, text=True).stdout
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))


@pytest.mark.skipif(SANITIZED, reason="the sanitized build links the sanitizer runtime; the wheel test checks the release build")
@pytest.mark.parametrize("path", MODULES.values(), ids=MODULES.keys())
def test_modules_need_only_glibc(path):
    needed = needed_libraries(path)
    assert "libc.so.6" in needed
    assert needed <= SYSTEM_LIBRARIES, "the C++ runtime is linked in statically"


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(folder), str(ROOT)],
                   check=True, capture_output=True, text=True, env=tool_environment())
    [built] = folder.glob("*.whl")
    return built


def test_wheel_holds_both_stable_abi_modules_their_stubs_and_the_renderer(wheel):
    assert re.fullmatch(r"ostina-[^-]+-cp311-abi3-linux_x86_64\.whl", wheel.name)
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    assert {"ostina.abi3.so", "ostina_render/_synth.abi3.so"} <= set(names)
    assert {"ostina-stubs/__init__.pyi", "ostina_render/_synth.pyi"} <= set(names)
    assert {"ostina_render/cli.py", "ostina_render/py.typed"} <= set(names)
    assert [name for name in names if name.endswith(".py") and not name.startswith("ostina_render/")] == []
    [entry_points] = [name for name in names if name.endswith("entry_points.txt")]
    assert "ostina-render = ostina_render.cli:main" in archive.read(entry_points).decode()
    [metadata] = [name for name in names if name.endswith("/METADATA")]
    requires = [line for line in archive.read(metadata).decode().splitlines() if line.startswith("Requires-Dist:")]
    assert requires and all("extra ==" in line for line in requires)  # plain `pip install ostina` needs nothing


def test_auditwheel_finds_the_wheel_manylinux_compatible(wheel):
    report = json.loads(subprocess.run([sys.executable, "-m", "auditwheel", "show", "--json", str(wheel)],
                                       check=True, capture_output=True, text=True, env=tool_environment()).stdout)
    assert re.fullmatch(r"manylinux_2_\d+_x86_64", report["overall_tag"]), report
    assert report["external_libs"] == {}, report
