#include "input/UnitInputRoute.h"

#include <algorithm>

#include "hid/UnitCorvHid.h"

namespace {

struct TLeaderRow {
    TRouteLeader Leader;
    int32_t Usage;
    bool Modifier;
    std::string_view Key;
    std::string_view Name;
};
constexpr std::array<TLeaderRow, RouteLeaders.size()> LeaderRows{{
    {TRouteLeader::ScrollLock, UsageScrollLock, false, "ScrollLock", "Scroll Lock"},
    {TRouteLeader::RightCtrl, UsageRightCtrl, true, "RightCtrl", "Right Ctrl"},
    {TRouteLeader::RightAlt, UsageRightAlt, true, "RightAlt", "Right Alt"},
    {TRouteLeader::Pause, UsagePause, false, "Pause", "Pause"},
    {TRouteLeader::RightShift, UsageRightShift, true, "RightShift", "Right Shift"},
}};

const TLeaderRow& RowOf(TRouteLeader leader) {
    for (const TLeaderRow& row : LeaderRows) {
        if (row.Leader == leader) {
            return row;
        }
    }
    return LeaderRows.front();
}

constexpr int32_t UsageDigit1 = 30;
constexpr int32_t UsageDigit0 = 39;
constexpr int32_t UsagePad1 = 89;
constexpr int32_t UsagePad0 = 98;

// True when `later` is at most `limit` ms after `earlier` (and not before it) on a clock that wraps.
bool Within(uint32_t earlier, uint32_t later, int32_t limit) {
    const auto elapsed = static_cast<int32_t>(later - earlier);
    return elapsed >= 0 && elapsed <= limit;
}

}  // namespace

int32_t RouteLeaderUsage(TRouteLeader Leader) {
    return RowOf(Leader).Usage;
}

bool RouteLeaderIsModifier(TRouteLeader Leader) {
    return RowOf(Leader).Modifier;
}

std::string_view RouteLeaderKey(TRouteLeader Leader) {
    return RowOf(Leader).Key;
}

std::optional<TRouteLeader> RouteLeaderFromKey(std::string_view Key) {
    for (const TLeaderRow& row : LeaderRows) {
        if (row.Key == Key) {
            return row.Leader;
        }
    }
    return std::nullopt;
}

std::string_view RouteLeaderName(TRouteLeader Leader) {
    return RowOf(Leader).Name;
}

int RouteDigitOf(int32_t usage) {
    if (usage >= UsageDigit1 && usage < UsageDigit0)
        return usage - UsageDigit1 + 1;
    if (usage == UsageDigit0)
        return 0;
    if (usage >= UsagePad1 && usage < UsagePad0)
        return usage - UsagePad1 + 1;
    if (usage == UsagePad0)
        return 0;
    return -1;
}

TRouteKeys::TVerdict TRouteKeys::Feed(int32_t usage, bool release, uint32_t time, bool repeat) {
    if (FDigitHeld != 0 && usage == FDigitHeld) {
        if (release)
            FDigitHeld = 0;
        return TVerdict::Swallowed;
    }
    if (usage == 0) {
        // A key the table does not know neither takes part nor breaks a sequence: Windows sends a
        // made-up Left Ctrl without a usage before every Right Alt of an AltGr layout.
        return TVerdict::Ordinary;
    }
    if (release) {
        if (usage == FLeaderUsage)
            FLeaderHeld = false;
        return TVerdict::Ordinary;
    }
    if (usage == FLeaderUsage) {
        if (FLeaderHeld) {
            return TVerdict::Ordinary;  // auto-repeat: not a second press
        }
        FLeaderHeld = true;
        FArmed = FHavePress && Within(FLastPress, time, RoutePairMs);
        FArmedAt = time;
        FHavePress = true;
        FLastPress = time;
        return TVerdict::Ordinary;
    }
    if (repeat) {
        return TVerdict::Ordinary;
    }
    const int digit = RouteDigitOf(usage);
    // With a modifier leader still held the digit is a chord of the two (Ctrl+2), not the route.
    const bool completes =
        FArmed && digit >= 0 && Within(FArmedAt, time, RouteDigitMs) && !(FModifier && FLeaderHeld);
    // Any other press ends a sequence in progress, completed or not.
    FArmed = false;
    FHavePress = false;
    if (!completes) {
        return TVerdict::Ordinary;
    }
    FDigit = digit;
    FDigitHeld = usage;
    return TVerdict::Completes;
}

