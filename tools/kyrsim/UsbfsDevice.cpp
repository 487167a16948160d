#include "UsbfsDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <sys/ioctl.h>
#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>
#include <optional>
#include <pthread.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace kyrsim {

namespace {

// Far more than any test needs; a model streaming into an interface that is
// claimed but never read must not grow without bound.
constexpr size_t MAX_QUEUED_REPORTS = 4096;

constexpr uint32_t CAPABILITIES =
    USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM |
    USBDEVFS_CAP_REAP_AFTER_DISCONNECT;

DataPtr Resolve(UMockdevIoctlData* pParent, size_t nOffset, size_t nLength)
{
    GError* pError = nullptr;
    UMockdevIoctlData* pData = umockdev_ioctl_data_resolve(pParent, nOffset, nLength, &pError);
    g_clear_error(&pError);
    return DataPtr(pData);
}

template <typename T>
T* As(const DataPtr& pData)
{
    return reinterpret_cast<T*>(pData->data);
}

// The unsigned int the argument points to (an interface or endpoint number),
// or nothing when the client's pointer is bad.
std::optional<unsigned int> PointedUInt(UMockdevIoctlData* pArg)
{
    DataPtr pValue = Resolve(pArg, 0, sizeof(unsigned int));
    if (!pValue)
        return std::nullopt;
    return *As<unsigned int>(pValue);
}

gulong ArgumentValue(UMockdevIoctlData* pArg)
{
    gulong ulValue = 0;
    std::memcpy(&ulValue, pArg->data, std::min(sizeof ulValue, static_cast<size_t>(pArg->data_len)));
    return ulValue;
}

}  // namespace

CUsbfsDevice::CUsbfsDevice(int nIndex, const DeviceSpec& devSpec, CTestbed& testbed, std::unique_ptr<IDeviceModel> pModel)
    : m_nIndex(nIndex),
      m_spec(devSpec),
      m_descriptors(devSpec.descriptors.empty() ? BuildDescriptors(devSpec) : devSpec.descriptors),
      m_config(DescribeConfiguration(m_descriptors)),
      m_bGeneratedDescriptors(devSpec.descriptors.empty()),
      m_testbed(testbed),
      m_pModel(std::move(pModel))
{
    for (int nInterface : m_config.interfaces)
        m_interfaces[nInterface].szKernelDriver = devSpec.szDriver;

    // The node serves ioctls before sysfs shows the device: a program that
    // hears of a device plugged at run time may open it at once.
    testbed.MakeNodeDir(devSpec);
    const std::string szNode = testbed.NodePath(devSpec);
    m_pSignal = std::make_unique<CNodeSignal>(szNode);
    // Root would open a mode-0000 node anyway; the runner drops root's
    // permission override in the child for that case.
    if (devSpec.bDeny)
        chmod(szNode.c_str(), 0);

    m_pHandler = umockdev_ioctl_base_new();
    g_signal_connect(m_pHandler, "handle-ioctl", G_CALLBACK(OnHandleIoctl), this);
    g_signal_connect(m_pHandler, "client-vanished", G_CALLBACK(OnClientVanished), this);
    testbed.AttachIoctl(CTestbed::DevNode(devSpec), m_pHandler);

    m_pModel->OnAttach(ModelContext{*this, m_config.interfaces});
    try {
        m_szSysPath = testbed.AddUsbDevice(devSpec, m_descriptors);
    } catch (...) {
        DetachModel();
        throw;
    }
}

CUsbfsDevice::~CUsbfsDevice()
{
    DetachModel();
    g_signal_handlers_disconnect_by_data(m_pHandler, this);
    g_object_unref(m_pHandler);
    std::lock_guard lock(m_mutex);
    for (UMockdevIoctlClient* pClient : m_clients)
        g_object_weak_unref(G_OBJECT(pClient), OnClientFinalized, this);
    for (UMockdevIoctlClient* pClient : m_parked)
        g_object_unref(pClient);
    if (m_pWorker != nullptr)
        g_main_context_unref(m_pWorker);
}

