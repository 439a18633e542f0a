// The evdev backend on a real kernel (run in the kernel rig's guest, as root, with uinput): uinput
// keyboards and mice stand for the user's devices, a plain reader of the same device node stands
// for the compositor. The backend must hand the hooks the codes Windows reports, take the devices
// so the reader sees nothing while input is swallowed and everything after, take a device plugged
// in meanwhile, recover from lost events, and leave the reader no key held.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <linux/uinput.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "HookRecorder.h"
#include "UinputDevice.h"
#include "input/UnitInputForwarding.h"
#include "input/UnitKeyHook.h"
#include "platform/hooks/evdev/EvdevCapture.h"
#include "platform/hooks/evdev/EvdevHookPlatform.h"

namespace {

using namespace std::chrono_literals;

// Another reader of a device, as the compositor reads it.
class TReader {
  public:
    explicit TReader(const std::string& node)
        : FFd(::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)) {}
    ~TReader() {
        if (FFd >= 0) {
            ::close(FFd);
        }
    }
    // Every key, button and motion event that arrived since the last call.
    std::vector<input_event> Take() {
        std::vector<input_event> got;
        input_event e[64];
        ssize_t n;
        while ((n = ::read(FFd, e, sizeof e)) > 0) {
            for (ssize_t i = 0; i < n / static_cast<ssize_t>(sizeof(input_event)); ++i) {
                if (e[i].type == EV_KEY || e[i].type == EV_REL) {
                    got.push_back(e[i]);
                }
            }
        }
        return got;
    }

  private:
    int FFd;
};

class EvdevKernelTest : public ::testing::Test, protected THookRecorder {
  protected:
    static void SetUpTestSuite() {
        static int argc = 1;
        static char name[] = "evdev_kernel_tests";
        static char* argv[] = {name, nullptr};
        if (QCoreApplication::instance() == nullptr) {
            new QCoreApplication(argc, argv);
        }
    }

    void SetUp() override {
        if (::access("/dev/uinput", W_OK) != 0) {
            GTEST_SKIP() << "no /dev/uinput: this test runs in the kernel rig's guest";
        }
        Keyboard = std::make_unique<TUinputDevice>(TUinputDevice::TKind::Keyboard, "Rig Keyboard");
        Mouse = std::make_unique<TUinputDevice>(TUinputDevice::TKind::Mouse, "Rig Mouse");
        ASSERT_TRUE(Keyboard->Ok() && Mouse->Ok()) << "uinput devices not created";
        KeyboardReader = std::make_unique<TReader>(Keyboard->Node());
        MouseReader = std::make_unique<TReader>(Mouse->Node());
        std::string error;
        Platform = CreateEvdevHookPlatform(&error);
        ASSERT_TRUE(Platform) << error;
        ASSERT_EQ(Platform->CaptureUnavailableReason(), "");
        AttachHooks(Platform);
    }

    void TearDown() override {
        if (Keyboard && Mouse) {
            EXPECT_EQ(Keyboard->WriteFailures() + Mouse->WriteFailures(), 0) << "events not taken by uinput";
        }
        KeyHook.reset();
        MouseHook.reset();
        Platform.reset();
    }

    // Runs the event loop until done() or the time-out (the guest is slow: generous).
    static bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) {
                return false;
            }
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        }
        return true;
    }
    static void Settle() {
        PumpUntil([] { return false; }, 300ms);
    }

    // Whether someone holds the device: a grab of our own fails while another is in place.
    static bool GrabbedElsewhere(const std::string& node) {
        const int fd = ::open(node.c_str(), O_RDONLY | O_CLOEXEC);
        const bool busy = ::ioctl(fd, EVIOCGRAB, 1) != 0 && errno == EBUSY;
        if (!busy) {
            ::ioctl(fd, EVIOCGRAB, 0);
        }
        ::close(fd);
        return busy;
    }

    std::unique_ptr<TUinputDevice> Keyboard;
    std::unique_ptr<TUinputDevice> Mouse;
    std::unique_ptr<TReader> KeyboardReader;
    std::unique_ptr<TReader> MouseReader;
    std::shared_ptr<THookPlatform> Platform;
};

