#include "BluezService.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVariant>

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "BluezTypes.h"
#include "DongleCalls.h"

namespace {

const QString IfAdapter = QStringLiteral("org.bluez.Adapter1");
const QString IfDevice = QStringLiteral("org.bluez.Device1");
const QString IfService = QStringLiteral("org.bluez.GattService1");
const QString IfChar = QStringLiteral("org.bluez.GattCharacteristic1");
const QString IfDesc = QStringLiteral("org.bluez.GattDescriptor1");
const QString IfProps = QStringLiteral("org.freedesktop.DBus.Properties");
const QString IfIntrospect = QStringLiteral("org.freedesktop.DBus.Introspectable");
const QString IfObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");

const QString ErrFailed = QStringLiteral("org.bluez.Error.Failed");
const QString ErrNotReady = QStringLiteral("org.bluez.Error.NotReady");
const QString ErrNotPermitted = QStringLiteral("org.bluez.Error.NotPermitted");
const QString ErrNotSupported = QStringLiteral("org.bluez.Error.NotSupported");
const QString ErrInProgress = QStringLiteral("org.bluez.Error.InProgress");

// Setting up a link takes the radio a moment; bluetoothd refuses a second Connect meanwhile.
constexpr int ConnectMs = 5;
// A connect waits for the dongle's next advertisement (how often it is looked for here), and
// gives up after the kernel's time-out for it.
constexpr int ConnectRetryMs = 50;
constexpr auto ConnectGiveUp = std::chrono::seconds(40);

// BlueZ writes 128-bit UUIDs in lower case.
QString UuidText(uint16_t shortUuid) {
    return QStringLiteral("0000%1-0000-1000-8000-00805f9b34fb").arg(shortUuid, 4, 16, QLatin1Char('0'));
}

QString Hex4(uint16_t v) {
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0'));
}

QByteArray ToQt(const vdongle::TBytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

vdongle::TBytes FromQt(const QByteArray& a) {
    return vdongle::TBytes(a.begin(), a.end());
}

// QtDBus hands a{sv} arguments over unmarshalled.
QVariantMap MapArgument(const QVariant& v) {
    if (v.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
    return v.toMap();
}

}  // namespace

void RegisterBluezTypes() {
    qDBusRegisterMetaType<TInterfaceList>();
    qDBusRegisterMetaType<TManagedObjectList>();
}

TBluezService::TBluezService(QDBusConnection bus, const TServiceOptions& options)
    : QDBusVirtualObject(nullptr),
      FBus(std::move(bus)),
      FAdapterPresent(options.adapterPresent),
      FPowered(options.powered),
      FDisconnectTimer(options.disconnectTimerMs),
      FTemporaryTimeout(options.temporaryTimeoutMs) {
    RegisterBluezTypes();
    FRadio.SetPresent(FAdapterPresent && FPowered);
    for (const auto& d : options.dongles)
        AddEntry(d);
    // An advertiser is heard again and again while a scan runs; each time its RSSI moves a little.
    FDiscoveryTimer.setInterval(200);
    connect(&FDiscoveryTimer, &QTimer::timeout, this, [this] { DiscoveryTick(); });
    if (FTemporaryTimeout.count() > 0) {
        FForgetTimer.setInterval(std::clamp(static_cast<int>(FTemporaryTimeout.count() / 10), 10, 1000));
        connect(&FForgetTimer, &QTimer::timeout, this, [this] { ForgetUnheard(); });
        FForgetTimer.start();
    }
}

TBluezService::~TBluezService() {
    for (auto& e : FEntries)
        e->dongle->SetSink({});
}

bool TBluezService::Start(QString* error) {
    if (!FBus.isConnected()) {
        if (error)
            *error = QStringLiteral("no D-Bus connection: %1").arg(FBus.lastError().message());
        return false;
    }
    if (!FBus.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath)) {
        if (error)
            *error = QStringLiteral("cannot register the objects: %1").arg(FBus.lastError().message());
        return false;
    }
    if (!FBus.registerService(QStringLiteral("org.bluez"))) {
        if (error)
            *error = QStringLiteral("cannot own org.bluez: %1").arg(FBus.lastError().message());
        return false;
    }
    return true;
}

void TBluezService::AddEntry(const TServiceDongle& d) {
    auto e = std::make_unique<TEntry>();
    e->dongle = FRadio.AddDongle(d.config);
    e->neverResolve = d.neverResolve;
    QString address = QString::fromStdString(e->dongle->Address());
    e->path = AdapterPath() + QStringLiteral("/dev_") +
              QString(address).replace(QLatin1Char(':'), QLatin1Char('_'));
    e->dongle->SetSink(vdongle::TDongleSink{
        [this, address](uint16_t handle, uint16_t, const vdongle::TBytes& value) {
            // A dongle notifies from inside a write or a control call: answer that first, as a
            // real link does.
            QMetaObject::invokeMethod(
                this, [this, address, handle, value] { OnNotify(address, handle, value); },
                Qt::QueuedConnection);
        },
        [this, address] {
            QMetaObject::invokeMethod(
                this,
                [this, address] {
                    if (TEntry* entry = EntryByAddress(address))
                        LinkDown(*entry);
                },
                Qt::QueuedConnection);
        }});
    FEntries.push_back(std::move(e));
}

TBluezService::TEntry* TBluezService::EntryByPath(const QString& devicePath) {
    for (auto& e : FEntries) {
        if (e->path == devicePath)
            return e.get();
    }
    return nullptr;
}

TBluezService::TEntry* TBluezService::EntryByAddress(const QString& address) {
    for (auto& e : FEntries) {
        if (QString::fromStdString(e->dongle->Address()).compare(address, Qt::CaseInsensitive) == 0)
            return e.get();
    }
    return nullptr;
}

std::vector<TBluezService::TDongleView> TBluezService::Dongles() const {
    std::vector<TDongleView> out;
    for (const auto& e : FEntries)
        out.push_back({e->dongle, e->connected, e->resolved});
    return out;
}

// ---- properties ------------------------------------------------------------------------------

QVariantMap TBluezService::AdapterProperties() const {
    QVariantMap p;
    p[QStringLiteral("Address")] = QStringLiteral("00:1A:7D:DA:71:13");
    p[QStringLiteral("AddressType")] = QStringLiteral("public");
    p[QStringLiteral("Name")] = QStringLiteral("corvastel-virtual");
    p[QStringLiteral("Alias")] = QStringLiteral("corvastel-virtual");
    p[QStringLiteral("Class")] = QVariant::fromValue<quint32>(0x000104);
    p[QStringLiteral("Powered")] = FPowered;
    p[QStringLiteral("Discoverable")] = false;
    p[QStringLiteral("DiscoverableTimeout")] = QVariant::fromValue<quint32>(180);
    p[QStringLiteral("Pairable")] = false;
    p[QStringLiteral("PairableTimeout")] = QVariant::fromValue<quint32>(0);
    p[QStringLiteral("Discovering")] = FDiscovering;
    p[QStringLiteral("UUIDs")] = QStringList{UuidText(0x1800), UuidText(0x1801)};
    p[QStringLiteral("Modalias")] = QStringLiteral("usb:v1D6Bp0246d0542");
    p[QStringLiteral("Roles")] = QStringList{QStringLiteral("central"), QStringLiteral("peripheral")};
    return p;
}

QVariantMap TBluezService::DeviceProperties(const TEntry& e) const {
    QVariantMap p;
    const QString address = QString::fromStdString(e.dongle->Address());
    const QString name = QString::fromStdString(e.dongle->Name());
    p[QStringLiteral("Address")] = address;
    p[QStringLiteral("AddressType")] = QStringLiteral("public");
    if (!name.isEmpty())
        p[QStringLiteral("Name")] = name;
    // BlueZ falls back to the address with dashes when there is no name.
    p[QStringLiteral("Alias")] =
        name.isEmpty() ? QString(address).replace(QLatin1Char(':'), QLatin1Char('-')) : name;
    p[QStringLiteral("Paired")] = e.paired;
    p[QStringLiteral("Bonded")] = e.bonded;
    p[QStringLiteral("Trusted")] = e.trusted;
    p[QStringLiteral("Blocked")] = false;
    p[QStringLiteral("LegacyPairing")] = false;
    if (e.rssiShown != 0)
        p[QStringLiteral("RSSI")] = QVariant::fromValue<qint16>(static_cast<qint16>(e.rssiShown));
    p[QStringLiteral("Connected")] = e.connected;
    QStringList uuids;
    for (uint16_t u : e.dongle->AdvertisedServices())
        uuids << UuidText(u);
    if (e.gattExported) {
        for (const auto& s : e.dongle->Gatt()) {
            if (!uuids.contains(UuidText(s.uuid)))
                uuids << UuidText(s.uuid);
        }
    }
    p[QStringLiteral("UUIDs")] = uuids;
    p[QStringLiteral("Adapter")] = QVariant::fromValue(QDBusObjectPath(AdapterPath()));
    p[QStringLiteral("ServicesResolved")] = e.resolved;
    return p;
}

QVariantMap TBluezService::GattProperties(const QString& path, const TGattObject& o) const {
    Q_UNUSED(path);
    const TEntry* e = nullptr;
    for (const auto& entry : FEntries) {
        if (entry->path == o.devicePath)
            e = entry.get();
    }
    QVariantMap p;
    p[QStringLiteral("UUID")] = UuidText(o.uuid);
    if (!e)
        return p;
    switch (o.kind) {
        case TKind::Service:
            p[QStringLiteral("Device")] = QVariant::fromValue(QDBusObjectPath(o.devicePath));
            p[QStringLiteral("Primary")] = true;
            p[QStringLiteral("Includes")] = QVariant::fromValue(QList<QDBusObjectPath>{});
            break;
        case TKind::Characteristic: {
            const auto* c = e->dongle->Characteristic(o.handle);
            p[QStringLiteral("Service")] = QVariant::fromValue(QDBusObjectPath(o.parentPath));
            // bluetoothd's cached value: the last one read, written to it or notified.
            p[QStringLiteral("Value")] = QByteArray();
            // Only a characteristic that can notify or indicate has the property at all.
            if (c && (c->Has(vdongle::prop::Notify) || c->Has(vdongle::prop::Indicate)))
                p[QStringLiteral("Notifying")] = e->subscribed.count(o.handle) > 0;
            p[QStringLiteral("Flags")] = GattFlagsOf(c ? c->properties : 0);
            p[QStringLiteral("MTU")] = QVariant::fromValue<quint16>(247);
            break;
        }
        case TKind::Descriptor:
            p[QStringLiteral("Characteristic")] = QVariant::fromValue(QDBusObjectPath(o.parentPath));
            p[QStringLiteral("Value")] = QByteArray();
            p[QStringLiteral("Flags")] = QStringList{QStringLiteral("read")};
            break;
    }
    return p;
}

QMap<QString, QVariantMap> TBluezService::InterfacesAt(const QString& path) {
    QMap<QString, QVariantMap> ifaces;
    if (path == QLatin1String("/org/bluez")) {
        ifaces[QStringLiteral("org.bluez.AgentManager1")] = {};
    } else if (path == AdapterPath() && FAdapterPresent) {
        ifaces[IfAdapter] = AdapterProperties();
    } else if (TEntry* e = EntryByPath(path); e && e->exported) {
        ifaces[IfDevice] = DeviceProperties(*e);
    } else if (auto it = FGatt.find(path); it != FGatt.end()) {
        const QString iface = it->second.kind == TKind::Service          ? IfService
                              : it->second.kind == TKind::Characteristic ? IfChar
                                                                         : IfDesc;
        ifaces[iface] = GattProperties(path, it->second);
    }
    if (!ifaces.isEmpty()) {
        ifaces[IfIntrospect] = {};
        ifaces[IfProps] = {};
    }
    return ifaces;
}

// ---- signals ---------------------------------------------------------------------------------

void TBluezService::EmitPropertiesChanged(const QString& path, const QString& iface,
                                          const QVariantMap& changed, const QStringList& invalidated) {
    QDBusMessage s = QDBusMessage::createSignal(path, IfProps, QStringLiteral("PropertiesChanged"));
    s << iface << changed << invalidated;
    FBus.send(s);
}

void TBluezService::EmitInterfacesAdded(const QString& path) {
    QDBusMessage s =
        QDBusMessage::createSignal(QStringLiteral("/"), IfObjectManager, QStringLiteral("InterfacesAdded"));
    s << QVariant::fromValue(QDBusObjectPath(path))
      << QVariant::fromValue(TInterfaceList(InterfacesAt(path)));
    FBus.send(s);
}

void TBluezService::EmitInterfacesRemoved(const QString& path, const QStringList& ifaces) {
    QDBusMessage s =
        QDBusMessage::createSignal(QStringLiteral("/"), IfObjectManager, QStringLiteral("InterfacesRemoved"));
    s << QVariant::fromValue(QDBusObjectPath(path)) << ifaces;
    FBus.send(s);
}

// ---- state changes ---------------------------------------------------------------------------

void TBluezService::ExportDevice(TEntry& e) {
    e.lastHeard = std::chrono::steady_clock::now();
    if (e.exported)
        return;
    e.exported = true;
    EmitInterfacesAdded(e.path);
}

// bluetoothd keeps a device it found but never connected as "temporary" and removes it once it
// has not heard it for its TemporaryTimeout (30 s): a Connect afterwards finds no such object
// until a scan hears the device again.
void TBluezService::ForgetUnheard() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& e : FEntries) {
        if (e->exported && !e->everConnected && !e->connected && !e->connecting &&
            now - e->lastHeard >= FTemporaryTimeout) {
            Forget(*e);
        }
    }
}

