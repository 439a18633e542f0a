// The typing pump on its own, without a window: sessions linked to virtual dongles through the
// in-process fake central, the pump ticked by hand with a time that moves only when the test moves
// it. Every test keeps one more dongle linked that is never chosen: nothing may reach it.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/TypingPump.h"
#include "device/UnitCorvastelDevice.h"
#include "hid/KeySequence.h"
#include "hid/TextKeys.h"
#include "hid/UnitCorvHid.h"
#include "layout/XkbLayout.h"
#include "platform/ble/fake/FakeBluetoothLE.h"

using namespace std::chrono_literals;
namespace vd = vdongle;

namespace {

using TTime = TTypingPump::TClock::time_point;

struct TTypingPumpFixture : testing::Test {
    TFakeBluetoothLEManager central;
    std::vector<std::shared_ptr<vd::TVirtualDongle>> dongles;
    std::vector<std::unique_ptr<TCorvastelDevice>> sessions;
    TTypingPump pump;
    std::vector<std::string> addresses;
    TTime now{std::chrono::hours(1)};

    void SetUp() override { ResetInputStateForTests(); }
    void TearDown() override {
        sessions.clear();  // before the central: sessions detach from its devices
        ResetInputStateForTests();
    }
    // Links `count` dongles (new ones each time: a row of a table starts afresh); the last one is
    // never chosen. With reportLights, each dongle has reported its target's lock lights.
    void Link(int count, bool reportLights = true) {
        sessions.clear();
        dongles.clear();
        addresses.clear();
        for (int i = 0; i < count; ++i) {
            const std::string address = "C0:FF:EE:00:03:" + std::to_string(10 + linked++);
            addresses.push_back(address);
            dongles.push_back(central.AddDongle(vd::TDongleConfig::Standard(
                "Corvastel-P" + std::to_string(i), address, "1.1.9", vd::Identity0451_16B4)));
            sessions.push_back(std::make_unique<TCorvastelDevice>());
            sessions.back()->InitData(&central.Device(address));
        }
        ASSERT_TRUE(Settled());
        for (int i = 0; reportLights && i < count; ++i) {
            ASSERT_TRUE(dongles[i]->NotifyLedStatus(0));
            ASSERT_TRUE(LightsKnown(i));
        }
        for (const auto& d : dongles) {
            d->ClearRecords();
        }
    }
    bool LightsKnown(int i) {
        for (int tries = 0; tries < 2000 && !sessions[i]->LightsKnown(); ++tries) {
            std::this_thread::sleep_for(1ms);
        }
        return sessions[i]->LightsKnown();
    }
    std::string Address(int i) const { return addresses[i]; }
    int linked = 0;
    TTypingTarget Plan(int i, const std::string& text, std::chrono::milliseconds pace = 0ms) {
        const std::shared_ptr<const TLayoutKeys> us = BuiltInUsLayout();
        TTypingPlan plan =
            PlanTyping(std::u32string(text.begin(), text.end()), *us, false, TUnicodeEntry::Off);
        return {sessions[i].get(), us, std::move(plan.Characters), pace, TUnicodeEntry::Off};
    }
    // Everything sent so far was written and has reached the targets.
    bool Settled() {
        for (const auto& s : sessions) {
            if (s != nullptr && !s->WaitSent(2s)) {
                return false;
            }
        }
        return central.WaitIdle();
    }
    // One tick at the current time, then waits until its reports arrived.
    std::optional<TTypingEnd> Tick() {
        std::optional<TTypingEnd> end = pump.Tick(now);
        EXPECT_TRUE(Settled());
        return end;
    }
    // Ticks, moving the time by step after each, until the typing ends (or a bound of ticks passes).
    std::optional<TTypingEnd> RunToEnd(std::chrono::milliseconds step = 1ms) {
        for (int ticks = 0; ticks < 20000; ++ticks) {
            if (std::optional<TTypingEnd> end = Tick()) {
                return end;
            }
            now += step;
        }
        return std::nullopt;
    }
    int Reports(int i) const { return dongles[i]->Target().keyboardReports; }
    std::string Text(int i) const { return dongles[i]->Target().text; }
    void ExpectUntouched(int i) const {
        EXPECT_TRUE(dongles[i]->Target().keyEvents.empty()) << "dongle " << i << " was not chosen";
        EXPECT_EQ(Reports(i), 0) << "dongle " << i << " was not chosen";
    }
};

// Each chosen dongle gets the whole text in order; a paced one gets each report exactly its pace
// after the one before by the typing clock (the link is idle at every tick here), an unpaced one as
// fast as its link takes them, and neither holds the other back.
TEST_F(TTypingPumpFixture, Tick_TypesTheTextInOrderAtEachDonglesPace) {
    struct TRow {
        const char* Name;
        std::vector<std::chrono::milliseconds> Paces;  // one per chosen dongle
    };
    const TRow rows[] = {
        {"one dongle at the link's pace", {0ms}},
        {"one dongle at 20 ms", {20ms}},
        {"50 ms beside the link's pace", {50ms, 0ms}},
    };
    const std::string text = "Hi, You! ~42";
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        const int chosen = static_cast<int>(row.Paces.size());
        Link(chosen + 1);
        std::vector<TTypingTarget> plans;
        for (int i = 0; i < chosen; ++i) {
            plans.push_back(Plan(i, text, row.Paces[i]));
        }
        ASSERT_TRUE(pump.Start(std::move(plans), {}, now));
        EXPECT_FALSE(pump.Start({Plan(chosen, "x")}, {}, now)) << "one text at a time";
        // When each report arrived, by the typing clock.
        std::vector<std::vector<TTime>> arrivals(chosen);
        std::optional<TTypingEnd> end;
        for (int ticks = 0; ticks < 20000 && !end; ++ticks) {
            end = Tick();
            for (int i = 0; i < chosen; ++i) {
                while (static_cast<int>(arrivals[i].size()) < Reports(i)) {
                    arrivals[i].push_back(now);
                }
            }
            now += 5ms;
        }
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->Why, TTypingEnd::TWhy::Finished);
        EXPECT_EQ(end->Typed, text.size());
        EXPECT_EQ(end->Total, text.size());
        EXPECT_TRUE(end->Gone.empty());
        EXPECT_FALSE(pump.Running());
        for (int i = 0; i < chosen; ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(Text(i), text);
            EXPECT_FALSE(dongles[i]->Target().AnyKeyHeld());
            ASSERT_GE(arrivals[i].size(), 2 * text.size());
            for (std::size_t k = 1; k < arrivals[i].size(); ++k) {
                if (row.Paces[i] > 0ms) {
                    EXPECT_EQ(arrivals[i][k] - arrivals[i][k - 1], row.Paces[i]) << "report " << k;
                }
            }
            if (row.Paces[i] == 0ms) {
                // Two reports may wait on a link: each tick moves such a dongle on by two.
                EXPECT_LE(arrivals[i].back() - arrivals[i].front(),
                          5ms * static_cast<int>(arrivals[i].size()));
            }
        }
        ExpectUntouched(chosen);
    }
}

