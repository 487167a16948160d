"""Enumeration, open devices, commands and packet streams."""
import atexit
import collections
import contextlib
import ctypes
import dataclasses
import enum
import itertools
import threading
import warnings
import weakref
from dataclasses import dataclass
from typing import Any, Deque, Dict, Generic, Iterable, Iterator, List, Optional, Tuple, TypeVar, Union

from . import _abi, _check, ids
from ._lib import _turn, call, error_name, lib, make_error, raise_for
from .errors import (KYR_ERROR_ACCESS_DENIED, KYR_ERROR_INVALID_PARAMETER, KYR_ERROR_NO_DEVICE, KYR_ERROR_TIMEOUT,
                     KYR_SUCCESS, DeviceBusy,
                     KyrError, NoDevice)
from .packets import Packet, Response, Version, decode

_Item = TypeVar("_Item")
_Self = TypeVar("_Self")
_Slot = Tuple[int, int, int]   # product, interface, index

_UNPLUGGED = "the device was unplugged"

# Packets a stream holds for a consumer that falls behind; past that the
# newest are dropped and counted, since the read thread must never wait.
STREAM_CAPACITY = 4096

_INSTANT_MODE = "instant_mode="


@dataclass(frozen=True)
class DeviceInfo:
    path: str       # "bbbb:aaaa:ii": bus, device address, interface
    vendor: int
    product: int
    interface: int
    index: int      # among the devices of the same ids and interface
    # False when devices() found that this process may not open the device
    # (see the udev rule); records from watch() do not try and say True.
    accessible: bool = True


def _copy_info(record: int) -> DeviceInfo:
    """Copies a device record; the caller holds the turn, as the record may be overwritten by the next call."""
    library = lib()
    return DeviceInfo(library.KyrGetDevInfoPath(record).decode("ascii"), library.KyrGetDevInfoVendorID(record),
                      library.KyrGetDevInfoProductID(record), library.KyrGetDevInfoInterfaceNumber(record),
                      library.KyrGetDevInfoDeviceIndex(record))


def devices(vendor: int = ids.KYR_USB_VENDOR_ID, products: Iterable[int] = ids.KNOWN_PRODUCTS) -> List[DeviceInfo]:
    """Every attached interface of the given products, as DeviceInfo records.

    An interface this process may not open is listed all the same, with
    `accessible` False (opening it raises AccessDenied; see the udev rule).
    One that cannot be described otherwise is left out with a warning; one
    that went away meanwhile is left out silently.
    """
    # Changes as they happen: hotplug.watch().
    vendor = _check.integer(vendor, "vendor", 0, 0xFFFF)
    products = _check.integers(products, "products", 0, 0xFFFF)
    library = lib()
    found: List[Union[DeviceInfo, _Slot]] = []
    for product in products:
        interface = 0
        # A device with N interfaces matches every interface number below N.
        while (count := call("KyrGetDeviceCount", vendor, product, interface)[0]) > 0:
            for index in range(count):
                with _turn:
                    record = library.KyrGetDeviceInfo(vendor, product, interface, index)
                    info = _copy_info(record) if record else None
                    error = library.KyrGetLastError()
                if info is not None:
                    found.append(info)
                elif error == KYR_ERROR_ACCESS_DENIED:
                    found.append((product, interface, index))   # described below, without opening it
                elif error != KYR_ERROR_NO_DEVICE:
                    warnings.warn(f"device {vendor:04x}:{product:04x} interface {interface} index {index} "
                                  f"left out: {error_name(error)}", RuntimeWarning, stacklevel=2)
            interface += 1
    denied = [entry for entry in found if isinstance(entry, tuple)]
    described = _describe_without_opening(vendor, denied) if denied else {}
    listed: List[DeviceInfo] = []
    for entry in found:
        if isinstance(entry, DeviceInfo):
            listed.append(entry)
        elif entry in described:
            listed.append(described[entry])
        else:   # gone meanwhile, or the watch could not describe it
            warnings.warn(f"device {vendor:04x}:{entry[0]:04x} interface {entry[1]} index {entry[2]} "
                          f"left out: {error_name(KYR_ERROR_ACCESS_DENIED)}", RuntimeWarning, stacklevel=2)
    return listed


