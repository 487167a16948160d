// Outgoing command packets and their cutting into 64-byte reports.
#include <gtest/gtest.h>

#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;

namespace {

wire::Bytes Built(CMmPkt& c, const std::string& text, int id, int* len = nullptr)
{
    int n = -1;
    const pkt_type* p = c.MakePacket(text.data(), static_cast<unsigned short>(text.size()), id, n);
    if (len)
        *len = n;
    if (!p)
        return {};
    const auto* b = reinterpret_cast<const uint8_t*>(p);
    return wire::Bytes(b, b + n);
}

} // namespace

TEST(MakePacket, GoldenTestCommand)
{
    CMmPkt c(nullptr);
    wire::Bytes expect = {0x07, 0x10, 0x00, 0x00, 0x00, 0x05, 0x04, 0x00, 't', 'e', 's', 't', 0x00};
    const uint16_t crc = wire::Crc16(expect.data(), expect.size());
    expect.push_back(crc & 0xFF);
    expect.push_back(crc >> 8);
    int n = 0;
    EXPECT_EQ(Built(c, "test", 5, &n), expect);
    EXPECT_EQ(n, 15);
    // Only the low 8 bits of the id travel.
    EXPECT_EQ(Built(c, "test", 0x105, &n), expect);
}

TEST(MakePacket, LongestTextFillsTheBufferAndLongerIsRefused)
{
    CMmPkt c(nullptr);
    int n = 0;
    const wire::Bytes full = Built(c, std::string(1013, 'x'), 1, &n);
    ASSERT_EQ(n, 1024);
    EXPECT_EQ(full[1021], 0);
    EXPECT_EQ(full[6] | full[7] << 8, 1013);
    EXPECT_EQ(wire::Crc16(full.data(), 1022), full[1022] | full[1023] << 8);

    const std::string tooLong(1014, 'y');
    int m = -1;
    EXPECT_EQ(c.MakePacket(tooLong.data(), 1014, 1, m), nullptr);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(c.MakePacket(nullptr, 0, 1, m), nullptr);
}

class ReportCutting : public testing::TestWithParam<int> {};

TEST_P(ReportCutting, ReportsCarryThePacketInOrder)
{
    const int len = GetParam();
    wire::Bytes pkt(len);
    for (int i = 0; i < len; ++i)
        pkt[i] = static_cast<uint8_t>(i * 7 + 1);
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

INSTANTIATE_TEST_SUITE_P(Lengths, ReportCutting, testing::Values(1, 61, 62, 122, 511));
