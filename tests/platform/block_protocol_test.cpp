// The protocol of the device blocks, explored: simulated clients open, work
// in and close two devices' blocks through the library's own protocol code,
// over blocks in memory, in every interleaving of their lock holds (two
// clients) or in seeded random ones (three clients), with crashes and lock
// time-outs injected at every step.
//
// The platform is modelled as System V behaves: a block is made zeroed and
// initialised by its first user, a death detaches the dead process and gives
// its lock back but changes no byte, and the last one to detach under the
// lock removes the block. Two devices of one kind share the block of the fixed
// names; which of them the rule gives those names is chosen per opener, as
// devices coming and going may change it between two opens.
//
// KYR_TEST_SCHEDULE_SEED replaces the seed of the random schedules; a failure
// names the seed and the schedule that broke.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Include/KyrHIDLib.h"
#include "KyrDeviceBlock.h"

using namespace kyr_hid_library;

namespace {

constexpr const char* kPaths[] = {"0001:0005:01", "0001:0006:01"};
constexpr int kFixed = 0; // block 0: the fixed names; block 1 + d: device d's path

struct Block {
    bool bExists = false;
    int nAttached = 0;
    KyrHandleSharedMemory mem;
};

// A client's steps, each under a lock, as the handle takes them: Attach maps
// both blocks the device can have (making them when need be), Hold is one of
// the open's holds, DetachOther unmaps the block it did not register in,
// Session is the timer's clean-up of dead slots, Leave gives up its slot (a
// time-out there leaves the mark instead), Detach unmaps a block. A time-out
// of a step of the open ends the open.
enum class Step { Attach, Hold, DetachOther, Session, Leave, Detach };
enum class Fault { None, Timeout, Crash };

struct Client {
    int nDevice = 0;
    unsigned long dwPid = 0;
    std::vector<Step> program;
    size_t nNext = 0;
    size_t nHold = 0;
    bool bAlive = true;
    bool bHolding = false;
    bool bAttached[3] = {};
    int nBlock = -1; // registered in
    OpeningClient open;

    bool Done() const { return !bAlive || nNext == program.size(); }
};

struct World {
    Block blocks[3];
    std::vector<Client> clients;
    int nTimeouts = 0;
    int nCrashes = 0;
    std::string trail; // the schedule so far, for failure messages

