// Calibration, settings, the key table and the evdev stream of the bridge,
// written to a sink that records it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/input.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <tuple>

#include "Bridge.h"
#include "Calibration.h"
#include "HidKeys.h"

using namespace kyrtouch;

namespace {

struct OrientationCase {
    const char* pszName;
    Orientation orientation;
    Point expected; // where (0.2, 0.1) lands
};

class Orientations : public testing::TestWithParam<OrientationCase> {};

// Rotations turn the picture clockwise: the top-left corner goes to the top
// right at 90 degrees.
TEST_P(Orientations, MapAPoint)
{
    const Point p = Apply(GetParam().orientation.ToMatrix(), {0.2, 0.1});
    EXPECT_NEAR(p.x, GetParam().expected.x, 1e-12);
    EXPECT_NEAR(p.y, GetParam().expected.y, 1e-12);
}

INSTANTIATE_TEST_SUITE_P(Cases, Orientations,
                         testing::Values(OrientationCase{"None", {}, {0.2, 0.1}},
                                         OrientationCase{"Rotate90", {false, 90, false, false}, {0.9, 0.2}},
                                         OrientationCase{"Rotate180", {false, 180, false, false}, {0.8, 0.9}},
                                         OrientationCase{"Rotate270", {false, 270, false, false}, {0.1, 0.8}},
                                         OrientationCase{"FlipX", {false, 0, true, false}, {0.8, 0.1}},
                                         OrientationCase{"FlipY", {false, 0, false, true}, {0.2, 0.9}},
                                         OrientationCase{"Swap", {true, 0, false, false}, {0.1, 0.2}},
                                         OrientationCase{"SwapThenRotate90", {true, 90, false, false}, {0.8, 0.1}},
                                         OrientationCase{"Rotate90ThenFlipX", {false, 90, true, false}, {0.1, 0.2}}),
                         [](const testing::TestParamInfo<OrientationCase>& info) { return info.param.pszName; });

// Four touches made through a known distortion give back that distortion's
// inverse; touches on one line give none.
TEST(Calibration, FitRecoversTheMatrix)
{
    const std::vector<Point> targets = {{0.125, 0.125}, {0.875, 0.125}, {0.875, 0.875}, {0.125, 0.875}};
    for (const Matrix& m : {kIdentity, Matrix{0, -1, 1, 1, 0, 0}, Matrix{1.05, 0.02, -0.03, -0.01, 0.97, 0.04}}) {
        // touched = inverse(m) applied to the targets, so that m maps the touches onto them.
        const double det = m[0] * m[4] - m[1] * m[3];
        const Matrix inverse = {m[4] / det, -m[1] / det, (m[1] * m[5] - m[4] * m[2]) / det,
                                -m[3] / det, m[0] / det, (m[3] * m[2] - m[0] * m[5]) / det};
        std::vector<Point> touched;
        for (const Point& t : targets)
            touched.push_back(Apply(inverse, t));
        const auto fitted = FitMatrix(touched, targets);
        ASSERT_TRUE(fitted);
        for (size_t i = 0; i < 6; ++i)
            EXPECT_NEAR((*fitted)[i], m[i], 1e-9) << MatrixText(m);
    }
    const std::vector<Point> line = {{0.1, 0.1}, {0.2, 0.2}, {0.3, 0.3}, {0.4, 0.4}};
    EXPECT_FALSE(FitMatrix(line, targets));
}

std::string WriteConfig(const char* pszText)
{
    const std::string szFile = testing::TempDir() + "touchscreen.conf";
    std::ofstream(szFile) << pszText;
    return szFile;
}

// The device's own section wins over its product's, which wins over [*],
// whatever their order in the file.
TEST(Settings, SectionsApplyInPrecedence)
{
    const std::string szFile = WriteConfig("[0003:0007:01]\nrotate = 180\n"
                                           "[product 0x0001]  # the first model\nflip-x = yes\nrotate = 90\n"
                                           "[*]\nrotate = 270\nmax-x = 1000\n");
    const std::tuple<const char*, unsigned short, int, bool> cases[] = {
        {"0003:0007:01", 1, 180, true}, {"0003:0008:01", 1, 90, true}, {"0003:0008:01", 2, 270, false},
        {"0003:0007:01", 2, 180, false}};
    for (const auto& [pszPath, nProduct, nRotation, bFlipX] : cases) {
        Settings s;
        EXPECT_EQ(LoadSettings(szFile, pszPath, nProduct, s), "");
        EXPECT_EQ(s.orientation.nRotation, nRotation) << pszPath << " " << nProduct;
        EXPECT_EQ(s.orientation.bFlipX, bFlipX) << pszPath << " " << nProduct;
        EXPECT_EQ(s.nMaxX, 1000);
    }
}

TEST(Settings, MistakesNameTheLine)
{
    const std::pair<const char*, const char*> cases[] = {
        {"[*]\nrotate = 45\n", ":2: rotate: expected 0, 90, 180 or 270"},
        {"[0003:0009:01]\nmatrix = 1 0 0 0 1\n", ":2: matrix: expected six numbers"},
        {"\n\nspeed = 3\n", ":3: unknown setting \"speed\""},
        {"[*\n", ":1: a section header ends with ]"},
        {"[*]\nflip-x\n", ":2: expected KEY = VALUE"}};
    for (const auto& [pszText, pszError] : cases) {
        Settings s;
        EXPECT_NE(LoadSettings(WriteConfig(pszText), "0003:0007:01", 1, s).find(pszError), std::string::npos)
            << pszText;
    }
}

// Where the library's scan-code table and the key codes meet: the main block
// of evdev's codes is numbered by the PC scan codes.
TEST(HidKeys, MainBlockMatchesTheScanCodes)
{
    int nCompared = 0;
    for (int nUsage = 0x04; nUsage <= 0x48; ++nUsage) {
        const int nScan = KyrFindScanCode(static_cast<char>(nUsage));
        if (nScan == 0 || nUsage == 0x46) // Print Screen's scan code is a prefixed sequence
            continue;
        EXPECT_EQ(EvdevKeyOfUsage(static_cast<unsigned char>(nUsage)), nScan) << std::hex << nUsage;
        ++nCompared;
    }
    EXPECT_GT(nCompared, 60);
    const std::pair<int, int> navigation[] = {{0x4F, KEY_RIGHT}, {0x52, KEY_UP}, {0x58, KEY_KPENTER}, {0x00, 0},
                                              {0xE0, 0}};
    for (const auto& [nUsage, nKey] : navigation)
        EXPECT_EQ(EvdevKeyOfUsage(static_cast<unsigned char>(nUsage)), nKey) << std::hex << nUsage;
    EXPECT_EQ(EvdevKeyOfModifier(1), KEY_LEFTSHIFT);
    EXPECT_EQ(EvdevKeyOfModifier(7), KEY_RIGHTMETA);
}

// ---- The stream --------------------------------------------------------------

using Event = std::tuple<uint16_t, uint16_t, int32_t>;

struct Recorder : IEventSink {
    struct Device : IEventDevice {
        explicit Device(std::vector<Event>& events) : events(events) {}
        void Write(uint16_t t, uint16_t c, int32_t v) override { events.emplace_back(t, c, v); }
        std::vector<Event>& events;
    };
    std::unique_ptr<IEventDevice> Create(const DeviceSetup& setup, std::string&) override
    {
        names.push_back(setup.szName);
        return std::make_unique<Device>(streams[setup.szName]);
    }
    std::vector<std::string> names;
    std::map<std::string, std::vector<Event>> streams;
};

const DeviceIdentity s_Identity{"0003:0007:01", 0x1209, 0x0001};
const std::string s_Touch = "Kyr 1209:0001 0003:0007:01 Touchscreen";

std::vector<Event> Frame(std::initializer_list<Event> events)
{
    std::vector<Event> v(events);
    v.emplace_back(EV_SYN, SYN_REPORT, 0);
    return v;
}

void Append(std::vector<Event>& to, const std::vector<Event>& more)
{
    to.insert(to.end(), more.begin(), more.end());
}

// One finger lands, a second joins, the first lifts; then a stop releases
// the second. Only what changed is written, each frame ends in SYN_REPORT.
TEST(Bridge, ProtocolBStream)
{
    Recorder sink;
    TouchBridge bridge(sink, Settings(), s_Identity);
    ASSERT_EQ(bridge.Start(), "");
    const kyrtouchpoint one[] = {{100, 200, 40, 30, 300}};
    const kyrtouchpoint two[] = {{3000, 50, 10, 10, 90}, {102, 200, 40, 30, 200}};
    const kyrtouchpoint last[] = {{3000, 50, 10, 10, 90}};
    bridge.OnTouchFrame(one);
    bridge.OnTouchFrame(two);
    bridge.OnTouchFrame(two); // nothing changed: nothing written
    bridge.OnTouchFrame(last);
    bridge.Stop();
    std::vector<Event> expected;
    Append(expected, Frame({{EV_ABS, ABS_MT_SLOT, 0}, {EV_ABS, ABS_MT_TRACKING_ID, 0}, {EV_ABS, ABS_MT_POSITION_X, 100},
                            {EV_ABS, ABS_MT_POSITION_Y, 200}, {EV_ABS, ABS_MT_TOUCH_MAJOR, 40},
                            {EV_ABS, ABS_MT_TOUCH_MINOR, 30}, {EV_ABS, ABS_MT_PRESSURE, 255},
                            {EV_KEY, BTN_TOUCH, 1}, {EV_KEY, BTN_TOOL_FINGER, 1}, {EV_ABS, ABS_X, 100},
                            {EV_ABS, ABS_Y, 200}}));
    Append(expected, Frame({{EV_ABS, ABS_MT_POSITION_X, 102}, {EV_ABS, ABS_MT_PRESSURE, 200},
                            {EV_ABS, ABS_MT_SLOT, 1}, {EV_ABS, ABS_MT_TRACKING_ID, 1},
                            {EV_ABS, ABS_MT_POSITION_X, 3000}, {EV_ABS, ABS_MT_POSITION_Y, 50},
                            {EV_ABS, ABS_MT_TOUCH_MAJOR, 10}, {EV_ABS, ABS_MT_TOUCH_MINOR, 10},
                            {EV_ABS, ABS_MT_PRESSURE, 90}, {EV_KEY, BTN_TOOL_FINGER, 0},
                            {EV_KEY, BTN_TOOL_DOUBLETAP, 1}, {EV_ABS, ABS_X, 102}}));
    Append(expected, Frame({{EV_ABS, ABS_MT_SLOT, 0}, {EV_ABS, ABS_MT_TRACKING_ID, -1},
                            {EV_KEY, BTN_TOOL_DOUBLETAP, 0}, {EV_KEY, BTN_TOOL_FINGER, 1}, {EV_ABS, ABS_X, 3000},
                            {EV_ABS, ABS_Y, 50}}));
    Append(expected, Frame({{EV_ABS, ABS_MT_SLOT, 1}, {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_KEY, BTN_TOUCH, 0},
                            {EV_KEY, BTN_TOOL_FINGER, 0}}));
    EXPECT_EQ(sink.names, std::vector<std::string>{s_Touch});
    EXPECT_EQ(sink.streams[s_Touch], expected);
}

// The axes go through the orientation and the matrix; the tool key counts
// up to five fingers; slots stop at the maximum.
TEST(Bridge, CalibratedAxesAndManyFingers)
{
    Settings settings;
    settings.orientation.nRotation = 90;
    settings.matrix = {0.5, 0, 0.25, 0, 1, 0};
    settings.nMaxContacts = 6;
    Recorder sink;
    TouchBridge bridge(sink, settings, s_Identity);
    ASSERT_EQ(bridge.Start(), "");
    std::vector<kyrtouchpoint> points;
    for (unsigned short i = 0; i < 8; ++i)
        points.push_back({static_cast<unsigned short>(500 * i), 819, 5, 5, 10});
    bridge.OnTouchFrame(points);
    int nMaxSlot = -1, nX = -1, nY = -1;
    std::vector<uint16_t> keys;
    for (const auto& [t, c, v] : sink.streams[s_Touch]) {
        if (t == EV_ABS && c == ABS_MT_SLOT)
            nMaxSlot = std::max(nMaxSlot, v);
        if (t == EV_KEY && v == 1)
            keys.push_back(c);
        if (t == EV_ABS && c == ABS_X)
            nX = v;
        if (t == EV_ABS && c == ABS_Y)
            nY = v;
    }
    EXPECT_EQ(nMaxSlot, 5);
    EXPECT_EQ(keys, (std::vector<uint16_t>{BTN_TOUCH, BTN_TOOL_QUINTTAP}));
    // (0, 819) is (0, 0.2) of the range; rotated (0.8, 0); through the matrix (0.65, 0).
    EXPECT_EQ(nX, std::lround(0.65 * 4095));
    EXPECT_EQ(nY, 0);
}

// Pointer and keyboard appear only with device reports that use them, and a
// stop lets go of what is held.
TEST(Bridge, DeviceReportsMakePointerAndKeyboard)
{
    Recorder sink;
    TouchBridge bridge(sink, Settings(), s_Identity);
    ASSERT_EQ(bridge.Start(), "");
    kyrpacket packet{};
    packet.type = kyrtype_dvc;
    bridge.OnPacket(packet); // an empty report makes nothing
    EXPECT_EQ(sink.names.size(), 1u);
    packet.body.dvc.mouse_x = 100;
    packet.body.dvc.mouse_y = 100;
    bridge.OnPacket(packet);
    packet.body.dvc.mouse_x = 90;
    packet.body.dvc.mouse_buttons = 1;
    packet.body.dvc.mouse_wheel = -2;
    packet.body.dvc.keyboard_modifier = 0x02;
    packet.body.dvc.keyboard_key[0] = 0x04;
    bridge.OnPacket(packet);
    bridge.Stop();
    const std::string szMouse = "Kyr 1209:0001 0003:0007:01 Mouse", szKeyboard = "Kyr 1209:0001 0003:0007:01 Keyboard";
    EXPECT_EQ(sink.names, (std::vector<std::string>{s_Touch, szMouse, szKeyboard}));
    std::vector<Event> mouse = Frame({{EV_REL, REL_X, -10}, {EV_REL, REL_WHEEL, -2}, {EV_KEY, BTN_LEFT, 1}});
    Append(mouse, Frame({{EV_KEY, BTN_LEFT, 0}}));
    EXPECT_EQ(sink.streams[szMouse], mouse);
    std::vector<Event> keyboard = Frame({{EV_KEY, KEY_LEFTSHIFT, 1}, {EV_KEY, KEY_A, 1}});
    Append(keyboard, Frame({{EV_KEY, KEY_LEFTSHIFT, 0}, {EV_KEY, KEY_A, 0}}));
    EXPECT_EQ(sink.streams[szKeyboard], keyboard);
    EXPECT_TRUE(sink.streams[s_Touch].empty());
}

// The uinput writer holds a frame back until its SYN_REPORT and then hands
// the whole frame over in one write, as struct input_event records.
TEST(FdEventWriter, OneWritePerFrame)
{
    int fds[2];
    ASSERT_EQ(pipe2(fds, O_NONBLOCK), 0);
    FdEventWriter writer(fds[1]);
    writer.Write(EV_ABS, ABS_MT_SLOT, 1);
    writer.Write(EV_ABS, ABS_MT_TRACKING_ID, -1);
    input_event events[4];
    EXPECT_EQ(read(fds[0], events, sizeof events), -1); // nothing yet
    writer.Write(EV_SYN, SYN_REPORT, 0);
    ASSERT_EQ(read(fds[0], events, sizeof events), static_cast<ssize_t>(3 * sizeof(input_event)));
    const Event expected[] = {{EV_ABS, ABS_MT_SLOT, 1}, {EV_ABS, ABS_MT_TRACKING_ID, -1}, {EV_SYN, SYN_REPORT, 0}};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Event(events[i].type, events[i].code, events[i].value), expected[i]);
    close(fds[1]);
    writer.Write(EV_SYN, SYN_REPORT, 0); // a refused frame is counted, not retried
    EXPECT_EQ(writer.Failures(), 1);
    close(fds[0]);
}

} // namespace
