/*
 * USB ids of the Kyr family, in one place so they change in one edit.
 *
 * No ids are assigned to the family yet: these are placeholders from the
 * public pid.codes test range (vendor 0x1209, products 0x0001-0x0010).
 */
#ifndef KYRDEVICEIDS_H
#define KYRDEVICEIDS_H

enum {
    KYR_USB_VENDOR_ID = 0x1209,

    /* The five device models, in the priority order that decides which
       attached device uses the fixed names of the cross-process objects. */
    KYR_USB_PRODUCT_ID_MODEL1 = 0x0001,
    KYR_USB_PRODUCT_ID_MODEL2 = 0x0002,
    KYR_USB_PRODUCT_ID_MODEL3 = 0x0003,
    KYR_USB_PRODUCT_ID_MODEL4 = 0x0004,
    KYR_USB_PRODUCT_ID_MODEL5 = 0x0005,
    /* The family's virtual HID device (lowest priority, interface 0). */
    KYR_USB_PRODUCT_ID_VIRTUAL = 0x0006,

    /* Interface number the models are driven through. */
    KYR_USB_MODEL_INTERFACE = 1,
    KYR_USB_VIRTUAL_INTERFACE = 0
};

#endif /* KYRDEVICEIDS_H */
