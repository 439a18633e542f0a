#pragma once
// One radio device on Qt Bluetooth: owns its QLowEnergyController and service objects (on the BLE
// thread) and the GATT objects the session borrows (for the device's whole life). Writes without
// response go to bluetoothd from the write thread, which nothing blocks (see WriteCommand).

#include <QBluetoothDeviceInfo>
#include <QLowEnergyCharacteristic>
#include <QLowEnergyDescriptor>
#include <QString>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/ble/BluetoothLE.h"

class QBluetoothDeviceDiscoveryAgent;
class QDBusMessage;
class QLowEnergyController;
class QLowEnergyService;
class QTimer;
class TQtBleThread;
class TQtBluezAgent;

class TQtBluetoothLEDevice final : public TBluetoothLEDevice {
  public:
    TQtBluetoothLEDevice(TQtBleThread& thread, TQtBleThread& writeThread, const QBluetoothDeviceInfo& info,
                         std::chrono::milliseconds connectTimeout);
    ~TQtBluetoothLEDevice() override;

    std::string Address() const override;
    std::string DeviceName() const override;

    bool DiscoverServices() override;
    TBluetoothGattServiceList Services() const override;
    void ReadCharacteristic(TBluetoothGattCharacteristic& characteristic) override;
    void WriteCharacteristic(TBluetoothGattCharacteristic& characteristic,
                             std::span<const uint8_t> value) override;
    void WriteCharacteristicWithResponse(TBluetoothGattCharacteristic& characteristic,
                                         std::span<const uint8_t> value) override;
    void WriteDescriptor(TBluetoothGattDescriptor& descriptor) override;
    bool SetCharacteristicNotification(TBluetoothGattCharacteristic& characteristic, bool enable) override;
    bool IsConnected() const override { return FConnected.load(); }
    void Disconnect() override;

    // Pairing through this program's agent (QtBluetoothLEDevicePairing.cpp); none where the
    // platform has no agent (not BlueZ).
    bool CanPair() const override { return FPairing != nullptr; }
    TLinkSecurity LinkSecurity() const override;
    bool Paired() const override;
    void Pair() override;
    void CancelPairing() override;
    bool ForgetPairing() override;
    // The manager's agent, set once before the device is handed out (null: no pairing).
    void SetPairingAgent(TQtBluezAgent* agent) { FPairing = agent; }

    // BLE thread: a newer advertisement of this device (name, services).
    void UpdateInfo(const QBluetoothDeviceInfo& info);
    // BLE thread: drops every device's controller and Qt objects before the thread ends. The links
    // still up are closed first, all at once, waiting at most bound for the stack to confirm them
    // together.
    static void ShutdownAllOnBleThread(const std::vector<TQtBluetoothLEDevice*>& devices,
                                       std::chrono::milliseconds bound = ShutdownCloseWait);
    // BLE thread: the Bluetooth stack went away (its process ended): every object of this link is
    // gone with it, so the link is lost.
    void OnStackLost();
    // bluetoothd confirms a disconnect after its disconnect timer (2 s; the recorded trace shows
    // about 2.7 s): this covers it, for every link together.
    static constexpr std::chrono::milliseconds ShutdownCloseWait{2800};

  private:
    struct TDiscoverWait;
    struct TCharLink {
        QLowEnergyService* service = nullptr;
        QLowEnergyCharacteristic qt;
    };
    // Qt takes operations only on a discovered service and a valid characteristic.
    static bool Usable(const TCharLink& link);
    enum class TOpKind { Read, WriteWithResponse, WriteWithoutResponse, DescriptorWrite };
    struct TPendingOp {
        TOpKind kind;
        TBluetoothGattCharacteristic* characteristic;
        // When the caller made it (a write with response): the start of the round trip it times.
        std::chrono::steady_clock::time_point sentAt{};
    };
    struct TEcho {
        TBytes value;
        std::chrono::steady_clock::time_point until;
    };

