// Where input goes, through the real window: three virtual dongles connected through the fake
// central, route keys played into the fake hook backend, the route read back from the list, the
// notice line and the bytes each dongle received.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QMenu>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "ConnectedWindow.h"
#include "ForwardingTestSupport.h"
#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/RouteSettings.h"
#include "app/TargetState.h"
#include "app/TrayIcon.h"
#include "app/UnitMain.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

using namespace fwdtest;
using TStrings = std::vector<std::string>;

namespace {

const TStrings AllReleased{"K", "M b0 0,0 w0"};
TStrings operator+(TStrings a, const TStrings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct TRouteWindow : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<std::shared_ptr<vdongle::TVirtualDongle>> dongles;
    std::vector<size_t> baseline;
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;
    uint32_t clock = 1000;

    void SetUp() override {
        ResetInputStateForTests();
        ResetForwardingStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        for (int i = 0; i < 3; ++i) {
            const std::string address = "C0:FF:EE:00:02:0" + std::to_string(i);
            QListWidgetItem* item = AddFoundAndConnect(
                *window, ble,
                vdongle::TDongleConfig::Standard("Corvastel-R" + std::to_string(i), address, "1.1.9",
                                                 vdongle::Identity0451_16B4),
                Caption(i), &dongles.emplace_back());
            if (ItemImageIndex(item) == DeviceImageFound) {
                GTEST_SKIP() << "connecting is not part of this build";
            }
            ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(item) == DeviceImageConnected; }, 5000));
        }
        Rebase();
        window->show();
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
        ResetForwardingStateForTests();
        EXPECT_TRUE(errors.empty()) << errors.front().toStdString();
    }

    static QString Caption(int i) { return QStringLiteral("Desk %1").arg(i); }

    void Settle() {
        ASSERT_TRUE(ble.WaitIdle());
        WaitFor([] { return false; }, 40);
        ASSERT_TRUE(ble.WaitIdle());
    }
    void Rebase() {
        Settle();
        baseline.clear();
        for (const auto& d : dongles)
            baseline.push_back(d->Writes().size());
    }
    TStrings Received(size_t i) {
        Settle();
        TStrings out;
        const auto writes = dongles[i]->Writes();
        for (size_t n = baseline[i]; n < writes.size(); ++n) {
            if (writes[n].characteristic == vdongle::uuid::Reports)
                out.push_back(Describe(THidReport::FromBytes(writes[n].bytes)));
        }
        return out;
    }

    // A key event `ms` after the previous one, on the hooks' clock.
    intptr_t Key(TScan scan, bool release, uint32_t ms = 50) {
        clock += ms;
        const THookKeyboardRecord record{
            0, scan.Code, (scan.Extended ? LLKHF_EXTENDED : 0u) | (release ? LLKHF_UP : 0u), clock, 0};
        return hooks->Feed(WH_KEYBOARD_LL, release ? WM_KEYUP : WM_KEYDOWN, record);
    }
    void Tap(TScan scan) {
        Key(scan, false);
        Key(scan, true);
    }
    void RouteKeys(TScan digit, TScan leader = ScanScrollLock) {
        Tap(leader);
        Tap(leader);
        Tap(digit);
    }
    void SwitchOn() {
        window->BtnHook->click();
        ASSERT_TRUE(window->FHook->Active());
    }

    // Which list items are marked as receiving input.
    std::vector<bool> Marks() const {
        std::vector<bool> out;
        for (int k = 0; k < window->DeviceListView->count(); ++k)
            out.push_back(TFormCorvastelPc::RouteMarked(window->DeviceListView->item(k)));
        return out;
    }
    QString Notice() const { return window->NoticeText(TNotice::Route); }

    // The context menu's entries on item k (-1: beside the items).
    std::vector<QAction*> MenuOn(QMenu& menu, int k) {
        window->FillDeviceMenu(menu, k >= 0 ? window->DeviceListView->item(k) : nullptr);
        std::vector<QAction*> out;
        for (QAction* a : menu.actions())
            out.push_back(a);
        return out;
    }
    QAction* Entry(QMenu& menu, int k, const char* text) {
        for (QAction* a : MenuOn(menu, k))
            if (a->text() == QString::fromUtf8(text))
                return a;
        return nullptr;
    }
};

}  // namespace

