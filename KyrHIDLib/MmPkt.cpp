#include "MmPkt.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "KyrCRC16.h"
#include "KyrLog.h"
#include "KyrConstStr.h"

namespace kyr_hid_library {

// Records and touch points are copied from the wire byte for byte.
static_assert(std::endian::native == std::endian::little);
static_assert(sizeof(kyrtouchpoint) == sizeof(touchpoint));

namespace {

constexpr int kRecordHeader = 14; // kyrpacket up to its body

inline word Rd16(const byte* p, int off)
{
    word v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

inline float RdF(const byte* p, int off)
{
    float v;
    std::memcpy(&v, p + off, sizeof v);
    return v;
}

inline bool IsCommandTraffic(unsigned t)
{
    return t >= PKT_CMD && t <= PKT_RSE;
}

// One packet being decoded: the received bytes and the record under construction.
class Decoding {
public:
    Decoding(const byte* p, int len, byte* work) : m_p(p), m_nLen(len), m_pWork(work) {}

    bool Has(int nBytes) const { return nBytes <= m_nLen; }
    word W(int off) const { return Rd16(m_p, off); }
    float F(int off) const { return RdF(m_p, off); }
    const byte* At(int off) const { return m_p + off; }
    // Received bytes from off on; a text that claims more is cut here.
    int Avail(int off) const { return m_nLen > off ? m_nLen - off : 0; }

    // Clears the declared record (tails are written by their cases) and fills
    // the header. partid is finished by the caller's part rule.
    kyrpacket* Begin(int nType, int nLength) const
    {
        std::memset(m_pWork, 0, sizeof(kyrpacket));
        kyrpacket* rec = reinterpret_cast<kyrpacket*>(m_pWork);
        rec->type = static_cast<short>(nType);
        rec->ticktime = W(2);
        rec->length = static_cast<unsigned short>(nLength);
        return rec;
    }
    byte* Tail() const { return m_pWork + kRecordHeader + 6; }

    // n bytes as they are.
    void CopyBytes(char* dst, int off, int n) const { std::memcpy(dst, m_p + off, std::min(n, Avail(off))); }
    // At most n bytes, stopping at the first NUL; the record is already zero behind it.
    void CopyText(char* dst, int off, int n) const
    {
        const int m = std::min(n, Avail(off));
        for (int i = 0; i < m && m_p[off + i] != 0; ++i)
            dst[i] = static_cast<char>(m_p[off + i]);
    }

private:
    const byte* m_p;
    int m_nLen;
    byte* m_pWork;
};

} // namespace

CMmPkt::CMmPkt(IMmPktNotify* pNotify)
    : m_pMmPktNotify(pNotify),
      m_nHidPktCount(0),
      m_nHidStreamPktCount(0),
      m_nHidStreamPktRawdataSize(0),
      m_nHidStreamPktRawdataIdx(0),
      m_nHidPktReports(0),
      m_nHidStreamPktReports(0),
      m_bHidStreamSkip(false),
      m_pHidRspBuf(reinterpret_cast<byte*>(&m_RspPkt))
{
}

CMmPkt::~CMmPkt() = default;

unsigned short CMmPkt::CalcCRC(byte* pkt_ptr, unsigned short pkt_len)
{
    const word crc = static_cast<word>(Crc16Update(CRC16_INIT, pkt_ptr, pkt_len) ^ CRC16_XOROUT);
    pkt_ptr[pkt_len] = static_cast<byte>(crc & 0xFF);
    pkt_ptr[pkt_len + 1] = static_cast<byte>(crc >> 8);
    return static_cast<unsigned short>(pkt_len + PKT_CRC_SIZE);
}

unsigned short CMmPkt::CheckCRC(const byte* pkt_ptr, unsigned short pkt_len)
{
    return Crc16Update(CRC16_INIT, pkt_ptr, pkt_len);
}

pkt_type* CMmPkt::MakePacket(const char* szCmd, unsigned short wLen, int nCmdId, int& nPacketLength)
{
    nPacketLength = 0;
    if (szCmd == nullptr || wLen > MAX_COMMAND_TEXT)
        return nullptr;
    byte* p = m_NewMMPkt;
    const word id = MM_PKT_CMD;
    std::memcpy(p, &id, 2);
    p[2] = p[3] = 0;
    p[4] = PKT_CMD_TYPE_STRING;
    p[5] = static_cast<byte>(nCmdId & 0xFF);
    std::memcpy(p + 6, &wLen, 2);
    std::memcpy(p + 8, szCmd, wLen);
    p[8 + wLen] = 0;
    nPacketLength = CalcCRC(p, static_cast<unsigned short>(wLen + 9));
    return reinterpret_cast<pkt_type*>(p);
}

int CMmPkt::GetReportCount(int nPacketLength)
{
    return nPacketLength > 0 ? (nPacketLength - 1) / HID_REPORT_PAYLOAD + 1 : 0;
}

bool CMmPkt::MakeReport(const void* pPacket, int nPacketLength, int nIndex, hid_pkt_type* pReport)
{
    const int nReports = GetReportCount(nPacketLength);
    if (pPacket == nullptr || pReport == nullptr || nIndex < 0 || nIndex >= nReports)
        return false;
    const bool bLast = nIndex == nReports - 1;
    const int nOffset = nIndex * HID_REPORT_PAYLOAD;
    const int nSize = bLast ? nPacketLength - nOffset : HID_REPORT_PAYLOAD;
    std::memset(pReport, 0, sizeof *pReport);
    pReport->id = HID_REPORT_ID;
    pReport->type = bLast ? HID_PKT_SINGLE_LAST : HID_PKT_SINGLE_MORE;
    pReport->size = static_cast<byte>(nSize);
    std::memcpy(pReport->data, static_cast<const byte*>(pPacket) + nOffset, nSize);
    return true;
}

// The reports one series has gathered since it last started over: their
// bytes and where the payload of each one begins.
struct CMmPkt::Run {
    byte* pBuf;
    word& nCount;
    word* pStart;
    word& nReports;
    int nMaxBytes;
    int nMaxReports;

