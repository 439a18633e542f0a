#include "BluezPeripheral.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonObject>

#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "BluezTypes.h"
#include "DongleCalls.h"

namespace {

const QString Bluez = QStringLiteral("org.bluez");
const QString IfAdapter = QStringLiteral("org.bluez.Adapter1");
const QString IfDevice = QStringLiteral("org.bluez.Device1");
const QString IfGattManager = QStringLiteral("org.bluez.GattManager1");
const QString IfAdvertManager = QStringLiteral("org.bluez.LEAdvertisingManager1");
const QString IfAdvert = QStringLiteral("org.bluez.LEAdvertisement1");
const QString IfService = QStringLiteral("org.bluez.GattService1");
const QString IfChar = QStringLiteral("org.bluez.GattCharacteristic1");
const QString IfDesc = QStringLiteral("org.bluez.GattDescriptor1");
const QString IfProps = QStringLiteral("org.freedesktop.DBus.Properties");
const QString IfObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString Root = QStringLiteral("/org/corvastel/peripheral");
const QString ControlPath = QStringLiteral("/org/corvastel/VirtualDongles");

const QString ErrFailed = QStringLiteral("org.bluez.Error.Failed");
const QString ErrNotPermitted = QStringLiteral("org.bluez.Error.NotPermitted");
const QString ErrNotSupported = QStringLiteral("org.bluez.Error.NotSupported");

QString UuidText(uint16_t shortUuid) {
    return QString::fromStdString(vdongle::Uuid128(shortUuid));
}
QString Hex4(uint16_t v) {
    return QStringLiteral("%1").arg(v, 4, 16, QLatin1Char('0'));
}

QByteArray ToQt(const vdongle::TBytes& b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}

QVariantMap MapArgument(const QVariant& v) {
    if (v.canConvert<QDBusArgument>())
        return qdbus_cast<QVariantMap>(v.value<QDBusArgument>());
    return v.toMap();
}

// Asks the central of the LE connection on controller hci<dev> for this connection interval: the
// LE Connection Update command, which a peripheral's controller turns into a connection parameters
// request to the central. Raw HCI sockets need CAP_NET_RAW (root in the test rig). The kernel's
// HCI socket interface is written out here, so the service builds without BlueZ's headers.
bool AskConnectionInterval(int dev, int intervalUs, std::string* why) {
    constexpr int AfBluetooth = 31;
    constexpr int BtprotoHci = 1;
    constexpr uint8_t LeLink = 0x80;
    const int fd = ::socket(AfBluetooth, SOCK_RAW | SOCK_CLOEXEC, BtprotoHci);
    if (fd < 0) {
        *why = std::string("no raw HCI socket: ") + std::strerror(errno);
        return false;
    }
    struct TConnInfo {
        uint16_t handle;
        uint8_t address[6];
        uint8_t type;
        uint8_t out;
        uint16_t state;
        uint32_t linkMode;
    };
    struct TConnList {
        uint16_t devId;
        uint16_t count;
        TConnInfo info[8];
    } list{};
    static_assert(sizeof(TConnInfo) == 16 && offsetof(TConnList, info) == 4, "the kernel's layout");
    list.devId = static_cast<uint16_t>(dev);
    list.count = 8;
    if (::ioctl(fd, _IOR('H', 212, int), &list) < 0) {  // HCIGETCONNLIST
        *why = std::string("cannot list the connections: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    const TConnInfo* le = nullptr;
    for (uint16_t i = 0; i < std::min<uint16_t>(list.count, 8) && le == nullptr; ++i) {
        if (list.info[i].type == LeLink)
            le = &list.info[i];
    }
    struct {
        sa_family_t family;
        uint16_t dev;
        uint16_t channel;  // raw
    } address{AfBluetooth, static_cast<uint16_t>(dev), 0};
    if (le == nullptr || ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) < 0) {
        *why = le == nullptr ? "no LE connection" : std::string("cannot bind: ") + std::strerror(errno);
        ::close(fd);
        return false;
    }
    const uint16_t units = static_cast<uint16_t>(intervalUs / 1250);  // 1.25 ms steps
    const uint16_t handle = le->handle;
    // Command packet 0x01, opcode 0x2013 (LE Connection Update), 14 bytes of parameters: handle,
    // interval min and max, peripheral latency 0, supervision time-out 2 s, connection event
    // length unspecified.
    const uint8_t command[] = {0x01,
                               0x13,
                               0x20,
                               14,
                               static_cast<uint8_t>(handle & 0xFF),
                               static_cast<uint8_t>(handle >> 8),
                               static_cast<uint8_t>(units & 0xFF),
                               static_cast<uint8_t>(units >> 8),
                               static_cast<uint8_t>(units & 0xFF),
                               static_cast<uint8_t>(units >> 8),
                               0,
                               0,
                               200,
                               0,
                               0,
                               0,
                               0,
                               0};
    const bool sent = ::write(fd, command, sizeof command) == static_cast<ssize_t>(sizeof command);
    if (!sent)
        *why = std::string("cannot send the command: ") + std::strerror(errno);
    ::close(fd);
    return sent;
}

}  // namespace

TBluezPeripheral::TBluezPeripheral(QDBusConnection bus, const TServiceOptions& options)
    : QDBusVirtualObject(nullptr), FBus(std::move(bus)) {
    RegisterBluezTypes();
    for (size_t i = 0; i < options.dongles.size(); ++i) {
        auto e = std::make_unique<TEntry>();
        e->traits = options.dongles[i];
        e->adapter = QStringLiteral("/org/bluez/") + QString::fromStdString(options.bluezAdapters[i]);
        e->appPath = Root + QStringLiteral("/dongle%1").arg(i);
        e->advertPath = Root + QStringLiteral("/advertisement%1").arg(i);
        FEntries.push_back(std::move(e));
    }
    FAdvertTimer.setInterval(1000);
    connect(&FAdvertTimer, &QTimer::timeout, this, [this] { AdvertiseTick(); });
}

TBluezPeripheral::~TBluezPeripheral() {
    for (auto& e : FEntries) {
        if (e->dongle)
            e->dongle->SetSink({});
    }
}

void TBluezPeripheral::Log(const QString& line) const {
    std::fprintf(stderr, "corvastel-virtual-dongles: %s\n", qPrintable(line));
}

bool TBluezPeripheral::Start(QString* error) {
    auto fail = [&](const QString& why) {
        if (error)
            *error = why;
        return false;
    };
    if (!FBus.isConnected())
        return fail(QStringLiteral("no system bus: %1").arg(FBus.lastError().message()));

    // Where the adapters are and what the others (the central's) are doing.
    const QDBusMessage reply =
        FBus.call(QDBusMessage::createMethodCall(Bluez, QStringLiteral("/"), IfObjectManager,
                                                 QStringLiteral("GetManagedObjects")),
                  QDBus::Block, 10000);
    if (reply.type() != QDBusMessage::ReplyMessage)
        return fail(
            QStringLiteral("bluetoothd does not answer on the system bus: %1").arg(reply.errorMessage()));
    const auto objects = qdbus_cast<TManagedObjectList>(reply.arguments().value(0).value<QDBusArgument>());
    std::map<QString, QString> addresses;
    for (auto it = objects.begin(); it != objects.end(); ++it) {
        if (!it.value().contains(IfAdapter))
            continue;
        const QVariantMap p = it.value().value(IfAdapter);
        addresses[it.key().path()] = p.value(QStringLiteral("Address")).toString();
        FOthers[it.key().path()] = {p.value(QStringLiteral("Address")).toString().toUpper(),
                                    p.value(QStringLiteral("Powered")).toBool(),
                                    p.value(QStringLiteral("Discovering")).toBool()};
    }
    for (size_t i = 0; i < FEntries.size(); ++i) {
        TEntry& e = *FEntries[i];
        if (!addresses.count(e.adapter))
            return fail(QStringLiteral("bluetoothd has no adapter %1").arg(e.adapter));
        FOthers.erase(e.adapter);
        // The dongle is heard under its adapter's address.
        vdongle::TDongleConfig config = e.traits.config;
        const std::string address = addresses[e.adapter].toUpper().toStdString();
        if (config.address != address) {
            Log(QStringLiteral("dongle %1 takes the address of %2: %3")
                    .arg(QString::fromStdString(config.name), e.adapter, QString::fromStdString(address)));
            config.address = address;
        }
        // bluetoothd checks the link's security against the served flags before the dongle sees
        // a read or write: the model must not refuse what bluetoothd let through.
        config.security = vdongle::TSecurity::None;
        e.dongle = std::make_shared<vdongle::TVirtualDongle>(std::move(config));
        e.dongle->SetSink(vdongle::TDongleSink{
            [this, i](uint16_t handle, uint16_t, const vdongle::TBytes& value) {
                QMetaObject::invokeMethod(
                    this, [this, i, handle, value] { OnNotify(i, handle, value); }, Qt::QueuedConnection);
            },
            [this, i] {
                QMetaObject::invokeMethod(
                    this, [this, i] { OnDropped(i); }, Qt::QueuedConnection);
            }});
        for (const auto& s : e.dongle->Gatt()) {
            const QString sPath = e.appPath + QStringLiteral("/service") + Hex4(s.handle);
            FGatt[sPath] = {i, TKind::Service, s.handle, s.uuid, e.appPath};
            for (const auto& c : s.characteristics) {
                const QString cPath = sPath + QStringLiteral("/char") + Hex4(c.handle);
                FGatt[cPath] = {i, TKind::Characteristic, c.handle, c.uuid, sPath};
                for (const auto& d : c.descriptors) {
                    // bluetoothd serves the CCCD of every notifying characteristic itself.
                    if (d.uuid == vdongle::uuid::Cccd)
                        continue;
                    const QString dPath = cPath + QStringLiteral("/desc") + Hex4(d.handle);
                    FGatt[dPath] = {i, TKind::Descriptor, d.handle, d.uuid, cPath};
                }
            }
        }
    }

    if (!FBus.registerVirtualObject(QStringLiteral("/"), this, QDBusConnection::SubPath))
        return fail(QStringLiteral("cannot serve the objects: %1").arg(FBus.lastError().message()));
    if (!FBus.registerService(QString::fromLatin1(BusName))) {
        return fail(QStringLiteral("cannot own %1 on the system bus (install "
                                   "org.corvastel.VirtualDongles.conf in /etc/dbus-1/system.d): %2")
                        .arg(QString::fromLatin1(BusName), FBus.lastError().message()));
    }
    for (const QString& signal : {QStringLiteral("PropertiesChanged")}) {
        FBus.connect(Bluez, QString(), IfProps, signal, this, SLOT(OnBluezSignal(QDBusMessage)));
    }
    FBus.connect(Bluez, QString(), IfObjectManager, QStringLiteral("InterfacesAdded"), this,
                 SLOT(OnBluezSignal(QDBusMessage)));

    for (size_t i = 0; i < FEntries.size(); ++i) {
        TEntry& e = *FEntries[i];
        // The adapter's name is what the central reads as the device name once connected.
        QDBusMessage set = QDBusMessage::createMethodCall(Bluez, e.adapter, IfProps, QStringLiteral("Set"));
        set << IfAdapter << QStringLiteral("Alias")
            << QVariant::fromValue(QDBusVariant(QString::fromStdString(e.dongle->Name())));
        FBus.asyncCall(set);
        QDBusMessage power = QDBusMessage::createMethodCall(Bluez, e.adapter, IfProps, QStringLiteral("Set"));
        power << IfAdapter << QStringLiteral("Powered") << QVariant::fromValue(QDBusVariant(true));
        FBus.asyncCall(power);
        RegisterApplication(i);
    }
    return true;
}

void TBluezPeripheral::RegisterApplication(size_t index) {
    TEntry& e = *FEntries[index];
    QDBusMessage call = QDBusMessage::createMethodCall(Bluez, e.adapter, IfGattManager,
                                                       QStringLiteral("RegisterApplication"));
    call << QVariant::fromValue(QDBusObjectPath(e.appPath)) << QVariantMap{};
    auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, 20000), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, index](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        TEntry& entry = *FEntries[index];
        if (w->isError()) {
            emit Failed(
                QStringLiteral("bluetoothd refused the GATT database of %1 on %2: %3")
                    .arg(QString::fromStdString(entry.dongle->Name()), entry.adapter, w->error().message()));
            return;
        }
        entry.registered = true;
        Advertise(entry, true);
        if (++FRegistered == static_cast<int>(FEntries.size())) {
            FAdvertTimer.start();
            emit Ready();
        }
    });
}

