"""Argument checks at the package's boundary.

Every public call checks its arguments here before anything reaches ctypes
or the device, so that a wrong type is a TypeError and a wrong value a
ValueError naming the argument, never a ctypes error, an AttributeError from
inside the package, or a value ctypes quietly converts (bytes(123) is 123
zero bytes, 70000 wraps to a 16-bit 4464).
"""
import math
import threading
from typing import Iterable, Optional, Tuple

# The library's times are 16-bit millisecond counts.
MAX_LIBRARY_SECONDS = 0xFFFF / 1000


def _type_name(value: object) -> str:
    return type(value).__name__


def whole(value: object, what: str) -> int:
    """An int, not a bool."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {_type_name(value)}")
    return value


def integer(value: object, what: str, low: int, high: int) -> int:
    """An int (not a bool) between low and high inclusive."""
    value = whole(value, what)
    if not low <= value <= high:
        raise ValueError(f"{what} must lie between {low} and {high}, not {value}")
    return value


def optional_integer(value: object, what: str, low: int, high: int) -> Optional[int]:
    return None if value is None else integer(value, what, low, high)


def flag(value: object, what: str) -> bool:
    if not isinstance(value, bool):
        raise TypeError(f"{what} must be True or False, not {_type_name(value)}")
    return value


def text(value: object, what: str) -> str:
    # Bytes are refused rather than guessed at: device texts are one byte per
    # character, so any byte string can be given as its Latin-1 decoding.
    if not isinstance(value, str):
        raise TypeError(f"{what} must be a str, not {_type_name(value)}")
    return value


def optional_text(value: object, what: str) -> Optional[str]:
    return None if value is None else text(value, what)


def buffer(value: object, what: str) -> bytes:
    """The bytes of a bytes-like object (bytes, bytearray, memoryview, array...)."""
    if isinstance(value, (str, int)):   # bytes() would take these: text, or a count of zero bytes
        raise TypeError(f"{what} must be bytes-like, not {_type_name(value)}")
    try:
        return memoryview(value).tobytes()   # type: ignore[arg-type]   # refused below when not a buffer
    except TypeError:
        raise TypeError(f"{what} must be bytes-like, not {_type_name(value)}") from None


def seconds(value: object, what: str, high: float) -> float:
    """A finite, non-negative number of seconds up to `high`."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{what} must be a number of seconds, not {_type_name(value)}")
    if not (math.isfinite(value) and 0 <= value <= high):
        raise ValueError(f"{what} must lie between 0 and {high:g} s, not {value}")
    return float(value)


def optional_seconds(value: object, what: str, high: float = threading.TIMEOUT_MAX) -> Optional[float]:
    """seconds(), or None for no limit."""
    return None if value is None else seconds(value, what, high)


def milliseconds(value: object, what: str) -> int:
    """Seconds as the library's 16-bit millisecond count."""
    return round(seconds(value, what, MAX_LIBRARY_SECONDS) * 1000)


def integers(value: object, what: str, low: int, high: int) -> Tuple[int, ...]:
    """A collection of ints in a range; a single int or a str is refused, not iterated."""
    if isinstance(value, (str, bytes, int)) or not isinstance(value, Iterable):
        raise TypeError(f"{what} must be a collection of ints, not {_type_name(value)}")
    return tuple(integer(item, f"each of {what}", low, high) for item in value)
