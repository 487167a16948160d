// C applications see the same kyrpacket as the library.
#include <gtest/gtest.h>

#include "kyrpacket_offsets.h"

extern "C" size_t kyr_c99_offsets[];
extern "C" size_t kyr_c99_offset_count;

TEST(KyrPacketLayout, SameInC99AndCxx)
{
    const size_t cxx[] = KYR_PACKET_OFFSETS;
    ASSERT_EQ(kyr_c99_offset_count, std::size(cxx));
    for (size_t i = 0; i < std::size(cxx); ++i)
        EXPECT_EQ(kyr_c99_offsets[i], cxx[i]) << i;
    EXPECT_EQ(cxx[0], 457u);
}
