// Sixteen busy devices at once, through the exported interface, under kyrsim:
//   kyrsim --device <model1>,interfaces=2,model=kyr,rate=T:200+G:50+D:50,addr=2
//          ... (16 such devices, addresses 2 to 17) -- many_devices_bench
// Every handle streams touch points at 200/s and gestures and device reports
// at 50/s, while one thread per device sends a synchronous "version" command
// (2 s time-out) every 100 ms.
//
// Prints the round trips of the commands (median, 99th percentile, worst,
// time-outs: goal none), the packets delivered against the rate asked for,
// and where the CPU went: each thread of this process and of kyrsim, by name.
// Then the same load on bare libusb with a context and a thread of its own
// per device, nothing shared: whatever both runs fall short of alike is the
// emulator's limit, not the library's.
#include <dirent.h>
#include <libusb.h>
#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
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
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr int kModes = KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_GESTURE | KYR_HID_MODE_DEVICE;
constexpr double kPacketsPerSecond = 200 + 50 + 50;
constexpr auto kRun = std::chrono::seconds(10);

struct Device {
    KYR_HANDLE h = nullptr;
    std::atomic<unsigned long> nPackets{0};
    std::vector<double> roundTripsMs;
    int nTimeouts = 0;
    int nFailures = 0;
};

void OnPacket(KYR_HANDLE, kyrpacket*, int, void* pContext)
{
    ++static_cast<Device*>(pContext)->nPackets;
}

