#pragma once
// The Bluetooth LE central as the device link and the window use it: a manager (radio, scan), one
// device object per radio device, and the GATT services, characteristics and descriptors the
// device discovered. Backends (qt/ for the product, fake/ for tests) derive from these classes.
//
// Threading contract, which every backend keeps:
//  - Every public method may be called from any thread.
//  - OnServicesDiscovered is raised on the thread that called DiscoverServices, before it returns.
//  - OnCharacteristicRead (read completions and notifications), OnCharacteristicWrite (write
//    completions, one for EVERY write of either kind), OnDisconnect and OnDiscoverLEDevice are
//    raised on threads of the backend, never on the caller of the request.
//  - OnDiscoveryLEEnd is raised on the backend's thread when a scan times out, and on the calling
//    thread by CancelDiscovery (also when no scan runs). After a cancel the time-out raises nothing.
//  - An exception escaping a handler is caught by the raising code and handed to the general error
//    reporting (platform/GeneralError.h); it never reaches the backend.
//  - Object lifetime: the manager owns its devices; a device owns its services, characteristics
//    and descriptors. A device object lives as long as the manager (one object per radio address
//    for the whole run); GATT objects live as long as their device. Callers only borrow them.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "hid/UnitUtils.h"

using TBytes = std::vector<uint8_t>;

// GATT status of a completion: 0 is success, anything else a failure.
constexpr uint16_t GattStatusSuccess = 0x0000;
constexpr uint16_t GattStatusFailure = 0x0101;
// Failures for want of a secure link: the dongle wants the link encrypted, or encrypted with the
// key of a pairing that was protected against a man in the middle (passkey or confirmation).
constexpr uint16_t GattStatusInsufficientAuthentication = 0x0005;
constexpr uint16_t GattStatusInsufficientEncryption = 0x000F;

// Characteristic properties, the bits of the GATT characteristic declaration.
enum TCharacteristicProperty : uint8_t {
    PropBroadcast = 0x01,
    PropRead = 0x02,
    PropWriteNoResponse = 0x04,
    PropWrite = 0x08,
    PropNotify = 0x10,
    PropIndicate = 0x20,
};

// A GATT value: stored by completions on backend threads while callers read it on others.
class TGuardedBytes {
  public:
    TBytes Get() const {
        std::lock_guard lock(FLock);
        return FValue;
    }
    void Set(TBytes value) {
        std::lock_guard lock(FLock);
        FValue = std::move(value);
    }

  private:
    mutable std::mutex FLock;
    TBytes FValue;
};

// 0x2902
inline constexpr TBluetoothUuid ClientCharacteristicConfigurationUuid = TBluetoothUuid::FromShort(0x2902);

class TBluetoothGattDescriptor {
  public:
    explicit TBluetoothGattDescriptor(TBluetoothUuid uuid) : FUuid(uuid) {}
    virtual ~TBluetoothGattDescriptor() = default;
    TBluetoothGattDescriptor(const TBluetoothGattDescriptor&) = delete;
    TBluetoothGattDescriptor& operator=(const TBluetoothGattDescriptor&) = delete;

    const TBluetoothUuid& UUID() const { return FUuid; }

    // The notification flag exists only on the Client Characteristic Configuration descriptor;
    // setting it makes the value 01 00 (00 00 when cleared). On any other descriptor it throws
    // std::logic_error, as the platform refuses it.
    void SetNotification(bool enable);

    TBytes Value() const { return FValue.Get(); }
    void SetValue(TBytes value) { FValue.Set(std::move(value)); }

  private:
    const TBluetoothUuid FUuid;
    TGuardedBytes FValue;
};

class TBluetoothGattCharacteristic {
  public:
    TBluetoothGattCharacteristic(TBluetoothUuid uuid, uint8_t properties)
        : FUuid(uuid), FProperties(properties) {}
    virtual ~TBluetoothGattCharacteristic() = default;
    TBluetoothGattCharacteristic(const TBluetoothGattCharacteristic&) = delete;
    TBluetoothGattCharacteristic& operator=(const TBluetoothGattCharacteristic&) = delete;

