// Device side of the wire protocol, for the emulator: builds every packet a
// device sends and cuts it into 64-byte IN reports, and gathers the command
// packets the host writes.
//
// Written from the wire formats alone and kept free of the library's headers,
// so that tests which decode this output with the library cross-check two
// independent implementations.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyrsim::encoder {

using Bytes = std::vector<uint8_t>;
using Report = std::array<uint8_t, 64>;

// Address bits of the packet id.
inline constexpr uint16_t kAddrIap = 0x0000;
inline constexpr uint16_t kAddrMM = 0x1000;
inline constexpr uint16_t kAddrCM1 = 0x2000;
inline constexpr uint16_t kAddrCM2 = 0x4000;
inline constexpr uint16_t kAddrSub = 0x8000;  // with CM1 or CM2: their sub-unit

/// CRC-16/X-25 of the bytes (the value stored after a packet, low byte first).
uint16_t Crc16(std::span<const uint8_t> bytes);

/// Any packet: id, tick time, body, CRC.
Bytes Packet(uint16_t wId, uint16_t wTick, std::span<const uint8_t> body);

enum class Series : uint8_t { Single = 0x00, Stream = 0x80 };

/// Cuts a packet into reports of one series: 61 payload bytes each, the last
/// one marked; report id 1; unused payload bytes zero. An empty packet gives
/// one empty last report.
std::vector<Report> CutReports(std::span<const uint8_t> packet, Series series);

/// A raw-format packet: a header protected by its CRC, then raw bytes without one.
struct RawPacket {
    Bytes header;  // CRC included
    Bytes raw;
};

/// Header reports then raw reports, both on the stream series: the only way
/// raw-format packets are understood.
std::vector<Report> CutReports(const RawPacket& packet);

// ---- Packet kinds ----------------------------------------------------------

struct VersionInfo {
    uint16_t nv = 0, minor = 0, major = 0, model = 0;
    std::string date;  // up to 11 bytes, NUL-padded
    std::string time;  // up to 8 bytes, NUL-padded
};
Bytes Version(uint16_t wAddr, uint16_t wTick, const VersionInfo& v);
/// Answer to the IAP-version query: the model in place of the tick time.
Bytes IapVersion(uint16_t wAddr, uint16_t wModel);
/// Answer to the firmware-mode query: the mode in place of the tick time.
Bytes FirmwareMode(uint16_t wAddr, uint16_t wMode);

/// partid: up to 4 bytes, the name of the sending part.
Bytes Message(uint16_t wAddr, uint16_t wTick, std::string_view partid, std::string_view text);

enum class TextKind : uint16_t {
    Command = 0x007,
    Response = 0x008,
    ResponseContinued = 0x009,
    ResponseRse = 0x00A,
    Status = 0x00C,
};
/// Command echo, response pieces and status: type byte, command id, size, text.
Bytes Text(uint16_t wAddr, TextKind kind, uint16_t wTick, uint8_t nCmdId, std::string_view text,
           uint8_t nBodyType = 0);

struct Range {
    float start = 0, end = 0;
};
Bytes Objects(uint16_t wAddr, uint16_t wTick, std::span<const Range> ranges);

struct Detection {
    uint16_t start = 0, end = 0;
};
struct ImageFrame {
    uint16_t total = 0;
    int16_t offset = 0;
    Range object;
    /// Announced as num_of_dtc; at most 10 are carried, and one zero entry
    /// when there are none.
    std::vector<Detection> detections;
    Bytes data;
};
enum class ImageKind : uint16_t { Ird = 0x801, Itd = 0x802 };
RawPacket Image(uint16_t wAddr, ImageKind kind, uint16_t wTick, const ImageFrame& frame);

/// One band of preview rows: `row.size()` is reported as the width.
RawPacket Preview(uint16_t wAddr, uint16_t wTick, uint16_t wHeight, int16_t nOffsetY,
                  std::span<const uint8_t> row);

struct TouchPoint {
    uint16_t x = 0, y = 0, w = 0, h = 0, s = 0;
};
Bytes TouchPoints(uint16_t wTick, uint16_t wGuessCount, std::span<const TouchPoint> points);

struct GestureInfo {
    uint8_t action_group = 0, action = 0;
    uint16_t feasibleness = 0, x = 0, y = 0, w = 0, h = 0;
    float angle = 0, zoom = 0;
    std::string message;
};
Bytes Gesture(uint16_t wTick, const GestureInfo& g);

struct DeviceState {
    uint8_t flag = 0, touch_obj_cnt = 0, mouse_buttons = 0;
    int8_t mouse_wheel = 0;
    uint16_t mouse_x = 0, mouse_y = 0;
    float touch_x = 0, touch_y = 0;
    uint8_t keyboard_modifier = 0, keyboard_reserved = 0;
    std::array<uint8_t, 6> keyboard_key{};
};
/// Mouse, touch and keyboard state (id 0x1302). It carries a correct CRC,
/// although hosts accept this one packet without checking it.
Bytes DeviceReport(uint16_t wTick, const DeviceState& d);

// ---- Host to device --------------------------------------------------------

struct Command {
    uint8_t id = 0;
    std::string text;
};

/// Gathers the single-series OUT reports of the host into command packets.
class CCommandAssembler {
public:
    /// One OUT report. Returns the command once its last report has arrived
    /// and the packet is an intact command packet (id 0x1007, valid CRC).
    std::optional<Command> Feed(std::span<const uint8_t> report);

private:
    Bytes m_packet;
};

}  // namespace kyrsim::encoder
