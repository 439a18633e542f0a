// The built program, unmodified, as a user meets it: under a virtual X server with two virtual
// dongles on a private system bus (newer firmware presenting 0451:E010 version 1, older firmware
// getting the default 0451:16B4). Driven by accelerator keys, clicks and typing through XTest;
// observed through the dongles' control interface, another X client and screenshots.

#include <gtest/gtest.h>

#include <QImage>
#include <QJsonObject>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "E2eCase.h"
#include "E2eWorld.h"
#include "KeyCodes.h"

namespace {

using namespace e2e;
using namespace std::chrono_literals;

const TDongleTraits& A = NewerDongle();
const TDongleTraits& B = OlderDongle();

class EndToEnd : public TWorldPerCase {
  protected:
    // From a folder of its own: what a developer chose in the build folder's copy (a route leader,
    // nicknames) does not reach these runs.
    TWorldOptions Options() const override {
        TWorldOptions options;
        options.settingsIni = "";
        return options;
    }

    // The text is typed and its last key let go: the release is written after the last press.
    bool WaitText(const TDongleTraits& d, const std::string& text) {
        return TE2eWorld::WaitUntil(
            [&] {
                return Text(d).toStdString() == text && !Target(d)[QStringLiteral("anyInputHeld")].toBool();
            },
            10s);
    }

    // The window as it looks now, saved for the CI artifacts and checked to be drawn.
    void Screenshot(const std::string& name) {
        const std::string path = ArtifactsDir(CORVASTEL_DEFAULT_ARTIFACTS_DIR) + "/e2e/" + name + ".png";
        std::this_thread::sleep_for(300ms);  // the last change painted
        std::size_t colours = 0;
        std::string error;
        ASSERT_TRUE(World->SaveScreenshot(World->AppWindow(), path, &colours, &error)) << error;
        EXPECT_GT(colours, 30u) << path << " looks blank";
        std::printf("screenshot %s: %zu colours\n", path.c_str(), colours);
    }

    // Types on A, then on B, switching with the leader tapped twice and the dongle's number; each
    // target must get exactly its part (the leader's taps type nothing there).
    void RouteScenario(unsigned leader);
};

TEST_F(EndToEnd, ScanAndConnect_BothDonglesListedAndActive) {
    Screenshot("01-started");
    std::string error;
    ASSERT_TRUE(World->Scan(&error)) << error;
    Screenshot("02-scanned");

    QString first;
    ASSERT_TRUE(World->ConnectSelected(&first, &error)) << error;
    Screenshot("03-one-connected");
    World->SelectListItem(1);
    QString second;
    ASSERT_TRUE(World->ConnectSelected(&second, &error)) << error;
    EXPECT_NE(first, second);
    Screenshot("04-both-connected");

    for (const TDongleTraits* d : {&A, &B}) {
        const QJsonObject s = Control().DongleStatus(d->address);
        EXPECT_TRUE(s.value(QStringLiteral("connected")).toBool()) << Json(s);
        EXPECT_EQ(s.value(QStringLiteral("connectCount")).toInt(), 1) << Json(s);
        // Each dongle's first keyboard report is already shaped for the identity it presents.
        const auto writes = KeyboardWrites(*d);
        ASSERT_FALSE(writes.empty());
        EXPECT_EQ(writes.front(), KeyboardReportHex(0, {}, d->reportId)) << d->address.toStdString();
    }
}

TEST_F(EndToEnd, PassThrough_TypedTextReachesBothTargetsAsTheirReports_AndNoOtherClient) {
    ConnectAll();
    // The other client sees keys while nobody captures them, so its silence below means something.
    Other->TakeFocus();
    X().Tap(keycode::A);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return Other->KeyPresses() == 1; }, 5s));

    PassThroughOn(false);
    ClearRecords();
    const std::string text = "Hello, World 42!";
    ASSERT_TRUE(X().Type(text));
    ASSERT_TRUE(WaitText(A, text)) << Json(Target(A));
    ASSERT_TRUE(WaitText(B, text)) << Json(Target(B));
    EXPECT_EQ(KeyboardWrites(A), KeyboardReportsForText(text, false));
    EXPECT_EQ(KeyboardWrites(B), KeyboardReportsForText(text, true));
    EXPECT_EQ(Other->KeyPresses(), 1) << "typed keys reached another client during pass-through";

    // A key held down shows in the window's key display.
    X().Key(keycode::LeftShift, true);
    X().Key(KeyStrokeFor('k')->keycode, true);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return Target(A).value(QStringLiteral("keysHeld")).toArray().size() == 1; }, 5s));
    Screenshot("05-pass-through-key-held");
    X().Key(KeyStrokeFor('k')->keycode, false);
    X().Key(keycode::LeftShift, false);

    ExitChord();
    for (const TDongleTraits* d : {&A, &B}) {
        ASSERT_TRUE(TE2eWorld::WaitUntil(
            [&] { return !Target(*d).value(QStringLiteral("anyInputHeld")).toBool(); }, 5s))
            << Json(Target(*d));
    }
    // Keys reach the other client again.
    X().Tap(keycode::A);
    EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return Other->KeyPresses() == 2; }, 5s));
}

