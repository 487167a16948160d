// The device side of a real handle: reports delivered through the read
// thread's entry (_OnReceive) while synchronous command waits, a raw-send
// wait and a firmware-mode query are armed, checked against a model of what
// each answer releases. No device is open, so the waits are armed the way
// the sends arm them, without sending.
//
// Input: a list of operations, each an op byte and its operands:
//   0 [id]                 arm a command wait for id
//   1 [lo][hi]             arm a raw-send wait for packet id lo|hi<<8
//   2 [addr]               arm a firmware-mode query of unit (addr & 0xF0) << 8
//   3 [n][n*64 bytes]      one transfer of (n % 4) + 1 reports, as they are
//   4 [kind][id][len][text] a text packet (response, continued, final, echo)
//                          with a good CRC, cut into reports
//   5 [ctl][lo][hi][bytes] any packet; a good CRC unless ctl & 0x20, stream
//                          series when ctl & 0x80
//   6 [id]                 collect the command wait for id, as its sender
//                          does when its time runs out
//   7 [lo][hi]             the data modes the client asks for
//   8                      the sink starts / stops taking raw reports
//   9                      the raw-send wait is given up
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "Include/KyrHIDLib.h"
#include "KyrHandle.h"
#include "MmPkt.h"
#include "fuzz_check.h"
#include "fuzz_kyrpacket_check.h"
#include "fuzz_private_tmpdir.h"

using namespace kyr_hid_library;

namespace {

// The data mode a client must ask for to receive a record kind; 0: always.
int ModeBitFor(int nType)
{
    switch (nType) {
    case kyrtype_msg: return KYR_HID_MODE_MESSAGE;
    case kyrtype_cmd:
    case kyrtype_rsp: return KYR_HID_MODE_COMMAND;
    case kyrtype_obc:
    case kyrtype_dtc:
    case kyrtype_ird:
    case kyrtype_itd:
    case kyrtype_prv: return KYR_HID_MODE_VIEW;
    case kyrtype_obj: return KYR_HID_MODE_OBJECT;
    case kyrtype_tpt: return KYR_HID_MODE_TOUCHPNT;
    case kyrtype_gst: return KYR_HID_MODE_GESTURE;
    case kyrtype_dvc: return KYR_HID_MODE_DEVICE;
    default: return 0;
    }
}

class CRecordingSink : public CKyrHandle::IKyrHandleNotify {
public:
    bool m_bTakeRaw = false;
    int m_nPackets = 0;
    bool m_bLastAnswer = false;
    std::uint64_t m_nSum = 0;

    bool OnReceiveRawData(KyrDevData* pData, unsigned char* pBuffer, unsigned long dwBytes) override
    {
        FUZZ_CHECK(pData != nullptr && pBuffer != nullptr && dwBytes >= 1 && dwBytes <= 64);
        for (unsigned long i = 0; i < dwBytes; ++i)
            m_nSum += pBuffer[i];
        return m_bTakeRaw;
    }
    void TPDP_OnPacket(KyrDevData* pData, kyrpacket* pPacket, bool bSync) override
    {
        FUZZ_CHECK(pData != nullptr);
        m_nSum += kyr_fuzz::CheckKyrPacket(pPacket);
        ++m_nPackets;
        m_bLastAnswer = bSync;
    }
};

// The handle with every codec callback checked against the model.
class CCheckedHandle : public CKyrHandle {
public:
    std::shared_ptr<CRecordingSink> m_pSink = std::make_shared<CRecordingSink>();

    CCheckedHandle() { SetNotify(m_pSink); }

    void Deliver(unsigned char* pData, unsigned long dwBytes)
    {
        m_bRawTaken = m_pSink->m_bTakeRaw;
        _OnReceive(pData, dwBytes, this);
        m_bRawTaken = false;
        FUZZ_CHECK(m_nChecked < 0); // no packet is left half delivered
    }

    void ArmCommand(unsigned char nId)
    {
        ArmCommandWait(nId);
        m_Waits.insert(nId);
        m_nSyncResId = nId;
        m_nEchoed = -1;
    }

    void ArmPacket(unsigned short wId)
    {
        const bool bArmed = ArmPacketWait(wId);
        FUZZ_CHECK(bArmed == !m_bPacketArmed);
        if (bArmed) {
            m_bPacketArmed = true;
            m_wPacketId = wId;
        }
        FUZZ_CHECK(IsPacketWaitArmed());
    }

    void DisarmPacket()
    {
        DisarmPacketWait();
        m_bPacketArmed = false;
        FUZZ_CHECK(!IsPacketWaitArmed());
    }