    bool IsRunning(unsigned long dwPid) const
    {
        for (const Client& c : clients) {
            if (c.dwPid == dwPid)
                return c.bAlive;
        }
        return false;
    }
};

int PathBlock(int nDevice)
{
    return 1 + nDevice;
}

KyrHandleSharedMemory* Memory(World& w, int nBlock)
{
    return w.blocks[nBlock].bExists ? &w.blocks[nBlock].mem : nullptr;
}

void Attach(World& w, Client& c, int nBlock)
{
    Block& b = w.blocks[nBlock];
    if (!b.bExists) {
        std::memset(&b.mem, 0, sizeof b.mem);
        InitDeviceBlock(&b.mem);
        b.bExists = true;
    }
    ++b.nAttached;
    c.bAttached[nBlock] = true;
}

// bLocked: the detach reached the lock, so the last user removes the block.
void Detach(World& w, Client& c, int nBlock, bool bLocked)
{
    Block& b = w.blocks[nBlock];
    c.bAttached[nBlock] = false;
    if (--b.nAttached == 0 && bLocked)
        b.bExists = false;
}

// After an open that ended: give back whatever is attached.
void EndOpen(Client& c)
{
    c.program.resize(c.nNext);
    for (int i = 0; i < 3; ++i) {
        if (c.bAttached[i])
            c.program.push_back(Step::Detach);
    }
}

int NextAttached(const Client& c)
{
    for (int i = 0; i < 3; ++i) {
        if (c.bAttached[i])
            return i;
    }
    return -1;
}

// Live holders of device d, as the simulated clients know themselves.
std::set<unsigned long> TrueHolders(const World& w, int nDevice)
{
    std::set<unsigned long> holders;
    for (const Client& c : w.clients) {
        if (c.bAlive && c.bHolding && c.nDevice == nDevice)
            holders.insert(c.dwPid);
    }
    return holders;
}

// Runs one step of client i; false with a message on a broken invariant.
bool RunStep(World& w, size_t i, Fault fault, std::string& failure)
{
    Client& c = w.clients[i];
    const Step step = c.program[c.nNext];
    w.trail += std::to_string(i) + "0TC"[static_cast<int>(fault)] + ' ';
    if (fault == Fault::Crash) {
        ++w.nCrashes;
        c.bAlive = false;
        c.bHolding = false;
        for (int b = 0; b < 3; ++b) {
            if (c.bAttached[b])
                Detach(w, c, b, false);
        }
        return true;
    }
    ++c.nNext;
    const bool bTimedOut = fault == Fault::Timeout;
    if (bTimedOut)
        ++w.nTimeouts;
    const FnIsRunning isRunning = [&w](unsigned long dwPid) { return w.IsRunning(dwPid); };
    switch (step) {
    case Step::Attach:
        if (bTimedOut) {
            EndOpen(c);
            break;
        }
        Attach(w, c, PathBlock(c.nDevice));
        Attach(w, c, kFixed);
        break;
    case Step::Hold: {
        if (bTimedOut) {
            EndOpen(c);
            break;
        }
        const DeviceBlocks blocks{Memory(w, kFixed), Memory(w, PathBlock(c.nDevice))};
        const std::set<unsigned long> before = TrueHolders(w, c.nDevice);
        if (!OpenHolds()[c.nHold++](blocks, c.open, isRunning)) {
            if (c.open.nError != KYR_ERROR_DEVICE_BUSY) {
                failure = "refused with " + std::to_string(c.open.nError);
                return false;
            }
            if (before.empty()) {
                failure = "refused as busy while no live client holds the device";
                return false;
            }
            EndOpen(c);
            break;
        }
        if (c.nHold < OpenHolds().size())
            break;
        if (!before.empty()) {
            failure = "two holders of device " + std::to_string(c.nDevice);
            return false;
        }
        c.bHolding = true;
        c.nBlock = c.open.bInFixed ? kFixed : PathBlock(c.nDevice);
        break;
    }
    case Step::DetachOther:
        Detach(w, c, c.nBlock == kFixed ? PathBlock(c.nDevice) : kFixed, !bTimedOut);
        break;
    case Step::Session:
        if (!bTimedOut)
            FreeDeadSlots(w.blocks[c.nBlock].mem, c.dwPid, isRunning);
        break;
    case Step::Leave:
        c.bHolding = false;
        if (bTimedOut)
            MarkLeft(w.blocks[c.nBlock].mem, c.open.nSlot);
        else
            LeaveBlock(w.blocks[c.nBlock].mem, c.open.nSlot, c.dwPid);
        break;
    case Step::Detach:
        Detach(w, c, c.nBlock >= 0 && c.bAttached[c.nBlock] ? c.nBlock : NextAttached(c), !bTimedOut);
        break;
    }
    return true;
}

int TakenSlots(const KyrHandleSharedMemory& mem)
{
    int n = 0;
    for (short nMode : mem.nClientInstantMode)
        n += nMode != kFreeSlot;
    return n;
}

// The invariants that hold between any two steps: the client count is the
// number of slots taken (by live clients, and by dead ones until somebody
// frees them); a device has one holder at most; the holders query names the
// live holders, and only them.
bool Check(World& w, std::string& failure)
{
    for (const Block& b : w.blocks) {
        if (b.bExists && b.mem.lLockCount != TakenSlots(b.mem)) {
            failure = "client count " + std::to_string(b.mem.lLockCount) + " with " +
                      std::to_string(TakenSlots(b.mem)) + " slots taken";
            return false;
        }
    }
    const FnIsRunning isRunning = [&w](unsigned long dwPid) { return w.IsRunning(dwPid); };
    static const KyrHandleSharedMemory empty = [] {
        KyrHandleSharedMemory block;
        InitDeviceBlock(&block);
        return block;
    }();
    for (int d = 0; d < 2; ++d) {
        const std::set<unsigned long> truth = TrueHolders(w, d);
        if (truth.size() > 1) {
            failure = "two holders of device " + std::to_string(d);
            return false;
        }
        KyrHandleSharedMemory* pPath = Memory(w, PathBlock(d));
        const DeviceBlocks blocks{Memory(w, kFixed), pPath != nullptr ? pPath : const_cast<KyrHandleSharedMemory*>(&empty)};
        unsigned long pids[4] = {};
        const int n = FindHolders(blocks, kPaths[d], d == 0, isRunning, pids, 4);
        if (std::set<unsigned long>(pids, pids + std::min(n, 4)) != truth || n != static_cast<int>(truth.size())) {
            failure = "holders query says " + std::to_string(n) + " for device " + std::to_string(d);
            return false;
        }
    }
    return true;
}

Client MakeClient(int nDevice, bool bFixedNow, unsigned long dwPid)
{
    Client c;
    c.nDevice = nDevice;
    c.dwPid = dwPid;
    c.open.dwPid = dwPid;
    c.open.pszPath = kPaths[nDevice];
    c.open.bFixedNamesNow = bFixedNow;
    c.open.nMode = 0x20;
    c.program.push_back(Step::Attach);
    c.program.insert(c.program.end(), OpenHolds().size(), Step::Hold);
    c.program.insert(c.program.end(), {Step::DetachOther, Step::Session, Step::Leave, Step::Detach});
    return c;
}

// Once every client has ended or died: each device opens for a newcomer
// (both taking the fixed names by rule), the holders query names it, and
// after it closes nothing is left taken.
bool CheckAfterAll(World w, std::string& failure)
{
    const size_t nFirst = w.clients.size();
    for (int d = 0; d < 2; ++d)
        w.clients.push_back(MakeClient(d, true, 900 + d));
    for (size_t i = nFirst; i < w.clients.size(); ++i) {
        while (w.clients[i].program[w.clients[i].nNext] != Step::Session) {
            if (!RunStep(w, i, Fault::None, failure))
                return false;
        }
        if (!w.clients[i].bHolding) {
            failure = "device " + std::to_string(w.clients[i].nDevice) + " left unopenable";
            return false;
        }
    }
    if (!Check(w, failure))
        return false;
    for (size_t i = nFirst; i < w.clients.size(); ++i) {
        while (!w.clients[i].Done()) {
            if (!RunStep(w, i, Fault::None, failure))
                return false;
        }
    }
    for (const Block& b : w.blocks) {
        if (b.bExists && (TakenSlots(b.mem) != 0 || b.mem.lLockCount != 0)) {
            failure = "a slot left taken after everyone closed";
            return false;
        }
    }
    return true;
}

// What a newcomer meets: the blocks as the clients left them. Schedules that
// end alike need the check after all only once.
std::string EndState(const World& w)
{
    std::string state;
    for (const Block& b : w.blocks) {
        state += b.bExists ? '1' : '0';
        if (b.bExists)
            state.append(reinterpret_cast<const char*>(&b.mem), sizeof b.mem);
    }
    for (const Client& c : w.clients)
        state += c.bAlive ? 'a' : 'd';
    return state;
}

struct Bounds {
    int nMaxTimeouts;
    int nMaxCrashes;
};

struct Tally {
    long nSchedules = 0;
    long nSteps = 0;
    std::string failure;
    std::set<size_t> endStates; // hashes of EndState
};

// The check after all, once per end state.
void CheckEnd(const World& w, Tally& tally)
{
    if (!tally.endStates.insert(std::hash<std::string>()(EndState(w))).second)
        return;
    std::string failure;
    if (!CheckAfterAll(w, failure))
        tally.failure = failure + " after " + w.trail;
}

// Every interleaving, with every fault within the bounds, from w on.
void Explore(const World& w, const Bounds& bounds, Tally& tally)
{
    if (!tally.failure.empty())
        return;
    bool bAnyLeft = false;
    for (size_t i = 0; i < w.clients.size(); ++i) {
        if (w.clients[i].Done())
            continue;
        bAnyLeft = true;
        for (Fault fault : {Fault::None, Fault::Timeout, Fault::Crash}) {
            if ((fault == Fault::Timeout && w.nTimeouts >= bounds.nMaxTimeouts) ||
                (fault == Fault::Crash && w.nCrashes >= bounds.nMaxCrashes))
                continue;
            World next = w;
            std::string failure;
            ++tally.nSteps;
            if (!RunStep(next, i, fault, failure) || !Check(next, failure)) {
                tally.failure = failure + " after " + next.trail;
                return;
            }
            Explore(next, bounds, tally);
        }
    }
    if (!bAnyLeft) {
        ++tally.nSchedules;
        CheckEnd(w, tally);
    }
}

unsigned long SeedFromEnvironment(unsigned long dwDefault)
{
    const char* psz = std::getenv("KYR_TEST_SCHEDULE_SEED");
    return psz != nullptr ? std::strtoul(psz, nullptr, 0) : dwDefault;
}

void Report(const char* pszWhat, const Tally& tally, std::chrono::steady_clock::time_point start)
{
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %ld schedules, %ld steps in %lld ms\n", pszWhat, tally.nSchedules, tally.nSteps,
                static_cast<long long>(ms));
    ::testing::Test::RecordProperty("schedules", static_cast<int>(tally.nSchedules));
    ::testing::Test::RecordProperty("milliseconds", static_cast<int>(ms));
}

} // namespace

