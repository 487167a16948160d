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
import shutil
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



class Usage:
    """Command-line mistakes exit 2 with a short message saying what is wrong, never with the parser's own codes."""

    @pytest.mark.parametrize("args, says", [
        ([], "."), (["bogus"], r"^kyrhid: unknown command 'bogus'\n"),
        (["lst"], r"^kyrhid: unknown command 'lst'; did you mean 'list'\?"), (["list", "--nope"], "."),
        (["monitor", "--modes", "QQ"], "."), (["monitor", "--modes", ""], "."),
        (["monitor", "--count", "0"], r"--count: expected a whole number from 1 up, not 0\n"),
        (["monitor", "--seconds", "-1"], r"--seconds: expected a number above 0, not -1\n"),
        (["watch", "--seconds", "0"], r"--seconds: expected a number above 0, not 0\n"),
        (["monitor", "--json", "--raw"], "."), (["send"], "."),
        (["send", "x" * 1014], r"too long: a command holds at most 1013 characters"),
        (["fw", "bogus"], r"fw: unknown query 'bogus': fw asks for mode or version"),
        (["fw", "mode", "--unit", "CM9"], "."), (["keys"], "."), (["keys", "300"], "."),
        (["keys", "4", "--scan", "30"], "."), (["crc", "zz"], "."), (["raw", "01", "--wait", "10"], "."),
        (["raw", "00" * 65], r"a report holds 64 bytes; 65 were given"),
        (["raw", "--crc", "00" * 63], r"at most 62 may be given; 63 were given"),
        (["capture"], "."), (["info", "-s", "3"], "."),
        (["info", "--path", "garbage"], r"--path: expected bus, address and interface in hex .* e\.g\. 0003:0007:01"),
        (["info", "--path", "x", "-s", "3:7"], ".")])
    def test_mistakes_exit_2(self, args, says):
        stderr = run(*args, code=2).stderr
        assert re.search(says, stderr) and len(stderr) < 300, stderr[:600]

    def test_help_and_version(self):
        assert all(code in run("--help").stdout for code in ("5 busy", "7 firmware download"))
        assert re.match(r"kyrhid \d+\.\d+\.\d+ \(library KyrHIDLib \d+\.\d+\.\d+\)", run("--version").stdout)


