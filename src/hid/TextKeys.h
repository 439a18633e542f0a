#pragma once
// Typing a text on the target: which key (and whether Shift) makes each character on a US
// keyboard layout, and the keyboard report that holds one such key. Standard library only.
//
// The table covers what a US keyboard types without dead keys or compose: printable ASCII, Enter
// and Tab. Everything else (accented letters, control characters, emoji) is refused, so the
// caller can say which characters would be skipped before anything is typed.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "hid/UnitCorvHid.h"

// One key press that types a character.
struct TTextKey {
    uint8_t Usage = 0;   // HID keyboard usage
    bool Shift = false;  // held with left Shift
    friend constexpr bool operator==(const TTextKey&, const TTextKey&) = default;
};

// The key for a character on a US layout; nullopt when the layout cannot type it. '\n' and '\r'
// are Enter, '\t' is Tab.
std::optional<TTextKey> UsKeyForCharacter(char32_t c);

// A text as the keys that type it.
struct TTypingPlan {
    std::vector<TTextKey> Keys;  // in text order, refused characters left out
    // Characters the layout cannot type: each distinct one once, in order of first appearance,
    // with how often it occurs.
    struct TRefused {
        char32_t Character = 0;
        std::size_t Count = 0;
    };
    std::vector<TRefused> Refused;
    std::size_t RefusedTotal() const;
};

// Plans typing a text (UTF-32). A CR LF pair is one Enter, as a lone CR or LF is.
TTypingPlan PlanTyping(std::u32string_view text);

// Whether the target's Caps Lock turns this key's letter into the other case.
constexpr bool IsLetterUsage(uint8_t usage) {
    return usage >= 4 && usage <= 29;
}

// Keyboard LED bits as the host sets them on a boot keyboard.
inline constexpr uint8_t LedNumLock = 0x01;
inline constexpr uint8_t LedCapsLock = 0x02;
inline constexpr uint8_t LedScrollLock = 0x04;

// The keyboard report holding exactly this key with these modifier bits (usage 0: nothing held but
// the modifiers), framed for the identity; empty when the identity takes no keyboard report.
THidReport MakeKeyboardReportFor(const TUSBDeviceID& id, uint8_t modifiers, uint8_t usage);

// The LED byte a value on the keyboard characteristic (0xF801) carries, read with the identity's
// framing; nullopt when the value carries none (another characteristic, an unknown identity, a
// value malformed for the framing). Unlike ParseLedReport it stores nothing and never answers with
// another dongle's status.
std::optional<uint8_t> DecodeLedStatus(const TUSBDeviceID& id, const TBluetoothUuid& uuid,
                                       std::span<const uint8_t> value);