// ---- advertising ---------------------------------------------------------------------------

void TBluezPeripheral::Advertise(TEntry& e, bool on) {
    if (on && e.advert == TAdvert::Off) {
        e.advert = TAdvert::Registering;
        QDBusMessage call = QDBusMessage::createMethodCall(Bluez, e.adapter, IfAdvertManager,
                                                           QStringLiteral("RegisterAdvertisement"));
        call << QVariant::fromValue(QDBusObjectPath(e.advertPath)) << QVariantMap{};
        auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, 10000), this);
        TEntry* entry = &e;
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, entry](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            if (w->isError()) {
                Log(QStringLiteral("advertising on %1 failed: %2").arg(entry->adapter, w->error().message()));
                entry->advert = TAdvert::Off;
                return;
            }
            entry->advert = TAdvert::On;
            // Connected meanwhile: a connected dongle stays silent.
            if (entry->connected)
                Advertise(*entry, false);
        });
    } else if (!on && e.advert == TAdvert::On) {
        e.advert = TAdvert::Unregistering;
        QDBusMessage call = QDBusMessage::createMethodCall(Bluez, e.adapter, IfAdvertManager,
                                                           QStringLiteral("UnregisterAdvertisement"));
        call << QVariant::fromValue(QDBusObjectPath(e.advertPath));
        auto* watcher = new QDBusPendingCallWatcher(FBus.asyncCall(call, 10000), this);
        TEntry* entry = &e;
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, entry](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            entry->advert = TAdvert::Off;
            if (!entry->connected && entry->dongle->Advertising())
                Advertise(*entry, true);
        });
    }
}

