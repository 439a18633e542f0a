// The hook handlers' logic: sequences of hooked events and the reports one dongle receives.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ForwardingTestSupport.h"

using namespace fwdtest;

namespace {

using TStrings = std::vector<std::string>;

class ForwardingTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetInputStateForTests();
        ResetForwardingStateForTests();
        w.SwitchOn();
    }
    void TearDown() override {
        ResetInputStateForTests();
        ResetForwardingStateForTests();
    }
    std::vector<intptr_t> Play(const std::vector<TKeyStep>& steps) {
        std::vector<intptr_t> results;
        for (const TKeyStep& s : steps)
            results.push_back(w.Key(s.Scan.Code, s.Release, s.Scan.Extended));
        return results;
    }
    TStrings MouseReports() const {
        TStrings out;
        for (const std::string& r : w.Reports)
            if (r[0] == 'M')
                out.push_back(r);
        return out;
    }

    TRecorder w;
};

struct TKeyRow {
    const char* Name;
    bool Keyboard;
    std::vector<TKeyStep> Steps;
    TStrings Reports;
    std::vector<intptr_t> Results;
    int Exits;
};

const std::vector<TKeyRow>& KeyRows() {
    static const std::vector<TKeyRow> rows = {
        {"HeldKey_OneReportRepeatsSwallowedOneRelease",
         true,
         {Down(ScanA), Down(ScanA), Down(ScanA), Up(ScanA)},
         {"K 4", "K"},
         {1, 1, 1, 1},
         0},
        {"ReleaseOfAKeyNotHeld_SendsNothingIsSwallowed", true, {Up(ScanA)}, {}, {1}, 0},
        {"ControlThenA_EachReportCarriesTheWholeTable",
         true,
         {Down(ScanLCtrl), Down(ScanA), Up(ScanA), Up(ScanLCtrl)},
         {"K m01", "K m01 4", "K m01", "K"},
         {1, 1, 1, 1},
         0},
        {"RightShiftWithExtendedBit_IsShift",
         true,
         {Down(ScanRShift), Up(ScanRShift)},
         {"K m20", "K"},
         {1, 1},
         0},
        {"RightShiftWithoutExtendedBit_IsUnknownButSwallowed",
         true,
         {Down(ScanRShiftPlain), Up(ScanRShiftPlain)},
         {},
         {1, 1},
         0},
        {"KeyboardCleared_KeysGoLocalNothingSent", false, {Down(ScanA), Up(ScanA)}, {}, {0, 0}, 0},
        {"ExitChord_LeftCtrlShiftF12_EndsWithoutSendingTheChord",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanF12)},
         {"K m01", "K m03", "K", "M b0 0,0 w0"},
         {1, 1, 1},
         1},
        {"ExitChord_RightCtrlShiftAndKeyLeftOf1",
         true,
         {Down(ScanRCtrl), Down(ScanRShift), Down(ScanGrave)},
         {"K m10", "K m30", "K", "M b0 0,0 w0"},
         {1, 1, 1},
         1},
        {"ExitChord_F12HeldFirst_RecognisedAtTheLastPress",
         true,
         {Down(ScanF12), Down(ScanLCtrl), Down(ScanLShift)},
         {"K 69", "K m01 69", "K", "M b0 0,0 w0"},
         {1, 1, 1},
         1},
        {"ExitChord_KeyboardCleared_StillEndsAndTheFinalPressGoesLocal",
         false,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanF12)},
         {"K", "M b0 0,0 w0"},
         {0, 0, 0},
         1},
        {"KeypadUnderCtrlShift_IsTheMouseNotAKey",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad8), Down(ScanPad8), Up(ScanPad8)},
         {"K m01", "K m03", "K", "M b0 0,-4 w0", "K", "M b0 0,-4 w0", "M b0 0,0 w0"},
         {1, 1, 1, 1, 1},
         0},
        {"KeypadKeyWithoutAUse_AllReleasedKeyboardOnlyAndSwallowed",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPadSlash), Up(ScanPadSlash)},
         {"K m01", "K m03", "K"},
         {1, 1, 1, 1},
         0},
        // Pad 5's release has no use either: the key after it must not reach the local desktop.
        {"Pad5TappedThenPad8_NothingGoesLocal",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad5), Up(ScanPad5), Down(ScanPad8), Up(ScanPad8)},
         {"K m01", "K m03", "K", "M b0 0,0 w0", "K", "M b0 0,-8 w0", "M b0 0,0 w0"},
         {1, 1, 1, 1, 1, 1},
         0},
        {"KeypadMouse_KeyboardCleared_StillMovesButKeysGoLocal",
         false,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad6), Up(ScanPad6)},
         {"K", "M b0 4,0 w0", "M b0 0,0 w0"},
         {0, 0, 0, 0},
         0},
        {"KeypadMouse_OppositeDirectionsCancel_DiagonalsCombine",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad8), Down(ScanPad2), Up(ScanPad2), Down(ScanPad6)},
         {"K m01", "K m03", "K", "M b0 0,-4 w0", "K", "M b0 0,0 w0", "M b0 0,-4 w0", "K", "M b0 4,-4 w0"},
         {1, 1, 1, 1, 1, 1},
         0},
        {"KeypadMouse_WheelAndButtons",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPadMinus), Up(ScanPadMinus), Down(ScanPadPlus),
          Up(ScanPadPlus), Down(ScanPad7), Up(ScanPad7), Down(ScanPad9), Up(ScanPad9)},
         {"K m01", "K m03", "K", "M b0 0,0 w1", "M b0 0,0 w0", "K", "M b0 0,0 w-1", "M b0 0,0 w0", "K",
          "M b1 0,0 w0", "M b0 0,0 w0", "K", "M b2 0,0 w0", "M b0 0,0 w0"},
         {1, 1, 1, 1, 1, 1, 1, 1, 1, 1},
         0},
        // A key belongs to the mode it was pressed in until it is released.
        {"PadKeyHeldBeforeCtrlShift_ReleasedUnderThem_IsAnOrdinaryRelease",
         true,
         {Down(ScanPad8), Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad8), Up(ScanPad8), Down(ScanPad4)},
         {"K 96", "K m01 96", "K m03 96", "K m03", "K", "M b0 -4,0 w0"},
         {1, 1, 1, 1, 1, 1},
         0},
        {"PadButtonPressedUnderCtrlShift_ReleasedAfterShift_ReleasesTheButton",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad7), Up(ScanLShift), Down(ScanPad7), Up(ScanPad7)},
         {"K m01", "K m03", "K", "M b1 0,0 w0", "M b0 0,0 w0"},
         {1, 1, 1, 1, 1, 1},
         0},
        {"PadDirectionPressedUnderCtrlShift_ReleasedAfterShift_StopsTheDirection",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad8), Up(ScanLShift), Up(ScanPad8), Down(ScanLShift),
          Down(ScanPad4)},
         {"K m01", "K m03", "K", "M b0 0,-4 w0", "K m03", "K", "M b0 -4,0 w0"},
         {1, 1, 1, 1, 1, 1, 1},
         0},
        {"PadKeyWithoutAUsePressedUnderCtrlShift_ReleasedAfterShift_SwallowedToo",
         true,
         {Down(ScanLCtrl), Down(ScanLShift), Down(ScanPad1), Up(ScanLShift), Up(ScanPad1)},
         {"K m01", "K m03", "K"},
         {1, 1, 1, 1, 1},
         0},
    };
    return rows;
}

}  // namespace

