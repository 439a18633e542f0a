// The evdev backend's device logic through the real hook objects, with devices that replay event
// sequences and keep the key state the kernel would: when grabs are taken and let go, what the hooks
// receive, lost events, hot-plug, and a hook switched off from inside its own notification.

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "HookRecorder.h"
#include "input/UnitKeyHook.h"
#include "platform/hooks/evdev/EvdevCapture.h"

namespace {

// What the kernel knows of one device; shared with the test after the capture owns the device.
struct TKernelDevice {
    std::string Name = "Test Keyboard";
    TEvdevCaps Caps{true, false, false, false};
    std::deque<input_event> Queue;
    TEvdevKeyBits Keys;  // held now
    bool Grabbed = false;
    int GrabError = 0;
    bool Gone = false;
    bool HasLeds = true;
    unsigned Leds = 0;
    std::vector<unsigned> LedWrites;
    std::function<void()> OnGrab;  // runs once, as the next grab is being taken

    void Push(uint16_t type, uint16_t code, int32_t value, int64_t ms = 1000) {
        input_event e{};
        e.input_event_sec = ms / 1000;
        e.input_event_usec = (ms % 1000) * 1000;
        e.type = type;
        e.code = code;
        e.value = value;
        Queue.push_back(e);
        if (type == EV_KEY && value != 2) {
            Keys.Set(code, value != 0);
        }
    }
    void Report(int64_t ms = 1000) { Push(EV_SYN, SYN_REPORT, 0, ms); }
    void Key(uint16_t code, int32_t value, int64_t ms = 1000) {
        Push(EV_KEY, code, value, ms);
        Report(ms);
    }
    // What reading a state (EVIOCGKEY for EV_KEY) does to the reader's queue since Linux 3.12
    // (evdev_handle_get_val -> __evdev_flush_queue): the unread events of that type go, and so do
    // the reports they leave empty; a report at the head of the queue stays.
    void Flush(uint16_t type) {
        std::deque<input_event> kept;
        int sinceReport = 1;
        for (const input_event& e : Queue) {
            const bool report = e.type == EV_SYN && e.code == SYN_REPORT;
            if (e.type == type || (report && sinceReport == 0)) {
                continue;
            }
            kept.push_back(e);
            sinceReport = report ? 0 : sinceReport + 1;
        }
        Queue = std::move(kept);
    }
};

class TReplayDevice final : public TEvdevDevice {
  public:
    explicit TReplayDevice(std::shared_ptr<TKernelDevice> kernel) : K(std::move(kernel)) {}
    long Read(input_event* events, size_t max) override {
        if (K->Gone) {
            return -1;
        }
        size_t n = 0;
        while (n < max && !K->Queue.empty()) {
            events[n++] = K->Queue.front();
            K->Queue.pop_front();
        }
        return static_cast<long>(n);
    }
    int SetGrab(bool on) override {
        if (on && K->GrabError != 0) {
            return K->GrabError;
        }
        if (on && K->OnGrab) {
            std::exchange(K->OnGrab, nullptr)();
        }
        K->Grabbed = on;
        return 0;
    }
    bool ReadKeys(TEvdevKeyBits& keys) override {
        keys = K->Keys;
        K->Flush(EV_KEY);
        return true;
    }
    bool Pending() override { return !K->Queue.empty() || K->Gone; }
    bool ReadLeds(unsigned& leds) override {
        leds = K->Leds;
        return K->HasLeds;
    }
    void WriteLeds(unsigned leds) override {
        K->Leds = leds;
        K->LedWrites.push_back(leds);
    }

  private:
    std::shared_ptr<TKernelDevice> K;
};

class TTestCapture final : public TEvdevCapture {
  public:
    std::vector<std::shared_ptr<TKernelDevice>> Present;
    std::vector<int> Ids;
    TScan Scan;
    int Stops = 0;

    int Plug(const std::shared_ptr<TKernelDevice>& kernel) {
        return AddDevice(kernel->Name, kernel->Caps, std::make_unique<TReplayDevice>(kernel));
    }

  protected:
    TScan StartDevices() override {
        Ids.clear();
        for (const auto& kernel : Present) {
            Ids.push_back(Plug(kernel));
        }
        return Scan;
    }
    void StopDevices() override { ++Stops; }
};

class EvdevCaptureTest : public ::testing::Test, protected THookRecorder {
  protected:
    void SetUp() override {
        Keyboard->Caps = {true, false, false, false};
        Mouse->Name = "Test Mouse";
        Mouse->Caps = {false, true, false, false};
        Mouse->HasLeds = false;
        Capture->Present = {Keyboard, Mouse};
        AttachHooks(Capture);
    }

