// What the device list and the status bar look like through a newcomer's session: dongles found by
// a real scan of the fake central, connected, renamed, dropped, found again and routed to. After
// every step no two items share a pixel, every caption is one line that fits its place, lights and
// latency stand only on dongles that take input, and the notice panel is never covered. Screenshots
// of each step go to artifacts/widget/device-list.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFontMetrics>
#include <QImage>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/ReconnectPolicy.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {
using namespace std::chrono_literals;

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

const std::vector<std::string> Addresses = {"C0:FF:EE:00:05:01", "C0:FF:EE:00:05:02", "C0:FF:EE:00:05:03"};
const QString LongNickname = QStringLiteral("Office PC on the second floor, by the window");

struct TDeviceListFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window;
    QTemporaryDir dir;
    uint32_t ticks = 0;
    TReconnectPolicy::TTime now = TReconnectPolicy::TClock::now();
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;

    void SetUp() override {
        ResetInputStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
        for (std::size_t i = 0; i < Addresses.size(); ++i) {
            ble.AddDongle(vdongle::TDongleConfig::Standard("Corvastel-" + std::to_string(i + 1), Addresses[i],
                                                           "1.1.9", vdongle::Identity0451_16B4));
        }
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        window->NicknameFilePath = std::filesystem::path(dir.path().toStdString()) / "cvinfo.ini";
        window->TickCount = [this] { return ticks; };
        window->ReconnectClock = [this] { return now; };
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
        EXPECT_TRUE(errors.empty()) << errors.front().toStdString();
    }

    QListWidget* List() const { return window->DeviceListView; }
    int Slot(const std::string& address) const {
        for (int k = 0; k < window->FoundDeviceCount; ++k) {
            if (window->FoundDevices[k]->Address() == address)
                return k;
        }
        return -1;
    }
    QListWidgetItem* Item(const std::string& address) const { return List()->item(Slot(address)); }
    std::shared_ptr<vdongle::TVirtualDongle> Dongle(std::size_t i) { return ble.Radio().Find(Addresses[i]); }

    // A whole scan: every dongle in range reported, then the bar runs full.
    void Scan() {
        window->btnScanClick(window->BtnScan);
        ASSERT_TRUE(window->Scanning);
        ASSERT_TRUE(WaitFor([&] {
            int listed = 0;
            for (std::size_t i = 0; i < Addresses.size(); ++i)
                listed += Slot(Addresses[i]) >= 0 ? 1 : 0;
            return listed == static_cast<int>(Addresses.size());
        }));
        ticks += 3000;
        window->Timer1Timer(window->Timer1);
        ASSERT_FALSE(window->Scanning);
    }
    void Connect(std::size_t i) {
        ASSERT_TRUE(window->SelectDongle(Addresses[i]));
        window->BtnConnectClick(window->BtnConnect);
        ASSERT_TRUE(
            WaitFor([&] { return ItemImageIndex(Item(Addresses[i])) == DeviceImageConnected; }, 5000));
        Settle();
    }
    void Settle() {
        ASSERT_TRUE(ble.WaitIdle());
        WaitFor([] { return false; }, 60);
    }

    void Shot(const char* name) {
        const QString folder = QStringLiteral(CORVASTEL_DEFAULT_ARTIFACTS_DIR "/widget/device-list");
        QDir().mkpath(folder);
        window->grab().save(folder + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png"));
    }

    // The invariants of a clean list: one cell per item, none over another, each caption one
    // line within its place (cut with an ellipsis where it is longer), the route mark on exactly
    // the routed dongle, and lights only where the dongle takes input.
    void CheckList(const char* step) {
        SCOPED_TRACE(step);
        QListWidget* list = List();
        ASSERT_EQ(list->count(), window->FoundDeviceCount);
        // Every item the same size, within the list's grid cell.
        const QSize cell = list->visualItemRect(list->item(0)).size();
        EXPECT_TRUE(cell.width() <= list->gridSize().width() && cell.height() <= list->gridSize().height());
        EXPECT_GE(cell.width(), DeviceItemCellSize(list->font(), list->iconSize()).width());
        std::vector<QRect> rects;
        for (int k = 0; k < list->count(); ++k) {
            QListWidgetItem* item = list->item(k);
            const QRect rect = list->visualItemRect(item);
            EXPECT_EQ(rect.size(), cell) << "item " << k;
            EXPECT_TRUE(list->viewport()->rect().contains(rect)) << "item " << k << " lies outside the list";
            for (std::size_t j = 0; j < rects.size(); ++j) {
                EXPECT_FALSE(rects[j].intersects(rect)) << "items " << j << " and " << k << " overlap";
            }
            rects.push_back(rect);

            const QFont font = item->font().resolve(list->font());
            const TDeviceItemLayout layout = DeviceItemLayout(rect, font, list->iconSize());
            EXPECT_TRUE(rect.contains(layout.Caption) && rect.contains(layout.Lights) &&
                        rect.contains(layout.Link));
            const QString shown = DeviceItemCaption(item->text(), font, layout.Caption.width());
            EXPECT_FALSE(shown.contains(QLatin1Char('\n')));
            EXPECT_LE(QFontMetrics(font).horizontalAdvance(shown), layout.Caption.width())
                << shown.toStdString();
            if (shown != item->text()) {
                EXPECT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
                EXPECT_TRUE(item->toolTip().contains(item->text().toHtmlEscaped()))
                    << "the full caption is in the tooltip: " << item->toolTip().toStdString();
            }

            const std::string address = window->FoundDevices[k]->Address();
            const int s = window->FindSession(address);
            const bool takesInput = s >= 0 && window->InputReady(window->Sessions[s]);
            EXPECT_EQ(item->data(ItemLedRole).isValid(), takesInput) << address;
            EXPECT_EQ(item->data(ItemLinkRole).isValid(), takesInput) << address;
            EXPECT_EQ(TFormCorvastelPc::RouteMarked(item),
                      !window->Route().ToAll() && window->Route().Target() == address);

            // Drawn: where no lights belong, their row is the cell's background only.
            if (!takesInput) {
                const QImage image = list->viewport()->grab().toImage();
                const qreal ratio = image.devicePixelRatio();
                const QRect row = layout.Lights.united(layout.Link);
                const QColor background = image.pixelColor(QPoint(row.left(), row.top()) * ratio);
                for (int y = row.top(); y <= row.bottom(); ++y) {
                    for (int x = row.left(); x <= row.right(); ++x) {
                        ASSERT_EQ(image.pixelColor(QPoint(x, y) * ratio), background)
                            << "stale drawing in the lights' row of " << address << " at " << x << "," << y;
                    }
                }
            }
        }
    }
};

}  // namespace

