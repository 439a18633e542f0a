#include "device/UnitLinkList.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

// One step of input or of the link, in a case table.
struct TStep {
    enum TKind : char {
        Key = 'k',      // keyboard state: a = the one key held (0: none)
        Move = 'm',     // motion a, b and wheel c, with the buttons held now
        Buttons = 'b',  // button state a
        Release = 'r',  // the all-released mouse report
        Write = 'w',    // the link takes the next report and completes it
        Fail = 'f',     // the link takes the next report and fails it
        Drain = 'd',    // the link takes everything
    } kind;
    int a = 0;
    int b = 0;
    int c = 0;
};

THidReport KeyboardState(int usage) {
    return THidReport{0, 0, static_cast<uint8_t>(usage), 0, 0, 0, 0, 0};
}

// "K04", "M1 10,-3,0" (buttons, x, y, wheel); "!" marks a write that failed.
std::string Describe(const TScheduledReport& r) {
    std::ostringstream out;
    if (r.Kind == TSendKind::Keyboard) {
        out << "K" << std::hex << (r.Keyboard[2] < 16 ? "0" : "") << int(r.Keyboard[2]);
    } else {
        out << "M" << int(r.Mouse.Buttons) << " " << r.Mouse.X << "," << r.Mouse.Y << "," << r.Mouse.Wheel;
    }
    return out.str();
}

// Runs the steps; returns what the link was given, in order.
std::vector<std::string> Play(TSendScheduler& s, const std::vector<TStep>& steps) {
    std::vector<std::string> written;
    uint8_t buttons = 0;
    auto take = [&](bool ok) {
        auto r = s.Next();
        if (!r)
            return false;
        written.push_back(Describe(*r) + (ok ? "" : "!"));
        s.Completed(r->Ticket, ok);
        return true;
    };
    for (const TStep& step : steps) {
        switch (step.kind) {
            case TStep::Key:
                s.PushKeyboard(KeyboardState(step.a));
                break;
            case TStep::Move:
                s.PushMouse({buttons, step.a, step.b, step.c});
                break;
            case TStep::Buttons:
                buttons = static_cast<uint8_t>(step.a);
                s.PushMouse({buttons, 0, 0, 0});
                break;
            case TStep::Release:
                buttons = 0;
                s.PushMouse({}, true);
                break;
            case TStep::Write:
                take(true);
                break;
            case TStep::Fail:
                take(false);
                break;
            case TStep::Drain:
                while (take(true)) {
                }
                break;
        }
    }
    return written;
}

struct TCase {
    const char* name;
    std::vector<TStep> steps;
    std::vector<std::string> written;
};

using S = TStep;

