#include "layout/SystemLayouts.h"

#include <iterator>

namespace {

// Usages of the keys named below, by their US legend.
constexpr uint8_t A = 4, C = 6, D = 7, E = 8, I = 12, L = 15, M = 16, N = 17, O = 18, P = 19, Q = 20, R = 21,
                  S = 22, T = 23, U = 24, W = 26, Y = 28, Z = 29;
constexpr uint8_t D1 = 30, D2 = 31, D3 = 32, D4 = 33, D5 = 34, D6 = 35, D7 = 36, D8 = 37, D9 = 38, D0 = 39;
constexpr uint8_t Minus = 45, Equal = 46, LeftBracket = 47, RightBracket = 48, Backslash = 49, Semicolon = 51,
                  Apostrophe = 52, Grave = 53, Comma = 54, Slash = 56, IsoKey = 100;

// The dead keys of Windows layouts combine with the letters their tables list and nothing else; a
// space gives the accent itself; any other key gives the accent followed by that key's character.
// Source: Microsoft's published keyboard layouts (learn.microsoft.com, "Windows keyboard layouts":
// German KBDGR, French KBDFR, United States-International KBDUSX), their dead-key tables.
constexpr std::u32string_view Vowels = U"aeiouAEIOU";
constexpr std::u32string_view VowelsY = U"aeiouyAEIOUY";
constexpr std::u32string_view VowelsYLower = U"aeiouyAEIOU";
constexpr std::u32string_view Tilded = U"aonAON";

constexpr TDeadRule WindowsGerman[] = {
    {DeadCircumflex, U'^', Vowels, U"\u00e2\u00ea\u00ee\u00f4\u00fb\u00c2\u00ca\u00ce\u00d4\u00db"},
    {DeadAcute, U'\u00b4', VowelsY,
     U"\u00e1\u00e9\u00ed\u00f3\u00fa\u00fd\u00c1\u00c9\u00cd\u00d3\u00da\u00dd"},
    {DeadGrave, U'`', Vowels, U"\u00e0\u00e8\u00ec\u00f2\u00f9\u00c0\u00c8\u00cc\u00d2\u00d9"},
};
constexpr TDeadRule WindowsFrench[] = {
    {DeadCircumflex, U'^', Vowels, U"\u00e2\u00ea\u00ee\u00f4\u00fb\u00c2\u00ca\u00ce\u00d4\u00db"},
    {DeadDiaeresis, U'\u00a8', VowelsYLower,
     U"\u00e4\u00eb\u00ef\u00f6\u00fc\u00ff\u00c4\u00cb\u00cf\u00d6\u00dc"},
    {DeadTilde, U'~', Tilded, U"\u00e3\u00f5\u00f1\u00c3\u00d5\u00d1"},
    {DeadGrave, U'`', Vowels, U"\u00e0\u00e8\u00ec\u00f2\u00f9\u00c0\u00c8\u00cc\u00d2\u00d9"},
};
constexpr TDeadRule WindowsUsInternational[] = {
    {DeadGrave, U'`', Vowels, U"\u00e0\u00e8\u00ec\u00f2\u00f9\u00c0\u00c8\u00cc\u00d2\u00d9"},
    {DeadTilde, U'~', Tilded, U"\u00e3\u00f5\u00f1\u00c3\u00d5\u00d1"},
    {DeadCircumflex, U'^', Vowels, U"\u00e2\u00ea\u00ee\u00f4\u00fb\u00c2\u00ca\u00ce\u00d4\u00db"},
    // The apostrophe key also makes the c with cedilla.
    {DeadAcute, U'\'', U"aeiouycAEIOUYC",
     U"\u00e1\u00e9\u00ed\u00f3\u00fa\u00fd\u00e7\u00c1\u00c9\u00cd\u00d3\u00da\u00dd\u00c7"},
    {DeadDiaeresis, U'"', VowelsYLower,
     U"\u00e4\u00eb\u00ef\u00f6\u00fc\u00ff\u00c4\u00cb\u00cf\u00d6\u00dc"},
};

// The AltGr level of the same layouts (Shift+AltGr types nothing where not given).
constexpr TAltGrKey WindowsGermanAltGr[] = {
    {Q, U'@'},  {E, U'\u20ac'}, {M, U'\u00b5'}, {D2, U'\u00b2'}, {D3, U'\u00b3'},      {D7, U'{'},
    {D8, U'['}, {D9, U']'},     {D0, U'}'},     {Minus, U'\\'},  {RightBracket, U'~'}, {IsoKey, U'|'},
};
constexpr TAltGrKey WindowsFrenchAltGr[] = {
    {D2, 0, 0, DeadTilde},
    {D3, U'#'},
    {D4, U'{'},
    {D5, U'['},
    {D6, U'|'},
    {D7, 0, 0, DeadGrave},
    {D8, U'\\'},
    {D9, U'^'},
    {D0, U'@'},
    {Minus, U']'},
    {Equal, U'}'},
    {E, U'\u20ac'},
    {RightBracket, U'\u00a4'},
};
constexpr TAltGrKey WindowsUsInternationalAltGr[] = {
    {D1, U'\u00a1', U'\u00b9'},
    {D2, U'\u00b2'},
    {D3, U'\u00b3'},
    {D4, U'\u00a4', U'\u00a3'},
    {D5, U'\u20ac'},
    {D6, U'\u00bc'},
    {D7, U'\u00bd'},
    {D8, U'\u00be'},
    {D9, U'\u2018'},
    {D0, U'\u2019'},
    {Minus, U'\u00a5'},
    {Equal, U'\u00d7', U'\u00f7'},
    {Q, U'\u00e4', U'\u00c4'},
    {W, U'\u00e5', U'\u00c5'},
    {E, U'\u00e9', U'\u00c9'},
    {R, U'\u00ae'},
    {T, U'\u00fe', U'\u00de'},
    {Y, U'\u00fc', U'\u00dc'},
    {U, U'\u00fa', U'\u00da'},
    {I, U'\u00ed', U'\u00cd'},
    {O, U'\u00f3', U'\u00d3'},
    {P, U'\u00f6', U'\u00d6'},
    {LeftBracket, U'\u00ab'},
    {RightBracket, U'\u00bb'},
    {A, U'\u00e1', U'\u00c1'},
    {S, U'\u00df', U'\u00a7'},
    {D, U'\u00f0', U'\u00d0'},
    {L, U'\u00f8', U'\u00d8'},
    {Semicolon, U'\u00b6', U'\u00b0'},
    {Apostrophe, U'\u00b4', U'\u00a8'},
    {Z, U'\u00e6', U'\u00c6'},
    {C, U'\u00a9', U'\u00a2'},
    {N, U'\u00f1', U'\u00d1'},
    {M, U'\u00b5'},
    {Comma, U'\u00e7', U'\u00c7'},
    {Slash, U'\u00bf'},
    {Backslash, U'\u00ac', U'\u00a6'},
};

// macOS: a dead key (Option+E, +`, +I, +U, +N on Apple's US layout; the accent keys of the national
// layouts) combines with the vowels below and nothing else listed here; space gives the accent.
// Source: Apple Support, "Enter characters with accent marks on Mac".
constexpr TDeadRule MacDead[] = {
    {DeadAcute, U'\u00b4', Vowels, U"\u00e1\u00e9\u00ed\u00f3\u00fa\u00c1\u00c9\u00cd\u00d3\u00da"},
    {DeadGrave, U'`', Vowels, U"\u00e0\u00e8\u00ec\u00f2\u00f9\u00c0\u00c8\u00cc\u00d2\u00d9"},
    {DeadCircumflex, U'^', Vowels, U"\u00e2\u00ea\u00ee\u00f4\u00fb\u00c2\u00ca\u00ce\u00d4\u00db"},
    {DeadDiaeresis, U'\u00a8', VowelsYLower,
     U"\u00e4\u00eb\u00ef\u00f6\u00fc\u00ff\u00c4\u00cb\u00cf\u00d6\u00dc"},
    {DeadTilde, U'~', Tilded, U"\u00e3\u00f5\u00f1\u00c3\u00d5\u00d1"},
};

// Windows French has nothing on Shift with the key left of 1 (the keyboard data gives it "~").
constexpr char32_t FrenchEmptyShift[] = {Grave, 0};

template <std::size_t N>
TSystemLayout Dead(const TDeadRule (&Rules)[N]) {
    TSystemLayout layout;
    layout.Known = true;
    layout.Dead = Rules;
    layout.DeadCount = N;
    return layout;
}

}  // namespace

