// Pass-through through the real window: hooked events played into the fake hook backend, report
// bytes read back from virtual dongles connected through the fake central.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConnectedWindow.h"
#include "ForwardingTestSupport.h"
#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/UnitMain.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

using namespace std::chrono_literals;
using namespace fwdtest;
using TStrings = std::vector<std::string>;

namespace {

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

intptr_t NoHook(void*, int32_t, uint32_t, uintptr_t) {
    return 0;
}

struct TPassThroughFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<std::shared_ptr<vdongle::TVirtualDongle>> dongles;
    std::vector<size_t> baseline;  // writes before the test's own input, per dongle
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;

    // Dongles to connect for the test (all 0451:16B4: reports with IDs on 0xF801).
    virtual int DongleCount() const { return 1; }

    void SetUp() override {
        ResetInputStateForTests();
        ResetForwardingStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        for (int i = 0; i < DongleCount(); ++i) {
            const std::string address = "C0:FF:EE:00:01:0" + std::to_string(i);
            QListWidgetItem* item = AddFoundAndConnect(
                *window, ble,
                vdongle::TDongleConfig::Standard("Corvastel-P" + std::to_string(i), address, "1.1.9",
                                                 vdongle::Identity0451_16B4),
                QString::fromStdString(address), &dongles.emplace_back());
            if (ItemImageIndex(item) == DeviceImageFound) {
                GTEST_SKIP() << "these tests start from connected dongles, and this build does not connect";
            }
            ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(item) == DeviceImageConnected; }, 5000));
        }
        Settle();
        for (const auto& d : dongles)
            baseline.push_back(d->Writes().size());
        window->show();
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
        ResetForwardingStateForTests();
    }

    void Settle() {
        ASSERT_TRUE(ble.WaitIdle());
        WaitFor([] { return false; }, 40);
        ASSERT_TRUE(ble.WaitIdle());
    }

    // The reports dongle i received since the test began, in order, read as ForwardingTestSupport does.
    TStrings Received(size_t i = 0) {
        Settle();
        TStrings out;
        const auto writes = dongles[i]->Writes();
        for (size_t n = baseline[i]; n < writes.size(); ++n) {
            if (writes[n].characteristic != vdongle::uuid::Reports)
                continue;
            out.push_back(Describe(THidReport::FromBytes(writes[n].bytes)));
        }
        return out;
    }
    void Rebase() {
        Settle();
        for (size_t i = 0; i < dongles.size(); ++i)
            baseline[i] = dongles[i]->Writes().size();
    }

    intptr_t Key(TScan scan, bool release) {
        const THookKeyboardRecord record{
            0, scan.Code, (scan.Extended ? LLKHF_EXTENDED : 0u) | (release ? LLKHF_UP : 0u), 0, 0};
        return hooks->Feed(WH_KEYBOARD_LL, release ? WM_KEYUP : WM_KEYDOWN, record);
    }
    std::vector<intptr_t> Play(const std::vector<TKeyStep>& steps) {
        std::vector<intptr_t> out;
        for (const TKeyStep& s : steps)
            out.push_back(Key(s.Scan, s.Release));
        return out;
    }
    intptr_t Mouse(uint32_t kind, int32_t x, int32_t y, uint32_t time, uint32_t data = 0) {
        const THookMouseRecord record{{x, y}, data, 0, time, 0};
        return hooks->Feed(WH_MOUSE_LL, kind, record);
    }
    void SwitchOn() {
        window->BtnHook->click();
        ASSERT_TRUE(window->FHook->Active());
    }
    bool ShowsOff() const {
        return window->BtnHook->text() == Utf8("键鼠直传(&T)") &&
               !window->BtnHook->toolTip().contains(Utf8("按住")) &&
               window->NoticeText(TNotice::KeypadHint).isEmpty() &&
               window->NoticeText(TNotice::NoDongle).isEmpty() && window->cbKeyboard->isEnabled() &&
               window->cbMouse->isEnabled() && window->Button1->isHidden() && window->Button2->isHidden() &&
               window->StatusBar1->PanelText(1).isEmpty() && window->lbKeyPrimary->text().isEmpty() &&
               window->lbKeySecond->text().isEmpty();
    }
};

