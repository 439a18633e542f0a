// The route: sequences of hooked events with their times, and the reports each of three connected
// targets receives, as the forwarding logic and the route decide together.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "ForwardingTestSupport.h"

using namespace fwdtest;

namespace {

using TStrings = std::vector<std::string>;

// Three targets A, B and C in list order, numbered 1, 2 and 3 as they connected, broadcast to as the
// window does: one report built per call, handed to every connected target the route includes. One
// that drops is being brought back, so it keeps its number.
struct TThreeTargets final : TForwardTarget, TInputRoute::TTargets {
    struct TTarget {
        std::string Id;
        bool Connected = true;
        TStrings Reports;
    };
    std::array<TTarget, 3> Targets{{{"A", true, {}}, {"B", true, {}}, {"C", true, {}}}};
    TInputRoute Route;
    TStrings Notices;
    bool Keyboard = true;
    TIntArray LastShown;

    THookPoint MouseStartPt{0, 0};
    TMouseGrandTotal MouseXgt, MouseYgt, MouseZgt;

    bool KeyboardForwarded() const override { return Keyboard; }
    bool MouseForwarded() const override { return true; }
    void SendReportToActive(TReportType type, bool empty) override {
        const TUSBDeviceID id = USBID_0451_16B4;
        const std::string report =
            type == TReportType::Mouse && !empty
                ? Describe(GetMouseHidReport(id, TakeMouseSnapshot()))
                : Describe(empty ? GetEmptyHidReport(id, type) : GetHidReport(id, type));
        for (TTarget& t : Targets) {
            if (t.Connected && Route.Includes(t.Id))
                t.Reports.push_back(report);
        }
    }
    void ShowPressedKey(const TIntArray& keys) override { LastShown = keys; }
    void ShowKeypadMouse(std::string_view, std::string_view) override {}
    void ExitPassThrough() override {}
    bool HeldPointerPosition(THookPoint& pt) override {
        pt = {0, 0};
        return true;
    }
    bool SelectRoute(int digit) override {
        if (Route.SelectDigit(digit, *this) == TInputRoute::TOutcome::NoSuchTarget) {
            Notices.push_back("no target " + std::to_string(digit));
            return false;
        }
        return true;
    }

    // The connected targets, in list order.
    std::vector<TTarget*> ConnectedTargets() {
        std::vector<TTarget*> out;
        for (TTarget& t : Targets)
            if (t.Connected)
                out.push_back(&t);
        return out;
    }
    std::size_t Count() const override {
        return static_cast<std::size_t>(
            std::count_if(Targets.begin(), Targets.end(), [](const TTarget& t) { return t.Connected; }));
    }
    std::string Id(std::size_t index) const override {
        for (const TTarget& t : Targets) {
            if (t.Connected && index-- == 0)
                return t.Id;
        }
        return {};
    }
    std::string Numbered(int digit) const override {
        return digit >= 1 && digit <= 3 ? Targets[static_cast<std::size_t>(digit - 1)].Id : std::string();
    }
    void Release(std::size_t index) override {
        TTarget& t = *ConnectedTargets().at(index);
        const TUSBDeviceID id = USBID_0451_16B4;
        t.Reports.push_back(Describe(GetEmptyHidReport(id, TReportType::KeyboardIn)));
        t.Reports.push_back(Describe(GetEmptyHidReport(id, TReportType::Mouse)));
    }

