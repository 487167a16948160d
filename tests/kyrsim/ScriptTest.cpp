// Scripted touch frames and device reports of the kyr model, as the library
// decodes them: exactly the frames the script holds, in order, and nothing
// else on the stream, whether queued before or after the host asks for it.
#include "Eventually.h"
#include "KyrDeviceIds.h"
#include "KyrHIDLib.h"
#include "KyrSimControl.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr unsigned long kNoGesture = ~0UL;

struct Point {
    uint16_t x, y, w, h, s;
    bool operator==(const Point&) const = default;
};
using Frame = std::vector<Point>;

struct Report {
    uint8_t buttons = 0;
    int8_t wheel = 0;
    uint16_t x = 0, y = 0;
    uint8_t flag = 0, count = 0, mod = 0;
    std::vector<uint8_t> keys;  // up to 6; the rest of the six are 0
    bool operator==(const Report&) const = default;
};

std::string Text(const std::vector<Frame>& frames)
{
    std::string szText;
    for (const Frame& frame : frames) {
        szText += szText.empty() ? "" : ";";
        std::string szFrame;
        for (const Point& p : frame) {
            szFrame += (szFrame.empty() ? "" : "+") + std::to_string(p.x) + "," + std::to_string(p.y) + "," +
                       std::to_string(p.w) + "," + std::to_string(p.h) + "," + std::to_string(p.s);
        }
        szText += szFrame.empty() ? "-" : szFrame;
    }
    return szText;
}

std::string Text(const std::vector<Report>& reports)
{
    std::string szText;
    for (const Report& r : reports) {
        std::string szKeys;
        for (uint8_t key : r.keys)
            szKeys += (szKeys.empty() ? "" : "+") + std::to_string(key);
        szText += (szText.empty() ? "" : ";") + std::string("buttons=") + std::to_string(r.buttons) +
                  ",wheel=" + std::to_string(r.wheel) + ",x=" + std::to_string(r.x) + ",y=" + std::to_string(r.y) +
                  ",flag=" + std::to_string(r.flag) + ",count=" + std::to_string(r.count) +
                  ",mod=" + std::to_string(r.mod) + (szKeys.empty() ? "" : ",keys=" + szKeys);
    }
    return szText;
}

// What the library delivered, in order.
struct Seen {
    std::mutex mutex;
    std::vector<Frame> frames;
    std::vector<Report> reports;

    static void OnPacket(KYR_HANDLE, kyrpacket* p, int, void* pContext)
    {
        auto& seen = *static_cast<Seen*>(pContext);
        std::lock_guard lock(seen.mutex);
        if (p->type == kyrtype_tpt) {
            Frame frame(static_cast<size_t>(p->body.tpt.touch_count));
            if (!frame.empty()) // an empty vector's data() may be null, which memcpy must not get
                std::memcpy(frame.data(), p->body.tpt.points, frame.size() * sizeof(kyrtouchpoint));
            EXPECT_EQ(p->body.tpt.actual_touch, p->body.tpt.touch_count);
            seen.frames.push_back(frame);
        } else if (p->type == kyrtype_dvc) {
            const auto& d = p->body.dvc;
            Report r{d.mouse_buttons, d.mouse_wheel, d.mouse_x, d.mouse_y, d.flag, d.touch_obj_cnt, d.keyboard_modifier, {}};
            for (unsigned char key : d.keyboard_key) {
                if (key != 0)
                    r.keys.push_back(key);
            }
            seen.reports.push_back(r);
        }
    }
    // The device's handle, with this record taking its packets; null when it does not open.
    KYR_HANDLE Open(unsigned short nPid)
    {
        KYR_HANDLE h = KyrOpenDevice(KYR_USB_VENDOR_ID, nPid, KYR_USB_MODEL_INTERFACE, 0);
        KYR_EVENT_NOTIFY table{};
        table.Context = this;
        table.fnOnPacket = &OnPacket;
        if (h != nullptr)
            KyrSetEventNotify(h, &table);
        return h;
    }
    size_t Frames()
    {
        std::lock_guard lock(mutex);
        return frames.size();
    }
    size_t Reports()
    {
        std::lock_guard lock(mutex);
        return reports.size();
    }
};
static_assert(sizeof(Point) == sizeof(kyrtouchpoint));

