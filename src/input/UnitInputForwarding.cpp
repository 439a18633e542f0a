#include "input/UnitInputForwarding.h"

#include <array>
#include <bit>

#include "input/UnitKeyHook.h"

bool CtrlShiftHeld = false;
int32_t MouseStep = 4;
bool PadUp = false;
bool PadDown = false;
bool PadLeft = false;
bool PadRight = false;
bool PadWheelUp = false;
bool PadWheelDown = false;
TRouteKeys RouteKeys;

namespace {

// Keypad keys whose press went to the keypad mouse and which are not yet released, one bit per
// usage from Pad /. Their release ends what their press started, even when Ctrl or Shift has been
// let go in between; and a keypad key already in the held-key table stays an ordinary key until it
// is released, even when Ctrl and Shift come down while it is held.
uint16_t PadKeysHeld = 0;
// Mouse buttons whose press reached local applications (while Ctrl and Shift were held): their
// release goes there too.
uint8_t LocalButtons = 0;

constexpr intptr_t Swallow = 1;
constexpr intptr_t Through = 0;

uint16_t PadBit(int32_t usage) {
    return static_cast<uint16_t>(1u << (usage - UsagePadFirst));
}

bool IsHeldKey(int32_t usage) {
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[static_cast<std::size_t>(i)].UsageId == usage)
            return true;
    }
    return false;
}

int32_t MouseItemValue(int32_t code) {
    for (int32_t i = 0; i < MouseItemCount; ++i) {
        if (MouseItems[static_cast<std::size_t>(i)].Code == code)
            return MouseItems[static_cast<std::size_t>(i)].Value;
    }
    return 0;
}

int32_t Axis(bool negative, bool positive, int32_t step) {
    if (negative && !positive)
        return -step;
    if (positive && !negative)
        return step;
    return 0;
}

enum class TPadAction : uint8_t {
    Through,
    WheelUp,
    WheelDown,
    Down,
    Left,
    Step,
    Right,
    LeftButton,
    Up,
    RightButton
};

// By usage from Pad /: what the key does as the keypad mouse, what the display shows, and what its
// press holds: a direction or wheel flag, or a mouse button (its mouse item code).
struct TPadKey {
    TPadAction Action;
    std::string_view Symbol;
    bool* Flag = nullptr;
    int32_t Button = 0;
};
constexpr std::array<TPadKey, 16> PadKeys{{
    {TPadAction::Through, {}},                                     // 84 Pad /
    {TPadAction::Through, {}},                                     // 85 Pad *
    {TPadAction::WheelUp, "\u21E1", &PadWheelUp},                  // 86 Pad -  ⇡
    {TPadAction::WheelDown, "\u21E3", &PadWheelDown},              // 87 Pad +  ⇣
    {TPadAction::Through, {}},                                     // 88 Pad Enter
    {TPadAction::Through, {}},                                     // 89 Pad 1
    {TPadAction::Down, "\u2193", &PadDown},                        // 90 Pad 2  ↓
    {TPadAction::Through, {}},                                     // 91 Pad 3
    {TPadAction::Left, "\u2190", &PadLeft},                        // 92 Pad 4  ←
    {TPadAction::Step, {}},                                        // 93 Pad 5
    {TPadAction::Right, "\u2192", &PadRight},                      // 94 Pad 6  →
    {TPadAction::LeftButton, "\u25F0", nullptr, MouseCodeLeft},    // 95 Pad 7  ◰
    {TPadAction::Up, "\u2191", &PadUp},                            // 96 Pad 8  ↑
    {TPadAction::RightButton, "\u25F3", nullptr, MouseCodeRight},  // 97 Pad 9  ◳
    {TPadAction::Through, {}},                                     // 98 Pad 0
    {TPadAction::Through, {}},                                     // 99 Pad .
}};

constexpr std::array<std::string_view, 6> StepTexts{"0", "1", "2", "3", "4", "5"};

// Sets the direction, wheel or button the key holds; false for the keys without one.
bool ApplyPadAction(const TPadKey& key, bool down) {
    if (key.Flag != nullptr) {
        *key.Flag = down;
        return true;
    }
    if (key.Button != 0) {
        SetMouseItem(key.Button, down ? 1 : 0);
        return true;
    }
    return false;
}

