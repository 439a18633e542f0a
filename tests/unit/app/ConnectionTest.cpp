// Connecting and disconnecting dongles from the window, the device events it handles, and the
// report broadcast to the active sessions, over the in-process fake central and virtual dongles.
#include <gtest/gtest.h>

#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <QTextDocument>
#include <QTimer>
#include <QToolTip>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "GateDevice.h"
#include "QtTestEnvironment.h"
#include "StubDevice.h"
#include "app/CorvastelApplication.h"
#include "app/FormControls.h"
#include "app/TargetState.h"
#include "app/UnitMain.h"
#include "device/MessageBus.h"
#include "device/UnitCorvastelDevice.h"
#include "platform/ble/fake/FakeBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

namespace {
using namespace std::chrono_literals;
using vdongle::TDongleConfig;
using vdongle::TDongleIdentity;

QString Utf8(const char* text) {
    return QString::fromUtf8(text);
}

// Answers every modal message box as the user would (OK), keeping its text.
class TMessageBoxAnswerer {
  public:
    TMessageBoxAnswerer() {
        FTimer.setInterval(5);
        QObject::connect(&FTimer, &QTimer::timeout, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                Texts.push_back(box->text());
                Titles.push_back(box->windowTitle());
                Formats.push_back(box->textFormat());
                box->accept();
            }
        });
        FTimer.start();
    }
    std::vector<QString> Texts;
    std::vector<QString> Titles;
    std::vector<Qt::TextFormat> Formats;

  private:
    QTimer FTimer;
};

struct TConnectionFixture : testing::Test {
    TFakeBluetoothLEManager ble;
    std::shared_ptr<TFakeHookPlatform> hooks = std::make_shared<TFakeHookPlatform>();
    TMessageBoxAnswerer boxes;
    std::vector<QString> errors;
    TGeneralErrorReporter previousReporter;
    std::vector<std::unique_ptr<TGateDevice>> gates;  // outlive the window: its sessions hold them
    std::unique_ptr<TFormCorvastelPc> window;
    std::vector<int> progress;

    void SetUp() override {
        ResetInputStateForTests();
        previousReporter =
            InstallGeneralErrorReporter([this](const QString& text) { errors.push_back(text); });
        window = std::make_unique<TFormCorvastelPc>(ble, hooks);
        QObject::connect(window->ProgressBar1, &QProgressBar::valueChanged,
                         [this](int value) { progress.push_back(value); });
    }
    void TearDown() override {
        window.reset();
        SetGeneralErrorReporter(previousReporter);
        ResetInputStateForTests();
    }

    // Lists a device as a scan does: a found slot and its list item, image 0.
    // advertised: the name its scan heard (the fake central's device learns it only once connected).
    int List(TBluetoothLEDevice& device, const std::string& advertised = {}) {
        const int k = window->FoundDeviceCount++;
        window->FoundDevices[k] = &device;
        // Captioned as a scan captions a dongle without a nickname.
        auto* item = new QListWidgetItem(
            DongleName({}, advertised.empty() ? device.DeviceName() : advertised, device.Identifier()),
            window->DeviceListView);
        window->SetDeviceImage(item, DeviceImageFound);
        return k;
    }
    TGateDevice& AddGate(const std::string& address, const std::string& name, TGateDevice::TOutcome outcome,
                         bool open) {
        gates.push_back(std::make_unique<TGateDevice>(address, name, outcome, open));
        List(*gates.back());
        return *gates.back();
    }
    // A virtual dongle in range, listed; returns its slot.
    int AddDongle(const std::string& address, const std::string& firmware = "1.1.9",
                  TDongleIdentity identity = vdongle::Identity0451_16B4, bool answersIdentity = true) {
        TDongleConfig config =
            TDongleConfig::Standard("Corvastel-" + address.substr(15), address, firmware, identity);
        config.answersIdentity = answersIdentity;
        ble.AddDongle(config);
        return List(ble.Device(address), config.name);
    }
    std::shared_ptr<vdongle::TVirtualDongle> Dongle(int k) {
        return ble.Radio().Find(window->FoundDevices[k]->Address());
    }
    std::string Address(int k) const { return window->FoundDevices[k]->Address(); }

    void Click(int k) {
        window->SelectedDevice = k;
        window->BtnConnectClick(window->BtnConnect);
    }
    int Image(int k) const { return ItemImageIndex(window->DeviceListView->item(k)); }
    QStringList Log() const { return window->Memo2->toPlainText().split('\n', Qt::SkipEmptyParts); }
    // Connects slot k and waits until the window shows it connected.
    void Connect(int k) {
        Click(k);
        ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }))
            << Address(k) << " never connected";
    }
    // Lets every queued completion, notification and event run through to the window.
    void Settle() {
        ASSERT_TRUE(ble.WaitIdle());
        WaitFor([] { return false; }, 50);
    }
    // The report writes a dongle received (identity requests on 0xF80F left out).
    static std::vector<vdongle::TBytes> Reports(const vdongle::TVirtualDongle& dongle, size_t from = 0) {
        std::vector<vdongle::TBytes> out;
        const auto writes = dongle.Writes();
        for (size_t i = from; i < writes.size(); ++i) {
            if (writes[i].characteristic == vdongle::uuid::Reports ||
                writes[i].characteristic == vdongle::uuid::MouseReports) {
                out.push_back(writes[i].bytes);
            }
        }
        return out;
    }
    static TUSBDeviceID UsbId(const TDongleIdentity& id) { return {id.vid, id.pid, id.ver}; }
};

