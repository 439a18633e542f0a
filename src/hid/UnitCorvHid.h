#pragma once
// The HID report model shared by every connected dongle: the USB identities a dongle can present
// to the target, the process-wide tables of held keys and pending mouse input, and the builders
// that turn those tables into keyboard and mouse input reports shaped for one identity.
//
// Threading: the tables and the builders belong to the thread that owns the main window (hook
// callbacks, button handlers and report building all run there), so they carry no lock.
// LastLedStatus is the exception: LED notifications of every dongle arrive on Bluetooth threads.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "hid/UnitUtils.h"

// ---------------------------------------------------------------------------------------------
// Report kinds and USB identities

// Kinds of report, stored in one byte. Reports are built only for KeyboardIn and Mouse; their
// values double as the report IDs written in report-ID framing.
enum class TReportType : uint8_t {
    Undefined = 0,
    KeyboardIn = 1,
    KeyboardOut = 2,
    Mouse = 3,
    TouchPen = 4,
    Consumer = 5,
    GamepadIn = 6,
    GamepadOut = 7,
    WirelessControl = 8,
    WirelessLedOut = 9,
    FullConsumer = 10,
};

// The USB identity a dongle presents to the target. All zero until the dongle's identity is known;
// no report is built for it while it is.
struct TUSBDeviceID {
    uint32_t vid = 0;
    uint32_t pid = 0;
    uint32_t ver = 0;

    friend constexpr bool operator==(const TUSBDeviceID&, const TUSBDeviceID&) = default;
};

inline constexpr TUSBDeviceID USBID_0451_16B4{0x0451, 0x16B4, 0};
inline constexpr TUSBDeviceID USBID_0451_E010{0x0451, 0xE010, 0};
inline constexpr TUSBDeviceID USBID_4348_E010{0x4348, 0xE010, 0};
inline constexpr TUSBDeviceID USBID_045E_002D{0x045E, 0x002D, 0};

// An identity matches a known one by vendor and product number; the known constants' ver is
// never compared (where ver matters, callers test it against 0 themselves).
constexpr bool MatchesUsbId(const TUSBDeviceID& id, const TUSBDeviceID& known) {
    return id.vid == known.vid && id.pid == known.pid;
}

// How reports are framed for an identity.
enum class THidFraming : uint8_t {
    None,               // unknown identity (including all zero): no report of any type
    ReportId,           // byte 0 is the report ID, payload from byte 1: 0451:16B4, 0451:E010 ver 0
    Plain,              // payload from byte 0: 0451:E010 ver != 0, 4348:E010
    PlainKeyboardOnly,  // as Plain, but the dongle is a keyboard only: 045E:002D
};

// Classifies an identity; the same tests pick the report framing, the LED value layout and the
// characteristic a mouse report goes to.
THidFraming HidFraming(const TUSBDeviceID& id);

// ---------------------------------------------------------------------------------------------
// Report bytes

inline constexpr std::size_t MaxHidReportSize = 9;  // keyboard report with its report ID

// One built report: at most MaxHidReportSize bytes held by value, so building, queueing and
// copying a report allocate nothing. An empty report means "nothing to send".
class THidReport {
  public:
    constexpr THidReport() = default;
    // The given bytes; any beyond MaxHidReportSize are dropped.
    constexpr THidReport(std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) {
            if (FSize == MaxHidReportSize)
                break;
            FBytes[FSize++] = b;
        }
    }
    // `size` zero bytes (at most MaxHidReportSize).
    static constexpr THidReport Zeroed(std::size_t size) {
        THidReport r;
        r.FSize = static_cast<uint8_t>(size < MaxHidReportSize ? size : MaxHidReportSize);
        return r;
    }
    // A copy of the bytes; any beyond MaxHidReportSize are dropped.
    static constexpr THidReport FromBytes(std::span<const uint8_t> bytes) {
        THidReport r;
        for (uint8_t b : bytes) {
            if (r.FSize == MaxHidReportSize)
                break;
            r.FBytes[r.FSize++] = b;
        }
        return r;
    }

    static constexpr std::size_t capacity() { return MaxHidReportSize; }
    constexpr std::size_t size() const { return FSize; }
    constexpr bool empty() const { return FSize == 0; }
    constexpr const uint8_t* data() const { return FBytes.data(); }
    constexpr uint8_t* data() { return FBytes.data(); }
    constexpr std::span<const uint8_t> span() const { return {FBytes.data(), FSize}; }
    constexpr const uint8_t* begin() const { return FBytes.data(); }
    constexpr const uint8_t* end() const { return FBytes.data() + FSize; }
    constexpr uint8_t operator[](std::size_t i) const { return FBytes[i]; }
    constexpr uint8_t& operator[](std::size_t i) { return FBytes[i]; }

    std::vector<uint8_t> ToVector() const { return {begin(), end()}; }
    // "01 08 00 ..." in upper-case hexadecimal, for logs and test output.
    std::string ToHex() const;

    friend constexpr bool operator==(const THidReport& a, const THidReport& b) {
        if (a.FSize != b.FSize)
            return false;
        for (std::size_t i = 0; i < a.FSize; ++i) {
            if (a.FBytes[i] != b.FBytes[i])
                return false;
        }
        return true;
    }
    // GoogleTest prints reports through this.
    friend void PrintTo(const THidReport& report, std::ostream* os);

  private:
    std::array<uint8_t, MaxHidReportSize> FBytes{};
    uint8_t FSize = 0;
};