TEST_F(TRouteWindow, RouteKeys_MarkTheDongleNameItAndOnlyItHearsTheKeyboard) {
    EXPECT_EQ(Notice(), QStringLiteral("→ all"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
    SwitchOn();
    Key(ScanLShift, false);
    RouteKeys(Scan2);
    EXPECT_EQ(Notice(), QStringLiteral("→ Desk 1"));
    EXPECT_TRUE(window->StatusBar1->PanelText(0).startsWith(QStringLiteral("→ Desk 1")));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false}));
    Tap(ScanA);
    Key(ScanLShift, true);

    const TStrings scrolls{"K m02", "K m02 71", "K m02", "K m02 71", "K m02"};
    EXPECT_EQ(Received(0), scrolls + AllReleased);
    EXPECT_EQ(Received(1), (scrolls + TStrings{"K m02 4", "K m02", "K"}));
    EXPECT_EQ(Received(2), scrolls + AllReleased);
    for (const auto& d : dongles)
        EXPECT_FALSE(d->Target().AnyInputHeld());

    // The large lock lights are the routed dongle's.
    ASSERT_TRUE(dongles[1]->NotifyLedStatus(LedCapsLock));
    ASSERT_TRUE(dongles[2]->NotifyLedStatus(LedNumLock));
    EXPECT_TRUE(WaitFor([&] { return window->LockLights->Leds() == LedCapsLock; }));
    EXPECT_TRUE(window->LockLights->isVisibleTo(window.get()));

    // Back to all: every list item plain again, every dongle hears the next key; three targets
    // have no one set of lights.
    RouteKeys(Scan0);
    EXPECT_EQ(Notice(), QStringLiteral("→ all"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
    EXPECT_TRUE(WaitFor([&] { return !window->LockLights->isVisibleTo(window.get()); }));
    Rebase();
    Tap(ScanB);
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Received(i), (TStrings{"K 5", "K"})) << i;
}

