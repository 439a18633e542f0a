// What the target sees, whatever the link does: a model of the dongle's target applies every report
// that arrives, and the user's side records every push. The scheduler is driven by named sequences
// (each once found to give the target something the user never did) and by random runs with a
// fixed seed; each run ends with the link drained and is checked against the properties below.
#include "device/UnitLinkList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace {

// The test's keyboard report: byte 0 the held keys as bits, bytes 1-2 the push it came from. The
// scheduler treats keyboard reports as opaque states, so the push number only lets the model tell
// which state arrived.
THidReport KeyboardReport(uint8_t keys, uint16_t push) {
    return THidReport{keys, static_cast<uint8_t>(push & 0xFF), static_cast<uint8_t>(push >> 8)};
}

struct TChange {
    TSendKind Kind = TSendKind::Keyboard;
    uint8_t State = 0;
    int64_t X = 0;  // where the pointer was when the buttons changed
    int64_t Y = 0;
    uint8_t KeysHeld = 0;  // a button change: the keyboard state held when it was made (arrived)
    bool operator==(const TChange&) const = default;
};

std::string Describe(const std::vector<TChange>& changes) {
    std::ostringstream out;
    for (const TChange& c : changes) {
        if (c.Kind == TSendKind::Keyboard)
            out << " K" << int(c.State);
        else
            out << " B" << int(c.State) << "@" << c.X << "," << c.Y;
    }
    return out.str();
}

// Whether every element of part appears in whole in the same order (the Kind and State only).
bool IsSubsequence(const std::vector<TChange>& part, const std::vector<TChange>& whole) {
    size_t at = 0;
    for (const TChange& c : part) {
        while (at < whole.size() && !(whole[at].Kind == c.Kind && whole[at].State == c.State))
            ++at;
        if (at == whole.size())
            return false;
        ++at;
    }
    return true;
}

std::vector<TChange> OfKind(const std::vector<TChange>& changes, TSendKind kind) {
    std::vector<TChange> out;
    std::copy_if(changes.begin(), changes.end(), std::back_inserter(out),
                 [kind](const TChange& c) { return c.Kind == kind; });
    return out;
}

struct TMotion {
    int64_t X = 0;
    int64_t Y = 0;
    int64_t Wheel = 0;
    int64_t Amount = 0;  // |X| + |Y| + |Wheel| summed event by event
    void Add(int64_t x, int64_t y, int64_t wheel) {
        X += x;
        Y += y;
        Wheel += wheel;
        Amount += std::llabs(x) + std::llabs(y) + std::llabs(wheel);
    }
    bool SameSums(const TMotion& o) const { return X == o.X && Y == o.Y && Wheel == o.Wheel; }
};

// What a write's completion turns out to be.
enum class TFate { Ok, Fail, LateFail };

class TTargetModel {
  public:
    // ---- the user
    void Keys(uint8_t keys) {
        if (keys != FKeys)
            FPushed.push_back({TSendKind::Keyboard, keys});
        FKeys = keys;
        FScheduler.PushKeyboard(KeyboardReport(keys, ++FPush));
        Log("K" + std::to_string(keys));
    }
    void Buttons(uint8_t buttons, bool force = false) {
        if (buttons != FButtons)
            FPushed.push_back({TSendKind::Mouse, buttons, FPushedMotion.X, FPushedMotion.Y, FKeys});
        FButtons = buttons;
        FScheduler.PushMouse({buttons, 0, 0, 0}, force);
        Log("B" + std::to_string(buttons) + (force ? "!" : ""));
    }
    void Move(int32_t x, int32_t y, int32_t wheel = 0) {
        FPushedMotion.Add(x, y, wheel);
        FPushedByButtons[FButtons].Add(x, y, wheel);
        FScheduler.PushMouse({FButtons, x, y, wheel});
        Log("M");
    }

