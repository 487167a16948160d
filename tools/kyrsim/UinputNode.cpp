#include "UinputNode.h"

#include "UsbfsDevice.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <linux/uinput.h>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace kyrsim {

namespace {

constexpr char kNode[] = "/dev/uinput";

// Highest code of each event type that has codes; type 0 lists the types.
int MaxCode(size_t nType)
{
    switch (nType) {
    case 0: return EV_MAX;
    case EV_KEY: return KEY_MAX;
    case EV_REL: return REL_MAX;
    case EV_ABS: return ABS_MAX;
    case EV_MSC: return MSC_MAX;
    case EV_SW: return SW_MAX;
    case EV_LED: return LED_MAX;
    case EV_SND: return SND_MAX;
    case EV_REP: return REP_MAX;
    case EV_FF: return FF_MAX;
    default: return -1;
    }
}

// The event type whose codes a UI_SET_*BIT request sets.
std::optional<uint16_t> BitType(unsigned long ulRequest)
{
    switch (ulRequest) {
    case UI_SET_EVBIT: return 0;
    case UI_SET_KEYBIT: return EV_KEY;
    case UI_SET_RELBIT: return EV_REL;
    case UI_SET_ABSBIT: return EV_ABS;
    case UI_SET_MSCBIT: return EV_MSC;
    case UI_SET_LEDBIT: return EV_LED;
    case UI_SET_SNDBIT: return EV_SND;
    case UI_SET_FFBIT: return EV_FF;
    case UI_SET_SWBIT: return EV_SW;
    default: return std::nullopt;
    }
}

DataPtr Resolve(UMockdevIoctlData* pParent, size_t nLength)
{
    GError* pError = nullptr;
    UMockdevIoctlData* pData = umockdev_ioctl_data_resolve(pParent, 0, nLength, &pError);
    g_clear_error(&pError);
    return DataPtr(pData);
}

unsigned long ArgumentValue(UMockdevIoctlData* pArg)
{
    unsigned long ulValue = 0;
    std::memcpy(&ulValue, pArg->data, std::min(sizeof ulValue, static_cast<size_t>(pArg->data_len)));
    return ulValue;
}

std::string Hex(const char* szFormat, unsigned nValue)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, szFormat, nValue);
    return buffer;
}

// Bit n of a set, as evemu prints masks: bytes from the lowest codes on, 8 a
// line, as many lines as nMax needs.
void MaskLines(std::vector<std::string>& lines, const std::string& szPrefix, const std::set<uint16_t>& bits, int nMax)
{
    const size_t nBytes = (static_cast<size_t>(nMax) / 64 + 1) * 8;
    std::vector<uint8_t> mask(nBytes);
    for (uint16_t wBit : bits)
        mask[wBit / 8] |= static_cast<uint8_t>(1u << (wBit % 8));
    for (size_t nLine = 0; nLine < nBytes; nLine += 8) {
        std::string szLine = szPrefix;
        for (size_t n = nLine; n < nLine + 8; ++n)
            szLine += Hex(" %02x", mask[n]);
        lines.push_back(szLine);
    }
}

}  // namespace

std::vector<std::string> EvemuLines(const UinputRecord& record, size_t nIndex, bool bAll, size_t nFrom)
{
    std::vector<std::string> lines;
    if (bAll) {
        lines.push_back("# EVEMU 1.3");
        lines.push_back("# kyrsim uinput device " + std::to_string(nIndex) + (record.bAlive ? ", alive" : ", destroyed"));
        lines.push_back("N: " + record.szName);
        lines.push_back("I: " + Hex("%04x", record.wBus) + Hex(" %04x", record.wVendor) + Hex(" %04x", record.wProduct) +
                        Hex(" %04x", record.wVersion));
        MaskLines(lines, "P:", record.properties, INPUT_PROP_MAX);
        for (size_t nType = 0; nType < record.codes.size(); ++nType) {
            if (MaxCode(nType) >= 0)
                MaskLines(lines, "B:" + Hex(" %02x", static_cast<unsigned>(nType)), record.codes[nType], MaxCode(nType));
        }
        for (uint16_t wCode : record.codes[EV_ABS]) {
            const auto it = record.axes.find(wCode);
            const UinputAxis axis = it != record.axes.end() ? it->second : UinputAxis{};
            char buffer[96];
            std::snprintf(buffer, sizeof buffer, "A: %02x %d %d %d %d %d", wCode, axis.nMinimum, axis.nMaximum,
                          axis.nFuzz, axis.nFlat, axis.nResolution);
            lines.push_back(buffer);
        }
        nFrom = 0;
    }
    for (size_t n = nFrom; n < record.events.size(); ++n) {
        const UinputEvent& event = record.events[n];
        char buffer[80];
        std::snprintf(buffer, sizeof buffer, "E: %lu.%06u %04x %04x %04d",
                      static_cast<unsigned long>(event.qwMicros / 1000000),
                      static_cast<unsigned>(event.qwMicros % 1000000), event.wType, event.wCode, event.nValue);
        lines.push_back(buffer);
    }
    return lines;
}

