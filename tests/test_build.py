"""The built extension: one stable-ABI module that exports its init function
only, and a wheel that runs on any manylinux system."""
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

ROOT = pathlib.Path(__file__).resolve().parent.parent
# What a manylinux system always provides: glibc's own libraries.
SYSTEM_LIBRARIES = {"libc.so.6", "libm.so.6", "ld-linux-x86-64.so.2"}


def test_module_is_built_for_the_stable_abi():
    assert pathlib.Path(ostina.__file__).name == "ostina.abi3.so"


def test_only_the_init_function_is_exported():
    nm = shutil.which("nm")
    assert nm, "binutils come with the compiler that built the module"
    listing = subprocess.run([nm, "-D", "--defined-only", ostina.__file__],
                             check=True, capture_output=True, text=True, env=tool_environment()).stdout
    exported = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    assert exported == ["PyInit_ostina"]


def needed_libraries(path):
    dynamic = subprocess.run(["readelf", "-d", str(path)], check=True, capture_output=True, text=True).stdout
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[(.+?)\]", dynamic))


@pytest.mark.skipif(SANITIZED, reason="the sanitized build links the sanitizer runtime; the wheel test checks the release build")
def test_module_needs_only_glibc():
    needed = needed_libraries(ostina.__file__)
    assert "libc.so.6" in needed
    assert needed <= SYSTEM_LIBRARIES, "the C++ runtime is linked in statically"


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    folder = tmp_path_factory.mktemp("wheel")
    subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "-w", str(folder), str(ROOT)],
                   check=True, capture_output=True, text=True, env=tool_environment())
    [built] = folder.glob("*.whl")
    return built


def test_wheel_is_one_stable_abi_module_with_its_stubs_and_the_renderer(wheel):
    assert re.fullmatch(r"ostina-[^-]+-cp311-abi3-linux_x86_64\.whl", wheel.name)
    archive = zipfile.ZipFile(wheel)
    names = archive.namelist()
    assert "ostina.abi3.so" in names
    assert "ostina-stubs/__init__.pyi" in names
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