TEST_F(TDeviceListFixture, RenameDropRescanRoute_ListStaysCleanAtEveryStep) {
    EXPECT_EQ(window->StatusBar1->PanelText(0), Utf8("Press 搜索设备 (Alt+S) to find dongles"));
    Shot("0-start");

    Scan();
    EXPECT_TRUE(window->NoticeText(TNotice::Guide).startsWith("Found 3 dongles"))
        << window->NoticeText(TNotice::Guide).toStdString();
    CheckList("found");
    Connect(0);
    Connect(1);
    EXPECT_TRUE(window->NoticeText(TNotice::Guide).isEmpty()) << "connected: the route speaks now";
    Dongle(1)->NotifyLedStatus(vdongle::LedCapsLock | vdongle::LedNumLock);
    ASSERT_TRUE(WaitFor([&] { return Item(Addresses[1])->data(ItemLedRole).toInt() != 0; }));
    CheckList("two connected");
    Shot("1-connected");

    // A nickname longer than the cell: one line, cut, in full in the tooltip.
    window->InputQuery = [](const QString&, const QString&, QString& text) {
        text = LongNickname;
        return true;
    };
    ASSERT_TRUE(window->SelectDongle(Addresses[1]));
    window->BtnRenameClick(window->BtnRename);
    ASSERT_EQ(Item(Addresses[1])->text(), LongNickname);
    WaitFor([] { return false; }, 30);  // the tooltips follow the change
    CheckList("renamed");
    Shot("2-renamed");

    // The first dongle drops: its lights and latency go at once, while it is being brought back.
    Dongle(0)->SetAdvertising(false);
    Dongle(0)->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 1; }));
    WaitFor([] { return false; }, 30);
    EXPECT_EQ(ItemImageIndex(Item(Addresses[0])), DeviceImageConnecting);
    CheckList("dropped");
    EXPECT_FALSE(Item(Addresses[0])->toolTip().contains(QStringLiteral("Lock lights")));
    Shot("3-dropped");

    // A new scan lists the connected dongle first, the one being brought back, then the rest.
    Scan();
    WaitFor([] { return false; }, 30);
    CheckList("rescanned");
    EXPECT_EQ(List()->item(0)->text(), LongNickname);

    // Input to the renamed dongle only: its cell is framed, nothing else moves.
    std::vector<QRect> before;
    for (int k = 0; k < List()->count(); ++k)
        before.push_back(List()->visualItemRect(List()->item(k)));
    window->RouteInputTo(Addresses[1]);
    WaitFor([] { return false; }, 30);
    CheckList("routed");
    for (int k = 0; k < List()->count(); ++k)
        EXPECT_EQ(List()->visualItemRect(List()->item(k)), before[static_cast<std::size_t>(k)]) << k;
    EXPECT_EQ(window->NoticeText(TNotice::Route), QStringLiteral("\u2192 ") + LongNickname);
    EXPECT_TRUE(window->StatusBar1->PanelText(0).contains(QStringLiteral("\u2192 Office")))
        << window->StatusBar1->PanelText(0).toStdString();
    Shot("4-routed");
}