CUinputNode::CUinputNode(CTestbed& testbed, bool bDeny)
{
    const std::string szPath = testbed.RootDir() + kNode;
    if (g_mkdir_with_parents((testbed.RootDir() + "/dev").c_str(), 0755) != 0)
        throw std::system_error(errno, std::generic_category(), "create " + testbed.RootDir() + "/dev");
    // Any file will do: umockdev hands its ioctls, reads and writes to us.
    const int fd = open(szPath.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "create " + szPath);
    close(fd);
    // Regardless of umask; udev gives the input group access, we give everyone.
    chmod(szPath.c_str(), bDeny ? 0 : 0666);
    m_pHandler = umockdev_ioctl_base_new();
    g_signal_connect(m_pHandler, "handle-ioctl", G_CALLBACK(OnHandleIoctl), this);
    g_signal_connect(m_pHandler, "handle-write", G_CALLBACK(OnHandleWrite), this);
    g_signal_connect(m_pHandler, "handle-read", G_CALLBACK(OnHandleRead), this);
    testbed.AttachIoctl(kNode, m_pHandler);
}

CUinputNode::~CUinputNode()
{
    g_signal_handlers_disconnect_by_data(m_pHandler, this);
    g_object_unref(m_pHandler);
    for (auto& entry : m_files)
        g_object_weak_unref(G_OBJECT(entry.first), OnClientFinalized, this);
}

// ---- the testbed's ioctl thread ----------------------------------------------

gboolean CUinputNode::OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf)
{
    const Result result = static_cast<CUinputNode*>(pSelf)->Ioctl(pClient);
    umockdev_ioctl_client_complete(pClient, result.lResult, result.nErrno);
    return TRUE;
}

gboolean CUinputNode::OnHandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf)
{
    const Result result = static_cast<CUinputNode*>(pSelf)->Write(pClient);
    umockdev_ioctl_client_complete(pClient, result.lResult, result.nErrno);
    return TRUE;
}

gboolean CUinputNode::OnHandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer)
{
    // The kernel queues force-feedback requests here; we never have any.
    umockdev_ioctl_client_complete(pClient, -1, EAGAIN);
    return TRUE;
}

void CUinputNode::OnClientFinalized(gpointer pSelf, GObject* pClient)
{
    auto* pNode = static_cast<CUinputNode*>(pSelf);
    std::lock_guard lock(pNode->m_mutex);
    const auto it = pNode->m_files.find(reinterpret_cast<UMockdevIoctlClient*>(pClient));
    if (it == pNode->m_files.end())
        return;
    // Closing the file destroys its device.
    pNode->DestroyLocked(it->second);
    pNode->m_files.erase(it);
}

CUinputNode::File& CUinputNode::FileLocked(UMockdevIoctlClient* pClient)
{
    const auto [it, bNew] = m_files.try_emplace(pClient);
    if (bNew)
        g_object_weak_ref(G_OBJECT(pClient), OnClientFinalized, this);
    return it->second;
}

void CUinputNode::DestroyLocked(File& file)
{
    if (file.state == State::Created)
        m_devices[file.nDevice].bAlive = false;
    file = File{};
}

CUinputNode::Result CUinputNode::SetBitLocked(File& file, uint16_t wType, unsigned long ulCode)
{
    if (file.state == State::Created || ulCode > static_cast<unsigned long>(MaxCode(wType)))
        return {-1, EINVAL};
    file.setup.codes[wType].insert(static_cast<uint16_t>(ulCode));
    return {};
}

