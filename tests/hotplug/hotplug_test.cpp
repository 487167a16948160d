// Hotplug callbacks through the exported interface, under kyrsim: devices
// plugged in and unplugged through its control socket, reported once per
// matching interface, on one library thread, with the documented
// deregistration rules.
//
// Started with two one-interface devices of kModel at 3:7 and 3:8 (see
// CMakeLists.txt). Each test plugs devices of its own at addresses of its own
// on bus 5, since kyrsim never reuses a place.
//
// With KYR_TEST_NO_HOTPLUG=1 this binary tells the library that libusb has no
// hotplug support, so that the library compares device lists instead. Races
// with the library's monitor thread are made deterministic by parking it in
// the libusb and C library calls this binary interposes (ParkAt).
#include <dlfcn.h>
#include <libusb.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "Eventually.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"
#include "Latch.h"

namespace {

using namespace std::chrono_literals;
using kyrtest::Eventually;
using Lines = std::vector<std::string>;

constexpr unsigned short kVid = KYR_USB_VENDOR_ID;
constexpr unsigned short kModel = KYR_USB_PRODUCT_ID_MODEL1;
constexpr unsigned short kAny = KYR_HOTPLUG_MATCH_ANY;
constexpr int kBoth = KYR_HOTPLUG_ARRIVED | KYR_HOTPLUG_LEFT;
// Generous: the poll runs once a second, and the machine is shared.
constexpr auto kEventWait = 15s;

std::atomic<int> g_nCapabilityQueries{0};

bool PollingForced()
{
    const char* psz = std::getenv("KYR_TEST_NO_HOTPLUG");
    return psz != nullptr && std::strcmp(psz, "1") == 0;
}

// The next definition of the function this binary interposes.
#define KYR_REAL(fn) static const auto real = reinterpret_cast<decltype(&fn)>(dlsym(RTLD_NEXT, #fn))

// Where the library's monitor thread parks next, once: at its wait for USB
// events (inside libusb's event handling, its locks held), in libusb's
// hotplug callback where a device's configuration is read, or at the device
// list that describes what arrived. Every other thread passes straight on.
enum class ParkAt { Nowhere, EventWait, ConfigRead, Listing };
std::atomic<ParkAt> g_eParkAt{ParkAt::Nowhere};
std::atomic<kyrtest::Latch*> g_pParkLatch{nullptr};

void ParkMonitorAt(ParkAt eAt, kyrtest::Latch& latch)
{
    g_pParkLatch = &latch;
    g_eParkAt = eAt;
}

void ParkIfAt(ParkAt eAt)
{
    if (g_eParkAt.load() != eAt)
        return;
    char szName[16] = {};
    pthread_getname_np(pthread_self(), szName, sizeof szName);
    if (std::strcmp(szName, "kyrhid-hpwatch") == 0 && g_eParkAt.compare_exchange_strong(eAt, ParkAt::Nowhere))
        g_pParkLatch.load()->Arrive();
}

std::string Path(int nBus, int nAddress, int nMI)
{
    char sz[32];
    snprintf(sz, sizeof sz, "%04x:%04x:%02x", nBus, nAddress, nMI);
    return sz;
}

// What libusb itself told the library, through the library's hotplug
// callback, which registration wraps: product, arrived, bus and address.
std::mutex g_csUsbReports;
std::vector<std::tuple<unsigned short, bool, int, int>> g_UsbReports; // guarded by g_csUsbReports
std::atomic<libusb_hotplug_callback_fn> g_fnLibraryHotplug{nullptr};
// Set, the monitor thread dawdles over arrivals, as on a loaded machine, so
// that devices often go before their arrival is handled.
std::atomic<bool> g_bSlowArrivals{false};
std::mt19937 g_SlowArrivals(5); // used by the monitor thread only

int LIBUSB_CALL RecordForLibrary(libusb_context* pContext, libusb_device* pDevice, libusb_hotplug_event event,
                                 void* pUser)
{
    const bool bArrived = event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED;
    libusb_device_descriptor desc{};
    libusb_get_device_descriptor(pDevice, &desc);
    {
        std::lock_guard lock(g_csUsbReports);
        g_UsbReports.emplace_back(desc.idProduct, bArrived, libusb_get_bus_number(pDevice),
                                  libusb_get_device_address(pDevice));
    }
    if (g_bSlowArrivals && bArrived)
        std::this_thread::sleep_for(std::chrono::milliseconds(g_SlowArrivals() % 60));
    return g_fnLibraryHotplug.load()(pContext, pDevice, event, pUser);
}

} // namespace