TEST_F(EndToEnd, PassThroughWithMouse_MotionButtonsAndWheelReachBothTargets_PointerHeldStill) {
    ConnectAll();
    // The pointer rests on the other client's window: anything the program lets through lands there.
    X().MoveTo(16 + 120, 16 + 70);
    ASSERT_TRUE(Other->WaitPointerInside(true, 5s));
    PassThroughOn(true);
    ASSERT_TRUE(Other->WaitPointerInside(false, 5s)) << "the program did not take the pointer";
    const auto held = X().Pointer();
    const int buttonsBefore = Other->ButtonPresses();
    const int motionsBefore = Other->Motions();
    ClearRecords();

    for (int i = 0; i < 6; ++i)
        X().MoveBy(7, 3);
    X().Button(1, true);
    X().Button(1, false);
    X().Button(3, true);
    X().Button(3, false);
    X().Wheel(2);
    X().Wheel(-1);
    for (int i = 0; i < 4; ++i)
        X().MoveBy(-5, 0);

    // Every move counts with exactly its own motion, the first after switching on and the first
    // after a click included, and both targets get the same: 6 x (7, 3) + 4 x (-5, 0).
    ASSERT_TRUE(
        TE2eWorld::WaitUntil([&] { return TargetInt(A, "wheel") == 1 && TargetInt(B, "wheel") == 1; }, 10s))
        << Json(Target(A)) << "\n"
        << Json(Target(B));
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil(
            [&] { return TargetInt(*d, "pointerX") == 22 && TargetInt(*d, "pointerY") == 18; }, 5s))
            << d->address.toStdString() << ": " << Json(Target(*d));
    }
    for (const TDongleTraits* d : {&A, &B}) {
        const auto mouse = Control().WritesTo(d->address, d->mouseCharacteristic);
        const auto has = [&](const std::string& r) {
            return std::find(mouse.begin(), mouse.end(), r) != mouse.end();
        };
        EXPECT_TRUE(has(MouseReportHex(1, 0, 0, 0, d->reportId)))
            << "left button on " << d->address.toStdString();
        EXPECT_TRUE(has(MouseReportHex(2, 0, 0, 0, d->reportId)))
            << "right button on " << d->address.toStdString();
    }
    EXPECT_EQ(X().Pointer(), held) << "the local pointer moved";
    EXPECT_EQ(Other->ButtonPresses(), buttonsBefore) << "clicks reached another client";
    EXPECT_EQ(Other->Motions(), motionsBefore) << "motion reached another client";
    Screenshot("06-pass-through-with-mouse");

    ExitChord();
    ASSERT_TRUE(Other->WaitPointerInside(true, 5s)) << "the program kept the pointer";
    for (const TDongleTraits* d : {&A, &B})
        EXPECT_FALSE(Target(*d).value(QStringLiteral("anyInputHeld")).toBool());
}

