// Pairing through the imitation of bluetoothd, as a plain D-Bus central: dongles that demand an
// encrypted or authenticated link refuse the vendor service until paired, bluetoothd pairs Just
// Works by itself, and a passkey pairing asks the caller's own agent (registered beside a default
// agent that must not be asked).

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusVirtualObject>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <chrono>
#include <memory>
#include <thread>

#include "ChildProcess.h"

using namespace std::chrono_literals;

namespace {

const QString DevicePathA = QStringLiteral("/org/bluez/hci0/dev_C0_FF_EE_00_00_0A");

std::string S(const QString& s) {
    return s.toStdString();
}

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// An org.bluez.Agent1 that keeps the calls it gets for the test to answer.
class TRecordingAgent : public QDBusVirtualObject {
  public:
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& m, const QDBusConnection&) override {
        m.setDelayedReply(true);
        Calls.push_back(m);
        return true;
    }
    std::vector<QDBusMessage> Calls;
};

class BluezPairingTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!QCoreApplication::instance()) {
            // QtDBus needs an application object; one lives for the whole program.
            static int argc = 1;
            static char name[] = "bluez_pairing_test";
            static char* argv[] = {name, nullptr};
            static QCoreApplication app(argc, argv);
        }
        std::string error;
        Bus = TPrivateBus::Start(&error);
        if (!Bus)
            GTEST_SKIP() << "no private D-Bus bus: " << error;
        Service = TChildProcess::Start(
            {CORVASTEL_VIRTUAL_DONGLES_EXE, "--dongle", "name=Enc,address=C0:FF:EE:00:00:0A,security=encrypt",
             "--dongle", "name=Auth,address=C0:FF:EE:00:00:0B,security=authenticated", "--dongle",
             "name=Open,address=C0:FF:EE:00:00:0C"},
            {{{"DBUS_SYSTEM_BUS_ADDRESS", Bus->Address()}}, "/dev/null", ""}, &error);
        ASSERT_TRUE(Service) << error;
        App = Connect("app");
        Desktop = Connect("desktop");
        ASSERT_TRUE(WaitUntil(
            [&] { return App.interface()->isServiceRegistered(QStringLiteral("org.bluez")).value(); }, 5s));
        ASSERT_TRUE(App.registerVirtualObject(QStringLiteral("/app/agent"), &AppAgent));
        ASSERT_TRUE(Desktop.registerVirtualObject(QStringLiteral("/desktop/agent"), &DesktopAgent));
    }
    void TearDown() override {
        if (Service)
            Service->Stop();
        for (const char* name : {"app", "desktop"})
            QDBusConnection::disconnectFromBus(QString::fromLatin1(name));
    }

    QDBusConnection Connect(const char* name) {
        return QDBusConnection::connectToBus(QString::fromStdString(Bus->Address()),
                                             QString::fromLatin1(name));
    }

    // A call that may wait for an agent: the event loop runs meanwhile, so agents get their calls.
    static std::unique_ptr<QDBusPendingCall> Start(QDBusConnection& bus, const QString& path,
                                                   const QString& iface, const QString& member,
                                                   const QVariantList& args = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), path, iface, member);
        call.setArguments(args);
        return std::make_unique<QDBusPendingCall>(bus.asyncCall(call, 60000));
    }
    static QDBusMessage Finish(const std::unique_ptr<QDBusPendingCall>& call) {
        EXPECT_TRUE(WaitUntil([&] { return call->isFinished(); }, 10s));
        return call->reply();
    }
    QDBusMessage Call(const QString& path, const QString& iface, const QString& member,
                      const QVariantList& args = {}) {
        return Finish(Start(App, path, iface, member, args));
    }
    QDBusMessage Device(const QString& member, const QString& path = DevicePathA) {
        return Call(path, QStringLiteral("org.bluez.Device1"), member);
    }
    QDBusMessage Write(const QString& charPath, const QByteArray& bytes, const char* type = "request") {
        return Call(charPath, QStringLiteral("org.bluez.GattCharacteristic1"), QStringLiteral("WriteValue"),
                    {bytes, QVariantMap{{QStringLiteral("type"), QString::fromLatin1(type)}}});
    }
    QVariant Property(const QString& name, const QString& path = DevicePathA) {
        const QDBusMessage r = Call(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                    QStringLiteral("Get"), {QStringLiteral("org.bluez.Device1"), name});
        return r.arguments().value(0).value<QDBusVariant>().variant();
    }
    QDBusMessage Control(const QString& member, const QVariantList& args) {
        return Call(QStringLiteral("/org/corvastel/VirtualDongles"),
                    QStringLiteral("org.corvastel.VirtualDongles.Control"), member, args);
    }
    QJsonObject Target(const QString& address) {
        return QJsonDocument::fromJson(
                   Control(QStringLiteral("Target"), {address}).arguments().value(0).toString().toUtf8())
            .object();
    }
    // The object path of a characteristic of the device, by its short UUID (empty when none).
    QString CharPath(const QString& device, uint16_t uuid) {
        const QDBusMessage r = Call(QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                    QStringLiteral("GetManagedObjects"));
        const QDBusArgument objects = r.arguments().value(0).value<QDBusArgument>();
        const QString want =
            QStringLiteral("0000%1-0000-1000-8000-00805f9b34fb").arg(uuid, 4, 16, QLatin1Char('0'));
        QString found;
        objects.beginMap();
        while (!objects.atEnd()) {
            objects.beginMapEntry();
            QDBusObjectPath path;
            objects >> path;
            objects.beginMap();
            while (!objects.atEnd()) {
                QString iface;
                QVariantMap props;
                objects.beginMapEntry();
                objects >> iface >> props;
                objects.endMapEntry();
                if (iface == QLatin1String("org.bluez.GattCharacteristic1") &&
                    path.path().startsWith(device) && props.value(QStringLiteral("UUID")).toString() == want)
                    found = path.path();
            }
            objects.endMap();
            objects.endMapEntry();
        }
        objects.endMap();
        return found;
    }
    void RegisterAgents() {
        const QVariantList desktop{QVariant::fromValue(QDBusObjectPath(QStringLiteral("/desktop/agent"))),
                                   QStringLiteral("KeyboardDisplay")};
        ASSERT_EQ(
            Finish(Start(Desktop, QStringLiteral("/org/bluez"), QStringLiteral("org.bluez.AgentManager1"),
                         QStringLiteral("RegisterAgent"), desktop))
                .type(),
            QDBusMessage::ReplyMessage);
        ASSERT_EQ(
            Finish(Start(Desktop, QStringLiteral("/org/bluez"), QStringLiteral("org.bluez.AgentManager1"),
                         QStringLiteral("RequestDefaultAgent"), {desktop[0]}))
                .type(),
            QDBusMessage::ReplyMessage);
        const QDBusMessage r = Call(QStringLiteral("/org/bluez"), QStringLiteral("org.bluez.AgentManager1"),
                                    QStringLiteral("RegisterAgent"),
                                    {QVariant::fromValue(QDBusObjectPath(QStringLiteral("/app/agent"))),
                                     QStringLiteral("KeyboardDisplay")});
        ASSERT_EQ(r.type(), QDBusMessage::ReplyMessage) << r.errorMessage().toStdString();
    }
    void ConnectA(const QString& path = DevicePathA) {
        const QDBusMessage s = Call(QStringLiteral("/org/bluez/hci0"), QStringLiteral("org.bluez.Adapter1"),
                                    QStringLiteral("StartDiscovery"));
        ASSERT_EQ(s.type(), QDBusMessage::ReplyMessage) << s.errorMessage().toStdString();
        ASSERT_TRUE(WaitUntil(
            [&] {
                return Call(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
                            {QStringLiteral("org.bluez.Device1"), QStringLiteral("Address")})
                           .type() == QDBusMessage::ReplyMessage;
            },
            5s));
        Call(QStringLiteral("/org/bluez/hci0"), QStringLiteral("org.bluez.Adapter1"),
             QStringLiteral("StopDiscovery"));
        const QDBusMessage c = Device(QStringLiteral("Connect"), path);
        ASSERT_EQ(c.type(), QDBusMessage::ReplyMessage) << c.errorMessage().toStdString();
        ASSERT_TRUE(
            WaitUntil([&] { return Property(QStringLiteral("ServicesResolved"), path).toBool(); }, 5s));
    }

    std::unique_ptr<TPrivateBus> Bus;
    std::unique_ptr<TChildProcess> Service;
    QDBusConnection App{QString()};
    QDBusConnection Desktop{QString()};
    TRecordingAgent AppAgent;
    TRecordingAgent DesktopAgent;
};

