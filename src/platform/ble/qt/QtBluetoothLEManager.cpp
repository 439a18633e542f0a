#include "platform/ble/qt/QtBluetoothLEManager.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothLocalDevice>
#include <QCoreApplication>
#include <QTimer>
#if defined(Q_OS_LINUX)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusServiceWatcher>
#endif

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "platform/ble/qt/QtBleThread.h"
#include "platform/ble/qt/QtBluetoothLEDevice.h"
#include "platform/ble/qt/QtUuid.h"

std::unique_ptr<TBluetoothLEManager> CreateQtBluetoothLEManager(const TQtBluetoothLEOptions& options) {
    return std::make_unique<TQtBluetoothLEManager>(options);
}

TQtBluetoothLEManager::TQtBluetoothLEManager(const TQtBluetoothLEOptions& options) : FOptions(options) {
    if (!QCoreApplication::instance()) {
        // Qt D-Bus (and so Qt Bluetooth on BlueZ) misbehaves without an application object.
        throw std::logic_error("The Qt Bluetooth LE backend needs a QCoreApplication");
    }
    FThread = std::make_unique<TQtBleThread>();
    FWriteThread = std::make_unique<TQtBleThread>("corvastel-ble-write");
    FThread->Call([this] {
        FScanTimer = new QTimer(FThread->Context());
        FScanTimer->setSingleShot(true);
        FScanTimer->setTimerType(Qt::PreciseTimer);  // the scan lasts at least as long as asked
#if defined(Q_OS_LINUX)
        // Qt's BlueZ backend does not notice bluetoothd ending: its links would stay "connected"
        // for good while every write is skipped.
        FStackWatcher = new QDBusServiceWatcher(QStringLiteral("org.bluez"), QDBusConnection::systemBus(),
                                                QDBusServiceWatcher::WatchForOwnerChange, FThread->Context());
        QObject::connect(FStackWatcher, &QDBusServiceWatcher::serviceOwnerChanged, FThread->Context(),
                         [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                             TQtBleThread::TBusy busy(*FThread);
                             OnStackOwnerChanged(!oldOwner.isEmpty(), !newOwner.isEmpty());
                         });
#endif
        StartPairingAgent();
        FAdapterWatch = new QTimer(FThread->Context());
        FAdapterWatch->setInterval(2000);
        QObject::connect(FAdapterWatch, &QTimer::timeout, FThread->Context(), [this] { RefreshRadio(); });
        RefreshRadio();  // raises to nobody yet: the window asks with RequestRadioState
    });
}

TQtBluetoothLEManager::~TQtBluetoothLEManager() {
    FThread->Call([this] {
        FClosing = true;
        FScanGeneration++;
        // Qt's BlueZ backend keeps a process-wide count of running scans per adapter; an agent
        // deleted while scanning would leave it counted and the next scan would never start.
        StopScan();
        delete FAgent;
        FAgent = nullptr;
        delete FLocal;
        FLocal = nullptr;
        delete FScanTimer;
        FScanTimer = nullptr;
        delete FStackWatcher;
        FStackWatcher = nullptr;
        StopPairingAgent();
        delete FAdapterWatch;
        FAdapterWatch = nullptr;
        std::vector<TQtBluetoothLEDevice*> devices;
        {
            std::lock_guard lock(FDevicesLock);
            for (auto& [address, device] : FDevices)
                devices.push_back(device.get());
        }
        TQtBluetoothLEDevice::ShutdownAllOnBleThread(devices);
    });
    // The write thread hands work to the BLE thread, never the other way round: it ends first.
    FWriteThread.reset();
    FThread.reset();
    // Device objects go last: their Qt parts are gone and no handler can be raised any more.
    std::lock_guard lock(FDevicesLock);
    FDevices.clear();
}

bool TQtBluetoothLEManager::RefreshRadio() {
    if (FClosing) {
        return false;  // a look queued before the manager began to go
    }
    if (FLocal && !FLocal->isValid()) {
        delete FLocal;
        FLocal = nullptr;
    }
    if (!FLocal && !QBluetoothLocalDevice::allDevices().isEmpty()) {
        FLocal = new QBluetoothLocalDevice(FThread->Context());
        // Qt follows the adapter's Powered property on BlueZ and says each change here. Queued: the
        // look may find the adapter gone and delete the object that is signalling.
        QObject::connect(
            FLocal, &QBluetoothLocalDevice::hostModeStateChanged, FThread->Context(),
            [this](QBluetoothLocalDevice::HostMode) { RefreshRadio(); }, Qt::QueuedConnection);
    }
    const bool on =
        FLocal && FLocal->isValid() && FLocal->hostMode() != QBluetoothLocalDevice::HostPoweredOff;
    FRadioState = on ? Connected : 0;
    if (FAdapterWatch) {
        if (FLocal) {
            FAdapterWatch->stop();
        } else if (!FAdapterWatch->isActive()) {
            FAdapterWatch->start();
        }
    }
    const TRadioProblem problem = RadioProblem();
    if (problem == FRadioProblem) {
        return false;
    }
    FRadioProblem = problem;
    RaiseRadioChanged(problem);
    return true;
}

