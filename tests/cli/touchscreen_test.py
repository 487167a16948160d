"""`kyrhid touchscreen --dry-run` against the kyr model's touch stream, judged
by the evdev stream it prints (evemu format) and its journal lines.

Runs under kyrsim, one class per session (see CMakeLists.txt); KYRHID names
the program, KYR_TEST_PEER the second application, KYRSIM_CONTROL the
control socket. The kyr model's T stream alternates one finger circling the
middle and that finger plus a second one mirrored across the vertical axis.
"""
import os
import select
import signal
import subprocess
import sys
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kyrsim_client import sim_request  # noqa: E402

KYRHID = os.environ.get("KYRHID", "kyrhid")
KYRTOUCHD = os.environ.get("KYRTOUCHD", "kyrtouchd")
TIMEOUT = 30
EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
ABS_X, ABS_Y, ABS_MT_SLOT, ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TRACKING_ID = 0, 1, 0x2F, 0x35, 0x36, 0x39
BTN_TOUCH = 0x14A
TOOLS = [0x145, 0x14D, 0x14E, 0x14F, 0x148]   # finger, double ... quint tap
SECOND_DEVICE = "vid=0x1209,pid=0x0001,interfaces=2,bus=3,addr=8,model=kyr"


class Bridge:
    """A running `kyrhid touchscreen --dry-run` whose stdout is replayed
    through a protocol-B reader that checks every frame as it ends."""

    def __init__(self, *args, program=(KYRHID, "touchscreen")):
        self.process = subprocess.Popen([*program, "--dry-run", "--config", "/nonexistent", *args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.pending = b""
        self.device = None       # the device whose events come now
        self.others = {}         # events of the pointer and keyboard devices, by name
        self.names = []          # N: of each device description, in order
        self.frames = []         # per SYN_REPORT: {slot: (tracking id, x, y)}
        self.events = []         # (type, code, value) since the last description
        self.reset()

    def reset(self):
        self.slots, self.slot, self.keys, self.single = {}, 0, {}, {}

    def line(self, deadline):
        """The next line of stdout, read from the descriptor itself so that select sees what is pending."""
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.process.stdout], [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                raise AssertionError("no output in time; stderr: " + self.stderr_so_far())
            chunk = os.read(self.process.stdout.fileno(), 65536)
            if not chunk:
                return None
            self.pending += chunk
        text, _, self.pending = self.pending.partition(b"\n")
        return text.decode()

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

    def take(self, text):
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

    def stop(self, sig=signal.SIGTERM):
        self.process.send_signal(sig)
        self.read_until(lambda b: False)
        return self.process.wait(timeout=TIMEOUT), self.process.stderr.read()


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


class DryRun:
    """The touch stream as evdev events, and a clean end on SIGTERM with fingers down."""

    def test_stream_and_sigterm(self, bridge):
        b = bridge()
        assert b.read_until(lambda b: b.frames_with(2) >= 20)
        assert b.touchscreens() == ["Kyr 1209:0001 0003:0007:01 Touchscreen"]
        # The circling finger keeps its tracking id while the second one
        # comes and goes; each return of the second one is a new contact.
        first_ids = {f[0][0] for f in b.frames if 0 in f}
        assert len(first_ids) == 1, first_ids
        second_ids = [f[1][0] for f in b.frames if 1 in f]
        starts = [i for n, i in enumerate(second_ids) if n == 0 or second_ids[n - 1] != i]
        assert starts == sorted(set(starts)) and len(starts) >= 10
        assert b.read_until(lambda b: len(b.frames[-1]) == 2)
        code, stderr = b.stop()
        assert code == 0, stderr
        assert b.frames[-1] == {} and b.events[-1] == (EV_SYN, 0, 0)
        assert stderr.splitlines()[-1] == "<6>stopped"


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


@pytest.fixture
def peer():
    process = subprocess.Popen([os.environ["KYR_TEST_PEER"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(line):
        print(line, file=process.stdin, flush=True)
        return process.stdout.readline().strip()

    process.ask = ask
    yield process
    process.kill()
    process.wait()


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
