"""Python access to Kyr optical touch-sensing devices, over the KyrHIDLib C library.

    >>> import kyrhid
    >>> with kyrhid.open() as device:
    ...     print(device.command("version"))

The library is found by its soname, or at the path in KYRHID_LIBRARY.
"""
import ctypes

from . import _abi
from ._abi import (KYR_VERSION_MAJOR, KYR_VERSION_MINOR, KYR_VERSION_PATCH, TYPE_CMD, TYPE_DTC, TYPE_DVC, TYPE_GST, TYPE_IRD, TYPE_ITD, TYPE_MSG, TYPE_OBC, TYPE_OBJ,
                   TYPE_PRV, TYPE_RSE, TYPE_RSP, TYPE_STT, TYPE_TPT, TYPE_VER)
from ._lib import lib
from .device import (Device, DeviceInfo, PacketStream, Report, ReportDirection, ReportStream, devices, holders,
                     mode_bits, open)
from .diagnostics import disable_diagnostics, enable_diagnostics
from .errors import (AccessDenied, AlreadyOpened, DeviceBusy, FirmwareDownload, InvalidParameter, KyrError,
                     NoDevice, NotSupported, SendFailed, SyncObjectOverflow, Timeout, UnknownError)
from .ids import (KYR_USB_MODEL_INTERFACE, KYR_USB_PRODUCT_ID_MODEL1, KYR_USB_PRODUCT_ID_MODEL2,
                  KYR_USB_PRODUCT_ID_MODEL3, KYR_USB_PRODUCT_ID_MODEL4, KYR_USB_PRODUCT_ID_MODEL5,
                  KYR_USB_PRODUCT_ID_VIRTUAL, KYR_USB_VENDOR_ID, KYR_USB_VIRTUAL_INTERFACE)
from .hotplug import HotplugEvent, HotplugKind, HotplugWatch, watch
from .packets import (Command, Detections, DeviceReport, Gesture, ImageData, Message, ObjectRange, Objects, Packet,
                      Preview, Response, Status, TouchPoint, TouchPoints, Version)

__version__ = "1.0.0"

# The check value of the CRC register run over a packet and its own CRC.
_CRC_RESIDUE = 0xF0B8


def _bytes_buffer(data, extra=0):
    data = bytes(data)
    if len(data) + extra > 0xFFFF:
        raise ValueError("at most 65533 bytes")
    buffer = (ctypes.c_ubyte * (len(data) + extra + 1))()   # never empty: a null pointer means no buffer
    ctypes.memmove(buffer, data, len(data))
    return buffer, len(data)


def library_version() -> str:
    """Version of the loaded library, "MAJOR.MINOR.PATCH"; a newer minor or patch than the
    KYR_VERSION_* this package was written against keeps every call it makes."""
    return lib().KyrGetVersion().decode("ascii")


def crc16(data):
    """The packet CRC (CRC-16/X-25) of the bytes, as the device expects it after a packet, low byte first."""
    buffer, length = _bytes_buffer(data, 2)
    lib().KyrCalculateCRC(buffer, length)
    return buffer[length] | buffer[length + 1] << 8


def check_crc(packet):
    """Whether the bytes are an intact packet followed by its CRC."""
    buffer, length = _bytes_buffer(packet)
    return lib().KyrCheckCRC(buffer, length) == _CRC_RESIDUE


def scan_code(usage_id):
    """PC scan code (make code, no extended prefix) of a keyboard usage id, 0 when it has none."""
    if not 0 <= usage_id <= 0xFF:
        raise ValueError("a usage id lies between 0 and 255")
    return lib().KyrFindScanCode(ctypes.c_byte(usage_id - 256 if usage_id > 127 else usage_id))


def usage_id(scan_code):
    """Keyboard usage id of a PC scan code (0 to 127), 0 when it has none."""
    if not 0 <= scan_code <= 127:
        raise ValueError("a scan code lies between 0 and 127")
    return lib().KyrFindUsageId(scan_code)


__all__ = [
    "AccessDenied", "AlreadyOpened", "Command", "Detections", "Device", "DeviceBusy", "DeviceInfo", "DeviceReport",
    "FirmwareDownload", "Gesture", "ImageData", "InvalidParameter", "KyrError", "Message", "NoDevice",
    "NotSupported", "ObjectRange", "Objects", "Packet", "PacketStream", "Preview", "Response", "SendFailed",
    "Status", "SyncObjectOverflow", "Timeout", "TouchPoint", "TouchPoints", "UnknownError", "Version",
    "HotplugEvent", "HotplugKind", "HotplugWatch", "Report", "ReportDirection", "ReportStream",
    "check_crc", "crc16", "devices", "disable_diagnostics", "enable_diagnostics", "holders", "library_version",
    "mode_bits", "open", "scan_code", "usage_id", "watch",
    "KYR_VERSION_MAJOR", "KYR_VERSION_MINOR", "KYR_VERSION_PATCH",
    "KYR_USB_VENDOR_ID", "KYR_USB_PRODUCT_ID_MODEL1", "KYR_USB_PRODUCT_ID_MODEL2", "KYR_USB_PRODUCT_ID_MODEL3",
    "KYR_USB_PRODUCT_ID_MODEL4", "KYR_USB_PRODUCT_ID_MODEL5", "KYR_USB_PRODUCT_ID_VIRTUAL",
    "KYR_USB_MODEL_INTERFACE", "KYR_USB_VIRTUAL_INTERFACE",
    "TYPE_MSG", "TYPE_OBJ", "TYPE_OBC", "TYPE_DTC", "TYPE_IRD", "TYPE_ITD", "TYPE_PRV", "TYPE_CMD", "TYPE_RSP",
    "TYPE_RSE", "TYPE_STT", "TYPE_DVC", "TYPE_TPT", "TYPE_GST", "TYPE_VER",
]
del _abi
