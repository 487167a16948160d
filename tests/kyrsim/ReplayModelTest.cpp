// The replay model, checked with plain libusb against captures built here,
// byte by byte, from the usbmon format (48- and 64-byte headers), with the
// noise a real capture carries: control transfers, the empty halves of each
// transfer, a failed completion and another device.
//
//   kyrsim_replay_test --make DIR   writes the captures (outside kyrsim)
//   kyrsim_replay_test              the tests, under kyrsim with the replay
//                                   model on one of them
#include "KyrSimControl.h"
#include "UsbHost.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <tuple>

namespace {

using namespace kyrsim::test;
using Report = Bytes;

// The recorded device, and the one beside it in the capture of two devices.
constexpr uint16_t kBus = 2;
constexpr uint8_t kDevice = 5;
constexpr uint8_t kOther = 6;
// Recorded times: seconds and microseconds after this.
constexpr int64_t kEpoch = 1700000000;
// The recorded distance of the second IN report from the OUT report before it.
constexpr auto kRecordedGap = 300ms;

Report MakeReport(const std::string& szText)
{
    Report r(64);
    r[0] = 1;
    r[1] = 1;
    r[2] = static_cast<uint8_t>(szText.size());
    std::memcpy(r.data() + 3, szText.data(), szText.size());
    return r;
}

const Report kPing = MakeReport("ping");
const Report kPong = MakeReport("pong");
const Report kFirst = MakeReport("first answer");
const Report kSecond = MakeReport("second answer");
const Report kThird = MakeReport("third answer");

// ---- Captures ----------------------------------------------------------------

// Little-endian fields, each {value, width in bytes}.
void Put(Report& out, std::initializer_list<std::pair<uint64_t, int>> fields)
{
    for (const auto& [value, nBytes] : fields) {
        for (int i = 0; i < nBytes; ++i)
            out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    }
}

struct Event {
    uint8_t nDevice;
    char cType;             // 'S' or 'C'
    uint8_t nTransferType;  // 0 iso, 1 interrupt, 2 control, 3 bulk
    uint8_t nEndpoint;
    int32_t lStatus;
    char cFlagData;  // 0: data present; '<', '>': none
    int64_t llUs;    // after kEpoch
    Report data;
};


// usbmon's binary record: the 48-byte header, the 16 bytes the mmapped
// interface adds, the data.
Report Record(const Event& e, bool bMmapped)
{
    const bool bSetup = e.nTransferType == 2 && e.cType == 'S';
    Report out;
    Put(out, {{0xffff8880deadbe00ULL + e.llUs, 8},  // the URB's address
              {static_cast<uint8_t>(e.cType), 1}, {e.nTransferType, 1}, {e.nEndpoint, 1}, {e.nDevice, 1}, {kBus, 2},
              {bSetup ? 0 : '-', 1}, {static_cast<uint8_t>(e.cFlagData), 1},
              {static_cast<uint64_t>(kEpoch + e.llUs / 1000000), 8}, {static_cast<uint32_t>(e.llUs % 1000000), 4},
              {static_cast<uint32_t>(e.lStatus), 4}, {e.data.empty() ? 64 : e.data.size(), 4}, {e.data.size(), 4},
              {bSetup ? 0x0000001200000680ULL : 0, 8}});  // GET_DESCRIPTOR
    if (bMmapped)  // interval, start frame, flags (not looked at), descriptors
        Put(out, {{e.nTransferType == 1 ? 1 : 0, 4}, {0, 4}, {0x200, 4}, {0, 4}});
    out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

void WritePcap(const std::string& szPath, const std::vector<Event>& events, bool bMmapped)
{
    Report file;
    Put(file, {{0xa1b2c3d4, 4}, {2, 2}, {4, 2}, {0, 4}, {0, 4}, {65535, 4}, {bMmapped ? 220 : 189, 4}});
    for (const Event& e : events) {
        const Report record = Record(e, bMmapped);
        Put(file, {{static_cast<uint64_t>(kEpoch + e.llUs / 1000000), 4},
                   {static_cast<uint32_t>(e.llUs % 1000000), 4},
                   {record.size(), 4},
                   {record.size(), 4}});
        file.insert(file.end(), record.begin(), record.end());
    }
    std::ofstream(szPath, std::ios::binary)
        .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
}

// One device's conversation as usbmon shows it: every transfer as submission
// and completion, only one of which carries data.
int Make(const std::string& szDir)
{
    // An OUT report as submitted, an IN report as completed.
    const auto Out = [](int64_t llUs, const Report& r, uint8_t nDevice = kDevice) {
        return Event{nDevice, 'S', 1, 0x01, -115, 0, llUs, r};
    };
    const auto In = [](int64_t llUs, const Report& r, uint8_t nDevice = kDevice) {
        return Event{nDevice, 'C', 1, 0x81, 0, 0, llUs, r};
    };
    const std::vector<Event> conversation = {
        {kDevice, 'S', 2, 0x80, -115, '<', 0, {}},                // GET_DESCRIPTOR
        {kDevice, 'C', 2, 0x80, 0, 0, 40, Report(18, 0x12)},      // control data: not a report
        {kDevice, 'S', 1, 0x81, -115, '<', 100, {}},              // the host's read, waiting
        Out(1000000, kPing),
        {kDevice, 'C', 1, 0x01, 0, '>', 1000100, {}},
        In(1000500, kFirst),
        {kDevice, 'S', 1, 0x81, -115, '<', 1000600, {}},
        In(1000000 + std::chrono::microseconds(kRecordedGap).count(), kSecond),
        {kDevice, 'S', 1, 0x81, -115, '<', 1300100, {}},
        {kDevice, 'C', 1, 0x81, -2, 0, 1400000, {}},              // cancelled: -ENOENT
        Out(2000000, kPong),
        {kDevice, 'C', 1, 0x01, 0, '>', 2000100, {}},
        In(2100000, kThird),
    };
    WritePcap(szDir + "/replay220.pcap", conversation, true);
    WritePcap(szDir + "/replay189.pcap", conversation, false);
    // Another device talks in between, with reports of its own.
    std::vector<Event> both = conversation;
    both.insert(both.begin() + 3, Out(500000, MakeReport("other out"), kOther));
    both.insert(both.begin() + 4, In(600000, MakeReport("other in"), kOther));
    both.insert(both.begin() + 10, In(1500000, MakeReport("other late"), kOther));
    WritePcap(szDir + "/several.pcap", both, true);
    return 0;
}

std::string Text(const std::optional<Report>& r)
{
    if (!r || r->size() != 64)
        return r ? "(not a full report)" : "(nothing)";
    return std::string(reinterpret_cast<const char*>(r->data()) + 3, (*r)[2]);
}

// Whichever capture kyrsim plays (64- or 48-byte headers, or the selected
// device of two), the host sees the same device.
TEST(Replay, PlaysTheRecordedDeviceSideAndChecksWhatTheHostSends)
{
    CHost host(kBus, kDevice);
    ASSERT_TRUE(host.Ok());

    // Nothing comes before the OUT report that preceded it in the recording.
    EXPECT_EQ(Text(host.Read(300ms)), "(nothing)");

    const auto sent = Clock::now();
    ASSERT_EQ(host.Write(kPing), 0);
    EXPECT_EQ(Text(host.Read(10s)), "first answer");
    const std::optional<Report> second = host.Read(10s);
    const auto gap = Clock::now() - sent;
    EXPECT_EQ(Text(second), "second answer");
    // Paced from the OUT report's arrival, which is after `sent`; the upper
    // bound only catches a pace that has nothing to do with the recording.
    EXPECT_GE(gap, kRecordedGap - 5ms);
    EXPECT_LT(gap, kRecordedGap + 5s);

    // A different report in place of the recorded one is counted, and the
    // playback goes on.
    ASSERT_EQ(host.Write(MakeReport("pang")), 0);
    EXPECT_EQ(Text(host.Read(10s)), "third answer");
    ASSERT_EQ(host.Write(kPing), 0);
    EXPECT_EQ(Text(host.Read(300ms)), "(nothing)");

    const kyrsim::SimReplayCounts c = kyrsim::SimReplay(0);
    // Of the recording, only the OUT submissions and the successful IN completions carry reports.
    EXPECT_EQ(std::tuple(c.qwRecordedOut, c.qwRecordedIn), std::tuple(2u, 3u));
    // Out, matched, mismatched, extra; in.
    EXPECT_EQ(std::tuple(c.qwOut, c.qwMatched, c.qwMismatched, c.qwExtra, c.qwIn), std::tuple(3u, 1u, 1u, 1u, 3u));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--make")
        return Make(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
