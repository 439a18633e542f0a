#include "platform/ble/qt/QtBluezAgent.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>

#include <cstdio>

namespace {

const QString Bluez = QStringLiteral("org.bluez");
const QString IfAgent = QStringLiteral("org.bluez.Agent1");
const QString IfDevice = QStringLiteral("org.bluez.Device1");
const QString IfProps = QStringLiteral("org.freedesktop.DBus.Properties");

// bluetoothd waits up to its own time-outs for a pairing (the user's answer included): longer
// than D-Bus's default 25 s.
constexpr int PairCallMs = 120000;

QDBusConnection Bus() {
    return QDBusConnection::systemBus();
}

}  // namespace

TQtBluezAgent::TQtBluezAgent(THandlers handlers, QObject* parent)
    : QDBusVirtualObject(parent),
      FHandlers(std::move(handlers)),
      FPath(QStringLiteral("/org/corvastel/pairing_agent_%1").arg(QCoreApplication::applicationPid())) {
    // Paired and Bonded of every device bluetoothd has, as it announces them.
    Bus().connect(Bluez, QString(), IfProps, QStringLiteral("PropertiesChanged"), this,
                  SLOT(OnPropertiesChanged(QDBusMessage)));
}

TQtBluezAgent::~TQtBluezAgent() {
    Bus().disconnect(Bluez, QString(), IfProps, QStringLiteral("PropertiesChanged"), this,
                     SLOT(OnPropertiesChanged(QDBusMessage)));
    for (auto& [path, call] : FWaiting)
        Bus().send(
            call.createErrorReply(QStringLiteral("org.bluez.Error.Canceled"), QStringLiteral("Canceled")));
    if (FRegistered) {
        QDBusMessage un = QDBusMessage::createMethodCall(Bluez, QStringLiteral("/org/bluez"),
                                                         QStringLiteral("org.bluez.AgentManager1"),
                                                         QStringLiteral("UnregisterAgent"));
        un << QVariant::fromValue(QDBusObjectPath(FPath));
        Bus().send(un);
        Bus().unregisterObject(FPath);
    }
}

bool TQtBluezAgent::Register(QString* error) {
    if (FRegistered)
        return true;
    if (!Bus().registerVirtualObject(FPath, this)) {
        if (error)
            *error = QStringLiteral("cannot export the pairing agent: %1").arg(Bus().lastError().message());
        return false;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, QStringLiteral("/org/bluez"),
                                                       QStringLiteral("org.bluez.AgentManager1"),
                                                       QStringLiteral("RegisterAgent"));
    call << QVariant::fromValue(QDBusObjectPath(FPath)) << QStringLiteral("KeyboardDisplay");
    const QDBusMessage reply = Bus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        Bus().unregisterObject(FPath);
        if (error)
            *error = reply.errorMessage();
        return false;
    }
    FRegistered = true;
    return true;
}

TPairingResult TQtBluezAgent::ResultOf(const QDBusMessage& reply) {
    using O = TPairingResult::TOutcome;
    if (reply.type() == QDBusMessage::ReplyMessage)
        return {O::Paired, {}};
    const QString name = reply.errorName();
    const std::string detail = (name + QStringLiteral(": ") + reply.errorMessage()).toStdString();
    // bluetoothd's answers (src/device.c, new_authentication_return; Pair itself).
    if (name == QLatin1String("org.bluez.Error.AlreadyExists"))
        return {O::Paired, detail};
    if (name == QLatin1String("org.bluez.Error.AuthenticationFailed") ||
        name == QLatin1String("org.bluez.Error.AuthenticationRejected"))
        return {O::Failed, detail};
    if (name == QLatin1String("org.bluez.Error.AuthenticationCanceled") ||
        name == QLatin1String("org.bluez.Error.AuthenticationTimeout"))
        return {O::Canceled, detail};
    return {O::Unavailable, detail};
}

void TQtBluezAgent::Pair(const std::string& address) {
    QString why;
    if (!FRegistered && !Register(&why)) {
        if (FHandlers.OnPairingFinished)
            FHandlers.OnPairingFinished(
                address, {TPairingResult::TOutcome::Unavailable, "no pairing agent: " + why.toStdString()});
        return;
    }
    const QString path = DevicePath(address);
    if (path.isEmpty()) {
        if (FHandlers.OnPairingFinished)
            FHandlers.OnPairingFinished(address, {TPairingResult::TOutcome::Unavailable, "no such device"});
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, path, IfDevice, QStringLiteral("Pair"));
    auto* watcher = new QDBusPendingCallWatcher(Bus().asyncCall(call, PairCallMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, address](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        RefreshBondState(address);
        if (FHandlers.OnPairingFinished)
            FHandlers.OnPairingFinished(address, ResultOf(reply));
    });
}

