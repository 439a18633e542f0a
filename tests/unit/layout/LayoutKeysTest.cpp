// The reverse tables of real layouts, built from the machine's keyboard data, and the target-side
// decoder that reads keys back into text with the same data.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "hid/TextKeys.h"
#include "layout/KeyUsages.h"
#include "layout/XkbLayout.h"
#include "platform/hooks/LinuxKeyCodes.h"

namespace {

constexpr uint8_t S = ModifierLeftShift;
constexpr uint8_t G = ModifierRightAlt;

// Usages by key position (the US legend of the key).
namespace key {
constexpr uint8_t A = 4, C = 6, E = 8, N = 17, O = 18, Q = 20, U = 24, Y = 28, Z = 29;
constexpr uint8_t D1 = 30, D2 = 31, D6 = 35, D7 = 36, D0 = 39;
constexpr uint8_t Enter = 40, Tab = 43, Space = 44, Minus = 45, Equal = 46, LeftBracket = 47;
constexpr uint8_t Semicolon = 51, Apostrophe = 52, Grave = 53, Comma = 54, NonUsBackslash = 100;
}  // namespace key

const TLayoutKeys& Layout(const std::string& name) {
    static std::map<std::string, std::shared_ptr<const TLayoutKeys>> cache;
    auto& slot = cache[name];
    if (!slot) {
        std::string error;
        slot = BuildLayoutKeys(name, &error);
        EXPECT_NE(slot, nullptr) << error;
        if (!slot) {
            slot = std::make_shared<TLayoutKeys>(name);
        }
    }
    return *slot;
}

std::string Utf8(char32_t c) {
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

// Presses and releases one stroke on the decoder as a keyboard report sequence does: modifiers
// down, key down, key up, modifiers up. Returns what it typed.
std::string Type(TXkbTextDecoder& target, const TKeyStroke& stroke, uint8_t leds) {
    std::string text;
    for (int bit = 0; bit < 8; ++bit) {
        if ((stroke.Modifiers >> bit) & 1) {
            text += target.Key(static_cast<uint8_t>(224 + bit), true, leds);
        }
    }
    text += target.Key(stroke.Usage, true, leds);
    text += target.Key(stroke.Usage, false, leds);
    for (int bit = 0; bit < 8; ++bit) {
        if ((stroke.Modifiers >> bit) & 1) {
            text += target.Key(static_cast<uint8_t>(224 + bit), false, leds);
        }
    }
    return text;
}

}  // namespace

TEST(LayoutKeys, BuildLayoutKeys_DirectShiftAltGrDeadAndRefused) {
    struct Case {
        const char* layout;
        char32_t c;
        bool caps;
        std::optional<TCharacterKeys> keys;
    };
    const Case cases[] = {
        // US: letters, Shift, Caps Lock turning the case round, Enter and Tab, nothing beyond ASCII.
        {"us", U'a', false, TCharacterKeys{{}, {key::A, 0}}},
        {"us", U'A', false, TCharacterKeys{{}, {key::A, S}}},
        {"us", U'A', true, TCharacterKeys{{}, {key::A, 0}}},
        {"us", U'@', false, TCharacterKeys{{}, {key::D2, S}}},
        {"us", U'\n', false, TCharacterKeys{{}, {key::Enter, 0}}},
        {"us", U'\t', true, TCharacterKeys{{}, {key::Tab, 0}}},
        {"us", U'ü', false, std::nullopt},
        {"us", U'€', false, std::nullopt},
        // German: Y and Z swapped, ß and Ö on their own keys, @ and € with AltGr, accents through
        // dead keys, the bare circumflex as dead key then space.
        {"de", U'z', false, TCharacterKeys{{}, {key::Y, 0}}},
        {"de", U'y', false, TCharacterKeys{{}, {key::Z, 0}}},
        {"de", U'ß', false, TCharacterKeys{{}, {key::Minus, 0}}},
        {"de", U'Ö', false, TCharacterKeys{{}, {key::Semicolon, S}}},
        {"de", U'Ö', true, TCharacterKeys{{}, {key::Semicolon, 0}}},
        {"de", U'&', false, TCharacterKeys{{}, {key::D6, S}}},
        {"de", U'@', false, TCharacterKeys{{}, {key::Q, G}}},
        {"de", U'€', false, TCharacterKeys{{}, {key::E, G}}},
        {"de", U'{', false, TCharacterKeys{{}, {key::D7, G}}},
        {"de", U'|', false, TCharacterKeys{{}, {key::NonUsBackslash, G}}},
        {"de", U'é', false, TCharacterKeys{{key::Equal, 0}, {key::E, 0}}},
        {"de", U'^', false, TCharacterKeys{{key::Grave, 0}, {key::Space, 0}}},
        {"de", U'ñ', false, std::nullopt},
        // French: AZERTY letters, digits with Shift, é on the digit row, @ with AltGr, ê and ü
        // through the dead circumflex and (with Shift) the dead diaeresis.
        {"fr", U'a', false, TCharacterKeys{{}, {key::Q, 0}}},
        {"fr", U'q', false, TCharacterKeys{{}, {key::A, 0}}},
        {"fr", U'1', false, TCharacterKeys{{}, {key::D1, S}}},
        {"fr", U'é', false, TCharacterKeys{{}, {key::D2, 0}}},
        {"fr", U'@', false, TCharacterKeys{{}, {key::D0, G}}},
        {"fr", U'ê', false, TCharacterKeys{{key::LeftBracket, 0}, {key::E, 0}}},
        {"fr", U'ü', false, TCharacterKeys{{key::LeftBracket, S}, {key::U, 0}}},
        {"fr", U'Ê', false, TCharacterKeys{{key::LeftBracket, 0}, {key::E, S}}},
        {"fr", U'ñ', false, std::nullopt},
        // Nothing types control characters or emoji.
        {"de", U'\a', false, std::nullopt},
        {"fr", U'\U0001F600', false, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.layout) + " U+" + std::to_string(static_cast<uint32_t>(c.c)) +
                     (c.caps ? " caps" : ""));
        const TCharacterKeys* found = Layout(c.layout).Find(c.c, c.caps);
        if (!c.keys) {
            EXPECT_EQ(found, nullptr);
            continue;
        }
        ASSERT_NE(found, nullptr);
        EXPECT_EQ(found->Dead, c.keys->Dead);
        EXPECT_EQ(found->Key, c.keys->Key);
    }
}