// The window's side of key forwarding, for the real forwarding logic: keys forwarded, nothing sent.
struct TKeyTarget final : TForwardTarget {
    bool KeyboardForwarded() const override { return true; }
    bool MouseForwarded() const override { return false; }
    void SendReportToActive(TReportType, bool) override {}
    void ShowPressedKey(const TIntArray&) override {}
    void ShowKeypadMouse(std::string_view, std::string_view) override {}
    void ExitPassThrough() override {}
    bool HeldPointerPosition(THookPoint&) override { return false; }
    bool SelectRoute(int) override { return true; }
};

// Run as a user outside the input group (the device nodes here are root's alone): the backend says
// before anything is installed that capture cannot work, and the install fails, with the command
// that fixes it.
TEST_F(EvdevKernelTest, Permission_UserMayNotReadDevices_ReasonWithTheCommandThatFixesIt) {
    KeyHook.reset();
    MouseHook.reset();
    Platform.reset();
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::close(out[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) {
            ::_exit(2);
        }
        std::string text;
        auto platform = std::shared_ptr<THookPlatform>(CreateEvdevHookPlatform(&text));
        if (platform) {
            text = platform->CaptureUnavailableReason() + "\n--\n";
            TLowLevelKeyboardHook hook(platform);
            try {
                hook.SetActive(true);
                text += "installed";
            } catch (const EHookError& e) {
                text += e.Reason();
            }
        }
        const ssize_t ignored = ::write(out[1], text.data(), text.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(out[1]);
    std::string text;
    char buffer[512];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not become another user";
    const std::string reason = TEvdevCapture::PermissionReason;
    EXPECT_EQ(text, reason + "\n--\n" + reason);
    EXPECT_NE(reason.find("sudo usermod -aG input $USER"), std::string::npos);
}

TEST_F(EvdevKernelTest, Keys_Grabbed_WindowsCodesToTheHookNothingToTheSessionUntilReleased) {
    struct {
        const char* Name;
        uint16_t Key;
        uint32_t Scan;
        bool Extended;
    } const rows[] = {
        {"A", KEY_A, 0x1E, false},
        {"Right Ctrl", KEY_RIGHTCTRL, 0x1D, true},
        {"Right Shift", KEY_RIGHTSHIFT, 0x36, true},
        {"Keypad Enter", KEY_KPENTER, 0x1C, true},
        {"Keypad /", KEY_KPSLASH, 0x35, true},
        {"Up", KEY_UP, 0x48, true},
        {"Left", KEY_LEFT, 0x4B, true},
        {"Right", KEY_RIGHT, 0x4D, true},
        {"Down", KEY_DOWN, 0x50, true},
        {"Pause", KEY_PAUSE, 0x45, false},
        {"NumLock", KEY_NUMLOCK, 0x45, true},
        {"Left Win", KEY_LEFTMETA, 0x5B, true},
        {"Menu", KEY_COMPOSE, 0x5D, true},
    };
    KeyHook->SetActive(true);
    EXPECT_TRUE(GrabbedElsewhere(Keyboard->Node()));
    EXPECT_FALSE(GrabbedElsewhere(Mouse->Node())) << "the mouse has no hook";
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        Keys.clear();
        Keyboard->Tap(row.Key);
        ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 2; }));
        EXPECT_EQ(Keys[0].Kind, WM_KEYDOWN);
        EXPECT_EQ(Keys[0].Scan, row.Scan);
        EXPECT_EQ((Keys[0].Flags & LLKHF_EXTENDED) != 0, row.Extended);
        EXPECT_EQ(Keys[1].Kind, WM_KEYUP);
        EXPECT_NE(Keys[1].Flags & LLKHF_UP, 0u);
    }
    // Auto-repeat is the kernel's value 2: one more press.
    Keys.clear();
    Keyboard->Key(KEY_B, 1);
    Keyboard->Key(KEY_B, 2);
    Keyboard->Key(KEY_B, 0);
    ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 3; }));
    EXPECT_EQ(Keys[1].Kind, WM_KEYDOWN);
    EXPECT_TRUE(KeyboardReader->Take().empty()) << "the session saw keys while they were swallowed";

    // Off: the session has its keyboard back and the hook hears nothing.
    KeyHook->SetActive(false);
    Keys.clear();
    Keyboard->Tap(KEY_A);
    Settle();
    EXPECT_TRUE(Keys.empty());
    EXPECT_EQ(KeyboardReader->Take().size(), 2u);
}

