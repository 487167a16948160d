// A fault storm: the protocol device streams every kind of packet at high
// rates, answers a steady flow of long commands, and spoils a good share of
// what it sends (garbage reports, bad CRCs, lost last reports, corrupt size
// bytes, stalls). Every packet that leaves the device intact must be
// decoded, and nothing else.
//
// Storm runs it through kyrsim and the exported interface, compared with the
// device's own counts of what it sent. StormReplay runs the same storm (the
// device options in $KYR_STORM) in-process: kyrsim's own output and fault
// code on a virtual clock, straight into the codec, with no USB and no
// threads, so that the report sequence is the same on every run and long
// enough to find a loss of one packet in 50,000.
#include <algorithm>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>
#include <sstream>

#include "DeviceFixture.h"
#include "KyrFirmware.h"
#include "KyrOutput.h"
#include "MmPkt.h"
#include "Options.h"

using namespace kyrtest;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kDevice = 0;
constexpr auto kStorm = 20s;

// The record each packet id of the device's streams and answers decodes into
// (image data into three: counted by its first); -1 for other ids.
short RecordOf(uint16_t wId)
{
    static const std::map<uint16_t, short> records{{0x1006, kyrtype_msg}, {0x1003, kyrtype_obj}, {0x2805, kyrtype_prv},
                                                   {0x2801, kyrtype_ird}, {0x1300, kyrtype_tpt}, {0x1301, kyrtype_gst},
                                                   {0x1302, kyrtype_dvc}, {0x1008, kyrtype_rsp}, {0x1009, kyrtype_rsp}};
    const auto record = records.find(wId);
    return record != records.end() ? record->second : -1;
}

} // namespace

TEST(Storm, EveryIntactPacketIsDecodedAndNothingElse)
{
    Recorder received; // its raw-data callback lets every report through to the decoder
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    received.Install(h);

    // The streams run on instant mode rather than from attach, so that the
    // device sends nothing while the interface is unclaimed: whatever it
    // counts, the library is offered.
    const int nModes = KYR_HID_MODE_MESSAGE | KYR_HID_MODE_COMMAND | KYR_HID_MODE_VIEW | KYR_HID_MODE_OBJECT |
                       KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_GESTURE | KYR_HID_MODE_DEVICE;
    ASSERT_EQ(KyrSetInstantMode(h, nModes, 2000, kNoGesture), 1);
    // Long answers come in pieces of several reports, which the single series
    // can lose the last of; the streams' own packets take one report each.
    for (const auto end = Clock::now() + kStorm; Clock::now() < end;) {
        EXPECT_GE(KyrSendCommand(h, "long 300", 1, 0), 1) << KyrGetErrorName(KyrGetLastError());
        std::this_thread::sleep_for(100ms);
    }

    // Stop asking: the device lets the streams lapse. The modes stay, so
    // that what is still on its way is decoded and counted.
    ASSERT_EQ(KyrSetInstantMode(h, nModes, 0, kNoGesture), 1);
    ASSERT_TRUE(Eventually([] { return kyrsim::SimStreams(kDevice).empty(); }, 10s)) << "the streams did not lapse";
    // The device sends in order, so once an answer to a command sent now
    // has been decoded, so has everything sent before it. The answer may be
    // spoilt itself: then ask again.
    int nAnswered = 0;
    for (int i = 0; i < 20 && nAnswered != 1; ++i)
        nAnswered = KyrSendCommand(h, "echo fence", 0, 5000);
    ASSERT_EQ(nAnswered, 1) << KyrGetErrorName(KyrGetLastError());

    const kyrsim::SimKindCounts sent = kyrsim::SimKinds(kDevice);
    const std::map<std::string, uint64_t> faults = kyrsim::SimFaults(kDevice);
    KyrCloseDevice(h);
    const auto decoded = [&](short nType) {
        return static_cast<uint64_t>(std::count(received.types.begin(), received.types.end(), nType));
    };

    // Nothing was lost on the way: the library was offered every report.
    ASSERT_EQ(received.raw.size(), sent.qwReports) << "reports lost between device and library";

    std::map<short, uint64_t> intact;
    for (const auto& [wId, kind] : sent.kinds) {
        const short nType = RecordOf(wId);
        ASSERT_GE(nType, 0) << "unexpected packet id 0x" << std::hex << wId;
        // Nobody checks the CRC of a device report.
        intact[nType] += kind.qwIntact + (nType == kyrtype_dvc ? kind.qwCrcOnly : 0);
    }
    static const char* const names[] = {"msg", "obj", "obc", "dtc", "ird", "itd", "prv", "cmd",
                                        "rsp", "rse", "stt", "dvc", "tpt", "gst", "ver"};
    std::string szFigures = "decoded/intact";
    uint64_t nLost = 0, nExtraPlain = 0, nExtraRaw = 0;
    for (const auto& [nType, nIntact] : intact) {
        const uint64_t nDecoded = decoded(nType);
        szFigures += std::string(" ") + names[nType] + "=" + std::to_string(nDecoded) + "/" + std::to_string(nIntact);
        nLost += nIntact > nDecoded ? nIntact - nDecoded : 0;
        const uint64_t nExtra = nDecoded > nIntact ? nDecoded - nIntact : 0;
        (nType == kyrtype_prv || nType == kyrtype_ird ? nExtraRaw : nExtraPlain) += nExtra;
    }
    szFigures += ";";
    for (const auto& [szName, nCount] : faults)
        szFigures += " " + szName + "=" + std::to_string(nCount);
    RecordProperty("figures", szFigures);
    std::cout << szFigures << std::endl;

    EXPECT_GT(faults.at("garbage"), 0u);
    EXPECT_GT(faults.at("truncated"), 0u);
    // Exact but for what the wire format cannot promise: raw bytes carry no
    // CRC, so the raw part of a raw packet that lost its last report can be
    // completed by a stray report of just the missing size, and is then
    // delivered, at most once per truncated packet. (A broken run of full
    // reports that happens to leave the CRC register as it found it would
    // pass with the packet behind it: about one in ten million packets.)
    EXPECT_EQ(nLost, 0u) << szFigures;
    EXPECT_EQ(nExtraPlain, 0u) << szFigures;
    EXPECT_LE(nExtraRaw, faults.at("truncated")) << szFigures;
    EXPECT_EQ(decoded(kyrtype_obc), decoded(kyrtype_ird));
    EXPECT_EQ(decoded(kyrtype_dtc), decoded(kyrtype_ird));
}

