#pragma once
// Typing a text on the target: which keys make each character on the target's keyboard layout,
// and the keyboard report that holds one such key. Standard library only.
//
// A layout's table (TLayoutKeys) says, for each character, the key and the modifiers held with it
// (Shift, AltGr or both), or a dead key typed first, once for the target's Caps Lock off and once
// for it on. The tables of real layouts are built from the machine's keyboard data above this
// layer (src/layout); the built-in US table below needs no data: printable ASCII, Enter and Tab.
// Characters a layout cannot type are refused, so the caller can say which would be skipped before
// anything is typed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
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

// Modifier bits of a keyboard report that typing uses: left Shift, and right Alt, which is AltGr
// (the third and fourth level) on the layouts that have one.
inline constexpr uint8_t ModifierLeftShift = 0x02;
inline constexpr uint8_t ModifierRightAlt = 0x40;

// One key press: the key's usage and the modifier bits held with it.
struct TKeyStroke {
    uint8_t Usage = 0;
    uint8_t Modifiers = 0;
    friend constexpr bool operator==(const TKeyStroke&, const TKeyStroke&) = default;
};

// How a layout types one character: the key itself, after a dead key when Dead.Usage is not 0.
struct TCharacterKeys {
    TKeyStroke Dead;
    TKeyStroke Key;
    bool HasDead() const { return Dead.Usage != 0; }
    friend constexpr bool operator==(const TCharacterKeys&, const TCharacterKeys&) = default;
};

// The operating system of the target: a layout's keys are the same on each, but which dead-key
// combinations it makes, what AltGr and Caps Lock do and how a character is entered by its code
// differ.
enum class TTargetSystem : uint8_t {
    Linux,
    Windows,
    Mac,
};

// The reverse table of one keyboard layout: character to keys, for the target's Caps Lock off and
// on (a layout decides itself which keys Caps Lock changes). '\n' is the Enter key.
class TLayoutKeys {
  public:
    explicit TLayoutKeys(std::string Name, TTargetSystem System = TTargetSystem::Linux)
        : FName(std::move(Name)), FSystem(System) {}
    // The layout's name as the keyboard data knows it: "us", "de", "ch(fr)".
    const std::string& Name() const { return FName; }
    // The system whose rules the table follows.
    TTargetSystem System() const { return FSystem; }
    // The keys for a character; null when the layout cannot type it in that Caps Lock state.
    const TCharacterKeys* Find(char32_t c, bool CapsLock) const;
    // Keeps the first way given for a character: builders give the simplest first. True when kept.
    bool Add(char32_t c, bool CapsLock, const TCharacterKeys& Keys);
    std::size_t Size(bool CapsLock) const { return FKeys[CapsLock ? 1 : 0].size(); }

  private:
    std::string FName;
    TTargetSystem FSystem;
    std::unordered_map<char32_t, TCharacterKeys> FKeys[2];
};

// The built-in US table (printable ASCII, Enter, Tab; Caps Lock changes the letters only), for a
// machine without keyboard data.
std::shared_ptr<const TLayoutKeys> BuiltInUsLayout();

// How a target's system enters a character by its code, for the characters its layout lacks. Each
// works only where the target is set up for it, which the app cannot see.
enum class TUnicodeEntry : uint8_t {
    Off,
    Linux,    // Ctrl+Shift+U, the hex code, space (IBus, GTK)
    Windows,  // Alt held, 0 and the decimal code on the keypad (the ANSI code page: U+00A0..U+00FF)
    Mac,      // Option held, the four hex digits (the "Unicode Hex Input" source)
};

// The keyboard reports (modifier bits and one usage each, in order; the last releases everything)
// that enter c through the method, the digits typed with the layout's keys (Linux), the keypad
// (Windows, Num Lock turned on for it and back off) or the US positions the Unicode Hex Input source
// reads (macOS). Empty when the method cannot enter c: Off, a digit the layout cannot type, a code
// outside what the method takes.
std::vector<TKeyStroke> UnicodeEntryReports(char32_t c, TUnicodeEntry Method, const TLayoutKeys& Layout,
                                            bool CapsLock, bool NumLock);

// A text as the characters a layout types.
struct TTypingPlan {
    // In text order, refused characters left out; every line end is one '\n'.
    std::u32string Characters;
    // Characters the layout cannot type: each distinct one once, in order of first appearance,
    // with how often it occurs.
    struct TRefused {
        char32_t Character = 0;
        std::size_t Count = 0;
    };
    std::vector<TRefused> Refused;
    std::size_t RefusedTotal() const;
};

// The longest text typed at once, in characters: a longer one is refused before it is planned (at a
// link's pace it would take hours, and its plan would hold the memory of several copies of it).
inline constexpr std::size_t MaxTypedCharacters = 1024 * 1024;

// Plans typing a text (UTF-32) on a layout with the target's Caps Lock as given; with an entry
// method, what the layout lacks is entered by its code where the method can. A CR LF pair is one
// Enter, as a lone CR or LF is. Linear in the text's length, however many kinds of characters are
// refused.
TTypingPlan PlanTyping(std::u32string_view text, const TLayoutKeys& Layout, bool CapsLock,
                       TUnicodeEntry Entry = TUnicodeEntry::Off);

// Keyboard LED bits as the host sets them on a boot keyboard.
inline constexpr uint8_t LedNumLock = 0x01;
inline constexpr uint8_t LedCapsLock = 0x02;
inline constexpr uint8_t LedScrollLock = 0x04;

// The keyboard report holding exactly this key with these modifier bits (usage 0: nothing held but
// the modifiers), framed for the identity; empty when the identity takes no keyboard report.
THidReport MakeKeyboardReportFor(const TUSBDeviceID& id, uint8_t modifiers, uint8_t usage);
