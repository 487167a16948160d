"""A device whose node this process may not open."""
import pytest

import kyrhid


def test_a_device_without_permission_is_left_out_of_the_list_and_refuses_to_open():
    with pytest.warns(RuntimeWarning, match="0001 interface 1 index 0 left out: KYR_ERROR_ACCESS_DENIED"):
        assert kyrhid.devices() == []
    with pytest.raises(kyrhid.AccessDenied):
        kyrhid.open()
    with pytest.raises(kyrhid.NoDevice):
        kyrhid.open(product=kyrhid.KYR_USB_PRODUCT_ID_MODEL2)
