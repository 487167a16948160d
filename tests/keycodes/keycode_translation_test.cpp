// Key-code translation through the exported functions, against keyboard
// layouts written out here from the key names (PC make codes, HID usage ids).
#include <algorithm>
#include <climits>
#include <iterator>

#include <gtest/gtest.h>

#include "KyrHIDLib.h"

namespace {

struct Key {
    int scan;
    int usage;
    const char* name;
};

// Every key a make code 0x00-0x7F stands for without an E0 prefix.
const Key kKeys[] = {
    {0x01, 0x29, "Esc"}, {0x02, 0x1E, "1"}, {0x03, 0x1F, "2"}, {0x04, 0x20, "3"}, {0x05, 0x21, "4"},
    {0x06, 0x22, "5"}, {0x07, 0x23, "6"}, {0x08, 0x24, "7"}, {0x09, 0x25, "8"}, {0x0A, 0x26, "9"},
    {0x0B, 0x27, "0"}, {0x0C, 0x2D, "Minus"}, {0x0D, 0x2E, "Equal"}, {0x0E, 0x2A, "Backspace"},
    {0x0F, 0x2B, "Tab"}, {0x10, 0x14, "Q"}, {0x11, 0x1A, "W"}, {0x12, 0x08, "E"}, {0x13, 0x15, "R"},
    {0x14, 0x17, "T"}, {0x15, 0x1C, "Y"}, {0x16, 0x18, "U"}, {0x17, 0x0C, "I"}, {0x18, 0x12, "O"},
    {0x19, 0x13, "P"}, {0x1A, 0x2F, "["}, {0x1B, 0x30, "]"}, {0x1C, 0x28, "Enter"},
    {0x1D, 0xE0, "Left Control"}, {0x1E, 0x04, "A"}, {0x1F, 0x16, "S"}, {0x20, 0x07, "D"},
    {0x21, 0x09, "F"}, {0x22, 0x0A, "G"}, {0x23, 0x0B, "H"}, {0x24, 0x0D, "J"}, {0x25, 0x0E, "K"},
    {0x26, 0x0F, "L"}, {0x27, 0x33, ";"}, {0x28, 0x34, "'"}, {0x29, 0x35, "`"}, {0x2A, 0xE1, "Left Shift"},
    {0x2B, 0x31, "\\"}, {0x2C, 0x1D, "Z"}, {0x2D, 0x1B, "X"}, {0x2E, 0x06, "C"}, {0x2F, 0x19, "V"},
    {0x30, 0x05, "B"}, {0x31, 0x11, "N"}, {0x32, 0x10, "M"}, {0x33, 0x36, ","}, {0x34, 0x37, "."},
    {0x35, 0x38, "/"}, {0x36, 0xE5, "Right Shift"}, {0x37, 0x55, "Keypad *"}, {0x38, 0xE2, "Left Alt"},
    {0x39, 0x2C, "Space"}, {0x3A, 0x39, "Caps Lock"}, {0x3B, 0x3A, "F1"}, {0x3C, 0x3B, "F2"},
    {0x3D, 0x3C, "F3"}, {0x3E, 0x3D, "F4"}, {0x3F, 0x3E, "F5"}, {0x40, 0x3F, "F6"}, {0x41, 0x40, "F7"},
    {0x42, 0x41, "F8"}, {0x43, 0x42, "F9"}, {0x44, 0x43, "F10"}, {0x45, 0x53, "Num Lock"},
    {0x46, 0x47, "Scroll Lock"}, {0x47, 0x5F, "Keypad 7"}, {0x48, 0x60, "Keypad 8"}, {0x49, 0x61, "Keypad 9"},
    {0x4A, 0x56, "Keypad -"}, {0x4B, 0x5C, "Keypad 4"}, {0x4C, 0x5D, "Keypad 5"}, {0x4D, 0x5E, "Keypad 6"},
    {0x4E, 0x57, "Keypad +"}, {0x4F, 0x59, "Keypad 1"}, {0x50, 0x5A, "Keypad 2"}, {0x51, 0x5B, "Keypad 3"},
    {0x52, 0x62, "Keypad 0"}, {0x53, 0x63, "Keypad ."}, {0x54, 0x46, "SysRq / Print Screen"},
    {0x56, 0x64, "Non-US \\"}, {0x57, 0x44, "F11"}, {0x58, 0x45, "F12"}, {0x59, 0x67, "Keypad ="},
    {0x5C, 0x8C, "International 6"}, {0x5D, 0x65, "Application"}, {0x64, 0x68, "F13"}, {0x65, 0x69, "F14"},
    {0x66, 0x6A, "F15"}, {0x67, 0x6B, "F16"}, {0x68, 0x6C, "F17"}, {0x69, 0x6D, "F18"}, {0x6A, 0x6E, "F19"},
    {0x6B, 0x6F, "F20"}, {0x6C, 0x70, "F21"}, {0x6D, 0x71, "F22"}, {0x6E, 0x72, "F23"},
    {0x70, 0x88, "Katakana/Hiragana"}, {0x73, 0x87, "Ro"}, {0x76, 0x73, "F24"}, {0x77, 0x93, "Zenkaku"},
    {0x78, 0x92, "Katakana"}, {0x79, 0x8A, "Henkan"}, {0x7B, 0x8B, "Muhenkan"}, {0x7D, 0x89, "Yen"},
    {0x7E, 0x85, "Keypad , (Brazil)"},
};

// The grey keys sharing their make codes with the keypad (sent behind E0).
const Key kNavigation[] = {
    {0x52, 0x49, "Insert"}, {0x47, 0x4A, "Home"}, {0x49, 0x4B, "Page Up"}, {0x53, 0x4C, "Delete"},
    {0x4F, 0x4D, "End"}, {0x51, 0x4E, "Page Down"}, {0x4D, 0x4F, "Right Arrow"}, {0x4B, 0x50, "Left Arrow"},
    {0x50, 0x51, "Down Arrow"}, {0x48, 0x52, "Up Arrow"},
};

template <std::size_t N>
bool HasScan(const Key (&keys)[N], int scan)
{
    return std::any_of(std::begin(keys), std::end(keys), [&](const Key& k) { return k.scan == scan; });
}

int UsageOf(int scan) { return static_cast<unsigned char>(KyrFindUsageId(scan)); }
int ScanOf(int usage) { return KyrFindScanCode(static_cast<char>(usage)); }

TEST(KeyCodes, EveryKeyTranslatesBothWaysOutsideTheNavigationBlock)
{
    for (const Key& k : kKeys) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(ScanOf(k.usage), k.scan);
        if (!HasScan(kNavigation, k.scan)) {
            EXPECT_EQ(UsageOf(ScanOf(k.usage)), k.usage);
        }
    }
}