TEST_F(BluezPairingTest, AnEncryptDonglePairsByItselfOnTheFirstRequestAndForgettingRemovesTheBond) {
    ConnectA();
    const QString ControlCharA = CharPath(DevicePathA, 0xF80F);
    const QString ReportsCharA = CharPath(DevicePathA, 0xF801);
    ASSERT_FALSE(ControlCharA.isEmpty());
    EXPECT_FALSE(Property(QStringLiteral("Paired")).toBool());
    // A command before pairing is confirmed by bluetoothd and dropped by the dongle.
    EXPECT_EQ(Write(ReportsCharA, QByteArray::fromHex("010000040000000000"), "command").type(),
              QDBusMessage::ReplyMessage);
    EXPECT_EQ(Target(QStringLiteral("C0:FF:EE:00:00:0A"))[QStringLiteral("keyboardReports")].toInt(), 0);

    const QDBusMessage w = Write(ControlCharA, QByteArray::fromHex("A0"));
    EXPECT_EQ(w.type(), QDBusMessage::ReplyMessage) << S(w.errorMessage());
    EXPECT_TRUE(Property(QStringLiteral("Paired")).toBool());
    EXPECT_TRUE(Property(QStringLiteral("Bonded")).toBool());
    EXPECT_EQ(Write(ReportsCharA, QByteArray::fromHex("010000040000000000")).type(),
              QDBusMessage::ReplyMessage);
    EXPECT_EQ(Target(QStringLiteral("C0:FF:EE:00:00:0A"))[QStringLiteral("keyboardReports")].toInt(), 1);

    EXPECT_EQ(S(Device(QStringLiteral("Pair")).errorName()),
              S(QStringLiteral("org.bluez.Error.AlreadyExists")));
    const QDBusMessage removed =
        Call(QStringLiteral("/org/bluez/hci0"), QStringLiteral("org.bluez.Adapter1"),
             QStringLiteral("RemoveDevice"), {QVariant::fromValue(QDBusObjectPath(DevicePathA))});
    EXPECT_EQ(removed.type(), QDBusMessage::ReplyMessage);
    ConnectA();
    EXPECT_FALSE(Property(QStringLiteral("Paired")).toBool());
}