def _describe_without_opening(vendor: int, denied: List[_Slot]) -> Dict[_Slot, DeviceInfo]:
    """Records marked inaccessible for (product, interface, index) entries the library could not open to
    describe. The hotplug watch reports the present devices from their descriptors alone, with the index
    open() takes, so it names them as they are."""
    from .hotplug import watch   # hotplug builds on this module
    try:
        with watch(vendor=vendor, left=False, present=True, timeout=0) as present:
            seen = {(event.info.product, event.info.interface, event.info.index): event.info for event in present}
    except KyrError:
        return {}
    return {entry: dataclasses.replace(seen[entry], accessible=False) for entry in denied if entry in seen}


def mode_bits(modes: str) -> int:
    """Data-mode letters ("TG", "MCVOTGDSX", either case) as library mode bits."""
    bits = 0
    for letter in _check.text(modes, "modes").upper():
        if letter not in _abi.MODE_BITS:
            raise ValueError(f"unknown data-mode letter {letter!r}; letters are {''.join(_abi.MODE_BITS)}")
        bits |= _abi.MODE_BITS[letter]
    return bits


class _Failure:
    def __init__(self, exc: BaseException) -> None:
        self.exc = exc


class _Stream(Generic[_Item]):
    """An iterator fed by a library thread through a queue.

    The library thread only appends to the queue and the consumer only takes
    from it, both under the stream's condition, which is never held while the
    library is called. Past `capacity` items the newest are dropped and
    counted, since a library thread must never wait for the consumer.
    """

    def __init__(self, timeout: Optional[float], capacity: float = STREAM_CAPACITY) -> None:
        self.timeout = timeout
        self._capacity = capacity
        self._cond = threading.Condition()
        self._queue: Deque[Union[_Item, _Failure]] = collections.deque()   # guarded by _cond
        self._ended = False                 # guarded by _cond
        self.dropped = 0                    # items lost to a full queue; guarded by _cond

    def _put(self, item: Union[_Item, _Failure]) -> None:
        with self._cond:
            if self._ended:
                return
            if len(self._queue) >= self._capacity:
                self.dropped += 1
                return
            self._queue.append(item)
            self._cond.notify()

    def _end(self) -> None:
        with self._cond:
            self._ended = True
            self._cond.notify_all()

    def __iter__(self: _Self) -> _Self:
        return self

    def __next__(self) -> _Item:
        with self._cond:
            if not self._cond.wait_for(lambda: self._queue or self._ended, self.timeout):
                raise StopIteration   # nothing came for `timeout` seconds
            if not self._queue:
                raise StopIteration
            item = self._queue.popleft()
        if isinstance(item, _Failure):
            raise item.exc
        return item

    def close(self) -> None:
        self._end()

    def __enter__(self: _Self) -> _Self:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


class PacketStream(_Stream[Packet]):
    """Iterator over the packets of the kinds asked for; see Device.packets.

    Lifetime: registered with its device from creation until close().
    """

    def __init__(self, device: "Device", bits: int, expire_ms: int, gesture: Optional[int],
                 timeout: Optional[float]) -> None:
        super().__init__(timeout)
        self._device = device
        self.bits = bits
        self.expire_ms = expire_ms
        self.gesture = gesture

    def close(self) -> None:
        """Stops the stream; the device asks for the data modes of the streams still open."""
        self._end()
        self._device._drop_stream(self)


class ReportDirection(enum.IntEnum):
    OUT = _abi.KYR_REPORT_OUT   # written to the device
    IN = _abi.KYR_REPORT_IN     # read from the device


