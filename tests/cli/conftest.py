"""Fixtures of the kyrhid and touchscreen tests."""
import os
import subprocess

import pytest


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