// A dongle that goes away is named at the end, with those gone before the start; the others still
// get the whole text, and nothing is sent to a session after it was said gone (it is destroyed at
// once, as the window destroys it).
TEST_F(TTypingPumpFixture, TargetGone_IsNamedAndTheOthersFinish) {
    struct TRow {
        const char* Name;
        std::vector<int> GoneMidText;  // of the three chosen dongles
        TTypingEnd::TWhy Why;
    };
    const TRow rows[] = {
        {"one of three", {1}, TTypingEnd::TWhy::Finished},
        {"two of three, in reverse order", {2, 0}, TTypingEnd::TWhy::Finished},
        {"all three", {0, 1, 2}, TTypingEnd::TWhy::AllGone},
    };
    const std::string text = "the quick brown fox";
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        Link(4);
        ASSERT_TRUE(pump.Start({Plan(0, text), Plan(1, text), Plan(2, text)}, {"C0:FF:EE:00:09:09"}, now));
        for (int ticks = 0; ticks < 3; ++ticks) {
            ASSERT_FALSE(Tick().has_value()) << "the text is longer than three ticks";
        }
        for (const int gone : row.GoneMidText) {
            pump.TargetGone(sessions[gone].get());
            sessions[gone].reset();
        }
        const std::optional<TTypingEnd> end = RunToEnd();
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->Why, row.Why);
        std::vector<std::string> gone{"C0:FF:EE:00:09:09"};
        for (int i = 0; i < 3; ++i) {
            if (std::find(row.GoneMidText.begin(), row.GoneMidText.end(), i) != row.GoneMidText.end()) {
                gone.push_back(Address(i));
                EXPECT_LT(Text(i).size(), text.size()) << i;
            } else {
                EXPECT_EQ(Text(i), text) << i;
            }
        }
        EXPECT_EQ(end->Gone, gone) << "in the order chosen, those gone before the start first";
        ExpectUntouched(3);
    }
}

