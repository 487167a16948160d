// kyrsim's /dev/uinput, driven by libevdev as a program would drive the
// kernel's, and checked through the uinput control requests: what a device
// was created with and what was written to it come back unchanged, and the
// node refuses what the kernel refuses.
#include "Eventually.h"
#include "KyrSimControl.h"

#include <gtest/gtest.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

using kyrsim::SimInputAxis;
using kyrsim::SimInputEvent;

struct Code {
    uint16_t wType, wCode;
    std::optional<SimInputAxis> axis;
};

// One role of a bridge's devices: what it is created with and what it writes.
struct Role {
    const char* szName;
    uint16_t wBus, wVendor, wProduct, wVersion;
    std::vector<uint16_t> properties;
    std::vector<Code> codes;
    std::vector<SimInputEvent> events;
};

const Role kRoles[] = {
    {"Kyr touch 7",
     BUS_USB, 0x1209, 0x0001, 0x0207,
     {INPUT_PROP_DIRECT},
     {{EV_KEY, BTN_TOUCH, {}}, {EV_KEY, BTN_TOOL_FINGER, {}}, {EV_KEY, BTN_TOOL_QUINTTAP, {}},
      {EV_ABS, ABS_X, SimInputAxis{0, 4095, 0, 0, 12}}, {EV_ABS, ABS_Y, SimInputAxis{-10, 2047, 2, 1, 9}},
      {EV_ABS, ABS_MT_SLOT, SimInputAxis{0, 9, 0, 0, 0}}, {EV_ABS, ABS_MT_TRACKING_ID, SimInputAxis{0, 65535, 0, 0, 0}},
      {EV_ABS, ABS_MT_POSITION_X, SimInputAxis{0, 4095, 0, 0, 12}}, {EV_ABS, ABS_MT_PRESSURE, SimInputAxis{0, 255, 0, 0, 0}}},
     {{0, EV_ABS, ABS_MT_SLOT, 0}, {0, EV_ABS, ABS_MT_TRACKING_ID, 3}, {0, EV_ABS, ABS_MT_POSITION_X, 100},
      {0, EV_KEY, BTN_TOUCH, 1}, {0, EV_SYN, SYN_REPORT, 0}, {0, EV_ABS, ABS_MT_TRACKING_ID, -1},
      {0, EV_KEY, BTN_TOUCH, 0}, {0, EV_SYN, SYN_REPORT, 0}}},
    {"Kyr mouse",
     BUS_VIRTUAL, 0x1209, 0x0002, 1,
     {INPUT_PROP_POINTER},
     {{EV_KEY, BTN_LEFT, {}}, {EV_KEY, BTN_RIGHT, {}}, {EV_REL, REL_X, {}}, {EV_REL, REL_Y, {}}, {EV_REL, REL_WHEEL, {}}},
     {{0, EV_REL, REL_X, -5}, {0, EV_REL, REL_WHEEL, 1}, {0, EV_KEY, BTN_LEFT, 1}, {0, EV_SYN, SYN_REPORT, 0}}},
    {"Kyr keyboard",
     BUS_USB, 0x1209, 0x0003, 0,
     {},
     {{EV_KEY, KEY_A, {}}, {EV_KEY, KEY_LEFTSHIFT, {}}, {EV_KEY, KEY_MAX, {}}, {EV_MSC, MSC_SCAN, {}}},
     {{0, EV_MSC, MSC_SCAN, 0x70004}, {0, EV_KEY, KEY_A, 1}, {0, EV_SYN, SYN_REPORT, 0}, {0, EV_KEY, KEY_A, 0},
      {0, EV_SYN, SYN_REPORT, 0}}},
};

int LastIndex() { return static_cast<int>(kyrsim::SimUinputDevices().size()) - 1; }

class Uinput : public ::testing::TestWithParam<Role> {};

