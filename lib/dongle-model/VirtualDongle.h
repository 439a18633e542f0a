#pragma once
// The virtual dongle: one model of the dongle that every fake in the project drives — the in-process
// fake central used by unit tests and the D-Bus service that stands in for bluetoothd.
//
// The model is passive and front-agnostic. It owns no thread and no timer; a front calls it from any
// thread and does the timing itself (it asks the model how long a write takes and delivers the
// completion when it sees fit). What the model pushes towards the central — notifications and link
// drops — goes through a sink the front sets; the sink is never called with a model lock held, so it
// may call back into the model.
//
// How a front drives a dongle:
//   1. TVirtualRadio::AddDongle(config) places a dongle in the air; TVirtualRadio::Scan lists the
//      advertising ones.
//   2. Build the central-side GATT objects from Gatt(): services, characteristics (with their
//      Handle, Properties and descriptor order), values from Read().
//   3. Connect() before discovery; Disconnect() when the central closes the link.
//   4. Write() each characteristic write with its kind; complete it after TWriteOutcome::delay with
//      TWriteOutcome::status. WriteDescriptor() / SetNotifying() for subscriptions.
//   5. Relay TDongleSink::OnNotify as value changes and TDongleSink::OnLinkDropped as a disconnect.
// Tests steer the link (DropLink, FailNextWrites, SetWriteDelay, SetAdvertising, radio presence) and
// read back Writes() and Target().

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vdongle {

using TBytes = std::vector<uint8_t>;

// GATT short UUIDs the dongle serves.
namespace uuid {
constexpr uint16_t DeviceInformation = 0x180A;
constexpr uint16_t SystemId = 0x2A23;
constexpr uint16_t ModelNumber = 0x2A24;
constexpr uint16_t SerialNumber = 0x2A25;
constexpr uint16_t Firmware = 0x2A26;
constexpr uint16_t Hardware = 0x2A27;
constexpr uint16_t Software = 0x2A28;
constexpr uint16_t Manufacturer = 0x2A29;
constexpr uint16_t PnpId = 0x2A50;
constexpr uint16_t Vendor = 0xF800;
constexpr uint16_t Reports = 0xF801;  // keyboard reports (and some mouse reports), LED status out
constexpr uint16_t Vendor2 = 0xF802;
constexpr uint16_t MouseReports = 0xF803;  // mouse reports under plain framing
constexpr uint16_t Vendor4 = 0xF804;
constexpr uint16_t Control = 0xF80F;  // identity request and reply
constexpr uint16_t Cccd = 0x2902;
constexpr uint16_t UserDescription = 0x2901;
}  // namespace uuid

// GATT characteristic property bits (as in the characteristic declaration).
namespace prop {
constexpr uint8_t Read = 0x02;
constexpr uint8_t WriteNoResponse = 0x04;
constexpr uint8_t Write = 0x08;
constexpr uint8_t Notify = 0x10;
constexpr uint8_t Indicate = 0x20;
}  // namespace prop

constexpr uint16_t GattSuccess = 0x0000;
constexpr uint16_t GattFailure = 0x0101;
// The ATT errors a dongle answers when the link is not secure enough for a characteristic.
constexpr uint16_t GattInsufficientAuthentication = 0x0005;
constexpr uint16_t GattInsufficientEncryption = 0x000F;

// What the vendor service (0xF800) demands of the link before its characteristics take a write
// or give a read: nothing, an encrypted link (any pairing, Just Works included), or a link
// encrypted with a key from a pairing protected against a man in the middle (the dongle shows a
// passkey that the central's user enters).
enum class TSecurity { None, Encrypt, Authenticated };
const char* SecurityName(TSecurity s);  // "none", "encrypt", "authenticated"

// The link as it is now.
enum class TLinkSecurity { Open, Encrypted, Authenticated };

// ---------------------------------------------------------------------------------------------
// The GATT database, as data.

struct TGattDescriptorDef {
    uint16_t uuid = 0;
    TBytes value;
    // ATT handle, assigned by the dongle (0 in a configuration).
    uint16_t handle = 0;
};

struct TGattCharacteristicDef {
    uint16_t uuid = 0;
    uint8_t properties = 0;
    TBytes value;                                 // what a read returns
    std::vector<TGattDescriptorDef> descriptors;  // in discovery order
    // ATT handle of the value, assigned by the dongle (0 in a configuration). Fronts name the
    // characteristic by it (BlueZ object paths use these numbers too).
    uint16_t handle = 0;

    bool Has(uint8_t p) const { return (properties & p) != 0; }
    bool HasCccd() const;
};

struct TGattServiceDef {
    uint16_t uuid = 0;
    std::vector<TGattCharacteristicDef> characteristics;  // in discovery order
    uint16_t handle = 0;
};

// ---------------------------------------------------------------------------------------------
// Identity and framing.

// The USB identity the dongle presents to the target computer.
struct TDongleIdentity {
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint8_t ver = 0;
    friend bool operator==(const TDongleIdentity&, const TDongleIdentity&) = default;
};

inline constexpr TDongleIdentity Identity0451_16B4{0x0451, 0x16B4, 0};
inline constexpr TDongleIdentity Identity0451_E010{0x0451, 0xE010, 0};
inline constexpr TDongleIdentity Identity4348_E010{0x4348, 0xE010, 0};
inline constexpr TDongleIdentity Identity045E_002D{0x045E, 0x002D, 0};

enum class TFraming {
    None,          // unknown identity: the target takes no reports
    ReportId,      // keyboard 01 + 8 bytes, mouse 03 + 6 bytes, both on 0xF801; LED status 01 LL
    Plain,         // keyboard 8 bytes on 0xF801, mouse 6 bytes on 0xF803; LED status LL
    PlainKeyboard  // plain keyboard only (no mouse)
};

// How the target expects reports for this identity (0451:16B4 any ver and 0451:E010 ver 0 carry
// report IDs; 0451:E010 ver != 0 and 4348:E010 are plain; 045E:002D is a plain keyboard).
TFraming FramingOf(const TDongleIdentity& id);
const char* FramingName(TFraming f);

// ---------------------------------------------------------------------------------------------
// Configuration: every trait of a dongle.

// How a target on a keyboard layout other than the built-in US one turns the keys it receives into
// text: called for every key event in order (modifiers as usages 224..231) with the target's LEDs
// after it; returns what a press types, as UTF-8. Stateful (held modifiers, dead keys): one per
// target.
using TKeyDecoder = std::function<std::string(uint8_t usage, bool pressed, uint8_t leds)>;

struct TDongleConfig {
    std::string name = "Corvastel-VD";          // advertised name (may be empty)
    std::string address = "C0:FF:EE:00:00:01";  // upper-case, colon separated
    std::vector<uint16_t> advertisedServices{uuid::Vendor};
    int rssi = -48;
    TBytes scanResponse;
    bool advertising = true;

    // The identity the dongle presents on USB; it decides the framing the target decodes.
    TDongleIdentity identity = Identity0451_16B4;
    // Whether the firmware answers the identity request on 0xF80F (older firmware does not).
    bool answersIdentity = true;
    uint8_t identityReplyCode = 0xA1;  // 0xA0 or 0xA1
    // When set, the exact bytes sent as the identity reply instead of the one built from
    // identity (a short, odd or zero reply).
    std::optional<TBytes> identityReply;
    // What the vendor characteristics demand of the link.
    TSecurity security = TSecurity::None;
    // The passkey the dongle shows for a pairing with passkey entry (0..999999); nullopt: a new
    // random one for every pairing, as a dongle with a display shows.
    std::optional<uint32_t> passkey;
    // Characteristics (short UUIDs) whose reads fail although they allow reading.
    std::vector<uint16_t> failingReads;
    // Answer only requests that carry bytes 6 and 7 of the System ID (a System ID shorter than 8
    // bytes counts as zeros there).
    bool checkRequestSystemId = true;

    // The air between the central's stack and the dongle. With a connection interval, connection
    // events come every interval from the connect on, each carrying at most packetsPerEvent
    // writes, and a write reaches the target at the first event after it was made that has room,
    // in the order made. Without one, each write takes writeDelay of air time after the one before
    // it. With neither, a write reaches the target as it is made.
    std::chrono::microseconds writeDelay{0};
    std::chrono::microseconds connectionInterval{0};
    int packetsPerEvent = 1;

    // The target's keyboard layout, by its name ("us", "de", "ch(fr)"), and what decodes keys on
    // it; without makeKeyDecoder the target decodes on the built-in US layout.
    std::string layout = "us";
    // The target's operating system ("linux", "windows", "macos"), which makeKeyDecoder follows.
    std::string system = "linux";
    std::function<TKeyDecoder()> makeKeyDecoder;

    // The GATT database; empty unless Standard() filled it. Edit it afterwards to remove
    // characteristics, change flags, reorder descriptors or put odd bytes into values.
    std::vector<TGattServiceDef> gatt;

    // A dongle with the standard database. firmware is the Firmware Revision String.
    static TDongleConfig Standard(std::string name = "Corvastel-VD",
                                  std::string address = "C0:FF:EE:00:00:01", std::string firmware = "1.2.0",
                                  TDongleIdentity identity = Identity0451_16B4);

    // Editing helpers (first match in database order; null / false when absent).
    TGattServiceDef* FindService(uint16_t serviceUuid);
    TGattCharacteristicDef* Find(uint16_t characteristicUuid);
    bool Remove(uint16_t characteristicUuid);
    bool RemoveService(uint16_t serviceUuid);
    // Sets a characteristic's value; text is taken byte for byte (embedded NULs included).
    bool SetValue(uint16_t characteristicUuid, TBytes value);
    bool SetText(uint16_t characteristicUuid, std::string_view text);
};

// The default database: Device Information (System ID, the six strings, PnP ID) and the vendor
// service with 0xF801 (write, write-without-response, notify + CCCD), 0xF802, 0xF803, 0xF804 and
// 0xF80F (write, notify + CCCD).
std::vector<TGattServiceDef> StandardGatt(const std::string& firmware,
                                          const std::array<uint8_t, 8>& systemId);

// ---------------------------------------------------------------------------------------------
// What the dongle records and what the target computer sees.

enum class TWriteKind { Request, Command };  // with response / without response

struct TWriteRecord {
    uint64_t seq = 0;  // 1, 2, ... per dongle
    TWriteKind kind = TWriteKind::Request;
    uint16_t characteristic = 0;  // short UUID
    uint16_t handle = 0;
    TBytes bytes;
    uint16_t status = GattSuccess;  // what the write completed with
    // When the central made the write, and when it reached the target (epoch: not (yet)).
    std::chrono::steady_clock::time_point madeAt;
    std::chrono::steady_clock::time_point arrivedAt;
};

struct TKeyEvent {
    uint8_t usage = 0;  // HID keyboard usage; modifiers as 224..231
    bool pressed = false;
    friend bool operator==(const TKeyEvent&, const TKeyEvent&) = default;
};

// The target computer as the dongle's USB keyboard and mouse drive it. Plain data; a copy is a
// snapshot.
struct TVirtualTarget {
    std::vector<uint8_t> keysHeld;     // non-modifier usages, in report order
    uint8_t modifiers = 0;             // bit n = usage 224 + n
    std::vector<TKeyEvent> keyEvents;  // every press and release, modifiers included
    std::string text;                  // typed text, UTF-8, as the target's layout types it (Backspace
                                       // erases a character, Enter gives '\n')
    int64_t pointerX = 0;              // sum of relative moves
    int64_t pointerY = 0;
    uint8_t buttons = 0;                 // bit n = button n + 1
    std::vector<uint8_t> buttonPresses;  // button numbers 1..5 as they went down
    int64_t wheel = 0;                   // sum of wheel steps
    int keyboardReports = 0;
    int mouseReports = 0;
    int rejectedReports = 0;  // writes that are no report under the current framing
    TBytes lastReport;
    // The target's keyboard LEDs: toggled by the lock keys it receives (Num, Caps, Scroll Lock,
    // as a PC's keyboard driver does; all off at start) or set by a test through NotifyLedStatus.
    // Caps Lock inverts the case of typed letters; the keypad's digits type only with Num Lock on.
    uint8_t ledStatus = 0;

    bool AnyKeyHeld() const { return !keysHeld.empty() || modifiers != 0; }
    bool AnyInputHeld() const { return AnyKeyHeld() || buttons != 0; }
};

// Keyboard LED bits (boot keyboard).
inline constexpr uint8_t LedNumLock = 0x01;
inline constexpr uint8_t LedCapsLock = 0x02;
inline constexpr uint8_t LedScrollLock = 0x04;

// Feeds one report written to a characteristic into the target, decoding it for the framing, and
// its keys into text with decoder (null or empty: the built-in US layout). Returns false (and
// counts it rejected) when it is not a report under that framing.
bool ReplayReport(TVirtualTarget& target, TFraming framing, uint16_t characteristic,
                  std::span<const uint8_t> bytes, const TKeyDecoder* decoder = nullptr);

// The character a usage types on a US layout, 0 for none.
char UsCharacter(uint8_t usage, bool shift);

// ---------------------------------------------------------------------------------------------

struct TWriteOutcome {
    uint16_t status = GattSuccess;
    // When the write reaches the target, from now (0: it has, within Write). The front calls
    // DeliverDue then; a write with response is answered then too.
    std::chrono::microseconds delay{0};
    // A write with response: how much later than its arrival the answer comes (a busy peer), and
    // whether it comes at all.
    std::chrono::microseconds answerLate{0};
    bool answered = true;
};

// What the dongle pushes to the front. Called outside the model's lock, on the thread that caused
// it (the writer for an identity reply, the test for an LED status or a drop).
struct TDongleSink {
    std::function<void(uint16_t handle, uint16_t characteristic, const TBytes& value)> OnNotify;
    std::function<void()> OnLinkDropped;
};

class TVirtualDongle {
  public:
    explicit TVirtualDongle(TDongleConfig config);
    TVirtualDongle(const TVirtualDongle&) = delete;
    TVirtualDongle& operator=(const TVirtualDongle&) = delete;

    // ---- for fronts
    void SetSink(TDongleSink sink);  // replaces; an empty sink drops what is pushed

    std::string Address() const;
    std::string Name() const;
    std::vector<uint16_t> AdvertisedServices() const;
    int Rssi() const;
    TBytes ScanResponse() const;
    bool Advertising() const;
    bool AdvertisesAny(const std::vector<uint16_t>& services) const;  // empty filter matches

    // The database with handles assigned. Immutable for the dongle's life (subscriptions are kept
    // apart), so fronts may read it from any thread without a lock.
    const std::vector<TGattServiceDef>& Gatt() const { return FGatt; }
    const TGattCharacteristicDef* Characteristic(uint16_t handle) const;

    // Central connects; false when the dongle is neither connected nor advertising.
    bool Connect();
    bool Connected() const;
    // Central closes the link (no OnLinkDropped: the front knows). Of the writes still queued for
    // the air, those the next connection event carries reach the target first, the rest are lost
    // (a drop, DropLink, loses them all).
    void Disconnect();

    // Read of a characteristic value; nullopt when the handle is unknown, not readable or not
    // connected.
    std::optional<TBytes> Read(uint16_t handle) const;
    // A characteristic write. Records it, applies it (identity request, report replay) unless it
    // fails, and tells the front how to complete it. Fails when not connected, when the
    // characteristic does not allow that kind of write, or when a failure was armed.
    TWriteOutcome Write(uint16_t handle, std::span<const uint8_t> bytes, TWriteKind kind);
    // Lets the writes on the air whose time has come reach the target, in order. Fronts call it
    // when a write's delay has passed; calling it early or twice does no harm.
    void DeliverDue();
    // A descriptor write (CCCD 01 00 / 02 00 subscribes, 00 00 unsubscribes). False when unknown
    // or not connected.
    bool WriteDescriptor(uint16_t descriptorHandle, std::span<const uint8_t> bytes);
    // A descriptor's value: a CCCD reads back the subscription (01 00 or 00 00), any other
    // descriptor its configured value. nullopt when unknown or not connected.
    std::optional<TBytes> ReadDescriptor(uint16_t descriptorHandle) const;
    // Subscription by the front's own means (BlueZ StartNotify/StopNotify). False when the
    // characteristic cannot notify.
    bool SetNotifying(uint16_t handle, bool enable);
    bool Notifying(uint16_t handle) const;

    // ---- behaviour on demand
    // Sets the target's LEDs and sends the keyboard LED status on 0xF801 framed for the identity;
    // false when not sent (not connected, not subscribed, no framing). The dongle sends it by
    // itself too whenever a report it replays toggles a lock.
    bool NotifyLedStatus(uint8_t leds);
    // Sends the identity reply unasked; false when not sent.
    bool NotifyIdentity();
    // Any notification (odd bytes, wrong codes); false when not sent.
    bool Notify(uint16_t characteristicUuid, TBytes value);

    // ---- pairing and link security
    // A bond outlives the link: a central that reconnects with it encrypts the link at once with
    // the bond's key. Every link starts open otherwise; a drop or close abandons a pairing.
    TSecurity Security() const;
    TLinkSecurity LinkSecurity() const;
    bool Bonded() const;
    // The ATT error a read or write of this characteristic meets on the link as it is now
    // (GattSuccess: none). Only the vendor service's characteristics are guarded.
    uint16_t SecurityRefusal(uint16_t handle) const;
    // Just Works pairing asked by the central (no question on either side): encrypts the link and
    // keeps the bond. False, and nothing changes, when not connected or when the dongle demands
    // authentication (it refuses a pairing without protection against a man in the middle).
    bool PairJustWorks();
    // Passkey entry: the dongle shows a passkey (returned) and waits for the central's. nullopt
    // when not connected.
    std::optional<uint32_t> StartPasskeyPairing();
    // The passkey on the dongle's display while a passkey pairing waits; nullopt otherwise.
    std::optional<uint32_t> ShownPasskey() const;
    // The central's passkey: the same one authenticates the link and keeps the bond; any other
    // fails the pairing (no bond, the link stays as it was). False also when none waits.
    bool FinishPasskeyPairing(uint32_t entered);
    void CancelPairing();
    // The central removed the bond (both sides forget it; the link stays as it is until it ends).
    void ForgetBond();

    // ---- link model
    void SetWriteDelay(std::chrono::microseconds delay);
    std::chrono::microseconds WriteDelay() const;
    // Connection interval (0: none) and writes per connection event.
    void SetConnectionEvents(std::chrono::microseconds interval, int packetsPerEvent);
    std::chrono::microseconds ConnectionInterval() const;
    // The next count writes fail with status (they are recorded, not applied).
    void FailNextWrites(int count = 1, uint16_t status = GattFailure);
    // The dongle drops the link (out of range, unplugged). OnLinkDropped follows.
    void DropLink();
    // ---- bad moments (the link stays up through each)
    // No connection event carries a packet for duration from now: writes made meanwhile reach the
    // target after it (those on the air already keep their slots).
    void StallAir(std::chrono::microseconds duration);
    // The next write with response reaches the target on time, but its answer comes late.
    void DelayNextAnswer(std::chrono::microseconds late);
    // The next write with response reaches the target, and its answer never comes.
    void LoseNextAnswer();
    void SetAdvertising(bool on);
    void SetIdentity(TDongleIdentity id);
    TDongleIdentity Identity() const;
    // The target's keyboard layout ("us", "de") and system ("linux", "windows", "macos").
    std::string Layout() const;
    std::string System() const;

    // ---- observation
    std::vector<TWriteRecord> Writes() const;
    TVirtualTarget Target() const;
    int ConnectCount() const;
    void ClearRecords();  // writes and target

  private:
    uint16_t HandleOf(uint16_t characteristicUuid) const;  // first in database order, 0 if none
    bool InVendorServiceLocked(uint16_t handle) const;
    uint16_t SecurityRefusalLocked(const TGattCharacteristicDef& c) const;
    bool NotifyLocked(uint16_t characteristicUuid, TBytes value,
                      std::vector<std::pair<uint16_t, TBytes>>& out);
    bool NotifyLedLocked(uint8_t leds, std::vector<std::pair<uint16_t, TBytes>>& out);
    void Emit(const std::vector<std::pair<uint16_t, TBytes>>& notes);
    TBytes IdentityReplyLocked() const;
    // What a write does once it reaches the dongle.
    void ApplyLocked(const TGattCharacteristicDef& c, std::span<const uint8_t> bytes,
                     std::vector<std::pair<uint16_t, TBytes>>& notes);
    // When a write made now reaches the target, by the link model; takes its place on the air.
    std::chrono::steady_clock::time_point AirSlotLocked(std::chrono::steady_clock::time_point now);
    // A request's answer: late or lost when a test asked for it.
    void TakeAnswerFateLocked(TWriteOutcome& outcome);
    void ArriveLocked(uint64_t seq, std::chrono::steady_clock::time_point at);
    void DeliverLocked(std::chrono::steady_clock::time_point upTo,
                       std::vector<std::pair<uint16_t, TBytes>>& notes);

    struct TOnAir {
        uint64_t seq = 0;
        uint16_t handle = 0;
        TBytes bytes;
        bool apply = true;  // false: the dongle fails it
        std::chrono::steady_clock::time_point arrival;
    };
    std::vector<TOnAir> FAir;                              // in the order made
    std::chrono::steady_clock::time_point FLinkUp;         // connection events count from here
    std::chrono::steady_clock::time_point FLastSlot;       // the latest event a write was given
    int FSlotUsed = 0;                                     // writes given that event
    std::chrono::steady_clock::time_point FAirStallUntil;  // no event carries a packet before it
    std::chrono::microseconds FNextAnswerLate{0};
    bool FLoseNextAnswer = false;

    mutable std::mutex FLock;
    TDongleConfig FConfig;
    std::vector<TGattServiceDef> FGatt;
    std::vector<uint16_t> FNotifying;  // handles
    bool FConnected = false;
    TLinkSecurity FLinkSecurity = TLinkSecurity::Open;
    std::optional<TLinkSecurity> FBond;     // the level of the kept bond
    std::optional<uint32_t> FShownPasskey;  // a passkey pairing waits
    uint32_t FPasskeySeed = 0;
    int FConnectCount = 0;
    int FFailWrites = 0;
    uint16_t FFailStatus = GattFailure;
    uint64_t FSeq = 0;
    std::vector<TWriteRecord> FWrites;
    TVirtualTarget FTarget;
    TKeyDecoder FKeyDecoder;  // empty: the built-in US layout

    std::mutex FSinkLock;
    std::shared_ptr<const TDongleSink> FSink;
};

// The air around the central: the dongles in range and whether the central's radio is there.
// Thread-safe.
class TVirtualRadio {
  public:
    std::shared_ptr<TVirtualDongle> AddDongle(TDongleConfig config);
    // Takes the dongle out of range; a connected one drops its link.
    bool RemoveDongle(const std::string& address);
    std::shared_ptr<TVirtualDongle> Find(const std::string& address) const;
    std::vector<std::shared_ptr<TVirtualDongle>> Dongles() const;
    // Advertising dongles offering one of services (all advertising ones when services is empty).
    std::vector<std::shared_ptr<TVirtualDongle>> Scan(const std::vector<uint16_t>& services) const;

    // Radio present and powered. Switching it off drops every link.
    void SetPresent(bool present);
    bool Present() const;

  private:
    mutable std::mutex FLock;
    bool FPresent = true;
    std::vector<std::shared_ptr<TVirtualDongle>> FDongles;
};

// What bluetoothd does with a write: a request refused for want of encryption makes it raise the
// link's security by itself (Just Works, no agent asked, bond kept) and send the request again
// once; a request refused for want of authentication fails (a dongle that demands protection
// against a man in the middle refuses that pairing). A write without response that the dongle
// refuses is dropped without a word. *pairedNow tells the front that a bond was made.
TWriteOutcome WriteAsBluez(TVirtualDongle& dongle, uint16_t handle, std::span<const uint8_t> bytes,
                           TWriteKind kind, bool* pairedNow = nullptr);
// The same for a read: the ATT error it ends with (GattSuccess: *value holds the value).
uint16_t ReadAsBluez(TVirtualDongle& dongle, uint16_t handle, std::optional<TBytes>* value,
                     bool* pairedNow = nullptr);

std::string ToHex(std::span<const uint8_t> bytes);  // "01 02 0A"
// "0000f801-0000-1000-8000-00805f9b34fb": a short UUID in the Bluetooth base UUID, lower case as
// BlueZ writes it.
std::string Uuid128(uint16_t shortUuid);

}  // namespace vdongle