TEST_F(EndToEnd, KeypadMouseShortcutButtonAndExitChord_LeaveNothingHeld) {
    ConnectAll();
    PassThroughOn(false);
    ClearRecords();

    // Ctrl+Shift turn the keypad into a mouse: 8 up, 6 right (one step of 4 each), 7 clicks, - turns the
    // wheel.
    X().Key(keycode::LeftCtrl, true);
    X().Key(keycode::LeftShift, true);
    for (unsigned k : {keycode::Pad8, keycode::Pad6, keycode::Pad7, keycode::PadMinus})
        X().Tap(k);
    X().Key(keycode::LeftShift, false);
    X().Key(keycode::LeftCtrl, false);
    for (const TDongleTraits* d : {&A, &B}) {
        ASSERT_TRUE(TE2eWorld::WaitUntil(
            [&] {
                const QJsonObject t = Target(*d);
                return t.value(QStringLiteral("pointerX")).toInteger() == 4 &&
                       t.value(QStringLiteral("pointerY")).toInteger() == -4 &&
                       t.value(QStringLiteral("wheel")).toInteger() == 1 &&
                       !t.value(QStringLiteral("anyInputHeld")).toBool();
            },
            10s))
            << Json(Target(*d));
        const auto mouse = Control().WritesTo(d->address, d->mouseCharacteristic);
        EXPECT_NE(std::find(mouse.begin(), mouse.end(), MouseReportHex(1, 0, 0, 0, d->reportId)), mouse.end())
            << "Pad 7 clicked no left button on " << d->address.toStdString();
    }

    // The Ctrl+Alt+Del button: Control, then Alt, then Delete, then nothing, while the button is down.
    ClearRecords();
    X().MoveTo(World->AppRect().x + place::CtrlAltDelX, World->AppRect().y + place::CtrlAltDelY);
    X().Button(1, true);
    for (const TDongleTraits* d : {&A, &B}) {
        const std::vector<std::string> expected{
            KeyboardReportHex(modifier::LeftCtrl, {}, d->reportId),
            KeyboardReportHex(modifier::LeftCtrl | modifier::LeftAlt, {}, d->reportId),
            KeyboardReportHex(modifier::LeftCtrl | modifier::LeftAlt, {usage::Delete}, d->reportId),
            KeyboardReportHex(0, {}, d->reportId)};
        EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return KeyboardWrites(*d) == expected; }, 10s))
            << d->address.toStdString() << ": " << KeyboardWrites(*d).size() << " keyboard reports";
    }
    Screenshot("07-ctrl-alt-del-held");
    X().Button(1, false);
    // The click brought the program's window forward; the other client takes the focus back, so
    // the end of the capture below is seen there.
    Other->TakeFocus();
    ASSERT_TRUE(Other->WaitKeyboardGrabbed(true, 5s)) << "capture did not resume after the button came up";
    // Capture resumes when the button comes up.
    ClearRecords();
    ASSERT_TRUE(X().Type("ok"));
    ASSERT_TRUE(WaitText(A, "ok"));
    ASSERT_TRUE(WaitText(B, "ok"));

    // The exit chord with a letter still held: every target ends with nothing held.
    X().Key(keycode::A, true);
    ASSERT_TRUE(
        TE2eWorld::WaitUntil([&] { return Target(B).value(QStringLiteral("anyInputHeld")).toBool(); }, 5s));
    ExitChord();
    X().Key(keycode::A, false);
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil(
            [&] { return !Target(*d).value(QStringLiteral("anyInputHeld")).toBool(); }, 5s))
            << Json(Target(*d));
        const auto keyboard = KeyboardWrites(*d);
        ASSERT_FALSE(keyboard.empty());
        EXPECT_EQ(keyboard.back(), KeyboardReportHex(0, {}, d->reportId));
    }
    Screenshot("08-after-exit-chord");
}

TEST_F(EndToEnd, RouteKeys_TypeOnA_ScrollLockTwiceAndBsNumber_TypeOnB_EachGetsExactlyItsPart) {
    RouteScenario(keycode::ScrollLock);
}