    // All below run on the BLE thread.
    // Ends a pending connect and starts closing a link that is up; the controller to wait for, or
    // null when there is nothing to wait for.
    QLowEnergyController* StartShutdownOnBleThread();
    void FinishShutdownOnBleThread();
    void StartDiscover(const std::shared_ptr<TDiscoverWait>& wait);
    void CreateController();
    void DropController();
    void OnControllerConnected();
    void OnControllerDiscoveryFinished();
    void OnServiceStateChanged();
    void OnControllerDisconnected();
    void FinishDiscover(bool ok);
    // The stack does not know the device (any more): a scan looks for it, and the connect starts
    // once it is heard.
    void SeekDevice();
    void OnSought(const QBluetoothDeviceInfo& info);
    void StopSeeking();
    void BuildGattObjects();
    void ConnectServiceSignals(QLowEnergyService* service);
    TBluetoothGattCharacteristic* FindCharacteristic(QLowEnergyService* service,
                                                     const QLowEnergyCharacteristic& qc);
    // Completes the oldest pending operation of a kind (and retires the older silent ones).
    bool TakeOp(TOpKind kind, TBluetoothGattCharacteristic* c, bool anyWriteKind = false,
                TPendingOp* taken = nullptr);
    void FailPendingOps();
    // Passes on the changes held during a read, all but the first one equal to readValue (the
    // read's echo); true when that echo was among them.
    bool ReleaseHeldChanges(TBluetoothGattCharacteristic& c, const TBytes* readValue);
    void WriteCccd(TBluetoothGattCharacteristic& c, const QByteArray& value);
    void Write(TBluetoothGattCharacteristic& c, std::span<const uint8_t> value, bool withResponse);
    // Completes a write without response (once; later calls for it do nothing).
    bool FinishPaced(uint64_t token, uint16_t status);
    // After a write failed: asks the bus (without waiting) whether the stack that served this link
    // is still the one there, and loses the link when it is not.
    void CheckStackAfterFailure();
    // BlueZ: asks (without waiting) for the object path of every characteristic that takes writes
    // without response (see WriteCommand); the discovery finishes with the answer.
    void RequestCommandPaths();
    void TakeCommandPaths(const QDBusMessage& reply);
    // Caller's thread: runs fn on the BLE thread after everything the caller handed to the write
    // thread before, so that the bus carries requests and commands in the order they were made.
    void PostInOrder(std::function<void()> fn);
    // Write thread: a write without response straight to bluetoothd, beside Qt's queue of operations.
    void WriteCommand(TBluetoothGattCharacteristic* c, const QString& path, const QByteArray& data,
                      uint64_t link, std::chrono::steady_clock::time_point madeAt);

    TQtBleThread& FThread;
    TQtBluezAgent* FPairing = nullptr;
    TQtBleThread& FWriteThread;
    const std::chrono::milliseconds FConnectTimeout;
    const std::string FAddress;
    mutable std::mutex FLock;  // guards FName, FCurrentServices
    std::string FName;
    TBluetoothGattServiceList FCurrentServices;
    std::atomic<bool> FConnected{false};

    // BLE thread only.
    QBluetoothDeviceInfo FInfo;
    QLowEnergyController* FController = nullptr;
    QTimer* FConnectTimer = nullptr;
    QBluetoothDeviceDiscoveryAgent* FSeeker = nullptr;
    bool FSought = false;  // this connect looked for the device already
    QString FStackOwner;   // the bus name of the stack process when the link came up
    // Counts controllers, so that an answer the bus gives late is not taken for a later link.
    uint64_t FLinkSerial = 0;
    bool FSeekingPaths = false;  // the discovery waits for the command paths
    std::vector<std::shared_ptr<TDiscoverWait>> FWaiters;
    std::vector<QLowEnergyService*> FQtServices;  // in discovery order
    // Every GATT object ever handed out stays alive until the device goes: callers borrow them.
    std::vector<std::unique_ptr<TBluetoothGattService>> FOwnedServices;
    std::map<TBluetoothGattCharacteristic*, TCharLink> FLinks;
    std::map<TBluetoothGattDescriptor*, TBluetoothGattCharacteristic*> FDescriptorOwners;
    std::deque<TPendingOp> FOps;
    std::map<TBluetoothGattCharacteristic*, bool> FNotifying;
    std::map<TBluetoothGattCharacteristic*, bool> FCccdOn;
    std::map<TBluetoothGattCharacteristic*, std::deque<TEcho>> FEchoes;
    // Changes that came while a read of the characteristic was on its way (one may be its echo).
    std::map<TBluetoothGattCharacteristic*, std::deque<TBytes>> FHeldChanges;
    // Writes without response whose completion is still to be raised, oldest first.
    struct TPaced {
        uint64_t token;
        TBluetoothGattCharacteristic* characteristic;
        std::chrono::steady_clock::time_point madeAt;  // when the caller made it
    };
    std::deque<TPaced> FPaced;
    uint64_t FPacedTokens = 0;
    // BlueZ object paths of the characteristics written without response past Qt's queue, and the
    // link they belong to; read by callers of Write, set on the BLE thread.
    mutable std::mutex FCommandLock;
    std::map<TBluetoothGattCharacteristic*, QString> FCommandPaths;
    uint64_t FCommandLink = 0;
};