void TQtBluezAgent::CancelPairing(const std::string& address) {
    const QString path = DevicePath(address);
    if (path.isEmpty())
        return;
    // A question of ours that waits is answered as cancelled first, then bluetoothd stops.
    if (auto it = FWaiting.find(path); it != FWaiting.end()) {
        Bus().send(it->second.createErrorReply(QStringLiteral("org.bluez.Error.Canceled"),
                                               QStringLiteral("Canceled")));
        FWaiting.erase(it);
    }
    Bus().send(QDBusMessage::createMethodCall(Bluez, path, IfDevice, QStringLiteral("CancelPairing")));
}

bool TQtBluezAgent::Remove(const std::string& address) {
    const QString path = DevicePath(address);
    if (path.isEmpty())
        return false;
    const QString adapter = path.left(path.lastIndexOf(QLatin1Char('/')));
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, adapter, QStringLiteral("org.bluez.Adapter1"),
                                                       QStringLiteral("RemoveDevice"));
    call << QVariant::fromValue(QDBusObjectPath(path));
    const QDBusMessage reply = Bus().call(call, QDBus::Block, 5000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return false;
    std::lock_guard lock(FStateLock);
    FStates.erase(address);
    return true;
}

bool TQtBluezAgent::Answer(const std::string& address, const TBluetoothLEManager::TPairingAnswer& answer) {
    QString path;
    {
        std::lock_guard lock(FStateLock);
        for (const auto& [p, a] : FPathAddresses) {
            if (a == address)
                path = p;
        }
    }
    auto it = FWaiting.find(path);
    if (path.isEmpty() || it == FWaiting.end())
        return false;
    const QDBusMessage call = it->second;
    const bool confirmation = FWaitingIsConfirmation[path];
    FWaiting.erase(it);
    if (answer.Cancel || (confirmation && !answer.Accepted)) {
        Bus().send(
            call.createErrorReply(answer.Cancel ? QStringLiteral("org.bluez.Error.Canceled")
                                                : QStringLiteral("org.bluez.Error.Rejected"),
                                  answer.Cancel ? QStringLiteral("Canceled") : QStringLiteral("Rejected")));
    } else if (confirmation) {
        Bus().send(call.createReply());
    } else {
        Bus().send(call.createReply(QVariant::fromValue(static_cast<uint>(answer.Passkey % 1000000))));
    }
    return true;
}

QString TQtBluezAgent::introspect(const QString&) const {
    return QStringLiteral(
        "<interface name=\"org.bluez.Agent1\">"
        "<method name=\"Release\"/>"
        "<method name=\"RequestPinCode\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"out\"/></method>"
        "<method name=\"DisplayPinCode\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"in\"/></method>"
        "<method name=\"RequestPasskey\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" "
        "direction=\"out\"/></method>"
        "<method name=\"DisplayPasskey\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" direction=\"in\"/>"
        "<arg type=\"q\" direction=\"in\"/></method>"
        "<method name=\"RequestConfirmation\"><arg type=\"o\" direction=\"in\"/><arg type=\"u\" "
        "direction=\"in\"/></method>"
        "<method name=\"RequestAuthorization\"><arg type=\"o\" direction=\"in\"/></method>"
        "<method name=\"AuthorizeService\"><arg type=\"o\" direction=\"in\"/><arg type=\"s\" "
        "direction=\"in\"/></method>"
        "<method name=\"Cancel\"/>"
        "</interface>");
}

bool TQtBluezAgent::handleMessage(const QDBusMessage& m, const QDBusConnection&) {
    if (m.interface() != IfAgent && !m.interface().isEmpty())
        return false;
    const QString member = m.member();
    const QString device = m.arguments().value(0).value<QDBusObjectPath>().path();
    auto reject = [&] {
        Bus().send(
            m.createErrorReply(QStringLiteral("org.bluez.Error.Rejected"), QStringLiteral("Rejected")));
        return true;
    };
    if (member == QLatin1String("Release") || member == QLatin1String("DisplayPasskey") ||
        member == QLatin1String("DisplayPinCode")) {
        Bus().send(m.createReply());
        return true;
    }
    if (member == QLatin1String("Cancel")) {
        // bluetoothd gave up the question it asked (the other side stopped, or time ran out):
        // the pairing's end comes as the answer to Pair.
        FWaiting.clear();
        FWaitingIsConfirmation.clear();
        Bus().send(m.createReply());
        return true;
    }
    const bool passkey = member == QLatin1String("RequestPasskey");
    const bool confirmation = member == QLatin1String("RequestConfirmation");
    if (!(passkey || confirmation) || device.isEmpty())
        return reject();  // PIN codes (classic Bluetooth), authorisations: nothing of ours
    const std::string address = AddressOf(device);
    if (address.empty() || FWaiting.count(device))
        return reject();
    m.setDelayedReply(true);
    FWaiting[device] = m;
    FWaitingIsConfirmation[device] = confirmation;
    TPairingQuestion question;
    question.Kind =
        confirmation ? TPairingQuestion::TKind::ConfirmPasskey : TPairingQuestion::TKind::EnterPasskey;
    question.Passkey = confirmation ? m.arguments().value(1).toUInt() % 1000000 : 0;
    if (FHandlers.OnQuestion)
        FHandlers.OnQuestion(address, question);
    return true;
}

