"""Helpers for the Python package's tests: the emulator's control socket and
the C header's constants, read from the sources."""
import os
import re
import socket

import pytest

SOURCE_DIR = os.environ.get("KYR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
INCLUDE_DIR = os.path.join(SOURCE_DIR, "KyrHIDLib", "Include")


def header_enumerators(name, prefix):
    """`prefix...` enumerators of a public header as a dict of their values."""
    with open(os.path.join(INCLUDE_DIR, name)) as header:
        text = header.read()
    return {m.group(1): int(m.group(2), 0) for m in re.finditer(rf"\b({prefix}\w*)\s*=\s*(-?(?:0x[0-9A-Fa-f]+|\d+))",
                                                               text)}


def sim(request):
    """One request to kyrsim's control socket; its one-line reply."""
    path = os.environ.get("KYRSIM_CONTROL")
    if not path:
        pytest.fail("not running under kyrsim (KYRSIM_CONTROL unset)")
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
        s.connect(path)
        s.sendall(request.encode() + b"\n")
        reply = b""
        while not reply.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            reply += chunk
    return reply.decode().rstrip("\n")


def crc_x25(data):
    """CRC-16/X-25 of the bytes, as the wire carries it after a packet (low byte first)."""
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return (crc ^ 0xFFFF).to_bytes(2, "little")