// The leader chosen in the settings dialog (the window's own menu, worked from the keyboard), then
// the program started again with the settings.ini it wrote: Right Ctrl leads.
TEST_F(EndToEnd, RouteKeys_RightCtrlChosenInTheSettings_AfterARestart_EachGetsExactlyItsPart) {
    const auto restart = [&](const std::string& settings) {
        TWorldOptions options;
        options.settingsIni = settings;
        StartWorld(options);
    };
    restart("");
    // A right click on the window's background: Settings…; Down from Scroll Lock picks Right Ctrl.
    X().Focus(World->AppWindow());
    X().Click(World->AppRect().x + 445, World->AppRect().y + 40, 3);
    std::this_thread::sleep_for(700ms);
    X().Tap(keycode::Down);
    X().Tap(keycode::Return);
    const unsigned long settings = X().WaitForWindow("Settings", 5s);
    ASSERT_NE(settings, 0u) << World->Logs();
    // Mapped is not yet focused: on a busy machine the Down would reach the main window and the
    // Return keep Scroll Lock. The focus is set first (and synced), so the dialog sees it before the keys.
    X().Focus(settings);
    X().Tap(keycode::Down);
    X().Tap(keycode::Return);
    const std::string file = World->AppDir() + "/settings.ini";
    std::string written;
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            std::ifstream in(file);
            written.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            return written.find("Leader=RightCtrl") != std::string::npos;
        },
        5s))
        << written;
    restart(written);
    RouteScenario(keycode::RightCtrl);
}

void EndToEnd::RouteScenario(unsigned leader) {
    ConnectAll();
    const int indexA = World->ListIndexOf(A.address);
    const int indexB = World->ListIndexOf(B.address);
    ASSERT_GE(indexA, 0);
    ASSERT_GE(indexB, 0);
    const auto digitKey = [](int index) { return KeyStrokeFor(static_cast<char>('1' + index))->keycode; };
    const auto routeTo = [&](int index) {
        X().Tap(leader);
        X().Tap(leader);
        X().Tap(digitKey(index));
    };
    PassThroughOn(false);
    ClearRecords();

    routeTo(indexA);
    ASSERT_TRUE(X().Type("typed on A"));
    // B is released when it loses input; it must not pick up anything typed after.
    ASSERT_TRUE(WaitText(A, "typed on A")) << Json(Target(A));
    X().Key(keycode::LeftShift, true);  // held across the switch: A must end with it released
    routeTo(indexB);
    X().Key(keycode::LeftShift, false);
    // A digit right after the switch is an ordinary key.
    ASSERT_TRUE(X().Type("2 then B"));
    ASSERT_TRUE(WaitText(B, "2 then B")) << Json(Target(B));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Text(A).toStdString(), "typed on A");
    EXPECT_EQ(Text(B).toStdString(), "2 then B");
    for (const TDongleTraits* d : {&A, &B})
        EXPECT_FALSE(Target(*d).value(QStringLiteral("anyInputHeld")).toBool()) << Json(Target(*d));
    Screenshot(leader == keycode::ScrollLock ? "10-routed-to-b" : "10-routed-to-b-right-ctrl");
    ExitChord();
    // This X server has no tray: the program said nothing about one.
    const std::string logs = World->Logs();
    EXPECT_EQ(logs.find("ray"), std::string::npos) << logs;
}

