#pragma once
// The in-process Bluetooth LE central for tests: TBluetoothLEManager and TBluetoothLEDevice over
// virtual dongles (lib/dongle-model), with the threads of the real contract:
//  - read and write completions on a small pool of worker threads (several may run at once), one
//    completion for every write, of either kind: a write with response once it reached the dongle
//    over its link model (connection events or write delay), one without response at once (as
//    bluetoothd answers it once queued);
//  - writes with response one at a time, as the product's backend on BlueZ makes them: one made
//    while another awaits its answer waits for that answer; writes without response are not held
//    behind them;
//  - notifications and OnDisconnect on one notifier thread, in the order the dongle produced them;
//  - OnDiscoverLEDevice and the scan time-out on the scanner thread;
//  - OnServicesDiscovered on the caller of DiscoverServices, OnDiscoveryLEEnd of a cancel on the
//    caller of CancelDiscovery.
// Destroying the manager stops and joins every thread; work still pending is discarded. It must
// not be destroyed from one of its own threads.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "VirtualDongle.h"
#include "platform/ble/BluetoothLE.h"

class TFakeBluetoothLEManager;

namespace fakeble {
// A pool of threads running tasks when they fall due (FIFO among equal due times).
class TTaskQueue {
  public:
    explicit TTaskQueue(int threads);
    ~TTaskQueue();
    TTaskQueue(const TTaskQueue&) = delete;
    TTaskQueue& operator=(const TTaskQueue&) = delete;

    void Post(std::chrono::microseconds delay, std::function<void()> task);
    bool Idle() const;  // nothing queued and nothing running
    bool Owns(std::thread::id id) const;
    void Stop();  // discards what is queued, waits for what runs, joins

  private:
    void Run();

    using TClock = std::chrono::steady_clock;
    mutable std::mutex FLock;
    std::condition_variable FWake;
    std::multimap<std::pair<TClock::time_point, uint64_t>, std::function<void()>> FTasks;
    uint64_t FSeq = 0;
    int FRunning = 0;
    bool FStop = false;
    std::vector<std::thread> FThreads;
    std::vector<std::thread::id> FIds;
};
}  // namespace fakeble

class TFakeBluetoothLEDevice final : public TBluetoothLEDevice {
  public:
    TFakeBluetoothLEDevice(TFakeBluetoothLEManager& manager, std::string address);
    ~TFakeBluetoothLEDevice() override;

    std::string Address() const override { return FAddress; }
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
    bool IsConnected() const override;
    void Disconnect() override;
    bool CanPair() const override { return true; }
    TLinkSecurity LinkSecurity() const override;
    bool Paired() const override;
    void Pair() override;
    void CancelPairing() override;
    bool ForgetPairing() override;

    // The dongle this device object talks to (bound by discovery or a scan find); may be null.
    std::shared_ptr<vdongle::TVirtualDongle> Dongle() const;

  private:
    friend class TFakeBluetoothLEManager;

    struct TLink {
        std::shared_ptr<vdongle::TVirtualDongle> dongle;
        int connectCount = 0;  // identifies the link a request was made on
    };

    void Bind(const std::shared_ptr<vdongle::TVirtualDongle>& dongle);
    void Unbind();
    // The dongle, when the link is up.
    TLink CurrentLink() const;
    bool SameLink(const TLink& link) const;
    uint16_t HandleOf(const TBluetoothGattCharacteristic& c) const;
    void Write(TBluetoothGattCharacteristic& c, std::span<const uint8_t> value, bool withResponse);
    void Send(TBluetoothGattCharacteristic& c, std::span<const uint8_t> value, bool withResponse);
    // Raises a write's completion in from now (later when the backend is held up meanwhile).
    void Complete(TBluetoothGattCharacteristic& c, const TLink& link, uint16_t status, bool withResponse,
                  std::chrono::microseconds in, bool delayed);
    struct TWaitingRequest {
        TBluetoothGattCharacteristic* characteristic = nullptr;
        TBytes value;
    };
    // The request in flight completed: the next one waiting, which takes its place, or none (the
    // place is free).
    std::optional<TWaitingRequest> RequestDone();
    void OnNotify(uint16_t handle, const vdongle::TBytes& value);
    void OnLinkDropped();

    TFakeBluetoothLEManager& FManager;
    const std::string FAddress;

