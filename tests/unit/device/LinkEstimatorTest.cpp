#include "device/LinkEstimator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <random>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TTime = TLinkEstimator::TTime;
using TDuration = TLinkEstimator::TDuration;

double Ms(TDuration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

// The stack and the air as BlueZ and a BLE link behave: writes are queued in the order made and
// leave at connection events, at most perEvent each; a write with response is answered when it has
// reached the dongle (a moment after its event).
struct TSimLink {
    TDuration interval;
    int perEvent;
    TTime up;
    TTime lastSlot{};
    int used = 0;

    TTime Slot(TTime now) {
        const TTime from = std::max(now, lastSlot);
        const auto events = (from - up + interval - TDuration(1)) / interval;
        TTime slot = up + events * interval;
        if (slot == lastSlot && used >= perEvent)
            slot += interval;
        if (slot == lastSlot) {
            ++used;
        } else {
            lastSlot = slot;
            used = 1;
        }
        return slot;
    }
};

struct TRun {
    std::vector<double> keyLatencyMs;
    int motionWrites = 0;
    TLinkEstimator estimator;
};

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[static_cast<size_t>(p * static_cast<double>(v.size() - 1))];
}

// Motion always waiting (a mouse moving the whole time) and a key every ~100 ms, through the
// estimator's pace, for the given time; one write in the platform's hands while a write with
// response is out (as Qt keeps it).
TRun Drive(TDuration interval, int perEvent, TDuration length) {
    TRun run;
    TLinkEstimator& est = run.estimator;
    const TTime start{};
    TSimLink link{interval, perEvent, start - 3ms};
    std::mt19937 random(7);
    std::uniform_int_distribution<int> gapMs(60, 140);
    std::vector<TTime> keyInputs;
    for (TTime k = start + 500ms; k < start + length; k += std::chrono::milliseconds(gapMs(random)))
        keyInputs.push_back(k);
    size_t nextInput = 0;
    std::deque<TTime> keysWaiting;
    bool answerPending = false;
    TTime answerAt{};
    TTime t = start;
    const TTime end = start + length;
    const TTime far = end + 1h;
    while (true) {
        const TTime tAnswer = answerPending ? answerAt : far;
        const TTime tInput = nextInput < keyInputs.size() ? keyInputs[nextInput] : far;
        TTime tWrite = far;
        if (!answerPending)
            tWrite = est.NextWriteAt(!keysWaiting.empty(), t);
        const TTime next = std::min({tAnswer, tInput, tWrite});
        if (next >= end)
            break;
        if (keysWaiting.empty() && tWrite > t && next == tWrite)
            est.Held();
        t = next;
        if (t == tAnswer) {
            est.Answered(t);
            answerPending = false;
            continue;
        }
        if (t == tInput) {
            keysWaiting.push_back(t);
            ++nextInput;
            continue;
        }
        const bool key = !keysWaiting.empty();
        const bool withResponse = est.ProbeDue(key, t);
        const TTime slot = link.Slot(t);
        est.Made(withResponse, !key, t);
        if (withResponse) {
            answerPending = true;
            answerAt = slot + 500us;
        }
        if (key) {
            run.keyLatencyMs.push_back(Ms(slot - keysWaiting.front()));
            keysWaiting.pop_front();
        } else {
            ++run.motionWrites;
        }
    }
    return run;
}

struct TLinkCase {
    const char* name;
    TDuration interval;
    int perEvent;
};

class LinkEstimatorLinks : public testing::TestWithParam<TLinkCase> {};

