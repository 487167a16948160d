// Devices coming and going, from libusb's hotplug events (udev on Linux) on a
// libusb context of the monitor's own, or, where libusb has none, from the
// device list compared once a second.
//
// libusb calls its hotplug callbacks inside its event handling with its
// locks held, so the callback only notes the device and counts its
// interfaces; the monitor thread works out its indices and reports it after
// the event pass, with no libusb lock held. The count cannot wait until then:
// by that time the device may have gone, and a device libusb reported is
// reported here, arriving and leaving once, however briefly it stayed.
#include "KyrHotplugMonitor.h"

#include <libusb.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <utility>

#include "HID.h"
#include "KyrThread.h"

namespace kyr_hid_library {

namespace {

constexpr unsigned long kPollMs = 1000;
// Bounds an event pass; a stop request ends it sooner.
constexpr unsigned long kEventPassMs = 1000;

// A device as enumeration sees it.
struct ListedDevice {
    int nBus;
    int nAddress;
    unsigned short wVendorID;
    unsigned short wProductID;
    int nInterfaces; // 0 when the active configuration cannot be read
};

int InterfaceCount(libusb_config_descriptor* pConfig)
{
    const int nInterfaces = pConfig->bNumInterfaces;
    libusb_free_config_descriptor(pConfig);
    return nInterfaces;
}

// As enumeration counts them: a device that has gone has none.
int ActiveInterfaceCount(libusb_device* pDevice)
{
    libusb_config_descriptor* pConfig = nullptr;
    if (libusb_get_active_config_descriptor(pDevice, &pConfig) != LIBUSB_SUCCESS)
        return 0;
    return InterfaceCount(pConfig);
}

// For a device libusb has just reported. libusb asks the system which
// configuration is active, which a device that has gone no longer says; its
// descriptors libusb read when the device came, and of those the first
// configuration, the one the family's devices have, stands in. An
// unconfigured device has none.
int ReportedInterfaceCount(libusb_device* pDevice)
{
    libusb_config_descriptor* pConfig = nullptr;
    int nResult = libusb_get_active_config_descriptor(pDevice, &pConfig);
    if (nResult == LIBUSB_ERROR_NO_DEVICE)
        nResult = libusb_get_config_descriptor(pDevice, 0, &pConfig);
    return nResult == LIBUSB_SUCCESS ? InterfaceCount(pConfig) : 0;
}

// The devices in the order enumeration and KyrOpenDevice count indices in:
// the default context's list.
std::vector<ListedDevice> ListAsEnumerationSeesIt()
{
    std::vector<ListedDevice> listed;
    if (!CHID::EnsureEnumerationContext())
        return listed;
    libusb_device** ppList = nullptr;
    const ssize_t nCount = libusb_get_device_list(nullptr, &ppList);
    for (ssize_t i = 0; i < nCount; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(ppList[i], &desc) != LIBUSB_SUCCESS)
            continue;
        listed.push_back({libusb_get_bus_number(ppList[i]), libusb_get_device_address(ppList[i]), desc.idVendor,
                          desc.idProduct, ActiveInterfaceCount(ppList[i])});
    }
    if (nCount >= 0)
        libusb_free_device_list(ppList, 1);
    return listed;
}

} // namespace

struct CKyrHotplugMonitorData : CKyrThread {
    struct Change {
        libusb_device* pDevice; // referenced
        bool bArrived;
        int nInterfaces = 0; // of an arrival, counted when it was noted
    };
    static Change Arrival(libusb_device* pDevice)
    {
        return {libusb_ref_device(pDevice), true, ReportedInterfaceCount(pDevice)};
    }

    explicit CKyrHotplugMonitorData(CKyrHotplugMonitor::ISink* pSink) : m_pSink(pSink) {}

    bool Run() override;
    void OnTerminateRequested() override
    {
        if (m_pContext != nullptr)
            libusb_interrupt_event_handler(m_pContext);
    }

