// The touchscreen bridge: a Kyr device's touch points and device reports as
// Linux input devices (multitouch protocol B, pointer, keyboard), and the
// loop that keeps it running across unplugs.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Calibration.h"
#include "EventSink.h"
#include "KyrHIDLib.h"
#include "Tracker.h"

namespace kyrtouch {

// "<N>TEXT" on stderr, N the journal priority (3 error ... 7 debug), so that
// journald files each line at its level.
void Log(int nPriority, const char* pszFormat, ...) __attribute__((format(printf, 2, 3)));

struct DeviceIdentity {
    std::string szPath; // "BBBB:AAAA:II"
    uint16_t nVendor = 0;
    uint16_t nProduct = 0;
};

// Turns packets into input events. Thread-safe: the read thread feeds it and
// the main thread stops it; one lock covers the tracker and the devices.
// Lifetime: its devices live from Start() to Stop() (or the destructor),
// within the lifetime of the sink.
class TouchBridge {
public:
    TouchBridge(IEventSink& sink, const Settings& settings, DeviceIdentity identity);
    ~TouchBridge();
    TouchBridge(const TouchBridge&) = delete;
    TouchBridge& operator=(const TouchBridge&) = delete;

    // Creates the touchscreen device; an error text, empty on success.
    std::string Start();
    // A decoded packet: touch points and device reports; others are ignored.
    void OnPacket(const kyrpacket& packet);
    void OnTouchFrame(std::span<const kyrtouchpoint> points);
    // Releases every contact, button and key (each device ends with a
    // SYN_REPORT), then destroys the devices.
    void Stop();

    static DeviceSetup TouchSetup(const Settings& settings, const DeviceIdentity& identity);

private:
    struct SlotState {
        int nTrackingId = -1;
        int32_t values[5] = {-1, -1, -1, -1, -1}; // x, y, major, minor, pressure as last written
        uint64_t nStarted = 0;                    // contact order, for the single-touch axes
    };
    void WriteAbs(uint16_t nCode, int32_t nValue);
    void SelectSlot(int nSlot);
    void FinishTouchFrame(int nActive);
    void OnDeviceReport(const kyrpacket& packet);
    std::unique_ptr<IEventDevice> CreateOptional(const DeviceSetup& setup, const char* pszRole);
    void ReleaseAll();

    IEventSink& m_Sink;
    const Settings m_Settings;
    const Matrix m_Transform;
    const DeviceIdentity m_Identity;
    std::mutex m_csBridge;
    // All below guarded by m_csBridge.
    ContactTracker m_Tracker;
    std::unique_ptr<IEventDevice> m_pTouch;
    std::unique_ptr<IEventDevice> m_pMouse;
    std::unique_ptr<IEventDevice> m_pKeyboard;
    std::vector<SlotState> m_SlotStates;
    std::vector<Point> m_Points;      // scratch of a frame
    std::vector<int> m_PointOfSlot;   // scratch of a frame
    int m_nCurrentSlot = -1;
    int m_nActive = 0;
    uint64_t m_nContactsStarted = 0;
    int32_t m_nSingleX = -1, m_nSingleY = -1;
    bool m_bWritten = false;          // the touch frame wrote an event
    int m_nMouseButtons = 0;
    std::optional<std::pair<int, int>> m_MousePosition;
    std::vector<int> m_KeysDown;
};

// Which interface to drive, as the selection options resolve it.
struct Target {
    uint16_t nVendor = 0;
    uint16_t nProduct = 0;
    uint16_t nInterface = 0;
    uint16_t nIndex = 0;
};

struct RunOptions {
    IEventSink* pSink = nullptr;
    // Resolves the selection; nullopt when no such device is attached now
    // (it says why itself, once per call, when bQuiet is false: at the start
    // and at the first miss of each wait for the device).
    std::function<std::optional<Target>(bool bQuiet)> select;
    std::string szConfigFile = "/etc/kyrhid/touchscreen.conf";
    // Settings from the command line, applied over the file's.
    std::vector<std::pair<std::string, std::string>> overrides;
    int nRetrySeconds = 5; // between attempts to open a busy device
};

// Exit status of RunBridge.
enum RunResult { RunStopped = 0, RunFailed = 1, RunNoDevice = 3, RunAccessDenied = 4 };

// Drives the selected device until SIGTERM or SIGINT: opens it (retrying
// while another client holds it), bridges it, and after an unplug waits for
// it to return through the hotplug callbacks and carries on. Returns
// RunStopped after a signal, or why it gave up.
int RunBridge(const RunOptions& options);

} // namespace kyrtouch
