// Scripted touch frames and device reports: the text a test writes (see
// README.md, "Scripted touches and device reports") and what it stands for.
#pragma once

#include "PacketEncoder.h"

#include <string>
#include <vector>

namespace kyrsim::kyr {

using TouchFrame = std::vector<encoder::TouchPoint>;

// One packet of single series holds 511 bytes: 50 points, 40 with room to spare.
inline constexpr size_t kMaxScriptedContacts = 40;

/// FRAME[;FRAME...]. @throws std::invalid_argument naming the bad part.
std::vector<TouchFrame> ParseTouchFrames(const std::string& szText);

/// REPORT[;REPORT...]. @throws std::invalid_argument naming the bad part.
std::vector<encoder::DeviceState> ParseDeviceReports(const std::string& szText);

/// The non-empty, non-comment lines of a script file, joined by ';'.
/// @throws std::invalid_argument when it cannot be read or holds nothing.
std::string ReadScriptFile(const std::string& szPath);

}  // namespace kyrsim::kyr
