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

#include <gtest/gtest.h>
#include <libusb.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Report = std::array<uint8_t, 64>;

// Device layouts, kept in step with the DEVICES lines of CMakeLists.txt: one
// device per scenario, on bus 4 at address 10 + its number.
enum Device : int { kPlain = 0, kEcho, kLate, kTwice, kForeign, kSilent, kFwMode3, kFast };
enum FaultDevice : int { kBadCrc = 0, kTruncated, kOversize, kGarbage, kStall, kGarbageFirst };
constexpr int kBus = 4;
// How long a read waits for what the device must send. Generous: only a
// failing test waits it out.
constexpr auto kPatience = 10s;

struct ContextDeleter {
    void operator()(libusb_context* p) const { libusb_exit(p); }
};
struct HandleDeleter {
    void operator()(libusb_device_handle* p) const { libusb_close(p); }
};

uint16_t Word(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

bool CrcOk(const std::vector<uint8_t>& packet)
{
    if (packet.size() < 2)
        return false;
    const size_t n = packet.size() - 2;
    return kyrsim::encoder::Crc16(std::span(packet).first(n)) == Word(packet.data() + n);
}

// One packet gathered from the single series (types 0x00 and 0x01).
struct Packet {
    uint16_t wId = 0;
    std::vector<uint8_t> bytes;
    bool bCrcOk = false;
    uint8_t CmdId() const { return bytes.size() > 5 ? bytes[5] : 0; }
    std::string Text() const
    {
        if (bytes.size() < 10)
            return {};
        const size_t n = std::min<size_t>(Word(bytes.data() + 6), bytes.size() - 10);
        return std::string(bytes.begin() + 8, bytes.begin() + 8 + static_cast<long>(n));
    }
};

// Joins the payloads of single-series reports; other reports are skipped.
std::vector<Packet> Assemble(const std::vector<Report>& reports)
{
    std::vector<Packet> packets;
    std::vector<uint8_t> pending;
    for (const Report& r : reports) {
        if ((r[1] & 0xFE) != 0x00 || r[2] > 61)
            continue;
        pending.insert(pending.end(), r.begin() + 3, r.begin() + 3 + r[2]);
        if (r[1] == 0x01) {
            Packet p;
            p.wId = pending.size() >= 2 ? Word(pending.data()) : 0;
            p.bCrcOk = CrcOk(pending);
            p.bytes.swap(pending);
            packets.push_back(std::move(p));
        }
    }
    return packets;
}

// A packet of the stream series (types 0x80 and 0x81): a header with its
// CRC and, for raw-format packets, the raw data that follows it.
struct StreamPacket {
    uint16_t wId = 0;
    bool bCrcOk = false;
    size_t nRawExpected = 0;
    size_t nRaw = 0;
};

std::vector<StreamPacket> AssembleStream(const std::vector<Report>& reports)
{
    std::vector<StreamPacket> packets;
    std::vector<uint8_t> pending;
    bool bInRaw = false;
    for (const Report& r : reports) {
        if ((r[1] & 0xFE) != 0x80 || r[2] > 61)
            continue;
        if (bInRaw) {
            packets.back().nRaw += r[2];
            bInRaw = r[1] == 0x80;
            continue;
        }
        pending.insert(pending.end(), r.begin() + 3, r.begin() + 3 + r[2]);
        if (r[1] != 0x81)
            continue;
        StreamPacket p;
        p.wId = pending.size() >= 2 ? Word(pending.data()) : 0;
        p.bCrcOk = CrcOk(pending);
        if ((p.wId & 0x0800) != 0 && pending.size() >= 6) {
            p.nRawExpected = Word(pending.data() + 4);
            bInRaw = true;
        }
        packets.push_back(p);
        pending.clear();
    }
    return packets;
}

bool IsIntactTouchReport(const Report& r)
{
    if (r[1] != 0x01 || r[2] < 10 || r[2] > 61 || Word(r.data() + 3) != 0x1300)
        return false;
    return CrcOk(std::vector<uint8_t>(r.begin() + 3, r.begin() + 3 + r[2]));
}

uint16_t Tick(const Report& r)
{
    return Word(r.data() + 5);
}

// Device ticks are milliseconds in 16 bits.
uint16_t TicksBetween(uint16_t wEarlier, uint16_t wLater)
{
    return static_cast<uint16_t>(wLater - wEarlier);
}

// The answer to a command: a one-report Response with its id.
bool IsAnswerTo(const Report& r, uint8_t nId)
{
    return r[1] == 0x01 && r[2] >= 10 && r[2] <= 61 && Word(r.data() + 3) == 0x1008 && r[3 + 5] == nId;
}

// The fence: the IAP version of the IAP unit, which no test asks for itself.
const std::vector<uint8_t> kFenceQuery = {0x05, 0x01, 0, 0};

bool IsFenceAnswer(const Report& r)
{
    return r[1] == 0x01 && r[2] == 6 && Word(r.data() + 3) == 0x0105;
}

class CDevice {
public:
    explicit CDevice(int nAddress, int nInterface = 0)
        : m_nInterface(nInterface), m_bIn(static_cast<uint8_t>(0x80 | 1 << nInterface)),
          m_bOut(static_cast<uint8_t>(1 << nInterface))
    {
        libusb_context* pContext = nullptr;
        if (libusb_init(&pContext) != 0)
            return;
        m_context.reset(pContext);
        libusb_device** list = nullptr;
        const ssize_t nCount = libusb_get_device_list(pContext, &list);
        for (ssize_t i = 0; i < nCount; ++i) {
            libusb_device_handle* pHandle = nullptr;
            if (libusb_get_bus_number(list[i]) == kBus && libusb_get_device_address(list[i]) == nAddress &&
                libusb_open(list[i], &pHandle) == 0) {
                if (libusb_claim_interface(pHandle, m_nInterface) == 0)
                    m_handle.reset(pHandle);
                else
                    libusb_close(pHandle);
            }
        }
        if (nCount >= 0)
            libusb_free_device_list(list, 1);
    }

    ~CDevice()
    {
        if (m_handle)
            libusb_release_interface(m_handle.get(), m_nInterface);
    }
    CDevice(const CDevice&) = delete;
    CDevice& operator=(const CDevice&) = delete;

    bool Ok() const { return m_handle != nullptr; }

    bool Write(const Report& report)
    {
        Report copy = report;
        int nSent = 0;
        return libusb_interrupt_transfer(m_handle.get(), m_bOut, copy.data(), 64, &nSent, 2000) == 0 && nSent == 64;
    }

    // Writes a command packet the way a host cuts it: 61 bytes per report.
    bool SendCommand(uint8_t nId, const std::string& szText)
    {
        std::vector<uint8_t> packet = {0x07, 0x10, 0, 0, 0, nId, static_cast<uint8_t>(szText.size()),
                                       static_cast<uint8_t>(szText.size() >> 8)};
        packet.insert(packet.end(), szText.begin(), szText.end());
        packet.push_back(0);
        const uint16_t wCrc = kyrsim::encoder::Crc16(packet);
        packet.push_back(static_cast<uint8_t>(wCrc));
        packet.push_back(static_cast<uint8_t>(wCrc >> 8));
        for (size_t nOffset = 0; nOffset < packet.size(); nOffset += 61) {
            const size_t n = std::min<size_t>(61, packet.size() - nOffset);
            Report r{};
            r[0] = 1;
            r[1] = nOffset + n == packet.size() ? 1 : 0;
            r[2] = static_cast<uint8_t>(n);
            std::copy_n(packet.begin() + static_cast<long>(nOffset), n, r.begin() + 3);
            if (!Write(r))
                return false;
        }
        return true;
    }

    // A firmware query: the whole packet and its CRC in one report of type 1.
    bool SendQuery(std::vector<uint8_t> packet)
    {
        const uint16_t wCrc = kyrsim::encoder::Crc16(packet);
        packet.push_back(static_cast<uint8_t>(wCrc));
        packet.push_back(static_cast<uint8_t>(wCrc >> 8));
        Report r{};
        r[0] = 1;
        r[1] = 1;
        r[2] = static_cast<uint8_t>(packet.size());
        std::copy(packet.begin(), packet.end(), r.begin() + 3);
        return Write(r);
    }

    std::optional<Report> Read(std::chrono::milliseconds timeout)
    {
        Report r{};
        int nGot = 0;
        const int nResult = libusb_interrupt_transfer(m_handle.get(), m_bIn, r.data(), 64, &nGot,
                                                      static_cast<unsigned>(std::max<long>(1, timeout.count())));
        if (nResult != 0 || nGot != 64)
            return std::nullopt;
        return r;
    }

    // Reads until the reports so far satisfy the predicate, or kPatience is over.
    template <typename Predicate>
    std::vector<Report> ReadUntil(Predicate done)
    {
        std::vector<Report> reports;
        const auto deadline = Clock::now() + kPatience;
        for (auto now = Clock::now(); !done(reports) && now < deadline; now = Clock::now()) {
            if (const std::optional<Report> r = Read(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now)))
                reports.push_back(*r);
        }
        return reports;
    }

    std::vector<Report> ReadReports(size_t n)
    {
        return ReadUntil([n](const std::vector<Report>& reports) { return reports.size() >= n; });
    }

    // Everything the device sends before it answers a query sent now, which
    // it answers after whatever it was asked before.
    std::vector<Report> ReadThroughFence()
    {
        if (!SendQuery(kFenceQuery)) {
            ADD_FAILURE() << "fence query not sent";
            return {};
        }
        std::vector<Report> reports =
            ReadUntil([](const std::vector<Report>& r) { return !r.empty() && IsFenceAnswer(r.back()); });
        if (reports.empty() || !IsFenceAnswer(reports.back())) {
            ADD_FAILURE() << "no answer to the fence query";
            return reports;
        }
        reports.pop_back();
        return reports;
    }

    // Every report that arrives within the time: for pacing, never to
    // decide whether something came.
    std::vector<Report> ReadFor(std::chrono::milliseconds span)
    {
        std::vector<Report> reports;
        const auto end = Clock::now() + span;
        for (auto now = Clock::now(); now < end; now = Clock::now()) {
            if (const std::optional<Report> r = Read(std::chrono::duration_cast<std::chrono::milliseconds>(end - now)))
                reports.push_back(*r);
        }
        return reports;
    }

    // The packets that answer a command: all the device sends until the fence.
    std::vector<Packet> Exchange(uint8_t nId, const std::string& szText)
    {
        if (!SendCommand(nId, szText))
            return {};
        return Assemble(ReadThroughFence());
    }

private:
    const int m_nInterface;
    const uint8_t m_bIn;
    const uint8_t m_bOut;
    std::unique_ptr<libusb_context, ContextDeleter> m_context;
    std::unique_ptr<libusb_device_handle, HandleDeleter> m_handle;
};

