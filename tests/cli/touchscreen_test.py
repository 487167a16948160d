"""`kyrhid touchscreen --dry-run` against the kyr model's touch stream, judged
by the evdev stream it prints (evemu format) and its journal lines.

Runs under kyrsim, one class per session (see CMakeLists.txt); KYRHID names
the program, KYR_TEST_PEER the second application, KYRSIM_CONTROL the
control socket. The kyr model's T stream alternates one finger circling the
middle and that finger plus a second one mirrored across the vertical axis.
"""
import contextlib
import itertools
import math
import os
import select
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kyrsim_client import report, reported, sim_request, touch, touched, uinput_device, uinput_devices  # noqa: E402

KYRHID = os.environ.get("KYRHID", "kyrhid")
KYRTOUCHD = os.environ.get("KYRTOUCHD", "kyrtouchd")
TIMEOUT = 30
EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
ABS_X, ABS_Y, ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID = 0, 1, 0x2F, 0x35, 0x36, 0x39
BTN_TOUCH = 0x14A
TOOLS = [0x145, 0x14D, 0x14E, 0x14F, 0x148]   # finger, double ... quint tap
SECOND_DEVICE = "vid=0x1209,pid=0x0001,interfaces=2,bus=3,addr=8,model=kyr"
FOREIGN_DEVICE = "vid=0x1209,pid=0x0010,bus=4"   # the vendor's, outside the family: no bridge takes it


class Stream:
    """A protocol-B reader of evemu lines that checks every frame as it ends."""

    def __init__(self, lines=()):
        self.device = None       # the device whose events come now
        self.others = {}         # events of the pointer and keyboard devices, by name
        self.names = []          # N: of each device description, in order
        self.frames = []         # per SYN_REPORT: {slot: (tracking id, x, y)}
        self.events = []         # (type, code, value) since the last description
        self.lines = []
        self.reset()
        for text in lines:
            self.take(text)

    def reset(self):
        self.slots, self.slot, self.keys, self.single = {}, 0, {}, {}

    def take(self, text):
        self.lines.append(text)
        if text.startswith("N: ") or text[2:] in self.names:   # a description, or another device writes
            self.device = text[2:].strip()
            if text.startswith("N: "):
                self.names.append(self.device)
                if self.device.endswith(" Touchscreen"):
                    self.reset()
                    self.events = []
        if not text.startswith("E: "):
            return
        _, _, t, c, v = text.split()
        event = (int(t, 16), int(c, 16), int(v))
        if not self.device.endswith(" Touchscreen"):
            self.others.setdefault(self.device, []).append(event)
            return
        self.events.append(event)
        kind, code, value = event
        if kind == EV_ABS and code == ABS_MT_SLOT:
            self.slot = value
        elif kind == EV_ABS and code == ABS_MT_TRACKING_ID:
            if value < 0:
                assert self.slot in self.slots, f"slot {self.slot} ended without a contact"
                del self.slots[self.slot]
            else:
                self.slots[self.slot] = [value, None, None]
        elif kind == EV_ABS and code in (ABS_MT_POSITION_X, ABS_MT_POSITION_Y):
            self.slots[self.slot][1 if code == ABS_MT_POSITION_X else 2] = value
        elif kind == EV_ABS and code in (ABS_X, ABS_Y):
            self.single[code] = value
        elif kind == EV_KEY:
            self.keys[code] = value
        elif kind == EV_SYN:
            self.check_frame()

    def check_frame(self):
        active = len(self.slots)
        assert all(0 <= s < 10 for s in self.slots), self.slots
        assert self.keys.get(BTN_TOUCH, 0) == (1 if active else 0)
        down = [k for k in TOOLS if self.keys.get(k, 0)]
        assert down == ([TOOLS[min(active, 5) - 1]] if active else []), (active, self.keys)
        for contact in self.slots.values():
            assert None not in contact, "a contact without a position"
        if active:   # the single-touch axes follow the oldest contact
            oldest = min(self.slots.values(), key=lambda c: c[0])
            assert (self.single[ABS_X], self.single[ABS_Y]) == (oldest[1], oldest[2])
        self.frames.append({s: tuple(c) for s, c in self.slots.items()})

    def frames_with(self, count, since=0):
        return sum(1 for f in self.frames[since:] if len(f) == count)

    def touchscreens(self):
        return [n for n in self.names if n.endswith(" Touchscreen")]