// Every way a table lists, typed into a target of the same layout in that Caps Lock state, gives
// exactly its character: the builder and the target's decoding agree on every key, level and dead
// key, not only on the rows above.
TEST(LayoutKeys, EveryListedCharacterTypesItselfOnATargetOfThatLayout) {
    struct TCase {
        const char* Name;
        TTargetSystem System;
    };
    const TCase cases[] = {
        {"us", TTargetSystem::Linux},         {"de", TTargetSystem::Linux},
        {"fr", TTargetSystem::Linux},         {"ch(fr)", TTargetSystem::Linux},
        {"us(intl)", TTargetSystem::Linux},   {"us", TTargetSystem::Windows},
        {"de", TTargetSystem::Windows},       {"fr", TTargetSystem::Windows},
        {"us(intl)", TTargetSystem::Windows}, {"ch(fr)", TTargetSystem::Windows},
        {"us", TTargetSystem::Mac},           {"de", TTargetSystem::Mac},
        {"fr", TTargetSystem::Mac},           {"de(mac)", TTargetSystem::Mac},
    };
    for (const TCase& c : cases) {
        const char* name = c.Name;
        SCOPED_TRACE(std::string(name) + " " + std::to_string(static_cast<int>(c.System)));
        std::string error;
        const auto layout = BuildLayoutKeys(name, c.System, &error);
        ASSERT_NE(layout, nullptr) << error;
        auto target = TXkbTextDecoder::Create(name, c.System, &error);
        ASSERT_NE(target, nullptr) << error;
        EXPECT_GT(layout->Size(false), 80u);
        for (const bool caps : {false, true}) {
            const uint8_t leds = caps ? LedCapsLock : 0;
            int checked = 0;
            for (char32_t c = 1; c < 0x2100; ++c) {
                const TCharacterKeys* keys = layout->Find(c, caps);
                if (keys == nullptr) {
                    continue;
                }
                std::string typed;
                if (keys->HasDead()) {
                    typed += Type(*target, keys->Dead, leds);
                }
                typed += Type(*target, keys->Key, leds);
                EXPECT_EQ(typed, Utf8(c))
                    << "U+" << std::hex << static_cast<uint32_t>(c) << (caps ? " caps" : "");
                ++checked;
            }
            EXPECT_GT(checked, 40);
        }
    }
}

