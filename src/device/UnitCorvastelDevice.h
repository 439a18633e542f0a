#pragma once
// The device session: one per connected dongle. It binds the dongle's Device Information service
// and vendor service, subscribes to its notifications, reads and decodes Device Information, learns
// the USB identity the dongle presents to its target, posts device events on the message bus, and
// writes input reports to the dongle one at a time (but for a key that passes a motion report
// written with response while it awaits its answer).
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
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>

#include "device/LinkEstimator.h"
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
    // Setting up the connection failed; SetupFailure() says at which step and why. The session
    // takes no reports; the window closes the link.
    DeviceSetupFailed = 10,
    // A write with response has gone unanswered for NotAnsweringAfter while input waits behind it
    // (para 1), or the answer came at last (para 0). The window says it while para is 1.
    DongleNotAnswering = 11,
    // The dongle refused a write or read because the link is not secure enough (sent once per
    // session): it wants the link paired and encrypted.
    SecurityRefused = 12,
};

// The steps of setting up a connection, in the order they are taken.
enum class TSetupStep : uint8_t {
    Connecting,          // connecting and discovering the services
    Binding,             // checking the services found
    Subscribing,         // subscribing to the notifications
    ReadingInformation,  // the seven Device Information reads
    CheckingFirmware,    // deciding from the firmware version whether to ask the identity
    AwaitingIdentity,    // the identity request is written; waiting for the reply
    Done,                // active: the identity is known
};
// The step in plain words, to follow "while": "reading its Device Information".
const char* SetupStepText(TSetupStep step);

// Why a setup failed. Reason is plain words; Detail, when not empty, the technical text of the
// error behind it.
struct TSetupFailure {
    TSetupStep Step = TSetupStep::Connecting;
    std::string Reason;
    std::string Detail;
};

// Whether reports can be framed for this USB identity: one of the known identities.
bool IsKnownUsbId(const TUSBDeviceID& id);

// A device event as it travels on the message bus (as TMessage<TBleDeviceMessage>).
struct TBleDeviceMessage {
    uint8_t event = 0;                  // a TBleDeviceEvent code
    TCorvastelDevice* cvDev = nullptr;  // the session that posted it
    std::string text;                   // the radio device's address, "AA:BB:CC:DD:EE:FF"
    uint32_t para = 0;                  // LedStatusChanged: the LED status; otherwise 0
    // The posting session's serial (TCorvastelDevice::Serial). The pointer alone cannot tell a
    // session that left from a new one that took its memory; the receiver looks the session up by
    // serial on its own thread and drops what no session of its table posted.
    uint64_t serial = 0;
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
    // serial: the owner's name for this session, never given to another (0: the owner keeps none);
    // every device event carries it.
    explicit TCorvastelDevice(TDeviceUi* ui = nullptr, uint64_t serial = 0);
    ~TCorvastelDevice();
    TCorvastelDevice(const TCorvastelDevice&) = delete;
    TCorvastelDevice& operator=(const TCorvastelDevice&) = delete;

    // Fixed at construction, so any thread may read it.
    const uint64_t Serial;

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