    TTarget& Named(const std::string& id) {
        for (TTarget& t : Targets)
            if (t.Id == id)
                return t;
        throw std::out_of_range(id);
    }
    void Drop(const std::string& id) {
        Named(id).Connected = false;
        if (Route.Held(*this))
            Notices.push_back("held for " + id);
    }
    // Connected again: as the window does, its all-released reports go first.
    void Back(const std::string& id) {
        TTarget& t = Named(id);
        t.Connected = true;
        t.Reports.push_back(Describe(GetEmptyHidReport(USBID_0451_16B4, TReportType::KeyboardIn)));
        t.Reports.push_back(Describe(GetEmptyHidReport(USBID_0451_16B4, TReportType::Mouse)));
    }
};

// One step of a sequence: a key event at a time, a left-button event, or a target dropping or
// coming back.
struct TStep {
    enum TKind { KeyDown, KeyUp, ButtonDown, ButtonUp, Drop, Back } Kind;
    TScan Scan{};
    uint32_t Time = 0;
    const char* Target = "";
};
TStep D(TScan s, uint32_t t) {
    return {TStep::KeyDown, s, t, ""};
}
TStep U(TScan s, uint32_t t) {
    return {TStep::KeyUp, s, t, ""};
}
TStep Click(bool down, uint32_t t) {
    return {down ? TStep::ButtonDown : TStep::ButtonUp, {}, t, ""};
}
TStep DropTarget(const char* id) {
    return {TStep::Drop, {}, 0, id};
}
TStep TargetBack(const char* id) {
    return {TStep::Back, {}, 0, id};
}

// Scroll Lock tapped twice from `t` (presses 200 ms apart).
std::vector<TStep> ScrollTwice(uint32_t t) {
    return {D(ScanScrollLock, t), U(ScanScrollLock, t + 50), D(ScanScrollLock, t + 200),
            U(ScanScrollLock, t + 250)};
}
std::vector<TStep> operator+(std::vector<TStep> a, const std::vector<TStep>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// What the two Scroll Lock taps send (to whichever targets hear them).
const TStrings Scrolls{"K 71", "K", "K 71", "K"};
const TStrings Released{"K", "M b0 0,0 w0"};
TStrings operator+(TStrings a, const TStrings& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct TRouteRow {
    const char* Name;
    std::vector<TStep> Steps;
    TStrings A, B, C;
    TStrings Notices;
    TRouteLeader Leader = DefaultRouteLeader;
};

// A key tapped twice from `t` (presses 200 ms apart).
std::vector<TStep> Twice(TScan s, uint32_t t) {
    return {D(s, t), U(s, t + 50), D(s, t + 200), U(s, t + 250)};
}
// What two taps of Right Ctrl send.
const TStrings RightCtrls{"K m10", "K", "K m10", "K"};

const std::vector<TRouteRow>& RouteRows() {
    static const std::vector<TRouteRow> rows = {
        // Shift repeats while held, as it does on Windows: its repeats do not break the sequence.
        {"SwitchWithShiftHeld_OthersEndReleased_NewTargetNeverSeesTheDigit",
         {D(ScanLShift, 0), D(ScanScrollLock, 100), D(ScanLShift, 130), U(ScanScrollLock, 150),
          D(ScanScrollLock, 300), D(ScanLShift, 330), U(ScanScrollLock, 350), D(ScanLShift, 560),
          D(Scan2, 600), D(Scan2, 650), U(Scan2, 700), D(ScanA, 800), U(ScanA, 850), U(ScanLShift, 900)},
         {"K m02", "K m02 71", "K m02", "K m02 71", "K m02", "K", "M b0 0,0 w0"},
         {"K m02", "K m02 71", "K m02", "K m02 71", "K m02", "K m02 4", "K m02", "K"},
         {"K m02", "K m02 71", "K m02", "K m02 71", "K m02", "K", "M b0 0,0 w0"},
         {}},
        {"OneToAnother_TheOldOneIsReleasedTheThirdHearsNothing",
         ScrollTwice(0) + std::vector<TStep>{D(Scan1, 500), U(Scan1, 520), D(ScanA, 600)} + ScrollTwice(700) +
             std::vector<TStep>{D(Scan2, 1000), U(ScanA, 1010), U(Scan2, 1020), D(ScanB, 1100),
                                U(ScanB, 1110)},
         Scrolls + TStrings{"K 4", "K 4 71", "K 4", "K 4 71", "K 4"} + Released,
         Scrolls + Released + TStrings{"K", "K 5", "K"},
         Scrolls + Released,
         {}},
        {"ToAll_NobodyIsReleasedAndAllHearTheNextKey",
         ScrollTwice(0) + std::vector<TStep>{D(Scan3, 500), U(Scan3, 520), D(ScanA, 600), U(ScanA, 610)} +
             ScrollTwice(700) +
             std::vector<TStep>{D(Scan0, 1000), U(Scan0, 1020), D(ScanB, 1100), U(ScanB, 1110)},
         Scrolls + Released + TStrings{"K 5", "K"},
         Scrolls + Released + TStrings{"K 5", "K"},
         Scrolls + TStrings{"K 4", "K"} + Scrolls + TStrings{"K 5", "K"},
         {}},
        {"ButtonHeldAcrossTheSwitch_ReleasedOnTheOldTargetsItsReleaseGoesToTheNew",
         std::vector<TStep>{Click(true, 0)} + ScrollTwice(100) +
             std::vector<TStep>{D(Scan2, 500), U(Scan2, 520)} + std::vector<TStep>{Click(false, 600)},
         TStrings{"M b1 0,0 w0"} + Scrolls + Released,
         TStrings{"M b1 0,0 w0"} + Scrolls + TStrings{"M b0 0,0 w0"},
         TStrings{"M b1 0,0 w0"} + Scrolls + Released,
         {}},
        {"SecondScrollLockTooLate_DigitIsAnOrdinaryKey",
         {D(ScanScrollLock, 0), U(ScanScrollLock, 50), D(ScanScrollLock, 501), U(ScanScrollLock, 550),
          D(Scan2, 600), U(Scan2, 610)},
         Scrolls + TStrings{"K 31", "K"},
         Scrolls + TStrings{"K 31", "K"},
         Scrolls + TStrings{"K 31", "K"},
         {}},
        {"DigitTooLate_IsAnOrdinaryKey",
         ScrollTwice(0) + std::vector<TStep>{D(Scan2, 1201), U(Scan2, 1210)},
         Scrolls + TStrings{"K 31", "K"},
         Scrolls + TStrings{"K 31", "K"},
         Scrolls + TStrings{"K 31", "K"},
         {}},
        {"AtTheLimits_HalfASecondThenASecond_StillSwitches",
         {D(ScanScrollLock, 0), U(ScanScrollLock, 50), D(ScanScrollLock, 500), U(ScanScrollLock, 550),
          D(Scan2, 1500), U(Scan2, 1510), D(ScanA, 1600), U(ScanA, 1610)},
         Scrolls + Released,
         Scrolls + TStrings{"K 4", "K"},
         Scrolls + Released,
         {}},
        {"ClockWrapsBetweenThePresses_StillSwitches",
         ScrollTwice(0xFFFFFFA0u) + std::vector<TStep>{D(Scan2, 0x80), U(Scan2, 0x90), D(ScanA, 0xA0)},
         Scrolls + Released,
         Scrolls + TStrings{"K 4"},
         Scrolls + Released,
         {}},
        {"KeyBetween_BreaksTheSequence",
         ScrollTwice(0) + std::vector<TStep>{D(ScanA, 300), U(ScanA, 310), D(Scan2, 400), U(Scan2, 410)},
         Scrolls + TStrings{"K 4", "K", "K 31", "K"},
         Scrolls + TStrings{"K 4", "K", "K 31", "K"},
         Scrolls + TStrings{"K 4", "K", "K 31", "K"},
         {}},
        {"HeldScrollLockRepeats_AreNotASecondPress",
         {D(ScanScrollLock, 0), D(ScanScrollLock, 30), D(ScanScrollLock, 60), U(ScanScrollLock, 90),
          D(Scan2, 200), U(Scan2, 210)},
         {"K 71", "K", "K 31", "K"},
         {"K 71", "K", "K 31", "K"},
         {"K 71", "K", "K 31", "K"},
         {}},
        {"SameDigitPressedAgainLater_IsAnOrdinaryKeyOnTheNewTarget",
         ScrollTwice(0) + std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), D(Scan2, 600), U(Scan2, 610)},
         Scrolls + Released,
         Scrolls + TStrings{"K 31", "K"},
         Scrolls + Released,
         {}},
        {"NoSuchTarget_RouteStaysTheDigitIsAnOrdinaryKeyWithANotice",
         ScrollTwice(0) +
             std::vector<TStep>{D(Scan4, 500), D(Scan4, 530), U(Scan4, 560), D(ScanA, 600), U(ScanA, 610)},
         Scrolls + TStrings{"K 33", "K", "K 4", "K"},
         Scrolls + TStrings{"K 33", "K", "K 4", "K"},
         Scrolls + TStrings{"K 33", "K", "K 4", "K"},
         {"no target 4"}},
        // The other leaders: the same sequence, led by another key.
        {"RightCtrlTwice_Switches_TheTapsReachEveryTarget",
         Twice(ScanRCtrl, 0) + std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), D(ScanA, 600), U(ScanA, 610)},
         RightCtrls + Released,
         RightCtrls + TStrings{"K 4", "K"},
         RightCtrls + Released,
         {},
         TRouteLeader::RightCtrl},
        {"RightCtrlStillHeldWithTheDigit_IsCtrl2NotASwitch",
         {D(ScanRCtrl, 0), U(ScanRCtrl, 50), D(ScanRCtrl, 200), D(Scan2, 300), U(Scan2, 320),
          U(ScanRCtrl, 350)},
         {"K m10", "K", "K m10", "K m10 31", "K m10", "K"},
         {"K m10", "K", "K m10", "K m10 31", "K m10", "K"},
         {"K m10", "K", "K m10", "K m10 31", "K m10", "K"},
         {},
         TRouteLeader::RightCtrl},
        {"RightCtrlClickRightCtrl_TheClickBreaksTheSequence",
         std::vector<TStep>{D(ScanRCtrl, 0), Click(true, 20), Click(false, 30), U(ScanRCtrl, 50)} +
             std::vector<TStep>{D(ScanRCtrl, 200), U(ScanRCtrl, 250), D(Scan2, 400), U(Scan2, 410)},
         {"K m10", "M b1 0,0 w0", "M b0 0,0 w0", "K", "K m10", "K", "K 31", "K"},
         {"K m10", "M b1 0,0 w0", "M b0 0,0 w0", "K", "K m10", "K", "K 31", "K"},
         {"K m10", "M b1 0,0 w0", "M b0 0,0 w0", "K", "K m10", "K", "K 31", "K"},
         {},
         TRouteLeader::RightCtrl},
        {"ScrollLockTwiceWhileRightCtrlLeads_IsNoSequence",
         ScrollTwice(0) + Twice(ScanLCtrl, 300) + std::vector<TStep>{D(Scan2, 800), U(Scan2, 810)},
         Scrolls + TStrings{"K m01", "K", "K m01", "K", "K 31", "K"},
         Scrolls + TStrings{"K m01", "K", "K m01", "K", "K 31", "K"},
         Scrolls + TStrings{"K m01", "K", "K m01", "K", "K 31", "K"},
         {},
         TRouteLeader::RightCtrl},
        {"RightAltOfAnAltGrLayout_TheMadeUpCtrlDoesNotBreakIt",
         std::vector<TStep>{D(ScanAltGrCtrl, 0), D(ScanRAlt, 0), U(ScanAltGrCtrl, 50), U(ScanRAlt, 50),
                            D(ScanAltGrCtrl, 200), D(ScanRAlt, 200), U(ScanAltGrCtrl, 250), U(ScanRAlt, 250),
                            D(Scan3, 500), U(Scan3, 520), D(ScanA, 600), U(ScanA, 610)},
         TStrings{"K m40", "K", "K m40", "K"} + Released,
         TStrings{"K m40", "K", "K m40", "K"} + Released,
         TStrings{"K m40", "K", "K m40", "K", "K 4", "K"},
         {},
         TRouteLeader::RightAlt},
        {"PauseTwice_Switches",
         Twice(ScanPause, 0) + std::vector<TStep>{D(Scan1, 500), U(Scan1, 520), D(ScanA, 600), U(ScanA, 610)},
         TStrings{"K 72", "K", "K 72", "K", "K 4", "K"},
         TStrings{"K 72", "K", "K 72", "K"} + Released,
         TStrings{"K 72", "K", "K 72", "K"} + Released,
         {},
         TRouteLeader::Pause},
        // What is typed while B is away reaches nobody, then or later; back, B hears the keyboard
        // again and nobody else does.
        {"RoutedTargetDrops_HeldUntilItIsBack_ThenTheRouteContinues",
         ScrollTwice(0) + std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), D(ScanA, 600), U(ScanA, 610),
                                             DropTarget("B"), D(ScanB, 700), U(ScanB, 710), TargetBack("B"),
                                             D(Scan1, 800), U(Scan1, 810)},
         Scrolls + Released,
         Scrolls + TStrings{"K 4", "K"} + Released + TStrings{"K 30", "K"},
         Scrolls + Released,
         {"held for B"}},
        {"HeldRoute_ScrollLockTwiceAndZero_SendsToAllAgain",
         ScrollTwice(0) + std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), DropTarget("B")} +
             ScrollTwice(700) +
             std::vector<TStep>{D(Scan0, 1000), U(Scan0, 1020), D(ScanA, 1100), U(ScanA, 1110)},
         Scrolls + Released + TStrings{"K 4", "K"},
         Scrolls,
         Scrolls + Released + TStrings{"K 4", "K"},
         {"held for B"}},
        {"HeldRoute_ADigitPicksAConnectedTarget",
         ScrollTwice(0) + std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), DropTarget("B")} +
             ScrollTwice(700) +
             std::vector<TStep>{D(Scan3, 1000), U(Scan3, 1020), D(ScanA, 1100), U(ScanA, 1110),
                                TargetBack("B"), D(ScanB, 1200), U(ScanB, 1210)},
         Scrolls + Released,
         Scrolls + Released,
         Scrolls + Released + TStrings{"K 4", "K", "K 5", "K"},
         {"held for B"}},
        {"AnotherTargetDrops_RouteStaysNoNotice",
         ScrollTwice(0) +
             std::vector<TStep>{D(Scan2, 500), U(Scan2, 520), DropTarget("C"), D(ScanA, 600), U(ScanA, 610)},
         Scrolls + Released,
         Scrolls + TStrings{"K 4", "K"},
         Scrolls + Released,
         {}},
        // Numbers stay put: A is away, and 1 still means A. The route holds for it; nothing typed
        // meanwhile reaches anyone, and once A is back it alone hears the keyboard.
        {"DroppedTargetKeepsItsNumber_ItsDigitHoldsTheRoute_ThenItAloneHears",
         std::vector<TStep>{DropTarget("A")} + ScrollTwice(0) +
             std::vector<TStep>{D(Scan1, 500), U(Scan1, 520), D(ScanA, 600), U(ScanA, 610), TargetBack("A"),
                                D(ScanB, 700), U(ScanB, 710)},
         Released + TStrings{"K 5", "K"},
         Scrolls + Released,
         Scrolls + Released,
         {}},
        {"KeypadDigitsCountToo_AndTheKeypadMouseFollowsTheRoute",
         ScrollTwice(0) + std::vector<TStep>{D(ScanPad2, 500), U(ScanPad2, 520), D(ScanLCtrl, 600),
                                             D(ScanLShift, 610), D(ScanPad6, 620), U(ScanPad6, 630),
                                             U(ScanLShift, 640), U(ScanLCtrl, 650)},
         Scrolls + Released,
         Scrolls + TStrings{"K m01", "K m03", "K", "M b0 4,0 w0", "M b0 0,0 w0"},
         Scrolls + Released,
         {}},
    };
    return rows;
}

