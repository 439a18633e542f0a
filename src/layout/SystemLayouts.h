#pragma once
// What Windows and macOS make of a layout's keys where they differ from the machine's keyboard data
// (which describes Linux): the dead-key combinations each system's layouts are known to make, the
// AltGr level of the Windows layouts known here, and keys Windows leaves empty. Facts of the
// systems' published layouts, as data; XkbLayout applies them. Standard library only.

#include <cstdint>
#include <string>
#include <string_view>

#include "hid/TextKeys.h"

// Keysyms of the dead keys these tables name (as in the X keysym table).
inline constexpr uint32_t DeadGrave = 0xfe50;
inline constexpr uint32_t DeadAcute = 0xfe51;
inline constexpr uint32_t DeadCircumflex = 0xfe52;
inline constexpr uint32_t DeadTilde = 0xfe53;
inline constexpr uint32_t DeadDiaeresis = 0xfe57;

// What a dead key makes on a system: with space its spacing accent, with one of Bases the
// character at the same place in Results. Anything else after it: the accent and that character.
struct TDeadRule {
    uint32_t Dead = 0;
    char32_t Spacing = 0;
    std::u32string_view Bases;
    std::u32string_view Results;
    // The combination of the dead key with c; 0 when it makes none.
    char32_t Combine(char32_t c) const;
};

// One key of the AltGr level: what AltGr and Shift+AltGr type there (0: nothing), or a dead key.
struct TAltGrKey {
    uint8_t Usage = 0;
    char32_t AltGr = 0;
    char32_t ShiftAltGr = 0;
    uint32_t DeadAltGr = 0;  // AltGr makes this dead key (AltGr is 0 then)
};

// A layout as one system makes it, where it differs from the keyboard data.
struct TSystemLayout {
    bool Known = false;  // the system has this layout and the tables below describe it
    // The dead-key rules of its dead keys; a dead key without one is not used.
    const TDeadRule* Dead = nullptr;
    std::size_t DeadCount = 0;
    // Windows: its whole AltGr level (a key not listed types nothing with AltGr). macOS: unused.
    const TAltGrKey* AltGr = nullptr;
    std::size_t AltGrCount = 0;
    // Keys with Shift that type nothing on the system although the keyboard data gives them one.
    std::u32string_view EmptyShiftUsages;

    const TDeadRule* DeadRule(uint32_t Dead) const;
    const TAltGrKey* AltGrKey(uint8_t Usage) const;
};

// The layout (a keyboard data name: "de", "us(intl)") on Windows or macOS; on Linux nothing is
// overridden. A layout not known on Windows keeps its keys without AltGr and without dead keys.
// On macOS every layout keeps its dead keys with Apple's combinations, and its AltGr (Option)
// level only for the "(mac)" variants, which describe Apple's keyboards.
TSystemLayout SystemLayoutOf(TTargetSystem System, const std::string& Layout);

// Keys macOS swaps on some keyboards (the key left of 1 and the extra ISO key, by the keyboard type
// it guessed): never used to type on macOS.
bool MacUnsureUsage(uint8_t Usage);

// Whether c is a letter that has another case (Caps Lock's business on every system).
bool CasedLetter(char32_t c);
// c in the other case, for the letters of CasedLetter that Latin-1 and ASCII hold; c otherwise.
char32_t OtherCase(char32_t c);

// "linux", "windows", "macos": how a system is named in files and options.
const char* SystemName(TTargetSystem System);
// The system of that name; false when there is none.
bool SystemNamed(std::string_view Name, TTargetSystem* System);
