#include "Bridge.h"

#include <linux/input.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "HidKeys.h"
#include "KyrDeviceIds.h"

namespace kyrtouch {

void Log(int nPriority, const char* pszFormat, ...)
{
    char szLine[512];
    va_list args;
    va_start(args, pszFormat);
    std::vsnprintf(szLine, sizeof szLine, pszFormat, args);
    va_end(args);
    // One write per line, so lines of several threads do not interleave.
    std::fprintf(stderr, "<%d>%s\n", nPriority, szLine);
}

namespace {

constexpr uint16_t s_ToolKeys[] = {BTN_TOOL_FINGER, BTN_TOOL_DOUBLETAP, BTN_TOOL_TRIPLETAP, BTN_TOOL_QUADTAP,
                                   BTN_TOOL_QUINTTAP};
constexpr uint16_t s_MtAxes[] = {ABS_MT_POSITION_X, ABS_MT_POSITION_Y, ABS_MT_TOUCH_MAJOR, ABS_MT_TOUCH_MINOR,
                                 ABS_MT_PRESSURE};
constexpr uint16_t s_MouseButtons[] = {BTN_LEFT, BTN_RIGHT, BTN_MIDDLE};

uint16_t ToolKey(int nContacts)
{
    return s_ToolKeys[std::min(nContacts, 5) - 1];
}

// A device of the bridge's, named and identified after the Kyr device; the
// caller adds what it reports.
DeviceSetup SetupOf(const DeviceIdentity& identity, const char* pszKind)
{
    char szName[80];
    std::snprintf(szName, sizeof szName, "Kyr %04x:%04x %s %s", identity.nVendor, identity.nProduct,
                  identity.szPath.c_str(), pszKind);
    DeviceSetup setup;
    setup.szName = szName;
    setup.nVendor = identity.nVendor;
    setup.nProduct = identity.nProduct;
    return setup;
}

} // namespace

TouchBridge::TouchBridge(IEventSink& sink, const Settings& settings, DeviceIdentity identity)
    : m_Sink(sink), m_Settings(settings), m_Transform(settings.Transform()), m_Identity(std::move(identity)),
      m_Tracker(settings.nMaxContacts, settings.MaxJump()),
      m_SlotStates(static_cast<size_t>(std::max(settings.nMaxContacts, 1)))
{
}

TouchBridge::~TouchBridge()
{
    Stop();
}

DeviceSetup TouchBridge::TouchSetup(const Settings& s, const DeviceIdentity& identity)
{
    DeviceSetup setup = SetupOf(identity, "Touchscreen");
    setup.props = {INPUT_PROP_DIRECT};
    setup.events = {{EV_KEY, BTN_TOUCH}};
    for (uint16_t nKey : s_ToolKeys)
        setup.events.emplace_back(EV_KEY, nKey);
    const int nMaxSize = std::max(s.nMaxX, s.nMaxY);
    setup.axes = {{ABS_X, 0, s.nMaxX, 0, 0, s.nResolutionX},
                  {ABS_Y, 0, s.nMaxY, 0, 0, s.nResolutionY},
                  {ABS_MT_SLOT, 0, std::max(s.nMaxContacts, 1) - 1, 0, 0, 0},
                  {ABS_MT_TOUCH_MAJOR, 0, nMaxSize, 0, 0, 0},
                  {ABS_MT_TOUCH_MINOR, 0, nMaxSize, 0, 0, 0},
                  {ABS_MT_POSITION_X, 0, s.nMaxX, 0, 0, s.nResolutionX},
                  {ABS_MT_POSITION_Y, 0, s.nMaxY, 0, 0, s.nResolutionY},
                  {ABS_MT_TRACKING_ID, 0, 0xFFFF, 0, 0, 0},
                  {ABS_MT_PRESSURE, 0, s.nMaxPressure, 0, 0, 0}};
    return setup;
}

std::string TouchBridge::Start()
{
    std::lock_guard lock(m_csBridge);
    std::string szError;
    m_pTouch = m_Sink.Create(TouchSetup(m_Settings, m_Identity), szError);
    return m_pTouch ? std::string() : szError;
}

// The pointer and the keyboard: without one, the touchscreen still works.
std::unique_ptr<IEventDevice> TouchBridge::CreateOptional(const DeviceSetup& setup, const char* pszRole)
{
    std::string szError;
    std::unique_ptr<IEventDevice> pDevice = m_Sink.Create(setup, szError);
    if (!pDevice)
        Log(3, "%s: no %s device: %s", m_Identity.szPath.c_str(), pszRole, szError.c_str());
    return pDevice;
}

void TouchBridge::OnPacket(const kyrpacket& packet)
{
    if (packet.type == kyrtype_tpt) {
        // Never trust the count beyond the bytes that came.
        const size_t nRoom = packet.length > offsetof(kyrpacket, body.tpt.points)
                                 ? (packet.length - offsetof(kyrpacket, body.tpt.points)) / sizeof(kyrtouchpoint)
                                 : 0;
        const size_t nCount = std::min(nRoom, static_cast<size_t>(std::max<short>(packet.body.tpt.touch_count, 0)));
        OnTouchFrame(std::span(packet.body.tpt.points, nCount));
    } else if (packet.type == kyrtype_dvc) {
        OnDeviceReport(packet);
    }
}

void TouchBridge::WriteAbs(uint16_t nCode, int32_t nValue)
{
    m_pTouch->Write(EV_ABS, nCode, nValue);
    m_bWritten = true;
}

void TouchBridge::SelectSlot(int nSlot)
{
    if (m_nCurrentSlot != nSlot) {
        WriteAbs(ABS_MT_SLOT, nSlot);
        m_nCurrentSlot = nSlot;
    }
}

void TouchBridge::OnTouchFrame(std::span<const kyrtouchpoint> points)
{
    std::lock_guard lock(m_csBridge);
    if (!m_pTouch)
        return;
    m_Points.clear();
    for (const kyrtouchpoint& p : points)
        m_Points.push_back({static_cast<double>(p.x), static_cast<double>(p.y)});
    const std::vector<int>& slots = m_Tracker.Update(m_Points);
    m_PointOfSlot.assign(m_SlotStates.size(), -1);
    for (size_t i = 0; i < slots.size(); ++i) {
        if (slots[i] >= 0)
            m_PointOfSlot[static_cast<size_t>(slots[i])] = static_cast<int>(i);
    }
    m_bWritten = false;
    int nActive = 0;
    const auto& trackerSlots = m_Tracker.Slots();
    for (size_t nSlot = 0; nSlot < m_SlotStates.size(); ++nSlot) {
        SlotState& state = m_SlotStates[nSlot];
        const int nPoint = m_PointOfSlot[nSlot];
        if (nPoint < 0) {
            if (state.nTrackingId >= 0) {
                SelectSlot(static_cast<int>(nSlot));
                WriteAbs(ABS_MT_TRACKING_ID, -1);
                state = SlotState();
            }
            continue;
        }
        ++nActive;
        const int nTrackingId = trackerSlots[nSlot].nTrackingId;
        if (state.nTrackingId != nTrackingId) {
            SelectSlot(static_cast<int>(nSlot));
            WriteAbs(ABS_MT_TRACKING_ID, nTrackingId);
            state = SlotState();
            state.nTrackingId = nTrackingId;
            state.nStarted = ++m_nContactsStarted;
        }
        const kyrtouchpoint& raw = points[static_cast<size_t>(nPoint)];
        const int32_t nMaxSize = std::max(m_Settings.nMaxX, m_Settings.nMaxY); // the size axes' maximum
        const Point normal = Apply(m_Transform, {raw.x / static_cast<double>(m_Settings.nMaxX),
                                                raw.y / static_cast<double>(m_Settings.nMaxY)});
        const int32_t values[5] = {
            static_cast<int32_t>(std::lround(std::clamp(normal.x, 0.0, 1.0) * m_Settings.nMaxX)),
            static_cast<int32_t>(std::lround(std::clamp(normal.y, 0.0, 1.0) * m_Settings.nMaxY)),
            // Each value within its axis: readers take one beyond it for a broken device.
            std::min<int32_t>(std::max(raw.w, raw.h), nMaxSize), std::min<int32_t>(std::min(raw.w, raw.h), nMaxSize),
            std::min<int32_t>(raw.s, m_Settings.nMaxPressure)};
        for (int k = 0; k < 5; ++k) {
            if (state.values[k] != values[k]) {
                SelectSlot(static_cast<int>(nSlot));
                WriteAbs(s_MtAxes[k], values[k]);
                state.values[k] = values[k];
            }
        }
    }
    FinishTouchFrame(nActive);
}

// The single-touch state after the slots: BTN_TOUCH, the tool for the number
// of fingers, and ABS_X/Y following the oldest contact, as the kernel's
// pointer emulation does.
void TouchBridge::FinishTouchFrame(int nActive)
{
    if (nActive != m_nActive) {
        if (m_nActive == 0 || nActive == 0)
            m_pTouch->Write(EV_KEY, BTN_TOUCH, nActive > 0 ? 1 : 0);
        if (m_nActive > 0 && (nActive == 0 || ToolKey(m_nActive) != ToolKey(nActive)))
            m_pTouch->Write(EV_KEY, ToolKey(m_nActive), 0);
        if (nActive > 0 && (m_nActive == 0 || ToolKey(m_nActive) != ToolKey(nActive)))
            m_pTouch->Write(EV_KEY, ToolKey(nActive), 1);
        m_nActive = nActive;
        m_bWritten = true;
    }
    const SlotState* pOldest = nullptr;
    for (const SlotState& state : m_SlotStates) {
        if (state.nTrackingId >= 0 && (pOldest == nullptr || state.nStarted < pOldest->nStarted))
            pOldest = &state;
    }
    if (pOldest != nullptr) {
        if (pOldest->values[0] != m_nSingleX)
            WriteAbs(ABS_X, m_nSingleX = pOldest->values[0]);
        if (pOldest->values[1] != m_nSingleY)
            WriteAbs(ABS_Y, m_nSingleY = pOldest->values[1]);
    }
    if (m_bWritten)
        m_pTouch->Write(EV_SYN, SYN_REPORT, 0);
}

void TouchBridge::OnDeviceReport(const kyrpacket& packet)
{
    const auto& d = packet.body.dvc;
    std::lock_guard lock(m_csBridge);
    // Each device appears with the first report that uses it: a frame that
    // never sends buttons or keys gets no pointer or keyboard.
    if (!m_pMouse && (d.mouse_buttons != 0 || d.mouse_wheel != 0 || d.mouse_x != 0 || d.mouse_y != 0)) {
        DeviceSetup setup = SetupOf(m_Identity, "Mouse");
        for (uint16_t nButton : s_MouseButtons)
            setup.events.emplace_back(EV_KEY, nButton);
        setup.events.insert(setup.events.end(), {{EV_REL, REL_X}, {EV_REL, REL_Y}, {EV_REL, REL_WHEEL}});
        m_pMouse = CreateOptional(setup, "pointer");
    }
    if (m_pMouse) {
        bool bWritten = false;
        auto write = [&](uint16_t nType, uint16_t nCode, int32_t nValue) {
            m_pMouse->Write(nType, nCode, nValue);
            bWritten = true;
        };
        // The report carries a position; the pointer moves by its change
        // (the first report only sets where it starts).
        if (m_MousePosition) {
            if (d.mouse_x != m_MousePosition->first)
                write(EV_REL, REL_X, d.mouse_x - m_MousePosition->first);
            if (d.mouse_y != m_MousePosition->second)
                write(EV_REL, REL_Y, d.mouse_y - m_MousePosition->second);
        }
        m_MousePosition = std::make_pair(int{d.mouse_x}, int{d.mouse_y});
        if (d.mouse_wheel != 0)
            write(EV_REL, REL_WHEEL, d.mouse_wheel);
        for (int nBit = 0; nBit < 3; ++nBit) {
            const int nMask = 1 << nBit;
            if ((d.mouse_buttons & nMask) != (m_nMouseButtons & nMask))
                write(EV_KEY, s_MouseButtons[nBit], (d.mouse_buttons & nMask) != 0 ? 1 : 0);
        }
        m_nMouseButtons = d.mouse_buttons & 7;
        if (bWritten)
            m_pMouse->Write(EV_SYN, SYN_REPORT, 0);
    }

    std::vector<int> keys;
    for (int nBit = 0; nBit < 8; ++nBit) {
        if ((d.keyboard_modifier & (1 << nBit)) != 0)
            keys.push_back(EvdevKeyOfModifier(nBit));
    }
    // ErrorRollOver (usage 0x01) means too many keys for the report: which
    // are down is unknown, so the keys stay as they were (the kernel's HID
    // driver ignores such a report too); the modifier bits still count.
    constexpr unsigned char nRollOver = 0x01;
    const bool bRollOver = std::find(std::begin(d.keyboard_key), std::end(d.keyboard_key), nRollOver) !=
                           std::end(d.keyboard_key);
    if (bRollOver) {
        auto isModifier = [](int nKey) {
            for (int nBit = 0; nBit < 8; ++nBit) {
                if (EvdevKeyOfModifier(nBit) == nKey)
                    return true;
            }
            return false;
        };
        for (int nKey : m_KeysDown) {
            if (!isModifier(nKey))
                keys.push_back(nKey);
        }
    }
    for (unsigned char nUsage : d.keyboard_key) {
        // Two usages may share a key (0x31 and 0x32): it goes down once.
        const int nKey = bRollOver ? 0 : EvdevKeyOfUsage(nUsage);
        if (nKey != 0 && std::find(keys.begin(), keys.end(), nKey) == keys.end())
            keys.push_back(nKey);
    }
    if (!m_pKeyboard && !keys.empty()) {
        DeviceSetup setup = SetupOf(m_Identity, "Keyboard");
        for (int nKey : EvdevKeyboardKeys())
            setup.events.emplace_back(EV_KEY, static_cast<uint16_t>(nKey));
        m_pKeyboard = CreateOptional(setup, "keyboard");
    }
    if (m_pKeyboard) {
        bool bWritten = false;
        for (int nKey : m_KeysDown) {
            if (std::find(keys.begin(), keys.end(), nKey) == keys.end()) {
                m_pKeyboard->Write(EV_KEY, static_cast<uint16_t>(nKey), 0);
                bWritten = true;
            }
        }
        for (int nKey : keys) {
            if (std::find(m_KeysDown.begin(), m_KeysDown.end(), nKey) == m_KeysDown.end()) {
                m_pKeyboard->Write(EV_KEY, static_cast<uint16_t>(nKey), 1);
                bWritten = true;
            }
        }
        m_KeysDown = std::move(keys);
        if (bWritten)
            m_pKeyboard->Write(EV_SYN, SYN_REPORT, 0);
    }
}

void TouchBridge::ReleaseAll()
{
    if (m_pTouch) {
        m_bWritten = false;
        for (size_t nSlot = 0; nSlot < m_SlotStates.size(); ++nSlot) {
            if (m_SlotStates[nSlot].nTrackingId >= 0) {
                SelectSlot(static_cast<int>(nSlot));
                WriteAbs(ABS_MT_TRACKING_ID, -1);
                m_SlotStates[nSlot] = SlotState();
            }
        }
        m_Tracker.Clear();
        FinishTouchFrame(0);
    }
    if (m_pMouse && m_nMouseButtons != 0) {
        for (int nBit = 0; nBit < 3; ++nBit) {
            if ((m_nMouseButtons & (1 << nBit)) != 0)
                m_pMouse->Write(EV_KEY, s_MouseButtons[nBit], 0);
        }
        m_pMouse->Write(EV_SYN, SYN_REPORT, 0);
        m_nMouseButtons = 0;
    }
    if (m_pKeyboard && !m_KeysDown.empty()) {
        for (int nKey : m_KeysDown)
            m_pKeyboard->Write(EV_KEY, static_cast<uint16_t>(nKey), 0);
        m_pKeyboard->Write(EV_SYN, SYN_REPORT, 0);
        m_KeysDown.clear();
    }
}

void TouchBridge::Stop()
{
    std::lock_guard lock(m_csBridge);
    ReleaseAll();
    m_pTouch.reset();
    m_pMouse.reset();
    m_pKeyboard.reset();
}

// ---- The run loop ----------------------------------------------------------

namespace {

std::atomic<bool> s_bStop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "set from a signal handler");

// What the library's threads tell the main thread: the device went, a device
// arrived. Lifetime: lives on RunBridge's frame; the hotplug callback is
// deregistered and the device closed (so no callback runs any more) before
// it goes.
struct Waiter {
    std::mutex cs;
    std::condition_variable cv;
    bool bGone = false;     // guarded by cs
    unsigned nArrivals = 0; // guarded by cs
    TouchBridge* pBridge = nullptr; // set before the callbacks start, cleared after the close
};

void OnPacket(KYR_HANDLE, kyrpacket* pPacket, int, void* pContext)
{
    auto* pWaiter = static_cast<Waiter*>(pContext);
    pWaiter->pBridge->OnPacket(*pPacket);
}

void OnDisconnect(KYR_HANDLE, void* pContext)
{
    auto* pWaiter = static_cast<Waiter*>(pContext);
    std::lock_guard lock(pWaiter->cs);
    pWaiter->bGone = true;
    pWaiter->cv.notify_all();
}

int OnArrival(KYR_DEVICE_INFO, int, void* pContext)
{
    auto* pWaiter = static_cast<Waiter*>(pContext);
    std::lock_guard lock(pWaiter->cs);
    ++pWaiter->nArrivals;
    pWaiter->cv.notify_all();
    return 0;
}

// Waits until done() holds, a signal came or the time ran out. Signals only
// set a flag, so the wait looks at it ten times a second.
template <typename Done>
bool WaitFor(Waiter& waiter, std::chrono::milliseconds limit, Done done)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    std::unique_lock lock(waiter.cs);
    while (!done()) {
        if (s_bStop.load(std::memory_order_relaxed) || std::chrono::steady_clock::now() >= end)
            return false;
        waiter.cv.wait_for(lock, std::chrono::milliseconds(100));
    }
    return true;
}