void CUsbfsDevice::DetachModel()
{
    if (m_pModel) {
        m_pModel->OnDetach();
        m_pModel.reset();
    }
}

// ---- control-side queries --------------------------------------------------

bool CUsbfsDevice::IsPresent() const
{
    std::lock_guard lock(m_mutex);
    return m_bPresent;
}

bool CUsbfsDevice::HasInterface(int nInterface) const
{
    std::lock_guard lock(m_mutex);
    return m_interfaces.count(nInterface) != 0;
}

std::optional<std::string> CUsbfsDevice::DriverOf(int nInterface) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_interfaces.find(nInterface);
    if (it == m_interfaces.end())
        return std::nullopt;
    if (it->second.pOwner != nullptr)
        return std::string("usbfs");
    return it->second.szKernelDriver.empty() ? std::string("none") : it->second.szKernelDriver;
}

std::optional<bool> CUsbfsDevice::IsClaimed(int nInterface) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_interfaces.find(nInterface);
    if (it == m_interfaces.end())
        return std::nullopt;
    return it->second.pOwner != nullptr;
}

uint64_t CUsbfsDevice::OutReportCount() const
{
    std::lock_guard lock(m_mutex);
    return m_qwOutReports;
}

// ---- device side -------------------------------------------------------------

bool CUsbfsDevice::EmitInReport(int nInterface, std::span<const uint8_t> report)
{
    std::lock_guard lock(m_mutex);
    const auto itInterface = m_interfaces.find(nInterface);
    if (!m_bPresent || itInterface == m_interfaces.end())
        return false;
    Interface& interface = itInterface->second;
    if (interface.pOwner == nullptr)
        return true;
    for (Urb& urb : m_urbs) {
        if (!urb.bDone && urb.nInterface == nInterface && (urb.bEndpoint & USB_DIR_IN) != 0) {
            FillInUrbLocked(urb, report);
            return true;
        }
    }
    if (interface.queued.size() >= MAX_QUEUED_REPORTS)
        interface.queued.pop_front();
    interface.queued.emplace_back(report.begin(), report.end());
    return true;
}

size_t CUsbfsDevice::BackloggedInReports(int nInterface) const
{
    std::lock_guard lock(m_mutex);
    const auto it = m_interfaces.find(nInterface);
    return it != m_interfaces.end() ? it->second.queued.size() : 0;
}

bool CUsbfsDevice::Unplug()
{
    {
        std::lock_guard lock(m_mutex);
        if (!m_bPresent)
            return false;
        m_bPresent = false;
        // The host controller flushes every endpoint of a vanished device.
        for (Urb& urb : m_urbs) {
            if (!urb.bDone)
                CompleteLocked(urb, -ESHUTDOWN, 0);
        }
        for (auto& [nInterface, interface] : m_interfaces) {
            interface.pOwner = nullptr;
            interface.szKernelDriver.clear();
            interface.queued.clear();
        }
    }
    DetachModel();
    m_testbed.RemoveDevice(m_szSysPath);
    unlink(m_testbed.NodePath(m_spec).c_str());
    return true;
}

void CUsbfsDevice::FillInUrbLocked(Urb& urb, std::span<const uint8_t> report)
{
    const int nCapacity = urb.pBuffer ? urb.pBuffer->data_len : 0;
    const int nLength = std::min(nCapacity, static_cast<int>(report.size()));
    // Kept aside until the reap: the worker thread may still be syncing the
    // buffer back for the submit ioctl, so only it may write there.
    urb.inReport.assign(report.begin(), report.begin() + nLength);
    // A report longer than the buffer is babble to the host controller.
    CompleteLocked(urb, static_cast<int>(report.size()) > nCapacity ? -EOVERFLOW : 0, nLength);
}