void TRouteKeys::SetLeader(TRouteLeader Leader) {
    Reset();
    FLeader = Leader;
    FLeaderUsage = RouteLeaderUsage(Leader);
    FModifier = RouteLeaderIsModifier(Leader);
}

void TRouteKeys::Decline() {
    FDigitHeld = 0;
    FDigit = -1;
}

void TRouteKeys::Interrupt() {
    FArmed = false;
    FHavePress = false;
}

void TRouteKeys::Reset() {
    FLeaderHeld = false;
    FHavePress = false;
    FArmed = false;
    FDigitHeld = 0;
    FDigit = -1;
}

void TRouteNumbers::Update(const std::vector<std::string>& Connected, const std::vector<std::string>& Away) {
    const auto in = [](const std::vector<std::string>& ids, const std::string& id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    for (std::string& holder : FHolders) {
        if (!holder.empty() && !in(Connected, holder) && !in(Away, holder)) {
            holder.clear();
        }
    }
    for (const std::string& id : Connected) {
        if (id.empty() || Of(id) != 0) {
            continue;
        }
        const auto free = std::find(FHolders.begin(), FHolders.end(), std::string());
        if (free == FHolders.end()) {
            return;
        }
        *free = id;
    }
}

int TRouteNumbers::Of(std::string_view Id) const {
    if (Id.empty()) {
        return 0;
    }
    const auto it = std::find(FHolders.begin(), FHolders.end(), Id);
    return it == FHolders.end() ? 0 : static_cast<int>(it - FHolders.begin()) + 1;
}

std::string TRouteNumbers::Holder(int Digit) const {
    if (Digit < 1 || Digit > Count) {
        return {};
    }
    return FHolders[static_cast<std::size_t>(Digit - 1)];
}

TInputRoute::TOutcome TInputRoute::Select(const std::string& Id, TTargets& Targets) {
    bool known = Id.empty();
    for (std::size_t i = 0; i < Targets.Count() && !known; ++i) {
        known = Targets.Id(i) == Id;
    }
    for (int digit = 1; digit <= TRouteNumbers::Count && !known; ++digit) {
        known = Targets.Numbered(digit) == Id;
    }
    if (!known) {
        return TOutcome::NoSuchTarget;
    }
    if (Id == FTarget) {
        return TOutcome::Unchanged;
    }
    for (std::size_t i = 0; i < Targets.Count(); ++i) {
        const std::string target = Targets.Id(i);
        const bool keeps = Id.empty() || target == Id;
        if (Includes(target) && !keeps) {
            Targets.Release(i);
        }
    }
    FTarget = Id;
    return TOutcome::Changed;
}

TInputRoute::TOutcome TInputRoute::SelectDigit(int Digit, TTargets& Targets) {
    if (Digit == 0) {
        return Select(std::string(), Targets);
    }
    const std::string target = Digit > 0 ? Targets.Numbered(Digit) : std::string();
    if (target.empty()) {
        return TOutcome::NoSuchTarget;
    }
    return Select(target, Targets);
}

bool TInputRoute::Held(const TTargets& Targets) const {
    if (FTarget.empty()) {
        return false;
    }
    for (std::size_t i = 0; i < Targets.Count(); ++i) {
        if (Targets.Id(i) == FTarget) {
            return false;
        }
    }
    return true;
}