void TBluezPeripheral::AdvertiseTick() {
    bool centralScanning = false;
    for (const auto& [path, a] : FOthers)
        centralScanning = centralScanning || a.discovering;
    for (auto& e : FEntries) {
        if (!e->registered)
            continue;
        const bool wanted = !e->connected && e->dongle->Advertising();
        if (!wanted) {
            Advertise(*e, false);
        } else if (e->advert == TAdvert::Off) {
            Advertise(*e, true);
        } else if (e->advert == TAdvert::On && centralScanning) {
            // Registering afresh makes the emulated radio deliver the advertisement to a scan
            // that started after its last delivery (it comes back in the reply's handler). Only
            // while a central scans: a connection attempt that meets the gap fails outright.
            Advertise(*e, false);
        }
    }
}

QVariantMap TBluezPeripheral::AdvertProperties(const TEntry& e) const {
    QVariantMap p;
    p[QStringLiteral("Type")] = QStringLiteral("peripheral");
    QStringList uuids;
    for (uint16_t u : e.dongle->AdvertisedServices())
        uuids << UuidText(u);
    if (!uuids.isEmpty())
        p[QStringLiteral("ServiceUUIDs")] = uuids;
    const QString name = QString::fromStdString(e.dongle->Name());
    if (!name.isEmpty())
        p[QStringLiteral("LocalName")] = name;
    p[QStringLiteral("Discoverable")] = true;
    return p;
}

