// Where input goes, through the real window: three virtual dongles connected through the fake
// central, route keys played into the fake hook backend, the route read back from the list, the
// notice line and the bytes each dongle received.
#include <gtest/gtest.h>

#include <QAction>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "ForwardingTestSupport.h"
#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
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
            dongles.push_back(ble.AddDongle(vdongle::TDongleConfig::Standard(
                "Corvastel-R" + std::to_string(i), address, "1.1.9", vdongle::Identity0451_16B4)));
            const int k = window->FoundDeviceCount++;
            window->FoundDevices[k] = &ble.Device(address);
            auto* item = new QListWidgetItem(Caption(i), window->DeviceListView);
            window->SetDeviceImage(item, DeviceImageFound);
            window->SelectedDevice = k;
            window->BtnConnectClick(window->BtnConnect);
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
    void RouteKeys(TScan digit) {
        Tap(ScanScrollLock);
        Tap(ScanScrollLock);
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
    EXPECT_EQ(Notice(), QStringLiteral("→ all (there is no dongle 4, 3 connected)"));
    EXPECT_EQ(Marks(), (std::vector<bool>{false, false, false}));
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
    ASSERT_TRUE(WaitFor([&] { return Notice() == QStringLiteral("\u2192 Desk 1"); }, 5000)) << Notice().toStdString();
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
    EXPECT_EQ(Notice(),
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
