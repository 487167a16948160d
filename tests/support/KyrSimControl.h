// Client of kyrsim's control socket, for programs running under kyrsim.
//
// Every call opens its own connection to $KYRSIM_CONTROL, so the functions
// are usable from any thread and from forked processes alike.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kyrsim {

/// Sends one request line and returns the reply line without its newline;
/// kyrsim's own refusals come back as "error <text>".
/// @throws std::runtime_error when KYRSIM_CONTROL is unset or the socket fails.
std::string SimRequest(const std::string& szLine);

// The helpers below throw std::runtime_error on an "error ..." reply too.

/// Unplugs device nDevice (kyrsim's --device order, from 0).
void SimUnplug(int nDevice);

/// Plugs in a new device (a DEVICE description as for --device, without
/// plug=, unplug= and deny) and returns its number.
int SimPlug(const std::string& szDevice);

/// The kernel driver bound to the interface, "usbfs" while a program holds
/// the claim, or "none".
std::string SimDriver(int nDevice, int nInterface);

bool SimClaimed(int nDevice, int nInterface);

/// Number of interrupt OUT reports the device has received.
uint64_t SimOutCount(int nDevice);

/// The device emits the bytes as one IN report on the interface, which a
/// program must have claimed.
void SimInject(int nDevice, int nInterface, const std::vector<uint8_t>& report);

// Requests of the kyr model.

/// Number of intact command packets the device has received.
uint64_t SimCommandCount(int nDevice);

struct SimCommand {
    int nId = 0;
    std::string szText;  // bytes outside printable ASCII come as '?'
};
/// The last command packet received; nullopt before the first.
std::optional<SimCommand> SimLastCommand(int nDevice);

/// kyr model: when the device received each of its last 1000 intact commands
/// whose text starts with szPrefix, in ms on the device's clock, oldest first.
std::vector<uint64_t> SimCommandTimes(int nDevice, const std::string& szPrefix = "");

/// The letters streaming now ("MVOTGD" subset, in table order), "" when none.
std::string SimStreams(int nDevice);

/// "packets" (sent) and one count per fault kind ("badcrc", "truncated",
/// "oversize", "garbage", "stall").
std::map<std::string, uint64_t> SimFaults(int nDevice);

struct SimKind {
    uint64_t qwSent = 0;
    uint64_t qwIntact = 0;   // no badcrc, truncated or oversize fault touched them
    uint64_t qwCrcOnly = 0;  // a bad CRC and nothing else
};
struct SimKindCounts {
    uint64_t qwReports = 0;               // IN reports sent
    std::map<uint16_t, SimKind> kinds;    // by packet id
};
/// What the device has sent, per packet id; includes what was dropped while
/// nobody claimed the interface.
SimKindCounts SimKinds(int nDevice);

// Requests of the replay model.

struct SimReplayCounts {
    uint64_t qwOut = 0;          // OUT reports received
    uint64_t qwMatched = 0;      // equal to the recorded one at their place
    uint64_t qwMismatched = 0;   // different from it
    uint64_t qwExtra = 0;        // beyond the recording
    uint64_t qwIn = 0;           // recorded IN reports played so far
    uint64_t qwRecordedOut = 0;
    uint64_t qwRecordedIn = 0;
};
SimReplayCounts SimReplay(int nDevice);

}  // namespace kyrsim
