// Where a device's shared block lives: the names of the block and its lock,
// and how a new block starts. Used by the handle that registers in the block
// and by the holder lookup that only reads it.
#pragma once

#include "Include/HID.h"

namespace kyr_hid_library {

// The block's client slots; a free one holds all ones as its mode.
constexpr int kSlots = 256;
constexpr short kFreeSlot = -1; // 0xFFFF

// Whether the device (its ids and path) is the one that takes the fixed
// object names: device 0 of the first kind in the priority list that is
// attached. Enumerates through hid, which replaces hid's current record.
bool IsFirstDeviceOf(CHID& hid, unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                     const char* pszPath);

// The names of the block and of its lock; false when they do not fit (a
// path that is no device path).
bool FormatDeviceBlockNames(bool bFirst, const char* pszPath, char (&szLockName)[512], char (&szBlockName)[512]);

// Initialises a block its creator has just made: every slot free.
void InitDeviceBlock(void* pMemory);

} // namespace kyr_hid_library