@dataclass(frozen=True)
class Report:
    """One USB transfer of a device, as the report tap saw it."""
    direction: ReportDirection
    endpoint: int        # USB endpoint address, 0x80 set for IN
    timestamp_ns: int    # CLOCK_MONOTONIC (time.monotonic_ns()) when it was taken from or handed to the device
    data: bytes


class ReportStream(_Stream[Report]):
    """Iterator over every report a device reads or writes; see Device.reports.

    Lifetime: registered with its device from creation until close(); the
    device's tap is installed while at least one is registered.
    """

    def __init__(self, device: "Device", timeout: Optional[float]) -> None:
        super().__init__(timeout)
        self._device = device

    def close(self) -> None:
        """Stops the stream; the device's tap goes with the last one."""
        self._end()
        self._device._drop_reports(self)


class _Receiver:
    """What the library's threads deliver to: answers, firmware versions, packet and report streams.

    Lifetime: one per Device, registered under its context number while the
    library may call back for its handle (see _register). Its lock is a leaf,
    never held while the library is called.
    """

    def __init__(self) -> None:
        self._cond = threading.Condition()
        self.streams: List[PacketStream] = []          # guarded by _cond
        self.report_streams: List[ReportStream] = []   # guarded by _cond
        # command id -> [(sequence, text, final)]; guarded by _cond
        self._answers: Dict[int, List[Tuple[int, str, bool]]] = {}
        self._sequence = 0         # answer pieces received so far; guarded by _cond
        self._versions: Optional[List[Version]] = None   # Version packets while a firmware query runs; guarded by _cond
        self.ended: Optional[str] = None   # why the device can no longer answer, once it cannot; guarded by _cond

    # ---- read thread -----------------------------------------------------
    def on_packet(self, address: int) -> None:
        # A failure goes to the streams, where the consumer sees it.
        try:
            self._on_packet(address)
        except Exception as exc:  # noqa: BLE001 - handed on, not swallowed
            for stream in self._streams_copy():
                stream._put(_Failure(exc))

    def _streams_copy(self) -> List[PacketStream]:
        with self._cond:
            return list(self.streams)

    def _on_packet(self, address: int) -> None:
        kind = ctypes.c_short.from_address(address).value
        bit = _abi.MODE_OF_TYPE.get(kind, 0)
        with self._cond:
            wanted = [s for s in self.streams if bit == 0 or s.bits & bit]
            answer = kind in (_abi.TYPE_RSP, _abi.TYPE_RSE)
            version = kind == _abi.TYPE_VER and self._versions is not None
        if not (wanted or answer or version):
            return
        packet = decode(address)
        if packet is None:
            return   # a kind this package does not know
        if answer and isinstance(packet, Response):
            self._add_piece(packet)
        if version and isinstance(packet, Version):
            with self._cond:
                if self._versions is not None:
                    self._versions.append(packet)
        for stream in wanted:
            stream._put(packet)

    def _add_piece(self, packet: Response) -> None:
        with self._cond:
            self._sequence += 1
            pieces = self._answers.setdefault(packet.id, [])
            if pieces and pieces[-1][2]:
                pieces.clear()   # a new answer under a reused id
            pieces.append((self._sequence, packet.text, packet.is_final))
            self._cond.notify_all()

    # ---- report tap: read thread, sending threads, keep-alive timer ---------
    def on_report(self, direction: int, endpoint: int, timestamp_ns: int, data: Any, length: int) -> None:
        with self._cond:
            streams = list(self.report_streams)
        if not streams:
            return
        report = Report(ReportDirection(direction), endpoint, timestamp_ns, ctypes.string_at(data, length))
        for stream in streams:
            stream._put(report)

    # ---- application threads ---------------------------------------------
    def end(self, why: str) -> None:
        with self._cond:
            if self.ended is None:
                self.ended = why
            streams, self.streams = self.streams, []
            reports, self.report_streams = self.report_streams, []
            self._cond.notify_all()
        for stream in streams + reports:
            stream._end()

    def why_ended(self) -> Optional[str]:
        with self._cond:
            return self.ended

    def sequence(self) -> int:
        with self._cond:
            return self._sequence

    def wait_answer(self, ident: int, after: int, timeout: Optional[float], what: str) -> str:
        """The whole answer to command `ident`, made of the pieces received after piece `after`."""
        def complete() -> Optional[List[Tuple[int, str, bool]]]:
            pieces = [p for p in self._answers.get(ident, ()) if p[0] > after]
            return pieces if pieces and pieces[-1][2] else None

        with self._cond:
            self._cond.wait_for(lambda: complete() or self.ended, timeout)
            pieces = complete()
            if pieces is None:
                raise make_error(KYR_ERROR_NO_DEVICE if self.ended else KYR_ERROR_TIMEOUT, what, self.ended)
            del self._answers[ident]
        return "".join(text for _, text, _ in pieces)

    def add_stream(self, stream: PacketStream) -> None:
        with self._cond:
            if self.ended is not None:
                raise make_error(KYR_ERROR_NO_DEVICE, "packets", self.ended)
            self.streams.append(stream)

    def remove_stream(self, stream: PacketStream) -> bool:
        with self._cond:
            if stream in self.streams:
                self.streams.remove(stream)
                return True
            return False

    def add_report_stream(self, stream: ReportStream) -> None:
        with self._cond:
            if self.ended is not None:
                raise make_error(KYR_ERROR_NO_DEVICE, "reports", self.ended)
            self.report_streams.append(stream)

    def remove_report_stream(self, stream: ReportStream) -> bool:
        with self._cond:
            if stream in self.report_streams:
                self.report_streams.remove(stream)
                return True
            return False

    def wants_reports(self) -> bool:
        with self._cond:
            return bool(self.report_streams)

    @contextlib.contextmanager
    def versions(self) -> Iterator[List[Version]]:
        with self._cond:
            captured: List[Version] = []
            self._versions = captured
        try:
            yield captured
        finally:
            with self._cond:
                self._versions = None