    // Sending, through the session's send scheduler (device/UnitLinkList.h has its policy).
    // SendReport queues the report of the type (the all-released one when empty) built for this
    // dongle's identity: a keyboard report as a transition, a mouse report by its content (motion
    // merges, a button change or an all-released report is a transition). It starts a send
    // attempt when the device is connected.
    void SendReport(TReportType rp, bool empty);
    // Queues the all-released keyboard and mouse reports behind what is queued, so the target holds
    // nothing once they are through; the link stays open. For a dongle that may still hold keys from
    // before (it came back after a drop) and for one the input stops going to (a route change).
    void ReleaseAll();
    // A mouse report carrying a snapshot taken once for all dongles: every dongle gets the same
    // motion.
    void SendMouseReport(const TMouseSnapshot& mouse);
    // A keyboard report holding exactly this key with these modifier bits (usage 0: none), for
    // typing a text; it is the newest keyboard state, as a pass-through report would be.
    void SendKeyboardState(uint8_t modifiers, uint8_t usage);
    TBluetoothGattCharacteristic* GetReportCharacteristic(TReportType reportType) const;
    // Wakes the send worker for one attempt; returns at once.
    void TrySendReport();
    // Closes the link the way a user means it: an active session releases everything
    // (ReleaseBeforeClose) and disconnects once the releases have reached the dongle; or when no
    // write has completed for DisconnectGrace (a stalled link). Returns at once.
    void DisconnectAfterRelease();
    static constexpr std::chrono::milliseconds DisconnectGrace{500};
    // How long a close waits for the answer that proves the releases delivered: a link that holds
    // more than that is taken as stalled.
    static constexpr std::chrono::milliseconds DeliveryProofLimit{3000};
    // How long input may wait behind an unanswered write with response before the user is told.
    static constexpr std::chrono::milliseconds NotAnsweringAfter{1000};
    // The wait before writing the newest states again once writes fail in a row (beyond
    // TSendScheduler::MaxResends), doubling up to the longest.
    static constexpr std::chrono::milliseconds BackOffFirst{20};
    static constexpr std::chrono::milliseconds BackOffLongest{640};
    // DongleNotAnswering holds: the dongle has left a write with response unanswered for long.
    bool NotAnswering() const;
    // Every active session in sessions queues its releases, then all are waited for together, at
    // most bound in all; their destructors then wait no more. For the program's end.
    static void ReleaseForExit(std::span<TCorvastelDevice* const> sessions, std::chrono::milliseconds bound);
    // The one rule before a link is closed on purpose (the user's disconnect, the window closing,
    // the program ending): all-released keyboard and mouse reports are queued behind what is
    // queued, no more input is taken, and the last of them is written with response where the
    // characteristic allows it, so its answer proves that everything before it reached the
    // dongle. Where only writes without response are allowed, the releases count as delivered
    // once the learned link has had the time to carry what the stack holds. Returns at once.
    void ReleaseBeforeClose();
    // After ReleaseBeforeClose: the releases have reached the dongle (by that rule).
    bool ReleasesDelivered() const;
    // Waits until ReleasesDelivered (true), or the link is down, or the close gives up: no write
    // has completed for DisconnectGrace (a stalled link), an answer proving delivery is out for
    // longer than DeliveryProofLimit, or bound has passed (false). Every close on purpose that
    // must not return before the releases are through waits here: the window's exit on display
    // loss and the session's destructor; the user's disconnect waits the same way on the send
    // worker.
    bool WaitReleasesDelivered(std::chrono::milliseconds bound);
    // Waits until everything queued (motion included) has been written and completed (true), or
    // the time is up, or the link is down (false).
    bool WaitSent(std::chrono::milliseconds timeout);

    // Key and button transitions waiting to be written, the one in the platform's hands included
    // (merged motion is not counted: it never piles up). Callers that feed many reports (typing a
    // text) use it to keep no more queued than the link carries.
    int PendingReports() const;

    // How the link keeps up, for the user to see. Any thread.
    struct TLinkStats {
        uint32_t WriteRoundTripUs = 0;   // recent writes: handed to the platform -> completed (0: none yet)
        uint32_t QueueWaitUs = 0;        // recent reports: queued -> handed to the platform
        bool FallingBehind = false;      // reports wait longer than the link takes to write them
        uint32_t MergedTransitions = 0;  // transitions collapsed because the queue was full
        // What the link was learned to carry (device/LinkEstimator.h).
        bool LinkMeasured = false;  // at least one answer has come
        double WritesPerSecond = 0;
        uint32_t IntervalUs = 0;    // estimated spacing of connection events
        uint32_t KeyLatencyUs = 0;  // estimated time for a key made now to reach the dongle
        bool CannotKeepUp = false;  // even merged motion leaves keys far behind
        // How long the link has had nothing to carry (0 while it carries something): the figures
        // above describe its last activity.
        uint32_t IdleUs = 0;
    };
    TLinkStats LinkStats() const;

    // Replaces the link estimator (a fixed pace: for comparison in benchmarks, and for tests of a
    // misjudged link). Before the first report is written.
    void SetLinkEstimator(const TLinkEstimator& estimator);

