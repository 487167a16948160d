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

#include <algorithm>
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

// A client's steps, each under a lock, as the handle takes them: Attach maps
// both blocks the device can have (making them when need be), Hold is one of
// the open's holds, DetachOther unmaps the block it did not register in,
// Session is the timer's clean-up of dead slots, Leave gives up its slot (a
// time-out there leaves the mark instead), Detach unmaps a block. A time-out
// of a step of the open ends the open.
enum class Step { Attach, Hold, DetachOther, Session, Leave, Detach };
enum class Fault { None, Timeout, Crash };

struct Client {
    Client(int nDeviceIn, bool bFixedNow, unsigned long dwPidIn) : nDevice(nDeviceIn), dwPid(dwPidIn)
    {
        open.dwPid = dwPid;
        open.pszPath = kPaths[nDevice];
        open.bFixedNamesNow = bFixedNow;
        open.nMode = 0x20;
        program.push_back(Step::Attach);
        program.insert(program.end(), OpenHolds().size(), Step::Hold);
        program.insert(program.end(), {Step::DetachOther, Step::Session, Step::Leave, Step::Detach});
    }

    bool Done() const { return !bAlive || nNext == program.size(); }

    // After an open that ended: give back whatever is attached.
    void EndOpen()
    {
        program.resize(nNext);
        program.insert(program.end(), std::count(bAttached, bAttached + 3, true), Step::Detach);
    }

    int nDevice;
    unsigned long dwPid;
    std::vector<Step> program;
    size_t nNext = 0;
    size_t nHold = 0;
    bool bAlive = true;
    bool bHolding = false;
    bool bAttached[3] = {};
    int nBlock = -1; // registered in
    OpeningClient open;
};

struct Block {
    bool bExists = false;
    int nAttached = 0;
    KyrHandleSharedMemory mem;
};

// A broken invariant, with the schedule that broke it.
struct Broken { std::string what; };

int TakenSlots(const KyrHandleSharedMemory& mem)
{
    return static_cast<int>(std::count_if(std::begin(mem.nClientInstantMode), std::end(mem.nClientInstantMode),
                                          [](short nMode) { return nMode != kFreeSlot; }));
}

struct World {
    Block blocks[3];
    std::vector<Client> clients;
    int nTimeouts = 0;
    int nCrashes = 0;
    std::string trail; // the schedule so far, for failure messages

    [[noreturn]] void Fail(const std::string& what) const { throw Broken{what + " after " + trail}; }

    FnIsRunning IsRunning() const
    {
        return [this](unsigned long dwPid) {
            for (const Client& c : clients) {
                if (c.dwPid == dwPid)
                    return c.bAlive;
            }
            return false;
        };
    }

    KyrHandleSharedMemory* Memory(int nBlock) { return blocks[nBlock].bExists ? &blocks[nBlock].mem : nullptr; }

    void Attach(Client& c, int nBlock)
    {
        Block& b = blocks[nBlock];
        if (!b.bExists) {
            std::memset(&b.mem, 0, sizeof b.mem);
            InitDeviceBlock(&b.mem);
            b.bExists = true;
        }
        ++b.nAttached;
        c.bAttached[nBlock] = true;
    }

    // bLocked: the detach reached the lock, so the last user removes the block.
    void Detach(Client& c, int nBlock, bool bLocked)
    {
        c.bAttached[nBlock] = false;
        if (--blocks[nBlock].nAttached == 0 && bLocked)
            blocks[nBlock].bExists = false;
    }

    // Live holders of device d, as the simulated clients know themselves.
    std::set<unsigned long> TrueHolders(int nDevice) const
    {
        std::set<unsigned long> holders;
        for (const Client& c : clients) {
            if (c.bAlive && c.bHolding && c.nDevice == nDevice)
                holders.insert(c.dwPid);
        }
        return holders;
    }