class Commands:
    """Every subcommand against the protocol device (bus 3, address 7, two interfaces)."""

    # output: on stdout when it succeeds, on stderr when it fails.
    @pytest.mark.parametrize("args, code, output", [
        (["info", "-s", "3:7"], 0, r"path +0003:0007:01 \(bus 3 device 7\)"),
        (["info", "--path", "0003:0007:00"], 0, r"interface +0\n"),
        (["info", "--path", "3:7:0"], 0, r"path +0003:0007:00 "),
        (["info", "--pid", "5"], 3, "cannot open 1209:0005 .*KYR_ERROR_NO_DEVICE"),
        (["info", "--path", "0009:0009:01"], 3, "no Kyr device at path 0009:0009:01"),
        (["send", "-s", "9:9", "version"], 3, "no Kyr device at bus:device 9:9"),
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
        (["record", "/nonexistent/x.pcap", "--seconds", "1"], 1,
         r"^kyrhid: /nonexistent/x\.pcap: No such file or directory\n$"),
        # A mode query of the main module in one report waits for the answering packet.
        (["raw", (b"\1\1\6" + with_crc(bytes.fromhex("04110000"))).ljust(64, b"\0").hex(), "--wait", "2000"], 0,
         r"< 01 01 [0-9a-f]{2} 04 11 "),
    ])
    def test_subcommand(self, args, code, output):
        result = run(*args, code=code)
        assert re.search(output, result.stdout if code == 0 else result.stderr)

    def test_raw_example_of_the_help_and_manual_gets_its_answer(self):
        example = re.search(r"^ +kyrhid (raw .*)$", run("raw", "--help").stdout, re.M).group(1)
        with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../man/kyrhid.1")) as man:
            assert "kyrhid " + example in man.read().replace("\\-", "-")
        report = (b"\1\1\6" + with_crc(bytes.fromhex("04110000"))).ljust(64, b"\0")   # padded to the report size
        out = run(*example.split()).stdout
        assert out.startswith(f"> {report.hex(' ')}\n") and re.search(r"^< 01 01 [0-9a-f]{2} 04 11 ", out, re.M)

    @pytest.mark.parametrize("args, expected", [
        (["list", "--json"], [{"path": f"0003:0007:0{mi}", "bus": 3, "address": 7, "vendor": 0x1209, "product": 1,
                               "interface": mi, "index": 0, "access": True} for mi in (0, 1)]),
        (["fw", "mode", "--json"], {"unit": "MM", "address": 0x1000, "mode": 4, "mode_name": "MM application"}),
        (["fw", "version", "--unit", "cm2", "--json"],
         {"unit": "CM2", "address": 0x4000, "version": "1.3 nv1 model 0x0031 Mar 14 2024 10:20:30"}),
        (["info", "--json"], {"path": "0003:0007:01", "bus": 3, "address": 7, "vendor": 0x1209, "product": 1,
                              "interface": 1, "index": 0, "data_modes": ""}),
    ])
    def test_json(self, args, expected):
        answer = json.loads(run(*args).stdout)
        if isinstance(expected, dict):   # info: its units are checked below
            answer = {key: answer[key] for key in expected}
        assert answer == expected
        if args[0] == "info":
            units = json.loads(run(*args).stdout)["units"]
            assert [(u["name"], u["address"], u["mode"]) for u in units] == [
                ("IAP", 0, 4), ("MM", 0x1000, 4), ("CM1", 0x2000, 2), ("CM2", 0x4000, 2)]
            assert units[1]["version"].startswith("2.7 nv1 ") and units[1]["mode_name"] == "MM application"

    # The version query at the start is answered, and shown, before N items are counted: the version
    # packet; with --raw, both ways, the mode and version query with their answers.
    @pytest.mark.parametrize("extra, line, first, counted, shown", [
        ([], r"^ *\d+ (ver|tpt) ", ["ver"], " tpt ", 3),
        (["--raw"], r"^\d{10}\.\d{6} 0003:0007:01 (IN |OUT)( [0-9a-f]{2}){64}$", ["OUT", "IN", "OUT", "IN"],
         " IN ", 2 + 3),
    ], ids=["packets", "raw"])
    def test_monitor_count_leaves_out_the_version_query(self, extra, line, first, counted, shown):
        run("send", "instant_mode=,5000")   # no stream left running by an earlier client
        lines = run("monitor", "--modes", "T", "--count", "3", *extra).stdout.splitlines()
        assert all(re.match(line, text) for text in lines), lines
        assert [text.split()[-65 if extra else 1] for text in lines[:len(first)]] == first
        assert sum(counted in text for text in lines) == shown
        if extra:
            times = [float(text.split()[0]) for text in lines]
            assert times == sorted(times) and abs(times[0] - time.time()) < 60


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
    """A device node the user may not open (3:7, two interfaces) beside one open to all (3:9)."""

    HINT = "The device node is not open to you. The udev rule "

    @pytest.mark.parametrize("args", [["info"], ["info", "--path", "0003:0007:01"], ["list"], ["list", "--json"]])
    def test_refusal_exits_4_with_the_hint_once(self, args):
        stderr = run(*args, code=4).stderr
        assert stderr.count(self.HINT) == 1 and "group plugdev" in stderr
        assert re.search(r"udev rule \S*/rules\.d/70-kyrhid\.rules", stderr)

    def test_list_marks_the_rows_not_open_to_you(self):
        rows = run("list", code=4).stdout.splitlines()
        assert [(row.split()[0], row.endswith("  no access")) for row in rows[1:-1]] == [
            ("0003:0007:00", True), ("0003:0007:01", True), ("0003:0009:00", False)]
        assert rows[-1] == "3 interfaces, 2 not open to you"
        assert [(d["path"], d["access"]) for d in json.loads(run("list", "--json", code=4).stdout)] == [
            ("0003:0007:00", False), ("0003:0007:01", False), ("0003:0009:00", True)]

    def test_hint_names_the_rule_installed_beside_the_program(self, tmp_path):
        rule = tmp_path / "lib/udev/rules.d/70-kyrhid.rules"
        rule.parent.mkdir(parents=True)
        rule.write_text("# installed\n")
        (tmp_path / "bin").mkdir()
        program = shutil.copy(KYRHID, tmp_path / "bin/kyrhid")
        stderr = subprocess.run([program, "info"], capture_output=True, text=True, timeout=TIMEOUT).stderr
        assert f"udev rule {rule}\n" in stderr


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
    """monitor --view in an 80x24 pseudo-terminal, until it is quit or the device is unplugged (the last case
    of the table), and into a pipe."""

    def test_plain_summary_lines_when_output_is_not_a_terminal(self):
        out = run("monitor", "--view", "--seconds", "2.5").stdout
        assert "\x1b" not in out
        lines = out.splitlines()
        assert 2 <= len(lines) <= 4 and all(
            re.match(r"\d+\.\ds  touch points: \d+ .*  gesture: .*  packets/s:.* tpt \d+", line) for line in lines), out

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
