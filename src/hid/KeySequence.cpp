#include "hid/KeySequence.h"

#include <unordered_map>

namespace {

// Modifier bits of byte 0 of a keyboard report.
constexpr uint8_t ModLeftCtrl = 0x01;
constexpr uint8_t ModLeftShift = 0x02;
constexpr uint8_t ModLeftAlt = 0x04;
constexpr uint8_t ModLeftGui = 0x08;
constexpr uint8_t ModRightCtrl = 0x10;
constexpr uint8_t ModRightShift = 0x20;
constexpr uint8_t ModRightAlt = 0x40;
constexpr uint8_t ModRightGui = 0x80;

// A key name: either a modifier (its bit) or a key (its usage). The first name of a key is the one
// the documentation lists; the others are spellings people use too.
struct TKeyName {
    const char* Name;
    uint8_t Usage;
    uint8_t Modifier;
};
constexpr TKeyName KeyNames[] = {
    {"Ctrl", 0, ModLeftCtrl},
    {"Control", 0, ModLeftCtrl},
    {"Shift", 0, ModLeftShift},
    {"Alt", 0, ModLeftAlt},
    {"Option", 0, ModLeftAlt},
    {"Win", 0, ModLeftGui},
    {"Super", 0, ModLeftGui},
    {"Cmd", 0, ModLeftGui},
    {"Command", 0, ModLeftGui},
    {"Meta", 0, ModLeftGui},
    {"RCtrl", 0, ModRightCtrl},
    {"RShift", 0, ModRightShift},
    {"AltGr", 0, ModRightAlt},
    {"RAlt", 0, ModRightAlt},
    {"RWin", 0, ModRightGui},
    {"Enter", 40, 0},
    {"Return", 40, 0},
    {"Esc", 41, 0},
    {"Escape", 41, 0},
    {"Backspace", 42, 0},
    {"Tab", 43, 0},
    {"Space", 44, 0},
    {"CapsLock", 57, 0},
    {"F1", 58, 0},
    {"F2", 59, 0},
    {"F3", 60, 0},
    {"F4", 61, 0},
    {"F5", 62, 0},
    {"F6", 63, 0},
    {"F7", 64, 0},
    {"F8", 65, 0},
    {"F9", 66, 0},
    {"F10", 67, 0},
    {"F11", 68, 0},
    {"F12", 69, 0},
    {"PrintScreen", 70, 0},
    {"PrtSc", 70, 0},
    {"SysRq", 70, 0},
    {"ScrollLock", 71, 0},
    {"Pause", 72, 0},
    {"Break", 72, 0},
    {"Insert", 73, 0},
    {"Ins", 73, 0},
    {"Home", 74, 0},
    {"PageUp", 75, 0},
    {"PgUp", 75, 0},
    {"Delete", 76, 0},
    {"Del", 76, 0},
    {"End", 77, 0},
    {"PageDown", 78, 0},
    {"PgDn", 78, 0},
    {"Right", 79, 0},
    {"Left", 80, 0},
    {"Down", 81, 0},
    {"Up", 82, 0},
    {"NumLock", 83, 0},
    {"NumDivide", 84, 0},
    {"NumMultiply", 85, 0},
    {"NumMinus", 86, 0},
    {"NumPlus", 87, 0},
    {"NumEnter", 88, 0},
    {"Num1", 89, 0},
    {"Num2", 90, 0},
    {"Num3", 91, 0},
    {"Num4", 92, 0},
    {"Num5", 93, 0},
    {"Num6", 94, 0},
    {"Num7", 95, 0},
    {"Num8", 96, 0},
    {"Num9", 97, 0},
    {"Num0", 98, 0},
    {"NumDot", 99, 0},
    {"Menu", 101, 0},
    {"Apps", 101, 0},
    {"F13", 104, 0},
    {"F14", 105, 0},
    {"F15", 106, 0},
    {"F16", 107, 0},
    {"F17", 108, 0},
    {"F18", 109, 0},
    {"F19", 110, 0},
    {"F20", 111, 0},
    {"F21", 112, 0},
    {"F22", 113, 0},
    {"F23", 114, 0},
    {"F24", 115, 0},
};

// Longest token between its braces: a longer one is taken as a brace left open.
constexpr std::size_t MaxTokenLength = 64;

bool IsAsciiAlnum(char32_t c) {
    return (c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z') || (c >= U'0' && c <= U'9');
}

bool IsSpace(char32_t c) {
    return c == U' ' || c == U'\t' || c == U'\n' || c == U'\r';
}

char32_t Lower(char32_t c) {
    return c >= U'A' && c <= U'Z' ? c - U'A' + U'a' : c;
}

bool SameWord(std::u32string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Lower(a[i]) != Lower(static_cast<char32_t>(static_cast<unsigned char>(b[i])))) {
            return false;
        }
    }
    return true;
}

