#!/usr/bin/python3
"""kyrhid as its users run it, against emulated devices.

Runs under kyrsim (see CMakeLists.txt), one test class per kyrsim session:
    kyrhid_cli_test.py CLASS
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
import unittest
import zlib

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from kyrsim_client import crc_x25, sim_request  # noqa: E402

KYRHID = os.environ.get("KYRHID", "kyrhid")
TIMEOUT = 60


def run(*args, timeout=TIMEOUT):
    return subprocess.run([KYRHID, *args], capture_output=True, text=True, errors="replace", timeout=timeout)


def decode_png(path):
    """Width, height and rows of an 8-bit grey PNG, checking every chunk's CRC."""
    with open(path, "rb") as f:
        data = f.read()
    assert data[:8] == b"\x89PNG\r\n\x1a\n", "not a PNG signature"
    pos, idat, header = 8, b"", None
    while pos < len(data):
        (length,) = struct.unpack(">I", data[pos:pos + 4])
        kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
        (crc,) = struct.unpack(">I", data[pos + 8 + length:pos + 12 + length])
        assert zlib.crc32(kind + body) == crc, "chunk %r has a bad CRC" % kind
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
        if kind == b"IEND":
            break
    width, height, depth, colour = header[:4]
    assert (depth, colour) == (8, 0), "expected 8-bit grey"
    raw = zlib.decompress(idat)
    assert len(raw) == height * (width + 1), "pixel data does not match the size"
    return width, height


