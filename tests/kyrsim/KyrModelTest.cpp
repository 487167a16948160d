// The kyr model on the wire, checked with plain libusb: command answers and
// their scenarios, firmware queries, instant-mode streams with their
// keep-alive, and each injected fault.
//
// Expected bytes are built here from the wire format; only the CRC comes
// from the encoder, whose check values the codec tests pin down. Reads wait
// for what they expect (or for the answer to a later query, which the device
// sends after everything before it), never for a window of fixed length: a
// loaded machine stretches any window.
#include "KyrSimControl.h"
#include "PacketEncoder.h"
#include "UsbHost.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

namespace {

using namespace kyrsim::test;
using Report = Bytes;  // always 64 bytes
using Reports = std::vector<Report>;

// Device layouts, kept in step with the DEVICES lines of CMakeLists.txt: one
// device per scenario, on bus 4 at address 10 + its number.
enum Device : int { kPlain = 0, kEcho, kTwice, kForeign, kSilent, kFwMode3, kFast };
enum FaultDevice : int { kBadCrc = 0, kTruncated, kOversize, kGarbage, kStall, kGarbageFirst };
// How long a read waits for what the device must send. Generous: only a
// failing test waits it out.
constexpr auto kPatience = 10s;
const std::string kVersion = "MM 2.7 nv1 model 0x0031 Mar 14 2024 10:20:30";

uint16_t Word(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint16_t Id(const Report& r) { return Word(r.data() + 3); }
// Device ticks are milliseconds in 16 bits.
uint16_t Tick(const Report& r) { return Word(r.data() + 5); }
uint16_t TicksBetween(uint16_t wEarlier, uint16_t wLater) { return static_cast<uint16_t>(wLater - wEarlier); }

bool CrcOk(const Bytes& packet)
{
    const size_t n = packet.size() - 2;  // wraps when too short, but is not used then
    return packet.size() >= 2 && kyrsim::encoder::Crc16(std::span(packet).first(n)) == Word(packet.data() + n);
}

// One packet gathered from its series: the single one (report types 0x00
// and 0x01) or the stream (0x80 and 0x81), where a raw-format packet is a
// header with its CRC and the raw data that follows it.
struct Packet {
    uint16_t wId = 0;
    Bytes bytes;  // without the raw data
    size_t nRawExpected = 0;
    size_t nRaw = 0;
    uint8_t CmdId() const { return bytes.size() > 5 ? bytes[5] : 0; }
    std::string Text() const
    {
        if (bytes.size() < 10)
            return {};
        const long n = std::min<long>(Word(&bytes[6]), std::ssize(bytes) - 10);
        return std::string(bytes.begin() + 8, bytes.begin() + 8 + n);
    }
};

// Joins the payloads of each series; reports of neither are skipped.
std::vector<Packet> Assemble(const Reports& reports)
{
    std::vector<Packet> packets;
    Bytes pending[2];
    size_t nInRaw = 0;  // 1 + the index of the packet whose raw data comes
    for (const Report& r : reports) {
        const int nSeries = r[1] >> 7;
        if ((r[1] & 0x7E) != 0 || r[2] > 61)
            continue;
        if (nSeries == 1 && nInRaw != 0) {
            packets[nInRaw - 1].nRaw += r[2];
            nInRaw = r[1] == 0x80 ? nInRaw : 0;
            continue;
        }
        pending[nSeries].insert(pending[nSeries].end(), r.begin() + 3, r.begin() + 3 + r[2]);
        if ((r[1] & 1) == 0)
            continue;
        Packet& p = packets.emplace_back();
        p.bytes.swap(pending[nSeries]);
        p.wId = p.bytes.size() >= 2 ? Word(p.bytes.data()) : 0;
        if (nSeries == 1 && (p.wId & 0x0800) != 0 && p.bytes.size() >= 6) {
            p.nRawExpected = Word(p.bytes.data() + 4);
            nInRaw = packets.size();
        }
    }
    return packets;
}

// A one-report packet of the single series, whole and with a good CRC.
bool IsIntact(const Report& r, uint16_t wId)
{
    return r[1] == 0x01 && r[2] >= 6 && r[2] <= 61 && Id(r) == wId &&
           CrcOk(Bytes(r.begin() + 3, r.begin() + 3 + r[2]));
}
bool IsIntactTouchReport(const Report& r) { return IsIntact(r, 0x1300) && r[2] >= 10; }

// The answer to a command: a one-report Response with its id.
bool IsAnswerTo(const Report& r, uint8_t nId) { return IsIntact(r, 0x1008) && r[2] >= 10 && r[3 + 5] == nId; }

// The fence: the IAP version of the IAP unit, which no test asks for itself.
const Bytes kFenceQuery = {0x05, 0x01, 0, 0};
bool IsFenceAnswer(const Report& r) { return r[1] == 0x01 && r[2] == 6 && Id(r) == 0x0105; }

class CDevice : public CHost {
public:
    // A device that is not there fails the test here, and every exchange after.
    explicit CDevice(int nDevice, int nInterface = 0) : CHost(4, 10 + nDevice, nInterface)
    {
        EXPECT_TRUE(Ok()) << "device " << nDevice << " not claimed";
    }

    // Writes a packet and its CRC the way a host cuts it: 61 bytes per
    // report, the last of type 1; so a query goes in one report of type 1.
    bool SendPacket(Bytes packet)
    {
        const uint16_t wCrc = kyrsim::encoder::Crc16(packet);
        packet.insert(packet.end(), {static_cast<uint8_t>(wCrc), static_cast<uint8_t>(wCrc >> 8)});
        bool bSent = true;
        for (size_t n = 0; n < packet.size() && bSent; n += 61) {
            const size_t nEnd = std::min(packet.size(), n + 61);
            Report r = {1, static_cast<uint8_t>(nEnd == packet.size()), static_cast<uint8_t>(nEnd - n)};
            r.insert(r.end(), packet.begin() + n, packet.begin() + nEnd);
            r.resize(64);
            bSent = Write(r) == 0;
        }
        return bSent;
    }
    bool SendCommand(uint8_t nId, const std::string& szText)
    {
        Bytes packet = {0x07, 0x10, 0, 0, 0, nId, static_cast<uint8_t>(szText.size()),
                        static_cast<uint8_t>(szText.size() >> 8)};
        packet.insert(packet.end(), szText.begin(), szText.end());
        packet.push_back(0);
        return SendPacket(packet);
    }

    // Reads until the reports so far satisfy the predicate, or the time is over.
    template <typename Predicate>
    Reports ReadUntil(Predicate done, std::chrono::milliseconds span = kPatience)
    {
        Reports reports;
        const auto end = Clock::now() + span;
        for (auto now = Clock::now(); !done(reports) && now < end; now = Clock::now()) {
            if (std::optional<Report> r = ReadReport(std::chrono::duration_cast<std::chrono::milliseconds>(end - now)))
                reports.push_back(std::move(*r));
        }
        return reports;
    }
    Reports ReadReports(size_t n) { return ReadUntil([n](const Reports& r) { return r.size() >= n; }); }
    // Every report within the time: for pacing, never to decide whether something came.
    Reports ReadFor(std::chrono::milliseconds span) { return ReadUntil([](const Reports&) { return false; }, span); }
    Reports ReadUntilAnswerTo(uint8_t nId)
    {
        return ReadUntil([nId](const Reports& r) { return !r.empty() && IsAnswerTo(r.back(), nId); });
    }

    // Everything the device sends before it answers a query sent now, which
    // it answers after whatever it was asked before.
    Reports ReadThroughFence()
    {
        Reports reports;
        if (SendPacket(kFenceQuery))
            reports = ReadUntil([](const Reports& r) { return !r.empty() && IsFenceAnswer(r.back()); });
        if (reports.empty() || !IsFenceAnswer(reports.back()))
            ADD_FAILURE() << "no answer to the fence query";
        else
            reports.pop_back();
        return reports;
    }

    // The text of the answer to a command, whatever streams run meanwhile.
    std::string Ask(uint8_t nId, const std::string& szCommand)
    {
        const Reports reports = SendCommand(nId, szCommand) ? ReadUntilAnswerTo(nId) : Reports{};
        return reports.empty() || !IsAnswerTo(reports.back(), nId) ? "<no answer>"
                                                                   : Assemble({reports.back()}).front().Text();
    }

    // The packets that answer a command: all the device sends until the fence.
    std::vector<Packet> Exchange(uint8_t nId, const std::string& szText)
    {
        return SendCommand(nId, szText) ? Assemble(ReadThroughFence()) : std::vector<Packet>{};
    }
};

// ---- commands ----------------------------------------------------------------

TEST(Commands, EachScenarioAnswersWithItsPacketsTheIdAndText)
{
    using Answer = std::pair<uint16_t, std::string>;
    const std::string szLong(150, 'x');  // a 161-byte command packet: three OUT reports
    std::string szDigits;                // what "long N" answers: N characters 0123456789012...
    for (int i = 0; i < 200; ++i)
        szDigits += static_cast<char>('0' + i % 10);
    const struct {
        int nDevice;
        uint8_t nId;
        std::string szCommand;
        std::vector<Answer> answers;
        uint8_t nAnswerId = 0;  // 0: the command's
    } cases[] = {
        {kPlain, 41, "echo hello there", {{0x1008, "hello there"}}},
        {kPlain, 42, "version", {{0x1008, kVersion}}},
        {kPlain, 43, "frobnicate 3", {{0x1008, "unknown command: frobnicate 3"}}},
        {kPlain, 7, "echo " + szLong, {{0x1008, szLong}}},
        // In pieces of 200: continued pieces, then the rest.
        {kPlain, 8, "long 450", {{0x1009, szDigits}, {0x1009, szDigits}, {0x1008, szDigits.substr(0, 50)}}},
        {kPlain, 9, "rse failed", {{0x100A, "failed"}}},
        {kPlain, 10, "notify warming up", {{0x100C, "warming up"}, {0x1008, "ok"}}},
        {kEcho, 21, "echo ping", {{0x1007, "echo ping"}, {0x1008, "ping"}}},
        {kTwice, 3, "version", {{0x1008, kVersion}, {0x1008, kVersion}}},
        // A foreign answer carries the next id, and never 0.
        {kForeign, 17, "echo id", {{0x1008, "id"}}, 18},
        {kForeign, 254, "echo id", {{0x1008, "id"}}, 255},
        {kForeign, 255, "echo id", {{0x1008, "id"}}, 1},
        {kSilent, 5, "version", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.nDevice) + ": " + c.szCommand.substr(0, 20));
        CDevice device(c.nDevice);
        const uint64_t qwBefore = kyrsim::SimCommandCount(c.nDevice);
        const std::vector<Packet> packets = device.Exchange(c.nId, c.szCommand);
        ASSERT_EQ(packets.size(), c.answers.size());
        for (size_t i = 0; i < packets.size(); ++i) {
            EXPECT_EQ(packets[i].wId, c.answers[i].first) << i;
            EXPECT_TRUE(CrcOk(packets[i].bytes)) << i;
            EXPECT_EQ(packets[i].CmdId(), c.nAnswerId != 0 ? c.nAnswerId : c.nId) << i;
            EXPECT_EQ(packets[i].Text(), c.answers[i].second) << i;
        }
        EXPECT_TRUE(c.nDevice != kTwice || packets[0].bytes == packets[1].bytes) << "twice the same answer";
        EXPECT_EQ(kyrsim::SimCommandCount(c.nDevice), qwBefore + 1);
        const kyrsim::SimCommand last = kyrsim::SimLastCommand(c.nDevice).value_or(kyrsim::SimCommand{});
        EXPECT_EQ(std::pair(last.nId, last.szText), std::pair(int{c.nId}, c.szCommand));
    }
    const std::vector<Packet> status = CDevice(kPlain).Exchange(44, "status");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].Text().rfind("ok letters= gesture=none uptime=", 0), 0u) << status[0].Text();
}