TEST_F(EvdevKernelTest, Keys_HeldAcrossGrabChanges_SessionNeverLeftWithAKeyHeld) {
    // Held when capture starts (the key that started it): its release must reach the session.
    Keyboard->Key(KEY_T, 1);
    Settle();
    KeyboardReader->Take();
    KeyHook->SetActive(true);
    Settle();
    EXPECT_FALSE(GrabbedElsewhere(Keyboard->Node())) << "taken while T is down";
    Keyboard->Key(KEY_T, 0);
    ASSERT_TRUE(PumpUntil([&] { return !Keys.empty(); }));
    auto seen = KeyboardReader->Take();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].code, KEY_T);
    EXPECT_EQ(seen[0].value, 0);
    ASSERT_TRUE(PumpUntil([&] { return GrabbedElsewhere(Keyboard->Node()); }));

    // Held when capture ends (the exit chord): the session gets releases only, never a press.
    Keyboard->Key(KEY_LEFTCTRL, 1);
    Keyboard->Key(KEY_LEFTSHIFT, 1);
    ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 3; }));
    KeyHook->SetActive(false);
    Keyboard->Key(KEY_LEFTSHIFT, 0);
    Keyboard->Key(KEY_LEFTCTRL, 0);
    Settle();
    for (const auto& e : KeyboardReader->Take()) {
        EXPECT_EQ(e.value, 0) << "key " << e.code << " reached the session as a press";
    }
}

TEST_F(EvdevKernelTest, Keys_ReleasedWhileTheProgramIsStopped_ReachTheHooksBeforeTheKeysAfterIt) {
    // Shift is held when capture starts, so the keyboard is only observed. A goes down; the program
    // is stopped (SIGSTOP) right after reading it; A goes up; the program continues. A's release
    // must reach the hooks, before Shift's: asking the kernel for its key state then would drop it
    // from the queue (the target would hold Shift+A, repeating).
    Keyboard->Key(KEY_LEFTSHIFT, 1);
    Settle();
    KeyHook->SetActive(true);
    Settle();
    ASSERT_FALSE(GrabbedElsewhere(Keyboard->Node()));
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t program = ::getpid();
    const pid_t helper = ::fork();
    ASSERT_GE(helper, 0);
    if (helper == 0) {
        // Only async-signal-safe calls here: the parent may have threads.
        char c = 0;
        if (::read(ready[0], &c, 1) == 1) {
            char path[64] = "/proc/";
            char digits[16];
            int n = 0;
            for (pid_t p = program; p > 0; p /= 10) {
                digits[n++] = static_cast<char>('0' + p % 10);
            }
            int at = 6;
            while (n > 0) {
                path[at++] = digits[--n];
            }
            const char tail[] = "/stat";
            for (char t : tail) {
                path[at++] = t;
            }
            // Until the program is stopped (state T after the name's closing parenthesis), at most 20 s.
            for (int tries = 0; tries < 2000; ++tries) {
                char stat[512];
                const int fd = ::open(path, O_RDONLY);
                const ssize_t got = fd >= 0 ? ::read(fd, stat, sizeof stat - 1) : -1;
                if (fd >= 0) {
                    ::close(fd);
                }
                ssize_t close = -1;
                for (ssize_t i = 0; i < got; ++i) {
                    close = stat[i] == ')' ? i : close;
                }
                if (close >= 0 && close + 2 < got && stat[close + 2] == 'T') {
                    break;
                }
                ::usleep(10000);
            }
            Keyboard->Key(KEY_A, 0);
        }
        ::kill(program, SIGCONT);
        ::_exit(0);
    }
    ::close(ready[0]);
    OnKey = [&] {
        if (Keys.size() == 1) {
            const char go = 1;
            if (::write(ready[1], &go, 1) == 1) {
                ::raise(SIGSTOP);
            }
        }
    };
    Keyboard->Key(KEY_A, 1);
    ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 2; }));
    OnKey = nullptr;
    ::close(ready[1]);
    int status = 0;
    ::waitpid(helper, &status, 0);
    Keyboard->Key(KEY_LEFTSHIFT, 0);
    ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 3; }));
    Settle();
    const TKeySeen expected[] = {
        {WM_KEYDOWN, 0x1E, 0}, {WM_KEYUP, 0x1E, LLKHF_UP}, {WM_KEYUP, 0x2A, LLKHF_UP}};
    ASSERT_EQ(Keys.size(), std::size(expected));
    for (size_t i = 0; i < Keys.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Keys[i].Kind, expected[i].Kind);
        EXPECT_EQ(Keys[i].Scan, expected[i].Scan);
    }
    EXPECT_TRUE(PumpUntil([&] { return GrabbedElsewhere(Keyboard->Node()); })) << "nothing is held any more";
}