// libusb asks itself too, and must keep its own answer: only the library's
// question, told by the caller's object file, is answered "no".
extern "C" int libusb_has_capability(uint32_t capability)
{
    Dl_info caller{};
    const bool bFromLibrary = dladdr(__builtin_return_address(0), &caller) != 0 && caller.dli_fname != nullptr &&
                              std::strstr(caller.dli_fname, "KyrHIDLib") != nullptr;
    if (bFromLibrary && capability == LIBUSB_CAP_HAS_HOTPLUG && PollingForced()) {
        ++g_nCapabilityQueries;
        return 0;
    }
    KYR_REAL(libusb_has_capability);
    return real(capability);
}

extern "C" int poll(pollfd* pFds, nfds_t nFds, int nTimeout)
{
    ParkIfAt(ParkAt::EventWait);
    KYR_REAL(poll);
    return real(pFds, nFds, nTimeout);
}

extern "C" int libusb_get_active_config_descriptor(libusb_device* pDevice, libusb_config_descriptor** ppConfig)
{
    ParkIfAt(ParkAt::ConfigRead);
    KYR_REAL(libusb_get_active_config_descriptor);
    return real(pDevice, ppConfig);
}

extern "C" ssize_t libusb_get_device_list(libusb_context* pContext, libusb_device*** pppList)
{
    ParkIfAt(ParkAt::Listing);
    KYR_REAL(libusb_get_device_list);
    return real(pContext, pppList);
}

extern "C" int libusb_hotplug_register_callback(libusb_context* pContext, int nEvents, int nFlags, int nVendor,
                                                int nProduct, int nClass, libusb_hotplug_callback_fn fn,
                                                void* pUser, libusb_hotplug_callback_handle* pHandle)
{
    KYR_REAL(libusb_hotplug_register_callback);
    g_fnLibraryHotplug = fn;
    return real(pContext, nEvents, nFlags, nVendor, nProduct, nClass, &RecordForLibrary, pUser, pHandle);
}

namespace {

std::string PlugArgs(unsigned short wProduct, int nAddress, int nInterfaces = 1, int nBus = 5)
{
    return "vid=" + std::to_string(kVid) + ",pid=" + std::to_string(wProduct) + ",bus=" + std::to_string(nBus) +
           ",addr=" + std::to_string(nAddress) + ",interfaces=" + std::to_string(nInterfaces);
}

// One event as a line: '+' arrived or '-' left, path, product, interface and
// device index.
std::string Line(int nEvent, const std::string& szPath, unsigned short wProduct, int nMI, int nIndex)
{
    return (nEvent == KYR_HOTPLUG_ARRIVED ? "+" : "-") + szPath + " " + std::to_string(wProduct) + " mi" +
           std::to_string(nMI) + " #" + std::to_string(nIndex);
}

struct Event {
    std::string szPath;
    int nIndex;
    std::thread::id thread;
    std::string szLine;
};

// What one callback saw; its hook, called after the event is recorded,
// returns what decides deregistration.
class CRecorder {
public:
    using Hook = std::function<int(KYR_DEVICE_INFO, int)>;
    explicit CRecorder(Hook hook = {}) : m_Hook(std::move(hook)) {}