// Two clients, every interleaving of their steps, up to two crashes and one
// lock time-out anywhere. Configurations: the same device or two, each client
// with the fixed names or without when it opens.
class BlockProtocolTwoClients : public ::testing::TestWithParam<int> {};

TEST_P(BlockProtocolTwoClients, EveryInterleaving)
{
    const int nConfig = GetParam();
    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    World w;
    w.clients.push_back(MakeClient(0, (nConfig & 1) != 0, 101));
    w.clients.push_back(MakeClient((nConfig & 4) != 0 ? 1 : 0, (nConfig & 2) != 0, 102));
    Explore(w, Bounds{1, 2}, tally);
    Report(("two clients, configuration " + std::to_string(nConfig)).c_str(), tally, start);
    EXPECT_EQ(tally.failure, "");
    EXPECT_GT(tally.nSchedules, 10000);
}

INSTANTIATE_TEST_SUITE_P(Configurations, BlockProtocolTwoClients, ::testing::Range(0, 8));

// Three clients over two devices, in 100,000 random schedules (four shards of
// 25,000, each schedule seeded by the seed plus its number): each step a
// random client runs, crashes (one in ten) or meets a lock time-out (one in
// ten).
class BlockProtocolThreeClients : public ::testing::TestWithParam<int> {};