TEST_F(ForwardingTest, KeySequences_GiveTheirReportsResultsAndExits) {
    for (const TKeyRow& row : KeyRows()) {
        SCOPED_TRACE(row.Name);
        SetUp();
        w.Reports.clear();
        w.Exits = 0;
        w.Keyboard = row.Keyboard;
        const std::vector<intptr_t> results = Play(row.Steps);
        EXPECT_EQ(w.Reports, row.Reports);
        EXPECT_EQ(results, row.Results);
        EXPECT_EQ(w.Exits, row.Exits);
    }
}

TEST_F(ForwardingTest, CtrlShiftHeld_FollowsTheTableAndItsKeys) {
    Play({Down(ScanRCtrl), Down(ScanLShift)});
    EXPECT_TRUE(CtrlShiftHeld);
    Play({Up(ScanRCtrl)});
    EXPECT_FALSE(CtrlShiftHeld);
    Play({Down(ScanLCtrl), Up(ScanA)});  // a release of a key not held changes nothing
    EXPECT_TRUE(CtrlShiftHeld);

    EXPECT_TRUE(IsCtrlShiftPressed({229, 4, 228}));
    EXPECT_FALSE(IsCtrlShiftPressed({224, 226}));
    EXPECT_FALSE(IsCtrlShiftPressed({}));
    EXPECT_TRUE(IsExitChordPressed({53, 229, 224}));
    EXPECT_FALSE(IsExitChordPressed({224, 225, 68}));
}