    void Clear()
    {
        nCount = 0;
        nReports = 0;
    }

    // Moves the bytes from report nFirst on to the front and forgets the
    // reports before it.
    void DropBefore(int nFirst)
    {
        if (nFirst >= nReports) {
            Clear();
            return;
        }
        const word wFrom = pStart[nFirst];
        if (wFrom == 0 && nFirst == 0)
            return;
        std::memmove(pBuf, pBuf + wFrom, nCount - wFrom);
        nCount = static_cast<word>(nCount - wFrom);
        for (int i = nFirst; i < nReports; ++i)
            pStart[i - nFirst] = static_cast<word>(pStart[i] - wFrom);
        nReports = static_cast<word>(nReports - nFirst);
    }

    // A run that would outgrow the largest packet cannot hold one from its
    // first report on, but may still end in one: garbage or the rest of a
    // truncated packet in front of a long packet. So only the oldest reports
    // go, as many as the new one needs; what is left of a packet too long
    // for the series is then judged by the CRC like any other run.
    void Append(const byte* p, int n)
    {
        int nFirst = 0;
        while (nFirst < nReports && (nCount - pStart[nFirst] + n > nMaxBytes || nReports - nFirst >= nMaxReports))
            ++nFirst;
        DropBefore(nFirst);
        Add(p, n);
    }

    // Appends bytes that must all stay, as raw bytes behind their header do;
    // the caller has checked that they fit. Past the table only the latest
    // reports are remembered.
    void AppendAll(const byte* p, int n)
    {
        if (nReports == nMaxReports) {
            std::memmove(pStart, pStart + 1, (nReports - 1) * sizeof *pStart);
            --nReports;
        }
        Add(p, n);
    }

    // A device cuts every packet, and the raw part of a raw-format one, into
    // full reports but the last. The first report from which the run is cut
    // so: no report that falls short before the end belongs to the packet
    // that ends the run, however well the bytes happen to add up.
    int FirstCutWhole() const
    {
        int nFirst = nReports > 0 ? nReports - 1 : 0;
        while (nFirst > 0 && pStart[nFirst] - pStart[nFirst - 1] == HID_REPORT_PAYLOAD)
            --nFirst;
        return nFirst;
    }