class RouteTest : public testing::Test {
  protected:
    void SetUp() override {
        ResetInputStateForTests();
        ResetForwardingStateForTests();
    }
    void TearDown() override { SetUp(); }

    static std::vector<intptr_t> Play(TThreeTargets& w, const std::vector<TStep>& steps) {
        std::vector<intptr_t> results;
        for (const TStep& s : steps) {
            switch (s.Kind) {
                case TStep::KeyDown:
                case TStep::KeyUp: {
                    const uint32_t flags =
                        (s.Scan.Extended ? LLKHF_EXTENDED : 0u) | (s.Kind == TStep::KeyUp ? LLKHF_UP : 0u);
                    results.push_back(ForwardKeyEvent(w, {0, s.Scan.Code, flags, s.Time, 0}));
                    break;
                }
                case TStep::ButtonDown:
                case TStep::ButtonUp: {
                    const THookMouseRecord record{{0, 0}, 0, 0, s.Time, 0};
                    results.push_back(ForwardMouseEvent(
                        w, {w.MouseStartPt, w.MouseXgt, w.MouseYgt, w.MouseZgt},
                        s.Kind == TStep::ButtonDown ? WM_LBUTTONDOWN : WM_LBUTTONUP, record));
                    break;
                }
                case TStep::Drop:
                    w.Drop(s.Target);
                    break;
                case TStep::Back:
                    w.Back(s.Target);
                    break;
            }
        }
        return results;
    }
};

}  // namespace

