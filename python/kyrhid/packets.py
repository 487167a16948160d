"""Decoded packets as frozen dataclasses, one class per kind.

`decode` copies a record of the library into Python objects; it runs inside
the library's callback, and nothing returned refers to library memory.
"""
import ctypes
from dataclasses import dataclass
from typing import Any, Optional, Tuple

from . import _abi

_HEADER = _abi.kyrpacket.body.offset
# The tails start where the C header declares their first element.
_IXD_DATA = _HEADER + _abi._body.ixd.offset + type(_abi._body().ixd).data.offset
_PRV_IMAGE = _HEADER + _abi._body.prv.offset + type(_abi._body().prv).image.offset
_TPT_POINTS = _HEADER + _abi._body.tpt.offset + type(_abi._body().tpt).points.offset


def _text(raw: bytes) -> str:
    # Device texts are bytes; Latin-1 keeps each one as one character.
    return raw.split(b"\0", 1)[0].decode("latin-1")


def _numpy() -> Any:
    try:
        import numpy
    except ImportError as exc:
        raise ModuleNotFoundError("the array view needs numpy; the bytes are in .data / .image") from exc
    return numpy


@dataclass(frozen=True)
class Packet:
    """Common to every kind: `type` (a TYPE_* code), device tick time, sending part ("RSP", "IRD1", ...)."""
    type: int
    ticktime: int
    partid: str


@dataclass(frozen=True)
class Message(Packet):
    text: str


@dataclass(frozen=True)
class Objects(Packet):
    count: int                                  # as the device sent it
    ranges: Tuple[Tuple[float, float], ...]     # (start, end); at most 11


@dataclass(frozen=True)
class ObjectRange(Packet):
    count: int
    start: float
    end: float


@dataclass(frozen=True)
class Detections(Packet):
    count: int                                  # as the device sent it
    ranges: Tuple[Tuple[int, int], ...]         # (start, end); at most 10


@dataclass(frozen=True)
class ImageData(Packet):
    """Image data; `type` tells the kind (TYPE_IRD or TYPE_ITD)."""
    total: int
    offset: int
    data: bytes

    @property
    def array(self) -> Any:
        """The data as a read-only numpy uint8 array (needs numpy)."""
        return _numpy().frombuffer(self.data, dtype="uint8")


@dataclass(frozen=True)
class Preview(Packet):
    """One band of a preview image: `width` bytes of row `offset_y` of `height`."""
    height: int
    offset_y: int
    width: int
    image: bytes

    @property
    def array(self) -> Any:
        """The row as a read-only numpy uint8 array (needs numpy)."""
        return _numpy().frombuffer(self.image, dtype="uint8")


@dataclass(frozen=True)
class Command(Packet):
    """A command as the device echoes it."""
    id: int
    text: str


@dataclass(frozen=True)
class Response(Packet):
    """A response piece; `is_final` is False while more pieces follow. `type`
    is TYPE_RSP, or TYPE_RSE for responses of kind RSE."""
    id: int
    is_final: bool
    text: str


@dataclass(frozen=True)
class Status(Packet):
    text: str


@dataclass(frozen=True)
class DeviceReport(Packet):
    """Mouse, touch and keyboard state."""
    flag: int
    touch_obj_cnt: int
    mouse_buttons: int
    mouse_wheel: int
    mouse_x: int
    mouse_y: int
    touch_x: float
    touch_y: float
    keyboard_modifier: int
    keyboard_reserved: int
    keyboard_keys: Tuple[int, ...]              # six usage ids


@dataclass(frozen=True)
class TouchPoint:
    x: int
    y: int
    w: int
    h: int
    s: int


@dataclass(frozen=True)
class TouchPoints(Packet):
    actual_touch: int
    points: Tuple[TouchPoint, ...]


@dataclass(frozen=True)
class Gesture(Packet):
    action_group: int
    action: int
    feasibleness: int
    x: int
    y: int
    w: int
    h: int
    zoom: float
    message: str


@dataclass(frozen=True)
class Version(Packet):
    nv: int
    minor: int
    major: int
    model: int
    date: str
    time: str


def _tail(address: int, start: int, length: int, count: int, item_size: int) -> bytes:
    # The record's own length bounds what is read of its tail.
    count = max(0, min(count, (length - start) // item_size))
    return ctypes.string_at(address + start, count * item_size)


def decode(address: int) -> Optional[Packet]:
    """Copies the kyrpacket at `address` into a Packet; None for a kind this package does not know."""
    record = _abi.kyrpacket.from_address(address)
    kind = record.type
    head = (kind, record.ticktime, _text(record.partid))
    body = record.body
    if kind == _abi.TYPE_MSG:
        return Message(*head, _text(body.msg.message))
    if kind == _abi.TYPE_OBJ:
        o = body.obj
        return Objects(*head, o.count, tuple((o.start_pos[i], o.end_pos[i]) for i in range(min(o.count, 11))))
    if kind == _abi.TYPE_OBC:
        return ObjectRange(*head, body.obc.count, body.obc.start_pos, body.obc.end_pos)
    if kind == _abi.TYPE_DTC:
        d = body.dtc
        return Detections(*head, d.count, tuple((d.start_pos[i], d.end_pos[i]) for i in range(min(d.count, 10))))
    if kind in (_abi.TYPE_IRD, _abi.TYPE_ITD):
        i = body.ixd
        return ImageData(*head, i.total, i.offset, _tail(address, _IXD_DATA, record.length, i.count, 1))
    if kind == _abi.TYPE_PRV:
        p = body.prv
        image = _tail(address, _PRV_IMAGE, record.length, p.width, 1)
        return Preview(*head, p.height, p.offset_y, p.width, image)
    if kind == _abi.TYPE_CMD:
        return Command(*head, body.cmd.id, _text(body.cmd.command))
    if kind in (_abi.TYPE_RSP, _abi.TYPE_RSE):
        r = body.rsp
        return Response(*head, r.id, r.is_final != 0, _text(r.command))
    if kind == _abi.TYPE_STT:
        return Status(*head, _text(body.stt.status))
    if kind == _abi.TYPE_DVC:
        v = body.dvc
        return DeviceReport(*head, v.flag, v.touch_obj_cnt, v.mouse_buttons, v.mouse_wheel, v.mouse_x, v.mouse_y,
                            v.touch_x, v.touch_y, v.keyboard_modifier, v.keyboard_reserved, tuple(v.keyboard_key))
    if kind == _abi.TYPE_TPT:
        t = body.tpt
        size = ctypes.sizeof(_abi.kyrtouchpoint)
        raw = _tail(address, _TPT_POINTS, record.length, t.touch_count, size)
        points = tuple(TouchPoint(p.x, p.y, p.w, p.h, p.s)
                       for p in (_abi.kyrtouchpoint.from_buffer_copy(raw, n) for n in range(0, len(raw), size)))
        return TouchPoints(*head, t.actual_touch, points)
    if kind == _abi.TYPE_GST:
        g = body.gst
        return Gesture(*head, g.action_group, g.action, g.feasibleness, g.x, g.y, g.w, g.h, g.zoom,
                       _text(g.message))
    if kind == _abi.TYPE_VER:
        v = body.ver
        return Version(*head, v.nv, v.minor, v.major, v.model, _text(bytes(v.date)), _text(bytes(v.time)))
    return None