// A cancel mid-text stops at once: what arrived is the text's beginning, every key is released on
// every chosen dongle, and no tick sends anything more.
TEST_F(TTypingPumpFixture, Cancel_StopsWithNoKeyHeld) {
    Link(3);
    std::string text;
    while (text.size() < 2000) {
        text += "Some TEXT with Shift held now and then! ";
    }
    ASSERT_TRUE(pump.Start({Plan(0, text), Plan(1, text, 20ms)}, {}, now));
    for (int ticks = 0; ticks < 30; ++ticks) {
        ASSERT_FALSE(Tick().has_value());
        now += 7ms;  // the paced dongle is at a different place in the text
    }
    const std::optional<TTypingEnd> end = pump.Cancel();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->Why, TTypingEnd::TWhy::Cancelled);
    EXPECT_GT(end->Typed, 0u);
    EXPECT_LT(end->Typed, end->Total);
    EXPECT_TRUE(end->Gone.empty());
    ASSERT_TRUE(Settled());
    const int reports[] = {Reports(0), Reports(1)};
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        EXPECT_FALSE(dongles[i]->Target().AnyKeyHeld());
        EXPECT_FALSE(Text(i).empty());
        EXPECT_EQ(text.compare(0, Text(i).size(), Text(i)), 0) << "what arrived is the text's beginning";
    }
    EXPECT_FALSE(pump.Cancel().has_value()) << "nothing runs any more";
    now += 1s;
    EXPECT_FALSE(Tick().has_value());
    EXPECT_EQ(Reports(0), reports[0]);
    EXPECT_EQ(Reports(1), reports[1]);
    ExpectUntouched(2);
}

// Before its first character a dongle's lock lights are waited for where it has not reported them:
// one that reports them during the wait types with them (Caps Lock on here); one that never does is
// typed into once the wait is over, with the lights last known, and is named at the end.
TEST_F(TTypingPumpFixture, Lights_WaitedForBeforeTheFirstCharacter) {
    Link(3, false);
    const std::string text = "Ab c";
    ASSERT_TRUE(pump.Start({Plan(0, text), Plan(1, text)}, {}, now));
    ASSERT_FALSE(Tick().has_value());
    EXPECT_EQ(Reports(0), 0);
    EXPECT_EQ(Reports(1), 0);
    ASSERT_TRUE(dongles[1]->NotifyLedStatus(LedCapsLock));
    ASSERT_TRUE(LightsKnown(1));
    now += 1ms;
    ASSERT_FALSE(Tick().has_value());
    EXPECT_GT(Reports(1), 0) << "the lights came";
    EXPECT_EQ(Reports(0), 0) << "still waited for";
    now += TTextTyper::LightsWait - 2ms;
    ASSERT_FALSE(Tick().has_value());
    EXPECT_EQ(Reports(0), 0) << "the wait is not over yet";
    const std::optional<TTypingEnd> end = RunToEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->Why, TTypingEnd::TWhy::Finished);
    EXPECT_EQ(Text(0), text);
    EXPECT_EQ(Text(1), text) << "typed for Caps Lock on";
    EXPECT_EQ(end->LightsUnknown, std::vector<std::string>{Address(0)});
    ExpectUntouched(2);
}

