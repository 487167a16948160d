// The platform's watch on devices coming and going, for the hotplug
// dispatcher (KyrHotplug.cpp). It only reports; matching and callbacks are
// the dispatcher's.
#pragma once

#include <vector>

namespace kyr_hid_library {

// What was learnt of a device when it arrived. A departure names only the
// key; the dispatcher keeps the rest from the arrival.
struct HotplugDevice {
    unsigned long long qwKey; // identity while the device stays attached
    unsigned short wVendorID;
    unsigned short wProductID;
    int nBus;
    int nAddress;
    // Per interface of its configuration as libusb knew it when it reported
    // the device (none for an unconfigured one): the index KyrOpenDevice
    // takes for it, -1 when the device had gone already.
    std::vector<int> deviceIndices;
};

struct CKyrHotplugMonitorData;

class CKyrHotplugMonitor {
public:
    class ISink {
    public:
        virtual ~ISink() = default;
        // On the monitor's own thread, in the order things happened, with no
        // lock of the monitor or of the USB layer held.
        virtual void OnDeviceArrived(const HotplugDevice& device) = 0;
        virtual void OnDeviceLeft(unsigned long long qwKey) = 0;
    };

    explicit CKyrHotplugMonitor(ISink* pSink);
    // Stops watching; no sink call runs or starts after it returns.
    ~CKyrHotplugMonitor();
    CKyrHotplugMonitor(const CKyrHotplugMonitor&) = delete;
    CKyrHotplugMonitor& operator=(const CKyrHotplugMonitor&) = delete;

    // Fills present with the devices attached now and starts reporting the
    // changes after that. False when the USB layer or the thread cannot be
    // set up; then nothing is reported.
    bool Start(std::vector<HotplugDevice>& present);

private:
    CKyrHotplugMonitorData* m_pData;
};

} // namespace kyr_hid_library