void TBluezService::Forget(TEntry& e) {
    UnexportGatt(e);
    e.exported = false;
    e.rssiShown = 0;
    EmitInterfacesRemoved(e.path, {IfDevice, IfIntrospect, IfProps});
}

void TBluezService::DiscoveryTick() {
    if (!FDiscovering || !FPowered)
        return;
    ++FTick;
    for (auto& e : FEntries) {
        if (!e->dongle->Advertising() || e->connected)
            continue;
        const int rssi = e->dongle->Rssi() - (FTick % 2);
        e->lastHeard = std::chrono::steady_clock::now();
        if (!e->exported) {
            e->rssiShown = rssi;
            ExportDevice(*e);
        } else if (e->rssiShown != rssi) {
            e->rssiShown = rssi;
            EmitPropertiesChanged(
                e->path, IfDevice,
                {{QStringLiteral("RSSI"), QVariant::fromValue<qint16>(static_cast<qint16>(rssi))}});
        }
    }
}

void TBluezService::SetDiscovering(bool on) {
    if (FDiscovering == on)
        return;
    FDiscovering = on;
    EmitPropertiesChanged(AdapterPath(), IfAdapter, {{QStringLiteral("Discovering"), on}});
    if (on) {
        FDiscoveryTimer.start();
        QTimer::singleShot(0, this, [this] { DiscoveryTick(); });
    } else {
        FDiscoveryTimer.stop();
        // bluetoothd forgets the signal strength of every device when a scan ends.
        for (auto& e : FEntries) {
            if (e->exported && e->rssiShown != 0) {
                e->rssiShown = 0;
                EmitPropertiesChanged(e->path, IfDevice, {}, {QStringLiteral("RSSI")});
            }
        }
    }
}