TEST_F(TRouteWindow, RouteKeysForAMissingDongle_RouteStaysAndTheNoticeSaysWhy) {
    SwitchOn();
    RouteKeys(Scan4);
    EXPECT_EQ(Notice(), QStringLiteral("→ all (no dongle has the number 4: the 4 was typed as a key)"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
    const TStrings scrolls{"K 71", "K", "K 71", "K"};
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Received(i), (scrolls + TStrings{"K 33", "K"})) << "the 4 reaches every dongle as typed";
    Rebase();
    // The Scroll Lock presses above toggle the targets' locks when they arrive: let them arrive first.
    Settle();
    ASSERT_TRUE(dongles[2]->NotifyLedStatus(LedNumLock));
    // The targets answer Scroll Lock with their lights; those answers and the lights' own refresh
    // are over before the digit, so the lights then change only because the route did.
    Tap(ScanScrollLock);
    Tap(ScanScrollLock);
    Settle();
    window->LinkTimer->stop();
    Tap(Scan3);
    EXPECT_EQ(Notice(), QStringLiteral("→ Desk 2"));
    EXPECT_TRUE(WaitFor([&] { return window->LockLights->Leds() == LedNumLock; }))
        << "lights " << int(window->LockLights->Leds()) << " led2 " << int(dongles[2]->Target().ledStatus);
}

TEST_F(TRouteWindow, ContextMenu_HereOnlyAndToAll_WithPassThroughOff) {
    QMenu first;
    ASSERT_NE(Entry(first, 0, "Send input here only"), nullptr);
    EXPECT_EQ(Entry(first, 0, "Send input to all"), nullptr) << "input goes to all already";
    Entry(first, 0, "Send input here only")->trigger();
    EXPECT_EQ(Marks(), (std::vector<bool>{true, false, false}));
    EXPECT_EQ(Notice(), QStringLiteral("→ Desk 0"));
    EXPECT_EQ(Received(1), AllReleased);
    EXPECT_EQ(Received(2), AllReleased);
    EXPECT_TRUE(Received(0).empty());

    QMenu onRouted;
    EXPECT_EQ(Entry(onRouted, 0, "Send input here only"), nullptr) << "it is the routed one";
    QMenu beside;
    ASSERT_NE(Entry(beside, -1, "Send input to all"), nullptr);
    Entry(beside, -1, "Send input to all")->trigger();
    EXPECT_EQ(Notice(), QStringLiteral("→ all"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
}

TEST_F(TRouteWindow, RoutedDongleDrops_InputIsHeldForItUntilItIsBack_NeverSentToTheOthers) {
    TReconnectPolicy::TTime now = TReconnectPolicy::TClock::now();
    window->ReconnectClock = [&now] { return now; };
    SwitchOn();
    RouteKeys(Scan2);
    dongles[1]->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 2; }));
    const QString held =
        QStringLiteral("Input held for Desk 1 \u2014 reconnecting; Scroll Lock twice + 0 sends to all");
    EXPECT_EQ(Notice(), held);
    EXPECT_EQ(window->NoticeText(TNotice::LinkLost), QString()) << "the held route says it all";
    EXPECT_EQ(window->NoticeText(TNotice::NoDongle), QString());
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false})) << "the route still names it";
    Rebase();
    Tap(ScanA);
    EXPECT_EQ(Received(0), TStrings{});
    EXPECT_EQ(Received(2), TStrings{});

    // Its own menu entry is gone with its connection; "to all" is the way out.
    QMenu menu;
    EXPECT_EQ(Entry(menu, 1, "Send input here only"), nullptr);
    QMenu other;
    EXPECT_NE(Entry(other, 1, "Send input to all"), nullptr);

    // Back by itself: released first, then it hears the keyboard again, and only it does.
    now += std::chrono::seconds(2);
    window->ReconnectDue();
    ASSERT_TRUE(WaitFor([&] { return Notice() == QStringLiteral("\u2192 Desk 1"); }, 5000))
        << Notice().toStdString();
    Rebase();
    Tap(ScanB);
    EXPECT_EQ(Received(0), TStrings{});
    EXPECT_EQ(Received(1), (TStrings{"K 5", "K"}));
    EXPECT_EQ(Received(2), TStrings{});
    EXPECT_FALSE(dongles[1]->Target().AnyInputHeld());
}

TEST_F(TRouteWindow, RoutedDongleDisconnectedByTheUser_StillHeld_ZeroSendsToAll) {
    SwitchOn();
    RouteKeys(Scan2);
    window->SelectedDevice = 1;
    window->BtnConnectClick(window->BtnConnect);
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 2; }));
    EXPECT_EQ(
        Notice(),
        QStringLiteral("Input held for Desk 1 \u2014 not connected; Scroll Lock twice + 0 sends to all"));
    Rebase();
    Tap(ScanA);
    EXPECT_EQ(Received(0), TStrings{});
    EXPECT_EQ(Received(2), TStrings{});
    RouteKeys(Scan0);
    EXPECT_EQ(Notice(), QStringLiteral("\u2192 all"));
    EXPECT_EQ(window->NoticeText(TNotice::NoDongle), QString());
    Rebase();
    Tap(ScanA);
    EXPECT_EQ(Received(0), (TStrings{"K 4", "K"}));
    EXPECT_EQ(Received(2), (TStrings{"K 4", "K"}));
}

