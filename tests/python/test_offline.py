"""What needs no device: the ctypes mirror of the header, the ids and error
codes, the decoder on hand-made records, CRC and key codes."""
import ctypes
import os
import re
import struct
import subprocess

import pytest

import kyrhid
from kyrhid import _abi, errors, ids, packets
from kyrhid._lib import make_error

from conftest import INCLUDE_DIR, header_enumerators


# ---- the ctypes mirror ----------------------------------------------------------

def c_layout():
    """{name: (offset, size)} as the C compiler lays out the header's records."""
    out = subprocess.run([os.environ["KYR_LAYOUT_DUMP"]], check=True, capture_output=True, text=True).stdout
    layout = {}
    for line in out.splitlines():
        name, offset, size = line.split()
        layout[name] = (int(offset), int(size))
    return layout


ROOTS = {"kyrpacket": _abi.kyrpacket, "kyrtouchpoint": _abi.kyrtouchpoint,
         "KYR_EVENT_NOTIFY": _abi.KYR_EVENT_NOTIFY}


def mirror_field(path):
    """(offset, size) of a dotted field path in the ctypes mirror."""
    root, *names = path.split(".")
    cls, offset, size = ROOTS[root], 0, ctypes.sizeof(ROOTS[root])
    for name in names:
        field = getattr(cls, name)
        offset += field.offset
        size = field.size
        cls = dict((f[0], f[1]) for f in cls._fields_)[name]
    return offset, size


def test_every_field_of_the_mirror_sits_where_the_c_compiler_puts_it():
    layout = c_layout()
    # The helper names every field; a field missing from it would go unchecked.
    assert len(layout) == 72
    mismatched = {name: (where, mirror_field(name)) for name, where in layout.items() if mirror_field(name) != where}
    assert mismatched == {}
    assert layout["kyrpacket"] == (0, 457)


def test_prototypes_cover_every_exported_function_of_the_header():
    with open(os.path.join(INCLUDE_DIR, "KyrHIDLib.h")) as header:
        exported = set(re.findall(r"KYR_API[^;(]*?\b(Kyr\w+)\s*\(", header.read()))
    assert exported == set(_abi.PROTOTYPES)


def test_packet_kinds_and_mode_bits_match_the_header():
    kinds = header_enumerators("KyrHIDLib.h", "kyrtype_")
    assert {name: getattr(_abi, "TYPE_" + name[len("kyrtype_"):].upper()) for name in kinds} == kinds
    modes = header_enumerators("KyrHIDLib.h", "KYR_HID_MODE_")
    assert sorted(_abi.MODE_BITS.values()) == sorted(modes.values())
    assert kyrhid.mode_bits("tg") == modes["KYR_HID_MODE_TOUCHPNT"] | modes["KYR_HID_MODE_GESTURE"]
    with pytest.raises(ValueError, match="letter 'Q'"):
        kyrhid.mode_bits("TQ")


def test_version_hotplug_log_and_report_values_match_the_header():
    with open(os.path.join(INCLUDE_DIR, "KyrHIDLib.h")) as header:
        defines = {m.group(1): int(m.group(2)) for m in re.finditer(r"#define (KYR_VERSION_\w+) (\d+)", header.read())}
    assert {name: getattr(kyrhid, name) for name in defines} == defines and len(defines) == 3
    # The loaded library is the one built from this header.
    assert kyrhid.library_version() == "{KYR_VERSION_MAJOR}.{KYR_VERSION_MINOR}.{KYR_VERSION_PATCH}".format(**defines)
    hotplug = header_enumerators("KyrHIDLib.h", "KYR_HOTPLUG_")
    assert {kind.name: kind.value for kind in kyrhid.HotplugKind} == {
        name[len("KYR_HOTPLUG_"):]: value for name, value in hotplug.items() if name.endswith(("ARRIVED", "LEFT"))}
    assert {name: getattr(_abi, name) for name in hotplug} == hotplug
    directions = header_enumerators("KyrHIDLib.h", "KYR_REPORT_")
    assert {"KYR_REPORT_" + d.name: d.value for d in kyrhid.ReportDirection} == directions
    levels = header_enumerators("KyrHIDLib.h", "KYR_LOG_")
    assert {name: getattr(_abi, name) for name in levels} == levels and len(levels) == 5


def test_watch_refuses_what_the_library_cannot_be_asked_for():
    with pytest.raises(ValueError, match="arrivals, departures"):
        kyrhid.watch(arrived=False, left=False)
    with pytest.raises(ValueError, match="present=True needs arrived"):
        kyrhid.watch(arrived=False, present=True)
    with pytest.raises(ValueError, match="product"):
        kyrhid.watch(product=0xFFFF)


def test_a_busy_error_names_its_holders_when_known():
    busy = make_error(errors.KYR_ERROR_DEVICE_BUSY, "open")
    assert busy.holders is None and "held by" not in str(busy)
    busy.holders = (17, 4242)
    assert str(busy).endswith(" (held by process 17, 4242)")


def test_usb_ids_are_those_of_the_header():
    expected = header_enumerators("KyrDeviceIds.h", "KYR_USB_")
    assert {name: getattr(ids, name) for name in expected} == expected


