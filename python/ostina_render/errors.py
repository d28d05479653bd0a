"""The one exception for what the user got wrong: a bad file, sample or option,
and the install command that a missing extra's message names."""
from __future__ import annotations

import os
import sys


class RenderError(Exception):
    """A problem with the input or the output, said in one line.

    The command line prints it as it stands, without a traceback; anything
    else that escapes is a bug.
    """


def needs_extra(what: str, extra: str = "render") -> RenderError:
    """The error for `what`, which needs an extra that is not installed."""
    return RenderError(f"{what} needs the {extra} extra: {install_hint(extra)}")


def install_hint(extra: str) -> str:
    """The command that adds `extra` to this installation, from where the user stands:
    the virtual environment's own pip when it is not activated, and the folder this
    copy was installed from when it came from a clone rather than from PyPI."""
    import shlex

    return f"{_pip()} install {shlex.quote(f'{_requirement()}[{extra}]')}"


def _pip() -> str:
    """`pip` when the one first on the PATH is this interpreter's, else this interpreter's own."""
    import shutil

    own = os.path.join(os.path.dirname(sys.executable), "pip")
    found = shutil.which("pip")
    if found and os.path.exists(own) and os.path.samefile(found, own):
        return "pip"
    return _short(own) if os.path.exists(own) else f"{_short(sys.executable)} -m pip"


def _requirement() -> str:
    import json
    import urllib.parse
    from importlib import metadata

    try:
        origin = json.loads(metadata.distribution("ostina").read_text("direct_url.json") or "{}")
    except (metadata.PackageNotFoundError, ValueError):
        return "ostina"
    url = origin.get("url", "")
    if "dir_info" not in origin or not url.startswith("file://"):
        return "ostina"
    return _short(urllib.parse.unquote(url[len("file://"):]))


def _short(path: str) -> str:
    """`path` relative to the working folder when it lies within it."""
    relative = os.path.relpath(path)
    if relative.startswith(".."):
        return path
    return relative if relative == "." or os.sep in relative else os.path.join(".", relative)
