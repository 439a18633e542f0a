#include "platform/hooks/HookPlatform.h"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string_view>

#if defined(_WIN32)
#include "platform/hooks/win32/Win32HookPlatform.h"
#elif defined(CORVASTEL_HOOKS_X11)
#include "platform/hooks/x11/X11HookPlatform.h"
#endif

namespace {

// Stands in where nothing can capture input: every install fails with the reason, so the user
// learns why pass-through cannot start instead of seeing nothing happen.
class TUnavailableHookPlatform final : public THookPlatform {
public:
    explicit TUnavailableHookPlatform(std::string reason) : FReason(std::move(reason)) {}
    THookHandle InstallHook(int32_t, THookEntryPoint, int32_t) override { return nullptr; }
    void RemoveHook(THookHandle) override {}
    intptr_t CallNextHook(THookHandle, int32_t, uint32_t, uintptr_t) override { return 0; }
    void GetKeyboardState(TKeyboardState& state) override { state.fill(0); }
    int32_t CurrentThreadId() override { return 0; }
    std::string Name() const override { return "none"; }
    std::string FailureReason() const override { return FReason; }

private:
    std::string FReason;
};

[[maybe_unused]] std::unique_ptr<THookPlatform> Unavailable(const std::string& reason) {
    std::clog << "input capture: none available: " << reason << '\n';
    return std::make_unique<TUnavailableHookPlatform>(reason);
}

[[maybe_unused]] std::string_view Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? std::string_view(value) : std::string_view();
}

std::mutex DefaultLock;
std::shared_ptr<THookPlatform> DefaultPlatform;

}  // namespace

std::unique_ptr<THookPlatform> CreateHookPlatform() {
#if defined(_WIN32)
    auto platform = CreateWin32HookPlatform();
    std::clog << "input capture: using " << platform->Name() << '\n';
    return platform;
#else
    // XWayland serves X clients under Wayland, but its grabs reach only X windows: the desktop's own
    // windows would still get every key, so capture must not pretend to work there.
    if (Env("XDG_SESSION_TYPE") == "wayland" || !Env("WAYLAND_DISPLAY").empty()) {
        return Unavailable(
            "This is a Wayland session, where no program may take over the whole keyboard and mouse. "
            "Log in with an X11 (Xorg) session to use keyboard and mouse pass-through.");
    }
#if defined(CORVASTEL_HOOKS_X11)
    const std::string display(Env("DISPLAY"));
    if (display.empty()) {
        return Unavailable("No X display is available, so the keyboard and mouse cannot be captured.");
    }
    std::string error;
    if (auto platform = CreateX11HookPlatform(display, &error)) {
        std::clog << "input capture: using " << platform->Name() << '\n';
        return platform;
    }
    return Unavailable(error);
#else
    return Unavailable("This build of the program cannot capture the keyboard and mouse on this system.");
#endif
#endif
}

std::shared_ptr<THookPlatform> DefaultHookPlatform() {
    std::lock_guard lock(DefaultLock);
    if (!DefaultPlatform) {
        DefaultPlatform = CreateHookPlatform();
    }
    return DefaultPlatform;
}

std::shared_ptr<THookPlatform> SetDefaultHookPlatform(std::shared_ptr<THookPlatform> platform) {
    std::lock_guard lock(DefaultLock);
    std::swap(DefaultPlatform, platform);
    return platform;
}

void WatchDisplayLoss(TDisplayLostHandler handler) {
#if defined(CORVASTEL_HOOKS_X11)
    WatchX11DisplayLoss(handler);
#else
    (void)handler;  // a Windows desktop outlives the programs on it
#endif
}