    const TBluetoothUuid& UUID() const { return FUuid; }
    uint8_t Properties() const { return FProperties; }
    bool Has(TCharacteristicProperty p) const { return (FProperties & p) != 0; }

    // The last value read, notified or written. Guarded: read and write completions store it on
    // backend threads while callers read it elsewhere.
    TBytes Value() const { return FValue.Get(); }
    void SetValue(TBytes value) { FValue.Set(std::move(value)); }

    // In discovery order. Filled by the backend before OnServicesDiscovered, unchanged afterwards.
    const std::vector<TBluetoothGattDescriptor*>& Descriptors() const { return FDescriptorRefs; }
    TBluetoothGattDescriptor* AddDescriptor(std::unique_ptr<TBluetoothGattDescriptor> d);

  private:
    const TBluetoothUuid FUuid;
    const uint8_t FProperties;
    TGuardedBytes FValue;
    std::vector<std::unique_ptr<TBluetoothGattDescriptor>> FDescriptors;
    std::vector<TBluetoothGattDescriptor*> FDescriptorRefs;
};

class TBluetoothGattService {
  public:
    explicit TBluetoothGattService(TBluetoothUuid uuid) : FUuid(uuid) {}
    virtual ~TBluetoothGattService() = default;
    TBluetoothGattService(const TBluetoothGattService&) = delete;
    TBluetoothGattService& operator=(const TBluetoothGattService&) = delete;

    const TBluetoothUuid& UUID() const { return FUuid; }
    // In discovery order.
    const std::vector<TBluetoothGattCharacteristic*>& Characteristics() const { return FCharacteristicRefs; }
    TBluetoothGattCharacteristic* AddCharacteristic(std::unique_ptr<TBluetoothGattCharacteristic> c);

  private:
    const TBluetoothUuid FUuid;
    std::vector<std::unique_ptr<TBluetoothGattCharacteristic>> FCharacteristics;
    std::vector<TBluetoothGattCharacteristic*> FCharacteristicRefs;
};

using TBluetoothGattServiceList = std::vector<TBluetoothGattService*>;

class TBluetoothLEDevice;

// How safe the link to a device is, as far as the stack tells: a paired device's link is
// encrypted with the bond's key whenever it is up.
enum class TLinkSecurity {
    NotEncrypted,     // anyone in range can read it, and a device that demands more refuses writes
    Encrypted,        // encrypted, with a key that is not kept (no bond)
    EncryptedPaired,  // encrypted with the key of a bond the stack keeps
};

// What a pairing asks the user of this computer.
struct TPairingQuestion {
    enum class TKind {
        EnterPasskey,    // the device shows six digits; the user types them here
        ConfirmPasskey,  // both show Passkey; the user says whether they are the same
    };
    TKind Kind = TKind::EnterPasskey;
    uint32_t Passkey = 0;  // ConfirmPasskey only
};

// How a pairing ended.
struct TPairingResult {
    enum class TOutcome {
        Paired,       // the bond is made (or was there already) and the link is encrypted
        Failed,       // wrong passkey, or the device refused the pairing
        Canceled,     // the user or the device stopped it, or the link went meanwhile
        Unavailable,  // the stack cannot pair here (no agent of our own, not connected, no stack)
    };
    TOutcome Outcome = TOutcome::Failed;
    // What the stack said, for the log (the window says it in its own words).
    std::string Detail;
};