CUinputNode::Result CUinputNode::CreateLocked(File& file)
{
    if (file.state != State::SetUp)
        return {-1, EINVAL};
    for (uint16_t wCode : file.setup.codes[EV_ABS]) {
        const auto it = file.setup.axes.find(wCode);
        if (it != file.setup.axes.end() && it->second.nMinimum > it->second.nMaximum)
            return {-1, EINVAL};
    }
    file.setup.bAlive = true;
    file.setup.created = std::chrono::steady_clock::now();
    file.nDevice = m_devices.size();
    m_devices.push_back(std::move(file.setup));
    file.setup = UinputRecord{};
    file.state = State::Created;
    return {};
}

CUinputNode::Result CUinputNode::Ioctl(UMockdevIoctlClient* pClient)
{
    const unsigned long ulRequest = umockdev_ioctl_client_get_request(pClient);
    UMockdevIoctlData* pArg = umockdev_ioctl_client_get_arg(pClient);

    // Requests that read the caller's memory resolve it before taking the lock.
    if (ulRequest == UI_GET_VERSION) {
        DataPtr pVersion = Resolve(pArg, sizeof(unsigned int));
        if (!pVersion)
            return {-1, EFAULT};
        const unsigned int nVersion = UINPUT_VERSION;
        std::memcpy(pVersion->data, &nVersion, sizeof nVersion);
        return {};
    }
    if (ulRequest == UI_DEV_SETUP) {
        DataPtr pSetup = Resolve(pArg, sizeof(uinput_setup));
        if (!pSetup)
            return {-1, EFAULT};
        uinput_setup setup;
        std::memcpy(&setup, pSetup->data, sizeof setup);
        std::lock_guard lock(m_mutex);
        File& file = FileLocked(pClient);
        if (file.state == State::Created)
            return {-1, EINVAL};
        file.setup.szName.assign(setup.name, strnlen(setup.name, sizeof setup.name));
        file.setup.wBus = setup.id.bustype;
        file.setup.wVendor = setup.id.vendor;
        file.setup.wProduct = setup.id.product;
        file.setup.wVersion = setup.id.version;
        file.state = State::SetUp;
        return {};
    }
    if (ulRequest == UI_ABS_SETUP) {
        DataPtr pSetup = Resolve(pArg, sizeof(uinput_abs_setup));
        if (!pSetup)
            return {-1, EFAULT};
        uinput_abs_setup setup;
        std::memcpy(&setup, pSetup->data, sizeof setup);
        if (setup.code > ABS_MAX)
            return {-1, ERANGE};
        std::lock_guard lock(m_mutex);
        File& file = FileLocked(pClient);
        if (file.state == State::Created)
            return {-1, EINVAL};
        const input_absinfo& info = setup.absinfo;
        file.setup.axes[setup.code] = UinputAxis{info.minimum, info.maximum, info.fuzz, info.flat, info.resolution};
        return {};
    }
    if (ulRequest == UI_SET_PHYS) {
        // A string of unknown length: the caller's memory byte by byte, as
        // far as it can be read. Nobody reads it back, so only its bounds matter.
        for (size_t n = 1; n <= 1024; ++n) {
            DataPtr pPhys = Resolve(pArg, n);
            if (!pPhys)
                return {-1, EFAULT};
            if (pPhys->data[n - 1] == 0)
                break;
        }
        std::lock_guard lock(m_mutex);
        return FileLocked(pClient).state == State::Created ? Result{-1, EINVAL} : Result{};
    }
    if (_IOC_TYPE(ulRequest) == UINPUT_IOCTL_BASE && _IOC_NR(ulRequest) == _IOC_NR(UI_GET_SYSNAME(0)) &&
        _IOC_DIR(ulRequest) == _IOC_READ) {
        std::string szName;
        {
            std::lock_guard lock(m_mutex);
            const File& file = FileLocked(pClient);
            if (file.state != State::Created)
                return {-1, ENOENT};
            szName = "input" + std::to_string(file.nDevice);
        }
        const size_t nLength = std::min(static_cast<size_t>(_IOC_SIZE(ulRequest)), szName.size() + 1);
        DataPtr pName = Resolve(pArg, nLength);
        if (nLength != 0 && !pName)
            return {-1, EFAULT};
        if (pName)
            std::memcpy(pName->data, szName.c_str(), nLength);
        return {static_cast<long>(nLength), 0};
    }

    std::lock_guard lock(m_mutex);
    File& file = FileLocked(pClient);
    if (const std::optional<uint16_t> type = BitType(ulRequest))
        return SetBitLocked(file, *type, ArgumentValue(pArg));
    switch (ulRequest) {
    case UI_SET_PROPBIT:
        if (file.state == State::Created || ArgumentValue(pArg) > INPUT_PROP_MAX)
            return {-1, EINVAL};
        file.setup.properties.insert(static_cast<uint16_t>(ArgumentValue(pArg)));
        return {};
    case UI_DEV_CREATE:
        return CreateLocked(file);
    case UI_DEV_DESTROY:
        DestroyLocked(file);
        return {};
    default:
        return {-1, EINVAL};
    }
}

