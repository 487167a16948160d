#include "KyrOutput.h"

#include <cmath>
#include <cstdio>

namespace kyrsim::kyr {

namespace {

using namespace encoder;

constexpr uint8_t kMaxPayload = 61;

std::vector<OutPacket> Image(uint32_t n, uint16_t wTick)
{
    // A 64-pixel preview of 8 rows, one row per sample, and image data with
    // two detection ranges: both from camera module 1.
    Bytes row(64);
    for (size_t i = 0; i < row.size(); ++i)
        row[i] = static_cast<uint8_t>(i * 4 + n);
    const RawPacket preview = Preview(kAddrCM1, wTick, 8, static_cast<int16_t>(n % 8), row);

    ImageFrame frame;
    frame.total = 120;
    frame.offset = static_cast<int16_t>(n % 16);
    frame.object = {0.25f, 0.5f + static_cast<float>(n % 10) / 40.0f};
    frame.detections = {{10, 20}, {static_cast<uint16_t>(40 + n % 20), 70}};
    frame.data.resize(120);
    for (size_t i = 0; i < frame.data.size(); ++i)
        frame.data[i] = static_cast<uint8_t>(255 - i - n);
    const RawPacket image = encoder::Image(kAddrCM1, ImageKind::Ird, wTick, frame);
    return {OutPacket{preview.header, preview.raw, true}, OutPacket{image.header, image.raw, true}};
}

}  // namespace

OutPacket Plain(Bytes packet)
{
    return OutPacket{std::move(packet), {}, false};
}

std::vector<OutPacket> StreamSample(char cLetter, uint32_t n, uint16_t wTick)
{
    // A point circling the middle of a 4096-unit square.
    const double dAngle = static_cast<double>(n % 360) * 3.14159265358979 / 180.0;
    const auto x = static_cast<uint16_t>(2048 + 1000 * std::cos(dAngle));
    const auto y = static_cast<uint16_t>(2048 + 1000 * std::sin(dAngle));
    switch (cLetter) {
    case 'M':
        return {Plain(Message(kAddrMM, wTick, "MM", "sample " + std::to_string(n)))};
    case 'O': {
        const Range ranges[] = {{0.1f, 0.2f}, {0.4f + static_cast<float>(n % 10) / 100.0f, 0.6f}, {0.8f, 0.9f}};
        return {Plain(Objects(kAddrMM, wTick, std::span(ranges).first(1 + n % 3)))};
    }
    case 'V':
        return Image(n, wTick);
    case 'T': {
        const TouchPoint points[] = {{x, y, 40, 40, 200}, {static_cast<uint16_t>(4096 - x), y, 30, 30, 150}};
        const size_t nPoints = 1 + n % 2;
        return {Plain(TouchPoints(wTick, static_cast<uint16_t>(nPoints), std::span(points).first(nPoints)))};
    }
    case 'G': {
        GestureInfo g;
        g.action_group = static_cast<uint8_t>(1 + n % 3);
        g.action = static_cast<uint8_t>(n % 4);
        g.feasibleness = 100;
        g.x = x;
        g.y = y;
        g.w = 50;
        g.h = 50;
        g.angle = static_cast<float>(dAngle);
        g.zoom = 1.0f;
        g.message = "move";
        return {Plain(Gesture(wTick, g))};
    }
    case 'D': {
        DeviceState d;
        d.flag = 1;
        d.touch_obj_cnt = 1;
        d.mouse_buttons = static_cast<uint8_t>(n % 2);
        d.mouse_x = x;
        d.mouse_y = y;
        d.touch_x = static_cast<float>(x) / 4096.0f;
        d.touch_y = static_cast<float>(y) / 4096.0f;
        return {Plain(DeviceReport(wTick, d))};
    }
    default:
        return {};
    }
}

CFaultInjector::CFaultInjector(std::vector<FaultRule> rules, uint32_t dwSeed) : m_random(dwSeed)
{
    for (const FaultRule& rule : rules)
        m_rules.push_back({rule, 0});
}

bool CFaultInjector::Hit(size_t nRule)
{
    Rule& rule = m_rules[nRule];
    ++rule.qwEligible;
    const bool bHit = rule.rule.nEvery != 0 ? rule.qwEligible % rule.rule.nEvery == 0
                                            : std::uniform_real_distribution<double>(0, 1)(m_random) <
                                                  rule.rule.dFraction;
    if (bHit)
        ++m_hits[static_cast<size_t>(rule.rule.kind)];
    return bHit;
}

Report CFaultInjector::Garbage()
{
    Report report{};
    for (auto& b : report)
        b = static_cast<uint8_t>(m_random());
    static constexpr uint8_t kTypes[] = {0x00, 0x01, 0x80, 0x81};
    report[0] = 1;
    report[1] = kTypes[m_random() % 4];
    report[2] = static_cast<uint8_t>(m_random() % (kMaxPayload + 1));
    // A report that happens to close an intact packet would not be garbage.
    const size_t nSize = report[2];
    if ((report[1] & 1) != 0 && nSize >= 2) {
        const std::span<const uint8_t> packet(report.data() + 3, nSize);
        if (Crc16(packet.first(nSize - 2)) == (packet[nSize - 2] | packet[nSize - 1] << 8))
            report[3 + nSize - 1] ^= 0xFF;
    }
    return report;
}

CFaultInjector::Output CFaultInjector::Send(OutPacket packet)
{
    ++m_qwPackets;
    const Bytes& bytes = packet.packet;
    const uint16_t wId = bytes.size() >= 2 ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8) : 0;
    Output out;
    for (size_t i = 0; i < m_rules.size(); ++i) {
        if (m_rules[i].rule.kind == FaultKind::BadCrc && Hit(i)) {
            packet.packet[packet.packet.size() - 2] ^= 0xFF;
            out.bBadCrc = true;
        }
    }
    out.reports = packet.bRaw ? CutReports(RawPacket{packet.packet, packet.raw})
                              : CutReports(packet.packet, Series::Single);
    // Garbage goes in front last, whatever the order of the rules: the
    // other faults concern the packet's own reports.
    bool bGarbage = false;
    for (size_t i = 0; i < m_rules.size(); ++i) {
        switch (m_rules[i].rule.kind) {
        case FaultKind::BadCrc:
            break;
        case FaultKind::Truncated:
            if (out.reports.size() >= 2 && Hit(i)) {
                out.reports.pop_back();
                out.bCut = true;
            }
            break;
        case FaultKind::Oversize:
            if (Hit(i)) {
                out.reports.front()[2] = kMaxPayload + 1;
                out.bCut = true;
            }
            break;
        case FaultKind::Garbage:
            bGarbage = Hit(i) || bGarbage;
            break;
        case FaultKind::Stall:
            if (Hit(i))
                out.nStallMs = std::max(out.nStallMs, m_rules[i].rule.nStallMs);
            break;
        }
    }
    if (bGarbage)
        out.reports.insert(out.reports.begin(), Garbage());
    std::lock_guard lock(m_kindsMutex);
    Kind& kind = m_kinds[wId];
    ++kind.qwSent;
    kind.qwIntact += !out.bBadCrc && !out.bCut ? 1 : 0;
    kind.qwCrcOnly += out.bBadCrc && !out.bCut ? 1 : 0;
    return out;
}

std::string CFaultInjector::Counts() const
{
    std::string szCounts = "packets=" + std::to_string(m_qwPackets.load());
    for (FaultKind kind : kFaultKinds)
        szCounts += std::string(" ") + FaultName(kind) + "=" + std::to_string(m_hits[static_cast<size_t>(kind)].load());
    return szCounts;
}

std::string CFaultInjector::KindCounts() const
{
    std::lock_guard lock(m_kindsMutex);
    std::string szCounts;
    for (const auto& [wId, kind] : m_kinds) {
        char szId[8];
        std::snprintf(szId, sizeof szId, "0x%04x", wId);
        szCounts += std::string(szCounts.empty() ? "" : " ") + szId + " sent=" + std::to_string(kind.qwSent) +
                    " intact=" + std::to_string(kind.qwIntact) + " crconly=" + std::to_string(kind.qwCrcOnly);
    }
    return szCounts;
}

}  // namespace kyrsim::kyr
