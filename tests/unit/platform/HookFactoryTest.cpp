// Which capture backend the program takes for the session it finds itself in.

#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <map>
#include <optional>
#include <string>

#include "platform/hooks/HookPlatform.h"
#include "platform/hooks/evdev/EvdevHookPlatform.h"

namespace {

// Sets environment variables for one scope and puts the previous values back.
class TEnvironment {
  public:
    void Set(const char* name, const char* value) {
        if (FSaved.count(name) == 0) {
            const char* old = std::getenv(name);
            FSaved[name] = old != nullptr ? std::optional<std::string>(old) : std::nullopt;
        }
        if (value != nullptr) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~TEnvironment() {
        for (const auto& [name, value] : FSaved) {
            if (value) {
                setenv(name.c_str(), value->c_str(), 1);
            } else {
                unsetenv(name.c_str());
            }
        }
    }

  private:
    std::map<std::string, std::optional<std::string>> FSaved;
};

QCoreApplication& App() {
    static int argc = 1;
    static char name[] = "hook_factory_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    return app;
}

TEST(HookPlatformFactory, Session_PicksTheBackendThatCanCapture) {
    App();
    struct {
        const char* Name;
        const char* SessionType;
        const char* Wayland;
        const char* Display;
        const char* Asked;
        const char* Backend;
    } const cases[] = {
        {"Wayland session", "wayland", "wayland-0", ":0", nullptr, "evdev"},
        {"Wayland display only", nullptr, "wayland-1", nullptr, nullptr, "evdev"},
        {"no display server", "tty", nullptr, nullptr, nullptr, "evdev"},
        // No X server listens on :97 here: the X11 backend is tried and says why it failed.
        {"X11 session", "x11", nullptr, ":97", nullptr, "none"},
        {"X11 session, evdev asked for", "x11", nullptr, ":97", "evdev", "evdev"},
        {"an unknown choice is ignored", "x11", nullptr, ":97", "uinput", "none"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TEnvironment env;
        env.Set("XDG_SESSION_TYPE", c.SessionType);
        env.Set("WAYLAND_DISPLAY", c.Wayland);
        env.Set("DISPLAY", c.Display);
        env.Set("CORVASTEL_CAPTURE", c.Asked);
        const auto platform = CreateHookPlatform();
        EXPECT_EQ(platform->Name(), c.Backend);
        if (platform->Name() == "none") {
            EXPECT_NE(platform->FailureReason().find(":97"), std::string::npos) << platform->FailureReason();
        }
    }
}

TEST(EvdevHookPlatform, NoDeviceFolder_SaysSoBeforeAnythingIsInstalled) {
    App();
    std::string error;
    const auto platform = CreateEvdevHookPlatform(&error, "/nonexistent/input");
    ASSERT_TRUE(platform) << error;
    EXPECT_NE(platform->CaptureUnavailableReason().find("/nonexistent/input cannot be listed"),
              std::string::npos)
        << platform->CaptureUnavailableReason();
    EXPECT_EQ(platform->FailureReason(), "") << "nothing was installed yet";
}

}  // namespace
