#include "hid/UnitCorvHid.h"

#include <ostream>

std::array<TPressedKey, MaxInputItems> PressedKeys{};
int32_t PressedKeyCount = 0;
std::array<TMouseItem, MaxInputItems> MouseItems{};
int32_t MouseItemCount = 0;
std::atomic<uint8_t> LastLedStatus{0};

namespace {

// The vendor characteristic that carries keyboard reports and, back from the dongle, the LED status.

// A usage below 4 is an error code of the HID keyboard page, never a key; 224..231 are modifiers,
// which travel as bits, not in the key array.
constexpr int32_t FirstKeyUsage = 4;
constexpr int32_t LastKeyUsage = 223;
constexpr int32_t FirstMouseButtonCode = MouseCodeLeft;
constexpr int32_t LastMouseButtonCode = MouseCodeButton5;

int32_t Clamp(int32_t value, int32_t limit) {
    if (value > limit)
        return limit;
    if (value < -limit)
        return -limit;
    return value;
}

// Writes a signed 16-bit value little-endian.
void PutInt16(THidReport& report, std::size_t offset, int32_t value) {
    const auto bits = static_cast<uint16_t>(static_cast<int16_t>(value));
    report[offset] = static_cast<uint8_t>(bits & 0xFF);
    report[offset + 1] = static_cast<uint8_t>(bits >> 8);
}

// A zero-filled report of `payloadSize` bytes, with the report ID in front unless it is 0.
// Returns the offset at which the payload starts.
std::size_t StartReport(THidReport& report, uint8_t reportId, std::size_t payloadSize) {
    const std::size_t payload = reportId != 0 ? 1 : 0;
    report = THidReport::Zeroed(payload + payloadSize);
    if (reportId != 0)
        report[0] = reportId;
    return payload;
}

bool AnyUsageHeld() {
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId != 0)
            return true;
    }
    return false;
}

bool AnyMouseItem() {
    for (int32_t i = 0; i < MouseItemCount; ++i) {
        if (MouseItems[i].Code != 0)
            return true;
    }
    return false;
}

using TReportBuilder = THidReport (*)(uint8_t reportId);

THidReport SelectReport(const TUSBDeviceID& id, TReportType type, TReportBuilder keyboard,
                        TReportBuilder mouse) {
    const THidFraming framing = HidFraming(id);
    if (framing == THidFraming::None)
        return {};
    const bool withId = framing == THidFraming::ReportId;
    switch (type) {
        case TReportType::KeyboardIn:
            return keyboard(withId ? KeyboardReportId : 0);
        case TReportType::Mouse:
            if (framing == THidFraming::PlainKeyboardOnly)
                return {};
            return mouse(withId ? MouseReportId : 0);
        default:
            return {};
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string THidReport::ToHex() const {
    static constexpr char Digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(FSize * 3);
    for (std::size_t i = 0; i < FSize; ++i) {
        if (i != 0)
            text.push_back(' ');
        text.push_back(Digits[FBytes[i] >> 4]);
        text.push_back(Digits[FBytes[i] & 0x0F]);
    }
    return text;
}

void PrintTo(const THidReport& report, std::ostream* os) {
    *os << '[' << report.ToHex() << ']';
}

THidFraming HidFraming(const TUSBDeviceID& id) {
    if (MatchesUsbId(id, USBID_0451_16B4) || (MatchesUsbId(id, USBID_0451_E010) && id.ver == 0)) {
        return THidFraming::ReportId;
    }
    if (MatchesUsbId(id, USBID_0451_E010) || MatchesUsbId(id, USBID_4348_E010))
        return THidFraming::Plain;
    if (MatchesUsbId(id, USBID_045E_002D))
        return THidFraming::PlainKeyboardOnly;
    return THidFraming::None;
}

// ---------------------------------------------------------------------------------------------
// Input state tables. Released keys leave holes so that the remaining keys keep their press
// order in the report; a new key always goes to the end. The count shrinks only from the end,
// and drops to 0 once nothing but holes is left.

void ClearPressedKeys() {
    PressedKeyCount = 0;
}

bool AddPressedKey(int32_t usage) {
    if (usage == 0)
        return false;
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        // Held already (an auto-repeat): a key the target was told is up stays so.
        if (PressedKeys[i].UsageId == usage)
            return false;
    }
    // One slot is kept unused: the table counts at most MaxInputItems - 1 keys.
    if (PressedKeyCount >= MaxInputItems - 1)
        return false;
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId != 0)
            PressedKeys[i].Pressed = 1;
    }
    PressedKeys[PressedKeyCount++] = {usage, 1};
    return true;
}

