"""kyrhid record, then kyrsim's replay of the recording: each subcommand that
talks to a device is recorded against the kyr model, then run again against
the replay, which must see every OUT report it recorded (command ids aside)
and answer so that kyrhid prints and exits the same.

A client that ends well removes the shared block when it is the last, so the
next one numbers its commands afresh; the "ids moved on" cases first kill a
client that holds the device, so that the recording continues its ids while
the replaying client starts afresh."""
import os
import re
import subprocess
import sys

import pytest

KYRSIM = os.environ["KYRSIM"]
KYRHID = os.environ["KYRHID"]
DEVICE = os.environ["KYR_DEVICE"]
SUPPORT = os.environ["KYR_TEST_SUPPORT"]
sys.path.insert(0, SUPPORT)
from kyrsim_client import crc_x25  # noqa: E402

# The firmware-mode query of the main module as one whole report, CRC included.
MODE_QUERY = "01 01 06 04 11 00 00 7b 51".split() + ["00"] * 55
LONG = "x" * 150  # a command and an answer of several reports each
MONITOR = ["monitor", "--modes", "T", "--count", "3"]
VERSION_THEN_POINTS = r"ver +VER +2\.7[^\n]*\n(.*\n)*.*tpt +TPT"

CASES = [
    # name, kyrhid arguments ({dir}: the run's directory), exit code, stdout pattern, ids moved on
    ("monitor", MONITOR, 0, VERSION_THEN_POINTS, False),
    ("monitor_ids_moved_on", MONITOR, 0, VERSION_THEN_POINTS, True),
    ("monitor_raw", ["monitor", "--modes", "T", "--raw", "--count", "2"], 0, r"^(\d+\.\d{6} \S+ (IN |OUT) 01( [0-9a-f]{2}){63}\n)+$", True),
    ("send", ["send", "echo", "hello"], 0, r"^hello\n$", False),
    ("send_ids_moved_on", ["send", "echo", "hello"], 0, r"^hello\n$", True),
    ("send_long", ["send", "echo", LONG], 0, rf"^{LONG}\n$", True),
    ("send_json_async", ["send", "--json", "--async", "echo", "hi"], 0, r'"response":"hi"', True),
    ("fw_version", ["fw", "version"], 0, r"^MM 2\.7 nv1 ", False),
    ("fw_mode", ["fw", "mode", "--unit", "CM1"], 0, r"^CM1 2 \(CM application\)\n$", False),
    ("fw_no_answer", ["fw", "mode", "--unit", "0x3000", "--timeout", "300"], 6, r"^$", False),
    ("info", ["info"], 0, r"unit MM +0x1000 +mode 4(.*\n)*unit CM2 +0x4000 +mode 2", True),
    ("raw", ["raw", *MODE_QUERY, "--wait", "500"], 0, r"^> 01 01 06 04 11 00 [^\n]*\n< 01 01 06 04 11 04 00 ", False),
    ("capture", ["capture", "--preview", "{dir}/view.png"], 0, r"^wrote \S+/view\.png: 64x8 preview\n$", True),
]

# Run under kyrsim: kyrhid (recorded or not), then the replay's counters.
CHILD = r"""
dir=$1; shift
if [ "$WARM_UP" != 0 ]; then
    # A client killed while it holds the device leaves the shared block, and
    # the ids it drew, to the next one.
    "$KYRHID" monitor --modes T >"$dir/warm-up" & pid=$!
    until grep -q tpt "$dir/warm-up"; do kill -0 $pid || exit 90; sleep 0.05; done
    kill -9 $pid; wait $pid
fi
"$KYRHID" "$@" >"$dir/stdout" 2>"$dir/stderr"
echo $? >"$dir/rc"
[ "$ASK_REPLAY" = 0 ] ||
    "$PYTHON" -c 'import kyrsim_client; print(kyrsim_client.sim_request("replay 0"))' >"$dir/replay"
"""


