// The packet CRC is CRC-16/X-25: check values, residue, and the fast path
// agreeing with the byte-wise table and the definition on arbitrary input. Outgoing command
// packets, byte for byte, and their cutting into 64-byte reports.
#include <random>

#include "KyrCRC16.h"
#include "WireBytes.h"

using namespace kyr_hid_library;

TEST(Crc16, CheckValuesAndResidueThroughTheExportsToo)
{
    const std::pair<std::string, wire::Bytes> cases[] = {
        {"123456789", {0x6E, 0x90}}, {"abc", {0x25, 0x9E}}, {"", {0, 0}}};
    for (const auto& [text, crc] : cases) {
        wire::Bytes lib(text.begin(), text.end()), want = lib;
        lib.resize(text.size() + 2, 0xAA);
        want.insert(want.end(), crc.begin(), crc.end());
        wire::Bytes api = lib;
        const auto n = static_cast<unsigned short>(text.size());
        g_nLastError = KYR_ERROR_TIMEOUT;
        EXPECT_EQ(CMmPkt::CalcCRC(lib.data(), n), n + 2);
        EXPECT_EQ(KyrCalculateCRC(api.data(), n), n + 2);
        EXPECT_EQ(lib, want) << text;
        EXPECT_EQ(api, want) << text;
        EXPECT_EQ(CMmPkt::CheckCRC(lib.data(), n + 2), 0xF0B8) << text;
        EXPECT_EQ(KyrCheckCRC(api.data(), n + 2), 0xF0B8) << text;
        EXPECT_EQ(g_nLastError, KYR_ERROR_TIMEOUT) << "the exports leave the last error alone";
    }
    byte none = 0xAA;
    EXPECT_EQ(CMmPkt::CheckCRC(&none, 0), 0xFFFF);
}

// Against the bit-wise definition over 4096 random bytes, every table entry
// is used many times over.
TEST(Crc16, FastPathEqualsTableOnArbitraryInput)
{
    std::mt19937 rng(20240601);
    std::vector<uint8_t> buf(4200);
    for (auto& b : buf)
        b = static_cast<uint8_t>(rng());
    for (int trial = 0; trial < 2000; ++trial) {
        const size_t off = rng() % 16, len = rng() % (buf.size() - 16);
        const word seed = static_cast<word>(rng());
        ASSERT_EQ(Crc16Update(seed, buf.data() + off, len), Crc16UpdateBytewise(seed, buf.data() + off, len))
            << off << "+" << len;
    }
    EXPECT_EQ(CMmPkt::CheckCRC(buf.data(), 4096) ^ 0xFFFF, wire::Crc16(buf.data(), 4096));
}

TEST(MakePacket, GoldenCommandAndLimits)
{
    CMmPkt c(nullptr);
    auto built = [&](const std::string& text, int id, int& n) {
        const auto* p = reinterpret_cast<const uint8_t*>(
            c.MakePacket(text.data(), static_cast<unsigned short>(text.size()), id, n));
        return p ? wire::Bytes(p, p + n) : wire::Bytes{};
    };
    const wire::Bytes golden =
        wire::Pkt{{0x07, 0x10, 0x00, 0x00, 0x00, 0x05, 0x04, 0x00, 't', 'e', 's', 't', 0x00}}.crc();
    int n = 0;
    EXPECT_EQ(built("test", 5, n), golden);
    EXPECT_EQ(n, 15);
    EXPECT_EQ(built("test", 0x105, n), golden) << "only the low 8 bits of the id travel";

    const wire::Bytes full = built(std::string(1013, 'x'), 1, n);
    ASSERT_EQ(n, 1024);
    EXPECT_EQ(full[1021], 0);
    EXPECT_EQ(full[6] | full[7] << 8, 1013);
    EXPECT_EQ(wire::Crc16(full.data(), 1022), full[1022] | full[1023] << 8);
    n = -1;
    EXPECT_TRUE(built(std::string(1014, 'y'), 1, n).empty());
    EXPECT_EQ(n, 0);
    EXPECT_EQ(c.MakePacket(nullptr, 0, 1, n), nullptr);
}

TEST(MakeReport, ReportsCarryThePacketInOrder)
{
    for (int len : {1, 61, 62, 122, 511}) {
        SCOPED_TRACE(len);
        const wire::Bytes pkt = wire::Ramp(len, 1, 7);
        const int count = (len - 1) / 61 + 1;
        ASSERT_EQ(CMmPkt::GetReportCount(len), count);
        for (int i = 0; i < count; ++i) {
            hid_pkt_type r;
            ASSERT_TRUE(CMmPkt::MakeReport(pkt.data(), len, i, &r));
            const auto* b = reinterpret_cast<const uint8_t*>(&r);
            const int size = i < count - 1 ? 61 : len - 61 * (count - 1);
            EXPECT_EQ(b[0], 1);
            EXPECT_EQ(b[1], i < count - 1 ? 0x00 : 0x01);
            EXPECT_EQ(b[2], size);
            EXPECT_TRUE(std::equal(b + 3, b + 3 + size, pkt.begin() + 61 * i));
            EXPECT_TRUE(std::all_of(b + 3 + size, b + 64, [](uint8_t v) { return v == 0; }));
        }
        hid_pkt_type r;
        EXPECT_FALSE(CMmPkt::MakeReport(pkt.data(), len, count, &r));
    }
}
