// The main window right after start, its close handling and its key routing.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QFontDatabase>
#include <QGroupBox>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "QtTestEnvironment.h"
#include "TestBleManager.h"
#include "app/CorvastelApplication.h"
#include "app/UnitMain.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {
struct TWindowFixture : testing::Test {
    TTestBleManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window = std::make_unique<TFormCorvastelPc>(ble, hooks);
};

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

// One row per control: where it sits, what it shows and how it starts.
struct TControlRow {
    const char* Name;
    std::function<QWidget*(TFormCorvastelPc&)> Control;
    std::function<QWidget*(TFormCorvastelPc&)> Parent;
    QRect Bounds;
    bool AutoSize;  // grows with its text: only the top-left corner is fixed
    bool Visible;
    bool Enabled;
    std::optional<QString> Text;
};

QString TextOf(QWidget* w) {
    if (auto* b = qobject_cast<QAbstractButton*>(w))
        return b->text();
    if (auto* l = qobject_cast<QLabel*>(w))
        return l->text();
    if (auto* g = qobject_cast<QGroupBox*>(w))
        return g->title();
    if (auto* m = qobject_cast<QPlainTextEdit*>(w))
        return m->toPlainText();
    return {};
}

#define CONTROL(field) [](TFormCorvastelPc& f) -> QWidget* { return f.field; }
const auto Window = [](TFormCorvastelPc& f) -> QWidget* { return &f; };

const std::vector<TControlRow>& StartTable() {
    static const std::vector<TControlRow> rows = {
        {"BtnScan", CONTROL(BtnScan), Window, {8, 16, 105, 32}, false, true, true, Utf8("搜索设备(&S)")},
        {"BtnConnect", CONTROL(BtnConnect), Window, {210, 16, 105, 32}, false, true, false, Utf8("连接(&C)")},
        {"DeviceListView", CONTROL(DeviceListView), Window, {8, 62, 307, 224}, false, true, true, {}},
        {"gbDeviceInfo", CONTROL(gbDeviceInfo), Window, {8, 296, 307, 73}, false, true, true, "Information"},
        {"Label1", CONTROL(Label1), CONTROL(gbDeviceInfo), {18, 24, 32, 15}, true, true, true, "Name"},
        {"Label2", CONTROL(Label2), CONTROL(gbDeviceInfo), {18, 48, 56, 15}, true, true, true, "MAC Addr"},
        {"lbName", CONTROL(lbName), CONTROL(gbDeviceInfo), {79, 24, 51, 15}, true, true, true, "--------"},
        {"lbMacAddress",
         CONTROL(lbMacAddress),
         CONTROL(gbDeviceInfo),
         {80, 48, 93, 15},
         true,
         true,
         true,
         "--------"},
        {"BtnRename",
         CONTROL(BtnRename),
         CONTROL(gbDeviceInfo),
         {207, 20, 91, 25},
         false,
         true,
         false,
         Utf8("设置昵称")},
        {"cbKeyboard", CONTROL(cbKeyboard), Window, {336, 12, 91, 17}, false, true, true, Utf8("键盘(&K)")},
        {"cbMouse", CONTROL(cbMouse), Window, {336, 36, 91, 17}, false, true, true, Utf8("鼠标(&M)")},
        {"BtnHook", CONTROL(BtnHook), Window, {472, 16, 162, 32}, false, true, true, Utf8("键鼠直传(&T)")},
        {"Memo1", CONTROL(Memo1), Window, {327, 62, 307, 307}, false, true, false, ""},
        {"Memo2", CONTROL(Memo2), Window, {8, 184, 307, 106}, false, false, true, ""},
        {"Panel1", CONTROL(Panel1), Window, {336, 72, 290, 184}, false, true, true, {}},
        {"lbKeyPrimary", CONTROL(lbKeyPrimary), CONTROL(Panel1), {0, 88, 285, 137}, false, true, true, ""},
        {"lbKeySecond", CONTROL(lbKeySecond), CONTROL(Panel1), {32, 24, 249, 121}, false, true, true, ""},
        {"StatusBar1", CONTROL(StatusBar1), Window, {0, 369, 642, 32}, false, true, true, {}},
        {"ProgressBar1", CONTROL(ProgressBar1), Window, {8, 288, 307, 6}, false, false, true, {}},
        {"Button1", CONTROL(Button1), Window, {432, 376, 92, 19}, false, false, true, "Ctrl+Alt+Del"},
        {"Button2", CONTROL(Button2), Window, {542, 376, 92, 19}, false, false, true, "Win+L"},
        {"PanelCorvInfo", CONTROL(PanelCorvInfo), Window, {329, 308, 303, 59}, false, false, true, {}},
        {"Label5", CONTROL(Label5), CONTROL(PanelCorvInfo), {16, 8, 49, 15}, true, true, true, "Firmware"},
        {"Label6", CONTROL(Label6), CONTROL(PanelCorvInfo), {16, 32, 16, 15}, true, true, true, "Ver"},
        {"lbFirmware", CONTROL(lbFirmware), CONTROL(PanelCorvInfo), {78, 8, 24, 15}, true, true, true, ""},
        {"lbVer", CONTROL(lbVer), CONTROL(PanelCorvInfo), {77, 32, 12, 15}, true, true, true, ""},
    };
    return rows;
}
#undef CONTROL
}  // namespace

