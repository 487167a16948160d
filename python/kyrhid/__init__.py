"""Python access to Kyr optical touch-sensing devices, over the KyrHIDLib C library.

    >>> import kyrhid
    >>> with kyrhid.open() as device:
    ...     print(device.command("version"))

The library is found by its soname, or at the path in KYRHID_LIBRARY.
"""
from ._abi import (KYR_VERSION_MAJOR, KYR_VERSION_MINOR, KYR_VERSION_PATCH, TYPE_CMD, TYPE_DTC, TYPE_DVC, TYPE_GST,
                   TYPE_IRD, TYPE_ITD, TYPE_MSG, TYPE_OBC, TYPE_OBJ, TYPE_PRV, TYPE_RSE, TYPE_RSP, TYPE_STT, TYPE_TPT,
                   TYPE_VER)
from ._codes import check_crc, crc16, library_version, scan_code, usage_id
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


def __dir__() -> "list[str]":
    # The API only: not the submodules, the loaded library or ctypes.
    return sorted(__all__ + ["__version__"])