    // ---- the link
    // Asks for the next write. Returns false when the scheduler hands out nothing.
    bool HandOut() {
        auto report = FScheduler.Next();
        if (!report)
            return false;
        if (FInHands)
            Violation("two writes in the platform's hands: " + std::to_string(FInHands->Ticket) + " and " +
                      std::to_string(report->Ticket));
        FInHands = report;
        Log("hand " + (report->Kind == TSendKind::Keyboard
                           ? "K" + std::to_string(report->Keyboard[0])
                           : "B" + std::to_string(report->Mouse.Buttons) + (report->Transition ? "" : "m")));
        return true;
    }
    // Completes the write in the platform's hands, as fate says.
    void Complete(TFate fate) {
        if (!FInHands)
            return;
        const TScheduledReport report = *FInHands;
        FInHands.reset();
        Log(fate == TFate::Ok ? "ok" : fate == TFate::Fail ? "FAIL" : "ok(lost)");
        if (fate == TFate::Ok)
            Arrive(report);
        if (fate == TFate::Fail) {
            FFailed = true;
            ++FFailureStreak;
        } else {
            FFailureStreak = 0;
        }
        if (fate == TFate::LateFail) {
            // Confirmed now, lost on the way, its failure reported later.
            FFailed = true;
            FLateFailed = true;
            FLate.push_back(report.Ticket);
        }
        FScheduler.Completed(report.Ticket, fate != TFate::Fail);
    }
    // Reports the oldest late failure: it must not end the write now in the platform's hands.
    void ReportLateFailure() {
        if (FLate.empty())
            return;
        const uint64_t ticket = FLate.front();
        FLate.erase(FLate.begin());
        ++FFailureStreak;
        FScheduler.Completed(ticket, false);
        Log("LATE FAIL");
        if (FInHands && !FScheduler.InFlight())
            Violation("a late failure ended the write in the platform's hands");
    }
    int FailureStreak() const { return FFailureStreak; }
    bool InHands() const { return FInHands.has_value(); }

    // The link takes everything, then everything the user holds is held on the target and nothing
    // the user let go is.
    void Drain() {
        Complete(TFate::Ok);
        while (!FLate.empty()) {
            ReportLateFailure();
            if (HandOut())
                Complete(TFate::Ok);
        }
        for (int guard = 0; HandOut(); ++guard) {
            Complete(TFate::Ok);
            if (guard > 100000) {
                Violation("the queue never empties");
                return;
            }
        }
        if (!FScheduler.Idle())
            Violation("drained but not idle");
        if (FTargetKeys != FKeys)
            Violation("the target holds keys " + std::to_string(FTargetKeys) + ", the user " +
                      std::to_string(FKeys));
        if (FTargetButtons != FButtons)
            Violation("the target holds buttons " + std::to_string(FTargetButtons) + ", the user " +
                      std::to_string(FButtons));
    }

    // The properties that hold once the link has taken everything. Returns what broke.
    std::vector<std::string> Check() {
        Drain();
        const bool collapsed = FScheduler.MergedTransitions() > 0;
        if (!FFailed && !FPushedMotion.SameSums(FTargetMotion))
            Violation("motion sums differ: pushed " + Sums(FPushedMotion) + ", arrived " +
                      Sums(FTargetMotion));
        // A move never becomes a drag: no button carries more motion than the user made with it.
        for (int bit = 0; bit < 8; ++bit) {
            int64_t pushed = 0;
            int64_t arrived = 0;
            for (int mask = 0; mask < 256; ++mask) {
                if ((mask & (1 << bit)) == 0)
                    continue;
                pushed += FPushedByButtons[static_cast<size_t>(mask)].Amount;
                arrived += FArrivedByButtons[static_cast<size_t>(mask)].Amount;
            }
            if (arrived > pushed)
                Violation("button " + std::to_string(bit + 1) + " carried " + std::to_string(arrived) +
                          " counts of motion, the user dragged " + std::to_string(pushed));
        }
        for (const TSendKind kind : {TSendKind::Keyboard, TSendKind::Mouse}) {
            if (!IsSubsequence(OfKind(FArrived, kind), OfKind(FPushed, kind)))
                Violation(std::string(kind == TSendKind::Keyboard ? "keyboard" : "button") +
                          " states arrived out of order or made up:" + Describe(OfKind(FArrived, kind)));
        }
        // A failure reported late may stand for a write the scheduler can no longer place; the
        // order across keys and buttons is promised only without one.
        if (!FLateFailed && !IsSubsequence(FArrived, FPushed))
            Violation("key and button changes arrived out of order");
        // Without a collapse: exactly what the user did, each click where the pointer was (a
        // failed motion write is not written again, so only without failures for the place).
        if (!collapsed && !FLateFailed && !SameChanges(FArrived, FPushed, !FFailed))
            Violation("without a collapse the target must see exactly what the user did");
        if (!collapsed && !FFailed) {
            for (int mask = 0; mask < 256; ++mask) {
                if (!FPushedByButtons[static_cast<size_t>(mask)].SameSums(
                        FArrivedByButtons[static_cast<size_t>(mask)]))
                    Violation("motion made with buttons " + std::to_string(mask) +
                              " arrived with other buttons");
            }
        }
        // Each button change comes with the keyboard state it was made with (a Ctrl+click stays
        // one), but for the last resort of the collapse. Checked where every button change
        // arrived (else which one arrived is not known); a failed write stands for states the
        // scheduler writes again at the front, so only without failures.
        const std::vector<TChange> pushedButtons = OfKind(FPushed, TSendKind::Mouse);
        const std::vector<TChange> arrivedButtons = OfKind(FArrived, TSendKind::Mouse);
        if (!FFailed && FScheduler.LastResortCollapses() == 0 &&
            pushedButtons.size() == arrivedButtons.size()) {
            for (size_t i = 0; i < pushedButtons.size(); ++i) {
                if (pushedButtons[i].KeysHeld != arrivedButtons[i].KeysHeld)
                    Violation("button state " + std::to_string(pushedButtons[i].State) + " made with keys " +
                              std::to_string(pushedButtons[i].KeysHeld) + " arrived with keys " +
                              std::to_string(arrivedButtons[i].KeysHeld));
            }
            ++FKeysAtButtonsChecked;
        }
        if (!FViolations.empty()) {
            FViolations.push_back("pushed: " + Describe(FPushed));
            FViolations.push_back("arrived:" + Describe(FArrived));
            FViolations.push_back("the last steps:" + FLog);
        }
        return FViolations;
    }

