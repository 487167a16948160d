"""Waits that end early: a device that answers commands only after 30 s,
closed from another thread, then unplugged during a firmware query."""
import pytest

import kyrhid

from conftest import sim, started


def test_closing_from_another_thread_fails_a_waiting_command_at_once():
    device = kyrhid.open()
    waiter, outcome = started(lambda: device.command("version", timeout=None))
    # Counted by the device once it has the command: the waiter has sent it.
    while sim("commands 0") != "1":
        pass
    device.close()
    waiter.join(timeout=20)   # well before the answer is due
    assert not waiter.is_alive()
    assert isinstance(outcome[0], kyrhid.NoDevice) and "closed" in str(outcome[0])


def test_unplugging_ends_waits_and_streams_and_later_calls_fail():
    assert sim("mode 0 mm none") == "ok"   # the main module's firmware queries go unanswered
    with kyrhid.open() as device:
        # No keep-alive for a minute: the only report written next is the query.
        stream = device.packets(modes="T", expire=60, timeout=60)
        assert isinstance(next(stream), kyrhid.TouchPoints)
        sent = sim("count 0 out")
        querying, outcome = started(lambda: device.firmware_mode(0x1000, timeout=60))
        while sim("count 0 out") == sent:   # written: its wait is under way
            pass
        assert sim("unplug 0") == "ok"
        querying.join(timeout=20)   # well before its time-out
        assert not querying.is_alive()
        assert isinstance(outcome[0], kyrhid.NoDevice), outcome
        list(stream)   # ends once the library reports the unplug, well before the timeout
        assert device.unplugged and not device.closed
        with pytest.raises(kyrhid.NoDevice):
            device.command("version")
        with pytest.raises(kyrhid.NoDevice):
            device.packets(modes="T")
    assert device.closed