std::vector<vdongle::TBytes> AllReleased(const TUSBDeviceID& id) {
    std::vector<vdongle::TBytes> out;
    for (TReportType type : {TReportType::KeyboardIn, TReportType::Mouse}) {
        const THidReport report = GetEmptyHidReport(id, type);
        out.emplace_back(report.begin(), report.end());
    }
    return out;
}
}  // namespace

TEST_F(TConnectionFixture, Connect_NormalConnection_ProgressImagesLogAndButtonPerIdentity) {
    struct TRow {
        const char* Firmware;
        TDongleIdentity Identity;
        TUSBDeviceID Expected;  // what the window takes the dongle for
        const char* IdentityLine;
        const char* Version;
    };
    const TRow rows[] = {
        // Older firmware is not asked: the default identity.
        {"1.1.9", vdongle::Identity0451_16B4, {0x0451, 0x16B4, 0}, " - vid:0451  pid:16B4  ver:0", "v0"},
        {"1.2.0", {0x0451, 0xE010, 1}, {0x0451, 0xE010, 1}, " - vid:0451  pid:E010  ver:1", "v1"},
        // The version in hexadecimal in the log, in decimal on the label.
        {"2.0.0", {0x4348, 0xE010, 10}, {0x4348, 0xE010, 10}, " - vid:4348  pid:E010  ver:A", "v10"},
    };
    int n = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Firmware);
        const int k = AddDongle("C0:FF:EE:00:00:1" + std::to_string(n++), row.Firmware, row.Identity);
        window->ProgressBar1->setValue(50);
        progress.clear();

        Click(k);
        EXPECT_EQ(Image(k), DeviceImageConnecting);
        EXPECT_EQ(window->BtnConnect->text(), Utf8("断开连接(&C)"));
        EXPECT_TRUE(window->BtnConnect->isEnabled()) << "the connection can be cancelled from the click on";
        EXPECT_FALSE(window->ProgressBar1->isHidden());
        EXPECT_EQ(window->SessionCount, k + 1) << "in the table from the click on";

        ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }));
        EXPECT_EQ(progress, (std::vector<int>{0, 20, 40, 60, 80, 100}));
        const std::string prefix = "Corvastel-" + Address(k);
        const QStringList log = Log();
        ASSERT_GE(log.size(), 4);
        EXPECT_EQ(log.mid(log.size() - 4),
                  QStringList({QString::fromStdString(prefix + " - Service - 180A"),
                               QString::fromStdString(prefix + " - Service - F800"),
                               QString::fromStdString(prefix + " - firmware:" + row.Firmware),
                               QString::fromStdString(prefix + row.IdentityLine)}));
        EXPECT_TRUE(window->BtnConnect->isEnabled());
        EXPECT_EQ(window->BtnConnect->text(), Utf8("断开连接(&C)"));
        EXPECT_EQ(window->lbFirmware->text(), row.Firmware);
        EXPECT_EQ(window->lbVer->text(), row.Version);

        // The dongle starts from nothing held: its first reports are the all-released ones.
        ASSERT_TRUE(WaitFor([&] { return Reports(*Dongle(k)).size() == 2; }));
        EXPECT_EQ(Reports(*Dongle(k)), AllReleased(row.Expected));
        EXPECT_FALSE(Dongle(k)->Target().AnyInputHeld());
    }
    EXPECT_TRUE(errors.empty());
}

