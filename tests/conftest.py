import ctypes
import struct

import pytest


def f32(value):
    """The double that a 32-bit float narrowed from `value` widens back to."""
    return ctypes.c_float(value).value  # a plain C narrowing: overflow gives inf


def bits(value):
    """The 64-bit pattern of a float, so that -0.0 and NaNs compare exactly."""
    return struct.pack("<d", value)


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
