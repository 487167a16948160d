"""A device whose node this process may not open."""
import errno
import warnings

import pytest

import kyrhid


def test_a_device_without_permission_is_listed_as_inaccessible_and_refuses_to_open():
    vid, model1 = kyrhid.KYR_USB_VENDOR_ID, kyrhid.KYR_USB_PRODUCT_ID_MODEL1
    with warnings.catch_warnings():
        warnings.simplefilter("error")   # marked, not warned about
        listed = kyrhid.devices()
    assert listed == [kyrhid.DeviceInfo("0003:0005:00", vid, model1, 0, 0, accessible=False),
                      kyrhid.DeviceInfo("0003:0005:01", vid, model1, 1, 0, accessible=False)]
    for where in ({}, {"path": "0003:0005:00"}):
        with pytest.raises(kyrhid.AccessDenied) as denied:
            kyrhid.open(**where)
        assert isinstance(denied.value, PermissionError) and denied.value.errno == errno.EACCES
    with pytest.raises(kyrhid.NoDevice):
        kyrhid.open(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL2)
