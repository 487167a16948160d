#include "EventSink.h"

#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>

#include <algorithm>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

namespace kyrtouch {

namespace {

// libevdev creates the device; its descriptor takes the batched frames.
class UinputDevice : public FdEventWriter {
public:
    UinputDevice(libevdev* pDev, libevdev_uinput* pUinput)
        : FdEventWriter(libevdev_uinput_get_fd(pUinput)), m_pDev(pDev), m_pUinput(pUinput)
    {
    }
    ~UinputDevice() override
    {
        libevdev_uinput_destroy(m_pUinput);
        libevdev_free(m_pDev);
    }

private:
    libevdev* m_pDev;
    libevdev_uinput* m_pUinput;
};

class UinputSink : public IEventSink {
public:
    std::unique_ptr<IEventDevice> Create(const DeviceSetup& setup, std::string& szError) override
    {
        libevdev* pDev = libevdev_new();
        libevdev_set_name(pDev, setup.szName.c_str());
        libevdev_set_id_bustype(pDev, setup.nBusType);
        libevdev_set_id_vendor(pDev, setup.nVendor);
        libevdev_set_id_product(pDev, setup.nProduct);
        libevdev_set_id_version(pDev, setup.nVersion);
        for (uint16_t nProp : setup.props)
            libevdev_enable_property(pDev, nProp);
        for (const auto& [nType, nCode] : setup.events)
            libevdev_enable_event_code(pDev, nType, nCode, nullptr);
        for (const AbsAxis& axis : setup.axes) {
            input_absinfo info{};
            info.minimum = axis.nMin;
            info.maximum = axis.nMax;
            info.fuzz = axis.nFuzz;
            info.flat = axis.nFlat;
            info.resolution = axis.nResolution;
            libevdev_enable_event_code(pDev, EV_ABS, axis.nCode, &info);
        }
        libevdev_uinput* pUinput = nullptr;
        const int nResult = libevdev_uinput_create_from_device(pDev, LIBEVDEV_UINPUT_OPEN_MANAGED, &pUinput);
        if (nResult == -EACCES || nResult == -EPERM) {
            // The usual cause on a fresh system: say which node and what grants it.
            szError = std::string("cannot open /dev/uinput: ") + std::strerror(-nResult) +
                      "; the bridge needs write access to it (run as root, or in a group the node is granted to)";
            libevdev_free(pDev);
            return nullptr;
        }
        if (nResult != 0) {
            szError = std::string("cannot create the uinput device: ") + std::strerror(-nResult);
            libevdev_free(pDev);
            return nullptr;
        }
        return std::make_unique<UinputDevice>(pDev, pUinput);
    }
};

// The highest code of each event type a description lists, in the order
// it lists them; type 0 holds the event types themselves.
constexpr std::pair<uint16_t, int> s_MaskTypes[] = {{0, EV_MAX},        {EV_KEY, KEY_MAX}, {EV_REL, REL_MAX},
                                                    {EV_ABS, ABS_MAX},  {EV_MSC, MSC_MAX}, {EV_SW, SW_MAX},
                                                    {EV_LED, LED_MAX},  {EV_SND, SND_MAX}, {EV_REP, REP_MAX},
                                                    {EV_FF, FF_MAX}};

// Bits as evemu lists them: bytes from the lowest codes on, eight to a line,
// as many lines as the type's highest code needs.
void PrintBits(FILE* out, const std::string& szPrefix, const std::vector<uint16_t>& codes, int nMax)
{
    std::vector<unsigned char> bytes(static_cast<size_t>(nMax / 64 + 1) * 8, 0);
    for (uint16_t n : codes)
        bytes[n / 8] |= static_cast<unsigned char>(1u << (n % 8));
    for (size_t i = 0; i < bytes.size(); i += 8) {
        std::fprintf(out, "%s", szPrefix.c_str());
        for (size_t k = i; k < i + 8; ++k)
            std::fprintf(out, " %02x", bytes[k]);
        std::fprintf(out, "\n");
    }
}

class EvemuSink;

class EvemuDevice : public IEventDevice {
public:
    EvemuDevice(EvemuSink& sink, std::string szName, std::chrono::steady_clock::time_point created)
        : m_Sink(sink), m_szName(std::move(szName)), m_Created(created)
    {
    }
    void Write(uint16_t nType, uint16_t nCode, int32_t nValue) override;

private:
    EvemuSink& m_Sink;
    std::string m_szName;
    std::chrono::steady_clock::time_point m_Created; // event times count from here, as from UI_DEV_CREATE
};

// Lifetime: outlives its devices (the bridge destroys them before the sink).
class EvemuSink : public IEventSink {
public:
    explicit EvemuSink(FILE* out) : m_Out(out) {}

