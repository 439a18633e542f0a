// The window connecting dongles through the product's Qt Bluetooth backend: real Qt Bluetooth and
// real D-Bus against the virtual dongle service on a private bus, the window on the offscreen
// platform.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <sys/wait.h>
#include <algorithm>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "app/CorvastelApplication.h"
#include "app/ExitPath.h"
#include "app/TypingSettings.h"
#include "app/UnitMain.h"
#include "layout/SystemLayouts.h"
#include "platform/ble/qt/QtBluetoothLE.h"
#include "platform/hooks/fake/FakeHookPlatform.h"

using namespace std::chrono_literals;

namespace {
const std::string DongleNew = "C0:FF:EE:00:00:0A";  // firmware 1.2.0: asked for its identity
const std::string DongleOld = "C0:FF:EE:00:00:0B";  // firmware 1.1.9: the default identity

// One bus and one application object for the program: Qt keeps its system-bus connection for the
// life of the process.
class TBusEnvironment : public testing::Environment {
  public:
    void SetUp() override {
        // A copy of this program started by a test (ChildOnTheParentsBus) uses the bus it was given.
        if (std::getenv(ChildVariable) == nullptr) {
            std::string error;
            Bus = TPrivateBus::Start(&error);
            if (!Bus) {
                Skip = "no private D-Bus bus (dbus-daemon, scripts/setup-deps): " + error;
                return;
            }
            // Before any Qt D-Bus object exists.
            setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus->Address().c_str(), 1);
        }
        // The version stands in for bluetoothd's answer, so Qt takes its D-Bus LE backend.
        setenv("BLUETOOTH_FORCE_DBUS_LE_VERSION", "5.66", 1);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "app_connection_integration_tests";
        static char* argv[] = {name, nullptr};
        App = std::make_unique<TCorvastelApplication>(argc, argv);
        QDBusConnection::systemBus();
        QCoreApplication::processEvents();
    }
    void TearDown() override {
        App.reset();
        Bus.reset();
    }
    static constexpr char ChildVariable[] = "CORVASTEL_TEST_CHILD";
    static inline std::unique_ptr<TPrivateBus> Bus;
    static inline std::unique_ptr<TCorvastelApplication> App;
    static inline std::string Skip;
};
const auto* const environment = testing::AddGlobalTestEnvironment(new TBusEnvironment);

bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout = 10s) {
    QElapsedTimer timer;
    timer.start();
    while (!done() && timer.elapsed() < timeout.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return done();
}

class TConnectionIntegration : public testing::Test {
  protected:
    void SetUp() override {
        if (!TBusEnvironment::Skip.empty()) {
            GTEST_SKIP() << TBusEnvironment::Skip;
        }
        if (std::getenv(TBusEnvironment::ChildVariable) == nullptr) {
            ASSERT_NO_FATAL_FAILURE(StartService());
        }
        previousReporter = InstallGeneralErrorReporter(
            [this](const QString& text) { Errors.push_back(text.toStdString()); });
        Manager = CreateQtBluetoothLEManager(TQtBluetoothLEOptions{10s});
        ASSERT_EQ(Manager->ConnectionState(), TBluetoothLEManager::Connected);
        Window = std::make_unique<TFormCorvastelPc>(*Manager, std::make_shared<TFakeHookPlatform>());
    }
    void TearDown() override {
        Window.reset();
        Manager.reset();
        if (Service) {
            Service->Stop();
        }
        SetGeneralErrorReporter(previousReporter);
    }

    virtual std::vector<std::string> ServiceArgs() const {
        return {"--dongle",
                "name=Corvastel-New,address=" + DongleNew + ",firmware=1.2.0,identity=0451:E010:1",
                "--dongle", "name=Corvastel-Old,address=" + DongleOld + ",firmware=1.1.9"};
    }
    void StartService() {
        std::vector<std::string> argv{CORVASTEL_VIRTUAL_DONGLES_EXE};
        for (const std::string& arg : ServiceArgs()) {
            argv.push_back(arg);
        }
        std::string error;
        Service = TChildProcess::Start(argv, {}, &error);
        ASSERT_TRUE(Service) << error;
        ASSERT_TRUE(WaitFor([] {
            return QDBusConnection::systemBus().interface()->isServiceRegistered("org.bluez").value();
        })) << "the service did not take org.bluez";
    }
    // Scans until every address is listed.
    void Find(const std::vector<std::string>& addresses) {
        Window->BtnScan->click();
        ASSERT_TRUE(WaitFor(
            [&] {
                return std::all_of(addresses.begin(), addresses.end(),
                                   [&](const std::string& a) { return Slot(a) >= 0; });
            },
            5s))
            << "not all found";
    }
    void ClickConnect(const std::string& address) {
        Window->DeviceListView->setCurrentRow(Slot(address));
        ASSERT_TRUE(Window->BtnConnect->isEnabled());
        Window->BtnConnect->click();
    }

    // The slot the window lists a dongle in, -1 while it is not listed.
    int Slot(const std::string& address) const {
        for (int k = 0; k < Window->FoundDeviceCount; ++k) {
            if (Window->FoundDevices[k]->Address() == address) {
                return k;
            }
        }
        return -1;
    }

    int Image(int k) const { return ItemImageIndex(Window->DeviceListView->item(k)); }
    QStringList Log() const { return Window->Memo2->toPlainText().split('\n', Qt::SkipEmptyParts); }

    static QDBusMessage Control(const QString& method, const QVariantList& args) {
        QDBusMessage call = QDBusMessage::createMethodCall("org.bluez", "/org/corvastel/VirtualDongles",
                                                           "org.corvastel.VirtualDongles.Control", method);
        call.setArguments(args);
        QDBusMessage reply = QDBusConnection::systemBus().call(call, QDBus::Block, 5000);
        EXPECT_NE(reply.type(), QDBusMessage::ErrorMessage) << reply.errorMessage().toStdString();
        return reply;
    }
    static QJsonObject Target(const std::string& address) {
        const QString text =
            Control("Target", {QString::fromStdString(address)}).arguments().value(0).toString();
        return QJsonDocument::fromJson(text.toUtf8()).object();
    }
    static bool Connected(const std::string& address) {
        const QString text = Control("Status", {}).arguments().value(0).toString();
        for (const QJsonValue dongle : QJsonDocument::fromJson(text.toUtf8()).object()["dongles"].toArray()) {
            if (dongle.toObject()["address"].toString().toStdString() == address) {
                return dongle.toObject()["connected"].toBool();
            }
        }
        return false;
    }
    static std::vector<int> KeysHeld(const std::string& address) {
        std::vector<int> keys;
        for (const auto& key : Target(address)["keysHeld"].toArray()) {
            keys.push_back(key.toInt());
        }
        return keys;
    }

    std::unique_ptr<TChildProcess> Service;
    std::vector<std::string> Errors;  // what the general error reporting showed
    TGeneralErrorReporter previousReporter;
    std::unique_ptr<TBluetoothLEManager> Manager;
    std::unique_ptr<TFormCorvastelPc> Window;
};
}  // namespace

TEST_F(TConnectionIntegration, TwoDongles_BecomeActiveWithTheirIdentities_OneDrops) {
    Window->BtnScan->click();
    ASSERT_TRUE(WaitFor([&] { return Slot(DongleNew) >= 0 && Slot(DongleOld) >= 0; }, 5s))
        << "not both found";
    ASSERT_TRUE(Window->Scanning);
    for (const std::string& address : {DongleNew, DongleOld}) {
        const int k = Slot(address);
        Window->DeviceListView->setCurrentRow(k);
        ASSERT_TRUE(Window->BtnConnect->isEnabled());
        Window->BtnConnect->click();
        EXPECT_FALSE(Window->Scanning) << "a connect click ends the scan first";
        ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; })) << address << " never active";
    }
    ASSERT_EQ(Window->SessionCount, 2);
    const QStringList log = Log();
    for (const std::string& line :
         {"Corvastel-" + DongleNew + " - Service - 180A", "Corvastel-" + DongleNew + " - Service - F800",
          "Corvastel-" + DongleNew + " - firmware:1.2.0",
          "Corvastel-" + DongleNew + " - vid:0451  pid:E010  ver:1",
          "Corvastel-" + DongleOld + " - firmware:1.1.9",
          "Corvastel-" + DongleOld + " - vid:0451  pid:16B4  ver:0"}) {
        EXPECT_TRUE(log.contains(QString::fromStdString(line))) << line << "\n"
                                                                << log.join('\n').toStdString();
    }
    EXPECT_EQ(Window->lbFirmware->text(), "1.1.9");  // the selected one
    EXPECT_EQ(Window->lbVer->text(), "v0");

    // A key held reaches both targets, each in its own framing.
    ClearPressedKeys();
    ASSERT_TRUE(AddPressedKey(4));
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    for (const std::string& address : {DongleNew, DongleOld}) {
        EXPECT_TRUE(WaitFor([&] { return KeysHeld(address) == std::vector<int>{4}; }, 5s)) << address;
        EXPECT_EQ(Target(address)["rejectedReports"].toInt(), 0) << address;
    }

    // The first dongle goes out of range.
    Control("DropLink", {QString::fromStdString(DongleNew)});
    ASSERT_TRUE(WaitFor([&] { return Window->SessionCount == 1; }));
    EXPECT_EQ(Window->Sessions[0]->Device->Address(), DongleOld);
    EXPECT_EQ(Image(Slot(DongleNew)), DeviceImageConnecting) << "it is being brought back";
    EXPECT_TRUE(Window->Reconnect.Scheduled(DongleNew));
    EXPECT_EQ(Image(Slot(DongleOld)), DeviceImageConnected);
    EXPECT_EQ(Log().last(), QString::fromStdString("BleDevice-" + DongleNew + " - Disconnect"));
    EXPECT_EQ(KeysHeld(DongleOld), std::vector<int>{4}) << "the other dongle's key stays held";

    RemovePressedKey(4);
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    EXPECT_TRUE(WaitFor([&] { return KeysHeld(DongleOld).empty(); }, 5s));
    ClearPressedKeys();
}

