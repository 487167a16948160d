// Joining reports into packets on both series: the order of the owner's
// callbacks, the limits of each series, the raw phase of raw-format packets,
// and resynchronisation. Reports that belong to no whole packet (stray
// reports, the rest of a truncated packet, a packet with a broken CRC) cost
// only themselves: every packet that arrives whole behind them is still
// decoded, and the bad bytes are dropped without a callback.
#include <random>
#include <set>

#include "WireBytes.h"

using namespace wire;

namespace {

constexpr uint8_t kFill = 0x5A; // no packet id starts with it
enum Recover { kNone = 0, kSingle = 1, kStream = 2, kBoth = 3 };

Reports Stray(uint8_t type, uint8_t size) { return {RawReport(type, size, kFill)}; }
Reports Raw(size_t n, uint8_t first) { return Cut(Ramp(n, first), true); }
Bytes Spoilt(Bytes b) { b.back() ^= 0x01; return b; }

struct Case {
    std::string name;
    Reports feed;
    Events want;
    std::vector<int> sync = {};
    int recover = kNone; // a small status packet on these series behind the feed comes out
    Bytes lastRaw = {};  // raw bytes the last record carries
};

std::vector<Case> Cases()
{
    const Bytes ok = Text(MM_PKT_RSP, 9, "OK"), longAnswer = Spoilt(Text(MM_PKT_RSP, 9, std::string(150, 'r')));
    const Reports s80 = Cut(Status(80)), t80 = Cut(Status(80), true);
    Report shortR(s80[1].begin(), s80[1].end() - 1), longR = s80[1];
    longR.push_back(0);
    const Reports image = Cut(Head(0x2801).u16(150).u16(480).u16(0).u16(1).f32(0).f32(1).u16(5).u16(6).crc(), true);
    const Reports imageRaw = Cut(Bytes(150, 9), true);
    Report lookalike = RawReport(0x00, 61, kFill);
    lookalike[3] = MM_PKT_DEVICE & 0xFF;
    lookalike[4] = MM_PKT_DEVICE >> 8;
    // Bytes that bring the CRC register back to its initial value pass the
    // check together with any intact packet behind them; only a stray report
    // that falls short of a full one can be told apart.
    Report neutralR = RawReport(0x00, 26, kFill);
    for (unsigned tail = 0; Crc16(&neutralR[3], 26) != 0; ++tail) {
        neutralR[27] = static_cast<uint8_t>(tail);
        neutralR[28] = static_cast<uint8_t>(tail >> 8);
    }
    Report neutralS = neutralR;
    neutralS[1] = 0x80;

    std::vector<Case> c = {
        // Single-series packets: the synchronous-answer question, the record, the completion.
        {"awaited response", Cut(Text(MM_PKT_RSP, 42, "OK")), {"check 42", "packet RSP sync", "complete 42"}, {42}},
        {"unawaited response", Cut(Text(MM_PKT_RSP, 42, "OK")), {"check 42", "packet RSP"}},
        {"awaited command", Cut(Text(MM_PKT_CMD, 5, "x")), {"check 5", "packet CMD sync", "complete 5"}, {5}},
        {"awaited continued", Cut(Text(MM_PKT_RSC, 6, "x")), {"check 6", "packet RSC sync", "complete 6"}, {6}},
        {"error response", Cut(Text(0x200A, 7, "x")), {"check 7", "packet RSE1"}},
        {"response of another body type", Cut(Text(MM_PKT_RSP, 8, "x", 0x50)), {"check 8", "complete 8"}, {8}},
        {"status", Cut(Text(MM_PKT_STT, 0, "s")), {"packet STT", "none 100c"}},
        {"firmware mode", Cut(wire::Head(0x2104, 2).crc()), {"mode 2000 2", "none 2104"}},
        {"kind without a record", Cut(wire::Head(0x1004).u16(0).u16(0).crc()), {"none 1004"}},
        {"command packet without its header", Cut(wire::Head(MM_PKT_RSP).crc()), {}, {0}},
        {"command packet with half its header", Cut(wire::Head(MM_PKT_RSP).u8(0).u8(0).crc()), {}, {0}},
        {"stream packets never ask or complete",
         Join({Cut(Text(MM_PKT_RSP, 42, "OK"), true), Cut(wire::Head(0x2104, 2).crc(), true)}),
         {"packet RSP", "mode 2000 2"}, {42}},
        // Limits and malformed reports.
        {"single series holds 511 bytes", Cut(Status(501)), {"packet STT", "none 100c"}},
        {"single series drops 512 bytes", Cut(Status(502)), {}, {}, kSingle},
        {"stream series holds 4096 bytes", Cut(Status(4086), true), {"packet STT"}},
        {"stream series drops 4097 bytes", Cut(Status(4087), true), {}, {}, kStream},
        {"overlong packets", Join({Cut(Status(590)), Cut(Status(4200), true)}), {}, {}, kBoth},
        {"bad CRC", Join({Cut(Spoilt(ok)), Cut(Spoilt(ok), true)}), {}, {9}, kBoth},
        {"bad CRCs around stray reports",
         Join({Cut(longAnswer), Stray(0x00, 30), Cut(longAnswer), Cut(longAnswer, true), Stray(0x80, 30),
               Cut(longAnswer, true), Cut(Spoilt(PreviewHeader(100)), true), Raw(100, 1)}),
         {}, {9}, kBoth},
        {"device report of the main module skips the CRC", Cut(DeviceBody(3).u16(0xADDE).b),
         {"packet DVC 3", "none 1302"}},
        {"device report of another module is checked",
         Join({Cut(DeviceBody(3, 0x2302).u16(0xADDE).b), Cut(DeviceBody(3, 0x2302).crc())}),
         {"packet DVC 3", "none 2302"}},
        {"reports of another length change nothing", {s80[0], shortR, longR, s80[1]}, {"packet STT", "none 100c"}},
        {"unknown report type empties both series",
         {s80[0], t80[0], RawReport(0x02, 10), s80[1], t80[1]}, {}, {}, kBoth},
        // Raw phase.
        {"raw part of 99 bytes for 100", Join({Cut(PreviewHeader(100), true), Cut(Bytes(99, 7), true)}), {}, {},
         kStream},
        {"raw part of 101 bytes for 100", Join({Cut(PreviewHeader(100), true), Cut(Bytes(101, 7), true)}), {}, {},
         kStream},
        {"raw phase delivers the announced bytes", Join({Cut(PreviewHeader(100), true), Raw(100, 1)}),
         {"packet PRV"}, {}, kNone, Ramp(100, 1)},
        {"raw header announcing no bytes", Cut(PreviewHeader(0), true), {}, {}, kStream},
        // The unknown report empties the stream; 61 + 49 bytes then equal
        // header (10) plus announced raw bytes (100), but the header is gone.
        {"raw phase that lost its header",
         Join({Cut(PreviewHeader(100), true), {RawReport(0x02, 0)}, Cut(Bytes(110, 0x55), true)}), {}, {}, kStream},
        // A 24-byte header announcing 65522 raw bytes; a 10-byte last report
        // after the stream was emptied gives 10 - 24, which is 65522 in 16 bits.
        {"raw phase never matches a wrapped count",
         Join({Cut(wire::Head(0x2801).u16(65522).u16(0).u16(0).u16(1).f32(0).f32(0).u16(1).u16(2).crc(), true),
               {RawReport(0x42, 0), RawReport(0x81, 10, 0x33)}}),
         {}, {}, kStream},
        {"overflow in the raw phase", Join({Cut(PreviewHeader(4000), true), Cut(Bytes(4200, 1), true)}), {}, {},
         kStream},
        // Resynchronisation.
        {"stray report before a device report", Join({Stray(0x00, 40), Cut(DeviceBody(77).u16(0xADDE).b)}),
         {"packet DVC 77", "none 1302"}},
        // The device report goes unchecked only as a report of its own: taken
        // from the middle of a broken run, it would swallow the intact packet.
        {"lookalike of a device report in a run", Join({Stray(0x00, 61), {lookalike}, Cut(Status(100))}),
         {"packet STT", "none 100c"}},
        {"lookalike of a device report in a run too long for any packet",
         Join({Stray(0x00, 61), {lookalike}, Reports(7, RawReport(0x00, 61, kFill)), Stray(0x01, 10)}), {}, {},
         kSingle},
        {"stray stream reports",
         Join({Cut(Status(3, 'x', 1), true), Stray(0x80, 40), Cut(Status(90, 'y', 2), true), Stray(0x80, 61),
               Stray(0x80, 7), Cut(PreviewHeader(100, 3), true), Raw(100, 1), Stray(0x81, 20),
               Cut(Status(5, 'z', 4), true)}),
         {"packet STT 1", "packet STT 2", "packet PRV 3", "packet STT 4"}},
        {"truncated packet", Join({WithoutLast(Cut(Status(150, 'a', 1))), Cut(Status(100, 'b', 2))}),
         {"packet STT 2", "none 100c"}},
        {"truncated stream packet",
         Join({WithoutLast(Cut(Status(150, 'a', 1), true)), Cut(Status(100, 'b', 2), true)}), {"packet STT 2"}},
        // Seven reports of the first and eight of the second exceed 511 bytes
        // long before the second is complete.
        {"truncated long packet before a long packet",
         Join({WithoutLast(Cut(Status(440, 'a', 1))), Cut(Status(440, 'b', 2))}), {"packet STT 2", "none 100c"}},
        {"stray reports before the longest packet", Join({Stray(0x00, 61), Stray(0x00, 61), Cut(Status(501))}),
         {"packet STT", "none 100c"}},
        {"stray report before the longest stream packet", Join({Stray(0x80, 61), Cut(Status(4086), true)}),
         {"packet STT"}},
        // The raw phase of the first one takes the header of the second.
        {"raw packet that lost its last report",
         Join({Cut(PreviewHeader(100, 1), true), WithoutLast(Raw(100, 1)), Cut(PreviewHeader(100, 2), true),
               Raw(100, 7)}),
         {"packet PRV 2"}, {}, kNone, Ramp(100, 7)},
        {"raw part of one report lost whole",
         Join({Cut(PreviewHeader(50, 3), true), Cut(Status(70, 'c'), true)}), {"packet STT"}, {}, kStream},
        // 61 raw bytes of 120, a stray stream report of 47 and the 12-byte
        // header of the next packet add up to the 120 announced: no raw part a
        // device cuts, since a report before its last falls short.
        {"raw packet that lost its tail",
         Join({Cut(PreviewHeader(120, 1), true), WithoutLast(Raw(120, 1)), Stray(0x80, 47),
               Cut(PreviewHeader(64, 2), true), Raw(64, 9)}),
         {"packet PRV 2"}, {}, kNone, Ramp(64, 9)},
        {"stray report that leaves the CRC as it found it", Join({{neutralR}, Cut(Status(20, 's', 5))}),
         {"packet STT 5", "none 100c"}},
        {"stray stream report that leaves the CRC as it found it", Join({{neutralS}, Cut(Status(20, 's', 5), true)}),
         {"packet STT 5"}},
    };
    // A single-series answer between the reports of a streamed image leaves both intact.
    c.push_back({"single packet between stream reports",
                 Join({image, {imageRaw[0]}, Cut(Text(MM_PKT_RSP, 3, "between")), {imageRaw[1], imageRaw[2]}}),
                 {"check 3", "packet RSP sync", "complete 3", "packet IRD1", "packet OBC1", "packet DTC1"}, {3}});
    // A size byte beyond 61 drops the report and its packet.
    for (const Reports* r : {&s80, &t80}) {
        Reports feed = {(*r)[0]};
        for (uint8_t size : {62, 200, 255}) {
            feed.push_back((*r)[1]);
            feed.back()[2] = size;
        }
        feed.push_back((*r)[1]);
        c.push_back({"size byte beyond 61", feed, {}, {}, r == &s80 ? kSingle : kStream});
    }
    for (int nStray : {1, 3})
        for (uint8_t size : {1, 30, 61})
            c.push_back({"stray reports before an answer " + std::to_string(nStray) + " x " + std::to_string(size),
                         Join({Reports(nStray, RawReport(0x00, size, kFill)), Cut(Text(MM_PKT_RSP, 42, "OK"))}),
                         {"check 42", "packet RSP sync", "complete 42"}, {42}});
    return c;
}

} // namespace