def test_each_error_code_of_the_header_has_its_exception_and_library_name():
    codes = header_enumerators("KyrHIDLib.h", "KYR_")
    codes = {name: value for name, value in codes.items() if name.startswith(("KYR_ERROR_", "KYR_SUCCESS"))}
    assert {name: getattr(errors, name) for name in codes} == codes
    classes = set()
    for name, code in codes.items():
        if code == 0:
            continue
        exc = make_error(code, "an operation")
        assert (exc.code, exc.name) == (code, name)
        assert isinstance(exc, kyrhid.KyrError) and type(exc) is not kyrhid.KyrError
        assert str(exc).startswith(f"an operation: {name} ({code}): ")
        classes.add(type(exc))
    assert len(classes) == len(codes) - 1
    assert isinstance(make_error(-9, "x"), ValueError)
    unknown = make_error(-77, "x")
    assert type(unknown) is kyrhid.KyrError and unknown.name == "KYR_ERROR_?"


# ---- decoding hand-made records -------------------------------------------------------------

def record(kind, partid, length, body=b"", size=600):
    """A kyrpacket as the library hands it over: header at 0, body from 14."""
    raw = bytearray(size)
    struct.pack_into("<hH8sH", raw, 0, kind, 0x1234, partid, length)
    raw[14:14 + len(body)] = body
    return ctypes.create_string_buffer(bytes(raw), size)


def decode(buffer):
    return packets.decode(ctypes.addressof(buffer))


def test_touch_points_are_copied_up_to_the_records_length():
    points = [(100, 200, 10, 11, 90), (300, 400, 12, 13, 80), (500, 600, 14, 15, 70)]
    body = struct.pack("<hh", 5, 3) + b"".join(struct.pack("<5H", *p) for p in points)
    full = decode(record(kyrhid.TYPE_TPT, b"TPT", 18 + 30, body))
    assert full == kyrhid.TouchPoints(kyrhid.TYPE_TPT, 0x1234, "TPT", 5,
                                      tuple(kyrhid.TouchPoint(*p) for p in points))
    # A count beyond the record is cut to what the record holds.
    cut = decode(record(kyrhid.TYPE_TPT, b"TPT", 18 + 20, body))
    assert [(p.x, p.y) for p in cut.points] == [(100, 200), (300, 400)]


def test_image_and_preview_tails_are_copied_into_bytes():
    data = bytes(range(7, 107))
    image = decode(record(kyrhid.TYPE_ITD, b"ITD2-1", 20 + 100, struct.pack("<hhh", 480, -3, 100) + data))
    assert (image.type, image.partid, image.total, image.offset, image.data) == (
        kyrhid.TYPE_ITD, "ITD2-1", 480, -3, data)
    row = bytes(reversed(range(64)))
    preview = decode(record(kyrhid.TYPE_PRV, b"PRV1", 20 + 64, struct.pack("<hhh", 8, 5, 64) + row))
    assert (preview.height, preview.offset_y, preview.width, preview.image) == (8, 5, 64, row)


def test_texts_and_responses():
    rsp = decode(record(kyrhid.TYPE_RSP, b"RSP", 457, struct.pack("<HB", 9, 0) + b"half of it\0junk"))
    assert rsp == kyrhid.Response(kyrhid.TYPE_RSP, 0x1234, "RSP", 9, False, "half of it")
    version = decode(record(kyrhid.TYPE_VER, b"VER1", 41, struct.pack("<4H11s8s", 1, 3, 1, 0x31, b"Mar 14 2024",
                                                                      b"10:20:30")))
    assert (version.major, version.minor, version.nv, version.model, version.date, version.time) == (
        1, 3, 1, 0x31, "Mar 14 2024", "10:20:30")
    assert decode(record(99, b"???", 14)) is None


def test_array_views_need_numpy():
    numpy = pytest.importorskip("numpy")
    image = decode(record(kyrhid.TYPE_IRD, b"IRD1", 24, struct.pack("<hhh", 4, 0, 4) + b"\1\2\3\4"))
    assert image.array.dtype == numpy.uint8 and image.array.tolist() == [1, 2, 3, 4]


# ---- CRC and key codes ------------------------------------------------------------------------

def test_crc16_is_crc16_x25_and_checks_packets():
    assert kyrhid.crc16(b"123456789") == 0x906E   # the catalogue check value
    assert kyrhid.crc16(b"") == 0x0000
    packet = bytes.fromhex("04110000")
    crc = kyrhid.crc16(packet)
    assert kyrhid.check_crc(packet + struct.pack("<H", crc))
    assert not kyrhid.check_crc(packet + struct.pack("<H", crc ^ 1))


def test_key_codes_translate_both_ways():
    assert kyrhid.scan_code(0x04) == 0x1E        # A
    assert kyrhid.scan_code(0x28) == 0x1C        # Enter
    assert kyrhid.scan_code(0x52) == 0x48        # Up arrow shares keypad 8
    assert kyrhid.scan_code(0x00) == 0
    assert kyrhid.usage_id(0x1E) == 0x04
    assert kyrhid.usage_id(0x48) == 0x52         # the navigation key, not keypad 8
    assert kyrhid.scan_code(0xE0) == kyrhid.scan_code(0xE0)   # values above 127 pass as unsigned
    with pytest.raises(ValueError):
        kyrhid.scan_code(256)
    with pytest.raises(ValueError):
        kyrhid.usage_id(128)