// The stack's process dies during pass-through (bluetoothd crashing or restarted): the link is lost
// as when the dongle drops, and once a stack is back the dongle connects again.
TEST_F(TConnectionIntegration, StackDies_TheLinkIsLost_AndTheDongleConnectsAgainOnceItIsBack) {
    ASSERT_NO_FATAL_FAILURE(Find({DongleOld}));
    const int k = Slot(DongleOld);
    ASSERT_NO_FATAL_FAILURE(ClickConnect(DongleOld));
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }));
    ClearPressedKeys();
    ASSERT_TRUE(AddPressedKey(4));
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitFor([&] { return KeysHeld(DongleOld) == std::vector<int>{4}; }, 5s));

    // Killed outright: nothing of it says goodbye on the bus.
    ASSERT_EQ(kill(Service->Pid(), SIGKILL), 0);
    ASSERT_TRUE(Service->WaitExit(5s));
    EXPECT_TRUE(WaitFor([&] { return Window->SessionCount == 0; }, 5s)) << "still shown connected";
    EXPECT_EQ(Log().last(), QString::fromStdString("BleDevice-" + DongleOld + " - Disconnect"));
    // It went without the user asking: it is being brought back, and the button lets it go.
    EXPECT_EQ(Image(k), DeviceImageConnecting);
    EXPECT_TRUE(Window->Reconnect.Scheduled(DongleOld));
    EXPECT_EQ(Window->BtnConnect->text(), QString::fromUtf8("断开连接(&C)"));
    EXPECT_TRUE(Window->BtnConnect->isEnabled());
    ClearPressedKeys();

    // A new stack knows no dongle until it has heard one: the next try (tries are 1, 2, 4, 8 s
    // apart) looks for it, and brings it back by itself, with no scan by the user.
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_TRUE(WaitFor([&] { return Manager->ConnectionState() == TBluetoothLEManager::Connected; }, 5s));
    ASSERT_TRUE(WaitFor([&] { return Image(Slot(DongleOld)) == DeviceImageConnected; }, 30s))
        << "not connected again";
    EXPECT_FALSE(Window->Reconnect.Scheduled(DongleOld));
    // The new target starts from nothing held and takes keys again.
    ASSERT_TRUE(AddPressedKey(5));
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    EXPECT_TRUE(WaitFor([&] { return KeysHeld(DongleOld) == std::vector<int>{5}; }, 5s));
    ClearPressedKeys();
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    EXPECT_TRUE(WaitFor([&] { return KeysHeld(DongleOld).empty(); }, 5s));
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// The Bluetooth thread is stuck (here: in a scan find's handler, as in a D-Bus call to a stalled
// bluetoothd) while the user works the window: stopping the scan, starting another, and the exit
// chord of pass-through are all handled at once, none waits for that thread.
TEST_F(TConnectionIntegration, BluetoothThreadStuck_TheWindowStopsAndStartsScansAndTheExitChordWorks) {
    auto hooks = std::make_shared<TFakeHookPlatform>();
    Window = std::make_unique<TFormCorvastelPc>(*Manager, hooks);
    std::mutex lock;
    std::condition_variable changed;
    bool blocked = false, released = false, first = true;
    const auto windowsHandler = Manager->OnDiscoverLEDevice;
    Manager->OnDiscoverLEDevice = [&](TBluetoothLEManager& m, TBluetoothLEDevice& d, int rssi,
                                      const TBytes& r) {
        {
            std::unique_lock l(lock);
            if (first) {
                first = false;
                blocked = true;
                changed.notify_all();
                changed.wait(l, [&] { return released; });
            }
        }
        windowsHandler(m, d, rssi, r);
    };
    const auto release = [&] {
        std::lock_guard l(lock);
        released = true;
        changed.notify_all();
    };
    Window->BtnScan->click();
    ASSERT_TRUE(WaitFor(
        [&] {
            std::lock_guard l(lock);
            return blocked;
        },
        10s))
        << "nothing was found";

    // Frees the thread if the window waits for it, so that such a fault fails rather than hangs.
    bool freedByGuard = false;
    std::thread guard([&] {
        std::unique_lock l(lock);
        if (!changed.wait_for(l, 20s, [&] { return released; })) {
            freedByGuard = true;
            released = true;
            changed.notify_all();
        }
    });
    Window->BtnScan->click();  // stops the scan
    EXPECT_FALSE(Window->Scanning);
    Window->BtnScan->click();  // and starts another
    EXPECT_TRUE(Window->Scanning);
    Window->BtnHook->click();
    EXPECT_TRUE(Window->FHook->Active());
    for (const uint32_t scan : {0x1Du, 0x2Au, 0x58u}) {  // Ctrl, Shift, F12
        hooks->Feed(WH_KEYBOARD_LL, WM_KEYDOWN, THookKeyboardRecord{0, scan, 0, 0, 0});
    }
    EXPECT_FALSE(Window->FHook->Active()) << "the exit chord ended pass-through";
    release();
    guard.join();
    EXPECT_FALSE(freedByGuard) << "the window waited for the stuck Bluetooth thread";
    // Free again: the scan asked for last runs and lists the dongles.
    EXPECT_TRUE(WaitFor([&] { return Slot(DongleOld) >= 0; }, 10s));
}