// Each way a setup can go wrong ends the same: the user is told which dongle failed at which step
// and why, the link is closed, nothing was sent, and the dongle is listed as found, ready for
// another try.
TEST_F(TConnectionFixture, SetupFailures_AreReportedAndTheDongleIsFoundAgain) {
    struct TRow {
        const char* Name;
        std::function<void(TDongleConfig&)> Edit;
        const char* Step;    // the step in the message
        const char* Detail;  // a further line kept from the technical error, or null
    };
    const auto firmware = [](const char* text) {
        return [text](TDongleConfig& c) { c.SetText(vdongle::uuid::Firmware, text); };
    };
    const auto reply = [](vdongle::TBytes bytes) {
        return [bytes](TDongleConfig& c) { c.identityReply = bytes; };
    };
    const TRow rows[] = {
        {"firmware V1.2.0", firmware("V1.2.0"), "while checking its firmware version",
         "'V1' is not a valid integer value"},
        {"firmware 99999999999.1.0", firmware("99999999999.1.0"), "while checking its firmware version",
         "'99999999999' is not a valid integer value"},
        {"firmware 1..0", firmware("1..0"), "while checking its firmware version",
         "'' is not a valid integer value"},
        {"read fails", [](TDongleConfig& c) { c.failingReads = {vdongle::uuid::SerialNumber}; },
         "while reading its Device Information", nullptr},
        {"short identity reply", reply({0xA1, 0x51}), "while asking which USB identity it presents", nullptr},
        {"other first byte", reply({0xB1, 0x51, 0x04, 0xB4, 0x16, 0x00}), "while asking which USB identity",
         nullptr},
        {"all zeros", reply({0, 0, 0, 0, 0, 0}), "while asking which USB identity", nullptr},
        {"unknown identity",
         [](TDongleConfig& c) {
             c.identity = {0x1234, 0x5678, 1};
         },
         "presents the USB identity 1234:5678", nullptr},
        {"never answers", [](TDongleConfig& c) { c.answersIdentity = false; },
         "while asking which USB identity it presents: the dongle did not answer", nullptr},
    };
    window->SetupBound = 300ms;  // the product waits 10 s
    int n = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        errors.clear();
        const std::string address = "C0:FF:EE:00:02:" + std::to_string(10 + n++);
        TDongleConfig config = TDongleConfig::Standard("Corvastel-Hostile", address, "1.2.0");
        row.Edit(config);
        ble.AddDongle(config);
        const int k = List(ble.Device(address), config.name);

        Click(k);
        ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }, 5000));
        ASSERT_EQ(errors.size(), 1u);
        const std::string text = errors[0].toStdString();
        EXPECT_NE(text.find("Could not connect to Corvastel-Hostile (" + address + ")"), std::string::npos)
            << text;
        EXPECT_NE(text.find(row.Step), std::string::npos) << text;
        if (row.Detail != nullptr) {
            EXPECT_TRUE(errors[0].endsWith(QString::fromUtf8("\n") + row.Detail)) << text;
        }
        EXPECT_EQ(window->SessionCount, 0);
        EXPECT_EQ(Image(k), DeviceImageFound);
        EXPECT_EQ(window->BtnConnect->text(), Utf8("连接(&C)"));
        EXPECT_TRUE(window->BtnConnect->isEnabled());
        Settle();
        EXPECT_FALSE(Dongle(k)->Connected()) << "the link is closed";
        EXPECT_TRUE(Reports(*Dongle(k)).empty()) << "nothing was sent";
        EXPECT_EQ(errors.size(), 1u) << "reported once";
    }
}

// Two setups stall in the same tick of the watch: the first one's box runs an event loop in which
// the second fails by itself and is destroyed. The watch must not end it again afterwards (it is
// gone), and each setup is reported exactly once.
TEST_F(TConnectionFixture, SetupWatch_ASetupThatGoesWhileAnotherOnesBoxIsOpenIsLeftAlone) {
    TGateDevice& first =
        AddGate("C0:FF:EE:00:00:07", "Corvastel-First", TGateDevice::TOutcome::Refuse, false);
    TGateDevice& second =
        AddGate("C0:FF:EE:00:00:08", "Corvastel-Second", TGateDevice::TOutcome::Refuse, false);
    window->SetupBound = 300ms;
    bool boxRan = false;
    InstallGeneralErrorReporter([&](const QString& text) {
        errors.push_back(text);
        if (boxRan) {
            return;
        }
        boxRan = true;
        // The box's own loop: the second connect fails meanwhile, and its worker ends.
        second.Open();
        EXPECT_TRUE(WaitFor([&] { return second.Returned == 1 && window->SessionCount == 0; }));
        WaitFor([] { return false; }, 100);
    });
    Click(0);
    Click(1);
    ASSERT_TRUE(first.WaitEntered());
    ASSERT_TRUE(second.WaitEntered());
    ASSERT_TRUE(WaitFor([&] { return errors.size() >= 2 && window->SessionCount == 0; }, 5000));
    Settle();
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_TRUE(errors[0].contains("C0:FF:EE:00:00:07") && errors[0].contains("did not answer"))
        << errors[0].toStdString();
    EXPECT_TRUE(errors[1].contains("C0:FF:EE:00:00:08")) << errors[1].toStdString();
    EXPECT_TRUE(boxes.Texts.empty()) << boxes.Texts[0].toStdString();
    EXPECT_EQ(Image(0), DeviceImageFound);
    EXPECT_EQ(Image(1), DeviceImageFound);
}