    TKeyboardState KeyState() const {
        TKeyboardState state{};
        Capture->GetKeyboardState(state);
        return state;
    }
    int KeyboardId() const { return Capture->Ids.at(0); }
    int MouseId() const { return Capture->Ids.at(1); }

    std::shared_ptr<TTestCapture> Capture = std::make_shared<TTestCapture>();
    std::shared_ptr<TKernelDevice> Keyboard = std::make_shared<TKernelDevice>();
    std::shared_ptr<TKernelDevice> Mouse = std::make_shared<TKernelDevice>();
};

TEST_F(EvdevCaptureTest, Keys_Swallowed_GrabbedAndReportedAsWindowsDoes) {
    KeyHook->SetActive(true);
    EXPECT_TRUE(Keyboard->Grabbed);
    EXPECT_FALSE(Mouse->Grabbed) << "the mouse has no hook";

    Keyboard->Key(KEY_RIGHTCTRL, 1, 1000);
    Keyboard->Key(KEY_KPENTER, 1, 1001);
    Keyboard->Key(KEY_KPENTER, 2, 1034);  // auto-repeat: one more press
    Keyboard->Key(KEY_KPENTER, 0, 1040);
    Keyboard->Key(KEY_RIGHTCTRL, 0, 1041);
    Capture->Pump(KeyboardId());

    ASSERT_EQ(Keys.size(), 5u);
    const TKeySeen expected[] = {
        {WM_KEYDOWN, 0x1D, LLKHF_EXTENDED},          {WM_KEYDOWN, 0x1C, LLKHF_EXTENDED},
        {WM_KEYDOWN, 0x1C, LLKHF_EXTENDED},          {WM_KEYUP, 0x1C, LLKHF_EXTENDED | LLKHF_UP},
        {WM_KEYUP, 0x1D, LLKHF_EXTENDED | LLKHF_UP},
    };
    for (size_t i = 0; i < Keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Keys[i].Kind, expected[i].Kind);
        EXPECT_EQ(Keys[i].Scan, expected[i].Scan);
        EXPECT_EQ(Keys[i].Flags, expected[i].Flags);
    }
    EXPECT_TRUE(Keyboard->Grabbed);

    KeyHook->SetActive(false);
    EXPECT_FALSE(Keyboard->Grabbed);
    EXPECT_EQ(Capture->DeviceCount(), 0u) << "nothing stays open while nothing captures";
}

TEST_F(EvdevCaptureTest, Grab_KeyHeldAtInstall_TakenOnlyOnceItsReleaseReachedTheSession) {
    // Alt+T switched capture on: both are still down.
    Keyboard->Keys.Set(KEY_LEFTALT, true);
    Keyboard->Keys.Set(KEY_T, true);
    KeyHook->SetActive(true);
    EXPECT_FALSE(Keyboard->Grabbed);

    Keyboard->Key(KEY_T, 0);
    Capture->Pump(KeyboardId());
    EXPECT_FALSE(Keyboard->Grabbed) << "Alt is still down";
    Keyboard->Key(KEY_LEFTALT, 0);
    Capture->Pump(KeyboardId());
    EXPECT_TRUE(Keyboard->Grabbed);
    ASSERT_EQ(Keys.size(), 2u);  // the hook saw both releases all the same
    EXPECT_EQ(Keys[1].Scan, 0x38u);
}

TEST_F(EvdevCaptureTest, Grab_KeyHeldAtInstall_ItsReleaseLost_TakenOnceTheKernelSaysNothingIsHeld) {
    // The release of the key that switched capture on is lost (the device's buffer was flushed):
    // the resynchronisation finds nothing held, so the device must be taken then, before the next
    // key, which would otherwise reach the session as well as the targets.
    Keyboard->Keys.Set(KEY_LEFTALT, true);
    KeyHook->SetActive(true);
    ASSERT_FALSE(Keyboard->Grabbed);
    Keyboard->Push(EV_SYN, SYN_DROPPED, 0);
    Keyboard->Push(EV_KEY, KEY_LEFTALT, 0);
    Keyboard->Report();
    Capture->Pump(KeyboardId());
    EXPECT_TRUE(Keyboard->Grabbed);
    ASSERT_EQ(Keys.size(), 1u);
    EXPECT_EQ(Keys[0].Kind, WM_KEYUP);
}

