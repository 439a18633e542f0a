#include "app/TextTyping.h"

#include <algorithm>

TTextTyper::TTextTyper(std::vector<TTypingTarget> Targets, std::function<TClock::time_point()> Now)
    : FNow(std::move(Now)) {
    for (TTypingTarget& target : Targets) {
        FTotal = std::max(FTotal, target.Characters.size());
        TTarget t;
        t.Plan = std::move(target);
        FTargets.push_back(std::move(t));
    }
    if (FTotal == 0 || FTargets.empty()) {
        Finish();
    }
}

namespace {

constexpr uint8_t UsageNumLock = 83;
constexpr uint8_t UsageCapsLock = 57;

}  // namespace

bool TTextTyper::LightsReady(TTarget& Target) {
    if (Target.Locks) {
        return true;
    }
    TCorvastelDevice& session = *Target.Plan.Session;
    if (!session.LightsKnown()) {
        const TClock::time_point now = FNow();
        if (!Target.WaitingSince) {
            Target.WaitingSince = now;
        }
        if (now - *Target.WaitingSince < LightsWait) {
            return false;
        }
        Target.LightsUnknown = true;
    }
    Target.Locks = session.LedStatus.load();
    return true;
}

void TTextTyper::Feed(TTarget& Target) {
    const std::u32string& text = Target.Plan.Characters;
    const bool paced = Target.Plan.Pace.count() > 0;
    if (Target.Done < text.size() && !LightsReady(Target)) {
        return;
    }
    for (int fed = 0; fed < MaxPerPump && Target.Done < text.size(); ++fed) {
        if (IsKeyStepMark(text[Target.Done])) {
            if (!FeedKeyStep(Target)) {
                return;
            }
            continue;
        }
        // A paced dongle gets its next report once the last one is written and the pace has passed.
        if (Target.Plan.Session->PendingReports() >= (paced ? 1 : MaxQueued)) {
            return;
        }
        const TClock::time_point now = paced ? FNow() : TClock::time_point{};
        if (paced && Target.Step + Target.Done > 0 && now - Target.LastFed < Target.Plan.Pace) {
            return;
        }
        if (Target.Step == 0) {
            // The keys depend on the target's lock state as it is now: with Caps Lock on, Shift
            // makes the layout's small letters.
            const uint8_t leds = *Target.Locks;
            const bool caps = (leds & LedCapsLock) != 0;
            const char32_t c = text[Target.Done];
            Target.Reports.clear();
            if (const TCharacterKeys* keys = Target.Plan.Layout->Find(c, caps)) {
                if (keys->HasDead()) {
                    Target.Reports.push_back(keys->Dead);
                    Target.Reports.push_back({});
                }
                Target.Reports.push_back(keys->Key);
                Target.Reports.push_back({});
            } else {
                Target.Reports = UnicodeEntryReports(c, Target.Plan.Entry, *Target.Plan.Layout, caps,
                                                     (leds & LedNumLock) != 0);
            }
            if (Target.Reports.empty()) {
                // Planned with the lock the other way, and not typeable as it is now.
                ++Target.Done;
                ++Target.Skipped;
                continue;
            }
        }
        const TKeyStroke& report = Target.Reports[Target.Step];
        Target.Plan.Session->SendKeyboardState(report.Modifiers, report.Usage);
        // The target turns its lock on the press, as the next character must be planned for.
        if (report.Usage == UsageNumLock) {
            *Target.Locks ^= LedNumLock;
        } else if (report.Usage == UsageCapsLock) {
            *Target.Locks ^= LedCapsLock;
        }
        Target.LastFed = now;
        if (++Target.Step == Target.Reports.size()) {
            Target.Step = 0;
            ++Target.Done;
        }
    }
}