// The backend's own connect time-out and the setup bound run out together: the user gets one box
// for the one setup, whichever is handled first.
TEST_F(TConnectionFixture, SetupWatch_TheBackendsTimeOutAndTheBoundTogetherMakeOneBox) {
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    window->SetupBound = 300ms;
    Click(0);
    ASSERT_TRUE(gate.WaitEntered());
    // Nothing runs on the window's thread meanwhile: by the time it looks, the bound has passed
    // and the backend has given up too.
    std::this_thread::sleep_for(400ms);
    gate.Open();
    for (int i = 0; i < 500 && gate.Returned == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    std::this_thread::sleep_for(20ms);
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    Settle();
    WaitFor([] { return false; }, 300);
    EXPECT_EQ(errors.size() + boxes.Texts.size(), 1u)
        << (errors.empty() ? std::string() : errors[0].toStdString()) << " / "
        << (boxes.Texts.empty() ? std::string() : boxes.Texts[0].toStdString());
    EXPECT_EQ(Image(0), DeviceImageFound);
}

TEST_F(TConnectionFixture, ConnectionBeingSetUp_TheButtonCancelsItAtOnce) {
    // A dongle that never answers its identity request (stuck at 80 %), and one that never
    // finishes connecting (the worker waits inside service discovery).
    const int silent = AddDongle("C0:FF:EE:00:00:01", "1.2.0", vdongle::Identity0451_16B4, false);
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    const int gated = 1;

    Click(silent);
    ASSERT_TRUE(WaitFor([&] { return window->ProgressBar1->value() == 80; }));
    Settle();
    ASSERT_TRUE(window->BtnConnect->isEnabled());
    EXPECT_EQ(window->BtnConnect->text(), Utf8("断开连接(&C)"));
    Click(silent);
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(Image(silent), DeviceImageFound);
    EXPECT_EQ(window->BtnConnect->text(), Utf8("连接(&C)"));
    EXPECT_TRUE(window->BtnConnect->isEnabled());
    Settle();
    EXPECT_FALSE(Dongle(silent)->Connected());

    Click(gated);
    ASSERT_TRUE(gate.WaitEntered());
    EXPECT_TRUE(window->BtnConnect->isEnabled());
    Click(gated);
    EXPECT_EQ(gate.Disconnects.load(), 1) << "the pending connect is cut short";
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(Image(gated), DeviceImageFound);
    ASSERT_TRUE(WaitFor([&] { return gate.Returned == 1; }));
    WaitFor([] { return false; }, 50);
    EXPECT_TRUE(boxes.Texts.empty()) << "a cancelled connection has nothing to report";
    EXPECT_TRUE(errors.empty());

    EXPECT_EQ(gate.Entered(), 1) << "no second connection was started";

    // Connecting again starts a new setup.
    Click(silent);
    EXPECT_EQ(window->SessionCount, 1);
    EXPECT_EQ(Image(silent), DeviceImageConnecting);
    EXPECT_TRUE(WaitFor([&] { return Dongle(silent)->Connected(); }));
}

// An event the given-up session posted arrives after a new session on the same dongle took its place
// (here even its memory, as the allocator may hand it out again): it is not the new session's, and
// the new setup goes on untouched.
TEST_F(TConnectionFixture, StaleEventAfterAGiveUp_IsNotTakenForTheNextSessionOnTheDongle) {
    const int silent = AddDongle("C0:FF:EE:00:00:01", "1.2.0", vdongle::Identity0451_16B4, false);
    Click(silent);
    ASSERT_TRUE(WaitFor([&] { return window->ProgressBar1->value() == 80; }));
    Settle();
    const TSessionHandle givenUp = window->HandleOf(window->Sessions[0]);
    ASSERT_NE(givenUp.Serial, 0u);
    Click(silent);  // the user cancels the setup
    ASSERT_EQ(window->SessionCount, 0);

    Click(silent);
    ASSERT_TRUE(WaitFor([&] { return window->ProgressBar1->value() == 80; }));
    Settle();
    ASSERT_EQ(window->SessionCount, 1);
    TCorvastelDevice* next = window->Sessions[0];
    ASSERT_NE(window->HandleOf(next).Serial, givenUp.Serial);

    TMessageManager::DefaultManager().SendMessage(
        nullptr, TBleDeviceMessage{DeviceDisconnected, next, Address(silent), 0, givenUp.Serial});
    Settle();
    EXPECT_EQ(window->SessionCount, 1);
    EXPECT_EQ(window->Sessions[0], next);
    EXPECT_EQ(Image(silent), DeviceImageConnecting);
    EXPECT_TRUE(boxes.Texts.empty()) << boxes.Texts.front().toStdString();
    EXPECT_TRUE(errors.empty());
}

// The status bar says what the user started until it ends, however it ends: a connect that hangs
// and fails, one that succeeds, a disconnect. The guide from the scan does not stand in for it.
TEST_F(TConnectionFixture, ProgressNotice_NamesWhatIsBeingConnectedOrDisconnectedUntilItEnds) {
    const auto progress = [&] { return window->NoticeText(TNotice::Progress); };
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    const int k = AddDongle("C0:FF:EE:00:00:01");
    EXPECT_EQ(progress(), QString());

    Click(0);
    ASSERT_TRUE(gate.WaitEntered());
    EXPECT_EQ(progress(), QStringLiteral("Connecting to Corvastel-Gate\u2026"));
    Click(k);
    EXPECT_EQ(progress(), QStringLiteral("Connecting to Corvastel-Gate, Corvastel-01\u2026"));
    EXPECT_TRUE(window->StatusBar1->PanelText(0).startsWith(QStringLiteral("Connecting to")))
        << window->StatusBar1->PanelText(0).toStdString();
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }));
    EXPECT_EQ(progress(), QStringLiteral("Connecting to Corvastel-Gate\u2026"));

    gate.Open();  // the connect fails: said in its box, and the notice goes
    ASSERT_TRUE(WaitFor([&] { return !errors.empty(); }));
    EXPECT_TRUE(
        errors[0].startsWith(QStringLiteral("Could not connect to Corvastel-Gate (C0:FF:EE:00:00:07)")))
        << errors[0].toStdString();
    EXPECT_EQ(progress(), QString());

    Click(k);
    EXPECT_EQ(progress(), QStringLiteral("Disconnecting Corvastel-01\u2026"));
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageFound; }));
    EXPECT_EQ(progress(), QString());
}