// The tray icon in a real tray host (an XEmbed tray on the virtual X server): its menu, worked
// from the keyboard as a user may, routes input to B and switches pass-through on; only B then
// gets what is typed. The menu's picture is saved for the README.
TEST_F(EndToEnd, Tray_InATrayHost_ItsMenuRoutesToBAndStartsPassThrough) {
    if (!ProgramAvailable("trayer"))
        GTEST_SKIP() << "trayer is not installed (scripts/setup-deps)";
    std::string error;
    TChildProcess::Options options;
    options.env = {{"DISPLAY", World->Display()}};
    auto host = TChildProcess::Start(
        {"trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "24",
         "--SetDockType", "false", "--transparent", "false", "--tint", "0xd8d8d8"},
        options, &error);
    ASSERT_TRUE(host) << error;
    ConnectAll();
    // The program looks for a tray every few seconds; its icon makes the panel wider than empty.
    std::optional<TRect> panel;
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            const unsigned long window = X().FindWindow("panel");
            panel = window != 0 ? X().Geometry(window) : std::nullopt;
            return panel && panel->width >= 20;
        },
        10s))
        << "the icon never reached the tray";
    const int indexB = World->ListIndexOf(B.address);
    ASSERT_GE(indexB, 0);
    // Entries: show, pass-through, every dongle, each dongle by number (here list order), quit.
    const auto pick = [&](int downs) {
        X().Click(panel->x + panel->width / 2, panel->y + panel->height / 2, 3);
        std::this_thread::sleep_for(700ms);
        for (int i = 0; i < downs; ++i)
            X().Tap(keycode::Down);
        X().Tap(keycode::Return);
        std::this_thread::sleep_for(500ms);
    };

    X().Click(panel->x + panel->width / 2, panel->y + panel->height / 2, 3);
    std::this_thread::sleep_for(700ms);
    const std::string path = ArtifactsDir(CORVASTEL_DEFAULT_ARTIFACTS_DIR) + "/e2e/tray-menu.png";
    std::size_t colours = 0;
    ASSERT_TRUE(World->SaveScreenshot(X().Root(), path, &colours, &error)) << error;
    QImage screen(QString::fromStdString(path));
    screen.copy(screen.width() - 300, 0, 300, 150).save(QString::fromStdString(path));
    X().Tap(keycode::Escape);
    std::this_thread::sleep_for(300ms);

    pick(4 + indexB);
    pick(2);
    Other->TakeFocus();
    ASSERT_TRUE(Other->WaitKeyboardGrabbed(true, 10s)) << "the tray's pass-through entry took no keyboard";
    ClearRecords();
    ASSERT_TRUE(X().Type("b only"));
    ASSERT_TRUE(WaitText(B, "b only")) << Json(Target(B));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Text(A).toStdString(), "");
    ExitChord();
}

TEST_F(EndToEnd, DongleDroppedMidTyping_OtherKeepsWorking_ThenComesBackByItself) {
    ConnectAll();
    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("abc"));
    ASSERT_TRUE(WaitText(A, "abc"));
    ASSERT_TRUE(WaitText(B, "abc"));

    // Out of range: it neither advertises nor answers until it is back.
    Control().SetAdvertising(A.address, false);
    Control().DropLink(A.address);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return !Control().DongleStatus(A.address).value(QStringLiteral("connected")).toBool(); }, 5s));
    ASSERT_TRUE(X().Type("def"));
    ASSERT_TRUE(WaitText(B, "abcdef")) << Json(Target(B));
    EXPECT_EQ(Text(A).toStdString(), "abc");
    ExitChord();
    Screenshot("09-one-dropped");

    // Back in range: the app connects it again by itself, and it starts with nothing held.
    Control().ClearRecords(A.address);
    Control().SetAdvertising(A.address, true);
    ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return !KeyboardWrites(A).empty(); }, 40s))
        << Json(Control().DongleStatus(A.address));
    EXPECT_EQ(KeyboardWrites(A).front(), KeyboardReportHex(0, {}, A.reportId));
    EXPECT_GE(Control().DongleStatus(A.address).value(QStringLiteral("connectCount")).toInt(), 2);

    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("gh"));
    EXPECT_TRUE(WaitText(A, "gh")) << Json(Target(A));
    EXPECT_TRUE(WaitText(B, "gh")) << Json(Target(B));
    ExitChord();
}