void TBluezService::SetPowered(bool on) {
    if (FPowered == on)
        return;
    QVariantMap changed{{QStringLiteral("Powered"), on}};
    if (!on) {
        for (auto& e : FEntries) {
            if (e->connecting) {
                e->connecting = false;
                Reply(e->connectCall.createErrorReply(ErrFailed,
                                                      QStringLiteral("le-connection-abort-by-local")));
            }
            if (e->connected) {
                e->dongle->Disconnect();
                LinkDown(*e);
            }
        }
        // bluetoothd says the scan is off in the same signal as the power, scanning or not.
        FDiscovering = false;
        FDiscoveryTimer.stop();
        changed[QStringLiteral("Discovering")] = false;
    }
    FPowered = on;
    FRadio.SetPresent(FAdapterPresent && on);
    EmitPropertiesChanged(AdapterPath(), IfAdapter, changed);
}

void TBluezService::ExportGatt(TEntry& e) {
    for (const auto& s : e.dongle->Gatt()) {
        const QString sPath = e.path + QStringLiteral("/service") + Hex4(s.handle);
        FGatt[sPath] = {e.path, TKind::Service, s.handle, 0, s.uuid, e.path};
        EmitInterfacesAdded(sPath);
        for (const auto& c : s.characteristics) {
            // bluetoothd names a characteristic by its declaration handle, one before the value.
            const QString cPath = sPath + QStringLiteral("/char") + Hex4(static_cast<uint16_t>(c.handle - 1));
            FGatt[cPath] = {e.path, TKind::Characteristic, c.handle, c.handle, c.uuid, sPath};
            EmitInterfacesAdded(cPath);
            for (const auto& d : c.descriptors) {
                const QString dPath = cPath + QStringLiteral("/desc") + Hex4(d.handle);
                FGatt[dPath] = {e.path, TKind::Descriptor, d.handle, c.handle, d.uuid, cPath};
                EmitInterfacesAdded(dPath);
            }
        }
    }
}

