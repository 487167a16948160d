// /dev/uinput in the testbed: answers the uinput ioctls and writes as the
// kernel does, and keeps a record of every input device programs create
// through it, for the "uinput" control requests (see README.md, "uinput").
#pragma once

#include "Testbed.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <umockdev.h>
#include <vector>

namespace kyrsim {

struct UinputEvent {
    uint64_t qwMicros = 0;  // since UI_DEV_CREATE
    uint16_t wType = 0;
    uint16_t wCode = 0;
    int32_t nValue = 0;
};

struct UinputAxis {
    int32_t nMinimum = 0, nMaximum = 0, nFuzz = 0, nFlat = 0, nResolution = 0;
};

/// One input device as a program set it up, and what it wrote to it.
struct UinputRecord {
    std::string szName;
    uint16_t wBus = 0, wVendor = 0, wProduct = 0, wVersion = 0;
    std::array<std::set<uint16_t>, 0x20> codes;  // by event type; [0] holds the event types
    std::set<uint16_t> properties;
    std::map<uint16_t, UinputAxis> axes;  // as set up, also for codes never enabled
    std::vector<UinputEvent> events;
    std::chrono::steady_clock::time_point created;
    bool bAlive = false;
};

/// evemu's text for a record (see README.md); bAll false gives only the
/// E: lines of the events from nFrom on.
std::vector<std::string> EvemuLines(const UinputRecord& record, size_t nIndex, bool bAll, size_t nFrom);

class CUinputNode {
public:
    /// Creates the node and serves it from the testbed's ioctl thread; a
    /// denied node has mode 0000 (see the deny device key for root).
    /// @throws std::runtime_error, std::system_error
    CUinputNode(CTestbed& testbed, bool bDeny);
    /// Only after the testbed is gone: its thread may still call in until then.
    ~CUinputNode();
    CUinputNode(const CUinputNode&) = delete;
    CUinputNode& operator=(const CUinputNode&) = delete;

    /// "uinput [K [FROM]]" (words[0] is "uinput"); the reply, maybe of several lines.
    std::string HandleRequest(const std::vector<std::string>& words) const;

private:
    enum class State { New, SetUp, Created };
    // One open file of the node: the device it sets up, then the one it created.
    struct File {
        State state = State::New;
        UinputRecord setup;
        size_t nDevice = 0;  // in m_devices, while Created
    };
    struct Result {
        long lResult = 0;
        int nErrno = 0;
    };

    static gboolean OnHandleIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf);
    static gboolean OnHandleWrite(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf);
    static gboolean OnHandleRead(UMockdevIoctlBase*, UMockdevIoctlClient* pClient, gpointer pSelf);
    // umockdev drops a client when its file is closed (the process may have died).
    static void OnClientFinalized(gpointer pSelf, GObject* pClient);

    Result Ioctl(UMockdevIoctlClient* pClient);
    Result Write(UMockdevIoctlClient* pClient);
    File& FileLocked(UMockdevIoctlClient* pClient);
    void DestroyLocked(File& file);
    Result SetBitLocked(File& file, uint16_t wType, unsigned long ulCode);
    Result CreateLocked(File& file);

    UMockdevIoctlBase* m_pHandler = nullptr;

    // Lock order: a leaf, never held during a round trip to a client's memory.
    mutable std::mutex m_mutex;
    // Keyed by client, each weakly referenced: an entry goes with its client.
    std::map<UMockdevIoctlClient*, File> m_files;  // guarded by m_mutex
    std::vector<UinputRecord> m_devices;           // guarded by m_mutex; every device created, in order
};

}  // namespace kyrsim
