// The target at a glance and typing a text, through the real window: dongles connected through the
// fake central, their virtual targets read back.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDialogButtonBox>
#include <QFile>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "ConnectedWindow.h"
#include "QtTestEnvironment.h"
#include "app/CorvastelApplication.h"
#include "app/TargetState.h"
#include "app/TextTyping.h"
#include "app/TrayIcon.h"
#include "app/TypingDialog.h"
#include "app/UnitMain.h"
#include "hid/TextKeys.h"
#include "layout/SystemLayouts.h"
#include "layout/XkbLayout.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

using namespace std::chrono_literals;
namespace vd = vdongle;

namespace {

struct TTargetFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<std::shared_ptr<vd::TVirtualDongle>> dongles;
    std::vector<QString> questions;
    bool answer = true;
    QTemporaryDir settingsDir;  // the nickname file's folder, where the typing settings go too

    std::filesystem::path NicknameFile() const {
        return std::filesystem::path(settingsDir.path().toStdString()) / "cvinfo.ini";
    }
    // A target that decodes what it receives on this layout, as a computer set to it would.
    static void OnLayout(vd::TDongleConfig& config, const std::string& layout,
                         TTargetSystem system = TTargetSystem::Linux) {
        config.layout = layout;
        config.system = SystemName(system);
        config.makeKeyDecoder = [layout, system]() -> vd::TKeyDecoder {
            std::string error;
            std::shared_ptr<TXkbTextDecoder> decoder = TXkbTextDecoder::Create(layout, system, &error);
            EXPECT_NE(decoder, nullptr) << error;
            return [decoder](uint8_t usage, bool pressed, uint8_t leds) {
                return decoder->Key(usage, pressed, leds);
            };
        };
    }

    // Dongle 0 presents 0451:16B4 (report IDs), dongle 1 0451:E010 version 1 (plain).
    void Connect(int count, const std::function<void(vd::TDongleConfig&)>& edit = {}) {
        ResetInputStateForTests();
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        window->NicknameFilePath = NicknameFile();
        window->ConfirmQuery = [this](const QString& q) {
            questions.push_back(q);
            return answer;
        };
        for (int i = 0; i < count; ++i) {
            const std::string address = "C0:FF:EE:00:02:0" + std::to_string(i);
            auto config = vd::TDongleConfig::Standard(
                "Corvastel-T" + std::to_string(i), address, i == 0 ? "1.1.9" : "1.2.0",
                i == 0 ? vd::Identity0451_16B4 : vd::TDongleIdentity{0x0451, 0xE010, 1});
            if (edit) {
                edit(config);
            }
            QListWidgetItem* item = AddFoundAndConnect(*window, ble, config, QString::fromStdString(address),
                                                       &dongles.emplace_back());
            ASSERT_TRUE(WaitFor([&] { return ItemImageIndex(item) == DeviceImageConnected; }, 5000));
            // These dongles report their target's lights once connected (one that never does is a
            // case of its own).
            ASSERT_TRUE(dongles.back()->NotifyLedStatus(0));
            ASSERT_TRUE(WaitFor([&] { return Session(i) != nullptr && Session(i)->LightsKnown(); }));
        }
        ASSERT_TRUE(ble.WaitIdle());
        window->show();
    }
    void TearDown() override {
        window.reset();
        ResetInputStateForTests();
    }
    TCorvastelDevice* Session(int i) { return window->SessionOfSlot(i); }
    std::string Text(int i) { return dongles[i]->Target().text; }
    bool WaitText(int i, const std::string& text, int ms = 5000) {
        return WaitFor([&] { return Text(i) == text; }, ms);
    }
    bool Released(int i) {
        // The session paces its writes itself: the central being idle is not enough.
        return WaitFor(
            [&] {
                return (Session(i) == nullptr || Session(i)->WaitSent(0ms)) && ble.WaitIdle(100ms) &&
                       !dongles[i]->Target().AnyKeyHeld();
            },
            2000);
    }
    QVariant ItemLeds(int i) { return window->DeviceListView->item(i)->data(ItemLedRole); }
};

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lock lights and link

// Caps Lock pressed through pass-through toggles the target's lock; its dongle reports the LED
// and the window shows it on that dongle's item only, and large while it is the only dongle.
TEST_F(TTargetFixture, LockLights_FollowEachDonglesLedNotification) {
    Connect(2);
    EXPECT_EQ(ItemLeds(0), QVariant(0));
    EXPECT_EQ(ItemLeds(1), QVariant(0));
    EXPECT_FALSE(window->LockLights->isVisibleTo(window.get())) << "two dongles take input";

    ASSERT_TRUE(dongles[1]->NotifyLedStatus(LedCapsLock | LedNumLock));
    ASSERT_TRUE(WaitFor([&] { return ItemLeds(1) == QVariant(LedCapsLock | LedNumLock); }));
    EXPECT_EQ(ItemLeds(0), QVariant(0));
    // The all-released reports a dongle gets when it becomes active are measured already.
    const QString link = window->DeviceListView->item(1)->data(ItemLinkRole).toString();
    EXPECT_TRUE(link == QStringLiteral("\u2014") || link.endsWith(QStringLiteral("ms")))
        << link.toStdString();
    EXPECT_TRUE(window->DeviceListView->item(1)->toolTip().contains(QStringLiteral("Caps Lock on")));

    // Once dongle 1 is gone, dongle 0 is the one: its lights are shown large.
    window->SelectedDevice = 1;
    window->BtnConnectClick(window->BtnConnect);
    ASSERT_TRUE(WaitFor([&] { return !ItemLeds(1).isValid(); }, 3000));
    EXPECT_TRUE(window->LockLights->isVisibleTo(window.get()));
    EXPECT_EQ(window->LockLights->Leds(), 0);

    // The target's own Caps Lock, typed as a text would be typed: the LED comes back on its own.
    Session(0)->SendKeyboardState(0, 57);
    Session(0)->SendKeyboardState(0, 0);
    ASSERT_TRUE(WaitFor([&] { return window->LockLights->Leds() == LedCapsLock; }));
    EXPECT_EQ(ItemLeds(0), QVariant(LedCapsLock));
    EXPECT_EQ(dongles[0]->Target().ledStatus, LedCapsLock);
}

TEST(LinkLatency, TextPerMeasurement) {
    struct Case {
        uint32_t us;
        bool behind;
        QString text;
    };
    const Case cases[] = {{0, false, QStringLiteral("\u2014")},
                          {400, false, QStringLiteral("<1 ms")},
                          {7600, false, QStringLiteral("8 ms")},
                          {15000, true, QStringLiteral("15 ms")}};
    for (const Case& c : cases) {
        TCorvastelDevice::TLinkStats stats;
        stats.WriteRoundTripUs = c.us;
        stats.QueueWaitUs = 2500;
        stats.FallingBehind = c.behind;
        EXPECT_EQ(LinkLatencyText(stats), c.text);
        EXPECT_EQ(LinkDescription(stats).contains(QStringLiteral("falling behind")), c.behind);
        EXPECT_EQ(LinkShownLate(stats), c.behind);
    }
}