# The library calls these three for every handle, with the context number of
# its receiver. Module-level, they outlive every handle: no callback can run
# through a freed trampoline, whichever thread closes or collects a Device.
# A receiver is registered before its table is installed and removed once
# KyrCloseDevice has returned, after which the library calls nothing more.
_receivers: Dict[int, _Receiver] = {}   # context number -> _Receiver; guarded by _receivers_lock
_receivers_lock = threading.Lock()
_contexts = itertools.count(1)


def _receiver_of(context: int) -> Optional["_Receiver"]:
    with _receivers_lock:
        return _receivers.get(context)


def _on_packet(handle: Optional[int], address: int, sync: int, context: int) -> None:
    # No Python exception may reach the library.
    with contextlib.suppress(BaseException):
        receiver = _receiver_of(context)
        if receiver is not None:
            receiver.on_packet(address)


def _on_disconnect(handle: Optional[int], context: int) -> None:
    with contextlib.suppress(BaseException):
        receiver = _receiver_of(context)
        if receiver is not None:
            receiver.end(_UNPLUGGED)


def _on_report(handle: Optional[int], direction: int, endpoint: int, timestamp_ns: int, data: Any, length: int,
               context: int) -> None:
    # Runs on the read thread, on an application thread inside a send (which
    # holds the turn: never taken here) or on the keep-alive timer.
    with contextlib.suppress(BaseException):
        receiver = _receiver_of(context)
        if receiver is not None:
            receiver.on_report(direction, endpoint, timestamp_ns, data, length)


_ON_PACKET = _abi.FnOnKyrPacketHandler(_on_packet)
_ON_DISCONNECT = _abi.FnOnKyrDisconnectHandler(_on_disconnect)
_ON_REPORT = _abi.FnKyrReportTap(_on_report)
_NO_TAP = _abi.FnKyrReportTap()

