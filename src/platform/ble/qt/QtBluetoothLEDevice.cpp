#include "platform/ble/qt/QtBluetoothLEDevice.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QEventLoop>
#include <QLowEnergyConnectionParameters>
#include <QLowEnergyController>
#include <QLowEnergyService>
#include <QPointer>
#include <QTimer>
#if defined(Q_OS_LINUX)
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#endif

#include <algorithm>
#include <condition_variable>

#include "platform/ble/qt/BluezDeviceChoice.h"
#include "platform/ble/qt/QtBleThread.h"
#include "platform/ble/qt/QtUuid.h"

namespace {

// bluetoothd reports each value it reads as a property change too, which Qt passes on as a
// notification. It sends that change just before the read's reply; a stack that sends it after
// the reply gets this long for it.
constexpr auto EchoWindow = std::chrono::milliseconds(500);
// Write-without-response operations are never confirmed by Qt; remember only this many for
// attributing a late failure, the older ones are long done.
constexpr size_t MaxSilentOps = 64;

const QByteArray CccdNotify = QByteArray::fromHex("0100");
const QByteArray CccdIndicate = QByteArray::fromHex("0200");
const QByteArray CccdOff = QByteArray::fromHex("0000");

TBytes ToBytes(const QByteArray& a) {
    return TBytes(a.begin(), a.end());
}

QByteArray ToQt(std::span<const uint8_t> bytes) {
    return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

}  // namespace

struct TQtBluetoothLEDevice::TDiscoverWait {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool ok = false;
    TBluetoothGattServiceList services;
};

TQtBluetoothLEDevice::TQtBluetoothLEDevice(TQtBleThread& thread, TQtBleThread& writeThread,
                                           const QBluetoothDeviceInfo& info,
                                           std::chrono::milliseconds connectTimeout)
    : FThread(thread),
      FWriteThread(writeThread),
      FConnectTimeout(connectTimeout),
      FAddress(info.address().toString().toUpper().toStdString()),
      FName(info.name().toStdString()),
      FInfo(info) {}

TQtBluetoothLEDevice::~TQtBluetoothLEDevice() = default;

std::string TQtBluetoothLEDevice::Address() const {
    return FAddress;
}

std::string TQtBluetoothLEDevice::DeviceName() const {
    std::lock_guard lock(FLock);
    return FName;
}

TBluetoothGattServiceList TQtBluetoothLEDevice::Services() const {
    std::lock_guard lock(FLock);
    return FCurrentServices;
}

void TQtBluetoothLEDevice::UpdateInfo(const QBluetoothDeviceInfo& info) {
    FInfo = info;
    if (!info.name().isEmpty()) {
        std::lock_guard lock(FLock);
        FName = info.name().toStdString();
    }
}

// ---- service discovery -------------------------------------------------------------------------

bool TQtBluetoothLEDevice::DiscoverServices() {
    // The BLE thread cannot wait for itself; discovery is always asked for by a connect worker.
    if (FThread.IsCurrent())
        return false;
    auto wait = std::make_shared<TDiscoverWait>();
    FThread.Post([this, wait] { StartDiscover(wait); });

    std::unique_lock lock(wait->lock);
    // The BLE thread ends the wait itself after the connect time-out; the margin only covers a
    // BLE thread stuck in a blocking D-Bus call (up to the bus's 25 s reply time-out).
    const auto backstop = FConnectTimeout + std::chrono::seconds(30);
    if (!wait->done.wait_for(lock, backstop, [&] { return wait->finished; }))
        return false;
    if (!wait->ok)
        return false;
    const auto services = wait->services;
    lock.unlock();
    RaiseServicesDiscovered(services);
    return true;
}

void TQtBluetoothLEDevice::StartDiscover(const std::shared_ptr<TDiscoverWait>& wait) {
    FWaiters.push_back(wait);
    if (FWaiters.size() > 1)
        return;  // a discovery is under way; this caller shares its result

    if (FController && FController->state() == QLowEnergyController::DiscoveredState) {
        // Still connected with services known: Qt does not rediscover in this state.
        FinishDiscover(true);
        return;
    }
    if (!FController)
        CreateController();

    if (!FConnectTimer) {
        FConnectTimer = new QTimer(FThread.Context());
        FConnectTimer->setSingleShot(true);
        FConnectTimer->setTimerType(Qt::PreciseTimer);  // a coarse timer may fire 5 % early
        QObject::connect(FConnectTimer, &QTimer::timeout, FThread.Context(), [this] {
            TQtBleThread::TBusy busy(FThread);
            // Qt has no connect time-out of its own: a device that never resolves its services
            // would keep the controller connecting for ever.
            DropController();
            FinishDiscover(false);
        });
    }
    FConnectTimer->start(FConnectTimeout);

    switch (FController->state()) {
        case QLowEnergyController::UnconnectedState:
            FController->connectToDevice();
            break;
        case QLowEnergyController::ConnectedState:
            OnControllerConnected();
            break;
        default:
            break;  // connecting or discovering: the running step carries on
    }
}

void TQtBluetoothLEDevice::CreateController() {
    // Created on the BLE thread, so it lives there.
    FController = QLowEnergyController::createCentral(FInfo);
    ++FLinkSerial;
    QObject* ctx = FThread.Context();
    QObject::connect(FController, &QLowEnergyController::connected, ctx, [this] {
        TQtBleThread::TBusy busy(FThread);
        OnControllerConnected();
    });
    // Qt's BlueZ backend emits discoveryFinished inside discoverServices(): these are connected
    // before the first call.
    QObject::connect(FController, &QLowEnergyController::discoveryFinished, ctx, [this] {
        TQtBleThread::TBusy busy(FThread);
        OnControllerDiscoveryFinished();
    });
    QObject::connect(FController, &QLowEnergyController::disconnected, ctx, [this] {
        TQtBleThread::TBusy busy(FThread);
        OnControllerDisconnected();
    });
    QObject::connect(FController, &QLowEnergyController::errorOccurred, ctx,
                     [this](QLowEnergyController::Error error) {
                         TQtBleThread::TBusy busy(FThread);
                         if (error == QLowEnergyController::NoError)
                             return;
                         if (FWaiters.empty())
                             return;
                         if (error == QLowEnergyController::UnknownRemoteDeviceError && !FSought) {
                             // bluetoothd forgets a device it never connected once it has not
                             // heard it for 30 s (its TemporaryTimeout), and every device when it
                             // restarts: the device is looked for again, and the connect goes on
                             // once it is heard, within the same connect time-out.
                             DropController();
                             SeekDevice();
                             return;
                         }
                         // Before the link is up an error is the end of this connect attempt
                         // (a drop before services resolve arrives only as an error).
                         DropController();
                         FinishDiscover(false);
                     });
}

void TQtBluetoothLEDevice::DropController() {
    if (!FController)
        return;
    const bool wasConnected = FConnected.exchange(false);
    QLowEnergyController* controller = FController;
    FController = nullptr;
    QObject::disconnect(controller, nullptr, FThread.Context(), nullptr);
    for (QLowEnergyService* s : FQtServices)
        QObject::disconnect(s, nullptr, FThread.Context(), nullptr);
    FQtServices.clear();
    FSeekingPaths = false;
    {
        std::lock_guard lock(FCommandLock);
        FCommandPaths.clear();
    }
    if (controller->state() != QLowEnergyController::UnconnectedState)
        controller->disconnectFromDevice();
    controller->deleteLater();  // its service objects are its children
    FailPendingOps();
    if (wasConnected && FWaiters.empty())
        RaiseDisconnect();
}

namespace {

#if defined(Q_OS_LINUX)
// Asks the bus which process holds bluetoothd's name, without waiting; then gets it (empty when
// nobody does or the bus did not say) on the thread of context.
void AskStackOwner(QObject* context, std::function<void(const QString&)> then) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetNameOwner"));
    call << QStringLiteral("org.bluez");
    auto* watcher = new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context,
                     [then = std::move(then)](QDBusPendingCallWatcher* w) {
                         w->deleteLater();
                         const QDBusMessage reply = w->reply();
                         then(reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                                  ? reply.arguments().constFirst().toString()
                                  : QString());
                     });
}
#endif

}  // namespace