// Once the link is learned, the item shows how late a key arrives, the Details the reports a second
// and the event spacing too; a link too slow even for merged motion is red and says what to do.
TEST(LinkLatency, LearnedLinkTextAndRed) {
    TCorvastelDevice::TLinkStats stats;
    stats.WriteRoundTripUs = 150;  // a write without response completes at once: no measure
    stats.LinkMeasured = true;
    stats.WritesPerSecond = 79.6;
    stats.IntervalUs = 50200;
    stats.KeyLatencyUs = 25100;
    EXPECT_EQ(LinkLatencyText(stats), QStringLiteral("25 ms"));
    EXPECT_TRUE(LinkDescription(stats).contains(QStringLiteral("about 80 reports a second")));
    EXPECT_TRUE(LinkDescription(stats).contains(QStringLiteral("every 50 ms")));
    EXPECT_FALSE(LinkShownLate(stats));
    stats.CannotKeepUp = true;
    EXPECT_TRUE(LinkShownLate(stats));
    EXPECT_TRUE(LinkDescription(stats).contains(QStringLiteral("Move the dongle closer")));
    // Leaving the mouse out is advice only while the mouse is sent.
    EXPECT_FALSE(LinkDescription(stats, false).contains(QStringLiteral("mouse to it")));
    EXPECT_TRUE(LinkDescription(stats, true).contains(QStringLiteral("stop forwarding the mouse to it")));
}

