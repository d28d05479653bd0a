"""The README's Python examples: interactive ones run as doctests, the others
at least compile."""
import doctest
import os
import pathlib
import re
import subprocess
import sys

import pytest


README = pathlib.Path(__file__).resolve().parent.parent / "README.md"
FENCE = re.compile(r"^```python\n(.*?)^```$", re.MULTILINE | re.DOTALL)


def python_blocks():
    text = README.read_text(encoding="utf-8")
    return [pytest.param(match.group(1), id=f"line {text.count(chr(10), 0, match.start()) + 2}")
            for match in FENCE.finditer(text)]


def test_readme_has_a_tour():
    assert sum(block.values[0].startswith(">>>") for block in python_blocks()) >= 7


@pytest.mark.parametrize("block", python_blocks())
def test_readme_example(block):
    if not block.startswith(">>>"):
        compile(block, str(README), "exec")
        return
    test = doctest.DocTestParser().get_doctest(block, {}, README.name, str(README), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)



SHELL_FENCE = re.compile(r"^```sh\n(.*?)^```$", re.MULTILINE | re.DOTALL)
RENDER_EXTRA = {"mido", "numpy", "soundfile", "tqdm"}


def render_commands():
    text = README.read_text(encoding="utf-8")
    return [pytest.param(match.group(1), id=f"line {text.count(chr(10), 0, match.start()) + 2}")
            for match in SHELL_FENCE.finditer(text) if '"$MIDI"' in match.group(1)]


@pytest.mark.parametrize("block", render_commands())
def test_readme_render_commands_run_as_written_in_the_quick_starts_environment(block, tmp_path):
    install, *commands = block.splitlines()
    installed = set(re.findall(r"[\w.]+", install.partition(" install -q ")[2]))
    if "'.[render]'" in install:
        installed |= RENDER_EXTRA
    imported = set(re.findall(r"import ([\w, ]+);", block))
    assert {name.strip() for names in imported for name in names.split(",")} <= installed | {"os"}
    (tmp_path / ".venv").symlink_to(sys.prefix)
    # The shell and its tools are not the project's: under the sanitizers their leaks are not ours.
    environment = {**os.environ, "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"}
    result = subprocess.run(["bash", "-euc", "\n".join(commands)], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120, env=environment)
    assert result.returncode == 0, result.stderr
    assert "1390.wav" in os.listdir(tmp_path)
