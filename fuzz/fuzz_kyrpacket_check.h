// What every decoded record handed to an application must satisfy: a known
// type, a length that fits the record's body and the codec's work buffer,
// and text fields terminated within their size.
#pragma once

#include <cstdint>
#include <cstring>

#include "MmPkt.h"
#include "fuzz_check.h"

namespace kyr_fuzz {

inline bool NulWithin(const char* s, int n)
{
    return std::memchr(s, 0, n) != nullptr;
}

// Returns a sum over every byte the record claims, so that the sanitizer
// sees any length that runs past the buffer behind it.
inline std::uint64_t CheckKyrPacket(const kyrpacket* p)
{
    using kyr_hid_library::CMmPkt;
    FUZZ_CHECK(p != nullptr);
    FUZZ_CHECK(p->type >= kyrtype_msg && p->type <= kyrtype_ver);
    FUZZ_CHECK(p->length >= 14 && p->length <= CMmPkt::WORK_BUFFER_SIZE);
    FUZZ_CHECK(NulWithin(p->partid, 8));
    switch (p->type) {
    case kyrtype_msg: FUZZ_CHECK(p->length == 268 && NulWithin(p->body.msg.message, 254)); break;
    case kyrtype_obj: FUZZ_CHECK(p->length == 104); break;
    case kyrtype_obc: FUZZ_CHECK(p->length == 24); break;
    case kyrtype_dtc: FUZZ_CHECK(p->length == 176); break;
    case kyrtype_ird:
    case kyrtype_itd: FUZZ_CHECK(p->body.ixd.count >= 0 && p->length == 20 + p->body.ixd.count); break;
    case kyrtype_prv: FUZZ_CHECK(p->body.prv.width >= 0 && p->length == 20 + p->body.prv.width); break;
    case kyrtype_cmd: FUZZ_CHECK(p->length == 456 && NulWithin(p->body.cmd.command, 440)); break;
    case kyrtype_rsp:
    case kyrtype_rse: FUZZ_CHECK(p->length == 457 && NulWithin(p->body.rsp.command, 440)); break;
    case kyrtype_stt: FUZZ_CHECK(p->length == 454 && NulWithin(p->body.stt.status, 440)); break;
    case kyrtype_dvc: FUZZ_CHECK(p->length == 38); break;
    case kyrtype_tpt:
        FUZZ_CHECK(p->body.tpt.touch_count >= 0 && p->length == 18 + 10 * p->body.tpt.touch_count);
        break;
    case kyrtype_gst: FUZZ_CHECK(p->length == 272 && NulWithin(p->body.gst.message, 242)); break;
    case kyrtype_ver: FUZZ_CHECK(p->length == 41); break;
    }
    std::uint64_t nSum = 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    for (int i = 0; i < p->length; ++i)
        nSum += b[i];
    return nSum;
}

} // namespace kyr_fuzz