# Devices still open, closed at exit: the read thread must not call into an
# interpreter that is shutting down.
_open_devices: "weakref.WeakSet[Device]" = weakref.WeakSet()


@atexit.register
def _close_all() -> None:
    for device in list(_open_devices):
        device.close()


class Device:
    """An open device; a context manager that closes it.

    Every method may be called from any thread. When another thread closes
    the device, or it is unplugged, running packet iterators end after the
    packets already received and waiting commands fail with NoDevice at
    once; an unplug fails waiting firmware queries and raw sends so too,
    while close() lets them return first, each within its own time-out.
    """

    def __init__(self, handle: int) -> None:
        # The library handle is used only inside _use(). close() refuses new
        # uses, waits until the running ones have returned, and only then
        # frees it; that is the one rule for the handle's life.
        self._lock = threading.Lock()
        self._idle = threading.Condition(self._lock)
        self._handle: Optional[int] = handle   # guarded by _lock; None from the start of close()
        self._calls = 0              # uses under way; guarded by _lock
        self._modes_lock = threading.Lock()     # one change of the data modes at a time
        self._firmware_lock = threading.Lock()  # one firmware query at a time: answers are told apart by time
        # One change of the tap at a time, so that it follows the last stream
        # opened or closed. Held while the library waits for a running tap,
        # which never takes it.
        self._tap_lock = threading.Lock()
        self._tapped = False                    # guarded by _tap_lock
        self._receiver = _Receiver()
        self._context = next(_contexts)
        with _receivers_lock:
            _receivers[self._context] = self._receiver
        self.info: DeviceInfo   # what the device was opened as; set once open
        table = _abi.KYR_EVENT_NOTIFY(Context=self._context, fnOnPacket=_ON_PACKET, fnOnDisconnect=_ON_DISCONNECT)
        try:
            with self._use("open") as h:
                self.info = self._info(h)
                call("KyrSetEventNotify", h, ctypes.byref(table))
            self._set_modes()
        except BaseException:
            self.close()
            raise
        _open_devices.add(self)

    @staticmethod
    def _info(h: int) -> DeviceInfo:
        library = lib()
        with _turn:
            record = library.KyrGetDeviceInfoFromHandle(h)
            if record:
                return _copy_info(record)
        raise make_error(KYR_ERROR_NO_DEVICE, "open", "the device went away while it was opened")

    @contextlib.contextmanager
    def _use(self, what: str) -> Iterator[int]:
        with self._lock:
            if self._handle is None:
                raise make_error(KYR_ERROR_NO_DEVICE, what, "the device is closed")
            self._calls += 1
            handle = self._handle
        try:
            yield handle
        finally:
            with self._lock:
                self._calls -= 1
                if self._calls == 0:
                    self._idle.notify_all()

    @property
    def closed(self) -> bool:
        with self._lock:
            return self._handle is None

    @property
    def unplugged(self) -> bool:
        """Whether the device was unplugged; it still needs close()."""
        return self._receiver.why_ended() == _UNPLUGGED

    def close(self) -> None:
        """Closes the device: iterators end, waits fail, and calls running on other threads return first."""
        with self._lock:
            handle, self._handle = self._handle, None
        if handle is None:
            return
        self._receiver.end("the device was closed")
        with self._lock:
            self._idle.wait_for(lambda: self._calls == 0)
        # ctypes lets go of the interpreter lock during the call, so the read
        # thread can finish a callback that the close waits for.
        lib().KyrCloseDevice(handle)
        with _receivers_lock:
            del _receivers[self._context]
        _open_devices.discard(self)

    def __enter__(self) -> "Device":
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def __del__(self) -> None:
        with contextlib.suppress(Exception):
            self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else "open"
        info = getattr(self, "info", None)   # not set when the open failed
        return f"<kyrhid.Device {info.path if info else '?'} {state}>"

    # ---- commands ----------------------------------------------------------
    def command_async(self, text: str) -> int:
        """Sends a text command without waiting; returns its command id (1 to 255).

        The answer arrives as Response packets in a stream with the mode letter C.
        """
        data = self._command_text(text)
        with self._use(f"command {text!r}") as h:
            ident, error = call("KyrSendCommand", h, data, 1, 0)
        if ident < 0:
            raise_for(error, f"command {text!r}")
        return int(ident)

    def command(self, text: str, timeout: Optional[float] = 1.0) -> str:
        """Sends a text command and returns the whole answer, all of its pieces joined.

        `text` is a str; device texts are one byte per character, so bytes are
        given as their Latin-1 decoding. `timeout` in seconds (None: no limit)
        bounds the wait for the final piece.
        """
        _check.text(text, "text")
        timeout = _check.optional_seconds(timeout, "timeout")
        if text.startswith(_INSTANT_MODE) and text != _INSTANT_MODE + "?":
            raise ValueError("data modes are asked for through packets(modes=...), which keeps them alive")
        after = self._receiver.sequence()
        ident = self.command_async(text)
        return self._receiver.wait_answer(ident, after, timeout, f"command {text!r}")

    @staticmethod
    def _command_text(text: object) -> bytes:
        # One byte per character, as device texts are decoded.
        data = _check.text(text, "text").encode("latin-1")
        if b"\0" in data:
            raise ValueError("a command text cannot hold a NUL character")
        return data

    # ---- packet streams ----------------------------------------------------
    def packets(self, modes: str = "TG", expire: float = 5.0, timeout: Optional[float] = None,
                gesture: Optional[int] = None) -> PacketStream:
        """Iterator over decoded packets of the kinds named by the data-mode letters.

        The device is asked for the modes with an expire time of `expire`
        seconds, and the library repeats the request before it passes;
        `gesture` is a gesture-feature value (None for none). The iterator
        ends when `timeout` seconds (None: no limit) pass without a packet,
        when it is closed, or when the device is closed or unplugged. Status,
        version and RSE response packets come with every mode. Use it as a
        context manager, or close() it, to give the modes back.
        """
        bits = mode_bits(modes)
        expire_ms = _check.milliseconds(expire, "expire")
        if expire_ms == 0:
            raise ValueError("expire must be positive: the device stops streaming when it passes")
        timeout = _check.optional_seconds(timeout, "timeout")
        # All ones stands for no value.
        gesture = _check.optional_integer(gesture, "gesture", 0, _abi.NO_GESTURE - 1)
        stream = PacketStream(self, bits, expire_ms, gesture, timeout)
        self._receiver.add_stream(stream)
        try:
            self._set_modes()
        except BaseException:
            stream.close()
            raise
        return stream

    def _drop_stream(self, stream: PacketStream) -> None:
        # Giving modes back cannot fail in a way that matters: without
        # streams nothing is sent, and with streams left a refused send is
        # repeated by the library's keep-alive.
        if self._receiver.remove_stream(stream) and not self.closed:
            with contextlib.suppress(KyrError):
                self._set_modes()

    def _set_modes(self) -> None:
        # C is always asked for: without it the library keeps no response
        # pieces for command(). With no stream left the keep-alive stops (an
        # expire time of 0 sends nothing) and the device's streams lapse at
        # their own expire time.
        with self._modes_lock:
            streams = self._receiver._streams_copy()
            bits = _abi.MODE_BITS["C"]
            expire_ms = 0
            gesture = _abi.NO_GESTURE
            for stream in streams:
                bits |= stream.bits
                expire_ms = max(expire_ms, stream.expire_ms)
                if stream.gesture is not None:
                    gesture = stream.gesture
            with self._use("data modes") as h:
                result, error = call("KyrSetInstantMode", h, bits, expire_ms, gesture)
            if result != 1 or error != KYR_SUCCESS:
                raise_for(error, "data modes")

    # ---- report tap ----------------------------------------------------------
    def reports(self, timeout: Optional[float] = None) -> ReportStream:
        """Iterator over every report the device reads or writes, as Report records.

        One record per USB transfer: each IN report before the library
        decodes it, each OUT report (a 64-byte piece of a command, a raw
        buffer, a keep-alive) as it is handed to the device. The library's tap
        is installed only while such a stream is open. The iterator ends as
        packets() does: after `timeout` seconds without a report, on close(),
        or when the device is closed or unplugged.
        """
        stream = ReportStream(self, _check.optional_seconds(timeout, "timeout"))
        self._receiver.add_report_stream(stream)
        try:
            self._update_tap()
        except BaseException:
            stream.close()
            raise
        return stream

    def _drop_reports(self, stream: ReportStream) -> None:
        if self._receiver.remove_report_stream(stream) and not self.closed:
            with contextlib.suppress(NoDevice):
                self._update_tap()

    def _update_tap(self) -> None:
        # Removing the tap returns once no call of it runs; a running call
        # takes only the receiver's and the stream's leaf locks.
        with self._tap_lock:
            wanted = self._receiver.wants_reports()
            if wanted == self._tapped:
                return
            with self._use("report tap") as h:
                _, error = call("KyrSetReportTap", h, _ON_REPORT if wanted else _NO_TAP,
                                self._context if wanted else None)
            if error != KYR_SUCCESS:
                raise_for(error, "report tap")
            self._tapped = wanted

    # ---- firmware and raw reports ---------------------------------------------
    def _query_firmware(self, unit: int, timeout: float, what: str) -> Tuple[bool, int, int, List[Version]]:
        ms = _check.milliseconds(timeout, "timeout")
        mode = ctypes.c_int(0)
        with self._firmware_lock, self._receiver.versions() as versions:
            with self._use(what) as h:
                result, error = call("KyrQueryFirmwareVersion", h, unit, ctypes.byref(mode), 0, ms)
            return result == 1, error, mode.value, list(versions)

    def firmware_mode(self, unit: int = 0x1000, timeout: float = 1.0) -> int:
        """Firmware mode of a unit (0x1000 main module, 0x2000 and 0x4000 camera modules, ...), e.g. 4.

        `timeout` in seconds, up to 65.535."""
        _check.integer(unit, "unit", 0, 0xFFFF)
        what = f"firmware mode of unit 0x{unit:04x}"
        answered, error, mode, _ = self._query_firmware(unit, timeout, what)
        if not answered and mode == 0:
            raise_for(error if error != KYR_SUCCESS else KYR_ERROR_TIMEOUT, what)
        return mode

    def firmware_version(self, unit: int = 0x1000, timeout: float = 1.0) -> Version:
        """Firmware version of a unit, as the Version packet it answers with; `timeout` as for firmware_mode."""
        _check.integer(unit, "unit", 0, 0xFFFF)
        what = f"firmware version of unit 0x{unit:04x}"
        answered, error, _, versions = self._query_firmware(unit, timeout, what)
        if not answered or not versions:
            raise_for(error if error != KYR_SUCCESS else KYR_ERROR_TIMEOUT, what)
        return versions[-1]

    def send_raw(self, data: bytes, wait: Optional[float] = None) -> bool:
        """Writes a ready-made report buffer (bytes-like) unchanged; returns a bool.

        With `wait` (seconds, up to 65.535), waits for a packet whose id equals
        bytes 3 and 4 of the buffer and returns whether it came in time (the
        packet itself reaches the streams whose modes it belongs to); without,
        returns True once written. A failure to write raises.
        """
        data = _check.buffer(data, "data")
        if not 0 < len(data) <= 0xFFFF:
            raise ValueError("a raw buffer holds 1 to 65535 bytes")
        if wait is not None and len(data) < 5:
            raise ValueError("a raw buffer that waits for its answer holds a packet id in bytes 3 and 4")
        ms = 0 if wait is None else _check.milliseconds(wait, "wait")
        buffer = (ctypes.c_ubyte * len(data)).from_buffer_copy(data)
        with self._use("raw buffer") as h:
            result, error = call("KyrSendBuffer", h, buffer, len(data), 1 if wait is None else 0, ms)
        if result == 1:
            return True
        if error == KYR_SUCCESS and wait is not None:
            return False   # no answer in time
        raise_for(error, "raw buffer")

    @contextlib.contextmanager
    def firmware_download(self) -> Iterator["Device"]:
        """Marks a firmware download machine-wide for the duration of the block:
        meanwhile every handle refuses commands, and other handles raw buffers."""
        with self._use("firmware download") as h:
            call("KyrLockFirmwareDownload", h)
        try:
            yield self
        finally:
            with contextlib.suppress(NoDevice), self._use("firmware download") as h:
                call("KyrUnlockFirmwareDownload", h)