// The notice panel is never covered: progress has a place of its own and shows only while a scan
// or a connection runs; a notice longer than the panel wraps to a second line, the first words first.
TEST_F(TDeviceListFixture, StatusBar_NoticeStaysVisibleWhileProgressRuns) {
    const QRect noticePanel =
        QRect(window->StatusBar1->mapTo(window.get(), window->StatusBar1->PanelRect(0).topLeft()),
              window->StatusBar1->PanelRect(0).size());
    const auto noticeShown = [&] {
        return window->StatusBar1->isVisible() && !window->StatusBar1->PanelText(0).isEmpty() &&
               !(window->ProgressBar1->isVisible() &&
                 window->ProgressBar1->geometry().intersects(noticePanel));
    };
    EXPECT_TRUE(window->ProgressBar1->isHidden());
    EXPECT_TRUE(noticeShown());

    window->btnScanClick(window->BtnScan);
    EXPECT_TRUE(window->ProgressBar1->isVisible());
    EXPECT_TRUE(noticeShown());
    EXPECT_EQ(window->StatusBar1->PanelText(0), Utf8("Searching for dongles\u2026"));
    ASSERT_TRUE(WaitFor([&] { return window->FoundDeviceCount == 3; }));
    ticks += 3000;
    window->Timer1Timer(window->Timer1);
    EXPECT_TRUE(window->ProgressBar1->isHidden()) << "nothing runs";

    window->SetNotice(TNotice::Route, QStringLiteral("\u2192 all"));
    ASSERT_TRUE(window->SelectDongle(Addresses[0]));
    window->BtnConnectClick(window->BtnConnect);
    EXPECT_TRUE(window->ProgressBar1->isVisible()) << "a connection runs";
    EXPECT_TRUE(noticeShown());
    Shot("5-connecting");
    ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(Item(Addresses[0])) == DeviceImageConnected; }, 5000));
    // Selecting an item changes nothing of it either.
    window->SelectDongle(Addresses[2]);
    EXPECT_TRUE(window->ProgressBar1->isHidden());
    EXPECT_TRUE(noticeShown());
    EXPECT_TRUE(window->StatusBar1->PanelText(0).startsWith(QStringLiteral("\u2192 all")));

    // Too long for one line: two, each within the panel, the first words on the first.
    const QString dropped = QStringLiteral(
        "Keys go nowhere (Ctrl+Shift+F12 ends): Office PC, Corvastel-3 dropped; reconnecting by "
        "themselves");
    window->SetNotice(TNotice::LinkLost, dropped);
    const QStringList lines = window->StatusBar1->PanelText(0).split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 2) << window->StatusBar1->PanelText(0).toStdString();
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("Keys go nowhere (Ctrl+Shift+F12 ends)")));
    const QLabel* panel = window->StatusBar1->findChildren<QLabel*>().value(0);
    ASSERT_NE(panel, nullptr);
    for (const QString& line : lines)
        EXPECT_LE(QFontMetrics(panel->font()).horizontalAdvance(line), panel->contentsRect().width());
    EXPECT_LE(lines.size() * QFontMetrics(panel->font()).lineSpacing(), panel->contentsRect().height());
    EXPECT_TRUE(lines.join(QLatin1Char(' ')).contains(QStringLiteral("dropped; reconnecting")));
    Shot("6-two-line-notice");
}

