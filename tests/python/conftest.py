"""Helpers for the Python package's tests: the emulator's control socket and
the C header's constants, read from the sources."""
import os
import re
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kyrsim_client  # noqa: E402

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
    try:
        return kyrsim_client.sim_request(request)
    except RuntimeError as error:
        pytest.fail(str(error))


def crc_bytes(data):
    """The packet CRC as the wire carries it after a packet (low byte first)."""
    return kyrsim_client.crc_x25(data).to_bytes(2, "little")