// A route to one dongle holds while that dongle is away: what is typed meanwhile reaches neither
// target, then or later, and when it is back by itself the route continues to it alone.
TEST_F(EndToEnd, RoutedDongleDrops_KeysAreHeldNotSentToTheOther_RouteContinuesWhenItIsBack) {
    ConnectAll();
    const int indexA = World->ListIndexOf(A.address);
    const int indexB = World->ListIndexOf(B.address);
    ASSERT_GE(indexA, 0);
    ASSERT_GE(indexB, 0);
    const TDongleTraits& routed = indexB == 1 ? B : A;
    const TDongleTraits& other = indexB == 1 ? A : B;
    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("ab"));
    ASSERT_TRUE(WaitText(routed, "ab"));
    ASSERT_TRUE(WaitText(other, "ab"));

    X().Tap(keycode::ScrollLock);
    X().Tap(keycode::ScrollLock);
    X().Tap(KeyStrokeFor('2')->keycode);
    ASSERT_TRUE(X().Type("cd"));
    ASSERT_TRUE(WaitText(routed, "abcd")) << Json(Target(routed));

    Control().SetAdvertising(routed.address, false);
    Control().DropLink(routed.address);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return !Control().DongleStatus(routed.address).value(QStringLiteral("connected")).toBool(); },
        5s));
    ASSERT_TRUE(X().Type("xy"));
    std::this_thread::sleep_for(500ms);  // time for "xy" to go wherever it would
    EXPECT_EQ(Text(other).toStdString(), "ab") << "typed while the routed dongle was away";
    Screenshot("11-route-held");

    // Back by itself: the app reconnects it; pass-through stayed on throughout.
    const int connects = Control().DongleStatus(routed.address).value(QStringLiteral("connectCount")).toInt();
    Control().SetAdvertising(routed.address, true);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            return Control().DongleStatus(routed.address).value(QStringLiteral("connectCount")).toInt() >
                       connects &&
                   !KeyboardWrites(routed).empty();
        },
        40s))
        << Json(Control().DongleStatus(routed.address));
    std::this_thread::sleep_for(500ms);  // its activation handled: it takes input again
    ASSERT_TRUE(X().Type("z"));
    EXPECT_TRUE(WaitText(routed, "abcdz")) << Json(Target(routed));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Text(routed).toStdString(), "abcdz");
    EXPECT_EQ(Text(other).toStdString(), "ab");
    for (const TDongleTraits* d : {&A, &B})
        EXPECT_FALSE(Target(*d).value(QStringLiteral("anyInputHeld")).toBool()) << Json(Target(*d));
    ExitChord();
}

// Numbers stay put: the dongle numbered 1 drops, and the leader twice + 1 still means it, not the
// dongle now first among those connected. What is typed while it is away reaches neither target;
// once it is back by itself, it alone gets what follows.
TEST_F(EndToEnd, NumberedDongleAway_ItsDigitHoldsTheRoute_NothingReachesTheOther_ThenItAloneHears) {
    ConnectAll();
    const int indexA = World->ListIndexOf(A.address);
    ASSERT_GE(indexA, 0);
    // Numbers are given as dongles connect, and ConnectAll connects in list order.
    const TDongleTraits& first = indexA == 0 ? A : B;
    const TDongleTraits& second = indexA == 0 ? B : A;
    PassThroughOn(false);
    ClearRecords();
    ASSERT_TRUE(X().Type("ab"));
    ASSERT_TRUE(WaitText(first, "ab"));
    ASSERT_TRUE(WaitText(second, "ab"));

    Control().SetAdvertising(first.address, false);
    Control().DropLink(first.address);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] { return !Control().DongleStatus(first.address).value(QStringLiteral("connected")).toBool(); },
        5s));
    X().Tap(keycode::ScrollLock);
    X().Tap(keycode::ScrollLock);
    X().Tap(KeyStrokeFor('1')->keycode);
    ASSERT_TRUE(X().Type("xy"));
    std::this_thread::sleep_for(500ms);  // time for "xy" to go wherever it would
    EXPECT_EQ(Text(second).toStdString(), "ab") << "1 went to the dongle that is still connected";

    const int connects = Control().DongleStatus(first.address).value(QStringLiteral("connectCount")).toInt();
    Control().SetAdvertising(first.address, true);
    ASSERT_TRUE(TE2eWorld::WaitUntil(
        [&] {
            return Control().DongleStatus(first.address).value(QStringLiteral("connectCount")).toInt() >
                       connects &&
                   !KeyboardWrites(first).empty();
        },
        40s))
        << Json(Control().DongleStatus(first.address));
    std::this_thread::sleep_for(500ms);  // its activation handled: it takes input again
    ASSERT_TRUE(X().Type("z"));
    EXPECT_TRUE(WaitText(first, "abz")) << Json(Target(first));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(Text(first).toStdString(), "abz");
    EXPECT_EQ(Text(second).toStdString(), "ab");
    ExitChord();
}