TQtBluezAgent::TBondState TQtBluezAgent::BondState(const std::string& address) const {
    std::lock_guard lock(FStateLock);
    auto it = FStates.find(address);
    return it == FStates.end() ? TBondState{} : it->second;
}

void TQtBluezAgent::RefreshBondState(const std::string& address) {
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, QStringLiteral("/"),
                                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                       QStringLiteral("GetManagedObjects"));
    auto* watcher = new QDBusPendingCallWatcher(Bus().asyncCall(call, 5000), this);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, this,
                     [this, address](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         const QDBusMessage reply = w->reply();
                         if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                             return;  // nothing known: the device counts as not paired
                         TakeBondState(address, reply.arguments().constFirst().value<QDBusArgument>());
                     });
}

void TQtBluezAgent::TakeBondState(const std::string& address, const QDBusArgument& objects) {
    if (objects.currentType() != QDBusArgument::MapType)
        return;
    QString found;
    TBondState state;
    objects.beginMap();
    while (!objects.atEnd()) {
        objects.beginMapEntry();
        QDBusObjectPath path;
        objects >> path;
        objects.beginMap();
        while (!objects.atEnd()) {
            QString interface;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> interface >> properties;
            objects.endMapEntry();
            if (found.isEmpty() && interface == IfDevice &&
                properties.value(QStringLiteral("Address")).toString().toUpper().toStdString() == address) {
                found = path.path();
                state.paired = properties.value(QStringLiteral("Paired")).toBool();
                // bluetoothd before 5.64 has no Bonded: a pairing there always bonds.
                state.bonded = properties.value(QStringLiteral("Bonded"), state.paired).toBool();
            }
        }
        objects.endMap();
        objects.endMapEntry();
    }
    objects.endMap();
    std::lock_guard lock(FStateLock);
    if (!found.isEmpty())
        FPathAddresses[found] = address;
    FStates[address] = state;
}

void TQtBluezAgent::OnPropertiesChanged(const QDBusMessage& message) {
    const QVariantList args = message.arguments();
    if (args.value(0).toString() != IfDevice)
        return;
    const QVariantMap changed = qdbus_cast<QVariantMap>(args.value(1));
    if (!changed.contains(QStringLiteral("Paired")) && !changed.contains(QStringLiteral("Bonded")))
        return;
    const std::string address = AddressOf(message.path());
    if (address.empty())
        return;
    std::lock_guard lock(FStateLock);
    TBondState& state = FStates[address];
    if (changed.contains(QStringLiteral("Paired")))
        state.paired = changed.value(QStringLiteral("Paired")).toBool();
    if (changed.contains(QStringLiteral("Bonded")))
        state.bonded = changed.value(QStringLiteral("Bonded")).toBool();
}

QString TQtBluezAgent::DevicePath(const std::string& address) const {
    {
        std::lock_guard lock(FStateLock);
        for (const auto& [p, a] : FPathAddresses) {
            if (a == address)
                return p;
        }
    }
    // bluetoothd names a device after its address under the adapter that knows it; find which.
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, QStringLiteral("/"),
                                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                       QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = Bus().call(call, QDBus::Block, 2000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    const QDBusArgument objects = reply.arguments().constFirst().value<QDBusArgument>();
    if (objects.currentType() != QDBusArgument::MapType)
        return {};
    QString found;
    objects.beginMap();
    while (!objects.atEnd()) {
        objects.beginMapEntry();
        QDBusObjectPath path;
        objects >> path;
        objects.beginMap();
        while (!objects.atEnd()) {
            QString interface;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> interface >> properties;
            objects.endMapEntry();
            if (found.isEmpty() && interface == IfDevice &&
                properties.value(QStringLiteral("Address")).toString().toUpper().toStdString() == address) {
                found = path.path();
            }
        }
        objects.endMap();
        objects.endMapEntry();
    }
    objects.endMap();
    if (!found.isEmpty()) {
        std::lock_guard lock(FStateLock);
        FPathAddresses[found] = address;
    }
    return found;
}

std::string TQtBluezAgent::AddressOf(const QString& devicePath) const {
    {
        std::lock_guard lock(FStateLock);
        if (auto it = FPathAddresses.find(devicePath); it != FPathAddresses.end())
            return it->second;
    }
    // ".../dev_C0_FF_EE_00_00_0A": the address, by bluetoothd's naming.
    const QString last = devicePath.section(QLatin1Char('/'), -1);
    if (!last.startsWith(QLatin1String("dev_")) || last.size() != 4 + 17)
        return {};
    QString address = last.mid(4).replace(QLatin1Char('_'), QLatin1Char(':')).toUpper();
    for (int i = 0; i < address.size(); ++i) {
        const QChar c = address.at(i);
        const bool colon = i % 3 == 2;
        if (colon ? c != QLatin1Char(':')
                  : !(c.isDigit() || (c >= QLatin1Char('A') && c <= QLatin1Char('F'))))
            return {};
    }
    std::lock_guard lock(FStateLock);
    FPathAddresses[devicePath] = address.toStdString();
    return address.toStdString();
}