namespace {

// The tray's menu entry with this object name; null when there is none.
QAction* TrayEntry(TFormCorvastelPc& window, const QString& name) {
    for (QAction* a : window.Tray->Menu()->actions())
        if (a->objectName() == name)
            return a;
    return nullptr;
}

// What the tray shows against what the window's controls show, each read on its own: the
// pass-through button's caption, the list's route marks, the route notice and the list's captions.
std::string TrayMismatch(TFormCorvastelPc& window) {
    const bool on = window.BtnHook->text() == QString::fromUtf8(HookCaptions[1]);
    int marked = -1;
    for (int k = 0; k < window.DeviceListView->count(); ++k)
        if (TFormCorvastelPc::RouteMarked(window.DeviceListView->item(k)))
            marked = k;
    const TTrayImage image = !on ? TTrayImage::Off : marked < 0 ? TTrayImage::ToAll : TTrayImage::ToOne;
    TTrayIcon& tray = *window.Tray;
    if (tray.Image() != image)
        return "image " + std::to_string(int(tray.Image())) + " for " + std::to_string(int(image));
    const QString tip = tray.ToolTip();
    const QString route = window.NoticeText(TNotice::Route);
    if (!route.isEmpty() && !tip.contains(QStringLiteral("Input ") + route))
        return "tooltip without the route " + route.toStdString() + ": " + tip.toStdString();
    QAction* pass = TrayEntry(window, QStringLiteral("TrayPassThrough"));
    if (pass == nullptr || pass->isChecked() != on)
        return "pass-through entry";
    QAction* all = TrayEntry(window, QStringLiteral("TrayRouteAll"));
    if (all == nullptr || all->isChecked() != (marked < 0))
        return "route-to-all entry";
    for (int k = 0; k < window.FoundDeviceCount; ++k) {
        const std::string address = window.FoundDevices[k]->Address();
        const QString caption = window.DeviceListView->item(k)->text();
        const bool connected = window.SessionOfSlot(k) != nullptr;
        const bool away = window.Reconnect.Scheduled(address);
        const int number = window.DongleNumber(address);
        QAction* one = TrayEntry(window, QStringLiteral("TrayRoute:") + QString::fromStdString(address));
        if ((one != nullptr) != (connected || (away && number > 0)))
            return "entry of " + caption.toStdString() + " while " + (connected ? "connected" : "gone");
        if (one != nullptr && (one->isChecked() != (marked == k) || !one->text().contains(caption) ||
                               !one->text().contains(QStringLiteral("(%1").arg(number))))
            return "entry of " + caption.toStdString() + ": " + one->text().toStdString();
        const QString line = QStringLiteral("%1 %2: ").arg(number).arg(caption);
        if (tip.contains(line + QStringLiteral("link")) != connected ||
            tip.contains(line + QStringLiteral("reconnecting")) != (away && number > 0))
            return "tooltip line of " + caption.toStdString() + ": " + tip.toStdString();
    }
    return {};
}

}  // namespace

TEST_F(TRouteWindow, Tray_ShowsThePassThroughAndTheRouteTheWindowShows) {
    ASSERT_NE(window->Tray, nullptr);
    const auto matches = [&] { return TrayMismatch(*window).empty(); };
    EXPECT_TRUE(WaitFor(matches)) << TrayMismatch(*window);
    EXPECT_EQ(window->Tray->Image(), TTrayImage::Off);
    const QImage off = window->Tray->Icon().pixmap(22, 22).toImage();
    QImage large[3];
    large[0] = window->Tray->Icon().pixmap(64, 64).toImage();

    SwitchOn();
    EXPECT_TRUE(WaitFor(matches)) << TrayMismatch(*window);
    EXPECT_EQ(window->Tray->Image(), TTrayImage::ToAll);
    const QImage all = window->Tray->Icon().pixmap(22, 22).toImage();
    large[1] = window->Tray->Icon().pixmap(64, 64).toImage();

    RouteKeys(Scan2);
    EXPECT_TRUE(WaitFor(matches)) << TrayMismatch(*window);
    EXPECT_EQ(window->Tray->Image(), TTrayImage::ToOne);
    const QImage one = window->Tray->Icon().pixmap(22, 22).toImage();
    large[2] = window->Tray->Icon().pixmap(64, 64).toImage();
    EXPECT_NE(off, all);
    EXPECT_NE(all, one);
    // The three images side by side, large and at a panel's size, to look at.
    {
        const QString folder = QStringLiteral(CORVASTEL_DEFAULT_ARTIFACTS_DIR "/widget/tray");
        QDir().mkpath(folder);
        QImage row(3 * 100, 72, QImage::Format_ARGB32);
        row.fill(QColor(0xd8, 0xd8, 0xd8));
        QPainter painter(&row);
        int x = 4;
        for (const QImage* small : {&off, &all, &one}) {
            painter.drawImage(x, 4, large[small == &off ? 0 : small == &all ? 1 : 2]);
            painter.drawImage(x + 70, 4, *small);
            x += 100;
        }
        painter.end();
        row.save(folder + QStringLiteral("/images.png"));
    }
    EXPECT_TRUE(window->Tray->ToolTip().contains(QStringLiteral("Input → Desk 1")))
        << window->Tray->ToolTip().toStdString();

    // The routed dongle drops: its line and entry say it is being brought back, with its number, and
    // the tray says what the window says.
    dongles[1]->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 2; }));
    EXPECT_TRUE(WaitFor(matches)) << TrayMismatch(*window);

    window->BtnHook->click();
    ASSERT_FALSE(window->FHook->Active());
    EXPECT_TRUE(WaitFor(matches)) << TrayMismatch(*window);
    EXPECT_EQ(window->Tray->Image(), TTrayImage::Off);
}