TEST_F(RouteTest, KeySequences_GiveEachTargetItsReports) {
    for (const TRouteRow& row : RouteRows()) {
        SCOPED_TRACE(row.Name);
        SetUp();
        TThreeTargets w;
        RouteKeys.SetLeader(row.Leader);
        Play(w, row.Steps);
        EXPECT_EQ(w.Targets[0].Reports, row.A);
        EXPECT_EQ(w.Targets[1].Reports, row.B);
        EXPECT_EQ(w.Targets[2].Reports, row.C);
        EXPECT_EQ(w.Notices, row.Notices);
    }
}

TEST_F(RouteTest, CompletingDigit_IsSwallowedWhenKeysAreForwarded_GoesLocalWhenNot_AndIsNeverShown) {
    for (const bool keyboard : {true, false}) {
        SCOPED_TRACE(keyboard ? "keyboard forwarded" : "keys go local");
        SetUp();
        TThreeTargets w;
        w.Keyboard = keyboard;
        const intptr_t local = keyboard ? 1 : 0;
        const auto results =
            Play(w, ScrollTwice(0) + std::vector<TStep>{D(Scan2, 500), D(Scan2, 530), U(Scan2, 560)});
        EXPECT_EQ(results, (std::vector<intptr_t>{local, local, local, local, local, local, local}));
        EXPECT_EQ(w.Route.Target(), "B") << "the switch happens either way";
        EXPECT_TRUE(w.LastShown.empty());
        EXPECT_TRUE(GetPressedKeys().empty()) << "the digit never entered the held-key table";
    }
}

