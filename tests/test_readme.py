"""The README's Python examples: interactive ones run as doctests, the others
at least compile."""
import doctest
import pathlib
import re

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