// A mouse that never stops on a slow link: keys still reach the dongle within about an event,
// motion keeps most of the rate, and a long run is no worse than a short one (nothing piles up).
TEST_P(LinkEstimatorLinks, Drive_MotionAndKeys_KeysWithinAnEventAndMotionFlows) {
    const TLinkCase c = GetParam();
    const double intervalMs = Ms(c.interval);
    for (const TDuration length : {3s, 10s}) {
        SCOPED_TRACE(Ms(length));
        const TRun run = Drive(c.interval, c.perEvent, length);
        ASSERT_GT(run.keyLatencyMs.size(), 10u);
        // The first second is learning; keys from then on count.
        std::vector<double> late(run.keyLatencyMs.begin() + static_cast<long>(run.keyLatencyMs.size() / 5),
                                 run.keyLatencyMs.end());
        EXPECT_LE(Percentile(late, 0.5), intervalMs + 1);
        EXPECT_LE(Percentile(late, 0.99), 2 * intervalMs + 3);
        const double capacity = static_cast<double>(c.perEvent) / (intervalMs / 1000.0) *
                                std::chrono::duration<double>(length).count();
        EXPECT_GE(run.motionWrites, 0.3 * capacity) << "motion starved";
        const auto figures = run.estimator.Figures(TTime{} + length);
        const double rate = static_cast<double>(c.perEvent) * 1000.0 / intervalMs;
        EXPECT_TRUE(figures.Measured);
        EXPECT_GE(figures.WritesPerSecond, 0.5 * rate);
        EXPECT_LE(figures.WritesPerSecond, 2.0 * rate);
        EXPECT_FALSE(figures.CannotKeepUp);
    }
}

