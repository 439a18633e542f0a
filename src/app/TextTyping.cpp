#include "app/TextTyping.h"

#include <algorithm>

namespace {
constexpr uint8_t ModifierLeftShift = 0x02;
}

TTextTyper::TTextTyper(std::vector<TTextKey> Keys, std::vector<TCorvastelDevice*> Sessions)
    : FKeys(std::move(Keys)) {
    for (TCorvastelDevice* session : Sessions) {
        FTargets.push_back({session});
    }
    if (FKeys.empty() || FTargets.empty()) {
        Finish();
    }
}

void TTextTyper::Feed(TTarget& Target) {
    const std::size_t steps = FKeys.size() * 2;
    for (int fed = 0; fed < MaxPerPump && Target.Step < steps; ++fed) {
        if (Target.Session->PendingReports() >= MaxQueued) {
            return;
        }
        const TTextKey& key = FKeys[Target.Step / 2];
        if (Target.Step % 2 == 0) {
            // The target's Caps Lock would turn the letter's case round: Shift turns it back, so
            // the text arrives as written whatever the target's lock state.
            const bool caps = (Target.Session->LedStatus.load() & LedCapsLock) != 0;
            const bool shift = IsLetterUsage(key.Usage) && caps ? !key.Shift : key.Shift;
            Target.Session->SendKeyboardState(shift ? ModifierLeftShift : 0, key.Usage);
        } else {
            Target.Session->SendKeyboardState(0, 0);
        }
        ++Target.Step;
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
                                  [this](const TTarget& t) { return t.Step >= FKeys.size() * 2; });
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
        target.Session->SendKeyboardState(0, 0);
    }
    Finish();
}

void TTextTyper::Forget(const TCorvastelDevice* Session) {
    std::erase_if(FTargets, [Session](const TTarget& t) { return t.Session == Session; });
    if (FRunning && FTargets.empty()) {
        FCancelled = true;
        Finish();
    }
}

std::size_t TTextTyper::Typed() const {
    if (FTargets.empty()) {
        return 0;
    }
    std::size_t least = FKeys.size() * 2;
    for (const TTarget& t : FTargets) {
        least = std::min(least, t.Step);
    }
    return least / 2;
}

void TTextTyper::Finish() {
    FRunning = false;
}