struct Script {
    const char* szName;
    std::vector<Frame> frames;
    std::vector<Report> reports;
};

void PrintTo(const Point& p, std::ostream* pOut) { *pOut << Text(std::vector<Frame>{{p}}); }
void PrintTo(const Report& r, std::ostream* pOut) { *pOut << Text(std::vector<Report>{r}); }
void PrintTo(const Script& script, std::ostream* pOut) { *pOut << script.szName; }

const Point kA{100, 200, 30, 30, 180}, kB{900, 200, 30, 28, 170}, kEdge{65535, 0, 0, 65535, 1};

Frame Fingers(size_t n)
{
    Frame frame;
    for (size_t i = 0; i < n; ++i)
        frame.push_back({static_cast<uint16_t>(100 * i), static_cast<uint16_t>(4000 - 100 * i), 20, 22,
                         static_cast<uint16_t>(i)});
    return frame;
}

const Script kScripts[] = {
    {"OneFinger", {{kA}, {{101, 205, 30, 30, 181}}, {}}, {}},
    {"TwoFingersLiftingInTurn", {{kA, kB}, {kA}, {}, {kB}, {}}, {}},
    {"TenThenFortyFingers", {Fingers(10), Fingers(40), {}}, {}},
    {"FieldLimits", {{kEdge}, {{0, 65535, 65535, 0, 65535}}}, {}},
    {"DeviceReports", {},
     {{1, -1, 10, 20, 1, 2, 0x02, {0x04, 0x05}}, {0, 127, 65535, 0, 0, 0, 0, {1, 2, 3, 4, 5, 6}}, {}}},
};

class Scripted : public ::testing::TestWithParam<Script> {
protected:
    void SetUp() override
    {
        m_h = m_seen.Open(KYR_USB_PRODUCT_ID_MODEL1);
        ASSERT_NE(m_h, nullptr) << KyrGetErrorName(KyrGetLastError());
        // The streams an earlier test asked for run on until their expire
        // time, and would send what is queued before this handle asks for it,
        // which a handle drops as a stream it did not ask for.
        ASSERT_GE(KyrSetInstantMode(m_h, 0, 20000, kNoGesture), 1);
        ASSERT_TRUE(kyrtest::Eventually([] { return kyrsim::SimStreams(0).empty(); }));
    }
    void TearDown() override { KyrCloseDevice(m_h); }
    // Only the streams the script drives: the other ones still make samples up.
    void Stream(const Script& script)
    {
        const int nMode = (script.frames.empty() ? 0 : KYR_HID_MODE_TOUCHPNT) |
                          (script.reports.empty() ? 0 : KYR_HID_MODE_DEVICE);
        ASSERT_GE(KyrSetInstantMode(m_h, nMode, 20000, kNoGesture), 1);
    }
    // The stream may be taking earlier frames meanwhile: what waits after
    // queueing lies between what was queued and that plus what waited before.
    void Queue(const Script& script)
    {
        const uint64_t qwTouches = kyrsim::SimTouched(0).qwPending;
        const uint64_t qwReports = kyrsim::SimReported(0).qwPending;
        if (!script.frames.empty()) {
            const uint64_t qwPending = kyrsim::SimTouch(0, Text(script.frames));
            EXPECT_GE(qwPending, script.frames.size());
            EXPECT_LE(qwPending, qwTouches + script.frames.size());
        }
        if (!script.reports.empty()) {
            const uint64_t qwPending = kyrsim::SimReport(0, Text(script.reports));
            EXPECT_GE(qwPending, script.reports.size());
            EXPECT_LE(qwPending, qwReports + script.reports.size());
        }
    }

    KYR_HANDLE m_h = nullptr;
    Seen m_seen;
};

