"""The package against emulated devices: a kyr-model device of two interfaces
at 3:7 that echoes commands, and the virtual device at 3:9."""
import os
import re
import signal
import struct
import subprocess
import sys
import threading

import pytest

import kyrhid

from conftest import close_on_another_thread, crc_bytes, park_callback, sim, started, until

MAIN = "0003:0007:01"
VERSION = "MM 2.7 nv1 model 0x0031 Mar 14 2024 10:20:30"
DIGITS = "0123456789" * 401


@pytest.fixture
def device():
    with kyrhid.open() as dev:
        yield dev


# ---- enumeration, open and close ----------------------------------------------------------

def test_devices_lists_every_interface_in_the_order_of_the_family_and_no_other_path_opens():
    vid, model1, virtual = kyrhid.KYR_USB_VENDOR_ID, kyrhid.KYR_USB_PRODUCT_ID_MODEL1, kyrhid.KYR_USB_PRODUCT_ID_VIRTUAL
    assert kyrhid.devices() == [kyrhid.DeviceInfo("0003:0007:00", vid, model1, 0, 0),
                                kyrhid.DeviceInfo("0003:0007:01", vid, model1, 1, 0),
                                kyrhid.DeviceInfo("0003:0009:00", vid, virtual, 0, 0)]
    with pytest.raises(kyrhid.NoDevice):   # a path not in that list (ids nobody has: test_deny)
        kyrhid.open(path="0003:0042:01")


@pytest.mark.parametrize("where, path", [
    ({}, MAIN),   # the interface the family drives the product through
    ({"interface": 0}, "0003:0007:00"),
    ({"product": kyrhid.KYR_USB_PRODUCT_ID_VIRTUAL}, "0003:0009:00"),
    ({"path": "0003:0009:00"}, "0003:0009:00"),
])
def test_open_by_ids_or_path_and_close(where, path):
    with kyrhid.open(**where) as dev:
        assert dev.info.path == path and not dev.closed
        if path != "0003:0007:00":   # the interfaces that take commands
            assert dev.command("echo found") == "found"
    assert dev.closed
    dev.close()   # a second close does nothing
    with pytest.raises(kyrhid.NoDevice):
        dev.command("version")


# ---- commands -------------------------------------------------------------------------------

@pytest.mark.parametrize("text, answer", [
    ("version", VERSION), ("echo hello from python", "hello from python"),
    # The device answers in pieces of 200 characters.
    *((f"long {n}", DIGITS[:n]) for n in (1, 200, 201, 1000, 4001)),
    ("rse in one piece", "in one piece"), ("instant_mode=?", ""), ("frobnicate", "unknown command: frobnicate"),
])
def test_command_returns_the_whole_answer_however_many_pieces_it_comes_in(device, text, answer):
    assert device.command(text, timeout=10) == answer
    ident, sent = sim("lastcmd 0").split(" ", 1)
    assert sent == text and 1 <= int(ident) <= 255


@pytest.mark.parametrize("text, refusal", [
    ("echo " + "x" * 1100, kyrhid.InvalidParameter), ("instant_mode=T,5000", ValueError), ("echo a\0b", ValueError),
])
def test_command_refuses_what_the_library_or_the_package_cannot_send(device, text, refusal):
    with pytest.raises(refusal):
        device.command(text)


def test_an_asynchronous_command_is_answered_in_the_stream(device):
    with device.packets(modes="C", timeout=5) as stream:
        ident = device.command_async("echo later")
        seen = until(stream, lambda seen: isinstance(seen[-1], kyrhid.Response) and seen[-1].id == ident)
    # The device echoes every command, the stream's own instant-mode request too.
    echo = [p for p in seen if isinstance(p, kyrhid.Command) and p.id == ident]
    assert [(p.type, p.partid, p.text) for p in echo] == [(kyrhid.TYPE_CMD, "CMD", "echo later")]
    answer = seen[-1]
    assert (answer.type, answer.partid, answer.is_final, answer.text) == (kyrhid.TYPE_RSP, "RSP", True, "later")