void CUsbfsDevice::CompleteLocked(Urb& urb, int nStatus, int nActualLength)
{
    urb.bDone = true;
    urb.nStatus = nStatus;
    urb.nActualLength = nActualLength;
    urb.qwDoneOrder = ++m_qwDoneOrder;
    UpdateNodeSignalLocked();
    const bool bParked =
        std::find(m_parked.begin(), m_parked.end(), urb.pClient) != m_parked.end();
    if (bParked && m_pWorker != nullptr) {
        // Deferred even on the worker thread itself, which would otherwise run
        // the retry at once and take m_mutex a second time.
        GSource* pSource = g_idle_source_new();
        g_source_set_callback(pSource, OnRetryParkedReaps, this, nullptr);
        g_source_attach(pSource, m_pWorker);
        g_source_unref(pSource);
    }
}

void CUsbfsDevice::UpdateNodeSignalLocked()
{
    const bool bReapable = std::any_of(m_urbs.begin(), m_urbs.end(), [](const Urb& urb) { return urb.bDone; });
    m_pSignal->Set(bReapable);
}

// ---- ioctl dispatch (umockdev's worker thread) ------------------------------

gboolean CUsbfsDevice::OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf)
{
    static_cast<CUsbfsDevice*>(pSelf)->HandleIoctl(pClient);
    return TRUE;
}

void CUsbfsDevice::OnClientVanished(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf)
{
    static_cast<CUsbfsDevice*>(pSelf)->ForgetClient(pClient);
}

void CUsbfsDevice::OnClientFinalized(gpointer pSelf, GObject* pClient)
{
    auto* pDevice = static_cast<CUsbfsDevice*>(pSelf);
    {
        std::lock_guard lock(pDevice->m_mutex);
        pDevice->m_clients.erase(reinterpret_cast<UMockdevIoctlClient*>(pClient));
    }
    pDevice->ForgetClient(reinterpret_cast<UMockdevIoctlClient*>(pClient));
}

gboolean CUsbfsDevice::OnRetryParkedReaps(gpointer pSelf)
{
    auto* pDevice = static_cast<CUsbfsDevice*>(pSelf);
    std::vector<UMockdevIoctlClient*> parked;
    {
        std::lock_guard lock(pDevice->m_mutex);
        parked.swap(pDevice->m_parked);
    }
    for (UMockdevIoctlClient* pClient : parked) {
        if (umockdev_ioctl_client_get_connected(pClient))
            pDevice->ReapUrb(pClient, true);
        g_object_unref(pClient);
    }
    return G_SOURCE_REMOVE;
}

void CUsbfsDevice::HandleIoctl(UMockdevIoctlClient* pClient)
{
    {
        std::lock_guard lock(m_mutex);
        if (m_pWorker == nullptr) {
            m_pWorker = g_main_context_ref_thread_default();
            // One umockdev thread serves every device: named, so that its
            // share of a load shows in per-thread figures.
            pthread_setname_np(pthread_self(), "usbfs-ioctl");
        }
        if (m_clients.insert(pClient).second)
            g_object_weak_ref(G_OBJECT(pClient), OnClientFinalized, this);
    }
    const auto nRequest = static_cast<unsigned int>(umockdev_ioctl_client_get_request(pClient));
    UMockdevIoctlData* pArg = umockdev_ioctl_client_get_arg(pClient);
    Result result;
    switch (nRequest) {
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY:
        // Reaping completes the ioctl itself, possibly later.
        ReapUrb(pClient, nRequest == USBDEVFS_REAPURB);
        return;
    case USBDEVFS_SUBMITURB:
        result = SubmitUrb(pClient, pArg);
        break;
    case USBDEVFS_DISCARDURB:
        result = DiscardUrb(pClient, pArg);
        break;
    case USBDEVFS_CLAIMINTERFACE:
        result = ClaimInterface(pClient, pArg);
        break;
    case USBDEVFS_RELEASEINTERFACE:
        result = ReleaseInterface(pClient, pArg);
        break;
    case USBDEVFS_GETDRIVER:
        result = GetDriver(pArg);
        break;
    case USBDEVFS_IOCTL:
        result = DriverIoctl(pArg);
        break;
    case USBDEVFS_DISCONNECT_CLAIM:
        result = DisconnectClaim(pClient, pArg);
        break;
    default:
        result = SimpleIoctl(pClient, nRequest, pArg);
        break;
    }
    umockdev_ioctl_client_complete(pClient, result.lResult, result.nErrno);
}

