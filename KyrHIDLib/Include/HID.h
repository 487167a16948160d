// The USB transport's facade and records. The rest of the library reaches
// libusb only through CHID.
#pragma once

namespace kyr_hid_library {

typedef struct _HID_DEVICE_INFO {
    // "%04x:%04x:%02x" of bus number, device address and interface number;
    // the key of the device's cross-process objects while it stays attached.
    char DevicePath[512];
    unsigned short VendorID;
    unsigned short ProductID;
    unsigned short MI;
    int DeviceIndex;
    unsigned short UsagePage; // always 0 on this platform
    unsigned short Usage;     // always 0 on this platform
    void* Extra;              // transport-private while a device is open, else null
} HID_DEVICE_INFO, *PHID_DEVICE_INFO;

typedef void (*FnOnDisconnect)(void* Context);
typedef void (*FnOnReceive)(unsigned char* buffer, unsigned long length, void* Context);

typedef struct _HID_NOTIFY {
    void* Context;
    FnOnDisconnect fnOnDisconnect;
    FnOnReceive fnOnReceive;
} HID_NOTIFY, *PHID_NOTIFY;

class CHIDAdaptor;

class CHID {
public:
    CHID();
    ~CHID();
    CHID(const CHID&) = delete;
    CHID& operator=(const CHID&) = delete;

    // Sets up libusb's default context, where enumeration lists devices and
    // device indices count; a failed set-up is tried again at the next call.
    static bool EnsureEnumerationContext();

    // Attached devices with these ids whose active configuration has more
    // than nMI interfaces. Never touches the last error.
    int GetDeviceCount(unsigned short nVendorID, unsigned short nProductID, int nMI);
    // Closes whatever this object had open, then selects the nDevIndex-th
    // match and opens a handle to it (no interface claimed). Returns this
    // object's own record, or null with the last error set.
    PHID_DEVICE_INFO GetDeviceInfo(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex);
    // The open device's record; null with KYR_ERROR_NO_DEVICE while closed.
    PHID_DEVICE_INFO GetDeviceInfo();
    bool IsOpenDevice();
    // The device has gone (an unplug seen by the read thread or a write);
    // it stays open until Close all the same.
    bool IsDisconnected() const;

    // Callbacks for the next Open; copied. Both run on this object's read
    // thread: fnOnReceive for every input report, fnOnDisconnect at most once
    // per Open, as the thread's last act, when the device has gone. The
    // device stays open until Close; Close from inside fnOnDisconnect (this
    // object may be destroyed there too) lets the thread end detached.
    void SetNotify(PHID_NOTIFY pNotify);
    // Selects and opens the device, claims the interface and starts reading.
    bool Open(unsigned short nVendorID, unsigned short nProductID, int nMI, int nDevIndex);
    // Stops reading, releases the interface to the kernel driver and closes.
    void Close();
    // Sends pBuffer in 64-byte pieces; true once every piece is handed to the
    // USB stack. The buffer may be reused as soon as it returns.
    bool Write(const unsigned char* pBuffer, unsigned long dwBytesToWrite);

    bool GetFeature(void* pBuffer, unsigned long dwSize);
    bool SetFeature(void* pBuffer, unsigned long dwSize);
    bool GetSerialNumberString(void* pBuffer, unsigned long dwSize);
    void* GetLowDeviceHandle() { return nullptr; }

private:
    CHIDAdaptor* m_pAdaptor;
};

} // namespace kyr_hid_library
