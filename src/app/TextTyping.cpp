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

void TTextTyper::Feed(TTarget& Target) {
    const std::u32string& text = Target.Plan.Characters;
    const bool paced = Target.Plan.Pace.count() > 0;
    for (int fed = 0; fed < MaxPerPump && Target.Done < text.size(); ++fed) {
        // A paced dongle gets its next report once the last one is written and the pace has passed.
        if (Target.Plan.Session->PendingReports() >= (paced ? 1 : MaxQueued)) {
            return;
        }
        const TClock::time_point now = paced ? FNow() : TClock::time_point{};
        if (paced && Target.Step + Target.Done > 0 && now - Target.LastFed < Target.Plan.Pace) {
            return;
        }
        if (Target.Step == 0) {
            // The keys depend on the target's Caps Lock as it is now: with it on, Shift makes the
            // layout's small letters.
            const bool caps = (Target.Plan.Session->LedStatus.load() & LedCapsLock) != 0;
            const TCharacterKeys* keys = Target.Plan.Layout->Find(text[Target.Done], caps);
            if (keys == nullptr) {
                // Planned with the lock the other way, and not typeable as it is now.
                ++Target.Done;
                continue;
            }
            Target.Current = *keys;
        }
        const int steps = Target.Current.HasDead() ? 4 : 2;
        const int press = Target.Current.HasDead() ? Target.Step : Target.Step + 2;
        if (press == 0) {
            Target.Plan.Session->SendKeyboardState(Target.Current.Dead.Modifiers, Target.Current.Dead.Usage);
        } else if (press == 2) {
            Target.Plan.Session->SendKeyboardState(Target.Current.Key.Modifiers, Target.Current.Key.Usage);
        } else {
            Target.Plan.Session->SendKeyboardState(0, 0);
        }
        Target.LastFed = now;
        if (++Target.Step == steps) {
            Target.Step = 0;
            ++Target.Done;
        }
    }
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
