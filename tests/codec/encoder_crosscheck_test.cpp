// The emulator's encoder and the library's codec are written apart from each
// other: whatever the encoder puts in, the codec must give back.
#include <gtest/gtest.h>

#include "PacketEncoder.h"
#include "WireBytes.h"

using namespace kyr_hid_library;
namespace enc = kyrsim::encoder;

namespace {

wire::Decoded Single(const enc::Bytes& p) { return wire::Decoded(enc::CutReports(p, enc::Series::Single)); }

} // namespace

TEST(EncoderCrossCheck, TextKinds)
{
    const std::pair<enc::TextKind, int> kinds[] = {{enc::TextKind::Command, kyrtype_cmd},
                                                   {enc::TextKind::Response, kyrtype_rsp},
                                                   {enc::TextKind::ResponseContinued, kyrtype_rsp},
                                                   {enc::TextKind::ResponseRse, kyrtype_rse},
                                                   {enc::TextKind::Status, kyrtype_stt}};
    for (auto [kind, type] : kinds) {
        wire::Decoded d = Single(enc::Text(enc::kAddrCM2 | enc::kAddrSub, kind, 99, 17, "hello there"));
        ASSERT_EQ(d.size(), 1u);
        EXPECT_EQ(+d[0].type, type);
        EXPECT_EQ(+d[0].ticktime, 99);
        EXPECT_EQ(std::string(d[0].partid).substr(3), "2-1");
        const char* text = type == kyrtype_cmd ? d[0].body.cmd.command
                         : type == kyrtype_stt ? d[0].body.stt.status : d[0].body.rsp.command;
        EXPECT_STREQ(text, "hello there");
    }
    wire::Decoded m = Single(enc::Message(enc::kAddrCM1, 3, "CAM", "booted"));
    EXPECT_STREQ(m[0].partid, "CAM1");
    EXPECT_STREQ(m[0].body.msg.message, "booted");
}

TEST(EncoderCrossCheck, VersionsAndFirmwareMode)
{
    wire::Decoded v = Single(enc::Version(enc::kAddrMM, 1, {5, 6, 7, 8, "Feb 02 2025", "01:02:03"}));
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(+v[0].body.ver.nv, 5);
    EXPECT_EQ(+v[0].body.ver.model, 8);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(v[0].body.ver.time), 8), "01:02:03");
    EXPECT_EQ(Single(enc::IapVersion(enc::kAddrCM1, 0x0456))[0].body.ver.model, 0x0456);
    EXPECT_EQ(Single(enc::FirmwareMode(enc::kAddrCM1, 4)).rec.events,
              (std::vector<std::string>{"mode 2000 4", "none 2104"}));
}

TEST(EncoderCrossCheck, SensorKinds)
{
    const enc::Range ranges[] = {{1, 2}, {3, 4}, {5, 6}};
    wire::Decoded o = Single(enc::Objects(enc::kAddrCM1, 2, ranges));
    ASSERT_EQ(o.size(), 1u);
    EXPECT_EQ(+o[0].body.obj.count, 3);
    EXPECT_EQ(+o[0].body.obj.end_pos[2], 6.0f);

    enc::ImageFrame f{480, -3, {0.5f, 0.75f}, {{1, 2}, {3, 4}}, enc::Bytes(1000, 0x5A)};
    wire::Decoded img(enc::CutReports(enc::Image(enc::kAddrCM2, enc::ImageKind::Itd, 4, f)));
    ASSERT_EQ(img.size(), 3u);
    EXPECT_EQ(+img[0].type, kyrtype_itd);
    EXPECT_EQ(+img[0].body.ixd.count, 1000);
    EXPECT_EQ(+img[0].body.ixd.offset, -3);
    EXPECT_TRUE(std::equal(f.data.begin(), f.data.end(), img.tail(0)));
    EXPECT_EQ(+img[1].body.obc.end_pos, 0.75f);
    EXPECT_EQ(+img[2].body.dtc.count, 2);
    EXPECT_EQ(+img[2].body.dtc.end_pos[1], 4u);

    const enc::Bytes row(640, 0x11);
    wire::Decoded prv(enc::CutReports(enc::Preview(enc::kAddrCM1, 5, 480, 12, row)));
    ASSERT_EQ(prv.size(), 1u);
    EXPECT_EQ(+prv[0].body.prv.width, 640);
    EXPECT_EQ(+prv[0].body.prv.offset_y, 12);

    std::vector<enc::TouchPoint> pts(10);
    for (uint16_t i = 0; i < 10; ++i)
        pts[i] = {static_cast<uint16_t>(i * 100), static_cast<uint16_t>(i * 50), 4, 5, i};
    wire::Decoded t = Single(enc::TouchPoints(6, 11, pts));
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(+t[0].body.tpt.touch_count, 10);
    EXPECT_EQ(+t[0].body.tpt.actual_touch, 11);
    kyrtouchpoint last;
    std::memcpy(&last, t.tail(0) - 2 + 90, sizeof last);
    EXPECT_EQ(last.x, 900);
    EXPECT_EQ(last.s, 9);

    enc::GestureInfo g{1, 2, 3, 4, 5, 6, 7, 90.0f, 2.5f, "swipe"};
    wire::Decoded gst = Single(enc::Gesture(7, g));
    EXPECT_EQ(+gst[0].body.gst.zoom, 2.5f);
    EXPECT_STREQ(gst[0].body.gst.message, "swipe");

    enc::DeviceState s{1, 2, 3, -4, 500, 600, 0.1f, 0.2f, 5, 0, {6, 7, 8, 9, 10, 11}};
    wire::Decoded dvc = Single(enc::DeviceReport(8, s));
    EXPECT_EQ(+dvc[0].body.dvc.mouse_wheel, -4);
    EXPECT_EQ(+dvc[0].body.dvc.touch_y, 0.2f);
    EXPECT_EQ(+dvc[0].body.dvc.keyboard_key[5], 11);
}

TEST(EncoderCrossCheck, DeviceSideGathersTheLibrarysCommands)
{
    CMmPkt host(nullptr);
    enc::CCommandAssembler device;
    for (const std::string& text : {std::string("instant_mode=MCT,5000,0x0000000f"), std::string(700, 'c')}) {
        int len = 0;
        const pkt_type* p = host.MakePacket(text.data(), static_cast<unsigned short>(text.size()), 200, len);
        std::optional<enc::Command> got;
        for (int i = 0; i < CMmPkt::GetReportCount(len); ++i) {
            hid_pkt_type r;
            ASSERT_TRUE(CMmPkt::MakeReport(p, len, i, &r));
            EXPECT_FALSE(got.has_value());
            got = device.Feed(std::span(reinterpret_cast<const uint8_t*>(&r), sizeof r));
        }
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->id, 200);
        EXPECT_EQ(got->text, text);
    }
}