// The adapter is switched off: the scan the window asks for is refused by the Bluetooth thread, and
// the refusal comes back to the window by event: a box saying why, and no scan shown.
TEST_F(TConnectionIntegration, ScanWithTheAdapterOff_RefusedByEvent_TheBoxSaysWhy) {
    Control("SetPowered", {false});
    std::vector<QString> boxes;
    QTimer answerer;
    QObject::connect(&answerer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxes.push_back(box->text());
            box->accept();
        }
    });
    answerer.start(10);
    Window->BtnScan->click();
    ASSERT_TRUE(WaitFor([&] { return !boxes.empty(); }, 5s));
    EXPECT_TRUE(boxes[0].startsWith("The Bluetooth adapter is switched off.")) << boxes[0].toStdString();
    EXPECT_FALSE(Window->Scanning);
    EXPECT_FALSE(Window->ProgressBar1->isVisible());
    EXPECT_EQ(Window->BtnScan->text(), QString::fromUtf8("搜索设备(&S)"));
    Control("SetPowered", {true});
}

// The adapter is switched off while a dongle is connected, through the stack's own Powered property:
// the window says Bluetooth is off (no "reconnecting" while nothing can), and once it is on again the
// dongle is tried at once; the schedule's clock stands still here, so no back-off can bring it.
TEST_F(TConnectionIntegration, AdapterOffWhileConnected_SaidOff_OnAgainTheDongleIsTriedAtOnce) {
    const auto frozen = TReconnectPolicy::TClock::now();
    Window->ReconnectClock = [frozen] { return frozen; };
    ASSERT_NO_FATAL_FAILURE(Find({DongleOld}));
    const int k = Slot(DongleOld);
    ASSERT_NO_FATAL_FAILURE(ClickConnect(DongleOld));
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }));

    Control("SetPowered", {false});
    ASSERT_TRUE(WaitFor([&] { return Window->SessionCount == 0 && Window->RadioDown(); }, 5s));
    EXPECT_TRUE(Window->NoticeText(TNotice::StackProblem).startsWith("Bluetooth is off"))
        << Window->NoticeText(TNotice::StackProblem).toStdString();
    EXPECT_TRUE(Window->NoticeText(TNotice::LinkLost).contains("Bluetooth is off"))
        << Window->NoticeText(TNotice::LinkLost).toStdString();
    EXPECT_EQ(Image(k), DeviceImageConnecting);

    Control("SetPowered", {true});
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }, 10s)) << "not tried at once";
    EXPECT_TRUE(Window->NoticeText(TNotice::LinkLost).isEmpty());
    EXPECT_EQ(Window->NoticeText(TNotice::StackProblem), "Bluetooth is back");
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// bluetoothd restarts between the scan and the user's click on Connect: the click connects the
// dongle listed before (the new stack looks for it first), with no box about the old stack.
TEST_F(TConnectionIntegration, StackRestartedAfterTheScan_ConnectBeforeANewScan_Connects) {
    ASSERT_NO_FATAL_FAILURE(Find({DongleOld, DongleNew}));
    // The new dongle was connected and let go before the restart; the old one only listed.
    const int n = Slot(DongleNew);
    ASSERT_NO_FATAL_FAILURE(ClickConnect(DongleNew));
    ASSERT_TRUE(WaitFor([&] { return Image(n) == DeviceImageConnected; }));
    ASSERT_NO_FATAL_FAILURE(ClickConnect(DongleNew));
    ASSERT_TRUE(WaitFor([&] { return Image(n) == DeviceImageFound && !Connected(DongleNew); }));

    ASSERT_EQ(kill(Service->Pid(), SIGKILL), 0);
    ASSERT_TRUE(Service->WaitExit(5s));
    ASSERT_NO_FATAL_FAILURE(StartService());
    ASSERT_TRUE(WaitFor([&] { return Manager->ConnectionState() == TBluetoothLEManager::Connected; }, 5s));

    for (const std::string& address : {DongleOld, DongleNew}) {
        SCOPED_TRACE(address);
        const int k = Slot(address);
        ASSERT_NO_FATAL_FAILURE(ClickConnect(address));
        EXPECT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }, 20s))
            << Log().join('\n').toStdString();
        EXPECT_TRUE(Connected(address));
    }
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}

