#include "input/UnitKeyHook.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "platform/GeneralError.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {

constexpr KBDLLHOOKSTRUCT RightCtrlDown{0xA3, 0x1D, LLKHF_EXTENDED, 1000, 7};
constexpr TLowLevelMouseHook::MSLLHOOKSTRUCT WheelDown{{640, 400}, 0xFF880000u, 0, 2000, 9};

class HookTest : public ::testing::Test {
  protected:
    std::shared_ptr<TFakeHookPlatform> Platform = std::make_shared<TFakeHookPlatform>();
};

// Both hook classes behave alike on switching; each row builds one.
struct THookCase {
    const char* Name;
    int32_t Kind;
    std::unique_ptr<THook> (*Make)(std::shared_ptr<THookPlatform>);
};
const THookCase HookCases[] = {
    {"TLowLevelKeyboardHook", WH_KEYBOARD_LL,
     [](std::shared_ptr<THookPlatform> p) -> std::unique_ptr<THook> {
         return std::make_unique<TLowLevelKeyboardHook>(p);
     }},
    {"TLowLevelMouseHook", WH_MOUSE_LL,
     [](std::shared_ptr<THookPlatform> p) -> std::unique_ptr<THook> {
         return std::make_unique<TLowLevelMouseHook>(p);
     }},
};

TEST_F(HookTest, SetActive_Repeated_InstallsAndRemovesOnce) {
    for (const auto& c : HookCases) {
        SCOPED_TRACE(c.Name);
        Platform = std::make_shared<TFakeHookPlatform>();
        auto hook = c.Make(Platform);
        EXPECT_FALSE(hook->Active());
        hook->SetActive(false);
        EXPECT_TRUE(Platform->Removes.empty());

        hook->SetActive(true);
        hook->SetActive(true);
        ASSERT_EQ(Platform->Installs.size(), 1u);
        EXPECT_EQ(Platform->Installs[0].Kind, c.Kind);
        EXPECT_TRUE(hook->Active());

        hook->SetActive(false);
        hook->SetActive(false);
        ASSERT_EQ(Platform->Removes.size(), 1u);
        EXPECT_EQ(Platform->Removes[0], Platform->Installs[0].Handle);
        EXPECT_FALSE(Platform->Installed(c.Kind));

        // Switching many times over is what pass-through does.
        hook->SetActive(true);
        EXPECT_TRUE(Platform->Installed(c.Kind));
    }
}

TEST_F(HookTest, SetActive_PlatformRefuses_RaisesCreationFailedAndStaysInactive) {
    for (const auto& c : HookCases) {
        SCOPED_TRACE(c.Name);
        Platform->FailInstalls = true;
        auto hook = c.Make(Platform);
        try {
            hook->SetActive(true);
            ADD_FAILURE() << "no error raised";
        } catch (const EHookError& e) {
            EXPECT_EQ(std::string(e.what()), std::string(c.Name) + " CREATION FAILED!");
            EXPECT_FALSE(e.Reason().empty());
        }
        EXPECT_FALSE(hook->Active());
        // Nothing was installed, so switching off (and destroying) must remove nothing.
        hook->SetActive(false);
        hook.reset();
        EXPECT_TRUE(Platform->Removes.empty());
    }
}

TEST_F(HookTest, SetActive_WithThreadFilter_InstallsDesktopWide) {
    for (const auto& c : HookCases) {
        SCOPED_TRACE(c.Name);
        auto hook = c.Make(Platform);
        EXPECT_EQ(hook->ThreadID(), Platform->ThreadId);  // the constructing thread
        hook->SetThreadID(77);
        hook->SetActive(true);
        EXPECT_EQ(Platform->Installs.back().ThreadId, 0);
        EXPECT_EQ(hook->ThreadID(), 0);
    }
}

