// corvastel-bluez-probe: a scripted BLE central over BlueZ's D-Bus API that writes down what a
// client sees — every signal about the central's adapter and the dongle's device, every reply with
// its error name and message — while it walks one dongle through being forgotten before it was ever
// connected, connect, writes that the dongle fails, reads while notifying, a second connect while
// one is pending, and both kinds of link loss.
//
// It runs against either front of corvastel-virtual-dongles: the imitation of bluetoothd (control
// calls on org.bluez) or the peripherals on a real bluetoothd (control calls on
// org.corvastel.VirtualDongles), so the two traces can be laid side by side.
//
//   corvastel-bluez-probe --device AA:BB:CC:DD:EE:FF [--adapter hci0] [--control org.bluez]
//                         [--settle-scale 1.0]
//
// Between steps it waits a while for late signals; --settle-scale shortens those waits where the
// stack answers at once (the imitation), and the wait for the dongle to be forgotten with them (run
// the imitation with its --temporary-timeout-ms shortened alike).
//
// The trace goes to stdout, one event a line: "+SECONDS KIND WHAT". Object paths are shortened:
// "dev" is the dongle's device object, "dev/service000a/char000b" one of its GATT objects.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <map>
#include <memory>

namespace {

using TInterfaceList = QMap<QString, QVariantMap>;
using TManagedObjectList = QMap<QDBusObjectPath, TInterfaceList>;

const QString Bluez = QStringLiteral("org.bluez");
const QString IfAdapter = QStringLiteral("org.bluez.Adapter1");
const QString IfDevice = QStringLiteral("org.bluez.Device1");
const QString IfChar = QStringLiteral("org.bluez.GattCharacteristic1");
const QString IfProps = QStringLiteral("org.freedesktop.DBus.Properties");
const QString IfObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString ControlPath = QStringLiteral("/org/corvastel/VirtualDongles");
const QString IfControl = QStringLiteral("org.corvastel.VirtualDongles.Control");

QVariantMap MapArgument(const QVariant& v) {
    if (v.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
    return v.toMap();
}

QString ShortUuid(const QString& uuid) {
    if (uuid.size() == 36 && uuid.endsWith(QStringLiteral("-0000-1000-8000-00805f9b34fb")) &&
        uuid.startsWith(QStringLiteral("0000")))
        return uuid.mid(4, 4).toUpper();
    return uuid;
}

QString ValueText(const QVariant& raw) {
    QVariant v = raw.canConvert<QDBusVariant>() ? raw.value<QDBusVariant>().variant() : raw;
    if (v.userType() == QMetaType::QByteArray)
        return QStringLiteral("[%1]").arg(QString::fromLatin1(v.toByteArray().toHex(' ')));
    if (v.userType() == QMetaType::QStringList) {
        QStringList items;
        for (const QString& s : v.toStringList())
            items << ShortUuid(s);
        return QStringLiteral("(%1)").arg(items.join(QLatin1Char(' ')));
    }
    if (v.canConvert<QDBusObjectPath>() && v.userType() == qMetaTypeId<QDBusObjectPath>())
        return v.value<QDBusObjectPath>().path();
    if (v.canConvert<QDBusArgument>())
        return QStringLiteral("<%1>").arg(v.value<QDBusArgument>().currentSignature());
    return v.toString();
}

class TProbe : public QObject {
    Q_OBJECT
  public:
    TProbe(QString adapter, QString device, QString control, double settleScale)
        : FBus(QDBusConnection::systemBus()),
          FAdapter(QStringLiteral("/org/bluez/") + adapter),
          FAddress(device.toUpper()),
          FControl(std::move(control)),
          FSettleScale(settleScale) {
        FDevice = FAdapter + QStringLiteral("/dev_") +
                  QString(FAddress).replace(QLatin1Char(':'), QLatin1Char('_'));
        FClock.start();
    }

    int Run();

  private slots:
    void OnPropertiesChanged(const QDBusMessage& m) {
        if (!Ours(m.path()))
            return;
        const QVariantList args = m.arguments();
        const QString iface = args.value(0).toString();
        const QVariantMap changed = MapArgument(args.value(1));
        QStringList parts;
        for (auto it = changed.begin(); it != changed.end(); ++it)
            parts << it.key() + QLatin1Char('=') + ValueText(it.value());
        const QStringList invalidated = args.value(2).toStringList();
        Log(QStringLiteral("SIG"),
            QStringLiteral("%1 PropertiesChanged %2 {%3}%4")
                .arg(Short(m.path()), iface.section(QLatin1Char('.'), -1), parts.join(QStringLiteral(", ")),
                     invalidated.isEmpty()
                         ? QString()
                         : QStringLiteral(" invalidated(%1)").arg(invalidated.join(QLatin1Char(' ')))));
        if (m.path() == FDevice && iface == IfDevice) {
            if (changed.contains(QStringLiteral("RSSI")))
                FHeard = true;
            if (changed.contains(QStringLiteral("Connected")))
                FConnected = changed.value(QStringLiteral("Connected")).toBool();
            if (changed.contains(QStringLiteral("ServicesResolved")))
                FResolved = changed.value(QStringLiteral("ServicesResolved")).toBool();
        }
        if (m.path() == FAdapter && iface == IfAdapter && changed.contains(QStringLiteral("Powered")))
            FPowered = changed.value(QStringLiteral("Powered")).toBool();
    }

    void OnInterfacesAdded(const QDBusMessage& m) {
        const QVariantList args = m.arguments();
        const QString path = args.value(0).value<QDBusObjectPath>().path();
        if (!Ours(path))
            return;
        const auto ifaces = qdbus_cast<TInterfaceList>(args.value(1).value<QDBusArgument>());
        QStringList names;
        for (auto it = ifaces.begin(); it != ifaces.end(); ++it) {
            if (it.key().startsWith(QStringLiteral("org.freedesktop.DBus.")))
                continue;
            QString name = it.key().section(QLatin1Char('.'), -1);
            if (it.value().contains(QStringLiteral("UUID")))
                name += QLatin1Char(' ') + ShortUuid(it.value().value(QStringLiteral("UUID")).toString());
            if (it.key() == IfDevice) {
                const QVariantMap& p = it.value();
                name += QStringLiteral(" Connected=%1 ServicesResolved=%2 UUIDs=%3")
                            .arg(p.value(QStringLiteral("Connected")).toString(),
                                 p.value(QStringLiteral("ServicesResolved")).toString(),
                                 ValueText(p.value(QStringLiteral("UUIDs"))));
            }
            if (it.key() == IfChar) {
                const QVariantMap& p = it.value();
                name += QStringLiteral(" Notifying=%1 Value=%2 Flags=%3")
                            .arg(p.value(QStringLiteral("Notifying")).toString(),
                                 ValueText(p.value(QStringLiteral("Value"))),
                                 p.value(QStringLiteral("Flags")).toStringList().join(QLatin1Char('|')));
                FChars[ShortUuid(it.value().value(QStringLiteral("UUID")).toString())] = path;
            }
            names << name;
        }
        Log(QStringLiteral("SIG"),
            QStringLiteral("%1 InterfacesAdded %2").arg(Short(path), names.join(QStringLiteral("; "))));
        if (path == FDevice)
            FKnown = FHeard = true;
    }

    void OnInterfacesRemoved(const QDBusMessage& m) {
        const QVariantList args = m.arguments();
        const QString path = args.value(0).value<QDBusObjectPath>().path();
        if (!Ours(path))
            return;
        QStringList names;
        for (const QString& i : args.value(1).toStringList()) {
            if (!i.startsWith(QStringLiteral("org.freedesktop.DBus.")))
                names << i.section(QLatin1Char('.'), -1);
        }
        Log(QStringLiteral("SIG"),
            QStringLiteral("%1 InterfacesRemoved %2").arg(Short(path), names.join(QLatin1Char(' '))));
        if (path == FDevice)
            FKnown = false;
    }

  private:
    bool Ours(const QString& path) const { return path == FAdapter || path.startsWith(FDevice); }
    QString Short(const QString& path) const {
        if (path.startsWith(FDevice))
            return QStringLiteral("dev") + path.mid(FDevice.size());
        if (path == FAdapter)
            return QStringLiteral("adapter");
        return path;
    }

    void Log(const QString& kind, const QString& what) {
        std::printf("+%8.3f %-5s %s\n", static_cast<double>(FClock.nsecsElapsed()) / 1e9, qPrintable(kind),
                    qPrintable(what));
        std::fflush(stdout);
    }
    void Step(const QString& what) { Log(QStringLiteral("STEP"), what); }

    QString ReplyText(const QDBusMessage& r) {
        if (r.type() == QDBusMessage::ErrorMessage)
            return QStringLiteral("error %1 \"%2\"").arg(r.errorName(), r.errorMessage());
        QStringList out;
        for (const QVariant& a : r.arguments())
            out << ValueText(a);
        return QStringLiteral("ok %1").arg(out.join(QLatin1Char(' ')));
    }

    // Sends without waiting; the reply is logged when it comes. Returns a flag set then.
    std::shared_ptr<QDBusMessage> Send(const QString& label, const QDBusMessage& call,
                                       int timeoutMs = 40000) {
        auto result = std::make_shared<QDBusMessage>();
        Log(QStringLiteral("CALL"), label);
        auto* w = new QDBusPendingCallWatcher(FBus.asyncCall(call, timeoutMs), this);
        connect(w, &QDBusPendingCallWatcher::finished, this,
                [this, label, result](QDBusPendingCallWatcher* watcher) {
                    watcher->deleteLater();
                    *result = watcher->reply();
                    Log(QStringLiteral("REPLY"), label + QLatin1Char(' ') + ReplyText(*result));
                });
        return result;
    }
    QDBusMessage SendWait(const QString& label, const QDBusMessage& call, int timeoutMs = 40000) {
        auto r = Send(label, call, timeoutMs);
        WaitFor([&] { return r->type() != QDBusMessage::InvalidMessage; }, timeoutMs + 1000);
        return *r;
    }

    bool WaitFor(const std::function<bool()>& done, int ms) {
        QElapsedTimer t;
        t.start();
        while (!done()) {
            if (t.elapsed() >= ms)
                return false;
            QEventLoop loop;
            QTimer::singleShot(20, &loop, &QEventLoop::quit);
            loop.exec();
        }
        return true;
    }
    void Settle(int ms) {
        WaitFor([] { return false; }, static_cast<int>(ms * FSettleScale));
    }

    QDBusMessage Method(const QString& path, const QString& iface, const QString& member,
                        const QVariantList& args = {}) {
        QDBusMessage m = QDBusMessage::createMethodCall(Bluez, path, iface, member);
        m.setArguments(args);
        return m;
    }
    QDBusMessage Control(const QString& member, const QVariantList& args) {
        QDBusMessage m = QDBusMessage::createMethodCall(FControl, ControlPath, IfControl, member);
        m.setArguments(args);
        return m;
    }
    QDBusMessage SetPowered(bool on) {
        return Method(FAdapter, IfProps, QStringLiteral("Set"),
                      {IfAdapter, QStringLiteral("Powered"), QVariant::fromValue(QDBusVariant(on))});
    }
    QDBusMessage Write(const QString& uuid, const QByteArray& bytes, const QString& type) {
        QVariantMap options;
        if (!type.isEmpty())
            options[QStringLiteral("type")] = type;
        return Method(FChars.value(uuid), IfChar, QStringLiteral("WriteValue"), {bytes, options});
    }
    QDBusMessage Read(const QString& uuid) {
        return Method(FChars.value(uuid), IfChar, QStringLiteral("ReadValue"), {QVariantMap{}});
    }

    bool Discover();
    void Rediscover();
    void Connect(const QString& label);
    void LastWriteAtDongle();

    QDBusConnection FBus;
    QString FAdapter;
    QString FAddress;
    QString FControl;
    QString FDevice;
    QElapsedTimer FClock;
    bool FKnown = false;
    bool FHeard = false;
    bool FConnected = false;
    bool FResolved = false;
    bool FPowered = true;
    QMap<QString, QString> FChars;  // short UUID -> path
    double FSettleScale = 1.0;
};

bool TProbe::Discover() {
    const QDBusMessage objects =
        SendWait(QStringLiteral("GetManagedObjects"),
                 QDBusMessage::createMethodCall(Bluez, QStringLiteral("/"), IfObjectManager,
                                                QStringLiteral("GetManagedObjects")));
    if (objects.type() == QDBusMessage::ReplyMessage) {
        const auto all = qdbus_cast<TManagedObjectList>(objects.arguments().value(0).value<QDBusArgument>());
        FKnown = all.contains(QDBusObjectPath(FDevice));
    }
    if (FKnown)
        return true;
    SendWait(QStringLiteral("SetDiscoveryFilter(le)"),
             Method(FAdapter, IfAdapter, QStringLiteral("SetDiscoveryFilter"),
                    {QVariantMap{{QStringLiteral("Transport"), QStringLiteral("le")}}}));
    SendWait(QStringLiteral("StartDiscovery"), Method(FAdapter, IfAdapter, QStringLiteral("StartDiscovery")));
    const bool found = WaitFor([&] { return FKnown; }, 40000);
    SendWait(QStringLiteral("StopDiscovery"), Method(FAdapter, IfAdapter, QStringLiteral("StopDiscovery")));
    return found;
}

// An emulated radio repeats no advertisement by itself: scan until the dongle is heard again.
void TProbe::Rediscover() {
    FHeard = false;
    SendWait(QStringLiteral("StartDiscovery"), Method(FAdapter, IfAdapter, QStringLiteral("StartDiscovery")));
    if (!WaitFor([&] { return FHeard; }, 20000))
        Step(QStringLiteral("not heard again"));
    SendWait(QStringLiteral("StopDiscovery"), Method(FAdapter, IfAdapter, QStringLiteral("StopDiscovery")));
}

void TProbe::Connect(const QString& label) {
    auto first = Send(label + QStringLiteral(" Connect#1"),
                      Method(FDevice, IfDevice, QStringLiteral("Connect")), 60000);
    // A second connect while the first is pending, as a client that retries too early does.
    auto second = Send(label + QStringLiteral(" Connect#2"),
                       Method(FDevice, IfDevice, QStringLiteral("Connect")), 60000);
    WaitFor(
        [&] {
            return first->type() != QDBusMessage::InvalidMessage &&
                   second->type() != QDBusMessage::InvalidMessage;
        },
        61000);
    if (!WaitFor([&] { return FResolved; }, 40000))
        Step(QStringLiteral("services never resolved"));
    Settle(1500);
}

void TProbe::LastWriteAtDongle() {
    const QDBusMessage r = FBus.call(Control(QStringLiteral("Writes"), {FAddress}), QDBus::Block, 10000);
    const QString json = r.arguments().value(0).toString();
    const int at = json.lastIndexOf(QStringLiteral("{\""));
    Log(QStringLiteral("DONGL"), QStringLiteral("last write: %1").arg(at < 0 ? json : json.mid(at)));
}

int TProbe::Run() {
    for (const QString& member : {QStringLiteral("InterfacesAdded"), QStringLiteral("InterfacesRemoved")}) {
        FBus.connect(Bluez, QString(), IfObjectManager, member, this,
                     member == QStringLiteral("InterfacesAdded") ? SLOT(OnInterfacesAdded(QDBusMessage))
                                                                 : SLOT(OnInterfacesRemoved(QDBusMessage)));
    }
    FBus.connect(Bluez, QString(), IfProps, QStringLiteral("PropertiesChanged"), this,
                 SLOT(OnPropertiesChanged(QDBusMessage)));

    Step(QStringLiteral("discovery"));
    if (!Discover()) {
        Step(QStringLiteral("the dongle was never found"));
        return 1;
    }

    Step(QStringLiteral("a dongle heard but never connected is forgotten"));
    // bluetoothd drops a device it never connected some time after it last heard it (its temporary
    // time-out, 30 s); the scan has just ended. Then a scan brings it back for the steps below.
    Log(QStringLiteral("NOTE"), QStringLiteral("scan ended"));
    if (!WaitFor([&] { return !FKnown; }, static_cast<int>(60000 * FSettleScale)))
        Log(QStringLiteral("NOTE"), QStringLiteral("still known"));
    Rediscover();
    if (!FKnown && !Discover()) {
        Step(QStringLiteral("the dongle was never found again"));
        return 1;
    }

    Step(QStringLiteral("connect, and a second connect while the first is pending"));
    Connect(QStringLiteral("first"));
    if (!FResolved)
        return 1;
    Step(QStringLiteral("connect while connected"));
    SendWait(QStringLiteral("Connect(connected)"), Method(FDevice, IfDevice, QStringLiteral("Connect")));
    Settle(500);

    Step(QStringLiteral("subscribe F801 and F80F"));
    SendWait(QStringLiteral("StartNotify F801"),
             Method(FChars.value(QStringLiteral("F801")), IfChar, QStringLiteral("StartNotify")));
    SendWait(QStringLiteral("StartNotify F80F"),
             Method(FChars.value(QStringLiteral("F80F")), IfChar, QStringLiteral("StartNotify")));
    Settle(1000);

    Step(QStringLiteral("a notification (LED status)"));
    SendWait(QStringLiteral("control NotifyLed 02"),
             Control(QStringLiteral("NotifyLed"), {FAddress, QVariant::fromValue<uchar>(2)}));
    Settle(1000);

    Step(QStringLiteral("read a notifying characteristic (F801 readable, F80F not)"));
    SendWait(QStringLiteral("ReadValue F801"), Read(QStringLiteral("F801")));
    Settle(500);
    SendWait(QStringLiteral("ReadValue F80F"), Read(QStringLiteral("F80F")));
    Settle(500);
    SendWait(QStringLiteral("ReadValue 2A26"), Read(QStringLiteral("2A26")));
    Settle(500);

    Step(QStringLiteral("writes the dongle fails"));
    SendWait(QStringLiteral("control FailNextWrites 1"),
             Control(QStringLiteral("FailNextWrites"), {FAddress, 1}));
    SendWait(QStringLiteral("WriteValue F801 command"),
             Write(QStringLiteral("F801"), QByteArray(8, '\0'), QStringLiteral("command")));
    Settle(1000);
    LastWriteAtDongle();
    SendWait(QStringLiteral("control FailNextWrites 1"),
             Control(QStringLiteral("FailNextWrites"), {FAddress, 1}));
    SendWait(QStringLiteral("WriteValue F804 request"),
             Write(QStringLiteral("F804"), QByteArray(1, '\1'), QStringLiteral("request")));
    Settle(500);
    LastWriteAtDongle();
    SendWait(QStringLiteral("control FailNextWrites 1"),
             Control(QStringLiteral("FailNextWrites"), {FAddress, 1}));
    SendWait(QStringLiteral("WriteValue F804 (no type)"),
             Write(QStringLiteral("F804"), QByteArray(1, '\2'), QString()));
    Settle(500);
    LastWriteAtDongle();
    SendWait(QStringLiteral("WriteValue F801 command ok"),
             Write(QStringLiteral("F801"), QByteArray(8, '\0'), QStringLiteral("command")));
    Settle(500);

    Step(QStringLiteral("the dongle drops the link"));
    SendWait(QStringLiteral("control DropLink"), Control(QStringLiteral("DropLink"), {FAddress}));
    if (!WaitFor([&] { return !FConnected; }, 30000))
        Step(QStringLiteral("still connected"));
    Settle(3000);
    SendWait(QStringLiteral("ReadValue 2A26 after the drop"), Read(QStringLiteral("2A26")));

    Step(QStringLiteral("reconnect after a scan"));
    Rediscover();
    Connect(QStringLiteral("again"));
    Step(QStringLiteral("does the new link stay up"));
    Settle(8000);
    Step(FConnected ? QStringLiteral("connected") : QStringLiteral("not connected"));
    SendWait(QStringLiteral("ReadValue 2A26 on the new link"), Read(QStringLiteral("2A26")));

    Step(QStringLiteral("the central's adapter is powered off"));
    if (!FResolved) {
        Rediscover();
        Connect(QStringLiteral("before power-off"));
    }
    SendWait(QStringLiteral("StartNotify F801"),
             Method(FChars.value(QStringLiteral("F801")), IfChar, QStringLiteral("StartNotify")));
    auto pendingRead =
        Send(QStringLiteral("ReadValue 2A29 racing the power-off"), Read(QStringLiteral("2A29")));
    SendWait(QStringLiteral("Set Powered false"), SetPowered(false));
    WaitFor([&] { return !FConnected; }, 20000);
    Settle(3000);
    SendWait(QStringLiteral("WriteValue F801 command while off"),
             Write(QStringLiteral("F801"), QByteArray(8, '\0'), QStringLiteral("command")));
    SendWait(QStringLiteral("Connect while powered off"),
             Method(FDevice, IfDevice, QStringLiteral("Connect")));
    SendWait(QStringLiteral("Set Powered true"), SetPowered(true));
    Settle(3000);

    Step(QStringLiteral("connect after power-on"));
    Rediscover();
    Connect(QStringLiteral("after power-on"));

    Step(QStringLiteral("a connect to a silent dongle, cancelled by Disconnect"));
    SendWait(QStringLiteral("control SetAdvertising false"),
             Control(QStringLiteral("SetAdvertising"), {FAddress, false}));
    SendWait(QStringLiteral("Disconnect"), Method(FDevice, IfDevice, QStringLiteral("Disconnect")));
    Settle(3000);
    auto silent = Send(QStringLiteral("Connect (silent dongle)"),
                       Method(FDevice, IfDevice, QStringLiteral("Connect")), 60000);
    Settle(3000);
    SendWait(QStringLiteral("Disconnect while connecting"),
             Method(FDevice, IfDevice, QStringLiteral("Disconnect")));
    WaitFor([&] { return silent->type() != QDBusMessage::InvalidMessage; }, 50000);
    SendWait(QStringLiteral("control SetAdvertising true"),
             Control(QStringLiteral("SetAdvertising"), {FAddress, true}));
    Settle(1000);
    Step(QStringLiteral("end"));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<TInterfaceList>();
    qDBusRegisterMetaType<TManagedObjectList>();
    QString adapter = QStringLiteral("hci0");
    QString device;
    QString control = Bluez;
    double settleScale = 1.0;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QStringLiteral("--adapter"))
            adapter = args[i + 1];
        else if (args[i] == QStringLiteral("--device"))
            device = args[i + 1];
        else if (args[i] == QStringLiteral("--settle-scale"))
            settleScale = args[i + 1].toDouble();
        else if (args[i] == QStringLiteral("--control"))
            control = args[i + 1];
    }
    if (device.isEmpty()) {
        std::fprintf(
            stderr,
            "usage: corvastel-bluez-probe --device AA:BB:CC:DD:EE:FF [--adapter hci0] [--control NAME]\n");
        return 2;
    }
    TProbe probe(adapter, device, control, settleScale > 0 ? settleScale : 1.0);
    return probe.Run();
}

#include "BluezProbe.moc"