    static int Callback(KYR_DEVICE_INFO devInfo, int nEvent, void* pContext)
    {
        auto* pThis = static_cast<CRecorder*>(pContext);
        const std::string szPath = KyrGetDevInfoPath(devInfo);
        const int nIndex = KyrGetDevInfoDeviceIndex(devInfo);
        {
            std::lock_guard lock(pThis->m_mutex);
            pThis->m_events.push_back({szPath, nIndex, std::this_thread::get_id(),
                                       Line(nEvent, szPath, KyrGetDevInfoProductID(devInfo),
                                            KyrGetDevInfoInterfaceNumber(devInfo), nIndex)});
        }
        pThis->m_cv.notify_all();
        return pThis->m_Hook ? pThis->m_Hook(devInfo, nEvent) : 0;
    }

    bool WaitFor(size_t nCount)
    {
        std::unique_lock lock(m_mutex);
        return m_cv.wait_for(lock, kEventWait, [&] { return m_events.size() >= nCount; });
    }

    std::vector<Event> Events()
    {
        std::lock_guard lock(m_mutex);
        return m_events;
    }

    size_t Count() { return Events().size(); }

    Lines AsLines()
    {
        Lines lines;
        for (const Event& event : Events())
            lines.push_back(event.szLine);
        return lines;
    }

private:
    Hook m_Hook;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<Event> m_events; // guarded by m_mutex
};

int Register(CRecorder& recorder, unsigned short wProduct, unsigned short wMI, int nEvents, int nFlags)
{
    int nHandle = 0;
    EXPECT_EQ(KyrRegisterHotplugCallback(kVid, wProduct, wMI, nEvents, nFlags, CRecorder::Callback, &recorder,
                                         &nHandle),
              1);
    EXPECT_EQ(KyrGetLastError(), KYR_SUCCESS);
    EXPECT_GT(nHandle, 0);
    return nHandle;
}

// Deregisters each handle; with nResult 0, each is refused as unknown.
void Deregister(std::initializer_list<int> handles, int nResult = 1)
{
    for (int h : handles) {
        EXPECT_EQ(KyrDeregisterHotplugCallback(h), nResult) << "handle " << h;
        EXPECT_EQ(KyrGetLastError(), nResult == 1 ? KYR_SUCCESS : KYR_ERROR_INVALID_PARAMETER) << "handle " << h;
    }
}

} // namespace

// ---- events -------------------------------------------------------------------------

// Each matching interface arrives and leaves once, a departed device
// described as it was when it arrived. The monitor thread may also be held at
// one point of handling the arrival while the device goes: libusb reported
// it, so it still arrives, with no index to open it by, and then leaves, each
// once (with libusb's hotplug events: the poll has no such points).
TEST(Hotplug, ArrivalsAndDeparturesComeOncePerMatchingInterface)
{
    constexpr unsigned short kProduct = KYR_USB_PRODUCT_ID_MODEL4;
    // Static: a parked thread may still be on its way out of Arrive().
    static kyrtest::Latch latches[3];
    const std::tuple<const char*, ParkAt, int> cases[] = {
        {"handled at once", ParkAt::Nowhere, 20},
        {"gone in libusb's callback", ParkAt::ConfigRead, 70},
        {"gone between libusb's callback and the device list", ParkAt::Listing, 71}};
    for (size_t i = 0; i < (PollingForced() ? 1 : std::size(cases)); ++i) {
        const auto& [pszWhere, eAt, nAddress] = cases[i];
        SCOPED_TRACE(pszWhere);
        CRecorder all;
        const int hAll = Register(all, kProduct, kAny, kBoth, 0);
        ParkMonitorAt(eAt, latches[i]);
        const int nDevice = kyrsim::SimPlug(PlugArgs(kProduct, nAddress, 2));
        ASSERT_TRUE(eAt == ParkAt::Nowhere ? all.WaitFor(2) : latches[i].WaitArrived()) << "not reported, not parked";
        kyrsim::SimUnplug(nDevice);
        // Gone from the list that indices count in, too.
        EXPECT_TRUE(Eventually([&] { return KyrGetDeviceCount(kVid, kProduct, 0) == 0; }));
        g_eParkAt = ParkAt::Nowhere;
        latches[i].Release();
        ASSERT_TRUE(all.WaitFor(4)) << "departure not reported";
        Deregister({hAll});
        Lines expected;
        const int nIndex = eAt == ParkAt::Nowhere ? 0 : -1;
        for (int nEvent : {KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_LEFT}) {
            for (int nMI = 0; nMI < 2; ++nMI)
                expected.push_back(Line(nEvent, Path(5, nAddress, nMI), kProduct, nMI, nIndex));
        }
        EXPECT_EQ(all.AsLines(), expected);
    }
    if (PollingForced()) {
        EXPECT_GT(g_nCapabilityQueries.load(), 0) << "the library was never told no, so it did not poll";
    }
}