intptr_t KeyboardResult(const TForwardTarget& target) {
    return target.KeyboardForwarded() ? Swallow : Through;
}

// A keypad key while Ctrl and Shift are held, or the release of one pressed then. Swallowed like
// every key while keys are forwarded, also the ones the keypad mouse has no use for (see the header).
intptr_t KeypadMouse(TForwardTarget& target, int32_t usage, bool release) {
    const TPadKey& key = PadKeys[static_cast<std::size_t>(usage - UsagePadFirst)];
    const uint16_t bit = PadBit(usage);
    if (!CtrlShiftHeld) {
        // Ctrl or Shift was let go while this key was held: its auto-repeat does nothing, its
        // release ends what its press started (a button goes up on the target).
        if (release) {
            PadKeysHeld = static_cast<uint16_t>(PadKeysHeld & ~bit);
            if (ApplyPadAction(key, false) &&
                (key.Action == TPadAction::LeftButton || key.Action == TPadAction::RightButton)) {
                target.SendReportToActive(TReportType::Mouse, false);
            }
        }
        return KeyboardResult(target);
    }

    if (release) {
        PadKeysHeld = static_cast<uint16_t>(PadKeysHeld & ~bit);
        if (!ApplyPadAction(key, false)) {
            return KeyboardResult(target);  // Pad 5 and the keys without a use here
        }
    } else {
        PadKeysHeld = static_cast<uint16_t>(PadKeysHeld | bit);
        // The target must not see Ctrl, Shift or other held keys while the keypad is a mouse. They
        // stay held here (for the keypad mouse and the exit chord) but not in later reports.
        target.SendReportToActive(TReportType::KeyboardIn, true);
        MarkPressedKeysReleasedOnTarget();
        if (key.Action == TPadAction::Through) {
            return KeyboardResult(target);
        }
        if (key.Action == TPadAction::Step) {
            MouseStep *= 2;
            if (MouseStep > 32)
                MouseStep = 2;
            const auto log2 = static_cast<std::size_t>(std::countr_zero(static_cast<uint32_t>(MouseStep)));
            target.ShowKeypadMouse(StepTexts[log2 < StepTexts.size() ? log2 : 0], "STEP");
        } else {
            ApplyPadAction(key, true);
            const bool wheel = key.Action == TPadAction::WheelUp || key.Action == TPadAction::WheelDown;
            target.ShowKeypadMouse(key.Symbol, wheel ? "Wheel" : "Mouse");
        }
    }
    SetMouseItem(MouseCodeY, Axis(PadUp, PadDown, MouseStep));
    SetMouseItem(MouseCodeX, Axis(PadLeft, PadRight, MouseStep));
    SetMouseItem(MouseCodeWheel, -Axis(PadWheelUp, PadWheelDown, 1));
    target.SendReportToActive(TReportType::Mouse, false);
    return KeyboardResult(target);
}

// Button bit and mouse item code of a button event; 0 for the other kinds.
struct TButtonEvent {
    uint8_t Bit = 0;
    int32_t Code = 0;
    bool Down = false;
};
TButtonEvent ButtonOf(uint32_t kind) {
    switch (kind) {
        case WM_LBUTTONDOWN:
            return {1, MouseCodeLeft, true};
        case WM_LBUTTONUP:
            return {1, MouseCodeLeft, false};
        case WM_RBUTTONDOWN:
            return {2, MouseCodeRight, true};
        case WM_RBUTTONUP:
            return {2, MouseCodeRight, false};
        case WM_MBUTTONDOWN:
            return {4, MouseCodeMiddle, true};
        case WM_MBUTTONUP:
            return {4, MouseCodeMiddle, false};
        default:
            return {};
    }
}

void ReleaseOnTarget(TForwardTarget& target, int32_t code) {
    if (MouseItemValue(code) > 0) {
        SetMouseItem(code, 0);
        target.SendReportToActive(TReportType::Mouse, false);
    }
}