// CPU seconds (user + system) of each thread of a process, summed by thread name.
std::map<std::string, double> CpuByThread(pid_t pid)
{
    std::map<std::string, double> cpu;
    const std::string szTasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* pDir = opendir(szTasks.c_str());
    if (pDir == nullptr)
        return cpu;
    const double dTick = static_cast<double>(sysconf(_SC_CLK_TCK));
    while (dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.')
            continue;
        std::string szStat;
        std::getline(std::ifstream(szTasks + "/" + pEntry->d_name + "/stat"), szStat);
        // "pid (comm) state ..." with utime and stime the 14th and 15th fields.
        const size_t nOpen = szStat.find('('), nClose = szStat.rfind(')');
        if (nOpen == std::string::npos || nClose == std::string::npos)
            continue;
        std::istringstream rest(szStat.substr(nClose + 2));
        std::string szField;
        unsigned long ulUser = 0, ulSystem = 0;
        for (int nField = 3; rest >> szField; ++nField) {
            if (nField == 14)
                ulUser = std::stoul(szField);
            if (nField == 15) {
                ulSystem = std::stoul(szField);
                break;
            }
        }
        cpu[szStat.substr(nOpen + 1, nClose - nOpen - 1)] += (ulUser + ulSystem) / dTick;
    }
    closedir(pDir);
    return cpu;
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void PrintCpu(const char* pszWho, const std::map<std::string, double>& before, const std::map<std::string, double>& after,
              double dSeconds)
{
    for (const auto& [szName, dCpu] : after) {
        const auto it = before.find(szName);
        const double dUsed = dCpu - (it != before.end() ? it->second : 0);
        if (dUsed > 0)
            std::printf("  CPU %-8s %-20s %6.1f %%\n", pszWho, szName.c_str(), 100 * dUsed / dSeconds);
    }
}

double Percentile(std::vector<double> samples, double dShare)
{
    if (samples.empty())
        return -1;
    std::sort(samples.begin(), samples.end());
    return samples[std::min(samples.size() - 1, static_cast<size_t>(dShare * samples.size()))];
}

// ---- bare libusb, one context per device ------------------------------------

// The one report of a command packet, built from the wire format.
std::vector<unsigned char> CommandReport(const std::string& szText, uint8_t nId)
{
    std::vector<uint8_t> packet = {0x07, 0x10, 0, 0, 0, nId, static_cast<uint8_t>(szText.size()), 0};
    packet.insert(packet.end(), szText.begin(), szText.end());
    packet.push_back(0);
    const auto report = kyrsim::encoder::CutReports(kyrsim::encoder::Packet(0x1007, 0, std::span(packet).subspan(4)),
                                                    kyrsim::encoder::Series::Single)
                            .at(0);
    return std::vector<unsigned char>(report.begin(), report.end());
}

struct Bare {
    Device* pDevice = nullptr;
    libusb_device_handle* pHandle = nullptr;
    int nAwaited = -1;  // command id of the answer awaited
    bool bAnswered = false;
    bool bStopping = false;
    bool bEnded = false;
};

void LIBUSB_CALL OnBareIn(libusb_transfer* pTransfer)
{
    auto* pBare = static_cast<Bare*>(pTransfer->user_data);
    if (pTransfer->status == LIBUSB_TRANSFER_COMPLETED) {
        const unsigned char* r = pTransfer->buffer;
        ++pBare->pDevice->nPackets;
        // A one-report response (0x1008) carrying the awaited command id.
        if (r[1] == 0x01 && r[3] == 0x08 && r[4] == 0x10 && r[8] == pBare->nAwaited)
            pBare->bAnswered = true;
    }
    if (pBare->bStopping || pTransfer->status == LIBUSB_TRANSFER_CANCELLED ||
        pTransfer->status == LIBUSB_TRANSFER_NO_DEVICE || libusb_submit_transfer(pTransfer) != 0)
        pBare->bEnded = true;
}

// One device's share of the load on its own context and thread.
void RunBare(int nIndex, Device& device, Clock::time_point end)
{
    libusb_context* pContext = nullptr;
    if (libusb_init(&pContext) != 0) {
        ++device.nFailures;
        return;
    }
    libusb_device** ppList = nullptr;
    const ssize_t nCount = libusb_get_device_list(pContext, &ppList);
    std::vector<libusb_device*> matching;
    for (ssize_t i = 0; i < nCount; ++i) {
        libusb_device_descriptor desc{};
        if (libusb_get_device_descriptor(ppList[i], &desc) == 0 && desc.idVendor == kVid && desc.idProduct == kPid)
            matching.push_back(ppList[i]);
    }
    std::sort(matching.begin(), matching.end(), [](libusb_device* a, libusb_device* b) {
        return libusb_get_device_address(a) < libusb_get_device_address(b);
    });
    Bare bare;
    bare.pDevice = &device;
    if (static_cast<size_t>(nIndex) < matching.size() && libusb_open(matching[nIndex], &bare.pHandle) == 0 &&
        libusb_claim_interface(bare.pHandle, kMI) == 0) {
        const auto out = static_cast<unsigned char>(1 << kMI);
        unsigned char buffer[64];
        libusb_transfer* pIn = libusb_alloc_transfer(0);
        libusb_fill_interrupt_transfer(pIn, bare.pHandle, static_cast<unsigned char>(0x80 | out), buffer, 64,
                                       &OnBareIn, &bare, 0);
        libusb_submit_transfer(pIn);
        int nDone = 0;
        uint8_t nId = 0;
        auto nextId = [&nId] { return nId = static_cast<uint8_t>(nId % 255 + 1); };
        auto keepAlive = Clock::now();
        std::vector<unsigned char> request = CommandReport("instant_mode=TGD,2000", nextId());
        libusb_interrupt_transfer(bare.pHandle, out, request.data(), 64, &nDone, 1000);
        while (Clock::now() < end) {
            if (Clock::now() - keepAlive > std::chrono::milliseconds(1000)) {
                keepAlive = Clock::now();
                request = CommandReport("instant_mode=TGD,2000", nextId());
                libusb_interrupt_transfer(bare.pHandle, out, request.data(), 64, &nDone, 1000);
            }
            const auto sent = Clock::now();
            request = CommandReport("version", nextId());
            bare.nAwaited = nId;
            bare.bAnswered = false;
            libusb_interrupt_transfer(bare.pHandle, out, request.data(), 64, &nDone, 1000);
            while (!bare.bAnswered && Clock::now() - sent < std::chrono::seconds(2)) {
                timeval tv{0, 50000};
                libusb_handle_events_timeout_completed(pContext, &tv, nullptr);
            }
            if (bare.bAnswered)
                device.roundTripsMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent).count());
            else
                ++device.nTimeouts;
            while (Clock::now() < sent + std::chrono::milliseconds(100)) {
                timeval tv{0, 10000};
                libusb_handle_events_timeout_completed(pContext, &tv, nullptr);
            }
        }
        bare.bStopping = true;
        libusb_cancel_transfer(pIn);
        while (!bare.bEnded)
            libusb_handle_events_completed(pContext, nullptr);
        libusb_free_transfer(pIn);
        libusb_release_interface(bare.pHandle, kMI);
    } else {
        ++device.nFailures;
    }
    if (bare.pHandle != nullptr)
        libusb_close(bare.pHandle);
    libusb_free_device_list(ppList, 1);
    libusb_exit(pContext);
}

// ---- the load, and its figures ----------------------------------------------