    const TSendScheduler& Scheduler() const { return FScheduler; }
    // Whether Check compared the keys held at each button change.
    bool KeysAtButtonsChecked() const { return FKeysAtButtonsChecked > 0; }

  private:
    void Arrive(const TScheduledReport& r) {
        if (r.Kind == TSendKind::Keyboard) {
            if (r.Keyboard[0] != FTargetKeys)
                FArrived.push_back({TSendKind::Keyboard, r.Keyboard[0]});
            FTargetKeys = r.Keyboard[0];
            return;
        }
        // Buttons change before the motion the report carries counts: a press is where the
        // pointer was.
        if (r.Mouse.Buttons != FTargetButtons)
            FArrived.push_back(
                {TSendKind::Mouse, r.Mouse.Buttons, FTargetMotion.X, FTargetMotion.Y, FTargetKeys});
        FTargetButtons = r.Mouse.Buttons;
        FTargetMotion.Add(r.Mouse.X, r.Mouse.Y, r.Mouse.Wheel);
        FArrivedByButtons[r.Mouse.Buttons].Add(r.Mouse.X, r.Mouse.Y, r.Mouse.Wheel);
    }
    static bool SameChanges(const std::vector<TChange>& a, const std::vector<TChange>& b, bool places) {
        return std::equal(
            a.begin(), a.end(), b.begin(), b.end(), [places](const TChange& x, const TChange& y) {
                return x.Kind == y.Kind && x.State == y.State && (!places || (x.X == y.X && x.Y == y.Y));
            });
    }
    static std::string Sums(const TMotion& m) {
        return std::to_string(m.X) + "," + std::to_string(m.Y) + "," + std::to_string(m.Wheel);
    }
    // The steps of the run, the last ones kept, for a failure's message.
    void Log(const std::string& step) {
        FLog += " " + step;
        if (FLog.size() > 4000)
            FLog.erase(0, FLog.size() - 3000);
    }
    void Violation(const std::string& what) {
        if (std::find(FViolations.begin(), FViolations.end(), what) == FViolations.end())
            FViolations.push_back(what);
    }

    TSendScheduler FScheduler;
    uint16_t FPush = 0;
    uint8_t FKeys = 0;
    uint8_t FButtons = 0;
    TMotion FPushedMotion;
    std::array<TMotion, 256> FPushedByButtons{};
    std::vector<TChange> FPushed;

    std::optional<TScheduledReport> FInHands;
    std::vector<uint64_t> FLate;
    bool FFailed = false;
    bool FLateFailed = false;
    int FFailureStreak = 0;

    uint8_t FTargetKeys = 0;
    uint8_t FTargetButtons = 0;
    TMotion FTargetMotion;
    std::array<TMotion, 256> FArrivedByButtons{};
    std::vector<TChange> FArrived;