// A text of this many characters from what the harness can type: mixed case, digits, punctuation,
// spaces and line ends.
std::string TextOfLength(std::size_t length) {
    static const std::string Pattern =
        "The Quick brown fox, 42 times - JUMPS over 7 lazy dogs! Why? Because it can.\n";
    std::string text;
    while (text.size() < length)
        text += Pattern;
    text.resize(length);
    return text;
}

// Typing a text: typed into the program's dialog, it reaches both targets exactly, each over a
// 7.5 ms link in its own framing, with nothing held at the end. One target has Caps Lock on (its
// host set it): the program knows from the dongle's LED status, and the text still arrives as
// written.
TEST_F(EndToEnd, TypingAText_ArrivesExactlyOnBothTargetsOverASlowLink) {
    ConnectAll();
    // Caps Lock through pass-through toggles the targets' locks, and back.
    PassThroughOn(false);
    X().Tap(keycode::CapsLock);
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return TargetInt(*d, "ledStatus") == 0x02; }, 5s))
            << "Caps Lock toggles the target's lock: " << Json(Target(*d));
    }
    Screenshot("10-caps-lock-lights");
    X().Tap(keycode::CapsLock);
    EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return TargetInt(B, "ledStatus") == 0; }, 5s));
    ExitChord();
    Control().NotifyLed(B.address, 0x02);
    ClearRecords();
    for (const TDongleTraits* d : {&A, &B})
        Control().SetWriteDelay(d->address, 7500);

    const std::string text = TextOfLength(2000);
    std::string error;
    ASSERT_TRUE(World->TypeTextIntoDongles(text, &error)) << error;
    const auto start = std::chrono::steady_clock::now();
    for (const TDongleTraits* d : {&A, &B}) {
        EXPECT_TRUE(TE2eWorld::WaitUntil([&] { return Text(*d).toStdString() == text; }, 120s))
            << d->address.toStdString() << " got " << Text(*d).size() << " characters";
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("typed %zu characters into 2 dongles over a 7.5 ms link in %.1f s: %.0f characters/s\n",
                text.size(), seconds, text.size() / seconds);
    for (const TDongleTraits* d : {&A, &B}) {
        // The text is complete with the last press; its release follows one write later.
        EXPECT_TRUE(TE2eWorld::WaitUntil(
            [&] { return !Target(*d).value(QStringLiteral("anyInputHeld")).toBool(); }, 5s))
            << Json(Target(*d));
        EXPECT_EQ(TargetInt(*d, "ledStatus"), d == &B ? 0x02 : 0) << "typing leaves the target's locks alone";
    }
    Screenshot("11-text-typed");
}

// Figures, not a check of speed: characters per second typed into both dongles at 0, 7.5 and 15 ms
// per write (each character is two writes: press and release).
TEST_F(EndToEnd, TypingRate_Figures) {
    ConnectAll();
    const std::string text = TextOfLength(400);
    for (const unsigned delayUs : {0u, 7500u, 15000u}) {
        ClearRecords();
        for (const TDongleTraits* d : {&A, &B})
            Control().SetWriteDelay(d->address, delayUs);
        std::string error;
        ASSERT_TRUE(World->TypeTextIntoDongles(text, &error)) << error;
        const auto start = std::chrono::steady_clock::now();
        for (const TDongleTraits* d : {&A, &B})
            ASSERT_TRUE(TE2eWorld::WaitUntil([&] { return Text(*d).toStdString() == text; }, 60s));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("typing rate at %.1f ms per write: %zu characters in %.2f s = %.0f characters/s\n",
                    delayUs / 1000.0, text.size(), seconds, text.size() / seconds);
    }
}

}  // namespace
