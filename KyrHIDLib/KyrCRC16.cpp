#include "KyrCRC16.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace kyr_hid_library {

static_assert(std::endian::native == std::endian::little, "the eight-byte step loads little-endian words");

word Crc16Update(word r, const byte* p, std::size_t n) noexcept
{
    const auto& t = crc16_detail::kTables;
    while (n >= 8) {
        std::uint64_t v;
        std::memcpy(&v, p, 8);
        v ^= r;
        r = static_cast<word>(t[7][v & 0xFF] ^ t[6][(v >> 8) & 0xFF] ^ t[5][(v >> 16) & 0xFF] ^
                              t[4][(v >> 24) & 0xFF] ^ t[3][(v >> 32) & 0xFF] ^ t[2][(v >> 40) & 0xFF] ^
                              t[1][(v >> 48) & 0xFF] ^ t[0][v >> 56]);
        p += 8;
        n -= 8;
    }
    return Crc16UpdateBytewise(r, p, n);
}

} // namespace kyr_hid_library