def test_firmware_queries_answer_per_unit(device):
    assert (device.firmware_mode(0x1000), device.firmware_mode(0x2000)) == (4, 2)
    main = device.firmware_version(0x1000)
    assert (main.type, main.partid, main.major, main.minor, main.nv, main.model, main.date, main.time) == (
        kyrhid.TYPE_VER, "VER", 2, 7, 1, 0x31, "Mar 14 2024", "10:20:30")
    camera = device.firmware_version(0xA000)
    assert (camera.partid, camera.major, camera.minor) == ("VER1-1", 1, 3)
    with pytest.raises(kyrhid.Timeout) as silent:
        device.firmware_mode(0x3000, timeout=0.2)
    assert silent.value.code == -3
    assert sim("mode 0 cm2 3") == "ok"   # the second camera unit in its IAP mode
    try:
        assert device.firmware_mode(0x4000) == 3
        iap = device.firmware_version(0x4000)
        assert (iap.partid, iap.model, iap.nv, iap.minor, iap.major, iap.date, iap.time) == (
            "VER2", 0x31, 0, 0, 0, "", "")
    finally:
        sim("mode 0 cm2 2")


def test_a_raw_query_waits_for_the_packet_with_its_id(device):
    def report(packet):
        return (bytes([1, 1, len(packet) + 2]) + packet + kyrhid.crc16(packet).to_bytes(2, "little")).ljust(64, b"\0")
    assert device.send_raw(report(bytes.fromhex("04110000")), wait=1.0) is True    # mode query of the main module
    unanswered = report(bytes.fromhex("04310000"))                                   # unit 0x3000 does not exist
    assert device.send_raw(unanswered, wait=0.2) is False
    assert device.send_raw(unanswered) is True
    with pytest.raises(ValueError):
        device.send_raw(b"\1\1", wait=1.0)


def test_commands_are_refused_while_a_firmware_download_is_marked(device):
    with device.firmware_download(), pytest.raises(kyrhid.FirmwareDownload):
        device.command("version")
    assert device.command("version") == VERSION


# ---- every packet kind the model streams ---------------------------------------------------

def f32(value):
    return pytest.approx(value, rel=1e-6)


# Each kind: its class, type and part, and one value of each group of its fields
# that is the same in every packet the model sends (the decoder's bytes are
# checked in tests/codec, the record's layout in test_offline).
KINDS = [
    (kyrhid.Message, kyrhid.TYPE_MSG, "MM", lambda m: m.text.split()[0], "sample"),
    (kyrhid.Objects, kyrhid.TYPE_OBJ, "OBJ", lambda o: (len(o.ranges) == o.count, o.ranges[0]),
     (True, (f32(0.1), f32(0.2)))),
    (kyrhid.ObjectRange, kyrhid.TYPE_OBC, "OBC1", lambda o: (o.count, o.start), (2, f32(0.25))),
    (kyrhid.Detections, kyrhid.TYPE_DTC, "DTC1", lambda d: (d.count, d.ranges[0]), (2, (10, 20))),
    # The data falls by one a byte, the preview rises by four.
    (kyrhid.ImageData, kyrhid.TYPE_IRD, "IRD1",
     lambda i: (i.total, len(i.data), (i.data[0] - i.data[1]) % 256), (120, 120, 1)),
    (kyrhid.Preview, kyrhid.TYPE_PRV, "PRV1",
     lambda p: (p.height, p.width, len(p.image), (p.image[1] - p.image[0]) % 256), (8, 64, 64, 4)),
    (kyrhid.TouchPoints, kyrhid.TYPE_TPT, "TPT",
     lambda t: (t.actual_touch == len(t.points), t.points[0].w, t.points[0].s), (True, 40, 200)),
    (kyrhid.Gesture, kyrhid.TYPE_GST, "GST",
     lambda g: (g.feasibleness, g.h, g.zoom, g.message), (100, 50, 1.0, "move")),
    # touch_x is mouse_x on a scale of 0 to 1.
    (kyrhid.DeviceReport, kyrhid.TYPE_DVC, "DVC",
     lambda d: (d.flag, d.mouse_wheel, round(d.touch_x * 4096) - d.mouse_x, d.keyboard_keys), (1, 0, 0, (0,) * 6)),
]


@pytest.fixture(scope="module")
def streamed():
    """A few packets of every stream, in the order they came."""
    with kyrhid.open() as dev, dev.packets(modes="MOVTGD", timeout=10) as stream:
        assert sim("streams 0") == "MVOTGD"
        received = until(stream, lambda seen: all(sum(type(p) is kind[0] for p in seen) >= 5 for kind in KINDS))
        assert stream.dropped == 0
    # The model numbers its messages: they come in order, none twice.
    numbers = [int(p.text.split()[1]) for p in received if type(p) is kyrhid.Message]
    assert numbers == sorted(set(numbers))
    return received


@pytest.mark.parametrize("kind, type_code, partid, values, expected", KINDS, ids=[k[0].__name__ for k in KINDS])
def test_each_kind_comes_as_its_class_with_its_values(streamed, kind, type_code, partid, values, expected):
    found = [p for p in streamed if type(p) is kind]
    assert len(found) >= 5
    assert {(p.type, p.partid) for p in found} == {(type_code, partid)}
    assert [values(p) for p in found] == [expected] * len(found)