void TBluezService::LinkDown(TEntry& e) {
    if (!e.connected)
        return;
    // A Disconnect waiting for its timer is answered before the link is said to be down, as
    // bluetoothd does; also when the link went another way meanwhile.
    for (const QDBusMessage& call : std::exchange(e.disconnectCalls, {}))
        Reply(call.createReply());
    // One signal for both, and the GATT objects stay: calls on them fail with "Not connected"
    // until the link is back. Subscriptions stay too.
    QVariantMap changed{{QStringLiteral("Connected"), false}};
    if (e.resolved)
        changed[QStringLiteral("ServicesResolved")] = false;
    e.connected = false;
    e.resolved = false;
    // SMP runs over the link: a pairing on it ends with it (MGMT_STATUS_DISCONNECTED).
    AbandonPairing(e, QStringLiteral("org.bluez.Error.AuthenticationCanceled"),
                   QStringLiteral("Authentication Canceled"));
    EmitPropertiesChanged(e.path, IfDevice, changed);
}

void TBluezService::FinishDisconnect(const QString& address, unsigned timer) {
    TEntry* e = EntryByAddress(address);
    if (!e || !e->connected || e->disconnectCalls.empty() || e->disconnectTimer != timer)
        return;  // the link went another way meanwhile, and the calls were answered then
    e->dongle->Disconnect();
    if (e->resolved) {
        e->resolved = false;
        EmitPropertiesChanged(e->path, IfDevice, {{QStringLiteral("ServicesResolved"), false}});
    }
    LinkDown(*e);  // answers the calls, then says the link is down
}

