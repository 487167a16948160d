"""The library's diagnostics as records of Python's logging, on the logger "kyrhid.library"."""
import atexit
import contextlib
import logging
import queue
import threading
import time
from typing import Optional, Tuple, Union

from . import _abi
from ._lib import lib

LOGGER_NAME = "kyrhid.library"

_LEVELS = {_abi.KYR_LOG_ERROR: logging.ERROR, _abi.KYR_LOG_WARNING: logging.WARNING,
           _abi.KYR_LOG_INFO: logging.INFO, _abi.KYR_LOG_DEBUG: logging.DEBUG}

# The library calls back on whatever thread found the event, possibly under
# a lock of its own, and allows no call into itself meanwhile. Logging's
# handlers may do anything (call this package among others), so the callback
# only queues the message; one long-lived thread hands the messages to
# logging, in order. Taking the interpreter lock in the callback cannot
# deadlock: no thread holds it while it waits inside the library (ctypes lets
# go of it around every call).
# (level, text, time) and flush markers; put never blocks
_pending: "queue.SimpleQueue[Union[Tuple[int, str, float], threading.Event]]" = queue.SimpleQueue()
_state = threading.Lock()        # one change of the callback at a time; never taken by the callback
_worker: Optional[threading.Thread] = None   # the thread that drains _pending; guarded by _state
_enabled = False                 # guarded by _state


def _on_log(level: int, message: bytes, context: Optional[int]) -> None:
    with contextlib.suppress(BaseException):
        _pending.put((level, message.decode("utf-8", "replace"), time.time()))


_ON_LOG = _abi.FnOnKyrLogHandler(_on_log)
_NO_LOG = _abi.FnOnKyrLogHandler()


def _drain() -> None:
    logger = logging.getLogger(LOGGER_NAME)
    while True:
        item = _pending.get()
        if isinstance(item, threading.Event):
            item.set()
            continue
        level, text, created = item
        python_level = _LEVELS.get(level, logging.DEBUG)
        # A failing handler is logging's business (handleError); nothing here may end the thread.
        with contextlib.suppress(Exception):
            if logger.isEnabledFor(python_level):
                record = logger.makeRecord(LOGGER_NAME, python_level, "(KyrHIDLib)", 0, "%s", (text,), None)
                record.created = created
                record.msecs = (created - int(created)) * 1000
                logger.handle(record)


def _logging_level(level: object) -> int:
    if isinstance(level, str):
        value = logging.getLevelName(level.upper())   # the number for a known name, else a text
        if not isinstance(value, int):
            raise ValueError(f"level {level!r} is not the name of a logging level")
        return value
    if isinstance(level, bool) or not isinstance(level, int):
        raise TypeError(f"level must be a logging level (an int or its name), not {type(level).__name__}")
    if not logging.NOTSET <= level <= logging.CRITICAL:
        raise ValueError(f"level must lie between {logging.NOTSET} and {logging.CRITICAL}, not {level}")
    return level


def _library_level(level: int) -> int:
    for library_level in (_abi.KYR_LOG_DEBUG, _abi.KYR_LOG_INFO, _abi.KYR_LOG_WARNING):
        if level <= _LEVELS[library_level]:
            return library_level
    return _abi.KYR_LOG_ERROR


def enable_diagnostics(level: Union[int, str] = logging.INFO) -> None:
    """Sends the library's diagnostics at `level` (a logging level from 0 to 50, or its name such as
    "DEBUG") and above to the logger "kyrhid.library".

    The library tells the steps of opening a device (INFO), reports it threw
    away with the reason and running counts (WARNING) and failed USB calls
    (ERROR). The logger's own level and handlers apply as usual. Records
    reach logging on a thread of the package, shortly after the library
    gave them; the record's time is when the library did.
    """
    global _worker, _enabled
    level = _logging_level(level)
    with _state:
        if _worker is None:
            _worker = threading.Thread(target=_drain, name="kyrhid diagnostics", daemon=True)
            _worker.start()
        lib().KyrSetLogCallback(_library_level(level), _ON_LOG, None)
        _enabled = True


def disable_diagnostics() -> None:
    """Turns the library's diagnostics off; returns once every message it gave has reached logging
    (at once when called from a logging handler of them)."""
    global _enabled
    with _state:
        if not _enabled:
            return
        # Once this returns the callback runs no more: the marker comes last.
        lib().KyrSetLogCallback(_abi.KYR_LOG_NONE, _NO_LOG, None)
        _enabled = False
        worker = _worker
    if threading.current_thread() is not worker:
        flushed = threading.Event()
        _pending.put(flushed)
        flushed.wait()


atexit.register(disable_diagnostics)