CUsbfsDevice::Result CUsbfsDevice::SubmitUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    const gulong ulAddress = ArgumentValue(pArg);
    DataPtr pUrbData = Resolve(pArg, 0, sizeof(usbdevfs_urb));
    if (!pUrbData)
        return {-1, EFAULT};
    const usbdevfs_urb urbCopy = *As<usbdevfs_urb>(pUrbData);
    if (urbCopy.buffer_length < 0)
        return {-1, EINVAL};
    if (urbCopy.type == USBDEVFS_URB_TYPE_CONTROL) {
        {
            std::lock_guard lock(m_mutex);
            if (!m_bPresent)
                return {-1, ENODEV};
        }
        const Result result = SubmitControlUrb(pUrbData.get());
        if (result.nErrno != 0)
            return result;
        std::lock_guard lock(m_mutex);
        Urb& urb = m_urbs.emplace_back();
        urb.pClient = pClient;
        urb.ulAddress = ulAddress;
        urb.bEndpoint = urbCopy.endpoint;
        const int nStatus = static_cast<int>(result.lResult);
        const int nActual = nStatus == 0 ? As<usbdevfs_urb>(pUrbData)->actual_length : 0;
        urb.pUrb = std::move(pUrbData);
        CompleteLocked(urb, nStatus, nActual);
        return {0, 0};
    }
    if (urbCopy.type != USBDEVFS_URB_TYPE_INTERRUPT && urbCopy.type != USBDEVFS_URB_TYPE_BULK)
        return {-1, EINVAL};

    DataPtr pBuffer;
    if (urbCopy.buffer_length > 0) {
        pBuffer = Resolve(pUrbData.get(), offsetof(usbdevfs_urb, buffer), static_cast<size_t>(urbCopy.buffer_length));
        if (!pBuffer)
            return {-1, EFAULT};
    }

    std::vector<uint8_t> outReport;
    int nInterface = -1;
    {
        std::lock_guard lock(m_mutex);
        if (!m_bPresent)
            return {-1, ENODEV};
        const auto itEndpoint = m_config.endpoints.find(urbCopy.endpoint);
        if (itEndpoint == m_config.endpoints.end())
            return {-1, ENOENT};
        const uint8_t bTransferType = itEndpoint->second.bmAttributes & USB_ENDPOINT_XFERTYPE_MASK;
        if (bTransferType != USB_ENDPOINT_XFER_INT && bTransferType != USB_ENDPOINT_XFER_BULK)
            return {-1, EINVAL};
        nInterface = itEndpoint->second.nInterface;
        const Result claim = CheckInterfaceLocked(pClient, nInterface);
        if (claim.nErrno != 0)
            return claim;

        Urb& urb = m_urbs.emplace_back();
        urb.pClient = pClient;
        urb.pUrb = std::move(pUrbData);
        urb.pBuffer = std::move(pBuffer);
        urb.ulAddress = ulAddress;
        urb.bEndpoint = urbCopy.endpoint;
        urb.nInterface = nInterface;
        if ((urbCopy.endpoint & USB_DIR_IN) != 0) {
            auto& queued = m_interfaces[nInterface].queued;
            if (!queued.empty()) {
                const std::vector<uint8_t> report = std::move(queued.front());
                queued.pop_front();
                FillInUrbLocked(urb, report);
            }
            return {0, 0};
        }
        if (urb.pBuffer)
            outReport.assign(urb.pBuffer->data, urb.pBuffer->data + urb.pBuffer->data_len);
        ++m_qwOutReports;
        CompleteLocked(urb, 0, urbCopy.buffer_length);
    }
    // Outside the lock: the model may emit an IN report right away.
    if (m_pModel)
        m_pModel->OnOutReport(nInterface, outReport);
    return {0, 0};
}

