// The send path as a whole, scheduler and learned link together, over a simulated link with bad
// moments, on a clock of the test's own: the air carrying nothing for a while, one answer coming
// late, failing or timing out, and the app's own Bluetooth thread sitting on completions. The
// session's rules for a write with response are played as it plays them: one in the platform's
// hands; motion with response stops holding the writes behind it once its answer is overdue (what
// follows goes without response, no new request while it is out), a key or button change keeps its
// place. The mouse has a characteristic of its own that takes both write kinds, so keys pass a
// motion request at once (as the session lets them). After each bad moment the keys must be back within two
// intervals and 3 ms within a second, and at the end nothing lost, reordered or left held, and all motion at
// the dongle.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "device/LinkEstimator.h"
#include "device/UnitLinkList.h"

namespace {

using namespace std::chrono_literals;
using TTime = TLinkEstimator::TTime;
using TDuration = TLinkEstimator::TDuration;

double Ms(TDuration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

enum class TBadMoment { AirStall, LateAnswer, FailedAnswer, TimedOut, BusyStack };

struct TDisturbance {
    TBadMoment Kind;
    TTime From;
    TDuration Length;              // air stall, busy stack; late answer: how late
    TTime EndedAt = TTime::max();  // when it was over (a late answer: once it came)
    bool Taken = false;            // an answer's: the request it befell has been made
};

// The air: writes leave in the order made at connection events, at most perEvent each, none while
// the air is stalled.
struct TAir {
    TDuration Interval;
    int PerEvent;
    TTime Up{};
    TTime LastSlot{};
    int Used = 0;
    std::vector<std::pair<TTime, TTime>> Stalls;

    TTime Slot(TTime now) {
        TTime from = std::max(now, LastSlot);
        while (true) {
            const auto events = (from - Up + Interval - TDuration(1)) / Interval;
            TTime slot = Up + events * Interval;
            if (slot == LastSlot && Used >= PerEvent)
                slot += Interval;
            const auto stall = std::find_if(Stalls.begin(), Stalls.end(), [&](const auto& s) {
                return slot >= s.first && slot < s.second;
            });
            if (stall != Stalls.end()) {
                from = stall->second;
                continue;
            }
            if (slot == LastSlot) {
                ++Used;
            } else {
                LastSlot = slot;
                Used = 1;
            }
            return slot;
        }
    }
};

struct TArrival {
    TTime At;
    TScheduledReport Report;
};

struct TRequest {
    uint64_t Ticket = 0;  // 0: it holds the scheduler no more (motion set aside)
    bool Motion = false;
    TTime MadeAt{};
    TTime AnswerAt{};  // when the platform reports it
    bool Ok = true;
    bool Overdue = false;
    TDisturbance* Disturbance = nullptr;  // the late or failed answer this is
};

class TSendPathSim {
  public:
    TSendPathSim(TDuration interval, int perEvent, uint32_t seed)
        : FAir{interval, perEvent, TTime{} - 3ms, TTime{}, 0, {}}, FRandom(seed) {}

    // Runs length of 1000 Hz motion with typing and clicks, the disturbances at their times.
    void Run(TDuration length, std::vector<TDisturbance> disturbances) {
        FDisturbances = std::move(disturbances);
        for (TDisturbance& d : FDisturbances) {
            if (d.Kind == TBadMoment::AirStall) {
                FAir.Stalls.push_back({d.From, d.From + d.Length});
                d.EndedAt = d.From + d.Length;
            } else if (d.Kind == TBadMoment::BusyStack) {
                d.EndedAt = d.From + d.Length;
            }
        }
        const TTime end = TTime{} + length;
        std::uniform_int_distribution<int> gap(60, 200);
        TTime nextKey = TTime{} + 300ms;
        TTime nextClick = TTime{} + 700ms;
        for (FNow = TTime{}; FNow < end; FNow += 250us) {
            Complete();
            if (FNow.time_since_epoch() % 1ms == TDuration::zero()) {
                FScheduler.PushMouse({FButtons, 1, 0, 0});
                ++FMoved;
            }
            if (FNow >= nextKey) {
                FKeys = FKeys == 0 ? static_cast<uint8_t>(1 + FRandom() % 200) : 0;
                PushKeys();
                nextKey = FNow + std::chrono::milliseconds(FKeys != 0 ? 30 : gap(FRandom));
            }
            if (FNow >= nextClick) {
                FButtons ^= 1;
                FScheduler.PushMouse({FButtons, 0, 0, 0});
                FButtonChanges.push_back(FButtons);
                FButtonPushes.push_back(FNow);
                nextClick = FNow + (FButtons != 0 ? 50ms : 900ms);
            }
            Write();
        }
        // The user stops, holding nothing; the link takes what is left.
        FKeys = 0;
        PushKeys();
        if (FButtons != 0) {
            FButtons = 0;
            FScheduler.PushMouse({0, 0, 0, 0});
            FButtonChanges.push_back(0);
        }
        for (const TTime drainEnd = FNow + 60s; FNow < drainEnd && !Settled(); FNow += 250us) {
            Complete();
            Write();
        }
    }

    std::vector<std::string> Check() const {
        std::vector<std::string> broken;
        if (!Settled())
            broken.push_back("the link never went idle");
        // Keys, in the order pushed, each at the dongle (a state may come again, never an older
        // one after a newer).
        std::vector<uint16_t> keys;
        std::vector<uint8_t> buttons;
        std::vector<TTime> buttonsArrived;
        int64_t moved = 0;
        uint8_t held = 0;
        for (const TArrival& a : FArrived) {
            if (a.Report.Kind == TSendKind::Keyboard) {
                const uint16_t push = static_cast<uint16_t>(a.Report.Keyboard[1] | a.Report.Keyboard[2] << 8);
                if (!keys.empty() && push < keys.back())
                    broken.push_back("key push " + std::to_string(push) + " after " +
                                     std::to_string(keys.back()));
                if (keys.empty() || push != keys.back())
                    keys.push_back(push);
                held = a.Report.Keyboard[0];
            } else {
                if (a.Report.Mouse.Buttons != (buttons.empty() ? 0 : buttons.back())) {
                    buttons.push_back(a.Report.Mouse.Buttons);
                    buttonsArrived.push_back(a.At);
                }
                moved += a.Report.Mouse.X;
            }
        }
        // Only a queue that filled up (keys held behind a request that must keep its place, for as
        // long as the stack takes to time it out) merges transitions, by its bounded rules.
        if (keys.size() != FKeyPushes.size() && FScheduler.MergedTransitions() == 0)
            broken.push_back(std::to_string(FKeyPushes.size() - keys.size()) + " key transitions lost");
        if (FScheduler.MergedTransitions() > 0 && !FUserTold)
            broken.push_back("the queue filled up without the user told of a request holding it");
        if (buttons != FButtonChanges && FScheduler.MergedTransitions() == 0)
            broken.push_back("button changes lost or reordered");
        if (held != 0 || (!buttons.empty() && buttons.back() != 0))
            broken.push_back("something released stays held");
        if (moved != FMoved)
            broken.push_back("motion lost: " + std::to_string(moved) + " of " + std::to_string(FMoved));
        // Key latency, a second after each bad moment ended and until the next began; a key made
        // while a click waits for the link waits for it (the order of keys and clicks holds).
        const double bound = 2 * Ms(FAir.Interval) + 3;
        for (size_t i = 0; i < FKeyPushes.size(); ++i) {
            const TTime made = FKeyPushes[i];
            bool settled = made >= TTime{} + 1s;  // the first second learns the link
            for (size_t b = 0; b < FButtonPushes.size() && b < buttonsArrived.size(); ++b) {
                if (made >= FButtonPushes[b] && made < buttonsArrived[b])
                    settled = false;
            }
            for (const TDisturbance& d : FDisturbances) {
                if (made >= d.From && made < std::min(TTime::max() - 1s, d.EndedAt) + 1s)
                    settled = false;
            }
            const TTime arrived = KeyArrival(static_cast<uint16_t>(i + 1));
            if (settled && arrived != TTime::max() && Ms(arrived - made) > bound) {
                broken.push_back("key made at " + std::to_string(Ms(made.time_since_epoch())) + " ms took " +
                                 std::to_string(Ms(arrived - made)) + " ms");
                break;
            }
        }
        return broken;
    }

  private:
    void PushKeys() {
        FKeyPushes.push_back(FNow);
        const auto push = static_cast<uint16_t>(FKeyPushes.size());
        FScheduler.PushKeyboard(
            THidReport{FKeys, static_cast<uint8_t>(push & 0xFF), static_cast<uint8_t>(push >> 8)});
    }

    TTime KeyArrival(uint16_t push) const {
        for (const TArrival& a : FArrived) {
            if (a.Report.Kind == TSendKind::Keyboard &&
                static_cast<uint16_t>(a.Report.Keyboard[1] | a.Report.Keyboard[2] << 8) >= push)
                return a.At;
        }
        return TTime::max();
    }

    bool Settled() const { return FScheduler.Idle() && !FRequest && !FHeld; }

    TDisturbance* Due(TBadMoment kind) {
        for (TDisturbance& d : FDisturbances) {
            if (d.Kind == kind && FNow >= d.From && d.EndedAt == TTime::max() && !d.Taken) {
                d.Taken = true;
                return &d;
            }
        }
        return nullptr;
    }

    // The app's own Bluetooth thread is busy: completions wait until it is free.
    TTime StackFreeAt(TTime at) const {
        for (const TDisturbance& d : FDisturbances) {
            if (d.Kind == TBadMoment::BusyStack && at >= d.From && at < d.From + d.Length)
                return d.From + d.Length;
        }
        return at;
    }

    // Whether the thread was busy at some time between the request and its completion (the
    // platform flags such a completion).
    bool HeldUp(TTime from, TTime to) const {
        return std::any_of(FDisturbances.begin(), FDisturbances.end(), [&](const TDisturbance& d) {
            return d.Kind == TBadMoment::BusyStack && d.From < to && d.From + d.Length > from;
        });
    }

    void Complete() {
        if (!FRequest || FNow < StackFreeAt(FRequest->AnswerAt))
            return;
        const TRequest r = *FRequest;
        FRequest.reset();
        if (r.Disturbance)
            r.Disturbance->EndedAt = FNow;
        FLink.Answered(FNow, !r.Ok                    ? TLinkEstimator::TAnswer::Failed
                             : HeldUp(r.MadeAt, FNow) ? TLinkEstimator::TAnswer::Delayed
                                                      : TLinkEstimator::TAnswer::Ok);
        if (r.Ticket != 0) {
            FScheduler.Completed(r.Ticket, r.Ok);
        } else if (!r.Ok) {
            FScheduler.Completed(0, false);  // set aside: a failure reported late
        }
        if (FScheduler.FailuresInARow() > TSendScheduler::MaxResends)
            FBackOffUntil = FNow + 20ms;
    }

    void Write() {
        if (FRequest && !FRequest->Overdue && FNow >= FRequest->MadeAt + FLink.AnswerBound())
            FRequest->Overdue = true;
        const bool aside = FRequest && FRequest->Ticket == 0;
        if (FRequest && FNow - FRequest->MadeAt >= 1s &&
            (FHeld || FScheduler.PendingTransitions() > (aside ? 0 : 1)))
            FUserTold = true;
        if (FRequest && !aside)
            return;
        if (FHeld) {
            if (aside)
                return;
            const TScheduledReport held = *FHeld;
            FHeld.reset();
            Hand(held, true);
            return;
        }
        if (FScheduler.InFlight() || FNow < FBackOffUntil)
            return;
        const bool transition = FScheduler.PendingTransitions() > 0;
        if (aside && !transition && !FRequest->Overdue)
            return;  // more motion waits for the answer to the motion request, until it is overdue
        if (FLink.NextWriteAt(transition, FNow) > FNow) {
            if (!transition)
                FLink.Held();
            return;
        }
        const auto report = FScheduler.Next();
        if (!report)
            return;
        // Past a motion request set aside go keys and motion; a button change keeps its place.
        if (aside && report->Kind == TSendKind::Mouse && report->Transition) {
            FHeld = report;
            return;
        }
        Hand(*report, transition);
    }

    void Hand(const TScheduledReport& report, bool transition) {
        const bool motion = report.Kind == TSendKind::Mouse && !report.Transition;
        const bool withResponse = !FRequest && FLink.ProbeDue(transition, FNow);
        FLink.Made(withResponse, !transition, FNow);
        const TTime arrival = FAir.Slot(FNow);
        if (!withResponse) {
            FArrived.push_back({arrival, report});
            FScheduler.Completed(report.Ticket, true);
            return;
        }
        TRequest r;
        r.Ticket = report.Ticket;
        r.Motion = motion;
        r.MadeAt = FNow;
        r.AnswerAt = arrival + 500us;
        if ((r.Disturbance = Due(TBadMoment::LateAnswer))) {
            r.AnswerAt += r.Disturbance->Length;
        } else if ((r.Disturbance = Due(TBadMoment::FailedAnswer))) {
            r.Ok = false;
        } else if ((r.Disturbance = Due(TBadMoment::TimedOut))) {
            r.Ok = false;
            r.AnswerAt = FNow + 25s;  // the stack's own time-out; the write did arrive
        }
        // A failed write did not arrive (a transition is written again, motion is not: it may
        // have arrived, so that motion is not counted); a timed-out one did.
        if (r.Ok || (r.Disturbance && r.Disturbance->Kind == TBadMoment::TimedOut))
            FArrived.push_back({arrival, report});
        else if (motion)
            FMoved -= report.Mouse.X;
        if (motion) {
            // The mouse has a characteristic of its own: the request is set aside at once, and
            // keys go past it.
            FScheduler.Abandon(r.Ticket);
            r.Ticket = 0;
        }
        FRequest = r;
    }

    TAir FAir;
    std::mt19937 FRandom;
    TSendScheduler FScheduler;
    TLinkEstimator FLink;
    TTime FNow{};
    std::optional<TRequest> FRequest;
    std::optional<TScheduledReport> FHeld;
    TTime FBackOffUntil{};
    std::vector<TDisturbance> FDisturbances;

    uint8_t FKeys = 0;
    uint8_t FButtons = 0;
    int64_t FMoved = 0;
    std::vector<TTime> FKeyPushes;
    std::vector<uint8_t> FButtonChanges;
    std::vector<TTime> FButtonPushes;
    std::vector<TArrival> FArrived;
    // Input waited behind an unanswered request for a second: the session tells the user so.
    bool FUserTold = false;
};

struct TSimLinkCase {
    const char* Name;
    TDuration Interval;
    int PerEvent;
};

class SendPathProperties : public testing::TestWithParam<TSimLinkCase> {};

// Every kind of bad moment, in random order and measure, on each link: after each the keys are
// back within bounds within a second, and nothing is lost, reordered or left held.
TEST_P(SendPathProperties, AfterEveryBadMoment_KeysAreBackWithinASecondAndNothingIsLost) {
    const TSimLinkCase c = GetParam();
    std::mt19937 random(20261211);
    for (int run = 0; run < 4; ++run) {
        std::vector<TBadMoment> kinds{TBadMoment::AirStall, TBadMoment::LateAnswer, TBadMoment::FailedAnswer,
                                      TBadMoment::TimedOut, TBadMoment::BusyStack};
        std::shuffle(kinds.begin(), kinds.end(), random);
        std::vector<TDisturbance> disturbances;
        TTime at = TTime{} + 2s;
        for (const TBadMoment kind : kinds) {
            TDuration length{};
            if (kind == TBadMoment::AirStall)
                length = random() % 2 == 0 ? TDuration(300ms) : TDuration(2s);
            else if (kind == TBadMoment::LateAnswer)
                length = std::array<TDuration, 3>{500ms, 2s, 20s}[random() % 3];
            else if (kind == TBadMoment::BusyStack)
                length = std::chrono::milliseconds(50 + random() % 250);
            disturbances.push_back({kind, at, length});
            at += std::chrono::milliseconds(3000 + random() % 2000);
        }
        TSendPathSim sim(c.Interval, c.PerEvent, static_cast<uint32_t>(run));
        sim.Run(at - TTime{} + 2s, disturbances);
        const auto broken = sim.Check();
        std::string said;
        for (const TDisturbance& d : disturbances) {
            const char* names[] = {"air stall", "late answer", "failed answer", "timed out", "busy stack"};
            said += std::string(" ") + names[static_cast<int>(d.Kind)] + " at " +
                    std::to_string(static_cast<int>(Ms(d.From - TTime{}))) + " ms for " +
                    std::to_string(static_cast<int>(Ms(d.Length))) + " ms;";
        }
        for (const std::string& b : broken)
            said += "\n  " + b;
        ASSERT_TRUE(broken.empty()) << "run " << run << ":" << said;
    }
}

INSTANTIATE_TEST_SUITE_P(Links, SendPathProperties,
                         testing::Values(TSimLinkCase{"7500us_x1", 7500us, 1},
                                         TSimLinkCase{"30ms_x6", 30ms, 6}, TSimLinkCase{"50ms_x4", 50ms, 4}),
                         [](const auto& info) { return std::string(info.param.Name); });

}  // namespace