constexpr int Address(int nDevice)
{
    return 10 + nDevice;
}

std::vector<uint16_t> Ids(const std::vector<Packet>& packets)
{
    std::vector<uint16_t> ids;
    for (const Packet& p : packets)
        ids.push_back(p.wId);
    return ids;
}

// ---- commands ----------------------------------------------------------------

TEST(Commands, EachCommandIsAnsweredWithItsIdAndText)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    const uint64_t qwBefore = kyrsim::SimCommandCount(kPlain);
    const std::pair<std::string, std::string> cases[] = {
        {"echo hello there", "hello there"},
        {"version", "MM 2.7 nv1 model 0x0031 Mar 14 2024 10:20:30"},
        {"frobnicate 3", "unknown command: frobnicate 3"},
    };
    uint8_t nId = 40;
    for (const auto& [szCommand, szAnswer] : cases) {
        const std::vector<Packet> packets = device.Exchange(++nId, szCommand);
        ASSERT_EQ(packets.size(), 1u) << szCommand;
        EXPECT_EQ(packets[0].wId, 0x1008) << szCommand;
        EXPECT_TRUE(packets[0].bCrcOk) << szCommand;
        EXPECT_EQ(packets[0].CmdId(), nId) << szCommand;
        EXPECT_EQ(packets[0].Text(), szAnswer) << szCommand;
    }
    const std::vector<Packet> status = device.Exchange(++nId, "status");
    ASSERT_EQ(status.size(), 1u);
    EXPECT_EQ(status[0].Text().rfind("ok letters= gesture=none uptime=", 0), 0u) << status[0].Text();

    EXPECT_EQ(kyrsim::SimCommandCount(kPlain), qwBefore + 4);
    const std::optional<kyrsim::SimCommand> last = kyrsim::SimLastCommand(kPlain);
    ASSERT_TRUE(last);
    EXPECT_EQ(last->nId, nId);
    EXPECT_EQ(last->szText, "status");
}