    // Receiving.
    void ReceiveData(TBluetoothGattCharacteristic& characteristic, std::span<const uint8_t> value);
    void TrySendDeviceInfoCompleteMessage(uint8_t arrivedBit);
    bool UpdateSupport() const;
    // The link was made secure (paired) after the dongle refused: a setup that waits for the
    // identity reply asks again (the refused request never reached the dongle), with its time-out
    // counted anew. Writing resumes over the secure link, with what the scheduler keeps (the refused
    // state first); nothing went again over the open link.
    void RetryAfterPairing();

    // Setting up. Any thread.
    TSetupStep SetupStep() const { return FSetupStep.load(); }
    // When the setup last moved on (created, discovery started, bound, a value arrived, the
    // identity asked); the window gives up on a setup that stays put too long.
    std::chrono::steady_clock::time_point LastSetupProgress() const;
    // Set once DeviceSetupFailed has been posted.
    TSetupFailure SetupFailure() const;
    // The setup is abandoned (by the user, or by the window when it took too long): nothing of it
    // is reported any more, and nothing it still receives makes the session active.
    void CancelSetup();
    bool SetupEnded() const { return FSetupEnded.load(); }

    // The USB identity the dongle presents; all zero until known. Written by Bluetooth threads.
    TUSBDeviceID HidId() const;

    TSendScheduler Scheduler;
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
    // Whether the dongle has reported its LEDs since the session began, and how many lock key
    // presses sent since then it has not reported the lights of yet (each toggles a light, so the
    // target's host sends new lights for each).
    std::atomic<bool> LedReported{false};
    std::atomic<int> LightsAwaited{0};
    // The lock lights are the target's as it is now: reported, with no lock key press on its way.
    bool LightsKnown() const { return LedReported.load() && LightsAwaited.load() == 0; }
    std::atomic<uint8_t> infoValue{0};
    std::atomic<bool> SendDatatBusy{false};
    uint8_t validValue = 0;
    std::atomic<bool> isActived{false};
    // Set by DisconnectAfterRelease: the link is being closed on purpose, so its end is no drop.
    std::atomic<bool> DisconnectAsked{false};

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
    void AfterPush();
    // Polls done until it holds (true), the deadline (asked anew each turn, as it may move) has
    // passed or the link is down (false).
    bool WaitWhileLinked(const std::function<bool()>& done,
                         const std::function<std::chrono::steady_clock::time_point()>& deadline);
    // Ends the setup with a failure and posts DeviceSetupFailed, once; later failures and
    // failures after CancelSetup are not reported.
    void FailSetup(TSetupStep step, std::string reason, std::string detail = {});
    void SetSetupStep(TSetupStep step);
    void TakeIdentityReply(std::span<const uint8_t> value);

    std::atomic<TSetupStep> FSetupStep{TSetupStep::Connecting};
    std::atomic<bool> FSecurityRefused{false};  // SecurityRefused was sent
    // The dongle refused a write for security: the send worker writes nothing until the link is
    // paired (RetryAfterPairing), so that no failed state is written again in the clear.
    std::atomic<bool> FSecureLinkWanted{false};
    std::atomic<bool> FSetupEnded{false};
    std::atomic<std::chrono::steady_clock::rep> FSetupProgress{0};
    std::array<uint8_t, 3> FIdentityRequest{};
    mutable std::mutex FSetupLock;
    TSetupFailure FSetupFailure;

    void SetHidId(const TUSBDeviceID& id);
    void SendWorker();
    void SendStep();
    bool Sent() const;
    // The all-released reports, queued as transitions.
    void QueueReleases();
    // When a close asked for at asked stops waiting for the releases to be delivered.
    std::chrono::steady_clock::time_point CloseGivesUpAt(std::chrono::steady_clock::time_point asked) const;
    static bool IsMotionOnly(const TScheduledReport& report);
    // A write with response out: once it is overdue (TLinkEstimator::AnswerBound), motion set
    // aside (or that holds the scheduler, set aside now) lets motion pass; once input has waited
    // NotAnsweringAfter behind it, the user is told. Returns whether the motion set aside is
    // overdue.
    bool WatchRequestLocked(std::chrono::steady_clock::time_point now);
    // When WatchRequestLocked has to look again, if ever.
    std::optional<std::chrono::steady_clock::time_point> RequestWatchAtLocked() const;
    void EndNotAnsweringLocked();
    // Posts DongleNotAnswering when it changed (outside FLinkLock: a subscriber may call back).
    void PostNoticeChange();