// A lock key sent just before (as pass-through sends the user's) makes the dongle's lights unknown
// until it reports the new ones: the text waits for them and is typed for Caps Lock on.
TEST_F(TTypingPumpFixture, Lights_AfterALockKeyTheNewOnesAreWaitedFor) {
    Link(2);
    dongles[0]->SetWriteDelay(30ms);
    sessions[0]->SendKeyboardState(0, 57);  // Caps Lock
    sessions[0]->SendKeyboardState(0, 0);
    EXPECT_FALSE(sessions[0]->LightsKnown());
    ASSERT_TRUE(pump.Start({Plan(0, "aB")}, {}, now));
    const std::optional<TTypingEnd> end = RunToEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(Text(0), "aB");
    EXPECT_EQ(dongles[0]->Target().ledStatus, LedCapsLock);
    EXPECT_TRUE(end->LightsUnknown.empty());
    ExpectUntouched(1);
}

// A character planned for Caps Lock off that the target's layout cannot type with it on (a Windows
// target's German umlaut keys are not used under Caps Lock) is left out, counted and named at the
// end; the others are typed for the Caps Lock the dongle reported.
TEST_F(TTypingPumpFixture, Skipped_WhatCapsLockNowForbidsIsCountedAndNamed) {
    Link(2);
    std::string error;
    const auto german = BuildLayoutKeys("de", TTargetSystem::Windows, &error);
    ASSERT_NE(german, nullptr) << error;
    const std::u32string text = U"a\u00e4b";
    TTypingPlan plan = PlanTyping(text, *german, false, TUnicodeEntry::Off);
    ASSERT_EQ(plan.Characters, text);
    ASSERT_TRUE(dongles[0]->NotifyLedStatus(LedCapsLock));
    for (int tries = 0; tries < 2000 && sessions[0]->LedStatus.load() != LedCapsLock; ++tries) {
        std::this_thread::sleep_for(1ms);
    }
    ASSERT_EQ(sessions[0]->LedStatus.load(), LedCapsLock);
    ASSERT_TRUE(pump.Start({{sessions[0].get(), german, plan.Characters, 0ms, TUnicodeEntry::Off}}, {}, now));
    const std::optional<TTypingEnd> end = RunToEnd();
    ASSERT_TRUE(end.has_value());
    EXPECT_EQ(end->Why, TTypingEnd::TWhy::Finished);
    EXPECT_EQ(Text(0), "ab");
    EXPECT_EQ(end->Skipped, (std::vector<std::pair<std::string, std::size_t>>{{Address(0), 1}}));
    ExpectUntouched(1);
}

// A layout is built once and shared; one the machine does not have is refused in words, every time.
TEST(LayoutKeysCache, Of_BuildsOnceAndRefusesUnknownLayouts) {
    TLayoutKeysCache cache;
    std::string error;
    const std::shared_ptr<const TLayoutKeys> us = cache.Of("us", &error);
    ASSERT_NE(us, nullptr) << error;
    EXPECT_EQ(cache.Of("us", &error), us) << "built once";
    for (int round = 0; round < 2; ++round) {
        error.clear();
        EXPECT_EQ(cache.Of("xx-no-such-layout", &error), nullptr);
        EXPECT_FALSE(error.empty());
    }
}

}  // namespace

namespace {

// A key sequence for dongle i on the US layout, as the window plans it.
TTypingTarget SequencePlan(TCorvastelDevice* Session, const std::u32string& Text) {
    const std::shared_ptr<const TLayoutKeys> us = BuiltInUsLayout();
    const TKeySequenceParse parse = ParseKeySequence(Text);
    EXPECT_FALSE(parse.Error.has_value());
    TKeySequencePlanning planning = PlanKeySequence(parse.Sequence, *us, false);
    EXPECT_FALSE(planning.Error.has_value());
    return {Session,
            us,
            std::move(planning.Plan.Text.Characters),
            0ms,
            TUnicodeEntry::Off,
            std::move(planning.Plan.Steps)};
}

}  // namespace