// ---- The same storm, replayed in-process ------------------------------------

namespace {

namespace sim = kyrsim::kyr;
namespace enc = kyrsim::encoder;

struct Record {
    short nType;
    uint16_t wTick;
};

class Collector : public kyr_hid_library::CMmPkt::IMmPktNotify {
public:
    std::vector<Record> records;

    bool OnCheckSyncResposePacket(int) override { return false; }
    void OnCompleteResponsePacket(int) override {}
    void OnCompleteNoneResponsePacket(unsigned short) override {}
    void TPDP_OnPacket(kyrpacket* p, bool) override { records.push_back({p->type, p->ticktime}); }
    void OnFirmwareMode(unsigned short, unsigned short) override {}
};

} // namespace

TEST(StormReplay, EveryIntactPacketIsDecodedAndNothingElse)
{
    const char* pszStorm = std::getenv("KYR_STORM");
    ASSERT_NE(pszStorm, nullptr) << "KYR_STORM names the storm's device options";
    // Split as kyrsim splits a device description and hands its model the rest.
    const sim::KyrOptions options =
        sim::ParseKyrOptions(kyrsim::ParseDeviceSpec(std::string("vid=0,pid=0,") + pszStorm).modelOptions);
    sim::CFaultInjector faults(options.faults, options.dwSeed);
    Collector collector;
    kyr_hid_library::CMmPkt codec(&collector);

    // As the device sends it: every millisecond the answers that are due,
    // then a sample of each stream that is due, in letter order; the storm
    // test's "long 300" every 100 ms. A stall holds back the answers and
    // loses the samples that fall due meanwhile. Each packet's tick numbers
    // its job, so that each record names the packet it came from.
    constexpr uint64_t kPackets = 200000;
    std::map<char, uint64_t> nextUs;
    std::map<char, uint32_t> samples;
    for (char c : sim::kStreamLetters)
        nextUs[c] = 0;
    std::deque<sim::TextPacket> answers;
    uint64_t nSent = 0, nLost = 0, nExtraPlain = 0, nExtraRaw = 0, nRawCut = 0, nStallUntilMs = 0;
    std::string szFirstLoss;
    uint16_t wJob = 0;
    // Sends one packet, checks what the codec made of it; true when a stall begins.
    auto send = [&](uint64_t nMs, sim::OutPacket packet) {
        const uint16_t wId = static_cast<uint16_t>(packet.packet[0] | packet.packet[1] << 8);
        const bool bRaw = packet.bRaw;
        const sim::CFaultInjector::Output out = faults.Send(std::move(packet));
        collector.records.clear();
        for (const enc::Report& report : out.reports)
            codec.ParsePacket(report.data(), report.size());
        ++nSent;
        // Nobody checks the CRC of a device report.
        const bool bIntact = !out.bCut && (!out.bBadCrc || RecordOf(wId) == kyrtype_dvc);
        bool bFound = false;
        for (const Record& record : collector.records) {
            // Image data decodes into three records: counted by its first.
            if (record.nType == kyrtype_obc || record.nType == kyrtype_dtc)
                continue;
            if (bIntact && !bFound && record.wTick == wJob && record.nType == RecordOf(wId))
                bFound = true;
            else
                ++(record.nType == kyrtype_prv || record.nType == kyrtype_ird ? nExtraRaw : nExtraPlain);
        }
        nRawCut += bRaw && out.bCut ? 1 : 0;
        if (bIntact && !bFound && nLost++ == 0)
            szFirstLoss = (std::ostringstream() << "the first: packet " << nSent << ", id 0x" << std::hex << wId).str();
        nStallUntilMs = out.nStallMs != 0 ? nMs + out.nStallMs : nStallUntilMs;
        return out.nStallMs != 0;
    };
    for (uint64_t nMs = 0; nSent < kPackets; ++nMs) {
        if (nMs % 100 == 0) {
            for (sim::TextPacket& piece : sim::AnswerCommand("long 300", {}, options.nChunk))
                answers.push_back(std::move(piece));
        }
        bool bStalled = nMs < nStallUntilMs;
        while (!bStalled && !answers.empty()) {
            const sim::TextPacket piece = std::move(answers.front());
            answers.pop_front();
            bStalled = send(nMs, sim::Plain(enc::Text(enc::kAddrMM, piece.kind, ++wJob, 1, piece.text)));
        }
        for (auto& [cLetter, nNextUs] : nextUs) {
            if (bStalled || nNextUs > nMs * 1000)
                continue;
            // Missed samples are not made up.
            const uint64_t nPeriodUs = 1000000 / options.rates.at(cLetter);
            nNextUs += nPeriodUs;
            if (nNextUs <= nMs * 1000)
                nNextUs = nMs * 1000 + nPeriodUs;
            for (sim::OutPacket& packet : sim::StreamSample(cLetter, samples[cLetter]++, ++wJob)) {
                if (!bStalled)
                    bStalled = send(nMs, std::move(packet));
            }
        }
    }
    std::cout << nSent << " packets: lost " << nLost << ", extra " << nExtraPlain << " plain and " << nExtraRaw
              << " raw (" << nRawCut << " raw packets cut); " << faults.Counts() << std::endl;
    EXPECT_EQ(nLost, 0u) << szFirstLoss;
    EXPECT_EQ(nExtraPlain, 0u);
    // Raw bytes carry no CRC: a raw part that lost its last report is made
    // whole by a stray last report of just the missing size, for about one
    // in seventy of them here. More would mean other reports count as raw.
    EXPECT_LE(nExtraRaw, nRawCut / 20);
}