void MarkPressedKeysReleasedOnTarget() {
    for (int32_t i = 0; i < PressedKeyCount; ++i)
        PressedKeys[i].Pressed = 0;
}

bool PressedKeyOnTarget(int32_t usage) {
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId == usage && usage != 0)
            return PressedKeys[i].Pressed != 0;
    }
    return false;
}

bool RemovePressedKey(int32_t usage) {
    if (usage == 0)
        return false;
    bool removed = false;
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId == usage) {
            PressedKeys[i] = {0, 0};
            removed = true;
            if (i == PressedKeyCount - 1)
                --PressedKeyCount;
            break;
        }
    }
    if (!AnyUsageHeld())
        PressedKeyCount = 0;
    return removed;
}

TIntArray GetPressedKeys() {
    std::size_t held = 0;
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId != 0)
            ++held;
    }
    TIntArray keys;
    keys.reserve(held);
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        if (PressedKeys[i].UsageId != 0)
            keys.push_back(PressedKeys[i].UsageId);
    }
    return keys;
}

int32_t LastPressedKey() {
    for (int32_t i = PressedKeyCount - 1; i >= 0; --i) {
        if (PressedKeys[i].UsageId != 0)
            return PressedKeys[i].UsageId;
    }
    return 0;
}

bool SetMouseItem(int32_t code, int32_t value) {
    bool added = false;
    if (code != 0) {
        bool found = false;
        for (int32_t i = 0; i < MouseItemCount; ++i) {
            if (MouseItems[i].Code == code) {
                MouseItems[i] = {code, value};
                found = true;
                break;
            }
        }
        if (!found && MouseItemCount < MaxInputItems - 1) {
            MouseItems[MouseItemCount++] = {code, value};
            added = true;
        }
    }
    if (!AnyMouseItem())
        MouseItemCount = 0;
    return added;
}

void ClearMouseItems() {
    MouseItemCount = 0;
}

void ResetInputStateForTests() {
    PressedKeys.fill({0, 0});
    PressedKeyCount = 0;
    MouseItems.fill({0, 0});
    MouseItemCount = 0;
    LastLedStatus.store(0, std::memory_order_relaxed);
}

// ---------------------------------------------------------------------------------------------
// Report builders

THidReport GetHidReport(const TUSBDeviceID& id, TReportType type) {
    return SelectReport(id, type, MakeKeyboardReport, MakeMouseReport);
}

THidReport GetEmptyHidReport(const TUSBDeviceID& id, TReportType type) {
    return SelectReport(id, type, MakeEmptyKeyboardReport, MakeEmptyMouseReport);
}

THidReport MakeKeyboardReport(uint8_t reportId) {
    THidReport report;
    const std::size_t payload = StartReport(report, reportId, KeyboardPayloadSize);
    const std::size_t modifiers = payload + KeyboardModifierOffset;
    const std::size_t keysEnd = payload + KeyboardKeysOffset + KeyboardKeySlots;
    std::size_t next = payload + KeyboardKeysOffset;
    for (int32_t i = 0; i < PressedKeyCount; ++i) {
        const int32_t usage = PressedKeys[i].Pressed != 0 ? PressedKeys[i].UsageId : 0;
        if (usage >= FirstKeyUsage && usage <= LastKeyUsage) {
            // Keys beyond the sixth are left out; modifiers further on still count.
            if (next < keysEnd)
                report[next++] = static_cast<uint8_t>(usage);
        } else if (usage >= UsageLeftCtrl && usage <= UsageRightWin) {
            report[modifiers] |= static_cast<uint8_t>(1u << (usage - UsageLeftCtrl));
        }
    }
    return report;
}