TEST(Hotplug, EnumerateReportsPresentDevicesBeforeRegisterReturns)
{
    CRecorder live, leftOnly; // no flag: nothing until something changes; the flag reports arrivals only
    const int hLive = Register(live, kModel, kAny, kBoth, 0);
    const int hLeftOnly = Register(leftOnly, kModel, kAny, KYR_HOTPLUG_LEFT, KYR_HOTPLUG_ENUMERATE);
    CRecorder present, none;
    const int hPresent = Register(present, kModel, 0, KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_ENUMERATE);
    // Before Register returned: no waiting here.
    const std::vector<Event> events = present.Events();
    ASSERT_EQ(events.size(), 2u);
    std::set<std::string> lines;
    for (const Event& event : events) {
        // On the library thread, not the caller's.
        EXPECT_NE(event.thread, std::this_thread::get_id());
        EXPECT_EQ(event.thread, events[0].thread);
        lines.insert(event.szLine);
    }
    // Either device may come first; the indices name them in list order.
    const int nFirst = KyrGetDevInfoPath(KyrGetDeviceInfo(kVid, kModel, 0, 0)) == Path(3, 7, 0) ? 0 : 1;
    EXPECT_EQ(lines, (std::set<std::string>{Line(KYR_HOTPLUG_ARRIVED, Path(3, 7, 0), kModel, 0, nFirst),
                                            Line(KYR_HOTPLUG_ARRIVED, Path(3, 8, 0), kModel, 0, 1 - nFirst)}));
    // Their registrations took effect before the last one, in one queue.
    EXPECT_EQ(live.Count() + leftOnly.Count(), 0u);
    // No interface 1 on these devices.
    const int hNone = Register(none, kModel, 1, KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_ENUMERATE);
    EXPECT_EQ(none.Count(), 0u);
    Deregister({hLive, hLeftOnly, hPresent, hNone});
}

// ---- deregistration ---------------------------------------------------------------------

// A non-zero return deregisters its callback, as does a callback that
// deregisters itself and another; neither is called again, and the handles
// are refused afterwards.
TEST(Hotplug, ANonZeroReturnDeregistersForLiveEventsAsACallbackMayItselfAndOthers)
{
    constexpr unsigned short kProduct = KYR_USB_PRODUCT_ID_MODEL5;
    // Called in the order registered for each event. The handles are only
    // known once Register returns: the first report comes from a device
    // plugged in afterwards.
    int hSelf = 0, hVictim = 0, nSelfResult = -1, nVictimResult = -1;
    CRecorder first([](KYR_DEVICE_INFO, int) { return 2; }), victim, observer; // any non-zero value
    CRecorder self([&](KYR_DEVICE_INFO, int) {
        if (nSelfResult == -1) {
            nVictimResult = KyrDeregisterHotplugCallback(hVictim);
            nSelfResult = KyrDeregisterHotplugCallback(hSelf);
        }
        return 0;
    });
    const int hFirst = Register(first, kProduct, kAny, kBoth, 0);
    hSelf = Register(self, kProduct, kAny, kBoth, 0);
    hVictim = Register(victim, kProduct, kAny, kBoth, 0);
    const int hObserver = Register(observer, kProduct, kAny, kBoth, 0);

    const int nOne = kyrsim::SimPlug(PlugArgs(kProduct, 30));
    const int nTwo = kyrsim::SimPlug(PlugArgs(kProduct, 31));
    ASSERT_TRUE(observer.WaitFor(2));
    kyrsim::SimUnplug(nOne);
    kyrsim::SimUnplug(nTwo);
    ASSERT_TRUE(observer.WaitFor(4));

    // The first event reached them, whichever device that was (a poll may
    // find both at once), and nothing after.
    const Lines firstEvent = {observer.AsLines()[0]};
    EXPECT_EQ(firstEvent[0][0], '+');
    EXPECT_EQ(first.AsLines(), firstEvent);
    EXPECT_EQ(self.AsLines(), firstEvent);
    EXPECT_EQ(nVictimResult, 1);
    EXPECT_EQ(nSelfResult, 1);
    EXPECT_EQ(victim.Count(), 0u) << "called after being deregistered";
    Deregister({hFirst, hSelf, hVictim}, 0);
    Deregister({hObserver});
}

