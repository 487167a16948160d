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

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Report = kyrsim::test::Bytes;

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

void Put(std::vector<uint8_t>& out, uint64_t value, int nBytes)
{
    for (int i = 0; i < nBytes; ++i)
        out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

struct Event {
    uint8_t nDevice = kDevice;
    char cType;             // 'S' or 'C'
    uint8_t nTransferType;  // 0 iso, 1 interrupt, 2 control, 3 bulk
    uint8_t nEndpoint;
    int32_t lStatus;
    char cFlagData;  // 0: data present; '<', '>': none
    int64_t llUs;    // after kEpoch
    std::vector<uint8_t> data;
};

Event Out(int64_t llUs, const Report& r)
{
    return {kDevice, 'S', 1, 0x01, -115, 0, llUs, {r.begin(), r.end()}};
}

Event In(int64_t llUs, const Report& r)
{
    return {kDevice, 'C', 1, 0x81, 0, 0, llUs, {r.begin(), r.end()}};
}

// usbmon's binary record: the 48-byte header, the 16 bytes the mmapped
// interface adds, the data.
std::vector<uint8_t> Record(const Event& e, bool bMmapped)
{
    std::vector<uint8_t> out;
    Put(out, 0xffff8880deadbe00ULL + e.llUs, 8);  // the URB's address
    out.push_back(static_cast<uint8_t>(e.cType));
    out.push_back(e.nTransferType);
    out.push_back(e.nEndpoint);
    out.push_back(e.nDevice);
    Put(out, kBus, 2);
    out.push_back(e.nTransferType == 2 && e.cType == 'S' ? 0 : '-');
    out.push_back(static_cast<uint8_t>(e.cFlagData));
    Put(out, static_cast<uint64_t>(kEpoch + e.llUs / 1000000), 8);
    Put(out, static_cast<uint32_t>(e.llUs % 1000000), 4);
    Put(out, static_cast<uint32_t>(e.lStatus), 4);
    Put(out, e.data.empty() ? 64 : e.data.size(), 4);
    Put(out, e.data.size(), 4);
    Put(out, e.nTransferType == 2 && e.cType == 'S' ? 0x0000001200000680ULL : 0, 8);  // GET_DESCRIPTOR
    if (bMmapped) {
        Put(out, e.nTransferType == 1 ? 1 : 0, 4);  // interval
        Put(out, 0, 4);
        Put(out, 0x200, 4);  // URB_DIR_IN-like flags: not looked at
        Put(out, 0, 4);
    }
    out.insert(out.end(), e.data.begin(), e.data.end());
    return out;
}

void WritePcap(const std::string& szPath, const std::vector<Event>& events, bool bMmapped)
{
    std::vector<uint8_t> file;
    Put(file, 0xa1b2c3d4, 4);
    Put(file, 2, 2);
    Put(file, 4, 2);
    Put(file, 0, 4);
    Put(file, 0, 4);
    Put(file, 65535, 4);
    Put(file, bMmapped ? 220 : 189, 4);
    for (const Event& e : events) {
        const std::vector<uint8_t> record = Record(e, bMmapped);
        Put(file, static_cast<uint64_t>(kEpoch + e.llUs / 1000000), 4);
        Put(file, static_cast<uint32_t>(e.llUs % 1000000), 4);
        Put(file, record.size(), 4);
        Put(file, record.size(), 4);
        file.insert(file.end(), record.begin(), record.end());
    }
    std::ofstream(szPath, std::ios::binary).write(reinterpret_cast<const char*>(file.data()),
                                                  static_cast<std::streamsize>(file.size()));
}

// One device's conversation as usbmon shows it: every transfer as submission
// and completion, only one of which carries data.
std::vector<Event> Conversation()
{
    const std::vector<uint8_t> descriptor(18, 0x12);
    return {
        {kDevice, 'S', 2, 0x80, -115, '<', 0, {}},            // GET_DESCRIPTOR
        {kDevice, 'C', 2, 0x80, 0, 0, 40, descriptor},        // control data: not a report
        {kDevice, 'S', 1, 0x81, -115, '<', 100, {}},          // the host's read, waiting
        Out(1000000, kPing),
        {kDevice, 'C', 1, 0x01, 0, '>', 1000100, {}},
        In(1000500, kFirst),
        {kDevice, 'S', 1, 0x81, -115, '<', 1000600, {}},
        In(1000000 + std::chrono::microseconds(kRecordedGap).count(), kSecond),
        {kDevice, 'S', 1, 0x81, -115, '<', 1300100, {}},
        {kDevice, 'C', 1, 0x81, -2, 0, 1400000, {}},          // cancelled: -ENOENT
        Out(2000000, kPong),
        {kDevice, 'C', 1, 0x01, 0, '>', 2000100, {}},
        In(2100000, kThird),
    };
}

int Make(const std::string& szDir)
{
    const std::vector<Event> conversation = Conversation();
    WritePcap(szDir + "/replay220.pcap", conversation, true);
    WritePcap(szDir + "/replay189.pcap", conversation, false);
    // Another device talks in between, with reports of its own.
    std::vector<Event> both = conversation;
    Event otherOut = Out(500000, MakeReport("other out"));
    Event otherIn = In(600000, MakeReport("other in"));
    Event otherLate = In(1500000, MakeReport("other late"));
    for (Event* e : {&otherOut, &otherIn, &otherLate})
        e->nDevice = kOther;
    both.insert(both.begin() + 3, otherOut);
    both.insert(both.begin() + 4, otherIn);
    both.insert(both.begin() + 10, otherLate);
    WritePcap(szDir + "/several.pcap", both, true);
    return 0;
}

std::string Text(const std::optional<Report>& r)
{
    return r ? std::string(reinterpret_cast<const char*>(r->data()) + 3, (*r)[2]) : "(nothing)";
}

// Whichever capture kyrsim plays (64- or 48-byte headers, or the selected
// device of two), the host sees the same device.
TEST(Replay, PlaysTheRecordedDeviceSideAndChecksWhatTheHostSends)
{
    kyrsim::test::CHost host(kBus, kDevice);
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

    const kyrsim::SimReplayCounts counts = kyrsim::SimReplay(0);
    EXPECT_EQ(counts.qwRecordedOut, 2u) << "only the OUT submissions carry reports";
    EXPECT_EQ(counts.qwRecordedIn, 3u) << "only the successful IN completions carry reports";
    EXPECT_EQ(counts.qwOut, 3u);
    EXPECT_EQ(counts.qwMatched, 1u);
    EXPECT_EQ(counts.qwMismatched, 1u);
    EXPECT_EQ(counts.qwExtra, 1u);
    EXPECT_EQ(counts.qwIn, 3u);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::string(argv[1]) == "--make")
        return Make(argv[2]);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
