// Arbitrary report sequences through reassembly and decoding.
//
// Input byte 0 selects the shape of the rest:
//   even: the rest is cut into 64-byte reports as they are (a shorter tail is
//         passed with its own length);
//   odd:  the rest is a list of packets, each [ctl][len lo][len hi][len bytes],
//         that the harness frames itself: it appends a valid CRC unless ctl
//         bit 0x20 asks for a broken one, and cuts the packet into reports of
//         the single series, or of the stream series when ctl bit 0x80 is set.
//         With bits 0x80 and 0x40 the packet is a raw-format one: the first
//         (ctl & 0x0F) * 4 + 10 bytes form the header, the rest the raw bytes,
//         and bit 0x08 writes the true raw size into the header.
// This lets the fuzzer reach the decoders behind the CRC check.
#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstring>
#include <vector>

#include "KyrCRC16.h"
#include "MmPkt.h"
#include "fuzz_check.h"
#include "fuzz_kyrpacket_check.h"

using namespace kyr_hid_library;

namespace {

// Checks each callback against what the codec promises its owner.
class CheckingNotify : public CMmPkt::IMmPktNotify {
public:
    unsigned m_nSeed = 0;
    std::uint64_t m_nSum = 0;

    bool OnCheckSyncResposePacket(int nCmdId) override
    {
        FUZZ_CHECK(nCmdId >= 0 && nCmdId <= 255);
        FUZZ_CHECK(m_nPending < 0); // a completion never outlives its packet
        const bool bAnswer = ((nCmdId ^ m_nSeed) & 1) != 0;
        m_nPending = bAnswer ? nCmdId : -1;
        m_bAsked = true;
        return bAnswer;
    }
    void OnCompleteResponsePacket(int nCmdId) override
    {
        FUZZ_CHECK(m_nPending == nCmdId);
        m_nPending = -1;
        m_bAsked = false;
    }
    void OnCompleteNoneResponsePacket(unsigned short nPacketId) override
    {
        const unsigned t = nPacketId & PKT_TYPEMASK;
        FUZZ_CHECK(t < PKT_CMD || t > PKT_RSE);
        FUZZ_CHECK(m_nPending < 0);
    }
    void TPDP_OnPacket(kyrpacket* p, bool bSync) override
    {
        m_nSum += kyr_fuzz::CheckKyrPacket(p);
        if (bSync)
            FUZZ_CHECK(m_nPending >= 0 && (p->type == kyrtype_cmd || p->type == kyrtype_rsp || p->type == kyrtype_rse));
    }
    void OnFirmwareMode(unsigned short wAddr, unsigned short) override
    {
        FUZZ_CHECK((wAddr & ~PKT_ADDRMASK) == 0);
    }

    // Between reports no packet is half delivered.
    void AtReportBoundary() { FUZZ_CHECK(m_nPending < 0); m_bAsked = false; }

private:
    int m_nPending = -1;
    bool m_bAsked = false;
};

void SendSeries(CMmPkt& codec, CheckingNotify& notify, const byte* p, std::size_t n, bool bStream)
{
    std::size_t off = 0;
    do {
        byte report[HID_REPORT_SIZE] = {HID_REPORT_ID};
        const std::size_t chunk = std::min<std::size_t>(n - off, HID_REPORT_PAYLOAD);
        const bool bLast = off + chunk == n;
        report[1] = static_cast<byte>((bStream ? 0x80 : 0x00) | (bLast ? 1 : 0));
        report[2] = static_cast<byte>(chunk);
        std::memcpy(report + 3, p + off, chunk);
        codec.ParsePacket(report, sizeof report);
        notify.AtReportBoundary();
        off += chunk;
    } while (off < n);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The eight-byte CRC step must agree with the table on any input.
    FUZZ_CHECK(Crc16Update(CRC16_INIT, data, size) == Crc16UpdateBytewise(CRC16_INIT, data, size));
    if (size == 0)
        return 0;

    CheckingNotify notify;
    notify.m_nSeed = data[0] >> 1;
    CMmPkt codec(&notify);
    const std::uint8_t* p = data + 1;
    std::size_t n = size - 1;

    if ((data[0] & 1) == 0) {
        while (n > 0) {
            const std::size_t chunk = std::min<std::size_t>(n, HID_REPORT_SIZE);
            // The codec may look at no byte past the report it is given.
            std::vector<std::uint8_t> report(p, p + chunk);
            codec.ParsePacket(report.data(), report.size());
            notify.AtReportBoundary();
            p += chunk;
            n -= chunk;
        }
        return 0;
    }

    std::vector<byte> pkt;
    while (n >= 3) {
        const byte ctl = p[0];
        std::size_t len = (p[1] | (p[2] << 8)) % PKT_STREAM_MAX;
        p += 3;
        n -= 3;
        if (len > n)
            len = n;
        pkt.assign(p, p + len);
        p += len;
        n -= len;
        const bool bStream = (ctl & 0x80) != 0;
        const bool bRaw = bStream && (ctl & 0x40) != 0;
        std::size_t nHeader = bRaw ? (ctl & 0x0F) * 4u + 10u : pkt.size();
        if (nHeader > pkt.size())
            nHeader = pkt.size();
        std::vector<byte> header(pkt.begin(), pkt.begin() + nHeader);
        if (bRaw) {
            header.resize(std::max<std::size_t>(header.size(), 6));
            header[1] |= PKT_RAWFORMAT_FLAG >> 8;
            if (ctl & 0x08) {
                const std::size_t nRaw = pkt.size() - nHeader;
                header[4] = static_cast<byte>(nRaw);
                header[5] = static_cast<byte>(nRaw >> 8);
            }
        }
        header.resize(header.size() + PKT_CRC_SIZE);
        CMmPkt::CalcCRC(header.data(), static_cast<unsigned short>(header.size() - PKT_CRC_SIZE));
        if (ctl & 0x20)
            header.back() ^= 0x5A;
        SendSeries(codec, notify, header.data(), header.size(), bStream);
        if (bRaw && pkt.size() > nHeader)
            SendSeries(codec, notify, pkt.data() + nHeader, pkt.size() - nHeader, true);
    }
    return 0;
}