// A link that fell behind while the user typed is not red for ever after: once it has carried
// nothing for a while, its last figures say nothing about the next key.
TEST(LinkLatency, QuietLinkIsNotShownLate) {
    struct Case {
        const char* name;
        bool behind;
        bool cannotKeepUp;
        uint32_t idleUs;
        bool late;
    };
    const Case cases[] = {
        {"behind, busy", true, false, 0, true},
        {"too slow, busy", false, true, 0, true},
        {"behind, quiet a moment", true, false, LinkQuietAfterUs - 1, true},
        {"behind, quiet since", true, false, LinkQuietAfterUs, false},
        {"too slow, quiet since", false, true, 30'000'000, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TCorvastelDevice::TLinkStats stats;
        stats.WriteRoundTripUs = 40000;
        stats.LinkMeasured = true;
        stats.IntervalUs = 50000;
        stats.FallingBehind = c.behind;
        stats.CannotKeepUp = c.cannotKeepUp;
        stats.IdleUs = c.idleUs;
        EXPECT_EQ(LinkShownLate(stats), c.late);
        EXPECT_EQ(LinkDescription(stats, true).contains(QStringLiteral("late")), c.late);
        EXPECT_EQ(LinkSummary(stats).contains(QStringLiteral("late")), c.late && c.behind);
    }
}

// ---------------------------------------------------------------------------------------------
// Details

// Everything the dongle told, one value per line; what it sent cannot add lines, reorder text or
// be read as markup anywhere it is shown.
TEST_F(TTargetFixture, Details_ShowEveryValuePlainAndCopyable) {
    Connect(2, [](vd::TDongleConfig& c) {
        c.SetText(vd::uuid::ModelNumber, "CV-9\nSerial number: FORGED <b>bold</b>\u202Eevil");
    });
    const QString details = window->DeviceDetailsText(1);
    for (const char* expected :
         {"Name: Corvastel-T1", "Address: C0:FF:EE:00:02:01", "State: connected", "Firmware: 1.2.0",
          "Hardware revision: 1.0", "Software revision: 1.0", "Serial number: 0001",
          "Manufacturer: Corvastel", "USB identity: 0451:E010 version 1", "Framing: plain",
          "Lock lights: Num Lock off, Caps Lock off", "Link: "}) {
        EXPECT_TRUE(details.contains(QString::fromUtf8(expected))) << expected << "\n"
                                                                   << details.toStdString();
    }
    EXPECT_EQ(
        details.split(QLatin1Char('\n')).filter(QRegularExpression(QStringLiteral("^Serial number:"))).size(),
        1)
        << details.toStdString();
    EXPECT_TRUE(
        details.contains(QStringLiteral("Model: CV-9\uFFFDSerial number: FORGED <b>bold</b>\uFFFDevil")));
    EXPECT_TRUE(window->DeviceDetailsText(0).contains(QStringLiteral("USB identity: 0451:16B4 version 0")));
    EXPECT_TRUE(window->DeviceDetailsText(0).contains(QStringLiteral("Framing: report IDs")));

    window->UpdateTargetState();
    const QString tip = window->DeviceListView->item(1)->toolTip();
    EXPECT_TRUE(tip.contains(QStringLiteral("&lt;b&gt;bold&lt;/b&gt;"))) << tip.toStdString();

    QMenu menu;
    window->FillDeviceMenu(menu, window->DeviceListView->item(1));
    auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuDetails"));
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    ASSERT_NE(window->DetailsDialog, nullptr);
    EXPECT_TRUE(window->DetailsDialog->isVisible());
    EXPECT_EQ(window->DetailsDialog->findChild<QPlainTextEdit*>()->toPlainText(), details);
    window->DetailsDialog->findChild<QPushButton*>(QStringLiteral("CopyDetails"))->click();
    EXPECT_EQ(QApplication::clipboard()->text(), details);
}

// ---------------------------------------------------------------------------------------------
// Names

// One dongle, one name: wherever the window names a dongle (the list, every title, menu entry and
// notice) it says its nickname, else the name it advertises.
TEST_F(TTargetFixture, Names_OneRuleForTheListTitlesMenusAndNotices) {
    Connect(2);
    std::ofstream(NicknameFile()) << "[Nickname]\nC0:FF:EE:00:02:01=Desk\n";
    for (int i = 0; i < 2; ++i) {
        window->DeviceDiscovered(ble, *window->FoundDevices[i], -50, {});
    }
    EXPECT_EQ(window->DeviceListView->item(0)->text(), QStringLiteral("Corvastel-T0"));
    EXPECT_EQ(window->DeviceListView->item(1)->text(), QStringLiteral("Desk"));

    QStringList titles;
    window->TextQuery = [&](const QString& title, QString&, TTypingSettings*, const QString&) {
        titles << title;
        return false;
    };
    window->SettingsQuery = [&](const QString& title, TTypingSettings&) {
        titles << title;
        return false;
    };
    for (int i = 0; i < 2; ++i) {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(i));
        for (const char* entry : {"MenuTypeText", "MenuTypingLayout"}) {
            auto* action = menu.findChild<QAction*>(QString::fromLatin1(entry));
            ASSERT_NE(action, nullptr) << entry;
            action->trigger();
        }
        window->ShowDeviceDetails(i);
        titles << window->DetailsDialog->windowTitle();
    }
    EXPECT_EQ(titles, (QStringList{"Type a text into Corvastel-T0", "Keyboard layout of Corvastel-T0",
                                   "Details of Corvastel-T0", "Type a text into Desk",
                                   "Keyboard layout of Desk", "Details of Desk"}));

    // Input routed to one: what is typed from the window goes there alone, and the words say so.
    const auto typeIntoAllEntry = [&] {
        QMenu menu;
        window->FillDeviceMenu(menu, nullptr);
        auto* action = menu.findChild<QAction*>(QStringLiteral("MenuTypeTextAll"));
        return action != nullptr ? action->text() : QString();
    };
    window->RouteInputTo("C0:FF:EE:00:02:01");
    EXPECT_TRUE(window->NoticeText(TNotice::Route).contains(QStringLiteral("Desk")))
        << window->NoticeText(TNotice::Route).toStdString();
    EXPECT_EQ(typeIntoAllEntry(), QStringLiteral("Type text into Desk\u2026 (Ctrl+Shift+V)"));
    titles.clear();
    QTest::keyClick(window->DeviceListView, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(titles, (QStringList{"Type a text into Desk"}));

    window->RouteInputTo(std::string());
    EXPECT_EQ(typeIntoAllEntry(), QStringLiteral("Type text into every dongle\u2026 (Ctrl+Shift+V)"));
    titles.clear();
    QTest::keyClick(window->DeviceListView, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(titles, (QStringList{"Type a text into every dongle that takes input"}));
}

// Without a nickname the advertised name, without that the identifier; what a dongle sends is shown
// as plain text on one line, the user's nickname in full.
TEST(Names, DongleName_NicknameElseAdvertisedElseIdentifier) {
    EXPECT_EQ(DongleName("Desk", "Corvastel-1A2B", "c0ffee000001"), QStringLiteral("Desk"));
    EXPECT_EQ(DongleName("", "Corvastel-1A2B", "c0ffee000001"), QStringLiteral("Corvastel-1A2B"));
    EXPECT_EQ(DongleName("", "", "c0ffee000001"), QStringLiteral("c0ffee000001"));
    EXPECT_EQ(DongleName("", "Corvastel\nFORGED", "c0ffee000001"), QStringLiteral("Corvastel\uFFFDFORGED"));
    const std::string longNickname(100, 'n');
    EXPECT_EQ(DongleName(longNickname, "Corvastel", "c0ffee000001"), QString::fromStdString(longNickname));
}

// ---------------------------------------------------------------------------------------------
// Typing a text

// Into every dongle that takes input, each in its own framing: the targets receive the text
// exactly, one key at a time, never more than a couple of reports waiting on a link, and nothing
// held at the end. Caps Lock on a target does not change what arrives.
TEST_F(TTargetFixture, Typing_ReachesEveryTargetExactlyAtTheLinksPace) {
    Connect(2);
    for (const auto& d : dongles) {
        d->SetWriteDelay(2ms);
    }
    dongles[1]->NotifyLedStatus(LedCapsLock);
    ASSERT_TRUE(WaitFor([&] { return Session(1)->LedStatus.load() == LedCapsLock; }));
    const std::string text = "Hello, World! ~`!@#$%^&*()_+{}|:\"<>? -=[]\\;',./ 0123456789\tEnd\n";
    ASSERT_TRUE(window->TypeText(QString::fromStdString(text), nullptr));
    ASSERT_NE(window->TypingProgress(), nullptr);
    int most = 0;
    ASSERT_TRUE(WaitFor(
        [&] {
            most = std::max({most, Session(0)->PendingReports(), Session(1)->PendingReports()});
            return !window->TypingText();
        },
        10000));
    EXPECT_LE(most, TTextTyper::MaxQueued);
    EXPECT_TRUE(WaitText(0, text)) << Text(0);
    EXPECT_TRUE(WaitText(1, text)) << Text(1);
    EXPECT_TRUE(Released(0));
    EXPECT_TRUE(Released(1));
    EXPECT_EQ(window->TypingProgress(), nullptr);
    EXPECT_EQ(window->NoticeText(TNotice::Typing), QStringLiteral("Typed %1 characters.").arg(text.size()));
}

// The context menu types into the dongle it was opened on, the window's shortcut into all, starting
// from the clipboard's text.
TEST_F(TTargetFixture, Typing_FromTheMenuIntoOneAndFromTheShortcutIntoAll) {
    Connect(2);
    QApplication::clipboard()->setText(QStringLiteral("menu"));
    {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(1));
        auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuTypeClipboard"));
        ASSERT_NE(entry, nullptr);
        entry->trigger();
    }
    ASSERT_TRUE(WaitText(1, "menu"));
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }));
    EXPECT_EQ(Text(0), "");

    QString prefilled;
    window->TextQuery = [&](const QString&, QString& text, TTypingSettings*, const QString&) {
        prefilled = text;
        text += QStringLiteral("!");
        return true;
    };
    QApplication::clipboard()->setText(QStringLiteral("both"));
    QTest::keyClick(window->DeviceListView, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_EQ(prefilled, QStringLiteral("both"));
    EXPECT_TRUE(WaitText(0, "both!"));
    EXPECT_TRUE(WaitText(1, "menuboth!"));
}

// Cancelled by the button or by Esc in the middle of a long text: it stops there, with every key
// released on every target, and says so.
TEST_F(TTargetFixture, Typing_CancelledMidTextEndsWithEverythingReleased) {
    Connect(2);
    std::string text;
    while (text.size() < 100 * 1024) {
        text += "The quick brown fox JUMPS over the lazy dog 0123456789!\n";
    }
    for (const bool escape : {false, true}) {
        SCOPED_TRACE(escape ? "Esc" : "button");
        for (const auto& d : dongles) {
            // What the stack still carries from the round before arrives before the records go.
            ASSERT_TRUE(WaitFor([&] {
                d->DeliverDue();
                const auto writes = d->Writes();
                return std::all_of(writes.begin(), writes.end(), [](const auto& w) {
                    return w.arrivedAt != std::chrono::steady_clock::time_point{};
                });
            }));
            d->SetWriteDelay(1ms);
            d->ClearRecords();
        }
        ASSERT_TRUE(window->TypeText(QString::fromStdString(text), nullptr));
        TTypingDialog* progress = window->TypingProgress();
        ASSERT_NE(progress, nullptr);
        EXPECT_EQ(progress->Bar->maximum(), static_cast<int>(text.size()));
        ASSERT_TRUE(WaitFor([&] { return progress->Bar->value() > 20; }, 5000));
        if (escape) {
            QTest::keyClick(progress, Qt::Key_Escape);
        } else {
            progress->CancelButton->click();
        }
        EXPECT_FALSE(window->TypingText());
        EXPECT_EQ(window->TypingProgress(), nullptr);
        for (int i = 0; i < 2; ++i) {
            EXPECT_TRUE(Released(i));
            const std::string typed = Text(i);
            EXPECT_LT(typed.size(), text.size());
            EXPECT_EQ(text.compare(0, typed.size(), typed), 0)
                << "what arrived is the text's beginning: " << typed.substr(0, 200);
        }
        EXPECT_TRUE(window->NoticeText(TNotice::Typing).startsWith(QStringLiteral("Typing stopped after")));
    }
}