TEST_F(ForwardingTest, PressedKeyDisplay_ShowsTheTableOnlyWhenForwarding) {
    Play({Down(ScanLCtrl), Down(ScanA), Up(ScanLCtrl), Up(ScanA)});
    EXPECT_EQ(w.PressedShown, (std::vector<TIntArray>{{224}, {224, 4}, {4}, {}}));
    w.PressedShown.clear();
    w.Keyboard = false;
    Play({Down(ScanA), Up(ScanA)});
    EXPECT_TRUE(w.PressedShown.empty());
}

TEST_F(ForwardingTest, KeypadMouse_DisplayTexts) {
    struct TRow {
        TScan Scan;
        const char* Primary;
        const char* Second;
    };
    const TRow rows[] = {
        {ScanPadMinus, "⇡", "Wheel"}, {ScanPadPlus, "⇣", "Wheel"}, {ScanPad2, "↓", "Mouse"},
        {ScanPad4, "←", "Mouse"},     {ScanPad6, "→", "Mouse"},    {ScanPad7, "◰", "Mouse"},
        {ScanPad8, "↑", "Mouse"},     {ScanPad9, "◳", "Mouse"},
    };
    Play({Down(ScanLCtrl), Down(ScanLShift)});
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Primary);
        w.Shown.clear();
        Play({Down(row.Scan), Up(row.Scan)});
        ASSERT_EQ(w.Shown.size(), 1u);
        EXPECT_EQ(w.Shown[0].first, row.Primary);
        EXPECT_EQ(w.Shown[0].second, row.Second);
    }
    w.Shown.clear();
    for (TScan through : {ScanPadSlash, ScanPadStar, ScanPadEnter, ScanPad1}) {
        Play({Down(through), Up(through)});
    }
    EXPECT_TRUE(w.Shown.empty()) << "through keys show nothing";
}

TEST_F(ForwardingTest, KeypadMouse_StepCyclesAndSizesTheMotion) {
    Play({Down(ScanLCtrl), Down(ScanLShift)});
    TStrings shown;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(w.Key(ScanPad5.Code, false), 1);
        EXPECT_EQ(w.Key(ScanPad5.Code, true), 1) << "the release is swallowed too";
        shown.push_back(w.Shown.back().first + " " + w.Shown.back().second);
    }
    EXPECT_EQ(shown, (TStrings{"3 STEP", "4 STEP", "5 STEP", "1 STEP", "2 STEP"}));
    EXPECT_EQ(MouseStep, 4);
    Play({Down(ScanPad5), Up(ScanPad5)});  // 8
    w.Reports.clear();
    Play({Down(ScanPad6)});
    EXPECT_EQ(MouseReports(), (TStrings{"M b0 8,0 w0"}));
}

// The keys a target holds, as its keyboard reports tell it: modifiers as their usages (224 on).
std::set<int> TargetHolds(const std::string& report) {
    std::set<int> held;
    std::istringstream in(report.substr(1));
    std::string word;
    while (in >> word) {
        if (word[0] == 'm') {
            const int bits = std::stoi(word.substr(1), nullptr, 16);
            for (int bit = 0; bit < 8; ++bit)
                if ((bits & (1 << bit)) != 0)
                    held.insert(224 + bit);
        } else {
            held.insert(std::stoi(word));
        }
    }
    return held;
}

