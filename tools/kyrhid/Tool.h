// What every kyrhid subcommand shares: device selection, opening with hints,
// exit codes, verbosity and progress. Each subcommand lives in a file of its
// own and registers itself with one Add...Command(CLI::App&, Tool&) function.
#pragma once

#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "KyrHIDLib.h"

namespace kyrhid {

// Exit status of the program; listed in --help.
enum ExitCode {
    ExitOk = 0,
    ExitFailure = 1,
    ExitUsage = 2,
    ExitNoDevice = 3,
    ExitAccessDenied = 4,
    ExitBusy = 5,
    ExitTimeout = 6,
    ExitFirmwareDownload = 7
};

// The exit status that a library error code stands for.
int ExitCodeOf(int nError);

// One enumerated interface of an attached device.
struct DeviceEntry {
    unsigned short nVendorID = 0;
    unsigned short nProductID = 0;
    unsigned short nMI = 0;
    unsigned short nIndex = 0;
    std::string szPath; // "bbbb:aaaa:ii"
    unsigned nBus = 0;
    unsigned nAddress = 0;
    bool bAccess = true; // the user may open the device node
};

// A device path "bbbb:aaaa:ii" taken apart (hex, either case); nullopt for
// anything else.
struct DevicePath {
    unsigned nBus = 0;
    unsigned nAddress = 0;
    unsigned nMI = 0;
};
std::optional<DevicePath> ParsePath(const std::string& szPath);

// The product ids of the family, in the order a default selection tries them.
const std::vector<unsigned short>& KnownProducts();
// The interface a product is driven through.
unsigned short DefaultInterface(unsigned short nProductID);

// Every interface of the attached devices with these ids (nProductID 0: all
// products of the family), from the descriptors alone: no device is opened,
// so a device the user may not open is listed all the same. Indexes count as
// the library's do.
std::vector<DeviceEntry> EnumerateDevices(unsigned short nVendorID, unsigned short nProductID);

// Where the udev rule that opens the devices to users is, and what to do about
// a refused open; on stderr.
void PrintAccessHint();

// A command text as messages quote it: long ones cut short.
std::string Quoted(const std::string& szText);

// Option checks whose messages are short (CLI11's ranges print the type's
// whole range).
CLI::Validator AtLeastOne();  // a whole number
CLI::Validator AboveZero();   // any number

// Set by SIGINT and SIGTERM once InstallStopSignals ran; long-running
// subcommands poll it.
extern std::atomic<bool> g_bStopRequested;
void InstallStopSignals();

// Shown on stderr while a wait of over a second runs, and only when stderr is
// a terminal; erased by Done() or the destructor.
class Progress {
public:
    explicit Progress(std::string szWhat);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Call on every pass of the wait; redraws at most once a second.
    void Tick();
    void Done();

private:
    std::string m_szWhat;
    std::chrono::steady_clock::time_point m_Start;
    long m_nShownSeconds = 0;
    bool m_bShown = false;
    bool m_bTerminal;
};

// An open device, closed when it goes out of scope.
//
// Lifetime rule: every object a callback or the report tap of the device may
// touch is made by Own(), and lives until the device has been closed (and so
// until no callback runs any more), whichever way the subcommand returns.
// Nothing handed to the library as a context lives on a subcommand's stack.
class OpenDevice {
public:
    OpenDevice() = default;
    explicit OpenDevice(KYR_HANDLE hDevice) : m_hDevice(hDevice) {}
    // Closes first; the owned objects go after, with the members.
    ~OpenDevice() { Close(); }
    OpenDevice(OpenDevice&& other) noexcept
        : m_hDevice(other.m_hDevice), m_Owned(std::move(other.m_Owned)), m_pTaps(other.m_pTaps)
    {
        other.m_hDevice = nullptr;
        other.m_pTaps = nullptr;
    }
    OpenDevice& operator=(OpenDevice&&) = delete;
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    KYR_HANDLE Get() const { return m_hDevice; }
    template <typename T, typename... Args>
    T& Own(Args&&... args)
    {
        auto pObject = std::make_shared<T>(std::forward<Args>(args)...);
        m_Owned.push_back(pObject);
        return *pObject;
    }
    explicit operator bool() const { return m_hDevice != nullptr; }
    // The library keeps one report tap a handle; record and monitor --raw may
    // both want one, so every tap added here is called in turn.
    void AddTap(FnKyrReportTap fn, void* pContext)
    {
        if (m_pTaps == nullptr) {
            m_pTaps = &Own<Taps>();
            KyrSetReportTap(m_hDevice, &Taps::Dispatch, m_pTaps);
        }
        std::lock_guard lock(m_pTaps->csTaps);
        m_pTaps->taps.emplace_back(fn, pContext);
    }
    void Close()
    {
        if (m_hDevice != nullptr)
            KyrCloseDevice(m_hDevice);
        m_hDevice = nullptr;
    }

private:
    struct Taps {
        std::mutex csTaps; // the read thread and senders call while a tap is added
        std::vector<std::pair<FnKyrReportTap, void*>> taps;
        static void Dispatch(KYR_HANDLE h, int nDirection, unsigned char nEndpoint, unsigned long long qwNs,
                             const unsigned char* pReport, unsigned short nLength, void* pContext)
        {
            auto* pTaps = static_cast<Taps*>(pContext);
            std::lock_guard lock(pTaps->csTaps);
            for (const auto& [fn, pTapContext] : pTaps->taps)
                fn(h, nDirection, nEndpoint, qwNs, pReport, nLength, pTapContext);
        }
    };

    KYR_HANDLE m_hDevice = nullptr;
    std::vector<std::shared_ptr<void>> m_Owned;
    Taps* m_pTaps = nullptr; // owned through m_Owned
};

// The part of a subcommand's callback state that tells the waiting main
// thread the device has gone. A state derives from it and installs
// OnDeviceGone<State> as fnOnDisconnect, with the state as the context.
struct DeviceState {
    std::mutex csState;
    std::condition_variable cvState;
    bool bGone = false; // guarded by csState
};

template <typename State>
void OnDeviceGone(KYR_HANDLE, void* pContext)
{
    auto* pState = static_cast<State*>(pContext);
    std::lock_guard lock(pState->csState);
    pState->bGone = true;
    pState->cvState.notify_all();
}

class Tool {
public:
    // Adds the device selection options to a subcommand that opens a device.
    void AddSelectionOptions(CLI::App* pSub);
    // Adds --verbose and --version to the program, and the exit codes to its help.
    void AddProgramOptions(CLI::App& app);

    // Resolves the selection to one interface; on failure prints why (unless
    // bQuiet) and stores the exit status.
    std::optional<DeviceEntry> Select(bool bQuiet = false);
    // Selects and opens; on failure prints the reason with a hint of what to
    // do and stores the exit status.
    OpenDevice Open();

    // Prints "kyrhid: WHAT: NAME (description)" for a library error and
    // stores the exit status that goes with it, which it also returns.
    int Fail(const std::string& szWhat, int nError);
    // Prints "kyrhid: MESSAGE" and stores the exit status.
    int Fail(const std::string& szMessage, ExitCode eExit);
    // The device vanished under a running subcommand.
    int FailGone() { return Fail("the device has gone (unplugged or reset)", ExitNoDevice); }

    void SetExit(int nExit) { m_nExit = nExit; }
    int Exit() const { return m_nExit; }
    bool Verbose() const { return m_bVerbose; }
    void Note(const std::string& szMessage) const; // stderr, only with --verbose
    // Runs on every device Open() opens, before the subcommand sends anything
    // (kyrhid record taps the device there). Returning false closes the device
    // again: the hook has printed why and stored the exit status.
    void SetOpenHook(std::function<bool(OpenDevice&)> fnHook) { m_fnOpenHook = std::move(fnHook); }

private:
    void PrintOpenHint(int nError, const DeviceEntry& entry);
    static void OnLibraryLog(int nLevel, const char* szMessage, void* pContext);

    std::string m_szPath;
    std::string m_szBusDev;
    unsigned short m_nVendorID = 0;
    unsigned short m_nProductID = 0;
    std::optional<unsigned short> m_nMI;
    unsigned short m_nIndex = 0;
    bool m_bVerbose = false;
    int m_nExit = ExitOk;
    std::function<bool(OpenDevice&)> m_fnOpenHook;
};

// Registration of the subcommands, one per file.
void AddListCommand(CLI::App& app, Tool& tool);
void AddInfoCommand(CLI::App& app, Tool& tool);
void AddMonitorCommand(CLI::App& app, Tool& tool);
void AddSendCommand(CLI::App& app, Tool& tool);
void AddFirmwareCommand(CLI::App& app, Tool& tool);
void AddRawCommand(CLI::App& app, Tool& tool);
void AddKeysCommand(CLI::App& app, Tool& tool);
void AddCrcCommand(CLI::App& app, Tool& tool);
void AddCaptureCommand(CLI::App& app, Tool& tool);
void AddRecordCommand(CLI::App& app, Tool& tool);
void AddWatchCommand(CLI::App& app, Tool& tool);
void AddTouchscreenCommand(CLI::App& app, Tool& tool); // touchscreen and calibrate

// Shared helpers of the subcommands.
// "1A 2b 3c4d" or "0x1a,0x2b": bytes in hex; throws CLI::ValidationError.
std::vector<unsigned char> ParseHexBytes(const std::vector<std::string>& words);
std::string HexString(const unsigned char* pBytes, size_t nBytes, const char* pszSeparator = " ");
// Mode letters "MCVOTGDSX" (either case) to KYR_HID_MODE_* bits; nullopt for an unknown letter.
std::optional<int> ParseModeLetters(const std::string& szLetters);
std::string ModeLetters(int nMode);

} // namespace kyrhid
