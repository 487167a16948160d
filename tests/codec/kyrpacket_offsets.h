/* The size of kyrpacket and offsets of its fields, for C and C++ alike. */
#include <stddef.h>

#include "KyrHIDLib.h"

#define KYR_PACKET_OFFSETS                                                                            \
    {                                                                                                 \
        sizeof(kyrpacket), offsetof(kyrpacket, length), offsetof(kyrpacket, body.dtc.end_pos),        \
            offsetof(kyrpacket, body.rsp.command), offsetof(kyrpacket, body.dvc.keyboard_key),        \
            offsetof(kyrpacket, body.tpt.points), offsetof(kyrpacket, body.gst.message),              \
            offsetof(kyrpacket, body.ver.time)                                                        \
    }