// The menu and a double click do what the buttons do, for the dongle they were opened on.
TEST_F(TDeviceListFixture, MenuAndDoubleClick_ConnectRenameDisconnectAndDetails) {
    Scan();
    QMenu menu;
    window->FillDeviceMenu(menu, Item(Addresses[2]));
    ASSERT_NE(menu.findChild<QAction*>(QStringLiteral("MenuConnect")), nullptr);
    ASSERT_NE(menu.findChild<QAction*>(QStringLiteral("MenuRename")), nullptr);
    EXPECT_EQ(menu.findChild<QAction*>(QStringLiteral("MenuRename"))->text(), Utf8("设置昵称"));
    EXPECT_EQ(menu.findChild<QAction*>(QStringLiteral("MenuDisconnect")), nullptr);
    // Acts on its dongle even when another is selected by the time it is chosen.
    window->SelectDongle(Addresses[0]);
    menu.findChild<QAction*>(QStringLiteral("MenuConnect"))->trigger();
    ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(Item(Addresses[2])) == DeviceImageConnected; }, 5000));
    EXPECT_EQ(ItemImageIndex(Item(Addresses[0])), DeviceImageFound);

    // A double click on a found dongle connects it; on a connected one it shows its details.
    emit List()->itemDoubleClicked(Item(Addresses[1]));
    ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(Item(Addresses[1])) == DeviceImageConnected; }, 5000));
    EXPECT_TRUE(window->DetailsDialog == nullptr || !window->DetailsDialog->isVisible());
    emit List()->itemDoubleClicked(Item(Addresses[1]));
    ASSERT_NE(window->DetailsDialog, nullptr);
    EXPECT_TRUE(window->DetailsDialog->isVisible());
    EXPECT_EQ(window->DetailsDialog->property("address").toString().toStdString(), Addresses[1]);
    window->DetailsDialog->close();

    // The menu of a connected dongle disconnects it.
    QMenu second;
    window->FillDeviceMenu(second, Item(Addresses[2]));
    QAction* disconnect = second.findChild<QAction*>(QStringLiteral("MenuDisconnect"));
    ASSERT_NE(disconnect, nullptr);
    disconnect->trigger();
    ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(Item(Addresses[2])) == DeviceImageFound; }, 5000));
    EXPECT_LT(window->FindSession(Addresses[2]), 0);

    // The rename entry renames the dongle it was opened on.
    window->InputQuery = [](const QString&, const QString&, QString& text) {
        text = QStringLiteral("Lab");
        return true;
    };
    QMenu third;
    window->FillDeviceMenu(third, Item(Addresses[0]));
    window->SelectDongle(Addresses[1]);
    third.findChild<QAction*>(QStringLiteral("MenuRename"))->trigger();
    EXPECT_EQ(Item(Addresses[0])->text(), QStringLiteral("Lab"));
    EXPECT_NE(Item(Addresses[1])->text(), QStringLiteral("Lab"));
}

// The details speak a user's words first; what only a developer needs stands under "Technical".
// An identity the dongle was not asked for says it was assumed.
TEST_F(TDeviceListFixture, Details_UserWordsFirstAndAnAssumedIdentitySaysSo) {
    Scan();
    Connect(0);
    const QString details = window->DeviceDetailsText(Slot(Addresses[0]));
    const QString user = details.section(QStringLiteral("\nTechnical\n"), 0, 0);
    const QString technical = details.section(QStringLiteral("\nTechnical\n"), 1);
    ASSERT_FALSE(technical.isEmpty()) << details.toStdString();
    for (const char* internal : {"F801", "bytes", "reports wait", "System ID"}) {
        EXPECT_FALSE(user.contains(QLatin1String(internal))) << internal << "\n" << user.toStdString();
    }
    EXPECT_TRUE(user.contains(QStringLiteral("State: connected, takes input")));
    EXPECT_TRUE(user.contains(QStringLiteral("0451:16B4, assumed (the dongle did not answer)")))
        << user.toStdString();
    EXPECT_TRUE(technical.contains(
        QStringLiteral("USB identity: 0451:16B4 version 0, assumed (the dongle did not answer)")));
    EXPECT_TRUE(Item(Addresses[0])->toolTip().contains(QStringLiteral("State: connected")));
    EXPECT_FALSE(Item(Addresses[0])->toolTip().contains(QStringLiteral("Technical")));
}

// A long tooltip is wrapped to a readable width: 键鼠直传's during pass-through holds the described
// hint and the same in English, and was once one line across the screen.
TEST_F(TDeviceListFixture, Tooltips_WrapToAReadableWidth) {
    window->BtnHook->click();
    ASSERT_TRUE(window->FHook->Active());
    QWidget* tip = nullptr;
    ASSERT_TRUE(WaitFor([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            if (w->inherits("QTipLabel") && w->isVisible())
                tip = w;
        }
        return tip != nullptr;
    }));
    auto* label = qobject_cast<QLabel*>(tip);
    ASSERT_NE(label, nullptr);
    EXPECT_TRUE(label->text().contains(Utf8("按住CTRL+SHIFT")));
    EXPECT_LE(tip->width(), 640) << "one line across the screen";
    EXPECT_GE(tip->height(), 3 * QFontMetrics(tip->font()).lineSpacing()) << "wrapped onto several lines";
    window->BtnHook->click();
}