// Random runs of Ctrl, Shift, keypad mouse keys and a letter, played against a model of the target
// (seeded, so a failure repeats). Whatever the keypad mouse did: letting go of a key never presses
// one on the target (no lone Shift or Ctrl tap there), the target holds only keys held here, and
// it holds nothing once every key is up.
TEST_F(ForwardingTest, KeypadMouseAndModifiers_ALetGoNeverPressesAnythingOnTheTarget) {
    const std::vector<TScan> keys{ScanLCtrl, ScanLShift, ScanPad8, ScanPad7, ScanPad1, ScanPad5, ScanA};
    const std::map<uint32_t, int> usageOf{{ScanLCtrl.Code, 224}, {ScanLShift.Code, 225}, {ScanPad8.Code, 96},
                                          {ScanPad7.Code, 95},   {ScanPad1.Code, 89},    {ScanPad5.Code, 93},
                                          {ScanA.Code, 4}};
    std::mt19937 random(7);
    for (int run = 0; run < 300; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        SetUp();
        w.Reports.clear();
        std::vector<bool> down(keys.size(), false);
        std::set<int> target;
        std::string trail;
        const auto step = [&](std::size_t k, bool release) {
            trail += (release ? " -" : " +") + std::to_string(keys[k].Code);
            const std::set<int> before = target;
            const std::size_t from = w.Reports.size();
            w.Key(keys[k].Code, release, keys[k].Extended);
            down[k] = !release;
            for (std::size_t i = from; i < w.Reports.size(); ++i)
                if (w.Reports[i][0] == 'K')
                    target = TargetHolds(w.Reports[i]);
            if (release) {
                for (int usage : target)
                    ASSERT_TRUE(before.count(usage) != 0)
                        << "a let-go pressed " << usage << " on the target:" << trail;
            }
            for (int usage : target) {
                bool heldHere = false;
                for (std::size_t i = 0; i < keys.size(); ++i)
                    heldHere |= down[i] && usageOf.at(keys[i].Code) == usage;
                ASSERT_TRUE(heldHere) << usage << " held on the target only:" << trail;
            }
        };
        for (int i = 0; i < 30; ++i) {
            const std::size_t k = random() % keys.size();
            step(k, down[k] && random() % 4 != 0);  // now and then an auto-repeat of a held key
            if (HasFailure())
                return;
        }
        for (std::size_t k = 0; k < keys.size(); ++k)
            if (down[k])
                step(k, true);
        EXPECT_TRUE(target.empty()) << trail;
    }
}

TEST_F(ForwardingTest, KeySizes_CountUtf16Units) {
    EXPECT_EQ(KeyPrimaryPoints("F12"), 64);
    EXPECT_EQ(KeyPrimaryPoints("Esc "), 40);
    EXPECT_EQ(KeyPrimaryPoints("Pad Enter"), 40);
    EXPECT_EQ(KeyPrimaryPoints("↑"), 64) << "one unit, three UTF-8 bytes";
    EXPECT_EQ(KeySecondPoints("Mouse"), 28);
    EXPECT_EQ(KeySecondPoints("~"), 40);
    EXPECT_EQ(KeyDisplayPixels(64), 85);
}

// ---- Mouse.

struct TMouseStep {
    uint32_t Kind;
    int32_t X, Y;
    uint32_t Time;
    uint32_t Data = 0;
};

struct TMouseRow {
    const char* Name;
    bool PointerKnown;
    THookPoint Held;
    std::vector<TMouseStep> Steps;
    TStrings Reports;
};

constexpr uint32_t Fwd = 120u << 16;
constexpr uint32_t Back = static_cast<uint32_t>(-120) << 16;

