"""The package against emulated devices: a kyr-model device of two interfaces
at 3:7 that echoes commands, and the virtual device at 3:9."""
import math
import os
import re
import signal
import subprocess
import sys
import threading

import pytest

import kyrhid

from conftest import close_on_another_thread, park_callback, sim, started, until

MAIN = "0003:0007:01"
VERSION = "MM 2.7 nv1 model 0x0031 Mar 14 2024 10:20:30"
DIGITS = "0123456789" * 401


@pytest.fixture
def device():
    with kyrhid.open() as dev:
        yield dev


# ---- enumeration, open and close ----------------------------------------------------------

def test_devices_lists_every_interface_in_the_order_of_the_family():
    vid, model1, virtual = kyrhid.KYR_USB_VENDOR_ID, kyrhid.KYR_USB_PRODUCT_ID_MODEL1, kyrhid.KYR_USB_PRODUCT_ID_VIRTUAL
    assert kyrhid.devices() == [kyrhid.DeviceInfo("0003:0007:00", vid, model1, 0, 0),
                                kyrhid.DeviceInfo("0003:0007:01", vid, model1, 1, 0),
                                kyrhid.DeviceInfo("0003:0009:00", vid, virtual, 0, 0)]


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


@pytest.mark.parametrize("where", [{"product": kyrhid.KYR_USB_PRODUCT_ID_MODEL5}, {"path": "0003:0042:01"}])
def test_open_fails_with_no_device_for_ids_or_a_path_nobody_has(where):
    with pytest.raises(kyrhid.NoDevice):
        kyrhid.open(**where)


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


# ---- every packet kind, field by field -------------------------------------------------------

def sample_at(x, y):
    """The sample n at which the point the device moves around the middle of its square is at (x, y)."""
    angles = [n * 3.14159265358979 / 180.0 for n in range(360)]
    return [(int(2048 + 1000 * math.cos(a)), int(2048 + 1000 * math.sin(a))) for a in angles].index((x, y))


def f32(value):
    return pytest.approx(value, rel=1e-6)


KINDS = (kyrhid.Message, kyrhid.Objects, kyrhid.Preview, kyrhid.ImageData, kyrhid.ObjectRange, kyrhid.Detections,
         kyrhid.TouchPoints, kyrhid.Gesture, kyrhid.DeviceReport)


@pytest.fixture(scope="module")
def streamed():
    """A few packets of every stream, in the order they came."""
    with kyrhid.open() as dev, dev.packets(modes="MOVTGD", timeout=10) as stream:
        assert sim("streams 0") == "MVOTGD"
        received = until(stream, lambda seen: all(sum(type(p) is kind for p in seen) >= 5 for kind in KINDS))
        assert stream.dropped == 0
    return received


def of(received, kind):
    found = [p for p in received if type(p) is kind]
    assert len(found) >= 5, f"too few {kind.__name__} packets"
    return found


def test_touch_points_gestures_and_device_reports_follow_the_sample(streamed):
    for p in of(streamed, kyrhid.TouchPoints):
        x, y = p.points[0].x, p.points[0].y
        expected = [kyrhid.TouchPoint(x, y, 40, 40, 200), kyrhid.TouchPoint(4096 - x, y, 30, 30, 150)]
        assert (p.type, p.partid, p.actual_touch, list(p.points)) == (
            kyrhid.TYPE_TPT, "TPT", len(p.points), expected[:1 + sample_at(x, y) % 2])
    for g in of(streamed, kyrhid.Gesture):
        n = sample_at(g.x, g.y)   # the zoom below, not the angle that precedes it
        assert (g.type, g.partid, g.action_group, g.action, g.feasibleness, g.w, g.h, g.zoom, g.message) == (
            kyrhid.TYPE_GST, "GST", 1 + n % 3, n % 4, 100, 50, 50, 1.0, "move")
    for d in of(streamed, kyrhid.DeviceReport):
        assert (d.type, d.partid, d.flag, d.touch_obj_cnt, d.mouse_buttons, d.mouse_wheel) == (
            kyrhid.TYPE_DVC, "DVC", 1, 1, sample_at(d.mouse_x, d.mouse_y) % 2, 0)
        assert (d.touch_x, d.touch_y) == (f32(d.mouse_x / 4096), f32(d.mouse_y / 4096))
        assert (d.keyboard_modifier, d.keyboard_reserved, d.keyboard_keys) == (0, 0, (0,) * 6)


def test_messages_count_their_samples(streamed):
    messages = of(streamed, kyrhid.Message)
    assert {(m.type, m.partid) for m in messages} == {(kyrhid.TYPE_MSG, "MM")}
    numbers = [int(re.fullmatch(r"sample (\d+)", m.text).group(1)) for m in messages]
    assert numbers == sorted(set(numbers))


def test_object_ranges(streamed):
    for o in of(streamed, kyrhid.Objects):
        assert (o.type, o.partid, len(o.ranges), o.ranges[0]) == (kyrhid.TYPE_OBJ, "OBJ", o.count, (f32(0.1), f32(0.2)))
        assert 1 <= o.count <= 3
        if o.count >= 2:
            assert o.ranges[1][1] == f32(0.6) and o.ranges[1][0] in [f32(0.4 + k / 100) for k in range(10)]
        if o.count == 3:
            assert o.ranges[2] == (f32(0.8), f32(0.9))


def test_previews(streamed):
    for p in of(streamed, kyrhid.Preview):
        n = p.image[0]
        assert (p.type, p.partid, p.height, p.offset_y, p.width) == (kyrhid.TYPE_PRV, "PRV1", 8, n % 8, 64)
        assert p.image == bytes((i * 4 + n) & 0xFF for i in range(64))


def test_image_data_comes_with_its_object_range_and_detections(streamed):
    for image in of(streamed, kyrhid.ImageData):
        n = (255 - image.data[0]) & 0xFF
        assert (image.type, image.partid, image.total, image.offset) == (kyrhid.TYPE_IRD, "IRD1", 120, n % 16)
        assert image.data == bytes((255 - i - n) & 0xFF for i in range(120))
        # The three records of one image packet arrive together, in this order.
        at = next(i for i, p in enumerate(streamed) if p is image)
        if at + 2 >= len(streamed):
            continue
        obc, dtc = streamed[at + 1], streamed[at + 2]
        assert (obc.type, obc.partid, obc.count, obc.start) == (kyrhid.TYPE_OBC, "OBC1", 2, f32(0.25))
        assert obc.end in [f32(0.5 + k / 40) for k in range(10)]
        assert (dtc.type, dtc.partid, dtc.count, dtc.ranges[0]) == (kyrhid.TYPE_DTC, "DTC1", 2, (10, 20))
        assert dtc.ranges[1][1] == 70 and 40 <= dtc.ranges[1][0] < 60


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


def test_the_touch_example_prints_points_until_interrupted():
    example = os.path.join(os.environ["KYR_SOURCE_DIR"], "python", "examples", "touch.py")
    run = subprocess.Popen([sys.executable, example], stdout=subprocess.PIPE, text=True, env=os.environ)
    try:
        assert run.stdout.readline() == f"touch points of {MAIN} (Ctrl-C ends)\n"
        assert re.fullmatch(r" *\d+  [12] seen  \( *\d+, *\d+\) \d+x\d+ s=\d+.*\n", run.stdout.readline())
        run.send_signal(signal.SIGINT)
        assert run.wait(timeout=60) == 0
    finally:
        if run.poll() is None:
            run.kill()
            run.wait()