    // Runs one step of client i.
    void RunStep(size_t i, Fault fault)
    {
        Client& c = clients[i];
        const Step step = c.program[c.nNext];
        trail += std::to_string(i) + "0TC"[static_cast<int>(fault)] + ' ';
        if (fault == Fault::Crash) {
            ++nCrashes;
            c.bAlive = c.bHolding = false;
            for (int b = 0; b < 3; ++b) {
                if (c.bAttached[b])
                    Detach(c, b, false);
            }
            return;
        }
        ++c.nNext;
        const bool bTimedOut = fault == Fault::Timeout;
        nTimeouts += bTimedOut;
        const int nPathBlock = 1 + c.nDevice;
        if (bTimedOut && (step == Step::Attach || step == Step::Hold)) {
            c.EndOpen();
            return;
        }
        switch (step) {
        case Step::Attach:
            Attach(c, nPathBlock);
            Attach(c, kFixed);
            break;
        case Step::Hold: {
            const std::set<unsigned long> before = TrueHolders(c.nDevice);
            if (!OpenHolds()[c.nHold++](DeviceBlocks{Memory(kFixed), Memory(nPathBlock)}, c.open, IsRunning())) {
                if (c.open.nError != KYR_ERROR_DEVICE_BUSY)
                    Fail("refused with " + std::to_string(c.open.nError));
                if (before.empty())
                    Fail("refused as busy while no live client holds the device");
                c.EndOpen();
            } else if (c.nHold == OpenHolds().size()) {
                if (!before.empty())
                    Fail("two holders of device " + std::to_string(c.nDevice));
                c.bHolding = true;
                c.nBlock = c.open.bInFixed ? kFixed : nPathBlock;
            }
            break;
        }
        case Step::DetachOther: Detach(c, c.nBlock == kFixed ? nPathBlock : kFixed, !bTimedOut); break;
        case Step::Session:
            if (!bTimedOut)
                FreeDeadSlots(blocks[c.nBlock].mem, c.dwPid, IsRunning());
            break;
        case Step::Leave:
            c.bHolding = false;
            if (bTimedOut)
                MarkLeft(blocks[c.nBlock].mem, c.open.nSlot);
            else
                LeaveBlock(blocks[c.nBlock].mem, c.open.nSlot, c.dwPid);
            break;
        case Step::Detach: {
            const int nBlock = c.nBlock >= 0 && c.bAttached[c.nBlock]
                ? c.nBlock : static_cast<int>(std::find(c.bAttached, c.bAttached + 3, true) - c.bAttached);
            Detach(c, nBlock, !bTimedOut);
            break;
        }
        }
    }

    // The invariants that hold between any two steps: the client count is the
    // number of slots taken (by live clients, and by dead ones until somebody
    // frees them); a device has one holder at most; the holders query names
    // the live holders, and only them.
    void Check()
    {
        for (const Block& b : blocks) {
            if (b.bExists && b.mem.lLockCount != TakenSlots(b.mem))
                Fail("client count " + std::to_string(b.mem.lLockCount) + " with " +
                     std::to_string(TakenSlots(b.mem)) + " slots taken");
        }
        static KyrHandleSharedMemory empty = [] {
            KyrHandleSharedMemory block;
            InitDeviceBlock(&block);
            return block;
        }();
        for (int d = 0; d < 2; ++d) {
            const std::set<unsigned long> truth = TrueHolders(d);
            if (truth.size() > 1)
                Fail("two holders of device " + std::to_string(d));
            KyrHandleSharedMemory* pPath = Memory(1 + d);
            unsigned long pids[4] = {};
            const int n = FindHolders(DeviceBlocks{Memory(kFixed), pPath != nullptr ? pPath : &empty}, kPaths[d],
                                      d == 0, IsRunning(), pids, 4);
            if (std::set<unsigned long>(pids, pids + std::min(n, 4)) != truth || n != static_cast<int>(truth.size()))
                Fail("holders query says " + std::to_string(n) + " for device " + std::to_string(d));
        }
    }

    // Once every client has ended or died: each device opens for a newcomer
    // (both taking the fixed names by rule), the holders query names it, and
    // after it closes nothing is left taken.
    void CheckAfterAll()
    {
        const size_t nFirst = clients.size();
        for (int d = 0; d < 2; ++d)
            clients.emplace_back(d, true, 900 + d);
        for (size_t i = nFirst; i < clients.size(); ++i) {
            while (clients[i].program[clients[i].nNext] != Step::Session)
                RunStep(i, Fault::None);
            if (!clients[i].bHolding)
                Fail("device " + std::to_string(clients[i].nDevice) + " left unopenable");
        }
        Check();
        for (size_t i = nFirst; i < clients.size(); ++i) {
            while (!clients[i].Done())
                RunStep(i, Fault::None);
        }
        for (const Block& b : blocks) {
            if (b.bExists && (TakenSlots(b.mem) != 0 || b.mem.lLockCount != 0))
                Fail("a slot left taken after everyone closed");
        }
    }