TEST_F(EvdevCaptureTest, Keys_ReleasedWhileTheHookHandlesThePress_ReachTheHooksInOrder) {
    // Shift held at install, so the keyboard is only observed; A goes down, and is let go while the
    // program is still busy with its press. Reading the kernel's key state now would drop that
    // release from the queue: the hooks would get Shift's release first and A's only after it (on
    // the target: Shift+A held, repeating).
    Keyboard->Keys.Set(KEY_LEFTSHIFT, true);
    KeyHook->SetActive(true);
    ASSERT_FALSE(Keyboard->Grabbed);
    OnKey = [this] {
        if (Keys.size() == 1) {
            Keyboard->Key(KEY_A, 0);
        }
    };
    Keyboard->Key(KEY_A, 1);
    Capture->Pump(KeyboardId());
    Keyboard->Key(KEY_LEFTSHIFT, 0);
    Capture->Pump(KeyboardId());

    const TKeySeen expected[] = {
        {WM_KEYDOWN, 0x1E, 0}, {WM_KEYUP, 0x1E, LLKHF_UP}, {WM_KEYUP, 0x2A, LLKHF_UP}};
    ASSERT_EQ(Keys.size(), std::size(expected));
    for (size_t i = 0; i < Keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Keys[i].Kind, expected[i].Kind);
        EXPECT_EQ(Keys[i].Scan, expected[i].Scan);
    }
    EXPECT_TRUE(Keyboard->Grabbed) << "nothing is held any more";
}

TEST_F(EvdevCaptureTest, Grab_KeyPressedAsItIsTaken_LeftToTheSessionUntilReleased) {
    // X went down just before the grab took hold: the session saw the press, so the device must be
    // let go until X is up, and the hooks must see both of X's events.
    KeyHook->SetActive(true);
    SwallowKeys = false;
    Keyboard->Key(KEY_A, 1);
    Keyboard->Key(KEY_A, 0);
    Capture->Pump(KeyboardId());
    ASSERT_FALSE(Keyboard->Grabbed);

    SwallowKeys = true;
    Keyboard->OnGrab = [this] { Keyboard->Key(KEY_X, 1); };
    Keyboard->Key(KEY_B, 1);
    Keyboard->Key(KEY_B, 0);
    Capture->Pump(KeyboardId());
    EXPECT_FALSE(Keyboard->Grabbed) << "X is held";
    Keyboard->Key(KEY_X, 0);
    Capture->Pump(KeyboardId());
    EXPECT_TRUE(Keyboard->Grabbed);
    ASSERT_EQ(Keys.size(), 6u);
    EXPECT_EQ(Keys[4].Kind, WM_KEYDOWN);
    EXPECT_EQ(Keys[4].Scan, 0x2Du);  // X
    EXPECT_EQ(Keys[5].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[5].Scan, 0x2Du);
}

TEST_F(EvdevCaptureTest, Grab_LetThroughThenSwallowed_ReleasedWithLightsRestoredThenTakenAgain) {
    Keyboard->Leds = 1U << LED_NUML;
    KeyHook->SetActive(true);
    EXPECT_EQ(KeyState()[0x90] & 0x01, 0x01) << "NumLock state comes from the lights";
    ASSERT_TRUE(Keyboard->Grabbed);
    Keyboard->Leds = 1U << LED_CAPSL;  // changed while grabbed

    SwallowKeys = false;
    Keyboard->Key(KEY_A, 1);
    Keyboard->Key(KEY_A, 0);
    Capture->Pump(KeyboardId());
    EXPECT_FALSE(Keyboard->Grabbed);
    ASSERT_EQ(Keyboard->LedWrites.size(), 1u);
    EXPECT_EQ(Keyboard->LedWrites[0], 1U << LED_NUML);

    SwallowKeys = true;
    Keyboard->Key(KEY_S, 1);
    Capture->Pump(KeyboardId());
    EXPECT_FALSE(Keyboard->Grabbed) << "S is held: its release must reach the session";
    Keyboard->Key(KEY_S, 0);
    Capture->Pump(KeyboardId());
    EXPECT_TRUE(Keyboard->Grabbed);
    EXPECT_EQ(Keys.size(), 4u);
}

TEST_F(EvdevCaptureTest, Keys_WatchingHook_KeyboardNeverTaken) {
    // Mouse-only pass-through: the keyboard hook only watches for its chords and lets every key
    // through, so the keyboard is never taken, not even before the first key decides.
    KeyHook->SetStartsSwallowing(false);
    SwallowKeys = false;
    KeyHook->SetActive(true);
    MouseHook->SetActive(true);
    EXPECT_FALSE(Keyboard->Grabbed);
    EXPECT_TRUE(Mouse->Grabbed);
    Keyboard->Key(KEY_A, 1);
    Keyboard->Key(KEY_A, 0);
    Capture->Pump(KeyboardId());
    EXPECT_EQ(Keys.size(), 2u);
    EXPECT_FALSE(Keyboard->Grabbed);
}