TRadioProblem TQtBluetoothLEManager::RadioProblem() const {
    if (FLocal && FLocal->isValid()) {
        return FLocal->hostMode() != QBluetoothLocalDevice::HostPoweredOff ? TRadioProblem::None
                                                                           : TRadioProblem::PoweredOff;
    }
#if defined(Q_OS_LINUX)
    // Qt lists no adapter both when there is none and when BlueZ, which would list it, is not there.
    QDBusConnection bus = QDBusConnection::systemBus();
    if (!bus.isConnected()) {
        return TRadioProblem::NoBus;
    }
    if (bus.interface() && !bus.interface()->isServiceRegistered(QStringLiteral("org.bluez")).value()) {
        return TRadioProblem::NoStack;
    }
#endif
    return TRadioProblem::NoAdapter;
}

void TQtBluetoothLEManager::RequestRadioState() {
    FThread->Post([this] {
        if (!RefreshRadio()) {
            RaiseRadioChanged(FRadioProblem);
        }
    });
}

int TQtBluetoothLEManager::ConnectionState() const {
    if (FThread->IsCurrent())
        return FRadioState.load();
    auto* self = const_cast<TQtBluetoothLEManager*>(this);
    return FThread->Call([self] {
        self->RefreshRadio();
        return self->FRadioState.load();
    });
}

std::string TQtBluetoothLEManager::UnavailableReason() const {
    // The adapter may have come or gone since the last look (BlueZ started, a dongle plugged in):
    // the radio state is only a cache of the platform's, so refreshing it changes nothing logical.
    auto* self = const_cast<TQtBluetoothLEManager*>(this);
    return FThread->Call([self] {
        self->RefreshRadio();
        const std::string reason = RadioProblemText(self->RadioProblem());
        return reason.empty() ? self->FScanError : reason;
    });
}

bool TQtBluetoothLEManager::StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                                           bool /*forceConnect*/) {
    return FThread->Call([&]() -> bool { return StartScan(++FScanGeneration, timeoutMs, serviceUuids); });
}

void TQtBluetoothLEManager::RequestDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids) {
    // Numbered now: a cancel that comes before the BLE thread gets to it leaves it undone.
    const unsigned generation = ++FScanGeneration;
    FThread->Post([this, generation, timeoutMs, serviceUuids] {
        if (generation != FScanGeneration) {
            return;
        }
        if (!StartScan(generation, timeoutMs, serviceUuids) && generation == FScanGeneration) {
            const std::string problem = RadioProblemText(RadioProblem());
            RaiseDiscoveryRefused(problem.empty() ? FScanError : problem);
        }
    });
}

bool TQtBluetoothLEManager::StartScan(unsigned generation, int timeoutMs,
                                      const std::vector<TBluetoothUuid>& serviceUuids) {
    StopScan();
    if (generation != FScanGeneration) {
        return false;
    }
    RefreshRadio();
    if (FRadioState != Connected)
        return false;

    if (!FAgent) {
        FAgent = new QBluetoothDeviceDiscoveryAgent(FThread->Context());
        // Our own timer ends the scan: Qt's would end it with a signal we could not tell from
        // a cancel on every platform.
        FAgent->setLowEnergyDiscoveryTimeout(0);
    }
    QObject::disconnect(FAgent, nullptr, FThread->Context(), nullptr);
    QObject::connect(FAgent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, FThread->Context(),
                     [this, generation](const QBluetoothDeviceInfo& info) {
                         TQtBleThread::TBusy busy(*FThread);
                         OnDeviceSeen(info, generation);
                     });
    QObject::connect(FAgent, &QBluetoothDeviceDiscoveryAgent::deviceUpdated, FThread->Context(),
                     [this, generation](const QBluetoothDeviceInfo& info, QBluetoothDeviceInfo::Fields) {
                         TQtBleThread::TBusy busy(*FThread);
                         OnDeviceSeen(info, generation);
                     });
    FScanUuids = serviceUuids;
    {
        std::lock_guard lock(FFoundLock);
        FFound.clear();
    }
    FScanError.clear();
    FAgent->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    if (!FAgent->isActive() && FAgent->error() != QBluetoothDeviceDiscoveryAgent::NoError) {
        std::fprintf(stderr, "Bluetooth LE scan could not start: %s\n", qPrintable(FAgent->errorString()));
        FScanError = "The Bluetooth stack refused to scan: " + FAgent->errorString().toStdString() +
                     ". Try again; if it keeps failing, restart the Bluetooth service: sudo systemctl "
                     "restart bluetooth";
        return false;
    }
    FScanning = true;
    QObject::disconnect(FScanTimer, nullptr, nullptr, nullptr);
    QObject::connect(FScanTimer, &QTimer::timeout, FThread->Context(), [this, generation] {
        TQtBleThread::TBusy busy(*FThread);
        OnScanTimeout(generation);
    });
    FScanTimer->start(std::max(0, timeoutMs));
    return true;
}