    TDeviceUi* FUi;

    mutable std::mutex FHidIdLock;
    TUSBDeviceID FHidId{};

    // The send worker sleeps until an attempt is asked for.
    std::mutex FWorkerLock;
    std::condition_variable FWorkerWake;
    bool FAttemptPending = false;
    bool FStopping = false;
    bool FDisconnectPending = false;
    // Set once the user closes the link (or the session goes): no more input is queued.
    std::atomic<bool> FClosing{false};
    uint32_t FMergedLogged = 0;  // producer thread only
    uint8_t FLockKeysDown = 0;   // producer thread only: lock keys in the last keyboard report
    // Counts the lock keys a keyboard report presses anew: the lights they change are awaited.
    void NoteLockKeys(const THidReport& Report);
    std::atomic<int64_t> FLastCompletionNs{0};  // steady clock, for the disconnect grace
    std::chrono::steady_clock::time_point FDisconnectDeadline;
    // The send worker's next attempt, when the pace held a write back (guarded by FWorkerLock).
    std::optional<std::chrono::steady_clock::time_point> FRetryAt;

    // The link as learned, and what became of the last write (guarded by FLinkLock).
    mutable std::mutex FLinkLock;
    TLinkEstimator FLink;
    bool FInFlightWithResponse = false;
    // The write in the platform's hands: its scheduler ticket (0: none) and where it went.
    uint64_t FTicketInFlight = 0;
    const TBluetoothGattCharacteristic* FCharacteristicInFlight = nullptr;
    std::chrono::steady_clock::time_point FWithResponseMadeAt{};
    // A motion write with response in the platform's hands that no longer holds the scheduler:
    // where keys go without response on a characteristic of their own, a key made while it waits
    // for its answer goes at once (the platform sends a write without response past a request it
    // holds). Anything else the scheduler hands out meanwhile is held here and written once the
    // answer has come: more motion would pile requests up behind it, and a button change or a
    // request must keep its place behind it.
    // A key does not pass a button change written with response: bluetoothd's ATT layer picks its
    // queue of writes without response before its queue of requests whenever the socket can take
    // a packet, so a key that reaches bluetoothd while the button request still waits there (its
    // main loop has not run the writer yet, or the socket was full) goes on the air first. Nothing
    // tells when a request has left that queue; only its answer does. A key overtaking motion is
    // harmless (a key lands nowhere), a key overtaking a click is not, so keys made during a click
    // wait for its answer (about two connection events on a free link). Where bluetoothd opens
    // extra ATT channels (EATT, when the dongle's GATT server says it supports them), a command
    // may even leave on another channel than the request, which orders nothing between them: the
    // rule holds there all the more.
    const TBluetoothGattCharacteristic* FMotionAside = nullptr;
    bool FPassedAside = false;     // a key went past it: its answer proves nothing of that key
    bool FInFlightMotion = false;  // the write in flight carries motion only
    bool FRequestOverdue = false;  // the write with response out is past its AnswerBound
    bool FNotAnswering = false;    // DongleNotAnswering holds
    bool FNoticeChange = false;    // ... and is still to be posted
    std::chrono::steady_clock::time_point FBackOffUntil{};
    // Set by ReleaseForExit: the destructor has nothing more to wait for.
    std::atomic<bool> FReleaseWaited{false};
    std::optional<TScheduledReport> FHeld;
    // When everything handed to the platform is known (an answer) or estimated (the learned
    // link) to have reached the dongle; max: not known yet.
    std::chrono::steady_clock::time_point FDeliveredAt{};
    std::thread FWorker;
};

// Device Information strings: UTF-8, with every byte kept (a trailing zero stays a character) and
// bytes that are not valid UTF-8 replaced by U+FFFD.
std::string DecodeDeviceString(std::span<const uint8_t> value);