void TQtBluetoothLEDevice::OnControllerConnected() {
    FConnected = true;
#if defined(Q_OS_LINUX)
    // bluetoothd may be slow to answer (it is busy with another link): the BLE thread does not wait.
    AskStackOwner(FThread.Context(), [this, link = FLinkSerial](const QString& owner) {
        TQtBleThread::TBusy busy(FThread);
        if (link == FLinkSerial)
            FStackOwner = owner;
    });
#endif
    if (FWaiters.empty())
        return;
    FController->discoverServices();
}

void TQtBluetoothLEDevice::OnControllerDiscoveryFinished() {
    if (FWaiters.empty() || !FController)
        return;
    for (QLowEnergyService* s : FQtServices)
        QObject::disconnect(s, nullptr, FThread.Context(), nullptr);
    FQtServices.clear();
    for (const QBluetoothUuid& uuid : FController->services()) {
        QLowEnergyService* service = FController->createServiceObject(uuid, FController);
        if (!service)
            continue;
        FQtServices.push_back(service);
        ConnectServiceSignals(service);
    }
    // Values are read when the session asks; reading them all here would double the traffic.
    for (QLowEnergyService* s : FQtServices) {
        if (s->state() == QLowEnergyService::RemoteService)
            s->discoverDetails(QLowEnergyService::SkipValueDiscovery);
    }
    OnServiceStateChanged();
}

void TQtBluetoothLEDevice::OnServiceStateChanged() {
    if (FWaiters.empty() || FSeekingPaths)
        return;
    for (QLowEnergyService* s : FQtServices) {
        if (s->state() != QLowEnergyService::RemoteServiceDiscovered)
            return;
    }
    BuildGattObjects();
    RequestCommandPaths();  // finishes the discovery
}

