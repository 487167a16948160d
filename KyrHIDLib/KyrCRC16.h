// CRC-16/X-25 (HDLC frame check sequence): polynomial 0x1021 reflected
// (0x8408), register preset 0xFFFF, final XOR 0xFFFF.
#pragma once

#include <array>
#include <cstddef>

#include "cpu_type.h"

namespace kyr_hid_library {

namespace crc16_detail {

constexpr std::array<std::array<word, 256>, 8> MakeTables()
{
    std::array<std::array<word, 256>, 8> t{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned r = i;
        for (int bit = 0; bit < 8; ++bit)
            r = (r & 1) ? (r >> 1) ^ 0x8408 : r >> 1;
        t[0][i] = static_cast<word>(r);
    }
    // t[k][i]: byte i followed by k zero bytes, for the eight-bytes-at-once path.
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            t[k][i] = static_cast<word>((t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF]);
    return t;
}

inline constexpr auto kTables = MakeTables();

} // namespace crc16_detail

// The byte-wise table: entry i is the register after shifting i through eight
// reflected steps.
inline constexpr const std::array<word, 256>& crc_16_l_table = crc16_detail::kTables[0];

static_assert(crc_16_l_table[0x01] == 0x1189 && crc_16_l_table[0x80] == 0x8408 &&
              crc_16_l_table[0xFF] == 0x0F78);

enum : word { CRC16_INIT = 0xFFFF, CRC16_XOROUT = 0xFFFF };

// Advances the register over the bytes one at a time with crc_16_l_table.
inline word Crc16UpdateBytewise(word r, const byte* p, std::size_t n) noexcept
{
    for (std::size_t i = 0; i < n; ++i)
        r = static_cast<word>((r >> 8) ^ crc_16_l_table[(r ^ p[i]) & 0xFF]);
    return r;
}

// Same result as Crc16UpdateBytewise, eight bytes per step: the byte-wise
// chain is bound by load latency and would not reach the line rate of a
// 4 KB stream packet comfortably.
word Crc16Update(word r, const byte* p, std::size_t n) noexcept;

} // namespace kyr_hid_library
