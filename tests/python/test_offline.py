"""What needs no device: the ctypes mirror of the header, the ids and error
codes, the decoder on hand-made records, CRC and key codes."""
import ast
import ctypes
import errno
import glob
import importlib.util
import os
import re
import struct
import subprocess
import sys
import types
from functools import partial

import pytest

import kyrhid
from kyrhid import _abi, errors, ids, packets
from kyrhid._lib import make_error

from conftest import INCLUDE_DIR, header_constants


# ---- the ctypes mirror ----------------------------------------------------------

def mirror_field(path):
    """(offset, size) of a dotted field path in the ctypes mirror."""
    root, *names = path.split(".")
    cls = getattr(_abi, root)
    offset, size = 0, ctypes.sizeof(cls)
    for name in names:
        field = getattr(cls, name)
        offset, size = offset + field.offset, field.size
        cls = dict(f[:2] for f in cls._fields_)[name]
    return offset, size


def test_every_field_of_the_mirror_sits_where_the_c_compiler_puts_it():
    out = subprocess.run([os.environ["KYR_LAYOUT_DUMP"]], check=True, capture_output=True, text=True).stdout
    layout = {name: (int(offset), int(size)) for name, offset, size in map(str.split, out.splitlines())}
    # The helper names every field; a field missing from it would go unchecked.
    assert len(layout) == 72 and layout["kyrpacket"] == (0, 457)
    assert {name: (where, mirror_field(name)) for name, where in layout.items() if mirror_field(name) != where} == {}


def test_prototypes_cover_every_exported_function_of_the_header():
    with open(os.path.join(INCLUDE_DIR, "KyrHIDLib.h")) as header:
        exported = set(re.findall(r"KYR_API[^;(]*?\b(Kyr\w+)\s*\(", header.read()))
    assert exported == set(_abi.PROTOTYPES)


@pytest.mark.parametrize("prefix, mirror, least", [
    ("KYR_USB_", partial(getattr, ids), 9),
    ("KYR_(?:ERROR_|SUCCESS)", partial(getattr, errors), 12),
    ("KYR_HOTPLUG_", partial(getattr, _abi), 4),
    ("KYR_LOG_", partial(getattr, _abi), 5),
    ("KYR_VERSION_", partial(getattr, kyrhid), 3),
    ("kyrtype_", lambda name: getattr(_abi, "TYPE_" + name[len("kyrtype_"):].upper()), 15),
    ("KYR_REPORT_", lambda name: kyrhid.ReportDirection[name[len("KYR_REPORT_"):]], 2),
    ("KYR_HOTPLUG_(?:ARRIVED|LEFT)", lambda name: kyrhid.HotplugKind[name[len("KYR_HOTPLUG_"):]], 2),
])
def test_constants_of_the_package_are_those_of_the_header(prefix, mirror, least):
    expected = header_constants(prefix)
    assert len(expected) >= least
    assert {name: mirror(name) for name in expected} == expected


def test_mode_letters_and_the_library_version_match_the_header():
    modes = header_constants("KYR_HID_MODE_")
    assert sorted(_abi.MODE_BITS.values()) == sorted(modes.values())
    assert kyrhid.mode_bits("tg") == modes["KYR_HID_MODE_TOUCHPNT"] | modes["KYR_HID_MODE_GESTURE"]
    with pytest.raises(ValueError, match="letter 'Q'"):
        kyrhid.mode_bits("TQ")
    # The loaded library is the one built from this header.
    assert kyrhid.library_version() == "{KYR_VERSION_MAJOR}.{KYR_VERSION_MINOR}.{KYR_VERSION_PATCH}".format(
        **header_constants("KYR_VERSION_"))


@pytest.mark.parametrize("arguments, refusal", [
    ({"arrived": False, "left": False}, "arrivals, departures"),
    ({"arrived": False, "present": True}, "present=True needs arrived"),
    ({"product": 0xFFFF}, "product"),
    ({"interface": -1}, "interface"),
])
def test_watch_refuses_what_the_library_cannot_be_asked_for(arguments, refusal):
    with pytest.raises(ValueError, match=refusal):
        kyrhid.watch(**arguments)