void TQtBluetoothLEDevice::ConnectServiceSignals(QLowEnergyService* service) {
    QObject* ctx = FThread.Context();
    QObject::connect(service, &QLowEnergyService::stateChanged, ctx, [this] {
        TQtBleThread::TBusy busy(FThread);
        OnServiceStateChanged();
    });
    QObject::connect(service, &QLowEnergyService::characteristicRead, ctx,
                     [this, service](const QLowEnergyCharacteristic& qc, const QByteArray& value) {
                         TQtBleThread::TBusy busy(FThread);
                         TBluetoothGattCharacteristic* c = FindCharacteristic(service, qc);
                         if (!c)
                             return;
                         TakeOp(TOpKind::Read, c);
                         TBytes bytes = ToBytes(value);
                         const bool echoSeen = ReleaseHeldChanges(*c, &bytes);
                         if (FNotifying[c] && !echoSeen)
                             FEchoes[c].push_back({bytes, std::chrono::steady_clock::now() + EchoWindow});
                         c->SetValue(bytes);
                         RaiseCharacteristicRead(*c, GattStatusSuccess, bytes);
                     });
    QObject::connect(service, &QLowEnergyService::characteristicChanged, ctx,
                     [this, service](const QLowEnergyCharacteristic& qc, const QByteArray& value) {
                         TQtBleThread::TBusy busy(FThread);
                         TBluetoothGattCharacteristic* c = FindCharacteristic(service, qc);
                         // Qt reports every value change of a characteristic with a CCCD, also
                         // ones nobody subscribed to.
                         if (!c || !FNotifying[c])
                             return;
                         TBytes bytes = ToBytes(value);
                         // bluetoothd reports each read value a second time as a change; the
                         // session must see it once.
                         auto& echoes = FEchoes[c];
                         const auto now = std::chrono::steady_clock::now();
                         while (!echoes.empty() && echoes.front().until < now)
                             echoes.pop_front();
                         if (!echoes.empty() && echoes.front().value == bytes) {
                             echoes.pop_front();
                             return;
                         }
                         // While a read is on its way, a change may be its echo: it waits for
                         // the read's reply to tell.
                         const bool reading =
                             std::any_of(FOps.begin(), FOps.end(), [c](const TPendingOp& op) {
                                 return op.kind == TOpKind::Read && op.characteristic == c;
                             });
                         if (reading) {
                             FHeldChanges[c].push_back(std::move(bytes));
                             return;
                         }
                         c->SetValue(bytes);
                         RaiseCharacteristicRead(*c, GattStatusSuccess, bytes);
                     });
    QObject::connect(service, &QLowEnergyService::characteristicWritten, ctx,
                     [this, service](const QLowEnergyCharacteristic& qc, const QByteArray&) {
                         TQtBleThread::TBusy busy(FThread);
                         TBluetoothGattCharacteristic* c = FindCharacteristic(service, qc);
                         if (!c)
                             return;
                         TPendingOp op{};
                         if (TakeOp(TOpKind::WriteWithResponse, c, false, &op))
                             RaiseCharacteristicWrite(*c, GattStatusSuccess, FThread.StalledSince(op.sentAt));
                     });
    QObject::connect(service, &QLowEnergyService::descriptorWritten, ctx,
                     [this, service](const QLowEnergyDescriptor& qd, const QByteArray&) {
                         TQtBleThread::TBusy busy(FThread);
                         for (auto& [c, link] : FLinks) {
                             if (link.service != service)
                                 continue;
                             for (const QLowEnergyDescriptor& d : link.qt.descriptors()) {
                                 if (d == qd) {
                                     TakeOp(TOpKind::DescriptorWrite, c);
                                     return;
                                 }
                             }
                         }
                     });
    QObject::connect(
        service, &QLowEnergyService::errorOccurred, ctx, [this](QLowEnergyService::ServiceError error) {
            TQtBleThread::TBusy busy(FThread);
            TPendingOp op{};
            switch (error) {
                case QLowEnergyService::CharacteristicReadError:
                    if (TakeOp(TOpKind::Read, nullptr, false, &op)) {
                        ReleaseHeldChanges(*op.characteristic, nullptr);
                        RaiseCharacteristicRead(*op.characteristic, GattStatusFailure, {});
                    }
                    break;
                case QLowEnergyService::CharacteristicWriteError:
                    // Also a write without response: Qt confirms those only by failing them. One whose
                    // paced completion is still due completes with the failure instead; one completed
                    // already gets the failure as a second completion.
                    if (TakeOp(TOpKind::WriteWithResponse, nullptr, true, &op)) {
                        if (op.kind == TOpKind::WriteWithoutResponse) {
                            auto paced = std::find_if(FPaced.begin(), FPaced.end(), [&](const TPaced& p) {
                                return p.characteristic == op.characteristic;
                            });
                            if (paced != FPaced.end() && FinishPaced(paced->token, GattStatusFailure))
                                break;
                        }
                        RaiseCharacteristicWrite(*op.characteristic, GattStatusFailure);
                    }
                    // A write fails for good when the stack's objects are gone: Qt keeps the controller
                    // "connected" and skips every later write, so the link is lost then.
                    CheckStackAfterFailure();
                    break;
                case QLowEnergyService::DescriptorWriteError:
                    TakeOp(TOpKind::DescriptorWrite, nullptr);
                    break;
                default:
                    break;
            }
        });
}

