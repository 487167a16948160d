// Decoded packets as one text line or as one JSON object, shared by the
// subcommands that print packets.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "KyrHIDLib.h"

namespace kyrhid {

// "msg", "rsp" ...; "?" for an unknown kind.
const char* TypeName(short nType);
// Text of a fixed-size field that need not end in a NUL.
std::string FieldText(const char* pText, size_t nMax);
std::string PacketLine(const kyrpacket& packet, bool bSync);
// Every field of the record that its kind defines; variable tails are cut to
// the record's length.
nlohmann::json PacketJson(const kyrpacket& packet, bool bSync);

} // namespace kyrhid
