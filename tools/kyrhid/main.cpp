// kyrhid: look at Kyr devices from the command line, through the public API only.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"

namespace {

struct DeviceKind {
    unsigned short nVendorID;
    unsigned short nProductID;
};

const DeviceKind s_KnownKinds[] = {
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL2},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL3}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL4},
    {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL5}, {KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_VIRTUAL},
};

// Interfaces are counted upwards until none matches: a device with N
// interfaces matches every nMI below N.
int ListKind(const DeviceKind& kind)
{
    int nListed = 0;
    for (unsigned short nMI = 0; nMI < 32; ++nMI) {
        const int nCount = KyrGetDeviceCount(kind.nVendorID, kind.nProductID, nMI);
        if (nCount <= 0)
            break;
        for (int nIndex = 0; nIndex < nCount; ++nIndex) {
            KYR_DEVICE_INFO info =
                KyrGetDeviceInfo(kind.nVendorID, kind.nProductID, nMI, static_cast<unsigned short>(nIndex));
            if (info == nullptr) {
                const int nError = KyrGetLastError();
                std::fprintf(stderr, "kyrhid: %04x:%04x interface %u index %d: %s (%s)\n", kind.nVendorID,
                             kind.nProductID, nMI, nIndex, KyrGetErrorName(nError), KyrGetErrorDescription(nError));
                continue;
            }
            std::printf("%-14s 0x%04x  0x%04x   %-9u  %d\n", KyrGetDevInfoPath(info), KyrGetDevInfoVendorID(info),
                        KyrGetDevInfoProductID(info), KyrGetDevInfoInterfaceNumber(info),
                        KyrGetDevInfoDeviceIndex(info));
            ++nListed;
        }
    }
    return nListed;
}

int List(const std::vector<DeviceKind>& kinds)
{
    std::printf("%-14s %-7s %-8s %-10s %s\n", "path", "vendor", "product", "interface", "index");
    int nListed = 0;
    for (const DeviceKind& kind : kinds)
        nListed += ListKind(kind);
    std::printf("%d interface%s\n", nListed, nListed == 1 ? "" : "s");
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    CLI::App app{"kyrhid: find and drive Kyr touch-sensing devices"};
    app.require_subcommand(1);

    unsigned short nVendorID = 0;
    unsigned short nProductID = 0;
    CLI::App* list = app.add_subcommand("list", "list attached device interfaces");
    list->add_option("--vid", nVendorID, "vendor id (default: the Kyr family)");
    list->add_option("--pid", nProductID, "product id (default: every Kyr product)")->needs("--vid");

    CLI::App* demo = app.add_subcommand("demo", "what ./dev demo shows a newcomer");

    CLI11_PARSE(app, argc, argv);

    std::vector<DeviceKind> kinds(std::begin(s_KnownKinds), std::end(s_KnownKinds));
    if (list->parsed() && nVendorID != 0) {
        kinds.clear();
        if (nProductID != 0) {
            kinds.push_back({nVendorID, nProductID});
        } else {
            for (const DeviceKind& kind : s_KnownKinds)
                kinds.push_back({nVendorID, kind.nProductID});
        }
    }
    if (demo->parsed())
        std::printf("Kyr devices attached:\n");
    return List(kinds);
}
