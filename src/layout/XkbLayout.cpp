#include "layout/XkbLayout.h"

#include <xkbcommon/xkbcommon-compose.h>
#include <xkbcommon/xkbcommon.h>
#include <xkbcommon/xkbregistry.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <utility>

#include "layout/KeyUsages.h"

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

}  // namespace

bool IsLayoutName(const std::string& Name) {
    std::string layout;
    std::string variant;
    return SplitName(Name, &layout, &variant);
}

std::shared_ptr<const TLayoutKeys> BuildLayoutKeys(const std::string& Name, std::string* Error) {
    TLoaded loaded;
    if (!Load(Name, &loaded, Error)) {
        return nullptr;
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
};

TXkbTextDecoder::TXkbTextDecoder(std::unique_ptr<TImpl> Impl) : FImpl(std::move(Impl)) {}
TXkbTextDecoder::~TXkbTextDecoder() = default;

std::unique_ptr<TXkbTextDecoder> TXkbTextDecoder::Create(const std::string& Name, std::string* Error) {
    auto impl = std::make_unique<TImpl>();
    if (!Load(Name, &impl->Loaded, Error)) {
        return nullptr;
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
