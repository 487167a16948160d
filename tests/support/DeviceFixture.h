// What device tests under kyrsim share: the ids of the first model device, a
// callback table that records what the library delivers, and a fixture that
// opens device 0 with that table installed.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Eventually.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"
#include "PacketEncoder.h"

namespace kyrtest {

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kPid = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kMI = KYR_USB_MODEL_INTERFACE;
constexpr unsigned long kNoGesture = ~0UL;
constexpr auto kPatience = std::chrono::seconds(10);

// What one callback table saw; its Context.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::vector<unsigned char>> raw;
    std::vector<short> types;
    std::vector<int> syncFlags;
    std::vector<std::string> texts; // of answers and status packets, "" for the rest
    std::vector<int> downloads;     // fnOnDownloadingFirmware flags
    std::atomic<int> nTouch{0}, nPumps{0}, nDisconnects{0};
    int nRawResult = 0; // what fnOnReceiveRawData answers
    KYR_HANDLE hSeen = nullptr;

    template <typename Pred>
    bool WaitFor(Pred pred, std::chrono::milliseconds patience = kPatience)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, patience, pred);
    }
    template <typename F>
    auto Locked(F f)
    {
        std::lock_guard lock(mutex);
        return f();
    }
    size_t Packets()
    {
        return Locked([&] { return types.size(); });
    }
    KYR_EVENT_NOTIFY Table(bool bPump = false)
    {
        KYR_EVENT_NOTIFY table{};
        table.Context = this;
        table.fnOnReceiveRawData = &OnRaw;
        table.fnOnPacket = &OnPacket;
        table.fnOnDisconnect = &OnDisconnect;
        table.fnOnDownloadingFirmware = &OnDownload;
        table.fnOnHandleEvents = bPump ? &OnPump : nullptr;
        return table;
    }
    void Install(KYR_HANDLE h, bool bPump = false)
    {
        KYR_EVENT_NOTIFY table = Table(bPump);
        KyrSetEventNotify(h, &table);
    }

protected:
    // Runs f on the Recorder behind pContext under its lock, and wakes its waiters.
    template <typename F>
    static auto Note(void* pContext, KYR_HANDLE h, F f)
    {
        auto& r = *static_cast<Recorder*>(pContext);
        std::lock_guard lock(r.mutex);
        r.hSeen = h != nullptr ? h : r.hSeen;
        r.cv.notify_all();
        return f(r);
    }

private:
    static int OnRaw(KYR_HANDLE h, unsigned char* buffer, unsigned short length, void* pContext)
    {
        return Note(pContext, h, [&](Recorder& r) {
            r.raw.emplace_back(buffer, buffer + length);
            return r.nRawResult;
        });
    }
    static void OnPacket(KYR_HANDLE h, kyrpacket* p, int bSync, void* pContext)
    {
        Note(pContext, h, [&](Recorder& r) {
            r.nTouch += p->type == kyrtype_tpt ? 1 : 0;
            r.types.push_back(p->type);
            r.syncFlags.push_back(bSync);
            r.texts.emplace_back(p->type == kyrtype_rsp ? p->body.rsp.command
                                 : p->type == kyrtype_stt ? p->body.stt.status
                                                          : "");
        });
    }
    static void OnDisconnect(KYR_HANDLE h, void* pContext)
    {
        Note(pContext, h, [](Recorder& r) { ++r.nDisconnects; });
    }
    static void OnDownload(KYR_HANDLE, int bDownload, void* pContext)
    {
        Note(pContext, nullptr, [&](Recorder& r) { r.downloads.push_back(bDownload); });
    }
    static void OnPump(KYR_HANDLE, void* pContext) { ++static_cast<Recorder*>(pContext)->nPumps; }
};

// Device nDevice emits the packet as the device would: its single-series
// reports, in order.
inline void Emit(const kyrsim::encoder::Bytes& packet, int nDevice = 0)
{
    for (const auto& report : kyrsim::encoder::CutReports(packet, kyrsim::encoder::Series::Single))
        kyrsim::SimInject(nDevice, kMI, std::vector<uint8_t>(report.begin(), report.end()));
}

// Device 0, open for the test, with a Recorder's table unless the fixture
// asks for none.
class DeviceTest : public ::testing::Test {
protected:
    explicit DeviceTest(bool bInstall = true) : m_bInstall(bInstall) {}
    void SetUp() override
    {
        m_h = KyrOpenDevice(kVid, kPid, kMI, 0);
        ASSERT_NE(m_h, nullptr) << KyrGetErrorName(KyrGetLastError());
        if (m_bInstall)
            m_r.Install(m_h);
    }
    void TearDown() override
    {
        if (m_h != nullptr)
            KyrCloseDevice(m_h);
    }

    Recorder m_r;
    KYR_HANDLE m_h = nullptr;

private:
    const bool m_bInstall;
};

} // namespace kyrtest
