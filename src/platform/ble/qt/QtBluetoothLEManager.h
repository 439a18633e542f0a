#pragma once
// The manager on Qt Bluetooth: radio state, scanning, and the one device object per address.

#include <QBluetoothDeviceInfo>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ble/BluetoothLE.h"
#include "platform/ble/qt/QtBluetoothLE.h"

class QBluetoothDeviceDiscoveryAgent;
class QBluetoothLocalDevice;
class QDBusServiceWatcher;
class QTimer;
class TQtBleThread;
class TQtBluezAgent;
class TQtBluetoothLEDevice;

class TQtBluetoothLEManager final : public TBluetoothLEManager {
  public:
    explicit TQtBluetoothLEManager(const TQtBluetoothLEOptions& options);
    ~TQtBluetoothLEManager() override;

    // Read fresh from the platform: an adapter plugged in or switched on since the last look counts
    // at once (the change signals cover only an adapter that was there already).
    int ConnectionState() const override;
    std::string UnavailableReason() const override;
    bool StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                        bool forceConnect = false) override;
    // Hands the scan to the BLE thread and returns: Qt's BlueZ backend may block that thread for
    // many seconds (a D-Bus call to a stuck bluetoothd).
    void RequestDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids) override;
    // Answered from the BLE thread, like a scan.
    void RequestRadioState() override;
    // Ends the scan for the caller at once; the BLE thread stops the agent when it gets to it.
    void CancelDiscovery() override;
    void AnswerPairingQuestion(TBluetoothLEDevice& device, const TPairingAnswer& answer) override;

  private:
    // BLE thread: this program's pairing agent (BlueZ only; QtBluetoothLEDevicePairing.cpp).
    void StartPairingAgent();
    void StopPairingAgent();
    TQtBluetoothLEDevice* FindDevice(const std::string& address);
    // A new device object learns the agent and what bluetoothd knows of its bond.
    void AttachPairing(TQtBluetoothLEDevice& device);
    // BLE thread only.
    // Looks at the radio anew; a change of its problem raises OnRadioChanged. True when it raised.
    bool RefreshRadio();
    TRadioProblem RadioProblem() const;
    void OnDeviceSeen(const QBluetoothDeviceInfo& info, unsigned generation);
    void OnScanTimeout(unsigned generation);
    void StopScan();
    // Starts the scan of this generation unless a later request or a cancel came first; false
    // when it cannot start (the reason is then in RadioProblem or FScanError).
    bool StartScan(unsigned generation, int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids);
    TQtBluetoothLEDevice& DeviceFor(const QBluetoothDeviceInfo& info);
    // The stack's process left the bus (lost) or a process took its name (back).
    void OnStackOwnerChanged(bool lost, bool back);

    const TQtBluetoothLEOptions FOptions;
    std::unique_ptr<TQtBleThread> FThread;
    // Sends writes without response past the BLE thread (see TQtBluetoothLEDevice::WriteCommand).
    std::unique_ptr<TQtBleThread> FWriteThread;
    std::atomic<int> FRadioState{0};
    // A cancelled scan's late events and time-out compare against this and do nothing.
    std::atomic<unsigned> FScanGeneration{0};

    mutable std::mutex FDevicesLock;
    std::map<std::string, std::unique_ptr<TQtBluetoothLEDevice>> FDevices;

    // BLE thread only.
    QBluetoothLocalDevice* FLocal = nullptr;
    QBluetoothDeviceDiscoveryAgent* FAgent = nullptr;
    QTimer* FScanTimer = nullptr;
    QDBusServiceWatcher* FStackWatcher = nullptr;
    TQtBluezAgent* FPairingAgent = nullptr;
    // Looks for an adapter while there is none: Qt says nothing when one is plugged in.
    QTimer* FAdapterWatch = nullptr;
    TRadioProblem FRadioProblem = TRadioProblem::None;
    bool FClosing = false;
    bool FScanning = false;
    std::vector<TBluetoothUuid> FScanUuids;
    // This scan's finds, in order, once each. Guarded, with the check of the scan's generation:
    // a cancel takes them on the caller's thread.
    std::mutex FFoundLock;
    std::vector<TBluetoothLEDevice*> FFound;
    std::string FScanError;  // why the last scan could not start; empty when it did
};
