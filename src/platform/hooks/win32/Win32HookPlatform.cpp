// The Windows low-level hooks. The OS calls a plain function on the installing thread, so each hook
// kind has one static procedure that finds its entry point in a slot; one hook of each kind per
// process is all the program installs.

#include "platform/hooks/win32/Win32HookPlatform.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

namespace {

THookEntryPoint KeyboardEntry;
THookEntryPoint MouseEntry;

LRESULT CALLBACK KeyboardProc(int code, WPARAM wParam, LPARAM lParam) {
    // The OS requires events with a negative code to go on untouched.
    if (code < 0 || !KeyboardEntry) {
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    return KeyboardEntry(code, static_cast<uint32_t>(wParam), static_cast<uintptr_t>(lParam));
}

LRESULT CALLBACK MouseProc(int code, WPARAM wParam, LPARAM lParam) {
    if (code < 0 || !MouseEntry) {
        return CallNextHookEx(nullptr, code, wParam, lParam);
    }
    return MouseEntry(code, static_cast<uint32_t>(wParam), static_cast<uintptr_t>(lParam));
}

class TWin32HookPlatform final : public THookPlatform {
  public:
    THookHandle InstallHook(int32_t kind, THookEntryPoint entry, int32_t threadId) override {
        FFailure.clear();
        THookEntryPoint* slot = Slot(kind);
        if (slot == nullptr || *slot) {
            FFailure = "Only one keyboard and one mouse hook can be installed.";
            return nullptr;
        }
        *slot = entry;
        HHOOK hook = SetWindowsHookExW(kind, kind == HookKindKeyboardLowLevel ? KeyboardProc : MouseProc,
                                       GetModuleHandleW(nullptr), static_cast<DWORD>(threadId));
        if (hook == nullptr) {
            *slot = {};
            FFailure = "Windows refused the input hook (error " + std::to_string(GetLastError()) + ").";
            return nullptr;
        }
        FKinds[0] = kind == HookKindKeyboardLowLevel ? hook : FKinds[0];
        FKinds[1] = kind == HookKindMouseLowLevel ? hook : FKinds[1];
        return hook;
    }

    void RemoveHook(THookHandle hook) override {
        if (hook == nullptr) {
            return;
        }
        UnhookWindowsHookEx(static_cast<HHOOK>(hook));
        if (hook == FKinds[0]) {
            KeyboardEntry = {};
            FKinds[0] = nullptr;
        } else if (hook == FKinds[1]) {
            MouseEntry = {};
            FKinds[1] = nullptr;
        }
    }

    intptr_t CallNextHook(THookHandle hook, int32_t code, uint32_t kind, uintptr_t record) override {
        return CallNextHookEx(static_cast<HHOOK>(hook), code, kind, static_cast<LPARAM>(record));
    }

    void GetKeyboardState(TKeyboardState& state) override {
        BYTE buffer[256] = {};
        ::GetKeyboardState(buffer);
        for (size_t i = 0; i < state.size(); ++i) {
            state[i] = buffer[i];
        }
    }

    // While moves are swallowed the cursor stays where it is, so its position is the held one.
    bool HeldPointerPosition(THookPoint& pt) override {
        POINT p{};
        if (!GetCursorPos(&p))
            return false;
        pt = {static_cast<int32_t>(p.x), static_cast<int32_t>(p.y)};
        return true;
    }
    int32_t CurrentThreadId() override { return static_cast<int32_t>(GetCurrentThreadId()); }
    std::string Name() const override { return "win32"; }
    std::string FailureReason() const override { return FFailure; }

  private:
    static THookEntryPoint* Slot(int32_t kind) {
        return kind == HookKindKeyboardLowLevel ? &KeyboardEntry
               : kind == HookKindMouseLowLevel  ? &MouseEntry
                                                : nullptr;
    }

    HHOOK FKinds[2] = {nullptr, nullptr};
    std::string FFailure;
};

}  // namespace

std::unique_ptr<THookPlatform> CreateWin32HookPlatform() {
    return std::make_unique<TWin32HookPlatform>();
}
