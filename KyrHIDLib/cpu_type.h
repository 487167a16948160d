// Scalar names of the device protocol's wire formats.
#pragma once

#include <cstdint>

namespace kyr_hid_library {

typedef std::uint8_t byte;
typedef std::uint16_t word;
typedef std::int16_t int16;

static_assert(sizeof(byte) == 1 && sizeof(word) == 2 && sizeof(int16) == 2);
static_assert(sizeof(float) == 4, "floats travel as IEEE 754 singles");

} // namespace kyr_hid_library
