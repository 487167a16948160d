#include "Testbed.h"

#include <cstdio>
#include <stdexcept>

namespace kyrsim {

namespace {

std::string Format(const char* szFormat, int nValue)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, szFormat, nValue);
    return buffer;
}

}  // namespace

CTestbed::CTestbed()
{
    m_pTestbed = umockdev_testbed_new();
    gchar* szRoot = umockdev_testbed_get_root_dir(m_pTestbed);
    m_szRoot = szRoot;
    g_free(szRoot);
}

CTestbed::~CTestbed()
{
    // Removes the testbed directory with everything in it.
    g_object_unref(m_pTestbed);
}

std::string CTestbed::DevNode(const DeviceSpec& devSpec)
{
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "/dev/bus/usb/%03d/%03d", devSpec.nBus, devSpec.nAddress);
    return buffer;
}

void CTestbed::MakeNodeDir(const DeviceSpec& devSpec)
{
    const std::string szDevNode = DevNode(devSpec);
    const std::string szNodeDir = m_szRoot + szDevNode.substr(0, szDevNode.rfind('/'));
    if (g_mkdir_with_parents(szNodeDir.c_str(), 0755) != 0)
        throw std::runtime_error("cannot create " + szNodeDir);
}

std::string CTestbed::AddEntry(const char* szName, const std::string& szParent, const Pairs& attributes,
                               const Pairs& properties)
{
    std::vector<gchar*> attributeArgs;
    for (const auto& [szKey, szValue] : attributes) {
        attributeArgs.push_back(const_cast<gchar*>(szKey));
        attributeArgs.push_back(const_cast<gchar*>(szValue.c_str()));
    }
    attributeArgs.push_back(nullptr);
    std::vector<gchar*> propertyArgs;
    for (const auto& [szKey, szValue] : properties) {
        propertyArgs.push_back(const_cast<gchar*>(szKey));
        propertyArgs.push_back(const_cast<gchar*>(szValue.c_str()));
    }
    propertyArgs.push_back(nullptr);

    gchar* szSysPath = umockdev_testbed_add_devicev(m_pTestbed, "usb", szName,
                                                    szParent.empty() ? nullptr : szParent.c_str(),
                                                    attributeArgs.data(), propertyArgs.data());
    if (szSysPath == nullptr)
        throw std::runtime_error(std::string("umockdev could not add ") + szName);
    std::string szResult = szSysPath;
    g_free(szSysPath);
    return szResult;
}

