"""Unplugging the emulated device under an open Device."""
import pytest

import kyrhid

from conftest import sim


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