// Report IDs in report-ID framing: the values of TReportType::KeyboardIn and TReportType::Mouse.
inline constexpr uint8_t KeyboardReportId = 1;
inline constexpr uint8_t MouseReportId = 3;

// Payload layouts; in report-ID framing every offset moves up by one.
// Keyboard: modifier bits, a reserved zero byte, six key usages.
inline constexpr std::size_t KeyboardPayloadSize = 8;
inline constexpr std::size_t KeyboardModifierOffset = 0;
inline constexpr std::size_t KeyboardReservedOffset = 1;
inline constexpr std::size_t KeyboardKeysOffset = 2;
inline constexpr std::size_t KeyboardKeySlots = 6;
// Mouse: button bits, X and Y as signed 16-bit little-endian, wheel as signed 8-bit.
inline constexpr std::size_t MousePayloadSize = 6;
inline constexpr std::size_t MouseButtonsOffset = 0;
inline constexpr std::size_t MouseXOffset = 1;
inline constexpr std::size_t MouseYOffset = 3;
inline constexpr std::size_t MouseWheelOffset = 5;

// Modifier usages; the modifier byte holds bit (usage - UsageLeftCtrl) for each.
inline constexpr int32_t UsageLeftCtrl = 224;
inline constexpr int32_t UsageLeftShift = 225;
inline constexpr int32_t UsageLeftAlt = 226;
inline constexpr int32_t UsageLeftWin = 227;
inline constexpr int32_t UsageRightCtrl = 228;
inline constexpr int32_t UsageRightShift = 229;
inline constexpr int32_t UsageRightAlt = 230;
inline constexpr int32_t UsageRightWin = 231;

// The largest X or Y movement, and the largest wheel movement, that one mouse report carries in
// either direction. A report built straight from the table drops what lies beyond them; the
// sessions take the whole movement (TakeMouseSnapshot) and split it over several reports.
inline constexpr int32_t MouseMoveLimit = 2047;
inline constexpr int32_t MouseWheelLimit = 15;

// ---------------------------------------------------------------------------------------------
// Input state tables

// Slots per table. A table counts at most MaxInputItems - 1 slots.
inline constexpr int32_t MaxInputItems = 1024;

struct TPressedKey {
    int32_t UsageId;  // 0 marks a hole left by a released key
    int32_t Pressed;  // 1 while held on the target too; 0 while held here only (left out of reports)
};

struct TMouseItem {
    int32_t Code;   // one of the MouseCode… values; 0 marks an unused slot
    int32_t Value;  // buttons: > 0 held; motion and wheel: the amount still to send
};

// Mouse item codes. X and Y are the HID Generic Desktop usage numbers.
inline constexpr int32_t MouseCodeLeft = 1;
inline constexpr int32_t MouseCodeRight = 2;
inline constexpr int32_t MouseCodeMiddle = 3;
inline constexpr int32_t MouseCodeButton4 = 4;
inline constexpr int32_t MouseCodeButton5 = 5;
inline constexpr int32_t MouseCodeX = 48;
inline constexpr int32_t MouseCodeY = 49;
inline constexpr int32_t MouseCodeWheel = 50;

// The held keys in the order they were pressed, with holes where keys were released, and the
// pending mouse state. Slots at or above the count are never looked at.
extern std::array<TPressedKey, MaxInputItems> PressedKeys;
extern int32_t PressedKeyCount;
extern std::array<TMouseItem, MaxInputItems> MouseItems;
extern int32_t MouseItemCount;

// The last keyboard LED status any dongle reported (bits as the dongle sends them).
extern std::atomic<uint8_t> LastLedStatus;

using TIntArray = std::vector<int32_t>;