    std::vector<std::string> FViolations;
    std::string FLog;
    int FKeysAtButtonsChecked = 0;
};

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines)
        out += "\n  " + l;
    return out;
}

constexpr uint8_t KeyA = 1;
constexpr uint8_t Shift = 2;
constexpr uint8_t Left = 1;  // button 1

// Key A down and up, count times, with the link stalled: the queue fills and collapses.
void TypeWhileStalled(TTargetModel& m, int count) {
    for (int i = 0; i < count; ++i)
        m.Keys(i % 2 == 0 ? KeyA : 0);
}

struct TNamedSequence {
    const char* name;
    void (*play)(TTargetModel&);
};

const TNamedSequence Sequences[] = {
    {"failedButtonRelease_isWrittenAgain",
     [](TTargetModel& m) {
         m.Buttons(Left);
         m.HandOut();
         m.Complete(TFate::Ok);
         m.Buttons(0);
         m.HandOut();
         m.Complete(TFate::Fail);
     }},
    {"collapse_givesSummedMotionTheButtonsItWasMadeWith",
     [](TTargetModel& m) {
         m.Buttons(4, true);
         for (int i = 0; i < 190; ++i) {
             m.Keys(i % 2 == 0 ? KeyA : 0);
             m.Buttons(Left);
             m.Buttons(0);
             m.Move(1, 0);
         }
     }},
    {"collapse_keepsTwoClicksApartFromTheMoveBetweenThem",
     [](TTargetModel& m) {
         TypeWhileStalled(m, 250);
         m.Buttons(Left);
         m.Buttons(0);
         m.Move(100, 0);
         m.Buttons(Left);
         m.Buttons(0);
         m.Keys(KeyA);
     }},
    {"collapse_neverLetsAPressOvertakeAKeyPushedBeforeIt",
     [](TTargetModel& m) {
         TypeWhileStalled(m, 251);
         m.Buttons(Left);
         m.Move(100, 0);
         m.Buttons(0);
         m.Move(5, 0);
         m.Buttons(Left);
     }},
    {"collapse_neverMakesAShiftClickFromAClickAfterShift",
     [](TTargetModel& m) {
         TypeWhileStalled(m, 251);
         m.Move(5, 0);
         m.Buttons(Left);
         m.Keys(Shift);
         m.Move(50, 0);
         m.Buttons(0);
     }},
    {"failedKeyboardWrite_isWrittenAgainAheadOfLaterButtons",
     [](TTargetModel& m) {
         m.Keys(Shift);
         m.Buttons(Left);
         m.HandOut();
         m.Complete(TFate::Fail);
     }},
    {"keyReleaseFailingThreeTimes_isWrittenAgainOnceTheLinkTakesIt",
     [](TTargetModel& m) {
         m.Keys(KeyA);
         m.HandOut();
         m.Complete(TFate::Ok);
         m.Keys(0);
         for (int i = 0; i < 3; ++i) {
             m.HandOut();
             m.Complete(TFate::Fail);
         }
     }},
    {"buttonReleaseFailingThreeTimes_endsTheDrag",
     [](TTargetModel& m) {
         m.Buttons(Left);
         m.HandOut();
         m.Complete(TFate::Ok);
         m.Buttons(0);
         for (int i = 0; i < 3; ++i) {
             m.HandOut();
             m.Complete(TFate::Fail);
         }
     }},
    {"pressFailingThreeTimesThenAKey_thePressStillArrives",
     [](TTargetModel& m) {
         m.Buttons(Left);
         for (int i = 0; i < 3; ++i) {
             m.HandOut();
             m.Complete(TFate::Fail);
         }
         m.Keys(KeyA);
     }},
    {"lateFailuresInARow_neverLoseTheNewestStates",
     [](TTargetModel& m) {
         m.Keys(KeyA);
         m.Buttons(Left);
         for (int i = 0; i < 4; ++i) {
             m.HandOut();
             m.Complete(TFate::LateFail);
         }
         for (int i = 0; i < 4; ++i)
             m.ReportLateFailure();
     }},
    {"collapse_keepsCtrlHeldForAClickWhenCtrlIsPushedAgainAfterIt",
     [](TTargetModel& m) {
         TypeWhileStalled(m, 250);
         m.Keys(Shift);
         m.Buttons(Left);
         m.Buttons(0);
         m.Keys(Shift);  // the same state again (a repeat)
         m.Move(5, 0);
         m.Buttons(Left);
         m.Buttons(0);
     }},
    {"lateFailure_neverEndsTheWriteInTheHandsOfThePlatform",
     [](TTargetModel& m) {
         m.Keys(KeyA);
         m.HandOut();
         m.Complete(TFate::LateFail);
         m.Buttons(Left);
         m.HandOut();
         m.ReportLateFailure();
         m.HandOut();  // must hand out nothing: the button write is still in flight
         m.Complete(TFate::Ok);
         m.Keys(0);
         m.Buttons(0);
     }},
};

