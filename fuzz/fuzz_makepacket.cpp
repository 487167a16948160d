// Arbitrary command texts through MakePacket, the report cutting and back
// through a receiving codec. Input: [command id][text bytes...].
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "MmPkt.h"
#include "fuzz_check.h"

using namespace kyr_hid_library;

namespace {

class EchoNotify : public CMmPkt::IMmPktNotify {
public:
    int m_nRecords = 0;
    int m_nOthers = 0; // calls a command echo never leads to
    kyrpacket m_Last{};

    bool OnCheckSyncResposePacket(int) override { return false; }
    void OnCompleteResponsePacket(int) override { FUZZ_CHECK(false); }
    void OnCompleteNoneResponsePacket(unsigned short) override { ++m_nOthers; }
    void TPDP_OnPacket(kyrpacket* p, bool bSync) override
    {
        FUZZ_CHECK(!bSync);
        ++m_nRecords;
        m_Last = *p;
    }
    void OnFirmwareMode(unsigned short, unsigned short) override { ++m_nOthers; }
};

// A packet of its own within the last 511 bytes of a longer one, starting at
// a report boundary: what the receiving side may take from the reports of a
// packet too long for it.
bool HoldsAPacketAtAReportBoundary(const byte* p, int nLength)
{
    for (int nStart = HID_REPORT_PAYLOAD; nStart < nLength; nStart += HID_REPORT_PAYLOAD) {
        const int nTail = nLength - nStart;
        if (nTail > PKT_SINGLE_MAX || nTail < 2 + PKT_CRC_SIZE)
            continue;
        if ((p[nStart] | p[nStart + 1] << 8) == MM_PKT_DEVICE ||
            CMmPkt::CheckCRC(p + nStart, static_cast<unsigned short>(nTail)) == PKT_CRC_RESIDUE)
            return true;
    }
    return false;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0 || size - 1 > 0xFFFF)
        return 0;
    const int nCmdId = data[0];
    const char* szText = reinterpret_cast<const char*>(data + 1);
    const unsigned short wLen = static_cast<unsigned short>(size - 1);

    CMmPkt sender(nullptr);
    int nLength = -1;
    const pkt_type* pkt = sender.MakePacket(szText, wLen, nCmdId, nLength);
    if (wLen > CMmPkt::MAX_COMMAND_TEXT) {
        FUZZ_CHECK(pkt == nullptr && nLength == 0);
        return 0;
    }
    FUZZ_CHECK(pkt != nullptr && nLength == wLen + 11);
    const byte* b = reinterpret_cast<const byte*>(pkt);
    FUZZ_CHECK(b[0] == 0x07 && b[1] == 0x10 && b[2] == 0 && b[3] == 0 && b[4] == 0);
    FUZZ_CHECK(b[5] == nCmdId && (b[6] | b[7] << 8) == wLen);
    FUZZ_CHECK(std::memcmp(b + 8, szText, wLen) == 0 && b[8 + wLen] == 0);
    FUZZ_CHECK(CMmPkt::CheckCRC(b, static_cast<unsigned short>(nLength)) == PKT_CRC_RESIDUE);

    EchoNotify notify;
    CMmPkt receiver(&notify);
    const int nReports = CMmPkt::GetReportCount(nLength);
    FUZZ_CHECK(nReports == (nLength + HID_REPORT_PAYLOAD - 1) / HID_REPORT_PAYLOAD);
    int nCarried = 0;
    for (int i = 0; i < nReports; ++i) {
        hid_pkt_type report;
        FUZZ_CHECK(CMmPkt::MakeReport(pkt, nLength, i, &report));
        FUZZ_CHECK(report.id == HID_REPORT_ID && report.size >= 1 && report.size <= HID_REPORT_PAYLOAD);
        FUZZ_CHECK(report.type == (i == nReports - 1 ? HID_PKT_SINGLE_LAST : HID_PKT_SINGLE_MORE));
        nCarried += report.size;
        receiver.ParsePacket(reinterpret_cast<const unsigned char*>(&report), sizeof report);
    }
    FUZZ_CHECK(nCarried == nLength);
    hid_pkt_type spare;
    FUZZ_CHECK(!CMmPkt::MakeReport(pkt, nLength, nReports, &spare));

    // The single series carries at most 511 bytes; longer commands are only
    // ever sent, never received back whole.
    if (nLength > PKT_SINGLE_MAX) {
        FUZZ_CHECK((notify.m_nRecords == 0 && notify.m_nOthers == 0) || HoldsAPacketAtAReportBoundary(b, nLength));
        return 0;
    }
    FUZZ_CHECK(notify.m_nRecords == 1 && notify.m_nOthers == 0);
    const kyrpacket& r = notify.m_Last;
    FUZZ_CHECK(r.type == kyrtype_cmd && r.body.cmd.id == nCmdId && r.length == 456);
    const int nShown = wLen < 439 ? wLen : 439;
    FUZZ_CHECK(std::memcmp(r.body.cmd.command, szText, nShown) == 0 && r.body.cmd.command[nShown] == 0);
    return 0;
}
