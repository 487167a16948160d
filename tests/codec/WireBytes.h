// Builds packets and reports byte by byte from the wire formats, with its own
// bit-wise CRC, and records what the codec reports, so that tests never use
// the code under test to make their inputs or expectations.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "MmPkt.h"

namespace wire {

using namespace kyr_hid_library;
using Bytes = std::vector<uint8_t>;
using Report = std::vector<uint8_t>;
using Reports = std::vector<Report>;
using Events = std::vector<std::string>;

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
inline Bytes Status(size_t n, char c = 'a', unsigned t = 0) { return Text(MM_PKT_STT, 0, std::string(n, c), 0, t); }
inline Bytes PreviewHeader(unsigned rawSize, unsigned tick = 0)
{
    return Head(0x1805, tick).u16(rawSize).u16(480).u16(17).crc();
}
inline Pkt DeviceBody(unsigned tick = 3, unsigned id = MM_PKT_DEVICE)
{
    return Head(id, tick).u8(1).u8(2).u8(3).u8(0xFF).u16(10).u16(20).f32(0.5f).f32(0.25f).u8(4).u8(0).str("abcdef");
}
inline Bytes Ramp(size_t n, uint8_t first = 1, uint8_t step = 1)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(first + i * step);
    return b;
}

inline Report RawReport(uint8_t type, uint8_t size, uint8_t fill = 0)
{
    Report r(64, fill);
    r[0] = 1;
    r[1] = type;
    r[2] = size;
    return r;
}

// 61 payload bytes a report, the last one marked.
inline Reports Cut(const Bytes& pkt, bool stream = false)
{
    Reports out;
    for (size_t off = 0; off == 0 || off < pkt.size(); off += 61) {
        const size_t n = std::min<size_t>(61, pkt.size() - off);
        out.push_back(RawReport(static_cast<uint8_t>((stream ? 0x80 : 0x00) | (off + n == pkt.size() ? 1 : 0)),
                                static_cast<uint8_t>(n)));
        std::copy_n(pkt.begin() + off, n, out.back().begin() + 3);
    }
    return out;
}

inline Reports Join(std::initializer_list<Reports> parts)
{
    Reports out;
    for (const Reports& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}
inline Reports WithoutLast(Reports r) { return r.pop_back(), r; }

// Every callback, in order, as text (a packet with its tick when not 0);
// decoded records kept whole.
class Recorder : public kyr_hid_library::CMmPkt::IMmPktNotify {
public:
    Events events;
    std::vector<Bytes> records;
    std::vector<int> syncAnswers; // ids answered true

    bool OnCheckSyncResposePacket(int id) override
    {
        events.push_back("check " + std::to_string(id));
        return std::find(syncAnswers.begin(), syncAnswers.end(), id) != syncAnswers.end();
    }
    void OnCompleteResponsePacket(int id) override { events.push_back("complete " + std::to_string(id)); }
    void OnCompleteNoneResponsePacket(unsigned short id) override { events.push_back("none " + Hex(id)); }
    void TPDP_OnPacket(kyrpacket* p, bool sync) override
    {
        events.push_back(std::string("packet ") + p->partid + (p->ticktime ? std::string(" ").append(std::to_string(p->ticktime)) : "") +
                         (sync ? " sync" : ""));
        const auto* b = reinterpret_cast<const uint8_t*>(p);
        records.emplace_back(b, b + std::max<size_t>(p->length, sizeof(kyrpacket)));
    }
    void OnFirmwareMode(unsigned short addr, unsigned short mode) override
    {
        events.push_back("mode " + Hex(addr) + " " + std::to_string(mode));
    }
    static std::string Hex(unsigned v) { char s[8]; std::snprintf(s, sizeof s, "%04x", v); return s; }
};

// A codec fed with reports, and what it delivered.
struct Decoded {
    Recorder rec;
    kyr_hid_library::CMmPkt codec{&rec};
    explicit Decoded(const Reports& reports, std::vector<int> sync = {})
    {
        rec.syncAnswers = std::move(sync);
        for (const auto& r : reports)
            codec.ParsePacket(r.data(), r.size());
    }
    size_t size() const { return rec.records.size(); }
};

// Expected bytes at an offset of a record, named for the failure message.
struct Field {
    size_t off;
    Bytes want;
    std::string name;
};
template <typename T>
Field At(size_t off, T v, std::string name)
{
    const auto* p = reinterpret_cast<const uint8_t*>(&v);
    return {off, Bytes(p, p + sizeof v), std::move(name)};
}
inline Field Str(size_t off, std::string_view s, std::string name) // with its NUL
{
    return {off, Bytes(s.data(), s.data() + s.size() + 1), std::move(name)};
}
#define KYR_FIELD(m, v) \
    wire::At<std::remove_cvref_t<decltype(std::declval<kyrpacket&>().m)>>(offsetof(kyrpacket, m), v, #m)
#define KYR_TEXT(m, s) wire::Str(offsetof(kyrpacket, m), s, #m)

using Record = std::vector<Field>;
// The fields every record has.
inline Record Rec(const char* part, short type, unsigned short length)
{
    return {KYR_TEXT(partid, part), KYR_FIELD(type, type), KYR_FIELD(length, length)};
}
inline Record With(Record r, std::initializer_list<Field> more) { return r.insert(r.end(), more), r; }

// Reports fed, and the records they must give, in order.
struct DecodeCase {
    std::string name;
    Reports feed;
    std::vector<Record> want;
};
inline void ExpectDecodes(const std::vector<DecodeCase>& cases)
{
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Decoded d(c.feed);
        ASSERT_EQ(d.size(), c.want.size());
        for (size_t i = 0; i < c.want.size(); ++i)
            for (const Field& f : c.want[i]) {
                const Bytes& got = d.rec.records[i];
                ASSERT_LE(f.off + f.want.size(), got.size()) << f.name;
                EXPECT_TRUE(std::equal(f.want.begin(), f.want.end(), got.begin() + f.off)) << i << ": " << f.name;
            }
    }
}

} // namespace wire