    // An answered wait is collected; an unanswered one ends, successful
    // only when its command was echoed.
    void Collect(unsigned char nId)
    {
        bool bExpected;
        if (auto it = m_Rets.find(nId); it != m_Rets.end()) {
            m_Rets.erase(it);
            bExpected = true;
        } else {
            if (auto w = m_Waits.find(nId); w != m_Waits.end())
                m_Waits.erase(w);
            bExpected = m_nEchoed == nId;
        }
        FUZZ_CHECK((WaitForResponse(nId, 0) == eWaitEnd::Answered) == bExpected);
    }

    void SetModes(int nMode)
    {
        SetInstantMode(nMode, 0, ~0UL);
        m_nMode = nMode;
    }

    bool OnCheckSyncResposePacket(int nId) override
    {
        FUZZ_CHECK(!m_bRawTaken);
        FUZZ_CHECK(nId >= 0 && nId <= 255 && m_nChecked < 0);
        const bool bWaiting = CKyrHandle::OnCheckSyncResposePacket(nId);
        FUZZ_CHECK(bWaiting == (m_Waits.count(nId) > 0));
        m_nKind = -1;
        if (bWaiting)
            m_nChecked = nId;
        return bWaiting;
    }

    void OnCompleteResponsePacket(int nId) override
    {
        FUZZ_CHECK(!m_bRawTaken && nId == m_nChecked);
        m_nChecked = -1;
        // An echo only notes the command as taken; anything else answers it.
        if (m_nKind == kyrtype_cmd) {
            m_nEchoed = nId;
        } else if (auto w = m_Waits.find(nId); w != m_Waits.end()) {
            m_Waits.erase(w);
            if (m_Rets.count(nId) == 0)
                m_Rets.insert(nId);
        }
        CKyrHandle::OnCompleteResponsePacket(nId);
    }

    void OnCompleteNoneResponsePacket(unsigned short nId) override
    {
        FUZZ_CHECK(!m_bRawTaken && m_nChecked < 0);
        CKyrHandle::OnCompleteNoneResponsePacket(nId);
        if (m_bPacketArmed && m_wPacketId == nId)
            m_bPacketArmed = false;
        FUZZ_CHECK(IsPacketWaitArmed() == m_bPacketArmed);
    }

    void TPDP_OnPacket(kyrpacket* pPacket, bool bSync) override
    {
        FUZZ_CHECK(!m_bRawTaken);
        kyr_fuzz::CheckKyrPacket(pPacket);
        // Only an answer to an awaited command comes marked synchronous.
        if (bSync)
            FUZZ_CHECK(m_nChecked >= 0);
        m_nKind = pPacket->type;
        const int nBit = ModeBitFor(pPacket->type);
        const bool bDelivered = nBit == 0 || (m_nMode & nBit) != 0;
        if (bDelivered && pPacket->type == kyrtype_rsp && pPacket->body.rsp.id == m_nSyncResId) {
            m_strResponse.assign(pPacket->body.rsp.command,
                                 strnlen(pPacket->body.rsp.command, sizeof(pPacket->body.rsp.command) - 1));
            m_nSyncResId = 0xFFFF;
        }
        const int nBefore = m_pSink->m_nPackets;
        CKyrHandle::TPDP_OnPacket(pPacket, bSync);
        FUZZ_CHECK(m_pSink->m_nPackets == nBefore + (bDelivered ? 1 : 0));
        if (bDelivered)
            FUZZ_CHECK(m_pSink->m_bLastAnswer == (bSync && pPacket->type != kyrtype_cmd));
        const char* pszResponse = GetResponse();
        if (m_strResponse.empty())
            FUZZ_CHECK(pszResponse == nullptr);
        else
            FUZZ_CHECK(pszResponse != nullptr && m_strResponse == pszResponse);
    }