void TBluezService::UnexportGatt(TEntry& e) {
    std::vector<std::pair<QString, QString>> gone;
    for (const auto& [path, o] : FGatt) {
        if (o.devicePath == e.path) {
            gone.emplace_back(path, o.kind == TKind::Service          ? IfService
                                    : o.kind == TKind::Characteristic ? IfChar
                                                                      : IfDesc);
        }
    }
    std::reverse(gone.begin(), gone.end());
    for (const auto& [path, iface] : gone) {
        FGatt.erase(path);
        EmitInterfacesRemoved(path, {iface, IfIntrospect, IfProps});
    }
    e.gattExported = false;
    e.subscribed.clear();
}

void TBluezService::RemoveEntry(const QString& address) {
    auto it = std::find_if(FEntries.begin(), FEntries.end(), [&](const auto& e) {
        return QString::fromStdString(e->dongle->Address()).compare(address, Qt::CaseInsensitive) == 0;
    });
    if (it == FEntries.end())
        return;
    TEntry& e = **it;
    e.dongle->SetSink({});
    if (e.connecting) {
        e.connecting = false;
        Reply(e.connectCall.createErrorReply(ErrFailed, QStringLiteral("le-connection-abort-by-local")));
    }
    if (e.connected) {
        e.dongle->Disconnect();
        LinkDown(e);
    }
    UnexportGatt(e);
    if (e.exported)
        EmitInterfacesRemoved(e.path, {IfDevice, IfIntrospect, IfProps});
    FRadio.RemoveDongle(e.dongle->Address());
    FEntries.erase(it);
}

void TBluezService::OnNotify(const QString& address, uint16_t handle, const vdongle::TBytes& value) {
    TEntry* e = EntryByAddress(address);
    if (!e || !e->resolved)
        return;
    for (const auto& [path, o] : FGatt) {
        if (o.devicePath == e->path && o.kind == TKind::Characteristic && o.handle == handle) {
            EmitPropertiesChanged(path, IfChar, {{QStringLiteral("Value"), ToQt(value)}});
            return;
        }
    }
}

// bluetoothd answers Connect once the link is up, and only then discovers the services: the GATT
// objects come afterwards, followed by the full service list and "resolved" in one signal.
void TBluezService::FinishConnect(const QString& address) {
    TEntry* e = EntryByAddress(address);
    if (!e || !e->connecting)
        return;  // cancelled meanwhile, and answered then
    if (!FPowered || !e->dongle->Connect()) {
        // Silent or out of range: the link comes up as soon as the dongle is heard again.
        if (FPowered && std::chrono::steady_clock::now() < e->connectDeadline) {
            QTimer::singleShot(ConnectRetryMs, this, [this, address] { FinishConnect(address); });
            return;
        }
        e->connecting = false;
        Reply(e->connectCall.createErrorReply(ErrFailed, QStringLiteral("le-connection-abort-by-local")));
        return;
    }
    e->connecting = false;
    e->connected = true;
    e->everConnected = true;
    e->rssiShown = 0;
    EmitPropertiesChanged(e->path, IfDevice, {{QStringLiteral("Connected"), true}});
    Reply(e->connectCall.createReply());
    if (!e->neverResolve)
        QTimer::singleShot(0, this, [this, address] { ResolveServices(address); });
}

void TBluezService::ResolveServices(const QString& address) {
    TEntry* e = EntryByAddress(address);
    if (!e || !e->connected || e->resolved)
        return;
    for (uint16_t handle : e->subscribed)
        e->dongle->SetNotifying(handle, true);
    QVariantMap changed;
    if (!e->gattExported) {
        ExportGatt(*e);
        e->gattExported = true;
        changed[QStringLiteral("UUIDs")] = DeviceProperties(*e).value(QStringLiteral("UUIDs"));
    }
    e->resolved = true;
    changed[QStringLiteral("ServicesResolved")] = true;
    EmitPropertiesChanged(e->path, IfDevice, changed);
}

// ---- method calls ----------------------------------------------------------------------------

QString TBluezService::introspect(const QString& path) const {
    Q_UNUSED(path);
    // Qt's generated proxies call by name and never introspect; tools like busctl get the basics.
    return QStringLiteral(
        "<interface name=\"org.freedesktop.DBus.ObjectManager\">"
        "<method name=\"GetManagedObjects\"><arg type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method>"
        "</interface>");
}

void TBluezService::Reply(const QDBusMessage& reply) {
    FBus.send(reply);
}

