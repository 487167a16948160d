"""Devices arriving and leaving while a watch runs: kyrsim starts with the
virtual device at 3:9 and plugs further ones on request, each test at bus 5
places of its own (a place is never used twice)."""
import threading

import pytest

import kyrhid
from kyrhid import HotplugEvent, HotplugKind

from conftest import WAIT, close_on_another_thread, library_with, park_callback, sim, started, until

MODEL4, MODEL5 = kyrhid.KYR_USB_PRODUCT_ID_MODEL4, kyrhid.KYR_USB_PRODUCT_ID_MODEL5


def plug(address, interfaces=1, product=MODEL4):
    reply = sim(f"plug vid={kyrhid.KYR_USB_VENDOR_ID},pid={product},bus=5,addr={address},interfaces={interfaces}")
    assert reply.startswith("ok "), reply
    return int(reply.split()[1])


def unplug(number):
    assert sim(f"unplug {number}") == "ok"


def events(kind, address, interfaces=1, product=MODEL4):
    """The events of each interface of the device plugged at bus 5, `address`."""
    return [HotplugEvent(kind, kyrhid.DeviceInfo(f"0005:{address:04x}:{i:02x}", kyrhid.KYR_USB_VENDOR_ID, product, i, 0))
            for i in range(interfaces)]


def take(watch, count):
    """The next `count` events; a watch that falls silent for WAIT seconds ends short."""
    return until(watch, lambda seen: len(seen) == count)


ARRIVED, LEFT = HotplugKind.ARRIVED, HotplugKind.LEFT


def test_each_watch_hears_in_order_what_its_filters_let_through():
    virtual = kyrhid.DeviceInfo("0003:0009:00", kyrhid.KYR_USB_VENDOR_ID, kyrhid.KYR_USB_PRODUCT_ID_VIRTUAL, 0, 0)
    plugged = [(0x14, MODEL4, 2), (0x15, MODEL5, 1), (0x16, MODEL4, 2)]
    heard = [(events(ARRIVED, address, n, product), events(LEFT, address, n, product)) for address, product, n in plugged]
    (a_in, a_out), (b_in, b_out), (c_in, c_out) = heard
    # Events reach every watch in the order they happened: one let through
    # that should not be comes before the last one the watch must hear, or
    # for the model 5 watch, before its first.
    wanted = [({"present": True}, [HotplugEvent(ARRIVED, virtual)] + a_in + a_out + b_in + b_out + c_in + c_out),
              ({"product": MODEL4}, a_in + a_out + c_in + c_out),
              ({"interface": 1}, a_in[1:] + a_out[1:] + c_in[1:] + c_out[1:]),
              ({"left": False}, a_in + b_in + c_in),
              ({"arrived": False}, a_out + b_out + c_out),
              ({"product": MODEL5}, b_in + b_out)]
    with kyrhid.watch(timeout=WAIT) as changes:
        watches = [kyrhid.watch(timeout=WAIT, **filters) for filters, _ in wanted]
        for (address, product, n), (arrivals, departures) in zip(plugged, heard):
            number = plug(address, n, product)
            assert take(changes, n) == arrivals   # each interface, in order
            unplug(number)
            assert take(changes, n) == departures
        assert [take(watch, len(heard)) for watch, (_, heard) in zip(watches, wanted)] == [h for _, h in wanted]
        for watch in watches:
            watch.close()


def test_closing_from_another_thread_ends_a_running_iterator():
    watch = kyrhid.watch()   # no timeout: only the close can end it
    first = threading.Event()
    reader, outcome = started(lambda: [first.set() or event for event in watch])
    number = plug(0x40)
    assert first.wait(timeout=WAIT)   # the reader is on its way back into the wait
    watch.close()
    reader.join(timeout=WAIT)
    assert not reader.is_alive() and watch.closed
    assert outcome == [events(ARRIVED, 0x40)]
    watch.close()   # a second close does nothing
    unplug(number)


def test_closing_while_the_callback_runs_waits_for_it_without_deadlock(monkeypatch):
    # The hotplug thread is parked inside the package's callback until the
    # closing thread is about to deregister, which waits for that callback:
    # the callback must still get the interpreter lock and every lock it
    # takes after that point.
    parked = park_callback(monkeypatch, kyrhid.hotplug, "_copy", "KyrDeregisterHotplugCallback")
    watch = kyrhid.watch(timeout=WAIT)
    number = plug(0x30)
    assert parked.wait(timeout=WAIT)
    close_on_another_thread(watch.close)
    assert watch.closed
    # The parked event was queued before the close returned, and nothing after it.
    assert list(watch) == events(ARRIVED, 0x30)
    unplug(number)


def test_an_event_delivered_between_a_failing_call_and_its_error_read_leaves_the_error(monkeypatch):
    # The record's accessors write the process-wide last error. Here the
    # event's copy starts while a failing open holds the turn, before the
    # open has read its error.
    entered, copied = threading.Event(), threading.Event()
    copy, library = kyrhid.hotplug._copy, kyrhid._lib.lib()

    def hooked(record):
        entered.set()
        try:
            return copy(record)
        finally:
            copied.set()

    def open_device(*args):
        handle = library.KyrOpenDevice(*args)
        assert sim(f"plug vid={kyrhid.KYR_USB_VENDOR_ID},pid={MODEL4},bus=5,addr=80").startswith("ok ")
        assert entered.wait(timeout=WAIT)
        # Bounded, as the copy must not finish while the turn is held: an
        # unguarded copy would have finished well within it.
        copied.wait(timeout=2)
        return handle

    monkeypatch.setattr(kyrhid.hotplug, "_copy", hooked)
    with kyrhid.watch(timeout=WAIT) as watch:
        monkeypatch.setattr(kyrhid._lib, "lib", lambda: library_with(library, KyrOpenDevice=open_device))
        with pytest.raises(kyrhid.NoDevice):
            kyrhid.open(product=MODEL5)
        monkeypatch.setattr(kyrhid._lib, "lib", lambda: library)
        assert take(watch, 1) == events(ARRIVED, 0x50)