// ---- the link ------------------------------------------------------------------------------

TBluezPeripheral::TEntry* TBluezPeripheral::EntryOfCentral(const QString& devicePath) {
    for (auto& e : FEntries) {
        const QString prefix = e->adapter + QStringLiteral("/dev_");
        if (!devicePath.startsWith(prefix))
            continue;
        const QString address = devicePath.mid(prefix.size()).replace(QLatin1Char('_'), QLatin1Char(':'));
        for (const auto& [path, a] : FOthers) {
            if (a.address == address.toUpper())
                return e.get();
        }
        return nullptr;
    }
    return nullptr;
}

TBluezPeripheral::TEntry* TBluezPeripheral::EntryByAddress(const QString& address) {
    for (auto& e : FEntries) {
        if (e->dongle &&
            QString::fromStdString(e->dongle->Address()).compare(address, Qt::CaseInsensitive) == 0)
            return e.get();
    }
    return nullptr;
}

void TBluezPeripheral::LinkUp(TEntry& e, const QString& central) {
    if (!e.dropping.isEmpty() && (central.isEmpty() || central == e.dropping))
        return;  // the old link, still on the air until bluetoothd's timer ends it
    if (!central.isEmpty())
        e.central = central;
    if (e.connected)
        return;
    e.connected = true;
    e.dongle->Connect();
    Advertise(e, false);
    if (e.traits.askIntervalUs > 0) {
        // Once the central has settled the link (its discovery first), as a dongle's firmware does.
        const QString adapter = e.adapter;
        const int us = e.traits.askIntervalUs;
        QTimer::singleShot(1000, this, [adapter, us] {
            const int dev = adapter.section(QStringLiteral("/hci"), 1).toInt();
            std::string why;
            if (AskConnectionInterval(dev, us, &why))
                std::fprintf(stderr, "virtual dongle on hci%d: asked for a %d us connection interval\n", dev,
                             us);
            else
                std::fprintf(stderr, "virtual dongle on hci%d: could not ask for a connection interval: %s\n",
                             dev, why.c_str());
        });
    }
}