    // What a newcomer meets: the blocks as the clients left them. Schedules
    // that end alike need the check after all only once.
    size_t EndState() const
    {
        std::string state;
        for (const Block& b : blocks) {
            state += b.bExists ? '1' : '0';
            if (b.bExists)
                state.append(reinterpret_cast<const char*>(&b.mem), sizeof b.mem);
        }
        for (const Client& c : clients)
            state += c.bAlive ? 'a' : 'd';
        return std::hash<std::string>()(state);
    }
};

struct Tally {
    long nSchedules = 0;
    long nSteps = 0;
    std::set<size_t> endStates;

    // The check after all, once per end state.
    void End(const World& w)
    {
        ++nSchedules;
        if (endStates.insert(w.EndState()).second)
            World(w).CheckAfterAll();
    }

    void Report(const std::string& what) const
    {
        std::printf("%s: %ld schedules, %ld steps\n", what.c_str(), nSchedules, nSteps);
    }
};

// Every interleaving, with every fault within the bounds (time-outs, crashes),
// from w on.
void Explore(const World& w, int nMaxTimeouts, int nMaxCrashes, Tally& tally)
{
    bool bAnyLeft = false;
    for (size_t i = 0; i < w.clients.size(); ++i) {
        if (w.clients[i].Done())
            continue;
        bAnyLeft = true;
        for (Fault fault : {Fault::None, Fault::Timeout, Fault::Crash}) {
            if ((fault == Fault::Timeout && w.nTimeouts >= nMaxTimeouts) ||
                (fault == Fault::Crash && w.nCrashes >= nMaxCrashes))
                continue;
            World next = w;
            ++tally.nSteps;
            next.RunStep(i, fault);
            next.Check();
            Explore(next, nMaxTimeouts, nMaxCrashes, tally);
        }
    }
    if (!bAnyLeft)
        tally.End(w);
}

} // namespace

// Two clients, every interleaving of their steps, up to two crashes and one
// lock time-out anywhere. Configurations: the same device or two, each client
// with the fixed names or without when it opens.
class BlockProtocolTwoClients : public ::testing::TestWithParam<int> {};

TEST_P(BlockProtocolTwoClients, EveryInterleaving)
{
    const int nConfig = GetParam();
    Tally tally;
    World w;
    w.clients.emplace_back(0, (nConfig & 1) != 0, 101);
    w.clients.emplace_back((nConfig & 4) != 0 ? 1 : 0, (nConfig & 2) != 0, 102);
    try {
        Explore(w, 1, 2, tally);
    } catch (const Broken& broken) {
        FAIL() << broken.what;
    }
    tally.Report("two clients, configuration " + std::to_string(nConfig));
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
    const char* pszSeed = std::getenv("KYR_TEST_SCHEDULE_SEED");
    const unsigned long dwSeed = pszSeed != nullptr ? std::strtoul(pszSeed, nullptr, 0) : 20261207;
    Tally tally;
    for (long n = GetParam() * kSchedules; n < (GetParam() + 1) * kSchedules; ++n) {
        std::mt19937_64 random(dwSeed + static_cast<unsigned long>(n));
        World w;
        for (unsigned long i = 0; i < 3; ++i)
            w.clients.emplace_back(static_cast<int>(random() % 2), random() % 2 == 0, 101 + i);
        try {
            for (std::vector<size_t> runnable;; runnable.clear()) {
                for (size_t i = 0; i < w.clients.size(); ++i) {
                    if (!w.clients[i].Done())
                        runnable.push_back(i);
                }
                if (runnable.empty())
                    break;
                const size_t i = runnable[random() % runnable.size()];
                const int nDice = static_cast<int>(random() % 10);
                ++tally.nSteps;
                w.RunStep(i, nDice == 0 ? Fault::Crash : nDice == 1 ? Fault::Timeout : Fault::None);
                w.Check();
            }
            tally.End(w);
        } catch (const Broken& broken) {
            FAIL() << "seed " << dwSeed << " schedule " << n << ": " << broken.what;
        }
    }
    tally.Report("three clients, shard " + std::to_string(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Shards, BlockProtocolThreeClients, ::testing::Range(0, 4));