TEST_F(EvdevCaptureTest, SynDropped_HeldKeysResynchronisedFromTheKernel) {
    KeyHook->SetActive(true);
    Keyboard->Key(KEY_LEFTSHIFT, 1);
    Keyboard->Key(KEY_A, 1);
    Capture->Pump(KeyboardId());
    ASSERT_EQ(Keys.size(), 2u);
    Keys.clear();

    // The buffer overflowed: Shift and A were released and B pressed, the events lost.
    Keyboard->Push(EV_SYN, SYN_DROPPED, 0);
    Keyboard->Push(EV_KEY, KEY_A, 0);  // a fragment of the lost report, to be skipped
    Keyboard->Report();
    Keyboard->Keys = {};
    Keyboard->Keys.Set(KEY_B, true);
    Capture->Pump(KeyboardId());

    ASSERT_EQ(Keys.size(), 3u);
    EXPECT_EQ(Keys[0].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[0].Scan, 0x1Eu);  // A
    EXPECT_EQ(Keys[1].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[1].Scan, 0x2Au);  // left Shift
    EXPECT_EQ(Keys[2].Kind, WM_KEYDOWN);
    EXPECT_EQ(Keys[2].Scan, 0x30u);  // B
    EXPECT_EQ(KeyState()[0x10], 0) << "Shift no longer believed held";

    // Later events go on normally, and nothing is doubled.
    Keyboard->Key(KEY_B, 0);
    Keyboard->Key(KEY_A, 0);  // a stale release the resynchronisation already sent
    Capture->Pump(KeyboardId());
    ASSERT_EQ(Keys.size(), 4u);
    EXPECT_EQ(Keys[3].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[3].Scan, 0x30u);
}

TEST_F(EvdevCaptureTest, Mouse_MotionButtonsAndWheelsReachTheMouseHookOnly) {
    KeyHook->SetActive(true);
    MouseHook->SetActive(true);
    EXPECT_TRUE(Mouse->Grabbed);
    const THookPoint a = TEvdevCapture::Anchor;

    Mouse->Push(EV_REL, REL_X, 7);
    Mouse->Push(EV_REL, REL_Y, -4);
    Mouse->Push(EV_REL, REL_X, 1);  // one report: one move
    Mouse->Report();
    for (uint16_t button : {BTN_LEFT, BTN_MIDDLE, BTN_RIGHT, BTN_SIDE, BTN_EXTRA}) {
        Mouse->Key(button, 1);
        Mouse->Key(button, 0);
    }
    Mouse->Push(EV_REL, REL_WHEEL, 2);  // two notches in one report
    Mouse->Report();
    Mouse->Push(EV_REL, REL_HWHEEL, -1);
    Mouse->Report();
    Capture->Pump(MouseId());

    const TMouseSeen expected[] = {
        {WM_MOUSEMOVE, {a.X + 8, a.Y - 4}, 0},
        {WM_LBUTTONDOWN, a, 0},
        {WM_LBUTTONUP, a, 0},
        {WM_MBUTTONDOWN, a, 0},
        {WM_MBUTTONUP, a, 0},
        {WM_RBUTTONDOWN, a, 0},
        {WM_RBUTTONUP, a, 0},
        {WM_XBUTTONDOWN, a, 1},
        {WM_XBUTTONUP, a, 1},
        {WM_XBUTTONDOWN, a, 2},
        {WM_XBUTTONUP, a, 2},
        {WM_MOUSEWHEEL, a, 120},
        {WM_MOUSEWHEEL, a, 120},
        {WM_MOUSEHWHEEL, a, -120},
    };
    ASSERT_EQ(Mice.size(), std::size(expected));
    for (size_t i = 0; i < Mice.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Mice[i].Kind, expected[i].Kind);
        EXPECT_EQ(Mice[i].Pt, expected[i].Pt);
        EXPECT_EQ(Mice[i].High, expected[i].High);
    }
    EXPECT_TRUE(Keys.empty());

    // Paused (the handler lets the mouse through): the mouse is let go, the keyboard stays taken.
    SwallowMouse = false;
    Mouse->Push(EV_REL, REL_X, 1);
    Mouse->Report();
    Capture->Pump(MouseId());
    EXPECT_FALSE(Mouse->Grabbed);
    EXPECT_TRUE(Keyboard->Grabbed);
}