void TQtBluetoothLEDevice::BuildGattObjects() {
    TBluetoothGattServiceList current;
    FLinks.clear();
    {
        std::lock_guard lock(FCommandLock);
        FCommandPaths.clear();
    }
    FDescriptorOwners.clear();
    for (QLowEnergyService* qs : FQtServices) {
        const TBluetoothUuid uuid = FromQtUuid(qs->serviceUuid());
        const QList<QLowEnergyCharacteristic> qchars = qs->characteristics();

        // The session keeps borrowed pointers: hand out the same objects again when the service
        // looks the same, else new ones (the old ones stay alive with the device).
        auto sameShape = [&](const TBluetoothGattService& s) {
            if (!(s.UUID() == uuid) || s.Characteristics().size() != static_cast<size_t>(qchars.size()))
                return false;
            for (qsizetype i = 0; i < qchars.size(); ++i) {
                const TBluetoothGattCharacteristic& c = *s.Characteristics()[static_cast<size_t>(i)];
                const QList<QLowEnergyDescriptor> qdescs = qchars[i].descriptors();
                if (!(c.UUID() == FromQtUuid(qchars[i].uuid())) ||
                    c.Properties() != static_cast<uint8_t>(qchars[i].properties().toInt() & 0xFF) ||
                    c.Descriptors().size() != static_cast<size_t>(qdescs.size())) {
                    return false;
                }
                for (qsizetype j = 0; j < qdescs.size(); ++j) {
                    if (!(c.Descriptors()[static_cast<size_t>(j)]->UUID() == FromQtUuid(qdescs[j].uuid())))
                        return false;
                }
            }
            return true;
        };
        TBluetoothGattService* service = nullptr;
        for (auto it = FOwnedServices.rbegin(); it != FOwnedServices.rend() && !service; ++it) {
            const bool taken = std::find(current.begin(), current.end(), it->get()) != current.end();
            if (!taken && sameShape(**it))
                service = it->get();
        }
        if (!service) {
            auto created = std::make_unique<TBluetoothGattService>(uuid);
            for (const QLowEnergyCharacteristic& qc : qchars) {
                auto c = std::make_unique<TBluetoothGattCharacteristic>(
                    FromQtUuid(qc.uuid()), static_cast<uint8_t>(qc.properties().toInt() & 0xFF));
                for (const QLowEnergyDescriptor& qd : qc.descriptors()) {
                    c->AddDescriptor(std::make_unique<TBluetoothGattDescriptor>(FromQtUuid(qd.uuid())));
                }
                created->AddCharacteristic(std::move(c));
            }
            service = created.get();
            FOwnedServices.push_back(std::move(created));
        }
        for (qsizetype i = 0; i < qchars.size(); ++i) {
            TBluetoothGattCharacteristic* c = service->Characteristics()[static_cast<size_t>(i)];
            FLinks[c] = TCharLink{qs, qchars[i]};
            for (TBluetoothGattDescriptor* d : c->Descriptors())
                FDescriptorOwners[d] = c;
        }
        current.push_back(service);
    }
    std::lock_guard lock(FLock);
    FCurrentServices = current;
}

void TQtBluetoothLEDevice::SeekDevice() {
    FSought = true;
    if (!FSeeker) {
        FSeeker = new QBluetoothDeviceDiscoveryAgent(FThread.Context());
        FSeeker->setLowEnergyDiscoveryTimeout(0);  // the connect time-out bounds it
        QObject* ctx = FThread.Context();
        QObject::connect(FSeeker, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, ctx,
                         [this](const QBluetoothDeviceInfo& info) {
                             TQtBleThread::TBusy busy(FThread);
                             OnSought(info);  // a connect starts in it, and Qt blocks in that
                         });
        QObject::connect(FSeeker, &QBluetoothDeviceDiscoveryAgent::deviceUpdated, ctx,
                         [this](const QBluetoothDeviceInfo& info, QBluetoothDeviceInfo::Fields) {
                             TQtBleThread::TBusy busy(FThread);
                             OnSought(info);
                         });
        QObject::connect(FSeeker, &QBluetoothDeviceDiscoveryAgent::errorOccurred, ctx, [this] {
            TQtBleThread::TBusy busy(FThread);
            if (FSeeker->isActive() || FWaiters.empty())
                return;
            FinishDiscover(false);
        });
    }
    FSeeker->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    // The start may report the device at once (and the connect be under way already).
    if (!FSeeker->isActive() && !FController && FSeeker->error() != QBluetoothDeviceDiscoveryAgent::NoError)
        FinishDiscover(false);
}

void TQtBluetoothLEDevice::OnSought(const QBluetoothDeviceInfo& info) {
    // Only this device, and only once it is heard: the stack lists what it knows at the start of a
    // scan with no signal strength.
    if (FWaiters.empty() || FController || info.rssi() == 0 ||
        info.address().toString().toUpper().toStdString() != FAddress) {
        return;
    }
    StopSeeking();
    UpdateInfo(info);
    CreateController();
    FController->connectToDevice();
}

void TQtBluetoothLEDevice::StopSeeking() {
    // Stopped, not deleted, while it runs: Qt counts the scans running on an adapter.
    if (FSeeker && FSeeker->isActive())
        FSeeker->stop();
}

void TQtBluetoothLEDevice::FinishDiscover(bool ok) {
    if (FConnectTimer)
        FConnectTimer->stop();
    StopSeeking();
    FSought = false;
    const TBluetoothGattServiceList services = Services();
    for (const auto& wait : FWaiters) {
        std::lock_guard lock(wait->lock);
        wait->finished = true;
        wait->ok = ok;
        wait->services = services;
        wait->done.notify_all();
    }
    FWaiters.clear();
}

void TQtBluetoothLEDevice::OnControllerDisconnected() {
    const bool discovering = !FWaiters.empty();
    DropController();
    if (discovering)
        FinishDiscover(false);
}

void TQtBluetoothLEDevice::CheckStackAfterFailure() {
#if defined(Q_OS_LINUX)
    if (FStackOwner.isEmpty() || !FController)
        return;  // not known: nothing to compare
    AskStackOwner(FThread.Context(), [this, link = FLinkSerial, was = FStackOwner](const QString& owner) {
        TQtBleThread::TBusy busy(FThread);
        if (link == FLinkSerial && FController && owner != was)
            OnStackLost();
    });
#endif
}

void TQtBluetoothLEDevice::OnStackLost() {
    if (!FController)
        return;
    FStackOwner.clear();
    const bool discovering = !FWaiters.empty();
    DropController();  // raises the disconnect of a link that was up
    if (discovering)
        FinishDiscover(false);
}