// ---- firmware queries ----------------------------------------------------------

// fwmode=3 on the command line puts every unit in mode 3.
TEST(Firmware, TheFwModeKeySetsEveryUnit)
{
    CDevice device(kFwMode3);
    for (const uint16_t wUnit : {0x1000, 0x4000, 0xA000}) {
        SCOPED_TRACE(wUnit);
        // The mode query: 04 <unit | 0x0100 high byte> 00 00 + CRC out, <unit | 0x0104> with the mode back.
        ASSERT_TRUE(device.SendPacket({0x04, static_cast<uint8_t>((wUnit | 0x0100) >> 8), 0, 0}));
        const Reports answer = device.ReadThroughFence();
        ASSERT_EQ(answer.size(), 1u);
        EXPECT_TRUE(IsIntact(answer[0], wUnit | 0x0104));
        EXPECT_EQ(answer[0][2], 6);
        EXPECT_EQ(Word(answer[0].data() + 5), 3);
    }
}

// ---- instant mode ------------------------------------------------------------------

TEST(InstantMode, RepeatsKeepTouchPointsGoingAndTheyStopAfterTheLast)
{
    CDevice device(kPlain);
    Reports reports;
    std::vector<uint8_t> sentIds;
    const auto add = [&](const Reports& more) { reports.insert(reports.end(), more.begin(), more.end()); };
    // A repeat every 150 ms for an expire time of 600 ms, for over a second.
    for (uint8_t nId = 60; nId < 68; ++nId) {
        ASSERT_TRUE(device.SendCommand(nId, "instant_mode=T,600"));
        sentIds.push_back(nId);
        add(device.ReadFor(150ms));
    }
    // Then none: the stream ends.
    const auto lapsed = [&] {
        add(device.ReadFor(50ms));
        return kyrsim::SimStreams(kPlain).empty();
    };
    ASSERT_TRUE(Eventually(lapsed, kPatience)) << "the stream did not lapse";
    add(device.ReadThroughFence());
    const Reports after = device.ReadThroughFence();
    EXPECT_TRUE(after.empty()) << after.size() << " reports after the mode lapsed";

    // Times on the device's clock: an answer carries the tick at which its
    // command arrived, a touch-point packet the tick at which it was sampled.
    std::vector<uint8_t> answeredIds;
    std::vector<uint16_t> answerTicks;
    for (const Packet& p : Assemble(reports)) {
        if (p.wId == 0x1008) {
            answeredIds.push_back(p.CmdId());
            answerTicks.push_back(Word(p.bytes.data() + 2));
            EXPECT_EQ(p.Text(), "T");
        }
    }
    ASSERT_EQ(answeredIds, sentIds);
    const auto lastTouch = std::find_if(reports.rbegin(), reports.rend(), IsIntactTouchReport);
    ASSERT_NE(lastTouch, reports.rend());
    EXPECT_GT(TicksBetween(answerTicks.front(), Tick(*lastTouch)), 900)
        << "touch points ended although the mode was repeated";
    EXPECT_LE(TicksBetween(answerTicks.back(), Tick(*lastTouch)), 600) << "touch points outlived the last request";
}