// A callback registers another with the enumeration from inside its first
// call: the present devices reach the new one within that call, on the
// callback's thread. The outer one's non-zero return ends it during its own
// enumeration, its handle set even so.
TEST(Hotplug, RegisteringFromACallbackEnumeratesWithinTheCall)
{
    int nInnerHandle = 0;
    size_t nInnerSeenAtReturn = 0;
    std::thread::id innerRegisteredOn;
    CRecorder inner;
    CRecorder outer([&](KYR_DEVICE_INFO, int) {
        if (nInnerHandle == 0) {
            KyrRegisterHotplugCallback(kVid, kModel, kAny, KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_ENUMERATE,
                                       CRecorder::Callback, &inner, &nInnerHandle);
            nInnerSeenAtReturn = inner.Count();
            innerRegisteredOn = std::this_thread::get_id();
        }
        return 1;
    });
    const int nHandle = Register(outer, kModel, kAny, kBoth, KYR_HOTPLUG_ENUMERATE);
    // Two devices present, the first report ended it.
    EXPECT_EQ(outer.Count(), 1u);
    Deregister({nHandle}, 0);
    ASSERT_GT(nInnerHandle, 0);
    EXPECT_EQ(nInnerSeenAtReturn, 2u);
    for (const Event& event : inner.Events())
        EXPECT_EQ(event.thread, innerRegisteredOn);
    Deregister({nInnerHandle});
}

// The callback, its device's one call, runs on for a second after the test
// lets it go and deregisters it: a correct library returns from the
// deregistration only after that.
TEST(Hotplug, DeregisteringFromAnotherThreadWaitsForTheRunningCall)
{
    constexpr unsigned short kProduct = KYR_USB_PRODUCT_ID_MODEL3;
    kyrtest::Latch entered, nobody(1s);
    std::atomic<bool> bEnded{false};
    auto pRecorder = std::make_unique<CRecorder>([&](KYR_DEVICE_INFO, int) {
        entered.Arrive();
        nobody.WaitArrived();
        bEnded = true;
        return 0;
    });
    const int nHandle = Register(*pRecorder, kProduct, kAny, KYR_HOTPLUG_ARRIVED, 0);
    kyrsim::SimPlug(PlugArgs(kProduct, 50));
    ASSERT_TRUE(entered.WaitArrived());
    entered.Release();
    EXPECT_EQ(KyrDeregisterHotplugCallback(nHandle), 1);
    EXPECT_TRUE(bEnded) << "returned while the callback still ran";
    // Its context may go now: nothing calls it any more.
    pRecorder.reset();
}

// ---- opening from a callback -------------------------------------------------------------

