"""Waits that end early: a device that answers commands only after 30 s,
closed from another thread, then unplugged."""
import threading

import pytest

import kyrhid

from conftest import sim


def test_closing_from_another_thread_fails_a_waiting_command_at_once():
    device = kyrhid.open()
    outcome = []

    def wait_for_answer():
        try:
            outcome.append(device.command("version", timeout=None))
        except kyrhid.KyrError as exc:
            outcome.append(exc)

    waiter = threading.Thread(target=wait_for_answer)
    waiter.start()
    # Counted by the device once it has the command: the waiter has sent it.
    while sim("commands 0") != "1":
        pass
    device.close()
    waiter.join(timeout=20)   # well before the answer is due
    assert not waiter.is_alive()
    assert isinstance(outcome[0], kyrhid.NoDevice) and "closed" in str(outcome[0])


def test_unplugging_ends_the_streams_and_later_calls_fail():
    with kyrhid.open() as device:
        stream = device.packets(modes="T", timeout=60)
        assert isinstance(next(stream), kyrhid.TouchPoints)
        assert sim("unplug 0") == "ok"
        list(stream)   # ends once the library reports the unplug, well before the timeout
        assert device.unplugged and not device.closed
        with pytest.raises(kyrhid.NoDevice):
            device.command("version")
        with pytest.raises(kyrhid.NoDevice):
            device.packets(modes="T")
    assert device.closed