// Queued before and after the host asks, twice over: a made-up sample
// anywhere in between would show among the frames.
TEST_P(Scripted, TheLibraryDecodesExactlyTheScript)
{
    const Script& script = GetParam();
    Queue(script);
    Stream(script);
    Queue(script);
    std::vector<Frame> frames = script.frames;
    frames.insert(frames.end(), script.frames.begin(), script.frames.end());
    std::vector<Report> reports = script.reports;
    reports.insert(reports.end(), script.reports.begin(), script.reports.end());
    ASSERT_TRUE(kyrtest::Eventually([&] { return m_seen.Frames() >= frames.size() && m_seen.Reports() >= reports.size(); }));
    EXPECT_EQ(kyrsim::SimTouched(0).qwPending, 0u);
    EXPECT_EQ(kyrsim::SimReported(0).qwPending, 0u);
    std::lock_guard lock(m_seen.mutex);
    EXPECT_EQ(m_seen.frames, frames);
    EXPECT_EQ(m_seen.reports, reports);
}

INSTANTIATE_TEST_SUITE_P(Scripts, Scripted, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.szName); });

// Device 1 plays two_fingers.touch (touchscript=) when the host asks.
TEST(ScriptFile, PlaysItsFramesWhenAsked)
{
    Seen seen;
    KYR_HANDLE h = seen.Open(KYR_USB_PRODUCT_ID_MODEL2);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    EXPECT_EQ(kyrsim::SimTouched(1).qwPending, 3u);
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT, 20000, kNoGesture), 1);
    EXPECT_TRUE(kyrtest::Eventually([&] { return seen.Frames() >= 3; }));
    KyrCloseDevice(h);
    const std::vector<Frame> expected = {{{100, 200, 30, 30, 180}, {0x384, 200, 30, 30, 170}}, {{100, 210, 30, 30, 180}}, {}};
    EXPECT_EQ(seen.frames, expected);
    EXPECT_EQ(kyrsim::SimTouched(1).qwSent, 3u);
}

// Device 2 is "scripted": neither stream makes samples up, from the start on.
// Whatever either stream sent before a queued item would come before it.
TEST(ScriptedOption, SilencesBothStreamsUntilAsked)
{
    Seen seen;
    KYR_HANDLE h = seen.Open(KYR_USB_PRODUCT_ID_MODEL3);
    ASSERT_NE(h, nullptr) << KyrGetErrorName(KyrGetLastError());
    const Report press{1, 0, 5, 6, 0, 0, 0, {}};
    kyrsim::SimReport(2, Text(std::vector<Report>{press}));
    ASSERT_EQ(KyrSetInstantMode(h, KYR_HID_MODE_TOUCHPNT | KYR_HID_MODE_DEVICE, 20000, kNoGesture), 1);
    EXPECT_TRUE(kyrtest::Eventually([&] { return seen.Reports() >= 1; }));
    kyrsim::SimTouch(2, Text(std::vector<Frame>{{kA}}));
    kyrsim::SimReport(2, "-");
    EXPECT_TRUE(kyrtest::Eventually([&] { return seen.Frames() >= 1 && seen.Reports() >= 2; }));
    KyrCloseDevice(h);
    EXPECT_EQ(seen.frames, std::vector<Frame>{{kA}});
    EXPECT_EQ(seen.reports, (std::vector<Report>{press, Report{}}));
}

TEST(ScriptRequests, RefuseBadFramesAndQueueNothing)
{
    const char* const bad[] = {
        "touch 0 1,2,3,4",      "touch 0 1,2,3,4,5;",   "touch 0 1,2,3,4,65536", "touch 0 1,2,3,4,5++1,2,3,4,5",
        "touch 0 x,2,3,4,5",    "touch 0",              "report 0 wheel=128",    "report 0 keys=1+2+3+4+5+6+7",
        "report 0 buttons=256", "report 0 speed=3",
    };
    const uint64_t qwPending = kyrsim::SimTouched(0).qwPending + kyrsim::SimReported(0).qwPending;
    for (const char* szRequest : bad)
        EXPECT_EQ(kyrsim::SimRequest(szRequest).rfind("error ", 0), 0u) << szRequest;
    EXPECT_EQ(kyrsim::SimRequest("touch 0 " + Text({Fingers(41)})).rfind("error ", 0), 0u);
    EXPECT_EQ(kyrsim::SimTouched(0).qwPending + kyrsim::SimReported(0).qwPending, qwPending);
}

}  // namespace