TEST_F(EvdevKernelTest, KeypadMouse_Pad5ThenPad8UnderCtrlShift_NothingReachesTheSession) {
    // The real forwarding logic decides: while keys are forwarded the session gets no key, whatever
    // the keypad mouse does with it (Pad 5's release has no use there and must not end the grab).
    ResetInputStateForTests();
    ResetForwardingStateForTests();
    TKeyTarget target;
    KeyHook->SetOnPreExecute([&](THook&, THookMessage& msg) {
        Keys.push_back({msg.Msg, KeyHook->HookStruct().ScanCode, KeyHook->HookStruct().flags});
        msg.Result = ForwardKeyEvent(target, KeyHook->HookStruct());
    });
    KeyHook->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return GrabbedElsewhere(Keyboard->Node()); }));
    KeyboardReader->Take();
    const std::pair<uint16_t, int32_t> steps[] = {
        {KEY_LEFTCTRL, 1}, {KEY_LEFTSHIFT, 1}, {KEY_KP5, 1}, {KEY_KP5, 0}, {KEY_KP8, 1},
        {KEY_KP8, 0},      {KEY_KP1, 1},       {KEY_KP1, 0}, {KEY_A, 1},   {KEY_A, 0},
    };
    for (const auto& [key, value] : steps) {
        const size_t seen = Keys.size();
        Keyboard->Key(key, value);
        ASSERT_TRUE(PumpUntil([&] { return Keys.size() > seen; })) << "key " << key;
    }
    Settle();
    EXPECT_TRUE(KeyboardReader->Take().empty()) << "the session got keys during pass-through";
    EXPECT_TRUE(GrabbedElsewhere(Keyboard->Node()));
    KeyHook->SetActive(false);
    Keyboard->Key(KEY_LEFTSHIFT, 0);
    Keyboard->Key(KEY_LEFTCTRL, 0);
    ResetInputStateForTests();
    ResetForwardingStateForTests();
}

TEST_F(EvdevKernelTest, Mouse_Grabbed_MotionButtonsAndBothWheels) {
    MouseHook->SetActive(true);
    EXPECT_TRUE(GrabbedElsewhere(Mouse->Node()));
    THookPoint a{};
    ASSERT_TRUE(Platform->HeldPointerPosition(a));
    Mouse->Emit(EV_REL, REL_X, 7);
    Mouse->Emit(EV_REL, REL_Y, -4);
    Mouse->Sync();
    for (uint16_t button : {BTN_LEFT, BTN_MIDDLE, BTN_RIGHT, BTN_SIDE, BTN_EXTRA}) {
        Mouse->Key(button, 1);
        Mouse->Key(button, 0);
    }
    // A high-resolution wheel: two halves and a whole notch, with the kernel's own REL_WHEEL.
    Mouse->Emit(EV_REL, REL_WHEEL_HI_RES, 60);
    Mouse->Sync();
    Mouse->Emit(EV_REL, REL_WHEEL_HI_RES, 60);
    Mouse->Emit(EV_REL, REL_WHEEL, 1);
    Mouse->Sync();
    Mouse->Emit(EV_REL, REL_HWHEEL_HI_RES, -120);
    Mouse->Emit(EV_REL, REL_HWHEEL, -1);
    Mouse->Sync();

    const TMouseSeen expected[] = {
        {WM_MOUSEMOVE, {a.X + 7, a.Y - 4}, 0},
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
        {WM_MOUSEHWHEEL, a, -120},
    };
    ASSERT_TRUE(PumpUntil([&] { return Mice.size() >= std::size(expected); })) << Mice.size() << " events";
    Settle();
    ASSERT_EQ(Mice.size(), std::size(expected));
    for (size_t i = 0; i < Mice.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Mice[i].Kind, expected[i].Kind);
        EXPECT_EQ(Mice[i].Pt, expected[i].Pt);
        EXPECT_EQ(Mice[i].High, expected[i].High);
    }
    EXPECT_TRUE(MouseReader->Take().empty());

    // Let through (mouse forwarding paused): from the next event on the session has the mouse.
    SwallowMouse = false;
    Mouse->Emit(EV_REL, REL_X, 1);
    Mouse->Sync();
    ASSERT_TRUE(PumpUntil([&] { return !GrabbedElsewhere(Mouse->Node()); }));
    MouseReader->Take();
    Mouse->Emit(EV_REL, REL_X, 2);
    Mouse->Sync();
    Settle();
    EXPECT_EQ(MouseReader->Take().size(), 1u);
}

