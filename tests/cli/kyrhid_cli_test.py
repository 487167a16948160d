"""kyrhid as its users run it, against emulated devices.

Runs under kyrsim, one test class per kyrsim session (see CMakeLists.txt):
    python3 -m pytest kyrhid_cli_test.py::CLASS
KYRHID names the program; KYR_TEST_PEER the second application some classes
need; KYRSIM_CONTROL is kyrsim's control socket.
"""
import fcntl
import json
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kyrsim_client import crc_x25, sim_request  # noqa: E402

KYRHID = os.environ.get("KYRHID", "kyrhid")
TIMEOUT = 60
DIGITS = "0123456789" * 100
CHECK = b"123456789"   # with the catalogue check value 0x906E of its CRC


def run(*args, code=0):
    """kyrhid's result, which must have exited with `code`."""
    result = subprocess.run([KYRHID, *args], capture_output=True, text=True, errors="replace", timeout=TIMEOUT)
    assert result.returncode == code, result.stderr
    return result


def unplug(device):
    assert sim_request(f"unplug {device}") == "ok"


def with_crc(data):
    return data + crc_x25(data).to_bytes(2, "little")


def png_size(path):
    """Width and height of an 8-bit grey PNG (libpng writes it, so its chunks are not checked again)."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR" and data.endswith(b"IEND\xaeB`\x82")
    width, height, depth, colour = struct.unpack_from(">IIBB", data, 16)
    assert (depth, colour) == (8, 0)
    return width, height


@pytest.fixture
def peer():
    """device_peer, a second application, driven one line at a time by peer.ask(line)."""
    process = subprocess.Popen([os.environ["KYR_TEST_PEER"]], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ask(line):
        print(line, file=process.stdin, flush=True)
        return process.stdout.readline().strip()

    process.ask = ask
    yield process
    process.kill()
    process.wait()


class Usage:
    """Command-line mistakes exit 2, never with the option parser's own codes."""

    @pytest.mark.parametrize("args", [
        [], ["bogus"], ["list", "--nope"], ["monitor", "--modes", "QQ"], ["monitor", "--modes", ""],
        ["monitor", "--count", "0"], ["monitor", "--seconds", "-1"], ["monitor", "--json", "--raw"], ["send"],
        ["fw", "speed"], ["fw", "mode", "--unit", "CM9"], ["keys"], ["keys", "300"], ["keys", "4", "--scan", "30"],
        ["crc", "zz"], ["raw", "01", "--wait", "10"], ["capture"], ["info", "-s", "3"],
        ["info", "--path", "x", "-s", "3:7"]])
    def test_mistakes_exit_2(self, args):
        assert run(*args, code=2).stderr.strip(), "a usage error says what is wrong"

    def test_help_and_version(self):
        assert all(code in run("--help").stdout for code in ("5 busy", "7 firmware download"))
        assert re.match(r"kyrhid \d+\.\d+\.\d+ \(library KyrHIDLib \d+\.\d+\.\d+\)", run("--version").stdout)


