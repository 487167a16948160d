"""CRC, key codes and the library's version: calls that need no device."""
import ctypes
from typing import Tuple

from . import _check
from ._lib import lib

# The check value of the CRC register run over a packet and its own CRC.
_CRC_RESIDUE = 0xF0B8


def _bytes_buffer(data: object, what: str, extra: int = 0) -> Tuple["ctypes.Array[ctypes.c_ubyte]", int]:
    raw = _check.buffer(data, what)
    if len(raw) + extra > 0xFFFF:
        raise ValueError(f"{what} holds at most {0xFFFF - extra} bytes, not {len(raw)}")
    buffer = (ctypes.c_ubyte * (len(raw) + extra + 1))()   # never empty: a null pointer means no buffer
    ctypes.memmove(buffer, raw, len(raw))
    return buffer, len(raw)


def library_version() -> str:
    """Version of the loaded library, "MAJOR.MINOR.PATCH"; a newer minor or patch than the
    KYR_VERSION_* this package was written against keeps every call it makes."""
    return str(lib().KyrGetVersion().decode("ascii"))


def crc16(data: bytes) -> int:
    """The packet CRC (CRC-16/X-25) of a bytes-like object, as the device expects it after a packet,
    low byte first."""
    buffer, length = _bytes_buffer(data, "data", 2)
    lib().KyrCalculateCRC(buffer, length)
    return int(buffer[length] | buffer[length + 1] << 8)


def check_crc(packet: bytes) -> bool:
    """Whether a bytes-like object is an intact packet followed by its CRC."""
    buffer, length = _bytes_buffer(packet, "packet")
    return bool(lib().KyrCheckCRC(buffer, length) == _CRC_RESIDUE)


def scan_code(usage_id: int) -> int:
    """PC scan code (make code, no extended prefix) of a keyboard usage id (0 to 255), 0 when it has none."""
    _check.integer(usage_id, "usage_id", 0, 0xFF)
    return int(lib().KyrFindScanCode(ctypes.c_byte(usage_id - 256 if usage_id > 127 else usage_id)))


def usage_id(scan_code: int) -> int:
    """Keyboard usage id of a PC scan code (0 to 127), 0 when it has none."""
    _check.integer(scan_code, "scan_code", 0, 127)
    return int(lib().KyrFindUsageId(scan_code))