void TBluezPeripheral::LinkDown(TEntry& e) {
    if (!e.connected)
        return;
    e.connected = false;
    e.central.clear();
    e.dongle->Disconnect();
    if (e.dongle->Advertising())
        Advertise(e, true);
}

void TBluezPeripheral::OnDropped(size_t index) {
    TEntry& e = *FEntries[index];
    // The model already counts the link as gone; the peripheral side ends it on the air.
    if (!e.central.isEmpty()) {
        e.dropping = e.central;
        auto* watcher =
            new QDBusPendingCallWatcher(FBus.asyncCall(QDBusMessage::createMethodCall(
                                            Bluez, e.central, IfDevice, QStringLiteral("Disconnect"))),
                                        this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, index](QDBusPendingCallWatcher* w) {
            w->deleteLater();
            // Refused (the link was gone already): no Connected=false will come to end the wait.
            if (w->isError())
                FEntries[index]->dropping.clear();
        });
    }
    e.connected = false;
    e.central.clear();
}

void TBluezPeripheral::OnBluezSignal(const QDBusMessage& m) {
    const QVariantList args = m.arguments();
    if (m.member() == QStringLiteral("InterfacesAdded")) {
        const QString path = args.value(0).value<QDBusObjectPath>().path();
        const auto ifaces = qdbus_cast<TInterfaceList>(args.value(1).value<QDBusArgument>());
        if (ifaces.contains(IfDevice) && ifaces.value(IfDevice).value(QStringLiteral("Connected")).toBool()) {
            if (TEntry* e = EntryOfCentral(path))
                LinkUp(*e, path);
        }
        return;
    }
    const QString iface = args.value(0).toString();
    const QVariantMap changed = MapArgument(args.value(1));
    if (iface == IfDevice && changed.contains(QStringLiteral("Connected"))) {
        TEntry* e = EntryOfCentral(m.path());
        if (!e)
            return;
        if (!changed.value(QStringLiteral("Connected")).toBool() && e->dropping == m.path())
            e->dropping.clear();
        if (changed.value(QStringLiteral("Connected")).toBool())
            LinkUp(*e, m.path());
        else if (e->central.isEmpty() || e->central == m.path())
            LinkDown(*e);
    } else if (iface == IfAdapter) {
        auto it = FOthers.find(m.path());
        if (it == FOthers.end())
            return;
        if (changed.contains(QStringLiteral("Powered")))
            it->second.powered = changed.value(QStringLiteral("Powered")).toBool();
        if (changed.contains(QStringLiteral("Discovering")))
            it->second.discovering = changed.value(QStringLiteral("Discovering")).toBool();
    }
}