void TQtBluetoothLEManager::OnStackOwnerChanged(bool lost, bool back) {
    if (lost) {
        std::vector<TQtBluetoothLEDevice*> devices;
        {
            std::lock_guard lock(FDevicesLock);
            for (auto& [address, device] : FDevices)
                devices.push_back(device.get());
        }
        for (TQtBluetoothLEDevice* device : devices)
            device->OnStackLost();
        FRadioState = 0;
        if (FScanning) {
            std::vector<TBluetoothLEDevice*> found;
            {
                std::lock_guard lock(FFoundLock);
                FScanGeneration++;
                found = FFound;
            }
            StopScan();
            RaiseDiscoveryLEEnd(found);
        }
        // Both hold objects of the process that went; a new stack gets new ones.
        delete FAgent;
        FAgent = nullptr;
        delete FLocal;
        FLocal = nullptr;
        RefreshRadio();
    }
    if (back) {
        RefreshRadio();
        // The new process may publish its adapter only after taking the name.
        QTimer::singleShot(1000, FThread->Context(), [this] {
            TQtBleThread::TBusy busy(*FThread);
            RefreshRadio();
        });
    }
}

void TQtBluetoothLEManager::StopScan() {
    FScanning = false;
    if (FScanTimer)
        FScanTimer->stop();
    if (FAgent && FAgent->isActive())
        FAgent->stop();
}

void TQtBluetoothLEManager::OnScanTimeout(unsigned generation) {
    std::vector<TBluetoothLEDevice*> found;
    {
        std::lock_guard lock(FFoundLock);
        if (generation != FScanGeneration || !FScanning)
            return;
        found = FFound;
    }
    StopScan();
    RaiseDiscoveryLEEnd(found);
}

void TQtBluetoothLEManager::CancelDiscovery() {
    std::vector<TBluetoothLEDevice*> found;
    {
        // From here on the scan's late finds and its time-out do nothing.
        std::lock_guard lock(FFoundLock);
        FScanGeneration++;
        found = FFound;
    }
    if (FThread->IsCurrent()) {
        StopScan();
    } else {
        // Stopped in turn: a scan requested after this cancel starts after it.
        FThread->Post([this] {
            if (FScanning) {
                StopScan();
            }
        });
    }
    RaiseDiscoveryLEEnd(found);
}

void TQtBluetoothLEManager::OnDeviceSeen(const QBluetoothDeviceInfo& info, unsigned generation) {
    if (generation != FScanGeneration || !FScanning)
        return;  // looked at again under the lock below, where a cancel takes the finds
    // BlueZ lists the devices it already knows at the start of every scan, advertising or not;
    // those carry no signal strength until they are heard in this scan.
    if (info.rssi() == 0)
        return;
    if (!FScanUuids.empty()) {
        const QList<QBluetoothUuid> advertised = info.serviceUuids();
        const bool listed = std::any_of(FScanUuids.begin(), FScanUuids.end(), [&](const TBluetoothUuid& u) {
            return advertised.contains(ToQtUuid(u));
        });
        if (!listed)
            return;
    }
    TQtBluetoothLEDevice& device = DeviceFor(info);
    {
        std::lock_guard lock(FFoundLock);
        if (generation != FScanGeneration)
            return;
        if (std::find(FFound.begin(), FFound.end(), &device) == FFound.end())
            FFound.push_back(&device);
    }
    RaiseDiscoverLEDevice(device, info.rssi(), TBytes{});
}

TQtBluetoothLEDevice& TQtBluetoothLEManager::DeviceFor(const QBluetoothDeviceInfo& info) {
    const std::string address = info.address().toString().toUpper().toStdString();
    std::lock_guard lock(FDevicesLock);
    auto& slot = FDevices[address];
    if (!slot) {
        slot = std::make_unique<TQtBluetoothLEDevice>(*FThread, *FWriteThread, info, FOptions.connectTimeout);
        AttachPairing(*slot);
    } else {
        slot->UpdateInfo(info);
    }
    return *slot;
}