def test_status_and_rse_reach_every_stream(device):
    with device.packets(modes="T", timeout=5) as stream:
        assert (device.command("notify calibrated"), device.command("rse done")) == ("ok", "done")
        texts = [(p.type, p.partid, p.text) for p in until(stream, lambda seen: type(seen[-1]) is kyrhid.Response)
                 if type(p) in (kyrhid.Status, kyrhid.Response)]
    assert texts == [(kyrhid.TYPE_STT, "STT", "calibrated"), (kyrhid.TYPE_RSE, "RSE", "done")]


def test_a_stream_passes_on_only_its_own_kinds(device):
    with device.packets(modes="TG", timeout=5) as both, device.packets(modes="G", timeout=5) as gestures:
        kinds_of_gestures = {type(next(gestures)) for _ in range(20)}
        kinds_of_both = {type(next(both)) for _ in range(60)}
    assert kinds_of_gestures == {kyrhid.Gesture}
    assert kinds_of_both == {kyrhid.Gesture, kyrhid.TouchPoints}


# ---- closing while others wait ---------------------------------------------------------------

def test_closing_from_another_thread_ends_running_iterators(device):
    first = threading.Event()
    # Each counts what its stream yields; S streams nothing.
    readers = [started(lambda stream=device.packets(modes=modes): len([first.set() for _ in stream]))
               for modes in ("T", "S")]
    assert first.wait(timeout=30)
    device.close()
    for reader, _ in readers:
        reader.join(timeout=30)
        assert not reader.is_alive()
    (flowing_count,), (idle_count,) = (outcome for _, outcome in readers)
    assert flowing_count >= 1 and idle_count == 0
    with pytest.raises(kyrhid.NoDevice):
        device.packets(modes="T")


def test_a_stream_ends_when_nothing_comes_within_its_timeout(device):
    with device.packets(modes="S", timeout=0.2) as stream:
        assert list(stream) == []


def test_closing_while_a_callback_runs_waits_for_it_without_deadlock(device, monkeypatch):
    # The read thread is parked inside the package's callback until the
    # closing thread is about to call the library's close, which waits for
    # that callback: the callback must still get the interpreter lock.
    parked = park_callback(monkeypatch, kyrhid.device, "decode", "KyrCloseDevice")
    stream = device.packets(modes="T")
    assert parked.wait(timeout=30)
    close_on_another_thread(device.close)
    assert device.closed
    assert list(stream) == []   # the parked packet came after the close began


def test_an_exception_in_the_callback_reaches_the_reader_and_reception_goes_on(device, monkeypatch):
    decode = kyrhid.device.decode
    failed = []

    def failing_once(address):
        if not failed:
            failed.append(address)
            raise RuntimeError("decoder fault")
        return decode(address)

    monkeypatch.setattr(kyrhid.device, "decode", failing_once)
    with device.packets(modes="T", timeout=10) as stream:
        with pytest.raises(RuntimeError, match="decoder fault"):
            next(stream)
        assert isinstance(next(stream), kyrhid.TouchPoints)


def report_of(packet):
    """One IN report carrying a packet and its CRC."""
    packet += crc_bytes(packet)
    return (bytes([1, 1, len(packet)]) + packet).ljust(64, b"\0")


def test_the_touch_example_prints_points_until_interrupted():
    example = os.path.join(os.environ["KYR_SOURCE_DIR"], "python", "examples", "touch.py")
    run = subprocess.Popen([sys.executable, example], stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        assert run.stdout.readline() == f"touch points of {MAIN} (Ctrl-C ends)\n"
        assert re.fullmatch(r" *\d+  [12] seen  \( *\d+, *\d+\) \d+x\d+ s=\d+.*\n", run.stdout.readline())
        # A status packet, which comes with every mode, then a touch of its own: once that is printed, the
        # status went by.
        for packet in (struct.pack("<HH", 0x100C, 0) + b"calibrated\0\0",
                       struct.pack("<4H5H", 0x1300, 0, 1, 1, 1234, 3210, 40, 40, 200)):
            assert sim(f"inject 0 {kyrhid.KYR_USB_MODEL_INTERFACE} {report_of(packet).hex()}") == "ok"
        assert "(1234,3210)" in "".join(until(iter(run.stdout.readline, ""), lambda seen: "(1234" in seen[-1]))
        run.send_signal(signal.SIGINT)
        assert run.wait(timeout=60) == 0
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
