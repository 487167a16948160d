// One emulated USB device as usbfs presents it to libusb: the ioctls on its
// device node, URB bookkeeping, interface claims, kernel driver binding and
// unplugging. Device behaviour lives in the IDeviceModel it drives.
#pragma once

#include "Descriptors.h"
#include "DeviceModel.h"
#include "NodeSignal.h"
#include "Options.h"
#include "Testbed.h"

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <umockdev.h>
#include <vector>

namespace kyrsim {

struct GObjectUnref {
    void operator()(gpointer p) const { g_object_unref(p); }
};
using DataPtr = std::unique_ptr<UMockdevIoctlData, GObjectUnref>;

class CUsbfsDevice final : public IReportSink {
public:
    /// Adds the device to the testbed and attaches the model. @throws on
    /// malformed descriptors or testbed failures.
    CUsbfsDevice(int nIndex, const DeviceSpec& devSpec, CTestbed& testbed, std::unique_ptr<IDeviceModel> pModel);
    ~CUsbfsDevice() override;
    CUsbfsDevice(const CUsbfsDevice&) = delete;
    CUsbfsDevice& operator=(const CUsbfsDevice&) = delete;

    bool EmitInReport(int nInterface, std::span<const uint8_t> report) override;
    size_t BackloggedInReports(int nInterface) const override;

    /// Disconnects the device as the kernel does: pending URBs complete with
    /// -ESHUTDOWN, every later ioctl but reaping fails with ENODEV, and the
    /// sysfs entry and node vanish. Returns false if it was already gone.
    bool Unplug();

    /// Stops the model; the device stays visible but silent. For shutdown.
    void DetachModel();

    bool IsPresent() const;
    bool HasInterface(int nInterface) const;
    /// "usbfs" while a client holds the claim, the kernel driver's name, or
    /// "none"; nullopt for an unknown interface.
    std::optional<std::string> DriverOf(int nInterface) const;
    std::optional<bool> IsClaimed(int nInterface) const;
    uint64_t OutReportCount() const;

private:
    struct Urb {
        UMockdevIoctlClient* pClient = nullptr;
        DataPtr pUrb;     // the client's struct usbdevfs_urb
        DataPtr pBuffer;  // its data buffer; null for zero length
        gulong ulAddress = 0;
        uint8_t bEndpoint = 0;
        int nInterface = -1;
        bool bDone = false;
        int nStatus = 0;
        int nActualLength = 0;
        uint64_t qwDoneOrder = 0;
        std::vector<uint8_t> inReport;  // IN data, copied to the client at reap
    };

    struct Interface {
        std::string szKernelDriver;             // empty when none is bound
        UMockdevIoctlClient* pOwner = nullptr;  // client holding the usbfs claim
        std::deque<std::vector<uint8_t>> queued;  // IN reports no URB has taken yet
    };

    struct Result {
        long lResult = 0;
        int nErrno = 0;
    };

    enum class Reap { Completed, Parked };

    static gboolean OnHandleIoctl(UMockdevIoctlBase* pHandler, UMockdevIoctlClient* pClient, gpointer pSelf);
    static void OnClientVanished(UMockdevIoctlBase* pHandler, UMockdevIoctlClient* pClient, gpointer pSelf);
    static void OnClientFinalized(gpointer pSelf, GObject* pClient);
    static gboolean OnRetryParkedReaps(gpointer pSelf);

    void HandleIoctl(UMockdevIoctlClient* pClient);
    Result SubmitUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    Result SubmitControlUrb(UMockdevIoctlData* pUrbData);
    Reap ReapUrb(UMockdevIoctlClient* pClient, bool bBlock);
    Result DiscardUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    Result ClaimInterface(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    Result ReleaseInterface(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    Result GetDriver(UMockdevIoctlData* pArg);
    Result DriverIoctl(UMockdevIoctlData* pArg);
    Result DisconnectClaim(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg);
    Result SimpleIoctl(UMockdevIoctlClient* pClient, unsigned int nRequest, UMockdevIoctlData* pArg);
    void ForgetClient(UMockdevIoctlClient* pClient);

    // Each of these expects m_mutex to be held.
    Result CheckInterfaceLocked(UMockdevIoctlClient* pClient, int nInterface);
    void CompleteLocked(Urb& urb, int nStatus, int nActualLength);
    void FillInUrbLocked(Urb& urb, std::span<const uint8_t> report);
    void ReleaseClaimLocked(int nInterface);
    void UpdateNodeSignalLocked();

    const int m_nIndex;
    const DeviceSpec m_spec;
    const std::vector<uint8_t> m_descriptors;
    const ConfigurationInfo m_config;
    const bool m_bGeneratedDescriptors;
    CTestbed& m_testbed;
    std::string m_szSysPath;  // set once, at the end of construction
    std::unique_ptr<IDeviceModel> m_pModel;  // detached on the thread that drives lifetime
    UMockdevIoctlBase* m_pHandler = nullptr;

    mutable std::mutex m_mutex;
    // Lock order: m_mutex is a leaf. It is never held while a model runs
    // (loopback emits from inside OnOutReport) nor during a round trip to a
    // client's memory, so a slow client cannot stall a timer thread.
    bool m_bPresent = true;                      // guarded by m_mutex
    std::map<int, Interface> m_interfaces;       // guarded by m_mutex
    std::list<Urb> m_urbs;                       // guarded by m_mutex, in submission order
    std::set<UMockdevIoctlClient*> m_clients;    // guarded by m_mutex; weakly referenced
    std::vector<UMockdevIoctlClient*> m_parked;  // guarded by m_mutex; blocked in REAPURB, referenced
    uint64_t m_qwDoneOrder = 0;                  // guarded by m_mutex
    uint64_t m_qwOutReports = 0;                 // guarded by m_mutex
    GMainContext* m_pWorker = nullptr;           // guarded by m_mutex; umockdev's ioctl thread
    std::unique_ptr<CNodeSignal> m_pSignal;      // guarded by m_mutex
};

}  // namespace kyrsim
