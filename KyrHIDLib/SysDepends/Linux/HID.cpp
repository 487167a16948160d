// USB transport over libusb-1.0: enumeration and device records.
#include "Include/HID.h"

#include <libusb.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "KyrLastError.h"

namespace kyr_hid_library {

namespace {

// Brackets the library's lifetime: every libusb call of the library uses the
// default context set up here.
class CHIDInitializer {
public:
    CHIDInitializer()
    {
        libusb_init(nullptr);
        libusb_set_option(nullptr, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    }
    ~CHIDInitializer() { libusb_exit(nullptr); }
};

CHIDInitializer s_HIDInit;

struct HIDExtra {
    libusb_device_handle* handle;
    libusb_transfer* transfer; // the read thread's transfer, null until it runs
    bool driver_attached;      // closing releases the interface and restores the kernel driver
};

// Owns a device list for one walk.
class DeviceList {
public:
    DeviceList() : m_nCount(libusb_get_device_list(nullptr, &m_ppList)) {}
    ~DeviceList()
    {
        if (m_nCount >= 0)
            libusb_free_device_list(m_ppList, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;

    bool IsValid() const { return m_nCount >= 0; }
    libusb_device* const* begin() const { return m_ppList; }
    libusb_device* const* end() const { return m_ppList + (m_nCount > 0 ? m_nCount : 0); }

private:
    libusb_device** m_ppList = nullptr;
    ssize_t m_nCount;
};

// A device whose descriptors cannot be read never matches.
bool Matches(libusb_device* pDevice, unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    libusb_device_descriptor desc{};
    if (libusb_get_device_descriptor(pDevice, &desc) != LIBUSB_SUCCESS)
        return false;
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) != LIBUSB_SUCCESS)
        return false;
    const bool bMatch = desc.idVendor == nVendorID && desc.idProduct == nProductID &&
                        static_cast<int>(pConfig->bNumInterfaces) > nMI;
    libusb_free_config_descriptor(pConfig);
    return bMatch;
}

int LastErrorOfOpen(int nUsbError)
{
    switch (nUsbError) {
    case LIBUSB_ERROR_ACCESS: return KYR_ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NO_DEVICE: return KYR_ERROR_NO_DEVICE;
    default: return KYR_ERROR_UNKNOWN;
    }
}

} // namespace

class CHIDAdaptor {
public:
    CHIDAdaptor() { memset(&m_HIDDeviceInfo, 0, sizeof(m_HIDDeviceInfo)); }
    virtual ~CHIDAdaptor() { Close(); }

    int GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI);
    PHID_DEVICE_INFO GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex);
    PHID_DEVICE_INFO GetDeviceInfo();
    bool IsOpenDevice() const;
    void Close();

protected:
    void CloseHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo);

private:
    HID_DEVICE_INFO m_HIDDeviceInfo;
};

int CHIDAdaptor::GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    DeviceList list;
    int nCount = 0;
    for (libusb_device* pDevice : list) {
        if (Matches(pDevice, nVendorID, nProductID, nMI))
            ++nCount;
    }
    return nCount;
}