TEST_F(TRouteWindow, TrayMenu_DoesWhatTheWindowsControlsDo) {
    ASSERT_TRUE(WaitFor(
        [&] { return TrayEntry(*window, QStringLiteral("TrayRoute:C0:FF:EE:00:02:01")) != nullptr; }));
    // Pass-through on, as the button switches it on.
    TrayEntry(*window, QStringLiteral("TrayPassThrough"))->trigger();
    ASSERT_TRUE(WaitFor([&] { return window->FHook->Active(); }));
    EXPECT_EQ(window->BtnHook->text(), QString::fromUtf8(HookCaptions[1]));
    EXPECT_FALSE(window->cbKeyboard->isEnabled());

    // One dongle, as "Send input here only" routes: the others are released and hear nothing more.
    TrayEntry(*window, QStringLiteral("TrayRoute:C0:FF:EE:00:02:01"))->trigger();
    ASSERT_TRUE(WaitFor([&] { return Marks() == std::vector<bool>{false, true, false}; }));
    EXPECT_EQ(Notice(), QStringLiteral("→ Desk 1"));
    Tap(ScanA);
    EXPECT_EQ(Received(0), AllReleased);
    EXPECT_EQ(Received(1), (TStrings{"K 4", "K"}));
    EXPECT_EQ(Received(2), AllReleased);

    // Every dongle again.
    Rebase();
    TrayEntry(*window, QStringLiteral("TrayRouteAll"))->trigger();
    ASSERT_TRUE(WaitFor([&] { return Marks() == std::vector<bool>{false, false, false}; }));
    EXPECT_EQ(Notice(), QStringLiteral("→ all"));

    // Off, as the button switches it off: everything released on every dongle.
    QAction* pass = TrayEntry(*window, QStringLiteral("TrayPassThrough"));
    ASSERT_TRUE(pass->isChecked());
    pass->trigger();
    ASSERT_TRUE(WaitFor([&] { return !window->FHook->Active(); }));
    EXPECT_EQ(window->BtnHook->text(), QString::fromUtf8(HookCaptions[0]));
    EXPECT_TRUE(window->cbKeyboard->isEnabled());
    for (size_t i = 0; i < 3; ++i)
        EXPECT_EQ(Received(i), AllReleased) << i;

    // While a box of the window waits for an answer, the controls take no clicks, and nor does the
    // tray: it shows the window instead.
    {
        QDialog box(window.get());
        box.setModal(true);
        box.show();
        ASSERT_TRUE(WaitFor([&] { return QApplication::activeModalWidget() == &box; }));
        TrayEntry(*window, QStringLiteral("TrayPassThrough"))->trigger();
        TrayEntry(*window, QStringLiteral("TrayRoute:C0:FF:EE:00:02:02"))->trigger();
        WaitFor([] { return false; }, 100);
        EXPECT_FALSE(window->FHook->Active());
        EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
    }

    // Show the window, from hidden.
    window->hide();
    TrayEntry(*window, QStringLiteral("TrayShow"))->trigger();
    EXPECT_TRUE(WaitFor([&] { return window->isVisible(); }));

    // Quit, as the window's close button: the window closes and the tray goes with it.
    TrayEntry(*window, QStringLiteral("TrayQuit"))->trigger();
    EXPECT_TRUE(WaitFor([&] { return !window->isVisible(); }));
    EXPECT_EQ(window->Tray, nullptr);
}