TEST_F(TWindowFixture, Start_EveryControl_HasItsPlaceCaptionAndState) {
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    for (const TControlRow& row : StartTable()) {
        SCOPED_TRACE(row.Name);
        QWidget* control = row.Control(*window);
        ASSERT_NE(control, nullptr);
        EXPECT_EQ(control->parentWidget(), row.Parent(*window));
        if (row.AutoSize) {
            EXPECT_EQ(control->pos(), row.Bounds.topLeft());
        } else {
            EXPECT_EQ(control->geometry(), row.Bounds);
        }
        EXPECT_EQ(!control->isHidden(), row.Visible);
        EXPECT_EQ(control->isEnabled(), row.Enabled);
        if (row.Text) {
            EXPECT_EQ(TextOf(control), *row.Text);
        }
    }
}

TEST_F(TWindowFixture, Start_WindowListsTimerAndHooks_AreIdle) {
    EXPECT_EQ(window->windowTitle(), Utf8("Corvastel® 仿真键鼠"));
    EXPECT_EQ(window->objectName(), "TFormCorvastelPc");
    EXPECT_EQ(window->minimumSize(), QSize(642, 401));
    EXPECT_EQ(window->maximumSize(), QSize(642, 401));
    const QList<QSize> iconSizes = window->windowIcon().availableSizes();
    for (int edge : {256, 128, 64}) {
        EXPECT_TRUE(iconSizes.contains(QSize(edge, edge))) << edge;
    }

    EXPECT_TRUE(window->cbKeyboard->isChecked());
    EXPECT_FALSE(window->cbMouse->isChecked());
    EXPECT_EQ(window->DeviceListView->count(), 0);
    EXPECT_EQ(window->DeviceListView->viewMode(), QListView::IconMode);
    EXPECT_EQ(window->DeviceListView->selectionMode(), QAbstractItemView::SingleSelection);
    EXPECT_EQ(window->DeviceListView->iconSize(), QSize(32, 32));
    EXPECT_EQ(window->ProgressBar1->minimum(), 0);
    EXPECT_EQ(window->ProgressBar1->maximum(), 100);
    EXPECT_EQ(window->ProgressBar1->value(), 0);
    EXPECT_FALSE(window->Timer1->isActive());
    EXPECT_EQ(window->Timer1->interval(), 1000);
    ASSERT_EQ(window->StatusBar1->PanelCount(), 2);
    EXPECT_EQ(window->StatusBar1->PanelText(1), "");
    EXPECT_FALSE(window->BtnHook->toolTip().contains(QString::fromUtf8("按住")))
        << "the pass-through hint waits";

    ASSERT_EQ(window->ImageList1.Count(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FALSE(window->ImageList1.Icon(i).pixmap(32, 32).isNull()) << i;
    }

    EXPECT_FALSE(window->Scanning);
    EXPECT_EQ(window->FoundDeviceCount, 0);
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(window->SelectedDevice, -1);
    ASSERT_NE(window->FHook, nullptr);
    ASSERT_NE(window->FHookMouse, nullptr);
    EXPECT_FALSE(window->FHook->Active());
    EXPECT_FALSE(window->FHookMouse->Active());
    EXPECT_TRUE(hooks->Installs.empty()) << "nothing is captured before pass-through is switched on";
}

TEST(MainWindow, Start_EmptiesTheHeldKeyTable) {
    TTestBleManager ble;
    AddPressedKey(4);
    AddPressedKey(225);
    TFormCorvastelPc window(ble, std::make_shared<TFakeHookPlatform>());
    EXPECT_TRUE(GetPressedKeys().empty());
}

TEST_F(TWindowFixture, Start_CaptionTables_MatchTheirStates) {
    EXPECT_EQ(Utf8(ScanCaptions[false]), Utf8("搜索设备(&S)"));
    EXPECT_EQ(Utf8(ScanCaptions[true]), Utf8("停止搜索(&S)"));
    EXPECT_EQ(Utf8(ConnectCaptions[false]), Utf8("连接(&C)"));
    EXPECT_EQ(Utf8(ConnectCaptions[true]), Utf8("断开连接(&C)"));
    EXPECT_EQ(Utf8(HookCaptions[false]), Utf8("键鼠直传(&T)"));
    EXPECT_EQ(Utf8(HookCaptions[true]), Utf8("CTRL-SHIFT-F12 退出"));
}

TEST_F(TWindowFixture, Start_Fonts_CarryChineseAndTheKeyDisplay) {
    // Some family of the window font must draw Chinese, or every caption shows as boxes.
    bool chinese = false;
    for (const QString& family : window->font().families()) {
        chinese = chinese || QFontDatabase::writingSystems(family).contains(QFontDatabase::SimplifiedChinese);
    }
    EXPECT_TRUE(chinese) << "no Chinese font installed (fonts-wqy-microhei)";
    EXPECT_EQ(window->font().pointSize(), 9);

    const QFont primary = window->lbKeyPrimary->font();
    EXPECT_EQ(primary.family(), "Microsoft PhagsPa");
    EXPECT_TRUE(primary.bold());
    EXPECT_EQ(primary.pixelSize(), 85);
    EXPECT_EQ(window->lbKeySecond->font().pixelSize(), 56);
    // Whatever the machine has, the display draws with a real font.
    EXPECT_TRUE(QFontInfo(primary).exactMatch() || !QFontInfo(primary).family().isEmpty());
}

TEST_F(TWindowFixture, Start_TabOrder_FollowsTheLayout) {
    const std::vector<QWidget*> expected = {window->BtnScan,   window->BtnConnect, window->DeviceListView,
                                            window->BtnRename, window->cbKeyboard, window->cbMouse,
                                            window->BtnHook,   window->Memo1,      window->Memo2,
                                            window->Button1,   window->Button2};
    // Walk the focus chain once round and keep the controls that take focus with Tab.
    std::vector<QWidget*> seen;
    QWidget* w = window->BtnScan;
    do {
        if (std::find(expected.begin(), expected.end(), w) != expected.end()) {
            seen.push_back(w);
        }
        w = w->nextInFocusChain();
    } while (w != window->BtnScan && seen.size() < 100);
    EXPECT_EQ(seen, expected);
}

TEST_F(TWindowFixture, Close_DuringScanWithPassThrough_HooksOffThenScanEndsThenEventsStop) {
    window->show();
    window->FHook->SetActive(true);
    window->FHookMouse->SetActive(true);
    ASSERT_EQ(hooks->Installs.size(), 2u);
    const THookHandle keyboard = hooks->Installs[0].Handle;
    const THookHandle mouse = hooks->Installs[1].Handle;
    window->Scanning = true;
    window->Timer1->start();

    std::vector<THookHandle> removedAtCancel;
    bool queueOpenAtCancel = false;
    ble.OnCancel = [&] {
        removedAtCancel = hooks->Removes;
        queueOpenAtCancel = !window->UiQueue()->Closed();
    };

    EXPECT_TRUE(window->close());

    EXPECT_EQ(ble.Cancels, 1);
    EXPECT_EQ(removedAtCancel, (std::vector<THookHandle>{keyboard, mouse})) << "keyboard first, then mouse";
    EXPECT_TRUE(queueOpenAtCancel) << "the end of the scan is handled while the window is still whole";
    EXPECT_FALSE(window->Timer1->isActive());
    EXPECT_FALSE(window->FHook->Active());
    EXPECT_FALSE(window->FHookMouse->Active());
    EXPECT_TRUE(window->UiQueue()->Closed()) << "no device or discovery event reaches the window any more";
}

TEST_F(TWindowFixture, Close_WhenIdle_CancelsNothing) {
    window->show();
    EXPECT_TRUE(window->close());
    EXPECT_EQ(ble.Cancels, 0);
    EXPECT_TRUE(hooks->Removes.empty());
}

TEST_F(TWindowFixture, Destroy_LateStackEventsFromOtherThreads_AreDropped) {
    window->FHook->SetActive(true);
    const std::shared_ptr<TUiQueue> queue = window->UiQueue();
    window.reset();  // destroyed without a close: the same clean-up runs
    EXPECT_EQ(hooks->Removes.size(), 1u);
    EXPECT_TRUE(queue->Closed()) << "the queue the stack's handlers post to is closed with the window";
    // The stack still holds the handlers: they hold the queue, not the window.
    EXPECT_GT(queue.use_count(), 1);
    // A late end of scan must not touch the dead window: it reaches the closed queue, which runs
    // nothing, neither it nor work posted behind it.
    std::thread late([this] { ble.RaiseEnd(); });
    late.join();
    bool ran = false;
    queue->Post([&ran] { ran = true; });
    QCoreApplication::processEvents();
    EXPECT_FALSE(ran);
}

TEST_F(TWindowFixture, BringToFront_OnlyAVisibleWindowComesForward) {
    window->BringToFront();
    EXPECT_FALSE(window->isVisible()) << "a hidden window stays hidden";

    window->show();
    QWidget other;
    other.show();
    other.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&other));
    window->BringToFront();
    EXPECT_TRUE(QTest::qWaitForWindowActive(window.get()));
}

