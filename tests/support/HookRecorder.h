#pragma once
// A desktop-wide keyboard and mouse hook on a capture backend that records what each notification
// hands the handler (kind, scan code and flags; mouse state, point and wheel word) and answers
// swallow or pass as the test sets. Shared by the tests of every backend, so that they compare what
// the handler sees in the same terms.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "input/UnitKeyHook.h"

struct TKeySeen {
    uint32_t Kind;
    uint32_t Scan;
    uint32_t Flags;
};
struct TMouseSeen {
    uint32_t Kind;
    THookPoint Pt;
    int16_t High;  // high word of Data
};

class THookRecorder {
  protected:
    // Creates both hooks on the platform (inactive) with recording handlers.
    void AttachHooks(const std::shared_ptr<THookPlatform>& platform) {
        KeyHook = std::make_unique<TLowLevelKeyboardHook>(platform);
        MouseHook = std::make_unique<TLowLevelMouseHook>(platform);
        KeyHook->SetOnPreExecute([this](THook&, THookMessage& msg) {
            const auto& k = KeyHook->HookStruct();
            Keys.push_back({msg.Msg, k.ScanCode, k.flags});
            if (OnKey) {
                OnKey();
            }
            msg.Result = SwallowKeys ? 1 : 0;
        });
        MouseHook->SetOnPreExecute([this](THook&, THookMessage& msg) {
            const auto& m = MouseHook->HookStruct();
            Mice.push_back({MouseHook->MouseState(), m.Pt, static_cast<int16_t>(m.Data >> 16)});
            msg.Result = SwallowMouse ? 1 : 0;
        });
    }

    std::unique_ptr<TLowLevelKeyboardHook> KeyHook;
    std::unique_ptr<TLowLevelMouseHook> MouseHook;
    std::vector<TKeySeen> Keys;
    std::vector<TMouseSeen> Mice;
    bool SwallowKeys = true;
    bool SwallowMouse = true;
    std::function<void()> OnKey;  // called inside the key notification, before it answers
};