// After Alt+C the list has the focus again: the arrow keys pick the next dongle and the next Alt+C
// connects that one, instead of acting on the first again.
TEST_F(TConnectionFixture, AltC_LeavesTheFocusOnTheListForTheNextDongle) {
    const int a = AddDongle("C0:FF:EE:00:00:01");
    const int b = AddDongle("C0:FF:EE:00:00:02");
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->DeviceListView->setCurrentRow(a);
    window->BtnConnect->setFocus();

    QTest::keyClick(window->BtnConnect, Qt::Key_C, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([&] { return Image(a) == DeviceImageConnected; }));
    EXPECT_EQ(QApplication::focusWidget(), window->DeviceListView);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Right);  // the icons run left to right
    ASSERT_EQ(window->SelectedDevice, b);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_C, Qt::AltModifier);
    ASSERT_TRUE(WaitFor([&] { return Image(b) == DeviceImageConnected; }));
    EXPECT_EQ(Image(a), DeviceImageConnected) << "the second Alt+C acted on the next dongle";
}

// A long name shows elided at a letter's end, never cut through one, and whole in the tooltip.
TEST_F(TConnectionFixture, LongName_IsElidedAtALetterAndWholeInTheTooltip) {
    const QString name = QString::fromUtf8("Corvastel-书房电脑书房电脑书房电脑书房电脑😀😀😀😀😀😀😀😀");
    AddGate("C0:FF:EE:00:00:09", name.toStdString(), TGateDevice::TOutcome::Refuse, true);
    const int k = window->FoundDeviceCount - 1;
    window->show();
    window->DeviceListView->setCurrentRow(k);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    TElidedLabel* label = window->lbName;
    EXPECT_EQ(label->text(), name);
    ASSERT_TRUE(label->Elided());
    const QString shown = label->ShownText();
    ASSERT_TRUE(shown.endsWith(QChar(0x2026))) << shown.toStdString();
    const QString kept = shown.chopped(1);
    EXPECT_TRUE(name.startsWith(kept)) << shown.toStdString();
    EXPECT_FALSE(kept.back().isHighSurrogate()) << "cut through a letter";
    EXPECT_LE(label->fontMetrics().horizontalAdvance(shown), label->contentsRect().width());

    QHelpEvent help(QEvent::ToolTip, QPoint(2, 2), label->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(label, &help);
    EXPECT_TRUE(QToolTip::text().contains(name)) << QToolTip::text().toStdString();
}

TEST_F(TConnectionFixture, Code4_ForAnUnselectedDongleAgain_RepeatsLogAndImageButLeavesLabels) {
    const int a = AddDongle("C0:FF:EE:00:00:01", "1.2.0", {0x0451, 0xE010, 1});
    const int b = AddDongle("C0:FF:EE:00:00:02");
    Connect(a);
    ASSERT_TRUE(WaitFor([&] { return Reports(*Dongle(a)).size() == 2; }));

    // The user moved on to the other dongle.
    window->SelectedDevice = b;
    window->BtnConnect->setEnabled(false);
    window->lbFirmware->setText("other");
    window->lbVer->setText("v7");
    const int identityLines = static_cast<int>(Log().filter(" - vid:").size());

    ASSERT_TRUE(Dongle(a)->NotifyIdentity());  // unasked: a second code 4 for the same session
    ASSERT_TRUE(WaitFor([&] { return Log().filter(" - vid:").size() == identityLines + 1; }));
    EXPECT_EQ(Log().last(),
              QString::fromStdString("Corvastel-" + Address(a) + " - vid:0451  pid:E010  ver:1"));
    EXPECT_TRUE(window->BtnConnect->isEnabled());
    EXPECT_EQ(Image(a), DeviceImageConnected);
    EXPECT_EQ(Image(b), DeviceImageFound);
    EXPECT_EQ(window->lbFirmware->text(), "other");
    EXPECT_EQ(window->lbVer->text(), "v7");
    Settle();
    EXPECT_EQ(Reports(*Dongle(a)).size(), 2u) << "the all-released reports go out once per session";
}

TEST_F(TConnectionFixture, DisconnectClick_ThenItsDisconnect_BackToFound) {
    const int k = AddDongle("C0:FF:EE:00:00:01");
    Connect(k);
    ASSERT_EQ(window->SessionCount, 1);

    Click(k);
    EXPECT_TRUE(window->ProgressBar1->isHidden());
    EXPECT_EQ(Image(k), DeviceImageDisconnecting);
    EXPECT_FALSE(window->BtnConnect->isEnabled());

    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageFound; }));
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(window->Sessions[0], nullptr);
    EXPECT_TRUE(window->lbFirmware->text().isEmpty());
    EXPECT_TRUE(window->lbVer->text().isEmpty());
    EXPECT_EQ(window->BtnConnect->text(), Utf8("连接(&C)"));
    EXPECT_TRUE(window->BtnConnect->isEnabled());
    EXPECT_EQ(Log().last(), QString::fromStdString("BleDevice-" + Address(k) + " - Disconnect"));
}