// A dongle keeps its number while it is away: its digit routes to it and holds (nothing reaches the
// others), the other dongles keep theirs, and once the user lets it go its number is free for the
// next dongle that connects.
TEST_F(TRouteWindow, DroppedDongleKeepsItsNumber_ItsDigitHolds_UntilTheUserLetsItGo) {
    const TReconnectPolicy::TTime now = TReconnectPolicy::TClock::now();
    window->ReconnectClock = [now] { return now; };  // no try falls due
    const auto address = [&](int k) { return window->FoundDevices[k]->Address(); };
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(window->DongleNumber(address(k)), k + 1) << "given in the order they connected";
    SwitchOn();
    // A link that goes stops taking input on the Bluetooth thread before its event is handled here;
    // the window redrawing meanwhile (another dongle's event) must not free its number.
    window->Sessions[window->FindSession(address(0))]->isActived = false;
    window->ShowRoute();
    EXPECT_EQ(window->DongleNumber(address(0)), 1);
    dongles[0]->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 2; }));
    EXPECT_EQ(window->DongleNumber(address(0)), 1);
    EXPECT_EQ(window->DongleNumber(address(1)), 2);
    Rebase();
    RouteKeys(Scan1);
    Tap(ScanA);
    const TStrings scrolls{"K 71", "K", "K 71", "K"};
    EXPECT_EQ(Received(1), scrolls + AllReleased) << "1 is the dongle that is away";
    EXPECT_EQ(Received(2), scrolls + AllReleased);
    EXPECT_EQ(Notice(), QStringLiteral(
                            "Input held for Desk 0 \u2014 reconnecting; Scroll Lock twice + 0 sends to all"));
    EXPECT_EQ(Marks(), (std::vector<bool>{true, false, false}));

    // The user lets it go (the connect button, which reads disconnect meanwhile): 1 is free, and the
    // next dongle to connect takes it.
    window->SelectedDevice = 0;
    window->BtnConnectClick(window->BtnConnect);
    EXPECT_EQ(window->DongleNumber(address(0)), 0);
    EXPECT_EQ(window->DongleNumber(address(2)), 3);
    QListWidgetItem* item =
        AddFoundAndConnect(*window, ble,
                           vdongle::TDongleConfig::Standard("Corvastel-R3", "C0:FF:EE:00:02:03", "1.1.9",
                                                            vdongle::Identity0451_16B4),
                           Caption(3), &dongles.emplace_back());
    ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(item) == DeviceImageConnected; }, 5000));
    EXPECT_EQ(window->DongleNumber("C0:FF:EE:00:02:03"), 1);
}

// The tray's menu is open while one dongle is disconnected and another drops: its rows stay as they
// were until it closes, so the pointer stays on the entry the user aimed at. An entry then acts on
// the dongle it showed: the one that went is not routed to (the notice says why), the other one is.
TEST_F(TRouteWindow, TrayMenuOpenWhileDonglesGo_RowsStayUntilItClosesAndEntriesActOnWhatTheyShowed) {
    const TReconnectPolicy::TTime now = TReconnectPolicy::TClock::now();
    window->ReconnectClock = [now] { return now; };  // no try falls due
    QMenu* menu = window->Tray->Menu();
    const QString entryOf0 = QStringLiteral("TrayRoute:C0:FF:EE:00:02:00");
    const QString entryOf2 = QStringLiteral("TrayRoute:C0:FF:EE:00:02:02");
    ASSERT_TRUE(WaitFor([&] { return TrayEntry(*window, entryOf2) != nullptr; }));
    const auto rows = [&] {
        std::vector<std::pair<QString, QString>> out;
        for (QAction* a : menu->actions())
            out.emplace_back(a->objectName(), a->text());
        return out;
    };
    menu->popup(window->mapToGlobal(QPoint(10, 10)));
    ASSERT_TRUE(WaitFor([&] { return menu->isVisible(); }));
    const auto shown = rows();

    window->SelectedDevice = 0;
    window->BtnConnectClick(window->BtnConnect);  // the user's disconnect
    dongles[1]->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 1; }));
    WaitFor([] { return false; }, 100);
    EXPECT_EQ(rows(), shown) << "the menu changed while it was open";
    EXPECT_TRUE(window->Tray->ToolTip().contains(QStringLiteral("2 Desk 1: reconnecting")))
        << "the tooltip follows at once: " << window->Tray->ToolTip().toStdString();

    TrayEntry(*window, entryOf0)->trigger();
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
    EXPECT_EQ(Notice(), QStringLiteral("\u2192 all (Desk 0 is not connected)"));
    TrayEntry(*window, entryOf2)->trigger();
    ASSERT_TRUE(WaitFor([&] { return Marks() == std::vector<bool>{false, false, true}; }));
    EXPECT_EQ(Notice(), QStringLiteral("\u2192 Desk 2"));
    EXPECT_EQ(rows(), shown);

    menu->hide();
    EXPECT_TRUE(WaitFor([&] { return TrayMismatch(*window).empty(); })) << TrayMismatch(*window);
    EXPECT_EQ(TrayEntry(*window, entryOf0), nullptr);
    EXPECT_TRUE(TrayEntry(*window, entryOf2)->isChecked());
}

