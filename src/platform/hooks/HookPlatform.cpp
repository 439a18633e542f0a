#include "platform/hooks/HookPlatform.h"

#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string_view>

#if defined(_WIN32)
#include "platform/hooks/win32/Win32HookPlatform.h"
#else
#if defined(CORVASTEL_HOOKS_X11)
#include "platform/hooks/x11/X11HookPlatform.h"
#endif
#if defined(CORVASTEL_HOOKS_EVDEV)
#include "platform/hooks/evdev/EvdevHookPlatform.h"
#endif
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
    std::string CaptureUnavailableReason() const override { return FReason; }

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
    // CORVASTEL_CAPTURE=evdev takes the input devices even on an X server (where the X11 backend is
    // the default: it needs no group membership); =x11 insists on the X server.
    const std::string_view asked = Env("CORVASTEL_CAPTURE");
    if (!asked.empty() && asked != "evdev" && asked != "x11") {
        std::clog << "input capture: CORVASTEL_CAPTURE=" << asked << " is neither evdev nor x11; ignored\n";
    }
    // XWayland serves X clients under Wayland, but its grabs reach only X windows: the desktop's own
    // windows would still get every key, so there only the input devices themselves will do.
    const bool wayland = Env("XDG_SESSION_TYPE") == "wayland" || !Env("WAYLAND_DISPLAY").empty();
    const std::string display(Env("DISPLAY"));
    const bool useX11 = asked == "x11" || (asked != "evdev" && !wayland && !display.empty());
    std::string error;
    if (useX11) {
#if defined(CORVASTEL_HOOKS_X11)
        if (display.empty()) {
            return Unavailable("No X display is available, so the keyboard and mouse cannot be captured.");
        }
        if (auto platform = CreateX11HookPlatform(display, &error)) {
            std::clog << "input capture: using " << platform->Name() << '\n';
            return platform;
        }
        return Unavailable(error);
#endif
    } else {
#if defined(CORVASTEL_HOOKS_EVDEV)
        if (auto platform = CreateEvdevHookPlatform(&error)) {
            std::clog << "input capture: using " << platform->Name() << '\n';
            if (!platform->CaptureUnavailableReason().empty()) {
                std::clog << "input capture: " << platform->CaptureUnavailableReason() << '\n';
            }
            return platform;
        }
        return Unavailable(error);
#endif
    }
    return Unavailable("This build of the program cannot capture the keyboard and mouse on this system.");
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