// A sequence with each token kind arrives as the expected key events, in order, with the text
// between; a hold keeps its key down at the dongle for the time asked and a wait keeps the link quiet
// for its time, within one link interval. Here every tick is a connection event of the link and
// arrivals are stamped with the typing clock; a hold or a wait starts once the pump sees the link
// drained, which here takes a tick more (the window's timer ticks every millisecond).
TEST_F(TTypingPumpFixture, KeySequence_EachTokenArrivesAndHoldsAndWaitsKeepTheirTime) {
    struct TRow {
        const char* Name;
        std::chrono::milliseconds Pace;
        std::chrono::milliseconds Interval;
    };
    const TRow rows[] = {
        {"link's pace, 7 ms events", 0ms, 7ms},
        {"link's pace, 30 ms events", 0ms, 30ms},
        {"50 ms pace, 15 ms events", 50ms, 15ms},
    };
    for (const TRow& row : rows) {
        SCOPED_TRACE(row.Name);
        Link(2);
        TTypingTarget plan =
            SequencePlan(sessions[0].get(), U"ab{Ctrl+Alt+Del}{F2 hold 300ms}{wait 200ms}{Win+r}c{{");
        plan.Pace = row.Pace;
        ASSERT_TRUE(pump.Start({std::move(plan)}, {}, now));
        std::vector<TTime> arrivals;
        std::optional<TTypingEnd> end;
        for (int ticks = 0; ticks < 2000 && !end; ++ticks) {
            end = Tick();
            while (static_cast<int>(arrivals.size()) < Reports(0)) {
                arrivals.push_back(now);
            }
            now += row.Interval;
        }
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->Why, TTypingEnd::TWhy::Finished);
        EXPECT_EQ(Text(0), "abc{");
        using E = vd::TKeyEvent;
        const std::vector<E> events = {
            {4, true},   {4, false},                                                           // a
            {5, true},   {5, false},                                                           // b
            {224, true}, {226, true}, {76, true},   {76, false},  {224, false}, {226, false},  // Ctrl+Alt+Del
            {59, true},  {59, false},                                                          // F2 held
            {227, true}, {21, true},  {21, false},  {227, false},                              // Win+r
            {6, true},   {6, false},                                                           // c
            {225, true}, {47, true},  {225, false}, {47, false},                               // {
        };
        EXPECT_EQ(dongles[0]->Target().keyEvents, events);
        EXPECT_FALSE(dongles[0]->Target().AnyKeyHeld());
        ASSERT_EQ(arrivals.size(), 18u);
        // Reports 8 and 9 press and release F2; report 10 is the first after the wait.
        const auto hold = arrivals[9] - arrivals[8];
        const auto quiet = arrivals[10] - arrivals[9];
        EXPECT_GE(hold, 300ms);
        EXPECT_LE(hold, 300ms + 2 * row.Interval);
        EXPECT_GE(quiet, 200ms);
        EXPECT_LE(quiet, 200ms + 2 * row.Interval);
        ExpectUntouched(1);
    }
}

// Cancelled in a hold, or the held dongle going away: the key is not left down on any target that
// stays, and nothing more is sent.
TEST_F(TTypingPumpFixture, KeySequence_CancelOrDropInAHoldLeavesNoKeyHeld) {
    for (const bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "a dongle drops" : "cancel");
        Link(3);
        ASSERT_TRUE(pump.Start({SequencePlan(sessions[0].get(), U"x{Shift+F2 hold 60s}y"),
                                SequencePlan(sessions[1].get(), U"x{Shift+F2 hold 60s}y")},
                               {}, now));
        for (int ticks = 0; ticks < 50 && !dongles[1]->Target().AnyKeyHeld(); ++ticks) {
            ASSERT_FALSE(Tick().has_value());
            now += 10ms;
        }
        for (int ticks = 0; ticks < 10; ++ticks) {
            ASSERT_FALSE(Tick().has_value()) << "held for a minute";
            now += 1s;
        }
        ASSERT_TRUE(dongles[1]->Target().AnyKeyHeld());
        std::optional<TTypingEnd> end;
        if (drop) {
            pump.TargetGone(sessions[0].get());
            sessions[0].reset();
            end = pump.Cancel();
        } else {
            end = pump.Cancel();
        }
        ASSERT_TRUE(end.has_value());
        EXPECT_EQ(end->Why, TTypingEnd::TWhy::Cancelled);
        ASSERT_TRUE(Settled());
        const int reports = Reports(1);
        EXPECT_FALSE(dongles[1]->Target().AnyKeyHeld());
        EXPECT_EQ(Text(1), "x");
        if (!drop) {
            EXPECT_FALSE(dongles[0]->Target().AnyKeyHeld());
        }
        now += 2min;
        EXPECT_FALSE(Tick().has_value());
        EXPECT_EQ(Reports(1), reports);
        ExpectUntouched(2);
    }
}
