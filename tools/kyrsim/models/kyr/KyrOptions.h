// The knobs of the protocol device, parsed from the device keys that kyrsim
// hands to the model (see README.md, "The kyr model").
#pragma once

#include "../../DeviceModel.h"
#include "KyrScript.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kyrsim::kyr {

// Instant-mode letters in bit order; bit 3 has none.
inline constexpr std::string_view kModeLetters = "MCV_OTGDSX";
// The letters that make the device stream something.
inline constexpr std::string_view kStreamLetters = "MVOTGD";

enum class FaultKind { BadCrc, Truncated, Oversize, Garbage, Stall };
inline constexpr FaultKind kFaultKinds[] = {FaultKind::BadCrc, FaultKind::Truncated, FaultKind::Oversize,
                                            FaultKind::Garbage, FaultKind::Stall};
const char* FaultName(FaultKind kind);

struct FaultRule {
    FaultKind kind = FaultKind::BadCrc;
    unsigned nEvery = 0;      // every Nth eligible packet; 0 when dFraction applies
    double dFraction = 0;     // else this share of them, drawn at random
    unsigned nStallMs = 500;  // stall only
};

struct KyrOptions {
    bool bEcho = false;
    bool bSilent = false;
    unsigned nLateMs = 0;
    bool bTwice = false;
    bool bForeign = false;
    std::map<uint16_t, uint16_t> firmwareModes;  // unit address -> mode; absent units never answer
    std::string szStreams;                       // always streaming, in table order
    std::map<char, unsigned> rates;              // Hz, for every stream letter
    size_t nChunk = 200;                         // longest response piece
    std::vector<FaultRule> faults;
    uint32_t dwSeed = 1;
    std::optional<std::vector<TouchFrame>> touchScript;             // the T stream plays only these
    std::optional<std::vector<encoder::DeviceState>> reportScript;  // the D stream plays only these
};

/// @throws std::invalid_argument naming the offending key.
KyrOptions ParseKyrOptions(const ModelOptions& options);

/// "iap", "mm", "cm1", "cm2", "cm1sub", "cm2sub" or an address with only
/// bits 12-15 set ("0x2000"); nullopt otherwise.
std::optional<uint16_t> ParseUnit(const std::string& szText);

/// The known letters of szText, upper case, each once, in bit order.
std::string CanonicalLetters(std::string_view szText);

}  // namespace kyrsim::kyr