_Where = Tuple[int, int, int, int]


def _resolve(path: Optional[str], vendor: int, product: int, interface: Optional[int], index: int,
             what: str) -> Tuple[_Where, str]:
    """(vendor, product, interface, index) of a device given by path or by ids, and a text naming it."""
    _check.optional_text(path, "path")
    for value, name in ((vendor, "vendor"), (product, "product"), (interface, "interface"), (index, "index")):
        if value is not None:
            _check.whole(value, name)   # out of range stays the library's InvalidParameter, a ValueError
    if interface is None:
        interface = (ids.KYR_USB_VIRTUAL_INTERFACE if product == ids.KYR_USB_PRODUCT_ID_VIRTUAL
                     else ids.KYR_USB_MODEL_INTERFACE)
    if path is not None:
        for info in devices(vendor):
            if info.path == path:
                product, interface, index = info.product, info.interface, info.index
                break
        else:
            raise make_error(KYR_ERROR_NO_DEVICE, f"{what} {path}", "no device at this path")
    what = f"{what} {vendor:04x}:{product:04x} interface {interface} index {index}"
    if not all(0 <= value <= 0xFFFF for value in (vendor, product, interface, index)):
        raise_for(KYR_ERROR_INVALID_PARAMETER, what)
    return (vendor, product, interface, index), what


