// The emulator's encoder and the library's codec are written apart from each
// other: whatever the encoder puts in, the codec must give back.
#include "PacketEncoder.h"
#include "WireBytes.h"

namespace enc = kyrsim::encoder;

using namespace wire;

namespace {

Reports Convert(const std::vector<enc::Report>& r)
{
    Reports out;
    for (const auto& a : r)
        out.emplace_back(a.begin(), a.end());
    return out;
}
Reports Single(const enc::Bytes& p) { return Convert(enc::CutReports(p, enc::Series::Single)); }

} // namespace

TEST(EncoderCrossCheck, EveryKindDecodesToWhatWasEncoded)
{
    const enc::Range ranges[] = {{1, 2}, {3, 4}, {5, 6}};
    const enc::ImageFrame f{480, -3, {0.5f, 0.75f}, {{1, 2}, {3, 4}}, enc::Bytes(1000, 0x5A)};
    const enc::Bytes row(640, 0x11);
    std::vector<enc::TouchPoint> pts(10);
    for (uint16_t i = 0; i < 10; ++i)
        pts[i] = {static_cast<uint16_t>(i * 100), static_cast<uint16_t>(i * 50), 4, 5, i};
    std::vector<DecodeCase> cases = {
        {"message", Single(enc::Message(enc::kAddrCM1, 3, "CAM", "booted")),
         {{KYR_TEXT(partid, "CAM1"), KYR_TEXT(body.msg.message, "booted")}}},
        {"version", Single(enc::Version(enc::kAddrMM, 1, {5, 6, 7, 8, "Feb 02 2025", "01:02:03"})),
         {{KYR_FIELD(body.ver.nv, 5), KYR_FIELD(body.ver.model, 8),
           {offsetof(kyrpacket, body.ver.time), Pkt{}.str("01:02:03").b, "time"}}}},
        {"IAP version", Single(enc::IapVersion(enc::kAddrCM1, 0x0456)), {{KYR_FIELD(body.ver.model, 0x0456)}}},
        {"objects", Single(enc::Objects(enc::kAddrCM1, 2, ranges)),
         {{KYR_FIELD(body.obj.count, 3), KYR_FIELD(body.obj.end_pos[2], 6.0f)}}},
        {"image", Convert(enc::CutReports(enc::Image(enc::kAddrCM2, enc::ImageKind::Itd, 4, f))),
         {{KYR_FIELD(type, kyrtype_itd), KYR_FIELD(body.ixd.count, 1000), KYR_FIELD(body.ixd.offset, -3),
           {20, f.data, "data"}},
          {KYR_FIELD(body.obc.end_pos, 0.75f)},
          {KYR_FIELD(body.dtc.count, 2), KYR_FIELD(body.dtc.end_pos[1], 4)}}},
        {"preview", Convert(enc::CutReports(enc::Preview(enc::kAddrCM1, 5, 480, 12, row))),
         {{KYR_FIELD(body.prv.width, 640), KYR_FIELD(body.prv.offset_y, 12)}}},
        {"touch points", Single(enc::TouchPoints(6, 11, pts)),
         {{KYR_FIELD(body.tpt.touch_count, 10), KYR_FIELD(body.tpt.actual_touch, 11),
           {18 + 90, Pkt{}.u16(900).u16(450).u16(4).u16(5).u16(9).b, "last point"}}}},
        {"gesture", Single(enc::Gesture(7, {1, 2, 3, 4, 5, 6, 7, 90.0f, 2.5f, "swipe"})),
         {{KYR_FIELD(body.gst.zoom, 2.5f), KYR_TEXT(body.gst.message, "swipe")}}},
        {"device report", Single(enc::DeviceReport(8, {1, 2, 3, -4, 500, 600, 0.1f, 0.2f, 5, 0, {6, 7, 8, 9, 10, 11}})),
         {{KYR_FIELD(body.dvc.mouse_wheel, -4), KYR_FIELD(body.dvc.touch_y, 0.2f),
           KYR_FIELD(body.dvc.keyboard_key[5], 11)}}},
    };
    const std::pair<enc::TextKind, short> kinds[] = {{enc::TextKind::Command, kyrtype_cmd},
                                                     {enc::TextKind::Response, kyrtype_rsp},
                                                     {enc::TextKind::ResponseContinued, kyrtype_rsp},
                                                     {enc::TextKind::ResponseRse, kyrtype_rse},
                                                     {enc::TextKind::Status, kyrtype_stt}};
    for (auto [kind, type] : kinds) {
        const size_t text = type == kyrtype_cmd   ? offsetof(kyrpacket, body.cmd.command)
                            : type == kyrtype_stt ? offsetof(kyrpacket, body.stt.status)
                                                  : offsetof(kyrpacket, body.rsp.command);
        cases.push_back({"text " + std::to_string(type),
                         Single(enc::Text(enc::kAddrCM2 | enc::kAddrSub, kind, 99, 17, "hello there")),
                         {{KYR_FIELD(type, type), KYR_FIELD(ticktime, 99), Str(text, "hello there", "text"),
                           {offsetof(kyrpacket, partid) + 3, Pkt{}.str("2-1").u8(0).b, "unit"}}}});
    }
    ExpectDecodes(cases);
    EXPECT_EQ(Decoded(Single(enc::FirmwareMode(enc::kAddrCM1, 4))).rec.events, (Events{"mode 2000 4", "none 2104"}));
}