// ---- Sixteen busy devices -------------------------------------------------------

namespace {

struct Busy {
    KYR_HANDLE h = nullptr;
    Recorder r;
    int nAnswered = 0, nTimedOut = 0, nFailed = 0;
    Clock::duration worst{};
};

} // namespace

// Every device streams touch points at 500/s and gestures and device reports
// at 100/s (device options in CMakeLists.txt), far more than the emulator
// carries for all of them at once; each is asked for its version every
// 100 ms. A device whose host reads too slowly loses samples, never answers:
// round trips stay well under a second in a debug build, and under 5 s with
// the sanitizers on a loaded machine, where a backlog of stale samples would
// grow by seconds every second.
TEST(ManyDevices, EveryBusyDeviceAnswersItsCommands)
{
    constexpr int kDevices = 16;
    ASSERT_EQ(KyrGetDeviceCount(kVid, kPid, kMI), kDevices);
    std::vector<Busy> devices(kDevices);
    for (int i = 0; i < kDevices; ++i) {
        Busy& busy = devices[static_cast<size_t>(i)];
        busy.h = KyrOpenDevice(kVid, kPid, kMI, i);
        ASSERT_NE(busy.h, nullptr) << i << ": " << KyrGetErrorName(KyrGetLastError());
        busy.r.Install(busy.h);
        ASSERT_EQ(KyrSetInstantMode(busy.h, KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_GESTURE | KYR_HID_MODE_DEVICE, 2000,
                                    kNoGesture),
                  1);
    }
    std::vector<std::thread> askers;
    const auto end = Clock::now() + 5s;
    for (Busy& busy : devices) {
        askers.emplace_back([&busy, end] {
            while (Clock::now() < end) {
                const auto sent = Clock::now();
                if (KyrSendCommand(busy.h, "version", 0, 5000) == 1)
                    ++busy.nAnswered;
                else
                    ++(KyrGetLastError() == KYR_ERROR_TIMEOUT ? busy.nTimedOut : busy.nFailed);
                busy.worst = std::max(busy.worst, Clock::now() - sent);
                std::this_thread::sleep_until(sent + 100ms);
            }
        });
    }
    std::vector<uint64_t> packetsMidway;
    std::this_thread::sleep_for(2500ms);
    for (Busy& busy : devices)
        packetsMidway.push_back(busy.r.Packets());
    for (std::thread& asker : askers)
        asker.join();
    Clock::duration worst{};
    for (size_t i = 0; i < devices.size(); ++i) {
        Busy& busy = devices[i];
        KyrCloseDevice(busy.h);
        worst = std::max(worst, busy.worst);
        EXPECT_EQ(busy.nTimedOut, 0) << "device " << i << " answered " << busy.nAnswered;
        EXPECT_EQ(busy.nFailed, 0) << "device " << i;
        EXPECT_GT(busy.r.Packets(), packetsMidway[i]) << "device " << i << " streams on";
    }
    std::cout << "worst round trip " << std::chrono::duration_cast<std::chrono::milliseconds>(worst).count() << " ms"
              << std::endl;
}