// The window's display is a Wayland compositor that goes away (the compositor or the session
// ended) while a key is held on a dongle: Qt says so as a fatal message, and the program releases
// the dongle, closes its link and ends with status 1, as on the X server's loss. The window runs in
// a copy of this test program (the loss ends it), on this bus; the compositor's loss is Qt's own
// message, which is all the program sees of it.
TEST_F(TConnectionIntegration, WaylandCompositorGone_KeysReleasedLinkClosedStatusOne) {
    if (std::getenv(TBusEnvironment::ChildVariable) != nullptr) {
        GTEST_SKIP() << "the part the parent runs";
    }
    Window.reset();
    Manager.reset();
    const std::string errors = testing::TempDir() + "/corvastel-wayland-gone.txt";
    std::string error;
    const auto child =
        TChildProcess::Start({QCoreApplication::applicationFilePath().toStdString(),
                              "--gtest_filter=TConnectionIntegration.WaylandCompositorGone_Child"},
                             {{{TBusEnvironment::ChildVariable, "1"}}, "", errors}, &error);
    ASSERT_TRUE(child) << error;
    const std::optional<int> status = child->WaitExit(60s);
    ASSERT_TRUE(status.has_value()) << "the program did not end without its display";
    QFile file(QString::fromStdString(errors));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const std::string said = file.readAll().toStdString();
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << "status " << *status << "\n" << said;
    EXPECT_NE(said.find("Wayland compositor was lost"), std::string::npos) << said;
    EXPECT_NE(said.find("child: key held"), std::string::npos) << said;
    EXPECT_TRUE(KeysHeld(DongleOld).empty()) << said;
    EXPECT_TRUE(WaitFor([&] { return !Connected(DongleOld); }, 5s)) << said;
}