def test_each_error_code_has_its_own_exception_and_library_name():
    codes = header_constants("KYR_ERROR_")
    made = {name: make_error(code, "an operation") for name, code in codes.items()}
    assert {name: (e.code, e.name, str(e).split(": ")[:2]) for name, e in made.items()} == {
        name: (code, name, ["an operation", f"{name} ({code})"]) for name, code in codes.items()}
    classes = {type(e) for e in made.values()}
    assert len(classes) == len(codes) and all(issubclass(c, kyrhid.KyrError) and c is not kyrhid.KyrError
                                              for c in classes)
    assert isinstance(make_error(-9, "x"), ValueError)
    unknown = make_error(-77, "x")
    assert type(unknown) is kyrhid.KyrError and unknown.name == "KYR_ERROR_?"


@pytest.mark.parametrize("name, builtin, errno_value", [
    ("KYR_ERROR_TIMEOUT", TimeoutError, errno.ETIMEDOUT),
    ("KYR_ERROR_NO_DEVICE", OSError, errno.ENODEV),
    ("KYR_ERROR_ACCESS_DENIED", PermissionError, errno.EACCES),
    ("KYR_ERROR_DEVICE_BUSY", OSError, errno.EBUSY),
    ("KYR_ERROR_SEND_FAIL", OSError, errno.EIO),
    ("KYR_ERROR_FIRMWARE_DOWNLOAD", None, None),
])
def test_errors_that_mean_an_errno_are_that_os_error_too(name, builtin, errno_value):
    exc = make_error(header_constants("KYR_ERROR_")[name], "an operation")
    assert isinstance(exc, kyrhid.KyrError) and exc.name == name
    if builtin is None:
        assert not isinstance(exc, OSError)
        return
    # What code written for files and sockets reads of it.
    assert isinstance(exc, builtin)
    assert (exc.errno, exc.strerror, exc.filename) == (errno_value, exc.description, None)
    assert str(exc) == f"an operation: {name} ({exc.code}): {exc.description}"


def test_the_namespace_holds_the_api_and_not_its_machinery():
    names = dir(kyrhid)
    assert set(kyrhid.__all__) <= set(names) and {"crc16", "open", "Timeout", "__version__"} <= set(names)
    # Neither modules (ctypes, the submodules) nor ctypes objects such as the loaded library.
    def machinery(name):
        value = getattr(kyrhid, name)
        return (isinstance(value, types.ModuleType) or type(value).__module__ == "ctypes"
                or name.startswith("_") and name != "__version__")
    assert [name for name in names if machinery(name)] == []
    assert not hasattr(kyrhid, "ctypes") and not hasattr(kyrhid, "lib")


PACKAGE_SOURCES = sorted(glob.glob(os.path.join(os.path.dirname(kyrhid.__file__), "*.py"))) + [
    os.path.join(os.path.dirname(kyrhid.__file__), "..", "examples", "touch.py")]


def test_every_function_of_the_package_and_the_example_is_annotated():
    # What mypy --strict asks of every def, checked where mypy is not installed.
    unannotated = []
    for path in PACKAGE_SOURCES:
        with open(path) as source:
            for node in ast.walk(ast.parse(source.read())):
                if isinstance(node, ast.FunctionDef):
                    a = node.args
                    arguments = [*a.posonlyargs, *a.args, *a.kwonlyargs, *filter(None, (a.vararg, a.kwarg))]
                    if node.returns is None or any(x.annotation is None and x.arg not in ("self", "cls")
                                                   for x in arguments):
                        unannotated.append(f"{os.path.basename(path)}:{node.lineno} {node.name}")
    assert unannotated == []
    assert os.path.exists(os.path.join(os.path.dirname(kyrhid.__file__), "py.typed"))


@pytest.mark.skipif(importlib.util.find_spec("mypy") is None, reason="mypy is not installed")
def test_mypy_strict_passes_on_the_package_and_the_example():
    run = subprocess.run([sys.executable, "-m", "mypy", "--strict", *PACKAGE_SOURCES], capture_output=True, text=True)
    assert run.returncode == 0, run.stdout