QLowEnergyController* TQtBluetoothLEDevice::StartShutdownOnBleThread() {
    FinishDiscover(false);
    if (!FController)
        return nullptr;
    QObject::disconnect(FController, nullptr, FThread.Context(), nullptr);
    // Deleting a controller with its link up makes Qt warn, and its own disconnect on deletion
    // only starts the close. The link is closed first and the stack given a moment to confirm it.
    if (FController->state() == QLowEnergyController::UnconnectedState)
        return nullptr;
    FController->disconnectFromDevice();
    return FController->state() == QLowEnergyController::UnconnectedState ? nullptr : FController;
}

void TQtBluetoothLEDevice::FinishShutdownOnBleThread() {
    FinishDiscover(false);
    delete FSeeker;
    FSeeker = nullptr;
    delete FController;
    FController = nullptr;
    FQtServices.clear();
    FConnected = false;
    delete FConnectTimer;
    FConnectTimer = nullptr;
}

void TQtBluetoothLEDevice::ShutdownAllOnBleThread(const std::vector<TQtBluetoothLEDevice*>& devices,
                                                  std::chrono::milliseconds bound) {
    // Every link is closed at once and waited for together: bluetoothd holds each disconnect for
    // its disconnect timer (2 s), so closing them one after another would take that per dongle.
    std::vector<QPointer<QLowEnergyController>> closing;
    for (TQtBluetoothLEDevice* device : devices) {
        if (QLowEnergyController* controller = device->StartShutdownOnBleThread())
            closing.emplace_back(controller);
    }
    const auto allClosed = [&closing] {
        return std::all_of(closing.begin(), closing.end(), [](const QPointer<QLowEnergyController>& c) {
            return c.isNull() || c->state() == QLowEnergyController::UnconnectedState;
        });
    };
    if (!allClosed()) {
        QEventLoop loop;
        for (const auto& controller : closing) {
            QObject::connect(controller.data(), &QLowEnergyController::stateChanged, &loop,
                             [&loop, &allClosed] {
                                 if (allClosed())
                                     loop.quit();
                             });
        }
        QTimer::singleShot(bound, &loop, &QEventLoop::quit);
        loop.exec();
    }
    for (TQtBluetoothLEDevice* device : devices)
        device->FinishShutdownOnBleThread();
}

// ---- GATT operations ---------------------------------------------------------------------------

TBluetoothGattCharacteristic* TQtBluetoothLEDevice::FindCharacteristic(QLowEnergyService* service,
                                                                       const QLowEnergyCharacteristic& qc) {
    for (auto& [c, link] : FLinks) {
        if (link.service == service && link.qt == qc)
            return c;
    }
    return nullptr;
}

bool TQtBluetoothLEDevice::ReleaseHeldChanges(TBluetoothGattCharacteristic& c, const TBytes* readValue) {
    auto it = FHeldChanges.find(&c);
    if (it == FHeldChanges.end())
        return false;
    std::deque<TBytes> held = std::move(it->second);
    FHeldChanges.erase(it);
    bool echoSeen = false;
    for (TBytes& value : held) {
        if (!echoSeen && readValue && value == *readValue) {
            echoSeen = true;
            continue;
        }
        // A notification that came during the read: the session gets it before the read.
        c.SetValue(value);
        RaiseCharacteristicRead(c, GattStatusSuccess, value);
    }
    return echoSeen;
}

bool TQtBluetoothLEDevice::TakeOp(TOpKind kind, TBluetoothGattCharacteristic* c, bool anyWriteKind,
                                  TPendingOp* taken) {
    auto matches = [&](const TPendingOp& op) {
        const bool kindOk = op.kind == kind || (anyWriteKind && (op.kind == TOpKind::WriteWithResponse ||
                                                                 op.kind == TOpKind::WriteWithoutResponse));
        return kindOk && (c == nullptr || op.characteristic == c);
    };
    auto it = std::find_if(FOps.begin(), FOps.end(), matches);
    if (it == FOps.end())
        return false;
    if (taken)
        *taken = *it;
    // Qt runs one operation at a time in the order given: everything before this one is done.
    FOps.erase(FOps.begin(), it + 1);
    return true;
}

bool TQtBluetoothLEDevice::FinishPaced(uint64_t token, uint16_t status) {
    auto it =
        std::find_if(FPaced.begin(), FPaced.end(), [token](const TPaced& p) { return p.token == token; });
    if (it == FPaced.end())
        return false;
    TBluetoothGattCharacteristic* c = it->characteristic;
    const bool delayed = FThread.StalledSince(it->madeAt);
    FPaced.erase(it);
    RaiseCharacteristicWrite(*c, status, delayed);
    return true;
}

void TQtBluetoothLEDevice::FailPendingOps() {
    // Paced writes of a link that is gone complete now, with a failure.
    while (!FPaced.empty())
        FinishPaced(FPaced.front().token, GattStatusFailure);
    std::deque<TPendingOp> ops;
    ops.swap(FOps);
    FNotifying.clear();
    FCccdOn.clear();
    FEchoes.clear();
    FHeldChanges.clear();
    for (const TPendingOp& op : ops) {
        if (op.kind == TOpKind::Read)
            RaiseCharacteristicRead(*op.characteristic, GattStatusFailure, {});
        if (op.kind == TOpKind::WriteWithResponse)
            RaiseCharacteristicWrite(*op.characteristic, GattStatusFailure);
    }
}