bool TBluezService::handleMessage(const QDBusMessage& m, const QDBusConnection&) {
    const QString path = m.path();
    const QString iface = m.interface();
    if (iface == IfObjectManager && m.member() == QStringLiteral("GetManagedObjects")) {
        if (FObjectsDelay.count() > 0) {
            // A busy bluetoothd: the answer shows the objects as they are when it comes.
            ++FObjectsHeld;
            QTimer::singleShot(FObjectsDelay, Qt::PreciseTimer, this, [this, m] {
                --FObjectsHeld;
                AnswerManagedObjects(m);
            });
            return true;
        }
        AnswerManagedObjects(m);
        return true;
    }
    if (iface == IfProps)
        return HandleProperties(m);
    if (path == QLatin1String(ControlPath))
        return HandleControl(m);
    if (path == AdapterPath() && FAdapterPresent && iface == IfAdapter)
        return HandleAdapter(m);
    if (path == QLatin1String("/org/bluez") && iface == QLatin1String("org.bluez.AgentManager1"))
        return HandleAgentManager(m);
    if (TEntry* e = EntryByPath(path); e && e->exported && iface == IfDevice)
        return HandleDevice(m, *e);
    if (auto it = FGatt.find(path); it != FGatt.end())
        return HandleGatt(m, path, it->second);
    Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                             QStringLiteral("No such object or interface: %1 %2").arg(path, iface)));
    return true;
}

void TBluezService::AnswerManagedObjects(const QDBusMessage& m) {
    TManagedObjectList objects;
    objects[QDBusObjectPath(QStringLiteral("/org/bluez"))] = InterfacesAt(QStringLiteral("/org/bluez"));
    if (FAdapterPresent)
        objects[QDBusObjectPath(AdapterPath())] = InterfacesAt(AdapterPath());
    for (const auto& e : FEntries) {
        if (e->exported)
            objects[QDBusObjectPath(e->path)] = InterfacesAt(e->path);
    }
    for (const auto& [p, o] : FGatt)
        objects[QDBusObjectPath(p)] = InterfacesAt(p);
    Reply(m.createReply(QVariant::fromValue(objects)));
}

bool TBluezService::HandleProperties(const QDBusMessage& m) {
    const QVariantList args = m.arguments();
    const QString iface = args.value(0).toString();
    const QMap<QString, QVariantMap> ifaces = InterfacesAt(m.path());
    if (!ifaces.contains(iface)) {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                 QStringLiteral("No such interface '%1'").arg(iface)));
        return true;
    }
    const QVariantMap props = ifaces.value(iface);
    if (m.member() == QStringLiteral("GetAll")) {
        Reply(m.createReply(QVariant(props)));
    } else if (m.member() == QStringLiteral("Get")) {
        const QString name = args.value(1).toString();
        if (!props.contains(name)) {
            Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                     QStringLiteral("No such property '%1'").arg(name)));
        } else {
            Reply(m.createReply(QVariant::fromValue(QDBusVariant(props.value(name)))));
        }
    } else if (m.member() == QStringLiteral("Set")) {
        const QString name = args.value(1).toString();
        const QVariant value = args.value(2).value<QDBusVariant>().variant();
        if (iface == IfAdapter && name == QStringLiteral("Powered")) {
            SetPowered(value.toBool());
            Reply(m.createReply());
        } else if (TEntry* e = EntryByPath(m.path());
                   e && iface == IfDevice && name == QStringLiteral("Trusted")) {
            if (e->trusted != value.toBool()) {
                e->trusted = value.toBool();
                EmitPropertiesChanged(e->path, IfDevice, {{name, e->trusted}});
            }
            Reply(m.createReply());
        } else if (props.contains(name)) {
            // Alias, Discoverable, Pairable, Trusted...: accepted, not modelled.
            Reply(m.createReply());
        } else {
            Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                     QStringLiteral("No such property '%1'").arg(name)));
        }
    } else {
        return false;
    }
    return true;
}