TEST_F(TConnectionFixture, ThreeSessions_MiddleDropsWithKeyHeld_OthersKeepOrderAndKeys_ItComesBackReleased) {
    const int a = AddDongle("C0:FF:EE:00:00:01");
    const int b = AddDongle("C0:FF:EE:00:00:02");
    const int c = AddDongle("C0:FF:EE:00:00:03");
    for (int k : {a, b, c}) {
        Connect(k);
    }
    ASSERT_EQ(window->SessionCount, 3);
    Settle();

    ASSERT_TRUE(AddPressedKey(4));  // 'a' held
    window->SendReportToActive(TReportType::KeyboardIn, false);
    for (int k : {a, b, c}) {
        ASSERT_TRUE(WaitFor([&] { return Dongle(k)->Target().keysHeld == std::vector<uint8_t>{4}; })) << k;
    }
    const size_t writesA = Dongle(a)->Writes().size();
    const size_t writesC = Dongle(c)->Writes().size();

    Dongle(b)->DropLink();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 2; }));
    EXPECT_EQ(window->Sessions[0]->Device->Address(), Address(a));
    EXPECT_EQ(window->Sessions[1]->Device->Address(), Address(c));
    EXPECT_EQ(window->Sessions[2], nullptr);
    EXPECT_EQ(Image(b), DeviceImageConnecting) << "it is being brought back";
    EXPECT_TRUE(window->Reconnect.Scheduled(Address(b)));
    Settle();
    for (int k : {a, c}) {
        EXPECT_EQ(Dongle(k)->Target().keysHeld, std::vector<uint8_t>{4}) << "still held on the others";
    }
    EXPECT_EQ(Dongle(a)->Writes().size(), writesA);
    EXPECT_EQ(Dongle(c)->Writes().size(), writesC);

    // Back in range with the key still down on its target: it is released before anything else.
    const size_t before = Dongle(b)->Writes().size();
    window->ReconnectClock = [] { return TReconnectPolicy::TClock::now() + std::chrono::hours(1); };
    window->ReconnectDue();
    ASSERT_TRUE(WaitFor([&] { return Image(b) == DeviceImageConnected; }));
    ASSERT_TRUE(WaitFor([&] { return Reports(*Dongle(b), before).size() == 2; }));
    EXPECT_EQ(Reports(*Dongle(b), before), AllReleased(UsbId(vdongle::Identity0451_16B4)));
    EXPECT_FALSE(Dongle(b)->Target().AnyKeyHeld());
    EXPECT_EQ(window->Sessions[2]->Device->Address(), Address(b)) << "appended at the end";

    window->SendReportToActive(TReportType::KeyboardIn, false);
    for (int k : {a, b, c}) {
        EXPECT_TRUE(WaitFor([&] { return Dongle(k)->Target().keysHeld == std::vector<uint8_t>{4}; })) << k;
    }
}

TEST_F(TConnectionFixture, Click_NothingSelected_EndsTheScanAndOnlyDisables) {
    AddDongle("C0:FF:EE:00:00:01");
    ASSERT_TRUE(ble.StartDiscovery(3000, {TBluetoothUuid::FromShort(0xF800)}));
    window->Scanning = true;
    window->Timer1->start();
    window->BtnConnect->setEnabled(true);

    Click(-1);
    EXPECT_FALSE(window->Timer1->isActive());
    EXPECT_FALSE(ble.Scanning());
    EXPECT_FALSE(window->BtnConnect->isEnabled());
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(Image(0), DeviceImageFound);
    Settle();
    EXPECT_EQ(Dongle(0)->ConnectCount(), 0);
}

