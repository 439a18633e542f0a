#include "device/LinkEstimator.h"

#include <algorithm>
#include <cmath>
#include <optional>

namespace {

using TSeconds = std::chrono::duration<double>;

double Seconds(TLinkEstimator::TDuration d) {
    return std::chrono::duration_cast<TSeconds>(d).count();
}

TLinkEstimator::TDuration FromSeconds(double s) {
    return std::chrono::duration_cast<TLinkEstimator::TDuration>(TSeconds(s));
}

// No BLE link carries more than this many writes a second (several packets per 7.5 ms event).
constexpr double MaxRate = 1000;
// A link that delivers less is taken as this slow, so pacing never stops.
constexpr double MinRate = 2;
// The longest connection interval BLE allows.
constexpr double MaxIntervalS = 4.0;

}  // namespace

TLinkEstimator TLinkEstimator::Fixed(std::chrono::microseconds interval) {
    TLinkEstimator e;
    e.FFixed = true;
    e.FInterval = interval;
    e.FRate = 1e6 / static_cast<double>(std::max<int64_t>(1, interval.count()));
    return e;
}

double TLinkEstimator::BacklogAt(TTime now) const {
    if (FBacklog <= 0)
        return 0;
    const double drained = FRate * Seconds(std::max(TDuration::zero(), now - FBacklogAt));
    return std::max(0.0, FBacklog - drained);
}

double TLinkEstimator::PerEvent() const {
    return std::max(1.0, std::floor(FRate * Seconds(FInterval) + 0.25));
}

TLinkEstimator::TTime TLinkEstimator::DrainedTo(double target, TTime now) const {
    const double over = BacklogAt(now) - target;
    if (over <= 0)
        return now;
    return now + FromSeconds(over / FRate);
}

void TLinkEstimator::Made(bool withResponse, bool motion, TTime now) {
    if (motion) {
        FLastMotionAt = now;
    } else {
        FLastTransitionAt = now;
        FTransitionMade = true;
    }
    FBacklog = BacklogAt(now) + 1;
    FBacklogAt = now;
    if (!withResponse)
        FLastCommand = now;
    if (FMadeSinceAnswer++ == 0)
        FBusySince = now;
    if (withResponse && (!FProbeInFlight || now - FProbeMadeAt >= ProbeLost)) {
        FMadeAfterProbe = 0;
        FProbeInFlight = true;
        FProbeMadeAt = now;
        FProbeBacklog = FBacklog;
        FProbeAfterAnswer =
            FAnswered && FMadeSinceAnswer == 1 &&
            now - FLastAnswer <= std::max<TDuration>(FInterval / 4, std::chrono::milliseconds(2));
    } else if (FProbeInFlight) {
        ++FMadeAfterProbe;
    }
}

TLinkEstimator::TDuration TLinkEstimator::AnswerBound() const {
    const double predicted = FProbeBacklog / FRate + Seconds(FInterval);
    return std::clamp<TDuration>(FromSeconds(3 * predicted), AnswerBoundMin, AnswerBoundMax);
}

TLinkEstimator::TTime TLinkEstimator::AnswerOverdueAt() const {
    if (!FProbeInFlight)
        return TTime::max();
    return FProbeMadeAt + AnswerBound();
}