class Commands:
    """Every subcommand against the protocol device (bus 3, address 7, two interfaces)."""

    @pytest.mark.parametrize("args, code, output", [
        (["info", "-s", "3:7"], 0, r"path +0003:0007:01 \(bus 3 device 7\)"),
        (["info", "--path", "0003:0007:00"], 0, r"interface +0\n"),
        (["info", "--pid", "5"], 3, ""),
        (["info", "--path", "0009:0009:01"], 3, ""),
        (["send", "-s", "9:9", "version"], 3, ""),
        (["send", "long", "450"], 0, f"^{DIGITS[:450]}\n$"),
        (["send", "--async", "long 1000"], 0, f"^{DIGITS}\n$"),
        (["send", "echo", "two", "words"], 0, "^two words\n$"),
        (["fw", "mode"], 0, r"^MM 4 \(MM application\)\n$"),
        (["fw", "version", "--unit", "cm2"], 0, r"^CM2 1\.3 nv1 model 0x0031 "),
        (["fw", "mode", "--unit", "0x3000", "--timeout", "200"], 6, ""),   # a unit that does not answer
        (["keys", "0x04"], 0, "^usage id 0x04 -> scan code 0x1e\n$"),
        (["keys", "--scan", "0x1e"], 0, "^scan code 0x1e -> usage id 0x04\n$"),
        (["keys", "0"], 1, ""),
        (["crc", CHECK.hex(" ")], 0, f"^crc 0x906e\nwith crc {with_crc(CHECK).hex(' ')}\n$"),
        (["crc", with_crc(CHECK).hex()], 0, "\nthe bytes already end in an intact crc\n$"),
        (["monitor", "--modes", "T", "--raw", "--count", "3"], 0, r"^(01( [0-9a-f]{2}){63}\n){3}$"),
        # A mode query of the main module in one report waits for the answering packet.
        (["raw", (b"\1\1\6" + with_crc(bytes.fromhex("04110000"))).ljust(64, b"\0").hex(), "--wait", "2000"], 0,
         r"< 01 01 [0-9a-f]{2} 04 11 "),
    ])
    def test_subcommand(self, args, code, output):
        assert re.search(output, run(*args, code=code).stdout)

    def test_info_names_units_versions_and_modes(self):
        # The modes a client left in force stay until they expire.
        assert run("send", "instant_mode=OT,60000").stdout == "data modes taken\n"
        out = run("info").stdout
        assert re.search(r"unit MM +0x1000 +mode 4 \(MM application\) +version 2\.7 nv1 model 0x0031", out)
        assert re.search(r"unit CM2 +0x4000 +mode 2 \(CM application\) +version 1\.3", out)
        assert "data modes OT\n" in out
        run("send", "instant_mode=,5000")
        assert "data modes (none)\n" in run("info").stdout

    def test_send_json(self):
        answer = json.loads(run("send", "--json", "long", "450").stdout)
        # The model's pieces are at most 200 bytes.
        assert (answer["command"], answer["response"], answer["pieces"]) == ("long 450", DIGITS[:450], 3)
        assert 1 <= answer["id"] <= 255

    def test_monitor_json_has_every_field_of_each_kind(self):
        lines = run("monitor", "--modes", "MOVTGD", "--count", "80", "--json").stdout.splitlines()
        assert len(lines) == 80
        seen = {}
        for record in map(json.loads, lines):
            assert {"type", "type_code", "ticktime", "partid", "length", "sync"} <= set(record)
            seen.setdefault(record["type"], record)
        expected = {"ver": "major minor nv model date time", "tpt": "actual_touch touch_count points",
                    "gst": "action_group action feasibleness x y w h zoom message",
                    "dvc": "flag touch_obj_cnt mouse_buttons mouse_wheel mouse_x mouse_y touch_x touch_y "
                           "keyboard_modifier keyboard_reserved keyboard_key",
                    "msg": "message", "obj": "count ranges", "prv": "height offset_y width image",
                    "ird": "total offset count data", "obc": "count start end", "dtc": "count ranges"}
        missing = {kind: set(fields.split()) - set(seen.get(kind, ())) for kind, fields in expected.items()}
        assert not any(missing.values()), missing
        tpt = seen["tpt"]
        assert len(tpt["points"]) == tpt["touch_count"] and set(tpt["points"][0]) == set("xywhs")
        assert len(seen["prv"]["image"]) == 2 * seen["prv"]["width"]
        assert len(seen["ird"]["data"]) == 2 * seen["ird"]["count"]
        assert seen["ver"]["major"] == 2

    def test_capture_writes_decodable_pngs(self):
        preview, image = (os.path.join(os.environ.get("TMPDIR", "/tmp"), name) for name in ("preview.png", "image.png"))
        assert "wrote " + preview in run("capture", "--preview", preview, "--image", image, "--rows", "5").stdout
        assert png_size(preview) == (64, 8)   # the model's preview: 8 rows of 64 pixels
        assert png_size(image) == (120, 5)    # its image data: 120 bytes a record