TEST_F(TConnectionIntegration, WaylandCompositorGone_Child) {
    if (std::getenv(TBusEnvironment::ChildVariable) == nullptr) {
        GTEST_SKIP() << "run by WaylandCompositorGone_KeysReleasedLinkClosedStatusOne";
    }
    ASSERT_TRUE(WaitFor(
        [] { return QDBusConnection::systemBus().interface()->isServiceRegistered("org.bluez").value(); }));
    ASSERT_NO_FATAL_FAILURE(Find({DongleOld}));
    const int k = Slot(DongleOld);
    ASSERT_NO_FATAL_FAILURE(ClickConnect(DongleOld));
    ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; }));
    ASSERT_TRUE(AddPressedKey(4));
    Window->SendReportToActive(TReportType::KeyboardIn, false);
    ASSERT_TRUE(WaitFor([&] { return KeysHeld(DongleOld) == std::vector<int>{4}; }, 5s));
    std::fprintf(stderr, "child: key held\n");
    ReleaseOnDisplayLoss(Window.get());
    qFatal("The Wayland connection broke. Did the Wayland compositor die?");
}

namespace {
// Dongles that answer a setup step wrongly, served the way bluetoothd serves real ones.
class THostileDongles : public TConnectionIntegration {
  protected:
    std::vector<std::string> ServiceArgs() const override {
        std::vector<std::string> args;
        for (const auto& row : Rows) {
            args.push_back("--dongle");
            args.push_back("name=Corvastel-Hostile,address=" + std::string(row.Address) + "," + row.Traits);
        }
        return args;
    }
    struct TRow {
        const char* Address;
        const char* Traits;
        const char* Expected;  // a part of the message
    };
    static constexpr TRow Rows[] = {
        {"C0:FF:EE:00:00:21", "firmware=V1.2.0", "while checking its firmware version"},
        {"C0:FF:EE:00:00:22", "unreadable=2A26", "did not give its Firmware Revision"},
        {"C0:FF:EE:00:00:23", "identity-reply=A13412", "its identity reply is too short (A1 34 12)"},
        {"C0:FF:EE:00:00:24", "identity=1234:5678", "presents the USB identity 1234:5678"},
    };
};
}  // namespace

TEST_F(THostileDongles, EachSetupFailure_IsReported_TheLinkClosed_TheDongleFoundAgain) {
    std::vector<std::string> addresses;
    for (const auto& row : Rows) {
        addresses.push_back(row.Address);
    }
    ASSERT_NO_FATAL_FAILURE(Find(addresses));
    for (const auto& row : Rows) {
        SCOPED_TRACE(row.Traits);
        Errors.clear();
        const int k = Slot(row.Address);
        ASSERT_NO_FATAL_FAILURE(ClickConnect(row.Address));
        ASSERT_TRUE(WaitFor([&] { return !Errors.empty(); }));
        ASSERT_EQ(Errors.size(), 1u);
        EXPECT_NE(Errors[0].find("Could not connect to Corvastel-Hostile (" + std::string(row.Address) + ")"),
                  std::string::npos)
            << Errors[0];
        EXPECT_NE(Errors[0].find(row.Expected), std::string::npos) << Errors[0];
        EXPECT_EQ(Window->SessionCount, 0);
        EXPECT_EQ(Image(k), DeviceImageFound);
        EXPECT_EQ(Window->BtnConnect->text(), QString::fromUtf8("连接(&C)"));
        EXPECT_TRUE(WaitFor([&] { return !Connected(row.Address); })) << "the link is closed";
    }
}

namespace {
// Targets on three layouts and two systems, decoding what they receive with the keyboard data's own
// tables and, on Windows, that system's dead keys and AltGr keys.
class TLayoutTargets : public TConnectionIntegration {
  protected:
    std::vector<std::string> ServiceArgs() const override {
        std::vector<std::string> args;
        for (const auto& row : Rows) {
            args.push_back("--dongle");
            args.push_back("name=Corvastel-" + std::string(row.Layout) + ",address=" + row.Address +
                           ",layout=" + row.Layout + ",system=" + SystemName(row.System) +
                           (row.Plain ? ",identity=0451:E010:1" : ""));
        }
        return args;
    }
    struct TRow {
        const char* Address;
        const char* Layout;
        TTargetSystem System;
        bool Plain;               // plain framing rather than report IDs
        const char32_t* Refused;  // the characters this layout cannot type, in order of appearance
    };
    static constexpr TRow Rows[] = {
        {"C0:FF:EE:00:00:31", "de", TTargetSystem::Linux, false, U"ñ"},
        {"C0:FF:EE:00:00:32", "fr", TTargetSystem::Linux, true, U"ñ"},
        {"C0:FF:EE:00:00:33", "us", TTargetSystem::Linux, false, U"üßÖ€çéàùñ"},
        // Windows German has no c with cedilla (its acute does not make one) and no tilde dead key.
        {"C0:FF:EE:00:00:34", "de", TTargetSystem::Windows, false, U"çñ"},
    };
};
}  // namespace

