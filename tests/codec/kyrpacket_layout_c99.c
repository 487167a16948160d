/* The public header compiled as C99: the record must have the same layout for
 * C callers as the library's C++ sees. */
#include "kyrpacket_offsets.h"

size_t kyr_c99_offsets[] = KYR_PACKET_OFFSETS;
size_t kyr_c99_offset_count = sizeof kyr_c99_offsets / sizeof kyr_c99_offsets[0];