    std::unique_ptr<IEventDevice> Create(const DeviceSetup& setup, std::string&) override
    {
        std::lock_guard lock(m_csOut);
        std::fprintf(m_Out, "# EVEMU 1.3\nN: %s\nI: %04x %04x %04x %04x\n", setup.szName.c_str(), setup.nBusType,
                     setup.nVendor, setup.nProduct, setup.nVersion);
        PrintBits(m_Out, "P:", setup.props, INPUT_PROP_MAX);
        std::vector<AbsAxis> axes = setup.axes;
        std::sort(axes.begin(), axes.end(), [](const AbsAxis& a, const AbsAxis& b) { return a.nCode < b.nCode; });
        std::map<uint16_t, std::vector<uint16_t>> codes;
        codes[0].push_back(EV_SYN); // libevdev enables it on every device
        for (const auto& [nType, nCode] : setup.events) {
            codes[0].push_back(nType);
            codes[nType].push_back(nCode);
        }
        for (const AbsAxis& axis : axes) {
            codes[0].push_back(EV_ABS);
            codes[EV_ABS].push_back(axis.nCode);
        }
        for (const auto& [nType, nMax] : s_MaskTypes) {
            char szPrefix[16];
            std::snprintf(szPrefix, sizeof szPrefix, "B: %02x", nType);
            PrintBits(m_Out, szPrefix, codes[nType], nMax);
        }
        for (const AbsAxis& axis : axes)
            std::fprintf(m_Out, "A: %02x %d %d %d %d %d\n", axis.nCode, axis.nMin, axis.nMax, axis.nFuzz, axis.nFlat,
                         axis.nResolution);
        std::fflush(m_Out);
        // The description names the device whose events may follow unannounced.
        auto pDevice = std::make_unique<EvemuDevice>(*this, setup.szName, std::chrono::steady_clock::now());
        m_pLastWriter = pDevice.get();
        return pDevice;
    }

    void Write(const EvemuDevice* pDevice, const std::string& szName, std::chrono::steady_clock::time_point created,
               uint16_t nType, uint16_t nCode, int32_t nValue)
    {
        std::lock_guard lock(m_csOut);
        if (m_pLastWriter != nullptr && m_pLastWriter != pDevice)
            std::fprintf(m_Out, "# %s\n", szName.c_str());
        m_pLastWriter = pDevice;
        const auto us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - created)
                            .count();
        std::fprintf(m_Out, "E: %lu.%06u %04x %04x %04d\n", static_cast<unsigned long>(us / 1000000),
                     static_cast<unsigned>(us % 1000000), nType, nCode, nValue);
        if (nType == EV_SYN && nCode == SYN_REPORT)
            std::fflush(m_Out);
    }

private:
    std::mutex m_csOut;
    FILE* m_Out;                                 // guarded by m_csOut
    const void* m_pLastWriter = nullptr;         // guarded by m_csOut
};

void EvemuDevice::Write(uint16_t nType, uint16_t nCode, int32_t nValue)
{
    m_Sink.Write(this, m_szName, m_Created, nType, nCode, nValue);
}

} // namespace

void FdEventWriter::Write(uint16_t nType, uint16_t nCode, int32_t nValue)
{
    input_event event{};
    // The kernel stamps events written to uinput; the time is left zero.
    event.type = nType;
    event.code = nCode;
    event.value = nValue;
    const auto* p = reinterpret_cast<const unsigned char*>(&event);
    m_Pending.insert(m_Pending.end(), p, p + sizeof event);
    if (nType != EV_SYN || nCode != SYN_REPORT)
        return;
    size_t nDone = 0;
    while (nDone < m_Pending.size()) {
        const ssize_t n = write(m_fd, m_Pending.data() + nDone, m_Pending.size() - nDone);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ++m_nFailures;
            break;
        }
        nDone += static_cast<size_t>(n);
    }
    m_Pending.clear();
}

std::unique_ptr<IEventSink> MakeUinputSink()
{
    return std::make_unique<UinputSink>();
}

std::unique_ptr<IEventSink> MakeEvemuSink(FILE* out)
{
    return std::make_unique<EvemuSink>(out);
}

} // namespace kyrtouch
