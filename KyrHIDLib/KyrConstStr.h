// Constant texts of the device protocol: command words the device parses and
// the part tags the decoder puts into kyrpacket.partid. Devices and
// applications match these byte for byte.
#pragma once

namespace kyr_hid_library {

// Command texts.
inline constexpr char cstrInstantMode[] = "instant_mode";
inline constexpr char cstrInstantModePrefix[] = "instant_mode=";
inline constexpr char cstrInstantModeQuery[] = "?";
// name=letters,expire  and  name=letters,expire,gesture value (at least eight hex digits).
inline constexpr char cstrInstantModeFormat[] = "%s=%s,%d";
inline constexpr char cstrInstantModeFgstFormat[] = "%s=%s,%d,0x%08lx";

// Part tags of decoded records; the decoder may append the unit number ("1",
// "2") and the sub-unit mark ("-1").
inline constexpr char cstrPartVer[] = "VER";
inline constexpr char cstrPartObj[] = "OBJ";
inline constexpr char cstrPartObc[] = "OBC";
inline constexpr char cstrPartDtc[] = "DTC";
inline constexpr char cstrPartIrd[] = "IRD";
inline constexpr char cstrPartItd[] = "ITD";
inline constexpr char cstrPartPrv[] = "PRV";
inline constexpr char cstrPartCmd[] = "CMD";
inline constexpr char cstrPartRsp[] = "RSP";
inline constexpr char cstrPartRsc[] = "RSC";
inline constexpr char cstrPartRse[] = "RSE";
inline constexpr char cstrPartStt[] = "STT";
inline constexpr char cstrPartTpt[] = "TPT";
inline constexpr char cstrPartGst[] = "GST";
inline constexpr char cstrPartDvc[] = "DVC";

} // namespace kyr_hid_library
