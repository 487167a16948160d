// Client of kyrsim's control socket, for programs running under kyrsim.
//
// Every call opens its own connection to $KYRSIM_CONTROL, so the functions
// are usable from any thread and from forked processes alike.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
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

/// kyr model: queues scripted touch frames ("FRAME;FRAME...", see kyrsim's
/// README) and returns how many wait now.
uint64_t SimTouch(int nDevice, const std::string& szFrames);
/// kyr model: queues scripted device reports ("REPORT;REPORT...").
uint64_t SimReport(int nDevice, const std::string& szReports);

struct SimScriptCounts {
    uint64_t qwSent = 0;     // taken from the script and sent
    uint64_t qwPending = 0;  // still waiting
};
SimScriptCounts SimTouched(int nDevice);
SimScriptCounts SimReported(int nDevice);

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

// The uinput node.

/// Sends a request whose reply is "ok L" and L lines; returns the lines.
std::vector<std::string> SimRequestLines(const std::string& szLine);

struct SimUinputSummary {
    int nIndex = 0;
    bool bAlive = false;
    uint64_t qwEvents = 0;
    std::string szName;
};
/// Every input device created through /dev/uinput so far, destroyed ones too.
std::vector<SimUinputSummary> SimUinputDevices();

struct SimInputEvent {
    uint64_t qwMicros = 0;  // since the device was created; not compared
    uint16_t wType = 0;
    uint16_t wCode = 0;
    int32_t nValue = 0;
    bool operator==(const SimInputEvent& other) const
    {
        return wType == other.wType && wCode == other.wCode && nValue == other.nValue;
    }
};

struct SimInputAxis {
    int32_t nMinimum = 0, nMaximum = 0, nFuzz = 0, nFlat = 0, nResolution = 0;
    bool operator==(const SimInputAxis&) const = default;
};

/// A uinput device as kyrsim's evemu text describes it.
struct SimInputDevice {
    bool bAlive = false;
    std::string szName;
    uint16_t wBus = 0, wVendor = 0, wProduct = 0, wVersion = 0;
    std::set<uint16_t> properties;
    std::map<uint16_t, std::set<uint16_t>> codes;  // by event type; type 0 holds the event types
    std::map<uint16_t, SimInputAxis> axes;
    std::vector<SimInputEvent> events;
    std::vector<std::string> lines;  // the text itself
};
SimInputDevice SimUinputDevice(int nIndex);

/// The events of uinput device nIndex from the nFrom-th on.
std::vector<SimInputEvent> SimUinputEvents(int nIndex, size_t nFrom = 0);

}  // namespace kyrsim