std::string CTestbed::AddUsbDevice(const DeviceSpec& devSpec, const std::vector<uint8_t>& descriptors)
{
    const ConfigurationInfo config = DescribeConfiguration(descriptors);
    const std::string szName = std::to_string(devSpec.nBus) + "-" + std::to_string(devSpec.nPort);
    const std::string szDevNode = DevNode(devSpec);
    const uint16_t wDevice = static_cast<uint16_t>(descriptors[12] | (descriptors[13] << 8));
    // usbfs minors: 128 per bus.
    const std::string szDev = "189:" + std::to_string((devSpec.nBus - 1) * 128 + devSpec.nAddress - 1);
    const std::string szProduct = Format("%x/", devSpec.wVendorId) + Format("%x/", devSpec.wProductId) + Format("%x", wDevice);
    const std::string szType = std::to_string(descriptors[4]) + "/" + std::to_string(descriptors[5]) + "/" +
                               std::to_string(descriptors[6]);
    // An unconfigured device shows an empty bConfigurationValue; libusb then
    // reports that no active configuration exists.
    const std::string szConfig = devSpec.bNoConfig ? std::string() : std::to_string(config.bConfigurationValue);

    const Pairs attributes = {
        {"idVendor", Format("%04x", devSpec.wVendorId)},
        {"idProduct", Format("%04x", devSpec.wProductId)},
        {"bcdDevice", Format("%04x", wDevice)},
        {"busnum", std::to_string(devSpec.nBus)},
        {"devnum", std::to_string(devSpec.nAddress)},
        {"devpath", std::to_string(devSpec.nPort)},
        {"bConfigurationValue", szConfig},
        {"bNumConfigurations", "1"},
        {"bNumInterfaces", Format("%2d", static_cast<int>(config.interfaces.size()))},
        {"bMaxPacketSize0", std::to_string(descriptors[7])},
        {"speed", "12"},
        {"maxchild", "0"},
        {"dev", szDev},
    };
    const Pairs properties = {
        {"DEVNAME", szDevNode},
        {"DEVTYPE", "usb_device"},
        {"DRIVER", "usb"},
        {"BUSNUM", Format("%03d", devSpec.nBus)},
        {"DEVNUM", Format("%03d", devSpec.nAddress)},
        {"PRODUCT", szProduct},
        {"TYPE", szType},
        {"MAJOR", "189"},
        {"MINOR", szDev.substr(4)},
    };
    const std::string szResult = AddEntry(szName.c_str(), {}, attributes, properties);
    umockdev_testbed_set_attribute_binary(m_pTestbed, szResult.c_str(), "descriptors",
                                          const_cast<guint8*>(descriptors.data()),
                                          static_cast<gint>(descriptors.size()));

    // The interfaces of the active configuration, named as the kernel names
    // them, so that a program given an interface's name (from a udev rule)
    // finds its device one directory up. An unconfigured device has none.
    const auto configBytes = ConfigurationBytes(descriptors, 0);
    for (size_t nOffset = configBytes[0]; !devSpec.bNoConfig && !devSpec.bNoInterfaceEntries && nOffset + 9 <= configBytes.size();
         nOffset += configBytes[nOffset]) {
        const auto desc = configBytes.subspan(nOffset, 9);
        if (desc[1] != 4 /* interface */ || desc[0] < 9 || desc[3] != 0 /* alternate setting */)
            continue;
        const std::string szInterface = szName + ":" + szConfig + "." + std::to_string(desc[2]);
        const Pairs interfaceAttributes = {
            {"bInterfaceNumber", Format("%02x", desc[2])},  {"bAlternateSetting", Format("%2d", desc[3])},
            {"bNumEndpoints", Format("%02x", desc[4])},     {"bInterfaceClass", Format("%02x", desc[5])},
            {"bInterfaceSubClass", Format("%02x", desc[6])}, {"bInterfaceProtocol", Format("%02x", desc[7])},
        };
        Pairs interfaceProperties = {
            {"DEVTYPE", "usb_interface"},
            {"PRODUCT", szProduct},
            {"TYPE", szType},
            {"INTERFACE", std::to_string(desc[5]) + "/" + std::to_string(desc[6]) + "/" + std::to_string(desc[7])},
        };
        if (!devSpec.szDriver.empty())
            interfaceProperties.emplace_back("DRIVER", devSpec.szDriver);
        AddEntry(szInterface.c_str(), szResult, interfaceAttributes, interfaceProperties);
    }
    // umockdev announced the device as soon as it existed, before its
    // descriptors and interfaces did, and a listener reading them then found
    // nothing (libusb drops such a device). The kernel announces a complete
    // device; so do we, once more. A listener that did take the first one
    // ignores a repeated "add" for a device it knows.
    umockdev_testbed_uevent(m_pTestbed, szResult.c_str(), "add");
    return szResult;
}

void CTestbed::AttachIoctl(const std::string& szDevNode, UMockdevIoctlBase* pHandler)
{
    GError* pError = nullptr;
    if (!umockdev_testbed_attach_ioctl(m_pTestbed, szDevNode.c_str(), pHandler, &pError)) {
        const std::string szMessage = pError ? pError->message : "unknown error";
        g_clear_error(&pError);
        throw std::runtime_error("cannot attach the usbfs handler to " + szDevNode + ": " + szMessage);
    }
}

void CTestbed::RemoveDevice(const std::string& szSysPath)
{
    // The interfaces go first, as with the kernel; each has a bus link of its
    // own that removing the device's directory would leave dangling.
    const std::string szName = szSysPath.substr(szSysPath.rfind('/') + 1);
    std::vector<std::string> interfaces;
    if (GDir* pDir = g_dir_open((m_szRoot + szSysPath).c_str(), 0, nullptr)) {
        while (const gchar* szEntry = g_dir_read_name(pDir)) {
            if (g_str_has_prefix(szEntry, (szName + ":").c_str()))
                interfaces.push_back(szSysPath + "/" + szEntry);
        }
        g_dir_close(pDir);
    }
    for (const std::string& szInterface : interfaces) {
        umockdev_testbed_uevent(m_pTestbed, szInterface.c_str(), "remove");
        umockdev_testbed_remove_device(m_pTestbed, szInterface.c_str());
    }
    umockdev_testbed_uevent(m_pTestbed, szSysPath.c_str(), "remove");
    umockdev_testbed_remove_device(m_pTestbed, szSysPath.c_str());
}

}  // namespace kyrsim
