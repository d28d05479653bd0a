"""The one exception for what the user got wrong: a bad file, sample or option."""
from __future__ import annotations


class RenderError(Exception):
    """A problem with the input or the output, said in one line.

    The command line prints it as it stands, without a traceback; anything
    else that escapes is a bug.
    """