    static int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* pDevice, libusb_hotplug_event event,
                                     void* pThis);
    // Applies the changes noted since the last call: reported to the sink,
    // or, when pPresent is set (at start, before the thread runs), collected
    // there.
    void Flush(std::vector<HotplugDevice>* pPresent);
    void Poll();
    void Apply(const std::vector<Change>& changes, std::vector<HotplugDevice>* pPresent);
    HotplugDevice Describe(const Change& arrival, const std::vector<ListedDevice>& listed) const;

    CKyrHotplugMonitor::ISink* const m_pSink;
    // Set up by Start before the thread runs, released after it has ended.
    libusb_context* m_pContext = nullptr;
    bool m_bHotplug = false;
    bool m_bCallbackRegistered = false;
    libusb_hotplug_callback_handle m_hCallback = 0;

    std::mutex m_csPending;
    std::vector<Change> m_Pending; // guarded by m_csPending

    // Devices reported as arrived and not yet as left, each referenced, which
    // keeps its address (the key) from being reused while it is attached.
    // Used by Start, then by the thread only, then by the destructor.
    std::vector<libusb_device*> m_Known;
};

int LIBUSB_CALL CKyrHotplugMonitorData::OnHotplug(libusb_context*, libusb_device* pDevice,
                                                  libusb_hotplug_event event, void* pThis)
{
    auto* pData = static_cast<CKyrHotplugMonitorData*>(pThis);
    const Change change = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? Arrival(pDevice)
                                                                       : Change{libusb_ref_device(pDevice), false};
    std::lock_guard lock(pData->m_csPending);
    pData->m_Pending.push_back(change);
    return 0;
}

HotplugDevice CKyrHotplugMonitorData::Describe(const Change& arrival, const std::vector<ListedDevice>& listed) const
{
    libusb_device* const pDevice = arrival.pDevice;
    HotplugDevice device{};
    device.qwKey = reinterpret_cast<std::uintptr_t>(pDevice);
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(pDevice, &desc); // cached by libusb: cannot fail
    device.wVendorID = desc.idVendor;
    device.wProductID = desc.idProduct;
    device.nBus = libusb_get_bus_number(pDevice);
    device.nAddress = libusb_get_device_address(pDevice);

    const auto itSelf = std::find_if(listed.begin(), listed.end(), [&](const ListedDevice& other) {
        return other.nBus == device.nBus && other.nAddress == device.nAddress;
    });
    for (int nMI = 0; nMI < arrival.nInterfaces; ++nMI) {
        // Gone already: nothing can open it any more.
        if (itSelf == listed.end() || itSelf->nInterfaces <= nMI) {
            device.deviceIndices.push_back(-1);
            continue;
        }
        const auto nBefore = std::count_if(listed.begin(), itSelf, [&](const ListedDevice& other) {
            return other.wVendorID == device.wVendorID && other.wProductID == device.wProductID &&
                   other.nInterfaces > nMI;
        });
        device.deviceIndices.push_back(static_cast<int>(nBefore));
    }
    return device;
}

void CKyrHotplugMonitorData::Apply(const std::vector<Change>& changes, std::vector<HotplugDevice>* pPresent)
{
    std::vector<ListedDevice> listed;
    bool bListed = false;
    for (const Change& change : changes) {
        const auto itKnown = std::find(m_Known.begin(), m_Known.end(), change.pDevice);
        const unsigned long long qwKey = reinterpret_cast<std::uintptr_t>(change.pDevice);
        if (change.bArrived && itKnown == m_Known.end()) {
            if (!bListed) {
                listed = ListAsEnumerationSeesIt();
                bListed = true;
            }
            m_Known.push_back(libusb_ref_device(change.pDevice));
            const HotplugDevice device = Describe(change, listed);
            if (pPresent != nullptr)
                pPresent->push_back(device);
            else
                m_pSink->OnDeviceArrived(device);
        } else if (!change.bArrived && itKnown != m_Known.end()) {
            if (pPresent != nullptr)
                std::erase_if(*pPresent, [&](const HotplugDevice& device) { return device.qwKey == qwKey; });
            else
                m_pSink->OnDeviceLeft(qwKey);
            // The key is free for reuse only now, after the sink has had it.
            libusb_unref_device(*itKnown);
            m_Known.erase(itKnown);
        }
        // A repeated arrival, or the departure of a device never reported,
        // is nothing new.
        libusb_unref_device(change.pDevice);
    }
}