TEST_F(TRouteWindow, NoTray_NothingShownAndNothingSaid) {
    // Qt's offscreen platform has no tray, as a desktop without a panel.
    static std::vector<std::string> messages;
    messages.clear();
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
            messages.push_back(text.toStdString());
        });
    const std::array<QString, static_cast<size_t>(TNotice::Count)> before = [&] {
        std::array<QString, static_cast<size_t>(TNotice::Count)> out;
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = window->NoticeText(static_cast<TNotice>(i));
        return out;
    }();
    // Long enough for the icon to look for a tray again.
    WaitFor([] { return false; }, 3300);
    qInstallMessageHandler(previous);
    EXPECT_FALSE(window->Tray->InTray());
    for (const std::string& m : messages)
        EXPECT_EQ(m.find("ray"), std::string::npos) << m;
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(window->NoticeText(static_cast<TNotice>(i)), before[i]) << i;
}

TEST_F(TRouteWindow, Settings_RightCtrlChosen_LeadsTheRouteKeysAndSurvivesARestart) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    window->NicknameFilePath = std::filesystem::path(dir.path().toStdString()) / "cvinfo.ini";
    window->LoadRouteLeader();
    EXPECT_EQ(window->RouteLeader(), TRouteLeader::ScrollLock) << "no file: the default";

    // From the list's menu, on an item and beside them; the dialog offers the current one.
    QMenu onItem;
    ASSERT_NE(Entry(onItem, 0, "Settings…"), nullptr);
    QMenu beside;
    QAction* settings = Entry(beside, -1, "Settings…");
    ASSERT_NE(settings, nullptr);
    int asked = 0;
    window->RouteSettingsQuery = [&](TRouteLeader& leader) {
        ++asked;
        EXPECT_EQ(leader, TRouteLeader::ScrollLock);
        leader = TRouteLeader::RightCtrl;
        return true;
    };
    settings->trigger();
    EXPECT_EQ(asked, 1);
    EXPECT_EQ(window->RouteLeader(), TRouteLeader::RightCtrl);
    EXPECT_TRUE(window->NoticeText(TNotice::Settings).isEmpty());

    // The next start reads it back (the settings as they were at program start otherwise).
    ResetForwardingStateForTests();
    ASSERT_EQ(::RouteKeys.Leader(), TRouteLeader::ScrollLock);
    window->LoadRouteLeader();
    EXPECT_EQ(window->RouteLeader(), TRouteLeader::RightCtrl);

    SwitchOn();
    RouteKeys(Scan2, ScanRCtrl);
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false}));
    Tap(ScanA);
    const TStrings taps{"K m10", "K", "K m10", "K"};
    EXPECT_EQ(Received(0), taps + AllReleased);
    EXPECT_EQ(Received(1), (taps + TStrings{"K 4", "K"}));
    EXPECT_EQ(Received(2), taps + AllReleased);
    // Scroll Lock leads no more.
    Rebase();
    RouteKeys(Scan3);
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false}));
    EXPECT_EQ(Received(1), (TStrings{"K 71", "K", "K 71", "K", "K 32", "K"}));

    // Cancelled: nothing changes.
    window->RouteSettingsQuery = [](TRouteLeader& leader) {
        leader = TRouteLeader::Pause;
        return false;
    };
    window->ChooseSettings();
    window->LoadRouteLeader();
    EXPECT_EQ(window->RouteLeader(), TRouteLeader::RightCtrl);
}

