#include "hid/TextKeys.h"

#include <algorithm>

namespace {

constexpr TBluetoothUuid KeyboardCharacteristic = TBluetoothUuid::FromShort(0xF801);
constexpr uint8_t UsageEnter = 40;
constexpr uint8_t UsageTab = 43;

// Printable ASCII (0x20..0x7E) on a US layout, one row per character.
struct TAsciiKey {
    char Character;
    uint8_t Usage;
    bool Shift;
};
constexpr TAsciiKey Punctuation[] = {
    {' ', 44, false}, {'!', 30, true}, {'"', 52, true},   {'#', 32, true},  {'$', 33, true},
    {'%', 34, true},  {'&', 36, true}, {'\'', 52, false}, {'(', 38, true},  {')', 39, true},
    {'*', 37, true},  {'+', 46, true}, {',', 54, false},  {'-', 45, false}, {'.', 55, false},
    {'/', 56, false}, {':', 51, true}, {';', 51, false},  {'<', 54, true},  {'=', 46, false},
    {'>', 55, true},  {'?', 56, true}, {'@', 31, true},   {'[', 47, false}, {'\\', 49, false},
    {']', 48, false}, {'^', 35, true}, {'_', 45, true},   {'`', 53, false}, {'{', 47, true},
    {'|', 49, true},  {'}', 48, true}, {'~', 53, true},
};

}  // namespace

std::optional<TTextKey> UsKeyForCharacter(char32_t c) {
    if (c >= U'a' && c <= U'z')
        return TTextKey{static_cast<uint8_t>(4 + (c - U'a')), false};
    if (c >= U'A' && c <= U'Z')
        return TTextKey{static_cast<uint8_t>(4 + (c - U'A')), true};
    if (c >= U'1' && c <= U'9')
        return TTextKey{static_cast<uint8_t>(30 + (c - U'1')), false};
    if (c == U'0')
        return TTextKey{39, false};
    if (c == U'\n' || c == U'\r')
        return TTextKey{UsageEnter, false};
    if (c == U'\t')
        return TTextKey{UsageTab, false};
    for (const TAsciiKey& k : Punctuation) {
        if (static_cast<char32_t>(static_cast<unsigned char>(k.Character)) == c)
            return TTextKey{k.Usage, k.Shift};
    }
    return std::nullopt;
}

std::size_t TTypingPlan::RefusedTotal() const {
    std::size_t total = 0;
    for (const TRefused& r : Refused)
        total += r.Count;
    return total;
}

TTypingPlan PlanTyping(std::u32string_view text) {
    TTypingPlan plan;
    plan.Keys.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char32_t c = text[i];
        if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n')
            continue;  // the LF is the Enter
        if (const auto key = UsKeyForCharacter(c)) {
            plan.Keys.push_back(*key);
            continue;
        }
        const auto seen = std::find_if(plan.Refused.begin(), plan.Refused.end(),
                                       [c](const TTypingPlan::TRefused& r) { return r.Character == c; });
        if (seen != plan.Refused.end()) {
            ++seen->Count;
        } else {
            plan.Refused.push_back({c, 1});
        }
    }
    return plan;
}

THidReport MakeKeyboardReportFor(const TUSBDeviceID& id, uint8_t modifiers, uint8_t usage) {
    THidReport report = GetEmptyHidReport(id, TReportType::KeyboardIn);
    if (report.empty())
        return report;
    const std::size_t payload = report.size() - KeyboardPayloadSize;
    report[payload + KeyboardModifierOffset] = modifiers;
    report[payload + KeyboardKeysOffset] = usage;
    return report;
}

std::optional<uint8_t> DecodeLedStatus(const TUSBDeviceID& id, const TBluetoothUuid& uuid,
                                       std::span<const uint8_t> value) {
    if (uuid != KeyboardCharacteristic)
        return std::nullopt;
    switch (HidFraming(id)) {
        case THidFraming::ReportId:
            if (value.size() == 2 && value[0] == KeyboardReportId)
                return value[1];
            return std::nullopt;
        case THidFraming::Plain:
        case THidFraming::PlainKeyboardOnly:
            if (value.empty())
                return std::nullopt;
            return value[0];
        case THidFraming::None:
            break;
    }
    return std::nullopt;
}