// Standard requests on endpoint 0; Result.lResult carries the URB status.
CUsbfsDevice::Result CUsbfsDevice::SubmitControlUrb(UMockdevIoctlData* pUrbData)
{
    auto* pUrb = reinterpret_cast<usbdevfs_urb*>(pUrbData->data);
    if (pUrb->buffer_length < static_cast<int>(sizeof(usb_ctrlrequest)))
        return {-1, EINVAL};
    DataPtr pBuffer = Resolve(pUrbData, offsetof(usbdevfs_urb, buffer), static_cast<size_t>(pUrb->buffer_length));
    if (!pBuffer)
        return {-1, EFAULT};
    pUrb = reinterpret_cast<usbdevfs_urb*>(pUrbData->data);
    usb_ctrlrequest setup;
    std::memcpy(&setup, pBuffer->data, sizeof setup);
    const uint16_t wValue = setup.wValue;
    const size_t nRoom = std::min<size_t>(setup.wLength, static_cast<size_t>(pBuffer->data_len) - sizeof setup);

    std::vector<uint8_t> answer;
    bool bStall = false;
    if (setup.bRequestType == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_DEVICE) &&
        setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
        if ((wValue >> 8) == USB_DT_DEVICE) {
            answer.assign(m_descriptors.begin(), m_descriptors.begin() + m_descriptors[0]);
        } else if ((wValue >> 8) == USB_DT_CONFIG) {
            const auto config = ConfigurationBytes(m_descriptors, wValue & 0xFF);
            bStall = config.empty();
            answer.assign(config.begin(), config.end());
        } else {
            bStall = true;  // the device has no strings
        }
    } else if (setup.bRequestType == (USB_DIR_IN | USB_TYPE_STANDARD | USB_RECIP_INTERFACE) &&
               setup.bRequest == USB_REQ_GET_DESCRIPTOR && (wValue >> 8) == 0x22 && m_bGeneratedDescriptors) {
        const auto report = HidReportDescriptor();
        answer.assign(report.begin(), report.end());
    } else if ((setup.bRequestType & USB_DIR_IN) != 0 && setup.bRequest == USB_REQ_GET_STATUS) {
        answer = {0, 0};
    } else if (setup.bRequestType == (USB_DIR_IN | USB_RECIP_DEVICE) && setup.bRequest == USB_REQ_GET_CONFIGURATION) {
        answer = {m_spec.bNoConfig ? uint8_t{0} : m_config.bConfigurationValue};
    } else if ((setup.bRequestType & USB_DIR_IN) != 0) {
        bStall = true;
    }
    // Any request without a data stage is acknowledged: SET_CONFIGURATION,
    // SET_INTERFACE, CLEAR_FEATURE, HID SET_IDLE and the like.
    if (bStall)
        return {-EPIPE, 0};
    const size_t nLength = std::min(nRoom, answer.size());
    std::memcpy(pBuffer->data + sizeof setup, answer.data(), nLength);
    pUrb->actual_length = (setup.bRequestType & USB_DIR_IN) != 0 ? static_cast<int>(nLength) : setup.wLength;
    return {0, 0};
}

