import ctypes
import struct

import pytest


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
