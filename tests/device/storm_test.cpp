// A fault storm: the protocol device streams every kind of packet at high
// rates, answers a steady flow of long commands, and spoils a good share of
// what it sends (garbage reports, bad CRCs, lost last reports, corrupt size
// bytes). Through the exported interface, every packet that leaves the device
// intact must be decoded, and nothing else; compared with the device's own
// counts of what it sent.
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <thread>

#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr unsigned long kNoGesture = ~0UL;
constexpr int kDevice = 0;
constexpr auto kStorm = 20s;

struct Received {
    std::atomic<uint64_t> nReports{0};
    std::array<std::atomic<uint64_t>, kyrtype_ver + 1> byType{};
};

int OnReceiveRawData(KYR_HANDLE, unsigned char*, unsigned short, void* pContext)
{
    ++static_cast<Received*>(pContext)->nReports;
    return 0; // decode it all the same
}

void OnPacket(KYR_HANDLE, kyrpacket* p, int, void* pContext)
{
    auto* pReceived = static_cast<Received*>(pContext);
    if (p->type >= 0 && p->type <= kyrtype_ver)
        ++pReceived->byType[static_cast<size_t>(p->type)];
}

// The record each packet id of the device's streams and answers decodes into
// (image data into three: counted by its first).
short RecordOf(uint16_t wId)
{
    switch (wId) {
    case 0x1006: return kyrtype_msg;
    case 0x1003: return kyrtype_obj;
    case 0x2805: return kyrtype_prv;
    case 0x2801: return kyrtype_ird;
    case 0x1300: return kyrtype_tpt;
    case 0x1301: return kyrtype_gst;
    case 0x1302: return kyrtype_dvc;
    case 0x1008:
    case 0x1009: return kyrtype_rsp;
    default: return -1;
    }
}

const char* NameOf(short nType)
{
    static const char* const names[] = {"msg", "obj", "obc", "dtc", "ird", "itd", "prv", "cmd",
                                        "rsp", "rse", "stt", "dvc", "tpt", "gst", "ver"};
    return nType >= 0 && nType <= kyrtype_ver ? names[nType] : "?";
}

} // namespace

TEST(Storm, EveryIntactPacketIsDecodedAndNothingElse)
{
    Received received;
    KYR_HANDLE h = KyrOpenDevice(kVid, kPid, kMI, 0);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    KYR_EVENT_NOTIFY table{};
    table.Context = &received;
    table.fnOnReceiveRawData = &OnReceiveRawData;
    table.fnOnPacket = &OnPacket;
    KyrSetEventNotify(h, &table);

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
    bool bLapsed = false;
    for (const auto deadline = Clock::now() + 10s; !bLapsed && Clock::now() < deadline;) {
        std::this_thread::sleep_for(50ms);
        bLapsed = kyrsim::SimStreams(kDevice).empty();
    }
    ASSERT_TRUE(bLapsed) << "the streams did not lapse";
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

    // Nothing was lost on the way: the library was offered every report.
    ASSERT_EQ(received.nReports.load(), sent.qwReports) << "reports lost between device and library";

    std::map<short, uint64_t> intact;
    for (const auto& [wId, kind] : sent.kinds) {
        const short nType = RecordOf(wId);
        ASSERT_GE(nType, 0) << "unexpected packet id 0x" << std::hex << wId;
        // Nobody checks the CRC of a device report.
        intact[nType] += kind.qwIntact + (nType == kyrtype_dvc ? kind.qwCrcOnly : 0);
    }
    std::string szFigures = "decoded/intact";
    uint64_t nLost = 0, nExtraPlain = 0, nExtraRaw = 0;
    for (const auto& [nType, nIntact] : intact) {
        const uint64_t nDecoded = received.byType[static_cast<size_t>(nType)].load();
        szFigures += std::string(" ") + NameOf(nType) + "=" + std::to_string(nDecoded) + "/" + std::to_string(nIntact);
        nLost += nIntact > nDecoded ? nIntact - nDecoded : 0;
        const uint64_t nExtra = nDecoded > nIntact ? nDecoded - nIntact : 0;
        (nType == kyrtype_prv || nType == kyrtype_ird ? nExtraRaw : nExtraPlain) += nExtra;
    }
    szFigures += ";";
    for (const auto& [szName, nCount] : faults)
        szFigures += " " + szName + "=" + std::to_string(nCount);
    RecordProperty("figures", szFigures);
    std::printf("%s\n", szFigures.c_str());

    EXPECT_GT(faults.at("garbage"), 0u);
    EXPECT_GT(faults.at("truncated"), 0u);
    // Exact but for what the wire format cannot promise. A broken run
    // (garbage, or what is left of a truncated packet) that happens to leave
    // the CRC register as it found it, or to begin like a device report,
    // which nobody checks, passes together with the packet behind it, and
    // that packet is lost: with the counts of this storm, about one storm in
    // thirty loses one so. And raw bytes carry no CRC: the raw part of a raw
    // packet that lost its last report can be completed by unrelated reports
    // of just the missing size, and is then delivered, at most once per
    // truncated packet (most storms have one or two).
    constexpr uint64_t kCrcChance = 2;
    EXPECT_LE(nLost, kCrcChance) << szFigures;
    EXPECT_LE(nExtraPlain, kCrcChance) << szFigures;
    EXPECT_LE(nExtraRaw, faults.at("truncated")) << szFigures;
    EXPECT_EQ(received.byType[kyrtype_obc].load(), received.byType[kyrtype_ird].load());
    EXPECT_EQ(received.byType[kyrtype_dtc].load(), received.byType[kyrtype_ird].load());
}