TEST_P(Uinput, KeepsWhatTheDeviceWasCreatedWithAndWhatWasWritten)
{
    const Role& role = GetParam();
    libevdev* pDev = libevdev_new();
    libevdev_set_name(pDev, role.szName);
    libevdev_set_id_bustype(pDev, role.wBus);
    libevdev_set_id_vendor(pDev, role.wVendor);
    libevdev_set_id_product(pDev, role.wProduct);
    libevdev_set_id_version(pDev, role.wVersion);
    for (uint16_t wProperty : role.properties)
        libevdev_enable_property(pDev, wProperty);
    for (const Code& code : role.codes) {
        input_absinfo info{};
        if (code.axis)
            info = {0, code.axis->nMinimum, code.axis->nMaximum, code.axis->nFuzz, code.axis->nFlat,
                    code.axis->nResolution};
        libevdev_enable_event_code(pDev, code.wType, code.wCode, code.axis ? &info : nullptr);
    }
    libevdev_uinput* pUinput = nullptr;
    ASSERT_EQ(libevdev_uinput_create_from_device(pDev, LIBEVDEV_UINPUT_OPEN_MANAGED, &pUinput), 0);
    const int nIndex = LastIndex();
    EXPECT_EQ(std::string(libevdev_uinput_get_syspath(pUinput)),
              "/sys/devices/virtual/input/input" + std::to_string(nIndex));
    for (const SimInputEvent& event : role.events)
        ASSERT_EQ(libevdev_uinput_write_event(pUinput, event.wType, event.wCode, event.nValue), 0);

    kyrsim::SimInputDevice device = kyrsim::SimUinputDevice(nIndex);
    EXPECT_TRUE(device.bAlive);
    EXPECT_EQ(device.szName, role.szName);
    EXPECT_EQ(std::vector<uint16_t>({device.wBus, device.wVendor, device.wProduct, device.wVersion}),
              std::vector<uint16_t>({role.wBus, role.wVendor, role.wProduct, role.wVersion}));
    EXPECT_EQ(device.properties, std::set<uint16_t>(role.properties.begin(), role.properties.end()));
    std::map<uint16_t, std::set<uint16_t>> codes{{EV_SYN, {EV_SYN}}};
    std::map<uint16_t, SimInputAxis> axes;
    for (const Code& code : role.codes) {
        codes[EV_SYN].insert(code.wType);
        codes[code.wType].insert(code.wCode);
        if (code.axis)
            axes[code.wCode] = *code.axis;
    }
    // libevdev enables the report codes of EV_SYN itself; kyrsim shows what
    // was set through uinput, where EV_SYN has no codes.
    EXPECT_EQ(device.codes[EV_SYN], codes[EV_SYN]);
    codes.erase(EV_SYN);
    device.codes.erase(EV_SYN);
    EXPECT_EQ(device.codes, codes);
    EXPECT_EQ(device.axes, axes);
    EXPECT_EQ(device.events, role.events);
    EXPECT_EQ(kyrsim::SimUinputEvents(nIndex, 2), std::vector(role.events.begin() + 2, role.events.end()));
    // Event times count from creation and never run backwards.
    for (size_t n = 1; n < device.events.size(); ++n)
        EXPECT_LE(device.events[n - 1].qwMicros, device.events[n].qwMicros);

    libevdev_uinput_destroy(pUinput);
    libevdev_free(pDev);
    const auto devices = kyrsim::SimUinputDevices();
    ASSERT_EQ(devices.size(), static_cast<size_t>(nIndex) + 1);
    EXPECT_EQ(devices.back().szName, role.szName);
    EXPECT_FALSE(devices.back().bAlive);
    EXPECT_EQ(devices.back().qwEvents, role.events.size());
    EXPECT_FALSE(kyrsim::SimUinputDevice(nIndex).bAlive);
}

INSTANTIATE_TEST_SUITE_P(Roles, Uinput, ::testing::ValuesIn(kRoles));

// The node's rules, step by step on one raw file: each step is an ioctl or
// a write and the errno the kernel gives (0: success).
struct Step {
    const char* szWhat;
    int nErrno;
};

