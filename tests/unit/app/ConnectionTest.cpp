// Connecting and disconnecting dongles from the window, the device events it handles, and the
// report broadcast to the active sessions, over the in-process fake central and virtual dongles.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "QtTestEnvironment.h"
#include "StubDevice.h"
#include "app/CorvastelApplication.h"
#include "app/UnitMain.h"
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
                box->accept();
            }
        });
        FTimer.start();
    }
    std::vector<QString> Texts;
    std::vector<QString> Titles;

  private:
    QTimer FTimer;
};

// A radio device whose service discovery waits at a gate, then refuses or throws. Disconnect opens the gate,
// as a backend cuts a pending connect short.
class TGateDevice final : public TStubDevice {
  public:
    enum class TOutcome { Refuse, Throw };

    TGateDevice(std::string address, std::string name, TOutcome outcome, bool open)
        : TStubDevice(std::move(address), std::move(name)), FOutcome(outcome), FOpen(open) {}

    bool DiscoverServices() override {
        {
            std::unique_lock lock(FLock);
            ++FEntered;
            FChanged.notify_all();
            FChanged.wait(lock, [this] { return FOpen; });
        }
        ++Returned;
        if (FOutcome == TOutcome::Throw) {
            throw std::runtime_error("the Bluetooth adapter went away");
        }
        return false;
    }
    void Disconnect() override {
        ++Disconnects;
        Open();
    }

    void Open() {
        std::lock_guard lock(FLock);
        FOpen = true;
        FChanged.notify_all();
    }
    bool WaitEntered(int count = 1) {
        std::unique_lock lock(FLock);
        return FChanged.wait_for(lock, 5s, [&] { return FEntered >= count; });
    }
    int Entered() const {
        std::lock_guard lock(FLock);
        return FEntered;
    }
    // The link drop as the backend reports it, from a thread of its own.
    void DropFromBackend() {
        std::thread([this] { RaiseDisconnect(); }).join();
    }

    std::atomic<int> Disconnects{0};
    std::atomic<int> Returned{0};