TMouseSnapshot TakeMouseSnapshot() {
    TMouseSnapshot snapshot;
    for (int32_t i = 0; i < MouseItemCount; ++i) {
        TMouseItem& item = MouseItems[i];
        const int32_t code = item.Code;
        if (code >= FirstMouseButtonCode && code <= LastMouseButtonCode) {
            if (item.Value > 0)
                snapshot.Buttons |= static_cast<uint8_t>(1u << (code - FirstMouseButtonCode));
        } else if (code == MouseCodeX || code == MouseCodeY) {
            // The whole movement: a session splits what one report cannot carry.
            (code == MouseCodeX ? snapshot.X : snapshot.Y) = item.Value;
            item.Value = 0;
        } else if (code == MouseCodeWheel) {
            snapshot.Wheel = item.Value;
            item.Value = 0;
        }
    }
    return snapshot;
}

THidReport MakeMouseReportFrom(const TMouseSnapshot& mouse, uint8_t reportId) {
    THidReport report;
    const std::size_t payload = StartReport(report, reportId, MousePayloadSize);
    report[payload + MouseButtonsOffset] = mouse.Buttons;
    PutInt16(report, payload + MouseXOffset, Clamp(mouse.X, MouseMoveLimit));
    PutInt16(report, payload + MouseYOffset, Clamp(mouse.Y, MouseMoveLimit));
    report[payload + MouseWheelOffset] =
        static_cast<uint8_t>(static_cast<int8_t>(Clamp(mouse.Wheel, MouseWheelLimit)));
    return report;
}

THidReport MakeMouseReport(uint8_t reportId) {
    return MakeMouseReportFrom(TakeMouseSnapshot(), reportId);
}

THidReport GetMouseHidReport(const TUSBDeviceID& id, const TMouseSnapshot& mouse) {
    switch (HidFraming(id)) {
        case THidFraming::ReportId:
            return MakeMouseReportFrom(mouse, MouseReportId);
        case THidFraming::Plain:
            return MakeMouseReportFrom(mouse, 0);
        case THidFraming::None:
        case THidFraming::PlainKeyboardOnly:
            break;
    }
    return {};
}

THidReport MakeEmptyKeyboardReport(uint8_t reportId) {
    THidReport report;
    StartReport(report, reportId, KeyboardPayloadSize);
    return report;
}

THidReport MakeEmptyMouseReport(uint8_t reportId) {
    THidReport report;
    StartReport(report, reportId, MousePayloadSize);
    return report;
}

// ---------------------------------------------------------------------------------------------
// LED status. LastLedStatus is shared by all dongles and written from Bluetooth threads; it is a
// single byte published on its own, so relaxed atomic access is all it needs.

namespace {
// The LED byte of a value framed with `reportId` (0: plain, where it is the first byte and anything
// after it is ignored); nullopt when the value is malformed for the framing. An empty plain value
// carries no LED byte at all: taking it for 0 would claim every LED went off.
std::optional<uint8_t> LedByte(uint8_t reportId, std::span<const uint8_t> value) {
    if (reportId != 0) {
        if (value.size() == 2 && value[0] == reportId)
            return value[1];
        return std::nullopt;
    }
    if (value.empty())
        return std::nullopt;
    return value[0];
}
}  // namespace

std::optional<uint8_t> DecodeLedStatus(const TUSBDeviceID& id, const TBluetoothUuid& uuid,
                                       std::span<const uint8_t> value) {
    if (uuid != UuidChar1)
        return std::nullopt;
    switch (HidFraming(id)) {
        case THidFraming::ReportId:
            return LedByte(KeyboardReportId, value);
        case THidFraming::Plain:
        case THidFraming::PlainKeyboardOnly:
            return LedByte(0, value);
        case THidFraming::None:
            break;
    }
    return std::nullopt;
}

uint8_t ParseLedReport(const TUSBDeviceID& id, const TBluetoothUuid& uuid, std::span<const uint8_t> value) {
    if (uuid != UuidChar1 || HidFraming(id) == THidFraming::None)
        return 0;
    if (const auto leds = DecodeLedStatus(id, uuid, value)) {
        LastLedStatus.store(*leds, std::memory_order_relaxed);
        return *leds;
    }
    return LastLedStatus.load(std::memory_order_relaxed);
}

uint8_t StoreLedStatus(uint8_t reportId, std::span<const uint8_t> value) {
    if (const auto leds = LedByte(reportId, value)) {
        LastLedStatus.store(*leds, std::memory_order_relaxed);
        return *leds;
    }
    return LastLedStatus.load(std::memory_order_relaxed);
}
