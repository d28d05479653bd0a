"""Immutable records for the classes that rendering a file needs.

Frozen dataclasses would do, but `dataclasses` and the `inspect` it loads
took 12 ms of the command's start-up, the largest part of a short piece's
time after the interpreter's own. Songs held as objects and batches, which
the command's single render does not import, stay dataclasses.
"""
from __future__ import annotations

TYPE_CHECKING = False  # typing's own costs the command's start-up an import
if TYPE_CHECKING:
    from typing import Any, ClassVar, Self


class Record:
    """The fields a class annotates and names in `__slots__` (its bases' first), set
    once by its `__init__` through `_set`, then compared, hashed, shown, matched and
    pickled by name and value. `replace` gives a copy with some fields changed, as
    `copy.replace` does from Python 3.13."""

    __slots__: tuple[str, ...] = ()
    _fields: ClassVar[tuple[str, ...]] = ()

    def __init_subclass__(cls, **options: Any) -> None:
        super().__init_subclass__(**options)
        cls._fields = tuple(name for base in reversed(cls.__mro__) for name in base.__dict__.get("__slots__", ()))
        setattr(cls, "__match_args__", cls._fields)  # positional patterns, as a dataclass has

    def _set(self, values: dict[str, Any]) -> None:
        for name in self._fields:
            object.__setattr__(self, name, values[name])

    def _values(self) -> tuple[Any, ...]:
        return tuple(getattr(self, name) for name in self._fields)

    def replace(self, **changes: Any) -> Self:
        values = dict(zip(self._fields, self._values()))
        if unknown := changes.keys() - values.keys():
            raise TypeError(f"{type(self).__name__} has no field {min(unknown)!r}")
        return type(self)(**(values | changes))

    __replace__ = replace

    def __setattr__(self, name: str, value: object) -> None:
        raise AttributeError(f"cannot assign to {name!r}: a {type(self).__name__} does not change")

    def __delattr__(self, name: str) -> None:
        raise AttributeError(f"cannot delete {name!r}: a {type(self).__name__} does not change")

    def __eq__(self, other: object) -> bool:
        if type(other) is not type(self):
            return NotImplemented
        return self._values() == other._values()

    def __hash__(self) -> int:
        return hash(self._values())

    def __repr__(self) -> str:
        shown = ", ".join(f"{name}={value!r}" for name, value in zip(self._fields, self._values()))
        return f"{type(self).__name__}({shown})"

    def __reduce__(self) -> tuple[Any, tuple[type[Self], dict[str, Any]]]:
        # by name and without `__init__`, as a dataclass is: a subclass's own signature or
        # an order of parameters unlike the fields' cannot mix values up
        return _rebuilt, (type(self), dict(zip(self._fields, self._values())))


def _rebuilt(kind: type[Record], values: dict[str, Any]) -> Record:
    record = object.__new__(kind)
    record._set(values)
    return record
