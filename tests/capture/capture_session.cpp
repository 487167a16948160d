// One application session against an emulated device, recorded through the
// report tap into a usbmon capture, or run again against a replay of that
// capture. Run under kyrsim:
//
//   capture_session record FILE.pcap LOG   the kyr model; writes the capture
//                                          and the session's log
//   capture_session replay LOG             the replay model; runs the same
//                                          session, compares its log with LOG
//                                          and checks the replay's counts
//   capture_session wire FILE.pcap EXPECTED  a short exchange; writes the
//                                          capture and, built from the wire
//                                          format, the lines tshark must read
//                                          back from it
//
// The log holds every decoded packet up to the answer of the session's last
// command, then the results and response texts of the synchronous calls.
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"
#include "PacketEncoder.h"
#include "UsbmonPcap.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// The interface with the non-trivial endpoints 0x02 and 0x82.
constexpr unsigned short kInterface = 1;
// Longer than the session by far: the library's keep-alive of the instant
// mode, due at 70 % of it, must not fall into the session, since its timing
// is not the replay's to reproduce.
constexpr unsigned short kExpireMs = 60000;
constexpr unsigned short kTimeoutMs = 5000;
const char* const kLastCommand = "echo end of session";

std::string Hex(const unsigned char* p, size_t n)
{
    std::string s(2 * n + 1, '\0');
    for (size_t i = 0; i < n; ++i)
        std::snprintf(&s[2 * i], 3, "%02x", p[i]);
    return s.substr(0, 2 * n);
}

[[noreturn]] void Fail(const std::string& szWhat)
{
    std::cerr << "capture_session: " << szWhat << " (last error " << KyrGetErrorName(KyrGetLastError()) << ")\n";
    std::exit(1);
}

// Decoded packets or raw reports as the application sees them, in order.
struct Packets {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::string> lines;                   // guarded by mutex
    bool bEnded = false;                              // guarded by mutex: the last command's answer came
    std::vector<std::vector<unsigned char>> reports;  // guarded by mutex
};

void OnPacket(KYR_HANDLE, kyrpacket* p, int bSync, void* pContext)
{
    auto& packets = *static_cast<Packets*>(pContext);
    const size_t nBytes = std::min<size_t>(p->length, sizeof(kyrpacket));
    const std::string line = "packet " + std::to_string(p->type) + " sync=" + std::to_string(bSync) + " " +
                             Hex(reinterpret_cast<unsigned char*>(p), nBytes);
    std::lock_guard lock(packets.mutex);
    if (packets.bEnded)
        return;
    packets.lines.push_back(line);
    if (p->type == kyrtype_rsp && std::strcmp(p->body.rsp.command, kLastCommand + 5) == 0) {
        packets.bEnded = true;
        packets.cv.notify_all();
    }
}

KYR_HANDLE Open()
{
    KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, KYR_USB_PRODUCT_ID_MODEL1, kInterface, 0);
    if (h == nullptr)
        Fail("open");
    return h;
}

std::unique_ptr<kyr_usbmon::CUsbmonWriter> MakeWriter(KYR_HANDLE h, const std::string& szPath)
{
    uint16_t wBus = 0;
    uint8_t nDevice = 0;
    if (!kyr_usbmon::ParseDevicePath(KyrGetDevInfoPath(KyrGetDeviceInfoFromHandle(h)), wBus, nDevice))
        Fail("device path");
    return std::make_unique<kyr_usbmon::CUsbmonWriter>(szPath, wBus, nDevice);
}

void Record(KYR_HANDLE, int, unsigned char nEndpoint, unsigned long long qwNs, const unsigned char* pReport,
            unsigned short nLength, void* pContext)
{
    static_cast<kyr_usbmon::CUsbmonWriter*>(pContext)->Write(nEndpoint, qwNs, std::span(pReport, nLength));
}

