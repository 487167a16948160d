"""The Python client of kyrsim's uinput log and touch scripts, on devices set
up with raw ioctls: by UI_DEV_SETUP and by the older write of the setup."""
import fcntl
import os
import struct
import sys

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
import kyrsim_client  # noqa: E402

EV_SYN, EV_KEY, EV_ABS = 0, 1, 3
KEY_A, BTN_TOUCH, ABS_X, ABS_MT_SLOT = 30, 0x14A, 0, 0x2F


def ioc(direction, nr, size):
    return direction << 30 | size << 16 | ord("U") << 8 | nr


UI_DEV_CREATE, UI_DEV_DESTROY = ioc(0, 1, 0), ioc(0, 2, 0)
UI_DEV_SETUP, UI_ABS_SETUP = ioc(1, 3, 92), ioc(1, 4, 28)
UI_SET_EVBIT, UI_SET_KEYBIT, UI_SET_ABSBIT = ioc(1, 100, 4), ioc(1, 101, 4), ioc(1, 103, 4)
UI_SET_PROPBIT = ioc(1, 110, 4)

NAME, IDS = "py touch", (3, 0x1209, 0x0005, 2)
AXES = {ABS_X: (0, 4095, 1, 2, 0), ABS_MT_SLOT: (0, 9, 0, 0, 0)}
EVENTS = [(EV_ABS, ABS_X, 4095), (EV_KEY, BTN_TOUCH, 1), (EV_ABS, ABS_X, -7), (EV_SYN, 0, 0)]


def setup_by_ioctl(fd):
    fcntl.ioctl(fd, UI_DEV_SETUP, struct.pack("4H80sI", *IDS, NAME.encode(), 0))
    for code, (lo, hi, fuzz, flat, res) in AXES.items():
        fcntl.ioctl(fd, UI_ABS_SETUP, struct.pack("H2x6i", code, 0, lo, hi, fuzz, flat, res))


def setup_by_write(fd):
    def per_axis(field):
        return [AXES[code][field] if code in AXES else 0 for code in range(64)]
    os.write(fd, struct.pack("80s4HI64i64i64i64i", NAME.encode(), *IDS, 0,
                             *per_axis(1), *per_axis(0), *per_axis(2), *per_axis(3)))


@pytest.mark.parametrize("setup", [setup_by_ioctl, setup_by_write])
def test_a_device_comes_back_as_set_up_and_written(setup):
    fd = os.open("/dev/uinput", os.O_RDWR)
    for request, value in [(UI_SET_EVBIT, EV_KEY), (UI_SET_EVBIT, EV_ABS), (UI_SET_KEYBIT, BTN_TOUCH),
                           (UI_SET_KEYBIT, KEY_A), (UI_SET_ABSBIT, ABS_X), (UI_SET_ABSBIT, ABS_MT_SLOT),
                           (UI_SET_PROPBIT, 1)]:
        fcntl.ioctl(fd, request, value)
    setup(fd)
    fcntl.ioctl(fd, UI_DEV_CREATE)
    os.write(fd, b"".join(struct.pack("qqHHi", 0, 0, *event) for event in EVENTS))
    index, alive, count, name = kyrsim_client.uinput_devices()[-1]
    assert (alive, count, name) == (True, len(EVENTS), NAME)

    dev = kyrsim_client.uinput_device(index)
    # The older setup has no resolution.
    axes = AXES if setup is setup_by_ioctl else {code: axis[:4] + (0,) for code, axis in AXES.items()}
    assert (dev["name"], dev["id"], dev["alive"]) == (NAME, IDS, True)
    assert dev["props"] == {1}
    assert dev["codes"] == {0: {EV_KEY, EV_ABS}, EV_KEY: {BTN_TOUCH, KEY_A}, EV_ABS: {ABS_X, ABS_MT_SLOT}}
    assert dev["axes"] == axes
    assert dev["events"] == EVENTS
    assert dev["times"] == sorted(dev["times"])
    fcntl.ioctl(fd, UI_DEV_DESTROY)
    os.close(fd)
    assert not kyrsim_client.uinput_device(index)["alive"]


def test_touch_frames_queue_in_the_script():
    before = kyrsim_client.touched(0)
    frames = [[(1, 2, 3, 4, 5), (6, 7, 8, 9, 10)], [], [(65535, 0, 0, 0, 65535)]]
    assert kyrsim_client.touch(0, frames) == before["pending"] + len(frames)
    assert kyrsim_client.touched(0) == {"sent": before["sent"], "pending": before["pending"] + len(frames)}
    with pytest.raises(RuntimeError):
        kyrsim_client.touch(0, [[(1, 2, 3)]])
