#include "platform/hooks/LinuxKeyCodes.h"

#include <array>

namespace {

constexpr std::array<TLinuxKeyRow, 256> MakeKeyRows() {
    std::array<TLinuxKeyRow, 256> rows{};
    // KEY 1..88: the set-1 code is the KEY code itself (the first 83 are identical by design).
    constexpr uint8_t vk[89] = {
        0,    0x1B, '1',  '2',  '3',  '4',  '5',  '6',  '7',  '8',  '9',  '0',  0xBD, 0xBB, 0x08,  // 0-14
        0x09, 'Q',  'W',  'E',  'R',  'T',  'Y',  'U',  'I',  'O',  'P',  0xDB, 0xDD, 0x0D,        // 15-28
        0xA2, 'A',  'S',  'D',  'F',  'G',  'H',  'J',  'K',  'L',  0xBA, 0xDE, 0xC0, 0xA0,        // 29-42
        0xDC, 'Z',  'X',  'C',  'V',  'B',  'N',  'M',  0xBC, 0xBE, 0xBF, 0xA1, 0x6A, 0xA4,        // 43-56
        0x20, 0x14, 0x70, 0x71, 0x72, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x90, 0x91,        // 57-70
        0x67, 0x68, 0x69, 0x6D, 0x64, 0x65, 0x66, 0x6B, 0x61, 0x62, 0x63, 0x60, 0x6E,              // 71-83
        0,    0,    0xE2, 0x7A, 0x7B,                                                              // 84-88
    };
    for (int key = 1; key <= 88; ++key) {
        if (vk[key] != 0) {
            rows[key] = {static_cast<uint8_t>(key), false, vk[key]};
        }
    }
    // Windows reports right Shift and NumLock with the extended flag (so the key table lists right
    // Shift as 0xE036), and Pause as a plain 0x45.
    rows[54].Extended = true;         // RIGHTSHIFT 0x36
    rows[69].Extended = true;         // NUMLOCK 0x45
    rows[119] = {0x45, false, 0x13};  // PAUSE
    struct {
        int Key;
        uint8_t Scan;
        uint8_t Vk;
    } const extended[] = {
        {96, 0x1C, 0x0D},   // KPENTER
        {97, 0x1D, 0xA3},   // RIGHTCTRL
        {98, 0x35, 0x6F},   // KPSLASH
        {99, 0x37, 0x2C},   // SYSRQ (Print Screen)
        {100, 0x38, 0xA5},  // RIGHTALT
        {102, 0x47, 0x24},  // HOME
        {103, 0x48, 0x26},  // UP
        {104, 0x49, 0x21},  // PAGEUP
        {105, 0x4B, 0x25},  // LEFT
        {106, 0x4D, 0x27},  // RIGHT
        {107, 0x4F, 0x23},  // END
        {108, 0x50, 0x28},  // DOWN
        {109, 0x51, 0x22},  // PAGEDOWN
        {110, 0x52, 0x2D},  // INSERT
        {111, 0x53, 0x2E},  // DELETE
        {125, 0x5B, 0x5B},  // LEFTMETA (left Windows)
        {126, 0x5C, 0x5C},  // RIGHTMETA
        {127, 0x5D, 0x5D},  // COMPOSE (Menu)
    };
    for (const auto& e : extended) {
        rows[e.Key] = {e.Scan, true, e.Vk};
    }
    rows[117] = {0x59, false, 0x92};  // KPEQUAL
    rows[89] = {0x73, false, 0xC1};   // RO
    rows[92] = {0x79, false, 0x1C};   // HENKAN
    rows[93] = {0x70, false, 0x15};   // KATAKANAHIRAGANA
    rows[94] = {0x7B, false, 0x1D};   // MUHENKAN
    rows[124] = {0x7D, false, 0xDC};  // YEN
    for (int i = 0; i < 12; ++i) {    // F13..F24
        rows[183 + i] = {static_cast<uint8_t>(i < 11 ? 0x64 + i : 0x76), false,
                         static_cast<uint8_t>(0x7C + i)};
    }
    return rows;
}
constexpr std::array<TLinuxKeyRow, 256> KeyRows = MakeKeyRows();

constexpr uint8_t VkShift = 0x10, VkControl = 0x11, VkMenu = 0x12, VkCapital = 0x14, VkNumLock = 0x90,
                  VkScroll = 0x91, VkLControl = 0xA2, VkRControl = 0xA3, VkLMenu = 0xA4, VkRMenu = 0xA5,
                  VkLShift = 0xA0, VkRShift = 0xA1;

}  // namespace

TLinuxKeyRow LinuxKeyRow(unsigned key) {
    return key < KeyRows.size() ? KeyRows[key] : TLinuxKeyRow{};
}

void TLinuxKeyboardState::Reset(bool capsLock, bool numLock, bool scrollLock) {
    FState.fill(0);
    FState[VkCapital] = capsLock ? 0x01 : 0x00;
    FState[VkNumLock] = numLock ? 0x01 : 0x00;
    FState[VkScroll] = scrollLock ? 0x01 : 0x00;
}

THookKeyboardRecord TLinuxKeyboardState::Apply(unsigned key, bool press, uint32_t time, bool injected,
                                               uint32_t* kind) {
    const TLinuxKeyRow row = LinuxKeyRow(key);

    // Keyboard state as GetKeyboardState would give it after this event.
    if (row.Vk != 0) {
        if (press) {
            if ((FState[row.Vk] & 0x80) == 0 &&
                (row.Vk == VkCapital || row.Vk == VkNumLock || row.Vk == VkScroll)) {
                FState[row.Vk] ^= 0x01;
            }
            FState[row.Vk] |= 0x80;
        } else {
            FState[row.Vk] &= 0x7F;
        }
    }
    const auto held = [this](uint8_t vk) { return (FState[vk] & 0x80) != 0; };
    FState[VkShift] = (held(VkLShift) || held(VkRShift)) ? 0x80 : 0;
    FState[VkControl] = (held(VkLControl) || held(VkRControl)) ? 0x80 : 0;
    const bool altBefore = (FState[VkMenu] & 0x80) != 0;
    FState[VkMenu] = (held(VkLMenu) || held(VkRMenu)) ? 0x80 : 0;

    // Windows reports keys typed with Alt (and without Ctrl) as system keys, the Alt key included.
    const bool alt = press ? held(VkMenu) : altBefore;
    const bool system = alt && !held(VkControl);
    *kind = press ? (system ? HookEventKind::SysKeyDown : HookEventKind::KeyDown)
                  : (system ? HookEventKind::SysKeyUp : HookEventKind::KeyUp);
    const uint32_t flags = (row.Extended ? HookKeyFlag::Extended : 0) | (press ? 0 : HookKeyFlag::Up) |
                           (alt ? HookKeyFlag::AltDown : 0) | (injected ? HookKeyFlag::Injected : 0);
    return {row.Vk, row.Scan, flags, time, 0};
}
