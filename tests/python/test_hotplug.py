"""Devices arriving and leaving while a watch runs: kyrsim starts with the
virtual device at 3:9 and plugs further ones on request, each test at bus 5
places of its own (a place is never used twice)."""
import faulthandler
import threading

import pytest

import kyrhid
from kyrhid import HotplugEvent, HotplugKind

from conftest import sim

# Generous: libusb hears of a plug or unplug asynchronously, and the machine is shared.
WAIT = 30
MODEL4 = kyrhid.KYR_USB_PRODUCT_ID_MODEL4


def plug(address, interfaces=1, product=MODEL4):
    reply = sim(f"plug vid={kyrhid.KYR_USB_VENDOR_ID},pid={product},bus=5,addr={address},interfaces={interfaces}")
    assert reply.startswith("ok "), reply
    return int(reply.split()[1])


def unplug(number):
    assert sim(f"unplug {number}") == "ok"


def info(address, interface, product=MODEL4, index=0):
    return kyrhid.DeviceInfo(f"0005:{address:04x}:{interface:02x}", kyrhid.KYR_USB_VENDOR_ID, product, interface,
                             index)


def arrived(*infos):
    return [HotplugEvent(HotplugKind.ARRIVED, i) for i in infos]


def left(*infos):
    return [HotplugEvent(HotplugKind.LEFT, i) for i in infos]


def take(watch, count):
    """The next `count` events; a watch that falls silent for WAIT seconds ends short."""
    events = []
    for event in watch:
        events.append(event)
        if len(events) == count:
            break
    return events


def test_present_devices_are_reported_first_and_only_when_asked_for():
    virtual = kyrhid.DeviceInfo("0003:0009:00", kyrhid.KYR_USB_VENDOR_ID, kyrhid.KYR_USB_PRODUCT_ID_VIRTUAL, 0, 0)
    with kyrhid.watch(present=True, timeout=WAIT) as present, kyrhid.watch(timeout=WAIT) as changes:
        number = plug(0x10)
        assert take(present, 2) == arrived(virtual, info(0x10, 0))
        assert take(changes, 1) == arrived(info(0x10, 0))
        unplug(number)
        assert take(changes, 1) == left(info(0x10, 0))


def test_each_interface_arrives_and_leaves_in_order_and_filters_hold():
    with kyrhid.watch(product=MODEL4, timeout=WAIT) as every, kyrhid.watch(interface=1, timeout=WAIT) as second, \
            kyrhid.watch(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL5, timeout=WAIT) as other:
        number = plug(0x14, interfaces=2)
        assert take(every, 2) == arrived(info(0x14, 0), info(0x14, 1))
        unplug(number)
        assert take(every, 2) == left(info(0x14, 0), info(0x14, 1))
        assert take(second, 2) == arrived(info(0x14, 1)) + left(info(0x14, 1))
        # Events reach every watch in the order they happened, so the model 5
        # watch has heard of this one before of anything that follows it.
        model5 = plug(0x15, product=kyrhid.KYR_USB_PRODUCT_ID_MODEL5)
        assert take(other, 1) == arrived(info(0x15, 0, kyrhid.KYR_USB_PRODUCT_ID_MODEL5))
        unplug(model5)


def test_a_watch_of_arrivals_or_of_departures_hears_only_those():
    with kyrhid.watch(left=False, timeout=WAIT) as arrivals, kyrhid.watch(arrived=False, timeout=WAIT) as departures:
        first = plug(0x21)
        assert take(arrivals, 1) == arrived(info(0x21, 0))
        unplug(first)
        assert take(departures, 1) == left(info(0x21, 0))
        # Events come in order: a departure of the first device, had it
        # reached the arrivals, would come before this arrival, and the
        # arrival, had it reached the departures, before this departure.
        second = plug(0x22)
        assert take(arrivals, 1) == arrived(info(0x22, 0))
        unplug(second)
        assert take(departures, 1) == left(info(0x22, 0))


