"""A progress bar over the audio seconds rendered, where someone watches.

In Jupyter it is tqdm's notebook bar (a widget), on a terminal tqdm's text
bar on stderr, and otherwise nothing: a log or a pipe gets no bar.
"""
from __future__ import annotations

import contextlib
import importlib.util
import sys

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from collections.abc import Callable, Iterator
    from typing import Any

    Progress = Callable[[int], None]  # called with the frames just rendered

BAR_FORMAT = "{desc} {percentage:3.0f}%|{bar}| {n:.1f}/{total:.1f} s audio [{elapsed}<{remaining}]"


@contextlib.contextmanager
def progress_bar(seconds: float, rate: int) -> Iterator[Progress | None]:
    """A function advancing a bar over `seconds` of audio at `rate` frames a second,
    or None when there is no one to show it to or tqdm (of the render extra) is absent."""
    bar = bar_class()
    if bar is None:
        yield None
        return
    with bar(total=round(float(seconds), 1), unit="s", unit_scale=True, desc="rendering", leave=False,
             bar_format=BAR_FORMAT) as shown:
        def advance(frames: int) -> None:
            shown.update(min(frames / rate, shown.total - shown.n))
        yield advance


def bar_class() -> Any:
    """tqdm's bar for where this runs, or None where no one watches."""
    if not installed("tqdm"):
        return None
    if in_jupyter() and installed("ipywidgets"):
        from tqdm.notebook import tqdm as notebook_bar
        return notebook_bar
    if sys.stderr is not None and sys.stderr.isatty():
        from tqdm import tqdm
        return tqdm
    return None


def in_jupyter() -> bool:
    """Whether this runs in a Jupyter kernel, asked of IPython only when it is loaded."""
    ipython = sys.modules.get("IPython")
    shell = ipython.get_ipython() if ipython is not None else None
    return type(shell).__name__ == "ZMQInteractiveShell"


def installed(module: str) -> bool:
    """Whether `module` can be imported, without the time of importing it."""
    try:
        return importlib.util.find_spec(module) is not None
    except ValueError:  # an entry without a spec in sys.modules
        return module in sys.modules