TEST_F(TTargetFixture, Typing_RefusedDuringPassThroughAndWithoutADongle) {
    Connect(1);
    window->BtnHook->click();
    ASSERT_TRUE(window->FHook->Active());
    EXPECT_FALSE(window->TypeText(QStringLiteral("abc"), nullptr));
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("pass-through")));
    QMenu menu;
    window->FillDeviceMenu(menu, window->DeviceListView->item(0));
    auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuTypeText"));
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->isEnabled());
    window->BtnHook->click();
    ASSERT_FALSE(window->FHook->Active());
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_TRUE(dongles[0]->Target().keyEvents.empty()) << "no key reached the target";

    window->SelectedDevice = 0;
    window->BtnConnectClick(window->BtnConnect);
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    EXPECT_FALSE(window->TypeText(QStringLiteral("abc"), nullptr));
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("No dongle takes input")));
}

// Characters a US keyboard cannot type are named before anything is typed, and skipped only when
// the user agrees.
TEST_F(TTargetFixture, Typing_UntypeableCharactersAreSkippedOnlyWithConsent) {
    Connect(1);
    answer = false;
    EXPECT_FALSE(window->TypeText(QStringLiteral("na\u00efve caf\u00e9 \u00e9\u0007"), nullptr));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains(QStringLiteral("4 of the 13 characters")))
        << questions[0].toStdString();
    EXPECT_TRUE(questions[0].contains(QStringLiteral("\u201C\u00e9\u201D (U+00E9) \u00d72")));
    EXPECT_TRUE(questions[0].contains(QStringLiteral("U+0007 \u00d71")));
    EXPECT_FALSE(window->TypingText());
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_EQ(Text(0), "");

    answer = true;
    ASSERT_TRUE(window->TypeText(QStringLiteral("na\u00efve caf\u00e9 \u00e9\u0007"), nullptr));
    EXPECT_TRUE(WaitText(0, "nave caf "));
    EXPECT_TRUE(Released(0));
}

// A dongle that drops while a box, a dialog or the menu is open is never typed into afterwards,
// not even once it is back as a new connection (which may sit where the old one was in memory);
// the others still get the text, and the notice names the one that went. Each dialog stub runs an
// event loop in which the dongle drops and comes back.
TEST_F(TTargetFixture, Typing_ADongleThatDropsUnderADialogIsNeverTypedInto) {
    Connect(2);
    // The drop and the new connection, as they happen while a modal loop runs.
    const auto dropAndReturn = [&](int i) {
        dongles[i]->DropLink();
        EXPECT_TRUE(WaitFor([&] { return window->SessionOfSlot(i) == nullptr; }, 3000));
        EXPECT_TRUE(WaitFor(
            [&] {
                const TCorvastelDevice* back = window->SessionOfSlot(i);
                return back != nullptr && window->TakesInput(back);
            },
            8000))
            << "the dongle came back as a new connection";
    };
    const auto menuEntry = [&](const char* name) {
        auto menu = std::make_shared<QMenu>();
        window->FillDeviceMenu(*menu, window->DeviceListView->item(1));
        QAction* entry = menu->findChild<QAction*>(QString::fromUtf8(name));
        EXPECT_NE(entry, nullptr) << name;
        return std::make_pair(menu, entry);
    };
    struct TRow {
        const char* Name;
        std::function<void()> Act;
        std::string IntoFirst;  // what dongle 0 receives
    };
    const TRow rows[] = {
        {"the question about untypeable characters, typing into all",
         [&] {
             window->ConfirmQuery = [&](const QString&) {
                 dropAndReturn(1);
                 return true;
             };
             EXPECT_TRUE(window->TypeText(QStringLiteral("ab\u00e9"), nullptr));
         },
         "ab"},
        {"the text dialog opened from the menu",
         [&] {
             window->TextQuery = [&](const QString&, QString& text, TTypingSettings*, const QString&) {
                 dropAndReturn(1);
                 text = QStringLiteral("secret");
                 return true;
             };
             auto [menu, entry] = menuEntry("MenuTypeText");
             ASSERT_NE(entry, nullptr);
             entry->trigger();
         },
         ""},
        {"the menu itself",
         [&] {
             QApplication::clipboard()->setText(QStringLiteral("secret"));
             auto [menu, entry] = menuEntry("MenuTypeClipboard");
             ASSERT_NE(entry, nullptr);
             dropAndReturn(1);  // while the menu's loop ran
             entry->trigger();
         },
         ""},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_TRUE(ble.WaitIdle());
        for (const auto& d : dongles) {
            d->ClearRecords();
        }
        row.Act();
        ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 5000));
        EXPECT_TRUE(WaitText(0, row.IntoFirst)) << Text(0);
        ASSERT_TRUE(ble.WaitIdle());
        EXPECT_EQ(Text(1), "") << "nothing reached the dongle that went away";
        EXPECT_TRUE(dongles[1]->Target().keyEvents.empty());
        const QString notice = window->NoticeText(TNotice::Typing);
        EXPECT_TRUE(notice.contains(QStringLiteral("C0:FF:EE:00:02:01")) &&
                    notice.contains(QStringLiteral("went away")))
            << notice.toStdString();
    }
}