INSTANTIATE_TEST_SUITE_P(Links, LinkEstimatorLinks,
                         testing::Values(TLinkCase{"7500us_x1", 7500us, 1}, TLinkCase{"30ms_x6", 30ms, 6},
                                         TLinkCase{"50ms_x4", 50ms, 4}, TLinkCase{"15ms_x2", 15ms, 2}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LinkEstimatorTest, Answered_NothingQueuedBefore_RoundTripIsTheInterval) {
    TLinkEstimator e;
    const TTime t0{};
    EXPECT_TRUE(e.ProbeDue(false, t0));
    e.Made(true, false, t0);
    EXPECT_FALSE(e.ProbeDue(true, t0 + 1ms));  // one measurement at a time
    e.Answered(t0 + 45ms);
    const auto f = e.Figures(t0 + 45ms);
    EXPECT_TRUE(f.Measured);
    EXPECT_EQ(f.Interval, 45ms);
    EXPECT_FALSE(e.ProbeDue(true, t0 + 46ms));
    EXPECT_TRUE(e.ProbeDue(true, t0 + 45ms + TLinkEstimator::ProbeEvery));
    EXPECT_FALSE(e.ProbeDue(false, t0 + 45ms + TLinkEstimator::ProbeEvery));
    EXPECT_TRUE(e.ProbeDue(false, t0 + 45ms + TLinkEstimator::MotionProbeEvery));
    // An answer that never comes does not stop the measuring for good.
    const TTime t1 = t0 + 10s;
    e.Made(true, false, t1);
    EXPECT_FALSE(e.ProbeDue(true, t1 + TLinkEstimator::ProbeLost / 2));
    EXPECT_TRUE(e.ProbeDue(true, t1 + TLinkEstimator::ProbeLost));
    const TTime t2 = t1 + TLinkEstimator::ProbeLost;
    e.Made(true, false, t2);
    e.Answered(t2 + 40ms);
    // Taken: the next write measures the event spacing again (a clean round trip), and does.
    ASSERT_TRUE(e.ProbeDue(false, t2 + 41ms));
    e.Made(true, true, t2 + 41ms);
    e.Answered(t2 + 71ms);
    EXPECT_LT(e.Figures(t2 + 71ms).Interval, 45ms);
}

TEST(LinkEstimatorTest, Answered_LateBehindABacklog_RateGoesToWhatWasDelivered) {
    TLinkEstimator e;
    TTime t{};
    // Twenty writes at once, then a probe that comes back a full second later: the link carried
    // 21 writes in that second. The first answer is the first measurement, so it counts however
    // late; the one after it, as late, is the link too (twice in a row). The rate comes down by at
    // most 30% an answer, to what was delivered.
    std::vector<double> rates;
    for (int round = 0; round < 6; ++round) {
        for (int i = 0; i < 20; ++i)
            e.Made(false, true, t);
        e.Made(true, true, t + 1ms);
        t += 1001ms;
        e.Answered(t);
        rates.push_back(e.Figures(t).WritesPerSecond);
    }
    EXPECT_NEAR(rates[0], 133.33 * 0.7, 0.1);
    // Down to where the model predicts the round trip within its margin.
    EXPECT_NEAR(rates.back(), 21.0, 2.0);
    EXPECT_TRUE(e.Figures(t).CannotKeepUp);
    // Everything is at the dongle now; motion is paced at the lower rate from here.
    EXPECT_EQ(e.DeliveredBy(t), t + e.Figures(t).Interval);
    e.Made(false, true, t);
    EXPECT_GE(Ms(e.NextWriteAt(false, t) - t), 80.0);
}

// One answer that says nothing of the link, on a link learned at 7.5 ms with a backlog-free
// rhythm: the interval, the rate and the pace stay as they were.
struct TOutlierCase {
    const char* name;
    TDuration roundTrip;
    TLinkEstimator::TAnswer how;
    bool withBacklog;  // writes were queued before the probe
    int times;         // in a row
};

class LinkEstimatorOutliers : public testing::TestWithParam<TOutlierCase> {};

TEST_P(LinkEstimatorOutliers, AnswersThatSayNothingOfTheLink_MoveNeitherIntervalNorRate) {
    const TOutlierCase c = GetParam();
    TLinkEstimator e;
    TTime t{};
    // Learned: clean round trips of one event, each made right after the answer before it.
    for (int i = 0; i < 10; ++i) {
        e.Made(true, true, t);
        t += 7500us;
        e.Answered(t);
    }
    const auto before = e.Figures(t);
    ASSERT_EQ(before.Interval, 7500us);
    for (int i = 0; i < c.times; ++i) {
        if (c.withBacklog) {
            e.Made(false, true, t);
            e.Made(false, true, t);
        }
        e.Made(true, true, t);
        t += c.roundTrip;
        e.Answered(t, c.how);
        EXPECT_EQ(e.Figures(t).Interval, before.Interval);
        EXPECT_DOUBLE_EQ(e.Figures(t).WritesPerSecond, before.WritesPerSecond);
    }
    // What follows on the link as it was learned moves nothing either, and keys are not held
    // back by a backlog the model made up.
    for (int i = 0; i < 20; ++i) {
        t += 100ms;
        e.Made(false, true, t);
        e.Made(true, true, t);
        t += 7500us;
        e.Answered(t);
    }
    EXPECT_EQ(e.Figures(t).Interval, before.Interval);
    EXPECT_DOUBLE_EQ(e.Figures(t).WritesPerSecond, before.WritesPerSecond);
    EXPECT_EQ(e.NextWriteAt(true, t + 1ms), t + 1ms);
}

INSTANTIATE_TEST_SUITE_P(
    Outliers, LinkEstimatorOutliers,
    testing::Values(TOutlierCase{"cleanAnswer2sLate", 2s, TLinkEstimator::TAnswer::Ok, false, 1},
                    TOutlierCase{"cleanAnswer90msLate", 90ms, TLinkEstimator::TAnswer::Ok, false, 1},
                    TOutlierCase{"answerBehindBacklog2sLate", 2s, TLinkEstimator::TAnswer::Ok, true, 1},
                    TOutlierCase{"failedAfterDbusTimeout", 25s, TLinkEstimator::TAnswer::Failed, false, 1},
                    TOutlierCase{"failedBehindBacklogAfterDbusTimeout", 25s, TLinkEstimator::TAnswer::Failed,
                                 true, 2},
                    TOutlierCase{"behindBacklogHeldUpByTheAppsThreadTwice", 90ms,
                                 TLinkEstimator::TAnswer::Delayed, true, 2}),
    [](const auto& info) { return std::string(info.param.name); });

// The interval is a floor that follows the link: a link that really got slower (a connection
// parameter update) is learned once the short round trips have aged out, and an answer the
// model waits on too long is overdue within a few hundred milliseconds at most.
TEST(LinkEstimatorTest, Interval_FollowsASlowerLinkOnceTheShortRoundTripsAgeOut) {
    TLinkEstimator e;
    TTime t{};
    // Each write made right after the answer before it: a round trip of one event.
    for (int i = 0; i < 5; ++i) {
        e.Made(true, true, t);
        t += 7500us;
        e.Answered(t);
    }
    ASSERT_EQ(e.Figures(t).Interval, 7500us);
    const TTime slower = t;
    while (t - slower < TLinkEstimator::IntervalMemory + 500ms) {
        // Four times a second: motion and a probe behind it, then a write right after its answer.
        t += 150ms;
        e.Made(false, true, t);
        e.Made(true, true, t);
        t += 50ms;
        e.Answered(t);
        e.Made(true, true, t);
        EXPECT_LE(e.AnswerOverdueAt() - t, TLinkEstimator::AnswerBoundMax);
        EXPECT_GE(e.AnswerOverdueAt() - t, TLinkEstimator::AnswerBoundMin);
        t += 50ms;
        e.Answered(t);
        if (t - slower < TLinkEstimator::IntervalMemory) {
            EXPECT_EQ(e.Figures(t).Interval, 7500us) << "one busy moment is not a slower link";
        }
    }
    EXPECT_EQ(e.Figures(t).Interval, 50ms);
    EXPECT_EQ(e.AnswerOverdueAt(), TTime::max());
}

TEST(LinkEstimatorTest, NextWriteAt_StackFull_KeyWaitsOnlyForTheExcessMotionForMore) {
    TLinkEstimator e;
    const TTime t0{};
    // Three writes at once on a one-per-7.5 ms guess: the stack holds two beyond an event's worth.
    for (int i = 0; i < 3; ++i)
        e.Made(false, true, t0);
    EXPECT_NEAR(Ms(e.NextWriteAt(true, t0) - t0), 15.0, 0.01);
    EXPECT_GE(Ms(e.NextWriteAt(false, t0) - t0), 22.49);
    EXPECT_NEAR(Ms(e.DeliveredBy(t0) - t0), 30.0, 0.01);
}

// Where keys go only with response, a motion write between two keys costs the next key a whole
// event: motion waits until keys have been quiet for a few event spacings. Elsewhere keys pass
// motion, and motion is not held by them.
TEST(LinkEstimatorTest, NextWriteAt_KeysWithResponseOnly_MotionWaitsForKeysToGoQuiet) {
    for (const bool keysWithResponse : {false, true}) {
        SCOPED_TRACE(keysWithResponse ? "keys with response only" : "keys without response");
        TLinkEstimator e;
        e.SetKeysWithResponse(keysWithResponse);
        TTime t{};
        e.Made(true, true, t);  // a clean round trip: the event spacing is 50 ms
        t += 50ms;
        e.Answered(t);
        ASSERT_EQ(e.Figures(t).Interval, 50ms);
        t += 1s;
        e.Made(true, false, t);  // a key
        t += 50ms;
        e.Answered(t);
        const TDuration quiet = TLinkEstimator::KeysQuietEvents * 50ms;
        const TTime keyMadeAt = t - 50ms;
        if (keysWithResponse) {
            EXPECT_EQ(e.NextWriteAt(false, t), keyMadeAt + quiet);
            // Keys are never held by it, and a later key starts the quiet again.
            EXPECT_EQ(e.NextWriteAt(true, t), t);
            e.Made(true, false, t);
            e.Answered(t + 50ms);
            EXPECT_EQ(e.NextWriteAt(false, t + 50ms), t + quiet);
            EXPECT_EQ(e.NextWriteAt(false, t + quiet + 1ms), t + quiet + 1ms);
        } else {
            EXPECT_EQ(e.NextWriteAt(false, t), t);
        }
    }
}

TEST(LinkEstimatorTest, Fixed_OneWritePerInterval_NeverProbes) {
    TLinkEstimator e = TLinkEstimator::Fixed(7500us);
    const TTime t0{};
    EXPECT_FALSE(e.ProbeDue(true, t0));
    e.Made(false, true, t0);
    EXPECT_EQ(e.NextWriteAt(true, t0), t0 + 7500us);
    EXPECT_EQ(e.NextWriteAt(false, t0 + 10ms), t0 + 10ms);
}

}  // namespace