TEST_F(RouteTest, Leaders_EachHasItsKeyAndASettingsNameThatReadsBack) {
    std::vector<int32_t> usages;
    for (const TRouteLeader leader : RouteLeaders) {
        SCOPED_TRACE(std::string(RouteLeaderName(leader)));
        EXPECT_EQ(RouteLeaderFromKey(RouteLeaderKey(leader)), leader);
        EXPECT_EQ(std::count(usages.begin(), usages.end(), RouteLeaderUsage(leader)), 0);
        usages.push_back(RouteLeaderUsage(leader));
    }
    EXPECT_EQ(RouteLeaderFromKey("scrolllock"), std::nullopt) << "names are exact";
    EXPECT_EQ(RouteLeaderFromKey(""), std::nullopt);
}

TEST_F(RouteTest, Select_FromTheWindow_ReleasesOnlyWhatLosesInputAndRefusesAnUnknownTarget) {
    TThreeTargets w;
    EXPECT_EQ(w.Route.Select("B", w), TInputRoute::TOutcome::Changed);
    EXPECT_EQ(w.Targets[0].Reports, Released);
    EXPECT_TRUE(w.Targets[1].Reports.empty());
    EXPECT_EQ(w.Targets[2].Reports, Released);
    EXPECT_EQ(w.Route.Select("B", w), TInputRoute::TOutcome::Unchanged);
    EXPECT_EQ(w.Route.Select("Z", w), TInputRoute::TOutcome::NoSuchTarget);
    EXPECT_EQ(w.Route.Select("C", w), TInputRoute::TOutcome::Changed);
    EXPECT_EQ(w.Targets[1].Reports, Released);
    EXPECT_EQ(w.Targets[2].Reports, Released) << "C was not released again when it gained input";
    EXPECT_EQ(w.Route.Select("", w), TInputRoute::TOutcome::Changed);
    EXPECT_TRUE(w.Route.ToAll());
    EXPECT_EQ(w.Targets[0].Reports, Released);
}

