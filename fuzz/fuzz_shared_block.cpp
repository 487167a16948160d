// The shared blocks as another process may have left them: any bytes in
// every field of a device's block and of the download flag. Three readers
// meet them: the dead-slot clean-up on its own, a handle registering in,
// working with and leaving a device's block, and the download gate reading
// the flag's owner.
//
// Input: [flags][4-byte download mark][device block image, zero-padded to
// its size]. An owner id of 2 (slot, path record or mark) stands for this process, so
// that live owners other than init (1) are within the fuzzer's reach.
// Flags: bit 0 the handle's exclusive mode, bits 1-2 where the peer scribbles
// over the block once the handle is in (nowhere, everything, slot 0 only).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "Include/KyrHIDLib.h"
#include "KyrFWDnCheck.h"
#include "KyrHandle.h"
#include "KyrLastError.h"
#include "KyrProcessChecker.h"
#include "KyrSharedMemory.h"
#include "fuzz_check.h"
#include "fuzz_private_tmpdir.h"

using namespace kyr_hid_library;

namespace {

// Names other processes find the blocks by.
constexpr char kDeviceLock[] = "ZarnHandle@SYNC_OBJECT@fuzz";
constexpr char kDeviceBlock[] = "ZarnHandle@SHARED_MEMORY@fuzz";
constexpr char kDownloadLock[] = "ZarnDownloadCheck@SYNC_OBJECT";
constexpr char kDownloadBlock[] = "ZarnDownloadCheck@SHARED_MEMORY";

constexpr std::int16_t kFree = -1;

std::uint64_t Owner(std::uint64_t nId)
{
    return nId == 2 ? static_cast<std::uint64_t>(::getpid()) : nId;
}

bool Alive(std::uint64_t nId)
{
    if (nId == 0)
        return false;
    struct stat st;
    return ::stat(("/proc/" + std::to_string(nId) + "/cmdline").c_str(), &st) == 0;
}

// The block as a peer left it, with this process's stand-in resolved.
KyrHandleSharedMemory BlockFrom(const std::uint8_t* p, std::size_t n)
{
    KyrHandleSharedMemory block;
    std::memset(&block, 0, sizeof block);
    std::memcpy(&block, p, std::min(n, sizeof block));
    for (auto& id : block.dwUniqueId)
        id = Owner(id);
    block.dwPathOwner = Owner(block.dwPathOwner);
    return block;
}

// What a clean-up leaves: taken slots of dead owners, and those their owners
// marked as left, freed (mark and the owner's path record cleared too), the
// count lowered once per freed slot but never below zero, control released
// when anything was freed; every other byte as it was.
KyrHandleSharedMemory ExpectFreed(const KyrHandleSharedMemory& before)
{
    KyrHandleSharedMemory after = before;
    bool bFreed = false;
    for (int i = 0; i < 256; ++i) {
        const bool bLeft = i < static_cast<int>(sizeof before.bLeft) && before.bLeft[i] != 0;
        if (before.nClientInstantMode[i] == kFree || (!bLeft && Alive(before.dwUniqueId[i])))
            continue;
        if (after.dwPathOwner == after.dwUniqueId[i]) {
            after.dwPathOwner = 0;
            std::memset(after.szHolderPath, 0, sizeof after.szHolderPath);
        }
        if (bLeft)
            after.bLeft[i] = 0;
        after.nClientInstantMode[i] = kFree;
        after.dwUniqueId[i] = 0;
        after.bUseExclusiveApp[i] = 0;
        if (after.lLockCount > 0)
            --after.lLockCount;
        bFreed = true;
    }
    if (bFreed) {
        after.dwClientFGstValue = ~0ULL;
        after.nControlClientID = -1;
    }
    return after;
}

bool SameBytes(const KyrHandleSharedMemory& a, const KyrHandleSharedMemory& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

bool OtherSlotsAlike(const KyrHandleSharedMemory& a, const KyrHandleSharedMemory& b)
{
    for (int i = 1; i < 256; ++i) {
        if (a.nClientInstantMode[i] != b.nClientInstantMode[i] || a.dwUniqueId[i] != b.dwUniqueId[i] ||
            a.bUseExclusiveApp[i] != b.bUseExclusiveApp[i])
            return false;
    }
    return true;
}

class CDownloadSink : public CKyrHandle::IKyrHandleNotify {
public:
    int m_nStarted = 0;
    int m_nEnded = 0;
    void TPDP_OnDownloadingFirmware(KyrDevData*, bool bDownloading) override { ++(bDownloading ? m_nStarted : m_nEnded); }
    bool WatchesDownloads() const override { return true; }
};

// A handle that registers in a device's block without a device behind it.
class CBlockHandle : public CKyrHandle {
public:
    bool Register(KyrDevData& data) { return CreateSyncObjects(&data); }
    void Leave() { DestroySyncObjects(); }
    int ServerModes(unsigned long dwFGstValue, unsigned long& dwServerFGst)
    {
        int nModes = 0;
        dwServerFGst = ~0UL;
        GetSyncServerValue(dwFGstValue, dwServerFGst, nModes);
        return nModes;
    }
    bool Control() { return IsAvailableControlMode(); }
    bool Gate() { return PassDownloadGate(); }
};

class CPeer {
public:
    bool Open(const char* szLock, const char* szBlock, std::size_t nSize, const void* pInit)
    {
        bool bInit = false;
        return m_Memory.Create(szLock, szBlock, nSize, bInit, [&](void* p) { std::memcpy(p, pInit, nSize); });
    }
    template <typename Fn>
    void Write(Fn&& fn)
    {
        CKyrSharedMemory::Locker lock(m_Memory);
        FUZZ_CHECK(lock.IsLocked());
        fn(m_Memory.GetMemory());
    }

private:
    CKyrSharedMemory m_Memory;
};

void FuzzFreeDeadSlots(const KyrHandleSharedMemory& image)
{
    KyrHandleSharedMemory block = image;
    CKyrProcessChecker::FreeDeadSlots(block);
    const KyrHandleSharedMemory expected = ExpectFreed(image);
    FUZZ_CHECK(SameBytes(block, expected));
}

void FuzzHandleInBlock(const KyrHandleSharedMemory& image, std::uint8_t flags)
{
    CPeer peer;
    FUZZ_CHECK(peer.Open(kDeviceLock, kDeviceBlock, sizeof image, &image));
    CBlockHandle handle;
    const int nMode = image.nInstantMode & 0x3FF; // any modes asked for before opening
    handle.SetInstantMode(nMode, 5000, ~0UL);
    KyrDevData data;
    std::memset(&data, 0, sizeof data);
    std::strcpy(data.szDevPath, "fuzz");

    const KyrHandleSharedMemory cleaned = ExpectFreed(image);
    const bool bAnyTaken = std::any_of(std::begin(cleaned.nClientInstantMode), std::end(cleaned.nClientInstantMode),
                                       [](std::int16_t n) { return n != kFree; });
    SetLastError(KYR_SUCCESS);
    const bool bRegistered = handle.Register(data);
    FUZZ_CHECK(bRegistered == !bAnyTaken);
    KyrHandleSharedMemory seen;
    peer.Write([&](void* p) { std::memcpy(&seen, p, sizeof seen); });
    if (!bRegistered) {
        FUZZ_CHECK(GetLastError() == KYR_ERROR_DEVICE_BUSY);
        FUZZ_CHECK(SameBytes(seen, cleaned));
        handle.Leave();
        return;
    }
    KyrHandleSharedMemory expected = cleaned;
    expected.lLockCount = 1;
    expected.nClientInstantMode[0] = static_cast<std::int16_t>(nMode);
    expected.dwUniqueId[0] = static_cast<std::uint64_t>(::getpid());
    // A stale left mark on the slot it takes would make it count as free.
    expected.bLeft[0] = 0;
    // The holder records which device it holds.
    expected.dwPathOwner = expected.dwUniqueId[0];
    std::memset(expected.szHolderPath, 0, sizeof expected.szHolderPath);
    std::strcpy(expected.szHolderPath, data.szDevPath);
    FUZZ_CHECK(SameBytes(seen, expected));

    // Another process scribbles over the block while this client is in.
    const int nScribble = (flags >> 1) & 3;
    if (nScribble == 1) {
        peer.Write([&](void* p) { std::memcpy(p, &image, sizeof image); });
        seen = image;
    } else if (nScribble >= 2) {
        seen.nClientInstantMode[0] = image.nClientInstantMode[0];
        seen.dwUniqueId[0] = image.dwUniqueId[0];
        seen.nControlClientID = image.nControlClientID;
        seen.lLockCount = image.lLockCount;
        peer.Write([&](void* p) { std::memcpy(p, &seen, sizeof seen); });
    }

    const bool bExclusive = (flags & 1) != 0;
    handle.UseExclusiveMode(bExclusive);
    unsigned long dwServerFGst = 0;
    const int nModes = handle.ServerModes(static_cast<unsigned long>(image.dwExclusiveFGstValue), dwServerFGst);
    KyrHandleSharedMemory now;
    peer.Write([&](void* p) { std::memcpy(&now, p, sizeof now); });
    FUZZ_CHECK(OtherSlotsAlike(now, seen));
    FUZZ_CHECK(now.bUseExclusiveApp[0] == (bExclusive ? 1 : 0));
    FUZZ_CHECK(now.nClientInstantMode[0] == nMode);
    int nExpectedModes = 0;
    for (std::int16_t n : now.nClientInstantMode) {
        if (n != kFree)
            nExpectedModes |= n;
    }
    FUZZ_CHECK(nModes == nExpectedModes && now.nInstantMode == static_cast<std::int16_t>(nModes));
    const bool bAnyExclusive = std::any_of(std::begin(now.bUseExclusiveApp), std::end(now.bUseExclusiveApp),
                                           [](std::uint8_t b) { return b != 0; });
    if (bAnyExclusive)
        FUZZ_CHECK(dwServerFGst == now.dwExclusiveFGstValue);

    const std::int32_t nControlBefore = now.nControlClientID;
    const std::int64_t nCountBefore = now.lLockCount;
    const bool bControl = handle.Control();
    peer.Write([&](void* p) { std::memcpy(&now, p, sizeof now); });
    FUZZ_CHECK(bControl == (nCountBefore == 1 || nControlBefore == -1 || nControlBefore == 0));
    FUZZ_CHECK(OtherSlotsAlike(now, seen));

    const KyrHandleSharedMemory beforeLeave = now;
    handle.Leave();
    peer.Write([&](void* p) { std::memcpy(&now, p, sizeof now); });
    FUZZ_CHECK(OtherSlotsAlike(now, beforeLeave));
    // The slot is given up only while it still records this process.
    const bool bOurs = beforeLeave.nClientInstantMode[0] != kFree &&
                       beforeLeave.dwUniqueId[0] == static_cast<std::uint64_t>(::getpid());
    if (bOurs) {
        FUZZ_CHECK(now.nClientInstantMode[0] == kFree && now.dwUniqueId[0] == 0 && now.bUseExclusiveApp[0] == 0);
        FUZZ_CHECK(now.lLockCount == (beforeLeave.lLockCount > 0 ? beforeLeave.lLockCount - 1 : beforeLeave.lLockCount));
    } else {
        FUZZ_CHECK(SameBytes(now, beforeLeave));
    }
}

void FuzzDownloadMark(std::int32_t nRawMark)
{
    const std::int32_t nMark = nRawMark == 2 ? static_cast<std::int32_t>(::getpid()) : nRawMark;
    CPeer peer;
    const std::int32_t nZero = 0;
    FUZZ_CHECK(peer.Open(kDownloadLock, kDownloadBlock, sizeof nZero, &nZero));
    peer.Write([&](void* p) { std::memcpy(p, &nMark, sizeof nMark); });

    // A mark names a live download unless it is 0 or names a process id
    // above init that no longer runs; a dead owner's mark is cleared.
    const bool bDownloading = nMark != 0 && (nMark <= 1 || Alive(static_cast<std::uint64_t>(nMark)));
    auto pSink = std::make_shared<CDownloadSink>();
    CBlockHandle handle;
    handle.SetNotify(pSink);
    SetLastError(KYR_SUCCESS);
    FUZZ_CHECK(handle.Gate() == !bDownloading);
    std::int32_t nNow = 0;
    peer.Write([&](void* p) { std::memcpy(&nNow, p, sizeof nNow); });
    FUZZ_CHECK(nNow == (bDownloading ? nMark : 0));
    FUZZ_CHECK(pSink->m_nStarted == (bDownloading ? 1 : 0) && pSink->m_nEnded == 0);
    if (bDownloading)
        FUZZ_CHECK(GetLastError() == KYR_ERROR_FIRMWARE_DOWNLOAD);

    // The download ends: the next pass lets traffic out and says so once.
    peer.Write([&](void* p) { std::memcpy(p, &nZero, sizeof nZero); });
    FUZZ_CHECK(handle.Gate());
    FUZZ_CHECK(pSink->m_nEnded == (bDownloading ? 1 : 0));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    TmpDir();
    if (size < 5)
        return 0;
    std::int32_t nMark;
    std::memcpy(&nMark, data + 1, sizeof nMark);
    const KyrHandleSharedMemory image = BlockFrom(data + 5, size - 5);
    FuzzFreeDeadSlots(image);
    FuzzHandleInBlock(image, data[0]);
    FuzzDownloadMark(nMark);
    return 0;
}
