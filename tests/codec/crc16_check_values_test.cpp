// The packet CRC is CRC-16/X-25: check values, residue, and the fast path
// agreeing with the byte-wise table on arbitrary input.
#include <gtest/gtest.h>

#include <random>

#include "KyrCRC16.h"
#include "MmPkt.h"
#include "WireBytes.h"

using namespace kyr_hid_library;

TEST(Crc16, CheckValueAndResidue)
{
    byte buf[11] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CMmPkt::CalcCRC(buf, 9), 11);
    EXPECT_EQ(buf[9], 0x6E);
    EXPECT_EQ(buf[10], 0x90);
    EXPECT_EQ(CMmPkt::CheckCRC(buf, 11), 0xF0B8);

    byte abc[5] = {'a', 'b', 'c'};
    EXPECT_EQ(CMmPkt::CalcCRC(abc, 3), 5);
    EXPECT_EQ(abc[3], 0x25);
    EXPECT_EQ(abc[4], 0x9E);
}

TEST(Crc16, EmptyInput)
{
    byte buf[2] = {0xAA, 0xBB};
    EXPECT_EQ(CMmPkt::CheckCRC(buf, 0), 0xFFFF);
    EXPECT_EQ(CMmPkt::CalcCRC(buf, 0), 2);
    EXPECT_EQ(buf[0], 0);
    EXPECT_EQ(buf[1], 0);
}

TEST(Crc16, AnyFlippedBitBreaksTheResidue)
{
    wire::Bytes pkt = wire::Text(MM_PKT_RSP, 9, "a response of some length");
    for (size_t bit = 0; bit < pkt.size() * 8; ++bit) {
        pkt[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
        EXPECT_NE(CMmPkt::CheckCRC(pkt.data(), static_cast<unsigned short>(pkt.size())), 0xF0B8) << bit;
        pkt[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    }
}

TEST(Crc16, TableIsTheReflectedPolynomial)
{
    for (unsigned i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        // One byte through the definition, from a zero register and without the XOR.
        uint16_t r = b;
        for (int k = 0; k < 8; ++k)
            r = (r & 1) ? static_cast<uint16_t>((r >> 1) ^ 0x8408) : static_cast<uint16_t>(r >> 1);
        EXPECT_EQ(crc_16_l_table[i], r) << i;
    }
}

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

TEST(Crc16, ExportsLeaveTheLastErrorAlone)
{
    unsigned char abc[5] = {'a', 'b', 'c'};
    g_nLastError = KYR_ERROR_TIMEOUT;
    EXPECT_EQ(KyrCalculateCRC(abc, 3), 5);
    EXPECT_EQ(KyrCheckCRC(abc, 5), 61624);
    EXPECT_EQ(g_nLastError, KYR_ERROR_TIMEOUT);
    EXPECT_EQ(abc[3], 0x25);
    EXPECT_EQ(abc[4], 0x9E);
}
