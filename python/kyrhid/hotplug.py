"""Devices arriving and leaving, as an iterator of events.

An iterator rather than a Python callback on the library's hotplug thread:
the application's code then runs on its own thread, its exceptions land
where it can handle them, a slow consumer holds up no other watch, and
closing a watch only ever waits for the package's own short callback, which
copies the record and queues it, so no lock of the application can take
part in a deadlock with the library's wait.
"""
import atexit
import contextlib
import ctypes
import enum
import itertools
import threading
from dataclasses import dataclass
from typing import Dict, Optional

from . import _abi, _check, ids
from ._lib import _turn, lib, raise_for
from .device import DeviceInfo, _copy_info, _Stream
from .errors import KYR_ERROR_UNKNOWN

# Events are rare and each watch is read by its owner: no cap is needed, and
# a dropped departure would leave the consumer believing in a device that
# has gone.
_UNBOUNDED = float("inf")


class HotplugKind(enum.IntEnum):
    ARRIVED = _abi.KYR_HOTPLUG_ARRIVED
    LEFT = _abi.KYR_HOTPLUG_LEFT


@dataclass(frozen=True)
class HotplugEvent:
    """An interface that arrived or left. For LEFT, `info` is what was recorded on arrival; its index is
    the one open() takes for the interface when the event was delivered (-1 when it had gone already)."""
    kind: HotplugKind
    info: DeviceInfo


# The library calls _on_hotplug for every registration, with the context
# number of its watch. The trampoline is module-level and so outlives every
# registration. A watch is entered here before KyrRegisterHotplugCallback is
# called (enumeration reports arrive before it returns) and removed once
# KyrDeregisterHotplugCallback has returned, after which the library calls
# nothing more for it. The entry also keeps an open watch alive: a watch that
# the garbage collector closed could deregister on a thread holding the turn,
# which the callback may be waiting for.
_watches: Dict[int, "HotplugWatch"] = {}   # context number -> HotplugWatch; guarded by _watches_lock
_watches_lock = threading.Lock()
_contexts = itertools.count(1)


def _copy(record: int) -> DeviceInfo:
    # The accessors set the last error, which a Python thread may be about
    # to read under the turn (see _lib._turn for why this cannot deadlock).
    with _turn:
        return _copy_info(record)


def _on_hotplug(record: int, event: int, context: int) -> int:
    # No Python exception may reach the library; 0 keeps the registration,
    # which only close() ends.
    with contextlib.suppress(BaseException):
        with _watches_lock:
            watch = _watches.get(context)
        if watch is not None:
            watch._events._put(HotplugEvent(HotplugKind(event), _copy(record)))
    return 0


_ON_HOTPLUG = _abi.FnKyrHotplug(_on_hotplug)


@atexit.register
def _close_all() -> None:
    # The hotplug thread must not call into an interpreter that is shutting down.
    with _watches_lock:
        watches = list(_watches.values())
    for watch in watches:
        watch.close()


def _match(value: Optional[int], what: str) -> int:
    if value is None:
        return _abi.KYR_HOTPLUG_MATCH_ANY
    return _check.integer(value, what, 0, _abi.KYR_HOTPLUG_MATCH_ANY - 1)   # 65535 stands for any


class HotplugWatch:
    """Iterator over HotplugEvent records; a context manager that closes it. See watch().

    Lifetime: registered with the library, and kept alive by the package,
    from creation until close(), which any thread may call (at the latest
    at exit); a running iterator then ends after the events already queued.
    """

    def __init__(self, vendor: Optional[int], product: Optional[int], interface: Optional[int], arrived: bool,
                 left: bool, present: bool, timeout: Optional[float]) -> None:
        arrived, left = _check.flag(arrived, "arrived"), _check.flag(left, "left")
        present = _check.flag(present, "present")
        timeout = _check.optional_seconds(timeout, "timeout")
        events = (_abi.KYR_HOTPLUG_ARRIVED if arrived else 0) | (_abi.KYR_HOTPLUG_LEFT if left else 0)
        if not events:
            raise ValueError("a watch wants arrivals, departures or both")
        if present and not arrived:
            raise ValueError("present devices are reported as arrivals: present=True needs arrived=True")
        match = (_match(vendor, "vendor"), _match(product, "product"), _match(interface, "interface"))
        self._lock = threading.Lock()
        self._handle: Optional[int] = None   # guarded by _lock; None once closed
        self._events: _Stream[HotplugEvent] = _Stream(timeout, _UNBOUNDED)
        self._context = next(_contexts)
        with _watches_lock:
            _watches[self._context] = self
        handle = ctypes.c_int(0)
        flags = _abi.KYR_HOTPLUG_ENUMERATE if present else 0
        # Without the turn: enumeration reports run on the hotplug thread
        # before this returns, and they take the turn. The last error is
        # only read on a failure, which leaves UNKNOWN unless the arguments
        # (checked above) were wrong.
        registered = lib().KyrRegisterHotplugCallback(*match, events, flags, _ON_HOTPLUG, self._context,
                                                      ctypes.byref(handle))
        if registered != 1:
            with _watches_lock:
                del _watches[self._context]
            raise_for(lib().KyrGetLastError() or KYR_ERROR_UNKNOWN, "hotplug registration")
        with self._lock:
            self._handle = handle.value

    @property
    def timeout(self) -> Optional[float]:
        return self._events.timeout

    @property
    def closed(self) -> bool:
        with self._lock:
            return self._handle is None

    def __iter__(self) -> "HotplugWatch":
        return self

    def __next__(self) -> HotplugEvent:
        return next(self._events)

    def close(self) -> None:
        """Deregisters the watch and ends its iterator; returns once the library calls nothing more for it."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is None:
            return
        # No lock of the package is held here: the library waits for a
        # running callback, which takes the registry's lock, the queue's and
        # the turn.
        lib().KyrDeregisterHotplugCallback(handle)
        with _watches_lock:
            del _watches[self._context]
        self._events.close()

    def __enter__(self) -> "HotplugWatch":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<kyrhid.HotplugWatch {'closed' if self.closed else 'open'}>"


def watch(vendor: Optional[int] = ids.KYR_USB_VENDOR_ID, product: Optional[int] = None,
          interface: Optional[int] = None, arrived: bool = True, left: bool = True, present: bool = False,
          timeout: Optional[float] = None) -> HotplugWatch:
    """Watches interfaces of matching devices arrive and leave; None matches any id or interface.

    Each interface of a device is reported as its own event, in interface
    order. With `present`, the interfaces already attached are reported
    first, as arrivals, before watch() returns. The iterator ends after
    `timeout` seconds (None: no limit) without an event, or once the watch is
    closed, from any thread. Use it as a context manager, or close() it.
    """
    return HotplugWatch(vendor, product, interface, arrived, left, present, timeout)