const TStrings AllReleased{"K", "M b0 0,0 w0"};

struct TTwoDongles : TPassThroughFixture {
    int DongleCount() const override { return 2; }
};

}  // namespace

TEST_F(TPassThroughFixture, SwitchOn_KeyboardOnly_ControlsAndOnlyTheKeyboardHook) {
    SwitchOn();
    EXPECT_TRUE(hooks->Installed(WH_KEYBOARD_LL));
    EXPECT_FALSE(hooks->Installs.at(0).Watching) << "forwarded keys are swallowed from the first";
    EXPECT_FALSE(hooks->Installed(WH_MOUSE_LL)) << "the local mouse keeps working";
    EXPECT_EQ(window->BtnHook->text(), Utf8("CTRL-SHIFT-F12 退出"));
    // The described hint, then the same in English; wrapped to a readable width (rich text wraps).
    EXPECT_TRUE(window->BtnHook->toolTip().contains(
        Utf8("按住CTRL+SHIFT+小键盘模拟鼠标  按住CTRL+SHIFT暂停鼠标直传<br")))
        << window->BtnHook->toolTip().toStdString();
    EXPECT_TRUE(window->BtnHook->toolTip().contains("Hold Ctrl+Shift and use the numeric keypad as a mouse"));
    EXPECT_TRUE(Qt::mightBeRichText(window->BtnHook->toolTip()));
    EXPECT_FALSE(window->cbKeyboard->isEnabled());
    EXPECT_FALSE(window->cbMouse->isEnabled());
    EXPECT_FALSE(window->Button1->isHidden());
    EXPECT_FALSE(window->Button2->isHidden());
    EXPECT_EQ(window->StatusBar1->PanelText(1), Utf8("辅助快捷键："));
    EXPECT_TRUE(Received().empty());
}

TEST_F(TPassThroughFixture, SwitchOn_KeyboardCleared_HookAllTheSameNoShortcuts) {
    window->cbKeyboard->setChecked(false);
    window->cbMouse->setChecked(true);
    SwitchOn();
    EXPECT_TRUE(hooks->Installed(WH_KEYBOARD_LL));
    EXPECT_TRUE(hooks->Installed(WH_MOUSE_LL));
    ASSERT_EQ(hooks->Installs.size(), 2u);
    EXPECT_TRUE(hooks->Installs[0].Watching) << "the keyboard hook must take no key";
    EXPECT_FALSE(hooks->Installs[1].Watching);
    EXPECT_TRUE(window->Button1->isHidden());
    EXPECT_TRUE(window->StatusBar1->PanelText(1).isEmpty());
}

TEST_F(TTwoDongles, SwitchOff_EveryDongleGetsBothAllReleasedReportsAndTheWindowShowsOff) {
    window->cbMouse->setChecked(true);
    SwitchOn();
    Play({Down(ScanLShift), Down(ScanA)});
    Mouse(WM_LBUTTONDOWN, 5, 5, 1);
    window->BtnHook->click();
    EXPECT_FALSE(hooks->Installed(WH_KEYBOARD_LL));
    EXPECT_FALSE(hooks->Installed(WH_MOUSE_LL));
    EXPECT_TRUE(ShowsOff());
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(Received(i), (TStrings{"K m02", "K m02 4", "M b1 0,0 w0", "K", "M b0 0,0 w0"}));
        EXPECT_FALSE(dongles[i]->Target().AnyInputHeld());
    }
}