TEST(Hotplug, ACallbackMayOpenTheDeviceThatArrived)
{
    // Opens every interface it hears of, by the index the event gives.
    std::mutex mutex;
    Lines opened; // guarded by mutex
    CRecorder opening([&](KYR_DEVICE_INFO devInfo, int nEvent) {
        if (nEvent != KYR_HOTPLUG_ARRIVED)
            return 0;
        KYR_HANDLE h = KyrOpenDevice(KyrGetDevInfoVendorID(devInfo), KyrGetDevInfoProductID(devInfo),
                                     KyrGetDevInfoInterfaceNumber(devInfo),
                                     static_cast<unsigned short>(KyrGetDevInfoDeviceIndex(devInfo)));
        std::lock_guard lock(mutex);
        if (h == nullptr)
            opened.push_back(KyrGetErrorName(KyrGetLastError()));
        else
            opened.push_back(KyrGetDevInfoPath(KyrGetDeviceInfoFromHandle(h)));
        KyrCloseDevice(h);
        return 0;
    });
    // The present ones first, by enumeration.
    const int nHandle = Register(opening, kModel, kAny, kBoth, KYR_HOTPLUG_ENUMERATE);
    // A third of the same product, with two interfaces: its index is its
    // place among the three, whatever the order of the list.
    kyrsim::SimPlug(PlugArgs(kModel, 60, 2));
    ASSERT_TRUE(opening.WaitFor(4));
    Deregister({nHandle});
    const std::vector<Event> events = opening.Events();
    ASSERT_EQ(events.size(), 4u);
    std::lock_guard lock(mutex);
    EXPECT_EQ(opened, (Lines{events[0].szPath, events[1].szPath, Path(5, 60, 0), Path(5, 60, 1)}));
}

// A departure reaches a hotplug callback that closes the device's handle,
// while the handle's fnOnDisconnect deregisters that callback, or registers
// another with the enumeration: each call would wait for the other's thread.
// Both are held until both have begun. The close cannot fail: the
// (de)registration, which closes the cycle of waits whichever of the two
// comes first, fails and changes nothing.
TEST(Hotplug, ACloseAtDepartureAndARegistrationChangeAtDisconnectDoNotWaitForEachOther)
{
    constexpr unsigned short kProduct = KYR_USB_PRODUCT_ID_VIRTUAL;
    for (const bool bRegister : {false, true}) {
        SCOPED_TRACE(bRegister ? "register" : "deregister");
        CRecorder arrival;
        const int hArrival = Register(arrival, kProduct, 0, KYR_HOTPLUG_ARRIVED, 0);
        const int nDevice = kyrsim::SimPlug(PlugArgs(kProduct, bRegister ? 73 : 72));
        ASSERT_TRUE(arrival.WaitFor(1));
        Deregister({hArrival});

        KYR_HANDLE h = KyrOpenDevice(kVid, kProduct, 0, static_cast<unsigned short>(arrival.Events()[0].nIndex));
        ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
        kyrtest::Latch closing, changing;
        std::atomic<bool> bClosed{false};
        std::atomic<int> nResult{-1}, nError{0};
        int hCloser = 0, hNew = 0;
        CRecorder closer([&](KYR_DEVICE_INFO, int) {
            closing.Arrive();
            KyrCloseDevice(h);
            bClosed = true;
            return 0;
        });
        std::function<void()> changeRegistration = [&] {
            changing.Arrive();
            const int n = bRegister ? KyrRegisterHotplugCallback(kVid, kAny, kAny, KYR_HOTPLUG_ARRIVED,
                                                                 KYR_HOTPLUG_ENUMERATE, CRecorder::Callback, &closer,
                                                                 &hNew)
                                    : KyrDeregisterHotplugCallback(hCloser);
            nError = KyrGetLastError();
            nResult = n;
        };
        KYR_EVENT_NOTIFY table{};
        table.Context = &changeRegistration;
        table.fnOnDisconnect = [](KYR_HANDLE, void* pContext) { (*static_cast<std::function<void()>*>(pContext))(); };
        KyrSetEventNotify(h, &table);
        hCloser = Register(closer, kProduct, 0, KYR_HOTPLUG_LEFT, 0);
        kyrsim::SimUnplug(nDevice);
        ASSERT_TRUE(closing.WaitArrived());
        ASSERT_TRUE(changing.WaitArrived());
        closing.Release();
        changing.Release();
        ASSERT_TRUE(Eventually([&] { return bClosed && nResult != -1; })) << "the two wait for each other";
        EXPECT_EQ(nResult.load(), 0);
        EXPECT_EQ(nError.load(), KYR_ERROR_NOT_SUPPORT);
        SCOPED_TRACE("the failed deregistration dropped it, or the failed registration stayed");
        Deregister({hCloser});
        if (hNew != 0)
            Deregister({hNew}, 0);
    }
}

