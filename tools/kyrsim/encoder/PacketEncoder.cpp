#include "PacketEncoder.h"

#include <algorithm>
#include <cstring>

namespace kyrsim::encoder {

namespace {

constexpr size_t kPayload = 61;

// Explicit little-endian writers: the wire order does not depend on the host.
struct Writer {
    Bytes b;
    void U8(uint8_t v) { b.push_back(v); }
    void U16(uint16_t v)
    {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    }
    void F32(float f)
    {
        uint32_t v;
        std::memcpy(&v, &f, 4);
        for (int i = 0; i < 4; ++i)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void Raw(std::span<const uint8_t> s) { b.insert(b.end(), s.begin(), s.end()); }
    void Text(std::string_view s) { b.insert(b.end(), s.begin(), s.end()); }
    void Fixed(std::string_view s, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            b.push_back(i < s.size() ? static_cast<uint8_t>(s[i]) : 0);
    }
    Bytes Finish()
    {
        const uint16_t crc = Crc16(b);
        U16(crc);
        return std::move(b);
    }
};

Writer Head(uint16_t wId, uint16_t wTick)
{
    Writer w;
    w.U16(wId);
    w.U16(wTick);
    return w;
}

}  // namespace

// Bit by bit rather than by table: slow, but obviously the definition.
uint16_t Crc16(std::span<const uint8_t> bytes)
{
    uint16_t r = 0xFFFF;
    for (uint8_t byte : bytes) {
        r ^= byte;
        for (int i = 0; i < 8; ++i)
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
    }
    return static_cast<uint16_t>(r ^ 0xFFFF);
}

Bytes Packet(uint16_t wId, uint16_t wTick, std::span<const uint8_t> body)
{
    Writer w = Head(wId, wTick);
    w.Raw(body);
    return w.Finish();
}

std::vector<Report> CutReports(std::span<const uint8_t> packet, Series series)
{
    std::vector<Report> out;
    size_t off = 0;
    do {
        const size_t n = std::min(kPayload, packet.size() - off);
        Report r{};
        r[0] = 1;
        r[1] = static_cast<uint8_t>(static_cast<uint8_t>(series) | (off + n == packet.size() ? 1 : 0));
        r[2] = static_cast<uint8_t>(n);
        std::copy_n(packet.begin() + off, n, r.begin() + 3);
        out.push_back(r);
        off += n;
    } while (off < packet.size());
    return out;
}

std::vector<Report> CutReports(const RawPacket& packet)
{
    std::vector<Report> out = CutReports(packet.header, Series::Stream);
    const std::vector<Report> raw = CutReports(packet.raw, Series::Stream);
    out.insert(out.end(), raw.begin(), raw.end());
    return out;
}

Bytes Version(uint16_t wAddr, uint16_t wTick, const VersionInfo& v)
{
    Writer w = Head(wAddr | 0x000, wTick);
    w.U16(v.nv);
    w.U16(v.minor);
    w.U16(v.major);
    w.U16(v.model);
    w.Fixed(v.date, 11);
    w.Fixed(v.time, 8);
    return w.Finish();
}

Bytes IapVersion(uint16_t wAddr, uint16_t wModel)
{
    return Head(wAddr | 0x105, wModel).Finish();
}

Bytes FirmwareMode(uint16_t wAddr, uint16_t wMode)
{
    return Head(wAddr | 0x104, wMode).Finish();
}

Bytes Message(uint16_t wAddr, uint16_t wTick, std::string_view partid, std::string_view text)
{
    Writer w = Head(wAddr | 0x006, wTick);
    w.Fixed(partid, 4);
    w.U16(static_cast<uint16_t>(text.size()));
    w.Text(text);
    return w.Finish();
}

Bytes Text(uint16_t wAddr, TextKind kind, uint16_t wTick, uint8_t nCmdId, std::string_view text, uint8_t nBodyType)
{
    Writer w = Head(wAddr | static_cast<uint16_t>(kind), wTick);
    w.U8(nBodyType);
    w.U8(nCmdId);
    w.U16(static_cast<uint16_t>(text.size()));
    w.Text(text);
    return w.Finish();
}

Bytes Objects(uint16_t wAddr, uint16_t wTick, std::span<const Range> ranges)
{
    Writer w = Head(wAddr | 0x003, wTick);
    w.U16(static_cast<uint16_t>(ranges.size()));
    w.U16(0);
    for (const Range& r : ranges) {
        w.F32(r.start);
        w.F32(r.end);
    }
    return w.Finish();
}

RawPacket Image(uint16_t wAddr, ImageKind kind, uint16_t wTick, const ImageFrame& frame)
{
    Writer w = Head(wAddr | static_cast<uint16_t>(kind), wTick);
    w.U16(static_cast<uint16_t>(frame.data.size()));
    w.U16(frame.total);
    w.U16(static_cast<uint16_t>(frame.offset));
    w.U16(static_cast<uint16_t>(frame.detections.size()));
    w.F32(frame.object.start);
    w.F32(frame.object.end);
    const size_t nCarried = std::clamp<size_t>(frame.detections.size(), 1, 10);
    for (size_t i = 0; i < nCarried; ++i) {
        const Detection d = i < frame.detections.size() ? frame.detections[i] : Detection{};
        w.U16(d.start);
        w.U16(d.end);
    }
    return {w.Finish(), frame.data};
}

RawPacket Preview(uint16_t wAddr, uint16_t wTick, uint16_t wHeight, int16_t nOffsetY, std::span<const uint8_t> row)
{
    Writer w = Head(wAddr | 0x805, wTick);
    w.U16(static_cast<uint16_t>(row.size()));
    w.U16(wHeight);
    w.U16(static_cast<uint16_t>(nOffsetY));
    return {w.Finish(), Bytes(row.begin(), row.end())};
}

Bytes TouchPoints(uint16_t wTick, uint16_t wGuessCount, std::span<const TouchPoint> points)
{
    Writer w = Head(0x1300, wTick);
    w.U16(static_cast<uint16_t>(points.size()));
    w.U16(wGuessCount);
    for (const TouchPoint& p : points) {
        w.U16(p.x);
        w.U16(p.y);
        w.U16(p.w);
        w.U16(p.h);
        w.U16(p.s);
    }
    return w.Finish();
}

Bytes Gesture(uint16_t wTick, const GestureInfo& g)
{
    Writer w = Head(0x1301, wTick);
    w.U8(g.action_group);
    w.U8(g.action);
    w.U16(g.feasibleness);
    w.U16(g.x);
    w.U16(g.y);
    w.U16(g.w);
    w.U16(g.h);
    w.F32(g.angle);
    w.F32(g.zoom);
    w.U16(static_cast<uint16_t>(g.message.size()));
    w.Text(g.message);
    return w.Finish();
}

Bytes DeviceReport(uint16_t wTick, const DeviceState& d)
{
    Writer w = Head(0x1302, wTick);
    w.U8(d.flag);
    w.U8(d.touch_obj_cnt);
    w.U8(d.mouse_buttons);
    w.U8(static_cast<uint8_t>(d.mouse_wheel));
    w.U16(d.mouse_x);
    w.U16(d.mouse_y);
    w.F32(d.touch_x);
    w.F32(d.touch_y);
    w.U8(d.keyboard_modifier);
    w.U8(d.keyboard_reserved);
    w.Raw(d.keyboard_key);
    return w.Finish();
}

std::optional<Command> CCommandAssembler::Feed(std::span<const uint8_t> report)
{
    if (report.size() != 64 || (report[1] & 0xFE) != 0x00 || report[2] > kPayload) {
        m_packet.clear();
        return std::nullopt;
    }
    m_packet.insert(m_packet.end(), report.begin() + 3, report.begin() + 3 + report[2]);
    if (report[1] != 0x01)
        return std::nullopt;
    Bytes p;
    p.swap(m_packet);
    // id, tick, type, command id, size, text, NUL, CRC.
    if (p.size() < 11 || Crc16(std::span(p).first(p.size() - 2)) != (p[p.size() - 2] | p[p.size() - 1] << 8))
        return std::nullopt;
    const size_t nText = p[6] | p[7] << 8;
    if ((p[0] | p[1] << 8) != 0x1007 || 8 + nText + 3 > p.size())
        return std::nullopt;
    return Command{p[5], std::string(p.begin() + 8, p.begin() + 8 + nText)};
}

}  // namespace kyrsim::encoder
