#include "hid/TextKeys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "VirtualDongle.h"

namespace {

constexpr TUSBDeviceID WithId{0x0451, 0x16B4, 0};
constexpr TUSBDeviceID Plain{0x0451, 0xE010, 1};
constexpr TUSBDeviceID KeyboardOnly{0x045E, 0x002D, 0};
constexpr TUSBDeviceID Unknown{};
const TBluetoothUuid F801 = TBluetoothUuid::FromShort(0xF801);

}  // namespace

// Every printable ASCII character, typed by its key, comes out as itself on a US target: the
// table agrees with the virtual target's independent decoding, shifted and unshifted alike.
TEST(TextKeys, UsKeyForCharacter_EveryPrintableAsciiTypesItself) {
    for (char32_t c = 0x20; c <= 0x7E; ++c) {
        SCOPED_TRACE(static_cast<int>(c));
        const auto key = UsKeyForCharacter(c);
        ASSERT_TRUE(key.has_value());
        EXPECT_EQ(vdongle::UsCharacter(key->Usage, key->Shift), static_cast<char>(c));
    }
}

TEST(TextKeys, UsKeyForCharacter_KnownKeysAndRefusals) {
    struct Case {
        char32_t c;
        std::optional<TTextKey> key;
    };
    const Case cases[] = {
        {U'a', TTextKey{4, false}},   {U'Z', TTextKey{29, true}},   {U'1', TTextKey{30, false}},
        {U'0', TTextKey{39, false}},  {U')', TTextKey{39, true}},   {U'\n', TTextKey{40, false}},
        {U'\r', TTextKey{40, false}}, {U'\t', TTextKey{43, false}}, {U' ', TTextKey{44, false}},
        {U'~', TTextKey{53, true}},   {U'"', TTextKey{52, true}},   {U'\\', TTextKey{49, false}},
        {U'\0', std::nullopt},        {U'\x1B', std::nullopt},      {U'\x7F', std::nullopt},
        {U'é', std::nullopt},         {U'€', std::nullopt},         {U'\U0001F600', std::nullopt},
        {U'\u00A0', std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<uint32_t>(c.c));
        EXPECT_EQ(UsKeyForCharacter(c.c), c.key);
    }
}

TEST(TextKeys, PlanTyping_LineEndsAreOneEnterAndRefusedCharactersAreCountedOnce) {
    const TTypingPlan plan = PlanTyping(U"Hi\r\nä\tx\rä€\n", *BuiltInUsLayout(), false);
    EXPECT_EQ(plan.Characters, U"Hi\n\tx\n\n");
    ASSERT_EQ(plan.Refused.size(), 2u);
    EXPECT_EQ(plan.Refused[0].Character, U'ä');
    EXPECT_EQ(plan.Refused[0].Count, 2u);
    EXPECT_EQ(plan.Refused[1].Character, U'€');
    EXPECT_EQ(plan.RefusedTotal(), 3u);
    EXPECT_TRUE(PlanTyping(U"", *BuiltInUsLayout(), true).Characters.empty());
}

// The built-in US table types every printable ASCII character as itself on a US target, with the
// target's Caps Lock off and on (Shift turns a letter's case back under Caps Lock).
TEST(TextKeys, BuiltInUsLayout_TypesAsciiInBothLockStates) {
    const auto us = BuiltInUsLayout();
    for (const bool caps : {false, true}) {
        for (char32_t c = 0x20; c <= 0x7E; ++c) {
            SCOPED_TRACE(testing::Message() << static_cast<char>(c) << (caps ? " caps" : ""));
            const TCharacterKeys* keys = us->Find(c, caps);
            ASSERT_NE(keys, nullptr);
            EXPECT_FALSE(keys->HasDead());
            const bool shift = (keys->Key.Modifiers & ModifierLeftShift) != 0;
            const bool letter = keys->Key.Usage >= 4 && keys->Key.Usage <= 29;
            EXPECT_EQ(vdongle::UsCharacter(keys->Key.Usage, letter && caps ? !shift : shift),
                      static_cast<char>(c));
        }
        EXPECT_EQ(us->Find(U'\n', caps)->Key, (TKeyStroke{40, 0}));
        EXPECT_EQ(us->Find(U'\t', caps)->Key, (TKeyStroke{43, 0}));
        EXPECT_EQ(us->Find(U'é', caps), nullptr);
    }
}

TEST(TextKeys, MakeKeyboardReportFor_FramedForTheIdentity) {
    EXPECT_EQ(MakeKeyboardReportFor(WithId, 0x02, 4), (THidReport{1, 0x02, 0, 4, 0, 0, 0, 0, 0}));
    EXPECT_EQ(MakeKeyboardReportFor(Plain, 0, 40), (THidReport{0, 0, 40, 0, 0, 0, 0, 0}));
    EXPECT_EQ(MakeKeyboardReportFor(KeyboardOnly, 0, 0), THidReport::Zeroed(8));
    EXPECT_TRUE(MakeKeyboardReportFor(Unknown, 0, 4).empty());
}

