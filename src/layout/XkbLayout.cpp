#include "layout/XkbLayout.h"

#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>
#include <xkbcommon/xkbregistry.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "layout/KeyUsages.h"
#include "layout/SystemLayouts.h"

namespace {

constexpr std::size_t MaxLayoutNameLength = 64;
constexpr const char* SystemComposeFile = "/usr/share/X11/locale/en_US.UTF-8/Compose";

// X keycodes of the evdev set are Linux key codes plus 8.
constexpr xkb_keycode_t XkbKeycodeOffset = 8;
constexpr xkb_keycode_t KeycodeLeftShift = 42 + XkbKeycodeOffset;
constexpr xkb_keycode_t KeycodeRightAlt = 100 + XkbKeycodeOffset;

// Dead keys (dead_grave .. the last dead_* keysym of the keysym table).
bool IsDeadKeysym(xkb_keysym_t Sym) {
    return Sym >= 0xfe50 && Sym <= 0xfe93;
}

constexpr uint8_t UsageIsoKey = 100;

bool IsKeypadUsage(uint8_t Usage) {
    return Usage >= 84 && Usage <= 99;
}

struct TContextFree {
    void operator()(xkb_context* p) const { xkb_context_unref(p); }
};
struct TKeymapFree {
    void operator()(xkb_keymap* p) const { xkb_keymap_unref(p); }
};
struct TStateFree {
    void operator()(xkb_state* p) const { xkb_state_unref(p); }
};
struct TComposeTableFree {
    void operator()(xkb_compose_table* p) const { xkb_compose_table_unref(p); }
};
struct TComposeStateFree {
    void operator()(xkb_compose_state* p) const { xkb_compose_state_unref(p); }
};
using TContext = std::unique_ptr<xkb_context, TContextFree>;
using TKeymap = std::unique_ptr<xkb_keymap, TKeymapFree>;
using TState = std::unique_ptr<xkb_state, TStateFree>;
using TComposeTable = std::unique_ptr<xkb_compose_table, TComposeTableFree>;
using TComposeState = std::unique_ptr<xkb_compose_state, TComposeStateFree>;

bool NamePart(const std::string& Text) {
    if (Text.empty()) {
        return false;
    }
    for (const char c : Text) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '_' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

// "ch(fr)" -> {"ch", "fr"}; false when malformed.
bool SplitName(const std::string& Name, std::string* Layout, std::string* Variant) {
    if (Name.size() > MaxLayoutNameLength) {
        return false;
    }
    const std::size_t open = Name.find('(');
    if (open == std::string::npos) {
        *Layout = Name;
        Variant->clear();
        return NamePart(*Layout);
    }
    if (Name.back() != ')') {
        return false;
    }
    *Layout = Name.substr(0, open);
    *Variant = Name.substr(open + 1, Name.size() - open - 2);
    return NamePart(*Layout) && NamePart(*Variant);
}

// The keymap of a layout, from the machine's data alone: the user's XKB_DEFAULT_* variables must not
// change what a target's layout is.
struct TLoaded {
    TContext Context;
    TKeymap Keymap;
    TComposeTable Compose;  // may be null: no dead keys then
};

bool Load(const std::string& Name, TLoaded* Out, std::string* Error) {
    std::string layout;
    std::string variant;
    if (!SplitName(Name, &layout, &variant)) {
        *Error = "\"" + Name.substr(0, MaxLayoutNameLength) +
                 "\" is no keyboard layout name (such as us, de, fr or ch(fr))";
        return false;
    }
    Out->Context.reset(xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!Out->Context) {
        *Error = "the keyboard layout data cannot be used (libxkbcommon)";
        return false;
    }
    xkb_context_set_log_level(Out->Context.get(), XKB_LOG_LEVEL_CRITICAL);
    xkb_rule_names names{};
    names.rules = "evdev";
    names.model = "pc105";
    names.layout = layout.c_str();
    names.variant = variant.c_str();
    names.options = "";
    Out->Keymap.reset(xkb_keymap_new_from_names(Out->Context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!Out->Keymap) {
        *Error = "this machine's keyboard data (xkb-data) has no layout \"" + Name + "\"";
        return false;
    }
    // Dead keys combine as the system's UTF-8 compose table says; a target decodes with the same one.
    // Read from the file itself: the table for the locale would take this user's own ~/.XCompose,
    // which says nothing about the target.
    if (std::FILE* file = std::fopen(SystemComposeFile, "r")) {
        Out->Compose.reset(xkb_compose_table_new_from_file(Out->Context.get(), file, "en_US.UTF-8",
                                                           XKB_COMPOSE_FORMAT_TEXT_V1,
                                                           XKB_COMPOSE_COMPILE_NO_FLAGS));
        std::fclose(file);
    }
    return true;
}

bool ShortcutActive(xkb_state* State) {
    for (const char* mod : {XKB_MOD_NAME_CTRL, XKB_MOD_NAME_ALT, XKB_MOD_NAME_LOGO}) {
        if (xkb_state_mod_name_is_active(State, mod, XKB_STATE_MODS_EFFECTIVE) > 0) {
            return true;
        }
    }
    return false;
}

// Sets the state's locked modifiers to the target's lock lights (Caps Lock, Num Lock).
void LockTo(xkb_keymap* Keymap, xkb_state* State, uint8_t Leds) {
    xkb_mod_mask_t locked = 0;
    const xkb_mod_index_t caps = xkb_keymap_mod_get_index(Keymap, XKB_MOD_NAME_CAPS);
    const xkb_mod_index_t num = xkb_keymap_mod_get_index(Keymap, XKB_MOD_NAME_NUM);
    if ((Leds & LedCapsLock) != 0 && caps != XKB_MOD_INVALID) {
        locked |= xkb_mod_mask_t{1} << caps;
    }
    if ((Leds & LedNumLock) != 0 && num != XKB_MOD_INVALID) {
        locked |= xkb_mod_mask_t{1} << num;
    }
    xkb_state_update_mask(State, xkb_state_serialize_mods(State, XKB_STATE_MODS_DEPRESSED),
                          xkb_state_serialize_mods(State, XKB_STATE_MODS_LATCHED), locked,
                          xkb_state_serialize_layout(State, XKB_STATE_LAYOUT_DEPRESSED),
                          xkb_state_serialize_layout(State, XKB_STATE_LAYOUT_LATCHED),
                          xkb_state_serialize_layout(State, XKB_STATE_LAYOUT_LOCKED));
}

// Enter types a carriage return in the keymap; a text's line end is '\n'.
char32_t TextCharacter(uint32_t c) {
    if (c == U'\r') {
        return U'\n';
    }
    if (c == U'\t' || (c >= 0x20 && c != 0x7F && c <= 0x10FFFF && !(c >= 0x80 && c < 0xA0))) {
        return c;
    }
    return 0;
}

// The one code point a UTF-8 text holds; 0 when it holds none or several.
uint32_t OnlyCharacter(const std::string& Utf8) {
    if (Utf8.empty()) {
        return 0;
    }
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(Utf8[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 1;
    uint32_t c = lead;
    if (lead >= 0xF0) {
        length = 4;
        c = lead & 0x07;
    } else if (lead >= 0xE0) {
        length = 3;
        c = lead & 0x0F;
    } else if (lead >= 0xC0) {
        length = 2;
        c = lead & 0x1F;
    } else if (lead >= 0x80) {
        return 0;
    }
    if (Utf8.size() != length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (byte(i) & 0x3F);
    }
    return c;
}

std::string Utf8Of(char32_t c) {
    std::string out;
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
    return out;
}

// One key at one level (Caps Lock off) as a Windows or macOS target makes it: a character or a
// dead key.
struct TSystemKey {
    TKeyStroke Stroke;
    char32_t Char = 0;
    uint32_t Dead = 0;
};

// A layout's keys on a Windows or macOS target, simplest first: plain and Shift from the keyboard
// data (the positions are the layout's), AltGr and the dead keys as the system's tables say.
struct TSystemKeys {
    TSystemLayout Rules;
    bool HasAltGr = false;
    std::vector<TSystemKey> Keys;
    std::map<std::pair<uint8_t, uint8_t>, TSystemKey> ByStroke;

    const TSystemKey* Of(uint8_t Usage, uint8_t Modifiers) const {
        const auto it = ByStroke.find({Usage, Modifiers});
        return it == ByStroke.end() ? nullptr : &it->second;
    }
    // What the key types at this level with Caps Lock on: Caps Lock turns round the case of a key
    // whose two levels are a small and a capital ASCII letter. Null for a key whose letters Caps
    // Lock may change otherwise (layouts differ there: French Windows makes its accented small
    // letters digits), and for an AltGr letter.
    std::optional<char32_t> WithCapsLock(const TSystemKey& Key) const {
        if ((Key.Stroke.Modifiers & ModifierRightAlt) != 0) {
            if (Key.Dead == 0 && CasedLetter(Key.Char)) {
                return std::nullopt;
            }
            return Key.Char;
        }
        const TSystemKey* plain = Of(Key.Stroke.Usage, 0);
        const TSystemKey* shifted = Of(Key.Stroke.Usage, ModifierLeftShift);
        const char32_t p = plain != nullptr ? plain->Char : 0;
        const char32_t q = shifted != nullptr ? shifted->Char : 0;
        const bool asciiPair = p >= U'a' && p <= U'z' && q == OtherCase(p);
        if (asciiPair) {
            return OtherCase(Key.Char);
        }
        if (CasedLetter(p) || CasedLetter(q)) {
            return std::nullopt;
        }
        return Key.Char;
    }
};

bool IsMacVariant(const std::string& Name) {
    const std::string suffix = "(mac)";
    return Name.size() > suffix.size() &&
           Name.compare(Name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

TSystemKeys BuildSystemKeys(const TLoaded& Loaded, const std::string& Name, TTargetSystem System) {
    TSystemKeys out;
    out.Rules = SystemLayoutOf(System, Name);
    xkb_keymap* keymap = Loaded.Keymap.get();
    const bool macOption = System == TTargetSystem::Mac && IsMacVariant(Name);
    const auto add = [&](const TSystemKey& key) {
        if (key.Dead != 0 && out.Rules.DeadRule(key.Dead) == nullptr) {
            return;  // a dead key whose combinations on this system are not known here
        }
        if (out.ByStroke.emplace(std::make_pair(key.Stroke.Usage, key.Stroke.Modifiers), key).second) {
            out.Keys.push_back(key);
        }
    };
    constexpr std::array<uint8_t, 4> levels{0, ModifierLeftShift, ModifierRightAlt,
                                            ModifierLeftShift | ModifierRightAlt};
    for (const bool isoKey : {false, true}) {
        for (const uint8_t modifiers : levels) {
            const bool altGr = (modifiers & ModifierRightAlt) != 0;
            if (altGr && System == TTargetSystem::Windows) {
                for (std::size_t i = 0; i < out.Rules.AltGrCount; ++i) {
                    const TAltGrKey& k = out.Rules.AltGr[i];
                    if ((k.Usage == UsageIsoKey) != isoKey) {
                        continue;
                    }
                    const bool shift = (modifiers & ModifierLeftShift) != 0;
                    const char32_t c = shift ? k.ShiftAltGr : k.AltGr;
                    const uint32_t dead = shift ? 0 : k.DeadAltGr;
                    if (c != 0 || dead != 0) {
                        add({{k.Usage, modifiers}, c, dead});
                        out.HasAltGr = true;
                    }
                }
                continue;
            }
            if (altGr && !macOption) {
                continue;
            }
            TState state(xkb_state_new(keymap));
            if (!state) {
                continue;
            }
            if ((modifiers & ModifierLeftShift) != 0) {
                xkb_state_update_key(state.get(), KeycodeLeftShift, XKB_KEY_DOWN);
            }
            if (altGr) {
                xkb_state_update_key(state.get(), KeycodeRightAlt, XKB_KEY_DOWN);
            }
            if (ShortcutActive(state.get())) {
                continue;
            }
            for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap); code <= xkb_keymap_max_keycode(keymap);
                 ++code) {
                if (code < XkbKeycodeOffset) {
                    continue;
                }
                const uint8_t usage = UsageOfLinuxKey(code - XkbKeycodeOffset);
                if (usage == 0 || usage >= 224 || IsKeypadUsage(usage) || (usage == UsageIsoKey) != isoKey ||
                    (System == TTargetSystem::Mac && MacUnsureUsage(usage))) {
                    continue;
                }
                if (modifiers == ModifierLeftShift &&
                    out.Rules.EmptyShiftUsages.find(usage) != std::u32string_view::npos) {
                    continue;
                }
                const xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), code);
                if (sym == XKB_KEY_NoSymbol) {
                    continue;
                }
                if (IsDeadKeysym(sym)) {
                    add({{usage, modifiers}, 0, sym});
                    continue;
                }
                const char32_t c = TextCharacter(xkb_state_key_get_utf32(state.get(), code));
                if (c != 0) {
                    add({{usage, modifiers}, c, 0});
                }
            }
        }
        if (macOption) {
            out.HasAltGr = true;
        }
    }
    return out;
}

std::shared_ptr<const TLayoutKeys> SystemLayoutKeys(const TSystemKeys& Keys, const std::string& Name,
                                                    TTargetSystem System) {
    auto table = std::make_shared<TLayoutKeys>(Name, System);
    for (const bool caps : {false, true}) {
        const auto typed = [&](const TSystemKey& k) -> std::optional<char32_t> {
            return caps ? Keys.WithCapsLock(k) : std::optional<char32_t>(k.Char);
        };
        for (const TSystemKey& k : Keys.Keys) {
            if (k.Dead == 0) {
                if (const auto c = typed(k)) {
                    table->Add(*c, caps, {{}, k.Stroke});
                }
            }
        }
        for (const TSystemKey& d : Keys.Keys) {
            if (d.Dead == 0 || !typed(d)) {
                continue;
            }
            const TDeadRule* rule = Keys.Rules.DeadRule(d.Dead);
            for (const TSystemKey& b : Keys.Keys) {
                if (b.Dead != 0 || (b.Stroke.Modifiers & ModifierRightAlt) != 0) {
                    continue;
                }
                const auto base = typed(b);
                if (!base) {
                    continue;
                }
                const char32_t c = *base == U' ' ? rule->Spacing : rule->Combine(*base);
                if (c != 0) {
                    table->Add(c, caps, {d.Stroke, b.Stroke});
                }
            }
        }
    }
    return table;
}

}  // namespace

bool IsLayoutName(const std::string& Name) {
    std::string layout;
    std::string variant;
    return SplitName(Name, &layout, &variant);
}

std::shared_ptr<const TLayoutKeys> BuildLayoutKeys(const std::string& Name, std::string* Error) {
    return BuildLayoutKeys(Name, TTargetSystem::Linux, Error);
}

std::shared_ptr<const TLayoutKeys> BuildLayoutKeys(const std::string& Name, TTargetSystem System,
                                                   std::string* Error) {
    TLoaded loaded;
    if (!Load(Name, &loaded, Error)) {
        return nullptr;
    }
    if (System != TTargetSystem::Linux) {
        return SystemLayoutKeys(BuildSystemKeys(loaded, Name, System), Name, System);
    }
    xkb_keymap* keymap = loaded.Keymap.get();
    auto keys = std::make_shared<TLayoutKeys>(Name);

    // The modifiers a character may need, simplest first: the first way found is kept.
    constexpr std::array<uint8_t, 4> levels{0, ModifierLeftShift, ModifierRightAlt,
                                            ModifierLeftShift | ModifierRightAlt};
    for (const bool caps : {false, true}) {
        struct TSymbol {
            xkb_keysym_t Sym;
            TKeyStroke Stroke;
        };
        std::vector<TSymbol> dead;
        std::vector<TSymbol> bases;
        // The key between left Shift and Z exists on ISO keyboards only, and operating systems
        // disagree about it on layouts that have no use for it (on US, "<" on one, a backslash on
        // another): it is taken only for what no other key types.
        for (const bool isoKey : {false, true}) {
            for (const uint8_t modifiers : levels) {
                TState state(xkb_state_new(keymap));
                if (!state) {
                    *Error = "the keyboard layout \"" + Name + "\" cannot be used (libxkbcommon)";
                    return nullptr;
                }
                if ((modifiers & ModifierLeftShift) != 0) {
                    xkb_state_update_key(state.get(), KeycodeLeftShift, XKB_KEY_DOWN);
                }
                if ((modifiers & ModifierRightAlt) != 0) {
                    xkb_state_update_key(state.get(), KeycodeRightAlt, XKB_KEY_DOWN);
                }
                // Right Alt is a plain Alt on layouts without AltGr: what it "types" would be a shortcut.
                if (ShortcutActive(state.get())) {
                    continue;
                }
                LockTo(keymap, state.get(), caps ? LedCapsLock : 0);
                for (xkb_keycode_t code = xkb_keymap_min_keycode(keymap);
                     code <= xkb_keymap_max_keycode(keymap); ++code) {
                    if (code < XkbKeycodeOffset) {
                        continue;
                    }
                    const uint8_t usage = UsageOfLinuxKey(code - XkbKeycodeOffset);
                    if (usage == 0 || usage >= 224 || IsKeypadUsage(usage) ||
                        (usage == UsageIsoKey) != isoKey) {
                        continue;
                    }
                    const TKeyStroke stroke{usage, modifiers};
                    const xkb_keysym_t sym = xkb_state_key_get_one_sym(state.get(), code);
                    if (sym == XKB_KEY_NoSymbol) {
                        continue;
                    }
                    if (IsDeadKeysym(sym)) {
                        dead.push_back({sym, stroke});
                        continue;
                    }
                    const char32_t c = TextCharacter(xkb_state_key_get_utf32(state.get(), code));
                    if (c == 0) {
                        continue;
                    }
                    keys->Add(c, caps, {{}, stroke});
                    bases.push_back({sym, stroke});
                }
            }
        }
        if (!loaded.Compose) {
            continue;
        }
        TComposeState compose(xkb_compose_state_new(loaded.Compose.get(), XKB_COMPOSE_STATE_NO_FLAGS));
        if (!compose) {
            continue;
        }
        for (const TSymbol& d : dead) {
            for (const TSymbol& b : bases) {
                xkb_compose_state_reset(compose.get());
                xkb_compose_state_feed(compose.get(), d.Sym);
                xkb_compose_state_feed(compose.get(), b.Sym);
                if (xkb_compose_state_get_status(compose.get()) != XKB_COMPOSE_COMPOSED) {
                    continue;
                }
                // One character only: a sequence giving several is no single character's way.
                char utf8[16] = {};
                const int length = xkb_compose_state_get_utf8(compose.get(), utf8, sizeof utf8);
                const uint32_t c =
                    length > 0 && length < static_cast<int>(sizeof utf8) ? OnlyCharacter(utf8) : 0;
                const char32_t typed = TextCharacter(c);
                if (typed != 0) {
                    keys->Add(typed, caps, {d.Stroke, b.Stroke});
                }
            }
        }
    }
    return keys;
}

std::vector<TLayoutChoice> AvailableLayouts() {
    std::vector<TLayoutChoice> choices;
    rxkb_context* context = rxkb_context_new(RXKB_CONTEXT_NO_FLAGS);
    if (context == nullptr) {
        return choices;
    }
    rxkb_context_set_log_level(context, RXKB_LOG_LEVEL_CRITICAL);
    if (rxkb_context_parse_default_ruleset(context)) {
        for (rxkb_layout* l = rxkb_layout_first(context); l != nullptr; l = rxkb_layout_next(l)) {
            const char* name = rxkb_layout_get_name(l);
            const char* variant = rxkb_layout_get_variant(l);
            const char* description = rxkb_layout_get_description(l);
            TLayoutChoice choice;
            choice.Name = name != nullptr ? name : "";
            if (variant != nullptr && *variant != '\0') {
                choice.Name += "(" + std::string(variant) + ")";
            }
            choice.Description = description != nullptr ? description : choice.Name;
            if (IsLayoutName(choice.Name)) {
                choices.push_back(std::move(choice));
            }
        }
    }
    rxkb_context_unref(context);
    return choices;
}

struct TXkbTextDecoder::TImpl {
    TLoaded Loaded;
    TState State;
    TComposeState Compose;
    // Windows and macOS targets decode from their own key table.
    TTargetSystem System = TTargetSystem::Linux;
    TSystemKeys Keys;
    uint8_t Modifiers = 0;
    uint32_t PendingDead = 0;
    std::string AltCode;  // keypad digits typed with left Alt held (Windows)
    bool AltCodeBroken = false;

    std::string SystemKey(uint8_t Usage, bool Pressed, uint8_t Leds);
};

namespace {

constexpr uint8_t ModLeftCtrl = 0x01, ModLeftShift = 0x02, ModLeftAlt = 0x04, ModLeftGui = 0x08,
                  ModRightCtrl = 0x10, ModRightShift = 0x20, ModRightAlt = 0x40, ModRightGui = 0x80;
constexpr uint8_t UsageKeypad1 = 89, UsageKeypad0 = 98, UsageKeypadEnter = 88;

char KeypadDigit(uint8_t Usage) {
    if (Usage == UsageKeypad0) {
        return '0';
    }
    return Usage >= UsageKeypad1 && Usage < UsageKeypad0 ? static_cast<char>('1' + (Usage - UsageKeypad1))
                                                         : 0;
}

}  // namespace

std::string TXkbTextDecoder::TImpl::SystemKey(uint8_t Usage, bool Pressed, uint8_t Leds) {
    const bool windows = System == TTargetSystem::Windows;
    if (Usage >= 224) {
        const uint8_t bit = static_cast<uint8_t>(1u << (Usage - 224));
        Modifiers = Pressed ? (Modifiers | bit) : (Modifiers & ~bit);
        if (windows && !Pressed && bit == ModLeftAlt) {
            // Alt released: a code typed on the keypad with a leading 0 is a character of the
            // Western code page, which is Latin-1 in the range entered here.
            std::string code = std::exchange(AltCode, std::string());
            const bool broken = std::exchange(AltCodeBroken, false);
            if (broken || code.size() < 2 || code.size() > 4 || code[0] != '0') {
                return {};
            }
            const int value = std::stoi(code);
            if ((value >= 0x20 && value < 0x7F) || (value >= 0xA0 && value <= 0xFF)) {
                return Utf8Of(static_cast<char32_t>(value));
            }
            return {};
        }
        if (Pressed && bit != ModLeftAlt) {
            AltCodeBroken = AltCodeBroken || !AltCode.empty();
        }
        return {};
    }
    if (!Pressed) {
        return {};
    }
    const bool altCodeHeld = windows && Modifiers == ModLeftAlt;
    if (altCodeHeld && (KeypadDigit(Usage) != 0 || IsKeypadUsage(Usage))) {
        // Without Num Lock the keypad's digits are cursor keys: Alt+End, Alt+Left.
        const char digit = KeypadDigit(Usage);
        if ((Leds & LedNumLock) != 0 && digit != 0) {
            AltCode += digit;
        } else {
            AltCodeBroken = true;
        }
        return {};
    }
    uint8_t shortcut = ModLeftCtrl | ModRightCtrl | ModLeftGui | ModRightGui;
    uint8_t altGr = ModRightAlt;
    if (windows) {
        shortcut |= ModLeftAlt;
        if (!Keys.HasAltGr) {
            shortcut |= ModRightAlt;  // right Alt is a plain Alt on a layout without AltGr
        }
    } else {
        altGr |= ModLeftAlt;  // Option, on either side
    }
    if ((Modifiers & shortcut) != 0) {
        PendingDead = 0;
        return {};
    }
    if (IsKeypadUsage(Usage)) {
        const char digit = KeypadDigit(Usage);
        if (Usage == UsageKeypadEnter) {
            return "\n";
        }
        return (Leds & LedNumLock) != 0 && digit != 0 ? std::string(1, digit) : std::string();
    }
    const bool shift = (Modifiers & (ModLeftShift | ModRightShift)) != 0;
    const uint8_t level = static_cast<uint8_t>((shift ? ModifierLeftShift : 0) |
                                               ((Modifiers & altGr) != 0 ? ModifierRightAlt : 0));
    const TSystemKey* key = Keys.Of(Usage, level);
    if (key != nullptr && (Leds & LedCapsLock) != 0 && (level & ModifierRightAlt) == 0) {
        // Caps Lock turns round the letters' case (see TSystemKeys::WithCapsLock).
        const TSystemKey* plain = Keys.Of(Usage, 0);
        const char32_t p = plain != nullptr ? plain->Char : 0;
        if (p >= U'a' && p <= U'z') {
            key = Keys.Of(Usage, static_cast<uint8_t>(level ^ ModifierLeftShift));
        }
    }
    if (key == nullptr) {
        return {};
    }
    const uint32_t pending = std::exchange(PendingDead, 0);
    const TDeadRule* rule = pending != 0 ? Keys.Rules.DeadRule(pending) : nullptr;
    if (key->Dead != 0) {
        if (rule == nullptr) {
            PendingDead = key->Dead;
            return {};
        }
        // Two dead keys: both accents.
        const TDeadRule* second = Keys.Rules.DeadRule(key->Dead);
        return Utf8Of(rule->Spacing) + (second != nullptr ? Utf8Of(second->Spacing) : std::string());
    }
    if (key->Char == U'\n') {
        return rule != nullptr ? Utf8Of(rule->Spacing) + "\n" : "\n";
    }
    if (rule == nullptr) {
        return Utf8Of(key->Char);
    }
    if (key->Char == U' ') {
        return Utf8Of(rule->Spacing);
    }
    if (const char32_t combined = rule->Combine(key->Char)) {
        return Utf8Of(combined);
    }
    return Utf8Of(rule->Spacing) + Utf8Of(key->Char);
}

TXkbTextDecoder::TXkbTextDecoder(std::unique_ptr<TImpl> Impl) : FImpl(std::move(Impl)) {}
TXkbTextDecoder::~TXkbTextDecoder() = default;

std::unique_ptr<TXkbTextDecoder> TXkbTextDecoder::Create(const std::string& Name, std::string* Error) {
    return Create(Name, TTargetSystem::Linux, Error);
}

std::unique_ptr<TXkbTextDecoder> TXkbTextDecoder::Create(const std::string& Name, TTargetSystem System,
                                                         std::string* Error) {
    auto impl = std::make_unique<TImpl>();
    if (!Load(Name, &impl->Loaded, Error)) {
        return nullptr;
    }
    impl->System = System;
    if (System != TTargetSystem::Linux) {
        impl->Keys = BuildSystemKeys(impl->Loaded, Name, System);
    }
    impl->State.reset(xkb_state_new(impl->Loaded.Keymap.get()));
    if (!impl->State) {
        *Error = "the keyboard layout \"" + Name + "\" cannot be used (libxkbcommon)";
        return nullptr;
    }
    if (impl->Loaded.Compose) {
        impl->Compose.reset(xkb_compose_state_new(impl->Loaded.Compose.get(), XKB_COMPOSE_STATE_NO_FLAGS));
    }
    return std::unique_ptr<TXkbTextDecoder>(new TXkbTextDecoder(std::move(impl)));
}

std::string TXkbTextDecoder::Key(uint8_t Usage, bool Pressed, uint8_t Leds) {
    if (FImpl->System != TTargetSystem::Linux) {
        return FImpl->SystemKey(Usage, Pressed, Leds);
    }
    const unsigned key = LinuxKeyOfUsage(Usage);
    if (key == 0) {
        return {};
    }
    const xkb_keycode_t code = key + XkbKeycodeOffset;
    xkb_state* state = FImpl->State.get();
    xkb_state_update_key(state, code, Pressed ? XKB_KEY_DOWN : XKB_KEY_UP);
    // The lights are the target's lock state, whoever set them.
    LockTo(FImpl->Loaded.Keymap.get(), state, Leds);
    if (!Pressed) {
        return {};
    }
    const xkb_keysym_t sym = xkb_state_key_get_one_sym(state, code);
    if (ShortcutActive(state)) {
        if (FImpl->Compose && sym != XKB_KEY_NoSymbol &&
            xkb_compose_state_feed(FImpl->Compose.get(), sym) != XKB_COMPOSE_FEED_IGNORED) {
            xkb_compose_state_reset(FImpl->Compose.get());
        }
        return {};
    }
    const auto plain = [&]() -> std::string {
        const char32_t c = TextCharacter(xkb_state_key_get_utf32(state, code));
        if (c == 0) {
            return {};
        }
        if (c == U'\n') {
            return "\n";
        }
        char utf8[8] = {};
        const int n = xkb_state_key_get_utf8(state, code, utf8, sizeof utf8);
        return n > 0 ? std::string(utf8, static_cast<std::size_t>(n)) : std::string();
    };
    if (!FImpl->Compose || sym == XKB_KEY_NoSymbol) {
        return IsDeadKeysym(sym) ? std::string() : plain();
    }
    xkb_compose_state* compose = FImpl->Compose.get();
    if (xkb_compose_state_feed(compose, sym) == XKB_COMPOSE_FEED_IGNORED) {
        return plain();  // a modifier: no part of a sequence
    }
    switch (xkb_compose_state_get_status(compose)) {
        case XKB_COMPOSE_COMPOSING:
            return {};
        case XKB_COMPOSE_COMPOSED: {
            char utf8[64] = {};
            const int n = xkb_compose_state_get_utf8(compose, utf8, sizeof utf8);
            xkb_compose_state_reset(compose);
            return n > 0 ? std::string(utf8, static_cast<std::size_t>(std::min<int>(n, sizeof utf8 - 1)))
                         : std::string();
        }
        case XKB_COMPOSE_CANCELLED:
            // A dead key followed by a key it does not combine with: both are dropped, as
            // applications do.
            xkb_compose_state_reset(compose);
            return {};
        case XKB_COMPOSE_NOTHING:
            break;
    }
    return IsDeadKeysym(sym) ? std::string() : plain();
}