bool TQtBluetoothLEDevice::Usable(const TCharLink& link) {
    return link.service != nullptr && link.service->state() == QLowEnergyService::RemoteServiceDiscovered &&
           link.qt.isValid();
}

void TQtBluetoothLEDevice::ReadCharacteristic(TBluetoothGattCharacteristic& characteristic) {
    TBluetoothGattCharacteristic* c = &characteristic;
    PostInOrder([this, c] {
        auto it = FLinks.find(c);
        if (!FController || !FConnected || it == FLinks.end() || !Usable(it->second)) {
            RaiseCharacteristicRead(*c, GattStatusFailure, {});
            return;
        }
        FOps.push_back({TOpKind::Read, c});
        it->second.service->readCharacteristic(it->second.qt);
    });
}

void TQtBluetoothLEDevice::WriteCharacteristic(TBluetoothGattCharacteristic& characteristic,
                                               std::span<const uint8_t> value) {
    Write(characteristic, value, false);
}

void TQtBluetoothLEDevice::WriteCharacteristicWithResponse(TBluetoothGattCharacteristic& characteristic,
                                                           std::span<const uint8_t> value) {
    Write(characteristic, value, characteristic.Has(PropWrite));
}

void TQtBluetoothLEDevice::Write(TBluetoothGattCharacteristic& characteristic, std::span<const uint8_t> value,
                                 bool withResponse) {
    TBluetoothGattCharacteristic* c = &characteristic;
    c->SetValue(TBytes(value.begin(), value.end()));
    // The caller times the round trip from here: a thread held before the write even reaches it
    // delays the completion as much as one held while the write is out.
    const auto madeAt = std::chrono::steady_clock::now();
    const bool withoutResponse = !withResponse && c->Has(PropWriteNoResponse);
    if (withoutResponse) {
        // Past the BLE thread, which Qt may hold in a blocking call for another link.
        std::lock_guard lock(FCommandLock);
        if (auto path = FCommandPaths.find(c); path != FCommandPaths.end()) {
            FWriteThread.Post([this, c, path = path->second, data = ToQt(value), link = FCommandLink,
                               madeAt] { WriteCommand(c, path, data, link, madeAt); });
            return;
        }
    }
    PostInOrder([this, c, data = ToQt(value), withoutResponse, madeAt] {
        auto it = FLinks.find(c);
        // A service that is no longer discovered makes Qt refuse the write with an error that names
        // no operation, and no completion would follow: the session would wait for it for good.
        if (!FController || !FConnected || it == FLinks.end() || !Usable(it->second)) {
            RaiseCharacteristicWrite(*c, GattStatusFailure);
            return;
        }
        if (withoutResponse) {
            FOps.push_back({TOpKind::WriteWithoutResponse, c});
            while (FOps.size() > MaxSilentOps && FOps.front().kind == TOpKind::WriteWithoutResponse)
                FOps.pop_front();
        } else {
            FOps.push_back({TOpKind::WriteWithResponse, c, madeAt});
        }
        it->second.service->writeCharacteristic(
            it->second.qt, data,
            withoutResponse ? QLowEnergyService::WriteWithoutResponse : QLowEnergyService::WriteWithResponse);
        if (!withoutResponse)
            return;
        // Qt signals nothing when a write without response succeeds, and bluetoothd answers its
        // WriteValue as soon as it has queued the packet: the completion says only that the
        // platform took it, and comes at once (from the event loop, not inside this call). The
        // session paces what it hands over to what the link carries.
        const uint64_t token = ++FPacedTokens;
        FPaced.push_back({token, c, madeAt});
        QTimer::singleShot(0, FThread.Context(), [this, token] {
            FinishPaced(token, FConnected ? GattStatusSuccess : GattStatusFailure);
        });
    });
}

void TQtBluetoothLEDevice::WriteCccd(TBluetoothGattCharacteristic& c, const QByteArray& value) {
    auto it = FLinks.find(&c);
    if (!FController || !FConnected || it == FLinks.end())
        return;
    const QLowEnergyDescriptor qd =
        it->second.qt.descriptor(QBluetoothUuid::DescriptorType::ClientCharacteristicConfiguration);
    if (!qd.isValid())
        return;
    FCccdOn[&c] = value != CccdOff;
    FOps.push_back({TOpKind::DescriptorWrite, &c});
    // Qt turns 01 00 / 02 00 into StartNotify and 00 00 into StopNotify on BlueZ.
    it->second.service->writeDescriptor(qd, value);
}

void TQtBluetoothLEDevice::WriteDescriptor(TBluetoothGattDescriptor& descriptor) {
    TBluetoothGattDescriptor* d = &descriptor;
    PostInOrder([this, d, value = descriptor.Value()] {
        auto owner = FDescriptorOwners.find(d);
        if (owner == FDescriptorOwners.end())
            return;
        TBluetoothGattCharacteristic* c = owner->second;
        auto it = FLinks.find(c);
        if (!FController || !FConnected || it == FLinks.end())
            return;
        const QByteArray data = ToQt(value);
        if (d->UUID() == ClientCharacteristicConfigurationUuid) {
            WriteCccd(*c, data);
            return;
        }
        for (const QLowEnergyDescriptor& qd : it->second.qt.descriptors()) {
            if (FromQtUuid(qd.uuid()) == d->UUID()) {
                FOps.push_back({TOpKind::DescriptorWrite, c});
                it->second.service->writeDescriptor(qd, data);
                return;
            }
        }
    });
}