const TCase Cases[] = {
    {"motion_whileTheLinkIsBusy_goesOutAsOneReport",
     {{S::Move, 1, 2}, {S::Move, 3, -4, 1}, {S::Move, 5, 0, -2}, {S::Drain}},
     {"M0 9,-2,-1"}},
    {"motion_beyondWhatOneReportCarries_isSplitNotClamped",
     {{S::Move, 5000, -3000, 20}, {S::Drain}},
     {"M0 2047,-2047,15", "M0 2047,-953,5", "M0 906,0,0"}},
    {"buttonChange_afterMotion_motionGoesFirstWithTheOldButtons",
     {{S::Move, 10, 0}, {S::Buttons, 1}, {S::Move, 5, 0}, {S::Buttons, 0}, {S::Drain}},
     {"M0 10,0,0", "M1 0,0,0", "M1 5,0,0", "M0 0,0,0"}},
    {"keys_whileMotionWaits_goAheadOfIt",
     {{S::Move, 1, 0}, {S::Move, 10, 0}, {S::Key, 4}, {S::Move, 2, 0}, {S::Key, 0}, {S::Drain}},
     {"K04", "K00", "M0 13,0,0"}},
    {"keysAndButtons_keepTheOrderTheyCameIn",
     {{S::Key, 4}, {S::Buttons, 1}, {S::Key, 0}, {S::Buttons, 0}, {S::Key, 5}, {S::Drain}},
     {"K04", "M1 0,0,0", "K00", "M0 0,0,0", "K05"}},
    {"motion_afterEverythingWasWritten_goesOutAtOnce",
     {{S::Key, 4}, {S::Write}, {S::Move, 3, 3}, {S::Write}, {S::Move, 1, 0}, {S::Write}},
     {"K04", "M0 3,3,0", "M0 1,0,0"}},
    {"allReleased_evenWithNoButtonHeld_isWritten",
     {{S::Move, 4, 0}, {S::Release}, {S::Drain}},
     {"M0 4,0,0", "M0 0,0,0"}},
    {"failedWrite_withNoKeyBehindIt_sendsTheNewestKeyboardStateAgain",
     {{S::Key, 4}, {S::Write}, {S::Key, 0}, {S::Fail}, {S::Drain}},
     {"K04", "K00!", "K00"}},
    {"failedKeyboardWrite_withAKeyBehindIt_isWrittenAgainInItsPlace",
     {{S::Key, 4}, {S::Key, 5}, {S::Fail}, {S::Drain}},
     {"K04!", "K04", "K05"}},
    {"failedButtonRelease_isWrittenAgainInItsPlace",
     {{S::Buttons, 1}, {S::Write}, {S::Buttons, 0}, {S::Key, 4}, {S::Fail}, {S::Drain}},
     {"M1 0,0,0", "M0 0,0,0!", "M0 0,0,0", "K04"}},
    {"failedKeyboardWrite_goesAgainAheadOfTheButtonsBehindIt",
     {{S::Key, 2}, {S::Buttons, 1}, {S::Fail}, {S::Drain}},
     {"K02!", "K02", "M1 0,0,0"}},
    {"failedButtonWrites_inARow_areWrittenAgainUntilOneSucceeds",
     {{S::Buttons, 1}, {S::Fail}, {S::Fail}, {S::Fail}, {S::Drain}},
     {"M1 0,0,0!", "M1 0,0,0!", "M1 0,0,0!", "M1 0,0,0"}},
    {"failedWrites_inARow_areWrittenAgainUntilOneSucceeds",
     {{S::Key, 4}, {S::Fail}, {S::Fail}, {S::Fail}, {S::Drain}},
     {"K04!", "K04!", "K04!", "K04"}},
    {"failedMotion_resendsTheKeyboardStateNotTheMotion",
     {{S::Key, 4}, {S::Write}, {S::Move, 7, 0}, {S::Fail}, {S::Drain}},
     {"K04", "M0 7,0,0!", "K04"}},
};

class SchedulerCases : public ::testing::TestWithParam<TCase> {};

TEST_P(SchedulerCases, WritesWhatTheTableSays) {
    TSendScheduler s;
    EXPECT_EQ(Play(s, GetParam().steps), GetParam().written);
    EXPECT_TRUE(s.Idle());
    EXPECT_EQ(s.PendingTransitions(), 0);
}