class SilentVanish:
    """Two devices that never answer (3:7 and 3:8), each unplugged while kyrhid waits for an answer."""

    @pytest.mark.parametrize("device, mode", [(0, []), (1, ["--async"])])
    def test_waiting_send_ends_at_once_with_exit_3(self, device, mode):
        started, sent = time.monotonic(), sim_request(f"commands {device}")
        send = subprocess.Popen([KYRHID, "send", "-s", f"3:{7 + device}", "--timeout", "60000", *mode, "status"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        while sim_request(f"commands {device}") == sent:   # sent: kyrhid waits for the answer
            assert send.poll() is None
        unplug(device)
        _, stderr = send.communicate(timeout=TIMEOUT)
        assert send.returncode == 3, stderr
        assert time.monotonic() - started < 30, "not the 60 s timeout"


class Deny:
    """A device node the user may not open."""

    def test_access_denied_exits_4_and_points_at_the_udev_rule(self):
        stderr = run("info", code=4).stderr
        assert re.search(r"udev rule \S*/rules\.d/70-kyrhid\.rules", stderr) and "group plugdev" in stderr


class Busy:
    """A device another process holds: the refusal names the holder."""

    def test_holder_pid_and_name(self, peer):
        assert peer.ask("open 1 1") == "open KYR_SUCCESS"
        assert f"Held by process {peer.pid} (device_peer)" in run("info", code=5).stderr


class Download:
    """Another process marks a firmware download (device 1, the virtual device)."""

    def test_commands_are_refused_with_7(self, peer):
        assert (peer.ask("open 6 0"), peer.ask("lock")) == ("open KYR_SUCCESS", "locked")
        run("send", "version", code=7)


class Vanish:
    """The device is unplugged while kyrhid monitors it."""

    def test_monitor_ends_with_exit_3(self):
        monitor = subprocess.Popen([KYRHID, "monitor", "--modes", "T"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        assert any(" tpt " in line for line in monitor.stdout)   # streaming
        unplug(0)
        _, stderr = monitor.communicate(timeout=TIMEOUT)
        assert monitor.returncode == 3, stderr


FRAME = rb"touch points: [12] .*#1 \d+,\d+ \d+x\d+"


class View:
    """monitor --view in an 80x24 pseudo-terminal, until it is quit or the device is unplugged (the last case)."""

    @pytest.mark.parametrize("end, code, says", [
        (lambda master, view: os.write(master, b"q"), 0, b""),
        (lambda master, view: view.send_signal(signal.SIGINT), 0, b""),
        (lambda master, view: unplug(0), 3, b"the device has gone"),
    ], ids=["q", "Ctrl-C", "unplug"])
    def test_shows_touch_points_and_ends_restoring_the_terminal(self, end, code, says):
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        modes, output = termios.tcgetattr(slave), bytearray()
        view = subprocess.Popen([KYRHID, "monitor", "--view"], stdin=slave, stdout=slave, stderr=slave,
                                start_new_session=True)

        def read(until=None, seconds=TIMEOUT):
            """What comes within `seconds`, or until it holds the pattern `until`."""
            start, deadline = len(output), time.monotonic() + seconds
            while time.monotonic() < deadline and not (until and re.search(until, output[start:])):
                if select.select([master], [], [], min(0.5, max(0.0, deadline - time.monotonic())))[0]:
                    output.extend(os.read(master, 65536))
            return output[start:]

        frame = read(FRAME)
        assert re.search(FRAME, frame) and re.search(rb"packets/s:.* tpt \d+", frame) and b"gesture: " in frame
        assert termios.tcgetattr(slave)[3] & (termios.ICANON | termios.ECHO) == 0, "raw input while viewing"
        assert 0 < read(seconds=2.0).count(b"\x1b[H") <= 2 * 30 + 1, "at most 30 redraws a second"
        end(master, view)
        while view.poll() is None:   # read on while it ends, so that a last write cannot block it
            read(seconds=0.2)
        read(seconds=0.2)
        assert view.returncode == code, output[-400:]
        assert termios.tcgetattr(slave) == modes, "terminal modes restored"
        tail = output[output.rfind(b"\x1b[?25l"):]
        assert b"\x1b[?25h" in tail and b"\x1b[?1049l" in tail, "cursor shown again, alternate screen left"
        assert says in output[output.rfind(b"\x1b[?1049l"):]   # after the view, to be read
        os.close(master)
        os.close(slave)


class Verbose:
    """--verbose shows the library's diagnostics."""

    def test_open_steps_on_stderr(self):
        stderr = run("fw", "mode", "--verbose").stderr
        assert all(f"KyrHIDLib info: {step}" in stderr for step in ("open: found at 0003:0007:01",
                                                                   "0003:0007:01: interface 1 claimed"))
        assert "KyrHIDLib" not in run("fw", "mode").stderr