// Which parts of the chords the keys hold: either Ctrl, either Shift, and F12 or the key left of 1.
constexpr unsigned ChordCtrl = 1;
constexpr unsigned ChordShift = 2;
constexpr unsigned ChordExitKey = 4;
unsigned ChordKeysHeld(const TIntArray& keys) {
    unsigned held = 0;
    for (int32_t k : keys) {
        if (k == UsageLeftCtrl || k == UsageRightCtrl)
            held |= ChordCtrl;
        if (k == UsageLeftShift || k == UsageRightShift)
            held |= ChordShift;
        if (k == UsageF12 || k == UsageGrave)
            held |= ChordExitKey;
    }
    return held;
}

}  // namespace

bool IsCtrlShiftPressed(const TIntArray& Keys) {
    return (ChordKeysHeld(Keys) & (ChordCtrl | ChordShift)) == (ChordCtrl | ChordShift);
}

bool IsExitChordPressed(const TIntArray& Keys) {
    return ChordKeysHeld(Keys) == (ChordCtrl | ChordShift | ChordExitKey);
}

intptr_t ForwardKeyEvent(TForwardTarget& Target, const THookKeyboardRecord& Event) {
    const auto keyCode =
        static_cast<int32_t>(Event.ScanCode + ((Event.flags & LLKHF_EXTENDED) != 0 ? 0xE000u : 0u));
    const int32_t usage = ScanCodeToUsageId(keyCode);
    const bool release = (Event.flags & LLKHF_UP) != 0;

    const bool repeat =
        !release && (IsHeldKey(usage) || (IsKeypadUsage(usage) && (PadKeysHeld & PadBit(usage)) != 0));
    switch (RouteKeys.Feed(usage, release, Event.time, repeat)) {
        case TRouteKeys::TVerdict::Completes:
            // Swallowed like any key while keys are forwarded; where keys go local, so does the digit
            // (on X11, swallowing one key would take the keyboard grab for the keys after it).
            if (Target.SelectRoute(RouteKeys.Digit())) {
                return KeyboardResult(Target);
            }
            // It named no dongle: nothing switched, and the key the user typed is not lost.
            RouteKeys.Decline();
            break;
        case TRouteKeys::TVerdict::Swallowed:
            return KeyboardResult(Target);
        case TRouteKeys::TVerdict::Ordinary:
            break;
    }

    if (IsKeypadUsage(usage)) {
        // A keypad key belongs to the mode it was pressed in until it is released.
        if ((PadKeysHeld & PadBit(usage)) != 0 || (CtrlShiftHeld && !IsHeldKey(usage))) {
            return KeypadMouse(Target, usage, release);
        }
    }

    if (release) {
        // A key the target was told is up already: its release changes nothing there.
        const bool onTarget = PressedKeyOnTarget(usage);
        if (RemovePressedKey(usage)) {
            const TIntArray keys = GetPressedKeys();
            CtrlShiftHeld = IsCtrlShiftPressed(keys);
            if (Target.KeyboardForwarded()) {
                Target.ShowPressedKey(keys);
                if (onTarget) {
                    Target.SendReportToActive(TReportType::KeyboardIn, false);
                }
            }
        }
    } else if (AddPressedKey(usage)) {
        const TIntArray keys = GetPressedKeys();
        CtrlShiftHeld = IsCtrlShiftPressed(keys);
        if (IsExitChordPressed(keys)) {
            Target.ExitPassThrough();
        } else if (Target.KeyboardForwarded()) {
            Target.ShowPressedKey(keys);
            Target.SendReportToActive(TReportType::KeyboardIn, false);
        }
    }
    return KeyboardResult(Target);
}

