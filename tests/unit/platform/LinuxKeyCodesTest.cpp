// The Linux key code table both Linux backends use: the codes Windows hooks report for the keys
// where set 1, the E0 prefix and Windows' own conventions part ways, and the keyboard state kept
// from the events.

#include <gtest/gtest.h>

#include <linux/input-event-codes.h>

#include "platform/hooks/LinuxKeyCodes.h"

namespace {

TEST(LinuxKeyCodes, Row_KeysWhereCodesDiffer_WindowsScanCodeFlagAndVirtualKey) {
    struct {
        const char* Name;
        unsigned Key;
        uint8_t Scan;
        bool Extended;
        uint8_t Vk;
    } const rows[] = {
        {"Esc", KEY_ESC, 0x01, false, 0x1B},
        {"A", KEY_A, 0x1E, false, 'A'},
        {"Left Ctrl", KEY_LEFTCTRL, 0x1D, false, 0xA2},
        {"Right Ctrl", KEY_RIGHTCTRL, 0x1D, true, 0xA3},
        {"Right Shift", KEY_RIGHTSHIFT, 0x36, true, 0xA1},
        {"Right Alt", KEY_RIGHTALT, 0x38, true, 0xA5},
        {"Keypad Enter", KEY_KPENTER, 0x1C, true, 0x0D},
        {"Keypad /", KEY_KPSLASH, 0x35, true, 0x6F},
        {"Keypad *", KEY_KPASTERISK, 0x37, false, 0x6A},
        {"Keypad 8", KEY_KP8, 0x48, false, 0x68},
        {"Up", KEY_UP, 0x48, true, 0x26},
        {"Left", KEY_LEFT, 0x4B, true, 0x25},
        {"Right", KEY_RIGHT, 0x4D, true, 0x27},
        {"Down", KEY_DOWN, 0x50, true, 0x28},
        {"Delete", KEY_DELETE, 0x53, true, 0x2E},
        {"Print Screen", KEY_SYSRQ, 0x37, true, 0x2C},
        {"Pause", KEY_PAUSE, 0x45, false, 0x13},
        {"NumLock", KEY_NUMLOCK, 0x45, true, 0x90},
        {"Left Win", KEY_LEFTMETA, 0x5B, true, 0x5B},
        {"Right Win", KEY_RIGHTMETA, 0x5C, true, 0x5C},
        {"Menu", KEY_COMPOSE, 0x5D, true, 0x5D},
        {"102nd", KEY_102ND, 0x56, false, 0xE2},
        {"F12", KEY_F12, 0x58, false, 0x7B},
        {"F13", KEY_F13, 0x64, false, 0x7C},
        {"F24", KEY_F24, 0x76, false, 0x87},
        {"Yen", KEY_YEN, 0x7D, false, 0xDC},
        {"outside the table", 300, 0, false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const TLinuxKeyRow got = LinuxKeyRow(row.Key);
        EXPECT_EQ(got.Scan, row.Scan);
        EXPECT_EQ(got.Extended, row.Extended);
        EXPECT_EQ(got.Vk, row.Vk);
    }
}

TEST(LinuxKeyCodes, State_ModifiersLocksAndSystemKeys) {
    TLinuxKeyboardState keys;
    keys.Reset(false, true, false);
    EXPECT_EQ(keys.State()[0x90], 0x01);  // NumLock on from the start

    uint32_t kind = 0;
    // Alt, and a key typed with it, are system keys; the key carries the Alt flag.
    auto rec = keys.Apply(KEY_LEFTALT, true, 5, false, &kind);
    EXPECT_EQ(kind, HookEventKind::SysKeyDown);
    EXPECT_EQ(keys.State()[0x12], 0x80);
    rec = keys.Apply(KEY_TAB, true, 6, false, &kind);
    EXPECT_EQ(kind, HookEventKind::SysKeyDown);
    EXPECT_NE(rec.flags & HookKeyFlag::AltDown, 0u);
    EXPECT_EQ(rec.time, 6u);
    keys.Apply(KEY_TAB, false, 7, false, &kind);
    EXPECT_EQ(kind, HookEventKind::SysKeyUp);
    // Alt's own release is still a system key; the next key is an ordinary one.
    rec = keys.Apply(KEY_LEFTALT, false, 8, false, &kind);
    EXPECT_EQ(kind, HookEventKind::SysKeyUp);
    EXPECT_NE(rec.flags & HookKeyFlag::Up, 0u);
    keys.Apply(KEY_A, true, 9, false, &kind);
    EXPECT_EQ(kind, HookEventKind::KeyDown);

    // Ctrl+Alt is not a system key combination.
    keys.Apply(KEY_RIGHTCTRL, true, 10, false, &kind);
    keys.Apply(KEY_RIGHTALT, true, 11, false, &kind);
    EXPECT_EQ(kind, HookEventKind::KeyDown);
    EXPECT_EQ(keys.State()[0x11], 0x80);  // either Ctrl makes Ctrl held
    keys.Apply(KEY_RIGHTCTRL, false, 12, false, &kind);
    EXPECT_EQ(keys.State()[0x11], 0x00);

    // A lock key toggles on its press only, not on auto-repeat or release.
    keys.Apply(KEY_CAPSLOCK, true, 13, false, &kind);
    keys.Apply(KEY_CAPSLOCK, true, 14, false, &kind);
    keys.Apply(KEY_CAPSLOCK, false, 15, false, &kind);
    EXPECT_EQ(keys.State()[0x14], 0x01);
}

}  // namespace