// The session: several streams, synchronous commands, a firmware query, and
// a last command whose answer ends what is compared. Returns the log.
std::vector<std::string> Session(KYR_HANDLE h)
{
    Packets packets;
    KYR_EVENT_NOTIFY notify{};
    notify.Context = &packets;
    notify.fnOnPacket = &OnPacket;
    KyrSetEventNotify(h, &notify);

    std::vector<std::string> answers;
    auto command = [&](const char* szCmd) {
        const int nResult = KyrSendCommand(h, szCmd, 0, kTimeoutMs);
        const char* pszResponse = KyrGetResponse(h);
        answers.push_back(std::string("command ") + szCmd + " -> " + std::to_string(nResult) + " " +
                          (pszResponse != nullptr ? pszResponse : "(none)"));
    };

    const int nModes = KYR_HID_MODE_MESSAGE | KYR_HID_MODE_COMMAND | KYR_HID_MODE_OBJECT | KYR_HID_MODE_TOUCHPNT |
                       KYR_HID_MODE_GESTURE | KYR_HID_MODE_DEVICE;
    answers.push_back("instant mode -> " + std::to_string(KyrSetInstantMode(h, nModes, kExpireMs, ~0UL)));
    // Let the streams run a while around each exchange.
    std::this_thread::sleep_for(150ms);
    command("version");
    command("echo first");
    std::this_thread::sleep_for(100ms);
    int nMode = -1;
    const int nQuery = KyrQueryFirmwareVersion(h, 0x1000, &nMode, 0, kTimeoutMs);
    answers.push_back("firmware 0x1000 -> " + std::to_string(nQuery) + " mode " + std::to_string(nMode));
    command("long 300");
    command("rse answered differently");
    std::this_thread::sleep_for(100ms);
    command(kLastCommand);

    std::unique_lock lock(packets.mutex);
    if (!packets.cv.wait_for(lock, 10s, [&] { return packets.bEnded; }))
        Fail("the last answer never came");
    std::vector<std::string> log = packets.lines;
    lock.unlock();
    log.insert(log.end(), answers.begin(), answers.end());
    // No callback may run into the gone Packets.
    KYR_EVENT_NOTIFY none{};
    KyrSetEventNotify(h, &none);
    return log;
}

int RecordSession(const std::string& szPcap, const std::string& szLog)
{
    KYR_HANDLE h = Open();
    auto pWriter = MakeWriter(h, szPcap);
    KyrSetReportTap(h, &Record, pWriter.get());
    const std::vector<std::string> log = Session(h);
    KyrCloseDevice(h);
    std::ofstream out(szLog);
    for (const std::string& line : log)
        out << line << '\n';
    std::cout << pWriter->Count() << " reports recorded, " << log.size() << " log lines\n";
    return out ? 0 : 1;
}

int ReplaySession(const std::string& szLog)
{
    std::vector<std::string> expected;
    std::ifstream in(szLog);
    for (std::string line; std::getline(in, line);)
        expected.push_back(line);
    if (expected.empty())
        Fail("no recorded log in " + szLog);

    KYR_HANDLE h = Open();
    const std::vector<std::string> log = Session(h);
    KyrCloseDevice(h);

    int nFailures = 0;
    const auto [itWant, itGot] = std::mismatch(expected.begin(), expected.end(), log.begin(), log.end());
    if (itWant != expected.end() || itGot != log.end()) {
        std::cerr << "line " << itWant - expected.begin() + 1 << ":\n  recorded "
                  << (itWant != expected.end() ? *itWant : "(nothing)") << "\n  replayed "
                  << (itGot != log.end() ? *itGot : "(nothing)") << '\n';
        ++nFailures;
    }
    const kyrsim::SimReplayCounts counts = kyrsim::SimReplay(0);
    if (counts.qwMismatched != 0 || counts.qwExtra != 0 || counts.qwOut != counts.qwRecordedOut) {
        std::cerr << "the device saw other OUT reports than recorded: " << counts.qwOut << " of "
                  << counts.qwRecordedOut << ", " << counts.qwMismatched << " mismatched, " << counts.qwExtra
                  << " extra\n";
        ++nFailures;
    }
    std::cout << log.size() << " log lines compared, " << counts.qwOut << " OUT reports matched, " << counts.qwIn
              << " IN reports played\n";
    return nFailures == 0 ? 0 : 1;
}

// ---- The exchange tshark reads back ----------------------------------------