TEST_F(TPassThroughFixture, KeySequences_ReachTheTargetAsTheirReports) {
    struct TRow {
        const char* Name;
        bool Keyboard;
        std::vector<TKeyStep> Steps;
        TStrings Reports;
        std::vector<intptr_t> Results;
        bool StillOn;
    };
    const TRow rows[] = {
        {"HoldingAKey",
         true,
         {Down(ScanA), Down(ScanA), Down(ScanA), Up(ScanA)},
         {"K 4", "K"},
         {1, 1, 1, 1},
         true},
        {"ReleaseOfAnUnknownKey", true, {Up(ScanB)}, {}, {1}, true},
        {"RightShiftOnlyWithTheExtendedBit",
         true,
         {Down(ScanRShiftPlain), Up(ScanRShiftPlain), Down(ScanRShift), Up(ScanRShift)},
         {"K m20", "K"},
         {1, 1, 1, 1},
         true},
        {"ExitChord",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanF12)},
         {"K m01", "K m03", "K", "M b0 0,0 w0"},
         {1, 1, 1},
         false},
        {"ExitChordKeyboardCleared",
         false,
         {Down(ScanRCtrl), Down(ScanRShift), Down(ScanGrave)},
         AllReleased,
         {0, 0, 0},
         false},
        {"KeypadMouseUnderCtrlShift",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad6), Up(ScanPad6), Up(ScanLShift), Up(ScanLCtrl)},
         // Letting the keypad key go stops the motion: nothing moves, so no report carries it. The
         // target was told Ctrl and Shift are up: letting them go sends nothing (no lone Ctrl tap).
         {"K m01", "K m03", "K", "M b0 4,0 w0"},
         {1, 1, 1, 1, 1, 1},
         true},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        window->cbKeyboard->setChecked(row.Keyboard);
        SwitchOn();
        Rebase();
        EXPECT_EQ(Play(row.Steps), row.Results);
        // Key and button reports keep their order among themselves; merged motion may go out
        // behind keys that came after it, so each kind is compared on its own.
        const auto only = [](const TStrings& reports, char kind) {
            TStrings out;
            std::copy_if(reports.begin(), reports.end(), std::back_inserter(out),
                         [kind](const std::string& r) { return !r.empty() && r[0] == kind; });
            return out;
        };
        const TStrings received = Received();
        EXPECT_EQ(only(received, 'K'), only(row.Reports, 'K'));
        EXPECT_EQ(only(received, 'M'), only(row.Reports, 'M'));
        EXPECT_EQ(window->FHook->Active(), row.StillOn);
        EXPECT_EQ(hooks->Installed(WH_KEYBOARD_LL), row.StillOn);
        if (row.StillOn) {
            window->BtnHook->click();
        } else {
            EXPECT_TRUE(ShowsOff());
            EXPECT_THROW(Key(ScanA, true), std::logic_error)
                << "the following releases reach local applications";
        }
        ClearPressedKeys();
    }
}

TEST_F(TPassThroughFixture, KeyDisplay_TextsAndFontSizes) {
    SwitchOn();
    const auto primary = [&] { return window->lbKeyPrimary->text().toStdString(); };
    const auto second = [&] { return window->lbKeySecond->text().toStdString(); };
    // The size the rules give, unless the text would not fit the label at that size: then the
    // largest size at which it does.
    const auto sized = [](QLabel* label, int px) -> ::testing::AssertionResult {
        const int got = label->font().pixelSize();
        QFont larger = label->font();
        larger.setPixelSize(got + 1);
        const bool fitsLarger =
            QFontMetrics(larger).horizontalAdvance(label->text()) <= label->contentsRect().width();
        if (got == px || (got < px && !fitsLarger))
            return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << label->text().toStdString() << " at " << got << " px, want " << px;
    };
    const auto primaryPx = [&](int px) { return sized(window->lbKeyPrimary, px); };
    const auto secondPx = [&](int px) { return sized(window->lbKeySecond, px); };

    Key(ScanF12, false);
    EXPECT_EQ(primary(), "F12");
    EXPECT_TRUE(primaryPx(85));  // 64 pt
    Key(ScanPadEnter, false);
    EXPECT_EQ(primary(), "Pad Enter");
    EXPECT_TRUE(primaryPx(53));  // 40 pt
    Key(ScanPadEnter, true);
    EXPECT_EQ(primary(), "F12") << "the most recent key still held";
    Key(ScanF12, true);
    EXPECT_EQ(primary(), "");
    EXPECT_EQ(second(), "");
    Key(ScanEsc, false);
    EXPECT_EQ(primary(), "Esc ");
    EXPECT_TRUE(primaryPx(53));
    Key(ScanEsc, true);
    Key({0x08, false}, false);  // 7
    EXPECT_EQ(primary(), "7");
    EXPECT_EQ(second(), "&") << "shown as typed, not as an accelerator mark";
    Key({0x08, false}, true);

    Play({Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad8)});
    EXPECT_EQ(primary(), "↑");
    EXPECT_TRUE(primaryPx(85));
    EXPECT_EQ(second(), "Mouse");
    EXPECT_TRUE(secondPx(37));  // 28 pt
    Play({Up(ScanPad8), Down(ScanPad5)});
    EXPECT_EQ(primary(), "3");
    EXPECT_EQ(second(), "STEP");
    Play({Up(ScanPad5), Up(ScanLShift), Up(ScanLCtrl), Down(ScanA)});
    EXPECT_TRUE(secondPx(37)) << "a size stays until the next writer sets it";
}

