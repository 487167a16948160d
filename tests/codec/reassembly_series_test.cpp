// Joining reports into packets: both series, their limits, the raw phase of
// raw-format packets, and every way a malformed report stream is dropped.
#include <gtest/gtest.h>

#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;
using wire::Bytes;
using wire::Cut;
using wire::Head;
using Events = std::vector<std::string>;

namespace {

class Reassembly : public testing::Test {
protected:
    wire::Recorder rec;
    CMmPkt codec{&rec};

    void Feed(const std::vector<wire::Report>& r) { wire::Feed(codec, r); }
    void Feed(const wire::Report& r) { codec.ParsePacket(r.data(), r.size()); }
    // A small status packet on the given series proves the series is clean again.
    void ExpectSeriesRecovers(bool stream)
    {
        rec.events.clear();
        Feed(Cut(wire::Text(MM_PKT_STT, 0, "again"), stream));
        EXPECT_EQ(rec.events, (stream ? Events{"packet STT"} : Events{"packet STT", "none 100c"}));
    }
};

Bytes Status(size_t textLen, unsigned id = MM_PKT_STT)
{
    return wire::Text(id, 0, std::string(textLen, 'a'));
}

Bytes PreviewHeader(unsigned rawSize)
{
    return Head(0x1805).u16(rawSize).u16(480).u16(17).crc();
}

Bytes DeviceBody(unsigned id)
{
    return Head(id, 3).u8(1).u8(2).u8(3).u8(0xFF).u16(10).u16(20).f32(0.5f).f32(0.25f).u8(4).u8(0).str("abcdef").b;
}

} // namespace

TEST_F(Reassembly, OneReportPacketIsCheckedAndDeliveredAtOnce)
{
    Feed(Cut(wire::Text(MM_PKT_STT, 0, "ok")));
    EXPECT_EQ(rec.events, (Events{"packet STT", "none 100c"}));
}

TEST_F(Reassembly, SingleSeriesHoldsExactly511Bytes)
{
    Feed(Cut(Status(501)));
    ASSERT_EQ(rec.records.size(), 1u);

    rec.events.clear();
    Feed(Cut(Status(502))); // 512 bytes: dropped at the report that crosses the limit
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(false);
}

TEST_F(Reassembly, StreamSeriesHoldsExactly4096Bytes)
{
    Feed(Cut(Status(4086), true));
    ASSERT_EQ(rec.records.size(), 1u);
    EXPECT_EQ(std::string(rec.Rec().body.stt.status), std::string(439, 'a'));

    rec.events.clear();
    Feed(Cut(Status(4087), true));
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, BadCrcIsDroppedWithoutAnyCallback)
{
    Bytes p = wire::Text(MM_PKT_RSP, 9, "OK");
    p.back() ^= 1;
    rec.syncAnswers = {9};
    Feed(Cut(p));
    Feed(Cut(p, true));
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(false);
}

TEST_F(Reassembly, OnlyTheMainModuleDeviceReportSkipsTheCrc)
{
    Bytes dev = DeviceBody(MM_PKT_DEVICE);
    dev.push_back(0xDE);
    dev.push_back(0xAD);
    Feed(Cut(dev));
    EXPECT_EQ(rec.events, (Events{"packet DVC", "none 1302"}));

    rec.events.clear();
    Bytes other = DeviceBody(0x2302);
    other.push_back(0xDE);
    other.push_back(0xAD);
    Feed(Cut(other));
    EXPECT_TRUE(rec.events.empty());
    wire::Pkt good{DeviceBody(0x2302)};
    Feed(Cut(good.crc()));
    EXPECT_EQ(rec.events, (Events{"packet DVC", "none 2302"}));
}

TEST_F(Reassembly, ReportsOfAnotherLengthChangeNothing)
{
    const auto r = Cut(Status(80));
    ASSERT_EQ(r.size(), 2u);
    Feed(r[0]);
    wire::Report shortR(r[1].begin(), r[1].end() - 1), longR = r[1];
    longR.push_back(0);
    Feed(shortR);
    Feed(longR);
    Feed(r[1]);
    EXPECT_EQ(rec.records.size(), 1u);
}

TEST_F(Reassembly, UnknownReportTypeEmptiesBothSeries)
{
    const auto single = Cut(Status(80)), stream = Cut(Status(80), true);
    Feed(single[0]);
    Feed(stream[0]);
    Feed(wire::RawReport(0x02, 10));
    Feed(single[1]);
    Feed(stream[1]);
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(false);
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, SizeByteBeyond61DropsTheReportAndItsPacket)
{
    for (bool stream : {false, true}) {
        const auto r = Cut(Status(80), stream);
        Feed(r[0]);
        // Exactly 64 bytes on the heap: a read past the report is caught by the sanitizers.
        for (uint8_t size : {62, 200, 255}) {
            auto bad = std::make_unique<uint8_t[]>(64);
            std::copy(r[1].begin(), r[1].end(), bad.get());
            bad[2] = size;
            codec.ParsePacket(bad.get(), 64);
        }
        Feed(r[1]);
        EXPECT_TRUE(rec.events.empty());
        ExpectSeriesRecovers(stream);
        rec.events.clear();
    }
}

TEST_F(Reassembly, StreamPacketsNeverAskOrComplete)
{
    rec.syncAnswers = {42};
    Feed(Cut(wire::Text(MM_PKT_RSP, 42, "OK"), true));
    Feed(Cut(Head(0x2104, 2).crc(), true));
    EXPECT_EQ(rec.events, (Events{"packet RSP", "mode 2000 2"}));
}

TEST_F(Reassembly, RawPhaseDeliversHeaderAndExactlyTheAnnouncedBytes)
{
    Bytes raw(100);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint8_t>(i + 1);
    Feed(Cut(PreviewHeader(100), true));
    EXPECT_TRUE(rec.events.empty());
    Feed(Cut(raw, true));
    ASSERT_EQ(rec.records.size(), 1u);
    const kyrpacket& p = rec.Rec();
    EXPECT_EQ(+p.body.prv.width, 100);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), rec.records[0].begin() + 20));

    for (size_t n : {99, 101}) {
        rec.events.clear();
        Feed(Cut(PreviewHeader(100), true));
        Feed(Cut(Bytes(n, 7), true));
        EXPECT_TRUE(rec.events.empty()) << n;
        ExpectSeriesRecovers(true);
    }
}

TEST_F(Reassembly, RawHeaderAnnouncingNoBytesDoesNotSwallowTheNextPacket)
{
    Feed(Cut(PreviewHeader(0), true));
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, RawPhaseThatLostItsHeaderNeverDelivers)
{
    // The unknown report empties the stream; 61 + 49 bytes then equal header
    // (10) plus announced raw bytes (100), but the header is gone.
    Feed(Cut(PreviewHeader(100), true));
    Feed(wire::RawReport(0x02, 0));
    Feed(Cut(Bytes(110, 0x55), true));
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, RawPhaseNeverMatchesAWrappedCount)
{
    // A 24-byte header announcing 65522 raw bytes; a 10-byte last report
    // after the stream was emptied gives 10 - 24, which is 65522 in 16 bits.
    Feed(Cut(Head(0x2801).u16(65522).u16(0).u16(0).u16(1).f32(0).f32(0).u16(1).u16(2).crc(), true));
    Feed(wire::RawReport(0x42, 0));
    Feed(wire::RawReport(0x81, 10, 0x33));
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, OverflowInTheRawPhaseIsSettledByTheNextLastReport)
{
    Feed(Cut(PreviewHeader(4000), true));
    auto raw = Cut(Bytes(4200, 1), true); // runs past 4096 before its last report
    Feed(raw);
    EXPECT_TRUE(rec.events.empty());
    ExpectSeriesRecovers(true);
}

TEST_F(Reassembly, SinglePacketBetweenStreamReportsLeavesBothIntact)
{
    Bytes image(150, 9);
    auto header = Cut(Head(0x2801).u16(150).u16(480).u16(0).u16(1).f32(0).f32(1).u16(5).u16(6).crc(), true);
    auto raw = Cut(image, true);
    ASSERT_EQ(raw.size(), 3u);
    rec.syncAnswers = {3};
    Feed(header);
    Feed(raw[0]);
    Feed(Cut(wire::Text(MM_PKT_RSP, 3, "between")));
    Feed(raw[1]);
    Feed(raw[2]);
    EXPECT_EQ(rec.events,
              (Events{"check 3", "packet RSP sync", "complete 3", "packet IRD1", "packet OBC1", "packet DTC1"}));
}