// Windows and macOS make only the dead-key combinations and AltGr characters their layouts have:
// what only X's compose table or the keyboard data's AltGr level makes is untypeable there, and a
// Windows target shows a dead key before a letter it does not combine with as both characters.
TEST(LayoutKeys, SystemsMakeOnlyTheirOwnCombinations) {
    constexpr auto Linux = TTargetSystem::Linux;
    constexpr auto Windows = TTargetSystem::Windows;
    constexpr auto Mac = TTargetSystem::Mac;
    constexpr uint8_t Acute = key::Equal;  // the German dead acute, right of sharp s
    struct TRow {
        const char* Layout;
        TTargetSystem System;
        char32_t Character;
        std::optional<TCharacterKeys> Keys;  // nullopt: untypeable
    };
    const TRow rows[] = {
        {"de", Linux, U'\u017a', TCharacterKeys{{Acute, 0}, {key::Y, 0}}},  // z acute: ´ then z
        {"de", Windows, U'\u017a', std::nullopt},
        {"de", Windows, U'\u0107', std::nullopt},  // c acute
        {"de", Windows, U'\u00e1', TCharacterKeys{{Acute, 0}, {key::A, 0}}},
        {"de", Windows, U'\u00b4', TCharacterKeys{{Acute, 0}, {key::Space, 0}}},
        {"de", Windows, U'@', TCharacterKeys{{}, {key::Q, G}}},
        {"de", Windows, U'\u00e6', std::nullopt},  // ae: AltGr+A on Linux only
        {"de", Linux, U'\u00e6', TCharacterKeys{{}, {key::A, G}}},
        {"us(intl)", Linux, U'\u0107', TCharacterKeys{{key::Apostrophe, 0}, {key::C, 0}}},
        {"us(intl)", Windows, U'\u0107', std::nullopt},
        {"us(intl)", Windows, U'\u00e7', TCharacterKeys{{}, {key::Comma, G}}},
        {"us(intl)", Windows, U'\'', TCharacterKeys{{key::Apostrophe, 0}, {key::Space, 0}}},
        {"fr", Windows, U'~', TCharacterKeys{{key::D2, G}, {key::Space, 0}}},  // a dead key there
        {"fr", Windows, U'\u00f1', TCharacterKeys{{key::D2, G}, {key::N, 0}}},
        {"us", Mac, U'`', std::nullopt},  // its key is swapped on some keyboards
        {"de", Mac, U'@', std::nullopt},  // Option+L on Apple's German layout
        {"de", Mac, U'\u00e9', TCharacterKeys{{Acute, 0}, {key::E, 0}}},
        {"de", Mac, U'\u00fd', std::nullopt},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(row.Layout) + " " + std::to_string(static_cast<int>(row.System)) + " U+" +
                     std::to_string(static_cast<uint32_t>(row.Character)));
        std::string error;
        const auto layout = BuildLayoutKeys(row.Layout, row.System, &error);
        ASSERT_NE(layout, nullptr) << error;
        const TCharacterKeys* keys = layout->Find(row.Character, false);
        if (!row.Keys) {
            EXPECT_EQ(keys, nullptr);
        } else {
            ASSERT_NE(keys, nullptr);
            EXPECT_EQ(*keys, *row.Keys);
        }
    }

    struct TTyped {
        const char* Layout;
        TTargetSystem System;
        std::vector<TKeyStroke> Keys;
        std::string Text;
    };
    const TTyped typed[] = {
        {"de", Linux, {{Acute, 0}, {key::Y, 0}}, "\u017a"},
        {"de", Windows, {{Acute, 0}, {key::Y, 0}}, "\u00b4z"},
        {"us(intl)", Windows, {{key::Apostrophe, 0}, {key::C, 0}}, "\u00e7"},
        {"us(intl)", Windows, {{key::Apostrophe, 0}, {key::Z, 0}}, "'z"},
        {"de", Mac, {{Acute, 0}, {key::Y, 0}}, "\u00b4z"},
        {"fr", Windows, {{key::Grave, S}}, ""},  // nothing on Shift there
        {"us", Windows, {{key::Q, G}}, ""},      // right Alt is Alt without AltGr
    };
    for (const TTyped& t : typed) {
        SCOPED_TRACE(std::string(t.Layout) + " " + std::to_string(static_cast<int>(t.System)) + " " + t.Text);
        std::string error;
        auto target = TXkbTextDecoder::Create(t.Layout, t.System, &error);
        ASSERT_NE(target, nullptr) << error;
        std::string text;
        for (const TKeyStroke& k : t.Keys) {
            text += Type(*target, k, 0);
        }
        EXPECT_EQ(text, t.Text);
    }
}

// A Windows target enters a character from left Alt held and 0 and its code on the keypad, with
// Num Lock on; with it off the keypad's digits are cursor keys (Alt+End, Alt+Left) and nothing is
// entered.
TEST(LayoutKeys, Decoder_WindowsAltCodesNeedNumLock) {
    std::string error;
    const auto us = BuildLayoutKeys("us", TTargetSystem::Windows, &error);
    ASSERT_NE(us, nullptr) << error;
    for (const bool numLock : {true, false}) {
        SCOPED_TRACE(numLock ? "Num Lock on" : "Num Lock off");
        auto target = TXkbTextDecoder::Create("us", TTargetSystem::Windows, &error);
        ASSERT_NE(target, nullptr) << error;
        uint8_t leds = numLock ? LedNumLock : 0;
        uint8_t held = 0;
        std::string text;
        // The reports the app makes, with the Num Lock it would have planned for: on.
        for (const TKeyStroke& report :
             UnicodeEntryReports(U'\u00f1', TUnicodeEntry::Windows, *us, false, true)) {
            for (int bit = 0; bit < 8; ++bit) {
                const bool was = ((held >> bit) & 1) != 0;
                const bool is = ((report.Modifiers >> bit) & 1) != 0;
                if (was != is) {
                    text += target->Key(static_cast<uint8_t>(224 + bit), is, leds);
                }
            }
            if (report.Usage != 0) {
                text += target->Key(report.Usage, true, leds);
                text += target->Key(report.Usage, false, leds);
            }
            held = report.Modifiers;
        }
        EXPECT_EQ(text, numLock ? "\u00f1" : "");
    }
}

