#pragma once
// A hook backend for tests: installs succeed (or fail on request) without touching the OS, Feed()
// plays one recorded event into the installed hook of its kind, and every call is recorded.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/hooks/HookPlatform.h"

class TFakeHookPlatform : public THookPlatform {
  public:
    struct TInstall {
        int32_t Kind;
        int32_t ThreadId;
        THookHandle Handle;
        bool Watching = false;  // installed through InstallWatchingHook
    };
    struct TNextHookCall {
        THookHandle Hook;
        int32_t Code;
        uint32_t Kind;
        uintptr_t Record;
    };

    THookHandle InstallHook(int32_t kind, THookEntryPoint entry, int32_t threadId) override;
    THookHandle InstallWatchingHook(int32_t kind, THookEntryPoint entry, int32_t threadId) override {
        THookHandle handle = InstallHook(kind, entry, threadId);
        Installs.back().Watching = true;
        return handle;
    }
    void RemoveHook(THookHandle hook) override;
    intptr_t CallNextHook(THookHandle hook, int32_t code, uint32_t kind, uintptr_t record) override;
    void GetKeyboardState(TKeyboardState& state) override { state = KeyboardState; }
    int32_t CurrentThreadId() override { return ThreadId; }
    bool HeldPointerPosition(THookPoint& pt) override {
        if (!PointerKnown)
            return false;
        pt = Pointer;
        return true;
    }
    std::string Name() const override { return "fake"; }
    std::string FailureReason() const override { return FFailureReason; }
    std::string CaptureUnavailableReason() const override { return UnavailableReason; }

    // Plays one event into the installed hook of `hookKind`; returns what the hook returned.
    // Throws std::logic_error when no hook of that kind is installed.
    intptr_t Feed(int32_t hookKind, uint32_t eventKind, const THookKeyboardRecord& record, int32_t code = 0);
    intptr_t Feed(int32_t hookKind, uint32_t eventKind, const THookMouseRecord& record, int32_t code = 0);

    bool Installed(int32_t hookKind) const { return FHooks.count(hookKind) != 0; }

    // Knobs.
    bool FailInstalls = false;      // InstallHook returns null
    std::string UnavailableReason;  // non-empty: capture is impossible here; every install fails with it
    intptr_t NextHookResult = 0;    // what CallNextHook returns
    int32_t ThreadId = 4242;
    TKeyboardState KeyboardState{};
    bool PointerKnown = true;  // HeldPointerPosition answers with Pointer
    THookPoint Pointer{0, 0};

    // What was asked.
    std::vector<TInstall> Installs;
    std::vector<THookHandle> Removes;
    std::vector<TNextHookCall> NextHookCalls;

  private:
    intptr_t FeedRecord(int32_t hookKind, uint32_t eventKind, uintptr_t record, int32_t code);

    struct THookEntry {
        THookHandle Handle;
        THookEntryPoint Entry;
    };
    std::map<int32_t, THookEntry> FHooks;
    uintptr_t FNextHandle = 0x100;
    std::string FFailureReason;
};
