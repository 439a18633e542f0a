// The notices on their own, without a window: which stand, in what order the status bar shows them,
// and what the link and pass-through state says.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

#include "app/Notices.h"

namespace {

// Whatever order notices are set and cleared in, the panel shows the standing ones most pressing
// first (the order of TNotice), and a text set again unchanged is no change.
TEST(Notices, Set_ShowsStandingNoticesMostPressingFirst) {
    struct TStep {
        TNotice Kind;
        const char* Text;
        bool Changed;
        const char* Line;  // the panel after the step
    };
    struct TRow {
        const char* Name;
        std::vector<TStep> Steps;
    };
    const TRow rows[] = {
        {"one notice, set, repeated, cleared",
         {{TNotice::Guide, "scan", true, "scan"},
          {TNotice::Guide, "scan", false, "scan"},
          {TNotice::Guide, "", true, ""},
          {TNotice::Guide, "", false, ""}}},
        {"a less pressing one set first stays behind",
         {{TNotice::Guide, "scan", true, "scan"},
          {TNotice::Typing, "typed", true, "typed \u00b7 scan"},
          {TNotice::CaptureUnavailable, "no capture", true, "no capture \u00b7 typed \u00b7 scan"}}},
        {"clearing the middle one closes the gap",
         {{TNotice::LinkLost, "dropped", true, "dropped"},
          {TNotice::Route, "\u2192 all", true, "dropped \u00b7 \u2192 all"},
          {TNotice::Settings, "leader", true, "dropped \u00b7 \u2192 all \u00b7 leader"},
          {TNotice::Route, "", true, "dropped \u00b7 leader"},
          {TNotice::LinkLost, "two dropped", true, "two dropped \u00b7 leader"}}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        TNotices notices;
        for (const TStep& step : row.Steps) {
            SCOPED_TRACE(step.Text);
            EXPECT_EQ(notices.Set(step.Kind, QString::fromUtf8(step.Text)), step.Changed);
            EXPECT_EQ(notices.Text(step.Kind), QString::fromUtf8(step.Text));
            EXPECT_EQ(notices.Line(), QString::fromUtf8(step.Line));
            EXPECT_EQ(notices.ToolTip(), notices.Shown().join(QLatin1Char('\n')));
        }
    }
}

TEST(Notices, ToolTip_ListsEveryNoticeInFullOneALine) {
    TNotices notices;
    notices.Set(TNotice::Settings, QStringLiteral("a \u00b7 b"));
    notices.Set(TNotice::StackProblem, QStringLiteral("no adapter"));
    EXPECT_EQ(notices.ToolTip(), QStringLiteral("no adapter\na \u00b7 b"));
    EXPECT_EQ(notices.Shown(), (QStringList{QStringLiteral("no adapter"), QStringLiteral("a \u00b7 b")}));
}

// What the link notices say for each state of pass-through, input and dropped dongles.
TEST(Notices, LinkNotices_PerState) {
    // Ctrl+Shift pauses the mouse only where the mouse is sent: advice about it otherwise misleads.
    const QString keypad = QStringLiteral("Keypad mouse: hold Ctrl+Shift, use the numeric keypad");
    const QString keypadAndPause = QStringLiteral(
        "Keypad mouse: hold Ctrl+Shift, use the numeric keypad; Ctrl+Shift alone pauses the mouse");
    const QString nowhere = QStringLiteral("No dongle connected \u2014 keys go nowhere; Ctrl+Shift+F12 ends");
    struct TRow {
        const char* Name;
        TLinkState State;
        TLinkNotices Expected;
    };
    const TRow rows[] = {
        {"nothing on, nothing dropped", {false, false, false, {}}, {}},
        {"off, one dropped",
         {false, true, false, {"Desk"}},
         {"Desk dropped; reconnecting by itself", {}, {}, false}},
        {"off, two dropped",
         {false, false, false, {"Desk", "Lab"}},
         {"Desk, Lab dropped; reconnecting by themselves", {}, {}, false}},
        {"on, input taken", {true, true, false, {}}, {{}, {}, keypad, true}},
        {"on, input taken, the mouse sent too",
         {true, true, false, {}, TRadioProblem::None, true},
         {{}, {}, keypadAndPause, true}},
        {"off, the mouse ticked", {false, true, false, {}, TRadioProblem::None, true}, {}},
        {"on, no input", {true, false, false, {}}, {{}, nowhere, keypad, true}},
        {"on, no input, one dropped: the way out goes first",
         {true, false, false, {"Desk"}},
         {"Keys go nowhere (Ctrl+Shift+F12 ends): Desk dropped; reconnecting by itself", {}, keypad, true}},
        {"on, held route says it itself", {true, false, true, {}}, {{}, {}, keypad, true}},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const TLinkNotices notices = LinkNotices(row.State);
        EXPECT_EQ(notices.LinkLost, row.Expected.LinkLost);
        EXPECT_EQ(notices.NoDongle, row.Expected.NoDongle);
        EXPECT_EQ(notices.KeypadHint, row.Expected.KeypadHint);
        EXPECT_EQ(notices.ClearGuide, row.Expected.ClearGuide);
    }
}

// Two messages made one text read as two sentences, never run together.
TEST(Notices, JoinSentences_PutsAFullStopOnlyWhereNoneEndsTheFirst) {
    const struct {
        const char* First;
        const char* Second;
        const char* Joined;
    } rows[] = {
        {"Unable to write to /x/settings.ini: access denied", "Scroll Lock is used.",
         "Unable to write to /x/settings.ini: access denied. Scroll Lock is used."},
        {"It is read-only.", "Scroll Lock is used.", "It is read-only. Scroll Lock is used."},
        {"Why?  ", " Then this.", "Why? Then this."},
        {"", "Only this.", "Only this."},
        {"Only this", "", "Only this"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(JoinSentences(QString::fromUtf8(row.First), QString::fromUtf8(row.Second)),
                  QString::fromUtf8(row.Joined));
    }
}

}  // namespace
