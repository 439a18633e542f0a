#pragma once
// The device session: one per connected dongle. It binds the dongle's Device Information service
// and vendor service, subscribes to its notifications, reads and decodes Device Information, learns
// the USB identity the dongle presents to its target, posts device events on the message bus, and
// writes input reports to the dongle one at a time.
//
// Threads:
//  - InitData (and so OnServicesDiscovered) runs on the window's connect worker.
//  - Read completions, notifications, write completions and the disconnect arrive on threads of the
//    Bluetooth backend; device events are posted (and delivered by the bus) on those threads.
//  - SendReport runs on the window's thread (the input path). It never waits for the radio: it
//    queues the report and wakes the session's send worker, which does the writing.
//
// Lifetime: the window destroys a session on its own thread, after the session's disconnect event,
// and never while InitData is still running. The destructor detaches from the radio device and waits
// for handler calls in progress and for the send worker, so nothing reaches a destroyed session.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <thread>

#include "device/UnitLinkList.h"
#include "hid/UnitCorvHid.h"
#include "platform/ble/BluetoothLE.h"

class TCorvastelDevice;

enum TBleDeviceEvent : uint8_t {
    ServicesBound = 1,
    NotifyEnabled = 2,
    DeviceInfoComplete = 3,
    DeviceActived = 4,
    DeviceDisconnected = 8,
    // The dongle reported a new keyboard LED status; para holds it (the session's LedStatus).
    LedStatusChanged = 9,
};

// A device event as it travels on the message bus (as TMessage<TBleDeviceMessage>).
struct TBleDeviceMessage {
    uint8_t event = 0;                  // a TBleDeviceEvent code
    TCorvastelDevice* cvDev = nullptr;  // the session that posted it
    std::string text;                   // the radio device's address, "AA:BB:CC:DD:EE:FF"
    uint32_t para = 0;                  // LedStatusChanged: the LED status; otherwise 0
};

// What a session needs from the user interface.
class TDeviceUi {
  public:
    virtual ~TDeviceUi() = default;
    // Shows a message box on the UI thread; returns when the user has closed it.
    virtual void ShowMessageAndWait(const std::string& text) = 0;
};

// validValue bits: which characteristics were bound.
inline constexpr uint8_t ValidChar1 = 0x01;
inline constexpr uint8_t ValidChar2 = 0x02;
inline constexpr uint8_t ValidChar3 = 0x04;
inline constexpr uint8_t ValidChar4 = 0x08;
inline constexpr uint8_t ValidChar5 = 0x10;
inline constexpr uint8_t ValidDeviceInfo = 0x80;
// A complete binding: Device Information and all five vendor characteristics, or Device
// Information with char1, char2 and char5 only (char3 and char4 both absent).
inline constexpr uint8_t BindingFull = 0x9F;     // 159
inline constexpr uint8_t BindingMinimal = 0x93;  // 147

// infoValue bits: which Device Information values have arrived.
inline constexpr uint8_t InfoSystemId = 0x01;
inline constexpr uint8_t InfoModelNumber = 0x02;
inline constexpr uint8_t InfoSerialNumber = 0x04;
inline constexpr uint8_t InfoFirmware = 0x08;
inline constexpr uint8_t InfoHardware = 0x10;
inline constexpr uint8_t InfoSoftware = 0x20;
inline constexpr uint8_t InfoManufacture = 0x40;
inline constexpr uint8_t InfoComplete = 0x7F;  // the seven values that are read

// Identity messages on char5.
inline constexpr uint8_t IdentityRequest = 0xA1;
inline constexpr uint8_t IdentityReplyA0 = 0xA0;
inline constexpr uint8_t IdentityReplyA1 = 0xA1;
inline constexpr size_t IdentityReplySize = 6;

class TCorvastelDevice {
  public:
    // ui may be null: the "not allowed" message then goes to the general error reporting.
    explicit TCorvastelDevice(TDeviceUi* ui = nullptr);
    ~TCorvastelDevice();
    TCorvastelDevice(const TCorvastelDevice&) = delete;
    TCorvastelDevice& operator=(const TCorvastelDevice&) = delete;

    // Starts the session on the radio device: wires its events here, has it connect and discover
    // its services (binding happens inside, on this thread). Errors the platform raises propagate.
    void InitData(TBluetoothLEDevice* bleDev);

    // The device's events.
    void OnServicesDiscovered(TBluetoothLEDevice& sender, const TBluetoothGattServiceList& services);
    void OnCharacteristicRead(TBluetoothLEDevice& sender, TBluetoothGattCharacteristic& characteristic,
                              uint16_t gattStatus, std::span<const uint8_t> value);
    void OnCharacteristicWrite(TBluetoothLEDevice& sender, TBluetoothGattCharacteristic& characteristic,
                               uint16_t gattStatus);
    void OnDisconnect(TBluetoothLEDevice& sender);

    void SetDeviceInfoCharacteristic(TBluetoothGattCharacteristic* characteristic);
    void SetCorvastelCharacteristic(TBluetoothGattCharacteristic* characteristic);
    bool isCharacteristicIntegrity() const;
    void CorvastelSetNotification(TBluetoothGattCharacteristic* characteristic);
    void SendDeviceMessage(uint8_t event, const std::string& text, uint32_t para);

