/* The public header compiled as C99: the record must have the same layout for
 * C callers as the library's C++ sees. */
#include <stddef.h>

#include "KyrHIDLib.h"

size_t kyr_c99_offsets[] = {
    sizeof(kyrpacket),
    offsetof(kyrpacket, length),
    offsetof(kyrpacket, body.dtc.end_pos),
    offsetof(kyrpacket, body.rsp.command),
    offsetof(kyrpacket, body.dvc.keyboard_key),
    offsetof(kyrpacket, body.tpt.points),
    offsetof(kyrpacket, body.gst.message),
    offsetof(kyrpacket, body.ver.time),
};
size_t kyr_c99_offset_count = sizeof kyr_c99_offsets / sizeof kyr_c99_offsets[0];