TEST(InstantMode, TheQueryAnswersTheLettersInForceAndEachLetterSendsItsPacketKind)
{
    CDevice device(kPlain);
    EXPECT_EQ(device.Ask(70, "instant_mode=?"), "");
    EXPECT_EQ(device.Ask(71, "instant_mode=gqcM,5000,0x3f"), "MCG");
    EXPECT_EQ(device.Ask(72, "instant_mode=?"), "MCG");
    EXPECT_EQ(kyrsim::SimStreams(kPlain), "MG");

    const std::set<uint16_t> expected = {0x1006, 0x1003, 0x1300, 0x1301, 0x1302, 0x1008, 0x2805, 0x2801};
    const auto seenAll = [&](const Reports& reports) {
        std::set<uint16_t> ids;
        for (const Packet& p : Assemble(reports))
            ids.insert(p.wId);
        return std::includes(ids.begin(), ids.end(), expected.begin(), expected.end());
    };
    ASSERT_TRUE(device.SendCommand(80, "instant_mode=MOVTGDSX,10000"));
    Reports reports = device.ReadUntil(seenAll);
    // Up to the answer that stops them, so that no packet is cut short.
    ASSERT_TRUE(device.SendCommand(81, "instant_mode=MOVTGDSX,0"));
    const Reports rest = device.ReadUntilAnswerTo(81);
    ASSERT_FALSE(rest.empty());
    EXPECT_EQ(Assemble({rest.back()}).front().Text(), "") << "time 0 stops the streams";
    EXPECT_EQ(kyrsim::SimStreams(kPlain), "");
    reports.insert(reports.end(), rest.begin(), rest.end());
    EXPECT_TRUE(seenAll(reports));
    for (const Packet& p : Assemble(reports)) {
        EXPECT_TRUE(CrcOk(p.bytes)) << std::hex << p.wId;
        EXPECT_EQ(p.nRaw, p.nRawExpected) << std::hex << p.wId;
    }
}

