#include "Tool.h"

#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <memory>
#include <sstream>

#include "KyrDeviceIds.h"

#ifndef KYRHID_UDEV_RULE
#define KYRHID_UDEV_RULE "/usr/lib/udev/rules.d/70-kyrhid.rules"
#endif
#ifndef KYRHID_UDEV_RULE_FROM_BIN
#define KYRHID_UDEV_RULE_FROM_BIN "" // the rule has an absolute place
#endif
#ifndef KYRHID_UDEV_GROUP
#define KYRHID_UDEV_GROUP "plugdev"
#endif
#ifndef KYRHID_VERSION
#define KYRHID_VERSION "0.0.0"
#endif

namespace kyrhid {

std::atomic<bool> g_bStopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

int ExitCodeOf(int nError)
{
    switch (nError) {
    case KYR_SUCCESS: return ExitOk;
    case KYR_ERROR_NO_DEVICE: return ExitNoDevice;
    case KYR_ERROR_ACCESS_DENIED: return ExitAccessDenied;
    case KYR_ERROR_DEVICE_BUSY: return ExitBusy;
    case KYR_ERROR_TIMEOUT: return ExitTimeout;
    case KYR_ERROR_FIRMWARE_DOWNLOAD: return ExitFirmwareDownload;
    default: return ExitFailure;
    }
}

const std::vector<unsigned short>& KnownProducts()
{
    static const std::vector<unsigned short> products = {
        KYR_USB_PRODUCT_ID_MODEL1, KYR_USB_PRODUCT_ID_MODEL2, KYR_USB_PRODUCT_ID_MODEL3,
        KYR_USB_PRODUCT_ID_MODEL4, KYR_USB_PRODUCT_ID_MODEL5, KYR_USB_PRODUCT_ID_VIRTUAL};
    return products;
}

unsigned short DefaultInterface(unsigned short nProductID)
{
    return nProductID == KYR_USB_PRODUCT_ID_VIRTUAL ? KYR_USB_VIRTUAL_INTERFACE : KYR_USB_MODEL_INTERFACE;
}

namespace {

// What the descriptors say of one attached device of the family.
struct Attached {
    unsigned short nProductID;
    unsigned nBus;
    unsigned nAddress;
    unsigned nInterfaces; // of the active configuration
    bool bAccess;
};

// In the system's device-list order, which the library's indexes follow.
std::vector<Attached> AttachedDevices(unsigned short nVendorID)
{
    std::vector<Attached> devices;
    libusb_context* pContext = nullptr;
    if (libusb_init(&pContext) != LIBUSB_SUCCESS)
        return devices;
    libusb_device** ppList = nullptr;
    const ssize_t nDevices = libusb_get_device_list(pContext, &ppList);
    for (ssize_t i = 0; i < nDevices; ++i) {
        libusb_device* pDevice = ppList[i];
        libusb_device_descriptor desc{};
        libusb_config_descriptor* pConfig = nullptr;
        if (libusb_get_device_descriptor(pDevice, &desc) != LIBUSB_SUCCESS || desc.idVendor != nVendorID ||
            libusb_get_active_config_descriptor(pDevice, &pConfig) != LIBUSB_SUCCESS)
            continue;
        Attached device{desc.idProduct, libusb_get_bus_number(pDevice), libusb_get_device_address(pDevice),
                        pConfig->bNumInterfaces, false};
        libusb_free_config_descriptor(pConfig);
        // What libusb_open needs, asked of the node without opening it.
        char szNode[64];
        std::snprintf(szNode, sizeof szNode, "/dev/bus/usb/%03u/%03u", device.nBus, device.nAddress);
        device.bAccess = access(szNode, R_OK | W_OK) == 0;
        devices.push_back(device);
    }
    if (nDevices >= 0)
        libusb_free_device_list(ppList, 1);
    libusb_exit(pContext);
    return devices;
}

// Interfaces are counted upwards until none matches: a device with N
// interfaces matches every nMI below N.
void EnumerateKind(unsigned short nVendorID, unsigned short nProductID, const std::vector<Attached>& devices,
                   std::vector<DeviceEntry>& entries)
{
    for (unsigned short nMI = 0; nMI < 32; ++nMI) {
        unsigned short nIndex = 0;
        for (const Attached& device : devices) {
            if (device.nProductID != nProductID || device.nInterfaces <= nMI)
                continue;
            DeviceEntry entry;
            entry.nVendorID = nVendorID;
            entry.nProductID = nProductID;
            entry.nMI = nMI;
            entry.nIndex = nIndex++;
            entry.nBus = device.nBus;
            entry.nAddress = device.nAddress;
            entry.bAccess = device.bAccess;
            char szPath[32];
            std::snprintf(szPath, sizeof szPath, "%04x:%04x:%02x", device.nBus, device.nAddress, nMI);
            entry.szPath = szPath;
            entries.push_back(std::move(entry));
        }
        if (nIndex == 0)
            break;
    }
}

// The installed rule sits where the install put it relative to this program,
// whatever prefix the install was given; the configured place otherwise (a
// program run from the build tree).
std::string UdevRulePath()
{
    const std::filesystem::path relative(KYRHID_UDEV_RULE_FROM_BIN);
    std::error_code error;
    if (!relative.empty()) {
        const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
        const std::filesystem::path rule = (self.parent_path() / relative).lexically_normal();
        if (!error && std::filesystem::exists(rule, error))
            return rule.string();
    }
    return KYRHID_UDEV_RULE;
}

} // namespace

std::optional<DevicePath> ParsePath(const std::string& szPath)
{
    DevicePath path;
    int nEnd = 0;
    if (std::sscanf(szPath.c_str(), "%4x:%4x:%2x%n", &path.nBus, &path.nAddress, &path.nMI, &nEnd) != 3 ||
        static_cast<size_t>(nEnd) != szPath.size() || szPath.find_first_of(" +-") != std::string::npos)
        return std::nullopt;
    return path;
}

std::vector<DeviceEntry> EnumerateDevices(unsigned short nVendorID, unsigned short nProductID)
{
    const std::vector<Attached> devices = AttachedDevices(nVendorID);
    std::vector<DeviceEntry> entries;
    if (nProductID != 0) {
        EnumerateKind(nVendorID, nProductID, devices, entries);
    } else {
        for (unsigned short nProduct : KnownProducts())
            EnumerateKind(nVendorID, nProduct, devices, entries);
    }
    return entries;
}

void PrintAccessHint()
{
    std::fprintf(stderr,
                 "  The device node is not open to you. The udev rule %s\n"
                 "  gives it to the group %s (udev reads only /etc/udev/rules.d and /usr/lib/udev/rules.d:\n"
                 "  copy it there if it is elsewhere). Add yourself to the group (sudo usermod -aG %s $USER,\n"
                 "  then log in again), reload the rules (sudo udevadm control --reload; sudo udevadm\n"
                 "  trigger) or replug the device.\n",
                 UdevRulePath().c_str(), KYRHID_UDEV_GROUP, KYRHID_UDEV_GROUP);
}

std::string Quoted(const std::string& szText)
{
    constexpr size_t kShown = 40;
    if (szText.size() <= kShown)
        return "'" + szText + "'";
    return "'" + szText.substr(0, kShown) + "...' (" + std::to_string(szText.size()) + " characters)";
}

CLI::Validator AtLeastOne()
{
    return CLI::Validator(
        [](const std::string& s) {
            char* pEnd = nullptr;
            errno = 0;
            const long long n = std::strtoll(s.c_str(), &pEnd, 10);
            return !s.empty() && *pEnd == '\0' && errno == 0 && n >= 1 ? std::string()
                                                                       : "expected a whole number from 1 up, not " + s;
        },
        "N >= 1");
}

CLI::Validator AboveZero()
{
    return CLI::Validator(
        [](const std::string& s) {
            char* pEnd = nullptr;
            const double d = std::strtod(s.c_str(), &pEnd);
            return !s.empty() && *pEnd == '\0' && d > 0 && std::isfinite(d) ? std::string()
                                                                            : "expected a number above 0, not " + s;
        },
        "> 0");
}

void InstallStopSignals()
{
    struct sigaction action {};
    action.sa_handler = [](int) { g_bStopRequested.store(true, std::memory_order_relaxed); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

Progress::Progress(std::string szWhat)
    : m_szWhat(std::move(szWhat)), m_Start(std::chrono::steady_clock::now()), m_bTerminal(isatty(STDERR_FILENO) == 1)
{
}

Progress::~Progress()
{
    Done();
}

void Progress::Tick()
{
    if (!m_bTerminal)
        return;
    const long nSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - m_Start).count();
    if (nSeconds < 1 || nSeconds == m_nShownSeconds)
        return;
    m_nShownSeconds = nSeconds;
    m_bShown = true;
    std::fprintf(stderr, "\r%s ... %lds ", m_szWhat.c_str(), nSeconds);
    std::fflush(stderr);
}

void Progress::Done()
{
    if (m_bShown) {
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
    }
    m_bShown = false;
}

void Tool::AddSelectionOptions(CLI::App* pSub)
{
    CLI::Option_group* pGroup = pSub->add_option_group("Device selection");
    CLI::Option* pPath =
        pGroup->add_option("--path", m_szPath, "device path BBBB:AAAA:II as `kyrhid list` prints it")
            ->check([](const std::string& s) {
                return ParsePath(s) ? std::string()
                                    : "expected bus, address and interface in hex as `kyrhid list` prints them, "
                                      "e.g. 0003:0007:01";
            });
    CLI::Option* pBusDev =
        pGroup->add_option("-s", m_szBusDev, "BUS:DEV in decimal, as lsusb writes it")
            ->check([](const std::string& s) {
                unsigned nBus = 0, nDev = 0;
                char cExtra = 0;
                return std::sscanf(s.c_str(), "%u:%u%c", &nBus, &nDev, &cExtra) == 2 ? std::string()
                                                                                        : "expected BUS:DEV, e.g. 3:7";
            });
    pPath->excludes(pBusDev);
    pGroup->add_option("--vid", m_nVendorID, "vendor id (default: the Kyr family's)");
    pGroup->add_option("--pid", m_nProductID, "product id (default: the first Kyr device attached)");
    pGroup->add_option("--mi", m_nMI, "interface number (default: the one the product is driven through)");
    pGroup->add_option("--index", m_nIndex, "index among matching devices")->capture_default_str();
}

void Tool::AddProgramOptions(CLI::App& app)
{
    app.add_flag_callback(
        "-v,--verbose",
        [this] {
            m_bVerbose = true;
            KyrSetLogCallback(KYR_LOG_DEBUG, &Tool::OnLibraryLog, nullptr);
        },
        "show what the library does (its diagnostics) on stderr");
    app.set_version_flag("--version",
                         std::string("kyrhid ") + KYRHID_VERSION + " (library KyrHIDLib " + KyrGetVersion() + ")");
    app.footer("Exit status: 0 ok, 1 other failure, 2 usage, 3 no device, 4 access denied, 5 busy, 6 timeout,\n"
               "7 firmware download in progress.");
}

std::optional<DeviceEntry> Tool::Select(bool bQuiet)
{
    const auto miss = [&](const std::string& szMessage) {
        if (bQuiet)
            m_nExit = ExitNoDevice;
        else
            Fail(szMessage, ExitNoDevice);
    };
    const unsigned short nVendorID = m_nVendorID != 0 ? m_nVendorID : static_cast<unsigned short>(KYR_USB_VENDOR_ID);
    if (!m_szPath.empty() || !m_szBusDev.empty()) {
        unsigned nBus = 0, nDev = 0;
        std::optional<unsigned> nMI;
        if (!m_szBusDev.empty()) {
            std::sscanf(m_szBusDev.c_str(), "%u:%u", &nBus, &nDev);
        } else {
            const DevicePath path = *ParsePath(m_szPath);
            nBus = path.nBus;
            nDev = path.nAddress;
            nMI = path.nMI;
        }
        for (const DeviceEntry& entry : EnumerateDevices(nVendorID, m_nProductID)) {
            if (entry.nBus == nBus && entry.nAddress == nDev &&
                entry.nMI == nMI.value_or(m_nMI.value_or(DefaultInterface(entry.nProductID))))
                return entry;
        }
        miss("no Kyr device at " + (m_szPath.empty() ? "bus:device " + m_szBusDev : "path " + m_szPath) +
             " (see `kyrhid list`)");
        return std::nullopt;
    }
    DeviceEntry entry;
    entry.nVendorID = nVendorID;
    entry.nIndex = m_nIndex;
    if (m_nProductID != 0) {
        entry.nProductID = m_nProductID;
    } else {
        for (unsigned short nProduct : KnownProducts()) {
            if (KyrGetDeviceCount(nVendorID, nProduct, DefaultInterface(nProduct)) > 0) {
                entry.nProductID = nProduct;
                break;
            }
        }
        if (entry.nProductID == 0) {
            miss("no Kyr device attached (check the cable, then `kyrhid list`)");
            return std::nullopt;
        }
    }
    entry.nMI = m_nMI.value_or(DefaultInterface(entry.nProductID));
    return entry;
}

OpenDevice Tool::Open()
{
    std::optional<DeviceEntry> entry = Select();
    if (!entry)
        return OpenDevice();
    char szIds[64];
    std::snprintf(szIds, sizeof szIds, "%04x:%04x interface %u index %u", entry->nVendorID, entry->nProductID,
                  entry->nMI, entry->nIndex);
    Note(std::string("opening ") + szIds);
    KYR_HANDLE hDevice = KyrOpenDevice(entry->nVendorID, entry->nProductID, entry->nMI, entry->nIndex);
    if (hDevice == nullptr) {
        const int nError = KyrGetLastError();
        Fail(std::string("cannot open ") + szIds, nError);
        PrintOpenHint(nError, *entry);
        return OpenDevice();
    }
    OpenDevice device(hDevice);
    if (m_fnOpenHook && !m_fnOpenHook(device))
        return OpenDevice();
    return device;
}

void Tool::OnLibraryLog(int nLevel, const char* szMessage, void*)
{
    static const char* const levels[] = {"", "error", "warning", "info", "debug"};
    std::fprintf(stderr, "KyrHIDLib %s: %s\n", nLevel > 0 && nLevel <= KYR_LOG_DEBUG ? levels[nLevel] : "?", szMessage);
}

namespace {

// The program name of a process, from /proc; empty when it is gone.
std::string ProgramName(unsigned long dwPid)
{
    char szFile[64];
    std::snprintf(szFile, sizeof szFile, "/proc/%lu/comm", dwPid);
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(szFile, "r"), &std::fclose);
    char szName[64] = {};
    if (!file || std::fgets(szName, sizeof szName, file.get()) == nullptr)
        return {};
    szName[std::strcspn(szName, "\n")] = '\0';
    return szName;
}

} // namespace

void Tool::PrintOpenHint(int nError, const DeviceEntry& entry)
{
    switch (nError) {
    case KYR_ERROR_ACCESS_DENIED:
        PrintAccessHint();
        break;
    case KYR_ERROR_DEVICE_BUSY: {
        unsigned long pids[16];
        const int nHolders =
            KyrGetDeviceHolders(entry.nVendorID, entry.nProductID, entry.nMI, entry.nIndex, pids, 16);
        if (nHolders <= 0) {
            std::fprintf(stderr, "  Another client has the device open; close it and try again.\n");
            break;
        }
        for (int i = 0; i < nHolders && i < 16; ++i) {
            const std::string szName = ProgramName(pids[i]);
            std::fprintf(stderr, "  Held by process %lu (%s); end it or close the device there, then try again.\n",
                         pids[i], szName.empty() ? "name unknown" : szName.c_str());
        }
        break;
    }
    case KYR_ERROR_NO_DEVICE:
        std::fprintf(stderr, "  See `kyrhid list` for the attached devices.\n");
        break;
    default: break;
    }
}

int Tool::Fail(const std::string& szWhat, int nError)
{
    std::fprintf(stderr, "kyrhid: %s: %s (%s)\n", szWhat.c_str(), KyrGetErrorName(nError),
                 KyrGetErrorDescription(nError));
    m_nExit = ExitCodeOf(nError);
    if (m_nExit == ExitOk)
        m_nExit = ExitFailure;
    return m_nExit;
}

int Tool::Fail(const std::string& szMessage, ExitCode eExit)
{
    std::fprintf(stderr, "kyrhid: %s\n", szMessage.c_str());
    m_nExit = eExit;
    return m_nExit;
}

void Tool::Note(const std::string& szMessage) const
{
    if (m_bVerbose)
        std::fprintf(stderr, "kyrhid: %s\n", szMessage.c_str());
}

std::vector<unsigned char> ParseHexBytes(const std::vector<std::string>& words)
{
    std::string szDigits;
    for (const std::string& word : words) {
        std::string szWord = word;
        for (char& c : szWord) {
            if (c == ',' || c == ':' || c == '-')
                c = ' ';
        }
        std::istringstream in(szWord);
        std::string szPiece;
        while (in >> szPiece) {
            if (szPiece.size() > 2 && szPiece[0] == '0' && (szPiece[1] == 'x' || szPiece[1] == 'X'))
                szPiece.erase(0, 2);
            if (szPiece.size() % 2 != 0)
                szPiece.insert(szPiece.begin(), '0');
            szDigits += szPiece;
        }
    }
    std::vector<unsigned char> bytes;
    for (size_t i = 0; i < szDigits.size(); i += 2) {
        const char sz[3] = {szDigits[i], szDigits[i + 1], 0};
        if (!std::isxdigit(static_cast<unsigned char>(sz[0])) || !std::isxdigit(static_cast<unsigned char>(sz[1])))
            throw CLI::ValidationError("HEX", std::string("not a hex byte: ") + sz);
        bytes.push_back(static_cast<unsigned char>(std::strtoul(sz, nullptr, 16)));
    }
    if (bytes.empty())
        throw CLI::ValidationError("HEX", "no bytes given");
    return bytes;
}

std::string HexString(const unsigned char* pBytes, size_t nBytes, const char* pszSeparator)
{
    std::string sz;
    char szByte[4];
    for (size_t i = 0; i < nBytes; ++i) {
        std::snprintf(szByte, sizeof szByte, "%02x", pBytes[i]);
        if (i != 0)
            sz += pszSeparator;
        sz += szByte;
    }
    return sz;
}

namespace {
// Mode letters in bit order, as "instant_mode=" takes them; '_' marks the
// unused bit 3.
constexpr char s_szModeLetters[] = "MCV_OTGDSX";
} // namespace

std::optional<int> ParseModeLetters(const std::string& szLetters)
{
    int nMode = 0;
    for (char c : szLetters) {
        const char cUpper = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const char* p = cUpper == '_' ? nullptr : std::strchr(s_szModeLetters, cUpper);
        if (p == nullptr || cUpper == 0)
            return std::nullopt;
        nMode |= 1 << (p - s_szModeLetters);
    }
    return nMode;
}

std::string ModeLetters(int nMode)
{
    std::string sz;
    for (int i = 0; i < 10; ++i) {
        if (s_szModeLetters[i] != '_' && (nMode & (1 << i)) != 0)
            sz += s_szModeLetters[i];
    }
    return sz;
}

} // namespace kyrhid
