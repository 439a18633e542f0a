#pragma once
// The key table: one row per physical key, tying the key code the low-level keyboard hook
// reports to the USB HID Keyboard/Keypad usage sent to the dongle and to the labels the key
// display shows. Read-only and process-wide; every lookup returns the first matching row.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

struct TKeyCodeRow {
    // AT-101 key position of the row's usage (0 for the unknown-key row). Kept for reference; no
    // lookup reads it.
    int32_t KeyPosition;
    // Windows virtual-key code, 0 where it is not filled (punctuation keys and Caps Lock). No
    // lookup reads it.
    int32_t VirtualKey;
    // Set-1 make code from the hook, plus 0xE000 for an extended key. Search key of ScanCodeToUsageId.
    int32_t ScanCode;
    // HID Keyboard/Keypad usage: 4..101, modifiers 224..231, 0 for the unknown-key row.
    int32_t UsageId;
    // Primary label, UTF-8, never empty. Some labels end in a blank ("Esc ") on purpose: the key
    // display sizes its font by the label's length.
    std::string_view KeyLabel;
    // The character the key gives with Shift (digit row and punctuation), UTF-8; empty otherwise.
    // A literal ampersand is doubled ("&&") because the display's label treats '&' as an accelerator.
    std::string_view ShiftLabel;
};

inline constexpr std::size_t KeyCodeRowCount = 110;

// Row order matters: duplicated scan codes and usages resolve to the first row.
extern const std::array<TKeyCodeRow, KeyCodeRowCount> KeyCodeTable;

// Usage of the first row whose ScanCode equals keyCode (scan code + 0xE000 when extended);
// 0 when no row carries it.
int32_t ScanCodeToUsageId(int32_t keyCode);

// Labels of the first row carrying the usage, or an empty view when no row does. The views point
// into the static table and stay valid for the whole run; nothing is allocated.
std::string_view UsageIdToKeyLabel(int32_t usage);
std::string_view UsageIdToShiftLabel(int32_t usage);

// Length of a UTF-8 text in UTF-16 code units, the length the key display measures a label by
// ("Esc " is 4, an arrow is 1). Malformed bytes count one unit each.
constexpr std::size_t Utf16Length(std::string_view utf8) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t bytes = 1;
        if (lead >= 0xF0 && lead < 0xF8) {
            bytes = 4;
        } else if (lead >= 0xE0 && lead < 0xF0) {
            bytes = 3;
        } else if (lead >= 0xC0 && lead < 0xE0) {
            bytes = 2;
        }
        if (i + bytes > utf8.size())
            bytes = 1;
        for (std::size_t k = 1; k < bytes; ++k) {
            if ((static_cast<unsigned char>(utf8[i + k]) & 0xC0) != 0x80) {
                bytes = 1;
                break;
            }
        }
        // A code point above U+FFFF takes a surrogate pair.
        units += bytes == 4 ? 2 : 1;
        i += bytes;
    }
    return units;
}
