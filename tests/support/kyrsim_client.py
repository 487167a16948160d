"""What Python tests running under kyrsim share: its control socket and the
packet CRC for building expected bytes from the wire format."""
import os
import socket


def sim_request(line):
    """One request to kyrsim's control socket (KYRSIM_CONTROL); its one-line reply."""
    path = os.environ.get("KYRSIM_CONTROL")
    if not path:
        raise RuntimeError("not running under kyrsim (KYRSIM_CONTROL unset)")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(line.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    return reply.decode().rstrip("\n")


def crc_x25(data):
    """CRC-16/X-25, from its definition: reflected 0x1021, init and xorout 0xFFFF."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF
