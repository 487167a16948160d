// Object, image, preview, touch, gesture and device packets become kyrpacket
// records; counts that the received bytes do not back drop the packet.
#include <gtest/gtest.h>

#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;
using wire::Bytes;
using wire::Head;

namespace {

struct Decoded {
    wire::Recorder rec;
    CMmPkt codec{&rec};
    Decoded(const std::vector<wire::Report>& reports) { wire::Feed(codec, reports); }
    size_t size() const { return rec.records.size(); }
    const kyrpacket& operator[](size_t i) const { return rec.Rec(i); }
    const uint8_t* tail(size_t i) const { return rec.records[i].data() + 20; }
};

// Raw-format packet the way devices send it: header, then raw bytes, both streamed.
std::vector<wire::Report> RawFormat(const Bytes& header, const Bytes& raw)
{
    auto r = wire::Cut(header, true), d = wire::Cut(raw, true);
    r.insert(r.end(), d.begin(), d.end());
    return r;
}

Bytes ImageHeader(unsigned id, unsigned nDtc, unsigned rawSize, unsigned ranges)
{
    wire::Pkt p = Head(id, 11);
    p.u16(rawSize).u16(480).u16(static_cast<uint16_t>(-5)).u16(nDtc).f32(1.5f).f32(2.5f);
    for (unsigned i = 0; i < ranges; ++i)
        p.u16(100 + i).u16(200 + i);
    return p.crc();
}

Bytes Ramp(size_t n)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 3);
    return b;
}

} // namespace

TEST(DecodeSensor, ObjectRangesUpToEleven)
{
    wire::Pkt two = Head(0x2003, 4).u16(2).u16(0).f32(1).f32(2).f32(3).f32(4);
    Decoded d(wire::Cut(two.crc()));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(+d[0].type, kyrtype_obj);
    EXPECT_STREQ(d[0].partid, "OBJ1");
    EXPECT_EQ(+d[0].length, 104);
    EXPECT_EQ(+d[0].body.obj.count, 2);
    EXPECT_EQ(+d[0].body.obj.start_pos[1], 3.0f);
    EXPECT_EQ(+d[0].body.obj.end_pos[1], 4.0f);
    EXPECT_EQ(+d[0].body.obj.start_pos[2], 0.0f);

    wire::Pkt twelve = Head(0x1003).u16(12).u16(0);
    for (int i = 0; i < 12; ++i)
        twelve.f32(static_cast<float>(i)).f32(i + 0.5f);
    Decoded m(wire::Cut(twelve.crc()));
    ASSERT_EQ(m.size(), 1u);
    EXPECT_EQ(+m[0].body.obj.count, 12);
    EXPECT_EQ(+m[0].body.obj.start_pos[10], 10.0f);
    EXPECT_EQ(+m[0].body.obj.end_pos[10], 10.5f);
}

TEST(DecodeSensor, ImagePacketGivesImageObjectAndDetectionRecordsInOrder)
{
    const Bytes raw = Ramp(100);
    Decoded d(RawFormat(ImageHeader(0x2801, 0, 100, 1), raw));
    ASSERT_EQ(d.size(), 3u);
    EXPECT_EQ(+d[0].type, kyrtype_ird);
    EXPECT_STREQ(d[0].partid, "IRD1");
    EXPECT_EQ(+d[0].ticktime, 11);
    EXPECT_EQ(+d[0].body.ixd.total, 480);
    EXPECT_EQ(+d[0].body.ixd.offset, -5);
    EXPECT_EQ(+d[0].body.ixd.count, 100);
    EXPECT_EQ(+d[0].length, 120);
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), d.tail(0))); // taken from offset 24

    EXPECT_EQ(+d[1].type, kyrtype_obc);
    EXPECT_STREQ(d[1].partid, "OBC1");
    EXPECT_EQ(+d[1].body.obc.count, 0);
    EXPECT_EQ(+d[1].body.obc.start_pos, 1.5f);
    EXPECT_EQ(+d[1].body.obc.end_pos, 2.5f);
    EXPECT_EQ(+d[1].length, 24);

    EXPECT_EQ(+d[2].type, kyrtype_dtc);
    EXPECT_STREQ(d[2].partid, "DTC1");
    EXPECT_EQ(+d[2].body.dtc.count, 0);
    EXPECT_EQ(+d[2].body.dtc.start_pos[0], 0u);
    EXPECT_EQ(+d[2].length, 176);
}

TEST(DecodeSensor, DetectionRangesShiftTheImageData)
{
    const Bytes raw = Ramp(64);
    Decoded three(RawFormat(ImageHeader(0xA802, 3, 64, 3), raw));
    ASSERT_EQ(three.size(), 3u);
    EXPECT_EQ(+three[0].type, kyrtype_itd);
    EXPECT_STREQ(three[0].partid, "ITD1-1");
    EXPECT_STREQ(three[1].partid, "OBC1-1");
    EXPECT_STREQ(three[2].partid, "DTC1-1");
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), three.tail(0))); // from offset 32
    EXPECT_EQ(+three[2].body.dtc.count, 3);
    EXPECT_EQ(+three[2].body.dtc.start_pos[2], 102u);
    EXPECT_EQ(+three[2].body.dtc.end_pos[2], 202u);
    EXPECT_EQ(+three[2].body.dtc.start_pos[3], 0u);

    Decoded twelve(RawFormat(ImageHeader(0x1801, 12, 64, 10), raw));
    ASSERT_EQ(twelve.size(), 3u);
    EXPECT_STREQ(twelve[0].partid, "IRD");
    EXPECT_TRUE(std::equal(raw.begin(), raw.end(), twelve.tail(0))); // from offset 60
    EXPECT_EQ(+twelve[1].body.obc.count, 12);
    EXPECT_EQ(+twelve[2].body.dtc.count, 12);
    EXPECT_EQ(+twelve[2].body.dtc.end_pos[9], 209u);
}

TEST(DecodeSensor, PreviewRows)
{
    const Bytes row = Ramp(320);
    Decoded d(RawFormat(Head(0x4805, 8).u16(320).u16(480).u16(17).crc(), row));
    ASSERT_EQ(d.size(), 1u);
    EXPECT_EQ(+d[0].type, kyrtype_prv);
    EXPECT_STREQ(d[0].partid, "PRV2");
    EXPECT_EQ(+d[0].body.prv.width, 320);
    EXPECT_EQ(+d[0].body.prv.height, 480);
    EXPECT_EQ(+d[0].body.prv.offset_y, 17);
    EXPECT_EQ(+d[0].length, 340);
    EXPECT_TRUE(std::equal(row.begin(), row.end(), d.tail(0)));
}

TEST(DecodeSensor, TouchPoints)
{
    Decoded d(wire::Cut(Head(0x2300, 6).u16(2).u16(3).u16(1).u16(2).u16(3).u16(4).u16(5)
                            .u16(600).u16(700).u16(8).u16(9).u16(10).crc()));
    ASSERT_EQ(d.size(), 1u);
    const kyrpacket& p = d[0];
    EXPECT_EQ(+p.type, kyrtype_tpt);
    EXPECT_STREQ(p.partid, "TPT");
    EXPECT_EQ(+p.body.tpt.touch_count, 2);
    EXPECT_EQ(+p.body.tpt.actual_touch, 3);
    EXPECT_EQ(+p.length, 38);
    kyrtouchpoint second;
    std::memcpy(&second, d.rec.records[0].data() + 28, sizeof second);
    EXPECT_EQ(second.x, 600);
    EXPECT_EQ(second.y, 700);
    EXPECT_EQ(second.s, 10);
}

TEST(DecodeSensor, Gesture)
{
    Decoded d(wire::Cut(Head(0x1301, 2).u8(7).u8(8).u16(9).u16(10).u16(11).u16(12).u16(13)
                            .f32(45.0f).f32(1.25f).u16(300).str(std::string(300, 'g')).crc()));
    ASSERT_EQ(d.size(), 1u);
    const kyrpacket& g = d[0];
    EXPECT_EQ(+g.type, kyrtype_gst);
    EXPECT_STREQ(g.partid, "GST");
    EXPECT_EQ(+g.length, 272);
    EXPECT_EQ(+g.body.gst.action_group, 7);
    EXPECT_EQ(+g.body.gst.action, 8);
    EXPECT_EQ(+g.body.gst.feasibleness, 9);
    EXPECT_EQ(+g.body.gst.x, 10);
    EXPECT_EQ(+g.body.gst.h, 13);
    EXPECT_EQ(+g.body.gst.zoom, 1.25f);
    EXPECT_EQ(std::string(g.body.gst.message), std::string(241, 'g'));
}

TEST(DecodeSensor, DeviceReportFieldForField)
{
    Decoded d(wire::Cut(Head(0x1302, 1).u8(1).u8(2).u8(3).u8(0xFE).u16(400).u16(500).f32(0.5f).f32(0.75f)
                            .u8(0x02).u8(0).str("\x04\x05\x06\x07\x08\x09").u16(0).b));
    ASSERT_EQ(d.size(), 1u);
    const kyrpacket& p = d[0];
    EXPECT_EQ(+p.type, kyrtype_dvc);
    EXPECT_STREQ(p.partid, "DVC");
    EXPECT_EQ(+p.length, 38);
    EXPECT_EQ(+p.body.dvc.flag, 1);
    EXPECT_EQ(+p.body.dvc.touch_obj_cnt, 2);
    EXPECT_EQ(+p.body.dvc.mouse_buttons, 3);
    EXPECT_EQ(+p.body.dvc.mouse_wheel, -2);
    EXPECT_EQ(+p.body.dvc.mouse_x, 400);
    EXPECT_EQ(+p.body.dvc.mouse_y, 500);
    EXPECT_EQ(+p.body.dvc.touch_x, 0.5f);
    EXPECT_EQ(+p.body.dvc.touch_y, 0.75f);
    EXPECT_EQ(+p.body.dvc.keyboard_modifier, 2);
    EXPECT_EQ(+p.body.dvc.keyboard_key[5], 9);
}

// Counts beyond the received bytes drop the packet rather than copying bytes
// nobody sent (before, such copies ran past the reassembly buffer).
TEST(DecodeSensor, CountsTheReceivedBytesDoNotBackDropThePacket)
{
    const std::vector<std::pair<const char*, Bytes>> cases = {
        {"touch points", Head(0x1300).u16(409).u16(1).zeros(10).crc()},
        {"touch points one short", Head(0x1300).u16(2).u16(2).zeros(18).crc()},
        {"image in a single series", ImageHeader(0x2801, 1, 60000, 1)},
        {"preview in a single series", Head(0x1805).u16(300).u16(1).u16(0).zeros(20).crc()},
        {"object ranges", Head(0x1003).u16(11).u16(0).zeros(16).crc()},
        {"short version", Head(0x1000).zeros(20).crc()},
        {"short device report", Head(0x1302).zeros(10).u16(0).b},
    };
    for (const auto& [name, pkt] : cases)
        EXPECT_EQ(Decoded(wire::Cut(pkt)).size(), 0u) << name;

    // The same shapes, consistent, are delivered from the single series too.
    EXPECT_EQ(Decoded(wire::Cut(Head(0x1300).u16(2).u16(2).zeros(20).crc())).size(), 1u);
    EXPECT_EQ(Decoded(wire::Cut(Head(0x1805).u16(20).u16(1).u16(0).zeros(20).crc())).size(), 1u);
}
