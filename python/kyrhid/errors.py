"""Exceptions: one class per error code of the library.

Where a code means what an errno means, its class is also the matching
built-in OSError (TimeoutError, PermissionError) with `errno` and `strerror`
set, so that code written for files and sockets handles it unchanged.
"""
import errno as _errno
from typing import ClassVar, Optional, Tuple

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

    code: ClassVar[Optional[int]] = None
    errno_value: ClassVar[Optional[int]] = None   # the errno of an OSError class, None for the others

    def __init__(self, code: int, name: str, description: str, what: str = "") -> None:
        super().__init__(code, name, description, what)
        if isinstance(self, OSError) and self.errno_value is not None:
            # OSError's own constructor read (code, name, ...) as (errno, strerror, filename, ...).
            self.errno, self.strerror, self.filename = self.errno_value, description, None
            self.args = (code, name, description, what)
        self.code = code  # type: ignore[misc]   # the instance's code; a plain KyrError has no class code
        self.name = name
        self.description = description
        self.what = what

    def __str__(self) -> str:
        prefix = f"{self.what}: " if self.what else ""
        return f"{prefix}{self.name} ({self.code}): {self.description}"


class NoDevice(KyrError, OSError):
    code = KYR_ERROR_NO_DEVICE
    errno_value = _errno.ENODEV


class FirmwareDownload(KyrError):
    code = KYR_ERROR_FIRMWARE_DOWNLOAD


class Timeout(KyrError, TimeoutError):
    code = KYR_ERROR_TIMEOUT
    errno_value = _errno.ETIMEDOUT


class SyncObjectOverflow(KyrError):
    code = KYR_ERROR_SYNC_OBJECT_OVERFLOW


class AlreadyOpened(KyrError):
    code = KYR_ERROR_ALREADY_OPENED


class DeviceBusy(KyrError, OSError):
    """`holders`: ids of the processes that have the device open, when known (open() asks the library)."""
    code = KYR_ERROR_DEVICE_BUSY
    errno_value = _errno.EBUSY
    holders: Optional[Tuple[int, ...]] = None

    def __str__(self) -> str:
        text = super().__str__()
        if self.holders:
            text += f" (held by process {', '.join(str(pid) for pid in self.holders)})"
        return text


class NotSupported(KyrError):
    code = KYR_ERROR_NOT_SUPPORT


class SendFailed(KyrError, OSError):
    code = KYR_ERROR_SEND_FAIL
    errno_value = _errno.EIO


class InvalidParameter(KyrError, ValueError):
    code = KYR_ERROR_INVALID_PARAMETER


class AccessDenied(KyrError, PermissionError):
    code = KYR_ERROR_ACCESS_DENIED
    errno_value = _errno.EACCES


class UnknownError(KyrError):
    code = KYR_ERROR_UNKNOWN


_BY_CODE = {cls.code: cls for cls in (NoDevice, FirmwareDownload, Timeout, SyncObjectOverflow, AlreadyOpened,
                                      DeviceBusy, NotSupported, SendFailed, InvalidParameter, AccessDenied,
                                      UnknownError)}


def error_for(code: int, name: str, description: str, what: str = "") -> KyrError:
    """The exception for a code; a code the package does not know gives a plain KyrError."""
    return _BY_CODE.get(code, KyrError)(code, name, description, what)