TEST_F(EvdevKernelTest, LockLights_ChangedWhileGrabbed_PutBackWhenReleased) {
    const auto leds = [this] {
        const int fd = ::open(Keyboard->Node().c_str(), O_RDONLY | O_CLOEXEC);
        unsigned long bits = 0;
        ::ioctl(fd, EVIOCGLED(sizeof bits), &bits);
        ::close(fd);
        return bits & 0x7UL;
    };
    const auto setLeds = [this](unsigned long bits) {
        const int fd = ::open(Keyboard->Node().c_str(), O_WRONLY | O_CLOEXEC);
        for (int led : {LED_NUML, LED_CAPSL, LED_SCROLLL}) {
            input_event e{};
            e.type = EV_LED;
            e.code = static_cast<uint16_t>(led);
            e.value = static_cast<int32_t>((bits >> led) & 1UL);
            EXPECT_EQ(::write(fd, &e, sizeof e), static_cast<ssize_t>(sizeof e));
        }
        ::close(fd);
    };
    // The console's keyboard handler pushes its own lights once, a moment after its first event:
    // let that happen before the session's lights are set.
    setLeds(0);
    Settle();
    setLeds(1UL << LED_NUML);  // as the session left them
    ASSERT_EQ(leds(), 1UL << LED_NUML);
    KeyHook->SetActive(true);
    TKeyboardState state{};
    Platform->GetKeyboardState(state);
    EXPECT_EQ(state[0x90] & 0x01, 0x01) << "NumLock is on, as its light says";
    setLeds(1UL << LED_CAPSL);  // written by something else meanwhile
    KeyHook->SetActive(false);
    Settle();
    EXPECT_EQ(leds(), 1UL << LED_NUML);
}

TEST_F(EvdevKernelTest, HotPlug_KeyboardPluggedInWhileCapturing_IsTakenToo) {
    KeyHook->SetActive(true);
    TUinputDevice second(TUinputDevice::TKind::Keyboard, "Rig Keyboard Two");
    ASSERT_TRUE(second.Ok());
    TReader reader(second.Node());
    ASSERT_TRUE(PumpUntil([&] { return GrabbedElsewhere(second.Node()); }))
        << "the new keyboard was not taken";
    second.Tap(KEY_Z);
    ASSERT_TRUE(PumpUntil([&] { return Keys.size() >= 2; }));
    EXPECT_EQ(Keys[0].Scan, 0x2Cu);
    EXPECT_TRUE(reader.Take().empty());
}

TEST_F(EvdevKernelTest, SynDropped_BurstTooLongToBuffer_HeldKeysResynchronised) {
    KeyHook->SetActive(true);
    ASSERT_TRUE(PumpUntil([&] { return GrabbedElsewhere(Keyboard->Node()); }));
    // Without the event loop running, far more than the reader's buffer holds: at the end only B is
    // down, but most of the presses and releases that led there are lost.
    Keyboard->Key(KEY_LEFTSHIFT, 1);
    for (int i = 0; i < 100; ++i) {
        Keyboard->Tap(KEY_A);
    }
    Keyboard->Key(KEY_LEFTSHIFT, 0);
    Keyboard->Key(KEY_B, 1);
    Settle();
    TKeyboardState state{};
    Platform->GetKeyboardState(state);
    EXPECT_EQ(state[0xA0] & 0x80, 0) << "left Shift still believed held";
    EXPECT_EQ(state['A'] & 0x80, 0) << "A still believed held";
    EXPECT_NE(state['B'] & 0x80, 0) << "B not known to be held";
    EXPECT_LT(Keys.size(), 2u + 200u + 2u) << "no events were lost: the burst did not overflow";
    Keys.clear();
    Keyboard->Key(KEY_B, 0);
    ASSERT_TRUE(PumpUntil([&] { return !Keys.empty(); }));
    EXPECT_EQ(Keys[0].Kind, WM_KEYUP);
    EXPECT_EQ(Keys[0].Scan, 0x30u);
}

}  // namespace
