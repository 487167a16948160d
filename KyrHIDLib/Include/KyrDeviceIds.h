/**
 * @file KyrDeviceIds.h
 * @brief USB ids of the Kyr family, in one place so they change in one edit.
 *
 * No ids are assigned to the family yet: these are placeholders from the
 * public pid.codes test range (vendor 0x1209, products 0x0001-0x0010). The
 * installed udev rule lists the same ids.
 */
#ifndef KYRDEVICEIDS_H
#define KYRDEVICEIDS_H

/** @brief Vendor id, product ids and interface numbers of the family's devices. */
enum {
    KYR_USB_VENDOR_ID = 0x1209, /**< the family's USB vendor id */

    /* The five device models, in the priority order that decides which
       attached device uses the fixed names of the cross-process objects. */
    KYR_USB_PRODUCT_ID_MODEL1 = 0x0001, /**< first device model (highest priority) */
    KYR_USB_PRODUCT_ID_MODEL2 = 0x0002, /**< second device model */
    KYR_USB_PRODUCT_ID_MODEL3 = 0x0003, /**< third device model */
    KYR_USB_PRODUCT_ID_MODEL4 = 0x0004, /**< fourth device model */
    KYR_USB_PRODUCT_ID_MODEL5 = 0x0005, /**< fifth device model */
    /* The family's virtual HID device (lowest priority, interface 0). */
    KYR_USB_PRODUCT_ID_VIRTUAL = 0x0006, /**< the family's virtual HID device */

    /* Interface number the models are driven through. */
    KYR_USB_MODEL_INTERFACE = 1,   /**< interface the models are driven through */
    KYR_USB_VIRTUAL_INTERFACE = 0  /**< interface of the virtual HID device */
};

#endif /* KYRDEVICEIDS_H */