TEST(Commands, ALongCommandAndALongAnswerSpanSeveralReports)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    // 150 text bytes make a 161-byte command packet: three OUT reports.
    const std::string szText(150, 'x');
    std::vector<Packet> packets = device.Exchange(7, "echo " + szText);
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].Text(), szText);

    // 450 characters in pieces of 200: two continued pieces, then the rest.
    packets = device.Exchange(8, "long 450");
    ASSERT_EQ(Ids(packets), (std::vector<uint16_t>{0x1009, 0x1009, 0x1008}));
    std::string szJoined;
    for (const Packet& p : packets) {
        EXPECT_TRUE(p.bCrcOk);
        EXPECT_EQ(p.CmdId(), 8);
        szJoined += p.Text();
    }
    ASSERT_EQ(szJoined.size(), 450u);
    EXPECT_EQ(szJoined.substr(0, 12), "012345678901");
    EXPECT_EQ(packets[0].Text().size(), 200u);

    packets = device.Exchange(9, "rse failed");
    ASSERT_EQ(Ids(packets), std::vector<uint16_t>{0x100A});
    EXPECT_EQ(packets[0].Text(), "failed");
    packets = device.Exchange(10, "notify warming up");
    ASSERT_EQ(Ids(packets), (std::vector<uint16_t>{0x100C, 0x1008}));
    EXPECT_EQ(packets[0].Text(), "warming up");
    EXPECT_EQ(packets[0].CmdId(), 10);
}

