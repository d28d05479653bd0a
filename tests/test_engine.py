"""Builds and runs the C++ tests of engine pieces that Python cannot reach."""
import concurrent.futures
import os
import pathlib
import subprocess

import pytest

from conftest import SANITIZE_FLAGS, compiler, tool_environment

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted((ROOT / "src").glob("*.cpp")) + sorted((ROOT / "src" / "synth").glob("*.cpp"))
FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", "-pthread", f"-I{ROOT / 'src'}", *SANITIZE_FLAGS]


def compile_object(source, folder):
    target = folder / f"{source.parent.name}_{source.stem}.o"
    subprocess.run([compiler(), *FLAGS, "-c", str(source), "-o", str(target)],
                   check=True, capture_output=True, text=True, env=tool_environment())
    return target


@pytest.fixture(scope="session")
def engine_objects(tmp_path_factory):
    """The engine compiled once, shared by every test program."""
    folder = tmp_path_factory.mktemp("engine")
    with concurrent.futures.ThreadPoolExecutor(os.cpu_count() or 1) as pool:
        return [str(target) for target in pool.map(lambda source: compile_object(source, folder), SOURCES)]


@pytest.mark.parametrize("test", sorted((ROOT / "tests" / "cpp").glob("test_*.cpp")),
                         ids=lambda path: path.stem)
def test_engine_program(test, tmp_path, engine_objects):
    program = tmp_path / test.stem
    subprocess.run([compiler(), *FLAGS, str(test), *engine_objects, "-o", str(program), "-lm"],
                   check=True, capture_output=True, text=True, env=tool_environment())
    result = subprocess.run([str(program)], capture_output=True, text=True, env=tool_environment())
    assert result.returncode == 0, result.stdout + result.stderr