std::string HoldersText(const Target& target)
{
    unsigned long pids[8];
    const int nHolders =
        KyrGetDeviceHolders(target.nVendor, target.nProduct, target.nInterface, target.nIndex, pids, 8);
    std::string sz;
    for (int i = 0; i < nHolders && i < 8; ++i) {
        char szFile[64], szName[64] = "?";
        std::snprintf(szFile, sizeof szFile, "/proc/%lu/comm", pids[i]);
        if (FILE* f = std::fopen(szFile, "r")) {
            if (std::fgets(szName, sizeof szName, f) != nullptr)
                szName[std::strcspn(szName, "\n")] = '\0';
            std::fclose(f);
        }
        sz += (sz.empty() ? " (held by process " : ", ") + std::to_string(pids[i]) + " " + szName;
    }
    return sz.empty() ? sz : sz + ")";
}

} // namespace

int RunBridge(const RunOptions& options)
{
    struct sigaction action {};
    action.sa_handler = [](int) { s_bStop.store(true, std::memory_order_relaxed); };
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    Waiter waiter;
    int nHotplug = 0;
    if (KyrRegisterHotplugCallback(KYR_USB_VENDOR_ID, KYR_HOTPLUG_MATCH_ANY, KYR_HOTPLUG_MATCH_ANY,
                                   KYR_HOTPLUG_ARRIVED, 0, OnArrival, &waiter, &nHotplug) != 1) {
        Log(3, "cannot watch for devices: %s", KyrGetErrorName(KyrGetLastError()));
        return RunFailed;
    }
    struct HotplugGuard {
        int nHandle;
        ~HotplugGuard() { KyrDeregisterHotplugCallback(nHandle); }
    } hotplugGuard{nHotplug};

    bool bFirst = true;
    // Why the device cannot be had is said once per wait, not at every retry
    // or at every arrival of some other device: the selection's miss, and
    // each error the open fails with.
    bool bMissLogged = false;
    int nOpenErrorLogged = KYR_SUCCESS;
    while (!s_bStop.load(std::memory_order_relaxed)) {
        unsigned nArrivalsSeen = 0;
        {
            std::lock_guard lock(waiter.cs);
            nArrivalsSeen = waiter.nArrivals;
        }
        auto waitForArrival = [&](std::chrono::milliseconds limit) {
            WaitFor(waiter, limit, [&] { return waiter.nArrivals != nArrivalsSeen; });
        };
        const std::optional<Target> target = options.select(bMissLogged);
        if (!target) {
            if (bFirst)
                return RunNoDevice;
            bMissLogged = true;
            waitForArrival(std::chrono::hours(24));
            continue;
        }
        KYR_HANDLE hDevice = KyrOpenDevice(target->nVendor, target->nProduct, target->nInterface, target->nIndex);
        if (hDevice == nullptr) {
            const int nError = KyrGetLastError();
            char szIds[64];
            std::snprintf(szIds, sizeof szIds, "%04x:%04x interface %u", target->nVendor, target->nProduct,
                          target->nInterface);
            if (nError == KYR_ERROR_ACCESS_DENIED) {
                Log(3, "cannot open %s: %s: the udev rule grants the device to its group", szIds,
                    KyrGetErrorDescription(nError));
                return RunAccessDenied;
            }
            if (nError == KYR_ERROR_DEVICE_BUSY) {
                // A second client keeps the device as long as it likes.
                if (nError != nOpenErrorLogged)
                    Log(4, "%s is busy: another client has it open%s; retrying every %d s", szIds,
                        HoldersText(*target).c_str(), options.nRetrySeconds);
            } else if (nError != nOpenErrorLogged) {
                Log(4, "cannot open %s: %s; waiting for it", szIds, KyrGetErrorName(nError));
            }
            nOpenErrorLogged = nError;
            waitForArrival(std::chrono::seconds(options.nRetrySeconds));
            bFirst = false;
            continue;
        }
        bFirst = false;
        bMissLogged = false;
        nOpenErrorLogged = KYR_SUCCESS;

        DeviceIdentity identity;
        identity.nVendor = target->nVendor;
        identity.nProduct = target->nProduct;
        if (KYR_DEVICE_INFO info = KyrGetDeviceInfoFromHandle(hDevice))
            identity.szPath = KyrGetDevInfoPath(info);
        Settings settings;
        std::string szError = LoadSettings(options.szConfigFile, identity.szPath, identity.nProduct, settings);
        if (!szError.empty())
            Log(4, "%s (the setting is ignored)", szError.c_str());
        for (const auto& [szKey, szValue] : options.overrides)
            ApplySetting(settings, szKey, szValue);

        auto pBridge = std::make_unique<TouchBridge>(*options.pSink, settings, identity);
        szError = pBridge->Start();
        if (!szError.empty()) {
            KyrCloseDevice(hDevice);
            Log(3, "%s: %s", identity.szPath.c_str(), szError.c_str());
            return RunFailed;
        }
        {
            std::lock_guard lock(waiter.cs);
            waiter.bGone = false;
            waiter.pBridge = pBridge.get();
        }
        KYR_EVENT_NOTIFY table{};
        table.Context = &waiter;
        table.fnOnPacket = OnPacket;
        table.fnOnDisconnect = OnDisconnect;
        KyrSetEventNotify(hDevice, &table);
        // The library renews the modes before they expire.
        if (KyrSetInstantMode(hDevice, KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_DEVICE, 5000, ~0UL) != 1 ||
            KyrGetLastError() != KYR_SUCCESS)
            Log(4, "%s: asking for touch points failed: %s", identity.szPath.c_str(),
                KyrGetErrorName(KyrGetLastError()));
        Log(6, "%s: bridging to input device \"%s\"", identity.szPath.c_str(),
            TouchBridge::TouchSetup(settings, identity).szName.c_str());

        const bool bGone = WaitFor(waiter, std::chrono::hours(24 * 365), [&] { return waiter.bGone; });
        // Closed first, so that no packet reaches the bridge while it
        // releases the contacts and destroys its devices.
        KyrCloseDevice(hDevice);
        pBridge->Stop();
        {
            std::lock_guard lock(waiter.cs);
            waiter.pBridge = nullptr;
        }
        if (bGone)
            Log(5, "%s: unplugged; contacts released, waiting for the device to return", identity.szPath.c_str());
        // nArrivalsSeen predates the open: an arrival since then is looked at.
        if (bGone)
            waitForArrival(std::chrono::hours(24));
    }
    Log(6, "stopped");
    return RunStopped;
}

} // namespace kyrtouch