// ---- stream scenario -------------------------------------------------------------

TEST(Stream, TouchPointsFlowFromAttachAtTheGivenRate)
{
    // The second of two interfaces, where hosts drive the device models.
    CDevice device(kFast, 1);
    EXPECT_EQ(kyrsim::SimStreams(kFast), "T");
    constexpr size_t kSamples = 400;
    const Reports reports = device.ReadReports(kSamples);
    ASSERT_EQ(reports.size(), kSamples);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), IsIntactTouchReport), static_cast<long>(kSamples));
    // On the device's clock, 1000 a second are asked for. The default 100
    // would space 400 samples over more than 3980 ms: each is due 10 ms after
    // the one before, or later when the device falls behind.
    EXPECT_LT(TicksBetween(Tick(reports.front()), Tick(reports.back())), 3980);
}

// ---- faults --------------------------------------------------------------------------

// The kinds counts come from one snapshot, consistent however fast they move.
TEST(Fault, EachStreamFaultHitsEveryNthPacketAndKindsCountWhatItSpoilt)
{
    const struct {
        int nDevice;
        const char* pszFault;
        size_t nSpacing;
        bool bTouchOnly;  // no garbage reports in between
        bool (*hit)(const Report&);
        uint64_t nSpoiltEvery;  // 0: the packets stay intact
        bool bCrcOnly;          // spoilt by the CRC alone
    } cases[] = {
        {kBadCrc, "badcrc", 5, true, [](const Report& r) { return !IsIntactTouchReport(r); }, 5, true},
        // Claiming 62 bytes spoils the packet, but not by its CRC alone.
        {kOversize, "oversize", 3, true, [](const Report& r) { return r[2] == 62; }, 3, false},
        // Four intact packets between two garbage reports: the fourth follows the garbage.
        {kGarbage, "garbage", 5, false, [](const Report& r) { return !IsIntactTouchReport(r); }, 0, false},
        // Garbage listed before truncated and oversize leaves the packet to them:
        // garbage of its own size in front of every packet, which claims 62
        // bytes and, a one-report packet, cannot lose its last report.
        {kGarbageFirst, "garbage", 2, false, [](const Report& r) { return r[1] == 1 && Id(r) == 0x1300 && r[2] == 62; },
         1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pszFault) + " on device " + std::to_string(c.nDevice));
        CDevice device(c.nDevice);
        const Reports reports = device.ReadReports(30);
        ASSERT_EQ(reports.size(), 30u);
        std::vector<size_t> hits;
        for (size_t i = 0; i < reports.size(); ++i) {
            const bool bHit = c.hit(reports[i]);
            if (bHit)
                hits.push_back(i);
            EXPECT_TRUE(bHit || reports[i][2] <= 61) << "only a hit claims more than 61 bytes, at " << i;
            EXPECT_TRUE(!c.bTouchOnly || Id(reports[i]) == 0x1300) << i;
        }
        ASSERT_GE(hits.size(), 3u);
        for (size_t i = 1; i < hits.size(); ++i)
            EXPECT_EQ(hits[i] - hits[i - 1], c.nSpacing) << "at " << hits[i];
        EXPECT_GT(kyrsim::SimFaults(c.nDevice).at(c.pszFault), 0u);

        const kyrsim::SimKindCounts counts = kyrsim::SimKinds(c.nDevice);
        ASSERT_EQ(counts.kinds.size(), 1u) << "touch points only";
        const kyrsim::SimKind& touch = counts.kinds.at(0x1300);
        const uint64_t qwSpoilt = c.nSpoiltEvery != 0 ? touch.qwSent / c.nSpoiltEvery : 0;
        EXPECT_GT(touch.qwSent, 0u);
        EXPECT_EQ(touch.qwIntact, touch.qwSent - qwSpoilt);
        EXPECT_EQ(touch.qwCrcOnly, c.bCrcOnly ? qwSpoilt : 0);
    }
    EXPECT_EQ(kyrsim::SimFaults(kGarbageFirst).at("truncated"), 0u);
}