class Usage(unittest.TestCase):
    """Command-line mistakes exit 2, never with the option parser's own codes."""

    def test_mistakes_exit_2(self):
        for args in ([], ["bogus"], ["list", "--nope"], ["monitor", "--modes", "QQ"], ["monitor", "--modes", ""],
                     ["monitor", "--count", "0"], ["monitor", "--seconds", "-1"], ["monitor", "--json", "--raw"],
                     ["send"], ["fw", "speed"], ["fw", "mode", "--unit", "CM9"], ["keys"], ["keys", "300"],
                     ["keys", "4", "--scan", "30"], ["crc", "zz"], ["raw", "01", "--wait", "10"],
                     ["capture"], ["info", "-s", "3"], ["info", "--path", "x", "-s", "3:7"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertTrue(result.stderr.strip(), "a usage error says what is wrong")

    def test_help_and_version(self):
        result = run("--help")
        self.assertEqual(result.returncode, 0)
        self.assertIn("5 busy", result.stdout)
        self.assertIn("7 firmware download", result.stdout)
        result = run("--version")
        self.assertEqual(result.returncode, 0)
        self.assertRegex(result.stdout, r"^kyrhid \d+\.\d+\.\d+ \(library KyrHIDLib \d+\.\d+\.\d+\)")


class Commands(unittest.TestCase):
    """Every subcommand against the protocol device (bus 3, address 7, two interfaces)."""

    def test_list_shows_path_and_decimal_bus_device(self):
        result = run("list")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"0003:0007:01 +003:007 +0x1209 +0x0001 +1 +0\n")

    def test_info_names_units_versions_and_modes(self):
        # The modes a client left in force stay until they expire.
        self.assertEqual(run("send", "instant_mode=OT,60000").stdout, "data modes taken\n")
        result = run("info")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"path +0003:0007:01 \(bus 3 device 7\)")
        self.assertRegex(result.stdout, r"unit MM +0x1000 +mode 4 \(MM application\) +version 2\.7 nv1 model 0x0031")
        self.assertRegex(result.stdout, r"unit CM2 +0x4000 +mode 2 \(CM application\) +version 1\.3")
        self.assertIn("data modes OT\n", result.stdout)
        self.assertEqual(run("send", "instant_mode=,5000").returncode, 0)
        self.assertIn("data modes (none)\n", run("info").stdout)

    def test_selection_by_bus_device_and_by_path(self):
        result = run("info", "-s", "3:7")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"path +0003:0007:01")
        result = run("info", "--path", "0003:0007:00")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"interface +0\n")

    def test_missing_device_exits_3(self):
        for args in (["info", "--pid", "5"], ["info", "--path", "0009:0009:01"], ["send", "-s", "9:9", "version"]):
            with self.subTest(args=args):
                result = run(*args)
                self.assertEqual(result.returncode, 3, result.stderr)

    def test_send_prints_the_whole_answer(self):
        result = run("send", "long", "450")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, ("0123456789" * 45) + "\n")
        result = run("send", "--async", "long 1000")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(result.stdout, ("0123456789" * 100) + "\n")
        result = run("send", "echo", "two", "words")
        self.assertEqual(result.stdout, "two words\n")

    def test_send_json(self):
        result = run("send", "--json", "long", "450")
        self.assertEqual(result.returncode, 0, result.stderr)
        answer = json.loads(result.stdout)
        self.assertEqual(answer["command"], "long 450")
        self.assertEqual(answer["response"], "0123456789" * 45)
        self.assertEqual(answer["pieces"], 3)  # the model's pieces are at most 200 bytes
        self.assertIn(answer["id"], range(1, 256))

    def test_monitor_json_has_every_field_of_each_kind(self):
        result = run("monitor", "--modes", "MOVTGD", "--count", "80", "--json")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 80)
        seen = {}
        for line in lines:
            record = json.loads(line)
            for key in ("type", "type_code", "ticktime", "partid", "length", "sync"):
                self.assertIn(key, record)
            seen.setdefault(record["type"], record)
        expected = {"ver": ("major", "minor", "nv", "model", "date", "time"),
                    "tpt": ("actual_touch", "touch_count", "points"),
                    "gst": ("action_group", "action", "feasibleness", "x", "y", "w", "h", "zoom", "message"),
                    "dvc": ("flag", "touch_obj_cnt", "mouse_buttons", "mouse_wheel", "mouse_x", "mouse_y", "touch_x",
                            "touch_y", "keyboard_modifier", "keyboard_reserved", "keyboard_key"),
                    "msg": ("message",), "obj": ("count", "ranges"), "prv": ("height", "offset_y", "width", "image"),
                    "ird": ("total", "offset", "count", "data"), "obc": ("count", "start", "end"),
                    "dtc": ("count", "ranges")}
        for kind, fields in expected.items():
            self.assertIn(kind, seen)
            for field in fields:
                self.assertIn(field, seen[kind], kind)
        self.assertEqual(len(seen["tpt"]["points"]), seen["tpt"]["touch_count"])
        self.assertEqual(set(seen["tpt"]["points"][0]), {"x", "y", "w", "h", "s"})
        self.assertEqual(len(seen["prv"]["image"]), 2 * seen["prv"]["width"])
        self.assertEqual(len(seen["ird"]["data"]), 2 * seen["ird"]["count"])
        self.assertEqual(seen["ver"]["major"], 2)

    def test_monitor_raw_prints_reports(self):
        result = run("monitor", "--modes", "T", "--raw", "--count", "3")
        self.assertEqual(result.returncode, 0, result.stderr)
        lines = result.stdout.splitlines()
        self.assertEqual(len(lines), 3)
        for line in lines:
            self.assertRegex(line, r"^01 ([0-9a-f]{2} ){62}[0-9a-f]{2}$")

    def test_firmware_mode_and_version(self):
        result = run("fw", "mode")
        self.assertEqual((result.returncode, result.stdout), (0, "MM 4 (MM application)\n"), result.stderr)
        result = run("fw", "version", "--unit", "cm2")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"^CM2 1\.3 nv1 model 0x0031 ")
        result = run("fw", "mode", "--unit", "0x3000", "--timeout", "200")
        self.assertEqual(result.returncode, 6, "a unit that does not answer times out: " + result.stderr)

    def test_raw_waits_for_the_answering_packet(self):
        packet = bytes([0x04, 0x11, 0x00, 0x00])  # mode query of the main module
        crc = crc_x25(packet)
        report = bytes([1, 1, len(packet) + 2]) + packet + bytes([crc & 0xFF, crc >> 8])
        report += bytes(64 - len(report))
        result = run("raw", report.hex(), "--wait", "2000")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertRegex(result.stdout, r"< 01 01 [0-9a-f]{2} 04 11 ")

    def test_keys_both_ways(self):
        self.assertEqual(run("keys", "0x04").stdout, "usage id 0x04 -> scan code 0x1e\n")
        self.assertEqual(run("keys", "--scan", "0x1e").stdout, "scan code 0x1e -> usage id 0x04\n")
        self.assertEqual(run("keys", "0").returncode, 1)

    def test_crc(self):
        data = b"123456789"
        result = run("crc", data.hex(" "))
        self.assertEqual(result.returncode, 0, result.stderr)
        crc = crc_x25(data)
        self.assertEqual(crc, 0x906E)
        self.assertIn("crc 0x%04x\n" % crc, result.stdout)
        self.assertIn((data + bytes([crc & 0xFF, crc >> 8])).hex(" "), result.stdout)
        self.assertIn("already end in an intact crc",
                      run("crc", (data + bytes([crc & 0xFF, crc >> 8])).hex()).stdout)

    def test_capture_writes_decodable_pngs(self):
        directory = os.environ.get("TMPDIR", "/tmp")
        preview, image = os.path.join(directory, "preview.png"), os.path.join(directory, "image.png")
        result = run("capture", "--preview", preview, "--image", image, "--rows", "5")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("wrote " + preview, result.stdout)
        self.assertEqual(decode_png(preview), (64, 8))  # the model's preview: 8 rows of 64 pixels
        self.assertEqual(decode_png(image), (120, 5))  # its image data: 120 bytes a record


