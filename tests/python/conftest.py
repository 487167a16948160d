"""What the Python package's tests share: the emulator's control socket, the C
header's constants read from the sources, and the hooks for close races."""
import contextlib
import faulthandler
import os
import re
import subprocess
import sys
import threading

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kyrsim_client  # noqa: E402

SOURCE_DIR = os.environ.get("KYR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
INCLUDE_DIR = os.path.join(SOURCE_DIR, "KyrHIDLib", "Include")
WAIT = 30   # generous: the machine is shared


def header_enumerators(name, prefix):
    """`prefix...` enumerators of a public header as a dict of their values."""
    with open(os.path.join(INCLUDE_DIR, name)) as header:
        text = header.read()
    return {m.group(1): int(m.group(2), 0)
            for m in re.finditer(rf"\b({prefix}\w*)\s*=\s*(-?(?:0x[0-9A-Fa-f]+|\d+))", text)}


def sim(request):
    """One request to kyrsim's control socket; its one-line reply."""
    try:
        return kyrsim_client.sim_request(request)
    except RuntimeError as error:
        pytest.fail(str(error))


def crc_bytes(data):
    """The packet CRC as the wire carries it after a packet (low byte first)."""
    return kyrsim_client.crc_x25(data).to_bytes(2, "little")


def library_with(library, **hooks):
    """A stand-in for the ctypes library whose named functions are the hooks."""
    class Library:
        def __getattr__(self, name):
            return hooks[name] if name in hooks else getattr(library, name)
    return Library()


@contextlib.contextmanager
def watchdog():
    """A deadlock on the interpreter lock would stop every Python thread, the
    test's own included: a watchdog outside the interpreter ends it."""
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()


def close_on_another_thread(close):
    """Runs close() on a thread of its own and sees it return."""
    closer = threading.Thread(target=close)
    with watchdog():
        closer.start()
        closer.join(timeout=60)
    assert not closer.is_alive()


@pytest.fixture
def holder():
    """Another process that holds the main device open until the test ends."""
    process = subprocess.Popen([sys.executable, "-c", "import sys, kyrhid\n"
                                "d = kyrhid.open(); print('open', flush=True); sys.stdin.readline(); d.close()\n"],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=os.environ)
    assert process.stdout.readline() == "open\n"
    yield process
    process.stdin.close()
    assert process.wait(timeout=60) == 0
