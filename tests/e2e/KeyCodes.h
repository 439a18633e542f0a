#pragma once
// The keys the end-to-end tests and the demo press, as raw X keycodes, and the report bytes a
// dongle must receive for them.
//
// Keys go in as keycodes through XTest, never as keysyms: a keysym-based tool picks whichever
// keycode the keymap lists first and adds modifiers it thinks are needed (xdotool's Control_R also
// presses the left Control), so the tests would no longer know which physical key the program saw.
// Xvfb's default keymap uses the evdev keycodes, Linux KEY_* + 8; XSession checks that once.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

namespace keycode {
inline constexpr unsigned Escape = 9;
inline constexpr unsigned Tab = 23;
inline constexpr unsigned Return = 36;
inline constexpr unsigned LeftCtrl = 37;
inline constexpr unsigned LeftShift = 50;
inline constexpr unsigned RightShift = 62;
inline constexpr unsigned LeftAlt = 64;
inline constexpr unsigned Space = 65;
inline constexpr unsigned F12 = 96;
inline constexpr unsigned ScrollLock = 78;
inline constexpr unsigned RightCtrl = 105;
inline constexpr unsigned Home = 110;
inline constexpr unsigned End = 115;
inline constexpr unsigned Right = 114;
inline constexpr unsigned Down = 116;
// Letters by their place on the keyboard (US layout).
inline constexpr unsigned A = 38;
inline constexpr unsigned C = 54;
inline constexpr unsigned M = 58;
inline constexpr unsigned S = 39;
inline constexpr unsigned T = 28;
inline constexpr unsigned V = 55;
inline constexpr unsigned CapsLock = 66;
// The numeric keypad, NumLock off or on: the keycode is the same.
inline constexpr unsigned Pad7 = 79;
inline constexpr unsigned Pad8 = 80;
inline constexpr unsigned Pad9 = 81;
inline constexpr unsigned PadMinus = 82;
inline constexpr unsigned Pad4 = 83;
inline constexpr unsigned Pad5 = 84;
inline constexpr unsigned Pad6 = 85;
inline constexpr unsigned PadPlus = 86;
inline constexpr unsigned Pad1 = 87;
inline constexpr unsigned Pad2 = 88;
inline constexpr unsigned Pad3 = 89;
}  // namespace keycode

// HID keyboard usages the tests check.
namespace usage {
inline constexpr uint8_t LeftCtrl = 224;
inline constexpr uint8_t LeftShift = 225;
inline constexpr uint8_t LeftAlt = 226;
inline constexpr uint8_t Delete = 76;
}  // namespace usage

// Modifier bits of a keyboard report.
namespace modifier {
inline constexpr uint8_t LeftCtrl = 0x01;
inline constexpr uint8_t LeftShift = 0x02;
inline constexpr uint8_t LeftAlt = 0x04;
}  // namespace modifier

// One character on a US keyboard: the key, its usage, and whether left Shift is held for it.
struct TKeyStroke {
    unsigned keycode = 0;
    uint8_t usage = 0;
    bool shift = false;
};

// Letters, digits, space and a few punctuation marks; nullopt for the rest.
std::optional<TKeyStroke> KeyStrokeFor(char c);

// A keyboard report as the virtual dongle service prints it ("01 02 00 ..."): 8 bytes in plain
// framing, 9 with the report ID 1 in front.
std::string KeyboardReportHex(uint8_t modifiers, const std::vector<uint8_t>& keys, bool reportId);
// A mouse report: 6 bytes, 7 with the report ID 3 in front.
std::string MouseReportHex(uint8_t buttons, int16_t x, int16_t y, int8_t wheel, bool reportId);

// Every keyboard report typing `text` key by key sends, when each character is pressed and
// released on its own and capitals are typed with left Shift pressed before and released after.
std::vector<std::string> KeyboardReportsForText(std::string_view text, bool reportId);

}  // namespace e2e
