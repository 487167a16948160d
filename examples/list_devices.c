/* List the attached Kyr device interfaces: a plain C program built against the
 * installed library.
 *
 *   cc list_devices.c $(pkg-config --cflags --libs KyrHIDLib-1.0) -o list_devices
 */
#include <stdio.h>

#include <KyrDeviceIds.h>
#include <KyrHIDLib.h>

int main(void)
{
    static const unsigned short products[] = {
        KYR_USB_PRODUCT_ID_MODEL1, KYR_USB_PRODUCT_ID_MODEL2, KYR_USB_PRODUCT_ID_MODEL3,
        KYR_USB_PRODUCT_ID_MODEL4, KYR_USB_PRODUCT_ID_MODEL5, KYR_USB_PRODUCT_ID_VIRTUAL,
    };
    int total = 0;
    for (size_t p = 0; p < sizeof(products) / sizeof(products[0]); ++p) {
        unsigned short mi;
        for (mi = 0; KyrGetDeviceCount(KYR_USB_VENDOR_ID, products[p], mi) > 0; ++mi) {
            int count = KyrGetDeviceCount(KYR_USB_VENDOR_ID, products[p], mi);
            int i;
            for (i = 0; i < count; ++i) {
                KYR_DEVICE_INFO info = KyrGetDeviceInfo(KYR_USB_VENDOR_ID, products[p], mi, (unsigned short)i);
                if (info == NULL) {
                    fprintf(stderr, "device %d: %s\n", i, KyrGetErrorName(KyrGetLastError()));
                    continue;
                }
                printf("%s %04x:%04x interface %u\n", KyrGetDevInfoPath(info), KyrGetDevInfoVendorID(info),
                       KyrGetDevInfoProductID(info), KyrGetDevInfoInterfaceNumber(info));
                ++total;
            }
        }
    }
    printf("%d interface(s)\n", total);
    return 0;
}