TEST_F(TPassThroughFixture, Shortcuts_SendTheirExactSequencesWithTheHooksOffWhileHeld) {
    SwitchOn();
    QTest::mousePress(window->Button1, Qt::LeftButton);
    EXPECT_FALSE(hooks->Installed(WH_KEYBOARD_LL)) << "local input is free while the button is held";
    EXPECT_EQ(window->lbKeyPrimary->text(), "Ctrl+Alt+Del");
    // 32 pt, or just small enough for the label where the face is wider: never cut off.
    EXPECT_LE(window->lbKeyPrimary->font().pixelSize(), 43);
    EXPECT_GE(window->lbKeyPrimary->font().pixelSize(), 30);
    EXPECT_LE(window->lbKeyPrimary->fontMetrics().horizontalAdvance("Ctrl+Alt+Del"),
              window->lbKeyPrimary->contentsRect().width());
    EXPECT_EQ(Received(), (TStrings{"K m01", "K m05", "K m05 76", "K"}));
    QTest::mouseRelease(window->Button1, Qt::LeftButton);
    EXPECT_TRUE(hooks->Installed(WH_KEYBOARD_LL));
    EXPECT_EQ(window->lbKeyPrimary->text(), "");

    Rebase();
    Play({Down(ScanLCtrl), Down(ScanLShift)});
    QTest::mousePress(window->Button2, Qt::LeftButton);
    EXPECT_EQ(window->lbKeyPrimary->text(), "Win+L");
    QTest::mouseRelease(window->Button2, Qt::LeftButton);
    EXPECT_EQ(Received(), (TStrings{"K m01", "K m03", "K m0B", "K m0B 15", "K"}));
    EXPECT_FALSE(dongles[0]->Target().AnyKeyHeld());
    // Ctrl and Shift were let go while the hooks were off: the keypad is a keypad again.
    EXPECT_FALSE(CtrlShiftHeld);
    Rebase();
    Play({Down(ScanPad8), Up(ScanPad8)});
    EXPECT_EQ(Received(), (TStrings{"K 96", "K"}));
}

TEST_F(TPassThroughFixture, Shortcuts_WhileOff_DoNothing) {
    window->Button1->show();
    QTest::mousePress(window->Button1, Qt::LeftButton);
    QTest::mouseRelease(window->Button1, Qt::LeftButton);
    EXPECT_TRUE(Received().empty());
    EXPECT_TRUE(hooks->Installs.empty());
}

TEST_F(TTwoDongles, Mouse_EveryDongleGetsTheSameMotionMeasuredFromTheHeldPointer) {
    window->cbMouse->setChecked(true);
    hooks->Pointer = {640, 400};
    SwitchOn();
    // Small moves in alternating directions, each reported as the held position plus its motion.
    const int dx[] = {2, -2, 3, -3, 1, -1, 4};
    uint32_t time = 1000;
    int64_t total = 0;
    for (int d : dx) {
        EXPECT_EQ(Mouse(WM_MOUSEMOVE, 640 + d, 400 - d, time += 8), 1);
        total += d;
    }
    // How many reports carry it depends on how busy each link was (motion merges meanwhile); the
    // motion itself is the same for every dongle and exact.
    for (size_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(Received(i).empty());
        EXPECT_EQ(dongles[i]->Target().pointerX, total);
        EXPECT_EQ(dongles[i]->Target().pointerY, -total);
    }
    Rebase();
    Mouse(WM_MOUSEWHEEL, 640, 400, 2000, 120u << 16);
    Mouse(WM_MOUSEWHEEL, 640, 400, 2000, 120u << 16);
    Mouse(WM_MOUSEWHEEL, 640, 400, 2016, 120u << 16);
    Settle();
    for (size_t i = 0; i < 2; ++i)
        EXPECT_EQ(dongles[i]->Target().wheel, 3) << i;
}