// Each dongle types on its own target's layout, chosen from its context menu: a German target gets
// the text exactly (AltGr, dead keys, Y and Z where they are), a US one is asked about what it
// cannot type. The choice is remembered across a restart; a dongle never seen before types US.
TEST_F(TTargetFixture, Typing_OnEachDonglesLayout_ChosenFromTheMenuAndRemembered) {
    Connect(2, [n = 0](vd::TDongleConfig& config) mutable { OnLayout(config, n++ == 0 ? "de" : "us"); });
    const std::string german = Session(0)->Device->Address();
    const std::string us = Session(1)->Device->Address();
    EXPECT_EQ(window->TypingSettingsOf(german), TTypingSettings{});
    QString asked;
    window->SettingsQuery = [&](const QString& title, TTypingSettings& settings) {
        asked = title;
        EXPECT_EQ(settings.Layout, "us");
        settings = {"de", 20};
        return true;
    };
    {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(0));
        auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuTypingLayout"));
        ASSERT_NE(entry, nullptr);
        entry->trigger();
    }
    EXPECT_TRUE(asked.contains(QString::fromStdString(german))) << asked.toStdString();
    EXPECT_EQ(window->TypingSettingsOf(german), (TTypingSettings{"de", 20}));
    EXPECT_EQ(window->TypingSettingsOf(us), TTypingSettings{});

    const QString text =
        QStringLiteral("Gr\u00fc\u00dfe zu Yvonne: 5 \u20ac @ home; d\u00e9j\u00e0 ^ [{}]|\\~");
    ASSERT_TRUE(window->TypeText(text, nullptr));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains(
        QStringLiteral("on the \u201Cus\u201D keyboard layout (%1)").arg(window->DongleLabel(us))))
        << questions[0].toStdString();
    EXPECT_FALSE(questions[0].contains(QStringLiteral("\u201Cde\u201D"))) << "German types all of it";
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    EXPECT_EQ(Text(0), text.toStdString());
    EXPECT_EQ(Text(1), "Gre zu Yvonne: 5  @ home; dj ^ [{}]|\\~");
    EXPECT_TRUE(Released(0));
    EXPECT_TRUE(Released(1));

    // The program starts again: the choice is still there, the nickname file untouched.
    window.reset();
    TFormCorvastelPc again(ble, hooks);
    again.NicknameFilePath = NicknameFile();
    EXPECT_EQ(again.TypingSettingsOf(german), (TTypingSettings{"de", 20}));
    EXPECT_EQ(again.TypingSettingsOf("C0:FF:EE:77:77:77"), TTypingSettings{});
    EXPECT_FALSE(std::filesystem::exists(NicknameFile()));
}

// A file of the user's that says nonsense types US at the link's pace; a layout the machine does not
// have refuses the typing in plain words instead of typing wrong characters.
TEST_F(TTargetFixture, Typing_UnusableSettingsAreSaidAndNeverTypeWrongCharacters) {
    Connect(1);
    const std::string address = Session(0)->Device->Address();
    {
        QFile file(QString::fromStdString(TypingSettingsFile(NicknameFile()).string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[C0%3AFF%3AEE%3A00%3A02%3A00]\nLayout=../../etc/passwd\nPaceMs=7\n");
    }
    EXPECT_EQ(window->TypingSettingsOf(address), TTypingSettings{});
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("no layout name")));
    {
        QFile file(QString::fromStdString(TypingSettingsFile(NicknameFile()).string()));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("[C0%3AFF%3AEE%3A00%3A02%3A00]\nLayout=de\nSystem=beos\n");
    }
    EXPECT_EQ(window->TypingSettingsOf(address), TTypingSettings{"de"});
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("types as for Linux")))
        << window->NoticeText(TNotice::Typing).toStdString();

    ASSERT_TRUE(window->StoreTypingSettings(address, {"xx-no-such-layout", 0}));
    EXPECT_FALSE(window->TypeText(QStringLiteral("abc"), nullptr));
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("has no layout")))
        << window->NoticeText(TNotice::Typing).toStdString();
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_EQ(Text(0), "");
}

// A paced dongle gets its next report only once the last one is written and the pace has passed
// by the typing clock; an unpaced one in the same typing is not held back by it.
TEST_F(TTargetFixture, Typing_APacedDongleWaitsItsPaceBetweenReports) {
    Connect(2);
    auto now = std::chrono::steady_clock::now();
    window->TypingClock = [&] { return now; };
    ASSERT_TRUE(window->StoreTypingSettings(Session(0)->Device->Address(), {"us", 50}));
    ASSERT_TRUE(window->TypeText(QStringLiteral("ab"), nullptr));
    ASSERT_TRUE(WaitText(1, "ab"));
    const auto reports = [&] { return dongles[0]->Target().keyboardReports; };
    ASSERT_TRUE(ble.WaitIdle());
    const int start = reports();    // up to the first press, sent at once
    for (int i = 1; i <= 3; ++i) {  // a up, b down, b up
        SCOPED_TRACE(i);
        QTest::qWait(20);
        EXPECT_EQ(reports(), start + i - 1) << "the clock stands still";
        now += std::chrono::milliseconds(49);
        QTest::qWait(20);
        EXPECT_EQ(reports(), start + i - 1) << "49 ms is not yet the pace";
        now += std::chrono::milliseconds(1);
        ASSERT_TRUE(WaitFor([&] { return reports() == start + i; }));
    }
    EXPECT_TRUE(WaitText(0, "ab"));
    EXPECT_TRUE(WaitFor([&] { return !window->TypingText(); }));
    EXPECT_TRUE(Released(0));
}

// With an entry method chosen for a dongle, what its layout lacks is entered by its code instead of
// being asked about: a US target of the virtual kind knows no Unicode entry, so it shows the keys
// as they come (the Ctrl+Shift+U shortcut types nothing, then the hex code and a space).
TEST_F(TTargetFixture, Typing_AnEntryMethodEntersWhatTheLayoutLacks) {
    Connect(1);
    ASSERT_TRUE(window->StoreTypingSettings(Session(0)->Device->Address(), {"us", 0, TUnicodeEntry::Linux}));
    EXPECT_EQ(window->TypingSettingsOf(Session(0)->Device->Address()).Entry, TUnicodeEntry::Linux);
    ASSERT_TRUE(window->TypeText(QStringLiteral("a\u00f1b"), nullptr));
    EXPECT_TRUE(questions.empty());
    EXPECT_TRUE(WaitText(0, "a00f1 b"));
    EXPECT_TRUE(Released(0));
    const auto events = dongles[0]->Target().keyEvents;
    const std::vector<vd::TKeyEvent> shortcut{{224, true}, {225, true}, {24, true}};
    EXPECT_NE(std::search(events.begin(), events.end(), shortcut.begin(), shortcut.end()), events.end())
        << "Ctrl and Shift held, then U";
}

