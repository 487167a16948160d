"""What the Python package's tests share: the emulator's control socket, the C
header's constants read from the sources, and the hooks for close races."""
import contextlib
import faulthandler
import os
import re
import sys
import threading


sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kyrsim_client  # noqa: E402

SOURCE_DIR = os.environ.get("KYR_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
INCLUDE_DIR = os.path.join(SOURCE_DIR, "KyrHIDLib", "Include")
WAIT = 30   # generous: the machine is shared


def header_constants(prefix):
    """Enumerators and numeric macros of the public headers whose names start with the regex `prefix`."""
    text = ""
    for name in ("KyrHIDLib.h", "KyrDeviceIds.h"):
        with open(os.path.join(INCLUDE_DIR, name)) as header:
            text += header.read()
    return {m.group(1): int(m.group(2), 0)
            for m in re.finditer(rf"(?:\b|#define )({prefix}\w*)(?:\s*=\s*| )(-?(?:0x[0-9A-Fa-f]+|\d+))\b", text)}


sim = kyrsim_client.sim_request   # one request to kyrsim's control socket; its one-line reply


def crc_bytes(data):
    """The packet CRC as the wire carries it after a packet (low byte first)."""
    return kyrsim_client.crc_x25(data).to_bytes(2, "little")


def until(stream, done):
    """The items of a stream up to the first with which done(items so far) holds, or to its end."""
    seen = []
    for item in stream:
        seen.append(item)
        if done(seen):
            break
    return seen


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


def started(call):
    """Runs call() on a thread of its own: the thread, and a list that gets call's result or exception."""
    outcome = []

    def run():
        try:
            outcome.append(call())
        except BaseException as exc:   # for the test to assert on
            outcome.append(exc)

    thread = threading.Thread(target=run)
    thread.start()
    return thread, outcome


def park_callback(monkeypatch, module, step, call):
    """Parks the package's callback in module.step, on its first run, until
    the library call that waits for that callback (module's lib().call)
    begins; returns the event that tells it is parked."""
    parked, calling = threading.Event(), threading.Event()
    original, library = getattr(module, step), module.lib()

    def parking(*args):
        if not parked.is_set():
            parked.set()
            calling.wait(timeout=60)
        return original(*args)

    def entering(*args):
        calling.set()
        return getattr(library, call)(*args)

    monkeypatch.setattr(module, step, parking)
    monkeypatch.setattr(module, "lib", lambda: library_with(library, **{call: entering}))
    return parked


def close_on_another_thread(close):
    """Runs close() on a thread of its own and sees it return."""
    with watchdog():
        closer, _ = started(close)
        closer.join(timeout=60)
    assert not closer.is_alive()