// UTF-8 of a text from the sequence, for a message; only what is quoted, so it stays short.
std::string Utf8(std::u32string_view text) {
    std::string out;
    for (char32_t c : text) {
        if (c < 0x20 || c == 0x7F || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = U'\uFFFD';  // shown as plain text, but a control character would still disturb it
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::string Quoted(std::u32string_view text) {
    return "\u201C" + Utf8(text) + "\u201D";
}

// One word of a token: a run of letters, digits and dots, or any other single character.
struct TLexeme {
    std::u32string_view Text;
    std::size_t Position = 0;  // in the whole sequence
};

std::vector<TLexeme> Lex(std::u32string_view Token, std::size_t Start) {
    std::vector<TLexeme> words;
    std::size_t i = 0;
    while (i < Token.size()) {
        if (IsSpace(Token[i])) {
            ++i;
            continue;
        }
        std::size_t end = i + 1;
        if (IsAsciiAlnum(Token[i])) {
            while (end < Token.size() && (IsAsciiAlnum(Token[end]) || Token[end] == U'.')) {
                ++end;
            }
        }
        words.push_back({Token.substr(i, end - i), Start + i});
        i = end;
    }
    return words;
}

const TKeyName* FindName(std::u32string_view Word) {
    for (const TKeyName& name : KeyNames) {
        if (SameWord(Word, name.Name)) {
            return &name;
        }
    }
    return nullptr;
}

// "500ms", "3s", "1.5s"; an error text when it is no time.
std::optional<std::chrono::milliseconds> ParseTime(std::u32string_view Word, std::string& Why) {
    std::size_t i = 0;
    uint64_t whole = 0;
    while (i < Word.size() && Word[i] >= U'0' && Word[i] <= U'9') {
        if (i >= 9) {
            Why = Quoted(Word) + " is too long a time";
            return std::nullopt;
        }
        whole = whole * 10 + (Word[i] - U'0');
        ++i;
    }
    if (i == 0) {
        Why = Quoted(Word) + " is no time: write it as 500ms or 3s";
        return std::nullopt;
    }
    uint64_t thousandths = 0;
    bool fraction = false;
    if (i < Word.size() && Word[i] == U'.') {
        fraction = true;
        ++i;
        uint64_t scale = 100;
        const std::size_t first = i;
        while (i < Word.size() && Word[i] >= U'0' && Word[i] <= U'9') {
            if (scale == 0) {
                Why = Quoted(Word) + " is finer than a millisecond";
                return std::nullopt;
            }
            thousandths += (Word[i] - U'0') * scale;
            scale /= 10;
            ++i;
        }
        if (i == first) {
            Why = Quoted(Word) + " is no time: write it as 500ms or 1.5s";
            return std::nullopt;
        }
    }
    const std::u32string_view unit = Word.substr(i);
    if (SameWord(unit, "ms") && !fraction) {
        return std::chrono::milliseconds(whole);
    }
    if (SameWord(unit, "s")) {
        return std::chrono::milliseconds(whole * 1000 + thousandths);
    }
    Why = unit.empty() ? Quoted(Word) + " has no unit: write " + Utf8(Word) + "ms or " + Utf8(Word) + "s"
                       : Quoted(Word) + " is no time: write it as 500ms or 3s";
    return std::nullopt;
}

std::string Seconds(std::chrono::milliseconds Time) {
    return std::to_string(Time.count() / 1000) + " s";
}

// Parses one token's words into Item; the error (position and why) when they are wrong.
std::optional<TKeySequenceError> ParseToken(const std::vector<TLexeme>& Words, std::size_t Open,
                                            TKeySequenceItem& Item) {
    if (Words.empty()) {
        return TKeySequenceError{
            Open, "\u201C{}\u201D names no key: write a key such as {Enter}, or {{ to type a brace"};
    }
    std::size_t w = 0;
    const auto time = [&](const char* What,
                          std::chrono::milliseconds Most) -> std::optional<TKeySequenceError> {
        if (w >= Words.size()) {
            return TKeySequenceError{Words[w - 1].Position,
                                     Quoted(Words[w - 1].Text) + " needs a time after it, such as " + What};
        }
        std::string why;
        const std::optional<std::chrono::milliseconds> t = ParseTime(Words[w].Text, why);
        if (!t) {
            return TKeySequenceError{Words[w].Position, why};
        }
        if (t->count() == 0) {
            return TKeySequenceError{Words[w].Position, Quoted(Words[w].Text) + " is no time at all"};
        }
        if (*t > Most) {
            return TKeySequenceError{Words[w].Position, Quoted(Words[w].Text) + " is longer than the " +
                                                            Seconds(Most) + " allowed"};
        }
        Item.Time = *t;
        ++w;
        return std::nullopt;
    };
    if (SameWord(Words[0].Text, "wait")) {
        Item.Kind = TKeySequenceItem::TKind::Wait;
        w = 1;
        if (auto error = time("{wait 500ms}", KeySequenceMaxWait)) {
            return error;
        }
    } else {
        Item.Kind = TKeySequenceItem::TKind::Key;
        while (true) {
            if (w >= Words.size()) {
                return TKeySequenceError{Words[w - 1].Position,
                                         "a key name must follow \u201C+\u201D, as in {Ctrl+Alt+Del}"};
            }
            const TLexeme& name = Words[w++];
            const bool last = w >= Words.size() || Words[w].Text != U"+";
            const TKeyName* known = FindName(name.Text);
            if (known == nullptr && name.Text.size() != 1) {
                return TKeySequenceError{name.Position, Quoted(name.Text) +
                                                            " is no key name (such as Enter, Tab, Esc, F2, "
                                                            "Del, Up, Ctrl, Alt, Shift, Win)"};
            }
            const bool modifier = known != nullptr && known->Modifier != 0;
            if (!last && !modifier) {
                return TKeySequenceError{name.Position,
                                         "only modifiers (Ctrl, Shift, Alt, AltGr, Win) can "
                                         "come before \u201C+\u201D, not " +
                                             Quoted(name.Text)};
            }
            if (modifier) {
                Item.Modifiers |= known->Modifier;
            } else if (known != nullptr) {
                Item.Usage = known->Usage;
            } else {
                Item.Character = name.Text[0];
                Item.NamePosition = name.Position;
            }
            if (last) {
                break;
            }
            ++w;  // the "+"
        }
        if (w < Words.size() && SameWord(Words[w].Text, "hold")) {
            ++w;
            if (auto error = time("{F2 hold 3s}", KeySequenceMaxHold)) {
                return error;
            }
        }
    }
    if (w < Words.size()) {
        return TKeySequenceError{Words[w].Position,
                                 Quoted(Words[w].Text) +
                                     " is not expected here: a key is written as "
                                     "{Ctrl+Alt+Del} or {F2 hold 3s}, a wait as {wait 500ms}"};
    }
    return std::nullopt;
}

}  // namespace

TKeySequenceParse ParseKeySequence(std::u32string_view Text) {
    TKeySequenceParse out;
    if (Text.size() > KeySequenceMaxLength) {
        out.Error = TKeySequenceError{KeySequenceMaxLength, "the sequence is longer than " +
                                                                std::to_string(KeySequenceMaxLength) +
                                                                " characters: split it in parts"};
        return out;
    }
    std::vector<TKeySequenceItem>& items = out.Sequence.Items;
    std::size_t tokens = 0;
    const auto text = [&](std::size_t At) -> std::u32string& {
        if (items.empty() || items.back().Kind != TKeySequenceItem::TKind::Text) {
            items.push_back({});
            items.back().Position = At;
        }
        return items.back().Text;
    };
    for (std::size_t i = 0; i < Text.size();) {
        if (Text[i] != U'{') {
            text(i) += Text[i];
            ++i;
            continue;
        }
        if (i + 1 < Text.size() && Text[i + 1] == U'{') {
            text(i) += U'{';
            i += 2;
            continue;
        }
        const std::size_t close = Text.find(U'}', i + 1);
        if (close == std::u32string_view::npos || close - i - 1 > MaxTokenLength) {
            out.Error = TKeySequenceError{i,
                                          "this \u201C{\u201D is not closed: close the key with "
                                          "\u201C}\u201D, or write {{ to type a brace"};
            return out;
        }
        if (++tokens > KeySequenceMaxTokens) {
            out.Error = TKeySequenceError{i, "more than " + std::to_string(KeySequenceMaxTokens) +
                                                 " keys and waits: split the sequence in parts"};
            return out;
        }
        TKeySequenceItem item;
        item.Position = i;
        if (auto error = ParseToken(Lex(Text.substr(i + 1, close - i - 1), i + 1), i, item)) {
            out.Error = std::move(error);
            return out;
        }
        items.push_back(std::move(item));
        i = close + 1;
    }
    return out;
}

TKeySequencePlanning PlanKeySequence(const TKeySequence& Sequence, const TLayoutKeys& Layout, bool CapsLock,
                                     TUnicodeEntry Entry) {
    TKeySequencePlanning out;
    TTypingPlan& plan = out.Plan.Text;
    std::vector<TSequenceStep>& steps = out.Plan.Steps;
    std::unordered_map<char32_t, std::size_t> refused;  // character -> index in plan.Refused
    for (const TKeySequenceItem& item : Sequence.Items) {
        switch (item.Kind) {
            case TKeySequenceItem::TKind::Text: {
                TTypingPlan part = PlanTyping(item.Text, Layout, CapsLock, Entry);
                plan.Characters += part.Characters;
                for (const TTypingPlan::TRefused& r : part.Refused) {
                    const auto [at, added] = refused.emplace(r.Character, plan.Refused.size());
                    if (added) {
                        plan.Refused.push_back(r);
                    } else {
                        plan.Refused[at->second].Count += r.Count;
                    }
                }
                continue;
            }
            case TKeySequenceItem::TKind::Wait:
                steps.push_back({{}, 0, item.Time});
                break;
            case TKeySequenceItem::TKind::Key: {
                uint8_t modifiers = item.Modifiers;
                uint8_t usage = item.Usage;
                if (item.Character != 0) {
                    const std::u32string_view c(&item.Character, 1);
                    const TCharacterKeys* keys = Layout.Find(item.Character, false);
                    if (keys == nullptr) {
                        out.Error = TKeySequenceError{item.NamePosition,
                                                      Quoted(c) + " is no key of the \u201C" + Layout.Name() +
                                                          "\u201D keyboard layout: name the key another way"};
                        return out;
                    }
                    if (keys->HasDead()) {
                        out.Error = TKeySequenceError{
                            item.NamePosition, Quoted(c) + " takes a dead key and another on the \u201C" +
                                                   Layout.Name() +
                                                   "\u201D keyboard layout: type it as text instead"};
                        return out;
                    }
                    usage = keys->Key.Usage;
                    uint8_t with = keys->Key.Modifiers;
                    // A capital letter names its key as the small one does: Caps Lock makes it
                    // without Shift on that same key, which no other character does.
                    const TCharacterKeys* capital = Layout.Find(item.Character, true);
                    if ((with & ModifierLeftShift) != 0 && capital != nullptr && !capital->HasDead() &&
                        capital->Key.Usage == usage && (capital->Key.Modifiers & ModifierLeftShift) == 0) {
                        with = static_cast<uint8_t>(with & ~ModifierLeftShift);
                    }
                    modifiers |= with;
                }
                TSequenceStep step;
                step.Time = item.Time;
                if (modifiers != 0) {
                    step.Reports.push_back({0, modifiers});
                }
                if (usage != 0) {
                    step.Reports.push_back({usage, modifiers});
                }
                step.HoldAfter = step.Reports.size() - 1;
                if (usage != 0 && modifiers != 0) {
                    // The key goes up before its modifiers, as fingers let go.
                    step.Reports.push_back({0, modifiers});
                }
                step.Reports.push_back({0, 0});
                steps.push_back(std::move(step));
                break;
            }
        }
        plan.Characters += static_cast<char32_t>(KeyStepMark + (steps.size() - 1));
    }
    return out;
}

std::vector<std::string> KeySequenceKeyNames() {
    std::vector<std::string> names;
    uint8_t lastUsage = 0xFF;
    uint8_t lastModifier = 0xFF;
    for (const TKeyName& name : KeyNames) {
        if (name.Usage != lastUsage || name.Modifier != lastModifier) {
            names.emplace_back(name.Name);
        }
        lastUsage = name.Usage;
        lastModifier = name.Modifier;
    }
    return names;
}
