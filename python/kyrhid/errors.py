"""Exceptions: one class per error code of the library."""

KYR_SUCCESS = 0
KYR_ERROR_NO_DEVICE = -1
KYR_ERROR_FIRMWARE_DOWNLOAD = -2
KYR_ERROR_TIMEOUT = -3
KYR_ERROR_SYNC_OBJECT_OVERFLOW = -4
KYR_ERROR_ALREADY_OPENED = -5
KYR_ERROR_DEVICE_BUSY = -6
KYR_ERROR_NOT_SUPPORT = -7
KYR_ERROR_SEND_FAIL = -8
KYR_ERROR_INVALID_PARAMETER = -9
KYR_ERROR_ACCESS_DENIED = -10
KYR_ERROR_UNKNOWN = -20


class KyrError(Exception):
    """A failure the library reported. `code` is its error code, `name` and
    `description` the library's own words for it, `what` the operation."""

    code = None

    def __init__(self, code, name, description, what=""):
        super().__init__(code, name, description, what)
        self.code = code
        self.name = name
        self.description = description
        self.what = what

    def __str__(self):
        prefix = f"{self.what}: " if self.what else ""
        return f"{prefix}{self.name} ({self.code}): {self.description}"


class NoDevice(KyrError):
    code = KYR_ERROR_NO_DEVICE


class FirmwareDownload(KyrError):
    code = KYR_ERROR_FIRMWARE_DOWNLOAD


class Timeout(KyrError):
    code = KYR_ERROR_TIMEOUT


class SyncObjectOverflow(KyrError):
    code = KYR_ERROR_SYNC_OBJECT_OVERFLOW


class AlreadyOpened(KyrError):
    code = KYR_ERROR_ALREADY_OPENED


class DeviceBusy(KyrError):
    """`holders`: ids of the processes that have the device open, when known (open() asks the library)."""
    code = KYR_ERROR_DEVICE_BUSY
    holders = None

    def __str__(self):
        text = super().__str__()
        if self.holders:
            text += f" (held by process {', '.join(str(pid) for pid in self.holders)})"
        return text


class NotSupported(KyrError):
    code = KYR_ERROR_NOT_SUPPORT


class SendFailed(KyrError):
    code = KYR_ERROR_SEND_FAIL


class InvalidParameter(KyrError, ValueError):
    code = KYR_ERROR_INVALID_PARAMETER


class AccessDenied(KyrError):
    code = KYR_ERROR_ACCESS_DENIED


class UnknownError(KyrError):
    code = KYR_ERROR_UNKNOWN


_BY_CODE = {cls.code: cls for cls in (NoDevice, FirmwareDownload, Timeout, SyncObjectOverflow, AlreadyOpened,
                                      DeviceBusy, NotSupported, SendFailed, InvalidParameter, AccessDenied,
                                      UnknownError)}


def error_for(code, name, description, what=""):
    """The exception for a code; a code the package does not know gives a plain KyrError."""
    return _BY_CODE.get(code, KyrError)(code, name, description, what)