void TBluezPeripheral::OnNotify(size_t index, uint16_t handle, const vdongle::TBytes& value) {
    for (const auto& [path, o] : FGatt) {
        if (o.entry == index && o.kind == TKind::Characteristic && o.handle == handle) {
            // bluetoothd turns a changed Value into a notification to every subscribed central.
            QDBusMessage s = QDBusMessage::createSignal(path, IfProps, QStringLiteral("PropertiesChanged"));
            s << IfChar << QVariantMap{{QStringLiteral("Value"), ToQt(value)}} << QStringList{};
            FBus.send(s);
            return;
        }
    }
}

// ---- objects -------------------------------------------------------------------------------

namespace {
bool InVendorService(const vdongle::TVirtualDongle& dongle, uint16_t handle) {
    for (const auto& s : dongle.Gatt()) {
        for (const auto& c : s.characteristics) {
            if (c.handle == handle)
                return s.uuid == vdongle::uuid::Vendor;
        }
    }
    return false;
}
}  // namespace

QVariantMap TBluezPeripheral::GattProperties(const TGattObject& o) const {
    QVariantMap p;
    p[QStringLiteral("UUID")] = UuidText(o.uuid);
    const TEntry& e = *FEntries[o.entry];
    switch (o.kind) {
        case TKind::Service:
            p[QStringLiteral("Primary")] = true;
            break;
        case TKind::Characteristic: {
            const auto* c = e.dongle->Characteristic(o.handle);
            p[QStringLiteral("Service")] = QVariant::fromValue(QDBusObjectPath(o.parentPath));
            p[QStringLiteral("Flags")] = GattServerFlagsOf(
                c ? c->properties : 0,
                InVendorService(*e.dongle, o.handle) ? e.traits.config.security : vdongle::TSecurity::None);
            break;
        }
        case TKind::Descriptor:
            p[QStringLiteral("Characteristic")] = QVariant::fromValue(QDBusObjectPath(o.parentPath));
            p[QStringLiteral("Flags")] = QStringList{QStringLiteral("read")};
            break;
    }
    return p;
}

QString TBluezPeripheral::introspect(const QString& path) const {
    Q_UNUSED(path);
    return QStringLiteral(
        "<interface name=\"org.freedesktop.DBus.ObjectManager\">"
        "<method name=\"GetManagedObjects\"><arg type=\"a{oa{sa{sv}}}\" direction=\"out\"/></method>"
        "</interface>");
}

void TBluezPeripheral::Reply(const QDBusMessage& reply) {
    FBus.send(reply);
}