    void OnFirmwareMode(unsigned short wAddr, unsigned short nMode) override
    {
        FUZZ_CHECK(!m_bRawTaken && (wAddr & ~PKT_ADDRMASK) == 0);
        CKyrHandle::OnFirmwareMode(wAddr, nMode);
    }

private:
    bool m_bRawTaken = false;
    int m_nChecked = -1; // id of the awaited command being decoded
    int m_nKind = -1;    // kind of the command-channel packet being decoded
    std::multiset<int> m_Waits;
    std::multiset<int> m_Rets;
    int m_nEchoed = -1;
    unsigned m_nSyncResId = 0xFFFF;
    std::string m_strResponse;
    bool m_bPacketArmed = false;
    unsigned short m_wPacketId = 0;
    int m_nMode = 0;
};

void SendSeries(CCheckedHandle& handle, const std::vector<byte>& pkt, bool bStream)
{
    std::size_t off = 0;
    do {
        byte report[HID_REPORT_SIZE] = {HID_REPORT_ID};
        const std::size_t chunk = std::min<std::size_t>(pkt.size() - off, HID_REPORT_PAYLOAD);
        const bool bLast = off + chunk == pkt.size();
        report[1] = static_cast<byte>((bStream ? 0x80 : 0x00) | (bLast ? 1 : 0));
        report[2] = static_cast<byte>(chunk);
        std::memcpy(report + 3, pkt.data() + off, chunk);
        handle.Deliver(report, sizeof report);
        off += chunk;
    } while (off < pkt.size());
}

void SendWithCrc(CCheckedHandle& handle, std::vector<byte> pkt, bool bBadCrc, bool bStream)
{
    pkt.resize(pkt.size() + PKT_CRC_SIZE);
    CMmPkt::CalcCRC(pkt.data(), static_cast<unsigned short>(pkt.size() - PKT_CRC_SIZE));
    if (bBadCrc)
        pkt.back() ^= 0x5A;
    SendSeries(handle, pkt, bStream);
}

class CInput {
public:
    CInput(const std::uint8_t* p, std::size_t n) : m_p(p), m_n(n) {}
    bool Empty() const { return m_n == 0; }
    std::uint8_t Byte()
    {
        if (m_n == 0)
            return 0;
        --m_n;
        return *m_p++;
    }
    std::vector<byte> Bytes(std::size_t n)
    {
        n = std::min(n, m_n);
        std::vector<byte> v(m_p, m_p + n);
        m_p += n;
        m_n -= n;
        return v;
    }

private:
    const std::uint8_t* m_p;
    std::size_t m_n;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TmpDir();
    auto handle = std::make_unique<CCheckedHandle>();
    CInput in(data, size);
    while (!in.Empty()) {
        switch (in.Byte() % 10) {
        case 0: handle->ArmCommand(in.Byte()); break;
        case 1: {
            const std::uint8_t lo = in.Byte();
            handle->ArmPacket(static_cast<unsigned short>(lo | in.Byte() << 8));
            break;
        }
        case 2: handle->ArmPacket(static_cast<unsigned short>(((in.Byte() & 0xF0) << 8) | IAP_PKT_MODE)); break;
        case 3: {
            const std::size_t nReports = in.Byte() % 4 + 1;
            // A buffer of exactly the bytes given: a read past them is seen.
            std::vector<byte> transfer = in.Bytes(nReports * HID_REPORT_SIZE);
            if (!transfer.empty())
                handle->Deliver(transfer.data(), transfer.size());
            break;
        }
        case 4: {
            static constexpr unsigned short kIds[] = {MM_PKT_RSP, MM_PKT_RSC, MM_PKT_RSE, MM_PKT_CMD,
                                                      MM_PKT_RSP1, MM_PKT_RSP2, 0x8008, 0x200A};
            const std::uint8_t kind = in.Byte();
            const std::uint8_t nId = in.Byte();
            const std::vector<byte> text = in.Bytes(in.Byte());
            const unsigned short wPid = kIds[kind % 8];
            std::vector<byte> pkt = {static_cast<byte>(wPid), static_cast<byte>(wPid >> 8), 0, 0,
                                     static_cast<byte>(kind >> 3 & 1), nId, static_cast<byte>(text.size()), 0};
            pkt.insert(pkt.end(), text.begin(), text.end());
            SendWithCrc(*handle, std::move(pkt), false, false);
            break;
        }
        case 5: {
            const std::uint8_t ctl = in.Byte();
            const std::uint8_t lo = in.Byte();
            const std::size_t nLen = (lo | in.Byte() << 8) % PKT_STREAM_MAX;
            SendWithCrc(*handle, in.Bytes(nLen), (ctl & 0x20) != 0, (ctl & 0x80) != 0);
            break;
        }
        case 6: handle->Collect(in.Byte()); break;
        case 7: {
            const std::uint8_t lo = in.Byte();
            handle->SetModes(lo | (in.Byte() & 0x03) << 8);
            break;
        }
        case 8: handle->m_pSink->m_bTakeRaw = !handle->m_pSink->m_bTakeRaw; break;
        case 9: handle->DisarmPacket(); break;
        }
    }
    return 0;
}
