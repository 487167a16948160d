#include "PacketText.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "Tool.h"

namespace kyrhid {

const char* TypeName(short nType)
{
    static const char* const names[] = {"msg", "obj", "obc", "dtc", "ird", "itd", "prv", "cmd",
                                        "rsp", "rse", "stt", "dvc", "tpt", "gst", "ver"};
    return nType >= 0 && nType < static_cast<short>(std::size(names)) ? names[nType] : "?";
}

std::string FieldText(const char* pText, size_t nMax)
{
    return std::string(pText, strnlen(pText, nMax));
}

namespace {

// Bytes of a variable tail starting at nOffset in the record that the
// record's length covers, at most nCount.
size_t TailBytes(const kyrpacket& p, size_t nOffset, long nCount)
{
    if (nCount <= 0 || p.length <= nOffset)
        return 0;
    return std::min(static_cast<size_t>(nCount), static_cast<size_t>(p.length - nOffset));
}

size_t TouchPoints(const kyrpacket& p)
{
    return TailBytes(p, offsetof(kyrpacket, body.tpt.points), p.body.tpt.touch_count * 10L) / 10;
}

// A field of the packed record by value: binding a reference to it (as
// nlohmann's constructors would) may be misaligned.
template <typename T>
T V(T value)
{
    return value;
}

std::string Format(const char* pszFormat, auto... args)
{
    char sz[160];
    std::snprintf(sz, sizeof sz, pszFormat, args...);
    return sz;
}

} // namespace

std::string PacketLine(const kyrpacket& p, bool bSync)
{
    std::string sz = Format("%5u %-4s %-7.7s%s ", p.ticktime, TypeName(p.type), FieldText(p.partid, 8).c_str(),
                            bSync ? " sync" : "");
    const auto& b = p.body;
    switch (p.type) {
    case kyrtype_msg: sz += "\"" + FieldText(b.msg.message, sizeof b.msg.message) + "\""; break;
    case kyrtype_obj:
        sz += Format("%u ranges", b.obj.count);
        for (unsigned i = 0; i < b.obj.count && i < 3; ++i)
            sz += Format(" [%.2f..%.2f]", b.obj.start_pos[i], b.obj.end_pos[i]);
        break;
    case kyrtype_obc:
        sz += Format("object [%.2f..%.2f], %u detections", b.obc.start_pos, b.obc.end_pos, b.obc.count);
        break;
    case kyrtype_dtc: sz += Format("%u detection ranges", b.dtc.count); break;
    case kyrtype_ird:
    case kyrtype_itd: sz += Format("%d of %d image bytes at %d", b.ixd.count, b.ixd.total, b.ixd.offset); break;
    case kyrtype_prv:
        sz += Format("preview row %d of %d, %d wide", b.prv.offset_y, b.prv.height, b.prv.width);
        break;
    case kyrtype_cmd: sz += Format("id %u ", b.cmd.id) + "\"" + FieldText(b.cmd.command, 440) + "\""; break;
    case kyrtype_rsp:
    case kyrtype_rse:
        sz += Format("id %u%s ", b.rsp.id, b.rsp.is_final ? "" : " (more)") + "\"" +
              FieldText(b.rsp.command, 440) + "\"";
        break;
    case kyrtype_stt: sz += "\"" + FieldText(b.stt.status, 440) + "\""; break;
    case kyrtype_dvc:
        sz += Format("mouse %u,%u buttons 0x%02x wheel %d, touch %.3f,%.3f, ", b.dvc.mouse_x, b.dvc.mouse_y,
                     b.dvc.mouse_buttons, b.dvc.mouse_wheel, b.dvc.touch_x, b.dvc.touch_y);
        sz += Format("keys %02x:", b.dvc.keyboard_modifier) + HexString(b.dvc.keyboard_key, 6, "");
        break;
    case kyrtype_tpt:
        sz += Format("%d points", b.tpt.touch_count);
        for (size_t i = 0; i < TouchPoints(p) && i < 3; ++i)
            sz += Format(" (%u,%u %ux%u)", b.tpt.points[i].x, b.tpt.points[i].y, b.tpt.points[i].w,
                         b.tpt.points[i].h);
        break;
    case kyrtype_gst:
        sz += Format("group %u action %u at %u,%u zoom %.2f ", b.gst.action_group, b.gst.action, b.gst.x, b.gst.y,
                     b.gst.zoom) +
              "\"" + FieldText(b.gst.message, sizeof b.gst.message) + "\"";
        break;
    case kyrtype_ver:
        sz += Format("%u.%u nv%u model 0x%04x ", b.ver.major, b.ver.minor, b.ver.nv, b.ver.model) +
              FieldText(reinterpret_cast<const char*>(b.ver.date), 11) + " " +
              FieldText(reinterpret_cast<const char*>(b.ver.time), 8);
        break;
    default: break;
    }
    return sz;
}

nlohmann::json PacketJson(const kyrpacket& p, bool bSync)
{
    using nlohmann::json;
    json j = {{"type", TypeName(p.type)},
              {"type_code", V(p.type)},
              {"ticktime", V(p.ticktime)},
              {"partid", FieldText(p.partid, 8)},
              {"length", V(p.length)},
              {"sync", bSync}};
    const auto& b = p.body;
    switch (p.type) {
    case kyrtype_msg: j["message"] = FieldText(b.msg.message, sizeof b.msg.message); break;
    case kyrtype_obj: {
        j["count"] = V(b.obj.count);
        json ranges = json::array();
        for (unsigned i = 0; i < b.obj.count && i < 11; ++i)
            ranges.push_back({{"start", V(b.obj.start_pos[i])}, {"end", V(b.obj.end_pos[i])}});
        j["ranges"] = ranges;
        break;
    }
    case kyrtype_obc:
        j["count"] = V(b.obc.count);
        j["start"] = V(b.obc.start_pos);
        j["end"] = V(b.obc.end_pos);
        break;
    case kyrtype_dtc: {
        j["count"] = V(b.dtc.count);
        json ranges = json::array();
        for (unsigned i = 0; i < b.dtc.count && i < 10; ++i)
            ranges.push_back({{"start", V(b.dtc.start_pos[i])}, {"end", V(b.dtc.end_pos[i])}});
        j["ranges"] = ranges;
        break;
    }
    case kyrtype_ird:
    case kyrtype_itd:
        j["total"] = V(b.ixd.total);
        j["offset"] = V(b.ixd.offset);
        j["count"] = V(b.ixd.count);
        j["data"] = HexString(b.ixd.data, TailBytes(p, offsetof(kyrpacket, body.ixd.data), b.ixd.count), "");
        break;
    case kyrtype_prv:
        j["height"] = V(b.prv.height);
        j["offset_y"] = V(b.prv.offset_y);
        j["width"] = V(b.prv.width);
        j["image"] = HexString(b.prv.image, TailBytes(p, offsetof(kyrpacket, body.prv.image), b.prv.width), "");
        break;
    case kyrtype_cmd:
        j["id"] = V(b.cmd.id);
        j["command"] = FieldText(b.cmd.command, sizeof b.cmd.command);
        break;
    case kyrtype_rsp:
    case kyrtype_rse:
        j["id"] = V(b.rsp.id);
        j["is_final"] = b.rsp.is_final != 0;
        j["response"] = FieldText(b.rsp.command, sizeof b.rsp.command);
        break;
    case kyrtype_stt: j["status"] = FieldText(b.stt.status, sizeof b.stt.status); break;
    case kyrtype_dvc:
        j["flag"] = V(b.dvc.flag);
        j["touch_obj_cnt"] = V(b.dvc.touch_obj_cnt);
        j["mouse_buttons"] = V(b.dvc.mouse_buttons);
        j["mouse_wheel"] = V(b.dvc.mouse_wheel);
        j["mouse_x"] = V(b.dvc.mouse_x);
        j["mouse_y"] = V(b.dvc.mouse_y);
        j["touch_x"] = V(b.dvc.touch_x);
        j["touch_y"] = V(b.dvc.touch_y);
        j["keyboard_modifier"] = V(b.dvc.keyboard_modifier);
        j["keyboard_reserved"] = V(b.dvc.keyboard_reserved);
        j["keyboard_key"] = json(std::vector<int>(std::begin(b.dvc.keyboard_key), std::end(b.dvc.keyboard_key)));
        break;
    case kyrtype_tpt: {
        j["actual_touch"] = V(b.tpt.actual_touch);
        j["touch_count"] = V(b.tpt.touch_count);
        json points = json::array();
        for (size_t i = 0; i < TouchPoints(p); ++i) {
            const kyrtouchpoint& pt = b.tpt.points[i];
            points.push_back({{"x", V(pt.x)}, {"y", V(pt.y)}, {"w", V(pt.w)}, {"h", V(pt.h)}, {"s", V(pt.s)}});
        }
        j["points"] = points;
        break;
    }
    case kyrtype_gst:
        j["action_group"] = V(b.gst.action_group);
        j["action"] = V(b.gst.action);
        j["feasibleness"] = V(b.gst.feasibleness);
        j["x"] = V(b.gst.x);
        j["y"] = V(b.gst.y);
        j["w"] = V(b.gst.w);
        j["h"] = V(b.gst.h);
        j["zoom"] = V(b.gst.zoom);
        j["message"] = FieldText(b.gst.message, sizeof b.gst.message);
        break;
    case kyrtype_ver:
        j["nv"] = V(b.ver.nv);
        j["minor"] = V(b.ver.minor);
        j["major"] = V(b.ver.major);
        j["model"] = V(b.ver.model);
        j["date"] = FieldText(reinterpret_cast<const char*>(b.ver.date), sizeof b.ver.date);
        j["time"] = FieldText(reinterpret_cast<const char*>(b.ver.time), sizeof b.ver.time);
        break;
    default: break;
    }
    return j;
}

} // namespace kyrhid