bool TBluezPeripheral::handleMessage(const QDBusMessage& m, const QDBusConnection&) {
    const QString path = m.path();
    const QString iface = m.interface();
    if (path == ControlPath)
        return HandleControl(m);
    if (iface == IfObjectManager && m.member() == QStringLiteral("GetManagedObjects")) {
        TManagedObjectList objects;
        for (const auto& e : FEntries) {
            if (path == e->advertPath)
                objects[QDBusObjectPath(path)] = TInterfaceList{{IfAdvert, AdvertProperties(*e)}};
        }
        for (const auto& [p, o] : FGatt) {
            if (!p.startsWith(path + QLatin1Char('/')))
                continue;
            const QString objectIface = o.kind == TKind::Service          ? IfService
                                        : o.kind == TKind::Characteristic ? IfChar
                                                                          : IfDesc;
            objects[QDBusObjectPath(p)] = TInterfaceList{{objectIface, GattProperties(o)}};
        }
        Reply(m.createReply(QVariant::fromValue(objects)));
        return true;
    }
    if (iface == IfProps)
        return HandleProperties(m);
    if (iface == IfAdvert && m.member() == QStringLiteral("Release")) {
        for (auto& e : FEntries) {
            if (e->advertPath == path)
                e->advert = TAdvert::Off;
        }
        Reply(m.createReply());
        return true;
    }
    if (auto it = FGatt.find(path); it != FGatt.end())
        return HandleGatt(m, it->second);
    Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownObject"),
                             QStringLiteral("No such object or interface: %1 %2").arg(path, iface)));
    return true;
}

bool TBluezPeripheral::HandleProperties(const QDBusMessage& m) {
    const QVariantList args = m.arguments();
    const QString iface = args.value(0).toString();
    QVariantMap props;
    bool known = false;
    for (const auto& e : FEntries) {
        if (m.path() == e->advertPath && iface == IfAdvert) {
            props = AdvertProperties(*e);
            known = true;
        }
    }
    if (auto it = FGatt.find(m.path()); it != FGatt.end()) {
        props = GattProperties(it->second);
        known = true;
    }
    if (!known) {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                 QStringLiteral("No such interface '%1'").arg(iface)));
        return true;
    }
    if (m.member() == QStringLiteral("GetAll")) {
        Reply(m.createReply(QVariant(props)));
    } else if (m.member() == QStringLiteral("Get") && props.contains(args.value(1).toString())) {
        Reply(m.createReply(QVariant::fromValue(QDBusVariant(props.value(args.value(1).toString())))));
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.InvalidArgs"),
                                 QStringLiteral("Read-only")));
    }
    return true;
}