void CKyrHotplugMonitorData::Flush(std::vector<HotplugDevice>* pPresent)
{
    std::vector<Change> changes;
    {
        std::lock_guard lock(m_csPending);
        changes.swap(m_Pending);
    }
    Apply(changes, pPresent);
}

// Departures first: the list cannot say which came first, and a departure
// frees an address that an arrival may reuse.
void CKyrHotplugMonitorData::Poll()
{
    libusb_device** ppList = nullptr;
    const ssize_t nCount = libusb_get_device_list(m_pContext, &ppList);
    if (nCount < 0)
        return;
    const std::vector<libusb_device*> now(ppList, ppList + nCount);
    std::vector<Change> changes;
    for (libusb_device* pKnown : m_Known) {
        if (std::find(now.begin(), now.end(), pKnown) == now.end())
            changes.push_back({libusb_ref_device(pKnown), false});
    }
    for (libusb_device* pDevice : now) {
        if (std::find(m_Known.begin(), m_Known.end(), pDevice) == m_Known.end())
            changes.push_back(Arrival(pDevice));
    }
    libusb_free_device_list(ppList, 1);
    Apply(changes, nullptr);
}

bool CKyrHotplugMonitorData::Run()
{
    pthread_setname_np(pthread_self(), "kyrhid-hpwatch");
    if (!m_bHotplug) {
        while (!WaitForTerminate(kPollMs))
            Poll();
        return true;
    }
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(kEventPassMs / 1000);
    tv.tv_usec = static_cast<suseconds_t>((kEventPassMs % 1000) * 1000);
    while (!IsSetTerminateThreadFlag()) {
        const int nResult = libusb_handle_events_timeout_completed(m_pContext, &tv, nullptr);
        Flush(nullptr);
        // Events that can no longer be handled end the watch; the thread
        // ends and is joined by the owner's stop as usual. No more changes
        // are reported then.
        if (nResult < 0 && nResult != LIBUSB_ERROR_INTERRUPTED && nResult != LIBUSB_ERROR_TIMEOUT)
            break;
    }
    return true;
}

CKyrHotplugMonitor::CKyrHotplugMonitor(ISink* pSink) : m_pData(new CKyrHotplugMonitorData(pSink)) {}

CKyrHotplugMonitor::~CKyrHotplugMonitor()
{
    m_pData->Stop();
    if (m_pData->m_bCallbackRegistered)
        libusb_hotplug_deregister_callback(m_pData->m_pContext, m_pData->m_hCallback);
    for (const auto& change : m_pData->m_Pending)
        libusb_unref_device(change.pDevice);
    for (libusb_device* pDevice : m_pData->m_Known)
        libusb_unref_device(pDevice);
    if (m_pData->m_pContext != nullptr)
        libusb_exit(m_pData->m_pContext);
    delete m_pData;
}

bool CKyrHotplugMonitor::Start(std::vector<HotplugDevice>& present)
{
    CKyrHotplugMonitorData& data = *m_pData;
    present.clear();
    if (libusb_init(&data.m_pContext) != LIBUSB_SUCCESS) {
        data.m_pContext = nullptr;
        return false;
    }
    libusb_set_option(data.m_pContext, LIBUSB_OPTION_LOG_LEVEL, LIBUSB_LOG_LEVEL_NONE);
    data.m_bHotplug = libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) != 0;
    if (data.m_bHotplug) {
        // The devices already there are noted from within the registration.
        const int nResult = libusb_hotplug_register_callback(
            data.m_pContext,
            static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
            LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
            &CKyrHotplugMonitorData::OnHotplug, &data, &data.m_hCallback);
        if (nResult != LIBUSB_SUCCESS)
            return false;
        data.m_bCallbackRegistered = true;
        data.Flush(&present);
    } else {
        libusb_device** ppList = nullptr;
        const ssize_t nCount = libusb_get_device_list(data.m_pContext, &ppList);
        if (nCount < 0)
            return false;
        std::vector<CKyrHotplugMonitorData::Change> changes;
        for (ssize_t i = 0; i < nCount; ++i)
            changes.push_back(CKyrHotplugMonitorData::Arrival(ppList[i]));
        libusb_free_device_list(ppList, 1);
        data.Apply(changes, &present);
    }
    data.SetPriority(CKyrThread::Normal);
    return data.Start();
}

} // namespace kyr_hid_library
