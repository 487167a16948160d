// What the protocol device makes of what the host sends: the answers to its
// text commands, the instant-mode request, and the raw firmware queries.
// Pure functions; the model decides when and how the answers go out.
#pragma once

#include "PacketEncoder.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kyrsim::kyr {

struct TextPacket {
    encoder::TextKind kind = encoder::TextKind::Response;
    std::string text;
};

struct DeviceView {
    std::string szLetters;  // instant-mode letters in force
    std::optional<uint64_t> gesture;  // the gesture value that came with them
    uint64_t qwUptimeMs = 0;
    uint64_t qwCommands = 0;
};

/// The packets that answer one command, in order; the last one is the final
/// response (Response, or ResponseRse for "rse"). Long answers come as
/// ResponseContinued pieces of at most nChunk bytes before it.
std::vector<TextPacket> AnswerCommand(std::string_view szCommand, const DeviceView& view, size_t nChunk);

/// Cuts a response text into ResponseContinued pieces and a final piece of
/// the given kind.
std::vector<TextPacket> Pieces(std::string_view szText, size_t nChunk,
                               encoder::TextKind final = encoder::TextKind::Response);

struct InstantRequest {
    std::string szLetters;  // canonical
    long lTimeMs = 5000;
    std::optional<uint64_t> gesture;
};

/// "instant_mode=LETTERS[,TIME[,GESTURE]]", read the way the host writes it
/// (time in strtol base 0, 5000 without a comma; gesture in hex). nullopt for
/// any other text, "instant_mode=?" included.
std::optional<InstantRequest> ParseInstantMode(std::string_view szCommand);

inline constexpr std::string_view kInstantModeQuery = "instant_mode=?";

enum class QueryKind { Mode, IapVersion, AppVersion };
struct Query {
    QueryKind kind = QueryKind::Mode;
    uint16_t wAddr = 0;
};

/// A firmware query: one report of type 1 holding the whole packet and its
/// CRC (size 6 for the mode and IAP-version queries, 33 for the application
/// version query). nullopt for anything else.
std::optional<Query> ParseQuery(std::span<const uint8_t> report);

/// The version every unit reports; the main module's is the "version" text.
encoder::VersionInfo UnitVersion(uint16_t wAddr);
inline constexpr uint16_t kIapModel = 0x0031;

}  // namespace kyrsim::kyr