uinput_setup Setup(const char* szName)
{
    uinput_setup setup{};
    setup.id = {BUS_USB, 0x1209, 0x0004, 1};
    std::snprintf(setup.name, sizeof setup.name, "%s", szName);
    return setup;
}

int Do(int fd, const std::string& szWhat)
{
    const input_event syn{{}, EV_SYN, SYN_REPORT, 0};
    uinput_setup setup = Setup(szWhat == "setup B" ? "B" : "A");
    int nResult = 0;
    if (szWhat == "create")
        nResult = ioctl(fd, UI_DEV_CREATE);
    else if (szWhat == "destroy")
        nResult = ioctl(fd, UI_DEV_DESTROY);
    else if (szWhat.rfind("setup", 0) == 0)
        nResult = ioctl(fd, UI_DEV_SETUP, &setup);
    else if (szWhat == "evbit")
        nResult = ioctl(fd, UI_SET_EVBIT, EV_KEY);
    else if (szWhat == "keybit")
        nResult = ioctl(fd, UI_SET_KEYBIT, KEY_A);
    else if (szWhat == "keybit beyond KEY_MAX")
        nResult = ioctl(fd, UI_SET_KEYBIT, KEY_MAX + 1);
    else if (szWhat == "write event")
        nResult = write(fd, &syn, sizeof syn) == sizeof syn ? 0 : -1;
    else if (szWhat == "write half an event")
        nResult = write(fd, &syn, sizeof syn / 2) == sizeof syn / 2 ? 0 : -1;
    else if (szWhat == "sysname") {
        char name[32] = {};
        nResult = ioctl(fd, UI_GET_SYSNAME(sizeof name), name) < 0 ? -1 : 0;
    } else
        ADD_FAILURE() << "no step " << szWhat;
    return nResult == 0 ? 0 : errno;
}

TEST(UinputRules, AsTheKernel)
{
    const Step steps[] = {
        {"write event", EINVAL},   // nothing created: taken for the old setup, which it is not
        {"create", EINVAL},        // no setup yet
        {"sysname", ENOENT},
        {"evbit", 0},
        {"keybit", 0},
        {"keybit beyond KEY_MAX", EINVAL},
        {"setup A", 0},
        {"create", 0},
        {"create", EINVAL},        // once per file
        {"keybit", EINVAL},        // bits are fixed once it exists
        {"setup B", EINVAL},
        {"sysname", 0},
        {"write half an event", EINVAL},
        {"write event", 0},
        {"destroy", 0},
        {"write event", EINVAL},
        {"setup B", 0},            // the file may set up another device
        {"create", 0},
    };
    const int fd = open("/dev/uinput", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << std::strerror(errno);
    const size_t nBefore = kyrsim::SimUinputDevices().size();
    for (const Step& step : steps)
        EXPECT_EQ(Do(fd, step.szWhat), step.nErrno) << step.szWhat;
    auto devices = kyrsim::SimUinputDevices();
    ASSERT_EQ(devices.size(), nBefore + 2);
    EXPECT_EQ(devices[nBefore].szName, "A");
    EXPECT_EQ(devices[nBefore].qwEvents, 1u);
    EXPECT_FALSE(devices[nBefore].bAlive);
    EXPECT_EQ(devices[nBefore + 1].szName, "B");
    EXPECT_TRUE(devices[nBefore + 1].bAlive);
    EXPECT_EQ(kyrsim::SimUinputDevice(static_cast<int>(nBefore + 1)).codes, (std::map<uint16_t, std::set<uint16_t>>{}));
    // Closing the file destroys its device, as a program that dies does.
    close(fd);
    EXPECT_TRUE(kyrtest::Eventually([&] { return !kyrsim::SimUinputDevices()[nBefore + 1].bAlive; }));
}

TEST(UinputRequests, RefuseWhatTheyDoNotKnow)
{
    const char* const bad[] = {"uinput 999", "uinput x", "uinput 0 y", "uinput 0 1 2"};
    for (const char* szRequest : bad)
        EXPECT_EQ(kyrsim::SimRequest(szRequest).rfind("error ", 0), 0u) << szRequest;
}

}  // namespace
