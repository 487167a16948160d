// Builds packets and reports byte by byte from the wire formats, with its own
// bit-wise CRC, and records what the codec reports, so that tests never use
// the code under test to make their inputs or expectations.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "MmPkt.h"

namespace wire {

using Bytes = std::vector<uint8_t>;

inline uint16_t Crc16(const uint8_t* p, size_t n)
{
    uint16_t r = 0xFFFF;
    for (size_t i = 0; i < n; ++i) {
        r ^= p[i];
        for (int b = 0; b < 8; ++b)
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
    }
    return static_cast<uint16_t>(~r);
}

struct Pkt {
    Bytes b;
    Pkt& u8(unsigned v) { b.push_back(static_cast<uint8_t>(v)); return *this; }
    Pkt& u16(unsigned v) { return u8(v & 0xFF).u8((v >> 8) & 0xFF); }
    Pkt& f32(float f) { uint32_t v; std::memcpy(&v, &f, 4); return u16(v & 0xFFFF).u16(v >> 16); }
    Pkt& str(std::string_view s) { b.insert(b.end(), s.begin(), s.end()); return *this; }
    Pkt& zeros(size_t n) { b.insert(b.end(), n, 0); return *this; }
    Bytes crc() const { Bytes o = b; uint16_t c = Crc16(o.data(), o.size()); o.push_back(c & 0xFF); o.push_back(c >> 8); return o; }
};

inline Pkt Head(unsigned id, unsigned tick = 0) { return Pkt{}.u16(id).u16(tick); }

// Command, response and status packets.
inline Bytes Text(unsigned id, unsigned cmdId, std::string_view s, unsigned type = 0, unsigned tick = 0)
{
    return Head(id, tick).u8(type).u8(cmdId).u16(static_cast<unsigned>(s.size())).str(s).crc();
}

using Report = std::vector<uint8_t>;

// 61 payload bytes a report, the last one marked.
inline std::vector<Report> Cut(const Bytes& pkt, bool stream = false)
{
    std::vector<Report> out;
    size_t off = 0;
    do {
        size_t n = std::min<size_t>(61, pkt.size() - off);
        Report r(64, 0);
        r[0] = 1;
        r[1] = static_cast<uint8_t>((stream ? 0x80 : 0x00) | (off + n == pkt.size() ? 1 : 0));
        r[2] = static_cast<uint8_t>(n);
        std::copy_n(pkt.begin() + off, n, r.begin() + 3);
        out.push_back(r);
        off += n;
    } while (off < pkt.size());
    return out;
}

inline Report RawReport(uint8_t type, uint8_t size, uint8_t fill = 0)
{
    Report r(64, fill);
    r[0] = 1;
    r[1] = type;
    r[2] = size;
    return r;
}

// Every callback, in order, as text; decoded records kept whole.
class Recorder : public kyr_hid_library::CMmPkt::IMmPktNotify {
public:
    std::vector<std::string> events;
    std::vector<Bytes> records;
    std::vector<int> syncAnswers; // ids answered true

    bool OnCheckSyncResposePacket(int id) override
    {
        bool yes = std::find(syncAnswers.begin(), syncAnswers.end(), id) != syncAnswers.end();
        events.push_back("check " + std::to_string(id));
        return yes;
    }
    void OnCompleteResponsePacket(int id) override { events.push_back("complete " + std::to_string(id)); }
    void OnCompleteNoneResponsePacket(unsigned short id) override { events.push_back("none " + Hex(id)); }
    void TPDP_OnPacket(kyrpacket* p, bool sync) override
    {
        events.push_back(std::string("packet ") + p->partid + (sync ? " sync" : ""));
        const auto* b = reinterpret_cast<const uint8_t*>(p);
        records.emplace_back(b, b + std::max<size_t>(p->length, sizeof(kyrpacket)));
    }
    void OnFirmwareMode(unsigned short addr, unsigned short mode) override
    {
        events.push_back("mode " + Hex(addr) + " " + std::to_string(mode));
    }

    const kyrpacket& Rec(size_t i = 0) const { return *reinterpret_cast<const kyrpacket*>(records.at(i).data()); }
    static std::string Hex(unsigned v) { char s[8]; std::snprintf(s, sizeof s, "%04x", v); return s; }
};

inline void Feed(kyr_hid_library::CMmPkt& c, const std::vector<Report>& reports)
{
    for (const Report& r : reports)
        c.ParsePacket(r.data(), r.size());
}

} // namespace wire
