"""Loading the shared library and calling it under the last-error rule."""
import ctypes
import functools
import os
import threading
from typing import Any, NoReturn, Optional, Tuple

from . import _abi
from .errors import KyrError, error_for

SONAME = "KyrHIDLib-1.0.so.0.0.0"

# The library keeps one last-error value for the whole process. Python threads
# take turns from a call to reading the value it left, so that each reads its
# own; the library's threads may still write it in between, which no caller
# can prevent. Synchronous device calls hold the turn for up to their
# time-out. Never taken on a device's read thread, nor by the log callback
# or the report tap, which may run on a thread that holds it. The hotplug
# callback takes it on the library's delivery thread (the record's accessors
# write the value), so no thread holds it while waiting for that thread:
# hotplug registration and deregistration are called without it.
_turn = threading.Lock()


@functools.lru_cache(maxsize=None)
def lib() -> Any:
    """The loaded library, with every prototype set; loaded on first use."""
    path = os.environ.get("KYRHID_LIBRARY") or SONAME
    try:
        handle = ctypes.CDLL(path)
    except OSError as exc:
        raise OSError(f"cannot load the Kyr library {path!r} (install it, or set KYRHID_LIBRARY to its path): "
                      f"{exc}") from exc
    for name, (restype, argtypes) in _abi.PROTOTYPES.items():
        function = getattr(handle, name)
        function.restype = restype
        function.argtypes = argtypes
    return handle


def error_name(code: int) -> str:
    return str(lib().KyrGetErrorName(code).decode("ascii"))


def error_description(code: int) -> str:
    return str(lib().KyrGetErrorDescription(code).decode("ascii"))


def call(name: str, *args: Any) -> Tuple[Any, int]:
    """Calls a library function; returns its result and the last error it left."""
    library = lib()
    function = getattr(library, name)
    with _turn:
        result = function(*args)
        return result, library.KyrGetLastError()


def raise_for(code: int, what: str) -> NoReturn:
    raise make_error(code, what)


def make_error(code: int, what: str, description: Optional[str] = None) -> KyrError:
    """The exception for a code, with the library's name for it and, when given, a description of its own."""
    return error_for(code, error_name(code), description or error_description(code), what)