CUsbfsDevice::Reap CUsbfsDevice::ReapUrb(UMockdevIoctlClient* pClient, bool bBlock)
{
    Urb taken;
    int nErrno = 0;
    {
        std::lock_guard lock(m_mutex);
        auto itFound = m_urbs.end();
        for (auto it = m_urbs.begin(); it != m_urbs.end(); ++it) {
            if (it->pClient == pClient && it->bDone && (itFound == m_urbs.end() || it->qwDoneOrder < itFound->qwDoneOrder))
                itFound = it;
        }
        if (itFound == m_urbs.end()) {
            if (m_bPresent && bBlock) {
                g_object_ref(pClient);
                m_parked.push_back(pClient);
                return Reap::Parked;
            }
            nErrno = m_bPresent ? EAGAIN : ENODEV;
        } else {
            taken = std::move(*itFound);
            m_urbs.erase(itFound);
            UpdateNodeSignalLocked();
        }
    }
    if (nErrno != 0) {
        umockdev_ioctl_client_complete(pClient, -1, nErrno);
        return Reap::Completed;
    }
    if (!taken.inReport.empty())
        std::memcpy(taken.pBuffer->data, taken.inReport.data(), taken.inReport.size());
    auto* pUrb = As<usbdevfs_urb>(taken.pUrb);
    pUrb->status = taken.nStatus;
    pUrb->actual_length = taken.nActualLength;
    DataPtr pSlot = Resolve(umockdev_ioctl_client_get_arg(pClient), 0, sizeof(void*));
    if (!pSlot || !umockdev_ioctl_data_set_ptr(pSlot.get(), 0, taken.pUrb.get())) {
        umockdev_ioctl_client_complete(pClient, -1, EFAULT);
        return Reap::Completed;
    }
    umockdev_ioctl_client_complete(pClient, 0, 0);
    return Reap::Completed;
}

CUsbfsDevice::Result CUsbfsDevice::DiscardUrb(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    const gulong ulAddress = ArgumentValue(pArg);
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    for (Urb& urb : m_urbs) {
        if (urb.pClient == pClient && urb.ulAddress == ulAddress && !urb.bDone) {
            CompleteLocked(urb, -ENOENT, 0);
            return {0, 0};
        }
    }
    // Already completed (or never submitted): libusb then just reaps it.
    return {-1, EINVAL};
}

CUsbfsDevice::Result CUsbfsDevice::CheckInterfaceLocked(UMockdevIoctlClient* pClient, int nInterface)
{
    const auto it = m_interfaces.find(nInterface);
    if (it == m_interfaces.end())
        return {-1, ENOENT};
    Interface& interface = it->second;
    if (interface.pOwner == pClient)
        return {0, 0};
    if (interface.pOwner != nullptr || !interface.szKernelDriver.empty())
        return {-1, EBUSY};
    // usbfs claims implicitly on first use, as the kernel does.
    interface.pOwner = pClient;
    return {0, 0};
}

CUsbfsDevice::Result CUsbfsDevice::ClaimInterface(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    const std::optional<unsigned int> number = PointedUInt(pArg);
    if (!number)
        return {-1, EFAULT};
    const int nInterface = static_cast<int>(*number);
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    return CheckInterfaceLocked(pClient, nInterface);
}

void CUsbfsDevice::ReleaseClaimLocked(int nInterface)
{
    Interface& interface = m_interfaces[nInterface];
    // Unbinding usbfs kills the owner's URBs on that interface.
    for (Urb& urb : m_urbs) {
        if (urb.pClient == interface.pOwner && urb.nInterface == nInterface && !urb.bDone)
            CompleteLocked(urb, -ENOENT, 0);
    }
    interface.pOwner = nullptr;
    interface.queued.clear();
}

CUsbfsDevice::Result CUsbfsDevice::ReleaseInterface(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    const std::optional<unsigned int> number = PointedUInt(pArg);
    if (!number)
        return {-1, EFAULT};
    const int nInterface = static_cast<int>(*number);
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    const auto it = m_interfaces.find(nInterface);
    if (it == m_interfaces.end() || it->second.pOwner != pClient)
        return {-1, EINVAL};
    ReleaseClaimLocked(nInterface);
    return {0, 0};
}