char32_t TDeadRule::Combine(char32_t c) const {
    const std::size_t at = Bases.find(c);
    return at == std::u32string_view::npos || at >= Results.size() ? 0 : Results[at];
}

const TDeadRule* TSystemLayout::DeadRule(uint32_t DeadSym) const {
    for (std::size_t i = 0; i < DeadCount; ++i) {
        if (Dead[i].Dead == DeadSym) {
            return &Dead[i];
        }
    }
    return nullptr;
}

const TAltGrKey* TSystemLayout::AltGrKey(uint8_t Usage) const {
    for (std::size_t i = 0; i < AltGrCount; ++i) {
        if (AltGr[i].Usage == Usage) {
            return &AltGr[i];
        }
    }
    return nullptr;
}

TSystemLayout SystemLayoutOf(TTargetSystem System, const std::string& Layout) {
    switch (System) {
        case TTargetSystem::Linux:
            return {};
        case TTargetSystem::Windows: {
            TSystemLayout layout;
            if (Layout == "us") {
                layout.Known = true;  // no AltGr, no dead keys
            } else if (Layout == "de") {
                layout = Dead(WindowsGerman);
                layout.AltGr = WindowsGermanAltGr;
                layout.AltGrCount = std::size(WindowsGermanAltGr);
            } else if (Layout == "fr") {
                layout = Dead(WindowsFrench);
                layout.AltGr = WindowsFrenchAltGr;
                layout.AltGrCount = std::size(WindowsFrenchAltGr);
                layout.EmptyShiftUsages = std::u32string_view(FrenchEmptyShift);
            } else if (Layout == "us(intl)") {
                layout = Dead(WindowsUsInternational);
                layout.AltGr = WindowsUsInternationalAltGr;
                layout.AltGrCount = std::size(WindowsUsInternationalAltGr);
            }
            return layout;
        }
        case TTargetSystem::Mac:
            return Dead(MacDead);
    }
    return {};
}

