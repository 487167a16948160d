"""Wrong arguments to every public call are refused at the package's boundary,
with TypeError for a wrong type and ValueError for a wrong value, before
anything reaches ctypes or the device."""
import pytest

import kyrhid

NAN, INF = float("nan"), float("inf")
InvalidParameter = kyrhid.InvalidParameter   # the library's own refusal of ids, a ValueError


def _call(owner, name, args, kwargs):
    def call(device):
        return getattr(device if owner == "device" else kyrhid, name)(*args, **kwargs)
    call.label = f"{owner}.{name}({', '.join([*map(repr, args), *(f'{k}={v!r}' for k, v in kwargs.items())])})"
    return call


def module(name, *args, **kwargs):
    return _call("kyrhid", name, args, kwargs)


def method(name, *args, **kwargs):
    return _call("device", name, args, kwargs)


WRONG = [
    # CRC and key codes
    (module("crc16", 123), TypeError), (module("crc16", "123"), TypeError), (module("crc16", None), TypeError),
    (module("crc16", [1, 2]), TypeError), (module("crc16", bytes(0x10000)), ValueError),
    (module("check_crc", 123), TypeError), (module("check_crc", None), TypeError),
    (module("scan_code", "a"), TypeError), (module("scan_code", 1.5), TypeError),
    (module("scan_code", None), TypeError), (module("scan_code", True), TypeError),
    (module("scan_code", -1), ValueError), (module("scan_code", 256), ValueError),
    (module("usage_id", 1.0), TypeError), (module("usage_id", -1), ValueError), (module("usage_id", 128), ValueError),
    # data modes and diagnostics
    (module("mode_bits", None), TypeError), (module("mode_bits", 123), TypeError),
    (module("mode_bits", b"TG"), TypeError), (module("mode_bits", "TQ"), ValueError),
    (module("enable_diagnostics", 10**20), ValueError), (module("enable_diagnostics", -1), ValueError),
    (module("enable_diagnostics", 1.5), TypeError), (module("enable_diagnostics", None), TypeError),
    (module("enable_diagnostics", "LOUD"), ValueError),
    # hotplug
    (module("watch", timeout=-1), ValueError), (module("watch", timeout="x"), TypeError),
    (module("watch", timeout=NAN), ValueError), (module("watch", vendor="0x1209"), TypeError),
    (module("watch", product=0xFFFF), ValueError), (module("watch", interface=-1), ValueError),
    (module("watch", arrived=1), TypeError), (module("watch", present="yes"), TypeError),
    (module("watch", left=None), TypeError),
    # enumeration and open
    (module("devices", vendor=-1), ValueError), (module("devices", vendor="x"), TypeError),
    (module("devices", products=1), TypeError), (module("devices", products=["1"]), TypeError),
    (module("devices", products=[0x10000]), ValueError),
    (module("open", interface=1.5), TypeError), (module("open", path=123), TypeError),
    (module("open", path=b"0003:0007:01"), TypeError), (module("open", vendor="x"), TypeError),
    (module("open", index=None), TypeError), (module("open", vendor=-1), InvalidParameter),
    (module("open", product=0x10000), InvalidParameter),
    (module("holders", path=1), TypeError), (module("holders", interface="1"), TypeError),
    # commands
    (method("command", None), TypeError), (method("command", 123), TypeError),
    (method("command", b"version"), TypeError), (method("command", "version", timeout=NAN), ValueError),
    (method("command", "version", timeout="1"), TypeError), (method("command", "version", timeout=-1), ValueError),
    (method("command", "version", timeout=INF), ValueError), (method("command_async", None), TypeError),
    (method("command_async", b"version"), TypeError),
    # streams
    (method("packets", modes=123), TypeError), (method("packets", modes=None), TypeError),
    (method("packets", modes="TZ"), ValueError), (method("packets", timeout="x"), TypeError),
    (method("packets", timeout=-1), ValueError), (method("packets", timeout=NAN), ValueError),
    (method("packets", expire=0), ValueError), (method("packets", expire=70), ValueError),
    (method("packets", expire=NAN), ValueError), (method("packets", expire=None), TypeError),
    (method("packets", gesture=-1), ValueError), (method("packets", gesture=(1 << 64) - 1), ValueError),
    (method("packets", gesture=1.5), TypeError),
    (method("reports", timeout="x"), TypeError), (method("reports", timeout=-1), ValueError),
    # firmware and raw buffers
    (method("firmware_mode", -1), ValueError), (method("firmware_mode", 70000), ValueError),
    (method("firmware_mode", "0x1000"), TypeError), (method("firmware_mode", None), TypeError),
    (method("firmware_mode", 0x1000, timeout=NAN), ValueError),
    (method("firmware_mode", 0x1000, timeout=100), ValueError),
    (method("firmware_version", -1), ValueError), (method("firmware_version", 1.5), TypeError),
    (method("firmware_version", 0x1000, timeout=None), TypeError),
    (method("send_raw", "text"), TypeError), (method("send_raw", 64), TypeError), (method("send_raw", None), TypeError),
    (method("send_raw", b""), ValueError), (method("send_raw", bytes(64), wait=NAN), ValueError),
    (method("send_raw", bytes(64), wait=-1), ValueError), (method("send_raw", bytes(64), wait="1"), TypeError),
    (method("send_raw", b"\1\1", wait=1.0), ValueError),
]


@pytest.fixture(scope="module")
def device():
    with kyrhid.open() as dev:
        yield dev


@pytest.mark.parametrize("call, refusal", WRONG, ids=[call.label[:60] for call, _ in WRONG])
def test_a_wrong_argument_is_refused_with_the_exception_of_its_kind(device, call, refusal):
    with pytest.raises(Exception) as raised:
        call(device)
    assert type(raised.value) is refusal, repr(raised.value)
    assert "ctypes" not in str(raised.value)


def test_bytes_like_buffers_are_taken_as_they_are(device):
    assert {kyrhid.crc16(data) for data in (b"123456789", bytearray(b"123456789"), memoryview(b"x123456789")[1:])} \
        == {0x906E}
    assert device.send_raw(bytearray(64)) is True