def test_closing_from_another_thread_ends_a_running_iterator():
    watch = kyrhid.watch()   # no timeout: only the close can end it
    seen, first = [], threading.Event()

    def read():
        for event in watch:
            seen.append(event)
            first.set()

    reader = threading.Thread(target=read)
    reader.start()
    number = plug(0x40)
    assert first.wait(timeout=WAIT)   # the reader is on its way back into the wait
    watch.close()
    reader.join(timeout=WAIT)
    assert not reader.is_alive() and watch.closed
    assert seen == arrived(info(0x40, 0))
    watch.close()   # a second close does nothing
    unplug(number)


def test_closing_while_the_callback_runs_waits_for_it_without_deadlock(monkeypatch):
    # The hotplug thread is parked inside the package's callback until the
    # closing thread is about to deregister, which waits for that callback:
    # the callback must still get the interpreter lock and every lock it
    # takes after that point.
    in_callback, closing = threading.Event(), threading.Event()
    copy = kyrhid.hotplug._copy

    def parked(record):
        in_callback.set()
        closing.wait(timeout=WAIT)
        return copy(record)

    library = kyrhid.hotplug.lib()

    class Library:
        def __getattr__(self, name):
            return getattr(library, name)

        def KyrDeregisterHotplugCallback(self, handle):
            closing.set()
            return library.KyrDeregisterHotplugCallback(handle)

    monkeypatch.setattr(kyrhid.hotplug, "_copy", parked)
    monkeypatch.setattr(kyrhid.hotplug, "lib", Library)
    watch = kyrhid.watch(timeout=WAIT)
    number = plug(0x30)
    assert in_callback.wait(timeout=WAIT)
    # A deadlock on the interpreter lock would stop every Python thread, the
    # test's own included: a watchdog outside the interpreter ends it.
    faulthandler.dump_traceback_later(120, exit=True)
    try:
        closer = threading.Thread(target=watch.close)
        closer.start()
        closer.join(timeout=WAIT)
    finally:
        faulthandler.cancel_dump_traceback_later()
    assert not closer.is_alive() and watch.closed
    # The parked event was queued before the close returned, and nothing after it.
    assert list(watch) == arrived(info(0x30, 0))
    unplug(number)


def test_a_watch_refuses_ids_out_of_range():
    with pytest.raises(ValueError, match="interface"):
        kyrhid.watch(interface=-1)


def test_an_event_delivered_between_a_failing_call_and_its_error_read_leaves_the_error(monkeypatch):
    # The record's accessors write the process-wide last error. Here the
    # event's copy starts while a failing open holds the turn, before the
    # open has read its error.
    entered, copied = threading.Event(), threading.Event()
    copy = kyrhid.hotplug._copy

    def hooked(record):
        entered.set()
        try:
            return copy(record)
        finally:
            copied.set()

    library = kyrhid._lib.lib()

    class Library:
        def __getattr__(self, name):
            return getattr(library, name)

        def KyrOpenDevice(self, *args):
            handle = library.KyrOpenDevice(*args)
            assert sim(f"plug vid={kyrhid.KYR_USB_VENDOR_ID},pid={MODEL4},bus=5,addr=80").startswith("ok ")
            assert entered.wait(timeout=WAIT)
            # Bounded, as the copy must not finish while the turn is held:
            # an unguarded copy would have finished well within it.
            copied.wait(timeout=2)
            return handle

    monkeypatch.setattr(kyrhid.hotplug, "_copy", hooked)
    with kyrhid.watch(timeout=WAIT) as watch:
        monkeypatch.setattr(kyrhid._lib, "lib", Library)
        with pytest.raises(kyrhid.NoDevice):
            kyrhid.open(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL5)
        monkeypatch.setattr(kyrhid._lib, "lib", lambda: library)
        assert take(watch, 1) == arrived(info(0x50, 0))
