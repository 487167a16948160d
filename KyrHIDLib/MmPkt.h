// CMmPkt: the packet codec of one open device. Builds outgoing command
// packets, joins incoming 64-byte reports into packets, checks their CRC and
// decodes them into kyrpacket records for its owner.
//
// Pure: no I/O, no threads, no allocation, no global state. The receive side
// (ParsePacket and everything it calls) runs on one thread at a time, the
// owner's read thread; MakePacket shares no state with it.
#pragma once

#include "Include/KyrHIDLib.h"
#include "KyrPkt.h"

namespace kyr_hid_library {

class CMmPkt {
public:
    // Implemented by the device handle. Slot order is fixed: the handle's
    // virtual table begins with these five operations.
    class IMmPktNotify {
    public:
        // A complete single-series command or response packet (types 7 to 10)
        // carries nCmdId; true when a synchronous caller awaits that id. Asked
        // before the packet is decoded.
        virtual bool OnCheckSyncResposePacket(int nCmdId) = 0;
        // After that packet was decoded and delivered, when the answer was true.
        virtual void OnCompleteResponsePacket(int nCmdId) = 0;
        // After every other complete single-series packet was passed to the
        // decoder, whether or not it produced a record.
        virtual void OnCompleteNoneResponsePacket(unsigned short nPacketId) = 0;
        // One decoded record. pPacket is valid only during the call.
        virtual void TPDP_OnPacket(kyrpacket* pPacket, bool bSync) = 0;
        // A firmware-mode answer: the address bits of the unit and its mode.
        virtual void OnFirmwareMode(unsigned short wAddr, unsigned short nMode) = 0;

    protected:
        ~IMmPktNotify() = default;
    };

    // Longest command text MakePacket accepts: text, NUL and the 10 bytes of
    // header and CRC fill the 1024-byte packet buffer.
    static constexpr int MAX_COMMAND_TEXT = PKT_COMMAND_BUFFER - 11;
    static_assert(MAX_COMMAND_TEXT == KYR_MAX_COMMAND_TEXT, "the limit the public header states");
    // Every record is built in a work buffer of this size on the read thread's stack.
    static constexpr int WORK_BUFFER_SIZE = 8192;

    explicit CMmPkt(IMmPktNotify* pNotify);
    virtual ~CMmPkt();

    CMmPkt(const CMmPkt&) = delete;
    CMmPkt& operator=(const CMmPkt&) = delete;

    // Stores the CRC of the first pkt_len bytes at pkt_ptr[pkt_len] (low byte)
    // and pkt_ptr[pkt_len + 1]; returns pkt_len + 2.
    static unsigned short CalcCRC(byte* pkt_ptr, unsigned short pkt_len);
    static unsigned short CalculateCRC(byte* pkt_ptr, unsigned short pkt_len) { return CalcCRC(pkt_ptr, pkt_len); }
    // The register after pkt_len bytes, without the final XOR: PKT_CRC_RESIDUE
    // for an intact packet followed by its CRC.
    static unsigned short CheckCRC(const byte* pkt_ptr, unsigned short pkt_len);

    // Builds the command packet for the wLen bytes of szCmd with command id
    // nCmdId (low 8 bits) in this object's buffer; valid until the next call.
    // Null, with nPacketLength 0, when szCmd is null or wLen exceeds
    // MAX_COMMAND_TEXT: a text is never cut to fit. Callers measuring the text
    // with strlen refuse lengths above MAX_COMMAND_TEXT before narrowing them
    // to 16 bits.
    pkt_type* MakePacket(const char* szCmd, unsigned short wLen, int nCmdId, int& nPacketLength);

    // Reports a packet of nPacketLength bytes takes on the single series
    // (0 for an empty packet).
    static int GetReportCount(int nPacketLength);
    // Fills report nIndex of the packet: report id 1, type 0x00 or 0x01 for the
    // last, 61 payload bytes but in the last, unused payload bytes zero.
    // False when nIndex is out of range.
    static bool MakeReport(const void* pPacket, int nPacketLength, int nIndex, hid_pkt_type* pReport);

    // Takes one received report; only dwBytes == 64 is processed. Decoded
    // records and completion calls reach the notify before it returns. Not to
    // be called from inside those callbacks.
    void ParsePacket(const unsigned char* pData, unsigned long dwBytes);

protected:
    // Decodes one complete packet. pkt_len counts the received bytes before
    // the CRC (for either series; the unchecked device report keeps all of
    // its bytes), and no field or copy reaches beyond them.
    void OnPacket(const pkt_type* rx_pkt_ptr, unsigned short pkt_len, bool bSync);
    static void ModifyPartIdWithPartMask(char* szPartId, unsigned short wPart);

private:
    // The most reports one packet takes on each series: every report but the
    // last is full.
    static constexpr int MAX_SINGLE_REPORTS = (int{PKT_SINGLE_MAX} + HID_REPORT_PAYLOAD - 1) / HID_REPORT_PAYLOAD;
    static constexpr int MAX_STREAM_REPORTS = (int{PKT_STREAM_MAX} + HID_REPORT_PAYLOAD - 1) / HID_REPORT_PAYLOAD;

    struct Run; // the reports a series has gathered (MmPkt.cpp)
    Run SingleRun();
    Run StreamRun();
    void CompleteSinglePacket();
    void CompleteStreamPacket();
    void TakeStreamPacket(word nLength);
    void ResetStreamSeries();

    IMmPktNotify* m_pMmPktNotify; // not owned; may be null

    word m_nHidPktCount;              // bytes gathered in m_RspPkt, at most PKT_SINGLE_MAX
    word m_nHidStreamPktCount;        // bytes gathered in m_StreamPkt, at most PKT_STREAM_MAX
    word m_nHidStreamPktRawdataSize;  // raw bytes awaited; 0 outside a raw phase
    word m_nHidStreamPktRawdataIdx;   // where the raw bytes begin: header length without CRC
    // Where the payload of each report gathered since the series last started
    // over begins, oldest first: a run that fails its CRC is tried again from
    // each later report behind the last short one, since a stray or truncated
    // report in front of a packet must not cost the packet too. In a raw
    // phase, the raw reports.
    word m_wHidPktStart[MAX_SINGLE_REPORTS];
    word m_wHidStreamPktStart[MAX_STREAM_REPORTS];
    word m_nHidPktReports;
    word m_nHidStreamPktReports;
    // A raw phase lost bytes (overflow, a size beyond the report, or an
    // unknown report type): its reports are discarded up to the 0x81 that
    // would have ended it.
    bool m_bHidStreamSkip;

    pkt_type m_RspPkt;
    byte* m_pHidRspBuf; // always m_RspPkt
    alignas(8) byte m_StreamPkt[PKT_STREAM_MAX];
    alignas(8) byte m_NewMMPkt[PKT_COMMAND_BUFFER];
};

} // namespace kyr_hid_library