TEST_F(BluezPairingTest, AnAuthenticatedDongleIsRefusedUntilTheCallersAgentEntersTheShownPasskey) {
    const QString path = QStringLiteral("/org/bluez/hci0/dev_C0_FF_EE_00_00_0B");
    ConnectA(path);
    const QString control = CharPath(path, 0xF80F);
    ASSERT_FALSE(control.isEmpty());
    const QDBusMessage refused = Write(control, QByteArray::fromHex("A0"));
    EXPECT_EQ(S(refused.errorName()), "org.bluez.Error.NotPermitted");
    EXPECT_EQ(S(refused.errorMessage()), "Not paired");
    EXPECT_FALSE(Property(QStringLiteral("Paired"), path).toBool());

    // Without an agent nobody can enter the passkey.
    EXPECT_EQ(S(Device(QStringLiteral("Pair"), path).errorName()),
              S(QStringLiteral("org.bluez.Error.AuthenticationFailed")));

    RegisterAgents();
    struct Round {
        bool right;
        QString error;
    };
    for (const Round& round :
         {Round{false, QStringLiteral("org.bluez.Error.AuthenticationFailed")}, Round{true, {}}}) {
        SCOPED_TRACE(round.right ? "right passkey" : "wrong passkey");
        auto pair = Start(App, path, QStringLiteral("org.bluez.Device1"), QStringLiteral("Pair"));
        ASSERT_TRUE(WaitUntil([&] { return !AppAgent.Calls.empty(); }, 5s));
        const QDBusMessage ask = AppAgent.Calls.back();
        AppAgent.Calls.clear();
        EXPECT_EQ(ask.member(), QStringLiteral("RequestPasskey"));
        EXPECT_EQ(ask.arguments().value(0).value<QDBusObjectPath>().path(), path);
        const int shown = Control(QStringLiteral("Passkey"), {QStringLiteral("C0:FF:EE:00:00:0B")})
                              .arguments()
                              .value(0)
                              .toInt();
        ASSERT_GE(shown, 0);
        const uint entered =
            round.right ? static_cast<uint>(shown) : static_cast<uint>((shown + 1) % 1000000);
        App.send(ask.createReply(QVariant::fromValue(entered)));
        const QDBusMessage r = Finish(pair);
        EXPECT_EQ(S(r.errorName()), S(round.error)) << S(r.errorMessage());
        EXPECT_EQ(Property(QStringLiteral("Paired"), path).toBool(), round.right);
    }
    EXPECT_TRUE(DesktopAgent.Calls.empty()) << "the desktop's default agent was asked";
    EXPECT_EQ(Write(control, QByteArray::fromHex("A0")).type(), QDBusMessage::ReplyMessage);
}