bool TQtBluetoothLEDevice::SetCharacteristicNotification(TBluetoothGattCharacteristic& characteristic,
                                                         bool enable) {
    if (!characteristic.Has(PropNotify) && !characteristic.Has(PropIndicate))
        return false;
    const auto& descs = characteristic.Descriptors();
    const bool hasCccd = std::any_of(descs.begin(), descs.end(), [](const TBluetoothGattDescriptor* d) {
        return d->UUID() == ClientCharacteristicConfigurationUuid;
    });
    if (!hasCccd)
        return false;
    TBluetoothGattCharacteristic* c = &characteristic;
    PostInOrder([this, c, enable] {
        if (!FController || !FConnected || FLinks.find(c) == FLinks.end())
            return;
        FNotifying[c] = enable;
        if (!enable) {
            FEchoes.erase(c);
            FHeldChanges.erase(c);
            if (FCccdOn[c])
                WriteCccd(*c, CccdOff);
        } else if (!FCccdOn[c]) {
            // The session usually wrote the CCCD itself just before; subscribe only once.
            WriteCccd(*c, c->Has(PropNotify) ? CccdNotify : CccdIndicate);
        }
    });
    return true;
}

void TQtBluetoothLEDevice::Disconnect() {
    PostInOrder([this] {
        if (!FWaiters.empty()) {
            // A connect still pending ends here and now: while its connect is pending Qt emits
            // neither disconnected nor an error (bluetoothd answers the Disconnect before it says
            // the link is down), so waiting for Qt would hold the caller for the whole time-out.
            DropController();
            FinishDiscover(false);
            return;
        }
        if (!FController)
            return;
        if (FController->state() == QLowEnergyController::UnconnectedState)
            return;
        // OnDisconnect follows from Qt's disconnected().
        FController->disconnectFromDevice();
    });
}

// ---- writes without response past Qt's queue (BlueZ) -------------------------------------------
//
// Qt's BlueZ backend runs one GATT operation at a time per controller and starts the next only
// when bluetoothd has answered the one before (QLowEnergyControllerPrivateBluezDBus keeps a job
// list with one job pending). A write with response is answered only once the peer has it, a
// connection event or more later, so a key written without response behind a mouse report written
// with response would wait for that whole round trip. bluetoothd itself does not hold a write
// without response behind a request: it answers WriteValue(type "command") as soon as it has queued
// the packet, and its ATT layer sends queued writes without response before a queued request.
//
// So writes without response go to bluetoothd directly: GattCharacteristic1.WriteValue with type
// "command" on the characteristic's object path, on the same bus connection Qt uses. They are sent
// from the write thread, not the BLE thread: Qt's backend blocks the BLE thread in D-Bus calls
// (GetManagedObjects when a link comes up and when its services are discovered), and a dongle that
// connects while bluetoothd is slow would otherwise hold every other dongle's writes and their
// completions for as long. Requests, reads and everything else go through the write thread on
// their way to the BLE thread (PostInOrder), so the bus still carries what a caller made in the
// order it made it: one bus connection delivers messages in the order they are sent, so what was
// written before (through Qt or here) reaches bluetoothd first; that a later write without response
// may overtake a request bluetoothd still holds is the stack's own rule, which the caller's
// ordering already heeds. AcquireWrite is not used: its socket is a second channel into bluetoothd,
// whose order against the requests on the bus nothing defines, and it gives no more back pressure
// than WriteValue.

void TQtBluetoothLEDevice::PostInOrder(std::function<void()> fn) {
    FWriteThread.Post([this, fn = std::move(fn)]() mutable { FThread.Post(std::move(fn)); });
}

void TQtBluetoothLEDevice::RequestCommandPaths() {
#if defined(Q_OS_LINUX)
    FSeekingPaths = true;
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), QStringLiteral("/"),
                                                       QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                       QStringLiteral("GetManagedObjects"));
    // Once per connect. A stack that does not answer soon only leaves every write of this link to
    // Qt's queue; meanwhile the BLE thread serves the other links.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call, 2000), FThread.Context());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, FThread.Context(),
                     [this, link = FLinkSerial](QDBusPendingCallWatcher* w) {
                         TQtBleThread::TBusy busy(FThread);
                         w->deleteLater();
                         if (link != FLinkSerial || !FSeekingPaths)
                             return;  // that connect ended meanwhile
                         FSeekingPaths = false;
                         if (!w->isError())
                             TakeCommandPaths(w->reply());
                         FinishDiscover(true);
                     });
#else
    FinishDiscover(true);
#endif
}

