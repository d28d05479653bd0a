"""Builds and runs the C++ tests of engine pieces that Python cannot reach."""
import pathlib
import shutil
import subprocess

import pytest

from conftest import SANITIZE_FLAGS, tool_environment

ROOT = pathlib.Path(__file__).resolve().parent.parent
SOURCES = sorted(str(path) for path in (ROOT / "src").glob("*.cpp"))
FLAGS = ["-std=c++20", "-O2", "-ffp-contract=off", "-Wall", "-Wextra", f"-I{ROOT / 'src'}", *SANITIZE_FLAGS]


@pytest.mark.parametrize("test", sorted((ROOT / "tests" / "cpp").glob("test_*.cpp")),
                         ids=lambda path: path.stem)
def test_engine_program(test, tmp_path):
    compiler = shutil.which("c++") or shutil.which("g++")
    assert compiler, "a C++ compiler builds the extension, so one must be here"
    program = tmp_path / test.stem
    subprocess.run([compiler, *FLAGS, str(test), *SOURCES, "-o", str(program), "-lm"],
                   check=True, capture_output=True, text=True, env=tool_environment())
    result = subprocess.run([str(program)], capture_output=True, text=True, env=tool_environment())
    assert result.returncode == 0, result.stdout + result.stderr
