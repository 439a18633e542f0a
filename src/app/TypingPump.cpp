#include "app/TypingPump.h"

#include <algorithm>
#include <utility>

#include "app/TypingSettings.h"
#include "layout/XkbLayout.h"

std::shared_ptr<const TLayoutKeys> TLayoutKeysCache::Of(const std::string& Name, TTargetSystem System,
                                                        std::string* Error) {
    const auto cached = FKeys.find({Name, System});
    if (cached != FKeys.end()) {
        return cached->second;
    }
    std::string error;
    std::shared_ptr<const TLayoutKeys> keys = BuildLayoutKeys(Name, System, &error);
    if (!keys && Name == DefaultTypingLayout) {
        keys = BuiltInUsLayout();
    }
    if (!keys) {
        *Error = error;
        return nullptr;
    }
    FKeys.emplace(std::make_pair(Name, System), keys);
    return keys;
}

bool TTypingPump::Start(std::vector<TTypingTarget> Targets, std::vector<std::string> GoneBefore,
                        TClock::time_point Now) {
    if (Running()) {
        return false;
    }
    FNow = Now;
    FChosen.clear();
    for (const TTypingTarget& target : Targets) {
        FChosen.push_back({target.Session, target.Session->Device->Address()});
    }
    FGoneBefore = std::move(GoneBefore);
    // The typer reads the time of the tick that feeds it, so a whole tick sees one time.
    FTyper = std::make_unique<TTextTyper>(std::move(Targets), [this] { return FNow; });
    return true;
}

std::optional<TTypingEnd> TTypingPump::Tick(TClock::time_point Now) {
    if (!Running()) {
        return std::nullopt;
    }
    FNow = Now;
    FTyper->Pump();
    if (FTyper->Running()) {
        return std::nullopt;
    }
    return End();
}

std::optional<TTypingEnd> TTypingPump::Cancel() {
    if (!Running()) {
        return std::nullopt;
    }
    FTyper->Cancel();
    return End();
}

void TTypingPump::TargetGone(const TCorvastelDevice* Session) {
    if (!Running()) {
        return;
    }
    FTyper->Forget(Session);
    for (TChosen& chosen : FChosen) {
        if (chosen.Session == Session) {
            chosen.Gone = true;
            // The memory may hold a new session later: it must not match this target again.
            chosen.Session = nullptr;
        }
    }
}

TTypingEnd TTypingPump::End() {
    TTypingEnd end;
    end.Typed = FTyper->Typed();
    end.Total = FTyper->Total();
    if (FTyper->Targets() == 0) {
        end.Why = TTypingEnd::TWhy::AllGone;
    } else if (FTyper->Cancelled()) {
        end.Why = TTypingEnd::TWhy::Cancelled;
    }
    end.Gone = std::move(FGoneBefore);
    for (const auto& [session, count] : FTyper->Skipped()) {
        for (const TChosen& chosen : FChosen) {
            if (chosen.Session == session && session != nullptr) {
                end.Skipped.emplace_back(chosen.Address, count);
            }
        }
    }
    for (const TCorvastelDevice* session : FTyper->LightsUnknown()) {
        for (const TChosen& chosen : FChosen) {
            if (chosen.Session == session && session != nullptr) {
                end.LightsUnknown.push_back(chosen.Address);
            }
        }
    }
    for (const TChosen& chosen : FChosen) {
        if (chosen.Gone) {
            end.Gone.push_back(chosen.Address);
        }
    }
    FTyper.reset();
    FChosen.clear();
    FGoneBefore.clear();
    return end;
}