bool MacUnsureUsage(uint8_t Usage) {
    return Usage == Grave || Usage == IsoKey;
}

bool CasedLetter(char32_t c) {
    if ((c >= U'a' && c <= U'z') || (c >= U'A' && c <= U'Z')) {
        return true;
    }
    if (c >= 0xC0 && c <= 0xFF) {
        return c != 0xD7 && c != 0xF7 && c != 0xDF;
    }
    // Latin Extended, Greek, Cyrillic, Armenian: what Caps Lock does there is each layout's own.
    return (c >= 0x100 && c <= 0x24F) || (c >= 0x370 && c <= 0x3FF) || (c >= 0x400 && c <= 0x52F) ||
           (c >= 0x531 && c <= 0x587);
}

char32_t OtherCase(char32_t c) {
    if (c >= U'a' && c <= U'z') {
        return c - 0x20;
    }
    if (c >= U'A' && c <= U'Z') {
        return c + 0x20;
    }
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) {
        return c + 0x20;
    }
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) {
        return c - 0x20;
    }
    return c;
}

const char* SystemName(TTargetSystem System) {
    switch (System) {
        case TTargetSystem::Linux:
            break;
        case TTargetSystem::Windows:
            return "windows";
        case TTargetSystem::Mac:
            return "macos";
    }
    return "linux";
}

bool SystemNamed(std::string_view Name, TTargetSystem* System) {
    for (const TTargetSystem s : {TTargetSystem::Linux, TTargetSystem::Windows, TTargetSystem::Mac}) {
        if (Name == SystemName(s)) {
            *System = s;
            return true;
        }
    }
    return false;
}