// The Type text dialog of one dongle shows that dongle's layout and pace; what is chosen there types
// this text and is remembered for the next.
TEST_F(TTargetFixture, Typing_TheDialogsLayoutChoiceTypesAndIsRemembered) {
    Connect(1, [](vd::TDongleConfig& config) { OnLayout(config, "de"); });
    const std::string address = Session(0)->Device->Address();
    std::vector<TTypingSettings> shown;
    window->TextQuery = [&](const QString&, QString& text, TTypingSettings* settings, const QString&) {
        EXPECT_NE(settings, nullptr);
        if (settings == nullptr) {
            return false;
        }
        shown.push_back(*settings);
        settings->Layout = "de";
        text = QStringLiteral("zy@");
        return true;
    };
    for (int round = 0; round < 2; ++round) {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(0));
        auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuTypeText"));
        ASSERT_NE(entry, nullptr);
        entry->trigger();
        ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }));
    }
    EXPECT_TRUE(WaitText(0, "zy@zy@"));
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].Layout, "us") << "a dongle never set shows US";
    EXPECT_EQ(shown[1].Layout, "de") << "the choice is remembered";
    EXPECT_TRUE(questions.empty());
}

// The same sentence (plain, Shift, AltGr and dead-key characters, and two that only Linux's compose
// table makes) typed at once into targets of each system on three layouts: each target gets exactly
// the sentence less the characters the question named for its layout and system, so nothing called
// untypeable was sent and nothing else was lost.
TEST_F(TTargetFixture, Typing_EachSystemTypesExactlyWhatTheAppSaid) {
    struct TRow {
        std::string Layout;
        TTargetSystem System;
    };
    std::vector<TRow> rows;
    for (const TTargetSystem system : {TTargetSystem::Linux, TTargetSystem::Windows, TTargetSystem::Mac}) {
        for (const char* layout : {"de", "fr", "us(intl)"}) {
            rows.push_back({layout, system});
        }
    }
    Connect(static_cast<int>(rows.size()), [&rows, n = 0](vd::TDongleConfig& config) mutable {
        OnLayout(config, rows[n].Layout, rows[n].System);
        ++n;
    });
    for (std::size_t i = 0; i < rows.size(); ++i) {
        ASSERT_TRUE(window->StoreTypingSettings(Session(static_cast<int>(i))->Device->Address(),
                                                {rows[i].Layout, 0, TUnicodeEntry::Off, rows[i].System}));
    }
    const QString sentence = QStringLiteral(
        "Voil\u00e0 Typ 5 \u20ac @ caf\u00e9, \u00e2ge, na\u00efve, ma\u00f1ana; \u017a\u0107 [x]");
    ASSERT_TRUE(window->TypeText(sentence, nullptr));
    ASSERT_EQ(questions.size(), 1u);
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 20000));
    const QStringList parts = questions[0].split(QStringLiteral("\n\n"));
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const TRow& row = rows[i];
        SCOPED_TRACE(row.Layout + " " + SystemText(row.System).toStdString());
        const std::string address = Session(static_cast<int>(i))->Device->Address();
        const QString head = QStringLiteral("on the \u201C%1\u201D keyboard layout%2 (%3)")
                                 .arg(QString::fromStdString(row.Layout),
                                      row.System == TTargetSystem::Linux
                                          ? QString()
                                          : QStringLiteral(" of %1").arg(SystemText(row.System)),
                                      window->DongleLabel(address));
        std::u32string refused;
        for (const QString& part : parts) {
            if (!part.contains(head)) {
                continue;
            }
            for (const QString& line : part.split(QLatin1Char('\n')).mid(1)) {
                if (line.startsWith(QStringLiteral("\u201C")) && line.size() > 1) {
                    refused += line.mid(1).toStdU32String().substr(0, 1);
                }
            }
        }
        if (row.System == TTargetSystem::Windows) {
            EXPECT_NE(refused.find(U'\u017a'), std::u32string::npos) << "z acute is Linux's alone";
            EXPECT_NE(refused.find(U'\u0107'), std::u32string::npos) << "c acute is Linux's alone";
        }
        std::u32string expected;
        for (const char32_t c : sentence.toStdU32String()) {
            if (refused.find(c) == std::u32string::npos) {
                expected.push_back(c);
            }
        }
        EXPECT_TRUE(WaitText(static_cast<int>(i), QString::fromStdU32String(expected).toStdString()))
            << Text(static_cast<int>(i)) << "\nrefused: " << QString::fromStdU32String(refused).toStdString();
        EXPECT_TRUE(Released(static_cast<int>(i)));
    }
    const std::u32string german = QString::fromStdString(Text(0)).toStdU32String();
    EXPECT_NE(german.find(U'\u017a'), std::u32string::npos) << "a Linux German target composes z acute";
}

// The Windows entry method at the link's pace, with each lock light coming back a write later:
// "\u00f1\u00f1" and "\u00e9\u00e9" arrive whole on a target that starts with Num Lock on and on one
// that starts with it off, and Num Lock ends as it started.
TEST_F(TTargetFixture, Typing_WindowsEntryKeepsNumLockAsItStarted) {
    Connect(2, [](vd::TDongleConfig& config) { OnLayout(config, "us", TTargetSystem::Windows); });
    ASSERT_TRUE(dongles[1]->NotifyLedStatus(LedNumLock));
    ASSERT_TRUE(WaitFor([&] { return Session(1)->LedStatus.load() == LedNumLock; }));
    for (int i = 0; i < 2; ++i) {
        dongles[i]->SetWriteDelay(2ms);
        ASSERT_TRUE(window->StoreTypingSettings(Session(i)->Device->Address(),
                                                {"us", 0, TUnicodeEntry::Windows, TTargetSystem::Windows}));
    }
    const QString text = QStringLiteral("\u00f1\u00f1 \u00e9\u00e9");
    ASSERT_TRUE(window->TypeText(text, nullptr));
    EXPECT_TRUE(questions.empty());
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(WaitText(i, text.toStdString())) << Text(i);
        EXPECT_TRUE(Released(i));
        EXPECT_EQ(dongles[i]->Target().ledStatus, i == 1 ? LedNumLock : 0);
    }
    EXPECT_EQ(window->NoticeText(TNotice::Typing), QStringLiteral("Typed 5 characters."));
}

// A text longer than the app types at once is refused whole, in words, before anything is sent.
TEST_F(TTargetFixture, Typing_ATextTooLongIsRefusedWhole) {
    Connect(1);
    ASSERT_TRUE(Released(0));
    dongles[0]->ClearRecords();
    const QString text(static_cast<qsizetype>(MaxTypedCharacters + 1), QLatin1Char('a'));
    EXPECT_FALSE(window->TypeText(text, nullptr));
    EXPECT_FALSE(window->TypingText());
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("Type it in parts")))
        << window->NoticeText(TNotice::Typing).toStdString();
    ASSERT_TRUE(ble.WaitIdle());
    EXPECT_EQ(dongles[0]->Target().keyboardReports, 0);
}

// ---------------------------------------------------------------------------------------------
// Key sequences