PHID_DEVICE_INFO CHIDAdaptor::GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI,
                                            int nDevIndex)
{
    Close();
    memset(&m_HIDDeviceInfo, 0, sizeof(m_HIDDeviceInfo));

    DeviceList list;
    if (!list.IsValid()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nullptr;
    }
    SetLastError(KYR_ERROR_NO_DEVICE);

    libusb_device* pSelected = nullptr;
    int nMatch = 0;
    for (libusb_device* pDevice : list) {
        if (!Matches(pDevice, nVendorID, nProductID, nMI))
            continue;
        if (nMatch == nDevIndex) {
            pSelected = pDevice;
            break;
        }
        ++nMatch;
    }
    if (pSelected == nullptr)
        return nullptr;

    HID_DEVICE_INFO& info = m_HIDDeviceInfo;
    snprintf(info.DevicePath, sizeof(info.DevicePath), "%04x:%04x:%02x", libusb_get_bus_number(pSelected),
             libusb_get_device_address(pSelected), static_cast<unsigned>(nMI));
    info.VendorID = nVendorID;
    info.ProductID = nProductID;
    info.MI = static_cast<unsigned short>(nMI);
    info.UsagePage = 0;
    info.Usage = 0;
    info.DeviceIndex = nDevIndex;

    libusb_device_handle* pHandle = nullptr;
    const int nResult = libusb_open(pSelected, &pHandle);
    if (nResult != LIBUSB_SUCCESS) {
        info.Extra = nullptr;
        SetLastError(LastErrorOfOpen(nResult));
        return nullptr;
    }
    auto* pExtra = static_cast<HIDExtra*>(malloc(sizeof(HIDExtra)));
    if (pExtra == nullptr) {
        libusb_close(pHandle);
        SetLastError(KYR_ERROR_UNKNOWN);
        return nullptr;
    }
    *pExtra = HIDExtra{pHandle, nullptr, false};
    info.Extra = pExtra;
    SetLastError(KYR_SUCCESS);
    return &m_HIDDeviceInfo;
}

PHID_DEVICE_INFO CHIDAdaptor::GetDeviceInfo()
{
    if (!IsOpenDevice()) {
        SetLastError(KYR_ERROR_NO_DEVICE);
        return nullptr;
    }
    return &m_HIDDeviceInfo;
}

bool CHIDAdaptor::IsOpenDevice() const
{
    const auto* pExtra = static_cast<const HIDExtra*>(m_HIDDeviceInfo.Extra);
    return pExtra != nullptr && pExtra->handle != nullptr;
}

void CHIDAdaptor::Close()
{
    if (!IsOpenDevice())
        return;
    CloseHidDevice(&m_HIDDeviceInfo);
}

void CHIDAdaptor::CloseHidDevice(PHID_DEVICE_INFO pHIDDeviceInfo)
{
    if (pHIDDeviceInfo == nullptr || pHIDDeviceInfo->Extra == nullptr)
        return;
    auto* pExtra = static_cast<HIDExtra*>(pHIDDeviceInfo->Extra);
    if (pExtra->driver_attached) {
        libusb_release_interface(pExtra->handle, pHIDDeviceInfo->MI);
        // Attached even when no driver was bound before: the interface goes
        // back to the system as it would be without us.
        if (libusb_kernel_driver_active(pExtra->handle, pHIDDeviceInfo->MI) == 0)
            libusb_attach_kernel_driver(pExtra->handle, pHIDDeviceInfo->MI);
        pExtra->driver_attached = false;
    }
    libusb_close(pExtra->handle);
    free(pExtra);
    memset(pHIDDeviceInfo, 0, sizeof(*pHIDDeviceInfo));
}

CHID::CHID() : m_pAdaptor(new CHIDAdaptor) {}

CHID::~CHID()
{
    delete m_pAdaptor;
}

int CHID::GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI)
{
    return m_pAdaptor->GetDeviceCount(nVendorID, nProductID, nMI);
}

PHID_DEVICE_INFO CHID::GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex)
{
    return m_pAdaptor->GetDeviceInfo(nVendorID, nProductID, nMI, nDevIndex);
}

PHID_DEVICE_INFO CHID::GetDeviceInfo()
{
    return m_pAdaptor->GetDeviceInfo();
}

bool CHID::IsOpenDevice()
{
    return m_pAdaptor->IsOpenDevice();
}

void CHID::Close()
{
    m_pAdaptor->Close();
}

// Feature reports and the serial-number string are not reachable through
// usbfs interrupt transfers; callers learn so from the last error.
bool CHID::GetFeature(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

bool CHID::SetFeature(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

bool CHID::GetSerialNumberString(void*, unsigned long)
{
    SetLastError(KYR_ERROR_NOT_SUPPORT);
    return false;
}

} // namespace kyr_hid_library
