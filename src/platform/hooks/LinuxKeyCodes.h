#pragma once
// Linux input key codes (KEY_*, as evdev delivers them and as an X server with evdev keycodes numbers
// them, keycode - 8) in the terms a Windows low-level keyboard hook reports: the set-1 scan code, its
// extended (E0) flag and the US-layout virtual key. Both Linux capture backends use this one table,
// and the keyboard state they keep for GetKeyboardState.
//
// Standard library only.

#include <cstdint>

#include "platform/hooks/HookPlatform.h"

struct TLinuxKeyRow {
    uint8_t Scan = 0;  // 0: a key the scan code table does not know
    bool Extended = false;
    uint8_t Vk = 0;
};

// The row of a KEY_* code; a zero row for codes outside the table.
TLinuxKeyRow LinuxKeyRow(unsigned key);

// The keyboard as the hooks see it: one state byte per virtual key (GetKeyboardState), and the event
// kind and flags Windows gives each key event.
class TLinuxKeyboardState {
  public:
    // Forgets every held key; the lock keys' toggles become the given ones.
    void Reset(bool capsLock, bool numLock, bool scrollLock);
    // Applies a press (auto-repeat included) or release of `key` and returns the record a hook gets;
    // *kind receives the event kind (KeyDown, SysKeyDown, ...).
    THookKeyboardRecord Apply(unsigned key, bool press, uint32_t time, bool injected, uint32_t* kind);
    const TKeyboardState& State() const { return FState; }

  private:
    TKeyboardState FState{};
};
