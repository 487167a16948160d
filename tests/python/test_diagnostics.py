"""Who holds a device, the library's diagnostics in logging, and the report
tap, against a kyr-model device of two interfaces (driven through interface 1)."""
import faulthandler
import logging
import os
import struct
import subprocess
import sys
import threading
import time

import pytest

import kyrhid

from conftest import crc_bytes, sim

WAIT = 30
MI = kyrhid.KYR_USB_MODEL_INTERFACE


# ---- holders --------------------------------------------------------------------------------

def test_holders_of_an_open_device_are_this_process_and_a_busy_open_names_them():
    assert kyrhid.holders() == ()
    with kyrhid.open() as device:
        assert kyrhid.holders() == (os.getpid(),)
        assert kyrhid.holders(path=device.info.path) == (os.getpid(),)
        with pytest.raises(kyrhid.DeviceBusy) as busy:
            kyrhid.open()
        assert busy.value.holders == (os.getpid(),)
        assert str(busy.value).endswith(f"(held by process {os.getpid()})")
    assert kyrhid.holders() == ()
    with pytest.raises(kyrhid.NoDevice):
        kyrhid.holders(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL5)


def test_a_busy_open_names_another_process_that_holds_the_device():
    holder = subprocess.Popen(
        [sys.executable, "-c", "import sys, kyrhid\n"
                               "d = kyrhid.open(); print('open', flush=True)\n"
                               "sys.stdin.readline(); d.close()\n"],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        assert holder.stdout.readline() == "open\n"
        with pytest.raises(kyrhid.DeviceBusy) as busy:
            kyrhid.open()
        assert busy.value.holders == (holder.pid,)
    finally:
        holder.stdin.close()
        assert holder.wait(timeout=60) == 0


# ---- diagnostics ------------------------------------------------------------------------------

class Records(logging.Handler):
    """The records of the library's logger; wait() for one whose message holds a text."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.records = []
        self.changed = threading.Condition()

    def emit(self, record):
        with self.changed:
            self.records.append(record)
            self.changed.notify_all()

    def with_text(self, text):
        with self.changed:
            return [r for r in self.records if text in r.getMessage()]

    def wait(self, text):
        with self.changed:
            return self.changed.wait_for(lambda: any(text in r.getMessage() for r in self.records), WAIT)


@pytest.fixture
def records():
    logger = logging.getLogger("kyrhid.library")
    handler = Records()
    logger.addHandler(handler)
    logger.setLevel(logging.DEBUG)
    try:
        yield handler
    finally:
        kyrhid.disable_diagnostics()
        logger.removeHandler(handler)


def test_opening_tells_its_steps_until_diagnostics_are_turned_off(records):
    kyrhid.enable_diagnostics(logging.INFO)
    kyrhid.open().close()
    with kyrhid.open(), pytest.raises(kyrhid.DeviceBusy):
        kyrhid.open()
    # Returns once every message the library gave has reached logging.
    kyrhid.disable_diagnostics()
    claimed = records.with_text("interface 1 claimed")
    assert len(claimed) == 2 and {r.levelno for r in claimed} == {logging.INFO}
    assert claimed[0].name == "kyrhid.library"
    assert len(records.with_text("shared state refused: KYR_ERROR_DEVICE_BUSY")) == 1
    assert records.with_text("live holder") == []   # DEBUG, below the level asked for
    count = len(records.records)
    kyrhid.open().close()
    assert len(records.records) == count


def bad_crc_report():
    """A status packet (0x100C) in one report whose CRC's low byte is spoilt."""
    packet = struct.pack("<HH", 0x100C, 0) + b"ok\0\0"
    crc = bytearray(crc_bytes(packet))
    crc[0] ^= 0xFF
    packet += bytes(crc)
    return (bytes([1, 0x01, len(packet)]) + packet).ljust(64, b"\0")


def test_a_bad_crc_report_is_a_warning_with_its_running_count(records):
    kyrhid.enable_diagnostics(logging.WARNING)
    with kyrhid.open():
        for _ in range(2):
            assert sim(f"inject 0 {MI} {bad_crc_report().hex()}") == "ok"
        assert records.wait("bad CRC (so far: bad CRC 2,")
    kyrhid.disable_diagnostics()
    drops = records.with_text("bad CRC (so far: bad CRC")
    assert len(drops) == 2 and {r.levelno for r in drops} == {logging.WARNING}
    assert records.with_text("claimed") == []   # INFO, below the level asked for


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
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        kyrhid.enable_diagnostics(logging.DEBUG)
        with kyrhid.open():
            assert records.wait("reading")
    finally:
        faulthandler.cancel_dump_traceback_later()
        logging.getLogger("kyrhid.library").removeHandler(calling)
    assert listed and set(listed) == {2}   # both interfaces of the device, each time


# ---- report tap --------------------------------------------------------------------------------

def test_the_tap_sees_a_command_going_out_and_its_answer_coming_in():
    with kyrhid.open() as device, device.reports(timeout=WAIT) as reports:
        before = time.monotonic_ns()
        ident = device.command_async("echo tapped")
        seen = []
        for report in reports:
            seen.append(report)
            if report.direction == kyrhid.ReportDirection.IN and report.data[3:5] == b"\x08\x10":
                break
        after = time.monotonic_ns()
    text = b"echo tapped"
    command = struct.pack("<HHBBH", 0x1007, 0, 0, ident, len(text)) + text + b"\0"
    command += crc_bytes(command)
    out = [r for r in seen if r.direction == kyrhid.ReportDirection.OUT]
    assert len(out) == 1
    assert (out[0].endpoint, len(out[0].data)) == (0x02, 64)   # interface 1's OUT endpoint
    assert out[0].data[:3 + len(command)] == bytes([1, 0x01, len(command)]) + command
    answer = seen[-1]
    assert answer.endpoint == 0x82
    # Response 0x1008: type 0, the command's id, the text's size, the text, the CRC.
    size = answer.data[2]
    packet = answer.data[3:3 + size]
    assert (packet[4], packet[5], packet[6:8], packet[8:-2]) == (0, ident, struct.pack("<H", 6), b"tapped")
    assert packet[-2:] == crc_bytes(packet[:-2])
    assert before <= out[0].timestamp_ns <= answer.timestamp_ns <= after


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