void TLinkEstimator::Answered(TTime now, TAnswer how) {
    if (!FProbeInFlight)
        return;
    FProbeInFlight = false;
    FCleanDue = false;
    const TDuration roundTrip = now - FProbeMadeAt;
    const int delivered = FMadeSinceAnswer - FMadeAfterProbe;
    const TDuration busy = now - FBusySince;
    // Overdue: a busy peer or stack, once. Before anything is measured, or twice in a row, it is
    // the link itself (the longest intervals BLE allows are far beyond the bound).
    const bool pastBound = roundTrip > AnswerBound();
    const bool overdue = pastBound && FMeasured && !FLastOverdue;
    if (how == TAnswer::Ok)
        FLastOverdue = pastBound;
    // The writes made before it are all at the dongle now (or the stack gave up on them); those
    // that went past it (keys past motion, motion past an overdue request) may still be queued.
    FBacklog = std::min(BacklogAt(now), static_cast<double>(FMadeAfterProbe));
    FBacklogAt = now;
    FMadeSinceAnswer = FMadeAfterProbe;
    FMadeAfterProbe = 0;
    FBusySince = now;
    FLastAnswer = now;
    FAnswered = true;
    if (FFixed || how != TAnswer::Ok || overdue) {
        // Nothing learned: a failure's round trip is the stack's time-out, an overdue answer a busy
        // peer or stack, a delayed one the app's own thread.
        return;
    }
    FLastRoundTrip = roundTrip;
    FMeasured = true;

    if (delivered == 1) {
        // Nothing else was made since the last answer, so nothing was queued before it: the round
        // trip is the wait for the next connection event and its answer.
        const TDuration sample =
            std::clamp<TDuration>(roundTrip, std::chrono::milliseconds(1), FromSeconds(MaxIntervalS));
        if (FProbeAfterAnswer) {
            // Made right after an answer (which comes with an event): about one event spacing, or
            // more when the link or the stack was busy. The interval is the least of the recent
            // ones.
            FSamples[FSampleNext] = {sample, now};
            FSampleNext = (FSampleNext + 1) % SampleCount;
            FSampleCount = std::min(FSampleCount + 1, SampleCount);
        }
        std::optional<TDuration> least;
        for (int i = 0; i < FSampleCount; ++i) {
            if (now - FSamples[i].At <= IntervalMemory)
                least = std::min(least.value_or(FSamples[i].RoundTrip), FSamples[i].RoundTrip);
        }
        if (least) {
            FInterval = *least;
        } else {
            // Only writes made at random moments lately, which wait less than an event: follow a
            // longer one at once, a shorter one slowly (an overdue one is no sample, above).
            FInterval =
                FRandomSamples++ == 0 || sample > FInterval ? sample : FInterval + (sample - FInterval) / 8;
        }
        FLastClean = now;
        return;
    }
    // What the model expected: the backlog at the rate believed, then the event it leaves in.
    const double predicted = FProbeBacklog / FRate + Seconds(FInterval);
    FCleanDue = now - FLastClean >= CleanEvery;
    const bool late = Seconds(roundTrip) > 1.25 * predicted + 0.002;
    if (late) {
        // The link carried less than the model thought: go towards what it delivered while busy,
        // by at most 30% at a time (a late answer can also be a busy moment, and what was
        // delivered is only the link's rate when it was busy throughout).
        const double measured = delivered / std::max(1e-4, Seconds(busy));
        FRate = std::clamp(std::max(measured, FRate * 0.7), MinRate, MaxRate);
    } else if (!late && FHeldBack && FProbeBacklog >= 2 &&
               roundTrip <= FInterval + std::chrono::milliseconds(2)) {
        // The pace held writes back, and what the stack held before it still left with the next
        // event: the link carries more. Speculative growth without that proof would fill the
        // stack whenever the pace left it idle.
        FRate = std::clamp(FRate * 1.1, MinRate, MaxRate);
    }
    FHeldBack = false;
}

void TLinkEstimator::Reset(TTime now) {
    FBacklog = 0;
    FBacklogAt = now;
    FProbeInFlight = false;
    FMadeSinceAnswer = 0;
}

bool TLinkEstimator::ProbeDue(bool transition, TTime now) const {
    if (FFixed || (FProbeInFlight && now - FProbeMadeAt < ProbeLost))
        return false;
    if (!FAnswered || FCleanDue)
        return true;
    // A key or button write measures best: it leaves as soon as it would anyway, and what waits
    // for its answer is the motion behind it. A motion write measures only when no key has for
    // long, since a key made meanwhile waits for its answer.
    return now - FLastAnswer >= (transition ? ProbeEvery : MotionProbeEvery);
}

TLinkEstimator::TTime TLinkEstimator::NextWriteAt(bool transition, TTime now) const {
    if (FFixed)
        return std::max(now, FLastCommand + FInterval);
    const double perEvent = PerEvent();
    if (transition) {
        // A key goes at once unless the stack already holds more than an event and a spare.
        return DrainedTo(perEvent, now);
    }
    // Motion leaves room for keys: the stack holds at most an event's worth but one once it is
    // made, and motion takes at most half the rate on short events (keys come in bursts, and the
    // model drains smoothly what the air takes in bursts), a little more on long ones.
    const double share = std::max(0.5, (perEvent - 2) / perEvent);
    const double room = std::max(0.0, perEvent - 2);
    const TTime paced = FLastMotionAt + FromSeconds(1.0 / (FRate * share));
    // Where each write takes an event of its own, motion keeps out of the way while keys come.
    const TTime quiet = FKeysWithResponse && FTransitionMade && !FFixed
                            ? FLastTransitionAt + KeysQuietEvents * FInterval
                            : TTime{};
    return std::max({now, paced, quiet, DrainedTo(room, now)});
}

TLinkEstimator::TTime TLinkEstimator::DeliveredBy(TTime now) const {
    // The backlog drained, then the connection event that carries the last write.
    return DrainedTo(0, now) + FInterval;
}

TLinkEstimator::TFigures TLinkEstimator::Figures(TTime now) const {
    TFigures f;
    f.WritesPerSecond = FRate;
    f.Interval = FInterval;
    f.Measured = FMeasured;
    // A key waits for what the stack holds beyond an event's worth, then half an event on average.
    f.KeyLatency = DrainedTo(PerEvent(), now) - now + FInterval / 2;
    // Even one merged motion write per event leaves keys far behind: the last measurement took
    // several events longer than the link's event spacing, or the link carries almost nothing.
    f.CannotKeepUp =
        FMeasured && (FRate < 5 || FLastRoundTrip > 4 * FInterval + std::chrono::milliseconds(20));
    return f;
}