def open(path: Optional[str] = None, vendor: int = ids.KYR_USB_VENDOR_ID,
         product: int = ids.KYR_USB_PRODUCT_ID_MODEL1, interface: Optional[int] = None, index: int = 0) -> Device:
    """Opens a device: the one at `path` (as devices() lists it), or the
    `index`-th one with these ids on this interface (by default the one the
    family drives that product through).

    A device another client has open raises DeviceBusy, whose `holders` are
    the ids of the processes that have it open (None when they could not be
    asked for).
    """
    where, what = _resolve(path, vendor, product, interface, index, "open")
    handle, error = call("KyrOpenDevice", *where)
    if not handle:
        exc = make_error(error, what)
        if isinstance(exc, DeviceBusy):
            with contextlib.suppress(KyrError):
                exc.holders = _holders(where, what)
        raise exc
    return Device(handle)


def holders(path: Optional[str] = None, vendor: int = ids.KYR_USB_VENDOR_ID,
            product: int = ids.KYR_USB_PRODUCT_ID_MODEL1, interface: Optional[int] = None,
            index: int = 0) -> Tuple[int, ...]:
    """Ids of the live processes that have a device open (chosen as for open()), this one included.

    Needs no claim on the device, so it also explains a DeviceBusy.
    """
    where, what = _resolve(path, vendor, product, interface, index, "holders of")
    return _holders(where, what)


def _holders(where: _Where, what: str) -> Tuple[int, ...]:
    room = 16
    while True:
        pids = (ctypes.c_ulong * room)()
        count, error = call("KyrGetDeviceHolders", *where, pids, room)
        if count < 0:
            raise_for(error, what)
        if count <= room:
            return tuple(pids[:count])
        room = count   # more came meanwhile than there was room for: ask again with enough