TEST_F(EvdevCaptureTest, Wheel_HighResolution_FoldedToNotches) {
    MouseHook->SetActive(true);
    struct {
        const char* Name;
        std::vector<int> HiRes;  // one report each
        std::vector<int16_t> Notches;
    } const cases[] = {
        {"halves make a notch", {60, 60}, {120}},
        {"a turn drops the part", {60, -60, 60}, {}},
        {"a full notch down", {-120}, {-120}},
        {"two notches at once", {240}, {120, 120}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        auto wheel = std::make_shared<TKernelDevice>();
        wheel->Caps = {false, true, true, false};
        const int id = Capture->Plug(wheel);
        Mice.clear();
        for (int v : c.HiRes) {
            wheel->Push(EV_REL, REL_WHEEL_HI_RES, v);
            wheel->Push(EV_REL, REL_WHEEL, v / 120);  // the kernel's own notches: must not count twice
            wheel->Report();
        }
        Capture->Pump(id);
        std::vector<int16_t> got;
        for (const auto& m : Mice) {
            EXPECT_EQ(m.Kind, WM_MOUSEWHEEL);
            got.push_back(m.High);
        }
        EXPECT_EQ(got, c.Notches);
    }
}

TEST_F(EvdevCaptureTest, Install_NothingUsable_FailsWithTheReasonTheUserCanActOn) {
    struct {
        const char* Name;
        std::vector<std::shared_ptr<TKernelDevice>> Present;
        int Denied;
        int GrabError;
        std::string Reason;
    } const cases[] = {
        {"no permission", {}, 3, 0, TEvdevCapture::PermissionReason},
        {"no keyboard", {}, 0, 0, TEvdevCapture::NoKeyboardReason},
        {"taken by another program",
         {Keyboard},
         0,
         EBUSY,
         "Another program has taken the keyboard \"Test Keyboard\" for itself. Close that program and try "
         "again."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Capture->Present = c.Present;
        Capture->Scan.Denied = c.Denied;
        Keyboard->GrabError = c.GrabError;
        try {
            KeyHook->SetActive(true);
            ADD_FAILURE() << "installed";
        } catch (const EHookError& e) {
            EXPECT_EQ(e.Reason(), c.Reason);
        }
        EXPECT_EQ(Capture->FailureReason(), c.Reason);
        EXPECT_EQ(Capture->DeviceCount(), 0u) << "a failed install leaves nothing open";
        EXPECT_FALSE(Keyboard->Grabbed);
    }
    // Without a mouse the mouse hook still installs: one plugged in later is taken.
    Capture->Present = {Keyboard};
    Keyboard->GrabError = 0;
    MouseHook->SetActive(true);
    EXPECT_TRUE(MouseHook->Active());
    EXPECT_TRUE(Capture->FailureReason().empty());
}

TEST_F(EvdevCaptureTest, HotPlug_AddedDeviceGrabbed_RemovedDeviceReleasesItsKeys) {
    KeyHook->SetActive(true);
    auto second = std::make_shared<TKernelDevice>();
    second->Name = "Plugged Keyboard";
    const int id = Capture->Plug(second);
    EXPECT_TRUE(second->Grabbed);

    second->Key(KEY_LEFTCTRL, 1);
    Capture->Pump(id);
    ASSERT_EQ(Keys.size(), 1u);
    second->Gone = true;  // unplugged with Ctrl down
    Capture->Pump(id);
    EXPECT_FALSE(Capture->HasDevice(id));
    ASSERT_EQ(Keys.size(), 2u);
    EXPECT_EQ(Keys[1].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[1].Scan, 0x1Du);
    EXPECT_EQ(KeyState()[0x11], 0);
}

TEST_F(EvdevCaptureTest, Notification_SwitchesHookOff_RestOfTheBatchDroppedSafely) {
    KeyHook->SetActive(true);
    OnKey = [this] { KeyHook->SetActive(false); };  // the exit chord ends capture
    Keyboard->Key(KEY_F12, 1);
    Keyboard->Key(KEY_F12, 0);
    Keyboard->Key(KEY_A, 1);
    Capture->Pump(KeyboardId());
    EXPECT_EQ(Keys.size(), 1u);
    EXPECT_FALSE(Keyboard->Grabbed);
    EXPECT_EQ(Capture->DeviceCount(), 0u);

    // And on again: the device is opened afresh (A is up by then).
    OnKey = nullptr;
    Keyboard->Queue.clear();
    Keyboard->Keys = {};
    KeyHook->SetActive(true);
    EXPECT_TRUE(Keyboard->Grabbed);
}

}  // namespace