// A wrong sequence is refused with where it is wrong and why, whether the parse finds it or a
// dongle's layout does, and nothing reaches any dongle, not even the part before the wrong token.
TEST_F(TTargetFixture, KeySequence_AWrongTokenIsRefusedWithItsPlaceAndNothingIsSent) {
    Connect(2);
    for (const auto& d : dongles) {
        d->ClearRecords();
    }
    struct TRow {
        QString Text;
        QString Said;
    };
    const TRow rows[] = {
        {QStringLiteral("user{Tab}\npw{Ctrl+Alt+Dle}{Enter}"),
         QStringLiteral("wrong at line 2, column 13: \u201CDle\u201D is no key name")},
        {QStringLiteral("ok{Enter}{F2 hold 2min}"),
         QStringLiteral("line 1, column 19: \u201C2min\u201D is no time")},
        {QStringLiteral("ok{Enter}{Ctrl+\u00e9}"),
         QStringLiteral(
             "line 1, column 16: \u201C\u00e9\u201D is no key of the \u201Cus\u201D keyboard layout")},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Text.toStdString());
        EXPECT_FALSE(window->TypeKeySequence(row.Text, nullptr));
        EXPECT_FALSE(window->TypingText());
        const QString notice = window->NoticeText(TNotice::Typing);
        EXPECT_TRUE(notice.startsWith(QStringLiteral("Nothing typed: ")) && notice.contains(row.Said))
            << notice.toStdString();
    }
    EXPECT_TRUE(questions.empty());
    ASSERT_TRUE(ble.WaitIdle());
    for (int i = 0; i < 2; ++i) {
        EXPECT_TRUE(dongles[i]->Target().keyEvents.empty()) << i;
        EXPECT_EQ(dongles[i]->Target().keyboardReports, 0) << i;
    }
}

// From the Type text dialog with keys read, into the dongle it was opened on: the keys arrive as
// keys, the text between as text; a hold and a wait measured at the dongle (on a link with 15 ms
// connection events) are never short by more than one event. How long they are beyond that depends
// on how busy the machine is, so it is printed, not checked.
TEST_F(TTargetFixture, KeySequence_FromTheDialogArrivesAsKeysWithItsHoldAndWait) {
    Connect(2);
    constexpr auto interval = 15ms;
    dongles[1]->SetConnectionEvents(interval, 4);
    window->KeySequenceOption = true;
    window->TextQuery = [&](const QString&, QString& text, TTypingSettings*, const QString&) {
        text = QStringLiteral("user{Tab}pw{Enter}{F2 hold 300ms}{wait 200ms}{{x}");
        return true;
    };
    QMenu menu;
    window->FillDeviceMenu(menu, window->DeviceListView->item(1));
    auto* entry = menu.findChild<QAction*>(QStringLiteral("MenuTypeText"));
    ASSERT_NE(entry, nullptr);
    entry->trigger();
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }, 10000));
    EXPECT_TRUE(WaitText(1, "user\tpw\n{x}"));
    EXPECT_TRUE(Released(1));
    EXPECT_EQ(Text(0), "");
    EXPECT_EQ(window->NoticeText(TNotice::Typing), QStringLiteral("Typed 13 characters and keys."));
    // The keyboard reports as they reached the target (plain framing: the first key in byte 2): F2
    // down, F2 up, and the one after the wait.
    std::vector<std::chrono::steady_clock::time_point> f2;
    for (const vd::TWriteRecord& w : dongles[1]->Writes()) {
        if (w.characteristic == vd::uuid::Reports && w.bytes.size() == 8) {
            if (w.bytes[2] == 59 || (!f2.empty() && f2.size() < 3)) {
                f2.push_back(w.arrivedAt);
            }
        }
    }
    ASSERT_EQ(f2.size(), 3u);
    const auto hold = std::chrono::duration_cast<std::chrono::microseconds>(f2[1] - f2[0]);
    const auto quiet = std::chrono::duration_cast<std::chrono::microseconds>(f2[2] - f2[1]);
    EXPECT_GE(hold, 300ms - interval);
    EXPECT_GE(quiet, 200ms - interval);
    std::printf("hold 300 ms measured at the dongle: %.1f ms; wait 200 ms: %.1f ms (15 ms events)\n",
                hold.count() / 1000.0, quiet.count() / 1000.0);
}

// Saved sequences round-trip through the settings file, the other groups kept; a file of someone
// else's making is read only as far as it is usable: malformed entries are left out, named with why,
// and at most the bound of entries is read however many the file claims.
TEST_F(TTargetFixture, KeySequence_SavedOnesRoundTripAndMalformedOnesAreLeftOut) {
    const std::filesystem::path file =
        std::filesystem::path(settingsDir.path().toStdString()) / "settings.ini";
    QString error;
    ASSERT_TRUE(WriteTypingSettings(file, "C0:FF:EE:00:02:00", TTypingSettings{"de", 20, TUnicodeEntry::Off},
                                    &error));
    const std::vector<TSavedKeySequence> saved = {
        {QStringLiteral("Log in"), QStringLiteral("admin{Tab}pa=ss; #1\n{Enter}"), ""},
        {QStringLiteral("BIOS & boot"), QStringLiteral("{F2 hold 10s}"), "C0:FF:EE:00:02:01"},
        {QStringLiteral("R\u00e9sum\u00e9 \u2603"), QStringLiteral("{Win+r}cmd{Enter}\u00e9"), ""},
    };
    ASSERT_TRUE(WriteKeySequences(file, saved, &error)) << error.toStdString();
    QString problem;
    EXPECT_EQ(ReadKeySequences(file, &problem), saved);
    EXPECT_TRUE(problem.isEmpty()) << problem.toStdString();
    EXPECT_EQ(ReadTypingSettings(file, "C0:FF:EE:00:02:00", nullptr).Layout, "de");

    QFile ini(QString::fromStdString(file.string()));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QByteArray text =
        "[KeySequences]\n"
        "Sequence\\size=2000000000\n"
        "Sequence\\1\\Name=Good\nSequence\\1\\Text=a{Enter}\n"
        "Sequence\\2\\Text=nameless\n"
        "Sequence\\3\\Name=Wrong\nSequence\\3\\Text=a{Dle}\n"
        "Sequence\\4\\Name=Odd dongle\nSequence\\4\\Text=x\nSequence\\4\\Dongle=../../etc/passwd\n"
        "Sequence\\5\\Name=" +
        QByteArray(61, 'n') +
        "\nSequence\\5\\Text=x\n"
        "Sequence\\6\\Name=Bell\\a\nSequence\\6\\Text=x\n"
        "Sequence\\7\\Name=Empty\n"
        "Sequence\\8\\Name=Long\nSequence\\8\\Text=" +
        QByteArray(KeySequenceMaxLength + 1, 'x') + "\n";
    for (int i = 9; i <= 60; ++i) {
        text += QStringLiteral("Sequence\\%1\\Name=n%1\nSequence\\%1\\Text=x\n").arg(i).toUtf8();
    }
    ini.write(text);
    ini.close();
    const std::vector<TSavedKeySequence> read = ReadKeySequences(file, &problem);
    ASSERT_EQ(read.size(), 1u + 42u) << problem.toStdString();
    EXPECT_EQ(read[0], (TSavedKeySequence{QStringLiteral("Good"), QStringLiteral("a{Enter}"), ""}));
    EXPECT_EQ(read.back().Name, QStringLiteral("n50"));
    for (const char* said : {"entry 2 (it has no name)", "entry 3 (its text is wrong at line 1, column 3",
                             "entry 4 (its dongle is no address)", "entry 5 (its name is longer than 60",
                             "entry 6 (its name holds a control character)", "entry 7 (it has no text)",
                             "entry 8 (its text is wrong at line 1, column 20001",
                             "entries 51 to 2000000000 (at most 50 are read)"}) {
        EXPECT_TRUE(problem.contains(QString::fromUtf8(said))) << said << "\n" << problem.toStdString();
    }
}