// The four events a session wires to its device. Set together, replaced together.
struct TBluetoothLEDeviceHandlers {
    std::function<void(TBluetoothLEDevice& sender, const TBluetoothGattServiceList& services)>
        OnServicesDiscovered;
    // value: the bytes that completed this read or arrived with this notification (also stored in
    // the characteristic, where a later event may already have replaced them).
    std::function<void(TBluetoothLEDevice& sender, TBluetoothGattCharacteristic& characteristic,
                       uint16_t gattStatus, std::span<const uint8_t> value)>
        OnCharacteristicRead;
    std::function<void(TBluetoothLEDevice& sender, TBluetoothGattCharacteristic& characteristic,
                       uint16_t gattStatus)>
        OnCharacteristicWrite;
    std::function<void(TBluetoothLEDevice& sender)> OnDisconnect;
};

class TBluetoothLEDevice {
  public:
    virtual ~TBluetoothLEDevice() = default;
    TBluetoothLEDevice(const TBluetoothLEDevice&) = delete;
    TBluetoothLEDevice& operator=(const TBluetoothLEDevice&) = delete;

    // "AA:BB:CC:DD:EE:FF", upper case.
    virtual std::string Address() const = 0;
    // The advertised name; may be empty.
    virtual std::string DeviceName() const = 0;
    // The twelve address digits in lower case, unseparated: "aabbccddeeff".
    std::string Identifier() const;

    // Connects if needed and discovers services with their characteristics and descriptors;
    // raises OnServicesDiscovered on this thread before returning true. Returns false (raising
    // nothing) when the platform refuses or the connection cannot be made in time.
    virtual bool DiscoverServices() = 0;
    // The services of the last discovery, in order.
    virtual TBluetoothGattServiceList Services() const = 0;

    // Requests a read; returns at once. The completion raises OnCharacteristicRead.
    virtual void ReadCharacteristic(TBluetoothGattCharacteristic& characteristic) = 0;
    // Writes exactly these bytes (and stores them as the characteristic's value): without response
    // when the characteristic allows it, else with response. Returns at once. Every write, of
    // either kind and whatever its fate (not connected included), raises OnCharacteristicWrite.
    // A write without response completes once the platform has taken it, which says nothing about
    // the air (BlueZ answers as soon as bluetoothd has queued it): pacing is the caller's. A write
    // with response completes with the peer's answer.
    virtual void WriteCharacteristic(TBluetoothGattCharacteristic& characteristic,
                                     std::span<const uint8_t> value) = 0;
    // As WriteCharacteristic, but with response wherever the characteristic allows it. Its answer
    // comes after everything written before it has reached the peer (BlueZ sends a request after
    // the writes without response queued before it, over a first-in, first-out channel): the one
    // proof of delivery a caller can get.
    virtual void WriteCharacteristicWithResponse(TBluetoothGattCharacteristic& characteristic,
                                                 std::span<const uint8_t> value) {
        WriteCharacteristic(characteristic, value);
    }
    // Writes the descriptor's value; the completion is not reported.
    virtual void WriteDescriptor(TBluetoothGattDescriptor& descriptor) = 0;
    // Needs the notify or indicate property and a 0x2902 descriptor; subscribes so that every value
    // change is raised as OnCharacteristicRead with success. Returns false when refused.
    virtual bool SetCharacteristicNotification(TBluetoothGattCharacteristic& characteristic, bool enable) = 0;

    virtual bool IsConnected() const = 0;
    // Only inside OnCharacteristicWrite, about the completion being handled: true when the backend
    // itself held it up (its thread was blocked by the platform or busy with another link at some
    // time between the write's request and this completion), so the time the write took says
    // nothing about the link and is no sample of it. False elsewhere.
    bool CompletionDelayed() const;
    // Requests the link to be closed; OnDisconnect follows when it is.
    virtual void Disconnect() = 0;