TEST_F(TRouteWindow, Settings_AFileThatCannotBeUsed_ReadsAsScrollLockAndSaysWhy) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    window->NicknameFilePath = std::filesystem::path(dir.path().toStdString()) / "cvinfo.ini";
    const QString path = dir.filePath(QStringLiteral("settings.ini"));
    struct TCase {
        const char* Name;
        QByteArray Text;
        TRouteLeader Leader;
        const char* Said;  // in the notice; null: no notice
    };
    const TCase cases[] = {
        {"chosen", "[Route]\nLeader=Pause\n", TRouteLeader::Pause, nullptr},
        {"kept beside a dongle's layout",
         "[C0%3AFF%3AEE%3A00%3A02%3A00]\nLayout=de\n[Route]\nLeader=RightAlt\n", TRouteLeader::RightAlt,
         nullptr},
        {"no such leader", "[Route]\nLeader=CapsLock\n", TRouteLeader::ScrollLock, "\"CapsLock\""},
        {"a line break in the value", "[Route]\nLeader=\"a\\nb\"\n", TRouteLeader::ScrollLock,
         "\"a\uFFFDb\""},
        {"too large", QByteArray("[Route]\nLeader=Pause\n") + QByteArray(TypingSettingsMaxBytes, ';'),
         TRouteLeader::ScrollLock, "too large"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(c.Text);
        file.close();
        window->LoadRouteLeader();
        EXPECT_EQ(window->RouteLeader(), c.Leader);
        const QString notice = window->NoticeText(TNotice::Settings);
        if (c.Said == nullptr) {
            EXPECT_TRUE(notice.isEmpty()) << notice.toStdString();
        } else {
            EXPECT_TRUE(notice.contains(QString::fromUtf8(c.Said))) << notice.toStdString();
            EXPECT_TRUE(notice.contains(QStringLiteral("Scroll Lock twice is used"))) << notice.toStdString();
        }
    }
    // Choosing again keeps the dongles' groups.
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write("[C0%3AFF%3AEE%3A00%3A02%3A00]\nLayout=de\n");
    file.close();
    window->RouteSettingsQuery = [](TRouteLeader& leader) {
        leader = TRouteLeader::RightShift;
        return true;
    };
    window->ChooseSettings();
    EXPECT_EQ(ReadRouteLeader(path.toStdString(), nullptr), TRouteLeader::RightShift);
    EXPECT_EQ(window->TypingSettingsOf("C0:FF:EE:00:02:00").Layout, "de");
}

// A settings file that cannot be written: the choice holds for this run all the same, and the
// notice says it is not remembered.
TEST_F(TRouteWindow, Settings_FileCannotBeWritten_TheChoiceHoldsForThisRun_NotRemembered) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // Its folder is a file: nobody, root included, can write the settings there.
    QFile blocker(dir.filePath(QStringLiteral("folder")));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    window->NicknameFilePath = std::filesystem::path(dir.path().toStdString()) / "folder" / "cvinfo.ini";
    window->LoadRouteLeader();
    window->RouteSettingsQuery = [](TRouteLeader& leader) {
        leader = TRouteLeader::Pause;
        return true;
    };
    window->ChooseSettings();
    EXPECT_EQ(window->RouteLeader(), TRouteLeader::Pause);
    const QString notice = window->NoticeText(TNotice::Settings);
    EXPECT_TRUE(
        notice.startsWith(QStringLiteral("The route leader Pause twice is used now but not remembered: ")))
        << notice.toStdString();
    EXPECT_TRUE(window->StatusBar1->PanelToolTip(0).contains(notice));

    // And it leads the route keys.
    SwitchOn();
    RouteKeys(Scan2, ScanPause);
    EXPECT_EQ(Marks(), (std::vector<bool>{false, true, false}));
}