// Forgets all held keys.
void ClearPressedKeys();
// True only if the usage was not yet held and has been added. 0 and a full table are refused.
bool AddPressedKey(int32_t usage);
// True if the usage was held and has been removed.
bool RemovePressedKey(int32_t usage);
// The targets were sent an all-released keyboard report while the held keys stay down here (the
// keypad mouse does so): reports leave those keys out, so that letting go of one of them does not
// press the others again on the target (a lone Shift or Ctrl tap there). A key newly pressed brings
// them back: the target then gets the whole chord at once.
void MarkPressedKeysReleasedOnTarget();
// Whether a held usage is part of the reports (false when not held).
bool PressedKeyOnTarget(int32_t usage);
// The held usages, oldest first.
TIntArray GetPressedKeys();
// The most recently pressed usage still held, or 0; GetPressedKeys().back() without allocating.
int32_t LastPressedKey();

// Stores the value for a code, replacing (not adding to) an earlier value. True only if the code
// was new and has been added; code 0 and a full table are refused. A stored code stays until
// ClearMouseItems, even with value 0.
bool SetMouseItem(int32_t code, int32_t value);
// Forgets all mouse items.
void ClearMouseItems();

// Empties both tables (slots wiped too) and sets LastLedStatus to 0, as at process start.
// For tests only: the application never needs to forget more than the Clear… operations do.
void ResetInputStateForTests();

// ---------------------------------------------------------------------------------------------
// Report builders

// The report of this type built from the current input state, framed for the identity; empty
// when the identity gets no report of this type. A mouse report consumes the movement it carries.
THidReport GetHidReport(const TUSBDeviceID& id, TReportType type);
// The all-released report of the same shape, or empty in the same cases. Touches no input state.
THidReport GetEmptyHidReport(const TUSBDeviceID& id, TReportType type);

// Report ID 0 means plain framing; any other value is written in front of the payload.
// The mouse state of one event: the held buttons and the whole movement taken out of the table
// (a report carries at most the limits; MakeMouseReportFrom clamps). Taken once per event and framed for
// every dongle, so that each active dongle receives the same motion rather than the first one taking it all.
struct TMouseSnapshot {
    uint8_t Buttons = 0;  // bit (code - 1) for each held button code 1..5
    int32_t X = 0;
    int32_t Y = 0;
    int32_t Wheel = 0;
};
// Reads the buttons and consumes the pending movement, as building a mouse report does.
TMouseSnapshot TakeMouseSnapshot();
// A mouse report carrying the snapshot, framed with reportId (0: plain).
THidReport MakeMouseReportFrom(const TMouseSnapshot& mouse, uint8_t reportId);
// The mouse report for the identity carrying the snapshot; empty where GetHidReport(id, Mouse) is.
THidReport GetMouseHidReport(const TUSBDeviceID& id, const TMouseSnapshot& mouse);

THidReport MakeKeyboardReport(uint8_t reportId);
THidReport MakeMouseReport(uint8_t reportId);
THidReport MakeEmptyKeyboardReport(uint8_t reportId);
THidReport MakeEmptyMouseReport(uint8_t reportId);

// The dongle's vendor service and its characteristics, one definition for every layer. F801
// carries keyboard reports (and every report where the identity uses report IDs) and sends the LED
// status back; F803 mouse reports on plain framing; F80F asks for and answers the USB identity;
// F802 and F804 belong to the service a dongle presents.
inline constexpr TBluetoothUuid UuidVendorService = TBluetoothUuid::FromShort(0xF800);
inline constexpr TBluetoothUuid UuidChar1 = TBluetoothUuid::FromShort(0xF801);
inline constexpr TBluetoothUuid UuidChar2 = TBluetoothUuid::FromShort(0xF802);
inline constexpr TBluetoothUuid UuidChar3 = TBluetoothUuid::FromShort(0xF803);
inline constexpr TBluetoothUuid UuidChar4 = TBluetoothUuid::FromShort(0xF804);
inline constexpr TBluetoothUuid UuidChar5 = TBluetoothUuid::FromShort(0xF80F);

// The LED byte a value on the keyboard characteristic (0xF801) carries, read with the identity's
// framing; nullopt when the value carries none (another characteristic, an unknown identity, a
// value malformed for the framing). Unlike ParseLedReport it stores nothing and never answers with
// another dongle's status.
std::optional<uint8_t> DecodeLedStatus(const TUSBDeviceID& id, const TBluetoothUuid& uuid,
                                       std::span<const uint8_t> value);

// The LED status carried by a value the dongle delivered on the characteristic `uuid`, read
// with the framing of the identity. Only the keyboard characteristic (0xF801) carries it; for
// any other characteristic or an unknown identity the result is 0 and LastLedStatus is left
// alone. A value that is malformed for the framing leaves LastLedStatus as it was and the result
// is the status stored before.
uint8_t ParseLedReport(const TUSBDeviceID& id, const TBluetoothUuid& uuid, std::span<const uint8_t> value);
// Stores the LED byte of a value framed with `reportId` (0: plain) and returns LastLedStatus.
uint8_t StoreLedStatus(uint8_t reportId, std::span<const uint8_t> value);
