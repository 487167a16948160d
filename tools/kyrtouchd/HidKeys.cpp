#include "HidKeys.h"

#include <linux/input-event-codes.h>

#include <algorithm>
#include <array>
#include <vector>

namespace kyrtouch {

namespace {

// Indexed by usage id from 0x00; usages past the end, and the reserved and
// error usages (0x00 to 0x03) have no key.
constexpr int s_Keys[] = {
    0, 0, 0, 0,
    KEY_A, KEY_B, KEY_C, KEY_D, KEY_E, KEY_F, KEY_G, KEY_H, KEY_I, KEY_J, KEY_K, KEY_L, // 0x04
    KEY_M, KEY_N, KEY_O, KEY_P, KEY_Q, KEY_R, KEY_S, KEY_T, KEY_U, KEY_V, KEY_W, KEY_X, // 0x10
    KEY_Y, KEY_Z, KEY_1, KEY_2, KEY_3, KEY_4, KEY_5, KEY_6, KEY_7, KEY_8, KEY_9, KEY_0, // 0x1c
    KEY_ENTER, KEY_ESC, KEY_BACKSPACE, KEY_TAB, KEY_SPACE, KEY_MINUS, KEY_EQUAL, KEY_LEFTBRACE, // 0x28
    KEY_RIGHTBRACE, KEY_BACKSLASH, KEY_BACKSLASH /* non-US # */, KEY_SEMICOLON, KEY_APOSTROPHE, KEY_GRAVE, // 0x30
    KEY_COMMA, KEY_DOT, KEY_SLASH, KEY_CAPSLOCK, // 0x36
    KEY_F1, KEY_F2, KEY_F3, KEY_F4, KEY_F5, KEY_F6, KEY_F7, KEY_F8, KEY_F9, KEY_F10, KEY_F11, KEY_F12, // 0x3a
    KEY_SYSRQ, KEY_SCROLLLOCK, KEY_PAUSE, KEY_INSERT, KEY_HOME, KEY_PAGEUP, KEY_DELETE, KEY_END, // 0x46
    KEY_PAGEDOWN, KEY_RIGHT, KEY_LEFT, KEY_DOWN, KEY_UP, KEY_NUMLOCK, // 0x4e
    KEY_KPSLASH, KEY_KPASTERISK, KEY_KPMINUS, KEY_KPPLUS, KEY_KPENTER, KEY_KP1, KEY_KP2, KEY_KP3, // 0x54
    KEY_KP4, KEY_KP5, KEY_KP6, KEY_KP7, KEY_KP8, KEY_KP9, KEY_KP0, KEY_KPDOT, // 0x5c
    KEY_102ND, KEY_COMPOSE, KEY_POWER, KEY_KPEQUAL, // 0x64
    KEY_F13, KEY_F14, KEY_F15, KEY_F16, KEY_F17, KEY_F18, KEY_F19, KEY_F20, KEY_F21, KEY_F22, KEY_F23, KEY_F24, // 0x68
    KEY_OPEN, KEY_HELP, KEY_PROPS, KEY_FRONT, KEY_STOP, KEY_AGAIN, KEY_UNDO, KEY_CUT, KEY_COPY, KEY_PASTE, // 0x74
    KEY_FIND, KEY_MUTE, KEY_VOLUMEUP, KEY_VOLUMEDOWN, // 0x7e
    0, 0, 0, KEY_KPCOMMA, 0, // 0x82: locking keys, keypad comma, keypad equal sign (AS/400)
    KEY_RO, KEY_KATAKANAHIRAGANA, KEY_YEN, KEY_HENKAN, KEY_MUHENKAN, KEY_KPJPCOMMA, 0, 0, 0, // 0x87
    KEY_HANGEUL, KEY_HANJA, KEY_KATAKANA, KEY_HIRAGANA, KEY_ZENKAKUHANKAKU, // 0x90
};
static_assert(sizeof s_Keys / sizeof s_Keys[0] == 0x95, "the table is indexed by usage id");

constexpr int s_Modifiers[] = {KEY_LEFTCTRL, KEY_LEFTSHIFT, KEY_LEFTALT, KEY_LEFTMETA,
                               KEY_RIGHTCTRL, KEY_RIGHTSHIFT, KEY_RIGHTALT, KEY_RIGHTMETA};

} // namespace

int EvdevKeyOfUsage(unsigned char nUsage)
{
    return nUsage < std::size(s_Keys) ? s_Keys[nUsage] : 0;
}

int EvdevKeyOfModifier(int nBit)
{
    return nBit >= 0 && nBit < 8 ? s_Modifiers[nBit] : 0;
}

std::span<const int> EvdevKeyboardKeys()
{
    static const std::vector<int> keys = [] {
        std::vector<int> v(std::begin(s_Modifiers), std::end(s_Modifiers));
        for (int n : s_Keys) {
            if (n != 0)
                v.push_back(n);
        }
        std::sort(v.begin(), v.end());
        v.erase(std::unique(v.begin(), v.end()), v.end());
        return v;
    }();
    return keys;
}

} // namespace kyrtouch
