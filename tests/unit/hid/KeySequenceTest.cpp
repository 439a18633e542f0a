#include "hid/KeySequence.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using TKind = TKeySequenceItem::TKind;

TKeySequenceItem Text(std::size_t At, std::u32string Characters) {
    TKeySequenceItem item;
    item.Position = At;
    item.Text = std::move(Characters);
    return item;
}

TKeySequenceItem Key(std::size_t At, uint8_t Modifiers, uint8_t Usage, std::chrono::milliseconds Hold = 0ms) {
    TKeySequenceItem item;
    item.Kind = TKind::Key;
    item.Position = At;
    item.Modifiers = Modifiers;
    item.Usage = Usage;
    item.Time = Hold;
    return item;
}

TKeySequenceItem CharKey(std::size_t At, uint8_t Modifiers, char32_t c, std::size_t NameAt) {
    TKeySequenceItem item = Key(At, Modifiers, 0);
    item.Character = c;
    item.NamePosition = NameAt;
    return item;
}

TKeySequenceItem Wait(std::size_t At, std::chrono::milliseconds Time) {
    TKeySequenceItem item;
    item.Kind = TKind::Wait;
    item.Position = At;
    item.Time = Time;
    return item;
}

}  // namespace

// Every token kind, the brace escapes, spelling freedom (case, spaces, aliases) and where each part
// starts.
TEST(KeySequence, Parse_GoodSequences) {
    struct TRow {
        std::u32string Text;
        std::vector<TKeySequenceItem> Items;
    };
    const TRow rows[] = {
        {U"user{Tab}pass{Enter}", {Text(0, U"user"), Key(4, 0, 43), Text(9, U"pass"), Key(13, 0, 40)}},
        {U"{Ctrl+Alt+Del}", {Key(0, 0x05, 76)}},
        {U"{ctrl + ALT + delete}", {Key(0, 0x05, 76)}},
        {U"{Win+R}", {CharKey(0, 0x08, U'R', 5)}},
        {U"{F2 hold 3s}", {Key(0, 0, 59, 3000ms)}},
        {U"{ AltGr  hold 250ms }", {Key(0, 0x40, 0, 250ms)}},
        {U"{Shift}", {Key(0, 0x02, 0)}},
        {U"{wait 500ms}{wait 1.5s}", {Wait(0, 500ms), Wait(12, 1500ms)}},
        {U"{{Enter}", {Text(0, U"{Enter}")}},
        {U"a}b{{", {Text(0, U"a}b{")}},
        {U"{Ctrl++}{+}", {CharKey(0, 0x01, U'+', 6), CharKey(8, 0, U'+', 9)}},
        {U"\u00e9{RCtrl+RShift+RWin+\u00f6}", {Text(0, U"\u00e9"), CharKey(1, 0xB0, U'\u00f6', 20)}},
        {U"{Esc}{F12}{F24}{Num0}{PgDn}{Menu}",
         {Key(0, 0, 41), Key(5, 0, 69), Key(10, 0, 115), Key(15, 0, 98), Key(21, 0, 78), Key(27, 0, 101)}},
        {U"", {}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(std::string(row.Text.begin(), row.Text.end()));
        const TKeySequenceParse parse = ParseKeySequence(row.Text);
        ASSERT_FALSE(parse.Error.has_value()) << parse.Error->Position << ": " << parse.Error->Reason;
        EXPECT_EQ(parse.Sequence.Items, row.Items);
    }
}

// The first wrong token is refused with where it is wrong (in characters, not bytes) and why; what
// comes before it does not matter.
TEST(KeySequence, Parse_WrongSequencesSayWhereAndWhy) {
    struct TRow {
        std::u32string Text;
        std::size_t Position;
        std::string Why;
    };
    std::u32string manyTokens;
    for (std::size_t i = 0; i <= KeySequenceMaxTokens; ++i) {
        manyTokens += U"{Tab}";
    }
    const TRow rows[] = {
        {U"ab{Dle}", 3, "\u201CDle\u201D is no key name"},
        {U"\u00e9\u00e9{Dle}{Xyz}", 3, "\u201CDle\u201D is no key name"},
        {U"x{Enter", 1, "is not closed"},
        {U"x{Enter and then some more text that runs on and on and never closes a brace}}", 1,
         "is not closed"},
        {U"{}", 0, "names no key"},
        {U"{  }", 0, "names no key"},
        {U"{Tab+Ctrl}", 1, "only modifiers"},
        {U"{Ctrl+}", 5, "must follow"},
        {U"{Ctrl Alt}", 6, "not expected"},
        {U"{F2 hold}", 4, "needs a time"},
        {U"{F2 hold 3}", 9, "has no unit"},
        {U"{F2 hold 61s}", 9, "longer than the 60 s allowed"},
        {U"{F2 hold 3m}", 9, "is no time"},
        {U"{wait}", 1, "needs a time"},
        {U"{wait 0ms}", 6, "no time at all"},
        {U"{wait 1.5ms}", 6, "is no time"},
        {U"{wait 0.0001s}", 6, "finer than a millisecond"},
        {U"{wait 9999999999ms}", 6, "too long"},
        {U"{wait 601s}", 6, "longer than the 600 s allowed"},
        {U"{Enter twice}", 7, "not expected"},
        {U"{Enter hold 1s 2s}", 15, "not expected"},
        {manyTokens, 5 * KeySequenceMaxTokens, "more than 1000 keys and waits"},
        {std::u32string(KeySequenceMaxLength + 1, U'a'), KeySequenceMaxLength,
         "longer than 20000 characters"},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(
            std::string(row.Text.begin(), row.Text.begin() + std::min<std::size_t>(row.Text.size(), 60)));
        const TKeySequenceParse parse = ParseKeySequence(row.Text);
        ASSERT_TRUE(parse.Error.has_value());
        EXPECT_EQ(parse.Error->Position, row.Position);
        EXPECT_NE(parse.Error->Reason.find(row.Why), std::string::npos) << parse.Error->Reason;
    }
    EXPECT_FALSE(ParseKeySequence(std::u32string(KeySequenceMaxLength, U'a')).Error.has_value());
}

namespace {

// A small layout of its own: 'z' and 'y' change places as on German keyboards, '/' takes Shift,
// '^' is a dead key, and Caps Lock makes capitals without Shift.
std::shared_ptr<const TLayoutKeys> SmallLayout() {
    auto layout = std::make_shared<TLayoutKeys>("xx");
    for (const bool caps : {false, true}) {
        const uint8_t capital = caps ? 0 : ModifierLeftShift;
        const uint8_t small = caps ? ModifierLeftShift : 0;
        layout->Add(U'z', caps, {{}, {28, small}});
        layout->Add(U'Z', caps, {{}, {28, capital}});
        layout->Add(U'y', caps, {{}, {29, small}});
        layout->Add(U'a', caps, {{}, {4, small}});
        layout->Add(U'/', caps, {{}, {36, ModifierLeftShift}});
        layout->Add(U'^', caps, {{53, 0}, {44, 0}});
    }
    return layout;
}

}  // namespace

// Each token kind as the reports a target gets: a modifier goes down before its key and comes up
// after it; a key named by its character is the key that types it on the layout (a capital names the
// same key, a character that takes Shift keeps it); text between keys is planned as text.
TEST(KeySequence, Plan_EachTokenKindAsReports) {
    const auto layout = SmallLayout();
    const TKeySequenceParse parse =
        ParseKeySequence(U"za{Ctrl+Alt+Del}{Win+Z}{F2 hold 3s}{wait 500ms}{Ctrl+/}{Shift}{AltGr+y hold 1s}y");
    ASSERT_FALSE(parse.Error.has_value()) << parse.Error->Reason;
    const TKeySequencePlanning planning = PlanKeySequence(parse.Sequence, *layout, false);
    ASSERT_FALSE(planning.Error.has_value()) << planning.Error->Reason;
    const TKeySequencePlan& plan = planning.Plan;
    std::u32string characters = U"za";
    for (char32_t i = 0; i < 7; ++i) {
        characters += KeyStepMark + i;
    }
    characters += U"y";
    EXPECT_EQ(plan.Text.Characters, characters);
    EXPECT_TRUE(plan.Text.Refused.empty());
    const std::vector<TSequenceStep> steps = {
        {{{0, 0x05}, {76, 0x05}, {0, 0x05}, {0, 0}}, 1, 0ms},
        {{{0, 0x08}, {28, 0x08}, {0, 0x08}, {0, 0}}, 1, 0ms},
        {{{59, 0}, {0, 0}}, 0, 3000ms},
        {{}, 0, 500ms},
        {{{0, 0x03}, {36, 0x03}, {0, 0x03}, {0, 0}}, 1, 0ms},
        {{{0, 0x02}, {0, 0}}, 0, 0ms},
        {{{0, 0x40}, {29, 0x40}, {0, 0x40}, {0, 0}}, 1, 1000ms},
    };
    EXPECT_EQ(plan.Steps, steps);
    EXPECT_TRUE(plan.Steps[3].Wait());
}

// A key named by a character the layout cannot press alone is refused where it is named; the text's
// characters the layout lacks are counted once over all the text parts, as for a plain text.
TEST(KeySequence, Plan_RefusalsOfTheLayout) {
    const auto layout = SmallLayout();
    struct TRow {
        std::u32string Text;
        std::size_t Position;
        std::string Why;
    };
    const TRow rows[] = {
        {U"za{Ctrl+\u00e9}", 8, "\u201C\u00e9\u201D is no key of the \u201Cxx\u201D keyboard layout"},
        {U"{Tab}{^ hold 1s}", 6, "takes a dead key"},
    };
    for (const TRow& row : rows) {
        const TKeySequenceParse parse = ParseKeySequence(row.Text);
        ASSERT_FALSE(parse.Error.has_value()) << parse.Error->Reason;
        const TKeySequencePlanning planning = PlanKeySequence(parse.Sequence, *layout, false);
        ASSERT_TRUE(planning.Error.has_value());
        EXPECT_EQ(planning.Error->Position, row.Position);
        EXPECT_NE(planning.Error->Reason.find(row.Why), std::string::npos) << planning.Error->Reason;
    }
    const TKeySequencePlanning planning =
        PlanKeySequence(ParseKeySequence(U"q\u00e9{Tab}\u00e9qa").Sequence, *layout, false);
    ASSERT_FALSE(planning.Error.has_value());
    EXPECT_EQ(planning.Plan.Text.Characters, std::u32string(U"") + KeyStepMark + U"a");
    ASSERT_EQ(planning.Plan.Text.Refused.size(), 2u);
    EXPECT_EQ(planning.Plan.Text.Refused[0].Character, U'q');
    EXPECT_EQ(planning.Plan.Text.Refused[0].Count, 2u);
    EXPECT_EQ(planning.Plan.Text.Refused[1].Character, U'\u00e9');
    EXPECT_EQ(planning.Plan.Text.Refused[1].Count, 2u);
}

// Saved sequences come from a file anyone may write: any text ends in a sequence or in an error
// inside the text, and a sequence plans into steps its marks all name.
TEST(KeySequence, ParseAndPlan_AnyTextIsASequenceOrAnErrorInside) {
    const std::u32string pieces[] = {U"{",    U"}",  U"{{",     U"+",    U" ",     U"a",  U"Z",
                                     U"1",    U"F2", U"Ctrl",   U"hold", U"wait",  U"3s", U"500ms",
                                     U"1.5s", U".",  U"\u00e9", U"\n",   U"Enter", U"^"};
    const auto layout = SmallLayout();
    uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    int sequences = 0;
    for (int round = 0; round < 5000; ++round) {
        std::u32string text;
        const uint32_t length = next() % 24;
        for (uint32_t i = 0; i < length; ++i) {
            text += pieces[next() % std::size(pieces)];
        }
        const TKeySequenceParse parse = ParseKeySequence(text);
        if (parse.Error) {
            EXPECT_LT(parse.Error->Position, text.size() + 1) << round;
            EXPECT_FALSE(parse.Error->Reason.empty());
            continue;
        }
        ++sequences;
        const TKeySequencePlanning planning = PlanKeySequence(parse.Sequence, *layout, next() % 2 == 0);
        if (planning.Error) {
            EXPECT_LT(planning.Error->Position, text.size());
            continue;
        }
        for (const char32_t c : planning.Plan.Text.Characters) {
            if (IsKeyStepMark(c)) {
                EXPECT_LT(c - KeyStepMark, planning.Plan.Steps.size());
            }
        }
        for (const TSequenceStep& step : planning.Plan.Steps) {
            if (!step.Wait()) {
                EXPECT_LT(step.HoldAfter, step.Reports.size() - 1) << "a release follows the press";
                EXPECT_EQ(step.Reports.back(), TKeyStroke{}) << "every step ends with all released";
            }
        }
    }
    EXPECT_GT(sequences, 500) << "the pieces make enough right sequences to plan";
}