# ---- decoding hand-made records -------------------------------------------------------------

def decode(kind, partid, length, body=b""):
    """Decodes a kyrpacket as the library hands it over: header at 0, body from 14."""
    buffer = ctypes.create_string_buffer(struct.pack("<hH8sH", kind, 0x1234, partid, length) + body, 600)
    return packets.decode(ctypes.addressof(buffer))


POINTS = [(100, 200, 10, 11, 90), (300, 400, 12, 13, 80), (500, 600, 14, 15, 70)]
TOUCH = struct.pack("<hh", 5, 3) + b"".join(struct.pack("<5H", *p) for p in POINTS)
DATA, ROW = bytes(range(7, 107)), bytes(reversed(range(64)))


@pytest.mark.parametrize("kind, partid, length, body, expected", [
    (kyrhid.TYPE_TPT, b"TPT", 18 + 30, TOUCH,
     kyrhid.TouchPoints(kyrhid.TYPE_TPT, 0x1234, "TPT", 5, tuple(kyrhid.TouchPoint(*p) for p in POINTS))),
    # A count beyond the record is cut to what the record holds.
    (kyrhid.TYPE_TPT, b"TPT", 18 + 20, TOUCH,
     kyrhid.TouchPoints(kyrhid.TYPE_TPT, 0x1234, "TPT", 5, tuple(kyrhid.TouchPoint(*p) for p in POINTS[:2]))),
    (kyrhid.TYPE_ITD, b"ITD2-1", 20 + 100, struct.pack("<hhh", 480, -3, 100) + DATA,
     kyrhid.ImageData(kyrhid.TYPE_ITD, 0x1234, "ITD2-1", 480, -3, DATA)),
    (kyrhid.TYPE_PRV, b"PRV1", 20 + 64, struct.pack("<hhh", 8, 5, 64) + ROW,
     kyrhid.Preview(kyrhid.TYPE_PRV, 0x1234, "PRV1", 8, 5, 64, ROW)),
    (kyrhid.TYPE_RSP, b"RSP", 457, struct.pack("<HB", 9, 0) + b"half of it\0junk",
     kyrhid.Response(kyrhid.TYPE_RSP, 0x1234, "RSP", 9, False, "half of it")),
    (99, b"???", 14, b"", None),
])
def test_records_decode_up_to_their_length(kind, partid, length, body, expected):
    assert decode(kind, partid, length, body) == expected


def test_array_views_need_numpy():
    pytest.importorskip("numpy")
    image = decode(kyrhid.TYPE_IRD, b"IRD1", 24, struct.pack("<hhh", 4, 0, 4) + b"\1\2\3\xff")
    preview = decode(kyrhid.TYPE_PRV, b"PRV1", 24, struct.pack("<hhh", 1, 0, 4) + b"\xfe\3\2\1")
    assert (image.array.tolist(), preview.array.tolist()) == ([1, 2, 3, 255], [254, 3, 2, 1])   # unsigned


# ---- CRC and key codes ------------------------------------------------------------------------

def test_crc16_is_crc16_x25_and_checks_packets():
    assert (kyrhid.crc16(b"123456789"), kyrhid.crc16(b"")) == (0x906E, 0)   # the catalogue check value
    assert kyrhid.check_crc(b"123456789\x6e\x90") and not kyrhid.check_crc(b"123456789\x6f\x90")


@pytest.mark.parametrize("usage, scan", [
    (0x28, 0x1C),   # Enter (the library's tables are checked in tests/keycodes)
    (0xE0, 0x1D),   # Left Control: usage ids above 127 pass as unsigned
])
def test_key_codes_translate_both_ways(usage, scan):
    assert (kyrhid.scan_code(usage), kyrhid.usage_id(scan)) == (scan, usage)


@pytest.mark.parametrize("call, value", [(kyrhid.scan_code, 256), (kyrhid.usage_id, 128)])
def test_key_codes_out_of_range_are_refused(call, value):
    with pytest.raises(ValueError):
        call(value)
