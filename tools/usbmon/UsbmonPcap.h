// Interrupt transfers in the capture format of Linux usbmon, as pcap files:
// written by kyrhid record and by tests, read by kyrsim's replay model.
//
// Decisions: a file written here holds one event per transfer, the one that
// carries data in a usbmon capture: 'C' (completion) for an IN transfer and
// 'S' (submission) for an OUT transfer; the empty halves usbmon adds are left
// out, so Wireshark shows no request/response links. Timestamps are wall-clock
// microseconds, as usbmon's are: the monotonic time of each report is carried
// over from the moment the writer opened. Multi-byte fields are in host order
// (little-endian here), as usbmon writes them and Wireshark expects.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace kyr_usbmon {

constexpr int kLinkTypeUsbLinux = 189;         // 48-byte header
constexpr int kLinkTypeUsbLinuxMmapped = 220;  // 64-byte header
constexpr uint8_t kTransferInterrupt = 1;

// The usbmon packet header; the 48-byte form ends before nInterval.
struct UsbmonHeader {
    uint64_t qwId;
    uint8_t nType;  // 'S', 'C' or 'E'
    uint8_t nTransferType;
    uint8_t nEndpoint;  // 0x80 set for IN
    uint8_t nDevice;
    uint16_t wBus;
    uint8_t nFlagSetup;  // '-': no setup packet
    uint8_t nFlagData;   // 0: data present
    int64_t llSeconds;
    int32_t lMicroseconds;
    int32_t lStatus;
    uint32_t dwLength;    // transfer length
    uint32_t dwCaptured;  // bytes following the header
    uint8_t setup[8];
    int32_t lInterval;
    int32_t lStartFrame;
    uint32_t dwTransferFlags;
    uint32_t dwDescriptors;
};
static_assert(sizeof(UsbmonHeader) == 64);

class CUsbmonWriter {
public:
    // @throws std::runtime_error when the file cannot be created.
    CUsbmonWriter(const std::string& szPath, uint16_t wBus, uint8_t nDevice);
    ~CUsbmonWriter();
    CUsbmonWriter(const CUsbmonWriter&) = delete;
    CUsbmonWriter& operator=(const CUsbmonWriter&) = delete;

    // One transfer; nEndpoint carries the direction. Thread-safe: reports
    // come from the read thread and the sending threads at once.
    void Write(uint8_t nEndpoint, uint64_t qwMonotonicNs, std::span<const uint8_t> data);
    uint64_t Count();

private:
    std::mutex m_mutex;
    pcap* m_pPcap;                     // guarded by m_mutex
    pcap_dumper* m_pDumper;            // guarded by m_mutex
    const uint16_t m_wBus;
    const uint8_t m_nDevice;
    const int64_t m_llWallAtStartUs;   // wall clock when opened
    const uint64_t m_qwMonoAtStartNs;  // CLOCK_MONOTONIC when opened
    uint64_t m_qwCount = 0;            // guarded by m_mutex
};

// The bus and device address in a device path "bbbb:aaaa:ii" (hex).
bool ParseDevicePath(const char* pszPath, uint16_t& wBus, uint8_t& nDevice);

struct Transfer {
    uint16_t wBus;
    uint8_t nDevice;
    uint8_t nEndpoint;
    uint64_t qwTimeUs;  // from the usbmon header
    std::vector<uint8_t> data;
};

// The interrupt transfers that carried data, in file order: IN completions
// ('C', status 0) and OUT submissions ('S'). Everything else (control and
// bulk transfers, empty halves, errors) is skipped.
// @throws std::runtime_error for a file that is not a usbmon capture.
std::vector<Transfer> ReadInterruptTransfers(const std::string& szPath);

}  // namespace kyr_usbmon