// Random runs of route choices, typing, drops and returns (seeded, so a failure repeats): the route
// changes only when the user completes the route keys, never when a target drops or comes back;
// a key reaches exactly the connected targets the route includes (none while the routed target is
// away); and a target that comes back gets its all-released reports and nothing typed meanwhile.
TEST_F(RouteTest, RandomRuns_TheRouteNeverWidensByItself_AndNothingTypedWhileAwayArrivesLater) {
    const std::array<TScan, 5> digits{Scan0, Scan1, Scan2, Scan3, Scan4};
    std::mt19937 random(2025);
    for (int run = 0; run < 200; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        SetUp();
        TThreeTargets w;
        uint32_t t = 0;
        for (int segment = 0; segment < 40; ++segment) {
            t += 2000;
            const std::string before = w.Route.Target();
            std::array<std::size_t, 3> sizes{};
            for (std::size_t i = 0; i < 3; ++i)
                sizes[i] = w.Targets[i].Reports.size();
            const auto added = [&](std::size_t i) {
                return TStrings(w.Targets[i].Reports.begin() + static_cast<std::ptrdiff_t>(sizes[i]),
                                w.Targets[i].Reports.end());
            };
            switch (random() % 4) {
                case 0: {  // the route keys with a digit: the only way the route changes
                    const int digit = static_cast<int>(random() % digits.size());
                    // Each keeps its number, connected or away: 4 names nobody.
                    std::string expected = before;
                    if (digit == 0)
                        expected.clear();
                    else if (digit <= 3)
                        expected = w.Targets[static_cast<std::size_t>(digit) - 1].Id;
                    Play(w, ScrollTwice(t) +
                                std::vector<TStep>{D(digits[static_cast<std::size_t>(digit)], t + 500),
                                                   U(digits[static_cast<std::size_t>(digit)], t + 520)});
                    ASSERT_EQ(w.Route.Target(), expected) << "digit " << digit;
                    break;
                }
                case 1: {  // a key typed: it reaches exactly the connected targets the route includes
                    Play(w, {D(ScanA, t), U(ScanA, t + 10)});
                    for (std::size_t i = 0; i < 3; ++i) {
                        const auto& target = w.Targets[i];
                        const bool hears = target.Connected && w.Route.Includes(target.Id);
                        ASSERT_EQ(added(i), (hears ? TStrings{"K 4", "K"} : TStrings{})) << target.Id;
                    }
                    break;
                }
                case 2: {  // a target drops
                    w.Drop(w.Targets[random() % 3].Id);
                    ASSERT_EQ(w.Route.Target(), before);
                    break;
                }
                case 3: {  // a disconnected target comes back: released, and nothing else
                    const std::size_t i = random() % 3;
                    if (w.Targets[i].Connected)
                        break;
                    w.Back(w.Targets[i].Id);
                    ASSERT_EQ(added(i), Released);
                    ASSERT_EQ(w.Route.Target(), before);
                    break;
                }
            }
        }
    }
}