CUinputNode::Result CUinputNode::Write(UMockdevIoctlClient* pClient)
{
    UMockdevIoctlData* pBuffer = umockdev_ioctl_client_get_arg(pClient);
    const auto nCount = static_cast<size_t>(pBuffer->data_len);
    const uint8_t* pData = pBuffer->data;
    const auto now = std::chrono::steady_clock::now();
    std::lock_guard lock(m_mutex);
    File& file = FileLocked(pClient);
    if (file.state != State::Created) {
        // The setup of uinput before version 5.
        if (nCount != sizeof(uinput_user_dev))
            return {-1, EINVAL};
        uinput_user_dev user;
        std::memcpy(&user, pData, sizeof user);
        file.setup.szName.assign(user.name, strnlen(user.name, sizeof user.name));
        file.setup.wBus = user.id.bustype;
        file.setup.wVendor = user.id.vendor;
        file.setup.wProduct = user.id.product;
        file.setup.wVersion = user.id.version;
        for (uint16_t wCode = 0; wCode <= ABS_MAX; ++wCode) {
            if (user.absmin[wCode] != 0 || user.absmax[wCode] != 0 || user.absfuzz[wCode] != 0 ||
                user.absflat[wCode] != 0)
                file.setup.axes[wCode] = UinputAxis{user.absmin[wCode], user.absmax[wCode], user.absfuzz[wCode],
                                                    user.absflat[wCode], 0};
        }
        file.state = State::SetUp;
        return {static_cast<long>(nCount), 0};
    }
    if (nCount != 0 && nCount < sizeof(input_event))
        return {-1, EINVAL};
    UinputRecord& record = m_devices[file.nDevice];
    const auto qwMicros = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(now - record.created).count());
    const size_t nEvents = nCount / sizeof(input_event);
    for (size_t n = 0; n < nEvents; ++n) {
        input_event event;
        std::memcpy(&event, pData + n * sizeof event, sizeof event);
        record.events.push_back(UinputEvent{qwMicros, event.type, event.code, event.value});
    }
    return {static_cast<long>(nEvents * sizeof(input_event)), 0};
}

// ---- control requests (main loop) -------------------------------------------

std::string CUinputNode::HandleRequest(const std::vector<std::string>& words) const
{
    const auto number = [](const std::string& szText) -> std::optional<size_t> {
        if (szText.empty() || szText.size() > 9 || szText.find_first_not_of("0123456789") != std::string::npos)
            return std::nullopt;
        return static_cast<size_t>(std::stoul(szText));
    };
    std::vector<std::string> lines;
    {
        std::lock_guard lock(m_mutex);
        if (words.size() == 1) {
            for (size_t n = 0; n < m_devices.size(); ++n) {
                const UinputRecord& record = m_devices[n];
                lines.push_back(std::to_string(n) + (record.bAlive ? " alive " : " destroyed ") +
                                std::to_string(record.events.size()) + " " + record.szName);
            }
        } else if (words.size() <= 3) {
            const std::optional<size_t> device = number(words[1]);
            const std::optional<size_t> from = words.size() == 3 ? number(words[2]) : std::optional<size_t>(0);
            if (!device || !from)
                return "error usage: uinput [K [FROM]]";
            if (*device >= m_devices.size())
                return "error no uinput device " + words[1];
            lines = EvemuLines(m_devices[*device], *device, words.size() == 2, *from);
        } else {
            return "error usage: uinput [K [FROM]]";
        }
    }
    std::string szReply = "ok " + std::to_string(lines.size());
    for (const std::string& szLine : lines)
        szReply += "\n" + szLine;
    return szReply;
}

}  // namespace kyrsim