CUsbfsDevice::Result CUsbfsDevice::GetDriver(UMockdevIoctlData* pArg)
{
    DataPtr pQuery = Resolve(pArg, 0, sizeof(usbdevfs_getdriver));
    if (!pQuery)
        return {-1, EFAULT};
    auto* pGetDriver = As<usbdevfs_getdriver>(pQuery);
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    const auto it = m_interfaces.find(static_cast<int>(pGetDriver->interface));
    if (it == m_interfaces.end())
        return {-1, ENODATA};
    const std::string szDriver = it->second.pOwner != nullptr ? std::string("usbfs") : it->second.szKernelDriver;
    if (szDriver.empty())
        return {-1, ENODATA};
    std::memset(pGetDriver->driver, 0, sizeof pGetDriver->driver);
    std::strncpy(pGetDriver->driver, szDriver.c_str(), sizeof pGetDriver->driver - 1);
    return {0, 0};
}

CUsbfsDevice::Result CUsbfsDevice::DriverIoctl(UMockdevIoctlData* pArg)
{
    DataPtr pCommand = Resolve(pArg, 0, sizeof(usbdevfs_ioctl));
    if (!pCommand)
        return {-1, EFAULT};
    const usbdevfs_ioctl command = *As<usbdevfs_ioctl>(pCommand);
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    const auto it = m_interfaces.find(command.ifno);
    if (it == m_interfaces.end())
        return {-1, EINVAL};
    Interface& interface = it->second;
    switch (static_cast<unsigned int>(command.ioctl_code)) {
    case USBDEVFS_DISCONNECT:
        // Whatever is bound goes, a usbfs claim of another client included.
        if (interface.pOwner != nullptr) {
            ReleaseClaimLocked(command.ifno);
            return {0, 0};
        }
        if (interface.szKernelDriver.empty())
            return {-1, ENODATA};
        interface.szKernelDriver.clear();
        return {0, 0};
    case USBDEVFS_CONNECT:
        if (interface.pOwner != nullptr || !interface.szKernelDriver.empty())
            return {-1, EBUSY};
        // Binds the driver the device was given, like a driver probe that
        // matches; without one no driver matches and the result is 0.
        if (m_spec.szDriver.empty())
            return {0, 0};
        interface.szKernelDriver = m_spec.szDriver;
        return {1, 0};
    default:
        return {-1, ENOTTY};
    }
}

CUsbfsDevice::Result CUsbfsDevice::DisconnectClaim(UMockdevIoctlClient* pClient, UMockdevIoctlData* pArg)
{
    DataPtr pRequest = Resolve(pArg, 0, sizeof(usbdevfs_disconnect_claim));
    if (!pRequest)
        return {-1, EFAULT};
    const usbdevfs_disconnect_claim request = *As<usbdevfs_disconnect_claim>(pRequest);
    const std::string szOnly(request.driver, strnlen(request.driver, sizeof request.driver));
    std::lock_guard lock(m_mutex);
    if (!m_bPresent)
        return {-1, ENODEV};
    const int nInterface = static_cast<int>(request.interface);
    const auto it = m_interfaces.find(nInterface);
    if (it == m_interfaces.end())
        return {-1, EINVAL};
    Interface& interface = it->second;
    const std::string szBound = interface.pOwner != nullptr ? std::string("usbfs") : interface.szKernelDriver;
    if (!szBound.empty() && interface.pOwner != pClient) {
        if ((request.flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) != 0 && szBound != szOnly)
            return {-1, EBUSY};
        if ((request.flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) != 0 && szBound == szOnly)
            return {-1, EBUSY};
        if (interface.pOwner != nullptr)
            ReleaseClaimLocked(nInterface);
        interface.szKernelDriver.clear();
    }
    return CheckInterfaceLocked(pClient, nInterface);
}