TEST(Reassembly, CallbacksFollowFromTheReportsFed)
{
    for (Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        for (bool stream : {false, true})
            if (c.recover & (stream ? kStream : kSingle)) {
                const Reports again = Cut(Text(MM_PKT_STT, 0, "again"), stream);
                c.feed.insert(c.feed.end(), again.begin(), again.end());
                c.want.push_back("packet STT");
                if (!stream)
                    c.want.push_back("none 100c");
            }
        const Decoded d(c.feed, c.sync);
        EXPECT_EQ(d.rec.events, c.want);
        EXPECT_TRUE(c.lastRaw.empty() || (d.size() != 0 && std::equal(c.lastRaw.begin(), c.lastRaw.end(),
                                                                       d.rec.records.back().begin() + 20)));
    }
}

// A storm of the faults a device under interference shows, on both series
// at once: every packet that arrives whole comes out exactly once, and
// nothing else. From a fixed seed, so that the outcome is the same every
// run: a 16-bit CRC cannot tell every broken run from a packet. The rest of a
// truncated packet that happens to leave the CRC register as it found it
// passes together with the packet behind it (one seed in a few hundred has
// such a run); the junk reports are kept clear of that.
TEST(ResyncStorm, EveryWholePacketIsDecodedAndNothingElse)
{
    std::mt19937 random(7);
    auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(random) < p; };
    auto below = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    // Text that differs from packet to packet.
    auto text = [](size_t n, unsigned tick) {
        std::string s(n, ' ');
        for (size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>('a' + (tick + i * 7) % 26);
        return Text(MM_PKT_STT, 0, s, 0, tick);
    };

    Recorder rec;
    kyr_hid_library::CMmPkt codec(&rec);
    std::multiset<unsigned> whole; // ticks of the packets that arrive whole
    constexpr unsigned kPackets = 6000;
    for (unsigned tick = 0; tick < kPackets; ++tick) {
        // Single series: status texts of one to nine reports and device
        // reports; stream series: longer texts and raw-format previews.
        const unsigned kind = below(4);
        const bool stream = kind >= 2, device = kind == 1, raw = kind == 3;
        Bytes packet = device ? DeviceBody(tick).crc()
                     : raw    ? PreviewHeader(1 + below(300), tick)
                              : text(below(stream ? 1200 : 490), tick);
        bool spoilt = false;
        if (chance(0.10)) {
            packet[packet.size() - 2] ^= 0xFF;
            spoilt = !device; // nobody checks the device report's last bytes
        }
        Reports reports = Cut(packet, stream);
        if (raw) {
            const auto body = Raw(packet[4] | packet[5] << 8, static_cast<uint8_t>(tick));
            reports.insert(reports.end(), body.begin(), body.end());
        }
        // A raw part is accepted on its byte count alone, so a raw packet
        // missing its tail could take a later report of the right size for
        // it; raw packets lose no report here, to keep the outcome exact.
        if (!raw && reports.size() >= 2 && chance(0.10)) {
            reports.pop_back();
            spoilt = true;
        }
        if (chance(0.05)) {
            reports.front()[2] = 62;
            spoilt = true;
        }
        if (chance(0.20)) {
            // A random report that is no packet: no intact CRC at its end,
            // no device report's id at its start, and no bytes that leave
            // the CRC register as they found it, which would let the packet
            // behind pass with them in front.
            Report junk(64);
            for (auto& b : junk)
                b = static_cast<uint8_t>(random());
            junk[0] = 1;
            junk[1] = static_cast<uint8_t>(below(2) * 0x80 + below(2));
            junk[2] = static_cast<uint8_t>(below(62));
            if (junk[3] == (MM_PKT_DEVICE & 0xFF) && junk[4] == MM_PKT_DEVICE >> 8)
                junk[3] ^= 0xFF;
            const size_t n = junk[2];
            if (n >= 2 && Crc16(&junk[3], n - 2) == (junk[3 + n - 2] | junk[3 + n - 1] << 8))
                junk[3 + n - 1] ^= 0xFF;
            if (n >= 1 && Crc16(&junk[3], n) == 0)
                junk[3 + n - 1] ^= 0xFF;
            reports.insert(reports.begin(), junk);
        }
        for (const Report& r : reports)
            codec.ParsePacket(r.data(), r.size());
        if (!spoilt)
            whole.insert(tick);
    }

    std::multiset<unsigned> decoded;
    for (const Bytes& r : rec.records)
        decoded.insert(r[offsetof(kyrpacket, ticktime)] | r[offsetof(kyrpacket, ticktime) + 1] << 8);
    std::vector<unsigned> lost, extra;
    std::set_difference(whole.begin(), whole.end(), decoded.begin(), decoded.end(), std::back_inserter(lost));
    std::set_difference(decoded.begin(), decoded.end(), whole.begin(), whole.end(), std::back_inserter(extra));
    EXPECT_GT(whole.size(), kPackets * 3 / 4);
    EXPECT_TRUE(lost.empty()) << lost.size() << " of " << whole.size() << " whole packets lost, the first at tick "
                              << (lost.empty() ? 0 : lost.front());
    EXPECT_TRUE(extra.empty()) << extra.size() << " records of spoilt packets, the first at tick "
                               << (extra.empty() ? 0 : extra.front());
}
