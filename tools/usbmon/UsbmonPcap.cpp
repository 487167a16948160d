#include "UsbmonPcap.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <stdexcept>

namespace kyr_usbmon {

namespace {

constexpr size_t kShortHeader = 48;
// usbmon's own default snapshot length: a whole interrupt report always fits.
constexpr int kSnapLength = 65535;

int64_t WallClockUs()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

uint64_t MonotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000000ULL + static_cast<uint64_t>(now.tv_nsec);
}

}  // namespace

CUsbmonWriter::CUsbmonWriter(const std::string& szPath, uint16_t wBus, uint8_t nDevice)
    : m_pPcap(pcap_open_dead(kLinkTypeUsbLinuxMmapped, kSnapLength)), m_pDumper(nullptr), m_wBus(wBus),
      m_nDevice(nDevice), m_llWallAtStartUs(WallClockUs()), m_qwMonoAtStartNs(MonotonicNs())
{
    if (m_pPcap == nullptr)
        throw std::runtime_error("pcap_open_dead failed");
    m_pDumper = pcap_dump_open(m_pPcap, szPath.c_str());
    if (m_pDumper == nullptr) {
        const std::string szError = pcap_geterr(m_pPcap);
        pcap_close(m_pPcap);
        throw std::runtime_error(szError);  // names the file already
    }
}

CUsbmonWriter::~CUsbmonWriter()
{
    pcap_dump_close(m_pDumper);
    pcap_close(m_pPcap);
}

void CUsbmonWriter::Write(uint8_t nEndpoint, uint64_t qwMonotonicNs, std::span<const uint8_t> data)
{
    const bool bIn = (nEndpoint & 0x80) != 0;
    // A report taken before the writer opened (a tap racing its install)
    // gets the opening time rather than one that wraps.
    const int64_t llSinceUs = qwMonotonicNs > m_qwMonoAtStartNs
                                  ? static_cast<int64_t>((qwMonotonicNs - m_qwMonoAtStartNs) / 1000)
                                  : 0;
    const int64_t llTimeUs = m_llWallAtStartUs + llSinceUs;

    UsbmonHeader header{};
    header.nType = bIn ? 'C' : 'S';
    header.nTransferType = kTransferInterrupt;
    header.nEndpoint = nEndpoint;
    header.nDevice = m_nDevice;
    header.wBus = m_wBus;
    header.nFlagSetup = '-';
    header.nFlagData = 0;
    header.llSeconds = llTimeUs / 1000000;
    header.lMicroseconds = static_cast<int32_t>(llTimeUs % 1000000);
    // A submission is still in progress when usbmon sees it.
    header.lStatus = bIn ? 0 : -115;  // -EINPROGRESS
    header.dwLength = static_cast<uint32_t>(data.size());
    header.dwCaptured = static_cast<uint32_t>(data.size());
    header.lInterval = 1;  // the devices' 1 ms polling interval
    header.lStartFrame = 0;

    std::vector<uint8_t> record(sizeof header + data.size());
    std::memcpy(record.data(), &header, sizeof header);
    if (!data.empty())
        std::memcpy(record.data() + sizeof header, data.data(), data.size());

    pcap_pkthdr pkthdr{};
    pkthdr.ts.tv_sec = header.llSeconds;
    pkthdr.ts.tv_usec = header.lMicroseconds;
    pkthdr.caplen = static_cast<bpf_u_int32>(record.size());
    pkthdr.len = pkthdr.caplen;

    std::lock_guard lock(m_mutex);
    // usbmon's id is the URB's address; a running number keeps events apart.
    ++m_qwCount;
    std::memcpy(record.data(), &m_qwCount, sizeof m_qwCount);
    pcap_dump(reinterpret_cast<u_char*>(m_pDumper), &pkthdr, record.data());
    // A recording cut short (Ctrl-C, a crash) keeps what came before.
    pcap_dump_flush(m_pDumper);
}

uint64_t CUsbmonWriter::Count()
{
    std::lock_guard lock(m_mutex);
    return m_qwCount;
}

bool ParseDevicePath(const char* pszPath, uint16_t& wBus, uint8_t& nDevice)
{
    unsigned int nBus = 0, nAddress = 0, nInterface = 0;
    int nEnd = 0;
    if (pszPath == nullptr || std::sscanf(pszPath, "%x:%x:%x%n", &nBus, &nAddress, &nInterface, &nEnd) != 3 ||
        pszPath[nEnd] != '\0' || nBus > 0xFFFF || nAddress > 0xFF)
        return false;
    wBus = static_cast<uint16_t>(nBus);
    nDevice = static_cast<uint8_t>(nAddress);
    return true;
}

std::vector<Transfer> ReadInterruptTransfers(const std::string& szPath)
{
    char szError[PCAP_ERRBUF_SIZE] = {};
    pcap_t* pPcap = pcap_open_offline(szPath.c_str(), szError);
    if (pPcap == nullptr)
        throw std::runtime_error(szError);  // names the file already
    const int nLinkType = pcap_datalink(pPcap);
    if (nLinkType != kLinkTypeUsbLinux && nLinkType != kLinkTypeUsbLinuxMmapped) {
        pcap_close(pPcap);
        throw std::runtime_error(szPath + ": link type " + std::to_string(nLinkType) +
                                 " is not a usbmon capture (189 or 220)");
    }
    const size_t nHeader = nLinkType == kLinkTypeUsbLinux ? kShortHeader : sizeof(UsbmonHeader);
    std::vector<Transfer> transfers;
    pcap_pkthdr* pHeader = nullptr;
    const u_char* pData = nullptr;
    int nResult;
    while ((nResult = pcap_next_ex(pPcap, &pHeader, &pData)) == 1) {
        if (pHeader->caplen < nHeader)
            continue;
        UsbmonHeader header{};
        std::memcpy(&header, pData, nHeader);
        const bool bIn = (header.nEndpoint & 0x80) != 0;
        const bool bCarries = bIn ? header.nType == 'C' && header.lStatus == 0 : header.nType == 'S';
        if (header.nTransferType != kTransferInterrupt || !bCarries || header.nFlagData != 0)
            continue;
        // Only what the file holds: a snapshot length may have cut the data.
        const size_t nData = std::min<size_t>(header.dwCaptured, pHeader->caplen - nHeader);
        Transfer transfer;
        transfer.wBus = header.wBus;
        transfer.nDevice = header.nDevice;
        transfer.nEndpoint = header.nEndpoint;
        transfer.qwTimeUs = static_cast<uint64_t>(header.llSeconds) * 1000000 + static_cast<uint32_t>(header.lMicroseconds);
        transfer.data.assign(pData + nHeader, pData + nHeader + nData);
        transfers.push_back(std::move(transfer));
    }
    const std::string szFailure = nResult == PCAP_ERROR ? pcap_geterr(pPcap) : "";
    pcap_close(pPcap);
    if (!szFailure.empty())
        throw std::runtime_error(szPath + ": " + szFailure);
    return transfers;
}

}  // namespace kyr_usbmon