TEST_F(HookTest, KeyboardEvent_Swallowed_NotHandedOnAndCopyKept) {
    TLowLevelKeyboardHook hook(Platform);
    Platform->KeyboardState[0xA3] = 0x80;
    KBDLLHOOKSTRUCT seen{};
    uint8_t seenState = 0;
    THook* seenHook = nullptr;
    bool post = false;
    hook.SetOnPreExecute([&](THook& h, THookMessage& msg) {
        seenHook = &h;
        seen = hook.HookStruct();
        seenState = hook.KeyboardStates()[0xA3];
        EXPECT_EQ(msg.Msg, WM_KEYDOWN);
        EXPECT_EQ(msg.Result, 0);
        msg.Result = 1;
    });
    hook.SetOnPostExecute([&](THook&, THookMessage&) { post = true; });
    hook.SetActive(true);

    EXPECT_EQ(Platform->Feed(WH_KEYBOARD_LL, WM_KEYDOWN, RightCtrlDown), 1);

    EXPECT_EQ(seenHook, &hook);
    EXPECT_EQ(seen.ScanCode, 0x1Du);
    EXPECT_EQ(seen.flags, LLKHF_EXTENDED);
    EXPECT_EQ(seenState, 0x80);
    EXPECT_TRUE(Platform->NextHookCalls.empty());
    EXPECT_FALSE(post);
    EXPECT_EQ(hook.HookStruct().ScanCode, 0x1Du);
    EXPECT_EQ(hook.HookStruct().time, 1000u);
    EXPECT_EQ(hook.KeyboardStates()[0xA3], 0x80);
}

TEST_F(HookTest, KeyboardEvent_LetThrough_HandedOnThenCopiesZeroed) {
    TLowLevelKeyboardHook hook(Platform);
    Platform->KeyboardState.fill(0x80);
    Platform->NextHookResult = 5;
    uint32_t scanInPost = 0;
    hook.SetOnPreExecute([](THook&, THookMessage& msg) { msg.Result = 0; });
    hook.SetOnPostExecute([&](THook&, THookMessage& msg) {
        scanInPost = hook.HookStruct().ScanCode;
        EXPECT_EQ(msg.Result, 5);
    });
    hook.SetActive(true);

    const KBDLLHOOKSTRUCT record = RightCtrlDown;
    EXPECT_EQ(Platform->Feed(WH_KEYBOARD_LL, WM_SYSKEYDOWN, record, 3), 5);

    ASSERT_EQ(Platform->NextHookCalls.size(), 1u);
    const auto& call = Platform->NextHookCalls[0];
    EXPECT_EQ(call.Hook, Platform->Installs[0].Handle);
    EXPECT_EQ(call.Code, 3);
    EXPECT_EQ(call.Kind, WM_SYSKEYDOWN);
    EXPECT_EQ(call.Record, reinterpret_cast<uintptr_t>(&record));
    EXPECT_EQ(scanInPost, 0x1Du);  // the post step still sees the event
    EXPECT_EQ(hook.HookStruct().ScanCode, 0u);
    EXPECT_EQ(hook.HookStruct().VkCode, 0u);
    EXPECT_EQ(hook.HookStruct().dwExtraInfo, 0u);
    EXPECT_EQ(hook.KeyboardStates(), TKeyboardState{});
    EXPECT_EQ(hook.KeyName().KeyExtName, "");
}

TEST_F(HookTest, MouseEvent_SwallowOrLetThrough_KindAndCopy) {
    struct {
        intptr_t Result;
        bool HandedOn;
        int32_t PtXAfter;
    } const cases[] = {{1, false, 640}, {0, true, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Result);
        Platform = std::make_shared<TFakeHookPlatform>();
        TLowLevelMouseHook hook(Platform);
        uint32_t kindSeen = 0;
        int16_t wheelSeen = 0;
        hook.SetOnPreExecute([&](THook&, THookMessage& msg) {
            kindSeen = hook.MouseState();
            wheelSeen = static_cast<int16_t>(hook.HookStruct().Data >> 16);
            msg.Result = c.Result;
        });
        hook.SetActive(true);
        EXPECT_EQ(Platform->Feed(WH_MOUSE_LL, WM_MOUSEWHEEL, WheelDown), c.Result);
        EXPECT_EQ(kindSeen, WM_MOUSEWHEEL);
        EXPECT_EQ(wheelSeen, -WheelDelta);
        EXPECT_EQ(Platform->NextHookCalls.size(), c.HandedOn ? 1u : 0u);
        EXPECT_EQ(hook.HookStruct().Pt.X, c.PtXAfter);
        EXPECT_EQ(hook.MouseState(), WM_MOUSEWHEEL);
    }
}

