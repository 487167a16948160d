"""ctypes mirror of the C header's records, callback types and prototypes.

The layouts here must match KyrHIDLib.h byte for byte; a test compares every
size and offset with what the C compiler makes of the header.
"""
import ctypes
from typing import Any, List, Tuple
from ctypes import (CFUNCTYPE, POINTER, Structure, Union, c_byte, c_char, c_char_p, c_float, c_int, c_short,
                    c_ubyte, c_ulong, c_ulonglong, c_ushort, c_void_p)

# Decoded packet kinds, the value of kyrpacket.type.
(TYPE_MSG, TYPE_OBJ, TYPE_OBC, TYPE_DTC, TYPE_IRD, TYPE_ITD, TYPE_PRV, TYPE_CMD, TYPE_RSP, TYPE_RSE, TYPE_STT,
 TYPE_DVC, TYPE_TPT, TYPE_GST, TYPE_VER) = range(15)

# Data-mode bits and their letters, in the order the library writes them.
MODE_BITS = {
    "M": 0x001, "C": 0x002, "V": 0x004, "O": 0x010, "T": 0x020,
    "G": 0x040, "D": 0x080, "S": 0x100, "X": 0x200,
}

# The mode bit a client needs to receive each kind; kinds absent here (rse,
# stt, ver) reach every client.
MODE_OF_TYPE = {
    TYPE_MSG: MODE_BITS["M"], TYPE_OBJ: MODE_BITS["O"],
    TYPE_OBC: MODE_BITS["V"], TYPE_DTC: MODE_BITS["V"], TYPE_IRD: MODE_BITS["V"], TYPE_ITD: MODE_BITS["V"],
    TYPE_PRV: MODE_BITS["V"], TYPE_CMD: MODE_BITS["C"], TYPE_RSP: MODE_BITS["C"], TYPE_DVC: MODE_BITS["D"],
    TYPE_TPT: MODE_BITS["T"], TYPE_GST: MODE_BITS["G"],
}

NO_GESTURE = (1 << 64) - 1  # all ones: no gesture-feature value


class kyrtouchpoint(Structure):
    _pack_ = 1
    _fields_ = [("x", c_ushort), ("y", c_ushort), ("w", c_ushort), ("h", c_ushort), ("s", c_ushort)]


def _packed(name: str, fields: List[Tuple[str, Any]]) -> Any:
    return type(name, (Structure,), {"_pack_": 1, "_fields_": fields})


class _body(Union):
    _pack_ = 1
    _fields_ = [
        ("msg", _packed("msg", [("message", c_char * 254)])),
        ("obj", _packed("obj", [("count", c_ushort), ("start_pos", c_float * 11), ("end_pos", c_float * 11)])),
        ("obc", _packed("obc", [("count", c_ushort), ("start_pos", c_float), ("end_pos", c_float)])),
        ("dtc", _packed("dtc", [("count", c_ushort), ("start_pos", c_ulong * 10), ("end_pos", c_ulong * 10)])),
        ("ixd", _packed("ixd", [("total", c_short), ("offset", c_short), ("count", c_short),
                                ("data", c_ubyte * 1)])),
        ("prv", _packed("prv", [("height", c_short), ("offset_y", c_short), ("width", c_short),
                                ("image", c_ubyte * 1)])),
        ("cmd", _packed("cmd", [("id", c_ushort), ("command", c_char * 440)])),
        ("rsp", _packed("rsp", [("id", c_ushort), ("is_final", c_ubyte), ("command", c_char * 440)])),
        ("stt", _packed("stt", [("status", c_char * 440)])),
        ("dvc", _packed("dvc", [("flag", c_ubyte), ("touch_obj_cnt", c_ubyte), ("mouse_buttons", c_ubyte),
                                ("mouse_wheel", c_byte), ("mouse_x", c_ushort), ("mouse_y", c_ushort),
                                ("touch_x", c_float), ("touch_y", c_float), ("keyboard_modifier", c_ubyte),
                                ("keyboard_reserved", c_ubyte), ("keyboard_key", c_ubyte * 6)])),
        ("tpt", _packed("tpt", [("actual_touch", c_short), ("touch_count", c_short),
                                ("points", kyrtouchpoint * 1)])),
        ("gst", _packed("gst", [("action_group", c_ubyte), ("action", c_ubyte), ("feasibleness", c_ushort),
                                ("x", c_ushort), ("y", c_ushort), ("w", c_ushort), ("h", c_ushort),
                                ("zoom", c_float), ("message", c_char * 242)])),
        ("ver", _packed("ver", [("nv", c_ushort), ("minor", c_ushort), ("major", c_ushort), ("model", c_ushort),
                                ("date", c_ubyte * 11), ("time", c_ubyte * 8)])),
    ]


class kyrpacket(Structure):
    _pack_ = 1
    _fields_ = [("type", c_short), ("ticktime", c_ushort), ("partid", c_char * 8), ("length", c_ushort),
                ("body", _body)]


KYR_HANDLE = c_void_p
KYR_DEVICE_INFO = c_void_p

FnOnKyrHandleEventsHandler = CFUNCTYPE(None, KYR_HANDLE, c_void_p)
FnOnKyrDisconnectHandler = CFUNCTYPE(None, KYR_HANDLE, c_void_p)
FnOnKyrReceiveRawDataHandler = CFUNCTYPE(c_int, KYR_HANDLE, POINTER(c_ubyte), c_ushort, c_void_p)
FnOnKyrDownloadingFirmwareHandler = CFUNCTYPE(None, KYR_HANDLE, c_int, c_void_p)
# The packet arrives as a plain address: the decoder reads the variable tails
# past the declared size, which a typed pointer would hide.
FnOnKyrPacketHandler = CFUNCTYPE(None, KYR_HANDLE, c_void_p, c_int, c_void_p)


