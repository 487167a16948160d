// Keyboard usage ids (HID Keyboard/Keypad page) as evdev key codes.
#pragma once

#include <span>

namespace kyrtouch {

// The evdev KEY_* code of a usage id, 0 for none.
int EvdevKeyOfUsage(unsigned char nUsage);
// Bit i of the report's modifier byte (left Ctrl, Shift, Alt, Meta, then the
// right ones) as a key code.
int EvdevKeyOfModifier(int nBit);
// Every code the two tables produce, for the keyboard device's capabilities.
std::span<const int> EvdevKeyboardKeys();

} // namespace kyrtouch