// Unlike the process-wide status, a malformed value gives no status rather than another dongle's.
TEST(TextKeys, DecodeLedStatus_OnlyWellFormedValuesOnTheKeyboardCharacteristic) {
    struct Case {
        TUSBDeviceID id;
        TBluetoothUuid uuid;
        std::vector<uint8_t> value;
        std::optional<uint8_t> leds;
    };
    const Case cases[] = {
        {WithId, F801, {1, 0x02}, 0x02},
        {WithId, F801, {2, 0x02}, std::nullopt},
        {WithId, F801, {1, 0x02, 0}, std::nullopt},
        {WithId, F801, {}, std::nullopt},
        {Plain, F801, {0x05, 0xFF}, 0x05},
        {KeyboardOnly, F801, {0x01}, 0x01},
        {Plain, F801, {}, std::nullopt},
        {Plain, TBluetoothUuid::FromShort(0xF80F), {0x01}, std::nullopt},
        {Unknown, F801, {0x01}, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.id.pid << " " << c.value.size());
        EXPECT_EQ(DecodeLedStatus(c.id, c.uuid, c.value), c.leds);
    }
}

// Entering a character by its code: the exact reports of each method, the digits with the layout's
// own keys where the method reads them through the layout, and the codes each method cannot take.
TEST(TextKeys, UnicodeEntryReports_PerMethod) {
    const auto us = BuiltInUsLayout();
    // A layout whose digits need Shift (as on a French target) and which has no 'u'.
    TLayoutKeys shifted("digits-with-shift");
    for (char32_t c : std::u32string(U"0123456789")) {
        const uint8_t usage = c == U'0' ? 39 : static_cast<uint8_t>(30 + (c - U'1'));
        shifted.Add(c, false, {{}, {usage, ModifierLeftShift}});
    }
    using R = std::vector<TKeyStroke>;
    constexpr uint8_t CtrlShift = 0x03, Alt = 0x04;
    struct Case {
        const char* name;
        char32_t c;
        TUnicodeEntry method;
        const TLayoutKeys* layout;
        bool numLock;
        R reports;
    };
    const Case cases[] = {
        {"linux ñ", U'\u00f1', TUnicodeEntry::Linux, us.get(), false,
         R{{24, CtrlShift},
           {0, 0},
           {39, 0},
           {0, 0},
           {39, 0},
           {0, 0},
           {9, 0},
           {0, 0},
           {30, 0},
           {0, 0},
           {44, 0},
           {0, 0}}},
        {"linux, layout without u", U'\u00f1', TUnicodeEntry::Linux, &shifted, false, R{}},
        {"windows é, Num Lock off", U'\u00e9', TUnicodeEntry::Windows, us.get(), false,
         R{{83, 0},
           {0, 0},
           {0, Alt},
           {98, Alt},
           {0, Alt},
           {90, Alt},
           {0, Alt},
           {91, Alt},
           {0, Alt},
           {91, Alt},
           {0, Alt},
           {0, 0},
           {83, 0},
           {0, 0}}},
        {"windows é, Num Lock on", U'\u00e9', TUnicodeEntry::Windows, &shifted, true,
         R{{0, Alt},
           {98, Alt},
           {0, Alt},
           {90, Alt},
           {0, Alt},
           {91, Alt},
           {0, Alt},
           {91, Alt},
           {0, Alt},
           {0, 0}}},
        {"windows beyond Latin-1", U'\u20ac', TUnicodeEntry::Windows, us.get(), true, R{}},
        {"mac €", U'\u20ac', TUnicodeEntry::Mac, &shifted, false,
         R{{0, Alt},
           {31, Alt},
           {0, Alt},
           {39, Alt},
           {0, Alt},
           {4, Alt},
           {0, Alt},
           {6, Alt},
           {0, Alt},
           {0, 0}}},
        {"mac beyond the BMP", U'\U0001F600', TUnicodeEntry::Mac, us.get(), false, R{}},
        {"off", U'\u00f1', TUnicodeEntry::Off, us.get(), false, R{}},
        {"a control character", U'\a', TUnicodeEntry::Linux, us.get(), false, R{}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(UnicodeEntryReports(c.c, c.method, *c.layout, false, c.numLock), c.reports);
    }
    // With an entry method a character the layout lacks is planned, not refused.
    const TTypingPlan plan = PlanTyping(U"a\u00f1\U0001F600", *us, false, TUnicodeEntry::Mac);
    EXPECT_EQ(plan.Characters, U"a\u00f1");
    ASSERT_EQ(plan.Refused.size(), 1u);
    EXPECT_EQ(plan.Refused[0].Character, U'\U0001F600');
}