TEST(Commands, EchoComesBeforeTheAnswer)
{
    CDevice device(Address(kEcho));
    ASSERT_TRUE(device.Ok());
    const std::vector<Packet> packets = device.Exchange(21, "echo ping");
    ASSERT_EQ(Ids(packets), (std::vector<uint16_t>{0x1007, 0x1008}));
    EXPECT_EQ(packets[0].CmdId(), 21);
    EXPECT_EQ(packets[0].Text(), "echo ping");
    EXPECT_EQ(packets[1].CmdId(), 21);
    EXPECT_EQ(packets[1].Text(), "ping");
}

TEST(Commands, ALateAnswerComesAfterItsDelay)
{
    CDevice device(Address(kLate));
    ASSERT_TRUE(device.Ok());
    const auto sent = Clock::now();
    ASSERT_TRUE(device.SendCommand(30, "echo slow"));
    const std::optional<Report> first = device.Read(kPatience);
    ASSERT_TRUE(first);
    // The device waits 300 ms; allow for a slow machine on the upper side only.
    EXPECT_GE(Clock::now() - sent, 280ms);
    const std::vector<Packet> packets = Assemble({*first});
    ASSERT_EQ(packets.size(), 1u);
    EXPECT_EQ(packets[0].CmdId(), 30);
    EXPECT_EQ(packets[0].Text(), "slow");
}

TEST(Commands, TwiceAnswersTwice)
{
    CDevice device(Address(kTwice));
    ASSERT_TRUE(device.Ok());
    const std::vector<Packet> packets = device.Exchange(3, "version");
    ASSERT_EQ(Ids(packets), (std::vector<uint16_t>{0x1008, 0x1008}));
    EXPECT_EQ(packets[0].bytes, packets[1].bytes);
    EXPECT_EQ(packets[1].CmdId(), 3);
}

TEST(Commands, AForeignAnswerCarriesTheNextIdAndNeverZero)
{
    CDevice device(Address(kForeign));
    ASSERT_TRUE(device.Ok());
    for (const auto& [nSent, nAnswered] : {std::pair<uint8_t, uint8_t>{17, 18}, {254, 255}, {255, 1}}) {
        const std::vector<Packet> packets = device.Exchange(nSent, "echo id");
        ASSERT_EQ(packets.size(), 1u);
        EXPECT_EQ(packets[0].CmdId(), nAnswered) << int(nSent);
        EXPECT_EQ(packets[0].Text(), "id");
    }
}

TEST(Commands, ASilentDeviceCountsCommandsButNeverAnswers)
{
    CDevice device(Address(kSilent));
    ASSERT_TRUE(device.Ok());
    const uint64_t qwBefore = kyrsim::SimCommandCount(kSilent);
    ASSERT_TRUE(device.SendCommand(5, "version"));
    EXPECT_TRUE(device.ReadThroughFence().empty()) << "an answer would come before the fence's";
    EXPECT_EQ(kyrsim::SimCommandCount(kSilent), qwBefore + 1);
}

// ---- firmware queries ----------------------------------------------------------

TEST(Firmware, TheModeQueryIsAnsweredPerUnit)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    const auto ask = [&](uint16_t wAddr) -> std::optional<Report> {
        if (!device.SendQuery({static_cast<uint8_t>(0x04), static_cast<uint8_t>((wAddr | 0x0100) >> 8), 0, 0}))
            return std::nullopt;
        const std::vector<Report> reports = device.ReadThroughFence();
        if (reports.size() != 1)
            return std::nullopt;
        return reports.front();
    };
    // Main module: 01 01 06 04 11 00 00 + CRC out, a 0x1104 packet with mode 4 back.
    std::optional<Report> answer = ask(0x1000);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[1], 0x01);
    EXPECT_EQ((*answer)[2], 6);
    EXPECT_EQ(Word(answer->data() + 3), 0x1104);
    EXPECT_EQ(Word(answer->data() + 5), 4);
    EXPECT_TRUE(CrcOk(std::vector<uint8_t>(answer->begin() + 3, answer->begin() + 9)));

    answer = ask(0x2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(Word(answer->data() + 3), 0x2104);
    EXPECT_EQ(Word(answer->data() + 5), 2);

    kyrsim::SimSetFirmwareMode(kPlain, 0x1000, 3);
    answer = ask(0x1000);
    kyrsim::SimSetFirmwareMode(kPlain, 0x1000, 4);
    ASSERT_TRUE(answer);
    EXPECT_EQ(Word(answer->data() + 5), 3);

    EXPECT_FALSE(ask(0x3000)) << "no unit sits at 0x3000";
}

TEST(Firmware, VersionQueriesAreAnsweredWithTheQueryId)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    ASSERT_TRUE(device.SendQuery({0x05, 0x11, 0, 0}));
    std::optional<Report> answer = device.Read(kPatience);
    ASSERT_TRUE(answer);
    EXPECT_EQ((*answer)[2], 6);
    EXPECT_EQ(Word(answer->data() + 3), 0x1105);
    EXPECT_EQ(Word(answer->data() + 5), 0x0031);

    std::vector<uint8_t> app = {0x00, 0x20, 0, 0};
    app.resize(31);
    ASSERT_TRUE(device.SendQuery(app));
    answer = device.Read(kPatience);
    ASSERT_TRUE(answer);
    ASSERT_EQ((*answer)[2], 33);
    const std::vector<uint8_t> packet(answer->begin() + 3, answer->begin() + 36);
    EXPECT_TRUE(CrcOk(packet));
    EXPECT_EQ(Word(&packet[0]), 0x2000);
    EXPECT_EQ(Word(&packet[8]), 1) << "camera module major";
    EXPECT_EQ(Word(&packet[6]), 3) << "camera module minor";
    EXPECT_EQ(std::string(packet.begin() + 12, packet.begin() + 23), "Mar 14 2024");
}

TEST(Firmware, FwmodeSetsEveryUnit)
{
    CDevice device(Address(kFwMode3));
    ASSERT_TRUE(device.Ok());
    for (const uint16_t wAddr : {0x1000, 0x4000, 0xA000}) {
        ASSERT_TRUE(device.SendQuery({0x04, static_cast<uint8_t>((wAddr | 0x0100) >> 8), 0, 0}));
        const std::optional<Report> answer = device.Read(kPatience);
        ASSERT_TRUE(answer) << std::hex << wAddr;
        EXPECT_EQ(Word(answer->data() + 3), wAddr | 0x0104);
        EXPECT_EQ(Word(answer->data() + 5), 3);
    }
}

// ---- instant mode ------------------------------------------------------------------

TEST(InstantMode, RepeatsKeepTouchPointsGoingAndTheyStopAfterTheLast)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    std::vector<Report> reports;
    std::vector<uint8_t> sentIds;
    // A repeat every 150 ms for an expire time of 600 ms, for over a second.
    for (uint8_t nId = 60; nId < 68; ++nId) {
        ASSERT_TRUE(device.SendCommand(nId, "instant_mode=T,600"));
        sentIds.push_back(nId);
        const std::vector<Report> batch = device.ReadFor(150ms);
        reports.insert(reports.end(), batch.begin(), batch.end());
    }
    // Then none: the stream ends.
    bool bStopped = false;
    for (const auto deadline = Clock::now() + kPatience; !bStopped && Clock::now() < deadline;) {
        const std::vector<Report> batch = device.ReadFor(50ms);
        reports.insert(reports.end(), batch.begin(), batch.end());
        bStopped = kyrsim::SimStreams(kPlain).empty();
    }
    ASSERT_TRUE(bStopped) << "the stream did not lapse";
    const std::vector<Report> rest = device.ReadThroughFence();
    reports.insert(reports.end(), rest.begin(), rest.end());
    const std::vector<Report> after = device.ReadThroughFence();
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

TEST(InstantMode, TheQueryAnswersTheLettersInForce)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    const auto answer = [&](uint8_t nId, const std::string& szCommand) -> std::string {
        // Streams may run meanwhile: read until the answer.
        if (!device.SendCommand(nId, szCommand))
            return "<not sent>";
        const std::vector<Report> reports =
            device.ReadUntil([nId](const std::vector<Report>& r) { return !r.empty() && IsAnswerTo(r.back(), nId); });
        if (reports.empty() || !IsAnswerTo(reports.back(), nId))
            return "<no answer>";
        return Assemble({reports.back()}).front().Text();
    };
    EXPECT_EQ(answer(70, "instant_mode=?"), "");
    EXPECT_EQ(answer(71, "instant_mode=gqcM,5000,0x3f"), "MCG");
    EXPECT_EQ(answer(72, "instant_mode=?"), "MCG");
    EXPECT_EQ(kyrsim::SimStreams(kPlain), "MG");
    EXPECT_EQ(answer(73, "instant_mode=MG,0"), "") << "time 0 stops the streams";
    EXPECT_EQ(kyrsim::SimStreams(kPlain), "");
}

TEST(InstantMode, EveryStreamLetterSendsItsPacketKind)
{
    CDevice device(Address(kPlain));
    ASSERT_TRUE(device.Ok());
    const std::set<uint16_t> singleIds = {0x1006, 0x1003, 0x1300, 0x1301, 0x1302, 0x1008};
    const std::set<uint16_t> streamIds = {0x2805, 0x2801};
    const auto seenAll = [&](const std::vector<Report>& reports) {
        std::set<uint16_t> seen;
        for (const Packet& p : Assemble(reports))
            seen.insert(p.wId);
        for (const StreamPacket& p : AssembleStream(reports))
            seen.insert(p.wId);
        return std::includes(seen.begin(), seen.end(), singleIds.begin(), singleIds.end()) &&
               std::includes(seen.begin(), seen.end(), streamIds.begin(), streamIds.end());
    };
    ASSERT_TRUE(device.SendCommand(80, "instant_mode=MOVTGDSX,10000"));
    std::vector<Report> reports = device.ReadUntil(seenAll);
    // Up to the answer that stops them, so that no packet is cut short.
    ASSERT_TRUE(device.SendCommand(81, "instant_mode=,600"));
    const std::vector<Report> rest =
        device.ReadUntil([](const std::vector<Report>& r) { return !r.empty() && IsAnswerTo(r.back(), 81); });
    reports.insert(reports.end(), rest.begin(), rest.end());

    std::map<uint16_t, size_t> single;
    for (const Packet& p : Assemble(reports)) {
        EXPECT_TRUE(p.bCrcOk) << std::hex << p.wId;
        ++single[p.wId];
    }
    for (const uint16_t wId : singleIds)
        EXPECT_GT(single[wId], 0u) << "no packet 0x" << std::hex << wId;

    std::map<uint16_t, size_t> stream;
    for (const StreamPacket& p : AssembleStream(reports)) {
        EXPECT_TRUE(p.bCrcOk) << std::hex << p.wId;
        EXPECT_EQ(p.nRaw, p.nRawExpected) << std::hex << p.wId;
        ++stream[p.wId];
    }
    EXPECT_GT(stream[0x2805], 0u) << "no preview";
    EXPECT_GT(stream[0x2801], 0u) << "no image data";
}