    // ---- pairing. The manager raises a pairing's questions and its end (OnPairingQuestion,
    // OnPairingFinished); backends without pairing keep these defaults, which pair nothing.
    virtual bool CanPair() const { return false; }
    // The security of the link now (NotEncrypted when not connected).
    virtual TLinkSecurity LinkSecurity() const { return TLinkSecurity::NotEncrypted; }
    // Whether the stack keeps a bond with the device, connected or not.
    virtual bool Paired() const { return false; }
    // Pairs over the link that is up, through this program's own agent (beside any agent of the
    // desktop). Returns at once; OnPairingFinished follows exactly once per call, also when the
    // stack refuses at once and when the device was paired already (Paired, then). Only where
    // CanPair.
    virtual void Pair() {}
    // Stops a pairing that waits (for the user or the device); it ends as Canceled.
    virtual void CancelPairing() {}
    // Forgets the bond: the stack removes the device and its keys; the link, if up, goes with it.
    // False when the stack refused.
    virtual bool ForgetPairing() { return false; }

    // Replaces all four handlers at once. owner identifies who set them (a session), so that a
    // session going away cannot remove the handlers of a newer session on the same device.
    void SetHandlers(TBluetoothLEDeviceHandlers handlers, const void* owner = nullptr);
    // Removes the handlers if owner set them (any handlers when owner is null), and waits until
    // every handler call in progress on other threads has returned; afterwards no handler of that
    // owner is called again. Must not be called from inside a handler of this device.
    void ClearHandlers(const void* owner = nullptr);

  protected:
    TBluetoothLEDevice() = default;

    // For backends: raise an event. Each catches what the handler throws and reports it.
    void RaiseServicesDiscovered(const TBluetoothGattServiceList& services);
    void RaiseCharacteristicRead(TBluetoothGattCharacteristic& c, uint16_t gattStatus,
                                 std::span<const uint8_t> value);
    // delayed: what CompletionDelayed tells the handler.
    void RaiseCharacteristicWrite(TBluetoothGattCharacteristic& c, uint16_t gattStatus, bool delayed = false);
    void RaiseDisconnect();

  private:
    template <typename Fn>
    void Dispatch(Fn&& fn);

    // Handler calls hold it shared; SetHandlers/ClearHandlers hold it exclusive, so they wait for
    // calls in progress.
    mutable std::shared_mutex FHandlersLock;
    TBluetoothLEDeviceHandlers FHandlers;
    const void* FHandlersOwner = nullptr;
};

// What keeps the radio from being used, as far as the platform can tell.
enum class TRadioProblem {
    None,        // an adapter is there and powered
    NoBus,       // the system's message bus cannot be reached (Linux)
    NoStack,     // the Bluetooth service (bluetoothd) is not running (Linux)
    NoAdapter,   // no adapter is listed
    PoweredOff,  // the adapter is switched off (or blocked)
};
// The problem and what the user can do about it, in the user's words; empty for None.
std::string RadioProblemText(TRadioProblem Problem);

class TBluetoothLEManager {
  public:
    virtual ~TBluetoothLEManager() = default;
    TBluetoothLEManager(const TBluetoothLEManager&) = delete;
    TBluetoothLEManager& operator=(const TBluetoothLEManager&) = delete;

    static constexpr int Connected = 1;
    // Connected (1) when a radio is present and powered, 0 otherwise.
    virtual int ConnectionState() const = 0;
    // Why the radio cannot be used now (the Bluetooth service is not running, there is no adapter,
    // it is switched off; or why the last scan could not start) and what the user can do about it,
    // in the user's words; empty when nothing is known to be wrong. May ask the platform anew.
    virtual std::string UnavailableReason() const { return {}; }