    // Sending. SendReport queues one report of the type (the all-released one when empty) built for
    // this dongle's identity, and starts a send attempt when the device is connected.
    void SendReport(TReportType rp, bool empty);
    // A mouse report carrying a snapshot taken once for all dongles.
    void SendMouseReport(const TMouseSnapshot& mouse);
    // A keyboard report holding exactly this key with these modifier bits (usage 0: none), for
    // typing a text; it is the newest keyboard state, as a pass-through report would be.
    void SendKeyboardState(uint8_t modifiers, uint8_t usage);
    TBluetoothGattCharacteristic* GetReportCharacteristic(TReportType reportType) const;
    // Wakes the send worker for one attempt; returns at once.
    void TrySendReport();
    // Closes the link the way a user means it: an active session first sends all-released keyboard
    // and mouse reports and disconnects once they are written (at most DisconnectGrace later), so
    // nothing stays held on the target. Returns at once.
    void DisconnectAfterRelease();
    static constexpr std::chrono::milliseconds DisconnectGrace{500};
    // Waits until every queued report has been written (true), or the time is up, or the link is
    // down (false).
    bool WaitSent(std::chrono::milliseconds timeout);

    // Reports waiting to be written, the one in the platform's hands included. Callers that feed
    // many reports (typing a text) use it to keep no more queued than the link carries.
    int PendingReports() const;

    // How the link keeps up, for the user to see. Any thread.
    struct TLinkStats {
        uint32_t WriteRoundTripUs = 0;  // recent write: handed to the platform -> completed (0: none yet)
        uint32_t QueueWaitUs = 0;       // recent report: queued -> handed to the platform
        bool FallingBehind = false;     // reports wait longer than the link takes to write them
    };
    TLinkStats LinkStats() const;

    // Receiving.
    void ReceiveData(TBluetoothGattCharacteristic& characteristic, std::span<const uint8_t> value);
    void TrySendDeviceInfoCompleteMessage(uint8_t arrivedBit);
    bool UpdateSupport() const;

    // The USB identity the dongle presents; all zero until known. Written by Bluetooth threads.
    TUSBDeviceID HidId() const;

    TReportQueue ReportQueue;
    TBluetoothLEDevice* Device = nullptr;
    // Device Information. Each value is written once per connection by the read completion that
    // delivers it, before its infoValue bit is set; readers look at them after DeviceInfoComplete.
    std::array<uint8_t, 8> SystemId{};
    std::string ModelNumber;
    std::string SerialNumber;
    std::string Firmware;
    std::string Hardware;
    std::string Software;
    std::string Manufacture;
    std::array<uint8_t, 7> PnpId{};  // never read from the dongle
    // This dongle's last keyboard LED status (bits as the dongle sends them; 0 until it sends one).
    // A value malformed for the framing leaves it as it was.
    std::atomic<uint8_t> LedStatus{0};
    std::atomic<uint8_t> infoValue{0};
    std::atomic<bool> SendDatatBusy{false};
    uint8_t validValue = 0;
    std::atomic<bool> isActived{false};

    TBluetoothGattService* DeviceInfoSvr = nullptr;
    TBluetoothGattCharacteristic* charSystemID = nullptr;
    TBluetoothGattCharacteristic* charModelNumber = nullptr;
    TBluetoothGattCharacteristic* charSerialNumber = nullptr;
    TBluetoothGattCharacteristic* charFirmware = nullptr;
    TBluetoothGattCharacteristic* charHardware = nullptr;
    TBluetoothGattCharacteristic* charSoftware = nullptr;
    TBluetoothGattCharacteristic* charManufacture = nullptr;
    TBluetoothGattCharacteristic* charPnpId = nullptr;
    TBluetoothGattService* CvSvr = nullptr;
    TBluetoothGattCharacteristic* char1 = nullptr;
    TBluetoothGattCharacteristic* char2 = nullptr;
    TBluetoothGattCharacteristic* char3 = nullptr;
    TBluetoothGattCharacteristic* char4 = nullptr;
    TBluetoothGattCharacteristic* char5 = nullptr;

  private:
    void QueueReport(TReportType rp, const THidReport& bytes);
    void SetHidId(const TUSBDeviceID& id);
    void SendWorker();
    void SendStep();
    bool Sent() const { return ReportQueue.Count() == 0 && !SendDatatBusy.load(); }

    TDeviceUi* FUi;

    mutable std::mutex FHidIdLock;
    TUSBDeviceID FHidId{};

    // The send worker sleeps until an attempt is asked for.
    std::mutex FWorkerLock;
    std::condition_variable FWorkerWake;
    bool FAttemptPending = false;
    bool FStopping = false;
    bool FDisconnectPending = false;
    // The newest keyboard report queued. It carries the whole keyboard state, so when a write fails
    // with nothing newer queued it is sent again: a lost key release would otherwise leave the key
    // held (and repeating) on the target until the next key event.
    std::mutex FLastKeyboardLock;
    TReportInfo FLastKeyboard{};
    bool FHasLastKeyboard = false;
    std::atomic<int> FFailedWrites{0};
    static constexpr int MaxKeyboardResends = 2;  // in a row; a link that keeps failing is not hammered
    std::chrono::steady_clock::time_point FDisconnectDeadline;
    std::thread FWorker;
};

// Device Information strings: UTF-8, with every byte kept (a trailing zero stays a character) and
// bytes that are not valid UTF-8 replaced by U+FFFD.
std::string DecodeDeviceString(std::span<const uint8_t> value);