void Summarise(const char* pszWhat, std::vector<Device>& devices, double dSeconds, unsigned long nPacketsBefore)
{
    std::vector<double> all;
    int nTimeouts = 0, nFailures = 0;
    unsigned long nPackets = 0;
    for (const Device& device : devices) {
        all.insert(all.end(), device.roundTripsMs.begin(), device.roundTripsMs.end());
        nTimeouts += device.nTimeouts;
        nFailures += device.nFailures;
        nPackets += device.nPackets;
    }
    std::printf("%s, %zu devices, %.1f s: %zu commands answered, %d timed out, %d failed\n", pszWhat, devices.size(),
                dSeconds, all.size(), nTimeouts, nFailures);
    std::printf("  round trip: median %.1f ms, 99th percentile %.1f ms, worst %.1f ms\n", Percentile(all, 0.5),
                Percentile(all, 0.99), Percentile(all, 1.0));
    std::printf("  reports or packets delivered: %.0f/s; %.0f packets/s asked for\n",
                (nPackets - nPacketsBefore) / dSeconds, kPacketsPerSecond * devices.size());
}

} // namespace

int main()
{
    if (std::getenv("KYRSIM_CONTROL") == nullptr) {
        std::fprintf(stderr, "many_devices_bench runs under kyrsim (see the top of %s)\n", __FILE__);
        return 2;
    }
    const int nDevices = KyrGetDeviceCount(kVid, kPid, kMI);
    std::vector<Device> devices(static_cast<size_t>(std::max(nDevices, 0)));
    for (int i = 0; i < nDevices; ++i) {
        Device& device = devices[static_cast<size_t>(i)];
        device.h = KyrOpenDevice(kVid, kPid, kMI, i);
        if (device.h == nullptr) {
            std::printf("device %d: open failed: %s\n", i, KyrGetErrorName(KyrGetLastError()));
            return 1;
        }
        KYR_EVENT_NOTIFY table{};
        table.Context = &device;
        table.fnOnPacket = &OnPacket;
        KyrSetEventNotify(device.h, &table);
        KyrSetInstantMode(device.h, kModes, 2000, ~0UL);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));

    const auto cpuBefore = CpuByThread(getpid());
    auto simBefore = CpuByThread(getppid());
    unsigned long nPacketsBefore = 0;
    for (const Device& device : devices)
        nPacketsBefore += device.nPackets;
    auto start = Clock::now();
    std::vector<std::thread> askers;
    for (Device& device : devices) {
        askers.emplace_back([&device, end = start + kRun] {
            while (Clock::now() < end) {
                const auto sent = Clock::now();
                const int nResult = KyrSendCommand(device.h, "version", 0, 2000);
                const double dMs = std::chrono::duration<double, std::milli>(Clock::now() - sent).count();
                if (nResult == 1)
                    device.roundTripsMs.push_back(dMs);
                else if (KyrGetLastError() == KYR_ERROR_TIMEOUT)
                    ++device.nTimeouts;
                else
                    ++device.nFailures;
                std::this_thread::sleep_until(sent + std::chrono::milliseconds(100));
            }
        });
    }
    for (std::thread& asker : askers)
        asker.join();
    double dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    Summarise("through the library", devices, dSeconds, nPacketsBefore);
    {
        std::vector<double> all;
        int nTimedOut = 0;
        for (const Device& device : devices) {
            all.insert(all.end(), device.roundTripsMs.begin(), device.roundTripsMs.end());
            nTimedOut += device.nTimeouts;
        }
        kyrbench::CFigures figures;
        figures.Add(kyrbench::Format("%zu devices streaming %.0f packets/s each, `version` every 100 ms", devices.size(),
                                     kPacketsPerSecond),
                    kyrbench::Format("%zu answered, %d timed out, median %.0f ms", all.size(), nTimedOut,
                                     Percentile(all, 0.5)),
                    "none timed out", nTimedOut == 0 ? 1 : 0);
        figures.WriteJson();
    }
    PrintCpu("program", cpuBefore, CpuByThread(getpid()), dSeconds);
    PrintCpu("kyrsim", simBefore, CpuByThread(getppid()), dSeconds);
    int nBad = 0;
    for (Device& device : devices) {
        KyrCloseDevice(device.h);
        nBad += device.nTimeouts + device.nFailures;
    }

    // The streams lapse within their expire time once nobody asks.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    std::vector<Device> bare(devices.size());
    simBefore = CpuByThread(getppid());
    const double dCpuBefore = ProcessCpuSeconds();
    start = Clock::now();
    askers.clear();
    for (size_t i = 0; i < bare.size(); ++i)
        askers.emplace_back([&bare, i, end = start + kRun] { RunBare(static_cast<int>(i), bare[i], end); });
    for (std::thread& asker : askers)
        asker.join();
    dSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    Summarise("bare libusb, a context per device", bare, dSeconds, 0);
    std::printf("  CPU program  all threads          %6.1f %%\n", 100 * (ProcessCpuSeconds() - dCpuBefore) / dSeconds);
    PrintCpu("kyrsim", simBefore, CpuByThread(getppid()), dSeconds);
    return nBad == 0 ? 0 : 1;
}
