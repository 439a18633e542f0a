#pragma once
// Key sequences: a text in which "{…}" names keys to press, so one text can type a user name, press
// Tab, type a password and press Enter, hold F2 while a target boots, or wait for a screen between
// keys. Standard library only.
//
// The grammar (docs/key-sequences.md says it for users):
//   sequence := ( text | "{{" | token )*
//   token    := "{" ws* ( keys ( ws+ "hold" ws+ time )? | "wait" ws+ time ) ws* "}"
//   keys     := name ( ws* "+" ws* name )*     every name but the last a modifier
//   time     := digits "ms" | digits ( "." digits )? "s"
// Text is typed as it is ("{{" types one "{"; a "}" outside a token types itself). A name is a
// known key name in any case (Enter, Tab, F2, Del, Win, …) or one character, which names the key
// that types it on the target's layout (a letter in either case names the same key).
//
// Parsing is separate from planning: the parse needs no layout and refuses a text at its first
// wrong token; the plan turns the parsed sequence into what a typing target takes for one layout,
// where a character named as a key may still be refused. Each refusal says where (the position in
// the text, in characters) and why. Everything is bounded: the text's length, the count of tokens,
// the longest hold and the longest wait.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "hid/TextKeys.h"

// The bounds of a sequence.
inline constexpr std::size_t KeySequenceMaxLength = 20000;  // characters of the text
inline constexpr std::size_t KeySequenceMaxTokens = 1000;   // keys and waits
inline constexpr std::chrono::milliseconds KeySequenceMaxHold{60000};
inline constexpr std::chrono::milliseconds KeySequenceMaxWait{600000};

// Where a sequence is wrong and why (plain English, the wrong part quoted).
struct TKeySequenceError {
    std::size_t Position = 0;  // in characters (code points) from the text's start
    std::string Reason;
    friend bool operator==(const TKeySequenceError&, const TKeySequenceError&) = default;
};

// One part of a parsed sequence, in text order.
struct TKeySequenceItem {
    enum class TKind : uint8_t {
        Text,  // characters to type as text
        Key,   // a key pressed with modifiers, tapped or held
        Wait,  // nothing sent for a time
    };
    TKind Kind = TKind::Text;
    std::size_t Position = 0;           // where it starts in the text
    std::u32string Text;                // Text: the characters ("{{" already one "{")
    uint8_t Modifiers = 0;              // Key: modifier bits held with the key (report byte 0)
    uint8_t Usage = 0;                  // Key: the key's usage; 0 with Character 0 for modifiers alone
    char32_t Character = 0;             // Key: named by the character its layout types (Usage is 0 then)
    std::size_t NamePosition = 0;       // Key: where that character stands, for the plan's refusal
    std::chrono::milliseconds Time{0};  // Key: held this long (0: tapped); Wait: how long
    friend bool operator==(const TKeySequenceItem&, const TKeySequenceItem&) = default;
};

struct TKeySequence {
    std::vector<TKeySequenceItem> Items;
};

// Parses a sequence; the error at its first wrong token (nothing else) when it has one.
struct TKeySequenceParse {
    TKeySequence Sequence;
    std::optional<TKeySequenceError> Error;
};
TKeySequenceParse ParseKeySequence(std::u32string_view Text);

// One key token as reports for a typing target: Reports in order; with a Time, the report at
// HoldAfter (the key going down) stays for Time before the next. A wait has no reports.
struct TSequenceStep {
    std::vector<TKeyStroke> Reports;
    std::size_t HoldAfter = 0;
    std::chrono::milliseconds Time{0};
    bool Wait() const { return Reports.empty(); }
    friend bool operator==(const TSequenceStep&, const TSequenceStep&) = default;
};

// In a typing target's characters, a code beyond Unicode stands for a key step: Steps[c - KeyStepMark].
inline constexpr char32_t KeyStepMark = 0x110000;
inline constexpr bool IsKeyStepMark(char32_t c) {
    return c >= KeyStepMark;
}

// A sequence as a typing target takes it: the text's characters (as PlanTyping plans them, refused
// ones left out and counted) with a mark where each key step goes.
struct TKeySequencePlan {
    TTypingPlan Text;
    std::vector<TSequenceStep> Steps;
};

// Plans a parsed sequence on a layout with the target's Caps Lock as given; the text parts as
// PlanTyping plans them. Refused (with where and why) when a key named by its character is no key
// of that layout.
struct TKeySequencePlanning {
    TKeySequencePlan Plan;
    std::optional<TKeySequenceError> Error;
};
TKeySequencePlanning PlanKeySequence(const TKeySequence& Sequence, const TLayoutKeys& Layout, bool CapsLock,
                                     TUnicodeEntry Entry = TUnicodeEntry::Off);

// The key names the parser knows, as a user writes them (for the documentation and messages).
std::vector<std::string> KeySequenceKeyNames();