TEST_F(HookTest, NoNotification_EveryEventHandedOn) {
    TLowLevelKeyboardHook keys(Platform);
    TLowLevelMouseHook mouse(Platform);
    keys.SetActive(true);
    mouse.SetActive(true);
    Platform->NextHookResult = 0;
    EXPECT_EQ(Platform->Feed(WH_KEYBOARD_LL, WM_KEYUP, RightCtrlDown), 0);
    EXPECT_EQ(Platform->Feed(WH_MOUSE_LL, WM_MOUSEWHEEL, WheelDown), 0);
    EXPECT_EQ(Platform->NextHookCalls.size(), 2u);
}

TEST_F(HookTest, NotificationSwitchesItsHookOff_EventStillHandedOnSafely) {
    // The exit chord switches the keyboard hook off from inside its own notification.
    TLowLevelKeyboardHook hook(Platform);
    hook.SetOnPreExecute([&](THook& h, THookMessage& msg) {
        h.SetActive(false);
        msg.Result = 0;
    });
    hook.SetActive(true);
    EXPECT_EQ(Platform->Feed(WH_KEYBOARD_LL, WM_KEYDOWN, RightCtrlDown), 0);
    EXPECT_FALSE(hook.Active());
    EXPECT_FALSE(Platform->Installed(WH_KEYBOARD_LL));
    ASSERT_EQ(Platform->NextHookCalls.size(), 1u);
    EXPECT_EQ(Platform->NextHookCalls[0].Hook, nullptr);
}

TEST_F(HookTest, NotificationThrows_ReportedAndEventHandedOn) {
    std::vector<std::string> reported;
    auto previous = SetGeneralErrorReporter([&](const std::string& m) { reported.push_back(m); });
    TLowLevelMouseHook hook(Platform);
    hook.SetOnPreExecute([](THook&, THookMessage&) { throw std::runtime_error("handler failed"); });
    hook.SetActive(true);
    Platform->NextHookResult = 0;
    EXPECT_EQ(Platform->Feed(WH_MOUSE_LL, WM_MOUSEMOVE, WheelDown), 0);
    EXPECT_EQ(Platform->NextHookCalls.size(), 1u);
    ASSERT_EQ(reported.size(), 1u);
    EXPECT_NE(reported[0].find("handler failed"), std::string::npos);
    SetGeneralErrorReporter(previous);
}

TEST_F(HookTest, Destroy_ActiveHookOrItsOwner_RemovesFromPlatform) {
    {
        TLowLevelKeyboardHook hook(Platform);
        hook.SetActive(true);
    }
    EXPECT_EQ(Platform->Removes.size(), 1u);

    auto owner = std::make_unique<TComponent>();
    THook* keys = THookContainer<TLowLevelKeyboardHook>::Construct(owner.get(), Platform);
    THook* mouse = THookContainer<TLowLevelMouseHook>::Construct(owner.get(), Platform);
    keys->SetActive(true);
    mouse->SetActive(true);
    EXPECT_EQ(owner->ComponentCount(), 2u);
    owner.reset();
    EXPECT_EQ(Platform->Removes.size(), 3u);
    EXPECT_FALSE(Platform->Installed(WH_KEYBOARD_LL));
    EXPECT_FALSE(Platform->Installed(WH_MOUSE_LL));
}

TEST(HookDefaultPlatform, SetDefault_UsedByHooksCreatedWithoutOne) {
    auto fake = std::make_shared<TFakeHookPlatform>();
    auto previous = SetDefaultHookPlatform(fake);
    {
        TLowLevelKeyboardHook hook;
        hook.SetActive(true);
        EXPECT_TRUE(fake->Installed(WH_KEYBOARD_LL));
    }
    SetDefaultHookPlatform(previous);
}

}  // namespace