TEST_F(TConnectionFixture, SendReportToActive_ReachesOnlyActiveSessions_MouseMotionReachesEveryOne) {
    const int idle =
        AddDongle("C0:FF:EE:00:00:01", "1.2.0", vdongle::Identity0451_16B4, false);  // never answers
    const int plain = AddDongle("C0:FF:EE:00:00:02", "2.0.0", vdongle::Identity4348_E010);
    const int framed = AddDongle("C0:FF:EE:00:00:03");
    Click(idle);
    ASSERT_TRUE(WaitFor([&] { return Log().size() == 3; }));

    // Only an inactive session: nothing is sent, and the motion waits.
    ASSERT_TRUE(AddPressedKey(4));
    SetMouseItem(MouseCodeX, 30);
    SetMouseItem(MouseCodeY, -7);
    window->SendReportToActive(TReportType::KeyboardIn, false);
    window->SendReportToActive(TReportType::Mouse, false);
    Settle();
    EXPECT_TRUE(Reports(*Dongle(idle)).empty());

    Connect(plain);
    Connect(framed);
    Settle();
    window->SendReportToActive(TReportType::KeyboardIn, false);
    window->SendReportToActive(TReportType::Mouse, false);
    for (int k : {plain, framed}) {
        SCOPED_TRACE(k);
        ASSERT_TRUE(WaitFor([&] { return Dongle(k)->Target().mouseReports == 2; }));  // released, then moved
        const vdongle::TVirtualTarget target = Dongle(k)->Target();
        EXPECT_EQ(target.keysHeld, std::vector<uint8_t>{4});
        EXPECT_EQ(target.pointerX, 30) << "every dongle gets the same motion";
        EXPECT_EQ(target.pointerY, -7);
        EXPECT_EQ(target.rejectedReports, 0);
    }
    EXPECT_TRUE(Reports(*Dongle(idle)).empty());

    // The motion was taken once: a second broadcast carries none, and a report that would change
    // nothing on the target is not written.
    window->SendReportToActive(TReportType::Mouse, false);
    Settle();
    for (int k : {plain, framed}) {
        EXPECT_EQ(Dongle(k)->Target().mouseReports, 2);
        EXPECT_EQ(Dongle(k)->Target().pointerX, 30);
    }
    // All released, as pass-through's end sends it.
    window->SendReportToActive(TReportType::KeyboardIn, true);
    for (int k : {plain, framed}) {
        EXPECT_TRUE(WaitFor([&] { return !Dongle(k)->Target().AnyKeyHeld(); }));
    }
}

TEST_F(TConnectionFixture, Connect_66th_IsRefusedWithAMessage) {
    for (int i = 0; i < DeviceSlots; ++i) {
        window->Sessions[i] = new TCorvastelDevice(window.get());
    }
    window->SessionCount = DeviceSlots;
    const int k = AddDongle("C0:FF:EE:00:00:42");

    Click(k);
    ASSERT_EQ(boxes.Texts.size(), 1u);
    EXPECT_TRUE(boxes.Texts[0].contains("65")) << boxes.Texts[0].toStdString();
    EXPECT_EQ(boxes.Titles[0], "CorvastelPcApp");
    EXPECT_EQ(window->SessionCount, DeviceSlots);
    EXPECT_EQ(Image(k), DeviceImageFound);
    EXPECT_EQ(window->BtnConnect->text(), Utf8("连接(&C)"));
    Settle();
    EXPECT_EQ(Dongle(k)->ConnectCount(), 0);
}

TEST_F(TConnectionFixture, DisconnectDuringInitData_LeavesTheTableAtOnceAndLivesUntilTheWorkerEnds) {
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    gate.CutsShort = false;
    const int k = 0;
    Click(k);
    ASSERT_TRUE(gate.WaitEntered());

    gate.DropFromBackend();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    EXPECT_EQ(Image(k), DeviceImageFound);
    EXPECT_TRUE(Log().contains("BleDevice-C0:FF:EE:00:00:07 - Disconnect"));
    // The drop ended the setup, and is said once.
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].contains("Could not connect to Corvastel-Gate (C0:FF:EE:00:00:07)") &&
                errors[0].contains("the link was lost"))
        << errors[0].toStdString();

    // Connecting again while the old worker still holds the device is refused.
    Click(k);
    ASSERT_EQ(boxes.Texts.size(), 1u);
    EXPECT_TRUE(boxes.Texts[0].contains("Corvastel-Gate is still closing")) << boxes.Texts[0].toStdString();
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(gate.Entered(), 1);

    // The discovery returns into the removed session, which must still be alive; its failure is not
    // said again. Then it goes, and the dongle can be connected again.
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return gate.Returned == 1; }));
    WaitFor([] { return false; }, 50);
    EXPECT_EQ(boxes.Texts.size(), 1u);
    EXPECT_EQ(errors.size(), 1u);
    Click(k);
    EXPECT_EQ(window->SessionCount, 1);
    EXPECT_TRUE(gate.WaitEntered(2));
}