// ---- stream scenario -------------------------------------------------------------

TEST(Stream, TouchPointsFlowFromAttachAtTheGivenRate)
{
    // The second of two interfaces, where hosts drive the device models.
    CDevice device(Address(kFast), 1);
    ASSERT_TRUE(device.Ok());
    EXPECT_EQ(kyrsim::SimStreams(kFast), "T");
    constexpr size_t kSamples = 400;
    const std::vector<Report> reports = device.ReadReports(kSamples);
    ASSERT_EQ(reports.size(), kSamples);
    EXPECT_EQ(std::count_if(reports.begin(), reports.end(), IsIntactTouchReport), static_cast<long>(kSamples));
    // On the device's clock, 1000 a second are asked for. The default 100
    // would space 400 samples over more than 3980 ms: each is due 10 ms after
    // the one before, or later when the device falls behind.
    EXPECT_LT(TicksBetween(Tick(reports.front()), Tick(reports.back())), 3980);
}

// ---- faults --------------------------------------------------------------------------

// Positions of the reports that satisfy the predicate.
template <typename Predicate>
std::vector<size_t> Positions(const std::vector<Report>& reports, Predicate predicate)
{
    std::vector<size_t> positions;
    for (size_t i = 0; i < reports.size(); ++i) {
        if (predicate(reports[i]))
            positions.push_back(i);
    }
    return positions;
}

void ExpectSpacing(const std::vector<size_t>& positions, size_t nSpacing)
{
    ASSERT_GE(positions.size(), 3u);
    for (size_t i = 1; i < positions.size(); ++i)
        EXPECT_EQ(positions[i] - positions[i - 1], nSpacing) << "at " << positions[i];
}

TEST(Fault, BadCrcSpoilsEveryFifthPacket)
{
    CDevice device(Address(kBadCrc));
    ASSERT_TRUE(device.Ok());
    const std::vector<Report> reports = device.ReadReports(30);
    ASSERT_EQ(reports.size(), 30u);
    for (const Report& r : reports)
        EXPECT_EQ(Word(r.data() + 3), 0x1300);
    ExpectSpacing(Positions(reports, [](const Report& r) { return !IsIntactTouchReport(r); }), 5);
    EXPECT_GT(kyrsim::SimFaults(kBadCrc).at("badcrc"), 0u);
}

TEST(Fault, TruncatedDropsTheLastReportOfEverySecondLongPacket)
{
    CDevice device(Address(kTruncated));
    ASSERT_TRUE(device.Ok());
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
}

TEST(Fault, OversizeClaimsMoreThan61BytesInEveryThirdReport)
{
    CDevice device(Address(kOversize));
    ASSERT_TRUE(device.Ok());
    const std::vector<Report> reports = device.ReadReports(30);
    ASSERT_EQ(reports.size(), 30u);
    const std::vector<size_t> oversize = Positions(reports, [](const Report& r) { return r[2] > 61; });
    ExpectSpacing(oversize, 3);
    for (size_t i : oversize)
        EXPECT_EQ(reports[i][2], 62);
}

TEST(Fault, GarbageComesBeforeEveryFourthPacket)
{
    CDevice device(Address(kGarbage));
    ASSERT_TRUE(device.Ok());
    const std::vector<Report> reports = device.ReadReports(30);
    ASSERT_EQ(reports.size(), 30u);
    // Four intact packets between two garbage reports: the fourth follows the garbage.
    ExpectSpacing(Positions(reports, [](const Report& r) { return !IsIntactTouchReport(r); }), 5);
}

TEST(Fault, GarbageListedFirstLeavesThePacketToTheOtherFaults)
{
    // Every packet gets garbage in front and a size byte of 62; a one-report
    // packet cannot lose its last report.
    CDevice device(Address(kGarbageFirst));
    ASSERT_TRUE(device.Ok());
    const std::vector<Report> reports = device.ReadReports(40);
    ASSERT_EQ(reports.size(), 40u);
    size_t nTouch = 0;
    for (const Report& r : reports) {
        if (r[1] == 0x01 && Word(r.data() + 3) == 0x1300) {
            ++nTouch;
            EXPECT_EQ(r[2], 62) << "the touch-point packet claims 62 bytes";
        } else {
            EXPECT_LE(r[2], 61) << "garbage keeps its own size";
        }
    }
    EXPECT_GE(nTouch, 19u) << "every other report is a packet";
    const kyrsim::SimKind touch = kyrsim::SimKinds(kGarbageFirst).kinds.at(0x1300);
    EXPECT_EQ(touch.qwIntact, 0u);
    EXPECT_EQ(kyrsim::SimFaults(kGarbageFirst).at("truncated"), 0u);
}