def run(tmp_path, name, model, args, warm_up, ask_replay):
    run_dir = tmp_path / name
    (run_dir / "tmp").mkdir(parents=True)
    args = [a.replace("{dir}", str(run_dir)) for a in args]
    env = dict(os.environ, KYRHID=KYRHID, PYTHON=sys.executable, PYTHONPATH=SUPPORT, PYTHONDONTWRITEBYTECODE="1",
               WARM_UP=str(int(warm_up)), ASK_REPLAY=str(int(ask_replay)))
    # TMPDIR only for the child: kyrsim's own socket wants a short path.
    sim = subprocess.run([KYRSIM, "--device", f"{DEVICE},{model}", "--", "env", f"TMPDIR={run_dir / 'tmp'}",
                          "sh", "-c", CHILD, "sh", str(run_dir), *args],
                         env=env, capture_output=True, text=True, timeout=120)
    assert sim.returncode == 0, sim.stderr
    result = {f: (run_dir / f).read_text() for f in ("stdout", "stderr", "rc")}
    result["rc"] = int(result["rc"])
    result["sim_stderr"] = sim.stderr
    if ask_replay:
        result["replay"] = dict(kv.split("=") for kv in (run_dir / "replay").read_text().split())
    return result


@pytest.mark.parametrize("name,args,exit_code,pattern,warm_up", CASES, ids=[c[0] for c in CASES])
def test_recorded_session_replays(tmp_path, name, args, exit_code, pattern, warm_up):
    capture = tmp_path / "session.pcap"
    recorded = run(tmp_path, "record", "model=kyr", ["record", str(capture), *args], warm_up, False)
    assert recorded["rc"] == exit_code, recorded["stderr"]
    assert re.search(pattern, recorded["stdout"]), recorded["stdout"]
    assert re.search(r"kyrhid: [1-9][0-9]* reports recorded in ", recorded["stderr"]), recorded["stderr"]

    replayed = run(tmp_path, "replay", f"model=replay,file={capture}", args, False, True)
    counts = replayed["replay"]
    assert replayed["rc"] == exit_code, replayed["stderr"] + replayed["sim_stderr"]
    assert re.search(pattern, replayed["stdout"]), replayed["stdout"]
    assert (counts["mismatched"], counts["extra"], counts["out"]) == ("0", "0", counts["recorded_out"]), \
        replayed["sim_stderr"]
    assert int(counts["recorded_out"]) > 0


def command_report(command_id, text, crc_id=None):
    """One report holding a text command packet, built from the wire format;
    crc_id: the id the CRC is computed for, to break it."""
    def packet(packet_id):
        body = bytes([0x07, 0x10, 0, 0, 0, packet_id]) + len(text).to_bytes(2, "little") + text.encode() + b"\0"
        return body + crc_x25(body).to_bytes(2, "little")
    data = packet(command_id)[:-2] + packet(command_id if crc_id is None else crc_id)[-2:]
    return (bytes([1, 1, len(data)]) + data).ljust(64, b"\0").hex(" ").split()


QUERY_OTHER_CRC = MODE_QUERY[:8] + ["7c"] + MODE_QUERY[9:]  # byte 8 is where a command keeps its id

COMPARISONS = [
    # name, report recorded, report replayed, OUT reports counted as mismatched
    ("command_other_id", command_report(2, "echo a"), command_report(9, "echo a"), 0),
    ("command_other_text", command_report(2, "echo a"), command_report(9, "echo b"), 1),
    ("command_broken_crc", command_report(2, "echo a"), command_report(9, "echo a", crc_id=2), 1),
    ("query_byte_8", MODE_QUERY, QUERY_OTHER_CRC, 1),
]


@pytest.mark.parametrize("name,recorded_report,replayed_report,mismatched", COMPARISONS,
                         ids=[c[0] for c in COMPARISONS])
def test_replay_compares_commands_but_their_ids(tmp_path, name, recorded_report, replayed_report, mismatched):
    capture = tmp_path / "session.pcap"
    recorded = run(tmp_path, "record", "model=kyr", ["record", str(capture), "raw", *recorded_report], False, False)
    assert recorded["rc"] == 0, recorded["stderr"]
    replayed = run(tmp_path, "replay", f"model=replay,file={capture}", ["raw", *replayed_report], False, True)
    counts = replayed["replay"]
    assert (counts["out"], counts["recorded_out"], counts["mismatched"]) == ("1", "1", str(mismatched)), \
        replayed["sim_stderr"]