void PrintTo(const TNamedSequence& sequence, std::ostream* out) {
    *out << sequence.name;
}

class SendSchedulerSequences : public ::testing::TestWithParam<TNamedSequence> {};

TEST_P(SendSchedulerSequences, TargetSeesWhatTheUserDid) {
    TTargetModel m;
    GetParam().play(m);
    const auto violations = m.Check();
    EXPECT_TRUE(violations.empty()) << Join(violations);
}

INSTANTIATE_TEST_SUITE_P(SendSchedulerProperties, SendSchedulerSequences, ::testing::ValuesIn(Sequences),
                         [](const auto& info) { return std::string(info.param.name); });

// Random input against a random link: mostly a working link, stretches where it stalls (the queue
// fills and collapses), failed writes and failures reported late, as many in a row as chance makes.
TEST(SendSchedulerProperties, RandomInputAndLink_targetEndsAsTheUserAndSeesNothingMadeUp) {
    std::mt19937 random(20261211);
    const auto chance = [&](int percent) {
        return std::uniform_int_distribution<int>(0, 99)(random) < percent;
    };
    const auto pick = [&](int from, int to) { return std::uniform_int_distribution<int>(from, to)(random); };
    int collapsedRuns = 0;
    int failedRuns = 0;
    int keysAtButtonsRuns = 0;
    for (int run = 0; run < 400; ++run) {
        TTargetModel m;
        const int failPercent = run % 4 == 0 ? 0 : pick(0, 20);
        const int latePercent = run % 3 == 0 ? pick(0, 10) : 0;
        uint8_t keys = 0;
        uint8_t buttons = 0;
        int stalledFor = 0;
        // Every fifth run is mostly clicks and drags: a queue full of button states.
        const bool mouseHeavy = run % 5 == 1;
        const int keysBelow = mouseHeavy ? 2 : 30;
        const int buttonsBelow = keysBelow + (mouseHeavy ? 30 : 15);
        const int steps = pick(20, mouseHeavy ? 1500 : 900);
        for (int step = 0; step < steps; ++step) {
            if (stalledFor == 0 && chance(1))
                stalledFor = pick(50, 700);
            const int what = pick(0, 99);
            if (what < keysBelow) {
                keys ^= static_cast<uint8_t>(1 << pick(0, 3));
                m.Keys(keys);
            } else if (what < buttonsBelow) {
                buttons ^= static_cast<uint8_t>(1 << pick(0, 2));
                m.Buttons(buttons);
            } else if (what < buttonsBelow + 2) {
                buttons = 0;
                m.Buttons(0, true);
            } else if (what < 70) {
                m.Move(pick(-3000, 3000), pick(-40, 40), chance(20) ? pick(-20, 20) : 0);
            } else if (stalledFor > 0) {
                --stalledFor;
            } else if (what < 85) {
                m.HandOut();
            } else if (what < 98) {
                TFate fate = TFate::Ok;
                if (m.InHands()) {
                    if (chance(failPercent))
                        fate = TFate::Fail;
                    else if (chance(latePercent))
                        fate = TFate::LateFail;
                }
                m.Complete(fate);
            } else {
                m.ReportLateFailure();
            }
        }
        const auto violations = m.Check();
        collapsedRuns += m.Scheduler().MergedTransitions() > 0 ? 1 : 0;
        failedRuns += failPercent > 0 || latePercent > 0 ? 1 : 0;
        keysAtButtonsRuns += m.KeysAtButtonsChecked() && m.Scheduler().MergedTransitions() > 0 ? 1 : 0;
        ASSERT_TRUE(violations.empty()) << "run " << run << ":" << Join(violations);
    }
    // The runs reached what they are for.
    EXPECT_GT(collapsedRuns, 20);
    EXPECT_GT(failedRuns, 100);
    EXPECT_GT(keysAtButtonsRuns, 5) << "too few collapsed runs kept every button change to compare";
}

}  // namespace