const std::vector<TMouseRow>& MouseRows() {
    static const std::vector<TMouseRow> rows = {
        {"FirstMoveMeasuredFromTheHeldPosition",
         true,
         {500, 300},
         {{WM_MOUSEMOVE, 503, 300, 10}, {WM_MOUSEMOVE, 506, 301, 20}},
         {"M b0 3,0 w0", "M b0 6,1 w0"}},
        {"HeldPositionUnknown_FirstMoveIsTheAnchor",
         false,
         {},
         {{WM_MOUSEMOVE, 503, 300, 10}, {WM_MOUSEMOVE, 506, 301, 20}},
         {"M b0 3,1 w0"}},
        // Every swallowed move reports the held position plus its own motion.
        {"AlternatingSmallMoves_EachSendsExactlyItsOwnMotion",
         true,
         {100, 100},
         {{WM_MOUSEMOVE, 102, 100, 1},
          {WM_MOUSEMOVE, 98, 100, 2},
          {WM_MOUSEMOVE, 103, 100, 3},
          {WM_MOUSEMOVE, 97, 99, 4},
          {WM_MOUSEMOVE, 100, 101, 5}},
         {"M b0 2,0 w0", "M b0 -2,0 w0", "M b0 3,0 w0", "M b0 -3,-1 w0", "M b0 0,1 w0"}},
        // The sessions merge motion while their link is busy; a move held back here until one
        // with a later time came would be lost when it is the last one.
        {"MovesWithTheSameTime_AreEachSentAtOnce",
         true,
         {10, 10},
         {{WM_MOUSEMOVE, 11, 10, 1},
          {WM_MOUSEMOVE, 12, 10, 5},
          {WM_MOUSEMOVE, 13, 10, 5},
          {WM_MOUSEMOVE, 10, 12, 6}},
         {"M b0 1,0 w0", "M b0 2,0 w0", "M b0 3,0 w0", "M b0 0,2 w0"}},
        {"ClickReanchors_EveryMoveSendsItsOwnMotion",
         true,
         {50, 50},
         {{WM_MOUSEMOVE, 52, 50, 1},
          {WM_MOUSEMOVE, 54, 50, 2},
          {WM_LBUTTONDOWN, 50, 50, 3},
          {WM_LBUTTONUP, 50, 50, 4},
          {WM_MOUSEMOVE, 51, 50, 5},
          {WM_MOUSEMOVE, 52, 50, 6}},
         {"M b0 2,0 w0", "M b0 4,0 w0", "M b1 0,0 w0", "M b0 0,0 w0", "M b0 1,0 w0", "M b0 2,0 w0"}},
        {"RightAndMiddleButtons",
         true,
         {},
         {{WM_RBUTTONDOWN, 0, 0, 1},
          {WM_MBUTTONDOWN, 0, 0, 2},
          {WM_RBUTTONUP, 0, 0, 3},
          {WM_MBUTTONUP, 0, 0, 4}},
         {"M b2 0,0 w0", "M b6 0,0 w0", "M b4 0,0 w0", "M b0 0,0 w0"}},
        {"WheelNotches_EachSendsItsNotchAtOnce",
         true,
         {},
         {{WM_MOUSEWHEEL, 0, 0, 100, Fwd},
          {WM_MOUSEWHEEL, 0, 0, 100, Fwd},
          {WM_MOUSEWHEEL, 0, 0, 116, Fwd},
          {WM_MOUSEWHEEL, 0, 0, 130, 3 * Back}},
         {"M b0 0,0 w1", "M b0 0,0 w1", "M b0 0,0 w1", "M b0 0,0 w-1"}},
        {"ExtraButtonsAndHorizontalWheel_SwallowedWithAnUnchangedReport",
         true,
         {},
         {{WM_LBUTTONDOWN, 0, 0, 1},
          {WM_XBUTTONDOWN, 0, 0, 2},
          {WM_XBUTTONUP, 0, 0, 3},
          {WM_MOUSEHWHEEL, 0, 0, 4, Fwd}},
         {"M b1 0,0 w0", "M b1 0,0 w0", "M b1 0,0 w0", "M b1 0,0 w0"}},
    };
    return rows;
}