class Bridge(Stream):
    """A running `kyrhid touchscreen --dry-run` whose stdout is replayed
    through the protocol-B reader."""

    def __init__(self, *args, program=(KYRHID, "touchscreen"), **popen):
        super().__init__()
        self.process = subprocess.Popen([*program, "--dry-run", "--config", "/nonexistent", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, **popen)
        self.pending = b""

    def line(self, deadline):
        """The next line of stdout, read from the descriptor itself so that select sees what is pending."""
        return read_line(self, self.process.stdout, deadline)

    def stderr_so_far(self):
        self.process.kill()
        return self.process.stderr.read()

    def read_until(self, done, timeout=TIMEOUT):
        """Reads until done(self) holds after a line; False at the end of the output."""
        deadline = time.monotonic() + timeout
        while not done(self):
            text = self.line(deadline)
            if text is None:
                return False
            self.take(text)
        return True

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        self.read_until(lambda b: False)
        return self.process.wait(timeout=TIMEOUT), self.process.stderr.read()


def read_line(owner, stream, deadline):
    """The next line of a pipe (owner.pending keeps what came after it); None at its end."""
    while b"\n" not in owner.pending:
        ready, _, _ = select.select([stream], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            raise AssertionError("no output in time; stderr: " + owner.stderr_so_far())
        chunk = os.read(stream.fileno(), 65536)
        if not chunk:
            return None
        owner.pending += chunk
    text, _, owner.pending = owner.pending.partition(b"\n")
    return text.decode()


@pytest.fixture
def bridge():
    started = []

    def start(*args, **kwargs):
        started.append(Bridge(*args, **kwargs))
        return started[-1]

    yield start
    for b in started:
        if b.process.poll() is None:
            b.process.kill()
            b.process.wait()


class Daemon:
    """kyrtouchd itself: the device it is pointed at, or exit 3 with a journal line when there is none."""

    def test_path(self, bridge):
        b = bridge("--path", "0003:0007:01", "--set", "max-contacts=1", program=(KYRTOUCHD,))
        assert b.read_until(lambda b: len(b.frames) >= 10)
        assert b.touchscreens() == ["Kyr 1209:0001 0003:0007:01 Touchscreen"]
        assert all(set(f) <= {0} for f in b.frames)   # one slot: the second finger finds none
        assert b.stop() == (0, '<6>0003:0007:01: bridging to input device "Kyr 1209:0001 0003:0007:01 '
                               'Touchscreen"\n<6>stopped\n')

    def test_no_such_device(self):
        result = subprocess.run([KYRTOUCHD, "--dry-run", "--path", "0003:0009:01"], capture_output=True, text=True,
                                timeout=TIMEOUT)
        assert (result.returncode, result.stdout, result.stderr) == (3, "", "<3>no Kyr device at 0003:0009:01 attached\n")


class Unplug:
    """Unplugged with fingers down: every contact ends, then the bridge takes the device that comes back."""

    def test_release_wait_and_return(self, bridge):
        b = bridge()
        assert b.read_until(lambda b: len(b.frames) > 5 and len(b.frames[-1]) == 2)
        assert sim_request("unplug 0") == "ok"
        assert b.read_until(lambda b: b.frames[-1] == {})
        released = len(b.frames)
        # Nothing but the new device follows: the old one is gone.
        assert sim_request(f"plug {SECOND_DEVICE}") == "ok 1"
        assert b.read_until(lambda b: len(b.touchscreens()) == 2)
        assert len(b.frames) == released
        assert b.touchscreens()[1] == "Kyr 1209:0001 0003:0008:01 Touchscreen"
        assert b.read_until(lambda b: b.frames_with(2, released) >= 3)
        code, stderr = b.stop(signal.SIGINT)
        assert code == 0, stderr
        assert "<5>0003:0007:01: unplugged; contacts released, waiting for the device to return" in stderr


class Busy:
    """Another client holds the device: one clear line, retries, and the bridge starts once it is free."""

    def test_retries_until_free(self, bridge, peer):
        assert peer.ask("open 1 1") == "open KYR_SUCCESS"
        b = bridge("--retry-seconds", "1")
        time.sleep(2.5)   # room for two retries; only the journal line is judged, not the timing
        assert b.process.poll() is None
        assert peer.ask("close") == "closed"
        assert b.read_until(lambda b: len(b.frames) >= 3)
        code, stderr = b.stop()
        assert code == 0, stderr
        busy = [line for line in stderr.splitlines() if "busy" in line]
        assert busy == [f"<4>1209:0001 interface 1 is busy: another client has it open (held by process {peer.pid} "
                        "device_peer); retrying every 1 s"]


CORNERS = [(0.125, 0.125), (0.875, 0.125), (0.875, 0.875), (0.125, 0.875)]


def points(pairs):
    return " ".join(f"{x:.12g},{y:.12g}" for x, y in pairs)


class Calibrate:
    """kyrhid calibrate with the touches given: the matrix, or why there is none."""

    @pytest.mark.parametrize("args, code, out", [
        # Touched where shown: nothing to correct.
        (["--touches", points((x * 4095, y * 4095) for x, y in CORNERS)], 0, "matrix = 1 0 0 0 1 0\n"),
        # A frame mounted a quarter turn off, with the rotation configured: still nothing.
        (["--rotate", "90", "--touches", points((y * 4095, (1 - x) * 4095) for x, y in CORNERS)], 0,
         "matrix = 1 0 0 0 1 0\n"),
        # Touches shifted right by 0.05 and squeezed vertically to 90 %.
        (["--touches", points(((x + 0.05) * 4095, (0.5 + (y - 0.5) * 0.9) * 4095) for x, y in CORNERS)], 0,
         "matrix = 1 0 -0.05 0 1.11111 -0.0555556\n"),
        (["--touches", "100,100 200,200 300,300 400,400"], 1, ""),
        (["--touches", "1,2 3,4"], 2, ""),
        (["--targets", "0.5,0.5", "--touches", "1,1 2,1 2,2 1,2"], 2, ""),
    ])
    def test_matrix(self, args, code, out):
        result = subprocess.run([KYRHID, "calibrate", "--config", "/nonexistent", *args], capture_output=True,
                                text=True, timeout=TIMEOUT)
        assert (result.returncode, result.stdout) == (code, out), result.stderr


# ---- The real uinput path: scripted touches in, kyrsim's record of /dev/uinput out.

TOUCHSCREEN = "Kyr 1209:0001 0003:0007:01 Touchscreen"
EV_REL, SYN = 2, (EV_SYN, 0, 0)
BTN_LEFT, BTN_RIGHT, BTN_MIDDLE, REL_X, REL_Y, REL_WHEEL = 0x110, 0x111, 0x112, 0, 1, 8
KEY_A, KEY_B, KEY_LEFTSHIFT, KEY_BACKSLASH = 30, 48, 42, 43


def poll(what, done, timeout=TIMEOUT):
    """what() once it satisfies done, polling kyrsim's records until the deadline."""
    deadline = time.monotonic() + timeout
    while not done(value := what()):
        assert time.monotonic() < deadline, f"still {value!r}"
        time.sleep(0.01)
    return value


def syn_count(index):
    return sum(1 for e in uinput_device(index)["events"] if e == SYN)


class Live:
    """`kyrhid touchscreen` on /dev/uinput, once it has asked for the streams (no frame is lost from then
    on); kyrsim numbers its touchscreen first."""

    def __init__(self, *args, program=(KYRHID, "touchscreen"), path="0003:0007:01"):
        self.first = len(uinput_devices())
        self.process = subprocess.Popen([*program, "--config", "/nonexistent", *args], stderr=subprocess.PIPE,
                                        text=True)
        self.pending = b""
        deadline = time.monotonic() + TIMEOUT
        while not (read_line(self, self.process.stderr, deadline) or "").startswith(f"<6>{path}: bridging"):
            assert self.pending or self.process.poll() is None, "stderr ended"

    def stderr_so_far(self):
        self.process.kill()
        return self.process.stderr.read()

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        return self.process.wait(timeout=TIMEOUT)

    def devices(self):
        return [(name, alive) for _, alive, _, name in uinput_devices()[self.first:]]


@pytest.fixture
def uinput_bridge():
    started = []
    yield lambda *args, **kwargs: started.append(Live(*args, **kwargs)) or started[-1]
    for b in started:
        if b.process.poll() is None:
            b.process.kill()
            b.process.wait()


def frames_text(frames):
    """Scripted frames from {finger: (x, y[, w, h, s])}, the contacts reversed every other frame so that only their
    positions tell them apart."""
    return [[(*p, 30, 30, 100)[:5] for p in (list(f.values())[::-1] if n % 2 else f.values())]
            for n, f in enumerate(frames)]


def lifting(order):
    down = [{k: (1000 + 1000 * n + 20 * i, 2000) for n, k in enumerate("abc")} for i in range(2)]
    lifts = [{k: down[-1][k] for k in "abc" if k not in order[:n]} for n in range(1, 4)]
    return down + lifts


ONE = [{"a": (1000 + 50 * i, 2000 + 30 * i)} for i in range(5)] + [{}]
# Two fingers cross, 40 units apart at the crossing, 200 units a frame.
CROSSING = [{"a": (1000 + 200 * i, 2000), "b": (3000 - 200 * i, 2040)} for i in range(11)] + [{}]
TEN = [{k: (300 + 350 * k, 1000 + 20 * i) for k in range(10)} for i in range(4)] + [{}]
# Beyond the tracking limit (a tenth of the axis): another finger.
JUMP = [{"a": (500, 500)}, {"a": (520, 520)}, {"b": (3500, 3500)}, {"b": (3520, 3510)}, {}]
HELD = [{"a": (1000, 1000), "b": (2000, 2000), "c": (3000, 3000)}, {"a": (1010, 1000), "b": (2000, 2010),
                                                                      "c": (3000, 3000)}]


def rotated(x, y):   # a quarter turn clockwise
    return 4095 - y, x


def matrix(x, y):
    return math.floor(0.5 * x + 1023.75 + 0.5), math.floor(0.5 * y + 1023.75 + 0.5)


def check_stream(device, frames, transform):
    """Each frame is one SYN_REPORT that shows the frame's fingers where the transform puts them, every
    finger in one slot under one tracking id of its own; then every contact ends. Every value lies within
    its axis."""
    for kind, code, value in device["events"]:
        if kind == EV_ABS and (code, value) != (ABS_MT_TRACKING_ID, -1):
            assert device["axes"][code][0] <= value <= device["axes"][code][1], (code, value)
    stream = Stream(device["lines"])
    released = [{}] if frames[-1] else []
    assert len(stream.frames) == len(frames) + len(released), stream.frames
    assert stream.frames[len(frames):] == released and stream.events[-1] == SYN
    seen = {}
    for frame, got in zip(frames, stream.frames):
        where = {transform(*p[:2]): finger for finger, p in frame.items()}
        assert sorted(where) == sorted((x, y) for _, x, y in got.values()), (frame, got)
        for slot, (tid, x, y) in got.items():
            seen.setdefault(where[x, y], set()).add((slot, tid))
    assert all(len(v) == 1 for v in seen.values()), seen
    assert len({tid for v in seen.values() for _, tid in v}) == len(seen), seen
    return stream


class Uinput:
    """Scripted touch streams through the bridge to /dev/uinput, judged by the events kyrsim recorded."""

    @pytest.mark.parametrize("args, frames, transform", [
        ([], ONE, lambda x, y: (x, y)),
        ([], CROSSING, lambda x, y: (x, y)),
        ([], TEN, lambda x, y: (x, y)),
        *[([], lifting(order), lambda x, y: (x, y)) for order in itertools.permutations("abc")],
        ([], JUMP, lambda x, y: (x, y)),
        ([], HELD, lambda x, y: (x, y)),   # SIGTERM with fingers down
        ([], [{"a": (100, 100, 5000, 20, 300)}, {"a": (120, 110, 5000, 4000, 300)}, {}], lambda x, y: (x, y)),
        (["--rotate", "90"], ONE[:-1], rotated),
        (["--matrix", "0.5 0 0.25 0 0.5 0.25"], CROSSING[:4], matrix),
    ], ids=["one", "crossing", "ten", *("lift-" + "".join(o) for o in itertools.permutations("abc")), "jump",
            "held", "large", "rotate", "matrix"])
    def test_touch_stream(self, uinput_bridge, args, frames, transform):
        live = uinput_bridge(*args)
        touch(0, frames_text(frames))
        poll(lambda: touched(0), lambda t: t["pending"] == 0)
        poll(lambda: syn_count(live.first), lambda n: n >= len(frames))
        assert live.stop() == 0
        assert live.devices() == [(TOUCHSCREEN, False)]
        check_stream(uinput_device(live.first), frames, transform)

    @pytest.mark.parametrize("reports, expected", [
        # Buttons and motion make a pointer; the button still down is released at the stop.
        (["buttons=1,x=100,y=200", "buttons=3,x=110,y=195,wheel=-1", "buttons=4,x=110,y=195"],
         {"Mouse": [(EV_KEY, BTN_LEFT, 1), SYN, (EV_REL, REL_X, 10), (EV_REL, REL_Y, -5), (EV_REL, REL_WHEEL, -1),
                    (EV_KEY, BTN_RIGHT, 1), SYN, (EV_KEY, BTN_LEFT, 0), (EV_KEY, BTN_RIGHT, 0),
                    (EV_KEY, BTN_MIDDLE, 1), SYN, (EV_KEY, BTN_MIDDLE, 0), SYN]}),
        # Usage ids 4 and 5 and the left shift bit: a keyboard.
        (["keys=0x04+0x05,mod=0x02", "keys=0x05", "-"],
         {"Keyboard": [(EV_KEY, KEY_LEFTSHIFT, 1), (EV_KEY, KEY_A, 1), (EV_KEY, KEY_B, 1), SYN,
                       (EV_KEY, KEY_LEFTSHIFT, 0), (EV_KEY, KEY_A, 0), SYN, (EV_KEY, KEY_B, 0), SYN]}),
        # Too many keys (0x01 in every place) says nothing of which are down; a key two usages share goes
        # down once.
        (["keys=0x04", "keys=" + "+".join(["0x01"] * 6) + ",mod=0x02", "keys=0x04+0x31+0x32", "keys=0x31"],
         {"Keyboard": [(EV_KEY, KEY_A, 1), SYN, (EV_KEY, KEY_LEFTSHIFT, 1), SYN, (EV_KEY, KEY_LEFTSHIFT, 0),
                       (EV_KEY, KEY_BACKSLASH, 1), SYN, (EV_KEY, KEY_A, 0), SYN, (EV_KEY, KEY_BACKSLASH, 0), SYN]}),
        (["-", "-"], {}),
    ], ids=["pointer", "keyboard", "rollover", "neither"])
    def test_device_reports(self, uinput_bridge, reports, expected):
        live = uinput_bridge()
        report(0, reports)
        poll(lambda: reported(0), lambda r: r["pending"] == 0)
        # A touch frame sent after the reports: once it is written, so are they.
        touch(0, frames_text([{"a": (100, 100)}]))
        poll(lambda: syn_count(live.first), lambda n: n >= 1)
        assert live.stop() == 0
        names = [TOUCHSCREEN, *(TOUCHSCREEN.replace("Touchscreen", kind) for kind in expected)]
        assert live.devices() == [(name, False) for name in names]
        for k, events in enumerate(expected.values(), live.first + 1):
            device = uinput_device(k)
            assert device["events"] == events
            assert {(t, c) for t, c, _ in events} <= {(t, c) for t in device["codes"] for c in device["codes"][t]}

    def test_dry_run_describes_the_device(self, bridge, uinput_bridge):
        dry = bridge()
        assert dry.read_until(lambda b: b.lines and b.lines[-1].startswith("A: 3a "))   # the last axis
        assert dry.stop()[0] == 0
        live = uinput_bridge()
        assert live.stop() == 0
        described = [line for line in uinput_device(live.first)["lines"] if not line.startswith("#")]
        assert dry.lines[1:] == described[:len(dry.lines) - 1]


class UinputCalibrate:
    """kyrhid calibrate reading four touches from the device, touched faster than it prompts: its stderr is
    a full pipe, so it stays parked at the first prompt until every touch has come."""

    def test_touches_from_the_device(self):
        parked, stderr = os.pipe()
        os.set_blocking(stderr, False)
        with contextlib.suppress(BlockingIOError):
            while True:
                os.write(stderr, b"." * 4096)
        os.set_blocking(stderr, True)
        process = subprocess.Popen([KYRHID, "calibrate", "--config", "/nonexistent", "--seconds", "20"],
                                   stdout=subprocess.PIPE, stderr=stderr, text=True)
        os.close(stderr)
        # Each target touched with two samples whose mean lies 0.05 of the width to its right.
        means = [(round((x + 0.05) * 4095), round(y * 4095)) for x, y in CORNERS]
        touch(0, [f for x, y in means for f in ([(x - 8, y + 4, 30, 30, 100)], [(x + 8, y - 4, 30, 30, 100)], [])])
        poll(lambda: touched(0), lambda t: t["pending"] == 0)
        with os.fdopen(parked, "rb") as pipe:   # drained from here on; the prompt goes through
            drained = []
            reader = threading.Thread(target=lambda: drained.append(pipe.read()))
            reader.start()
            out = process.communicate(timeout=TIMEOUT)[0]
            reader.join(TIMEOUT)
        err = drained[0].lstrip(b".").decode()
        assert process.returncode == 0, err
        assert err.count("Touch the target") == 4
        numbers = out.split()
        assert numbers[:2] == ["matrix", "="]
        assert [float(v) for v in numbers[2:]] == pytest.approx([1, 0, -0.05, 0, 1, 0], abs=1e-3)


class UinputUnplug:
    """Unplugged with three fingers down: every contact ends before the touchscreen is destroyed."""

    def test_unplug(self, uinput_bridge):
        live = uinput_bridge()
        touch(0, frames_text(HELD))
        poll(lambda: syn_count(live.first), lambda n: n >= len(HELD))
        assert sim_request("unplug 0") == "ok"
        poll(live.devices, lambda d: d == [(TOUCHSCREEN, False)])
        stream = check_stream(uinput_device(live.first), HELD, lambda x, y: (x, y))
        last = max(n for n, e in enumerate(stream.events[:-1]) if e == SYN)
        assert stream.events[last + 1:] == [(EV_ABS, ABS_MT_SLOT, 0), (EV_ABS, ABS_MT_TRACKING_ID, -1),
                                             (EV_ABS, ABS_MT_SLOT, 1), (EV_ABS, ABS_MT_TRACKING_ID, -1),
                                             (EV_ABS, ABS_MT_SLOT, 2), (EV_ABS, ABS_MT_TRACKING_ID, -1),
                                             (EV_KEY, BTN_TOUCH, 0), (EV_KEY, TOOLS[2], 0), SYN]
        assert live.stop() == 0


class NoUinput:
    """Without uinput rights (kyrsim --uinput-deny): a clear refusal, while the dry run still works."""

    @pytest.mark.parametrize("program", [(KYRHID, "touchscreen"), (KYRTOUCHD,)])
    def test_denied(self, program):
        result = subprocess.run([*program, "--config", "/nonexistent"], capture_output=True, text=True,
                                timeout=TIMEOUT)
        assert (result.returncode, result.stderr) == (1, "<3>0003:0007:01: cannot open /dev/uinput: Permission denied; "
                                                         "the bridge needs write access to it (run as root, or in a "
                                                         "group the node is granted to)\n")

    def test_dry_run(self, bridge):
        b = bridge()
        assert b.read_until(lambda b: b.frames_with(2) >= 3 and len(b.frames[-1]) == 2)
        assert b.stop() == (0, f"<6>0003:0007:01: bridging to input device \"{TOUCHSCREEN}\"\n<6>stopped\n")
        assert b.frames[-1] == {} and b.events[-1] == SYN


class Sysfs:
    """kyrtouchd as udev starts it, given an interface's kernel name; two scripted kyr devices, 3-1 (address 7)
    and 3-2 (address 8). Judged by the touches of the named device reaching the touchscreen."""

    @pytest.mark.parametrize("name, device, path", [
        ("3-1:1.1", 0, "0003:0007:01"),
        ("3-2:1.1", 1, "0003:0008:01"),
        ("3-2:1.0", 1, "0003:0008:00"),
    ])
    def test_bridges_the_named_interface(self, uinput_bridge, name, device, path):
        live = uinput_bridge("--sysfs", name, program=(KYRTOUCHD,), path=path)
        touch(device, frames_text(ONE))
        poll(lambda: syn_count(live.first), lambda n: n >= len(ONE))
        assert live.stop() == 0
        assert live.devices() == [(f"Kyr 1209:0001 {path} Touchscreen", False)]
        check_stream(uinput_device(live.first), ONE, lambda x, y: (x, y))

    @pytest.mark.parametrize("name", ["3-3:1.1", "3-1:1.2", "3-1", "../3-1", "../3-1:1.1"])
    def test_unknown_name(self, name):
        result = subprocess.run([KYRTOUCHD, "--dry-run", "--sysfs", name], capture_output=True, text=True,
                                timeout=TIMEOUT)
        assert (result.returncode, result.stdout, result.stderr) == (3, "", f"<3>no USB interface {name}\n")

    def test_replug_at_the_same_port(self, uinput_bridge):
        """Last in the class: device 0 leaves. It comes back on its port with a new address as device 2, and
        without interfaces in sysfs yet, as a kernel announces it; the instance follows the name, not the
        address, and leaves 3-2 alone."""
        live = uinput_bridge("--sysfs", "3-1:1.1", program=(KYRTOUCHD,))
        assert sim_request("unplug 0") == "ok"
        plug = f"plug {SECOND_DEVICE},scripted,nointerfaceentries".replace("addr=8", "addr=9,port=1")
        assert sim_request(plug) == "ok 2"
        back = "Kyr 1209:0001 0003:0009:01 Touchscreen"
        poll(live.devices, lambda d: d == [(TOUCHSCREEN, False), (back, True)])
        touch(2, frames_text(ONE))
        poll(lambda: syn_count(live.first + 1), lambda n: n >= len(ONE))
        assert live.stop() == 0
        check_stream(uinput_device(live.first + 1), ONE, lambda x, y: (x, y))


class WaitOnce:
    """Waiting for its device, the bridge says once why it has none, however often it looks meanwhile.
    select_hook tells when it has looked (a byte per device count it asks for)."""

    addresses = itertools.count(20)

    def plug_kyr(self):
        return int(sim_request(f"plug {SECOND_DEVICE.replace('addr=8', f'addr={next(self.addresses)}')}")[3:])

    def hooked(self, bridge, *args, program):
        looks, hook = os.pipe()
        env = dict(os.environ, KYR_SELECT_HOOK_FD=str(hook),
                   LD_PRELOAD=os.environ["KYR_SELECT_HOOK"] + ":" + os.environ.get("LD_PRELOAD", ""))
        b = bridge(*args, program=program, env=env, pass_fds=(hook,))
        os.close(hook)
        b.looks = looks
        return b

    @staticmethod
    def counts(b):
        """The device counts since the last call, at least one."""
        assert select.select([b.looks], [], [], TIMEOUT)[0], b.stderr_so_far()
        return len(os.read(b.looks, 65536))

    @staticmethod
    def said(b, line):
        code, stderr = b.stop()
        os.close(b.looks)
        assert code == 0, stderr
        return stderr.splitlines().count(line)

    @pytest.mark.parametrize("program, line", [
        ((KYRHID, "touchscreen"), "kyrhid: no Kyr device attached (check the cable, then `kyrhid list`)"),
        ((KYRTOUCHD,), "<3>no Kyr device attached"),
    ], ids=["kyrhid", "kyrtouchd"])
    def test_after_an_unplug(self, bridge, program, line):
        """Other devices (of a product outside the family) arrive while it waits for its own to return."""
        device = self.plug_kyr()
        b = self.hooked(bridge, program=program)
        assert b.read_until(lambda b: len(b.frames) >= 1)
        assert sim_request(f"unplug {device}") == "ok"
        assert b.read_until(lambda b: b.frames[-1] == {})
        self.counts(b)   # the looks that found the device; none follows until something arrives
        for _ in range(3):
            assert sim_request(f"plug {FOREIGN_DEVICE},addr={next(self.addresses)}").startswith("ok ")
            self.counts(b)   # it looked: the next arrival makes it look again
        assert self.said(b, line) == 1

    def test_none_yet(self, bridge):
        """kyrhid opens the second device of the model it finds; with one attached, it retries every second
        (one device count a look)."""
        device = self.plug_kyr()
        b = self.hooked(bridge, "--index", "1", "--retry-seconds", "1", program=(KYRHID, "touchscreen"))
        looked = 0
        while looked < 3:
            looked += self.counts(b)
        assert self.said(b, "<4>cannot open 1209:0001 interface 1: KYR_ERROR_NO_DEVICE; waiting for it") == 1
        assert sim_request(f"unplug {device}") == "ok"
