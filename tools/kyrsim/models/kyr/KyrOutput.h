// What the protocol device sends: packets not yet cut into reports, the
// samples of each stream, and the faults that can spoil them on the way out.
#pragma once

#include "KyrOptions.h"
#include "PacketEncoder.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <vector>

namespace kyrsim::kyr {

struct OutPacket {
    encoder::Bytes packet;  // CRC included; the header of a raw-format packet
    encoder::Bytes raw;     // raw-format data, sent without CRC
    bool bRaw = false;      // raw-format packets only travel on the stream series
};

OutPacket Plain(encoder::Bytes packet);

/// The packets of sample nSample of stream cLetter (one of kStreamLetters).
/// The values move from sample to sample so that a host sees fresh data.
std::vector<OutPacket> StreamSample(char cLetter, uint32_t nSample, uint16_t wTick);

/// Cuts packets into reports and spoils them as the fault rules say. Used by
/// one sending thread; the counters may be read from any thread.
class CFaultInjector {
public:
    CFaultInjector(std::vector<FaultRule> rules, uint32_t dwSeed);

    struct Output {
        std::vector<encoder::Report> reports;
        unsigned nStallMs = 0;  // keep quiet this long after the reports
        bool bBadCrc = false;   // its CRC (a raw-format packet's header CRC) is spoilt
        bool bCut = false;      // truncated or oversize
    };
    Output Send(OutPacket packet);

    /// "packets=N badcrc=N truncated=N oversize=N garbage=N stall=N".
    std::string Counts() const;

    /// Per packet id, in id order: "0xIIII sent=N intact=N crconly=N ...".
    /// Intact packets met no badcrc, truncated or oversize fault; crconly
    /// ones met a bad CRC alone, which hosts do not check in device reports.
    std::string KindCounts() const;

private:
    bool Hit(size_t nRule);
    encoder::Report Garbage();

    struct Rule {
        FaultRule rule;
        uint64_t qwEligible = 0;
    };
    std::vector<Rule> m_rules;
    std::mt19937 m_random;
    std::atomic<uint64_t> m_qwPackets{0};
    std::array<std::atomic<uint64_t>, std::size(kFaultKinds)> m_hits{};

    struct Kind {
        uint64_t qwSent = 0;
        uint64_t qwIntact = 0;
        uint64_t qwCrcOnly = 0;
    };
    mutable std::mutex m_kindsMutex;      // a leaf: one packet's counts change at once
    std::map<uint16_t, Kind> m_kinds;     // guarded by m_kindsMutex
};

}  // namespace kyrsim::kyr