intptr_t ForwardMouseEvent(TForwardTarget& Target, const TMouseMotion& Motion, uint32_t Kind,
                           const THookMouseRecord& Event) {
    const TButtonEvent button = ButtonOf(Kind);
    if (button.Down || Kind == WM_MOUSEWHEEL) {
        RouteKeys.Interrupt();
    }
    if (!Target.MouseForwarded() || CtrlShiftHeld || (Kind & 0x200) == 0) {
        if (CtrlShiftHeld) {
            Motion.MouseXgt.time = 0;
            Motion.MouseStartPt = {0, 0};
        }
        if (button.Bit != 0) {
            if (button.Down) {
                LocalButtons = static_cast<uint8_t>(LocalButtons | button.Bit);
            } else {
                LocalButtons = static_cast<uint8_t>(LocalButtons & ~button.Bit);
                // Pressed on the target before mouse forwarding paused: release it there as well.
                if (Target.MouseForwarded()) {
                    ReleaseOnTarget(Target, button.Code);
                }
            }
        }
        return Through;
    }

    if (Kind != WM_MOUSEMOVE) {
        Motion.MouseXgt.time = 0;
        Motion.MouseXgt.value = 0;
        Motion.MouseYgt.value = 0;
        Motion.MouseStartPt = Event.Pt;
    }
    if (button.Bit != 0 && !button.Down && (LocalButtons & button.Bit) != 0) {
        // Its press went to local applications while forwarding paused: so does its release.
        LocalButtons = static_cast<uint8_t>(LocalButtons & ~button.Bit);
        ReleaseOnTarget(Target, button.Code);
        return Through;
    }

    bool due = false;
    switch (Kind & 0xFF) {
        case WM_MOUSEMOVE & 0xFF: {
            TMouseGrandTotal& x = Motion.MouseXgt;
            TMouseGrandTotal& y = Motion.MouseYgt;
            THookPoint& anchor = Motion.MouseStartPt;
            // Swallowed moves report the held pointer plus their own motion: measured from where
            // the platform holds the pointer as the move comes, every move counts exactly its own
            // motion. That is asked on every move, not kept from the first: after a pause the grab
            // holds the pointer where it really is (X11), not where summed motion put it, and a
            // kept position would add the difference to every move. Where the platform cannot
            // tell the held position, the first move stands in for it.
            THookPoint from{0, 0};
            if (!Target.HeldPointerPosition(from)) {
                if (x.time == 0 && anchor == THookPoint{0, 0}) {
                    x.time = Event.time;
                    anchor = Event.Pt;
                    x.value = 0;
                    y.value = 0;
                    break;
                }
                from = anchor;
            }
            x.value = Event.Pt.X - from.X;
            y.value = Event.Pt.Y - from.Y;
            // Every move is reported at once, also one in the same millisecond as the last: the
            // sessions merge motion while their link is busy, and a move held back here would wait
            // for the next one (the last move of a gesture for good).
            x.time = Event.time;
            SetMouseItem(MouseCodeX, x.value);
            SetMouseItem(MouseCodeY, y.value);
            x.value = 0;
            y.value = 0;
            due = true;
            break;
        }
        case WM_LBUTTONDOWN & 0xFF:
        case WM_LBUTTONUP & 0xFF:
        case WM_RBUTTONDOWN & 0xFF:
        case WM_RBUTTONUP & 0xFF:
        case WM_MBUTTONDOWN & 0xFF:
        case WM_MBUTTONUP & 0xFF:
            SetMouseItem(button.Code, button.Down ? 1 : 0);
            due = true;
            break;
        case WM_MOUSEWHEEL & 0xFF: {
            TMouseGrandTotal& z = Motion.MouseZgt;
            // Only the direction counts: one notch per event.
            z.value += (Event.Data >> 24) == 0 ? 1 : -1;
            z.time = Event.time;
            SetMouseItem(MouseCodeWheel, z.value);
            z.value = 0;
            due = true;
            break;
        }
        default:
            // Extra buttons and the horizontal wheel: swallowed, the target gets the state unchanged.
            due = true;
            break;
    }
    if (due) {
        Target.SendReportToActive(TReportType::Mouse, false);
    }
    return Swallow;
}

void ForgetHeldModeKeys() {
    RouteKeys.Reset();
    PadKeysHeld = 0;
    LocalButtons = 0;
    PadUp = PadDown = PadLeft = PadRight = PadWheelUp = PadWheelDown = false;
}

void ResetForwardingStateForTests() {
    ForgetHeldModeKeys();
    RouteKeys.SetLeader(DefaultRouteLeader);
    CtrlShiftHeld = false;
    MouseStep = 4;
}