TEST_F(TWindowFixture, KeyDown_AltM_TogglesMouseChoiceOnce) {
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    // Alt+M is both the window's key and the check box's accelerator: it must act once, not twice.
    // (An accelerator clicks its control a moment later, hence the waits.)
    QTest::keyClick(window->BtnScan, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(250);
    EXPECT_TRUE(window->cbMouse->isChecked());
    QTest::keyClick(window->BtnScan, Qt::Key_M, Qt::AltModifier);
    QTest::qWait(250);
    EXPECT_FALSE(window->cbMouse->isChecked());
    // Alt+K is only the check box's accelerator, which still works.
    QTest::keyClick(window->BtnScan, Qt::Key_K, Qt::AltModifier);
    EXPECT_TRUE(WaitFor([&] { return !window->cbKeyboard->isChecked(); }, 1000));
}

TEST_F(TWindowFixture, KeyDown_Table_ActsOnlyWithAltAndItsCondition) {
    struct TRow {
        uint16_t Key;
        TShiftState Shift;
        bool HookActive;
        bool ConnectEnabled;
        bool Taken;
    };
    const TRow rows[] = {
        {'S', ssAlt, false, false, true},          {'S', ssCtrl, false, false, false},
        {'C', ssAlt, false, false, false},         {'C', ssAlt | ssShift, false, true, true},
        {'T', ssAlt, false, false, true},          {'T', ssAlt, true, false, false},
        {'M', ssAlt | ssCtrl, false, false, true}, {'M', ssAlt, true, false, false},
        {'X', ssAlt, false, true, false},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(1, static_cast<char>(row.Key)) + " shift " + std::to_string(row.Shift) +
                     (row.HookActive ? " hook on" : " hook off"));
        window->FHook->SetActive(row.HookActive);
        window->BtnConnect->setEnabled(row.ConnectEnabled);
        const bool mouseBefore = window->cbMouse->isChecked();
        uint16_t key = row.Key;
        window->FormKeyDown(window.get(), key, row.Shift);
        EXPECT_EQ(key, row.Taken ? 0 : row.Key);
        EXPECT_EQ(window->cbMouse->isChecked() != mouseBefore, row.Taken && row.Key == 'M');
    }
}