    mutable std::mutex FLock;
    std::string FName;
    std::shared_ptr<vdongle::TVirtualDongle> FDongle;
    // GATT objects of every discovery stay alive as long as the device: callers keep pointers.
    std::vector<std::unique_ptr<TBluetoothGattService>> FOwnedServices;
    std::shared_ptr<vdongle::TVirtualDongle> FServicesOf;  // the dongle FServices were built from
    TBluetoothGattServiceList FServices;
    std::map<const TBluetoothGattCharacteristic*, uint16_t> FCharHandles;
    std::map<const TBluetoothGattDescriptor*, uint16_t> FDescHandles;
    std::map<uint16_t, TBluetoothGattCharacteristic*> FByHandle;  // of the current services
    // A write with response is in flight; those made meanwhile wait here, in order.
    bool FRequestOut = false;
    std::deque<TWaitingRequest> FWaitingRequests;
    // A passkey pairing waits for the user's answer (on the link it was started on).
    std::optional<TLink> FPairingLink;

    void FinishPairing(TPairingResult::TOutcome outcome, std::string detail);
    void Answer(const TBluetoothLEManager::TPairingAnswer& answer);
};

class TFakeBluetoothLEManager final : public TBluetoothLEManager {
  public:
    TFakeBluetoothLEManager();
    ~TFakeBluetoothLEManager() override;

    int ConnectionState() const override;
    std::string UnavailableReason() const override;
    void RequestRadioState() override;
    bool StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                        bool forceConnect = false) override;
    void CancelDiscovery() override;
    void AnswerPairingQuestion(TBluetoothLEDevice& device, const TPairingAnswer& answer) override;

    // ---- test hooks
    // The air: add and remove dongles, radio presence (switching it off drops every link).
    vdongle::TVirtualRadio& Radio() { return FRadio; }
    std::shared_ptr<vdongle::TVirtualDongle> AddDongle(vdongle::TDongleConfig config);
    bool RemoveDongle(const std::string& address) { return FRadio.RemoveDongle(address); }
    void SetRadioPresent(bool present) {
        SetRadioProblem(present ? TRadioProblem::None : TRadioProblem::NoAdapter);
    }
    // The radio as the platform would report it: any problem takes the radio away (every link
    // drops); OnRadioChanged follows on the notifier thread, after the drops.
    void SetRadioProblem(TRadioProblem problem);

    // The device object for an address, created on first use (as a scan find would).
    TFakeBluetoothLEDevice& Device(const std::string& address);

    // Waits until no completion, notification or disconnect is queued or running (a scan does not
    // count). False when that did not happen within timeout.
    bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;

    // ---- bad moments of the stack (those of the link and the peer are the dongle's own: StallAir,
    // DelayNextAnswer, LoseNextAnswer)
    // The stack answers each connect's service discovery this much later; the caller of
    // DiscoverServices waits for it, no other link does.
    void SetDiscoveryDelay(std::chrono::milliseconds delay) { FDiscoveryDelay = delay; }
    // The backend's thread is held up for duration from now: write completions that fall due
    // meanwhile are raised when it ends, flagged as delayed (CompletionDelayed).
    void StallBackend(std::chrono::milliseconds duration);
    // A request the peer never answers fails after this (bluetoothd's ATT time-out, 30 s).
    void SetLostAnswerTimeout(std::chrono::milliseconds timeout) { FLostAnswerTimeout = timeout; }

    enum class TThreadRole { Other, Worker, Notifier, Scanner };
    TThreadRole RoleOf(std::thread::id id) const;

    bool Scanning() const;

  private:
    friend class TFakeBluetoothLEDevice;

    void ScanLoop();

    std::chrono::steady_clock::time_point HeldUntil() const;

    vdongle::TVirtualRadio FRadio;
    std::atomic<std::chrono::milliseconds> FDiscoveryDelay{std::chrono::milliseconds{0}};
    std::atomic<std::chrono::milliseconds> FLostAnswerTimeout{std::chrono::seconds{30}};
    mutable std::mutex FHeldLock;
    std::chrono::steady_clock::time_point FHeldUntil;
    mutable std::mutex FRadioLock;
    TRadioProblem FRadioProblem = TRadioProblem::None;
    fakeble::TTaskQueue FWorkers{3};
    fakeble::TTaskQueue FNotifier{1};

    mutable std::mutex FDevicesLock;
    std::map<std::string, std::unique_ptr<TFakeBluetoothLEDevice>> FDevices;

    mutable std::mutex FScanLock;
    std::condition_variable FScanWake;
    bool FStop = false;
    bool FScanActive = false;
    uint64_t FScanGeneration = 0;
    std::chrono::steady_clock::time_point FScanDeadline;
    std::vector<uint16_t> FScanFilter;
    bool FScanMatchesNothing = false;
    std::vector<TBluetoothLEDevice*> FScanFound;
    std::thread FScanner;
};