bool TTextTyper::FeedKeyStep(TTarget& Target) {
    const TSequenceStep& step = Target.Plan.Steps.at(Target.Plan.Characters[Target.Done] - KeyStepMark);
    const TClock::time_point now = FNow();
    const int pending = Target.Plan.Session->PendingReports();
    // A hold or a wait counts from a drained link: the report before it has left (a wait), or the
    // key's press went out on its own and has left (a hold). So the time at the dongle is the one
    // asked, give or take the one link interval a report may wait on the air, however full the link
    // was before; a pace does not delay the start.
    const bool timed = step.Time.count() > 0;
    if (Target.Timing && Target.Due == TClock::time_point::max()) {
        if (pending > 0) {
            return false;
        }
        Target.Due = now + step.Time;
    }
    if (timed && !Target.Timing && step.Wait()) {
        if (pending > 0) {
            return false;
        }
        Target.Timing = true;
        Target.Due = now + step.Time;
    }
    if (Target.Timing && now < Target.Due) {
        return false;
    }
    if (step.Wait()) {
        Target.Timing = false;
        ++Target.Done;
        return true;
    }
    const bool paced = Target.Plan.Pace.count() > 0;
    const bool press = timed && Target.Step == step.HoldAfter;
    if (pending >= (paced || press ? 1 : MaxQueued)) {
        return false;
    }
    if (paced && Target.Step + Target.Done > 0 && now - Target.LastFed < Target.Plan.Pace) {
        return false;
    }
    const TKeyStroke& report = step.Reports[Target.Step];
    Target.Plan.Session->SendKeyboardState(report.Modifiers, report.Usage);
    Target.LastFed = now;
    Target.Timing = press;
    Target.Due = TClock::time_point::max();
    if (++Target.Step == step.Reports.size()) {
        Target.Step = 0;
        ++Target.Done;
    }
    return true;
}

void TTextTyper::Pump() {
    if (!FRunning) {
        return;
    }
    for (TTarget& target : FTargets) {
        Feed(target);
    }
    const bool done = std::all_of(FTargets.begin(), FTargets.end(),
                                  [](const TTarget& t) { return t.Done >= t.Plan.Characters.size(); });
    if (done) {
        Finish();
    }
}

void TTextTyper::Cancel() {
    if (!FRunning) {
        return;
    }
    FCancelled = true;
    for (TTarget& target : FTargets) {
        // Whether or not a press is out, the all-released report ends it.
        target.Plan.Session->SendKeyboardState(0, 0);
    }
    Finish();
}

void TTextTyper::Forget(const TCorvastelDevice* Session) {
    std::erase_if(FTargets, [Session](const TTarget& t) { return t.Plan.Session == Session; });
    if (FRunning && FTargets.empty()) {
        FCancelled = true;
        Finish();
    }
}

std::vector<const TCorvastelDevice*> TTextTyper::LightsUnknown() const {
    std::vector<const TCorvastelDevice*> unknown;
    for (const TTarget& t : FTargets) {
        if (t.LightsUnknown) {
            unknown.push_back(t.Plan.Session);
        }
    }
    return unknown;
}

std::vector<std::pair<const TCorvastelDevice*, std::size_t>> TTextTyper::Skipped() const {
    std::vector<std::pair<const TCorvastelDevice*, std::size_t>> skipped;
    for (const TTarget& t : FTargets) {
        if (t.Skipped > 0) {
            skipped.emplace_back(t.Plan.Session, t.Skipped);
        }
    }
    return skipped;
}

std::size_t TTextTyper::Total() const {
    return FTotal;
}

std::size_t TTextTyper::Typed() const {
    if (FTargets.empty()) {
        return 0;
    }
    // A dongle whose layout skips characters has fewer to type: it counts as far along as the
    // longest plan once it is done.
    std::size_t least = FTotal;
    for (const TTarget& t : FTargets) {
        least = std::min(least, t.Done >= t.Plan.Characters.size() ? FTotal : t.Done);
    }
    return least;
}

void TTextTyper::Finish() {
    FRunning = false;
}