TEST(Fault, TruncatedDropsTheLastReportOfEverySecondLongPacketAndKindsCountIt)
{
    CDevice device(kTruncated);
    kyrsim::SimKindCounts before = kyrsim::SimKinds(kTruncated);
    const auto types = [&](uint8_t nId, const std::string& szCommand) {
        std::vector<int> result;
        if (device.SendCommand(nId, szCommand)) {
            for (const Report& r : device.ReadThroughFence())
                result.push_back(r[1]);
        }
        return result;
    };
    // 150 characters make a 160-byte response: three reports when whole.
    EXPECT_EQ(types(1, "long 150"), (std::vector<int>{0, 0, 1}));
    EXPECT_EQ(types(2, "long 150"), (std::vector<int>{0, 0}));
    EXPECT_EQ(types(3, "version"), (std::vector<int>{1})) << "a one-report packet cannot lose a report";
    EXPECT_EQ(kyrsim::SimFaults(kTruncated).at("truncated"), 1u);

    kyrsim::SimKindCounts after = kyrsim::SimKinds(kTruncated);
    EXPECT_EQ(after.kinds[0x1008].qwSent - before.kinds[0x1008].qwSent, 3u);
    EXPECT_EQ(after.kinds[0x1008].qwIntact - before.kinds[0x1008].qwIntact, 2u) << "the cut answer is not intact";
    EXPECT_EQ(after.kinds[0x1008].qwCrcOnly, 0u);
    EXPECT_EQ(after.qwReports - before.qwReports, 9u) << "six reports of answers, three of fences";
    EXPECT_EQ(after.kinds[0x0105].qwIntact - before.kinds[0x0105].qwIntact, 3u);
}

TEST(Fault, AStallSilencesTheDeviceButAnswersStillCome)
{
    CDevice device(kStall);
    // Every 20th packet stalls the device for 400 ms: seen on its own clock as
    // a gap between two touch-point samples, which otherwise come every 5 ms.
    const auto stalled = [](const Reports& reports) {
        for (size_t i = 1; i < reports.size(); ++i) {
            if (IsIntactTouchReport(reports[i - 1]) && IsIntactTouchReport(reports[i]) &&
                TicksBetween(Tick(reports[i - 1]), Tick(reports[i])) >= 300)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(stalled(device.ReadUntil(stalled)));

    EXPECT_EQ(device.Ask(9, "echo after"), "after");
    EXPECT_GT(kyrsim::SimFaults(kStall).at("stall"), 0u);
}

}  // namespace