TEST_F(ForwardingTest, MouseSequences_GiveTheirReports) {
    for (const TMouseRow& row : MouseRows()) {
        SCOPED_TRACE(row.Name);
        SetUp();
        w.Mouse = true;
        w.MouseZgt = {};
        w.Reports.clear();
        w.PointerKnown = row.PointerKnown;
        w.Pointer = row.Held;
        for (const TMouseStep& s : row.Steps) {
            EXPECT_EQ(w.MouseEvent(s.Kind, s.X, s.Y, s.Time, s.Data), 1) << "forwarded events are swallowed";
        }
        EXPECT_EQ(w.Reports, row.Reports);
    }
}

TEST_F(ForwardingTest, Mouse_NotChosen_EverythingWorksLocally) {
    w.Mouse = false;
    EXPECT_EQ(w.MouseEvent(WM_MOUSEMOVE, 1, 1, 1), 0);
    EXPECT_EQ(w.MouseEvent(WM_LBUTTONDOWN, 1, 1, 2), 0);
    EXPECT_TRUE(w.Reports.empty());
}

TEST_F(ForwardingTest, Mouse_CtrlShiftHeld_PointerIsLocalAndResumesFromWhereItIsHeldThen) {
    w.Mouse = true;
    w.Pointer = {200, 200};
    w.MouseEvent(WM_MOUSEMOVE, 201, 200, 1);
    Play({Down(ScanLCtrl), Down(ScanLShift)});
    w.Reports.clear();
    EXPECT_EQ(w.MouseEvent(WM_MOUSEMOVE, 260, 200, 2), 0);
    EXPECT_EQ(w.MouseEvent(WM_MOUSEMOVE, 300, 250, 3), 0);
    EXPECT_TRUE(w.Reports.empty());
    Play({Up(ScanLShift)});
    w.Pointer = {300, 250};  // where the local moves left it
    w.Reports.clear();
    EXPECT_EQ(w.MouseEvent(WM_MOUSEMOVE, 302, 250, 4), 1);
    w.MouseEvent(WM_MOUSEMOVE, 299, 251, 5);
    EXPECT_EQ(w.Reports, (TStrings{"M b0 2,0 w0", "M b0 -1,1 w0"}))
        << "both moves measured from the held position";
    // A grab taken anew after those holds the pointer where the system has it, which need not be
    // where the moves seen so far put it (motion not read yet, a warp): from there on, moves are
    // measured from that place, each by its own motion.
    w.Pointer = {340, 270};
    w.Reports.clear();
    w.MouseEvent(WM_MOUSEMOVE, 345, 270, 6);
    w.MouseEvent(WM_MOUSEMOVE, 345, 272, 7);
    EXPECT_EQ(w.Reports, (TStrings{"M b0 5,0 w0", "M b0 5,2 w0"}));
}

TEST_F(ForwardingTest, Mouse_ButtonsHeldAcrossThePause_AreReleasedWhereTheyWerePressed) {
    w.Mouse = true;
    // Pressed on the target, released while Ctrl and Shift are held.
    w.MouseEvent(WM_LBUTTONDOWN, 0, 0, 1);
    Play({Down(ScanLCtrl), Down(ScanLShift)});
    w.Reports.clear();
    EXPECT_EQ(w.MouseEvent(WM_LBUTTONUP, 0, 0, 2), 0) << "the up reaches local applications";
    EXPECT_EQ(w.Reports, (TStrings{"M b0 0,0 w0"})) << "and the target";
    // Pressed locally during the pause, released after it.
    EXPECT_EQ(w.MouseEvent(WM_RBUTTONDOWN, 0, 0, 3), 0);
    Play({Up(ScanLShift)});
    w.Reports.clear();
    EXPECT_EQ(w.MouseEvent(WM_RBUTTONUP, 0, 0, 4), 0) << "its release goes where its press went";
    EXPECT_TRUE(w.Reports.empty());
    EXPECT_EQ(w.MouseEvent(WM_RBUTTONDOWN, 0, 0, 5), 1);
    EXPECT_EQ(w.Reports, (TStrings{"M b2 0,0 w0"}));
}