  private:
    const TOutcome FOutcome;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    bool FOpen;
    int FEntered = 0;
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
    int List(TBluetoothLEDevice& device) {
        const int k = window->FoundDeviceCount++;
        window->FoundDevices[k] = &device;
        auto* item = new QListWidgetItem(QString::fromStdString(device.Identifier()), window->DeviceListView);
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
        return List(ble.Device(address));
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
        EXPECT_FALSE(window->BtnConnect->isEnabled());
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

TEST_F(TConnectionFixture, Code4_IdentityZero_ChangesNothing) {
    const int k = AddDongle("C0:FF:EE:00:00:01", "1.2.0", {0, 0, 0});
    Click(k);
    ASSERT_TRUE(WaitFor([&] { return Log().size() == 3; }));  // two services and the firmware
    ASSERT_TRUE(WaitFor([&] {
        const auto writes = Dongle(k)->Writes();
        return !writes.empty() && writes.back().characteristic == vdongle::uuid::Control;
    })) << "the identity request";
    Settle();
    EXPECT_EQ(Log().size(), 3) << "no identity line";
    EXPECT_EQ(Image(k), DeviceImageConnecting);
    EXPECT_FALSE(window->BtnConnect->isEnabled());
    EXPECT_EQ(window->ProgressBar1->value(), 80);
    EXPECT_TRUE(window->lbVer->text().isEmpty());
    EXPECT_TRUE(Reports(*Dongle(k)).empty());
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
    EXPECT_EQ(Image(b), DeviceImageFound);
    Settle();
    for (int k : {a, c}) {
        EXPECT_EQ(Dongle(k)->Target().keysHeld, std::vector<uint8_t>{4}) << "still held on the others";
    }
    EXPECT_EQ(Dongle(a)->Writes().size(), writesA);
    EXPECT_EQ(Dongle(c)->Writes().size(), writesC);

    // Back in range with the key still down on its target: it is released before anything else.
    const size_t before = Dongle(b)->Writes().size();
    Connect(b);
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

TEST_F(TConnectionFixture, SecondClickWhileSettingUp_DisconnectsInsteadOfASecondSession) {
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    const int k = 0;
    Click(k);
    ASSERT_TRUE(gate.WaitEntered());
    // Selection changed and restored, then a second click on the same dongle.
    window->SelectedDevice = -1;
    Click(k);
    EXPECT_EQ(window->SessionCount, 1);
    EXPECT_EQ(Image(k), DeviceImageDisconnecting);
    EXPECT_EQ(gate.Disconnects.load(), 1);
    ASSERT_TRUE(WaitFor([&] { return !boxes.Texts.empty(); }));  // the refused discovery's message
    EXPECT_EQ(gate.Entered(), 1) << "no second connection was started";
    // The link never came up, so the one session is let go once its worker ends.
    EXPECT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
}

TEST_F(TConnectionFixture, DisconnectDuringInitData_LeavesTheTableAtOnceAndLivesUntilTheWorkerEnds) {
    TGateDevice& gate = AddGate("C0:FF:EE:00:00:07", "Corvastel-Gate", TGateDevice::TOutcome::Refuse, false);
    const int k = 0;
    Click(k);
    ASSERT_TRUE(gate.WaitEntered());

    gate.DropFromBackend();
    ASSERT_TRUE(WaitFor([&] { return window->SessionCount == 0; }));
    EXPECT_EQ(Image(k), DeviceImageFound);
    EXPECT_EQ(Log().last(), "BleDevice-C0:FF:EE:00:00:07 - Disconnect");

    // Connecting again while the old worker still holds the device is refused.
    Click(k);
    ASSERT_EQ(boxes.Texts.size(), 1u);
    EXPECT_TRUE(boxes.Texts[0].contains("Corvastel-Gate is still closing")) << boxes.Texts[0].toStdString();
    EXPECT_EQ(window->SessionCount, 0);
    EXPECT_EQ(gate.Entered(), 1);

    // The discovery returns into the removed session, which must still be alive to show its message;
    // then it goes, and the dongle can be connected again.
    gate.Open();
    ASSERT_TRUE(WaitFor([&] { return boxes.Texts.size() == 2; }));
    EXPECT_EQ(boxes.Texts[1], "Corvastel-Gate - Service discovery not allowed");
    WaitFor([] { return false; }, 50);
    Click(k);
    EXPECT_EQ(window->SessionCount, 1);
    EXPECT_TRUE(gate.WaitEntered(2));
}

TEST_F(TConnectionFixture, InitDataFails_TheUserIsToldAndCanTryAgain) {
    struct TRow {
        TGateDevice::TOutcome Outcome;
        const char* Box;    // shown by the session through the window, or null
        const char* Error;  // reported to the general error reporting, or null
    };
    const TRow rows[] = {
        {TGateDevice::TOutcome::Refuse, "Corvastel-Gate - Service discovery not allowed", nullptr},
        {TGateDevice::TOutcome::Throw, nullptr,
         "Could not connect to Corvastel-Gate: the Bluetooth adapter went away"},
    };
    int k = 0;
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Box ? row.Box : row.Error);
        boxes.Texts.clear();
        errors.clear();
        AddGate("C0:FF:EE:00:00:0" + std::to_string(k), "Corvastel-Gate", row.Outcome, true);
        Click(k);
        ASSERT_TRUE(WaitFor([&] { return !boxes.Texts.empty() || !errors.empty(); }));
        WaitFor([] { return false; }, 50);
        if (row.Box) {
            ASSERT_EQ(boxes.Texts.size(), 1u);
            EXPECT_EQ(boxes.Texts[0], row.Box);
        } else {
            EXPECT_TRUE(boxes.Texts.empty());
        }
        if (row.Error) {
            ASSERT_EQ(errors.size(), 1u);
            EXPECT_EQ(errors[0], row.Error);
        } else {
            EXPECT_TRUE(errors.empty());
        }
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
    // One worker blocked in discovery, one waiting for its message box to be shown.
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
    std::this_thread::sleep_for(20ms);  // into the wait for the box, which this thread never shows

    const auto start = std::chrono::steady_clock::now();
    window.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_EQ(blocked.Disconnects.load(), 1) << "the pending connect is cut short";
    EXPECT_TRUE(boxes.Texts.empty());
}