TEST(LayoutKeys, UnknownOrMalformedLayoutsAreRefusedInPlainWords) {
    std::string error;
    EXPECT_EQ(BuildLayoutKeys("xx-no-such-layout", &error), nullptr);
    EXPECT_NE(error.find("has no layout"), std::string::npos) << error;
    for (const char* bad : {"", "de(", "de)", "../../etc/passwd", "de,fr", "de(nodeadkeys)x"}) {
        error.clear();
        EXPECT_EQ(BuildLayoutKeys(bad, &error), nullptr) << bad;
        EXPECT_FALSE(IsLayoutName(bad)) << bad;
        EXPECT_NE(error.find("no keyboard layout name"), std::string::npos) << error;
    }
    EXPECT_TRUE(IsLayoutName("ch(fr)"));
    EXPECT_EQ(TXkbTextDecoder::Create("xx-no-such-layout", &error), nullptr);
}

TEST(LayoutKeys, AvailableLayoutsListLayoutsAndVariants) {
    std::map<std::string, std::string> byName;
    for (const TLayoutChoice& choice : AvailableLayouts()) {
        byName[choice.Name] = choice.Description;
    }
    EXPECT_EQ(byName["us"], "English (US)");
    EXPECT_EQ(byName["de"], "German");
    EXPECT_TRUE(byName.count("ch(fr)"));
    EXPECT_TRUE(byName.count("us(intl)"));
}

// A target's shortcuts type nothing; AltGr on a layout that has it is no shortcut; a dead key
// followed by a key it does not combine with types nothing.
TEST(LayoutKeys, Decoder_ShortcutsAltGrAndCancelledDeadKeys) {
    std::string error;
    auto us = TXkbTextDecoder::Create("us", &error);
    ASSERT_NE(us, nullptr) << error;
    EXPECT_EQ(Type(*us, {key::Q, G}, 0), "") << "right Alt is Alt on a US layout";
    EXPECT_EQ(Type(*us, {key::Q, 0x01}, 0), "") << "Ctrl+Q";
    EXPECT_EQ(Type(*us, {key::Q, 0}, 0), "q");
    auto de = TXkbTextDecoder::Create("de", &error);
    ASSERT_NE(de, nullptr) << error;
    EXPECT_EQ(Type(*de, {key::Q, G}, 0), "@");
    EXPECT_EQ(Type(*de, {key::Grave, 0}, 0), "");
    EXPECT_EQ(Type(*de, {key::D1, 0}, 0), "¹") << "^ then 1 combine";
    EXPECT_EQ(Type(*de, {key::Grave, 0}, 0), "");
    EXPECT_EQ(Type(*de, {key::Q, 0}, 0), "") << "^ then q: no such combination";
    EXPECT_EQ(Type(*de, {key::Q, 0}, 0), "q") << "the dead key is forgotten";
    EXPECT_EQ(Type(*de, {key::Enter, 0}, 0), "\n");
}

// Linux keys and usages through the project's one table of each, both ways.
TEST(KeyUsages, LinuxKeysAndUsagesMapBothWays) {
    struct Case {
        unsigned key;
        uint8_t usage;
    };
    const Case cases[] = {{30, 4},   {44, 29},   {2, 30},   {28, 40}, {43, 49},  {86, 100}, {42, 225},
                          {54, 229}, {100, 230}, {97, 228}, {69, 83}, {119, 72}, {96, 88}};
    for (const Case& c : cases) {
        EXPECT_EQ(UsageOfLinuxKey(c.key), c.usage) << c.key;
        EXPECT_EQ(LinuxKeyOfUsage(c.usage), c.key) << int(c.usage);
    }
    EXPECT_EQ(LinuxKeyOfUsage(50), 43u) << "the non-US # key is the backslash key";
    EXPECT_EQ(UsageOfLinuxKey(0), 0);
    EXPECT_EQ(LinuxKeyOfUsage(0), 0u);
    for (unsigned key = 1; key < 256; ++key) {
        const uint8_t usage = UsageOfLinuxKey(key);
        if (usage != 0 && usage != 70 && usage != 72) {  // Print Screen and Pause have two codes
            EXPECT_EQ(LinuxKeyOfUsage(usage), key) << key;
        }
    }
}
