"""Who holds a device, the library's diagnostics in logging, and the report
tap, against a kyr-model device of two interfaces (driven through interface 1)."""
import logging
import os
import struct
import time
from types import SimpleNamespace

import pytest

import kyrhid

from conftest import WAIT, crc_bytes, sim, until, watchdog


# ---- holders --------------------------------------------------------------------------------

def test_holders_of_an_open_device_are_this_process_and_a_busy_open_names_them():
    assert kyrhid.holders() == ()
    with kyrhid.open() as device:
        assert kyrhid.holders() == kyrhid.holders(path=device.info.path) == (os.getpid(),)
        with pytest.raises(kyrhid.DeviceBusy) as busy:
            kyrhid.open()
        assert busy.value.holders == (os.getpid(),)
    assert kyrhid.holders() == ()
    kyrhid.open().close()
    with pytest.raises(kyrhid.NoDevice):
        kyrhid.holders(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL5)


# ---- diagnostics ------------------------------------------------------------------------------

@pytest.fixture
def records(caplog):
    """The library's log records as they reach logging; wait(text) for one that holds the text."""
    caplog.set_level(logging.DEBUG, logger="kyrhid.library")

    def with_text(text):
        return [r for r in caplog.records if text in r.getMessage()]

    def wait(text):
        deadline = time.monotonic() + WAIT
        while not with_text(text) and time.monotonic() < deadline:
            time.sleep(0.01)
        return with_text(text)

    yield SimpleNamespace(all=caplog.records, with_text=with_text, wait=wait)
    kyrhid.disable_diagnostics()


def test_the_library_tells_what_is_at_the_level_asked_for_until_turned_off(records):
    kyrhid.enable_diagnostics(logging.INFO)
    kyrhid.open().close()
    with kyrhid.open(), pytest.raises(kyrhid.DeviceBusy):
        kyrhid.open()
    # Returns once every message the library gave has reached logging.
    kyrhid.disable_diagnostics()
    claimed = records.with_text("interface 1 claimed")
    assert [(r.name, r.levelno) for r in claimed] == [("kyrhid.library", logging.INFO)] * 2
    assert len(records.with_text("shared state refused: KYR_ERROR_DEVICE_BUSY")) == 1
    assert records.with_text("live holder") == []   # DEBUG, below the level asked for
    # A status packet (0x100C) in one report whose CRC's low byte is spoilt.
    packet = struct.pack("<HH", 0x100C, 0) + b"ok\0\0"
    packet += bytes([crc_bytes(packet)[0] ^ 0xFF, crc_bytes(packet)[1]])
    report = (bytes([1, 0x01, len(packet)]) + packet).ljust(64, b"\0")
    kyrhid.enable_diagnostics(logging.WARNING)
    with kyrhid.open():
        for _ in range(2):
            assert sim(f"inject 0 {kyrhid.KYR_USB_MODEL_INTERFACE} {report.hex()}") == "ok"
        assert records.wait("bad CRC (so far: bad CRC 2,")
    kyrhid.disable_diagnostics()
    assert [r.levelno for r in records.with_text("bad CRC (so far: bad CRC")] == [logging.WARNING] * 2
    assert len(records.with_text("claimed")) == 2   # INFO, below the level asked for the second time
    count = len(records.all)
    kyrhid.open().close()
    assert len(records.all) == count


def test_a_logging_handler_may_call_the_library_and_turn_diagnostics_off(records):
    # Open steps are told under the library's own locks; a handler that
    # calls back into the library would deadlock were it run there.
    listed = []

    class Calling(logging.Handler):
        def emit(self, record):
            listed.append(len(kyrhid.devices()))
            if "reading" in record.getMessage():
                kyrhid.disable_diagnostics()

    calling = Calling()
    logging.getLogger("kyrhid.library").addHandler(calling)
    try:
        with watchdog():
            kyrhid.enable_diagnostics(logging.DEBUG)
            with kyrhid.open():
                assert records.wait("reading")
    finally:
        logging.getLogger("kyrhid.library").removeHandler(calling)
    assert listed and set(listed) == {2}   # both interfaces of the device, each time


# ---- report tap --------------------------------------------------------------------------------

def test_the_tap_sees_a_command_going_out_and_its_answer_coming_in():
    with kyrhid.open() as device, device.reports(timeout=WAIT) as reports:
        before = time.monotonic_ns()
        ident = device.command_async("echo tapped")
        seen = until(reports, lambda seen: seen[-1].direction == kyrhid.ReportDirection.IN
                     and seen[-1].data[3:5] == b"\x08\x10")
        after = time.monotonic_ns()
    text = b"echo tapped"
    command = struct.pack("<HHBBH", 0x1007, 0, 0, ident, len(text)) + text + b"\0"
    command += crc_bytes(command)
    (out,) = [r for r in seen if r.direction == kyrhid.ReportDirection.OUT]
    assert (out.endpoint, len(out.data)) == (0x02, 64)   # interface 1's OUT endpoint
    assert out.data[:3 + len(command)] == bytes([1, 0x01, len(command)]) + command
    answer = seen[-1]
    assert answer.endpoint == 0x82
    # Response 0x1008: type 0, the command's id, the text's size, the text, the CRC.
    packet = answer.data[3:3 + answer.data[2]]
    assert (packet[4], packet[5], packet[6:8], packet[8:-2]) == (0, ident, struct.pack("<H", 6), b"tapped")
    assert packet[-2:] == crc_bytes(packet[:-2])
    assert before <= out.timestamp_ns <= answer.timestamp_ns <= after


def test_closing_one_report_stream_leaves_the_other_its_reports_until_the_device_closes():
    device = kyrhid.open()
    first, second = device.reports(), device.reports()
    device.command("echo one")
    first.close()
    assert list(first) != []   # what came before the close is still read
    device.command("echo two")
    device.close()
    texts = b"".join(r.data for r in second)
    assert b"echo one" in texts and b"echo two" in texts
    with pytest.raises(kyrhid.NoDevice):
        device.reports()