class Silent(unittest.TestCase):
    """A device that takes commands and never answers."""

    def test_unanswered_command_exits_6(self):
        result = run("send", "--timeout", "200", "status")
        self.assertEqual(result.returncode, 6, result.stderr)
        self.assertIn("KYR_ERROR_TIMEOUT", result.stderr)


class SilentVanish(unittest.TestCase):
    """Two devices that never answer (3:7 and 3:8), each unplugged while kyrhid waits for an answer."""

    def test_waiting_send_ends_at_once_with_exit_3(self):
        for device, mode in ((0, []), (1, ["--async"])):
            with self.subTest(mode=mode):
                started = time.monotonic()
                send = subprocess.Popen([KYRHID, "send", "-s", "3:%d" % (7 + device), "--timeout", "60000", *mode,
                                         "status"], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                while sim_request("commands %d" % device) != "1":   # sent: kyrhid waits for the answer
                    self.assertIsNone(send.poll())
                self.assertEqual(sim_request("unplug %d" % device), "ok")
                _, stderr = send.communicate(timeout=TIMEOUT)
                self.assertEqual(send.returncode, 3, stderr)
                self.assertLess(time.monotonic() - started, 30, "not the 60 s timeout")


class Deny(unittest.TestCase):
    """A device node the user may not open."""

    def test_access_denied_points_at_the_udev_rule(self):
        result = run("info")
        self.assertEqual(result.returncode, 4, result.stderr)
        self.assertIn("KYR_ERROR_ACCESS_DENIED", result.stderr)
        self.assertRegex(result.stderr, r"udev rule \S*/rules\.d/70-kyrhid\.rules")
        self.assertRegex(result.stderr, r"group plugdev")


class Peer:
    """device_peer, a second application, driven one line at a time."""

    def __init__(self):
        self.process = subprocess.Popen([os.environ["KYR_TEST_PEER"]], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, text=True)

    def ask(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        return self.process.stdout.readline().strip()

    def close(self):
        self.process.kill()
        self.process.wait()


class Busy(unittest.TestCase):
    """A device another process holds: the refusal names the holder."""

    def test_holder_pid_and_name_from_a_peer(self):
        peer = Peer()
        try:
            self.assertEqual(peer.ask("open 1 1"), "open KYR_SUCCESS")
            result = run("info")
            self.assertEqual(result.returncode, 5, result.stderr)
            self.assertIn("Held by process %d (device_peer)" % peer.process.pid, result.stderr)
        finally:
            peer.close()

    def test_holder_that_is_another_kyrhid(self):
        holder = subprocess.Popen([KYRHID, "monitor", "--modes", "T"], stdout=subprocess.PIPE, text=True)
        try:
            # The first line comes once the device is open.
            self.assertTrue(holder.stdout.readline())
            result = run("send", "version")
            self.assertEqual(result.returncode, 5, result.stderr)
            self.assertIn("Held by process %d (kyrhid)" % holder.pid, result.stderr)
        finally:
            holder.send_signal(signal.SIGINT)
            self.assertEqual(holder.wait(timeout=TIMEOUT), 0)
            holder.stdout.close()


class Download(unittest.TestCase):
    """Another process marks a firmware download (device 1, the virtual device)."""

    def test_commands_are_refused_with_7(self):
        peer = Peer()
        try:
            self.assertEqual(peer.ask("open 6 0"), "open KYR_SUCCESS")
            self.assertEqual(peer.ask("lock"), "locked")
            result = run("send", "version")
            self.assertEqual(result.returncode, 7, result.stderr)
            self.assertIn("KYR_ERROR_FIRMWARE_DOWNLOAD", result.stderr)
        finally:
            peer.close()


class Vanish(unittest.TestCase):
    """The device is unplugged while kyrhid monitors it."""

    def test_monitor_ends_with_a_message_and_exit_3(self):
        monitor = subprocess.Popen([KYRHID, "monitor", "--modes", "T"], stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        line = monitor.stdout.readline()
        while line and " tpt " not in line:  # streaming
            line = monitor.stdout.readline()
        self.assertTrue(line)
        self.assertEqual(sim_request("unplug 0"), "ok")
        _, stderr = monitor.communicate(timeout=TIMEOUT)
        self.assertEqual(monitor.returncode, 3, stderr)
        self.assertIn("the device has gone", stderr)


class PseudoTerminal:
    """Runs monitor --view in a pseudo-terminal; mixed into the view test classes."""

    def start(self):
        master, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        before = termios.tcgetattr(slave)
        process = subprocess.Popen([KYRHID, "monitor", "--view"], stdin=slave, stdout=slave, stderr=slave,
                                   start_new_session=True)
        return master, slave, before, process

    def read_until(self, master, pattern, timeout=TIMEOUT):
        output, deadline = b"", time.monotonic() + timeout
        while not re.search(pattern, output) and time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.5)
            if ready:
                output += os.read(master, 65536)
        return output

    def read_for(self, master, seconds):
        output, end = b"", time.monotonic() + seconds
        while time.monotonic() < end:
            ready, _, _ = select.select([master], [], [], max(0.0, end - time.monotonic()))
            if ready:
                output += os.read(master, 65536)
        return output

    def finish(self, master, slave, before, process, output, expected=0):
        # Read on while it ends, so that a last write cannot block it.
        while process.poll() is None:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                output += os.read(master, 65536)
        ready, _, _ = select.select([master], [], [], 0.2)
        if ready:
            output += os.read(master, 65536)
        self.assertEqual(process.returncode, expected, output[-400:])
        self.assertEqual(termios.tcgetattr(slave), before, "terminal modes restored")
        tail = output[output.rfind(b"\x1b[?25l"):]
        self.assertIn(b"\x1b[?25h", tail, "cursor shown again")
        self.assertIn(b"\x1b[?1049l", tail, "alternate screen left")
        os.close(master)
        os.close(slave)
        return output


class View(PseudoTerminal, unittest.TestCase):
    """monitor --view in a pseudo-terminal."""

    def test_shows_touch_points_and_quits_on_q(self):
        master, slave, before, process = self.start()
        output = self.read_until(master, rb"touch points: [12] .*#1 \d+,\d+ \d+x\d+")
        self.assertRegex(output, rb"touch points: [12] .*#1 \d+,\d+ \d+x\d+", "a frame with touch points")
        self.assertRegex(output, rb"packets/s:.* tpt \d+")
        self.assertEqual(termios.tcgetattr(slave)[3] & (termios.ICANON | termios.ECHO), 0, "raw input while viewing")
        frames = self.read_for(master, 2.0).count(b"\x1b[H")
        self.assertLessEqual(frames, 2 * 30 + 1, "at most 30 redraws a second")
        self.assertGreater(frames, 0)
        os.write(master, b"q")
        self.finish(master, slave, before, process, output)

    def test_ctrl_c_quits_and_restores(self):
        master, slave, before, process = self.start()
        output = self.read_until(master, rb"gesture: ")
        self.assertIn(b"gesture: ", output)
        process.send_signal(signal.SIGINT)
        self.finish(master, slave, before, process, output)


class ViewVanish(PseudoTerminal, unittest.TestCase):
    """monitor --view while the device is unplugged."""

    def test_unplug_ends_the_view_with_a_message_and_exit_3(self):
        master, slave, before, process = self.start()
        output = self.read_until(master, rb"touch points: [12] ")
        self.assertEqual(sim_request("unplug 0"), "ok")
        output = self.finish(master, slave, before, process, output, expected=3)
        self.assertIn(b"the device has gone", output[output.rfind(b"\x1b[?1049l"):])


class Verbose(unittest.TestCase):
    """--verbose shows the library's diagnostics."""

    def test_open_steps_on_stderr(self):
        result = run("fw", "mode", "--verbose")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("KyrHIDLib info: open: found at 0003:0007:01", result.stderr)
        self.assertIn("KyrHIDLib info: 0003:0007:01: interface 1 claimed", result.stderr)
        self.assertNotIn("KyrHIDLib", run("fw", "mode").stderr)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0], *sys.argv[1:]], verbosity=2)
