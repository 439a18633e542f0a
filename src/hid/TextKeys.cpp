#include "hid/TextKeys.h"

#include <algorithm>
#include <string>
#include <unordered_map>

namespace {

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

const TCharacterKeys* TLayoutKeys::Find(char32_t c, bool CapsLock) const {
    const auto& keys = FKeys[CapsLock ? 1 : 0];
    const auto it = keys.find(c);
    return it == keys.end() ? nullptr : &it->second;
}

bool TLayoutKeys::Add(char32_t c, bool CapsLock, const TCharacterKeys& Keys) {
    return FKeys[CapsLock ? 1 : 0].emplace(c, Keys).second;
}

std::shared_ptr<const TLayoutKeys> BuiltInUsLayout() {
    static const std::shared_ptr<const TLayoutKeys> us = [] {
        auto layout = std::make_shared<TLayoutKeys>("us");
        for (char32_t c = 0x20; c <= 0x7E; ++c) {
            const TTextKey key = *UsKeyForCharacter(c);
            for (const bool caps : {false, true}) {
                // Caps Lock turns a letter's case round; Shift turns it back.
                const bool letter = key.Usage >= 4 && key.Usage <= 29;
                const bool shift = letter && caps ? !key.Shift : key.Shift;
                layout->Add(c, caps, {{}, {key.Usage, shift ? ModifierLeftShift : uint8_t{0}}});
            }
        }
        for (const char32_t c : {U'\n', U'\t'}) {
            for (const bool caps : {false, true})
                layout->Add(c, caps, {{}, {UsKeyForCharacter(c)->Usage, 0}});
        }
        return layout;
    }();
    return us;
}

namespace {

constexpr uint8_t ModifierLeftCtrl = 0x01;
constexpr uint8_t ModifierLeftAlt = 0x04;
constexpr uint8_t UsageNumLock = 83;
constexpr uint8_t UsageKeypad1 = 89;
constexpr uint8_t UsageKeypad0 = 98;

// A key typed on its own: pressed with its modifiers, then everything released but Held.
bool TypeKey(const TLayoutKeys& Layout, char32_t c, bool CapsLock, uint8_t Held,
             std::vector<TKeyStroke>& Out) {
    const TCharacterKeys* keys = Layout.Find(c, CapsLock);
    if (keys == nullptr || keys->HasDead()) {
        return false;
    }
    Out.push_back({keys->Key.Usage, static_cast<uint8_t>(keys->Key.Modifiers | Held)});
    Out.push_back({0, Held});
    return true;
}

std::string Digits(uint32_t Value, int Base, std::size_t Least) {
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdef"[Value % static_cast<uint32_t>(Base)]);
        Value /= static_cast<uint32_t>(Base);
    } while (Value != 0);
    while (digits.size() < Least) {
        digits.insert(digits.begin(), '0');
    }
    return digits;
}

}  // namespace

std::vector<TKeyStroke> UnicodeEntryReports(char32_t c, TUnicodeEntry Method, const TLayoutKeys& Layout,
                                            bool CapsLock, bool NumLock) {
    std::vector<TKeyStroke> out;
    const uint32_t code = static_cast<uint32_t>(c);
    if (code < 0x20 || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return {};
    }
    switch (Method) {
        case TUnicodeEntry::Off:
            return {};
        case TUnicodeEntry::Linux: {
            const TCharacterKeys* u = Layout.Find(U'u', CapsLock);
            if (u == nullptr || u->HasDead()) {
                return {};
            }
            out.push_back({u->Key.Usage, static_cast<uint8_t>(ModifierLeftCtrl | ModifierLeftShift)});
            out.push_back({0, 0});
            for (const char digit : Digits(code, 16, 4)) {
                if (!TypeKey(Layout, static_cast<char32_t>(digit), CapsLock, 0, out)) {
                    return {};
                }
            }
            if (!TypeKey(Layout, U' ', CapsLock, 0, out)) {
                return {};
            }
            return out;
        }
        case TUnicodeEntry::Windows: {
            // Alt with a leading 0 enters the ANSI code page, which is Unicode's Latin-1 range only
            // from U+00A0 on in the Western code page.
            if (code < 0xA0 || code > 0xFF) {
                return {};
            }
            if (!NumLock) {
                out.push_back({UsageNumLock, 0});
                out.push_back({0, 0});
            }
            out.push_back({0, ModifierLeftAlt});
            std::string digits = Digits(code, 10, 1);
            digits.insert(digits.begin(), '0');
            for (const char digit : digits) {
                const uint8_t usage =
                    digit == '0' ? UsageKeypad0 : static_cast<uint8_t>(UsageKeypad1 + (digit - '1'));
                out.push_back({usage, ModifierLeftAlt});
                out.push_back({0, ModifierLeftAlt});
            }
            out.push_back({0, 0});
            if (!NumLock) {
                out.push_back({UsageNumLock, 0});
                out.push_back({0, 0});
            }
            return out;
        }
        case TUnicodeEntry::Mac: {
            if (code > 0xFFFF) {
                return {};
            }
            // The Unicode Hex Input source is a US layout of its own: its digits are at US places.
            const auto us = BuiltInUsLayout();
            out.push_back({0, ModifierLeftAlt});
            for (const char digit : Digits(code, 16, 4)) {
                if (!TypeKey(*us, static_cast<char32_t>(digit), CapsLock, ModifierLeftAlt, out)) {
                    return {};
                }
            }
            out.push_back({0, 0});
            return out;
        }
    }
    return {};
}

TTypingPlan PlanTyping(std::u32string_view text, const TLayoutKeys& Layout, bool CapsLock,
                       TUnicodeEntry Entry) {
    TTypingPlan plan;
    plan.Characters.reserve(text.size());
    // Where each refused character stands in plan.Refused, so a text full of characters the layout
    // lacks costs no more than one without them.
    std::unordered_map<char32_t, std::size_t> refusedAt;
    // Whether the entry method can enter a character depends on the character alone: asked once.
    std::unordered_map<char32_t, bool> enterable;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'\r' && i + 1 < text.size() && text[i + 1] == U'\n')
            continue;  // the LF is the Enter
        if (c == U'\r')
            c = U'\n';
        if (Layout.Find(c, CapsLock) != nullptr) {
            plan.Characters.push_back(c);
            continue;
        }
        if (Entry != TUnicodeEntry::Off) {
            const auto known = enterable.find(c);
            const bool can =
                known != enterable.end()
                    ? known->second
                    : enterable.emplace(c, !UnicodeEntryReports(c, Entry, Layout, CapsLock, true).empty())
                          .first->second;
            if (can) {
                plan.Characters.push_back(c);
                continue;
            }
        }
        const auto [at, added] = refusedAt.emplace(c, plan.Refused.size());
        if (added) {
            plan.Refused.push_back({c, 1});
        } else {
            ++plan.Refused[at->second].Count;
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