// While a box or dialog of the window waits for an answer, only the window waits with it. The tray
// icon is a window of its own on X11 (its menu opens from a click on it): a box modal to the whole
// application would leave it dead, with neither its menu nor a way to bring the question forward.
TEST_F(TWindowFixture, ABoxOrDialogOpen_BlocksTheWindowOnly_AnotherWindowStillTakesClicks) {
    window->show();
    QWidget trayStandIn;  // a top-level window of the program outside the main window
    int pressed = 0;
    struct TCounter : QObject {
        int& Count;
        explicit TCounter(int& count) : Count(count) {}
        bool eventFilter(QObject*, QEvent* event) override {
            Count += event->type() == QEvent::MouseButtonPress ? 1 : 0;
            return false;
        }
    } counter(pressed);
    trayStandIn.installEventFilter(&counter);
    trayStandIn.resize(24, 24);
    trayStandIn.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&trayStandIn));

    struct TCase {
        const char* Name;
        std::function<void()> Open;
    };
    const TCase cases[] = {
        {"a message box", [] { ShowMessage(QStringLiteral("A question")); }},
        {"the settings dialog", [this] { window->ChooseSettings(); }},
        {"the nickname prompt",
         [this] {
             QString text;
             InputQueryDialog(window.get(), QStringLiteral("Nickname"), QStringLiteral("Nickname:"), text);
         }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        pressed = 0;
        bool checked = false;
        QTimer::singleShot(0, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            EXPECT_NE(modal, nullptr);
            // Through the window system, where Qt holds back input to windows a modal one blocks.
            QTest::mouseClick(trayStandIn.windowHandle(), Qt::LeftButton, {}, QPoint(5, 5));
            EXPECT_EQ(pressed, 1) << "the other window is locked too";
            checked = true;
            if (modal != nullptr) {
                modal->close();
            }
        });
        c.Open();
        EXPECT_TRUE(checked);
    }
}