TEST(KeyCodes, NavigationKeysWinOverTheKeypadBothWays)
{
    for (const Key& k : kNavigation) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(ScanOf(k.usage), k.scan);
        EXPECT_EQ(UsageOf(k.scan), k.usage);
    }
    // Keypad 7 still finds its code, but that code reads back as Home.
    EXPECT_EQ(ScanOf(0x5F), 0x47);
    EXPECT_EQ(UsageOf(0x47), 0x4A);
    // Minus, 5 and plus have no grey twin.
    EXPECT_EQ(UsageOf(0x4A), 0x56);
    EXPECT_EQ(UsageOf(0x4C), 0x5D);
    EXPECT_EQ(UsageOf(0x4E), 0x57);
}

TEST(KeyCodes, EveryUsageIdPassedAsCharFindsItsKeyOrZero)
{
    for (int usage = 0; usage <= 0xFF; ++usage) {
        int expected = 0;
        for (const Key& k : kKeys)
            if (k.usage == usage)
                expected = k.scan;
        for (const Key& k : kNavigation)
            if (k.usage == usage)
                expected = k.scan;
        EXPECT_EQ(ScanOf(usage), expected) << "usage id 0x" << std::hex << usage;
    }
    EXPECT_EQ(ScanOf(0x48), 0) << "Pause has no make code of its own";
    EXPECT_EQ(KyrFindScanCode('\xE0'), 0x1D);
    EXPECT_EQ(KyrFindUsageId(0x1D), '\xE0');
}

TEST(KeyCodes, UnassignedAndOutOfRangeScanCodesGiveZero)
{
    for (int scan = 0; scan < 128; ++scan)
        if (!HasScan(kNavigation, scan) && !HasScan(kKeys, scan)) {
            EXPECT_EQ(UsageOf(scan), 0) << "scan code 0x" << std::hex << scan;
        }
    for (int scan : {-1, 128, 0x147, INT_MIN, INT_MAX})
        EXPECT_EQ(KyrFindUsageId(scan), 0) << scan;
}

TEST(KeyCodes, LeaveTheLastErrorAlone)
{
    g_nLastError = KYR_ERROR_TIMEOUT;
    KyrFindScanCode('\x48');
    KyrFindScanCode('\xE2');
    KyrFindUsageId(-1);
    KyrFindUsageId(0x47);
    EXPECT_EQ(g_nLastError, KYR_ERROR_TIMEOUT);
    EXPECT_EQ(KyrGetLastError(), KYR_ERROR_TIMEOUT);
}

} // namespace