TEST_P(BlockProtocolThreeClients, SeededSchedules)
{
    constexpr long kSchedules = 25000;
    const unsigned long dwSeed = SeedFromEnvironment(20261207);
    const auto start = std::chrono::steady_clock::now();
    Tally tally;
    const long nFirst = GetParam() * kSchedules;
    for (long n = nFirst; n < nFirst + kSchedules && tally.failure.empty(); ++n) {
        std::mt19937_64 random(dwSeed + static_cast<unsigned long>(n));
        World w;
        for (unsigned long i = 0; i < 3; ++i)
            w.clients.push_back(MakeClient(static_cast<int>(random() % 2), random() % 2 == 0, 101 + i));
        std::string failure;
        for (;;) {
            std::vector<size_t> runnable;
            for (size_t i = 0; i < w.clients.size(); ++i) {
                if (!w.clients[i].Done())
                    runnable.push_back(i);
            }
            if (runnable.empty())
                break;
            const size_t i = runnable[random() % runnable.size()];
            const int nDice = static_cast<int>(random() % 10);
            const Fault fault = nDice == 0 ? Fault::Crash : nDice == 1 ? Fault::Timeout : Fault::None;
            ++tally.nSteps;
            if (!RunStep(w, i, fault, failure) || !Check(w, failure))
                break;
        }
        ++tally.nSchedules;
        if (failure.empty())
            CheckEnd(w, tally);
        else
            tally.failure = failure + " after " + w.trail;
        if (!tally.failure.empty())
            tally.failure = "seed " + std::to_string(dwSeed) + " schedule " + std::to_string(n) + ": " + tally.failure;
    }
    Report(("three clients, shard " + std::to_string(GetParam())).c_str(), tally, start);
    EXPECT_EQ(tally.failure, "");
}

INSTANTIATE_TEST_SUITE_P(Shards, BlockProtocolThreeClients, ::testing::Range(0, 4));