// The numbers as dongles connect, drop, come back and are let go: a number never moves to another
// dongle while its own is connected or being brought back, and a free one goes smallest first.
TEST(RouteNumbers, Update_KeepsNumbersThroughDropsAndGivesTheSmallestFree) {
    struct TStepRow {
        const char* Name;
        TStrings Connected, Away;
        TStrings Holders;  // of 1, 2, 3, ...: "" for a free number
    };
    const TStepRow steps[] = {
        {"three connect at once, in list order", {"A", "B", "C"}, {}, {"A", "B", "C", ""}},
        {"A drops: being brought back, it keeps 1", {"B", "C"}, {"A"}, {"A", "B", "C", ""}},
        {"D connects meanwhile: 1 is A's", {"D", "B", "C"}, {"A"}, {"A", "B", "C", "D"}},
        {"A is back, listed elsewhere: still 1", {"D", "B", "C", "A"}, {}, {"A", "B", "C", "D"}},
        {"B is let go: 2 is free", {"D", "C", "A"}, {}, {"A", "", "C", "D"}},
        {"E connects: the smallest free", {"D", "C", "A", "E"}, {}, {"A", "E", "C", "D"}},
        {"B connects again: a new number", {"B", "D", "C", "A", "E"}, {}, {"A", "E", "C", "D", "B"}},
    };
    TRouteNumbers numbers;
    for (const TStepRow& step : steps) {
        SCOPED_TRACE(step.Name);
        numbers.Update(step.Connected, step.Away);
        for (int digit = 1; digit <= TRouteNumbers::Count; ++digit) {
            const auto i = static_cast<std::size_t>(digit - 1);
            const std::string expected = i < step.Holders.size() ? step.Holders[i] : std::string();
            EXPECT_EQ(numbers.Holder(digit), expected) << digit;
            if (!expected.empty()) {
                EXPECT_EQ(numbers.Of(expected), digit);
            }
        }
    }
    EXPECT_EQ(numbers.Of("Z"), 0);
    EXPECT_EQ(numbers.Holder(0), "");
    EXPECT_EQ(numbers.Holder(10), "");

    // Nine at most: a tenth waits for a free number, then takes it.
    TRouteNumbers full;
    TStrings ten;
    for (char c = 'a'; c < 'a' + 10; ++c)
        ten.emplace_back(1, c);
    full.Update(ten, {});
    EXPECT_EQ(full.Of("i"), 9);
    EXPECT_EQ(full.Of("j"), 0);
    full.Update(TStrings(ten.begin() + 1, ten.end()), {});
    EXPECT_EQ(full.Of("j"), 1);
}