INSTANTIATE_TEST_SUITE_P(SendScheduler, SchedulerCases, ::testing::ValuesIn(Cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SendScheduler, Next_whileAWriteIsInFlight_handsOutNothing) {
    TSendScheduler s;
    s.PushKeyboard(KeyboardState(4));
    s.PushKeyboard(KeyboardState(0));
    const auto first = s.Next();
    ASSERT_TRUE(first);
    EXPECT_FALSE(s.Next()) << "one report in the platform's hands";
    EXPECT_EQ(s.PendingTransitions(), 2) << "one waiting, one in flight";
    s.Completed(first->Ticket, true);
    const auto second = s.Next();
    ASSERT_TRUE(second);
    s.Abandon(second->Ticket);
    EXPECT_TRUE(s.Idle());
}

// A failure the platform reports after the write had completed (a write without response that
// bluetoothd fails later) names a write that is no longer in the platform's hands.
TEST(SendScheduler, LateFailure_endsNotTheWriteInFlightAndWritesTheNewestStatesAgain) {
    TSendScheduler s;
    s.PushKeyboard(KeyboardState(4));
    const auto key = s.Next();
    ASSERT_TRUE(key);
    s.Completed(key->Ticket, true);
    s.PushMouse({1, 0, 0, 0});
    const auto press = s.Next();
    ASSERT_TRUE(press);
    s.Completed(key->Ticket, false);
    EXPECT_TRUE(s.InFlight()) << "the press is still in the platform's hands";
    EXPECT_FALSE(s.Next());
    s.Completed(press->Ticket, true);
    const auto again = s.Next();
    ASSERT_TRUE(again) << "the key, lost with the late failure, goes again";
    EXPECT_EQ(again->Kind, TSendKind::Keyboard);
    EXPECT_EQ(again->Keyboard, KeyboardState(4));
    s.Completed(again->Ticket, true);
    s.Completed(0, true);  // a late success means nothing
    EXPECT_TRUE(s.Idle());
}

// Rolling between two buttons while moving, on a stalled link, fills the queue with states that
// each carry motion: the last step of the collapse keeps it bounded, keeps all motion and never
// turns a move into a drag.
TEST(SendScheduler, FullQueue_ofButtonsRolledWhileMoving_staysBoundedWithAllMotionAndNoDrag) {
    TSendScheduler s;
    const uint8_t roll[] = {1, 3, 2, 3};
    int64_t x = 0;
    int64_t draggedWith1 = 0;
    for (int i = 0; i < 4 * TSendScheduler::Capacity; ++i) {
        const uint8_t buttons = roll[i % 4];
        s.PushMouse({buttons, 0, 0, 0});
        s.PushMouse({buttons, 2, 0, 0});
        x += 2;
        draggedWith1 += (buttons & 1) != 0 ? 2 : 0;
        ASSERT_LE(s.PendingTransitions(), TSendScheduler::Capacity);
    }
    s.PushMouse({0, 0, 0, 0});
    EXPECT_GT(s.MergedTransitions(), 0u);
    int64_t movedX = 0;
    int64_t movedWith1 = 0;
    uint8_t last = 0xFF;
    while (auto r = s.Next()) {
        movedX += r->Mouse.X;
        movedWith1 += (r->Mouse.Buttons & 1) != 0 ? r->Mouse.X : 0;
        last = r->Mouse.Buttons;
        s.Completed(r->Ticket, true);
    }
    EXPECT_EQ(movedX, x);
    EXPECT_LE(movedWith1, draggedWith1);
    EXPECT_EQ(last, 0);
}

TEST(SendScheduler, FullQueue_collapsesToTheNewestStateAndLosesNoReleaseNorMotion) {
    TSendScheduler s;
    // Nothing is written meanwhile: a link that is down while someone types and clicks.
    int64_t x = 0;
    uint8_t buttons = 0;
    for (int i = 0; i < 3 * TSendScheduler::Capacity; ++i) {
        s.PushKeyboard(KeyboardState(i % 2 == 0 ? 4 + i % 20 : 0));
        buttons = static_cast<uint8_t>(i % 3 == 0 ? 1 : 0);
        s.PushMouse({buttons, 3, 0, 0});
        x += 3;
        ASSERT_LE(s.PendingTransitions(), TSendScheduler::Capacity);
    }
    s.PushKeyboard(KeyboardState(0));  // the last key goes up
    EXPECT_GT(s.MergedTransitions(), 0u);

    std::vector<TScheduledReport> written;
    while (auto r = s.Next()) {
        written.push_back(*r);
        s.Completed(r->Ticket, true);
    }
    int64_t movedX = 0;
    uint8_t lastButtons = 0xFF;
    THidReport lastKeyboard;
    for (const auto& r : written) {
        if (r.Kind == TSendKind::Mouse) {
            movedX += r.Mouse.X;
            lastButtons = r.Mouse.Buttons;
        } else {
            lastKeyboard = r.Keyboard;
        }
    }
    EXPECT_EQ(movedX, x) << "motion is summed, not dropped";
    EXPECT_EQ(lastButtons, buttons) << "the target ends in the newest button state";
    EXPECT_EQ(lastKeyboard, KeyboardState(0)) << "the last release is written";
}

TEST(SendScheduler, Stats_tellTheRoundTripAndAStalledLink) {
    TSendScheduler s;
    EXPECT_EQ(s.Stats().WriteRoundTripUs, 0u);
    s.PushKeyboard(KeyboardState(4));
    const auto first = s.Next();
    ASSERT_TRUE(first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    s.Completed(first->Ticket, true);
    EXPECT_GT(s.Stats().WriteRoundTripUs, 0u);
    EXPECT_FALSE(s.Stats().FallingBehind);

    // A write that never completes with transitions piling up behind it.
    s.PushKeyboard(KeyboardState(0));
    ASSERT_TRUE(s.Next());
    s.PushKeyboard(KeyboardState(5));
    // However long the first write took, a transition that keeps waiting is seen as behind.
    bool behind = false;
    for (int i = 0; i < 1000 && !behind; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        behind = s.Stats().FallingBehind;
    }
    EXPECT_TRUE(behind);
}

// The figures are of the last activity: the window needs to tell a link that is quiet now, whose
// last figures say nothing about input made from now on.
TEST(SendScheduler, Stats_idleOnlyWhileNothingWaitsOrIsInTheHands) {
    TSendScheduler s;
    s.PushKeyboard(KeyboardState(4));
    EXPECT_EQ(s.Stats().IdleUs, 0u) << "a transition waits";
    const auto write = s.Next();
    ASSERT_TRUE(write);
    EXPECT_EQ(s.Stats().IdleUs, 0u) << "a write is in the platform's hands";
    s.Completed(write->Ticket, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GE(s.Stats().IdleUs, 20000u) << "quiet since the write completed";
    s.PushMouse({0, 3, 0, 0});
    EXPECT_EQ(s.Stats().IdleUs, 0u) << "motion waits";
}

// The input path pushes on one thread while completions and the send worker take reports on
// others: every transition arrives once and in order, and every count of motion arrives.
TEST(SendScheduler, OneProducerAndConsumersOnOtherThreads_loseNothing) {
    TSendScheduler s;
    constexpr int Keys = 2000;
    std::atomic<bool> done{false};
    std::vector<TScheduledReport> written;
    std::mutex writtenLock;
    auto consumer = [&] {
        while (true) {
            const bool finished = done.load();
            if (auto r = s.Next()) {
                {
                    std::lock_guard l(writtenLock);
                    written.push_back(*r);
                }
                s.Completed(r->Ticket, true);
            } else if (finished && s.Idle()) {
                return;
            } else {
                std::this_thread::yield();
            }
        }
    };
    std::thread a(consumer);
    std::thread b(consumer);
    for (int i = 0; i < Keys; ++i) {
        while (s.PendingTransitions() > TSendScheduler::Capacity - 4)
            std::this_thread::yield();
        s.PushKeyboard(KeyboardState(1 + i % 200));
        s.PushMouse({0, 1, -1, 0});
    }
    done = true;
    a.join();
    b.join();
    int next = 0;
    int64_t x = 0;
    int64_t y = 0;
    for (const auto& r : written) {
        if (r.Kind == TSendKind::Keyboard) {
            EXPECT_EQ(r.Keyboard[2], 1 + next % 200) << "transition " << next;
            ++next;
        } else {
            x += r.Mouse.X;
            y += r.Mouse.Y;
        }
    }
    EXPECT_EQ(next, Keys);
    EXPECT_EQ(x, Keys);
    EXPECT_EQ(y, -Keys);
    EXPECT_EQ(s.MergedTransitions(), 0u);
}

}  // namespace