int OnRaw(KYR_HANDLE, unsigned char* pBuffer, unsigned short nLength, void* pContext)
{
    auto& received = *static_cast<Packets*>(pContext);
    std::lock_guard lock(received.mutex);
    received.reports.emplace_back(pBuffer, pBuffer + nLength);
    received.cv.notify_all();
    return 0;
}

// The lines of `tshark -T fields -e usb.bus_id -e usb.device_address
// -e usb.endpoint_address -e usb.urb_type -e usb.capdata`.
std::string TsharkLine(unsigned nBus, unsigned nDevice, bool bIn, const unsigned char* p, size_t n)
{
    char szHead[64];
    std::snprintf(szHead, sizeof szHead, "%u\t%u\t0x%02x\t'%c'\t", nBus, nDevice,
                  bIn ? 0x80 | 1 << kInterface : 1 << kInterface, bIn ? 'C' : 'S');
    return szHead + Hex(p, n);
}

int WireSession(const std::string& szPcap, const std::string& szExpected)
{
    KYR_HANDLE h = Open();
    unsigned nBus = 0, nDevice = 0, nMI = 0;
    if (std::sscanf(KyrGetDevInfoPath(KyrGetDeviceInfoFromHandle(h)), "%x:%x:%x", &nBus, &nDevice, &nMI) != 3)
        Fail("device path");
    auto pWriter = MakeWriter(h, szPcap);
    Packets received;
    KYR_EVENT_NOTIFY notify{};
    notify.Context = &received;
    notify.fnOnReceiveRawData = &OnRaw;
    KyrSetEventNotify(h, &notify);
    KyrSetReportTap(h, &Record, pWriter.get());

    std::vector<std::string> lines;
    size_t nSeen = 0;
    // Each request is answered before the next goes out, so that the order of
    // the capture is the order here.
    auto awaitAnswer = [&](size_t nReports) {
        std::unique_lock lock(received.mutex);
        if (!received.cv.wait_for(lock, 10s, [&] { return received.reports.size() >= nSeen + nReports; }))
            Fail("no answer");
        for (; nSeen < received.reports.size(); ++nSeen)
            lines.push_back(TsharkLine(nBus, nDevice, true, received.reports[nSeen].data(),
                                       received.reports[nSeen].size()));
    };

    // A command, as the wire format has it, with the id the library chose.
    const std::string szText = "echo tshark sees this";
    const int nId = KyrSendCommand(h, szText.c_str(), 1, 0);
    if (nId < 1 || nId > 255)
        Fail("send command");
    std::vector<uint8_t> body = {0, static_cast<uint8_t>(nId), static_cast<uint8_t>(szText.size()), 0};
    body.insert(body.end(), szText.begin(), szText.end());
    body.push_back(0);
    for (const auto& report :
         kyrsim::encoder::CutReports(kyrsim::encoder::Packet(0x1007, 0, body), kyrsim::encoder::Series::Single))
        lines.push_back(TsharkLine(nBus, nDevice, false, report.data(), report.size()));
    awaitAnswer(1);

    // A raw buffer goes out as it is: the IAP-version query of the main module.
    const std::vector<uint8_t> query = kyrsim::encoder::Packet(0x1105, 0, {});
    unsigned char buffer[64] = {1, 1, static_cast<unsigned char>(query.size())};
    std::copy(query.begin(), query.end(), buffer + 3);
    if (KyrSendBuffer(h, buffer, sizeof buffer, 1, 0) != 1)
        Fail("send buffer");
    lines.push_back(TsharkLine(nBus, nDevice, false, buffer, sizeof buffer));
    awaitAnswer(1);

    KyrCloseDevice(h);
    std::ofstream out(szExpected);
    for (const std::string& line : lines)
        out << line << '\n';
    return out && pWriter->Count() == lines.size() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string szMode = argc > 1 ? argv[1] : "";
    try {
        if (szMode == "record" && argc == 4)
            return RecordSession(argv[2], argv[3]);
        if (szMode == "replay" && argc == 3)
            return ReplaySession(argv[2]);
        if (szMode == "wire" && argc == 4)
            return WireSession(argv[2], argv[3]);
    } catch (const std::exception& error) {
        Fail(error.what());
    }
    std::cerr << "usage: capture_session record FILE.pcap LOG | replay LOG | wire FILE.pcap EXPECTED\n";
    return 2;
}
