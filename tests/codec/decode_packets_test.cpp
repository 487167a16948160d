// Packets of every kind, written out from their wire formats, and the
// kyrpacket records they become: part names, lengths and fields, byte for
// byte. Counts that the received bytes do not back drop the packet.
#include "WireBytes.h"

using namespace wire;

namespace {

// Raw-format packet the way devices send it: header, then raw bytes, both streamed.
Reports RawFormat(const Bytes& header, const Bytes& raw) { return Join({Cut(header, true), Cut(raw, true)}); }

Bytes ImageHeader(unsigned id, unsigned nDtc, unsigned rawSize, unsigned ranges)
{
    Pkt p = Head(id, 11);
    p.u16(rawSize).u16(480).u16(static_cast<uint16_t>(-5)).u16(nDtc).f32(1.5f).f32(2.5f);
    for (unsigned i = 0; i < ranges; ++i)
        p.u16(100 + i).u16(200 + i);
    return p.crc();
}

Bytes Message(unsigned id, std::string_view part, std::string_view text)
{
    return Head(id, 77).str(part).zeros(4 - part.size()).u16(static_cast<unsigned>(text.size())).str(text).crc();
}

std::vector<DecodeCase> Cases()
{
    const std::string nul("ab\0cd", 5), q(1000, 'q');
    const Bytes ramp100 = Ramp(100, 0, 3), ramp64 = Ramp(64, 0, 3), row = Ramp(320, 0, 3);
    Pkt twelve = Head(0x1003).u16(12).u16(0);
    for (int i = 0; i < 12; ++i)
        twelve.f32(static_cast<float>(i)).f32(i + 0.5f);
    std::vector<DecodeCase> c = {
        {"final response", Cut(Text(MM_PKT_RSP, 9, "OK", 0, 1234)),
         {With(Rec("RSP", kyrtype_rsp, 457), {KYR_FIELD(ticktime, 1234), KYR_FIELD(body.rsp.id, 9),
                                              KYR_FIELD(body.rsp.is_final, 1), KYR_TEXT(body.rsp.command, "OK")})}},
        {"continued response", Cut(Text(MM_PKT_RSC, 9, "more")),
         {With(Rec("RSC", kyrtype_rsp, 457), {KYR_FIELD(body.rsp.is_final, 0)})}},
        {"error response", Cut(Text(MM_PKT_RSE, 9, "err")),
         {With(Rec("RSE", kyrtype_rse, 457), {KYR_FIELD(body.rsp.is_final, 1)})}},
        {"response of another body type", Cut(Text(MM_PKT_RSP, 9, "OK", 0x50)), {}},
        {"response text stops at a NUL", Cut(Text(MM_PKT_RSP, 1, nul)),
         {{Str(offsetof(kyrpacket, body.rsp.command), std::string("ab\0\0", 4), "command")}}},
        {"error response keeps its bytes", Cut(Text(MM_PKT_RSE, 1, nul)),
         {{Str(offsetof(kyrpacket, body.rsp.command), nul, "command")}}},
        {"long command", Cut(Text(MM_PKT_CMD, 3, q), true), {{KYR_TEXT(body.cmd.command, q.substr(0, 439))}}},
        {"long response", Cut(Text(MM_PKT_RSP, 3, q), true), {{KYR_TEXT(body.rsp.command, q.substr(0, 439))}}},
        {"long status", Cut(Text(MM_PKT_STT, 3, q), true), {{KYR_TEXT(body.stt.status, q.substr(0, 439))}}},
        {"command", Cut(Text(MM_PKT_CMD, 0xAB, "go")),
         {With(Rec("CMD", kyrtype_cmd, 456), {KYR_FIELD(body.cmd.id, 0xAB), KYR_TEXT(body.cmd.command, "go")})}},
        // Size field 300, five text bytes sent: nothing of earlier packets shows through.
        {"text claiming more than received", Cut(wire::Head(MM_PKT_STT).u8(0).u8(0).u16(300).str("short").crc()),
         {With(Rec("STT", kyrtype_stt, 454),
               {KYR_TEXT(body.stt.status, "short"), {offsetof(kyrpacket, body.stt.status) + 7, Bytes(433), "rest"}})}},
        {"message", Cut(Message(0x2006, "MM", "hello")),
         {With(Rec("MM1", kyrtype_msg, 268), {KYR_FIELD(ticktime, 77), KYR_TEXT(body.msg.message, "hello")})}},
        {"message of a four-letter part", Cut(Message(0xA006, "ABCD", "x")), {{KYR_TEXT(partid, "ABCD1-1")}}},
        {"long message", Cut(Message(0x1006, "MM", std::string(300, 'm')), true),
         {{KYR_TEXT(body.msg.message, std::string(253, 'm'))}}},
        {"version", Cut(wire::Head(0x2000, 5).u16(1).u16(2).u16(3).u16(4).str("Jan 01 2024").str("12:34:56").crc()),
         {With(Rec("VER1", kyrtype_ver, 41),
               {KYR_FIELD(body.ver.nv, 1), KYR_FIELD(body.ver.minor, 2), KYR_FIELD(body.ver.major, 3),
                KYR_FIELD(body.ver.model, 4),
                {offsetof(kyrpacket, body.ver.date), Pkt{}.str("Jan 01 202412:34:56").b, "date and time"}})}},
        {"IAP version", Cut(wire::Head(0x1105, 0x0123).crc()),
         {With(Rec("VER", kyrtype_ver, 41),
               {KYR_FIELD(ticktime, 0x0123), KYR_FIELD(body.ver.model, 0x0123),
                {offsetof(kyrpacket, body.ver.nv), Bytes(6), "nv, minor, major"},
                {offsetof(kyrpacket, body.ver.date), Bytes(19), "date and time"}})}},
        {"object ranges", Cut(wire::Head(0x2003, 4).u16(2).u16(0).f32(1).f32(2).f32(3).f32(4).crc()),
         {With(Rec("OBJ1", kyrtype_obj, 104),
               {KYR_FIELD(body.obj.count, 2), KYR_FIELD(body.obj.start_pos[1], 3.0f),
                KYR_FIELD(body.obj.end_pos[1], 4.0f), KYR_FIELD(body.obj.start_pos[2], 0.0f)})}},
        {"twelve object ranges", Cut(twelve.crc()),
         {{KYR_FIELD(body.obj.count, 12), KYR_FIELD(body.obj.start_pos[10], 10.0f),
           KYR_FIELD(body.obj.end_pos[10], 10.5f)}}},
        {"image", RawFormat(ImageHeader(0x2801, 0, 100, 1), ramp100),
         {With(Rec("IRD1", kyrtype_ird, 120),
               {KYR_FIELD(ticktime, 11), KYR_FIELD(body.ixd.total, 480), KYR_FIELD(body.ixd.offset, -5),
                KYR_FIELD(body.ixd.count, 100), {20, ramp100, "data from offset 24"}}),
          With(Rec("OBC1", kyrtype_obc, 24), {KYR_FIELD(body.obc.count, 0), KYR_FIELD(body.obc.start_pos, 1.5f),
                                               KYR_FIELD(body.obc.end_pos, 2.5f)}),
          With(Rec("DTC1", kyrtype_dtc, 176), {KYR_FIELD(body.dtc.count, 0), KYR_FIELD(body.dtc.start_pos[0], 0)})}},
        {"image with three detection ranges", RawFormat(ImageHeader(0xA802, 3, 64, 3), ramp64),
         {With(Rec("ITD1-1", kyrtype_itd, 84), {{20, ramp64, "data from offset 32"}}),
          {KYR_TEXT(partid, "OBC1-1")},
          {KYR_TEXT(partid, "DTC1-1"), KYR_FIELD(body.dtc.count, 3), KYR_FIELD(body.dtc.start_pos[2], 102),
           KYR_FIELD(body.dtc.end_pos[2], 202), KYR_FIELD(body.dtc.start_pos[3], 0)}}},
        {"image with twelve detection ranges", RawFormat(ImageHeader(0x1801, 12, 64, 10), ramp64),
         {{KYR_TEXT(partid, "IRD"), {20, ramp64, "data from offset 60"}},
          {KYR_FIELD(body.obc.count, 12)},
          {KYR_FIELD(body.dtc.count, 12), KYR_FIELD(body.dtc.end_pos[9], 209)}}},
        {"preview rows", RawFormat(wire::Head(0x4805, 8).u16(320).u16(480).u16(17).crc(), row),
         {With(Rec("PRV2", kyrtype_prv, 340), {KYR_FIELD(body.prv.width, 320), KYR_FIELD(body.prv.height, 480),
                                                KYR_FIELD(body.prv.offset_y, 17), {20, row, "image"}})}},
        {"touch points", Cut(wire::Head(0x2300, 6).u16(2).u16(3).u16(1).u16(2).u16(3).u16(4).u16(5)
                                 .u16(600).u16(700).u16(8).u16(9).u16(10).crc()),
         {With(Rec("TPT", kyrtype_tpt, 38),
               {KYR_FIELD(body.tpt.touch_count, 2), KYR_FIELD(body.tpt.actual_touch, 3),
                {28, Pkt{}.u16(600).u16(700).u16(8).u16(9).u16(10).b, "second point"}})}},
        {"gesture", Cut(wire::Head(0x1301, 2).u8(7).u8(8).u16(9).u16(10).u16(11).u16(12).u16(13)
                            .f32(45.0f).f32(1.25f).u16(300).str(std::string(300, 'g')).crc()),
         {With(Rec("GST", kyrtype_gst, 272),
               {KYR_FIELD(body.gst.action_group, 7), KYR_FIELD(body.gst.action, 8),
                KYR_FIELD(body.gst.feasibleness, 9), KYR_FIELD(body.gst.x, 10), KYR_FIELD(body.gst.h, 13),
                KYR_FIELD(body.gst.zoom, 1.25f), KYR_TEXT(body.gst.message, std::string(241, 'g'))})}},
        {"device report", Cut(wire::Head(0x1302, 1).u8(1).u8(2).u8(3).u8(0xFE).u16(400).u16(500).f32(0.5f)
                                  .f32(0.75f).u8(0x02).u8(0).str("\x04\x05\x06\x07\x08\x09").u16(0).b),
         {With(Rec("DVC", kyrtype_dvc, 38),
               {KYR_FIELD(body.dvc.flag, 1), KYR_FIELD(body.dvc.touch_obj_cnt, 2), KYR_FIELD(body.dvc.mouse_buttons, 3),
                KYR_FIELD(body.dvc.mouse_wheel, -2), KYR_FIELD(body.dvc.mouse_x, 400),
                KYR_FIELD(body.dvc.mouse_y, 500), KYR_FIELD(body.dvc.touch_x, 0.5f),
                KYR_FIELD(body.dvc.touch_y, 0.75f), KYR_FIELD(body.dvc.keyboard_modifier, 2),
                KYR_FIELD(body.dvc.keyboard_key[5], 9)})}},
        // Counts beyond the received bytes drop the packet rather than copying
        // bytes nobody sent (before, such copies ran past the reassembly buffer).
        {"touch points beyond the bytes", Cut(wire::Head(0x1300).u16(409).u16(1).zeros(10).crc()), {}},
        {"touch points one short", Cut(wire::Head(0x1300).u16(2).u16(2).zeros(18).crc()), {}},
        {"image in a single series", Cut(ImageHeader(0x2801, 1, 60000, 1)), {}},
        {"preview in a single series", Cut(wire::Head(0x1805).u16(300).u16(1).u16(0).zeros(20).crc()), {}},
        {"object ranges beyond the bytes", Cut(wire::Head(0x1003).u16(11).u16(0).zeros(16).crc()), {}},
        {"short version", Cut(wire::Head(0x1000).zeros(20).crc()), {}},
        {"short device report", Cut(wire::Head(0x1302).zeros(10).u16(0).b), {}},
        // The same shapes, consistent, are delivered from the single series too.
        {"touch points backed", Cut(wire::Head(0x1300).u16(2).u16(2).zeros(20).crc()), {{KYR_TEXT(partid, "TPT")}}},
        {"preview in a single series, backed", Cut(wire::Head(0x1805).u16(20).u16(1).u16(0).zeros(20).crc()),
         {{KYR_TEXT(partid, "PRV")}}},
    };
    // Part names follow the address.
    const std::pair<unsigned, const char*> parts[] = {
        {0xC00C, "STT2-1"}, {0x100C, "STT"}, {0x800C, "STT"}, {0x200C, "STT1"},
        {0x400C, "STT2"},   {0xA00C, "STT1-1"}, {0x000C, "STT"}, {0x600C, "STT"},
    };
    for (auto [id, name] : parts)
        c.push_back({"status " + Recorder::Hex(id), Cut(Text(id, 0, "s")), {{KYR_TEXT(partid, name)}}});
    for (unsigned id : {0x1004u, 0x100Bu, 0x17FFu, 0x1100u, 0x110Cu})
        c.push_back({"no record for " + Recorder::Hex(id), Cut(wire::Head(id).u16(0).u16(0).zeros(40).crc()), {}});
    return c;
}

} // namespace

TEST(Decode, EveryKindBecomesItsRecords)
{
    ExpectDecodes(Cases());
}