// ---- arguments ----------------------------------------------------------------

TEST(Hotplug, BadArgumentsAreRefused)
{
    CRecorder recorder;
    int nHandle = 0;
    const std::tuple<int, int, FnKyrHotplug, int*> cases[] = {
        {kBoth, 0, nullptr, &nHandle}, {kBoth, 0, CRecorder::Callback, nullptr}, {0, 0, CRecorder::Callback, &nHandle},
        {4, 0, CRecorder::Callback, &nHandle}, {kBoth, 2, CRecorder::Callback, &nHandle}};
    for (const auto& [nEvents, nFlags, fn, pnHandle] : cases) {
        g_nLastError = KYR_SUCCESS;
        EXPECT_EQ(KyrRegisterHotplugCallback(kVid, kModel, kAny, nEvents, nFlags, fn, &recorder, pnHandle), 0);
        EXPECT_EQ(KyrGetLastError(), KYR_ERROR_INVALID_PARAMETER);
    }
    EXPECT_EQ(nHandle, 0);
    Deregister({0, 123456}, 0);
}

// ---- the end of the process ---------------------------------------------------------------

// In a child process of their own (the death-test style re-executes this
// binary, since libusb's threads do not survive a fork): the library's
// threads must not keep the process from ending, with a callback still
// registered or from inside one.
TEST(HotplugExit, TheProcessEndsWithACallbackRegisteredAndFromInsideOne)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            CRecorder recorder;
            Register(recorder, kModel, kAny, kBoth, KYR_HOTPLUG_ENUMERATE);
            std::exit(recorder.Count() >= 2 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            int nHandle = 0;
            KyrRegisterHotplugCallback(
                kVid, kModel, kAny, KYR_HOTPLUG_ARRIVED, KYR_HOTPLUG_ENUMERATE,
                [](KYR_DEVICE_INFO, int, void*) -> int { std::exit(3); }, nullptr, &nHandle);
            // The exit under way on the library thread releases Register too;
            // this thread must not race it with an exit of its own.
            std::this_thread::sleep_for(kEventWait);
            std::exit(1);
        },
        ::testing::ExitedWithCode(3), "");
}

// The monitor thread is inside libusb's event handling, holding its locks,
// when the process forks: the child's end must leave them alone.
TEST(HotplugExit, AForkedChildThatOnlyExitsEndsCleanly)
{
    CRecorder recorder;
    const int nHandle = Register(recorder, kModel, kAny, kBoth, 0);
    // Never destroyed: the child would, while the parent's thread waits on it.
    static kyrtest::Latch& latch = *new kyrtest::Latch;
    ParkMonitorAt(ParkAt::EventWait, latch);
    ASSERT_TRUE(latch.WaitArrived());
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0)
        std::exit(0);
    latch.Release();
    ASSERT_GT(pid, 0);
    int nStatus = 0;
    const bool bEnded = Eventually([&] { return waitpid(pid, &nStatus, WNOHANG) == pid; });
    if (!bEnded) {
        kill(pid, SIGKILL);
        waitpid(pid, &nStatus, 0);
    }
    EXPECT_TRUE(bEnded) << "the child hung at its end";
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << "status " << std::hex << nStatus;
    Deregister({nHandle});
}

// ---- device indices ------------------------------------------------------------------------