// Saved from the dialog under a name the user gives, for that dongle; listed in its context menu (with
// those for every dongle) and in the tray, played from either through the typing pump, and removed
// after asking.
TEST_F(TTargetFixture, KeySequence_SavedPlayedFromTheMenusAndRemoved) {
    Connect(2);
    const std::string second = Session(1)->Device->Address();
    QString name = QStringLiteral("Run box");
    window->InputQuery = [&](const QString&, const QString&, QString& text) {
        text = name;
        return true;
    };
    EXPECT_FALSE(window->SaveKeySequence(QStringLiteral("{Dle}"), second));
    EXPECT_TRUE(window->NoticeText(TNotice::Typing).contains(QStringLiteral("Not saved")));
    ASSERT_TRUE(window->SaveKeySequence(QStringLiteral("{Win+r}cmd{Enter}"), second));
    name = QStringLiteral("Hi");
    ASSERT_TRUE(window->SaveKeySequence(QStringLiteral("hi{Enter}"), std::string()));
    ASSERT_TRUE(window->SaveKeySequence(QStringLiteral("hi!{Enter}"), std::string())) << "replaces it";
    EXPECT_EQ(window->SavedKeySequences().size(), 2u);

    const auto entries = [&](QMenu& menu, const char* name) {
        QStringList texts;
        for (QAction* a : menu.findChildren<QAction*>(QString::fromUtf8(name))) {
            texts << a->text();
        }
        return texts;
    };
    {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(0));
        EXPECT_EQ(entries(menu, "MenuPlaySequence"), QStringList{QStringLiteral("Hi")});
    }
    {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(1));
        EXPECT_EQ(entries(menu, "MenuPlaySequence"),
                  (QStringList{QStringLiteral("Run box"), QStringLiteral("Hi")}));
        menu.findChildren<QAction*>(QStringLiteral("MenuPlaySequence"))[0]->trigger();
    }
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }));
    EXPECT_TRUE(WaitText(1, "cmd\n"));
    EXPECT_TRUE(Released(1));
    EXPECT_EQ(Text(0), "");

    ASSERT_NE(window->Tray, nullptr);
    ASSERT_TRUE(WaitFor([&] { return entries(*window->Tray->Menu(), "TraySequence").size() == 2; }));
    QAction* hi = nullptr;
    for (QAction* a : window->Tray->Menu()->findChildren<QAction*>(QStringLiteral("TraySequence"))) {
        if (a->text() == QStringLiteral("Hi")) {
            hi = a;
        }
    }
    ASSERT_NE(hi, nullptr);
    hi->trigger();
    EXPECT_TRUE(WaitText(0, "hi!\n"));
    EXPECT_TRUE(WaitText(1, "cmd\nhi!\n"));
    ASSERT_TRUE(WaitFor([&] { return !window->TypingText(); }));

    answer = true;
    {
        QMenu menu;
        window->FillDeviceMenu(menu, window->DeviceListView->item(1));
        menu.findChildren<QAction*>(QStringLiteral("MenuRemoveSequence"))[0]->trigger();
    }
    ASSERT_EQ(window->SavedKeySequences().size(), 1u);
    EXPECT_EQ(window->SavedKeySequences()[0].Name, QStringLiteral("Hi"));
    EXPECT_TRUE(WaitFor([&] { return entries(*window->Tray->Menu(), "TraySequence").size() == 1; }));
}

// With keys read, the dialog says a wrong sequence where it is wrong (line, column; the cursor put
// there, counting a character outside the BMP as one) and stays open; nor does it save one. A right
// one is saved and typed, and the box stays ticked.
TEST_F(TTargetFixture, KeySequence_TheDialogSaysAWrongTokenAndStaysOpen) {
    bool keys = false;
    QStringList saved;
    QString said;
    int cursorAt = -1;
    bool stayed = false;
    QTimer act;
    act.setInterval(10);
    QObject::connect(&act, &QTimer::timeout, [&] {
        auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
        if (dialog == nullptr) {
            return;
        }
        act.stop();
        dialog->findChild<QCheckBox*>(QStringLiteral("KeySequenceMode"))->setChecked(true);
        auto* edit = dialog->findChild<QPlainTextEdit*>(QStringLiteral("TextToType"));
        auto* buttons = dialog->findChild<QDialogButtonBox*>();
        auto* save = dialog->findChild<QPushButton*>(QStringLiteral("SaveKeySequence"));
        edit->setPlainText(QStringLiteral("\U0001F600{Tab}\n{Dle}"));
        buttons->button(QDialogButtonBox::Ok)->click();
        save->click();
        stayed = dialog->isVisible();
        said = dialog->findChild<QLabel*>(QStringLiteral("KeySequenceError"))->text();
        cursorAt = edit->textCursor().position();
        edit->setPlainText(QStringLiteral("\U0001F600{Tab}\n{Del}"));
        save->click();
        buttons->button(QDialogButtonBox::Ok)->click();
    });
    act.start();
    QString text = QStringLiteral("start");
    ASSERT_TRUE(TypeTextDialog(nullptr, QStringLiteral("Type"), text, nullptr, QString(),
                               {&keys, [&](const QString& t) { saved << t; }}));
    EXPECT_TRUE(stayed);
    EXPECT_TRUE(said.contains(QStringLiteral("line 2, column 2: \u201CDle\u201D is no key name")))
        << said.toStdString();
    EXPECT_EQ(cursorAt, 9);
    EXPECT_EQ(saved, QStringList{QStringLiteral("\U0001F600{Tab}\n{Del}")});
    EXPECT_EQ(text, QStringLiteral("\U0001F600{Tab}\n{Del}"));
    EXPECT_TRUE(keys);
}