TEST_F(BluezPairingTest, CancellingOrLosingTheLinkEndsAWaitingPairingAndTellsTheAgent) {
    const QString path = QStringLiteral("/org/bluez/hci0/dev_C0_FF_EE_00_00_0B");
    ConnectA(path);
    RegisterAgents();
    struct Row {
        const char* how;
        QString error;
    };
    for (const Row& row : {Row{"CancelPairing", QStringLiteral("org.bluez.Error.AuthenticationCanceled")},
                           Row{"DropLink", QStringLiteral("org.bluez.Error.AuthenticationCanceled")}}) {
        SCOPED_TRACE(row.how);
        auto pair = Start(App, path, QStringLiteral("org.bluez.Device1"), QStringLiteral("Pair"));
        ASSERT_TRUE(WaitUntil([&] { return !AppAgent.Calls.empty(); }, 5s));
        AppAgent.Calls.clear();
        if (QLatin1String(row.how) == QLatin1String("CancelPairing"))
            EXPECT_EQ(Device(QStringLiteral("CancelPairing"), path).type(), QDBusMessage::ReplyMessage);
        else
            Control(QStringLiteral("DropLink"), {QStringLiteral("C0:FF:EE:00:00:0B")});
        EXPECT_EQ(S(Finish(pair).errorName()), S(row.error));
        ASSERT_TRUE(WaitUntil([&] { return !AppAgent.Calls.empty(); }, 5s));
        EXPECT_EQ(AppAgent.Calls.back().member(), QStringLiteral("Cancel"));
        AppAgent.Calls.clear();
        EXPECT_EQ(Control(QStringLiteral("Passkey"), {QStringLiteral("C0:FF:EE:00:00:0B")})
                      .arguments()
                      .value(0)
                      .toInt(),
                  -1);
        if (!Property(QStringLiteral("Connected"), path).toBool()) {
            const QDBusMessage c = Device(QStringLiteral("Connect"), path);
            ASSERT_EQ(c.type(), QDBusMessage::ReplyMessage) << c.errorMessage().toStdString();
        }
    }
}

}  // namespace