TEST_F(TConnectionFixture, InitDataFails_TheUserIsToldAndCanTryAgain) {
    struct TRow {
        TGateDevice::TOutcome Outcome;
        const char* Error;  // the start of the one report
    };
    const TRow rows[] = {
        {TGateDevice::TOutcome::Refuse,
         "Could not connect to Corvastel-Gate (C0:FF:EE:00:00:00) while connecting and finding its services: "
         "the dongle could not be reached"},
        {TGateDevice::TOutcome::Throw,
         "Could not connect to Corvastel-Gate: the Bluetooth adapter went away.\nThe dongle is listed as "
         "found "
         "again"},
    };
    int k = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Error);
        boxes.Texts.clear();
        errors.clear();
        AddGate("C0:FF:EE:00:00:0" + std::to_string(k), "Corvastel-Gate", row.Outcome, true);
        Click(k);
        ASSERT_TRUE(WaitFor([&] { return !boxes.Texts.empty() || !errors.empty(); }));
        WaitFor([] { return false; }, 50);
        EXPECT_TRUE(boxes.Texts.empty());
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_TRUE(errors[0].startsWith(QString::fromUtf8(row.Error))) << errors[0].toStdString();
        // No link came up, so no disconnect will ever follow: the dongle is shown as found again and
        // can be connected once more.
        ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
        EXPECT_EQ(Image(k), DeviceImageFound);
        EXPECT_EQ(window->BtnConnect->text(), ConnectCaptions[0]);
        EXPECT_TRUE(window->BtnConnect->isEnabled());
        ++k;
    }
}

TEST_F(TConnectionFixture, Destroy_WithWorkersStillRunning_EndsWithoutWaitingOutTheConnect) {
    // One worker blocked in discovery, one whose failure is still queued for the window.
    TGateDevice& blocked =
        AddGate("C0:FF:EE:00:00:07", "Corvastel-Blocked", TGateDevice::TOutcome::Refuse, false);
    TGateDevice& refused =
        AddGate("C0:FF:EE:00:00:08", "Corvastel-Refused", TGateDevice::TOutcome::Refuse, true);
    Click(0);
    Click(1);
    ASSERT_TRUE(blocked.WaitEntered());
    for (int i = 0; i < 500 && refused.Returned == 0; ++i) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(refused.Returned.load(), 1);
    std::this_thread::sleep_for(20ms);  // its failure posted, which this thread never takes

    const auto start = std::chrono::steady_clock::now();
    window.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(blocked.Disconnects.load(), 1) << "the pending connect is cut short";
    EXPECT_TRUE(boxes.Texts.empty());
}

namespace {
// What a label or tooltip shows for a text in a format: markup rendered, or the characters.
QString Rendered(const QString& text, Qt::TextFormat format) {
    if (format == Qt::PlainText || (format == Qt::AutoText && !Qt::mightBeRichText(text))) {
        return text;
    }
    QTextDocument document;
    document.setHtml(text);
    return document.toPlainText();
}
}  // namespace

// A dongle's name and firmware text that look like markup are shown as the characters they are made
// of: in the labels, in a message box and in the status bar's tooltip (none loads an image).
TEST_F(TConnectionFixture, PeerTextThatLooksLikeMarkup_IsShownAsText) {
    const struct {
        const char* Name;
        const char* Firmware;  // without dots: older firmware, connected with the default identity
    } rows[] = {
        {"<h1 style=\"color:red\">Corvastel</h1>", "<h1 style=\"color:red\">x</h1>"},
        {"Corvastel<img src=\"/usr/share/pixmaps/debian-logo.png\">", "<img src=\"file:///etc/x.png\">"},
        {"<b>Corvastel</b>&amp;", "<a href=\"http://example.invalid\">fw</a>"},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name);
        const std::string address = "C0:FF:EE:00:03:1" + std::to_string(n++);
        ble.AddDongle(TDongleConfig::Standard(row.Name, address, row.Firmware));
        const int k = List(ble.Device(address), row.Name);
        Connect(k);
        EXPECT_EQ(Rendered(window->lbFirmware->text(), window->lbFirmware->textFormat()),
                  QString::fromUtf8(row.Firmware));
        window->DeviceListView->setCurrentRow(k);  // the name as the selection shows it
        EXPECT_EQ(Rendered(window->lbName->text(), window->lbName->textFormat()),
                  QString::fromUtf8(row.Name));

        boxes.Texts.clear();
        ShowErrorMessage(QString::fromUtf8(row.Name));
        ASSERT_EQ(boxes.Texts.size(), 1u);
        EXPECT_EQ(Rendered(boxes.Texts[0], boxes.Formats[0]), QString::fromUtf8(row.Name));

        window->SetNotice(TNotice::LinkLost, QString::fromUtf8(row.Name));
        const QLabel* panel = window->StatusBar1->findChildren<QLabel*>().value(0);
        ASSERT_NE(panel, nullptr);
        // The tooltip lists every notice, this one first (the route's follows it).
        EXPECT_EQ(Rendered(panel->toolTip(), Qt::AutoText).section(QLatin1Char('\n'), 0, 0),
                  QString::fromUtf8(row.Name));
        window->SetNotice(TNotice::LinkLost, {});
    }
}