void TQtBluetoothLEDevice::TakeCommandPaths(const QDBusMessage& reply) {
#if defined(Q_OS_LINUX)
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return;
    const QDBusArgument objects = reply.arguments().constFirst().value<QDBusArgument>();
    if (objects.currentType() != QDBusArgument::MapType)
        return;

    struct TObject {
        QString path;
        QVariantMap adapter, device, service, characteristic;
    };
    std::vector<TObject> all;
    objects.beginMap();
    while (!objects.atEnd()) {
        TObject o;
        objects.beginMapEntry();
        QDBusObjectPath path;
        objects >> path;
        o.path = path.path();
        objects.beginMap();
        while (!objects.atEnd()) {
            QString interface;
            QVariantMap properties;
            objects.beginMapEntry();
            objects >> interface >> properties;
            objects.endMapEntry();
            if (interface == QStringLiteral("org.bluez.Adapter1"))
                o.adapter = properties;
            if (interface == QStringLiteral("org.bluez.Device1"))
                o.device = properties;
            if (interface == QStringLiteral("org.bluez.GattService1"))
                o.service = properties;
            if (interface == QStringLiteral("org.bluez.GattCharacteristic1"))
                o.characteristic = properties;
        }
        objects.endMap();
        objects.endMapEntry();
        all.push_back(std::move(o));
    }
    objects.endMap();
    std::sort(all.begin(), all.end(), [](const TObject& a, const TObject& b) { return a.path < b.path; });

    const auto objectPath = [](const QVariant& v) { return v.value<QDBusObjectPath>().path(); };
    // The device object Qt connected: with two adapters bluetoothd keeps one per adapter.
    const QString qtAdapterAddress = FController && !FController->localAddress().isNull()
                                         ? FController->localAddress().toString().toUpper()
                                         : QString();
    std::string qtAdapterPath;
    std::vector<TBluezDeviceObject> sameAddress;
    for (const TObject& o : all) {
        if (!o.adapter.isEmpty() && qtAdapterPath.empty() &&
            (qtAdapterAddress.isEmpty() ||
             o.adapter.value(QStringLiteral("Address")).toString().toUpper() == qtAdapterAddress)) {
            qtAdapterPath = o.path.toStdString();  // Qt, given no adapter, takes the first by path
        }
        if (!o.device.isEmpty() &&
            o.device.value(QStringLiteral("Address")).toString().toUpper().toStdString() == FAddress) {
            sameAddress.push_back({o.path.toStdString(),
                                   objectPath(o.device.value(QStringLiteral("Adapter"))).toStdString(),
                                   o.device.value(QStringLiteral("Connected")).toBool()});
        }
    }
    const QString devicePath = QString::fromStdString(ChooseDeviceObject(sameAddress, qtAdapterPath));
    if (devicePath.isEmpty())
        return;
    std::map<TBluetoothGattCharacteristic*, QString> paths;
    for (const auto& [c, link] : FLinks) {
        if (!c->Has(PropWriteNoResponse) || !link.service)
            continue;
        const QString serviceUuid = link.service->serviceUuid().toString(QUuid::WithoutBraces).toLower();
        const QString charUuid = ToQtUuid(c->UUID()).toString(QUuid::WithoutBraces).toLower();
        // Qt, too, finds a characteristic by its UUID: the first of the service in path order.
        for (const TObject& s : all) {
            if (s.service.isEmpty() || objectPath(s.service.value(QStringLiteral("Device"))) != devicePath ||
                s.service.value(QStringLiteral("UUID")).toString().toLower() != serviceUuid) {
                continue;
            }
            for (const TObject& ch : all) {
                if (ch.characteristic.isEmpty() ||
                    objectPath(ch.characteristic.value(QStringLiteral("Service"))) != s.path ||
                    ch.characteristic.value(QStringLiteral("UUID")).toString().toLower() != charUuid) {
                    continue;
                }
                if (ch.characteristic.value(QStringLiteral("Flags"))
                        .toStringList()
                        .contains(QStringLiteral("write-without-response"))) {
                    paths[c] = ch.path;
                }
                break;
            }
            break;
        }
    }
    std::lock_guard lock(FCommandLock);
    FCommandPaths = std::move(paths);
    FCommandLink = FLinkSerial;
#else
    (void)reply;
#endif
}

void TQtBluetoothLEDevice::WriteCommand(TBluetoothGattCharacteristic* c, const QString& path,
                                        const QByteArray& data, uint64_t link,
                                        std::chrono::steady_clock::time_point madeAt) {
#if defined(Q_OS_LINUX)
    const auto sameLink = [this, link] {
        std::lock_guard lock(FCommandLock);
        return FCommandLink == link && !FCommandPaths.empty() && FConnected;
    };
    if (!sameLink()) {
        RaiseCharacteristicWrite(*c, GattStatusFailure);  // the link it was made for is gone
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.bluez"), path,
                                                       QStringLiteral("org.bluez.GattCharacteristic1"),
                                                       QStringLiteral("WriteValue"));
    call << data << QVariantMap{{QStringLiteral("type"), QStringLiteral("command")}};
    // bluetoothd answers once the packet is queued: that answer is the completion, and an error
    // (the link went, the stack refused it) its failure.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call), FWriteThread.Context());
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, FWriteThread.Context(),
                     [this, c, link, madeAt, sameLink](QDBusPendingCallWatcher* w) {
                         TQtBleThread::TBusy busy(FWriteThread);
                         const bool answered = !w->isError();
                         // bluetoothd names an ATT refusal for security "Not paired"
                         // (create_gatt_dbus_error): the session must see it as such to pair
                         // rather than write the same state again in the clear.
                         const bool insecure =
                             !answered &&
                             w->error().name() == QLatin1String("org.bluez.Error.NotPermitted") &&
                             w->error().message() == QLatin1String("Not paired");
                         w->deleteLater();
                         RaiseCharacteristicWrite(*c,
                                                  answered && sameLink() ? GattStatusSuccess
                                                  : insecure ? GattStatusInsufficientAuthentication
                                                             : GattStatusFailure,
                                                  FWriteThread.StalledSince(madeAt));
                         if (answered)
                             return;
                         // As through Qt: a write fails for good when the stack's objects are gone
                         // with its process, and the link is lost with them.
                         FThread.Post([this, link] {
                             if (link == FLinkSerial)
                                 CheckStackAfterFailure();
                         });
                     });
#else
    (void)c;
    (void)path;
    (void)data;
    (void)link;
    (void)madeAt;
#endif
}