TEST(Fault, AStallSilencesTheDeviceButAnswersStillCome)
{
    CDevice device(Address(kStall));
    ASSERT_TRUE(device.Ok());
    // Every 20th packet stalls the device for 400 ms: seen on its own clock as
    // a gap between two touch-point samples, which otherwise come every 5 ms.
    const auto stalled = [](const std::vector<Report>& reports) {
        for (size_t i = 1; i < reports.size(); ++i) {
            if (IsIntactTouchReport(reports[i - 1]) && IsIntactTouchReport(reports[i]) &&
                TicksBetween(Tick(reports[i - 1]), Tick(reports[i])) >= 300)
                return true;
        }
        return false;
    };
    EXPECT_TRUE(stalled(device.ReadUntil(stalled)));

    ASSERT_TRUE(device.SendCommand(9, "echo after"));
    const std::vector<Report> reports =
        device.ReadUntil([](const std::vector<Report>& r) { return !r.empty() && IsAnswerTo(r.back(), 9); });
    ASSERT_FALSE(reports.empty());
    ASSERT_TRUE(IsAnswerTo(reports.back(), 9));
    EXPECT_EQ(Assemble({reports.back()}).front().Text(), "after");
    EXPECT_GT(kyrsim::SimFaults(kStall).at("stall"), 0u);
}

TEST(Fault, KindsCountThePacketsOfEachIdAndThoseLeftIntact)
{
    // Touch points only, every fifth with a bad CRC; one snapshot of the
    // counts is consistent however fast they move.
    const kyrsim::SimKindCounts badCrc = kyrsim::SimKinds(kBadCrc);
    ASSERT_EQ(badCrc.kinds.size(), 1u);
    const kyrsim::SimKind& touch = badCrc.kinds.at(0x1300);
    EXPECT_GT(touch.qwSent, 0u);
    EXPECT_EQ(touch.qwCrcOnly, touch.qwSent / 5);
    EXPECT_EQ(touch.qwIntact, touch.qwSent - touch.qwSent / 5);

    // Every third one claims 62 bytes: neither intact nor spoilt by its CRC alone.
    const kyrsim::SimKind oversize = kyrsim::SimKinds(kOversize).kinds.at(0x1300);
    EXPECT_EQ(oversize.qwIntact, oversize.qwSent - oversize.qwSent / 3);
    EXPECT_EQ(oversize.qwCrcOnly, 0u);

    // Of two answers of three reports, one loses its last report.
    CDevice device(Address(kTruncated));
    ASSERT_TRUE(device.Ok());
    const kyrsim::SimKindCounts before = kyrsim::SimKinds(kTruncated);
    ASSERT_TRUE(device.SendCommand(4, "long 150"));
    ASSERT_TRUE(device.SendCommand(5, "long 150"));
    const std::vector<Report> reports = device.ReadThroughFence();
    EXPECT_EQ(reports.size(), 5u);
    kyrsim::SimKindCounts after = kyrsim::SimKinds(kTruncated);
    const kyrsim::SimKind& answers = after.kinds[0x1008];
    const kyrsim::SimKind answersBefore = before.kinds.count(0x1008) ? before.kinds.at(0x1008) : kyrsim::SimKind{};
    EXPECT_EQ(answers.qwSent - answersBefore.qwSent, 2u);
    EXPECT_EQ(answers.qwIntact - answersBefore.qwIntact, 1u);
    EXPECT_EQ(answers.qwCrcOnly, 0u);
    EXPECT_EQ(after.qwReports - before.qwReports, 6u) << "five reports of answers, one of the fence";
    EXPECT_EQ(after.kinds[0x0105].qwIntact - (before.kinds.count(0x0105) ? before.kinds.at(0x0105).qwIntact : 0), 1u);
}

}  // namespace
