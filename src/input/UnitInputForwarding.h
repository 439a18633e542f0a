#pragma once
// Keyboard and mouse forwarding during pass-through: what the window's two hook handlers do with a
// hooked event. A key event updates the held-key table, tracks Ctrl+Shift, ends pass-through on the
// exit chord and sends a keyboard report; while Ctrl and Shift are held the keypad drives the
// target's pointer instead (the keypad mouse). A mouse event becomes relative motion, buttons and
// wheel notches in the mouse item table and a mouse report.
//
// Swallowing, one rule for every backend: while keys are forwarded (the keyboard box ticked) the
// key handler swallows every key event, whatever the keypad mouse does with it. The keypad keys it
// has no use for (Pad /, *, Enter, 1, 3, 0, . and the release of Pad 5) do nothing anywhere: they
// reach neither the target nor the local desktop. So the result never changes in the middle of
// pass-through, and backends where swallowing is a grab (X11, evdev) keep the keyboard: a key let
// through there would end the grab, and the local desktop would get the keys after it, or a press
// without its release. While keys are not forwarded (mouse only) every key event goes local, the
// exit chord included, and the backends only watch the keyboard.
//
// Standard library only. Everything here runs on the window's thread inside the platform's delivery
// of the event (the hooks call back there), so it takes no locks and stays cheap: one key table
// lookup, one walk over the held keys, one report per active dongle.

#include <cstdint>
#include <string_view>

#include "hid/UnitCodeComparison.h"
#include "hid/UnitCorvHid.h"
#include "input/UnitInputRoute.h"
#include "platform/hooks/HookPlatform.h"

// A running mouse total: the event time it was last reported at and what is summed but not sent.
struct TMouseGrandTotal {
    uint32_t time = 0;
    int32_t value = 0;
};

// The motion state the mouse handler works on; the window owns the fields.
struct TMouseMotion {
    // Where move positions are measured from; (0, 0) means none yet.
    THookPoint& MouseStartPt;
    // time: 0 after a reset, else the time of the first move or of the last motion report.
    TMouseGrandTotal& MouseXgt;
    TMouseGrandTotal& MouseYgt;  // only its value is used
    // time: of the last wheel report; never reset.
    TMouseGrandTotal& MouseZgt;
};

// ---- Process-wide state (the window's thread only).

// A Ctrl key and a Shift key are both held during pass-through: the keypad is a mouse and mouse
// forwarding pauses. Recomputed from the held-key table whenever a key is added or removed.
extern bool CtrlShiftHeld;
// Keypad mouse: motion per key event on each axis (2, 4, 8, 16 or 32), and the held directions.
extern int32_t MouseStep;
extern bool PadUp;
extern bool PadDown;
extern bool PadLeft;
extern bool PadRight;
extern bool PadWheelUp;
extern bool PadWheelDown;
// The route keys (the leader tapped twice, then a digit) in progress, and which leader.
extern TRouteKeys RouteKeys;

// Usages the handlers test.
inline constexpr int32_t UsageF12 = 69;
inline constexpr int32_t UsageGrave = 53;     // the key left of 1
inline constexpr int32_t UsagePadFirst = 84;  // Pad /
inline constexpr int32_t UsagePadLast = 99;   // Pad .
constexpr bool IsKeypadUsage(int32_t usage) {
    return usage >= UsagePadFirst && usage <= UsagePadLast;
}

// True when Keys holds a Ctrl usage (224 or 228) and a Shift usage (225 or 229).
bool IsCtrlShiftPressed(const TIntArray& Keys);
// True when Keys holds a Ctrl usage, a Shift usage and F12 or the key left of 1.
bool IsExitChordPressed(const TIntArray& Keys);

// ---- Key display.

// Font sizes in points: long texts (more than 3 UTF-16 units) get the smaller size.
constexpr int KeyPrimaryPoints(std::string_view text) {
    return Utf16Length(text) > 3 ? 40 : 64;
}
constexpr int KeySecondPoints(std::string_view text) {
    return Utf16Length(text) > 3 ? 28 : 40;
}
inline constexpr int ShortcutPoints = 32;
// The display's sizes are design points at 96 dpi; the window scales pixels per monitor.
constexpr int KeyDisplayPixels(int points) {
    return (points * 96 + 36) / 72;
}

// The window's side of forwarding.
class TForwardTarget {
  public:
    virtual ~TForwardTarget() = default;
    // The keyboard check box: keys are forwarded and swallowed.
    virtual bool KeyboardForwarded() const = 0;
    // The mouse check box: the mouse is captured and forwarded.
    virtual bool MouseForwarded() const = 0;
    // One report of the type to every active dongle (the all-released one when Empty).
    virtual void SendReportToActive(TReportType ReportType, bool Empty) = 0;
    virtual void ShowPressedKey(const TIntArray& Keys) = 0;
    // UTF-8 texts.
    virtual void ShowKeypadMouse(std::string_view Primary, std::string_view Second) = 0;
    // The exit chord was pressed: pass-through ends (hooks off, everything released).
    virtual void ExitPassThrough() = 0;
    // Where the platform holds the pointer while moves are swallowed; false when unknown.
    virtual bool HeldPointerPosition(THookPoint& Pt) = 0;
    // The route keys were completed with this digit: 0 routes input to every dongle, 1 to 9 to the
    // nth connected one in list order. False when the digit names no connected dongle: the route
    // stays and the digit is forwarded as an ordinary key.
    virtual bool SelectRoute(int Digit) = 0;
};

// The keyboard handler: returns the hook result (1 swallows the event, 0 lets it through).
intptr_t ForwardKeyEvent(TForwardTarget& Target, const THookKeyboardRecord& Event);
// The mouse handler, for an event of kind `Kind` (WM_MOUSEMOVE ...): returns the hook result.
intptr_t ForwardMouseEvent(TForwardTarget& Target, const TMouseMotion& Motion, uint32_t Kind,
                           const THookMouseRecord& Event);

// Forgets keypad keys and mouse buttons held across a change of mode (they cannot be released any
// more once the hooks are off) and a route key sequence in progress: directions and wheel stop,
// MouseStep stays.
void ForgetHeldModeKeys();
// Everything above as at program start (tests).
void ResetForwardingStateForTests();
