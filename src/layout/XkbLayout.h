#pragma once
// Keyboard layouts as the machine's keyboard data (libxkbcommon and its xkb-data) defines them.
//
// A layout is named as that data names it: "us", "de", "fr", "ch(fr)", "us(intl)" — a layout, with
// a variant in parentheses. Two directions:
//   BuildLayoutKeys   character -> keys, for typing a text on a target of that layout;
//   TXkbTextDecoder   keys -> text, what a target of that layout makes of the keys it receives.
// Both read the same keymap and the same dead-key (compose) table, so whatever the first plans the
// second decodes back to the same character.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "hid/TextKeys.h"

// Whether a text is a well-formed layout name ("de", "ch(fr)"): letters, digits, '_' and '-', with
// an optional variant in parentheses, bounded in length. Says nothing of whether the machine has it.
bool IsLayoutName(const std::string& Name);

// The reverse table of a layout: each character the layout types directly (plain, Shift, AltGr,
// Shift+AltGr: AltGr is right Alt where the layout makes it the third level) or through one of its
// dead keys followed by a base key (a dead key then space for the bare accent), for Caps Lock off
// and on. The keypad is left out (its keys depend on Num Lock). Null, with *Error in plain words,
// when the name is malformed or the machine's keyboard data has no such layout.
std::shared_ptr<const TLayoutKeys> BuildLayoutKeys(const std::string& Name, std::string* Error);
// The same for a target running System: on Windows and macOS only the dead-key combinations, AltGr
// keys and Caps Lock behaviour that system's layouts are known to have (layout/SystemLayouts.h);
// with Caps Lock on, keys whose letters Caps Lock may change in ways layouts differ on are left out.
std::shared_ptr<const TLayoutKeys> BuildLayoutKeys(const std::string& Name, TTargetSystem System,
                                                   std::string* Error);

// One layout the machine knows, for a chooser.
struct TLayoutChoice {
    std::string Name;         // "de", "ch(fr)"
    std::string Description;  // "German", "French (Switzerland)"
};
// Every layout and variant of the machine's keyboard data, layouts before their variants; empty
// when the data cannot be read.
std::vector<TLayoutChoice> AvailableLayouts();

// What a target with this layout types for the keys it receives, one key event at a time, with its
// held modifiers, its lock keys (from the keyboard LEDs) and its dead keys. Ctrl, Alt and the
// Windows key make shortcuts, which type nothing. A Windows target makes only its system's dead-key
// combinations (a dead key before a key it does not combine with types both) and enters a
// character by its code with left Alt held and 0 and the decimal code on the keypad with Num Lock
// on (Latin-1); a macOS target makes its system's combinations and takes Option (either Alt) as
// AltGr, Ctrl and Command as shortcuts.
class TXkbTextDecoder {
  public:
    static std::unique_ptr<TXkbTextDecoder> Create(const std::string& Name, std::string* Error);
    static std::unique_ptr<TXkbTextDecoder> Create(const std::string& Name, TTargetSystem System,
                                                   std::string* Error);
    ~TXkbTextDecoder();
    TXkbTextDecoder(const TXkbTextDecoder&) = delete;
    TXkbTextDecoder& operator=(const TXkbTextDecoder&) = delete;

    // A key (HID usage, modifiers as 224..231) went down or up; Leds: the target's keyboard LEDs
    // after it. Returns what the press types, as UTF-8 (Enter as "\n"); empty for nothing.
    std::string Key(uint8_t Usage, bool Pressed, uint8_t Leds);

  private:
    struct TImpl;
    explicit TXkbTextDecoder(std::unique_ptr<TImpl> Impl);
    std::unique_ptr<TImpl> FImpl;
};
