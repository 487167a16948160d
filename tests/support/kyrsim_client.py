"""What Python tests running under kyrsim share: its control socket (with
the scripted touches and the uinput log) and the packet CRC for building
expected bytes from the wire format."""
import os
import socket


def _exchange(line, multi_line):
    path = os.environ.get("KYRSIM_CONTROL")
    if not path:
        raise RuntimeError("not running under kyrsim (KYRSIM_CONTROL unset)")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        wanted = 1
        while reply.count(b"\n") < wanted:
            chunk = s.recv(65536)
            if not chunk:
                break
            reply += chunk
            if multi_line and wanted == 1 and b"\n" in reply and reply.startswith(b"ok "):
                wanted += int(reply.split(b"\n", 1)[0][3:])
    return reply.decode().split("\n")[:wanted]


def sim_request(line):
    """One request to kyrsim's control socket (KYRSIM_CONTROL); its one-line reply."""
    return _exchange(line, False)[0]


def sim_request_lines(line):
    """A request whose reply is "ok L" and L lines; the lines. Raises on "error ..."."""
    lines = _exchange(line, True)
    if not lines[0].startswith("ok "):
        raise RuntimeError(f"kyrsim: {line!r} -> {lines[0]!r}")
    return lines[1:]


def _counts(line):
    reply = sim_request(line)
    if reply.startswith("error"):
        raise RuntimeError(f"kyrsim: {line!r} -> {reply!r}")
    return {k: int(v) for k, v in (item.split("=") for item in reply.split())}


def _queued(request):
    """The number of scripted items waiting after a queueing request."""
    reply = sim_request(request)
    if not reply.startswith("ok "):
        raise RuntimeError(f"kyrsim: {request.split()[0]} -> {reply!r}")
    return int(reply[3:])


def touch(device, frames):
    """Queues scripted touch frames on a kyr device: a list of frames, each a
    list of (x, y, w, h, s) contacts ([] lifts all). Returns the frames waiting."""
    text = ";".join("+".join(",".join(str(v) for v in c) for c in f) or "-" for f in frames)
    return _queued(f"touch {device} {text}")


def touched(device):
    """{"sent": S, "pending": P} of the device's scripted frames."""
    return _counts(f"touched {device}")


def report(device, reports):
    """Queues scripted device reports (texts as the README's REPORT) on a kyr device; the reports waiting."""
    return _queued(f"report {device} {';'.join(reports)}")


def reported(device):
    """{"sent": S, "pending": P} of the device's scripted reports."""
    return _counts(f"reported {device}")


def uinput_devices():
    """Every device created through /dev/uinput: (index, alive, events, name)."""
    devices = []
    for line in sim_request_lines("uinput"):
        index, state, events, name = (line.split(" ", 3) + [""])[:4]
        devices.append((int(index), state == "alive", int(events), name))
    return devices


def uinput_device(index):
    """Device K from its evemu text: a dict with name, id (bus, vendor,
    product, version), alive, props (set), codes ({type: set}), axes
    ({code: (min, max, fuzz, flat, res)}), events ([(type, code, value)]),
    times (seconds since creation, per event) and lines (the text)."""
    lines = sim_request_lines(f"uinput {index}")
    dev = {"lines": lines, "props": set(), "codes": {}, "axes": {}, "events": [], "times": [],
           "alive": any(line.startswith("# kyrsim") and line.endswith(", alive") for line in lines)}
    offsets = {}
    for line in lines:
        kind, rest = line[:2], line[3:]
        if kind == "N:":
            dev["name"] = rest
        elif kind == "I:":
            dev["id"] = tuple(int(v, 16) for v in rest.split())
        elif kind in ("P:", "B:"):
            values = [int(v, 16) for v in rest.split()]
            key = None if kind == "P:" else values.pop(0)
            bits = dev["props"] if key is None else dev["codes"].setdefault(key, set())
            base = offsets.get(key, 0)
            bits.update((base + i) * 8 + b for i, byte in enumerate(values) for b in range(8) if byte >> b & 1)
            offsets[key] = base + len(values)
        elif kind == "A:":
            code, *numbers = rest.split()
            dev["axes"][int(code, 16)] = tuple(int(v) for v in numbers)
        elif kind == "E:":
            time, etype, code, value = rest.split()
            dev["events"].append((int(etype, 16), int(code, 16), int(value)))
            dev["times"].append(float(time))
    dev["codes"] = {k: v for k, v in dev["codes"].items() if v}
    return dev


def crc_x25(data):
    """CRC-16/X-25, from its definition: reflected 0x1021, init and xorout 0xFFFF."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF
