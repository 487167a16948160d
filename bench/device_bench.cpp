// Device-path figures through the exported interface, under kyrsim:
//   kyrsim --device <model1>,model=loopback --device <virtual>
//          --device <model2>,interfaces=2,model=kyr -- device_bench
// Device 0 sends every report straight back; device 1 never answers; device 2
// answers commands.
//
// Prints, each against its goal:
//   - KyrCloseDevice on an idle handle (goal: at most 50 ms);
//   - CPU time of the calling thread during a synchronous command that waits
//     1 s in vain (goal: at most 2 ms);
//   - synchronous round trips through the library (a raw buffer bounced by the
//     loopback device, a command answered by the protocol device) against the
//     same exchange on bare libusb, in the same run (goal: ratio at most 1.2);
//   - wake-ups per second of the timer thread of an idle open handle (goal:
//     none, nothing is due) and with instant mode on (goal: at most 2, the
//     download check once a second, the slot clean-up every two, and the
//     switches they cost), and of the read thread (shown only: the
//     emulator decides how often it wakes).
// CPU and wake-ups are counted per thread, never per process: the emulator
// makes libusb poll more than a real kernel would.
#include <dirent.h>
#include <libusb.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "BenchFigures.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "PacketEncoder.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kLoopPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kLoopMI = 0;
constexpr unsigned short kSilentPid = KYR_USB_PRODUCT_ID_VIRTUAL;
constexpr unsigned short kSilentMI = KYR_USB_VIRTUAL_INTERFACE;
constexpr unsigned short kAnswerPid = KYR_USB_PRODUCT_ID_MODEL2;
constexpr unsigned short kAnswerMI = KYR_USB_MODEL_INTERFACE;
constexpr char kCommand[] = "echo x";

int g_nFailures = 0;  // besides missed goals: what could not be measured
kyrbench::CFigures g_Figures;

double Ms(Clock::duration d)
{
    return std::chrono::duration<double, std::milli>(d).count();
}

double ThreadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// A mode query of the main module (it reads like a mode answer of 0): the
// loopback device sends it back, and the library takes that as the answer it
// waits for.
std::vector<unsigned char> ModeQuery()
{
    const auto report = kyrsim::encoder::CutReports(kyrsim::encoder::FirmwareMode(0x1000, 0),
                                                    kyrsim::encoder::Series::Single)
                            .at(0);
    return std::vector<unsigned char>(report.begin(), report.end());
}

// The one report of the command packet for kCommand with id nId, built from
// the wire format: id 0x1007, tick, type 0, command id, length, text, NUL, CRC.
std::vector<unsigned char> CommandReport(uint8_t nId)
{
    std::vector<uint8_t> packet = {0x07, 0x10, 0, 0, 0, nId, sizeof(kCommand) - 1, 0};
    packet.insert(packet.end(), kCommand, kCommand + sizeof(kCommand));
    const uint16_t wCrc = kyrsim::encoder::Crc16(packet);
    packet.push_back(static_cast<uint8_t>(wCrc));
    packet.push_back(static_cast<uint8_t>(wCrc >> 8));
    std::vector<unsigned char> report(64, 0);
    report[0] = 1;
    report[1] = 1;
    report[2] = static_cast<unsigned char>(packet.size());
    std::memcpy(&report[3], packet.data(), packet.size());
    return report;
}

void CloseLatency()
{
    std::vector<double> samples;
    for (int i = 0; i < 20; ++i) {
        KYR_HANDLE h = KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0);
        if (h == nullptr) {
            std::printf("open failed: %s\n", KyrGetErrorName(KyrGetLastError()));
            ++g_nFailures;
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto start = Clock::now();
        KyrCloseDevice(h);
        samples.push_back(Ms(Clock::now() - start));
    }
    std::sort(samples.begin(), samples.end());
    std::printf("KyrCloseDevice, idle handle, median of 20: %.2f ms\n", samples[samples.size() / 2]);
    g_Figures.AtMost("KyrCloseDevice on an idle handle, worst of 20", samples.back(), "%.1f", " ms", 50);
}

long RssKiB()
{
    long nPages = 0, nResident = 0;
    std::ifstream("/proc/self/statm") >> nPages >> nResident;
    return nResident * sysconf(_SC_PAGESIZE) / 1024;
}

// Open to close and back, and what one open handle holds: heap in use (the
// library's and libusb's) and resident memory, after a first open and close
// has loaded what every handle shares.
void OpenCloseAndMemory()
{
    KyrCloseDevice(KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0));
    constexpr int kCycles = 50;
    const auto start = Clock::now();
    for (int i = 0; i < kCycles; ++i)
        KyrCloseDevice(KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0));
    const double dCycle = Ms(Clock::now() - start) / kCycles;

    const size_t nHeapBefore = mallinfo2().uordblks;
    const long nRssBefore = RssKiB();
    KYR_HANDLE h = KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const double dHeap = static_cast<double>(mallinfo2().uordblks - nHeapBefore) / 1024;
    const double dRss = static_cast<double>(RssKiB() - nRssBefore);
    KyrCloseDevice(h);
    g_Figures.Shown("KyrOpenDevice + KyrCloseDevice cycle, mean of 50", dCycle, "%.1f", " ms");
    g_Figures.AtMost("heap in use per open handle", dHeap, "%.0f", " KiB", 64);
    // The pages of the two threads' stacks they touch, mostly.
    g_Figures.Shown("resident memory per open handle", dRss, "%.0f", " KiB");
}

void WaitCost()
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0);
    if (h == nullptr) {
        ++g_nFailures;
        return;
    }
    const double dCpuStart = ThreadCpuMs();
    const auto start = Clock::now();
    const int nResult = KyrSendCommand(h, "status", 0, 1000);
    const double dWall = Ms(Clock::now() - start);
    const double dCpu = ThreadCpuMs() - dCpuStart;
    const int nError = KyrGetLastError();
    KyrCloseDevice(h);
    std::printf("synchronous command left unanswered: %.1f ms wall time, %s\n", dWall, KyrGetErrorName(nError));
    if (nResult != 0)
        ++g_nFailures;
    g_Figures.AtMost("CPU of a caller in a 1 s wait that times out", dCpu, "%.2f", " ms", 2);
}

void LIBUSB_CALL OnBareIn(libusb_transfer* pTransfer)
{
    *static_cast<int*>(pTransfer->user_data) = 1;
}

// The same exchange as the library makes, on plain libusb: an IN transfer
// waits in flight, the OUT report is written, events are handled until the IN
// transfer has come back.
double BareRoundTripUs(unsigned short nPid, unsigned short nMI, bool bCommand, int nRounds)
{
    libusb_context* pContext = nullptr;
    libusb_init(&pContext);
    libusb_device_handle* pHandle = libusb_open_device_with_vid_pid(pContext, kVid, nPid);
    double dResult = -1;
    if (pHandle != nullptr && libusb_claim_interface(pHandle, nMI) == 0) {
        const auto out = static_cast<unsigned char>(1 << nMI);
        const auto in = static_cast<unsigned char>(0x80 | out);
        unsigned char buffer[64];
        int nCompleted = 0;
        int nDone = 0;
        libusb_transfer* pIn = libusb_alloc_transfer(0);
        libusb_fill_interrupt_transfer(pIn, pHandle, in, buffer, 64, &OnBareIn, &nCompleted, 1000);
        const auto start = Clock::now();
        int nAnswered = 0;
        for (int i = 0; i < nRounds; ++i) {
            std::vector<unsigned char> request = bCommand ? CommandReport(static_cast<uint8_t>(i % 255 + 1)) : ModeQuery();
            nCompleted = 0;
            libusb_submit_transfer(pIn);
            libusb_interrupt_transfer(pHandle, out, request.data(), 64, &nDone, 1000);
            while (nCompleted == 0)
                libusb_handle_events_completed(pContext, &nCompleted);
            nAnswered += pIn->status == LIBUSB_TRANSFER_COMPLETED ? 1 : 0;
        }
        if (nAnswered == nRounds)
            dResult = Ms(Clock::now() - start) * 1000 / nRounds;
        libusb_free_transfer(pIn);
        libusb_release_interface(pHandle, nMI);
    }
    if (pHandle != nullptr)
        libusb_close(pHandle);
    libusb_exit(pContext);
    return dResult;
}

double LibraryRoundTripUs(unsigned short nPid, unsigned short nMI, bool bCommand, int nRounds)
{
    KYR_HANDLE h = KyrOpenDevice(kVid, nPid, nMI, 0);
    if (h == nullptr)
        return -1;
    const std::vector<unsigned char> query = ModeQuery();
    int nAnswered = 0;
    const auto start = Clock::now();
    for (int i = 0; i < nRounds; ++i)
        nAnswered += bCommand ? KyrSendCommand(h, kCommand, 0, 1000) : KyrSendBuffer(h, query.data(), 64, 0, 1000);
    const double dResult = Ms(Clock::now() - start) * 1000 / nRounds;
    KyrCloseDevice(h);
    return nAnswered == nRounds ? dResult : -1;
}

void RoundTrip(const char* pszFigure, unsigned short nPid, unsigned short nMI, bool bCommand)
{
    constexpr int kRounds = 300;
    // Interleaved, so that a noisy moment does not land on one side only.
    double dBare = 0, dLibrary = 0;
    for (int i = 0; i < 3; ++i) {
        dBare += BareRoundTripUs(nPid, nMI, bCommand, kRounds);
        dLibrary += LibraryRoundTripUs(nPid, nMI, bCommand, kRounds);
    }
    if (dBare <= 0 || dLibrary <= 0) {
        std::printf("%s: could not be measured\n", pszFigure);
        ++g_nFailures;
        return;
    }
    // Bare libusb: IN waiting, OUT, IN back.
    const double dRatio = dLibrary / dBare;
    g_Figures.Add(pszFigure, kyrbench::Format("%.2f (%.0f / %.0f us)", dRatio, dLibrary / 3, dBare / 3), "at most 1.2",
                  dRatio <= 1.2 ? 1 : 0);
}

// Context switches of the named threads of this process.
std::map<std::string, long> SwitchesByThreadName()
{
    std::map<std::string, long> result;
    DIR* pDir = opendir("/proc/self/task");
    if (pDir == nullptr)
        return result;
    while (dirent* pEntry = readdir(pDir)) {
        const std::string tid = pEntry->d_name;
        if (tid == "." || tid == "..")
            continue;
        std::string name;
        std::getline(std::ifstream("/proc/self/task/" + tid + "/comm"), name);
        std::ifstream status("/proc/self/task/" + tid + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0 || line.rfind("nonvoluntary_ctxt_switches:", 0) == 0)
                result[name] += std::stol(line.substr(line.find(':') + 1));
        }
    }
    closedir(pDir);
    return result;
}

// Wake-ups of the named thread per second over kSeconds.
double WakeupsPerSecond(const char* pszThread)
{
    constexpr int kSeconds = 5;
    auto before = SwitchesByThreadName();
    std::this_thread::sleep_for(std::chrono::seconds(kSeconds));
    auto after = SwitchesByThreadName();
    return static_cast<double>(after[pszThread] - before[pszThread]) / kSeconds;
}

void IdleWakeups()
{
    KYR_HANDLE h = KyrOpenDevice(kVid, kSilentPid, kSilentMI, 0);
    if (h == nullptr) {
        ++g_nFailures;
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double dTimer = WakeupsPerSecond("kyrhid-timer");
    const double dRead = WakeupsPerSecond("kyrhid-read");
    // Instant mode with a 60 s expire: no keep-alive falls in the window (a
    // write through the emulator costs switches of its own), only the
    // download check once a second.
    KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 60000, ~0UL);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const double dTimerActive = WakeupsPerSecond("kyrhid-timer");
    KyrCloseDevice(h);
    g_Figures.AtMost("instant-mode timer wake-ups, idle handle", dTimer, "%.1f", " /s", 0);
    g_Figures.AtMost("instant-mode timer wake-ups, instant mode on (60 s expire)", dTimerActive, "%.1f", " /s", 2);
    // The read thread blocks in libusb's poll of the device node; how often
    // that wakes is the emulator's doing as much as ours, so it is shown, not
    // judged (a real device node wakes it once a second, at the read timeout).
    g_Figures.Shown("read thread wake-ups, idle handle (emulated)", dRead, "%.0f", " /s");
}

} // namespace

int main()
{
    if (std::getenv("KYRSIM_CONTROL") == nullptr) {
        std::fprintf(stderr, "device_bench runs under kyrsim (see the top of %s)\n", __FILE__);
        return 2;
    }
    CloseLatency();
    OpenCloseAndMemory();
    WaitCost();
    RoundTrip("synchronous raw round trip, library / bare libusb", kLoopPid, kLoopMI, false);
    RoundTrip("synchronous command round trip, library / bare libusb", kAnswerPid, kAnswerMI, true);
    IdleWakeups();
    g_Figures.WriteJson();
    return g_nFailures + g_Figures.Missed() == 0 ? 0 : 1;
}