    // Scans for timeoutMs for devices advertising one of serviceUuids; each find raises
    // OnDiscoverLEDevice (possibly many times per device). The time-out raises OnDiscoveryLEEnd.
    // forceConnect is accepted for form's sake: devices are never connected during a scan.
    virtual bool StartDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids,
                                bool forceConnect = false) = 0;
    // Asks for a scan as StartDiscovery does, without waiting for the backend: a scan that cannot
    // start raises OnDiscoveryRefused with the reason instead (in the user's words, as
    // UnavailableReason gives it), and no OnDiscoveryLEEnd. The window asks this way: a Bluetooth
    // stack that hangs must not stop the window's thread, which also reads the captured keyboard.
    // Backends that answer at once keep this default, which raises the refusal on this thread.
    virtual void RequestDiscovery(int timeoutMs, const std::vector<TBluetoothUuid>& serviceUuids) {
        if (!StartDiscovery(timeoutMs, serviceUuids)) {
            RaiseDiscoveryRefused(UnavailableReason());
        }
    }
    // Asks for the radio's state, without waiting for the backend: OnRadioChanged follows with it,
    // also when it did not change. Backends that answer at once keep this default, which raises it
    // on this thread.
    virtual void RequestRadioState() {
        RaiseRadioChanged(ConnectionState() == Connected ? TRadioProblem::None : TRadioProblem::NoAdapter);
    }
    // Stops a scan and raises OnDiscoveryLEEnd on this thread before returning, also when no scan
    // runs. Never waits for a backend's own thread.
    virtual void CancelDiscovery() = 0;

    // Handlers; set them before the first scan (they are read without a lock by the backend).
    std::function<void(TBluetoothLEManager& sender, TBluetoothLEDevice& device, int rssi,
                       const TBytes& scanResponse)>
        OnDiscoverLEDevice;
    std::function<void(TBluetoothLEManager& sender, const std::vector<TBluetoothLEDevice*>& devices)>
        OnDiscoveryLEEnd;
    std::function<void(TBluetoothLEManager& sender, const std::string& reason)> OnDiscoveryRefused;
    // A pairing asks the user; answer with AnswerPairingQuestion. Raised on a backend thread.
    std::function<void(TBluetoothLEManager& sender, TBluetoothLEDevice& device,
                       const TPairingQuestion& question)>
        OnPairingQuestion;
    // A pairing asked by TBluetoothLEDevice::Pair ended. Raised on a backend thread.
    std::function<void(TBluetoothLEManager& sender, TBluetoothLEDevice& device, const TPairingResult& result)>
        OnPairingFinished;

    // The user's answer to the device's pending question: the passkey typed (EnterPasskey), or
    // accepted = whether the numbers match (ConfirmPasskey). cancel stops the pairing instead.
    // Ignored when no question waits.
    struct TPairingAnswer {
        bool Cancel = false;
        uint32_t Passkey = 0;
        bool Accepted = false;
    };
    virtual void AnswerPairingQuestion(TBluetoothLEDevice& device, const TPairingAnswer& answer) {
        (void)device;
        (void)answer;
    }
    // The radio's state changed (an adapter came or went, was switched on or off, the stack started
    // or ended), or RequestRadioState asked for it. Raised on a backend thread, or on the caller of
    // RequestRadioState. Each dropped link still raises its own OnDisconnect. Set through a lock,
    // unlike the handlers above: the radio can change at any time, scan or not.
    using TRadioHandler = std::function<void(TBluetoothLEManager& sender, TRadioProblem problem)>;
    void SetOnRadioChanged(TRadioHandler handler);

  protected:
    TBluetoothLEManager() = default;

    // For backends: raise an event, reporting what the handler throws.
    void RaiseDiscoverLEDevice(TBluetoothLEDevice& device, int rssi, const TBytes& scanResponse);
    void RaiseDiscoveryLEEnd(const std::vector<TBluetoothLEDevice*>& devices);
    void RaiseDiscoveryRefused(const std::string& reason);
    void RaisePairingQuestion(TBluetoothLEDevice& device, const TPairingQuestion& question);
    void RaisePairingFinished(TBluetoothLEDevice& device, const TPairingResult& result);
    void RaiseRadioChanged(TRadioProblem problem);

  private:
    std::mutex FRadioHandlerLock;
    TRadioHandler FOnRadioChanged;
};