bool TBluezService::HandleAdapter(const QDBusMessage& m) {
    const QString member = m.member();
    if (member == QStringLiteral("StartDiscovery")) {
        if (!FPowered) {
            Reply(m.createErrorReply(ErrNotReady, QStringLiteral("Resource Not Ready")));
            return true;
        }
        SetDiscovering(true);
        Reply(m.createReply());
    } else if (member == QStringLiteral("StopDiscovery")) {
        if (!FDiscovering) {
            Reply(m.createErrorReply(ErrFailed, QStringLiteral("No discovery started")));
            return true;
        }
        SetDiscovering(false);
        Reply(m.createReply());
    } else if (member == QStringLiteral("SetDiscoveryFilter")) {
        Reply(m.createReply());
    } else if (member == QStringLiteral("GetDiscoveryFilters")) {
        Reply(m.createReply(QStringList{QStringLiteral("UUIDs"), QStringLiteral("RSSI"),
                                        QStringLiteral("Transport"), QStringLiteral("DuplicateData")}));
    } else if (member == QStringLiteral("RemoveDevice")) {
        const QString devicePath = m.arguments().value(0).value<QDBusObjectPath>().path();
        TEntry* e = EntryByPath(devicePath);
        if (!e || !e->exported) {
            Reply(m.createErrorReply(QStringLiteral("org.bluez.Error.DoesNotExist"),
                                     QStringLiteral("Does Not Exist")));
            return true;
        }
        if (e->connecting) {
            e->connecting = false;
            Reply(e->connectCall.createErrorReply(ErrFailed, QStringLiteral("le-connection-abort-by-local")));
        }
        if (e->connected) {
            e->dongle->Disconnect();
            LinkDown(*e);
        }
        // Removing a device removes its bond (the keys on both sides, as far as this central
        // goes); the next object for the address starts unpaired.
        e->dongle->ForgetBond();
        e->paired = e->bonded = e->trusted = false;
        e->everConnected = false;
        Forget(*e);
        Reply(m.createReply());
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}

bool TBluezService::HandleDevice(const QDBusMessage& m, TEntry& e) {
    const QString member = m.member();
    if (member == QStringLiteral("Connect")) {
        if (!FPowered) {
            Reply(m.createErrorReply(ErrFailed, QStringLiteral("Input/output error")));
            return true;
        }
        if (e.connecting) {
            Reply(m.createErrorReply(ErrFailed, QStringLiteral("Operation already in progress")));
            return true;
        }
        if (e.connected) {
            Reply(m.createReply());
            return true;
        }
        e.connecting = true;
        e.connectCall = m;
        e.connectDeadline = std::chrono::steady_clock::now() + ConnectGiveUp;
        const QString address = QString::fromStdString(e.dongle->Address());
        QTimer::singleShot(ConnectMs, this, [this, address] { FinishConnect(address); });
    } else if (member == QStringLiteral("Disconnect")) {
        if (e.connecting) {
            e.connecting = false;
            Reply(e.connectCall.createErrorReply(ErrFailed, QStringLiteral("br-connection-canceled")));
        }
        if (e.connected) {
            // bluetoothd holds a disconnect for its disconnect timer (2 s), so that other users
            // of the link can finish; then the services go, then the answer, then the link. A
            // second Disconnect meanwhile waits for the same end.
            // A precise timer: Qt's default from 2 s up is coarse and may fire 5% early, which
            // the likeness rules see as a disconnect quicker than bluetoothd's.
            e.disconnectCalls.push_back(m);
            if (e.disconnectCalls.size() == 1) {
                const QString address = QString::fromStdString(e.dongle->Address());
                const unsigned timer = ++e.disconnectTimer;
                QTimer::singleShot(FDisconnectTimer, Qt::PreciseTimer, this,
                                   [this, address, timer] { FinishDisconnect(address, timer); });
            }
            return true;
        }
        Reply(m.createReply());
    } else if (member == QStringLiteral("Pair")) {
        Pair(m, e);
    } else if (member == QStringLiteral("CancelPairing")) {
        CancelPairing(m, e);
    } else if (member == QStringLiteral("ConnectProfile")) {
        Reply(m.createErrorReply(ErrNotSupported, QStringLiteral("Operation is not supported")));
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}

bool TBluezService::HandleGatt(const QDBusMessage& m, const QString& path, const TGattObject& o) {
    TEntry* e = EntryByPath(o.devicePath);
    const QString member = m.member();
    if (!e || !e->connected) {
        // A subscription waits for the link (bluetoothd says so); anything else fails.
        if (member == QStringLiteral("StartNotify"))
            Reply(m.createErrorReply(ErrInProgress, QStringLiteral("In Progress")));
        else
            Reply(m.createErrorReply(ErrFailed, QStringLiteral("Not connected")));
        return true;
    }
    const QVariantList args = m.arguments();
    if (o.kind == TKind::Characteristic && member == QStringLiteral("ReadValue")) {
        std::optional<vdongle::TBytes> value;
        bool pairedNow = false;
        const uint16_t status = vdongle::ReadAsBluez(*e->dongle, o.handle, &value, &pairedNow);
        if (pairedNow)
            SetPaired(*e, true);
        if (status == vdongle::GattInsufficientEncryption ||
            status == vdongle::GattInsufficientAuthentication) {
            // bluetoothd 5.66, gatt-client.c create_gatt_dbus_error.
            Reply(m.createErrorReply(ErrNotPermitted, QStringLiteral("Not paired")));
            return true;
        }
        if (!value) {
            Reply(m.createErrorReply(ErrNotPermitted, QStringLiteral("Read not permitted")));
            return true;
        }
        // bluetoothd updates its cached Value after every read and says so before it answers.
        EmitPropertiesChanged(path, IfChar, {{QStringLiteral("Value"), ToQt(*value)}});
        Reply(m.createReply(ToQt(*value)));
    } else if (o.kind == TKind::Characteristic && member == QStringLiteral("WriteValue")) {
        const QByteArray bytes = args.value(0).toByteArray();
        const QVariantMap options = MapArgument(args.value(1));
        const auto* c = e->dongle->Characteristic(o.handle);
        // Without a type bluetoothd writes with response where the characteristic allows it.
        const bool withResponse = c && c->Has(vdongle::prop::Write);
        const QString type = options
                                 .value(QStringLiteral("type"),
                                        withResponse ? QStringLiteral("request") : QStringLiteral("command"))
                                 .toString();
        const auto kind =
            type == QStringLiteral("command") ? vdongle::TWriteKind::Command : vdongle::TWriteKind::Request;
        e->inFlight++;
        e->maxInFlight = std::max(e->maxInFlight, e->inFlight);
        bool pairedNow = false;
        const vdongle::TWriteOutcome outcome =
            vdongle::WriteAsBluez(*e->dongle, o.handle, FromQt(bytes), kind, &pairedNow);
        if (pairedNow)
            SetPaired(*e, true);
        const bool insecure = outcome.status == vdongle::GattInsufficientEncryption ||
                              outcome.status == vdongle::GattInsufficientAuthentication;
        // A write without response has nobody to answer at the dongle: bluetoothd confirms it as
        // soon as it is queued, and a failure there shows only in the dongle's records.
        const QDBusMessage reply =
            outcome.status == vdongle::GattSuccess || kind == vdongle::TWriteKind::Command ? m.createReply()
            : insecure
                ? m.createErrorReply(ErrNotPermitted, QStringLiteral("Not paired"))
                : m.createErrorReply(ErrFailed, QStringLiteral("Operation failed with ATT error: 0x0e"));
        const QString address = QString::fromStdString(e->dongle->Address());
        std::weak_ptr<vdongle::TVirtualDongle> target = e->dongle;
        auto deliver = [target] {
            if (auto d = target.lock())
                d->DeliverDue();
        };
        auto finish = [this, address, reply] {
            if (TEntry* entry = EntryByAddress(address))
                entry->inFlight--;
            Reply(reply);
        };
        // Like bluetoothd: a write without response is answered as soon as it is queued for the
        // air (no back pressure at all); a write with response once the dongle has it (or later,
        // or never, when a test made the peer busy). Either reaches the target at the link's pace.
        const bool command = kind == vdongle::TWriteKind::Command;
        const bool answers = command || outcome.answered;
        const bool answerLate = !command && outcome.answerLate.count() > 0;
        // A request whose answer is lost is answered neither at once nor on arrival, even where the
        // link has no air time to wait for.
        const bool answerAtOnce = command || (answers && outcome.delay.count() <= 0 && !answerLate);
        if (answerAtOnce)
            finish();
        if (outcome.delay.count() > 0) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(outcome.delay);
            const bool answerOnArrival = answers && !answerAtOnce && !answerLate;
            QTimer::singleShot(ms, Qt::PreciseTimer, this, [deliver, finish, answerOnArrival] {
                deliver();
                if (answerOnArrival)
                    finish();
            });
        }
        if (answers && answerLate) {
            const auto ms = std::chrono::ceil<std::chrono::milliseconds>(
                std::max(outcome.delay, std::chrono::microseconds{0}) + outcome.answerLate);
            QTimer::singleShot(ms, Qt::PreciseTimer, this, finish);
        }
    } else if (o.kind == TKind::Characteristic &&
               (member == QStringLiteral("StartNotify") || member == QStringLiteral("StopNotify"))) {
        const bool on = member == QStringLiteral("StartNotify");
        const bool was = e->subscribed.count(o.handle) > 0;
        if (!e->dongle->SetNotifying(o.handle, on)) {
            Reply(m.createErrorReply(ErrNotSupported, QStringLiteral("Operation is not supported")));
            return true;
        }
        if (on)
            e->subscribed.insert(o.handle);
        else
            e->subscribed.erase(o.handle);
        if (was != on)
            EmitPropertiesChanged(path, IfChar, {{QStringLiteral("Notifying"), on}});
        Reply(m.createReply());
    } else if (o.kind == TKind::Descriptor && member == QStringLiteral("ReadValue")) {
        vdongle::TBytes value;
        if (o.uuid == vdongle::uuid::Cccd) {
            value = {static_cast<uint8_t>(e->dongle->Notifying(o.characteristicHandle) ? 1 : 0), 0};
        } else if (const auto* c = e->dongle->Characteristic(o.characteristicHandle)) {
            for (const auto& d : c->descriptors) {
                if (d.handle == o.handle)
                    value = d.value;
            }
        }
        Reply(m.createReply(ToQt(value)));
    } else if (o.kind == TKind::Descriptor && member == QStringLiteral("WriteValue")) {
        if (o.uuid == vdongle::uuid::Cccd) {
            // bluetoothd keeps the CCCD to itself: clients subscribe with StartNotify.
            Reply(m.createErrorReply(ErrNotPermitted, QStringLiteral("Write not permitted")));
            return true;
        }
        const bool ok = e->dongle->WriteDescriptor(o.handle, FromQt(args.value(0).toByteArray()));
        Reply(ok ? m.createReply() : m.createErrorReply(ErrFailed, QStringLiteral("Operation failed")));
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}