// Started with one device of kModel at 5:20 (see CMakeLists.txt). A device
// plugged in later at 3:7 comes first in the system's scan order but joins a
// long-lived device list at its own place: enumeration and open must still
// mean the same device by the same index.
TEST(HotplugIndex, EnumerationAndOpenNameTheSameDeviceAfterAnArrival)
{
    CRecorder recorder;
    const int nHandle = Register(recorder, kModel, kAny, KYR_HOTPLUG_ARRIVED, 0);
    kyrsim::SimPlug(PlugArgs(kModel, 7, 1, 3));
    ASSERT_TRUE(recorder.WaitFor(1));
    Deregister({nHandle});
    const Event arrival = recorder.Events().front();

    ASSERT_EQ(KyrGetDeviceCount(kVid, kModel, 0), 2);
    std::set<std::string> seen;
    for (unsigned short nIndex = 0; nIndex < 2; ++nIndex) {
        KYR_DEVICE_INFO info = KyrGetDeviceInfo(kVid, kModel, 0, nIndex);
        ASSERT_NE(info, nullptr);
        const std::string szListed = KyrGetDevInfoPath(info);
        seen.insert(szListed);
        EXPECT_TRUE(szListed != arrival.szPath || arrival.nIndex == nIndex) << "the arrival's index names another";
        KYR_HANDLE h = KyrOpenDevice(kVid, kModel, 0, nIndex);
        ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
        EXPECT_EQ(KyrGetDevInfoPath(KyrGetDeviceInfoFromHandle(h)), szListed) << "index " << nIndex;
        KyrCloseDevice(h);
    }
    EXPECT_EQ(seen, (std::set<std::string>{Path(3, 7, 0), Path(5, 20, 0)}));
}

// ---- under load ----------------------------------------------------------------------------

// Bursts of devices plugged in and unplugged at random gaps (a fixed seed,
// so every run plays the same), fast enough that arrivals are handled after
// their device has gone: the library reports exactly what libusb reported,
// in its order, each device arriving and leaving once per interface.
TEST(HotplugBurst, EveryDeviceLibusbReportsArrivesAndLeavesOnceInOrder)
{
    constexpr unsigned short kProduct = KYR_USB_PRODUCT_ID_MODEL2;
    CRecorder recorder;
    const int nHandle = Register(recorder, kProduct, kAny, kBoth, 0);
    g_bSlowArrivals = true;
    std::mt19937 random(11);
    std::uniform_int_distribution<int> burst(1, 4), gap(0, 110);
    int nPlugged = 0;
    for (int nRound = 0; nRound < 100; ++nRound) {
        std::vector<int> devices;
        for (int n = burst(random); n > 0; --n, ++nPlugged) {
            devices.push_back(kyrsim::SimPlug(PlugArgs(kProduct, 1 + nPlugged % 100, 2, 10 + nPlugged / 100)));
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        }
        for (int nDevice : devices) {
            kyrsim::SimUnplug(nDevice);
            std::this_thread::sleep_for(std::chrono::milliseconds(gap(random)));
        }
    }
    // libusb's reports of this product, one line per interface; the library's
    // events, read alike.
    const auto expected = [&] {
        Lines lines;
        std::lock_guard lock(g_csUsbReports);
        for (const auto& [wProduct, bArrived, nBus, nAddress] : g_UsbReports) {
            for (int nMI = 0; wProduct == kProduct && nMI < 2; ++nMI)
                lines.push_back(std::string(bArrived ? "+" : "-").append(Path(nBus, nAddress, nMI)));
        }
        return lines;
    };
    const auto seen = [&] {
        Lines lines;
        for (const Event& event : recorder.Events())
            lines.push_back(event.szLine.substr(0, event.szLine.find(' ')));
        return lines;
    };
    // Every departure is on its way to the library once the list has none left.
    EXPECT_TRUE(Eventually([&] { return KyrGetDeviceCount(kVid, kProduct, 0) == 0; }));
    EXPECT_TRUE(Eventually([&] { return seen().size() >= expected().size(); }));
    Deregister({nHandle});
    g_bSlowArrivals = false;

    const Lines lines = seen(), reported = expected();
    EXPECT_EQ(lines, reported);
    std::map<std::string, std::string> perInterface;
    for (const std::string& szLine : lines)
        perInterface[szLine.substr(1)] += szLine[0];
    for (const auto& [szPath, szEvents] : perInterface)
        EXPECT_EQ(szEvents, "+-") << szPath;
    std::printf("%d devices plugged, %zu reported by libusb\n", nPlugged, reported.size() / 4);
    EXPECT_FALSE(reported.empty());
}