    // The first report from which the rest of the run is a packet, or -1.
    int FindPacket(bool bSingleSeries) const
    {
        for (int i = FirstCutWhole(); i < nReports; ++i) {
            // Every packet has at least its id and a CRC (or, for the device
            // report, a body in its place).
            const int nLength = nCount - pStart[i];
            if (nLength < 2 + PKT_CRC_SIZE)
                break;
            const byte* p = pBuf + pStart[i];
            // The device report is sent without a valid CRC by the firmware,
            // always in one report of its own: only so is it taken unchecked,
            // or any report of a lost packet that happened to begin with its
            // id would pass for one.
            if (bSingleSeries && i == nReports - 1 && Rd16(p, 0) == MM_PKT_DEVICE)
                return i;
            if (CheckCRC(p, static_cast<unsigned short>(nLength)) == PKT_CRC_RESIDUE)
                return i;
        }
        return -1;
    }

private:
    void Add(const byte* p, int n)
    {
        pStart[nReports++] = nCount;
        std::memcpy(pBuf + nCount, p, n);
        nCount = static_cast<word>(nCount + n);
    }
};

CMmPkt::Run CMmPkt::SingleRun()
{
    return {m_pHidRspBuf, m_nHidPktCount, m_wHidPktStart, m_nHidPktReports, PKT_SINGLE_MAX, MAX_SINGLE_REPORTS};
}

CMmPkt::Run CMmPkt::StreamRun()
{
    return {m_StreamPkt, m_nHidStreamPktCount, m_wHidStreamPktStart, m_nHidStreamPktReports, PKT_STREAM_MAX,
            MAX_STREAM_REPORTS};
}

void CMmPkt::ParsePacket(const unsigned char* pData, unsigned long dwBytes)
{
    if (pData == nullptr || dwBytes != HID_REPORT_SIZE) {
        if (pData != nullptr)
            KYR_LOG_DROP(Truncated, "report of %lu bytes", dwBytes);
        return;
    }
    const byte type = pData[1];
    const int n = pData[2];
    const byte* payload = pData + 3;
    Run single = SingleRun();
    Run stream = StreamRun();

    switch (type) {
    case HID_PKT_SINGLE_MORE:
    case HID_PKT_SINGLE_LAST:
        // A size beyond the report is corrupt. The reports before it cannot
        // join any later ones in a packet without it, so they go too.
        if (n > HID_REPORT_PAYLOAD) {
            KYR_LOG_DROP(Oversize, "report announcing %d bytes, and the reports before it", n);
            single.Clear();
            return;
        }
        single.Append(payload, n);
        if (type == HID_PKT_SINGLE_LAST)
            CompleteSinglePacket();
        return;

    case HID_PKT_STREAM_MORE:
    case HID_PKT_STREAM_LAST:
        if (m_bHidStreamSkip) {
            if (type == HID_PKT_STREAM_LAST)
                ResetStreamSeries();
            return;
        }
        if (m_nHidStreamPktRawdataSize == 0) {
            if (n > HID_REPORT_PAYLOAD) {
                KYR_LOG_DROP(Oversize, "stream report announcing %d bytes, and the reports before it", n);
                stream.Clear();
                return;
            }
            stream.Append(payload, n);
        } else {
            // The raw bytes count only whole behind their header.
            if (n > HID_REPORT_PAYLOAD || m_nHidStreamPktCount + n > PKT_STREAM_MAX) {
                KYR_LOG_DROP(Oversize, "raw stream data beyond %d bytes", static_cast<int>(PKT_STREAM_MAX));
                stream.Clear();
                if (type == HID_PKT_STREAM_LAST)
                    ResetStreamSeries();
                else
                    m_bHidStreamSkip = true;
                return;
            }
            stream.AppendAll(payload, n);
        }
        if (type == HID_PKT_STREAM_LAST)
            CompleteStreamPacket();
        return;

    default:
        KYR_LOG_DROP(UnknownType, "report of type 0x%02x", type);
        // Both series start again with the next report. A pending raw phase
        // keeps its place in the report sequence: the next 0x81 still ends
        // it, but its header is gone, so it never delivers.
        single.Clear();
        stream.Clear();
        m_bHidStreamSkip = m_nHidStreamPktRawdataSize != 0;
        return;
    }
}

void CMmPkt::ResetStreamSeries()
{
    m_bHidStreamSkip = false;
    m_nHidStreamPktCount = 0;
    m_nHidStreamPktReports = 0;
    m_nHidStreamPktRawdataSize = 0;
    m_nHidStreamPktRawdataIdx = 0;
}

void CMmPkt::CompleteSinglePacket()
{
    Run single = SingleRun();
    const int nFirst = single.FindPacket(true);
    if (nFirst < 0) {
        KYR_LOG_DROP(BadCrc, "packet of %u bytes in %u report(s)", m_nHidPktCount, m_nHidPktReports);
        single.Clear();
        return;
    }
    if (nFirst > 0)
        KYR_LOG_DROP(Truncated, "%d report(s) of an unfinished packet", nFirst);
    single.DropBefore(nFirst);
    const word L = m_nHidPktCount;
    single.Clear();
    const byte* buf = m_pHidRspBuf;
    const word id = Rd16(buf, 0);

    // The decoder is bounded by the bytes before the CRC; the device report's
    // last two bytes are not a CRC and stay part of it.
    const word nBytes = id == MM_PKT_DEVICE ? L : static_cast<word>(L - PKT_CRC_SIZE);

    if (IsCommandTraffic(id & PKT_TYPEMASK)) {
        // The command id is asked about before decoding; a packet too short
        // to hold its command header would report a stale id.
        if (L < 8 + PKT_CRC_SIZE) {
            KYR_LOG_DROP(Truncated, "command packet 0x%04x of %u bytes", id, L);
            return;
        }
        const int c = buf[5];
        if (m_pMmPktNotify == nullptr) {
            OnPacket(&m_RspPkt, nBytes, false);
            return;
        }
        const bool bSync = m_pMmPktNotify->OnCheckSyncResposePacket(c);
        OnPacket(&m_RspPkt, nBytes, bSync);
        if (bSync && m_pMmPktNotify != nullptr)
            m_pMmPktNotify->OnCompleteResponsePacket(c);
        return;
    }
    OnPacket(&m_RspPkt, nBytes, false);
    if (m_pMmPktNotify != nullptr)
        m_pMmPktNotify->OnCompleteNoneResponsePacket(id);
}

void CMmPkt::CompleteStreamPacket()
{
    Run stream = StreamRun();

    if (m_nHidStreamPktRawdataSize != 0) {
        // Raw phase. The raw bytes carry no CRC of their own: only an exact
        // count in full reports behind an intact header is accepted. A raw
        // packet that lost its last report, with a stray report behind it,
        // can add up to the count with the next packet's header; that header
        // is no raw data, and its packet must not be lost with the broken one.
        // (A run of more reports than any raw part takes has lost its oldest
        // from the table, so its first no longer starts at the raw bytes.)
        const word L = m_nHidStreamPktCount;
        if (L >= m_nHidStreamPktRawdataIdx && L - m_nHidStreamPktRawdataIdx == m_nHidStreamPktRawdataSize &&
            m_wHidStreamPktStart[0] == m_nHidStreamPktRawdataIdx && stream.FirstCutWhole() == 0) {
            ResetStreamSeries();
            OnPacket(reinterpret_cast<const pkt_type*>(m_StreamPkt), L, false);
            return;
        }
        // The next packet may still be whole behind the raw reports.
        KYR_LOG_DROP(Truncated, "raw packet with %d of %u bytes in %u report(s)", L - m_nHidStreamPktRawdataIdx,
                     m_nHidStreamPktRawdataSize, m_nHidStreamPktReports);
        m_nHidStreamPktRawdataSize = 0;
        m_nHidStreamPktRawdataIdx = 0;
    }

    const int nFirst = stream.FindPacket(false);
    if (nFirst < 0) {
        KYR_LOG_DROP(BadCrc, "stream packet of %u bytes in %u report(s)", m_nHidStreamPktCount,
                     m_nHidStreamPktReports);
        stream.Clear();
        return;
    }
    if (nFirst > 0)
        KYR_LOG_DROP(Truncated, "%d stream report(s) of an unfinished packet", nFirst);
    stream.DropBefore(nFirst);
    const word L = m_nHidStreamPktCount;
    stream.Clear();
    TakeStreamPacket(L);
}

// A stream packet of nLength bytes that passed its CRC, at the start of the buffer.
void CMmPkt::TakeStreamPacket(word nLength)
{
    const word nHeader = static_cast<word>(nLength - PKT_CRC_SIZE);
    if (Rd16(m_StreamPkt, 0) & PKT_RAWFORMAT_FLAG) {
        // A header too short for its size word, or announcing no raw bytes,
        // could never be completed; kept, it would swallow the next packet.
        if (nHeader < 6)
            return;
        const word nRaw = Rd16(m_StreamPkt, 4);
        if (nRaw == 0)
            return;
        m_nHidStreamPktRawdataSize = nRaw;
        m_nHidStreamPktRawdataIdx = nHeader;
        m_nHidStreamPktCount = nHeader; // the raw bytes overwrite the header's CRC
        return;
    }
    OnPacket(reinterpret_cast<const pkt_type*>(m_StreamPkt), nHeader, false);
}

void CMmPkt::ModifyPartIdWithPartMask(char* szPartId, unsigned short wPart)
{
    char cUnit;
    switch (wPart) {
    case PKT_ADDR_CM1:
    case PKT_ADDR_CM1 | PKT_ADDR_CM_SUB:
        cUnit = '1';
        break;
    case PKT_ADDR_CM2:
    case PKT_ADDR_CM2 | PKT_ADDR_CM_SUB:
        cUnit = '2';
        break;
    default:
        return;
    }
    int i = 1;
    while (i <= 4 && szPartId[i] != 0)
        ++i;
    if (i > 4)
        return; // no room in the 8-byte name; tags are at most four letters
    szPartId[i++] = cUnit;
    if (wPart & PKT_ADDR_CM_SUB) {
        szPartId[i++] = '-';
        szPartId[i++] = '1';
    }
    szPartId[i] = 0;
}

namespace {

void SetPartId(kyrpacket* rec, const char* szTag, int nTagMax, word wAddr, bool bSuffix,
               void (*modify)(char*, unsigned short))
{
    char sz[8] = {};
    for (int i = 0; i < nTagMax && szTag[i] != 0; ++i)
        sz[i] = szTag[i];
    if (bSuffix)
        modify(sz, wAddr);
    for (int i = 0; i < 8 && sz[i] != 0; ++i)
        rec->partid[i] = sz[i];
}

} // namespace

// Inconsistent packets are dropped, never cut: a count that the received bytes
// do not back (image bytes, touch points, object ranges) or a packet shorter
// than its fixed fields yields no record, so every delivered record's counts
// describe exactly what it holds. Only texts are cut at the received bytes,
// because devices are free to send a text shorter than its size field.
void CMmPkt::OnPacket(const pkt_type* rx_pkt_ptr, unsigned short pkt_len, bool bSync)
{
    IMmPktNotify* notify = m_pMmPktNotify;
    if (rx_pkt_ptr == nullptr || notify == nullptr || pkt_len < 4)
        return;
    alignas(8) byte work[WORK_BUFFER_SIZE];
    const Decoding d(reinterpret_cast<const byte*>(rx_pkt_ptr), pkt_len, work);
    const word id = d.W(0);
    const word addr = id & PKT_ADDRMASK;
    const unsigned t = id & PKT_TYPEMASK;
    auto part = [&](kyrpacket* rec, const char* szTag, bool bSuffix = true) {
        SetPartId(rec, szTag, 4, addr, bSuffix, &CMmPkt::ModifyPartIdWithPartMask);
    };

    switch (t) {
    case PKT_VER: {
        if (!d.Has(4 + static_cast<int>(sizeof(pkt_ver_body))))
            return;
        kyrpacket* rec = d.Begin(kyrtype_ver, 41);
        part(rec, cstrPartVer);
        rec->body.ver.nv = d.W(4);
        rec->body.ver.minor = d.W(6);
        rec->body.ver.major = d.W(8);
        rec->body.ver.model = d.W(10);
        std::memcpy(rec->body.ver.date, d.At(12), 11);
        std::memcpy(rec->body.ver.time, d.At(23), 8);
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }
    case IAP_PKT_VER: {
        kyrpacket* rec = d.Begin(kyrtype_ver, 41);
        part(rec, cstrPartVer);
        rec->body.ver.model = d.W(2);
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }
    case IAP_PKT_MODE:
        notify->OnFirmwareMode(addr, d.W(2));
        return;

    case PKT_MSG: {
        if (!d.Has(10))
            return;
        kyrpacket* rec = d.Begin(kyrtype_msg, 268);
        SetPartId(rec, reinterpret_cast<const char*>(d.At(4)), 4, addr, true, &CMmPkt::ModifyPartIdWithPartMask);
        d.CopyBytes(rec->body.msg.message, 10, std::min<int>(d.W(8), 253));
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }
    case PKT_CMD: {
        if (!d.Has(8))
            return;
        kyrpacket* rec = d.Begin(kyrtype_cmd, 456);
        part(rec, cstrPartCmd);
        rec->body.cmd.id = d.At(5)[0];
        d.CopyBytes(rec->body.cmd.command, 8, std::min<int>(d.W(6), 439));
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }
    case PKT_RSP:
    case PKT_RSC:
    case PKT_RSE: {
        if (!d.Has(8) || d.At(4)[0] != PKT_CMD_TYPE_STRING)
            return;
        kyrpacket* rec = d.Begin(t == PKT_RSE ? kyrtype_rse : kyrtype_rsp, 457);
        part(rec, t == PKT_RSP ? cstrPartRsp : t == PKT_RSC ? cstrPartRsc : cstrPartRse);
        rec->body.rsp.id = d.At(5)[0];
        rec->body.rsp.is_final = t == PKT_RSC ? 0 : 1;
        const int n = std::min<int>(d.W(6), 439);
        if (t == PKT_RSE)
            d.CopyBytes(rec->body.rsp.command, 8, n);
        else
            d.CopyText(rec->body.rsp.command, 8, n);
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }
    case PKT_STT: {
        if (!d.Has(8))
            return;
        kyrpacket* rec = d.Begin(kyrtype_stt, 454);
        part(rec, cstrPartStt);
        d.CopyBytes(rec->body.stt.status, 8, std::min<int>(d.W(6), 439));
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case PKT_OBJ: {
        if (!d.Has(8))
            return;
        const int nCount = d.W(4);
        const int nFill = std::min(nCount, 11);
        if (!d.Has(8 + 8 * nFill))
            return;
        kyrpacket* rec = d.Begin(kyrtype_obj, 104);
        part(rec, cstrPartObj);
        rec->body.obj.count = static_cast<unsigned short>(nCount);
        for (int i = 0; i < nFill; ++i) {
            rec->body.obj.start_pos[i] = d.F(8 + 8 * i);
            rec->body.obj.end_pos[i] = d.F(12 + 8 * i);
        }
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case PKT_IRD:
    case PKT_ITD: {
        if (!d.Has(20))
            return;
        const int nDtc = d.W(10);
        const int nPresent = std::clamp(nDtc, 1, static_cast<int>(PKT_DTC_MAX));
        const int nRaw = d.W(4);
        const int nData = 20 + 4 * nPresent;
        if (!d.Has(nData + nRaw) || 20 + nRaw > WORK_BUFFER_SIZE)
            return;
        kyrpacket* rec = d.Begin(t == PKT_IRD ? kyrtype_ird : kyrtype_itd, 20 + nRaw);
        part(rec, t == PKT_IRD ? cstrPartIrd : cstrPartItd);
        rec->body.ixd.total = static_cast<short>(d.W(6));
        rec->body.ixd.offset = static_cast<short>(d.W(8));
        rec->body.ixd.count = static_cast<short>(nRaw);
        std::memcpy(d.Tail(), d.At(nData), nRaw);
        notify->TPDP_OnPacket(rec, bSync);

        if ((notify = m_pMmPktNotify) == nullptr)
            return;
        rec = d.Begin(kyrtype_obc, 24);
        part(rec, cstrPartObc);
        rec->body.obc.count = static_cast<unsigned short>(nDtc);
        rec->body.obc.start_pos = d.F(12);
        rec->body.obc.end_pos = d.F(16);
        notify->TPDP_OnPacket(rec, bSync);

        if ((notify = m_pMmPktNotify) == nullptr)
            return;
        rec = d.Begin(kyrtype_dtc, 176);
        part(rec, cstrPartDtc);
        rec->body.dtc.count = static_cast<unsigned short>(nDtc);
        for (int i = 0; i < std::min(nDtc, static_cast<int>(PKT_DTC_MAX)); ++i) {
            rec->body.dtc.start_pos[i] = d.W(20 + 4 * i);
            rec->body.dtc.end_pos[i] = d.W(22 + 4 * i);
        }
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case PKT_PRV: {
        if (!d.Has(10))
            return;
        const int nRaw = d.W(4);
        if (!d.Has(10 + nRaw) || 20 + nRaw > WORK_BUFFER_SIZE)
            return;
        kyrpacket* rec = d.Begin(kyrtype_prv, 20 + nRaw);
        part(rec, cstrPartPrv);
        rec->body.prv.height = static_cast<short>(d.W(6));
        rec->body.prv.offset_y = static_cast<short>(d.W(8));
        rec->body.prv.width = static_cast<short>(nRaw);
        std::memcpy(d.Tail(), d.At(10), nRaw);
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case MM_PKT_TOUCHPOINTS & PKT_TYPEMASK: {
        if (!d.Has(8))
            return;
        const int nPoints = d.W(4);
        const int nBytes = nPoints * static_cast<int>(sizeof(touchpoint));
        if (!d.Has(8 + nBytes) || kRecordHeader + 4 + nBytes > WORK_BUFFER_SIZE)
            return;
        kyrpacket* rec = d.Begin(kyrtype_tpt, kRecordHeader + 4 + nBytes);
        part(rec, cstrPartTpt, false);
        rec->body.tpt.actual_touch = static_cast<short>(d.W(6));
        rec->body.tpt.touch_count = static_cast<short>(nPoints);
        std::memcpy(work + kRecordHeader + 4, d.At(8), nBytes);
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case MM_PKT_GESTURE & PKT_TYPEMASK: {
        if (!d.Has(26))
            return;
        kyrpacket* rec = d.Begin(kyrtype_gst, 272);
        part(rec, cstrPartGst, false);
        rec->body.gst.action_group = d.At(4)[0];
        rec->body.gst.action = d.At(5)[0];
        rec->body.gst.feasibleness = d.W(6);
        rec->body.gst.x = d.W(8);
        rec->body.gst.y = d.W(10);
        rec->body.gst.w = d.W(12);
        rec->body.gst.h = d.W(14);
        rec->body.gst.zoom = d.F(20);
        d.CopyBytes(rec->body.gst.message, 26, std::min<int>(d.W(24), 241));
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    case MM_PKT_DEVICE & PKT_TYPEMASK: {
        if (!d.Has(4 + static_cast<int>(sizeof(mm_pkt_device_body))))
            return;
        kyrpacket* rec = d.Begin(kyrtype_dvc, 38);
        part(rec, cstrPartDvc, false);
        // Same field order and widths on the wire and in the record.
        static_assert(sizeof(rec->body.dvc) == sizeof(mm_pkt_device_body));
        std::memcpy(&rec->body.dvc, d.At(4), sizeof(mm_pkt_device_body));
        notify->TPDP_OnPacket(rec, bSync);
        return;
    }

    default:
        KYR_LOG_DROP(UnknownType, "packet 0x%04x", id);
        return; // PKT_OBC, PKT_SILENCE_RPT, PKT_BAD_ID, the other IAP types
    }
}

} // namespace kyr_hid_library