// The sentence typed into a German, a French and a US target at once: every character a layout can
// make (directly or through a dead key) arrives exactly and in order at its target; the others are
// exactly those the question named for that layout; no key is held at the end.
TEST_F(TLayoutTargets, OneSentence_ArrivesExactlyOnEachLayout_TheRestNamedBeforeTyping) {
    QTemporaryDir settings;
    ASSERT_TRUE(settings.isValid());
    Window->NicknameFilePath = std::filesystem::path(settings.path().toStdString()) / "cvinfo.ini";
    std::vector<std::string> addresses;
    for (const auto& row : Rows) {
        addresses.push_back(row.Address);
    }
    ASSERT_NO_FATAL_FAILURE(Find(addresses));
    for (const auto& row : Rows) {
        const int k = Slot(row.Address);
        ASSERT_NO_FATAL_FAILURE(ClickConnect(row.Address));
        ASSERT_TRUE(WaitFor([&] { return Image(k) == DeviceImageConnected; })) << row.Address;
        ASSERT_TRUE(
            Window->StoreTypingSettings(row.Address, {row.Layout, 0, TUnicodeEntry::Off, row.System}));
    }
    QString question;
    Window->ConfirmQuery = [&](const QString& q) {
        question = q;
        return true;
    };
    const QString sentence = QStringLiteral("Grüße, Öl & Maß: 5 € @ home; ça, déjà, où? ñ [{}]|\\~^");
    ASSERT_TRUE(Window->TypeText(sentence, nullptr));
    ASSERT_TRUE(WaitFor([&] { return !Window->TypingText(); }, 60s));
    const QStringList parts = question.split(QStringLiteral("\n\n"));
    for (const auto& row : Rows) {
        SCOPED_TRACE(std::string(row.Layout) + " " + SystemName(row.System));
        const std::u32string refused = row.Refused;
        // The question's paragraph on this layout names exactly these characters.
        const QString head = QStringLiteral("on the \u201C%1\u201D keyboard layout%2 (")
                                 .arg(QString::fromLatin1(row.Layout),
                                      row.System == TTargetSystem::Linux
                                          ? QString()
                                          : QStringLiteral(" of %1").arg(SystemText(row.System)));
        const auto part =
            std::find_if(parts.begin(), parts.end(), [&](const QString& p) { return p.contains(head); });
        ASSERT_NE(part, parts.end()) << question.toStdString();
        const QStringList lines = part->split(QLatin1Char('\n')).mid(1);
        ASSERT_EQ(lines.size(), static_cast<int>(refused.size())) << part->toStdString();
        for (std::size_t i = 0; i < refused.size(); ++i) {
            EXPECT_TRUE(lines[static_cast<int>(i)].startsWith(
                QStringLiteral("\u201C%1\u201D").arg(QString::fromUcs4(&refused[i], 1))))
                << lines[static_cast<int>(i)].toStdString();
        }
        std::u32string expected;
        for (const char32_t c : sentence.toStdU32String()) {
            if (refused.find(c) == std::u32string::npos) {
                expected.push_back(c);
            }
        }
        const QString want = QString::fromStdU32String(expected);
        EXPECT_TRUE(WaitFor([&] { return Target(row.Address)["text"].toString() == want; }, 10s))
            << Target(row.Address)["text"].toString().toStdString() << "\nwanted " << want.toStdString();
        // The text is complete with its last press; the release follows it on the link.
        EXPECT_TRUE(WaitFor(
            [&] {
                const QJsonObject t = Target(row.Address);
                return t["keysHeld"].toArray().isEmpty() && t["modifiers"].toInt() == 0;
            },
            5s))
            << "a key is held at the end";
        const QJsonObject target = Target(row.Address);
        EXPECT_EQ(target["text"].toString(), want) << "nothing after the end";
        EXPECT_EQ(target["rejectedReports"].toInt(), 0);
    }
    EXPECT_TRUE(Errors.empty()) << Errors.front();
}