CUsbfsDevice::Result CUsbfsDevice::SimpleIoctl(UMockdevIoctlClient* pClient, unsigned int nRequest,
                                               UMockdevIoctlData* pArg)
{
    switch (nRequest) {
    case USBDEVFS_GET_CAPABILITIES: {
        DataPtr pCaps = Resolve(pArg, 0, sizeof(uint32_t));
        if (!pCaps)
            return {-1, EFAULT};
        std::lock_guard lock(m_mutex);
        if (!m_bPresent)
            return {-1, ENODEV};
        *As<uint32_t>(pCaps) = CAPABILITIES;
        return {0, 0};
    }
    case USBDEVFS_CONNECTINFO: {
        DataPtr pInfo = Resolve(pArg, 0, sizeof(usbdevfs_connectinfo));
        if (!pInfo)
            return {-1, EFAULT};
        As<usbdevfs_connectinfo>(pInfo)->devnum = static_cast<unsigned int>(m_spec.nAddress);
        As<usbdevfs_connectinfo>(pInfo)->slow = 0;
        break;
    }
    case USBDEVFS_GET_SPEED: {
        std::lock_guard lock(m_mutex);
        return m_bPresent ? Result{USB_SPEED_FULL, 0} : Result{-1, ENODEV};
    }
    case USBDEVFS_SETCONFIGURATION: {
        DataPtr pValue = Resolve(pArg, 0, sizeof(int));
        if (!pValue)
            return {-1, EFAULT};
        const int nValue = *As<int>(pValue);
        if (nValue != m_config.bConfigurationValue && nValue != -1 && nValue != 0)
            return {-1, EINVAL};
        break;
    }
    case USBDEVFS_SETINTERFACE: {
        DataPtr pSetting = Resolve(pArg, 0, sizeof(usbdevfs_setinterface));
        if (!pSetting)
            return {-1, EFAULT};
        const usbdevfs_setinterface setting = *As<usbdevfs_setinterface>(pSetting);
        std::lock_guard lock(m_mutex);
        if (!m_bPresent)
            return {-1, ENODEV};
        const Result claim = CheckInterfaceLocked(pClient, static_cast<int>(setting.interface));
        if (claim.nErrno != 0)
            return claim;
        return setting.altsetting == 0 ? Result{0, 0} : Result{-1, EINVAL};
    }
    case USBDEVFS_CLEAR_HALT:
    case USBDEVFS_RESETEP: {
        const std::optional<unsigned int> endpoint = PointedUInt(pArg);
        if (!endpoint)
            return {-1, EFAULT};
        const auto bEndpoint = static_cast<uint8_t>(*endpoint);
        std::lock_guard lock(m_mutex);
        if (!m_bPresent)
            return {-1, ENODEV};
        const auto it = m_config.endpoints.find(bEndpoint);
        if (it == m_config.endpoints.end())
            return {-1, ENOENT};
        return CheckInterfaceLocked(pClient, it->second.nInterface);
    }
    case USBDEVFS_RESET:
        break;
    default:
        return {-1, ENOTTY};
    }
    std::lock_guard lock(m_mutex);
    return m_bPresent ? Result{0, 0} : Result{-1, ENODEV};
}

void CUsbfsDevice::ForgetClient(UMockdevIoctlClient* pClient)
{
    // Closing the fd: the kernel kills the client's URBs and drops its claims.
    std::lock_guard lock(m_mutex);
    m_urbs.remove_if([pClient](const Urb& urb) { return urb.pClient == pClient; });
    for (auto& [nInterface, interface] : m_interfaces) {
        if (interface.pOwner == pClient) {
            interface.pOwner = nullptr;
            interface.queued.clear();
        }
    }
    const auto itParked = std::find(m_parked.begin(), m_parked.end(), pClient);
    if (itParked != m_parked.end()) {
        g_object_unref(*itParked);
        m_parked.erase(itParked);
    }
    UpdateNodeSignalLocked();
}

}  // namespace kyrsim
