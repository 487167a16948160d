// A device's shared block: where it lives (the names of the block and of its
// lock), and the protocol by which the clients of all processes meet in it.
//
// The protocol is written as functions over the mapped blocks, each meant to
// run under one hold of their locks, so that the handle and the holder lookup
// run it on the real blocks and a test runs the same code over blocks in
// memory, through every interleaving of the holds.
#pragma once

#include <functional>
#include <span>

#include "Include/HID.h"
#include "KyrSharedMemory.h"

namespace kyr_hid_library {

// The block's client slots; a free one holds all ones as its mode.
constexpr int kSlots = 256;
constexpr short kFreeSlot = -1; // 0xFFFF
// Slots whose owner can mark that it left without the lock.
constexpr int kLeaveMarks = sizeof(KyrHandleSharedMemory::bLeft);

// Whether the device (its ids and path) is the one that takes the fixed
// object names: device 0 of the first kind in the priority list that is
// attached. Enumerates through hid, which replaces hid's current record.
bool IsFirstDeviceOf(CHID& hid, unsigned short nVendorID, unsigned short nProductID, unsigned short nMI,
                     const char* pszPath);
// Whether a device of these ids takes the fixed names when it is the first
// of its kind present: its kind is in the priority list.
bool CanTakeFixedNames(unsigned short nVendorID, unsigned short nProductID, unsigned short nMI);

// The names of the block and of its lock; false when they do not fit (a
// path that is no device path).
bool FormatDeviceBlockNames(bool bFirst, const char* pszPath, char (&szLockName)[512], char (&szBlockName)[512]);

// Initialises a block its creator has just made: every slot free.
void InitDeviceBlock(void* pMemory);

// Sets the last error of a block access that failed: KYR_ERROR_TIMEOUT when
// its lock stayed taken beyond its bound, else KYR_ERROR_UNKNOWN.
void SetBlockError(const CKyrSharedMemory& SharedMemory);

// Maps the block a device has under the fixed names (bFixed) or under its
// path, making and initialising it when nobody has it.
bool AttachDeviceBlock(CKyrSharedMemory& SharedMemory, bool bFixed, const char* pszPath);

// ---- The protocol -------------------------------------------------------------------
//
// A device has one holder at a time, registered in slot 0 of one block. The
// block is the one the device's names give it now, unless that is the block
// of the fixed names and another device's holder has it: then the one named
// after its path. Which device a holder of the fixed block holds is the path
// it recorded there; one that recorded none (a peer that does not know the
// record) holds whichever device takes the fixed names now. Every holder of
// a path's block holds that path's device.

// Whether a process runs; the library asks /proc, a test its own model.
using FnIsRunning = std::function<bool(unsigned long dwProcessId)>;

// Frees the taken slots whose owner marked that it left, and those whose
// owner no longer runs, unless even dwSelf is not seen running (then
// nobody's liveness can be judged). Under the block's lock.
void FreeDeadSlots(KyrHandleSharedMemory& block, unsigned long dwSelf, const FnIsRunning& fnIsRunning);

// The blocks a device can be registered in: the one of the fixed names (null
// for a device that never takes them) and the one named after its path.
struct DeviceBlocks {
    KyrHandleSharedMemory* pFixed;
    KyrHandleSharedMemory* pPath;
};

// A client on its way in, and where its open came to.
struct OpeningClient {
    unsigned long dwPid;
    const char* pszPath;
    bool bFixedNamesNow; // the device takes the fixed names now
    short nMode;         // its data modes, for its slot

    int nError = 0;         // the open's refusal (KYR_ERROR_*), once a hold ended it
    bool bInFixed = false;  // registered in the block of the fixed names
    int nSlot = -1;         // the slot taken
};

// One hold of an open, with the locks of both blocks held, the fixed one
// first. False when the open ends there, refused (nError).
using OpenHold = bool (*)(const DeviceBlocks& blocks, OpeningClient& client, const FnIsRunning& fnIsRunning);
// The holds of an open, in order: the dead are let go, the device tested for
// a live holder and the client registered in one hold, since two openers
// could both pass a test that is apart from the registration.
std::span<const OpenHold> OpenHolds();

// A registered client leaves its slot, under the block's lock. A slot that
// no longer records dwPid was freed by somebody else and may be another
// client's by now: it, and the count, are left alone.
void LeaveBlock(KyrHandleSharedMemory& block, int nSlot, unsigned long dwPid);
// The same without the lock, which stayed taken: marks the slot as left, for
// the next one who frees slots under the lock. False for a slot without a mark.
bool MarkLeft(KyrHandleSharedMemory& block, int nSlot);

// The live holders of the device at pszPath, under the locks of both blocks
// (the fixed one first): their number, the first nMax process ids in pPids.
int FindHolders(const DeviceBlocks& blocks, const char* pszPath, bool bFixedNamesNow, const FnIsRunning& fnIsRunning,
                unsigned long* pPids, int nMax);

} // namespace kyr_hid_library