bool TBluezPeripheral::HandleGatt(const QDBusMessage& m, const TGattObject& o) {
    TEntry& e = *FEntries[o.entry];
    const QString member = m.member();
    const QVariantList args = m.arguments();
    const QVariantMap options =
        MapArgument(member == QStringLiteral("WriteValue") ? args.value(1) : args.value(0));
    // A read, a write or a subscription from the central proves the link, whatever order
    // bluetoothd's signals come in. StopNotify does not: bluetoothd calls it once the last
    // subscriber's link has gone.
    const QString device = options.value(QStringLiteral("device")).value<QDBusObjectPath>().path();
    if (member == QStringLiteral("StartNotify") ||
        ((member == QStringLiteral("ReadValue") || member == QStringLiteral("WriteValue")) &&
         EntryOfCentral(device) == &e)) {
        LinkUp(e, device);
    }
    const int offset = options.value(QStringLiteral("offset")).toInt();

    if (o.kind == TKind::Characteristic && member == QStringLiteral("ReadValue")) {
        const auto value = e.dongle->Read(o.handle);
        if (!value) {
            Reply(m.createErrorReply(ErrNotPermitted, QStringLiteral("Read not permitted")));
            return true;
        }
        Reply(m.createReply(ToQt(*value).mid(offset)));
    } else if (o.kind == TKind::Characteristic && member == QStringLiteral("WriteValue")) {
        const QByteArray bytes = args.value(0).toByteArray();
        const auto kind = options.value(QStringLiteral("type")).toString() == QStringLiteral("command")
                              ? vdongle::TWriteKind::Command
                              : vdongle::TWriteKind::Request;
        e.inFlight++;
        e.maxInFlight = std::max(e.maxInFlight, e.inFlight);
        const vdongle::TWriteOutcome outcome =
            e.dongle->Write(o.handle, vdongle::TBytes(bytes.begin(), bytes.end()), kind);
        // bluetoothd turns an error into an ATT error response for a write request; for a write
        // command it has nobody to tell.
        const QDBusMessage reply = outcome.status == vdongle::GattSuccess
                                       ? m.createReply()
                                       : m.createErrorReply(ErrFailed, QStringLiteral("Operation failed"));
        TEntry* entry = &e;
        auto finish = [this, entry, reply] {
            entry->inFlight--;
            Reply(reply);
        };
        // A busy peer answers a request late, or never (a test asked for it).
        const bool command = kind == vdongle::TWriteKind::Command;
        const auto answerIn = outcome.delay + (command ? std::chrono::microseconds{0} : outcome.answerLate);
        if (!command && !outcome.answered)
            return true;
        if (answerIn.count() <= 0)
            finish();
        else
            QTimer::singleShot(std::chrono::ceil<std::chrono::milliseconds>(answerIn), Qt::PreciseTimer, this,
                               finish);
    } else if (o.kind == TKind::Characteristic &&
               (member == QStringLiteral("StartNotify") || member == QStringLiteral("StopNotify"))) {
        if (!e.dongle->SetNotifying(o.handle, member == QStringLiteral("StartNotify"))) {
            Reply(m.createErrorReply(ErrNotSupported, QStringLiteral("Operation is not supported")));
            return true;
        }
        Reply(m.createReply());
    } else if (o.kind == TKind::Descriptor && member == QStringLiteral("ReadValue")) {
        const auto value = e.dongle->ReadDescriptor(o.handle);
        Reply(value ? m.createReply(ToQt(*value).mid(offset))
                    : m.createErrorReply(ErrNotPermitted, QStringLiteral("Read not permitted")));
    } else {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
    }
    return true;
}

bool TBluezPeripheral::HandleControl(const QDBusMessage& m) {
    const QString member = m.member();
    const QVariantList args = m.arguments();
    if (member == QStringLiteral("Status")) {
        bool powered = !FOthers.empty();
        bool discovering = false;
        for (const auto& [path, a] : FOthers) {
            powered = powered && a.powered;
            discovering = discovering || a.discovering;
        }
        // The peripheral cannot see the central's discovery; it is served once connected.
        std::vector<TDongleLinkStatus> dongles;
        for (const auto& e : FEntries)
            dongles.push_back({e->dongle.get(), e->connected, e->connected, e->maxInFlight, e->adapter});
        Reply(m.createReply(StatusJson(!FOthers.empty(), powered, discovering, dongles)));
        return true;
    }
    if (member == QStringLiteral("SetPowered")) {
        for (const auto& [path, a] : FOthers) {
            QDBusMessage set = QDBusMessage::createMethodCall(Bluez, path, IfProps, QStringLiteral("Set"));
            set << IfAdapter << QStringLiteral("Powered")
                << QVariant::fromValue(QDBusVariant(args.value(0).toBool()));
            FBus.asyncCall(set);
        }
        Reply(m.createReply());
        return true;
    }
    if (member == QStringLiteral("AddDongle") || member == QStringLiteral("RemoveDongle")) {
        Reply(m.createErrorReply(ErrNotSupported,
                                 QStringLiteral("a real peripheral needs an adapter of its own")));
        return true;
    }
    const QString address = args.value(0).toString();
    TEntry* e = EntryByAddress(address);
    if (!e) {
        Reply(m.createErrorReply(QStringLiteral("org.corvastel.VirtualDongles.Error.UnknownDongle"),
                                 QStringLiteral("No dongle with address '%1'").arg(address)));
        return true;
    }
    QDBusMessage reply;
    if (!AnswerDongleCall(m, *e->dongle, &reply)) {
        Reply(m.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod"), member));
        return true;
    }
    if (member == QStringLiteral("ClearRecords"))
        e->maxInFlight = 0;
    Reply(reply);
    return true;
}