TEST_F(TPassThroughFixture, MouseHookRefused_KeyboardHookRemovedBeforeTheError) {
    window->cbMouse->setChecked(true);
    // Another mouse hook in place makes the fake refuse the window's.
    ASSERT_NE(hooks->InstallHook(WH_MOUSE_LL, THookEntryPoint{&NoHook, nullptr}, 0), nullptr);
    window->BtnHook->click();
    EXPECT_FALSE(window->FHook->Active());
    EXPECT_FALSE(hooks->Installed(WH_KEYBOARD_LL)) << "no key is captured while the window shows Off";
    EXPECT_TRUE(ShowsOff());
    ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }));
    EXPECT_TRUE(
        errors[0].startsWith("Pass-through cannot start: this computer's mouse cannot be captured.\n"))
        << errors[0].toStdString();
    EXPECT_FALSE(errors[0].contains("Hook")) << "the hook's class name says nothing to a user";
}

TEST_F(TPassThroughFixture, ShortcutHookNotReinstalled_LeavesWithEverythingReleased) {
    window->cbMouse->setChecked(true);
    SwitchOn();
    Mouse(WM_LBUTTONDOWN, 1, 1, 1);
    QTest::mousePress(window->Button2, Qt::LeftButton);
    hooks->FailInstalls = true;
    QTest::mouseRelease(window->Button2, Qt::LeftButton);
    EXPECT_FALSE(hooks->Installed(WH_KEYBOARD_LL));
    EXPECT_FALSE(hooks->Installed(WH_MOUSE_LL));
    EXPECT_TRUE(ShowsOff());
    const TStrings received = Received();
    ASSERT_GE(received.size(), 2u);
    EXPECT_EQ(TStrings(received.end() - 2, received.end()), AllReleased);
    EXPECT_FALSE(dongles[0]->Target().AnyInputHeld());
    EXPECT_TRUE(WaitFor([&] { return !errors.empty(); }));
}

TEST_F(TPassThroughFixture, CloseDuringPassThrough_ReleasesEverythingOnTheTarget) {
    SwitchOn();
    Play({Down(ScanLCtrl), Down(ScanA)});
    window->close();
    EXPECT_EQ(Received(), (TStrings{"K m01", "K m01 4", "K", "M b0 0,0 w0"}));
    EXPECT_FALSE(dongles[0]->Target().AnyKeyHeld());
}

TEST_F(TPassThroughFixture, AltKeys_ActOnlyByTheWindowsRules) {
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    // Off: Alt+T switches on, once (a second action would switch off again).
    QTest::keyClick(window->BtnScan, Qt::Key_T, Qt::AltModifier);
    QTest::qWait(250);
    EXPECT_TRUE(window->FHook->Active());
    window->BtnHook->click();

    // On with the keyboard box cleared, keys reach the window: Alt+T and Alt+M do nothing.
    window->cbKeyboard->setChecked(false);
    SwitchOn();
    QTest::keyClick(window->BtnScan, Qt::Key_T, Qt::AltModifier);
    QTest::qWait(250);
    EXPECT_TRUE(window->FHook->Active()) << "Alt+T never switches pass-through off";
    QTest::keyClick(window->BtnScan, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(250);
    EXPECT_FALSE(window->cbMouse->isChecked()) << "the mouse choice is fixed while pass-through is on";
    EXPECT_EQ(window->BtnHook->text(), Utf8("CTRL-SHIFT-F12 退出"));
}