class KYR_EVENT_NOTIFY(Structure):
    _fields_ = [
        ("Context", c_void_p),
        ("fnOnHandleEvents", FnOnKyrHandleEventsHandler),
        ("fnOnDisconnect", FnOnKyrDisconnectHandler),
        ("fnOnReceiveRawData", FnOnKyrReceiveRawDataHandler),
        ("fnOnDownloadingFirmware", FnOnKyrDownloadingFirmwareHandler),
        ("fnOnPacket", FnOnKyrPacketHandler),
    ]


# The header's version, diagnostics levels, hotplug events and flags, and
# report directions (a test keeps them equal to the header's).
KYR_VERSION_MAJOR = 1
KYR_VERSION_MINOR = 0
KYR_VERSION_PATCH = 0

KYR_LOG_NONE, KYR_LOG_ERROR, KYR_LOG_WARNING, KYR_LOG_INFO, KYR_LOG_DEBUG = range(5)

KYR_HOTPLUG_ARRIVED = 1
KYR_HOTPLUG_LEFT = 2
KYR_HOTPLUG_ENUMERATE = 1
KYR_HOTPLUG_MATCH_ANY = 0xFFFF

KYR_REPORT_OUT = 0
KYR_REPORT_IN = 1

FnOnKyrLogHandler = CFUNCTYPE(None, c_int, c_char_p, c_void_p)
FnKyrHotplug = CFUNCTYPE(c_int, KYR_DEVICE_INFO, c_int, c_void_p)
FnKyrReportTap = CFUNCTYPE(None, KYR_HANDLE, c_int, c_ubyte, c_ulonglong, POINTER(c_ubyte), c_ushort, c_void_p)

# name: (result type, argument types)
PROTOTYPES = {
    "KyrGetLastError": (c_int, []),
    "KyrGetErrorName": (c_char_p, [c_int]),
    "KyrGetErrorDescription": (c_char_p, [c_int]),
    "KyrGetDeviceCount": (c_int, [c_ushort, c_ushort, c_ushort]),
    "KyrGetDeviceInfo": (KYR_DEVICE_INFO, [c_ushort, c_ushort, c_ushort, c_ushort]),
    "KyrGetDevInfoVendorID": (c_ushort, [KYR_DEVICE_INFO]),
    "KyrGetDevInfoProductID": (c_ushort, [KYR_DEVICE_INFO]),
    "KyrGetDevInfoInterfaceNumber": (c_ushort, [KYR_DEVICE_INFO]),
    "KyrGetDevInfoDeviceIndex": (c_int, [KYR_DEVICE_INFO]),
    "KyrGetDevInfoPath": (c_char_p, [KYR_DEVICE_INFO]),
    "KyrCalculateCRC": (c_ushort, [POINTER(c_ubyte), c_ushort]),
    "KyrCheckCRC": (c_ushort, [POINTER(c_ubyte), c_ushort]),
    "KyrFindScanCode": (c_int, [c_byte]),
    "KyrFindUsageId": (c_ubyte, [c_int]),
    "KyrOpenDevice": (KYR_HANDLE, [c_ushort, c_ushort, c_ushort, c_ushort]),
    "KyrSetEventNotify": (None, [KYR_HANDLE, POINTER(KYR_EVENT_NOTIFY)]),
    "KyrCloseDevice": (None, [KYR_HANDLE]),
    "KyrGetDeviceInfoFromHandle": (KYR_DEVICE_INFO, [KYR_HANDLE]),
    "KyrGetLowDeviceHandle": (c_void_p, [KYR_HANDLE]),
    "KyrUseExclusiveMode": (None, [KYR_HANDLE, c_int]),
    "KyrSetInstantMode": (c_int, [KYR_HANDLE, c_int, c_ushort, c_ulong]),
    "KyrSendCommand": (c_int, [KYR_HANDLE, c_char_p, c_int, c_ushort]),
    "KyrGetResponse": (c_char_p, [KYR_HANDLE]),
    "KyrSendBuffer": (c_int, [KYR_HANDLE, POINTER(c_ubyte), c_ushort, c_int, c_ushort]),
    "KyrQueryFirmwareVersion": (c_int, [KYR_HANDLE, c_ushort, POINTER(c_int), c_int, c_ushort]),
    "KyrLockFirmwareDownload": (None, [KYR_HANDLE]),
    "KyrUnlockFirmwareDownload": (None, [KYR_HANDLE]),
    "KyrGetVersion": (c_char_p, []),
    "KyrSetLogCallback": (None, [c_int, FnOnKyrLogHandler, c_void_p]),
    "KyrGetDeviceHolders": (c_int, [c_ushort, c_ushort, c_ushort, c_ushort, POINTER(c_ulong), c_int]),
    "KyrRegisterHotplugCallback": (c_int, [c_ushort, c_ushort, c_ushort, c_int, c_int, FnKyrHotplug, c_void_p,
                                           POINTER(c_int)]),
    "KyrDeregisterHotplugCallback": (c_int, [c_int]),
    "KyrSetReportTap": (None, [KYR_HANDLE, FnKyrReportTap, c_void_p]),
}

assert ctypes.sizeof(c_ulong) == 8, "the library's unsigned long is 64 bits"
